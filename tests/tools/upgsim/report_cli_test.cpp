// "upgsim check --report": the release report of a small medium with
// hostile file names and a sampled power-cut sweep, as a page the strict
// HTML checker (tests/html_check.py) passes and as Markdown tables; a report
// that cannot be written fails as the host's error and leaves nothing under
// its name; a name of another kind is a usage error.
#include "tests/support/html_check.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using testsupport::fileExists;
using testsupport::htmlCheck;
using testsupport::readFile;
using testsupport::shellQuote;
using testsupport::writeFile;

// A file name no medium should hold: markup, quotes, a table's bar, a line
// break and a byte of no UTF-8 sequence. Its content's SHA-256 is known.
const char k_hostile[] = "odd <b>&\"'|\n\xff.txt";
const char k_abc_sha256[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

class ReportCli : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testsupport::makeTempDir("report-cli");
        ASSERT_FALSE(m_dir.empty());
        ASSERT_EQ(upgsim("init proj --countries ESP,PRT --year 2025 --quarter 2"), 0) << err();
        ASSERT_TRUE(writeFile(at("proj/maps/ESP/R.DAT"), std::string(3000, 'e')));
        ASSERT_TRUE(writeFile(at("proj/maps/PRT/P.DAT"), "p"));
        ASSERT_EQ(upgsim("pack --country ESP --version 6 --release 1 proj/maps/ESP proj/medium"), 0)
            << err();
        ASSERT_EQ(upgsim("pack --country PRT --version 3 --release 0 proj/maps/PRT proj/medium"), 0)
            << err();
        ASSERT_TRUE(writeFile(at("proj/medium/") + k_hostile, "abc"));
    }
    void TearDown() override { testsupport::removeTree(m_dir); }

    int upgsim(const std::string &args) { return testsupport::runUpgsim(args, m_dir, m_dir); }
    std::string out() const { return readFile(m_dir + "/stdout"); }
    std::string err() const { return readFile(m_dir + "/stderr"); }
    std::string at(const std::string &rel) const { return m_dir + "/" + rel; }
    int check(const std::string &more) {
        return upgsim("--media proj/medium check --block-sizes 512,4096 " + more);
    }

    std::string m_dir;
};

// The cells of a Markdown table row ("| a | b\|c |" -> "a", "b\|c"); a
// backslash escapes the character after it.
std::vector<std::string> cells(const std::string &row) {
    std::vector<std::string> out;
    std::string cell;
    for (size_t i = 1; i < row.size(); ++i) {
        if (row[i] == '\\' && i + 1 < row.size()) {
            cell += row.substr(i, 2);
            ++i;
        } else if (row[i] == '|') {
            out.push_back(cell.substr(cell.empty() || cell[0] != ' ' ? 0 : 1));
            if (!out.back().empty() && out.back().back() == ' ')
                out.back().pop_back();
            cell.clear();
        } else {
            cell += row[i];
        }
    }
    return out;
}

TEST_F(ReportCli, PageAndTablesOfASweptMedium) {
    if (std::system("python3 -c '' 2>/dev/null") != 0)
        GTEST_SKIP() << "no python3 for the HTML checker";
    // The JSON on standard output and the report beside it, of one check.
    const int rc = check("--power-cuts 6 --json --report r.md");
    ASSERT_TRUE(rc == 0 || rc == 1) << rc << err();
    const json report = json::parse(out(), nullptr, false);
    ASSERT_TRUE(report.is_object()) << out();
    const std::string md = readFile(at("r.md"));
    ASSERT_FALSE(md.empty());

    // Every row of a table has its header's cells: no name broke one.
    std::istringstream lines(md);
    std::vector<std::string> rows;
    size_t width = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line[0] != '|') {
            width = 0;
            continue;
        }
        const size_t n = cells(line).size();
        if (width == 0)
            width = n;
        EXPECT_EQ(n, width) << line;
        rows.push_back(line);
    }
    auto hasRow = [&rows](const std::string &row) {
        return std::find(rows.begin(), rows.end(), row) != rows.end();
    };
    EXPECT_TRUE(hasRow("| odd \\<b\\>\\&\"'\\|\\\\n\\\\xff.txt | 3 | `" +
                       std::string(k_abc_sha256) + "` |"))
        << md;
    EXPECT_TRUE(hasRow("| CID | Name | Folder | 512 | 4096 |")) << md;
    EXPECT_TRUE(hasRow("| ESP | ESP | MAPPE/ESP | yes | yes |")) << md;
    EXPECT_TRUE(hasRow("| CD | 700 MB | 360,000 | 737,280,000 | under 0.1% | yes |")) << md;
    EXPECT_NE(md.find("| Tool | upgsim 0.1.0"), std::string::npos) << md;

    // Each swept run: its spans cover the cuts played in order, the last at
    // the cut after the end, and two spans in a row claim different things.
    ASSERT_TRUE(report.contains("runs")) << out();
    for (const json &run : report["runs"]) {
        EXPECT_EQ(run["offered"], json::array({"ESP", "PRT"})) << run;
        ASSERT_TRUE(run.contains("cut_spans")) << run;
        unsigned cuts = 0;
        uint64_t last = 0;
        std::string claims;
        for (const json &span : run["cut_spans"]) {
            EXPECT_GT(span["from"].get<uint64_t>(), last) << run;
            EXPECT_GE(span["to"], span["from"]) << run;
            EXPECT_NE(span["claims"], claims) << run;
            last = span["to"];
            claims = span["claims"];
            cuts += span["cuts"].get<unsigned>();
        }
        EXPECT_EQ(cuts, run["power_cuts"].get<unsigned>()) << run;
        EXPECT_EQ(last, run["operations"].get<uint64_t>() + 1) << run;
    }

    ASSERT_EQ(check("--power-cuts 6 --report r.html"), rc) << err();
    std::string faults;
    EXPECT_EQ(htmlCheck(at("r.html"), faults), 0) << faults;
    const std::string html = readFile(at("r.html"));
    EXPECT_NE(html.find("<td>odd &lt;b&gt;&amp;&quot;&#39;|\\n\\xff.txt</td><td "
                        "class=\"num\">3</td><td><code>" +
                        std::string(k_abc_sha256) + "</code></td>"),
              std::string::npos)
        << html;
}

