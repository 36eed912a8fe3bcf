// Fuzz target: the configuration loader. The input holds four pieces
// separated by lines "--": the boot database's configuration version, then
// the version, module and data files. The three files are stamped (integrity
// sidecars) and loaded as the software and the hardware configuration; every
// module of the module file is then queried. A data text handed out must be
// at most 20 characters.
#include "fuzz/fuzz_support.h"

#include "config_system/ConfigSystem.h"
#include "unit/boot_db.h"
#include "unit/integrity.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

const char *const k_files[] = {
    CONFIG_SYSTEM_SW_VERSION_FILE, CONFIG_SYSTEM_SW_MODULE_FILE, CONFIG_SYSTEM_SW_DATA_FILE,
    CONFIG_SYSTEM_HW_VERSION_FILE, CONFIG_SYSTEM_HW_MODULE_FILE, CONFIG_SYSTEM_HW_DATA_FILE,
};

void QueryModule(const std::string &p_module) {
    char l_data[64];
    std::memset(l_data, 0, sizeof l_data);
    const char *l_ptr = nullptr;
    if (GetSoftwareConfigSystem(p_module.c_str(), l_data) == 0 && std::strlen(l_data) > 20) {
        std::fprintf(stderr, "config: data text of %zu characters\n", std::strlen(l_data));
        std::abort();
    }
    if (GetHardwareConfiguration(p_module.c_str(), &l_ptr) == 0 && std::strlen(l_ptr) > 20) {
        std::fprintf(stderr, "config: data text of %zu characters\n", std::strlen(l_ptr));
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzzsupport::scratch();
    fuzzsupport::resetUnit();
    std::vector<std::string> parts = fuzzsupport::splitInput(data, size, "\n--\n", 4);

    const std::string l_dir = root + "/flash/Data_Base/CONFIGSYSTEM/";
    for (int l_i = 0; l_i < 6; ++l_i) {
        fuzzsupport::writeHostFile(l_dir + k_files[l_i], parts[1 + l_i % 3]);
        unit::writeFileStamp(std::string(CONFIG_SYSTEM_DIR "/") + k_files[l_i], "1.0");
    }
    fuzzsupport::writeHostFile(l_dir + CONFIG_SYSTEM_FLAG_FILE, "flag\n");
    unit::writeFileStamp(CONFIG_SYSTEM_DIR "/" CONFIG_SYSTEM_FLAG_FILE, "1.0");

    // A version the boot database cannot hold is played as a failing read.
    if (!unit::setBootConfigVersion(parts[0]))
        unit::setBootConfigVersionFails(true);
    unit::setHardRelease(static_cast<int>(size % 4));
    debug_br = static_cast<int>(size % 2);

    StartConfigSystem();
    size_t l_start = 0;
    const std::string &l_modules = parts[2];
    while (l_start <= l_modules.size()) {
        size_t l_end = l_modules.find('\n', l_start);
        if (l_end == std::string::npos)
            l_end = l_modules.size();
        std::string l_line = l_modules.substr(l_start, l_end - l_start);
        QueryModule(l_line.substr(0, l_line.find('\0')).substr(0, 20));
        l_start = l_end + 1;
    }
    unsigned char l_version[64];
    int l_index = 0;
    GetConfigSystemSoftwareVersion(l_version, l_index);
    ShowConfigSystemStatus();
    ClearConfigSystem();
    return 0;
}
