// The simulator's demo: a sample unit (a map-upgrade medium and an SD card
// with installed maps and user POIs) built from nothing, and the run of the
// bundled map-upgrade script on it with the steps, the countries, live
// progress bars and a summary on the terminal. Used by "upgsim demo" and by
// the tests that check the demo's end state.
#ifndef TOOLS_SCRIPTHOST_DEMO_H
#define TOOLS_SCRIPTHOST_DEMO_H

#include <cstdio>
#include <string>
#include <vector>

namespace scripthost {
namespace demo {

// One country of the sample unit.
struct SampleCountry {
    const char *cid;
    const char *name;
    int mediaVersion;
    int mediaRelease;
    int installedVersion; // -1: not installed
    int installedRelease;
    bool inPoiDelivery;
};
// The countries, medium order.
const std::vector<SampleCountry> &sampleCountries();

// POI countries delivered for which no map exists on the medium or the card
// (skipped by the merge).
const std::vector<std::string> &samplePoiOnlyCountries();

// Unit paths of the sample medium that the script and the summary use.
extern const char k_poi_archive[]; // "/DVD/POI/POI_UPD.tgz"

struct SampleOptions {
    // Bytes of map data in each country's archive (split over three files).
    unsigned long mapBytes = 48ul << 20;
};

// Builds the sample unit under `root` (an existing folder): root/media is the
// medium, root/sd the SD card, root/flash the flash. False with `error` set
// when a file cannot be written.
bool buildSampleUnit(const std::string &root, const SampleOptions &options, std::string &error);

struct DemoOptions {
    // Folder to build the unit in; empty: a temporary folder removed at the
    // end. A given folder must not exist or be empty; it is kept.
    std::string workDir;
    // The script to run; empty: the bundled map_upgrade.c, written into the
    // work folder first.
    std::string scriptPath;
    int tickHz = 0;        // 0: k_demo_tick_hz
    long sdBlockSize = 0;  // 0: k_demo_sd_block_size
    bool progress = false; // draw the bargraph on standard error
    // Pass standard output (the script's and the module's console) through a
    // filter that keeps the module's extraction listing out of `out`.
    bool filterConsole = false;
    std::string logPath; // empty: <work>/upgsim-demo.log
    SampleOptions sample;
    FILE *out = stdout; // where the demo writes its text
};

// Tick rate of the demo when none is given: the module's 500-tick pauses and
// bargraph steps pass in a twelfth of a second.
constexpr int k_demo_tick_hz = 6000;
// SD block size of the demo's card when none is given.
constexpr long k_demo_sd_block_size = 32768;

// What the demo did, for the caller's checks.
struct DemoReport {
    int exitCode = 1; // 0 when the script ran and ended with status 0
    int scriptStatus = -1;
    std::string workDir; // the folder used (removed unless kept)
    std::string logPath;
};

// Builds the sample unit, mounts it ("/DVD", "/SDH", "/F"), starts the
// module, runs the script and prints the summary. The caller has reset the
// simulated unit (hostsim::resetAll, unit::installAll). Main thread.
DemoReport runDemo(const DemoOptions &options);

} // namespace demo
} // namespace scripthost

#endif
