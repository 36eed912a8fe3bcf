// The map-analysis builtins as a script calls them: arguments through the
// interpreter's slots, the 50-byte text buffers, the country table, and the
// whole sequence on a medium of three countries.
#include "builtins/C_BUILTINS.h"
#include "builtins/upg_country_table.h"
#include "tests/GATEWAYS/Map_upgrade_plugin/src/cartotree_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using hostsim::EicArg;
using testsupport::CountryDef;
using testsupport::InstalledCountry;
using testsupport::MediaBuilder;

const unsigned char k_sentinel = 0xA5;

class MapBuiltinsTest : public cartotest::CartoTreeTest {
protected:
    void SetUp() override {
        CartoTreeTest::SetUp();
        sdBlockSize(4096);
        ASSERT_NE(C_BUILTINS::Instance(), nullptr);
        ASSERT_NE(C_BUILTINS::GetCartoTreeInstance(), nullptr);
    }
    // The next test starts with a fresh singleton and carto tree.
    void TearDown() override {
        delete C_BUILTINS::GetInstance();
        CartoTreeTest::TearDown();
    }
    C_MAP_UPG_CARTOTREE &carto() { return *C_BUILTINS::GetCartoTreeInstance(); }

    int call(const char *name, const std::vector<EicArg> &args) {
        val_t result;
        EXPECT_TRUE(hostsim::callBuiltin(name, args, &result)) << name;
        return result.ival;
    }
    int updateDrives(const char *media, const char *product, int length) {
        m_length = length;
        return call("UpdateDataForCartoTree",
                    {EicArg::Ptr(media), EicArg::Ptr(product), EicArg::Ptr(&m_length)});
    }
    // Calls "GetNavUpgType" with a 64-byte buffer whose last 14 bytes must
    // stay untouched.
    int navUpgType(const char *name, int length, int *type) {
        m_length = length;
        std::memset(m_path, k_sentinel, sizeof m_path);
        return call("GetNavUpgType", {EicArg::Ptr(name), EicArg::Ptr(&m_length),
                                      EicArg::Ptr(m_path), EicArg::Ptr(type)});
    }
    // The script's view of a 50-byte buffer: its text, after checking that
    // the rest of the 50 bytes is NUL and nothing beyond them was written.
    static std::string scriptText(const char *buffer) {
        size_t length = strnlen(buffer, 50);
        EXPECT_LT(length, 50u);
        for (size_t i = length; i < 50; ++i)
            EXPECT_EQ(buffer[i], '\0') << "byte " << i;
        for (size_t i = 50; i < 64; ++i)
            EXPECT_EQ(static_cast<unsigned char>(buffer[i]), k_sentinel) << "byte " << i;
        return std::string(buffer, length);
    }

    // The calls a script makes before "Get_DVD_CIDInfoList": the drives,
    // the upgrade type (country selection) and the current-version file.
    void analyseCountrySelectionMedium() {
        ASSERT_EQ(updateDrives("/DVD", "/SDH", 4), 0);
        int type = 0;
        ASSERT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
        ASSERT_EQ(type, 1);
        char folder[64];
        char file[64];
        ASSERT_EQ(call("GetUpgDVD_CurrVersNaviFile", {EicArg::Ptr(folder), EicArg::Ptr(file)}), 0);
    }

    int m_length = 0;
    char m_path[64];
};

