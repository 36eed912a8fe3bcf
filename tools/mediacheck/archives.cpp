// Archive checks: each .tgz is inflated once here to the end of its gzip
// stream (every member, CRC and length trailers), the inflated tar stream is
// read by libarchive (the reference reader) and watched block by block for
// the header forms the unit's extractor does not know; meanwhile the module's
// own extractor writes the archive into a scratch card. What the unit wrote
// is then compared with what the archive declares.
#include "tools/mediacheck/mediacheck.h"

#include "tools/mediacheck/extractor_reason.h"
#include "tools/mediacheck/findings.h"
#include "tools/mediacheck/outcome.h"

#include "platform/hostsim/hostsim.h"
#include "platform/vxworks.h"
#include "tools/mediacheck/gzstream.h"
#include "tools/mediacheck/tarstreams.h"
#include "untgz/C_UNTGZ.h"

#include <archive.h>
#include <archive_entry.h>

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

// The tick rate of the module's extraction during a check (see extractBoth).
const int k_extraction_tick_hz = 1000000;

// One entry as libarchive read it.
struct Entry {
    std::string path;
    int type = AE_IFREG;
    bool hardlink = false;
    bool linksToFile = false; // a hard link to a regular file tar wrote before it
    std::string linkTarget;   // a hard link's target, as tar names it
    bool sparse = false;
    uint64_t size = 0;
    uint64_t position = 0; // offset of its first header in the tar stream
};

// A file of the reference tree: its state and the entry that wrote it last.
struct RefFile {
    FileDigest state;
    size_t entry = 0;
};

// What the reference pass produced.
struct Reference {
    std::vector<Entry> entries;
    std::map<std::string, RefFile> tree; // final tree, the last copy of a member wins
    RefTap tap;
    UnitModel unit{"/SDH/MAPPE/"};
    std::string tarError; // libarchive's complaint, when it stopped early
    bool gzFailed = false;
    Code gzCode = Code::GzCorrupt;
    std::string gzMessage, gzTrailing;
    bool gzRaw = false;
    // The bounds, and what the entries read so far declare.
    ArchiveLimits limits;
    uint64_t declared = 0;    // bytes of the regular files
    uint64_t scratchNeed = 0; // what they take on the scratch card, with their folders
    bool tooLarge = false;    // declared passed limits.card: read no further
    // When set: the bytes of every small ".txt" file (archiveTree's texts).
    std::map<std::string, std::string> *texts = nullptr;
};

// The largest text file whose bytes archiveTree keeps.
const uint64_t k_text_limit = 64 * 1024;

struct ReadContext {
    GzStream *stream;
    Reference *ref;
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
    if (n > 0) {
        ctx->ref->tap.feed(data, static_cast<size_t>(n));
        ctx->ref->unit.feed(data, static_cast<size_t>(n));
    }
    if (*ctx->progress)
        (*ctx->progress)(ctx->stream->compressedRead());
    *buffer = data;
    return n;
}

// libarchive's complaint, with the tar offset where it stands. ARCHIVE_RETRY
// (a damaged header tar would skip) counts as a stop like any failure.
std::string tarComplaint(struct archive *a, const char *fallback) {
    const char *why = archive_error_string(a);
    return std::string(why != nullptr ? why : fallback) + " (tar offset " +
           std::to_string(archive_read_header_position(a)) + ")";
}

bool failed(int rc) {
    return rc == ARCHIVE_RETRY || rc < ARCHIVE_WARN;
}

// Reads the data of the current entry into `print`; holes of a sparse file
// read as zeros, as tar writes them. False on a read error.
bool digestData(struct archive *a, Fingerprint &print, uint64_t size, FileDigest &out) {
    static const unsigned char zeros[4096] = {};
    uint64_t at = 0;
    auto fillTo = [&](uint64_t to) {
        while (at < to) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(to - at, sizeof zeros));
            print.update(zeros, n);
            at += n;
        }
    };
    for (;;) {
        const void *buf = nullptr;
        size_t len = 0;
        la_int64_t offset = 0;
        const int rc = archive_read_data_block(a, &buf, &len, &offset);
        if (rc == ARCHIVE_EOF)
            break;
        if (failed(rc))
            return false;
        if (offset > 0)
            fillTo(static_cast<uint64_t>(offset));
        print.update(buf, len);
        at += len;
    }
    fillTo(size);
    out.size = at;
    return print.finish(out.print);
}

