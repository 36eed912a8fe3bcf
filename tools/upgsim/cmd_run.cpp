// "upgsim run": compiles an upgrade script (a C program) with the script host
// and runs its main against the mounted devices, the module's builtins
// registered as the unit's interpreter host registers them. The script runs in
// a child process; the exit status is the script's, or tells how it ended.
// With --scratch the script runs on a throwaway copy of the SD card's folder,
// with --report on the card itself; both then tell what the script changed.
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"
#include "tools/hostkit/harness.h"
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
    int timeoutSeconds = -1; // -1: not given (scripthost::defaultTimeoutSeconds())
    bool scratch = false;    // run on a copy of the card, then tell what changed
    bool report = false;     // tell what the script changed on the card
    bool json = false;       // the report and the script's output as JSON on standard output
};
RunCommandOptions s_runOptions;

// A run that ends before its script starts: the line on standard error and,
// under --json, the error object on standard output.
int refuse(const std::string &message, int code) {
    upgsim::failure(message, code);
    if (s_runOptions.json)
        upgsim::printJson({{"error", upgsim::jsonText(message)}, {"code", code}});
    return code;
}

// The help states the default timeout in words.
static_assert(scripthost::k_default_timeout_seconds == 600, "the help says 600 s");

void defineRun(CLI::App &sub, upgsim::GlobalOptions &opts) {
    // Everything from the script on belongs to the script: parsing stops at
    // the first word that is not an option of run's.
    sub.fallthrough(false);
    sub.prefix_command();
    upgsim::addGlobalOptions(sub, opts);
    sub.add_option("--write-header", s_runOptions.headerDir, "write upgrade_builtins.h into DIR")
        ->type_name("DIR")
        ->check(upgsim::nonEmpty());
    sub.add_option("--timeout", s_runOptions.timeoutSeconds,
                   "stop the script after SECONDS (default " +
                       std::to_string(scripthost::k_default_timeout_seconds) + ", 0: none)")
        ->type_name("SECONDS")
        ->check(CLI::Range(0, scripthost::k_max_timeout_seconds).description(""));
    sub.add_flag("--scratch", s_runOptions.scratch, "run on a copy of --sd, then list changes");
    sub.add_flag("--report", s_runOptions.report, "list what the script changed on --sd");
    sub.add_flag("--json", s_runOptions.json, "report and the script's output as JSON");
    sub.footer("SCRIPT.c [ARG...] follows the options: the ARGs go to the script's\n"
               "main untouched. SCRIPT.c is compiled as C whatever its name, and runs\n"
               "in a process of its own. --write-header DIR alone writes the header.\n"
               "Clock: 6000 ticks per second unless --tick-hz N (the unit runs 60).\n"
               "Timeout: the script is stopped after 600 s unless --timeout SECONDS\n"
               "(0: never); $UPGSIM_TIMEOUT sets another default.\n"
               "Exit status: the script's own, or upgsim's (upgsim --help lists them).\n"
               "--scratch copies the --sd folder, runs the script on the copy and removes\n"
               "it; --scratch and --report then list the files added, changed and\n"
               "removed on standard error. --json: standard output holds only a JSON\n"
               "object with the exit status, the script's standard output and error\n"
               "(the first MiB of each) and what --scratch or --report found.\n");
}

