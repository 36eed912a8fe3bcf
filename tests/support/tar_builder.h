// Tar and tgz archives built in memory for tests: well-formed ustar entries,
// and headers crafted field by field (bad or signed checksums, prefix fields,
// odd size fields, any typeflag), plain or gzip-compressed, whole or cut.
//
//   testsupport::TarBuilder tar;
//   tar.dir("a/").file("a/b.txt", "hello").symlink("a/l", "b.txt");
//   std::string tgz = testsupport::gzip(tar.finish());
//
//   testsupport::TarHeader h = testsupport::TarHeader::regular("x", 10);
//   h.sizeField(std::string("0 0 1 2\0\0\0\0\0\0\0\0", 12)).checksum(
//       testsupport::TarHeader::Checksum::Signed);
//   tar.header(h).data(std::string(10, 'x'));
#ifndef TESTS_SUPPORT_TAR_BUILDER_H
#define TESTS_SUPPORT_TAR_BUILDER_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

constexpr size_t kTarBlock = 512;

// One field of the ustar header.
struct TarField {
    const char *name;
    size_t offset;
    size_t width;
};
// The header's fields in block order (name, mode, uid, gid, size, mtime,
// chksum, typeflag, linkname, magic, version, uname, gname, devmajor, devminor,
// prefix, reserved).
const std::vector<TarField> &tarFields();
// The field called `name`; throws std::out_of_range when there is none.
const TarField &tarField(const std::string &name);

// One 512-byte ustar header. Every setter writes raw bytes into its field; the
// checksum is filled in by block() according to the chosen mode.
class TarHeader {
public:
    enum class Checksum {
        Unsigned, // the standard sum of unsigned bytes (default)
        Signed,   // the sum of bytes taken as signed chars
        Keep,     // leave the chksum field as set (raw) by chksumField()
    };

    // A header with magic "ustar\0", version "00", mode 0644, uid/gid 0,
    // mtime 0, size 0 and typeflag '0'.
    TarHeader();
    static TarHeader regular(const std::string &name, uint64_t size);
    static TarHeader directory(const std::string &name);
    // typeflag '1' (hard link) or '2' (symbolic link) to `target`.
    static TarHeader link(const std::string &name, const std::string &target, bool symbolic);
    static TarHeader special(const std::string &name, char typeflag);

    // Name and prefix texts, cut to their fields (100 and 155 bytes); a text
    // that fills its field has no NUL.
    TarHeader &name(const std::string &text);
    TarHeader &prefix(const std::string &text);
    TarHeader &linkname(const std::string &text);
    TarHeader &typeflag(char flag);
    // The size as 11 octal digits and a NUL (values of 8 GiB or more are
    // written with 12 digits and no NUL, so they overflow the field's 32-bit
    // reading on purpose).
    TarHeader &size(uint64_t value);
    // Raw size field bytes (padded with NULs / cut to 12 bytes).
    TarHeader &sizeField(const std::string &raw);
    // Raw chksum field (8 bytes) and Checksum::Keep.
    TarHeader &chksumField(const std::string &raw);
    TarHeader &checksum(Checksum mode);
    // Adds `delta` to the computed checksum before it is written (a bad one).
    TarHeader &checksumOffset(int delta);
    // Writes raw bytes at an offset of the block.
    TarHeader &bytes(size_t offset, const std::string &raw);
    // Fills a whole field with one byte.
    TarHeader &fill(const std::string &field, char byte);

    // The 512 bytes, checksum filled in.
    std::string block() const;
    // Checksum sums of a header block (chksum field counted as 8 spaces).
    static unsigned unsignedSum(const std::string &block);
    static int signedSum(const std::string &block);

private:
    std::string m_raw;
    Checksum m_mode = Checksum::Unsigned;
    int m_delta = 0;
};

// A tar stream built entry by entry.
class TarBuilder {
public:
    // A regular file with its data (padded to whole blocks).
    TarBuilder &file(const std::string &name, const std::string &content);
    TarBuilder &dir(const std::string &name);
    TarBuilder &symlink(const std::string &name, const std::string &target);
    TarBuilder &hardlink(const std::string &name, const std::string &target);
    // A device ('3', '4') or FIFO ('6') entry.
    TarBuilder &special(const std::string &name, char typeflag);
    // Any header, followed by nothing (add its data with data()).
    TarBuilder &header(const TarHeader &header);
    // Data bytes padded with NULs to a whole block.
    TarBuilder &data(const std::string &content);
    // Raw bytes, not padded.
    TarBuilder &raw(const std::string &bytes);
    // `count` zero blocks.
    TarBuilder &zeros(size_t count);

    // The stream so far, without end blocks.
    const std::string &bytes() const { return m_bytes; }
    // The stream with the two zero end blocks.
    std::string finish() const;

private:
    std::string m_bytes;
};

// gzip (RFC 1952) of `data` at zlib level `level`.
std::string gzip(const std::string &data, int level = 6);
// The first `length` bytes of `data` (all of it when shorter).
std::string cut(const std::string &data, size_t length);
// Content that is deterministic for a seed: a mix of random-looking bytes and
// repeated text, of `size` bytes.
std::string sampleContent(size_t size, uint32_t seed);

} // namespace testsupport

#endif
