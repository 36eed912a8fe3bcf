// The lint of the medium's text files: the medium that docs/medium.md's
// blocks make, spoilt one mistake at a time, gives that mistake's code,
// severity, file and line (table below); the unspoilt medium and the demo's
// give no finding; the keys the lint knows are the document's key tables;
// findings of a line render as FILE:LINE: and carry "line" in JSON.
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "tools/mediacheck/lint.h"
#include "tools/scripthost/demo.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <set>

namespace fs = std::filesystem;
using mediacheck::Finding;
using mediacheck::Severity;
using mediacheck::TextFile;
using namespace testsupport;

namespace {

std::string docText() {
    return readFile(std::string(UPG_SOURCE_DIR) + "/docs/medium.md");
}

// The medium of docs/medium.md's "medium:PATH" blocks in a fresh folder.
class DocMedium {
public:
    DocMedium() : m_root(makeTempDir("lint")) {
        const std::string text = docText();
        const std::string open = "```medium:";
        for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
            at += open.size();
            const size_t eol = text.find('\n', at);
            const size_t end = text.find("```", eol);
            if (eol == std::string::npos || end == std::string::npos)
                break;
            ok = writeFile(m_root + "/" + text.substr(at, eol - at),
                           text.substr(eol + 1, end - eol - 1)) &&
                 ok;
            ++files;
        }
    }
    ~DocMedium() { removeTree(m_root); }
    const std::string &root() const { return m_root; }

    // Replaces the first `from` of file `rel` by `to`.
    bool edit(const std::string &rel, const std::string &from, const std::string &to) {
        std::string text = readFile(m_root + "/" + rel);
        const size_t at = text.find(from);
        return at != std::string::npos &&
               writeFile(m_root + "/" + rel, text.replace(at, from.size(), to));
    }
    bool write(const std::string &rel, const std::string &text) {
        return writeFile(m_root + "/" + rel, text);
    }
    // A copy of country folder MAPPE/`from` as MAPPE/`to`, its descriptor's
    // paths leading to the copy.
    bool copyCountry(const std::string &from, const std::string &to) {
        std::error_code ec;
        fs::copy(m_root + "/MAPPE/" + from, m_root + "/MAPPE/" + to, ec);
        std::string d = readFile(m_root + "/MAPPE/" + to + "/DESCRI.DAT");
        for (size_t at = d.find("MAPPE/" + from + "/"); at != std::string::npos;
             at = d.find("MAPPE/" + from + "/", at))
            d.replace(at, from.size() + 7, "MAPPE/" + to + "/");
        return !ec && write("MAPPE/" + to + "/DESCRI.DAT", d);
    }
    bool moveCountry(const std::string &from, const std::string &to) {
        std::error_code ec;
        return copyCountry(from, to) && fs::remove_all(m_root + "/MAPPE/" + from, ec) > 0;
    }

    // The POI delivery: tmp_poi/FRA/ with the group RST, whose version file
    // is "PREFIX:RST" and then `lines` (`lines` alone when not `withPrefix`).
    bool poi(const std::string &lines, bool withPrefix = true) {
        TarBuilder t;
        t.dir("tmp_poi/").dir("tmp_poi/FRA/").file("tmp_poi/FRA/RST.lzw", "restaurants");
        t.file("tmp_poi/FRA/poi_ver_RST.txt", (withPrefix ? "PREFIX:RST\n" : "") + lines);
        return write("POI/POI_UPD.tgz", gzip(t.finish()));
    }

    std::vector<Finding> lint() const {
        std::vector<Finding> findings;
        mediacheck::lintMedium(m_root, "DESCRI.DAT", findings);
        return findings;
    }

    bool ok = true;
    int files = 0;

private:
    std::string m_root;
};

std::string listed(const std::vector<Finding> &findings) {
    std::string out;
    for (const Finding &f : findings)
        out += (f.severity == Severity::Error ? "error " : "warning ") + f.code + " " + f.path +
               ":" + std::to_string(f.line) + ": " + f.message + "\n";
    return out;
}

