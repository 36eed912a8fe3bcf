// What a card claims and whether the files behind each claim back it.
#include "tools/sweep/sweep.h"

#include "tools/hostkit/names.h"

#include "GATEWAYS/Map_upgrade_plugin/src/C_MAP_UPG_CARTOTREE.h"
#include "poi_upgrade/C_POI_UPG.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <memory>

namespace fs = std::filesystem;

namespace sweep {

namespace {

const char k_poi_version_file[] = "POI_VER.POI";
const char k_staged_poi_version_file[] = "TEMP_POI_VER.POI";
const char k_country_version_file[] = "CD_VER.NAV.INF";
const char k_maps[] = "MAPPE/";
const char k_poi_user[] = "MAPPE/POI_USER/";
const char k_staging_prefix[] = "TEMP_";

bool startsWith(const std::string &text, const std::string &prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Under the user's POI folder: the first folder's name ("FRA", "TEMP_FRA").
std::string poiFolderOf(const std::string &path) {
    std::string rest = path.substr(sizeof k_poi_user - 1);
    return rest.substr(0, rest.find('/'));
}

std::string text(const CKWString &s) {
    const char *b = s.GetBuffer();
    return b != nullptr ? b : "";
}

} // namespace

std::vector<Claim> readClaims(const std::string &hostDir) {
    std::vector<Claim> claims;
    // The carto tree's reader, as the analysis reads an installed country:
    // the first "VERSION" and "RELEASE" lines, each value ending at a space.
    C_MAP_UPG_CARTOTREE tree(0);
    std::vector<std::string> countries;
    std::error_code ec;
    for (fs::directory_iterator it(hostDir + "/" + k_maps, ec), end; !ec && it != end;
         it.increment(ec))
        if (it->is_directory(ec) && !it->is_symlink(ec))
            countries.push_back(it->path().filename().string());
    std::sort(countries.begin(), countries.end());
    for (const std::string &cid : countries) {
        const std::string file = hostDir + "/" + k_maps + cid + "/" + k_country_version_file;
        if (!fs::is_regular_file(file, ec))
            continue;
        CKWString version, release;
        // An empty value reads as none, as the analysis's comparison does.
        const bool hasVersion =
            tree.GetValueInFile(CKWString(file.c_str()), CKWString("VERSION"), version) == 0 &&
            !text(version).empty();
        const bool hasRelease =
            tree.GetValueInFile(CKWString(file.c_str()), CKWString("RELEASE"), release) == 0 &&
            !text(release).empty();
        if (!hasVersion && !hasRelease)
            continue; // the analysis sees no installed country
        Claim c;
        c.kind = Claim::Country;
        c.subject = cid;
        c.version = (hasVersion ? text(version) : "?") + "." + (hasRelease ? text(release) : "?");
        claims.push_back(c);
    }
    // The POI merge's reader: the last "VERSION" line, spaces kept.
    C_POI_UPG poi(CKWString(""), nullptr);
    const std::pair<Claim::Kind, const char *> poiFiles[] = {
        {Claim::Poi, k_poi_version_file}, {Claim::StagedPoi, k_staged_poi_version_file}};
    for (const auto &f : poiFiles) {
        CKWString version;
        const std::string file = hostDir + "/" + f.second;
        if (!fs::is_regular_file(file, ec) ||
            poi.GetValueInFile(CKWString(file.c_str()), CKWString("VERSION"), version) != 0)
            continue;
        Claim c;
        c.kind = f.first;
        c.subject = f.first == Claim::Poi ? "POI" : "staged POI";
        c.version = text(version);
        claims.push_back(c);
    }
    return claims;
}

std::string claimText(const Claim &claim) {
    return hostkit::printable(claim.subject) + " " + hostkit::printable(claim.version);
}

bool behindClaim(Claim::Kind kind, const std::string &subject, const std::string &path) {
    switch (kind) {
    case Claim::Country: {
        const std::string folder = k_maps + subject;
        return path == folder || startsWith(path, folder + "/");
    }
    case Claim::Poi:
        return path == k_poi_version_file ||
               (startsWith(path, k_poi_user) && !startsWith(poiFolderOf(path), k_staging_prefix));
    case Claim::StagedPoi:
        return path == k_staged_poi_version_file ||
               (startsWith(path, k_poi_user) && startsWith(poiFolderOf(path), k_staging_prefix));
    }
    return false;
}

std::vector<ClaimCheck> checkClaims(const std::vector<Claim> &claims, const CardImage &image,
                                    const std::vector<Claim> &beforeClaims, const CardImage &before,
                                    const std::vector<Claim> &cleanClaims, const CardImage &clean) {
    auto has = [](const std::vector<Claim> &list, const Claim &c) {
        return std::find(list.begin(), list.end(), c) != list.end();
    };
    auto hasSubject = [](const std::vector<Claim> &list, const Claim &c) {
        return std::any_of(list.begin(), list.end(), [&](const Claim &o) {
            return o.kind == c.kind && o.subject == c.subject;
        });
    };
    std::vector<ClaimCheck> out;
    for (const Claim &c : claims) {
        ClaimCheck check;
        check.claim = c;
        auto keep = [&](const std::string &path) { return behindClaim(c.kind, c.subject, path); };
        const bool asClean = has(cleanClaims, c);
        const bool asBefore = has(beforeClaims, c);
        if (asClean) {
            check.reference = "clean";
            check.mismatches = compareImages(image, clean, keep);
            check.holds = check.mismatches.empty();
        }
        if (!check.holds && asBefore) {
            std::vector<Mismatch> m = compareImages(image, before, keep);
            if (m.empty() || !asClean) {
                check.reference = "before";
                check.mismatches = m;
                check.holds = m.empty();
            }
        }
        if (!asClean && !asBefore) {
            // A version neither card claimed: shown against the card that
            // knows the subject, the clean one first.
            const bool clean_ = hasSubject(cleanClaims, c) || !hasSubject(beforeClaims, c);
            check.reference = clean_ ? "clean" : "before";
            check.mismatches = compareImages(image, clean_ ? clean : before, keep);
        }
        out.push_back(check);
    }
    return out;
}

} // namespace sweep
