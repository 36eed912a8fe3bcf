// Logging service of the unit (stand-in): SYSTOOL_LogMsgNoFormat.
//
// Host: the message is formatted at once (each conversion with the type it
// names, like logMsg) and handed to the simulator's log sinks as a line of the
// SysTool source, so that tests can tell its lines from logMsg's.
#ifndef UNIT_SYSTOOL_H
#define UNIT_SYSTOOL_H

#include "platform/vxworks.h"

#include <string>

// Writes one log line: `p_format` formatted with up to six pointer-sized
// arguments (%d/%i/%u/%x/%X/%o/%c take an int, %ld and friends a long, %s a
// text, a null text printed as "(null)"). A line feed is added when the text
// does not end with one. `p_console` is accepted and ignored (the unit's flag
// for echoing on the console). Any task.
void SYSTOOL_LogMsgNoFormat(bool p_console, const char *p_format, _Vx_usr_arg_t p_a1 = 0,
                            _Vx_usr_arg_t p_a2 = 0, _Vx_usr_arg_t p_a3 = 0, _Vx_usr_arg_t p_a4 = 0,
                            _Vx_usr_arg_t p_a5 = 0, _Vx_usr_arg_t p_a6 = 0);

namespace unit {

// Start state of the stand-in (it keeps none; present for symmetry).
void resetSysTool();

} // namespace unit

#endif
