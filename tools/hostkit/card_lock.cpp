// The card lock: flock locks on the device folders and, shared, on every
// folder above them, held until the process ends; the other run's process
// read from /proc/locks.
#include "tools/hostkit/card_lock.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <system_error>
#include <unistd.h>

namespace hostkit {

namespace {

namespace fs = std::filesystem;

// The descriptors of the locked folders: open until the process ends, so
// that the locks hold for the whole run (a forked child shares them).
std::vector<int> &heldLocks() {
    static std::vector<int> *fds = new std::vector<int>; // never destroyed: held to the end
    return *fds;
}

// The process, other than this one, holding a flock lock on the file `st`
// describes, as /proc/locks tells it; 0 when it does not tell.
long lockHolder(const struct stat &st) {
    FILE *f = std::fopen("/proc/locks", "r");
    if (f == nullptr)
        return 0;
    char wanted[64];
    std::snprintf(wanted, sizeof wanted, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                  static_cast<unsigned long>(st.st_ino));
    long holder = 0;
    char line[256];
    // "1: FLOCK  ADVISORY  WRITE 4567 fe:00:123456 0 EOF"; waiters have "->".
    while (holder == 0 && std::fgets(line, sizeof line, f) != nullptr) {
        char kind[16];
        char id[64];
        long pid = 0;
        if (std::strstr(line, "->") != nullptr ||
            std::sscanf(line, "%*s %15s %*s %*s %ld %63s", kind, &pid, id) != 3)
            continue;
        if (std::strcmp(kind, "FLOCK") == 0 && std::strcmp(id, wanted) == 0 && pid != getpid())
            holder = pid;
    }
    std::fclose(f);
    return holder;
}

// One folder to lock for the run: a device folder, or a folder above one.
struct LockWanted {
    std::string path;        // canonical
    bool exclusive;          // a device folder a command may write
    const DeviceFolder *own; // the device folder's option when it is one, else the one below
    bool above;              // a folder above the device folder
};

// Why `wanted` cannot be locked, in the words of the folder it guards.
std::string lockRefusal(const LockWanted &wanted, int err, long holder) {
    const DeviceFolder &folder = *wanted.own;
    const std::string named = folder.what + " '" + folder.path + "' (" + folder.option + ")";
    if (err != EWOULDBLOCK)
        return "cannot lock " + named + " for this run: " + std::strerror(err);
    const std::string process =
        holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string();
    if (wanted.above)
        return named + " lies inside '" + wanted.path +
               "', the device folder of another upgsim run" + process +
               ": a run on a folder and one on a folder inside it mix their files; run "
               "again once it has ended";
    return named + " is in use by another upgsim run" + process +
           ": one run at a time may write it (or a folder inside it), or the runs' files mix; run "
           "again once it has ended";
}

// Locks one folder for the run. Empty when locked (or when a folder above
// a device folder cannot be opened: it guards nothing then); otherwise the
// message.
std::string lockOne(const LockWanted &wanted) {
    const int fd = ::open(wanted.path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return wanted.above ? std::string() : lockRefusal(wanted, errno, 0);
    int rc;
    do {
        rc = ::flock(fd, (wanted.exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        heldLocks().push_back(fd);
        return std::string();
    }
    const int err = errno;
    struct stat st;
    const long holder = ::fstat(fd, &st) == 0 ? lockHolder(st) : 0;
    ::close(fd);
    return lockRefusal(wanted, err, holder);
}

// The folders to lock for the device folders `folders`: each one itself
// (exclusive for a command that may write it) and, shared, every folder
// above it, so that a run on a folder and one on a folder inside it exclude
// each other, while two readers, or runs on folders side by side, do not.
// Each path once (this run's own locks must not exclude each other), the
// strongest mode kept; folders above first, from the root down.
std::vector<LockWanted> locksFor(const std::vector<DeviceFolder> &folders, bool exclusive) {
    std::vector<LockWanted> wanted;
    auto want = [&](const std::string &path, bool ex, const DeviceFolder *own, bool above) {
        for (LockWanted &w : wanted)
            if (w.path == path) {
                if (!above) {
                    w.exclusive = w.exclusive || ex;
                    w.above = false;
                    w.own = own;
                }
                return;
            }
        wanted.push_back(LockWanted{path, ex, own, above});
    };
    for (const DeviceFolder &folder : folders) {
        const DeviceFolder *f = &folder;
        std::error_code ec;
        fs::path canon = fs::canonical(f->path, ec);
        if (ec)
            canon = fs::absolute(f->path, ec);
        std::vector<std::string> above;
        for (fs::path p = canon.parent_path(); !p.empty(); p = p.parent_path()) {
            above.push_back(p.string());
            if (p == p.root_path())
                break;
        }
        for (auto it = above.rbegin(); it != above.rend(); ++it)
            want(*it, false, f, true);
        want(canon.string(), exclusive, f, false);
    }
    std::stable_sort(wanted.begin(), wanted.end(), [](const LockWanted &a, const LockWanted &b) {
        return a.path.size() < b.path.size();
    });
    return wanted;
}

} // namespace

std::string lockDeviceFolders(const std::vector<DeviceFolder> &folders, bool exclusive) {
    for (const LockWanted &w : locksFor(folders, exclusive)) {
        const std::string problem = lockOne(w);
        if (!problem.empty())
            return problem;
    }
    return std::string();
}

} // namespace hostkit
