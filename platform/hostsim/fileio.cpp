// The plat:: file functions on the host: every path is resolved through the
// device table; open/read/write/close/mkdir/rename pass a fault-injection gate
// and then call the replaceable host function table; stat/fstat report the
// device's block size (an fd remembers the device it was opened on).
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"
#include "platform/plat_io.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <unistd.h>
#include <vector>

namespace {

// ---- the host's own functions ------------------------------------------------

int hostOpen(const char *path, int flags, int mode) {
    return ::open(path, flags, static_cast<mode_t>(mode));
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
    return ::mkdir(path, static_cast<mode_t>(mode));
}
int hostRename(const char *from, const char *to) {
    return ::rename(from, to);
}

constexpr hostsim::FileOps kHostOps = {hostOpen,  hostRead,  hostWrite,
                                       hostClose, hostMkdir, hostRename};

hostsim::FileOps g_ops = kHostOps;

// ---- fault injection ---------------------------------------------------------

constexpr int kOpCount = 6;

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

struct FdTable {
    std::mutex lock;
    std::map<int, std::string> device;
};

FdTable &fdTable() {
    static FdTable *t = new FdTable;
    return *t;
}

void rememberFd(int fd, const std::string &device) {
    FdTable &t = fdTable();
    std::lock_guard<std::mutex> g(t.lock);
    if (device.empty())
        t.device.erase(fd);
    else
        t.device[fd] = device;
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
    return it == t.device.end() ? std::string() : it->second;
}

} // namespace

namespace hostsim {

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
    if (faultFires(FileOp::Open))
        return -1;
    const int fd = g_ops.open(hostPath.c_str(), flags, mode);
    if (fd >= 0) {
        const int saved = errno;
        rememberFd(fd, device);
        errno = saved;
    }
    return fd;
}

long readFd(int fd, void *buf, unsigned long count) {
    if (faultFires(FileOp::Read))
        return -1;
    return g_ops.read(fd, buf, count);
}

long writeFd(int fd, const void *buf, unsigned long count) {
    if (faultFires(FileOp::Write))
        return -1;
    return g_ops.write(fd, buf, count);
}

// An injected close failure still closes the descriptor (as a POSIX close
// that reports EIO does), so fault sweeps leak no descriptors.
int closeFd(int fd) {
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
    if (faultFires(FileOp::Mkdir))
        return -1;
    return g_ops.mkdir(hostPath.c_str(), mode);
}

int renameHost(const std::string &from, const std::string &to) {
    if (faultFires(FileOp::Rename))
        return -1;
    return g_ops.rename(from.c_str(), to.c_str());
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
    const hostsim::detail::Resolved r = resolve(path);
    const int rc = ::stat(r.hostPath.c_str(), st);
    if (rc == 0 && r.blockSize > 0)
        st->st_blksize = static_cast<blksize_t>(r.blockSize);
    if (rc == 0 && hostsim::detail::deviceReportsZeroBlockSize(r.device))
        st->st_blksize = 0;
    return rc;
}

// Host: fopen is not fault-injected; its descriptor still remembers the
// device so that fstat(fileno(f)) reports the device's block size.
FILE *fopen(const char *path, const char *mode) {
    if (path == nullptr || mode == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    const hostsim::detail::Resolved r = resolve(path);
    FILE *f = std::fopen(r.hostPath.c_str(), mode);
    if (f != nullptr) {
        const int saved = errno;
        rememberFd(fileno(f), r.device);
        errno = saved;
    }
    return f;
}

int fclose(FILE *f) {
    if (f == nullptr) {
        errno = EFAULT;
        return EOF;
    }
    forgetFd(fileno(f));
    return std::fclose(f);
}

DIR *opendir(const char *path) {
    if (path == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    return ::opendir(resolve(path).hostPath.c_str());
}

struct dirent *readdir(DIR *dir) {
    if (dir == nullptr) {
        errno = EBADF;
        return nullptr;
    }
    return ::readdir(dir);
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
    return ::rmdir(resolve(path).hostPath.c_str());
}

int remove(const char *path) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return std::remove(resolve(path).hostPath.c_str());
}

int rename(const char *from, const char *to) {
    if (from == nullptr || to == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return hostsim::detail::renameHost(resolve(from).hostPath, resolve(to).hostPath);
}

} // namespace plat
