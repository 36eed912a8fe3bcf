// Boot database, hardware release and debug level of the unit (stand-ins):
// InterGetDBBootConfigSystemVersion, GetHardRelease and the global debug_br,
// with the setters that tests and the simulator use to play a unit.
//
// Start state (resetBootDb, called by unit::installAll): the boot database
// holds the software configuration version "V1.0", the hardware release is 1,
// neither fails, and debug_br is 1 (the configuration service logs).
#ifndef UNIT_BOOT_DB_H
#define UNIT_BOOT_DB_H

#include <string>

// Size of the buffer InterGetDBBootConfigSystemVersion fills; the version text
// is shorter, NUL included.
#define BOOT_CONFIG_VERSION_SIZE 20

// The unit's debug level: modules write their diagnostic lines only when it is
// above 0. Set once at start (tests and the simulator set it directly), read by
// any task.
extern int debug_br;

// Writes the boot database's software configuration version, NUL-terminated,
// into `p_version` (at least BOOT_CONFIG_VERSION_SIZE bytes). Returns 0, or -1
// when the boot database cannot be read (or `p_version` is null); on failure the
// buffer is left untouched. Any task.
int InterGetDBBootConfigSystemVersion(unsigned char *p_version);

// The hardware release of the unit. When the stand-in is set to fail it
// returns -1, the value the unit's hardware layer gives for an unknown release.
// Any task.
int GetHardRelease();

namespace unit {

// Restores the start state described above.
void resetBootDb();
// Sets the version the boot database holds. False (nothing changed) when it is
// BOOT_CONFIG_VERSION_SIZE characters or longer.
bool setBootConfigVersion(const std::string &version);
// Makes InterGetDBBootConfigSystemVersion fail (true) or work (false).
void setBootConfigVersionFails(bool fails);
// Sets the release GetHardRelease returns.
void setHardRelease(int release);
// Makes GetHardRelease report an unknown release (-1) (true) or work (false).
void setHardReleaseFails(bool fails);

} // namespace unit

#endif
