// "upgsim sweep": claims checked against the cards before and after a clean
// run; small scripts whose faults a cut shows (a version file kept while its
// data is rewritten, a re-run that differs); and the example scripts on the
// demo's unit, which must converge at every cut with no false claim.
#include "tests/support/unit_fixture.h"
#include "tools/scripthost/demo.h"
#include "tools/sweep/sweep.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <set>

namespace {

using nlohmann::json;
using testsupport::readFile;
using testsupport::writeFile;

// ---- Claims against the two cards --------------------------------------------

sweep::Entry fileEntry(uint64_t size, unsigned char tag) {
    sweep::Entry e;
    e.size = size;
    e.sha256[0] = tag;
    return e;
}

sweep::CardImage card(const std::vector<std::pair<std::string, sweep::Entry>> &files) {
    return sweep::CardImage(files.begin(), files.end());
}

const sweep::CardImage k_before = card({
    {"MAPPE/FRA/CD_VER.NAV.INF", fileEntry(30, 1)},
    {"MAPPE/FRA/ROADS.DAT", fileEntry(24, 2)},
    {"MAPPE/DEU/CD_VER.NAV.INF", fileEntry(30, 3)},
    {"MAPPE/POI_USER/FRA/RST.lzw", fileEntry(10, 4)},
    {"POI_VER.POI", fileEntry(20, 5)},
});
const sweep::CardImage k_clean = card({
    {"MAPPE/FRA/CD_VER.NAV.INF", fileEntry(30, 11)},
    {"MAPPE/FRA/ROADS.DAT", fileEntry(600, 12)},
    {"MAPPE/DEU/CD_VER.NAV.INF", fileEntry(30, 3)},
    {"MAPPE/POI_USER/FRA/RST.lzw", fileEntry(10, 4)},
    {"MAPPE/POI_USER/TEMP_FRA/RST.lzw", fileEntry(10, 14)},
    {"TEMP_POI_VER.POI", fileEntry(20, 15)},
});
const std::vector<sweep::Claim> k_before_claims = {
    {sweep::Claim::Country, "DEU", "9.0"},
    {sweep::Claim::Country, "FRA", "5.1"},
    {sweep::Claim::Poi, "POI", "2023.01"},
};
const std::vector<sweep::Claim> k_clean_claims = {
    {sweep::Claim::Country, "DEU", "9.0"},
    {sweep::Claim::Country, "FRA", "7.2"},
    {sweep::Claim::StagedPoi, "staged POI", "2024.09"},
};

struct ClaimRow {
    const char *name;
    sweep::Claim claim;
    // Paths of the card after the cut that differ from k_before (taken from
    // k_clean, or removed when absent there).
    std::vector<std::string> fromClean;
    bool holds;
    const char *reference;
    std::vector<std::string> disagree;
};

// Test names show the row's name, not its bytes.
void PrintTo(const ClaimRow &row, std::ostream *os) {
    *os << row.name;
}

class SweepClaims : public ::testing::TestWithParam<ClaimRow> {};

TEST_P(SweepClaims, AreCheckedAgainstTheCardThatMadeThem) {
    const ClaimRow &row = GetParam();
    sweep::CardImage image = k_before;
    for (const std::string &p : row.fromClean) {
        auto it = k_clean.find(p);
        if (it == k_clean.end())
            image.erase(p);
        else
            image[p] = it->second;
    }
    std::vector<sweep::ClaimCheck> checks =
        sweep::checkClaims({row.claim}, image, k_before_claims, k_before, k_clean_claims, k_clean);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].holds, row.holds);
    EXPECT_EQ(checks[0].reference, row.reference);
    std::vector<std::string> paths;
    for (const sweep::Mismatch &m : checks[0].mismatches)
        paths.push_back(m.path);
    EXPECT_EQ(paths, row.disagree);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SweepClaims,
    ::testing::Values(
        ClaimRow{"OldVersionOverOldFiles",
                 {sweep::Claim::Country, "FRA", "5.1"},
                 {},
                 true,
                 "before",
                 {}},
        ClaimRow{"OldVersionOverNewData",
                 {sweep::Claim::Country, "FRA", "5.1"},
                 {"MAPPE/FRA/ROADS.DAT"},
                 false,
                 "before",
                 {"MAPPE/FRA/ROADS.DAT"}},
        ClaimRow{"NewVersionOverNewFiles",
                 {sweep::Claim::Country, "FRA", "7.2"},
                 {"MAPPE/FRA/CD_VER.NAV.INF", "MAPPE/FRA/ROADS.DAT"},
                 true,
                 "clean",
                 {}},
        ClaimRow{"NewVersionOverOldData",
                 {sweep::Claim::Country, "FRA", "7.2"},
                 {"MAPPE/FRA/CD_VER.NAV.INF"},
                 false,
                 "clean",
                 {"MAPPE/FRA/ROADS.DAT"}},
        // Kept by the run: either card backs it.
        ClaimRow{"KeptCountry", {sweep::Claim::Country, "DEU", "9.0"}, {}, true, "clean", {}},
        // A version neither card held (a line lost): shown against the clean card.
        ClaimRow{"VersionOfNeitherCard",
                 {sweep::Claim::Country, "FRA", "7.?"},
                 {"MAPPE/FRA/CD_VER.NAV.INF", "MAPPE/FRA/ROADS.DAT"},
                 false,
                 "clean",
                 {}},
        // The staged version before its folders; the user's folder is no
        // part of it.
        ClaimRow{"StagedVersionWithoutItsFolder",
                 {sweep::Claim::StagedPoi, "staged POI", "2024.09"},
                 {"TEMP_POI_VER.POI"},
                 false,
                 "clean",
                 {"MAPPE/POI_USER/TEMP_FRA/RST.lzw"}},
        ClaimRow{"InstalledPoisBesideAStagingFolder",
                 {sweep::Claim::Poi, "POI", "2023.01"},
                 {"MAPPE/POI_USER/TEMP_FRA/RST.lzw"},
                 true,
                 "before",
                 {}}),
    [](const ::testing::TestParamInfo<ClaimRow> &info) { return std::string(info.param.name); });

