// The reduced copy of a medium that `upgsim sweep --reduce` plays: every file
// outside the archives as it is (descriptors, version, group and .inf
// files), and every archive rebuilt with all of its folders and only a few of
// each folder's files. A script's order of operations depends on what the
// descriptors name and on the archives' structure, not on how many map files
// an archive holds: the reduced sweep plays every kind of moment of the full
// one at a fraction of its N.
#include "tools/sweep/sweep.h"

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <vector>

namespace fs = std::filesystem;

namespace sweep {

namespace {

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool endsWith(const std::string &text, const std::string &suffix) {
    return text.size() >= suffix.size() &&
           text.compare(text.size() - suffix.size(), suffix.size(), suffix) == 0;
}

bool isArchiveName(const std::string &name) {
    const std::string l = lower(name);
    return endsWith(l, ".tgz") || endsWith(l, ".tar.gz") || endsWith(l, ".tar");
}

// A file that steers the module rather than being bulk: kept in every
// folder (a POI group's announcement "poi_ver_RST.txt", a version file).
bool isControlFile(const std::string &name) {
    const std::string l = lower(name);
    return endsWith(l, ".txt") || endsWith(l, ".inf");
}

typedef std::unique_ptr<struct archive, int (*)(struct archive *)> Archive;

Archive openRead(const std::string &path) {
    Archive a(archive_read_new(), archive_read_free);
    if (!a)
        return a;
    archive_read_support_filter_all(a.get());
    archive_read_support_format_tar(a.get());
    if (archive_read_open_filename(a.get(), path.c_str(), 64 * 1024) != ARCHIVE_OK)
        a.reset();
    return a;
}

// The entries of the archive at `path` to keep: every folder; in each
// folder its control files, the first `perFolder` other files, and for each
// POI group a control file announces ("poi_ver_RST.txt") its first
// `perFolder` files. Entry names in archive order; false when unreadable.
bool chooseEntries(const std::string &path, unsigned perFolder, std::set<std::string> &keep,
                   uint64_t &total) {
    Archive a = openRead(path);
    if (!a)
        return false;
    struct Item {
        std::string name;
        bool folder;
    };
    std::vector<Item> items;
    struct archive_entry *e = nullptr;
    int rc;
    while ((rc = archive_read_next_header(a.get(), &e)) == ARCHIVE_OK) {
        const char *name = archive_entry_pathname(e);
        items.push_back({name != nullptr ? name : "", archive_entry_filetype(e) == AE_IFDIR});
    }
    if (rc != ARCHIVE_EOF)
        return false;
    total = items.size();
    auto split = [](const std::string &name, std::string &folder, std::string &base) {
        const std::size_t slash = name.rfind('/');
        folder = slash == std::string::npos ? std::string() : name.substr(0, slash);
        base = slash == std::string::npos ? name : name.substr(slash + 1);
    };
    std::map<std::string, std::set<std::string>> groups; // folder -> announced prefixes
    for (const Item &i : items) {
        std::string folder, base;
        split(i.name, folder, base);
        const std::string l = lower(base);
        if (!i.folder && l.compare(0, 8, "poi_ver_") == 0 && endsWith(l, ".txt"))
            groups[folder].insert(base.substr(8, base.size() - 12));
    }
    std::map<std::string, unsigned> others;                          // folder -> bulk files kept
    std::map<std::pair<std::string, std::string>, unsigned> ofGroup; // (folder, prefix) -> kept
    for (const Item &i : items) {
        std::string folder, base;
        split(i.name, folder, base);
        bool take = i.folder || isControlFile(base);
        bool grouped = false;
        if (!take)
            for (const std::string &prefix : groups[folder])
                if (!grouped && base.compare(0, prefix.size(), prefix) == 0) {
                    // A group's file: its group's share decides.
                    grouped = true;
                    take = ofGroup[{folder, prefix}]++ < perFolder;
                }
        if (!take && !grouped && others[folder]++ < perFolder)
            take = true;
        if (take)
            keep.insert(i.name);
    }
    return true;
}

// Writes the kept entries of `from` into the new archive `to` (ustar,
// gzip-compressed as the medium's are).
bool writeReduced(const std::string &from, const std::string &to,
                  const std::set<std::string> &keep) {
    Archive in = openRead(from);
    Archive out(archive_write_new(), archive_write_free);
    if (!in || !out || archive_write_set_format_ustar(out.get()) != ARCHIVE_OK)
        return false;
    const bool gz = !endsWith(lower(from), ".tar");
    if (gz && archive_write_add_filter_gzip(out.get()) != ARCHIVE_OK)
        return false;
    if (archive_write_open_filename(out.get(), to.c_str()) != ARCHIVE_OK)
        return false;
    struct archive_entry *e = nullptr;
    int rc;
    std::vector<char> buf(64 * 1024);
    while ((rc = archive_read_next_header(in.get(), &e)) == ARCHIVE_OK) {
        const char *name = archive_entry_pathname(e);
        if (name == nullptr || keep.count(name) == 0)
            continue;
        if (archive_write_header(out.get(), e) != ARCHIVE_OK)
            return false;
        la_ssize_t n;
        while ((n = archive_read_data(in.get(), buf.data(), buf.size())) > 0)
            if (archive_write_data(out.get(), buf.data(), static_cast<size_t>(n)) != n)
                return false;
        if (n < 0)
            return false;
    }
    return rc == ARCHIVE_EOF && archive_write_close(out.get()) == ARCHIVE_OK;
}

} // namespace

bool reduceMedium(const std::string &mediaDir, const std::string &outDir, unsigned perFolder,
                  ReduceSummary &summary, std::string &error) {
    summary = ReduceSummary();
    std::error_code ec;
    fs::create_directories(outDir, ec);
    if (ec) {
        error = "cannot create " + outDir + ": " + ec.message();
        return false;
    }
    fs::recursive_directory_iterator it(mediaDir, ec), end;
    if (ec) {
        error = "cannot read the medium " + mediaDir + ": " + ec.message();
        return false;
    }
    for (; it != end; it.increment(ec)) {
        if (ec) {
            error = "cannot read the medium " + mediaDir + ": " + ec.message();
            return false;
        }
        const fs::path rel = fs::relative(it->path(), mediaDir, ec);
        const std::string to = outDir + "/" + rel.string();
        const fs::file_status st = it->symlink_status(ec);
        if (fs::is_directory(st)) {
            fs::create_directories(to, ec);
        } else if (fs::is_regular_file(st) && isArchiveName(it->path().filename().string())) {
            std::set<std::string> keep;
            uint64_t total = 0;
            if (!chooseEntries(it->path().string(), perFolder, keep, total) ||
                !writeReduced(it->path().string(), to, keep)) {
                error = "cannot rebuild the archive " + rel.string();
                return false;
            }
            ++summary.archives;
            summary.entries += total;
            summary.entriesKept += keep.size();
        } else if (fs::is_regular_file(st)) {
            fs::copy_file(it->path(), to, ec);
            ++summary.files;
        } else {
            error = rel.string() + " is neither a file nor a folder";
            return false;
        }
        if (ec) {
            error = "cannot copy " + rel.string() + ": " + ec.message();
            return false;
        }
    }
    return true;
}

std::string ReduceSummary::text() const {
    return "a reduced copy of the medium (" + std::to_string(archives) + " archives with " +
           std::to_string(entriesKept) + " of their " + std::to_string(entries) +
           " entries: every folder, the control files and a few files of each folder and POI "
           "group; " +
           std::to_string(files) + " other files as on the medium, size lines unchanged)";
}

} // namespace sweep
