// The simulator's "analyse" command run as a user would: its JSON report
// (escaped texts, null for what the medium lacks, the countries left out
// with the module's reason) and its exit status, 0 whenever the analysis
// ran, whatever the medium holds.
#include "tests/GATEWAYS/Map_upgrade_plugin/src/cartotree_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <map>

namespace {

using nlohmann::json;
using testsupport::CountryDef;
using testsupport::MediaBuilder;

class AnalyseCliTest : public cartotest::CartoTreeTest {
protected:
    void SetUp() override {
        CartoTreeTest::SetUp();
        m_upgsim = testsupport::upgsimPath();
        if (access(m_upgsim.c_str(), X_OK) != 0)
            GTEST_SKIP() << "upgsim not built at " << m_upgsim;
    }

    // Runs "upgsim --media <media> --sd <sd> <args>"; returns the exit code,
    // standard output in m_out.
    int run(const std::string &args) {
        int status = testsupport::runUpgsim("--media " + testsupport::shellQuote(mediaDir()) +
                                                " --sd " + testsupport::shellQuote(sdDir()) +
                                                " --sd-block-size 4096 " + args,
                                            root());
        m_out = testsupport::readFile(root() + "/stdout");
        m_json = json::parse(m_out, nullptr, false);
        return status;
    }