TEST(SweepPlan, SpreadsTheSampleOverTheRun) {
    EXPECT_EQ(sweep::planCuts(5, 0), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(sweep::planCuts(5, 9), (std::vector<uint64_t>{1, 2, 3, 4, 5}));
    EXPECT_EQ(sweep::planCuts(101, 5), (std::vector<uint64_t>{1, 26, 51, 76, 101}));
    EXPECT_EQ(sweep::planCuts(10, 1), (std::vector<uint64_t>{5}));
    EXPECT_TRUE(sweep::planCuts(0, 3).empty());
}

// ---- Small scripts through the command ---------------------------------------

class SweepCli : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testsupport::makeMemoryTempDir("sweep-cli");
        ASSERT_FALSE(m_dir.empty());
        ASSERT_TRUE(testsupport::fileExists(testsupport::upgsimPath()));
    }
    void TearDown() override { testsupport::removeTree(m_dir); }

    // Runs "upgsim [global] sweep --json ARGS" on the card <dir>/sd; the
    // report in m_report.
    int sweep(const std::vector<std::string> &global, const std::vector<std::string> &args) {
        std::vector<std::string> argv = global;
        argv.insert(argv.end(),
                    {"--sd", m_dir + "/sd", "sweep", "--json", "-j", "2", "--scratch-dir", m_dir});
        argv.insert(argv.end(), args.begin(), args.end());
        const int rc = testsupport::runUpgsim(argv, m_dir);
        m_report = json::parse(readFile(m_dir + "/stdout"), nullptr, false);
        return rc;
    }
    std::string err() const { return readFile(m_dir + "/stderr"); }

    std::string m_dir;
    json m_report;
};

// The card of the small scripts: one installed country and a file of the
// driver's own.
const char k_small_card_info[] = "CID:ABC\nVERSION:1\nRELEASE:0\n";

struct ScriptRow {
    const char *name;
    const char *body; // main's body
    bool passed;
    bool falseClaims;
    bool failedReruns;
    bool changedOutside;
    std::vector<std::string> options = {};
};