TEST(Lint, TheDocumentsMediumHasNoFinding) {
    DocMedium m;
    ASSERT_TRUE(m.ok);
    ASSERT_GE(m.files, 10); // the descriptors, both countries' files, the POI .inf
    ASSERT_TRUE(m.poi("DATE:20240901\n"));
    const std::vector<Finding> findings = m.lint();
    EXPECT_TRUE(findings.empty()) << listed(findings);
}

TEST(Lint, TheDemosMediumHasNoFinding) {
    const std::string root = makeTempDir("lint-demo");
    scripthost::demo::SampleOptions options;
    options.mapBytes = 4096;
    std::string error;
    ASSERT_TRUE(scripthost::demo::buildSampleUnit(root, options, error)) << error;
    std::vector<Finding> findings;
    mediacheck::lintMedium(root + "/media", "DESCRI.DAT", findings);
    EXPECT_TRUE(findings.empty()) << listed(findings);
    removeTree(root);
}

// One mistake on the document's medium and the finding it must give.
struct Mistake {
    const char *name;
    std::function<bool(DocMedium &)> make;
    const char *code;
    const char *path;
    int line;
    Severity severity;
    int total;                  // findings of the whole lint
    const char *says = nullptr; // a text of the finding's message
};

const Severity E = Severity::Error;
const Severity W = Severity::Warning;
const char *const k_fra_descri = "MAPPE/FRA/DESCRI.DAT";
const char *const k_fra_inf = "MAPPE/FRA/CD_VER.NAV.INF";
const char *const k_poi_ver = "POI/POI_UPD.tgz/tmp_poi/FRA/poi_ver_RST.txt";

