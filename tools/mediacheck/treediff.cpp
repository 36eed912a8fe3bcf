// Snapshots of a card's folder and what changed between two of them: the
// summary `upgsim run --scratch` and `--report` print after a script; and
// the scratch folders of the checker and of `run --scratch`.
#include "tools/mediacheck/mediacheck.h"

#include "tools/mediacheck/treewalk.h"

#include <cerrno>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <vector>

namespace fs = std::filesystem;

namespace mediacheck {

namespace {

// CRC-32 of a file's bytes; false when it cannot be read.
bool fileCrc(const std::string &path, uint32_t &crc) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    std::vector<unsigned char> buf(256 * 1024);
    uLong c = crc32(0L, Z_NULL, 0);
    size_t n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0)
        c = crc32(c, buf.data(), static_cast<uInt>(n));
    bool ok = !std::ferror(f);
    std::fclose(f);
    crc = static_cast<uint32_t>(c);
    return ok;
}

} // namespace

bool copyTree(const std::string &from, const std::string &to) {
    std::error_code ec;
    if (fs::exists(to, ec) || !fs::is_directory(from, ec))
        return false;
    // A symbolic link in the copy could lead a script's writes back to the
    // real files (or anywhere else): a tree with one is not copied. Cards
    // (FAT) hold none.
    bool link = false;
    const bool walked = walkTree(from, [&](const TreeItem &item) {
        std::error_code err;
        link = item.entry.is_symlink(err);
        return link ? Walk::Stop : Walk::Continue;
    });
    if (link) {
        errno = ELOOP;
        return false;
    }
    if (!walked)
        return false;
    fs::copy(from, to, fs::copy_options::recursive, ec);
    if (ec) {
        fs::remove_all(to, ec);
        return false;
    }
    return true;
}

bool snapshotTree(const std::string &hostDir, TreeSnapshot &snapshot) {
    snapshot.clear();
    bool ok = true;
    const bool walked = walkTree(hostDir, [&](const TreeItem &item) {
        std::error_code ec;
        if (!item.entry.is_regular_file(ec) || item.entry.is_symlink(ec))
            return Walk::Continue;
        FileState s;
        s.size = item.entry.file_size(ec);
        if (ec || !fileCrc(item.entry.path().string(), s.crc))
            ok = false;
        snapshot[item.rel] = s;
        return Walk::Continue;
    });
    return walked && ok;
}

TreeDiff diffTrees(const TreeSnapshot &before, const TreeSnapshot &after) {
    TreeDiff d;
    for (const auto &a : after) {
        auto b = before.find(a.first);
        if (b == before.end()) {
            d.changes.push_back(TreeChange{TreeChange::Added, a.first, 0, a.second.size});
            d.bytesWritten += a.second.size;
        } else if (b->second.size != a.second.size || b->second.crc != a.second.crc) {
            d.changes.push_back(
                TreeChange{TreeChange::Changed, a.first, b->second.size, a.second.size});
            d.bytesWritten += a.second.size;
        }
    }
    for (const auto &b : before)
        if (after.count(b.first) == 0)
            d.changes.push_back(TreeChange{TreeChange::Removed, b.first, b.second.size, 0});
    std::sort(d.changes.begin(), d.changes.end(),
              [](const TreeChange &x, const TreeChange &y) { return x.path < y.path; });
    return d;
}

std::string renderDiff(const TreeDiff &diff) {
    std::ostringstream out;
    int added = 0, changed = 0, removed = 0;
    for (const TreeChange &c : diff.changes) {
        switch (c.kind) {
        case TreeChange::Added:
            ++added;
            out << "added    " << c.path << "  (" << c.after << " bytes)\n";
            break;
        case TreeChange::Changed:
            ++changed;
            out << "changed  " << c.path << "  (" << c.before << " -> " << c.after << " bytes)\n";
            break;
        case TreeChange::Removed:
            ++removed;
            out << "removed  " << c.path << "  (" << c.before << " bytes)\n";
            break;
        }
    }
    out << added << " added, " << changed << " changed, " << removed << " removed; "
        << diff.bytesWritten << " bytes written\n";
    return out.str();
}