// Notes each argument after the script that is one of upgsim's global
// options: it went to the script, and the user most likely meant it for
// upgsim.
void noteMisplacedOptions(const CLI::App &sub, const std::vector<std::string> &args) {
    for (const std::string &arg : args) {
        if (arg.size() < 3 || arg.compare(0, 2, "--") != 0)
            continue;
        const std::string name = arg.substr(0, arg.find('='));
        for (const CLI::Option *opt : sub.get_options())
            if (opt->get_group() == upgsim::k_global_options_group && opt->check_name(name)) {
                std::fprintf(stderr,
                             "upgsim: run: %s after the script goes to the script; put it before "
                             "`run`\n",
                             name.c_str());
                break;
            }
    }
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

    // Takes the second snapshot and says what changed: the human text on
    // standard error, or with `json` its keys added to that report. The exit
    // status to end with: `status`, or 128+N when interrupted now.
    int after(int status, upgsim::Json *json) {
        mediacheck::TreeSnapshot afterRun;
        if (!mediacheck::snapshotTree(m_card, afterRun))
            m_complete = false;
        const int stopped = interrupted();
        if (stopped != 0)
            return stopped;
        const mediacheck::TreeDiff diff = mediacheck::diffTrees(m_before, afterRun);
        if (json != nullptr) {
            const upgsim::Json keys = upgsim::Json::parse(mediacheck::renderDiffJson(
                diff, m_scratch ? "scratch" : "report", m_complete, status));
            for (auto it = keys.begin(); it != keys.end(); ++it)
                (*json)[it.key()] = it.value();
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

// The script's captured output in its report: "stdout" and "stderr" (each
// its first scripthost::k_capture_limit bytes), their full sizes, and a note
// when either was cut.
void addOutput(upgsim::Json &report, const scripthost::ChildEnd &end) {
    report["stdout"] = upgsim::jsonText(end.out.text);
    report["stderr"] = upgsim::jsonText(end.err.text);
    report["stdout_bytes"] = end.out.bytes;
    report["stderr_bytes"] = end.err.bytes;
    std::string note;
    for (const auto &stream :
         {std::make_pair("stdout", &end.out), std::make_pair("stderr", &end.err)})
        if (stream.second->cut())
            note += std::string(note.empty() ? "" : "; ") + stream.first + " cut to its first " +
                    std::to_string(stream.second->text.size()) + " of " +
                    std::to_string(stream.second->bytes) + " bytes";
    report["output_note"] = note.empty() ? upgsim::Json() : upgsim::Json(note);
}

int runScriptCommand(const upgsim::GlobalOptions &opts, CLI::App &sub) {
    std::vector<std::string> rest = sub.remaining();
    if (!rest.empty() && rest.front() == "--")
        rest.erase(rest.begin());
    const std::string &headerDir = s_runOptions.headerDir;
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
    const bool watch = s_runOptions.scratch || s_runOptions.report;
    if (s_runOptions.scratch && s_runOptions.report) {
        return refuse("run: give --scratch or --report, not both", scripthost::k_exit_host_failure);
    }
    if (watch && opts.sd.empty()) {
        return refuse(std::string("run: ") + (s_runOptions.scratch ? "--scratch" : "--report") +
                          " needs --sd DIR (the card)",
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
    noteMisplacedOptions(sub, runOptions.args);
    // Under --json the script's output goes into the report: no bar is drawn
    // into it.
    const bool progress = opts.progressOnTerminal() && !s_runOptions.json;
    scripthost::ChildOptions childOptions;
    // Read also when --timeout is given: a variable that cannot be used is
    // said either way.
    const int defaultTimeout = scripthost::defaultTimeoutSeconds();
    childOptions.timeoutSeconds =
        s_runOptions.timeoutSeconds >= 0 ? s_runOptions.timeoutSeconds : defaultTimeout;
    childOptions.capture = s_runOptions.json;
    std::unique_ptr<CardWatch> card;
    if (watch) {
        card.reset(new CardWatch(opts, s_runOptions.scratch));
        const int failed = card->before();
        if (failed != 0)
            return failed;
    }
    // The module starts in the child: no task runs in this process when it
    // forks.
    hostkit::ScriptJob job;
    job.script = script;
    job.args = runOptions.args;
    job.timeoutSeconds = childOptions.timeoutSeconds;
    job.progress = progress;
    job.capture = childOptions.capture;
    const scripthost::ChildEnd end = hostkit::runScript(job).end;
    const scripthost::ScriptOutcome outcome =
        scripthost::outcomeOf(end, childOptions.timeoutSeconds);
    const int status = outcome.exitStatus;
    // The script ran (it reported its status) and failed.
    if (status != 0 && outcome.scripts)
        noteUnmounted(opts);
    if (!s_runOptions.json)
        return card ? card->after(status, nullptr) : status;
    upgsim::Json report = {
        {"mode", "run"},
        {"exit_status", status},
        {"status_of", outcome.scripts ? "script" : "upgsim"},
        {"script_status", outcome.ran ? upgsim::Json(outcome.status) : upgsim::Json()},
        {"error",
         outcome.scripts ? upgsim::Json() : upgsim::Json(upgsim::jsonText(outcome.message))}};
    if (card) {
        const int after = card->after(status, &report);
        if (after != status)
            return after; // interrupted while the card was read: the error object
    }
    addOutput(report, end);
    upgsim::printJson(report);
    return status;
}

const upgsim::Registrar k_run_command({
    "run",
    "compile and run an upgrade script (SCRIPT.c [ARG...])",
    defineRun,
    runScriptCommand,
});

} // namespace
