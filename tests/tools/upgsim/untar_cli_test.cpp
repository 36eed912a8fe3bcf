// "upgsim untar" end to end: the built simulator extracts an archive with the
// bargraph running around the extraction.
#include "tests/builtins/builtins_hmi_support.h"
#include "tests/support/unit_fixture.h"

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <sstream>
#include <string>

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
    // One line that says why, from the module's errno (its own lines only in
    // --log and under --verbose); the same text as the JSON's "error".
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/plain.tgz", std::string(1024, 'x')));
    struct Case {
        const char *args;
        const char *says;
    };
    const Case cases[] = {
        {"untar missing.tgz out", "upgsim: untar: missing.tgz: No such file or directory\n"},
        {"untar plain.tgz out", "upgsim: untar: plain.tgz: not a valid tar file\n"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(run(std::string(c.args) + " --no-progress", m_dir), 1) << c.args;
        EXPECT_EQ(testsupport::readFile(m_dir + "/stderr"), c.says) << c.args;
        EXPECT_EQ(run(std::string(c.args) + " --no-progress --json", m_dir), 1);
        const nlohmann::json error =
            nlohmann::json::parse(testsupport::readFile(m_dir + "/stdout"), nullptr, false);
        EXPECT_EQ(error["code"], 1);
        EXPECT_EQ("upgsim: " + error["error"].get<std::string>() + "\n", c.says);
    }
    EXPECT_EQ(run("untar missing.tgz out --no-progress --verbose", m_dir), 1);
    EXPECT_NE(testsupport::readFile(m_dir + "/stderr").find("gzopen (missing.tgz) : ERROR"),
              std::string::npos);
    EXPECT_EQ(run("untar maps.tgz --no-progress", m_dir), 2);
    EXPECT_EQ(run("untar maps.tgz out --bogus --no-progress", m_dir), 2);
    EXPECT_EQ(run("untar maps.tgz '' --no-progress", m_dir), 2); // not the root folder
    EXPECT_FALSE(testsupport::fileExists(m_dir + "/out"));
}

// "upgsim pack" writes what the module's extractor reads back exactly, the
// same bytes every time, and refuses what the unit would get wrong.
TEST_F(UntarCliTest, PackWritesWhatTheExtractorReadsBack) {
    const std::string src = m_dir + "/maps/FRA";
    ASSERT_TRUE(testsupport::writeFile(src + "/ROADS.DAT", std::string(70000, 'r')));
    ASSERT_TRUE(testsupport::writeFile(src + "/sub/b.dat", "b"));
    ASSERT_TRUE(testsupport::writeFile(src + "/sub/a.dat", ""));
    EXPECT_EQ(run("pack maps/FRA one.tgz", m_dir), 0);
    // Another time stamp on a file: the same bytes.
    ASSERT_EQ(::utimensat(AT_FDCWD, (src + "/sub/a.dat").c_str(), nullptr, 0), 0);
    EXPECT_EQ(run("pack maps/FRA/ two.tgz --json", m_dir), 0);
    EXPECT_EQ(testsupport::readFile(m_dir + "/one.tgz"), testsupport::readFile(m_dir + "/two.tgz"));
    const nlohmann::json report =
        nlohmann::json::parse(testsupport::readFile(m_dir + "/stdout"), nullptr, false);
    EXPECT_EQ(report["files"], 3);
    EXPECT_EQ(report["folders"], 2);
    EXPECT_EQ(report["bytes"], 70001);

    EXPECT_EQ(run("untar one.tgz card --no-progress --log log.txt", m_dir), 0);
    EXPECT_EQ(testsupport::readFile(m_dir + "/card/FRA/ROADS.DAT"), std::string(70000, 'r'));
    EXPECT_EQ(testsupport::readFile(m_dir + "/card/FRA/sub/b.dat"), "b");
    EXPECT_TRUE(testsupport::fileExists(m_dir + "/card/FRA/sub/a.dat"));
    // Sorted, folders before their contents; the listing is in the log only.
    // The bar task logs beside the writer, so its lines may fall between
    // the listing's: the listing is compared without them.
    const std::string log = testsupport::readFile(m_dir + "/log.txt");
    std::string listing;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("(UntarBlock) ", 0) == 0)
            listing += line + "\n";
    EXPECT_EQ(listing, "(UntarBlock) card/FRA/\n(UntarBlock) ./ROADS.DAT\n"
                       "(UntarBlock) card/FRA/sub/\n(UntarBlock) ./a.dat\n(UntarBlock) ./b.dat\n")
        << log;
    EXPECT_EQ(testsupport::readFile(m_dir + "/stdout"), "");

    // Refused with the path and the reason; nothing written.
    struct Case {
        const char *name;
        int (*make)(const std::string &folder);
        const char *says;
    };
    const Case cases[] = {
        {"link", [](const std::string &f) { return ::symlink("x", (f + "/l").c_str()); },
         "a symbolic link"},
        {"fifo", [](const std::string &f) { return ::mkfifo((f + "/p").c_str(), 0644); },
         "not a regular file or folder"},
        {"long",
         [](const std::string &f) {
             return testsupport::writeFile(f + "/" + std::string(97, 'n'), "") ? 0 : -1;
         },
         "a name of 100 characters"},
        {"latin",
         [](const std::string &f) { return testsupport::writeFile(f + "/\xE9", "") ? 0 : -1; },
         "outside printable ASCII"},
    };
    for (const Case &c : cases) {
        const std::string folder = m_dir + "/bad-" + c.name + "/ok";
        ASSERT_TRUE(testsupport::writeFile(folder + "/.keep", ""));
        ASSERT_EQ(c.make(folder), 0) << c.name;
        EXPECT_EQ(run(std::string("pack bad-") + c.name + "/ok bad.tgz", m_dir), 1) << c.name;
        EXPECT_NE(testsupport::readFile(m_dir + "/stderr").find(c.says), std::string::npos)
            << c.name << testsupport::readFile(m_dir + "/stderr");
        EXPECT_FALSE(testsupport::fileExists(m_dir + "/bad.tgz")) << c.name;
    }
    EXPECT_EQ(run("pack bad-latin/ok latin.tgz --allow-non-ascii", m_dir), 0);
}

} // namespace
