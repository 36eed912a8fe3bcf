// The sweep's runs: the clean run in a child of the caller, then the cuts in
// worker processes (one per job), each running its cuts one after the other
// in children of its own and sending each cut's result back as one JSON line.
// The caller's process never runs the module: it forks only while it has no
// other thread, and the workers are single-threaded too.
#include "tools/sweep/sweep.h"

#include "platform/hostsim/hostsim.h"
#include "tools/hostkit/scratch.h"
#include "tools/mediacheck/mediacheck.h"
#include "tools/mediacheck/treewalk.h"
#include "tools/scripthost/child.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;
using nlohmann::json;

namespace sweep {

namespace {

using Clock = std::chrono::steady_clock;

const char k_sd_device[] = "/SDH";
// Lines of a failed re-run's standard error kept for the report.
const std::size_t k_stderr_lines = 6;
// Timeout of a cut's runs when none is given: this many times the clean run,
// and at least k_min_timeout seconds.
const int k_timeout_factor = 10;
const int k_min_timeout = 30;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A 64-bit mix of the seed and a cut point: the lost-writes seed of each cut
// and the second cut points, reproducible from --seed.
uint64_t mix(uint64_t seed, uint64_t k) {
    uint64_t z = seed * 0x9E3779B97F4A7C15ULL + k + 0x632BE59BD9B4E019ULL;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

// SIGINT or SIGTERM received while the sweep runs (0: none).
volatile sig_atomic_t g_interrupt = 0;
void noteInterrupt(int sig) {
    g_interrupt = sig;
}

// What the sweep's runs share.
struct Context {
    const SweepOptions *options = nullptr;
    std::string scratch;
    long blockSize = 0;
    FILE *devnull = nullptr;
    int errFd = -1; // a worker's standard error file (its children's messages)
    CardImage before, clean;
    std::vector<Claim> beforeClaims, cleanClaims;
    std::set<std::string> touched; // card paths the clean run names or changes
    int cleanStatus = 0;
    uint64_t operations = 0;
    int timeoutSeconds = 0;
};

// How one run ended.
struct RunEnd {
    bool ran = false; // the script ran to its end; status is its status
    int status = -1;
    uint64_t ops = 0;
    bool cut = false;         // the power cut ended it
    bool interrupted = false; // the sweep was interrupted
    int signal = 0;           // ...by this signal
    std::string failure;      // how it ended when it neither ran nor was cut
};

RunEnd runOnce(const Context &ctx, const std::string &card, const scripthost::PowerOptions &power,
               int timeoutSeconds) {
    hostsim::mountDevice(k_sd_device, card, ctx.blockSize);
    // The child's log starts empty: its error lines are its own.
    hostsim::clearCapturedLog();
    scripthost::ChildOptions childOptions;
    childOptions.timeoutSeconds = timeoutSeconds;
    childOptions.out = ctx.devnull;
    scripthost::RunOptions runOptions;
    runOptions.args = ctx.options->args;
    const std::string &script = ctx.options->script;
    scripthost::ChildEnd end = scripthost::runInChild(
        [&](int reportFd) {
            return scripthost::runScriptHere(script, runOptions, false, reportFd, power);
        },
        childOptions);
    RunEnd r;
    const std::vector<std::string> status = scripthost::reportValues(end.report, "status");
    const std::vector<std::string> ops = scripthost::reportValues(end.report, "ops");
    switch (end.how) {
    case scripthost::ChildEnd::How::Exited:
        if (!status.empty()) {
            r.ran = true;
            r.status = std::atoi(status.back().c_str());
            if (!ops.empty())
                r.ops = std::strtoull(ops.back().c_str(), nullptr, 10);
        } else if (end.code == hostsim::kPowerCutExitStatus && power.cutAt != 0) {
            r.cut = true;
        } else if (end.code == scripthost::k_exit_not_compiled) {
            r.failure = "did not compile or link";
        } else {
            r.failure = "ended with status " + std::to_string(end.code) + " before the script ran";
        }
        break;
    case scripthost::ChildEnd::How::Signaled:
        r.failure = "ended by signal " + std::to_string(end.code) + " (" +
                    scripthost::signalName(end.code) + ")";
        break;
    case scripthost::ChildEnd::How::TimedOut:
        r.failure = "was still running after " + std::to_string(timeoutSeconds) + " s (--timeout)";
        break;
    case scripthost::ChildEnd::How::Interrupted:
        r.interrupted = true;
        r.signal = end.code;
        r.failure = "was interrupted";
        break;
    case scripthost::ChildEnd::How::NotStarted:
        r.failure = std::string("could not be started: ") + std::strerror(errno);
        break;
    }
    return r;
}

// The card path ("MAPPE/FRA/ROADS.DAT") of a unit path on the card; empty
// for a path elsewhere. Doubled separators, "." and a final '/' dropped.
std::string cardPath(const std::string &unitPath) {
    const std::string prefix = std::string(k_sd_device) + "/";
    if (unitPath.compare(0, prefix.size(), prefix) != 0)
        return std::string();
    return mediacheck::normalisePath(unitPath.substr(prefix.size()));
}

// The fields of a trace line "k<TAB>op<TAB>path[<TAB>path]".
std::vector<std::string> traceFields(const std::string &line) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= line.size()) {
        std::size_t tab = line.find('\t', start);
        if (tab == std::string::npos)
            tab = line.size();
        fields.push_back(line.substr(start, tab - start));
        start = tab + 1;
    }
    return fields;
}

std::vector<std::string> readLines(const std::string &path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

// "write /SDH/MAPPE/FRA/ROADS.DAT" from a trace line.
std::string opText(const std::string &line) {
    std::vector<std::string> f = traceFields(line);
    std::string text;
    for (std::size_t i = 1; i < f.size(); ++i)
        text += (i > 1 ? (i > 2 ? " -> " : " ") : "") + f[i];
    return text;
}

// Paths of `image` that differ from the card before the run, that no
// operation of the clean run names and that the clean run does not change
// (a folder it renames into place): changes the script has no business
// making.
std::vector<std::string> changedOutside(const Context &ctx, const CardImage &image) {
    std::vector<std::string> out;
    for (const Mismatch &m :
         compareImages(image, ctx.before, [](const std::string &) { return true; }))
        if (ctx.touched.count(m.path) == 0)
            out.push_back(m.path);
    return out;
}

std::string lastLines(int fd, std::size_t count) {
    std::string text;
    if (fd < 0 || lseek(fd, 0, SEEK_SET) < 0)
        return text;
    char buf[8192];
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    std::size_t pos = text.size();
    if (pos > 0 && text[pos - 1] == '\n')
        --pos;
    for (std::size_t lines = 0; pos > 0; --pos)
        if (text[pos - 1] == '\n' && ++lines == count)
            break;
    return text.substr(pos);
}

void truncateFd(int fd) {
    if (fd >= 0 && ftruncate(fd, 0) == 0)
        lseek(fd, 0, SEEK_SET);
}

// A fresh copy of the card in `dir` (an earlier copy there is removed first).
bool freshCopy(const Context &ctx, const std::string &dir) {
    std::error_code ec;
    fs::remove_all(dir, ec);
    return hostkit::copyCard(ctx.options->sdDir, dir);
}

// Reads the card in host folder `card` after a run into `image`, checks the
// claims it makes into `claims` (when not null), and adds the paths it
// changed outside the clean run's to `outside`. False when the card cannot
// be read whole.
bool readCardAfter(const Context &ctx, const std::string &card, CardImage &image,
                   std::vector<ClaimCheck> *claims, std::set<std::string> &outside) {
    if (!imageCard(card, image))
        return false;
    if (claims != nullptr)
        *claims = checkClaims(readClaims(card), image, ctx.beforeClaims, ctx.before,
                              ctx.cleanClaims, ctx.clean);
    for (const std::string &p : changedOutside(ctx, image))
        outside.insert(p);
    return true;
}

// With --double: a second cut, at a point drawn from the seed and k, while
// the cut card is run again; the card's claims checked when it hits. False
// when the sweep was interrupted or the card cannot be read (r.error set).
bool playSecondCut(const Context &ctx, const std::string &card, CutResult &r, CardImage &image,
                   std::set<std::string> &outside, bool &interrupted) {
    const SweepOptions &o = *ctx.options;
    scripthost::PowerOptions second;
    second.cutAt = 1 + mix(o.seed ^ 0x5eed, r.k) % ctx.operations;
    second.lostWrites = o.lostWrites;
    second.seed = static_cast<uint32_t>(mix(o.seed + 1, r.k));
    r.secondCut = second.cutAt;
    RunEnd again = runOnce(ctx, card, second, ctx.timeoutSeconds);
    if (again.interrupted) {
        interrupted = true;
        return false;
    }
    r.secondCutHit = again.cut;
    if (again.cut && !readCardAfter(ctx, card, image, &r.secondClaims, outside)) {
        r.error = "cannot read the card after the second cut";
        return false;
    }
    return true;
}

// Plays cut point k in the work folder `work`: the cut run on a fresh copy
// of the card, the claims it leaves, the second cut (--double), then the
// re-run and the card it leaves against the clean one. `interrupted` is set
// when the sweep was interrupted (the result is then incomplete). A
// worker's thread.
CutResult playCut(const Context &ctx, uint64_t k, const std::string &work, bool &interrupted) {
    const SweepOptions &o = *ctx.options;
    CutResult r;
    r.k = k;
    const std::string card = work + "/sd";
    if (!freshCopy(ctx, card)) {
        r.error = "cannot copy the card into " + card;
        return r;
    }
    const std::string tracePath = work + "/trace";
    int traceFd = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    scripthost::PowerOptions power;
    power.cutAt = k;
    power.lostWrites = o.lostWrites;
    power.seed = static_cast<uint32_t>(mix(o.seed, k));
    power.traceFd = traceFd;
    truncateFd(ctx.errFd);
    RunEnd first = runOnce(ctx, card, power, ctx.timeoutSeconds);
    if (traceFd >= 0)
        close(traceFd);
    if (first.interrupted) {
        interrupted = true;
        return r;
    }
    r.cut = first.cut;
    const std::vector<std::string> trace = readLines(tracePath);
    if (!trace.empty())
        r.op = opText(trace.back());
    if (!first.cut && !first.ran) {
        r.error = "the cut run " + first.failure;
        r.rerunStderr = lastLines(ctx.errFd, k_stderr_lines);
        return r;
    }

    CardImage image;
    std::set<std::string> outside;
    if (!readCardAfter(ctx, card, image, &r.claims, outside)) {
        r.error = "cannot read the card after the cut";
        return r;
    }
    if (o.doubleCut && ctx.operations > 0 &&
        !playSecondCut(ctx, card, r, image, outside, interrupted))
        return r;

    truncateFd(ctx.errFd);
    RunEnd rerun = runOnce(ctx, card, scripthost::PowerOptions(), ctx.timeoutSeconds);
    if (rerun.interrupted) {
        interrupted = true;
        return r;
    }
    r.rerunOk = rerun.ran && rerun.status == ctx.cleanStatus;
    if (!r.rerunOk) {
        r.rerunFailure = rerun.ran ? "ended with status " + std::to_string(rerun.status) +
                                         " (the clean run: " + std::to_string(ctx.cleanStatus) + ")"
                                   : rerun.failure;
        r.rerunStderr = lastLines(ctx.errFd, k_stderr_lines);
    }
    if (!readCardAfter(ctx, card, image, nullptr, outside)) {
        r.error = "cannot read the card after the re-run";
        return r;
    }
    r.finalMismatches = compareImages(image, ctx.clean, [](const std::string &) { return true; });
    r.converged = r.rerunOk && r.finalMismatches.empty();
    r.changedOutside.assign(outside.begin(), outside.end());
    return r;
}

// ---- Results between the processes: one JSON line per cut ---------------------

json mismatchesJson(const std::vector<Mismatch> &list) {
    json a = json::array();
    for (const Mismatch &m : list)
        a.push_back({static_cast<int>(m.kind), m.path, m.size, m.expected});
    return a;
}
std::vector<Mismatch> mismatchesFrom(const json &a) {
    std::vector<Mismatch> list;
    for (const json &m : a)
        list.push_back({static_cast<Mismatch::Kind>(m.at(0).get<int>()), m.at(1).get<std::string>(),
                        m.at(2).get<uint64_t>(), m.at(3).get<uint64_t>()});
    return list;
}
json checksJson(const std::vector<ClaimCheck> &list) {
    json a = json::array();
    for (const ClaimCheck &c : list)
        a.push_back({static_cast<int>(c.claim.kind), c.claim.subject, c.claim.version, c.holds,
                     c.reference, mismatchesJson(c.mismatches)});
    return a;
}
std::vector<ClaimCheck> checksFrom(const json &a) {
    std::vector<ClaimCheck> list;
    for (const json &c : a) {
        ClaimCheck check;
        check.claim.kind = static_cast<Claim::Kind>(c.at(0).get<int>());
        check.claim.subject = c.at(1).get<std::string>();
        check.claim.version = c.at(2).get<std::string>();
        check.holds = c.at(3).get<bool>();
        check.reference = c.at(4).get<std::string>();
        check.mismatches = mismatchesFrom(c.at(5));
        list.push_back(check);
    }
    return list;
}

std::string encode(const CutResult &r) {
    json j = {{"k", r.k},
              {"cut", r.cut},
              {"op", r.op},
              {"claims", checksJson(r.claims)},
              {"second_cut", r.secondCut},
              {"second_hit", r.secondCutHit},
              {"second_claims", checksJson(r.secondClaims)},
              {"rerun_ok", r.rerunOk},
              {"rerun_failure", r.rerunFailure},
              {"rerun_stderr", r.rerunStderr},
              {"converged", r.converged},
              {"final", mismatchesJson(r.finalMismatches)},
              {"outside", r.changedOutside},
              {"error", r.error}};
    // Paths are bytes of the card: never thrown about.
    return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

bool decode(const std::string &line, CutResult &r) {
    json j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return false;
    try {
        r.k = j.at("k").get<uint64_t>();
        r.cut = j.at("cut").get<bool>();
        r.op = j.at("op").get<std::string>();
        r.claims = checksFrom(j.at("claims"));
        r.secondCut = j.at("second_cut").get<uint64_t>();
        r.secondCutHit = j.at("second_hit").get<bool>();
        r.secondClaims = checksFrom(j.at("second_claims"));
        r.rerunOk = j.at("rerun_ok").get<bool>();
        r.rerunFailure = j.at("rerun_failure").get<std::string>();
        r.rerunStderr = j.at("rerun_stderr").get<std::string>();
        r.converged = j.at("converged").get<bool>();
        r.finalMismatches = mismatchesFrom(j.at("final"));
        r.changedOutside = j.at("outside").get<std::vector<std::string>>();
        r.error = j.at("error").get<std::string>();
    } catch (const json::exception &) {
        return false;
    }
    return true;
}

// A worker's life: its share of the cut points, one result line each.
[[noreturn]] void workerMain(Context &ctx, const std::vector<uint64_t> &ks, unsigned index,
                             int resultFd) {
    // The parent's handlers are the parent's: a worker ends on SIGTERM
    // (between runs; during one, the run's own handler stops the run first).
    std::signal(SIGINT, SIG_IGN);
    std::signal(SIGTERM, SIG_DFL);
    const std::string work = ctx.scratch + "/w" + std::to_string(index);
    std::error_code ec;
    fs::create_directories(work, ec);
    // The runs' messages (compiler, module errors) go to a file of the
    // worker's: shown for a run that fails.
    ctx.errFd = open((work + "/stderr").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (ctx.errFd >= 0)
        dup2(ctx.errFd, STDERR_FILENO);
    // Hundreds of runs: the module's log of the cuts is not kept.
    hostsim::logToFile("");
    hostsim::logToStderr(false);
    hostsim::captureLog(true);
    int status = 0;
    for (uint64_t k : ks) {
        bool interrupted = false;
        CutResult r = playCut(ctx, k, work, interrupted);
        if (interrupted)
            break;
        const std::string line = encode(r);
        if (!scripthost::writeAll(resultFd, line.data(), line.size())) {
            status = 1;
            break;
        }
    }
    close(resultFd);
    _exit(status);
}

struct Worker {
    pid_t pid = -1;
    int fd = -1;
    std::string pending;
    std::vector<uint64_t> ks;
};

// Where the copies go: the folder given; else memory (/dev/shm) where the
// host has it, as hundreds of copies made and removed would slow a disk down
// for a while; else $TMPDIR or /tmp (an empty parent).
std::string scratchParent(const std::string &given) {
    if (!given.empty())
        return given;
    struct stat st;
    if (::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) && access("/dev/shm", W_OK) == 0)
        return "/dev/shm";
    return std::string();
}

} // namespace

unsigned SweepReport::converged() const {
    return static_cast<unsigned>(
        std::count_if(cuts.begin(), cuts.end(), [](const CutResult &c) { return c.converged; }));
}

unsigned SweepReport::falseClaimCuts() const {
    auto anyFalse = [](const std::vector<ClaimCheck> &list) {
        return std::any_of(list.begin(), list.end(), [](const ClaimCheck &c) { return !c.holds; });
    };
    return static_cast<unsigned>(std::count_if(cuts.begin(), cuts.end(), [&](const CutResult &c) {
        return anyFalse(c.claims) || anyFalse(c.secondClaims);
    }));
}

bool SweepReport::passed() const {
    if (!error.empty() || !cardChanged.empty())
        return false;
    for (const CutResult &c : cuts)
        if (!c.converged || !c.changedOutside.empty() || !c.error.empty())
            return false;
    return falseClaimCuts() == 0;
}

std::vector<uint64_t> planCuts(uint64_t n, unsigned sample) {
    std::vector<uint64_t> ks;
    if (n == 0)
        return ks;
    if (sample == 0 || sample >= n) {
        for (uint64_t k = 1; k <= n; ++k)
            ks.push_back(k);
        return ks;
    }
    if (sample == 1)
        return {(n + 1) / 2};
    for (unsigned i = 0; i < sample; ++i) {
        uint64_t k = 1 + (n - 1) * i / (sample - 1);
        if (ks.empty() || ks.back() != k)
            ks.push_back(k);
    }
    return ks;
}

namespace {

// /dev/null of one sweep: closed however the sweep ends.
struct DevNull {
    FILE *file = std::fopen("/dev/null", "w");
    ~DevNull() {
        if (file != nullptr)
            std::fclose(file);
    }
};

// SIGINT and SIGTERM are noted in g_interrupt while the object lives; the
// handlers before it are put back when it ends. The caller's main thread.
class InterruptScope {
public:
    InterruptScope() {
        g_interrupt = 0;
        scripthost::catchInterrupts(noteInterrupt, m_oldInt, m_oldTerm);
    }
    ~InterruptScope() { scripthost::restoreInterrupts(m_oldInt, m_oldTerm); }
    InterruptScope(const InterruptScope &) = delete;
    InterruptScope &operator=(const InterruptScope &) = delete;

private:
    struct sigaction m_oldInt = {}, m_oldTerm = {};
};

// The card before the run: the block size "/SDH" reports on the copies,
// the card's image and its claims. False (report.error set) when the card
// cannot be read whole.
bool readCardBefore(Context &ctx, SweepReport &report) {
    const SweepOptions &options = *ctx.options;
    ctx.blockSize = options.sdBlockSize;
    struct stat st;
    if (ctx.blockSize <= 0 && ::stat(options.sdDir.c_str(), &st) == 0)
        ctx.blockSize = static_cast<long>(st.st_blksize);
    if (!imageCard(options.sdDir, ctx.before)) {
        report.error = "cannot read every file of the card " + options.sdDir +
                       " (a card holds no symbolic links)";
        return false;
    }
    ctx.beforeClaims = readClaims(options.sdDir);
    report.beforeClaims = ctx.beforeClaims;
    return true;
}

// Adds to ctx.touched the card paths that the trace at `tracePath` names.
void noteTracedPaths(Context &ctx, const std::string &tracePath) {
    for (const std::string &line : readLines(tracePath)) {
        std::vector<std::string> f = traceFields(line);
        for (std::size_t i = 2; i < f.size(); ++i) {
            const std::string p = cardPath(f[i]);
            if (!p.empty())
                ctx.touched.insert(p);
        }
    }
}

// The clean run, on a copy of the card in the scratch folder: N, the clean
// final card and its claims, the paths it touches, and the cuts' timeout.
// False (report.error set) when it could not be played or the script did
// not run. Caller's main thread, no other thread running.
bool playCleanRun(Context &ctx, SweepReport &report) {
    const SweepOptions &options = *ctx.options;
    const std::string cleanCard = ctx.scratch + "/clean";
    if (!hostkit::copyCard(options.sdDir, cleanCard)) {
        report.error = "cannot copy the card into " + cleanCard;
        return false;
    }
    const std::string cleanTrace = ctx.scratch + "/clean.trace";
    scripthost::PowerOptions tracing;
    tracing.traceFd = open(cleanTrace.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (!options.logPath.empty() && !hostsim::logToFile(options.logPath)) {
        report.error = "--log " + options.logPath + ": cannot open: " + std::strerror(errno);
        if (tracing.traceFd >= 0)
            close(tracing.traceFd);
        return false;
    }
    const auto cleanStarted = Clock::now();
    const int cleanTimeout = options.timeoutSeconds > 0   ? options.timeoutSeconds
                             : options.timeoutSeconds < 0 ? 0
                                                          : scripthost::defaultTimeoutSeconds();
    RunEnd clean = runOnce(ctx, cleanCard, tracing, cleanTimeout);
    report.cleanSeconds = secondsSince(cleanStarted);
    hostsim::logToFile("");
    if (tracing.traceFd >= 0)
        close(tracing.traceFd);
    if (clean.interrupted || g_interrupt != 0) {
        // Ended by the signal, as an interruption of the cuts is.
        report.interruptSignal = g_interrupt != 0 ? static_cast<int>(g_interrupt) : clean.signal;
        report.error = "interrupted by " + scripthost::signalName(report.interruptSignal);
        return false;
    }
    if (!clean.ran) {
        report.error = "the clean run " + clean.failure;
        return false;
    }
    ctx.cleanStatus = report.cleanStatus = clean.status;
    ctx.operations = report.operations = clean.ops;
    noteTracedPaths(ctx, cleanTrace);
    if (!imageCard(cleanCard, ctx.clean)) {
        report.error = "cannot read the card the clean run left";
        return false;
    }
    for (const Mismatch &m :
         compareImages(ctx.clean, ctx.before, [](const std::string &) { return true; }))
        ctx.touched.insert(m.path);
    ctx.cleanClaims = readClaims(cleanCard);
    report.cleanClaims = ctx.cleanClaims;
    ctx.timeoutSeconds =
        options.timeoutSeconds > 0 ? options.timeoutSeconds
        : options.timeoutSeconds < 0
            ? 0
            : std::max(k_min_timeout, static_cast<int>(report.cleanSeconds * k_timeout_factor));
    return true;
}

// Shares the cut points `ks` among the workers in turn and forks them (at
// most one per cut). report.error says why one could not be started; those
// started before it are in the list. Caller's main thread, no other thread
// running.
std::vector<Worker> startWorkers(Context &ctx, const std::vector<uint64_t> &ks,
                                 SweepReport &report) {
    const unsigned jobs = static_cast<unsigned>(
        std::max<std::size_t>(1, std::min<std::size_t>(ctx.options->jobs, ks.size())));
    report.jobs = ks.empty() ? 0 : jobs;
    std::vector<Worker> workers(ks.empty() ? 0 : jobs);
    for (std::size_t i = 0; i < ks.size(); ++i)
        workers[i % jobs].ks.push_back(ks[i]);

    std::fflush(nullptr);
    hostsim::endIdleThreads();
    for (unsigned i = 0; i < workers.size(); ++i) {
        int fds[2];
        if (pipe2(fds, O_CLOEXEC) != 0) {
            report.error = std::string("cannot start a worker: ") + std::strerror(errno);
            break;
        }
        pid_t pid = fork();
        if (pid == 0) {
            close(fds[0]);
            for (unsigned j = 0; j < i; ++j)
                close(workers[j].fd);
            workerMain(ctx, workers[i].ks, i, fds[1]);
        }
        close(fds[1]);
        if (pid < 0) {
            close(fds[0]);
            report.error = std::string("cannot start a worker: ") + std::strerror(errno);
            break;
        }
        workers[i].pid = pid;
        workers[i].fd = fds[0];
    }
    return workers;
}

// Reads what worker `w` has sent: each whole line is one cut's result, put
// in `results` (the progress callback told of it). Closes the worker's pipe
// at its end.
void readResults(Worker &w, std::map<uint64_t, CutResult> &results, const SweepOptions &options,
                 std::size_t planned) {
    char buf[65536];
    ssize_t n = read(w.fd, buf, sizeof buf);
    if (n < 0 && errno == EINTR)
        return;
    if (n <= 0) {
        close(w.fd);
        w.fd = -1;
        return;
    }
    w.pending.append(buf, static_cast<std::size_t>(n));
    std::size_t nl;
    while ((nl = w.pending.find('\n')) != std::string::npos) {
        CutResult r;
        if (decode(w.pending.substr(0, nl), r)) {
            results[r.k] = r;
            if (options.progress)
                options.progress(static_cast<unsigned>(results.size()),
                                 static_cast<unsigned>(planned));
        }
        w.pending.erase(0, nl + 1);
    }
}

// The workers' results, by k, once every worker has closed its pipe. The
// workers are sent SIGTERM on SIGINT or SIGTERM, and at once when `stopped`
// (one of them could not be started).
std::map<uint64_t, CutResult> collectResults(std::vector<Worker> &workers, bool stopped,
                                             const SweepOptions &options, std::size_t planned) {
    auto stopAll = [&]() {
        for (Worker &w : workers)
            if (w.pid > 0)
                kill(w.pid, SIGTERM);
    };
    if (stopped)
        stopAll();
    std::map<uint64_t, CutResult> results;
    for (;;) {
        std::vector<pollfd> polled;
        for (Worker &w : workers)
            if (w.fd >= 0)
                polled.push_back({w.fd, POLLIN, 0});
        if (polled.empty())
            break;
        int ready = poll(polled.data(), polled.size(), 200);
        if (g_interrupt != 0 && !stopped) {
            stopped = true;
            stopAll();
        }
        if (ready <= 0)
            continue;
        for (const pollfd &p : polled) {
            if (p.revents == 0)
                continue;
            Worker &w = *std::find_if(workers.begin(), workers.end(),
                                      [&](const Worker &x) { return x.fd == p.fd; });
            readResults(w, results, options, planned);
        }
    }
    return results;
}

// Waits for every worker and puts the cuts in the report in the order of
// `ks`: a cut a worker could not report (it died) is a host failure of
// that cut, unless the sweep was stopped.
void finishCuts(const std::vector<Worker> &workers, const std::vector<uint64_t> &ks,
                const std::map<uint64_t, CutResult> &results, SweepReport &report) {
    for (const Worker &w : workers) {
        if (w.pid <= 0)
            continue;
        int status = 0;
        while (waitpid(w.pid, &status, 0) < 0 && errno == EINTR) {
        }
    }
    if (g_interrupt != 0) {
        report.error = "interrupted by " + scripthost::signalName(g_interrupt);
        report.interruptSignal = g_interrupt;
    }
    for (uint64_t k : ks) {
        auto it = results.find(k);
        if (it != results.end()) {
            report.cuts.push_back(it->second);
        } else if (report.error.empty()) {
            CutResult lost;
            lost.k = k;
            lost.error = "its worker ended before reporting it";
            report.cuts.push_back(lost);
        }
    }
}

// The card itself, read again: what differs from the card read first was
// changed by another program (the sweep only reads it).
void noteCardChanges(const Context &ctx, SweepReport &report) {
    CardImage now;
    if (!imageCard(ctx.options->sdDir, now)) {
        report.cardChanged.push_back("(the card cannot be read whole any more)");
        return;
    }
    for (const Mismatch &m :
         compareImages(now, ctx.before, [](const std::string &) { return true; }))
        report.cardChanged.push_back(m.path);
}

} // namespace

SweepReport runSweep(const SweepOptions &options) {
    const auto started = Clock::now();
    SweepReport report;
    report.script = options.script;
    report.args = options.args;
    report.lostWrites = options.lostWrites;
    report.doubleCut = options.doubleCut;
    report.seed = options.seed;

    Context ctx;
    ctx.options = &options;
    if (!readCardBefore(ctx, report))
        return report;
    if (!options.scratchParent.empty())
        hostkit::removeStaleScratch(options.scratchParent);
    // Marked, and removed however the sweep ends: on a signal once the
    // workers and their runs have ended.
    hostkit::Scratch scratch(scratchParent(options.scratchParent), "upgsim-sweep");
    ctx.scratch = scratch.path();
    if (ctx.scratch.empty()) {
        report.error = "cannot create a scratch folder in " + scratch.parent() + ": " +
                       std::strerror(scratch.error());
        return report;
    }
    DevNull devnull;
    ctx.devnull = devnull.file;
    if (ctx.devnull == nullptr) {
        report.error = "cannot open /dev/null";
        return report;
    }
    InterruptScope interrupts;
    if (!playCleanRun(ctx, report))
        return report;

    const std::vector<uint64_t> ks = planCuts(report.operations, options.sample);
    std::vector<Worker> workers = startWorkers(ctx, ks, report);
    const std::map<uint64_t, CutResult> results =
        collectResults(workers, !report.error.empty(), options, ks.size());
    finishCuts(workers, ks, results, report);
    noteCardChanges(ctx, report);
    report.seconds = secondsSince(started);
    return report;
}

} // namespace sweep
