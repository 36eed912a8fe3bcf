// The table of finding codes (see finding_codes.h) and the documentation's
// table made from it.
#include "tools/mediacheck/finding_codes.h"

#include <cstring>

namespace mediacheck {

namespace {

const char k_descri[] = "DESCRI.DAT: the descriptors";
const char k_version[] = "DVD_VER.NAV or CD_VER.NAV: the version file";
const char k_offer[] = "How the module decides what to offer";
const char k_country[] = "A country folder: MAPPE/CID/";
const char k_inf[] = "CD_VER.NAV.INF: code, version, release, sizes";
const char k_archives[] = "The archive rules of the unit's extractor";
const char k_poi[] = "The POI delivery";
const char k_large[] = "How large a medium upgsim analyses";
const char k_lint[] = "The text files, line by line";
const char k_project[] = "Making a medium with upgsim init and pack";
const char k_runs[] = "What the upgrade leaves on the card";
const char k_cd[] = "A single-country medium (CD)";

const Severity E = Severity::Error;
const Severity W = Severity::Warning;

const CodeInfo k_codes[] = {
    {Code::DescriMissing, "DESCRI_MISSING", E, false, k_descri,
     "a descriptor does not open or cannot be read"},
    {Code::DescriShortLine, "DESCRI_SHORT_LINE", W, false, k_descri,
     "a descriptor line with fewer than five fields"},
    {Code::DescriPathMissing, "DESCRI_PATH_MISSING", E, false, k_descri,
     "a descriptor names a file that is not on the medium"},
    {Code::DescriPathCase, "DESCRI_PATH_CASE", E, false, k_descri,
     "a descriptor names a file that exists only with other upper/lower case"},
    {Code::VersionFileCase, "VERSION_FILE_CASE", E, false, k_version,
     "a version file named in other case than `DVD_VER.NAV`, `CD_VER.NAV`, "
     "`CURR_VERS_NAVI.TXT`"},
    {Code::UpgradeNone, "UPGRADE_NONE", E, false, k_offer,
     "the module finds no upgrade (with its reason)"},
    {Code::CountryBlockSize, "COUNTRY_BLOCK_SIZE", E, false, k_inf,
     "a country offered at some block sizes, left out at others"},
    {Code::CountryRefused, "COUNTRY_REFUSED", E, false, k_offer,
     "a country never offered because of the medium"},
    {Code::CountryNoDescri, "COUNTRY_NO_DESCRI", W, false, k_country,
     "a folder under `MAPPE/` without `DESCRI.DAT`"},
    {Code::CountryDescriCase, "COUNTRY_DESCRI_CASE", E, false, k_country,
     "a country's `DESCRI.DAT` spelled in other case (the unit never offers it)"},
    {Code::NothingOffered, "NOTHING_OFFERED", E, false, k_offer,
     "no country offered at any block size: the disc installs nothing"},
    {Code::CountryTableFull, "COUNTRY_TABLE_FULL", E, false, k_offer,
     "more countries offered than the script's table holds (names those past it)"},
    {Code::GzTruncated, "GZ_TRUNCATED", E, false, k_archives,
     "the gzip stream is cut short (or the file is empty)"},
    {Code::GzCorrupt, "GZ_CORRUPT", E, false, k_archives,
     "damaged data, a reserved header flag, CRC or length trailer wrong"},
    {Code::GzUnreadable, "GZ_UNREADABLE", E, false, k_archives, "the archive cannot be read"},
    {Code::GzNotGzip, "GZ_NOT_GZIP", W, false, k_archives,
     "not gzip-compressed (the unit reads it as plain tar)"},
    {Code::GzTrailingData, "GZ_TRAILING_DATA", W, false, k_archives,
     "bytes other than zeros after the last gzip member (the unit ignores them)"},
    {Code::GzNotAFile, "GZ_NOT_A_FILE", E, false, k_archives,
     "a folder, FIFO, device node or socket where an archive is listed (never opened)"},
    {Code::TarUnreadable, "TAR_UNREADABLE", E, false, k_archives,
     "the reference reader stops in the tar data"},
    {Code::TarExtractFailed, "TAR_EXTRACT_FAILED", E, false, k_archives,
     "the module's extraction fails (with its reason, and the entry whose data it read as a "
     "header)"},
    {Code::TarGnuLongname, "TAR_GNU_LONGNAME", E, false, k_archives,
     "GNU long-name entry (stray `@LongLink`, cut name)"},
    {Code::TarPaxHeader, "TAR_PAX_HEADER", E, false, k_archives,
     "pax extended header (stray `PaxHeaders` file)"},
    {Code::TarName100, "TAR_NAME_100", E, false, k_archives,
     "a name of exactly 100 characters without a NUL"},
    {Code::TarNonAsciiName, "TAR_NON_ASCII_NAME", W, false, k_archives,
     "a name with non-ASCII characters (written as tar does; the card's file system may "
     "store it otherwise)"},
    {Code::TarGnuIncremental, "TAR_GNU_INCREMENTAL", E, false, k_archives,
     "a GNU incremental header: its times sit in the prefix field, the unit writes the entry "
     "under another folder"},
    {Code::TarAfterEnd, "TAR_AFTER_END", E, false, k_archives,
     "data after the end-of-archive blocks (two tars joined, a lone zero block between "
     "entries, text): the unit reads on, writes or overwrites files, or fails there"},
    {Code::TarLabelHeader, "TAR_LABEL_HEADER", W, false, k_archives,
     "a volume label: tar skips it, the unit writes an empty file of its name"},
    {Code::TarTooLarge, "TAR_TOO_LARGE", E, false, k_archives,
     "the archive's files hold more than the largest card considered (read no further)"},
    {Code::TarEmpty, "TAR_EMPTY", W, false, k_archives,
     "the archive holds no entry (a gzip of nothing or a tar of zero blocks)"},
    {Code::TarContentMismatch, "TAR_CONTENT_MISMATCH", E, false, k_archives,
     "the unit writes a file of the same size with other bytes"},
    {Code::TarSparse, "TAR_SPARSE", E, false, k_archives, "a sparse file"},
    {Code::TarUnsafePath, "TAR_UNSAFE_PATH", E, false, k_archives,
     "a path with `..`: the unit refuses it and stops the extraction"},
    {Code::TarAbsolutePath, "TAR_ABSOLUTE_PATH", W, false, k_archives,
     "an absolute name: the unit writes it under its destination folder, as GNU tar does "
     "(the finding says where)"},
    {Code::TarNameChanged, "TAR_NAME_CHANGED", E, false, k_archives,
     "the unit writes an entry under another name"},
    {Code::TarMissingFile, "TAR_MISSING_FILE", E, false, k_archives,
     "the unit does not write a file"},
    {Code::TarSizeMismatch, "TAR_SIZE_MISMATCH", E, false, k_archives,
     "the unit writes a file of another size"},
    {Code::TarStrayFile, "TAR_STRAY_FILE", E, false, k_archives,
     "the unit writes a file the archive does not declare (with the header or data it came "
     "from)"},
    {Code::TarHardLink, "TAR_HARD_LINK", E, false, k_archives,
     "a hard link to a regular file: tar writes the file there, the unit writes nothing"},
    {Code::TarFolderSize, "TAR_FOLDER_SIZE", E, false, k_archives,
     "a folder entry with a size field: the unit skips that much data, where tar reads the "
     "next headers, and loses those entries"},
    {Code::TarLinkIgnored, "TAR_LINK_IGNORED", W, false, k_archives,
     "a symbolic link, or a hard link to no regular file (the unit ignores it)"},
    {Code::TarSpecialIgnored, "TAR_SPECIAL_IGNORED", W, false, k_archives,
     "a device or FIFO (the unit ignores it)"},
    {Code::TarCaseClash, "TAR_CASE_CLASH", W, false, k_archives, "two names equal but for case"},
    {Code::PoiInfMissing, "POI_INF_MISSING", E, false, k_poi,
     "the POI delivery has no `.inf` beside it"},
    {Code::PoiInfBad, "POI_INF_BAD", E, true, k_poi,
     "the `.inf` is no file or empty (error) / has lines that are not `KEY:VALUE` or no "
     "`VERSION` (warning)"},
    {Code::PoiOutsideTmp, "POI_OUTSIDE_TMP", E, false, k_poi,
     "a POI entry not under `tmp_poi/<CID>/`"},
    {Code::PoiUnknownCountry, "POI_UNKNOWN_COUNTRY", W, false, k_poi,
     "`tmp_poi/<CID>/` for a country of neither the medium nor the card"},
    {Code::SpaceShort, "SPACE_SHORT", E, false, k_inf,
     "the offered countries do not fit on the card at a block size"},
    {Code::ScratchLeftOver, "SCRATCH_LEFT_OVER", W, false, nullptr,
     "a scratch folder of an interrupted check inside the medium (not read)"},
    {Code::MediumTooLarge, "MEDIUM_TOO_LARGE", E, false, k_large,
     "a descriptor, the current-version file or `MAPPE/` beyond the size the module's "
     "analysis takes in reasonable time (the limit named); the medium is not analysed "
     "further"},
    {Code::LintKeyUnknown, "LINT_KEY_UNKNOWN", E, true, k_lint,
     "a key close to one that is read (`MAP_ARCHIV`, `POI_DOWNLOD`), with the key it stands for: "
     "an error when the file then lacks that key"},
    {Code::LintSpace, "LINT_SPACE", E, true, k_lint,
     "a space next to a descriptor's comma, around a key or after a colon (nothing is trimmed)"},
    {Code::LintBom, "LINT_BOM", E, true, k_lint,
     "a byte-order mark at a text file's start, read as part of its first key (or a UTF-16 "
     "file)"},
    {Code::LintCr, "LINT_CR", E, true, k_lint,
     "a CR in the middle of a line (error), or CR LF line ends among LF ones (warning)"},
    {Code::LintNotInteger, "LINT_NOT_INTEGER", E, true, k_lint,
     "`VERSION`, `RELEASE`, a `CID_SIZE` key (or the POI `.inf`'s `DATE`) that is not digits "
     "only, or too large: how the unit reads it"},
    {Code::LintCode, "LINT_CODE", E, true, k_lint,
     "a `CID` that is empty or not three upper-case letters, a group file's `VER` that is not "
     "its country's `CID`"},
    {Code::LintFolderNotCid, "LINT_FOLDER_NOT_CID", E, false, k_lint,
     "a country folder not named after the `CID` of its `CD_VER.NAV.INF`"},
    {Code::LintCidTwice, "LINT_CID_TWICE", E, false, k_lint,
     "two country folders with the same `CID` (offered and installed twice)"},
    {Code::LintKeyTwice, "LINT_KEY_TWICE", W, false, k_lint,
     "a key that is read given twice in one file (the first counts; the last in the POI "
     "archive's text files)"},
    {Code::TodoMaps, "TODO_MAPS", E, false, k_project,
     "a country of a medium `upgsim init` made whose map data are not packed yet (the folder "
     "to fill and the `pack` to run)"},
    {Code::TodoPois, "TODO_POIS", E, false, k_project,
     "the POI delivery of such a medium, not packed yet (the folder to fill and the `pack` to "
     "run)"},
    {Code::RunFailed, "RUN_FAILED", E, false, k_runs,
     "the upgrade script did not end with 0 on a card state"},
    {Code::RunNotInstalled, "RUN_NOT_INSTALLED", E, false, k_runs,
     "a country the module offered (a CD's country) has no version file in place after the run"},
    {Code::RunTreeDiffers, "RUN_TREE_DIFFERS", E, false, k_runs,
     "a country claims its version but its folder does not hold exactly its archive's files"},
    {Code::RunVersionFile, "RUN_VERSION_FILE", E, false, k_runs,
     "an installed country's version file is not the medium's, or holds no numbers"},
    {Code::RunStaleFiles, "RUN_STALE_FILES", W, false, k_runs,
     "an installed country keeps files of the version before"},
    {Code::RunChangedOutside, "RUN_CHANGED_OUTSIDE", E, false, k_runs,
     "the run changed paths no installed country or POI staging explains"},
    {Code::RunPoiNotStaged, "RUN_POI_NOT_STAGED", E, false, k_runs,
     "the POI delivery is not staged by the merge's rules (or listed under another key)"},
    {Code::RunPowerCut, "RUN_POWER_CUT", E, false, k_runs,
     "a power cut during a run leaves a false claim or does not converge"},
    {Code::RunHost, "RUN_HOST", E, false, k_runs, "the host could not prepare a run (a card copy)"},
    {Code::CdKeyMissing, "CD_KEY_MISSING", E, false, k_cd,
     "a CD's country descriptor lacks a key the scripts or the unit read"},
    {Code::CdValue, "CD_VALUE", E, false, k_cd,
     "a CD's `CD_VER.NAV.INF` lacks a value or holds one that is no number or code"},
    {Code::CdFolder, "CD_FOLDER", E, false, k_cd,
     "a CD's country folder is not named after its code, or the version file lies in none"},
    {Code::CdGroup, "CD_GROUP", E, false, k_cd,
     "a CD's group file's `VER` is not the country's code"},
    {Code::Usage, "USAGE", E, false, nullptr,
     "the options cannot be used (no medium folder, no block size, no scratch folder)"},
};

const size_t k_count = sizeof k_codes / sizeof k_codes[0];
static_assert(sizeof k_codes / sizeof k_codes[0] == static_cast<size_t>(Code::Usage) + 1,
              "one row per code");

const char k_begin[] = "<!-- findings:begin -->\n";
const char k_end[] = "<!-- findings:end -->\n";

} // namespace

const CodeInfo *findingCodes(size_t &count) {
    count = k_count;
    return k_codes;
}

const CodeInfo &codeInfo(Code code) {
    const size_t i = static_cast<size_t>(code);
    return i < k_count ? k_codes[i] : k_codes[k_count - 1];
}

const CodeInfo *findCode(const std::string &name) {
    for (const CodeInfo &c : k_codes)
        if (name == c.name)
            return &c;
    return nullptr;
}

std::string findingsTableMarkdown() {
    std::string out = "| code | severity | explained in docs/medium.md | what |\n"
                      "|---|---|---|---|\n";
    for (const CodeInfo &c : k_codes) {
        const char *severity = c.eitherSeverity                ? "error/warning"
                               : c.severity == Severity::Error ? "error"
                                                               : "warning";
        out += std::string("| `") + c.name + "` | " + severity + " | " +
               (c.section != nullptr ? c.section : "-") + " | " + c.meaning + " |\n";
    }
    return out;
}

bool withFindingsTable(const std::string &doc, std::string &out) {
    const size_t begin = doc.find(k_begin);
    if (begin == std::string::npos)
        return false;
    const size_t body = begin + std::strlen(k_begin);
    const size_t end = doc.find(k_end, body);
    if (end == std::string::npos)
        return false;
    out = doc.substr(0, body) + findingsTableMarkdown() + doc.substr(end);
    return true;
}

} // namespace mediacheck
