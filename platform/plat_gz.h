// Archive-reader seam: the extractor's gzopen/gzread/gzclose.
//
// One gzip framing layer (platform/gzreader/gz_frame.cpp) over a raw-deflate
// inflater: zlib on the unit and wherever nothing faster is available; the
// host may default to a faster one (ISA-L) with the same observable results,
// errors included. Which one is the default is chosen by CMake.
//
// Behaviour of the reader (zlib's gzread behaviour, with two faults mended):
// - a file that does not start with the gzip magic is read as it is, except
//   a file with no byte at all or whose only byte is the magic's first one:
//   that is a cut archive, an error (zlib would read it as an empty or a
//   one-byte plain file, and an empty .tgz would extract as nothing, with
//   success);
// - a gzip file of several members is read member after member as one stream;
// - bytes after the last member that do not start another member are ignored;
// - a stream that ends before its last member's trailer (a cut file), damaged
//   compressed data, a CRC-32 or length trailer that does not match, and a
//   read error are errors. zlib's own gzread can miss a cut that falls where
//   its output buffer is exactly full; this reader never reports a cut stream
//   as complete.
#ifndef PLATFORM_PLAT_GZ_H
#define PLATFORM_PLAT_GZ_H

namespace plat {

struct GzReader; // opaque; one per open archive, used by one task at a time

// Opens `path` (device name resolved) for reading. Null on failure, with
// errno set (ENOENT, EACCES, ENAMETOOLONG, ENOMEM, ...; EISDIR for a folder
// and EINVAL for any other file that is not a regular one, such as a FIFO,
// refused without blocking and before anything is read).
GzReader *gzOpen(const char *path);

// Reads the next `len` bytes of decompressed data into `buf` (len at most
// INT_MAX). The contract every inflater keeps (zlib's gzread):
// - the result is exactly `len` unless the stream ends or fails within this
//   call: a count below `len` is returned only at the end of the stream or
//   just before an error, so the call after a short count returns 0 or -1;
// - the boundaries between members are invisible: a member that ends inside
//   the buffer is followed, in the same call, by the next member's bytes;
// - 0 once the whole stream has been read and found complete (and again on
//   every later call); -1 on any error listed above (errno set: EIO for a
//   read error or damaged data), and after -1 every later call returns -1.
int gzRead(GzReader *reader, void *buf, unsigned len);

// Releases the reader (null is refused with -1). Returns 0 when no error was
// seen; -1 when a read or the data failed. A stream closed before its end was
// read is not an error by itself.
int gzClose(GzReader *reader);

// A short text for the last error of `reader` ("" when none), for log lines.
const char *gzErrorText(const GzReader *reader);

// Name of the inflater built in: "zlib" or "isal".
const char *gzInflaterName();

} // namespace plat

#endif
