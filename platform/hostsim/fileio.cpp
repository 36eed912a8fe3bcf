// The plat:: file functions on the host: every path is resolved through the
// device table and every host call on it confined to the device's folder
// (confine.cpp); every function passes a fault-injection gate (open/read/
// write/close/mkdir/rename then call the replaceable host function table);
// writes and creations respect the device's capacity; stat/fstat report the
// device's block size (an fd remembers the device and host path it was opened
// on).
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"
#include "platform/plat_io.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

// ---- the host's own functions ------------------------------------------------

// Confined to the device folders (confine.cpp), as every host call on a path.
int hostOpen(const char *path, int flags, int mode) {
    return hostsim::detail::confinedOpen(path, flags, mode);
}
long hostRead(int fd, void *buf, unsigned long count) {
    return ::read(fd, buf, count);
}
long hostWrite(int fd, const void *buf, unsigned long count) {
    return ::write(fd, buf, count);
}
int hostClose(int fd) {
    return ::close(fd);
}
int hostMkdir(const char *path, int mode) {
    return hostsim::detail::confinedMkdir(path, mode);
}
int hostRename(const char *from, const char *to) {
    return hostsim::detail::confinedRename(from, to);
}

constexpr hostsim::FileOps kHostOps = {hostOpen,  hostRead,  hostWrite,
                                       hostClose, hostMkdir, hostRename};

hostsim::FileOps g_ops = kHostOps;

// ---- fault injection ---------------------------------------------------------

constexpr int kOpCount = hostsim::kFileOpCount;

const char *const kOpNames[kOpCount] = {
    "open",   "read",   "write", "close",   "mkdir",   "rename", "fopen", "fwrite", "fflush",
    "fclose", "remove", "rmdir", "opendir", "readdir", "stat",   "cp",    "mv",     "sync"};

struct Fault {
    long atCall; // call number (since the last clear) that fails
    int err;
    bool persistent;
};

struct FaultTable {
    std::mutex lock;
    long calls[kOpCount] = {};
    std::vector<Fault> faults[kOpCount];
};

FaultTable &faultTable() {
    static FaultTable *t = new FaultTable; // never destroyed: tasks may outlive main
    return *t;
}

// ---- which device each open descriptor lies on --------------------------------

struct FdInfo {
    std::string device;
    std::string hostPath;
    bool writes; // opened for writing or creating: its changes count as state operations
};

struct FdTable {
    std::mutex lock;
    std::map<int, FdInfo> device;
};

FdTable &fdTable() {
    static FdTable *t = new FdTable;
    return *t;
}

void rememberFd(int fd, const std::string &device, const std::string &hostPath, bool writes) {
    FdTable &t = fdTable();
    std::lock_guard<std::mutex> g(t.lock);
    t.device[fd] = FdInfo{device, hostPath, writes};
}

void forgetFd(int fd) {
    FdTable &t = fdTable();
    std::lock_guard<std::mutex> g(t.lock);
    t.device.erase(fd);
}

std::string deviceOfFd(int fd) {
    FdTable &t = fdTable();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.device.find(fd);
    return it == t.device.end() ? std::string() : it->second.device;
}

std::string hostPathOfFd(int fd) {
    FdTable &t = fdTable();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.device.find(fd);
    return it == t.device.end() ? std::string() : it->second.hostPath;
}

// The host path of fd when it was opened for writing (empty otherwise).
std::string writtenPathOfFd(int fd) {
    FdTable &t = fdTable();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.device.find(fd);
    return it == t.device.end() || !it->second.writes ? std::string() : it->second.hostPath;
}

bool opensForWriting(int flags) {
    return (flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC | O_APPEND)) != 0;
}

bool fopensForWriting(const char *mode) {
    return std::strpbrk(mode, "wa+") != nullptr;
}

// The open flags of an fopen mode ("r", "w", "a", each with '+', 'b', 'x',
// 'e' after it); false (EINVAL) for another mode.
bool fopenFlags(const char *mode, int *flags) {
    int f;
    switch (mode[0]) {
    case 'r':
        f = O_RDONLY;
        break;
    case 'w':
        f = O_WRONLY | O_CREAT | O_TRUNC;
        break;
    case 'a':
        f = O_WRONLY | O_CREAT | O_APPEND;
        break;
    default:
        errno = EINVAL;
        return false;
    }
    for (const char *c = mode + 1; *c != '\0' && *c != ','; ++c) {
        if (*c == '+')
            f = (f & ~O_ACCMODE) | O_RDWR;
        else if (*c == 'x')
            f |= O_EXCL;
        else if (*c == 'e')
            f |= O_CLOEXEC;
    }
    *flags = f;
    return true;
}

