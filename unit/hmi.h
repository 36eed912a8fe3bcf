// HMI of the unit (stand-in): the upgrade screens and the progress bargraph of
// C_MMI_UPGRADE. Each entry is registered in the symbol table under its link
// name, where the module finds it at run time; the bargraph step is also
// linked directly (the POI merge calls it by name). Every call is recorded with
// its arguments so that tests can read it, and the simulator can draw the
// bargraph on the terminal.
//
// Start state (resetHmi, called by unit::installAll): every entry registered,
// none failing, nothing recorded, no terminal drawing.
#ifndef UNIT_HMI_H
#define UNIT_HMI_H

#include "platform/vxworks.h"

#include <cstddef>
#include <string>
#include <vector>

class C_MMI_UPGRADE {
public:
    // Screens, registered under "s_ShowMediaCanceled__13C_MMI_UPGRADE",
    // "s_ShowCDProblem__13C_MMI_UPGRADE",
    // "s_ShowNavigationEraseCountryScreenWithSize__13C_MMI_UPGRADE" and
    // "s_ShowNavigationEraseCountryScreen__13C_MMI_UPGRADE". The module calls
    // them with pointer-sized integers; each value is a 32-bit one. 0, or -1
    // when set to fail (the call is recorded either way). Interpreter's task.
    static int s_ShowMediaCanceled();
    static int s_ShowCDProblem();
    static int s_ShowNavigationEraseCountryScreenWithSize(_Vx_usr_arg_t p_a, _Vx_usr_arg_t p_b,
                                                          _Vx_usr_arg_t p_c, _Vx_usr_arg_t p_d,
                                                          _Vx_usr_arg_t p_size);
    static int s_ShowNavigationEraseCountryScreen(_Vx_usr_arg_t p_a, _Vx_usr_arg_t p_b,
                                                  _Vx_usr_arg_t p_c, _Vx_usr_arg_t p_d);

    // Shows the upgrade bargraph at p_percent with the text p_text (null: no
    // text). Registered as "StepBargraph__13C_MMI_UPGRADEPci" and linked
    // directly. 0, or -1 when set to fail; callers do not use the result. Any
    // task (the bar task, the POI merge).
    static int StepBargraph(char *p_text, int p_percent);
};

namespace unit {

enum class HmiFunction {
    ShowMediaCanceled,
    ShowCDProblem,
    EraseCountryScreenWithSize,
    EraseCountryScreen,
    StepBargraph,
};

// One recorded call: the function, its 32-bit values (the percentage for a
// bargraph step), for a step its text, and the tick count (tickGet) when it
// was made, so that tests can see the pauses between calls.
struct HmiCall {
    HmiFunction function;
    std::vector<int> values;
    std::string text;
    unsigned long tick = 0;
};

// Restores the start state described above and (re)registers every entry.
void resetHmi();
// Link name of an entry.
const char *hmiSymbol(HmiFunction function);
// Removes an entry from the symbol table (an HMI without it) or registers it
// again.
void setHmiPresent(HmiFunction function, bool present);
// Makes an entry return -1 (true) or 0 (false).
void setHmiFails(HmiFunction function, bool fails);

// Calls recorded so far, oldest first: all, or those of one entry.
std::vector<HmiCall> hmiCalls();
std::vector<HmiCall> hmiCalls(HmiFunction function);
// Waits until at least `count` calls of `function` are recorded, up to
// timeoutMs. True when they are.
bool waitHmiCalls(HmiFunction function, std::size_t count, int timeoutMs);

// Draws every bargraph step as a one-line bar with the text and percentage on
// standard error (true), or stops drawing (false), ending a drawn line first.
void setBargraphOnTerminal(bool on);
// An extraction under the bar ended well: draws the bar of `text` full
// (100 %) when drawing is on. The module's steps come every 500 ticks, so
// the last one drawn falls short of the end, and a small archive ends before
// the first. Steps still on their way from the ended extraction are not
// drawn over it, until startBargraphExtraction.
void fillBargraphOnTerminal(const std::string &text);
// An extraction under the bar starts: its steps are drawn again.
void startBargraphExtraction();

} // namespace unit

#endif