// Reads the archive with libarchive (the final tree, every file digested),
// then drains the gzip stream to its end through the unit's model.
void readReference(const std::string &hostPath, Reference &ref,
                   const std::function<void(uint64_t)> &progress) {
    GzStream stream(hostPath);
    ReadContext ctx{&stream, &ref, &progress};
    struct archive *a = archive_read_new();
    archive_read_support_format_tar(a);
    archive_read_support_format_gnutar(a);
    archive_read_support_format_empty(a); // a gzip of nothing is an empty archive
    if (archive_read_open(a, &ctx, nullptr, readCallback, nullptr) != ARCHIVE_OK) {
        ref.tarError = tarComplaint(a, "unreadable");
    } else {
        struct archive_entry *e = nullptr;
        for (;;) {
            int rc = archive_read_next_header(a, &e);
            if (rc == ARCHIVE_EOF)
                break;
            if (failed(rc)) {
                ref.tarError = tarComplaint(a, "unreadable tar data");
                break;
            }
            Entry en;
            const char *p = archive_entry_pathname(e);
            if (p == nullptr)
                p = archive_entry_pathname_utf8(e);
            en.path = p != nullptr ? p : "";
            en.type = static_cast<int>(archive_entry_filetype(e));
            en.hardlink = archive_entry_hardlink(e) != nullptr;
            if (en.hardlink)
                en.linkTarget = archive_entry_hardlink(e);
            en.sparse = archive_entry_sparse_count(e) > 0;
            en.size = archive_entry_size(e) > 0 ? static_cast<uint64_t>(archive_entry_size(e)) : 0;
            en.position = static_cast<uint64_t>(archive_read_header_position(a));
            ref.entries.push_back(en);
            // Known from the header, before its data is read: an archive
            // larger than any card is not read (nor extracted) whole.
            const uint64_t bs = ref.limits.blockSize;
            ref.scratchNeed += bs;
            if (en.type == AE_IFREG && !en.hardlink) {
                ref.declared += en.size;
                ref.scratchNeed += (en.size + bs - 1) / bs * bs;
            }
            if (ref.declared > ref.limits.card) {
                ref.tooLarge = true;
                hostsim::setDeviceCapacity("/SDH", 0); // the unit's extraction stops too
                break;
            }
            if (en.hardlink) {
                // tar makes the link a second name of the file: in its tree
                // a regular file of the target's bytes.
                auto target = ref.tree.find(normalisePath(en.linkTarget));
                if (target != ref.tree.end()) {
                    ref.entries.back().linksToFile = true;
                    RefFile f = target->second;
                    f.entry = ref.entries.size() - 1;
                    ref.tree[normalisePath(en.path)] = f;
                }
            }
            if (en.type == AE_IFREG && !en.hardlink) {
                Fingerprint print;
                RefFile f;
                f.entry = ref.entries.size() - 1;
                const std::string name = normalisePath(en.path);
                if (ref.texts != nullptr && en.size <= k_text_limit && !en.sparse &&
                    name.size() > 4 && name.compare(name.size() - 4, 4, ".txt") == 0) {
                    std::string bytes(static_cast<size_t>(en.size), '\0');
                    const la_ssize_t got = archive_read_data(a, &bytes[0], bytes.size());
                    if (got < 0) {
                        ref.tarError = tarComplaint(a, "unreadable tar data");
                        break;
                    }
                    bytes.resize(static_cast<size_t>(got));
                    print.update(bytes.data(), bytes.size());
                    f.state.size = bytes.size();
                    if (!print.finish(f.state.print)) {
                        ref.tarError = "the host cannot hash the data of " + name;
                        break;
                    }
                    (*ref.texts)[name] = bytes;
                } else if (!digestData(a, print, en.size, f.state)) {
                    ref.tarError = tarComplaint(a, "unreadable tar data");
                    break;
                }
                ref.tree[normalisePath(en.path)] = f;
            } else if (failed(archive_read_data_skip(a))) {
                ref.tarError = tarComplaint(a, "unreadable tar data");
                break;
            }
        }
    }
    archive_read_free(a);
    // Every member is verified, also past the tar end blocks, and the unit
    // reads on to the end of the stream.
    const unsigned char *rest = nullptr;
    long n = 0;
    while (!ref.tooLarge && (n = stream.next(&rest)) > 0) {
        ref.unit.feed(rest, static_cast<size_t>(n));
        if (progress)
            progress(stream.compressedRead());
    }
    ref.unit.finish();
    ref.gzRaw = stream.raw();
    if (stream.failed()) {
        ref.gzFailed = true;
        ref.gzCode = stream.code();
        ref.gzMessage = stream.message();
    }
    ref.gzTrailing = stream.trailing();
}

