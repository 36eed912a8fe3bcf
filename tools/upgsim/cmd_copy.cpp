// "upgsim copy" and "upgsim blocksize": the builtins "UPGCopy" (copy with
// folder creation and retries, optionally a move) and "GetSDBlockSize", called
// as an upgrade script calls them.
#include "tools/upgsim/upgsim.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cstdio>

namespace {

// Calls a builtin of the started module; false (with a message) when the
// module cannot start or the builtin is not registered.
bool callModule(const char *command, const char *name, const std::vector<hostsim::EicArg> &args,
                int &result) {
    if (C_BUILTINS::Instance() == nullptr) {
        upgsim::failure(std::string(command) + ": the module cannot start");
        return false;
    }
    val_t value;
    if (!hostsim::callBuiltin(name, args, &value)) {
        upgsim::failure(std::string(command) + ": builtin " + name + " is not registered");
        return false;
    }
    result = value.ival;
    return true;
}

struct CopyOptions {
    std::string source;
    std::string destination;
    bool move = false;
};
CopyOptions s_copy;

void defineCopy(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("SRC", s_copy.source, "file to copy (a unit or host path)")
        ->type_name("FILE")
        ->required();
    sub.add_option("DEST", s_copy.destination, "destination file")->type_name("FILE")->required();
    sub.add_flag("--move", s_copy.move, "remove SRC after a first-time success");
    upgsim::addJsonFlag(sub);
}

int runCopy(const upgsim::GlobalOptions &opts, CLI::App &) {
    const bool move = s_copy.move;
    const std::vector<std::string> args = {s_copy.source, s_copy.destination};
    if (args[0].empty() || args[1].empty())
        return upgsim::usageError("copy: SRC and DEST must not be empty");
    if (!upgsim::deviceMounted(opts, "copy", "SRC", args[0]) ||
        !upgsim::deviceMounted(opts, "copy", "DEST", args[1]))
        return upgsim::EXIT_USAGE;

    int result = -1;
    if (!callModule("copy", "UPGCopy",
                    {hostsim::EicArg::Ptr(args[0].c_str()), hostsim::EicArg::Ptr(args[1].c_str()),
                     hostsim::EicArg::Int(move ? 1 : 0)},
                    result))
        return upgsim::EXIT_FAILURE_REPORTED;
    if (result != 0)
        return upgsim::failure(
            upgsim::withReason("copy", "UPGCopy of '" + args[0] + "' to '" + args[1] + "' failed"));
    if (upgsim::jsonOutput())
        upgsim::printJson({{"source", upgsim::jsonText(args[0])},
                           {"destination", upgsim::jsonText(args[1])},
                           {"move", move},
                           {"result", result}});
    else
        std::printf("%s %s -> %s\n", move ? "moved" : "copied", args[0].c_str(), args[1].c_str());
    return upgsim::EXIT_OK;
}

void defineBlockSize(CLI::App &sub, upgsim::GlobalOptions &) {
    upgsim::addJsonFlag(sub);
}

int runBlockSize(const upgsim::GlobalOptions &opts, CLI::App &) {
    if (!upgsim::deviceMounted(opts, "blocksize", "the SD card", "/SDH"))
        return upgsim::EXIT_USAGE;
    int result = -1;
    if (!callModule("blocksize", "GetSDBlockSize", {}, result))
        return upgsim::EXIT_FAILURE_REPORTED;
    if (result == -1)
        return upgsim::failure("blocksize: the SD card /SDH cannot be examined (mount it with "
                               "--sd DIR)");
    if (upgsim::jsonOutput())
        upgsim::printJson({{"block_size", result}});
    else
        std::printf("%d\n", result);
    return upgsim::EXIT_OK;
}

const upgsim::Registrar k_copy_command({
    "copy",
    "copy a file with UPGCopy (folder made, 3 retries)",
    defineCopy,
    runCopy,
});

const upgsim::Registrar k_blocksize_command({
    "blocksize",
    "the SD card's block size as GetSDBlockSize reports it",
    defineBlockSize,
    runBlockSize,
});

} // namespace
