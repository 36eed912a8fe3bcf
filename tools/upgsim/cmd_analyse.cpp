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
#include "tools/hostkit/names.h"
#include "tools/mediacheck/mediacheck.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
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
const int k_max_name_length = 16; // the descriptor name's local buffer

// What the analysis found.
struct Analysis {
    int upgradeType = -1;
    std::string noUpgradeReason; // why the type is -1
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
        upgsim::failure(std::string("builtin '") + name + "' is not registered");
        return false;
    }
    result = value.ival;
    return true;
}

std::string text(const CKWString &s) {
    return std::string(s.GetBuffer());
}

// A country name that is no valid UTF-8 (U+FFFD in "country_name") keeps
// its bytes, escaped, in "country_name_raw".
void noteRawName(upgsim::Json &country, const std::string &name) {
    if (!hostkit::isUtf8(name))
        country["country_name_raw"] = hostkit::escapedBytes(name);
}

// The report as one JSON object: the module's full records, texts as
// upgsim::jsonText keeps them (any byte string stays valid JSON).
void printJson(const Analysis &a) {
    using upgsim::Json;
    using upgsim::jsonText;
    Json countries = Json::array();
    for (const auto &c : a.countries) {
        countries.push_back({{"cid", jsonText(text(c.cid))},
                             {"country_name", jsonText(text(c.country_name))},
                             {"quarter", jsonText(text(c.quarter))},
                             {"year", jsonText(text(c.year))},
                             {"new_version", jsonText(text(c.new_version))},
                             {"new_release", jsonText(text(c.new_release))},
                             {"new_size", c.new_size},
                             {"old_version", jsonText(text(c.old_version))},
                             {"old_release", jsonText(text(c.old_release))},
                             {"old_size", c.old_size},
                             {"offered", true}});
        noteRawName(countries.back(), text(c.country_name));
    }
    for (const auto &c : a.leftOut) {
        countries.push_back({{"cid", jsonText(c.cid)},
                             {"country_name", jsonText(c.name)},
                             {"offered", false},
                             {"reason", jsonText(c.reason)}});
        noteRawName(countries.back(), c.name);
    }
    upgsim::printJson(
        {{"upgrade_type", a.upgradeType},
         {"reason", a.upgradeType == -1 ? Json(jsonText(a.noUpgradeReason)) : Json()},
         {"version_file", jsonText(a.versionFile)},
         {"curr_vers_navi_folder", a.haveCurrVers ? Json(jsonText(a.currVersFolder)) : Json()},
         {"curr_vers_navi_file", a.haveCurrVers ? Json(jsonText(a.currVersFile)) : Json()},
         {"cid_list_result", a.ranCidList ? Json(a.cidListResult) : Json()},
         {"countries", countries}});
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
    for (const auto &size :
         {std::make_pair("new_size", c.new_size), std::make_pair("old_size", c.old_size)})
        if (size.second > UINT32_MAX)
            lines.push_back(std::string(size.first) + " " +
                            std::to_string(static_cast<uint32_t>(size.second)) +
                            " (cut to 32 bits)");
    return lines;
}

void printText(const Analysis &a) {
    std::printf("Upgrade type:            %d (%s)\n", a.upgradeType,
                mediacheck::upgradeTypeName(a.upgradeType));
    if (a.upgradeType == -1)
        std::fputs(upgsim::wrapText("Why none:                ", a.noUpgradeReason, 25).c_str(),
                   stdout);
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
    std::printf("Country list:            result %d, %zu countr%s offered\n", a.cidListResult,
                a.countries.size(), a.countries.size() == 1 ? "y" : "ies");
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
        std::fputs(upgsim::wrapText("  " + c.cid + "  left out: ", c.reason, 6).c_str(), stdout);
}

