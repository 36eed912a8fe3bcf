// logMsg on the host: a bounded formatter that parses the format itself and
// takes each argument as the type its conversion names, and the log sinks
// (standard error, a file, an in-memory capture for tests).
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/types.h>
#include <unistd.h>

namespace {

// Longest formatted line; anything beyond is cut.
constexpr size_t kLineMax = 2048;
// Largest width or precision honoured; larger ones are clamped.
constexpr int kFieldMax = 1000;
constexpr int kArgCount = 6;

// Appends to a fixed buffer, never past its end; keeps it NUL-terminated.
class LineWriter {
public:
    LineWriter(char *buf, size_t cap) : m_buf(buf), m_cap(cap) { m_buf[0] = '\0'; }
    void put(char c) {
        if (m_len + 1 < m_cap) {
            m_buf[m_len++] = c;
            m_buf[m_len] = '\0';
        }
    }
    // Formats one conversion whose piece was validated by the parser.
    template <typename T> void format(const char *piece, T value) {
        const size_t room = m_cap - m_len;
        if (room <= 1)
            return;
        const int n = std::snprintf(m_buf + m_len, room, piece, value);
        if (n > 0)
            m_len += (static_cast<size_t>(n) < room) ? static_cast<size_t>(n) : room - 1;
        m_buf[m_len] = '\0';
    }
    size_t length() const { return m_len; }

private:
    char *m_buf;
    size_t m_cap;
    size_t m_len = 0;
};

enum class Length { None, HH, H, L, LL, Z, J, T };

// The length modifiers, longest first so that "hh" is not read as "h".
struct LengthModifier {
    const char *text;
    Length length;
};
constexpr LengthModifier kLengthModifiers[] = {
    {"hh", Length::HH}, {"ll", Length::LL}, {"h", Length::H}, {"l", Length::L},
    {"z", Length::Z},   {"j", Length::J},   {"t", Length::T},
};

// One conversion "%[flags][width][.precision][length]conversion" as parsed.
struct Conversion {
    char flags[6];          // at most five flags kept
    int width = 0;          // 0: none
    int precision = 0;      // with hasPrecision
    bool starWidth = false; // width taken from an argument
    bool starPrecision = false;
    bool hasPrecision = false;
    const char *modifier = ""; // the length modifier as written ("" when none)
    Length length = Length::None;
    char conv = '\0';
    int argsNeeded = 1;        // the value, and one per star
    const char *end = nullptr; // just past the conversion character
};

// Reads a width or precision at q, advancing q; clamped to kFieldMax.
int takeNumber(const char *&q) {
    int v = 0;
    while (*q >= '0' && *q <= '9') {
        if (v <= kFieldMax)
            v = v * 10 + (*q - '0');
        ++q;
    }
    return v > kFieldMax ? kFieldMax : v;
}

// Parses the conversion that follows a '%' (afterPercent points just past
// it) into *c. False when the conversion is unknown or the format ends inside
// it.
bool parseConversion(const char *afterPercent, Conversion *c) {
    const char *q = afterPercent;
    size_t flagCount = 0;
    while (*q != '\0' && std::strchr("-+ #0", *q) != nullptr) {
        if (flagCount < sizeof c->flags - 1)
            c->flags[flagCount++] = *q;
        ++q;
    }
    c->flags[flagCount] = '\0';
    if (*q == '*') {
        c->starWidth = true;
        ++c->argsNeeded;
        ++q;
    } else {
        c->width = takeNumber(q);
    }
    if (*q == '.') {
        c->hasPrecision = true;
        ++q;
        if (*q == '*') {
            c->starPrecision = true;
            ++c->argsNeeded;
            ++q;
        } else {
            c->precision = takeNumber(q);
        }
    }
    for (const LengthModifier &m : kLengthModifiers) {
        const size_t n = std::strlen(m.text);
        if (std::strncmp(q, m.text, n) == 0) {
            c->modifier = m.text;
            c->length = m.length;
            q += n;
            break;
        }
    }
    c->conv = *q;
    c->end = q + 1;
    return c->conv != '\0' && std::strchr("diuxXocsp", c->conv) != nullptr;
}

// Formats an integer conversion: the argument is taken as the type that the
// length modifier and the conversion name (signed for d and i).
void formatInteger(LineWriter &w, const char *piece, Length length, bool isSigned,
                   _Vx_usr_arg_t a) {
    switch (length) {
    case Length::HH:
        return isSigned ? w.format(piece, static_cast<int>(static_cast<signed char>(a)))
                        : w.format(piece, static_cast<unsigned>(static_cast<unsigned char>(a)));
    case Length::H:
        return isSigned ? w.format(piece, static_cast<int>(static_cast<short>(a)))
                        : w.format(piece, static_cast<unsigned>(static_cast<unsigned short>(a)));
    case Length::None:
        return isSigned ? w.format(piece, static_cast<int>(a))
                        : w.format(piece, static_cast<unsigned>(a));
    case Length::L:
        return isSigned ? w.format(piece, static_cast<long>(a))
                        : w.format(piece, static_cast<unsigned long>(a));
    case Length::LL:
        return isSigned ? w.format(piece, static_cast<long long>(a))
                        : w.format(piece, static_cast<unsigned long long>(a));
    case Length::Z:
        return isSigned ? w.format(piece, static_cast<ssize_t>(a))
                        : w.format(piece, static_cast<size_t>(a));
    case Length::J:
        return isSigned ? w.format(piece, static_cast<intmax_t>(a))
                        : w.format(piece, static_cast<uintmax_t>(a));
    case Length::T:
        return isSigned ? w.format(piece, static_cast<ptrdiff_t>(a))
                        : w.format(piece, static_cast<size_t>(a));
    }
}

// Formats the parsed conversion c with the arguments from args[*used] on
// (its stars first, then its value), advancing *used. The caller has checked
// that enough arguments are left.
void formatConversion(LineWriter &w, Conversion c, const _Vx_usr_arg_t *args, int *used) {
    if (c.starWidth) {
        const long v = static_cast<long>(args[(*used)++]);
        c.width = static_cast<int>(v < -kFieldMax ? -kFieldMax : v > kFieldMax ? kFieldMax : v);
    }
    if (c.starPrecision) {
        const long v = static_cast<long>(args[(*used)++]);
        // A negative precision means none.
        c.hasPrecision = v >= 0;
        c.precision = static_cast<int>(v > kFieldMax ? kFieldMax : v < 0 ? 0 : v);
    }
    const _Vx_usr_arg_t a = args[(*used)++];
    // The validated conversion, with the numbers spelt out. %c, %s and %p
    // ignore any length modifier (no wide characters).
    const bool isInteger = std::strchr("diuxXo", c.conv) != nullptr;
    char piece[48];
    size_t sl = static_cast<size_t>(std::snprintf(piece, sizeof piece, "%%%s", c.flags));
    if (c.width != 0)
        sl += static_cast<size_t>(std::snprintf(piece + sl, sizeof piece - sl, "%d", c.width));
    if (c.hasPrecision)
        sl += static_cast<size_t>(std::snprintf(piece + sl, sizeof piece - sl, ".%d", c.precision));
    std::snprintf(piece + sl, sizeof piece - sl, "%s%c", isInteger ? c.modifier : "", c.conv);
    if (isInteger) {
        formatInteger(w, piece, c.length, c.conv == 'd' || c.conv == 'i', a);
    } else if (c.conv == 'c') {
        w.format(piece, static_cast<int>(static_cast<unsigned char>(a)));
    } else if (c.conv == 's') {
        const char *s = reinterpret_cast<const char *>(a);
        w.format(piece, s != nullptr ? s : "(null)");
    } else {
        w.format(piece, reinterpret_cast<void *>(a));
    }
}

// Formats `fmt` into `out` (capacity `cap`) with at most six arguments, each
// taken as the type its conversion names. An unknown or incomplete
// conversion, or one that would need more arguments than are left, is copied
// as text from its '%' on. Returns the length written. Any thread.
size_t formatLine(char *out, size_t cap, const char *fmt, const _Vx_usr_arg_t *args) {
    LineWriter w(out, cap);
    int used = 0;
    const char *p = fmt;
    while (*p != '\0') {
        if (*p != '%') {
            w.put(*p++);
            continue;
        }
        if (p[1] == '%') {
            w.put('%');
            p += 2;
            continue;
        }
        Conversion c;
        if (!parseConversion(p + 1, &c) || used + c.argsNeeded > kArgCount) {
            w.put('%');
            ++p;
            continue;
        }
        formatConversion(w, c, args, &used);
        p = c.end;
    }
    return w.length();
}

struct LogSinks {
    std::mutex lock;
    bool toStderr = false;
    FILE *file = nullptr;
    int fileError = 0; // errno of the first line the file did not take
    bool capturing = false;
    std::vector<hostsim::LogLine> captured;
    int consoleFd = -1;
};

LogSinks &sinks() {
    static LogSinks *s = new LogSinks; // never destroyed: tasks may log during exit
    return *s;
}

void emit(hostsim::LogSource source, const char *text, size_t len) {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.toStderr) {
        std::fwrite(text, 1, len, stderr);
        std::fflush(stderr);
    }
    if (s.file != nullptr) {
        const int saved = errno;
        errno = 0;
        if ((std::fwrite(text, 1, len, s.file) != len || std::fflush(s.file) != 0) &&
            s.fileError == 0)
            s.fileError = errno != 0 ? errno : EIO;
        errno = saved;
    }
    if (s.capturing)
        s.captured.push_back(hostsim::LogLine{source, std::string(text, len)});
}

} // namespace

