// Upgrade type: version-file search order, existence test, the current-version
// file, and a second analysis on the same tree.
#include "cartotree_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using cartotest::CartoTreeTest;
using testsupport::descriLine;

class UpgTypeTest : public CartoTreeTest {
protected:
    t_upg_plugin_type analyse(const char *name = "DESCRI.DAT") {
        return tree().GetUpgradeType(name, static_cast<int>(std::strlen(name)),
                                     tree().GetMediaCartoDrive());
    }
    std::string versionFile() { return tree().GetMapPlgin_DVD_or_CD().GetBuffer(); }
};

TEST_F(UpgTypeTest, DvdVersionFileIsSearchedInTheWholeListFirst) {
    media("DESCRI.DAT", descriLine("A", "MAPS\\CD_VER.NAV") + descriLine("B", "MAPS\\DVD_VER.NAV"));
    media("MAPS/CD_VER.NAV", "x");
    media("MAPS/DVD_VER.NAV", "x");
    EXPECT_EQ(analyse(), UPG_PLUGIN_TYPE_LIST_COUNTRY);
    EXPECT_EQ(tree().GetUpgPlginType(), UPG_PLUGIN_TYPE_LIST_COUNTRY);
    EXPECT_EQ(versionFile(), "/DVD/MAPS/DVD_VER.NAV");
    EXPECT_TRUE(contains(log(), " UpgradeType = LIST_COUNTRY \n"));
}

TEST_F(UpgTypeTest, MissingDvdVersionFileGivesNoneWithoutFallingBack) {
    media("DESCRI.DAT", descriLine("A", "MAPS\\CD_VER.NAV") + descriLine("B", "MAPS\\DVD_VER.NAV"));
    media("MAPS/CD_VER.NAV", "x");
    EXPECT_EQ(analyse(), UPG_PLUGIN_TYPE_NONE);
    EXPECT_EQ(versionFile(), "/DVD/MAPS/DVD_VER.NAV");
    EXPECT_TRUE(contains(log(), "(IsExistFile) fopen (/DVD/MAPS/DVD_VER.NAV) return NULL !!!\n"));
    EXPECT_TRUE(contains(log(), "GetUpgradeType() Invalid SUPPORT UpgradeType = NONE\n"));
    EXPECT_TRUE(contains(log(), "GetUpgradeType()  ERROR in progression occured \n"));
}

TEST_F(UpgTypeTest, FirstCdMatchWinsEvenTheInformationFile) {
    media("DESCRI.DAT", descriLine("A", "MAPS\\CD_VER.NAV.INF", "\n") +
                            descriLine("B", "MAPS\\CD_VER.NAV", "\n"));
    media("MAPS/CD_VER.NAV.INF", "x");
    EXPECT_EQ(analyse(), UPG_PLUGIN_TYPE_MODULE_COUNTRY);
    EXPECT_EQ(versionFile(), "/DVD/MAPS/CD_VER.NAV.INF");
    EXPECT_TRUE(contains(log(), " UpgradeType = MODULE_COUNTRY \n"));
}

