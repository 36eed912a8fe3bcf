// Archive checks: each .tgz is inflated once here to the end of its gzip
// stream (every member, CRC and length trailers), the inflated tar stream is
// read by libarchive (the reference reader) and watched block by block for
// the header forms the unit's extractor does not know; meanwhile the module's
// own extractor writes the archive into a scratch card. What the unit wrote
// is then compared with what the archive declares.
#include "tools/mediacheck/mediacheck.h"

#include "platform/hostsim/hostsim.h"
#include "untgz/C_UNTGZ.h"

#include <archive.h>
#include <archive_entry.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <set>
#include <thread>

namespace fs = std::filesystem;

namespace mediacheck {

namespace {

const size_t k_chunk = 256 * 1024;

// Pull reader of a gzip file: inflates member after member and tells how the
// stream ends. A file without the gzip magic is passed through as it is (the
// unit's reader does the same).
class GzStream {
public:
    explicit GzStream(const std::string &path) : m_in(k_chunk), m_out(k_chunk) {
        m_file = std::fopen(path.c_str(), "rb");
        std::memset(&m_z, 0, sizeof m_z);
        if (m_file == nullptr) {
            fail("GZ_UNREADABLE", "the archive cannot be opened");
            return;
        }
        fill();
        if (m_z.avail_in == 0) {
            fail("GZ_TRUNCATED", "the archive is empty: the unit extracts nothing");
            return;
        }
        if (m_z.avail_in < 2 || m_z.next_in[0] != 0x1F || m_z.next_in[1] != 0x8B) {
            m_raw = true;
            return;
        }
        if (inflateInit2(&m_z, 15 + 16) != Z_OK)
            fail("GZ_UNREADABLE", "zlib cannot start");
        else
            m_inflating = true;
    }
    ~GzStream() {
        if (m_inflating)
            inflateEnd(&m_z);
        if (m_file != nullptr)
            std::fclose(m_file);
    }
    GzStream(const GzStream &) = delete;
    GzStream &operator=(const GzStream &) = delete;

    // The next piece of the inflated stream: its size (> 0), 0 at the
    // complete end, -1 after an error (code() and message() say which).
    long next(const unsigned char **data) {
        if (m_failed)
            return -1;
        if (m_done)
            return 0;
        if (m_raw)
            return nextRaw(data);
        m_z.next_out = m_out.data();
        m_z.avail_out = static_cast<uInt>(m_out.size());
        while (m_z.avail_out > 0) {
            if (m_z.avail_in == 0 && !fill()) {
                if (m_failed)
                    return -1;
                fail("GZ_TRUNCATED", "the gzip stream is cut short (member " +
                                         std::to_string(m_members + 1) +
                                         " has no end): the unit's last files are short or "
                                         "missing");
                return -1;
            }
            int rc = inflate(&m_z, Z_NO_FLUSH);
            if (rc == Z_STREAM_END) {
                ++m_members;
                if (!nextMember())
                    break;
            } else if (rc == Z_DATA_ERROR || rc == Z_NEED_DICT || rc == Z_MEM_ERROR) {
                std::string why = m_z.msg != nullptr ? m_z.msg : "damaged data";
                fail("GZ_CORRUPT", "gzip member " + std::to_string(m_members + 1) + ": " + why +
                                       ": the unit's extraction fails there");
                return -1;
            }
        }
        *data = m_out.data();
        return static_cast<long>(m_out.size() - m_z.avail_out);
    }

    bool raw() const { return m_raw; }
    bool failed() const { return m_failed; }
    const std::string &code() const { return m_code; }
    const std::string &message() const { return m_message; }
    const std::string &trailing() const { return m_trailing; }
    uint64_t compressedRead() const { return m_read; }

private:
    // Reads more of the file behind the bytes not yet inflated. False at the
    // end of the file (or on a read error, noted).
    bool fill() {
        if (m_file == nullptr)
            return false;
        size_t keep = m_z.avail_in;
        if (keep > 0 && m_z.next_in != m_in.data())
            std::memmove(m_in.data(), m_z.next_in, keep);
        size_t n = std::fread(m_in.data() + keep, 1, m_in.size() - keep, m_file);
        if (n == 0 && std::ferror(m_file)) {
            fail("GZ_UNREADABLE", "read error in the archive");
            return false;
        }
        m_read += n;
        m_z.next_in = m_in.data();
        m_z.avail_in = static_cast<uInt>(keep + n);
        return n > 0;
    }

