// Reading a module log line back by the printf format that wrote it. The
// module declares the formats of the lines a tool recognises as named
// constants; a tool matches a line against the same constant, so it needs
// no text of its own and a reworded line fails a test instead of a verdict.
#ifndef TOOLS_HOSTKIT_LOGLINE_H
#define TOOLS_HOSTKIT_LOGLINE_H

#include <string>
#include <vector>

namespace hostkit {

// True when `line` reads as written by `format`; `args` (when given) then
// holds the text of each conversion in order. The fixed texts of the format
// must appear in order, the first anywhere in the line; a numeric
// conversion (d, i, u, x, X, with any length) must read as a number; a
// string may be empty and may hold the text that follows it (the longest
// reading wins, as a regular expression's ".*" would). White space at the
// end of the line and of the format is ignored: the capture trims lines.
bool readLogLine(const std::string &line, const char *format,
                 std::vector<std::string> *args = nullptr);

// The fixed texts of `format` between its conversions ("%%" read as "%"),
// one more than its conversions: the pieces a matcher may look for.
std::vector<std::string> logFormatPieces(const char *format);

} // namespace hostkit

#endif
