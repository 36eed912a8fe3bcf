// Boot database, hardware release and debug level stand-ins.
#include "unit/boot_db.h"

#include <atomic>
#include <cstring>
#include <mutex>

int debug_br = 1;

namespace {

const char k_default_version[] = "V1.0";
const int k_default_release = 1;

std::mutex g_lock; // guards g_version
char g_version[BOOT_CONFIG_VERSION_SIZE] = "V1.0";
std::atomic<bool> g_version_fails{false};
std::atomic<int> g_release{k_default_release};
std::atomic<bool> g_release_fails{false};

} // namespace

int InterGetDBBootConfigSystemVersion(unsigned char *p_version) {
    if (p_version == nullptr || g_version_fails.load(std::memory_order_relaxed))
        return -1;
    std::lock_guard<std::mutex> hold(g_lock);
    std::memcpy(p_version, g_version, std::strlen(g_version) + 1);
    return 0;
}

int GetHardRelease() {
    if (g_release_fails.load(std::memory_order_relaxed))
        return -1;
    return g_release.load(std::memory_order_relaxed);
}

namespace unit {

void resetBootDb() {
    setBootConfigVersion(k_default_version);
    g_version_fails.store(false, std::memory_order_relaxed);
    g_release.store(k_default_release, std::memory_order_relaxed);
    g_release_fails.store(false, std::memory_order_relaxed);
    debug_br = 1;
}

bool setBootConfigVersion(const std::string &version) {
    if (version.size() >= BOOT_CONFIG_VERSION_SIZE || version.find('\0') != std::string::npos)
        return false;
    std::lock_guard<std::mutex> hold(g_lock);
    std::memcpy(g_version, version.c_str(), version.size() + 1);
    return true;
}

void setBootConfigVersionFails(bool fails) {
    g_version_fails.store(fails, std::memory_order_relaxed);
}

void setHardRelease(int release) {
    g_release.store(release, std::memory_order_relaxed);
}

void setHardReleaseFails(bool fails) {
    g_release_fails.store(fails, std::memory_order_relaxed);
}

} // namespace unit