    // After a member's end: true when another member follows (the inflater
    // is reset for it); false at the end of the file, with trailing bytes
    // that start no member noted.
    bool nextMember() {
        if (m_z.avail_in == 0 && !fill()) {
            m_done = !m_failed;
            return false;
        }
        if (m_z.avail_in < 2)
            fill(); // the magic may straddle two reads
        if (m_z.avail_in >= 2 && m_z.next_in[0] == 0x1F && m_z.next_in[1] == 0x8B) {
            inflateReset(&m_z);
            return true;
        }
        // Bytes after the last member: the unit ignores them.
        bool zeros = true;
        uint64_t count = 0;
        do {
            for (uInt i = 0; i < m_z.avail_in; ++i)
                zeros = zeros && m_z.next_in[i] == 0;
            count += m_z.avail_in;
            m_z.avail_in = 0;
        } while (fill());
        if (!zeros)
            m_trailing = std::to_string(count) +
                         " bytes after the last gzip member start no member; the unit ignores "
                         "them";
        m_done = !m_failed;
        return false;
    }

    long nextRaw(const unsigned char **data) {
        if (m_z.avail_in == 0 && !fill()) {
            m_done = !m_failed;
            return m_failed ? -1 : 0;
        }
        *data = m_z.next_in;
        long n = static_cast<long>(m_z.avail_in);
        m_z.avail_in = 0;
        return n;
    }

    void fail(const std::string &code, const std::string &message) {
        if (m_failed)
            return;
        m_failed = true;
        m_code = code;
        m_message = message;
    }

    FILE *m_file = nullptr;
    z_stream m_z;
    std::vector<unsigned char> m_in;
    std::vector<unsigned char> m_out;
    bool m_inflating = false;
    bool m_raw = false;
    bool m_done = false;
    bool m_failed = false;
    int m_members = 0;
    uint64_t m_read = 0;
    std::string m_code;
    std::string m_message;
    std::string m_trailing;
};

// A tar header as it stands in the stream.
struct RawHeader {
    uint64_t offset = 0;
    char typeflag = '0';
    std::string name;      // the name field, up to its first NUL (100 bytes at most)
    std::string prefix;    // the prefix field, up to its first NUL
    bool nameFull = false; // all 100 bytes of the name field used: no NUL
};

// Watches the inflated stream and notes every tar header (by the tar
// format's own framing: a header, then its data blocks).
class HeaderTap {
public:
    void feed(const unsigned char *p, size_t n) {
        while (n > 0) {
            if (m_skip > 0) {
                uint64_t take = std::min<uint64_t>(m_skip, n);
                m_skip -= take;
                m_pos += take;
                p += take;
                n -= static_cast<size_t>(take);
                continue;
            }
            size_t take = std::min(n, sizeof m_block - m_fill);
            std::memcpy(m_block + m_fill, p, take);
            m_fill += take;
            p += take;
            n -= take;
            if (m_fill == sizeof m_block) {
                header();
                m_fill = 0;
                m_pos += sizeof m_block;
            }
        }
    }
    std::vector<RawHeader> headers;

private:
    static uint64_t number(const unsigned char *f, size_t w) {
        if (f[0] & 0x80) { // base-256, for sizes past the octal field
            uint64_t v = 0;
            for (size_t i = 1; i < w; ++i)
                v = (v << 8) | f[i];
            return v;
        }
        uint64_t v = 0;
        for (size_t i = 0; i < w; ++i)
            if (f[i] >= '0' && f[i] <= '7')
                v = (v << 3) | static_cast<uint64_t>(f[i] - '0');
        return v;
    }
    void header() {
        bool zero =
            std::all_of(m_block, m_block + sizeof m_block, [](unsigned char c) { return c == 0; });
        if (zero)
            return;
        RawHeader h;
        h.offset = m_pos;
        h.typeflag = static_cast<char>(m_block[156]);
        const char *name = reinterpret_cast<const char *>(m_block);
        h.name.assign(name, strnlen(name, 100));
        h.nameFull = h.name.size() == 100;
        const char *prefix = reinterpret_cast<const char *>(m_block + 345);
        h.prefix.assign(prefix, strnlen(prefix, 155));
        headers.push_back(h);
        uint64_t size = number(m_block + 124, 12);
        m_skip = (size + 511) / 512 * 512;
    }

