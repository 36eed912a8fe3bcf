// The chunked copy, the builtin "UPGCopy" (folder creation, retries, versions,
// move) and the builtin "GetSDBlockSize".
#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "tests/support/unit_fixture.h"
#include "unit/file_search.h"
#include "unit/integrity.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

using testsupport::fileExists;
using testsupport::readFile;
using testsupport::writeFile;

// Host file functions replaced by a test, with the state they need (the
// replacements are plain function pointers).
struct OpsState {
    std::vector<long> reads;     // every read's result
    long readLimit = 0;          // > 0: no read returns more bytes
    std::string failOpenPath;    // opens of this host path fail...
    int failOpenCount = 0;       // ...this many times
    std::string swapOnClosePath; // turned into a non-empty folder at its close
};
OpsState g_state;

// `size` bytes that differ from one position (and seed) to the next.
std::string Content(size_t size, uint32_t seed) {
    std::string text(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1664525u + 1013904223u;
        text[i] = static_cast<char>(x >> 24);
    }
    return text;
}

long RecordingRead(int fd, void *buf, unsigned long count) {
    if (g_state.readLimit > 0 && count > static_cast<unsigned long>(g_state.readLimit))
        count = static_cast<unsigned long>(g_state.readLimit);
    long n = ::read(fd, buf, count);
    g_state.reads.push_back(n);
    return n;
}

int FailingOpen(const char *hostPath, int flags, int mode) {
    if (g_state.failOpenCount > 0 && g_state.failOpenPath == hostPath) {
        --g_state.failOpenCount;
        errno = EIO;
        return -1;
    }
    return ::open(hostPath, flags, mode);
}

// Once the source is closed after the copy, it is replaced by a folder that
// holds a file, so that removing it fails (the tests run as root, where
// permissions would not stop a remove).
int SwappingClose(int fd) {
    int rc = ::close(fd);
    if (!g_state.swapOnClosePath.empty() && fileExists(g_state.swapOnClosePath)) {
        std::filesystem::remove(g_state.swapOnClosePath);
        writeFile(g_state.swapOnClosePath + "/keep", "x");
        g_state.swapOnClosePath.clear();
    }
    return rc;
}

class CopyTest : public testsupport::UnitFixture {
protected:
    void SetUp() override {
        UnitFixture::SetUp();
        g_state = OpsState();
        ASSERT_NE(C_BUILTINS::Instance(), nullptr);
    }
    void TearDown() override {
        hostsim::resetFileOps();
        UnitFixture::TearDown();
    }

    int UpgCopy(const std::string &source, const std::string &dest, int move) {
        val_t result;
        EXPECT_TRUE(
            hostsim::callBuiltin("UPGCopy",
                                 {hostsim::EicArg::Ptr(source.c_str()),
                                  hostsim::EicArg::Ptr(dest.c_str()), hostsim::EicArg::Int(move)},
                                 &result));
        return result.ival;
    }

    int BlockSize() {
        val_t result;
        EXPECT_TRUE(hostsim::callBuiltin("GetSDBlockSize", {}, &result));
        return result.ival;
    }

    static int Count(const std::string &text, const std::string &what) {
        int n = 0;
        for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
            ++n;
        return n;
    }
};

TEST_F(CopyTest, CopiesSourcesOfEverySizeByteForByte) {
    hostsim::fileOps().read = RecordingRead;
    const size_t sizes[] = {0, 1, 65536, 65537, 131072};
    for (size_t size : sizes) {
        std::string content = Content(size, static_cast<uint32_t>(size) + 7);
        ASSERT_TRUE(writeFile(host("/SDH/src.bin"), content));
        ASSERT_TRUE(writeFile(host("/SDH/dst.bin"), std::string(200000, 'o')));
        g_state.reads.clear();
        EXPECT_EQ(C_BUILTINS::BuiltinsCopy("/SDH/src.bin", "/SDH/dst.bin"), 0) << size;
        EXPECT_EQ(readFile(host("/SDH/dst.bin")), content) << size;
        EXPECT_EQ(g_state.reads.back(), 0) << size;
    }
    // The last source, two whole chunks, took reads of 65536, 65536 and 0.
    EXPECT_EQ(g_state.reads, (std::vector<long>{65536, 65536, 0}));
}

