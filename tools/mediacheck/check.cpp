// The whole medium check: descriptors and the files they name, the countries
// offered at each SD block size, every archive, the POI delivery and the
// room the offered countries take on the card.
#include "tools/mediacheck/mediacheck.h"

#include "platform/hostsim/hostsim.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sys/statvfs.h>

namespace fs = std::filesystem;

namespace mediacheck {

int CheckReport::errors() const {
    return static_cast<int>(std::count_if(findings.begin(), findings.end(), [](const Finding &f) {
        return f.severity == Severity::Error;
    }));
}

int CheckReport::warnings() const {
    return static_cast<int>(findings.size()) - errors();
}

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return s;
}

// A relative path without "." or doubled "/" (as the medium's scan gives it).
std::string normaliseRel(const std::string &path) {
    std::string out;
    for (size_t i = 0; i <= path.size();) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        const std::string comp = path.substr(i, j - i);
        if (!comp.empty() && comp != ".")
            out += (out.empty() ? "" : "/") + comp;
        i = j + 1;
    }
    return out;
}

bool endsWithNoCase(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && lower(s.substr(s.size() - tail.size())) == lower(tail);
}

void add(std::vector<Finding> &out, Severity s, const char *code, const std::string &path,
         const std::string &message) {
    out.push_back(Finding{s, code, path, message});
}

// Where a relative path stands on the medium: spelled exactly, present only
// with other upper/lower case (`actual` tells how), or missing.
enum class Spelling { Exact, CaseOnly, Missing };

Spelling findPath(const std::string &root, const std::string &rel, std::string &actual) {
    std::string dir = root;
    actual.clear();
    bool caseOnly = false;
    size_t i = 0;
    while (i <= rel.size()) {
        size_t j = rel.find('/', i);
        if (j == std::string::npos)
            j = rel.size();
        const std::string comp = rel.substr(i, j - i);
        i = j + 1;
        if (comp.empty() || comp == ".")
            continue;
        std::error_code ec;
        std::string found;
        for (const auto &e : fs::directory_iterator(dir, ec)) {
            const std::string name = e.path().filename().string();
            if (name == comp) {
                found = name;
                break;
            }
            if (found.empty() && lower(name) == lower(comp))
                found = name;
        }
        if (found.empty())
            return Spelling::Missing;
        caseOnly = caseOnly || found != comp;
        actual += (actual.empty() ? "" : "/") + found;
        dir += "/" + found;
    }
    return caseOnly ? Spelling::CaseOnly : Spelling::Exact;
}

struct DescriRecord {
    std::string key;
    std::string path; // backslashes turned into slashes, as the module does
};

// Reads a descriptor with the carto tree's own reader; false when it does
// not open. Lines with fewer than five fields are reported.
bool readDescriptor(C_MAP_UPG_CARTOTREE &tree, const std::string &unitPath,
                    const std::string &relPath, std::vector<DescriRecord> &records,
                    std::vector<Finding> &findings) {
    CKWArray<CKWString> lines(10, 10);
    CKWArray<t_upg_descri_dat_elt> elts(10, 10);
    if (tree.LoadDescriDataInMemory(unitPath.c_str(), lines) != 0)
        return false;
    for (int i = 0; i < lines.GetSize(); ++i) {
        CKWString line;
        if (lines.GetCopy(i, line) != 1)
            continue;
        std::string text = line.GetBuffer();
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
            text.pop_back();
        if (!text.empty() && std::count(text.begin(), text.end(), ',') < 4)
            add(findings, Severity::Warning, "DESCRI_SHORT_LINE", relPath,
                "line " + std::to_string(i + 1) + " has fewer than five fields: the module " +
                    "fills the missing ones from the line before");
    }
    if (tree.ConvertDataIntoDescriDatEltList(lines, elts) != 0) {
        add(findings, Severity::Error, "DESCRI_UNPARSABLE", relPath,
            "the module cannot parse it and stops reading it");
        return true;
    }
    for (int i = 0; i < elts.GetSize(); ++i) {
        t_upg_descri_dat_elt e;
        if (elts.GetCopy(i, e) != 1)
            continue;
        records.push_back(DescriRecord{e.m_key.GetBuffer(), e.m_file_path.GetBuffer()});
    }
    return true;
}

