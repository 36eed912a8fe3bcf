// The demo's run: in a child process, builds the sample unit, mounts it,
// starts the module and runs the map-upgrade script with the bargraph on the
// terminal; the parent relays the child's lines (the module's extraction
// listing into a file), then prints what the SD card now holds, and removes
// its temporary folder also when interrupted.
#include "tools/scripthost/child.h"
#include "tools/scripthost/demo.h"
#include "tools/scripthost/scripthost.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "platform/vxworks.h"
#include "tools/hostkit/scratch.h"
#include "unit/history.h"
#include "unit/hmi.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
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

// "VERSION.RELEASE" of a text pair, compared as numbers: <0, 0, >0.
int compareVersions(int version, int release, const std::string &otherVersion,
                    const std::string &otherRelease) {
    const long v = std::strtol(otherVersion.c_str(), nullptr, 10);
    const long r = std::strtol(otherRelease.c_str(), nullptr, 10);
    if (version != v)
        return version < v ? -1 : 1;
    if (release != r)
        return release < r ? -1 : 1;
    return 0;
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
                 "  card   /SDH   maps %s installed, the driver's POIs for FRA;\n"
                 "                block size %ld\n",
                 installed.c_str(), blockSize);
    std::fprintf(out, "  folder %s%s, built in %.1f s\n", work.c_str(),
                 temporary ? " (temporary; --keep DIR keeps one)" : "", buildSeconds);
    std::fprintf(out, "  clock  %d ticks per second (the unit runs 60; --tick-hz N)\n", tickHz);
    std::fprintf(out, "  script %s%s\n", scriptName.c_str(),
                 options.scriptPath.empty() ? " (the bundled examples/map_upgrade.c)" : "");
    std::fprintf(out, "\n--- %s ---\n", scriptName.c_str());
    std::fflush(out);
}

// What the child reported of the script's run.
struct ScriptReport {
    bool ran = false;
    int status = -1;
    unsigned long ticks = 0;
    double seconds = 0;
    std::vector<std::string> history;
};

ScriptReport readReport(const std::string &report) {
    ScriptReport r;
    std::vector<std::string> status = reportValues(report, "status");
    if (!status.empty()) {
        r.ran = true;
        r.status = std::atoi(status.back().c_str());
    }
    std::vector<std::string> ticks = reportValues(report, "ticks");
    if (!ticks.empty())
        r.ticks = std::strtoul(ticks.back().c_str(), nullptr, 10);
    std::vector<std::string> seconds = reportValues(report, "seconds");
    if (!seconds.empty())
        r.seconds = std::strtod(seconds.back().c_str(), nullptr);
    r.history = reportValues(report, "history");
    return r;
}

// The summary, from what the SD card holds now and what the child reported.
DemoSummary readSummary(const std::string &work, bool temporary, const ScriptReport &run,
                        const std::string &ending, int tickHz, unsigned long listed,
                        const std::string &listingPath, const std::string &logPath) {
    DemoSummary summary;
    const std::string sd = work + "/sd";
    summary.scriptRan = run.ran;
    summary.scriptStatus = run.status;
    summary.seconds = run.seconds;
    summary.ticks = run.ticks;
    summary.tickHz = tickHz;
    summary.ending = run.ran ? std::string() : ending;
    for (const SampleCountry &c : sampleCountries()) {
        DemoSummary::Map map;
        map.cid = c.cid;
        map.name = c.name;
        std::string dir = sd + "/MAPPE/" + c.cid;
        std::string info = dir + "/CD_VER.NAV.INF";
        std::string now = readKey(info, "VERSION");
        std::string nowRelease = readKey(info, "RELEASE");
        map.before = versionText(c.installedVersion, c.installedRelease);
        map.medium = versionText(c.mediaVersion, c.mediaRelease);
        map.now = now.empty() ? "-" : now + "." + nowRelease;
        if (map.now == map.medium && map.before != map.medium) {
            map.state = DemoSummary::Map::State::Installed;
            TreeSize size = treeSize(dir);
            map.files = size.files;
            map.bytes = size.bytes;
        } else if (!now.empty() &&
                   compareVersions(c.mediaVersion, c.mediaRelease, now, nowRelease) < 0) {
            map.state = DemoSummary::Map::State::Kept;
        }
        summary.maps.push_back(map);
    }

    std::error_code ec;
    std::vector<std::string> staged;
    for (fs::directory_iterator it(sd + "/MAPPE/POI_USER", ec), end; !ec && it != end;
         it.increment(ec))
        if (it->path().filename().string().compare(0, 5, "TEMP_") == 0)
            staged.push_back(it->path().filename().string());
    std::sort(staged.begin(), staged.end());
    for (const std::string &name : staged) {
        const std::string dir = sd + "/MAPPE/POI_USER/" + name;
        DemoSummary::StagedPois pois;
        pois.folder = "/SDH/MAPPE/POI_USER/" + name;
        pois.files = treeSize(dir).files;
        pois.rstDate = readKey(dir + "/poi_ver_RST.txt", "DATE");
        pois.fuelDate = readKey(dir + "/poi_ver_FUEL.txt", "DATE");
        summary.pois.push_back(pois);
    }
    summary.poiVersion = readKey(sd + "/TEMP_POI_VER.POI", "VERSION");
    summary.history = run.history;
    summary.sdCard = sd;
    summary.kept = !temporary;
    summary.extracted = listed;
    if (listed > 0 && !temporary)
        summary.listingPath = listingPath;
    summary.logPath = logPath;
    return summary;
}

