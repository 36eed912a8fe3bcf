// The demo's run: builds the sample unit, mounts it, starts the module, runs
// the map-upgrade script with the bargraph on the terminal (the module's
// extraction listing kept off it), and prints what was installed, where and
// how long it took.
#include "tools/scripthost/console_filter.h"
#include "tools/scripthost/demo.h"
#include "tools/scripthost/scripthost.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "platform/vxworks.h"
#include "unit/history.h"
#include "unit/hmi.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace scripthost {
namespace demo {

namespace {

namespace fs = std::filesystem;

std::string readKey(const std::string &hostPath, const std::string &key) {
    std::ifstream in(hostPath);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            std::string value = line.substr(key.size() + 1);
            while (!value.empty() && (value.back() == '\r' || value.back() == ' '))
                value.pop_back();
            return value;
        }
    }
    return "";
}

std::string versionText(int version, int release) {
    return version < 0 ? "-" : std::to_string(version) + "." + std::to_string(release);
}

struct TreeSize {
    unsigned long files = 0;
    unsigned long long bytes = 0;
};

TreeSize treeSize(const std::string &hostDir) {
    TreeSize size;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(hostDir, ec), end; !ec && it != end;
         it.increment(ec)) {
        if (it->is_regular_file(ec)) {
            ++size.files;
            size.bytes += it->file_size(ec);
        }
    }
    return size;
}

std::string megabytes(unsigned long long bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1048576.0);
    return text;
}

// A new temporary folder, or a new empty file whose name ends in `suffix`.
std::string makeTempPath(const std::string &tag, bool dir, const std::string &suffix = "") {
    std::error_code ec;
    fs::path base = fs::temp_directory_path(ec);
    if (ec)
        base = "/tmp";
    std::string tmpl = (base / (tag + "-XXXXXX" + suffix)).string();
    if (dir)
        return mkdtemp(tmpl.data()) != nullptr ? tmpl : std::string();
    int fd = mkstemps(tmpl.data(), static_cast<int>(suffix.size()));
    if (fd < 0)
        return std::string();
    close(fd);
    return tmpl;
}

void printBanner(FILE *out, const DemoOptions &options, const std::string &work, bool temporary,
                 double buildSeconds, int tickHz, long blockSize, const std::string &scriptName) {
    std::string offered;
    std::string installed;
    for (const SampleCountry &c : sampleCountries()) {
        offered += std::string(offered.empty() ? "" : ", ") + c.cid + " " +
                   versionText(c.mediaVersion, c.mediaRelease);
        if (c.installedVersion >= 0)
            installed += std::string(installed.empty() ? "" : ", ") + c.cid + " " +
                         versionText(c.installedVersion, c.installedRelease);
    }
    std::fprintf(out, "upgsim demo: a map upgrade on a simulated navigation unit\n\n");
    std::fprintf(out, "  medium /DVD   map DVD with %s, and a POI delivery\n", offered.c_str());
    std::fprintf(out,
                 "  card   /SDH   maps %s installed, the driver's POIs for FRA; block size "
                 "%ld\n",
                 installed.c_str(), blockSize);
    std::fprintf(out, "  folder %s%s, built in %.1f s\n", work.c_str(),
                 temporary ? " (temporary; --keep DIR keeps one)" : "", buildSeconds);
    std::fprintf(out, "  clock  %d ticks per second (the unit runs 60; --tick-hz N)\n", tickHz);
    std::fprintf(out, "  script %s%s\n", scriptName.c_str(),
                 options.scriptPath.empty() ? " (the bundled examples/map_upgrade.c)" : "");
    std::fprintf(out, "\n--- %s ---\n", scriptName.c_str());
    std::fflush(out);
}

