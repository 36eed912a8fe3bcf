// The table of finding codes: one row per code in the enumeration's order,
// names unique and in the report's form, each section a heading of
// docs/medium.md, severities as the findings are made, and docs/findings.md
// holding the table generated from it.
#include "tools/mediacheck/finding_codes.h"
#include "tools/mediacheck/findings.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

namespace {

std::string readDoc(const std::string &rel) {
    std::ifstream in(std::string(UPG_SOURCE_DIR) + "/" + rel, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(FindingCodes, RowsFollowTheEnumerationWithUniqueNamesAndRealSections) {
    size_t count = 0;
    const mediacheck::CodeInfo *codes = mediacheck::findingCodes(count);
    ASSERT_GT(count, 40u);
    const std::string medium = readDoc("docs/medium.md");
    std::set<std::string> names;
    for (size_t i = 0; i < count; ++i) {
        const mediacheck::CodeInfo &c = codes[i];
        EXPECT_EQ(static_cast<size_t>(c.code), i) << c.name;
        EXPECT_EQ(&mediacheck::codeInfo(c.code), &c) << c.name;
        EXPECT_EQ(mediacheck::findCode(c.name), &c) << c.name;
        EXPECT_TRUE(names.insert(c.name).second) << c.name << " twice";
        const std::string name = c.name;
        EXPECT_EQ(name.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_"),
                  std::string::npos)
            << name;
        EXPECT_FALSE(std::string(c.meaning).empty()) << name;
        EXPECT_EQ(std::string(c.meaning).find('|'), std::string::npos) << name;
        if (c.section != nullptr) {
            EXPECT_NE(medium.find("# " + std::string(c.section) + "\n"), std::string::npos)
                << name << ": no section '" << c.section << "' in docs/medium.md";
        }
    }
    EXPECT_EQ(mediacheck::findCode("NO_SUCH_CODE"), nullptr);
    EXPECT_EQ(mediacheck::docSection("NO_SUCH_CODE"), nullptr);
    EXPECT_EQ(mediacheck::docSection("USAGE"), nullptr);
    EXPECT_STREQ(mediacheck::docSection("GZ_TRAILING_DATA"),
                 "The archive rules of the unit's extractor");
}

TEST(FindingCodes, FindingsTakeTheirRowsSeverityUnlessTheRowAllowsEither) {
    std::vector<mediacheck::Finding> out;
    mediacheck::add(out, mediacheck::Code::GzTrailingData, "a.tgz", "m");
    mediacheck::add(out, mediacheck::Code::TarHardLink, mediacheck::Severity::Warning, "a.tgz",
                    "m");
    mediacheck::add(out, mediacheck::Code::PoiInfBad, mediacheck::Severity::Warning, "p.inf", "m");
    mediacheck::add(out, mediacheck::Code::PoiInfBad, mediacheck::Severity::Error, "p.inf", "m");
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].code, "GZ_TRAILING_DATA");
    EXPECT_EQ(out[0].severity, mediacheck::Severity::Warning);
    EXPECT_EQ(out[1].severity, mediacheck::Severity::Error); // the row's, not the caller's
    EXPECT_EQ(out[2].severity, mediacheck::Severity::Warning);
    EXPECT_EQ(out[3].severity, mediacheck::Severity::Error);
}

TEST(FindingCodes, TheDocumentHoldsTheGeneratedTable) {
    const std::string doc = readDoc("docs/findings.md");
    std::string regenerated;
    ASSERT_TRUE(mediacheck::withFindingsTable(doc, regenerated))
        << "docs/findings.md lacks its findings:begin/end markers";
    EXPECT_EQ(doc, regenerated)
        << "docs/findings.md is not the table in code: build the target findings-doc";
    size_t count = 0;
    const mediacheck::CodeInfo *codes = mediacheck::findingCodes(count);
    for (size_t i = 0; i < count; ++i)
        EXPECT_NE(doc.find(std::string("| `") + codes[i].name + "` |"), std::string::npos)
            << codes[i].name;
}

TEST(FindingCodes, TheTableGoesBetweenTheMarkersOnly) {
    std::string out = "untouched";
    EXPECT_FALSE(mediacheck::withFindingsTable("no markers\n", out));
    EXPECT_FALSE(
        mediacheck::withFindingsTable("<!-- findings:end -->\n<!-- findings:begin -->\n", out));
    EXPECT_EQ(out, "untouched");
    ASSERT_TRUE(mediacheck::withFindingsTable(
        "head\n<!-- findings:begin -->\nold row\n<!-- findings:end -->\ntail\n", out));
    EXPECT_EQ(out, "head\n<!-- findings:begin -->\n" + mediacheck::findingsTableMarkdown() +
                       "<!-- findings:end -->\ntail\n");
}

} // namespace