    std::string m_upgsim, m_out;
    json m_json; // m_out parsed; discarded when it is not JSON
};

TEST_F(AnalyseCliTest, JsonReportEscapesTheMediumsTexts) {
    MediaBuilder medium(mediaDir());
    CountryDef ita;
    ita.cid = "ITA";
    // A backslash, a tab, a Latin-1 byte and valid UTF-8 in the name.
    ita.name = "It\\al\tia\xE9 \xC3\xA9";
    // A country without a size for the card's 4 KiB blocks is left out,
    // with the module's reason.
    CountryDef fra;
    fra.cid = "FRA";
    fra.name = "France";
    fra.sizes = {{"CID_SIZE_8", "10"}};
    medium.country(ita).country(fra);
    ASSERT_TRUE(medium.build());

    ASSERT_EQ(run("analyse --json"), 0);
    ASSERT_TRUE(m_json.is_object()) << m_out;
    EXPECT_EQ(m_json["upgrade_type"], 1);
    EXPECT_EQ(m_json["curr_vers_navi_file"], "/DVD/MAPS/CURR_VERS_NAVI.TXT");
    EXPECT_EQ(m_json["cid_list_result"], 0);
    ASSERT_EQ(m_json["countries"].size(), 2u);
    const json &country = m_json["countries"][0];
    EXPECT_EQ(country["offered"], true);
    // A country left out comes after the offered ones, with the module's reason.
    const json &left = m_json["countries"][1];
    EXPECT_EQ(left["cid"], "FRA");
    EXPECT_EQ(left["country_name"], "France");
    EXPECT_EQ(left["offered"], false);
    EXPECT_EQ(left["reason"], "no size for 4096-byte blocks in MAPPE/FRA/CD_VER.NAV.INF (neither "
                              "CID_SIZE_4 nor CID_SIZE)");
    // The byte of no valid UTF-8 as U+FFFD, the UTF-8 as it is; the bytes
    // themselves, escaped, beside.
    EXPECT_EQ(country["country_name"], "It\\al\tia\xEF\xBF\xBD \xC3\xA9") << m_out;
    EXPECT_EQ(country["country_name_raw"], "It\\\\al\\x09ia\\xe9 \\xc3\\xa9") << m_out;
    EXPECT_FALSE(left.contains("country_name_raw"));
    EXPECT_EQ(country["new_size"], 100);
    EXPECT_EQ(country["old_version"], "");

    // The text: one country in the singular, and a long reason broken to fit
    // 80 columns.
    ASSERT_EQ(run("analyse"), 0);
    EXPECT_TRUE(contains(m_out, "result 0, 1 country offered\n")) << m_out;
    EXPECT_TRUE(contains(m_out, "  FRA  left out: no size for 4096-byte blocks")) << m_out;
    size_t start = 0;
    for (size_t nl = m_out.find('\n'); nl != std::string::npos; nl = m_out.find('\n', start)) {
        EXPECT_LE(nl - start, 80u) << m_out.substr(start, nl - start);
        start = nl + 1;
    }
}

TEST_F(AnalyseCliTest, TextSaysWhatTheScriptsTableHoldsDifferently) {
    // One country more than the table holds, the first with a name longer
    // than its field.
    MediaBuilder medium(mediaDir());
    const std::string longName(70, 'n');
    for (int i = 0; i < 70; ++i) {
        CountryDef c;
        c.cid =
            std::string("C") + static_cast<char>('0' + i / 10) + static_cast<char>('0' + i % 10);
        c.name = i == 0 ? longName : "Country " + c.cid;
        medium.country(c);
    }
    ASSERT_TRUE(medium.build());

    ASSERT_EQ(run("analyse"), 0);
    EXPECT_TRUE(contains(m_out, "70 countries offered")) << m_out;
    EXPECT_TRUE(contains(m_out, "holds 69 of the 70 countries offered"));
    EXPECT_TRUE(contains(m_out, "script:     country_name \"" + longName.substr(0, 63) +
                                    "\" (cut to 63 characters)"));
    const size_t last = m_out.find("  C69  ");
    ASSERT_NE(last, std::string::npos);
    EXPECT_NE(m_out.find("not in the script's table (it holds 69)", last), std::string::npos);
    EXPECT_EQ(m_out.find("not in the script's table"),
              m_out.find("not in the script's table", last));

    // The JSON keeps every country with its full texts.
    ASSERT_EQ(run("analyse --json"), 0);
    ASSERT_EQ(m_json["countries"].size(), 70u) << m_out;
    std::map<std::string, std::string> names;
    for (const json &c : m_json["countries"])
        names[c["cid"].get<std::string>()] = c["country_name"].get<std::string>();
    EXPECT_EQ(names["C00"], longName);
    EXPECT_EQ(names["C69"], "Country C69");
}

TEST_F(AnalyseCliTest, MediaWithoutAnUpgradeSayWhy) {
    // No medium at all, or another descriptor name: it cannot be analysed,
    // and the command says why and fails.
    for (const char *args : {"analyse --json", "analyse --json --descriptor NOPE.DAT"}) {
        ASSERT_EQ(run(args), 1) << args;
        ASSERT_TRUE(m_json.is_object()) << m_out;
        EXPECT_EQ(m_json["code"], 1);
        EXPECT_TRUE(contains(m_json["error"].get<std::string>(), "No such file or directory"))
            << m_out;
    }

    // A descriptor that names no version file: no upgrade, with the reason.
    ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/DESCRI.DAT", "A 1 0 B C\n"));
    ASSERT_EQ(run("analyse --json"), 0);
    ASSERT_TRUE(m_json.is_object()) << m_out;
    EXPECT_EQ(m_json["upgrade_type"], -1);
    EXPECT_TRUE(contains(m_json["reason"].get<std::string>(), "lists no version file")) << m_out;
    EXPECT_TRUE(m_json["curr_vers_navi_folder"].is_null());
    EXPECT_TRUE(m_json["cid_list_result"].is_null());
    EXPECT_EQ(m_json["countries"], json::array());

    // A country-selection medium without its "MAPPE/" folder: the list
    // fails for the medium's sake, the command does not.
    MediaBuilder medium(mediaDir());
    ASSERT_TRUE(medium.build());
    ASSERT_EQ(run("analyse --json"), 0);
    EXPECT_EQ(m_json["cid_list_result"], -1) << m_out;

    // A descriptor name longer than the builtin's buffer (16 characters) is
    // a usage error, under --json the error object; one of 16 is taken, and
    // fails only because no such descriptor opens.
    EXPECT_EQ(run("analyse --descriptor ABCDEFGHIJKLMNOP"), 1);
    EXPECT_EQ(run("analyse --descriptor ABCDEFGHIJKLMNOPQ"), 2);
    EXPECT_EQ(run("analyse --json --descriptor ABCDEFGHIJKLMNOPQ"), 2);
    EXPECT_EQ(m_json["code"], 2) << m_out;
}

// Sizes the module's analysis slows with the square of are refused before
// it runs, naming the file and the limit; the countries' only on a medium
// whose countries are scanned.
TEST_F(AnalyseCliTest, MediaBeyondTheLimitsAreRefusedNamingThem) {
    MediaBuilder medium(mediaDir());
    CountryDef ita;
    ita.cid = "ITA";
    medium.country(ita);
    ASSERT_TRUE(medium.build());
    const std::string descri = testsupport::readFile(mediaDir() + "/DESCRI.DAT");
    std::string lines; // 2046 more: one past 2048 with the builder's three
    for (int i = 0; i < 2046; ++i)
        lines += testsupport::descriLine("ICON_BRANDS", "ICONS\\BRANDS.BIN");
    ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/DESCRI.DAT", descri + lines));
    ASSERT_EQ(run("analyse --json"), 1);
    ASSERT_TRUE(m_json.is_object()) << m_out;
    const std::string error = m_json["error"].get<std::string>();
    EXPECT_TRUE(contains(error, "refused: DESCRI.DAT: more than 2048 lines")) << error;
    EXPECT_TRUE(contains(error, "(MEDIUM_TOO_LARGE; medium.md: How large a medium upgsim "
                                "analyses)"))
        << error;

    ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/DESCRI.DAT", descri));
    const std::string itaDescri = mediaDir() + "/MAPPE/ITA/DESCRI.DAT";
    std::string more; // one past 128 with the country's two
    for (int i = 0; i < 127; ++i)
        more += testsupport::descriLine("EXTRA", "MAPPE\\ITA\\CD_VER.NAV.INF");
    ASSERT_TRUE(testsupport::writeFile(itaDescri, testsupport::readFile(itaDescri) + more));
    ASSERT_EQ(run("analyse --json"), 1);
    EXPECT_TRUE(contains(m_out, "refused: MAPPE/ITA/DESCRI.DAT: more than 128 lines")) << m_out;
    // A single-country medium's folders are not scanned: analysed.
    medium.kind(MediaBuilder::Kind::SingleCountry);
    ASSERT_TRUE(medium.build());
    ASSERT_TRUE(testsupport::writeFile(itaDescri, testsupport::readFile(itaDescri) + more));
    ASSERT_EQ(run("analyse --json"), 0) << m_out;
    EXPECT_EQ(m_json["upgrade_type"], 0);
}

} // namespace
