// The check's runs of the upgrade script: a clean DVD and the CD of
// docs/medium.md install on every card state with no finding; the faults a
// medium carries that only the script's run shows (an archive without its
// top folder, a key the script does not find, a folder not named after its
// code, the POI key misspelt, a CD's version that is no number) and a
// script that claims what it did not install or writes elsewhere each give
// a finding naming the card state, the country, the file and the cause;
// card states are played at another block size only where the offer
// differs; the power-cut sweep's problems become findings.
#include "tests/support/media_builder.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "tools/mediacheck/mediacheck.h"
#include "tools/mediacheck/outcome.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <set>

namespace fs = std::filesystem;
using namespace testsupport;

namespace {

const KeyValues k_sizes = {{"CID_SIZE_4", "8192"},
                           {"CID_SIZE_8", "16384"},
                           {"CID_SIZE_16", "32768"},
                           {"CID_SIZE_32", "65536"},
                           {"CID_SIZE", "4000"}};

class Outcome : public UnitFixture {
public:
    void SetUp() override {
        UnitFixture::SetUp();
        hostsim::setTickRate(6000);
    }

    // France and Italia, each with a map archive "<CID>/..." (or what
    // `fra` writes for France), and a POI delivery for France.
    void buildDvd(const std::function<void(CountryDef &)> &ita = nullptr,
                  const std::function<void(TarBuilder &)> &fra = nullptr) {
        MediaBuilder mb(mediaDir());
        CountryDef f, i;
        f.cid = "FRA";
        f.name = "France";
        f.sizes = k_sizes;
        i.cid = "ITA";
        i.name = "Italia";
        i.sizes = k_sizes;
        if (ita)
            ita(i);
        mb.country(f).country(i);
        ASSERT_TRUE(mb.build());
        write("ICONS/BRANDS.BIN", "icons");
        for (const CountryDef *c : {&f, &i}) {
            const std::string dir = c->dir.empty() ? c->cid : c->dir;
            TarBuilder t;
            if (c == &f && fra)
                fra(t);
            else
                t.dir(c->cid + "/").file(c->cid + "/map.dat", "map of " + c->cid);
            write("MAPPE/" + dir + "/" + c->cid + ".tgz", gzip(t.finish()));
            append("MAPPE/" + dir + "/DESCRI.DAT",
                   descriLine("MAP_ARCHIVE", "MAPPE\\" + dir + "\\" + c->cid + ".tgz"));
        }
        TarBuilder poi;
        poi.dir("tmp_poi/").dir("tmp_poi/FRA/").file("tmp_poi/FRA/RST.lzw", "restaurants");
        poi.file("tmp_poi/FRA/poi_ver_RST.txt", "PREFIX:RST\nDATE:20240101\n");
        write("POI/POI_UPD.tgz", gzip(poi.finish()));
        write("POI/POI_UPD.tgz.inf", "VERSION:7\nDATE:20240101\n");
        append("DESCRI.DAT", descriLine("POI_DOWNLOAD", "POI\\POI_UPD.tgz"));
    }

    // The CD of docs/medium.md, its text files taken from the document's
    // "cd:PATH" blocks, its archives packed here.
    void buildDocumentedCd() {
        const std::string doc = readFile(std::string(UPG_SOURCE_DIR) + "/docs/medium.md");
        const std::string open = "```cd:", fence = "```";
        int files = 0;
        for (size_t at = doc.find(open); at != std::string::npos; at = doc.find(open, at)) {
            const size_t name = at + open.size();
            const size_t eol = doc.find('\n', name);
            const size_t close = eol == std::string::npos ? eol : doc.find(fence, eol + 1);
            ASSERT_NE(close, std::string::npos) << "unclosed cd: block";
            ASSERT_NO_FATAL_FAILURE(
                write(doc.substr(name, eol - name), doc.substr(eol + 1, close - eol - 1)));
            ++files;
            at = close + fence.size();
        }
        ASSERT_EQ(files, 6);
        TarBuilder map;
        map.dir("ESP/").file("ESP/ROADS.DAT", "roads").file("ESP/NAMES.DAT", "names");
        write("MAPPE/ESP/ESP.tgz", gzip(map.finish()));
        TarBuilder poi;
        poi.dir("tmp_poi/").dir("tmp_poi/ESP/").file("tmp_poi/ESP/RST.lzw", "restaurantes");
        poi.file("tmp_poi/ESP/poi_ver_RST.txt", "PREFIX:RST\nDATE:20240901\n");
        write("POI/POI_ESP.tgz", gzip(poi.finish()));
    }

