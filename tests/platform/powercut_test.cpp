// The power-cut model of the host platform: which operations count, the
// count across tasks, the trace, the cut (in a forked child, since it ends
// the process) and the unsynced data a cut may lose.
#include "platform/hostsim/hostsim.h"
#include "platform/plat_io.h"
#include "platform/vxworks.h"
#include "tests/support/child_process.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::readFile;
using testsupport::writeFile;

class PowerCutTest : public testsupport::UnitFixture {
protected:
    // The operations `run` makes, as traced ("op path" per line, no count).
    std::string traced(const std::function<void()> &run) {
        const std::string path = root() + "/trace";
        const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_GE(fd, 0);
        hostsim::traceStateOps(fd);
        const std::uint64_t before = hostsim::stateOpCount();
        run();
        hostsim::traceStateOps(-1);
        ::close(fd);
        std::string out;
        std::uint64_t k = before;
        const std::string text = readFile(path);
        for (size_t pos = 0; pos < text.size();) {
            const size_t end = text.find('\n', pos);
            const std::string line = text.substr(pos, end - pos);
            pos = end + 1;
            const size_t tab = line.find('\t');
            EXPECT_EQ(line.substr(0, tab), std::to_string(++k)) << line;
            std::string rest = line.substr(tab + 1);
            rest[rest.find('\t')] = ' ';
            out += rest + "\n";
        }
        EXPECT_EQ(hostsim::stateOpCount(), k);
        return out;
    }

    // Writes `bytes` bytes to unit path `path` (created), unsynced.
    static void writeUnsynced(const char *path, size_t bytes) {
        const std::string data(bytes, 'd');
        const int fd = plat::open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
        plat::write(fd, data.data(), data.size());
        plat::close(fd);
    }
};

// What counts, with the name the trace gives it: every change on a unit
// device, through plat:: or a file command; no read, and nothing off the
// devices.
TEST_F(PowerCutTest, StateChangingOperationsAreCountedAndTraced) {
    ASSERT_TRUE(writeFile(host("/SDH/in.txt"), "input"));
    const std::string offDevice = root() + "/off.txt";
    struct Row {
        const char *what;
        std::function<void()> run;
        std::string ops;
    };
    const Row rows[] = {
        {"descriptor write",
         [] {
             const int fd = plat::open("/SDH/a", O_WRONLY | O_CREAT, 0644);
             plat::write(fd, "x", 1);
             plat::ioctl(fd, FIOSYNC, 0);
             plat::close(fd);
         },
         "open /SDH/a\nwrite /SDH/a\nsync /SDH/a\nclose /SDH/a\n"},
        {"reads only",
         [] {
             char c;
             const int fd = plat::open("/SDH/in.txt", O_RDONLY);
             plat::read(fd, &c, 1);
             plat::close(fd);
             FILE *f = plat::fopen("/SDH/in.txt", "r");
             plat::fclose(f);
             struct stat st;
             plat::stat("/SDH/in.txt", &st);
         },
         ""},
        {"stream write",
         [] {
             FILE *f = plat::fopen("/SDH/b", "wb");
             plat::fwrite("y", 1, 1, f);
             plat::fclose(f);
         },
         "fopen /SDH/b\nfwrite /SDH/b\nfclose /SDH/b\n"},
        {"names",
         [] {
             plat::mkdir("/SDH/d");
             plat::rename("/SDH/b", "/SDH/d/b");
             plat::remove("/SDH/d/b");
             plat::rmdir("/SDH/d");
         },
         "mkdir /SDH/d\nrename /SDH/b\nremove /SDH/d/b\nrmdir /SDH/d\n"},
        {"device flush",
         [] {
             const int fd = plat::open("/SDH", O_RDONLY);
             plat::ioctl(fd, FIOSYNC, 0);
             plat::close(fd);
         },
         "flush /SDH\n"},
        {"file commands", [] { cp("/SDH/in.txt", "/SDH/c"); },
         "open /SDH/c\nwrite /SDH/c\nclose /SDH/c\n"},
        {"failed attempts count too",
         [] {
             plat::remove("/SDH/missing");
             plat::mkdir("/DVD/none");
         },
         "remove /SDH/missing\nmkdir /DVD/none\n"},
        {"off the devices",
         [offDevice] {
             FILE *f = plat::fopen(offDevice.c_str(), "w");
             plat::fwrite("z", 1, 1, f);
             plat::fclose(f);
             plat::remove(offDevice.c_str());
         },
         ""},
    };
    for (const Row &r : rows)
        EXPECT_EQ(traced(r.run), r.ops) << r.what;
    hostsim::resetStateOps();
    EXPECT_EQ(hostsim::stateOpCount(), 0u);
}