void printSummary(FILE *out, const DemoSummary &summary, const std::string &work) {
    const bool temporary = !summary.kept;
    std::fprintf(out, "\nSummary\n");
    if (summary.scriptRan)
        std::fprintf(out,
                     "  script        ended with status %d after %.1f s (%lu ticks at %d Hz)\n",
                     summary.scriptStatus, summary.seconds, summary.ticks, summary.tickHz);
    else
        std::fprintf(out, "  script        %s\n", summary.ending.c_str());

    const char *label = "  maps          ";
    for (const DemoSummary::Map &m : summary.maps) {
        switch (m.state) {
        case DemoSummary::Map::State::Installed:
            // The folder is the card's MAPPE/<cid>/: the line stays within
            // 80 columns without it.
            std::fprintf(out, "%s%s %-12s %3s -> %s  installed (%lu files, %s)\n", label,
                         m.cid.c_str(), m.name.c_str(), m.before.c_str(), m.now.c_str(), m.files,
                         megabytes(m.bytes).c_str());
            break;
        case DemoSummary::Map::State::Kept:
            std::fprintf(out, "%s%s %-12s %3s kept: the medium's %s is older\n", label,
                         m.cid.c_str(), m.name.c_str(), m.now.c_str(), m.medium.c_str());
            break;
        case DemoSummary::Map::State::NotInstalled:
            std::fprintf(out, "%s%s %-12s %3s    NOT installed: the medium's %s\n", label,
                         m.cid.c_str(), m.name.c_str(), m.now.c_str(), m.medium.c_str());
            break;
        }
        label = "                ";
    }

    label = "  POIs staged   ";
    for (const DemoSummary::StagedPois &p : summary.pois) {
        // Paths relative to the card (the "SD card" line below), dates of
        // the RST and FUEL groups: within 80 columns.
        std::string folder = p.folder;
        if (folder.compare(0, 5, "/SDH/") == 0)
            folder.erase(0, 5);
        std::fprintf(out, "%s%s  %lu files (RST %s, FUEL %s)\n", label, folder.c_str(), p.files,
                     p.rstDate.c_str(), p.fuelDate.c_str());
        label = "                ";
    }
    if (!summary.poiVersion.empty())
        std::fprintf(out, "%sTEMP_POI_VER.POI  POI version %s\n", label,
                     summary.poiVersion.c_str());
    if (summary.pois.empty() && summary.poiVersion.empty())
        std::fprintf(out, "%snone\n", label);

    for (const std::string &comment : summary.history)
        std::fprintf(out, "  history       \"%s\"\n", comment.c_str());
    std::fprintf(out, "  SD card       %s%s\n", summary.sdCard.c_str(),
                 temporary ? " (removed now; --keep DIR keeps it)" : "");
    if (summary.extracted > 0 && temporary)
        std::fprintf(out, "  extracted     %lu files\n", summary.extracted);
    else if (summary.extracted > 0)
        std::fprintf(out, "  extracted     %lu files, listed in %s\n", summary.extracted,
                     summary.listingPath.c_str());
    std::fprintf(out, "  module log    %s%s\n", summary.logPath.c_str(),
                 temporary && summary.logPath.compare(0, work.size(), work) == 0 ? " (removed now)"
                                                                                 : "");
}

