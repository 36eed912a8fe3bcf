// The upgrade's outcome: the check runs the upgrade script (the engineer's,
// or the bundled reference for the medium's type) on scratch copies of the
// card states that matter and proves, from the card each run leaves, that
// the upgrade did what the medium says: the script ended with 0, every
// country it put a version file in place for holds exactly its archive's
// tree (as tar reads it) with the medium's CD_VER.NAV.INF, every country the
// module offered is installed, nothing else changed but what the module
// documents (the POI staging folders, TEMP_POI_VER.POI), and the POI
// delivery is staged by the merge's rules. Each difference is one finding
// that names the card state, the country, the file and the cause when it is
// known. Host tool code (mediacheck).
#ifndef TOOLS_MEDIACHECK_OUTCOME_H
#define TOOLS_MEDIACHECK_OUTCOME_H

#include "tools/mediacheck/mediacheck.h"
#include "tools/mediacheck/tarstreams.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace mediacheck {

// The names the findings give the card states.
extern const char k_state_given[]; // the card given with --sd (a copy of it)
extern const char k_state_empty[]; // an empty card
extern const char k_state_older[]; // every country of the medium at an older version

// The final tree of the archive at host path `hostPath` as tar reads it
// (the reference reader, libarchive): every regular file by its normalised
// path, the last copy of a member winning. False, with libarchive's or the
// gzip stream's complaint in `error`, when it cannot be read to its end.
// `texts`, when given, gets the bytes of every ".txt" file of at most 64 KiB.
bool archiveTree(const std::string &hostPath, std::map<std::string, FileDigest> &tree,
                 std::string &error, std::map<std::string, std::string> *texts = nullptr);

// The bundled reference script for an upgrade type: "map_upgrade.c" for a
// country-selection medium (1), "single_country.c" for a CD (0), empty for
// none.
std::string referenceScript(int upgradeType);

struct OutcomeOptions {
    std::string script;   // host path; empty: referenceScript(upgradeType)
    std::string mediaDir; // the medium's host folder (mounted as "/DVD")
    std::string sdDir;    // the card given; empty: none
    std::string descriptor = "DESCRI.DAT";
    std::vector<long> blockSizes; // sorted, without repeats
    std::string scratchParent;    // where the card copies go; empty: $TMPDIR or /tmp
    int upgradeType = -1;         // the module's answer for the medium
    int timeoutSeconds = 600;     // per script run
    // --power-cuts: each run also swept; sample as in CutRequest.
    bool powerCuts = false;
    unsigned cutSample = 0;
    CutSweeper sweeper;
};

// Runs the script on every card state at the block sizes that matter: each
// state at the first block size, and at another only where the module offers
// another set of countries there (the script's work depends on nothing else
// of the block size but the bargraph's total). Appends the findings; the
// runs in `runs`. Main thread of a process that runs no task or thread of
// its own (each run forks); "/DVD" is mounted on the medium and the unit
// stand-ins are installed.
void checkOutcomes(const OutcomeOptions &options, std::vector<Finding> &findings,
                   std::vector<ScriptRunReport> &runs);

} // namespace mediacheck

#endif
