// The device table on the host: unit device names ("/SDH", "/F", "/DVD")
// mapped onto host folders, each with the block size that stat/fstat report
// for it, the capacities that play a card of a given size, and the devices
// played as reporting no block size.
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

struct Device {
    std::string name;    // "/SDH"
    std::string hostDir; // host folder, without a trailing '/'
    long blockSize;
};

// A capacity set for a device name (the device may be mounted later), with
// an upper bound of the bytes its folder holds (-1 until counted): the count
// of the last walk of the folder plus every growth allowed since. A walk per
// write or creation made extractions of many files quadratic in time.
struct Capacity {
    std::string name;
    long long bytes;
    long long usedBound;
};

struct DeviceTable {
    std::mutex lock;
    std::vector<Device> devices;
    std::vector<Capacity> capacities;
    // Device names whose file system reports no block size: stat/fstat give
    // st_blksize 0 for them, as a file system can that does not say its
    // allocation unit. Kept apart from the mounts (like the capacities), so
    // that playing it changes nothing else of the device and outlives a
    // remount.
    std::set<std::string> zeroBlockSize;
};

DeviceTable &devices() {
    static DeviceTable *t = new DeviceTable; // never destroyed: tasks may outlive main
    return *t;
}

// setSyncsReachDisk's setting, read at every sync.
std::atomic<bool> g_syncsReachDisk{true};
// setHostPathsAbsent's setting, read at every resolution.
std::atomic<bool> g_hostPathsAbsent{false};

} // namespace

