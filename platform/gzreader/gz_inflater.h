// Inside the archive reader: the inflater backends under the one gzip
// framing layer (gz_frame.cpp).
//
// The framing layer reads the file, tells gzip from plain data, parses member
// headers and trailers, walks the members, checks each member's CRC-32 and
// length, ignores trailing data and detects every cut. A backend supplies
// only raw deflate decoding and CRC-32. zlib's is always built (the unit's
// own); ISA-L's is built on a host where the library is found. The build
// picks the default one (cmake/inflater.cmake); tests open a reader on each
// backend built in, so that every backend is held to the same contract.
//
// Not for module code: it sees only platform/plat_gz.h.
#ifndef PLATFORM_GZREADER_GZ_INFLATER_H
#define PLATFORM_GZREADER_GZ_INFLATER_H

#include "platform/plat_gz.h"

#include <cstddef>
#include <cstdint>

namespace plat {
namespace gzinflate {

// Result of one decoding step.
enum Status {
    STEP_MORE = 0,    // progress made; call again with more input or room
    STEP_STALLED = 1, // no progress possible with this input and this room
    STEP_END = 2,     // the deflate data ended; every byte of it is out
    STEP_DAMAGED = -1,
    STEP_NO_MEMORY = -2,
};

// One decoding step: the backend decodes from in[0..in_len) into
// out[0..out_len) and says how much it took and gave. At STEP_END, in_used
// counts exactly the input up to the end of the deflate data; it may be
// negative (down to -16) when the backend had read ahead past that end into
// bytes handed to it in an earlier step: the framing layer keeps the last 16
// input bytes before `in` for that.
struct Step {
    const unsigned char *in;
    unsigned in_len;
    unsigned char *out;
    unsigned out_len;
    long in_used;
    unsigned out_made;
};

// The most input bytes a backend may give back at STEP_END.
const unsigned k_max_give_back = 16;

// A backend: plain functions, so that several can live in one build.
struct Backend {
    const char *name; // "zlib", "isal"
    // A decoder ready for a member's deflate data; null when out of memory.
    void *(*create)();
    // Readies the decoder for the next member's deflate data.
    void (*reset)(void *decoder);
    int (*step)(void *decoder, Step *step); // a Status
    void (*destroy)(void *decoder);
    // CRC-32 (gzip's) of data[0..len) continued from crc (0 to start).
    uint32_t (*crc32)(uint32_t crc, const unsigned char *data, size_t len);
};

extern const Backend k_zlib;
// Only in builds where ISA-L was found (inflater.cmake).
extern const Backend k_isal;

// The default the build picked (cmake/inflater.cmake).
const Backend &buildDefaultBackend();
// The backend behind plat::gzOpen: the build's default, unless the
// environment variable UPG_INFLATE is "zlib" (read once, at the first
// call): one build can run its archive suites, or the simulator, on the
// unit's own inflater without a build of its own. Any other value leaves the
// build's default.
const Backend &defaultBackend();
// Every backend built in, the default first, ended by a null.
const Backend *const *allBackends();

// Opens a reader of `path` on `backend` (as plat::gzOpen does on the default).
GzReader *gzOpenWith(const char *path, const Backend &backend);

// A reader over a file the caller opened and reads its own way: `readFn`
// and `closeFn` replace plat::read and plat::close (same results, errno
// set on failure), so that a host tool can read a host file with the very
// framing the unit's extractor uses, outside the device table, the fault
// gate and the power-cut count. The reader owns `fd` from then on (closed
// by gzClose, or at once when the reader cannot be made: null, errno
// ENOMEM). Null functions are refused (errno EINVAL, `fd` left open).
typedef long (*FdRead)(int fd, void *buf, unsigned long count);
typedef int (*FdClose)(int fd);
GzReader *gzOpenOnFd(int fd, const Backend &backend, FdRead readFn, FdClose closeFn);

// What the framing has seen of the file so far, for a tool that reports
// on the archive rather than extracts it.
struct GzFacts {
    bool plain = false;              // no gzip magic: the file is read as it is
    unsigned members = 0;            // gzip members read whole (trailer matched)
    unsigned long long fileRead = 0; // bytes read from the file
    unsigned long long consumed = 0; // ...of which the stream has taken (the rest is buffered)
};
// Fills `facts` (nothing for a null argument). Once gzRead has returned 0
// for a gzip file, `consumed` is where its last member ended: the bytes of
// the file from there on are the trailing data the reader ignored.
void gzFacts(const GzReader *reader, GzFacts *facts);

// Test hook: makes plat::gzOpen open its readers on `backend` (null: the
// build's default again), so that a suite above the reader (the extractor's)
// can run on every backend. gzInflaterName keeps naming the build's default.
// Call it only while no reader is being opened.
void useBackendForTest(const Backend *backend);

// Test hook: with a limit above 0, every gzRead returns at most that many
// bytes, breaking the contract on purpose, so that a caller's defence
// against a short count can be tested. 0 (the default) lifts it. Any task.
void setReadLimitForTest(unsigned limit);

} // namespace gzinflate
} // namespace plat

#endif
