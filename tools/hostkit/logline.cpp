// Reading a module log line back by its format: the format splits into fixed
// texts and conversions, and the line is matched piece by piece with
// backtracking, so that a string argument may hold the texts that follow it.
#include "tools/hostkit/logline.h"

#include <cctype>
#include <cstring>
#include <unordered_map>
#include <utility>

namespace hostkit {

namespace {

struct Format {
    std::vector<std::string> pieces; // fixed texts, one more than conversions
    std::vector<char> kinds;         // 'n' a number, 's' any text
};

bool isSpace(char c) {
    return c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

Format parse(const char *format) {
    Format f;
    f.pieces.emplace_back();
    for (const char *p = format; *p != '\0'; ++p) {
        if (*p != '%') {
            f.pieces.back() += *p;
            continue;
        }
        ++p;
        if (*p == '%') {
            f.pieces.back() += '%';
            continue;
        }
        while (*p != '\0' && std::strchr("-+ #0123456789.hlLqjzt", *p) != nullptr)
            ++p;
        if (*p == '\0')
            break;
        f.kinds.push_back(std::strchr("diuxXo", *p) != nullptr ? 'n' : 's');
        f.pieces.emplace_back();
    }
    while (!f.pieces.back().empty() && isSpace(f.pieces.back().back()))
        f.pieces.back().pop_back();
    return f;
}

bool isNumber(const std::string &text) {
    size_t i = text.size() > 1 && text[0] == '-' ? 1 : 0;
    if (i == text.size())
        return false;
    for (; i < text.size(); ++i)
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    return true;
}

// Matches conversion `k` and everything after it, starting at `at`.
bool matchFrom(const Format &f, const std::string &line, size_t at, size_t k,
               std::vector<std::string> &args) {
    if (k == f.kinds.size())
        return at == line.size();
    const std::string &next = f.pieces[k + 1];
    const bool last = k + 1 == f.kinds.size();
    if (last) {
        // The last fixed text ends the line.
        if (line.size() < at + next.size() ||
            line.compare(line.size() - next.size(), next.size(), next) != 0)
            return false;
        const std::string arg = line.substr(at, line.size() - next.size() - at);
        if (f.kinds[k] == 'n' && !isNumber(arg))
            return false;
        args[k] = arg;
        return true;
    }
    if (next.empty())
        return false; // two conversions side by side cannot be told apart
    // The longest reading first, as a greedy regular expression.
    size_t end = line.rfind(next);
    while (end != std::string::npos && end >= at) {
        const std::string arg = line.substr(at, end - at);
        if ((f.kinds[k] != 'n' || isNumber(arg)) &&
            matchFrom(f, line, end + next.size(), k + 1, args)) {
            args[k] = arg;
            return true;
        }
        if (end == 0)
            break;
        end = line.rfind(next, end - 1);
    }
    return false;
}

// The parsed form of `format`, kept per thread: a reader matches every line
// of a capture against the same few formats. A format text at an address
// seen before with other contents is parsed again.
const Format &parsed(const char *format) {
    thread_local std::unordered_map<const char *, std::pair<std::string, Format>> cache;
    auto it = cache.find(format);
    if (it == cache.end() || it->second.first != format)
        it = cache.insert_or_assign(format, std::make_pair(std::string(format), parse(format)))
                 .first;
    return it->second.second;
}

} // namespace

bool readLogLine(const std::string &line, const char *format, std::vector<std::string> *args) {
    const Format &f = parsed(format);
    std::string text = line;
    while (!text.empty() && isSpace(text.back()))
        text.pop_back();
    // Every fixed text must be in the line: most lines are refused here,
    // before the backtracking match.
    for (const std::string &piece : f.pieces)
        if (!piece.empty() && text.find(piece) == std::string::npos)
            return false;
    std::vector<std::string> found(f.kinds.size());
    bool matched = false;
    if (f.kinds.empty()) {
        matched = text.find(f.pieces[0]) != std::string::npos;
    } else if (f.pieces[0].empty()) {
        // A leading conversion starts the line (the tick of most lines).
        matched = matchFrom(f, text, 0, 0, found);
    } else {
        for (size_t at = text.find(f.pieces[0]); at != std::string::npos && !matched;
             at = text.find(f.pieces[0], at + 1))
            matched = matchFrom(f, text, at + f.pieces[0].size(), 0, found);
    }
    if (matched && args != nullptr)
        *args = found;
    return matched;
}

std::vector<std::string> logFormatPieces(const char *format) {
    return parse(format).pieces;
}

} // namespace hostkit
