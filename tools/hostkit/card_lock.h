// The card lock: one run at a time writes a card (or the flash) folder.
//
// The folders a run plays as the unit's devices are locked for the whole
// run, exclusively for a run that may write them, shared for one that only
// reads them, and every folder above them shared, so that runs on nested
// folders (a card folder and a folder inside it) exclude each other while
// two readers, or runs on folders side by side, do not. The locks are flock
// locks on the folders themselves: nothing is written into them, a forked
// child shares them (neither losing nor duplicating them), and the system
// drops them when the process ends, however it ends. Host tool code; main
// thread, before the devices are mounted.
#ifndef TOOLS_HOSTKIT_CARD_LOCK_H
#define TOOLS_HOSTKIT_CARD_LOCK_H

#include <string>
#include <vector>

namespace hostkit {

// One device folder to lock, named as the user gave it.
struct DeviceFolder {
    std::string path;
    std::string option; // "--sd"
    std::string what;   // "the card folder"
};

// Locks every folder of `folders` (exclusively when `exclusive`) and every
// folder above them (shared), held until the process ends. Empty when all
// are held; otherwise the message that names the folder, says why, and
// names the other run's process when the system tells it (the locks taken
// before the refusal stay held until the process ends).
std::string lockDeviceFolders(const std::vector<DeviceFolder> &folders, bool exclusive);

} // namespace hostkit

#endif
