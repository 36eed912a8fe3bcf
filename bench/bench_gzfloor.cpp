// The decompression floor of an extraction: reads a .tgz archive with zlib's
// gzread in 256 KiB pieces into one buffer and discards it. Exit status 0 when
// the whole stream was read without error.
//
// usage: bench_gzfloor ARCHIVE
#include <zlib.h>

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench_gzfloor ARCHIVE\n");
        return 2;
    }
    gzFile gz = gzopen(argv[1], "rb");
    if (gz == nullptr)
        return 1;
    static unsigned char buffer[256 * 1024];
    int n;
    while ((n = gzread(gz, buffer, sizeof buffer)) > 0) {
    }
    return (gzclose(gz) == Z_OK && n == 0) ? 0 : 1;
}
