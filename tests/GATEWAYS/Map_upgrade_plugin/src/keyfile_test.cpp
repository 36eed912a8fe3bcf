// The carto tree's key-and-value reader, path helpers, log channels and size
// conversion.
#include "cartotree_fixture.h"

#include "unit/systool.h"

#include <gtest/gtest.h>

#include <climits>

namespace {

using cartotest::CartoTreeTest;

std::string Value(C_MAP_UPG_CARTOTREE &tree, const char *file, const char *key, int *result) {
    CKWString value("stale");
    *result = tree.GetValueInFile(CKWString(file), CKWString(key), value);
    return value.GetBuffer();
}

TEST_F(CartoTreeTest, KeyGrammarTakesTheFirstAnchoredLineAndCutsTheValue) {
    media("K.INF", "CID_SIZE:8\r\n"
                   "VERSION :9\r\n"
                   " RELEASE:1\n"
                   "VER:0123\r\n"
                   "VERSION:5 beta\r\n"
                   "VERSION:6\r\n"
                   "RELEASE:\tA B\n"
                   "BLANK: 5\n"
                   "RELEASE:B\n");
    int result = 0;
    EXPECT_EQ(Value(tree(), "/DVD/K.INF", "VER", &result), "0123");
    EXPECT_EQ(result, 0);
    // "VERSION :9" is not the key; the first real line wins and ends at a space.
    EXPECT_EQ(Value(tree(), "/DVD/K.INF", "VERSION", &result), "5");
    // Not anchored lines are skipped; tabs stay in the value.
    EXPECT_EQ(Value(tree(), "/DVD/K.INF", "RELEASE", &result), "\tA");
    EXPECT_EQ(Value(tree(), "/DVD/K.INF", "BLANK", &result), "");
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(
        contains(log(), "(C_MAP_UPG_CARTOTREE) GetValueInFile ('/DVD/K.INF', 'VER') = '0123'\n"));

    // The colon is part of the key: CID does not match CID_SIZE.
    EXPECT_EQ(Value(tree(), "/DVD/K.INF", "CID", &result), "");
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(contains(log(), "GetValueInFile ('/DVD/K.INF', 'CID') ==> not found !!!\n"));

    EXPECT_EQ(Value(tree(), "/DVD/NONE.INF", "CID", &result), "");
    EXPECT_EQ(result, -1);
    EXPECT_TRUE(
        contains(log(), "GetValueInFile ('/DVD/NONE.INF', 'CID') ==> l_pFich == NULL !!!\n"));
}

TEST_F(CartoTreeTest, KeyReaderReadsLongLinesInPiecesAndRefusesOverlongKeys) {
    // 99 characters fill one read; the rest of the line is the next piece.
    media("L.INF", std::string(99, 'x') + "KEY:piece\r\nKEY:line\r\n");
    int result = 0;
    EXPECT_EQ(Value(tree(), "/DVD/L.INF", "KEY", &result), "piece");

    const std::string longKey(99, 'K');
    media("K.INF", longKey + ":v\n");
    CKWString value("stale");
    EXPECT_EQ(tree().GetValueInFile(CKWString("/DVD/K.INF"), CKWString(longKey.c_str()), value),
              -1);
    EXPECT_TRUE(value.IsEmpty());
    const std::string key98(98, 'K');
    media("K98.INF", key98 + ":v\n");
    EXPECT_EQ(tree().GetValueInFile(CKWString("/DVD/K98.INF"), CKWString(key98.c_str()), value), 0);
    EXPECT_STREQ(value.GetBuffer(), "");
}

TEST_F(CartoTreeTest, PathHelpers) {
    CKWString out("untouched");
    EXPECT_EQ(tree().XtractPath(CKWString("NOSLASH"), out), -1);
    EXPECT_EQ(tree().XtractFile(CKWString("NOSLASH"), out), -1);
    EXPECT_STREQ(out.GetBuffer(), "untouched");
    EXPECT_EQ(tree().UpgXtractPath(CKWString("/A/B"), out), 0);
    EXPECT_STREQ(out.GetBuffer(), "/A/");
    EXPECT_EQ(tree().XtractPath(CKWString("/DVD/MAPPE/IT/CD_VER.NAV.INF"), out), 0);
    EXPECT_STREQ(out.GetBuffer(), "/DVD/MAPPE/IT/");
    EXPECT_EQ(tree().XtractFile(CKWString("/A/"), out), 0);
    EXPECT_STREQ(out.GetBuffer(), "");

    CKWString rel("MAPPE/DVD_VER.NAV");
    tree().BuildUpgFilePath(out, rel);
    EXPECT_STREQ(out.GetBuffer(), "/DVD/MAPPE/DVD_VER.NAV");
    EXPECT_TRUE(contains(log(), "BuildUpgFilePath()  p_file_path = /DVD/MAPPE/DVD_VER.NAV \n"));

    EXPECT_FALSE(tree().IsExistFile(CKWString("/DVD/MISSING")));
    EXPECT_TRUE(contains(log(), "(IsExistFile) fopen (/DVD/MISSING) return NULL !!!\n"));
    media("HERE", "x");
    EXPECT_TRUE(tree().IsExistFile(CKWString("/DVD/HERE")));
}

TEST_F(CartoTreeTest, LogChannelFollowsThePerimeter) {
    EXPECT_TRUE(contains(sysToolLog(), "(C_MAP_UPG_CARTOTREE) << Constructor >>"));
    // Perimeters 0 and 1 log with logMsg, the others through the unit's
    // logging function.
    for (int perimeter : {0, 1, 2, 3}) {
        SCOPED_TRACE(perimeter);
        C_MAP_UPG_CARTOTREE other(static_cast<PERIMETER>(perimeter));
        hostsim::clearCapturedLog();
        other.LogCartoTree("line %d of %s\n", 7, (_Vx_usr_arg_t) "text");
        EXPECT_EQ(log(), perimeter <= 1 ? "line 7 of text\n" : "");
        EXPECT_EQ(sysToolLog(), perimeter <= 1 ? "" : "line 7 of text\n");
    }
}

TEST(SysToolFormat, FormatsEachConversionWithItsType) {
    const char *text = "abc";
    // A long is as wide as the argument: 64 bits on the host, 32 on the unit.
    const _Vx_usr_arg_t args[6] = {-5, (_Vx_usr_arg_t)text, 0x2a, LONG_MAX, 'z', 0};
    EXPECT_EQ(hostsim::formatLog("%d|%-5s|%X|%ld|%c|%s|100%%", args),
              "-5|abc  |2A|" + std::to_string(LONG_MAX) + "|z|(null)|100%");
}

TEST(SizeText, ConvertsLikeA32BitStrtoul) {
    EXPECT_EQ(C_MAP_UPG_CARTOTREE::SizeTextToNumber("120"), 120u);
    EXPECT_EQ(C_MAP_UPG_CARTOTREE::SizeTextToNumber("4294967295"), 4294967295u);
    EXPECT_EQ(C_MAP_UPG_CARTOTREE::SizeTextToNumber("4294967296"), 4294967295u);
    EXPECT_EQ(C_MAP_UPG_CARTOTREE::SizeTextToNumber("999999999999999999999999"), 4294967295u);
    EXPECT_EQ(C_MAP_UPG_CARTOTREE::SizeTextToNumber("abc"), 0u);
    EXPECT_EQ(C_MAP_UPG_CARTOTREE::SizeTextToNumber("12abc"), 12u);
    EXPECT_EQ(C_MAP_UPG_CARTOTREE::SizeTextToNumber("-1"), 4294967295u);
    EXPECT_EQ(C_MAP_UPG_CARTOTREE::SizeTextToNumber(""), 0u);
}

} // namespace
