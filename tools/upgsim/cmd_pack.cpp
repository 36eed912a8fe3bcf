// "upgsim pack": writes a .tgz that the unit's extractor reads exactly as it
// was meant: POSIX ustar headers only (no pax or GNU long-name entries, which
// the extractor would write out as stray files), every name in the header's
// 100-byte name field, folders and regular files only (the extractor skips
// links and devices), entries sorted, owner, modes and times fixed and a
// gzip header without a time stamp, so that the same folder always gives the
// same bytes. Whatever the unit would get wrong is refused with the path and
// the reason before anything is written.
//
// With --country it packs a country's map data straight into a medium and
// writes what the unit reads about it (its CD_VER.NAV.INF with the room the
// files take at each block size, its descriptor lines); with --poi it packs
// a POI delivery into a medium with its version file.
#include "tools/upgsim/upgsim.h"

#include "tools/mediacheck/skeleton.h"

#include <CLI/CLI.hpp>
#include <archive.h>
#include <archive_entry.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The longest entry name the unit's extractor reads from the name field
// alone (its 100th byte must be the NUL); a folder's name counts its "/".
const std::size_t k_max_name = 99;
// Entry sizes are read as unsigned 32-bit numbers by the unit.
const unsigned long long k_max_file_size = 0xFFFFFFFFULL;

struct PackOptions {
    std::string source;
    std::string output; // the .tgz, or with --country and --poi the medium folder
    bool allowNonAscii = false;
    std::string country; // --country CID
    std::string version; // --version, --release: the country's
    std::string release;
    bool poi = false;       // --poi: a POI delivery
    std::string poiVersion; // its VERSION
    std::string poiDate;    // its DATE
};
PackOptions s_packOptions;

struct Entry {
    std::string name;     // path in the archive ("FRA/ROADS.DAT", "FRA/")
    std::string hostPath; // file on the host
    bool folder = false;
    unsigned long long size = 0;
};

// Lists `hostDir` (archive name `name`, ending in "/") into `entries`,
// folders before their contents, names in byte order. Empty when every
// entry is one the unit reads as it is; otherwise the first problem.
std::string collect(const std::string &hostDir, const std::string &name,
                    std::vector<Entry> &entries) {
    DIR *dir = opendir(hostDir.c_str());
    if (dir == nullptr)
        return hostDir + ": " + std::strerror(errno);
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent *d = readdir(dir)) {
        const std::string n = d->d_name;
        if (n != "." && n != "..")
            names.push_back(n);
    }
    const int readError = errno;
    closedir(dir);
    if (readError != 0)
        return hostDir + ": " + std::strerror(readError);
    std::sort(names.begin(), names.end());
    for (const std::string &n : names) {
        const std::string host = hostDir + "/" + n;
        struct stat st;
        if (::lstat(host.c_str(), &st) != 0)
            return host + ": " + std::strerror(errno);
        Entry e;
        e.hostPath = host;
        e.name = name + n;
        if (S_ISDIR(st.st_mode)) {
            e.folder = true;
            e.name += '/';
        } else if (S_ISLNK(st.st_mode)) {
            return host + ": a symbolic link (the unit's extractor skips links: copy the file "
                          "itself)";
        } else if (!S_ISREG(st.st_mode)) {
            return host + ": not a regular file or folder (the unit's extractor skips devices "
                          "and FIFOs)";
        } else {
            e.size = static_cast<unsigned long long>(st.st_size);
            if (e.size > k_max_file_size)
                return host + ": larger than 4 GiB (the unit reads sizes as 32-bit numbers)";
        }
        if (e.name.size() > k_max_name)
            return e.name + ": a name of " + std::to_string(e.name.size()) +
                   " characters (the unit's extractor reads at most " + std::to_string(k_max_name) +
                   ")";
        if (!s_packOptions.allowNonAscii)
            for (unsigned char c : n)
                if (c >= 0x80 || c < 0x20)
                    return e.name + ": a name with a character outside printable ASCII (the unit's "
                                    "file names are ASCII; --allow-non-ascii packs it anyway)";
        entries.push_back(e);
        if (e.folder) {
            const std::string problem = collect(host, e.name, entries);
            if (!problem.empty())
                return problem;
        }
    }
    return std::string();
}