// The offset the next write to fd lands at.
long long writeOffset(int fd) {
    const int flags = ::fcntl(fd, F_GETFL);
    struct ::stat st;
    if (flags != -1 && (flags & O_APPEND) != 0 && ::fstat(fd, &st) == 0)
        return static_cast<long long>(st.st_size);
    return static_cast<long long>(::lseek(fd, 0, SEEK_CUR));
}

// Counts a write to fd opened for writing (through stream f when not null)
// and records its data as unsynced from the offset it is about to land at.
void countWrite(const char *op, int fd, FILE *f) {
    const std::string path = writtenPathOfFd(fd);
    if (!path.empty() && hostsim::detail::stateOp(op, path))
        hostsim::detail::noteWritten(path, f != nullptr ? static_cast<long long>(std::ftell(f))
                                                        : writeOffset(fd));
}

void countClose(const char *op, int fd) {
    const std::string path = writtenPathOfFd(fd);
    if (!path.empty())
        hostsim::detail::stateOp(op, path);
}

// How many of `count` bytes written to fd still fit on its device; errno
// ENOSPC when not all of them.
unsigned long allowance(int fd, unsigned long count) {
    const unsigned long fits = hostsim::detail::writeAllowance(hostPathOfFd(fd), fd, count);
    if (fits < count)
        errno = ENOSPC;
    return fits;
}

} // namespace

namespace hostsim {

const char *fileOpName(FileOp op) {
    const int i = static_cast<int>(op);
    return i >= 0 && i < kOpCount ? kOpNames[i] : "?";
}

void injectFault(FileOp op, int nth, int err, bool persistent) {
    const int i = static_cast<int>(op);
    if (i < 0 || i >= kOpCount || nth < 1)
        return;
    FaultTable &t = faultTable();
    std::lock_guard<std::mutex> g(t.lock);
    t.faults[i].push_back(Fault{t.calls[i] + nth, err, persistent});
}

void clearFaults() {
    FaultTable &t = faultTable();
    std::lock_guard<std::mutex> g(t.lock);
    for (int i = 0; i < kOpCount; ++i) {
        t.calls[i] = 0;
        t.faults[i].clear();
    }
}

int callCount(FileOp op) {
    const int i = static_cast<int>(op);
    if (i < 0 || i >= kOpCount)
        return 0;
    FaultTable &t = faultTable();
    std::lock_guard<std::mutex> g(t.lock);
    return static_cast<int>(t.calls[i]);
}

FileOps &fileOps() {
    return g_ops;
}

void resetFileOps() {
    g_ops = kHostOps;
}

namespace detail {

bool faultFires(FileOp op) {
    const int i = static_cast<int>(op);
    FaultTable &t = faultTable();
    std::lock_guard<std::mutex> g(t.lock);
    const long call = ++t.calls[i];
    for (const Fault &f : t.faults[i]) {
        if (call == f.atCall || (f.persistent && call > f.atCall)) {
            errno = f.err;
            return true;
        }
    }
    return false;
}

int openHost(const std::string &hostPath, const std::string &device, int flags, int mode) {
    const bool writes = opensForWriting(flags);
    const bool counted = writes && stateOp("open", hostPath);
    if (faultFires(FileOp::Open))
        return -1;
    if ((flags & O_CREAT) != 0 && creationRefused(hostPath))
        return -1;
    const int fd = g_ops.open(hostPath.c_str(), flags, mode);
    if (fd >= 0) {
        const int saved = errno;
        rememberFd(fd, device, hostPath, writes);
        if (counted && (flags & O_TRUNC) != 0)
            noteWritten(hostPath, 0);
        errno = saved;
    }
    return fd;
}

long readFd(int fd, void *buf, unsigned long count) {
    if (faultFires(FileOp::Read))
        return -1;
    return g_ops.read(fd, buf, count);
}

// On a device with a capacity, what fits is written and the write is short
// (or fails with ENOSPC when nothing fits), as on a full card.
long writeFd(int fd, const void *buf, unsigned long count) {
    countWrite("write", fd, nullptr);
    if (faultFires(FileOp::Write))
        return -1;
    const unsigned long fits = allowance(fd, count);
    if (fits == 0 && count != 0)
        return -1;
    const int err = errno;
    const long rc = g_ops.write(fd, buf, fits);
    if (rc >= 0 && fits < count)
        errno = err;
    return rc;
}

// An injected close failure still closes the descriptor (as a POSIX close
// that reports EIO does), so fault sweeps leak no descriptors.
int closeFd(int fd) {
    countClose("close", fd);
    const bool fail = faultFires(FileOp::Close);
    const int err = errno;
    forgetFd(fd);
    const int rc = g_ops.close(fd);
    if (fail) {
        errno = err;
        return -1;
    }
    return rc;
}

int mkdirHost(const std::string &hostPath, int mode) {
    stateOp("mkdir", hostPath);
    if (faultFires(FileOp::Mkdir) || creationRefused(hostPath))
        return -1;
    return g_ops.mkdir(hostPath.c_str(), mode);
}

int unlinkHost(const std::string &hostPath) {
    stateOp("remove", hostPath);
    if (faultFires(FileOp::Remove))
        return -1;
    const int rc = confinedUnlink(hostPath, false);
    if (rc == 0)
        noteRemoved(hostPath);
    return rc;
}

int rmdirHost(const std::string &hostPath) {
    stateOp("rmdir", hostPath);
    if (faultFires(FileOp::Rmdir))
        return -1;
    return confinedRmdir(hostPath);
}

DIR *opendirHost(const std::string &hostPath) {
    if (faultFires(FileOp::Opendir))
        return nullptr;
    return confinedOpendir(hostPath);
}

// A failing readdir returns null with errno set (the end of a folder leaves
// errno as it was).
struct dirent *readdirHost(DIR *dir) {
    if (faultFires(FileOp::Readdir))
        return nullptr;
    return ::readdir(dir);
}

int renameHost(const std::string &from, const std::string &to) {
    if (!stateOp("rename", from))
        stateOp("rename", to);
    if (faultFires(FileOp::Rename))
        return -1;
    const int rc = g_ops.rename(from.c_str(), to.c_str());
    if (rc == 0) {
        const int saved = errno;
        noteRenamed(from, to);
        errno = saved;
    }
    return rc;
}

} // namespace detail
} // namespace hostsim

