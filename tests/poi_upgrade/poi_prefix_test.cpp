// POI file groups: which names belong to a prefix's group, and the reader of
// the groups' "KEY:value" text files.
#include "platform/hostsim/hostsim.h"
#include "poi_upgrade/C_POI_UPG.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace {

class PoiPrefixTest : public testsupport::UnitFixture {
protected:
    int IsPrefix(const std::string &path, const std::string &prefix) {
        return m_poi.IsPrefixFile(CKWString(path.c_str()), CKWString(prefix.c_str()));
    }

    // Writes `content` as /SDH/t.txt and reads `key` from it.
    int Value(const std::string &content, const std::string &key, std::string &value) {
        EXPECT_TRUE(testsupport::writeFile(host("/SDH/t.txt"), content));
        CKWString l_value("stale");
        int rc = m_poi.GetValueInFile(CKWString("/SDH/t.txt"), CKWString(key.c_str()), l_value);
        value = l_value.GetBuffer();
        return rc;
    }

    char m_text[8] = "POI";
    C_POI_UPG m_poi{CKWString("/DVD/POI.tgz"), m_text};
};

TEST_F(PoiPrefixTest, NamesOfTheGroupABC) {
    const char *members[] = {"ABC.lzw", "ABCdsc.lzw",      "ABC_1.lzw",    "ABC_icons.lzw",
                             "ABC.txt", "poi_ver_ABC.txt", "notes_ABC.txt"};
    for (const char *name : members)
        EXPECT_EQ(IsPrefix(std::string("/SDH/MAPPE/tmp_poi/FRA/") + name, "ABC"), 1) << name;

    const char *others[] = {"ABCD.lzw", "AB_C.lzw", "ABC.dat", "poi_ver_ABCD.txt", "abc.lzw",
                            "ABC",      ".",        "..",      "ABC_1_2.lzw",      "XABC.txt"};
    for (const char *name : others)
        EXPECT_EQ(IsPrefix(std::string("/SDH/MAPPE/tmp_poi/FRA/") + name, "ABC"), 0) << name;

    // A path without "/" never names a group file.
    EXPECT_EQ(IsPrefix("ABC.lzw", "ABC"), 0);

    std::string text = log();
    EXPECT_NE(text.find(" - (C_POI_UPG) : IsPrefixFile : file ABCD.lzw is not a known ABC file!\n"),
              std::string::npos);
    EXPECT_NE(text.find(" - (C_POI_UPG) : IsPrefixFile : file ABC.dat has an unknown format\n"),
              std::string::npos);
    EXPECT_NE(text.find(" - (C_POI_UPG) : IsPrefixFile : file ABC_1.lzw is well a ABC file!\n"),
              std::string::npos);
    EXPECT_NE(text.find(" - (C_POI_UPG) <<IsPrefixFile + >>"), std::string::npos);
    EXPECT_NE(text.find(" - (C_POI_UPG) : IsPrefixFile returned 0\n"), std::string::npos);
}

TEST_F(PoiPrefixTest, PrefixHoldingAnUnderscore) {
    // Only the part of an lzw base before its last "_" is compared, so the
    // group's own name with extension lzw is not a member.
    EXPECT_EQ(IsPrefix("/SDH/P/A_B.lzw", "A_B"), 0);
    EXPECT_EQ(IsPrefix("/SDH/P/A_B_1.lzw", "A_B"), 1);
    EXPECT_EQ(IsPrefix("/SDH/P/A_Bdsc.lzw", "A_B"), 0);
    // A txt base is compared after its last "_".
    EXPECT_EQ(IsPrefix("/SDH/P/poi_ver_A_B.txt", "A_B"), 0);
    EXPECT_EQ(IsPrefix("/SDH/P/poi_ver_B.txt", "B"), 1);
}

TEST_F(PoiPrefixTest, LastMatchWinsAndSpacesStay) {
    std::string value;
    EXPECT_EQ(Value("PREFIX:ABC\nDATE:100\nNAME:x\nDATE:200\n", "DATE", value), 0);
    EXPECT_EQ(value, "200");
    EXPECT_NE(log().find(" - (C_POI_UPG) GetValueInFile ('/SDH/t.txt', 'DATE') = '200'\n"),
              std::string::npos);

    EXPECT_EQ(Value("DATE: 100 \n", "DATE", value), 0);
    EXPECT_EQ(value, " 100 ");
    EXPECT_EQ(Value("NAME:a:b\tc", "NAME", value), 0);
    EXPECT_EQ(value, "a:b\tc");
    EXPECT_EQ(Value("DATE:\n", "DATE", value), 0);
    EXPECT_EQ(value, "");
}

