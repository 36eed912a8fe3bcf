// "upgsim run" and "upgsim demo" end to end: the built simulator as a user
// runs it (exit statuses, compiler messages, the demo's terminal text without
// the extraction listing).
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using testsupport::shellQuote;

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testsupport::makeTempDir("scripthost-cli");
        ASSERT_FALSE(m_dir.empty());
        m_upgsim = testsupport::upgsimPath();
        ASSERT_TRUE(testsupport::fileExists(m_upgsim)) << m_upgsim;
    }
    void TearDown() override { testsupport::removeTree(m_dir); }

    // Runs upgsim with `args`; its exit status. Output in out() and err().
    int upgsim(const std::string &args) { return testsupport::runUpgsim(args, m_dir); }
    std::string out() const { return testsupport::readFile(m_dir + "/stdout"); }
    std::string err() const { return testsupport::readFile(m_dir + "/stderr"); }

    std::string m_dir;
    std::string m_upgsim;
};

TEST_F(CliTest, RunExitsWithTheScriptsStatus) {
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/media/DESCRI.DAT", "x"));
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/script.c", R"(#include <stdio.h>
#include "upgrade_builtins.h"
int main(int argc, char **argv) {
    FILE *f = fopen("/DVD/DESCRI.DAT", "r");
    printf("%s %s %d %d\n", argv[1], argv[2], f != NULL, GetSDBlockSize());
    return 7;
}
)"));
    testsupport::writeFile(m_dir + "/sd/.keep", "");
    EXPECT_EQ(upgsim("--media " + shellQuote(m_dir + "/media") + " run --sd " +
                     shellQuote(m_dir + "/sd") + " --sd-block-size 16384 " +
                     shellQuote(m_dir + "/script.c") + " one two"),
              7)
        << err();
    EXPECT_EQ(out(), "one two 1 16384\n");
}

TEST_F(CliTest, RunReportsCompileErrorsWithFileAndLine) {
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/broken.c", "int main(void) {\n"
                                                            "    return missing;\n"
                                                            "}\n"));
    EXPECT_EQ(upgsim("run --no-progress " + shellQuote(m_dir + "/broken.c")), 126);
    EXPECT_NE(err().find(m_dir + "/broken.c:2: error: 'missing' undeclared"), std::string::npos)
        << err();
    EXPECT_EQ(upgsim("run " + shellQuote(m_dir + "/absent.c")), 127);
    EXPECT_EQ(upgsim("run --write-header " + shellQuote(m_dir + "/include")), 0) << err();
    EXPECT_NE(testsupport::readFile(m_dir + "/include/upgrade_builtins.h")
                  .find("int Get_DVD_CIDInfoList(t_upg_country_table *country_table);"),
              std::string::npos);
}

TEST_F(CliTest, DemoRunsTheUpgradeAndKeepsTheUnit) {
    std::string keep = m_dir + "/unit";
    EXPECT_EQ(upgsim("demo --keep " + shellQuote(keep) + " --map-mb 1 --tick-hz 60000"), 0) << err();
    std::string text = out();
    EXPECT_NE(text.find("== 4. Countries offered"), std::string::npos) << text;
    EXPECT_NE(text.find("ITA: installed in /SDH/MAPPE/ITA/"), std::string::npos) << text;
    EXPECT_NE(text.find("module log    " + keep + "/upgsim-demo.log"), std::string::npos);
    // The extraction listing went to its file, not to the terminal.
    EXPECT_EQ(text.find("(UntarBlock)"), std::string::npos);
    EXPECT_NE(testsupport::readFile(keep + "/extracted.txt").find("(UntarBlock) ./ROADS.DAT"),
              std::string::npos);
    EXPECT_TRUE(testsupport::fileExists(keep + "/sd/MAPPE/ITA/CD_VER.NAV.INF"));
    EXPECT_TRUE(testsupport::fileExists(keep + "/map_upgrade.c"));

    // A second demo into the same folder is refused; the unit stays.
    EXPECT_EQ(upgsim("demo --keep " + shellQuote(keep)), 2);
    EXPECT_TRUE(testsupport::fileExists(keep + "/sd/MAPPE/ITA/CD_VER.NAV.INF"));
}

} // namespace