void PrintTo(const ScriptRow &row, std::ostream *os) {
    *os << row.name;
}

class SweepScripts : public SweepCli, public ::testing::WithParamInterface<ScriptRow> {};

TEST_P(SweepScripts, ShowWhatACutLeaves) {
    const ScriptRow &row = GetParam();
    ASSERT_TRUE(writeFile(m_dir + "/sd/MAPPE/ABC/CD_VER.NAV.INF", k_small_card_info));
    ASSERT_TRUE(writeFile(m_dir + "/sd/MAPPE/ABC/DATA", "old data\n"));
    ASSERT_TRUE(writeFile(m_dir + "/sd/MINE.TXT", "the driver's\n"));
    ASSERT_TRUE(writeFile(m_dir + "/script.c",
                          std::string("#include <stdio.h>\n"
                                      "static int put(const char *p, const char *t) {\n"
                                      "    FILE *f = fopen(p, \"w\");\n"
                                      "    if (f == NULL) return -1;\n"
                                      "    fputs(t, f);\n"
                                      "    return fclose(f);\n"
                                      "}\n"
                                      "int main(void) {\n") +
                              row.body + "\n}\n"));
    std::vector<std::string> args = row.options;
    args.push_back(m_dir + "/script.c");
    const int rc = sweep({}, args);
    ASSERT_FALSE(m_report.is_discarded()) << err();
    EXPECT_EQ(rc, row.passed ? 0 : 1) << err();
    EXPECT_EQ(m_report["passed"], row.passed);
    EXPECT_EQ(m_report["cuts"], m_report["operations"]);
    EXPECT_GT(m_report["operations"].get<int>(), 3);
    EXPECT_EQ(!m_report["false_claims"].empty(), row.falseClaims) << m_report.dump(1);
    EXPECT_EQ(!m_report["failed_reruns"].empty(), row.failedReruns) << m_report.dump(1);
    EXPECT_EQ(!m_report["changed_outside"].empty(), row.changedOutside) << m_report.dump(1);
    // The card given is only read.
    EXPECT_EQ(readFile(m_dir + "/sd/MAPPE/ABC/CD_VER.NAV.INF"), k_small_card_info);
    EXPECT_EQ(readFile(m_dir + "/sd/MAPPE/ABC/DATA"), "old data\n");
    EXPECT_EQ(readFile(m_dir + "/sd/MINE.TXT"), "the driver's\n");
    EXPECT_FALSE(testsupport::fileExists(m_dir + "/sd/NEW"));
    EXPECT_FALSE(testsupport::fileExists(m_dir + "/sd/WORK"));
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SweepScripts,
    ::testing::Values(
        ScriptRow{"VersionFileLast",
                  "remove(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\");\n"
                  "put(\"/SDH/MAPPE/ABC/DATA\", \"new data\\n\");\n"
                  "return put(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\", \"VERSION:2\\nRELEASE:0\\n\");",
                  true, false, false, false},
        ScriptRow{"VersionFileKept",
                  "put(\"/SDH/MAPPE/ABC/DATA\", \"new data\\n\");\n"
                  "return put(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\", \"VERSION:2\\nRELEASE:0\\n\");",
                  false, true, false, false},
        // A re-run that finds the first run's mark takes the driver's file.
        ScriptRow{"RerunTouchesTheDriversFile",
                  "FILE *mark = fopen(\"/SDH/NEW\", \"r\");\n"
                  "if (mark != NULL) { fclose(mark); remove(\"/SDH/MINE.TXT\"); }\n"
                  "put(\"/SDH/NEW\", \"1\\n\");\n"
                  "put(\"/SDH/WORK\", \"x\\n\");\n"
                  "return remove(\"/SDH/NEW\");",
                  false, false, false, true},
        ScriptRow{"RerunFails",
                  "FILE *mark = fopen(\"/SDH/NEW\", \"r\");\n"
                  "if (mark != NULL) { fclose(mark); return 3; }\n"
                  "put(\"/SDH/NEW\", \"1\\n\");\n"
                  "put(\"/SDH/WORK\", \"x\\n\");\n"
                  "return remove(\"/SDH/NEW\");",
                  false, false, true, false},
        // A re-run that hangs is stopped and reported; the sweep goes on.
        ScriptRow{"RerunHangs",
                  "FILE *mark = fopen(\"/SDH/NEW\", \"r\");\n"
                  "if (mark != NULL) for (;;) {}\n"
                  "put(\"/SDH/NEW\", \"1\\n\");\n"
                  "return remove(\"/SDH/NEW\");",
                  false,
                  false,
                  true,
                  false,
                  {"--timeout", "2"}}),
    [](const ::testing::TestParamInfo<ScriptRow> &info) { return std::string(info.param.name); });

