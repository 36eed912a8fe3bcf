// The demo end to end at a high tick rate: the bundled map-upgrade script on
// the sample unit, checked by the state it leaves on the SD card; and the
// bundled POI-only script on the same unit.
#include "builtins/C_BUILTINS.h"
#include "tests/support/unit_fixture.h"
#include "tools/scripthost/demo.h"
#include "tools/scripthost/scripthost.h"
#include "unit/history.h"
#include "unit/hmi.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>

namespace {

namespace fs = std::filesystem;
using scripthost::demo::DemoOptions;
using scripthost::demo::DemoReport;

const unsigned long k_map_bytes = 96 * 1024;

std::vector<std::string> filesIn(const std::string &dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        names.push_back(it->path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

class DemoTest : public testsupport::UnitFixture {
protected:
    std::string work() const { return root() + "/unit"; }
    std::string sd() const { return work() + "/sd"; }
    std::string media() const { return work() + "/media"; }

    DemoReport runDemo(std::string &output) {
        DemoOptions options;
        options.workDir = work();
        options.tickHz = 60000;
        options.sample.mapBytes = k_map_bytes;
        FILE *out = std::tmpfile();
        options.out = out;
        DemoReport report = scripthost::demo::runDemo(options);
        std::rewind(out);
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, out)) > 0)
            output.append(buf, n);
        std::fclose(out);
        return report;
    }
};

TEST_F(DemoTest, MapUpgradeInstallsOfferedCountriesAndStagesPois) {
    std::string output;
    DemoReport report = runDemo(output);
    ASSERT_EQ(report.exitCode, 0) << output;
    EXPECT_EQ(report.scriptStatus, 0);

    // FRA (installed older) and ITA (new): archives extracted, then the
    // medium's version file copied.
    for (const char *cid : {"FRA", "ITA"}) {
        std::string dir = sd() + "/MAPPE/" + cid;
        EXPECT_EQ(fs::file_size(dir + "/ROADS.DAT"), k_map_bytes / 100 * 60) << cid;
        EXPECT_EQ(fs::file_size(dir + "/NAMES.DAT"), k_map_bytes / 100 * 30) << cid;
        EXPECT_EQ(testsupport::readFile(dir + "/ROADS.DAT").compare(0, 4, std::string(cid) + " "),
                  0);
        EXPECT_EQ(testsupport::readFile(dir + "/CD_VER.NAV.INF"),
                  testsupport::readFile(media() + "/MAPPE/" + cid + "/CD_VER.NAV.INF"));
    }
    // DEU: the installed maps are newer than the medium's and stay.
    EXPECT_NE(testsupport::readFile(sd() + "/MAPPE/DEU/CD_VER.NAV.INF").find("VERSION:9\n"),
              std::string::npos);
    EXPECT_EQ(testsupport::readFile(sd() + "/MAPPE/DEU/ROADS.DAT"), "DEU map data, version 9\n");

    // POIs. FRA has user POIs: the newer restaurant group replaces the
    // user's, the older fuel group does not, the user's own file stays, a
    // delivered file of no group is not copied.
    std::string poi = sd() + "/MAPPE/POI_USER/";
    EXPECT_EQ(filesIn(poi + "TEMP_FRA"),
              (std::vector<std::string>{"FUEL.lzw", "MYPLACES.lzw", "RST.lzw", "RST_1.lzw",
                                        "RSTdsc.lzw", "poi_ver_FUEL.txt", "poi_ver_RST.txt"}));
    EXPECT_EQ(testsupport::readFile(poi + "TEMP_FRA/RST.lzw"),
              "restaurants of FRA, 2024 delivery\n");
    EXPECT_EQ(testsupport::readFile(poi + "TEMP_FRA/FUEL.lzw"),
              "fuel stations of FRA, June 2024\n");
    EXPECT_EQ(testsupport::readFile(poi + "TEMP_FRA/poi_ver_FUEL.txt"),
              "PREFIX:FUEL\nDATE:20240601\n");
    EXPECT_EQ(testsupport::readFile(poi + "TEMP_FRA/poi_ver_RST.txt"),
              "PREFIX:RST\nDATE:20240901\n");
    // ITA (map installed by the script) and DEU have no user POIs: the whole
    // delivery is staged. ESP has no map: skipped.
    const std::vector<std::string> delivered{"FUEL.lzw",       "NOTES.dat",  "RST.lzw",
                                             "RST_1.lzw",      "RSTdsc.lzw", "poi_ver_FUEL.txt",
                                             "poi_ver_RST.txt"};
    EXPECT_EQ(filesIn(poi + "TEMP_ITA"), delivered);
    EXPECT_EQ(filesIn(poi + "TEMP_DEU"), delivered);
    EXPECT_EQ(filesIn(poi), (std::vector<std::string>{"FRA", "TEMP_DEU", "TEMP_FRA", "TEMP_ITA"}));
    EXPECT_EQ(testsupport::readFile(poi + "FRA/RST.lzw"), "restaurants of FRA, 2023\n");
    EXPECT_EQ(testsupport::readFile(sd() + "/TEMP_POI_VER.POI"),
              testsupport::readFile(media() + "/POI/POI_UPD.tgz.inf"));
    EXPECT_FALSE(fs::exists(sd() + "/POI_VER.POI"));
    EXPECT_FALSE(fs::exists(sd() + "/MAPPE/tmp_poi"));
    EXPECT_FALSE(fs::exists(sd() + "/MAPPE/MERGE"));

    // The history got the script's comment (reported by the script's process).
    const size_t history = output.find("  history       \"");
    ASSERT_NE(history, std::string::npos) << output;
    const std::string comment = output.substr(history, output.find('\n', history) - history);
    EXPECT_NE(comment.find("FRA 7.2"), std::string::npos) << comment;
    EXPECT_NE(comment.find("ITA 7.1"), std::string::npos) << comment;
    EXPECT_NE(comment.find("POIs"), std::string::npos) << comment;

    // The terminal text: the countries with old and new versions, the summary
    // and the log's path.
    EXPECT_NE(output.find("FRA  France           5.1       7.2"), std::string::npos) << output;
    EXPECT_NE(output.find("FRA France       5.1 -> 7.2  installed"), std::string::npos);
    EXPECT_NE(output.find("DEU Deutschland  9.0 kept"), std::string::npos) << output;
    EXPECT_EQ(output.find("(UntarBlock)"), std::string::npos);
    EXPECT_NE(output.find("extracted     41 files, listed in " + work() + "/extracted.txt"),
              std::string::npos);
    EXPECT_NE(output.find("module log    " + work() + "/upgsim-demo.log"), std::string::npos);
    EXPECT_TRUE(fs::exists(work() + "/upgsim-demo.log"));
    // The summary fits 80 columns, but for the lines that name the work
    // folder.
    const size_t summary = output.find("\nSummary\n");
    ASSERT_NE(summary, std::string::npos) << output;
    std::istringstream lines(output.substr(summary));
    for (std::string line; std::getline(lines, line);)
        EXPECT_TRUE(line.size() <= 80 || line.find(work()) != std::string::npos) << line;
}

