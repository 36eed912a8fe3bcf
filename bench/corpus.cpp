// Benchmark corpora (see corpus.h).
#include "bench/corpus.h"
#include "tests/support/tar_builder.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace bench {

namespace {

// ---- Deterministic content ---------------------------------------------------

struct Rng {
    uint64_t s;
    explicit Rng(uint64_t seed) : s(seed * 0x9E3779B97F4A7C15ull + 0x632BE59BD9B4E5ull) {}
    uint64_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return s;
    }
};

// Fills `out` with `size` bytes: stretches of 4 KiB alternate between
// pseudo-random bytes and a repeated text line.
void content(std::string &out, size_t size, uint64_t seed) {
    static const char line[] =
        "ROAD SEGMENT 000123 LINK TO 000124 SPEED 50 CLASS 3 NAME VIA DEL CORSO; ";
    const size_t lineLen = sizeof(line) - 1;
    out.resize(size);
    Rng rng(seed);
    size_t pos = 0;
    bool random = (seed & 1) != 0;
    while (pos < size) {
        size_t stretch = std::min<size_t>(4096, size - pos);
        if (random) {
            size_t i = 0;
            for (; i + 8 <= stretch; i += 8) {
                uint64_t v = rng.next();
                memcpy(&out[pos + i], &v, 8);
            }
            for (; i < stretch; i++)
                out[pos + i] = static_cast<char>(rng.next());
        } else {
            for (size_t i = 0; i < stretch; i++)
                out[pos + i] = line[(pos + i) % lineLen];
        }
        pos += stretch;
        random = !random;
    }
}

// ---- Archive writing -----------------------------------------------------------

class TgzWriter {
public:
    explicit TgzWriter(const std::string &path) : m_gz(gzopen(path.c_str(), "wb6")) {
        if (m_gz != nullptr)
            gzbuffer(m_gz, 1 << 20);
        else
            m_ok = false;
    }
    ~TgzWriter() { close(); }
    bool ok() const { return m_ok; }

    void dir(const std::string &name) {
        put(testsupport::TarHeader::directory(name + "/").block());
        m_entries++;
    }
    void file(const std::string &name, const std::string &data) {
        // Names stay below 100 characters: no prefix field needed.
        put(testsupport::TarHeader::regular(name, data.size()).block());
        put(data);
        size_t rest = data.size() % testsupport::kTarBlock;
        if (rest != 0)
            put(std::string(testsupport::kTarBlock - rest, '\0'));
        m_entries++;
        m_bytes += data.size();
    }
    void close() {
        if (m_gz == nullptr)
            return;
        put(std::string(2 * testsupport::kTarBlock, '\0'));
        if (gzclose(m_gz) != Z_OK)
            m_ok = false;
        m_gz = nullptr;
    }
    size_t entries() const { return m_entries; }
    uint64_t bytes() const { return m_bytes; }

private:
    void put(const std::string &data) {
        size_t done = 0;
        while (done < data.size()) {
            unsigned piece = static_cast<unsigned>(std::min<size_t>(data.size() - done, 1 << 30));
            if (gzwrite(m_gz, data.data() + done, piece) != static_cast<int>(piece)) {
                m_ok = false;
                return;
            }
            done += piece;
        }
    }
    gzFile m_gz;
    bool m_ok = true;
    size_t m_entries = 0;
    uint64_t m_bytes = 0;
};

const char *const kCountries[50] = {
    "ITA", "FRA", "DEU", "ESP", "PRT", "GBR", "IRL", "NLD", "BEL", "LUX", "CHE", "AUT", "DNK",
    "NOR", "SWE", "FIN", "ISL", "POL", "CZE", "SVK", "HUN", "SVN", "HRV", "BIH", "SRB", "MNE",
    "ALB", "MKD", "GRC", "BGR", "ROU", "MDA", "UKR", "BLR", "LTU", "LVA", "EST", "RUS", "TUR",
    "CYP", "MLT", "AND", "MCO", "SMR", "VAT", "LIE", "GIB", "FRO", "KOS", "GEO"};

} // namespace

CorpusSizes CorpusSizes::scaled(int scale) const {
    CorpusSizes s = *this;
    if (scale > 1) {
        s.mixedBytes /= static_cast<uint64_t>(scale);
        s.mixedFiles /= scale;
        s.tinyFiles /= scale;
        s.largeBytes /= static_cast<uint64_t>(scale);
    }
    return s;
}

bool buildCorpus(const std::string &name, const CorpusSizes &sizes, const std::string &path) {
    TgzWriter out(path + ".part");
    std::string data;
    if (name == "mixed") {
        // Three large files (1/3, 1/6, 1/10 of the total) and the small ones
        // (1 to 79 KB before scaling, 40 KB on average) for the rest.
        out.dir("MAPPE");
        const uint64_t large[3] = {sizes.mixedBytes / 3, sizes.mixedBytes / 6,
                                   sizes.mixedBytes / 10};
        const uint64_t rest = sizes.mixedBytes - large[0] - large[1] - large[2];
        const int smallFiles = std::max(sizes.mixedFiles, 1);
        const double scale = static_cast<double>(rest) / smallFiles / (40.0 * 1024.0);
        Rng rng(7);
        for (int c = 0; c < 50; c++) {
            const std::string country = std::string("MAPPE/") + kCountries[c];
            out.dir(country);
            out.dir(country + "/DATA");
            if (c < 3) {
                content(data, static_cast<size_t>(large[c]), 100 + static_cast<uint64_t>(c));
                out.file(country + "/MAP.DAT", data);
            }
            for (int i = c; i < sizes.mixedFiles; i += 50) {
                size_t size = static_cast<size_t>((1024 + rng.next() % (79 * 1024)) * scale);
                content(data, size, 1000 + static_cast<uint64_t>(i));
                out.file(country + "/DATA/TILE_" + std::to_string(i) + ".DAT", data);
            }
        }
    } else if (name == "tiny") {
        Rng rng(11);
        for (int d = 0; d < 100; d++)
            out.dir("T" + std::to_string(d));
        for (int i = 0; i < sizes.tinyFiles; i++) {
            size_t size = rng.next() % 4097;
            content(data, size, 5000 + static_cast<uint64_t>(i));
            out.file("T" + std::to_string(i % 100) + "/F" + std::to_string(i) + ".POI", data);
        }
    } else if (name == "large") {
        content(data, static_cast<size_t>(sizes.largeBytes), 42);
        out.file("HUGE.DAT", data);
    } else {
        fprintf(stderr, "unknown corpus %s\n", name.c_str());
        return false;
    }
    out.close();
    if (!out.ok())
        return false;
    std::error_code ec;
    fs::rename(path + ".part", path, ec);
    printf("  built %s: %zu entries, %.1f MB of data, archive %.1f MB\n", name.c_str(),
           out.entries(), static_cast<double>(out.bytes()) / 1e6,
           static_cast<double>(fs::file_size(path, ec)) / 1e6);
    return !ec;
}

} // namespace bench
