// The configuration service's log texts that the host tools read back to
// say why the service did not start. Each is the format of one or more
// ConfigSystemLog calls, written once here and used by those calls: a tool
// recognises a line by the same constant, so a reworded text cannot silently
// change what a tool concludes. The lines are written only when debug_br > 0.
#ifndef CONFIG_SYSTEM_CONFIGSYSTEM_LOG_H
#define CONFIG_SYSTEM_CONFIGSYSTEM_LOG_H

// ---- A configuration file refused: its path ----
inline constexpr char g_config_log_file_crc[] = "ERROR - CheckFileConfigSystem : CRC error [%s]\n";
inline constexpr char g_config_log_flag_crc[] = "ERROR - CheckFlagConfigSystem : CRC error [%s]\n";
inline constexpr char g_config_log_no_version[] =
    "ERROR - CheckFileConfigSystem : GetFileVersion error [%s]\n";
// Three calls: the data, the module and the version file.
inline constexpr char g_config_log_cannot_read[] =
    "ERROR - CreateConfigSystem : cannot read [%s]\n";

// ---- The unit refused what the service needs ----
inline constexpr char g_config_log_versions_differ[] =
    "ERROR - CheckFileConfigSystem : not same file version\n";
inline constexpr char g_config_log_boot_version[] =
    "ERROR - InitConfigSystem : InterGetDBBootConfigSystemVersion!\n";
inline constexpr char g_config_log_hardware_id[] = "ERROR - InitConfigSystem : get hardware ID!\n";

#endif
