// Upgrade history of the unit (stand-in): C_EXTERNAL_UPGRADE's comment entry,
// registered in the symbol table under its link name
// "s_AddUPGHistoryComment__18C_EXTERNAL_UPGRADE" (the module finds it there at
// run time), and the controls that tests and the simulator use.
//
// Start state (resetHistory, called by unit::installAll): the entry is
// registered, it succeeds, and no comment is recorded.
#ifndef UNIT_HISTORY_H
#define UNIT_HISTORY_H

#include "platform/vxworks.h"

#include <string>
#include <vector>

class C_EXTERNAL_UPGRADE {
public:
    // Records the comment (a char* passed as a pointer-sized integer, as the
    // module calls every late-bound function). 0, or -1 when set to fail (the
    // comment is then not recorded). Any task.
    static int s_AddUPGHistoryComment(_Vx_usr_arg_t p_comment);
};

namespace unit {

// Link name under which the comment entry is registered.
extern const char k_history_comment_symbol[];

// Restores the start state and (re)registers the entry in the symbol table.
void resetHistory();
// Comments recorded so far, oldest first (a null comment is recorded as
// "(null)").
std::vector<std::string> historyComments();
// Makes the entry return -1 (true) or 0 (false).
void setHistoryFails(bool fails);
// Removes the entry from the symbol table (a unit without the history module)
// or registers it again.
void setHistoryPresent(bool present);

} // namespace unit

#endif
