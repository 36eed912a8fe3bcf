// The child process of a script run and the parent's relay of its output.
#include "tools/scripthost/child.h"

#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "unit/hmi.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <iterator>
#include <poll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace scripthost {

namespace {

using Clock = std::chrono::steady_clock;

const char k_listing_prefix[] = "(UntarBlock) ";
// Time a child gets between SIGTERM and SIGKILL.
const int k_kill_grace_ms = 2000;

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
// comes, a bar line on the terminal ended before an output line.
class Relay {
public:
    Relay(const ChildOptions &options, ChildEnd &end)
        : m_out(options.out != nullptr ? options.out : stdout),
          m_capture(options.capture ? &end : nullptr), m_captureLimit(options.captureLimit) {
        m_endBarLines = m_capture == nullptr && isatty(STDERR_FILENO) && isatty(fileno(m_out));
        if (!options.listingPath.empty())
            m_listing = std::fopen(options.listingPath.c_str(), "w");
    }
    ~Relay() {
        if (m_listing != nullptr)
            std::fclose(m_listing);
    }
    Relay(const Relay &) = delete;
    Relay &operator=(const Relay &) = delete;

    void output(const char *data, std::size_t size) {
        m_pending.append(data, size);
        std::size_t start = 0;
        std::size_t nl;
        while ((nl = m_pending.find('\n', start)) != std::string::npos) {
            line(m_pending.substr(start, nl + 1 - start));
            start = nl + 1;
        }
        m_pending.erase(0, start);
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
        if (m_capture != nullptr)
            keep(m_capture->out, m_pending.data(), m_pending.size());
        else if (!m_pending.empty())
            line(m_pending + "\n");
        m_pending.clear();
        if (m_errorLineOpen)
            writeAll(STDERR_FILENO, "\n", 1);
        m_errorLineOpen = false;
    }
    unsigned long listed() const { return m_listed; }
    // True when a line of the script could not be written out.
    bool lost() const { return m_lost; }

private:
    void line(const std::string &text) {
        if (m_listing != nullptr &&
            text.compare(0, sizeof k_listing_prefix - 1, k_listing_prefix) == 0) {
            ++m_listed;
            std::fputs(text.c_str(), m_listing);
            return;
        }
        if (m_capture != nullptr) {
            keep(m_capture->out, text.data(), text.size());
            return;
        }
        if (m_errorLineOpen && m_endBarLines) {
            writeAll(STDERR_FILENO, "\n", 1);
            m_errorLineOpen = false;
        }
        if (std::fwrite(text.data(), 1, text.size(), m_out) != text.size() ||
            std::fflush(m_out) != 0)
            m_lost = true;
    }

    // Adds what fits of `data` to a captured stream and counts it all.
    void keep(CapturedOutput &stream, const char *data, std::size_t size) {
        stream.bytes += size;
        if (stream.text.size() < m_captureLimit)
            stream.text.append(data, std::min(size, m_captureLimit - stream.text.size()));
    }

