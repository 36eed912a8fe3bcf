// Tests of the string class: construction, appending, searching, cutting and
// the bounded copy into callers' fixed buffers.
#include "foundation/CKWString.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

std::string Text(const CKWString &p_s) {
    return p_s.GetBuffer();
}

TEST(CKWString, ConstructorsAndNullText) {
    EXPECT_EQ(Text(CKWString()), "");
    EXPECT_EQ(Text(CKWString("abcdef", 3)), "abc");
    EXPECT_EQ(Text(CKWString("ab", 10)), "ab"); // stops at the NUL
    EXPECT_EQ(Text(CKWString("abc", 0)), "");
    EXPECT_EQ(Text(CKWString("abc", -1, 2, 1)), "abc");
    CKWString l_null(nullptr);
    EXPECT_TRUE(l_null.IsEmpty());
    l_null += static_cast<const char *>(nullptr);
    l_null.Add(static_cast<const char *>(nullptr), 5);
    EXPECT_EQ(l_null.Compare(static_cast<const char *>(nullptr)), 1);
    CKWString l_s("x");
    l_s = static_cast<const char *>(nullptr);
    EXPECT_TRUE(l_s.IsEmpty());
    EXPECT_EQ(l_s.Find(nullptr), 0);
    EXPECT_EQ(l_s.SupprChar(nullptr).GetLength(), 0);

    CKWString l_a("orig");
    CKWString l_copy(l_a);
    l_copy += "X";
    EXPECT_EQ(Text(l_a), "orig");
    EXPECT_EQ(Text(l_copy), "origX");
}

TEST(CKWString, AppendAndAssignIncludingSelf) {
    CKWString l_s;
    l_s.Add("abcdef", 2).Add('c').Add(CKWString("d"));
    l_s += 'e';
    l_s += "fg";
    EXPECT_EQ(Text(l_s), "abcdefg");
    l_s.Add('\0');
    EXPECT_EQ(l_s.GetLength(), 7);
    l_s += l_s;
    EXPECT_EQ(Text(l_s), "abcdefgabcdefg");
    CKWString &l_alias = l_s;
    l_s = l_alias;
    EXPECT_EQ(Text(l_s), "abcdefgabcdefg");
    // A text inside the string's own storage, appended and assigned.
    for (int l_i = 0; l_i < 6; ++l_i) {
        l_s += l_s.GetBuffer();
    }
    EXPECT_EQ(l_s.GetLength(), 14 * 64);
    l_s = l_s.GetBuffer() + l_s.GetLength() - 3;
    EXPECT_EQ(Text(l_s), "efg");
    std::string l_long(1000, 'z');
    l_s = l_long.c_str();
    EXPECT_EQ(Text(l_s), l_long);
}

TEST(CKWString, OperatorPlusLeavesOperandsUnchanged) {
    const CKWString l_a("dir/");
    const CKWString l_b("file");
    CKWString l_r = l_a + l_b;
    EXPECT_EQ(Text(l_r), "dir/file");
    EXPECT_EQ(Text(l_a + "x.txt"), "dir/x.txt");
    EXPECT_EQ(Text(l_a + 'y'), "dir/y");
    EXPECT_EQ(Text(l_a), "dir/");
    EXPECT_EQ(Text(l_b), "file");
}

TEST(CKWString, GetBufferIsTheStringsOwnStorage) {
    CKWString l_s("a\\b\\c");
    char *l_buf = l_s.GetBuffer(0, nullptr);
    for (char *l_p = l_buf; *l_p != '\0'; ++l_p) {
        if (*l_p == '\\') {
            *l_p = '/';
        }
    }
    EXPECT_EQ(l_s.Compare("a/b/c"), 1);
    EXPECT_EQ(l_s.Find("/"), 1);

    int l_status = 7;
    CKWString l_empty;
    char *l_e = l_empty.GetBuffer(2, &l_status);
    ASSERT_NE(l_e, nullptr);
    EXPECT_EQ(l_e[0], '\0');
    EXPECT_EQ(l_status, 0);
    const CKWString l_cempty;
    ASSERT_NE(l_cempty.GetBuffer(), nullptr);
    EXPECT_STREQ(l_cempty.GetBuffer(), "");
    l_s.Purge();
    EXPECT_STREQ(l_s.GetBuffer(), "");
}

