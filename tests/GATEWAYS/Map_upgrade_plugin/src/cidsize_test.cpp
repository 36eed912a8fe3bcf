// Country size class: the key chosen by the SD card's block size, the
// general key, and an SD card whose block size cannot be read.
#include "cartotree_fixture.h"

#include "unit/permanent_device.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using cartotest::CartoTreeTest;

class CidSizeTest : public CartoTreeTest {
protected:
    std::string size(const char *file, int *result) {
        CKWString value("stale");
        *result = tree().GetCIDSize(CKWString(file), value);
        return value.GetBuffer();
    }
};

TEST_F(CidSizeTest, BlockSizeSelectsTheKey) {
    const std::string all = "CID_SIZE_4:40\r\nCID_SIZE_8:80\r\nCID_SIZE_16:160\r\n"
                            "CID_SIZE_32:320\r\nCID_SIZE:999\r\n";
    const struct {
        long blockSize;
        const char *expected;
        bool managed;
    } cases[] = {{512, "999", false},  {4096, "40", true},   {8192, "80", true},
                 {16384, "160", true}, {32768, "320", true}, {65536, "999", false}};
    media("ALL.INF", all);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.blockSize);
        sdBlockSize(c.blockSize);
        hostsim::clearCapturedLog();
        C_MAP_UPG_CARTOTREE fresh(0);
        CKWString value;
        EXPECT_EQ(fresh.GetCIDSize(CKWString("/DVD/ALL.INF"), value), 0);
        EXPECT_STREQ(value.GetBuffer(), c.expected);
        EXPECT_EQ(fresh.GetPartitionBlkSizeCache(), static_cast<int>(c.blockSize));
        EXPECT_EQ(
            contains(log(), "SD Block size (" + std::to_string(c.blockSize) + ") not managed! \n"),
            !c.managed);
    }
}

TEST_F(CidSizeTest, GeneralKeyWhenTheBlockSizeKeyIsAbsent) {
    sdBlockSize(8192);
    media("GEN.INF", "CID_SIZE:150\r\n");
    int result = 0;
    EXPECT_EQ(size("/DVD/GEN.INF", &result), "150");
    EXPECT_EQ(result, 0);

    // "CID_SIZE" does not match "CID_SIZE_4": neither key is present.
    media("NONE.INF", "CID_SIZE_4:40\r\n");
    EXPECT_EQ(size("/DVD/NONE.INF", &result), "");
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(contains(log(), "GetCIDSize, CID_SIZE not present in file (/DVD/NONE.INF)! \n"));
    EXPECT_TRUE(contains(log(), "GetCIDSize,  of '/DVD/NONE.INF' PartitionBlockSize = 8192, "
                                "CID_size = '' \n"));
}

TEST_F(CidSizeTest, FailedDeviceLookupIsRetriedLater) {
    sdBlockSize(4096);
    media("S.INF", "CID_SIZE_4:44\r\n");
    unit::setPermanentDeviceFailing(true);
    int result = 0;
    EXPECT_EQ(size("/DVD/S.INF", &result), "stale");
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(
        contains(log(), "GetCIDSize, GetPartitionBlockSize (permanent device 5) == ERROR \n"));
    EXPECT_TRUE(contains(log(), "GetCIDSize,  m_plgin_partition_blk_size == 0!!! \n"));
    EXPECT_EQ(tree().GetPartitionBlkSizeCache(), 0);

    unit::setPermanentDeviceFailing(false);
    EXPECT_EQ(size("/DVD/S.INF", &result), "44");
    EXPECT_EQ(result, 0);
}

// A block size that cannot be read is not read again; a block size of 0
// (none reported) is read again at the next call.
TEST_F(CidSizeTest, UnreadBlockSizes) {
    media("S.INF", "CID_SIZE:1\r\n");
    const struct {
        const char *what;
        void (*play)();
        const char *logged;
        int cached;
        bool readAgain;
    } cases[] = {
        {"open fails", [] { hostsim::injectFault(hostsim::FileOp::Open, 1, EIO); },
         "(GetSDBlockSize) ERROR : open ('/SDH')", -1, false},
        // An open that hands out no valid descriptor makes fstat fail.
        {"fstat fails",
         [] { hostsim::fileOps().open = [](const char *, int, int) { return 1 << 20; }; },
         "(GetSDBlockSize) ERROR : fstat ('/SDH')", -1, false},
        {"no block size", [] { hostsim::setDeviceReportsZeroBlockSize("/SDH", true); }, "", 0,
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        C_MAP_UPG_CARTOTREE fresh(0);
        CKWString value;
        hostsim::clearCapturedLog();
        c.play();
        EXPECT_EQ(fresh.GetCIDSize(CKWString("/DVD/S.INF"), value), -1);
        hostsim::clearFaults();
        hostsim::resetFileOps();
        hostsim::setDeviceReportsZeroBlockSize("/SDH", false);
        EXPECT_TRUE(contains(log(), c.logged));
        EXPECT_TRUE(contains(log(), "GetCIDSize,  m_plgin_partition_blk_size == " +
                                        std::to_string(c.cached) + "!!! \n"));
        EXPECT_EQ(fresh.GetPartitionBlkSizeCache(), c.cached);

        hostsim::clearCapturedLog();
        const int lookups = unit::permanentDeviceLookups();
        EXPECT_EQ(fresh.GetCIDSize(CKWString("/DVD/S.INF"), value), c.readAgain ? 0 : -1);
        EXPECT_EQ(unit::permanentDeviceLookups(), lookups + (c.readAgain ? 1 : 0));
        EXPECT_FALSE(contains(log(), "(GetSDBlockSize) ERROR"));
    }
}

} // namespace
