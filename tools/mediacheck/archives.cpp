// Archive checks: each .tgz is inflated once here to the end of its gzip
// stream (every member, CRC and length trailers), the inflated tar stream is
// read by libarchive (the reference reader) and watched block by block for
// the header forms the unit's extractor does not know; meanwhile the module's
// own extractor writes the archive into a scratch card. What the unit wrote
// is then compared with what the archive declares.
#include "tools/mediacheck/mediacheck.h"

#include "platform/hostsim/hostsim.h"
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

// One entry as libarchive read it.
struct Entry {
    std::string path;
    int type = AE_IFREG;
    bool hardlink = false;
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
    std::string gzCode, gzMessage, gzTrailing;
    bool gzRaw = false;
};

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
    out.print = print.value();
    return true;
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
            en.sparse = archive_entry_sparse_count(e) > 0;
            en.size = archive_entry_size(e) > 0 ? static_cast<uint64_t>(archive_entry_size(e)) : 0;
            en.position = static_cast<uint64_t>(archive_read_header_position(a));
            ref.entries.push_back(en);
            if (en.type == AE_IFREG && !en.hardlink) {
                Fingerprint print;
                RefFile f;
                f.entry = ref.entries.size() - 1;
                if (!digestData(a, print, en.size, f.state)) {
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
    while ((n = stream.next(&rest)) > 0) {
        ref.unit.feed(rest, static_cast<size_t>(n));
        if (progress)
            progress(stream.compressedRead());
    }
    ref.unit.finish();
    ref.gzRaw = stream.raw();
    if (stream.failed()) {
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

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return s;
}

bool extension(char typeflag) {
    return typeflag == 'L' || typeflag == 'K' || typeflag == 'x' || typeflag == 'g';
}

// Why the module's extraction failed: its first refusal of a header, else
// its first error line, without the tick count.
std::string extractorReason(const std::vector<hostsim::LogLine> &lines) {
    static const char *const refusals[] = {"not a valid tar file", "bad checksum", "refused",
                                           "Garbage detected"};
    static const char *const errors[] = {"ERROR", "error", "cannot"};
    for (const auto *set : {&refusals[0], &errors[0]}) {
        const size_t count = set == &refusals[0] ? 4 : 3;
        for (size_t i = 0; i < count; ++i) {
            for (const hostsim::LogLine &l : lines) {
                const std::string &t = l.text;
                const size_t open = t.find(" - (");
                if (open == std::string::npos || t.find(set[i]) == std::string::npos)
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

// Adds one finding.
void add(std::vector<Finding> &out, Severity s, const char *code, const std::string &path,
         const std::string &message) {
    out.push_back(Finding{s, code, path, message});
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

    // The unit's tree, every file digested.
    const std::string written = scratchDir + "/MAPPE";
    std::map<std::string, FileDigest> actual;
    const bool actualRead = digestTree(written, actual);
    std::error_code ec;
    fs::remove_all(written, ec);
    hostsim::unmountDevice("/SDH");

    // The gzip stream.
    const bool gzOk = ref.gzCode.empty();
    if (!gzOk)
        add(findings, Severity::Error, ref.gzCode.c_str(), relPath, ref.gzMessage);
    if (ref.gzRaw)
        add(findings, Severity::Warning, "GZ_NOT_GZIP", relPath,
            "not gzip-compressed: the unit reads it as a plain tar file");
    if (!ref.gzTrailing.empty())
        add(findings, Severity::Warning, "GZ_TRAILING_DATA", relPath, ref.gzTrailing);
    if (!ref.tarError.empty() && gzOk)
        add(findings, Severity::Error, "TAR_UNREADABLE", relPath,
            "the reference reader stops: " + ref.tarError +
                (rc != 0 ? "; the unit's extraction fails: " + extractorReason(extractorLog)
                         : std::string("; the unit extracts it without complaint")));
    if (!actualRead)
        add(findings, Severity::Error, "TAR_EXTRACT_FAILED", relPath,
            "what the unit wrote cannot be read back from the scratch card");
    summary.readable = gzOk && ref.tarError.empty();

    // Headers of each entry: from its first header up to the next entry's.
    // The last one is the entry's own; those before it are extensions
    // (long name, pax) or labels that tar folds into it.
    const std::vector<RawHeader> &headers = ref.tap.headers;
    std::vector<long> entryOfHeader(headers.size(), -1);
    std::vector<long> firstHeader(ref.entries.size(), 0);
    std::vector<long> mainHeader(ref.entries.size(), -1);
    std::map<uint64_t, size_t> headerAt;
    for (size_t h = 0; h < headers.size(); ++h)
        headerAt[headers[h].offset] = h;
    for (size_t i = 0, h = 0; i < ref.entries.size(); ++i) {
        uint64_t end = i + 1 < ref.entries.size() ? ref.entries[i + 1].position : UINT64_MAX;
        while (h < headers.size() && headers[h].offset < ref.entries[i].position)
            ++h;
        firstHeader[i] = static_cast<long>(h);
        while (h < headers.size() && headers[h].offset < end) {
            entryOfHeader[h] = static_cast<long>(i);
            mainHeader[i] = static_cast<long>(h++);
        }
    }
    // The unit's headers by offset, and the last one that wrote each file.
    const std::vector<UnitHeader> &unitHeaders = ref.unit.headers;
    std::map<uint64_t, size_t> unitAt;
    std::map<std::string, size_t> unitWriter;
    for (size_t u = 0; u < unitHeaders.size(); ++u) {
        unitAt[unitHeaders[u].offset] = u;
        if (unitHeaders[u].kind == 'f')
            unitWriter[unitHeaders[u].path] = u;
    }
    auto unitOf = [&](size_t entry) -> const UnitHeader * {
        if (mainHeader[entry] < 0)
            return nullptr;
        auto it = unitAt.find(headers[static_cast<size_t>(mainHeader[entry])].offset);
        return it == unitAt.end() ? nullptr : &unitHeaders[it->second];
    };

    // Entry by entry: what the unit cannot write as the archive says.
    std::vector<bool> explained(ref.entries.size(), false);
    std::map<std::string, std::string> byCase;
    for (size_t i = 0; i < ref.entries.size(); ++i) {
        const Entry &e = ref.entries[i];
        const std::string where = "entry '" + e.path + "': ";
        bool longName = false, pax = false, sparse = e.sparse, full = false, incremental = false;
        for (long h = firstHeader[i]; h <= mainHeader[i]; ++h) {
            const char t = headers[static_cast<size_t>(h)].typeflag;
            longName = longName || t == 'L' || t == 'K';
            pax = pax || t == 'x' || t == 'g';
            sparse = sparse || t == 'S';
            if (!extension(t) && t != 'V') {
                const RawHeader &raw = headers[static_cast<size_t>(h)];
                full = full || raw.nameFull;
                incremental = incremental || (raw.gnuMagic && !raw.prefix.empty());
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
        if (incremental && !longName && !pax && !full) {
            const UnitHeader *u = unitOf(i);
            add(findings, Severity::Error, "TAR_GNU_INCREMENTAL", relPath,
                where +
                    "GNU incremental header (tar --listed-incremental): its access and "
                    "change times sit where the unit reads a path prefix, so the unit " +
                    (u != nullptr && e.type == AE_IFREG
                         ? "writes it as '" + u->path + "'"
                         : std::string("writes it under a folder named after them")) +
                    "; write the archive without --listed-incremental");
        }
        if (sparse) {
            add(findings, Severity::Error, "TAR_SPARSE", relPath,
                where + "sparse file: the unit writes its stored pieces, not the file of " +
                    std::to_string(e.size) + " bytes");
        }
        if (nonAscii(e.path)) {
            add(findings, Severity::Warning, "TAR_NON_ASCII_NAME", relPath,
                where + "name with non-ASCII characters: the unit writes its bytes as tar does, "
                        "but the card's file system may store or show such a name differently");
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
        explained[i] = longName || pax || full || sparse || incremental || climbs(e.path) ||
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
        const std::string norm = normalisePath(e.path);
        const std::string key = lower(norm);
        auto clash = byCase.find(key);
        if (clash != byCase.end() && clash->second != norm)
            add(findings, Severity::Warning, "TAR_CASE_CLASH", relPath,
                where + "differs from '" + clash->second +
                    "' only by case: on the card's file system one overwrites the other");
        else
            byCase[key] = norm;
        summary.entries.push_back(e.path);
    }

    // The two final trees. Each difference is told once, by the entry that
    // caused it.
    const uint64_t refEnd = summary.readable ? ref.tap.end : UINT64_MAX;
    const bool unitStopped = rc != 0 && ref.unit.stop != UINT64_MAX;
    int notWritten = 0;
    std::set<std::string> told; // unit files already explained
    std::vector<std::string> afterEnd, overwritten;
    for (const auto &r : ref.tree) {
        const std::string &path = r.first;
        const size_t i = r.second.entry;
        const Entry &e = ref.entries[i];
        auto got = actual.find(path);
        if (got != actual.end() && got->second == r.second.state)
            continue;
        if (explained[i])
            continue;
        const std::string where = "entry '" + e.path + "': ";
        if (got != actual.end()) {
            auto w = unitWriter.find(path);
            if (w != unitWriter.end() && unitHeaders[w->second].offset >= refEnd) {
                overwritten.push_back(path);
                continue;
            }
            if (got->second.size != r.second.state.size)
                add(findings, Severity::Error, "TAR_SIZE_MISMATCH", relPath,
                    where + "the unit writes " + std::to_string(got->second.size) + " bytes, tar " +
                        std::to_string(r.second.state.size));
            else
                add(findings, Severity::Error, "TAR_CONTENT_MISMATCH", relPath,
                    where + "the unit writes other bytes than tar (same size, " +
                        std::to_string(got->second.size) + " bytes)");
            continue;
        }
        const UnitHeader *u = unitOf(i);
        const uint64_t at = mainHeader[i] >= 0 ? headers[static_cast<size_t>(mainHeader[i])].offset
                                               : ref.entries[i].position;
        if (u != nullptr && u->kind == 'f' && u->path != path && actual.count(u->path) != 0) {
            add(findings, Severity::Error, "TAR_NAME_CHANGED", relPath,
                where + "the unit writes it as '" + u->path + "'");
            told.insert(u->path);
        } else if (rc != 0 && (!unitStopped || ref.unit.stop <= at)) {
            ++notWritten;
        } else if (u == nullptr) {
            add(findings, Severity::Error, "TAR_MISSING_FILE", relPath,
                where + "the unit does not write it: it does not take the block at tar offset " +
                    std::to_string(at) + " for a header");
        } else {
            add(findings, Severity::Error, "TAR_MISSING_FILE", relPath,
                where + "the unit does not write it");
        }
    }
    std::map<size_t, std::vector<std::string>> labels; // tar header -> files it makes
    for (const auto &a : actual) {
        const std::string &path = a.first;
        // Without the whole reference, files past its end are not strays.
        if (!summary.readable || ref.tree.count(path) != 0 || told.count(path) != 0)
            continue;
        auto w = unitWriter.find(path);
        if (w == unitWriter.end()) {
            add(findings, Severity::Error, "TAR_STRAY_FILE", relPath,
                "the unit writes '" + path + "', which the archive does not declare");
            continue;
        }
        const uint64_t off = unitHeaders[w->second].offset;
        if (off >= refEnd) {
            afterEnd.push_back(path);
            continue;
        }
        auto h = headerAt.find(off);
        if (h != headerAt.end()) {
            const RawHeader &raw = headers[h->second];
            const long owner = entryOfHeader[h->second];
            if (raw.typeflag == 'V') {
                labels[h->second].push_back(path);
                continue;
            }
            if (owner >= 0 && explained[static_cast<size_t>(owner)])
                continue; // its cause is told on the entry
            add(findings, Severity::Error, "TAR_STRAY_FILE", relPath,
                "the unit writes '" + path + "' from the header at tar offset " +
                    std::to_string(off) + " ('" + raw.name +
                    "'), which tar does not extract as a file");
            continue;
        }
        // The unit takes data of an entry for a header.
        auto before = headerAt.upper_bound(off);
        std::string of = "an entry";
        if (before != headerAt.begin()) {
            const long owner = entryOfHeader[std::prev(before)->second];
            if (owner >= 0 && explained[static_cast<size_t>(owner)])
                continue;
            if (owner >= 0)
                of = "entry '" + ref.entries[static_cast<size_t>(owner)].path + "'";
        }
        add(findings, Severity::Error, "TAR_STRAY_FILE", relPath,
            "the unit takes data of " + of + " at tar offset " + std::to_string(off) +
                " for a header and writes '" + path + "', which the archive does not declare");
    }
    for (const auto &l : labels)
        add(findings, Severity::Warning, "TAR_LABEL_HEADER", relPath,
            "volume label '" + headers[l.first].name +
                "': tar skips it, the unit writes it as a file " + someNames(l.second));
    const bool stopAfterEnd = unitStopped && ref.unit.stop >= refEnd;
    if (!afterEnd.empty() || !overwritten.empty() || stopAfterEnd) {
        std::string msg = "the archive ends (end-of-archive block at tar offset " +
                          std::to_string(refEnd) +
                          ") where tar stops, but the unit reads on to the end of the stream";
        if (!afterEnd.empty())
            msg += " and writes " + someNames(afterEnd) + ", which tar does not";
        if (!overwritten.empty())
            msg += std::string(afterEnd.empty() ? " and" : ";") + " overwrites " +
                   someNames(overwritten) + " with other bytes";
        if (stopAfterEnd)
            msg += std::string(afterEnd.empty() && overwritten.empty() ? " and" : ";") +
                   " its extraction fails at tar offset " + std::to_string(ref.unit.stop) + " (" +
                   ref.unit.stopWhy + ")";
        add(findings, Severity::Error, "TAR_AFTER_END", relPath,
            msg + ": remove the data after the end blocks (two archives joined, or a stray "
                  "zero block between entries)");
    }
    if (rc != 0 && gzOk && ref.tarError.empty() && !stopAfterEnd) {
        std::string msg = "the unit's extraction fails: " + extractorReason(extractorLog);
        if (unitStopped)
            msg += " (tar offset " + std::to_string(ref.unit.stop) + ")";
        if (notWritten > 0)
            msg += "; " + std::to_string(notWritten) + " further file(s) are not written";
        add(findings, Severity::Error, "TAR_EXTRACT_FAILED", relPath, msg);
    }
    if (ref.entries.empty() && actual.empty() && summary.readable)
        add(findings, Severity::Warning, "TAR_EMPTY", relPath,
            "the archive holds no entry: the unit extracts nothing from it");

    // Room on a card: every file of the final tree, the larger of what tar
    // and the unit write.
    std::map<std::string, uint64_t> sizes;
    for (const auto &r : ref.tree)
        sizes[r.first] = r.second.state.size;
    for (const auto &a : actual)
        sizes[a.first] = std::max(sizes[a.first], a.second.size);
    for (const auto &s : sizes) {
        summary.fileBytes += s.second;
        for (long bs : blockSizes)
            summary.onCard[bs] += (s.second + static_cast<uint64_t>(bs) - 1) /
                                  static_cast<uint64_t>(bs) * static_cast<uint64_t>(bs);
    }
}

} // namespace mediacheck
