// The OS's file commands on the host: cp, mv, xcopy, xdelete and fioRdString.
// Paths are resolved once through the device table; files are opened, read,
// written, closed and removed, and folders listed, created, renamed and
// removed, through the same fault-injection gate (and capacity check) as
// plat::, so that injected faults and a full card reach these too; cp and mv
// are also fault-injection kinds of their own. Every host call on a path is
// confined to the device folders as plat::'s are (confine.cpp): a link
// swapped into a tree while it is copied or deleted leads nothing outside.
#include "platform/hostsim/internal.h"
#include "platform/vxworks.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <vector>

namespace {

using hostsim::detail::closeFd;
using hostsim::detail::mkdirHost;
using hostsim::detail::openHost;
using hostsim::detail::readFd;
using hostsim::detail::renameHost;
using hostsim::detail::trimTrailingSlashes;
using hostsim::detail::writeFd;

constexpr unsigned long kCopyChunk = 64UL * 1024;

// Keeps the first error of a sequence of steps.
struct FirstError {
    int err = 0;
    void note(int e) {
        if (err == 0)
            err = e != 0 ? e : EIO;
    }
    bool failed() const { return err != 0; }
};

std::string join(const std::string &dir, const std::string &name) {
    if (!dir.empty() && dir.back() == '/')
        return dir + name;
    return dir + "/" + name;
}

std::string baseName(const std::string &path) {
    const std::string p = trimTrailingSlashes(path);
    const size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

bool isDirectory(const std::string &hostPath) {
    struct stat st;
    return hostsim::detail::confinedStat(hostPath, &st) == 0 && S_ISDIR(st.st_mode);
}

bool exists(const std::string &hostPath) {
    struct stat st;
    return hostsim::detail::confinedLstat(hostPath, &st) == 0;
}

// Names in a folder, without "." and "..". False (errno set) when the folder
// cannot be read.
bool listFolder(const std::string &hostDir, std::vector<std::string> *names) {
    DIR *d = hostsim::detail::opendirHost(hostDir);
    if (d == nullptr)
        return false;
    errno = 0;
    while (struct dirent *e = hostsim::detail::readdirHost(d)) {
        const std::string n = e->d_name;
        if (n != "." && n != "..")
            names->push_back(n);
    }
    const int err = errno;
    ::closedir(d);
    errno = err;
    return err == 0;
}

// Copies one regular file onto `dst` (replaced). On failure the partial
// destination is removed and errno holds the first failure.
bool copyFile(const std::string &src, const std::string &dst) {
    struct stat srcSt;
    if (hostsim::detail::confinedStat(src, &srcSt) != 0)
        return false;
    if (S_ISDIR(srcSt.st_mode)) {
        errno = EISDIR;
        return false;
    }
    struct stat dstSt;
    if (hostsim::detail::confinedStat(dst, &dstSt) == 0 && dstSt.st_dev == srcSt.st_dev &&
        dstSt.st_ino == srcSt.st_ino) {
        errno = EINVAL; // copying a file onto itself would truncate it
        return false;
    }
    const int in = openHost(src, std::string(), O_RDONLY, 0);
    if (in < 0)
        return false;
    const int out = openHost(dst, std::string(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    if (out < 0) {
        const int err = errno;
        closeFd(in);
        errno = err;
        return false;
    }
    FirstError e;
    char *buf = static_cast<char *>(std::malloc(kCopyChunk));
    if (buf == nullptr)
        e.note(ENOMEM);
    while (!e.failed()) {
        const long n = readFd(in, buf, kCopyChunk);
        if (n < 0) {
            e.note(errno);
            break;
        }
        if (n == 0)
            break;
        long done = 0;
        while (done < n) {
            const long w = writeFd(out, buf + done, static_cast<unsigned long>(n - done));
            if (w <= 0) {
                e.note(w < 0 ? errno : ENOSPC);
                break;
            }
            done += w;
        }
    }
    std::free(buf);
    if (closeFd(out) != 0)
        e.note(errno);
    closeFd(in);
    if (e.failed()) {
        hostsim::detail::confinedUnlink(dst, true);
        errno = e.err;
        return false;
    }
    return true;
}

// Deletes a file, or a folder with everything in it (symbolic links are
// removed, never followed).
bool deleteTree(const std::string &path) {
    struct stat st;
    if (hostsim::detail::confinedLstat(path, &st) != 0)
        return false;
    if (!S_ISDIR(st.st_mode))
        return hostsim::detail::unlinkHost(path) == 0;
    FirstError e;
    std::vector<std::string> names;
    if (!listFolder(path, &names))
        e.note(errno);
    for (const std::string &n : names)
        if (!deleteTree(join(path, n)))
            e.note(errno);
    if (hostsim::detail::rmdirHost(path) != 0)
        e.note(errno);
    if (e.failed()) {
        errno = e.err;
        return false;
    }
    return true;
}

// Creates `dir` and its missing parents.
bool makeFolders(const std::string &dir) {
    if (dir.empty() || isDirectory(dir))
        return true;
    const std::string d = trimTrailingSlashes(dir);
    const size_t slash = d.rfind('/');
    if (slash != std::string::npos && slash > 0 && !makeFolders(d.substr(0, slash)))
        return false;
    if (mkdirHost(d, 0777) != 0 && !(errno == EEXIST && isDirectory(d)))
        return false;
    return true;
}

// Copies the content of folder `src` into folder `dst` (created when missing).
// Copies what it can and reports the first failure.
bool copyTree(const std::string &src, const std::string &dst) {
    if (!makeFolders(dst))
        return false;
    std::vector<std::string> names;
    if (!listFolder(src, &names))
        return false;
    FirstError e;
    for (const std::string &n : names) {
        const std::string from = join(src, n);
        const std::string to = join(dst, n);
        struct stat st;
        if (hostsim::detail::confinedStat(from, &st) != 0) {
            e.note(errno);
            continue;
        }
        const bool ok = S_ISDIR(st.st_mode) ? copyTree(from, to) : copyFile(from, to);
        if (!ok)
            e.note(errno);
    }
    if (e.failed()) {
        errno = e.err;
        return false;
    }
    return true;
}

// The absolute path of `path` with links resolved, also when its last
// components do not exist yet (resolved up to the deepest existing folder).
std::string canonical(const std::string &path) {
    std::string head = trimTrailingSlashes(path);
    std::string tail;
    for (;;) {
        if (char *real = ::realpath(head.c_str(), nullptr)) {
            std::string out = real;
            std::free(real);
            return tail.empty() ? out : join(out, tail);
        }
        const size_t slash = head.rfind('/');
        if (slash == std::string::npos) {
            // A relative path whose every component is missing.
            return join(canonical("."), tail.empty() ? head : join(head, tail));
        }
        const std::string comp = head.substr(slash + 1);
        tail = tail.empty() ? comp : join(comp, tail);
        head = slash == 0 ? "/" : head.substr(0, slash);
    }
}

// True when host path `inner` is folder `outer` or lies inside it.
bool isInside(const std::string &inner, const std::string &outer) {
    const std::string i = canonical(inner);
    const std::string o = canonical(outer);
    return i == o || (i.size() > o.size() && i.compare(0, o.size(), o) == 0 &&
                      (o == "/" || i[o.size()] == '/'));
}

std::string parentOf(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Shell-style match of `name` against `pattern`: '*' any run of characters,
// '?' exactly one; everything else literal (case-sensitive on the host).
bool wildMatch(const char *pattern, const char *name) {
    const char *starP = nullptr;
    const char *starN = nullptr;
    while (*name != '\0') {
        if (*pattern == '*') {
            starP = pattern++;
            starN = name;
        } else if (*pattern == '?' || *pattern == *name) {
            ++pattern;
            ++name;
        } else if (starP != nullptr) {
            pattern = starP + 1;
            name = ++starN;
        } else {
            return false;
        }
    }
    while (*pattern == '*')
        ++pattern;
    return *pattern == '\0';
}

} // namespace

STATUS cp(const char *src, const char *dest) {
    if (src == nullptr || dest == nullptr) {
        errno = EFAULT;
        return ERROR;
    }
    if (hostsim::detail::faultFires(hostsim::FileOp::Cp))
        return ERROR;
    const std::string from = hostsim::detail::resolve(src).hostPath;
    std::string to = hostsim::detail::resolve(dest).hostPath;
    if (isDirectory(to))
        to = join(to, baseName(from));
    return copyFile(from, to) ? OK : ERROR;
}

// A rename first; between file systems (EXDEV) a copy followed by the
// deletion of the source. A copy that fails leaves the source untouched and
// removes what it made.
STATUS mv(const char *src, const char *dest) {
    if (src == nullptr || dest == nullptr) {
        errno = EFAULT;
        return ERROR;
    }
    if (hostsim::detail::faultFires(hostsim::FileOp::Mv))
        return ERROR;
    const std::string from = trimTrailingSlashes(hostsim::detail::resolve(src).hostPath);
    const std::string to = trimTrailingSlashes(hostsim::detail::resolve(dest).hostPath);
    if (renameHost(from, to) == 0)
        return OK;
    if (errno != EXDEV)
        return ERROR;
    const bool folder = isDirectory(from);
    if (!exists(from) || !isDirectory(parentOf(to))) {
        errno = ENOENT; // as the rename would report
        return ERROR;
    }
    if (folder && isInside(to, from)) {
        errno = EINVAL;
        return ERROR;
    }
    const bool existedBefore = exists(to);
    const bool copied = folder ? copyTree(from, to) : copyFile(from, to);
    if (!copied) {
        const int err = errno;
        if (folder && !existedBefore)
            deleteTree(to);
        errno = err;
        return ERROR;
    }
    return deleteTree(from) ? OK : ERROR;
}

STATUS xcopy(const char *src, const char *dest) {
    if (src == nullptr || dest == nullptr) {
        errno = EFAULT;
        return ERROR;
    }
    const std::string from = trimTrailingSlashes(hostsim::detail::resolve(src).hostPath);
    const std::string to = trimTrailingSlashes(hostsim::detail::resolve(dest).hostPath);
    // An absent path (an unmounted device, a host path played absent) names
    // nothing: the copy's names joined onto it would land in the host's root.
    if (from.empty() || to.empty()) {
        errno = ENOENT;
        return ERROR;
    }
    if (!isDirectory(from)) {
        // A single file is copied into the destination folder.
        if (!exists(from))
            return ERROR;
        if (!makeFolders(to))
            return ERROR;
        return copyFile(from, join(to, baseName(from))) ? OK : ERROR;
    }
    if (isInside(to, from)) {
        errno = EINVAL; // copying a folder into itself would never end
        return ERROR;
    }
    return copyTree(from, to) ? OK : ERROR;
}

STATUS xdelete(const char *path) {
    if (path == nullptr || path[0] == '\0') {
        errno = EINVAL;
        return ERROR;
    }
    const hostsim::detail::Resolved r = hostsim::detail::resolve(path);
    const std::string target = trimTrailingSlashes(r.hostPath);
    const size_t slash = target.rfind('/');
    const std::string last = slash == std::string::npos ? target : target.substr(slash + 1);
    const std::string dir = parentOf(target);
    // Host safety: never the host's root, nor wildcards matched in it.
    if (target == "/" || (dir == "/" && last.find_first_of("*?") != std::string::npos)) {
        errno = EINVAL;
        return ERROR;
    }
    if (!r.device.empty() && trimTrailingSlashes(path) == r.device) {
        // A device's root is a volume: its content goes, the volume stays.
        std::vector<std::string> names;
        if (!listFolder(target, &names))
            return ERROR;
        FirstError e;
        for (const std::string &n : names)
            if (!deleteTree(join(target, n)))
                e.note(errno);
        if (e.failed()) {
            errno = e.err;
            return ERROR;
        }
        return OK;
    }
    if (last.find_first_of("*?") == std::string::npos)
        return deleteTree(target) ? OK : ERROR;

    std::vector<std::string> names;
    if (!listFolder(dir, &names))
        return ERROR;
    FirstError e;
    bool matched = false;
    for (const std::string &n : names) {
        if (!wildMatch(last.c_str(), n.c_str()))
            continue;
        matched = true;
        if (!deleteTree(join(dir, n)))
            e.note(errno);
    }
    if (!matched) {
        errno = ENOENT;
        return ERROR;
    }
    if (e.failed()) {
        errno = e.err;
        return ERROR;
    }
    return OK;
}

// A read error ends the call with ERROR, also in the middle of a line (the
// piece read so far would pass for a whole line). A line longer than the
// buffer is returned in pieces; when a piece ends
// right before the line's '\n', that '\n' is consumed with it (on seekable
// files), so that no empty line appears that the file does not hold.
int fioRdString(int fd, char *string, int maxbytes) {
    if (string == nullptr || maxbytes < 1) {
        errno = EINVAL;
        return ERROR;
    }
    string[0] = '\0';
    if (maxbytes < 2) {
        errno = EINVAL;
        return ERROR;
    }
    int n = 0;
    bool sawNewline = false;
    while (n < maxbytes - 1) {
        char c;
        const long r = readFd(fd, &c, 1);
        if (r < 0)
            return ERROR; // a line cut by a read error is not a line
        if (r == 0) {
            if (n == 0)
                return ERROR;
            break;
        }
        if (c == '\n') {
            sawNewline = true;
            break;
        }
        string[n++] = c;
    }
    string[n] = '\0';
    if (!sawNewline && n == maxbytes - 1 && ::lseek(fd, 0, SEEK_CUR) >= 0) {
        char c;
        const int saved = errno;
        // The look-ahead bypasses the fault gate: it is not a read of the
        // caller's, so injected faults keep counting the caller's reads.
        const long r = hostsim::fileOps().read(fd, &c, 1);
        if (r == 1 && c != '\n')
            ::lseek(fd, -1, SEEK_CUR);
        errno = saved;
    }
    return n + 1;
}
