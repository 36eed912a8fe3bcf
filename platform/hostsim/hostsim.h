// Host-only control of the simulated unit: the device table, the tick rate,
// the log sinks and capture, fault injection on the file functions, the task
// table and the interpreter's call helper. Used by tests and the tools, never
// by module code.
#ifndef PLATFORM_HOSTSIM_HOSTSIM_H
#define PLATFORM_HOSTSIM_HOSTSIM_H

#include "platform/eic.h"
#include "platform/vxworks.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace hostsim {

// ---- Device table ----------------------------------------------------------

// Maps device `name` ("/SDH", "/F", "/DVD") onto host folder `hostDir`.
// blockSize > 0 is reported as st_blksize by stat/fstat for paths on that
// device; 0 reports the host's own. Replaces an earlier mount of the name.
void mountDevice(const std::string &name, const std::string &hostDir, long blockSize = 0);
void unmountDevice(const std::string &name);
// Plays a card of `bytes` bytes on device `name` (mounted or mounted later):
// what its folder holds counts as used (the bytes of its files), a write that
// would go past the capacity writes what fits and then fails with ENOSPC, and
// a file or folder cannot be created on a full card (ENOSPC), as on a real
// card. It holds for plat:: and the file commands. The folder is counted
// once, then the count grows with every write through them (a removal does
// not lower it), and the folder is counted again whenever that count says the
// card may be full: so a change made to the folder behind the platform's
// back is seen once the card looks full, or at the next call of this or of
// mountDevice for the device. A negative value removes the limit (the
// default); resetAll removes every limit.
void setDeviceCapacity(const std::string &name, long long bytes);
// Plays device `name` (as mounted, "/SDH") as one whose file system reports
// no block size: stat/fstat give st_blksize 0 for its paths (on) instead of
// the mounted or the host's block size. Off by default and after resetAll().
void setDeviceReportsZeroBlockSize(const std::string &name, bool on);
// Whether the seam's file sync and device flush wait for the host's disk (on,
// the default and after resetAll()). Off, a sync still passes the fault gate,
// counts as a state operation and marks the data synced in the power-cut
// model, but returns without asking the disk: for a tool whose writes are a
// scratch copy it deletes right after (the medium checker's extraction),
// where the wait would cost the disk's whole write time and protect nothing.
// Any thread; takes effect for the syncs that start after it.
void setSyncsReachDisk(bool on);
void unmountAll();
// The host path a unit path resolves to (unchanged when no device matches).
// Empty, with a log line, when it passes through a symbolic link in the
// device's folder, lies on an unmounted unit device, or lies on no device
// while host paths are absent (setHostPathsAbsent). The caller opens the
// result by name itself, unconfined: the plat:: functions confine every call.
std::string resolvePath(const std::string &unitPath);

// How the plat:: functions and the file commands reach the device folders:
// a path on a device is resolved beneath that device's folder, opened afresh
// for each call, with openat2(RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS) (on a
// kernel without it, Linux before 5.6, component by component with
// O_NOFOLLOW). A symbolic link anywhere on the way, the last component
// included, put there at any moment, fails the call with ENOENT and the log
// line "hostsim: <path> is refused: it passes through <link>, a symbolic link
// in the folder of <device> (a unit device holds no links)": nothing is ever
// read or written outside the folder through one. (The file commands remove
// a link met inside a tree they delete, never following it.) The device's
// folder itself is taken as mounted, link or not.
//
// Plays a kernel without openat2 (on) for tests of the other way; off after
// resetAll().
void playHostWithoutOpenat2(bool on);

// Host paths absent (on): a path on none of the unit's devices (a host path,
// a relative path) is absent for every plat:: function, the file commands
// and resolvePath: ENOENT, with the log line "hostsim: <path> is absent: the
// unit has no such path". For a process that plays the unit alone, as the
// script's child does, so that a builtin or a script reaches none of the
// host's files. Off by default and after resetAll(). Any thread; takes
// effect for the calls that start after it.
void setHostPathsAbsent(bool on);
// The reason in the absent path's log line.
constexpr const char kNoSuchPathText[] = "the unit has no such path";

// The opens of a path on a device are non-blocking until fstat says what the
// file is: a FIFO, device or socket in a device's folder (the unit's file
// systems hold none) never holds its caller in the open, and keeps
// O_NONBLOCK for its reads and writes; a file or folder is blocking as
// asked. A path on no device is opened as the caller asks.
//
// Opens the file a user named on the command line (a unit path, confined as
// the plat:: functions confine it, or a host path) for a tool's own reading,
// outside the fault gate and the power-cut count: without blocking (the open
// is non-blocking until fstat says what it is), and only a regular file: a
// folder gives EISDIR, a FIFO, a device or a socket EINVAL (nothing is read
// from them, where a FIFO would block the open or the reads). The descriptor
// is blocking and close-on-exec; the caller closes it with ::close. -1 with
// errno otherwise.
int openRegularFile(const std::string &path);