TEST_F(MapBuiltinsTest, UpdateDataForCartoTreeTakesTheGivenLength) {
    EXPECT_EQ(updateDrives("/DVD", "/SDH/MAPS/PRODUCT/DRIVE", 4), 0);
    EXPECT_STREQ(carto().GetMediaCartoDrive().GetBuffer(), "/DVD/");
    // The whole product drive, not its first characters.
    EXPECT_STREQ(carto().GetProductCartoPath().GetBuffer(), "/SDH/MAPS/PRODUCT/DRIVE/");
    EXPECT_TRUE(contains(log(), "UpdateDataForCartoTree()  l_media_drive_size = 4 \n\n"));
    EXPECT_TRUE(
        contains(log(), "UpdateDataForCartoTree()  l_carto_tree.media_carto_drive = /DVD/ \n"));

    EXPECT_EQ(updateDrives("/DVD", "/SDH", 2), 0);
    EXPECT_STREQ(carto().GetMediaCartoDrive().GetBuffer(), "/D/");

    // Up to 16 characters are taken whole; longer (or negative) counts are
    // refused and leave the drive as it was.
    const struct {
        int length;
        int result;
        const char *drive;
    } cases[] = {{17, -1, "/D/"},
                 {1000, -1, "/D/"},
                 {-1, -1, "/D/"},
                 {15, 0, "/DVD/A/VERY/LON/"},
                 {16, 0, "/DVD/A/VERY/LONG/"}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.length);
        hostsim::clearCapturedLog();
        EXPECT_EQ(updateDrives("/DVD/A/VERY/LONG/MEDIA/DRIVE/NAME", "/SDH", c.length), c.result);
        EXPECT_EQ(contains(log(), "refused (0 to 16)"), c.result != 0);
        EXPECT_STREQ(carto().GetMediaCartoDrive().GetBuffer(), c.drive);
    }
}

TEST_F(MapBuiltinsTest, NullArgumentsAreRefusedAndChangeNothing) {
    const EicArg none = EicArg::Ptr(static_cast<void *>(nullptr));
    ASSERT_EQ(updateDrives("/DVD", "/SDH", 4), 0);
    m_length = 4;
    char media[] = "/XYZ";
    char product[] = "/P";
    const std::vector<std::vector<EicArg>> drives = {
        {none, EicArg::Ptr(product), EicArg::Ptr(&m_length)},
        {EicArg::Ptr(media), none, EicArg::Ptr(&m_length)},
        {EicArg::Ptr(media), EicArg::Ptr(product), none}};
    for (const auto &args : drives) {
        hostsim::clearCapturedLog();
        EXPECT_EQ(call("UpdateDataForCartoTree", args), -1);
        EXPECT_TRUE(contains(log(), "UpdateDataForCartoTree() NULL argument so leave\n"));
        EXPECT_STREQ(carto().GetMediaCartoDrive().GetBuffer(), "/DVD/");
        EXPECT_STREQ(carto().GetProductCartoPath().GetBuffer(), "/SDH/");
    }

    MediaBuilder list(mediaDir());
    ASSERT_TRUE(list.build());
    char name[] = "DESCRI.DAT";
    int type = 99;
    ASSERT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
    ASSERT_EQ(type, 1);
    // The medium becomes a single-country one: a call that ran would see it.
    MediaBuilder single(mediaDir());
    single.kind(MediaBuilder::Kind::SingleCountry);
    ASSERT_TRUE(single.build());
    type = 99;
    std::memset(m_path, k_sentinel, sizeof m_path);
    m_length = 10;
    const std::vector<std::vector<EicArg>> navArgs = {
        {none, EicArg::Ptr(&m_length), EicArg::Ptr(m_path), EicArg::Ptr(&type)},
        {EicArg::Ptr(name), none, EicArg::Ptr(m_path), EicArg::Ptr(&type)},
        {EicArg::Ptr(name), EicArg::Ptr(&m_length), none, EicArg::Ptr(&type)},
        {EicArg::Ptr(name), EicArg::Ptr(&m_length), EicArg::Ptr(m_path), none}};
    for (const auto &args : navArgs) {
        hostsim::clearCapturedLog();
        EXPECT_EQ(call("GetNavUpgType", args), -1);
        EXPECT_TRUE(contains(log(), "GetNavUpgType() NULL argument so leave\n"));
        EXPECT_EQ(type, 99);
        EXPECT_EQ(static_cast<unsigned char>(m_path[0]), k_sentinel);
        EXPECT_EQ(carto().GetUpgPlginType(), UPG_PLUGIN_TYPE_LIST_COUNTRY);
    }

    char buffer[64];
    for (const auto &args : {std::vector<EicArg>{none, EicArg::Ptr(buffer)},
                             std::vector<EicArg>{EicArg::Ptr(buffer), none}}) {
        hostsim::clearCapturedLog();
        EXPECT_EQ(call("GetUpgDVD_CurrVersNaviFile", args), -1);
        EXPECT_TRUE(contains(log(), "GetUpgDVD_CurrVersNaviFile() NULL argument so leave\n"));
    }
    hostsim::clearCapturedLog();
    EXPECT_EQ(call("Get_DVD_CIDInfoList", {none}), -1);
    EXPECT_FALSE(contains(log(), "l_CIDInfoList size"));
}

