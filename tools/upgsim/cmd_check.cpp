// upgsim check: checks a medium before it is burned (descriptors, countries
// per SD block size with the module's reasons, the upgrade script run on the
// card states that matter and what it leaves, every archive against the
// module's extractor, the POI delivery, the room on the card) and prints the
// report as text or JSON. Exit 0 without error, 1 with any, 2 on usage, 3
// when the host cannot check it (too little scratch room).
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"
#include "tools/mediacheck/mediacheck.h"
#include "tools/mediacheck/release_report.h"
#include "tools/scripthost/child.h"
#include "tools/sweep/sweep.h"

#include <CLI/CLI.hpp>

#include <csignal>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

struct CheckCommandOptions {
    std::vector<long> blockSizes;
    std::string script;         // --script FILE; empty: the bundled reference
    std::vector<unsigned> cuts; // --power-cuts [N]: N, or none for every operation
    CLI::Option *powerCuts = nullptr;
    int timeoutSeconds = -1; // -1: scripthost::defaultTimeoutSeconds()
    std::string report;      // --report FILE.md|FILE.html; empty: none
};
CheckCommandOptions s_checkOptions;

// Tick rate of check when --tick-hz is not given. The script runs wait out
// the module's pauses (the POI merge's three 500-tick pauses, the bargraph's
// polls) on every run and on every power cut's two runs; what the runs
// leave on the card does not depend on how long those waits are.
constexpr int k_check_tick_hz = 60000;

// A one-line bar on standard error: "[#####.....]  42%  MAPPE/FRA/FRA.tgz".
struct ProgressBar {
    int shown = -1;
    void draw(const std::string &archive, uint64_t done, uint64_t total) {
        int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
        if (percent > 100)
            percent = 100;
        if (percent == shown)
            return;
        shown = percent;
        std::string bar(static_cast<size_t>(percent / 5), '#');
        bar.resize(20, '.');
        std::fprintf(stderr, "\r[%s] %3d%%  %-50.50s", bar.c_str(), percent, archive.c_str());
        std::fflush(stderr);
    }
    void clear() {
        if (shown >= 0)
            std::fprintf(stderr, "\r\033[K");
    }
};

