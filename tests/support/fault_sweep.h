// Fault-injection sweeps in the style of SQLite's: for each file operation
// kind and each mode (the k-th call fails once; every call from the k-th on
// fails), k = 1, 2, ... until a run completes without reaching the fault.
// The caller restores the start state before each run, runs the operation and
// checks its invariants; the sweep counts runs and faults that fired.
//
//   testsupport::SweepCount n = testsupport::sweepFaults(
//       {hostsim::FileOp::Open, hostsim::FileOp::Write},
//       [&] { restore(); },
//       [&](const std::string &what) { int rc = run(); check(rc, what); });
#ifndef TESTS_SUPPORT_FAULT_SWEEP_H
#define TESTS_SUPPORT_FAULT_SWEEP_H

#include "platform/hostsim/hostsim.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// Path (relative, '/'-separated) -> content of a host tree; folders map to
// "<dir>", symbolic links to "<link>". Empty when the folder is missing.
using Tree = std::map<std::string, std::string>;
Tree snapshotTree(const std::string &hostDir);
// The tree with every content longer than 64 bytes replaced by its size and
// CRC-32, so that a failed comparison prints readably.
Tree digest(const Tree &tree);
// The entries of `tree` whose path does (or does not) start with `prefix`.
Tree subTree(const Tree &tree, const std::string &prefix, bool inside = true);
// Open file descriptors of this process (to see that a run leaked none).
int openDescriptorCount();

// The state-changing operations that `run` makes, in order, as the
// power-cut model traces them: one "op unit-path" per operation ("remove
// /SDH/a", "flush /SDH"). The trace goes through the host file
// `scratchFile`, removed afterwards.
std::vector<std::string> tracedStateOps(const std::function<void()> &run,
                                        const std::string &scratchFile);

struct SweepCount {
    int runs = 0;   // runs made
    int faults = 0; // runs in which the injected fault fired
};

// The errno a sweep injects for `op`: EIO for reads, listings and stat,
// ENOSPC for writes, flushes, closes and folder creation, EACCES for the
// rest (opens, removes, renames, cp, mv).
int sweepErrno(hostsim::FileOp op);

// Every file operation kind.
std::vector<hostsim::FileOp> allFileOps();

// Runs the sweep over `ops`. Before each run: restore(), the fault counters
// cleared, the fault injected; then run(what), `what` naming the case for
// messages ("fwrite #3 once (errno 28)"). The faults are cleared after each
// run. A kind is swept until a run makes fewer than k calls of it (so at
// least one run per kind and mode).
SweepCount sweepFaults(const std::vector<hostsim::FileOp> &ops,
                       const std::function<void()> &restore,
                       const std::function<void(const std::string &what)> &run);

} // namespace testsupport

#endif