TEST_F(UpgTypeTest, TypeDecisionByTheFileName) {
    const struct {
        const char *path;
        int result;
        t_upg_plugin_type type;
        const char *logged;
    } cases[] = {
        {"/DVD/MAPS/DVD_VER.NAV", 0, UPG_PLUGIN_TYPE_LIST_COUNTRY,
         " UpgradeType = LIST_COUNTRY \n"},
        {"/DVD/MAPS/CD_VER.NAV.INF", 0, UPG_PLUGIN_TYPE_MODULE_COUNTRY,
         " UpgradeType = MODULE_COUNTRY \n"},
        {"/DVD/MAPS/README.TXT", 0, UPG_PLUGIN_TYPE_NONE, " UpgradeType = NONE \n"},
        {"DVD_VER.NAV", -1, UPG_PLUGIN_TYPE_NONE, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        hostsim::clearCapturedLog();
        CKWString path(c.path);
        t_upg_plugin_type type = UPG_PLUGIN_TYPE_NONE;
        EXPECT_EQ(tree().SetUpgType(path, &type), c.result);
        EXPECT_EQ(type, c.type);
        EXPECT_EQ(log(), c.logged);
    }
}

TEST_F(UpgTypeTest, MediaWithoutAUsableVersionFileGiveNone) {
    // No slash before the name: never found.
    media("DESCRI.DAT", descriLine("A", "DVD_VER.NAV"));
    media("DVD_VER.NAV", "x");
    EXPECT_EQ(analyse(), UPG_PLUGIN_TYPE_NONE);
    EXPECT_TRUE(contains(log(), "GetUpgDVDorCDValidFileIfFound()   Missing file\n"));

    // No descriptor at all.
    EXPECT_EQ(analyse("OTHER.DAT"), UPG_PLUGIN_TYPE_NONE);
    EXPECT_TRUE(contains(log(), "GetUpgradeType() l_data_List_tmp.size 0 \n"));
    EXPECT_EQ(tree().GetDescriDatList().GetSize(), 0);
}

// A descriptor that cannot be read is no descriptor, never a shorter one: cut
// after its CD_VER.NAV line, a country-selection medium would pass for a
// single-country one.
TEST_F(UpgTypeTest, UnreadableDescriptorFailsTheAnalysis) {
    media("DESCRI.DAT", descriLine("A", "MAPS\\CD_VER.NAV") + descriLine("B", "MAPS\\DVD_VER.NAV"));
    media("MAPS/CD_VER.NAV", "x");
    media("MAPS/DVD_VER.NAV", "x");
    media("FOLDER.DAT/x", "x");
    const struct {
        const char *name;
        int readFault; // the nth read fails with EIO (0: none)
    } cases[] = {{"FOLDER.DAT", 0}, {"DESCRI.DAT", 1}, {"DESCRI.DAT", 2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.name) + " read fault " + std::to_string(c.readFault));
        ASSERT_EQ(analyse(), UPG_PLUGIN_TYPE_LIST_COUNTRY);
        hostsim::clearCapturedLog();
        // The second read ends the file: a fault there cuts nothing but must
        // still not pass for its end.
        if (c.readFault != 0)
            hostsim::injectFault(hostsim::FileOp::Read, c.readFault, EIO);
        EXPECT_EQ(analyse(c.name), UPG_PLUGIN_TYPE_NONE);
        hostsim::clearFaults();
        EXPECT_TRUE(contains(log(), std::string("LoadDescriDataInMemory(),  read (/DVD/") + c.name +
                                        ") failed (errno = 0x"));
        EXPECT_TRUE(contains(log(), "GetUpgradeType()  ERROR in progression occured \n"));
        EXPECT_FALSE(contains(log(), "Missing file"));
        EXPECT_EQ(tree().GetUpgPlginType(), UPG_PLUGIN_TYPE_NONE);
        EXPECT_EQ(tree().GetDescriDatList().GetSize(), 0);
        EXPECT_EQ(tree().GetUpgDVD_CurrVersNaviAbsolutePath(), -1);
    }
}

TEST_F(UpgTypeTest, NullNameChangesNothing) {
    media("DESCRI.DAT", descriLine("A", "MAPS\\DVD_VER.NAV"));
    media("MAPS/DVD_VER.NAV", "x");
    ASSERT_EQ(analyse(), UPG_PLUGIN_TYPE_LIST_COUNTRY);
    hostsim::clearCapturedLog();
    EXPECT_EQ(tree().GetUpgradeType(nullptr, 10, tree().GetMediaCartoDrive()),
              UPG_PLUGIN_TYPE_NONE);
    EXPECT_TRUE(contains(sysToolLog(), "GetUpgradeType() p_descri_root_file is NULL"));
    EXPECT_TRUE(contains(log(), "GetUpgradeType()  ERROR in progression occured \n"));
    EXPECT_EQ(tree().GetDescriDatList().GetSize(), 1);
    EXPECT_EQ(tree().GetUpgPlginType(), UPG_PLUGIN_TYPE_LIST_COUNTRY);
}

