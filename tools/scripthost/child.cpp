// The child process of a script run and the parent's relay of its output.
#include "tools/scripthost/child.h"

#include "tools/scripthost/confine.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "untgz/C_UNTGZ_LOG.h"
#include "unit/hmi.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <set>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace scripthost {

namespace {

using Clock = std::chrono::steady_clock;

// Write end of the pipe that turns SIGINT/SIGTERM into readable bytes, and
// the signal received (0: none).
int g_signal_pipe = -1;
volatile sig_atomic_t g_signal = 0;

void onSignal(int sig) {
    g_signal = sig;
    if (g_signal_pipe >= 0) {
        const char byte = static_cast<char>(sig);
        ssize_t ignored = write(g_signal_pipe, &byte, 1);
        (void)ignored;
    }
}

// The parent's side: standard output line by line, standard error as it
// comes, a bar line on the terminal ended before an output line. A line
// longer than k_line_piece is passed on in pieces of that size as they come
// (its start decides where all of it goes): memory stays bounded and the
// work linear whatever the script writes without a newline.
class Relay {
public:
    Relay(const ChildOptions &options, ChildEnd &end)
        : m_out(options.out != nullptr ? options.out : stdout),
          m_capture(options.capture ? &end : nullptr), m_captureLimit(options.captureLimit) {
        m_endBarLines = m_capture == nullptr && isatty(STDERR_FILENO) && isatty(fileno(m_out));
        if (!options.listingPath.empty() && m_capture == nullptr)
            m_listing = std::fopen(options.listingPath.c_str(), "w");
        m_pending.reserve(k_line_piece);
    }
    ~Relay() {
        if (m_listing != nullptr)
            std::fclose(m_listing);
    }
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    void output(const char *data, std::size_t size) {
        if (m_capture != nullptr) {
            keep(m_capture->out, data, size);
            return;
        }
        while (size > 0) {
            const char *nl = static_cast<const char *>(std::memchr(data, '\n', size));
            const std::size_t piece =
                nl != nullptr ? static_cast<std::size_t>(nl - data) + 1 : size;
            if (nl != nullptr && m_pending.empty()) {
                pass(data, piece, true);
            } else {
                m_pending.append(data, piece);
                if (nl != nullptr || m_pending.size() >= k_line_piece) {
                    pass(m_pending.data(), m_pending.size(), nl != nullptr);
                    m_pending.clear();
                }
            }
            data += piece;
            size -= piece;
        }
    }
    void error(const char *data, std::size_t size) {
        if (size == 0)
            return;
        if (m_capture != nullptr) {
            keep(m_capture->err, data, size);
            return;
        }
        if (!writeAll(STDERR_FILENO, data, size))
            m_lost = true;
        m_errorLineOpen = data[size - 1] != '\n';
    }
    // The child has ended: a last line without its newline, and an open bar
    // line, are finished.
    void finish() {
        if (m_capture == nullptr && (!m_pending.empty() || m_midLine)) {
            m_pending += '\n';
            pass(m_pending.data(), m_pending.size(), true);
        }
        m_pending.clear();
        if (m_errorLineOpen)
            writeAll(STDERR_FILENO, "\n", 1);
        m_errorLineOpen = false;
    }
    unsigned long listed() const { return m_listed; }
    // True when a line of the script could not be written out.
    bool lost() const { return m_lost; }

private:
    // Bytes of a line held before they are passed on without its end.
    static constexpr std::size_t k_line_piece = 64 * 1024;

    // Passes on a piece of a line; `ends`: the piece ends the line. The
    // start of a line decides where the whole line goes: the listing file
    // (the extractor's lines) or the output, a bar line on the terminal
    // ended first.
    void pass(const char *text, std::size_t size, bool ends) {
        if (!m_midLine) {
            m_lineToListing = m_listing != nullptr && isListingLine(text, size);
            if (m_lineToListing) {
                ++m_listed;
            } else if (m_errorLineOpen && m_endBarLines) {
                writeAll(STDERR_FILENO, "\n", 1);
                m_errorLineOpen = false;
            }
        }
        m_midLine = !ends;
        if (m_lineToListing) {
            std::fwrite(text, 1, size, m_listing);
            return;
        }
        if (std::fwrite(text, 1, size, m_out) != size || std::fflush(m_out) != 0)
            m_lost = true;
    }