const Mistake k_mistakes[] = {
    // Keys the scripts look for, misspelt: the country or the POIs fail.
    {"MapArchiveTypo",
     [](DocMedium &m) { return m.edit(k_fra_descri, "MAP_ARCHIVE,", "MAP_ARCHIV,"); },
     "LINT_KEY_UNKNOWN", k_fra_descri, 3, E, 1, "did you mean MAP_ARCHIVE?"},
    {"CidInfoWithAZero",
     [](DocMedium &m) { return m.edit(k_fra_descri, "CID_INFO,", "CID_INF0,"); },
     "LINT_KEY_UNKNOWN", k_fra_descri, 1, E, 1, "did you mean CID_INFO?"},
    {"PoiDownloadTypo",
     [](DocMedium &m) { return m.edit("DESCRI.DAT", "POI_DOWNLOAD,", "POI_DOWNLOD,"); },
     "LINT_KEY_UNKNOWN", "DESCRI.DAT", 3, E, 1,
     "unknown key 'POI_DOWNLOD': did you mean POI_DOWNLOAD?"},
    {"KeyInLowerCase",
     [](DocMedium &m) { return m.edit(k_fra_descri, "MAP_ARCHIVE,", "map_archive,"); },
     "LINT_KEY_UNKNOWN", k_fra_descri, 3, E, 1, "did you mean MAP_ARCHIVE?"},
    {"InfoKeyTypo", [](DocMedium &m) { return m.edit(k_fra_inf, "RELEASE:", "RELAESE:"); },
     "LINT_KEY_UNKNOWN", k_fra_inf, 3, E, 1, "did you mean RELEASE?"},
    // A misspelt key nobody needs, or one given properly too: a warning.
    {"IconBrandsTypo",
     [](DocMedium &m) {
         return m.write("DESCRI.DAT", readFile(m.root() + "/DESCRI.DAT") +
                                          "ICON_BRAND,1,ICONS/BRANDS.BIN,0,icons\n");
     },
     "LINT_KEY_UNKNOWN", "DESCRI.DAT", 4, W, 1, "did you mean ICON_BRANDS?"},
    {"TypoBesideTheRightKey",
     [](DocMedium &m) {
         return m.write(k_fra_descri, readFile(m.root() + "/" + k_fra_descri) +
                                          "MAP_ARCHIV,1,MAPPE/FRA/FRA.tgz,0,map data\n");
     },
     "LINT_KEY_UNKNOWN", k_fra_descri, 4, W, 1, "(the file's own MAP_ARCHIVE line is read)"},
    // Spaces: the scripts and the module trim nothing.
    {"SpaceAfterTheKey",
     [](DocMedium &m) { return m.edit(k_fra_descri, "MAP_ARCHIVE,", "MAP_ARCHIVE ,"); },
     "LINT_SPACE", k_fra_descri, 3, E, 1, "write 'MAP_ARCHIVE,'"},
    {"SpaceBeforeThePath",
     [](DocMedium &m) { return m.edit(k_fra_descri, ",MAPPE/FRA/FRA.tgz", ", MAPPE/FRA/FRA.tgz"); },
     "LINT_SPACE", k_fra_descri, 3, E, 1, "no such file"},
    {"SpaceInAnUnreadField", [](DocMedium &m) { return m.edit(k_fra_descri, ",0,map", ",0 ,map"); },
     "LINT_SPACE", k_fra_descri, 3, W, 1, "field 4"},
    {"SpaceBeforeTheColon", [](DocMedium &m) { return m.edit(k_fra_inf, "VERSION:", "VERSION :"); },
     "LINT_SPACE", k_fra_inf, 2, E, 1, "write 'VERSION:7'"},
    {"TextAfterTheValue",
     [](DocMedium &m) { return m.edit(k_fra_inf, "VERSION:7", "VERSION:7 beta"); }, "LINT_SPACE",
     k_fra_inf, 2, W, 1, "read as '7'"},
    // A byte-order mark hides the first line's key.
    {"BomBeforeTheCountrysDescriptor",
     [](DocMedium &m) {
         return m.write("MAPPE/ITA/DESCRI.DAT",
                        "\xEF\xBB\xBF" + readFile(m.root() + "/MAPPE/ITA/DESCRI.DAT"));
     },
     "LINT_BOM", "MAPPE/ITA/DESCRI.DAT", 1, E, 1, "CID_INFO"},
    {"BomBeforeTheInfoFile",
     [](DocMedium &m) {
         return m.edit(k_fra_inf, "CID:",
                       "\xEF\xBB\xBF"
                       "CID:");
     },
     "LINT_BOM", k_fra_inf, 1, E, 1, "not take the folder for a country"},
    {"Utf16File",
     [](DocMedium &m) {
         return m.write("MAPPE/FRA/GRUPPO_4_CID.DAT.inf", std::string("\xFF\xFEV\0E\0R\0:\0", 10));
     },
     "LINT_BOM", "MAPPE/FRA/GRUPPO_4_CID.DAT.inf", 1, E, 1, "UTF-16"},
    {"BomBeforeAKeyNobodyNeeds",
     [](DocMedium &m) {
         return m.edit("MAPPE/DVD_VER.NAV", "VERSION:",
                       "\xEF\xBB\xBF"
                       "VERSION:");
     },
     "LINT_BOM", "MAPPE/DVD_VER.NAV", 1, W, 1, "'VERSION'"},
    {"BomBeforeALineOfNoKey",
     [](DocMedium &m) {
         return m.edit("MAPPE/CURR_VERS_NAVI.TXT", "CID:FRA",
                       "\xEF\xBB\xBF"
                       "countries\nCID:FRA");
     },
     "LINT_BOM", "MAPPE/CURR_VERS_NAVI.TXT", 1, W, 1, "nothing depends on that line"},
    // Line ends.
    {"LoneCrHidesALine",
     [](DocMedium &m) { return m.edit(k_fra_inf, "VERSION:7\n", "VERSION:7\r"); }, "LINT_CR",
     k_fra_inf, 2, E, 1, "'RELEASE:2'"},
    {"OneCrLfAmongLf",
     [](DocMedium &m) { return m.edit(k_fra_inf, "RELEASE:2\n", "RELEASE:2\r\n"); }, "LINT_CR",
     k_fra_inf, 3, W, 1, "1 of 8 lines"},
    // Values that must be numbers.
    {"SpaceAfterTheColon",
     [](DocMedium &m) { return m.edit(k_fra_inf, "VERSION:7", "VERSION: 6"); }, "LINT_NOT_INTEGER",
     k_fra_inf, 2, E, 1, "read as empty, as the number 0; write VERSION:6"},
    {"VersionWithALetter",
     [](DocMedium &m) { return m.edit(k_fra_inf, "VERSION:7", "VERSION:4a"); }, "LINT_NOT_INTEGER",
     k_fra_inf, 2, E, 1, "read as 4, and the card gets the text '4a'"},
    {"VersionInWords",
     [](DocMedium &m) {
         return m.edit(k_fra_inf, "VERSION:7", "VERSION:seven") &&
                m.edit(k_fra_inf, "RELEASE:2", "RELEASE:2b");
     },
     "LINT_NOT_INTEGER", k_fra_inf, 2, E, 2, "read as 0"},
    {"ReleaseWithALetter",
     [](DocMedium &m) { return m.edit(k_fra_inf, "RELEASE:2", "RELEASE:2b"); }, "LINT_NOT_INTEGER",
     k_fra_inf, 3, E, 1, "read as 2"},
    {"EmptyRelease", [](DocMedium &m) { return m.edit(k_fra_inf, "RELEASE:2", "RELEASE:"); },
     "LINT_NOT_INTEGER", k_fra_inf, 3, E, 1, "is empty"},
    {"VersionAboveTheSignedRange",
     [](DocMedium &m) { return m.edit(k_fra_inf, "VERSION:7", "VERSION:2147483648"); },
     "LINT_NOT_INTEGER", k_fra_inf, 2, E, 1, "read as 2147483647"},
    {"SizeWithLetters",
     [](DocMedium &m) { return m.edit(k_fra_inf, "CID_SIZE_4:1052672", "CID_SIZE_4:12ab"); },
     "LINT_NOT_INTEGER", k_fra_inf, 4, E, 1, "read as 12"},
    {"NegativeSize",
     [](DocMedium &m) { return m.edit(k_fra_inf, "CID_SIZE:1048500", "CID_SIZE:-5"); },
     "LINT_NOT_INTEGER", k_fra_inf, 8, E, 1, "read as 4294967291"},
    {"SizeAboveTheUnsignedRange",
     [](DocMedium &m) { return m.edit(k_fra_inf, "CID_SIZE:1048500", "CID_SIZE:4294967296"); },
     "LINT_NOT_INTEGER", k_fra_inf, 8, E, 1, "read as 4294967295"},
    {"PoiDateNotANumber",
     [](DocMedium &m) { return m.edit("POI/POI_UPD.tgz.inf", "DATE:20240901", "DATE:2024-09-01"); },
     "LINT_NOT_INTEGER", "POI/POI_UPD.tgz.inf", 2, W, 1, "read as 2024"},
    // A single country's information file, named by the main descriptor.
    {"InfoFileOfTheMainDescriptor",
     [](DocMedium &m) {
         return m.write("CD/CD_VER.NAV.INF", "CID:ESP\nVERSION:seven\nRELEASE:1\nCID_SIZE:9\n") &&
                m.write("DESCRI.DAT", readFile(m.root() + "/DESCRI.DAT") +
                                          "DB_DOWNLOAD_NAV,1,CD\\CD_VER.NAV.INF,0,single\n");
     },
     "LINT_NOT_INTEGER", "CD/CD_VER.NAV.INF", 2, E, 1, "read as 0"},
    // The POI delivery's text files, read by the merge (the last line counts,
    // spaces stay in the value).
    {"PoiDateWithDashes", [](DocMedium &m) { return m.poi("DATE:2024-09-01\n"); },
     "LINT_NOT_INTEGER", k_poi_ver, 2, E, 1, "reads it as 2024"},
    {"PoiPrefixWithASpace",
     [](DocMedium &m) { return m.poi("PREFIX:RST \nDATE:20240901\n", false); }, "LINT_SPACE",
     k_poi_ver, 1, E, 1, "write PREFIX:RST"},
    {"PoiPrefixOfAnotherFile",
     [](DocMedium &m) { return m.poi("PREFIX:RTS\nDATE:20240901\n", false); }, "LINT_CODE",
     k_poi_ver, 1, E, 1, "poi_ver_RTS.txt"},
    {"PoiDateKeyTypo", [](DocMedium &m) { return m.poi("DAT:20240901\n"); }, "LINT_KEY_UNKNOWN",
     k_poi_ver, 2, E, 1, "did you mean DATE?"},
    {"PoiDateTwice", [](DocMedium &m) { return m.poi("DATE:20240901\nDATE:20240902\n"); },
     "LINT_KEY_TWICE", k_poi_ver, 2, W, 1, "the last one (line 3)"},
    // Codes and folders.
    {"FolderNotNamedAfterItsCid", [](DocMedium &m) { return m.moveCountry("ITA", "IT"); },
     "LINT_FOLDER_NOT_CID", "MAPPE/IT/CD_VER.NAV.INF", 1, E, 1, "reads MAPPE/ITA/DESCRI.DAT"},
    {"OneCidInTwoFolders", [](DocMedium &m) { return m.copyCountry("ITA", "ITB"); },
     "LINT_CID_TWICE", "MAPPE/ITB/CD_VER.NAV.INF", 1, E, 2, "also the code of MAPPE/ITA"},
    {"FolderCopiedWithItsPaths",
     [](DocMedium &m) {
         std::error_code ec;
         fs::copy(m.root() + "/MAPPE/ITA", m.root() + "/MAPPE/ITB", ec);
         return !ec;
     },
     "LINT_CID_TWICE", "MAPPE/ITA/CD_VER.NAV.INF", 1, E, 2,
     "of MAPPE/ITB is also the code of MAPPE/ITA"},
    {"CidInLowerCase",
     [](DocMedium &m) {
         return m.moveCountry("FRA", "fra") &&
                m.edit("MAPPE/fra/CD_VER.NAV.INF", "CID:FRA", "CID:fra") &&
                m.edit("MAPPE/fra/GRUPPO_4_CID.DAT.inf", "VER:FRA", "VER:fra") &&
                m.edit("MAPPE/CURR_VERS_NAVI.TXT", "CID:FRA", "CID:fra");
     },
     "LINT_CODE", "MAPPE/fra/CD_VER.NAV.INF", 1, W, 2, "not three upper-case letters"},
    {"GroupFileOfAnotherCountry",
     [](DocMedium &m) { return m.edit("MAPPE/ITA/GRUPPO_4_CID.DAT.inf", "VER:ITA", "VER:FRA"); },
     "LINT_CODE", "MAPPE/ITA/GRUPPO_4_CID.DAT.inf", 1, E, 1, "write VER:ITA"},
    {"KeyGivenTwice",
     [](DocMedium &m) { return m.edit(k_fra_inf, "RELEASE:2\n", "RELEASE:2\nVERSION:8\n"); },
     "LINT_KEY_TWICE", k_fra_inf, 4, W, 1, "the first one (line 2)"},
    {"DescriptorKeyGivenTwice",
     [](DocMedium &m) {
         return m.write(k_fra_descri, readFile(m.root() + "/" + k_fra_descri) +
                                          "MAP_ARCHIVE,1,MAPPE/FRA/FRA2.tgz,0,map data\n");
     },
     "LINT_KEY_TWICE", k_fra_descri, 4, W, 1, "the first one (line 3) is read"},
    // The current-version file: the module takes lines that begin "CID:".
    {"SpaceAfterCidInTheCurrentVersions",
     [](DocMedium &m) { return m.edit("MAPPE/CURR_VERS_NAVI.TXT", "CID:ITA", "CID: ITA"); },
     "LINT_SPACE", "MAPPE/CURR_VERS_NAVI.TXT", 2, E, 1, "write 'CID:ITA,'"},
    {"CurrentVersionLineInLowerCase",
     [](DocMedium &m) { return m.edit("MAPPE/CURR_VERS_NAVI.TXT", "CID:ITA", "cid:ITA"); },
     "LINT_KEY_UNKNOWN", "MAPPE/CURR_VERS_NAVI.TXT", 2, E, 1, "ITA has no line"},
    {"SpaceBeforeTheCountrysName",
     [](DocMedium &m) { return m.edit("MAPPE/CURR_VERS_NAVI.TXT", ",\"France\"", ", \"France\""); },
     "LINT_SPACE", "MAPPE/CURR_VERS_NAVI.TXT", 1, W, 1, "field 6"},
};

