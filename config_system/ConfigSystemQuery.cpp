// Configuration queries: data by module name, the running software
// configuration version, and the status print.
#include "config_system/ConfigSystem.h"

#include "config_system/config_log.h"

#include <cstdio>
#include <cstring>

namespace {

// Log texts of one query family.
struct t_query_texts {
    const char *start;
    const char *null_param;
    const char *not_initialised;
    const char *no_data;
    const char *success;
    const char *end;
};

const t_query_texts k_software_config = {
    "+GetSoftwareConfig starts (t=%ld)\n",
    "ERROR - GetSoftwareConfig : null param\n",
    "ERROR - GetSoftwareConfig : Config System not initialized\n",
    "ERROR - GetSoftwareConfig : no data for version=[%s] module=[%s]!\n",
    "GetSoftwareConfig : version=[%s] module=[%s] data=[%s]\n",
    "-GetSoftwareConfig ends (t=%ld)\n",
};

const t_query_texts k_hardware_config = {
    "+GetHardwareConfig starts (t=%ld)\n",
    "ERROR - GetHardwareConfig : null param\n",
    "ERROR - GetHardwareConfig : Config System not initialized\n",
    "ERROR - GetHardwareConfig : no data for version=[%s] module=[%s]!\n",
    "GetHardwareConfig : version=[%s] module=[%s] data=[%s]\n",
    "-GetHardwareConfig ends (t=%ld)\n",
};

const t_query_texts k_software_configuration = {
    "+GetSoftwareConfiguration starts (t=%ld)\n",
    "ERROR - GetSoftwareConfiguration : null param\n",
    "ERROR - GetSoftwareConfiguration : Config System not initialized\n",
    "ERROR - GetSoftwareConfiguration : no data for version=[%s] module=[%s]!\n",
    "GetSoftwareConfiguration : version=[%s] module=[%s] data=[%s]\n",
    "-GetSoftwareConfiguration ends (t=%ld)\n",
};

// The common sequence of the four data queries: `p_copy` (not null) receives
// a copy of the data text, else `p_pointer` receives a pointer to it.
int QueryConfigSystem(const ConfigSystem &p_config, const t_query_texts &p_texts,
                      const char *p_module, char *p_copy, const char **p_pointer) {
    ConfigSystemLog(p_texts.start, ConfigSystemTick());
    int l_result = -1;
    if (p_module == nullptr || (p_copy == nullptr && p_pointer == nullptr)) {
        ConfigSystemLog(p_texts.null_param);
    } else if (p_config.config_version[0] == '\0') {
        ConfigSystemLog(p_texts.not_initialised);
    } else {
        const char *l_found = nullptr;
        if (p_copy != nullptr) {
            if (ConfigArraySearch(&p_config.list, p_module, p_copy) == 0)
                l_found = p_copy;
        } else if (ConfigArrayGet(&p_config.list, p_module, p_pointer) == 0) {
            l_found = *p_pointer;
        }
        if (l_found == nullptr) {
            ConfigSystemLog(p_texts.no_data, p_config.config_version, p_module);
        } else {
            ConfigSystemLog(p_texts.success, p_config.config_version, p_module, l_found);
            l_result = 0;
        }
    }
    ConfigSystemLog(p_texts.end, ConfigSystemTick());
    return l_result;
}

void ShowConfigRecord(const ConfigSystem &p_config, const char *p_identity_format) {
    std::printf("\n file version =\t[%s]", p_config.file_version);
    std::printf("\n file module =\t[%s]", p_config.file_module);
    std::printf("\n file data =\t[%s]", p_config.file_data);
    std::printf("\n file version = [%s]", p_config.current_file_version);
    std::printf("\n");
    std::printf(p_identity_format, p_config.config_version);
    std::printf("\n version index = [%d]", p_config.version_index);
    ConfigArrayDisplay(&p_config.list);
    std::printf("\n");
}

void ShowConfigTitle(const char *p_title) {
    std::printf("\n---------------------------------------------------------------");
    std::printf("%s", p_title);
    std::printf("\n---------------------------------------------------------------");
}

} // namespace

int GetSoftwareConfigSystem(const char *module, char *data) {
    return QueryConfigSystem(g_configsystem_software, k_software_config, module, data, nullptr);
}

int GetHardwareConfigSystem(const char *module, char *data) {
    return QueryConfigSystem(g_configsystem_hardware, k_hardware_config, module, data, nullptr);
}

int GetSoftwareConfiguration(const char *module, const char **data) {
    return QueryConfigSystem(g_configsystem_software, k_software_configuration, module, nullptr,
                             data);
}

int GetHardwareConfiguration(const char *module, const char **data) {
    return QueryConfigSystem(g_configsystem_hardware, k_hardware_config, module, nullptr, data);
}

int GetConfigSystemSoftwareVersion(unsigned char *version, int &index) {
    ConfigSystemLog("+GetConfigSystemSoftwareVersion starts (t=%ld)\n", ConfigSystemTick());
    const ConfigSystem &l_sw = g_configsystem_software;
    int l_result = -1;
    if (version == nullptr) {
        ConfigSystemLog("ERROR - GetConfigSystemSoftwareVersion : null param\n");
    } else if (l_sw.config_version[0] == '\0') {
        ConfigSystemLog("ERROR - GetConfigSystemSoftwareVersion : no version available\n");
    } else if (l_sw.version_index == -1) {
        ConfigSystemLog(
            "ERROR - GetConfigSystemSoftwareVersion : no version index available for [%s]\n",
            l_sw.config_version);
    } else {
        // config_version is always NUL-terminated within its 20 bytes.
        std::memcpy(version, l_sw.config_version, std::strlen(l_sw.config_version) + 1);
        index = l_sw.version_index;
        ConfigSystemLog("GetConfigSystemSoftwareVersion : version=[%s] index=[%d]\n",
                        l_sw.config_version, index);
        l_result = 0;
    }
    ConfigSystemLog("-GetConfigSystemSoftwareVersion ends (t=%ld)\n", ConfigSystemTick());
    return l_result;
}

int ShowConfigSystemStatus() {
    std::printf("\n***************************************************************");
    std::printf("\n***************** ShowConfigSystemStatus **********************");
    std::printf("\n***************************************************************");
    std::printf("\n");
    ShowConfigTitle("\n                  CONFIG SYSTEM SOFTWARE");
    ShowConfigRecord(g_configsystem_software, "\n software version =\t[%s]");
    ShowConfigTitle("\n                  CONFIG SYSTEM HARDWARE");
    ShowConfigRecord(g_configsystem_hardware, "\n hardware ID =\t[%s]");
    std::printf("\n***************************************************************");
    std::printf("\n***************************************************************");
    std::printf("\n");
    // Flushed so that the dump is complete on the console before any later
    // output (the log lines go elsewhere).
    std::fflush(stdout);
    return 0;
}
