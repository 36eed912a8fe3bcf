// Integrity and version services (stand-in): reads and writes the "<file>.ver"
// sidecar described in integrity.h.
#include "unit/integrity.h"

#include "platform/plat_io.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace {

const char k_version_key[] = "VERSION:";
const char k_crc_key[] = "CRC32:";
// Largest sidecar accepted: both keys, a 95-character version, 8 hex digits
// and CR LF line ends fit with room to spare.
const size_t k_sidecar_max = 255;
const size_t k_version_max = FILE_VERSION_SIZE - 1;

struct Stamp {
    std::string version;
    uint32_t crc = 0;
};

bool isValidVersionText(const std::string &text) {
    if (text.size() > k_version_max)
        return false;
    for (char c : text)
        if (c == '\r' || c == '\n' || c == '\0')
            return false;
    return true;
}

// Splits off the next line of `text` at `pos` (its LF, and a CR before it,
// removed). False at the end of the text.
bool nextLine(const std::string &text, size_t &pos, std::string &line) {
    if (pos >= text.size())
        return false;
    size_t end = text.find('\n', pos);
    if (end == std::string::npos)
        end = text.size();
    line = text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return true;
}

bool parseHex32(const std::string &text, uint32_t &value) {
    if (text.size() != 8)
        return false;
    uint32_t v = 0;
    for (char c : text) {
        int digit;
        if (c >= '0' && c <= '9')
            digit = c - '0';
        else if (c >= 'a' && c <= 'f')
            digit = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            digit = c - 'A' + 10;
        else
            return false;
        v = (v << 4) | static_cast<uint32_t>(digit);
    }
    value = v;
    return true;
}

// Parses the text of a sidecar. False when it is malformed.
bool parseStamp(const std::string &text, Stamp &stamp) {
    size_t pos = 0;
    std::string versionLine, crcLine, extra;
    if (!nextLine(text, pos, versionLine) || !nextLine(text, pos, crcLine))
        return false;
    if (nextLine(text, pos, extra))
        return false;
    if (versionLine.compare(0, sizeof k_version_key - 1, k_version_key) != 0 ||
        crcLine.compare(0, sizeof k_crc_key - 1, k_crc_key) != 0)
        return false;
    std::string version = versionLine.substr(sizeof k_version_key - 1);
    if (!isValidVersionText(version))
        return false;
    if (!parseHex32(crcLine.substr(sizeof k_crc_key - 1), stamp.crc))
        return false;
    stamp.version = version;
    return true;
}

// Reads and parses the sidecar of `path`. False when missing or malformed.
bool readStamp(const char *path, Stamp &stamp) {
    std::string sidecar = unit::sidecarPath(path);
    FILE *f = plat::fopen(sidecar.c_str(), "rb");
    if (f == nullptr)
        return false;
    char buffer[k_sidecar_max + 1];
    size_t got = std::fread(buffer, 1, sizeof buffer, f);
    bool readError = std::ferror(f) != 0;
    plat::fclose(f);
    if (readError || got > k_sidecar_max)
        return false;
    return parseStamp(std::string(buffer, got), stamp);
}