TEST_F(CopyTest, ShortReadsDoNotEndTheCopyEarly) {
    hostsim::fileOps().read = RecordingRead;
    g_state.readLimit = 1000;
    std::string content = Content(70000, 3);
    ASSERT_TRUE(writeFile(host("/SDH/src.bin"), content));
    EXPECT_EQ(C_BUILTINS::BuiltinsCopy("/SDH/src.bin", "/SDH/dst.bin"), 0);
    EXPECT_EQ(readFile(host("/SDH/dst.bin")), content);
    EXPECT_EQ(g_state.reads.size(), 71u);
}

TEST_F(CopyTest, SourceThatCannotBeOpenedLeavesTheDestinationAlone) {
    ASSERT_TRUE(writeFile(host("/SDH/dst.bin"), "previous"));
    EXPECT_EQ(C_BUILTINS::BuiltinsCopy("/SDH/missing.bin", "/SDH/dst.bin"), -1);
    EXPECT_EQ(readFile(host("/SDH/dst.bin")), "previous");
    EXPECT_NE(log().find("BuiltinsCopy: open of '/SDH/missing.bin'"), std::string::npos);
}

TEST_F(CopyTest, ReadWriteAndCloseFailuresFailTheCopy) {
    ASSERT_TRUE(writeFile(host("/SDH/src.bin"), Content(100000, 1)));
    hostsim::injectFault(hostsim::FileOp::Read, 2, EIO);
    EXPECT_EQ(C_BUILTINS::BuiltinsCopy("/SDH/src.bin", "/SDH/dst.bin"), -1);
    hostsim::clearFaults();
    hostsim::injectFault(hostsim::FileOp::Write, 1, ENOSPC);
    EXPECT_EQ(C_BUILTINS::BuiltinsCopy("/SDH/src.bin", "/SDH/dst.bin"), -1);
    hostsim::clearFaults();
    // The copy is closed first, then the source.
    hostsim::injectFault(hostsim::FileOp::Close, 1, EIO);
    EXPECT_EQ(C_BUILTINS::BuiltinsCopy("/SDH/src.bin", "/SDH/dst.bin"), -1);
    hostsim::clearFaults();
    hostsim::injectFault(hostsim::FileOp::Close, 2, EIO);
    EXPECT_EQ(C_BUILTINS::BuiltinsCopy("/SDH/src.bin", "/SDH/dst.bin"), 0);
    // A copy that cannot be synced is not claimed.
    ASSERT_TRUE(writeFile(host("/SDH/dst.bin"), "previous"));
    hostsim::injectFault(hostsim::FileOp::Sync, 1, EIO);
    EXPECT_EQ(C_BUILTINS::BuiltinsCopy("/SDH/src.bin", "/SDH/dst.bin"), -1);
    EXPECT_NE(log().find("BuiltinsCopy: sync of '/SDH/dst.bin~upgcopy' returned error errno = 0x5"),
              std::string::npos);
    EXPECT_EQ(readFile(host("/SDH/dst.bin")), "previous");
    EXPECT_FALSE(fileExists(host("/SDH/dst.bin~upgcopy")));
    hostsim::clearFaults();
    EXPECT_EQ(C_BUILTINS::BuiltinsCopy(nullptr, "/SDH/dst.bin"), -1);
    EXPECT_NE(log().find("p_Source = (null), p_Dest = /SDH/dst.bin  "), std::string::npos);
}

