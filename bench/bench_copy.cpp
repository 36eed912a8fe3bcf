// Benchmark of the upgrade copy and of a POI installation.
//
// 1. Copies one large file (1 GiB by default) with C_BUILTINS::BuiltinsCopy,
//    with `dd bs=64k conv=fsync` (the floor for a copy in 64 KiB chunks
//    that is on the disk before it ends, as BuiltinsCopy's is), with plain
//    `dd bs=64k` (which leaves the data in the page cache) and with the
//    system's `cp`, each several times in turn, and reports the median times
//    and the ratios. BuiltinsCopy is expected within 1.05x of dd conv=fsync.
// 2. Installs a POI delivery of 40 countries of 20 files each with the
//    builtin "InstalPOIs" and reports its wall time, less the installation's
//    three 500-tick pauses, at the unit's tick rate and at a rate where the
//    extractor's own tick-based waits vanish.
//
// usage: bench_copy [--dir DIR] [--size-mib N] [--runs N] [--countries N]
//                   [--files N] [--no-copy] [--no-pois]
// DIR (default: $TMPDIR or /tmp) must have room for three times the file.
#include "builtins/C_BUILTINS.h"
#include "platform/hostsim/hostsim.h"
#include "unit/unit.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

// Length of each of the POI installation's three pauses, in ticks.
const int k_poi_pause_ticks = 500;

struct Options {
    std::string dir;
    long sizeMib = 1024;
    int runs = 5;
    int countries = 40;
    int files = 20;
    bool copy = true;
    bool pois = true;
};

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Single-quoted for the shell.
std::string quote(const std::string &s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

// Writes `bytes` of varied content (no runs a file system could skip).
bool writeBigFile(const std::string &path, long bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out)
        return false;
    std::vector<char> chunk(1 << 20);
    uint64_t x = 0x9e3779b97f4a7c15ull;
    for (long done = 0; done < bytes;) {
        for (size_t i = 0; i < chunk.size(); i += 8) {
            x ^= x << 13;
            x ^= x >> 7;
            x ^= x << 17;
            std::memcpy(&chunk[i], &x, 8);
        }
        long n = std::min<long>(static_cast<long>(chunk.size()), bytes - done);
        out.write(chunk.data(), n);
        done += n;
    }
    return static_cast<bool>(out);
}

bool sameSize(const std::string &a, const std::string &b) {
    std::error_code ec1, ec2;
    return fs::file_size(a, ec1) == fs::file_size(b, ec2) && !ec1 && !ec2;
}

bool runShell(const std::string &command) {
    return std::system(command.c_str()) == 0;
}

// Removes the previous destination and writes back every dirty page, so that
// no method pays for the write-back of the one before it.
void settle(const std::string &dst) {
    fs::remove(dst);
    ::sync();
}

