// Configuration loading: the two configuration records, their files, and the
// start sequence that identifies, checks and loads them.
#include "config_system/ConfigSystem.h"

#include "config_system/ConfigSystem_LOG.h"
#include "config_system/config_log.h"
#include "platform/plat_io.h"
#include "platform/vxworks.h"
#include "unit/boot_db.h"
#include "unit/integrity.h"

#include <cstdio>
#include <cstring>

ConfigSystem g_configsystem_software;
ConfigSystem g_configsystem_hardware;

namespace {

// Forms the record's three paths in CONFIG_SYSTEM_DIR.
void FillConfigPaths(ConfigSystem &p_config, const char *p_version, const char *p_module,
                     const char *p_data) {
    std::snprintf(p_config.file_version, sizeof p_config.file_version, "%s/%s", CONFIG_SYSTEM_DIR,
                  p_version);
    std::snprintf(p_config.file_module, sizeof p_config.file_module, "%s/%s", CONFIG_SYSTEM_DIR,
                  p_module);
    std::snprintf(p_config.file_data, sizeof p_config.file_data, "%s/%s", CONFIG_SYSTEM_DIR,
                  p_data);
}

void ClearConfigRecord(ConfigSystem &p_config) {
    p_config.version_index = -1;
    std::memset(p_config.file_version, 0, sizeof p_config.file_version);
    std::memset(p_config.file_module, 0, sizeof p_config.file_module);
    std::memset(p_config.file_data, 0, sizeof p_config.file_data);
    std::memset(p_config.current_file_version, 0, sizeof p_config.current_file_version);
    std::memset(p_config.config_version, 0, sizeof p_config.config_version);
    ConfigArrayDestroy(&p_config.list);
}

// Results of ReadConfigLine besides a line's length.
const int CONFIG_LINE_END = -1;   // end of the file
const int CONFIG_LINE_ERROR = -2; // the file cannot be read

// 1 when the last byte read from `p_fd` is the line feed that ended a line
// filling the whole read buffer, 0 when it is not, -1 when that byte cannot be
// read again. fioRdString may or may not consume the line feed after a line of
// exactly 39 characters; looking back at the last byte tells both cases
// apart.
int ConfigLineEnded(int p_fd) {
    if (plat::lseek(p_fd, -1, SEEK_CUR) < 0)
        return -1;
    char l_last = 0;
    if (plat::read(p_fd, &l_last, 1) != 1)
        return -1;
    return l_last == '\n' ? 1 : 0;
}

// True when `p_fd` stands at the end of its file. fioRdString gives ERROR at
// the end of the file and on a read error alike; only the position tells
// them apart.
bool ConfigAtEnd(int p_fd) {
    struct stat l_stat;
    const long l_position = plat::lseek(p_fd, 0, SEEK_CUR);
    return l_position >= 0 && plat::fstat(p_fd, &l_stat) == 0 && l_position >= l_stat.st_size;
}

// Reads the next line of `p_fd` into `p_line` (CONFIG_SYSTEM_LINE_SIZE bytes)
// with fioRdString. When a line is longer than the buffer, the rest of it is
// read and dropped: fioRdString alone would hand it back as further lines and
// shift every later version, module or data row. Returns fioRdString's result
// for the line (its length with the NUL), CONFIG_LINE_END at the end of the
// file, or CONFIG_LINE_ERROR when the file cannot be read: a read error taken
// for the end of a file would load a shorter or shifted table and report it
// as loaded.
int ReadConfigLine(int p_fd, char *p_line) {
    int l_length = fioRdString(p_fd, p_line, CONFIG_SYSTEM_LINE_SIZE);
    if (l_length == ERROR)
        return ConfigAtEnd(p_fd) ? CONFIG_LINE_END : CONFIG_LINE_ERROR;
    int l_ended = l_length == CONFIG_SYSTEM_LINE_SIZE ? ConfigLineEnded(p_fd) : 1;
    while (l_ended == 0) {
        char l_rest[CONFIG_SYSTEM_LINE_SIZE];
        int l_rest_length = fioRdString(p_fd, l_rest, sizeof l_rest);
        if (l_rest_length == ERROR)
            return ConfigAtEnd(p_fd) ? l_length : CONFIG_LINE_ERROR;
        l_ended = l_rest_length == CONFIG_SYSTEM_LINE_SIZE ? ConfigLineEnded(p_fd) : 1;
    }
    return l_ended < 0 ? CONFIG_LINE_ERROR : l_length;
}

// The used part of a line: its first CONFIG_SYSTEM_TEXT_MAX characters, ended
// at the first carriage return or line feed. `p_text` holds
// CONFIG_SYSTEM_TEXT_MAX + 1 bytes.
void CutConfigText(const char *p_line, char *p_text) {
    int l_i = 0;
    while (l_i < CONFIG_SYSTEM_TEXT_MAX && p_line[l_i] != '\0' && p_line[l_i] != '\r' &&
           p_line[l_i] != '\n') {
        p_text[l_i] = p_line[l_i];
        ++l_i;
    }
    p_text[l_i] = '\0';
}

void CloseConfigFile(FILE *p_file) {
    if (p_file != nullptr)
        plat::fclose(p_file);
}

} // namespace