// Reads up to `size` bytes of fd into p_buffer, through short reads. The
// count read, or -1 (errno set).
long readUpTo(int fd, char *p_buffer, long size) {
    long total = 0;
    while (total < size) {
        const long got = plat::read(fd, p_buffer + total, static_cast<unsigned long>(size - total));
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

// Flushes the device that p_path lies on (its first path component, "/SDH"
// for "/SDH/MAPPE/x"; the current folder's for a relative path). 0, or -1
// with errno set.
int flushDeviceOf(const char *p_path) {
    std::string device = ".";
    if (p_path[0] == '/') {
        const char *end = std::strchr(p_path + 1, '/');
        device = end != nullptr ? std::string(p_path, static_cast<size_t>(end - p_path)) : p_path;
    }
    const int fd = plat::open(device.c_str(), O_RDONLY);
    if (fd < 0)
        return -1;
    const int rc = plat::ioctl(fd, FIOSYNC, 0);
    const int err = errno;
    plat::close(fd);
    errno = err;
    return rc;
}

// Suffix of the temporary name a sidecar is written under.
const char *const k_staged_suffix = unit::k_sidecar_temp_suffix;

// Renames p_from onto p_to. The unit's file system renames onto a free name
// only: when the first rename fails, p_to is removed and the rename made again.
int renameOnto(const char *p_from, const char *p_to) {
    if (plat::rename(p_from, p_to) == 0)
        return 0;
    plat::remove(p_to);
    return plat::rename(p_from, p_to);
}

// Writes `length` bytes into p_path (created or truncated) and syncs them. 0,
// or -1 with errno set and p_path possibly partial.
int writeSynced(const char *p_path, const char *p_data, long length) {
    int fd = plat::open(p_path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return -1;
    bool ok = plat::write(fd, p_data, static_cast<unsigned long>(length)) == length;
    ok = ok && plat::ioctl(fd, FIOSYNC, 0) == 0;
    int err = errno;
    if (plat::close(fd) != 0 && ok) {
        ok = false;
        err = errno;
    }
    errno = err;
    return ok ? 0 : -1;
}

// Writes a sidecar whole or not at all: under "<sidecar>~", synced, renamed
// into place. When that temporary name is too long for the file system the
// sidecar is written in place, and removed again when that fails. 0, or -1
// with errno set and the earlier sidecar as it was (in place: none).
int writeSidecarWhole(const std::string &sidecar, const char *p_data, long length) {
    const std::string staged = sidecar + k_staged_suffix;
    if (writeSynced(staged.c_str(), p_data, length) == 0) {
        if (renameOnto(staged.c_str(), sidecar.c_str()) == 0)
            return 0;
    } else if (errno == ENAMETOOLONG) {
        if (writeSynced(sidecar.c_str(), p_data, length) == 0)
            return 0;
        const int err = errno;
        plat::remove(sidecar.c_str());
        errno = err;
        return -1;
    }
    const int err = errno;
    plat::remove(staged.c_str());
    errno = err;
    return -1;
}

} // namespace

int CheckCRCFile(const char *p_path) {
    if (p_path == nullptr)
        return -1;
    Stamp stamp;
    if (!readStamp(p_path, stamp))
        return -1;
    uint32_t crc = 0;
    if (!unit::fileCrc32(p_path, crc))
        return -1;
    return crc == stamp.crc ? 0 : -1;
}

int GetFileVersion(const char *p_path, char *p_version) {
    if (p_path == nullptr || p_version == nullptr)
        return -1;
    Stamp stamp;
    if (!readStamp(p_path, stamp))
        return -1;
    // readStamp accepts at most FILE_VERSION_SIZE - 1 characters.
    std::memcpy(p_version, stamp.version.c_str(), stamp.version.size() + 1);
    return 0;
}

namespace {

// Removes the stamp of p_path when there is one. 0 also when there is none
// (*p_removed then false); -1 when it exists and cannot be removed.
int removeSidecar(const char *p_path, bool *p_removed) {
    *p_removed = false;
    const std::string sidecar = unit::sidecarPath(p_path);
    struct stat st;
    if (plat::stat(sidecar.c_str(), &st) != 0)
        return (errno == ENOENT || errno == ENOTDIR || errno == ENAMETOOLONG) ? 0 : -1;
    // A folder of that name is no stamp: it claims nothing and is not ours.
    if (!S_ISREG(st.st_mode))
        return 0;
    if (plat::remove(sidecar.c_str()) != 0)
        return errno == ENOENT ? 0 : -1;
    *p_removed = true;
    return 0;
}

} // namespace

int RemoveFileVersion(const char *p_path) {
    if (p_path == nullptr)
        return -1;
    bool l_removed = false;
    return removeSidecar(p_path, &l_removed);
}

int ReadFileVersionStamp(const char *p_source, FileVersionStamp *p_stamp) {
    if (p_stamp == nullptr) {
        errno = EFAULT;
        return FILE_STAMP_UNREADABLE;
    }
    std::memset(p_stamp, 0, sizeof *p_stamp);
    p_stamp->state = FILE_STAMP_UNREADABLE;
    if (p_source == nullptr) {
        errno = EFAULT;
        return p_stamp->state;
    }
    const std::string sidecar = unit::sidecarPath(p_source);
    const int fd = plat::open(sidecar.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) {
        // A name too long for the file system cannot be there either.
        if (errno == ENOENT || errno == ENAMETOOLONG)
            p_stamp->state = FILE_STAMP_NONE;
        return p_stamp->state;
    }
    struct stat st;
    long got = -1;
    if (plat::fstat(fd, &st) != 0) {
        got = -1;
    } else if (!S_ISREG(st.st_mode)) {
        p_stamp->state = FILE_STAMP_NOT_SIDECAR;
    } else {
        got = readUpTo(fd, p_stamp->text, static_cast<long>(sizeof p_stamp->text));
    }
    const int err = errno;
    plat::close(fd);
    errno = err;
    if (p_stamp->state == FILE_STAMP_NOT_SIDECAR || got < 0)
        return p_stamp->state;
    Stamp parsed;
    if (static_cast<size_t>(got) > k_sidecar_max ||
        !parseStamp(std::string(p_stamp->text, static_cast<size_t>(got)), parsed)) {
        std::memset(p_stamp->text, 0, sizeof p_stamp->text);
        p_stamp->state = FILE_STAMP_NOT_SIDECAR;
        return p_stamp->state;
    }
    p_stamp->length = got;
    p_stamp->state = FILE_STAMP_READ;
    return p_stamp->state;
}

int WriteFileVersionStamp(const char *p_dest, const FileVersionStamp *p_stamp) {
    if (p_dest == nullptr || p_stamp == nullptr) {
        errno = EFAULT;
        return -1;
    }
    if (p_stamp->state != FILE_STAMP_READ) {
        errno = EINVAL;
        return -1;
    }
    const std::string sidecar = unit::sidecarPath(p_dest);
    // Something that is no file holds the name (a folder of the user's):
    // it is not replaced.
    struct stat st;
    if (plat::stat(sidecar.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        errno = EEXIST;
        return -1;
    }
    return writeSidecarWhole(sidecar, p_stamp->text, p_stamp->length);
}

int DropFileVersion(const char *p_path) {
    if (p_path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    bool l_removed = false;
    if (removeSidecar(p_path, &l_removed) != 0)
        return -1;
    return l_removed ? flushDeviceOf(p_path) : 0;
}

namespace unit {

bool validFileVersionText(const std::string &version) {
    return isValidVersionText(version);
}

std::string sidecarPath(const std::string &path) {
    return path + k_sidecar_suffix;
}

bool fileCrc32(const std::string &path, uint32_t &crc) {
    // Opened without blocking, and only a regular file is read: a FIFO
    // would hold the open (or its reads) until a writer came, and a CRC of
    // whatever a device or a FIFO gives is no file's.
    int fd = plat::open(path.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat st;
    if (plat::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        plat::close(fd);
        errno = EINVAL;
        return false;
    }
    uLong value = ::crc32(0L, Z_NULL, 0);
    unsigned char buffer[8192];
    bool ok = true;
    for (;;) {
        long got = plat::read(fd, buffer, sizeof buffer);
        if (got < 0) {
            ok = false;
            break;
        }
        if (got == 0)
            break;
        value = ::crc32(value, buffer, static_cast<uInt>(got));
    }
    plat::close(fd);
    if (ok)
        crc = static_cast<uint32_t>(value);
    return ok;
}

bool writeFileStamp(const std::string &path, const std::string &version, std::string *error) {
    auto fail = [error](const std::string &why) {
        if (error != nullptr)
            *error = why;
        return false;
    };
    if (!isValidVersionText(version))
        return fail("version text must be at most 95 characters, without CR, LF or NUL");
    uint32_t crc = 0;
    if (!fileCrc32(path, crc))
        return fail("cannot read '" + path + "'");

    char crcText[9];
    std::snprintf(crcText, sizeof crcText, "%08x", static_cast<unsigned>(crc));
    std::string content = std::string(k_version_key) + version + "\n" + k_crc_key + crcText + "\n";

    const std::string sidecar = sidecarPath(path);
    if (writeSidecarWhole(sidecar, content.data(), static_cast<long>(content.size())) != 0)
        return fail("cannot write '" + sidecar + "' (" + std::strerror(errno) + ")");
    return true;
}

} // namespace unit
