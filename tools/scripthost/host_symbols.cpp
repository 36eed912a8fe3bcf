// The host functions a script is linked against: the wrappers' call entry into
// the builtin registry, and replacements of the C library's file functions
// (resolving device names such as "/DVD" and "/SDH" like the module does) and
// of exit (ending the script, not the host).
//
// On the unit the interpreter runs scripts inside the OS, whose own device
// layer resolves the names; on the host these replacements do it.
#include "tools/scripthost/internal.h"

#include "platform/hostsim/hostsim.h"
#include "platform/plat_io.h"
#include "unit/hmi.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <fcntl.h>
#include <functional>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <vector>

namespace scripthost {
namespace detail {

namespace {

RunContext *g_current = nullptr;

// Value of one wrapper argument, as the generated wrappers store it.
union HostValue {
    int i;
    unsigned int u;
    void *p;
};

const int k_max_args = 16;

// Bytes of a call site's file path read from the script's memory.
const std::size_t k_max_site_path = 4096;

// Exit status of a process the script forked whose parent had died before
// it could be tied to it.
const int k_orphan_status = 125;

// Characters of a bargraph text the module keeps.
const std::size_t k_bar_text_kept = 254;

// The terminal's bar around the script's extractions: drawn full when an
// extraction under an active bar ends well (the module's own steps stop
// short of the end). Called after each builtin call with its result.
void followBargraph(const char *name, int count, const char *kinds, const HostValue *values,
                    int result) {
    RunContext *ctx = currentRun();
    if (ctx == nullptr)
        return;
    if (std::strcmp(name, "ActivateBargraph") == 0 && result == 0 && count > 0 && kinds[0] == 'p') {
        const char *text = static_cast<const char *>(values[0].p);
        ctx->barActive = true;
        ctx->barText = text != nullptr ? std::string(text, strnlen(text, k_bar_text_kept)) : "";
    } else if (std::strcmp(name, "DeactivateBargraph") == 0) {
        ctx->barActive = false;
    } else if (std::strcmp(name, "UnCompress") == 0 && result == 0 && ctx->barActive) {
        unit::fillBargraphOnTerminal(ctx->barText);
    }
}

void note(const std::string &text) {
    if (RunContext *ctx = currentRun())
        ctx->notes.push_back(text);
}

} // namespace

void endForkedProcess(int status) {
    std::fflush(nullptr);
    _exit(status & 0xFF);
}

RunContext *currentRun() {
    return g_current;
}
void setCurrentRun(RunContext *ctx) {
    g_current = ctx;
}

extern "C" {

// The wrappers' one entry: lays the arguments out in the interpreter's slots
// and calls the handler registered as `name`, made at line `line` of script
// file `file` (null: a call without its site). The builtin's int result, or
// -1 when no such builtin is registered or the call is malformed.
static int upg_host_call_builtin(const char *name, const char *file, int line, int count,
                                 const char *kinds, HostValue *values) {
    if (name == nullptr || kinds == nullptr || count < 0 || count > k_max_args ||
        (count > 0 && values == nullptr)) {
        note("malformed builtin call");
        return -1;
    }
    std::vector<hostsim::EicArg> args;
    args.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) {
        switch (kinds[i]) {
        case 'i':
            args.push_back(hostsim::EicArg::Int(values[i].i));
            break;
        case 'u':
            args.push_back(hostsim::EicArg::Int(static_cast<int>(values[i].u)));
            break;
        case 'p':
            args.push_back(hostsim::EicArg::Ptr(values[i].p));
            break;
        default:
            note(std::string("malformed builtin call of ") + name);
            return -1;
        }
    }
    if (std::strcmp(name, "UnCompress") == 0)
        unit::startBargraphExtraction();
    hostsim::CallSite site;
    if (file != nullptr) {
        // Only the base name is kept: the path is read no further than that.
        site.file.assign(file, strnlen(file, k_max_site_path));
        site.line = line;
    }
    val_t result;
    if (!hostsim::callBuiltin(name, args, &result, site)) {
        RunContext *ctx = currentRun();
        if (ctx != nullptr && ctx->unregisteredNamed.insert(name).second)
            ctx->notes.push_back(std::string("builtin '") + name +
                                 "' is not registered: the call returned -1");
        return -1;
    }
    followBargraph(name, count, kinds, values, result.ival);
    return result.ival;
}

// ---- Ending the script ----

[[noreturn]] static void sh_exit(int status) {
    RunContext *ctx = currentRun();
    if (ctx == nullptr)
        std::_Exit(status); // not reachable: scripts run only inside runScript
    if (getpid() != ctx->pid)
        endForkedProcess(status);
    ctx->exitStatus = status;
    std::longjmp(ctx->exitJump, 1);
}

[[noreturn]] static void sh_abort(void) {
    RunContext *ctx = currentRun();
    if (ctx != nullptr && ctx->ownProcess) {
        std::fflush(nullptr);
        std::signal(SIGABRT, SIG_DFL);
        std::raise(SIGABRT);
    }
    note("the script called abort");
    sh_exit(134); // what a shell reports for a process ended by SIGABRT
}

// A process the script forks dies with the one that forked it, as the
// script's own process dies with upgsim: none runs on after upgsim was
// killed. (The forking thread is the script's, which runs until the script
// ends.)
static int sh_fork(void) {
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(k_orphan_status);
    }
    return pid;
}

// Handlers registered by a script would outlive its code: refused.
static int sh_atexit(void (*)(void)) {
    note("atexit is not supported in scripts: the handler was not registered");
    return -1;
}

// ---- Streams and descriptors ----

static FILE *sh_fopen(const char *path, const char *mode) {
    FILE *f = plat::fopen(path, mode);
    if (f != nullptr && currentRun() != nullptr)
        currentRun()->files.insert(f);
    return f;
}

// A stream made on a descriptor owns it from then on: its fclose closes both.
static FILE *sh_fdopen(int fd, const char *mode) {
    FILE *f = ::fdopen(fd, mode);
    if (f != nullptr && currentRun() != nullptr)
        currentRun()->files.insert(f);
    return f;
}

static bool isStandardStream(FILE *f) {
    return f == stdin || f == stdout || f == stderr;
}

// 0, 1, 2 for stdin, stdout, stderr.
static int standardIndex(FILE *f) {
    return f == stdin ? 0 : f == stdout ? 1 : 2;
}

// freopen with the device names resolved. The host's own standard streams
// are never closed: the new file is put under the stream's descriptor, and a
// file that cannot be opened leaves the stream as it was (the C library would
// have closed it).
static FILE *sh_freopen(const char *path, const char *mode, FILE *f) {
    if (f == nullptr || mode == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    if (!isStandardStream(f)) {
        FILE *reopened =
            ::freopen(path != nullptr ? hostsim::resolvePath(path).c_str() : nullptr, mode, f);
        if (reopened == nullptr && currentRun() != nullptr)
            currentRun()->files.erase(f); // closed by the failed freopen
        return reopened;
    }
    if (path == nullptr)
        return f; // a mode change of a standard stream: left as it is
    FILE *opened = plat::fopen(path, mode);
    if (opened == nullptr)
        return nullptr;
    std::fflush(f);
    const int target = fileno(f);
    const int done = dup2(fileno(opened), target);
    const int err = errno;
    RunContext *ctx = currentRun();
    if (done < 0 || ctx == nullptr) {
        plat::fclose(opened);
        errno = err;
        return done < 0 ? nullptr : f;
    }
    // The file's own stream stays open: the script's writes to the standard
    // stream go through it and its gates (both share the file's position).
    FILE *&kept = ctx->standardFiles[standardIndex(f)];
    if (kept != nullptr) {
        ctx->files.erase(kept);
        plat::fclose(kept);
    }
    kept = opened;
    ctx->files.insert(opened);
    clearerr(f);
    return f;
}

// The stream a script's write to `f` goes through the gates on: `f` itself,
// or for a standard stream that freopen put on a device file that file's own
// stream; null for a standard stream that is not (written as it is, a pipe
// or the terminal).
static FILE *gatedStream(FILE *f) {
    if (f == nullptr)
        return nullptr;
    if (!isStandardStream(f))
        return f;
    RunContext *ctx = currentRun();
    return ctx != nullptr ? ctx->standardFiles[standardIndex(f)] : nullptr;
}

static int sh_fclose(FILE *f) {
    if (currentRun() != nullptr) {
        currentRun()->files.erase(f);
        if (f != nullptr)
            currentRun()->fds.erase(fileno(f));
    }
    return plat::fclose(f);
}

static int sh_open(const char *path, int flags, ...) {
    int mode = 0;
    if ((flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE) {
        va_list ap;
        va_start(ap, flags);
        mode = static_cast<int>(va_arg(ap, unsigned int));
        va_end(ap);
    }
    int fd = plat::open(path, flags, mode);
    if (fd >= 0 && currentRun() != nullptr)
        currentRun()->fds.insert(fd);
    return fd;
}

static int sh_creat(const char *path, unsigned int mode) {
    return sh_open(path, O_CREAT | O_WRONLY | O_TRUNC, mode);
}

// ---- Writing: every call a script can write with passes the platform's
// gates (the card's capacity, fault injection, the power-cut count) ----

// The writes of a script's streams go through plat::fwrite, except on a
// standard stream that is not on a device.
static unsigned long sh_fwrite(const void *buf, unsigned long size, unsigned long count, FILE *f) {
    FILE *gated = gatedStream(f);
    if (gated == nullptr)
        return std::fwrite(buf, size, count, f);
    return plat::fwrite(buf, size, count, gated);
}

// All `size` bytes of `data` to a gated stream: true when they were written.
static bool writeGated(FILE *gated, const char *data, std::size_t size) {
    return size == 0 || plat::fwrite(data, size, 1, gated) == 1;
}

static int sh_fputs(const char *text, FILE *f) {
    FILE *gated = gatedStream(f);
    if (gated == nullptr)
        return std::fputs(text, f);
    return writeGated(gated, text, std::strlen(text)) ? 0 : EOF;
}

static int sh_fputc(int c, FILE *f) {
    FILE *gated = gatedStream(f);
    if (gated == nullptr)
        return std::fputc(c, f);
    const char ch = static_cast<char>(c);
    return writeGated(gated, &ch, 1) ? static_cast<unsigned char>(ch) : EOF;
}

// `format` with `ap` as a text; false (errno set) when it cannot be made.
static bool formatText(std::string &text, const char *format, va_list ap) {
    va_list measure;
    va_copy(measure, ap);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length < 0)
        return false;
    text.assign(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, ap);
    text.resize(static_cast<std::size_t>(length));
    return true;
}

static int sh_vfprintf(FILE *f, const char *format, va_list ap) {
    FILE *gated = gatedStream(f);
    if (gated == nullptr)
        return std::vfprintf(f, format, ap);
    std::string text;
    if (!formatText(text, format, ap))
        return -1;
    return writeGated(gated, text.data(), text.size()) ? static_cast<int>(text.size()) : -1;
}

static int sh_fprintf(FILE *f, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = sh_vfprintf(f, format, ap);
    va_end(ap);
    return n;
}

// printf and its kin write standard output, which freopen may have put on
// the card.
static int sh_vprintf(const char *format, va_list ap) {
    return sh_vfprintf(stdout, format, ap);
}
static int sh_printf(const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = sh_vfprintf(stdout, format, ap);
    va_end(ap);
    return n;
}
static int sh_puts(const char *text) {
    FILE *gated = gatedStream(stdout);
    if (gated == nullptr)
        return std::puts(text);
    return writeGated(gated, text, std::strlen(text)) && writeGated(gated, "\n", 1) ? 0 : EOF;
}
static int sh_putchar(int c) {
    return sh_fputc(c, stdout);
}
static void sh_perror(const char *text) {
    const int err = errno;
    FILE *gated = gatedStream(stderr);
    if (gated == nullptr) {
        std::perror(text);
        return;
    }
    std::string line = text != nullptr && *text != '\0' ? std::string(text) + ": " : "";
    line += std::strerror(err);
    line += "\n";
    writeGated(gated, line.data(), line.size());
}

// putw: the int's bytes as they lie in memory.
static int sh_putw(int value, FILE *f) {
    return sh_fwrite(&value, sizeof value, 1, f) == 1 ? 0 : EOF;
}

// Wide output: the text is converted to bytes (the C library's multibyte
// form) and written through the gates. A character that has no multibyte
// form fails with EILSEQ, as the C library's wide output does.
static int writeWide(FILE *gated, const wchar_t *text, std::size_t length) {
    std::string bytes;
    std::mbstate_t state = {};
    char one[MB_LEN_MAX];
    for (std::size_t i = 0; i < length; ++i) {
        const std::size_t n = std::wcrtomb(one, text[i], &state);
        if (n == static_cast<std::size_t>(-1))
            return -1;
        bytes.append(one, n);
    }
    return writeGated(gated, bytes.data(), bytes.size()) ? 0 : -1;
}

static int sh_vfwprintf(FILE *f, const wchar_t *format, va_list ap) {
    FILE *gated = gatedStream(f);
    if (gated == nullptr)
        return std::vfwprintf(f, format, ap);
    // vswprintf tells no length: the buffer grows until the text fits (up to
    // 16 M characters).
    std::vector<wchar_t> text(256);
    int length = -1;
    while (true) {
        va_list copy;
        va_copy(copy, ap);
        length = std::vswprintf(text.data(), text.size(), format, copy);
        va_end(copy);
        if (length >= 0 || text.size() >= (std::size_t(1) << 24))
            break;
        text.resize(text.size() * 2);
    }
    if (length < 0) {
        errno = EOVERFLOW;
        return -1;
    }
    return writeWide(gated, text.data(), static_cast<std::size_t>(length)) == 0 ? length : -1;
}

static int sh_fwprintf(FILE *f, const wchar_t *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = sh_vfwprintf(f, format, ap);
    va_end(ap);
    return n;
}

static int sh_wprintf(const wchar_t *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = sh_vfwprintf(stdout, format, ap);
    va_end(ap);
    return n;
}

static int sh_fputws(const wchar_t *text, FILE *f) {
    FILE *gated = gatedStream(f);
    if (gated == nullptr)
        return std::fputws(text, f);
    return writeWide(gated, text, std::wcslen(text)) == 0 ? 0 : -1;
}

static unsigned sh_fputwc(wchar_t c, FILE *f) {
    FILE *gated = gatedStream(f);
    if (gated == nullptr)
        return std::fputwc(c, f);
    return writeWide(gated, &c, 1) == 0 ? static_cast<unsigned>(c) : WEOF;
}

static long sh_write(int fd, const void *buf, unsigned long count) {
    return plat::write(fd, buf, count);
}

// Runs `write` with the descriptor's position at `offset`, then puts the
// position back (pwrite does not move it). A descriptor opened to append
// writes at its end, as pwrite does on Linux.
static long atOffset(int fd, long offset, const std::function<long()> &write) {
    if (offset < 0) {
        errno = EINVAL;
        return -1;
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    if ((flags & O_APPEND) != 0)
        return write();
    const long position = plat::lseek(fd, 0, SEEK_CUR);
    if (position < 0 || plat::lseek(fd, offset, SEEK_SET) < 0)
        return -1;
    const long rc = write();
    const int err = errno;
    plat::lseek(fd, position, SEEK_SET);
    errno = err;
    return rc;
}

static long sh_pwrite(int fd, const void *buf, unsigned long count, long offset) {
    return atOffset(fd, offset, [&] { return plat::write(fd, buf, count); });
}

// The buffers one after the other, up to the first short write.
static long sh_writev(int fd, const struct iovec *iov, int count) {
    if (count < 0 || count > IOV_MAX || (count > 0 && iov == nullptr)) {
        errno = EINVAL;
        return -1;
    }
    long total = 0;
    for (int i = 0; i < count; ++i) {
        if (iov[i].iov_len == 0)
            continue;
        const long rc = plat::write(fd, iov[i].iov_base, iov[i].iov_len);
        if (rc < 0)
            return total > 0 ? total : -1;
        total += rc;
        if (static_cast<unsigned long>(rc) < iov[i].iov_len)
            break;
    }
    return total;
}

static long sh_pwritev(int fd, const struct iovec *iov, int count, long offset) {
    return atOffset(fd, offset, [&] { return sh_writev(fd, iov, count); });
}

static long sh_pwritev2(int fd, const struct iovec *iov, int count, long offset, int flags) {
    if (flags != 0) {
        errno = EOPNOTSUPP; // no flag of pwritev2 is played on the card
        return -1;
    }
    return offset == -1 ? sh_writev(fd, iov, count) : sh_pwritev(fd, iov, count, offset);
}

static int sh_vdprintf(int fd, const char *format, va_list ap) {
    std::string text;
    if (!formatText(text, format, ap))
        return -1;
    std::size_t done = 0;
    while (done < text.size()) {
        const long rc = plat::write(fd, text.data() + done, text.size() - done);
        if (rc <= 0)
            return -1;
        done += static_cast<std::size_t>(rc);
    }
    return static_cast<int>(done);
}

static int sh_dprintf(int fd, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = sh_vdprintf(fd, format, ap);
    va_end(ap);
    return n;
}

// Makes the file of `fd` `length` bytes long through the gates: a growth is
// written as its last byte (a zero; the bytes before it read as zeros too),
// which the capacity measures as the growth it is; a cut is counted as a
// write and then made.
static int resizeFile(int fd, long long length, bool growOnly) {
    if (length < 0) {
        errno = EINVAL;
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return -1;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return -1;
    }
    if (length <= st.st_size) {
        if (plat::write(fd, "", 0) < 0)
            return -1;
        return growOnly ? 0 : ::ftruncate(fd, static_cast<off_t>(length));
    }
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0)
        return -1;
    if ((flags & O_APPEND) != 0)
        fcntl(fd, F_SETFL, flags & ~O_APPEND);
    const long rc =
        atOffset(fd, static_cast<long>(length - 1), [&] { return plat::write(fd, "", 1); });
    const int err = errno;
    if ((flags & O_APPEND) != 0)
        fcntl(fd, F_SETFL, flags);
    errno = err;
    if (rc == 1)
        return 0;
    if (rc == 0)
        errno = ENOSPC;
    return -1;
}

static int sh_ftruncate(int fd, long length) {
    return resizeFile(fd, length, false);
}

static int sh_truncate(const char *path, long length) {
    const int fd = plat::open(path, O_WRONLY);
    if (fd < 0)
        return -1;
    const int rc = resizeFile(fd, length, false);
    const int err = errno;
    plat::close(fd);
    errno = err;
    return rc;
}

// Only the plain allocation is played: the card's file system has none of
// fallocate's other modes.
static int sh_fallocate(int fd, int mode, long offset, long length) {
    if (mode != 0) {
        errno = EOPNOTSUPP;
        return -1;
    }
    if (offset < 0 || length <= 0) {
        errno = EINVAL;
        return -1;
    }
    return resizeFile(fd, static_cast<long long>(offset) + length, true);
}

static int sh_posix_fallocate(int fd, long offset, long length) {
    return sh_fallocate(fd, 0, offset, length) == 0 ? 0 : errno;
}

// Copies `count` bytes from `in` (at *inOffset, moved on, when given) to
// `out` (likewise) through the write gate, in pieces: sendfile,
// copy_file_range and splice into a file played with plain reads and writes.
static long copyThrough(int in, long *inOffset, int out, long *outOffset, unsigned long count) {
    char buf[65536];
    long total = 0;
    while (count > 0) {
        const unsigned long want = count < sizeof buf ? count : sizeof buf;
        const long got =
            inOffset != nullptr ? ::pread(in, buf, want, *inOffset) : plat::read(in, buf, want);
        if (got < 0)
            return total > 0 ? total : -1;
        if (got == 0)
            break;
        const long put = outOffset != nullptr
                             ? atOffset(out, *outOffset, [&] { return plat::write(out, buf, got); })
                             : plat::write(out, buf, static_cast<unsigned long>(got));
        if (put < 0)
            return total > 0 ? total : -1;
        total += put;
        if (inOffset != nullptr)
            *inOffset += put;
        else if (put < got)
            ::lseek(in, put - got, SEEK_CUR); // unread what was not written, where it can be
        if (outOffset != nullptr)
            *outOffset += put;
        count -= static_cast<unsigned long>(put);
        if (put < got)
            break;
    }
    return total;
}

static long sh_sendfile(int out, int in, long *offset, unsigned long count) {
    return copyThrough(in, offset, out, nullptr, count);
}

static long sh_copy_file_range(int in, long *inOffset, int out, long *outOffset,
                               unsigned long count, unsigned flags) {
    if (flags != 0) {
        errno = EINVAL;
        return -1;
    }
    return copyThrough(in, inOffset, out, outOffset, count);
}

// splice into a file goes through the gate; between pipes it is the
// system's own.
static long sh_splice(int in, long *inOffset, int out, long *outOffset, unsigned long count,
                      unsigned flags) {
    struct stat st;
    if (::fstat(out, &st) == 0 && S_ISREG(st.st_mode))
        return copyThrough(in, inOffset, out, outOffset, count);
    return ::splice(in, inOffset, out, outOffset, count, flags);
}

// Asynchronous writes would reach the file from a thread of the C library,
// past the gates: refused.
static int sh_aio_write(void *) {
    errno = ENOSYS;
    return -1;
}

// syscall() with a writing call's number goes to the gated call; io_uring,
// which could write past every gate, is refused; the others are the
// system's own.
static long sh_syscall(long number, ...) {
    va_list ap;
    va_start(ap, number);
    long a[6];
    for (long &v : a)
        v = va_arg(ap, long);
    va_end(ap);
    const int fd = static_cast<int>(a[0]);
    void *p1 = reinterpret_cast<void *>(a[1]);
    switch (number) {
    case SYS_write:
        return sh_write(fd, p1, static_cast<unsigned long>(a[2]));
    case SYS_pwrite64:
        return sh_pwrite(fd, p1, static_cast<unsigned long>(a[2]), a[3]);
    case SYS_writev:
        return sh_writev(fd, static_cast<const struct iovec *>(p1), static_cast<int>(a[2]));
    case SYS_pwritev:
        return sh_pwritev(fd, static_cast<const struct iovec *>(p1), static_cast<int>(a[2]), a[3]);
    case SYS_pwritev2:
        return sh_pwritev2(fd, static_cast<const struct iovec *>(p1), static_cast<int>(a[2]), a[3],
                           static_cast<int>(a[5]));
    case SYS_ftruncate:
        return sh_ftruncate(fd, a[1]);
    case SYS_truncate:
        return sh_truncate(reinterpret_cast<const char *>(a[0]), a[1]);
    case SYS_fallocate:
        return sh_fallocate(fd, static_cast<int>(a[1]), a[2], a[3]);
    case SYS_sendfile:
        return sh_sendfile(fd, static_cast<int>(a[1]), reinterpret_cast<long *>(a[2]),
                           static_cast<unsigned long>(a[3]));
    case SYS_copy_file_range:
        return sh_copy_file_range(fd, reinterpret_cast<long *>(a[1]), static_cast<int>(a[2]),
                                  reinterpret_cast<long *>(a[3]), static_cast<unsigned long>(a[4]),
                                  static_cast<unsigned>(a[5]));
    case SYS_splice:
        return sh_splice(fd, reinterpret_cast<long *>(a[1]), static_cast<int>(a[2]),
                         reinterpret_cast<long *>(a[3]), static_cast<unsigned long>(a[4]),
                         static_cast<unsigned>(a[5]));
    case SYS_io_uring_setup:
    case SYS_io_uring_enter:
    case SYS_io_uring_register:
        errno = ENOSYS;
        return -1;
    default:
        return ::syscall(number, a[0], a[1], a[2], a[3], a[4], a[5]);
    }
}

static int sh_close(int fd) {
    if (currentRun() != nullptr)
        currentRun()->fds.erase(fd);
    return plat::close(fd);
}

static long sh_read(int fd, void *buf, unsigned long count) {
    return plat::read(fd, buf, count);
}
static long sh_lseek(int fd, long offset, int whence) {
    return plat::lseek(fd, offset, whence);
}
static int sh_fstat(int fd, struct stat *st) {
    return plat::fstat(fd, st);
}

// ---- Paths ----

static int sh_stat(const char *path, struct stat *st) {
    return plat::stat(path, st);
}

static int sh_lstat(const char *path, struct stat *st) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return ::lstat(hostsim::resolvePath(path).c_str(), st);
}

static int sh_access(const char *path, int mode) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    return ::access(hostsim::resolvePath(path).c_str(), mode);
}

