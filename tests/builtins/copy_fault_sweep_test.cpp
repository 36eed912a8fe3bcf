// "UPGCopy" (copy and move) under every injected file fault: each operation
// kind failing at its k-th call, once and from then on. A result of 0 means
// the end state is exactly the fault-free one (for a move saved by a retry,
// the copy's: such a move keeps its source); the source of a copy is never
// lost or changed (a move's data is always at the source or the
// destination); the destination is the old file or the whole new one, never
// a part; nothing else on the devices changes; no descriptor leaks.
#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "unit/integrity.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testsupport::Tree;

class CopyFaultSweep : public testsupport::UnitFixture {
protected:
    CopyFaultSweep() { m_inMemory = true; }

    void SetUp() override {
        UnitFixture::SetUp();
        ASSERT_NE(C_BUILTINS::Instance(), nullptr);
        m_new = testsupport::sampleContent(100000, 9);
    }

    void restore() {
        testsupport::removeTree(mediaDir());
        testsupport::removeTree(sdDir());
        ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/src.bin", m_new));
        ASSERT_TRUE(unit::writeFileStamp("/DVD/src.bin", "V2"));
        ASSERT_TRUE(testsupport::writeFile(sdDir() + "/MAPPE/dst.bin", "old content"));
        ASSERT_TRUE(unit::writeFileStamp("/SDH/MAPPE/dst.bin", "V1"));
        ASSERT_TRUE(testsupport::writeFile(sdDir() + "/other.dat", "other"));
        hostsim::clearCapturedLog();
    }

    int upgCopy(int move) {
        val_t result;
        EXPECT_TRUE(hostsim::callBuiltin("UPGCopy",
                                         {hostsim::EicArg::Ptr("/DVD/src.bin"),
                                          hostsim::EicArg::Ptr("/SDH/MAPPE/dst.bin"),
                                          hostsim::EicArg::Int(move)},
                                         &result));
        return result.ival;
    }

    Tree state() {
        Tree t;
        for (const auto &e : testsupport::snapshotTree(mediaDir()))
            t["DVD/" + e.first] = e.second;
        for (const auto &e : testsupport::snapshotTree(sdDir()))
            t["SDH/" + e.first] = e.second;
        return t;
    }

    void sweep(int move) {
        restore();
        const Tree before = state();
        ASSERT_EQ(upgCopy(0), 0);
        const Tree copied = state();
        restore();
        ASSERT_EQ(upgCopy(move), 0);
        const Tree reference = state();
        const testsupport::SweepCount n = testsupport::sweepFaults(
            testsupport::allFileOps(), [&] { restore(); },
            [&](const std::string &what) {
                const int fds = testsupport::openDescriptorCount();
                const int result = upgCopy(move);
                Tree now = state();
                EXPECT_TRUE(result == 0 || result == -1) << what;
                // A move whose first copy failed and a retry succeeded keeps
                // its source (the builtin's rule): the copy's end state.
                const bool retried = log().find("UPGCopy ERROR (Retry") != std::string::npos;
                if (result == 0) {
                    EXPECT_EQ(testsupport::digest(now),
                              testsupport::digest(retried ? copied : reference))
                        << what << "\n"
                        << log();
                }
                const auto at = [&](const std::string &path) {
                    auto it = now.find(path);
                    return it == now.end() ? std::string("<missing>") : it->second;
                };
                const std::string dest = at("SDH/MAPPE/dst.bin");
                const std::string temp = at("SDH/MAPPE/dst.bin~upgcopy");
                if (move == 0 || result != 0) {
                    // A move that failed may have removed the source only
                    // once the destination held it.
                    if (at("DVD/src.bin") != m_new)
                        EXPECT_TRUE(move == 1 && dest == m_new) << what;
                    else
                        EXPECT_EQ(at("DVD/src.bin.ver"), before.at("DVD/src.bin.ver")) << what;
                }
                // The destination: old or whole; gone only with the whole
                // copy kept beside it.
                EXPECT_TRUE(dest == "old content" || dest == m_new ||
                            (dest == "<missing>" && temp == m_new))
                    << what << ": " << dest.size() << " bytes";
                // Nothing else changed.
                for (const char *path : {"DVD/src.bin", "DVD/src.bin.ver", "SDH/MAPPE/dst.bin",
                                         "SDH/MAPPE/dst.bin.ver", "SDH/MAPPE/dst.bin~upgcopy"}) {
                    now.erase(path);
                }
                Tree untouched = before;
                for (const char *path : {"DVD/src.bin", "DVD/src.bin.ver", "SDH/MAPPE/dst.bin",
                                         "SDH/MAPPE/dst.bin.ver"}) {
                    untouched.erase(path);
                }
                EXPECT_EQ(testsupport::digest(now), testsupport::digest(untouched)) << what;
                EXPECT_EQ(testsupport::openDescriptorCount(), fds) << what;
            });
        RecordProperty("runs", n.runs);
        RecordProperty("faults", n.faults);
        EXPECT_GT(n.faults, 10);
    }

    std::string m_new;
};

TEST_F(CopyFaultSweep, Copy) {
    sweep(0);
}

TEST_F(CopyFaultSweep, Move) {
    sweep(1);
}

// A card too small for the copy, its stamp or both: "UPGCopy" either puts the
// new file and its stamp in place (the stamp matching the file), or leaves
// the old file and its stamp exactly as they were; nothing is left behind.
TEST_F(CopyFaultSweep, FullCardKeepsEachFileWithItsStamp) {
    restore();
    const Tree before = state();
    long long used = 0;
    for (const auto &e : testsupport::snapshotTree(sdDir()))
        if (e.second != "<dir>")
            used += static_cast<long long>(e.second.size());
    const long long need = static_cast<long long>(m_new.size());
    int fitted = 0;
    for (long long room : {0LL, 10LL, 25LL, 26LL, 27LL, 100LL, need - 12, need - 11, need - 1, need,
                           need + 25, need + 26, need + 27, need + 100}) {
        const std::string what = "room " + std::to_string(room);
        restore();
        hostsim::setDeviceCapacity("/SDH", used + room);
        const int result = upgCopy(0);
        hostsim::setDeviceCapacity("/SDH", -1);
        Tree now = state();
        if (result == 0) {
            fitted++;
            EXPECT_EQ(now["SDH/MAPPE/dst.bin"], m_new) << what;
            EXPECT_EQ(CheckCRCFile("/SDH/MAPPE/dst.bin"), 0) << what;
            char version[FILE_VERSION_SIZE] = {};
            EXPECT_EQ(GetFileVersion("/SDH/MAPPE/dst.bin", version), 0) << what;
            EXPECT_STREQ(version, "V2") << what;
            now.erase("SDH/MAPPE/dst.bin");
            now.erase("SDH/MAPPE/dst.bin.ver");
            Tree rest = before;
            rest.erase("SDH/MAPPE/dst.bin");
            rest.erase("SDH/MAPPE/dst.bin.ver");
            EXPECT_EQ(testsupport::digest(now), testsupport::digest(rest)) << what;
        } else {
            EXPECT_EQ(result, -1) << what;
            EXPECT_EQ(testsupport::digest(now), testsupport::digest(before)) << what << "\n"
                                                                             << log();
        }
    }
    // Room for the new file and its stamp beside the old ones.
    EXPECT_GT(fitted, 2);
}

} // namespace
