// "upgsim sweep": a power cut at every state-changing operation of an upgrade
// script. Runs the script once on a copy of the card to count its operations
// and keep the clean final card, then for each cut point on a fresh copy:
// cuts the run there, checks what the card claims, runs the script again and
// compares the card it leaves with the clean one. The --sd folder is only
// read. The work is in tools/sweep; this file is the command line.
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"
#include "tools/hostkit/scratch.h"
#include "tools/sweep/sweep.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct SweepCommandOptions {
    unsigned sample = 0;
    bool acceptSample = false;
    std::string cut;   // "K" or "K1,K2"
    std::string shard; // "I/N"
    std::vector<std::string> merge;
    bool fromFinal = false;
    bool reduce = false;
    unsigned secondCuts = 1;
    bool lostWrites = false;
    unsigned seed = 1;
    bool doubleCut = false;
    int timeoutSeconds = -1; // -1: not given
    unsigned jobs = 0;
    std::string scratch;
};
SweepCommandOptions s_sweepOptions;

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
    sub.add_option("--sample", s_sweepOptions.sample, "M cuts stratified over the phases (no proof)")
        ->type_name("M")
        ->check(CLI::Range(1u, 1000000u).description(""));
    sub.add_flag("--accept-sample", s_sweepOptions.acceptSample,
                 "a part that finds nothing ends with 0");
    sub.add_option("--cut", s_sweepOptions.cut, "play one cut point: K, or K1,K2")->type_name("K[,K2]");
    sub.add_option("--shard", s_sweepOptions.shard, "every N-th cut point from the I-th")
        ->type_name("I/N");
    sub.add_option("--merge", s_sweepOptions.merge, "merge the shards' JSON reports")
        ->type_name("FILE...")
        ->expected(1, 1 << 16);
    sub.add_flag("--from-final", s_sweepOptions.fromFinal, "start from the card a clean run leaves");
    sub.add_flag("--reduce", s_sweepOptions.reduce, "sweep a reduced copy of --media");
    sub.add_option("--second-cuts", s_sweepOptions.secondCuts, "--double: second cuts per cut")
        ->type_name("M")
        ->check(CLI::Range(1u, 10000u).description(""));
    sub.add_flag("--lost-writes", s_sweepOptions.lostWrites, "a cut also loses data not yet synced");
    sub.add_option("--seed", s_sweepOptions.seed, "seed of the lost writes and second cuts")
        ->type_name("N")
        ->capture_default_str();
    sub.add_flag("--double", s_sweepOptions.doubleCut, "a second cut during each re-run");
    sub.add_option("--timeout", s_sweepOptions.timeoutSeconds, "stop a run after SECONDS (0: none)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0, 1000000).description(""));
    sub.add_option("-j,--jobs", s_sweepOptions.jobs, "runs at a time (default: every core)")
        ->type_name("N")
        ->check(CLI::Range(1u, 1024u).description(""));
    sub.add_option("--scratch-dir", s_sweepOptions.scratch,
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
               "Cut points: k = 1..N (before operation k) and N + 1 (after the last);\n"
               "--double adds for each one --second-cuts M cuts of the re-run, named in\n"
               "the report so that --cut K1,K2 replays one. --sample, --cut and --shard\n"
               "play part of the cut points: no proof. --reduce first shows the cost of\n"
               "the full medium's sweep, then sweeps a reduced copy of it.\n"
               "Exit status: 0 every cut point converged with no false claim (a shard,\n"
               "or a part with --accept-sample: no fault in the cuts played), 1 a fault\n"
               "(or the clean run failed), 2 usage error, 3 a part found nothing: no\n"
               "proof, 128+N interrupted by signal N.\n");
}

// "K" or "K1,K2" (K at least 1, K2 at least 1).
bool parseCut(const std::string &text, sweep::CutPoint &point) {
    char *end = nullptr;
    errno = 0;
    point.k = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || point.k == 0 || text[0] == '-')
        return false;
    if (*end == '\0')
        return true;
    if (*end != ',' || end[1] == '-')
        return false;
    const char *second = end + 1;
    point.second = std::strtoull(second, &end, 10);
    return errno == 0 && end != second && *end == '\0' && point.second > 0;
}

// "I/N", 1 <= I <= N.
bool parseShard(const std::string &text, unsigned &index, unsigned &count) {
    unsigned long i = 0, n = 0;
    char slash = 0, extra = 0;
    if (std::sscanf(text.c_str(), "%lu%c%lu%c", &i, &slash, &n, &extra) != 3 || slash != '/' ||
        text[0] == '-' || text.find('-') != std::string::npos)
        return false;
    if (n == 0 || i == 0 || i > n || n > 100000)
        return false;
    index = static_cast<unsigned>(i);
    count = static_cast<unsigned>(n);
    return true;
}

void printReport(const sweep::SweepReport &report) {
    if (upgsim::jsonOutput())
        upgsim::printJson(
            nlohmann::ordered_json::parse(sweep::renderJson(report, upgsim::jsonText)));
    else
        std::fputs(sweep::renderText(report).c_str(), stdout);
}

int mergeCommand() {
    std::vector<std::string> texts;
    for (const std::string &path : s_sweepOptions.merge) {
        std::ifstream in(path, std::ios::binary);
        if (!in)
            return upgsim::usageError("sweep --merge: " + path + ": cannot be read");
        std::ostringstream text;
        text << in.rdbuf();
        texts.push_back(text.str());
    }
    sweep::SweepReport merged;
    std::string error;
    if (!sweep::mergeShards(texts, merged, error))
        return upgsim::failure("sweep --merge: " + error);
    printReport(merged);
    return merged.exitStatus();
}

