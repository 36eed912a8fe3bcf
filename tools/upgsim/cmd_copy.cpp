// "upgsim copy" and "upgsim blocksize": the builtins "UPGCopy" (copy with
// folder creation and retries, optionally a move) and "GetSDBlockSize", called
// as an upgrade script calls them.
#include "tools/upgsim/upgsim.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"

#include <cstdio>

namespace {

// Calls a builtin of the started module; false (with a message) when the
// module cannot start or the builtin is not registered.
bool callModule(const char *command, const char *name, const std::vector<hostsim::EicArg> &args,
                int &result) {
    if (C_BUILTINS::Instance() == nullptr) {
        std::fprintf(stderr, "upgsim: %s: the module cannot start\n", command);
        return false;
    }
    val_t value;
    if (!hostsim::callBuiltin(name, args, &value)) {
        std::fprintf(stderr, "upgsim: %s: builtin %s is not registered\n", command, name);
        return false;
    }
    result = value.ival;
    return true;
}

int runCopy(const upgsim::GlobalOptions &, std::vector<std::string> &args) {
    bool move = upgsim::takeFlag(args, "--move");
    for (const std::string &arg : args)
        if (arg.compare(0, 2, "--") == 0)
            return upgsim::usageError("copy: unknown option '" + arg + "'");
    if (args.size() != 2)
        return upgsim::usageError("usage: upgsim copy SRC DEST [--move]");

    int result = -1;
    if (!callModule("copy", "UPGCopy",
                    {hostsim::EicArg::Ptr(args[0].c_str()), hostsim::EicArg::Ptr(args[1].c_str()),
                     hostsim::EicArg::Int(move ? 1 : 0)},
                    result))
        return upgsim::EXIT_FAILURE_REPORTED;
    if (result != 0) {
        std::fprintf(stderr,
                     "upgsim: copy: UPGCopy of '%s' to '%s' failed (the module's log "
                     "tells why: --log -)\n",
                     args[0].c_str(), args[1].c_str());
        return upgsim::EXIT_FAILURE_REPORTED;
    }
    std::printf("%s %s -> %s\n", move ? "moved" : "copied", args[0].c_str(), args[1].c_str());
    return upgsim::EXIT_OK;
}

int runBlockSize(const upgsim::GlobalOptions &, std::vector<std::string> &args) {
    if (!args.empty())
        return upgsim::usageError("usage: upgsim blocksize");
    int result = -1;
    if (!callModule("blocksize", "GetSDBlockSize", {}, result))
        return upgsim::EXIT_FAILURE_REPORTED;
    if (result == -1) {
        std::fprintf(stderr, "upgsim: blocksize: the SD card /SDH cannot be examined (mount it "
                             "with --sd DIR)\n");
        return upgsim::EXIT_FAILURE_REPORTED;
    }
    std::printf("%d\n", result);
    return upgsim::EXIT_OK;
}

const upgsim::Registrar k_copy_command({
    "copy",
    "copy SRC DEST [--move]",
    "copy file SRC to DEST with the builtin UPGCopy (creates DEST's folder, three retries; "
    "--move: remove SRC after a first-time success)",
    runCopy,
});

const upgsim::Registrar k_blocksize_command({
    "blocksize",
    "blocksize",
    "print the SD card's block size as the builtin GetSDBlockSize reports it",
    runBlockSize,
});

} // namespace
