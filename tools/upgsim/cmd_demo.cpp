// "upgsim demo": the simulator's main job. Builds a sample map medium and SD
// card in a temporary folder (or --keep DIR), runs the bundled map-upgrade
// script on them with the steps, the countries and live progress bars on the
// terminal, and ends with a summary and the path of the module's full log.
// Needs no argument and no network.
#include "tools/upgsim/upgsim.h"

#include "tools/scripthost/child.h"
#include "tools/scripthost/demo.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>

namespace {

struct DemoCommandOptions {
    std::string keep;
    std::string script;
    int mapMb = 48;
    int timeoutSeconds = -1; // -1: not given
};
DemoCommandOptions s_demoOptions;

void defineDemo(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("--keep", s_demoOptions.keep, "build the unit in DIR and keep it")
        ->type_name("DIR")
        ->check(upgsim::nonEmpty());
    sub.add_option("--script", s_demoOptions.script, "run script FILE instead of the bundled one")
        ->type_name("FILE")
        ->check(upgsim::nonEmpty());
    sub.add_option("--map-mb", s_demoOptions.mapMb, "MB of map data per country (1 to 1024)")
        ->type_name("N")
        ->check(CLI::Range(1, 1024).description(""))
        ->capture_default_str();
    sub.add_option("--timeout", s_demoOptions.timeoutSeconds,
                   "stop the demo after SECONDS (default " +
                       std::to_string(scripthost::k_default_timeout_seconds) + ", 0: none)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0, scripthost::k_max_timeout_seconds).description(""));
    upgsim::addJsonFlag(sub);
}

// "VERSION.RELEASE", or null for "-" (none).
upgsim::Json versionJson(const std::string &text) {
    return text == "-" ? upgsim::Json() : upgsim::Json(upgsim::jsonText(text));
}

upgsim::Json optionalText(const std::string &text) {
    return text.empty() ? upgsim::Json() : upgsim::Json(upgsim::jsonText(text));
}

// The summary's keys (docs/json.md).
void addSummary(upgsim::Json &out, const scripthost::demo::DemoSummary &s) {
    using Map = scripthost::demo::DemoSummary::Map;
    out["script"] = {{"ran", s.scriptRan},
                     {"status", s.scriptRan ? upgsim::Json(s.scriptStatus) : upgsim::Json()},
                     {"seconds", s.seconds},
                     {"ticks", s.ticks},
                     {"tick_hz", s.tickHz},
                     {"ending", optionalText(s.ending)}};
    upgsim::Json maps = upgsim::Json::array();
    for (const Map &m : s.maps)
        maps.push_back({{"cid", m.cid},
                        {"name", upgsim::jsonText(m.name)},
                        {"before", versionJson(m.before)},
                        {"medium", versionJson(m.medium)},
                        {"now", versionJson(m.now)},
                        {"state", m.state == Map::State::Installed ? "installed"
                                  : m.state == Map::State::Kept    ? "kept"
                                                                   : "not_installed"},
                        {"files", m.files},
                        {"bytes", m.bytes}});
    out["maps"] = maps;
    upgsim::Json pois = upgsim::Json::array();
    for (const auto &p : s.pois)
        pois.push_back(
            {{"folder", upgsim::jsonText(p.folder)},
             {"files", p.files},
             {"dates", {{"RST", optionalText(p.rstDate)}, {"FUEL", optionalText(p.fuelDate)}}}});
    out["pois_staged"] = pois;
    out["poi_version"] = optionalText(s.poiVersion);
    upgsim::Json history = upgsim::Json::array();
    for (const std::string &comment : s.history)
        history.push_back(upgsim::jsonText(comment));
    out["history"] = history;
    out["sd_card"] = upgsim::jsonText(s.sdCard);
    out["kept"] = s.kept;
    out["extracted"] = s.extracted;
    out["listing"] = optionalText(s.listingPath);
    out["log"] = upgsim::jsonText(s.logPath);
}

// Why the demo failed, from its exit status (the details are on standard
// error already).
std::string demoError(int code, const scripthost::demo::DemoReport &report) {
    if (report.summarized && report.summary.scriptRan) {
        if (report.summary.scriptStatus != 0)
            return "demo: the script ended with status " +
                   std::to_string(report.summary.scriptStatus);
        return "demo: the script ended with 0, but its output or the log could not be written";
    }
    switch (code) {
    case 2:
        return "demo: the --keep folder is not empty";
    case scripthost::k_exit_host_failure:
        return "demo: the sample unit could not be built or run";
    case scripthost::k_exit_not_compiled:
        return "demo: the script does not compile or cannot be read";
    case scripthost::k_exit_not_found:
        return "demo: the script does not exist";
    case scripthost::k_exit_timed_out:
        return "demo: stopped: still running after the timeout (--timeout)";
    default:
        break;
    }
    if (code > 128)
        return "demo: the script ended by signal " + std::to_string(code - 128) + " (" +
               scripthost::signalName(code - 128) + ")";
    return "demo: failed with status " + std::to_string(code);
}

int runDemoCommand(const upgsim::GlobalOptions &opts, CLI::App &) {
    scripthost::demo::DemoOptions options;
    options.workDir = s_demoOptions.keep;
    options.scriptPath = s_demoOptions.script;
    options.sample.mapBytes = static_cast<unsigned long>(s_demoOptions.mapMb) << 20;
    if (!opts.media.empty() || !opts.sd.empty())
        std::fprintf(stderr, "upgsim: demo: builds its own medium and card; --media and --sd "
                             "are not used (upgsim --media DIR --sd DIR run SCRIPT uses them)\n");

    options.tickHz = opts.effectiveTickHz();
    options.sdBlockSize = opts.sdBlockSize;
    options.progress = opts.progressOnTerminal();
    options.logPath = opts.log;
    options.timeoutSeconds = s_demoOptions.timeoutSeconds;
    // Under --json the demo's text goes to standard error, the JSON alone to
    // standard output.
    if (upgsim::jsonOutput())
        options.out = stderr;
    scripthost::demo::DemoReport report = scripthost::demo::runDemo(options);
    // A failure ends with one line that says what failed, the text of the
    // JSON's "error".
    const std::string error =
        report.exitCode != 0 ? demoError(report.exitCode, report) : std::string();
    if (!error.empty())
        upgsim::failure(error, report.exitCode);
    if (upgsim::jsonOutput()) {
        upgsim::Json out = upgsim::Json::object();
        if (report.exitCode != 0)
            out = {{"error", upgsim::jsonText(error)}, {"code", report.exitCode}};
        if (report.summarized)
            addSummary(out, report.summary);
        upgsim::printJson(out);
    }
    return report.exitCode;
}

const upgsim::Registrar k_demo_command({
    "demo",
    "the main job: a map upgrade on a sample unit",
    defineDemo,
    runDemoCommand,
});

} // namespace
