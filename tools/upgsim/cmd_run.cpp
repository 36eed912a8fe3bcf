// "upgsim run": compiles an upgrade script (a C program) with the script host
// and runs its main against the mounted devices, the module's builtins
// registered as the unit's interpreter host registers them. The script runs in
// a child process; the exit status is the script's, or tells how it ended.
#include "tools/upgsim/upgsim.h"

#include "tools/scripthost/child.h"
#include "tools/scripthost/scripthost.h"

#include <CLI/CLI.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct RunCommandOptions {
    std::string headerDir;
    int timeoutSeconds = 0;
};
RunCommandOptions s_options;

void defineRun(CLI::App &sub, upgsim::GlobalOptions &opts) {
    // Everything from the script on belongs to the script: parsing stops at
    // the first word that is not an option of run's.
    sub.fallthrough(false);
    sub.prefix_command();
    upgsim::addGlobalOptions(sub, opts);
    sub.add_option("--write-header", s_options.headerDir, "write upgrade_builtins.h into DIR")
        ->type_name("DIR");
    sub.add_option("--timeout", s_options.timeoutSeconds, "stop the script after SECONDS")
        ->type_name("SECONDS")
        ->check(CLI::Range(1, 1000000).description(""));
    sub.footer("SCRIPT.c [ARG...] follows the options: the ARGs go to the script's\n"
               "main untouched. SCRIPT.c is compiled as C whatever its name, and runs\n"
               "in a process of its own. --write-header DIR alone writes the header.\n"
               "Clock: 6000 ticks per second unless --tick-hz N (the unit runs 60).\n"
               "Exit status: the script's; 124 timed out, 125 usage error or failure\n"
               "of upgsim, 126 did not compile, 127 script not found, 128+N ended by\n"
               "signal N (130 on Ctrl-C).\n");
}

// Notes the devices the script could not reach.
void noteUnmounted(const upgsim::GlobalOptions &opts) {
    std::string missing;
    if (opts.media.empty())
        missing += " /DVD (--media)";
    if (opts.sd.empty())
        missing += " /SDH (--sd)";
    if (opts.flash.empty())
        missing += " /F (--flash)";
    if (!missing.empty())
        std::fprintf(stderr, "upgsim: run: not mounted, so absent for the script:%s\n",
                     missing.c_str());
}

int runScriptCommand(const upgsim::GlobalOptions &opts, CLI::App &sub) {
    std::vector<std::string> rest = sub.remaining();
    if (!rest.empty() && rest.front() == "--")
        rest.erase(rest.begin());
    const std::string &headerDir = s_options.headerDir;
    if (!headerDir.empty()) {
        if (!scripthost::writeHeaders(headerDir)) {
            std::fprintf(stderr, "upgsim: run: cannot write the headers into '%s'\n",
                         headerDir.c_str());
            return scripthost::k_exit_host_failure;
        }
        std::printf("wrote %s/%s\n", headerDir.c_str(), scripthost::k_header_name);
        if (rest.empty())
            return upgsim::EXIT_OK;
    }
    if (rest.empty()) {
        upgsim::usageError("run needs SCRIPT.c (see upgsim run --help)");
        return scripthost::k_exit_host_failure;
    }
    if (rest.front().compare(0, 1, "-") == 0) {
        upgsim::usageError("run: unknown option '" + rest.front() + "' (see upgsim run --help)");
        return scripthost::k_exit_host_failure;
    }
    const std::string script = rest.front();
    struct stat st;
    if (::stat(script.c_str(), &st) != 0) {
        std::fprintf(stderr, "upgsim: run: %s: %s\n", script.c_str(), std::strerror(errno));
        return errno == ENOENT ? scripthost::k_exit_not_found : scripthost::k_exit_not_compiled;
    }
    if (!S_ISREG(st.st_mode) || access(script.c_str(), R_OK) != 0) {
        std::fprintf(stderr, "upgsim: run: %s is not a readable file\n", script.c_str());
        return scripthost::k_exit_not_compiled;
    }

    scripthost::RunOptions runOptions;
    runOptions.args.assign(rest.begin() + 1, rest.end());
    const bool progress = opts.progressOnTerminal();
    scripthost::ChildOptions childOptions;
    childOptions.timeoutSeconds = s_options.timeoutSeconds;
    // The module starts in the child: no task runs in this process when it
    // forks.
    scripthost::ChildEnd end = scripthost::runInChild(
        [&](int reportFd) {
            return scripthost::runScriptHere(script, runOptions, progress, reportFd);
        },
        childOptions);
    int status = scripthost::exitStatusOf(end, s_options.timeoutSeconds);
    // The script ran (it reported its status) and failed.
    if (status != 0 && end.how == scripthost::ChildEnd::How::Exited &&
        !scripthost::reportValues(end.report, "status").empty())
        noteUnmounted(opts);
    return status;
}

const upgsim::Registrar k_run_command({
    "run",
    "compile and run an upgrade script (SCRIPT.c [ARG...])",
    defineRun,
    runScriptCommand,
});

} // namespace