TEST_F(DemoTest, RefusesAFolderThatIsNotEmpty) {
    ASSERT_TRUE(testsupport::writeFile(work() + "/precious.txt", "keep me"));
    std::string output;
    DemoReport report = runDemo(output);
    EXPECT_EQ(report.exitCode, 2);
    EXPECT_EQ(testsupport::readFile(work() + "/precious.txt"), "keep me");
    EXPECT_FALSE(fs::exists(media()));
}

TEST_F(DemoTest, PoiOnlyScriptStagesPoisOfInstalledCountries) {
    std::string error;
    scripthost::demo::SampleOptions sample;
    sample.mapBytes = 4096;
    ASSERT_TRUE(scripthost::demo::buildSampleUnit(work(), sample, error)) << error;
    hostsim::mountDevice("/DVD", media());
    hostsim::mountDevice("/SDH", sd());
    hostsim::setTickRate(60000);
    ASSERT_NE(C_BUILTINS::Instance(), nullptr);
    const char *text = scripthost::bundledText("poi_only.c");
    ASSERT_NE(text, nullptr);
    ASSERT_TRUE(testsupport::writeFile(root() + "/poi_only.c", text));

    scripthost::RunResult r = scripthost::runScript(root() + "/poi_only.c");
    ASSERT_TRUE(r.ran()) << r.messageText();
    EXPECT_EQ(r.status, 0);
    // FRA and DEU have maps on the card; ITA and ESP do not.
    EXPECT_EQ(filesIn(sd() + "/MAPPE/POI_USER"),
              (std::vector<std::string>{"FRA", "TEMP_DEU", "TEMP_FRA"}));
    EXPECT_EQ(unit::historyComments(), std::vector<std::string>{"POIs /DVD/POI/POI_UPD.tgz"});
}

} // namespace