void defineCheck(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option_function<std::string>(
           "--block-sizes",
           [](const std::string &text) {
               const std::string problem = upgsim::parseBlockSizes(text, s_checkOptions.blockSizes);
               if (!problem.empty())
                   throw CLI::ValidationError("--block-sizes", problem);
           },
           "SD block sizes to check the countries at\n"
           "(default 512,4096,8192,16384,32768)")
        ->type_name("LIST");
    sub.add_option("--script", s_checkOptions.script,
                   "upgrade script to run on the card states (default: the\n"
                   "bundled map_upgrade.c, or single_country.c for a CD);\n"
                   "runs at 60000 ticks per second unless --tick-hz")
        ->type_name("FILE")
        ->check(CLI::ExistingFile.description(""));
    s_checkOptions.powerCuts = sub.add_option("--power-cuts", s_checkOptions.cuts,
                                         "also cut power during each run: N cuts spread evenly\n"
                                         "(default: at every operation)")
                              ->type_name("[N]")
                              ->expected(0, 1)
                              ->check(CLI::Range(1u, 1000000u).description(""));
    sub.add_option("--timeout", s_checkOptions.timeoutSeconds,
                   "stop each script run after SECONDS (0: none)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0, scripthost::k_max_timeout_seconds).description(""));
    sub.add_option("--report", s_checkOptions.report,
                   "also write a release report: FILE.md (Markdown tables)\n"
                   "or FILE.html (one self-contained page)")
        ->type_name("FILE");
    upgsim::addJsonFlag(sub);
}

// The cuts played, in cut-point order, as spans of consecutive cuts after
// which the card claimed the same.
std::vector<mediacheck::CutSpan> claimSpans(const std::vector<sweep::CutResult> &cuts) {
    std::vector<mediacheck::CutSpan> spans;
    for (const sweep::CutResult &c : cuts) {
        const std::string text = sweep::claimsAfter(c);
        bool falseClaim = false;
        if (c.error.empty())
            for (const sweep::ClaimCheck &check : c.claims)
                falseClaim = falseClaim || !check.holds;
        if (!spans.empty() && spans.back().claims == text &&
            spans.back().falseClaim == falseClaim) {
            spans.back().to = c.k;
            ++spans.back().cuts;
            continue;
        }
        mediacheck::CutSpan span;
        span.from = span.to = c.k;
        span.cuts = 1;
        span.claims = text;
        span.falseClaim = falseClaim;
        spans.push_back(span);
    }
    return spans;
}

// Empty when `path`'s folder exists, else why the report cannot go there.
std::string reportFolderProblem(const std::string &path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path folder = fs::path(path).parent_path();
    if (folder.empty() || fs::is_directory(folder, ec))
        return std::string();
    return path + ": " + folder.string() + " is no folder";
}

// One sweep of a script run for --power-cuts: every false claim and every
// cut that does not converge, as one line each (the first cuts named).
mediacheck::CutVerdict sweepRun(const mediacheck::CutRequest &request) {
    sweep::SweepOptions o;
    o.script = request.script;
    o.sdDir = request.card;
    o.sdBlockSize = request.blockSize;
    o.sample = request.sample;
    o.jobs = 2;
    const sweep::SweepReport r = sweep::runSweep(o);
    // Interrupted: the check ends as the signal says.
    if (r.interruptSignal != 0)
        std::raise(r.interruptSignal);
    mediacheck::CutVerdict v;
    v.error = r.error;
    v.cuts = static_cast<unsigned>(r.cuts.size());
    v.operations = r.operations;
    v.spans = claimSpans(r.cuts);
    for (mediacheck::CutSpan &span : v.spans)
        span.place = sweep::placeText(r, span.from, span.to);
    // Cuts of one finding, in cut order: consecutive cuts that say the same
    // (claim, place) are one range ("k 7-9 (ESP 6.1, during UnCompress ...)").
    struct Ranges {
        std::vector<std::string> items;
        size_t cuts = 0;
        uint64_t from = 0, to = 0;
        std::string text;
        void add(uint64_t k, const std::string &what) {
            ++cuts;
            if (!items.empty() && what == text) {
                to = k;
                items.back() =
                    "k " + std::to_string(from) + "-" + std::to_string(to) + " (" + text + ")";
                return;
            }
            from = to = k;
            text = what;
            items.push_back("k " + std::to_string(k) + " (" + what + ")");
        }
        // The first three ranges, and how many more.
        std::string some() const {
            std::string out;
            for (size_t i = 0; i < items.size() && i < 3; ++i)
                out += (i == 0 ? "" : ", ") + items[i];
            if (items.size() > 3)
                out += " and " + std::to_string(items.size() - 3) + " more";
            return out;
        }
    };
    Ranges falseAt, divergedAt, outsideAt;
    for (const sweep::CutResult &c : r.cuts) {
        if (!c.error.empty()) {
            v.problems.push_back("the cut at operation " + std::to_string(c.k) +
                                 " could not be played: " + c.error);
            continue;
        }
        std::string claim;
        for (const sweep::ClaimCheck &check : c.claims)
            if (!check.holds && claim.empty())
                claim = sweep::claimText(check.claim);
        // Each cut named by k and where it lies in the script: the builtin
        // call and, where known, the script's file and line.
        const std::string place = sweep::placeText(r, c.k, c.k);
        auto with = [&place](const std::string &what) {
            return what.empty() ? place : place.empty() ? what : what + ", " + place;
        };
        if (!claim.empty())
            falseAt.add(c.k, with(claim));
        if (!c.converged)
            divergedAt.add(c.k, with(c.rerunOk ? std::string() : "re-run " + c.rerunFailure));
        if (!c.changedOutside.empty())
            outsideAt.add(c.k, with(c.changedOutside.front()));
    }
    const std::string of = " of " + std::to_string(r.cuts.size()) + " cuts";
    if (falseAt.cuts > 0)
        v.problems.push_back(std::to_string(falseAt.cuts) + of +
                             " leave a card that claims what its files do not hold: at " +
                             falseAt.some());
    if (divergedAt.cuts > 0)
        v.problems.push_back(std::to_string(divergedAt.cuts) + of +
                             " do not converge: the run after the cut leaves another card "
                             "than the uncut run, at " +
                             divergedAt.some());
    if (outsideAt.cuts > 0)
        v.problems.push_back(std::to_string(outsideAt.cuts) + of +
                             " change paths the uncut run never touches, at " + outsideAt.some());
    return v;
}

int runCheck(const upgsim::GlobalOptions &opts, CLI::App &) {
    if (opts.media.empty())
        return upgsim::usageError("check needs --media DIR");
    const std::string &reportFile = s_checkOptions.report;
    const mediacheck::ReportFormat format = mediacheck::reportFormatOf(reportFile);
    if (!reportFile.empty() && format == mediacheck::ReportFormat::Unknown)
        return upgsim::usageError("check: --report " + reportFile +
                                  ": the report's name ends with .md (Markdown) or .html (HTML)");
    // A report that cannot be written is said before the check's long work.
    if (!reportFile.empty()) {
        const std::string problem = reportFolderProblem(reportFile);
        if (!problem.empty())
            return upgsim::failure("check: cannot write the report " + problem,
                                   upgsim::EXIT_HOST_ERROR);
    }
    mediacheck::CheckOptions options;
    if (!s_checkOptions.blockSizes.empty())
        options.blockSizes = s_checkOptions.blockSizes;
    if (opts.sdCapacity >= 0)
        options.sdCapacity = opts.sdCapacity;
    options.mediaDir = opts.media;
    options.sdDir = opts.sd;
    if (opts.tickHz <= 0)
        hostsim::setTickRate(k_check_tick_hz);
    options.runScript = true;
    options.script = s_checkOptions.script;
    options.scriptTimeout = s_checkOptions.timeoutSeconds >= 0 ? s_checkOptions.timeoutSeconds
                                                          : scripthost::defaultTimeoutSeconds();
    if (s_checkOptions.powerCuts != nullptr && s_checkOptions.powerCuts->count() > 0) {
        options.powerCuts = true;
        options.cutSample = s_checkOptions.cuts.empty() ? 0 : s_checkOptions.cuts.front();
        options.sweeper = sweepRun;
    }
    ProgressBar bar;
    if (opts.progressOnTerminal())
        options.progress = [&bar](const std::string &a, uint64_t done, uint64_t total) {
            bar.draw(a, done, total);
        };

    mediacheck::CheckReport report;
    int rc = mediacheck::runMediaCheck(options, report);
    bar.clear();
    if (rc == 2) {
        const mediacheck::Finding &why = report.findings.front();
        // Some refusals name no path: no empty field then.
        return upgsim::usageError("check: " + (why.path.empty() ? "" : why.path + ": ") +
                                  why.message);
    }
    // The host could not check the medium: no verdict on it.
    if (rc == 3)
        return upgsim::failure("check: " + report.hostError, upgsim::EXIT_HOST_ERROR);
    // The report file first: when it cannot be written the command fails
    // as the host's error, with no verdict printed that a caller could take
    // for the whole result.
    if (!reportFile.empty()) {
        mediacheck::ReleaseInfo info;
        info.version = upgsim::versionText();
        info.filesComplete = mediacheck::listMediumFiles(opts.media, info.files);
        info.cardGiven = !opts.sd.empty();
        const std::string text = format == mediacheck::ReportFormat::Html
                                     ? mediacheck::renderHtml(report, info)
                                     : mediacheck::renderMarkdown(report, info);
        const std::string problem = upgsim::writeFileReplacing(reportFile, text);
        if (!problem.empty())
            return upgsim::failure("check: cannot write the report " + problem,
                                   upgsim::EXIT_HOST_ERROR);
    }
    if (upgsim::jsonOutput())
        upgsim::printJsonText(mediacheck::renderJson(report));
    else
        std::fputs(mediacheck::renderText(report).c_str(), stdout);
    return rc == 0 ? upgsim::EXIT_OK : upgsim::EXIT_FAILURE_REPORTED;
}

const upgsim::Registrar k_check_command({
    "check",
    "check a medium before it is burned",
    defineCheck,
    runCheck,
});

} // namespace