TEST_F(UpgTypeTest, SecondAnalysisAnswersForTheMediumNowInTheDrive) {
    media("DESCRI.DAT",
          descriLine("A", "MAPS\\DVD_VER.NAV") + descriLine("C", "MAPS\\CURR_VERS_NAVI.TXT"));
    media("MAPS/DVD_VER.NAV", "x");
    ASSERT_EQ(analyse(), UPG_PLUGIN_TYPE_LIST_COUNTRY);
    ASSERT_EQ(tree().GetUpgDVD_CurrVersNaviAbsolutePath(), 0);
    // The same medium again: the same records, not twice as many.
    ASSERT_EQ(analyse(), UPG_PLUGIN_TYPE_LIST_COUNTRY);
    EXPECT_EQ(tree().GetDescriDatList().GetSize(), 2);

    // Another medium: a single-country one without current-version file.
    // Nothing of the first one's current-version file is left for the
    // country checks to read.
    media("DESCRI.DAT", descriLine("A", "MAPS\\CD_VER.NAV"));
    media("MAPS/CD_VER.NAV", "x");
    EXPECT_EQ(analyse(), UPG_PLUGIN_TYPE_MODULE_COUNTRY);
    EXPECT_EQ(versionFile(), "/DVD/MAPS/CD_VER.NAV");
    EXPECT_STREQ(tree().GetMapPlgin_DVD_CurrVersNavi().GetBuffer(), "");
    EXPECT_EQ(tree().GetUpgDVD_CurrVersNaviAbsolutePath(), -1);

    // A medium without upgrade: the previous type does not survive.
    media("DESCRI.DAT", descriLine("A", "MAPS\\README.TXT"));
    EXPECT_EQ(analyse(), UPG_PLUGIN_TYPE_NONE);
    EXPECT_EQ(tree().GetUpgPlginType(), UPG_PLUGIN_TYPE_NONE);
}

TEST_F(UpgTypeTest, CurrentVersionFileAndCountryFileSearches) {
    EXPECT_EQ(tree().GetUpgDVD_CurrVersNaviAbsolutePath(), -1);
    EXPECT_TRUE(contains(log(), "GetUpgDVD_CurrVersNaviAbsolutePath()   Missing file\n"));

    media("DESCRI.DAT",
          descriLine("A", "MAPS\\DVD_VER.NAV") + descriLine("C", "MAPS\\CURR_VERS_NAVI.TXT"));
    media("MAPS/DVD_VER.NAV", "x");
    ASSERT_EQ(analyse(), UPG_PLUGIN_TYPE_LIST_COUNTRY);
    // The current-version file's existence is not tested here.
    EXPECT_EQ(tree().GetUpgDVD_CurrVersNaviAbsolutePath(), 0);
    EXPECT_STREQ(tree().GetMapPlgin_DVD_CurrVersNavi().GetBuffer(), "/DVD/MAPS/CURR_VERS_NAVI.TXT");

    CKWArray<t_upg_descri_dat_elt> list(10, 10);
    t_upg_descri_dat_elt e;
    e.m_file_path = "MAPPE/ITA/GRUPPO_4_CID.DAT.inf";
    list.Add(e);
    e.m_file_path = "MAPPE/ITA/CD_VER.NAV.INF";
    list.Add(e);
    int position = 77;
    EXPECT_EQ(tree().GetUpgValidFileIfFound(list, &position, CD_VER_NAV_INF_FILE), 0);
    EXPECT_EQ(position, 1);
    EXPECT_EQ(tree().GetUpgValidFileIfFound(list, &position, GRUPPO_4_CID_FILE), 0);
    EXPECT_EQ(position, 0);
    EXPECT_EQ(tree().GetUpgValidFileIfFound(list, &position, static_cast<UPG_VALID>(3)), -1);
    CKWArray<t_upg_descri_dat_elt> empty(10, 10);
    position = 5;
    EXPECT_EQ(tree().GetUpgValidFileIfFound(empty, &position, CD_VER_NAV_INF_FILE), -1);
    EXPECT_EQ(position, 5);
    EXPECT_TRUE(contains(log(), "GetUpgValidFileIfFound(), Missing file\n"));
}

} // namespace