class LintMistake : public ::testing::TestWithParam<Mistake> {};

TEST_P(LintMistake, GivesItsCodeFileAndLine) {
    const Mistake &c = GetParam();
    DocMedium m;
    ASSERT_TRUE(m.ok);
    ASSERT_TRUE(c.make(m));
    const std::vector<Finding> findings = m.lint();
    const Finding *hit = nullptr;
    for (const Finding &f : findings)
        if (f.code == c.code && f.path == c.path && f.line == c.line)
            hit = &f;
    ASSERT_NE(hit, nullptr) << listed(findings);
    EXPECT_EQ(hit->severity, c.severity) << listed(findings);
    if (c.says != nullptr) {
        EXPECT_NE(hit->message.find(c.says), std::string::npos) << hit->message;
    }
    EXPECT_EQ(static_cast<int>(findings.size()), c.total) << listed(findings);
    for (const Finding &f : findings)
        EXPECT_GT(f.line, 0) << listed(findings);
}

INSTANTIATE_TEST_SUITE_P(Lint, LintMistake, ::testing::ValuesIn(k_mistakes),
                         [](const ::testing::TestParamInfo<Mistake> &i) {
                             return std::string(i.param.name);
                         });

std::string trimmed(const std::string &s) {
    const size_t b = s.find_first_not_of(' ');
    return b == std::string::npos ? std::string() : s.substr(b, s.find_last_not_of(' ') - b + 1);
}

