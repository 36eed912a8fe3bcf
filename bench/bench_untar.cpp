// Benchmark of the archive extraction (C_UNTGZ::Untar).
//
// Generates three corpora deterministically (bench/corpus.h), as .tgz archives
// (kept in the work folder between runs and rebuilt only when missing):
//   mixed  ~300 MB: three large map files and ~3000 small files in 50 country
//          folders;
//   tiny   20000 files of 0 to 4 KB in 100 folders;
//   large  one file of 1 GiB.
//
// Each corpus is then extracted, in turn and several times, by
//   floor   a plain gzread loop in 256 KiB chunks into nothing (the cost of
//           decompression alone),
//   untgz   C_UNTGZ::Untar,
//   tar     the system's "tar -xzf",
//   bsdtar  "bsdtar -xzf".
// Every run is a child process (this program re-run with a hidden command for
// floor and untgz), timed by wall clock, its peak resident memory taken from
// wait4. Each run extracts into a fresh folder and is synced to disk outside
// the timing; the commands alternate within every round. This disk discards
// deleted blocks and creates files slowly for a while after many deletions,
// so the extracted trees are kept until the end of the whole benchmark (they
// need about 21 GB at full size) and deleted then. The median of the rounds is
// reported with the ratios untgz/floor, untgz/tar, untgz/bsdtar.
//
// The extraction ends with a pause of 50 ticks (860 ms at the unit's 60 ticks
// per second); the untgz runs use --tick-rate (default 10000, a 5 ms pause)
// and the report gives the pause separately.
//
// usage: bench_untar [--dir DIR] [--corpora mixed,tiny,large] [--runs N]
//                    [--quick] [--tick-rate N]
// --quick scales every corpus down by ten.
#include "bench/corpus.h"
#include "platform/hostsim/hostsim.h"
#include "untgz/C_UNTGZ.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace fs = std::filesystem;

namespace {

// ---- Child commands ------------------------------------------------------------

int runFloor(const char *archive) {
    gzFile gz = gzopen(archive, "rb");
    if (gz == nullptr)
        return 2;
    static unsigned char buffer[262144];
    uint64_t total = 0;
    int n;
    while ((n = gzread(gz, buffer, sizeof(buffer))) > 0)
        total += static_cast<uint64_t>(n);
    int rc = gzclose(gz);
    return (n < 0 || rc != Z_OK || total == 0) ? 1 : 0;
}

int runUntgz(const char *archive, const char *dest, int tickRate) {
    hostsim::setTickRate(tickRate);
    // The non-verbose listing goes to standard output: keep it out of the report.
    fflush(stdout);
    int devnull = open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
        dup2(devnull, 1);
        ::close(devnull);
    }
    C_UNTGZ *untgz = C_UNTGZ::GetInstance();
    int rc = untgz != nullptr ? untgz->Untar(archive, dest, 0, 1) : -1;
    fflush(stdout);
    return rc == 0 ? 0 : 1;
}

struct RunResult {
    double seconds = 0;
    long maxRssKb = 0;
    bool ok = false;
};

