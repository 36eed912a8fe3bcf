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

// Formats `fmt` into `out` (capacity `cap`) with at most six arguments.
// Returns the length written.
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
        // Parse "%[flags][width][.precision][length]conversion"; on anything
        // unknown or missing, the '%' is copied literally and the rest of the
        // format continues as plain text.
        const char *q = p + 1;
        char flags[6];
        size_t flagCount = 0;
        while (*q != '\0' && std::strchr("-+ #0", *q) != nullptr) {
            if (flagCount < sizeof flags - 1)
                flags[flagCount++] = *q;
            ++q;
        }
        flags[flagCount] = '\0';
        auto takeNumber = [&q]() {
            int v = 0;
            while (*q >= '0' && *q <= '9') {
                if (v <= kFieldMax)
                    v = v * 10 + (*q - '0');
                ++q;
            }
            return v > kFieldMax ? kFieldMax : v;
        };
        int argsNeeded = 1;
        bool starWidth = false, starPrecision = false, hasPrecision = false;
        int width = 0, precision = 0;
        if (*q == '*') {
            starWidth = true;
            ++argsNeeded;
            ++q;
        } else {
            width = takeNumber();
        }
        if (*q == '.') {
            hasPrecision = true;
            ++q;
            if (*q == '*') {
                starPrecision = true;
                ++argsNeeded;
                ++q;
            } else {
                precision = takeNumber();
            }
        }
        Length len = Length::None;
        if (q[0] == 'h' && q[1] == 'h') {
            len = Length::HH;
            q += 2;
        } else if (q[0] == 'l' && q[1] == 'l') {
            len = Length::LL;
            q += 2;
        } else if (*q == 'h') {
            len = Length::H;
            ++q;
        } else if (*q == 'l') {
            len = Length::L;
            ++q;
        } else if (*q == 'z') {
            len = Length::Z;
            ++q;
        } else if (*q == 'j') {
            len = Length::J;
            ++q;
        } else if (*q == 't') {
            len = Length::T;
            ++q;
        }
        const char conv = *q;
        // An unknown conversion, or more conversions than arguments: the
        // '%' is kept as text.
        if (conv == '\0' || std::strchr("diuxXocsp", conv) == nullptr ||
            used + argsNeeded > kArgCount) {
            w.put('%');
            ++p;
            continue;
        }
        if (starWidth) {
            const long v = static_cast<long>(args[used++]);
            width = static_cast<int>(v < -kFieldMax ? -kFieldMax : v > kFieldMax ? kFieldMax : v);
        }
        if (starPrecision) {
            const long v = static_cast<long>(args[used++]);
            precision = static_cast<int>(v > kFieldMax ? kFieldMax : v);
            hasPrecision = precision >= 0; // a negative precision means none
        }
        // The validated conversion, with the numbers spelt out.
        char piece[48];
        size_t sl = static_cast<size_t>(std::snprintf(piece, sizeof piece, "%%%s", flags));
        if (width != 0)
            sl += static_cast<size_t>(std::snprintf(piece + sl, sizeof piece - sl, "%d", width));
        if (hasPrecision)
            sl +=
                static_cast<size_t>(std::snprintf(piece + sl, sizeof piece - sl, ".%d", precision));
        const _Vx_usr_arg_t a = args[used++];
        const bool isSigned = (conv == 'd' || conv == 'i');
        if (conv == 'd' || conv == 'i' || conv == 'u' || conv == 'x' || conv == 'X' ||
            conv == 'o') {
            const char *mod = "";
            switch (len) {
            case Length::HH:
                mod = "hh";
                break;
            case Length::H:
                mod = "h";
                break;
            case Length::L:
                mod = "l";
                break;
            case Length::LL:
                mod = "ll";
                break;
            case Length::Z:
                mod = "z";
                break;
            case Length::J:
                mod = "j";
                break;
            case Length::T:
                mod = "t";
                break;
            case Length::None:
                break;
            }
            std::snprintf(piece + sl, sizeof piece - sl, "%s%c", mod, conv);
            switch (len) {
            case Length::HH:
                if (isSigned)
                    w.format(piece, static_cast<int>(static_cast<signed char>(a)));
                else
                    w.format(piece, static_cast<unsigned>(static_cast<unsigned char>(a)));
                break;
            case Length::H:
                if (isSigned)
                    w.format(piece, static_cast<int>(static_cast<short>(a)));
                else
                    w.format(piece, static_cast<unsigned>(static_cast<unsigned short>(a)));
                break;
            case Length::None:
                if (isSigned)
                    w.format(piece, static_cast<int>(a));
                else
                    w.format(piece, static_cast<unsigned>(a));
                break;
            case Length::L:
                if (isSigned)
                    w.format(piece, static_cast<long>(a));
                else
                    w.format(piece, static_cast<unsigned long>(a));
                break;
            case Length::LL:
                if (isSigned)
                    w.format(piece, static_cast<long long>(a));
                else
                    w.format(piece, static_cast<unsigned long long>(a));
                break;
            case Length::Z:
                if (isSigned)
                    w.format(piece, static_cast<ssize_t>(a));
                else
                    w.format(piece, static_cast<size_t>(a));
                break;
            case Length::J:
                if (isSigned)
                    w.format(piece, static_cast<intmax_t>(a));
                else
                    w.format(piece, static_cast<uintmax_t>(a));
                break;
            case Length::T:
                if (isSigned)
                    w.format(piece, static_cast<ptrdiff_t>(a));
                else
                    w.format(piece, static_cast<size_t>(a));
                break;
            }
        } else {
            // %c, %s and %p ignore any length modifier (no wide characters).
            piece[sl++] = conv;
            piece[sl] = '\0';
            if (conv == 'c') {
                w.format(piece, static_cast<int>(static_cast<unsigned char>(a)));
            } else if (conv == 's') {
                const char *s = reinterpret_cast<const char *>(a);
                w.format(piece, s != nullptr ? s : "(null)");
            } else {
                w.format(piece, reinterpret_cast<void *>(a));
            }
        }
        p = q + 1;
    }
    return w.length();
}

struct LogSinks {
    std::mutex lock;
    bool toStderr = false;
    FILE *file = nullptr;
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
        std::fwrite(text, 1, len, s.file);
        std::fflush(s.file);
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
    if (path.empty())
        return true;
    s.file = std::fopen(path.c_str(), "a");
    return s.file != nullptr;
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
    s.capturing = false;
    s.captured.clear();
    s.consoleFd = -1;
}
} // namespace detail

} // namespace hostsim