TEST(CKWString, SafeCopyToBufferIsBounded) {
    char l_buf[100];
    // Exact fit for a 50-byte buffer: 49 characters and the NUL.
    std::string l_49(49, 'a');
    memset(l_buf, '#', sizeof(l_buf));
    EXPECT_EQ(CKWString(l_49.c_str()).SafeCopyToBuffer(l_buf, 50), 49);
    EXPECT_EQ(std::string(l_buf), l_49);
    EXPECT_EQ(l_buf[50], '#');
    // One too long: cut.
    std::string l_50(50, 'b');
    memset(l_buf, '#', sizeof(l_buf));
    EXPECT_EQ(CKWString(l_50.c_str()).SafeCopyToBuffer(l_buf, 50), 49);
    EXPECT_EQ(std::string(l_buf), l_50.substr(0, 49));
    EXPECT_EQ(l_buf[50], '#');
    // Much longer into 96 bytes.
    std::string l_200(200, 'c');
    memset(l_buf, '#', sizeof(l_buf));
    EXPECT_EQ(CKWString(l_200.c_str()).SafeCopyToBuffer(l_buf, 96, 2), 95);
    EXPECT_EQ(strlen(l_buf), 95u);
    EXPECT_EQ(l_buf[96], '#');
    // Short text, empty text, degenerate sizes.
    EXPECT_EQ(CKWString("hi").SafeCopyToBuffer(l_buf, 96), 2);
    EXPECT_STREQ(l_buf, "hi");
    EXPECT_EQ(CKWString().SafeCopyToBuffer(l_buf, 96), 0);
    EXPECT_STREQ(l_buf, "");
    memset(l_buf, '#', sizeof(l_buf));
    EXPECT_EQ(CKWString("hi").SafeCopyToBuffer(l_buf, 1), 0);
    EXPECT_EQ(l_buf[0], '\0');
    EXPECT_EQ(l_buf[1], '#');
    memset(l_buf, '#', sizeof(l_buf));
    EXPECT_EQ(CKWString("hi").SafeCopyToBuffer(l_buf, 0), 0);
    EXPECT_EQ(CKWString("hi").SafeCopyToBuffer(l_buf, -5), 0);
    EXPECT_EQ(l_buf[0], '#');
    EXPECT_EQ(CKWString("hi").SafeCopyToBuffer(nullptr, 50), 0);
}

TEST(CKWString, FindAndFindReverseAtTheBoundaries) {
    const CKWString l_s("ab/cd/ef");
    EXPECT_EQ(l_s.Find("ab"), 0);
    EXPECT_EQ(l_s.Find("/"), 2);
    EXPECT_EQ(l_s.Find("/", 2), 2);
    EXPECT_EQ(l_s.Find("/", 3), 5);
    EXPECT_EQ(l_s.Find("ef", 6), 6);
    EXPECT_EQ(l_s.Find("ef", 7), -1);
    EXPECT_EQ(l_s.Find("/", 8), -1);
    EXPECT_EQ(l_s.Find("/", 100), -1);
    EXPECT_EQ(l_s.Find("zz"), -1);
    EXPECT_EQ(l_s.Find("ab/cd/efg"), -1);
    EXPECT_EQ(l_s.Find(""), 0);
    EXPECT_EQ(l_s.Find("", 8), 8);
    EXPECT_EQ(CKWString().Find("a"), -1);

    EXPECT_EQ(l_s.FindReverse('/'), 5);
    EXPECT_EQ(l_s.FindReverse('/', 4), 2);
    EXPECT_EQ(l_s.FindReverse('/', 5), 5);
    EXPECT_EQ(l_s.FindReverse('a'), 0);
    EXPECT_EQ(l_s.FindReverse('f'), 7);
    EXPECT_EQ(l_s.FindReverse('/', 1), -1);
    EXPECT_EQ(l_s.FindReverse('x'), -1);
    EXPECT_EQ(l_s.FindReverse('/', -7), -1);
    EXPECT_EQ(CKWString().FindReverse('/'), -1);
}

