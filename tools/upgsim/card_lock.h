// The boundary of the folders a run plays as the unit's devices: one run at a
// time writes a card (or the flash), and a folder holding a symbolic link is
// not played as a device.
#ifndef TOOLS_UPGSIM_CARD_LOCK_H
#define TOOLS_UPGSIM_CARD_LOCK_H

#include "tools/upgsim/upgsim.h"

#include <string>

namespace upgsim {

// Locks the folders of --sd and --flash for the whole run of `command`
// (exclusively for a command that may write them, shared for one that only
// reads them), and every folder above them shared, so that runs on nested
// folders (--sd card/MAPPE beside --sd card) exclude each other; and refuses
// any folder of --sd, --flash or --media that holds a
// symbolic link. The locks are flock locks on the folders themselves: nothing
// is written into them, a forked script child shares them (neither losing nor
// duplicating them), and the system drops them when the run ends, however it
// ends. 0 when the run may go on; otherwise the message ("upgsim: ..."
// naming the folder, and the other run's process when the system tells it) is
// printed and the exit status to end with is returned: 1 (125 for run and
// demo) when a folder is in use by another run, 2 (125) for a folder with a
// link. Main thread, before the devices are mounted.
int guardDeviceFolders(const GlobalOptions &opts, const std::string &command);

} // namespace upgsim

#endif