TEST_F(MapBuiltinsTest, GetNavUpgTypeTellsTheScriptTheKindOfMedium) {
    ASSERT_EQ(updateDrives("/DVD", "/SDH", 4), 0);
    int type = 99;
    MediaBuilder list(mediaDir());
    ASSERT_TRUE(list.build());
    EXPECT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(scriptText(m_path), "/DVD/MAPS/DVD_VER.NAV");
    EXPECT_TRUE(contains(log(), "GetNavUpgType() Will Launch country selection upgrade\n"));
    EXPECT_TRUE(contains(log(), "GetNavUpgType()  l_media_type_absolute_path = "
                                "/DVD/MAPS/DVD_VER.NAV \n upg_type = 1 \n"));

    MediaBuilder single(mediaDir());
    single.kind(MediaBuilder::Kind::SingleCountry);
    ASSERT_TRUE(single.build());
    hostsim::clearCapturedLog();
    EXPECT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
    EXPECT_EQ(type, 0);
    EXPECT_TRUE(contains(log(), "GetNavUpgType() Will Launch Alone country upgrade\n"));
    EXPECT_EQ(scriptText(m_path), "/DVD/MAPS/CD_VER.NAV");

    EXPECT_EQ(navUpgType("NOTHERE.DAT", 11, &type), 0);
    EXPECT_EQ(type, -1);
    EXPECT_EQ(scriptText(m_path), "");
    EXPECT_TRUE(contains(log(), "GetNavUpgType() Will not Launch upgrade\n"));
}

TEST_F(MapBuiltinsTest, TextsAreCutTo49CharactersAndLengthsAreBounded) {
    ASSERT_EQ(updateDrives("/DVD", "/SDH", 4), 0);
    // "/DVD/" and 55 more characters: a 60-character version-file path.
    const std::string rel = "LONGFOLDERNAME_ABCDEFGHIJKLMNOPQRSTUVWXYZ01/DVD_VER.NAV";
    ASSERT_EQ(rel.size(), 55u);
    media("DESCRI.DAT", testsupport::descriLine("V", rel));
    media(rel, "x");
    int type = 99;
    EXPECT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
    EXPECT_EQ(type, 1);
    EXPECT_EQ(scriptText(m_path), ("/DVD/" + rel).substr(0, 49));

    // A descriptor name of 16 characters is taken whole; 17 are refused
    // with nothing written.
    media("DESCRIPTOR16.DAT", testsupport::descriLine("V", rel));
    type = 99;
    EXPECT_EQ(navUpgType("DESCRIPTOR16.DAT", 16, &type), 0);
    EXPECT_EQ(type, 1);
    type = 99;
    EXPECT_EQ(navUpgType("DESCRIPTOR16.DAT_WITH_A_LONG_TAIL", 17, &type), -1);
    EXPECT_EQ(type, 99);
    EXPECT_EQ(static_cast<unsigned char>(m_path[0]), k_sentinel);
    EXPECT_TRUE(contains(log(), "GetNavUpgType()  l_descri_file_length = 17 refused (0 to 16)"));
}