// ---- Tick clock ------------------------------------------------------------

// Same as sysClkRateSet; 60 per second by default.
void setTickRate(int ticksPerSecond);

// ---- Log sinks -------------------------------------------------------------

// Where a log line came from.
enum class LogSource { LogMsg, SysTool, Console };

struct LogLine {
    LogSource source;
    std::string text; // exactly as formatted, newline (or none) included
};

// Console lines (consolePrintf) are also written to descriptor `fd` (-1:
// only to the log sinks, the default and after resetAll).
void consoleToFd(int fd);
// Writes every line to standard error (off by default).
void logToStderr(bool on);
// Appends every line to the file (empty path: no file), a host path opened
// without waiting (a FIFO that nothing reads fails at once with ENXIO).
// Returns false, errno set, when the file cannot be opened.
bool logToFile(const std::string &path);
// The errno of the first line the log file did not take (a full disk), 0
// when it took every line since logToFile.
int logFileError();
// Starts (clearing) or stops the in-memory capture.
void captureLog(bool on);
// Lines captured so far.
std::vector<LogLine> capturedLog();
// Captured text of one source, all lines concatenated.
std::string capturedText(LogSource source = LogSource::LogMsg);
void clearCapturedLog();
// Formats `fmt` with six pointer-sized arguments exactly as logMsg does
// (each conversion takes its argument as the type it names) and returns the
// text. For the unit's other logging functions.
std::string formatLog(const char *fmt, const _Vx_usr_arg_t args[6]);
// Hands an already formatted line to the sinks (used by the unit's logging
// stand-in, SYSTOOL_LogMsgNoFormat).
void emitLog(LogSource source, const char *text);

// ---- Fault injection -------------------------------------------------------

// The file operations that faults can be injected into. Each plat:: function
// and each file command counts as one call of its kind (remove and unlink are
// one kind, stat and fstat another); the file commands (cp, mv, xcopy,
// xdelete) also count the open/read/write/close/mkdir/remove/rmdir/opendir/
// readdir calls they make inside.
enum class FileOp {
    Open,
    Read,
    Write,
    Close,
    Mkdir,
    Rename,
    Fopen,
    Fwrite,
    Fflush,
    Fclose,
    Remove,
    Rmdir,
    Opendir,
    Readdir,
    Stat,
    Cp,
    Mv,
    Sync,
};
constexpr int kFileOpCount = static_cast<int>(FileOp::Sync) + 1;
// "open", "read", ... (for messages).
const char *fileOpName(FileOp op);

// Makes the nth call (1 = the next one) of `op` from now fail with errno `err`;
// with `persistent`, that call and every later one fail. A failing close or
// fclose still releases the file (as a close that reports EIO does).
void injectFault(FileOp op, int nth, int err, bool persistent = false);
// Removes every injected fault.
void clearFaults();
// Number of calls of `op` since the last clearFaults (or start).
int callCount(FileOp op);

// The host file functions behind plat::. Tests may replace entries (to record
// reads, or to play short reads); resetFileOps restores the host's own.
struct FileOps {
    int (*open)(const char *hostPath, int flags, int mode);
    long (*read)(int fd, void *buf, unsigned long count);
    long (*write)(int fd, const void *buf, unsigned long count);
    int (*close)(int fd);
    int (*mkdir)(const char *hostPath, int mode);
    int (*rename)(const char *hostFrom, const char *hostTo);
};
FileOps &fileOps();
void resetFileOps();

// ---- Power cut --------------------------------------------------------------