    using UnitFixture::sdDir;

    void write(const std::string &rel, const std::string &bytes) {
        ASSERT_TRUE(writeFile(mediaDir() + "/" + rel, bytes)) << rel;
    }
    void append(const std::string &rel, const std::string &text) {
        write(rel, readFile(mediaDir() + "/" + rel) + text);
    }
    void replaceIn(const std::string &rel, const std::string &from, const std::string &to) {
        std::string text = readFile(mediaDir() + "/" + rel);
        const size_t at = text.find(from);
        ASSERT_NE(at, std::string::npos) << rel << ": " << from;
        write(rel, text.replace(at, from.size(), to));
    }
    // A script of the test's own, written beside the medium.
    std::string script(const std::string &name, const std::string &text) {
        const std::string path = root() + "/" + name;
        EXPECT_TRUE(writeFile(path, text));
        return path;
    }

    int check(mediacheck::CheckReport &r, const std::string &scriptPath = "",
              std::vector<long> blockSizes = {4096}, bool withCard = false) {
        mediacheck::CheckOptions o;
        o.mediaDir = mediaDir();
        o.sdDir = withCard ? sdDir() : "";
        o.blockSizes = blockSizes;
        o.scratchParent = root();
        o.runScript = true;
        o.script = scriptPath;
        o.scriptTimeout = 60;
        o.sweeper = m_sweeper;
        o.powerCuts = static_cast<bool>(m_sweeper);
        return mediacheck::runMediaCheck(o, r);
    }

    // The findings of the runs (codes "RUN_..." and "CD_..."), as
    // "CODE path: message" lines, one per message.
    static std::vector<std::string> runFindings(const mediacheck::CheckReport &r) {
        std::vector<std::string> out;
        for (const mediacheck::Finding &f : r.findings)
            if (f.code.compare(0, 4, "RUN_") == 0 || f.code.compare(0, 3, "CD_") == 0) {
                // A finding that stands for several tells each of them.
                if (f.messages.size() > 1)
                    for (const std::string &m : f.messages)
                        out.push_back(f.code + " " + f.path + ": " + m);
                else
                    out.push_back(f.code + " " + f.path + ": " + f.message);
            }
        return out;
    }
    static std::string joined(const std::vector<std::string> &lines) {
        std::string text;
        for (const std::string &l : lines)
            text += l + "\n";
        return text;
    }