RunResult spawnAndTime(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (const std::string &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    RunResult r;
    auto start = std::chrono::steady_clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return r;
    int status = 0;
    struct rusage usage {};
    if (wait4(pid, &status, 0, &usage) < 0)
        return r;
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.maxRssKb = usage.ru_maxrss;
    r.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return r;
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Options {
    std::string dir = "/tmp/untgz-bench";
    std::vector<std::string> corpora = {"mixed", "tiny", "large"};
    int runs = 3;
    int scale = 1;
    int tickRate = 10000;
};

bool haveTool(const char *tool) {
    return std::system((std::string(tool) + " --version >/dev/null 2>&1").c_str()) == 0;
}

// Removes the extracted trees of an earlier benchmark (before any timing).
void removeOutputs(const std::string &dir) {
    std::error_code ec;
    for (auto it = fs::directory_iterator(dir, ec); !ec && it != fs::directory_iterator();
         it.increment(ec))
        if (it->path().filename().string().rfind("out-", 0) == 0)
            fs::remove_all(it->path(), ec);
    sync();
}

} // namespace

int main(int argc, char **argv) {
    // Hidden child commands.
    if (argc == 3 && strcmp(argv[1], "--child-floor") == 0)
        return runFloor(argv[2]);
    if (argc == 5 && strcmp(argv[1], "--child-untgz") == 0)
        return runUntgz(argv[2], argv[3], atoi(argv[4]));
    if (argc == 5 && strcmp(argv[1], "--child-build") == 0)
        return bench::buildCorpus(argv[2], bench::CorpusSizes().scaled(atoi(argv[3])), argv[4]) ? 0
                                                                                                : 1;

    Options opt;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--dir" && i + 1 < argc) {
            opt.dir = argv[++i];
        } else if (a == "--runs" && i + 1 < argc) {
            opt.runs = std::max(1, atoi(argv[++i]));
        } else if (a == "--tick-rate" && i + 1 < argc) {
            opt.tickRate = std::max(1, atoi(argv[++i]));
        } else if (a == "--quick") {
            opt.scale = 10;
        } else if (a == "--corpora" && i + 1 < argc) {
            opt.corpora.clear();
            std::string list = argv[++i];
            size_t start = 0;
            while (start <= list.size()) {
                size_t comma = list.find(',', start);
                if (comma == std::string::npos)
                    comma = list.size();
                if (comma > start)
                    opt.corpora.push_back(list.substr(start, comma - start));
                start = comma + 1;
            }
        } else {
            printf("usage: bench_untar [--dir DIR] [--corpora mixed,tiny,large] [--runs N] "
                   "[--quick] [--tick-rate N]\n");
            return a == "--help" ? 0 : 2;
        }
    }

    const std::string self = fs::canonical("/proc/self/exe").string();
    std::error_code ec;
    fs::create_directories(opt.dir, ec);
    const bool tar = haveTool("tar");
    const bool bsdtar = haveTool("bsdtar");
    printf("bench_untar: dir %s, %d runs, scale 1/%d, tick rate %d (end pause %.1f ms; %.0f ms at "
           "60 ticks/s)\n",
           opt.dir.c_str(), opt.runs, opt.scale, opt.tickRate, 50.0 * 1000.0 / opt.tickRate,
           50.0 * 1000.0 / 60.0);
    if (!bsdtar)
        printf("  bsdtar not found (package libarchive-tools): not compared\n");
    removeOutputs(opt.dir);
    // Let the discards of those deletions pass before the first timing.
    sleep(5);

    bool allOk = true;
    for (const std::string &corpus : opt.corpora) {
        const std::string archive =
            opt.dir + "/" + corpus + (opt.scale == 1 ? "" : "-quick") + ".tgz";
        // Built by a child: this process stays small, and the children it
        // spawns (which start as copies of it) report their own peak memory.
        if (!fs::exists(archive) &&
            !spawnAndTime({self, "--child-build", corpus, std::to_string(opt.scale), archive}).ok) {
            printf("  cannot build corpus %s\n", corpus.c_str());
            allOk = false;
            continue;
        }
        struct Command {
            const char *name;
            bool available;
            std::vector<double> times;
            long maxRssKb = 0;
        };
        std::vector<Command> commands = {
            {"floor", true, {}}, {"untgz", true, {}}, {"tar", tar, {}}, {"bsdtar", bsdtar, {}}};
        for (int round = 0; round < opt.runs; round++) {
            // Alternate the order from round to round.
            for (size_t k = 0; k < commands.size(); k++) {
                Command &c = commands[(k + static_cast<size_t>(round)) % commands.size()];
                if (!c.available)
                    continue;
                const std::string out =
                    opt.dir + "/out-" + corpus + "-" + c.name + "-" + std::to_string(round);
                fs::create_directories(out, ec);
                sync();
                std::vector<std::string> args;
                const std::string name = c.name;
                if (name == "floor")
                    args = {self, "--child-floor", archive};
                else if (name == "untgz")
                    args = {self, "--child-untgz", archive, out + "/",
                            std::to_string(opt.tickRate)};
                else
                    args = {name, "-xzf", archive, "-C", out};
                RunResult r = spawnAndTime(args);
                sync();
                if (!r.ok) {
                    printf("  %s on %s failed\n", c.name, corpus.c_str());
                    allOk = false;
                    continue;
                }
                c.times.push_back(r.seconds);
                c.maxRssKb = std::max(c.maxRssKb, r.maxRssKb);
            }
        }
        printf("%s (%s):\n", corpus.c_str(), archive.c_str());
        for (const Command &c : commands)
            if (c.available && !c.times.empty())
                printf("  %-7s median %8.3f s   peak RSS %7ld KB\n", c.name, median(c.times),
                       c.maxRssKb);
        const double untgz = median(commands[1].times);
        if (untgz > 0) {
            printf("  ratio untgz/floor  %.3f\n", untgz / median(commands[0].times));
            if (!commands[2].times.empty())
                printf("  ratio untgz/tar    %.3f\n", untgz / median(commands[2].times));
            if (!commands[3].times.empty())
                printf("  ratio untgz/bsdtar %.3f\n", untgz / median(commands[3].times));
        }
        fflush(stdout);
    }
    printf("deleting the extracted trees\n");
    fflush(stdout);
    removeOutputs(opt.dir);
    return allOk ? 0 : 1;
}
