// Which countries the module offers, and why not the others: plays the carto
// tree's analysis on the mounted devices and reads its decisions back from
// its own log lines, one section per country folder.
#include "tools/mediacheck/mediacheck.h"

#include "platform/hostsim/hostsim.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <algorithm>
#include <cstring>

namespace mediacheck {

namespace {

// The text between `open` (found in `line`) and the next `close`; empty when
// `open` is absent.
std::string between(const std::string &line, const std::string &open, char close = '\'') {
    size_t at = line.find(open);
    if (at == std::string::npos)
        return std::string();
    at += open.size();
    size_t end = line.find(close, at);
    return line.substr(at, end == std::string::npos ? std::string::npos : end - at);
}

bool has(const std::string &line, const char *text) {
    return line.find(text) != std::string::npos;
}

// The last component of a path ("/DVD/MAPPE/FRA" -> "FRA").
std::string lastComponent(std::string path) {
    while (!path.empty() && path.back() == '/')
        path.pop_back();
    size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A unit path on the medium without its device ("/DVD/MAPPE/x" -> "MAPPE/x").
std::string onMedium(const std::string &unitPath) {
    std::string p = unitPath;
    if (p.compare(0, 5, "/DVD/") == 0)
        p = p.substr(5);
    while (!p.empty() && p.front() == '/')
        p.erase(0, 1);
    return p;
}

// The state of one country folder's section of the log.
struct Section {
    CountryDecision country;
    bool inAdd = false;        // past "New country detected": the checks of one CID
    bool blockSizeBad = false; // the card's block size could not be read
    bool decided = false;
};

void decide(Section &s, Decision d, const std::string &reason) {
    if (s.decided)
        return;
    s.decided = true;
    s.country.decision = d;
    s.country.reason = reason;
}

// The lines of a country's descriptor and of the information file it
// lists. False when `line` is none of them.
bool readDescriptorLine(Section &s, const std::string &line) {
    const std::string where = "MAPPE/" + s.country.dir;
    if (has(line, "LoadDescriDataInMemory(),  fopen (")) {
        decide(s, Decision::NoDescriptor, "no DESCRI.DAT in " + where);
    } else if (has(line, "LoadDescriDataInMemory(),  read (")) {
        decide(s, Decision::MediumFault, where + "/DESCRI.DAT cannot be read");
    } else if (has(line, "ConvertDataIntoDescriDatEltList(), ERROR")) {
        decide(s, Decision::MediumFault, where + "/DESCRI.DAT cannot be parsed");
    } else if (has(line, "GetUpgValidFileIfFound(), Missing file")) {
        decide(s, Decision::MediumFault,
               where + "/DESCRI.DAT lists no " +
                   (s.inAdd ? "GRUPPO_4_CID.DAT.inf" : "CD_VER.NAV.INF"));
    } else if (has(line, "(), GetPtr on position") || has(line, "An error occured on 'GetPtr'")) {
        decide(s, Decision::MediumFault, where + "/DESCRI.DAT has an unreadable entry");
    } else if (has(line, "(), Missing file = '")) {
        decide(s, Decision::MediumFault,
               std::string(s.inAdd ? "group file" : "information file") +
                   " listed but missing: " + onMedium(between(line, "Missing file = '")));
    } else if (!s.inAdd && has(line, "GetValueInFile ('") && has(line, "', 'CID') ==>")) {
        decide(s, Decision::MediumFault,
               "no CID line in " + onMedium(between(line, "GetValueInFile ('")));
    } else {
        return false;
    }
    return true;
}

// The lines of the checks of one CID against its group file. False when
// `line` is none of them.
bool readGroupLine(Section &s, const std::string &line) {
    CountryDecision &c = s.country;
    if (has(line, "New country detected")) {
        s.inAdd = true;
    } else if (has(line, "(), : CID = '")) {
        c.cid = between(line, "(), : CID = '");
    } else if (has(line, "No VER field in ")) {
        std::string file = between(line, "No VER field in ", ' ');
        decide(s, Decision::MediumFault, "no VER line in the group file " + onMedium(file));
    } else if (has(line, "Fields are not the same : SourceVersion is ")) {
        decide(s, Decision::MediumFault,
               "the group file says VER:" + between(line, "SourceVersion is ", ' ') +
                   ", not the CID " + between(line, " and CID is ", ' '));
    } else if (has(line, "An error occured on 'FindCIDinPath'")) {
        decide(s, Decision::MediumFault, "the group file's path does not contain the CID " + c.cid);
    } else {
        return false;
    }
    return true;
}

// The lines of the current-version file (the country's name). False when
// `line` is none of them.
bool readCurrentVersionLine(Section &s, const std::string &line, bool currVersListed) {
    CountryDecision &c = s.country;
    if (has(line, "GetCIDValuesFromDVD(), (fopen '")) {
        decide(s, Decision::MediumFault,
               currVersListed ? "the current-version file CURR_VERS_NAVI.TXT does not open"
                              : "the main descriptor lists no current-version file "
                                "CURR_VERS_NAVI.TXT");
    } else if (has(line, "not found or corrupted")) {
        decide(s, Decision::MediumFault,
               "no complete line for CID " + c.cid + " in CURR_VERS_NAVI.TXT");
    } else if (has(line, "GetCIDValuesFromDVD ('")) {
        // "... ('CID') = 'name' 'Qq-yyyy'": the name may hold quotes of its
        // own, so it ends at the last "' 'Q", not at the next quote.
        const std::string open = "') = '";
        const size_t at = line.find(open);
        const size_t end = line.rfind("' 'Q");
        if (at != std::string::npos && end != std::string::npos && end >= at + open.size())
            c.name = line.substr(at + open.size(), end - at - open.size());
        else
            c.name = between(line, open);
    } else {
        return false;
    }
    return true;
}

// The lines of the country's size for the card's block size `blockSize`.
// False when `line` is none of them.
bool readSizeLine(Section &s, const std::string &line, long blockSize) {
    if (has(line, "m_plgin_partition_blk_size == ")) {
        s.blockSizeBad = true;
        return true;
    }
    if (!has(line, "Error during reading '"))
        return false;
    const std::string file = onMedium(between(line, "Error during reading '"));
    const std::string field = between(line, "field '");
    if (field != "CID_SIZE") {
        decide(s, Decision::MediumFault, "no " + field + " line in " + file);
    } else if (s.blockSizeBad) {
        decide(s, Decision::CardFault, "the card's block size cannot be read");
    } else if (blockSize == 4096 || blockSize == 8192 || blockSize == 16384 || blockSize == 32768) {
        decide(s, Decision::MediumFault,
               "no size for " + std::to_string(blockSize) + "-byte blocks in " + file +
                   " (neither CID_SIZE_" + std::to_string(blockSize / 1024) + " nor CID_SIZE)");
    } else {
        decide(s, Decision::MediumFault,
               "no CID_SIZE in " + file + " (blocks of " + std::to_string(blockSize) +
                   " bytes have no size key of their own)");
    }
    return true;
}

// The lines of the comparison with the card's installed country, and of
// the country's acceptance. False when `line` is none of them.
bool readComparisonLine(Section &s, const std::string &line) {
    if (has(line, "),  new version (")) {
        // A card without this country counts as version 0: a negative
        // version on the medium is refused even on an empty card.
        const std::string medium = between(line, "new version (", ')');
        const std::string card = between(line, "old version (", ')');
        if (!medium.empty() && medium[0] == '-')
            decide(s, Decision::MediumFault,
                   "the medium's version " + medium + " is below the card's " + card +
                       " (a country not on the card counts as version 0)");
        else
            decide(s, Decision::CardNewer,
                   "the card holds a newer version (" + card + " against " + medium +
                       " on the medium)");
    } else if (has(line, "=> new release (")) {
        // No release on the card (no such country, or no RELEASE key) counts
        // as release 0: only a negative release on the medium is below it.
        const std::string medium = between(line, "new release (", ')');
        const std::string card = between(line, "old release (", ')');
        const std::string version = between(line, "version (", ')');
        if (card.empty())
            decide(s, Decision::MediumFault,
                   "the medium's release " + medium + " (version " + version +
                       ") is below 0, the release of a country the card does not hold");
        else
            decide(s, Decision::CardNewer,
                   "the card holds a newer release (" + card + " against " + medium +
                       " on the medium, version " + version + ")");
    } else if (has(line, "Not supported upgrade type")) {
        decide(s, Decision::MediumFault, "not a country-selection medium");
    } else if (has(line, "m_number_of_cid_on_media = ")) {
        decide(s, Decision::Offered, std::string());
    } else {
        return false;
    }
    return true;
}

// Reads one log line of a country's section: the first reading that knows
// the line takes it, in the order the module writes them.
void readCountryLine(Section &s, const std::string &line, long blockSize, bool currVersListed) {
    if (readDescriptorLine(s, line) || readGroupLine(s, line) ||
        readCurrentVersionLine(s, line, currVersListed) || readSizeLine(s, line, blockSize))
        return;
    readComparisonLine(s, line);
}

// Why the module found no upgrade, from the lines of GetUpgradeType.
std::string typeReason(const std::vector<hostsim::LogLine> &lines, const std::string &descriptor) {
    for (const hostsim::LogLine &l : lines) {
        if (has(l.text, "LoadDescriDataInMemory(),  fopen ("))
            return "the main descriptor " + descriptor + " does not open";
        if (has(l.text, "LoadDescriDataInMemory(),  read ("))
            return "the main descriptor " + descriptor +
                   " cannot be read (a folder, or a read error)";
        if (has(l.text, "GetUpgDVDorCDValidFileIfFound()   Missing file"))
            return descriptor +
                   " lists no version file named DVD_VER.NAV or CD_VER.NAV (names are compared "
                   "case-sensitively)";
        if (has(l.text, "Invalid SUPPORT UpgradeType = NONE"))
            return "the version file listed in " + descriptor + " is missing";
        if (has(l.text, " UpgradeType = NONE"))
            return "the version file's name is neither DVD_VER.NAV nor CD_VER.NAV";
    }
    return "the module found no upgrade (see its log)";
}

// Stops the log capture when the play is over, whatever way it ends.
struct CaptureScope {
    CaptureScope() { hostsim::captureLog(true); }
    ~CaptureScope() { hostsim::captureLog(false); }
};

} // namespace

OfferRun decideCountries(const std::string &descriptor) {
    OfferRun run;
    CaptureScope capture;
    // A fresh tree per play: the block size is read once per tree.
    CKWString media("/DVD/");
    CKWString product("/SDH/");
    C_MAP_UPG_CARTOTREE tree(0, media, product);

    t_upg_plugin_type type =
        tree.GetUpgradeType(descriptor.c_str(), static_cast<int>(descriptor.size()), media);
    run.versionFile = tree.GetMapPlgin_DVD_or_CD().GetBuffer();
    if (type == UPG_PLUGIN_TYPE_LIST_COUNTRY)
        run.upgradeType = 1;
    else if (type == UPG_PLUGIN_TYPE_MODULE_COUNTRY)
        run.upgradeType = 0;
    else
        run.typeReason = typeReason(hostsim::capturedLog(), descriptor);
    if (run.upgradeType != 1)
        return run;

    const bool currVersListed = tree.GetUpgDVD_CurrVersNaviAbsolutePath() == 0;
    hostsim::clearCapturedLog();
    CKWArray<C_MAP_UPG_CARTOTREE::t_plugin_cid_element> unused(10, 10);
    run.listResult = tree.Build_DVD_CIDInfoList(tree.GetUpgPlginType(), unused);
    const long blockSize = tree.GetPartitionBlkSizeCache();

    std::vector<Section> sections;
    for (const hostsim::LogLine &l : hostsim::capturedLog()) {
        if (has(l.text, "(), pathName = '")) {
            Section s;
            s.country.dir = lastComponent(between(l.text, "(), pathName = '"));
            s.country.cid = s.country.dir;
            sections.push_back(s);
        } else if (!sections.empty()) {
            readCountryLine(sections.back(), l.text, blockSize, currVersListed);
        }
    }
    int offered = 0; // the module lists the countries it offers in scan order
    for (Section &s : sections) {
        decide(s, Decision::MediumFault, "refused (see the module's log)");
        if (s.country.decision == Decision::Offered)
            s.country.listIndex = offered++;
        run.countries.push_back(s.country);
    }
    std::sort(run.countries.begin(), run.countries.end(),
              [](const CountryDecision &a, const CountryDecision &b) { return a.dir < b.dir; });
    return run;
}

} // namespace mediacheck
