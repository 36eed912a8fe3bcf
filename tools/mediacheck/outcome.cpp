// The upgrade's outcome: the script's runs on the card states that matter
// and the proofs drawn from the cards they leave (see outcome.h).
#include "tools/mediacheck/outcome.h"

#include "tools/mediacheck/findings.h"

#include "platform/hostsim/hostsim.h"
#include "tools/hostkit/card.h"
#include "tools/hostkit/harness.h"
#include "tools/hostkit/scratch.h"
#include "tools/mediacheck/tarstreams.h"
#include "tools/mediacheck/treewalk.h"
#include "tools/scripthost/child.h"

#include "foundation/CKWString.h"
#include "poi_upgrade/C_POI_UPG.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <tuple>

namespace fs = std::filesystem;

namespace mediacheck {

const char k_state_given[] = "the card given";
const char k_state_empty[] = "an empty card";
const char k_state_older[] = "a card with the medium's countries at an older version";

std::string referenceScript(int upgradeType) {
    if (upgradeType == 1)
        return "map_upgrade.c";
    if (upgradeType == 0)
        return "single_country.c";
    return std::string();
}

namespace {

// The files the module and the reference scripts name on the card.
const char k_version_file[] = "CD_VER.NAV.INF";
const char k_poi_key[] = "POI_DOWNLOAD";
const char k_staged_poi_version[] = "TEMP_POI_VER.POI";
const char k_installed_poi_version[] = "POI_VER.POI";
const char k_poi_user[] = "MAPPE/POI_USER";
const char k_poi_top[] = "tmp_poi";
// Paths a finding lists before it says "and N more".
const size_t k_listed = 4;

std::string readText(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// One line of a descriptor as the scripts read it: the first field (the
// key) and the third (the path, backslashes turned into slashes).
struct DescriLine {
    std::string key;
    std::string path;
};

std::vector<DescriLine> readDescriptor(const std::string &hostPath) {
    std::vector<DescriLine> lines;
    std::istringstream in(readText(hostPath));
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> fields;
        size_t at = 0;
        for (size_t comma; (comma = line.find(',', at)) != std::string::npos; at = comma + 1)
            fields.push_back(line.substr(at, comma - at));
        if (fields.size() < 3)
            continue;
        std::string path = fields[2];
        std::replace(path.begin(), path.end(), '\\', '/');
        lines.push_back(DescriLine{fields[0], path});
    }
    return lines;
}

// The path the first line with key `key` names; empty when none does.
std::string pathOfKey(const std::vector<DescriLine> &lines, const std::string &key) {
    for (const DescriLine &l : lines)
        if (l.key == key)
            return l.path;
    return std::string();
}

// The value of the first line "KEY:value" of a key-and-value file, ended at
// the first space, CR or LF, as the carto tree reads it. False when no line
// has the key.
bool keyValue(const std::string &hostPath, const std::string &key, std::string &value) {
    std::istringstream in(readText(hostPath));
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, key.size() + 1, key + ":") == 0) {
            value = line.substr(key.size() + 1);
            value = value.substr(0, value.find_first_of(" \r\n"));
            return true;
        }
    return false;
}

