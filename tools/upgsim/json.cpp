// The simulator's machine-readable output: "--json" of the reporting
// commands, the one error object of every failing command, and the text
// conversion that keeps any byte string printable as JSON.
#include "tools/upgsim/upgsim.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <unistd.h>

namespace upgsim {

namespace {

bool s_json = false;
bool s_json_written = false;
std::string s_last_error;

// Length of the valid UTF-8 sequence starting at p (0 when not valid).
size_t utf8Sequence(const unsigned char *p, size_t left) {
    size_t n = 0;
    unsigned min = 0;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (n > left)
        return 0;
    unsigned cp = p[0] & (0xFF >> (n + 1));
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

} // namespace

int failure(const std::string &message, int code) {
    std::fprintf(stderr, "upgsim: %s\n", message.c_str());
    s_last_error = message;
    return code;
}

int usageError(const std::string &message) {
    return failure(message, EXIT_USAGE);
}

void addJsonFlag(CLI::App &sub) {
    sub.add_flag("--json", s_json, "the report as one JSON object (json.md)");
}

bool jsonOutput() {
    return s_json;
}

void printJson(const Json &value) {
    std::string text = value.dump(2, ' ', false, Json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
    std::fflush(stdout);
    s_json_written = true;
}

void printJsonText(const std::string &text) {
    std::fputs(text.c_str(), stdout);
    if (text.empty() || text.back() != '\n')
        std::fputc('\n', stdout);
    std::fflush(stdout);
    s_json_written = true;
}

std::string jsonText(const std::string &text) {
    std::string out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    const size_t size = text.size();
    for (size_t i = 0; i < size;) {
        if (p[i] < 0x80) {
            out += static_cast<char>(p[i++]);
            continue;
        }
        size_t n = utf8Sequence(p + i, size - i);
        if (n > 0) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        // A byte that starts no valid sequence: U+FFFD (a report that keeps
        // a name's bytes puts them in a field of their own, escaped).
        out += "\xEF\xBF\xBD";
        ++i;
    }
    return out;
}

StdoutAside::StdoutAside(bool active) {
    if (!active)
        return;
    std::fflush(stdout);
    m_saved = dup(STDOUT_FILENO);
    if (m_saved >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        close(m_saved);
        m_saved = -1;
    }
}

StdoutAside::~StdoutAside() {
    if (m_saved < 0)
        return;
    std::fflush(stdout);
    dup2(m_saved, STDOUT_FILENO);
    close(m_saved);
}

void finishJson(int exitCode, bool jsonWord) {
    if (!(s_json || jsonWord) || s_json_written || exitCode == EXIT_OK)
        return;
    printJson(
        {{"error", jsonText(s_last_error.empty() ? "failed" : s_last_error)}, {"code", exitCode}});
}

} // namespace upgsim
