// The lint of a medium's text files: the descriptors, the countries'
// information and group files, the version files, the current-version file
// and the POI delivery's version file, read line by line the way the module
// and the bundled scripts read them. Every finding names its file and line
// (1-based). Host tool code (mediacheck only).
//
// What the readers do, and so what the lint looks for:
//   - descriptors: the module finds files by the last component of field 3
//     and never by key; the scripts compare field 1 exactly (no trimming)
//     with the keys they look for and open field 3 as it stands;
//   - key-and-value files: the module takes the first line that begins, in
//     its first column, with the key and a colon, and ends the value at the
//     first space, CR or LF; versions are compared as signed 32-bit numbers
//     (atoi), sizes read as unsigned 32-bit numbers (strtoul);
//   - a UTF-8 byte-order mark is read as part of the first line's text;
//   - lines end at LF; a CR elsewhere than before an LF ends no line.
#ifndef TOOLS_MEDIACHECK_LINT_H
#define TOOLS_MEDIACHECK_LINT_H

#include "tools/mediacheck/mediacheck.h"

#include <string>
#include <vector>

namespace mediacheck {

// The kinds of text file the lint reads.
enum class TextFile {
    MainDescriptor,    // the medium's DESCRI.DAT (or the name the script gives)
    CountryDescriptor, // MAPPE/<folder>/DESCRI.DAT
    CountryInfo,       // CD_VER.NAV.INF
    GroupFile,         // GRUPPO_4_CID.DAT.inf
    VersionFile,       // DVD_VER.NAV or CD_VER.NAV
    PoiInfo,           // the POI delivery's .inf
    PoiText,           // a .txt of the POI delivery's country folders (tmp_poi/<CID>/)
};

// One key that the module or a bundled script reads (docs/medium.md's key
// tables list the same).
struct KnownKey {
    const char *key;
    TextFile file;
    // What goes wrong when the file lacks it: true when the module or a
    // script then fails, skips the work or installs nonsense (a mistake in
    // such a key is an error), false when nothing in the upgrade depends
    // on it (a warning).
    bool needed;
    const char *readers; // who reads it, for the messages
};

// Every key the lint knows, by file.
const std::vector<KnownKey> &knownKeys();

// The known key nearest to `word` among those of `file` (A-Z and a-z alike,
// at most one edit for keys of up to four characters, two for longer ones),
// or nullptr when none is near.
const KnownKey *nearestKey(const std::string &word, TextFile file);

// Lints the text files of the medium in host folder `mediaDir` whose main
// descriptor is `descriptor` (relative to the root): every file that the
// descriptors name and that the module or the scripts read as text, and the
// .txt files in the POI delivery's archive (a finding's path is then the
// archive's, "/" and the member's: "POI/POI_UPD.tgz/tmp_poi/FRA/a.txt"). Files
// that are missing, not regular files or larger than 1 MiB are not read
// (other checks tell about them). Findings are appended, each with its
// line. Reads host files only; any thread.
void lintMedium(const std::string &mediaDir, const std::string &descriptor,
                std::vector<Finding> &findings);

} // namespace mediacheck

#endif