TEST_F(PoiPrefixTest, CarriageReturnLineEndsReadAlike) {
    std::string value;
    EXPECT_EQ(Value("PREFIX:ABC\r\nDATE:150\r\n", "DATE", value), 0);
    EXPECT_EQ(value, "150");
    EXPECT_EQ(Value("PREFIX:ABC\r\nDATE:150\r\n", "PREFIX", value), 0);
    EXPECT_EQ(value, "ABC");
}

TEST_F(PoiPrefixTest, KeysMatchOnlyAtTheStartWithTheirColon) {
    std::string value;
    EXPECT_EQ(Value("DATE :100\n DATE:100\nXDATE:1\n", "DATE", value), -1);
    EXPECT_EQ(value, "");
    EXPECT_NE(
        log().find(" - (C_POI_UPG) GetValueInFile ('/SDH/t.txt', 'DATE') ==> not found !!!\n"),
        std::string::npos);
    EXPECT_EQ(Value("PREFIXES:X\n", "PREFIX", value), -1);
    EXPECT_EQ(Value("PREFIX:Y\nPREFIXES:X\n", "PREFIX", value), 0);
    EXPECT_EQ(value, "Y");
}

TEST_F(PoiPrefixTest, MissingFileAndOverlongKey) {
    CKWString l_value("stale");
    EXPECT_EQ(m_poi.GetValueInFile(CKWString("/SDH/none.txt"), CKWString("DATE"), l_value), -1);
    EXPECT_TRUE(l_value.IsEmpty());
    EXPECT_NE(
        log().find(
            " - (C_POI_UPG) GetValueInFile ('/SDH/none.txt', 'DATE') ==> l_pFich == NULL !!!\n"),
        std::string::npos);

    // 98 characters still fit with their colon; 99 do not.
    std::string key98(98, 'K');
    std::string value;
    EXPECT_EQ(Value(key98 + ":v\n", key98, value), 0);
    EXPECT_EQ(value, ""); // the first piece of the line ends with the colon
    EXPECT_EQ(Value(key98.substr(0, 90) + ":v\n", key98.substr(0, 90), value), 0);
    EXPECT_EQ(value, "v");
    l_value = "stale";
    EXPECT_EQ(m_poi.GetValueInFile(CKWString("/SDH/t.txt"), CKWString(std::string(99, 'K').c_str()),
                                   l_value),
              -1);
    EXPECT_TRUE(l_value.IsEmpty());
}

// A file that is there but cannot be opened is told apart from a missing
// file or key, and every read, an overlong key's too, starts afresh.
TEST_F(PoiPrefixTest, ReadFailureIsToldApartAndNotCarriedOver) {
    ASSERT_TRUE(testsupport::writeFile(host("/SDH/t.txt"), "DATE:1\n"));
    const CKWString l_file("/SDH/t.txt");
    CKWString l_value;
    hostsim::injectFault(hostsim::FileOp::Fopen, 1, EACCES);
    EXPECT_EQ(m_poi.GetValueInFile(l_file, CKWString("DATE"), l_value), -1);
    EXPECT_TRUE(m_poi.LastReadFailed());
    EXPECT_EQ(m_poi.GetValueInFile(l_file, CKWString("NAME"), l_value), -1);
    EXPECT_FALSE(m_poi.LastReadFailed());
    EXPECT_EQ(m_poi.GetValueInFile(CKWString("/SDH/none.txt"), CKWString("DATE"), l_value), -1);
    EXPECT_FALSE(m_poi.LastReadFailed());

    hostsim::injectFault(hostsim::FileOp::Fopen, 1, EACCES);
    EXPECT_EQ(m_poi.GetValueInFile(l_file, CKWString("DATE"), l_value), -1);
    ASSERT_TRUE(m_poi.LastReadFailed());
    EXPECT_EQ(m_poi.GetValueInFile(l_file, CKWString(std::string(99, 'K').c_str()), l_value), -1);
    EXPECT_FALSE(m_poi.LastReadFailed());
}

TEST_F(PoiPrefixTest, LongLinesAreReadInPieces) {
    // A line of 150 characters is read as a piece of 99 and one of 51: the
    // value is cut, and a later piece is tested as a line of its own.
    std::string value;
    EXPECT_EQ(Value("NAME:" + std::string(145, 'n') + "\n", "NAME", value), 0);
    EXPECT_EQ(value, std::string(94, 'n'));
    EXPECT_EQ(Value(std::string(99, 'x') + "DATE:7\n", "DATE", value), 0);
    EXPECT_EQ(value, "7");
}

} // namespace
