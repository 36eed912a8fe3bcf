// The medium's country list: acceptance against the installed countries,
// refusals, directory scanning and repeated scans.
#include "cartotree_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <map>

namespace {

using cartotest::CartoTreeTest;
using testsupport::CountryDef;
using testsupport::InstalledCountry;
using testsupport::MediaBuilder;

typedef C_MAP_UPG_CARTOTREE::t_plugin_cid_element Element;

class CidListTest : public CartoTreeTest {
protected:
    void SetUp() override {
        CartoTreeTest::SetUp();
        sdBlockSize(8192);
    }
    // Analyses the medium as the builtins do, then scans it.
    int scan() {
        tree().GetUpgradeType("DESCRI.DAT", 10, tree().GetMediaCartoDrive());
        tree().GetUpgDVD_CurrVersNaviAbsolutePath();
        CKWArray<Element> unused(10, 10);
        return tree().Build_DVD_CIDInfoList(tree().GetUpgPlginType(), unused);
    }
    std::map<std::string, Element> listed() {
        std::map<std::string, Element> out;
        const auto &list = tree().GetUpgMediaCidList();
        for (int i = 0; i < list.GetSize(); ++i) {
            Element e;
            list.GetCopy(i, e);
            out[e.cid.GetBuffer()] = e;
        }
        return out;
    }
    static CountryDef country(const char *cid, const char *version, const char *release) {
        CountryDef c;
        c.cid = cid;
        c.name = std::string("Land ") + cid;
        c.version = version;
        c.release = release;
        return c;
    }
};

TEST_F(CidListTest, AcceptanceAgainstTheInstalledCountries) {
    MediaBuilder medium(mediaDir());
    CountryDef fresh = country("AAA", "5", "1");
    fresh.sizes = {{"CID_SIZE_8", "120"}, {"CID_SIZE", "150"}};
    fresh.eol = "\n";
    medium.country(fresh)
        .country(country("BBB", "5", "1"))
        .country(country("CCC", "6", "2"))
        .country(country("DDD", "6", "2"))
        .country(country("EEE", "7", "1"))
        .country(country("FFF", "10", "1"))
        .country(country("GGG", "5", "9"));
    ASSERT_TRUE(medium.build());
    ASSERT_TRUE(testsupport::writeInstalledCountry(sdDir(), InstalledCountry{"BBB", "6", "0"}));
    ASSERT_TRUE(testsupport::writeInstalledCountry(sdDir(), InstalledCountry{"CCC", "6", "3"}));
    ASSERT_TRUE(testsupport::writeInstalledCountry(
        sdDir(), InstalledCountry{"DDD", "6", "2", {{"CID_SIZE_8", "77"}}}));
    ASSERT_TRUE(testsupport::writeInstalledCountry(sdDir(), InstalledCountry{"EEE", "6", "9"}));
    // Versions and releases are numbers, not texts: 10 is above 9.
    ASSERT_TRUE(testsupport::writeInstalledCountry(sdDir(), InstalledCountry{"FFF", "9", "1"}));
    ASSERT_TRUE(testsupport::writeInstalledCountry(sdDir(), InstalledCountry{"GGG", "5", "10"}));

    EXPECT_EQ(scan(), 0);
    auto got = listed();
    ASSERT_EQ(got.size(), 4u);
    ASSERT_EQ(got.count("AAA"), 1u);
    const Element &a = got["AAA"];
    EXPECT_STREQ(a.country_name.GetBuffer(), "Land AAA");
    EXPECT_STREQ(a.quarter.GetBuffer(), "2");
    EXPECT_STREQ(a.year.GetBuffer(), "2024");
    EXPECT_STREQ(a.new_version.GetBuffer(), "5");
    EXPECT_STREQ(a.new_release.GetBuffer(), "1");
    EXPECT_EQ(a.new_size, 120u);
    EXPECT_STREQ(a.old_version.GetBuffer(), "");
    EXPECT_STREQ(a.old_release.GetBuffer(), "");
    EXPECT_EQ(a.old_size, 0u);
    // Equal version and release: offered again.
    ASSERT_EQ(got.count("DDD"), 1u);
    EXPECT_STREQ(got["DDD"].old_version.GetBuffer(), "6");
    EXPECT_EQ(got["DDD"].old_size, 77u);
    // The release counts only for equal versions.
    EXPECT_EQ(got.count("EEE"), 1u);
    EXPECT_EQ(got.count("FFF"), 1u);

    EXPECT_TRUE(contains(log(), "AddThisCIDInfoToTheList(),  new version (5) < old version (6)\n"));
    EXPECT_TRUE(contains(log(), "AddThisCIDInfoToTheList(),  version (6) => new release (2) < "
                                "old release (3)\n"));
    EXPECT_TRUE(contains(log(), "AddThisCIDInfoToTheList(),  version (5) => new release (9) < "
                                "old release (10)\n"));
    EXPECT_TRUE(contains(log(), "Build_DVD_CIDInfoList(), : m_number_of_cid_on_media = 4!!\n"));
    EXPECT_TRUE(contains(log(), " - Build_DVD_CIDInfoList(), opendir (/DVD/MAPPE/) SUCCEDED \n"));
    EXPECT_TRUE(contains(log(), " - Build_DVD_CIDInfoList(), loop in dir  : file = "
                                "'/DVD/MAPPE/AAA' \n"));
    EXPECT_TRUE(contains(log(), " - Build_DVD_CIDInfoList(), : CID = 'GGG' \n"));
    EXPECT_TRUE(contains(log(), "(C_MAP_UPG_CARTOTREE)   AddThisCIDInfoToTheList(), STEP 2 "
                                "fileName=/DVD/MAPPE/FFF/CD_VER.NAV.INF\n"));
    EXPECT_EQ(count(log(), "**** New country detected ****"), 7u);
    EXPECT_EQ(count(log(), "AddThisCIDInfoToTheList(), STEP 2\n"), 7u);
    EXPECT_EQ(count(log(), "AddThisCIDInfoToTheList(), STEP 3\n"), 7u);
}

TEST_F(CidListTest, CountriesRefusedForTheirOwnFiles) {
    MediaBuilder medium(mediaDir());
    CountryDef noRelease = country("FFF", "5", "");
    CountryDef noGroup = country("GGG", "5", "1");
    noGroup.withGruppo = false;
    CountryDef noLine = country("HHH", "5", "1");
    noLine.withCurrVersLine = false;
    CountryDef noSize = country("III", "5", "1");
    noSize.sizes = {{"CID_SIZE_4", "1"}};
    medium.country(noRelease).country(noGroup).country(noLine).country(noSize);
    ASSERT_TRUE(medium.build());
    // Not countries: a plain file, a folder without descriptor, a folder
    // whose descriptor lists no information file, a dangling link.
    medium.write("MAPPE/README.TXT", "x");
    medium.write("MAPPE/EMPTY/x.txt", "x");
    medium.write("MAPPE/ODD/DESCRI.DAT", testsupport::descriLine("K", "MAPPE\\ODD\\X.INF"));
    std::error_code ec;
    std::filesystem::create_directory_symlink(mediaDir() + "/MAPPE/NOWHERE",
                                              mediaDir() + "/MAPPE/LINK", ec);

    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(tree().GetUpgMediaCidList().GetSize(), 0);
    EXPECT_TRUE(contains(log(), "Error during reading '/DVD/MAPPE/FFF/CD_VER.NAV.INF', field "
                                "'RELEASE' \n"));
    EXPECT_TRUE(contains(log(), "An error occured on 'CheckGruppoValidityFile'\n"));
    EXPECT_TRUE(contains(log(), "An error occured on 'GetCIDValuesFromDVD'\n"));
    EXPECT_TRUE(contains(log(), "Error during reading '/DVD/MAPPE/III/CD_VER.NAV.INF', field "
                                "'CID_SIZE' \n"));
    EXPECT_EQ(count(log(), "**** New country detected ****"), 4u);
    // Only the countries refused for their information file got past step 2.
    EXPECT_EQ(count(log(), "AddThisCIDInfoToTheList(), STEP 2\n"), 2u);
    EXPECT_EQ(count(log(), "AddThisCIDInfoToTheList(), STEP 3\n"), 0u);
    EXPECT_FALSE(contains(log(), "pathName = '/DVD/MAPPE/README.TXT'"));
    EXPECT_FALSE(contains(log(), "pathName = '/DVD/MAPPE/LINK'"));
    EXPECT_FALSE(contains(log(), "pathName = '/DVD/MAPPE/.'"));
    EXPECT_TRUE(contains(log(), "pathName = '/DVD/MAPPE/EMPTY'"));
}

TEST_F(CidListTest, OnlyCountrySelectionMediaAreScanned) {
    MediaBuilder medium(mediaDir());
    medium.kind(MediaBuilder::Kind::SingleCountry).country(country("AAA", "5", "1"));
    ASSERT_TRUE(medium.build());
    EXPECT_EQ(scan(), -1);
    EXPECT_EQ(tree().GetUpgMediaCidList().GetSize(), 0);
    EXPECT_FALSE(contains(log(), "opendir"));

    // A country-selection medium without "MAPPE/".
    testsupport::removeTree(mediaDir() + "/MAPPE");
    MediaBuilder other(mediaDir());
    ASSERT_TRUE(other.build());
    EXPECT_EQ(scan(), -1);
    EXPECT_TRUE(contains(log(), "Build_DVD_CIDInfoList(), opendir (/DVD/MAPPE/) FAILED \n"));
}

TEST_F(CidListTest, RepeatedScanListsEachCountryOnce) {
    MediaBuilder medium(mediaDir());
    medium.country(country("AAA", "5", "1")).country(country("BBB", "5", "1"));
    ASSERT_TRUE(medium.build());
    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(tree().GetUpgMediaCidList().GetSize(), 2);
    EXPECT_EQ(scan(), 0);
    EXPECT_EQ(tree().GetUpgMediaCidList().GetSize(), 2);
}

TEST_F(CidListTest, SizesKeepThe32BitLimits) {
    MediaBuilder medium(mediaDir());
    CountryDef big = country("AAA", "5", "1");
    big.sizes = {{"CID_SIZE", "4294967296"}};
    CountryDef text = country("BBB", "5", "1");
    text.sizes = {{"CID_SIZE", "abc"}};
    medium.country(big).country(text);
    ASSERT_TRUE(medium.build());
    EXPECT_EQ(scan(), 0);
    auto got = listed();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got["AAA"].new_size, 4294967295u);
    EXPECT_EQ(got["BBB"].new_size, 0u);
}

TEST_F(CidListTest, UnreadableBlockSizeRefusesEveryCountry) {
    MediaBuilder medium(mediaDir());
    medium.country(country("AAA", "5", "1")).country(country("BBB", "5", "1"));
    ASSERT_TRUE(medium.build());
    hostsim::injectFault(hostsim::FileOp::Open, 1, EACCES, true);
    EXPECT_EQ(scan(), 0);
    hostsim::clearFaults();
    EXPECT_EQ(tree().GetUpgMediaCidList().GetSize(), 0);
    EXPECT_EQ(count(log(), "field 'CID_SIZE' \n"), 2u);
    EXPECT_EQ(count(log(), "(GetSDBlockSize) ERROR : open ('/SDH')"), 1u);
}

} // namespace