int StartConfigSystem() {
    ConfigSystemLog("+StartConfigSystem starts (t=%ld)\n", ConfigSystemTick());
    const char *l_error = nullptr;
    if (ClearConfigSystem() == -1)
        l_error = "ERROR - StartConfigSystem : ClearConfigSystem\n";
    else if (InitConfigSystem() == -1)
        l_error = "ERROR - StartConfigSystem : InitConfigSystem\n";
    else if (CheckFileConfigSystem(g_configsystem_software) == -1)
        l_error = "ERROR - StartConfigSystem : CheckFileConfigSystem software\n";
    else if (CheckFileConfigSystem(g_configsystem_hardware) == -1)
        l_error = "ERROR - StartConfigSystem : CheckFileConfigSystem hardware\n";
    else if (CheckFlagConfigSystem() == -1)
        l_error = "ERROR - StartConfigSystem : CheckFlagConfigSystem software\n";
    else if (CreateConfigSystem(g_configsystem_software) == -1)
        l_error = "ERROR - StartConfigSystem : CreateConfigSystem software\n";
    else if (CreateConfigSystem(g_configsystem_hardware) == -1)
        l_error = "ERROR - StartConfigSystem : CreateConfigSystem hardware\n";
    if (l_error != nullptr)
        ConfigSystemLog(l_error);
    ConfigSystemLog("+StartConfigSystem ends (t=%ld)\n", ConfigSystemTick());
    return l_error == nullptr ? 0 : -1;
}

int ClearConfigSystem() {
    ConfigSystemLog("+ClearConfigSystem starts (t=%ld)\n", ConfigSystemTick());
    ClearConfigRecord(g_configsystem_software);
    ClearConfigRecord(g_configsystem_hardware);
    ConfigSystemLog("-ClearConfigSystem ends (t=%ld)\n", ConfigSystemTick());
    return 0;
}

int InitConfigSystem() {
    ConfigSystemLog("+InitConfigSystem starts (t=%ld)\n", ConfigSystemTick());
    int l_result = 0;

    // Software: the boot database's configuration version. The list is
    // destroyed rather than merely reset so that a direct call after a load
    // does not leak the loaded table (after ClearConfigSystem it is empty).
    ConfigSystem &l_sw = g_configsystem_software;
    ConfigArrayDestroy(&l_sw.list);
    l_sw.version_index = -1;
    unsigned char l_version[BOOT_CONFIG_VERSION_SIZE] = {0};
    if (InterGetDBBootConfigSystemVersion(l_version) == -1) {
        ConfigSystemLog(g_config_log_boot_version);
        l_result = -1;
    } else {
        // Kept NUL-terminated whatever the boot database wrote.
        l_version[sizeof l_version - 1] = '\0';
        std::snprintf(l_sw.config_version, sizeof l_sw.config_version, "%s",
                      reinterpret_cast<const char *>(l_version));
        FillConfigPaths(l_sw, CONFIG_SYSTEM_SW_VERSION_FILE, CONFIG_SYSTEM_SW_MODULE_FILE,
                        CONFIG_SYSTEM_SW_DATA_FILE);

        // Hardware: the hardware release in decimal ("hardware ID").
        ConfigSystem &l_hw = g_configsystem_hardware;
        ConfigArrayDestroy(&l_hw.list);
        l_hw.version_index = -1;
        int l_written =
            std::snprintf(l_hw.config_version, sizeof l_hw.config_version, "%d", GetHardRelease());
        if (l_written <= 0 || l_hw.config_version[0] == '\0') {
            l_hw.config_version[0] = '\0';
            ConfigSystemLog(g_config_log_hardware_id);
            l_result = -1;
        } else {
            FillConfigPaths(l_hw, CONFIG_SYSTEM_HW_VERSION_FILE, CONFIG_SYSTEM_HW_MODULE_FILE,
                            CONFIG_SYSTEM_HW_DATA_FILE);
            ConfigSystemLog("InitConfigSystem OK\n");
        }
    }
    if (l_result == -1)
        ConfigSystemLog("ERROR - InitConfigSystem !\n");
    ConfigSystemLog("-InitConfigSystem ends (t=%ld)\n", ConfigSystemTick());
    return l_result;
}