// Writes `entries` into the archive `out`; empty on success, else why not.
std::string writeArchive(const std::vector<Entry> &entries, const std::string &out) {
    struct archive *a = archive_write_new();
    if (a == nullptr)
        return "out of memory";
    std::string problem;
    auto fail = [&](const std::string &what) {
        if (problem.empty()) {
            const char *text = archive_error_string(a);
            problem = what + (text != nullptr ? std::string(": ") + text : std::string());
        }
    };
    if (archive_write_set_format_ustar(a) != ARCHIVE_OK ||
        archive_write_add_filter_gzip(a) != ARCHIVE_OK ||
        // No time stamp in the gzip header: the same input, the same bytes.
        archive_write_set_filter_option(a, "gzip", "timestamp", nullptr) < ARCHIVE_WARN ||
        archive_write_set_filter_option(a, "gzip", "compression-level", "9") < ARCHIVE_WARN ||
        archive_write_open_filename(a, out.c_str()) != ARCHIVE_OK)
        fail("cannot start " + out);
    std::vector<char> buffer(64 * 1024);
    for (const Entry &e : entries) {
        if (!problem.empty())
            break;
        struct archive_entry *entry = archive_entry_new();
        archive_entry_set_pathname(entry, e.name.c_str());
        archive_entry_set_filetype(entry, e.folder ? AE_IFDIR : AE_IFREG);
        archive_entry_set_perm(entry, e.folder ? 0755 : 0644);
        archive_entry_set_size(entry, e.folder ? 0 : static_cast<la_int64_t>(e.size));
        archive_entry_set_uid(entry, 0);
        archive_entry_set_gid(entry, 0);
        archive_entry_set_uname(entry, "root");
        archive_entry_set_gname(entry, "root");
        archive_entry_set_mtime(entry, 0, 0);
        if (archive_write_header(a, entry) != ARCHIVE_OK)
            fail(e.name);
        archive_entry_free(entry);
        if (e.folder || !problem.empty())
            continue;
        const int fd = ::open(e.hostPath.c_str(), O_RDONLY);
        if (fd < 0) {
            problem = e.hostPath + ": " + std::strerror(errno);
            break;
        }
        unsigned long long left = e.size;
        while (left > 0 && problem.empty()) {
            const ssize_t n = ::read(fd, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                problem = e.hostPath + (n < 0 ? ": " + std::string(std::strerror(errno))
                                              : std::string(": changed while it was packed"));
                break;
            }
            const std::size_t take =
                static_cast<std::size_t>(std::min<unsigned long long>(left, n));
            if (archive_write_data(a, buffer.data(), take) != static_cast<la_ssize_t>(take))
                fail(e.name);
            left -= take;
        }
        ::close(fd);
    }
    if (archive_write_close(a) != ARCHIVE_OK)
        fail("cannot finish " + out);
    archive_write_free(a);
    return problem;
}

// The name of the folder `source` as an archive's top folder: its last
// component, or the real folder's name for "." and "..". Empty, with
// `problem` set, when it has none (the root folder) or cannot be resolved.
std::string topFolderName(std::string &source, std::string &problem) {
    while (source.size() > 1 && source.back() == '/')
        source.pop_back();
    const std::size_t slash = source.find_last_of('/');
    std::string top = slash == std::string::npos ? source : source.substr(slash + 1);
    if (top.empty() || top == "." || top == "..") {
        char resolved[4096];
        if (::realpath(source.c_str(), resolved) == nullptr) {
            problem = source + ": " + std::strerror(errno);
            return std::string();
        }
        const std::string full = resolved;
        top = full.substr(full.find_last_of('/') + 1);
        if (top.empty())
            problem = "SRC_DIR must not be the root folder";
    }
    return top;
}

// The entries of `source` packed under the top folder `top`; empty when
// all of them can be packed, else the first problem.
std::string collectAll(const std::string &source, const std::string &top,
                       std::vector<Entry> &entries) {
    Entry root;
    root.name = top + "/";
    root.hostPath = source;
    root.folder = true;
    if (root.name.size() > k_max_name)
        return root.name + ": a name over " + std::to_string(k_max_name) + " characters";
    entries.push_back(root);
    return collect(source, root.name, entries);
}