void printSummary(FILE *out, const std::string &work, bool temporary, const RunResult &result,
                  double seconds, unsigned long ticks, int tickHz, unsigned long listed,
                  const std::string &listingPath, const std::string &logPath) {
    std::string sd = work + "/sd";
    std::fprintf(out, "\nSummary\n");
    if (result.ran())
        std::fprintf(out,
                     "  script        ended with status %d after %.1f s (%lu ticks at %d Hz)\n",
                     result.status, seconds, ticks, tickHz);
    else
        std::fprintf(out, "  script        did not run\n");

    const char *label = "  maps          ";
    for (const SampleCountry &c : sampleCountries()) {
        std::string dir = sd + "/MAPPE/" + c.cid;
        std::string info = dir + "/CD_VER.NAV.INF";
        std::string now = readKey(info, "VERSION");
        std::string nowRelease = readKey(info, "RELEASE");
        std::string before = versionText(c.installedVersion, c.installedRelease);
        std::string mediaText = versionText(c.mediaVersion, c.mediaRelease);
        std::string nowText = now.empty() ? "-" : now + "." + nowRelease;
        TreeSize size = treeSize(dir);
        if (nowText == mediaText && before != mediaText) {
            std::fprintf(out, "%s%s %-12s %3s -> %s  installed in /SDH/MAPPE/%s/ (%lu files, %s)\n",
                         label, c.cid, c.name, before.c_str(), nowText.c_str(), c.cid, size.files,
                         megabytes(size.bytes).c_str());
        } else if (nowText == before && c.installedVersion >= 0) {
            std::fprintf(out, "%s%s %-12s %3s kept: the medium's %s is older\n", label, c.cid,
                         c.name, before.c_str(), mediaText.c_str());
        } else {
            std::fprintf(out, "%s%s %-12s %3s -> %s  NOT installed (version file: %s)\n", label,
                         c.cid, c.name, before.c_str(), mediaText.c_str(), nowText.c_str());
        }
        label = "                ";
    }

    label = "  POIs staged   ";
    std::error_code ec;
    std::vector<std::string> staged;
    for (fs::directory_iterator it(sd + "/MAPPE/POI_USER", ec), end; !ec && it != end;
         it.increment(ec))
        if (it->path().filename().string().compare(0, 5, "TEMP_") == 0)
            staged.push_back(it->path().filename().string());
    std::sort(staged.begin(), staged.end());
    for (const std::string &name : staged) {
        TreeSize size = treeSize(sd + "/MAPPE/POI_USER/" + name);
        std::string dates =
            "RST " + readKey(sd + "/MAPPE/POI_USER/" + name + "/poi_ver_RST.txt", "DATE") +
            ", FUEL " + readKey(sd + "/MAPPE/POI_USER/" + name + "/poi_ver_FUEL.txt", "DATE");
        std::fprintf(out, "%s/SDH/MAPPE/POI_USER/%s  %lu files (groups dated %s)\n", label,
                     name.c_str(), size.files, dates.c_str());
        label = "                ";
    }
    std::string poiVersion = readKey(sd + "/TEMP_POI_VER.POI", "VERSION");
    if (!poiVersion.empty())
        std::fprintf(out, "%s/SDH/TEMP_POI_VER.POI  POI version %s\n", label, poiVersion.c_str());
    if (staged.empty() && poiVersion.empty())
        std::fprintf(out, "%snone\n", label);

    std::vector<std::string> comments = unit::historyComments();
    for (const std::string &comment : comments)
        std::fprintf(out, "  history       \"%s\"\n", comment.c_str());
    std::fprintf(out, "  SD card       %s%s\n", sd.c_str(),
                 temporary ? " (removed now; --keep DIR keeps it)" : "");
    if (listed > 0 && temporary)
        std::fprintf(out, "  extracted     %lu files\n", listed);
    else if (listed > 0)
        std::fprintf(out, "  extracted     %lu files, listed in %s\n", listed, listingPath.c_str());
    std::fprintf(out, "  module log    %s\n", logPath.c_str());
}

} // namespace