bool nonAscii(const std::string &s) {
    return std::any_of(s.begin(), s.end(),
                       [](char c) { return static_cast<unsigned char>(c) >= 0x80; });
}

bool climbs(const std::string &path) {
    return ("/" + path + "/").find("/../") != std::string::npos;
}

bool extension(char typeflag) {
    return typeflag == 'L' || typeflag == 'K' || typeflag == 'x' || typeflag == 'g';
}

// Up to five names and how many more.
std::string someNames(const std::vector<std::string> &names) {
    std::string out;
    for (size_t i = 0; i < names.size() && i < 5; ++i)
        out += (i == 0 ? "'" : ", '") + names[i] + "'";
    if (names.size() > 5)
        out += " and " + std::to_string(names.size() - 5) + " more";
    return out;
}

// What the phases of one archive's check share: the reference pass, the
// module's extraction, and the tar headers of both readings lined up.
struct ArchiveCheck {
    ArchiveCheck(const std::string &rel, std::vector<Finding> &f, ArchiveSummary &s)
        : relPath(rel), findings(f), summary(s) {}
    const std::string &relPath;
    std::vector<Finding> &findings;
    ArchiveSummary &summary;

    Reference ref;                              // what tar reads
    int rc = -1;                                // the module's extraction result
    std::vector<hostsim::LogLine> extractorLog; // its log lines
    std::map<std::string, FileDigest> actual;   // what it wrote, by path
    bool actualRead = false;                    // ...read back whole
    bool gzOk = false;                          // the gzip stream read to its end

    // Headers of each entry: from its first header up to the next entry's.
    // The last one is the entry's own; those before it are extensions (long
    // name, pax) or labels that tar folds into it.
    std::vector<long> entryOfHeader; // tar header -> its entry (-1: none)
    std::vector<long> firstHeader;   // entry -> its first tar header
    std::vector<long> mainHeader;    // entry -> its own tar header (-1: none)
    std::map<uint64_t, size_t> headerAt;
    // The unit's headers by offset, and the last one that wrote each file.
    std::map<uint64_t, size_t> unitAt;
    std::map<std::string, size_t> unitWriter;

    std::vector<bool> explained;                    // entry -> a finding already tells its cause
    std::set<std::string> told;                     // unit files already explained
    int notWritten = 0;                             // files the failed extraction never reached
    std::vector<std::string> afterEnd, overwritten; // written from past tar's end

    // The unit's header that wrote entry `entry`, or null.
    const UnitHeader *unitOf(size_t entry) const {
        if (mainHeader[entry] < 0)
            return nullptr;
        auto it = unitAt.find(ref.tap.headers[static_cast<size_t>(mainHeader[entry])].offset);
        return it == unitAt.end() ? nullptr : &ref.unit.headers[it->second];
    }
    // Where tar's archive ends (all of the stream when tar could not read it
    // whole), and whether the unit's parser refused a block.
    uint64_t refEnd() const { return summary.readable ? ref.tap.end : UINT64_MAX; }
    bool unitStopped() const { return rc != 0 && ref.unit.stop != UINT64_MAX; }
};

// Extracts the archive with the module's extractor into `scratchDir` mounted
// as "/SDH" while the reference pass reads it on a second thread (each
// inflates the archive once; the machine's second core takes one of them);
// then digests what the unit wrote and empties the scratch card. The
// extractor's flush before its success does not wait for the disk: the
// scratch copy is deleted right after, and the wait would cost the disk's
// whole write time.
void extractBoth(ArchiveCheck &c, const std::string &hostPath, const std::string &scratchDir,
                 const std::function<void(uint64_t)> &progress) {
    hostsim::mountDevice("/SDH", scratchDir);
    // The extraction writes no more than the smaller bound: a card's worth,
    // or what the scratch file system has room for (the reference pass
    // stops it at once past the card's).
    const uint64_t bound = std::min(c.ref.limits.card, c.ref.limits.scratch);
    hostsim::setDeviceCapacity(
        "/SDH", bound >= static_cast<uint64_t>(INT64_MAX) ? -1 : static_cast<long long>(bound));
    std::thread reader([&]() { readReference(hostPath, c.ref, progress); });
    hostsim::captureLog(true);
    hostsim::setSyncsReachDisk(false);
    // The extractor pauses 50 ticks after every extraction (8 ms at the
    // simulator's usual rate, most of a small archive's check): its pauses
    // tell nothing of what it writes, and pass at once at a raised rate.
    const int rate = sysClkRateGet();
    hostsim::setTickRate(k_extraction_tick_hz);
    C_UNTGZ *untgz = C_UNTGZ::GetInstance();
    if (untgz != nullptr) {
        const std::string unitArchive = "/DVD/" + c.relPath;
        c.rc = untgz->Untar(unitArchive.c_str(), "/SDH/MAPPE/", 1, 1);
    }
    hostsim::setTickRate(rate);
    hostsim::setSyncsReachDisk(true);
    c.extractorLog = hostsim::capturedLog();
    hostsim::captureLog(false);
    reader.join();

    // The unit's tree, every file digested.
    const std::string written = scratchDir + "/MAPPE";
    c.actualRead = digestTree(written, c.actual);
    std::error_code ec;
    fs::remove_all(written, ec);
    hostsim::setDeviceCapacity("/SDH", -1);
    hostsim::unmountDevice("/SDH");
}