// Writes `entries` into the archive `output`, beside it first and renamed
// over it once complete; empty on success, else why not.
std::string packInto(const std::vector<Entry> &entries, const std::string &source,
                     const std::string &output) {
    // The archive must not hold itself.
    struct stat out;
    if (::stat(output.c_str(), &out) == 0)
        for (const Entry &e : entries) {
            struct stat st;
            if (::stat(e.hostPath.c_str(), &st) == 0 && st.st_dev == out.st_dev &&
                st.st_ino == out.st_ino)
                return output + " lies inside " + source;
        }
    const std::string temporary = output + ".part";
    std::string problem = writeArchive(entries, temporary);
    if (problem.empty() && ::rename(temporary.c_str(), output.c_str()) != 0)
        problem = "cannot rename " + temporary + " to " + output + ": " + std::strerror(errno);
    if (!problem.empty())
        ::unlink(temporary.c_str());
    return problem;
}

struct Counts {
    unsigned long files = 0, folders = 0;
    unsigned long long bytes = 0;
};

Counts countEntries(const std::vector<Entry> &entries) {
    Counts c;
    for (const Entry &e : entries) {
        if (e.folder) {
            ++c.folders;
        } else {
            ++c.files;
            c.bytes += e.size;
        }
    }
    return c;
}

// "packed OUT: ..." as text, or its JSON members.
void describeArchive(const std::string &output, const Counts &c, upgsim::Json &json) {
    json["archive"] = upgsim::jsonText(output);
    json["entries"] = c.files + c.folders;
    json["files"] = c.files;
    json["folders"] = c.folders;
    json["bytes"] = c.bytes;
    if (!upgsim::jsonOutput())
        std::printf("packed %s: %lu files, %lu folders, %llu bytes\n", output.c_str(), c.files,
                    c.folders, c.bytes);
}

// ---- The medium's text files ---------------------------------------------------

// The lines of a host text file without their line ends; false when it is
// no regular file (a FIFO is never opened: it would keep pack waiting) or
// does not open, true with the lines otherwise.
bool readLines(const std::string &path, std::vector<std::string> &lines) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    for (std::string line; std::getline(in, line);) {
        while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
            line.pop_back();
        lines.push_back(line);
    }
    return true;
}