int CheckFileConfigSystem(ConfigSystem &p_config) {
    ConfigSystemLog("+CheckFileConfigSystem starts (t=%ld)\n", ConfigSystemTick());
    const char *l_files[3] = {p_config.file_version, p_config.file_module, p_config.file_data};
    int l_result = 0;

    for (int l_i = 0; l_i < 3 && l_result == 0; ++l_i) {
        if (CheckCRCFile(l_files[l_i]) == -1) {
            ConfigSystemLog(g_config_log_file_crc, l_files[l_i]);
            l_result = -1;
        }
    }

    char l_versions[3][FILE_VERSION_SIZE];
    std::memset(l_versions, 0, sizeof l_versions);
    for (int l_i = 0; l_i < 3 && l_result == 0; ++l_i) {
        if (GetFileVersion(l_files[l_i], l_versions[l_i]) == -1) {
            ConfigSystemLog(g_config_log_no_version, l_files[l_i]);
            l_result = -1;
        }
        l_versions[l_i][FILE_VERSION_SIZE - 1] = '\0';
    }

    if (l_result == 0) {
        if (std::strcmp(l_versions[0], l_versions[1]) != 0 ||
            std::strcmp(l_versions[1], l_versions[2]) != 0) {
            ConfigSystemLog(g_config_log_versions_differ);
            ConfigSystemLog("ERROR - CheckFileConfigSystem : version=[%s] module=[%s] data=[%s]\n",
                            l_versions[0], l_versions[1], l_versions[2]);
            l_result = -1;
        } else {
            ConfigSystemLog("CheckFileConfigSystem : current file version=[%s]\n", l_versions[0]);
            // The field holds 19 characters and its NUL.
            std::snprintf(p_config.current_file_version, sizeof p_config.current_file_version,
                          "%.*s", CONFIG_SYSTEM_VERSION_SIZE - 1, l_versions[0]);
        }
    }
    ConfigSystemLog("-CheckFileConfigSystem ends (t=%ld)\n", ConfigSystemTick());
    return l_result;
}

int CheckFlagConfigSystem() {
    ConfigSystemLog("+CheckFlagConfigSystem starts (t=%ld)\n", ConfigSystemTick());
    char l_path[CONFIG_SYSTEM_PATH_SIZE];
    std::snprintf(l_path, sizeof l_path, "%s/%s", CONFIG_SYSTEM_DIR, CONFIG_SYSTEM_FLAG_FILE);
    int l_result = 0;
    if (CheckCRCFile(l_path) == -1) {
        ConfigSystemLog(g_config_log_flag_crc, l_path);
        l_result = -1;
    }
    ConfigSystemLog("-CheckFlagConfigSystem ends (t=%ld)\n", ConfigSystemTick());
    return l_result;
}

