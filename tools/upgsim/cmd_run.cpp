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

#include <CLI/CLI.hpp>

#include <cstdio>
#include <sys/stat.h>

namespace {

// Exit status when the script did not run (it did not compile or link).
const int k_not_run = upgsim::EXIT_USAGE;

struct RunCommandOptions {
    std::string headerDir;
};
RunCommandOptions s_options;

void defineRun(CLI::App &sub, upgsim::GlobalOptions &opts) {
    // Everything from the script on belongs to the script: parsing stops at
    // the first word that is not an option of run's.
    sub.fallthrough(false);
    sub.prefix_command();
    sub.positionals_at_end(false);
    upgsim::addGlobalOptions(sub, opts);
    sub.add_option("--write-header", s_options.headerDir, "write upgrade_builtins.h into DIR")
        ->type_name("DIR");
    sub.footer("upgsim [GLOBAL OPTIONS] run [GLOBAL OPTIONS] SCRIPT.c [ARG...]\n"
               "upgsim run --write-header DIR\n"
               "\n"
               "Everything after SCRIPT.c goes to the script's main untouched. SCRIPT.c\n"
               "is compiled as C whatever its name.\n"
               "Clock: 6000 ticks per second unless --tick-hz N (the unit runs 60).\n"
               "Exit status: the script's; 124 timed out, 125 usage error or failure\n"
               "of upgsim, 126 did not compile, 127 script not found, 128+N ended by\n"
               "signal N.\n");
}

int runScriptCommand(const upgsim::GlobalOptions &opts, CLI::App &sub) {
    // The script's lines reach the terminal as they are printed, also through
    // the console filter's pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
    std::vector<std::string> rest = sub.remaining();
    if (!rest.empty() && rest.front() == "--")
        rest.erase(rest.begin());
    const std::string &headerDir = s_options.headerDir;
    if (!headerDir.empty()) {
        if (!scripthost::writeHeaders(headerDir)) {
            std::fprintf(stderr, "upgsim: run: cannot write the headers into '%s'\n",
                         headerDir.c_str());
            return upgsim::EXIT_FAILURE_REPORTED;
        }
        std::printf("wrote %s/%s\n", headerDir.c_str(), scripthost::k_header_name);
        if (rest.empty())
            return upgsim::EXIT_OK;
    }
    if (rest.empty()) {
        upgsim::usageError("run needs SCRIPT.c (see upgsim run --help)");
        return upgsim::RUN_HOST_FAILURE;
    }
    if (rest.front().compare(0, 1, "-") == 0) {
        upgsim::usageError("run: unknown option '" + rest.front() + "'");
        return upgsim::RUN_HOST_FAILURE;
    }
    const std::vector<std::string> own = {rest.front()};
    const std::vector<std::string> scriptArgs(rest.begin() + 1, rest.end());
    const std::string script = own[0];
    struct stat st;
    if (::stat(script.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return upgsim::usageError("run: cannot read the script '" + script + "'");

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
    "compile and run an upgrade script (SCRIPT.c [ARG...])",
    defineRun,
    runScriptCommand,
});

} // namespace
