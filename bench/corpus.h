// Benchmark corpora: deterministic .tgz archives of map-like data.
//   mixed  three large map files (1/3, 1/6 and 1/10 of the total) and many
//          small tiles of 1 to 79 KB (scaled so that they make up the rest)
//          in 50 country folders;
//   tiny   many files of 0 to 4 KB in 100 folders;
//   large  one file.
// File content alternates 4 KiB stretches of pseudo-random bytes and of a
// repeated text line (compresses to about half).
#ifndef BENCH_CORPUS_H
#define BENCH_CORPUS_H

#include <cstdint>
#include <string>

namespace bench {

struct CorpusSizes {
    uint64_t mixedBytes = 300ull << 20; // total of the mixed corpus
    int mixedFiles = 3000;              // small files of the mixed corpus
    int tinyFiles = 20000;
    uint64_t largeBytes = 1ull << 30;

    // Every size divided by `scale` (a quick run).
    CorpusSizes scaled(int scale) const;
};

// Builds corpus `name` ("mixed", "tiny" or "large") into `path` (through
// path + ".part", renamed when complete) and prints one line about it.
// False on failure.
bool buildCorpus(const std::string &name, const CorpusSizes &sizes, const std::string &path);

} // namespace bench

#endif