// The analysis builtins in the orders a script may call them, over one or two
// media (the disc changed in the drive between the calls): what a medium
// offers never depends on the medium analysed before it.
TEST_F(MapBuiltinsTest, CallOrdersOverMediumChangesGiveWhatTheMediumInTheDriveOffers) {
    // A lists its current-version file; B carries one with FRA's line but
    // its descriptor does not list it, so B offers no country.
    const std::string dirA = root() + "/mediumA";
    const std::string dirB = root() + "/mediumB";
    CountryDef ita;
    ita.cid = "ITA";
    ita.name = "Italia";
    CountryDef fra = ita;
    fra.cid = "FRA";
    fra.name = "France";
    MediaBuilder a(dirA);
    a.country(ita);
    ASSERT_TRUE(a.build());
    MediaBuilder b(dirB);
    b.country(fra);
    ASSERT_TRUE(b.build());
    ASSERT_TRUE(b.write("DESCRI.DAT", testsupport::descriLine("V", "MAPS\\DVD_VER.NAV")));

    // Steps: "A"/"B" puts that medium in the drive; "type", "curr" and
    // "list" call GetNavUpgType, GetUpgDVD_CurrVersNaviFile and
    // Get_DVD_CIDInfoList. Expected: the last "curr" result and the
    // countries of the last "list".
    const struct {
        const char *name;
        std::vector<std::string> steps;
        int curr;
        const char *countries;
    } orders[] = {
        {"A as scripts do", {"A", "type", "curr", "type", "list"}, 0, "ITA"},
        {"B alone", {"B", "type", "curr", "type", "list"}, -1, ""},
        {"A then B", {"A", "type", "curr", "list", "B", "type", "curr", "type", "list"}, -1, ""},
        {"A then B without asking", {"A", "type", "curr", "list", "B", "type", "list"}, 0, ""},
        {"B then A without asking", {"B", "type", "curr", "A", "type", "list"}, -1, "ITA"},
    };
    for (const auto &o : orders) {
        SCOPED_TRACE(o.name);
        int curr = 0;
        std::string countries = "(none asked)";
        for (const std::string &step : o.steps) {
            if (step == "A" || step == "B") {
                hostsim::mountDevice("/DVD", step == "A" ? dirA : dirB);
                ASSERT_EQ(updateDrives("/DVD", "/SDH", 4), 0);
            } else if (step == "type") {
                int type = 99;
                ASSERT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
                ASSERT_EQ(type, 1);
            } else if (step == "curr") {
                char folder[64];
                char file[64];
                curr = call("GetUpgDVD_CurrVersNaviFile", {EicArg::Ptr(folder), EicArg::Ptr(file)});
            } else {
                std::vector<unsigned char> memory(UPG_COUNTRY_TABLE_SIZE, 0);
                ASSERT_EQ(call("Get_DVD_CIDInfoList", {EicArg::Ptr(memory.data())}), 0);
                t_upg_country_table table;
                std::memcpy(&table, memory.data(), sizeof table);
                countries.clear();
                for (int i = 0; i < table.count; ++i)
                    countries += table.records[i].cid;
            }
        }
        EXPECT_EQ(curr, o.curr);
        EXPECT_EQ(countries, o.countries);
    }
}

TEST_F(MapBuiltinsTest, CurrentVersionFileReachesTheScriptOnlyWhenListed) {
    ASSERT_EQ(updateDrives("/DVD", "/SDH", 4), 0);
    char folder[64];
    char file[64];
    std::memset(folder, k_sentinel, sizeof folder);
    std::memset(file, k_sentinel, sizeof file);
    EXPECT_EQ(call("GetUpgDVD_CurrVersNaviFile", {EicArg::Ptr(folder), EicArg::Ptr(file)}), -1);
    EXPECT_EQ(static_cast<unsigned char>(folder[0]), k_sentinel);
    EXPECT_EQ(static_cast<unsigned char>(file[0]), k_sentinel);

    MediaBuilder list(mediaDir());
    ASSERT_TRUE(list.build());
    int type = 0;
    ASSERT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
    EXPECT_EQ(call("GetUpgDVD_CurrVersNaviFile", {EicArg::Ptr(folder), EicArg::Ptr(file)}), 0);
    EXPECT_EQ(scriptText(folder), "/DVD/MAPS/");
    EXPECT_EQ(scriptText(file), "/DVD/MAPS/CURR_VERS_NAVI.TXT");
    EXPECT_TRUE(contains(log(), "GetUpgDVD_CurrVersNaviFile() l_curr_vers_navi_file = "
                                "/DVD/MAPS/CURR_VERS_NAVI.TXT \n"));
}