    // Adds what fits of `data` to a captured stream and counts it all.
    void keep(CapturedOutput &stream, const char *data, std::size_t size) {
        stream.bytes += size;
        if (stream.text.size() < m_captureLimit)
            stream.text.append(data, std::min(size, m_captureLimit - stream.text.size()));
    }

    FILE *m_out;
    ChildEnd *m_capture; // null: not captured (everything is kept, the listing too)
    const std::size_t m_captureLimit;
    FILE *m_listing = nullptr;
    bool m_endBarLines = false;
    bool m_errorLineOpen = false;
    std::string m_pending;        // the start of a line, less than k_line_piece bytes
    bool m_midLine = false;       // a line has been passed on in part
    bool m_lineToListing = false; // where the line being passed on goes
    unsigned long m_listed = 0;
    bool m_lost = false;
};

struct Pipe {
    int fd[2] = {-1, -1};
    bool open() { return pipe2(fd, O_CLOEXEC) == 0; }
    void closeBoth() {
        for (int &f : fd)
            if (f >= 0) {
                close(f);
                f = -1;
            }
    }
};

// Reads what is there on fd into `sink`; false at the end of the stream.
template <typename Sink> bool drain(int fd, Sink sink) {
    char buf[65536];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0)
        return false;
    sink(buf, static_cast<std::size_t>(n));
    return true;
}

[[noreturn]] void childSide(const std::function<int(int)> &body, pid_t parent, Pipe &out, Pipe &err,
                            Pipe &report, Pipe &signals) {
    // The leader of a process group of its own, whose every member the
    // parent can end at once, and ended with the parent: a script must not
    // run on when upgsim is killed. A parent that died before the request
    // took effect is seen by the new parent id.
    setpgid(0, 0);
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(k_exit_host_failure);
    // A script reading a terminal from outside its foreground group would be
    // stopped (SIGTTIN): it reads nothing instead.
    if (isatty(STDIN_FILENO)) {
        const int none = open("/dev/null", O_RDONLY);
        if (none >= 0) {
            dup2(none, STDIN_FILENO);
            close(none);
        }
    }
    // A script's crash ends the child by its signal, also where a memory
    // checker has put its own handler in (the script's code is not checked).
    for (int sig : {SIGINT, SIGTERM, SIGPIPE, SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT})
        std::signal(sig, SIG_DFL);
    close(signals.fd[0]);
    close(signals.fd[1]);
    dup2(out.fd[1], STDOUT_FILENO);
    dup2(err.fd[1], STDERR_FILENO);
    close(out.fd[0]);
    close(out.fd[1]);
    close(err.fd[0]);
    close(err.fd[1]);
    close(report.fd[0]);
    // Unbuffered: what the script printed is in the pipe even when it
    // crashes the next moment.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    int status = body(report.fd[1]);
    std::fflush(nullptr);
    close(report.fd[1]);
    // Not exit(): the parent's atexit handlers and static objects are the
    // parent's business.
    _exit(status & 0xFF);
}

// Lines of the module's log shown when a run fails.
const std::size_t k_error_lines_shown = 5;

bool isErrorLine(const std::string &line) {
    std::string lower(line);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    for (const char *word : {"error", "fail", "cannot", "could not", "not found"})
        if (lower.find(word) != std::string::npos)
            return true;
    return false;
}

} // namespace

bool isListingLine(const char *text, std::size_t size) {
    // The extractor's console listing format up to its first conversion.
    std::size_t prefix = 0;
    while (g_untgz_console_listing[prefix] != '%' && g_untgz_console_listing[prefix] != '\0')
        ++prefix;
    return size >= prefix && std::memcmp(text, g_untgz_console_listing, prefix) == 0;
}

const char k_timeout_variable[] = "UPGSIM_TIMEOUT";

