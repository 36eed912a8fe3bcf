// The power-cut model of the host's unit devices: one counter of the
// state-changing file operations on a unit device (from every task and the
// script's own calls), a cut armed before operation k that ends the process
// at once, a trace of the operations, and the record of each file's data
// written since its last sync, which a cut can lose (seeded, deterministic).
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

struct PowerCut {
    std::mutex lock;
    std::uint64_t count = 0;
    std::uint64_t cutAt = 0; // value of count that is cut; 0: none armed
    int traceFd = -1;
    bool lostWrites = false;
    std::uint64_t seed = 0;
    // Host path -> lowest offset written since the file's last sync.
    std::map<std::string, long long> unsynced;
    // The builtin calls in the trace: their count since resetStateOps(), the
    // one running ("NAME#n", empty: none) and its site, the last one made and
    // its site, its thread.
    bool traceCalls = false;
    unsigned calls = 0;
    unsigned depth = 0;
    std::string running, runningSite, last, lastSite;
    std::thread::id caller;
};

PowerCut &state() {
    static PowerCut *p = new PowerCut; // never destroyed: tasks may outlive main
    return *p;
}

// splitmix64: small, fast and the same on every host.
std::uint64_t nextRandom(std::uint64_t *s) {
    std::uint64_t z = (*s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

void writeAll(int fd, const std::string &text) {
    const char *p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// Cuts each unsynced file short, in host-path order, and traces each file cut
// when the builtin calls are traced. Under p.lock.
void loseUnsyncedLocked(PowerCut &p) {
    std::uint64_t s = p.seed;
    for (const auto &e : p.unsynced) {
        struct stat st;
        if (hostsim::detail::confinedStat(e.first, &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        const long long size = static_cast<long long>(st.st_size);
        const long long from = e.second < size ? e.second : size;
        const std::uint64_t span = static_cast<std::uint64_t>(size - from) + 1;
        const long long keep = from + static_cast<long long>(nextRandom(&s) % span);
        if (keep < size) {
            (void)hostsim::detail::confinedTruncate(e.first, keep);
            std::string unit;
            if (p.traceFd >= 0 && p.traceCalls && hostsim::detail::unitPathOf(e.first, &unit))
                writeAll(p.traceFd, "-\tlost\t" + unit + "\t" + std::to_string(keep) + "\t" +
                                        std::to_string(size) + "\n");
        }
    }
}

// The trace's call and site fields of an operation of this thread:
// "<TAB>call<TAB>site". Under p.lock.
std::string callFieldsLocked(const PowerCut &p) {
    if (p.depth > 0)
        return "\t" + p.running + "\t" + p.runningSite;
    if (std::this_thread::get_id() != p.caller)
        return "\t" + p.last + "\t" + p.lastSite;
    return "\t\t";
}

bool under(const std::string &path, const std::string &dir) {
    return path.size() > dir.size() && path.compare(0, dir.size(), dir) == 0 &&
           (dir == "/" || path[dir.size()] == '/');
}

} // namespace

namespace hostsim {

std::uint64_t stateOpCount() {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    return p.count;
}

void resetStateOps() {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    if (p.cutAt != 0)
        p.cutAt -= p.count;
    p.count = 0;
    p.calls = 0;
    p.running.clear();
    p.runningSite.clear();
    p.last.clear();
    p.lastSite.clear();
}

void armPowerCut(std::uint64_t k) {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    p.cutAt = k == 0 ? 0 : p.count + k;
}

void setLostWrites(bool on, std::uint32_t seed) {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    p.lostWrites = on;
    p.seed = seed;
}

void traceStateOps(int fd) {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    p.traceFd = fd;
}

void traceBuiltinCalls(bool on) {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    p.traceCalls = on;
}

void cutPowerNow() {
    PowerCut &p = state();
    p.lock.lock(); // held: no other task changes a file after the cut
    if (p.lostWrites)
        loseUnsyncedLocked(p);
    ::_exit(kPowerCutExitStatus);
}

std::vector<std::string> unsyncedFiles() {
    std::vector<std::string> hostPaths;
    {
        PowerCut &p = state();
        std::lock_guard<std::mutex> g(p.lock);
        for (const auto &e : p.unsynced)
            hostPaths.push_back(e.first);
    }
    std::vector<std::string> out;
    for (const std::string &h : hostPaths) {
        std::string unit;
        out.push_back(detail::unitPathOf(h, &unit) ? unit : h);
    }
    return out;
}

namespace detail {

bool stateOp(const char *op, const std::string &hostPath) {
    std::string unit;
    if (!unitPathOf(hostPath, &unit))
        return false;
    const int saved = errno;
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    const std::uint64_t k = ++p.count;
    if (p.traceFd >= 0)
        writeAll(p.traceFd, std::to_string(k) + "\t" + op + "\t" + unit +
                                (p.traceCalls ? callFieldsLocked(p) : std::string()) + "\n");
    if (p.cutAt != 0 && k == p.cutAt) {
        // The lock stays held: no other task changes a file after the cut.
        if (p.lostWrites)
            loseUnsyncedLocked(p);
        ::_exit(kPowerCutExitStatus);
    }
    errno = saved;
    return true;
}

void builtinCallBegins(const char *name, const std::string &site) {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    if (p.depth++ > 0)
        return; // a builtin a builtin calls: its operations are the outer call's
    p.running = std::string(name) + "#" + std::to_string(++p.calls);
    p.runningSite = site;
    p.last = p.running;
    p.lastSite = site;
    p.caller = std::this_thread::get_id();
}

void builtinCallEnds() {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    if (p.depth > 0 && --p.depth == 0) {
        p.running.clear();
        p.runningSite.clear();
    }
}

void noteWritten(const std::string &hostPath, long long offset) {
    if (hostPath.empty())
        return;
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    auto it = p.unsynced.find(hostPath);
    if (it == p.unsynced.end())
        p.unsynced.emplace(hostPath, offset < 0 ? 0 : offset);
    else if (offset < it->second)
        it->second = offset < 0 ? 0 : offset;
}

void noteSynced(const std::string &hostPath) {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    p.unsynced.erase(hostPath);
}

void noteSyncedUnder(const std::string &hostDir) {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    for (auto it = p.unsynced.begin(); it != p.unsynced.end();)
        it = under(it->first, hostDir) ? p.unsynced.erase(it) : std::next(it);
}

void noteRenamed(const std::string &from, const std::string &to) {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    std::map<std::string, long long> moved;
    for (auto it = p.unsynced.begin(); it != p.unsynced.end();) {
        if (it->first == to || under(it->first, to)) {
            it = p.unsynced.erase(it);
        } else if (it->first == from || under(it->first, from)) {
            moved.emplace(to + it->first.substr(from.size()), it->second);
            it = p.unsynced.erase(it);
        } else {
            ++it;
        }
    }
    p.unsynced.insert(moved.begin(), moved.end());
}

void noteRemoved(const std::string &hostPath) {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    p.unsynced.erase(hostPath);
}

void resetPowerCut() {
    PowerCut &p = state();
    std::lock_guard<std::mutex> g(p.lock);
    p.count = 0;
    p.cutAt = 0;
    p.traceFd = -1;
    p.lostWrites = false;
    p.seed = 0;
    p.unsynced.clear();
    p.traceCalls = false;
    p.calls = 0;
    p.depth = 0;
    p.running.clear();
    p.runningSite.clear();
    p.last.clear();
    p.lastSite.clear();
}

} // namespace detail
} // namespace hostsim
