// Scratch folder, unit reset, input files and the containment and task checks
// shared by the fuzz targets.
#include "fuzz/fuzz_support.h"

#include "platform/hostsim/hostsim.h"
#include "unit/unit.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace fs = std::filesystem;

namespace fuzzsupport {

namespace {

// Tick rate while fuzzing: the module's pauses (50 ticks after an extraction,
// the bargraph's 100-tick wake-ups, the POI installation's 500-tick pauses)
// last microseconds to a millisecond instead of seconds.
const int k_fuzz_tick_rate = 1000000;

// Folders under the scratch folder behind the unit's devices.
const char *const k_device_dirs[] = {"sd", "flash", "media"};

std::string g_scratch;

void removeScratch() {
    if (!g_scratch.empty()) {
        std::error_code ec;
        fs::remove_all(g_scratch, ec);
    }
}

std::string makeScratch() {
    // scripts/fuzz.sh hands every run a parent folder of its own; otherwise a
    // RAM disk keeps the many small files of a fuzzing run off the slow disk.
    std::string parent;
    if (const char *env = std::getenv("UPG_FUZZ_SCRATCH"))
        parent = env;
    else if (access("/dev/shm", W_OK) == 0)
        parent = "/dev/shm";
    else
        parent = fs::temp_directory_path().string();
    std::error_code ec;
    fs::create_directories(parent, ec);
    std::string tmpl = parent + "/upgfuzz-XXXXXX";
    if (mkdtemp(tmpl.data()) == nullptr) {
        std::fprintf(stderr, "fuzz: cannot create a scratch folder under %s\n", parent.c_str());
        std::abort();
    }
    return tmpl;
}

} // namespace

const std::string &scratch() {
    if (g_scratch.empty()) {
        g_scratch = makeScratch();
        std::atexit(removeScratch);
        // The extractor lists every entry on standard output.
        if (std::freopen("/dev/null", "w", stdout) == nullptr)
            std::abort();
    }
    return g_scratch;
}

ScratchCwd::ScratchCwd() {
    std::error_code ec;
    m_previous = fs::current_path(ec).string();
    fs::current_path(scratch(), ec);
    if (ec) {
        std::fprintf(stderr, "fuzz: cannot enter %s\n", scratch().c_str());
        std::abort();
    }
}

ScratchCwd::~ScratchCwd() {
    std::error_code ec;
    fs::current_path(m_previous, ec);
}

void resetUnit() {
    const std::string &root = scratch();
    hostsim::resetAll();
    unit::installAll();
    for (const char *dir : k_device_dirs) {
        std::error_code ec;
        fs::create_directories(root + "/" + dir, ec);
    }
    hostsim::mountDevice("/FZ", root);
    hostsim::mountDevice("/SDH", root + "/sd");
    hostsim::mountDevice("/F", root + "/flash");
    hostsim::mountDevice("/DVD", root + "/media");
    hostsim::setTickRate(k_fuzz_tick_rate);
}

void cleanScratch(const std::vector<std::string> &keep) {
    const std::string &root = scratch();
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        bool kept = false;
        for (const std::string &k : keep)
            kept = kept || (k == name);
        if (!kept) {
            std::error_code rm;
            fs::remove_all(it->path(), rm);
        }
    }
    for (const char *dir : k_device_dirs)
        fs::create_directories(root + "/" + dir, ec);
}

void writeHostFile(const std::string &hostPath, const uint8_t *data, size_t size) {
    std::error_code ec;
    fs::path p(hostPath);
    if (p.has_parent_path())
        fs::create_directories(p.parent_path(), ec);
    std::ofstream out(hostPath, std::ios::binary | std::ios::trunc);
    if (size != 0)
        out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    out.close();
    if (!out) {
        std::fprintf(stderr, "fuzz: cannot write %s\n", hostPath.c_str());
        std::abort();
    }
}

void writeHostFile(const std::string &hostPath, const std::string &content) {
    writeHostFile(hostPath, reinterpret_cast<const uint8_t *>(content.data()), content.size());
}

void assertContained(const std::string &allowedDir, const std::vector<std::string> &inputs) {
    const std::string &root = scratch();
    const std::string allowed = fs::path(allowedDir).lexically_normal().string();
    bool bad = false;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(root, fs::directory_options::none, ec), end;
         !ec && it != end; it.increment(ec)) {
        const std::string p = it->path().lexically_normal().string();
        bool ok = false;
        for (const std::string &in : inputs) {
            const std::string l_in = fs::path(in).lexically_normal().string();
            ok = ok || l_in == p || l_in.rfind(p + "/", 0) == 0;
        }
        // The allowed folder, what lies under it, and the folders above it.
        ok = ok || p == allowed || p.rfind(allowed + "/", 0) == 0 || allowed.rfind(p + "/", 0) == 0;
        for (const char *dir : k_device_dirs)
            ok = ok || p == root + "/" + dir;
        if (!ok) {
            std::fprintf(stderr, "fuzz: written outside %s: %s\n", allowed.c_str(), p.c_str());
            bad = true;
        }
    }
    if (bad)
        std::abort();
}

void assertNoTaskLeft() {
    if (!hostsim::waitAllTasks(10000)) {
        std::fprintf(stderr, "fuzz: a task is still running after the call returned\n");
        std::abort();
    }
}

std::vector<std::string> splitInput(const uint8_t *data, size_t size, const std::string &separator,
                                    size_t parts) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    std::vector<std::string> out;
    size_t start = 0;
    while (out.size() + 1 < parts) {
        const size_t at = text.find(separator, start);
        if (at == std::string::npos)
            break;
        out.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
    out.push_back(start <= text.size() ? text.substr(start) : std::string());
    while (out.size() < parts)
        out.emplace_back();
    return out;
}

} // namespace fuzzsupport