DemoReport runDemo(const DemoOptions &options) {
    DemoReport report;
    FILE *out = options.out != nullptr ? options.out : stdout;

    // The work folder.
    bool temporary = options.workDir.empty();
    std::string work = options.workDir;
    std::error_code ec;
    if (temporary) {
        work = makeTempPath("upgsim-demo", true);
        if (work.empty()) {
            std::fprintf(stderr, "upgsim: demo: cannot create a temporary folder\n");
            return report;
        }
    } else if (fs::exists(work, ec) && !fs::is_empty(work, ec)) {
        std::fprintf(stderr, "upgsim: demo: '%s' is not empty; give a new or empty folder\n",
                     work.c_str());
        report.exitCode = 2;
        return report;
    } else {
        fs::create_directories(work, ec);
    }
    work = fs::absolute(work, ec).string();
    report.workDir = work;

    std::string error;
    auto buildStart = std::chrono::steady_clock::now();
    if (!buildSampleUnit(work, options.sample, error)) {
        std::fprintf(stderr, "upgsim: demo: %s\n", error.c_str());
        if (temporary)
            fs::remove_all(work, ec);
        return report;
    }

    // The module's log: its own file unless one was given.
    std::string logPath = options.logPath;
    if (logPath.empty())
        logPath = temporary ? makeTempPath("upgsim-demo", false, ".log") : work + "/upgsim-demo.log";
    if (logPath != "-" && !hostsim::logToFile(logPath))
        std::fprintf(stderr, "upgsim: demo: cannot write the log '%s'\n", logPath.c_str());
    report.logPath = logPath == "-" ? "standard error" : logPath;

    int tickHz = options.tickHz > 0 ? options.tickHz : k_demo_tick_hz;
    long blockSize = options.sdBlockSize > 0 ? options.sdBlockSize : k_demo_sd_block_size;
    hostsim::setTickRate(tickHz);
    hostsim::mountDevice("/DVD", work + "/media");
    hostsim::mountDevice("/SDH", work + "/sd", blockSize);
    hostsim::mountDevice("/F", work + "/flash");

    std::string script = options.scriptPath;
    if (script.empty()) {
        script = work + "/map_upgrade.c";
        const char *text = bundledText("map_upgrade.c");
        std::ofstream file(script, std::ios::trunc);
        file << (text != nullptr ? text : "");
    }
    std::string scriptName = fs::path(script).filename().string();
    double buildSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - buildStart).count();
    printBanner(out, options, work, temporary, buildSeconds, tickHz, blockSize, scriptName);

    RunResult result;
    unsigned long listed = 0;
    std::string listingPath = work + "/extracted.txt";
    auto started = std::chrono::steady_clock::now();
    ULONG ticksBefore = tickGet();
    if (C_BUILTINS::Instance() == nullptr) {
        result.messages.push_back("the module cannot start");
    } else {
        unit::setBargraphOnTerminal(options.progress);
        scripthost::ConsoleFilter filter(out == stdout ? nullptr : out, options.progress,
                                         listingPath);
        bool filtering = options.filterConsole && filter.start();
        result = runScript(script);
        val_t ignored;
        hostsim::callBuiltin("DeactivateBargraph", {}, &ignored);
        unit::setBargraphOnTerminal(false);
        filter.stop();
        if (filtering)
            listed = filter.listed();
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    unsigned long ticks = static_cast<unsigned long>(tickGet() - ticksBefore);
    std::fflush(stdout);
    std::fprintf(out, "--- end of %s ---\n", scriptName.c_str());
    for (const std::string &message : result.messages)
        std::fprintf(out, "%s%s", message.c_str(),
                     !message.empty() && message.back() == '\n' ? "" : "\n");

    printSummary(out, work, temporary, result, seconds, ticks, tickHz, listed, listingPath,
                 report.logPath);
    std::fflush(out);
    hostsim::waitAllTasks(10000);
    if (logPath != "-" && options.logPath.empty())
        hostsim::logToFile("");
    if (temporary) {
        hostsim::unmountAll();
        fs::remove_all(work, ec);
    }
    report.scriptStatus = result.ran() ? result.status : -1;
    report.exitCode = result.ran() && result.status == 0 ? 0 : 1;
    return report;
}

} // namespace demo
} // namespace scripthost
