// Media-tree builder: writes map-upgrade media in a host folder (the folder
// behind "/DVD") and installed countries on the SD card's folder, the way
// the carto tree reads them:
//
//   DESCRI.DAT                      main descriptor: the version file and the
//                                   current-version file, paths with '\'
//   MAPS/DVD_VER.NAV or CD_VER.NAV  version file (country selection or single)
//   MAPS/CURR_VERS_NAVI.TXT         one "CID:" line per country
//   MAPPE/<dir>/DESCRI.DAT          the country's descriptor
//   MAPPE/<dir>/CD_VER.NAV.INF      CID, VERSION, RELEASE, sizes
//   MAPPE/<dir>/GRUPPO_4_CID.DAT.inf  VER
//
// and on the SD card: MAPPE/<cid>/CD_VER.NAV.INF. Everything is plain text
// built in code; the raw helpers let a test write odd files of its own.
#ifndef TESTS_SUPPORT_MEDIA_BUILDER_H
#define TESTS_SUPPORT_MEDIA_BUILDER_H

#include <string>
#include <utility>
#include <vector>

namespace testsupport {

typedef std::vector<std::pair<std::string, std::string>> KeyValues;

// One line of a descriptor file: "key,1,path,0,X" and the line end.
std::string descriLine(const std::string &key, const std::string &path,
                       const std::string &eol = "\r\n");
// Lines "key:value", each followed by eol.
std::string keyValueText(const KeyValues &pairs, const std::string &eol = "\r\n");
// A line of the current-version file (without line end):
// CID:<cid>,A,B,<quarter>,<year>,"<date>","<name>","<provider>"
std::string currVersLine(const std::string &cid, const std::string &name,
                         const std::string &quarter = "2", const std::string &year = "2024",
                         const std::string &date = "2024-06-01",
                         const std::string &provider = "MAPMAKER");

// One country of a medium.
struct CountryDef {
    std::string cid;                         // "CID" of its CD_VER.NAV.INF
    std::string name;                        // its name in the current-version file
    std::string version = "5";               // "VERSION" on the medium
    std::string release = "1";               // "RELEASE" on the medium (empty: no RELEASE line)
    KeyValues sizes = {{"CID_SIZE", "100"}}; // size lines of CD_VER.NAV.INF
    std::string dir;                         // folder under MAPPE/ (empty: the cid)
    std::string gruppoVer;                   // "VER" of the group file (empty: the cid)
    bool withGruppo = true;                  // write and list the group file
    bool withCurrVersLine = true;            // a line in CURR_VERS_NAVI.TXT
    std::string eol = "\r\n";                // line end of its files
};

// A country installed on the SD card.
struct InstalledCountry {
    std::string cid;
    std::string version;
    std::string release;
    KeyValues sizes = {{"CID_SIZE", "90"}};
};

class MediaBuilder {
public:
    enum class Kind { CountrySelection, SingleCountry, NoVersionFile };

    // Media tree in host folder `hostRoot` (created when missing).
    explicit MediaBuilder(const std::string &hostRoot);

    const std::string &root() const { return m_root; }
    MediaBuilder &kind(Kind p_kind);
    MediaBuilder &country(const CountryDef &p_country);
    // An extra raw line (without line end) for CURR_VERS_NAVI.TXT, written
    // before the countries' lines.
    MediaBuilder &extraCurrVersLine(const std::string &p_line);

    // Writes the whole tree. False when a file cannot be written.
    bool build() const;

    // Writes `content` at `relPath` under the root, creating folders.
    bool write(const std::string &relPath, const std::string &content) const;

    // Relative paths of the files the builder writes.
    static const char *const kVersionFileList;   // "MAPS/DVD_VER.NAV"
    static const char *const kVersionFileSingle; // "MAPS/CD_VER.NAV"
    static const char *const kCurrVersFile;      // "MAPS/CURR_VERS_NAVI.TXT"

private:
    std::string m_root;
    Kind m_kind = Kind::CountrySelection;
    std::vector<CountryDef> m_countries;
    std::vector<std::string> m_extra_lines;
};

// Writes MAPPE/<cid>/CD_VER.NAV.INF under the SD card's host folder.
bool writeInstalledCountry(const std::string &sdHostDir, const InstalledCountry &p_country);

} // namespace testsupport

#endif
