// What a sweep claims when it plays part of the cut points (a sample, a
// replayed cut, a shard), the shards merged into the whole sweep's report,
// the re-run from the card a clean run leaves, and the reduced medium
// against the full one.
#include "tests/support/unit_fixture.h"
#include "tools/scripthost/demo.h"
#include "tools/sweep/sweep.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <archive.h>
#include <archive_entry.h>

#include <algorithm>
#include <filesystem>
#include <set>

namespace {

using nlohmann::json;
using testsupport::readFile;
using testsupport::writeFile;

class SweepParts : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testsupport::makeMemoryTempDir("sweep-parts");
        ASSERT_FALSE(m_dir.empty());
        ASSERT_TRUE(
            writeFile(m_dir + "/sd/MAPPE/ABC/CD_VER.NAV.INF", "CID:ABC\nVERSION:1\nRELEASE:0\n"));
        ASSERT_TRUE(writeFile(m_dir + "/sd/MAPPE/ABC/DATA", "old data\n"));
        // The version file is kept while the data is rewritten: false claims
        // at some cuts.
        ASSERT_TRUE(writeFile(m_dir + "/faulty.c",
                              "#include <stdio.h>\n"
                              "static int put(const char *p, const char *t) {\n"
                              "    FILE *f = fopen(p, \"w\");\n"
                              "    if (f == NULL) return -1;\n"
                              "    fputs(t, f);\n"
                              "    return fclose(f);\n"
                              "}\n"
                              "int main(void) {\n"
                              "    put(\"/SDH/MAPPE/ABC/DATA\", \"new data\\n\");\n"
                              "    put(\"/SDH/MAPPE/ABC/MORE\", \"more\\n\");\n"
                              "    return put(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\", "
                              "\"VERSION:2\\nRELEASE:0\\n\");\n"
                              "}\n"));
        // The version file goes first and comes back last: sound.
        ASSERT_TRUE(writeFile(m_dir + "/sound.c",
                              "#include <stdio.h>\n"
                              "int main(void) {\n"
                              "    FILE *f;\n"
                              "    remove(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\");\n"
                              "    f = fopen(\"/SDH/MAPPE/ABC/DATA\", \"w\");\n"
                              "    fputs(\"new data\\n\", f);\n"
                              "    fclose(f);\n"
                              "    f = fopen(\"/SDH/MAPPE/ABC/CD_VER.NAV.INF\", \"w\");\n"
                              "    fputs(\"CID:ABC\\nVERSION:2\\nRELEASE:0\\n\", f);\n"
                              "    return fclose(f);\n"
                              "}\n"));
    }
    void TearDown() override { testsupport::removeTree(m_dir); }

    // "upgsim [global] --sd <dir>/sd sweep ARGS"; standard output in m_out
    // (parsed into m_report when it is JSON).
    int sweep(const std::vector<std::string> &args, const std::vector<std::string> &global = {}) {
        std::vector<std::string> argv = global;
        argv.insert(argv.end(), {"--no-progress", "--sd", m_dir + "/sd", "sweep", "-j", "2",
                                 "--scratch-dir", m_dir});
        argv.insert(argv.end(), args.begin(), args.end());
        const int rc = testsupport::runUpgsim(argv, m_dir);
        m_out = readFile(m_dir + "/stdout");
        m_report = json::parse(m_out, nullptr, false);
        return rc;
    }
    std::string err() const { return readFile(m_dir + "/stderr"); }

    std::string m_dir, m_out;
    json m_report;
};

// A sample never passes: it says how many cuts of how many it played and
// how they were chosen, and exits 3 unless the sample is accepted; a fault it
// finds fails it as a whole sweep's would.
TEST_F(SweepParts, ASampleIsNoProof) {
    EXPECT_EQ(sweep({"--sample", "3", m_dir + "/sound.c"}), sweep::k_exit_not_a_proof) << err();
    EXPECT_EQ(m_out.find("PASSED"), std::string::npos) << m_out;
    EXPECT_NE(m_out.find("\nno false claim in 3 of "), std::string::npos) << m_out;
    EXPECT_NE(m_out.find(" cuts: not a proof\n"), std::string::npos) << m_out;
    EXPECT_NE(m_out.find("a sample stratified over the script's"), std::string::npos) << m_out;
    // The cost of the whole sweep is told before the cuts start.
    EXPECT_NE(err().find("cut points; the clean run took"), std::string::npos) << err();

    EXPECT_EQ(sweep({"--json", "--sample", "3", "--accept-sample", m_dir + "/sound.c"}), 0);
    EXPECT_EQ(m_report["verdict"], "not_a_proof");
    EXPECT_FALSE(m_report["passed"]);
    EXPECT_EQ(m_report["cuts"], 3);
    EXPECT_EQ(m_report["planned"], m_report["operations"].get<int>() + 1);

    EXPECT_EQ(sweep({"--json", m_dir + "/sound.c"}), 0);
    EXPECT_EQ(m_report["verdict"], "passed");

    EXPECT_EQ(sweep({"--json", "--sample", "20", "--accept-sample", m_dir + "/faulty.c"}), 1);
    EXPECT_EQ(m_report["verdict"], "failed");
}

