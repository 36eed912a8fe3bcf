// "UPGCopy" (copy and move) under every injected file fault: each operation
// kind failing at its k-th call, once and from then on. A result of 0 means
// the end state is exactly the fault-free one (for a move saved by a retry,
// the copy's: such a move keeps its source), except that a version stamp that
// could not be carried is missing, and the log says so; the source of a copy
// is never lost or changed (a move's data is always at the source or the
// destination); the destination is the old file or the whole new one, never
// a part, and a stamp beside it always matches it; nothing else on the
// devices changes; no descriptor leaks. Then the same under a power cut at
// every operation, and the companions "NAME.ver" that cannot be carried.
#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "tests/support/child_process.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "unit/integrity.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <unistd.h>

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
                    Tree expected = retried ? copied : reference;
                    if (now.count("SDH/MAPPE/dst.bin.ver") == 0 && notCarried())
                        expected.erase("SDH/MAPPE/dst.bin.ver");
                    EXPECT_EQ(testsupport::digest(now), testsupport::digest(expected))
                        << what << "\n"
                        << log();
                }
                expectStampMatches(now, before, what);
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

    // The log says that the source's stamp did not reach the destination.
    bool notCarried() const {
        return log().find("UPGCopy: version of '/DVD/src.bin' not carried") != std::string::npos ||
               log().find("UPGCopy: version stamp of '/DVD/src.bin' cannot be read") !=
                   std::string::npos;
    }

    // The destination's stamp in `now`, if it has one, is the stamp of the
    // bytes beside it (read on the host: the faults of the run stay
    // unseen): never the old version over the new bytes, nor a stamp over
    // no file. `before` is the start state.
    void expectStampMatches(const Tree &now, const Tree &before, const std::string &what) {
        const auto stamp = now.find("SDH/MAPPE/dst.bin.ver");
        if (stamp == now.end())
            return;
        const auto dest = now.find("SDH/MAPPE/dst.bin");
        const std::string bytes = dest == now.end() ? "<missing>" : dest->second;
        if (stamp->second == before.at("SDH/MAPPE/dst.bin.ver"))
            EXPECT_EQ(bytes, "old content") << what << ": the old stamp over new bytes";
        else if (stamp->second == before.at("DVD/src.bin.ver"))
            EXPECT_EQ(bytes, m_new) << what << ": the new stamp over " << bytes.size() << " bytes";
        else
            ADD_FAILURE() << what << ": a stamp of neither file: " << stamp->second;
    }

    std::string m_new;
};

TEST_F(CopyFaultSweep, Copy) {
    sweep(0);
}

TEST_F(CopyFaultSweep, Move) {
    sweep(1);
}

// A card too small for the copy: "UPGCopy" puts the new file in place with
// its stamp, or fails and leaves the old file and its stamp exactly as they
// were. Nothing is left behind.
TEST_F(CopyFaultSweep, FullCardKeepsEachFileWithItsStamp) {
    restore();
    const Tree before = state();
    long long used = 0;
    for (const auto &e : testsupport::snapshotTree(sdDir()))
        if (e.second != "<dir>")
            used += static_cast<long long>(e.second.size());
    const long long need = static_cast<long long>(m_new.size());
    const struct {
        long long room; // beyond what the card holds
        bool copied;
    } rows[] = {
        {0, false},
        {100, false},
        {need - 12, false},
        // The copy in place: the old file's room makes up for the rest,
        // and its old stamp's for the new one.
        {need - 11, true},
        {need, true},
        {need + 100, true},
    };
    for (const auto &r : rows) {
        const std::string what = "room " + std::to_string(r.room);
        restore();
        hostsim::setDeviceCapacity("/SDH", used + r.room);
        const int result = upgCopy(0);
        hostsim::setDeviceCapacity("/SDH", -1);
        Tree now = state();
        if (!r.copied) {
            EXPECT_EQ(result, -1) << what;
            EXPECT_EQ(testsupport::digest(now), testsupport::digest(before)) << what << "\n"
                                                                             << log();
            continue;
        }
        EXPECT_EQ(result, 0) << what << "\n" << log();
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
    }
}

// A power cut before any operation of "UPGCopy", with or without the loss
// of what was not synced: the destination is the old file or the whole new
// one, and a stamp beside it is always its own: the old stamp never stands
// over the new bytes. A copy's source is untouched; a move's data is at the
// source or the destination.
TEST_F(CopyFaultSweep, PowerCutAtEveryOperationLeavesNoStaleStamp) {
    // The order itself: the old stamp removed and the removal flushed before
    // the new bytes take the destination's name; the new stamp after them.
    restore();
    const std::vector<std::string> ops =
        testsupport::tracedStateOps([&] { EXPECT_EQ(upgCopy(0), 0); }, root() + "/trace");
    const auto index = [&](const std::string &op) {
        for (size_t i = 0; i < ops.size(); i++)
            if (ops[i] == op)
                return i;
        return ops.size();
    };
    const size_t dropped = index("remove /SDH/MAPPE/dst.bin.ver");
    const size_t flushed = index("flush /SDH");
    const size_t replaced = index("rename /SDH/MAPPE/dst.bin~upgcopy");
    const size_t stamped = index("rename /SDH/MAPPE/dst.bin.ver~");
    EXPECT_LT(dropped, flushed);
    EXPECT_LT(flushed, replaced);
    EXPECT_LT(replaced, stamped);
    EXPECT_LT(stamped, ops.size());

    restore();
    const Tree before = state();
    for (const bool lostWrites : {false, true}) {
        for (const int move : {0, 1}) {
            std::uint64_t k = 1;
            for (;; ++k) {
                const std::string what = "cut " + std::to_string(k) + (move ? " move" : " copy") +
                                         (lostWrites ? ", lost writes" : "");
                restore();
                const int status = testsupport::runInChild([&] {
                    hostsim::setLostWrites(lostWrites, static_cast<std::uint32_t>(k));
                    hostsim::armPowerCut(k);
                    _exit(upgCopy(move) == 0 ? 0 : 1);
                });
                ASSERT_TRUE(status == 0 || status == hostsim::kPowerCutExitStatus)
                    << what << ": status " << status;
                const Tree now = state();
                const auto at = [&](const std::string &path) {
                    auto it = now.find(path);
                    return it == now.end() ? std::string("<missing>") : it->second;
                };
                const std::string dest = at("SDH/MAPPE/dst.bin");
                EXPECT_TRUE(dest == "old content" || dest == m_new ||
                            (dest == "<missing>" && at("SDH/MAPPE/dst.bin~upgcopy") == m_new))
                    << what << ": " << dest.size() << " bytes";
                expectStampMatches(now, before, what);
                if (move == 0 || at("DVD/src.bin") != "<missing>")
                    EXPECT_EQ(at("DVD/src.bin"), m_new) << what;
                else
                    EXPECT_EQ(dest, m_new) << what;
                if (status == 0)
                    break;
            }
            EXPECT_GT(k, 10u) << "operations of one run";
        }
    }
}

