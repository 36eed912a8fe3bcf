// "upgsim config": loads the configuration tables from the flash ("/F") and
// shows them or answers one query, with the unit's identities (boot database
// version, hardware release) and debug level given as options.
#include "tools/upgsim/upgsim.h"

#include "config_system/ConfigSystem.h"
#include "unit/boot_db.h"

#include <climits>
#include <cstdio>

namespace {

// Applies the command options to the unit stand-ins. Returns EXIT_OK or the
// usage error's code.
int applyUnitOptions(std::vector<std::string> &args) {
    bool bad = false;
    std::string value;
    long number = 0;
    if (upgsim::takeOption(args, "--sw-config-version", value, &bad) &&
        !unit::setBootConfigVersion(value))
        return upgsim::usageError("--sw-config-version takes at most 19 characters");
    if (upgsim::takeOption(args, "--hw-release", value, &bad)) {
        if (!upgsim::parseInt(value, number) || number < INT_MIN || number > INT_MAX)
            return upgsim::usageError("--hw-release needs a whole number");
        unit::setHardRelease(static_cast<int>(number));
    }
    if (upgsim::takeOption(args, "--debug", value, &bad)) {
        if (!upgsim::parseInt(value, number) || number < INT_MIN || number > INT_MAX)
            return upgsim::usageError("--debug needs a whole number");
        debug_br = static_cast<int>(number);
    }
    if (bad)
        return upgsim::usageError("option needs a value");
    if (upgsim::takeFlag(args, "--fail-boot-db"))
        unit::setBootConfigVersionFails(true);
    if (upgsim::takeFlag(args, "--fail-hw-release"))
        unit::setHardReleaseFails(true);
    return upgsim::EXIT_OK;
}

int runConfig(const upgsim::GlobalOptions &, std::vector<std::string> &args) {
    int rc = applyUnitOptions(args);
    if (rc != upgsim::EXIT_OK)
        return rc;
    bool hardware = upgsim::takeFlag(args, "--hardware");
    for (const std::string &arg : args)
        if (arg.compare(0, 2, "--") == 0)
            return upgsim::usageError("config: unknown option '" + arg + "'");
    if (args.empty())
        return upgsim::usageError("usage: upgsim config show | config get MODULE [--hardware]");

    const std::string action = args[0];
    if (action == "show") {
        if (args.size() != 1 || hardware)
            return upgsim::usageError("usage: upgsim config show");
        int started = StartConfigSystem();
        ShowConfigSystemStatus();
        if (started != 0) {
            std::fprintf(stderr, "upgsim: config: StartConfigSystem failed (--log - shows why)\n");
            return upgsim::EXIT_FAILURE_REPORTED;
        }
        return upgsim::EXIT_OK;
    }
    if (action == "get") {
        if (args.size() != 2)
            return upgsim::usageError("usage: upgsim config get MODULE [--hardware]");
        if (StartConfigSystem() != 0)
            std::fprintf(stderr, "upgsim: config: StartConfigSystem failed; answering from what "
                                 "was loaded\n");
        // Data texts are at most 20 characters.
        char data[CONFIG_SYSTEM_TEXT_MAX + 1] = {0};
        const char *module = args[1].c_str();
        int found = hardware ? GetHardwareConfigSystem(module, data)
                             : GetSoftwareConfigSystem(module, data);
        if (found != 0) {
            std::fprintf(stderr, "upgsim: config: no %s data for module '%s'\n",
                         hardware ? "hardware" : "software", module);
            return upgsim::EXIT_FAILURE_REPORTED;
        }
        std::printf("%s\n", data);
        return upgsim::EXIT_OK;
    }
    return upgsim::usageError("config: unknown action '" + action + "' (show or get)");
}

const upgsim::Registrar k_config_command({
    "config",
    "config show | config get MODULE [--hardware]",
    "load the tables of /F/Data_Base/CONFIGSYSTEM and print them (show) or MODULE's data "
    "(get); --sw-config-version TEXT (default V1.0), --hw-release N (1), --debug N (1), "
    "--fail-boot-db, --fail-hw-release",
    runConfig,
});

} // namespace
