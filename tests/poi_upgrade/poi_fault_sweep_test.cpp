// "InstalPOIs" under every injected file fault (each operation kind failing
// at its k-th call, once and from then on) and on a full card (capacities
// stepped from what is already used up to what the installation needs). A
// result of 0 means the card is exactly as after the fault-free run; whatever
// the result, the user's POI folders, the maps and the medium are untouched,
// every staged country holds its whole merge, a failed installation keeps the
// installed version, and no task or descriptor is left. Then a power cut at
// every operation of a run on a card that already holds a staging: the
// staged version file never claims staging folders that are not whole.
#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "tests/support/child_process.h"
#include "tests/support/fault_sweep.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <unistd.h>

namespace {

using testsupport::Tree;

const char k_sweepText[] = "POIs";
const char k_staging[] = "MAPPE/POI_USER/TEMP_";

class PoiFaultSweep : public testsupport::UnitFixture {
protected:
    PoiFaultSweep() { m_inMemory = true; }

    void SetUp() override {
        UnitFixture::SetUp();
        // The installation's three 500-tick pauses take 1.5 ms a run.
        hostsim::setTickRate(1000000);
        ASSERT_NE(C_BUILTINS::Instance(), nullptr);
        testsupport::TarBuilder tar;
        tar.dir("tmp_poi/").dir("tmp_poi/FRA/").dir("tmp_poi/DEU/").dir("tmp_poi/ITA/");
        tar.file("tmp_poi/FRA/ABC.lzw", "abc new")
            .file("tmp_poi/FRA/poi_ver_ABC.txt", "PREFIX:ABC\nDATE:200\n")
            .file("tmp_poi/FRA/XYZ.lzw", "xyz older")
            .file("tmp_poi/FRA/poi_ver_XYZ.txt", "PREFIX:XYZ\nDATE:50\n")
            .file("tmp_poi/DEU/ABC.lzw", "abc for deu")
            .file("tmp_poi/ITA/ABC.lzw", "no map installed");
        ASSERT_TRUE(
            testsupport::writeFile(mediaDir() + "/POI.tgz", testsupport::gzip(tar.finish())));
        ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/POI.tgz.inf", "POI VERSION 12"));
        restore();
        m_before = testsupport::snapshotTree(sdDir());
        m_media = testsupport::snapshotTree(mediaDir());
        hostsim::clearFaults();
        ASSERT_EQ(install(), 0) << log();
        m_reference = testsupport::snapshotTree(sdDir());
        ASSERT_EQ(m_reference.count(std::string(k_staging) + "FRA/ABC.lzw"), 1u);
    }

    void restore() {
        testsupport::removeTree(sdDir());
        const std::string sd = sdDir() + "/";
        for (const char *cid : {"FRA", "DEU"})
            std::filesystem::create_directories(sd + "MAPPE/" + cid);
        ASSERT_TRUE(testsupport::writeFile(sd + "MAPPE/FRA/map.dat", "map"));
        ASSERT_TRUE(testsupport::writeFile(sd + "MAPPE/POI_USER/FRA/ABC.lzw", "abc old"));
        ASSERT_TRUE(testsupport::writeFile(sd + "MAPPE/POI_USER/FRA/poi_ver_ABC.txt",
                                           "PREFIX:ABC\nDATE:100\n"));
        ASSERT_TRUE(testsupport::writeFile(sd + "MAPPE/POI_USER/FRA/XYZ.lzw", "xyz mine"));
        ASSERT_TRUE(testsupport::writeFile(sd + "MAPPE/POI_USER/FRA/poi_ver_XYZ.txt",
                                           "PREFIX:XYZ\nDATE:100\n"));
        ASSERT_TRUE(testsupport::writeFile(sd + "MAPPE/POI_USER/FRA/mine.dat", "keep"));
        ASSERT_TRUE(testsupport::writeFile(sd + "POI_VER.POI", "installed"));
        hostsim::clearCapturedLog();
    }

    int install() {
        val_t result;
        EXPECT_TRUE(hostsim::callBuiltin(
            "InstalPOIs", {hostsim::EicArg::Ptr("/DVD/POI.tgz"), hostsim::EicArg::Ptr(k_sweepText)},
            &result));
        EXPECT_TRUE(hostsim::waitAllTasks(10000)) << "a task outlived the installation";
        return result.ival;
    }

    // One installation, checked; returns its result.
    int checkedRun(const std::string &what) {
        const int fds = testsupport::openDescriptorCount();
        const int result = install();
        hostsim::setDeviceCapacity("/SDH", -1);
        const Tree now = testsupport::snapshotTree(sdDir());
        EXPECT_TRUE(result == 0 || result == -1) << what;
        if (result == 0) {
            EXPECT_EQ(testsupport::digest(now), testsupport::digest(m_reference)) << what << "\n"
                                                                                  << log();
        } else {
            EXPECT_EQ(now.count("POI_VER.POI"), 1u) << what;
            if (now.count("TEMP_POI_VER.POI") != 0) {
                EXPECT_NE(log().find("could not remove /SDH/TEMP_POI_VER.POI"), std::string::npos)
                    << what;
            }
        }
        // The user's POIs and the maps are never changed.
        for (const char *kept : {"MAPPE/POI_USER/FRA", "MAPPE/FRA", "MAPPE/DEU"})
            EXPECT_EQ(testsupport::subTree(now, kept), testsupport::subTree(m_before, kept))
                << what << ": " << kept;
        // A staged country holds its whole merge.
        for (const char *cid : {"FRA", "DEU", "ITA"}) {
            const std::string staged = std::string(k_staging) + cid;
            const Tree got = testsupport::subTree(now, staged);
            if (!got.empty()) {
                EXPECT_EQ(got, testsupport::subTree(m_reference, staged)) << what << ": " << cid;
            }
        }
        EXPECT_EQ(testsupport::snapshotTree(mediaDir()), m_media) << what;
        EXPECT_EQ(testsupport::openDescriptorCount(), fds) << what;
        return result;
    }

