// Landlock confinement of a script's process, with the raw system calls (the
// C library has no wrappers). The rights a ruleset handles depend on the
// kernel's ABI version; those the kernel does not know are left out, so that
// an older kernel confines as far as it can.
#include "tools/scripthost/confine.h"

#include "platform/hostsim/hostsim.h"

#include <linux/landlock.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

// The rights of the ABI versions after the system's header.
#ifndef LANDLOCK_ACCESS_FS_TRUNCATE
#define LANDLOCK_ACCESS_FS_TRUNCATE (1ULL << 14)
#endif
#ifndef LANDLOCK_ACCESS_FS_IOCTL_DEV
#define LANDLOCK_ACCESS_FS_IOCTL_DEV (1ULL << 15)
#endif
#ifndef LANDLOCK_ACCESS_NET_BIND_TCP
#define LANDLOCK_ACCESS_NET_BIND_TCP (1ULL << 0)
#endif
#ifndef LANDLOCK_ACCESS_NET_CONNECT_TCP
#define LANDLOCK_ACCESS_NET_CONNECT_TCP (1ULL << 1)
#endif
#ifndef LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET
#define LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET (1ULL << 0)
#endif
#ifndef LANDLOCK_SCOPE_SIGNAL
#define LANDLOCK_SCOPE_SIGNAL (1ULL << 1)
#endif