// The shards' reports merged give the whole sweep's report; shards of
// another sweep, a missing or a doubled shard are refused.
TEST_F(SweepParts, ShardsMergedEqualTheWholeSweep) {
    const std::vector<std::string> opts = {"--json", "--lost-writes", "--double", "--second-cuts",
                                           "2"};
    auto args = [&](const std::vector<std::string> &more) {
        std::vector<std::string> a = opts;
        a.insert(a.end(), more.begin(), more.end());
        a.push_back(m_dir + "/faulty.c");
        return a;
    };
    ASSERT_EQ(sweep(args({})), 1) << err();
    json whole = m_report;
    ASSERT_FALSE(whole["false_claims"].empty());
    std::vector<std::string> files;
    for (int i = 1; i <= 3; ++i) {
        // A shard that finds a fault fails; the others end with 0.
        const int rc = sweep(args({"--shard", std::to_string(i) + "/3"}));
        EXPECT_TRUE(rc == 0 || rc == 1) << err();
        EXPECT_EQ(m_report["verdict"] == "failed", rc == 1);
        files.push_back(m_dir + "/shard" + std::to_string(i) + ".json");
        ASSERT_TRUE(writeFile(files.back(), m_out));
    }
    auto merge = [&](const std::vector<std::string> &reports) {
        std::vector<std::string> argv = {"--no-progress", "sweep", "--json", "--merge"};
        argv.insert(argv.end(), reports.begin(), reports.end());
        const int rc = testsupport::runUpgsim(argv, m_dir);
        m_report = json::parse(readFile(m_dir + "/stdout"), nullptr, false);
        return rc;
    };
    ASSERT_EQ(merge({files[2], files[0], files[1]}), 1) << err();
    for (json *j : {&whole, &m_report}) {
        j->erase("seconds");
        j->erase("jobs");
    }
    EXPECT_EQ(m_report, whole) << m_report.dump(1) << "\n" << whole.dump(1);

    EXPECT_EQ(merge({files[0], files[1]}), 1);
    EXPECT_NE(err().find("shard 3/3 is missing"), std::string::npos) << err();
    EXPECT_EQ(merge({files[0], files[1], files[1]}), 1);
    EXPECT_NE(err().find("given twice"), std::string::npos) << err();
    ASSERT_EQ(sweep({"--json", "--lost-writes", "--double", "--second-cuts", "2", "--seed", "9",
                     "--shard", "3/3", m_dir + "/faulty.c"}) >= 0,
              true);
    ASSERT_TRUE(writeFile(files[2], m_out));
    EXPECT_EQ(merge(files), 1);
    EXPECT_NE(err().find("is of another sweep: its seed differs"), std::string::npos) << err();
}

// Each second cut is named; --cut K1,K2 replays it to the same finding.
TEST_F(SweepParts, ASecondCutIsNamedAndReplayed) {
    ASSERT_EQ(sweep({"--json", "--double", "--second-cuts", "3", m_dir + "/faulty.c"}), 1);
    EXPECT_EQ(m_report["cuts"], m_report["planned"]);
    json second;
    for (const json &g : m_report["false_claims"])
        if (g["after"] == "second cut")
            second = g;
    ASSERT_FALSE(second.is_null()) << m_report.dump(1);
    ASSERT_GT(second["second_cut"].get<int>(), 0);
    const std::string replay = std::to_string(second["k"].get<int>()) + "," +
                               std::to_string(second["second_cut"].get<int>());
    EXPECT_EQ(sweep({"--json", "--cut", replay, m_dir + "/faulty.c"}), 1) << err();
    EXPECT_EQ(m_report["cuts"], 1);
    // The group's files are those of all its cuts; the replay shows its
    // first cut's.
    bool found = false;
    for (const json &g : m_report["false_claims"]) {
        bool within = !g["files"].empty();
        for (const json &f : g["files"])
            within = within && std::find(second["files"].begin(), second["files"].end(), f) !=
                                   second["files"].end();
        found = found || (g["after"] == "second cut" && g["claim"] == second["claim"] && within);
    }
    EXPECT_TRUE(found) << m_report["false_claims"].dump(1) << "\n" << second.dump(1);
    // A single cut replayed that shows nothing is no proof either.
    EXPECT_EQ(sweep({"--cut", "1", m_dir + "/sound.c"}), sweep::k_exit_not_a_proof);
}

