// The shared walk over a host folder's tree.
#include "tools/mediacheck/treewalk.h"

namespace fs = std::filesystem;

namespace mediacheck {

bool walkTree(const std::string &root, const std::function<Walk(const TreeItem &)> &visit) {
    std::error_code ec;
    fs::recursive_directory_iterator it(root, ec);
    if (ec)
        return false;
    // Every path the walk gives is `root` joined with a relative part.
    const std::string prefix = (fs::path(root) / "").generic_string();
    for (; it != fs::end(it); it.increment(ec)) {
        const std::string path = it->path().generic_string();
        const TreeItem item{
            *it, path.compare(0, prefix.size(), prefix) == 0 ? path.substr(prefix.size()) : path};
        const Walk next = visit(item);
        if (next == Walk::Stop)
            return false;
        if (next == Walk::SkipFolder)
            it.disable_recursion_pending();
    }
    // A folder that cannot be opened or read ends the iteration with `ec`
    // set: the walk is then incomplete.
    return !ec;
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