int benchCopy(const Options &opts, const std::string &work) {
    const std::string src = work + "/src.bin";
    const std::string dst = work + "/dst.bin";
    const long bytes = opts.sizeMib << 20;
    std::printf("copy: writing a %ld MiB source in %s\n", opts.sizeMib, work.c_str());
    if (!writeBigFile(src, bytes)) {
        std::fprintf(stderr, "bench_copy: cannot write %s\n", src.c_str());
        return 1;
    }
    hostsim::mountDevice("/SDH", work);

    // The system's tools, each timed as one shell command.
    struct Tool {
        const char *label;
        std::string command;
        std::vector<double> times;
    };
    std::vector<Tool> tools = {
        {"dd bs=64k conv=fsync",
         "dd if=" + quote(src) + " of=" + quote(dst) + " bs=64k conv=fsync status=none",
         {}},
        {"dd bs=64k", "dd if=" + quote(src) + " of=" + quote(dst) + " bs=64k status=none", {}},
        {"cp", "cp " + quote(src) + " " + quote(dst), {}},
    };
    std::vector<double> tModule;
    // One warm-up pass of each, so that every method finds the source in the
    // page cache, then the timed runs in turn.
    for (int run = -1; run < opts.runs; ++run) {
        settle(dst);
        double t0 = now();
        int rc = C_BUILTINS::BuiltinsCopy("/SDH/src.bin", "/SDH/dst.bin");
        double t1 = now();
        if (rc != 0 || !sameSize(src, dst)) {
            std::fprintf(stderr, "bench_copy: BuiltinsCopy failed\n");
            return 1;
        }
        if (run >= 0)
            tModule.push_back(t1 - t0);
        for (Tool &tool : tools) {
            settle(dst);
            t0 = now();
            bool ok = runShell(tool.command);
            t1 = now();
            if (!ok || !sameSize(src, dst)) {
                std::fprintf(stderr, "bench_copy: %s failed\n", tool.label);
                return 1;
            }
            if (run >= 0)
                tool.times.push_back(t1 - t0);
        }
    }
    fs::remove(dst);
    fs::remove(src);

    const double m = median(tModule);
    const double mib = static_cast<double>(opts.sizeMib);
    std::printf("copy of %ld MiB, median of %d runs:\n", opts.sizeMib, opts.runs);
    std::printf("  %-21s %8.3f s  %8.1f MiB/s\n", "BuiltinsCopy", m, mib / m);
    for (Tool &tool : tools) {
        const double t = median(tool.times);
        std::printf("  %-21s %8.3f s  %8.1f MiB/s\n", tool.label, t, mib / t);
    }
    // The floor: a copy that is on the disk when it ends, as BuiltinsCopy's.
    const double floor = median(tools[0].times);
    std::printf("  BuiltinsCopy / dd conv=fsync = %.3f (limit 1.050: %s)\n", m / floor,
                m / floor <= 1.05 ? "within" : "OVER");
    std::printf("  BuiltinsCopy / dd bs=64k = %.3f (dd leaves the data in the page cache)\n",
                m / median(tools[1].times));
    return m / floor <= 1.05 ? 0 : 1;
}

// A delivery of `countries` countries, each of `files` files in groups of
// four (main file, description, one more file, version file) plus files of no
// group, as "POI.tgz" and "POI.tgz.inf" in media/; every country has its map
// and a user folder holding the older version of its groups.
bool makeDelivery(const Options &opts, const std::string &work) {
    const std::string content(4096, 'p');
    for (int c = 0; c < opts.countries; ++c) {
        char cid[16];
        std::snprintf(cid, sizeof cid, "C%03d", c);
        fs::create_directories(work + "/sd/MAPPE/" + cid);
        const std::string delivered = work + "/media/tmp_poi/" + cid;
        const std::string user = work + "/sd/MAPPE/POI_USER/" + cid;
        fs::create_directories(delivered);
        fs::create_directories(user);
        // Groups of four files while at least four files remain beyond them;
        // the remaining files belong to no group.
        const int grouped = opts.files >= 8 ? (opts.files / 4 - 1) * 4 : 0;
        for (int f = 0; f < opts.files; ++f) {
            std::string name;
            std::string text = content;
            std::string userText = content;
            if (f >= grouped) {
                name = "extra_" + std::to_string(f) + ".dat";
            } else {
                const std::string prefix = "G" + std::to_string(f / 4);
                switch (f % 4) {
                case 0:
                    name = prefix + ".lzw";
                    break;
                case 1:
                    name = prefix + "dsc.lzw";
                    break;
                case 2:
                    name = prefix + "_1.lzw";
                    break;
                default:
                    name = "poi_ver_" + prefix + ".txt";
                    text = "PREFIX:" + prefix + "\nDATE:200\n";
                    userText = "PREFIX:" + prefix + "\nDATE:100\n";
                    break;
                }
            }
            std::ofstream(delivered + "/" + name, std::ios::binary) << text;
            std::ofstream(user + "/" + name, std::ios::binary) << userText;
        }
    }
    std::ofstream(work + "/media/POI.tgz.inf") << "POI 2\n";
    return runShell("tar -C " + quote(work + "/media") + " -czf " + quote(work + "/media/POI.tgz") +
                    " tmp_poi") &&
           (fs::remove_all(work + "/media/tmp_poi"), true);
}

