// "upgsim demo": the simulator's main job. Builds a sample map medium and SD
// card in a temporary folder (or --keep DIR), runs the bundled map-upgrade
// script on them with the steps, the countries and live progress bars on the
// terminal, and ends with a summary and the path of the module's full log.
// Needs no argument and no network.
#include "tools/upgsim/upgsim.h"

#include "tools/scripthost/demo.h"

#include <CLI/CLI.hpp>

#include <cstdio>

namespace {

struct DemoCommandOptions {
    std::string keep;
    std::string script;
    int mapMb = 48;
};
DemoCommandOptions s_options;

void defineDemo(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option("--keep", s_options.keep, "build the unit in DIR and keep it")
        ->type_name("DIR");
    sub.add_option("--script", s_options.script, "run script FILE instead of the bundled one")
        ->type_name("FILE");
    sub.add_option("--map-mb", s_options.mapMb, "MB of map data per country (default 48)")
        ->type_name("N")
        ->check(CLI::Range(1, 1024));
}

int runDemoCommand(const upgsim::GlobalOptions &opts, CLI::App &) {
    scripthost::demo::DemoOptions options;
    options.workDir = s_options.keep;
    options.scriptPath = s_options.script;
    options.sample.mapBytes = static_cast<unsigned long>(s_options.mapMb) << 20;
    if (!opts.media.empty() || !opts.sd.empty())
        std::fprintf(stderr, "upgsim: demo: builds its own medium and card; --media and --sd "
                             "are not used (upgsim --media DIR --sd DIR run SCRIPT uses them)\n");

    options.tickHz = opts.effectiveTickHz();
    options.sdBlockSize = opts.sdBlockSize;
    options.progress = opts.progressOnTerminal();
    options.logPath = opts.log;
    scripthost::demo::DemoReport report = scripthost::demo::runDemo(options);
    return report.exitCode;
}

const upgsim::Registrar k_demo_command({
    "demo",
    "the main job: a map upgrade on a sample unit",
    defineDemo,
    runDemoCommand,
});

} // namespace