// The cost of the sweep before it starts, on standard error: N, the cut
// points, and the CPU time a whole sweep of them takes.
void tellCost(const sweep::SweepReport &r, const char *what) {
    const uint64_t points = r.operations + 1;
    std::fprintf(stderr,
                 "sweep: %s: N = %llu operations, %llu cut points; the clean run took %.2f s, "
                 "a whole sweep about %s of CPU time\n",
                 what, static_cast<unsigned long long>(r.operations),
                 static_cast<unsigned long long>(points), r.cleanSeconds,
                 sweep::durationText(sweep::estimatedCpuSeconds(r, points)).c_str());
}

int runSweepCommand(const upgsim::GlobalOptions &opts, CLI::App &sub) {
    if (!s_sweepOptions.merge.empty())
        return mergeCommand();
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

    sweep::CutPoint only;
    if (!s_sweepOptions.cut.empty() && !parseCut(s_sweepOptions.cut, only))
        return upgsim::usageError("sweep --cut " + s_sweepOptions.cut + ": give K or K1,K2 (K >= 1)");
    unsigned shardIndex = 0, shardCount = 0;
    if (!s_sweepOptions.shard.empty() && !parseShard(s_sweepOptions.shard, shardIndex, shardCount))
        return upgsim::usageError("sweep --shard " + s_sweepOptions.shard +
                                  ": give I/N with 1 <= I <= N");
    if (s_sweepOptions.reduce && opts.media.empty())
        return upgsim::usageError("sweep --reduce needs --media DIR (the medium to reduce)");
    if (only.second > 0 && !s_sweepOptions.doubleCut)
        s_sweepOptions.doubleCut = true; // K1,K2 replays a second cut

    if (opts.tickHz == 0)
        hostsim::setTickRate(k_sweep_tick_hz);
    sweep::SweepOptions options;
    options.script = script;
    options.args.assign(rest.begin() + 1, rest.end());
    options.sdDir = opts.sd;
    options.sdBlockSize = opts.sdBlockSize;
    options.scratchParent = s_sweepOptions.scratch;
    options.sample = s_sweepOptions.sample;
    options.lostWrites = s_sweepOptions.lostWrites;
    options.seed = s_sweepOptions.seed;
    options.doubleCut = s_sweepOptions.doubleCut;
    options.secondCuts = s_sweepOptions.secondCuts;
    options.acceptSample = s_sweepOptions.acceptSample;
    options.fromFinal = s_sweepOptions.fromFinal;
    if (only.k > 0)
        options.only.push_back(only);
    options.shardIndex = shardIndex;
    options.shardCount = shardCount;
    options.mediaDir = opts.media;
    options.mediumNote = opts.media.empty() ? std::string() : "the medium as given";
    // Not given: the sweep's own defaults (0); 0: no limit (-1).
    options.timeoutSeconds = s_sweepOptions.timeoutSeconds < 0    ? 0
                             : s_sweepOptions.timeoutSeconds == 0 ? -1
                                                             : s_sweepOptions.timeoutSeconds;
    options.jobs = s_sweepOptions.jobs > 0 ? s_sweepOptions.jobs : everyCore();
    options.logPath = opts.log == "-" ? std::string() : opts.log;
    // The clean run's log is written by the sweep itself.
    hostsim::logToFile("");

    // --reduce: the full medium's cost first (one clean run), then a
    // reduced copy of it in a scratch folder, mounted as the medium.
    std::unique_ptr<hostkit::Scratch> reduced;
    sweep::SweepReport full;
    if (s_sweepOptions.reduce) {
        sweep::SweepOptions estimate = options;
        estimate.estimateOnly = true;
        estimate.logPath.clear();
        full = sweep::runSweep(estimate);
        if (full.interruptSignal != 0)
            return upgsim::failure("sweep: interrupted by " +
                                       std::string(strsignal(full.interruptSignal)),
                                   128 + full.interruptSignal);
        if (!full.error.empty())
            return upgsim::failure("sweep: " + full.error);
        tellCost(full, "the full medium");
        reduced.reset(new hostkit::Scratch(s_sweepOptions.scratch, "upgsim-reduced"));
        if (reduced->path().empty())
            return upgsim::failure("sweep: cannot create a scratch folder in " + reduced->parent() +
                                   ": " + std::strerror(reduced->error()));
        sweep::ReduceSummary summary;
        std::string error;
        const std::string medium = reduced->path() + "/media";
        if (!sweep::reduceMedium(opts.media, medium, sweep::k_reduce_files_per_folder, summary,
                                 error))
            return upgsim::failure("sweep --reduce: " + error);
        hostsim::mountDevice("/DVD", medium);
        options.mediaDir = medium;
        options.mediumNote = summary.text();
    }
    options.planned = [&](const sweep::SweepReport &r) {
        tellCost(r, s_sweepOptions.reduce ? "the reduced medium" : "this sweep");
    };

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
    if (s_sweepOptions.reduce) {
        report.fullOperations = full.operations;
        report.fullCleanSeconds = full.cleanSeconds;
        report.fullCpuSeconds = sweep::estimatedCpuSeconds(full, full.operations + 1);
    }
    printReport(report);
    return report.exitStatus();
}

const upgsim::Registrar k_sweep_command({
    "sweep",
    "cut the power at every operation of a script",
    defineSweep,
    runSweepCommand,
});

} // namespace
