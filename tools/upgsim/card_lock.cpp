// The boundary of the device folders of one run: flock locks on --sd and
// --flash and, shared, on every folder above them, held until the process
// ends; the other run's process read from /proc/locks; and the refusal of
// folders that hold a symbolic link.
#include "tools/upgsim/card_lock.h"

#include "tools/mediacheck/treewalk.h"
#include "tools/scripthost/child.h"

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
#include <vector>

namespace upgsim {

namespace {

namespace fs = std::filesystem;

// One folder given on the command line.
struct Folder {
    const std::string *path;
    const char *option; // "--sd"
    const char *what;   // "the card folder"
    bool locked;        // locked for the run (the medium is only read)
};

// Commands that only read the card and the flash: they may run side by side.
bool onlyReads(const std::string &command) {
    return command == "analyse" || command == "check" || command == "blocksize" ||
           command == "config";
}

// Commands whose exit statuses below 124 are the script's own.
bool runsAScript(const std::string &command) {
    return command == "run" || command == "demo";
}

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
    std::string path;  // canonical
    bool exclusive;    // a device folder a command may write
    const Folder *own; // the device folder's option when it is one, else the one below
    bool above;        // a folder above the device folder
};

// Why `wanted` cannot be locked, in the words of the folder it guards.
std::string lockRefusal(const LockWanted &wanted, int err, long holder) {
    const Folder &folder = *wanted.own;
    const std::string named =
        std::string(folder.what) + " '" + *folder.path + "' (" + folder.option + ")";
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
std::vector<LockWanted> locksFor(const std::vector<const Folder *> &folders, bool exclusive) {
    std::vector<LockWanted> wanted;
    auto want = [&](const std::string &path, bool ex, const Folder *own, bool above) {
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
    for (const Folder *f : folders) {
        std::error_code ec;
        fs::path canon = fs::canonical(*f->path, ec);
        if (ec)
            canon = fs::absolute(*f->path, ec);
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

// The first symbolic link under `dir` (not followed), or empty, by the
// shared walk (its memory stays linear in the folder's depth). False, with
// the reason in `error`, when the walk cannot finish (a folder that cannot be
// read, too many open files in a deep tree, a path too long): a walk that
// stopped early would pass a folder it never saw to its end. A folder that is
// not there holds no link (other checks name it).
bool firstLink(const std::string &dir, std::string *link, std::string *error) {
    link->clear();
    std::error_code ec;
    if (!fs::exists(fs::symlink_status(dir, ec)))
        return true;
    errno = 0;
    const bool whole = mediacheck::walkTree(dir, [&](const mediacheck::TreeItem &item) {
        std::error_code typeError;
        if (!item.entry.is_symlink(typeError))
            return mediacheck::Walk::Continue;
        *link = item.entry.path().string();
        return mediacheck::Walk::Stop;
    });
    if (whole || !link->empty())
        return true;
    *error = errno != 0 ? std::strerror(errno)
                        : std::string("the walk could not read every folder to its end");
    return false;
}

} // namespace

int guardDeviceFolders(const GlobalOptions &opts, const std::string &command) {
    const Folder folders[] = {{&opts.sd, "--sd", "the card folder", true},
                              {&opts.flash, "--flash", "the flash folder", true},
                              {&opts.media, "--media", "the medium folder", false}};
    const bool script = runsAScript(command);
    std::vector<const Folder *> locked;
    for (const Folder &f : folders)
        if (!f.path->empty() && f.locked)
            locked.push_back(&f);
    for (const LockWanted &w : locksFor(locked, !onlyReads(command))) {
        const std::string problem = lockOne(w);
        if (!problem.empty())
            return failure(problem,
                           script ? scripthost::k_exit_host_failure : EXIT_FAILURE_REPORTED);
    }
    for (const Folder &f : folders) {
        if (f.path->empty())
            continue;
        std::string link;
        std::string error;
        if (!firstLink(*f.path, &link, &error))
            return failure("cannot check " + std::string(f.what) + " '" + *f.path + "' (" +
                               f.option + ") for symbolic links: " + error,
                           script ? scripthost::k_exit_host_failure : EXIT_FAILURE_REPORTED);
        if (!link.empty())
            return failure(std::string(f.what) + " '" + *f.path + "' (" + f.option +
                               ") holds a symbolic link, " + link +
                               ": a unit device holds none, and a link could lead the run's "
                               "writes outside the folder; put what it points to in its place",
                           script ? scripthost::k_exit_host_failure : EXIT_USAGE);
    }
    return EXIT_OK;
}

} // namespace upgsim