    mediacheck::CutSweeper m_sweeper;
};

// Every run of a clean medium ends with 0 and installs every country; the
// states run are the empty card and the older one (the card given too when
// there is one).
TEST_F(Outcome, CleanDvdAndTheDocumentedCdInstallOnEveryCardState) {
    buildDvd();
    mediacheck::CheckReport dvd;
    EXPECT_EQ(check(dvd), 0) << mediacheck::renderText(dvd);
    EXPECT_TRUE(dvd.findings.empty()) << mediacheck::renderText(dvd);
    ASSERT_EQ(dvd.runs.size(), 2u) << mediacheck::renderText(dvd);
    EXPECT_EQ(dvd.runs[0].state, mediacheck::k_state_empty);
    EXPECT_EQ(dvd.runs[1].state, mediacheck::k_state_older);
    for (const mediacheck::ScriptRunReport &run : dvd.runs) {
        EXPECT_EQ(run.status, 0) << run.state;
        EXPECT_EQ(run.installed, (std::vector<std::string>{"FRA", "ITA"})) << run.state;
    }

    removeTree(mediaDir());
    buildDocumentedCd();
    // The card given holds Spain at the CD's own version: reinstalled.
    ASSERT_TRUE(writeFile(sdDir() + "/MAPPE/ESP/CD_VER.NAV.INF",
                          "CID:ESP\nVERSION:6\nRELEASE:1\nCID_SIZE:1\n"));
    mediacheck::CheckReport cd;
    EXPECT_EQ(check(cd, "", {4096}, true), 0) << mediacheck::renderText(cd);
    EXPECT_EQ(cd.upgradeType, 0);
    EXPECT_TRUE(cd.findings.empty()) << mediacheck::renderText(cd);
    ASSERT_EQ(cd.runs.size(), 3u) << mediacheck::renderText(cd);
    EXPECT_EQ(cd.runs[0].state, mediacheck::k_state_given);
    for (const mediacheck::ScriptRunReport &run : cd.runs) {
        EXPECT_EQ(run.status, 0) << run.state;
        EXPECT_EQ(run.installed, std::vector<std::string>{"ESP"}) << run.state;
    }

    // A card whose Spain is newer than the CD's: nothing to install, and
    // nothing is missed.
    ASSERT_TRUE(writeFile(sdDir() + "/MAPPE/ESP/CD_VER.NAV.INF",
                          "CID:ESP\nVERSION:7\nRELEASE:0\nCID_SIZE:1\n"));
    mediacheck::CheckReport newer;
    EXPECT_EQ(check(newer, "", {4096}, true), 0) << mediacheck::renderText(newer);
    ASSERT_FALSE(newer.runs.empty());
    EXPECT_TRUE(newer.runs[0].installed.empty());
}

// Each fault gives its finding with the state, the country, the file and
// the cause.
struct Case {
    const char *name;
    std::function<void(Outcome &)> make;
    const char *code;
    const char *path;
    std::vector<const char *> says; // each in the finding's message
    int rc = 1;                     // check's status
    bool withCard = false;          // the card of sdDir() given too
};
const std::vector<Case> &runCases() {
    static const std::vector<Case> cases = {
        {"archive packed from inside its folder",
         [](Outcome &t) {
             t.buildDvd(nullptr, [](TarBuilder &tar) {
                 tar.dir("./").file("./map.dat", "map of FRA").file("./idx.dat", "i");
             });
         },
         "RUN_TREE_DIFFERS",
         "MAPPE/FRA/FRA.tgz",
         {mediacheck::k_state_empty, "FRA claims version 5.1", "MAPPE/FRA/map.dat",
          "no top folder FRA/"}},
        {"the same archive writes beside the country folders",
         [](Outcome &t) {
             t.buildDvd(nullptr, [](TarBuilder &tar) { tar.file("./map.dat", "map of FRA"); });
         },
         "RUN_CHANGED_OUTSIDE",
         "(SD card)",
         {mediacheck::k_state_older, "MAPPE/map.dat", "no top folder FRA/"}},
        {"a key the script looks for is misspelt",
         [](Outcome &t) {
             t.buildDvd();
             t.replaceIn("MAPPE/ITA/DESCRI.DAT", "MAP_ARCHIVE", "MAP_ARCHIV");
         },
         "RUN_NOT_INSTALLED",
         "MAPPE/ITA/DESCRI.DAT",
         {mediacheck::k_state_empty, "ITA is offered but not installed", "key MAP_ARCHIVE"}},
        {"a country folder not named after its code",
         [](Outcome &t) { t.buildDvd([](CountryDef &c) { c.dir = "ITALIA"; }); },
         "RUN_NOT_INSTALLED",
         "MAPPE/ITALIA",
         {"ITA is offered", "the script reads MAPPE/ITA/DESCRI.DAT"}},
        {"the POI key misspelt",
         [](Outcome &t) {
             t.buildDvd();
             t.replaceIn("DESCRI.DAT", "POI_DOWNLOAD", "POI_DOWNLOD");
         },
         "RUN_POI_NOT_STAGED",
         "POI/POI_UPD.tgz",
         {"with the key POI_DOWNLOD, not POI_DOWNLOAD"}},
        {"a CD whose version is no number",
         [](Outcome &t) {
             t.buildDocumentedCd();
             t.replaceIn("MAPPE/ESP/CD_VER.NAV.INF", "VERSION:6", "VERSION:seven");
         },
         "RUN_NOT_INSTALLED",
         "MAPPE/ESP/CD_VER.NAV.INF",
         {mediacheck::k_state_empty, "VERSION 'seven' is not a number"}},
        {"the same CD version, as the CD checks read it",
         [](Outcome &t) {
             t.buildDocumentedCd();
             t.replaceIn("MAPPE/ESP/CD_VER.NAV.INF", "VERSION:6", "VERSION:seven");
         },
         "CD_VALUE",
         "MAPPE/ESP/CD_VER.NAV.INF",
         {"VERSION 'seven' is not a number"}},
        {"a CD's folder not named after its code",
         [](Outcome &t) {
             t.buildDocumentedCd();
             t.replaceIn("MAPPE/ESP/CD_VER.NAV.INF", "CID:ESP", "CID:SPA");
         },
         "CD_FOLDER",
         "MAPPE/ESP",
         {"holds the country SPA"}},
        {"a CD's descriptor without its archive's line",
         [](Outcome &t) {
             t.buildDocumentedCd();
             t.replaceIn("MAPPE/ESP/DESCRI.DAT", "MAP_ARCHIVE", "MAP_ARCHIV");
         },
         "CD_KEY_MISSING",
         "MAPPE/ESP/DESCRI.DAT",
         {"no line with the key MAP_ARCHIVE"}},
        {"a CD's group file of another country",
         [](Outcome &t) {
             t.buildDocumentedCd();
             t.replaceIn("MAPPE/ESP/GRUPPO_4_CID.DAT.inf", "VER:ESP", "VER:SPA");
         },
         "CD_GROUP",
         "MAPPE/ESP/GRUPPO_4_CID.DAT.inf",
         {"its VER is 'SPA'"}},
        {"a DVD country's version that is no number",
         [](Outcome &t) {
             t.buildDvd();
             t.replaceIn("MAPPE/ITA/CD_VER.NAV.INF", "VERSION:", "VERSION:seven");
         },
         "RUN_VERSION_FILE",
         "MAPPE/ITA/CD_VER.NAV.INF",
         {"no pair of numbers"}},
        {"files of the version before stay in the country's folder",
         [](Outcome &t) {
             t.buildDvd();
             ASSERT_TRUE(writeFile(t.sdDir() + "/MAPPE/FRA/CD_VER.NAV.INF",
                                   "CID:FRA\nVERSION:1\nRELEASE:0\nCID_SIZE:1\n"));
             ASSERT_TRUE(writeFile(t.sdDir() + "/MAPPE/FRA/OLD.DAT", "old roads"));
         },
         "RUN_STALE_FILES",
         "MAPPE/FRA",
         {"MAPPE/FRA/OLD.DAT"},
         0,
         true},
        {"a card given that cannot be copied (it holds a link)",
         [](Outcome &t) {
             t.buildDvd();
             ASSERT_TRUE(writeFile(t.sdDir() + "/MAPPE/a.dat", "a"));
             fs::create_symlink("a.dat", t.sdDir() + "/MAPPE/link.dat");
         },
         "RUN_HOST",
         "(SD card)",
         {"cannot be copied"},
         1,
         true},
    };
    return cases;
}

TEST_F(Outcome, FaultsOnlyTheRunShowAreFoundWithTheirCause) {
    const std::vector<Case> &cases = runCases();
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        removeTree(mediaDir());
        removeTree(sdDir());
        fs::create_directories(sdDir());
        c.make(*this);
        mediacheck::CheckReport r;
        EXPECT_EQ(check(r, "", {4096}, c.withCard), c.rc) << mediacheck::renderText(r);
        const std::vector<std::string> found = runFindings(r);
        bool hit = false;
        // A finding of one code in one file may stand for several: one of
        // its messages must tell all of the case's texts.
        for (const mediacheck::Finding &f : r.findings) {
            if (f.code != c.code || f.path != c.path)
                continue;
            std::vector<std::string> messages = f.messages;
            if (messages.empty())
                messages.push_back(f.message);
            for (const std::string &m : messages) {
                bool all = true;
                for (const char *say : c.says)
                    all = all && m.find(say) != std::string::npos;
                hit = hit || all;
            }
        }
        EXPECT_TRUE(hit) << joined(found);
        // Each fault is told once for all the states it holds on.
        std::set<std::string> once(found.begin(), found.end());
        EXPECT_EQ(once.size(), found.size()) << joined(found);
    }
}

