// How large a medium the checker analyses: the sizes that make the module's
// analysis take time growing with their square, counted cheaply before it
// runs, and the MEDIUM_TOO_LARGE findings for those beyond their limit.
#include "tools/mediacheck/mediacheck.h"

#include "tools/mediacheck/findings.h"
#include "tools/mediacheck/treewalk.h"

#include "platform/hostsim/hostsim.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace mediacheck {

namespace {

const char k_not_analysed[] = "; the medium is not analysed further";

// Lines of the host file `path` as a reader that takes at most `maxChars`
// characters at once sees them (a line feed ends a line, and so does a read
// of `maxChars`); the reading stops within 64 KiB of the line past
// `stopAfter`, so the count is exact up to there and only says "more"
// beyond. -1 when the file does not open or is not a regular file (it is
// opened without blocking: a FIFO would hold the check).
long countLines(const std::string &path, int maxChars, long stopAfter) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return -1;
    }
    std::vector<char> buffer(65536);
    long lines = 0;
    int length = 0; // characters of the line being read
    while (lines <= stopAfter) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            break; // a read error: the module's own reader reports it
        for (ssize_t i = 0; i < got; ++i)
            if (++length == maxChars || buffer[static_cast<size_t>(i)] == '\n') {
                ++lines;
                length = 0;
            }
    }
    close(fd);
    return length > 0 ? lines + 1 : lines;
}

// A descriptor's (or the current-version file's) line count against `limit`:
// true when within, else a finding for `rel` saying `what` it is.
bool linesWithin(const std::string &unitPath, const std::string &rel, int maxChars, int limit,
                 const std::string &what, const std::string &why, std::vector<Finding> &findings) {
    const long lines = countLines(hostsim::resolvePath(unitPath), maxChars, limit);
    if (lines <= limit)
        return true;
    add(findings, Code::MediumTooLarge, rel,
        "more than " + std::to_string(limit) + " lines (a line longer than " +
            std::to_string(maxChars) + " characters counts once per " + std::to_string(maxChars) +
            "), the most upgsim analyses in " + what + ": " + why + k_not_analysed);
    return false;
}

const char k_lists_why[] = "the module copies its list of lines and records whole every ten "
                           "lines, so its analysis slows with the square of their number";

// The unit path `path` relative to the medium ("/DVD/MAPS/x" -> "MAPS/x").
std::string onMedium(const std::string &path) {
    return path.compare(0, 5, "/DVD/") == 0 ? path.substr(5) : path;
}

} // namespace

bool mainDescriptorWithinLimits(const std::string &descriptor, const MediumLimits &limits,
                                std::vector<Finding> &findings) {
    return linesWithin("/DVD/" + descriptor, descriptor, UPG_DESCRI_LINE_MAX,
                       limits.mainDescriptorLines, "a main descriptor", k_lists_why, findings);
}

bool countriesWithinLimits(const std::string &currVersFile, const MediumLimits &limits,
                           std::vector<Finding> &findings) {
    bool within = true;
    // The folders the module takes for countries: every folder under MAPPE/
    // (links followed, as its stat does).
    const std::string mappe = hostsim::resolvePath("/DVD/MAPPE");
    std::vector<std::string> folders;
    bool tooMany = false;
    if (DIR *dir = opendir(mappe.c_str())) {
        while (const struct dirent *e = readdir(dir)) {
            const std::string name = e->d_name;
            if (name == "." || name == "..")
                continue;
            bool folder = e->d_type == DT_DIR;
            if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
                struct stat st;
                folder = fstatat(dirfd(dir), e->d_name, &st, 0) == 0 && S_ISDIR(st.st_mode);
            }
            if (!folder)
                continue;
            if (static_cast<int>(folders.size()) == limits.countryFolders) {
                tooMany = true;
                break;
            }
            folders.push_back(name);
        }
        closedir(dir);
    }
    if (tooMany) {
        add(findings, Code::MediumTooLarge, "MAPPE",
            "more than " + std::to_string(limits.countryFolders) +
                " country folders, the most upgsim analyses: the module copies its "
                "country list whole every ten countries and reads the current-version file "
                "from its start for each one, so its analysis slows with the square of their "
                "number" +
                k_not_analysed);
        return false;
    }
    std::sort(folders.begin(), folders.end());
    // The checker also reads a descriptor spelled in other case (to report
    // it): that one counts too.
    FolderNames names(hostsim::resolvePath("/DVD"));
    for (const std::string &folder : folders) {
        std::string rel = "MAPPE/" + folder + "/DESCRI.DAT";
        std::string actual;
        if (access(hostsim::resolvePath("/DVD/" + rel).c_str(), F_OK) != 0 &&
            names.find(rel, actual) == Spelling::CaseOnly)
            rel = actual;
        within = linesWithin("/DVD/" + rel, rel, UPG_DESCRI_LINE_MAX, limits.countryDescriptorLines,
                             "a country's descriptor", k_lists_why, findings) &&
                 within;
    }
    if (!currVersFile.empty())
        within = linesWithin(currVersFile, onMedium(currVersFile), UPG_CURR_VERS_LINE_MAX,
                             limits.currentVersionLines, "the current-version file",
                             "the module reads it from its start for each country, so its "
                             "analysis slows with the number of its lines times the countries'",
                             findings) &&
                 within;
    return within;
}

std::string currentVersionFile(const std::string &descriptor) {
    CKWString media("/DVD/");
    CKWString product("/SDH/");
    C_MAP_UPG_CARTOTREE tree(0, media, product);
    tree.GetUpgradeType(descriptor.c_str(), static_cast<int>(descriptor.size()), media);
    return tree.GetMapPlgin_DVD_CurrVersNavi().GetBuffer();
}

} // namespace mediacheck