TEST_F(SweepParts, RefusesCutsAndShardsItCannotPlay) {
    for (const std::vector<std::string> &bad : {std::vector<std::string>{"--cut", "0"},
                                                {"--cut", "3,x"},
                                                {"--cut", "-2"},
                                                {"--shard", "4/3"},
                                                {"--shard", "0/2"},
                                                {"--shard", "1"},
                                                {"--reduce"}}) {
        std::vector<std::string> args = bad;
        args.push_back(m_dir + "/sound.c");
        EXPECT_EQ(sweep(args), 2) << bad[0] << " " << (bad.size() > 1 ? bad[1] : "");
    }
    ASSERT_TRUE(writeFile(m_dir + "/not.json", "{}"));
    EXPECT_EQ(testsupport::runUpgsim({"sweep", "--merge", m_dir + "/not.json"}, m_dir), 1);
    EXPECT_NE(readFile(m_dir + "/stderr").find("no shard's JSON report"), std::string::npos);
}

// ---- The reduced medium ------------------------------------------------------------

// Names in archive order.
std::vector<std::string> entriesOf(const std::string &path) {
    std::vector<std::string> names;
    struct archive *a = archive_read_new();
    archive_read_support_filter_all(a);
    archive_read_support_format_tar(a);
    if (archive_read_open_filename(a, path.c_str(), 16384) == ARCHIVE_OK) {
        struct archive_entry *e = nullptr;
        while (archive_read_next_header(a, &e) == ARCHIVE_OK)
            names.push_back(archive_entry_pathname(e));
    }
    archive_read_free(a);
    return names;
}

TEST_F(SweepParts, AReducedMediumKeepsTheStructureAndAFewFilesOfEach) {
    const std::string tree = m_dir + "/pack/tmp_poi";
    for (int i = 0; i < 6; ++i)
        ASSERT_TRUE(writeFile(tree + "/FRA/T" + std::to_string(i) + ".DAT", "tile"));
    for (const char *f :
         {"RST.lzw", "RSTdsc.lzw", "RST_1.lzw", "RST_2.lzw", "RST_3.lzw", "poi_ver_RST.txt"})
        ASSERT_TRUE(writeFile(tree + "/FRA/" + f, "x"));
    ASSERT_TRUE(std::filesystem::create_directories(tree + "/EMPTY"));
    ASSERT_TRUE(writeFile(m_dir + "/medium/DESCRI.DAT", "POI_DOWNLOAD,1,POI/P.tgz,0,x\n"));
    ASSERT_TRUE(std::filesystem::create_directories(m_dir + "/medium/POI"));
    ASSERT_EQ(testsupport::runUpgsim({"pack", tree, m_dir + "/medium/POI/P.tgz"}, m_dir), 0)
        << readFile(m_dir + "/stderr");
    sweep::ReduceSummary summary;
    std::string error;
    ASSERT_TRUE(sweep::reduceMedium(m_dir + "/medium", m_dir + "/reduced", 3, summary, error))
        << error;
    EXPECT_EQ(readFile(m_dir + "/reduced/DESCRI.DAT"), "POI_DOWNLOAD,1,POI/P.tgz,0,x\n");
    const std::vector<std::string> kept = entriesOf(m_dir + "/reduced/POI/P.tgz");
    const std::set<std::string> keptSet(kept.begin(), kept.end());
    EXPECT_EQ(summary.archives, 1u);
    EXPECT_EQ(summary.entries, entriesOf(m_dir + "/medium/POI/P.tgz").size());
    EXPECT_EQ(summary.entriesKept, kept.size());
    // Every folder, the group's announcement and its first three files,
    // three tiles.
    for (const char *name : {"tmp_poi/", "tmp_poi/FRA/", "tmp_poi/EMPTY/", "tmp_poi/FRA/RST.lzw",
                             "tmp_poi/FRA/poi_ver_RST.txt"})
        EXPECT_EQ(keptSet.count(name), 1u) << name;
    int tiles = 0, group = 0;
    for (const std::string &n : kept) {
        tiles += n.find("/T") != std::string::npos;
        group += n.find("/RST") != std::string::npos;
    }
    EXPECT_EQ(tiles, 3);
    EXPECT_EQ(group, 3);
    EXPECT_NE(summary.text().find("a reduced copy of the medium"), std::string::npos);
}

// ---- On the demo's unit ----------------------------------------------------------