int defaultTimeoutSeconds() {
    const char *text = std::getenv(k_timeout_variable);
    if (text == nullptr || *text == '\0')
        return k_default_timeout_seconds;
    char *end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno == 0 && *end == '\0' && std::isdigit(static_cast<unsigned char>(*text)) &&
        value <= k_max_timeout_seconds)
        return static_cast<int>(value);
    static bool said = false;
    if (!said)
        std::fprintf(stderr, "upgsim: %s='%s' is not a number of seconds (0 to %d): %d s\n",
                     k_timeout_variable, text, k_max_timeout_seconds, k_default_timeout_seconds);
    said = true;
    return k_default_timeout_seconds;
}

bool writeAll(int fd, const char *data, std::size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

void catchInterrupts(void (*handler)(int), struct sigaction &oldInt, struct sigaction &oldTerm) {
    struct sigaction action = {};
    action.sa_handler = handler;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);
}

void restoreInterrupts(const struct sigaction &oldInt, const struct sigaction &oldTerm) {
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
}

void printModuleErrors() {
    std::vector<std::string> errors;
    for (const hostsim::LogLine &line : hostsim::capturedLog()) {
        std::string text = line.text;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        if (!text.empty() && isErrorLine(text))
            errors.push_back(text);
    }
    if (errors.empty())
        return;
    std::fprintf(stderr, "upgsim: the module's last error lines (--log FILE keeps them all):\n");
    std::size_t first =
        errors.size() > k_error_lines_shown ? errors.size() - k_error_lines_shown : 0;
    for (std::size_t i = first; i < errors.size(); ++i)
        std::fprintf(stderr, "  %s\n", errors[i].c_str());
}

int runScriptHere(const std::string &script, const RunOptions &options, bool progress, int reportFd,
                  const PowerOptions &power) {
    if (C_BUILTINS::Instance() == nullptr) {
        std::fprintf(stderr, "upgsim: the module cannot start\n");
        printModuleErrors();
        return k_exit_host_failure;
    }
    unit::setBargraphOnTerminal(progress);
    const ULONG ticksBefore = tickGet();
    RunOptions own = options;
    own.ownProcess = true;
    own.confine = true;
    // Operations are counted from here: the module's start touches no device.
    hostsim::resetStateOps();
    hostsim::setLostWrites(power.lostWrites, power.seed);
    hostsim::traceStateOps(power.traceFd);
    hostsim::armPowerCut(power.cutAt);
    RunResult result = runScript(script, own);
    const unsigned long ticks = static_cast<unsigned long>(tickGet() - ticksBefore);
    // A script that ended with its bargraph running leaves the bar task
    // alive: stop it as the unit's upgrade manager does when a script ends.
    val_t ignored;
    hostsim::callBuiltin("DeactivateBargraph", {}, &ignored);
    unit::setBargraphOnTerminal(false);
    hostsim::waitAllTasks(10000);
    // A task still writing belongs to the run: the cut stays armed until
    // every task has ended.
    hostsim::armPowerCut(0);
    hostsim::traceStateOps(-1);
    const unsigned long long ops = hostsim::stateOpCount();
    std::fflush(stdout);

    for (const std::string &message : result.messages) {
        if (result.ran())
            std::fprintf(stderr, "upgsim: %s\n", message.c_str());
        else
            std::fprintf(stderr, "%s%s", message.c_str(),
                         !message.empty() && message.back() == '\n' ? "" : "\n");
    }
    // A log that lost lines fails the run (outcomeOf): they are what --log
    // was given for.
    if (const int err = hostsim::logFileError())
        dprintf(reportFd, "log_error %d\n", err);
    int status = k_exit_host_failure;
    switch (result.outcome) {
    case RunResult::Outcome::Returned:
    case RunResult::Outcome::Exited:
        status = result.status;
        dprintf(reportFd, "status %d\nticks %lu\nops %llu\n", status, ticks, ops);
        break;
    case RunResult::Outcome::CompileFailed:
        std::fprintf(stderr, "upgsim: %s did not compile\n", script.c_str());
        return k_exit_not_compiled;
    case RunResult::Outcome::LinkFailed:
        std::fprintf(stderr, "upgsim: %s did not link\n", script.c_str());
        return k_exit_not_compiled;
    default:
        std::fprintf(stderr, "upgsim: %s could not be run\n", script.c_str());
        return k_exit_host_failure;
    }
    if (status != 0)
        printModuleErrors();
    return status;
}

