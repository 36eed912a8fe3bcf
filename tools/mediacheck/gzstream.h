// Pull reader of a gzip file for the medium checker's reference pass:
// inflates member after member with ISA-L (CRC-32 and length trailers
// verified) and tells how the stream ends: complete, cut short, damaged, not
// gzip at all, or followed by bytes that start no member.
//
// The checker inflates every archive twice, once here and once in the unit's
// own extractor beside it, so this pass sets the checker's pace; ISA-L
// inflates about twice as fast as zlib on the host. What it accepts is what
// the unit's reader accepts (complete members, every trailer right); the
// texts of its errors are its own.
#ifndef TOOLS_MEDIACHECK_GZSTREAM_H
#define TOOLS_MEDIACHECK_GZSTREAM_H

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

struct inflate_state;

namespace mediacheck {

class GzStream {
public:
    // Opens `path` (a host path) and reads its first bytes; a failure is kept
    // (failed(), code(), message()) and every next() then returns -1.
    explicit GzStream(const std::string &path);
    ~GzStream();
    GzStream(const GzStream &) = delete;
    GzStream &operator=(const GzStream &) = delete;

    // The next piece of the inflated stream (of a file without the gzip
    // magic: the file's own bytes): its size (> 0) with *data pointing at it,
    // valid until the next call; 0 at the complete end; -1 after an error.
    long next(const unsigned char **data);

    bool raw() const { return m_raw; }       // the file has no gzip magic
    bool failed() const { return m_failed; } // an error ended the stream
    // "GZ_UNREADABLE", "GZ_TRUNCATED" or "GZ_CORRUPT", and what happened.
    const std::string &code() const { return m_code; }
    const std::string &message() const { return m_message; }
    // Non-empty when bytes that are not zeros follow the last member.
    const std::string &trailing() const { return m_trailing; }
    // Bytes of the file read so far (for a progress display).
    uint64_t compressedRead() const { return m_read; }

private:
    bool fill();
    bool nextMember();
    bool startMember();
    long nextRaw(const unsigned char **data);
    void fail(const std::string &code, const std::string &message);

    FILE *m_file = nullptr;
    std::unique_ptr<inflate_state> m_state;
    std::vector<unsigned char> m_in;
    std::vector<unsigned char> m_out;
    bool m_eof = false;
    bool m_raw = false;
    bool m_done = false;
    bool m_failed = false;
    int m_members = 0;
    uint64_t m_read = 0;
    std::string m_code;
    std::string m_message;
    std::string m_trailing;
};

} // namespace mediacheck

#endif