namespace scripthost {

namespace {

// The ruleset's attributes as the newest ABI lays them out; an older kernel
// is given the part it knows.
struct RulesetAttributes {
    std::uint64_t handledFs;
    std::uint64_t handledNet; // ABI 4
    std::uint64_t scoped;     // ABI 6
};

struct PathBeneath {
    std::uint64_t allowed;
    std::int32_t parentFd;
} __attribute__((packed)); // as struct landlock_path_beneath_attr

const std::uint64_t k_read = LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_READ_DIR;
const std::uint64_t k_write = LANDLOCK_ACCESS_FS_WRITE_FILE | LANDLOCK_ACCESS_FS_REMOVE_DIR |
                              LANDLOCK_ACCESS_FS_REMOVE_FILE | LANDLOCK_ACCESS_FS_MAKE_DIR |
                              LANDLOCK_ACCESS_FS_MAKE_REG | LANDLOCK_ACCESS_FS_REFER |
                              LANDLOCK_ACCESS_FS_TRUNCATE;
// The rights that apply to a file (the others only to folders).
const std::uint64_t k_file_rights = LANDLOCK_ACCESS_FS_EXECUTE | LANDLOCK_ACCESS_FS_WRITE_FILE |
                                    LANDLOCK_ACCESS_FS_READ_FILE | LANDLOCK_ACCESS_FS_TRUNCATE |
                                    LANDLOCK_ACCESS_FS_IOCTL_DEV;

// Every file system right of ABI version `abi`: what the ruleset handles,
// and so denies where no rule allows it.
std::uint64_t handledFs(int abi) {
    std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1; // ABI 1: bits 0 to 12
    if (abi >= 2)
        rights |= LANDLOCK_ACCESS_FS_REFER;
    if (abi >= 3)
        rights |= LANDLOCK_ACCESS_FS_TRUNCATE;
    if (abi >= 5)
        rights |= LANDLOCK_ACCESS_FS_IOCTL_DEV;
    return rights;
}

// A file descriptor closed when the object ends.
class Fd {
public:
    explicit Fd(int fd) : m_fd(fd) {}
    ~Fd() {
        if (m_fd >= 0)
            close(m_fd);
    }
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// Allows `rights` beneath `path` (a folder) or on it (a file). A path that
// does not exist is skipped when `optional`. False with `why` otherwise.
bool allow(int ruleset, const std::string &path, std::uint64_t rights, std::uint64_t handled,
           bool optional, std::string &why) {
    Fd target(open(path.c_str(), O_PATH | O_CLOEXEC));
    if (target.get() < 0) {
        if (optional)
            return true;
        why = path + ": " + std::strerror(errno);
        return false;
    }
    struct stat st;
    if (fstat(target.get(), &st) != 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    PathBeneath rule = {rights & handled, target.get()};
    if (!S_ISDIR(st.st_mode))
        rule.allowed &= k_file_rights;
    if (rule.allowed == 0)
        return true;
    if (syscall(SYS_landlock_add_rule, ruleset, LANDLOCK_RULE_PATH_BENEATH, &rule, 0) != 0) {
        why = path + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// What the C library reads once the script runs: libraries it loads late
// (character conversions, name services), the time zone, the null and random
// devices.
const char *const k_system_reads[] = {
    "/lib",           "/lib64",           "/usr/lib",  "/usr/lib64",   "/usr/share/zoneinfo",
    "/etc/localtime", "/etc/ld.so.cache", "/dev/zero", "/dev/urandom", "/dev/random",
};

} // namespace

int landlockAbi() {
    const long abi =
        syscall(SYS_landlock_create_ruleset, nullptr, 0, LANDLOCK_CREATE_RULESET_VERSION);
    return abi > 0 ? static_cast<int>(abi) : 0;
}

Confinement deviceConfinement() {
    Confinement c;
    for (const char *device : {"/SDH", "/F"}) {
        const std::string folder = hostsim::resolvePath(device);
        if (!folder.empty() && folder != device)
            c.readWrite.push_back(folder);
    }
    const std::string medium = hostsim::resolvePath("/DVD");
    if (!medium.empty() && medium != "/DVD")
        c.readOnly.push_back(medium);
    return c;
}

bool confineProcess(const Confinement &confinement, std::string &why) {
    const int abi = landlockAbi();
    if (abi == 0)
        return true;
    RulesetAttributes attributes = {handledFs(abi), 0, 0};
    std::size_t size = sizeof attributes.handledFs;
    if (abi >= 4) {
        attributes.handledNet = LANDLOCK_ACCESS_NET_BIND_TCP | LANDLOCK_ACCESS_NET_CONNECT_TCP;
        size += sizeof attributes.handledNet;
    }
    if (abi >= 6) {
        attributes.scoped = LANDLOCK_SCOPE_SIGNAL | LANDLOCK_SCOPE_ABSTRACT_UNIX_SOCKET;
        size += sizeof attributes.scoped;
    }
    Fd ruleset(static_cast<int>(syscall(SYS_landlock_create_ruleset, &attributes, size, 0)));
    if (ruleset.get() < 0) {
        why = std::string("the ruleset cannot be made: ") + std::strerror(errno);
        return false;
    }
    const std::uint64_t handled = attributes.handledFs;
    for (const std::string &folder : confinement.readWrite)
        if (!allow(ruleset.get(), folder, k_read | k_write, handled, false, why))
            return false;
    for (const std::string &path : confinement.readOnly)
        if (!allow(ruleset.get(), path, k_read, handled, false, why))
            return false;
    for (const char *path : k_system_reads)
        if (!allow(ruleset.get(), path, k_read, handled, true, why))
            return false;
    if (!allow(ruleset.get(), "/dev/null", k_read | LANDLOCK_ACCESS_FS_WRITE_FILE, handled, true,
               why))
        return false;
    // The process's own entry (its maps, its descriptors): what memory
    // checkers and the C library read. Another process's is not readable.
    if (!allow(ruleset.get(), "/proc/" + std::to_string(getpid()), k_read, handled, true, why))
        return false;
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
        syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
        why = std::string("the process cannot be confined: ") + std::strerror(errno);
        return false;
    }
    return true;
}

void noteUnconfined() {
    static bool said = false;
    if (said || landlockAbi() > 0)
        return;
    said = true;
    std::fprintf(stderr, "upgsim: this kernel has no Landlock (Linux 5.13 or later with it "
                         "turned on): scripts run unconfined and can reach every file you can\n");
}

} // namespace scripthost
