// The reference pass's gzip reader on the platform's framing (see
// gzstream.h).
#include "tools/mediacheck/gzstream.h"

#include "platform/gzreader/gz_inflater.h"
#include "platform/plat_gz.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mediacheck {

namespace {

const size_t k_chunk = 256 * 1024;

// The host file's own reads and close: the simulated unit's devices, fault
// gate and power-cut count are not the reference pass's business.
long hostRead(int fd, void *buf, unsigned long count) {
    return static_cast<long>(::read(fd, buf, count));
}

int hostClose(int fd) {
    return ::close(fd);
}

bool startsWith(const char *text, const char *head) {
    return std::strncmp(text, head, std::strlen(head)) == 0;
}

} // namespace

GzStream::GzStream(const std::string &path) : m_path(path), m_out(k_chunk) {
    // Opened without waiting (a FIFO would wait for a writer), and read only
    // when it is a regular file.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK) != 0) {
        if (fd >= 0)
            ::close(fd);
        fail(Code::GzUnreadable, "the archive cannot be opened as a file");
        return;
    }
    m_reader =
        plat::gzinflate::gzOpenOnFd(fd, plat::gzinflate::defaultBackend(), hostRead, hostClose);
    if (m_reader == nullptr) {
        fail(Code::GzUnreadable,
             "the archive cannot be read (" + std::string(strerror(errno)) + ")");
        return;
    }
    m_fd = fd;
}

GzStream::~GzStream() {
    if (m_reader != nullptr)
        (void)plat::gzClose(m_reader);
}

void GzStream::readFacts() {
    plat::gzinflate::GzFacts facts;
    plat::gzinflate::gzFacts(m_reader, &facts);
    m_raw = facts.plain;
    m_members = facts.members;
    m_read = facts.fileRead;
}

long GzStream::next(const unsigned char **data) {
    if (m_failed)
        return -1;
    if (m_done)
        return 0;
    const int n = plat::gzRead(m_reader, m_out.data(), static_cast<unsigned>(m_out.size()));
    readFacts();
    if (n > 0) {
        *data = m_out.data();
        return n;
    }
    if (n == 0) {
        m_done = true;
        if (!m_raw) {
            plat::gzinflate::GzFacts facts;
            plat::gzinflate::gzFacts(m_reader, &facts);
            noteTrailing(facts.consumed);
        }
        return 0;
    }
    // The framing's own words for what went wrong, as the findings say it.
    const char *why = plat::gzErrorText(m_reader);
    const std::string member = "gzip member " + std::to_string(m_members + 1);
    if (startsWith(why, "unexpected end of file (empty"))
        fail(Code::GzTruncated, "the archive is empty: the unit extracts nothing");
    else if (startsWith(why, "unexpected end of file"))
        fail(Code::GzTruncated, "the gzip stream is cut short (" + member +
                                    " has no end): the unit's last files are short or missing");
    else if (startsWith(why, "read error"))
        fail(Code::GzUnreadable, "read error in the archive");
    else if (startsWith(why, "out of memory"))
        fail(Code::GzUnreadable, "the archive cannot be read (out of memory)");
    else
        fail(Code::GzCorrupt, member + ": " + why + ": the unit's extraction fails there");
    return -1;
}

// Bytes of the file from `from` (where the last member ended) to its end:
// the unit's reader ignores them; zeros (a tape's padding) are no finding.
void GzStream::noteTrailing(uint64_t from) {
    struct stat st;
    if (fstat(m_fd, &st) != 0 || static_cast<uint64_t>(st.st_size) <= from)
        return;
    const uint64_t count = static_cast<uint64_t>(st.st_size) - from;
    bool zeros = true;
    uint64_t at = from;
    while (zeros && at < static_cast<uint64_t>(st.st_size)) {
        const ssize_t n = pread(m_fd, m_out.data(), m_out.size(), static_cast<off_t>(at));
        if (n <= 0)
            break;
        for (ssize_t i = 0; i < n && zeros; ++i)
            zeros = m_out[static_cast<size_t>(i)] == 0;
        at += static_cast<uint64_t>(n);
    }
    m_read = static_cast<uint64_t>(st.st_size);
    if (!zeros)
        m_trailing = std::to_string(count) +
                     " bytes after the last gzip member start no member; the unit ignores them";
}

void GzStream::fail(Code code, const std::string &message) {
    if (m_failed)
        return;
    m_failed = true;
    m_code = code;
    m_message = message;
}

} // namespace mediacheck
