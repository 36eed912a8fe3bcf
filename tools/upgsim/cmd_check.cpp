// upgsim check: checks a medium before it is burned (descriptors, countries
// per SD block size with the module's reasons, every archive against the
// module's extractor, the POI delivery, the room on the card) and prints the
// report as text or JSON. Exit 0 without error, 1 with any, 2 on usage, 3
// when the host cannot check it (too little scratch room).
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"
#include "tools/mediacheck/mediacheck.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct CheckCommandOptions {
    std::vector<long> blockSizes;
};
CheckCommandOptions s_options;

// A one-line bar on standard error: "[#####.....]  42%  MAPPE/FRA/FRA.tgz".
struct ProgressBar {
    int shown = -1;
    void draw(const std::string &archive, uint64_t done, uint64_t total) {
        int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
        if (percent > 100)
            percent = 100;
        if (percent == shown)
            return;
        shown = percent;
        std::string bar(static_cast<size_t>(percent / 5), '#');
        bar.resize(20, '.');
        std::fprintf(stderr, "\r[%s] %3d%%  %-50.50s", bar.c_str(), percent, archive.c_str());
        std::fflush(stderr);
    }
    void clear() {
        if (shown >= 0)
            std::fprintf(stderr, "\r\033[K");
    }
};

void defineCheck(CLI::App &sub, upgsim::GlobalOptions &) {
    sub.add_option_function<std::string>(
           "--block-sizes",
           [](const std::string &text) {
               const std::string problem = upgsim::parseBlockSizes(text, s_options.blockSizes);
               if (!problem.empty())
                   throw CLI::ValidationError("--block-sizes", problem);
           },
           "SD block sizes to check the countries at\n"
           "(default 512,4096,8192,16384,32768)")
        ->type_name("LIST");
    upgsim::addJsonFlag(sub);
}

int runCheck(const upgsim::GlobalOptions &opts, CLI::App &) {
    if (opts.media.empty())
        return upgsim::usageError("check needs --media DIR");
    mediacheck::CheckOptions options;
    if (!s_options.blockSizes.empty())
        options.blockSizes = s_options.blockSizes;
    if (opts.sdCapacity >= 0)
        options.sdCapacity = opts.sdCapacity;
    options.mediaDir = opts.media;
    options.sdDir = opts.sd;
    ProgressBar bar;
    if (opts.progressOnTerminal())
        options.progress = [&bar](const std::string &a, uint64_t done, uint64_t total) {
            bar.draw(a, done, total);
        };

    mediacheck::CheckReport report;
    int rc = mediacheck::runMediaCheck(options, report);
    bar.clear();
    if (rc == 2) {
        const mediacheck::Finding &why = report.findings.front();
        // Some refusals name no path: no empty field then.
        return upgsim::usageError("check: " + (why.path.empty() ? "" : why.path + ": ") +
                                  why.message);
    }
    // The host could not check the medium: no verdict on it.
    if (rc == 3)
        return upgsim::failure("check: " + report.hostError, upgsim::EXIT_HOST_ERROR);
    if (upgsim::jsonOutput())
        upgsim::printJsonText(mediacheck::renderJson(report));
    else
        std::fputs(mediacheck::renderText(report).c_str(), stdout);
    return rc == 0 ? upgsim::EXIT_OK : upgsim::EXIT_FAILURE_REPORTED;
}

const upgsim::Registrar k_check_command({
    "check",
    "check a medium before it is burned",
    defineCheck,
    runCheck,
});

} // namespace
