// "upgsim install-pois": installs a POI delivery with the builtin "InstalPOIs"
// (extraction, merge per country and group, staging under
// /SDH/MAPPE/POI_USER/TEMP_<CID>), the HMI's bargraph drawn on the terminal.
#include "tools/upgsim/upgsim.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "unit/hmi.h"

#include <algorithm>
#include <cstdio>
#include <dirent.h>

namespace {

// Tick rate when none is given: each of the installation's 500-tick pauses
// then takes under a second.
const int k_pois_tick_hz = 600;

const char k_default_text[] = "Installing POIs";

// Staging folders (TEMP_<CID>) present in the user POI folder, sorted.
std::vector<std::string> stagedFolders() {
    std::vector<std::string> names;
    DIR *dir = opendir(hostsim::resolvePath("/SDH/MAPPE/POI_USER").c_str());
    if (dir == nullptr)
        return names;
    while (struct dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name.compare(0, 5, "TEMP_") == 0)
            names.push_back(name);
    }
    closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

int runInstallPois(const upgsim::GlobalOptions &opts, std::vector<std::string> &args) {
    bool bad = false;
    std::string text = k_default_text;
    upgsim::takeOption(args, "--text", text, &bad);
    if (bad)
        return upgsim::usageError("--text needs a value");
    for (const std::string &arg : args)
        if (arg.compare(0, 2, "--") == 0)
            return upgsim::usageError("install-pois: unknown option '" + arg + "'");
    if (args.size() != 1)
        return upgsim::usageError("usage: upgsim install-pois ARCHIVE [--text TEXT]");

    if (opts.tickHz == 0)
        hostsim::setTickRate(k_pois_tick_hz);
    if (C_BUILTINS::Instance() == nullptr) {
        std::fprintf(stderr, "upgsim: install-pois: the module cannot start\n");
        return upgsim::EXIT_FAILURE_REPORTED;
    }

    if (opts.progressOnTerminal())
        unit::setBargraphOnTerminal(true);
    val_t value;
    bool called = hostsim::callBuiltin(
        "InstalPOIs", {hostsim::EicArg::Ptr(args[0].c_str()), hostsim::EicArg::Ptr(text.c_str())},
        &value);
    unit::setBargraphOnTerminal(false);

    if (!called) {
        std::fprintf(stderr, "upgsim: install-pois: builtin InstalPOIs is not registered\n");
        return upgsim::EXIT_FAILURE_REPORTED;
    }
    if (value.ival != 0) {
        std::fprintf(stderr,
                     "upgsim: install-pois: installation of '%s' failed (result %d; the "
                     "module's log tells why: --log -)\n",
                     args[0].c_str(), value.ival);
        return upgsim::EXIT_FAILURE_REPORTED;
    }
    std::vector<std::string> staged = stagedFolders();
    std::printf("installed %s: %zu countr%s staged\n", args[0].c_str(), staged.size(),
                staged.size() == 1 ? "y" : "ies");
    for (const std::string &name : staged)
        std::printf("  /SDH/MAPPE/POI_USER/%s\n", name.c_str());
    return upgsim::EXIT_OK;
}

const upgsim::Registrar k_install_pois_command({
    "install-pois",
    "install-pois ARCHIVE [--text TEXT]",
    "install the POI delivery ARCHIVE (with ARCHIVE.inf) with the builtin InstalPOIs: merged "
    "countries are staged in /SDH/MAPPE/POI_USER/TEMP_<CID>; TEXT is the bargraph's text",
    runInstallPois,
});

} // namespace
