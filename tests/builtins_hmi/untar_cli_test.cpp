// "upgsim untar" end to end: the built simulator extracts an archive with the
// bargraph running around the extraction.
#include "tests/builtins_hmi/builtins_hmi_support.h"
#include "tests/support/unit_fixture.h"

#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>

namespace {

using testsupport::shellQuote;

class UntarCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testsupport::makeTempDir("untar-cli");
        ASSERT_FALSE(m_dir.empty());
        m_upgsim = testsupport::upgsimPath();
        ASSERT_TRUE(testsupport::fileExists(m_upgsim)) << m_upgsim;

        ASSERT_TRUE(
            hmitest::writeTgz(m_dir + "/maps.tgz", {{"maps/EUR/a.dat", "europe\n"},
                                                    {"readme.txt", std::string(3000, 'r')}}));
    }
    void TearDown() override { testsupport::removeTree(m_dir); }

    // Runs upgsim with `args` in folder `cwd`; its exit status.
    int run(const std::string &args, const std::string &cwd) {
        return testsupport::runUpgsim(args, m_dir, cwd);
    }

    std::string m_dir;
    std::string m_upgsim;
};

TEST_F(UntarCliTest, ExtractsWithTheBargraphAround) {
    std::string dest = m_dir + "/out"; // no trailing '/': the command adds it
    EXPECT_EQ(run("untar maps.tgz " + shellQuote(dest) + " --no-progress --log run.log", m_dir), 0);
    EXPECT_EQ(testsupport::readFile(dest + "/maps/EUR/a.dat"), "europe\n");
    EXPECT_EQ(testsupport::readFile(dest + "/readme.txt"), std::string(3000, 'r'));
    std::string log = testsupport::readFile(m_dir + "/run.log");
    size_t begin = log.find("(StaticProgressBarTask): Begin");
    size_t untar_end = log.find("(Untar): End Untar, returned value : 0");
    size_t bar_end = log.find("(StaticProgressBarTask): End");
    ASSERT_NE(begin, std::string::npos) << log;
    ASSERT_NE(untar_end, std::string::npos) << log;
    ASSERT_NE(bar_end, std::string::npos) << log;
    EXPECT_LT(begin, untar_end);
    EXPECT_LT(untar_end, bar_end);

    // --json: what was written, and only the JSON on standard output.
    EXPECT_EQ(run("untar maps.tgz json-out --json --no-progress", m_dir), 0);
    const nlohmann::json report =
        nlohmann::json::parse(testsupport::readFile(m_dir + "/stdout"), nullptr, false);
    ASSERT_TRUE(report.is_object()) << testsupport::readFile(m_dir + "/stdout");
    EXPECT_EQ(report["files"], 2);
    EXPECT_EQ(report["bytes"], 7 + 3000);
    EXPECT_EQ(report["result"], 0);
    EXPECT_EQ(report["destination"], "json-out");
    EXPECT_EQ(testsupport::readFile(m_dir + "/json-out/readme.txt"), std::string(3000, 'r'));

    // The counts are the extraction's own: archives that a second reader
    // might not list (a gzip of nothing, a folder header carrying data, a
    // name in UTF-8 under the C locale) still report what was written and
    // exit 0.
    using testsupport::TarBuilder;
    using testsupport::TarHeader;
    struct Case {
        const char *what;
        std::string tgz;
        int files, folders, bytes;
    };
    const Case cases[] = {
        {"gzip of nothing", testsupport::gzip(""), 0, 0, 0},
        {"folder carrying data",
         testsupport::gzip(TarBuilder()
                               .header(TarHeader::directory("d/").size(600))
                               .data(std::string(600, 'D'))
                               .file("d/x", "ok")
                               .finish()),
         1, 1, 2},
        {"UTF-8 name, link skipped",
         testsupport::gzip(TarBuilder()
                               .file("Stra\xc3\x9f"
                                     "e.dat",
                                     "abc")
                               .symlink("l", "x")
                               .finish()),
         1, 0, 3},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(testsupport::writeFile(m_dir + "/c.tgz", c.tgz));
        testsupport::removeTree(m_dir + "/c-out");
        EXPECT_EQ(run("untar c.tgz c-out --json --no-progress", m_dir), 0) << c.what;
        const nlohmann::json r =
            nlohmann::json::parse(testsupport::readFile(m_dir + "/stdout"), nullptr, false);
        ASSERT_TRUE(r.is_object()) << c.what << ": " << testsupport::readFile(m_dir + "/stdout");
        EXPECT_EQ(r["files"], c.files) << c.what;
        EXPECT_EQ(r["folders"], c.folders) << c.what;
        EXPECT_EQ(r["entries"], c.files + c.folders) << c.what;
        EXPECT_EQ(r["bytes"], c.bytes) << c.what;
    }
}

TEST_F(UntarCliTest, RelativeDropsTheLeadingSlash) {
    // The absolute destination becomes relative to the working folder.
    std::string cwd = m_dir + "/cwd";
    ASSERT_TRUE(testsupport::writeFile(cwd + "/.keep", ""));
    EXPECT_EQ(
        run("untar ../maps.tgz " + shellQuote(m_dir + "/abs") + " --relative --no-progress", cwd),
        0);
    EXPECT_EQ(testsupport::readFile(cwd + m_dir + "/abs/maps/EUR/a.dat"), "europe\n");
    EXPECT_FALSE(testsupport::fileExists(m_dir + "/abs"));
}

TEST_F(UntarCliTest, FailuresAndUsage) {
    EXPECT_EQ(run("untar missing.tgz out --no-progress", m_dir), 1);
    // The module's error line says why, without --log.
    EXPECT_NE(testsupport::readFile(m_dir + "/stderr").find("gzopen (missing.tgz) : ERROR"),
              std::string::npos);
    EXPECT_EQ(run("untar missing.tgz out --no-progress --json", m_dir), 1);
    const nlohmann::json error =
        nlohmann::json::parse(testsupport::readFile(m_dir + "/stdout"), nullptr, false);
    EXPECT_EQ(error["code"], 1);
    EXPECT_EQ(error["error"], "untar: extraction of 'missing.tgz' failed");
    EXPECT_EQ(run("untar maps.tgz --no-progress", m_dir), 2);
    EXPECT_EQ(run("untar maps.tgz out --bogus --no-progress", m_dir), 2);
    EXPECT_EQ(run("untar maps.tgz '' --no-progress", m_dir), 2); // not the root folder
    EXPECT_FALSE(testsupport::fileExists(m_dir + "/out"));
}

} // namespace