class SweepStaged : public SweepParts {
protected:
    void SetUp() override {
        SweepParts::SetUp();
        testsupport::removeTree(m_dir + "/sd");
        scripthost::demo::SampleOptions sample;
        sample.mapBytes = 48 * 1024;
        std::string error;
        ASSERT_TRUE(scripthost::demo::buildSampleUnit(m_dir + "/unit", sample, error)) << error;
        std::error_code ec;
        std::filesystem::rename(m_dir + "/unit/sd", m_dir + "/sd", ec);
        ASSERT_FALSE(ec);
    }
    std::vector<std::string> unit() const {
        return {"--media", m_dir + "/unit/media", "--sd-block-size", "32768"};
    }
    std::string example(const std::string &name) const {
        return std::string(UPG_SOURCE_DIR) + "/examples/" + name;
    }
};

// The re-run after a late cut starts from a card that holds a staged POI
// delivery: the whole POI installation swept from there, the staged version
// never claiming half-removed staging folders.
TEST_F(SweepStaged, TheRerunFromAStagedCardIsSwept) {
    EXPECT_EQ(sweep({"--json", "--from-final", example("poi_only.c")}, unit()), 0)
        << m_report.dump(1);
    EXPECT_EQ(m_report["verdict"], "passed");
    EXPECT_TRUE(m_report["from_final"]);
    bool staged = false;
    for (const json &c : m_report["before"])
        staged = staged || c["kind"] == "staged_poi";
    EXPECT_TRUE(staged) << m_report["before"].dump();
    EXPECT_EQ(m_report["cuts"], m_report["operations"].get<int>() + 1);
    EXPECT_TRUE(m_report["false_claims"].empty()) << m_report["false_claims"].dump(1);
    // The POI installation is a phase of its own.
    bool poiPhase = false;
    for (const json &p : m_report["phases"])
        poiPhase = poiPhase || p["call"].get<std::string>().rfind("InstalPOIs#", 0) == 0;
    EXPECT_TRUE(poiPhase) << m_report["phases"].dump();
}

// A medium small enough to sweep whole, its map archive with more files
// than a reduced one keeps: the reduced sweep plays fewer cuts to the same
// verdict, and says which medium it played.
TEST_F(SweepStaged, AReducedMediumGivesTheFullSweepsVerdict) {
    // The maps alone: no POI delivery.
    std::string descri = readFile(m_dir + "/unit/media/DESCRI.DAT");
    const std::size_t poi = descri.find("POI_DOWNLOAD,");
    ASSERT_NE(poi, std::string::npos);
    descri.erase(poi, descri.find('\n', poi) + 1 - poi);
    ASSERT_TRUE(writeFile(m_dir + "/unit/media/DESCRI.DAT", descri));
    for (int i = 0; i < 8; ++i)
        ASSERT_TRUE(writeFile(m_dir + "/maps/FRA/TILE" + std::to_string(i) + ".DAT",
                              std::string(100 + i, 'm')));
    ASSERT_EQ(testsupport::runUpgsim(
                  {"pack", m_dir + "/maps/FRA", m_dir + "/unit/media/MAPPE/FRA/FRA.tgz"}, m_dir),
              0);
    // And a script with an order fault: the version file kept while the
    // country is extracted.
    std::string wrong = readFile(example("map_upgrade.c"));
    const std::string removal = "    remove(installed_info);\n";
    ASSERT_NE(wrong.find(removal), std::string::npos);
    wrong.erase(wrong.find(removal), removal.size());
    ASSERT_TRUE(writeFile(m_dir + "/wrong_order.c", wrong));
    for (const std::string &script : {example("map_upgrade.c"), m_dir + "/wrong_order.c"}) {
        const int status = script == m_dir + "/wrong_order.c" ? 1 : 0;
        ASSERT_EQ(sweep({"--json", script}, unit()), status) << m_report.dump(1);
        const json full = m_report;
        ASSERT_EQ(sweep({"--json", "--reduce", script}, unit()), status) << m_report.dump(1);
        EXPECT_EQ(m_report["verdict"], full["verdict"]);
        EXPECT_EQ(m_report["false_claims"].empty(), full["false_claims"].empty());
        EXPECT_LT(m_report["operations"], full["operations"]);
        EXPECT_EQ(m_report["clean"], full["clean"]);
        EXPECT_NE(m_report["medium"].get<std::string>().find("a reduced copy"), std::string::npos);
        EXPECT_EQ(m_report["full_medium"]["operations"], full["operations"]);
        // The full medium's cost came first.
        EXPECT_NE(
            err().find("the full medium: N = " + std::to_string(full["operations"].get<int>())),
            std::string::npos)
            << err();
    }
}

} // namespace
