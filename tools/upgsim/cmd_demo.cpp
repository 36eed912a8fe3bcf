// "upgsim demo": the simulator's main job. Builds a sample map medium and SD
// card in a temporary folder (or --keep DIR), runs the bundled map-upgrade
// script on them with the steps, the countries and live progress bars on the
// terminal, and ends with a summary and the path of the module's full log.
// Needs no argument and no network.
#include "tools/upgsim/upgsim.h"

#include "tools/scripthost/demo.h"

#include <cstdio>

namespace {

int runDemoCommand(const upgsim::GlobalOptions &opts, std::vector<std::string> &args) {
    // Lines of the script reach the terminal as they are printed, also when
    // standard output is a pipe.
    std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);

    bool bad = false;
    scripthost::demo::DemoOptions options;
    std::string mapMb;
    upgsim::takeOption(args, "--keep", options.workDir, &bad);
    upgsim::takeOption(args, "--script", options.scriptPath, &bad);
    bool sized = upgsim::takeOption(args, "--map-mb", mapMb, &bad);
    if (bad)
        return upgsim::usageError("demo: option needs a value");
    for (const std::string &arg : args)
        return upgsim::usageError("demo: unexpected argument '" + arg + "'");
    if (sized) {
        long mb = 0;
        if (!upgsim::parseInt(mapMb, mb) || mb < 1 || mb > 1024)
            return upgsim::usageError("demo: --map-mb needs a number of megabytes from 1 to 1024");
        options.sample.mapBytes = static_cast<unsigned long>(mb) << 20;
    }
    if (!opts.media.empty() || !opts.sd.empty())
        std::fprintf(stderr, "upgsim: demo: builds its own medium and card; --media and --sd "
                             "are not used (upgsim run SCRIPT --media DIR --sd DIR uses them)\n");

    options.tickHz = opts.tickHz;
    options.sdBlockSize = opts.sdBlockSize;
    options.progress = opts.progressOnTerminal();
    options.filterConsole = true;
    options.logPath = opts.log;
    scripthost::demo::DemoReport report = scripthost::demo::runDemo(options);
    return report.exitCode;
}

const upgsim::Registrar k_demo_command({
    "demo",
    "demo [--keep DIR] [--script F] [--map-mb N]",
    "the main job: builds a sample medium (3 countries, POIs) and SD card, runs "
    "examples/map_upgrade.c on them with progress bars, prints a summary; --keep DIR keeps "
    "the unit, --script runs script F on it, N MB of maps per country (default 48)",
    runDemoCommand,
});

} // namespace