// Every file a descriptor names must exist with that exact spelling.
void checkNamedFiles(const std::string &mediaDir, const std::string &relPath,
                     const std::vector<DescriRecord> &records, std::vector<Finding> &findings) {
    std::set<std::string> seen;
    for (const DescriRecord &r : records) {
        if (r.path.empty() || !seen.insert(r.path).second)
            continue;
        std::string actual;
        Spelling s = findPath(mediaDir, r.path, actual);
        if (s == Spelling::Missing)
            add(findings, Severity::Error, "DESCRI_PATH_MISSING", relPath,
                "names '" + r.path + "' (key " + r.key + "), which is not on the medium");
        else if (s == Spelling::CaseOnly)
            add(findings, Severity::Error, "DESCRI_PATH_CASE", relPath,
                "names '" + r.path + "' (key " + r.key + "), but the medium holds '" + actual +
                    "': the unit's file names are case-sensitive");
    }
}

// The version-file names the module looks for, and a record naming one of
// them in other upper/lower case.
void checkVersionNames(const std::string &relPath, const std::vector<DescriRecord> &records,
                       std::vector<Finding> &findings) {
    for (const DescriRecord &r : records) {
        const std::string last = r.path.substr(r.path.find_last_of('/') + 1);
        for (const char *name : {"DVD_VER.NAV", "CD_VER.NAV", "CURR_VERS_NAVI.TXT"}) {
            const std::string n = name;
            if (last.size() >= n.size() && lower(last.substr(0, n.size())) == lower(n) &&
                last.compare(0, n.size(), n) != 0)
                add(findings, Severity::Error, "VERSION_FILE_CASE", relPath,
                    "names '" + r.path + "': the module looks for '" + n +
                        "' in upper case and does not see it");
        }
    }
}

// Regular files of a tree (bytes used on a card).
uint64_t bytesUnder(const std::string &dir) {
    uint64_t total = 0;
    std::error_code ec;
    if (dir.empty() || !fs::exists(dir, ec))
        return 0;
    for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it);
         it.increment(ec))
        if (it->is_regular_file(ec))
            total += it->file_size(ec);
    return total;
}

// The POI delivery: its ".inf" beside it, and entries only under
// tmp_poi/<CID>/ for countries the unit may know.
void checkPoi(const std::string &mediaDir, const std::string &rel, const ArchiveSummary &summary,
              const std::set<std::string> &known, std::vector<Finding> &findings) {
    const std::string inf = rel + ".inf";
    std::string actual;
    if (findPath(mediaDir, inf, actual) != Spelling::Exact) {
        add(findings, Severity::Error, "POI_INF_MISSING", rel,
            "no '" + inf + "' beside it: the unit's POI installation stops at once");
    } else {
        std::ifstream in(mediaDir + "/" + inf);
        std::string line;
        int lines = 0, bad = 0;
        bool version = false;
        while (std::getline(in, line)) {
            while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
                line.pop_back();
            if (line.empty())
                continue;
            ++lines;
            size_t colon = line.find(':');
            if (colon == std::string::npos || colon == 0)
                ++bad;
            else if (line.compare(0, colon, "VERSION") == 0)
                version = true;
        }
        if (lines == 0)
            add(findings, Severity::Error, "POI_INF_BAD", inf,
                "empty: the card gets an empty POI version file");
        else if (bad > 0 || !version)
            add(findings, Severity::Warning, "POI_INF_BAD", inf,
                bad > 0 ? std::to_string(bad) + " line(s) are not KEY:VALUE"
                        : std::string("no VERSION line"));
    }
    if (summary.entries.empty())
        return;
    std::set<std::string> unknown;
    for (const std::string &entry : summary.entries) {
        std::string p = entry;
        while (p.compare(0, 2, "./") == 0)
            p = p.substr(2);
        if (p == "tmp_poi" || p == "tmp_poi/")
            continue;
        size_t slash = p.find('/', 8);
        if (p.compare(0, 8, "tmp_poi/") != 0 || slash == std::string::npos) {
            const bool isDirOfCid = p.compare(0, 8, "tmp_poi/") == 0;
            if (!isDirOfCid)
                add(findings, Severity::Error, "POI_OUTSIDE_TMP", rel,
                    "entry '" + entry +
                        "' is not under tmp_poi/<CID>/: the unit extracts it "
                        "into the card's MAPPE/ folder, where it stays");
            else if (known.count(p.substr(8)) == 0 && p.size() > 8)
                unknown.insert(p.substr(8));
            continue;
        }
        const std::string cid = p.substr(8, slash - 8);
        if (slash + 1 == p.size() && known.count(cid) == 0)
            unknown.insert(cid);
        else if (slash + 1 < p.size() && known.count(cid) == 0)
            unknown.insert(cid);
    }
    for (const std::string &cid : unknown)
        add(findings, Severity::Warning, "POI_UNKNOWN_COUNTRY", rel,
            "tmp_poi/" + cid +
                "/: no such country on the medium or the card; the unit merges it "
                "only where the card holds that country's map");
}

} // namespace

