// "upgsim untar": extracts a .tgz archive with the module's extractor while the
// progress bargraph runs around it, as an upgrade script does with
// "ActivateBargraph", the extraction and "DeactivateBargraph".
#include "tools/upgsim/upgsim.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "unit/hmi.h"
#include "untgz/C_UNTGZ.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <cstdio>
#include <unistd.h>

namespace {

// The bargraph's total: the uncompressed size that the gzip trailer at the
// end of the archive gives (its last four bytes, little-endian). That is the
// whole archive for a single-member file; an archive of several members
// announces only its last member, and the terminal bar then stays full past
// its end (the HMI stand-in never draws more than 100 %). Reading the trailer
// costs nothing, where counting every member would inflate the archive twice.
// 0 when the archive cannot be read or is no regular file (a FIFO is not
// waited for: the extractor then refuses it). The bargraph takes an int:
// larger sizes are capped.
uint32_t uncompressedSize(const std::string &archive) {
    const int fd = hostsim::openRegularFile(archive);
    if (fd < 0)
        return 0;
    unsigned char trailer[4] = {0, 0, 0, 0};
    const off_t end = ::lseek(fd, 0, SEEK_END);
    const bool ok = end >= 4 && ::pread(fd, trailer, 4, end - 4) == 4;
    ::close(fd);
    if (!ok)
        return 0;
    uint32_t size = static_cast<uint32_t>(trailer[0]) | static_cast<uint32_t>(trailer[1]) << 8 |
                    static_cast<uint32_t>(trailer[2]) << 16 |
                    static_cast<uint32_t>(trailer[3]) << 24;
    return size > static_cast<uint32_t>(INT32_MAX) ? static_cast<uint32_t>(INT32_MAX) : size;
}

std::string baseName(const std::string &path) {
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void callBuiltin(const char *name, const std::vector<hostsim::EicArg> &args) {
    val_t result;
    if (!hostsim::callBuiltin(name, args, &result))
        std::fprintf(stderr, "upgsim: untar: builtin %s is not registered\n", name);
}

struct UntarOptions {
    std::string archive;
    std::string destination;
    bool relative = false;
};
UntarOptions s_untarOptions;

void defineUntar(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("ARCHIVE", s_untarOptions.archive, "the .tgz archive")->type_name("FILE")->required();
    sub.add_option("DEST", s_untarOptions.destination, "folder to extract into")
        ->type_name("DIR")
        ->required();
    sub.add_flag("--relative", s_untarOptions.relative, "drop the paths' leading '/'");
    upgsim::addJsonFlag(sub);
}

// The report of a successful extraction, with the counts the extractor kept
// as it wrote: folder entries made, files written and closed whole, and
// their bytes (links and devices are skipped by the extractor and not
// counted). Nothing reads the archive a second time, so nothing but the
// extraction decides the exit status.
int printUntarJson(C_UNTGZ &extractor, const std::string &archive, const std::string &dest) {
    unsigned long files = 0;
    unsigned long folders = 0;
    unsigned long long bytes = 0;
    extractor.GetLastCounts(files, folders, bytes);
    upgsim::printJson({{"archive", upgsim::jsonText(archive)},
                       {"destination", upgsim::jsonText(dest)},
                       {"entries", files + folders},
                       {"files", files},
                       {"folders", folders},
                       {"bytes", bytes},
                       {"result", 0}});
    return upgsim::EXIT_OK;
}

int runUntar(const upgsim::GlobalOptions &opts, CLI::App &) {
    const std::vector<std::string> args = {s_untarOptions.archive, s_untarOptions.destination};
    const bool verbose = opts.verbose;
    const bool relative = s_untarOptions.relative;
    if (args[0].empty() || args[1].empty())
        return upgsim::usageError("untar: ARCHIVE and DEST must not be empty");
    if (!upgsim::deviceMounted(opts, "untar", "ARCHIVE", args[0]) ||
        !upgsim::deviceMounted(opts, "untar", "DEST", args[1]))
        return upgsim::EXIT_USAGE;
    const std::string unusable = upgsim::creatableFolder(args[1]);
    if (!unusable.empty())
        return upgsim::failure("untar: " + unusable);
    const std::string &archive = args[0];
    // The extractor prefixes every entry path with the folder as it is.
    std::string dest = args[1];
    if (dest.back() != '/')
        dest += '/';

    if (C_BUILTINS::Instance() == nullptr)
        return upgsim::failure("untar: the module cannot start");
    C_UNTGZ *extractor = C_UNTGZ::GetInstance();
    if (extractor == nullptr)
        return upgsim::failure("untar: no extractor");

    if (opts.progressOnTerminal())
        unit::setBargraphOnTerminal(true);
    std::string text = "Extracting " + baseName(archive);
    uint32_t total = uncompressedSize(archive);
    callBuiltin("ActivateBargraph",
                {hostsim::EicArg::Ptr(text.c_str()), hostsim::EicArg::Int(static_cast<int>(total)),
                 hostsim::EicArg::Int(0)});
    int result;
    {
        // The extractor's entry lines stay off the JSON.
        upgsim::StdoutAside aside(upgsim::jsonOutput());
        result = extractor->Untar(archive.c_str(), dest.c_str(), verbose ? 1 : 0, relative ? 0 : 1);
    }
    if (result == 0)
        unit::fillBargraphOnTerminal(text);
    callBuiltin("DeactivateBargraph", {});
    unit::setBargraphOnTerminal(false);

    if (result != 0)
        return upgsim::failure(
            upgsim::withReason("untar", "extraction of '" + archive + "' failed"));
    if (upgsim::jsonOutput())
        return printUntarJson(*extractor, archive, args[1]);
    return upgsim::EXIT_OK;
}

const upgsim::Registrar k_untar_command({
    "untar",
    "extract a .tgz with the module's extractor and its bar",
    defineUntar,
    runUntar,
});

} // namespace
