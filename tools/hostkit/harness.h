// The harness of the host tools: readies the simulated unit (clock, devices
// mounted on host folders, log capture, the unit stand-ins) and runs either
// the module in this process against a card, or an upgrade script through
// the script host in a child process. `run`, `check` and the other commands
// go through it instead of readying the unit each its own way. Host tool
// code, never built for the unit.
#ifndef TOOLS_HOSTKIT_HARNESS_H
#define TOOLS_HOSTKIT_HARNESS_H

#include "tools/scripthost/child.h"
#include "tools/scripthost/scripthost.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace hostkit {

// The unit a command plays: host folders of its devices (empty: not
// mounted, so absent for the module and the scripts) and the clock.
struct UnitSetup {
    std::string media;         // "/DVD"
    std::string sd;            // "/SDH"
    std::string flash;         // "/F"
    long sdBlockSize = 0;      // the block size "/SDH" reports; 0: its folder's own
    long long sdCapacity = -1; // bytes of the card; <0: no limit
    int tickHz = 0;            // ticks per second; 0: leave the rate as it is
};

// Readies the unit from scratch: resets the simulated OS (devices, faults,
// tasks that ended), sets the clock, mounts the devices, turns the log
// capture on and installs every unit stand-in. Main thread, no module task
// running.
void readyUnit(const UnitSetup &setup);

// Mounts "/SDH" on `card` at `blockSize` (0: the folder's own), runs `body`
// with the module in this process, and unmounts "/SDH" again. Returns what
// `body` returns. The thread that drives the module; no script running.
int onCard(const std::string &card, long blockSize, const std::function<int()> &body);

// One run of an upgrade script in a child process.
struct ScriptJob {
    std::string script;            // host path of the script (C source)
    std::vector<std::string> args; // its arguments (argv[1]...)
    // The card mounted as "/SDH" for the run (and left mounted); empty: the
    // devices as they are mounted now.
    std::string card;
    long blockSize = 0;     // of that card; 0: its folder's own
    int timeoutSeconds = 0; // 0: no limit
    bool progress = false;  // the module's bargraph drawn on standard error
    // Where the script's standard output goes; capture: kept in the run's
    // end instead (run --json).
    FILE *out = stdout;
    bool capture = false;
    scripthost::PowerOptions power; // a power cut played on the run (none by default)
    // The power cut once the script has ended (its status reported), losing
    // unsynced data as an armed cut does (the ignition off as the upgrade
    // ends); the run then counts as cut.
    bool cutAtEnd = false;
    // Each traced operation names the builtin call it belongs to.
    bool traceCalls = false;
};

// How the run ended.
struct ScriptRun {
    scripthost::ChildEnd end;
    bool ran = false;    // the script ran to its end: status is its own
    int status = -1;     // the script's exit status when it ran
    uint64_t ops = 0;    // state-changing operations it made on the devices
    bool cut = false;    // the armed power cut ended it
    std::string failure; // how it ended when it neither ran nor was cut
};

// Runs `job` in a child process: the module starts there, the script runs
// confined to the devices mounted, and the child's report is read back.
// Main thread of a process that runs no task or thread of its own (forks).
ScriptRun runScript(const ScriptJob &job);

// The host path of a script bundled into the script host (scripthost::
// bundledText: "map_upgrade.c", "single_country.c", ...), written into
// `folder`; empty when the name is not bundled or the file cannot be written.
std::string bundledScript(const std::string &name, const std::string &folder);

} // namespace hostkit

#endif