// Refuses the medium for the findings of sizes beyond the analysis' limits:
// one line that names the first file, its limit and where it is explained,
// and the other files beyond theirs.
int refuseTooLarge(const std::vector<mediacheck::Finding> &findings) {
    const mediacheck::Finding &f = findings.front();
    const char *section = mediacheck::docSection(f.code);
    std::string others;
    const size_t named = std::min<size_t>(findings.size(), 4);
    for (size_t i = 1; i < named; ++i)
        others += (others.empty() ? "; also beyond their limits: " : ", ") + findings[i].path;
    if (findings.size() > named)
        others += " and " + std::to_string(findings.size() - named) + " more";
    return upgsim::failure("analyse: refused: " + f.path + ": " + f.message + " (" + f.code +
                           (section != nullptr ? std::string("; medium.md: ") + section : "") +
                           ")" + others);
}

struct AnalyseOptions {
    std::string descriptor = "DESCRI.DAT";
};
AnalyseOptions s_analyseOptions;

void defineAnalyse(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("--descriptor", s_analyseOptions.descriptor, "main descriptor (default DESCRI.DAT)")
        ->type_name("NAME")
        ->check(CLI::Validator(
            [](std::string &name) {
                return name.size() > static_cast<size_t>(k_max_name_length)
                           ? std::string("at most 16 characters")
                           : std::string();
            },
            "", "name length"));
    upgsim::addJsonFlag(sub);
}

int runAnalyse(const upgsim::GlobalOptions &opts, CLI::App &) {
    // Both devices are analysed: without either there is nothing to compare.
    if (opts.media.empty() || opts.sd.empty())
        return upgsim::usageError(std::string("analyse needs ") +
                                  (opts.media.empty() ? "--media DIR" : "--sd DIR") +
                                  " (the medium and the SD card to compare)");
    const std::string &descriptor = s_analyseOptions.descriptor;
    const bool json = upgsim::jsonOutput();

    if (C_BUILTINS::Instance() == nullptr || C_BUILTINS::GetCartoTreeInstance() == nullptr)
        return upgsim::failure("the module has no carto tree");

    Analysis a;
    int result = 0;
    char mediaDrive[] = "/DVD";
    char productDrive[] = "/SDH";
    int mediaLength = 4;
    if (!call("UpdateDataForCartoTree",
              {EicArg::Ptr(mediaDrive), EicArg::Ptr(productDrive), EicArg::Ptr(&mediaLength)},
              result))
        return upgsim::EXIT_FAILURE_REPORTED;
    if (result != 0)
        return upgsim::failure("UpdateDataForCartoTree failed");

    // Sizes the module's analysis takes hours for are refused before it runs.
    const mediacheck::MediumLimits limits;
    std::vector<mediacheck::Finding> tooLarge;
    if (!mediacheck::mainDescriptorWithinLimits(descriptor, limits, tooLarge))
        return refuseTooLarge(tooLarge);

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
    if (result != 0)
        return upgsim::failure("GetNavUpgType failed");
    a.upgradeType = type;
    a.versionFile = std::string(versionFile, strnlen(versionFile, sizeof versionFile));
    if (type == -1) {
        // A medium whose main descriptor does not open cannot be analysed:
        // say why and fail. Any other "no upgrade" is the analysis' answer,
        // with the module's reason.
        const std::string unitPath = "/DVD/" + descriptor;
        const std::string hostPath = hostsim::resolvePath(unitPath);
        FILE *probe = std::fopen(hostPath.c_str(), "r");
        if (probe == nullptr)
            return upgsim::failure("analyse: " + unitPath + ": " + std::strerror(errno) +
                                   " (the main descriptor)");
        std::fclose(probe);
        a.noUpgradeReason = mediacheck::decideCountries(descriptor).typeReason;
    }

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
        const CKWString &currVers =
            C_BUILTINS::GetCartoTreeInstance()->GetMapPlgin_DVD_CurrVersNavi();
        if (!mediacheck::countriesWithinLimits(text(currVers), limits, tooLarge))
            return refuseTooLarge(tooLarge);
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

const upgsim::Command k_analyse = {"analyse", "what the module sees on --media against --sd",
                                   defineAnalyse, runAnalyse};

static upgsim::Registrar s_register_analyse(k_analyse);

} // namespace