int runMediaCheck(const CheckOptions &options, CheckReport &report) {
    report = CheckReport();
    report.medium = options.mediaDir;
    report.blockSizes = options.blockSizes;
    std::sort(report.blockSizes.begin(), report.blockSizes.end());
    report.blockSizes.erase(std::unique(report.blockSizes.begin(), report.blockSizes.end()),
                            report.blockSizes.end());
    std::vector<Finding> &findings = report.findings;
    std::error_code ec;
    if (options.mediaDir.empty() || !fs::is_directory(options.mediaDir, ec)) {
        add(findings, Severity::Error, "USAGE", options.mediaDir, "the medium is not a folder");
        return 2;
    }
    if (report.blockSizes.empty() || report.blockSizes.front() <= 0) {
        add(findings, Severity::Error, "USAGE", "", "block sizes must be positive numbers");
        return 2;
    }
    if (!options.sdDir.empty() && !fs::is_directory(options.sdDir, ec)) {
        add(findings, Severity::Error, "USAGE", options.sdDir, "the SD card is not a folder");
        return 2;
    }
    // The scratch card (emptied after each archive) and the empty card:
    // removed on every exit, also when a signal ends the run.
    ScratchFolder scratchFolder(options.scratchParent, "upgsim-check");
    const std::string &scratch = scratchFolder.path();
    if (scratch.empty()) {
        add(findings, Severity::Error, "USAGE", options.scratchParent,
            "no scratch folder can be made: set TMPDIR to a writable folder with room for the "
            "largest archive's files");
        return 2;
    }
    for (const std::string *dir : {&options.mediaDir, &options.sdDir}) {
        if (dir->empty())
            continue;
        const std::string inside = fs::weakly_canonical(*dir, ec).generic_string() + "/";
        if (fs::weakly_canonical(scratch, ec).generic_string().compare(0, inside.size(), inside) ==
            0) {
            add(findings, Severity::Error, "USAGE", *dir,
                "the scratch folder would lie inside it (" + scratch +
                    "): set TMPDIR to a folder outside the medium and the card");
            return 2;
        }
    }
    // The capacity plays the card for the space check only: the scratch
    // extraction is never limited by it.
    hostsim::setDeviceCapacity("/SDH", -1);
    const std::string emptyCard = scratch + "/card";
    const std::string extractDir = scratch + "/extract";
    fs::create_directories(emptyCard, ec);
    fs::create_directories(extractDir, ec);
    const std::string &media = options.mediaDir;
    hostsim::mountDevice("/DVD", media);

    // Descriptors: the main one and each country folder's.
    CKWString mediaDrive("/DVD/");
    CKWString productDrive("/SDH/");
    C_MAP_UPG_CARTOTREE reader(0, mediaDrive, productDrive);
    std::vector<DescriRecord> mainRecords;
    if (!readDescriptor(reader, "/DVD/" + options.descriptor, options.descriptor, mainRecords,
                        findings))
        add(findings, Severity::Error, "DESCRI_MISSING", options.descriptor,
            "the main descriptor does not open or cannot be read: the unit finds no "
            "upgrade");
    checkNamedFiles(media, options.descriptor, mainRecords, findings);
    checkVersionNames(options.descriptor, mainRecords, findings);

    std::map<std::string, std::string> archiveOfCountry; // folder -> archive
    std::set<std::string> poiArchives;
    std::set<std::string> countryDirs; // folders under MAPPE/: countries the unit may know
    std::set<std::string> named;       // archives a descriptor names, whatever their extension
    std::set<std::string> descriCase;  // folders whose descriptor is spelled otherwise
    for (const DescriRecord &r : mainRecords)
        if (r.key == "POI_DOWNLOAD" ||
            (r.key.compare(0, 3, "POI") == 0 && endsWithNoCase(r.path, ".tgz"))) {
            poiArchives.insert(normaliseRel(r.path));
            named.insert(r.path);
        }
    if (fs::is_directory(media + "/MAPPE", ec)) {
        std::vector<std::string> dirs;
        for (const auto &e : fs::directory_iterator(media + "/MAPPE", ec))
            if (e.is_directory(ec))
                dirs.push_back(e.path().filename().string());
        std::sort(dirs.begin(), dirs.end());
        for (const std::string &dir : dirs) {
            std::string rel = "MAPPE/" + dir + "/DESCRI.DAT";
            std::vector<DescriRecord> records;
            countryDirs.insert(dir);
            if (!fs::exists(media + "/" + rel, ec)) {
                // The unit looks for that exact name only.
                std::string actual;
                if (findPath(media, rel, actual) != Spelling::CaseOnly)
                    continue;
                add(findings, Severity::Error, "COUNTRY_DESCRI_CASE", "MAPPE/" + dir,
                    "holds '" + actual + "', but the unit looks for '" + rel +
                        "' (its file names are case-sensitive): " + dir +
                        " is never offered; rename the file");
                descriCase.insert(dir);
                rel = actual;
            }
            if (!readDescriptor(reader, "/DVD/" + rel, rel, records, findings))
                continue;
            checkNamedFiles(media, rel, records, findings);
            for (const DescriRecord &r : records) {
                if (r.key == "MAP_ARCHIVE")
                    named.insert(r.path);
                if ((r.key == "MAP_ARCHIVE" || endsWithNoCase(r.path, ".tgz")) &&
                    (archiveOfCountry.count(dir) == 0 || r.key == "MAP_ARCHIVE"))
                    archiveOfCountry[dir] = normaliseRel(r.path);
            }
        }
    }

    // Countries: the module's own decisions, once per block size.
    std::map<std::string, CountryReport> countries;
    std::set<std::string> known = countryDirs;
    const std::string card = options.sdDir.empty() ? emptyCard : options.sdDir;
    bool first = true;
    for (long bs : report.blockSizes) {
        hostsim::mountDevice("/SDH", card, bs);
        OfferRun run = decideCountries(options.descriptor);
        hostsim::unmountDevice("/SDH");
        if (first) {
            report.upgradeType = run.upgradeType;
            report.typeReason = run.typeReason;
            first = false;
        }
        for (const CountryDecision &d : run.countries) {
            CountryReport &c = countries[d.dir];
            c.dir = d.dir;
            if (c.cid.empty() || c.cid == c.dir)
                c.cid = d.cid;
            if (c.name.empty())
                c.name = d.name;
            c.offered[bs] = d.decision == Decision::Offered;
            c.listIndex[bs] = d.listIndex;
            if (d.decision != Decision::Offered)
                c.reasons[bs] = d.reason;
            known.insert(d.cid);
            known.insert(d.dir);
        }
    }
    if (report.upgradeType == -1)
        add(findings, Severity::Error, "UPGRADE_NONE", options.descriptor,
            "the unit finds no upgrade on this medium: " + report.typeReason);
    for (auto &entry : countries) {
        CountryReport &c = entry.second;
        const std::string where = "MAPPE/" + c.dir;
        auto it = archiveOfCountry.find(c.dir);
        if (it != archiveOfCountry.end())
            c.archive = it->second;
        std::vector<long> left, offered;
        for (long bs : report.blockSizes)
            (c.offered[bs] ? offered : left).push_back(bs);
        if (left.empty())
            continue;
        // A country the card's newer data keeps out is no fault of the medium.
        std::map<std::string, std::vector<long>> byReason;
        for (long bs : left)
            if (c.reasons[bs].find("the card holds a newer") != 0)
                byReason[c.reasons[bs]].push_back(bs);
        for (const auto &r : byReason) {
            std::string sizes;
            for (long bs : r.second)
                sizes += (sizes.empty() ? "" : ", ") + std::to_string(bs);
            if (r.first.compare(0, 15, "no DESCRI.DAT i") == 0 && descriCase.count(c.dir) != 0)
                continue; // told above, with the name on disk
            if (r.first.compare(0, 15, "no DESCRI.DAT i") == 0)
                add(findings, Severity::Warning, "COUNTRY_NO_DESCRI", where,
                    "folder without DESCRI.DAT: the unit does not take it for a country");
            else if (!offered.empty())
                add(findings, Severity::Error, "COUNTRY_BLOCK_SIZE", where,
                    c.cid + " is left out on cards of " + sizes + "-byte blocks: " + r.first);
            else
                add(findings, Severity::Error, "COUNTRY_REFUSED", where,
                    c.cid + " is never offered (" + sizes + "-byte blocks): " + r.first);
        }
    }

    // What the driver sees of the list: nothing at all, or more countries
    // than the script's table holds.
    if (report.upgradeType == 1) {
        bool any = false;
        std::map<std::string, std::vector<long>> past; // countries past the table -> sizes
        for (long bs : report.blockSizes) {
            std::vector<std::pair<int, std::string>> beyond;
            int count = 0;
            for (auto &entry : countries) {
                const CountryReport &c = entry.second;
                auto at = c.listIndex.find(bs);
                if (at == c.listIndex.end() || at->second < 0)
                    continue;
                any = true;
                ++count;
                if (at->second >= options.scriptTableSize)
                    beyond.push_back({at->second, c.cid});
            }
            if (beyond.empty())
                continue;
            std::sort(beyond.begin(), beyond.end());
            std::string names;
            for (const auto &b : beyond)
                names += (names.empty() ? "" : " ") + b.second;
            past[std::to_string(count) +
                 " countries are offered; the script's country table "
                 "holds " +
                 std::to_string(options.scriptTableSize) + ": the module lists " + names +
                 " past its end, and the script never installs them"]
                .push_back(bs);
        }
        for (const auto &p : past) {
            std::string sizes;
            for (long bs : p.second)
                sizes += (sizes.empty() ? "" : ", ") + std::to_string(bs);
            add(findings, Severity::Error, "COUNTRY_TABLE_FULL", "MAPPE",
                "on cards of " + sizes + "-byte blocks " + p.first + "; put them on a second disc");
        }
        if (!any)
            add(findings, Severity::Error, "NOTHING_OFFERED", "MAPPE",
                std::string("no country is offered at any block size") +
                    (options.sdDir.empty() ? " (empty card)" : " on this card") +
                    ": the disc installs nothing");
    }

    // Archives: every .tgz of the medium and every archive a descriptor
    // names, whatever its extension. Folders of an interrupted check are no
    // part of the medium.
    std::set<std::string> found;
    for (auto it = fs::recursive_directory_iterator(media, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec) &&
            fs::exists(it->path() / k_scratch_marker, ec)) {
            add(findings, Severity::Warning, "SCRATCH_LEFT_OVER",
                fs::relative(it->path(), media, ec).generic_string(),
                "a scratch folder left by an interrupted check, not read as part of the medium: "
                "remove it before the disc is burned");
            it.disable_recursion_pending();
            continue;
        }
        if (it->is_regular_file(ec) && endsWithNoCase(it->path().filename().string(), ".tgz"))
            found.insert(fs::relative(it->path(), media, ec).generic_string());
    }
    for (const std::string &n : named) {
        std::string actual;
        if (findPath(media, n, actual) == Spelling::Exact &&
            fs::is_regular_file(media + "/" + n, ec))
            found.insert(normaliseRel(n));
    }
    std::vector<std::string> archives(found.begin(), found.end());
    uint64_t total = 0;
    for (const std::string &a : archives)
        total += fs::file_size(media + "/" + a, ec);
    report.archiveBytes = total;
    std::map<std::string, ArchiveSummary> summaries;
    uint64_t done = 0;
    for (const std::string &a : archives) {
        ArchiveSummary &s = summaries[a];
        std::function<void(uint64_t)> step;
        if (options.progress)
            step = [&](uint64_t read) { options.progress(a, done + read, total); };
        checkArchive(a, media + "/" + a, extractDir, report.blockSizes, findings, s, step);
        done += fs::file_size(media + "/" + a, ec);
        if (options.progress)
            options.progress(a, done, total);
        ++report.archivesRead;
    }

    // The POI delivery.
    if (!options.sdDir.empty() && fs::is_directory(options.sdDir + "/MAPPE", ec))
        for (const auto &e : fs::directory_iterator(options.sdDir + "/MAPPE", ec))
            if (e.is_directory(ec))
                known.insert(e.path().filename().string());
    for (const std::string &p : poiArchives) {
        auto s = summaries.find(p);
        checkPoi(media, p, s != summaries.end() ? s->second : ArchiveSummary(), known, findings);
    }

    // Space: what the offered countries' archives take against the card's room.
    const uint64_t used = options.sdDir.empty() ? 0 : bytesUnder(options.sdDir);
    bool haveFree = false;
    uint64_t freeBytes = 0;
    if (options.sdCapacity >= 0) {
        haveFree = true;
        const uint64_t cap = static_cast<uint64_t>(options.sdCapacity);
        freeBytes = cap > used ? cap - used : 0;
    } else if (!options.sdDir.empty()) {
        struct statvfs st;
        if (statvfs(options.sdDir.c_str(), &st) == 0) {
            haveFree = true;
            freeBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
        }
    }
    for (auto &entry : countries) {
        CountryReport &c = entry.second;
        auto s = summaries.find(c.archive);
        if (s != summaries.end())
            c.archiveBytes = s->second.fileBytes;
    }
    if (haveFree) {
        for (long bs : report.blockSizes) {
            uint64_t need = 0;
            for (auto &entry : countries) {
                CountryReport &c = entry.second;
                auto s = summaries.find(c.archive);
                if (c.offered[bs] && s != summaries.end())
                    need += s->second.onCard[bs];
            }
            if (need > freeBytes)
                add(findings, Severity::Error, "SPACE_SHORT", "(SD card)",
                    "on a card of " + std::to_string(bs) +
                        "-byte blocks the offered countries' archives take " +
                        std::to_string(need) + " bytes, the card has " + std::to_string(freeBytes) +
                        " free: the extraction fails part-way");
        }
    }

    for (auto &entry : countries)
        report.countries.push_back(entry.second);
    std::stable_sort(findings.begin(), findings.end(), [](const Finding &a, const Finding &b) {
        if (a.path != b.path)
            return a.path < b.path;
        if (a.severity != b.severity)
            return a.severity == Severity::Error;
        if (a.code != b.code)
            return a.code < b.code;
        return a.message < b.message;
    });
    hostsim::unmountDevice("/DVD");
    return report.errors() > 0 ? 1 : 0;
}

} // namespace mediacheck
