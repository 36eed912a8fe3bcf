// The sweep's runs: the clean run in a child of the caller, then the cuts in
// worker processes (one per job), each running its cuts one after the other
// in children of its own and sending each cut's result back as one JSON line.
// The caller's process never runs the module: it forks only while it has no
// other thread, and the workers are single-threaded too.
#include "tools/sweep/sweep.h"

#include "platform/hostsim/hostsim.h"
#include "tools/hostkit/harness.h"
#include "tools/hostkit/scratch.h"
#include "tools/mediacheck/mediacheck.h"
#include "tools/mediacheck/treewalk.h"
#include "tools/scripthost/child.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
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
    int errFd = -1;     // a worker's standard error file (its children's messages)
    std::string source; // the card the copies are taken of (--sd, or the prelude's card)
    CardImage given;    // the image of --sd
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

// One run of the script on `card`. With `cutAtEnd` the power is cut once the
// script has ended (its status reported), losing unsynced data as an armed
// cut does; `traceCalls` names each traced operation's builtin call.
RunEnd runOnce(const Context &ctx, const std::string &card, const scripthost::PowerOptions &power,
               int timeoutSeconds, bool cutAtEnd = false, bool traceCalls = true) {
    hostkit::ScriptJob job;
    job.script = ctx.options->script;
    job.args = ctx.options->args;
    job.card = card;
    job.blockSize = ctx.blockSize;
    job.timeoutSeconds = timeoutSeconds;
    job.out = ctx.devnull;
    job.power = power;
    job.cutAtEnd = cutAtEnd;
    job.traceCalls = traceCalls;
    const hostkit::ScriptRun run = hostkit::runScript(job);
    RunEnd r;
    r.ran = run.ran;
    r.status = run.status;
    r.ops = run.ops;
    r.cut = run.cut;
    r.failure = run.failure;
    switch (run.end.how) {
    case scripthost::ChildEnd::How::TimedOut:
        r.failure = "was still running after " + std::to_string(timeoutSeconds) + " s (--timeout)";
        break;
    case scripthost::ChildEnd::How::Interrupted:
        r.interrupted = true;
        r.signal = run.end.code;
        r.failure = "was interrupted";
        break;
    default:
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

// The fields of a trace line "k<TAB>op<TAB>path[<TAB>call<TAB>site]".
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

// One traced operation: its text ("write /SDH/MAPPE/FRA/ROADS.DAT"), its
// builtin call and that call's site.
struct TracedOp {
    std::string text, call, site;
};

// What a run's trace tells: its operations by k, and the files its cut cut
// short.
struct Trace {
    std::map<uint64_t, TracedOp> ops;
    std::vector<LostFile> lost;
};

Trace readTrace(const std::string &path) {
    Trace t;
    for (const std::string &line : readLines(path)) {
        const std::vector<std::string> f = traceFields(line);
        if (f.size() >= 5 && f[0] == "-" && f[1] == "lost") {
            LostFile lost;
            lost.path = cardPath(f[2]);
            lost.kept = std::strtoull(f[3].c_str(), nullptr, 10);
            lost.size = std::strtoull(f[4].c_str(), nullptr, 10);
            if (!lost.path.empty())
                t.lost.push_back(lost);
            continue;
        }
        if (f.size() < 3 || f[0].empty() || f[0][0] < '0' || f[0][0] > '9')
            continue;
        t.ops[std::strtoull(f[0].c_str(), nullptr, 10)] =
            TracedOp{f[1] + " " + f[2], f.size() > 3 ? f[3] : std::string(),
                     f.size() > 4 ? f[4] : std::string()};
    }
    return t;
}

// The last operation done before a cut before operation k (k past the run's
// last: that last one), and its builtin call and the call's site.
void lastDone(const Trace &t, uint64_t k, std::string &done, std::string *call, std::string *site) {
    auto it = t.ops.lower_bound(k);
    if (it == t.ops.begin())
        return;
    --it;
    done = it->second.text;
    if (call != nullptr)
        *call = it->second.call;
    if (site != nullptr)
        *site = it->second.site;
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
    return hostkit::copyCard(ctx.source, dir);
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

// With --double: the second cut r.secondCut while the cut card is run again;
// the card's claims checked when it hits. False when the sweep was
// interrupted or the card cannot be read (r.error set).
bool playSecondCut(const Context &ctx, const std::string &card, const std::string &work,
                   CutResult &r, CardImage &image, std::set<std::string> &outside,
                   bool &interrupted) {
    const SweepOptions &o = *ctx.options;
    const std::string tracePath = work + "/trace2";
    scripthost::PowerOptions second;
    second.cutAt = r.secondCut;
    second.lostWrites = o.lostWrites;
    second.seed = static_cast<uint32_t>(mix(o.seed + 1, r.k * 0x10001ULL + r.secondCut));
    second.traceFd = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    RunEnd again = runOnce(ctx, card, second, ctx.timeoutSeconds);
    if (second.traceFd >= 0)
        close(second.traceFd);
    if (again.interrupted) {
        interrupted = true;
        return false;
    }
    r.secondCutHit = again.cut;
    const Trace trace = readTrace(tracePath);
    lastDone(trace, r.secondCut, r.secondDone, nullptr, nullptr);
    r.secondLost = trace.lost;
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
CutResult playCut(const Context &ctx, const CutPoint &point, const std::string &work,
                  bool &interrupted) {
    const SweepOptions &o = *ctx.options;
    CutResult r;
    const uint64_t k = point.k;
    r.k = k;
    r.secondCut = point.second;
    // k = N + 1: the run ends, then the power goes.
    const bool atEnd = k > ctx.operations;
    const std::string card = work + "/sd";
    if (!freshCopy(ctx, card)) {
        r.error = "cannot copy the card into " + card;
        return r;
    }
    const std::string tracePath = work + "/trace";
    int traceFd = open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);

    scripthost::PowerOptions power;
    power.cutAt = atEnd ? 0 : k;
    power.lostWrites = o.lostWrites;
    power.seed = static_cast<uint32_t>(mix(o.seed, k));
    power.traceFd = traceFd;
    truncateFd(ctx.errFd);
    RunEnd first = runOnce(ctx, card, power, ctx.timeoutSeconds, atEnd);
    if (traceFd >= 0)
        close(traceFd);
    if (first.interrupted) {
        interrupted = true;
        return r;
    }
    r.cut = first.cut;
    const Trace trace = readTrace(tracePath);
    const auto cutOp = trace.ops.find(k);
    r.op = atEnd                      ? "(after the last operation)"
           : cutOp != trace.ops.end() ? cutOp->second.text
                                      : std::string();
    lastDone(trace, k, r.done, &r.call, &r.site);
    r.lost = trace.lost;
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
    if (r.secondCut > 0 && !playSecondCut(ctx, card, work, r, image, outside, interrupted))
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

json lostJson(const std::vector<LostFile> &list) {
    json a = json::array();
    for (const LostFile &l : list)
        a.push_back({l.path, l.kept, l.size});
    return a;
}
std::vector<LostFile> lostFrom(const json &a) {
    std::vector<LostFile> list;
    for (const json &l : a)
        list.push_back(
            {l.at(0).get<std::string>(), l.at(1).get<uint64_t>(), l.at(2).get<uint64_t>()});
    return list;
}

} // namespace

std::string encodeCut(const CutResult &r) {
    json j = {{"k", r.k},
              {"cut", r.cut},
              {"op", r.op},
              {"done", r.done},
              {"call", r.call},
              {"site", r.site},
              {"lost", lostJson(r.lost)},
              {"second_done", r.secondDone},
              {"second_lost", lostJson(r.secondLost)},
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

bool decodeCut(const std::string &line, CutResult &r) {
    json j = json::parse(line, nullptr, false);
    if (j.is_discarded() || !j.is_object())
        return false;
    try {
        r.k = j.at("k").get<uint64_t>();
        r.cut = j.at("cut").get<bool>();
        r.op = j.at("op").get<std::string>();
        r.done = j.at("done").get<std::string>();
        r.call = j.at("call").get<std::string>();
        r.site = j.value("site", std::string());
        r.lost = lostFrom(j.at("lost"));
        r.secondDone = j.at("second_done").get<std::string>();
        r.secondLost = lostFrom(j.at("second_lost"));
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

namespace {

// A worker's life: its share of the cut points, one result line each.
[[noreturn]] void workerMain(Context &ctx, const std::vector<CutPoint> &ks, unsigned index,
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
    for (const CutPoint &k : ks) {
        bool interrupted = false;
        CutResult r = playCut(ctx, k, work, interrupted);
        if (interrupted)
            break;
        const std::string line = encodeCut(r);
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
    std::vector<CutPoint> ks;
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

double estimatedCpuSeconds(const SweepReport &report, uint64_t points) {
    return static_cast<double>(points) * (report.doubleCut ? 3.0 : 2.0) * report.cleanSeconds;
}

std::string durationText(double seconds) {
    char text[32];
    if (seconds < 120)
        std::snprintf(text, sizeof text, "%.1f s", seconds);
    else if (seconds < 2 * 3600)
        std::snprintf(text, sizeof text, "%.0f min", seconds / 60);
    else if (seconds < 2 * 86400)
        std::snprintf(text, sizeof text, "%.1f h", seconds / 3600);
    else
        std::snprintf(text, sizeof text, "%.0f days", seconds / 86400);
    return text;
}

bool SweepReport::clean() const {
    if (!error.empty() || !cardChanged.empty())
        return false;
    for (const CutResult &c : cuts)
        if (!c.converged || !c.changedOutside.empty() || !c.error.empty())
            return false;
    return falseClaimCuts() == 0;
}

bool SweepReport::passed() const {
    return whole && cuts.size() == planned && clean();
}

int SweepReport::exitStatus() const {
    if (!clean())
        return 1;
    return passed() || acceptSample || shardCount > 0 ? 0 : k_exit_not_a_proof;
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
    ctx.source = options.sdDir;
    ctx.given = ctx.before;
    report.cardDigest = imageDigest(ctx.before);
    ctx.beforeClaims = readClaims(options.sdDir);
    report.beforeClaims = ctx.beforeClaims;
    return true;
}

// Adds to ctx.touched the card paths that the trace at `tracePath` names.
void noteTracedPaths(Context &ctx, const std::string &tracePath) {
    for (const std::string &line : readLines(tracePath)) {
        // The third field is the path (the call and its site follow it).
        const std::vector<std::string> f = traceFields(line);
        const std::string p = f.size() > 2 ? cardPath(f[2]) : std::string();
        if (!p.empty())
            ctx.touched.insert(p);
    }
}

// The clean run, on a copy of the card in the scratch folder: N, the clean
// final card and its claims, the paths it touches, and the cuts' timeout.
// False (report.error set) when it could not be played or the script did
// not run. Caller's main thread, no other thread running.
bool playCleanRun(Context &ctx, SweepReport &report) {
    const SweepOptions &options = *ctx.options;
    const std::string cleanCard = ctx.scratch + "/clean";
    if (!hostkit::copyCard(ctx.source, cleanCard)) {
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
    report.phases = phasesOf(readLines(cleanTrace));
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
std::vector<Worker> startWorkers(Context &ctx, const std::vector<CutPoint> &ks,
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
void readResults(Worker &w, std::map<CutPoint, CutResult> &results, const SweepOptions &options,
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
        if (decodeCut(w.pending.substr(0, nl), r)) {
            results[r.point()] = r;
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
std::map<CutPoint, CutResult> collectResults(std::vector<Worker> &workers, bool stopped,
                                             const SweepOptions &options, std::size_t planned) {
    auto stopAll = [&]() {
        for (Worker &w : workers)
            if (w.pid > 0)
                kill(w.pid, SIGTERM);
    };
    if (stopped)
        stopAll();
    std::map<CutPoint, CutResult> results;
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
void finishCuts(const std::vector<Worker> &workers, const std::vector<CutPoint> &ks,
                const std::map<CutPoint, CutResult> &results, SweepReport &report) {
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
    for (const CutPoint &k : ks) {
        auto it = results.find(k);
        if (it != results.end()) {
            report.cuts.push_back(it->second);
        } else if (report.error.empty()) {
            CutResult lost;
            lost.k = k.k;
            lost.secondCut = k.second;
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
    for (const Mismatch &m : compareImages(now, ctx.given))
        report.cardChanged.push_back(m.path);
}

// --from-final: a clean run on a copy of the card first; the sweep then
// starts from the card it leaves (the re-run after a cut once the run had
// ended). False (report.error set) when that run failed.
bool playPrelude(Context &ctx, SweepReport &report) {
    const std::string start = ctx.scratch + "/start";
    if (!hostkit::copyCard(ctx.options->sdDir, start)) {
        report.error = "cannot copy the card into " + start;
        return false;
    }
    const int timeout = ctx.options->timeoutSeconds > 0   ? ctx.options->timeoutSeconds
                        : ctx.options->timeoutSeconds < 0 ? 0
                                                          : scripthost::defaultTimeoutSeconds();
    RunEnd first = runOnce(ctx, start, scripthost::PowerOptions(), timeout, false, false);
    if (first.interrupted || g_interrupt != 0) {
        report.interruptSignal = g_interrupt != 0 ? static_cast<int>(g_interrupt) : first.signal;
        report.error = "interrupted by " + scripthost::signalName(report.interruptSignal);
        return false;
    }
    if (!first.ran) {
        report.error = "the first clean run (--from-final) " + first.failure;
        return false;
    }
    if (!imageCard(start, ctx.before)) {
        report.error = "cannot read the card the first clean run left";
        return false;
    }
    ctx.source = start;
    ctx.beforeClaims = readClaims(start);
    report.beforeClaims = ctx.beforeClaims;
    return true;
}

// The SHA-256 (hex) of a host file; empty when it cannot be read.
std::string fileDigest(const std::string &path) {
    std::array<unsigned char, 32> d{};
    if (!hostkit::fileSha256(path, d))
        return std::string();
    return hostkit::hexDigest(d);
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
    report.fromFinal = options.fromFinal;
    report.mediumNote = options.mediumNote;
    report.scriptDigest = fileDigest(options.script);
    if (!options.mediaDir.empty() && !options.estimateOnly) {
        CardImage medium;
        if (imageCard(options.mediaDir, medium))
            report.mediumDigest = imageDigest(medium);
    }
    if (options.fromFinal && !playPrelude(ctx, report))
        return report;
    if (!playCleanRun(ctx, report))
        return report;

    if (options.estimateOnly) {
        report.planned = report.operations + 1;
        report.seconds = secondsSince(started);
        return report;
    }
    // The whole sweep's cut points, then the ones this sweep plays.
    report.secondCuts = options.doubleCut ? std::max(1u, options.secondCuts) : 0;
    const std::vector<CutPoint> all =
        planPoints(planCuts(report.operations, report.phases, 0), report.operations,
                   options.doubleCut, report.secondCuts, options.seed);
    report.planned = all.size();
    report.acceptSample = options.acceptSample;
    std::vector<CutPoint> ks;
    if (!options.only.empty()) {
        ks = options.only;
        std::sort(ks.begin(), ks.end());
        ks.erase(std::unique(ks.begin(), ks.end()), ks.end());
        report.chosen = "given with --cut";
        report.whole = false;
    } else if (options.sample > 0 && options.sample < report.operations + 1) {
        ks = planPoints(planCuts(report.operations, report.phases, options.sample),
                        report.operations, options.doubleCut, report.secondCuts, options.seed);
        report.chosen = "a sample stratified over the script's " +
                        std::to_string(report.phases.size()) +
                        " phases (each builtin call, the script's own operations, the end)";
        report.whole = false;
    } else {
        ks = all;
        report.chosen = k_every_cut_point;
    }
    if (options.shardCount > 0) {
        ks = shardOf(ks, options.shardIndex, options.shardCount);
        report.shardIndex = options.shardIndex;
        report.shardCount = options.shardCount;
        report.chosen += ", shard " + std::to_string(options.shardIndex) + "/" +
                         std::to_string(options.shardCount) + " (every " +
                         std::to_string(options.shardCount) + ". from the " +
                         std::to_string(options.shardIndex) + ".)";
        report.whole = false;
    }
    if (options.planned)
        options.planned(report);
    std::vector<Worker> workers = startWorkers(ctx, ks, report);
    const std::map<CutPoint, CutResult> results =
        collectResults(workers, !report.error.empty(), options, ks.size());
    finishCuts(workers, ks, results, report);
    noteCardChanges(ctx, report);
    report.seconds = secondsSince(started);
    return report;
}

} // namespace sweep