// A source that is no readable regular file, or a destination that is a
// folder: -1, a log line, and the destination exactly as it was.
TEST_F(CopyTest, RefusedCopiesLeaveTheDestinationUntouched) {
    struct Case {
        const char *what;
        const char *source;
        const char *dest;
        const char *line;
    };
    const Case cases[] = {
        {"folder source", "/SDH/folder", "/SDH/b.txt", "'/SDH/folder' is not a readable regular"},
        {"device source", "/dev/null", "/SDH/b.txt", "'/dev/null' is not a readable regular"},
        // A FIFO without a writer would block an open for reading forever.
        {"FIFO source", "/SDH/fifo", "/SDH/b.txt", "'/SDH/fifo' is not a readable regular"},
        {"missing source", "/SDH/missing", "/SDH/b.txt", "open of '/SDH/missing'"},
        {"folder destination", "/SDH/a.txt", "/SDH/empty", "destination '/SDH/empty' is a folder"},
    };
    ASSERT_EQ(::mkfifo(host("/SDH/fifo").c_str(), 0600), 0);
    for (const Case &c : cases) {
        ASSERT_TRUE(writeFile(host("/SDH/folder/x"), "x"));
        ASSERT_TRUE(writeFile(host("/SDH/a.txt"), "source"));
        ASSERT_TRUE(writeFile(host("/SDH/b.txt"), "precious"));
        std::filesystem::create_directories(host("/SDH/empty"));
        hostsim::clearCapturedLog();
        EXPECT_EQ(UpgCopy(c.source, c.dest, 0), -1) << c.what;
        EXPECT_NE(log().find(c.line), std::string::npos) << c.what << "\n" << log();
        EXPECT_EQ(readFile(host("/SDH/b.txt")), "precious") << c.what;
        EXPECT_TRUE(std::filesystem::is_directory(host("/SDH/empty"))) << c.what;
        EXPECT_FALSE(fileExists(host(std::string(c.dest) + "~upgcopy"))) << c.what;
    }
}

// The destination's version stamp follows the copy: the source's stamp, or
// none when the source has none.
TEST_F(CopyTest, VersionStampTravelsWithTheCopy) {
    ASSERT_TRUE(writeFile(host("/SDH/v2.bin"), "version two"));
    ASSERT_TRUE(unit::writeFileStamp("/SDH/v2.bin", "V2"));
    ASSERT_TRUE(writeFile(host("/SDH/plain.bin"), "no stamp"));
    ASSERT_TRUE(writeFile(host("/F/file.bin"), "version one"));
    ASSERT_TRUE(unit::writeFileStamp("/F/file.bin", "V1"));

    EXPECT_EQ(UpgCopy("/SDH/v2.bin", "/F/file.bin", 0), 0);
    char version[FILE_VERSION_SIZE] = {};
    EXPECT_EQ(GetFileVersion("/F/file.bin", version), 0);
    EXPECT_STREQ(version, "V2");
    EXPECT_EQ(CheckCRCFile("/F/file.bin"), 0);

    EXPECT_EQ(UpgCopy("/SDH/plain.bin", "/F/file.bin", 0), 0);
    EXPECT_EQ(GetFileVersion("/F/file.bin", version), -1);
    EXPECT_FALSE(fileExists(host("/F/file.bin.ver")));

    // A move takes the source's stamp along.
    EXPECT_EQ(UpgCopy("/SDH/v2.bin", "/F/moved.bin", 1), 0);
    EXPECT_FALSE(fileExists(host("/SDH/v2.bin.ver")));
    EXPECT_EQ(CheckCRCFile("/F/moved.bin"), 0);
}

TEST_F(CopyTest, UpgCopyMovesAndLogsBothVersions) {
    ASSERT_TRUE(writeFile(host("/SDH/new.bin"), "new content"));
    ASSERT_TRUE(unit::writeFileStamp("/SDH/new.bin", "V2"));
    ASSERT_TRUE(writeFile(host("/F/data/file.bin"), "old content"));
    ASSERT_TRUE(unit::writeFileStamp("/F/data/file.bin", "V1"));

    EXPECT_EQ(UpgCopy("/SDH/new.bin", "/F/data/file.bin", 1), 0);
    EXPECT_EQ(readFile(host("/F/data/file.bin")), "new content");
    EXPECT_FALSE(fileExists(host("/SDH/new.bin")));
    EXPECT_NE(log().find("copy /F/data/file.bin (V1 to V2)remove = /F/data/file.bin ,l_pSource = "
                         "/SDH/new.bin ,l_pNewVersion = V2"),
              std::string::npos)
        << log();
    EXPECT_EQ(unit::createDirCalls(), std::vector<std::string>{"/F/data"});
}

