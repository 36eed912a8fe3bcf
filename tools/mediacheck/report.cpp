// The check's report as text for a person and as one JSON object for tools.
#include "tools/mediacheck/mediacheck.h"

#include "tools/hostkit/names.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <map>
#include <sstream>

namespace mediacheck {

const char *upgradeTypeName(int type) {
    switch (type) {
    case 1:
        return "country selection";
    case 0:
        return "single country";
    default:
        return "no upgrade";
    }
}

namespace {

// Texts from the medium may hold any bytes: valid UTF-8 for JSON, each byte
// that starts no valid sequence as U+FFFD.
std::string utf8(const std::string &s) {
    return hostkit::utf8Replaced(s);
}

// A finding's message and the section that explains it.
std::string explained(const Finding &f) {
    const char *section = docSection(f.code);
    return section == nullptr ? f.message : f.message + " (medium.md: " + section + ")";
}

} // namespace

// `lead` then the words of `text`, broken at spaces into lines of at most
// `width` columns (a longer word stays whole), the following lines indented
// by `indent` spaces; ends with a newline.
std::string wrapText(const std::string &lead, const std::string &text, size_t indent,
                     size_t width) {
    std::string out;
    std::string line = lead;
    bool bare = true; // no word on this line yet
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        if (!bare && line.size() + 1 + word.size() > width) {
            out += line + "\n";
            line = std::string(indent, ' ');
            bare = true;
        }
        if (!bare)
            line += ' ';
        line += word;
        bare = false;
    }
    return out + line + "\n";
}

const char *docSection(const std::string &code) {
    const CodeInfo *info = findCode(code);
    return info != nullptr ? info->section : nullptr;
}

namespace {

// "entry" -> "entries", "block size" -> "block sizes".
std::string plural(const std::string &kind, size_t n) {
    if (n == 1)
        return kind;
    if (!kind.empty() && kind.back() == 'y')
        return kind.substr(0, kind.size() - 1) + "ies";
    return kind + "s";
}

// Up to five quoted names and how many more.
std::string someQuoted(const std::vector<std::string> &names) {
    std::string out;
    for (size_t i = 0; i < names.size() && i < 5; ++i)
        out += (i == 0 ? "'" : ", '") + names[i] + "'";
    if (names.size() > 5)
        out += " and " + std::to_string(names.size() - 5) + " more";
    return out;
}

// The findings [first, last) of one code in one file as one finding.
Finding merged(std::vector<Finding>::const_iterator first,
               std::vector<Finding>::const_iterator last) {
    Finding g = *first;
    g.count = static_cast<int>(last - first);
    bool sameText = !first->subject.empty();
    for (auto f = first; f != last; ++f) {
        g.messages.push_back(f->message);
        if (!f->subject.empty() &&
            std::find(g.covers.begin(), g.covers.end(), f->subject) == g.covers.end())
            g.covers.push_back(f->subject);
        sameText = sameText && !f->subject.empty() && f->detail == first->detail &&
                   f->subjectKind == first->subjectKind;
    }
    if (sameText) {
        // Said alike of each: the text once, after the subjects.
        g.message = std::to_string(g.covers.size()) + " " + plural(g.subjectKind, g.covers.size()) +
                    " " + someQuoted(g.covers) + ": " + first->detail;
    } else {
        g.message = first->message + " (" + std::to_string(g.count - 1) + " more of " + g.code +
                    " in this file" +
                    (g.covers.size() > 1 ? ", about " + someQuoted(g.covers) : std::string()) + ")";
    }
    g.subject.clear();
    g.detail.clear();
    return g;
}

} // namespace

