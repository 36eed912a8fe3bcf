// The whole medium check: descriptors and the files they name, the countries
// offered at each SD block size, every archive, the POI delivery and the
// room the offered countries take on the card.
#include "tools/mediacheck/mediacheck.h"

#include "tools/mediacheck/findings.h"
#include "tools/mediacheck/lint.h"
#include "tools/mediacheck/outcome.h"

#include "platform/hostsim/hostsim.h"
#include "tools/hostkit/harness.h"
#include "tools/hostkit/scratch.h"
#include "tools/mediacheck/skeleton.h"
#include "tools/mediacheck/treewalk.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
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

bool endsWithNoCase(const std::string &s, const std::string &tail) {
    return s.size() >= tail.size() && lower(s.substr(s.size() - tail.size())) == lower(tail);
}

// Whether `path` is a regular file (after links, as an open would go).
bool isRegularFile(const std::string &path) {
    std::error_code ec;
    return fs::is_regular_file(path, ec);
}

// What `path` is when it is no regular file: "a folder", "a FIFO", ...
std::string fileKind(const std::string &path) {
    std::error_code ec;
    const fs::file_status st = fs::status(path, ec);
    switch (st.type()) {
    case fs::file_type::directory:
        return "a folder";
    case fs::file_type::fifo:
        return "a FIFO";
    case fs::file_type::block:
    case fs::file_type::character:
        return "a device node";
    case fs::file_type::socket:
        return "a socket";
    case fs::file_type::not_found:
        return "a link to nothing";
    default:
        return "no regular file";
    }
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
        if (!text.empty() && std::count(text.begin(), text.end(), ',') < 4) {
            add(findings, Code::DescriShortLine, relPath,
                "the line has fewer than five fields: the module fills the missing ones from "
                "the line before");
            findings.back().line = i + 1; // the module's line: a longer one counts per 249
        }
    }
    if (tree.ConvertDataIntoDescriDatEltList(lines, elts) != 0) {
        // Only a failure of the module's own list (no memory) gets here:
        // its parse takes any line.
        add(findings, Code::DescriMissing, relPath,
            "the module cannot keep its lines and stops reading it");
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
void checkNamedFiles(FolderNames &medium, const std::string &relPath,
                     const std::vector<DescriRecord> &records, std::vector<Finding> &findings) {
    std::set<std::string> seen;
    for (const DescriRecord &r : records) {
        if (r.path.empty() || !seen.insert(r.path).second)
            continue;
        std::string actual;
        Spelling s = medium.find(r.path, actual);
        if (s == Spelling::Missing)
            add(findings, Code::DescriPathMissing, relPath,
                "names '" + r.path + "' (key " + r.key + "), which is not on the medium");
        else if (s == Spelling::CaseOnly)
            add(findings, Code::DescriPathCase, relPath,
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
                add(findings, Code::VersionFileCase, relPath,
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
    walkTree(dir, [&](const TreeItem &item) {
        std::error_code err;
        if (item.entry.is_regular_file(err)) {
            const uint64_t size = item.entry.file_size(err);
            if (!err) // a file gone meanwhile takes no room
                total += size;
        }
        return Walk::Continue;
    });
    return total;
}

// The POI delivery: its ".inf" beside it, and entries only under
// tmp_poi/<CID>/ for countries the unit may know.
void checkPoi(FolderNames &medium, const std::string &rel, const ArchiveSummary &summary,
              const std::set<std::string> &known, std::vector<Finding> &findings) {
    const std::string inf = rel + ".inf";
    std::string actual;
    if (medium.find(inf, actual) != Spelling::Exact) {
        add(findings, Code::PoiInfMissing, rel,
            "no '" + inf + "' beside it: the unit's POI installation stops at once");
    } else if (!isRegularFile(medium.root() + "/" + inf)) {
        add(findings, Code::PoiInfBad, Severity::Error, inf,
            "not a file (" + fileKind(medium.root() + "/" + inf) +
                "): the unit's POI installation cannot read it");
    } else {
        std::ifstream in(medium.root() + "/" + inf);
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
            add(findings, Code::PoiInfBad, Severity::Error, inf,
                "empty: the card gets an empty POI version file");
        else if (bad > 0 || !version)
            add(findings, Code::PoiInfBad, Severity::Warning, inf,
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
                add(findings, Code::PoiOutsideTmp, rel,
                    entrySubject(entry) + "not under tmp_poi/<CID>/: the unit extracts it "
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
        add(findings, Code::PoiUnknownCountry, rel,
            Subject{"country", cid, "tmp_poi/" + cid + "/: "} +
                "no such country on the medium or the card; the unit merges it "
                "only where the card holds that country's map");
}

// Block sizes as a list: "4096, 8192".
std::string joinSizes(const std::vector<long> &sizes) {
    std::string out;
    for (long bs : sizes)
        out += (out.empty() ? "" : ", ") + std::to_string(bs);
    return out;
}

// What the phases of one check share: the options, the report being filled,
// the scratch folders, and what each phase leaves for the next.
struct CheckContext {
    CheckContext(const CheckOptions &o, CheckReport &r)
        : options(o), report(r), findings(r.findings), names(o.mediaDir) {}
    const CheckOptions &options;
    CheckReport &report;
    std::vector<Finding> &findings;
    FolderNames names;         // the medium's folders, each listed once
    std::string emptyCard;     // the card played when none is given
    std::string extractDir;    // the scratch card the archives are extracted into
    std::string scratchParent; // the folder the scratch folder was made in
    // From the descriptors.
    std::map<std::string, std::string> archiveOfCountry; // folder -> archive
    std::set<std::string> poiArchives;
    std::set<std::string> countryDirs; // folders under MAPPE/: countries the unit may know
    std::set<std::string> named;       // archives a descriptor names, whatever their extension
    std::set<std::string> descriCase;  // folders whose descriptor is spelled otherwise
    // From the module's decisions: the countries by folder, and every CID
    // and folder the unit may know.
    std::map<std::string, CountryReport> countries;
    std::set<std::string> known;
    // From the archives: what each one holds, by relative path.
    std::map<std::string, ArchiveSummary> summaries;
};

// The options the check cannot run with: 2 with the finding that says why,
// else 0. `report.blockSizes` is already sorted and without repeats.
int checkOptions(const CheckOptions &options, CheckReport &report) {
    std::error_code ec;
    if (options.mediaDir.empty() || !fs::is_directory(options.mediaDir, ec)) {
        add(report.findings, Code::Usage, options.mediaDir, "the medium is not a folder");
        return 2;
    }
    if (report.blockSizes.empty() || report.blockSizes.front() <= 0) {
        add(report.findings, Code::Usage, "", "block sizes must be positive numbers");
        return 2;
    }
    if (!options.sdDir.empty() && !fs::is_directory(options.sdDir, ec)) {
        add(report.findings, Code::Usage, options.sdDir, "the SD card is not a folder");
        return 2;
    }
    return 0;
}

// The scratch folder `scratch` (empty: none could be made) must exist and
// lie outside the medium and the card: 2 with the finding that says why,
// else 0.
int checkScratch(const CheckOptions &options, const hostkit::Scratch &folder,
                 std::vector<Finding> &findings) {
    const std::string &scratch = folder.path();
    if (scratch.empty()) {
        add(findings, Code::Usage, folder.parent(),
            std::string("no scratch folder can be made there (") + std::strerror(folder.error()) +
                "): set TMPDIR to a writable folder with room for the largest archive's files");
        return 2;
    }
    std::error_code ec;
    for (const std::string *dir : {&options.mediaDir, &options.sdDir}) {
        if (dir->empty())
            continue;
        const std::string inside = fs::weakly_canonical(*dir, ec).generic_string() + "/";
        if (fs::weakly_canonical(scratch, ec).generic_string().compare(0, inside.size(), inside) ==
            0) {
            add(findings, Code::Usage, *dir,
                "the scratch folder would lie inside it (" + scratch +
                    "): set TMPDIR to a folder outside the medium and the card");
            return 2;
        }
    }
    return 0;
}

// The main descriptor: the files it names, the version files' spelling, and
// the POI archives it names.
void readMainDescriptor(CheckContext &ctx, C_MAP_UPG_CARTOTREE &reader) {
    const std::string &descriptor = ctx.options.descriptor;
    std::vector<DescriRecord> records;
    if (!readDescriptor(reader, "/DVD/" + descriptor, descriptor, records, ctx.findings))
        add(ctx.findings, Code::DescriMissing, descriptor,
            "the main descriptor does not open or cannot be read: the unit finds no "
            "upgrade");
    checkNamedFiles(ctx.names, descriptor, records, ctx.findings);
    checkVersionNames(descriptor, records, ctx.findings);
    for (const DescriRecord &r : records)
        if (r.key == "POI_DOWNLOAD" ||
            (r.key.compare(0, 3, "POI") == 0 && endsWithNoCase(r.path, ".tgz"))) {
            ctx.poiArchives.insert(normalisePath(r.path));
            ctx.named.insert(r.path);
        }
}

// The descriptor of the country folder MAPPE/`dir`: the files it names and
// the country's map archive.
void readCountryDescriptor(CheckContext &ctx, C_MAP_UPG_CARTOTREE &reader, const std::string &dir) {
    const std::string &media = ctx.options.mediaDir;
    std::error_code ec;
    std::string rel = "MAPPE/" + dir + "/DESCRI.DAT";
    ctx.countryDirs.insert(dir);
    if (!fs::exists(media + "/" + rel, ec)) {
        // The unit looks for that exact name only.
        std::string actual;
        if (ctx.names.find(rel, actual) != Spelling::CaseOnly)
            return;
        add(ctx.findings, Code::CountryDescriCase, "MAPPE/" + dir,
            "holds '" + actual + "', but the unit looks for '" + rel +
                "' (its file names are case-sensitive): " + dir +
                " is never offered; rename the file");
        ctx.descriCase.insert(dir);
        rel = actual;
    }
    std::vector<DescriRecord> records;
    if (!readDescriptor(reader, "/DVD/" + rel, rel, records, ctx.findings))
        return;
    checkNamedFiles(ctx.names, rel, records, ctx.findings);
    for (const DescriRecord &r : records) {
        if (r.key == "MAP_ARCHIVE")
            ctx.named.insert(r.path);
        if ((r.key == "MAP_ARCHIVE" || endsWithNoCase(r.path, ".tgz")) &&
            (ctx.archiveOfCountry.count(dir) == 0 || r.key == "MAP_ARCHIVE"))
            ctx.archiveOfCountry[dir] = normalisePath(r.path);
    }
}

// Descriptors: the main one and each country folder's (in name order).
void readDescriptors(CheckContext &ctx) {
    CKWString mediaDrive("/DVD/");
    CKWString productDrive("/SDH/");
    C_MAP_UPG_CARTOTREE reader(0, mediaDrive, productDrive);
    readMainDescriptor(ctx, reader);
    const std::string maps = ctx.options.mediaDir + "/MAPPE";
    std::error_code ec;
    if (!fs::is_directory(maps, ec))
        return;
    std::vector<std::string> dirs;
    for (const auto &e : fs::directory_iterator(maps, ec))
        if (e.is_directory(ec))
            dirs.push_back(e.path().filename().string());
    std::sort(dirs.begin(), dirs.end());
    for (const std::string &dir : dirs)
        readCountryDescriptor(ctx, reader, dir);
}

// Adds one play of the module's analysis, at block size `bs`, to the
// country reports.
void mergeDecisions(CheckContext &ctx, long bs, const OfferRun &run) {
    for (const CountryDecision &d : run.countries) {
        CountryReport &c = ctx.countries[d.dir];
        c.dir = d.dir;
        if (c.cid.empty() || c.cid == c.dir)
            c.cid = d.cid;
        if (c.name.empty())
            c.name = d.name;
        c.offered[bs] = d.decision == Decision::Offered;
        c.decisions[bs] = d.decision;
        c.listIndex[bs] = d.listIndex;
        if (d.decision != Decision::Offered)
            c.reasons[bs] = d.reason;
        ctx.known.insert(d.cid);
        ctx.known.insert(d.dir);
    }
}

// The module's own decisions, once per block size on the card (the one
// given, or the empty scratch card); the upgrade type from the first play.
void decideAtEachBlockSize(CheckContext &ctx) {
    ctx.known = ctx.countryDirs;
    const std::string card = ctx.options.sdDir.empty() ? ctx.emptyCard : ctx.options.sdDir;
    bool first = true;
    for (long bs : ctx.report.blockSizes) {
        OfferRun run;
        hostkit::onCard(card, bs, [&]() {
            run = decideCountries(ctx.options.descriptor);
            return 0;
        });
        if (first) {
            ctx.report.upgradeType = run.upgradeType;
            ctx.report.typeReason = run.typeReason;
            first = false;
        }
        mergeDecisions(ctx, bs, run);
    }
    if (ctx.report.upgradeType == -1)
        add(ctx.findings, Code::UpgradeNone, ctx.options.descriptor,
            "the unit finds no upgrade on this medium: " + ctx.report.typeReason);
}

// How the module decided about country `c` at block size `bs`; a play that
// did not see the folder counts as a refusal for the medium.
Decision decisionAt(const CountryReport &c, long bs) {
    auto it = c.decisions.find(bs);
    return it != c.decisions.end() ? it->second : Decision::MediumFault;
}

// The findings for a country left out at some block size, one per reason;
// a country the card's newer data keeps out is no fault of the medium.
void reportLeftOut(CheckContext &ctx, CountryReport &c) {
    std::vector<long> left, offered;
    for (long bs : ctx.report.blockSizes)
        (c.offered[bs] ? offered : left).push_back(bs);
    std::map<std::pair<std::string, Decision>, std::vector<long>> byReason;
    for (long bs : left) {
        const Decision d = decisionAt(c, bs);
        const std::string &reason = c.reasons[bs];
        if (d != Decision::CardNewer)
            byReason[{reason, d}].push_back(bs);
    }
    const std::string where = "MAPPE/" + c.dir;
    for (const auto &r : byReason) {
        const std::string &reason = r.first.first;
        const std::string sizes = joinSizes(r.second);
        if (r.first.second == Decision::NoDescriptor) {
            if (ctx.descriCase.count(c.dir) == 0) // else told with the name on disk
                add(ctx.findings, Code::CountryNoDescri, where,
                    "folder without DESCRI.DAT: the unit does not take it for a country");
        } else if (!offered.empty()) {
            add(ctx.findings, Code::CountryBlockSize, where,
                c.cid + " is left out on cards of " + sizes + "-byte blocks: " + reason);
        } else {
            add(ctx.findings, Code::CountryRefused, where,
                c.cid + " is never offered (" + sizes + "-byte blocks): " + reason);
        }
    }
}

// Each country's map archive, and the findings for those left out.
void reportCountries(CheckContext &ctx) {
    for (auto &entry : ctx.countries) {
        CountryReport &c = entry.second;
        auto it = ctx.archiveOfCountry.find(c.dir);
        if (it != ctx.archiveOfCountry.end())
            c.archive = it->second;
        reportLeftOut(ctx, c);
    }
}

// At block size `bs`: how many countries the module lists (`count`) and
// those it lists past the script's table, in list order. `any` is set when
// it lists one.
std::vector<std::string> pastTable(const CheckContext &ctx, long bs, int &count, bool &any) {
    std::vector<std::pair<int, std::string>> beyond;
    count = 0;
    for (const auto &entry : ctx.countries) {
        const CountryReport &c = entry.second;
        auto at = c.listIndex.find(bs);
        if (at == c.listIndex.end() || at->second < 0)
            continue;
        any = true;
        ++count;
        if (at->second >= ctx.options.scriptTableSize)
            beyond.push_back({at->second, c.cid});
    }
    std::sort(beyond.begin(), beyond.end());
    std::vector<std::string> cids;
    for (const auto &b : beyond)
        cids.push_back(b.second);
    return cids;
}

// What the driver sees of a country-selection list: nothing at all, or more
// countries than the script's table holds.
void checkScriptTable(CheckContext &ctx) {
    if (ctx.report.upgradeType != 1)
        return;
    bool any = false;
    std::map<std::string, std::vector<long>> past; // countries past the table -> sizes
    for (long bs : ctx.report.blockSizes) {
        int count = 0;
        const std::vector<std::string> beyond = pastTable(ctx, bs, count, any);
        if (beyond.empty())
            continue;
        std::string names;
        for (const std::string &cid : beyond)
            names += (names.empty() ? "" : " ") + cid;
        past[std::to_string(count) +
             " countries are offered; the script's country table "
             "holds " +
             std::to_string(ctx.options.scriptTableSize) + ": the module lists " + names +
             " past its end, and the script never installs them"]
            .push_back(bs);
    }
    for (const auto &p : past)
        add(ctx.findings, Code::CountryTableFull, "MAPPE",
            "on cards of " + joinSizes(p.second) + "-byte blocks " + p.first +
                "; put them on a second disc");
    if (!any)
        add(ctx.findings, Code::NothingOffered, "MAPPE",
            std::string("no country is offered at any block size") +
                (ctx.options.sdDir.empty() ? " (empty card)" : " on this card") +
                ": the disc installs nothing");
}

// Every .tgz of the medium and every archive a descriptor names, whatever
// its extension, sorted. Folders of an interrupted check are no part of the
// medium: they are reported and not entered.
std::vector<std::string> listArchives(CheckContext &ctx) {
    const std::string &media = ctx.options.mediaDir;
    std::set<std::string> found, notFiles;
    walkTree(media, [&](const TreeItem &item) {
        std::error_code ec;
        if (item.entry.is_directory(ec) && !item.entry.is_symlink(ec) &&
            fs::exists(item.entry.path() / hostkit::k_scratch_marker, ec)) {
            add(ctx.findings, Code::ScratchLeftOver, item.rel,
                "a scratch folder left by an interrupted check, not read as part of the medium: "
                "remove it before the disc is burned");
            return Walk::SkipFolder;
        }
        if (endsWithNoCase(item.entry.path().filename().string(), ".tgz"))
            (isRegularFile(item.entry.path().string()) ? found : notFiles).insert(item.rel);
        return Walk::Continue;
    });
    for (const std::string &n : ctx.named) {
        std::string actual;
        if (ctx.names.find(n, actual) == Spelling::Exact)
            (isRegularFile(media + "/" + n) ? found : notFiles).insert(normalisePath(n));
    }
    // Never opened: a FIFO would keep the check (and the unit) waiting.
    for (const std::string &rel : notFiles)
        add(ctx.findings, Code::GzNotAFile, rel,
            "listed as an archive, but " + fileKind(media + "/" + rel) +
                ", not a file: the unit cannot extract it");
    return std::vector<std::string>(found.begin(), found.end());
}

// Bytes kept free on the scratch file system: a fixed part and a share of
// what is free (other programs write there too).
uint64_t scratchMargin(uint64_t freeBytes) {
    return (8ULL << 20) + freeBytes / 64;
}

// The bounds of the next archive's extraction: the card given, else the
// largest card; the scratch file system's free room (as it is now, or as
// the options play it) less the margin.
ArchiveLimits limitsNow(const CheckContext &ctx, uint64_t &freeBytes) {
    ArchiveLimits l;
    l.card =
        ctx.options.sdCapacity > 0 ? static_cast<uint64_t>(ctx.options.sdCapacity) : k_largest_card;
    freeBytes = UINT64_MAX;
    struct statvfs st;
    if (statvfs(ctx.extractDir.c_str(), &st) == 0) {
        freeBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
        if (st.f_frsize > 0)
            l.blockSize = st.f_frsize;
    }
    if (ctx.options.scratchFree >= 0)
        freeBytes = static_cast<uint64_t>(ctx.options.scratchFree);
    if (freeBytes != UINT64_MAX) {
        const uint64_t margin = scratchMargin(freeBytes);
        l.scratch = freeBytes > margin ? freeBytes - margin : 0;
    }
    return l;
}

// Why the scratch card cannot take archive `rel`, whose files need `need`
// bytes there: the folder, the room needed and what to do.
std::string scratchShortText(const CheckContext &ctx, const std::string &rel, uint64_t need,
                             uint64_t freeBytes) {
    const std::string where = ctx.options.scratchParent.empty()
                                  ? "$TMPDIR (" + ctx.scratchParent + ")"
                                  : ctx.scratchParent;
    const uint64_t wanted = need + scratchMargin(need);
    return "too little room for the scratch card in " + where + ": the files of " + rel + " need " +
           std::to_string(need) + " bytes there, and its file system has " +
           std::to_string(freeBytes) + " bytes free, of which " +
           std::to_string(scratchMargin(freeBytes)) +
           " are kept free; set TMPDIR to a folder with at least " + std::to_string(wanted) +
           " bytes free (this is no fault of the medium)";
}

// Checks every archive (checkArchive), telling the progress callback the
// compressed bytes read of all of them. Stops at an archive the scratch
// card has no room for (report.hostError).
void checkArchives(CheckContext &ctx) {
    const std::string &media = ctx.options.mediaDir;
    const std::vector<std::string> archives = listArchives(ctx);
    std::error_code ec;
    uint64_t total = 0;
    for (const std::string &a : archives)
        total += fs::file_size(media + "/" + a, ec);
    ctx.report.archiveBytes = total;
    const auto &progress = ctx.options.progress;
    uint64_t done = 0;
    for (const std::string &a : archives) {
        ArchiveSummary &s = ctx.summaries[a];
        std::function<void(uint64_t)> step;
        if (progress)
            step = [&](uint64_t read) { progress(a, done + read, total); };
        uint64_t freeBytes = 0;
        const ArchiveLimits limits = limitsNow(ctx, freeBytes);
        checkArchive(a, media + "/" + a, ctx.extractDir, ctx.report.blockSizes, limits,
                     ctx.findings, s, step);
        if (s.scratchShort) {
            ctx.report.hostError = scratchShortText(ctx, a, s.scratchNeed, freeBytes);
            return;
        }
        done += fs::file_size(media + "/" + a, ec);
        if (progress)
            progress(a, done, total);
        ++ctx.report.archivesRead;
    }
}

// The POI delivery: each POI archive against the countries of the medium
// and of the card.
void checkPoiDelivery(CheckContext &ctx) {
    const std::string &sd = ctx.options.sdDir;
    std::error_code ec;
    if (!sd.empty() && fs::is_directory(sd + "/MAPPE", ec))
        for (const auto &e : fs::directory_iterator(sd + "/MAPPE", ec))
            if (e.is_directory(ec))
                ctx.known.insert(e.path().filename().string());
    for (const std::string &p : ctx.poiArchives) {
        auto s = ctx.summaries.find(p);
        checkPoi(ctx.names, p, s != ctx.summaries.end() ? s->second : ArchiveSummary(), ctx.known,
                 ctx.findings);
    }
}

// The room left on the card: the capacity given less what the card holds,
// else what its host file system has free. False when neither is known.
bool freeOnCard(const CheckOptions &options, uint64_t &freeBytes) {
    const uint64_t used = options.sdDir.empty() ? 0 : bytesUnder(options.sdDir);
    if (options.sdCapacity >= 0) {
        const uint64_t cap = static_cast<uint64_t>(options.sdCapacity);
        freeBytes = cap > used ? cap - used : 0;
        return true;
    }
    struct statvfs st;
    if (!options.sdDir.empty() && statvfs(options.sdDir.c_str(), &st) == 0) {
        freeBytes = static_cast<uint64_t>(st.f_bavail) * st.f_frsize;
        return true;
    }
    return false;
}

// Space: what the offered countries' archives take against the card's room,
// at each block size; each country's archive bytes noted in its report.
void checkSpace(CheckContext &ctx) {
    uint64_t freeBytes = 0;
    const bool haveFree = freeOnCard(ctx.options, freeBytes);
    for (auto &entry : ctx.countries) {
        CountryReport &c = entry.second;
        auto s = ctx.summaries.find(c.archive);
        if (s != ctx.summaries.end())
            c.archiveBytes = s->second.fileBytes;
    }
    if (!haveFree)
        return;
    // One finding for every block size the countries do not fit at.
    std::vector<std::string> sizes, needs;
    for (long bs : ctx.report.blockSizes) {
        uint64_t need = 0;
        for (auto &entry : ctx.countries) {
            CountryReport &c = entry.second;
            auto s = ctx.summaries.find(c.archive);
            if (c.offered[bs] && s != ctx.summaries.end())
                need += s->second.onCard[bs];
        }
        if (need > freeBytes) {
            sizes.push_back(std::to_string(bs));
            needs.push_back(std::to_string(need));
        }
    }
    if (sizes.empty())
        return;
    auto listed = [](const std::vector<std::string> &items, const char *tail) {
        std::string out;
        for (size_t i = 0; i < items.size(); ++i)
            out += (i == 0                  ? ""
                    : i + 1 == items.size() ? " and "
                                            : ", ") +
                   items[i] + (i + 1 == items.size() ? "" : tail);
        return out;
    };
    const bool one = sizes.size() == 1;
    add(ctx.findings, Code::SpaceShort, "(SD card)",
        std::string(one ? "on a card of " : "on cards of ") + listed(sizes, "-") +
            "-byte blocks the offered countries' archives take " + listed(needs, "") +
            " bytes, the card has " + std::to_string(freeBytes) +
            " free: the extraction fails part-way");
    Finding &f = ctx.findings.back();
    f.subjectKind = "block size";
    f.count = static_cast<int>(sizes.size());
    f.covers = sizes;
}

// The upgrade script on the card states that matter, and what it leaves.
void runUpgradeScript(CheckContext &ctx) {
    OutcomeOptions o;
    o.script = ctx.options.script;
    o.mediaDir = ctx.options.mediaDir;
    o.sdDir = ctx.options.sdDir;
    o.descriptor = ctx.options.descriptor;
    o.blockSizes = ctx.report.blockSizes;
    o.scratchParent = ctx.options.scratchParent;
    o.upgradeType = ctx.report.upgradeType;
    o.timeoutSeconds = ctx.options.scriptTimeout;
    o.powerCuts = ctx.options.powerCuts;
    o.cutSample = ctx.options.cutSample;
    o.sweeper = ctx.options.sweeper;
    checkOutcomes(o, ctx.findings, ctx.report.runs);
}

// The countries in folder order and the findings sorted by path, then
// severity (errors first), code, line and message.
void finishReport(CheckContext &ctx) {
    for (auto &entry : ctx.countries)
        ctx.report.countries.push_back(entry.second);
    groupFindings(ctx.findings);
}

} // namespace

int runMediaCheck(const CheckOptions &options, CheckReport &report) {
    report = CheckReport();
    report.medium = options.mediaDir;
    report.blockSizes = options.blockSizes;
    std::sort(report.blockSizes.begin(), report.blockSizes.end());
    report.blockSizes.erase(std::unique(report.blockSizes.begin(), report.blockSizes.end()),
                            report.blockSizes.end());
    if (checkOptions(options, report) != 0)
        return 2;
    // A medium beyond the sizes the module's analysis takes in reasonable
    // time is refused before any of it runs.
    hostsim::mountDevice("/DVD", options.mediaDir);
    if (!mainDescriptorWithinLimits(options.descriptor, options.limits, report.findings) ||
        !countriesWithinLimits(currentVersionFile(options.descriptor), options.limits,
                               report.findings)) {
        hostsim::unmountDevice("/DVD");
        report.typeReason = "not analysed: the medium is larger than upgsim analyses";
        return 1;
    }
    // The scratch card (emptied after each archive) and the empty card:
    // removed on every exit, also when a signal ends the run.
    hostkit::Scratch scratchFolder(options.scratchParent, "upgsim-check");
    const std::string &scratch = scratchFolder.path();
    if (checkScratch(options, scratchFolder, report.findings) != 0)
        return 2;
    CheckContext ctx(options, report);
    // The capacity plays the card for the space check and bounds each
    // archive's extraction (limitsNow); the scratch card is not played as
    // that card otherwise.
    hostsim::setDeviceCapacity("/SDH", -1);
    ctx.scratchParent = scratchFolder.parent();
    ctx.emptyCard = scratch + "/card";
    ctx.extractDir = scratch + "/extract";
    std::error_code ec;
    fs::create_directories(ctx.emptyCard, ec);
    fs::create_directories(ctx.extractDir, ec);
    hostsim::mountDevice("/DVD", options.mediaDir);

    readDescriptors(ctx);
    lintMedium(options.mediaDir, options.descriptor, report.findings);
    decideAtEachBlockSize(ctx);
    reportCountries(ctx);
    checkScriptTable(ctx);
    // The script's runs fork: before the archive checks start the module's
    // writer tasks in this process.
    if (options.runScript && !unfinishedProject(options.mediaDir))
        runUpgradeScript(ctx);
    checkArchives(ctx);
    if (!report.hostError.empty()) {
        hostsim::unmountDevice("/DVD");
        return 3;
    }
    checkPoiDelivery(ctx);
    checkSpace(ctx);
    reportSkeleton(options.mediaDir, report.findings);
    finishReport(ctx);
    hostsim::unmountDevice("/DVD");
    return report.errors() > 0 ? 1 : 0;
}

} // namespace mediacheck
