// "upgsim stamp": writes the integrity and version sidecar ("<file>.ver") of a
// file, as CheckCRCFile and GetFileVersion read it.
#include "tools/upgsim/upgsim.h"

#include "unit/integrity.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace {

struct StampOptions {
    std::string file;
    std::string version;
};
StampOptions s_stampOptions;

void defineStamp(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("FILE", s_stampOptions.file, "the file (a unit or host path)")
        ->type_name("")
        ->required()
        ->check(upgsim::nonEmpty());
    sub.add_option("--version", s_stampOptions.version, "its version text")
        ->type_name("TEXT")
        ->required()
        ->check(upgsim::nonEmpty());
}

int runStamp(const upgsim::GlobalOptions &opts, CLI::App &) {
    const std::vector<std::string> args = {s_stampOptions.file};
    const std::string &version = s_stampOptions.version;
    if (!upgsim::deviceMounted(opts, "stamp", "FILE", args[0]))
        return upgsim::EXIT_USAGE;
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
    "write FILE.ver: FILE's version text and CRC-32",
    defineStamp,
    runStamp,
});

} // namespace