namespace {

// Prints "upgsim: TEXT" on standard error; returns TEXT.
std::string say(const std::string &text) {
    std::fprintf(stderr, "upgsim: %s\n", text.c_str());
    return text;
}

std::string processes(unsigned n) {
    return std::to_string(n) + (n == 1 ? " process" : " processes");
}

} // namespace

ScriptOutcome outcomeOf(const ChildEnd &end, int timeoutSeconds) {
    ScriptOutcome outcome;
    if (end.outputHeld)
        say("a process the script started kept its output open after the script ended: ended");
    if (end.leftovers > 0)
        say("ended " + std::to_string(end.leftovers) + " other process" +
            (end.leftovers == 1 ? "" : "es") + " of the script");
    if (end.unended > 0)
        say(processes(end.unended) + " of the script could not be ended");
    // Output or log lines that could not be written are a failure of upgsim:
    // a script that ended well must not look as if everything was kept.
    std::string lost;
    if (end.outputLost)
        lost = say("some of the script's output could not be written");
    const std::vector<std::string> logError = reportValues(end.report, "log_error");
    if (!logError.empty())
        lost = say("--log: the log file did not take every line: " +
                   std::string(std::strerror(std::atoi(logError.back().c_str()))));
    const std::vector<std::string> reported = reportValues(end.report, "status");
    switch (end.how) {
    case ChildEnd::How::Exited:
        if (reported.empty()) {
            outcome.exitStatus = end.code; // the host's own: the script did not run
            // Said by the child already.
            outcome.message = end.code == k_exit_not_compiled ? "the script did not compile or link"
                                                              : "the script did not run (status " +
                                                                    std::to_string(end.code) + ")";
            return outcome;
        }
        outcome.ran = true;
        outcome.status = std::strtoll(reported.back().c_str(), nullptr, 10);
        if (!lost.empty() && outcome.status == 0) {
            outcome.exitStatus = k_exit_host_failure;
            outcome.message = lost;
            return outcome;
        }
        outcome.scripts = true;
        if (outcome.status < 0 || outcome.status > 255) {
            // The exit status keeps 8 bits: 256 would read as 0.
            outcome.exitStatus = 255;
            say("the script's status " + std::to_string(outcome.status) +
                " does not fit an exit status (0 to 255): upgsim ends with 255");
        } else {
            outcome.exitStatus = static_cast<int>(outcome.status);
            if (outcome.exitStatus >= k_exit_timed_out)
                say("status " + std::to_string(outcome.exitStatus) +
                    " is the script's own (what main returned or exit was given), not upgsim's");
        }
        return outcome;
    case ChildEnd::How::Signaled:
        outcome.message = say("script ended by signal " + std::to_string(end.code) + " (" +
                              signalName(end.code) + ")");
        outcome.exitStatus = k_exit_signal_base + end.code;
        return outcome;
    case ChildEnd::How::TimedOut:
        outcome.message =
            say("script stopped: still running after " + std::to_string(timeoutSeconds) +
                " s (--timeout SECONDS sets the limit, 0 none)");
        outcome.exitStatus = k_exit_timed_out;
        return outcome;
    case ChildEnd::How::Interrupted:
        outcome.message = say("interrupted by " + signalName(end.code) + ": script stopped");
        outcome.exitStatus = k_exit_signal_base + end.code;
        return outcome;
    default:
        outcome.message =
            say(std::string("cannot start the script's process: ") + std::strerror(errno));
        return outcome;
    }
}

int exitStatusOf(const ChildEnd &end, int timeoutSeconds) {
    return outcomeOf(end, timeoutSeconds).exitStatus;
}

std::vector<std::string> reportValues(const std::string &report, const std::string &key) {
    std::vector<std::string> values;
    std::size_t start = 0;
    while (start < report.size()) {
        std::size_t nl = report.find('\n', start);
        if (nl == std::string::npos)
            nl = report.size();
        const std::string line = report.substr(start, nl - start);
        if (line.compare(0, key.size() + 1, key + " ") == 0)
            values.push_back(line.substr(key.size() + 1));
        start = nl + 1;
    }
    return values;
}

