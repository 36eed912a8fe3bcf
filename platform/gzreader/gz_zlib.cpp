// The archive-reader seam (platform/plat_gz.h) on zlib's inflate.
//
// zlib's own gzread decides that a member has ended when its input is used
// up, without asking inflate whether the member's trailer was read; a stream
// cut where the output buffer is exactly full then reads as complete. This
// reader drives inflate itself and calls a member complete only when inflate
// reports Z_STREAM_END (the CRC-32 and length trailer checked), so every cut
// is an error. Otherwise it behaves as gzread: a file without the gzip magic
// is passed through unchanged, the members of a multi-member file are read as
// one stream, and bytes after the last member that do not start another
// member are ignored.
//
// The archive is read through plat::open/read/close, so device names resolve
// and injected faults reach it.
#include "platform/plat_gz.h"

#include "platform/plat_io.h"

#include <zlib.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

namespace {

// Compressed bytes read from the file per read.
const unsigned k_input_size = 128 * 1024;
// inflate's window bits: 15, gzip wrapper only.
const int k_gzip_window_bits = 15 + 16;

enum t_mode {
    MODE_UNKNOWN, // nothing read yet
    MODE_PLAIN,   // not gzip: passed through
    MODE_GZIP,    // inside a member
    MODE_END,     // complete
    MODE_ERROR,
};

} // namespace