TEST_F(CopyTest, UpgCopyKeepsTheSourceAndCreatesMissingFolders) {
    ASSERT_TRUE(writeFile(host("/SDH/new.bin"), "abc"));
    EXPECT_EQ(UpgCopy("/SDH/new.bin", "/F/a/b/c/file.bin", 0), 0);
    EXPECT_EQ(readFile(host("/F/a/b/c/file.bin")), "abc");
    EXPECT_TRUE(fileExists(host("/SDH/new.bin")));
    // No destination before, no sidecars: both versions empty.
    EXPECT_NE(log().find("copy /F/a/b/c/file.bin ( to )"), std::string::npos);
    EXPECT_EQ(log().find("remove ="), std::string::npos);
}

TEST_F(CopyTest, UpgCopyRetriesOnceAndKeepsTheSource) {
    ASSERT_TRUE(writeFile(host("/SDH/new.bin"), "abc"));
    hostsim::fileOps().open = FailingOpen;
    g_state.failOpenPath = host("/SDH/new.bin");
    g_state.failOpenCount = 1;

    EXPECT_EQ(UpgCopy("/SDH/new.bin", "/F/file.bin", 1), 0);
    EXPECT_EQ(readFile(host("/F/file.bin")), "abc");
    EXPECT_TRUE(fileExists(host("/SDH/new.bin")));
    std::string text = log();
    EXPECT_EQ(Count(text, "UPGCopy ERROR (Retry "), 1);
    EXPECT_NE(text.find("UPGCopy ERROR (Retry 1) : errno = 0x5 : '/SDH/new.bin'\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("copy /F/file.bin"), std::string::npos);
    EXPECT_EQ(text.find("remove ="), std::string::npos);
}

TEST_F(CopyTest, UpgCopyGivesUpAfterThreeRetries) {
    ASSERT_TRUE(writeFile(host("/SDH/new.bin"), "abc"));
    hostsim::fileOps().open = FailingOpen;
    g_state.failOpenPath = host("/SDH/new.bin");
    g_state.failOpenCount = 4;

    EXPECT_EQ(UpgCopy("/SDH/new.bin", "/F/file.bin", 1), -1);
    EXPECT_EQ(Count(log(), "UPGCopy ERROR (Retry "), 3);
    EXPECT_NE(log().find("(Retry 3)"), std::string::npos);
    EXPECT_TRUE(fileExists(host("/SDH/new.bin")));
    EXPECT_FALSE(fileExists(host("/F/file.bin")));
}

TEST_F(CopyTest, UpgCopyReportsAFailedRemoveAfterAMove) {
    ASSERT_TRUE(writeFile(host("/SDH/new.bin"), "abc"));
    hostsim::fileOps().close = SwappingClose;
    g_state.swapOnClosePath = host("/SDH/new.bin");

    EXPECT_EQ(UpgCopy("/SDH/new.bin", "/F/file.bin", 1), -1);
    EXPECT_EQ(readFile(host("/F/file.bin")), "abc");
    EXPECT_NE(log().find("UPGCopy ERROR (l_pSource /SDH/new.bin):errno = 0x"), std::string::npos);
    EXPECT_NE(log().find(" remove in UPG copy\n"), std::string::npos);
    EXPECT_EQ(log().find("remove ="), std::string::npos);
}

// A move onto the source itself, named alike or by another spelling, must not
// delete the only copy; nor may the plain copy truncate it.
TEST_F(CopyTest, CopyOrMoveOntoItselfKeepsTheFile) {
    const std::string content = Content(70000, 3);
    ASSERT_TRUE(writeFile(host("/SDH/a.bin"), content));

    EXPECT_EQ(C_BUILTINS::BuiltinsCopy("/SDH/a.bin", "/SDH/./a.bin"), 0);
    EXPECT_EQ(readFile(host("/SDH/a.bin")), content);
    for (const char *dest : {"/SDH/a.bin", "/SDH/./a.bin"}) {
        EXPECT_EQ(UpgCopy("/SDH/a.bin", dest, 1), 0) << dest;
        EXPECT_EQ(readFile(host("/SDH/a.bin")), content) << dest;
    }
    EXPECT_EQ(Count(log(), "UPGCopy: '/SDH/a.bin' is its own destination: not removed\n"), 2);
    EXPECT_EQ(log().find("remove ="), std::string::npos);
}

// The copy goes through a temporary name, which is never the source (the
// user recovering "X~upgcopy" onto "X"), and falls back to the plain order
// (destination removed, copy in place) when the temporary copy finds no room
// but the destination's room would do, or its name is too long.
TEST_F(CopyTest, TemporaryCopyOrCopyInPlace) {
    struct Row {
        const char *what;
        std::string source;
        std::string dest;
        long oldSize;  // -1: no destination before
        long freeRoom; // -1: no capacity
        int result;
        bool inPlace;
    };
    const std::string longName = "/SDH/" + std::string(250, 'n');
    const Row rows[] = {
        {"X~upgcopy onto X", "/SDH/x.bin~upgcopy", "/SDH/x.bin", 1000, -1, 0, false},
        {"X~upgcopy onto X, room for one", "/SDH/x.bin~upgcopy", "/SDH/x.bin", 1000, 2500, 0, true},
        {"room once the old file is gone", "/SDH/new.bin", "/SDH/x.bin", 1000, 2000, 0, true},
        {"no room even then", "/SDH/new.bin", "/SDH/x.bin", 1000, 1500, -1, false},
        {"no destination, no room", "/SDH/new.bin", "/SDH/x.bin", -1, 2000, -1, false},
        {"temporary name too long", "/SDH/new.bin", longName, 1000, -1, 0, true},
    };
    const std::string content = Content(3000, 5);
    for (const Row &r : rows) {
        std::filesystem::remove_all(sdDir());
        ASSERT_TRUE(writeFile(host(r.source), content));
        const std::string old = Content(static_cast<size_t>(r.oldSize < 0 ? 0 : r.oldSize), 6);
        if (r.oldSize >= 0) {
            ASSERT_TRUE(writeFile(host(r.dest), old));
        }
        hostsim::setDeviceCapacity(
            "/SDH", r.freeRoom < 0 ? -1 : static_cast<long long>(3000 + old.size()) + r.freeRoom);
        hostsim::clearCapturedLog();

        EXPECT_EQ(UpgCopy(r.source, r.dest, 0), r.result) << r.what << "\n" << log();
        hostsim::setDeviceCapacity("/SDH", -1);
        EXPECT_EQ(readFile(host(r.source)), content) << r.what;
        if (r.result == 0 || r.oldSize >= 0) {
            EXPECT_EQ(readFile(host(r.dest)), r.result == 0 ? content : old) << r.what;
        } else {
            EXPECT_FALSE(fileExists(host(r.dest))) << r.what;
        }
        EXPECT_EQ(log().find("the copy written in place") != std::string::npos, r.inPlace)
            << r.what << "\n"
            << log();
        int files = 0;
        for (const auto &e : std::filesystem::directory_iterator(sdDir()))
            files += e.is_regular_file() ? 1 : 0;
        EXPECT_EQ(files, r.result == 0 || r.oldSize >= 0 ? 2 : 1) << r.what;
    }
}

TEST_F(CopyTest, UpgCopyWithoutCreateDirTouchesNothing) {
    ASSERT_TRUE(writeFile(host("/SDH/new.bin"), "abc"));
    ASSERT_EQ(symRemove(sysSymTbl, unit::k_create_dir_symbol, 0), OK);

    EXPECT_EQ(UpgCopy("/SDH/new.bin", "/F/x/file.bin", 1), -1);
    EXPECT_EQ(log(), "CreateDir__13C_FILE_SEARCHPc: Error UNRESOLVED symbol s_UPGCopy\n");
    EXPECT_TRUE(fileExists(host("/SDH/new.bin")));
    EXPECT_FALSE(fileExists(host("/F/x")));
}

TEST_F(CopyTest, UpgCopyGoesOnWhenTheFolderCannotBeCreated) {
    ASSERT_TRUE(writeFile(host("/SDH/new.bin"), "abc"));
    hostsim::injectFault(hostsim::FileOp::Mkdir, 1, EACCES, true);

    EXPECT_EQ(UpgCopy("/SDH/new.bin", "/F/x/file.bin", 0), -1);
    EXPECT_NE(log().find("UPGCopy Could not create '/F/x'\n"), std::string::npos);
    EXPECT_EQ(Count(log(), "UPGCopy ERROR (Retry "), 3);

    // An existing folder needs no creation.
    EXPECT_EQ(UpgCopy("/SDH/new.bin", "/F/file.bin", 0), 0);
}

TEST_F(CopyTest, UpgCopyToAPlainNameSkipsTheFolderCreation) {
    ASSERT_TRUE(writeFile(host("/SDH/new.bin"), "abc"));
    std::string cwd = std::filesystem::current_path().string();
    ASSERT_EQ(::chdir(root().c_str()), 0);
    int result = UpgCopy("/SDH/new.bin", "plain.bin", 0);
    ASSERT_EQ(::chdir(cwd.c_str()), 0);

    EXPECT_EQ(result, 0);
    EXPECT_EQ(readFile(root() + "/plain.bin"), "abc");
    EXPECT_TRUE(unit::createDirCalls().empty());
}

TEST_F(CopyTest, UpgCopyRefusesOverlongPathsAndNullArguments) {
    ASSERT_TRUE(writeFile(host("/SDH/new.bin"), "abc"));
    // 765 characters: "/F/" + folders of 99 characters + the file name.
    std::string dest = "/F";
    while (dest.size() + 100 < 765 - 9)
        dest += "/" + std::string(99, 'd');
    dest += "/";
    dest += std::string(765 - dest.size(), 'f');
    ASSERT_EQ(dest.size(), 765u);
    EXPECT_EQ(UpgCopy("/SDH/new.bin", dest, 0), 0);
    EXPECT_EQ(readFile(host(dest)), "abc");

    std::string tooLong = dest + "g";
    EXPECT_EQ(UpgCopy("/SDH/new.bin", tooLong, 0), -1);
    EXPECT_EQ(UpgCopy(tooLong, "/F/file.bin", 0), -1);
    EXPECT_EQ(Count(log(), "UPGCopy ERROR: path longer than 765 characters\n"), 2);
    EXPECT_FALSE(fileExists(host("/F/file.bin")));

    val_t result;
    ASSERT_TRUE(hostsim::callBuiltin("UPGCopy",
                                     {hostsim::EicArg::Ptr(static_cast<void *>(nullptr)),
                                      hostsim::EicArg::Ptr("/F/file.bin"), hostsim::EicArg::Int(0)},
                                     &result));
    EXPECT_EQ(result.ival, -1);
    EXPECT_NE(log().find("UPGCopy ERROR: UPGCopy null param\n"), std::string::npos);
}

TEST_F(CopyTest, BlockSizeIsTheDevicesBlockSize) {
    for (long size : {512L, 4096L, 32768L}) {
        hostsim::mountDevice("/SDH", sdDir(), size);
        EXPECT_EQ(BlockSize(), size);
    }
    hostsim::mountDevice("/SDH", root() + "/absent");
    hostsim::clearCapturedLog();
    EXPECT_EQ(BlockSize(), -1);
    std::string text = log();
    EXPECT_NE(text.find(" - (s_GetSDBlockSize) ERROR : open ('/SDH')"), std::string::npos);
    EXPECT_EQ(text.back(), ')'); // the line has no newline
}

} // namespace
