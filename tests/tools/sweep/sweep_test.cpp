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

// The module's temporary files beside the file they stand for, intact, are
// what a cut between writing and renaming leaves: no false claim. Beside a
// changed file they are shown with it.
TEST(SweepClaimsTemporaries, BesideIntactFilesDoNotMakeAClaimFalse) {
    const sweep::Claim fra{sweep::Claim::Country, "FRA", "5.1"};
    struct Row {
        const char *extra;
        bool changeRoads;
        bool holds;
    } rows[] = {
        {"MAPPE/FRA/ROADS.DAT~upgcopy", false, true}, {"MAPPE/FRA/ROADS.DAT~upgcpy2", false, true},
        {"MAPPE/FRA/ROADS.DAT.ver~", false, true},    {"MAPPE/FRA/ROADS.DAT~upgcopy", true, false},
        {"MAPPE/FRA/ROADS.DAT.tmp", false, false}, // no file of the module's
        {"MAPPE/FRA/GONE.DAT~upgcopy", false, true},
    };
    for (const Row &row : rows) {
        sweep::CardImage image = k_before;
        image[row.extra] = fileEntry(7, 9);
        if (row.changeRoads)
            image["MAPPE/FRA/ROADS.DAT"] = fileEntry(7, 9);
        const auto checks =
            sweep::checkClaims({fra}, image, k_before_claims, k_before, k_clean_claims, k_clean);
        ASSERT_EQ(checks.size(), 1u);
        EXPECT_EQ(checks[0].holds, row.holds) << row.extra;
        if (!row.holds) {
            EXPECT_EQ(checks[0].mismatches.size(), row.changeRoads ? 2u : 1u) << row.extra;
        }
    }
}

// ---- Which cuts are played -----------------------------------------------------

// A clean run's trace: operations 1-3 the script's own, 4-9 UnCompress
// (made at map_upgrade.c:215), 10 the script's own, 11-40 InstalPOIs (made
// without its site).
std::vector<std::string> k_trace_lines = [] {
    std::vector<std::string> lines;
    for (int k = 1; k <= 40; ++k) {
        const char *call = k <= 3    ? "\t"
                           : k <= 9  ? "UnCompress#2\tmap_upgrade.c:215"
                           : k == 10 ? "\t"
                                     : "InstalPOIs#3\t";
        lines.push_back(std::to_string(k) + "\twrite\t/SDH/X\t" + call);
        if (k == 20)
            lines.push_back("-\tlost\t/SDH/X\t0\t9"); // not an operation
    }
    return lines;
}();

TEST(SweepPlan, PhasesAreTheBuiltinCallsAndTheEnd) {
    const std::vector<sweep::Phase> phases = sweep::phasesOf(k_trace_lines);
    ASSERT_EQ(phases.size(), 5u);
    EXPECT_EQ(phases[0].call, "");
    EXPECT_EQ(phases[0].last, 3u);
    EXPECT_EQ(phases[1].call, "UnCompress#2");
    EXPECT_EQ(phases[1].site, "map_upgrade.c:215");
    EXPECT_EQ(phases[1].first, 4u);
    EXPECT_EQ(phases[1].last, 9u);
    EXPECT_EQ(phases[2].first, 10u);
    EXPECT_EQ(phases[2].site, "");
    EXPECT_EQ(phases[3].call, "InstalPOIs#3");
    EXPECT_EQ(phases[3].site, "");
    EXPECT_EQ(phases[3].last, 40u);
    // A trace of calls without sites (four fields) reads as before.
    const std::vector<sweep::Phase> old = sweep::phasesOf({"1\tmkdir\t/SDH/A\tUPGCopy#1"});
    ASSERT_EQ(old.size(), 2u);
    EXPECT_EQ(old[0].call, "UPGCopy#1");
    EXPECT_EQ(old[0].site, "");
    EXPECT_EQ(phases[4].first, 41u); // after the last operation
    EXPECT_EQ(sweep::phaseText(phases[1].call), "UnCompress (call 2)");
    EXPECT_EQ(sweep::phaseText(phases[4].call), "after the last operation");
    EXPECT_EQ(sweep::phaseText(""), "the script's own operations");
}

