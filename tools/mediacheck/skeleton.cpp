// What is left to do on a medium that `upgsim init` started: the countries
// and the POI delivery still waiting for `upgsim pack`, each said as one
// error that names the folder to fill and the command to run, in place of
// the findings that only follow from the unfinished step.
#include "tools/mediacheck/skeleton.h"

#include "tools/mediacheck/findings.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>

namespace fs = std::filesystem;

namespace mediacheck {

namespace {

// The lines of a host text file, line ends removed; empty when it is no
// regular file (a FIFO is never opened: it would keep the check waiting) or
// does not open.
std::vector<std::string> linesOf(const std::string &path) {
    std::vector<std::string> lines;
    std::error_code ec;
    if (!fs::is_regular_file(path, ec))
        return lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

// The value of the first line "KEY:value" of `lines`, up to a space as the
// module reads it; false when there is none.
bool valueOf(const std::vector<std::string> &lines, const std::string &key, std::string &value) {
    for (const std::string &line : lines)
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
            line[key.size()] == ':') {
            value = line.substr(key.size() + 1);
            value = value.substr(0, value.find(' '));
            return true;
        }
    return false;
}

// True when a line of the key-and-value file `path` still holds the
// placeholder.
bool holdsPlaceholder(const std::string &path) {
    for (const std::string &line : linesOf(path)) {
        const size_t colon = line.find(':');
        if (colon != std::string::npos && line.substr(colon + 1) == k_placeholder)
            return true;
    }
    return false;
}

// The path (third field, backslashes as slashes) of each line of the
// descriptor `path` whose key is `key`.
std::vector<std::string> pathsWithKey(const std::string &path, const std::string &key) {
    std::vector<std::string> found;
    for (const std::string &line : linesOf(path)) {
        std::vector<std::string> fields;
        size_t start = 0;
        for (size_t comma; fields.size() < 4 && (comma = line.find(',', start)) != line.npos;
             start = comma + 1)
            fields.push_back(line.substr(start, comma - start));
        if (fields.size() < 3 || fields[0] != key)
            continue;
        std::string p = fields[2];
        std::replace(p.begin(), p.end(), '\\', '/');
        found.push_back(p);
    }
    return found;
}

// True when the host folder `dir` holds a regular file somewhere beneath it.
bool holdsAFile(const std::string &dir) {
    std::error_code ec;
    if (!fs::is_directory(dir, ec))
        return false;
    for (fs::recursive_directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file(ec))
            return true;
    return false;
}

// The names of the folders directly in `dir`, sorted.
std::vector<std::string> foldersIn(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_directory(ec))
            names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool isRegular(const std::string &path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// `path` as the user wrote it, quoted for a shell when it needs it.
std::string shellWord(const std::string &path) {
    if (!path.empty() &&
        path.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"
                               "0123456789/._-+,=:@") == std::string::npos)
        return path;
    std::string out = "'";
    for (char c : path)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The project's unfinished parts: the findings that belong
// to them are replaced.
struct Todo {
    std::set<std::string> folders;  // "MAPPE/ESP": every finding within is replaced
    std::set<std::string> archives; // "POI/POI_UPD.tgz": its findings and its .inf's
    std::vector<Finding> errors;
};

// The country folder MAPPE/`dir`: unfinished while its version file holds
// the placeholder, or while its archive is missing and its sources lie
// beside the medium.
void countryTodo(const std::string &mediaDir, const std::string &dir, Todo &todo) {
    const std::string folder = mediaDir + "/MAPPE/" + dir;
    const std::string info = folder + "/CD_VER.NAV.INF";
    std::string cid;
    if (!valueOf(linesOf(info), "CID", cid) || cid.empty() || cid == k_placeholder)
        cid = dir;
    const std::string sources = besideMedium(mediaDir, std::string(k_project_maps) + "/" + cid);
    std::vector<std::string> archives = pathsWithKey(folder + "/DESCRI.DAT", "MAP_ARCHIVE");
    const bool archiveMissing = archives.empty() || !isRegular(mediaDir + "/" + archives.front());
    std::error_code ec;
    if (!holdsPlaceholder(info) && !(archiveMissing && fs::is_directory(sources, ec)))
        return;
    const std::string pack = "upgsim pack --country " + cid + " --version N --release N " +
                             shellWord(sources) + " " + shellWord(mediaDir);
    const std::string message =
        holdsAFile(sources) ? sources + " holds the map data of " + cid + ": run " + pack
                            : "put the map data of " + cid + " in " + sources + " and run " + pack;
    todo.folders.insert("MAPPE/" + dir);
    add(todo.errors, Code::TodoMaps, "MAPPE/" + dir, message);
}

// The POI delivery named `archive` (relative to the medium): unfinished
// while its .inf holds the placeholder, or while it is missing and the
// project's POI folder lies beside the medium.
void poiTodo(const std::string &mediaDir, const std::string &archive, Todo &todo) {
    const std::string sources = besideMedium(mediaDir, k_project_poi);
    std::error_code ec;
    const bool unpacked = !isRegular(mediaDir + "/" + archive) && fs::is_directory(sources, ec);
    if (!holdsPlaceholder(mediaDir + "/" + archive + ".inf") && !unpacked)
        return;
    std::string countries;
    for (const std::string &cid : foldersIn(sources))
        countries += (countries.empty() ? "" : ", ") + cid;
    const std::string pack = "upgsim pack --poi " + shellWord(sources) + " " + shellWord(mediaDir) +
                             " --poi-version VERSION";
    std::string message;
    if (holdsAFile(sources))
        message = sources + " holds the POI delivery: run " + pack;
    else
        message = "put the POI files of each country in " + sources + "/CID/" +
                  (countries.empty() ? std::string() : " (" + countries + ")") + " and run " + pack;
    todo.archives.insert(archive);
    add(todo.errors, Code::TodoPois, archive, message);
}

// True when finding `f` only follows from an unfinished part of `todo`.
bool followsFromTodo(const Finding &f, const Todo &todo) {
    for (const std::string &folder : todo.folders)
        if (f.path == folder || f.path.compare(0, folder.size() + 1, folder + "/") == 0)
            return true;
    for (const std::string &archive : todo.archives) {
        if (f.path == archive || f.path == archive + ".inf")
            return true;
        // The main descriptor names the archive that is not there yet.
        if (f.code == codeInfo(Code::DescriPathMissing).name &&
            f.message.find("'" + archive + "'") != std::string::npos)
            return true;
    }
    return f.code == codeInfo(Code::NothingOffered).name && !todo.folders.empty();
}

} // namespace

std::string besideMedium(const std::string &mediaDir, const std::string &sub) {
    fs::path medium = fs::path(mediaDir).lexically_normal();
    if (medium.filename().empty())
        medium = medium.parent_path();
    if (medium.empty() || medium.filename() == "." || medium.filename() == "..") {
        std::error_code ec;
        medium = fs::weakly_canonical(medium.empty() ? fs::path(".") : medium, ec);
    }
    return (medium.parent_path() / sub).generic_string();
}

namespace {

// What is left to do on the medium `mediaDir` (nothing for a medium that is
// no unfinished project).
Todo todoOf(const std::string &mediaDir) {
    Todo todo;
    for (const std::string &dir : foldersIn(mediaDir + "/MAPPE"))
        countryTodo(mediaDir, dir, todo);
    std::set<std::string> seen;
    for (const std::string &archive : pathsWithKey(mediaDir + "/DESCRI.DAT", k_poi_key))
        if (seen.insert(archive).second)
            poiTodo(mediaDir, archive, todo);
    return todo;
}

} // namespace

bool unfinishedProject(const std::string &mediaDir) {
    return !todoOf(mediaDir).errors.empty();
}

void reportSkeleton(const std::string &mediaDir, std::vector<Finding> &findings) {
    const Todo todo = todoOf(mediaDir);
    if (todo.errors.empty())
        return;
    findings.erase(std::remove_if(findings.begin(), findings.end(),
                                  [&](const Finding &f) { return followsFromTodo(f, todo); }),
                   findings.end());
    findings.insert(findings.end(), todo.errors.begin(), todo.errors.end());
}

} // namespace mediacheck
