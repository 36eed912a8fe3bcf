// upgsim analyse: analyses the map-upgrade medium mounted as "/DVD" against
// the SD card mounted as "/SDH" by calling the map-analysis builtins exactly
// as an upgrade script does, then reports the upgrade type, the version files
// and the countries offered, as text or as one JSON object. The countries are
// the carto tree's full records: the text says where a script's country table
// holds less (texts cut to its fields, countries past its capacity); the JSON
// keeps the full texts.
#include "tools/upgsim/upgsim.h"

#include "builtins/C_BUILTINS.h"
#include "builtins/upg_country_table.h"
#include "platform/hostsim/hostsim.h"
#include "tools/mediacheck/mediacheck.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <CLI/CLI.hpp>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using hostsim::EicArg;

const int k_text_size = 50;       // the builtins' text buffers
const int k_max_name_length = 15; // the descriptor name's local buffer

// What the analysis found.
struct Analysis {
    int upgradeType = -1;
    std::string versionFile;
    bool haveCurrVers = false;
    std::string currVersFolder;
    std::string currVersFile;
    bool ranCidList = false;
    int cidListResult = 0;
    std::vector<C_MAP_UPG_CARTOTREE::t_plugin_cid_element> countries;
    // The medium's countries the module leaves out, with its reasons.
    std::vector<mediacheck::CountryDecision> leftOut;
};

// Calls a builtin; false (after a message) when it is not registered.
bool call(const char *name, const std::vector<EicArg> &args, int &result) {
    val_t value;
    if (!hostsim::callBuiltin(name, args, &value)) {
        std::fprintf(stderr, "upgsim: builtin '%s' is not registered\n", name);
        return false;
    }
    result = value.ival;
    return true;
}

std::string text(const CKWString &s) {
    return std::string(s.GetBuffer());
}