// Odd bytes in every file the lint reads: it ends, and what it finds names
// a line of a file of the medium.
TEST(Lint, OddTextsEndWithFindingsOfLines) {
    const std::string odd[] = {"",
                               "\n\n",
                               ",,,,,,\n",
                               ":::\n",
                               "\r\r\r",
                               std::string(5000, 'A'),
                               "CID:\nVER:\nPREFIX:\nDATE:\n",
                               "CID:,,,,,,,,\n",
                               std::string("\0\0:\0,\n", 6),
                               "\xEF\xBB\xBF",
                               "\xFF\xFE",
                               " , , , , ,\n",
                               "cid:\n :x\n"};
    const char *files[] = {"DESCRI.DAT",
                           "MAPPE/FRA/DESCRI.DAT",
                           k_fra_inf,
                           "MAPPE/FRA/GRUPPO_4_CID.DAT.inf",
                           "MAPPE/CURR_VERS_NAVI.TXT",
                           "POI/POI_UPD.tgz.inf"};
    for (const std::string &text : odd) {
        DocMedium m;
        for (const char *f : files)
            ASSERT_TRUE(m.write(f, text));
        ASSERT_TRUE(m.poi(text, false));
        for (const Finding &f : m.lint()) {
            EXPECT_GT(f.line, 0) << f.code << " " << f.path;
            EXPECT_FALSE(f.message.empty());
        }
    }
}