TEST_F(ReportCli, AReportThatCannotBeWrittenLeavesNoFile) {
    // Its folder missing: said before the check runs.
    EXPECT_EQ(check("--report missing/r.html"), 3);
    EXPECT_NE(err().find("missing/r.html"), std::string::npos) << err();
    EXPECT_FALSE(fs::exists(at("missing")));

    // A folder under its name: the write is refused at the end, and neither
    // the folder nor the temporary file beside it is left otherwise.
    ASSERT_TRUE(fs::create_directory(at("taken.md")));
    ASSERT_TRUE(writeFile(at("taken.md/keep"), "k"));
    EXPECT_EQ(check("--json --report taken.md"), 3);
    EXPECT_NE(err().find("taken.md"), std::string::npos) << err();
    EXPECT_EQ(json::parse(out(), nullptr, false).value("code", 0), 3) << out();
    EXPECT_EQ(readFile(at("taken.md/keep")), "k");
    for (const auto &e : fs::directory_iterator(m_dir))
        EXPECT_EQ(e.path().filename().string().find("taken.md."), std::string::npos) << e.path();

    // Another kind of name: a usage error naming the two, nothing written.
    EXPECT_EQ(check("--report r.txt"), 2);
    EXPECT_NE(err().find(".md"), std::string::npos) << err();
    EXPECT_NE(err().find(".html"), std::string::npos) << err();
    EXPECT_FALSE(fileExists(at("r.txt")));
}

// A script that puts a country's version file in place before its data: the
// cuts during the extraction leave a false claim, and the finding and the
// report's spans say where in the script each cut lies (the builtin call,
// the script's file and line).
TEST_F(ReportCli, PowerCutFindingsNameTheCallAndTheLine) {
    ASSERT_TRUE(writeFile(at("early.c"),
                          "#include \"upgrade_builtins.h\"\n"
                          "int main(void) {\n"
                          "    UPGCopy(\"/DVD/MAPPE/ESP/CD_VER.NAV.INF\",\n"
                          "            \"/SDH/MAPPE/ESP/CD_VER.NAV.INF\", 0);\n"
                          "    return UnCompress(\"/DVD/MAPPE/ESP/ESP.tgz\", \"/SDH/MAPPE/\");\n"
                          "}\n"));
    EXPECT_EQ(upgsim("--media proj/medium check --block-sizes 512 --script early.c "
                     "--power-cuts --json --report r.md"),
              1)
        << err();
    const json report = json::parse(out(), nullptr, false);
    ASSERT_TRUE(report.is_object()) << out();
    std::string cutFinding;
    for (const json &f : report["findings"])
        if (f["code"] == "RUN_POWER_CUT" && cutFinding.empty())
            cutFinding = f["message"].get<std::string>();
    EXPECT_NE(cutFinding.find("claims what its files do not hold: at k "), std::string::npos)
        << cutFinding;
    EXPECT_NE(cutFinding.find("ESP 6.1, during UnCompress (call 2) at early.c:5)"),
              std::string::npos)
        << cutFinding;
    bool falseSpanPlaced = false;
    for (const json &run : report["runs"])
        for (const json &span : run.value("cut_spans", json::array()))
            if (span["false_claim"].get<bool>())
                falseSpanPlaced = falseSpanPlaced || span["place"].get<std::string>().find(
                                                         "early.c:5") != std::string::npos;
    EXPECT_TRUE(falseSpanPlaced) << out();
    EXPECT_NE(readFile(at("r.md")).find("at early.c:5"), std::string::npos);
}

} // namespace