namespace plat {

using hostsim::detail::resolve;

int open(const char *path, int flags, int mode) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    const hostsim::detail::Resolved r = resolve(path);
    return hostsim::detail::openHost(r.hostPath, r.device, flags, mode);
}

long read(int fd, void *buf, unsigned long count) {
    return hostsim::detail::readFd(fd, buf, count);
}

long write(int fd, const void *buf, unsigned long count) {
    return hostsim::detail::writeFd(fd, buf, count);
}

int close(int fd) {
    return hostsim::detail::closeFd(fd);
}

long lseek(int fd, long offset, int whence) {
    return static_cast<long>(::lseek(fd, static_cast<off_t>(offset), whence));
}

int fstat(int fd, struct ::stat *st) {
    if (st == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (hostsim::detail::faultFires(hostsim::FileOp::Stat))
        return -1;
    const int rc = ::fstat(fd, st);
    if (rc == 0) {
        const std::string device = deviceOfFd(fd);
        const long bs = hostsim::detail::deviceBlockSize(device);
        if (bs > 0)
            st->st_blksize = static_cast<blksize_t>(bs);
        if (hostsim::detail::deviceReportsZeroBlockSize(device))
            st->st_blksize = 0;
    }
    return rc;
}

int stat(const char *path, struct ::stat *st) {
    if (path == nullptr || st == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (hostsim::detail::faultFires(hostsim::FileOp::Stat))
        return -1;
    const hostsim::detail::Resolved r = resolve(path);
    const int rc = hostsim::detail::confinedStat(r.hostPath, st);
    if (rc == 0 && r.blockSize > 0)
        st->st_blksize = static_cast<blksize_t>(r.blockSize);
    if (rc == 0 && hostsim::detail::deviceReportsZeroBlockSize(r.device))
        st->st_blksize = 0;
    return rc;
}

// Host: a file on a device with a capacity is unbuffered, so that every
// fwrite reaches the file at once and is measured against the capacity.
FILE *fopen(const char *path, const char *mode) {
    if (path == nullptr || mode == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    const hostsim::detail::Resolved r = resolve(path);
    const bool writes = fopensForWriting(mode);
    const bool counted = writes && hostsim::detail::stateOp("fopen", r.hostPath);
    if (hostsim::detail::faultFires(hostsim::FileOp::Fopen))
        return nullptr;
    int flags = 0;
    if (!fopenFlags(mode, &flags))
        return nullptr;
    if ((flags & O_CREAT) != 0 && hostsim::detail::creationRefused(r.hostPath))
        return nullptr;
    const int fd = hostsim::detail::confinedOpen(r.hostPath, flags, 0666);
    if (fd < 0)
        return nullptr;
    FILE *f = ::fdopen(fd, mode);
    if (f == nullptr) {
        const int err = errno;
        ::close(fd);
        errno = err;
    } else {
        const int saved = errno;
        rememberFd(fileno(f), r.device, r.hostPath, writes);
        if (counted && std::strchr(mode, 'w') != nullptr)
            hostsim::detail::noteWritten(r.hostPath, 0);
        std::string dir;
        long long capacity = 0;
        if (hostsim::detail::capacityOf(r.hostPath, &dir, &capacity))
            std::setvbuf(f, nullptr, _IONBF, 0);
        errno = saved;
    }
    return f;
}

unsigned long fwrite(const void *buf, unsigned long size, unsigned long count, FILE *f) {
    if (buf == nullptr || f == nullptr) {
        errno = EFAULT;
        return 0;
    }
    countWrite("fwrite", fileno(f), f);
    if (hostsim::detail::faultFires(hostsim::FileOp::Fwrite))
        return 0;
    if (size == 0 || count == 0)
        return 0;
    const unsigned long bytes = size * count;
    const unsigned long fits = allowance(fileno(f), bytes);
    const int err = errno;
    const unsigned long written = fits == 0 ? 0 : std::fwrite(buf, 1, fits, f);
    if (fits < bytes)
        errno = err;
    return written / size;
}

int fflush(FILE *f) {
    if (f == nullptr) {
        errno = EFAULT;
        return EOF;
    }
    if (hostsim::detail::faultFires(hostsim::FileOp::Fflush))
        return EOF;
    return std::fflush(f);
}

// An injected failure still closes the file, so sweeps leak nothing.
int fclose(FILE *f) {
    if (f == nullptr) {
        errno = EFAULT;
        return EOF;
    }
    countClose("fclose", fileno(f));
    const bool fail = hostsim::detail::faultFires(hostsim::FileOp::Fclose);
    const int err = errno;
    forgetFd(fileno(f));
    const int rc = std::fclose(f);
    if (fail) {
        errno = err;
        return EOF;
    }
    return rc;
}

// A sync passes the fault gate (kind Sync) and counts as a state operation
// ("sync" for a file, "flush" for a device); it waits for the disk unless
// setSyncsReachDisk(false) said otherwise.
int ioctl(int fd, int function, long arg) {
    (void)arg;
    if (function != FIOSYNC && function != FIOFLUSH) {
        errno = EINVAL;
        return -1;
    }
    struct ::stat st;
    if (::fstat(fd, &st) != 0)
        return -1;
    const bool device = S_ISDIR(st.st_mode);
    const std::string path = device ? hostPathOfFd(fd) : writtenPathOfFd(fd);
    if (!path.empty())
        hostsim::detail::stateOp(device ? "flush" : "sync", path);
    if (hostsim::detail::faultFires(hostsim::FileOp::Sync))
        return -1;
    const int rc = !hostsim::detail::syncsReachDisk() ? 0 : device ? ::syncfs(fd) : ::fsync(fd);
    if (rc == 0 && !path.empty()) {
        if (device)
            hostsim::detail::noteSyncedUnder(path);
        else
            hostsim::detail::noteSynced(path);
    }
    return rc;
}

DIR *opendir(const char *path) {
    if (path == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    return hostsim::detail::opendirHost(resolve(path).hostPath);
}

struct dirent *readdir(DIR *dir) {
    if (dir == nullptr) {
        errno = EBADF;
        return nullptr;
    }
    return hostsim::detail::readdirHost(dir);
}

int closedir(DIR *dir) {
    if (dir == nullptr) {
        errno = EBADF;
        return -1;
    }
    return ::closedir(dir);
}

int mkdir(const char *path, int mode) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return hostsim::detail::mkdirHost(resolve(path).hostPath, mode);
}

int rmdir(const char *path) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return hostsim::detail::rmdirHost(resolve(path).hostPath);
}

int remove(const char *path) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    const std::string hostPath = resolve(path).hostPath;
    hostsim::detail::stateOp("remove", hostPath);
    if (hostsim::detail::faultFires(hostsim::FileOp::Remove))
        return -1;
    const int rc = hostsim::detail::confinedRemove(hostPath);
    if (rc == 0)
        hostsim::detail::noteRemoved(hostPath);
    return rc;
}

int rename(const char *from, const char *to) {
    if (from == nullptr || to == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return hostsim::detail::renameHost(resolve(from).hostPath, resolve(to).hostPath);
}

} // namespace plat