TEST(SweepPlan, EveryMomentOrAStratifiedSample) {
    const std::vector<sweep::Phase> phases = sweep::phasesOf(k_trace_lines);
    // Whole: every operation and the moment after the last.
    const std::vector<uint64_t> all = sweep::planCuts(40, phases, 0);
    ASSERT_EQ(all.size(), 41u);
    EXPECT_EQ(all.back(), 41u);
    EXPECT_EQ(sweep::planCuts(40, phases, 41), all);
    // A sample of 10: the end, and each phase at least one cut, however
    // short; the long phase the most.
    const std::vector<uint64_t> ks = sweep::planCuts(40, phases, 10);
    EXPECT_EQ(ks.size(), 10u);
    EXPECT_TRUE(std::is_sorted(ks.begin(), ks.end()));
    auto in = [&](uint64_t a, uint64_t b) {
        return std::count_if(ks.begin(), ks.end(), [&](uint64_t k) { return k >= a && k <= b; });
    };
    EXPECT_EQ(in(41, 41), 1);
    EXPECT_GE(in(1, 3), 1);
    EXPECT_GE(in(4, 9), 1);
    EXPECT_EQ(in(10, 10), 1);
    EXPECT_GE(in(11, 40), 5);
    // Fewer cuts than phases: phases spread over the run, the end kept.
    const std::vector<uint64_t> two = sweep::planCuts(40, phases, 2);
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two.back(), 41u);
}

