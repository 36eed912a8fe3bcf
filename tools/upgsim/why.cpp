// Why the module failed, in one line: the module logs its failures as its
// own internal lines ("gzopen (a.tgz) : ERROR (errno = 0x2)"); the commands
// say them the GNU way ("a.tgz: No such file or directory") from the errno
// and the path those lines carry. The raw lines stay in --log and under
// --verbose.
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"
#include "tools/mediacheck/mediacheck.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
// GCC's maybe-uninitialized analysis reports a false positive inside
// libstdc++'s <regex> (std::function in its automaton) at -O1, the
// sanitizer builds' level.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <regex>
#pragma GCC diagnostic pop
#include <sstream>
#include <sys/stat.h>

namespace upgsim {

namespace {

std::string errnoText(const std::string &hex) {
    const int err = static_cast<int>(std::strtol(hex.c_str(), nullptr, 16));
    return err == 0 ? std::string("failed (no error number)") : std::string(std::strerror(err));
}

bool exists(const std::string &unitPath) {
    struct stat st;
    return ::stat(hostsim::resolvePath(unitPath).c_str(), &st) == 0;
}

// A file the configuration service could not use: absent, or present but
// refused for `what`.
std::string configFile(const std::string &path, const std::string &what) {
    return path + ": " + (exists(path) ? what : std::string(std::strerror(ENOENT)));
}

struct Rule {
    std::regex pattern;
    std::string (*say)(const std::smatch &m);
};

const std::vector<Rule> &rules() {
    static const std::vector<Rule> table = {
        {std::regex(R"(gzopen \((.*)\) : ERROR \(errno = 0x([0-9A-Fa-f]+)\))"),
         [](const std::smatch &m) { return m[1].str() + ": " + errnoText(m[2]); }},
        {std::regex(R"(\(CreatePath\): fopen \((.*)\) : ERROR \(errno = 0x([0-9A-Fa-f]+)\))"),
         [](const std::smatch &m) {
             return "cannot create " + m[1].str() + ": " + errnoText(m[2]);
         }},
        {std::regex(R"(gzread[12] error \(errno = 0x([0-9A-Fa-f]+)\))"),
         [](const std::smatch &m) { return "the archive cannot be read: " + errnoText(m[1]); }},
        {std::regex(R"(\(UntarBlock\): ((?!WARNING)[^:]+: .+))"),
         [](const std::smatch &m) { return m[1].str(); }},
        {std::regex(R"(open of '(.*)' returned error errno = 0x([0-9A-Fa-f]+))"),
         [](const std::smatch &m) { return m[1].str() + ": " + errnoText(m[2]); }},
        {std::regex(R"((read|write|close) of '(.*)' returned error errno = 0x([0-9A-Fa-f]+))"),
         [](const std::smatch &m) {
             return m[2].str() + ": cannot " + m[1].str() + ": " + errnoText(m[3]);
         }},
        {std::regex(R"(rename of '(.*)' to '(.*)' returned error errno = 0x([0-9A-Fa-f]+))"),
         [](const std::smatch &m) {
             return "cannot rename " + m[1].str() + " to " + m[2].str() + ": " + errnoText(m[3]);
         }},
        {std::regex(R"(BuiltinsCopy: '(.*)' is not a readable regular file)"),
         [](const std::smatch &m) { return m[1].str() + ": not a readable regular file"; }},
        {std::regex(R"(UPGCopy ERROR: path longer than (\d+) characters)"),
         [](const std::smatch &m) {
             return "a path is longer than " + m[1].str() + " characters";
         }},
        {std::regex(R"(cannot open (\S+) \(errno = 0x([0-9A-Fa-f]+)\))"),
         [](const std::smatch &m) { return m[1].str() + ": " + errnoText(m[2]); }},
        {std::regex(R"(version file (\S+) cannot be read \(errno = 0x([0-9A-Fa-f]+)\))"),
         [](const std::smatch &m) { return m[1].str() + ": " + errnoText(m[2]); }},
        {std::regex(R"(flush of (\S+) failed \(errno = 0x([0-9A-Fa-f]+)\))"),
         [](const std::smatch &m) {
             return "cannot flush " + m[1].str() + ": " + errnoText(m[2]);
         }},
        {std::regex(R"(cannot flush '(.*)' to the medium: (.*))"),
         [](const std::smatch &m) { return "cannot flush " + m[1].str() + ": " + m[2].str(); }},
        {std::regex(R"(reading folder (\S+) failed \(errno = 0x([0-9A-Fa-f]+)\))"),
         [](const std::smatch &m) { return m[1].str() + ": " + errnoText(m[2]); }},
        {std::regex(R"(ERROR - \w+ : CRC error \[(.*)\])"),
         [](const std::smatch &m) {
             return configFile(m[1], "integrity check failed (its .ver does not match: "
                                     "upgsim stamp)");
         }},
        {std::regex(R"(ERROR - \w+ : GetFileVersion error \[(.*)\])"),
         [](const std::smatch &m) {
             return configFile(m[1], "no version (no .ver beside it: upgsim stamp)");
         }},
        {std::regex(R"(ERROR - \w+ : cannot read \[(.*)\])"),
         [](const std::smatch &m) { return configFile(m[1], "cannot be read"); }},
        {std::regex(R"(ERROR - CheckFileConfigSystem : not same file version)"),
         [](const std::smatch &) {
             return std::string("the configuration files carry different versions");
         }},
        {std::regex(R"(InterGetDBBootConfigSystemVersion)"),
         [](const std::smatch &) {
             return std::string("the boot database's configuration version cannot be read");
         }},
        {std::regex(R"(ERROR - InitConfigSystem : get hardware ID)"),
         [](const std::smatch &) { return std::string("the hardware release cannot be read"); }},
    };
    return table;
}

} // namespace

std::string moduleReason() {
    for (const hostsim::LogLine &line : hostsim::capturedLog()) {
        if (line.source == hostsim::LogSource::Console)
            continue;
        std::string text = line.text;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
            text.pop_back();
        for (const Rule &rule : rules()) {
            std::smatch m;
            if (std::regex_search(text, m, rule.pattern))
                return rule.say(m);
        }
    }
    return std::string();
}

std::string withReason(const std::string &what, const std::string &fallback) {
    const std::string why = moduleReason();
    return what + ": " + (why.empty() ? fallback : why);
}

std::string creatableFolder(const std::string &unitPath) {
    std::string path = unitPath;
    while (path.size() > 1 && path.back() == '/')
        path.pop_back();
    const std::string host = hostsim::resolvePath(path);
    struct stat st;
    if (::stat(host.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode) ? std::string() : path + ": " + std::strerror(ENOTDIR);
    if (host != path)
        return std::string(); // on a mounted device
    const std::size_t slash = path.find_last_of('/');
    const std::string parent = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path.substr(0, slash);
    if (::stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        return std::string();
    return path + ": " + std::strerror(ENOENT) + " (its parent folder " + parent +
           " does not exist)";
}

std::string wrapText(const std::string &lead, const std::string &text, std::size_t indent,
                     std::size_t width) {
    return mediacheck::wrapText(lead, text, indent, width);
}

} // namespace upgsim