int logMsg(const char *fmt, _Vx_usr_arg_t a1, _Vx_usr_arg_t a2, _Vx_usr_arg_t a3, _Vx_usr_arg_t a4,
           _Vx_usr_arg_t a5, _Vx_usr_arg_t a6) {
    if (fmt == nullptr)
        return 0;
    const int savedErrno = errno; // logging must not disturb the caller's errno
    const _Vx_usr_arg_t args[kArgCount] = {a1, a2, a3, a4, a5, a6};
    char line[kLineMax];
    const size_t len = formatLine(line, sizeof line, fmt, args);
    emit(hostsim::LogSource::LogMsg, line, len);
    errno = savedErrno;
    return static_cast<int>(len);
}

// The unit's console output is printf's, variadic as printf is.
int consolePrintf(const char *fmt, ...) { // NOLINT(cert-dcl50-cpp)
    if (fmt == nullptr)
        return 0;
    const int savedErrno = errno;
    char line[kLineMax];
    va_list args;
    va_start(args, fmt);
    const int n = std::vsnprintf(line, sizeof line, fmt, args);
    va_end(args);
    size_t len = n < 0 ? 0 : static_cast<size_t>(n);
    if (len >= sizeof line)
        len = sizeof line - 1;
    emit(hostsim::LogSource::Console, line, len);
    int fd = -1;
    {
        LogSinks &s = sinks();
        std::lock_guard<std::mutex> g(s.lock);
        fd = s.consoleFd;
    }
    for (size_t done = 0; fd >= 0 && done < len;) {
        const ssize_t w = ::write(fd, line + done, len - done);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        done += static_cast<size_t>(w);
    }
    errno = savedErrno;
    return static_cast<int>(len);
}

