// The device table on the host: unit device names ("/SDH", "/F", "/DVD")
// mapped onto host folders, each with the block size that stat/fstat report
// for it.
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

#include <mutex>
#include <string>
#include <vector>

namespace {

struct Device {
    std::string name;    // "/SDH"
    std::string hostDir; // host folder, without a trailing '/'
    long blockSize;
};

struct DeviceTable {
    std::mutex lock;
    std::vector<Device> devices;
};

DeviceTable &devices() {
    static DeviceTable *t = new DeviceTable; // never destroyed: tasks may outlive main
    return *t;
}

std::string withoutTrailingSlashes(std::string s) {
    while (s.size() > 1 && s.back() == '/')
        s.pop_back();
    return s;
}

} // namespace

namespace hostsim {

void mountDevice(const std::string &name, const std::string &hostDir, long blockSize) {
    const std::string dev = withoutTrailingSlashes(name);
    if (dev.empty())
        return;
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    for (Device &d : t.devices) {
        if (d.name == dev) {
            d.hostDir = withoutTrailingSlashes(hostDir);
            d.blockSize = blockSize;
            return;
        }
    }
    t.devices.push_back(Device{dev, withoutTrailingSlashes(hostDir), blockSize});
}

void unmountDevice(const std::string &name) {
    const std::string dev = withoutTrailingSlashes(name);
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    for (auto it = t.devices.begin(); it != t.devices.end(); ++it) {
        if (it->name == dev) {
            t.devices.erase(it);
            return;
        }
    }
}

void setDeviceCapacity(const std::string &name, long long bytes) {
    // Not enforced yet: the writes' accounting comes with the capacity check.
    (void)name;
    (void)bytes;
}

void unmountAll() {
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    t.devices.clear();
}

std::string resolvePath(const std::string &unitPath) {
    return detail::resolve(unitPath.c_str()).hostPath;
}

namespace detail {

namespace {

// True when the first compLen characters of path are one of the unit's own
// device names. A path on one of them that is not mounted names nothing on
// the host: it must never reach the host folder of that name (a script's
// "/SDH/x" would otherwise land in the host's root).
bool isUnitDeviceName(const std::string &path, size_t compLen) {
    for (const char *name : {"/SDH", "/F", "/DVD"})
        if (std::char_traits<char>::length(name) == compLen && path.compare(0, compLen, name) == 0)
            return true;
    return false;
}

} // namespace

// The device is the path's whole first component: "/SDH" and "/SDH/x" are on
// "/SDH", "/SDHX" is not. A path on an unmounted unit device resolves to the
// empty path, which every host file function refuses with ENOENT (and which
// no folder creation can bring into existence).
Resolved resolve(const char *unitPath) {
    Resolved r{unitPath != nullptr ? unitPath : "", std::string(), 0};
    const std::string &path = r.hostPath;
    if (path.empty() || path[0] != '/')
        return r;
    const size_t end = path.find('/', 1);
    const size_t compLen = (end == std::string::npos) ? path.size() : end;
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    for (const Device &d : t.devices) {
        if (d.name.size() == compLen && path.compare(0, compLen, d.name) == 0) {
            Resolved out{d.hostDir + path.substr(compLen), d.name, d.blockSize};
            if (out.hostPath.empty())
                out.hostPath = "/";
            return out;
        }
    }
    if (isUnitDeviceName(path, compLen))
        r.hostPath.clear();
    return r;
}

long deviceBlockSize(const std::string &device) {
    if (device.empty())
        return 0;
    DeviceTable &t = devices();
    std::lock_guard<std::mutex> g(t.lock);
    for (const Device &d : t.devices)
        if (d.name == device)
            return d.blockSize;
    return 0;
}

} // namespace detail
} // namespace hostsim