// Decimal digits only, below 2^31: the integers the medium's document asks
// for. False for anything else.
bool isNumber(const std::string &text, long &value) {
    if (text.empty() || text.size() > 10 ||
        text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long long v = std::atoll(text.c_str());
    if (v > 0x7fffffffLL)
        return false;
    value = static_cast<long>(v);
    return true;
}

// A number as the module turns a version into one: its leading digits, 0
// when there are none.
long leadingNumber(const std::string &text) {
    return std::atol(text.c_str());
}

// One country of the medium, as the scripts find it.
struct MediumCountry {
    std::string dir;        // its folder under MAPPE/
    std::string cid;        // CID of its CD_VER.NAV.INF; empty when not read
    std::string infoRel;    // its CD_VER.NAV.INF (relative to the medium)
    std::string archiveRel; // its map archive
    std::string missingKey; // a key the scripts look for that its DESCRI.DAT lacks
    std::string version, release;
    std::map<std::string, FileDigest> tree; // its archive's tree, as tar reads it
    std::string treeError;                  // why the tree could not be read
    std::vector<std::string> tops;          // the archive's top-level names
};

// The medium as the runs are judged against it.
struct Medium {
    std::string root;
    std::vector<MediumCountry> countries;
    std::string poiArchive; // the POI delivery (relative path), when the key names one
    std::map<std::string, FileDigest> poiTree;
    std::map<std::string, std::string> poiTexts; // its ".txt" files' bytes
    std::string poiKeyTypo; // a key that names a .tgz with a ".inf" but is not the POI key
    std::string poiKeyTypoPath;
};

void readArchive(const std::string &hostPath, MediumCountry &c) {
    if (!archiveTree(hostPath, c.tree, c.treeError))
        return;
    std::set<std::string> tops;
    for (const auto &f : c.tree)
        tops.insert(f.first.substr(0, f.first.find('/')));
    c.tops.assign(tops.begin(), tops.end());
}

MediumCountry readCountry(const std::string &root, const std::string &dir) {
    MediumCountry c;
    c.dir = dir;
    const std::vector<DescriLine> lines = readDescriptor(root + "/MAPPE/" + dir + "/DESCRI.DAT");
    c.infoRel = normalisePath(pathOfKey(lines, "CID_INFO"));
    c.archiveRel = normalisePath(pathOfKey(lines, "MAP_ARCHIVE"));
    if (c.infoRel.empty())
        c.missingKey = "CID_INFO";
    else if (c.archiveRel.empty())
        c.missingKey = "MAP_ARCHIVE";
    // The information file the module reads is the one listed, else the
    // folder's own (the module finds it by its name).
    const std::string info =
        root + "/" + (c.infoRel.empty() ? "MAPPE/" + dir + "/" + k_version_file : c.infoRel);
    keyValue(info, "CID", c.cid);
    keyValue(info, "VERSION", c.version);
    keyValue(info, "RELEASE", c.release);
    if (c.infoRel.empty() && fs::exists(info))
        c.infoRel = "MAPPE/" + dir + "/" + k_version_file;
    if (!c.archiveRel.empty())
        readArchive(root + "/" + c.archiveRel, c);
    return c;
}

Medium readMedium(const OutcomeOptions &options, const std::string &versionFolder) {
    Medium m;
    m.root = options.mediaDir;
    std::error_code ec;
    if (options.upgradeType == 1) {
        std::vector<std::string> dirs;
        for (const auto &e : fs::directory_iterator(m.root + "/MAPPE", ec))
            if (e.is_directory(ec) && fs::exists(e.path() / "DESCRI.DAT", ec))
                dirs.push_back(e.path().filename().string());
        std::sort(dirs.begin(), dirs.end());
        for (const std::string &d : dirs)
            m.countries.push_back(readCountry(m.root, d));
    } else if (options.upgradeType == 0 && !versionFolder.empty()) {
        const std::string rel = normalisePath(versionFolder);
        if (rel.compare(0, 6, "MAPPE/") == 0 && rel.find('/', 6) == std::string::npos)
            m.countries.push_back(readCountry(m.root, rel.substr(6)));
    }
    const std::vector<DescriLine> main = readDescriptor(m.root + "/" + options.descriptor);
    m.poiArchive = normalisePath(pathOfKey(main, k_poi_key));
    if (!m.poiArchive.empty()) {
        std::string error;
        archiveTree(m.root + "/" + m.poiArchive, m.poiTree, error, &m.poiTexts);
    } else {
        for (const DescriLine &l : main) {
            const std::string rel = normalisePath(l.path);
            if (rel.size() > 4 && rel.compare(rel.size() - 4, 4, ".tgz") == 0 &&
                fs::exists(m.root + "/" + rel + ".inf", ec) && l.key != "MAP_ARCHIVE") {
                m.poiKeyTypo = l.key;
                m.poiKeyTypoPath = rel;
                break;
            }
        }
    }
    return m;
}

// The CD's country checked as the module checks a DVD's (which it does not
// for a CD): its descriptor's keys, its code and folder, its numbers, its
// group file.
void checkSingleCountry(const Medium &m, const std::string &versionFile,
                        std::vector<Finding> &findings) {
    if (m.countries.empty()) {
        add(findings, Code::CdFolder, versionFile,
            "the version file of a single-country medium lies in a country's folder "
            "(MAPPE/CID/), which the script takes for the country");
        return;
    }
    const MediumCountry &c = m.countries.front();
    const std::string descri = "MAPPE/" + c.dir + "/DESCRI.DAT";
    const std::vector<DescriLine> lines = readDescriptor(m.root + "/" + descri);
    for (const char *key : {"CID_INFO", "MAP_ARCHIVE", "GRUPPO_4_CID"})
        if (pathOfKey(lines, key).empty())
            add(findings, Code::CdKeyMissing, descri,
                std::string("no line with the key ") + key + ": the script " +
                    (std::string(key) == "GRUPPO_4_CID" ? "does not need it, the unit does"
                                                        : "cannot install the country"));
    if (c.infoRel.empty())
        return;
    const std::string info = m.root + "/" + c.infoRel;
    const bool code = c.cid.size() == 3 &&
                      c.cid.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") == std::string::npos;
    if (!code)
        add(findings, Code::CdValue, c.infoRel,
            "CID '" + c.cid + "' is not a code of three upper-case letters");
    else if (c.cid != c.dir)
        add(findings, Code::CdFolder, "MAPPE/" + c.dir,
            "the folder holds the country " + c.cid + ": name it MAPPE/" + c.cid +
                "/, where the scripts and the unit look for it");
    long n = 0;
    for (const char *key : {"VERSION", "RELEASE", "CID_SIZE_4", "CID_SIZE_8", "CID_SIZE_16",
                            "CID_SIZE_32", "CID_SIZE"}) {
        std::string value;
        const bool size = std::string(key).compare(0, 8, "CID_SIZE") == 0;
        if (!keyValue(info, key, value)) {
            if (!size || std::string(key) == "CID_SIZE")
                add(findings, Code::CdValue, c.infoRel,
                    std::string("no ") + key + " line" +
                        (size ? ": the room on a card of another block size is unknown" : ""));
        } else if (!isNumber(value, n)) {
            add(findings, Code::CdValue, c.infoRel,
                std::string(key) + " '" + value + "' is not a number (the module reads it as " +
                    std::to_string(leadingNumber(value)) + ")");
        }
    }
    const std::string group = normalisePath(pathOfKey(lines, "GRUPPO_4_CID"));
    std::string ver;
    if (!group.empty() && (!keyValue(m.root + "/" + group, "VER", ver) || ver != c.cid))
        add(findings, Code::CdGroup, group,
            "its VER is '" + ver + "', not the country's code " + c.cid);
}

// A card state and the folder it is kept in (never run on: each run takes a
// fresh copy).
struct State {
    std::string name;
    std::string dir;
};

// The card on which every country of the medium is installed at an older
// version: its version file one version lower (release 0), its files those
// of its archive holding other bytes, so that a file the run does not
// replace shows.
bool makeOlderCard(const Medium &m, const std::string &dir) {
    std::error_code ec;
    fs::create_directories(dir + "/MAPPE", ec);
    for (const MediumCountry &c : m.countries) {
        if (c.cid.empty())
            continue;
        const std::string folder = dir + "/MAPPE/" + c.cid;
        fs::create_directories(folder, ec);
        const long v = leadingNumber(c.version);
        std::ofstream(folder + "/" + k_version_file)
            << "CID:" << c.cid << "\nVERSION:" << (v > 0 ? v - 1 : 0) << "\nRELEASE:0\n";
        for (const auto &f : c.tree) {
            // The old version's files lie in the country's folder whatever
            // the new archive's top folder is.
            const size_t slash = f.first.find('/');
            const std::string rel =
                slash != std::string::npos && f.first.compare(0, slash, c.cid) == 0
                    ? f.first.substr(slash + 1)
                    : f.first;
            if (rel.empty() || rel == k_version_file)
                continue;
            const fs::path p = fs::path(folder) / rel;
            fs::create_directories(p.parent_path(), ec);
            std::ofstream(p) << "older version of " << rel << "\n";
        }
    }
    return !ec;
}

// The countries (by CID) the script is to install on the card `card` at
// block size `bs`: on a country-selection medium those the module offers;
// on a CD its country, when its version is not older than the card's.
std::set<std::string> toInstall(const OutcomeOptions &options, const Medium &m,
                                const std::string &card, long bs) {
    std::set<std::string> cids;
    if (options.upgradeType == 1) {
        OfferRun run;
        hostkit::onCard(card, bs, [&]() {
            run = decideCountries(options.descriptor);
            return 0;
        });
        std::map<std::string, std::string> cidOf;
        for (const MediumCountry &c : m.countries)
            cidOf[c.dir] = c.cid;
        for (const CountryDecision &d : run.countries)
            if (d.decision == Decision::Offered)
                cids.insert(cidOf.count(d.dir) != 0 && !cidOf[d.dir].empty() ? cidOf[d.dir]
                                                                             : d.cid);
    } else if (options.upgradeType == 0 && !m.countries.empty()) {
        const MediumCountry &c = m.countries.front();
        long nv = 0, nr = 0;
        // A version that is no number is still the country the CD means
        // to install: its run says what becomes of it.
        if (c.cid.empty())
            return cids;
        if (!isNumber(c.version, nv) || !isNumber(c.release, nr)) {
            cids.insert(c.cid);
            return cids;
        }
        std::string ov, orl;
        const std::string installed = card + "/MAPPE/" + c.cid + "/" + k_version_file;
        long oldV = 0, oldR = 0;
        if (keyValue(installed, "VERSION", ov) && keyValue(installed, "RELEASE", orl) &&
            isNumber(ov, oldV) && isNumber(orl, oldR)) {
            if (nv < oldV || (nv == oldV && nr < oldR))
                return cids;
        }
        cids.insert(c.cid);
    }
    return cids;
}

// Findings of the runs, each said once for all the states and block sizes
// it holds on.
class Collector {
public:
    void add(Code code, const std::string &path, const std::string &text,
             const std::string &where) {
        auto key = std::make_tuple(static_cast<int>(code), path, text);
        auto it = m_index.find(key);
        if (it == m_index.end()) {
            m_index[key] = m_items.size();
            m_items.push_back(Item{code, path, text, {where}});
        } else if (std::find(m_items[it->second].where.begin(), m_items[it->second].where.end(),
                             where) == m_items[it->second].where.end()) {
            m_items[it->second].where.push_back(where);
        }
    }
    void flush(std::vector<Finding> &out) const {
        for (const Item &i : m_items) {
            std::string where;
            for (size_t n = 0; n < i.where.size(); ++n)
                where += (n == 0 ? "" : n + 1 == i.where.size() ? " and " : ", ") + i.where[n];
            mediacheck::add(out, i.code, i.path,
                            "the upgrade script run on " + where + ": " + i.text);
        }
    }

private:
    struct Item {
        Code code;
        std::string path, text;
        std::vector<std::string> where;
    };
    std::map<std::tuple<int, std::string, std::string>, size_t> m_index;
    std::vector<Item> m_items;
};

std::string listPaths(const std::vector<std::string> &paths) {
    std::string out;
    for (size_t i = 0; i < paths.size() && i < k_listed; ++i)
        out += (i == 0 ? "" : ", ") + paths[i];
    if (paths.size() > k_listed)
        out += " and " + std::to_string(paths.size() - k_listed) + " more";
    return out;
}

// Why a country's archive does not land in its folder, when the archive
// says so: no top folder, or another one.
std::string topFolderCause(const MediumCountry &c) {
    if (c.tops.empty() || std::find(c.tops.begin(), c.tops.end(), c.cid) != c.tops.end())
        return std::string();
    std::vector<std::string> shown(c.tops.begin(), c.tops.end());
    return "the archive " + c.archiveRel + " has no top folder " + c.cid +
           "/ (its entries start with " + listPaths(shown) +
           "; packed from inside the folder?): the scripts extract it into /SDH/MAPPE/";
}

// Why the script found no country where it looked, when the medium says
// so, and the file that shows it (`file`, relative to the medium; left as it
// is when no cause is known).
std::string missingCause(const MediumCountry &c, std::string &file) {
    if (!c.missingKey.empty()) {
        file = "MAPPE/" + c.dir + "/DESCRI.DAT";
        return file + " has no line with the key " + c.missingKey + ", which the script looks for";
    }
    if (!c.cid.empty() && c.cid != c.dir)
        return "the folder MAPPE/" + c.dir + " holds the country " + c.cid +
               ", and the script reads MAPPE/" + c.cid + "/DESCRI.DAT";
    long n = 0;
    for (const auto &value :
         {std::make_pair("VERSION", &c.version), std::make_pair("RELEASE", &c.release)})
        if (!isNumber(*value.second, n)) {
            file = c.infoRel;
            return c.infoRel + ": " + value.first + " '" + *value.second + "' is not a number";
        }
    if (!c.treeError.empty()) {
        file = c.archiveRel;
        return "the archive cannot be read to its end: " + c.treeError;
    }
    const std::string top = topFolderCause(c);
    if (!top.empty())
        file = c.archiveRel;
    return top;
}

// Everything one run is judged with.
struct RunContext {
    const OutcomeOptions &options;
    const Medium &medium;
    Collector &found;
    std::string where;    // "an empty card (4096-byte blocks)"
    std::string card;     // host folder of the run's card
    std::string stateDir; // host folder of the card state it is a copy of
    std::string work;     // a scratch folder of the run's own
    hostkit::CardImage before, after;
    std::set<std::string> cids; // to install
    std::set<std::string> installed;
};

const MediumCountry *countryOf(const Medium &m, const std::string &cid) {
    for (const MediumCountry &c : m.countries)
        if (c.cid == cid)
            return &c;
    return nullptr;
}

bool changed(const RunContext &r, const std::string &path) {
    auto b = r.before.find(path);
    auto a = r.after.find(path);
    if (b == r.before.end() || a == r.after.end())
        return (b == r.before.end()) != (a == r.after.end());
    return b->second != a->second;
}

// One country the script was to install, or put a version file in place for.
void proveCountry(RunContext &r, const std::string &cid, bool expected) {
    const MediumCountry *c = countryOf(r.medium, cid);
    const std::string folder = "MAPPE/" + cid;
    const std::string versionPath = folder + "/" + k_version_file;
    auto v = r.after.find(versionPath);
    // Put in place: written by the run, or the medium's own (a reinstall
    // writes the same bytes again).
    std::array<unsigned char, 32> sha{};
    const bool medium = c != nullptr && !c->infoRel.empty() &&
                        hostkit::fileSha256(r.medium.root + "/" + c->infoRel, sha);
    const bool putInPlace = v != r.after.end() && !v->second.folder &&
                            (changed(r, versionPath) || (medium && sha == v->second.sha256));
    const std::string path = c != nullptr ? "MAPPE/" + c->dir : folder;
    if (!putInPlace) {
        if (!expected)
            return;
        std::string file = path;
        const std::string cause = c != nullptr ? missingCause(*c, file) : std::string();
        r.found.add(Code::RunNotInstalled, file,
                    cid + " is offered but not installed: the run put no " + versionPath +
                        " in place" + (cause.empty() ? "" : " (" + cause + ")"),
                    r.where);
        return;
    }
    if (c == nullptr)
        return; // a country of the card the medium does not carry: the outside check says it
    // The version file: the medium's, byte for byte.
    if (medium && sha != v->second.sha256)
        r.found.add(Code::RunVersionFile, versionPath,
                    cid + ": the card's version file differs from the medium's " + c->infoRel,
                    r.where);
    long n = 0;
    if (!isNumber(c->version, n) || !isNumber(c->release, n))
        r.found.add(Code::RunVersionFile, c->infoRel,
                    cid + " is installed as version '" + c->version + "." + c->release +
                        "', which is no pair of numbers: the next upgrade reads it as " +
                        std::to_string(leadingNumber(c->version)) + "." +
                        std::to_string(leadingNumber(c->release)),
                    r.where);
    // The tree: exactly the archive's entries under its top folder.
    if (!c->treeError.empty() || c->archiveRel.empty())
        return; // the archive checks tell why it cannot be read
    std::map<std::string, FileDigest> onCard;
    digestTree(r.card + "/" + folder, onCard);
    onCard.erase(k_version_file);
    std::vector<std::string> missing, differs, extra, stale;
    // An archive without the country's top folder was meant to hold the
    // folder's files: they are what the folder should hold.
    const bool topped = std::find(c->tops.begin(), c->tops.end(), cid) != c->tops.end();
    const std::string top = topped ? cid + "/" : std::string();
    std::map<std::string, FileDigest> want;
    for (const auto &f : c->tree)
        if (f.first.compare(0, top.size(), top) == 0)
            want[f.first.substr(top.size())] = f.second;
    for (const auto &w : want) {
        auto it = onCard.find(w.first);
        if (it == onCard.end())
            missing.push_back(folder + "/" + w.first);
        else if (it->second != w.second)
            differs.push_back(folder + "/" + w.first);
    }
    for (const auto &f : onCard)
        if (want.count(f.first) == 0)
            (changed(r, folder + "/" + f.first) ? extra : stale).push_back(folder + "/" + f.first);
    const std::string cause = topFolderCause(*c);
    const std::string because = cause.empty() ? "" : " (" + cause + ")";
    if (!missing.empty() || !differs.empty()) {
        std::string what;
        if (!missing.empty())
            what += std::to_string(missing.size()) + " of its archive's files missing (" +
                    listPaths(missing) + ")";
        if (!differs.empty())
            what += std::string(what.empty() ? "" : ", ") + std::to_string(differs.size()) +
                    " other than in the archive (" + listPaths(differs) + ")";
        r.found.add(Code::RunTreeDiffers, c->archiveRel,
                    cid + " claims version " + c->version + "." + c->release + " but " + folder +
                        "/ has " + what + because,
                    r.where);
    }
    if (!extra.empty())
        r.found.add(Code::RunTreeDiffers, c->archiveRel,
                    cid + ": the run wrote " + std::to_string(extra.size()) + " files into " +
                        folder + "/ that the archive does not hold (" + listPaths(extra) + ")",
                    r.where);
    if (!stale.empty())
        r.found.add(Code::RunStaleFiles, folder,
                    cid + " keeps " + std::to_string(stale.size()) +
                        " files of the version before that its new archive does not hold (" +
                        listPaths(stale) + "): the script does not empty the folder",
                    r.where);
    if (missing.empty() && differs.empty() && extra.empty())
        r.installed.insert(cid);
}

// Whether the module documents a change of `path` in a run that installs
// the countries `cids`.
bool documented(const RunContext &r, const std::string &path) {
    if (path == "MAPPE" || path == k_poi_user || path == k_staged_poi_version ||
        path == k_installed_poi_version)
        return true;
    const std::string staging = std::string(k_poi_user) + "/TEMP_";
    if (path.compare(0, staging.size(), staging) == 0)
        return true;
    for (const std::string &cid : r.cids) {
        const std::string folder = "MAPPE/" + cid;
        if (path == folder || path.compare(0, folder.size() + 1, folder + "/") == 0)
            return true;
    }
    return false;
}

void proveOutside(RunContext &r) {
    std::vector<std::string> outside;
    for (const hostkit::Mismatch &m : hostkit::compareImages(r.after, r.before))
        if (!documented(r, m.path))
            outside.push_back(m.path);
    if (outside.empty())
        return;
    // The cause, when a country's archive lacks its top folder and its
    // top-level names are what appeared.
    std::string cause;
    for (const MediumCountry &c : r.medium.countries) {
        const std::string why = topFolderCause(c);
        if (why.empty() || r.cids.count(c.cid) == 0)
            continue;
        for (const std::string &p : outside)
            for (const std::string &t : c.tops)
                if (p == "MAPPE/" + t || p.compare(0, 7 + t.size(), "MAPPE/" + t + "/") == 0)
                    cause = why;
    }
    r.found.add(Code::RunChangedOutside, "(SD card)",
                std::to_string(outside.size()) +
                    " paths changed that no installed country or POI staging explains (" +
                    listPaths(outside) + ")" + (cause.empty() ? "" : " (" + cause + ")"),
                r.where);
}

// The staging folder the merge makes for country `cid` of the user's POI
// folder `user` (host path) and the delivered files `files` (name ->
// digest): the user's files, with every file of a group the delivery
// announces replaced where the group's DATE is not older than the user's.
// The groups, their files and their dates are read with the merge's own
// rules (C_POI_UPG::IsPrefixFile, GetValueInFile) on the delivered texts,
// written into `work`.
std::map<std::string, FileDigest> mergedStaging(const Medium &m, const std::string &cid,
                                                const std::string &user,
                                                const std::map<std::string, FileDigest> &files,
                                                const std::string &work) {
    std::map<std::string, FileDigest> want;
    digestTree(user, want);
    std::error_code ec;
    const std::string folder = work + "/" + cid;
    fs::create_directories(folder, ec);
    const std::string top = std::string(k_poi_top) + "/" + cid + "/";
    std::vector<std::string> texts;
    for (const auto &t : m.poiTexts)
        if (t.first.compare(0, top.size(), top) == 0 &&
            t.first.find('/', top.size()) == std::string::npos) {
            const std::string name = t.first.substr(top.size());
            std::ofstream(folder + "/" + name, std::ios::binary) << t.second;
            texts.push_back(name);
        }
    char text[] = "";
    C_POI_UPG merge(CKWString(""), text);
    for (const std::string &t : texts) {
        CKWString prefix, oldDate, newDate;
        if (merge.GetValueInFile(CKWString((folder + "/" + t).c_str()), CKWString("PREFIX"),
                                 prefix) != 0)
            continue;
        const std::string version = std::string("/poi_ver_") + prefix.GetBuffer() + ".txt";
        const bool oldHas = merge.GetValueInFile(CKWString((user + version).c_str()),
                                                 CKWString("DATE"), oldDate) == 0;
        const bool newHas = merge.GetValueInFile(CKWString((folder + version).c_str()),
                                                 CKWString("DATE"), newDate) == 0;
        if (oldHas && (!newHas || newDate.ToInt() < oldDate.ToInt()))
            continue;
        for (const auto &f : files)
            if (merge.IsPrefixFile(CKWString((folder + "/" + f.first).c_str()), prefix) == 1)
                want[f.first] = f.second;
    }
    fs::remove_all(work, ec);
    return want;
}

// The POI delivery staged by the merge's rules: the staged version file is
// the delivery's ".inf"; every delivered country whose map is installed has
// its staging folder (the delivered files exactly when the user had no POI
// folder of it), no other has one; the work folders are gone.
void provePoi(RunContext &r) {
    const Medium &m = r.medium;
    if (m.poiArchive.empty()) {
        if (!m.poiKeyTypo.empty())
            r.found.add(Code::RunPoiNotStaged, m.poiKeyTypoPath,
                        "the main descriptor names the delivery " + m.poiKeyTypoPath +
                            " with the key " + m.poiKeyTypo + ", not " + k_poi_key +
                            ": the script stages no POI",
                        r.where);
        return;
    }
    auto staged = r.after.find(k_staged_poi_version);
    std::array<unsigned char, 32> sha{};
    if (staged == r.after.end() ||
        (hostkit::fileSha256(m.root + "/" + m.poiArchive + ".inf", sha) &&
         sha != staged->second.sha256))
        r.found.add(Code::RunPoiNotStaged, m.poiArchive + ".inf",
                    std::string(k_staged_poi_version) +
                        (staged == r.after.end() ? " is missing" : " differs from this file"),
                    r.where);
    for (const char *work : {"MAPPE/tmp_poi", "MAPPE/MERGE"})
        if (r.after.count(work) != 0)
            r.found.add(Code::RunPoiNotStaged, m.poiArchive,
                        std::string("the merge's work folder ") + work + " is left on the card",
                        r.where);
    std::map<std::string, std::map<std::string, FileDigest>> delivered;
    const std::string top = std::string(k_poi_top) + "/";
    for (const auto &f : m.poiTree) {
        if (f.first.compare(0, top.size(), top) != 0)
            continue;
        const std::string rest = f.first.substr(top.size());
        const size_t slash = rest.find('/');
        if (slash != std::string::npos)
            delivered[rest.substr(0, slash)][rest.substr(slash + 1)] = f.second;
    }
    for (const auto &d : delivered) {
        const std::string cid = d.first;
        const std::string stagedDir = std::string(k_poi_user) + "/TEMP_" + cid;
        const bool map = r.after.count("MAPPE/" + cid) != 0;
        const bool has = r.after.count(stagedDir) != 0;
        if (map != has) {
            r.found.add(Code::RunPoiNotStaged, m.poiArchive,
                        cid + (map ? ": its map is installed, but " + stagedDir + " is missing"
                                   : ": no map installed, yet " + stagedDir + " was made"),
                        r.where);
            continue;
        }
        if (!map)
            continue;
        const std::string userDir = std::string(k_poi_user) + "/" + cid;
        const bool user = r.before.count(userDir) != 0;
        const std::map<std::string, FileDigest> want =
            user ? mergedStaging(m, cid, r.stateDir + "/" + userDir, d.second, r.work) : d.second;
        std::map<std::string, FileDigest> onCard;
        digestTree(r.card + "/" + stagedDir, onCard);
        std::vector<std::string> wrong;
        for (const auto &w : want) {
            auto it = onCard.find(w.first);
            if (it == onCard.end() || it->second != w.second)
                wrong.push_back(stagedDir + "/" + w.first);
        }
        for (const auto &f : onCard)
            if (want.count(f.first) == 0)
                wrong.push_back(stagedDir + "/" + f.first);
        if (!wrong.empty())
            r.found.add(Code::RunPoiNotStaged, m.poiArchive,
                        cid + ": " + stagedDir + " does not hold " +
                            (user ? "the user's POIs with the delivered groups that are not "
                                    "older"
                                  : "exactly the delivered files") +
                            " (" + listPaths(wrong) + ")",
                        r.where);
    }
}

// The last line the script's process wrote on standard error, to show why
// it failed.
std::string lastLine(const std::string &text) {
    std::istringstream in(text);
    std::string last;
    for (std::string line; std::getline(in, line);) {
        const size_t first = line.find_first_not_of(" \t");
        if (first != std::string::npos && !scripthost::isListingLine(line.data(), line.size()))
            last = line.substr(first);
    }
    return last;
}

std::string sizeText(long bs) {
    return std::to_string(bs) + "-byte blocks";
}

} // namespace