void groupFindings(std::vector<Finding> &findings) {
    std::stable_sort(findings.begin(), findings.end(), [](const Finding &a, const Finding &b) {
        if (a.path != b.path)
            return a.path < b.path;
        if (a.severity != b.severity)
            return a.severity == Severity::Error;
        if (a.code != b.code)
            return a.code < b.code;
        if (a.line != b.line)
            return a.line < b.line;
        return a.message < b.message;
    });
    std::vector<Finding> out;
    // Findings of different lines of a file stay apart: each is told at its
    // line, as a compiler does.
    for (auto first = findings.begin(); first != findings.end();) {
        auto last = first + 1;
        while (last != findings.end() && last->path == first->path && last->code == first->code &&
               last->severity == first->severity && last->line == first->line)
            ++last;
        out.push_back(last - first == 1 ? *first : merged(first, last));
        // A finding about one subject covers it.
        if (out.back().covers.empty() && !out.back().subject.empty())
            out.back().covers.push_back(out.back().subject);
        first = last;
    }
    findings.swap(out);
}

std::map<std::string, std::string> reasonsByBlockSizes(const CheckReport &r,
                                                       const CountryReport &c) {
    std::map<std::string, std::string> sizesOf;
    for (long bs : r.blockSizes) {
        auto it = c.reasons.find(bs);
        if (it != c.reasons.end())
            sizesOf[it->second] += (sizesOf[it->second].empty() ? "" : ", ") + std::to_string(bs);
    }
    return sizesOf;
}

std::string renderText(const CheckReport &r) {
    std::ostringstream out;
    // Names and texts of the medium are escaped: none starts a line.
    const auto P = hostkit::printable;
    out << "Medium:        " << P(r.medium) << "\n";
    out << wrapText("Upgrade type:  ",
                    std::to_string(r.upgradeType) + " (" + upgradeTypeName(r.upgradeType) + ")" +
                        (r.typeReason.empty() ? "" : ": " + P(r.typeReason)),
                    15);
    if (!r.countries.empty()) {
        out << "Countries offered per SD block size:\n";
        for (long bs : r.blockSizes) {
            std::string list;
            int count = 0;
            for (const CountryReport &c : r.countries) {
                auto it = c.offered.find(bs);
                if (it != c.offered.end() && it->second) {
                    list += (list.empty() ? "" : " ") + P(c.cid);
                    ++count;
                }
            }
            const std::string lead =
                "  " + std::to_string(bs) + std::string(bs < 10000 ? (bs < 1000 ? 3 : 2) : 1, ' ') +
                std::to_string(count) + " of " + std::to_string(r.countries.size()) +
                (list.empty() ? "" : ": ");
            out << wrapText(lead, list, 10);
        }
    }
    out << "Archives read: " << r.archivesRead << " (" << r.archiveBytes << " bytes)\n";
    if (!r.runs.empty()) {
        out << "Script runs:\n";
        for (const ScriptRunReport &run : r.runs) {
            std::string list;
            for (const std::string &cid : run.installed)
                list += " " + P(cid);
            out << wrapText(
                "  " + std::to_string(run.blockSize) + " ",
                run.state + ": status " + std::to_string(run.status) +
                    (list.empty() ? ", nothing installed" : ", installed" + list) +
                    (run.cuts == 0 ? "" : ", " + std::to_string(run.cuts) + " power cuts"),
                8);
        }
    }
    out << "Errors:        " << r.errors() << "\n";
    out << "Warnings:      " << r.warnings() << "\n";

    // Countries left out, with the module's reason (block sizes that share
    // one reason on one line).
    bool header = false;
    for (const CountryReport &c : r.countries) {
        for (const auto &reason : reasonsByBlockSizes(r, c)) {
            if (!header) {
                out << "\nCountries left out:\n";
                header = true;
            }
            std::string lead = "  " + P(c.cid) + " (MAPPE/" + P(c.dir) + ")";
            if (reason.second.find(',') == std::string::npos ||
                c.reasons.size() < r.blockSizes.size())
                lead += " at " + reason.second;
            out << wrapText(lead + ": ", P(reason.first), 4);
        }
    }

    std::string current;
    for (const Finding &f : r.findings) {
        if (f.path != current || &f == &r.findings.front()) {
            out << "\n" << (f.path.empty() ? "(medium)" : P(f.path)) << "\n";
            current = f.path;
        }
        // A finding of a line leads with "FILE:LINE:", as a compiler's does.
        const std::string where =
            f.line > 0 ? P(f.path) + ":" + std::to_string(f.line) + ": " : std::string();
        out << wrapText(std::string("  ") + where +
                            (f.severity == Severity::Error ? "error  " : "warning") + " " + f.code +
                            (f.count > 1 ? " (" + std::to_string(f.count) + "x)" : std::string()) +
                            ": ",
                        P(explained(f)), 4);
    }
    if (r.findings.empty())
        out << "\nNo finding: the medium is ready.\n";
    return out.str();
}

