// Media-tree builder: map-upgrade media and installed countries as text files.
#include "tests/support/media_builder.h"

#include "tests/support/unit_fixture.h"

#include <filesystem>

namespace testsupport {

const char *const MediaBuilder::kVersionFileList = "MAPS/DVD_VER.NAV";
const char *const MediaBuilder::kVersionFileSingle = "MAPS/CD_VER.NAV";
const char *const MediaBuilder::kCurrVersFile = "MAPS/CURR_VERS_NAVI.TXT";

namespace {

// The path as a descriptor writes it: with backslashes.
std::string backslashed(std::string path) {
    for (char &c : path)
        if (c == '/')
            c = '\\';
    return path;
}

} // namespace

std::string descriLine(const std::string &key, const std::string &path, const std::string &eol) {
    return key + ",1," + path + ",0,X" + eol;
}

std::string keyValueText(const KeyValues &pairs, const std::string &eol) {
    std::string text;
    for (const auto &kv : pairs)
        text += kv.first + ":" + kv.second + eol;
    return text;
}

std::string currVersLine(const std::string &cid, const std::string &name,
                         const std::string &quarter, const std::string &year,
                         const std::string &date, const std::string &provider) {
    return "CID:" + cid + ",A,B," + quarter + "," + year + ",\"" + date + "\",\"" + name + "\",\"" +
           provider + "\"";
}

MediaBuilder::MediaBuilder(const std::string &hostRoot) : m_root(hostRoot) {
    std::error_code ec;
    std::filesystem::create_directories(m_root, ec);
}

MediaBuilder &MediaBuilder::kind(Kind p_kind) {
    m_kind = p_kind;
    return *this;
}

MediaBuilder &MediaBuilder::country(const CountryDef &p_country) {
    m_countries.push_back(p_country);
    return *this;
}

MediaBuilder &MediaBuilder::extraCurrVersLine(const std::string &p_line) {
    m_extra_lines.push_back(p_line);
    return *this;
}

bool MediaBuilder::write(const std::string &relPath, const std::string &content) const {
    return writeFile(m_root + "/" + relPath, content);
}

bool MediaBuilder::build() const {
    bool ok = true;
    std::string main;
    if (m_kind == Kind::CountrySelection) {
        main += descriLine("DB_DOWNLOAD_VER", backslashed(kVersionFileList));
        ok = ok && write(kVersionFileList, "VER:1\r\n");
    } else if (m_kind == Kind::SingleCountry) {
        main += descriLine("DB_DOWNLOAD_VER", backslashed(kVersionFileSingle));
        ok = ok && write(kVersionFileSingle, "VER:1\r\n");
    }
    main += descriLine("CURR_VERS", backslashed(kCurrVersFile));
    main += descriLine("ICON_BRANDS", "ICONS\\BRANDS.BIN");
    ok = ok && write("DESCRI.DAT", main);

    std::string curr;
    for (const std::string &line : m_extra_lines)
        curr += line + "\r\n";
    for (const CountryDef &c : m_countries) {
        const std::string dir = "MAPPE/" + (c.dir.empty() ? c.cid : c.dir);
        std::string descri = descriLine("CID_INFO", backslashed(dir + "/CD_VER.NAV.INF"), c.eol);
        if (c.withGruppo) {
            descri += descriLine("GRUPPO", backslashed(dir + "/GRUPPO_4_CID.DAT.inf"), c.eol);
            ok = ok &&
                 write(dir + "/GRUPPO_4_CID.DAT.inf",
                       keyValueText({{"VER", c.gruppoVer.empty() ? c.cid : c.gruppoVer}}, c.eol));
        }
        ok = ok && write(dir + "/DESCRI.DAT", descri);
        KeyValues inf = {{"CID", c.cid}, {"VERSION", c.version}};
        if (!c.release.empty())
            inf.push_back({"RELEASE", c.release});
        inf.insert(inf.end(), c.sizes.begin(), c.sizes.end());
        ok = ok && write(dir + "/CD_VER.NAV.INF", keyValueText(inf, c.eol));
        if (c.withCurrVersLine)
            curr += currVersLine(c.cid, c.name) + c.eol;
    }
    ok = ok && write(kCurrVersFile, curr);
    return ok;
}

bool writeInstalledCountry(const std::string &sdHostDir, const InstalledCountry &p_country) {
    KeyValues inf = {{"CID", p_country.cid}};
    if (!p_country.version.empty())
        inf.push_back({"VERSION", p_country.version});
    if (!p_country.release.empty())
        inf.push_back({"RELEASE", p_country.release});
    inf.insert(inf.end(), p_country.sizes.begin(), p_country.sizes.end());
    return writeFile(sdHostDir + "/MAPPE/" + p_country.cid + "/CD_VER.NAV.INF", keyValueText(inf));
}

} // namespace testsupport