// A script that ends with 0 but claims what it did not install, or writes
// where no country lies, is caught by the card it leaves; a failing status
// is a finding of its own.
TEST_F(Outcome, AScriptIsJudgedByTheCardItLeavesNotByItsStatus) {
    buildDvd();
    const std::string header = "#include <stdio.h>\n#include \"upgrade_builtins.h\"\n";
    // Copies the version files, extracts nothing.
    const std::string claims = script("claims.c", header + R"(
int main(void) {
    UPGCopy("/DVD/MAPPE/FRA/CD_VER.NAV.INF", "/SDH/MAPPE/FRA/CD_VER.NAV.INF", 0);
    UPGCopy("/DVD/MAPPE/ITA/CD_VER.NAV.INF", "/SDH/MAPPE/ITA/CD_VER.NAV.INF", 0);
    return 0;
}
)");
    mediacheck::CheckReport r;
    EXPECT_EQ(check(r, claims), 1);
    std::string text = joined(runFindings(r));
    EXPECT_NE(text.find("RUN_TREE_DIFFERS MAPPE/FRA/FRA.tgz: the upgrade script run on an "
                        "empty card (4096-byte blocks): FRA claims version 5.1 but MAPPE/FRA/ "
                        "has 1 of its archive's files missing (MAPPE/FRA/map.dat)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("RUN_POI_NOT_STAGED POI/POI_UPD.tgz.inf"), std::string::npos) << text;

    // Installs properly, then leaves a file of its own and fails.
    const std::string stray = script("stray.c", header + R"(
int main(void) {
    FILE *f;
    UnCompress("/DVD/MAPPE/FRA/FRA.tgz", "/SDH/MAPPE/");
    UPGCopy("/DVD/MAPPE/FRA/CD_VER.NAV.INF", "/SDH/MAPPE/FRA/CD_VER.NAV.INF", 0);
    f = fopen("/SDH/NOTES.TXT", "w");
    fputs("x", f);
    fclose(f);
    fprintf(stderr, "ITA skipped on purpose\n");
    return 4;
}
)");
    EXPECT_EQ(check(r, stray), 1);
    text = joined(runFindings(r));
    EXPECT_NE(text.find("RUN_FAILED stray.c: the upgrade script run on an empty card (4096-byte "
                        "blocks) and a card with the medium's countries at an older version "
                        "(4096-byte blocks): the script ended with status 4 (it said: ITA "
                        "skipped on purpose)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("RUN_CHANGED_OUTSIDE (SD card): the upgrade script run on an empty card "
                        "(4096-byte blocks) and a card with the medium's countries at an older "
                        "version (4096-byte blocks): 1 paths changed that no installed country "
                        "or POI staging explains (NOTES.TXT)"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("RUN_NOT_INSTALLED MAPPE/ITA: "), std::string::npos) << text;
    EXPECT_EQ(text.find("RUN_NOT_INSTALLED MAPPE/FRA"), std::string::npos) << text;
    ASSERT_EQ(r.runs.size(), 2u);
    EXPECT_EQ(r.runs[0].installed, std::vector<std::string>{"FRA"});
    // A truncated archive: the country is not installed, for the cause the
    // archive checks name.
    const std::string fra = mediaDir() + "/MAPPE/FRA/FRA.tgz";
    const std::string whole = readFile(fra);
    ASSERT_TRUE(writeFile(fra, whole.substr(0, whole.size() / 2)));
    EXPECT_EQ(check(r), 1);
    text = joined(runFindings(r));
    EXPECT_NE(text.find("RUN_NOT_INSTALLED MAPPE/FRA/FRA.tgz: the upgrade script run on an empty "
                        "card (4096-byte blocks) and a card with the medium's countries at an "
                        "older version (4096-byte blocks): FRA is offered but not installed: the "
                        "run put no MAPPE/FRA/CD_VER.NAV.INF in place (the archive cannot be "
                        "read to its end: "),
              std::string::npos)
        << text;
}

// Where the user has POIs of a country, its staging folder holds the user's
// files with the delivered groups whose DATE is not older: the module's
// merge passes with either date, a merge that keeps the user's file of a
// newer group does not.
TEST_F(Outcome, PoiStagingFollowsTheDatesOfTheUsersGroups) {
    buildDvd();
    ASSERT_TRUE(writeInstalledCountry(sdDir(), InstalledCountry{"FRA", "4", "0", {}}));
    const std::string user = sdDir() + "/MAPPE/POI_USER/FRA/";
    ASSERT_TRUE(writeFile(user + "RST.lzw", "my restaurants"));
    ASSERT_TRUE(writeFile(user + "MUS.lzw", "my museums"));
    for (const char *date : {"20250101", "20230101"}) {
        SCOPED_TRACE(date);
        ASSERT_TRUE(writeFile(user + "poi_ver_RST.txt", std::string("PREFIX:RST\nDATE:") + date));
        mediacheck::CheckReport r;
        EXPECT_EQ(check(r, "", {4096}, true), 0) << mediacheck::renderText(r);
        EXPECT_TRUE(runFindings(r).empty()) << joined(runFindings(r));
    }
    // The user's group is older: a merge that keeps the user's file is wrong.
    const std::string keeps = script("keeps.c", R"(#include "upgrade_builtins.h"
int main(void) {
    InstalPOIs("/DVD/POI/POI_UPD.tgz", "POIs");
    return UPGCopy("/SDH/MAPPE/POI_USER/FRA/RST.lzw", "/SDH/MAPPE/POI_USER/TEMP_FRA/RST.lzw", 0);
}
)");
    mediacheck::CheckReport r;
    EXPECT_EQ(check(r, keeps, {4096}, true), 1);
    EXPECT_NE(joined(runFindings(r))
                  .find("RUN_POI_NOT_STAGED POI/POI_UPD.tgz: the upgrade script run on the card "
                        "given (4096-byte blocks): FRA: MAPPE/POI_USER/TEMP_FRA does not hold the "
                        "user's POIs with the delivered groups that are not older "
                        "(MAPPE/POI_USER/TEMP_FRA/RST.lzw)"),
              std::string::npos)
        << joined(runFindings(r));
}

// A state runs again at another block size only where the module offers
// another set of countries there: Italia has no size for 8 KiB blocks.
TEST_F(Outcome, BlockSizesRunOnlyWhereTheOfferDiffers) {
    buildDvd([](CountryDef &c) { c.sizes = {{"CID_SIZE_4", "8192"}}; });
    mediacheck::CheckReport r;
    check(r, "", {4096, 8192, 16384});
    std::vector<std::pair<std::string, long>> played;
    for (const mediacheck::ScriptRunReport &run : r.runs)
        played.push_back({run.state, run.blockSize});
    const std::vector<std::pair<std::string, long>> expected = {{mediacheck::k_state_empty, 4096},
                                                                {mediacheck::k_state_empty, 8192},
                                                                {mediacheck::k_state_older, 4096},
                                                                {mediacheck::k_state_older, 8192}};
    EXPECT_EQ(played, expected) << mediacheck::renderText(r);
    ASSERT_EQ(r.runs.size(), 4u);
    EXPECT_EQ(r.runs[1].installed, std::vector<std::string>{"FRA"});
}

// With power cuts every run is swept, on the state's card and block size;
// what the sweep finds is a finding of that state.
TEST_F(Outcome, PowerCutProblemsBecomeFindingsOfTheirState) {
    buildDvd();
    std::vector<mediacheck::CutRequest> asked;
    m_sweeper = [&](const mediacheck::CutRequest &q) {
        asked.push_back(q);
        mediacheck::CutVerdict v;
        v.cuts = 7;
        v.operations = 6;
        v.spans = {{1, 6, 6, "(no claim)", false, ""},
                   {7, 7, 1, "FRA 2.0 (FALSE)", true, "during UnCompress (call 2) at s.c:4"}};
        if (fs::exists(q.card + "/MAPPE/FRA"))
            v.problems.push_back("1 of 7 cuts do not converge");
        return v;
    };
    mediacheck::CheckReport r;
    EXPECT_EQ(check(r), 1);
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].blockSize, 4096);
    EXPECT_FALSE(asked[0].script.empty());
    EXPECT_EQ(joined(runFindings(r)),
              "RUN_POWER_CUT (SD card): the upgrade script run on a card with the medium's "
              "countries at an older version (4096-byte blocks): 1 of 7 cuts do not converge\n");
    EXPECT_EQ(r.runs[0].cuts, 7u);
    // Each run keeps its sweep's timeline and the countries offered on it.
    ASSERT_EQ(r.runs.size(), 2u);
    EXPECT_EQ(r.runs[1].operations, 6u);
    ASSERT_EQ(r.runs[1].spans.size(), 2u);
    EXPECT_TRUE(r.runs[1].spans[1].falseClaim);
    EXPECT_EQ(r.runs[1].offered, (std::vector<std::string>{"FRA", "ITA"}));
    const nlohmann::json j = nlohmann::json::parse(mediacheck::renderJson(r));
    EXPECT_EQ(j["runs"][1]["offered"], nlohmann::json::array({"FRA", "ITA"}));
    const nlohmann::json span = {
        {"from", 7},           {"to", 7},
        {"cuts", 1},           {"claims", "FRA 2.0 (FALSE)"},
        {"false_claim", true}, {"place", "during UnCompress (call 2) at s.c:4"}};
    EXPECT_EQ(j["runs"][1]["cut_spans"][1], span);
}

} // namespace

// The codes the run tests of this file make: the fault table's, and those
// the single tests above assert by their text.
std::vector<std::string> codesTheRunTestsMake() {
    std::vector<std::string> codes = {"RUN_FAILED", "RUN_CHANGED_OUTSIDE", "RUN_POWER_CUT",
                                      "RUN_TREE_DIFFERS", "RUN_POI_NOT_STAGED"};
    for (const Case &c : runCases())
        codes.push_back(c.code);
    return codes;
}