struct WriterArgs {
    int index;
    int writes;
};

int writerTask(WriterArgs *args) {
    const std::string path = "/SDH/task" + std::to_string(args->index);
    const int fd = plat::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    for (int i = 0; i < args->writes; ++i)
        plat::write(fd, "w", 1);
    plat::close(fd);
    return 0;
}

// Every task's operations land in the one count, none lost to a race.
TEST_F(PowerCutTest, OperationsOfEveryTaskAreCounted) {
    const int tasks = 4;
    const int writes = 200;
    std::vector<WriterArgs> args;
    for (int i = 0; i < tasks; ++i)
        args.push_back(WriterArgs{i, writes});
    hostsim::resetStateOps();
    for (WriterArgs &a : args)
        ASSERT_GT(taskSpawn("Writer", 100, 0, 8192, reinterpret_cast<FUNCPTR>(writerTask),
                            reinterpret_cast<_Vx_usr_arg_t>(&a)),
                  0);
    ASSERT_TRUE(hostsim::waitAllTasks(10000));
    EXPECT_EQ(hostsim::stateOpCount(), static_cast<std::uint64_t>(tasks * (writes + 2)));
    EXPECT_EQ(hostsim::unsyncedFiles().size(), static_cast<size_t>(tasks));
}

// The cut ends the process before operation k, with nothing flushed: the
// operations before it happened, it and the later ones did not, and data
// still in a stream's buffer is lost as at a power loss.
TEST_F(PowerCutTest, CutEndsTheProcessBeforeItsOperation) {
    for (std::uint64_t k : {1u, 2u, 3u, 4u}) {
        testsupport::removeTree(sdDir());
        ASSERT_TRUE(writeFile(host("/SDH/keep"), ""));
        const int status = testsupport::runInChild([k] {
            FILE *buffered = plat::fopen("/F/buffered", "w"); // before arming: not cut
            std::fputs("held in the buffer", buffered);
            hostsim::armPowerCut(k);
            const int fd = plat::open("/SDH/a", O_WRONLY | O_CREAT, 0644); // 1
            plat::write(fd, "A", 1);                                       // 2
            plat::write(fd, "B", 1);                                       // 3
            plat::close(fd);                                               // 4
            _exit(0);
        });
        EXPECT_EQ(status, hostsim::kPowerCutExitStatus) << k;
        const std::string expected[] = {"<none>", "", "A", "AB"};
        const std::string a = testsupport::fileExists(host("/SDH/a")) ? readFile(host("/SDH/a"))
                                                                      : std::string("<none>");
        EXPECT_EQ(a, expected[k - 1]) << k;
        EXPECT_EQ(readFile(host("/F/buffered")), "") << k;
    }
    // Disarmed, nothing is cut.
    EXPECT_EQ(testsupport::runInChild([] {
                  hostsim::armPowerCut(1);
                  hostsim::armPowerCut(0);
                  plat::mkdir("/SDH/d");
              }),
              0);
}

