// The simulator's "stamp" and "config" commands, run as a user would: files
// prepared and stamped with the CLI, then loaded, shown and queried. The stamp
// takes its version as "--version=TEXT": a bare "--version" word is the
// simulator's own global option.
#include "tests/support/unit_fixture.h"

#include <nlohmann/json.hpp>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <filesystem>

namespace {

class ConfigCliTest : public testsupport::UnitFixture {
protected:
    void SetUp() override {
        UnitFixture::SetUp();
        m_upgsim = testsupport::upgsimPath();
        if (access(m_upgsim.c_str(), X_OK) != 0)
            GTEST_SKIP() << "upgsim not built at " << m_upgsim;
    }

    // Runs upgsim with `--flash <flash folder>` and `args`; returns its exit
    // code, its standard output in m_out and its standard error in m_err.
    int run(const std::string &args) {
        int status =
            testsupport::runUpgsim("--flash " + testsupport::shellQuote(flashDir()) + " " + args,
                                   root());
        m_out = testsupport::readFile(root() + "/stdout");
        m_err = testsupport::readFile(root() + "/stderr");
        return status;
    }

    // Writes a configuration file and stamps it through the CLI.
    void put(const std::string &name, const std::string &content, const char *version = "7") {
        ASSERT_TRUE(
            testsupport::writeFile(flashDir() + "/Data_Base/CONFIGSYSTEM/" + name, content));
        ASSERT_EQ(0, run("stamp /F/Data_Base/CONFIGSYSTEM/" + name + " --version=" + version))
            << m_err;
    }

    std::string m_upgsim, m_out, m_err;
};

TEST_F(ConfigCliTest, PreparedFilesAreShownAndQueried) {
    put("Config_SW_Version.cfg", "V0.9\nV1.0\n");
    put("Config_SW_Module.cfg", "radio\nnav\n");
    put("Config_SW_Data.cfg", "r-old\nn-old\nr-new\nn-new\n");
    put("Config_HW_Version.cfg", "1\n3\n");
    put("Config_HW_Module.cfg", "screen\n");
    put("Config_HW_Data.cfg", "7inch\n8inch\n");
    put("ConfigFlag.cfg", "on\n");

    // Defaults: software version "V1.0", hardware release 1.
    ASSERT_EQ(0, run("config show")) << m_err;
    EXPECT_NE(std::string::npos, m_out.find("\n software version =\t[V1.0]\n version index = [1]"
                                            "\n   module:[radio] \t data:[r-new]"
                                            "\n   module:[nav] \t data:[n-new]\n"));
    EXPECT_NE(std::string::npos, m_out.find("\n hardware ID =\t[1]\n version index = [0]"
                                            "\n   module:[screen] \t data:[7inch]\n"));

    EXPECT_EQ(0, run("config get nav"));
    EXPECT_EQ("n-new\n", m_out);
    EXPECT_EQ(0, run("config get screen --hardware --hw-release 3 --debug 0"));
    EXPECT_EQ("8inch\n", m_out);
    EXPECT_EQ(0, run("config get radio --sw-config-version V0.9"));
    EXPECT_EQ("r-old\n", m_out);
    EXPECT_EQ(1, run("config get absent"));
    EXPECT_EQ("", m_out);

    // The same as JSON: the rows as loaded, one answer, the error object.
    using nlohmann::json;
    ASSERT_EQ(0, run("config show --json --hw-release 3")) << m_err;
    const json shown = json::parse(m_out, nullptr, false);
    ASSERT_TRUE(shown.is_object()) << m_out;
    EXPECT_EQ(shown["software"]["config_version"], "V1.0");
    EXPECT_EQ(shown["software"]["version_index"], 1);
    EXPECT_EQ(shown["software"]["file_version"], "7");
    EXPECT_EQ(shown["software"]["modules"], json::parse(R"([{"module": "radio", "data": "r-new"},
                              {"module": "nav", "data": "n-new"}])"));
    EXPECT_EQ(shown["hardware"]["config_version"], "3");
    EXPECT_EQ(shown["hardware"]["modules"],
              json::parse(R"([{"module": "screen", "data": "8inch"}])"));
    ASSERT_EQ(0, run("config get screen --hardware --json"));
    EXPECT_EQ(json::parse(m_out), json::parse(R"({"module": "screen", "table": "hardware",
                                                  "data": "7inch"})"));
    EXPECT_EQ(1, run("config get absent --json"));
    EXPECT_EQ(
        json::parse(m_out),
        json::parse(R"({"error": "config: no software data for module 'absent'", "code": 1})"));

    // A running version absent from the tables: reported, the status still shown.
    EXPECT_EQ(1, run("config show --sw-config-version V2.0"));
    EXPECT_NE(std::string::npos, m_out.find("ShowConfigSystemStatus"));
    EXPECT_EQ(1, run("config show --fail-boot-db"));
    EXPECT_EQ(1, run("config show --fail-boot-db --json"));
    EXPECT_EQ(nlohmann::json::parse(m_out)["code"], 1) << m_out;
}

// The sample tree shipped in examples/config loads as it stands: all seven
// files present, stamped and of one file version, a row for the default
// software version and hardware release, and one for the other release.
TEST_F(ConfigCliTest, SampleConfigurationLoads) {
    std::error_code ec;
    std::filesystem::copy(UPG_SOURCE_DIR "/examples/config", flashDir(),
                          std::filesystem::copy_options::recursive, ec);
    ASSERT_FALSE(ec) << ec.message();

    ASSERT_EQ(0, run("config show")) << m_err;
    EXPECT_NE(std::string::npos, m_out.find("\n software version =\t[V1.0]\n version index = [1]"
                                            "\n   module:[RADIO] \t data:[FM_AM_DAB]"));
    EXPECT_NE(std::string::npos, m_out.find("\n hardware ID =\t[1]\n version index = [0]"
                                            "\n   module:[DISPLAY] \t data:[6.5_INCH]"));
    EXPECT_EQ(0, run("config get AMPLIFIER --hardware --hw-release 2"));
    EXPECT_EQ("EXTERNAL_6CH\n", m_out);
}

TEST_F(ConfigCliTest, UsageErrors) {
    ASSERT_TRUE(testsupport::writeFile(flashDir() + "/f", "x"));
    const std::vector<std::string> usageCases = {
        "config",
        "config get",
        "config show extra",
        "config frob",
        "config show --debug x",
        "config show --sw-config-version 01234567890123456789",
        "config show --bogus",
        "stamp /F/f",
        "stamp --version=1",
        "stamp /F/f /F/g --version=1",
        "stamp /F/f --version=" + std::string(96, 'v')};
    for (const std::string &args : usageCases) {
        SCOPED_TRACE(args);
        EXPECT_EQ(2, run(args));
        EXPECT_EQ(0u, m_err.find("upgsim: "));
        EXPECT_EQ(1, std::count(m_err.begin(), m_err.end(), '\n'));
    }
    EXPECT_EQ(1, run("stamp /F/missing --version=1"));
    EXPECT_EQ(1, run("config show")); // nothing prepared
}

} // namespace
