// Stand-ins for the unit's other modules (HMI, upgrade history, file search,
// storage, permanent devices, application activity, logging, integrity and
// version services, boot database, hardware release): the least the module's
// calls need, each controllable from tests and the simulator.
#ifndef UNIT_UNIT_H
#define UNIT_UNIT_H

namespace unit {

// Puts every stand-in in its start state and registers the functions that the
// module finds by link name in the symbol table. Called by the simulator at
// start and by the test fixture before each test (after hostsim::resetAll).
void installAll();

} // namespace unit

#endif
