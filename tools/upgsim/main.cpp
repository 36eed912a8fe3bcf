// upgsim: the host simulator of the upgrade-support module. Parses the global
// options (accepted before or after the subcommand), maps the host folders as
// the unit's devices, sets up logging and the unit stand-ins, then runs the
// subcommand.
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"
#include "unit/unit.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unistd.h>

namespace upgsim {

namespace {

std::map<std::string, Command> &commandTable() {
    static std::map<std::string, Command> table;
    return table;
}

const char k_version[] = "upgsim 0.1.0";

void printHelp(FILE *out) {
    std::fprintf(out,
                 "usage: upgsim [GLOBAL OPTIONS] COMMAND [ARGS]\n"
                 "\n"
                 "Host simulator of the navigation unit's upgrade-support module.\n"
                 "\n"
                 "Global options (before or after the command):\n"
                 "  --sd DIR              host folder mounted as the SD card \"/SDH\"\n"
                 "  --flash DIR           host folder mounted as the flash \"/F\"\n"
                 "  --media DIR           host folder mounted as the medium \"/DVD\"\n"
                 "  --log FILE            write the module's log lines to FILE ('-': standard "
                 "error)\n"
                 "  --tick-hz N           system tick rate (ticks per second; default 60)\n"
                 "  --sd-block-size N     block size reported for \"/SDH\" (default: the host's)\n"
                 "  --no-progress         never draw progress bars\n"
                 "  --help                this text\n"
                 "  --version             the simulator's version\n"
                 "\n"
                 "Commands:\n");
    for (const auto &entry : commandTable())
        std::fprintf(out, "  %-44s %s\n", entry.second.usage, entry.second.summary);
    std::fprintf(out, "\nExit status: 0 success, 1 failure reported by the module, 2 usage error.\n");
}

// Takes the global options out of args; returns false (after printing the
// message) on a usage error.
bool parseGlobals(std::vector<std::string> &args, GlobalOptions &opts, int &exitCode) {
    bool bad = false;
    std::string value;
    takeOption(args, "--sd", opts.sd, &bad);
    takeOption(args, "--flash", opts.flash, &bad);
    takeOption(args, "--media", opts.media, &bad);
    takeOption(args, "--log", opts.log, &bad);
    takeOption(args, "--sd-capacity", opts.sdCapacity, &bad);
    if (bad) {
        exitCode = usageError("option needs a value");
        return false;
    }
    long number = 0;
    if (takeOption(args, "--tick-hz", value, &bad)) {
        if (!parseInt(value, number) || number <= 0 || number > 1000000) {
            exitCode = usageError("--tick-hz needs a positive number of ticks per second");
            return false;
        }
        opts.tickHz = static_cast<int>(number);
    }
    if (takeOption(args, "--sd-block-size", value, &bad)) {
        if (!parseInt(value, number) || number <= 0 || number > (1L << 30)) {
            exitCode = usageError("--sd-block-size needs a positive number of bytes");
            return false;
        }
        opts.sdBlockSize = number;
    }
    if (bad) {
        exitCode = usageError("option needs a value");
        return false;
    }
    opts.noProgress = takeFlag(args, "--no-progress");
    return true;
}

} // namespace

bool GlobalOptions::progressOnTerminal() const { return !noProgress && isatty(STDERR_FILENO); }

void registerCommand(const Command &cmd) { commandTable()[cmd.name] = cmd; }

int usageError(const std::string &message) {
    std::fprintf(stderr, "upgsim: %s\n", message.c_str());
    return EXIT_USAGE;
}

bool takeOption(std::vector<std::string> &args, const std::string &name, std::string &value,
                bool *bad) {
    bool found = false;
    for (size_t i = 0; i < args.size();) {
        if (args[i] == name) {
            if (i + 1 >= args.size()) {
                if (bad)
                    *bad = true;
                args.erase(args.begin() + static_cast<long>(i));
                return found;
            }
            value = args[i + 1];
            args.erase(args.begin() + static_cast<long>(i), args.begin() + static_cast<long>(i) + 2);
            found = true;
        } else if (args[i].compare(0, name.size() + 1, name + "=") == 0) {
            value = args[i].substr(name.size() + 1);
            args.erase(args.begin() + static_cast<long>(i));
            found = true;
        } else {
            ++i;
        }
    }
    return found;
}

bool takeFlag(std::vector<std::string> &args, const std::string &name) {
    auto it = std::remove(args.begin(), args.end(), name);
    bool found = it != args.end();
    args.erase(it, args.end());
    return found;
}

bool parseInt(const std::string &text, long &value) {
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    long v = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == nullptr || *end != '\0')
        return false;
    value = v;
    return true;
}

} // namespace upgsim