namespace plat {

struct GzReader {
    int fd;
    t_mode mode;
    bool inflate_ready; // inflateInit2 done
    bool file_end;      // the file's last byte has been read
    bool stalled;       // the last inflate call could make no progress
    z_stream strm;
    unsigned char *input;
    char error[128];
};

namespace {

void SetError(GzReader *p_reader, const char *p_what, const char *p_detail) {
    p_reader->mode = MODE_ERROR;
    std::snprintf(p_reader->error, sizeof p_reader->error, "%s%s%s", p_what,
                  p_detail != nullptr && p_detail[0] != '\0' ? ": " : "",
                  p_detail != nullptr ? p_detail : "");
}

// Appends one read of file bytes behind the unread input (moved to the
// buffer's start). False after a read error (reader in error); at the end of
// the file sets file_end and returns true.
bool Refill(GzReader *p_reader) {
    z_stream &l_strm = p_reader->strm;
    if (l_strm.avail_in > 0 && l_strm.next_in != p_reader->input)
        std::memmove(p_reader->input, l_strm.next_in, l_strm.avail_in);
    l_strm.next_in = p_reader->input;
    if (p_reader->file_end || l_strm.avail_in >= k_input_size)
        return true;
    long l_got =
        plat::read(p_reader->fd, p_reader->input + l_strm.avail_in, k_input_size - l_strm.avail_in);
    if (l_got < 0) {
        SetError(p_reader, "read error", std::strerror(errno));
        errno = EIO;
        return false;
    }
    if (l_got == 0)
        p_reader->file_end = true;
    l_strm.avail_in += static_cast<uInt>(l_got);
    return true;
}

// Ensures at least p_count unread input bytes unless the file ends first.
bool Need(GzReader *p_reader, unsigned p_count) {
    while (p_reader->strm.avail_in < p_count && !p_reader->file_end)
        if (!Refill(p_reader))
            return false;
    return true;
}

bool StartsMember(const GzReader *p_reader) {
    return p_reader->strm.avail_in >= 2 && p_reader->strm.next_in[0] == 0x1f &&
           p_reader->strm.next_in[1] == 0x8b;
}

// Decides between gzip and plain data at the start of the file.
bool Look(GzReader *p_reader) {
    if (!Need(p_reader, 2))
        return false;
    if (!StartsMember(p_reader)) {
        p_reader->mode = MODE_PLAIN;
        return true;
    }
    if (inflateInit2(&p_reader->strm, k_gzip_window_bits) != Z_OK) {
        SetError(p_reader, "inflateInit2 failed", p_reader->strm.msg);
        errno = ENOMEM;
        return false;
    }
    p_reader->inflate_ready = true;
    p_reader->mode = MODE_GZIP;
    return true;
}

// After a member's end: another member follows, or the stream is complete
// (what follows, if anything, is ignored).
bool NextMember(GzReader *p_reader) {
    if (!Need(p_reader, 2))
        return false;
    if (!StartsMember(p_reader)) {
        p_reader->mode = MODE_END;
        return true;
    }
    if (inflateReset(&p_reader->strm) != Z_OK) {
        SetError(p_reader, "inflateReset failed", p_reader->strm.msg);
        errno = EIO;
        return false;
    }
    return true;
}

} // namespace

GzReader *gzOpen(const char *path) {
    if (path == nullptr) {
        errno = EFAULT;
        return nullptr;
    }
    GzReader *l_reader = new (std::nothrow) GzReader;
    unsigned char *l_input = new (std::nothrow) unsigned char[k_input_size];
    if (l_reader == nullptr || l_input == nullptr) {
        delete l_reader;
        delete[] l_input;
        errno = ENOMEM;
        return nullptr;
    }
    std::memset(&l_reader->strm, 0, sizeof l_reader->strm);
    l_reader->fd = plat::open(path, O_RDONLY);
    if (l_reader->fd < 0) {
        const int l_err = errno;
        delete l_reader;
        delete[] l_input;
        errno = l_err;
        return nullptr;
    }
    l_reader->mode = MODE_UNKNOWN;
    l_reader->inflate_ready = false;
    l_reader->file_end = false;
    l_reader->stalled = false;
    l_reader->input = l_input;
    l_reader->strm.next_in = l_input;
    l_reader->strm.avail_in = 0;
    l_reader->error[0] = '\0';
    return l_reader;
}

int gzRead(GzReader *reader, void *buf, unsigned len) {
    if (reader == nullptr || buf == nullptr || len > static_cast<unsigned>(INT_MAX)) {
        errno = EINVAL;
        return -1;
    }
    if (reader->mode == MODE_ERROR) {
        errno = EIO;
        return -1;
    }
    if (reader->mode == MODE_UNKNOWN && !Look(reader))
        return -1;

    z_stream &l_strm = reader->strm;
    unsigned char *l_out = static_cast<unsigned char *>(buf);
    unsigned l_done = 0;
    while (l_done < len && reader->mode != MODE_END) {
        // At the end of the file inflate may still hold decoded bytes (the
        // rest of a match that did not fit the output): they are taken out
        // before a missing end of the member is called a cut.
        bool l_drain = reader->file_end && reader->mode == MODE_GZIP && !reader->stalled;
        if (l_strm.avail_in == 0 && !l_drain) {
            if (reader->file_end) {
                if (reader->mode == MODE_PLAIN) {
                    reader->mode = MODE_END;
                    break;
                }
                // Input used up inside a member: the file was cut. What was
                // decoded up to the cut is handed over first, as the other
                // reader does; the error comes with the next call.
                SetError(reader, "unexpected end of file", "compressed stream cut short");
                if (l_done > 0)
                    return static_cast<int>(l_done);
                errno = EIO;
                return -1;
            }
            if (!Refill(reader))
                return -1;
            continue;
        }
        if (reader->mode == MODE_PLAIN) {
            unsigned l_n = len - l_done;
            if (l_n > l_strm.avail_in)
                l_n = l_strm.avail_in;
            std::memcpy(l_out + l_done, l_strm.next_in, l_n);
            l_strm.next_in += l_n;
            l_strm.avail_in -= l_n;
            l_done += l_n;
            continue;
        }
        l_strm.next_out = l_out + l_done;
        l_strm.avail_out = len - l_done;
        int l_rc = inflate(&l_strm, Z_NO_FLUSH);
        l_done = len - l_strm.avail_out;
        reader->stalled = l_rc == Z_BUF_ERROR;
        if (l_rc == Z_STREAM_END) {
            if (!NextMember(reader))
                return -1;
        } else if (l_rc == Z_NEED_DICT || l_rc == Z_DATA_ERROR || l_rc == Z_STREAM_ERROR) {
            SetError(reader, "compressed data damaged", l_strm.msg);
            errno = EIO;
            return -1;
        } else if (l_rc == Z_MEM_ERROR) {
            SetError(reader, "out of memory", nullptr);
            errno = ENOMEM;
            return -1;
        }
        // Z_OK, or Z_BUF_ERROR with the input used up: read more.
    }
    return static_cast<int>(l_done);
}

int gzClose(GzReader *reader) {
    if (reader == nullptr) {
        errno = EINVAL;
        return -1;
    }
    int l_result = reader->mode == MODE_ERROR ? -1 : 0;
    if (reader->inflate_ready)
        inflateEnd(&reader->strm);
    // A file opened for reading loses nothing at its close: its result does
    // not change what was read.
    (void)plat::close(reader->fd);
    delete[] reader->input;
    delete reader;
    return l_result;
}

const char *gzErrorText(const GzReader *reader) {
    return reader != nullptr ? reader->error : "";
}

const char *gzInflaterName() {
    return "zlib";
}

} // namespace plat
