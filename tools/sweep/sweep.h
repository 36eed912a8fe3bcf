// Power-cut sweep of an upgrade script ("upgsim sweep"): the script runs once
// on a scratch copy of the card to count its state-changing operations (N)
// and keep the clean final card; then, for each cut point k of 1..N + 1, on a
// fresh copy, the run is cut before operation k (k = N + 1: once it has
// ended), what the card then claims is checked against the files behind each
// claim, the script runs again uncut (or cut once more, --double), and the
// card it leaves is compared with the clean one. The card given is only read.
// Only a sweep of every cut point is a proof; a sample, a replayed cut or a
// shard says what it played, and shards merge into the whole sweep's report.
//
// What the card claims is read the module's own way: each installed
// country's VERSION and RELEASE as the carto tree reads "CD_VER.NAV.INF",
// and the VERSION of "POI_VER.POI" and "TEMP_POI_VER.POI" as the POI merge
// reads its key files. A claim is false when the files behind it (the
// country's folder; the user's POI folders; the staging folders) match
// neither the card before the run, for the version the card held then, nor
// the clean final card, for the version that run left.
//
// Host tool code: the cuts run in child processes of worker processes, so
// that the caller's process never runs the module. Files: card.cpp (claims
// and their checks), plan.cpp (which cuts are played), sweep.cpp (the runs),
// reduce.cpp (the reduced medium), report.cpp (text, JSON, the shards' merge).
#ifndef TOOLS_SWEEP_SWEEP_H
#define TOOLS_SWEEP_SWEEP_H