// The keys of the document's table under `heading` (the first column's
// backticked names; "`CID_SIZE_4`, `_8`" stands for CID_SIZE_4, CID_SIZE_8),
// with the second column when `withFile`.
std::set<std::string> documentedKeys(const std::string &heading, bool withFile) {
    const std::string doc = docText();
    size_t at = doc.find(heading);
    std::set<std::string> keys;
    if (at == std::string::npos)
        return keys;
    at = doc.find("\n|", at);
    for (; at != std::string::npos && at + 1 < doc.size() && doc[at + 1] == '|';
         at = doc.find('\n', at + 1)) {
        const std::string row = doc.substr(at + 1, doc.find('\n', at + 1) - at - 1);
        const size_t bar = row.find('|', 1);
        const std::string first = row.substr(1, bar - 1);
        const std::string second = row.substr(bar + 1, row.find('|', bar + 1) - bar - 1);
        std::string base;
        for (size_t q = first.find('`'); q != std::string::npos; q = first.find('`', q + 1)) {
            const size_t e = first.find('`', q + 1);
            std::string key = first.substr(q + 1, e - q - 1);
            if (key[0] == '_')
                key = base.substr(0, base.find_last_of('_')) + key;
            else
                base = key;
            keys.insert(withFile ? key + " in " + trimmed(second) : key);
            q = e;
        }
    }
    return keys;
}

