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

// The parent's side: standard output line by line, standard error as it
// comes, a bar line on the terminal ended before an output line.
class Relay {
public:
    Relay(const ChildOptions &options) : m_out(options.out != nullptr ? options.out : stdout) {
        m_endBarLines = isatty(STDERR_FILENO) && isatty(fileno(m_out));
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
        if (!writeAll(STDERR_FILENO, data, size))
            m_lost = true;
        m_errorLineOpen = data[size - 1] != '\n';
    }
    // The child has ended: a last line without its newline, and an open bar
    // line, are finished.
    void finish() {
        if (!m_pending.empty())
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
        if (m_errorLineOpen && m_endBarLines) {
            writeAll(STDERR_FILENO, "\n", 1);
            m_errorLineOpen = false;
        }
        if (std::fwrite(text.data(), 1, text.size(), m_out) != text.size() ||
            std::fflush(m_out) != 0)
            m_lost = true;
    }

    FILE *m_out;
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
        std::fprintf(stderr, "upgsim: script stopped: still running after %d s (--timeout)\n",
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
    fcntl(signals.fd[1], F_SETFL, O_NONBLOCK);
    g_signal = 0;
    g_signal_pipe = signals.fd[1];
    struct sigaction action = {};
    action.sa_handler = onSignal;
    // Restarted: a Ctrl-C must not cut the relay's own writes of the
    // script's lines (stdio drops what an interrupted write() did not take).
    // poll() still returns at once, and the signal pipe wakes it anyway.
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    struct sigaction oldInt = {}, oldTerm = {};
    sigaction(SIGINT, &action, &oldInt);
    sigaction(SIGTERM, &action, &oldTerm);

    std::fflush(nullptr);
    // The child starts the unit's tasks afresh: no thread kept from an
    // earlier task may be in the process when it forks.
    hostsim::endIdleThreads();
    // The extractor's listing reaches the relay (and its file) on the
    // child's standard output only when a listing file is asked for;
    // otherwise it stays in the log.
    if (!options.listingPath.empty())
        hostsim::consoleToFd(STDOUT_FILENO);
    pid_t pid = fork();
    if (pid == 0)
        childSide(body, out, err, report, signals);
    hostsim::consoleToFd(-1);

    close(out.fd[1]);
    close(err.fd[1]);
    close(report.fd[1]);
    out.fd[1] = err.fd[1] = report.fd[1] = -1;
    if (pid < 0) {
        out.closeBoth();
        err.closeBoth();
        report.closeBoth();
    } else {
        Relay relay(options);
        // A descriptor that becomes readable when the child ends (Linux
        // 5.3 and later): the end is seen at once rather than at the next
        // look of the 20 ms below, which adds up over a sweep's hundreds of
        // runs.
        int exitFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
        if (exitFd >= 0)
            fcntl(exitFd, F_SETFD, FD_CLOEXEC);
        const auto started = Clock::now();
        bool stopping = false; // SIGTERM sent
        bool killed = false;   // SIGKILL sent
        bool timedOut = false;
        Clock::time_point killAt;
        int status = 0;
        bool reaped = false;
        // Standard error first when both have data: a bar drawn before a
        // line is then ended before the line.
        int fds[3] = {out.fd[0], err.fd[0], report.fd[0]};
        while (!reaped || fds[0] >= 0 || fds[1] >= 0 || fds[2] >= 0) {
            // Deadlines: the timeout, then the grace before SIGKILL.
            int waitMs = -1;
            const auto now = Clock::now();
            if (options.timeoutSeconds > 0 && !stopping) {
                auto left = started + std::chrono::seconds(options.timeoutSeconds) - now;
                waitMs = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
                if (waitMs <= 0) {
                    timedOut = stopping = true;
                    kill(pid, SIGTERM);
                    killAt = now + std::chrono::milliseconds(k_kill_grace_ms);
                    continue;
                }
            }
            if (stopping && !killed) {
                auto left = killAt - now;
                waitMs = static_cast<int>(
                    std::chrono::duration_cast<std::chrono::milliseconds>(left).count());
                if (waitMs <= 0) {
                    killed = true;
                    kill(pid, SIGKILL);
                    continue;
                }
            }
            // Once its pipes are closed the child is looked at every 20 ms
            // (it may have closed them and run on).
            if (fds[0] < 0 && fds[1] < 0 && fds[2] < 0 && exitFd < 0 && (waitMs < 0 || waitMs > 20))
                waitMs = 20;
            struct pollfd polled[5];
            int count = 0;
            for (int fd : {fds[1], fds[0], fds[2]})
                if (fd >= 0)
                    polled[count++] = {fd, POLLIN, 0};
            polled[count++] = {signals.fd[0], POLLIN, 0};
            if (exitFd >= 0 && !reaped)
                polled[count++] = {exitFd, POLLIN, 0};
            int ready = poll(polled, static_cast<nfds_t>(count), waitMs);
            if (ready < 0 && errno != EINTR)
                break;
            if (g_signal != 0 && !stopping) {
                stopping = true;
                kill(pid, SIGTERM);
                killAt = Clock::now() + std::chrono::milliseconds(k_kill_grace_ms);
            }
            for (int i = 0; i < count && ready > 0; ++i) {
                if (polled[i].revents == 0)
                    continue;
                const int fd = polled[i].fd;
                bool more = true;
                if (fd == signals.fd[0]) {
                    char ignored[16];
                    more = read(fd, ignored, sizeof ignored) != 0;
                    continue;
                }
                if (fd == exitFd)
                    continue; // the child has ended: reaped below
                if (fd == fds[0])
                    more = drain(fd, [&](const char *d, std::size_t n) { relay.output(d, n); });
                else if (fd == fds[1])
                    more = drain(fd, [&](const char *d, std::size_t n) { relay.error(d, n); });
                else
                    more =
                        drain(fd, [&](const char *d, std::size_t n) { end.report.append(d, n); });
                if (!more) {
                    close(fd);
                    for (int &f : fds)
                        if (f == fd)
                            f = -1;
                }
            }
            if (!reaped) {
                pid_t done = waitpid(pid, &status, WNOHANG);
                if (done == pid || (done < 0 && errno == ECHILD))
                    reaped = true;
            }
        }
        for (int fd : fds)
            if (fd >= 0)
                close(fd);
        if (exitFd >= 0)
            close(exitFd);
        if (!reaped)
            waitpid(pid, &status, 0);
        relay.finish();
        end.listed = relay.listed();
        end.outputLost = relay.lost();
        if (g_signal != 0) {
            end.how = ChildEnd::How::Interrupted;
            end.code = g_signal;
        } else if (timedOut) {
            end.how = ChildEnd::How::TimedOut;
        } else if (WIFSIGNALED(status)) {
            end.how = ChildEnd::How::Signaled;
            end.code = WTERMSIG(status);
        } else {
            end.how = ChildEnd::How::Exited;
            end.code = WEXITSTATUS(status);
        }
    }
    sigaction(SIGINT, &oldInt, nullptr);
    sigaction(SIGTERM, &oldTerm, nullptr);
    g_signal_pipe = -1;
    signals.closeBoth();
    return end;
}

} // namespace scripthost
