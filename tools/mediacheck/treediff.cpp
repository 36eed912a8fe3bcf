// What changed between two images of a card (the host kit's): the summary `upgsim run --scratch`
// and `--report` print after a script.
#include "tools/mediacheck/mediacheck.h"

#include "tools/hostkit/names.h"

#include <nlohmann/json.hpp>

#include <sstream>

namespace mediacheck {

bool copyTree(const std::string &from, const std::string &to) {
    return hostkit::copyCard(from, to);
}

bool snapshotTree(const std::string &hostDir, TreeSnapshot &snapshot) {
    return hostkit::imageCard(hostDir, snapshot);
}

TreeDiff diffTrees(const TreeSnapshot &before, const TreeSnapshot &after) {
    TreeDiff d;
    // The host kit's comparison of the two images, folders left out: a file
    // that became a folder (or the other way round) is removed (added).
    auto isFile = [](const TreeSnapshot &image, const std::string &path) {
        const auto it = image.find(path);
        return it != image.end() && !it->second.folder;
    };
    for (const hostkit::Mismatch &m : hostkit::compareImages(after, before)) {
        const bool inAfter = isFile(after, m.path), inBefore = isFile(before, m.path);
        if (inAfter && inBefore) {
            d.changes.push_back(TreeChange{TreeChange::Changed, m.path, m.expected, m.size});
            d.bytesWritten += m.size;
        } else if (inAfter) {
            d.changes.push_back(TreeChange{TreeChange::Added, m.path, 0, m.size});
            d.bytesWritten += m.size;
        } else if (inBefore) {
            d.changes.push_back(TreeChange{TreeChange::Removed, m.path, m.expected, 0});
        }
    }
    return d;
}

std::string renderDiff(const TreeDiff &diff) {
    std::ostringstream out;
    int added = 0, changed = 0, removed = 0;
    for (const TreeChange &c : diff.changes) {
        switch (c.kind) {
        case TreeChange::Added:
            ++added;
            out << "added    " << hostkit::printable(c.path) << "  (" << c.after << " bytes)\n";
            break;
        case TreeChange::Changed:
            ++changed;
            out << "changed  " << hostkit::printable(c.path) << "  (" << c.before << " -> "
                << c.after << " bytes)\n";
            break;
        case TreeChange::Removed:
            ++removed;
            out << "removed  " << hostkit::printable(c.path) << "  (" << c.before << " bytes)\n";
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
        // A name that is no valid UTF-8: U+FFFD in "path", its bytes in
        // "path_raw".
        nlohmann::ordered_json item = {{"path", hostkit::utf8Replaced(c.path)}};
        if (!hostkit::isUtf8(c.path))
            item["path_raw"] = hostkit::escapedBytes(c.path);
        switch (c.kind) {
        case TreeChange::Added:
            item["size"] = c.after;
            j["added"].push_back(item);
            break;
        case TreeChange::Changed:
            item["old_size"] = c.before;
            item["size"] = c.after;
            j["changed"].push_back(item);
            break;
        case TreeChange::Removed:
            item["size"] = c.before;
            j["removed"].push_back(item);
            break;
        }
    }
    j["bytes_written"] = diff.bytesWritten;
    j["complete"] = complete;
    j["exit_status"] = exitStatus;
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

} // namespace mediacheck
