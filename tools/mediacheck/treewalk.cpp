// The shared walk over a host folder's tree.
//
// Memory stays linear in what the walk has met: each open folder holds its
// descriptor and the names it has not handed out yet, and the path of the
// entry being visited is one string that grows and shrinks with the depth.
// (A std::filesystem::recursive_directory_iterator keeps a whole path object,
// one component list, per open folder and per entry: 500 MB for a folder
// 3000 levels deep.) Folders below the first are opened relative to their
// parent's descriptor, never through a link.
#include "tools/mediacheck/treewalk.h"

#include "tools/mediacheck/findings.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace mediacheck {

namespace {

// One entry of a folder as the file system listed it.
struct Name {
    std::string name;
    unsigned char type; // DT_DIR, DT_LNK, ... or DT_UNKNOWN
};

// A folder of the walk: open, with the entries not yet visited.
struct Folder {
    int fd = -1;
    std::vector<Name> names; // in listing order
    size_t next = 0;         // the next name to visit
    size_t pathLength = 0;   // its path's length in the walk's path, with the final '/'
    size_t relLength = 0;    // the same for its relative path ("" for the root)
};

// Reads every entry of the folder open on `fd` but "." and ".." into
// `names`, in listing order, through `buffer` (the descriptor stays open).
// False on a read error (errno kept).
bool listFolder(int fd, std::vector<Name> &names, std::vector<char> &buffer) {
    for (;;) {
        const ssize_t got = getdents64(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return false;
        if (got == 0)
            return true;
        for (ssize_t at = 0; at < got;) {
            const struct dirent64 *d =
                reinterpret_cast<const struct dirent64 *>(buffer.data() + at);
            at += d->d_reclen;
            if (std::strcmp(d->d_name, ".") == 0 || std::strcmp(d->d_name, "..") == 0)
                continue;
            names.push_back(Name{d->d_name, d->d_type});
        }
    }
}

// True when the entry `name` of the folder open on `fd` is a folder itself
// (a link to one is not).
bool isFolder(int fd, const Name &name) {
    if (name.type != DT_UNKNOWN)
        return name.type == DT_DIR;
    struct stat st;
    return fstatat(fd, name.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
}

// Opens the folder on `fd` as a Folder of the walk, listed whole. False
// (`fd` closed) when it cannot be read.
bool openFolder(int fd, size_t pathLength, size_t relLength, std::vector<Folder> &open,
                std::vector<char> &buffer) {
    Folder f;
    f.fd = fd;
    f.pathLength = pathLength;
    f.relLength = relLength;
    if (!listFolder(fd, f.names, buffer)) {
        close(fd);
        return false;
    }
    open.push_back(std::move(f));
    return true;
}

} // namespace

bool walkTree(const std::string &root, const std::function<Walk(const TreeItem &)> &visit,
              Unreadable unreadable) {
    // Every path the walk gives is `root` joined with a relative part.
    std::string path = (fs::path(root) / "").generic_string();
    std::string rel;
    std::vector<Folder> open;
    std::vector<char> buffer(32768); // one listing buffer for every folder
    const int rootFd = ::open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (rootFd < 0 || !openFolder(rootFd, path.size(), 0, open, buffer))
        return false;
    bool complete = true;
    while (!open.empty()) {
        Folder &top = open.back();
        if (top.next == top.names.size()) {
            close(top.fd);
            open.pop_back();
            continue;
        }
        const Name &name = top.names[top.next++];
        path.resize(top.pathLength);
        path += name.name;
        rel.resize(top.relLength);
        rel += name.name;
        // Callers reach the entry by this path: one the system would refuse
        // would make them skip it unnoticed, so the walk ends here, incomplete.
        if (path.size() >= PATH_MAX) {
            complete = false;
            break;
        }
        std::error_code ec;
        const fs::directory_entry entry(fs::path(path), ec);
        const Walk next = visit(TreeItem{entry, rel});
        if (next == Walk::Stop) {
            complete = false;
            break;
        }
        // `top` is still the back: visit does not touch the walk's folders.
        if (next == Walk::SkipFolder || !isFolder(top.fd, name))
            continue;
        const int fd =
            openat(top.fd, name.name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        const size_t pathLength = path.size() + 1;
        const size_t relLength = rel.size() + 1;
        if (fd >= 0 && openFolder(fd, pathLength, relLength, open, buffer)) {
            path += '/';
            rel += '/';
            continue;
        }
        if (fd < 0 && errno == EACCES && unreadable == Unreadable::Skip)
            continue;
        complete = false;
        break;
    }
    for (const Folder &f : open)
        close(f.fd);
    return complete;
}

const FolderNames::Names &FolderNames::namesOf(const std::string &dir) {
    auto at = m_folders.find(dir);
    if (at != m_folders.end())
        return at->second;
    Names &names = m_folders[dir];
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        names.exact.insert(name);
        names.folded.emplace(lower(name), name); // the first one stays
    }
    return names;
}

Spelling FolderNames::find(const std::string &rel, std::string &actual) {
    std::string dir = m_root;
    actual.clear();
    bool caseOnly = false;
    size_t i = 0;
    while (i <= rel.size()) {
        size_t j = rel.find('/', i);
        if (j == std::string::npos)
            j = rel.size();
        const std::string comp = rel.substr(i, j - i);
        i = j + 1;
        if (comp.empty() || comp == ".")
            continue;
        const Names &names = namesOf(dir);
        std::string found;
        if (names.exact.count(comp) != 0) {
            found = comp;
        } else {
            auto folded = names.folded.find(lower(comp));
            if (folded == names.folded.end())
                return Spelling::Missing;
            found = folded->second;
            caseOnly = true;
        }
        actual += (actual.empty() ? "" : "/") + found;
        dir += "/" + found;
    }
    return caseOnly ? Spelling::CaseOnly : Spelling::Exact;
}

std::string normalisePath(const std::string &path) {
    std::string out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        const std::string comp = path.substr(i, j - i);
        if (!comp.empty() && comp != ".") {
            if (!out.empty())
                out += '/';
            out += comp;
        }
        i = j + 1;
    }
    return out;
}

} // namespace mediacheck