std::string joinLines(const std::vector<std::string> &lines) {
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

// The key of a "KEY:value" line (the whole line when it has no colon).
std::string keyOf(const std::string &line) {
    return line.substr(0, line.find(':'));
}

// The value of the first line of `lines` whose key is `key`, up to a space
// as the module reads it; empty when there is none.
std::string valueOf(const std::vector<std::string> &lines, const std::string &key) {
    for (const std::string &line : lines)
        if (line.find(':') != std::string::npos && keyOf(line) == key) {
            const std::string value = line.substr(key.size() + 1);
            return value.substr(0, value.find(' '));
        }
    return std::string();
}

// `ours` ("KEY:value" lines) first, then the lines of `old` whose key is
// none of ours, in their order (keys the unit or the engineer added stay).
std::vector<std::string> withKeys(const std::vector<std::string> &ours,
                                  const std::vector<std::string> &old) {
    std::set<std::string> keys;
    for (const std::string &line : ours)
        keys.insert(keyOf(line));
    std::vector<std::string> lines = ours;
    for (const std::string &line : old)
        if (!line.empty() && keys.count(keyOf(line)) == 0)
            lines.push_back(line);
    return lines;
}

// The first field of a descriptor line.
std::string descriKey(const std::string &line) {
    return line.substr(0, line.find(','));
}

// The third field of a descriptor line, backslashes as slashes; empty when
// the line has fewer than four fields.
std::string descriPath(const std::string &line) {
    const std::size_t a = line.find(',');
    const std::size_t b = a == std::string::npos ? a : line.find(',', a + 1);
    const std::size_t c = b == std::string::npos ? b : line.find(',', b + 1);
    if (c == std::string::npos)
        return std::string();
    std::string path = line.substr(b + 1, c - b - 1);
    std::replace(path.begin(), path.end(), '\\', '/');
    return path;
}

// `lines` with each line of `ours` in place of the first line of its key,
// or added at the end when no line has that key.
std::vector<std::string> withDescriLines(std::vector<std::string> lines,
                                         const std::vector<std::string> &ours) {
    while (!lines.empty() && lines.back().empty())
        lines.pop_back();
    for (const std::string &line : ours) {
        auto same = std::find_if(lines.begin(), lines.end(), [&](const std::string &l) {
            return descriKey(l) == descriKey(line);
        });
        if (same != lines.end())
            *same = line;
        else
            lines.push_back(line);
    }
    return lines;
}

// Empty when `value` is a version or release number (digits, at most nine,
// as the module compares them as ints), else why not.
std::string checkNumber(const std::string &option, const std::string &value) {
    if (value.empty() || value.size() > 9 ||
        value.find_first_not_of("0123456789") != std::string::npos)
        return option + ": '" + value + "' is no number (digits only, at most nine)";
    return std::string();
}

// ---- pack --country --------------------------------------------------------------

// The size keys the module reads, each with the block size it rounds the
// files up to: the card's block size for the four keyed ones; for CID_SIZE,
// which every other block size reads, the largest a card has, so that it
// is enough on any of them.
struct SizeKey {
    const char *key;
    unsigned long long block;
};
const SizeKey k_size_keys[] = {
    {"CID_SIZE_4", 4096},
    {"CID_SIZE_8", 8192},
    {"CID_SIZE_16", 16384},
    {"CID_SIZE_32", 32768},
    {"CID_SIZE", static_cast<unsigned long long>(upgsim::k_max_block_size)},
};
// The module reads a size with a 32-bit strtoul: a larger one would read as
// 4294967295.
const unsigned long long k_max_size_value = 0xFFFFFFFFULL;

// The room the files take on a card of `block`-byte blocks: each file
// rounded up to whole blocks. Folders are not counted: the module's
// progress counts file data only, and the card's room is measured the same
// way by check.
unsigned long long roomOnCard(const std::vector<Entry> &entries, unsigned long long block) {
    unsigned long long total = 0;
    for (const Entry &e : entries)
        if (!e.folder)
            total += (e.size + block - 1) / block * block;
    return total;
}

bool holdsAFile(const std::vector<Entry> &entries) {
    return std::any_of(entries.begin(), entries.end(), [](const Entry &e) { return !e.folder; });
}

// Empty when the medium and the source folder lie apart, else why not: a
// medium inside its sources would be packed into its own archive, and
// sources inside the medium would go on the disc beside their archive.
std::string apart(const std::string &medium, const std::string &source) {
    char a[4096], b[4096];
    if (::realpath(medium.c_str(), a) == nullptr || ::realpath(source.c_str(), b) == nullptr)
        return std::string();
    const std::string m = std::string(a) + "/", s = std::string(b) + "/";
    if (m.compare(0, s.size(), s) == 0)
        return medium + " lies inside " + source + ": keep the medium beside its sources";
    if (s.compare(0, m.size(), m) == 0)
        return source + " lies inside the medium " + medium +
               ": keep the sources beside it (what lies in the medium goes on the disc)";
    return std::string();
}

int packCountry(std::string source, const std::string &medium) {
    const std::string &cid = s_packOptions.country;
    std::string problem = upgsim::checkCid(cid);
    if (!problem.empty())
        return upgsim::usageError("pack: --country: " + problem);
    const std::string top = topFolderName(source, problem);
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);
    if (top != cid)
        return upgsim::failure("pack: --country " + cid + ": the source folder is named " + top +
                               ", not " + cid +
                               ": the archive's top folder is the country's code, the folder "
                               "the unit extracts it to (MAPPE/" +
                               cid + "/)");
    struct stat st;
    if (::stat(medium.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return upgsim::failure("pack: " + medium + ": no medium folder (upgsim init makes one)");
    problem = apart(medium, source);
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);

    const std::string folder = medium + "/MAPPE/" + cid;
    const std::string infoPath = folder + "/CD_VER.NAV.INF";
    std::vector<std::string> oldInfo;
    readLines(infoPath, oldInfo);
    std::string version = s_packOptions.version, release = s_packOptions.release;
    if (version.empty())
        version = valueOf(oldInfo, "VERSION");
    if (release.empty())
        release = valueOf(oldInfo, "RELEASE");
    for (const auto &number :
         {std::make_pair("--version", &version), std::make_pair("--release", &release)}) {
        if (number.second->empty() || *number.second == mediacheck::k_placeholder)
            return upgsim::usageError("pack: --country " + cid + " needs " + number.first + " (" +
                                      infoPath + " holds none yet)");
        problem = checkNumber(number.first, *number.second);
        if (!problem.empty())
            return upgsim::usageError("pack: " + problem);
    }

    std::vector<Entry> entries;
    problem = collectAll(source, top, entries);
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);
    if (!holdsAFile(entries))
        return upgsim::failure("pack: " + source + " holds no file: put the map data of " + cid +
                               " in it");
    std::vector<std::string> info = {"CID:" + cid, "VERSION:" + version, "RELEASE:" + release};
    upgsim::Json sizes = upgsim::Json::object();
    for (const SizeKey &k : k_size_keys) {
        const unsigned long long room = roomOnCard(entries, k.block);
        if (room > k_max_size_value)
            return upgsim::failure("pack: " + cid + " takes " + std::to_string(room) +
                                   " bytes on a card of " + std::to_string(k.block) +
                                   "-byte blocks, more than a size line holds (the unit reads " +
                                   std::to_string(k_max_size_value) +
                                   " at most): split it over two discs");
        info.push_back(std::string(k.key) + ":" + std::to_string(room));
        sizes[k.key] = room;
    }

    std::error_code ec;
    fs::create_directories(folder, ec);
    const std::string archive = folder + "/" + cid + ".tgz";
    problem = packInto(entries, source, archive);
    // The version file after the archive: its sizes are the archive's.
    if (problem.empty())
        problem = upgsim::writeFileReplacing(infoPath, joinLines(withKeys(info, oldInfo)));
    const std::string rel = "MAPPE/" + cid + "/";
    std::vector<std::string> descri;
    readLines(folder + "/DESCRI.DAT", descri);
    if (problem.empty())
        problem = upgsim::writeFileReplacing(
            folder + "/DESCRI.DAT",
            joinLines(
                withDescriLines(descri, {"CID_INFO,1," + rel + "CD_VER.NAV.INF,0,country",
                                         "GRUPPO_4_CID,1," + rel + "GRUPPO_4_CID.DAT.inf,0,group",
                                         "MAP_ARCHIVE,1," + rel + cid + ".tgz,0,map data"})));
    const std::string group = folder + "/GRUPPO_4_CID.DAT.inf";
    if (problem.empty() && ::stat(group.c_str(), &st) != 0)
        problem = upgsim::writeFileReplacing(group, "VER:" + cid + "\n");
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);

    upgsim::Json json = upgsim::Json::object();
    describeArchive(archive, countEntries(entries), json);
    json["cid"] = cid;
    json["version"] = version;
    json["release"] = release;
    json["info"] = upgsim::jsonText(infoPath);
    json["sizes"] = sizes;
    if (upgsim::jsonOutput()) {
        upgsim::printJson(json);
    } else {
        std::string line;
        for (const SizeKey &k : k_size_keys)
            line += std::string(line.empty() ? "" : ", ") + k.key + " " +
                    std::to_string(sizes[k.key].get<unsigned long long>());
        std::printf("wrote %s: %s version %s release %s\n", infoPath.c_str(), cid.c_str(),
                    version.c_str(), release.c_str());
        std::fputs(upgsim::wrapText("  ", line, 2).c_str(), stdout);
    }
    return upgsim::EXIT_OK;
}