void checkOutcomes(const OutcomeOptions &options, std::vector<Finding> &findings,
                   std::vector<ScriptRunReport> &runs) {
    if (options.upgradeType != 0 && options.upgradeType != 1)
        return; // nothing to install: the type's own finding says so
    if (options.blockSizes.empty())
        return;
    hostkit::Scratch scratch(options.scratchParent, "upgsim-outcome");
    if (scratch.path().empty()) {
        add(findings, Code::RunHost, "",
            "no scratch folder for the script's runs in " + scratch.parent());
        return;
    }
    std::string script = options.script;
    if (script.empty())
        script = hostkit::bundledScript(referenceScript(options.upgradeType), scratch.path());
    // The CD's country is the folder of its version file.
    std::string versionFolder;
    if (options.upgradeType == 0) {
        hostkit::onCard(scratch.path(), 0, [&]() {
            const std::string unit = decideCountries(options.descriptor).versionFile;
            const std::string dvd = "/DVD/";
            if (unit.compare(0, dvd.size(), dvd) == 0)
                versionFolder = fs::path(unit.substr(dvd.size())).parent_path().string();
            return 0;
        });
    }
    const Medium medium = readMedium(options, versionFolder);
    if (options.upgradeType == 0)
        checkSingleCountry(medium, versionFolder, findings);

    std::vector<State> states;
    std::error_code ec;
    if (!options.sdDir.empty()) {
        State s{k_state_given, scratch.path() + "/given"};
        if (hostkit::copyCard(options.sdDir, s.dir))
            states.push_back(s);
        else
            add(findings, Code::RunHost, "(SD card)",
                "the card given cannot be copied for the script's runs");
    }
    State empty{k_state_empty, scratch.path() + "/empty"};
    fs::create_directories(empty.dir, ec);
    states.push_back(empty);
    if (!medium.countries.empty()) {
        State older{k_state_older, scratch.path() + "/older"};
        if (makeOlderCard(medium, older.dir))
            states.push_back(older);
    }

    Collector found;
    FILE *devnull = std::fopen("/dev/null", "w");
    for (const State &state : states) {
        std::vector<std::set<std::string>> played;
        for (long bs : options.blockSizes) {
            std::set<std::string> cids = toInstall(options, medium, state.dir, bs);
            if (std::find(played.begin(), played.end(), cids) != played.end())
                continue;
            played.push_back(cids);
            RunContext r{options,
                         medium,
                         found,
                         state.name + " (" + sizeText(bs) + ")",
                         scratch.path() + "/run",
                         state.dir,
                         scratch.path() + "/work",
                         {},
                         {},
                         cids,
                         {}};
            fs::remove_all(r.card, ec);
            if (!hostkit::copyCard(state.dir, r.card) || !hostkit::imageCard(r.card, r.before)) {
                found.add(Code::RunHost, "(SD card)", "the card could not be copied for the run",
                          r.where);
                continue;
            }
            hostkit::ScriptJob job;
            job.script = script;
            job.card = r.card;
            job.blockSize = bs;
            job.timeoutSeconds = options.timeoutSeconds;
            job.capture = true;
            job.out = devnull != nullptr ? devnull : stdout;
            const hostkit::ScriptRun run = hostkit::runScript(job);
            hostsim::unmountDevice("/SDH");
            // Ctrl-C or SIGTERM while the script ran: the check ends as the
            // signal says once the run is over (the relay held it meanwhile).
            if (run.end.how == scripthost::ChildEnd::How::Interrupted)
                std::raise(run.end.code);
            hostkit::imageCard(r.card, r.after);
            ScriptRunReport record;
            record.state = state.name;
            record.blockSize = bs;
            record.status = run.ran ? run.status : -1;
            if (!run.ran || run.status != 0) {
                const std::string said = lastLine(run.end.err.text);
                found.add(Code::RunFailed, fs::path(script).filename().string(),
                          (run.ran ? "the script ended with status " + std::to_string(run.status)
                                   : "the script " + run.failure) +
                              (said.empty() ? "" : " (it said: " + said + ")"),
                          r.where);
            }
            for (const std::string &cid : cids)
                proveCountry(r, cid, true);
            // A country the script put a version file in place for though
            // the module did not offer it.
            for (const MediumCountry &c : medium.countries)
                if (cids.count(c.cid) == 0 && !c.cid.empty())
                    proveCountry(r, c.cid, false);
            proveOutside(r);
            if (run.ran && run.status == 0)
                provePoi(r);
            record.installed.assign(r.installed.begin(), r.installed.end());
            record.offered.assign(cids.begin(), cids.end());
            if (options.powerCuts && options.sweeper) {
                CutRequest req{script, state.dir, bs, options.cutSample};
                const CutVerdict v = options.sweeper(req);
                record.cuts = v.cuts;
                record.operations = v.operations;
                record.spans = v.spans;
                if (!v.error.empty())
                    found.add(Code::RunPowerCut, "(SD card)",
                              "the power-cut sweep could not run: " + v.error, r.where);
                for (const std::string &p : v.problems)
                    found.add(Code::RunPowerCut, "(SD card)", p, r.where);
            }
            runs.push_back(record);
            fs::remove_all(r.card, ec);
        }
    }
    if (devnull != nullptr)
        std::fclose(devnull);
    found.flush(findings);
}

} // namespace mediacheck
