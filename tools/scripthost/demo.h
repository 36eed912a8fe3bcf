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
    std::string logPath;   // empty: <work>/upgsim-demo.log
    // Seconds the child (the sample's build and the script) may take; 0: no
    // limit; -1: defaultTimeoutSeconds().
    int timeoutSeconds = -1;
    SampleOptions sample;
    // Where the demo's text and the script's lines go; the module's
    // extraction listing goes to <work>/extracted.txt instead.
    FILE *out = stdout;
};

// Tick rate of the demo when none is given: the module's 500-tick pauses and
// bargraph steps pass in a twelfth of a second.
constexpr int k_demo_tick_hz = 6000;
// SD block size of the demo's card when none is given.
constexpr long k_demo_sd_block_size = 32768;

// The demo's summary: what the SD card holds after the script ran and what
// the script reported.
struct DemoSummary {
    bool scriptRan = false; // the script ran and ended with scriptStatus
    int scriptStatus = -1;
    double seconds = 0;
    unsigned long ticks = 0;
    int tickHz = 0;
    std::string ending; // how it ended when it did not run to its end
    struct Map {
        std::string cid, name;
        std::string before, medium, now; // "VERSION.RELEASE", "-" for none
        enum class State { Installed, Kept, NotInstalled } state = State::NotInstalled;
        unsigned long files = 0;      // in /SDH/MAPPE/<CID>/, when installed
        unsigned long long bytes = 0; // their size
    };
    std::vector<Map> maps; // every country of the sample, medium order
    struct StagedPois {
        std::string folder; // "/SDH/MAPPE/POI_USER/TEMP_<CID>"
        unsigned long files = 0;
        std::string rstDate, fuelDate; // the groups' DATE
    };
    std::vector<StagedPois> pois;
    std::string poiVersion;           // VERSION of /SDH/TEMP_POI_VER.POI; empty: none
    std::vector<std::string> history; // the script's history comments
    std::string sdCard;               // host folder of the card
    bool kept = false;                // the demo's folder is kept
    unsigned long extracted = 0;      // files the extractor listed
    std::string listingPath;          // their list, when kept
    std::string logPath;              // the module's log
};

// What the demo did, for the caller's checks.
struct DemoReport {
    // The script's status, or as "upgsim run" reports how it ended (125 the
    // unit could not be built, 126 not compiled, 127 no such script, 128+N
    // ended by signal N, also when the demo itself was interrupted); 2 the
    // work folder given is not empty.
    int exitCode = 1;
    int scriptStatus = -1;
    std::string workDir; // the folder used (removed unless kept)
    std::string logPath;
    bool summarized = false; // the demo got as far as its summary
    DemoSummary summary;
};

// Checks the script, then in a child process builds the sample unit, mounts
// it ("/DVD", "/SDH", "/F"), starts the module and runs the script; prints
// the summary from the SD card's state once the child has ended, and removes
// a temporary work folder (also on SIGINT or SIGTERM). The caller has reset
// the simulated unit (hostsim::resetAll, unit::installAll) and runs no task:
// main thread of a process without other threads.
DemoReport runDemo(const DemoOptions &options);

} // namespace demo
} // namespace scripthost

#endif