std::string signalName(int sig) {
    const char *abbrev = sigabbrev_np(sig);
    return abbrev != nullptr ? std::string("SIG") + abbrev : "signal " + std::to_string(sig);
}

namespace {

// The processes of the script's tree as the process table shows them now:
// this process's own children (which only this process can reap, so their
// ids stay theirs until it does) and the members of the script's process
// group.
struct TreeScan {
    std::vector<pid_t> children; // of this process, alive or not yet reaped
    std::vector<pid_t> members;  // of the group, not zombies (for counting only)
};

// Reads the ppid, the group and the state of every process in /proc.
TreeScan scanTree(pid_t group) {
    TreeScan scan;
    const pid_t self = getpid();
    DIR *proc = opendir("/proc");
    if (proc == nullptr)
        return scan;
    while (struct dirent *entry = readdir(proc)) {
        if (!std::isdigit(static_cast<unsigned char>(entry->d_name[0])))
            continue;
        char path[sizeof entry->d_name + 16];
        std::snprintf(path, sizeof path, "/proc/%s/stat", entry->d_name);
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char text[512];
        const ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        if (n <= 0)
            continue;
        text[n] = '\0';
        // "pid (comm) state ppid pgrp ...": the name may hold spaces and
        // parentheses; the fields after it start at its last ')'.
        const char *after = std::strrchr(text, ')');
        char state = 0;
        long ppid = 0, pgrp = 0;
        if (after == nullptr || std::sscanf(after + 1, " %c %ld %ld", &state, &ppid, &pgrp) != 3)
            continue;
        const pid_t pid = static_cast<pid_t>(std::atol(entry->d_name));
        if (ppid == self)
            scan.children.push_back(pid);
        if (pgrp == group && state != 'Z')
            scan.members.push_back(pid);
    }
    closedir(proc);
    return scan;
}

// Sleeps `ms` milliseconds (poll on nothing: no signal handler of ours
// needs waking it).
void pause(int ms) {
    poll(nullptr, 0, ms);
}

// The parent's watch over a running child: relays its standard output and
// error, collects its report channel, stops it after the timeout or on
// SIGINT/SIGTERM (SIGKILL after a grace), and once it has ended ends every
// process it left (its process group, then every descendant handed to this
// process as their subreaper). The child is reaped last: until then its id,
// which is also its group's, belongs to it, so no signal reaches a process
// that merely got the same number. The parent's main thread, from fork to the
// child's end.
class ChildWatch {
public:
    // `fds`: the read ends of the child's standard output, standard error
    // and report channel (closed by the watch); `signalFd`: the signal
    // pipe's read end; `earlier`: children this process had before the fork
    // (not the script's).
    ChildWatch(pid_t pid, const ChildOptions &options, const int (&fds)[3], int signalFd,
               ChildEnd &end, std::vector<pid_t> earlier)
        : m_pid(pid), m_options(options), m_relay(options, end), m_signalFd(signalFd), m_end(end),
          m_earlier(std::move(earlier)), m_started(Clock::now()) {
        std::copy(std::begin(fds), std::end(fds), m_fds);
        // A descriptor that becomes readable when the child ends (Linux
        // 5.3 and later): the end is seen at once rather than at the next
        // look of the 20 ms below, which adds up over a sweep's hundreds of
        // runs.
        m_exitFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (m_exitFd >= 0)
            fcntl(m_exitFd, F_SETFD, FD_CLOEXEC);
    }
    ChildWatch(const ChildWatch &) = delete;
    ChildWatch &operator=(const ChildWatch &) = delete;

