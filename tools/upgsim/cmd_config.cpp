// "upgsim config": loads the configuration tables from the flash ("/F") and
// shows them or answers one query, with the unit's identities (boot database
// version, hardware release) and debug level given as options.
#include "tools/upgsim/upgsim.h"

#include "config_system/ConfigSystem.h"
#include "unit/boot_db.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "platform/hostsim/hostsim.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

struct ConfigOptions {
    std::string action; // "show" or "get"
    std::string module; // get's MODULE
    bool hardware = false;
    std::string swConfigVersion;
    bool haveSwConfigVersion = false;
    int hwRelease = 1;
    bool haveHwRelease = false;
    int debug = 1;
    bool haveDebug = false;
    bool failBootDb = false;
    bool failHwRelease = false;
};
ConfigOptions s_configOptions;

// Why the tables did not load: the module's reason, else the folder it reads
// when that is missing.
std::string whyNotLoaded() {
    std::string why = upgsim::moduleReason();
    if (why.empty()) {
        const std::string folder = "/F/Data_Base/CONFIGSYSTEM";
        struct stat st;
        why = ::stat(hostsim::resolvePath(folder).c_str(), &st) != 0
                  ? folder + ": " + std::strerror(ENOENT)
                  : "the configuration tables cannot be loaded (--debug 1 and --log FILE "
                    "say why)";
    }
    return "config: " + why;
}

void defineConfig(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("ACTION", s_configOptions.action, "show, or get MODULE")
        ->type_name("show|get")
        ->required();
    sub.add_option("MODULE", s_configOptions.module, "get: the module whose data to answer")
        ->type_name("NAME");
    sub.add_flag("--hardware", s_configOptions.hardware, "get: the module's hardware data");
    sub.add_option_function<std::string>(
           "--sw-config-version",
           [](const std::string &v) {
               s_configOptions.swConfigVersion = v;
               s_configOptions.haveSwConfigVersion = true;
           },
           "boot database's configuration version")
        ->type_name("TEXT")
        ->default_str("V1.0");
    sub.add_option_function<int>(
           "--hw-release",
           [](const int &v) {
               s_configOptions.hwRelease = v;
               s_configOptions.haveHwRelease = true;
           },
           "hardware release")
        ->type_name("N")
        ->default_str("1");
    sub.add_option_function<int>(
           "--debug",
           [](const int &v) {
               s_configOptions.debug = v;
               s_configOptions.haveDebug = true;
           },
           "the unit's debug level")
        ->type_name("N")
        ->default_str("1");
    sub.add_flag("--fail-boot-db", s_configOptions.failBootDb, "the boot database cannot be read");
    sub.add_flag("--fail-hw-release", s_configOptions.failHwRelease, "the hardware release fails");
    upgsim::addJsonFlag(sub);
}

// One loaded configuration: the identity that chose its row, the files'
// common version, the row's index and its (module, data) pairs as the
// configuration array holds them, head first.
upgsim::Json configJson(const ConfigSystem &config) {
    upgsim::Json modules = upgsim::Json::array();
    for (const ConfigElement *e = config.list; e != nullptr; e = e->next)
        modules.push_back({{"module", upgsim::jsonText(e->module != nullptr ? e->module : "")},
                           {"data", upgsim::jsonText(e->data != nullptr ? e->data : "")}});
    return {{"config_version", upgsim::jsonText(config.config_version)},
            {"file_version", upgsim::jsonText(config.current_file_version)},
            {"version_index", config.version_index},
            {"files",
             {{"version", upgsim::jsonText(config.file_version)},
              {"module", upgsim::jsonText(config.file_module)},
              {"data", upgsim::jsonText(config.file_data)}}},
            {"modules", modules}};
}

int runConfig(const upgsim::GlobalOptions &opts, CLI::App &) {
    std::vector<std::string> args = {s_configOptions.action};
    if (!s_configOptions.module.empty())
        args.push_back(s_configOptions.module);
    const bool hardware = s_configOptions.hardware;
    if (s_configOptions.haveSwConfigVersion && !unit::setBootConfigVersion(s_configOptions.swConfigVersion))
        return upgsim::usageError("--sw-config-version takes at most 19 characters");
    if (s_configOptions.haveHwRelease)
        unit::setHardRelease(s_configOptions.hwRelease);
    if (s_configOptions.haveDebug)
        debug_br = s_configOptions.debug;
    if (s_configOptions.failBootDb)
        unit::setBootConfigVersionFails(true);
    if (s_configOptions.failHwRelease)
        unit::setHardReleaseFails(true);
    if (opts.flash.empty())
        return upgsim::usageError("config reads /F/Data_Base/CONFIGSYSTEM: give --flash DIR");

    const std::string action = args[0];
    if (action == "show") {
        if (args.size() != 1 || hardware)
            return upgsim::usageError("usage: upgsim config show");
        int started = StartConfigSystem();
        if (!upgsim::jsonOutput())
            ShowConfigSystemStatus();
        if (started != 0)
            return upgsim::failure(whyNotLoaded());
        if (upgsim::jsonOutput())
            upgsim::printJson({{"software", configJson(g_configsystem_software)},
                               {"hardware", configJson(g_configsystem_hardware)}});
        return upgsim::EXIT_OK;
    }
    if (action == "get") {
        if (args.size() != 2)
            return upgsim::usageError("usage: upgsim config get MODULE [--hardware]");
        if (StartConfigSystem() != 0)
            std::fprintf(stderr, "upgsim: %s; answering from what was loaded\n",
                         whyNotLoaded().c_str());
        // Data texts are at most 20 characters.
        char data[CONFIG_SYSTEM_TEXT_MAX + 1] = {0};
        const char *module = args[1].c_str();
        int found = hardware ? GetHardwareConfigSystem(module, data)
                             : GetSoftwareConfigSystem(module, data);
        const char *table = hardware ? "hardware" : "software";
        if (found != 0)
            return upgsim::failure(std::string("config: no ") + table + " data for module '" +
                                   module + "'");
        if (upgsim::jsonOutput())
            upgsim::printJson({{"module", upgsim::jsonText(module)},
                               {"table", table},
                               {"data", upgsim::jsonText(data)}});
        else
            std::printf("%s\n", data);
        return upgsim::EXIT_OK;
    }
    return upgsim::usageError("config: unknown action '" + action + "' (show or get)");
}

const upgsim::Registrar k_config_command({
    "config",
    "show the configuration tables of /F, or get MODULE's",
    defineConfig,
    runConfig,
});

} // namespace