// The child's side: builds the unit, runs the script, reports. Returns the
// child's exit status.
int runDemoChild(const DemoOptions &options, const std::string &work, bool temporary,
                 const std::string &logPath, int reportFd) {
    std::string error;
    auto buildStart = std::chrono::steady_clock::now();
    if (!buildSampleUnit(work, options.sample, error)) {
        std::fprintf(stderr, "upgsim: demo: %s\n", error.c_str());
        return k_exit_host_failure;
    }
    if (logPath != "-" && !hostsim::logToFile(logPath)) {
        std::fprintf(stderr, "upgsim: demo: --log %s: cannot open: %s\n", logPath.c_str(),
                     std::strerror(errno));
        return k_exit_host_failure;
    }

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
        file.close();
        if (!file) {
            std::fprintf(stderr, "upgsim: demo: cannot write %s\n", script.c_str());
            return k_exit_host_failure;
        }
    }
    std::string scriptName = fs::path(script).filename().string();
    double buildSeconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - buildStart).count();
    printBanner(stdout, options, work, temporary, buildSeconds, tickHz, blockSize, scriptName);

    auto started = std::chrono::steady_clock::now();
    int status = runScriptHere(script, RunOptions(), options.progress, reportFd);
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("--- end of %s ---\n", scriptName.c_str());
    dprintf(reportFd, "seconds %.1f\n", seconds);
    for (const std::string &comment : unit::historyComments())
        dprintf(reportFd, "history %s\n", comment.c_str());
    return status;
}

} // namespace

DemoReport runDemo(const DemoOptions &options) {
    DemoReport report;
    FILE *out = options.out != nullptr ? options.out : stdout;

    // A script that cannot be read is said before anything is built.
    if (!options.scriptPath.empty()) {
        std::error_code fileError;
        if (!fs::exists(options.scriptPath, fileError)) {
            std::fprintf(stderr, "upgsim: demo: --script %s: no such file\n",
                         options.scriptPath.c_str());
            report.exitCode = k_exit_not_found;
            return report;
        }
        if (!fs::is_regular_file(options.scriptPath, fileError) ||
            access(options.scriptPath.c_str(), R_OK) != 0) {
            std::fprintf(stderr, "upgsim: demo: --script %s is not a readable file\n",
                         options.scriptPath.c_str());
            report.exitCode = k_exit_not_compiled;
            return report;
        }
    }

    // The work folder.
    bool temporary = options.workDir.empty();
    std::string work = options.workDir;
    std::error_code ec;
    std::unique_ptr<hostkit::Scratch> scratch; // marked, removed however the demo ends
    if (temporary) {
        scratch.reset(new hostkit::Scratch("", "upgsim-demo"));
        work = scratch->path();
        if (work.empty()) {
            std::fprintf(stderr, "upgsim: demo: cannot create a temporary folder\n");
            report.exitCode = k_exit_host_failure;
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

    // The module's log: inside the work folder unless one was given.
    std::string logPath = options.logPath.empty() ? work + "/upgsim-demo.log" : options.logPath;
    report.logPath = logPath == "-" ? "standard error" : logPath;
    std::string scriptPath = options.scriptPath;
    if (!scriptPath.empty())
        scriptPath = fs::absolute(scriptPath, ec).string();
    DemoOptions childOptions = options;
    childOptions.scriptPath = scriptPath;

    ChildOptions relay;
    relay.out = out;
    relay.listingPath = work + "/extracted.txt";
    relay.timeoutSeconds =
        options.timeoutSeconds >= 0 ? options.timeoutSeconds : defaultTimeoutSeconds();
    ChildEnd end = runInChild(
        [&](int reportFd) {
            return runDemoChild(childOptions, work, temporary, logPath, reportFd);
        },
        relay);
    report.exitCode = exitStatusOf(end, relay.timeoutSeconds);
    ScriptReport run = readReport(end.report);
    report.scriptStatus = run.ran ? run.status : -1;

    if (end.how != ChildEnd::How::Interrupted) {
        std::string ending = "did not run";
        if (end.how == ChildEnd::How::Signaled)
            ending =
                "ended by signal " + std::to_string(end.code) + " (" + signalName(end.code) + ")";
        else if (end.how == ChildEnd::How::TimedOut)
            ending = "stopped: still running after " + std::to_string(relay.timeoutSeconds) +
                     " s (--timeout)";
        else if (report.exitCode == k_exit_not_compiled)
            ending = "did not compile";
        int tickHz = options.tickHz > 0 ? options.tickHz : k_demo_tick_hz;
        report.summary = readSummary(work, temporary, run, ending, tickHz, end.listed,
                                     relay.listingPath, report.logPath);
        report.summarized = true;
        printSummary(out, report.summary, work);
        std::fflush(out);
    }
    if (temporary)
        fs::remove_all(work, ec);
    else if (end.listed == 0)
        fs::remove(relay.listingPath, ec);
    return report;
}

} // namespace demo
} // namespace scripthost