std::string renderJson(const CheckReport &r) {
    nlohmann::ordered_json j;
    j["medium"] = utf8(r.medium);
    if (!hostkit::isUtf8(r.medium))
        j["medium_raw"] = hostkit::escapedBytes(r.medium);
    j["upgrade_type"] = r.upgradeType;
    j["errors"] = r.errors();
    j["warnings"] = r.warnings();
    j["countries"] = nlohmann::ordered_json::array();
    for (const CountryReport &c : r.countries) {
        nlohmann::ordered_json cj;
        cj["cid"] = utf8(c.cid);
        cj["name"] = utf8(c.name);
        cj["offered"] = nlohmann::ordered_json::object();
        cj["reasons"] = nlohmann::ordered_json::object();
        for (long bs : r.blockSizes) {
            auto it = c.offered.find(bs);
            cj["offered"][std::to_string(bs)] = it != c.offered.end() && it->second;
            auto why = c.reasons.find(bs);
            if (why != c.reasons.end())
                cj["reasons"][std::to_string(bs)] = utf8(why->second);
        }
        j["countries"].push_back(cj);
    }
    if (!r.runs.empty()) {
        j["runs"] = nlohmann::ordered_json::array();
        for (const ScriptRunReport &run : r.runs) {
            nlohmann::ordered_json rj;
            rj["state"] = run.state;
            rj["block_size"] = run.blockSize;
            rj["status"] = run.status;
            rj["installed"] = nlohmann::ordered_json::array();
            for (const std::string &cid : run.installed)
                rj["installed"].push_back(utf8(cid));
            rj["offered"] = nlohmann::ordered_json::array();
            for (const std::string &cid : run.offered)
                rj["offered"].push_back(utf8(cid));
            rj["power_cuts"] = run.cuts;
            if (run.operations > 0) {
                rj["operations"] = run.operations;
                rj["cut_spans"] = nlohmann::ordered_json::array();
                for (const CutSpan &span : run.spans)
                    rj["cut_spans"].push_back({{"from", span.from},
                                               {"to", span.to},
                                               {"cuts", span.cuts},
                                               {"claims", utf8(span.claims)},
                                               {"false_claim", span.falseClaim},
                                               {"place", utf8(span.place)}});
            }
            j["runs"].push_back(rj);
        }
    }
    j["findings"] = nlohmann::ordered_json::array();
    for (const Finding &f : r.findings) {
        nlohmann::ordered_json fj;
        fj["severity"] = f.severity == Severity::Error ? "error" : "warning";
        fj["code"] = f.code;
        fj["path"] = utf8(f.path);
        if (!hostkit::isUtf8(f.path))
            fj["path_raw"] = hostkit::escapedBytes(f.path);
        if (f.line > 0)
            fj["line"] = f.line;
        fj["message"] = utf8(f.message);
        // One finding per code and file: how many it stands for, what they
        // are about, and each one's own message.
        fj["count"] = f.count;
        fj["covers"] = nlohmann::ordered_json::array();
        for (const std::string &c : f.covers)
            fj["covers"].push_back(utf8(c));
        if (!f.covers.empty())
            fj["covers_kind"] = plural(f.subjectKind, 2);
        fj["messages"] = nlohmann::ordered_json::array();
        for (const std::string &m :
             f.messages.empty() ? std::vector<std::string>{f.message} : f.messages)
            fj["messages"].push_back(utf8(m));
        const char *section = docSection(f.code);
        fj["doc"] = section == nullptr ? nlohmann::ordered_json() : nlohmann::ordered_json(section);
        j["findings"].push_back(fj);
    }
    // Names from the medium may be in any encoding: never throw on them.
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

} // namespace mediacheck
