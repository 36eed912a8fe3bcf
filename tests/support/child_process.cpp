// Forked children for tests (see child_process.h).
#include "tests/support/child_process.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

int runInChild(const std::function<void()> &child, int timeoutMs) {
    const pid_t pid = fork();
    if (pid == 0) {
        child();
        _exit(0);
    }
    if (pid < 0)
        return -1;
    // Polled every 10 ms rather than waited for: a wait cannot time out.
    int status = 0;
    pid_t ended = 0;
    for (int waited = 0; ended == 0 && waited < timeoutMs; waited += 10) {
        ended = waitpid(pid, &status, WNOHANG);
        if (ended == 0)
            usleep(10000);
    }
    if (ended == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        return -1;
    }
    if (ended < 0)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace testsupport
