// plat::resolvePath on the host: the device table's resolution of a unit path,
// copied into a caller's buffer (for libraries such as zlib that open files by
// name themselves).
#include "platform/hostsim/hostsim.h"
#include "platform/plat_io.h"

#include <cerrno>
#include <cstring>

namespace plat {

int resolvePath(const char *path, char *out, unsigned long size) {
    if (out != nullptr && size > 0)
        out[0] = '\0';
    if (path == nullptr || out == nullptr) {
        errno = EFAULT;
        return -1;
    }
    const std::string host = hostsim::resolvePath(path);
    // A unit path that names nothing on the host (its device is not mounted,
    // or it passes through a symbolic link in the device's folder) is absent;
    // an empty result would let the caller open whatever "" means to it.
    if (host.empty() && path[0] != '\0') {
        errno = ENOENT;
        return -1;
    }
    if (host.size() >= size) {
        errno = ENAMETOOLONG;
        return -1;
    }
    std::memcpy(out, host.c_str(), host.size() + 1);
    return 0;
}

} // namespace plat
