// Extraction under injected faults and on a full card: every file operation
// kind failed at its k-th call (once, and from then on), and the card's
// capacity stepped from 0 to what the archive needs. A result of 0 must mean
// the tree is exactly the fault-free one; whatever the result, nothing
// outside the destination changes, no task and no descriptor is left.
#include "tests/untgz/untgz_test_util.h"

#include <filesystem>

using testsupport::TarBuilder;
using untgztest::Tree;

namespace {

class UntgzFaultSweep : public untgztest::UntgzTest {
protected:
    UntgzFaultSweep() { m_inMemory = true; }

    void SetUp() override {
        UntgzTest::SetUp();
        ASSERT_TRUE(testsupport::writeFile(sdDir() + "/keep.dat", std::string(1000, 'k')));
        m_archive = putTgz(TarBuilder()
                               .dir("d/")
                               .file("d/a", testsupport::sampleContent(3000, 1))
                               .file("d/e/b", testsupport::sampleContent(300000, 2))
                               .file("c", "0123456789")
                               .finish());
        m_need = 1000 + 3000 + 300000 + 10;
        m_outside = testsupport::subTree(untgztest::snapshot(sdDir()), "out", false);
        restore();
        ASSERT_EQ(untar(m_archive), 0);
        m_reference = untgztest::snapshot(sdDir());
    }

    void restore() {
        testsupport::removeTree(sdDir() + "/out");
        std::filesystem::create_directories(sdDir() + "/out");
        hostsim::clearCapturedLog();
    }

    // One extraction, checked; returns its result.
    int checkedRun(const std::string &what) {
        const int fds = testsupport::openDescriptorCount();
        const int result = untar(m_archive);
        EXPECT_TRUE(result == 0 || result == -1) << what;
        EXPECT_NE(log().find("End Untar, returned value : " + std::to_string(result) + "\n"),
                  std::string::npos)
            << what;
        const Tree now = untgztest::snapshot(sdDir());
        if (result == 0) {
            EXPECT_EQ(testsupport::digest(now), testsupport::digest(m_reference)) << what << "\n"
                                                                                  << log();
            // A success is on the card: nothing a power loss could take back.
            EXPECT_TRUE(hostsim::unsyncedFiles().empty()) << what;
        }
        EXPECT_EQ(testsupport::digest(testsupport::subTree(now, "out", false)),
                  testsupport::digest(m_outside))
            << what;
        EXPECT_EQ(testsupport::openDescriptorCount(), fds) << what;
        return result;
    }

    std::string m_archive;
    long long m_need = 0;
    Tree m_outside;
    Tree m_reference;
};

TEST_F(UntgzFaultSweep, EveryFileOperationFailingAtEveryCall) {
    const testsupport::SweepCount n = testsupport::sweepFaults(
        testsupport::allFileOps(), [&] { restore(); },
        [&](const std::string &what) { checkedRun(what); });
    RecordProperty("runs", n.runs);
    RecordProperty("faults", n.faults);
    EXPECT_GT(n.faults, 20);
}

TEST_F(UntgzFaultSweep, FullCardFailsUnlessEverythingFits) {
    std::vector<long long> capacities;
    for (long long c = 0; c < m_need; c += m_need / 16)
        capacities.push_back(c);
    for (long long c : {m_need - 1, m_need, m_need + 1})
        capacities.push_back(c);
    for (long long capacity : capacities) {
        const std::string what = "capacity " + std::to_string(capacity);
        restore();
        hostsim::setDeviceCapacity("/SDH", capacity);
        const int result = checkedRun(what);
        hostsim::setDeviceCapacity("/SDH", -1);
        EXPECT_EQ(result, capacity >= m_need ? 0 : -1) << what;
        if (result != 0) {
            EXPECT_NE(log().find("No space left on device\n"), std::string::npos) << what;
        }
    }
    RecordProperty("runs", static_cast<int>(capacities.size()));
}

} // namespace
