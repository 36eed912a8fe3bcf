// Test fixture: a fresh temporary folder per test, mapped as the unit's
// devices ("/SDH" -> <tmp>/sd, "/F" -> <tmp>/flash, "/DVD" -> <tmp>/media),
// with the log captured and the simulated unit reset before and after.
#ifndef TESTS_SUPPORT_UNIT_FIXTURE_H
#define TESTS_SUPPORT_UNIT_FIXTURE_H

#include "platform/hostsim/hostsim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport {

// Creates a unique empty folder under the system's temporary folder.
std::string makeTempDir(const std::string &tag = "upg");
// The same in memory (under /dev/shm) where the host has it, else as
// makeTempDir: for sweeps that rebuild a tree hundreds of times.
std::string makeMemoryTempDir(const std::string &tag = "upg");
// Removes a host folder tree (no-op for an empty path).
void removeTree(const std::string &hostPath);
// Writes a host file, creating missing parent folders. False on failure.
bool writeFile(const std::string &hostPath, const std::string &content);
// Reads a whole host file; empty when missing.
std::string readFile(const std::string &hostPath);
bool fileExists(const std::string &hostPath);

// Single-quotes a text for the shell.
std::string shellQuote(const std::string &text);
// Host path of the simulator built beside the running test binary
// (<build>/tests/test_x -> <build>/tools/upgsim).
std::string upgsimPath();
// Runs the simulator with `args` (quoted for the shell as needed) from folder
// `cwd` (empty: the current one), standard input empty, standard output and
// error into <dir>/stdout and <dir>/stderr. Returns its exit status, -1 when
// it did not exit normally.
int runUpgsim(const std::string &args, const std::string &dir, const std::string &cwd = "");
// The same with each word of `argv` passed as it is (empty words too).
int runUpgsim(const std::vector<std::string> &argv, const std::string &dir,
              const std::string &cwd = "");

class UnitFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Host paths of the folders behind the devices.
    std::string root() const { return m_root; }
    std::string sdDir() const { return m_root + "/sd"; }
    std::string flashDir() const { return m_root + "/flash"; }
    std::string mediaDir() const { return m_root + "/media"; }
    // Host path of a unit path ("/SDH/x" -> <tmp>/sd/x).
    std::string host(const std::string &unitPath) const { return hostsim::resolvePath(unitPath); }

    // Captured logMsg text since SetUp (or the last clear).
    std::string log() const { return hostsim::capturedText(hostsim::LogSource::LogMsg); }

    // Set by a derived fixture's constructor: the folders behind the devices
    // lie in memory (makeMemoryTempDir).
    bool m_inMemory = false;

private:
    std::string m_root;
};

} // namespace testsupport

#endif
