// "upgsim stamp": writes the integrity and version sidecar ("<file>.ver") of a
// file, as CheckCRCFile and GetFileVersion read it.
#include "tools/upgsim/upgsim.h"

#include "unit/integrity.h"

#include <cstdio>

namespace {

int runStamp(const upgsim::GlobalOptions &, std::vector<std::string> &args) {
    bool bad = false;
    std::string version;
    bool hasVersion = upgsim::takeOption(args, "--version", version, &bad);
    if (bad)
        return upgsim::usageError("--version needs a value");
    for (const std::string &arg : args)
        if (arg.compare(0, 2, "--") == 0)
            return upgsim::usageError("stamp: unknown option '" + arg + "'");
    if (!hasVersion || args.size() != 1)
        return upgsim::usageError("usage: upgsim stamp FILE --version TEXT");

    if (!unit::validFileVersionText(version))
        return upgsim::usageError(
            "stamp: the version text takes at most 95 characters, without CR, LF or NUL");

    std::string error;
    if (!unit::writeFileStamp(args[0], version, &error)) {
        std::fprintf(stderr, "upgsim: stamp: %s\n", error.c_str());
        return upgsim::EXIT_FAILURE_REPORTED;
    }
    std::printf("%s: version [%s]\n", unit::sidecarPath(args[0]).c_str(), version.c_str());
    return upgsim::EXIT_OK;
}

const upgsim::Registrar k_stamp_command({
    "stamp",
    "stamp FILE --version TEXT",
    "write FILE's sidecar FILE.ver with its version text and CRC-32 (unit paths such as "
    "/F/... resolve through the mounted devices)",
    runStamp,
});

} // namespace
