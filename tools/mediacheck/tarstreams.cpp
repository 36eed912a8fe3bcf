// Tar framing as tar reads it, the model of the unit's parser, and the
// digests of files the two extracted trees are compared with.
#include "tools/mediacheck/tarstreams.h"

#include "tools/mediacheck/treewalk.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>

namespace fs = std::filesystem;

namespace mediacheck {

namespace {

// Digest of one file; false when it cannot be read.
bool digestFile(const fs::path &path, std::vector<unsigned char> &buf, FileDigest &d) {
    FILE *f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    Fingerprint print;
    size_t n = 0;
    while ((n = std::fread(buf.data(), 1, buf.size(), f)) > 0) {
        print.update(buf.data(), n);
        d.size += n;
    }
    const bool ok = !std::ferror(f);
    std::fclose(f);
    return print.finish(d.print) && ok;
}

} // namespace

bool digestTree(const std::string &root, std::map<std::string, FileDigest> &out) {
    out.clear();
    std::error_code ec;
    if (!fs::exists(root, ec))
        return true;
    std::vector<fs::path> files;
    std::vector<std::string> rels;
    const bool walked = walkTree(root, [&](const TreeItem &item) {
        std::error_code err;
        if (!item.entry.is_symlink(err) && item.entry.is_regular_file(err)) {
            files.push_back(item.entry.path());
            rels.push_back(item.rel);
        }
        return Walk::Continue;
    });
    // The files are read back in two threads: the check waits for this
    // after the extraction, when nothing else runs.
    std::vector<FileDigest> digests(files.size());
    std::atomic<size_t> next{0};
    std::atomic<bool> allRead{true};
    auto work = [&]() {
        std::vector<unsigned char> buf(256 * 1024);
        for (size_t i = next++; i < files.size(); i = next++)
            if (!digestFile(files[i], buf, digests[i]))
                allRead = false;
    };
    std::thread helper;
    if (files.size() > 1)
        helper = std::thread(work);
    work();
    if (helper.joinable())
        helper.join();
    for (size_t i = 0; i < files.size(); ++i)
        out[rels[i]] = digests[i];
    return walked && allRead;
}

namespace {

// A numeric header field as tar reads it: base-256 when the first byte has
// its high bit set; else octal digits after any leading spaces, up to the
// first byte that is none (the unit's parser, unlike tar, reads on past a
// space: UnitModel reads its own way).
uint64_t tarNumber(const unsigned char *f, size_t w) {
    uint64_t v = 0;
    if (f[0] & 0x80) {
        for (size_t i = 1; i < w; ++i)
            v = (v << 8) | f[i];
        return v;
    }
    size_t i = 0;
    while (i < w && (f[i] == ' ' || f[i] == '\t'))
        ++i;
    for (; i < w && f[i] >= '0' && f[i] <= '7'; ++i)
        v = (v << 3) | static_cast<uint64_t>(f[i] - '0');
    return v;
}

// A numeric header field as the unit's parser reads it: every octal digit of
// the whole field, any other byte skipped.
uint64_t unitNumber(const unsigned char *f, size_t w) {
    uint64_t v = 0;
    for (size_t i = 0; i < w; ++i)
        if (f[i] >= '0' && f[i] <= '7')
            v = (v << 3) | static_cast<uint64_t>(f[i] - '0');
    return v;
}

bool allZero(const unsigned char *b) {
    return std::all_of(b, b + 512, [](unsigned char c) { return c == 0; });
}

// Feeds whole blocks of (p, n) to `onBlock`, keeping a partial one in
// `block`/`fill`; `skip` bytes are passed over first (data of an entry).
template <typename F>
void blocks(const unsigned char *p, size_t n, unsigned char *block, size_t &fill, uint64_t &skip,
            uint64_t &pos, F onBlock) {
    while (n > 0) {
        if (skip > 0) {
            const uint64_t take = std::min<uint64_t>(skip, n);
            skip -= take;
            pos += take;
            p += take;
            n -= static_cast<size_t>(take);
            continue;
        }
        const size_t take = std::min(n, 512 - fill);
        std::memcpy(block + fill, p, take);
        fill += take;
        p += take;
        n -= take;
        if (fill == 512) {
            fill = 0;
            if (!onBlock())
                return;
            pos += 512;
        }
    }
}

} // namespace

void RefTap::feed(const unsigned char *p, size_t n) {
    if (end != UINT64_MAX)
        return;
    blocks(p, n, m_block, m_fill, m_skip, seen, [this]() {
        if (m_extension) {
            // An old GNU sparse header's extension: more of its map, and
            // another block after it while its last byte but seven says so.
            m_extension = m_block[504] != 0;
            if (!m_extension)
                m_skip = m_dataAfter;
            return true;
        }
        if (allZero(m_block)) {
            end = seen;
            return false;
        }
        header();
        return true;
    });
}

void RefTap::header() {
    RawHeader h;
    h.offset = seen;
    h.typeflag = static_cast<char>(m_block[156]);
    const char *name = reinterpret_cast<const char *>(m_block);
    h.name.assign(name, strnlen(name, 100));
    h.nameFull = h.name.size() == 100;
    const char *prefix = reinterpret_cast<const char *>(m_block + 345);
    h.prefix.assign(prefix, strnlen(prefix, 155));
    h.gnuMagic = std::memcmp(m_block + 257, "ustar  ", 7) == 0;
    uint64_t sum = 0;
    int64_t signedSum = 0;
    for (size_t i = 0; i < 512; ++i) {
        const unsigned v = (i >= 148 && i < 156) ? ' ' : m_block[i];
        sum += v;
        signedSum += v >= 0x80 ? static_cast<int64_t>(v) - 256 : v;
    }
    const uint64_t stored = tarNumber(m_block + 148, 8);
    h.sumOk = stored == sum || static_cast<int64_t>(stored) == signedSum;
    headers.push_back(h);
    // Links, devices, folders and FIFOs carry no data for tar.
    const bool noData = h.typeflag >= '1' && h.typeflag <= '6';
    const uint64_t size = noData ? 0 : tarNumber(m_block + 124, 12);
    m_skip = (size + 511) / 512 * 512;
    // An old GNU sparse header whose map goes on in extension blocks
    // (isextended at byte 482): those come before the data.
    if (h.typeflag == 'S' && h.gnuMagic && m_block[482] != 0) {
        m_extension = true;
        m_dataAfter = m_skip;
        m_skip = 0;
    }
}

void UnitModel::feed(const unsigned char *p, size_t n) {
    while (n > 0 && stop == UINT64_MAX) {
        // Whole data blocks of the current entry pass without a copy.
        if (m_fill == 0 && m_remaining > 0 && n >= 512) {
            const uint64_t blocksLeft = (m_remaining + 511u) / 512u;
            const uint64_t take = std::min<uint64_t>(blocksLeft, n / 512) * 512;
            m_remaining = take >= m_remaining ? 0 : m_remaining - static_cast<uint32_t>(take);
            m_pos += take;
            p += take;
            n -= static_cast<size_t>(take);
            continue;
        }
        const size_t take = std::min(n, 512 - m_fill);
        std::memcpy(m_block + m_fill, p, take);
        m_fill += take;
        p += take;
        n -= take;
        if (m_fill == 512) {
            m_fill = 0;
            block(m_block);
            m_pos += 512;
        }
    }
}

void UnitModel::finish() {
    if (m_fill == 0 || stop != UINT64_MAX)
        return;
    const size_t got = m_fill;
    std::memset(m_block + m_fill, 0, 512 - m_fill);
    m_fill = 0;
    if (m_remaining > got) {
        cut = true;
        return;
    }
    block(m_block);
}

void UnitModel::refuse(const std::string &why) {
    stop = m_pos;
    stopWhy = why;
}

void UnitModel::block(const unsigned char *b) {
    if (m_remaining > 0) {
        m_remaining = m_remaining > 512 ? m_remaining - 512 : 0;
        return;
    }
    if (b[0] == 0)
        return; // a header is expected: the unit skips the block
    if (b[99] != 0 || !(b[124] == ' ' || (b[124] >= '0' && b[124] <= '9')))
        return refuse("not a tar header");
    // The path: destination, prefix and "/", name; "\" is "/", doubled "/"
    // are one.
    std::string raw = m_dest;
    const char *prefix = reinterpret_cast<const char *>(b + 345);
    if (prefix[0] != 0)
        raw.append(prefix, strnlen(prefix, 155)).append("/");
    raw.append(reinterpret_cast<const char *>(b), strnlen(reinterpret_cast<const char *>(b), 100));
    std::string path;
    for (char c : raw) {
        if (c == '\\')
            c = '/';
        if (c == '/' && !path.empty() && path.back() == '/')
            continue;
        path += c;
    }
    // Checksum: unsigned or signed-char sum, chksum field as 8 spaces.
    long sum = 0, signedSum = 0;
    for (int i = 0; i < 512; ++i) {
        const int v = (i >= 148 && i < 156) ? ' ' : b[i];
        sum += v;
        signedSum += v >= 0x80 ? v - 256 : v;
    }
    const uint64_t stored = unitNumber(b + 148, 8) & 0xFFFFFFFFu;
    if (static_cast<long>(stored) != sum && static_cast<long>(stored) != signedSum)
        return refuse("header has a bad checksum");
    if (path.size() >= 256)
        return refuse("path of " + std::to_string(path.size()) + " characters, too long");
    std::string rel = path.size() >= m_dest.size() ? path.substr(m_dest.size()) : std::string();
    if (("/" + rel + "/").find("/../") != std::string::npos)
        return refuse("path leaves the destination folder");
    const bool folder = path.back() == '/';
    rel = normalisePath(rel);
    const uint64_t size = unitNumber(b + 124, 12);
    if (size > 0xFFFFFFFFu)
        return refuse("size field over 4 GiB");
    UnitHeader h;
    h.offset = m_pos;
    h.typeflag = static_cast<char>(b[156]);
    h.path = rel;
    h.size = static_cast<uint32_t>(size);
    m_remaining = h.size;
    const char type = folder ? '5' : h.typeflag;
    // Parents of what is made must not be files.
    std::string parent = rel;
    for (size_t slash = parent.find('/'); slash != std::string::npos;
         slash = parent.find('/', slash + 1))
        if (m_files.count(parent.substr(0, slash)) != 0)
            return refuse("a file stands where '" + parent.substr(0, slash) + "' needs a folder");
    if (type == '5') {
        h.kind = 'd';
        if (m_files.count(rel) != 0)
            return refuse("a file stands where folder '" + rel + "' goes");
        m_dirs.insert(rel);
        for (size_t slash = rel.find('/'); slash != std::string::npos;
             slash = rel.find('/', slash + 1))
            m_dirs.insert(rel.substr(0, slash));
    } else if (type >= '1' && type <= '6') {
        h.kind = 'i';
        m_remaining = 0;
    } else {
        h.kind = 'f';
        if (m_dirs.count(rel) != 0 || rel.empty())
            return refuse("a folder stands where file '" + rel + "' goes");
        m_files.insert(rel);
        for (size_t slash = rel.find('/'); slash != std::string::npos;
             slash = rel.find('/', slash + 1))
            m_dirs.insert(rel.substr(0, slash));
    }
    headers.push_back(h);
}

} // namespace mediacheck
