// The release report's renderers on reports made by hand: a hostile name
// cannot end a Markdown cell or open an HTML tag, the share of a disc and
// whether the medium fits are right at the edges, the report's format comes
// from its name, and the power cuts' timeline marks false claims in text.
#include "tools/mediacheck/release_report.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using mediacheck::CheckReport;
using mediacheck::MediumFile;
using mediacheck::ReleaseInfo;

TEST(ReleaseReport, CellsOfHostileNamesAreEscaped) {
    struct Case {
        const char *text, *markdown, *html;
    };
    const Case cases[] = {
        {"MAPPE/FRA/FRA.tgz", "MAPPE/FRA/FRA.tgz", "MAPPE/FRA/FRA.tgz"},
        {"a|b", "a\\|b", "a|b"},
        {"line\nbreak\r", "line\\\\nbreak\\\\r", "line\\nbreak\\r"},
        {"<script>&amp;", "\\<script\\>\\&amp;", "&lt;script&gt;&amp;amp;"},
        {"\"q\" 'a'", "\"q\" 'a'", "&quot;q&quot; &#39;a&#39;"},
        {"*b* _i_ `c` [l](x) ~s~ !#$", "\\*b\\* \\_i\\_ \\`c\\` \\[l\\](x) \\~s\\~ \\!\\#\\$",
         "*b* _i_ `c` [l](x) ~s~ !#$"},
        {"bad\xff\xfe", "bad\\\\xff\\\\xfe", "bad\\xff\\xfe"},
        {"caf\xc3\xa9", "caf\xc3\xa9", "caf\xc3\xa9"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(mediacheck::markdownCell(c.text), c.markdown) << c.text;
        EXPECT_EQ(mediacheck::htmlText(c.text), c.html) << c.text;
    }
}

TEST(ReleaseReport, SectorsShareAndFitAtTheEdges) {
    EXPECT_EQ(mediacheck::sectorsOf({{"a", 0, ""}, {"b", 1, ""}, {"c", 2048, ""}, {"d", 2049, ""}}),
              4u);
    EXPECT_EQ(mediacheck::shareText(0, 360000), "0.0%");
    EXPECT_EQ(mediacheck::shareText(1, 360000), "under 0.1%");
    EXPECT_EQ(mediacheck::shareText(180000, 360000), "50.0%");
    EXPECT_EQ(mediacheck::shareText(359999, 360000), "100.0%");
    EXPECT_EQ(mediacheck::shareText(2 * 2298496ULL + 2298496ULL / 4, 2298496), "225.0%");
    EXPECT_EQ(mediacheck::shareText(UINT64_MAX / 10, 1000), "184467440737095516.1%");

    // A medium of exactly a CD's sectors fits it; one byte more does not.
    const uint64_t cd = 360000ULL * 2048;
    for (uint64_t extra : {0, 1}) {
        CheckReport r;
        ReleaseInfo info;
        info.files = {{"MAPPE/FRA/FRA.tgz", cd - 2048, ""}, {"DESCRI.DAT", 2048 + extra, ""}};
        const std::string md = mediacheck::renderMarkdown(r, info);
        const std::string row = extra == 0
                                    ? "| CD | 700 MB | 360,000 | 737,280,000 | 100.0% | yes |"
                                    : "| CD | 700 MB | 360,000 | 737,280,000 | 100.0% | no |";
        EXPECT_NE(md.find(row), std::string::npos) << md;
        EXPECT_NE(md.find("| DVD-5 | 4.7 GB | 2,298,496 | 4,707,319,808 | 15.7% | yes |"),
                  std::string::npos)
            << md;
    }
}

TEST(ReleaseReport, FormatComesFromTheName) {
    using mediacheck::ReportFormat;
    EXPECT_EQ(mediacheck::reportFormatOf("r.md"), ReportFormat::Markdown);
    EXPECT_EQ(mediacheck::reportFormatOf("out/r.html"), ReportFormat::Html);
    for (const char *name : {"", "r.htm", "r.txt", "md", "out/.md", "r.md.bak", "r.HTML"})
        EXPECT_EQ(mediacheck::reportFormatOf(name), ReportFormat::Unknown) << name;
}

// A swept run with a false claim, one not swept, countries offered on one
// state only.
CheckReport sweptReport() {
    CheckReport r;
    r.medium = "dvd<1>";
    r.upgradeType = 1;
    r.blockSizes = {4096};
    mediacheck::CountryReport fra;
    fra.dir = "FRA";
    fra.cid = "FRA";
    fra.name = "France";
    fra.offered[4096] = true;
    mediacheck::CountryReport ita;
    ita.dir = ita.cid = "ITA";
    ita.offered[4096] = ita.offered[512] = false;
    ita.reasons[4096] = ita.reasons[512] = "no size for the block size";
    r.blockSizes = {512, 4096};
    fra.offered[512] = true;
    r.countries = {fra, ita};
    mediacheck::ScriptRunReport empty;
    empty.state = "an empty card";
    empty.blockSize = 4096;
    empty.status = 0;
    empty.installed = empty.offered = {"FRA"};
    empty.cuts = 4;
    empty.operations = 9;
    empty.spans = {{1, 3, 2, "(no claim)", false, ""},
                   {5, 5, 1, "FRA 7.2 (FALSE)", true, "during UnCompress (call 4) at <x>.c:9"},
                   {10, 10, 1, "FRA 7.2", false, "after the last operation"}};
    mediacheck::ScriptRunReport newer;
    newer.state = "a card with <newer> maps";
    newer.blockSize = 4096;
    newer.status = 0;
    r.runs = {empty, newer};
    return r;
}

TEST(ReleaseReport, TimelineMarksFalseClaimsInTextAndColour) {
    const CheckReport r = sweptReport();
    const std::string html = mediacheck::renderHtml(r, ReleaseInfo());
    // One picture: the run that was not swept has none.
    EXPECT_EQ(html.find("<svg"), html.rfind("<svg")) << html;
    ASSERT_NE(html.find("<svg"), std::string::npos) << html;
    EXPECT_NE(html.find("<title>k 5 (1 cut): FRA 7.2 (FALSE) - a false claim; during UnCompress "
                        "(call 4) at &lt;x&gt;.c:9</title>\n"
                        "<rect x=\"498.0\" y=\"35.0\" width=\"42.0\" height=\"18.0\" "
                        "fill=\"#c62828\""),
              std::string::npos)
        << html;
    EXPECT_NE(html.find(">FALSE</text>"), std::string::npos);
    // The cut after the end (k = N + 1) ends at the axis' right end.
    EXPECT_NE(html.find("<rect x=\"708.0\" y=\"59.0\" width=\"42.0\""), std::string::npos) << html;
    EXPECT_NE(html.find("k = 10</text>"), std::string::npos);
    EXPECT_NE(html.find("4 cuts played of 10 cut points (a sample"), std::string::npos);

    const std::string md = mediacheck::renderMarkdown(r, ReleaseInfo());
    EXPECT_NE(
        md.find(
            "| 5 | 1 | FRA 7.2 (FALSE) | FALSE | during UnCompress (call 4) at \\<x\\>.c:9 |\n"),
        std::string::npos)
        << md;
    EXPECT_NE(md.find("| 1-3 | 2 | (no claim) | no |  |\n"), std::string::npos) << md;
    // A reason said alike at two block sizes is one row.
    EXPECT_NE(md.find("| ITA | MAPPE/ITA | 512, 4096 | no size for the block size |\n"),
              std::string::npos)
        << md;
    // Countries per card state: offered on the empty card only.
    EXPECT_NE(
        md.find("| CID | Name | Folder | an empty card (4096-byte blocks) | a card with "
                "\\<newer\\> maps (4096-byte blocks) |\n| --- | --- | --- | --- | --- |\n"
                "| FRA | France | MAPPE/FRA | yes | no |\n| ITA |  | MAPPE/ITA | no | no |\n"),
        std::string::npos)
        << md;
}

} // namespace
