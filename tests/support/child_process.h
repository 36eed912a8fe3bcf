// Running a piece of a test in a forked child process: for what ends the
// process (a power cut) or must start from a process of its own.
#ifndef TESTS_SUPPORT_CHILD_PROCESS_H
#define TESTS_SUPPORT_CHILD_PROCESS_H

#include <functional>

namespace testsupport {

// Runs `child` in a forked process, which ends with _exit(0) when `child`
// returns (it may end the process itself with another status). Waits up to
// timeoutMs for it; a child still running then is killed, so that a hung
// child fails the test instead of hanging it. Returns the child's exit
// status, or -1 when it could not be forked, ended by a signal, or was
// killed at the timeout. Call it from the test's own thread.
int runInChild(const std::function<void()> &child, int timeoutMs = 10000);

} // namespace testsupport

#endif
