// Running a piece of work (an upgrade script with the module around it) in a
// child process: a script that crashes, loops or calls exit in any form then
// ends only the child. The parent relays the child's standard output line by
// line and its standard error as it comes, so that nothing the child wrote is
// lost when it dies, ends a progress-bar line the child left open, keeps the
// module's extraction listing off the terminal when asked, stops the child
// after a timeout or on SIGINT/SIGTERM, and reports how it ended.
//
// The caller forks before any task or thread of its own has started: the
// child starts the module's tasks itself.
#ifndef TOOLS_SCRIPTHOST_CHILD_H
#define TOOLS_SCRIPTHOST_CHILD_H

#include "tools/scripthost/scripthost.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

namespace scripthost {

// Exit statuses of a script run besides the script's own, as timeout(1) and
// env(1) use them.
constexpr int k_exit_timed_out = 124;    // the timeout ran out
constexpr int k_exit_host_failure = 125; // a usage error or a failure of the host
constexpr int k_exit_not_compiled = 126; // the script did not compile or link
constexpr int k_exit_not_found = 127;    // the script file does not exist
constexpr int k_exit_signal_base = 128;  // + N: ended by signal N

// Seconds a script run may take when no --timeout is given (run, demo, and
// the clean run of sweep): a whole medium at the unit's pace fits, a script
// that loops does not hold a terminal or a CI job for ever.
constexpr int k_default_timeout_seconds = 600;
// The environment variable that sets another default: seconds, 0 for none.
extern const char k_timeout_variable[];
// The largest timeout accepted, in seconds.
constexpr int k_max_timeout_seconds = 1000000;
// The default in force: $UPGSIM_TIMEOUT when it holds a number of seconds
// from 0 to k_max_timeout_seconds, else k_default_timeout_seconds (a value
// that is not such a number is said on standard error, once per process).
int defaultTimeoutSeconds();

// Bytes of each of the child's output streams kept when they are captured.
constexpr std::size_t k_capture_limit = 1 << 20;

// A captured output stream: its first bytes, and how many it wrote in all.
struct CapturedOutput {
    std::string text;             // at most the capture limit
    unsigned long long bytes = 0; // written in all
    bool cut() const { return bytes > text.size(); }
};

struct ChildOptions {
    // Seconds after which the child is sent SIGTERM (then SIGKILL 2 s
    // later); 0: no limit. Callers take defaultTimeoutSeconds() when the
    // user gave none.
    int timeoutSeconds = 0;
    // Lines of standard output that are the extractor's listing
    // (isListingLine) go to this file instead; empty: relayed too.
    std::string listingPath;
    // Where the child's standard output goes (its standard error goes to
    // the parent's standard error).
    FILE *out = stdout;
    // The child's standard output and error are kept in ChildEnd::out and
    // ChildEnd::err (each up to captureLimit bytes) instead of being passed
    // on: run --json carries them in its report.
    bool capture = false;
    std::size_t captureLimit = k_capture_limit;
};

struct ChildEnd {
    enum class How {
        Exited,      // code: the child's exit status
        Signaled,    // code: the signal that ended the child
        TimedOut,    // the timeout ran out; the child was stopped
        Interrupted, // code: SIGINT or SIGTERM received by the parent
        NotStarted,  // fork or pipe failed
    };
    How how = How::NotStarted;
    int code = 0;
    std::string report;       // what the child wrote on its report channel
    unsigned long listed = 0; // lines sent to the listing file
    bool outputLost = false;  // a line of the script could not be passed on
    // Under ChildOptions::capture: the child's standard output and error.
    CapturedOutput out, err;
    // Processes the child left running when it ended (or was stopped), all
    // ended by the watch; outputHeld: one of them kept the child's output
    // open past the grace; unended: those that could not be ended.
    unsigned leftovers = 0;
    bool outputHeld = false;
    unsigned unended = 0;
};

// Runs `body` in a forked child with its standard output and error on pipes
// read by this process, and returns once the child has ended and every byte
// it wrote has been passed on. `body` gets the descriptor of the report
// channel (a pipe whose text comes back in ChildEnd::report) and returns the
// child's exit status; every stream is flushed before the child ends. In the
// child SIGINT and SIGTERM have their default actions. Main thread of a
// process without other threads.
ChildEnd runInChild(const std::function<int(int reportFd)> &body, const ChildOptions &options);

// "SIGSEGV" for 11, ...; "signal N" when unknown.
std::string signalName(int sig);

// True when a line of a script's standard output (`size` bytes of it, its
// start at least) is one of the extractor's listing lines: it starts with
// the extractor's listing format up to that format's first conversion.
bool isListingLine(const char *text, std::size_t size);

// A power cut played on one script run (upgsim sweep): everything off by
// default. Operations are the state-changing file operations on the unit's
// devices, counted from the start of the script (hostsim::stateOpCount).
struct PowerOptions {
    std::uint64_t cutAt = 0; // the run ends before operation cutAt; 0: no cut
    bool lostWrites = false; // at the cut, data not yet synced is cut short
    std::uint32_t seed = 0;  // of the lost-writes model
    int traceFd = -1;        // each operation traced there as "k\top\tpath"; -1: none
};

// The child's work for one script: starts the module, runs the script (the
// bargraph drawn on standard error when `progress`), stops a bargraph the
// script left running, prints the compiler's messages and the host's notes
// on standard error, then the module's last error lines when the script did
// not end with 0. Writes "status N", "ticks N" and "ops N" (the operations
// counted) lines to reportFd once the script has run. With a cut armed the
// process ends at operation `power.cutAt` with hostsim::kPowerCutExitStatus
// and reports nothing. Returns the exit status: the script's, or
// k_exit_not_compiled / k_exit_host_failure.
int runScriptHere(const std::string &script, const RunOptions &options, bool progress, int reportFd,
                  const PowerOptions &power = PowerOptions());

// How a script run ended, as upgsim reports it.
struct ScriptOutcome {
    int exitStatus = k_exit_host_failure; // upgsim's exit status
    bool scripts = false;                 // exitStatus is the script's own status
    bool ran = false;                     // the script ran to its end
    long long status = 0;                 // when it ran: its whole result (main's or exit's)
    // When exitStatus is upgsim's: the line that said why, without
    // "upgsim: ".
    std::string message;
};

// How a child's end is reported, after printing on standard error what the
// user must know: "upgsim: script ended by signal N (NAME)", the timeout's
// or the interruption's line, processes the script left that were ended, and
// for a status of the script that could be taken for upgsim's (124 and
// above) or that an exit status cannot carry (outside 0 to 255, given as
// 255) whose it is.
ScriptOutcome outcomeOf(const ChildEnd &end, int timeoutSeconds);
// outcomeOf(end, timeoutSeconds).exitStatus.
int exitStatusOf(const ChildEnd &end, int timeoutSeconds);

// The value of "KEY VALUE" lines of a report, in order.
std::vector<std::string> reportValues(const std::string &report, const std::string &key);

// Writes all `size` bytes of `data` to `fd`, again after a partial or an
// interrupted write. False when a write fails. Any thread.
bool writeAll(int fd, const char *data, std::size_t size);

// Installs `handler` for SIGINT and SIGTERM (system calls restarted, no
// signal blocked), keeping the actions they had in `oldInt` and `oldTerm`
// for restoreInterrupts. The process's main thread.
void catchInterrupts(void (*handler)(int), struct sigaction &oldInt, struct sigaction &oldTerm);
// Puts back the actions catchInterrupts kept.
void restoreInterrupts(const struct sigaction &oldInt, const struct sigaction &oldTerm);

// Prints on standard error the last few lines of the module's captured log
// that tell of an error, under a heading; nothing when there are none.
void printModuleErrors();

} // namespace scripthost

#endif
