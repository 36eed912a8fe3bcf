// "upgsim run": compiles an upgrade script (a C program) with the script host
// and runs its main against the mounted devices, the module's builtins
// registered as the unit's interpreter host registers them. The script runs in
// a child process; the exit status is the script's, or tells how it ended.
// With --scratch the script runs on a throwaway copy of the SD card's folder,
// with --report on the card itself; both then tell what the script changed.
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"
#include "tools/hostkit/scratch.h"
#include "tools/mediacheck/mediacheck.h"
#include "tools/scripthost/child.h"
#include "tools/scripthost/scripthost.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct RunCommandOptions {
    std::string headerDir;
    int timeoutSeconds = 0;
    bool scratch = false; // run on a copy of the card, then tell what changed
    bool report = false;  // tell what the script changed on the card
    bool json = false;    // that summary as JSON on standard output
};
RunCommandOptions s_options;

// A run that ends before its script starts: the line on standard error and,
// under --json, the error object on standard output.
int refuse(const std::string &message, int code) {
    upgsim::failure(message, code);
    if (s_options.json)
        upgsim::printJson({{"error", upgsim::jsonText(message)}, {"code", code}});
    return code;
}

void defineRun(CLI::App &sub, upgsim::GlobalOptions &opts) {
    // Everything from the script on belongs to the script: parsing stops at
    // the first word that is not an option of run's.
    sub.fallthrough(false);
    sub.prefix_command();
    upgsim::addGlobalOptions(sub, opts);
    sub.add_option("--write-header", s_options.headerDir, "write upgrade_builtins.h into DIR")
        ->type_name("DIR")
        ->check(upgsim::nonEmpty());
    sub.add_option("--timeout", s_options.timeoutSeconds, "stop the script after SECONDS")
        ->type_name("SECONDS")
        ->check(CLI::Range(1, 1000000).description(""));
    sub.add_flag("--scratch", s_options.scratch, "run on a copy of --sd, then list changes");
    sub.add_flag("--report", s_options.report, "list what the script changed on --sd");
    sub.add_flag("--json", s_options.json, "--scratch/--report list as JSON on stdout");
    sub.footer("SCRIPT.c [ARG...] follows the options: the ARGs go to the script's\n"
               "main untouched. SCRIPT.c is compiled as C whatever its name, and runs\n"
               "in a process of its own. --write-header DIR alone writes the header.\n"
               "Clock: 6000 ticks per second unless --tick-hz N (the unit runs 60).\n"
               "Exit status: the script's; 124 timed out, 125 usage error or failure\n"
               "of upgsim, 126 did not compile, 127 script not found, 128+N ended by\n"
               "signal N (130 on Ctrl-C).\n"
               "--scratch copies the --sd folder, runs the script on the copy and removes\n"
               "it; --scratch and --report then list the files added, changed and\n"
               "removed on standard error (--json: one JSON line on standard output after\n"
               "the script's output).\n");
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

// SIGINT or SIGTERM received while the card is copied or read (0: none); the
// child's relay has its own handler while the script runs.
volatile sig_atomic_t g_interrupt = 0;

void noteInterrupt(int sig) {
    g_interrupt = sig;
}

// Watches the card around one script run: the snapshot before, the copy for
// --scratch (and its removal, also when the run is interrupted or the script
// crashes), and the summary after. Ctrl-C while the card is copied or read is
// noted and acted on once that step ends.
class CardWatch {
public:
    CardWatch(const upgsim::GlobalOptions &opts, bool scratch)
        : m_opts(opts), m_scratch(scratch), m_card(opts.sd) {
        g_interrupt = 0;
        scripthost::catchInterrupts(noteInterrupt, m_oldInt, m_oldTerm);
    }
    ~CardWatch() {
        m_scratchFolder.reset();
        scripthost::restoreInterrupts(m_oldInt, m_oldTerm);
    }
    CardWatch(const CardWatch &) = delete;
    CardWatch &operator=(const CardWatch &) = delete;

    // Copies the card (--scratch) and mounts "/SDH" on the copy, then takes
    // the first snapshot. Returns 0, or the exit status to end with.
    int before() {
        if (m_scratch) {
            m_scratchFolder.reset(new hostkit::Scratch("", "upgsim-run"));
            m_scratchDir = m_scratchFolder->path();
            if (m_scratchDir.empty())
                return refuse("run: cannot create a temporary folder in " +
                                  m_scratchFolder->parent() + ": " +
                                  std::strerror(m_scratchFolder->error()),
                              scripthost::k_exit_host_failure);
            m_card = m_scratchDir + "/sd";
            errno = 0;
            if (!mediacheck::copyTree(m_opts.sd, m_card) && g_interrupt == 0) {
                if (errno == ELOOP)
                    return refuse("run: " + m_opts.sd +
                                      " holds a symbolic link: --scratch copies only cards "
                                      "without links (a card's file system has none)",
                                  scripthost::k_exit_host_failure);
                return refuse("run: cannot copy " + m_opts.sd + " into " + m_scratchDir,
                              scripthost::k_exit_host_failure);
            }
            // The copy reports the card's own block size: it chooses the
            // countries' size keys, and the copy's file system may differ.
            long blockSize = m_opts.sdBlockSize;
            struct stat st;
            if (blockSize <= 0 && ::stat(m_opts.sd.c_str(), &st) == 0)
                blockSize = static_cast<long>(st.st_blksize);
            hostsim::mountDevice("/SDH", m_card, blockSize);
        }
        if (g_interrupt == 0)
            m_complete = mediacheck::snapshotTree(m_card, m_before);
        return interrupted();
    }

    // Takes the second snapshot and prints what changed: the human text on
    // standard error, or with `json` one JSON line on standard output. The
    // exit status to end with: `status`, or 128+N when interrupted now.
    int after(int status, bool json) {
        mediacheck::TreeSnapshot afterRun;
        if (!mediacheck::snapshotTree(m_card, afterRun))
            m_complete = false;
        const int stopped = interrupted();
        if (stopped != 0)
            return stopped;
        const mediacheck::TreeDiff diff = mediacheck::diffTrees(m_before, afterRun);
        if (json) {
            const std::string text = mediacheck::renderDiffJson(
                diff, m_scratch ? "scratch" : "report", m_complete, status);
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
            return status;
        }
        if (m_scratch)
            std::fprintf(stderr,
                         "upgsim: run --scratch: what the script changed on a copy of %s:\n",
                         m_opts.sd.c_str());
        else
            std::fprintf(stderr, "upgsim: run --report: what the script changed on %s:\n",
                         m_opts.sd.c_str());
        std::fputs(mediacheck::renderDiff(diff).c_str(), stderr);
        if (!m_complete)
            std::fprintf(stderr, "upgsim: run: some files of the card could not be read: the "
                                 "list may be incomplete\n");
        return status;
    }

private:
    // 128+N when SIGINT or SIGTERM arrived (said on standard error), else 0.
    int interrupted() const {
        if (g_interrupt == 0)
            return 0;
        return refuse("interrupted by " + scripthost::signalName(g_interrupt),
                      scripthost::k_exit_signal_base + g_interrupt);
    }

    const upgsim::GlobalOptions &m_opts;
    const bool m_scratch;
    std::string m_card;                                // host folder of the card the script sees
    std::unique_ptr<hostkit::Scratch> m_scratchFolder; // marked, removed however the run ends
    std::string m_scratchDir;
    mediacheck::TreeSnapshot m_before;
    bool m_complete = true;
    struct sigaction m_oldInt = {}, m_oldTerm = {};
};

int runScriptCommand(const upgsim::GlobalOptions &opts, CLI::App &sub) {
    std::vector<std::string> rest = sub.remaining();
    if (!rest.empty() && rest.front() == "--")
        rest.erase(rest.begin());
    const std::string &headerDir = s_options.headerDir;
    if (!headerDir.empty()) {
        const std::string unusable = upgsim::creatableFolder(headerDir);
        if (!unusable.empty())
            return refuse("run: --write-header: " + unusable, scripthost::k_exit_host_failure);
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
        return refuse("run needs SCRIPT.c (see upgsim run --help)",
                      scripthost::k_exit_host_failure);
    }
    if (rest.front().compare(0, 1, "-") == 0) {
        return refuse("run: unknown option '" + rest.front() + "' (see upgsim run --help)",
                      scripthost::k_exit_host_failure);
    }
    const bool watch = s_options.scratch || s_options.report;
    if (s_options.scratch && s_options.report) {
        return refuse("run: give --scratch or --report, not both", scripthost::k_exit_host_failure);
    }
    if (watch && opts.sd.empty()) {
        return refuse(std::string("run: ") + (s_options.scratch ? "--scratch" : "--report") +
                          " needs --sd DIR (the card)",
                      scripthost::k_exit_host_failure);
    }
    if (s_options.json && !watch) {
        return refuse("run: --json goes with --scratch or --report",
                      scripthost::k_exit_host_failure);
    }
    const std::string script = rest.front();
    struct stat st;
    if (::stat(script.c_str(), &st) != 0) {
        const int err = errno;
        return refuse("run: " + script + ": " + std::strerror(err),
                      err == ENOENT ? scripthost::k_exit_not_found
                                    : scripthost::k_exit_not_compiled);
    }
    if (!S_ISREG(st.st_mode) || access(script.c_str(), R_OK) != 0) {
        return refuse("run: " + script + " is not a readable file",
                      scripthost::k_exit_not_compiled);
    }

    scripthost::RunOptions runOptions;
    runOptions.args.assign(rest.begin() + 1, rest.end());
    const bool progress = opts.progressOnTerminal();
    scripthost::ChildOptions childOptions;
    childOptions.timeoutSeconds = s_options.timeoutSeconds;
    std::unique_ptr<CardWatch> card;
    if (watch) {
        card.reset(new CardWatch(opts, s_options.scratch));
        const int failed = card->before();
        if (failed != 0)
            return failed;
    }
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
    return card ? card->after(status, s_options.json) : status;
}

const upgsim::Registrar k_run_command({
    "run",
    "compile and run an upgrade script (SCRIPT.c [ARG...])",
    defineRun,
    runScriptCommand,
});

} // namespace