TEST_F(MapBuiltinsTest, CountryListFailsOnASingleCountryMedium) {
    MediaBuilder single(mediaDir());
    single.kind(MediaBuilder::Kind::SingleCountry);
    ASSERT_TRUE(single.build());
    ASSERT_EQ(updateDrives("/DVD", "/SDH", 4), 0);
    int type = 0;
    ASSERT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
    std::vector<unsigned char> table(UPG_COUNTRY_TABLE_SIZE, k_sentinel);
    EXPECT_EQ(call("Get_DVD_CIDInfoList", {EicArg::Ptr(table.data())}), -1);
    EXPECT_EQ(count(log(), "GetUpgDVD_CurrVersNaviFile() l_CIDInfoList size = "), 1u);
    EXPECT_EQ(table[0], k_sentinel);
}

TEST_F(MapBuiltinsTest, ScriptRunsTheFourBuiltinsOnAThreeCountryMedium) {
    MediaBuilder medium(mediaDir());
    CountryDef ita;
    ita.cid = "ITA";
    ita.name = "Italia";
    ita.version = "7";
    ita.release = "2";
    ita.sizes = {{"CID_SIZE_4", "4000"}, {"CID_SIZE", "5000"}};
    CountryDef fra = ita;
    fra.cid = "FRA";
    fra.name = "France";
    fra.eol = "\n";
    CountryDef deu = ita;
    deu.cid = "DEU";
    deu.name = "Deutschland";
    deu.version = "5";
    medium.country(ita).country(fra).country(deu);
    ASSERT_TRUE(medium.build());
    ASSERT_TRUE(testsupport::writeInstalledCountry(
        sdDir(), InstalledCountry{"FRA", "6", "9", {{"CID_SIZE_4", "3000"}}}));
    ASSERT_TRUE(testsupport::writeInstalledCountry(sdDir(), InstalledCountry{"DEU", "6", "0"}));

    ASSERT_EQ(updateDrives("/DVD", "/SDH", 4), 0);
    int type = 99;
    ASSERT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
    ASSERT_EQ(type, 1);
    char folder[64];
    char file[64];
    std::memset(folder, k_sentinel, sizeof folder);
    std::memset(file, k_sentinel, sizeof file);
    ASSERT_EQ(call("GetUpgDVD_CurrVersNaviFile", {EicArg::Ptr(folder), EicArg::Ptr(file)}), 0);

    // The script's table, with a sentinel zone just past its 11680 bytes.
    std::vector<unsigned char> memory(UPG_COUNTRY_TABLE_SIZE + 64, k_sentinel);
    hostsim::clearCapturedLog();
    ASSERT_EQ(call("Get_DVD_CIDInfoList", {EicArg::Ptr(memory.data())}), 0);
    EXPECT_TRUE(contains(log(), "GetUpgDVD_CurrVersNaviFile() l_CIDInfoList size = 0 \n"));
    EXPECT_TRUE(contains(log(), "GetUpgDVD_CurrVersNaviFile() l_CIDInfoList size = 2 \n"));
    EXPECT_TRUE(contains(log(), "new version (5) < old version (6)\n"));
    for (size_t i = UPG_COUNTRY_TABLE_SIZE; i < memory.size(); ++i)
        ASSERT_EQ(memory[i], k_sentinel) << "byte " << i;

    t_upg_country_table table;
    std::memcpy(&table, memory.data(), sizeof table);
    EXPECT_EQ(table.count, 2);
    EXPECT_EQ(table.total, 2);
    bool sawIta = false, sawFra = false;
    for (int i = 0; i < table.count; ++i) {
        const t_upg_country_record &r = table.records[i];
        EXPECT_STREQ(r.new_version, "7");
        EXPECT_STREQ(r.new_release, "2");
        EXPECT_EQ(r.new_size, 4000u);
        EXPECT_STREQ(r.quarter, "2");
        EXPECT_STREQ(r.year, "2024");
        if (std::strcmp(r.cid, "ITA") == 0) {
            sawIta = true;
            EXPECT_STREQ(r.country_name, "Italia");
            EXPECT_STREQ(r.old_version, "");
            EXPECT_EQ(r.old_size, 0u);
        } else if (std::strcmp(r.cid, "FRA") == 0) {
            sawFra = true;
            EXPECT_STREQ(r.country_name, "France");
            EXPECT_STREQ(r.old_version, "6");
            EXPECT_STREQ(r.old_release, "9");
            EXPECT_EQ(r.old_size, 3000u);
        }
    }
    EXPECT_TRUE(sawIta);
    EXPECT_TRUE(sawFra);
    for (int i = table.count; i < UPG_COUNTRY_MAX; ++i)
        EXPECT_EQ(table.records[i].cid[0], '\0');

    // The same disc analysed again, the country list asked for straight
    // after: the current-version file found before still serves, and the
    // same two countries are reported.
    ASSERT_EQ(navUpgType("DESCRI.DAT", 10, &type), 0);
    hostsim::clearCapturedLog();
    ASSERT_EQ(call("Get_DVD_CIDInfoList", {EicArg::Ptr(memory.data())}), 0);
    std::memcpy(&table, memory.data(), sizeof table);
    EXPECT_EQ(table.count, 2);
    EXPECT_FALSE(contains(log(), "(fopen ''"));
}

