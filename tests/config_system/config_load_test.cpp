// Configuration loading: row selection in the version-by-module table, line
// formats, files that end early or hold odd lines, file versions and
// integrity, and the start sequence's stops.
#include "tests/config_system/config_fixture.h"

using configtest::pairs;
using Strings = std::vector<std::string>;

namespace {

class ConfigLoadTest : public configtest::ConfigFixture {
protected:
    // Identifies both records (software version `version`) and loads the
    // software files.
    int loadSoftware(const std::string &version) {
        unit::setBootConfigVersion(version);
        if (InitConfigSystem() != 0)
            return -2;
        hostsim::clearCapturedLog();
        return CreateConfigSystem(g_configsystem_software);
    }
    bool logged(const std::string &text) const { return log().find(text) != std::string::npos; }
};

TEST_F(ConfigLoadTest, SelectsTheRowOfTheRunningVersionWhateverTheLineEnds) {
    struct Variant {
        const char *name, *versions, *modules, *data;
    } variants[] = {
        {"LF", "A\nB\n", "m1\nm2\n", "a1\na2\nb1\nb2\n"},
        {"CR LF", "A\r\nB\r\n", "m1\r\nm2\r\n", "a1\r\na2\r\nb1\r\nb2\r\n"},
        {"no final line end", "A\nB", "m1\nm2", "a1\na2\nb1\nb2"},
        {"more rows than versions", "A\nB\n", "m1\nm2\n", "a1\na2\nb1\nb2\nc1\nc2\nd1\n"},
    };
    for (const Variant &v : variants) {
        SCOPED_TRACE(v.name);
        ClearConfigSystem();
        putConfig("SW", v.versions, v.modules, v.data);
        EXPECT_EQ(0, loadSoftware("B"));
        EXPECT_EQ(1, g_configsystem_software.version_index);
        EXPECT_EQ((Strings{"m1=b1", "m2=b2"}), pairs(g_configsystem_software.list));
        EXPECT_TRUE(logged("CreateConfigSystem : add version=[B] - module=[m1] - data=[b1]\n"
                           "CreateConfigSystem : add version=[B] - module=[m2] - data=[b2]\n"
                           "CreateConfigSystem : write datas ends for version=[B]\n"));
    }
}

TEST_F(ConfigLoadTest, AbsentVersionLoadsNothing) {
    putConfig("SW", "A\nB\n", "m1\nm2\n", "a1\na2\nb1\nb2\n");
    EXPECT_EQ(-1, loadSoftware("C"));
    EXPECT_TRUE(logged("ERROR - CreateConfigSystem : no data for config=[C]\n"));
    EXPECT_EQ(-1, g_configsystem_software.version_index);
    EXPECT_EQ(nullptr, g_configsystem_software.list);
}

TEST_F(ConfigLoadTest, DataEndingInsideTheSelectedRowKeepsTheList) {
    putConfig("SW", "A\nB\n", "m1\nm2\n", "a1\na2\nb1\n");
    unit::setBootConfigVersion("B");
    ASSERT_EQ(0, InitConfigSystem());
    ASSERT_EQ(0, ConfigArrayAdd(&g_configsystem_software.list, "kept", "k"));
    hostsim::clearCapturedLog();
    EXPECT_EQ(-1, CreateConfigSystem(g_configsystem_software));
    EXPECT_TRUE(logged("ERROR - CreateConfigSystem : data not available - end of file\n"
                       "ERROR - CreateConfigSystem : cannot write data\n"));
    EXPECT_FALSE(logged("no data for config"));
    EXPECT_EQ((Strings{"kept=k"}), pairs(g_configsystem_software.list));
}

TEST_F(ConfigLoadTest, DataEndingBeforeTheSelectedRow) {
    putConfig("SW", "A\nB\nC\n", "m1\nm2\n", "a1\na2\nb1\n");
    EXPECT_EQ(-1, loadSoftware("C"));
    EXPECT_TRUE(logged("ERROR - CreateConfigSystem : data not available - end of file\n"
                       "ERROR - CreateConfigSystem : cannot write data\n"
                       "ERROR - CreateConfigSystem : no data for config=[C]\n"));
    EXPECT_EQ(-1, g_configsystem_software.version_index);
}

TEST_F(ConfigLoadTest, EmptyFilesEndInFailure) {
    // A matching version with no modules: the copy of the empty row fails.
    putConfig("SW", "A\nB\n", "", "a1\n");
    EXPECT_EQ(-1, loadSoftware("B"));
    EXPECT_EQ(nullptr, g_configsystem_software.list);
    EXPECT_TRUE(logged("CreateConfigSystem : write datas ends for version=[B]\n"));

    putConfig("SW", "", "", "");
    EXPECT_EQ(-1, loadSoftware("B"));
    EXPECT_TRUE(logged("ERROR - CreateConfigSystem : no data for config=[B]\n"));

    testsupport::removeTree(host(unitPath("Config_SW_Data.cfg")));
    EXPECT_EQ(-1, loadSoftware("B"));
    EXPECT_TRUE(logged("ERROR - CreateConfigSystem : fopen files\n"));
}

TEST_F(ConfigLoadTest, LongLinesAreCutAndDoNotShiftRows) {
    const std::string longVersion(60, 'V'); // beyond the 40-byte read buffer
    const std::string exact39(39, 'x');     // fills the buffer exactly
    const std::string longData(45, 'd');
    putConfig("SW", longVersion + "\n" + exact39 + "\nB\n", "m1\n" + std::string(50, 'M') + "\n",
              "a\nb\n" + exact39 + "\r\n" + longData + "\n" + "0123456789012345678901234\nb2\n");
    EXPECT_EQ(0, loadSoftware("B"));
    EXPECT_EQ(2, g_configsystem_software.version_index);
    EXPECT_EQ((Strings{"m1=0123456789012345678"
                       "9",
                       std::string(20, 'M') + "=b2"}),
              pairs(g_configsystem_software.list));

    // Only the first 20 characters of a version line are compared, and a
    // running version has at most 19: a longer line is no match for its
    // own prefix.
    putConfig("SW", "ABCDEFGHIJKLMNOPQRSTUV\n", "m\n", "d\n");
    EXPECT_EQ(-1, loadSoftware("ABCDEFGHIJKLMNOPQRS"));
}

TEST_F(ConfigLoadTest, StartLoadsBothConfigurations) {
    putStandardSet();
    EXPECT_EQ(0, StartConfigSystem());
    EXPECT_EQ((Strings{"m1=b1", "m2=b2"}), pairs(g_configsystem_software.list));
    EXPECT_EQ((Strings{"gps=gps-v2"}), pairs(g_configsystem_hardware.list));
    EXPECT_STREQ("2", g_configsystem_hardware.config_version);
    EXPECT_STREQ("1.0", g_configsystem_software.current_file_version);
    EXPECT_STREQ("/F/Data_Base/CONFIGSYSTEM/Config_HW_Data.cfg", g_configsystem_hardware.file_data);
    EXPECT_TRUE(logged("InitConfigSystem OK\n"));
    EXPECT_TRUE(logged("CheckFileConfigSystem : current file version=[1.0]\n"));
    EXPECT_EQ(0u, log().find("+StartConfigSystem starts (t="));
    EXPECT_TRUE(logged("+StartConfigSystem ends (t="));

    // A reload gives the same tables (and frees the old ones).
    EXPECT_EQ(0, StartConfigSystem());
    EXPECT_EQ((Strings{"m1=b1", "m2=b2"}), pairs(g_configsystem_software.list));
}

// The whole log of a sound start, ticks blanked: every step in order, each
// function between its start and end lines, the exact texts.
TEST_F(ConfigLoadTest, StartLogsEveryStepInOrder) {
    putStandardSet();
    ASSERT_EQ(0, StartConfigSystem());
    std::string text = log();
    for (size_t pos = text.find("(t="); pos != std::string::npos; pos = text.find("(t=", pos)) {
        size_t end = text.find(')', pos);
        ASSERT_NE(std::string::npos, end);
        text.erase(pos + 3, end - pos - 3);
        pos += 3;
    }
    const std::string checkFile = "+CheckFileConfigSystem starts (t=)\n"
                                  "CheckFileConfigSystem : current file version=[1.0]\n"
                                  "-CheckFileConfigSystem ends (t=)\n";
    EXPECT_EQ("+StartConfigSystem starts (t=)\n"
              "+ClearConfigSystem starts (t=)\n"
              "-ClearConfigSystem ends (t=)\n"
              "+InitConfigSystem starts (t=)\n"
              "InitConfigSystem OK\n"
              "-InitConfigSystem ends (t=)\n" +
                  checkFile + checkFile +
                  "+CheckFlagConfigSystem starts (t=)\n"
                  "-CheckFlagConfigSystem ends (t=)\n"
                  "+CreateConfigSystem starts (t=)\n"
                  "CreateConfigSystem : add version=[B] - module=[m1] - data=[b1]\n"
                  "CreateConfigSystem : add version=[B] - module=[m2] - data=[b2]\n"
                  "CreateConfigSystem : write datas ends for version=[B]\n"
                  "-CreateConfigSystem ends (t=)\n"
                  "+CreateConfigSystem starts (t=)\n"
                  "CreateConfigSystem : add version=[2] - module=[gps] - data=[gps-v2]\n"
                  "CreateConfigSystem : write datas ends for version=[2]\n"
                  "-CreateConfigSystem ends (t=)\n"
                  "+StartConfigSystem ends (t=)\n",
              text);
}

TEST_F(ConfigLoadTest, DifferentFileVersionsStopTheStart) {
    for (const char *kindText : {"SW", "HW"}) {
        const std::string kind = kindText;
        SCOPED_TRACE(kind);
        putStandardSet();
        putFile("Config_" + kind + "_Data.cfg", "x\n", "1.1");
        hostsim::clearCapturedLog();
        EXPECT_EQ(-1, StartConfigSystem());
        EXPECT_TRUE(logged("ERROR - CheckFileConfigSystem : not same file version\n"
                           "ERROR - CheckFileConfigSystem : version=[1.0] module=[1.0] "
                           "data=[1.1]\n"));
        EXPECT_TRUE(logged(std::string("ERROR - StartConfigSystem : CheckFileConfigSystem ") +
                           (kind == "SW" ? "software\n" : "hardware\n")));
        EXPECT_EQ(nullptr, g_configsystem_software.list);
    }
}

TEST_F(ConfigLoadTest, IntegrityFailureOfAnyFileStopsTheStart) {
    const struct {
        const char *file, *step;
    } cases[] = {
        {"Config_SW_Version.cfg", "CheckFileConfigSystem software"},
        {"Config_SW_Module.cfg", "CheckFileConfigSystem software"},
        {"Config_SW_Data.cfg", "CheckFileConfigSystem software"},
        {"Config_HW_Version.cfg", "CheckFileConfigSystem hardware"},
        {"Config_HW_Module.cfg", "CheckFileConfigSystem hardware"},
        {"Config_HW_Data.cfg", "CheckFileConfigSystem hardware"},
        {"ConfigFlag.cfg", "CheckFlagConfigSystem software"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        putStandardSet();
        // Changed after stamping: the CRC no longer matches.
        ASSERT_TRUE(testsupport::writeFile(host(unitPath(c.file)), "tampered\n"));
        hostsim::clearCapturedLog();
        EXPECT_EQ(-1, StartConfigSystem());
        std::string crcLine = std::string(c.file) == "ConfigFlag.cfg"
                                  ? "ERROR - CheckFlagConfigSystem : CRC error ["
                                  : "ERROR - CheckFileConfigSystem : CRC error [";
        EXPECT_TRUE(logged(crcLine + unitPath(c.file) + "]\n"));
        EXPECT_TRUE(logged(std::string("ERROR - StartConfigSystem : ") + c.step + "\n"));
        EXPECT_EQ(nullptr, g_configsystem_software.list);
    }
}

TEST_F(ConfigLoadTest, IdentityFailures) {
    putStandardSet();
    unit::setBootConfigVersionFails(true);
    EXPECT_EQ(-1, StartConfigSystem());
    EXPECT_TRUE(logged("ERROR - InitConfigSystem : InterGetDBBootConfigSystemVersion!\n"
                       "ERROR - InitConfigSystem !\n"));
    EXPECT_TRUE(logged("ERROR - StartConfigSystem : InitConfigSystem\n"));
    EXPECT_STREQ("", g_configsystem_hardware.file_version); // left untouched

    // An unknown hardware release (-1) is no row of the hardware table.
    unit::setBootConfigVersionFails(false);
    unit::setHardReleaseFails(true);
    hostsim::clearCapturedLog();
    EXPECT_EQ(-1, StartConfigSystem());
    EXPECT_TRUE(logged("ERROR - CreateConfigSystem : no data for config=[-1]\n"));
    EXPECT_TRUE(logged("ERROR - StartConfigSystem : CreateConfigSystem hardware\n"));
    EXPECT_EQ((Strings{"m1=b1", "m2=b2"}), pairs(g_configsystem_software.list));
}

TEST_F(ConfigLoadTest, LongFileVersionIsKeptTerminated) {
    putStandardSet();
    const std::string version = "2024.11.05-build-0042-rc1";
    putConfig("SW", "A\nB\n", "m1\nm2\n", "a1\na2\nb1\nb2\n", version);
    ASSERT_EQ(0, InitConfigSystem());
    EXPECT_EQ(0, CheckFileConfigSystem(g_configsystem_software));
    EXPECT_EQ(version.substr(0, 19), g_configsystem_software.current_file_version);
}

TEST_F(ConfigLoadTest, DebugLevelZeroLogsNothingAndGivesTheSameResults) {
    debug_br = 0;
    putStandardSet();
    EXPECT_EQ(0, StartConfigSystem());
    EXPECT_EQ((Strings{"m1=b1", "m2=b2"}), pairs(g_configsystem_software.list));
    putConfig("SW", "A\nB\n", "m1\nm2\n", "a1\na2\nb1\n");
    EXPECT_EQ(-1, StartConfigSystem());
    EXPECT_EQ(1, g_configsystem_software.version_index);
    EXPECT_EQ(nullptr, g_configsystem_software.list);
    EXPECT_EQ("", log());
}

} // namespace
