// Devices whose file system reports no block size: stat/fstat give
// st_blksize 0 for them, as a file system can that does not say its
// allocation unit. Kept apart from the device table so that playing it
// changes nothing else of the device.
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

#include <mutex>
#include <set>

namespace {

struct ZeroBlockSizeDevices {
    std::mutex lock;
    std::set<std::string> names;
};

ZeroBlockSizeDevices &zeroDevices() {
    static ZeroBlockSizeDevices *z =
        new ZeroBlockSizeDevices; // never destroyed: tasks may outlive main
    return *z;
}

} // namespace

namespace hostsim {

void setDeviceReportsZeroBlockSize(const std::string &name, bool on) {
    ZeroBlockSizeDevices &z = zeroDevices();
    std::lock_guard<std::mutex> g(z.lock);
    if (on)
        z.names.insert(name);
    else
        z.names.erase(name);
}

namespace detail {

bool deviceReportsZeroBlockSize(const std::string &device) {
    if (device.empty())
        return false;
    ZeroBlockSizeDevices &z = zeroDevices();
    std::lock_guard<std::mutex> g(z.lock);
    return z.names.count(device) != 0;
}

void resetZeroBlockSize() {
    ZeroBlockSizeDevices &z = zeroDevices();
    std::lock_guard<std::mutex> g(z.lock);
    z.names.clear();
}

} // namespace detail
} // namespace hostsim
