// Configuration system: the unit's software and hardware configuration tables.
// Each is stored for several configuration versions in three text files of
// "/F/Data_Base/CONFIGSYSTEM" (versions, modules, data rows); StartConfigSystem
// loads the row of the version the unit runs (boot database version for
// software, hardware release for hardware) into a configuration array, and the
// queries answer other modules by module name.
//
// No lock: StartConfigSystem runs once from one task before any query, and a
// reload must not overlap queries. Messages are logged only when debug_br > 0.
#ifndef CONFIG_SYSTEM_CONFIGSYSTEM_H
#define CONFIG_SYSTEM_CONFIGSYSTEM_H

#include "config_system/ConfigArray.h"

#define CONFIG_SYSTEM_DIR "/F/Data_Base/CONFIGSYSTEM"
#define CONFIG_SYSTEM_FLAG_FILE "ConfigFlag.cfg"
#define CONFIG_SYSTEM_SW_VERSION_FILE "Config_SW_Version.cfg"
#define CONFIG_SYSTEM_SW_MODULE_FILE "Config_SW_Module.cfg"
#define CONFIG_SYSTEM_SW_DATA_FILE "Config_SW_Data.cfg"
#define CONFIG_SYSTEM_HW_VERSION_FILE "Config_HW_Version.cfg"
#define CONFIG_SYSTEM_HW_MODULE_FILE "Config_HW_Module.cfg"
#define CONFIG_SYSTEM_HW_DATA_FILE "Config_HW_Data.cfg"

#define CONFIG_SYSTEM_PATH_SIZE 64
#define CONFIG_SYSTEM_VERSION_SIZE 20
// Lines are read with this buffer: at most 39 characters of a line are read,
// the rest of a longer line is skipped.
#define CONFIG_SYSTEM_LINE_SIZE 40
// Only the first 20 characters of a line are used: module names and data
// texts are at most this long, so 21 bytes hold any of them.
#define CONFIG_SYSTEM_TEXT_MAX 20

// One configuration.
struct ConfigSystem {
    char file_version[CONFIG_SYSTEM_PATH_SIZE]; // full path of the version file
    char file_module[CONFIG_SYSTEM_PATH_SIZE];  // full path of the module file
    char file_data[CONFIG_SYSTEM_PATH_SIZE];    // full path of the data file
    // File version common to the three files (at most 19 characters kept).
    char current_file_version[CONFIG_SYSTEM_VERSION_SIZE];
    // Identity selecting the row: the boot database's configuration version
    // (software) or the hardware release in decimal (hardware).
    char config_version[CONFIG_SYSTEM_VERSION_SIZE];
    // 0-based line of the selected version in the version file, -1 if none.
    int version_index;
    ConfigElement *list; // the selected row
};

extern ConfigSystem g_configsystem_software;
extern ConfigSystem g_configsystem_hardware;

// ---- Loading (ConfigSystemLoad.cpp) ----------------------------------------

// Clears, identifies, checks and loads both configurations, stopping at the
// first step that fails (what earlier steps loaded stays). 0 or -1. Called
// once from one task before any query; may be called again to reload.
int StartConfigSystem();
// Empties both records (paths, versions, index -1, array destroyed). 0.
int ClearConfigSystem();
// Fills both records' paths and config_version (boot database version,
// hardware release). 0, or -1 when an identity cannot be read.
int InitConfigSystem();
// Checks the integrity and the common file version of the record's three
// files; stores that version in current_file_version. 0 or -1.
int CheckFileConfigSystem(ConfigSystem &p_config);
// Checks the integrity of "ConfigFlag.cfg". 0 or -1.
int CheckFlagConfigSystem();
// Reads the record's files and loads the row of its config_version into its
// list; sets version_index when the version is found. 0 or -1.
int CreateConfigSystem(ConfigSystem &p_config);

// ---- Queries (ConfigSystemQuery.cpp) ---------------------------------------
// Any task, once loading has finished. Nothing in the records is changed.

// Copies the software configuration's data text for `module` into `data` (at
// least 21 bytes). 0, or -1 (`data` untouched) when an argument is null, the
// record is not initialised or the module is absent.
int GetSoftwareConfigSystem(const char *module, char *data);
// Same for the hardware configuration.
int GetHardwareConfigSystem(const char *module, char *data);
// Stores in *data a pointer to the software configuration's data text for
// `module` (owned by the configuration, valid until the next load). 0 or -1
// (*data untouched).
int GetSoftwareConfiguration(const char *module, const char **data);
// Same for the hardware configuration.
int GetHardwareConfiguration(const char *module, const char **data);
// Copies the software config_version into `version` (at least 20 bytes) and
// its version_index into `index`. 0, or -1 (nothing written) when `version`
// is null, no version is known, or the last load selected none.
int GetConfigSystemSoftwareVersion(unsigned char *version, int &index);
// Prints both records and their tables on the console, whatever the debug
// level. 0.
int ShowConfigSystemStatus();

#endif