#include "tools/hostkit/card.h"

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace sweep {

// ---- Card images (the host kit's) -----------------------------------------------

using hostkit::CardImage;
using hostkit::compareImages;
using hostkit::describe;
using hostkit::Entry;
using hostkit::hexDigest;
using hostkit::imageCard;
using hostkit::imageDigest;
using hostkit::Mismatch;

// ---- Claims (card.cpp) --------------------------------------------------------

// One thing the card claims to hold.
struct Claim {
    enum Kind { Country, Poi, StagedPoi } kind = Country;
    std::string subject; // the country's folder ("FRA"), "POI" or "staged POI"
    std::string version; // "7.2" (a missing VERSION or RELEASE shows as "?"), "2024.09"
    bool operator==(const Claim &o) const {
        return kind == o.kind && subject == o.subject && version == o.version;
    }
};
// The claims of the card in host folder `hostDir`, sorted by kind, then
// subject: every folder MAPPE/<CID> whose "CD_VER.NAV.INF" holds a VERSION
// or a RELEASE, "POI_VER.POI" and "TEMP_POI_VER.POI" when they hold a
// VERSION. Reads with the module's own readers (any thread; not while a
// script runs in this process).
std::vector<Claim> readClaims(const std::string &hostDir);
// "FRA 7.2", "POI 2024.09", "staged POI 2024.09".
std::string claimText(const Claim &claim);
// True when `path` (relative to the card) is one of the files behind a claim
// of `kind` about `subject`.
bool behindClaim(Claim::Kind kind, const std::string &subject, const std::string &path);

// A claim checked against the card before the run and the clean final card.
struct ClaimCheck {
    Claim claim;
    bool holds = false;
    // The card the files were compared with: "before" or "clean".
    std::string reference;
    std::vector<Mismatch> mismatches; // when it does not hold
};
// Checks every claim of `claims` made by the card `image`. A claim holds when
// it is the claim the card made before the run and its files are as they
// were then, or the claim of the clean final card and its files are as there.
std::vector<ClaimCheck> checkClaims(const std::vector<Claim> &claims, const CardImage &image,
                                    const std::vector<Claim> &beforeClaims, const CardImage &before,
                                    const std::vector<Claim> &cleanClaims, const CardImage &clean);

// ---- The sweep (sweep.cpp) ----------------------------------------------------

// One moment a cut is played at: the run cut before its operation k (k =
// N + 1: after its last one, as the power goes off when a run ends), and
// with `second` > 0 the re-run of that card cut before its operation
// `second` (--double).
struct CutPoint {
    uint64_t k = 0;
    uint64_t second = 0;
    bool operator<(const CutPoint &o) const { return k != o.k ? k < o.k : second < o.second; }
    bool operator==(const CutPoint &o) const { return k == o.k && second == o.second; }
};

// A phase of the script: the operations first..last of one builtin call
// ("UnCompress#3": the script's third builtin call), of the script's own
// calls between two builtin calls (call empty), or the moment after the last
// operation (call "end", first = last = N + 1). `site`: where the script
// makes that call ("map_upgrade.c:215"; empty: not known, or no call).
struct Phase {
    std::string call;
    uint64_t first = 0, last = 0;
    std::string site;
};
// The call of the phase after the last operation.
constexpr char k_end_phase[] = "end";
// "UnCompress (call 3)", "the script's own operations", "after the last operation".
std::string phaseText(const std::string &call);
// phaseText, and " at " the site when one is known: "UnCompress (call 3) at
// map_upgrade.c:215".
std::string callText(const std::string &call, const std::string &site);

struct SweepReport;

struct SweepOptions {
    std::string script;            // host path of the script
    std::vector<std::string> args; // its arguments
    std::string sdDir;             // the card (only read)
    std::string mediaDir;          // the medium mounted as "/DVD" (for its digest; may be empty)
    std::string mediumNote;     // which medium the sweep plays ("the medium", "a reduced copy...")
    long sdBlockSize = 0;       // block size "/SDH" reports on the copies; 0: sdDir's
    std::string scratchParent;  // where the copies go; empty: /dev/shm, else $TMPDIR or /tmp
    unsigned sample = 0;        // cut at this many points stratified over the phases; 0: all
    bool acceptSample = false;  // a partial sweep that finds nothing may end with 0
    bool lostWrites = false;    // unsynced data is cut short at each cut
    uint32_t seed = 1;          // of the lost-writes model and of the second cuts
    bool doubleCut = false;     // second cuts during the re-run
    unsigned secondCuts = 1;    // --double: second cuts per first cut
    bool fromFinal = false;     // sweep a run that starts from the card a clean run leaves
    std::vector<CutPoint> only; // --cut: play these cut points only
    unsigned shardIndex = 0;    // --shard I/N: every N-th cut point from I (1-based); 0: all
    unsigned shardCount = 0;
    // Per run; 0: the clean run scripthost::defaultTimeoutSeconds(), the
    // others ten times the clean run, at least 30 s; -1: no limit.
    int timeoutSeconds = 0;
    unsigned jobs = 1;   // worker processes
    std::string logPath; // the module's log of the clean run; empty: none
    // Called in the caller's process after each cut: cuts done, cuts planned.
    std::function<void(unsigned, unsigned)> progress;
    // Called in the caller's process once the clean run has shown N: the
    // report so far (N, the clean run's time, the phases), before any cut.
    std::function<void(const SweepReport &)> planned;
    // Only the clean run: N and its time, for the cost of a sweep.
    bool estimateOnly = false;
};

// The CPU seconds a sweep of `report`'s cut points would take: two runs per
// cut point (three with a second cut) at the clean run's time.
double estimatedCpuSeconds(const SweepReport &report, uint64_t points);
// "3.2 s", "14 min", "5.1 h", "80 days".
std::string durationText(double seconds);

// A run that did not end as the clean run did.
struct FailedRun {
    uint64_t k = 0;
    std::string what;       // "exit status 1 (the clean run: 0)", "timed out after 30 s"...
    std::string stderrTail; // the run's last lines on standard error
};

// A file whose unsynced data a cut (lost writes) cut short.
struct LostFile {
    std::string path; // on the card ("MAPPE/FRA/ROADS.DAT")
    uint64_t kept = 0, size = 0;
};

// What one cut showed.
struct CutResult {
    uint64_t k = 0;
    bool cut = false;                 // the run ended at operation k (not earlier)
    std::string op;                   // operation k as traced ("write /SDH/MAPPE/FRA/ROADS.DAT")
    std::string done;                 // the last operation done before the cut (empty: none)
    std::string call;                 // the builtin call that one belongs to ("" the script's own)
    std::string site;                 // where the script makes that call ("" not known)
    std::vector<LostFile> lost;       // what the cut's lost writes cut short
    std::vector<ClaimCheck> claims;   // what the card claimed after the cut
    uint64_t secondCut = 0;           // --double: the re-run's cut point (0: none)
    bool secondCutHit = false;        // the re-run ended there
    std::string secondDone;           // the re-run's last operation done before it
    std::vector<LostFile> secondLost; // what the second cut cut short
    std::vector<ClaimCheck> secondClaims;    // what the card claimed after the second cut
    bool rerunOk = false;                    // the re-run ended as the clean run did
    std::string rerunFailure;                // how it ended otherwise
    std::string rerunStderr;                 // its last lines on standard error then
    bool converged = false;                  // ...and left the clean final card
    std::vector<Mismatch> finalMismatches;   // how the final card differs from the clean one
    std::vector<std::string> changedOutside; // paths changed that the clean run never touches
    std::string error;                       // the cut could not be played (a host failure)
    CutPoint point() const { return CutPoint{k, secondCut}; }
};

// One result as one JSON line (between the processes, and in a shard's
// report), and back.
std::string encodeCut(const CutResult &r);
bool decodeCut(const std::string &line, CutResult &r);

struct SweepReport {
    std::string script;
    std::vector<std::string> args;
    uint64_t operations = 0; // N: the clean run's operations
    int cleanStatus = -1;    // the clean run's exit status
    double cleanSeconds = 0;
    std::vector<Claim> beforeClaims, cleanClaims;
    bool lostWrites = false, doubleCut = false, fromFinal = false;
    unsigned secondCuts = 0;
    uint32_t seed = 0;
    unsigned jobs = 0;
    std::vector<Phase> phases; // of the clean run, in order, the end last
    uint64_t planned = 0;      // cut points of the whole sweep
    std::string chosen;        // how the cuts played were chosen ("every cut point", ...)
    bool whole = true;         // every cut point of the whole sweep was played
    bool acceptSample = false; // a partial sweep that finds nothing passes as a sample
    unsigned shardIndex = 0, shardCount = 0;
    std::string mediumNote; // which medium was played
    // --reduce: the full medium's clean run (N, seconds) and the CPU time a
    // whole sweep of it would take; 0 when not measured.
    uint64_t fullOperations = 0;
    double fullCleanSeconds = 0, fullCpuSeconds = 0;
    // SHA-256 digests (hex) of the script, the card's and the medium's
    // images: a merge takes shards of one sweep only.
    std::string scriptDigest, cardDigest, mediumDigest;
    std::vector<CutResult> cuts; // by cut point
    double seconds = 0;          // the whole sweep
    std::string error;           // the sweep could not run (empty: it ran)
    int interruptSignal = 0;     // SIGINT or SIGTERM stopped it
    // Paths of the card itself that differ, after the sweep, from the card
    // it read first: another program changed it meanwhile, and the cuts'
    // copies may have been taken of different cards.
    std::vector<std::string> cardChanged;

    unsigned converged() const;
    unsigned falseClaimCuts() const;
    // True when no cut showed a fault: every cut converged with no false
    // claim, nothing changed outside the clean run's paths and nothing
    // changed the card itself.
    bool clean() const;
    // clean() over the whole sweep: a proof for this card, medium and script.
    bool passed() const;
    // 0 passed (or a partial sweep that found nothing, accepted, or a shard
    // that found nothing: the merge gives the verdict), 1 a fault found, 3 a
    // partial sweep that found nothing: no proof.
    int exitStatus() const;
};
// How a whole sweep chose its cuts (SweepReport::chosen).
constexpr char k_every_cut_point[] = "every cut point";
// The exit status of a partial sweep that found nothing.
constexpr int k_exit_not_a_proof = 3;

// The phases of a clean run from its trace's lines
// ("k\top\tpath\tcall\tsite", the site optional), the end (N + 1) last.
std::vector<Phase> phasesOf(const std::vector<std::string> &traceLines);

// The first cuts of a sweep of N operations: all of 1..N + 1, or `sample`
// of them stratified over `phases`: each phase gets a cut while the sample
// has enough (the end always), the rest shared by the phases' lengths and
// spread evenly within each.
std::vector<uint64_t> planCuts(uint64_t n, const std::vector<Phase> &phases, unsigned sample);
// With second cuts: for each first cut k, `perCut` points of the re-run
// spread over 1..n, their phase drawn from the seed and k.
std::vector<CutPoint> planPoints(const std::vector<uint64_t> &ks, uint64_t n, bool doubleCut,
                                 unsigned perCut, uint32_t seed);
// Every `count`-th point from the `index`-th (1-based).
std::vector<CutPoint> shardOf(const std::vector<CutPoint> &points, unsigned index, unsigned count);

// Runs the sweep. The devices other than "/SDH" are mounted by the caller
// (the medium as "/DVD", the flash as "/F"), and the unit stand-ins
// installed; the caller runs no task and no thread of its own. Returns the
// report; report.error says why the sweep could not run.
SweepReport runSweep(const SweepOptions &options);

// Shard reports of one sweep (their JSON, "upgsim sweep --shard I/N --json")
// combined into the report the whole sweep gives. False, with `error`, when
// they are not the shards of one sweep (another N, script, card, medium or
// option), a shard is missing or given twice, or one holds no results.
bool mergeShards(const std::vector<std::string> &jsonTexts, SweepReport &merged,
                 std::string &error);

// ---- The reduced medium (reduce.cpp) -------------------------------------------

struct ReduceSummary {
    unsigned archives = 0; // archives rebuilt
    uint64_t entries = 0;  // their entries on the medium
    uint64_t entriesKept = 0;
    unsigned files = 0; // other files copied as they are
    // "a reduced copy of the medium (2 archives with 9 of their 4006 entries...)".
    std::string text() const;
};
// Files kept per folder (and per POI group) of an archive by default.
constexpr unsigned k_reduce_files_per_folder = 3;

// Writes into `outDir` (created) a copy of the medium `mediaDir` for a sweep:
// every folder and every file that is no archive as it is (the descriptors
// and their size lines unchanged: a script's room checks take the branches
// they take on the medium), and each archive (.tgz, .tar.gz, .tar) rebuilt
// with every folder, every control file (.txt, .inf), the first `perFolder`
// other files of each folder and the first `perFolder` files of each POI
// group a "poi_ver_PREFIX.txt" announces. False, with `error`, on failure.
bool reduceMedium(const std::string &mediaDir, const std::string &outDir, unsigned perFolder,
                  ReduceSummary &summary, std::string &error);

// ---- Reports (report.cpp) -----------------------------------------------------

// Where in the script the cuts before operations from..to (1..N + 1; given
// the other way round, they are swapped) lie, read from the report's phases
// (those of its clean run):
// - "during UnCompress (call 4) at map_upgrade.c:215": operation k belongs
//   to that builtin call (the site left out when the call came without one);
// - "after UPGCopy (call 3) at map_upgrade.c:210, before UnCompress (call 4)
//   at map_upgrade.c:215": it is one of the script's own operations between
//   two calls ("before ..." alone before the first call, "after ..." alone
//   after the last; "among the script's own operations" with no call);
// - "after the last operation": k = N + 1;
// - "from <place of from> to <place of to>" for cuts that span places.
// Empty when the phases do not cover them (a report without its clean run).
// Only reads the report; any thread.
std::string placeText(const SweepReport &report, uint64_t from, uint64_t to);
// What the card claimed after `cut`, as the reports' timeline words it:
// "DEU 9.0, FRA 5.1 (FALSE)" (false claims marked), "(no claim)", or "(not
// played)" for a cut the host could not play.
std::string claimsAfter(const CutResult &cut);

// The report as text: the summary, the false claims grouped by range of k,
// the failed re-runs, the changes outside, the timeline of the card's states.
std::string renderText(const SweepReport &report);
// The report as one JSON object (docs/json.md, "upgsim sweep --json").
// `text` turns the card's and the runs' texts into valid UTF-8 (null: kept
// as they are, an invalid sequence replaced).
std::string renderJson(const SweepReport &report,
                       const std::function<std::string(const std::string &)> &text = nullptr);

} // namespace sweep

#endif
