// The fixed cost of the medium check in one process, without the process's
// start: runMediaCheck of a medium of one country whose archive holds three
// small files, and checkArchive of that archive alone.
//
//   bench_check_fixed [COUNT] [ROUNDS]
//
// Each round runs each COUNT times (default 100); a round's figure is one
// run's time (the round's total over COUNT). Prints the medians of ROUNDS
// rounds (default 5) in milliseconds and the load average. The scratch
// folders go under $TMPDIR (or /tmp), as the command's do.
#include "platform/hostsim/hostsim.h"
#include "tests/support/media_builder.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"
#include "tools/mediacheck/mediacheck.h"
#include "unit/unit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using namespace testsupport;

namespace {

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

template <typename F> double msPerRun(int count, F run) {
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i)
        run();
    const auto t1 = std::chrono::steady_clock::now();
    return std::chrono::duration<double, std::milli>(t1 - t0).count() / count;
}

} // namespace

int main(int argc, char **argv) {
    const int count = argc > 1 ? std::atoi(argv[1]) : 100;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (count <= 0 || rounds <= 0) {
        std::fprintf(stderr, "usage: bench_check_fixed [COUNT] [ROUNDS]\n");
        return 2;
    }
    const std::string root = makeTempDir("bench-check-fixed");
    const std::string media = root + "/media";
    MediaBuilder mb(media);
    CountryDef fra;
    fra.cid = "FRA";
    fra.name = "France";
    fra.sizes = {{"CID_SIZE", "100"}};
    mb.country(fra);
    TarBuilder t;
    t.dir("FRA/").file("FRA/ROADS.DAT", sampleContent(4000, 1)).file("FRA/NAMES.DAT", "names");
    t.file("FRA/EMPTY.DAT", "");
    const std::string archive = media + "/MAPPE/FRA/FRA.tgz";
    if (!mb.build() || !mb.write("ICONS/BRANDS.BIN", "icons") ||
        !writeFile(archive, gzip(t.finish())) ||
        !writeFile(media + "/MAPPE/FRA/DESCRI.DAT",
                   readFile(media + "/MAPPE/FRA/DESCRI.DAT") +
                       descriLine("MAP_ARCHIVE", "MAPPE\\FRA\\FRA.tgz"))) {
        std::fprintf(stderr, "bench_check_fixed: cannot write the medium under %s\n", root.c_str());
        return 1;
    }
    hostsim::resetAll();
    hostsim::setTickRate(6000); // the simulator's own rate
    unit::installAll();

    mediacheck::CheckOptions options;
    options.mediaDir = media;
    mediacheck::CheckReport report;
    if (mediacheck::runMediaCheck(options, report) != 0 || !report.findings.empty()) {
        std::fprintf(stderr, "bench_check_fixed: the medium does not check clean:\n%s",
                     mediacheck::renderText(report).c_str());
        return 1;
    }
    const std::string scratch = root + "/scratch";
    std::vector<double> whole, one;
    for (int r = 0; r < rounds; ++r) {
        whole.push_back(msPerRun(count, [&] { mediacheck::runMediaCheck(options, report); }));
        hostsim::mountDevice("/DVD", media);
        one.push_back(msPerRun(count, [&] {
            std::vector<mediacheck::Finding> findings;
            mediacheck::ArchiveSummary summary;
            std::filesystem::create_directories(scratch);
            mediacheck::checkArchive("MAPPE/FRA/FRA.tgz", archive, scratch, options.blockSizes,
                                     mediacheck::ArchiveLimits(), findings, summary, nullptr);
        }));
        hostsim::unmountDevice("/DVD");
    }
    std::printf("runMediaCheck: %.2f ms per medium of one small archive (median of %d rounds "
                "of %d)\n",
                median(whole), rounds, count);
    std::printf("checkArchive:  %.2f ms per small archive\n", median(one));
    std::ifstream load("/proc/loadavg");
    std::string a, b, c;
    load >> a >> b >> c;
    std::printf("load average:  %s %s %s\n", a.c_str(), b.c_str(), c.c_str());
    removeTree(root);
    return 0;
}
