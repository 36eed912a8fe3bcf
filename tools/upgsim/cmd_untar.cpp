// "upgsim untar": extracts a .tgz archive with the module's extractor while the
// progress bargraph runs around it, as an upgrade script does with
// "ActivateBargraph", the extraction and "DeactivateBargraph".
#include "tools/upgsim/upgsim.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "unit/hmi.h"
#include "untgz/C_UNTGZ.h"

#include <cstdint>
#include <cstdio>

namespace {

// Tick rate when none is given: a bargraph step every 500 ticks is then under
// a second.
const int k_untar_tick_hz = 600;

// Uncompressed size recorded in the gzip trailer (its last 4 bytes,
// little-endian, the size modulo 2^32), an estimate of the bytes the
// extraction writes. 0 when it cannot be read.
uint32_t gzipTrailerSize(const std::string &hostPath) {
    FILE *file = std::fopen(hostPath.c_str(), "rb");
    if (file == nullptr)
        return 0;
    unsigned char trailer[4] = {0, 0, 0, 0};
    bool ok = std::fseek(file, -4, SEEK_END) == 0 && std::fread(trailer, 1, 4, file) == 4;
    std::fclose(file);
    if (!ok)
        return 0;
    return static_cast<uint32_t>(trailer[0]) | static_cast<uint32_t>(trailer[1]) << 8 |
           static_cast<uint32_t>(trailer[2]) << 16 | static_cast<uint32_t>(trailer[3]) << 24;
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

int runUntar(const upgsim::GlobalOptions &opts, std::vector<std::string> &args) {
    bool verbose = upgsim::takeFlag(args, "--verbose");
    bool relative = upgsim::takeFlag(args, "--relative");
    for (const std::string &arg : args)
        if (arg.compare(0, 2, "--") == 0)
            return upgsim::usageError("untar: unknown option '" + arg + "'");
    if (args.size() != 2)
        return upgsim::usageError("usage: upgsim untar ARCHIVE DEST [--verbose] [--relative]");

    if (args[0].empty() || args[1].empty())
        return upgsim::usageError("untar: ARCHIVE and DEST must not be empty");
    const std::string &archive = args[0];
    // The extractor prefixes every entry path with the folder as it is.
    std::string dest = args[1];
    if (dest.back() != '/')
        dest += '/';

    if (opts.tickHz == 0)
        hostsim::setTickRate(k_untar_tick_hz);
    if (C_BUILTINS::Instance() == nullptr) {
        std::fprintf(stderr, "upgsim: untar: the module cannot start\n");
        return upgsim::EXIT_FAILURE_REPORTED;
    }
    C_UNTGZ *extractor = C_UNTGZ::GetInstance();
    if (extractor == nullptr) {
        std::fprintf(stderr, "upgsim: untar: no extractor\n");
        return upgsim::EXIT_FAILURE_REPORTED;
    }

    if (opts.progressOnTerminal())
        unit::setBargraphOnTerminal(true);
    std::string text = "Extracting " + baseName(archive);
    uint32_t total = gzipTrailerSize(hostsim::resolvePath(archive));
    callBuiltin("ActivateBargraph",
                {hostsim::EicArg::Ptr(text.c_str()), hostsim::EicArg::Int(static_cast<int>(total)),
                 hostsim::EicArg::Int(0)});
    int result = extractor->Untar(archive.c_str(), dest.c_str(), verbose ? 1 : 0, relative ? 0 : 1);
    callBuiltin("DeactivateBargraph", {});
    unit::setBargraphOnTerminal(false);

    if (result != 0) {
        std::fprintf(stderr, "upgsim: untar: extraction of '%s' failed\n", archive.c_str());
        return upgsim::EXIT_FAILURE_REPORTED;
    }
    return upgsim::EXIT_OK;
}

const upgsim::Registrar k_untar_command({
    "untar",
    "untar ARCHIVE DEST [--verbose] [--relative]",
    "extract the .tgz ARCHIVE into folder DEST with the module's extractor, showing its "
    "progress bar (--verbose: detailed log; --relative: drop the leading '/' of the paths)",
    runUntar,
});

} // namespace
