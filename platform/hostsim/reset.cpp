// Puts the whole simulated unit back in its start state.
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

namespace hostsim {

// Call it only while no task of the simulated unit runs (tests call it in
// SetUp and after waitAllTasks in TearDown).
void resetAll() {
    unmountAll();
    detail::clearCapacities();
    clearFaults();
    resetFileOps();
    detail::resetLog();
    detail::resetTick();
    detail::resetSymbols();
    detail::resetBuiltins();
    detail::resetTasks();
    detail::resetZeroBlockSize();
    detail::resetPowerCut();
    setSyncsReachDisk(true);
    setHostPathsAbsent(false);
    detail::resetConfinement();
}

} // namespace hostsim