TEST(CKWString, BeforeAndAfterAtTheBoundaries) {
    const CKWString l_s("abcdef");
    EXPECT_EQ(Text(l_s.Before(-1)), "");
    EXPECT_EQ(Text(l_s.Before(0)), "a");
    EXPECT_EQ(Text(l_s.Before(2)), "abc");
    EXPECT_EQ(Text(l_s.Before(5)), "abcdef");
    EXPECT_EQ(Text(l_s.Before(50)), "abcdef");
    EXPECT_EQ(Text(l_s.After(-1)), "abcdef");
    EXPECT_EQ(Text(l_s.After(0)), "abcdef");
    EXPECT_EQ(Text(l_s.After(2)), "cdef");
    EXPECT_EQ(Text(l_s.After(5)), "f");
    EXPECT_EQ(Text(l_s.After(6)), "");
    EXPECT_EQ(Text(l_s.After(60)), "");
    // Typical path split on the last slash.
    CKWString l_path("/SDH/MAPPE/ITA/file.txt");
    int l_slash = l_path.FindReverse('/');
    EXPECT_EQ(Text(l_path.Before(l_slash)), "/SDH/MAPPE/ITA/");
    EXPECT_EQ(Text(l_path.After(l_slash + 1)), "file.txt");
    EXPECT_EQ(Text(CKWString().Before(3)), "");
    EXPECT_EQ(Text(CKWString().After(3)), "");
}

TEST(CKWString, SupprCharToIntCompareClear) {
    CKWString l_s("\r\n1,2\r\n");
    l_s.SupprChar("\n");
    EXPECT_EQ(Text(l_s), "\r1,2\r");
    l_s.SupprChar("\r,", 2);
    EXPECT_EQ(Text(l_s), "12");
    EXPECT_EQ(l_s.ToInt(), 12);

    EXPECT_EQ(CKWString("  -42abc").ToInt(), -42);
    EXPECT_EQ(CKWString("+7").ToInt(), 7);
    EXPECT_EQ(CKWString("0010").ToInt(), 10);
    EXPECT_EQ(CKWString("abc").ToInt(), 0);
    EXPECT_EQ(CKWString("").ToInt(), 0);
    EXPECT_EQ(CKWString("-").ToInt(), 0);
    EXPECT_EQ(CKWString("99999999999999999999").ToInt(), 2147483647);
    EXPECT_EQ(CKWString("-99999999999999999999").ToInt(), -2147483647 - 1);

    const CKWString l_a("DVD_VER.NAV");
    EXPECT_EQ(l_a.Compare("DVD_VER.NAV"), 1);
    EXPECT_EQ(l_a.Compare("DVD_VER.NA"), 0);
    EXPECT_EQ(l_a.Compare("DVD_VER.NAVX"), 0);
    EXPECT_EQ(l_a.Compare("dvd_ver.nav"), 0);
    EXPECT_EQ(l_a.Compare("dvd_ver.nav", false), 1);
    EXPECT_EQ(l_a.Compare("dvd_ver.na", false), 0);
    EXPECT_EQ(l_a.Compare(CKWString("DVD_VER.NAV"), true), 1);
    EXPECT_EQ(l_a.Compare(CKWString("dvd_VER.NAV"), false), 1);
    EXPECT_TRUE(l_a == "DVD_VER.NAV");
    EXPECT_TRUE(l_a == CKWString("DVD_VER.NAV"));
    EXPECT_TRUE(l_a != CKWString("CD_VER.NAV"));
    EXPECT_FALSE(l_a != CKWString("DVD_VER.NAV"));
    EXPECT_EQ(CKWString().Compare(""), 1);

    CKWString l_c("abc");
    l_c.Clear();
    EXPECT_TRUE(l_c.IsEmpty());
    EXPECT_STREQ(l_c.GetBuffer(), "");
    l_c += "x";
    EXPECT_EQ(Text(l_c), "x");
}

} // namespace
