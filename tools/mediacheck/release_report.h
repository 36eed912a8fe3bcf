// The release report of a checked medium, to attach to a ticket: the tool's
// version, every file of the medium with its size and SHA-256, the medium's
// size against a DVD and a CD, the countries offered per block size and per
// card state, the script's runs and their power cuts, and every finding. As
// Markdown (tables a code forge renders) or as one self-contained HTML page
// (inline CSS, no script, no link to anything, the power cuts drawn as an
// inline SVG). Host tool code, any thread.
#ifndef TOOLS_MEDIACHECK_RELEASE_REPORT_H
#define TOOLS_MEDIACHECK_RELEASE_REPORT_H

#include "tools/mediacheck/mediacheck.h"

#include <cstdint>
#include <string>
#include <vector>

namespace mediacheck {

// One file of the medium.
struct MediumFile {
    std::string path; // relative to the medium's root, '/'-separated
    uint64_t size = 0;
    std::string sha256; // lower-case hex
};

// Every regular file under `mediaDir`, sorted by path. False when the tree
// could not be read whole (a folder or file unreadable, a symbolic link or
// another special file met): `files` then holds what could be read.
bool listMediumFiles(const std::string &mediaDir, std::vector<MediumFile> &files);

// Discs are written in sectors of 2048 bytes, each file taking whole ones.
constexpr uint64_t k_sector_bytes = 2048;
struct Disc {
    const char *name;  // "DVD-5"
    const char *label; // "4.7 GB"
    uint64_t sectors;
};
// A single-layer DVD and a CD.
extern const Disc k_discs[2];
// The sectors `files` take on a disc (each file rounded up to whole
// sectors; the file system's own records are not counted).
uint64_t sectorsOf(const std::vector<MediumFile> &files);
// "12.3%": the share of `capacity` that `used` takes, rounded to a tenth.
std::string shareText(uint64_t used, uint64_t capacity);

// What the release report shows beside the check's own report.
struct ReleaseInfo {
    std::string version;           // the tool's version, as --version prints it
    std::vector<MediumFile> files; // listMediumFiles
    bool filesComplete = true;     // ...and its result
    bool cardGiven = false;        // the countries were decided on the card given (--sd)
};

enum class ReportFormat { Unknown, Markdown, Html };
// The format a report file's name asks for: ".md" Markdown, ".html" HTML.
ReportFormat reportFormatOf(const std::string &path);

std::string renderMarkdown(const CheckReport &report, const ReleaseInfo &info);
std::string renderHtml(const CheckReport &report, const ReleaseInfo &info);

// The cell texts of both formats, for their tests: a name from the medium
// as one Markdown table cell (no '|' or line break left to end it, no
// character left to format it), and as HTML text (every markup character
// an entity). Both take the bytes the text report prints (hostkit::printable).
std::string markdownCell(const std::string &text);
std::string htmlText(const std::string &text);

} // namespace mediacheck

#endif
