// The table of every finding `check` can make: its code, severity, the
// section of docs/medium.md that explains it and a one-line meaning. Every
// finding is made through it (findings.h), so a code that is not in the
// table does not compile, and docs/findings.md's table is generated from it.
// Host tool code (mediacheck only).
#ifndef TOOLS_MEDIACHECK_FINDING_CODES_H
#define TOOLS_MEDIACHECK_FINDING_CODES_H

#include <cstddef>
#include <string>

namespace mediacheck {

enum class Severity { Error, Warning };

// One enumerator per row of the table, in the table's order.
enum class Code {
    DescriMissing,
    DescriShortLine,
    DescriPathMissing,
    DescriPathCase,
    VersionFileCase,
    UpgradeNone,
    CountryBlockSize,
    CountryRefused,
    CountryNoDescri,
    CountryDescriCase,
    NothingOffered,
    CountryTableFull,
    GzTruncated,
    GzCorrupt,
    GzUnreadable,
    GzNotGzip,
    GzTrailingData,
    GzNotAFile,
    TarUnreadable,
    TarExtractFailed,
    TarGnuLongname,
    TarPaxHeader,
    TarName100,
    TarNonAsciiName,
    TarGnuIncremental,
    TarAfterEnd,
    TarLabelHeader,
    TarTooLarge,
    TarEmpty,
    TarContentMismatch,
    TarSparse,
    TarUnsafePath,
    TarAbsolutePath,
    TarNameChanged,
    TarMissingFile,
    TarSizeMismatch,
    TarStrayFile,
    TarHardLink,
    TarFolderSize,
    TarLinkIgnored,
    TarSpecialIgnored,
    TarCaseClash,
    PoiInfMissing,
    PoiInfBad,
    PoiOutsideTmp,
    PoiUnknownCountry,
    SpaceShort,
    ScratchLeftOver,
    MediumTooLarge,
    LintKeyUnknown,
    LintSpace,
    LintBom,
    LintCr,
    LintNotInteger,
    LintCode,
    LintFolderNotCid,
    LintCidTwice,
    LintKeyTwice,
    TodoMaps,
    TodoPois,
    RunFailed,
    RunNotInstalled,
    RunTreeDiffers,
    RunVersionFile,
    RunStaleFiles,
    RunChangedOutside,
    RunPoiNotStaged,
    RunPowerCut,
    RunHost,
    CdKeyMissing,
    CdValue,
    CdFolder,
    CdGroup,
    Usage,
};

// One row of the table.
struct CodeInfo {
    Code code;
    const char *name;    // the stable code of reports, e.g. "GZ_TRUNCATED"
    Severity severity;   // the severity its findings have
    bool eitherSeverity; // some of its findings are warnings, others errors
    const char *section; // heading in docs/medium.md; nullptr: none explains it
    const char *meaning; // one line (Markdown) for the documentation's table
};

// The rows, in the order of `Code`; `count` receives their number.
const CodeInfo *findingCodes(size_t &count);

// The row of `code`.
const CodeInfo &codeInfo(Code code);

// The row named `name`, or nullptr for a name that is no code.
const CodeInfo *findCode(const std::string &name);

// The documentation's table of the codes (Markdown, one row per code, ends
// with a newline).
std::string findingsTableMarkdown();

// `doc` with the text between its lines "<!-- findings:begin -->" and
// "<!-- findings:end -->" replaced by findingsTableMarkdown(). False (and
// `out` untouched) when the markers are missing or out of order.
bool withFindingsTable(const std::string &doc, std::string &out);

} // namespace mediacheck

#endif