// unlink through the platform's remove (so that it passes the fault and
// power-cut gates like the module's own removals); a folder is refused as
// unlink refuses it.
static int sh_unlink(const char *path) {
    if (path == nullptr) {
        errno = EFAULT;
        return -1;
    }
    struct stat st;
    if (::lstat(hostsim::resolvePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        errno = EISDIR;
        return -1;
    }
    return plat::remove(path);
}

static int sh_remove(const char *path) {
    return plat::remove(path);
}
static int sh_mkdir(const char *path, unsigned int mode) {
    return plat::mkdir(path, static_cast<int>(mode));
}
static int sh_rmdir(const char *path) {
    return plat::rmdir(path);
}
static int sh_rename(const char *from, const char *to) {
    return plat::rename(from, to);
}

static DIR *sh_opendir(const char *path) {
    DIR *d = plat::opendir(path);
    if (d != nullptr && currentRun() != nullptr)
        currentRun()->dirs.insert(d);
    return d;
}

static struct dirent *sh_readdir(DIR *d) {
    return plat::readdir(d);
}

static int sh_closedir(DIR *d) {
    if (currentRun() != nullptr)
        currentRun()->dirs.erase(d);
    return plat::closedir(d);
}

} // extern "C"

std::vector<HostSymbol> hostSymbols() {
    return {
        {"upg_host_call_builtin", reinterpret_cast<const void *>(&upg_host_call_builtin)},
        {"exit", reinterpret_cast<const void *>(&sh_exit)},
        {"_exit", reinterpret_cast<const void *>(&sh_exit)},
        {"_Exit", reinterpret_cast<const void *>(&sh_exit)},
        {"abort", reinterpret_cast<const void *>(&sh_abort)},
        {"atexit", reinterpret_cast<const void *>(&sh_atexit)},
        {"fork", reinterpret_cast<const void *>(&sh_fork)},
        // A vfork child may not return from the function that made it: a
        // plain fork serves the same calls.
        {"vfork", reinterpret_cast<const void *>(&sh_fork)},
        {"fopen", reinterpret_cast<const void *>(&sh_fopen)},
        {"fclose", reinterpret_cast<const void *>(&sh_fclose)},
        {"fdopen", reinterpret_cast<const void *>(&sh_fdopen)},
        {"fwrite", reinterpret_cast<const void *>(&sh_fwrite)},
        {"fwrite_unlocked", reinterpret_cast<const void *>(&sh_fwrite)},
        {"fputs", reinterpret_cast<const void *>(&sh_fputs)},
        {"fputs_unlocked", reinterpret_cast<const void *>(&sh_fputs)},
        {"fputc", reinterpret_cast<const void *>(&sh_fputc)},
        {"putc", reinterpret_cast<const void *>(&sh_fputc)},
        {"fputc_unlocked", reinterpret_cast<const void *>(&sh_fputc)},
        {"putc_unlocked", reinterpret_cast<const void *>(&sh_fputc)},
        {"putw", reinterpret_cast<const void *>(&sh_putw)},
        {"printf", reinterpret_cast<const void *>(&sh_printf)},
        {"vprintf", reinterpret_cast<const void *>(&sh_vprintf)},
        {"puts", reinterpret_cast<const void *>(&sh_puts)},
        {"putchar", reinterpret_cast<const void *>(&sh_putchar)},
        {"putchar_unlocked", reinterpret_cast<const void *>(&sh_putchar)},
        {"perror", reinterpret_cast<const void *>(&sh_perror)},
        {"fwprintf", reinterpret_cast<const void *>(&sh_fwprintf)},
        {"vfwprintf", reinterpret_cast<const void *>(&sh_vfwprintf)},
        {"wprintf", reinterpret_cast<const void *>(&sh_wprintf)},
        {"fputws", reinterpret_cast<const void *>(&sh_fputws)},
        {"fputwc", reinterpret_cast<const void *>(&sh_fputwc)},
        {"putwc", reinterpret_cast<const void *>(&sh_fputwc)},
        {"pwrite", reinterpret_cast<const void *>(&sh_pwrite)},
        {"pwrite64", reinterpret_cast<const void *>(&sh_pwrite)},
        {"writev", reinterpret_cast<const void *>(&sh_writev)},
        {"pwritev", reinterpret_cast<const void *>(&sh_pwritev)},
        {"pwritev64", reinterpret_cast<const void *>(&sh_pwritev)},
        {"pwritev2", reinterpret_cast<const void *>(&sh_pwritev2)},
        {"dprintf", reinterpret_cast<const void *>(&sh_dprintf)},
        {"vdprintf", reinterpret_cast<const void *>(&sh_vdprintf)},
        {"ftruncate", reinterpret_cast<const void *>(&sh_ftruncate)},
        {"ftruncate64", reinterpret_cast<const void *>(&sh_ftruncate)},
        {"truncate", reinterpret_cast<const void *>(&sh_truncate)},
        {"truncate64", reinterpret_cast<const void *>(&sh_truncate)},
        {"fallocate", reinterpret_cast<const void *>(&sh_fallocate)},
        {"fallocate64", reinterpret_cast<const void *>(&sh_fallocate)},
        {"posix_fallocate", reinterpret_cast<const void *>(&sh_posix_fallocate)},
        {"posix_fallocate64", reinterpret_cast<const void *>(&sh_posix_fallocate)},
        {"sendfile", reinterpret_cast<const void *>(&sh_sendfile)},
        {"sendfile64", reinterpret_cast<const void *>(&sh_sendfile)},
        {"copy_file_range", reinterpret_cast<const void *>(&sh_copy_file_range)},
        {"splice", reinterpret_cast<const void *>(&sh_splice)},
        {"aio_write", reinterpret_cast<const void *>(&sh_aio_write)},
        {"aio_write64", reinterpret_cast<const void *>(&sh_aio_write)},
        {"syscall", reinterpret_cast<const void *>(&sh_syscall)},
        {"fprintf", reinterpret_cast<const void *>(&sh_fprintf)},
        {"vfprintf", reinterpret_cast<const void *>(&sh_vfprintf)},
        {"freopen", reinterpret_cast<const void *>(&sh_freopen)},
        {"open", reinterpret_cast<const void *>(&sh_open)},
        {"creat", reinterpret_cast<const void *>(&sh_creat)},
        {"close", reinterpret_cast<const void *>(&sh_close)},
        {"read", reinterpret_cast<const void *>(&sh_read)},
        {"write", reinterpret_cast<const void *>(&sh_write)},
        {"lseek", reinterpret_cast<const void *>(&sh_lseek)},
        {"fstat", reinterpret_cast<const void *>(&sh_fstat)},
        {"stat", reinterpret_cast<const void *>(&sh_stat)},
        {"lstat", reinterpret_cast<const void *>(&sh_lstat)},
        {"access", reinterpret_cast<const void *>(&sh_access)},
        {"unlink", reinterpret_cast<const void *>(&sh_unlink)},
        {"remove", reinterpret_cast<const void *>(&sh_remove)},
        {"mkdir", reinterpret_cast<const void *>(&sh_mkdir)},
        {"rmdir", reinterpret_cast<const void *>(&sh_rmdir)},
        {"rename", reinterpret_cast<const void *>(&sh_rename)},
        {"opendir", reinterpret_cast<const void *>(&sh_opendir)},
        {"readdir", reinterpret_cast<const void *>(&sh_readdir)},
        {"closedir", reinterpret_cast<const void *>(&sh_closedir)},
    };
}

void finishRun(RunContext &ctx, bool noteLeftovers) {
    // Every stream first (also those made with fdopen on a descriptor the
    // script opened), so that no buffered data is lost when the descriptors
    // are closed.
    std::fflush(nullptr);
    for (FILE *f : ctx.files) {
        ctx.fds.erase(fileno(f));
        plat::fclose(f);
    }
    for (int fd : ctx.fds)
        plat::close(fd);
    for (DIR *d : ctx.dirs)
        plat::closedir(d);
    std::size_t left = ctx.files.size() + ctx.fds.size() + ctx.dirs.size();
    if (left > 0 && noteLeftovers)
        ctx.notes.push_back("the script left " + std::to_string(left) +
                            " file(s) or folder(s) open: closed");
    ctx.files.clear();
    ctx.fds.clear();
    ctx.dirs.clear();
}

} // namespace detail
} // namespace scripthost
