// The relay of a script's output when the script writes one long line with
// no newline: the parent passes it on in bounded pieces, so its memory stays
// flat and its time grows with the size, not with its square. A child writes
// each size (MiB, from the arguments; default 64 and 1024) to its standard
// output in 64 KiB writes without a newline; the parent relays it to
// /dev/null. Prints the time, the rate and the parent's peak memory.
#include "tools/scripthost/child.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

namespace {

// The process's peak resident memory so far, in KiB.
long peakKiB() {
    struct rusage usage = {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

} // namespace

int main(int argc, char **argv) {
    std::vector<unsigned long> sizes;
    for (int i = 1; i < argc; ++i)
        sizes.push_back(std::strtoul(argv[i], nullptr, 10));
    if (sizes.empty())
        sizes = {64, 1024};
    FILE *sink = std::fopen("/dev/null", "w");
    if (sink == nullptr)
        return 1;
    std::printf("%-10s %10s %12s %16s\n", "line", "seconds", "MiB/s", "parent peak KiB");
    for (unsigned long mib : sizes) {
        scripthost::ChildOptions options;
        options.out = sink;
        const auto started = std::chrono::steady_clock::now();
        const scripthost::ChildEnd end = scripthost::runInChild(
            [mib](int) {
                static char block[65536];
                std::memset(block, 'x', sizeof block);
                for (unsigned long i = 0; i < mib * 16; ++i)
                    if (!scripthost::writeAll(STDOUT_FILENO, block, sizeof block))
                        return 1;
                return 0;
            },
            options);
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        if (end.how != scripthost::ChildEnd::How::Exited || end.code != 0 || end.outputLost) {
            std::fprintf(stderr, "bench_relay: the %lu MiB run failed\n", mib);
            return 1;
        }
        std::printf("%-10s %10.2f %12.0f %16ld\n", (std::to_string(mib) + " MiB").c_str(), seconds,
                    static_cast<double>(mib) / seconds, peakKiB());
    }
    std::fclose(sink);
    return 0;
}
