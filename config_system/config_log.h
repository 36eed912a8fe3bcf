// Logging of the configuration system: every message goes through
// ConfigSystemLog, which writes it only when the debug level is above 0.
#ifndef CONFIG_SYSTEM_CONFIG_LOG_H
#define CONFIG_SYSTEM_CONFIG_LOG_H

#include "platform/plat_log.h"
#include "platform/vxworks.h"
#include "unit/boot_db.h"

// Logs `p_format` with up to four arguments (integers, enumerators or
// pointers, as plat::log takes them) when debug_br > 0. Any task.
template <typename... Args> inline void ConfigSystemLog(const char *p_format, Args... p_args) {
    plat::checkLogArgCount<4, Args...>();
    if (debug_br > 0)
        plat::log(p_format, p_args...);
}

// The tick count, as a log argument.
inline ULONG ConfigSystemTick() {
    return tickGet();
}

#endif
