// A medium project as `upgsim init` lays it out, and what `check` says is
// left to do on it. The project folder holds the medium to burn and, beside
// it, the sources `upgsim pack` reads:
//
//   PROJECT/medium/            the medium: exactly what goes on the disc
//   PROJECT/maps/<CID>/        each country's map data, packed into
//                              medium/MAPPE/<CID>/<CID>.tgz
//   PROJECT/poi/tmp_poi/<CID>/ the POI delivery's files, packed into the
//                              archive the main descriptor names
//
// A value that pack fills in is written as k_placeholder. Host tool code.
#ifndef TOOLS_MEDIACHECK_SKELETON_H
#define TOOLS_MEDIACHECK_SKELETON_H

#include "tools/mediacheck/mediacheck.h"

#include <string>
#include <vector>

namespace mediacheck {

// The value of a key that is still to be filled in (upgsim pack writes it).
constexpr char k_placeholder[] = "FILL_IN";
// The folders of a project, relative to the project folder.
constexpr char k_project_medium[] = "medium";
constexpr char k_project_maps[] = "maps";
constexpr char k_project_poi[] = "poi/tmp_poi";
// The POI delivery's archive on the medium when the main descriptor names
// none, and the key that names it.
constexpr char k_poi_archive[] = "POI/POI_UPD.tgz";
constexpr char k_poi_key[] = "POI_DOWNLOAD";

// The folder beside the medium `mediaDir` that holds the project's `sub`
// folder ("maps/ESP" -> "proj/maps/ESP" for "proj/medium"), as a path the
// user can type from where `mediaDir` was given.
std::string besideMedium(const std::string &mediaDir, const std::string &sub);

// When the medium `mediaDir` is a project's medium that is not finished (a
// country or POI delivery still holding k_placeholder, or whose archive is
// missing while its sources lie beside the medium), adds one error per
// country and per POI delivery saying what is left to do, and removes the
// findings that only follow from it (the missing archive, the country the
// unit refuses for want of sizes, nothing offered). Nothing for any other
// medium. Any thread that owns `findings`.
void reportSkeleton(const std::string &mediaDir, std::vector<Finding> &findings);

// True when reportSkeleton would name something left to do on `mediaDir`:
// the upgrade script is not run on such a medium (its failures would only
// repeat the to-dos).
bool unfinishedProject(const std::string &mediaDir);

} // namespace mediacheck

#endif
