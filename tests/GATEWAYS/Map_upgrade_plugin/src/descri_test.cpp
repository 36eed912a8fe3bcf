// Descriptor files: reading, splitting into records, sorting by key, and the
// comma-field extractor.
#include "cartotree_fixture.h"

#include <gtest/gtest.h>

namespace {

using cartotest::CartoTreeTest;

struct Fields {
    std::string key, field2, path, field4, field5;
};

Fields At(const CKWArray<t_upg_descri_dat_elt> &list, int i) {
    t_upg_descri_dat_elt e;
    EXPECT_EQ(list.GetCopy(i, e), 1) << "record " << i;
    return Fields{e.m_key.GetBuffer(), e.m_field2.GetBuffer(), e.m_file_path.GetBuffer(),
                  e.m_field4.GetBuffer(), e.m_field5.GetBuffer()};
}

class DescriTest : public CartoTreeTest {
protected:
    // Loads and sorts a main descriptor file written with `content`.
    int loadMain(const std::string &content) {
        media("D.DAT", content);
        CKWArray<CKWString> lines(10, 10);
        EXPECT_EQ(tree().LoadDescriDataInMemory("/DVD/D.DAT", lines), 0);
        int rc = tree().SaveMainDescriDatIntoSpecifiedList(lines);
        tree().FreeDescriDatData(lines);
        EXPECT_EQ(lines.GetSize(), 0);
        return rc;
    }
};

TEST_F(DescriTest, LinesBecomeRecordsSortedByKeyPrefix) {
    ASSERT_EQ(loadMain("DB_DOWNLOAD,X,MAPS\\DATA\\DVD_VER.NAV,Y,Z\n"
                       "DB_DOWNLOAD_EXTRA,1,A/B,2,3\r\n"
                       "db_download,1,C\\D,2,3\r\n"
                       "GRUPPO_ROOT,1,G/H,2,3\r\n"
                       "ICON_BRANDS,1,I/J,2,3\r\n"
                       "A , B,C,D,E,F\r\n"),
              0);
    const auto &all = tree().GetDescriDatList();
    ASSERT_EQ(all.GetSize(), 6);
    Fields first = At(all, 0);
    EXPECT_EQ(first.key, "DB_DOWNLOAD");
    EXPECT_EQ(first.field2, "X");
    EXPECT_EQ(first.path, "MAPS/DATA/DVD_VER.NAV");
    EXPECT_EQ(first.field4, "Y");
    EXPECT_EQ(first.field5, "Z\n");
    EXPECT_EQ(At(all, 2).path, "C/D");
    // Spaces belong to the fields; a sixth field is dropped.
    Fields six = At(all, 5);
    EXPECT_EQ(six.key, "A ");
    EXPECT_EQ(six.field2, " B");
    EXPECT_EQ(six.field5, "E");

    ASSERT_EQ(tree().GetDbDownloadList().GetSize(), 2);
    EXPECT_EQ(At(tree().GetDbDownloadList(), 1).key, "DB_DOWNLOAD_EXTRA");
    EXPECT_EQ(tree().GetGruppoRootList().GetSize(), 1);
    EXPECT_EQ(tree().GetIconBrandsList().GetSize(), 1);
}

TEST_F(DescriTest, ShortAndEmptyLinesNeverRepeatThePreviousRecord) {
    ASSERT_EQ(loadMain("KEY,1,MAPS\\DVD_VER.NAV,2,3\r\n"
                       "\r\n"
                       "SHORT,MAPS\\CD_VER.NAV\r\n"),
              0);
    const auto &all = tree().GetDescriDatList();
    ASSERT_EQ(all.GetSize(), 3);
    Fields empty = At(all, 1);
    EXPECT_EQ(empty.key, "");
    EXPECT_EQ(empty.path, "");
    EXPECT_EQ(empty.field5, "\r\n");
    Fields shortLine = At(all, 2);
    EXPECT_EQ(shortLine.key, "SHORT");
    EXPECT_EQ(shortLine.field2, "");
    EXPECT_EQ(shortLine.path, "");
    EXPECT_EQ(shortLine.field5, "MAPS\\CD_VER.NAV\r\n");
}

TEST_F(DescriTest, LongLinesAreReadIn249CharacterPieces) {
    const std::string line(300, 'a');
    media("D.DAT", line + "\n");
    CKWArray<CKWString> lines(10, 10);
    ASSERT_EQ(tree().LoadDescriDataInMemory("/DVD/D.DAT", lines), 0);
    ASSERT_EQ(lines.GetSize(), 2);
    CKWString piece;
    lines.GetCopy(0, piece);
    EXPECT_EQ(piece.GetLength(), 249);
    lines.GetCopy(1, piece);
    EXPECT_EQ(std::string(piece.GetBuffer()), std::string(51, 'a') + "\n");

    EXPECT_EQ(tree().LoadDescriDataInMemory("/DVD/MISSING.DAT", lines), -1);
    EXPECT_EQ(lines.GetSize(), 2);
    EXPECT_TRUE(
        contains(log(), "LoadDescriDataInMemory(),  fopen (/DVD/MISSING.DAT) return NULL !!!\n "));
}

TEST_F(DescriTest, CountryDescriptorConvertsIntoTheCallersList) {
    media("C.DAT", "CID_INFO,1,MAPPE\\ITA\\CD_VER.NAV.INF,0,X\r\nG,1,MAPPE\\ITA\\G.inf,0,X");
    CKWArray<CKWString> lines(10, 10);
    ASSERT_EQ(tree().LoadDescriDataInMemory("/DVD/C.DAT", lines), 0);
    CKWArray<t_upg_descri_dat_elt> list(10, 10);
    ASSERT_EQ(tree().ConvertDataIntoDescriDatEltList(lines, list), 0);
    ASSERT_EQ(list.GetSize(), 2);
    EXPECT_EQ(At(list, 0).path, "MAPPE/ITA/CD_VER.NAV.INF");
    EXPECT_EQ(At(list, 1).field5, "X");
    EXPECT_EQ(tree().GetDescriDatList().GetSize(), 0);
}

TEST_F(DescriTest, ExtractValueAfterComma) {
    CKWString v("stale");
    EXPECT_EQ(tree().ExtractValueAfterComma("a,b,c", 2, v), 0);
    EXPECT_STREQ(v.GetBuffer(), "c");
    EXPECT_EQ(tree().ExtractValueAfterComma("a,b,c", 1, v), 0);
    EXPECT_STREQ(v.GetBuffer(), "b");
    EXPECT_EQ(tree().ExtractValueAfterComma("a,,c", 1, v), 0);
    EXPECT_STREQ(v.GetBuffer(), "");
    EXPECT_EQ(tree().ExtractValueAfterComma("a,b,c", 3, v), -1);
    EXPECT_STREQ(v.GetBuffer(), "");
    EXPECT_EQ(tree().ExtractValueAfterComma("a,b,c", 0, v), -1);
    // Only the first 299 characters are looked at.
    std::string longText = std::string(298, 'x') + ",yz,";
    EXPECT_EQ(tree().ExtractValueAfterComma(longText.c_str(), 1, v), 0);
    EXPECT_STREQ(v.GetBuffer(), "");
    EXPECT_EQ(tree().ExtractValueAfterComma(longText.c_str(), 2, v), -1);
}

TEST_F(DescriTest, MainDescriptorPathPerPerimeter) {
    CKWString path;
    tree().BuildMainDescriDatFilePath(path, "DESCRI.DATXYZ", 10);
    EXPECT_STREQ(path.GetBuffer(), "/DVD/DESCRI.DAT");
    EXPECT_TRUE(contains(log(), "(C_MAP_UPG_CARTOTREE) l_descri_file = '/DVD/DESCRI.DAT'"));

    C_MAP_UPG_CARTOTREE two(2);
    two.SetPerimeterRoot(CKWString("/ROOT"));
    CKWString other;
    two.BuildMainDescriDatFilePath(other, "DESCRI.DAT", 10);
    EXPECT_STREQ(other.GetBuffer(), "/ROOT/DESCRI.DAT");
    EXPECT_TRUE(contains(sysToolLog(), "l_descri_file = '/ROOT/DESCRI.DAT'"));

    C_MAP_UPG_CARTOTREE four(4);
    CKWString none;
    four.BuildMainDescriDatFilePath(none, "DESCRI.DAT", 10);
    EXPECT_STREQ(none.GetBuffer(), "");
}

} // namespace
