// Configuration queries and the status print: before and after a load, for
// present and absent modules, and the exact console dump.
#include "tests/config_system/config_fixture.h"

#include <cstring>

namespace {

class ConfigQueryTest : public configtest::ConfigFixture {
protected:
    bool logged(const std::string &text) const { return log().find(text) != std::string::npos; }
    static std::string status() {
        testing::internal::CaptureStdout();
        EXPECT_EQ(0, ShowConfigSystemStatus());
        return testing::internal::GetCapturedStdout();
    }
};

TEST_F(ConfigQueryTest, EveryQueryFailsBeforeStart) {
    char data[21] = "untouched";
    const char *text = "untouched";
    EXPECT_EQ(-1, GetSoftwareConfigSystem("m1", data));
    EXPECT_EQ(-1, GetHardwareConfigSystem("m1", data));
    EXPECT_EQ(-1, GetSoftwareConfiguration("m1", &text));
    EXPECT_EQ(-1, GetHardwareConfiguration("m1", &text));
    EXPECT_STREQ("untouched", data);
    EXPECT_STREQ("untouched", text);
    unsigned char version[20] = {0};
    int index = 7;
    EXPECT_EQ(-1, GetConfigSystemSoftwareVersion(version, index));
    EXPECT_EQ(7, index);
    EXPECT_TRUE(logged("ERROR - GetSoftwareConfig : Config System not initialized\n"));
    EXPECT_TRUE(logged("ERROR - GetSoftwareConfiguration : Config System not initialized\n"));
    EXPECT_TRUE(logged("ERROR - GetHardwareConfig : Config System not initialized\n"));
    EXPECT_FALSE(logged("GetHardwareConfiguration"));
    EXPECT_TRUE(logged("ERROR - GetConfigSystemSoftwareVersion : no version available\n"));
}

TEST_F(ConfigQueryTest, AnswersFromTheLoadedTables) {
    putStandardSet();
    ASSERT_EQ(0, StartConfigSystem());
    hostsim::clearCapturedLog();

    char data[21] = {0};
    const char *text = nullptr;
    EXPECT_EQ(0, GetSoftwareConfigSystem("m2", data));
    EXPECT_STREQ("b2", data);
    EXPECT_EQ(0, GetHardwareConfigSystem("gps", data));
    EXPECT_STREQ("gps-v2", data);
    EXPECT_EQ(0, GetSoftwareConfiguration("m1", &text));
    EXPECT_STREQ("b1", text);
    EXPECT_EQ(0, GetHardwareConfiguration("gps", &text));
    EXPECT_STREQ("gps-v2", text);
    EXPECT_TRUE(logged("GetSoftwareConfig : version=[B] module=[m2] data=[b2]\n"));
    EXPECT_TRUE(logged("GetSoftwareConfiguration : version=[B] module=[m1] data=[b1]\n"));
    // The pointer query on the hardware table logs with the copying query's texts.
    EXPECT_TRUE(logged("ConfigArrayGet : MODULE:[gps] - DATA:[gps-v2]\n"
                       "GetHardwareConfig : version=[2] module=[gps] data=[gps-v2]\n"
                       "-GetHardwareConfig ends (t="));

    unsigned char version[20] = {0};
    int index = -5;
    EXPECT_EQ(0, GetConfigSystemSoftwareVersion(version, index));
    EXPECT_STREQ("B", reinterpret_cast<char *>(version));
    EXPECT_EQ(1, index);

    // Absent module, null arguments: -1 and the caller's buffer untouched.
    std::strcpy(data, "untouched");
    text = "untouched";
    EXPECT_EQ(-1, GetSoftwareConfigSystem("zz", data));
    EXPECT_EQ(-1, GetHardwareConfiguration("zz", &text));
    EXPECT_EQ(-1, GetSoftwareConfigSystem(nullptr, data));
    EXPECT_EQ(-1, GetSoftwareConfiguration("m1", nullptr));
    EXPECT_EQ(-1, GetConfigSystemSoftwareVersion(nullptr, index));
    EXPECT_STREQ("untouched", data);
    EXPECT_STREQ("untouched", text);
    EXPECT_TRUE(logged("ERROR - GetSoftwareConfig : no data for version=[B] module=[zz]!\n"));
    EXPECT_TRUE(logged("ERROR - GetHardwareConfig : no data for version=[2] module=[zz]!\n"));
    EXPECT_TRUE(logged("ERROR - GetSoftwareConfig : null param\n"));
    EXPECT_TRUE(logged("ERROR - GetSoftwareConfiguration : null param\n"));
    EXPECT_TRUE(logged("ERROR - GetConfigSystemSoftwareVersion : null param\n"));

    // Same results without a word logged at debug level 0.
    debug_br = 0;
    hostsim::clearCapturedLog();
    EXPECT_EQ(0, GetSoftwareConfigSystem("m2", data));
    EXPECT_EQ(-1, GetHardwareConfigSystem("zz", data));
    EXPECT_EQ(0, GetConfigSystemSoftwareVersion(version, index));
    EXPECT_EQ("", log());
}

TEST_F(ConfigQueryTest, NoVersionIndexAfterALoadWithoutTheRunningVersion) {
    putStandardSet();
    unit::setBootConfigVersion("C");
    EXPECT_EQ(-1, StartConfigSystem());
    unsigned char version[20] = {0};
    int index = 0;
    EXPECT_EQ(-1, GetConfigSystemSoftwareVersion(version, index));
    EXPECT_TRUE(
        logged("ERROR - GetConfigSystemSoftwareVersion : no version index available for [C]\n"));
}

const char k_banner[] = "\n***************************************************************"
                        "\n***************** ShowConfigSystemStatus **********************"
                        "\n***************************************************************"
                        "\n";
const char k_rule[] = "\n---------------------------------------------------------------";
const char k_stars[] = "\n***************************************************************";

TEST_F(ConfigQueryTest, StatusOfEmptyRecords) {
    std::string record = std::string("\n file version =\t[]\n file module =\t[]\n file data =\t[]"
                                     "\n file version = []\n");
    std::string expected =
        std::string(k_banner) + k_rule + "\n                  CONFIG SYSTEM SOFTWARE" + k_rule +
        record + "\n software version =\t[]\n version index = [-1]\n" + k_rule +
        "\n                  CONFIG SYSTEM HARDWARE" + k_rule + record +
        "\n hardware ID =\t[]\n version index = [-1]\n" + k_stars + k_stars + "\n";
    EXPECT_EQ(expected, status());
}

TEST_F(ConfigQueryTest, StatusOfLoadedRecords) {
    putStandardSet();
    ASSERT_EQ(0, StartConfigSystem());
    const std::string dir = "/F/Data_Base/CONFIGSYSTEM/";
    std::string expected =
        std::string(k_banner) + k_rule + "\n                  CONFIG SYSTEM SOFTWARE" + k_rule +
        "\n file version =\t[" + dir + "Config_SW_Version.cfg]" + "\n file module =\t[" + dir +
        "Config_SW_Module.cfg]" + "\n file data =\t[" + dir + "Config_SW_Data.cfg]" +
        "\n file version = [1.0]\n" + "\n software version =\t[B]\n version index = [1]" +
        "\n   module:[m1] \t data:[b1]\n   module:[m2] \t data:[b2]\n" + k_rule +
        "\n                  CONFIG SYSTEM HARDWARE" + k_rule + "\n file version =\t[" + dir +
        "Config_HW_Version.cfg]" + "\n file module =\t[" + dir + "Config_HW_Module.cfg]" +
        "\n file data =\t[" + dir + "Config_HW_Data.cfg]" + "\n file version = [1.0]\n" +
        "\n hardware ID =\t[2]\n version index = [1]" + "\n   module:[gps] \t data:[gps-v2]\n" +
        k_stars + k_stars + "\n";
    EXPECT_EQ(expected, status());
}

} // namespace