    // Watches until the child has ended and every pipe is at its end (or a
    // process it left held them past the grace, or poll fails), ends what
    // the child left, then closes the pipes and reaps the child.
    void run() {
        while (true) {
            lookForEnd();
            if (m_ended && pipesClosed())
                break;
            int waitMs = -1;
            if (!deadlines(waitMs))
                continue;
            if (m_giveUp || !pollOnce(waitMs))
                break;
        }
        endLeftovers();
        // What the ended processes wrote last, up to the end of the pipes.
        const auto drainUntil = Clock::now() + std::chrono::milliseconds(k_drain_ms);
        while (!pipesClosed() && Clock::now() < drainUntil)
            if (!pollOnce(msUntil(drainUntil, Clock::now())))
                break;
        for (int fd : m_fds)
            if (fd >= 0)
                close(fd);
        if (m_exitFd >= 0)
            close(m_exitFd);
        if (!m_reaped)
            waitpid(m_pid, nullptr, 0);
        m_reaped = true;
        m_relay.finish();
    }

    // How the child ended, once run() is over.
    void result(ChildEnd &end) const {
        end.listed = m_relay.listed();
        end.outputLost = m_relay.lost();
        end.leftovers = static_cast<unsigned>(m_seen.size());
        end.outputHeld = m_outputHeld;
        end.unended = m_unended;
        if (g_signal != 0) {
            end.how = ChildEnd::How::Interrupted;
            end.code = g_signal;
        } else if (m_timedOut) {
            end.how = ChildEnd::How::TimedOut;
        } else if (m_signaled) {
            end.how = ChildEnd::How::Signaled;
            end.code = m_code;
        } else {
            end.how = ChildEnd::How::Exited;
            end.code = m_code;
        }
    }

private:
    // Time the script's processes get between SIGTERM and SIGKILL.
    static constexpr int k_kill_grace_ms = 2000;
    // Time a process the script left may keep its output open once the
    // script has ended.
    static constexpr int k_output_grace_ms = 1000;
    // Time ending the leftovers may take (a process in an uninterruptible
    // wait cannot be ended at once), and reading what they wrote last.
    static constexpr int k_leftover_ms = 5000;
    static constexpr int k_drain_ms = 1000;

    bool pipesClosed() const { return m_fds[0] < 0 && m_fds[1] < 0 && m_fds[2] < 0; }

