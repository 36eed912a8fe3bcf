// Snapshots of a card's folder and what changed between two of them: the
// summary `upgsim run --scratch` and `--report` print after a script.
#include "tools/mediacheck/mediacheck.h"

#include "tools/hostkit/names.h"
#include "tools/mediacheck/treewalk.h"

#include <cerrno>
#include <nlohmann/json.hpp>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
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
