// Pieces shared between the files of the host implementation of the platform
// seam: path resolution with the device's block size, the fault-injection
// gate in front of the host file functions, and the per-area resets that
// resetAll() combines. Not for use outside platform/hostsim.
#ifndef PLATFORM_HOSTSIM_INTERNAL_H
#define PLATFORM_HOSTSIM_INTERNAL_H

#include "platform/hostsim/hostsim.h"

#include <dirent.h>
#include <string>
#include <sys/stat.h>

namespace hostsim {
namespace detail {

// A unit path resolved onto the host: the host path, the device it lies on
// (empty when none) and that device's block size (0: the host's own).
struct Resolved {
    std::string hostPath;
    std::string device;
    long blockSize;
};
// The device table's resolution of a unit path (no link is looked at: the
// confined functions below refuse links at the call).
Resolved resolve(const char *unitPath);
// resolve(), and then the empty path, with a log line, when a symbolic link
// lies on the way in the device's folder: for callers that open the result
// by name themselves (hostsim::resolvePath).
std::string resolveCheckingLinks(const char *unitPath);
// The first symbolic link on the way from device folder `dir` down to
// `hostPath` (which lies in it), or empty (lstat of each component).
std::string linkOnTheWay(const std::string &dir, const std::string &hostPath);
// Where a host path lies: the device whose folder (the longest one) holds
// it, that folder, and the path below it without its leading '/'. False
// when it lies in no device's folder.
struct Place {
    std::string device;
    std::string root;
    std::string rel;
};
bool placeOf(const std::string &hostPath, Place *place);
// `s` without its trailing '/' characters; "/" (and "") stay as they are.
std::string trimTrailingSlashes(std::string s);
// Block size configured for the mounted device `device` (0 when none).
long deviceBlockSize(const std::string &device);
// True when `device` is played as reporting no block size (st_blksize 0).
bool deviceReportsZeroBlockSize(const std::string &device);

// Card capacities (setDeviceCapacity). capacityOf: true, with the device's
// host folder and capacity, when host path `hostPath` lies on a device whose
// capacity is set. writeAllowance: how many of `count` bytes written at the
// position of `fd` (open on `hostPath`) still fit (count when no capacity
// applies). creationRefused: true, with errno ENOSPC, when `hostPath` does not
// exist and lies on a full device. clearCapacities: removes every capacity.
bool capacityOf(const std::string &hostPath, std::string *hostDir, long long *bytes);
unsigned long writeAllowance(const std::string &hostPath, int fd, unsigned long count);
bool creationRefused(const std::string &hostPath);
void clearCapacities();

// Counts one call of `op`; when an injected fault fires for this call, sets
// errno to the fault's value and returns true (the caller then fails with -1
// without calling the host). Any thread may call it.
bool faultFires(FileOp op);

// The fault-gated host calls on already resolved host paths. Same results and
// errno as the host functions.
int openHost(const std::string &hostPath, const std::string &device, int flags, int mode);
int unlinkHost(const std::string &hostPath);
int rmdirHost(const std::string &hostPath);
DIR *opendirHost(const std::string &hostPath);
struct dirent *readdirHost(DIR *dir);
long readFd(int fd, void *buf, unsigned long count);
long writeFd(int fd, const void *buf, unsigned long count);
int closeFd(int fd);
int mkdirHost(const std::string &hostPath, int mode);
int renameHost(const std::string &from, const std::string &to);

// The host's file functions confined to the device folders (confine.cpp):
// a host path in a device's folder is resolved from that folder opened
// afresh, never through a symbolic link (the last component included, except
// for confinedLstat and confinedUnlink(.., false), which see and remove a
// link itself) nor out of it by "..": such a call fails with ENOENT and a log
// line naming the link. A device's root cannot be removed or renamed
// (EBUSY). A path on no device is passed to the host's function unchanged.
// Same results and errno as the host functions otherwise. Any thread.
// confinedOpen opens a path on a device non-blocking until fstat says it is a
// file or a folder: a FIFO, device or socket keeps O_NONBLOCK.
int confinedOpen(const std::string &hostPath, int flags, int mode);
int confinedStat(const std::string &hostPath, struct stat *st);
int confinedLstat(const std::string &hostPath, struct stat *st);
int confinedMkdir(const std::string &hostPath, int mode);
int confinedUnlink(const std::string &hostPath, bool refuseLink);
int confinedRmdir(const std::string &hostPath);
int confinedRemove(const std::string &hostPath);
int confinedRename(const std::string &from, const std::string &to);
DIR *confinedOpendir(const std::string &hostPath);
// Cuts a regular file to `length` bytes (the power cut's lost writes).
int confinedTruncate(const std::string &hostPath, long long length);
void resetConfinement();

// Power cut (powercut.cpp). unitPathOf: true, with the unit path, when host
// path `hostPath` lies in a mounted device's folder (devices.cpp). stateOp:
// when hostPath lies on a unit device, counts one state-changing operation
// `op` ("write", "rename"...), traces it, and ends the process when the cut is
// armed for it (returns true when counted). noteWritten: file hostPath was
// written at `offset` and is unsynced from there on. noteSynced: the file's
// data is on the medium; noteSyncedUnder: every file under a folder is.
// noteRenamed/noteRemoved carry or drop the records (folders included).
bool unitPathOf(const std::string &hostPath, std::string *unitPath);
bool stateOp(const char *op, const std::string &hostPath);
void noteWritten(const std::string &hostPath, long long offset);
void noteSynced(const std::string &hostPath);
void noteSyncedUnder(const std::string &hostDir);
void noteRenamed(const std::string &from, const std::string &to);
void noteRemoved(const std::string &hostPath);

// Resets of the single areas, combined by resetAll().
void resetLog();
void resetTick();
void resetSymbols();
void resetBuiltins();
void resetTasks();
void resetZeroBlockSize();
// setSyncsReachDisk's setting.
bool syncsReachDisk();
void resetPowerCut();
// A builtin call begins / ends on the calling thread (eic.cpp's callBuiltin):
// the trace names the call of each operation and its site ("file:line" as
// siteText gives it, empty: none).
void builtinCallBegins(const char *name, const std::string &site);
void builtinCallEnds();

} // namespace detail
} // namespace hostsim

#endif
