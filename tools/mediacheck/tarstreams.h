// Two readings of one inflated tar stream, fed piece by piece as it is
// inflated: the headers as tar frames them (stopping at the first zero block,
// as GNU tar and libarchive do), and a model of the unit's parser, which reads
// on to the end of the stream and notes, for every header it takes, where it
// stands and what it writes. The checker compares the two final trees and uses
// these offsets to name the entry behind each difference. Also the
// fingerprint the trees' files are compared by. Host tool code (mediacheck only).
#ifndef TOOLS_MEDIACHECK_TARSTREAMS_H
#define TOOLS_MEDIACHECK_TARSTREAMS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tools/hostkit/card.h"
#include "tools/mediacheck/treewalk.h"

namespace mediacheck {

// The fingerprint of a file's bytes is the host kit's one content hash.
using Fingerprint = hostkit::ContentHash;

// The state of one file of a tree: its size and the fingerprint of its bytes.
struct FileDigest {
    uint64_t size = 0;
    std::array<unsigned char, 32> print{};
    bool operator==(const FileDigest &o) const { return size == o.size && print == o.print; }
    bool operator!=(const FileDigest &o) const { return !(*this == o); }
};

// Digest of every regular file under `root` (relative path -> state). False
// when a folder or file cannot be read.
bool digestTree(const std::string &root, std::map<std::string, FileDigest> &out);

// A tar header as tar frames the stream.
struct RawHeader {
    uint64_t offset = 0;
    char typeflag = '0';
    std::string name;      // the name field, up to its first NUL (100 bytes at most)
    std::string prefix;    // the prefix field, up to its first NUL
    bool nameFull = false; // all 100 bytes of the name field used: no NUL
    bool gnuMagic = false; // "ustar  " (GNU and old GNU): the prefix field holds times
    bool sumOk = false;    // its checksum is right: a header, not data taken for one
};

// Frames the stream as tar does: a header, then its data blocks (none for
// links, devices, folders and FIFOs, whose size tar does not honour; an old
// GNU sparse header's extension blocks first), up to the first all-zero
// block where a header is expected.
class RefTap {
public:
    void feed(const unsigned char *p, size_t n);
    std::vector<RawHeader> headers;
    uint64_t end = UINT64_MAX; // offset of the first end-of-archive block
    uint64_t seen = 0;         // bytes framed so far

private:
    void header();
    unsigned char m_block[512] = {};
    size_t m_fill = 0;
    uint64_t m_skip = 0;
    bool m_extension = false; // the next block extends an old GNU sparse header
    uint64_t m_dataAfter = 0; // data bytes that follow the extension blocks
};

// One header the unit's parser takes.
struct UnitHeader {
    uint64_t offset = 0;
    char kind = 'f';   // 'f' a file written, 'd' a folder, 'i' ignored (link, device, FIFO)
    char typeflag = 0; // the header's own typeflag byte
    std::string path;  // what it writes, relative to the destination folder
    uint32_t size = 0; // the size the unit reads (octal digits only)
};

// Follows the stream as the unit's parser does (see untgz_parser.cpp): zero
// blocks where a header is expected are skipped, links, devices and FIFOs
// take no data, a name ending in "/" is a folder, the prefix field is joined
// to the name, a header of another shape or with a bad checksum, a path that
// leaves the folder or is too long, or a file that cannot be created stop it.
class UnitModel {
public:
    // `destination`: the unit's destination folder, ending in "/".
    explicit UnitModel(const std::string &destination) : m_dest(destination) {}
    void feed(const unsigned char *p, size_t n);
    // The end of the stream: a last partial block is read zero-filled.
    void finish();

    std::vector<UnitHeader> headers;
    uint64_t stop = UINT64_MAX; // offset of the block the parser refuses
    std::string stopWhy;        // why it refuses it
    bool cut = false;           // the stream ends inside an entry's data

private:
    void block(const unsigned char *b);
    void refuse(const std::string &why);
    std::string m_dest;
    unsigned char m_block[512] = {};
    size_t m_fill = 0;
    uint64_t m_pos = 0;
    uint32_t m_remaining = 0;
    std::set<std::string> m_files, m_dirs;
};

} // namespace mediacheck

#endif
