// Names in the tools' reports: what a text report escapes, what JSON
// replaces and how the bytes are kept beside.
#include "tools/hostkit/names.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Names, EscapedForTextReplacedForJsonKeptAsBytes) {
    const struct {
        std::string name;
        bool utf8;
        std::string text, json, raw;
    } rows[] = {
        {"MAPPE/FRA/a.dat", true, "MAPPE/FRA/a.dat", "MAPPE/FRA/a.dat", "MAPPE/FRA/a.dat"},
        {"Fran\xC3\xA7"
         "e \xF0\x9F\x97\xBA",
         true,
         "Fran\xC3\xA7"
         "e \xF0\x9F\x97\xBA",
         "Fran\xC3\xA7"
         "e \xF0\x9F\x97\xBA",
         "Fran\\xc3\\xa7e \\xf0\\x9f\\x97\\xba"},
        {"a\nb\tc\r\\d\x1b[2J\x7f", true, "a\\nb\\tc\\r\\\\d\\x1b[2J\\x7f",
         "a\nb\tc\r\\d\x1b[2J\x7f", "a\\x0ab\\x09c\\x0d\\\\d\\x1b[2J\\x7f"},
        // A Latin-1 byte, an overlong '/', a surrogate, past U+10FFFF, a cut
        // sequence at the end.
        {"caf\xE9", false, "caf\\xe9", "caf\xEF\xBF\xBD", "caf\\xe9"},
        {"\xC0\xAF", false, "\\xc0\\xaf", "\xEF\xBF\xBD\xEF\xBF\xBD", "\\xc0\\xaf"},
        {"\xED\xA0\x80", false, "\\xed\\xa0\\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD",
         "\\xed\\xa0\\x80"},
        {"\xF4\x90\x80\x80", false, "\\xf4\\x90\\x80\\x80",
         "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD", "\\xf4\\x90\\x80\\x80"},
        {"x\xC3", false, "x\\xc3", "x\xEF\xBF\xBD", "x\\xc3"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(hostkit::escapedBytes(r.name));
        EXPECT_EQ(hostkit::isUtf8(r.name), r.utf8);
        EXPECT_EQ(hostkit::printable(r.name), r.text);
        EXPECT_EQ(hostkit::utf8Replaced(r.name), r.json);
        EXPECT_TRUE(hostkit::isUtf8(hostkit::utf8Replaced(r.name)));
        EXPECT_EQ(hostkit::escapedBytes(r.name), r.raw);
    }
}

} // namespace
