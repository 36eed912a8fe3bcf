// The reference pass's gzip reader over ISA-L (see gzstream.h).
#include "tools/mediacheck/gzstream.h"

#include <isa-l/igzip_lib.h>

#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mediacheck {

namespace {

const size_t k_chunk = 256 * 1024;

// What an ISA-L error code means, in the words the checker's findings use.
const char *isalError(int rc) {
    switch (rc) {
    case ISAL_INVALID_BLOCK:
        return "invalid deflate block";
    case ISAL_INVALID_SYMBOL:
        return "invalid code in the deflate data";
    case ISAL_INVALID_LOOKBACK:
        return "invalid distance too far back";
    case ISAL_INVALID_WRAPPER:
        return "invalid gzip header";
    case ISAL_UNSUPPORTED_METHOD:
        return "unknown compression method";
    case ISAL_INCORRECT_CHECKSUM:
        return "incorrect data check or length";
    case ISAL_NEED_DICT:
        return "preset dictionary needed";
    default:
        return "damaged data";
    }
}

} // namespace

GzStream::GzStream(const std::string &path)
    : m_state(new inflate_state), m_in(k_chunk), m_out(k_chunk) {
    std::memset(m_state.get(), 0, sizeof *m_state);
    // Opened without waiting (a FIFO would wait for a writer), and read only
    // when it is a regular file.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0 ||
        (m_file = fdopen(fd, "rb")) == nullptr) {
        if (fd >= 0)
            close(fd);
        fail("GZ_UNREADABLE", "the archive cannot be opened as a file");
        return;
    }
    fill();
    if (m_state->avail_in == 0) {
        if (!m_failed)
            fail("GZ_TRUNCATED", "the archive is empty: the unit extracts nothing");
        return;
    }
    if (m_state->avail_in < 2 || m_state->next_in[0] != 0x1F || m_state->next_in[1] != 0x8B) {
        m_raw = true;
        return;
    }
    startMember();
}

GzStream::~GzStream() {
    if (m_file != nullptr)
        std::fclose(m_file);
}

// Readies the inflater for a member that starts at next_in: header, deflate
// data and trailer, all checked by ISA-L. ISA-L ignores the header's reserved
// flag bits, which the unit's reader refuses: they are checked here. False
// (noted) when they are set.
bool GzStream::startMember() {
    if (m_state->avail_in < 4)
        fill(); // the flags may lie past this read
    if (m_state->avail_in >= 4 && (m_state->next_in[3] & 0xE0) != 0) {
        fail("GZ_CORRUPT", "gzip member " + std::to_string(m_members + 1) +
                               ": unknown header flags set: the unit's extraction fails there");
        return false;
    }
    // Initialisation clears the buffers' pointers too: the input not yet
    // read and the room left in the output carry over.
    uint8_t *in = m_state->next_in;
    const uint32_t avail = m_state->avail_in;
    uint8_t *out = m_state->next_out;
    const uint32_t room = m_state->avail_out;
    isal_inflate_init(m_state.get());
    m_state->crc_flag = ISAL_GZIP;
    m_state->next_in = in;
    m_state->avail_in = avail;
    m_state->next_out = out;
    m_state->avail_out = room;
    return true;
}

long GzStream::next(const unsigned char **data) {
    if (m_failed)
        return -1;
    if (m_done)
        return 0;
    if (m_raw)
        return nextRaw(data);
    m_state->next_out = m_out.data();
    m_state->avail_out = static_cast<uint32_t>(m_out.size());
    while (m_state->avail_out > 0) {
        if (m_state->avail_in == 0 && !m_eof && !fill()) {
            if (m_failed)
                return -1;
            m_eof = true;
        }
        const uint32_t room = m_state->avail_out;
        const uint32_t input = m_state->avail_in;
        const int rc = isal_inflate(m_state.get());
        if (rc < 0 || rc == ISAL_NEED_DICT) {
            fail("GZ_CORRUPT", "gzip member " + std::to_string(m_members + 1) + ": " +
                                   isalError(rc) + ": the unit's extraction fails there");
            return -1;
        }
        if (m_state->block_state == ISAL_BLOCK_FINISH) {
            ++m_members;
            if (nextMember())
                continue;
            if (m_failed)
                return -1;
            break;
        }
        if (m_state->avail_out != room || m_state->avail_in != input)
            continue;
        // No progress: the inflater needs more input. At the end of the
        // file the member has no end.
        if (!m_eof && fill())
            continue;
        if (m_failed)
            return -1;
        fail("GZ_TRUNCATED", "the gzip stream is cut short (member " +
                                 std::to_string(m_members + 1) +
                                 " has no end): the unit's last files are short or missing");
        return -1;
    }
    *data = m_out.data();
    return static_cast<long>(m_out.size() - m_state->avail_out);
}

// Reads more of the file behind the bytes not yet inflated. False at the end
// of the file (or on a read error, noted).
bool GzStream::fill() {
    if (m_file == nullptr)
        return false;
    const size_t keep = m_state->avail_in;
    if (keep > 0 && m_state->next_in != m_in.data())
        std::memmove(m_in.data(), m_state->next_in, keep);
    const size_t n = std::fread(m_in.data() + keep, 1, m_in.size() - keep, m_file);
    if (n == 0 && std::ferror(m_file)) {
        fail("GZ_UNREADABLE", "read error in the archive");
        return false;
    }
    m_read += n;
    m_state->next_in = m_in.data();
    m_state->avail_in = static_cast<uint32_t>(keep + n);
    return n > 0;
}

// After a member's end: true when another member follows (the inflater is
// readied for it); false at the end of the file, with trailing bytes that
// start no member noted, or when the next member's header is refused (noted).
bool GzStream::nextMember() {
    if (m_state->avail_in == 0 && !fill()) {
        m_done = !m_failed;
        return false;
    }
    if (m_state->avail_in < 2)
        fill(); // the magic may straddle two reads
    if (m_state->avail_in >= 2 && m_state->next_in[0] == 0x1F && m_state->next_in[1] == 0x8B)
        return startMember();
    // Bytes after the last member: the unit ignores them.
    bool zeros = true;
    uint64_t count = 0;
    do {
        for (uint32_t i = 0; i < m_state->avail_in; ++i)
            zeros = zeros && m_state->next_in[i] == 0;
        count += m_state->avail_in;
        m_state->avail_in = 0;
    } while (fill());
    if (!zeros)
        m_trailing = std::to_string(count) +
                     " bytes after the last gzip member start no member; the unit ignores them";
    m_done = !m_failed;
    return false;
}

long GzStream::nextRaw(const unsigned char **data) {
    if (m_state->avail_in == 0 && !fill()) {
        m_done = !m_failed;
        return m_failed ? -1 : 0;
    }
    *data = m_state->next_in;
    const long n = static_cast<long>(m_state->avail_in);
    m_state->avail_in = 0;
    return n;
}

void GzStream::fail(const std::string &code, const std::string &message) {
    if (m_failed)
        return;
    m_failed = true;
    m_code = code;
    m_message = message;
}

} // namespace mediacheck