// Length of the valid UTF-8 sequence starting at p (0 when not valid).
size_t utf8Sequence(const unsigned char *p, size_t left) {
    size_t n = 0;
    unsigned min = 0;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (n > left)
        return 0;
    unsigned cp = p[0] & (0xFF >> (n + 1));
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

// A JSON string literal. Valid UTF-8 passes as is; any other byte above 0x7F
// is taken as a Latin-1 character, so the output is always valid JSON.
std::string jsonString(const std::string &s) {
    std::string out = "\"";
    const unsigned char *p = reinterpret_cast<const unsigned char *>(s.data());
    const size_t size = s.size();
    for (size_t i = 0; i < size;) {
        unsigned char c = p[i];
        char esc[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            size_t n = utf8Sequence(p + i, size - i);
            if (n > 0) {
                out.append(s, i, n);
                i += n;
                continue;
            }
            std::snprintf(esc, sizeof esc, "\\u%04x", c);
            out += esc;
        }
        ++i;
    }
    return out + "\"";
}

std::string jsonStringOrNull(bool present, const std::string &s) {
    return present ? jsonString(s) : std::string("null");
}

void printJson(const Analysis &a) {
    std::printf("{\n");
    std::printf("  \"upgrade_type\": %d,\n", a.upgradeType);
    std::printf("  \"version_file\": %s,\n", jsonString(a.versionFile).c_str());
    std::printf("  \"curr_vers_navi_folder\": %s,\n",
                jsonStringOrNull(a.haveCurrVers, a.currVersFolder).c_str());
    std::printf("  \"curr_vers_navi_file\": %s,\n",
                jsonStringOrNull(a.haveCurrVers, a.currVersFile).c_str());
    if (a.ranCidList)
        std::printf("  \"cid_list_result\": %d,\n", a.cidListResult);
    else
        std::printf("  \"cid_list_result\": null,\n");
    std::printf("  \"countries\": [");
    for (size_t i = 0; i < a.countries.size(); ++i) {
        const auto &c = a.countries[i];
        std::printf("%s\n    {\"cid\": %s, \"country_name\": %s, \"quarter\": %s, \"year\": %s, "
                    "\"new_version\": %s, \"new_release\": %s, \"new_size\": %" PRIu64
                    ", \"old_version\": %s, \"old_release\": %s, \"old_size\": %" PRIu64
                    ", \"offered\": true}",
                    i == 0 ? "" : ",", jsonString(text(c.cid)).c_str(),
                    jsonString(text(c.country_name)).c_str(), jsonString(text(c.quarter)).c_str(),
                    jsonString(text(c.year)).c_str(), jsonString(text(c.new_version)).c_str(),
                    jsonString(text(c.new_release)).c_str(), c.new_size,
                    jsonString(text(c.old_version)).c_str(),
                    jsonString(text(c.old_release)).c_str(), c.old_size);
    }
    for (size_t i = 0; i < a.leftOut.size(); ++i) {
        const auto &c = a.leftOut[i];
        std::printf("%s\n    {\"cid\": %s, \"country_name\": %s, \"offered\": false, "
                    "\"reason\": %s}",
                    i == 0 && a.countries.empty() ? "" : ",", jsonString(c.cid).c_str(),
                    jsonString(c.name).c_str(), jsonString(c.reason).c_str());
    }
    std::printf("%s]\n}\n", a.countries.empty() && a.leftOut.empty() ? "" : "\n  ");
}

const char *typeName(int type) {
    switch (type) {
    case 1:
        return "country selection";
    case 0:
        return "single country";
    default:
        return "no upgrade";
    }
}

// What a script's country table holds differently from the carto tree's
// record: texts cut to the table's field sizes, sizes cut to 32 bits. One
// line per difference.
std::vector<std::string> tableDifferences(const C_MAP_UPG_CARTOTREE::t_plugin_cid_element &c) {
    struct Field {
        const char *name;
        const CKWString &value;
        size_t size;
    };
    const Field fields[] = {{"cid", c.cid, UPG_CID_LEN},
                            {"country_name", c.country_name, UPG_COUNTRY_NAME_LEN},
                            {"quarter", c.quarter, UPG_QUARTER_LEN},
                            {"year", c.year, UPG_YEAR_LEN},
                            {"new_version", c.new_version, UPG_VERSION_LEN},
                            {"new_release", c.new_release, UPG_RELEASE_LEN},
                            {"old_version", c.old_version, UPG_VERSION_LEN},
                            {"old_release", c.old_release, UPG_RELEASE_LEN}};
    std::vector<std::string> lines;
    for (const Field &f : fields) {
        const std::string full = text(f.value);
        if (full.size() >= f.size)
            lines.push_back(std::string(f.name) + " \"" + full.substr(0, f.size - 1) +
                            "\" (cut to " + std::to_string(f.size - 1) + " characters)");
    }
    for (const auto &size : {std::make_pair("new_size", c.new_size),
                             std::make_pair("old_size", c.old_size)})
        if (size.second > UINT32_MAX)
            lines.push_back(std::string(size.first) + " " +
                            std::to_string(static_cast<uint32_t>(size.second)) +
                            " (cut to 32 bits)");
    return lines;
}

void printText(const Analysis &a) {
    std::printf("Upgrade type:            %d (%s)\n", a.upgradeType, typeName(a.upgradeType));
    std::printf("Version file:            %s\n",
                a.versionFile.empty() ? "(none)" : a.versionFile.c_str());
    std::printf("Current-version folder:  %s\n",
                a.haveCurrVers ? a.currVersFolder.c_str() : "(not found)");
    std::printf("Current-version file:    %s\n",
                a.haveCurrVers ? a.currVersFile.c_str() : "(not found)");
    if (!a.ranCidList) {
        std::printf("Country list:            not built (not a country-selection medium)\n");
        return;
    }
    std::printf("Country list:            result %d, %zu countries offered\n", a.cidListResult,
                a.countries.size());
    if (a.countries.size() > static_cast<size_t>(UPG_COUNTRY_MAX))
        std::printf("Script's country table:  holds %d of the %zu countries offered (the "
                    "others are marked)\n",
                    UPG_COUNTRY_MAX, a.countries.size());
    for (size_t i = 0; i < a.countries.size(); ++i) {
        const auto &c = a.countries[i];
        std::printf("  %s  %s\n", text(c.cid).c_str(), text(c.country_name).c_str());
        std::printf("      data:       quarter %s, year %s\n", text(c.quarter).c_str(),
                    text(c.year).c_str());
        std::printf("      on medium:  version %s, release %s, size %" PRIu64 "\n",
                    text(c.new_version).c_str(), text(c.new_release).c_str(), c.new_size);
        std::printf("      installed:  version %s, release %s, size %" PRIu64 "\n",
                    c.old_version.IsEmpty() ? "(none)" : text(c.old_version).c_str(),
                    c.old_release.IsEmpty() ? "(none)" : text(c.old_release).c_str(), c.old_size);
        if (i >= static_cast<size_t>(UPG_COUNTRY_MAX)) {
            std::printf("      script:     not in the script's table (it holds %d)\n",
                        UPG_COUNTRY_MAX);
            continue;
        }
        for (const std::string &line : tableDifferences(c))
            std::printf("      script:     %s\n", line.c_str());
    }
    for (const auto &c : a.leftOut)
        std::printf("  %s  left out: %s\n", c.cid.c_str(), c.reason.c_str());
}

struct AnalyseOptions {
    std::string descriptor = "DESCRI.DAT";
    bool json = false;
};
AnalyseOptions s_options;

void defineAnalyse(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("--descriptor", s_options.descriptor, "main descriptor (default DESCRI.DAT)")
        ->type_name("NAME")
        ->check(CLI::Validator(
            [](std::string &name) {
                return name.size() > static_cast<size_t>(k_max_name_length)
                           ? std::string("at most 15 characters")
                           : std::string();
            },
            "", "name length"));
    sub.add_flag("--json", s_options.json, "one JSON object instead of text");
}

int runAnalyse(const upgsim::GlobalOptions &opts, CLI::App &) {
    // Both devices are analysed: without either there is nothing to compare.
    if (opts.media.empty() || opts.sd.empty())
        return upgsim::usageError(std::string("analyse needs ") +
                                  (opts.media.empty() ? "--media DIR" : "--sd DIR") +
                                  " (the medium and the SD card to compare)");
    const std::string &descriptor = s_options.descriptor;
    const bool json = s_options.json;

    if (C_BUILTINS::Instance() == nullptr || C_BUILTINS::GetCartoTreeInstance() == nullptr) {
        std::fprintf(stderr, "upgsim: the module has no carto tree\n");
        return upgsim::EXIT_FAILURE_REPORTED;
    }

    Analysis a;
    int result = 0;
    char mediaDrive[] = "/DVD";
    char productDrive[] = "/SDH";
    int mediaLength = 4;
    if (!call("UpdateDataForCartoTree",
              {EicArg::Ptr(mediaDrive), EicArg::Ptr(productDrive), EicArg::Ptr(&mediaLength)},
              result))
        return upgsim::EXIT_FAILURE_REPORTED;
    if (result != 0) {
        std::fprintf(stderr, "upgsim: UpdateDataForCartoTree failed\n");
        return upgsim::EXIT_FAILURE_REPORTED;
    }

    std::vector<char> name(descriptor.begin(), descriptor.end());
    name.push_back('\0');
    int nameLength = static_cast<int>(descriptor.size());
    char versionFile[k_text_size] = {};
    int type = -1;
    if (!call("GetNavUpgType",
              {EicArg::Ptr(name.data()), EicArg::Ptr(&nameLength), EicArg::Ptr(versionFile),
               EicArg::Ptr(&type)},
              result))
        return upgsim::EXIT_FAILURE_REPORTED;
    if (result != 0) {
        std::fprintf(stderr, "upgsim: GetNavUpgType failed\n");
        return upgsim::EXIT_FAILURE_REPORTED;
    }
    a.upgradeType = type;
    a.versionFile = std::string(versionFile, strnlen(versionFile, sizeof versionFile));

    char folder[k_text_size] = {};
    char file[k_text_size] = {};
    if (!call("GetUpgDVD_CurrVersNaviFile", {EicArg::Ptr(folder), EicArg::Ptr(file)}, result))
        return upgsim::EXIT_FAILURE_REPORTED;
    if (result == 0) {
        a.haveCurrVers = true;
        a.currVersFolder = std::string(folder, strnlen(folder, sizeof folder));
        a.currVersFile = std::string(file, strnlen(file, sizeof file));
    }

    if (type == 1) {
        std::vector<char> table(UPG_COUNTRY_TABLE_SIZE, 0);
        if (!call("Get_DVD_CIDInfoList", {EicArg::Ptr(table.data())}, result))
            return upgsim::EXIT_FAILURE_REPORTED;
        a.ranCidList = true;
        a.cidListResult = result;
        if (result == 0) {
            // The full records (all ten fields) are the carto tree's.
            CKWArray<C_MAP_UPG_CARTOTREE::t_plugin_cid_element> list(10, 10);
            list = C_BUILTINS::GetCartoTreeInstance()->GetUpgMediaCidList();
            for (int i = 0; i < list.GetSize(); ++i) {
                C_MAP_UPG_CARTOTREE::t_plugin_cid_element element;
                if (list.GetCopy(i, element) == 1)
                    a.countries.push_back(element);
            }
        }
        // The reasons are the module's own: its analysis played again with
        // a fresh carto tree, read back from its log lines.
        for (const auto &c : mediacheck::decideCountries(descriptor).countries)
            if (c.decision != mediacheck::Decision::Offered)
                a.leftOut.push_back(c);
    }

    if (json)
        printJson(a);
    else
        printText(a);
    return upgsim::EXIT_OK;
}

const upgsim::Command k_analyse = {
    "analyse", "what the module sees on --media against --sd", defineAnalyse, runAnalyse};

static upgsim::Registrar s_register_analyse(k_analyse);

} // namespace