int CreateConfigSystem(ConfigSystem &p_config) {
    ConfigSystemLog("+CreateConfigSystem starts (t=%ld)\n", ConfigSystemTick());
    FILE *l_version_file = plat::fopen(p_config.file_version, "r");
    FILE *l_module_file = plat::fopen(p_config.file_module, "r");
    FILE *l_data_file = plat::fopen(p_config.file_data, "r");
    if (l_version_file == nullptr || l_module_file == nullptr || l_data_file == nullptr) {
        ConfigSystemLog("ERROR - CreateConfigSystem : fopen files\n");
        CloseConfigFile(l_version_file);
        CloseConfigFile(l_module_file);
        CloseConfigFile(l_data_file);
        ConfigSystemLog("-CreateConfigSystem ends (t=%ld)\n", ConfigSystemTick());
        return -1;
    }
    // The files are read only through their descriptors (fioRdString), never
    // through the FILE buffers, so rewinding the descriptor is enough.
    int l_version_fd = fileno(l_version_file);
    int l_module_fd = fileno(l_module_file);
    int l_data_fd = fileno(l_data_file);

    ConfigElement *l_data_List_tmp;
    ConfigArrayInit(&l_data_List_tmp);
    int l_line_counter = -1;
    bool l_found = false;
    int l_result = 0;
    char l_version_line[CONFIG_SYSTEM_LINE_SIZE];
    char l_module_line[CONFIG_SYSTEM_LINE_SIZE];
    char l_data_line[CONFIG_SYSTEM_LINE_SIZE];
    char l_version[CONFIG_SYSTEM_TEXT_MAX + 1];
    char l_module[CONFIG_SYSTEM_TEXT_MAX + 1];
    char l_data[CONFIG_SYSTEM_TEXT_MAX + 1];

    int l_version_length;
    while ((l_version_length = ReadConfigLine(l_version_fd, l_version_line)) >= 0) {
        ++l_line_counter;
        CutConfigText(l_version_line, l_version);
        if (std::strcmp(l_version, p_config.config_version) == 0) {
            p_config.version_index = l_line_counter;
            l_found = true;
        }

        // One row of the data table per version: a data line per module line.
        int l_module_length;
        while ((l_module_length = ReadConfigLine(l_module_fd, l_module_line)) >= 0) {
            const int l_data_length = ReadConfigLine(l_data_fd, l_data_line);
            if (l_data_length == CONFIG_LINE_END) {
                ConfigSystemLog("ERROR - CreateConfigSystem : data not available - end of file\n");
                l_result = -1;
            } else if (l_data_length == CONFIG_LINE_ERROR) {
                ConfigSystemLog(g_config_log_cannot_read, p_config.file_data);
                l_result = -1;
            } else if (l_found) {
                CutConfigText(l_module_line, l_module);
                CutConfigText(l_data_line, l_data);
                ConfigSystemLog("CreateConfigSystem : add version=[%s] - module=[%s] - data=[%s]\n",
                                l_version, l_module, l_data);
                l_result = ConfigArrayAdd(&l_data_List_tmp, l_module, l_data);
            }
            if (l_result == -1)
                break;
        }
        if (l_module_length == CONFIG_LINE_ERROR && l_result == 0) {
            ConfigSystemLog(g_config_log_cannot_read, p_config.file_module);
            l_result = -1;
        }

        if (l_result == -1) {
            ConfigSystemLog("ERROR - CreateConfigSystem : cannot write data\n");
            break;
        }
        if (l_found) {
            ConfigSystemLog("CreateConfigSystem : write datas ends for version=[%s]\n", l_version);
            // The temporary list is in reverse order; the copy restores the
            // module file's order.
            l_result = ConfigArrayCopy(&p_config.list, &l_data_List_tmp);
            break;
        }
        // The next version reads the module file again; the data file goes on
        // with that version's row. (Should the rewind fail, the module file
        // stays at its end, a later match loads nothing and the copy fails.)
        plat::lseek(l_module_fd, 0, SEEK_SET);
    }

    if (l_version_length == CONFIG_LINE_ERROR) {
        ConfigSystemLog(g_config_log_cannot_read, p_config.file_version);
        l_result = -1;
    } else if (!l_found) {
        ConfigSystemLog("ERROR - CreateConfigSystem : no data for config=[%s]\n",
                        p_config.config_version);
        l_result = -1;
    }

    ConfigArrayDestroy(&l_data_List_tmp);
    plat::fclose(l_version_file);
    plat::fclose(l_module_file);
    plat::fclose(l_data_file);
    ConfigSystemLog("-CreateConfigSystem ends (t=%ld)\n", ConfigSystemTick());
    return l_result;
}
