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
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

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
// and calls the handler registered as `name`. The builtin's int result, or -1
// when no such builtin is registered or the call is malformed.
static int upg_host_call_builtin(const char *name, int count, const char *kinds,
                                 HostValue *values) {
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
    val_t result;
    if (!hostsim::callBuiltin(name, args, &result)) {
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
    std::fclose(opened);
    if (done < 0) {
        errno = err;
        return nullptr;
    }
    clearerr(f);
    return f;
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

// The writes of a script's streams go through plat::fwrite (device capacity,
// fault injection, the power-cut count), except on the standard streams.
static unsigned long sh_fwrite(const void *buf, unsigned long size, unsigned long count, FILE *f) {
    if (f == nullptr || isStandardStream(f))
        return std::fwrite(buf, size, count, f);
    return plat::fwrite(buf, size, count, f);
}

static int sh_fputs(const char *text, FILE *f) {
    if (f == nullptr || isStandardStream(f))
        return std::fputs(text, f);
    const unsigned long length = std::strlen(text);
    if (length == 0)
        return 0;
    return plat::fwrite(text, length, 1, f) == 1 ? 0 : EOF;
}

static int sh_fputc(int c, FILE *f) {
    if (f == nullptr || isStandardStream(f))
        return std::fputc(c, f);
    const unsigned char ch = static_cast<unsigned char>(c);
    return plat::fwrite(&ch, 1, 1, f) == 1 ? ch : EOF;
}

static int sh_vfprintf(FILE *f, const char *format, va_list ap) {
    if (f == nullptr || isStandardStream(f))
        return std::vfprintf(f, format, ap);
    va_list measure;
    va_copy(measure, ap);
    const int length = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0)
        return length;
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::vsnprintf(&text[0], text.size(), format, ap);
    return plat::fwrite(text.data(), static_cast<unsigned long>(length), 1, f) == 1 ? length : -1;
}

static int sh_fprintf(FILE *f, const char *format, ...) {
    va_list ap;
    va_start(ap, format);
    const int n = sh_vfprintf(f, format, ap);
    va_end(ap);
    return n;
}

static int sh_close(int fd) {
    if (currentRun() != nullptr)
        currentRun()->fds.erase(fd);
    return plat::close(fd);
}

static long sh_read(int fd, void *buf, unsigned long count) {
    return plat::read(fd, buf, count);
}
static long sh_write(int fd, const void *buf, unsigned long count) {
    return plat::write(fd, buf, count);
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
        {"fputs", reinterpret_cast<const void *>(&sh_fputs)},
        {"fputc", reinterpret_cast<const void *>(&sh_fputc)},
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
