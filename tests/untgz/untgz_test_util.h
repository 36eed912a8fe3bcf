// Fixture and helpers of the extraction tests: archives written onto the
// simulated medium, an Untar call that checks every task has ended, a
// snapshot of an extracted tree, and a gate that holds the writer task inside
// a folder creation until the test lets it go.
#ifndef TESTS_UNTGZ_UNTGZ_TEST_UTIL_H
#define TESTS_UNTGZ_UNTGZ_TEST_UTIL_H

#include "tests/support/fault_sweep.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "untgz/C_UNTGZ.h"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace untgztest {

// Path -> content of a host tree; folders map to "<dir>".
using Tree = testsupport::Tree;
Tree snapshot(const std::string &hostDir);

// Number of times `needle` occurs in `text`.
int occurrences(const std::string &text, const std::string &needle);

// Holds the plat::mkdir calls whose host path contains `marker` until
// release() (or the gate's destruction): the writer task can be stopped at a
// known point of an extraction. Other mkdir calls pass.
class MkdirGate {
public:
    explicit MkdirGate(const std::string &marker); // installs the gate in hostsim::fileOps()
    ~MkdirGate();                                  // releases and restores the host's functions
    // Waits until a mkdir call is held; false after timeoutMs.
    bool waitHeld(int timeoutMs);
    void release();
};

class UntgzTest : public testsupport::UnitFixture {
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes bytes as a file of the medium; returns its unit path "/DVD/<name>".
    std::string putArchive(const std::string &bytes, const std::string &name = "a.tgz");
    // Builds the tgz of a tar stream onto the medium.
    std::string putTgz(const std::string &tar, const std::string &name = "a.tgz") {
        return putArchive(testsupport::gzip(tar), name);
    }
    // Runs C_UNTGZ::Untar and checks that no task is left running afterwards.
    int untar(const std::string &archive, const std::string &dest = "/SDH/out/", int verbose = 1,
              int absPath = 1);
    // Extracted tree under the destination "/SDH/out/".
    Tree outTree() { return snapshot(sdDir() + "/out"); }

    C_UNTGZ *m_untgz = nullptr;
};

} // namespace untgztest

#endif