    FILE *m_out;
    ChildEnd *m_capture; // null: not captured
    const std::size_t m_captureLimit;
    FILE *m_listing = nullptr;
    bool m_endBarLines = false;
    bool m_errorLineOpen = false;
    std::string m_pending;
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
    char buf[8192];
    ssize_t n = read(fd, buf, sizeof buf);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (n <= 0)
        return false;
    sink(buf, static_cast<std::size_t>(n));
    return true;
}

[[noreturn]] void childSide(const std::function<int(int)> &body, Pipe &out, Pipe &err, Pipe &report,
                            Pipe &signals) {
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

int exitStatusOf(const ChildEnd &end, int timeoutSeconds) {
    // Output that could not be passed on is a failure of upgsim: a script
    // that ended well must not look as if everything it printed was shown.
    if (end.outputLost)
        std::fprintf(stderr, "upgsim: some of the script's output could not be written\n");
    switch (end.how) {
    case ChildEnd::How::Exited:
        return end.outputLost && end.code == 0 ? k_exit_host_failure : end.code;
    case ChildEnd::How::Signaled:
        std::fprintf(stderr, "upgsim: script ended by signal %d (%s)\n", end.code,
                     signalName(end.code).c_str());
        return k_exit_signal_base + end.code;
    case ChildEnd::How::TimedOut:
        std::fprintf(stderr,
                     "upgsim: script stopped: still running after %d s (--timeout SECONDS sets "
                     "the limit, 0 none)\n",
                     timeoutSeconds);
        return k_exit_timed_out;
    case ChildEnd::How::Interrupted:
        std::fprintf(stderr, "upgsim: interrupted by %s: script stopped\n",
                     signalName(end.code).c_str());
        return k_exit_signal_base + end.code;
    default:
        std::fprintf(stderr, "upgsim: cannot start the script's process: %s\n",
                     std::strerror(errno));
        return k_exit_host_failure;
    }
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

// The parent's watch over a running child: relays its standard output and
// error, collects its report channel, stops it after the timeout or on
// SIGINT/SIGTERM (SIGKILL after a grace), and reaps it. The parent's main
// thread, from fork to the child's end.
class ChildWatch {
public:
    // `fds`: the read ends of the child's standard output, standard error
    // and report channel (closed by the watch); `signalFd`: the signal
    // pipe's read end.
    ChildWatch(pid_t pid, const ChildOptions &options, const int (&fds)[3], int signalFd,
               ChildEnd &end)
        : m_pid(pid), m_options(options), m_relay(options, end), m_signalFd(signalFd),
          m_report(end.report), m_started(Clock::now()) {
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

    // Watches until the child is reaped and every pipe is at its end (or
    // poll fails), then closes the pipes and reaps the child if need be.
    void run() {
        while (!m_reaped || m_fds[0] >= 0 || m_fds[1] >= 0 || m_fds[2] >= 0) {
            int waitMs = -1;
            if (!deadlines(waitMs))
                continue;
            if (!pollOnce(waitMs))
                break;
            if (!m_reaped) {
                pid_t done = waitpid(m_pid, &m_status, WNOHANG);
                if (done == m_pid || (done < 0 && errno == ECHILD))
                    m_reaped = true;
            }
        }
        for (int fd : m_fds)
            if (fd >= 0)
                close(fd);
        if (m_exitFd >= 0)
            close(m_exitFd);
        if (!m_reaped)
            waitpid(m_pid, &m_status, 0);
        m_relay.finish();
    }

    // How the child ended, once run() is over.
    void result(ChildEnd &end) const {
        end.listed = m_relay.listed();
        end.outputLost = m_relay.lost();
        if (g_signal != 0) {
            end.how = ChildEnd::How::Interrupted;
            end.code = g_signal;
        } else if (m_timedOut) {
            end.how = ChildEnd::How::TimedOut;
        } else if (WIFSIGNALED(m_status)) {
            end.how = ChildEnd::How::Signaled;
            end.code = WTERMSIG(m_status);
        } else {
            end.how = ChildEnd::How::Exited;
            end.code = WEXITSTATUS(m_status);
        }
    }

private:
    // Sends SIGTERM and sets the time of the SIGKILL that follows.
    void stop(Clock::time_point now) {
        m_stopping = true;
        kill(m_pid, SIGTERM);
        m_killAt = now + std::chrono::milliseconds(k_kill_grace_ms);
    }

    static int msUntil(Clock::time_point when, Clock::time_point now) {
        return static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(when - now).count());
    }

    // The deadlines: the timeout, then the grace before SIGKILL. Sets how
    // long the next poll may wait (-1: no limit); false when a deadline has
    // passed and its signal was sent (look again).
    bool deadlines(int &waitMs) {
        const auto now = Clock::now();
        if (m_options.timeoutSeconds > 0 && !m_stopping) {
            waitMs = msUntil(m_started + std::chrono::seconds(m_options.timeoutSeconds), now);
            if (waitMs <= 0) {
                m_timedOut = true;
                stop(now);
                return false;
            }
        }
        if (m_stopping && !m_killed) {
            waitMs = msUntil(m_killAt, now);
            if (waitMs <= 0) {
                m_killed = true;
                kill(m_pid, SIGKILL);
                return false;
            }
        }
        // Once its pipes are closed the child is looked at every 20 ms (it
        // may have closed them and run on).
        if (m_fds[0] < 0 && m_fds[1] < 0 && m_fds[2] < 0 && m_exitFd < 0 &&
            (waitMs < 0 || waitMs > 20))
            waitMs = 20;
        return true;
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
        if (m_exitFd >= 0 && !m_reaped)
            polled[count++] = {m_exitFd, POLLIN, 0};
        int ready = poll(polled, static_cast<nfds_t>(count), waitMs);
        if (ready < 0 && errno != EINTR)
            return false;
        if (g_signal != 0 && !m_stopping)
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
            return; // the child has ended: reaped by run()
        bool more = true;
        if (fd == m_fds[0])
            more = drain(fd, [&](const char *d, std::size_t n) { m_relay.output(d, n); });
        else if (fd == m_fds[1])
            more = drain(fd, [&](const char *d, std::size_t n) { m_relay.error(d, n); });
        else
            more = drain(fd, [&](const char *d, std::size_t n) { m_report.append(d, n); });
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
    std::string &m_report;
    const Clock::time_point m_started;
    bool m_stopping = false; // SIGTERM sent
    bool m_killed = false;   // SIGKILL sent
    bool m_timedOut = false;
    Clock::time_point m_killAt;
    int m_status = 0;
    bool m_reaped = false;
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
    pid_t pid = fork();
    if (pid == 0)
        childSide(body, out, err, report, signals);
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
        ChildWatch watch(pid, options, fds, signals.fd[0], end);
        watch.run();
        watch.result(end);
    }
    restoreInterrupts(oldInt, oldTerm);
    g_signal_pipe = -1;
    signals.closeBoth();
    return end;
}

} // namespace scripthost
