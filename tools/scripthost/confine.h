// The confinement of a script's process with Landlock: what a script can
// reach of the host while it runs. Read and write: the folders mounted as the
// SD card and the flash (under run --scratch and sweep, the copies the script
// runs on). Read only: the medium's folder, the system's libraries (loaded
// late by the C library), its time zone files, /dev/null, /dev/zero,
// /dev/urandom and the process's own /proc entry. Nothing else: no other
// file (not the real card behind a copy), no program to execute, no TCP
// connection, no signal to a process outside the script's own (upgsim
// included). The module runs in the same process and is held to the same.
#ifndef TOOLS_SCRIPTHOST_CONFINE_H
#define TOOLS_SCRIPTHOST_CONFINE_H

#include <string>
#include <vector>

namespace scripthost {

// The Landlock ABI version of the running kernel; 0 when it has none or it
// is turned off.
int landlockAbi();

// The host folders and files a script's process may reach.
struct Confinement {
    std::vector<std::string> readWrite; // folders: read, write, create, remove
    std::vector<std::string> readOnly;  // folders or files: read
};

// The confinement of a script on the devices mounted now: "/SDH" and "/F"
// read and write, "/DVD" read only (a disc), and what the C library reads.
Confinement deviceConfinement();

// Confines the calling process and every process and thread it starts from
// now on to `confinement`. Call it with no other thread running (threads
// started before keep their access). True when confined, or when the kernel
// has no Landlock (nothing is done: see noteUnconfined); false with `why`
// when the kernel has it and the confinement could not be made.
bool confineProcess(const Confinement &confinement, std::string &why);

// Says on standard error, once per process, that scripts run unconfined
// when the kernel has no Landlock; nothing otherwise.
void noteUnconfined();

} // namespace scripthost

#endif
