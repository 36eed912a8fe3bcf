// Helpers of the extraction tests (see untgz_test_util.h).
#include "tests/untgz/untgz_test_util.h"

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace untgztest {

Tree snapshot(const std::string &hostDir) {
    return testsupport::snapshotTree(hostDir);
}

int occurrences(const std::string &text, const std::string &needle) {
    int n = 0;
    for (size_t pos = text.find(needle); pos != std::string::npos;
         pos = text.find(needle, pos + needle.size()))
        n++;
    return n;
}

namespace {

struct GateState {
    std::mutex lock;
    std::condition_variable cv;
    bool held = false;
    bool released = false;
    int (*original)(const char *, int) = nullptr;
    std::string marker;
};

GateState &gate() {
    static GateState s;
    return s;
}

int gatedMkdir(const char *hostPath, int mode) {
    GateState &g = gate();
    if (std::string(hostPath).find(g.marker) != std::string::npos) {
        std::unique_lock<std::mutex> l(g.lock);
        g.held = true;
        g.cv.notify_all();
        g.cv.wait_for(l, std::chrono::seconds(30), [&] { return g.released; });
    }
    return g.original(hostPath, mode);
}

} // namespace

MkdirGate::MkdirGate(const std::string &marker) {
    GateState &g = gate();
    std::lock_guard<std::mutex> l(g.lock);
    g.marker = marker;
    g.held = false;
    g.released = false;
    g.original = hostsim::fileOps().mkdir;
    hostsim::fileOps().mkdir = gatedMkdir;
}

MkdirGate::~MkdirGate() {
    release();
    hostsim::fileOps().mkdir = gate().original;
}

bool MkdirGate::waitHeld(int timeoutMs) {
    GateState &g = gate();
    std::unique_lock<std::mutex> l(g.lock);
    return g.cv.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return g.held; });
}

void MkdirGate::release() {
    GateState &g = gate();
    std::lock_guard<std::mutex> l(g.lock);
    g.released = true;
    g.cv.notify_all();
}

void UntgzTest::SetUp() {
    UnitFixture::SetUp();
    // The extraction ends with a pause of 50 ticks: make ticks short.
    hostsim::setTickRate(20000);
    m_untgz = C_UNTGZ::GetInstance();
    ASSERT_NE(m_untgz, nullptr);
    fs::create_directories(sdDir() + "/out");
}

void UntgzTest::TearDown() {
    hostsim::resetFileOps();
    UnitFixture::TearDown();
}

std::string UntgzTest::putArchive(const std::string &bytes, const std::string &name) {
    EXPECT_TRUE(testsupport::writeFile(mediaDir() + "/" + name, bytes));
    return "/DVD/" + name;
}

int UntgzTest::untar(const std::string &archive, const std::string &dest, int verbose,
                     int absPath) {
    int result = m_untgz->Untar(archive.c_str(), dest.c_str(), verbose, absPath);
    EXPECT_TRUE(hostsim::waitAllTasks(10000)) << "a task outlived the extraction";
    unsigned long long progression = 1;
    EXPECT_EQ(m_untgz->GetProgression(progression), -1);
    EXPECT_EQ(progression, 0u);
    return result;
}

} // namespace untgztest
