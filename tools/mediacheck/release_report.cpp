// The release report (release_report.h): one model of sections, paragraphs
// and tables built from the check's report, written out as Markdown or as
// HTML. Every text that comes from the medium passes hostkit::printable
// first (no control byte, no invalid UTF-8), then the format's escaping.
#include "tools/mediacheck/release_report.h"

#include "tools/hostkit/card.h"
#include "tools/hostkit/names.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <sstream>

namespace mediacheck {

const Disc k_discs[2] = {{"DVD-5", "4.7 GB", 2298496}, {"CD", "700 MB", 360000}};

bool listMediumFiles(const std::string &mediaDir, std::vector<MediumFile> &files) {
    files.clear();
    hostkit::CardImage image;
    const bool whole = hostkit::imageCard(mediaDir, image);
    for (const auto &e : image) {
        if (e.second.folder)
            continue;
        MediumFile f;
        f.path = e.first;
        f.size = e.second.size;
        f.sha256 = hostkit::hexDigest(e.second.sha256);
        files.push_back(f);
    }
    // The image is keyed by path already; sorted again so that the order
    // does not hang on the container.
    std::sort(files.begin(), files.end(),
              [](const MediumFile &a, const MediumFile &b) { return a.path < b.path; });
    return whole;
}

uint64_t sectorsOf(const std::vector<MediumFile> &files) {
    uint64_t sectors = 0;
    for (const MediumFile &f : files)
        sectors += f.size / k_sector_bytes + (f.size % k_sector_bytes != 0 ? 1 : 0);
    return sectors;
}

std::string shareText(uint64_t used, uint64_t capacity) {
    if (capacity == 0)
        return "-";
    // Tenths of a percent, rounded; the quotient and the remainder apart
    // where the product would not fit.
    const uint64_t tenths = used <= UINT64_MAX / 1000
                                ? (used * 1000 + capacity / 2) / capacity
                                : used / capacity * 1000 + used % capacity * 1000 / capacity;
    // Some use, less than the tenth shown: not "0.0%".
    if (tenths == 0 && used > 0)
        return "under 0.1%";
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + "%";
}

ReportFormat reportFormatOf(const std::string &path) {
    auto endsWith = [&path](const std::string &ext) {
        return path.size() > ext.size() &&
               path.compare(path.size() - ext.size(), ext.size(), ext) == 0 &&
               path[path.size() - ext.size() - 1] != '/';
    };
    if (endsWith(".md"))
        return ReportFormat::Markdown;
    if (endsWith(".html"))
        return ReportFormat::Html;
    return ReportFormat::Unknown;
}

std::string markdownCell(const std::string &text) {
    // Characters that would end the cell or start a formatting, a link, an
    // HTML tag, an entity, a math span or a strikethrough; each escaped with
    // a backslash, which GitHub-flavoured Markdown takes for the character.
    static const std::string k_special = "\\`*_[]<>|~&!#$";
    std::string out;
    for (char c : hostkit::printable(text)) {
        if (k_special.find(c) != std::string::npos)
            out += '\\';
        out += c;
    }
    return out;
}

std::string htmlText(const std::string &text) {
    std::string out;
    for (char c : hostkit::printable(text)) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

namespace {

// ---- The model -------------------------------------------------------------

struct Table {
    std::vector<std::string> headers;
    std::vector<std::vector<std::string>> rows;
    std::vector<bool> numeric; // right-aligned columns
    std::vector<bool> code;    // columns shown as code (digests)
};

struct Block {
    enum Kind { Paragraph, TableBlock, Timeline } kind = Paragraph;
    std::string text;
    Table table;
    const ScriptRunReport *run = nullptr; // Timeline
};

struct Section {
    std::string id; // anchor of the HTML page
    std::string title;
    std::vector<Block> blocks;
};

Block paragraph(const std::string &text) {
    Block b;
    b.text = text;
    return b;
}

Block tableBlock(Table t) {
    Block b;
    b.kind = Block::TableBlock;
    t.numeric.resize(t.headers.size(), false);
    t.code.resize(t.headers.size(), false);
    b.table = std::move(t);
    return b;
}

// 4707319808 -> "4,707,319,808".
std::string grouped(uint64_t n) {
    std::string digits = std::to_string(n);
    std::string out;
    for (size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            out += ',';
        out += digits[i];
    }
    return out;
}

std::string blocksText(long bs) {
    return std::to_string(bs) + "-byte blocks";
}

std::string runName(const ScriptRunReport &run) {
    return run.state + " (" + blocksText(run.blockSize) + ")";
}

std::string joined(const std::vector<std::string> &items, const std::string &none) {
    if (items.empty())
        return none;
    std::string out;
    for (const std::string &i : items)
        out += (out.empty() ? "" : " ") + i;
    return out;
}

std::string rangeText(const CutSpan &s) {
    return s.from == s.to ? std::to_string(s.from)
                          : std::to_string(s.from) + "-" + std::to_string(s.to);
}

bool anySwept(const CheckReport &r) {
    for (const ScriptRunReport &run : r.runs)
        if (run.operations > 0)
            return true;
    return false;
}

std::vector<Section> buildModel(const CheckReport &r, const ReleaseInfo &info) {
    std::vector<Section> doc;

    Section summary{"summary", "Summary", {}};
    {
        Table t;
        t.headers = {"Item", "Value"};
        t.rows.push_back({"Tool", info.version});
        t.rows.push_back({"Medium", r.medium});
        t.rows.push_back({"Upgrade type", std::to_string(r.upgradeType) + " (" +
                                              upgradeTypeName(r.upgradeType) + ")" +
                                              (r.typeReason.empty() ? "" : ": " + r.typeReason)});
        t.rows.push_back({"Errors", std::to_string(r.errors())});
        t.rows.push_back({"Warnings", std::to_string(r.warnings())});
        t.rows.push_back(
            {"Verdict", r.errors() == 0 ? "ready to burn" : "not ready: errors found"});
        summary.blocks.push_back(tableBlock(t));
    }
    doc.push_back(summary);

    Section files{"files", "Files of the medium", {}};
    {
        Table t;
        t.headers = {"Path", "Bytes", "SHA-256"};
        t.numeric = {false, true, false};
        t.code = {false, false, true};
        uint64_t total = 0;
        for (const MediumFile &f : info.files) {
            t.rows.push_back({f.path, grouped(f.size), f.sha256});
            total += f.size;
        }
        files.blocks.push_back(
            paragraph(std::to_string(info.files.size()) + " files, " + grouped(total) + " bytes."));
        if (!info.filesComplete)
            files.blocks.push_back(paragraph(
                "The listing is partial: a file or folder of the medium could not be read, or "
                "the medium holds a symbolic link or another special file."));
        files.blocks.push_back(tableBlock(t));
    }
    doc.push_back(files);

    Section discs{"discs", "Size against the discs", {}};
    {
        const uint64_t used = sectorsOf(info.files);
        discs.blocks.push_back(paragraph(
            "The medium takes " + grouped(used) + " sectors of " + std::to_string(k_sector_bytes) +
            " bytes (" + grouped(used * k_sector_bytes) +
            " bytes; each file rounded up to whole sectors, the disc's own file system records "
            "not counted)."));
        Table t;
        t.headers = {"Disc", "Capacity", "Sectors", "Bytes", "Used", "Fits"};
        t.numeric = {false, false, true, true, true, false};
        for (const Disc &d : k_discs)
            t.rows.push_back({d.name, d.label, grouped(d.sectors),
                              grouped(d.sectors * k_sector_bytes), shareText(used, d.sectors),
                              used <= d.sectors ? "yes" : "no"});
        discs.blocks.push_back(tableBlock(t));
    }
    doc.push_back(discs);

    Section offered{"offered", "Countries offered", {}};
    if (r.countries.empty()) {
        offered.blocks.push_back(paragraph("The medium holds no country folder."));
    } else {
        offered.blocks.push_back(paragraph(std::string("Per SD block size (bytes), on ") +
                                           (info.cardGiven ? "the card given" : "an empty card") +
                                           ":"));
        Table t;
        t.headers = {"CID", "Name", "Folder"};
        for (long bs : r.blockSizes)
            t.headers.push_back(std::to_string(bs));
        for (const CountryReport &c : r.countries) {
            std::vector<std::string> row = {c.cid, c.name, "MAPPE/" + c.dir};
            for (long bs : r.blockSizes) {
                auto it = c.offered.find(bs);
                row.push_back(it != c.offered.end() && it->second ? "yes" : "no");
            }
            t.rows.push_back(row);
        }
        offered.blocks.push_back(tableBlock(t));
        // Why the module leaves a country out, the block sizes that share a
        // reason on one row.
        Table out;
        out.headers = {"CID", "Folder", "Left out at", "The module's reason"};
        for (const CountryReport &c : r.countries) {
            for (const auto &reason : reasonsByBlockSizes(r, c))
                out.rows.push_back({c.cid, "MAPPE/" + c.dir, reason.second, reason.first});
        }
        if (!out.rows.empty()) {
            offered.blocks.push_back(paragraph("Left out:"));
            offered.blocks.push_back(tableBlock(out));
        }
        if (!r.runs.empty()) {
            offered.blocks.push_back(paragraph("Per card state the script ran on:"));
            Table s;
            s.headers = {"CID", "Name", "Folder"};
            for (const ScriptRunReport &run : r.runs)
                s.headers.push_back(runName(run));
            for (const CountryReport &c : r.countries) {
                std::vector<std::string> row = {c.cid, c.name, "MAPPE/" + c.dir};
                for (const ScriptRunReport &run : r.runs)
                    row.push_back(std::find(run.offered.begin(), run.offered.end(), c.cid) !=
                                          run.offered.end()
                                      ? "yes"
                                      : "no");
                s.rows.push_back(row);
            }
            offered.blocks.push_back(tableBlock(s));
        }
    }
    doc.push_back(offered);

    Section runs{"runs", "The upgrade script's runs", {}};
    if (r.runs.empty()) {
        runs.blocks.push_back(paragraph("The script did not run."));
    } else {
        Table t;
        t.headers = {"Card state", "Block size", "Exit status", "Installed", "Power cuts"};
        t.numeric = {false, true, true, false, true};
        for (const ScriptRunReport &run : r.runs)
            t.rows.push_back({run.state, std::to_string(run.blockSize),
                              run.status < 0 ? "did not run" : std::to_string(run.status),
                              joined(run.installed, "nothing"), std::to_string(run.cuts)});
        runs.blocks.push_back(tableBlock(t));
    }
    doc.push_back(runs);

    if (anySwept(r)) {
        Section cuts{"power-cuts", "Power cuts", {}};
        cuts.blocks.push_back(paragraph(
            "A cut at k stops the run before its operation k (k = N + 1: once it has ended); "
            "the card is then read for what it claims to hold, and a claim its files do not "
            "back is false."));
        for (const ScriptRunReport &run : r.runs) {
            if (run.operations == 0)
                continue;
            const bool sample = run.cuts < run.operations + 1;
            cuts.blocks.push_back(paragraph(
                runName(run) + ": " + std::to_string(run.cuts) + " cuts played of " +
                std::to_string(run.operations + 1) + " cut points" +
                (sample ? " (a sample: a span also covers the points between its cuts, which "
                          "were not played)."
                        : ".")));
            Block timeline;
            timeline.kind = Block::Timeline;
            timeline.run = &run;
            cuts.blocks.push_back(timeline);
            Table t;
            t.headers = {"Cut points k", "Cuts played", "The card claims", "False claim",
                         "Where in the script"};
            t.numeric = {true, true, false, false, false};
            for (const CutSpan &s : run.spans)
                t.rows.push_back({rangeText(s), std::to_string(s.cuts), s.claims,
                                  s.falseClaim ? "FALSE" : "no", s.place});
            cuts.blocks.push_back(tableBlock(t));
        }
        doc.push_back(cuts);
    }

    Section findings{"findings", "Findings", {}};
    if (r.findings.empty()) {
        findings.blocks.push_back(paragraph("No finding: the medium is ready."));
    } else {
        Table t;
        t.headers = {"Severity", "Code", "Where", "Message", "Explained in"};
        for (const Finding &f : r.findings) {
            const char *section = docSection(f.code);
            t.rows.push_back({f.severity == Severity::Error ? "error" : "warning",
                              f.code + (f.count > 1 ? " (" + std::to_string(f.count) + "x)" : ""),
                              (f.path.empty() ? "(medium)" : f.path) +
                                  (f.line > 0 ? ":" + std::to_string(f.line) : ""),
                              f.message,
                              section == nullptr ? "" : std::string("medium.md: ") + section});
        }
        findings.blocks.push_back(tableBlock(t));
    }
    doc.push_back(findings);
    return doc;
}

// ---- Markdown --------------------------------------------------------------

void markdownTable(std::ostringstream &out, const Table &t) {
    out << "|";
    for (const std::string &h : t.headers)
        out << " " << markdownCell(h) << " |";
    out << "\n|";
    for (size_t i = 0; i < t.headers.size(); ++i)
        out << (t.numeric[i] ? " ---: |" : " --- |");
    out << "\n";
    for (const auto &row : t.rows) {
        out << "|";
        for (size_t i = 0; i < t.headers.size(); ++i) {
            const std::string cell = i < row.size() ? markdownCell(row[i]) : std::string();
            // A digest is hex: a code span needs no escaping inside.
            out << " " << (t.code[i] && !cell.empty() ? "`" + cell + "`" : cell) << " |";
        }
        out << "\n";
    }
}

// ---- HTML ------------------------------------------------------------------

const char k_style[] = "body{font-family:sans-serif;margin:2em;color:#222}"
                       "table{border-collapse:collapse;margin:0.5em 0 1em}"
                       "th,td{border:1px solid #bbb;padding:2px 6px;text-align:left;"
                       "vertical-align:top}"
                       "th{background:#eee}td.num{text-align:right}"
                       "code{font-size:90%}"
                       "svg{display:block;margin:0.5em 0}"
                       "svg text{font-family:sans-serif;font-size:12px}";

void htmlTable(std::ostringstream &out, const Table &t) {
    out << "<table>\n<thead><tr>";
    for (const std::string &h : t.headers)
        out << "<th>" << htmlText(h) << "</th>";
    out << "</tr></thead>\n<tbody>\n";
    for (const auto &row : t.rows) {
        out << "<tr>";
        for (size_t i = 0; i < t.headers.size(); ++i) {
            const std::string cell = i < row.size() ? htmlText(row[i]) : std::string();
            out << (t.numeric[i] ? "<td class=\"num\">" : "<td>")
                << (t.code[i] ? "<code>" + cell + "</code>" : cell) << "</td>";
        }
        out << "</tr>\n";
    }
    out << "</tbody>\n</table>\n";
}

std::string number(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// `text` cut to at most `max` bytes at a character's start, "..." added.
std::string shortened(const std::string &text, size_t max) {
    if (text.size() <= max)
        return text;
    size_t end = max;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end) + "...";
}

// The timeline of one swept run: x the cut points 1..N + 1, one row per
// claim the card made, a band per span of cuts on its claim's row; false
// claims red and labelled "FALSE" (not by colour only), each band titled.
void htmlTimeline(std::ostringstream &out, const ScriptRunReport &run) {
    const double labelWidth = 330, plotWidth = 420, rowHeight = 24, top = 8;
    const uint64_t points = run.operations + 1;
    std::vector<std::string> rows;
    for (const CutSpan &s : run.spans)
        if (std::find(rows.begin(), rows.end(), s.claims) == rows.end())
            rows.push_back(s.claims);
    const double height = top + rowHeight * static_cast<double>(rows.size()) + 36;
    const double width = labelWidth + plotWidth + 20;
    auto x = [&](uint64_t k) {
        return labelWidth +
               plotWidth * static_cast<double>(k > 0 ? k - 1 : 0) / static_cast<double>(points);
    };
    out << "<svg width=\"" << number(width) << "\" height=\"" << number(height)
        << "\" viewBox=\"0 0 " << number(width) << " " << number(height)
        << "\" role=\"img\" aria-label=\""
        << htmlText("What the card claims by cut: " + runName(run)) << "\">\n<title>"
        << htmlText("What the card claims by cut: " + runName(run)) << "</title>\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const double y = top + rowHeight * static_cast<double>(i);
        out << "<text x=\"4\" y=\"" << number(y + 16) << "\">" << htmlText(shortened(rows[i], 48))
            << "</text>\n";
    }
    for (const CutSpan &s : run.spans) {
        const size_t row =
            static_cast<size_t>(std::find(rows.begin(), rows.end(), s.claims) - rows.begin());
        const double y = top + rowHeight * static_cast<double>(row);
        const double x0 = x(s.from);
        const double w = std::max(2.0, x(s.to + 1) - x0);
        const bool notPlayed = s.cuts == 0 || s.claims == "(not played)";
        const char *fill = s.falseClaim ? "#c62828" : notPlayed ? "#9e9e9e" : "#2e7d32";
        out << "<g>\n<title>"
            << htmlText("k " + rangeText(s) + " (" + std::to_string(s.cuts) +
                        (s.cuts == 1 ? " cut" : " cuts") + "): " + s.claims +
                        (s.falseClaim ? " - a false claim" : "") +
                        (s.place.empty() ? "" : "; " + s.place))
            << "</title>\n<rect x=\"" << number(x0) << "\" y=\"" << number(y + 3) << "\" width=\""
            << number(w) << "\" height=\"" << number(rowHeight - 6) << "\" fill=\"" << fill << "\""
            << (s.falseClaim ? " stroke=\"#000\" stroke-dasharray=\"3 2\"" : "") << "/>\n";
        if (s.falseClaim)
            out << "<text x=\"" << number(x0 + 2) << "\" y=\"" << number(y + 16)
                << "\" fill=\"#fff\" stroke=\"#000\" stroke-width=\"0.3\">FALSE</text>\n";
        out << "</g>\n";
    }
    const double axis = top + rowHeight * static_cast<double>(rows.size()) + 4;
    out << "<line x1=\"" << number(labelWidth) << "\" y1=\"" << number(axis) << "\" x2=\""
        << number(labelWidth + plotWidth) << "\" y2=\"" << number(axis) << "\" stroke=\"#222\"/>\n";
    out << "<text x=\"" << number(labelWidth) << "\" y=\"" << number(axis + 14)
        << "\">k = 1</text>\n";
    out << "<text x=\"" << number(labelWidth + plotWidth) << "\" y=\"" << number(axis + 14)
        << "\" text-anchor=\"end\">k = " << points << "</text>\n";
    out << "<text x=\"" << number(labelWidth + plotWidth / 2) << "\" y=\"" << number(axis + 28)
        << "\" text-anchor=\"middle\">cut before operation k</text>\n";
    out << "</svg>\n";
}

} // namespace

std::string renderMarkdown(const CheckReport &r, const ReleaseInfo &info) {
    std::ostringstream out;
    out << "# Release report: " << markdownCell(r.medium) << "\n";
    for (const Section &s : buildModel(r, info)) {
        out << "\n## " << s.title << "\n";
        for (const Block &b : s.blocks) {
            if (b.kind == Block::Paragraph)
                out << "\n" << markdownCell(b.text) << "\n";
            else if (b.kind == Block::TableBlock) {
                out << "\n";
                markdownTable(out, b.table);
            }
            // The timeline's picture is the HTML page's; its table follows.
        }
    }
    return out.str();
}

std::string renderHtml(const CheckReport &r, const ReleaseInfo &info) {
    std::ostringstream out;
    const std::vector<Section> doc = buildModel(r, info);
    out << "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        << "<title>" << htmlText("Release report: " + r.medium) << "</title>\n<style>" << k_style
        << "</style>\n</head>\n<body>\n<h1>" << htmlText("Release report: " + r.medium)
        << "</h1>\n<nav><ul>\n";
    for (const Section &s : doc)
        out << "<li><a href=\"#" << s.id << "\">" << htmlText(s.title) << "</a></li>\n";
    out << "</ul></nav>\n";
    for (const Section &s : doc) {
        out << "<section id=\"" << s.id << "\">\n<h2>" << htmlText(s.title) << "</h2>\n";
        for (const Block &b : s.blocks) {
            if (b.kind == Block::Paragraph)
                out << "<p>" << htmlText(b.text) << "</p>\n";
            else if (b.kind == Block::TableBlock)
                htmlTable(out, b.table);
            else if (b.run != nullptr)
                htmlTimeline(out, *b.run);
        }
        out << "</section>\n";
    }
    out << "</body>\n</html>\n";
    return out.str();
}

} // namespace mediacheck
