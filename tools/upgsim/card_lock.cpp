// The boundary of the device folders of one run: flock locks on --sd and
// --flash held until the process ends, the other run's process read from
// /proc/locks, and the refusal of folders that hold a symbolic link.
#include "tools/upgsim/card_lock.h"

#include "tools/scripthost/child.h"

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

// Locks `folder` for the run. Empty when locked; otherwise the message.
std::string lockFolder(const Folder &folder, bool exclusive) {
    const std::string &dir = *folder.path;
    const std::string named = std::string(folder.what) + " '" + dir + "' (" + folder.option + ")";
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return "cannot lock " + named + " for this run: " + std::strerror(errno);
    int rc;
    do {
        rc = ::flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc == 0) {
        heldLocks().push_back(fd);
        return std::string();
    }
    const int err = errno;
    struct stat st;
    const long holder = ::fstat(fd, &st) == 0 ? lockHolder(st) : 0;
    ::close(fd);
    if (err != EWOULDBLOCK)
        return "cannot lock " + named + " for this run: " + std::strerror(err);
    return named + " is in use by another upgsim run" +
           (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
           ": one run at a time may write it, or the runs' files mix; run again once it "
           "has ended";
}

// The first symbolic link under `dir` (not followed), or empty. False, with
// the reason in `error`, when the walk cannot finish (a folder that cannot be
// read, too many open files in a deep tree): a walk that stopped early would
// pass a folder it never saw to its end. A folder that is not there holds no
// link (other checks name it), nor does an entry removed meanwhile.
bool firstLink(const std::string &dir, std::string *link, std::string *error) {
    link->clear();
    std::error_code ec;
    fs::recursive_directory_iterator it(dir, ec);
    if (ec == std::errc::no_such_file_or_directory)
        return true;
    for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code typeError;
        const bool isLink = it->is_symlink(typeError);
        if (typeError && typeError != std::errc::no_such_file_or_directory) {
            ec = typeError;
            break;
        }
        if (isLink) {
            *link = it->path().string();
            return true;
        }
    }
    if (ec) {
        *error = ec.message();
        return false;
    }
    return true;
}

} // namespace

int guardDeviceFolders(const GlobalOptions &opts, const std::string &command) {
    const Folder folders[] = {{&opts.sd, "--sd", "the card folder", true},
                              {&opts.flash, "--flash", "the flash folder", true},
                              {&opts.media, "--media", "the medium folder", false}};
    const bool script = runsAScript(command);
    for (const Folder &f : folders) {
        if (f.path->empty() || !f.locked)
            continue;
        const std::string problem = lockFolder(f, !onlyReads(command));
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
