// Device mapping, the plat:: file functions, fault injection and the file
// commands (cp, mv, xcopy, xdelete, fioRdString) of the host platform.
#include "platform/hostsim/hostsim.h"
#include "platform/plat_io.h"
#include "platform/vxworks.h"
#include "tests/support/child_process.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::fileExists;
using testsupport::readFile;
using testsupport::writeFile;

class FilesTest : public testsupport::UnitFixture {
protected:
    // Writes a file at a unit path.
    void put(const std::string &unitPath, const std::string &content) {
        ASSERT_TRUE(writeFile(host(unitPath), content)) << unitPath;
    }
    std::string get(const std::string &unitPath) { return readFile(host(unitPath)); }
    bool has(const std::string &unitPath) { return fileExists(host(unitPath)); }
};

TEST_F(FilesTest, PathsOnADeviceMapOntoItsFolderOthersStayUnchanged) {
    EXPECT_EQ(host("/SDH"), sdDir());
    EXPECT_EQ(host("/SDH/"), sdDir() + "/");
    EXPECT_EQ(host("/SDH/MAPPE/x.dat"), sdDir() + "/MAPPE/x.dat");
    EXPECT_EQ(host("/F/Data_Base/CONFIGSYSTEM"), flashDir() + "/Data_Base/CONFIGSYSTEM");
    EXPECT_EQ(host("/SDHX/a"), "/SDHX/a");
    EXPECT_EQ(host("/S"), "/S");
    EXPECT_EQ(host("/tmp/elsewhere"), "/tmp/elsewhere");
    EXPECT_EQ(host("relative/SDH"), "relative/SDH");
    EXPECT_EQ(host(""), "");
    // ".." never climbs above a device's root, as "/.." is "/" on a host.
    EXPECT_EQ(host("/SDH/../escape.dat"), sdDir() + "/escape.dat");
    EXPECT_EQ(host("/SDH/MAPPE/../../../x/"), sdDir() + "/x/");
    EXPECT_EQ(host("/SDH/MAPPE/./FRA/../ITA/a"), sdDir() + "/MAPPE/ITA/a");
    EXPECT_EQ(host("/SDH/.."), sdDir());
    EXPECT_EQ(host("/SDH/MAPPE/./tmp_poi/"), sdDir() + "/MAPPE/./tmp_poi/");
    EXPECT_EQ(host("/SDH/a..b/..c"), sdDir() + "/a..b/..c");
    EXPECT_EQ(host("/tmp/../etc"), "/tmp/../etc");

    // An unmounted unit device names nothing on the host: every file function
    // refuses it with ENOENT, and its folders cannot be made.
    hostsim::unmountDevice("/F");
    EXPECT_EQ(host("/F/x"), "");
    EXPECT_EQ(host("/F"), "");
    struct stat st;
    errno = 0;
    EXPECT_EQ(plat::stat("/F", &st), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(plat::mkdir("/F/made", 0755), -1);
    EXPECT_EQ(errno, ENOENT);
    errno = 0;
    EXPECT_EQ(plat::open("/F/new.txt", O_WRONLY | O_CREAT, 0644), -1);
    EXPECT_EQ(errno, ENOENT);
    // A copy onto it makes nothing (its names once landed in the host's root).
    put("/SDH/upg-xcopy-probe.dat", "x");
    EXPECT_EQ(xcopy("/SDH", "/F/copy"), ERROR);
    EXPECT_FALSE(fileExists("/upg-xcopy-probe.dat"));
    hostsim::mountDevice("/F/", flashDir() + "/", 0); // trailing slashes are ignored
    EXPECT_EQ(host("/F/x"), flashDir() + "/x");
}

TEST_F(FilesTest, StatAndFstatReportEachDevicesBlockSize) {
    hostsim::mountDevice("/SDH", sdDir(), 32768);
    hostsim::mountDevice("/F", flashDir(), 512);
    put("/SDH/a.bin", "a");
    put("/F/b.bin", "b");
    struct stat st;
    ASSERT_EQ(plat::stat("/SDH", &st), 0);
    EXPECT_EQ(st.st_blksize, 32768);
    ASSERT_EQ(plat::stat("/F/b.bin", &st), 0);
    EXPECT_EQ(st.st_blksize, 512);

    const int sd = plat::open("/SDH", O_RDONLY, 0644);
    ASSERT_GE(sd, 0);
    ASSERT_EQ(plat::fstat(sd, &st), 0);
    EXPECT_EQ(st.st_blksize, 32768);
    EXPECT_EQ(plat::close(sd), 0);

    // The descriptor number is likely reused: it must now report its own device.
    const int fl = plat::open("/F/b.bin", O_RDONLY);
    ASSERT_GE(fl, 0);
    ASSERT_EQ(plat::fstat(fl, &st), 0);
    EXPECT_EQ(st.st_blksize, 512);
    plat::close(fl);

    FILE *f = plat::fopen("/SDH/a.bin", "r");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(plat::fstat(fileno(f), &st), 0);
    EXPECT_EQ(st.st_blksize, 32768);
    plat::fclose(f);

    // A device without a block size reports the host's own.
    struct stat hostSt;
    ASSERT_EQ(::stat(mediaDir().c_str(), &hostSt), 0);
    ASSERT_EQ(plat::stat("/DVD", &st), 0);
    EXPECT_EQ(st.st_blksize, hostSt.st_blksize);
    EXPECT_EQ(plat::stat("/SDH/missing", &st), -1);
}

TEST_F(FilesTest, InjectedOpenFailureCarriesItsErrno) {
    put("/SDH/f.txt", "data");
    hostsim::injectFault(hostsim::FileOp::Open, 2, EACCES);
    const int first = plat::open("/SDH/f.txt", O_RDONLY);
    EXPECT_GE(first, 0);
    errno = 0;
    EXPECT_EQ(plat::open("/SDH/f.txt", O_RDONLY), -1);
    EXPECT_EQ(errno, EACCES);
    const int third = plat::open("/SDH/f.txt", O_RDONLY);
    EXPECT_GE(third, 0);
    EXPECT_EQ(hostsim::callCount(hostsim::FileOp::Open), 3);
    plat::close(first);
    plat::close(third);
    hostsim::clearFaults();
    EXPECT_EQ(hostsim::callCount(hostsim::FileOp::Open), 0);
}

TEST_F(FilesTest, InjectedWriteFailureOnceThenPersistent) {
    put("/F/src.bin", std::string(1000, 's'));
    hostsim::injectFault(hostsim::FileOp::Write, 1, ENOSPC);
    errno = 0;
    EXPECT_EQ(cp("/F/src.bin", "/SDH/dst.bin"), ERROR);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_FALSE(has("/SDH/dst.bin")); // no partial copy is left behind
    EXPECT_EQ(cp("/F/src.bin", "/SDH/dst.bin"), OK);
    EXPECT_EQ(get("/SDH/dst.bin"), std::string(1000, 's'));

    hostsim::injectFault(hostsim::FileOp::Write, 1, EIO, true);
    for (int i = 0; i < 3; ++i) {
        const int fd = plat::open("/SDH/w.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        errno = 0;
        EXPECT_EQ(plat::write(fd, "x", 1), -1);
        EXPECT_EQ(errno, EIO);
        plat::close(fd);
    }
    hostsim::clearFaults();
    const int fd = plat::open("/SDH/w.bin", O_WRONLY | O_TRUNC);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::write(fd, "xy", 2), 2);
    EXPECT_EQ(plat::close(fd), 0);
    EXPECT_EQ(get("/SDH/w.bin"), "xy");
}

// Every fault kind reaches its function with the chosen errno, once or from
// the k-th call on.
TEST_F(FilesTest, EveryFaultKindFailsItsFunction) {
    put("/SDH/f.txt", "data");
    put("/SDH/dir/x", "x");
    struct Case {
        hostsim::FileOp op;
        std::function<bool()> call; // true when the call failed
    };
    const Case cases[] = {
        {hostsim::FileOp::Fopen,
         [] {
             FILE *f = plat::fopen("/SDH/f.txt", "r");
             if (f != nullptr)
                 plat::fclose(f);
             return f == nullptr;
         }},
        {hostsim::FileOp::Fwrite,
         [] {
             FILE *f = plat::fopen("/SDH/w.txt", "w");
             const bool failed = plat::fwrite("abc", 3, 1, f) != 1;
             plat::fclose(f);
             return failed;
         }},
        {hostsim::FileOp::Fflush,
         [] {
             FILE *f = plat::fopen("/SDH/w.txt", "w");
             const bool failed = plat::fflush(f) != 0;
             plat::fclose(f);
             return failed;
         }},
        {hostsim::FileOp::Fclose, [] { return plat::fclose(plat::fopen("/SDH/f.txt", "r")) != 0; }},
        {hostsim::FileOp::Remove,
         [] {
             writeFile(hostsim::resolvePath("/SDH/r.txt"), "r");
             return plat::remove("/SDH/r.txt") != 0;
         }},
        {hostsim::FileOp::Rmdir,
         [] {
             plat::mkdir("/SDH/empty");
             return plat::rmdir("/SDH/empty") != 0;
         }},
        {hostsim::FileOp::Opendir,
         [] {
             DIR *d = plat::opendir("/SDH/dir");
             if (d != nullptr)
                 plat::closedir(d);
             return d == nullptr;
         }},
        {hostsim::FileOp::Readdir,
         [] {
             DIR *d = plat::opendir("/SDH/dir");
             errno = 0;
             const bool failed = plat::readdir(d) == nullptr && errno != 0;
             plat::closedir(d);
             return failed;
         }},
        {hostsim::FileOp::Stat,
         [] {
             struct stat st;
             return plat::stat("/SDH/f.txt", &st) != 0;
         }},
        {hostsim::FileOp::Sync,
         [] {
             const int fd = plat::open("/SDH/s.txt", O_WRONLY | O_CREAT, 0644);
             const bool failed = plat::ioctl(fd, FIOSYNC, 0) != 0;
             plat::close(fd);
             return failed;
         }},
        {hostsim::FileOp::Cp, [] { return cp("/SDH/f.txt", "/SDH/c.txt") != OK; }},
        {hostsim::FileOp::Mv,
         [] {
             writeFile(hostsim::resolvePath("/SDH/m.txt"), "m");
             return mv("/SDH/m.txt", "/SDH/m2.txt") != OK;
         }},
    };
    for (const Case &c : cases) {
        const std::string what = hostsim::fileOpName(c.op);
        for (int err : {EIO, ENOSPC, EACCES}) {
            hostsim::clearFaults();
            hostsim::injectFault(c.op, 2, err);
            EXPECT_FALSE(c.call()) << what;
            errno = 0;
            EXPECT_TRUE(c.call()) << what;
            EXPECT_EQ(errno, err) << what;
            EXPECT_FALSE(c.call()) << what << ": once only";
        }
        hostsim::clearFaults();
        hostsim::injectFault(c.op, 1, EIO, true);
        EXPECT_TRUE(c.call()) << what;
        EXPECT_TRUE(c.call()) << what << ": from then on";
        EXPECT_EQ(hostsim::callCount(c.op), 2) << what;
    }
}

// A card of a given size: what it holds counts as used, a write past the
// size writes what fits and fails with ENOSPC, nothing can be created on a
// full card; the file commands and standard I/O obey it too.
TEST_F(FilesTest, DeviceCapacityPlaysAFullCard) {
    put("/SDH/present.dat", std::string(600, 'p'));
    hostsim::setDeviceCapacity("/SDH", 1000);

    const int fd = plat::open("/SDH/a.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(plat::write(fd, std::string(300, 'a').data(), 300), 300);
    EXPECT_EQ(plat::write(fd, std::string(300, 'a').data(), 300), 100); // what fits
    errno = 0;
    EXPECT_EQ(plat::write(fd, "a", 1), -1);
    EXPECT_EQ(errno, ENOSPC);
    // Overwriting bytes already there takes no room.
    EXPECT_EQ(plat::lseek(fd, 0, SEEK_SET), 0);
    EXPECT_EQ(plat::write(fd, "bb", 2), 2);
    EXPECT_EQ(plat::close(fd), 0);
    EXPECT_EQ(get("/SDH/a.bin").size(), 400u);

    errno = 0;
    EXPECT_EQ(plat::open("/SDH/new.bin", O_WRONLY | O_CREAT, 0644), -1);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(plat::mkdir("/SDH/NEW"), -1);
    EXPECT_EQ(plat::fopen("/SDH/new.txt", "w"), nullptr);
    EXPECT_EQ(cp("/SDH/a.bin", "/SDH/copy.bin"), ERROR);
    EXPECT_FALSE(has("/SDH/copy.bin"));

    // Room made by a removal can be used again, through FILE writes too.
    ASSERT_EQ(plat::remove("/SDH/present.dat"), 0);
    FILE *f = plat::fopen("/SDH/s.txt", "w");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(plat::fwrite(std::string(500, 's').data(), 500, 1, f), 1u);
    errno = 0;
    EXPECT_EQ(plat::fwrite(std::string(200, 's').data(), 200, 1, f), 0u);
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(plat::fclose(f), 0);
    EXPECT_EQ(get("/SDH/s.txt").size(), 600u);

    // Other devices are not limited; the limit can be lifted.
    put("/F/big.bin", std::string(5000, 'b'));
    EXPECT_EQ(cp("/F/big.bin", "/F/big2.bin"), OK);
    hostsim::setDeviceCapacity("/SDH", -1);
    EXPECT_EQ(cp("/F/big.bin", "/SDH/big.bin"), OK);
}

// A symbolic link in a device's folder could lead writes outside the device
// (and past its capacity count): every path through one is refused as absent,
// at the call itself, with a log line naming the link; paths beside it are
// not. Both ways of resolving: openat2, and the walk of a kernel without it.
TEST_F(FilesTest, PathsThroughASymbolicLinkInADeviceAreRefused) {
    put("/SDH/MAPPE/ITA/map.dat", "ita");
    ASSERT_TRUE(writeFile(root() + "/outside/file.dat", "outside"));
    ASSERT_EQ(::symlink("../../outside", (sdDir() + "/MAPPE/FRA").c_str()), 0);
    ASSERT_EQ(::symlink(root().c_str(), (sdDir() + "/up").c_str()), 0);
    ASSERT_EQ(::symlink("nowhere", (sdDir() + "/MAPPE/dangling").c_str()), 0);
    hostsim::setDeviceCapacity("/SDH", 1000000);
    const struct {
        const char *path;
        const char *link; // named by the log line
    } cases[] = {
        {"/SDH/MAPPE/FRA/file.dat", "/MAPPE/FRA"},  {"/SDH/MAPPE/FRA/new.dat", "/MAPPE/FRA"},
        {"/SDH/MAPPE/FRA", "/MAPPE/FRA"},           {"/SDH/up/outside/file.dat", "/up"},
        {"/SDH/MAPPE/dangling", "/MAPPE/dangling"}, {"/SDH/MAPPE/ITA/../FRA/new.dat", "/MAPPE/FRA"},
    };
    for (bool withoutOpenat2 : {false, true}) {
        hostsim::playHostWithoutOpenat2(withoutOpenat2);
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(c.path) + (withoutOpenat2 ? " without openat2" : ""));
            const std::string refusal =
                " is refused: it passes through " + sdDir() + c.link + ", a symbolic link";
            hostsim::clearCapturedLog();
            struct stat st;
            errno = 0;
            EXPECT_EQ(plat::stat(c.path, &st), -1);
            EXPECT_EQ(errno, ENOENT);
            EXPECT_NE(hostsim::capturedText().find(refusal), std::string::npos)
                << hostsim::capturedText();
            errno = 0;
            EXPECT_EQ(plat::open(c.path, O_WRONLY | O_CREAT, 0644), -1);
            EXPECT_EQ(errno, ENOENT);
            EXPECT_EQ(plat::open(c.path, O_RDONLY), -1);
            EXPECT_EQ(plat::fopen(c.path, "w"), nullptr);
            EXPECT_EQ(plat::opendir(c.path), nullptr);
            EXPECT_EQ(plat::mkdir(c.path), -1);
            EXPECT_EQ(plat::mkdir((std::string(c.path) + "/sub").c_str()), -1);
            EXPECT_EQ(plat::remove(c.path), -1);
            EXPECT_EQ(plat::rmdir(c.path), -1);
            EXPECT_EQ(plat::rename("/SDH/MAPPE/ITA/map.dat", c.path), -1);
            EXPECT_NE(cp("/SDH/MAPPE/ITA/map.dat", c.path), OK);
            EXPECT_NE(xcopy("/SDH/MAPPE/ITA", c.path), OK);
            EXPECT_NE(mv("/SDH/MAPPE/ITA/map.dat", c.path), OK);
            EXPECT_NE(xdelete((std::string(c.path) + "/file.dat").c_str()), OK);
            char resolved[256];
            errno = 0;
            EXPECT_EQ(plat::resolvePath(c.path, resolved, sizeof resolved), -1);
            EXPECT_EQ(errno, ENOENT);
            EXPECT_NE(hostsim::capturedText().find(std::string(c.path) + refusal),
                      std::string::npos)
                << hostsim::capturedText();
        }
        EXPECT_EQ(testsupport::readFile(root() + "/outside/file.dat"), "outside");
        EXPECT_FALSE(fileExists(root() + "/outside/new.dat"));
        EXPECT_FALSE(fileExists(root() + "/outside/sub"));
        EXPECT_EQ(get("/SDH/MAPPE/ITA/map.dat"), "ita");
        // The links themselves are where they were.
        struct stat st;
        EXPECT_EQ(::lstat((sdDir() + "/MAPPE/FRA").c_str(), &st), 0);
        EXPECT_TRUE(S_ISLNK(st.st_mode));
        hostsim::clearCapturedLog();
        EXPECT_EQ(cp("/SDH/MAPPE/ITA/map.dat", "/SDH/MAPPE/ITA/copy.dat"), OK);
        EXPECT_EQ(plat::remove("/SDH/MAPPE/ITA/copy.dat"), 0);
        EXPECT_EQ(hostsim::capturedText(), "");
    }

    // A host path into a device's folder is confined as well; ".." that
    // leads out of the folder is refused.
    hostsim::clearCapturedLog();
    EXPECT_EQ(plat::open((sdDir() + "/MAPPE/FRA/file.dat").c_str(), O_RDONLY), -1);
    EXPECT_EQ(plat::open((sdDir() + "/../outside/file.dat").c_str(), O_RDONLY), -1);
    EXPECT_EQ(errno, ENOENT);
    EXPECT_NE(hostsim::capturedText().find("/SDH/../outside/file.dat is refused: it leads out of "
                                           "the folder of /SDH"),
              std::string::npos)
        << hostsim::capturedText();
    // xdelete of a tree removes a link in it, never what it points to.
    EXPECT_EQ(xdelete("/SDH/MAPPE"), OK);
    EXPECT_FALSE(fileExists(sdDir() + "/MAPPE"));
    EXPECT_EQ(testsupport::readFile(root() + "/outside/file.dat"), "outside");
}