    unsigned char m_block[512] = {};
    size_t m_fill = 0;
    uint64_t m_skip = 0;
    uint64_t m_pos = 0;
};

// One entry as libarchive read it.
struct Entry {
    std::string path;
    int type = AE_IFREG;
    bool hardlink = false;
    bool sparse = false;
    uint64_t size = 0;
    uint64_t position = 0; // offset of its first header in the tar stream
};

// What the reference pass produced.
struct Reference {
    std::vector<Entry> entries;
    std::vector<RawHeader> headers;
    std::string tarError; // libarchive's complaint, when it stopped early
    std::string gzCode, gzMessage, gzTrailing;
    bool gzRaw = false;
};

struct ReadContext {
    GzStream *stream;
    HeaderTap *tap;
    const std::function<void(uint64_t)> *progress;
};

la_ssize_t readCallback(struct archive *a, void *client, const void **buffer) {
    ReadContext *ctx = static_cast<ReadContext *>(client);
    const unsigned char *data = nullptr;
    long n = ctx->stream->next(&data);
    if (n < 0) {
        archive_set_error(a, EIO, "%s", ctx->stream->message().c_str());
        return -1;
    }
    if (n > 0)
        ctx->tap->feed(data, static_cast<size_t>(n));
    if (*ctx->progress)
        (*ctx->progress)(ctx->stream->compressedRead());
    *buffer = data;
    return n;
}

// Reads the archive with libarchive, then drains the gzip stream to its end.
void readReference(const std::string &hostPath, Reference &ref,
                   const std::function<void(uint64_t)> &progress) {
    GzStream stream(hostPath);
    HeaderTap tap;
    ReadContext ctx{&stream, &tap, &progress};
    struct archive *a = archive_read_new();
    archive_read_support_format_tar(a);
    archive_read_support_format_gnutar(a);
    if (archive_read_open(a, &ctx, nullptr, readCallback, nullptr) != ARCHIVE_OK) {
        ref.tarError = archive_error_string(a) != nullptr ? archive_error_string(a) : "unreadable";
    } else {
        struct archive_entry *e = nullptr;
        for (;;) {
            int rc = archive_read_next_header(a, &e);
            if (rc == ARCHIVE_EOF)
                break;
            if (rc < ARCHIVE_WARN) {
                const char *why = archive_error_string(a);
                ref.tarError = why != nullptr ? why : "unreadable tar data";
                break;
            }
            Entry en;
            const char *p = archive_entry_pathname(e);
            if (p == nullptr)
                p = archive_entry_pathname_utf8(e);
            en.path = p != nullptr ? p : "";
            en.type = static_cast<int>(archive_entry_filetype(e));
            en.hardlink = archive_entry_hardlink(e) != nullptr;
            en.sparse = archive_entry_sparse_count(e) > 0;
            en.size = archive_entry_size(e) > 0 ? static_cast<uint64_t>(archive_entry_size(e)) : 0;
            en.position = static_cast<uint64_t>(archive_read_header_position(a));
            ref.entries.push_back(en);
            if (archive_read_data_skip(a) < ARCHIVE_WARN) {
                const char *why = archive_error_string(a);
                ref.tarError = why != nullptr ? why : "unreadable tar data";
                break;
            }
        }
    }
    archive_read_free(a);
    // Every member is verified, also past the tar end blocks.
    const unsigned char *rest = nullptr;
    long n = 0;
    while ((n = stream.next(&rest)) > 0) {
        if (progress)
            progress(stream.compressedRead());
    }
    ref.headers = std::move(tap.headers);
    ref.gzRaw = stream.raw();
    if (stream.failed()) {
        ref.gzCode = stream.code();
        ref.gzMessage = stream.message();
    }
    ref.gzTrailing = stream.trailing();
}

// A tar path as a file system sees it: no "." components, no doubled or
// leading "/" (the unit writes an absolute name under its destination).
std::string normalise(const std::string &path) {
    std::string out;
    size_t i = 0;
    while (i <= path.size()) {
        size_t j = path.find('/', i);
        if (j == std::string::npos)
            j = path.size();
        std::string comp = path.substr(i, j - i);
        if (!comp.empty() && comp != ".") {
            if (!out.empty())
                out += '/';
            out += comp;
        }
        i = j + 1;
    }
    return out;
}

bool nonAscii(const std::string &s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool climbs(const std::string &path) {
    return ("/" + path + "/").find("/../") != std::string::npos;
}

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return s;
}

// Why the module's extraction failed: its first refusal of a header, else
// its first error line, without the tick count.
std::string extractorReason(const std::vector<hostsim::LogLine> &lines) {
    static const char *const refusals[] = {"not a valid tar file", "bad checksum", "refused",
                                           "Garbage detected"};
    static const char *const errors[] = {"ERROR", "error"};
    for (const auto *set : {&refusals[0], &errors[0]}) {
        const size_t count = set == &refusals[0] ? 4 : 2;
        for (const hostsim::LogLine &l : lines) {
            const std::string &t = l.text;
            const size_t open = t.find(" - (");
            if (open == std::string::npos)
                continue;
            for (size_t i = 0; i < count; ++i) {
                if (t.find(set[i]) == std::string::npos)
                    continue;
                std::string s = t.substr(open + 3);
                while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
                    s.pop_back();
                return s;
            }
        }
    }
    return "see the module's log";
}

// Regular files under `root`, relative path -> size.
std::map<std::string, uint64_t> filesUnder(const std::string &root) {
    std::map<std::string, uint64_t> files;
    std::error_code ec;
    if (!fs::exists(root, ec))
        return files;
    for (auto it = fs::recursive_directory_iterator(root, ec); !ec && it != fs::end(it);
         it.increment(ec)) {
        if (it->is_regular_file(ec))
            files[fs::relative(it->path(), root, ec).generic_string()] = it->file_size(ec);
    }
    return files;
}

// Adds one finding.
void add(std::vector<Finding> &out, Severity s, const char *code, const std::string &path,
         const std::string &message) {
    out.push_back(Finding{s, code, path, message});
}

} // namespace

void checkArchive(const std::string &relPath, const std::string &hostPath,
                  const std::string &scratchDir, const std::vector<long> &blockSizes,
                  std::vector<Finding> &findings, ArchiveSummary &summary,
                  const std::function<void(uint64_t)> &progress) {
    // The reference pass runs beside the module's extraction (each inflates
    // the archive once; the machine's second core takes one of them).
    Reference ref;
    std::thread reader([&]() { readReference(hostPath, ref, progress); });

    hostsim::mountDevice("/SDH", scratchDir);
    hostsim::captureLog(true);
    int rc = -1;
    C_UNTGZ *untgz = C_UNTGZ::GetInstance();
    if (untgz != nullptr) {
        const std::string unitArchive = "/DVD/" + relPath;
        rc = untgz->Untar(unitArchive.c_str(), "/SDH/MAPPE/", 1, 1);
    }
    std::vector<hostsim::LogLine> extractorLog = hostsim::capturedLog();
    hostsim::captureLog(false);
    reader.join();

    const std::string written = scratchDir + "/MAPPE";
    std::map<std::string, uint64_t> actual = filesUnder(written);
    std::error_code ec;
    fs::remove_all(written, ec);
    hostsim::unmountDevice("/SDH");

    // The gzip stream.
    if (!ref.gzCode.empty())
        add(findings, Severity::Error, ref.gzCode.c_str(), relPath, ref.gzMessage);
    if (ref.gzRaw)
        add(findings, Severity::Warning, "GZ_NOT_GZIP", relPath,
            "not gzip-compressed: the unit reads it as a plain tar file");
    if (!ref.gzTrailing.empty())
        add(findings, Severity::Warning, "GZ_TRAILING_DATA", relPath, ref.gzTrailing);
    if (!ref.tarError.empty() && ref.gzCode.empty())
        add(findings, Severity::Error, "TAR_UNREADABLE", relPath,
            "the reference reader stops: " + ref.tarError);
    summary.readable = ref.gzCode.empty() && ref.tarError.empty();

    // Headers of each entry: from its first header up to the next entry's.
    std::vector<std::vector<const RawHeader *>> headersOf(ref.entries.size());
    for (size_t i = 0, h = 0; i < ref.entries.size(); ++i) {
        uint64_t end = i + 1 < ref.entries.size() ? ref.entries[i + 1].position : UINT64_MAX;
        while (h < ref.headers.size() && ref.headers[h].offset < ref.entries[i].position)
            ++h;
        while (h < ref.headers.size() && ref.headers[h].offset < end)
            headersOf[i].push_back(&ref.headers[h++]);
    }

    // Entry by entry: what the unit cannot write as the archive says.
    std::set<std::string> explainedStrays; // files the unit writes for extension headers
    std::vector<bool> explained(ref.entries.size(), false);
    std::map<std::string, std::string> byCase;
    for (size_t i = 0; i < ref.entries.size(); ++i) {
        const Entry &e = ref.entries[i];
        const std::string where = "entry '" + e.path + "': ";
        bool longName = false, pax = false, sparse = e.sparse, full = false;
        for (const RawHeader *h : headersOf[i]) {
            const char t = h->typeflag;
            if (t == 'L' || t == 'K' || t == 'x' || t == 'g')
                explainedStrays.insert(
                    normalise(h->prefix.empty() ? h->name : h->prefix + "/" + h->name));
            longName = longName || t == 'L' || t == 'K';
            pax = pax || t == 'x' || t == 'g';
            sparse = sparse || t == 'S';
            if (t != 'L' && t != 'K' && t != 'x' && t != 'g') {
                full = full || h->nameFull;
                explainedStrays.insert(
                    normalise(h->prefix.empty() ? h->name : h->prefix + "/" + h->name));
            }
        }
        if (longName) {
            add(findings, Severity::Error, "TAR_GNU_LONGNAME", relPath,
                where + "GNU long-name header: the unit writes it as a stray file '@LongLink' "
                        "and the entry under its name cut to 100 characters");
        }
        if (pax) {
            add(findings, Severity::Error, "TAR_PAX_HEADER", relPath,
                where + "pax extended header: the unit writes it as a stray file and ignores "
                        "the name, size or times it carries");
        }
        if (full && !longName && !pax) {
            add(findings, Severity::Error, "TAR_NAME_100", relPath,
                where + "name of 100 characters written without a NUL: the unit refuses the "
                        "header and stops the extraction");
        }
        if (sparse) {
            add(findings, Severity::Error, "TAR_SPARSE", relPath,
                where + "sparse file: the unit writes its stored pieces, not the file of " +
                    std::to_string(e.size) + " bytes");
        }
        if (nonAscii(e.path)) {
            add(findings, Severity::Error, "TAR_NON_ASCII_NAME", relPath,
                where + "name with non-ASCII characters: the unit does not write it under that "
                        "name");
        }
        const bool absolute = !e.path.empty() && (e.path[0] == '/' || e.path[0] == '\\');
        if (climbs(e.path) || absolute) {
            add(findings, Severity::Error, "TAR_UNSAFE_PATH", relPath,
                where + (absolute ? std::string("absolute path: tar -x strips or refuses it; the "
                                                "unit writes it under its destination folder")
                                  : std::string("path with '..': the unit refuses it and stops the "
                                                "extraction")));
        }
        if (e.path.find('\\') != std::string::npos)
            add(findings, Severity::Error, "TAR_NAME_CHANGED", relPath,
                where + "backslash in the name: the unit writes it as a folder separator");
        explained[i] = longName || pax || full || sparse || nonAscii(e.path) || climbs(e.path) ||
                       absolute || e.path.find('\\') != std::string::npos;

        if (e.hardlink || e.type == AE_IFLNK) {
            add(findings, Severity::Warning, "TAR_LINK_IGNORED", relPath,
                where + (e.type == AE_IFLNK ? "symbolic" : "hard") +
                    " link: the unit ignores it and writes nothing");
            continue;
        }
        if (e.type == AE_IFCHR || e.type == AE_IFBLK || e.type == AE_IFIFO || e.type == AE_IFSOCK) {
            add(findings, Severity::Warning, "TAR_SPECIAL_IGNORED", relPath,
                where + "device or FIFO: the unit ignores it");
            continue;
        }
        const std::string norm = normalise(e.path);
        const std::string key = lower(norm);
        auto clash = byCase.find(key);
        if (clash != byCase.end() && clash->second != norm)
            add(findings, Severity::Warning, "TAR_CASE_CLASH", relPath,
                where + "differs from '" + clash->second +
                    "' only by case: on the card's file system one overwrites the other");
        else
            byCase[key] = norm;
        if (e.type == AE_IFREG) {
            summary.fileBytes += e.size;
            for (long bs : blockSizes)
                summary.onCard[bs] += (e.size + static_cast<uint64_t>(bs) - 1) /
                                      static_cast<uint64_t>(bs) * static_cast<uint64_t>(bs);
        }
        summary.entries.push_back(e.path);
    }

    // What the unit wrote against what the archive declares.
    int notWritten = 0;
    std::vector<std::pair<size_t, std::string>> missing;
    for (size_t i = 0; i < ref.entries.size(); ++i) {
        const Entry &e = ref.entries[i];
        if (e.type != AE_IFREG || e.hardlink)
            continue;
        const std::string norm = normalise(e.path);
        auto it = actual.find(norm);
        if (it != actual.end()) {
            if (it->second != e.size && !explained[i])
                add(findings, Severity::Error, "TAR_SIZE_MISMATCH", relPath,
                    "entry '" + e.path + "': the unit writes " + std::to_string(it->second) +
                        " bytes, the archive declares " + std::to_string(e.size));
            actual.erase(it);
        } else if (!explained[i]) {
            if (rc != 0)
                ++notWritten;
            else
                missing.push_back({i, norm});
        }
    }
    for (const auto &m : missing) {
        const Entry &e = ref.entries[m.first];
        // A stray file of the same size is most likely the entry under another name.
        std::string as;
        for (const auto &a : actual)
            if (a.second == e.size && !explainedStrays.count(a.first)) {
                as = a.first;
                break;
            }
        if (!as.empty()) {
            add(findings, Severity::Error, "TAR_NAME_CHANGED", relPath,
                "entry '" + e.path + "': the unit writes it as '" + as + "'");
            actual.erase(as);
        } else {
            add(findings, Severity::Error, "TAR_MISSING_FILE", relPath,
                "entry '" + e.path + "': the unit does not write it");
        }
    }
    // Without the whole reference, files past its end are not strays.
    for (const auto &a : actual) {
        if (!summary.readable || explainedStrays.count(a.first))
            continue;
        add(findings, Severity::Error, "TAR_STRAY_FILE", relPath,
            "the unit writes '" + a.first + "', which the archive does not declare");
    }
    if (rc != 0 && ref.gzCode.empty()) {
        std::string msg = "the unit's extraction fails: " + extractorReason(extractorLog);
        if (notWritten > 0)
            msg += "; " + std::to_string(notWritten) + " further file(s) are not written";
        add(findings, Severity::Error, "TAR_EXTRACT_FAILED", relPath, msg);
    }
}

} // namespace mediacheck