TEST(Lint, KnowsTheKeysOfTheDocumentsTables) {
    std::set<std::string> descriptor, info;
    for (const mediacheck::KnownKey &k : mediacheck::knownKeys()) {
        if (k.file == TextFile::MainDescriptor)
            descriptor.insert(std::string(k.key) + " in main");
        else if (k.file == TextFile::CountryDescriptor)
            descriptor.insert(std::string(k.key) + " in country");
        else if (k.file == TextFile::CountryInfo)
            info.insert(k.key);
    }
    EXPECT_EQ(descriptor, documentedKeys("| key | in |", true));
    EXPECT_EQ(info, documentedKeys("| key | meaning | limits |", false));
}

TEST(Lint, SuggestsOnlyNearKeys) {
    const struct {
        const char *word;
        TextFile file;
        const char *key; // nullptr: none
    } cases[] = {
        {"MAP_ARCHIV", TextFile::CountryDescriptor, "MAP_ARCHIVE"},
        {"map_archive", TextFile::CountryDescriptor, "MAP_ARCHIVE"},
        {"CID_INOF", TextFile::CountryDescriptor, "CID_INFO"}, // swapped letters
        {"GRUPPO", TextFile::CountryDescriptor, nullptr},      // a key of the medium's own
        {"CURR_VERS", TextFile::MainDescriptor, nullptr},
        {"MAP_ARCHIVE", TextFile::MainDescriptor, nullptr}, // not a main descriptor's key
        {"VAR", TextFile::GroupFile, "VER"},
        {"VOR_", TextFile::GroupFile, nullptr}, // two edits from a short key
        {"CID_SIZ_8", TextFile::CountryInfo, "CID_SIZE_8"},
    };
    for (const auto &c : cases) {
        const mediacheck::KnownKey *k = mediacheck::nearestKey(c.word, c.file);
        if (c.key == nullptr) {
            EXPECT_EQ(k, nullptr) << c.word << " -> " << k->key;
        } else {
            EXPECT_TRUE(k != nullptr && std::string(k->key) == c.key) << c.word;
        }
    }
}

// Only findings of a line lead with FILE:LINE: and carry "line".
TEST(Lint, FindingsOfALineRenderWithTheirLine) {
    mediacheck::CheckReport r;
    r.medium = "medium";
    r.findings.push_back(Finding{Severity::Error, "LINT_SPACE", "MAPPE/FRA/DESCRI.DAT", "a space"});
    r.findings.back().line = 3;
    r.findings.push_back(Finding{Severity::Warning, "COUNTRY_NO_DESCRI", "MAPPE/X", "no file"});
    const std::string text = mediacheck::renderText(r);
    EXPECT_NE(text.find("  MAPPE/FRA/DESCRI.DAT:3: error   LINT_SPACE: a space"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\n  warning COUNTRY_NO_DESCRI: no file"), std::string::npos) << text;
    const nlohmann::json j = nlohmann::json::parse(mediacheck::renderJson(r));
    EXPECT_EQ(j["findings"][0]["line"], 3);
    EXPECT_FALSE(j["findings"][1].contains("line"));
}

} // namespace
