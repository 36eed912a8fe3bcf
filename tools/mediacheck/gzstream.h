// Pull reader of a gzip file for the medium checker's reference pass, on the
// platform's own gzip framing (platform/gzreader: the layer under the unit's
// extractor) over a host file read directly, outside the simulated unit's
// devices, fault gate and power-cut count. It accepts what the unit's reader
// accepts (every member whole, every trailer right, a plain file as it is)
// and tells how the stream ends: complete, cut short, damaged, not gzip at
// all, or followed by bytes that start no member, in the words of the
// checker's findings.
#ifndef TOOLS_MEDIACHECK_GZSTREAM_H
#define TOOLS_MEDIACHECK_GZSTREAM_H

#include "tools/mediacheck/finding_codes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace plat {
struct GzReader;
}

namespace mediacheck {

class GzStream {
public:
    // Opens `path` (a host path); a failure is kept (failed(), code(),
    // message()) and every next() then returns -1. A file that is not a
    // regular one is refused without being read (a FIFO would wait).
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
    // GzUnreadable, GzTruncated or GzCorrupt, and what happened.
    Code code() const { return m_code; }
    const std::string &message() const { return m_message; }
    // Non-empty when bytes that are not zeros follow the last member.
    const std::string &trailing() const { return m_trailing; }
    // Bytes of the file read so far (for a progress display).
    uint64_t compressedRead() const { return m_read; }

private:
    void fail(Code code, const std::string &message);
    void readFacts();
    void noteTrailing(uint64_t from);

    plat::GzReader *m_reader = nullptr;
    int m_fd = -1; // the reader's file, for the trailing bytes
    std::string m_path;
    std::vector<unsigned char> m_out;
    bool m_raw = false;
    bool m_done = false;
    bool m_failed = false;
    unsigned m_members = 0;
    uint64_t m_read = 0;
    Code m_code = Code::GzCorrupt;
    std::string m_message;
    std::string m_trailing;
};

} // namespace mediacheck

#endif
