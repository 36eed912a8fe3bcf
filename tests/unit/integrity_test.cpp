// Integrity and version sidecars: what the stamp writes, what the readers
// accept, and that every malformed sidecar makes both services fail.
#include "tests/support/unit_fixture.h"
#include "unit/integrity.h"

#include <cerrno>
#include <cstring>

namespace {

class IntegrityTest : public testsupport::UnitFixture {
protected:
    const std::string m_path = "/F/file.cfg";
};

TEST_F(IntegrityTest, StampIsReadBackAndTracksTheFileBytes) {
    ASSERT_TRUE(testsupport::writeFile(host(m_path), "hello\n"));
    ASSERT_TRUE(unit::writeFileStamp(m_path, "1.2.3"));
    // crc32("hello\n") = 0x363a3020
    EXPECT_EQ("VERSION:1.2.3\nCRC32:363a3020\n", testsupport::readFile(host(m_path + ".ver")));
    EXPECT_EQ(0, CheckCRCFile(m_path.c_str()));
    char version[FILE_VERSION_SIZE];
    EXPECT_EQ(0, GetFileVersion(m_path.c_str(), version));
    EXPECT_STREQ("1.2.3", version);

    ASSERT_TRUE(testsupport::writeFile(host(m_path), "hellO\n"));
    EXPECT_EQ(-1, CheckCRCFile(m_path.c_str()));
    EXPECT_EQ(0, GetFileVersion(m_path.c_str(), version)); // the version does not depend on it

    testsupport::removeTree(host(m_path));
    EXPECT_EQ(-1, CheckCRCFile(m_path.c_str()));
    std::string error;
    EXPECT_FALSE(unit::writeFileStamp(m_path, "1", &error));
    EXPECT_FALSE(error.empty());
}

// A stamp is written whole or not at all: a full card or a failing write,
// sync or close leaves the earlier stamp exactly as it was, and nothing beside
// it.
TEST_F(IntegrityTest, StampThatCannotBeWrittenKeepsTheEarlierOne) {
    const std::string old = "VERSION:1\nCRC32:363a3020\n";
    struct Row {
        const char *what;
        long long room; // -1: no capacity
        hostsim::FileOp op;
        int fault; // the call of op that fails (0: none)
        bool written;
    };
    const Row rows[] = {
        {"full card", 0, hostsim::FileOp::Write, 0, false},
        {"room for part of it", 10, hostsim::FileOp::Write, 0, false},
        {"room for all of it", 28, hostsim::FileOp::Write, 0, true},
        {"write fails", -1, hostsim::FileOp::Write, 1, false},
        {"sync fails", -1, hostsim::FileOp::Sync, 1, false},
        // The first close is the file's, read for its CRC.
        {"close fails", -1, hostsim::FileOp::Close, 2, false},
    };
    for (const Row &r : rows) {
        testsupport::removeTree(flashDir());
        ASSERT_TRUE(testsupport::writeFile(host(m_path), "hello\n"));
        ASSERT_TRUE(testsupport::writeFile(host(m_path + ".ver"), old));
        if (r.room >= 0)
            hostsim::setDeviceCapacity("/F", static_cast<long long>(6 + old.size()) + r.room);
        if (r.fault > 0)
            hostsim::injectFault(r.op, r.fault, EIO);
        std::string error;
        EXPECT_EQ(unit::writeFileStamp(m_path, "2", &error), r.written) << r.what;
        hostsim::clearFaults();
        hostsim::setDeviceCapacity("/F", -1);
        EXPECT_EQ(testsupport::readFile(host(m_path + ".ver")),
                  r.written ? "VERSION:2\nCRC32:363a3020\n" : old)
            << r.what << ": " << error;
        EXPECT_FALSE(testsupport::fileExists(host(m_path + ".ver~"))) << r.what;
    }
}

TEST_F(IntegrityTest, VersionTextLimits) {
    ASSERT_TRUE(testsupport::writeFile(host(m_path), ""));
    const std::string longest(FILE_VERSION_SIZE - 1, 'v');
    ASSERT_TRUE(unit::writeFileStamp(m_path, longest));
    char version[FILE_VERSION_SIZE];
    EXPECT_EQ(0, GetFileVersion(m_path.c_str(), version));
    EXPECT_EQ(longest, version);
    EXPECT_EQ(0, CheckCRCFile(m_path.c_str())); // empty file: CRC 0

    for (const std::string &bad :
         {longest + "v", std::string("a\nb"), std::string("a\rb"), std::string("a\0b", 3)})
        EXPECT_FALSE(unit::writeFileStamp(m_path, bad));
    EXPECT_EQ(0, GetFileVersion(m_path.c_str(), version)); // the old stamp is kept
    EXPECT_EQ(longest, version);
}

TEST_F(IntegrityTest, SidecarsThatAreReadOrRejected) {
    ASSERT_TRUE(testsupport::writeFile(host(m_path), "hello\n"));
    const struct {
        std::string sidecar;
        bool valid;
    } cases[] = {
        {"VERSION:7\r\nCRC32:363A3020\r\n", true},
        {"VERSION:7\nCRC32:363a3020", true},
        {"VERSION:\nCRC32:363a3020\n", true},
        {"VERSION:7\nCRC32:363a302\n", false},
        {"VERSION:7\nCRC32:363a30200\n", false},
        {"VERSION:7\nCRC32:363g3020\n", false},
        {"CRC32:363a3020\nVERSION:7\n", false},
        {"VERSION:7\n", false},
        {"VERSION:7\nCRC32:363a3020\nextra\n", false},
        {"VERSION:7\nCRC32:363a3020\n\n", false},
        {"VERSION:" + std::string(FILE_VERSION_SIZE, 'v') + "\nCRC32:363a3020\n", false},
        {"VERSION:7\nCRC32:363a3020\n" + std::string(300, ' '), false},
        {"", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.sidecar);
        ASSERT_TRUE(testsupport::writeFile(host(m_path + ".ver"), c.sidecar));
        char version[FILE_VERSION_SIZE] = "untouched";
        EXPECT_EQ(c.valid ? 0 : -1, GetFileVersion(m_path.c_str(), version));
        EXPECT_EQ(c.valid ? 0 : -1, CheckCRCFile(m_path.c_str()));
        if (!c.valid) {
            EXPECT_STREQ("untouched", version);
        }
    }
    testsupport::removeTree(host(m_path + ".ver"));
    char version[FILE_VERSION_SIZE];
    EXPECT_EQ(-1, GetFileVersion(m_path.c_str(), version));
    EXPECT_EQ(-1, CheckCRCFile(m_path.c_str()));
    EXPECT_EQ(-1, GetFileVersion(nullptr, version));
    EXPECT_EQ(-1, CheckCRCFile(nullptr));
}

} // namespace
