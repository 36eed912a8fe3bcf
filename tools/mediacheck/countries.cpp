// Which countries the module offers, and why not the others: plays the carto
// tree's analysis on the mounted devices and reads its decisions back from
// its own log lines, one section per country folder.
#include "tools/mediacheck/mediacheck.h"

#include "platform/hostsim/hostsim.h"

#include "C_MAP_UPG_CARTOTREE.h"
#include "C_MAP_UPG_CARTOTREE_LOG.h"
#include "tools/hostkit/logline.h"

#include <algorithm>
#include <cstring>

namespace mediacheck {

namespace {

using Args = std::vector<std::string>;

// True when `line` was written by the tree's log format `format`; `args`
// then holds the texts of its conversions.
bool is(const std::string &line, const char *format, Args &args) {
    return hostkit::readLogLine(line, format, &args);
}

bool is(const std::string &line, const char *format) {
    return hostkit::readLogLine(line, format);
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
    Args a;
    if (is(line, g_carto_log_descri_fopen)) {
        decide(s, Decision::NoDescriptor, "no DESCRI.DAT in " + where);
    } else if (is(line, g_carto_log_descri_read)) {
        decide(s, Decision::MediumFault, where + "/DESCRI.DAT cannot be read");
    } else if (is(line, g_carto_log_descri_convert)) {
        decide(s, Decision::MediumFault, where + "/DESCRI.DAT cannot be parsed");
    } else if (is(line, g_carto_log_valid_file_missing)) {
        decide(s, Decision::MediumFault,
               where + "/DESCRI.DAT lists no " +
                   (s.inAdd ? "GRUPPO_4_CID.DAT.inf" : "CD_VER.NAV.INF"));
    } else if (is(line, g_carto_log_getptr_failed) || is(line, g_carto_log_getptr_error) ||
               is(line, g_carto_log_getptr_error_convert)) {
        decide(s, Decision::MediumFault, where + "/DESCRI.DAT has an unreadable entry");
    } else if (is(line, g_carto_log_missing_file, a)) {
        decide(s, Decision::MediumFault,
               std::string(s.inAdd ? "group file" : "information file") +
                   " listed but missing: " + onMedium(a[2]));
    } else if (!s.inAdd &&
               (is(line, g_carto_log_key_not_found, a) || is(line, g_carto_log_key_no_file, a) ||
                is(line, g_carto_log_key_too_long, a)) &&
               a[3] == "CID") {
        decide(s, Decision::MediumFault, "no CID line in " + onMedium(a[2]));
    } else {
        return false;
    }
    return true;
}

// The lines of the checks of one CID against its group file. False when
// `line` is none of them.
bool readGroupLine(Section &s, const std::string &line) {
    CountryDecision &c = s.country;
    Args a;
    if (is(line, g_carto_log_new_country)) {
        s.inAdd = true;
    } else if (is(line, g_carto_log_country_cid, a)) {
        c.cid = a[2];
    } else if (is(line, g_carto_log_no_ver_field, a)) {
        decide(s, Decision::MediumFault, "no VER line in the group file " + onMedium(a[2]));
    } else if (is(line, g_carto_log_fields_differ, a)) {
        decide(s, Decision::MediumFault,
               "the group file says VER:" + a[2] + ", not the CID " + a[3]);
    } else if (is(line, g_carto_log_cid_not_in_path)) {
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
    Args a;
    if (is(line, g_carto_log_curr_vers_fopen)) {
        decide(s, Decision::MediumFault,
               currVersListed ? "the current-version file CURR_VERS_NAVI.TXT does not open"
                              : "the main descriptor lists no current-version file "
                                "CURR_VERS_NAVI.TXT");
    } else if (is(line, g_carto_log_curr_vers_no_cid)) {
        decide(s, Decision::MediumFault,
               "no complete line for CID " + c.cid + " in CURR_VERS_NAVI.TXT");
    } else if (is(line, g_carto_log_curr_vers_values, a)) {
        // The name may hold quotes of its own: the longest reading keeps
        // them, up to the last quote before the quarter.
        c.name = a[3];
    } else {
        return false;
    }
    return true;
}

// The lines of the country's size for the card's block size `blockSize`.
// False when `line` is none of them.
bool readSizeLine(Section &s, const std::string &line, long blockSize) {
    if (is(line, g_carto_log_block_size_bad)) {
        s.blockSizeBad = true;
        return true;
    }
    Args a;
    const char *field = is(line, g_carto_log_no_version, a)    ? "VERSION"
                        : is(line, g_carto_log_no_release, a)  ? "RELEASE"
                        : is(line, g_carto_log_no_cid_size, a) ? "CID_SIZE"
                                                               : nullptr;
    if (field == nullptr)
        return false;
    const std::string file = onMedium(a[2]);
    if (std::strcmp(field, "CID_SIZE") != 0) {
        decide(s, Decision::MediumFault, std::string("no ") + field + " line in " + file);
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
    Args a;
    if (is(line, g_carto_log_older_version, a)) {
        // A card without this country counts as version 0: a negative
        // version on the medium is refused even on an empty card.
        const std::string &medium = a[2];
        const std::string &card = a[3];
        if (!medium.empty() && medium[0] == '-')
            decide(s, Decision::MediumFault,
                   "the medium's version " + medium + " is below the card's " + card +
                       " (a country not on the card counts as version 0)");
        else
            decide(s, Decision::CardNewer,
                   "the card holds a newer version (" + card + " against " + medium +
                       " on the medium)");
    } else if (is(line, g_carto_log_older_release, a)) {
        // No release on the card (no such country, or no RELEASE key) counts
        // as release 0: only a negative release on the medium is below it.
        const std::string &version = a[2];
        const std::string &medium = a[3];
        const std::string &card = a[4];
        if (card.empty())
            decide(s, Decision::MediumFault,
                   "the medium's release " + medium + " (version " + version +
                       ") is below 0, the release of a country the card does not hold");
        else
            decide(s, Decision::CardNewer,
                   "the card holds a newer release (" + card + " against " + medium +
                       " on the medium, version " + version + ")");
    } else if (is(line, g_carto_log_not_supported_type)) {
        decide(s, Decision::MediumFault, "not a country-selection medium");
    } else if (is(line, g_carto_log_country_listed)) {
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
        if (is(l.text, g_carto_log_descri_fopen))
            return "the main descriptor " + descriptor + " does not open";
        if (is(l.text, g_carto_log_descri_read))
            return "the main descriptor " + descriptor +
                   " cannot be read (a folder, or a read error)";
        if (is(l.text, g_carto_log_no_version_file))
            return descriptor +
                   " lists no version file named DVD_VER.NAV or CD_VER.NAV (names are compared "
                   "case-sensitively)";
        if (is(l.text, g_carto_log_version_file_absent))
            return "the version file listed in " + descriptor + " is missing";
        if (is(l.text, g_carto_log_type_none))
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
        Args a;
        if (is(l.text, g_carto_log_country_folder, a)) {
            Section s;
            s.country.dir = lastComponent(a[2]);
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