// ---- pack --poi ----------------------------------------------------------------

// Empty when the entries are a POI delivery: a folder per country code in
// tmp_poi/, each holding a file, and nothing else; else the first problem.
std::string checkPoiEntries(const std::vector<Entry> &entries, const std::string &source) {
    std::map<std::string, bool> countries; // CID -> holds a file
    for (const Entry &e : entries) {
        const std::string rest = e.name.substr(std::strlen("tmp_poi/"));
        if (rest.empty())
            continue;
        const std::size_t slash = rest.find('/');
        const std::string first = rest.substr(0, slash);
        if (slash == std::string::npos)
            return source + "/" + first +
                   ": a file outside a country's folder (the POI merge reads tmp_poi/CID/ only)";
        const std::string problem = upgsim::checkCid(first);
        if (!problem.empty())
            return source + "/" + first + ": " + problem +
                   " (the POI merge takes each folder of tmp_poi/ for a country)";
        bool &holds = countries[first];
        holds = holds || !e.folder;
    }
    if (countries.empty())
        return source + " holds no country's folder: put the POI files in " + source + "/CID/";
    for (const auto &c : countries)
        if (!c.second)
            return source + "/" + c.first + " holds no file: put the POI files of " + c.first +
                   " in it, or remove it";
    return std::string();
}