// At a cut with lost writes on, each file keeps its synced part and a share
// of its unsynced tail drawn from the seed: the same seed cuts alike, a file
// synced or flushed keeps all of it, a removed one is not brought back.
TEST_F(PowerCutTest, LostWritesCutUnsyncedTailsByTheSeed) {
    const size_t size = 100000;
    auto run = [&](std::uint32_t seed) {
        testsupport::removeTree(sdDir());
        testsupport::removeTree(flashDir());
        std::filesystem::create_directories(sdDir());
        std::filesystem::create_directories(flashDir());
        EXPECT_EQ(testsupport::runInChild([&] {
                      hostsim::setLostWrites(true, seed);
                      for (const char *p : {"/SDH/u1", "/SDH/u2", "/SDH/u3", "/SDH/gone"})
                          writeUnsynced(p, size);
                      plat::remove("/SDH/gone");
                      // Synced half way: the first half is safe.
                      const int fd = plat::open("/SDH/half", O_WRONLY | O_CREAT, 0644);
                      const std::string half(size / 2, 'h');
                      plat::write(fd, half.data(), half.size());
                      plat::ioctl(fd, FIOSYNC, 0);
                      plat::write(fd, half.data(), half.size());
                      plat::close(fd);
                      writeUnsynced("/F/flushed", size);
                      const int dev = plat::open("/F", O_RDONLY);
                      plat::ioctl(dev, FIOSYNC, 0);
                      plat::close(dev);
                      hostsim::armPowerCut(1);
                      plat::mkdir("/SDH/never");
                  }),
                  hostsim::kPowerCutExitStatus);
        EXPECT_FALSE(testsupport::fileExists(host("/SDH/gone")));
        EXPECT_EQ(readFile(host("/F/flushed")).size(), size);
        std::vector<size_t> sizes;
        for (const char *p : {"/SDH/u1", "/SDH/u2", "/SDH/u3", "/SDH/half"})
            sizes.push_back(readFile(host(p)).size());
        EXPECT_GE(sizes[3], size / 2);
        for (size_t s : sizes)
            EXPECT_LE(s, size);
        return sizes;
    };
    const std::vector<size_t> first = run(7);
    EXPECT_EQ(run(7), first);
    bool differs = false;
    for (std::uint32_t seed : {8u, 9u, 10u})
        differs = differs || run(seed) != first;
    EXPECT_TRUE(differs);
    EXPECT_LT(first[0] + first[1] + first[2], 3 * size);
}

// The record of unsynced data: a sync or a flush clears it (also one that
// does not wait for the disk), a rename carries it (a folder's files too), a
// removal drops it.
TEST_F(PowerCutTest, SyncFlushRenameAndRemoveKeepTheRecordTrue) {
    using Names = std::vector<std::string>;
    writeUnsynced("/SDH/a", 10);
    writeUnsynced("/F/b", 10);
    EXPECT_EQ(hostsim::unsyncedFiles(), (Names{"/F/b", "/SDH/a"}));

    const int fd = plat::open("/SDH/a", O_WRONLY);
    EXPECT_EQ(plat::ioctl(fd, FIOSYNC, 0), 0);
    plat::close(fd);
    EXPECT_EQ(hostsim::unsyncedFiles(), Names{"/F/b"});

    ASSERT_EQ(plat::mkdir("/SDH/dir"), 0);
    writeUnsynced("/SDH/dir/c", 10);
    ASSERT_EQ(plat::rename("/SDH/dir", "/SDH/moved"), 0);
    EXPECT_EQ(hostsim::unsyncedFiles(), (Names{"/F/b", "/SDH/moved/c"}));
    ASSERT_EQ(plat::remove("/SDH/moved/c"), 0);
    EXPECT_EQ(hostsim::unsyncedFiles(), Names{"/F/b"});

    // A flush that does not wait for the disk (a tool's scratch card) keeps
    // the record and the count all the same.
    const int dev = plat::open("/F", O_RDONLY);
    const auto counted = hostsim::stateOpCount();
    hostsim::setSyncsReachDisk(false);
    EXPECT_EQ(plat::ioctl(dev, FIOFLUSH, 0), 0);
    hostsim::setSyncsReachDisk(true);
    EXPECT_EQ(hostsim::stateOpCount(), counted + 1);
    EXPECT_EQ(plat::ioctl(dev, 12345, 0), -1);
    EXPECT_EQ(errno, EINVAL);
    plat::close(dev);
    EXPECT_TRUE(hostsim::unsyncedFiles().empty());
}

} // namespace