    // Notes the child's end without reaping it (it stays a zombie that
    // holds its id).
    void lookForEnd() {
        if (m_ended)
            return;
        siginfo_t info = {};
        if (waitid(P_PID, static_cast<id_t>(m_pid), &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
            if (errno == ECHILD) {
                // Reaped elsewhere: its id is no longer its own.
                m_ended = m_reaped = true;
                m_code = k_exit_host_failure;
                m_endedAt = Clock::now();
            }
            return;
        }
        if (info.si_pid != m_pid)
            return;
        m_ended = true;
        m_endedAt = Clock::now();
        m_signaled = info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED;
        m_code = info.si_status;
    }

    // Sends SIGTERM to the script's processes and sets the time of the
    // SIGKILL that follows.
    void stop(Clock::time_point now) {
        m_stopping = true;
        if (!m_reaped) {
            kill(-m_pid, SIGTERM);
            kill(m_pid, SIGTERM); // also when the script left its group
        }
        m_killAt = now + std::chrono::milliseconds(k_kill_grace_ms);
    }

    static int msUntil(Clock::time_point when, Clock::time_point now) {
        return static_cast<int>(std::max<long long>(
            0, std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count()));
    }

    // Keeps the earliest of the deadlines in waitMs.
    static void soonest(int &waitMs, int ms) {
        if (waitMs < 0 || ms < waitMs)
            waitMs = ms;
    }

    // The deadlines: the timeout, the grace before SIGKILL, and once the
    // child has ended the grace of a process that holds its output. Sets
    // how long the next poll may wait (-1: no limit); false when a deadline
    // has passed and was acted on (look again).
    bool deadlines(int &waitMs) {
        const auto now = Clock::now();
        if (!m_ended && m_options.timeoutSeconds > 0 && !m_stopping) {
            const auto at = m_started + std::chrono::seconds(m_options.timeoutSeconds);
            if (now >= at) {
                m_timedOut = true;
                stop(now);
                return false;
            }
            soonest(waitMs, msUntil(at, now));
        }
        if (!m_ended && m_stopping && !m_killed) {
            if (now >= m_killAt) {
                m_killed = true;
                endLeftovers();
                return false;
            }
            soonest(waitMs, msUntil(m_killAt, now));
        }
        if (m_ended && !pipesClosed()) {
            const auto held = m_endedAt + std::chrono::milliseconds(k_output_grace_ms);
            if (!m_outputHeld && now >= held) {
                m_outputHeld = true;
                endLeftovers();
                return false;
            }
            const auto giveUp = held + std::chrono::milliseconds(k_drain_ms);
            if (m_outputHeld && now >= giveUp) {
                m_giveUp = true; // a holder that could not be ended
                return true;
            }
            soonest(waitMs, msUntil(m_outputHeld ? giveUp : held, now));
        }
        // Without a descriptor for the child's end it is looked at every
        // 20 ms.
        if (!m_ended && m_exitFd < 0)
            soonest(waitMs, 20);
        return true;
    }

    // Ends every process the script left: SIGKILL to its group (whose id
    // is the child's, not yet reaped), to the child, and to every child of
    // this process that is not an earlier one (descendants whose parents
    // have died come to this process as their subreaper; being its
    // children, their ids stay theirs until it reaps them, which it does
    // here). Repeats until none is left, one generation at a time.
    void endLeftovers() {
        if (m_leftoversEnded)
            return;
        const auto until = Clock::now() + std::chrono::milliseconds(k_leftover_ms);
        while (true) {
            if (!m_reaped) {
                kill(-m_pid, SIGKILL);
                if (!m_ended)
                    kill(m_pid, SIGKILL);
            }
            const TreeScan scan = scanTree(m_pid);
            for (pid_t p : scan.members)
                if (p != m_pid)
                    m_seen.insert(p);
            std::vector<pid_t> left;
            for (pid_t c : scan.children)
                if (c != m_pid &&
                    std::find(m_earlier.begin(), m_earlier.end(), c) == m_earlier.end())
                    left.push_back(c);
            for (pid_t c : left) {
                m_seen.insert(c);
                kill(c, SIGKILL);
            }
            for (pid_t c : left)
                waitpid(c, nullptr, WNOHANG);
            lookForEnd();
            if (left.empty() && m_ended)
                break;
            if (Clock::now() >= until) {
                m_unended = static_cast<unsigned>(left.size()) + (m_ended ? 0 : 1);
                break;
            }
            pause(left.empty() ? 5 : 1);
        }
        m_leftoversEnded = true;
    }

    // One poll of the pipes, the signal pipe and the child's end, and what
    // is ready read. False when poll fails.
    bool pollOnce(int waitMs) {
        // Standard error first when both have data: a bar drawn before a
        // line is then ended before the line.
        struct pollfd polled[5];
        int count = 0;
        for (int fd : {m_fds[1], m_fds[0], m_fds[2]})
            if (fd >= 0)
                polled[count++] = {fd, POLLIN, 0};
        polled[count++] = {m_signalFd, POLLIN, 0};
        if (m_exitFd >= 0 && !m_ended)
            polled[count++] = {m_exitFd, POLLIN, 0};
        int ready = poll(polled, static_cast<nfds_t>(count), waitMs);
        if (ready < 0 && errno != EINTR)
            return false;
        if (g_signal != 0 && !m_stopping && !m_ended)
            stop(Clock::now());
        for (int i = 0; i < count && ready > 0; ++i)
            if (polled[i].revents != 0)
                readReady(polled[i].fd);
        return true;
    }

    // Reads a descriptor poll found ready; a pipe at its end is closed.
    void readReady(int fd) {
        if (fd == m_signalFd) {
            char ignored[16];
            ssize_t n = read(fd, ignored, sizeof ignored);
            (void)n;
            return;
        }
        if (fd == m_exitFd)
            return; // the child has ended: seen by lookForEnd
        bool more = true;
        if (fd == m_fds[0])
            more = drain(fd, [&](const char *d, std::size_t n) { m_relay.output(d, n); });
        else if (fd == m_fds[1])
            more = drain(fd, [&](const char *d, std::size_t n) { m_relay.error(d, n); });
        else
            more = drain(fd, [&](const char *d, std::size_t n) { m_end.report.append(d, n); });
        if (!more) {
            close(fd);
            for (int &f : m_fds)
                if (f == fd)
                    f = -1;
        }
    }

    const pid_t m_pid;
    const ChildOptions &m_options;
    Relay m_relay;
    int m_fds[3] = {-1, -1, -1}; // standard output, standard error, report (-1 at its end)
    const int m_signalFd;
    int m_exitFd = -1;
    ChildEnd &m_end;
    const std::vector<pid_t> m_earlier;
    const Clock::time_point m_started;
    bool m_stopping = false; // SIGTERM sent
    bool m_killed = false;   // SIGKILL sent after the grace
    bool m_timedOut = false;
    Clock::time_point m_killAt;
    bool m_ended = false;  // the child has ended (a zombie until reaped)
    bool m_reaped = false; // its id is no longer its own
    Clock::time_point m_endedAt;
    bool m_signaled = false;
    int m_code = 0;
    bool m_outputHeld = false;     // a leftover kept the output open past the grace
    bool m_giveUp = false;         // and could not be ended
    bool m_leftoversEnded = false; // endLeftovers has run
    std::set<pid_t> m_seen;        // the script's processes besides the child found running
    unsigned m_unended = 0;        // those that could not be ended
};

// Turns SIGINT and SIGTERM into g_signal and a byte on the pipe whose write
// end is `pipeFd` (made non-blocking); the handlers they had are kept in
// `oldInt` and `oldTerm`.
void catchSignals(int pipeFd, struct sigaction &oldInt, struct sigaction &oldTerm) {
    fcntl(pipeFd, F_SETFL, O_NONBLOCK);
    g_signal = 0;
    g_signal_pipe = pipeFd;
    // Restarted: a Ctrl-C must not cut the relay's own writes of the
    // script's lines (stdio drops what an interrupted write() did not take).
    // poll() still returns at once, and the signal pipe wakes it anyway.
    catchInterrupts(onSignal, oldInt, oldTerm);
}

// Forks the child that runs `body` (childSide); the parent's pid result of
// fork. The extractor's listing reaches the relay (and its file) on the
// child's standard output only when a listing file is asked for; otherwise
// it stays in the log.
pid_t forkChild(const std::function<int(int)> &body, const ChildOptions &options, Pipe &out,
                Pipe &err, Pipe &report, Pipe &signals) {
    std::fflush(nullptr);
    // The child starts the unit's tasks afresh: no thread kept from an
    // earlier task may be in the process when it forks.
    hostsim::endIdleThreads();
    if (!options.listingPath.empty())
        hostsim::consoleToFd(STDOUT_FILENO);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0)
        childSide(body, parent, out, err, report, signals);
    // Also here: whichever of the two runs first, the group exists before
    // the watch may signal it.
    if (pid > 0)
        setpgid(pid, pid);
    hostsim::consoleToFd(-1);
    return pid;
}

} // namespace

