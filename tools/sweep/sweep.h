// Power-cut sweep of an upgrade script ("upgsim sweep"): the script runs once
// on a scratch copy of the card to count its state-changing operations (N)
// and keep the clean final card; then, for each cut point k, on a fresh copy,
// the run is cut before operation k, what the card then claims is checked
// against the files behind each claim, the script runs again uncut, and the
// card it leaves is compared with the clean one. The card given is only read.
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
// that the caller's process never runs the module. Files: card.cpp (card
// claims and their checks), sweep.cpp (the runs), report.cpp (text,
// JSON).
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
using hostkit::imageCard;
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

struct SweepOptions {
    std::string script;            // host path of the script
    std::vector<std::string> args; // its arguments
    std::string sdDir;             // the card (only read)
    long sdBlockSize = 0;          // block size "/SDH" reports on the copies; 0: sdDir's
    std::string scratchParent;     // where the copies go; empty: /dev/shm, else $TMPDIR or /tmp
    unsigned sample = 0;           // cut at this many points spread over 1..N; 0: all
    bool lostWrites = false;       // unsynced data is cut short at each cut
    uint32_t seed = 1;             // of the lost-writes model and of the second cuts
    bool doubleCut = false;        // a second cut during the re-run
    // Per run; 0: the clean run scripthost::defaultTimeoutSeconds(), the
    // others ten times the clean run, at least 30 s; -1: no limit.
    int timeoutSeconds = 0;
    unsigned jobs = 1;   // worker processes
    std::string logPath; // the module's log of the clean run; empty: none
    // Called in the caller's process after each cut: cuts done, cuts planned.
    std::function<void(unsigned, unsigned)> progress;
};

// A run that did not end as the clean run did.
struct FailedRun {
    uint64_t k = 0;
    std::string what;       // "exit status 1 (the clean run: 0)", "timed out after 30 s"...
    std::string stderrTail; // the run's last lines on standard error
};

// What one cut showed.
struct CutResult {
    uint64_t k = 0;
    bool cut = false;               // the run ended at operation k (not earlier)
    std::string op;                 // operation k as traced ("write /SDH/MAPPE/FRA/ROADS.DAT")
    std::vector<ClaimCheck> claims; // what the card claimed after the cut
    uint64_t secondCut = 0;         // --double: the re-run's cut point (0: none)
    bool secondCutHit = false;      // the re-run ended there
    std::vector<ClaimCheck> secondClaims;    // what the card claimed after the second cut
    bool rerunOk = false;                    // the re-run ended as the clean run did
    std::string rerunFailure;                // how it ended otherwise
    std::string rerunStderr;                 // its last lines on standard error then
    bool converged = false;                  // ...and left the clean final card
    std::vector<Mismatch> finalMismatches;   // how the final card differs from the clean one
    std::vector<std::string> changedOutside; // paths changed that the clean run never touches
    std::string error;                       // the cut could not be played (a host failure)
};

struct SweepReport {
    std::string script;
    std::vector<std::string> args;
    uint64_t operations = 0; // N: the clean run's operations
    int cleanStatus = -1;    // the clean run's exit status
    double cleanSeconds = 0;
    std::vector<Claim> beforeClaims, cleanClaims;
    bool lostWrites = false, doubleCut = false;
    uint32_t seed = 0;
    unsigned jobs = 0;
    std::vector<CutResult> cuts; // by k
    double seconds = 0;          // the whole sweep
    std::string error;           // the sweep could not run (empty: it ran)
    int interruptSignal = 0;     // SIGINT or SIGTERM stopped it
    // Paths of the card itself that differ, after the sweep, from the card
    // it read first: another program changed it meanwhile, and the cuts'
    // copies may have been taken of different cards.
    std::vector<std::string> cardChanged;

    unsigned converged() const;
    unsigned falseClaimCuts() const;
    // True when every cut converged with no false claim, nothing changed
    // outside the clean run's paths and nothing changed the card itself.
    bool passed() const;
};

// The k's cut: all of 1..n, or `sample` of them spread evenly (the first and
// the last included).
std::vector<uint64_t> planCuts(uint64_t n, unsigned sample);

// Runs the sweep. The devices other than "/SDH" are mounted by the caller
// (the medium as "/DVD", the flash as "/F"), and the unit stand-ins
// installed; the caller runs no task and no thread of its own. Returns the
// report; report.error says why the sweep could not run.
SweepReport runSweep(const SweepOptions &options);

// ---- Reports (report.cpp) -----------------------------------------------------

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
