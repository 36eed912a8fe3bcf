// Configuration loading under every injected file fault: each operation kind
// failing at its k-th call, once and from then on. A load that says 0 must
// answer every query as the fault-free load does; the files are never
// changed, and no descriptor leaks (memory: the sanitizer builds).
#include "tests/config_system/config_fixture.h"
#include "tests/support/fault_sweep.h"

namespace {

class ConfigFaultSweep : public configtest::ConfigFixture {
protected:
    ConfigFaultSweep() { m_inMemory = true; }

    // Every answer of the loaded configuration, as one text.
    static std::string answers() {
        std::string out;
        char data[64];
        for (const char *module : {"m1", "m2", "gps", "absent"}) {
            std::memset(data, 0, sizeof data);
            out += std::string(module) + ":" + std::to_string(GetSoftwareConfigSystem(module, data));
            out += std::string("=") + data;
            std::memset(data, 0, sizeof data);
            out += "/" + std::to_string(GetHardwareConfigSystem(module, data)) + "=" + data + "\n";
        }
        unsigned char version[32] = {};
        int index = -9;
        out += "version:" + std::to_string(GetConfigSystemSoftwareVersion(version, index)) + "=" +
               reinterpret_cast<const char *>(version) + "@" + std::to_string(index);
        return out;
    }

    // Sweeps `ops` and checks every run; returns the count.
    testsupport::SweepCount sweep(const std::vector<hostsim::FileOp> &ops) {
        putStandardSet();
        const testsupport::Tree files = testsupport::snapshotTree(flashDir());
        EXPECT_EQ(StartConfigSystem(), 0);
        const std::string reference = answers();
        return testsupport::sweepFaults(
            ops, [&] { ClearConfigSystem(); },
            [&](const std::string &what) {
                const int fds = testsupport::openDescriptorCount();
                const int result = StartConfigSystem();
                EXPECT_TRUE(result == 0 || result == -1) << what;
                if (result == 0) {
                    EXPECT_EQ(answers(), reference) << what;
                }
                EXPECT_EQ(testsupport::snapshotTree(flashDir()), files) << what;
                EXPECT_EQ(testsupport::openDescriptorCount(), fds) << what;
            });
    }
};

TEST_F(ConfigFaultSweep, EveryFileOperationButReadFailingAtEveryCall) {
    std::vector<hostsim::FileOp> ops;
    for (hostsim::FileOp op : testsupport::allFileOps())
        if (op != hostsim::FileOp::Read)
            ops.push_back(op);
    const testsupport::SweepCount n = sweep(ops);
    RecordProperty("runs", n.runs);
    RecordProperty("faults", n.faults);
    EXPECT_GT(n.faults, 10);
}

// Reads fail at every call: a read error is never taken for the end of a
// file (rows would shift and the load would still say 0).
TEST_F(ConfigFaultSweep, ReadFailingAtEveryCall) {
    const testsupport::SweepCount n = sweep({hostsim::FileOp::Read});
    RecordProperty("runs", n.runs);
    RecordProperty("faults", n.faults);
    EXPECT_GT(n.faults, 10);
}

} // namespace
