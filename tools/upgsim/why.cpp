// Why the module failed, in one line: the module logs its failures as its
// own internal lines ("gzopen (a.tgz) : ERROR (errno = 0x2)"); the commands
// say them the GNU way ("a.tgz: No such file or directory") from the errno
// and the path those lines carry. Each line is recognised by the module's own
// format constant. The raw lines stay in --log and under --verbose.
#include "tools/upgsim/why.h"

#include "builtins/C_BUILTINS_LOG.h"
#include "config_system/ConfigSystem_LOG.h"
#include "platform/hostsim/hostsim.h"
#include "poi_upgrade/C_POI_UPG_LOG.h"
#include "tools/hostkit/logline.h"
#include "tools/mediacheck/mediacheck.h"
#include "tools/upgsim/upgsim.h"
#include "untgz/C_UNTGZ_LOG.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
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

using Args = std::vector<std::string>;

// One kind of line: the module's format, what it tells, which argument (by
// position in the format, the tick included) is the path, and the
// explanation from the arguments.
struct Rule {
    const char *format;
    FailureKind kind;
    int pathArg; // -1: none
    std::string (*say)(const std::string &line, const Args &a);
};

// An extractor's line about an archive, as the GNU tools say it: the line
// from the archive's name on ("a.tgz: not a valid tar file").
std::string fromArchive(const char *format, const std::string &line) {
    const std::vector<std::string> pieces = hostkit::logFormatPieces(format);
    const size_t at = line.find(pieces[1]);
    return at == std::string::npos ? line : line.substr(at + pieces[1].size());
}

template <const char *format> std::string sayFromArchive(const std::string &line, const Args &) {
    return fromArchive(format, line);
}

std::string sayPathErrno(const std::string &, const Args &a) {
    return a[a.size() - 2] + ": " + errnoText(a.back());
}