int benchPois(const Options &opts, const std::string &work) {
    std::printf("pois: building a delivery of %d countries x %d files\n", opts.countries,
                opts.files);
    if (!makeDelivery(opts, work)) {
        std::fprintf(stderr, "bench_copy: cannot build the POI delivery\n");
        return 1;
    }
    hostsim::mountDevice("/SDH", work + "/sd");
    hostsim::mountDevice("/DVD", work + "/media");

    // At the unit's 60 ticks per second the extractor's own end delay (50
    // ticks) is part of the time; at 100000 ticks per second every tick-based
    // wait is negligible and what remains is the work itself. The
    // installation's own pauses (three of 500 ticks, 25 s at 60 ticks per
    // second) are waits, not work: their length at the rate is taken off the
    // wall time. The second run starts by removing what the first one staged,
    // as on the unit.
    int rc = 0;
    for (int rate : {60, 100000}) {
        hostsim::setTickRate(rate);
        // The extractor lists every entry on standard output: not here.
        std::fflush(stdout);
        int savedOut = ::dup(STDOUT_FILENO);
        int devNull = ::open("/dev/null", O_WRONLY);
        if (devNull >= 0)
            ::dup2(devNull, STDOUT_FILENO);
        val_t result;
        double t0 = now();
        bool called = hostsim::callBuiltin(
            "InstalPOIs", {hostsim::EicArg::Ptr("/DVD/POI.tgz"), hostsim::EicArg::Ptr("POIs")},
            &result);
        double t1 = now();
        std::fflush(stdout);
        if (savedOut >= 0) {
            ::dup2(savedOut, STDOUT_FILENO);
            ::close(savedOut);
        }
        if (devNull >= 0)
            ::close(devNull);
        if (!called || result.ival != 0) {
            std::fprintf(stderr, "bench_copy: InstalPOIs failed\n");
            return 1;
        }
        int staged = 0;
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(work + "/sd/MAPPE/POI_USER", ec))
            if (e.path().filename().string().compare(0, 5, "TEMP_") == 0)
                ++staged;
        const double pauses = 3 * k_poi_pause_ticks / static_cast<double>(rate);
        std::printf("POI installation of %d countries x %d files (pauses of %.3f s not counted, "
                    "%d ticks/s): %.3f s, %d countries staged\n",
                    opts.countries, opts.files, pauses, rate, t1 - t0 - pauses, staged);
        if (staged != opts.countries)
            rc = 1;
    }
    return rc;
}

bool parseArgs(int argc, char **argv, Options &opts) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](long &out) {
            if (i + 1 >= argc)
                return false;
            out = std::strtol(argv[++i], nullptr, 10);
            return out > 0;
        };
        long n = 0;
        if (a == "--dir" && i + 1 < argc) {
            opts.dir = argv[++i];
        } else if (a == "--size-mib" && value(n)) {
            opts.sizeMib = n;
        } else if (a == "--runs" && value(n)) {
            opts.runs = static_cast<int>(n);
        } else if (a == "--countries" && value(n)) {
            opts.countries = static_cast<int>(n);
        } else if (a == "--files" && value(n)) {
            opts.files = static_cast<int>(n);
        } else if (a == "--no-copy") {
            opts.copy = false;
        } else if (a == "--no-pois") {
            opts.pois = false;
        } else {
            return false;
        }
    }
    return true;
}

} // namespace

int main(int argc, char **argv) {
    Options opts;
    if (!parseArgs(argc, argv, opts)) {
        std::fprintf(stderr, "usage: bench_copy [--dir DIR] [--size-mib N] [--runs N] "
                             "[--countries N] [--files N] [--no-copy] [--no-pois]\n");
        return 2;
    }
    if (opts.dir.empty()) {
        const char *tmp = std::getenv("TMPDIR");
        opts.dir = tmp != nullptr && *tmp != '\0' ? tmp : "/tmp";
    }
    std::string work = opts.dir + "/bench_copy-XXXXXX";
    if (mkdtemp(work.data()) == nullptr) {
        std::fprintf(stderr, "bench_copy: cannot create a folder in %s\n", opts.dir.c_str());
        return 2;
    }

    hostsim::resetAll();
    unit::installAll();
    if (C_BUILTINS::Instance() == nullptr) {
        std::fprintf(stderr, "bench_copy: the module cannot start\n");
        return 1;
    }

    int rc = 0;
    if (opts.copy)
        rc |= benchCopy(opts, work);
    if (opts.pois)
        rc |= benchPois(opts, work);

    hostsim::waitAllTasks(60000);
    hostsim::resetAll();
    std::error_code ec;
    fs::remove_all(work, ec);
    return rc;
}
