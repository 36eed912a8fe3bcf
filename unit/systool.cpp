// Logging service of the unit (stand-in): SYSTOOL_LogMsgNoFormat formats its
// message at once and hands it to the simulator's log sinks as a SysTool line.
#include "unit/systool.h"

#include "platform/hostsim/hostsim.h"

#include <string>

namespace unit {

void resetSysTool() {}

} // namespace unit

void SYSTOOL_LogMsgNoFormat(bool, const char *p_format, _Vx_usr_arg_t p_a1, _Vx_usr_arg_t p_a2,
                            _Vx_usr_arg_t p_a3, _Vx_usr_arg_t p_a4, _Vx_usr_arg_t p_a5,
                            _Vx_usr_arg_t p_a6) {
    const _Vx_usr_arg_t l_args[6] = {p_a1, p_a2, p_a3, p_a4, p_a5, p_a6};
    std::string l_text = hostsim::formatLog(p_format, l_args);
    if (l_text.empty() || l_text.back() != '\n')
        l_text += '\n';
    hostsim::emitLog(hostsim::LogSource::SysTool, l_text.c_str());
}
