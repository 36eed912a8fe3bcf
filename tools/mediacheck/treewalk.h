// One walk over a host folder's tree, shared by the tools that read whole
// trees: the checker's archive search and extracted-tree digests, the card
// snapshots of `upgsim run`, and the sweep's card images. Host tool code.
#ifndef TOOLS_MEDIACHECK_TREEWALK_H
#define TOOLS_MEDIACHECK_TREEWALK_H

#include <filesystem>
#include <functional>
#include <map>
#include <set>
#include <string>

namespace mediacheck {

// One entry met by walkTree.
struct TreeItem {
    const std::filesystem::directory_entry &entry; // as the walk met it
    std::string rel; // its path relative to the walk's root, '/'-separated ("MAPPE/FRA/a.dat")
};

// What the walk does after an entry.
enum class Walk {
    Continue,   // on, into the entry when it is a folder
    SkipFolder, // on, but not into this folder
    Stop,       // no further: the walk ends and reports failure
};

// What the walk does at a folder it may not open (permission denied).
enum class Unreadable {
    Fail, // the walk ends there, incomplete
    Skip, // the walk goes on without what the folder holds
};

// Calls `visit` for every entry under the host folder `root`, each folder
// before what it holds, in the order the file system lists them; symbolic
// links are met, never followed. True when every folder was read to its end;
// false when `root` or a folder under it cannot be read (the walk ends
// there, after the entries already met; with Unreadable::Skip a folder it
// may not open is passed over instead), when an entry's path would be
// PATH_MAX characters or more, or when `visit` returned Walk::Stop. Memory
// is linear in the tree's depth and in the names of the folders open, one
// descriptor per open folder. Any thread; `visit` must not change the tree.
bool walkTree(const std::string &root, const std::function<Walk(const TreeItem &)> &visit,
              Unreadable unreadable = Unreadable::Fail);

// Where a relative path stands in a tree: spelled exactly, present only with
// other upper/lower case, or missing.
enum class Spelling { Exact, CaseOnly, Missing };

// The names of a tree's folders, for telling how paths are spelled in it.
// Each folder is listed once, on the first lookup that passes through it, and
// its names kept: a descriptor names many files of one folder, and listing
// the folder again for each of them made a check of N countries list
// "MAPPE/" N times over. The tree must not change while the object is used.
// One thread at a time.
class FolderNames {
public:
    explicit FolderNames(std::string root) : m_root(std::move(root)) {}

    // How `rel` ('/'-separated; empty and "." components ignored) is spelled
    // under the root. Each component is the name spelled exactly, else the
    // first name in listing order equal to it but for ASCII case. `actual`
    // gets the path so found ('/'-separated), as far as it was found.
    Spelling find(const std::string &rel, std::string &actual);

    const std::string &root() const { return m_root; }
    // Folders listed so far.
    int foldersListed() const { return static_cast<int>(m_folders.size()); }

private:
    struct Names {
        std::set<std::string> exact;
        std::map<std::string, std::string> folded; // lower case -> first such name
    };
    const Names &namesOf(const std::string &dir);

    std::string m_root;
    std::map<std::string, Names> m_folders; // by host path
};

// A relative path as a file system resolves it, '/'-separated, without "."
// or empty components ("./MAPPE//FRA/" -> "MAPPE/FRA"). Any thread.
std::string normalisePath(const std::string &path);

} // namespace mediacheck

#endif