// Played alone (the script's child), the unit has only its devices: a host
// path, absolute or relative, is absent for every file function, with a log
// line naming it, and nothing of the host's is read, made or removed.
TEST_F(FilesTest, HostPathsAbsentWhenTheUnitPlaysAlone) {
    const std::string hostFile = root() + "/host/file.dat";
    const std::string hostDir = root() + "/host";
    ASSERT_TRUE(writeFile(hostFile, "host"));
    put("/SDH/a.dat", "card");
    char cwd[4096];
    ASSERT_NE(::getcwd(cwd, sizeof cwd), nullptr);
    ASSERT_EQ(::chdir(hostDir.c_str()), 0);
    hostsim::setHostPathsAbsent(true);
    const std::string made = hostDir + "/made";
    for (const std::string &path : {hostFile, std::string("file.dat"), hostDir}) {
        SCOPED_TRACE(path);
        const char *p = path.c_str();
        hostsim::clearCapturedLog();
        struct stat st;
        errno = 0;
        EXPECT_EQ(plat::stat(p, &st), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_NE(hostsim::capturedText().find("hostsim: " + path +
                                               " is absent: " + hostsim::kNoSuchPathText + "\n"),
                  std::string::npos)
            << hostsim::capturedText();
        errno = 0;
        EXPECT_EQ(plat::open(p, O_RDONLY), -1);
        EXPECT_EQ(errno, ENOENT);
        EXPECT_EQ(plat::fopen(p, "r"), nullptr);
        EXPECT_EQ(plat::fopen(p, "a"), nullptr);
        EXPECT_EQ(plat::opendir(p), nullptr);
        EXPECT_EQ(plat::remove(p), -1);
        EXPECT_EQ(plat::rmdir(p), -1);
        EXPECT_EQ(plat::rename(p, made.c_str()), -1);
        EXPECT_EQ(plat::rename("/SDH/a.dat", p), -1);
        EXPECT_NE(cp(p, "/SDH/b.dat"), OK);
        EXPECT_NE(cp("/SDH/a.dat", p), OK);
        EXPECT_NE(mv("/SDH/a.dat", p), OK);
        EXPECT_NE(xcopy("/SDH", p), OK);
        EXPECT_NE(xdelete(p), OK);
        char resolved[256];
        EXPECT_EQ(plat::resolvePath(p, resolved, sizeof resolved), -1);
        EXPECT_EQ(hostsim::resolvePath(path), "");
    }
    EXPECT_EQ(plat::open(made.c_str(), O_WRONLY | O_CREAT, 0644), -1);
    EXPECT_EQ(plat::mkdir(made.c_str()), -1);
    EXPECT_EQ(plat::open("made", O_WRONLY | O_CREAT, 0644), -1);
    // The devices are there as ever.
    EXPECT_EQ(cp("/SDH/a.dat", "/F/a.dat"), OK);
    EXPECT_EQ(get("/F/a.dat"), "card");
    EXPECT_EQ(readFile(hostFile), "host");
    EXPECT_EQ(testsupport::snapshotTree(hostDir), (testsupport::Tree{{"file.dat", "host"}}));
    EXPECT_EQ(get("/SDH/a.dat"), "card");

    hostsim::setHostPathsAbsent(false);
    EXPECT_EQ(cp("/SDH/a.dat", made.c_str()), OK);
    EXPECT_EQ(readFile(made), "card");
    ASSERT_EQ(::chdir(cwd), 0);
}

// A FIFO in a device's folder never holds its opener: open and fopen for
// reading or writing come back at once (a write open without a reader with
// ENXIO) and stay non-blocking; files and folders are blocking as asked. A
// tool's own open of a named file takes only a regular file. Run in a child,
// so that an open that blocks fails the test instead of hanging it.
TEST_F(FilesTest, OpensOfAFifoOnADeviceNeverWait) {
    ASSERT_EQ(::mkfifo(host("/SDH/fifo").c_str(), 0600), 0);
    put("/SDH/file.dat", "data");
    const int status = testsupport::runInChild([] {
        auto nonBlocking = [](int fd) { return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0; };
        const int rd = plat::open("/SDH/fifo", O_RDONLY);
        char c;
        if (rd < 0 || !nonBlocking(rd) || plat::read(rd, &c, 1) > 0)
            _exit(1);
        plat::close(rd);
        errno = 0;
        if (plat::open("/SDH/fifo", O_WRONLY) != -1 || errno != ENXIO)
            _exit(2);
        FILE *f = plat::fopen("/SDH/fifo", "r");
        if (f == nullptr || std::fgetc(f) != EOF)
            _exit(3);
        plat::fclose(f);
        if (plat::fopen("/SDH/fifo", "w") != nullptr)
            _exit(4);
        const int file = plat::open("/SDH/file.dat", O_RDONLY);
        const int dir = plat::open("/SDH", O_RDONLY);
        const int asked = plat::open("/SDH/file.dat", O_RDONLY | O_NONBLOCK);
        if (file < 0 || nonBlocking(file) || dir < 0 || nonBlocking(dir) || asked < 0 ||
            !nonBlocking(asked))
            _exit(5);
        errno = 0;
        if (hostsim::openRegularFile("/SDH/fifo") != -1 || errno != EINVAL)
            _exit(6);
        errno = 0;
        if (hostsim::openRegularFile("/SDH") != -1 || errno != EISDIR)
            _exit(7);
        const int named = hostsim::openRegularFile("/SDH/file.dat");
        if (named < 0 || nonBlocking(named) || ::read(named, &c, 1) != 1 || c != 'd')
            _exit(8);
        _exit(0);
    });
    EXPECT_EQ(status, 0) << "1-8: the check that failed; -1: blocked";
}

TEST_F(FilesTest, ReplacedFileOpsSeeResolvedHostPaths) {
    static std::string s_seen;
    s_seen.clear();
    hostsim::fileOps().mkdir = [](const char *path, int) {
        s_seen = path;
        errno = EROFS;
        return -1;
    };
    EXPECT_EQ(plat::mkdir("/SDH/NEW"), -1);
    EXPECT_EQ(errno, EROFS);
    EXPECT_EQ(s_seen, sdDir() + "/NEW");
    hostsim::resetFileOps();
    EXPECT_EQ(plat::mkdir("/SDH/NEW"), 0);
    EXPECT_TRUE(has("/SDH/NEW"));
}

TEST_F(FilesTest, CpCopiesLargeFilesIntoFilesOrFolders) {
    std::string big;
    for (int i = 0; i < 150000; ++i)
        big += static_cast<char>('a' + i % 26);
    put("/DVD/big.dat", big);
    EXPECT_EQ(cp("/DVD/big.dat", "/SDH/copy.dat"), OK);
    EXPECT_EQ(get("/SDH/copy.dat"), big);

    put("/DVD/small.dat", "new");
    put("/SDH/small.dat", "older and longer");
    EXPECT_EQ(cp("/DVD/small.dat", "/SDH/small.dat"), OK);
    EXPECT_EQ(get("/SDH/small.dat"), "new");

    ASSERT_EQ(plat::mkdir("/SDH/DIR"), 0);
    EXPECT_EQ(cp("/DVD/small.dat", "/SDH/DIR"), OK);
    EXPECT_EQ(get("/SDH/DIR/small.dat"), "new");

    put("/DVD/empty.dat", "");
    EXPECT_EQ(cp("/DVD/empty.dat", "/SDH/empty.dat"), OK);
    EXPECT_TRUE(has("/SDH/empty.dat"));

    EXPECT_EQ(cp("/DVD/missing.dat", "/SDH/x.dat"), ERROR);
    EXPECT_FALSE(has("/SDH/x.dat"));
    // Onto itself: refused, the file is intact.
    EXPECT_EQ(cp("/SDH/small.dat", "/SDH/small.dat"), ERROR);
    EXPECT_EQ(get("/SDH/small.dat"), "new");
    EXPECT_EQ(cp(nullptr, "/SDH/x"), ERROR);
}

TEST_F(FilesTest, XdeleteWithWildcardsRemovesOnlyMatches) {
    put("/SDH/MAPPE/POI_USER/TEMP_A.DAT", "a");
    put("/SDH/MAPPE/POI_USER/TEMP_B.TXT", "b");
    put("/SDH/MAPPE/POI_USER/TEMPX", "x");
    put("/SDH/MAPPE/POI_USER/TEMPDIR/inner/f.txt", "f");
    put("/SDH/MAPPE/POI_USER/KEEP.DAT", "k");
    put("/SDH/MAPPE/POI_USER/XTEMP.DAT", "k");

    EXPECT_EQ(xdelete("/SDH/MAPPE/POI_USER/TEMP*.*"), OK);
    EXPECT_FALSE(has("/SDH/MAPPE/POI_USER/TEMP_A.DAT"));
    EXPECT_FALSE(has("/SDH/MAPPE/POI_USER/TEMP_B.TXT"));
    EXPECT_TRUE(has("/SDH/MAPPE/POI_USER/TEMPX"));
    EXPECT_TRUE(has("/SDH/MAPPE/POI_USER/TEMPDIR/inner/f.txt"));
    EXPECT_TRUE(has("/SDH/MAPPE/POI_USER/KEEP.DAT"));
    EXPECT_TRUE(has("/SDH/MAPPE/POI_USER/XTEMP.DAT"));

    EXPECT_EQ(xdelete("/SDH/MAPPE/POI_USER/TEMP*"), OK);
    EXPECT_FALSE(has("/SDH/MAPPE/POI_USER/TEMPX"));
    EXPECT_FALSE(has("/SDH/MAPPE/POI_USER/TEMPDIR"));
    EXPECT_TRUE(has("/SDH/MAPPE/POI_USER/KEEP.DAT"));

    EXPECT_EQ(xdelete("/SDH/MAPPE/POI_USER/TEMP*"), ERROR); // nothing matches now
    EXPECT_EQ(xdelete("/SDH/MAPPE/POI_USER/?TEMP.DA?"), OK);
    EXPECT_FALSE(has("/SDH/MAPPE/POI_USER/XTEMP.DAT"));
    EXPECT_TRUE(has("/SDH/MAPPE/POI_USER/KEEP.DAT"));
    EXPECT_EQ(xdelete("/SDH/NOFOLDER/*"), ERROR);
}

TEST_F(FilesTest, XdeleteRemovesFilesAndWholeTrees) {
    put("/SDH/MAPPE/MERGE/a/b/c.txt", "c");
    put("/SDH/MAPPE/MERGE/top.txt", "t");
    put("/SDH/MAPPE/other.txt", "o");
    EXPECT_EQ(xdelete("/SDH/MAPPE/MERGE/"), OK);
    EXPECT_FALSE(has("/SDH/MAPPE/MERGE"));
    EXPECT_TRUE(has("/SDH/MAPPE/other.txt"));
    EXPECT_EQ(xdelete("/SDH/MAPPE/other.txt"), OK);
    EXPECT_FALSE(has("/SDH/MAPPE/other.txt"));
    EXPECT_TRUE(has("/SDH/MAPPE"));
    EXPECT_EQ(xdelete("/SDH/MAPPE/MERGE"), ERROR);
    EXPECT_EQ(xdelete(nullptr), ERROR);

    // A device's root is emptied, never removed.
    put("/SDH/a/b.txt", "b");
    EXPECT_EQ(xdelete("/SDH/"), OK);
    EXPECT_TRUE(fileExists(sdDir()));
    EXPECT_FALSE(has("/SDH/a"));
    EXPECT_FALSE(has("/SDH/MAPPE"));
}

TEST_F(FilesTest, XcopyCopiesATreeIntoANewFolder) {
    put("/DVD/POI/top.txt", "top");
    put("/DVD/POI/IT/poi_IT.txt", "italy");
    put("/DVD/POI/IT/deep/more.bin", std::string(70000, 'm'));
    ASSERT_EQ(plat::mkdir("/DVD/POI/EMPTY"), 0);

    EXPECT_EQ(xcopy("/DVD/POI", "/SDH/MAPPE/MERGE"), OK);
    EXPECT_EQ(get("/SDH/MAPPE/MERGE/top.txt"), "top");
    EXPECT_EQ(get("/SDH/MAPPE/MERGE/IT/poi_IT.txt"), "italy");
    EXPECT_EQ(get("/SDH/MAPPE/MERGE/IT/deep/more.bin"), std::string(70000, 'm'));
    EXPECT_TRUE(has("/SDH/MAPPE/MERGE/EMPTY"));
    EXPECT_EQ(get("/DVD/POI/top.txt"), "top"); // source untouched

    // Into an existing folder: files are replaced, others kept.
    put("/SDH/MAPPE/MERGE/top.txt", "old");
    put("/SDH/MAPPE/MERGE/user.txt", "mine");
    EXPECT_EQ(xcopy("/DVD/POI/", "/SDH/MAPPE/MERGE/"), OK);
    EXPECT_EQ(get("/SDH/MAPPE/MERGE/top.txt"), "top");
    EXPECT_EQ(get("/SDH/MAPPE/MERGE/user.txt"), "mine");

    EXPECT_EQ(xcopy("/DVD/POI", "/DVD/POI/IT/again"), ERROR); // into itself
    EXPECT_FALSE(has("/DVD/POI/IT/again"));
    EXPECT_EQ(xcopy("/DVD/NOPE", "/SDH/x"), ERROR);
}

TEST_F(FilesTest, XcopyReachesInjectedFaults) {
    put("/DVD/POI/a.txt", "a");
    hostsim::injectFault(hostsim::FileOp::Mkdir, 1, EACCES);
    errno = 0;
    EXPECT_EQ(xcopy("/DVD/POI", "/SDH/NEW"), ERROR);
    EXPECT_EQ(errno, EACCES);
    EXPECT_FALSE(has("/SDH/NEW"));

    hostsim::injectFault(hostsim::FileOp::Read, 1, EIO);
    EXPECT_EQ(xcopy("/DVD/POI", "/SDH/NEW"), ERROR);
    EXPECT_FALSE(has("/SDH/NEW/a.txt"));
    EXPECT_EQ(xcopy("/DVD/POI", "/SDH/NEW"), OK);
    EXPECT_EQ(get("/SDH/NEW/a.txt"), "a");
}

TEST_F(FilesTest, MvRenamesAndMovesBetweenDevices) {
    put("/F/one.txt", "1");
    EXPECT_EQ(mv("/F/one.txt", "/SDH/one.txt"), OK);
    EXPECT_FALSE(has("/F/one.txt"));
    EXPECT_EQ(get("/SDH/one.txt"), "1");

    // Devices on different file systems: the rename fails with EXDEV and the
    // move falls back to copy and delete.
    put("/F/two.txt", "2");
    hostsim::injectFault(hostsim::FileOp::Rename, 1, EXDEV);
    EXPECT_EQ(mv("/F/two.txt", "/SDH/two.txt"), OK);
    EXPECT_FALSE(has("/F/two.txt"));
    EXPECT_EQ(get("/SDH/two.txt"), "2");

    put("/F/TREE/a.txt", "a");
    put("/F/TREE/sub/b.txt", "b");
    hostsim::injectFault(hostsim::FileOp::Rename, 1, EXDEV);
    EXPECT_EQ(mv("/F/TREE", "/SDH/MAPPE/TREE"), ERROR); // parent folder missing
    EXPECT_TRUE(has("/F/TREE/sub/b.txt"));
    ASSERT_EQ(plat::mkdir("/SDH/MAPPE"), 0);
    hostsim::injectFault(hostsim::FileOp::Rename, 1, EXDEV);
    EXPECT_EQ(mv("/F/TREE", "/SDH/MAPPE/TREE"), OK);
    EXPECT_FALSE(has("/F/TREE"));
    EXPECT_EQ(get("/SDH/MAPPE/TREE/a.txt"), "a");
    EXPECT_EQ(get("/SDH/MAPPE/TREE/sub/b.txt"), "b");

    // A copy that fails keeps the source and leaves no half copy.
    hostsim::injectFault(hostsim::FileOp::Rename, 1, EXDEV);
    hostsim::injectFault(hostsim::FileOp::Write, 2, ENOSPC);
    EXPECT_EQ(mv("/SDH/MAPPE/TREE", "/F/BACK"), ERROR);
    EXPECT_FALSE(has("/F/BACK"));
    EXPECT_EQ(get("/SDH/MAPPE/TREE/sub/b.txt"), "b");

    EXPECT_EQ(mv("/F/missing", "/SDH/x"), ERROR);
}

// Reads every line of `content` with fioRdString and a buffer of `max` bytes;
// each line is "<result>:<text>".
std::vector<std::string> readLines(const std::string &path, int max) {
    std::vector<std::string> out;
    const int fd = plat::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return out;
    char buf[64];
    for (int guard = 0; guard < 100; ++guard) {
        std::memset(buf, 'Z', sizeof buf);
        const int n = fioRdString(fd, buf, max);
        if (n == ERROR) {
            out.push_back("EOF");
            break;
        }
        out.push_back(std::to_string(n) + ":" + std::string(buf));
        EXPECT_EQ(static_cast<int>(std::strlen(buf)) + 1, n);
    }
    plat::close(fd);
    return out;
}

TEST_F(FilesTest, FioRdStringSplitsLinesSafely) {
    put("/F/lines.txt", "short\r\nabcdefghijklmnop\n\nlast");
    const std::vector<std::string> expected = {"7:short\r", "8:abcdefg", "8:hijklmn", "3:op",
                                               "1:",        "5:last",    "EOF"};
    EXPECT_EQ(readLines("/F/lines.txt", 8), expected);

    // A line that exactly fills the buffer gives no extra empty line.
    put("/F/exact.txt", "1234567\nnext\n");
    EXPECT_EQ(readLines("/F/exact.txt", 8),
              (std::vector<std::string>{"8:1234567", "5:next", "EOF"}));

    put("/F/empty.txt", "");
    EXPECT_EQ(readLines("/F/empty.txt", 8), std::vector<std::string>{"EOF"});

    const int fd = plat::open("/F/lines.txt", O_RDONLY);
    ASSERT_GE(fd, 0);
    char one[1] = {'Z'};
    EXPECT_EQ(fioRdString(fd, one, 1), ERROR);
    EXPECT_EQ(one[0], '\0');
    hostsim::injectFault(hostsim::FileOp::Read, 1, EIO);
    char buf[16];
    EXPECT_EQ(fioRdString(fd, buf, sizeof buf), ERROR);
    EXPECT_EQ(fioRdString(fd, buf, sizeof buf), 7);
    plat::close(fd);
}

} // namespace