// Another program that writes the card during the sweep (here: the test,
// after the first cut) is told, never blamed on the script, and the sweep
// fails: its copies may have been taken of different cards.
class SweepCard : public testsupport::UnitFixture {};

TEST_F(SweepCard, AChangeByAnotherProgramIsTold) {
    ASSERT_TRUE(writeFile(sdDir() + "/MINE.TXT", "the driver's\n"));
    ASSERT_TRUE(writeFile(root() + "/script.c", "#include <stdio.h>\n"
                                                "int main(void) {\n"
                                                "    FILE *f = fopen(\"/SDH/NEW\", \"w\");\n"
                                                "    fputs(\"1\\n\", f);\n"
                                                "    return fclose(f);\n"
                                                "}\n"));
    hostsim::unmountDevice("/SDH");
    hostsim::setTickRate(100000);
    sweep::SweepOptions o;
    o.script = root() + "/script.c";
    o.sdDir = sdDir();
    o.scratchParent = root();
    o.progress = [&](unsigned done, unsigned) {
        if (done == 1)
            writeFile(sdDir() + "/MINE.TXT", "changed meanwhile\n");
    };
    const sweep::SweepReport r = sweep::runSweep(o);
    ASSERT_TRUE(r.error.empty()) << r.error;
    EXPECT_EQ(r.cardChanged, std::vector<std::string>{"MINE.TXT"});
    EXPECT_FALSE(r.passed());
    EXPECT_NE(sweep::renderText(r).find("the card changed during the sweep, by another program"),
              std::string::npos)
        << sweep::renderText(r);
    EXPECT_EQ(json::parse(sweep::renderJson(r))["card_changed"], json::array({"MINE.TXT"}));
}

// ---- The report's grouping -----------------------------------------------------

// A sweep of six cuts: FRA claims 5.1 falsely at 2, 3 and 5, the re-run of 4
// fails.
sweep::SweepReport sixCuts() {
    sweep::SweepReport r;
    r.operations = 6;
    for (uint64_t k = 1; k <= 6; ++k) {
        sweep::CutResult c;
        c.k = k;
        c.cut = true;
        c.op = "write /SDH/MAPPE/FRA/ROADS.DAT";
        sweep::ClaimCheck fra;
        fra.claim = {sweep::Claim::Country, "FRA", "5.1"};
        fra.reference = "before";
        fra.holds = !(k == 2 || k == 3 || k == 5);
        if (!fra.holds)
            fra.mismatches.push_back({sweep::Mismatch::Differs,
                                      k == 5 ? "MAPPE/FRA/NAMES.DAT" : "MAPPE/FRA/ROADS.DAT", k,
                                      24});
        c.claims.push_back(fra);
        c.rerunOk = k != 4;
        c.rerunFailure = c.rerunOk ? "" : "ended with status 1 (the clean run: 0)";
        c.converged = c.rerunOk;
        r.cuts.push_back(c);
    }
    return r;
}