// Every state-changing operation on a unit device (open or fopen for writing/
// creating, write, fwrite, close/fclose of a file opened for writing, a file
// sync or device flush, rename, remove/unlink, mkdir, rmdir, and the ones the
// file commands cp/mv/xcopy/xdelete make inside), from any task of this
// process, the script's own calls included, is counted, 1 = the first since
// start or since resetStateOps(). An operation counts when it is attempted,
// also when it then fails (an injected fault, a full card, a missing file).
std::uint64_t stateOpCount();
// Sets the count back to 0 (an armed cut stays armed, k counted from the
// arming).
void resetStateOps();
// Arms a cut before operation k (k counted from now, 1 = the next one); 0
// disarms. When operation k is about to happen, it does not happen and the
// process ends at once with _exit(kPowerCutExitStatus): no flush, no
// clean-up, no atexit, as at a power loss.
void armPowerCut(std::uint64_t k);
constexpr int kPowerCutExitStatus = 86;
// Lost-writes model: when on, at a cut each file's data written since it was
// last synced is cut to a length drawn from a generator seeded with `seed`
// (deterministic), before the exit. Per file, the unsynced part starts at
// the lowest offset written since the file's last sync (or since the model
// started recording it); at the cut the file keeps its synced part plus a
// drawn share (0 to all) of the rest. Files are handled in the order of
// their host paths. A rename carries the record to the new name; a removal
// drops it. Off by default.
void setLostWrites(bool on, std::uint32_t seed);
// Optional trace: when fd >= 0, one line "k<TAB>op<TAB>unit-path\n" per
// counted operation is written to fd (with write(2), unbuffered) so a tool
// can name what operation k was; the operation cut is traced too, before
// the exit. -1 stops the trace.
void traceStateOps(int fd);
// Unit paths of the files whose written data is not yet synced, in host-path
// order (what a cut would cut short with the lost-writes model on).
std::vector<std::string> unsyncedFiles();
// With the trace on and `on`, each operation's line gets a fourth and a fifth
// field, "k<TAB>op<TAB>unit-path<TAB>call<TAB>site\n": the builtin call it
// belongs to, "NAME#n" (the n-th builtin call since resetStateOps(), 1 = the
// first), or empty for an operation of the script's own; and where in the
// script that call was made, "map_upgrade.c:210" (the CallSite given with the
// call, see callBuiltin), empty when the call came without one or for an
// operation of the script's own. An operation belongs to the builtin call
// running at the time; one made between calls by another task than the
// caller's belongs to the last call made (a task the call started). And a cut
// with the lost-writes model on
// traces, before the exit, one line "-<TAB>lost<TAB>unit-path<TAB>kept<TAB>size"
// per file it cut short. Off by default.
void traceBuiltinCalls(bool on);
// The power cut now, after the last operation (the ignition off as the run
// ends): with the lost-writes model on, unsynced data is cut short (and
// traced) as at an armed cut; then the process ends with
// _exit(kPowerCutExitStatus).
[[noreturn]] void cutPowerNow();

// ---- Tasks -----------------------------------------------------------------

struct TaskInfo {
    int tid;
    std::string name;
    int priority;
    int options;
    int stackSize;
};
// Tasks spawned so far, oldest first: every running one and the 1024 that
// ended last (resetAll forgets the ended ones).
std::vector<TaskInfo> spawnedTasks();
// Threads whose task has ended are kept a little while for the next
// taskSpawn. This ends them and waits until they are gone, so that the
// process has no thread but the caller's when no task runs (before a fork,
// for instance).
void endIdleThreads();
// Makes the next `count` taskSpawn calls of task `name` fail (ERROR).
void failTaskSpawn(const std::string &name, int count = 1);
// Waits until task tid has ended, up to timeoutMs. True when it has ended.
bool waitTaskEnd(int tid, int timeoutMs);
// Waits until every spawned task has ended, up to timeoutMs.
bool waitAllTasks(int timeoutMs);

// ---- Interpreter -----------------------------------------------------------

// One argument of a builtin call: an int or a pointer.
struct EicArg {
    bool isPointer;
    int ival;
    void *pval;
    static EicArg Int(int v) { return EicArg{false, v, nullptr}; }
    static EicArg Ptr(void *p) { return EicArg{true, 0, p}; }
    static EicArg Ptr(const char *p) { return EicArg{true, 0, const_cast<char *>(p)}; }
};

// Where in a script a builtin call is made: the script file's name and the
// line. An empty file: not known.
struct CallSite {
    std::string file;
    int line = 0;
};
// The longest file name a site keeps (bytes); a longer one is cut short.
constexpr std::size_t kMaxSiteFileBytes = 128;
// "map_upgrade.c:210": the base name of the site's file (its part after the
// last '/', at most kMaxSiteFileBytes bytes, each control byte written as
// '?', so it holds no tab nor newline), ":" and the line when it is > 0.
// Empty when the file is empty.
std::string siteText(const CallSite &site);

// Calls the builtin registered as `name` with `args` in 24-byte slots below
// AR[2] (restored afterwards, also for nested calls). Returns false when no
// such builtin is registered; otherwise stores its result in *result. The
// state-operation trace names the call's `site` (traceBuiltinCalls); a
// builtin a builtin calls is part of the outer call, site and all.
bool callBuiltin(const char *name, const std::vector<EicArg> &args, val_t *result);
bool callBuiltin(const char *name, const std::vector<EicArg> &args, val_t *result,
                 const CallSite &site);
// The handler registered as `name`, or null.
EiC_BuiltinFunc findBuiltin(const char *name);
// Names registered now, in registration order.
std::vector<std::string> registeredBuiltins();

// Every add/remove call made, in order ("+name" for an add, "-name" for a
// remove), also an add that failed and a remove of a name not registered.
std::vector<std::string> builtinRegistrationLog();
void clearBuiltinRegistrationLog();
// Makes every later EiC_AddBuiltInFunc of `name` fail (-1); empty clears.
void failBuiltinRegistration(const std::string &name);

// Restores the whole simulated unit to its start state: devices, faults and
// the file function table, log sinks and capture, tick rate (60), symbol
// table, builtin registry and its log and failures, pending task-spawn
// failures, the records of ended tasks, and the power-cut model (count, armed
// cut, trace, lost-writes setting, unsynced records). Call it while no task
// runs.
void resetAll();

} // namespace hostsim

#endif
