// The simulator's machine-readable output: "--json" of the reporting
// commands, the one error object of every failing command, and the text
// conversion that keeps any byte string printable as JSON.
#include "tools/upgsim/upgsim.h"

#include "tools/hostkit/names.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <unistd.h>

namespace upgsim {

namespace {

bool s_json = false;
bool s_json_written = false;
std::string s_last_error;

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
    // A byte that starts no valid sequence is U+FFFD (a report that keeps a
    // name's bytes puts them in a field of their own, escaped).
    return hostkit::utf8Replaced(text);
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