int errnoGet() {
    return errno;
}

STATUS errnoSet(int errorValue) {
    errno = errorValue;
    return OK;
}

namespace hostsim {

void consoleToFd(int fd) {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    s.consoleFd = fd;
}

void logToStderr(bool on) {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    s.toStderr = on;
}

bool logToFile(const std::string &path) {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    if (s.file != nullptr) {
        std::fclose(s.file);
        s.file = nullptr;
    }
    s.fileError = 0;
    if (path.empty())
        return true;
    // Opened without waiting: a FIFO that nothing reads would hold the open
    // forever; it fails at once instead (ENXIO). Once open, a FIFO or a pipe
    // that someone reads takes the lines at the reader's pace, as a file of
    // the terminal's would.
    int fd;
    do {
        fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return false;
    const int flags = ::fcntl(fd, F_GETFL);
    s.file =
        flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0 ? nullptr : ::fdopen(fd, "a");
    if (s.file == nullptr) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return false;
    }
    return true;
}

int logFileError() {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    return s.fileError;
}

void captureLog(bool on) {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    s.capturing = on;
    if (on)
        s.captured.clear();
}

std::vector<LogLine> capturedLog() {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    return s.captured;
}

std::string capturedText(LogSource source) {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    std::string out;
    for (const LogLine &l : s.captured)
        if (l.source == source)
            out += l.text;
    return out;
}

void clearCapturedLog() {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    s.captured.clear();
}

std::string formatLog(const char *fmt, const _Vx_usr_arg_t args[6]) {
    if (fmt == nullptr)
        return std::string();
    char line[kLineMax];
    const size_t len = formatLine(line, sizeof line, fmt, args);
    return std::string(line, len);
}

void emitLog(LogSource source, const char *text) {
    if (text == nullptr)
        return;
    const int savedErrno = errno;
    emit(source, text, std::strlen(text));
    errno = savedErrno;
}

namespace detail {
void resetLog() {
    LogSinks &s = sinks();
    std::lock_guard<std::mutex> g(s.lock);
    s.toStderr = false;
    if (s.file != nullptr) {
        std::fclose(s.file);
        s.file = nullptr;
    }
    s.fileError = 0;
    s.capturing = false;
    s.captured.clear();
    s.consoleFd = -1;
}
} // namespace detail

} // namespace hostsim