ChildEnd runInChild(const std::function<int(int)> &body, const ChildOptions &options) {
    ChildEnd end;
    Pipe out, err, report, signals;
    if (!out.open() || !err.open() || !report.open() || !signals.open()) {
        out.closeBoth();
        err.closeBoth();
        report.closeBoth();
        signals.closeBoth();
        return end;
    }
    // Descendants the script leaves behind come to this process when their
    // parents die, so that it can end them (not inherited by forks: set in
    // every process that runs a child).
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    noteUnconfined();
    const std::vector<pid_t> earlier = scanTree(0).children;
    struct sigaction oldInt = {}, oldTerm = {};
    catchSignals(signals.fd[1], oldInt, oldTerm);
    const pid_t pid = forkChild(body, options, out, err, report, signals);

    close(out.fd[1]);
    close(err.fd[1]);
    close(report.fd[1]);
    out.fd[1] = err.fd[1] = report.fd[1] = -1;
    if (pid < 0) {
        out.closeBoth();
        err.closeBoth();
        report.closeBoth();
    } else {
        const int fds[3] = {out.fd[0], err.fd[0], report.fd[0]};
        ChildWatch watch(pid, options, fds, signals.fd[0], end, earlier);
        watch.run();
        watch.result(end);
    }
    restoreInterrupts(oldInt, oldTerm);
    g_signal_pipe = -1;
    signals.closeBoth();
    return end;
}

} // namespace scripthost