// Companions "NAME.ver" that are no stamp, and a stamp with no room left for
// it: the copy stands, the destination's old stamp is gone (no stale version
// is claimed), the log says why, and a move leaves a companion that is no
// stamp where it was.
TEST_F(CopyFaultSweep, CompanionsThatCannotBeCarriedLeaveTheCopyStanding) {
    const struct {
        const char *what;
        const char *source;    // on the medium, with the companion below
        size_t size;           // of the source
        std::string companion; // its "NAME.ver"; "<dir>": a folder holding a file
        const char *dest;      // on the card
        bool oldStamp;         // the destination exists with a stamp of its own
        long long room;        // >= 0: room on the card beyond its files and the source's size
        const char *logged;
    } rows[] = {
        {"420 bytes that are no sidecar", "/DVD/DATA/MAP.DAT", 30000,
         testsupport::sampleContent(420, 4), "/SDH/MAPPE/DATA/MAP.DAT", true, -1,
         "UPGCopy: '/DVD/DATA/MAP.DAT.ver' is no version stamp"},
        {"a short text that is no sidecar", "/DVD/A.DAT", 100, "VERSION:7\n", "/SDH/MAPPE/A.DAT",
         true, -1, "UPGCopy: '/DVD/A.DAT.ver' is no version stamp"},
        {"a folder", "/DVD/B.DAT", 100, "<dir>", "/SDH/MAPPE/B.DAT", true, -1,
         "UPGCopy: '/DVD/B.DAT.ver' is no version stamp"},
        {"a stamp with no room for it", "/DVD/C.DAT", 10000, "", "/SDH/MAPPE/C.DAT", false, 20,
         "UPGCopy: version of '/DVD/C.DAT' not carried to '/SDH/MAPPE/C.DAT'"},
    };
    for (const auto &r : rows) {
        for (const int move : {0, 1}) {
            const std::string what = std::string(r.what) + (move ? ", move" : ", copy");
            restore();
            const std::string data = testsupport::sampleContent(r.size, 7);
            const std::string dest = r.dest;
            ASSERT_TRUE(testsupport::writeFile(host(r.source), data));
            const std::string companion = host(std::string(r.source) + ".ver");
            if (r.companion == "<dir>")
                ASSERT_TRUE(testsupport::writeFile(companion + "/inside", "kept"));
            else if (!r.companion.empty())
                ASSERT_TRUE(testsupport::writeFile(companion, r.companion));
            else
                ASSERT_TRUE(unit::writeFileStamp(r.source, "V3"));
            if (r.oldStamp) {
                ASSERT_TRUE(testsupport::writeFile(host(dest), "old"));
                ASSERT_TRUE(unit::writeFileStamp(dest, "V1"));
            }
            long long used = 0;
            for (const auto &e : testsupport::snapshotTree(sdDir()))
                if (e.second != "<dir>")
                    used += static_cast<long long>(e.second.size());
            if (r.room >= 0)
                hostsim::setDeviceCapacity("/SDH", used + static_cast<long long>(r.size) + r.room);
            hostsim::clearCapturedLog();
            val_t result;
            ASSERT_TRUE(hostsim::callBuiltin("UPGCopy",
                                             {hostsim::EicArg::Ptr(r.source),
                                              hostsim::EicArg::Ptr(dest.c_str()),
                                              hostsim::EicArg::Int(move)},
                                             &result));
            hostsim::setDeviceCapacity("/SDH", -1);
            EXPECT_EQ(result.ival, 0) << what << "\n" << log();
            EXPECT_EQ(testsupport::readFile(host(dest)), data) << what;
            EXPECT_FALSE(std::filesystem::exists(host(dest + ".ver"))) << what;
            EXPECT_FALSE(std::filesystem::exists(host(dest + ".ver~"))) << what;
            EXPECT_NE(log().find(r.logged), std::string::npos) << what << "\n" << log();
            EXPECT_EQ(log().find("Retry"), std::string::npos) << what;
            EXPECT_EQ(testsupport::fileExists(host(r.source)), move == 0) << what;
            // A companion that is no stamp is not the copy's to remove.
            if (r.companion == "<dir>") {
                EXPECT_EQ(testsupport::readFile(companion + "/inside"), "kept") << what;
            } else if (!r.companion.empty()) {
                EXPECT_EQ(testsupport::readFile(companion), r.companion) << what;
            }
        }
    }
}

} // namespace