namespace hostsim {

void mountDevice(const std::string &name, const std::string &hostDir, long blockSize) {
    const std::string dev = detail::trimTrailingSlashes(name);
    if (dev.empty())
        return;
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    // Another folder holds other files: count them afresh.
    for (Capacity &c : t.capacities)
        if (c.name == dev)
            c.usedBound = -1;
    for (Device &d : t.devices) {
        if (d.name == dev) {
            d.hostDir = detail::trimTrailingSlashes(hostDir);
            d.blockSize = blockSize;
            return;
        }
    }
    t.devices.push_back(Device{dev, detail::trimTrailingSlashes(hostDir), blockSize});
}

void unmountDevice(const std::string &name) {
    const std::string dev = detail::trimTrailingSlashes(name);
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    for (auto it = t.devices.begin(); it != t.devices.end(); ++it) {
        if (it->name == dev) {
            t.devices.erase(it);
            return;
        }
    }
}

void setDeviceCapacity(const std::string &name, long long bytes) {
    const std::string dev = detail::trimTrailingSlashes(name);
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    for (auto it = t.capacities.begin(); it != t.capacities.end(); ++it) {
        if (it->name == dev) {
            t.capacities.erase(it);
            break;
        }
    }
    if (bytes >= 0)
        t.capacities.push_back(Capacity{dev, bytes, -1});
}

void setDeviceReportsZeroBlockSize(const std::string &name, bool on) {
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    if (on)
        t.zeroBlockSize.insert(name);
    else
        t.zeroBlockSize.erase(name);
}

void setSyncsReachDisk(bool on) {
    g_syncsReachDisk.store(on, std::memory_order_relaxed);
}

void unmountAll() {
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    t.devices.clear();
}

std::string resolvePath(const std::string &unitPath) {
    return detail::resolveCheckingLinks(unitPath.c_str());
}

void setHostPathsAbsent(bool on) {
    g_hostPathsAbsent.store(on, std::memory_order_relaxed);
}

namespace detail {

std::string trimTrailingSlashes(std::string s) {
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

namespace {

// True when the first compLen characters of path are one of the unit's own
// device names. A path on one of them that is not mounted names nothing on
// the host: it must never reach the host folder of that name (a script's
// "/SDH/x" would otherwise land in the host's root).
bool isUnitDeviceName(const std::string &path, size_t compLen) {
    for (const char *name : {"/SDH", "/F", "/DVD"})
        if (std::char_traits<char>::length(name) == compLen && path.compare(0, compLen, name) == 0)
            return true;
    return false;
}

// True when `rest` (a path below a device, "" or starting with '/') has a
// ".." component.
bool hasDotDot(const std::string &rest) {
    for (size_t at = rest.find("/.."); at != std::string::npos; at = rest.find("/..", at + 1))
        if (at + 3 == rest.size() || rest[at + 3] == '/')
            return true;
    return false;
}

// `rest` with its ".." components applied, never above the device's root: as
// "/.." is "/" on a host, a device's root is the top of its paths, and
// "/SDH/../x" is "/SDH/x", never a file beside the card's folder. "." and
// empty components go too; a final '/' stays. A path without ".." is kept
// as it is.
std::string withinDevice(const std::string &rest) {
    if (!hasDotDot(rest))
        return rest;
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t stop = rest.find('/', start);
        if (stop == std::string::npos)
            stop = rest.size();
        const std::string part = rest.substr(start, stop - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = stop + 1;
    }
    std::string out;
    for (const std::string &part : parts)
        out += "/" + part;
    if (!parts.empty() && rest.back() == '/')
        out += '/';
    return out;
}

} // namespace

// The first symbolic link met on the way from the device's folder `dir` down
// to `hostPath` (which lies in it), or empty when there is none. The walk
// stops at the first component that does not exist.
std::string linkOnTheWay(const std::string &dir, const std::string &hostPath) {
    size_t at = dir == "/" ? 0 : dir.size();
    while (at < hostPath.size()) {
        size_t next = hostPath.find('/', at + 1);
        if (next == std::string::npos)
            next = hostPath.size();
        if (next > at + 1) {
            const std::string prefix = hostPath.substr(0, next);
            struct stat st;
            if (::lstat(prefix.c_str(), &st) != 0)
                return std::string();
            if (S_ISLNK(st.st_mode))
                return prefix;
        }
        at = next;
    }
    return std::string();
}

// The device is the path's whole first component: "/SDH" and "/SDH/x" are on
// "/SDH", "/SDHX" is not. A path on an unmounted unit device resolves to the
// empty path, which every host file function refuses with ENOENT (and which
// no folder creation can bring into existence); so does a path on no device
// while host paths are played absent (setHostPathsAbsent), with a log line.
// ".." never leads above a device's root. Links are not looked at here: the
// confined host functions refuse them at the call itself.
Resolved resolve(const char *unitPath) {
    Resolved r{unitPath != nullptr ? unitPath : "", std::string(), 0};
    const std::string &path = r.hostPath;
    if (path.empty())
        return r;
    const size_t end = path[0] == '/' ? path.find('/', 1) : 0;
    const size_t compLen = (end == std::string::npos) ? path.size() : end;
    Resolved out{std::string(), std::string(), 0};
    if (path[0] == '/') {
        DeviceTable &t = devices();
        std::lock_guard<std::mutex> g(t.lock);
        for (const Device &d : t.devices) {
            if (d.name.size() == compLen && path.compare(0, compLen, d.name) == 0) {
                out = Resolved{d.hostDir + withinDevice(path.substr(compLen)), d.name, d.blockSize};
                break;
            }
        }
    }
    if (out.device.empty()) {
        if (path[0] == '/' && isUnitDeviceName(path, compLen)) {
            r.hostPath.clear();
        } else if (g_hostPathsAbsent.load(std::memory_order_relaxed)) {
            const std::string line = "hostsim: " + path + " is absent: " + kNoSuchPathText + "\n";
            emitLog(LogSource::LogMsg, line.c_str());
            r.hostPath.clear();
        }
        return r;
    }
    if (out.hostPath.empty())
        out.hostPath = "/";
    return out;
}

// A path through a symbolic link in a device's folder resolves to the empty
// path, with a log line naming the link: the unit's file systems hold no
// links, and the caller opens the result by name itself, where nothing
// confines it (a link put there later still leads it outside).
std::string resolveCheckingLinks(const char *unitPath) {
    Resolved out = resolve(unitPath);
    if (out.device.empty() || out.hostPath.empty())
        return out.hostPath;
    std::string hostDir;
    {
        DeviceTable &t = devices();
        std::lock_guard<std::mutex> g(t.lock);
        for (const Device &d : t.devices)
            if (d.name == out.device)
                hostDir = d.hostDir;
    }
    // The walk's own failures (a component not there yet) are no failure of
    // the caller's: errno is left as it was.
    const int saved = errno;
    const std::string link = linkOnTheWay(hostDir, out.hostPath);
    if (!link.empty()) {
        const std::string line = "hostsim: " + std::string(unitPath) +
                                 " is refused: it passes through " + link +
                                 ", a symbolic link in the folder of " + out.device +
                                 " (a unit device holds no links)\n";
        emitLog(LogSource::LogMsg, line.c_str());
        out.hostPath.clear();
    }
    errno = saved;
    return out.hostPath;
}

bool unitPathOf(const std::string &hostPath, std::string *unitPath) {
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    for (const Device &d : t.devices) {
        const std::string &dir = d.hostDir;
        if (hostPath == dir ||
            (hostPath.size() > dir.size() && hostPath.compare(0, dir.size(), dir) == 0 &&
             (dir == "/" || hostPath[dir.size()] == '/'))) {
            *unitPath = d.name + hostPath.substr(dir == "/" ? 0 : dir.size());
            return true;
        }
    }
    return false;
}

// The longest device folder that holds the path wins, so that a device
// mounted inside another's folder confines its own paths.
bool placeOf(const std::string &hostPath, Place *place) {
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    const Device *best = nullptr;
    for (const Device &d : t.devices) {
        const std::string &dir = d.hostDir;
        if ((hostPath == dir ||
             (hostPath.size() > dir.size() && hostPath.compare(0, dir.size(), dir) == 0 &&
              (dir == "/" || hostPath[dir.size()] == '/'))) &&
            (best == nullptr || dir.size() > best->hostDir.size()))
            best = &d;
    }
    if (best == nullptr)
        return false;
    place->device = best->name;
    place->root = best->hostDir;
    const size_t from =
        hostPath.find_first_not_of('/', best->hostDir == "/" ? 0 : best->hostDir.size());
    place->rel = from == std::string::npos ? std::string() : hostPath.substr(from);
    return true;
}

long deviceBlockSize(const std::string &device) {
    if (device.empty())
        return 0;
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    for (const Device &d : t.devices)
        if (d.name == device)
            return d.blockSize;
    return 0;
}

bool deviceReportsZeroBlockSize(const std::string &device) {
    if (device.empty())
        return false;
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    return t.zeroBlockSize.count(device) != 0;
}

bool syncsReachDisk() {
    return g_syncsReachDisk.load(std::memory_order_relaxed);
}

void resetZeroBlockSize() {
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    t.zeroBlockSize.clear();
}

void clearCapacities() {
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    t.capacities.clear();
}

namespace {

// The capacity whose device's folder holds hostPath, with that folder; null
// when none. Under t.lock.
Capacity *coveringLocked(DeviceTable &t, const std::string &hostPath, std::string *hostDir) {
    for (Capacity &c : t.capacities) {
        for (const Device &d : t.devices) {
            if (d.name != c.name)
                continue;
            const std::string &dir = d.hostDir;
            if (hostPath == dir ||
                (hostPath.size() > dir.size() && hostPath.compare(0, dir.size(), dir) == 0 &&
                 (dir == "/" || hostPath[dir.size()] == '/'))) {
                *hostDir = dir;
                return &c;
            }
        }
    }
    return nullptr;
}

// What a capacity check needs, copied out under the lock.
struct CapacityView {
    std::string name;
    std::string dir;
    long long bytes;
    long long usedBound;
};

bool viewOf(const std::string &hostPath, CapacityView *v) {
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    const Capacity *c = coveringLocked(t, hostPath, &v->dir);
    if (c == nullptr)
        return false;
    v->name = c->name;
    v->bytes = c->bytes;
    v->usedBound = c->usedBound;
    return true;
}

// Sets the device's bound (`set`), or adds to a known one.
void updateBound(const std::string &name, long long bytes, bool set) {
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    for (Capacity &c : t.capacities) {
        if (c.name != name)
            continue;
        if (set)
            c.usedBound = bytes;
        else if (c.usedBound >= 0)
            c.usedBound += bytes;
    }
}

} // namespace

bool capacityOf(const std::string &hostPath, std::string *hostDir, long long *bytes) {
    CapacityView v;
    if (!viewOf(hostPath, &v))
        return false;
    *hostDir = v.dir;
    *bytes = v.bytes;
    return true;
}

// The bytes of the regular files under a host folder (links not followed).
long long bytesUnder(const std::string &hostDir) {
    long long total = 0;
    DIR *d = ::opendir(hostDir.c_str());
    if (d == nullptr)
        return 0;
    while (struct dirent *e = ::readdir(d)) {
        const std::string n = e->d_name;
        if (n == "." || n == "..")
            continue;
        const std::string p = hostDir + "/" + n;
        struct stat st;
        if (::lstat(p.c_str(), &st) != 0)
            continue;
        if (S_ISDIR(st.st_mode))
            total += bytesUnder(p);
        else if (S_ISREG(st.st_mode))
            total += static_cast<long long>(st.st_size);
    }
    ::closedir(d);
    return total;
}

unsigned long writeAllowance(const std::string &hostPath, int fd, unsigned long count) {
    CapacityView v;
    if (hostPath.empty() || count == 0 || !viewOf(hostPath, &v))
        return count;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return count;
    long long pos = static_cast<long long>(::lseek(fd, 0, SEEK_CUR));
    if (pos < 0 || ::fcntl(fd, F_GETFL) & O_APPEND)
        pos = static_cast<long long>(st.st_size);
    const long long end = pos + static_cast<long long>(count);
    const long long growth = end > st.st_size ? end - st.st_size : 0;
    if (v.usedBound >= 0 && growth <= v.bytes - v.usedBound) {
        updateBound(v.name, growth, false);
        return count;
    }
    // It may not fit: count what the folder really holds.
    const long long used = bytesUnder(v.dir);
    const long long room = v.bytes - used;
    if (growth <= room) {
        updateBound(v.name, used + growth, true);
        return count;
    }
    updateBound(v.name, used + (room > 0 ? room : 0), true);
    const long long fits = static_cast<long long>(count) - (growth - (room > 0 ? room : 0));
    return fits > 0 ? static_cast<unsigned long>(fits) : 0;
}

bool creationRefused(const std::string &hostPath) {
    CapacityView v;
    if (!viewOf(hostPath, &v))
        return false;
    if (v.usedBound >= 0 && v.usedBound < v.bytes)
        return false; // not full even by the upper bound
    struct stat st;
    if (::lstat(hostPath.c_str(), &st) == 0)
        return false; // exists already: nothing is created
    const long long used = bytesUnder(v.dir);
    updateBound(v.name, used, true);
    if (used < v.bytes)
        return false;
    errno = ENOSPC;
    return true;
}

} // namespace detail
} // namespace hostsim