// The gzip stream's findings, the reference reader's stop, and a tree the
// unit wrote that cannot be read back.
void reportStream(ArchiveCheck &c) {
    const Reference &ref = c.ref;
    c.gzOk = !ref.gzFailed;
    if (!c.gzOk)
        add(c.findings, ref.gzCode, c.relPath, ref.gzMessage);
    if (ref.gzRaw)
        add(c.findings, Code::GzNotGzip, c.relPath,
            "not gzip-compressed: the unit reads it as a plain tar file");
    if (!ref.gzTrailing.empty())
        add(c.findings, Code::GzTrailingData, c.relPath, ref.gzTrailing);
    if (!ref.tarError.empty() && c.gzOk)
        add(c.findings, Code::TarUnreadable, c.relPath,
            "the reference reader stops: " + ref.tarError +
                (c.rc != 0 ? "; the unit's extraction fails: " + extractorReason(c.extractorLog)
                           : std::string("; the unit extracts it without complaint")));
    if (!c.actualRead)
        add(c.findings, Code::TarExtractFailed, c.relPath,
            "what the unit wrote cannot be read back from the scratch card");
    c.summary.readable = c.gzOk && ref.tarError.empty();
}

// Lines up tar's headers with the entries libarchive read, and the unit's
// headers by offset.
void mapHeaders(ArchiveCheck &c) {
    const std::vector<RawHeader> &headers = c.ref.tap.headers;
    const std::vector<Entry> &entries = c.ref.entries;
    c.entryOfHeader.assign(headers.size(), -1);
    c.firstHeader.assign(entries.size(), 0);
    c.mainHeader.assign(entries.size(), -1);
    for (size_t h = 0; h < headers.size(); ++h)
        c.headerAt[headers[h].offset] = h;
    for (size_t i = 0, h = 0; i < entries.size(); ++i) {
        uint64_t end = i + 1 < entries.size() ? entries[i + 1].position : UINT64_MAX;
        while (h < headers.size() && headers[h].offset < entries[i].position)
            ++h;
        c.firstHeader[i] = static_cast<long>(h);
        while (h < headers.size() && headers[h].offset < end) {
            c.entryOfHeader[h] = static_cast<long>(i);
            c.mainHeader[i] = static_cast<long>(h++);
        }
    }
    const std::vector<UnitHeader> &unitHeaders = c.ref.unit.headers;
    for (size_t u = 0; u < unitHeaders.size(); ++u) {
        c.unitAt[unitHeaders[u].offset] = u;
        if (unitHeaders[u].kind == 'f')
            c.unitWriter[unitHeaders[u].path] = u;
    }
}

// Entry `owner`'s name for messages, or "an entry" when the offset lies in
// no entry of tar's.
std::string entryName(const ArchiveCheck &c, long owner) {
    return owner >= 0 ? "entry '" + c.ref.entries[static_cast<size_t>(owner)].path + "'"
                      : std::string("no entry");
}

// The entry of tar's whose headers or data hold tar offset `off`, or -1.
long entryAt(const ArchiveCheck &c, uint64_t off) {
    auto at = c.headerAt.upper_bound(off);
    if (at == c.headerAt.begin())
        return -1;
    return c.entryOfHeader[std::prev(at)->second];
}

// What the unit does with the block at tar offset `off`, a header it
// refuses: its extraction stops there, or it never reads the block as a
// header (it takes it for data of an entry before it, or stopped earlier).
std::string unitReadingOf(const ArchiveCheck &c, uint64_t off) {
    const UnitModel &unit = c.ref.unit;
    if (unit.stop == off)
        return "the unit refuses the header and stops the extraction";
    auto after = c.unitAt.upper_bound(off);
    if (after != c.unitAt.begin()) {
        const UnitHeader &h = unit.headers[std::prev(after)->second];
        const uint64_t dataEnd = h.offset + 512 + (static_cast<uint64_t>(h.size) + 511) / 512 * 512;
        if (h.kind != 'i' && off < dataEnd)
            return "the unit would refuse the header, but reads the block as data of entry '" +
                   h.path + (h.kind == 'd' ? "/" : "") + "' before it";
    }
    if (unit.stop < off)
        return "the unit would refuse the header, but its extraction stops before it (tar "
               "offset " +
               std::to_string(unit.stop) + ")";
    return "the unit refuses the header and stops the extraction";
}

