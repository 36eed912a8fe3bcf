// "upgsim pack": writes a .tgz that the unit's extractor reads exactly as it
// was meant: POSIX ustar headers only (no pax or GNU long-name entries, which
// the extractor would write out as stray files), every name in the header's
// 100-byte name field, folders and regular files only (the extractor skips
// links and devices), entries sorted, owner, modes and times fixed and a
// gzip header without a time stamp, so that the same folder always gives the
// same bytes. Whatever the unit would get wrong is refused with the path and
// the reason before anything is written.
#include "tools/upgsim/upgsim.h"

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
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The longest entry name the unit's extractor reads from the name field
// alone (its 100th byte must be the NUL); a folder's name counts its "/".
const std::size_t k_max_name = 99;
// Entry sizes are read as unsigned 32-bit numbers by the unit.
const unsigned long long k_max_file_size = 0xFFFFFFFFULL;

struct PackOptions {
    std::string source;
    std::string output;
    bool allowNonAscii = false;
};
PackOptions s_options;

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
        if (!s_options.allowNonAscii)
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

void definePack(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("SRC_DIR", s_options.source, "folder to pack (its name is the top folder)")
        ->type_name("DIR")
        ->required()
        ->check(CLI::ExistingDirectory.description(""));
    sub.add_option("OUT", s_options.output, "the .tgz to write")
        ->type_name("FILE")
        ->required()
        ->check(upgsim::nonEmpty());
    sub.add_flag("--allow-non-ascii", s_options.allowNonAscii,
                 "pack names with characters beyond ASCII");
    upgsim::addJsonFlag(sub);
    sub.footer(std::string("Names in the archive start with SRC_DIR's own name (pack maps/FRA\n"
                           "gives FRA/, FRA/ROADS.DAT, ...). Refused: names over 99 characters,\n"
                           "links, devices, FIFOs, files of 4 GiB or more, non-ASCII names.\n") +
               sub.get_footer());
}

int runPack(const upgsim::GlobalOptions &, CLI::App &) {
    std::string source = s_options.source;
    while (source.size() > 1 && source.back() == '/')
        source.pop_back();
    const std::size_t slash = source.find_last_of('/');
    std::string top = slash == std::string::npos ? source : source.substr(slash + 1);
    if (top.empty() || top == "." || top == "..") {
        char resolved[4096];
        if (::realpath(source.c_str(), resolved) == nullptr)
            return upgsim::failure("pack: " + source + ": " + std::strerror(errno));
        const std::string full = resolved;
        top = full.substr(full.find_last_of('/') + 1);
        if (top.empty())
            return upgsim::usageError("pack: SRC_DIR must not be the root folder");
    }
    const std::string unusable = upgsim::creatableFolder(
        s_options.output.find('/') == std::string::npos
            ? "."
            : s_options.output.substr(0, s_options.output.find_last_of('/') + 1));
    if (!unusable.empty())
        return upgsim::failure("pack: " + unusable);

    std::vector<Entry> entries;
    Entry root;
    root.name = top + "/";
    root.hostPath = source;
    root.folder = true;
    if (root.name.size() > k_max_name)
        return upgsim::failure("pack: " + root.name + ": a name over " +
                               std::to_string(k_max_name) + " characters");
    entries.push_back(root);
    std::string problem = collect(source, root.name, entries);
    if (!problem.empty())
        return upgsim::failure("pack: " + problem);
    // The archive must not hold itself.
    struct stat out;
    if (::stat(s_options.output.c_str(), &out) == 0)
        for (const Entry &e : entries) {
            struct stat st;
            if (::stat(e.hostPath.c_str(), &st) == 0 && st.st_dev == out.st_dev &&
                st.st_ino == out.st_ino)
                return upgsim::failure("pack: " + s_options.output + " lies inside " + source);
        }

    // Written beside OUT and renamed over it once complete.
    const std::string temporary = s_options.output + ".part";
    problem = writeArchive(entries, temporary);
    if (problem.empty() && ::rename(temporary.c_str(), s_options.output.c_str()) != 0)
        problem =
            "cannot rename " + temporary + " to " + s_options.output + ": " + std::strerror(errno);
    if (!problem.empty()) {
        ::unlink(temporary.c_str());
        return upgsim::failure("pack: " + problem);
    }
    unsigned long files = 0, folders = 0;
    unsigned long long bytes = 0;
    for (const Entry &e : entries) {
        if (e.folder) {
            ++folders;
        } else {
            ++files;
            bytes += e.size;
        }
    }
    if (upgsim::jsonOutput())
        upgsim::printJson({{"archive", upgsim::jsonText(s_options.output)},
                           {"entries", files + folders},
                           {"files", files},
                           {"folders", folders},
                           {"bytes", bytes}});
    else
        std::printf("packed %s: %lu files, %lu folders, %llu bytes\n", s_options.output.c_str(),
                    files, folders, bytes);
    return upgsim::EXIT_OK;
}

const upgsim::Registrar k_pack_command({
    "pack",
    "write a .tgz the unit's extractor reads exactly",
    definePack,
    runPack,
});

} // namespace
