// Country validity: the group file and the current-version file.
#include "cartotree_fixture.h"

#include <gtest/gtest.h>

namespace {

using cartotest::CartoTreeTest;

class CidCheckTest : public CartoTreeTest {
protected:
    // Entries of a country descriptor naming the group file at `path`.
    CKWArray<t_upg_descri_dat_elt> &entries(const char *path) {
        m_list.RemoveAll();
        t_upg_descri_dat_elt e;
        e.m_file_path = "MAPPE/ITA/CD_VER.NAV.INF";
        m_list.Add(e);
        e.m_file_path = path;
        m_list.Add(e);
        return m_list;
    }
    struct Values {
        int result;
        std::string name, quarter, year, field5, field7;
    };
    Values values(const char *cid) {
        CKWString name("n"), quarter("q"), year("y"), f5("5"), f7("7");
        Values v;
        v.result = tree().GetCIDValuesFromDVD(CKWString(cid), name, quarter, year, f5, f7);
        v.name = name.GetBuffer();
        v.quarter = quarter.GetBuffer();
        v.year = year.GetBuffer();
        v.field5 = f5.GetBuffer();
        v.field7 = f7.GetBuffer();
        return v;
    }
    void currVers(const std::string &content) {
        media("MAPS/CURR_VERS_NAVI.TXT", content);
        tree().SetMapPlgin_DVD_CurrVersNavi(CKWString("/DVD/MAPS/CURR_VERS_NAVI.TXT"));
    }

private:
    CKWArray<t_upg_descri_dat_elt> m_list{10, 10};
};

TEST_F(CidCheckTest, GroupFileMustCarryTheCid) {
    media("MAPPE/ITA/GRUPPO_4_CID.DAT.inf", "VER:ITA\r\n");
    EXPECT_EQ(
        tree().CheckGruppoValidityFile(CKWString("ITA"), entries("MAPPE/ITA/GRUPPO_4_CID.DAT.inf")),
        0);
    EXPECT_TRUE(contains(log(), "Fields are the same : SourceVersion is ITA and CID is ITA \n"));

    // ITB is not in the path either: use a folder that holds it.
    media("MAPPE/ITB/GRUPPO_4_CID.DAT.inf", "VER:ITA\r\n");
    EXPECT_EQ(
        tree().CheckGruppoValidityFile(CKWString("ITB"), entries("MAPPE/ITB/GRUPPO_4_CID.DAT.inf")),
        -1);
    EXPECT_TRUE(
        contains(log(), "Fields are not the same : SourceVersion is ITA and CID is ITB \n"));
    EXPECT_TRUE(contains(log(), "CheckGruppoValidityFile(), An ERROR Occured \n"));
}

TEST_F(CidCheckTest, GroupFileRefusals) {
    // Under another country's folder: the path check fails, whatever VER says.
    media("MAPPE/FRA/GRUPPO_4_CID.DAT.inf", "VER:ITA\r\n");
    EXPECT_EQ(
        tree().CheckGruppoValidityFile(CKWString("ITA"), entries("MAPPE/FRA/GRUPPO_4_CID.DAT.inf")),
        -1);
    EXPECT_TRUE(contains(log(), "An error occured on 'FindCIDinPath'\n"));

    EXPECT_EQ(
        tree().CheckGruppoValidityFile(CKWString("ITA"), entries("MAPPE/ITA/GRUPPO_4_CID.DAT.inf")),
        -1);
    EXPECT_TRUE(contains(log(), "CheckGruppoValidityFile(), Missing file = "
                                "'/DVD/MAPPE/ITA/GRUPPO_4_CID.DAT.inf' \n"));

    media("MAPPE/ITA/GRUPPO_4_CID.DAT.inf", "VERSION:ITA\r\n");
    EXPECT_EQ(
        tree().CheckGruppoValidityFile(CKWString("ITA"), entries("MAPPE/ITA/GRUPPO_4_CID.DAT.inf")),
        -1);
    EXPECT_TRUE(contains(log(), "No VER field in /DVD/MAPPE/ITA/GRUPPO_4_CID.DAT.inf \n"));

    EXPECT_EQ(tree().CheckGruppoValidityFile(CKWString("ITA"), entries("MAPPE/ITA/OTHER.inf")), -1);
}

TEST_F(CidCheckTest, CurrentVersionLineGrammar) {
    currVers("cid:ITA,a,b,lq,ly,\"le\",\"lower\",\"lg\"\r\n"
             "CID:ITA,a,b,c,d,e,f\r\n"
             "CID:ITA,a,b,\"c\",d,\"e\",\"f\",\"g\",h\r\n"
             "CID:ITA,a,b,second,d,e,f,g\r\n"
             "CID:FRA,a,b,1,\"2\",e,f,g\r\n");
    Values v = values("ITA");
    EXPECT_EQ(v.result, 0);
    // Quarter and year keep their quotes; the three texts after them lose them.
    EXPECT_EQ(v.quarter, "\"c\"");
    EXPECT_EQ(v.year, "d");
    EXPECT_EQ(v.field5, "e");
    EXPECT_EQ(v.name, "f");
    EXPECT_EQ(v.field7, "g");
    EXPECT_TRUE(contains(log(), "GetCIDValuesFromDVD ('ITA') = 'f' 'Q\"c\"-d'  \n"));
    EXPECT_TRUE(contains(log(), "GetCIDValuesFromDVD  provided by g the e \n"));

    // The line's carriage return is no part of its last field.
    hostsim::clearCapturedLog();
    v = values("FRA");
    EXPECT_EQ(v.field7, "g");
    EXPECT_EQ(v.year, "\"2\"");
    EXPECT_TRUE(contains(log(), "GetCIDValuesFromDVD ('FRA') = 'f' 'Q1-\"2\"'  \n"));

    // Only three characters of the CID are compared.
    EXPECT_EQ(values("ITALY").name, "f");
    // A two-character CID matches no country line; the read past the last
    // line names the last line read.
    hostsim::clearCapturedLog();
    EXPECT_EQ(values("IT").result, -1);
    EXPECT_TRUE(contains(log(), "GetCIDValuesFromDVD(), (fget 'CID:FRA,a,b,1,\"2\",e,f,g') return "
                                "ERROR (errno = 0x"));
}

TEST_F(CidCheckTest, CurrentVersionLinesAreReadInPiecesOf299) {
    // The first piece of this line is 299 'Y's; the rest, read as a piece of
    // its own, begins with "CID:".
    currVers(std::string(299, 'Y') + "CID:FRA,a,b,1,2,e,\"France\",g\n" + "CID:ITA," +
             std::string(300, 'z') + ",b,c,d,e,f,g\n");
    EXPECT_EQ(values("FRA").name, "France");
    // The ITA line's first piece has no seventh comma; its tail is no
    // country line.
    Values ita = values("ITA");
    EXPECT_EQ(ita.result, -1);
    EXPECT_EQ(ita.name, "");
    EXPECT_EQ(ita.quarter, "");
}

TEST_F(CidCheckTest, MissingCurrentVersionFile) {
    tree().SetMapPlgin_DVD_CurrVersNavi(CKWString("/DVD/MAPS/NONE.TXT"));
    Values v = values("ITA");
    EXPECT_EQ(v.result, -1);
    EXPECT_EQ(v.name, "");
    EXPECT_EQ(v.quarter, "");
    EXPECT_EQ(v.year, "");
    EXPECT_EQ(v.field5, "5");
    EXPECT_TRUE(contains(log(), "(fopen '/DVD/MAPS/NONE.TXT') return ERROR (errno = 0x2) \n"));
    EXPECT_TRUE(contains(log(), "CID 'ITA' not found or corrupted... \n"));
}

} // namespace