// Folder entries with a size field: the unit skips that much data after the
// header (tar reads none); where tar has headers there, those entries are
// lost to the unit or garbled, and are told here, by the folder.
void reportFolderSizes(ArchiveCheck &c) {
    for (const UnitHeader &u : c.ref.unit.headers) {
        if (u.kind != 'd' || u.size == 0)
            continue;
        const uint64_t from = u.offset + 512;
        const uint64_t to = from + (static_cast<uint64_t>(u.size) + 511) / 512 * 512;
        std::vector<std::string> lost;
        for (auto h = c.headerAt.lower_bound(from); h != c.headerAt.end() && h->first < to; ++h) {
            const long owner = c.entryOfHeader[h->second];
            if (owner < 0 || c.explained[static_cast<size_t>(owner)])
                continue;
            c.explained[static_cast<size_t>(owner)] = true;
            lost.push_back(c.ref.entries[static_cast<size_t>(owner)].path);
        }
        if (lost.empty())
            continue;
        auto own = c.headerAt.find(u.offset);
        const std::string folder =
            own != c.headerAt.end() && c.entryOfHeader[own->second] >= 0
                ? c.ref.entries[static_cast<size_t>(c.entryOfHeader[own->second])].path
                : u.path + "/";
        add(c.findings, Code::TarFolderSize, c.relPath,
            entrySubject(folder) + "folder with a size field of " + std::to_string(u.size) +
                " bytes: the unit skips the " + std::to_string((to - from) / 512) +
                " block(s) after it, where tar reads the header(s) of " + someNames(lost) +
                ", which the unit loses; write the folder with a size of 0");
    }
}

// The header forms of entry `i` the unit does not read as tar does (long
// names, pax, full names, GNU incremental headers, sparse files) and its
// unsafe or changed names. True when a finding explains what the unit
// writes of it.
bool reportHeaderForms(ArchiveCheck &c, size_t i) {
    const std::vector<RawHeader> &headers = c.ref.tap.headers;
    const Entry &e = c.ref.entries[i];
    const Subject where = entrySubject(e.path);
    const std::string &relPath = c.relPath;
    bool longName = false, pax = false, sparse = e.sparse, full = false, incremental = false;
    for (long h = c.firstHeader[i]; h <= c.mainHeader[i]; ++h) {
        const char t = headers[static_cast<size_t>(h)].typeflag;
        longName = longName || t == 'L' || t == 'K';
        pax = pax || t == 'x' || t == 'g';
        sparse = sparse || t == 'S';
        if (!extension(t) && t != 'V') {
            const RawHeader &raw = headers[static_cast<size_t>(h)];
            full = full || (raw.nameFull && raw.sumOk);
            incremental = incremental || (raw.gnuMagic && !raw.prefix.empty());
        }
    }
    if (longName) {
        add(c.findings, Code::TarGnuLongname, relPath,
            where + "GNU long-name header: the unit writes it as a stray file '@LongLink' "
                    "and the entry under its name cut to 100 characters");
    }
    if (pax) {
        add(c.findings, Code::TarPaxHeader, relPath,
            where + "pax extended header: the unit writes it as a stray file and ignores "
                    "the name, size or times it carries");
    }
    if (full && !longName && !pax) {
        add(c.findings, Code::TarName100, relPath,
            where + "name of 100 characters written without a NUL: " +
                unitReadingOf(c, headers[static_cast<size_t>(c.mainHeader[i])].offset));
    }
    if (incremental && !longName && !pax && !full) {
        const UnitHeader *u = c.unitOf(i);
        add(c.findings, Code::TarGnuIncremental, relPath,
            where +
                "GNU incremental header (tar --listed-incremental): its access and "
                "change times sit where the unit reads a path prefix, so the unit " +
                (u != nullptr && e.type == AE_IFREG
                     ? "writes it as '" + u->path + "'"
                     : std::string("writes it under a folder named after them")) +
                "; write the archive without --listed-incremental");
    }
    if (sparse) {
        add(c.findings, Code::TarSparse, relPath,
            where + "sparse file: the unit writes its stored pieces, not the file of " +
                std::to_string(e.size) + " bytes");
    }
    if (nonAscii(e.path)) {
        add(c.findings, Code::TarNonAsciiName, relPath,
            where + "name with non-ASCII characters: the unit writes its bytes as tar does, "
                    "but the card's file system may store or show such a name differently");
    }
    const bool absolute = !e.path.empty() && (e.path[0] == '/' || e.path[0] == '\\');
    if (climbs(e.path)) {
        add(c.findings, Code::TarUnsafePath, relPath,
            where + "path with '..': the unit refuses it and stops the extraction");
    } else if (absolute) {
        // The unit joins every name to its destination folder, the leading
        // "/" folded into the folder's own: it lands where GNU tar, which
        // strips the "/", writes it.
        const UnitHeader *u = c.unitOf(i);
        const std::string at = u != nullptr ? u->path : normalisePath(e.path);
        add(c.findings, Code::TarAbsolutePath, relPath,
            where +
                "absolute name: the unit writes it under its destination folder, as "
                "'/SDH/MAPPE/" +
                at +
                "' (GNU tar strips the '/' alike); write names relative to the "
                "destination");
    }
    if (e.path.find('\\') != std::string::npos)
        add(c.findings, Code::TarNameChanged, relPath,
            where + "backslash in the name: the unit writes it as a folder separator");
    return longName || pax || full || sparse || incremental || climbs(e.path) ||
           e.path.find('\\') != std::string::npos;
}

