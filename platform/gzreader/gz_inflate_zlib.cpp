// zlib's inflate as a raw deflate backend of the archive reader
// (gz_inflater.h): the unit's own inflater, built everywhere.
#include "platform/gzreader/gz_inflater.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

namespace plat {
namespace gzinflate {

namespace {

void *create() {
    z_stream *z = static_cast<z_stream *>(std::malloc(sizeof(z_stream)));
    if (z == nullptr)
        return nullptr;
    std::memset(z, 0, sizeof *z);
    // Raw deflate (negative window bits): the framing layer reads the gzip
    // header and trailer, and zlib stops exactly at the end of the data.
    if (inflateInit2(z, -15) != Z_OK) {
        std::free(z);
        return nullptr;
    }
    return z;
}

void reset(void *decoder) {
    (void)inflateReset(static_cast<z_stream *>(decoder));
}

int step(void *decoder, Step *s) {
    z_stream *z = static_cast<z_stream *>(decoder);
    z->next_in = const_cast<Bytef *>(s->in);
    z->avail_in = s->in_len;
    z->next_out = s->out;
    z->avail_out = s->out_len;
    const int rc = inflate(z, Z_NO_FLUSH);
    s->in_used = static_cast<long>(s->in_len - z->avail_in);
    s->out_made = s->out_len - z->avail_out;
    switch (rc) {
    case Z_OK:
        return STEP_MORE;
    case Z_STREAM_END:
        return STEP_END;
    case Z_BUF_ERROR:
        return STEP_STALLED;
    case Z_MEM_ERROR:
        return STEP_NO_MEMORY;
    default: // Z_DATA_ERROR, Z_NEED_DICT, Z_STREAM_ERROR
        return STEP_DAMAGED;
    }
}

void destroy(void *decoder) {
    z_stream *z = static_cast<z_stream *>(decoder);
    inflateEnd(z);
    std::free(z);
}

uint32_t crc(uint32_t crc, const unsigned char *data, size_t len) {
    // zlib's crc32 takes an unsigned int length: larger spans in pieces.
    while (len > 0) {
        const uInt n = len > 0x40000000u ? 0x40000000u : static_cast<uInt>(len);
        crc = static_cast<uint32_t>(::crc32(crc, data, n));
        data += n;
        len -= n;
    }
    return crc;
}

} // namespace

extern const Backend k_zlib = {"zlib", create, reset, step, destroy, crc};

} // namespace gzinflate
} // namespace plat