    Tree m_before;
    Tree m_media;
    Tree m_reference;
};

TEST_F(PoiFaultSweep, EveryFileOperationFailingAtEveryCall) {
    const testsupport::SweepCount n = testsupport::sweepFaults(
        testsupport::allFileOps(), [&] { restore(); },
        [&](const std::string &what) { checkedRun(what); });
    RecordProperty("runs", n.runs);
    RecordProperty("faults", n.faults);
    EXPECT_GT(n.faults, 50);
}

TEST_F(PoiFaultSweep, FullCardFailsUnlessEverythingFits) {
    long long used = 0;
    for (const auto &e : m_before)
        if (e.second != "<dir>")
            used += static_cast<long long>(e.second.size());
    // What the installation needs at its fullest: the card before, the
    // staged files, the work copies beside them.
    const long long need = used + 400;
    int runs = 0;
    int fitted = 0;
    for (long long capacity = 0; capacity <= need; capacity += 16, runs++) {
        restore();
        hostsim::setDeviceCapacity("/SDH", capacity);
        const int result = checkedRun("capacity " + std::to_string(capacity));
        if (capacity < used + 40) {
            EXPECT_EQ(result, -1) << capacity;
        }
        fitted += result == 0;
    }
    EXPECT_GT(fitted, 0);
    RecordProperty("runs", runs);
}

// The re-run after a late cut starts from a card that already holds a staged
// delivery: the staging folders and "TEMP_POI_VER.POI", which claims them.
// A power cut before any operation of that run, with or without the loss of
// what was not synced, never leaves the staged version file beside staging
// folders that are half removed, half made or changed: when it is there, the
// staging is whole, and the user's POIs and the maps are untouched.
TEST_F(PoiFaultSweep, PowerCutOnAStagedCardNeverClaimsAHalfStaging) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer cannot start threads in a child of a threaded process";
#elif defined(UPG_TESTS_EMULATED)
    GTEST_SKIP() << "user-mode emulation cannot start threads in a child of a threaded process";
#endif
    // The staged card is the card a clean run leaves.
    const Tree staged = m_reference;
    ASSERT_EQ(staged.count("TEMP_POI_VER.POI"), 1u);
    const Tree staging = testsupport::subTree(staged, k_staging);
    ASSERT_FALSE(staging.empty());
    const auto putStagedCard = [&] {
        testsupport::removeTree(sdDir());
        for (const auto &e : staged) {
            const std::string path = sdDir() + "/" + e.first;
            if (e.second == "<dir>")
                std::filesystem::create_directories(path);
            else
                ASSERT_TRUE(testsupport::writeFile(path, e.second));
        }
    };
    // The order itself: the staged version file is removed, the removal
    // flushed, and only then is a staging folder touched.
    putStagedCard();
    const std::vector<std::string> ops =
        testsupport::tracedStateOps([&] { EXPECT_EQ(install(), 0); }, root() + "/trace");
    const auto first = [&](const std::string &part, size_t from) {
        for (size_t i = from; i < ops.size(); i++)
            if (ops[i].find(part) != std::string::npos)
                return i;
        return ops.size();
    };
    const size_t removed = first("remove /SDH/TEMP_POI_VER.POI", 0);
    const size_t flushed = first("flush /SDH", removed);
    const size_t touched = first("/SDH/MAPPE/POI_USER/TEMP_", 0);
    EXPECT_LT(removed, flushed);
    EXPECT_LT(flushed, touched);
    EXPECT_LT(touched, ops.size());

    for (const bool lostWrites : {false, true}) {
        std::uint64_t k = 1;
        for (;; ++k) {
            const std::string what =
                "cut " + std::to_string(k) + (lostWrites ? ", lost writes" : "");
            putStagedCard();
            hostsim::endIdleThreads();
            const int status = testsupport::runInChild([&] {
                hostsim::setLostWrites(lostWrites, static_cast<std::uint32_t>(k));
                hostsim::armPowerCut(k);
                _exit(install() == 0 ? 0 : 1);
            });
            ASSERT_TRUE(status == 0 || status == hostsim::kPowerCutExitStatus)
                << what << ": status " << status;
            const Tree now = testsupport::snapshotTree(sdDir());
            if (now.count("TEMP_POI_VER.POI") != 0) {
                EXPECT_EQ(now.at("TEMP_POI_VER.POI"), staged.at("TEMP_POI_VER.POI")) << what;
                EXPECT_EQ(testsupport::digest(testsupport::subTree(now, k_staging)),
                          testsupport::digest(staging))
                    << what << ": the staged version claims a staging that is not whole";
            }
            for (const char *kept : {"MAPPE/POI_USER/FRA", "MAPPE/FRA", "MAPPE/DEU"})
                EXPECT_EQ(testsupport::subTree(now, kept), testsupport::subTree(m_before, kept))
                    << what << ": " << kept;
            if (status == 0) {
                EXPECT_EQ(testsupport::digest(now), testsupport::digest(staged)) << what;
                break;
            }
        }
        EXPECT_GT(k, 50u) << "operations of one run";
        RecordProperty(lostWrites ? "cuts_lost_writes" : "cuts", static_cast<int>(k));
    }
}

} // namespace