// Entry by entry: what the unit cannot write as the archive says; links,
// devices and names equal but for case. Fills `summary.entries` with the
// entries the unit writes.
void reportEntries(ArchiveCheck &c) {
    c.explained.assign(c.ref.entries.size(), false);
    std::map<std::string, std::string> byCase;
    for (size_t i = 0; i < c.ref.entries.size(); ++i) {
        const Entry &e = c.ref.entries[i];
        const Subject where = entrySubject(e.path);
        c.explained[i] = reportHeaderForms(c, i);
        if (e.linksToFile) {
            add(c.findings, Code::TarHardLink, c.relPath,
                where + "hard link to '" + e.linkTarget +
                    "': tar writes the file there, the unit writes nothing; store the file "
                    "itself (tar --hard-dereference)");
            c.explained[i] = true;
            continue;
        }
        if (e.hardlink || e.type == AE_IFLNK) {
            add(c.findings, Code::TarLinkIgnored, c.relPath,
                where + (e.type == AE_IFLNK ? "symbolic" : "hard") +
                    " link: the unit ignores it and writes nothing");
            continue;
        }
        if (e.type == AE_IFCHR || e.type == AE_IFBLK || e.type == AE_IFIFO || e.type == AE_IFSOCK) {
            add(c.findings, Code::TarSpecialIgnored, c.relPath,
                where + "device or FIFO: the unit ignores it");
            continue;
        }
        const std::string norm = normalisePath(e.path);
        const std::string key = lower(norm);
        auto clash = byCase.find(key);
        if (clash != byCase.end() && clash->second != norm)
            add(c.findings, Code::TarCaseClash, c.relPath,
                where + "differs from '" + clash->second +
                    "' only by case: on the card's file system one overwrites the other");
        else
            byCase[key] = norm;
        c.summary.entries.push_back(e.path);
    }
}

// A file of tar's final tree that the unit does not write as tar does:
// another name, not reached, or not taken for a header.
void reportMissingFile(ArchiveCheck &c, const std::string &path, size_t i) {
    const Subject where = entrySubject(c.ref.entries[i].path);
    const UnitHeader *u = c.unitOf(i);
    const uint64_t at = c.mainHeader[i] >= 0
                            ? c.ref.tap.headers[static_cast<size_t>(c.mainHeader[i])].offset
                            : c.ref.entries[i].position;
    if (u != nullptr && u->kind == 'f' && u->path != path && c.actual.count(u->path) != 0) {
        add(c.findings, Code::TarNameChanged, c.relPath,
            where + "the unit writes it as '" + u->path + "'");
        c.told.insert(u->path);
    } else if (c.rc != 0 && (!c.unitStopped() || c.ref.unit.stop <= at)) {
        ++c.notWritten;
    } else if (u == nullptr) {
        add(c.findings, Code::TarMissingFile, c.relPath,
            where + "the unit does not write it: it does not take the block at tar offset " +
                std::to_string(at) + " for a header");
    } else {
        add(c.findings, Code::TarMissingFile, c.relPath, where + "the unit does not write it");
    }
}