TEST(SweepReportGroups, JoinAdjacentCutsWithTheSameFinding) {
    const sweep::SweepReport r = sixCuts();
    EXPECT_FALSE(r.passed());
    EXPECT_EQ(r.converged(), 5u);
    EXPECT_EQ(r.falseClaimCuts(), 3u);
    const json j = json::parse(sweep::renderJson(r));
    ASSERT_EQ(j["false_claims"].size(), 2u);
    EXPECT_EQ(j["false_claims"][0]["from"], 2);
    EXPECT_EQ(j["false_claims"][0]["to"], 3);
    EXPECT_EQ(j["false_claims"][0]["cuts"], 2);
    EXPECT_EQ(j["false_claims"][0]["files"][0]["path"], "MAPPE/FRA/ROADS.DAT");
    EXPECT_EQ(j["false_claims"][1]["from"], 5);
    EXPECT_EQ(j["false_claims"][1]["files"][0]["path"], "MAPPE/FRA/NAMES.DAT");
    ASSERT_EQ(j["failed_reruns"].size(), 1u);
    EXPECT_EQ(j["failed_reruns"][0]["k"], 4);
    // The timeline: 1 | 2-3 false | 4 | 5 false | 6.
    ASSERT_EQ(j["timeline"].size(), 5u);
    EXPECT_EQ(j["timeline"][1]["from"], 2);
    EXPECT_EQ(j["timeline"][1]["to"], 3);
    EXPECT_EQ(j["timeline"][1]["claims"][0]["holds"], false);
    const std::string text = sweep::renderText(r);
    EXPECT_NE(text.find("k 2-3 (2 cuts): FRA 5.1, files unlike the card before the run:\n"
                        "      MAPPE/FRA/ROADS.DAT (2 bytes, expected 24)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("k 4 (1 cut): the re-run ended with status 1"), std::string::npos) << text;
    EXPECT_NE(text.find("FAILED: 5 of 6 cuts converged, 3 with a false claim"), std::string::npos)
        << text;
}

// Names are bytes of the card: in the text, a newline or a terminal escape
// in one is written escaped, so it starts no false line; JSON keeps them.
TEST(SweepReportGroups, NamesAreEscapedInTheTextAndKeptInJson) {
    sweep::SweepReport r = sixCuts();
    r.cuts[1].claims[0].mismatches[0].path = "MAPPE/FRA/a\nPASSED: all\x1b[2J";
    r.cuts[5].changedOutside = {"MINE\tTXT\n  k 1"};
    const std::string text = sweep::renderText(r);
    EXPECT_NE(text.find("      MAPPE/FRA/a\\nPASSED: all\\x1b[2J (2 bytes, expected 24)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("      MINE\\tTXT\\n  k 1\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("\nPASSED"), std::string::npos) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    // In JSON: U+FFFD for a byte of no valid UTF-8, the bytes beside.
    r.cuts[4].claims[0].mismatches[0].path = "MAPPE/FRA/caf\xE9";
    const json j = json::parse(sweep::renderJson(r));
    EXPECT_EQ(j["false_claims"][1]["files"][0]["path"], "MAPPE/FRA/caf\xEF\xBF\xBD");
    EXPECT_EQ(j["false_claims"][1]["files"][0]["path_raw"], "MAPPE/FRA/caf\\xe9");
    EXPECT_FALSE(j["false_claims"][0]["files"][0].contains("path_raw"));
}

TEST_F(SweepCli, RefusesWhatItCannotRun) {
    ASSERT_TRUE(writeFile(m_dir + "/sd/x", "x"));
    ASSERT_TRUE(writeFile(m_dir + "/bad.c", "int main(void) { return missing; }\n"));
    // No script, a missing one: usage. A script that does not compile: the
    // clean run failed, said so.
    EXPECT_EQ(sweep({}, {}), 2);
    EXPECT_EQ(sweep({}, {m_dir + "/none.c"}), 2);
    EXPECT_EQ(sweep({}, {m_dir + "/bad.c"}), 1);
    EXPECT_NE(err().find("did not compile"), std::string::npos) << err();
    EXPECT_EQ(testsupport::runUpgsim({"sweep", m_dir + "/bad.c"}, m_dir), 2);
    EXPECT_NE(err().find("--sd"), std::string::npos) << err();
}

// ---- The example scripts on the demo's unit ----------------------------------

class SweepDemo : public SweepCli {
protected:
    void SetUp() override {
        SweepCli::SetUp();
        scripthost::demo::SampleOptions sample;
        sample.mapBytes = 96 * 1024;
        std::string error;
        ASSERT_TRUE(scripthost::demo::buildSampleUnit(m_dir + "/unit", sample, error)) << error;
        std::error_code ec;
        std::filesystem::rename(m_dir + "/unit/sd", m_dir + "/sd", ec);
        ASSERT_FALSE(ec);
    }
    int sweepExample(const std::string &script, const std::vector<std::string> &options) {
        std::vector<std::string> args = options;
        args.push_back(std::string(UPG_SOURCE_DIR) + "/examples/" + script);
        return sweep({"--media", m_dir + "/unit/media", "--sd-block-size", "32768"}, args);
    }
    // The false claims' groups about `subject`.
    std::vector<json> falseClaimsOn(const std::string &subject) const {
        std::vector<json> found;
        for (const json &g : m_report["false_claims"])
            if (g["claim"]["subject"] == subject)
                found.push_back(g);
        return found;
    }
};

struct ExampleRow {
    const char *name;
    const char *script;
    std::vector<std::string> options;
};

void PrintTo(const ExampleRow &row, std::ostream *os) {
    *os << row.name;
}

class SweepExamples : public SweepDemo, public ::testing::WithParamInterface<ExampleRow> {};

TEST_P(SweepExamples, ConvergeWithNoFalseClaim) {
    const ExampleRow &row = GetParam();
    EXPECT_EQ(sweepExample(row.script, row.options), 0) << m_report.dump(1);
    EXPECT_EQ(m_report["converged"], m_report["cuts"]);
    EXPECT_TRUE(m_report["false_claims"].empty());
    EXPECT_TRUE(m_report["changed_outside"].empty());
}

// Sampled: the whole sweep takes too long under the sanitizers.
INSTANTIATE_TEST_SUITE_P(
    Rows, SweepExamples,
    ::testing::Values(ExampleRow{"MapUpgrade", "map_upgrade.c", {"--sample", "12"}},
                      ExampleRow{"MapUpgradeLostWrites",
                                 "map_upgrade.c",
                                 {"--sample", "12", "--lost-writes", "--double"}},
                      ExampleRow{"PoiOnly", "poi_only.c", {"--sample", "8"}},
                      ExampleRow{"PoiOnlyLostWrites",
                                 "poi_only.c",
                                 {"--sample", "8", "--lost-writes", "--double"}}),
    [](const ::testing::TestParamInfo<ExampleRow> &info) { return std::string(info.param.name); });

TEST_F(SweepDemo, VersionFileKeptWhileExtractingIsCaught) {
    std::string text = readFile(std::string(UPG_SOURCE_DIR) + "/examples/map_upgrade.c");
    const std::string removal = "    remove(installed_info);\n";
    const std::size_t at = text.find(removal);
    ASSERT_NE(at, std::string::npos);
    text.erase(at, removal.size());
    ASSERT_TRUE(writeFile(m_dir + "/wrong_order.c", text));
    // The maps alone (no POI delivery): some 45 operations, France's
    // extraction about a third of them, so 16 cuts spread over the run
    // land in it several times (all of them take too long under the
    // sanitizers).
    std::string descri = readFile(m_dir + "/unit/media/DESCRI.DAT");
    const std::size_t poi = descri.find("POI_DOWNLOAD,");
    ASSERT_NE(poi, std::string::npos);
    descri.erase(poi, descri.find('\n', poi) + 1 - poi);
    ASSERT_TRUE(writeFile(m_dir + "/unit/media/DESCRI.DAT", descri));
    EXPECT_EQ(sweep({"--media", m_dir + "/unit/media", "--sd-block-size", "32768"},
                    {"--sample", "16", m_dir + "/wrong_order.c"}),
              1);
    // France, installed at 5.1, still claims it over its new map data.
    const std::vector<json> fra = falseClaimsOn("FRA");
    ASSERT_FALSE(fra.empty()) << m_report.dump(1);
    EXPECT_LT(m_report["operations"].get<int>(), 80);
    for (const json &g : fra) {
        EXPECT_EQ(g["claim"]["version"], "5.1");
        EXPECT_EQ(g["compared_with"], "before");
    }
    // Every cut still converges: only the claims were wrong.
    EXPECT_EQ(m_report["converged"], m_report["cuts"]);
}

} // namespace
