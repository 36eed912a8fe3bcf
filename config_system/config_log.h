// Logging of the configuration system: every message goes through
// ConfigSystemLog, which writes it only when the debug level is above 0.
#ifndef CONFIG_SYSTEM_CONFIG_LOG_H
#define CONFIG_SYSTEM_CONFIG_LOG_H

#include "platform/vxworks.h"
#include "unit/boot_db.h"

// Logs `p_format` with its arguments when debug_br > 0. Any task.
inline void ConfigSystemLog(const char *p_format, _Vx_usr_arg_t p_a1 = 0, _Vx_usr_arg_t p_a2 = 0,
                            _Vx_usr_arg_t p_a3 = 0, _Vx_usr_arg_t p_a4 = 0) {
    if (debug_br > 0)
        logMsg(p_format, p_a1, p_a2, p_a3, p_a4);
}

// The tick count, as a log argument.
inline _Vx_usr_arg_t ConfigSystemTick() {
    return (_Vx_usr_arg_t)tickGet();
}

#endif