// The two final trees, from tar's side: each difference told once, by the
// entry that caused it; files the unit overwrote from past tar's end noted.
void compareTarTree(ArchiveCheck &c) {
    const uint64_t refEnd = c.refEnd();
    for (const auto &r : c.ref.tree) {
        const std::string &path = r.first;
        const size_t i = r.second.entry;
        auto got = c.actual.find(path);
        if (got != c.actual.end() && got->second == r.second.state)
            continue;
        if (c.explained[i])
            continue;
        if (got == c.actual.end()) {
            reportMissingFile(c, path, i);
            continue;
        }
        auto w = c.unitWriter.find(path);
        if (w != c.unitWriter.end() && c.ref.unit.headers[w->second].offset >= refEnd) {
            c.overwritten.push_back(path);
            continue;
        }
        const Subject where = entrySubject(c.ref.entries[i].path);
        if (got->second.size != r.second.state.size)
            add(c.findings, Code::TarSizeMismatch, c.relPath,
                where + "the unit writes " + std::to_string(got->second.size) + " bytes, tar " +
                    std::to_string(r.second.state.size));
        else
            add(c.findings, Code::TarContentMismatch, c.relPath,
                where + "the unit writes other bytes than tar (same size, " +
                    std::to_string(got->second.size) + " bytes)");
    }
}

// A file the unit writes from tar header `h` (at tar offset `off`), which
// tar does not extract as a file: a volume label (collected in `labels`),
// part of an entry already explained, or a stray.
void reportFileFromHeader(ArchiveCheck &c, const std::string &path, uint64_t off, size_t h,
                          std::map<size_t, std::vector<std::string>> &labels) {
    const RawHeader &raw = c.ref.tap.headers[h];
    const long owner = c.entryOfHeader[h];
    if (raw.typeflag == 'V') {
        labels[h].push_back(path);
        return;
    }
    if (owner >= 0 && c.explained[static_cast<size_t>(owner)])
        return; // its cause is told on the entry
    add(c.findings, Code::TarStrayFile, c.relPath,
        "the unit writes '" + path + "' from the header at tar offset " + std::to_string(off) +
            " ('" + raw.name + "'), which tar does not extract as a file");
}

// The two final trees, from the unit's side: files the archive does not
// declare (strays, volume labels, files written past tar's end).
void reportStrays(ArchiveCheck &c) {
    const uint64_t refEnd = c.refEnd();
    std::map<size_t, std::vector<std::string>> labels; // tar header -> files it makes
    for (const auto &a : c.actual) {
        const std::string &path = a.first;
        // Without the whole reference, files past its end are not strays.
        if (!c.summary.readable || c.ref.tree.count(path) != 0 || c.told.count(path) != 0)
            continue;
        auto w = c.unitWriter.find(path);
        if (w == c.unitWriter.end()) {
            add(c.findings, Code::TarStrayFile, c.relPath,
                "the unit writes '" + path + "', which the archive does not declare");
            continue;
        }
        const uint64_t off = c.ref.unit.headers[w->second].offset;
        if (off >= refEnd) {
            c.afterEnd.push_back(path);
            continue;
        }
        auto h = c.headerAt.find(off);
        if (h != c.headerAt.end() && c.ref.tap.headers[h->second].sumOk) {
            reportFileFromHeader(c, path, off, h->second, labels);
            continue;
        }
        // The unit takes data of an entry (or a block tar frames as a header
        // but whose checksum is wrong) for a header.
        auto before = c.headerAt.upper_bound(off);
        std::string of = "an entry";
        if (before != c.headerAt.begin()) {
            const long owner = c.entryOfHeader[std::prev(before)->second];
            if (owner >= 0 && c.explained[static_cast<size_t>(owner)])
                continue;
            if (owner >= 0)
                of = "entry '" + c.ref.entries[static_cast<size_t>(owner)].path + "'";
        }
        add(c.findings, Code::TarStrayFile, c.relPath,
            "the unit takes data of " + of + " at tar offset " + std::to_string(off) +
                " for a header and writes '" + path + "', which the archive does not declare");
    }
    for (const auto &l : labels)
        add(c.findings, Code::TarLabelHeader, c.relPath,
            "volume label '" + c.ref.tap.headers[l.first].name +
                "': tar skips it, the unit writes it as a file " + someNames(l.second));
}

