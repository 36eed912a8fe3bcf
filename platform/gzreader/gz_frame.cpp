// The archive reader's gzip framing (platform/plat_gz.h), one layer over
// every inflater backend (gz_inflater.h).
//
// It reads the file through plat::open/fstat/read/close (device names
// resolve, injected faults reach it), tells a gzip file from plain data,
// parses each member's header (reserved flags, unknown methods and a wrong
// header CRC are damage), hands the deflate data to the backend, checks the
// member's CRC-32 and length trailer, and goes on with the next member when
// the gzip magic follows; anything else after a complete member is ignored.
// A member is complete only once its whole trailer was read and matched, so
// every cut is an error, wherever it falls (zlib's own gzread misses a cut
// that ends its input just as its output buffer is full).
//
// gzRead fills the caller's buffer across member ends and input refills and
// returns short only at the end of the stream or just before an error: the
// bytes decoded before an error are handed over first and the error comes
// with the next call, as zlib's gzread does.
#include "platform/gzreader/gz_inflater.h"
#include "platform/plat_gz.h"
#include "platform/plat_io.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <initializer_list>
#include <new>
#include <sys/stat.h>

namespace plat {

namespace {

using gzinflate::Backend;

// Compressed bytes read from the file at once, and the bytes before them
// kept for a backend that read ahead past the end of a member's data.
const unsigned k_input_size = 128u * 1024u;
const unsigned k_keep = gzinflate::k_max_give_back;

// gzip header flag bits
const int k_fhcrc = 0x02;
const int k_fextra = 0x04;
const int k_fname = 0x08;
const int k_fcomment = 0x10;
const int k_freserved = 0xE0;

enum class Mode {
    Start,   // nothing read yet: gzip, plain data, or a cut
    Look,    // after a member: another member, or the end of the stream
    Inflate, // inside a member's deflate data
    Trailer, // the member's CRC-32 and length are next
    Copy,    // a file that is not gzip: read as it is
    Done,    // the whole stream was read and found complete
    Failed,  // an error was seen; every later read fails
};

std::atomic<unsigned> g_read_limit{0};
std::atomic<const Backend *> g_backend_for_test{nullptr};

} // namespace

struct GzReader {
    int fd = -1;
    // How the file is read and closed: plat::read and plat::close, or the
    // caller's (gzOpenOnFd).
    gzinflate::FdRead readFn = nullptr;
    gzinflate::FdClose closeFn = nullptr;
    const Backend *backend = nullptr;
    void *decoder = nullptr; // made at the first member
    Mode mode = Mode::Start;
    bool eof = false;              // the file has no more bytes
    bool errorSeen = false;        // for gzClose
    const char *pending = nullptr; // an error to report after the bytes before it
    int pendingErrno = 0;
    unsigned char *buffer = nullptr; // k_keep + k_input_size bytes
    unsigned char *next = nullptr;   // unread input
    unsigned avail = 0;
    uint32_t crc = 0;  // of the member's data so far
    uint32_t size = 0; // the member's data length, modulo 2^32
    const char *error = "";
    uint64_t fileRead = 0; // bytes read from the file so far
    unsigned members = 0;  // members read whole, trailer matched
    bool plain = false;    // no gzip magic: the file is copied as it is
};

namespace {

void fail(GzReader *r, const char *text, int err) {
    r->mode = Mode::Failed;
    r->errorSeen = true;
    r->error = text;
    errno = err;
}

// An error met after `done` bytes of this call were produced: they are
// returned first and the error comes with the next call. The result for
// gzRead.
int failAfter(GzReader *r, unsigned done, const char *text, int err) {
    if (done > 0) {
        r->pending = text;
        r->pendingErrno = err;
        r->errorSeen = true;
        return static_cast<int>(done);
    }
    fail(r, text, err);
    return -1;
}

// Moves the unread input, and up to k_keep bytes before it, to the front of
// the buffer and reads more of the file behind it. False on a read error
// (reader failed, errno EIO); at the end of the file sets eof.
bool refill(GzReader *r) {
    unsigned char *start = r->buffer + k_keep;
    unsigned keep = static_cast<unsigned>(r->next - r->buffer);
    if (keep > k_keep)
        keep = k_keep;
    if (r->next != start) {
        std::memmove(start - keep, r->next - keep, keep + r->avail);
        r->next = start;
    }
    if (r->eof || r->avail >= k_input_size)
        return true;
    long n;
    do {
        n = r->readFn(r->fd, r->next + r->avail, k_input_size - r->avail);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        r->error = "read error";
        return false;
    }
    r->fileRead += static_cast<uint64_t>(n);
    if (n == 0)
        r->eof = true;
    r->avail += static_cast<unsigned>(n);
    return true;
}

// At least `count` unread input bytes, unless the file ends first. False on
// a read error.
bool need(GzReader *r, unsigned count) {
    while (r->avail < count && !r->eof)
        if (!refill(r))
            return false;
    return true;
}

bool magicAhead(const GzReader *r) {
    return r->avail >= 2 && r->next[0] == 0x1F && r->next[1] == 0x8B;
}

// Header byte parsing: the next byte into *out, added to the header CRC.
// 1 on success, 0 at the end of the file, -1 on a read error.
int headerByte(GzReader *r, uint32_t *crc, int *out) {
    if (!need(r, 1))
        return -1;
    if (r->avail == 0)
        return 0;
    *crc = r->backend->crc32(*crc, r->next, 1);
    *out = *r->next++;
    r->avail--;
    return 1;
}

// Parses a member header (the magic is next) and readies the decoder for
// its deflate data. Null on success, else the error text (errno value in
// *err).
const char *readHeader(GzReader *r, int *err) {
    *err = EIO;
    uint32_t crc = 0;
    int flags = 0, c = 0, got = 1;
    // Every byte of the header goes through one reader that stops at the
    // first failure: `got` tells which.
    auto byte = [&](int *out) {
        if (got == 1)
            got = headerByte(r, &crc, out);
        return got == 1;
    };
    int id1 = 0, id2 = 0, method = 0;
    if (!byte(&id1) || !byte(&id2) || !byte(&method) || !byte(&flags))
        goto cut;
    if (method != 8)
        return "unknown compression method";
    if ((flags & k_freserved) != 0)
        return "unknown header flags set";
    for (int i = 0; i < 6; i++) // MTIME, XFL, OS
        if (!byte(&c))
            goto cut;
    if ((flags & k_fextra) != 0) {
        int lo = 0, hi = 0;
        if (!byte(&lo) || !byte(&hi))
            goto cut;
        for (int left = lo | (hi << 8); left > 0; left--)
            if (!byte(&c))
                goto cut;
    }
    for (int field : {k_fname, k_fcomment}) {
        if ((flags & field) == 0)
            continue;
        do {
            if (!byte(&c))
                goto cut;
        } while (c != 0);
    }
    if ((flags & k_fhcrc) != 0) {
        const uint32_t expected = crc & 0xFFFFu;
        int lo = 0, hi = 0;
        if (!byte(&lo) || !byte(&hi))
            goto cut;
        if (static_cast<uint32_t>(lo | (hi << 8)) != expected)
            return "header crc mismatch";
    }
    if (r->decoder == nullptr) {
        r->decoder = r->backend->create();
        if (r->decoder == nullptr) {
            *err = ENOMEM;
            return "out of memory";
        }
    } else {
        r->backend->reset(r->decoder);
    }
    r->crc = 0;
    r->size = 0;
    r->mode = Mode::Inflate;
    return nullptr;
cut:
    return got == 0 ? "unexpected end of file" : "read error";
}

// Checks the member's trailer. Null when it matches (mode Look), else the
// error text.
const char *readTrailer(GzReader *r) {
    if (!need(r, 8))
        return "read error";
    if (r->avail < 8) {
        // Cut inside the trailer: a whole CRC-32 that does not match is
        // reported as such.
        if (r->avail >= 4) {
            const uint32_t crc = static_cast<uint32_t>(r->next[0]) |
                                 (static_cast<uint32_t>(r->next[1]) << 8) |
                                 (static_cast<uint32_t>(r->next[2]) << 16) |
                                 (static_cast<uint32_t>(r->next[3]) << 24);
            if (crc != r->crc)
                return "incorrect data check";
        }
        return "unexpected end of file";
    }
    uint32_t words[2];
    for (int w = 0; w < 2; w++)
        words[w] = static_cast<uint32_t>(r->next[4 * w]) |
                   (static_cast<uint32_t>(r->next[4 * w + 1]) << 8) |
                   (static_cast<uint32_t>(r->next[4 * w + 2]) << 16) |
                   (static_cast<uint32_t>(r->next[4 * w + 3]) << 24);
    r->next += 8;
    r->avail -= 8;
    if (words[0] != r->crc)
        return "incorrect data check";
    if (words[1] != r->size)
        return "incorrect length check";
    r->members++;
    r->mode = Mode::Look;
    return nullptr;
}

// Decodes into out[0..len) until it is full or the member's data ends.
// Returns the bytes produced, or sets *text to an error (the bytes produced
// before it still count).
unsigned inflateSome(GzReader *r, unsigned char *out, unsigned len, const char **text, int *err) {
    unsigned made = 0;
    while (made < len) {
        if (r->avail == 0 && !r->eof && !refill(r)) {
            *text = "read error";
            *err = EIO;
            return made;
        }
        gzinflate::Step s{r->next, r->avail, out + made, len - made, 0, 0};
        int rc = r->backend->step(r->decoder, &s);
        if (s.in_used < -static_cast<long>(k_keep) || s.in_used > static_cast<long>(r->avail) ||
            s.out_made > len - made) {
            // A backend that gave back more than the kept bytes (or took or
            // gave more than it had) cannot be followed safely.
            s.in_used = 0;
            s.out_made = 0;
            rc = gzinflate::STEP_DAMAGED;
        }
        r->next += s.in_used;
        r->avail = static_cast<unsigned>(static_cast<long>(r->avail) - s.in_used);
        r->crc = r->backend->crc32(r->crc, out + made, s.out_made);
        r->size += s.out_made;
        made += s.out_made;
        if (rc == gzinflate::STEP_END) {
            r->mode = Mode::Trailer;
            return made;
        }
        if (rc == gzinflate::STEP_DAMAGED || rc == gzinflate::STEP_NO_MEMORY) {
            *text = rc == gzinflate::STEP_DAMAGED ? "invalid compressed data" : "out of memory";
            *err = rc == gzinflate::STEP_DAMAGED ? EIO : ENOMEM;
            return made;
        }
        if (rc == gzinflate::STEP_STALLED) {
            // With input left and room to write, the data cannot go on; with
            // none left at the end of the file, the member was cut.
            *text = r->avail == 0 && r->eof ? "unexpected end of file" : "invalid compressed data";
            *err = EIO;
            return made;
        }
    }
    return made;
}

// Plain file: the buffered bytes first, then straight from the file, until
// out is full or the file ends. Sets *text on a read error.
unsigned copySome(GzReader *r, unsigned char *out, unsigned len, const char **text) {
    unsigned made = 0;
    if (r->avail > 0) {
        made = r->avail < len ? r->avail : len;
        std::memcpy(out, r->next, made);
        r->next += made;
        r->avail -= made;
    }
    while (made < len && !r->eof) {
        long n;
        do {
            n = r->readFn(r->fd, out + made, len - made);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            *text = "read error";
            return made;
        }
        r->fileRead += static_cast<uint64_t>(n);
        if (n == 0)
            r->eof = true;
        made += static_cast<unsigned>(n);
    }
    if (made < len)
        r->mode = Mode::Done;
    return made;
}

// Start of the file: gzip, plain data, or a file too short to be either
// (no byte at all, or just the first byte of the gzip magic: a cut
// archive). After a member: the next member, or the end of the stream. Null
// on success, else the error text (errno value in *err).
const char *look(GzReader *r, int *err) {
    *err = EIO;
    if (!need(r, 2))
        return "read error";
    if (r->mode == Mode::Start) {
        if (r->avail == 0)
            return "unexpected end of file (empty file)";
        if (r->avail == 1 && r->next[0] == 0x1F)
            return "unexpected end of file";
        if (!magicAhead(r)) {
            r->mode = Mode::Copy;
            r->plain = true;
            return nullptr;
        }
    } else if (!magicAhead(r)) {
        // Bytes after the last member that do not start another one are
        // ignored, as zlib does.
        r->mode = Mode::Done;
        return nullptr;
    }
    return readHeader(r, err);
}

long platRead(int fd, void *buf, unsigned long count) {
    return plat::read(fd, buf, count);
}

int platClose(int fd) {
    return plat::close(fd);
}

void release(GzReader *r) {
    if (r->decoder != nullptr)
        r->backend->destroy(r->decoder);
    std::free(r->buffer);
    delete r;
}

} // namespace

namespace gzinflate {

GzReader *gzOpenWith(const char *path, const Backend &backend) {
    if (path == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    // Opened without blocking and checked before anything is read: a FIFO
    // (or a device) would otherwise block the open, or the reads, forever.
    int fd;
    do {
        fd = plat::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return nullptr; // errno set by open
    struct ::stat st;
    std::memset(&st, 0, sizeof st);
    const int statted = plat::fstat(fd, &st);
    if (statted != 0 || !S_ISREG(st.st_mode)) {
        const int err = statted != 0 ? errno : S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        (void)plat::close(fd);
        errno = err;
        return nullptr;
    }
    return gzOpenOnFd(fd, backend, platRead, platClose);
}

GzReader *gzOpenOnFd(int fd, const Backend &backend, FdRead readFn, FdClose closeFn) {
    if (readFn == nullptr || closeFn == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    GzReader *r = new (std::nothrow) GzReader;
    unsigned char *buffer = static_cast<unsigned char *>(std::malloc(k_keep + k_input_size));
    if (r == nullptr || buffer == nullptr) {
        delete r;
        std::free(buffer);
        (void)closeFn(fd);
        errno = ENOMEM;
        return nullptr;
    }
    r->fd = fd;
    r->readFn = readFn;
    r->closeFn = closeFn;
    r->backend = &backend;
    r->buffer = buffer;
    r->next = buffer + k_keep;
    return r;
}

void gzFacts(const GzReader *r, GzFacts *facts) {
    if (r == nullptr || facts == nullptr)
        return;
    facts->plain = r->plain;
    facts->members = r->members;
    facts->fileRead = r->fileRead;
    facts->consumed = r->fileRead - r->avail;
}

void useBackendForTest(const Backend *backend) {
    g_backend_for_test.store(backend, std::memory_order_relaxed);
}

void setReadLimitForTest(unsigned limit) {
    g_read_limit.store(limit, std::memory_order_relaxed);
}

} // namespace gzinflate

GzReader *gzOpen(const char *path) {
    const Backend *chosen = g_backend_for_test.load(std::memory_order_relaxed);
    return gzinflate::gzOpenWith(path, chosen != nullptr ? *chosen : gzinflate::defaultBackend());
}

int gzRead(GzReader *r, void *buf, unsigned len) {
    if (r == nullptr || (buf == nullptr && len > 0)) {
        errno = EINVAL;
        return -1;
    }
    if (len > static_cast<unsigned>(INT_MAX)) {
        fail(r, "requested length does not fit in int", EINVAL);
        return -1;
    }
    if (r->pending != nullptr) {
        fail(r, r->pending, r->pendingErrno);
        r->pending = nullptr;
        return -1;
    }
    const unsigned limit = g_read_limit.load(std::memory_order_relaxed);
    if (limit > 0 && len > limit)
        len = limit;
    unsigned char *out = static_cast<unsigned char *>(buf);
    unsigned done = 0;
    while (done < len) {
        const char *text = nullptr;
        int err = EIO;
        switch (r->mode) {
        case Mode::Failed:
            errno = EIO;
            return -1;
        case Mode::Done:
            return static_cast<int>(done);
        case Mode::Start:
        case Mode::Look:
            text = look(r, &err);
            break;
        case Mode::Inflate:
            done += inflateSome(r, out + done, len - done, &text, &err);
            break;
        case Mode::Trailer:
            text = readTrailer(r);
            break;
        case Mode::Copy:
            done += copySome(r, out + done, len - done, &text);
            break;
        }
        if (text != nullptr)
            return failAfter(r, done, text, err);
    }
    return static_cast<int>(done);
}

int gzClose(GzReader *r) {
    if (r == nullptr) {
        errno = EINVAL;
        return -1;
    }
    const bool failed = r->errorSeen;
    // A file opened for reading loses nothing at its close: its result does
    // not change what was read.
    (void)r->closeFn(r->fd);
    release(r);
    if (failed) {
        errno = EIO;
        return -1;
    }
    return 0;
}

const char *gzErrorText(const GzReader *r) {
    return r != nullptr ? r->error : "";
}

const char *gzInflaterName() {
    return gzinflate::defaultBackend().name;
}

} // namespace plat
