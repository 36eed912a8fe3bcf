// The host's file functions confined to the device folders: a host path that
// lies in a mounted device's folder is resolved from that folder, opened
// afresh for the call, with openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS), or
// component by component with O_NOFOLLOW where the kernel has no openat2.
// A symbolic link met on the way, whenever it was put there, or a way out of
// the folder makes the call fail with ENOENT and a log line: a check of the
// path before the call (lstat of each component) left a window in which a
// folder swapped for a link led the call outside the card. Host paths on no
// device are the host functions' own.
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#if __has_include(<linux/openat2.h>)
#include <linux/openat2.h>
#endif

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

namespace {

// False once the kernel said it has no openat2 (ENOSYS), or while a test
// plays such a kernel.
std::atomic<bool> g_openat2{true};
std::atomic<bool> g_openat2PlayedAbsent{false};

int closeKeepingErrno(int fd) {
    const int saved = errno;
    const int rc = ::close(fd);
    errno = saved;
    return rc;
}

// openat2 beneath dirFd without links. -1 with errno ENOSYS where the kernel
// (or these headers) has none.
int openat2Beneath(int dirFd, const char *rel, int flags, int mode) {
#if defined(SYS_openat2) && defined(RESOLVE_BENEATH)
    struct open_how how;
    std::memset(&how, 0, sizeof how);
    how.flags = static_cast<unsigned long long>(static_cast<unsigned>(flags | O_LARGEFILE));
    // openat2 refuses a mode without O_CREAT.
    how.mode = (flags & O_CREAT) != 0 ? static_cast<unsigned long long>(mode) & 07777 : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS;
    // EAGAIN: a rename raced the resolution; it is tried again a few times.
    for (int tries = 0;; ++tries) {
        const long fd = ::syscall(SYS_openat2, dirFd, rel, &how, sizeof how);
        if (fd >= 0)
            return static_cast<int>(fd);
        if (errno == EINTR || (errno == EAGAIN && tries < 8))
            continue;
        return -1;
    }
#else
    (void)dirFd;
    (void)rel;
    (void)flags;
    (void)mode;
    errno = ENOSYS;
    return -1;
#endif
}

bool isLinkAt(int dirFd, const std::string &name) {
    struct stat st;
    return ::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// The walk without openat2: each folder of `rel` opened from the one before
// with O_NOFOLLOW, the last component opened with O_NOFOLLOW too. A link
// gives ELOOP as openat2 does. `rel` has no ".." (checked by the caller).
int walkBeneath(int rootFd, const std::string &rel, int flags, int mode) {
    std::vector<std::string> parts;
    size_t start = 0;
    while (start <= rel.size()) {
        size_t stop = rel.find('/', start);
        if (stop == std::string::npos)
            stop = rel.size();
        const std::string part = rel.substr(start, stop - start);
        if (!part.empty() && part != ".")
            parts.push_back(part);
        start = stop + 1;
    }
    // A final '/' makes the host follow a link there: it is played as
    // O_DIRECTORY instead (a creation through it is refused, as open does).
    const bool folderOnly = !rel.empty() && rel.back() == '/';
    if (folderOnly && (flags & O_CREAT) != 0 && !parts.empty()) {
        errno = EISDIR;
        return -1;
    }
    if (parts.empty())
        return ::openat(rootFd, ".", flags, static_cast<mode_t>(mode));
    int dir = rootFd;
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        const int next =
            ::openat(dir, parts[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOTDIR && isLinkAt(dir, parts[i]))
            errno = ELOOP;
        if (dir != rootFd)
            closeKeepingErrno(dir);
        if (next < 0)
            return -1;
        dir = next;
    }
    const std::string &last = parts.back();
    const int lastFlags = flags | O_NOFOLLOW | (folderOnly ? O_DIRECTORY : 0);
    int fd = ::openat(dir, last.c_str(), lastFlags, static_cast<mode_t>(mode));
    if (fd < 0 && errno == ENOTDIR && isLinkAt(dir, last))
        errno = ELOOP;
    if (fd >= 0 && (flags & O_PATH) != 0) {
        // O_PATH with O_NOFOLLOW opens a link itself.
        struct stat st;
        if (::fstat(fd, &st) == 0 && S_ISLNK(st.st_mode)) {
            ::close(fd);
            fd = -1;
            errno = ELOOP;
        }
    }
    if (dir != rootFd)
        closeKeepingErrno(dir);
    return fd;
}

int openBeneath(int rootFd, const std::string &rel, int flags, int mode) {
    if (g_openat2.load(std::memory_order_relaxed) &&
        !g_openat2PlayedAbsent.load(std::memory_order_relaxed)) {
        const int fd = openat2Beneath(rootFd, rel.empty() ? "." : rel.c_str(), flags, mode);
        if (fd >= 0 || errno != ENOSYS)
            return fd;
        g_openat2.store(false, std::memory_order_relaxed);
    }
    return walkBeneath(rootFd, rel, flags, mode);
}

// Clears O_NONBLOCK, which confinedOpen added to the caller's `flags`, once
// fstat says fd is a regular file or a folder; a FIFO, device or socket
// keeps it, so that neither its open nor its reads and writes wait for a
// peer. (F_SETFL takes the caller's flags as they are: it changes only the
// status flags among them.) errno is kept.
void settleBlocking(int fd, int flags) {
    const int saved = errno;
    struct stat st;
    if (::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || S_ISDIR(st.st_mode)))
        (void)::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    errno = saved;
}

// True when `rel` has a ".." component.
bool hasDotDot(const std::string &rel) {
    const std::string p = "/" + rel + "/";
    return p.find("/../") != std::string::npos;
}

std::string unitPathOfPlace(const hostsim::detail::Place &p) {
    return p.device + (p.rel.empty() ? std::string() : "/" + p.rel);
}

// Fails a call refused for `err` (ELOOP: a link on the way; EXDEV: a way out
// of the folder) with ENOENT and its log line; any other errno is kept.
// Always -1.
int refused(const hostsim::detail::Place &p, const std::string &hostPath, int err) {
    if (err != ELOOP && err != EXDEV) {
        errno = err;
        return -1;
    }
    std::string line = "hostsim: " + unitPathOfPlace(p) + " is refused: ";
    if (err == ELOOP) {
        std::string link = hostsim::detail::linkOnTheWay(p.root, hostPath);
        if (link.empty())
            link = hostPath; // gone again already
        line += "it passes through " + link + ", a symbolic link in the folder of " + p.device +
                " (a unit device holds no links)\n";
    } else {
        line += "it leads out of the folder of " + p.device + "\n";
    }
    hostsim::emitLog(hostsim::LogSource::LogMsg, line.c_str());
    errno = ENOENT;
    return -1;
}

// Opens `rel` beneath the device folder of `p` (the place of hostPath, named
// by a refusal). -1 with errno (ENOENT and a log line for a refusal).
int openIn(const hostsim::detail::Place &p, const std::string &hostPath, const std::string &rel,
           int flags, int mode) {
    if (hasDotDot(rel))
        return refused(p, hostPath, EXDEV);
    const int root = ::open(p.root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (root < 0)
        return -1;
    const int fd = openBeneath(root, rel, flags, mode);
    const int err = errno;
    ::close(root);
    if (fd < 0)
        return refused(p, hostPath, err);
    return fd;
}

// The folder that holds a path's last component, and that component's name.
// Off every device: the working folder's descriptor and the whole path.
struct At {
    hostsim::detail::Place place;
    bool onDevice = false;
    int dir = AT_FDCWD;
    std::string name;
    At() = default;
    At(const At &) = delete;
    At &operator=(const At &) = delete;
    ~At() {
        if (dir >= 0)
            closeKeepingErrno(dir);
    }
};

// Fills `at` for hostPath; a device's root itself is "." in that root. With
// refuseLink, a last component that is a symbolic link is refused as one on
// the way is. 0, or -1 with errno.
int parentOf(const std::string &hostPath, At *at, bool refuseLink) {
    if (!hostsim::detail::placeOf(hostPath, &at->place)) {
        at->name = hostPath;
        return 0;
    }
    at->onDevice = true;
    const std::string rel = hostsim::detail::trimTrailingSlashes(at->place.rel);
    const size_t slash = rel.rfind('/');
    const std::string folder = slash == std::string::npos ? std::string() : rel.substr(0, slash);
    at->name =
        rel.empty() || rel == "/" ? "." : rel.substr(slash == std::string::npos ? 0 : slash + 1);
    if (at->name == "..")
        return refused(at->place, hostPath, EXDEV);
    at->dir = openIn(at->place, hostPath, folder, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
    if (at->dir < 0)
        return -1;
    if (refuseLink && isLinkAt(at->dir, at->name))
        return refused(at->place, hostPath, ELOOP);
    return 0;
}

// A device's root is a volume: it is not removed nor renamed.
bool isDeviceRoot(const At &at) {
    if (at.onDevice && at.name == ".") {
        errno = EBUSY;
        return true;
    }
    return false;
}

} // namespace

namespace hostsim {

void playHostWithoutOpenat2(bool on) {
    g_openat2PlayedAbsent.store(on, std::memory_order_relaxed);
}

int openRegularFile(const std::string &path) {
    const detail::Resolved r = detail::resolve(path.c_str());
    int fd;
    do {
        fd = detail::confinedOpen(r.hostPath, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return -1;
    struct stat st;
    int err = 0;
    // The fstat, or the fcntl that makes a regular file's reads blocking
    // again, failed; else a file of another kind is refused.
    if (::fstat(fd, &st) != 0 ||
        (S_ISREG(st.st_mode) && ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0))
        err = errno;
    else if (!S_ISREG(st.st_mode))
        err = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

namespace detail {

// A unit device holds only files and folders: a FIFO or a device node put
// in its folder must not hold the caller in its open waiting for a peer (nor
// in its reads and writes later), so the open is non-blocking until fstat
// says it is a file or a folder.
int confinedOpen(const std::string &hostPath, int flags, int mode) {
    Place p;
    if (!placeOf(hostPath, &p))
        return ::open(hostPath.c_str(), flags, static_cast<mode_t>(mode));
    const int fd = openIn(p, hostPath, p.rel, flags | O_NONBLOCK, mode);
    if (fd >= 0 && (flags & O_NONBLOCK) == 0)
        settleBlocking(fd, flags);
    return fd;
}

int confinedStat(const std::string &hostPath, struct stat *st) {
    Place p;
    if (!placeOf(hostPath, &p))
        return ::stat(hostPath.c_str(), st);
    const int fd = openIn(p, hostPath, p.rel, O_PATH | O_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const int rc = ::fstat(fd, st);
    closeKeepingErrno(fd);
    return rc;
}

int confinedLstat(const std::string &hostPath, struct stat *st) {
    At at;
    if (parentOf(hostPath, &at, false) != 0)
        return -1;
    return ::fstatat(at.dir, at.name.c_str(), st, AT_SYMLINK_NOFOLLOW);
}

int confinedMkdir(const std::string &hostPath, int mode) {
    At at;
    if (parentOf(hostPath, &at, true) != 0)
        return -1;
    return ::mkdirat(at.dir, at.name.c_str(), static_cast<mode_t>(mode));
}

int confinedUnlink(const std::string &hostPath, bool refuseLink) {
    At at;
    if (parentOf(hostPath, &at, refuseLink) != 0 || isDeviceRoot(at))
        return -1;
    return ::unlinkat(at.dir, at.name.c_str(), 0);
}

int confinedRmdir(const std::string &hostPath) {
    At at;
    if (parentOf(hostPath, &at, true) != 0 || isDeviceRoot(at))
        return -1;
    return ::unlinkat(at.dir, at.name.c_str(), AT_REMOVEDIR);
}

// As the C library's remove: a file is unlinked, an empty folder removed.
int confinedRemove(const std::string &hostPath) {
    At at;
    if (parentOf(hostPath, &at, true) != 0 || isDeviceRoot(at))
        return -1;
    if (::unlinkat(at.dir, at.name.c_str(), 0) == 0)
        return 0;
    if (errno != EISDIR)
        return -1;
    return ::unlinkat(at.dir, at.name.c_str(), AT_REMOVEDIR);
}

int confinedRename(const std::string &from, const std::string &to) {
    At src;
    At dst;
    if (parentOf(from, &src, true) != 0 || isDeviceRoot(src) || parentOf(to, &dst, true) != 0 ||
        isDeviceRoot(dst))
        return -1;
    return ::renameat(src.dir, src.name.c_str(), dst.dir, dst.name.c_str());
}

DIR *confinedOpendir(const std::string &hostPath) {
    Place p;
    if (!placeOf(hostPath, &p))
        return ::opendir(hostPath.c_str());
    const int fd = openIn(p, hostPath, p.rel, O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return nullptr;
    DIR *d = ::fdopendir(fd);
    if (d == nullptr)
        closeKeepingErrno(fd);
    return d;
}

int confinedTruncate(const std::string &hostPath, long long length) {
    const int fd = confinedOpen(hostPath, O_WRONLY | O_NONBLOCK | O_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    struct stat st;
    int rc = ::fstat(fd, &st);
    if (rc == 0 && !S_ISREG(st.st_mode)) {
        errno = EINVAL;
        rc = -1;
    }
    if (rc == 0)
        rc = ::ftruncate(fd, static_cast<off_t>(length));
    closeKeepingErrno(fd);
    return rc;
}

void resetConfinement() {
    g_openat2PlayedAbsent.store(false, std::memory_order_relaxed);
}

} // namespace detail
} // namespace hostsim