// How the extraction ends: data read past tar's end blocks, a failure of
// the unit's extraction, or an archive with nothing in it.
void reportEnd(ArchiveCheck &c) {
    const uint64_t refEnd = c.refEnd();
    const bool stopAfterEnd = c.unitStopped() && c.ref.unit.stop >= refEnd;
    if (!c.afterEnd.empty() || !c.overwritten.empty() || stopAfterEnd) {
        std::string msg = "the archive ends (end-of-archive block at tar offset " +
                          std::to_string(refEnd) +
                          ") where tar stops, but the unit reads on to the end of the stream";
        if (!c.afterEnd.empty())
            msg += " and writes " + someNames(c.afterEnd) + ", which tar does not";
        if (!c.overwritten.empty())
            msg += std::string(c.afterEnd.empty() ? " and" : ";") + " overwrites " +
                   someNames(c.overwritten) + " with other bytes";
        if (stopAfterEnd)
            msg += std::string(c.afterEnd.empty() && c.overwritten.empty() ? " and" : ";") +
                   " its extraction fails at tar offset " + std::to_string(c.ref.unit.stop) + " (" +
                   c.ref.unit.stopWhy + ")";
        add(c.findings, Code::TarAfterEnd, c.relPath,
            msg + ": remove the data after the end blocks (two archives joined, or a stray "
                  "zero block between entries)");
    }
    if (c.rc != 0 && c.gzOk && c.ref.tarError.empty() && !stopAfterEnd) {
        std::string msg = "the unit's extraction fails: " + extractorReason(c.extractorLog);
        if (c.unitStopped()) {
            const uint64_t stop = c.ref.unit.stop;
            msg += " (tar offset " + std::to_string(stop) + ")";
            // A block that is no header of tar's: the unit lost its place
            // and read an entry's data (or garbage) as a header.
            auto h = c.headerAt.find(stop);
            if (h == c.headerAt.end() || !c.ref.tap.headers[h->second].sumOk)
                msg += "; that block is data of " + entryName(c, entryAt(c, stop)) +
                       ", which the unit reads as a header";
        }
        if (c.notWritten > 0)
            msg += "; " + std::to_string(c.notWritten) + " further file(s) are not written";
        add(c.findings, Code::TarExtractFailed, c.relPath, msg);
    }
    if (c.ref.entries.empty() && c.actual.empty() && c.summary.readable)
        add(c.findings, Code::TarEmpty, c.relPath,
            "the archive holds no entry: the unit extracts nothing from it");
}

// Room on a card: every file of the final tree, the larger of what tar and
// the unit write, rounded up to whole blocks of each size.
void measureRoom(ArchiveCheck &c, const std::vector<long> &blockSizes) {
    std::map<std::string, uint64_t> sizes;
    for (const auto &r : c.ref.tree)
        sizes[r.first] = r.second.state.size;
    for (const auto &a : c.actual)
        sizes[a.first] = std::max(sizes[a.first], a.second.size);
    for (const auto &s : sizes) {
        c.summary.fileBytes += s.second;
        for (long bs : blockSizes)
            c.summary.onCard[bs] += (s.second + static_cast<uint64_t>(bs) - 1) /
                                    static_cast<uint64_t>(bs) * static_cast<uint64_t>(bs);
    }
}

} // namespace

void checkArchive(const std::string &relPath, const std::string &hostPath,
                  const std::string &scratchDir, const std::vector<long> &blockSizes,
                  const ArchiveLimits &limits, std::vector<Finding> &findings,
                  ArchiveSummary &summary, const std::function<void(uint64_t)> &progress) {
    ArchiveCheck c(relPath, findings, summary);
    c.ref.limits = limits;
    extractBoth(c, hostPath, scratchDir, progress);
    summary.scratchNeed = c.ref.scratchNeed;
    // Past a bound the two trees tell nothing: what the unit wrote stops
    // where the bound stopped it.
    if (c.ref.tooLarge) {
        summary.tooLarge = true;
        summary.fileBytes = c.ref.declared;
        add(findings, Code::TarTooLarge, relPath,
            "its files hold more than " + std::to_string(limits.card) +
                " bytes (read as far as that), more than the largest card considered: no card "
                "takes it");
        return;
    }
    if (c.ref.scratchNeed > limits.scratch) {
        summary.scratchShort = true;
        return;
    }
    reportStream(c);
    mapHeaders(c);
    reportEntries(c);
    reportFolderSizes(c);
    compareTarTree(c);
    reportStrays(c);
    reportEnd(c);
    measureRoom(c, blockSizes);
}

bool archiveTree(const std::string &hostPath, std::map<std::string, FileDigest> &tree,
                 std::string &error, std::map<std::string, std::string> *texts) {
    Reference ref;
    ref.texts = texts;
    readReference(hostPath, ref, nullptr);
    tree.clear();
    for (const auto &f : ref.tree)
        tree[f.first] = f.second.state;
    error = !ref.gzMessage.empty() ? ref.gzMessage : ref.tarError;
    return error.empty();
}

} // namespace mediacheck