TEST_F(MapBuiltinsTest, CountryTableMayLieAtAnyAddress) {
    // A script's table is a byte array: an odd address must do, and exactly
    // its 11680 bytes are written (sanitizer builds catch unaligned stores).
    MediaBuilder medium(mediaDir());
    CountryDef ita;
    ita.cid = "ITA";
    ita.name = "Italia";
    ita.sizes = {{"CID_SIZE", "1234"}};
    medium.country(ita);
    ASSERT_TRUE(medium.build());
    ASSERT_NO_FATAL_FAILURE(analyseCountrySelectionMedium());
    std::vector<unsigned char> memory(UPG_COUNTRY_TABLE_SIZE + 2, k_sentinel);
    ASSERT_EQ(call("Get_DVD_CIDInfoList", {EicArg::Ptr(memory.data() + 1)}), 0);
    EXPECT_EQ(memory.front(), k_sentinel);
    EXPECT_EQ(memory.back(), k_sentinel);
    t_upg_country_table table;
    std::memcpy(&table, memory.data() + 1, sizeof table);
    EXPECT_EQ(table.count, 1);
    EXPECT_EQ(table.total, 1);
    EXPECT_STREQ(table.records[0].cid, "ITA");
    EXPECT_EQ(table.records[0].new_size, 1234u);
}

TEST_F(MapBuiltinsTest, CountriesBeyondTheTableAreCountedNotWritten) {
    // 70 country folders sharing one information file and one group file.
    MediaBuilder medium(mediaDir());
    CountryDef ita;
    ita.cid = "ITA";
    ita.name = "Italia";
    ita.dir = "ITA";
    medium.country(ita);
    ASSERT_TRUE(medium.build());
    const std::string descri = testsupport::descriLine("I", "MAPPE\\ITA\\CD_VER.NAV.INF") +
                               testsupport::descriLine("G", "MAPPE\\ITA\\GRUPPO_4_CID.DAT.inf");
    for (int i = 1; i < UPG_COUNTRY_MAX + 1; ++i)
        medium.write("MAPPE/C" + std::to_string(i) + "/DESCRI.DAT", descri);

    ASSERT_NO_FATAL_FAILURE(analyseCountrySelectionMedium());
    std::vector<unsigned char> memory(UPG_COUNTRY_TABLE_SIZE + 64, k_sentinel);
    ASSERT_EQ(call("Get_DVD_CIDInfoList", {EicArg::Ptr(memory.data())}), 0);
    for (size_t i = UPG_COUNTRY_TABLE_SIZE; i < memory.size(); ++i)
        ASSERT_EQ(memory[i], k_sentinel) << "byte " << i;
    t_upg_country_table table;
    std::memcpy(&table, memory.data(), sizeof table);
    EXPECT_EQ(table.count, UPG_COUNTRY_MAX);
    EXPECT_EQ(table.total, UPG_COUNTRY_MAX + 1);
    EXPECT_STREQ(table.records[UPG_COUNTRY_MAX - 1].cid, "ITA");
    EXPECT_TRUE(contains(log(), "Get_DVD_CIDInfoList() 1 countries beyond the table's room (69) "
                                "not written \n"));
}

} // namespace
