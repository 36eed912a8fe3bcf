// The lint of a medium's text files alone: lintMedium on a medium of N
// countries (each a descriptor, an information file and a group file), a
// main descriptor and a current-version file, built with the tests' media
// builder.
//
//   bench_lint [COUNTRIES] [RUNS]
//
// Prints the median of RUNS runs (default 20) in milliseconds for the
// medium of COUNTRIES countries (default 3, at most 512: what check takes).
#include "tests/support/media_builder.h"
#include "tests/support/unit_fixture.h"
#include "tools/mediacheck/lint.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using namespace testsupport;

int main(int argc, char **argv) {
    const int countries = argc > 1 ? std::max(1, std::min(512, std::atoi(argv[1]))) : 3;
    const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 20;
    const std::string dir = makeTempDir("bench-lint");
    MediaBuilder mb(dir + "/media");
    for (int i = 0; i < countries; ++i) {
        CountryDef c;
        c.cid = std::string(1, static_cast<char>('A' + i / 676)) +
                static_cast<char>('A' + i / 26 % 26) + static_cast<char>('A' + i % 26);
        c.name = "Country " + c.cid;
        mb.country(c);
    }
    if (!mb.build()) {
        std::fprintf(stderr, "bench_lint: cannot build the medium in %s\n", dir.c_str());
        removeTree(dir);
        return 1;
    }
    std::vector<double> ms;
    size_t findings = 0;
    for (int r = 0; r < runs; ++r) {
        std::vector<mediacheck::Finding> out;
        const auto start = std::chrono::steady_clock::now();
        mediacheck::lintMedium(dir + "/media", "DESCRI.DAT", out);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
        findings = out.size();
    }
    std::sort(ms.begin(), ms.end());
    std::printf("lint of %d countries: %.3f ms (median of %d), %zu findings\n", countries,
                ms[ms.size() / 2], runs, findings);
    removeTree(dir);
    return 0;
}