namespace {

val_t writeInBuiltin() {
    const int fd = plat::open("/SDH/by_builtin", O_WRONLY | O_CREAT, 0644);
    plat::write(fd, "b", 1);
    plat::close(fd);
    val_t v;
    v.ival = 0;
    return v;
}

// Operations in the trace with their builtin call when asked: the n-th call
// by name with the site it was made at, the script's own between calls; and
// the cut after the last operation loses the unsynced data and names each
// file it cut short.
TEST_F(PowerCutTest, TraceNamesBuiltinCallsAndTheCutAfterTheEndLosesUnsyncedData) {
    ASSERT_EQ(EiC_AddBuiltInFunc("TestWriter", writeInBuiltin), 0);
    const std::string tracePath = root() + "/calls";
    const int status = testsupport::runInChild([&] {
        const int fd = ::open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        hostsim::traceStateOps(fd);
        hostsim::traceBuiltinCalls(true);
        hostsim::setLostWrites(true, 3);
        hostsim::resetStateOps();
        plat::mkdir("/SDH/own"); // 1: the script's own
        val_t ignored;
        hostsim::callBuiltin("TestWriter", {}, &ignored,
                             {"/work/scripts/map_upgrade.c", 210}); // 2-4: TestWriter#1
        hostsim::callBuiltin("TestWriter", {}, &ignored);           // 5-7: TestWriter#2
        writeUnsynced("/SDH/tail", 50000);                          // 8-10: the script's own
        hostsim::cutPowerNow();
    });
    EiC_RemoveBuiltInFunc("TestWriter");
    EXPECT_EQ(status, hostsim::kPowerCutExitStatus);
    const std::string trace = readFile(tracePath);
    EXPECT_NE(trace.find("1\tmkdir\t/SDH/own\t\t\n"), std::string::npos) << trace;
    EXPECT_NE(trace.find("2\topen\t/SDH/by_builtin\tTestWriter#1\tmap_upgrade.c:210\n"),
              std::string::npos)
        << trace;
    // A call without its site: the call alone, not the last call's site.
    EXPECT_NE(trace.find("7\tclose\t/SDH/by_builtin\tTestWriter#2\t\n"), std::string::npos)
        << trace;
    EXPECT_NE(trace.find("8\topen\t/SDH/tail\t\t\n"), std::string::npos) << trace;
    const std::size_t kept = readFile(host("/SDH/tail")).size();
    EXPECT_LT(kept, 50000u);
    // The file cut short: its unit path, what it kept, its size before.
    EXPECT_NE(trace.find("-\tlost\t/SDH/tail\t" + std::to_string(kept) + "\t50000\n"),
              std::string::npos)
        << trace;
    // Without the call names the trace is as it always was.
    EXPECT_EQ(traced([] { plat::mkdir("/SDH/plain"); }), "mkdir /SDH/plain\n");
}

// A site's file comes from the script: its base name only, bounded, and no
// byte of it can split or end a trace line.
TEST(CallSiteText, IsTheBaseNameBoundedWithoutControlBytes) {
    EXPECT_EQ(hostsim::siteText({"/tmp/a/map_upgrade.c", 210}), "map_upgrade.c:210");
    EXPECT_EQ(hostsim::siteText({"plain.c", 0}), "plain.c");
    EXPECT_EQ(hostsim::siteText({"", 12}), "");
    EXPECT_EQ(hostsim::siteText({"/x/a\tb\nc\x7f.c", 3}), "a?b?c?.c:3");
    const std::string longName(1000, 'n');
    EXPECT_EQ(hostsim::siteText({"/x/" + longName, 7}),
              std::string(hostsim::kMaxSiteFileBytes, 'n') + ":7");
}

} // namespace