const std::vector<Rule> &rules() {
    static const std::vector<Rule> table = {
        {g_untgz_log_gzopen, FailureKind::ArchiveOpen, 1, sayPathErrno},
        {g_untgz_log_create_path, FailureKind::ExtractCreate, 1,
         [](const std::string &, const Args &a) {
             return "cannot create " + a[1] + ": " + errnoText(a[2]);
         }},
        {g_untgz_log_gzread1, FailureKind::ArchiveRead, -1,
         [](const std::string &, const Args &a) {
             return "the archive cannot be read: " + errnoText(a[1]);
         }},
        {g_untgz_log_gzread2, FailureKind::ArchiveRead, -1,
         [](const std::string &, const Args &a) {
             return "the archive cannot be read: " + errnoText(a[1]);
         }},
        {g_untgz_log_file_error, FailureKind::ExtractRefused, 3,
         sayFromArchive<g_untgz_log_file_error>},
        {g_untgz_log_not_tar, FailureKind::ExtractRefused, 1, sayFromArchive<g_untgz_log_not_tar>},
        {g_untgz_log_bad_checksum, FailureKind::ExtractRefused, 1,
         sayFromArchive<g_untgz_log_bad_checksum>},
        {g_untgz_log_size_refused, FailureKind::ExtractRefused, 1,
         sayFromArchive<g_untgz_log_size_refused>},
        {g_untgz_log_path_too_long, FailureKind::ExtractRefused, 1,
         sayFromArchive<g_untgz_log_path_too_long>},
        {g_untgz_log_outside_refused, FailureKind::ExtractRefused, 1,
         sayFromArchive<g_untgz_log_outside_refused>},
        {g_untgz_log_leaves_refused, FailureKind::ExtractRefused, 1,
         sayFromArchive<g_untgz_log_leaves_refused>},
        {g_builtins_log_copy_open, FailureKind::CopyOpen, 0, sayPathErrno},
        {g_builtins_log_copy_read, FailureKind::CopyIo, 0,
         [](const std::string &, const Args &a) {
             return a[0] + ": cannot read: " + errnoText(a[1]);
         }},
        {g_builtins_log_copy_write, FailureKind::CopyIo, 0,
         [](const std::string &, const Args &a) {
             return a[0] + ": cannot write: " + errnoText(a[1]);
         }},
        {g_builtins_log_copy_sync, FailureKind::CopyIo, 0,
         [](const std::string &, const Args &a) {
             return a[0] + ": cannot sync: " + errnoText(a[1]);
         }},
        {g_builtins_log_copy_close, FailureKind::CopyIo, 0,
         [](const std::string &, const Args &a) {
             return a[0] + ": cannot close: " + errnoText(a[1]);
         }},
        {g_builtins_log_copy_rename, FailureKind::CopyRename, 0,
         [](const std::string &, const Args &a) {
             return "cannot rename " + a[0] + " to " + a[1] + ": " + errnoText(a[2]);
         }},
        {g_builtins_log_copy_not_regular, FailureKind::CopyNotRegular, 0,
         [](const std::string &, const Args &a) { return a[0] + ": not a readable regular file"; }},
        {g_builtins_log_copy_path_too_long, FailureKind::CopyPathTooLong, -1,
         [](const std::string &, const Args &a) {
             return "a path is longer than " + a[0] + " characters";
         }},
        {g_poi_log_cannot_open, FailureKind::PoiOpen, 1, sayPathErrno},
        {g_poi_log_version_file, FailureKind::PoiVersionFile, 1, sayPathErrno},
        {g_poi_log_flush, FailureKind::PoiFlush, 1,
         [](const std::string &, const Args &a) {
             return "cannot flush " + a[1] + ": " + errnoText(a[2]);
         }},
        {g_untgz_log_flush, FailureKind::ExtractFlush, 2,
         [](const std::string &, const Args &a) { return "cannot flush " + a[2] + ": " + a[3]; }},
        {g_poi_log_read_folder, FailureKind::PoiFolder, 1, sayPathErrno},
        {g_config_log_file_crc, FailureKind::ConfigCrc, 0,
         [](const std::string &, const Args &a) {
             return configFile(a[0], "integrity check failed (its .ver does not match: "
                                     "upgsim stamp)");
         }},
        {g_config_log_flag_crc, FailureKind::ConfigCrc, 0,
         [](const std::string &, const Args &a) {
             return configFile(a[0], "integrity check failed (its .ver does not match: "
                                     "upgsim stamp)");
         }},
        {g_config_log_no_version, FailureKind::ConfigNoVersion, 0,
         [](const std::string &, const Args &a) {
             return configFile(a[0], "no version (no .ver beside it: upgsim stamp)");
         }},
        {g_config_log_cannot_read, FailureKind::ConfigUnreadable, 0,
         [](const std::string &, const Args &a) { return configFile(a[0], "cannot be read"); }},
        {g_config_log_versions_differ, FailureKind::ConfigVersions, -1,
         [](const std::string &, const Args &) {
             return std::string("the configuration files carry different versions");
         }},
        {g_config_log_boot_version, FailureKind::ConfigBootVersion, -1,
         [](const std::string &, const Args &) {
             return std::string("the boot database's configuration version cannot be read");
         }},
        {g_config_log_hardware_id, FailureKind::ConfigHardware, -1,
         [](const std::string &, const Args &) {
             return std::string("the hardware release cannot be read");
         }},
    };
    return table;
}

} // namespace

ModuleFailure readModuleFailure(const std::vector<hostsim::LogLine> &lines) {
    for (const hostsim::LogLine &line : lines) {
        if (line.source == hostsim::LogSource::Console)
            continue;
        std::string text = line.text;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
            text.pop_back();
        for (const Rule &rule : rules()) {
            Args args;
            if (!hostkit::readLogLine(text, rule.format, &args))
                continue;
            ModuleFailure f;
            f.kind = rule.kind;
            if (rule.pathArg >= 0)
                f.path = args[static_cast<size_t>(rule.pathArg)];
            f.reason = rule.say(text, args);
            return f;
        }
    }
    return ModuleFailure();
}

std::string moduleReason() {
    return readModuleFailure(hostsim::capturedLog()).reason;
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
