// "upgsim install-pois": installs a POI delivery with the builtin "InstalPOIs"
// (extraction, merge per country and group, staging under
// /SDH/MAPPE/POI_USER/TEMP_<CID>), the HMI's bargraph drawn on the terminal.
#include "tools/upgsim/upgsim.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "unit/hmi.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <dirent.h>

namespace {

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

struct PoisOptions {
    std::string archive;
    std::string text = k_default_text;
};
PoisOptions s_options;

void defineInstallPois(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("ARCHIVE", s_options.archive, "the delivery (ARCHIVE.inf beside it)")
        ->required();
    sub.add_option("--text", s_options.text, "the bargraph's text")->type_name("TEXT");
}

int runInstallPois(const upgsim::GlobalOptions &opts, CLI::App &) {
    const std::vector<std::string> args = {s_options.archive};
    const std::string &text = s_options.text;
    if (args[0].empty())
        return upgsim::usageError("install-pois: ARCHIVE must not be empty");
    // The delivery is merged onto the card.
    if (!upgsim::deviceMounted(opts, "install-pois", "the SD card", "/SDH") ||
        !upgsim::deviceMounted(opts, "install-pois", "ARCHIVE", args[0]))
        return upgsim::EXIT_USAGE;

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
        std::fprintf(stderr, "upgsim: install-pois: installation of '%s' failed (result %d)\n",
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
    "merge a POI delivery onto the card with InstalPOIs",
    defineInstallPois,
    runInstallPois,
});

} // namespace
