// Builds one benchmark corpus (bench/corpus.h) for bench/run.sh.
//
// usage: bench_corpus mixed|tiny|large ARCHIVE
// Sizes from the environment (defaults in parentheses):
//   BENCH_MIXED_MB (300)  BENCH_MIXED_FILES (3000)  BENCH_TINY_FILES (20000)
//   BENCH_LARGE_MB (1024)
#include "bench/corpus.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// A positive whole number from the environment variable `name`, or `fallback`.
long envNumber(const char *name, long fallback) {
    const char *text = std::getenv(name);
    if (text == nullptr || *text == '\0')
        return fallback;
    char *end = nullptr;
    long value = std::strtol(text, &end, 10);
    return (end != nullptr && *end == '\0' && value > 0) ? value : fallback;
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_corpus mixed|tiny|large ARCHIVE\n");
        return 2;
    }
    bench::CorpusSizes sizes;
    sizes.mixedBytes = static_cast<uint64_t>(envNumber("BENCH_MIXED_MB", 300)) << 20;
    sizes.mixedFiles = static_cast<int>(envNumber("BENCH_MIXED_FILES", 3000));
    sizes.tinyFiles = static_cast<int>(envNumber("BENCH_TINY_FILES", 20000));
    sizes.largeBytes = static_cast<uint64_t>(envNumber("BENCH_LARGE_MB", 1024)) << 20;
    return bench::buildCorpus(argv[1], sizes, argv[2]) ? 0 : 1;
}
