// Medium checker: reads a whole map-upgrade medium once and tells what the
// unit would do with it and what would go wrong, before a disc is burned.
//
// Descriptors and version files are read with the carto tree's own code;
// which countries are offered (and why the others are not) comes from the
// carto tree's own decisions and log lines, played once per SD block size;
// every .tgz is verified to the end of its gzip stream, read by libarchive
// (the reference reader) and extracted with the module's own extractor into
// a scratch card, and the two outcomes are compared. Host tool code: it
// drives the simulated unit (hostsim) and is never built for the unit.
//
// Files: check.cpp (runMediaCheck, descriptors, POI delivery, space),
// countries.cpp (decideCountries), limits.cpp (how large a medium it
// analyses), archives.cpp (archive checks), report.cpp (text and JSON),
// treediff.cpp (card snapshots). Scratch folders come from the host kit
// (tools/hostkit).
#ifndef TOOLS_MEDIACHECK_MEDIACHECK_H
#define TOOLS_MEDIACHECK_MEDIACHECK_H

#include "builtins/upg_country_table.h"
#include "tools/hostkit/card.h"
#include "tools/mediacheck/finding_codes.h"

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace mediacheck {

// ---- Findings ----------------------------------------------------------------

// One finding, made through the table of codes (finding_codes.h, findings.h).
struct Finding {
    Finding() = default;
    Finding(Severity s, std::string c, std::string p, std::string m)
        : severity(s), code(std::move(c)), path(std::move(p)), message(std::move(m)) {}
    Severity severity = Severity::Error;
    std::string code;    // short stable code, e.g. "GZ_TRUNCATED" (a row of the table)
    std::string path;    // file concerned, relative to the medium's root
    std::string message; // what is wrong and what the unit would do
    int line = 0;        // line of `path` it comes from (1-based); 0: none
    // What it is about within its file, when it is one of several things
    // there (an archive's entry, a country of the POI delivery, a block
    // size): kind ("entry"), name, and the message without its lead.
    std::string subjectKind;
    std::string subject;
    std::string detail;
    // Findings of one code in one file are one finding (groupFindings):
    // how many it stands for, the subjects they cover (in order, each
    // once) and their own messages (empty when it stands for one).
    int count = 1;
    std::vector<std::string> covers;
    std::vector<std::string> messages;
};

// Sorts `findings` by path, then severity (errors first), code, line and
// message, and makes the findings of one code in one file (and one line of
// it, for findings of a line) one finding: its message
// tells how many there are and which subjects they cover (the shared text
// once when they say the same of each subject), `messages` keeps each one.
void groupFindings(std::vector<Finding> &findings);

// ---- Which countries the module offers ----------------------------------------

// How the module decided about one country folder of the medium.
enum class Decision {
    Offered,      // in the module's country list
    CardNewer,    // refused: the card's version/release is newer
    MediumFault,  // refused because of the medium (missing file, key, line...)
    CardFault,    // refused because the card cannot be read (block size)
    NoDescriptor, // not taken for a country: the folder's DESCRI.DAT does not open
};

struct CountryDecision {
    std::string dir;  // folder under MAPPE/ (the key of a country)
    std::string cid;  // "CID" of its information file; the folder name if not read
    std::string name; // name from the current-version file (may be empty)
    Decision decision = Decision::MediumFault;
    std::string reason; // why it is not offered (empty when offered)
    int listIndex = -1; // its place in the module's list (scan order), -1 when not offered
};

// Result of one play of the module's analysis.
struct OfferRun {
    int upgradeType = -1;                   // 1 country selection, 0 single country, -1 none
    std::string typeReason;                 // why the type is "none" (empty otherwise)
    std::string versionFile;                // the version file the module found (unit path)
    int listResult = -1;                    // Build_DVD_CIDInfoList's result (-1 when not run)
    std::vector<CountryDecision> countries; // every country folder, sorted by folder
};

// Plays the module's analysis (GetUpgradeType, the current-version file,
// Build_DVD_CIDInfoList) with a fresh carto tree against the devices mounted
// now ("/DVD" the medium, "/SDH" the card, at the block size it reports), and
// tells for every country folder of the medium whether it is offered and, if
// not, why, from the module's own log lines. `descriptor` is the main
// descriptor's name. Uses the log capture (left off afterwards). Any thread
// that may drive the module; not while a script runs.
OfferRun decideCountries(const std::string &descriptor = "DESCRI.DAT");

// ---- How large a medium the checker analyses (limits.cpp) --------------------

// The module keeps a descriptor's lines and records, and the countries it
// offers, in lists that grow ten elements at a time, each growth copying the
// whole list; and it reads the current-version file from its start for each
// country. Its analysis therefore takes time that grows with the square of
// these sizes: hours for a few megabytes. Beyond these limits `check` and
// `analyse` refuse the medium with the finding MEDIUM_TOO_LARGE, which names
// the limit, instead of running the analysis. Lines count as the module
// reads them: a line longer than the module's read (UPG_DESCRI_LINE_MAX,
// UPG_CURR_VERS_LINE_MAX characters) counts once per read.
struct MediumLimits {
    int mainDescriptorLines = 2048;   // the main descriptor
    int countryDescriptorLines = 128; // a country folder's DESCRI.DAT
    int countryFolders = 512;         // folders under MAPPE/
    int currentVersionLines = 2048;   // the current-version file CURR_VERS_NAVI.TXT
};

// The main descriptor `descriptor` of the medium mounted as "/DVD" against
// `limits`: true when within; otherwise false, with a MEDIUM_TOO_LARGE
// finding appended to `findings`. Stops reading soon after the limit. A
// file that is missing or not a regular file is within (the other checks
// tell about it). Any thread that may drive the module.
bool mainDescriptorWithinLimits(const std::string &descriptor, const MediumLimits &limits,
                                std::vector<Finding> &findings);

// The same for the country folders under "/DVD/MAPPE/", each one's
// DESCRI.DAT, and the current-version file at the unit path `currVersFile`
// (empty: none), one finding per file or folder beyond its limit.
bool countriesWithinLimits(const std::string &currVersFile, const MediumLimits &limits,
                           std::vector<Finding> &findings);

// The current-version file the module takes from the main descriptor
// `descriptor` of "/DVD" (unit path; empty when it lists none): one play of
// GetUpgradeType with a fresh carto tree. Call it on a main descriptor
// within its limit only.
std::string currentVersionFile(const std::string &descriptor);

// ---- The upgrade script's runs (outcome.h) ------------------------------------

// One power-cut sweep of a script run (upgsim sweep's machinery), asked for
// by the check with --power-cuts. The devices other than "/SDH" are mounted.
struct CutRequest {
    std::string script; // host path
    std::string card;   // host folder of the card state (only read)
    long blockSize = 0;
    unsigned sample = 0; // cuts spread evenly; 0: every operation
};
// Consecutive cuts played (in cut-point order) after which the card made the
// same claims: the cut points from..to (`cuts` of them played), what the
// card claimed as the sweep words it ("ESP 6.1, POI 2025.06 (FALSE)", "(no
// claim)", "(not played)") and whether any of those claims was false.
struct CutSpan {
    uint64_t from = 0, to = 0;
    unsigned cuts = 0;
    std::string claims;
    bool falseClaim = false;
    // Where the span lies in the script: its builtin calls and, where the
    // script was compiled with them, file and line ("during UnCompress
    // (call 4) at map_upgrade.c:215"); empty when unknown.
    std::string place;
};
// What the sweep found: one line per false claim or cut that did not
// converge (empty: every cut held), or the reason it could not run.
struct CutVerdict {
    std::vector<std::string> problems;
    std::string error;
    unsigned cuts = 0;       // cuts played
    uint64_t operations = 0; // N of the uncut run: the cut points are 1..N + 1
    std::vector<CutSpan> spans;
};
typedef std::function<CutVerdict(const CutRequest &)> CutSweeper;

// One run of the upgrade script on a card state, for the report.
struct ScriptRunReport {
    std::string state; // the card state's name
    long blockSize = 0;
    int status = -1;                    // the script's exit status (-1: it did not run)
    std::vector<std::string> installed; // countries whose tree and version file hold
    std::vector<std::string> offered;   // countries the module offers on it (sorted CIDs)
    unsigned cuts = 0;                  // power cuts played on it
    uint64_t operations = 0;            // the sweep's N (0: not swept)
    std::vector<CutSpan> spans;         // what the card claims by cut
};

// ---- The whole check ----------------------------------------------------------

struct CheckOptions {
    std::string mediaDir;      // host folder of the medium (required)
    std::string sdDir;         // host folder of the SD card; empty: an empty card
    long long sdCapacity = -1; // card size in bytes; <0: the folder's file system
    std::vector<long> blockSizes = {512, 4096, 8192, 16384, 32768};
    std::string descriptor = "DESCRI.DAT";
    std::string scratchParent; // where scratch folders go; empty: $TMPDIR or /tmp
    // Free bytes of the scratch folder's file system; <0: ask the file
    // system (a test plays a small one with it).
    long long scratchFree = -1;
    // Countries a script's country table holds; those the module lists past
    // it are never offered to the driver.
    int scriptTableSize = UPG_COUNTRY_MAX;
    // Sizes beyond which the medium is refused (MEDIUM_TOO_LARGE).
    MediumLimits limits;
    // Run the upgrade script on the card states that matter and prove what
    // it leaves (outcome.h): `script` (empty: the bundled reference for the
    // medium's type), each run stopped after `scriptTimeout` seconds;
    // `powerCuts`: each run also swept by `sweeper`, `cutSample` cuts (0:
    // every operation).
    bool runScript = false;
    std::string script;
    int scriptTimeout = 600;
    bool powerCuts = false;
    unsigned cutSample = 0;
    CutSweeper sweeper;
    // Called while archives are read: archive (relative path), bytes of all
    // archives read so far, total bytes of all archives.
    std::function<void(const std::string &, uint64_t, uint64_t)> progress;
};

struct CountryReport {
    std::string dir;
    std::string cid;
    std::string name;
    std::map<long, bool> offered;        // block size -> offered
    std::map<long, Decision> decisions;  // block size -> how the module decided
    std::map<long, std::string> reasons; // block size -> reason (only when not offered)
    std::map<long, int> listIndex;       // block size -> place in the module's list
    std::string archive;                 // its map archive (relative path), if listed
    uint64_t archiveBytes = 0;           // bytes its archive's files hold
};

struct CheckReport {
    std::string medium;     // the medium's host folder, as given
    int upgradeType = -1;   // 1, 0 or -1
    std::string typeReason; // why -1
    std::vector<long> blockSizes;
    std::vector<CountryReport> countries; // sorted by folder
    std::vector<Finding> findings;        // sorted by path, then severity, code, line, message
    std::vector<ScriptRunReport> runs;    // the upgrade script's runs (CheckOptions::runScript)
    int archivesRead = 0;
    uint64_t archiveBytes = 0; // compressed bytes of every archive read
    // Why the host could not check the medium (exit 3): no fault of the
    // medium, and no finding is made of it.
    std::string hostError;
    int errors() const;
    int warnings() const;
};

// The largest card the check considers when no capacity is given: an
// archive whose files hold more is a fault of the medium, found without
// extracting it whole.
const uint64_t k_largest_card = 32ULL << 30;

// Runs the whole check. Mounts "/DVD" on the medium and "/SDH" on the card
// (or a scratch card) itself, and leaves them unmounted; the unit stand-ins
// must be installed (unit::installAll). Returns 0 when no error was found, 1
// when any was, 2 when the options are unusable (no medium folder, no block
// size, a scratch folder that cannot be made): `report.findings` then holds
// one finding that says why; 3 when the host cannot check the medium (its
// scratch file system has too little room for an archive's files):
// `report.hostError` says why and names the room needed.
int runMediaCheck(const CheckOptions &options, CheckReport &report);

// The heading of the section of docs/medium.md that explains a finding's
// code ("DESCRI.DAT: the descriptors"), from the table of codes; nullptr for
// a code no section covers (a usage error, a scratch folder left over) or a
// name that is no code.
const char *docSection(const std::string &code);

// The report as text: a summary first (medium, type, countries per block
// size, error and warning counts), then the findings grouped by file, each
// with the section of docs/medium.md that explains it; lines are broken at
// spaces to fit 80 columns.
// `lead` then the words of `text`, broken at spaces into lines of at most
// `width` columns (a longer word stays whole), the following lines indented
// by `indent` spaces; ends with a newline. Shared by every text report.
std::string wrapText(const std::string &lead, const std::string &text, size_t indent,
                     size_t width = 80);
std::string renderText(const CheckReport &report);
// Why the module leaves country `c` out, each reason with the block sizes
// of `report` it holds at ("512, 4096"); empty when it is offered at all.
std::map<std::string, std::string> reasonsByBlockSizes(const CheckReport &report,
                                                       const CountryReport &c);
// The report as one JSON object (docs/json.md, "check --json").
std::string renderJson(const CheckReport &report);

// ---- Archive checks (archives.cpp) --------------------------------------------

// What one archive holds, as the reference reader saw it.
struct ArchiveSummary {
    bool readable = false;            // the gzip stream and the tar entries read to their end
    uint64_t fileBytes = 0;           // bytes of its regular files
    std::map<long, uint64_t> onCard;  // block size -> room its files take on a card
    std::vector<std::string> entries; // entry paths, in archive order
    bool tooLarge = false;            // its files hold more than the largest card
    bool scratchShort = false;        // ...more than the scratch card's room
    uint64_t scratchNeed = 0;         // bytes its files take on the scratch card
};

// The bounds of one archive's extraction, set before it starts: the largest
// card considered (more is a fault of the medium) and the room of the
// scratch card (more is the host's), in bytes; and the scratch file
// system's block size, to which each file is rounded up.
struct ArchiveLimits {
    uint64_t card = UINT64_MAX;
    uint64_t scratch = UINT64_MAX;
    uint64_t blockSize = 4096;
};

// Checks the archive at `relPath` (relative to the medium mounted as "/DVD",
// host path `hostPath`): gzip stream to its end, entries read by libarchive,
// extraction by the module's extractor into `scratchDir` mounted as "/SDH"
// (extracted into "/SDH/MAPPE/" as on the unit; emptied afterwards), and the
// two compared. Findings are appended. `progress` gets the compressed bytes
// read so far of this archive. The extraction writes at most the smaller of
// `limits`' two bounds; an archive past the card's is one finding and is
// read no further; one past the scratch card's is no finding
// (`summary.scratchShort`, with the room it needs).
void checkArchive(const std::string &relPath, const std::string &hostPath,
                  const std::string &scratchDir, const std::vector<long> &blockSizes,
                  const ArchiveLimits &limits, std::vector<Finding> &findings,
                  ArchiveSummary &summary, const std::function<void(uint64_t)> &progress);

// ---- Card snapshots (treediff.cpp) ----------------------------------------------

// A card's tree as the host kit images it: every file and folder, each file
// by its size and SHA-256 (symbolic links are not followed).
typedef hostkit::Entry FileState;
typedef hostkit::CardImage TreeSnapshot;

// Copies the tree `from` into the folder `to` (created; must not exist), for
// a throwaway copy of a card. False (with `to` removed) on any failure, and
// (errno ELOOP) when `from` holds a symbolic link, which could lead writes to
// the copy back to the real files.
// "country selection" (1), "single country" (0) or "no upgrade" (any other
// upgrade type), as the reports name the module's upgrade types.
const char *upgradeTypeName(int type);

bool copyTree(const std::string &from, const std::string &to);

// Reads every file and folder of `hostDir` (hostkit::imageCard). False
// (snapshot partial) when a folder or file cannot be read.
bool snapshotTree(const std::string &hostDir, TreeSnapshot &snapshot);

struct TreeChange {
    enum Kind { Added, Changed, Removed } kind;
    std::string path;
    uint64_t before = 0; // size before (0 when added)
    uint64_t after = 0;  // size after (0 when removed)
};
struct TreeDiff {
    std::vector<TreeChange> changes; // sorted by path
    uint64_t bytesWritten = 0;       // bytes of the added and changed files
};
// The files added, changed (size or content) and removed; folders are
// implied by their files.
TreeDiff diffTrees(const TreeSnapshot &before, const TreeSnapshot &after);
// "added    MAPPE/FRA/a.dat  (1234 bytes)" lines and a total line.
std::string renderDiff(const TreeDiff &diff);
// The same as one JSON object (docs/json.md, "run --json SCRIPT.c"):
// "mode", "added", "changed", "removed", "bytes_written", "complete" (both
// snapshots read every file) and "exit_status".
std::string renderDiffJson(const TreeDiff &diff, const std::string &mode, bool complete,
                           int exitStatus);

} // namespace mediacheck

#endif
