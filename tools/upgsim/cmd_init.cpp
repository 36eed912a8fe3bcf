// "upgsim init": starts a medium project. Writes every text file of a
// country-selection medium (or, with --cd, a single-country one) for the
// countries given, with the values only `upgsim pack` can know left as a
// placeholder, and beside the medium an empty source folder per country (and
// per POI country) for the engineer to fill. `check` then says what is left
// to do until every country is packed.
#include "tools/upgsim/upgsim.h"

#include "tools/mediacheck/skeleton.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <set>

namespace fs = std::filesystem;

namespace {

struct InitOptions {
    std::string dir;
    std::string countries;
    std::string pois;
    std::string names;
    bool cd = false;
    int year = 0;
    int quarter = 0;
};
InitOptions s_initOptions;

// The country codes of a comma-separated list, in its order, each once.
// Empty `error` when every item is a country code.
std::vector<std::string> parseCids(const std::string &text, const char *option,
                                   std::string &error) {
    std::vector<std::string> cids;
    std::set<std::string> seen;
    size_t start = 0;
    while (error.empty()) {
        const size_t comma = text.find(',', start);
        const std::string cid = text.substr(start, comma - start);
        const std::string problem = upgsim::checkCid(cid);
        if (!problem.empty())
            error = std::string(option) + ": " + problem;
        else if (!seen.insert(cid).second)
            error = std::string(option) + ": " + cid + " is given twice";
        else
            cids.push_back(cid);
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return cids;
}

// Reads "CID=NAME,..." into `names`; empty when valid, else why not. A name
// is what the unit shows: printable ASCII without the comma and the double
// quote that would end its field of CURR_VERS_NAVI.TXT, at most 63
// characters (the script's table keeps no more).
std::string parseNames(const std::string &text, const std::set<std::string> &cids,
                       std::map<std::string, std::string> &names) {
    size_t start = 0;
    while (!text.empty()) {
        const size_t comma = text.find(',', start);
        const std::string item = text.substr(start, comma - start);
        const size_t eq = item.find('=');
        if (eq == std::string::npos)
            return "--names: '" + item + "' is not CID=NAME";
        const std::string cid = item.substr(0, eq), name = item.substr(eq + 1);
        if (cids.count(cid) == 0)
            return "--names: " + cid + " is not one of --countries";
        if (name.empty() || name.size() > 63)
            return "--names: the name of " + cid + " must have 1 to 63 characters";
        for (unsigned char c : name)
            if (c < 0x20 || c >= 0x7F || c == '"')
                return "--names: the name of " + cid +
                       " may hold printable ASCII characters but the double quote";
        names[cid] = name;
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return std::string();
}

// This quarter's year and number (UTC) for the values not given.
void defaultDate(int &year, int &quarter) {
    const std::time_t now = std::time(nullptr);
    struct tm t;
    gmtime_r(&now, &t);
    if (year == 0)
        year = t.tm_year + 1900;
    if (quarter == 0)
        quarter = t.tm_mon / 3 + 1;
}

// The files of the skeleton: path relative to the project folder -> text.
using Files = std::map<std::string, std::string>;

Files skeletonFiles(const std::vector<std::string> &cids, const std::vector<std::string> &pois,
                    const std::map<std::string, std::string> &names) {
    using namespace mediacheck;
    const std::string m = std::string(k_project_medium) + "/";
    const std::string fill = k_placeholder;
    const std::string year = std::to_string(s_initOptions.year);
    const std::string quarter = std::to_string(s_initOptions.quarter);
    Files files;
    std::string descri;
    if (s_initOptions.cd) {
        // A CD: the version file lies in its one country's folder.
        descri = "DB_DOWNLOAD_NAV,1,MAPPE/" + cids.front() + "/CD_VER.NAV,0,single country\n";
        files[m + "MAPPE/" + cids.front() + "/CD_VER.NAV"] =
            "VERSION:" + year + "." + quarter + "\n";
    } else {
        descri = "DB_DOWNLOAD_NAV,1,MAPPE/DVD_VER.NAV,0,list of countries\n"
                 "GRUPPO_ROOT_CURR,1,MAPPE/CURR_VERS_NAVI.TXT,0,current versions\n";
        files[m + "MAPPE/DVD_VER.NAV"] = "VERSION:" + year + "." + quarter + "\n";
        std::string current;
        for (const std::string &cid : cids) {
            auto name = names.find(cid);
            current += "CID:" + cid + ",EU," + cid + "," + quarter + "," + year + ",\"" + year +
                       "-Q" + quarter + "\",\"" + (name != names.end() ? name->second : cid) +
                       "\",\"\"\n";
        }
        files[m + "MAPPE/CURR_VERS_NAVI.TXT"] = current;
    }
    if (!pois.empty()) {
        descri += std::string(k_poi_key) + ",1," + k_poi_archive + ",0,POI delivery\n";
        files[m + k_poi_archive + ".inf"] = "VERSION:" + fill + "\n";
    }
    files[m + "DESCRI.DAT"] = descri;
    for (const std::string &cid : cids) {
        const std::string folder = m + "MAPPE/" + cid + "/";
        files[folder + "DESCRI.DAT"] = "CID_INFO,1,MAPPE/" + cid + "/CD_VER.NAV.INF,0,country\n" +
                                       "GRUPPO_4_CID,1,MAPPE/" + cid +
                                       "/GRUPPO_4_CID.DAT.inf,0,group\n" + "MAP_ARCHIVE,1,MAPPE/" +
                                       cid + "/" + cid + ".tgz,0,map data\n";
        // No sizes yet: the unit refuses a country without them, so a
        // skeleton burned by mistake offers nothing.
        files[folder + "CD_VER.NAV.INF"] =
            "CID:" + cid + "\nVERSION:" + fill + "\nRELEASE:" + fill + "\n";
        files[folder + "GRUPPO_4_CID.DAT.inf"] = "VER:" + cid + "\n";
    }
    return files;
}

// Empty when `dir` may be the project folder (missing with an existing
// parent, or an empty folder), else why not.
std::string usableProjectFolder(const std::string &dir) {
    std::error_code ec;
    const fs::file_status st = fs::status(dir, ec);
    if (st.type() == fs::file_type::not_found) {
        // A host folder, never a unit device's: init does not mount one.
        fs::path parent = fs::path(dir).lexically_normal();
        if (parent.filename().empty())
            parent = parent.parent_path();
        parent = parent.parent_path();
        if (!fs::is_directory(parent.empty() ? fs::path(".") : parent, ec))
            return dir + ": its parent folder " + parent.generic_string() + " does not exist";
        return std::string();
    }
    if (st.type() != fs::file_type::directory)
        return dir + ": not a folder";
    if (!fs::is_empty(dir, ec))
        return dir + ": not empty (init writes a new medium only into an empty or new folder)";
    if (ec)
        return dir + ": " + ec.message();
    return std::string();
}

void defineInit(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("DIR", s_initOptions.dir, "the project folder to make (new or empty)")
        ->type_name("DIR")
        ->required()
        ->check(upgsim::nonEmpty());
    sub.add_option("--countries", s_initOptions.countries, "the medium's country codes")
        ->type_name("CID,...")
        ->required();
    sub.add_flag("--cd", s_initOptions.cd, "a single-country medium (one CID)");
    sub.add_option("--poi", s_initOptions.pois, "countries of a POI delivery")->type_name("CID,...");
    sub.add_option("--names", s_initOptions.names, "the countries' names (default: the CID)")
        ->type_name("CID=NAME,...");
    sub.add_option("--year", s_initOptions.year, "the maps' year (default: this year)")
        ->type_name("YYYY")
        ->check(CLI::Range(1, 9999).description(""));
    sub.add_option("--quarter", s_initOptions.quarter, "the maps' quarter (default: this one)")
        ->type_name("1-4")
        ->check(CLI::Range(1, 4).description(""));
    upgsim::addJsonFlag(sub);
    sub.footer(std::string("Writes DIR/medium/ (the medium to burn: descriptors, version files,\n"
                           "each country's folder) and beside it DIR/maps/CID/ per country\n"
                           "(and DIR/poi/tmp_poi/CID/ per --poi country) for the data that\n"
                           "upgsim pack puts on the medium. check lists what is left to do.\n") +
               sub.get_footer());
}

int runInit(const upgsim::GlobalOptions &, CLI::App &) {
    std::string error;
    const std::vector<std::string> cids = parseCids(s_initOptions.countries, "--countries", error);
    std::vector<std::string> pois;
    if (error.empty() && !s_initOptions.pois.empty())
        pois = parseCids(s_initOptions.pois, "--poi", error);
    if (!error.empty())
        return upgsim::usageError("init: " + error);
    if (s_initOptions.cd && cids.size() != 1)
        return upgsim::usageError("init: --cd: a single-country medium has one country, not " +
                                  std::to_string(cids.size()));
    std::map<std::string, std::string> names;
    const std::string namesProblem =
        parseNames(s_initOptions.names, std::set<std::string>(cids.begin(), cids.end()), names);
    if (!namesProblem.empty())
        return upgsim::usageError("init: " + namesProblem);
    const std::string unusable = usableProjectFolder(s_initOptions.dir);
    if (!unusable.empty())
        return upgsim::failure("init: " + unusable);
    defaultDate(s_initOptions.year, s_initOptions.quarter);

    std::vector<std::string> folders;
    for (const std::string &cid : cids)
        folders.push_back(std::string(mediacheck::k_project_maps) + "/" + cid);
    for (const std::string &cid : pois)
        folders.push_back(std::string(mediacheck::k_project_poi) + "/" + cid);
    const Files files = skeletonFiles(cids, pois, names);
    std::string dir = s_initOptions.dir;
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    const std::string root = dir == "/" ? dir : dir + "/";
    std::error_code ec;
    for (const std::string &folder : folders)
        if (!fs::create_directories(root + folder, ec) && ec)
            return upgsim::failure("init: " + root + folder + ": " + ec.message());
    for (const auto &file : files) {
        const std::string path = root + file.first;
        fs::create_directories(fs::path(path).parent_path(), ec);
        const std::string problem = upgsim::writeFileReplacing(path, file.second);
        if (!problem.empty())
            return upgsim::failure("init: " + problem);
    }

    const std::string medium = root + mediacheck::k_project_medium;
    std::vector<std::string> steps;
    for (const std::string &cid : cids)
        steps.push_back("put the map data of " + cid + " in " + root + mediacheck::k_project_maps +
                        "/" + cid + ", then: upgsim pack --country " + cid +
                        " --version N --release N " + root + mediacheck::k_project_maps + "/" +
                        cid + " " + medium);
    if (!pois.empty())
        steps.push_back("put the POI files in " + root + mediacheck::k_project_poi +
                        "/CID/, then: upgsim pack --poi " + root + mediacheck::k_project_poi + " " +
                        medium + " --poi-version VERSION");
    steps.push_back("upgsim --media " + medium + " check");
    if (upgsim::jsonOutput()) {
        upgsim::Json written = upgsim::Json::array();
        for (const auto &file : files)
            written.push_back(upgsim::jsonText(root + file.first));
        upgsim::Json sources = upgsim::Json::array();
        for (const std::string &folder : folders)
            sources.push_back(upgsim::jsonText(root + folder));
        upgsim::Json next = upgsim::Json::array();
        for (const std::string &step : steps)
            next.push_back(upgsim::jsonText(step));
        upgsim::printJson({{"medium", upgsim::jsonText(medium)},
                           {"type", s_initOptions.cd ? "single country" : "country selection"},
                           {"year", s_initOptions.year},
                           {"quarter", s_initOptions.quarter},
                           {"files", written},
                           {"sources", sources},
                           {"next", next}});
        return upgsim::EXIT_OK;
    }
    std::printf("wrote the medium %s/ (%s, %d Q%d) and the source folders:\n", medium.c_str(),
                s_initOptions.cd ? "single country" : "country selection", s_initOptions.year,
                s_initOptions.quarter);
    for (const std::string &folder : folders)
        std::printf("  %s%s/\n", root.c_str(), folder.c_str());
    std::printf("burn %s/ only; next:\n", medium.c_str());
    for (const std::string &step : steps)
        std::fputs(upgsim::wrapText("  - ", step, 4).c_str(), stdout);
    return upgsim::EXIT_OK;
}

const upgsim::Registrar k_init_command({
    "init",
    "start a medium: its files, a source folder per country",
    defineInit,
    runInit,
});

} // namespace

namespace upgsim {

std::string checkCid(const std::string &cid) {
    if (cid.size() != 3)
        return "'" + cid + "' is no country code (three letters or digits, A-Z 0-9)";
    for (char c : cid)
        if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')))
            return "'" + cid + "' is no country code (three letters or digits, A-Z 0-9)";
    return std::string();
}

} // namespace upgsim