// Empty when `value` may be the value of a line of the .inf, else why not.
std::string checkPoiValue(const std::string &option, const std::string &value) {
    if (value.empty())
        return option + " is empty";
    for (unsigned char c : value)
        if (c <= 0x20 || c >= 0x7F)
            return option + ": '" + value + "' holds a space or a character beyond printable ASCII";
    return std::string();
}

int packPoi(std::string source, const std::string &medium) {
    std::string problem;
    const std::string top = topFolderName(source, problem);
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);
    if (top != "tmp_poi")
        return upgsim::failure("pack: --poi: the source folder is named " + top +
                               ", not tmp_poi: the POI merge reads the delivery's countries "
                               "from the card's MAPPE/tmp_poi/");
    const std::string descriPath_ = medium + "/DESCRI.DAT";
    std::vector<std::string> descri;
    if (!readLines(descriPath_, descri))
        return upgsim::failure("pack: " + descriPath_ +
                               ": no main descriptor (upgsim init makes the medium)");
    problem = apart(medium, source);
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);
    std::string rel;
    for (const std::string &line : descri)
        if (rel.empty() && descriKey(line) == mediacheck::k_poi_key)
            rel = descriPath(line);
    const bool listed = !rel.empty();
    if (!listed)
        rel = mediacheck::k_poi_archive;
    if (rel.front() == '/' || rel.find("..") != std::string::npos)
        return upgsim::failure("pack: " + descriPath_ + " names the POI delivery '" + rel +
                               "', which is no path within the medium");
    const std::string archive = medium + "/" + rel;
    const std::string infPath = archive + ".inf";
    std::vector<std::string> oldInf;
    readLines(infPath, oldInf);
    std::string version = s_packOptions.poiVersion;
    if (version.empty())
        version = valueOf(oldInf, "VERSION");
    if (version.empty() || version == mediacheck::k_placeholder)
        return upgsim::usageError("pack: --poi needs --poi-version (" + infPath +
                                  " holds none yet)");
    problem = checkPoiValue("--poi-version", version);
    if (problem.empty() && !s_packOptions.poiDate.empty())
        problem = checkNumber("--poi-date", s_packOptions.poiDate);
    if (!problem.empty())
        return upgsim::usageError("pack: " + problem);

    std::vector<Entry> entries;
    problem = collectAll(source, top, entries);
    if (problem.empty())
        problem = checkPoiEntries(entries, source);
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);
    std::error_code ec;
    fs::create_directories(fs::path(archive).parent_path(), ec);
    problem = packInto(entries, source, archive);
    std::vector<std::string> inf = {"VERSION:" + version};
    if (!s_packOptions.poiDate.empty())
        inf.push_back("DATE:" + s_packOptions.poiDate);
    if (problem.empty())
        problem = upgsim::writeFileReplacing(infPath, joinLines(withKeys(inf, oldInf)));
    if (problem.empty() && !listed)
        problem = upgsim::writeFileReplacing(
            descriPath_, joinLines(withDescriLines(descri, {std::string(mediacheck::k_poi_key) +
                                                            ",1," + rel + ",0,POI delivery"})));
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);

    upgsim::Json json = upgsim::Json::object();
    describeArchive(archive, countEntries(entries), json);
    json["inf"] = upgsim::jsonText(infPath);
    json["poi_version"] = upgsim::jsonText(version);
    if (upgsim::jsonOutput())
        upgsim::printJson(json);
    else
        std::printf("wrote %s: VERSION %s%s\n", infPath.c_str(), version.c_str(),
                    listed ? "" : (", listed in " + descriPath_).c_str());
    return upgsim::EXIT_OK;
}

// ---- The command ---------------------------------------------------------------

