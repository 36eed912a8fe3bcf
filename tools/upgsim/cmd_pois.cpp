// "upgsim install-pois": installs a POI delivery with the builtin "InstalPOIs"
// (extraction, merge per country and group, staging under
// /SDH/MAPPE/POI_USER/TEMP_<CID>), the HMI's bargraph drawn on the terminal.
#include "tools/upgsim/upgsim.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "unit/hmi.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <sys/stat.h>

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

bool isFolder(const std::string &unitPath) {
    struct stat st;
    return ::stat(hostsim::resolvePath(unitPath).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The countries of a delivery: the folders under "tmp_poi/" in its archive
// (the folder under /SDH/MAPPE that the module merges from), sorted. Empty
// when the archive cannot be read.
std::vector<std::string> deliveredCountries(const std::string &archive) {
    std::vector<upgsim::ArchiveEntry> entries;
    std::string error;
    upgsim::listArchive(hostsim::resolvePath(archive), entries, error);
    const std::string folder = "tmp_poi/";
    std::vector<std::string> cids;
    for (const upgsim::ArchiveEntry &e : entries) {
        for (size_t at = e.path.find(folder); at != std::string::npos;
             at = e.path.find(folder, at + 1)) {
            if (at != 0 && e.path[at - 1] != '/')
                continue;
            const size_t start = at + folder.size();
            const size_t end = e.path.find('/', start);
            if (end != std::string::npos && end > start)
                cids.push_back(e.path.substr(start, end - start));
            break;
        }
    }
    std::sort(cids.begin(), cids.end());
    cids.erase(std::unique(cids.begin(), cids.end()), cids.end());
    return cids;
}

// The state of every delivered country after the installation, read from
// the card: "staged" (its staging folder exists), "skipped" (no map of it is
// installed, so the module leaves it out) or "failed".
upgsim::Json countryStates(const std::string &archive) {
    upgsim::Json countries = upgsim::Json::array();
    for (const std::string &cid : deliveredCountries(archive)) {
        const std::string staging = "/SDH/MAPPE/POI_USER/TEMP_" + cid;
        upgsim::Json country = {{"cid", upgsim::jsonText(cid)}};
        if (isFolder(staging)) {
            country["state"] = "staged";
            country["folder"] = upgsim::jsonText(staging);
        } else {
            country["state"] = isFolder("/SDH/MAPPE/" + cid) ? "failed" : "skipped";
        }
        countries.push_back(country);
    }
    return countries;
}

// The VERSION of the staged POI version file; null when there is none.
upgsim::Json stagedPoiVersion() {
    std::ifstream in(hostsim::resolvePath("/SDH/TEMP_POI_VER.POI"));
    std::string line;
    upgsim::Json version;
    while (std::getline(in, line)) {
        if (line.compare(0, 8, "VERSION:") != 0)
            continue;
        line.erase(0, 8);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        version = upgsim::jsonText(line);
    }
    return version;
}

struct PoisOptions {
    std::string archive;
    std::string text = k_default_text;
};
PoisOptions s_poisOptions;

void defineInstallPois(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("ARCHIVE", s_poisOptions.archive, "the delivery (ARCHIVE.inf beside it)")
        ->type_name("FILE")
        ->required();
    sub.add_option("--text", s_poisOptions.text, "the bargraph's text")
        ->type_name("TEXT")
        ->capture_default_str();
    upgsim::addJsonFlag(sub);
}

int runInstallPois(const upgsim::GlobalOptions &opts, CLI::App &) {
    const std::vector<std::string> args = {s_poisOptions.archive};
    const std::string &text = s_poisOptions.text;
    if (args[0].empty())
        return upgsim::usageError("install-pois: ARCHIVE must not be empty");
    // The delivery is merged onto the card.
    if (!upgsim::deviceMounted(opts, "install-pois", "the SD card", "/SDH") ||
        !upgsim::deviceMounted(opts, "install-pois", "ARCHIVE", args[0]))
        return upgsim::EXIT_USAGE;

    if (C_BUILTINS::Instance() == nullptr)
        return upgsim::failure("install-pois: the module cannot start");

    if (opts.progressOnTerminal())
        unit::setBargraphOnTerminal(true);
    val_t value;
    bool called;
    {
        // The extractor's entry lines stay off the JSON.
        upgsim::StdoutAside aside(upgsim::jsonOutput());
        called = hostsim::callBuiltin(
            "InstalPOIs",
            {hostsim::EicArg::Ptr(args[0].c_str()), hostsim::EicArg::Ptr(text.c_str())}, &value);
    }
    unit::setBargraphOnTerminal(false);

    if (!called)
        return upgsim::failure("install-pois: builtin InstalPOIs is not registered");
    if (value.ival != 0) {
        const std::string message =
            upgsim::withReason("install-pois", "installation of '" + args[0] + "' failed (result " +
                                                   std::to_string(value.ival) + ")");
        const int rc = upgsim::failure(message);
        // Countries merged before the failure may be staged.
        if (upgsim::jsonOutput())
            upgsim::printJson({{"error", upgsim::jsonText(message)},
                               {"code", rc},
                               {"countries", countryStates(args[0])}});
        return rc;
    }
    if (upgsim::jsonOutput()) {
        upgsim::printJson({{"archive", upgsim::jsonText(args[0])},
                           {"result", value.ival},
                           {"poi_version", stagedPoiVersion()},
                           {"countries", countryStates(args[0])}});
        return upgsim::EXIT_OK;
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
