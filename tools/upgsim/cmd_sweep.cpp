// "upgsim sweep": a power cut at every state-changing operation of an upgrade
// script. Runs the script once on a copy of the card to count its operations
// and keep the clean final card, then for each cut point on a fresh copy:
// cuts the run there, checks what the card claims, runs the script again and
// compares the card it leaves with the clean one. The --sd folder is only
// read. The work is in tools/sweep; this file is the command line.
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"
#include "tools/sweep/sweep.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct SweepCommandOptions {
    unsigned sample = 0;
    bool lostWrites = false;
    unsigned seed = 1;
    bool doubleCut = false;
    int timeoutSeconds = -1; // -1: not given
    unsigned jobs = 0;
    std::string scratch;
};
SweepCommandOptions s_options;

// Tick rate of the sweep when --tick-hz is not given: the module's pauses and
// bargraph steps are no part of what a cut shows, and hundreds of runs must
// pass quickly.
const int k_sweep_tick_hz = 100000;

unsigned everyCore() {
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    return n > 0 ? static_cast<unsigned>(n) : 1;
}

void defineSweep(CLI::App &sub, upgsim::GlobalOptions &opts) {
    // Everything from the script on belongs to the script.
    sub.fallthrough(false);
    sub.prefix_command();
    upgsim::addGlobalOptions(sub, opts);
    sub.add_option("--sample", s_options.sample, "cut at M points spread over the run")
        ->type_name("M")
        ->check(CLI::Range(1u, 1000000u).description(""));
    sub.add_flag("--lost-writes", s_options.lostWrites, "a cut also loses data not yet synced");
    sub.add_option("--seed", s_options.seed, "seed of the lost writes and second cuts")
        ->type_name("N")
        ->capture_default_str();
    sub.add_flag("--double", s_options.doubleCut, "a second cut during each re-run");
    sub.add_option("--timeout", s_options.timeoutSeconds, "stop a run after SECONDS (0: none)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0, 1000000).description(""));
    sub.add_option("-j,--jobs", s_options.jobs, "runs at a time (default: every core)")
        ->type_name("N")
        ->check(CLI::Range(1u, 1024u).description(""));
    sub.add_option("--scratch-dir", s_options.scratch,
                   "copies of the card go in DIR (default /dev/shm)")
        ->type_name("DIR")
        ->check(CLI::ExistingDirectory.description(""));
    upgsim::addJsonFlag(sub);
    sub.footer("SCRIPT.c [ARG...] follows the options. The script runs once on a copy of\n"
               "--sd (the clean run: N state-changing operations on the card); then for\n"
               "each k of 1..N (or --sample M of them) on a fresh copy the run is cut\n"
               "before operation k, what the card then claims is checked, the script runs\n"
               "again and the card it leaves is compared (names, sizes, SHA-256) with the\n"
               "clean run's. A claim (a country's CD_VER.NAV.INF, POI_VER.POI,\n"
               "TEMP_POI_VER.POI) is false when the files behind it match neither the\n"
               "card before the run nor the clean final card. --sd is never changed.\n"
               "Clock: 100000 ticks per second unless --tick-hz N. --timeout: per run\n"
               "(0: none); by default 600 s for the clean run ($UPGSIM_TIMEOUT sets\n"
               "another), ten times the clean run (at least 30 s) for the others.\n"
               "--log FILE keeps the clean run's log.\n"
               "Exit status: 0 every cut converged with no false claim, 1 otherwise (or\n"
               "the clean run failed), 2 usage error, 128+N interrupted by signal N.\n");
}

int runSweepCommand(const upgsim::GlobalOptions &opts, CLI::App &sub) {
    std::vector<std::string> rest = sub.remaining();
    if (!rest.empty() && rest.front() == "--")
        rest.erase(rest.begin());
    if (rest.empty())
        return upgsim::usageError("sweep needs SCRIPT.c (see upgsim sweep --help)");
    if (rest.front().compare(0, 1, "-") == 0)
        return upgsim::usageError("sweep: unknown option '" + rest.front() +
                                  "' (see upgsim sweep --help)");
    if (opts.sd.empty())
        return upgsim::usageError("sweep needs --sd DIR (the card; it is only read)");
    const std::string script = rest.front();
    struct stat st;
    if (::stat(script.c_str(), &st) != 0)
        return upgsim::usageError("sweep: " + script + ": " + std::strerror(errno));
    if (!S_ISREG(st.st_mode) || access(script.c_str(), R_OK) != 0)
        return upgsim::usageError("sweep: " + script + " is not a readable file");

    if (opts.tickHz == 0)
        hostsim::setTickRate(k_sweep_tick_hz);
    sweep::SweepOptions options;
    options.script = script;
    options.args.assign(rest.begin() + 1, rest.end());
    options.sdDir = opts.sd;
    options.sdBlockSize = opts.sdBlockSize;
    options.scratchParent = s_options.scratch;
    options.sample = s_options.sample;
    options.lostWrites = s_options.lostWrites;
    options.seed = s_options.seed;
    options.doubleCut = s_options.doubleCut;
    // Not given: the sweep's own defaults (0); 0: no limit (-1).
    options.timeoutSeconds = s_options.timeoutSeconds < 0    ? 0
                             : s_options.timeoutSeconds == 0 ? -1
                                                             : s_options.timeoutSeconds;
    options.jobs = s_options.jobs > 0 ? s_options.jobs : everyCore();
    options.logPath = opts.log == "-" ? std::string() : opts.log;
    // The clean run's log is written by the sweep itself.
    hostsim::logToFile("");

    const bool bar = opts.progressOnTerminal();
    const int width = 40;
    if (bar)
        options.progress = [&](unsigned done, unsigned total) {
            const int filled = total > 0 ? static_cast<int>(width * done / total) : width;
            std::fprintf(stderr, "\rsweep: [%s%s] %u/%u cuts", std::string(filled, '#').c_str(),
                         std::string(width - filled, ' ').c_str(), done, total);
            std::fflush(stderr);
        };
    sweep::SweepReport report = sweep::runSweep(options);
    if (bar && !report.cuts.empty())
        std::fputc('\n', stderr);

    if (report.interruptSignal != 0) {
        upgsim::failure("sweep: interrupted by " + std::string(strsignal(report.interruptSignal)),
                        128 + report.interruptSignal);
        return 128 + report.interruptSignal;
    }
    if (!report.error.empty() && report.cuts.empty())
        return upgsim::failure("sweep: " + report.error);
    if (upgsim::jsonOutput())
        upgsim::printJson(
            nlohmann::ordered_json::parse(sweep::renderJson(report, upgsim::jsonText)));
    else
        std::fputs(sweep::renderText(report).c_str(), stdout);
    return report.passed() ? upgsim::EXIT_OK : upgsim::EXIT_FAILURE_REPORTED;
}

const upgsim::Registrar k_sweep_command({
    "sweep",
    "cut the power at every operation of a script",
    defineSweep,
    runSweepCommand,
});

} // namespace