// Index of the command word in args: the first word that is neither an option
// nor the value of a global option that takes one; args.size() when none.
size_t commandIndex(const std::vector<std::string> &args) {
    static const char *const valued[] = {"--sd", "--flash", "--media", "--log", "--tick-hz",
                                         "--sd-block-size", "--sd-capacity"};
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].empty() || args[i][0] != '-')
            return i;
        for (const char *name : valued)
            if (args[i] == name)
                ++i;
    }
    return args.size();
}

int main(int argc, char **argv) {
    using namespace upgsim;
    std::vector<std::string> args(argv + 1, argv + argc);

    // --help and --version are global; after a command word, --help asks for
    // that command's usage and --version is left to a command that takes it
    // (stamp FILE --version TEXT).
    size_t cmdAt = commandIndex(args);
    const Command *cmd = nullptr;
    if (cmdAt < args.size()) {
        auto found = commandTable().find(args[cmdAt]);
        if (found != commandTable().end())
            cmd = &found->second;
    }
    std::vector<std::string> before(args.begin(), args.begin() + static_cast<long>(cmdAt));
    std::vector<std::string> after(args.begin() + static_cast<long>(cmdAt), args.end());
    bool help = takeFlag(before, "--help") || takeFlag(before, "-h");
    bool version = takeFlag(before, "--version");
    if (cmd != nullptr) {
        if (takeFlag(after, "--help") || takeFlag(after, "-h")) {
            std::printf("usage: upgsim [GLOBAL OPTIONS] %s\n  %s\n", cmd->usage, cmd->summary);
            return EXIT_OK;
        }
        if (std::string(cmd->usage).find("--version") == std::string::npos)
            version = takeFlag(after, "--version") || version;
    } else {
        help = takeFlag(after, "--help") || takeFlag(after, "-h") || help;
        version = takeFlag(after, "--version") || version;
    }
    if (help) {
        printHelp(stdout);
        return EXIT_OK;
    }
    if (version) {
        std::printf("%s\n", k_version);
        return EXIT_OK;
    }
    args = before;
    args.insert(args.end(), after.begin(), after.end());

    GlobalOptions opts;
    int exitCode = EXIT_OK;
    if (!parseGlobals(args, opts, exitCode))
        return exitCode;

    if (args.empty()) {
        printHelp(stderr);
        return usageError("no command given");
    }
    std::string name = args.front();
    args.erase(args.begin());
    auto it = commandTable().find(name);
    if (it == commandTable().end())
        return usageError("unknown command '" + name + "' (see upgsim --help)");
    hostsim::resetAll();
    if (opts.tickHz > 0)
        hostsim::setTickRate(opts.tickHz);
    if (!opts.sd.empty())
        hostsim::mountDevice("/SDH", opts.sd, opts.sdBlockSize);
    if (!opts.flash.empty())
        hostsim::mountDevice("/F", opts.flash);
    if (!opts.media.empty())
        hostsim::mountDevice("/DVD", opts.media);
    if (opts.log == "-")
        hostsim::logToStderr(true);
    else if (!opts.log.empty() && !hostsim::logToFile(opts.log))
        return usageError("cannot open log file '" + opts.log + "'");
    unit::installAll();

    int rc = it->second.run(opts, args);
    std::fflush(stdout);
    hostsim::waitAllTasks(60000);
    return rc;
}