void definePack(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("SRC_DIR", s_packOptions.source, "folder to pack (its name is the top folder)")
        ->type_name("DIR")
        ->required()
        ->check(CLI::ExistingDirectory.description(""));
    sub.add_option("OUT", s_packOptions.output, "the .tgz to write (--country, --poi: the medium)")
        ->type_name("FILE|MEDIUM")
        ->required()
        ->check(upgsim::nonEmpty());
    sub.add_flag("--allow-non-ascii", s_packOptions.allowNonAscii,
                 "pack names with characters beyond ASCII");
    CLI::Option *country = sub.add_option("--country", s_packOptions.country,
                                          "pack country CID's map data into MEDIUM\n"
                                          "(the archive, CD_VER.NAV.INF, DESCRI.DAT)")
                               ->type_name("CID");
    sub.add_option("--version", s_packOptions.version, "the country's VERSION")
        ->type_name("N")
        ->needs(country);
    sub.add_option("--release", s_packOptions.release, "the country's RELEASE")
        ->type_name("N")
        ->needs(country);
    CLI::Option *poi =
        sub.add_flag("--poi", s_packOptions.poi,
                     "pack a POI delivery (SRC_DIR tmp_poi) into\nMEDIUM (the archive, its .inf)")
            ->excludes(country);
    sub.add_option("--poi-version", s_packOptions.poiVersion, "the delivery's VERSION")
        ->type_name("TEXT")
        ->needs(poi);
    sub.add_option("--poi-date", s_packOptions.poiDate, "the delivery's DATE")
        ->type_name("YYYYMMDD")
        ->needs(poi);
    upgsim::addJsonFlag(sub);
    sub.footer(std::string("Names in the archive start with SRC_DIR's own name (pack maps/FRA\n"
                           "gives FRA/, FRA/ROADS.DAT, ...). Refused: names over 99 characters,\n"
                           "links, devices, FIFOs, files of 4 GiB or more, non-ASCII names.\n"
                           "--country CID: SRC_DIR must be named CID; writes MEDIUM/MAPPE/CID/\n"
                           "CID.tgz, its CD_VER.NAV.INF (each CID_SIZE_* the files rounded up\n"
                           "to that block size) and its DESCRI.DAT lines. --poi: writes the\n"
                           "archive the main descriptor names (else POI/POI_UPD.tgz) and .inf.\n") +
               sub.get_footer());
}

int runPack(const upgsim::GlobalOptions &, CLI::App &) {
    if (!s_packOptions.country.empty())
        return packCountry(s_packOptions.source, s_packOptions.output);
    if (s_packOptions.poi)
        return packPoi(s_packOptions.source, s_packOptions.output);
    std::string source = s_packOptions.source;
    std::string problem;
    const std::string top = topFolderName(source, problem);
    if (!problem.empty())
        return top.empty() && problem.compare(0, 7, "SRC_DIR") == 0
                   ? upgsim::usageError("pack: " + problem)
                   : upgsim::failure("pack: " + problem);
    const std::string unusable = upgsim::creatableFolder(
        s_packOptions.output.find('/') == std::string::npos
            ? "."
            : s_packOptions.output.substr(0, s_packOptions.output.find_last_of('/') + 1));
    if (!unusable.empty())
        return upgsim::failure("pack: " + unusable);

    std::vector<Entry> entries;
    problem = collectAll(source, top, entries);
    if (problem.empty())
        problem = packInto(entries, source, s_packOptions.output);
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);
    upgsim::Json json = upgsim::Json::object();
    describeArchive(s_packOptions.output, countEntries(entries), json);
    if (upgsim::jsonOutput())
        upgsim::printJson(json);
    return upgsim::EXIT_OK;
}

const upgsim::Registrar k_pack_command({
    "pack",
    "write a .tgz the unit's extractor reads exactly",
    definePack,
    runPack,
});

} // namespace

namespace upgsim {

std::string writeFileReplacing(const std::string &path, const std::string &text) {
    const std::string temporary = path + ".part";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return temporary + ": " + std::strerror(errno);
    std::size_t done = 0;
    int error = 0;
    while (done < text.size() && error == 0) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno != EINTR)
            error = errno;
        else if (n > 0)
            done += static_cast<std::size_t>(n);
    }
    if (error == 0 && ::fsync(fd) != 0)
        error = errno;
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path.c_str()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.c_str());
        return path + ": " + std::strerror(error);
    }
    return std::string();
}

} // namespace upgsim