TEST(SweepPlan, SecondCutsAreDeterministicAndShardsPartitionThePoints) {
    const std::vector<uint64_t> ks = {1, 2, 3, 4, 5, 6, 7};
    const auto a = sweep::planPoints(ks, 6, true, 3, 1);
    EXPECT_EQ(a, sweep::planPoints(ks, 6, true, 3, 1));
    EXPECT_NE(a, sweep::planPoints(ks, 6, true, 3, 2));
    EXPECT_EQ(a.size(), 21u);
    for (const sweep::CutPoint &p : a) {
        EXPECT_GE(p.second, 1u);
        EXPECT_LE(p.second, 6u);
    }
    // Without --double: the first cuts alone.
    EXPECT_EQ(sweep::planPoints(ks, 6, false, 3, 1).size(), 7u);
    // Every point in exactly one of three shards.
    std::vector<sweep::CutPoint> joined;
    for (unsigned i = 1; i <= 3; ++i) {
        const auto shard = sweep::shardOf(a, i, 3);
        EXPECT_GE(shard.size(), 7u);
        joined.insert(joined.end(), shard.begin(), shard.end());
    }
    std::sort(joined.begin(), joined.end());
    EXPECT_EQ(joined, a);
    EXPECT_TRUE(sweep::shardOf(a, 4, 3).empty());
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
    EXPECT_EQ(m_report["cuts"], m_report["operations"].get<int>() + 1); // and after the last
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
    if (std::string(row.name) == "LastActIsTheClaim") {
        // Only k = N + 1: the claim is the rename, and the files it claims
        // lost their unsynced data.
        ASSERT_EQ(m_report["false_claims"].size(), 1u) << m_report.dump(1);
        const json &g = m_report["false_claims"][0];
        EXPECT_EQ(g["from"], m_report["operations"].get<int>() + 1);
        EXPECT_EQ(g["claim"]["version"].get<std::string>().rfind("2.", 0), 0u); // maybe cut short
        EXPECT_EQ(g["done"].get<std::string>().rfind("rename /SDH/MAPPE/ABC/VER.NEW", 0), 0u)
            << g.dump(1);
        ASSERT_FALSE(g["lost_writes"].empty()) << g.dump(1);
        int data = 0;
        for (const json &l : g["lost_writes"]) {
            EXPECT_EQ(l["sync_before"], g["done"]);
            data += l["path"].get<std::string>().rfind("MAPPE/ABC/F", 0) == 0;
        }
        EXPECT_GT(data, 0) << g.dump(1);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Rows, SweepScripts,
    ::testing::Values(
        ScriptRow{"VersionFileLast",
                  "remove(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\");\n"
                  "put(\"/SDH/MAPPE/ABC/DATA\", \"new data\\n\");\n"
                  "return put(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\", \"VERSION:2\\nRELEASE:0\\n\");",
                  true, false, false, false},
        // The script's last act is the claim: only the cut after it, with
        // the data written before it not synced, finds the false claim.
        ScriptRow{"LastActIsTheClaim",
                  "char name[32];\nint i;\n"
                  "remove(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\");\n"
                  "for (i = 0; i < 40; ++i) {\n"
                  "    sprintf(name, \"/SDH/MAPPE/ABC/F%02d\", i);\n"
                  "    put(name, \"new data of the map\\n\");\n"
                  "}\n"
                  "put(\"/SDH/MAPPE/ABC/VER.NEW\", \"VERSION:2\\nRELEASE:0\\n\");\n"
                  "return rename(\"/SDH/MAPPE/ABC/VER.NEW\", \"/SDH/MAPPE/ABC/CD_VER.NAV.INF\");",
                  false,
                  true,
                  false,
                  false,
                  {"--lost-writes"}},
        ScriptRow{"LastActIsTheClaimNoLostWrites",
                  "char name[32];\nint i;\n"
                  "remove(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\");\n"
                  "for (i = 0; i < 40; ++i) {\n"
                  "    sprintf(name, \"/SDH/MAPPE/ABC/F%02d\", i);\n"
                  "    put(name, \"new data of the map\\n\");\n"
                  "}\n"
                  "put(\"/SDH/MAPPE/ABC/VER.NEW\", \"VERSION:2\\nRELEASE:0\\n\");\n"
                  "return rename(\"/SDH/MAPPE/ABC/VER.NEW\", \"/SDH/MAPPE/ABC/CD_VER.NAV.INF\");",
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
        c.done = "fopen /SDH/MAPPE/FRA/ROADS.DAT";
        c.call = "UnCompress#2";
        if (k == 5)
            c.lost.push_back({"MAPPE/FRA/NAMES.DAT", 5, 24});
        c.lost.push_back({"MAPPE/FRA/OTHER.DAT", 1, 2}); // behind no false claim
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
    // Each range names the operation that made the claim and its builtin
    // call, and how to replay its first cut; the lost writes behind it name
    // the file and the sync missing.
    EXPECT_NE(text.find("      last done before the cut: fopen /SDH/MAPPE/FRA/ROADS.DAT "
                        "(UnCompress (call 2)); replay: --cut 2\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("      unsynced data of MAPPE/FRA/NAMES.DAT lost at the cut (5 of 24 bytes "
                        "kept): a sync of MAPPE/FRA/NAMES.DAT before 'fopen "
                        "/SDH/MAPPE/FRA/ROADS.DAT' would have kept it\n"),
              std::string::npos)
        << text;
    EXPECT_EQ(text.find("OTHER.DAT"), std::string::npos) << text;
    EXPECT_EQ(j["false_claims"][1]["lost_writes"][0]["path"], "MAPPE/FRA/NAMES.DAT");
    EXPECT_TRUE(j["false_claims"][0]["lost_writes"].empty());
    EXPECT_EQ(j["false_claims"][0]["call"], "UnCompress#2");
    EXPECT_NE(text.find("FAILED: 5 of 6 cuts converged, 3 with a false claim"), std::string::npos)
        << text;
}

// Where cuts lie, from the clean run's phases: inside a call, between two
// calls, after the last operation, and from where to where for a range that
// spans places; nothing where the phases do not reach.
TEST(SweepPlaces, NameTheCallAndItsSiteOrTheCallsAround) {
    sweep::SweepReport r = sixCuts();
    r.phases = sweep::phasesOf(k_trace_lines);
    r.operations = 40;
    const std::string unCompress = "UnCompress (call 2) at map_upgrade.c:215";
    EXPECT_EQ(sweep::placeText(r, 1, 3), "before " + unCompress);
    EXPECT_EQ(sweep::placeText(r, 4, 9), "during " + unCompress);
    EXPECT_EQ(sweep::placeText(r, 10, 10), "after " + unCompress + ", before InstalPOIs (call 3)");
    EXPECT_EQ(sweep::placeText(r, 40, 40), "during InstalPOIs (call 3)");
    EXPECT_EQ(sweep::placeText(r, 41, 41), "after the last operation");
    EXPECT_EQ(sweep::placeText(r, 9, 11), "from " + unCompress + " to InstalPOIs (call 3)");
    EXPECT_EQ(sweep::placeText(r, 1, 9), "from the script's start to " + unCompress);
    EXPECT_EQ(sweep::placeText(r, 10, 41),
              "from after " + unCompress + " to after the last operation");
    EXPECT_EQ(sweep::placeText(r, 11, 9), sweep::placeText(r, 9, 11));
    EXPECT_EQ(sweep::placeText(r, 0, 0), "");
    EXPECT_EQ(sweep::placeText(r, 42, 42), "");
    // The script's own operations after the last call, or with no call.
    sweep::SweepReport tail;
    tail.phases = sweep::phasesOf({"1\tmkdir\t/SDH/A\tUPGCopy#1\ts.c:4", "2\tmkdir\t/SDH/B\t\t"});
    EXPECT_EQ(sweep::placeText(tail, 2, 2), "after UPGCopy (call 1) at s.c:4");
    tail.phases = sweep::phasesOf({"1\tmkdir\t/SDH/A\t\t"});
    EXPECT_EQ(sweep::placeText(tail, 1, 1), "among the script's own operations");
    EXPECT_EQ(sweep::placeText(sweep::SweepReport(), 1, 1), "");

    // Every group of the text names its place; the JSON has it beside the
    // call and the call's site.
    r.cuts[1].site = "map_upgrade.c:215";
    const std::string text = sweep::renderText(r);
    EXPECT_NE(text.find("  k 2-3 (2 cuts), before " + unCompress + ": FRA 5.1, files unlike"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  k 4 (1 cut), during " + unCompress + ": the re-run ended with status 1"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  k 2-3 (2 cuts), before " + unCompress + ": FRA 5.1 (FALSE)\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("(UnCompress (call 2) at map_upgrade.c:215); replay: --cut 2\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("  4-9: " + unCompress + "\n"), std::string::npos) << text;
    const json j = json::parse(sweep::renderJson(r));
    EXPECT_EQ(j["false_claims"][0]["site"], "map_upgrade.c:215");
    EXPECT_EQ(j["false_claims"][0]["place"], "before " + unCompress);
    EXPECT_EQ(j["failed_reruns"][0]["place"], "during " + unCompress);
    EXPECT_EQ(j["timeline"][1]["site"], "map_upgrade.c:215");
    EXPECT_EQ(j["phases"][1]["site"], "map_upgrade.c:215");

    // A shard's report keeps the sites through the merge.
    r.shardIndex = r.shardCount = 1;
    std::string error;
    sweep::SweepReport merged;
    ASSERT_TRUE(sweep::mergeShards({sweep::renderJson(r)}, merged, error)) << error;
    ASSERT_EQ(merged.phases.size(), r.phases.size());
    EXPECT_EQ(merged.phases[1].site, "map_upgrade.c:215");
    EXPECT_EQ(merged.cuts[1].site, "map_upgrade.c:215");
    EXPECT_EQ(sweep::placeText(merged, 10, 10), sweep::placeText(r, 10, 10));
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

// A script whose builtin calls sit at known lines: the cuts are named by
// the call and its file:line, a call in another call's arguments as a call
// of its own, made before the outer one; with UPG_NO_CALL_SITES by the call
// alone.
TEST_F(SweepCli, CutsAreNamedByTheirCallAndLine) {
    ASSERT_TRUE(writeFile(m_dir + "/sd/MAPPE/ABC/CD_VER.NAV.INF", k_small_card_info));
    ASSERT_TRUE(writeFile(m_dir + "/sd/MAPPE/ABC/DATA", "old data\n"));
    ASSERT_TRUE(writeFile(m_dir + "/sd/NEW", "new data\n"));
    const std::string body = "#include <stdio.h>\n"                                         // 1
                             "#include \"upgrade_builtins.h\"\n"                            // 2
                             "int main(void) {\n"                                           // 3
                             "    FILE *f;\n"                                               // 4
                             "    UPGCopy(\"/SDH/NEW\", \"/SDH/MAPPE/ABC/DATA\", 0);\n"     // 5
                             "    f = fopen(\"/SDH/MARK\", \"w\");\n"                       // 6
                             "    fclose(f);\n"                                             // 7
                             "    UPGCopy(\"/SDH/NEW\", \"/SDH/MAPPE/ABC/B\",\n"            // 8
                             "            UPGCopy(\"/SDH/NEW\", \"/SDH/MAPPE/ABC/A\", 0)\n" // 9
                             "            != 0);\n"                                         // 10
                             "    return 0;\n"
                             "}\n";
    ASSERT_TRUE(writeFile(m_dir + "/calls.c", body));
    ASSERT_EQ(sweep({}, {m_dir + "/calls.c"}), 1) << err();
    ASSERT_FALSE(m_report.is_discarded()) << err();
    // The phases: the first copy, the script's own, the inner copy, then the
    // outer one.
    const json &phases = m_report["phases"];
    ASSERT_EQ(phases.size(), 5u) << phases.dump(1);
    EXPECT_EQ(phases[0]["call"], "UPGCopy#1");
    EXPECT_EQ(phases[0]["site"], "calls.c:5");
    EXPECT_EQ(phases[1]["site"], "");
    EXPECT_EQ(phases[2]["call"], "UPGCopy#2");
    // A call written over several lines is named by the line its argument
    // list ends on, the outer call's for one in its arguments.
    EXPECT_EQ(phases[2]["site"], "calls.c:10");
    EXPECT_EQ(phases[3]["call"], "UPGCopy#3");
    EXPECT_EQ(phases[3]["site"], "calls.c:10");
    // ABC claims 1.0 over new data from the first copy's rename until the last
    // copy's.
    ASSERT_EQ(m_report["false_claims"].size(), 1u) << m_report.dump(1);
    const json &g = m_report["false_claims"][0];
    EXPECT_EQ(g["call"], "UPGCopy#1");
    EXPECT_EQ(g["site"], "calls.c:5");
    EXPECT_EQ(g["from"], phases[0]["to"].get<int>() + 1);
    EXPECT_EQ(g["to"], m_report["operations"]);
    EXPECT_EQ(g["place"],
              "from after UPGCopy (call 1) at calls.c:5 to UPGCopy (call 3) at calls.c:10");
    const json &timeline = m_report["timeline"];
    ASSERT_GE(timeline.size(), 2u);
    EXPECT_EQ(timeline[0]["place"], "during UPGCopy (call 1) at calls.c:5");
    EXPECT_EQ(timeline[1]["site"], "calls.c:5");

    // Without sites: the same calls, named by the call alone.
    ASSERT_TRUE(writeFile(m_dir + "/nosites.c", "#define UPG_NO_CALL_SITES\n" + body));
    ASSERT_EQ(sweep({}, {m_dir + "/nosites.c"}), 1) << err();
    ASSERT_EQ(m_report["phases"].size(), 5u) << m_report["phases"].dump(1);
    for (const json &p : m_report["phases"])
        EXPECT_EQ(p["site"], "") << p.dump();
    EXPECT_EQ(m_report["false_claims"][0]["place"],
              "from after UPGCopy (call 1) to UPGCopy (call 3)");
    EXPECT_EQ(m_report["timeline"][0]["place"], "during UPGCopy (call 1)");
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
    // A sample, accepted as one: never a pass.
    EXPECT_EQ(m_report["verdict"], "not_a_proof");
    EXPECT_FALSE(m_report["passed"]);
    EXPECT_EQ(m_report["converged"], m_report["cuts"]);
    EXPECT_TRUE(m_report["false_claims"].empty());
    EXPECT_TRUE(m_report["changed_outside"].empty());
}

// Sampled: the whole sweep takes too long under the sanitizers.
INSTANTIATE_TEST_SUITE_P(
    Rows, SweepExamples,
    ::testing::Values(
        ExampleRow{"MapUpgrade", "map_upgrade.c", {"--sample", "12", "--accept-sample"}},
        ExampleRow{"MapUpgradeLostWrites",
                   "map_upgrade.c",
                   {"--sample", "12", "--accept-sample", "--lost-writes", "--double"}},
        ExampleRow{"PoiOnly", "poi_only.c", {"--sample", "8", "--accept-sample"}},
        ExampleRow{"PoiOnlyLostWrites",
                   "poi_only.c",
                   {"--sample", "8", "--accept-sample", "--lost-writes", "--double"}}),
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