std::string renderDiffJson(const TreeDiff &diff, const std::string &mode, bool complete,
                           int exitStatus) {
    nlohmann::ordered_json j;
    j["mode"] = mode;
    j["added"] = nlohmann::ordered_json::array();
    j["changed"] = nlohmann::ordered_json::array();
    j["removed"] = nlohmann::ordered_json::array();
    for (const TreeChange &c : diff.changes) {
        switch (c.kind) {
        case TreeChange::Added:
            j["added"].push_back({{"path", c.path}, {"size", c.after}});
            break;
        case TreeChange::Changed:
            j["changed"].push_back({{"path", c.path}, {"old_size", c.before}, {"size", c.after}});
            break;
        case TreeChange::Removed:
            j["removed"].push_back({{"path", c.path}, {"size", c.before}});
            break;
        }
    }
    j["bytes_written"] = diff.bytesWritten;
    j["complete"] = complete;
    j["exit_status"] = exitStatus;
    // Names are bytes from the card: an invalid UTF-8 sequence is replaced,
    // not thrown about.
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string makeScratchFolder(const std::string &parent, const std::string &tag) {
    std::string base = parent;
    if (base.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string templ = base + "/" + tag + "-XXXXXX";
    std::vector<char> buf(templ.begin(), templ.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr)
        return std::string();
    return buf.data();
}

const char *const k_scratch_marker = ".upgsim-scratch";

namespace {

// Folders to remove when a signal ends the process: fixed buffers, so that
// the handler reads them without allocating.
const int k_slots = 8;
const size_t k_path_max = 4096;
char s_scratch[k_slots][k_path_max];
std::atomic<bool> s_used[k_slots];
std::mutex s_slot_lock; // guards taking and freeing slots and the handlers
int s_registered = 0;
const int k_signals[] = {SIGINT, SIGTERM, SIGHUP};
struct sigaction s_previous[3];

// Removes the tree at `root` with async-signal-safe calls only: open,
// getdents64, unlinkat, close. Depth-first without recursion: the path of
// the folder being emptied lives in one static buffer; an emptied folder is
// removed and its parent read again.
char s_walk[k_path_max];
char s_dents[4096];

void removeTreeSafely(const char *root) {
    size_t rootLen = strnlen(root, k_path_max - 1);
    memcpy(s_walk, root, rootLen);
    s_walk[rootLen] = '\0';
    size_t len = rootLen;
    for (int guard = 0; guard < 1000000; ++guard) {
        int fd = open(s_walk, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (fd < 0)
            return;
        bool descended = false;
        bool progress = true;
        while (!descended && progress) {
            progress = false;
            long n = syscall(SYS_getdents64, fd, s_dents, sizeof s_dents);
            if (n <= 0)
                break;
            for (long at = 0; at < n && !descended;) {
                struct Dirent64 {
                    uint64_t ino;
                    int64_t off;
                    unsigned short reclen;
                    unsigned char type;
                    char name[1];
                };
                const Dirent64 *d = reinterpret_cast<const Dirent64 *>(s_dents + at);
                at += d->reclen;
                if (strcmp(d->name, ".") == 0 || strcmp(d->name, "..") == 0)
                    continue;
                if (unlinkat(fd, d->name, 0) == 0) {
                    progress = true;
                    continue;
                }
                if (unlinkat(fd, d->name, AT_REMOVEDIR) == 0) {
                    progress = true;
                    continue;
                }
                const size_t nameLen = strlen(d->name);
                if (len + 1 + nameLen + 1 > k_path_max)
                    continue;
                s_walk[len] = '/';
                memcpy(s_walk + len + 1, d->name, nameLen + 1);
                len += 1 + nameLen;
                descended = true;
            }
        }
        close(fd);
        if (descended)
            continue;
        // Empty: remove it and go up. A folder that cannot be emptied ends
        // the walk (it would be met again and again).
        if (rmdir(s_walk) != 0)
            return;
        if (len <= rootLen)
            return;
        while (len > rootLen && s_walk[len] != '/')
            --len;
        s_walk[len] = '\0';
    }
}

void onSignal(int sig) {
    for (int i = 0; i < k_slots; ++i)
        if (s_used[i].load())
            removeTreeSafely(s_scratch[i]);
    // End the process as the signal would have.
    signal(sig, SIG_DFL);
    raise(sig);
}

// This host's name, which the marker holds beside the process id.
std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0')
        return "-";
    return name;
}

// Removes folders "<parent>/<tag>-*" whose marker names a process that no
// longer exists (a run killed with SIGKILL, or a power cut).
void removeStale(const std::string &parent, const std::string &tag) {
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(parent, ec)) {
        const std::string name = e.path().filename().string();
        if (name.compare(0, tag.size() + 1, tag + "-") != 0 || !e.is_directory(ec) ||
            e.is_symlink(ec))
            continue;
        std::ifstream marker(e.path() / k_scratch_marker);
        long pid = 0;
        std::string host;
        // Only a run of this host (pid name space) can be asked for.
        if (!(marker >> pid) || pid <= 0 || !(marker >> host) || host != hostName())
            continue;
        if (kill(static_cast<pid_t>(pid), 0) == 0 || errno != ESRCH)
            continue;
        fs::remove_all(e.path(), ec);
    }
}

} // namespace

ScratchFolder::ScratchFolder(const std::string &parent, const std::string &tag) {
    std::string base = parent;
    if (base.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        base = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    removeStale(base, tag);
    const std::string made = makeScratchFolder(base, tag);
    if (made.empty() || made.size() >= k_path_max)
        return;
    std::ofstream marker(made + "/" + k_scratch_marker);
    marker << static_cast<long>(getpid()) << " " << hostName() << "\n";
    marker.close();
    std::error_code ec;
    if (!marker) {
        fs::remove_all(made, ec);
        return;
    }
    std::lock_guard<std::mutex> lock(s_slot_lock);
    for (int i = 0; i < k_slots; ++i) {
        if (s_used[i].load())
            continue;
        memcpy(s_scratch[i], made.c_str(), made.size() + 1);
        s_used[i].store(true);
        m_slot = i;
        break;
    }
    if (m_slot < 0) {
        fs::remove_all(made, ec);
        return;
    }
    if (s_registered++ == 0) {
        struct sigaction sa;
        memset(&sa, 0, sizeof sa);
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        for (int sig : k_signals)
            sigaddset(&sa.sa_mask, sig);
        // A signal ignored from the start (a background job's SIGINT) stays
        // ignored: it cannot end the run.
        for (int i = 0; i < 3; ++i)
            if (sigaction(k_signals[i], nullptr, &s_previous[i]) == 0 &&
                s_previous[i].sa_handler != SIG_IGN)
                sigaction(k_signals[i], &sa, nullptr);
    }
    m_path = made;
}

ScratchFolder::~ScratchFolder() {
    if (m_slot < 0)
        return;
    std::error_code ec;
    fs::remove_all(m_path, ec);
    std::lock_guard<std::mutex> lock(s_slot_lock);
    s_used[m_slot].store(false);
    if (--s_registered == 0)
        for (int i = 0; i < 3; ++i)
            sigaction(k_signals[i], &s_previous[i], nullptr);
}

} // namespace mediacheck
