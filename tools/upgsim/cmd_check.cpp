// upgsim check: checks a medium before it is burned (descriptors, countries
// per SD block size with the module's reasons, every archive against the
// module's extractor, the POI delivery, the room on the card) and prints the
// report as text or JSON. Exit 0 without error, 1 with any, 2 on usage.
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"
#include "tools/mediacheck/mediacheck.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

// The module's pauses (the extractor's wait for its writer) pass quickly.
const int k_check_tick_hz = 6000;

// "1000", "64K", "512M", "32G" (K, M, G, T: powers of 1024) -> bytes.
bool parseSize(const std::string &text, long long &bytes) {
    if (text.empty())
        return false;
    size_t digits = 0;
    while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9')
        ++digits;
    if (digits == 0 || digits > 15)
        return false;
    long long value = std::stoll(text.substr(0, digits));
    std::string unit = text.substr(digits);
    if (unit.size() == 2 && (unit[1] == 'B' || unit[1] == 'b'))
        unit.pop_back();
    int shift = 0;
    if (unit.empty())
        shift = 0;
    else if (unit == "K" || unit == "k")
        shift = 10;
    else if (unit == "M" || unit == "m")
        shift = 20;
    else if (unit == "G" || unit == "g")
        shift = 30;
    else if (unit == "T" || unit == "t")
        shift = 40;
    else
        return false;
    bytes = value << shift;
    return true;
}

// "512,4096" -> {512, 4096}.
bool parseList(const std::string &text, std::vector<long> &sizes) {
    sizes.clear();
    size_t i = 0;
    while (i <= text.size()) {
        size_t j = text.find(',', i);
        if (j == std::string::npos)
            j = text.size();
        long value = 0;
        if (!upgsim::parseInt(text.substr(i, j - i), value) || value <= 0 || value > (1L << 30))
            return false;
        sizes.push_back(value);
        i = j + 1;
    }
    return !sizes.empty();
}

// A one-line bar on standard error: "[#####.....]  42%  MAPPE/FRA/FRA.tgz".
struct ProgressBar {
    int shown = -1;
    void draw(const std::string &archive, uint64_t done, uint64_t total) {
        int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
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

int runCheck(const upgsim::GlobalOptions &opts, std::vector<std::string> &args) {
    if (opts.media.empty())
        return upgsim::usageError("check needs --media DIR");
    bool bad = false;
    std::string list;
    std::string capacity;
    mediacheck::CheckOptions options;
    const bool haveList = upgsim::takeOption(args, "--block-sizes", list, &bad);
    capacity = opts.sdCapacity;
    const bool haveCapacity =
        upgsim::takeOption(args, "--sd-capacity", capacity, &bad) || !capacity.empty();
    const bool json = upgsim::takeFlag(args, "--json");
    if (bad)
        return upgsim::usageError("check: option needs a value");
    if (!args.empty())
        return upgsim::usageError("check: unexpected argument '" + args.front() + "'");
    if (haveList && !parseList(list, options.blockSizes))
        return upgsim::usageError("--block-sizes needs a list of positive numbers: 512,4096");
    if (haveCapacity && !parseSize(capacity, options.sdCapacity))
        return upgsim::usageError("--sd-capacity needs a size: 1000000, 512M, 32G");

    options.mediaDir = opts.media;
    options.sdDir = opts.sd;
    if (opts.tickHz == 0)
        hostsim::setTickRate(k_check_tick_hz);
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
        return upgsim::usageError("check: " + why.path + ": " + why.message);
    }
    std::string out = json ? mediacheck::renderJson(report) : mediacheck::renderText(report);
    std::fwrite(out.data(), 1, out.size(), stdout);
    return rc == 0 ? upgsim::EXIT_OK : upgsim::EXIT_FAILURE_REPORTED;
}

const upgsim::Registrar k_check_command({
    "check",
    "check [--block-sizes LIST] [--sd-capacity SIZE] [--json]",
    "check the medium (--media) before it is burned: descriptors, countries per SD block "
    "size and why left out, every archive against the module's extractor, POIs, space",
    runCheck,
});

} // namespace
