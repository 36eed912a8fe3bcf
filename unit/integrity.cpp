// Integrity and version services (stand-in): reads and writes the "<file>.ver"
// sidecar described in integrity.h.
#include "unit/integrity.h"

#include "platform/plat_io.h"

#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

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
    std::string text(buffer, got);

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

int RemoveFileVersion(const char *p_path) {
    if (p_path == nullptr)
        return -1;
    const std::string sidecar = unit::sidecarPath(p_path);
    if (plat::remove(sidecar.c_str()) == 0 || errno == ENOENT)
        return 0;
    return -1;
}

int CopyFileVersion(const char *p_source, const char *p_dest) {
    if (p_source == nullptr || p_dest == nullptr) {
        errno = EFAULT;
        return -1;
    }
    const std::string from = unit::sidecarPath(p_source);
    const std::string to = unit::sidecarPath(p_dest);
    int in = plat::open(from.c_str(), O_RDONLY);
    if (in < 0) {
        if (errno == ENOENT)
            return RemoveFileVersion(p_dest);
        const int err = errno;
        RemoveFileVersion(p_dest);
        errno = err;
        return -1;
    }
    char buffer[k_sidecar_max + 1];
    long got = plat::read(in, buffer, sizeof buffer);
    int err = errno;
    plat::close(in);
    bool ok = got >= 0 && static_cast<size_t>(got) <= k_sidecar_max;
    if (ok) {
        int out = plat::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ok = out >= 0;
        if (ok) {
            ok = plat::write(out, buffer, static_cast<unsigned long>(got)) == got;
            err = errno;
            if (plat::close(out) != 0 && ok) {
                ok = false;
                err = errno;
            }
        } else {
            err = errno;
        }
    } else if (got >= 0) {
        err = EINVAL; // not a sidecar: too long
    }
    if (ok)
        return 0;
    RemoveFileVersion(p_dest);
    errno = err;
    return -1;
}

namespace unit {

bool validFileVersionText(const std::string &version) {
    return isValidVersionText(version);
}

std::string sidecarPath(const std::string &path) {
    return path + ".ver";
}

bool fileCrc32(const std::string &path, uint32_t &crc) {
    int fd = plat::open(path.c_str(), O_RDONLY);
    if (fd < 0)
        return false;
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

    std::string sidecar = sidecarPath(path);
    int fd = plat::open(sidecar.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return fail("cannot create '" + sidecar + "'");
    long written = plat::write(fd, content.data(), content.size());
    int closed = plat::close(fd);
    if (written != static_cast<long>(content.size()) || closed != 0)
        return fail("cannot write '" + sidecar + "'");
    return true;
}

} // namespace unit
