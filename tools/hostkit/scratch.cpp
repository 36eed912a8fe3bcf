// Marked scratch folders, their removal when a signal ends the owner (after
// its writers are stopped), and the removal of stale ones.
#include "tools/hostkit/scratch.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <mutex>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace hostkit {

const char *const k_scratch_marker = ".upgsim-scratch";

std::string scratchBase() {
    const char *tmp = std::getenv("TMPDIR");
    return tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
}

namespace {

// ---- Async-signal-safe helpers ------------------------------------------------
// Everything the signal handler calls: system calls on fixed buffers, no
// allocation, no lock.

const int k_slots = 16;
const size_t k_path_max = 4096;
char s_paths[k_slots][k_path_max];
std::atomic<int> s_owner[k_slots]; // process that owns the slot; 0: free
std::mutex s_slot_lock;            // taking and freeing slots (never in the handler)
// Threads between making a folder and taking its slot (the handler waits
// for them: a folder made but not yet in a slot would be left behind).
std::atomic<int> s_creating{0};

const int k_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
const int k_signal_count = 4;
struct sigaction s_previous[k_signal_count];
int s_hold_signal = 0; // the signal that holds a thread where it stands

// The thread cleaning up (0: none), and the threads held so far.
std::atomic<long> s_cleaner{0};
std::atomic<int> s_held{0};
thread_local volatile sig_atomic_t t_held = 0;

long threadId() {
    return static_cast<long>(syscall(SYS_gettid));
}

void pauseMs(long ms) {
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

struct Dirent64 {
    uint64_t ino;
    int64_t off;
    unsigned short reclen;
    unsigned char type;
    char name[1];
};

// Calls `each` with every numeric name in the folder `dir` (a /proc folder
// of task ids).
template <typename F> void forEachNumber(const char *dir, F each) {
    static char dents[4096];
    const int fd = open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    long n;
    while ((n = syscall(SYS_getdents64, fd, dents, sizeof dents)) > 0) {
        for (long at = 0; at < n;) {
            const Dirent64 *d = reinterpret_cast<const Dirent64 *>(dents + at);
            at += d->reclen;
            long value = 0;
            const char *p = d->name;
            for (; *p >= '0' && *p <= '9'; ++p)
                value = value * 10 + (*p - '0');
            if (p != d->name && *p == '\0')
                each(value);
        }
    }
    close(fd);
}

// Writes the decimal `value` after `out` (NUL-terminated, `cap` bytes).
void appendNumber(char *out, size_t cap, long value) {
    char digits[24];
    int n = 0;
    do {
        digits[n++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value > 0 && n < 23);
    size_t len = strnlen(out, cap);
    while (n > 0 && len + 1 < cap)
        out[len++] = digits[--n];
    out[len] = '\0';
}

// The child processes of every thread of this process, as the kernel lists
// them; the count (at most `cap`).
int listChildren(pid_t *out, int cap) {
    static char path[64];
    static char text[4096];
    int count = 0;
    forEachNumber("/proc/self/task", [&](long tid) {
        path[0] = '\0';
        strcat(path, "/proc/self/task/");
        appendNumber(path, sizeof path, tid);
        strcat(path, "/children");
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return;
        const ssize_t n = read(fd, text, sizeof text - 1);
        close(fd);
        long pid = 0;
        bool digit = false;
        for (ssize_t i = 0; i <= n; ++i) {
            const char c = i < n ? text[i] : ' ';
            if (c >= '0' && c <= '9') {
                pid = pid * 10 + (c - '0');
                digit = true;
            } else if (digit) {
                if (count < cap)
                    out[count++] = static_cast<pid_t>(pid);
                pid = 0;
                digit = false;
            }
        }
    });
    return count;
}

// Ends the child processes and their process groups: SIGTERM first, so
// that a sweep's worker stops its own run, then SIGKILL; each round reaps
// what ended and looks again (a process whose parent ended comes to this
// one, a subreaper). Bounded: at most a few seconds.
void stopChildren() {
    static pid_t children[256];
    for (int round = 0; round < 6; ++round) {
        const int count = listChildren(children, 256);
        if (count == 0)
            return;
        const int sig = round == 0 ? SIGTERM : SIGKILL;
        for (int i = 0; i < count; ++i) {
            kill(-children[i], sig);
            kill(children[i], sig);
        }
        // Reap until no child is left or the round's time is up.
        for (int waited = 0; waited < (round == 0 ? 3000 : 1000); waited += 5) {
            int status = 0;
            const pid_t got = waitpid(-1, &status, WNOHANG);
            if (got < 0 && errno == ECHILD)
                break;
            if (got <= 0)
                pauseMs(5);
        }
    }
}

// Holds the calling thread for good (the process ends meanwhile).
[[noreturn]] void holdHere() {
    if (t_held == 0) {
        t_held = 1;
        s_held.fetch_add(1);
    }
    for (;;)
        pause();
}

void onHold(int) {
    holdHere();
}

// Holds every other thread of the process where it stands: a thread in a
// system call finishes it, then takes the hold signal and waits there. The
// threads started meanwhile are met by the second look. False when some
// thread did not take it within two seconds.
bool holdOtherThreads() {
    static long sent[1024];
    int count = 0;
    const long self = threadId();
    const pid_t pid = getpid();
    for (int look = 0; look < 3; ++look) {
        forEachNumber("/proc/self/task", [&](long tid) {
            if (tid == self)
                return;
            for (int i = 0; i < count; ++i)
                if (sent[i] == tid)
                    return;
            if (count < 1024 && syscall(SYS_tgkill, static_cast<long>(pid), tid,
                                        static_cast<long>(s_hold_signal)) == 0)
                sent[count++] = tid;
        });
        for (int waited = 0; s_held.load() < count && waited < 2000; ++waited)
            pauseMs(1);
    }
    return s_held.load() >= count;
}

// Removes the tree at `root` with open, getdents64, unlinkat, rmdir and
// close only: depth-first without recursion, the path of the folder being
// emptied in one static buffer; an emptied folder is removed and its parent
// read again. A folder that will not empty (a writer still at work) ends a
// pass; a few passes are made.
void removeTreeSafely(const char *root) {
    static char walk[k_path_max];
    static char dents[4096];
    const size_t rootLen = strnlen(root, k_path_max - 1);
    for (int pass = 0; pass < 5; ++pass) {
        memcpy(walk, root, rootLen);
        walk[rootLen] = '\0';
        size_t len = rootLen;
        for (int guard = 0; guard < 1000000; ++guard) {
            const int fd = open(walk, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (fd < 0)
                break;
            bool descended = false;
            bool progress = true;
            while (!descended && progress) {
                progress = false;
                const long n = syscall(SYS_getdents64, fd, dents, sizeof dents);
                if (n <= 0)
                    break;
                for (long at = 0; at < n && !descended;) {
                    const Dirent64 *d = reinterpret_cast<const Dirent64 *>(dents + at);
                    at += d->reclen;
                    if (strcmp(d->name, ".") == 0 || strcmp(d->name, "..") == 0)
                        continue;
                    if (unlinkat(fd, d->name, 0) == 0 || unlinkat(fd, d->name, AT_REMOVEDIR) == 0) {
                        progress = true;
                        continue;
                    }
                    const size_t nameLen = strlen(d->name);
                    if (len + 1 + nameLen + 1 > k_path_max)
                        continue;
                    walk[len] = '/';
                    memcpy(walk + len + 1, d->name, nameLen + 1);
                    len += 1 + nameLen;
                    descended = true;
                }
            }
            close(fd);
            if (descended)
                continue;
            if (rmdir(walk) != 0)
                break;
            if (len <= rootLen)
                return; // the root is gone
            while (len > rootLen && walk[len] != '/')
                --len;
            walk[len] = '\0';
        }
        if (access(root, F_OK) != 0)
            return;
    }
}

bool ownsAFolder() {
    const int self = static_cast<int>(getpid());
    for (int i = 0; i < k_slots; ++i)
        if (s_owner[i].load() == self)
            return true;
    return false;
}

int signalIndex(int sig) {
    for (int i = 0; i < k_signal_count; ++i)
        if (k_signals[i] == sig)
            return i;
    return -1;
}

// The signal's course as if this handler were not there: the handler
// before it, or the signal's own action.
void passOn(int sig, siginfo_t *info, void *context) {
    const int i = signalIndex(sig);
    const struct sigaction &prev = s_previous[i];
    if ((prev.sa_flags & SA_SIGINFO) != 0 && prev.sa_sigaction != nullptr) {
        prev.sa_sigaction(sig, info, context);
        return;
    }
    if (prev.sa_handler == SIG_IGN)
        return;
    if (prev.sa_handler != SIG_DFL && prev.sa_handler != nullptr) {
        prev.sa_handler(sig);
        return;
    }
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(sig, &dfl, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, sig);
    raise(sig);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    _exit(128 + sig); // not reached for a signal whose action ends the process
}

void onSignal(int sig, siginfo_t *info, void *context) {
    // A folder being made in another thread (which blocks these signals
    // meanwhile) takes its slot within moments: wait for it, boundedly.
    for (int wait = 0; wait < 2000 && s_creating.load() > 0; ++wait)
        pauseMs(1);
    // A process forked from the owner (the script's child) has no folder of
    // its own here, unless it made one.
    if (!ownsAFolder()) {
        passOn(sig, info, context);
        return;
    }
    long expected = 0;
    const long self = threadId();
    if (!s_cleaner.compare_exchange_strong(expected, self))
        holdHere(); // another thread is already cleaning up
    const int savedErrno = errno;
    stopChildren();
    holdOtherThreads();
    const int pid = static_cast<int>(getpid());
    for (int i = 0; i < k_slots; ++i)
        if (s_owner[i].load() == pid)
            removeTreeSafely(s_paths[i]);
    passOn(sig, info, context);
    // The handler before returned. With threads held the process cannot go
    // on: it ends as the signal would have.
    if (s_held.load() > 0) {
        const int i = signalIndex(sig);
        s_previous[i].sa_handler = SIG_DFL;
        s_previous[i].sa_flags = 0;
        passOn(sig, info, context);
    }
    errno = savedErrno;
    s_cleaner.store(0);
}

// Installs the handlers in this process. A forked child inherits them (and
// what they pass on to), but may have put a signal back to its default
// since: there the handler is installed again over what it has now. Under
// s_slot_lock.
int s_installed_in = 0; // the process they were last installed in

void installHandlers() {
    const int self = static_cast<int>(getpid());
    if (s_installed_in == self)
        return;
    s_installed_in = self;
    s_hold_signal = SIGRTMIN + 5;
    struct sigaction hold;
    memset(&hold, 0, sizeof hold);
    hold.sa_handler = onHold;
    sigfillset(&hold.sa_mask);
    sigaction(s_hold_signal, &hold, nullptr);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = onSignal;
    sa.sa_flags = SA_SIGINFO;
    sigemptyset(&sa.sa_mask);
    for (int sig : k_signals)
        sigaddset(&sa.sa_mask, sig);
    for (int i = 0; i < k_signal_count; ++i) {
        struct sigaction now;
        if (sigaction(k_signals[i], nullptr, &now) != 0)
            continue;
        const bool ours = (now.sa_flags & SA_SIGINFO) != 0 && now.sa_sigaction == onSignal;
        if (ours || ((now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == SIG_IGN))
            continue; // already here, or ignored from the start: stays ignored
        s_previous[i] = now;
        sigaction(k_signals[i], &sa, nullptr);
    }
}

// ---- Markers -----------------------------------------------------------------

// This host's name ("-" when it has none).
std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "-";
    return name;
}

// The start time of process `pid` in clock ticks since boot (field 22 of
// /proc/PID/stat); 0 when it cannot be read (no such process).
unsigned long long startTime(long pid) {
    const std::string path = "/proc/" + std::to_string(pid) + "/stat";
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return 0;
    char text[1024];
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    // The command name, in parentheses, may hold spaces: the fields after it
    // start at the last ')'.
    const char *p = std::strrchr(text, ')');
    if (p == nullptr)
        return 0;
    ++p;
    for (int field = 3; field < 22; ++field) {
        while (*p == ' ')
            ++p;
        while (*p != ' ' && *p != '\0')
            ++p;
    }
    return std::strtoull(p, nullptr, 10);
}

// Writes the marker into `dir`. False when it cannot be written whole.
bool writeMarker(const std::string &dir) {
    const std::string path = dir + "/" + k_scratch_marker;
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    const std::string text = std::to_string(static_cast<long>(getpid())) + " " +
                             std::to_string(startTime(static_cast<long>(getpid()))) + " " +
                             hostName() + "\n";
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    return close(fd) == 0 && written;
}

} // namespace

Scratch::Scratch(const std::string &parent, const std::string &tag)
    : m_parent(parent.empty() ? scratchBase() : parent) {
    std::vector<char> name(m_parent.begin(), m_parent.end());
    const std::string tail = "/" + tag + "-XXXXXX";
    name.insert(name.end(), tail.begin(), tail.end());
    name.push_back('\0');
    if (name.size() >= k_path_max) {
        m_error = ENAMETOOLONG;
        return;
    }
    {
        std::lock_guard<std::mutex> lock(s_slot_lock);
        installHandlers();
    }
    // A child whose parent ends comes to this process, which then ends it
    // before the folders go (a sweep's run outliving its worker).
    prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0);
    // From the folder's making to its slot, the signals that remove the
    // folders wait in this thread, and the handler in another one waits for
    // this: a signal in between would leave the folder behind.
    sigset_t handled;
    sigset_t before;
    sigemptyset(&handled);
    for (int sig : k_signals)
        sigaddset(&handled, sig);
    s_creating.fetch_add(1);
    pthread_sigmask(SIG_BLOCK, &handled, &before);
    const bool madeIt = mkdtemp(name.data()) != nullptr;
    const int madeError = errno;
    const std::string made = name.data();
    if (madeIt) {
        std::lock_guard<std::mutex> lock(s_slot_lock);
        for (int i = 0; i < k_slots && m_slot < 0; ++i) {
            if (s_owner[i].load() != 0)
                continue;
            memcpy(s_paths[i], made.c_str(), made.size() + 1);
            s_owner[i].store(static_cast<int>(getpid()));
            m_slot = i;
        }
    }
    s_creating.fetch_sub(1);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    if (!madeIt) {
        m_error = madeError;
        return;
    }
    std::error_code ec;
    if (m_slot < 0) {
        fs::remove_all(made, ec);
        m_error = EMFILE;
        return;
    }
    if (!writeMarker(made)) {
        m_error = errno != 0 ? errno : EIO;
        fs::remove_all(made, ec);
        std::lock_guard<std::mutex> lock(s_slot_lock);
        s_owner[m_slot].store(0);
        m_slot = -1;
        return;
    }
    m_path = made;
}

Scratch::~Scratch() {
    if (m_slot < 0)
        return;
    std::error_code ec;
    fs::remove_all(m_path, ec);
    std::lock_guard<std::mutex> lock(s_slot_lock);
    s_owner[m_slot].store(0);
}

bool isStale(const std::string &dir) {
    const std::string path = dir + "/" + k_scratch_marker;
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid())
        return false;
    FILE *f = std::fopen(path.c_str(), "r");
    if (f == nullptr)
        return false;
    char text[512] = {};
    const size_t n = std::fread(text, 1, sizeof text - 1, f);
    std::fclose(f);
    text[n] = '\0';
    // "PID START HOST", or "PID HOST" as older runs wrote it.
    long pid = 0;
    unsigned long long start = 0;
    char second[256] = {}, host[256] = {};
    const int fields = std::sscanf(text, "%ld %255s %255s", &pid, second, host);
    if (fields == 2)
        std::memcpy(host, second, sizeof host);
    else if (fields == 3)
        start = std::strtoull(second, nullptr, 10);
    // Only a process of this host (pid name space) can be asked for.
    if (fields < 2 || pid <= 0 || hostName() != host)
        return false;
    const unsigned long long now = startTime(pid);
    if (now != 0)
        return start != 0 && now != start; // running: stale only when the id was reused
    return kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH;
}

int removeStaleScratch(const std::string &parent) {
    std::vector<std::string> parents;
    if (parent.empty()) {
        parents.push_back(scratchBase());
        if (parents.front() != "/dev/shm")
            parents.push_back("/dev/shm");
    } else {
        parents.push_back(parent);
    }
    int removed = 0;
    for (const std::string &p : parents) {
        DIR *d = opendir(p.c_str());
        if (d == nullptr)
            continue;
        std::vector<std::string> stale;
        while (const struct dirent *e = readdir(d)) {
            if (std::strncmp(e->d_name, "upgsim-", 7) != 0)
                continue;
            const std::string dir = p + "/" + e->d_name;
            struct stat st;
            if (lstat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && isStale(dir))
                stale.push_back(dir);
        }
        closedir(d);
        for (const std::string &dir : stale) {
            std::error_code ec;
            if (fs::remove_all(dir, ec) > 0 && !ec)
                ++removed;
        }
    }
    return removed;
}

} // namespace hostkit
