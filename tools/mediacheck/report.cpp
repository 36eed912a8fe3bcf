// The check's report as text for a person and as one JSON object for tools.
#include "tools/mediacheck/mediacheck.h"

#include <nlohmann/json.hpp>

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

// Texts from the medium may hold any bytes: make them valid UTF-8 for JSON
// (a byte that starts no valid sequence is taken as Latin-1).
std::string utf8(const std::string &s) {
    std::string out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    for (size_t i = 0; i < s.size();) {
        size_t n = 0;
        if (p[i] < 0x80)
            n = 1;
        else if (p[i] >= 0xC2 && p[i] <= 0xDF)
            n = 2;
        else if (p[i] >= 0xE0 && p[i] <= 0xEF)
            n = 3;
        else if (p[i] >= 0xF0 && p[i] <= 0xF4)
            n = 4;
        bool ok = n > 0 && i + n <= s.size();
        for (size_t k = 1; ok && k < n; ++k)
            ok = (p[i + k] & 0xC0) == 0x80;
        if (ok) {
            out.append(s, i, n);
            i += n;
        } else {
            out += static_cast<char>(0xC0 | (p[i] >> 6));
            out += static_cast<char>(0x80 | (p[i] & 0x3F));
            ++i;
        }
    }
    return out;
}

} // namespace

std::string renderText(const CheckReport &r) {
    std::ostringstream out;
    out << "Medium:        " << r.medium << "\n";
    out << "Upgrade type:  " << r.upgradeType << " (" << upgradeTypeName(r.upgradeType) << ")";
    if (!r.typeReason.empty())
        out << ": " << r.typeReason;
    out << "\n";
    if (!r.countries.empty()) {
        out << "Countries offered per SD block size:\n";
        for (long bs : r.blockSizes) {
            std::string list;
            int count = 0;
            for (const CountryReport &c : r.countries) {
                auto it = c.offered.find(bs);
                if (it != c.offered.end() && it->second) {
                    list += (list.empty() ? "" : " ") + c.cid;
                    ++count;
                }
            }
            out << "  " << bs << std::string(bs < 10000 ? (bs < 1000 ? 3 : 2) : 1, ' ') << count
                << " of " << r.countries.size() << (list.empty() ? "" : ": " + list) << "\n";
        }
    }
    out << "Archives read: " << r.archivesRead << " (" << r.archiveBytes << " bytes)\n";
    out << "Errors:        " << r.errors() << "\n";
    out << "Warnings:      " << r.warnings() << "\n";

    // Countries left out, with the module's reason (block sizes that share
    // one reason on one line).
    bool header = false;
    for (const CountryReport &c : r.countries) {
        std::map<std::string, std::string> sizesOf;
        for (long bs : r.blockSizes) {
            auto it = c.reasons.find(bs);
            if (it != c.reasons.end())
                sizesOf[it->second] +=
                    (sizesOf[it->second].empty() ? "" : ", ") + std::to_string(bs);
        }
        for (const auto &reason : sizesOf) {
            if (!header) {
                out << "\nCountries left out:\n";
                header = true;
            }
            out << "  " << c.cid << " (MAPPE/" << c.dir << ")";
            if (reason.second.find(',') == std::string::npos ||
                c.reasons.size() < r.blockSizes.size())
                out << " at " << reason.second;
            out << ": " << reason.first << "\n";
        }
    }

    std::string current;
    for (const Finding &f : r.findings) {
        if (f.path != current || &f == &r.findings.front()) {
            out << "\n" << (f.path.empty() ? "(medium)" : f.path) << "\n";
            current = f.path;
        }
        out << "  " << (f.severity == Severity::Error ? "error  " : "warning") << " " << f.code
            << ": " << f.message << "\n";
    }
    if (r.findings.empty())
        out << "\nNo finding: the medium is ready.\n";
    return out.str();
}

std::string renderJson(const CheckReport &r) {
    nlohmann::ordered_json j;
    j["medium"] = utf8(r.medium);
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
    j["findings"] = nlohmann::ordered_json::array();
    for (const Finding &f : r.findings) {
        nlohmann::ordered_json fj;
        fj["severity"] = f.severity == Severity::Error ? "error" : "warning";
        fj["code"] = f.code;
        fj["path"] = utf8(f.path);
        fj["message"] = utf8(f.message);
        j["findings"].push_back(fj);
    }
    // Names from the medium may be in any encoding: never throw on them.
    return j.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

} // namespace mediacheck
