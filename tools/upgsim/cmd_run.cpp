// "upgsim run": compiles an upgrade script (a C program) with the script host
// and runs its main against the mounted devices, the module's builtins
// registered as the unit's interpreter host registers them. The exit status
// is the script's.
#include "tools/upgsim/upgsim.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "tools/scripthost/console_filter.h"
#include "tools/scripthost/scripthost.h"
#include "unit/hmi.h"

#include <cstdio>
#include <sys/stat.h>

namespace {

// Tick rate when none is given: the module's 500-tick pauses and bargraph
// steps then take under a second (--tick-hz 60 plays the unit's timing).
const int k_run_tick_hz = 600;

// Exit status when the script did not run (it did not compile or link).
const int k_not_run = upgsim::EXIT_USAGE;

void warnIfUnmapped(const upgsim::GlobalOptions &opts) {
    if (opts.media.empty())
        std::fprintf(stderr, "upgsim: run: no --media given: \"/DVD\" paths are used on the "
                             "host as they are\n");
    if (opts.sd.empty())
        std::fprintf(stderr, "upgsim: run: no --sd given: \"/SDH\" paths are used on the host "
                             "as they are\n");
}

int runScriptCommand(const upgsim::GlobalOptions &opts, std::vector<std::string> &args) {
    // The script's lines reach the terminal as they are printed, also through
    // the console filter's pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    bool bad = false;
    std::string headerDir;
    // Options of the command come before the script; what follows the script
    // belongs to it.
    std::vector<std::string> own;
    std::vector<std::string> scriptArgs;
    bool seenScript = false;
    for (const std::string &arg : args) {
        if (seenScript)
            scriptArgs.push_back(arg);
        else
            own.push_back(arg);
        if (!seenScript && arg.compare(0, 2, "--") != 0 &&
            (own.size() < 2 || own[own.size() - 2] != "--write-header"))
            seenScript = true;
    }
    upgsim::takeOption(own, "--write-header", headerDir, &bad);
    if (bad)
        return upgsim::usageError("--write-header needs a folder");
    if (!headerDir.empty()) {
        if (!scripthost::writeHeaders(headerDir)) {
            std::fprintf(stderr, "upgsim: run: cannot write the headers into '%s'\n",
                         headerDir.c_str());
            return upgsim::EXIT_FAILURE_REPORTED;
        }
        std::printf("wrote %s/%s\n", headerDir.c_str(), scripthost::k_header_name);
        if (own.empty())
            return upgsim::EXIT_OK;
    }
    for (const std::string &arg : own)
        if (arg.compare(0, 2, "--") == 0)
            return upgsim::usageError("run: unknown option '" + arg + "'");
    if (own.size() != 1)
        return upgsim::usageError("usage: upgsim run SCRIPT.c [ARG...]");
    const std::string script = own[0];
    struct stat st;
    if (::stat(script.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return upgsim::usageError("run: cannot read the script '" + script + "'");

    if (opts.tickHz == 0)
        hostsim::setTickRate(k_run_tick_hz);
    warnIfUnmapped(opts);
    if (C_BUILTINS::Instance() == nullptr) {
        std::fprintf(stderr, "upgsim: run: the module cannot start\n");
        return upgsim::EXIT_FAILURE_REPORTED;
    }
    // With the bargraph on the terminal, the script's lines and the module's
    // console pass through a filter that ends the bar's line before each.
    bool progress = opts.progressOnTerminal();
    unit::setBargraphOnTerminal(progress);
    scripthost::ConsoleFilter filter(nullptr, progress, "");
    if (progress)
        filter.start();

    scripthost::RunOptions runOptions;
    runOptions.args = scriptArgs;
    scripthost::RunResult result = scripthost::runScript(script, runOptions);

    // A script that ended with its bargraph running leaves the bar task alive:
    // stop it as the unit's upgrade manager does when a script ends.
    val_t ignored;
    hostsim::callBuiltin("DeactivateBargraph", {}, &ignored);
    unit::setBargraphOnTerminal(false);
    filter.stop();
    std::fflush(stdout);

    for (const std::string &message : result.messages) {
        if (result.ran())
            std::fprintf(stderr, "upgsim: run: %s\n", message.c_str());
        else
            std::fprintf(stderr, "%s%s", message.c_str(),
                         !message.empty() && message.back() == '\n' ? "" : "\n");
    }
    switch (result.outcome) {
    case scripthost::RunResult::Outcome::Returned:
    case scripthost::RunResult::Outcome::Exited:
        return result.status;
    case scripthost::RunResult::Outcome::CompileFailed:
        std::fprintf(stderr, "upgsim: run: %s did not compile\n", script.c_str());
        return k_not_run;
    case scripthost::RunResult::Outcome::LinkFailed:
        std::fprintf(stderr, "upgsim: run: %s did not link\n", script.c_str());
        return k_not_run;
    default:
        std::fprintf(stderr, "upgsim: run: %s could not be run\n", script.c_str());
        return k_not_run;
    }
}

const upgsim::Registrar k_run_command({
    "run",
    "run [--write-header DIR] SCRIPT.c [ARG...]",
    "compile the upgrade script SCRIPT.c and run its main with the mounted devices; exit "
    "status: the script's (2 when it does not compile); --write-header writes "
    "upgrade_builtins.h into DIR",
    runScriptCommand,
});

} // namespace
