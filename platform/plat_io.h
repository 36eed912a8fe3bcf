// File-access seam: the POSIX and standard-I/O file functions the module uses,
// in namespace plat with the C library's signatures.
//
// Every function that takes a path resolves it through the device table first:
// a path whose first component is a registered device ("/SDH", "/F", "/DVD")
// is mapped onto that device's folder; any other path is used unchanged. On the
// unit the OS's own device layer does this and these are the plain C library
// functions.
//
// Host: every function passes a fault-injection gate so that tests can make
// any call fail; writes and creations respect a device's simulated capacity
// (ENOSPC on a full card); stat/fstat report the block size configured for a
// device (so any SD block size can be played on any host file system). A
// path on a device is resolved beneath the device's folder at the call and
// never through a symbolic link (ENOENT, logged), and its open never waits:
// a FIFO or device node there stays non-blocking (hostsim.h says how).
#ifndef PLATFORM_PLAT_IO_H
#define PLATFORM_PLAT_IO_H

#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>

// Request codes of ioctl (the unit takes them from its OS's ioLib.h).
#ifndef FIOFLUSH
#define FIOFLUSH 2
#endif
#ifndef FIOSYNC
#define FIOSYNC 44
#endif

namespace plat {

int open(const char *path, int flags, int mode = 0);
long read(int fd, void *buf, unsigned long count);
long write(int fd, const void *buf, unsigned long count);
int close(int fd);
long lseek(int fd, long offset, int whence);
int fstat(int fd, struct ::stat *st);
int stat(const char *path, struct ::stat *st);

FILE *fopen(const char *path, const char *mode);
// The C library's fwrite: the number of whole items written (fewer than
// `count` after an error, errno set).
unsigned long fwrite(const void *buf, unsigned long size, unsigned long count, FILE *f);
int fflush(FILE *f);
int fclose(FILE *f);

// The OS's device control call. Supported requests:
// - FIOSYNC or FIOFLUSH on a file opened for writing: the file's data written
//   so far is on the medium when it returns 0 (a sync of the file);
// - FIOSYNC or FIOFLUSH on a descriptor opened (read-only) on a device's root
//   ("/SDH"): everything written to that device is on the medium when it
//   returns 0 (a flush of the device).
// 0 on success, -1 with errno set (EINVAL for another request). A failed sync
// means the data may not be stored: the caller must not claim it is.
// Host: fsync of the file, syncfs of the device's folder; the power-cut model
// records the data as synced.
int ioctl(int fd, int function, long arg);

DIR *opendir(const char *path);
struct dirent *readdir(DIR *dir);
int closedir(DIR *dir);

int mkdir(const char *path, int mode = 0777);
int rmdir(const char *path);
int remove(const char *path);
int rename(const char *from, const char *to);

// Writes into `out` (size bytes) the path that `path` names on the host's own
// file system once its device is resolved, for libraries that open files by
// name themselves (zlib's gzopen). 0 on success; -1 when `path` or `out` is
// null, the result does not fit, or the path names nothing (ENOENT: a device
// that is not mounted, a symbolic link on the way); out then holds an empty
// string when size > 0. On the unit the OS resolves device names itself and this is a bounded
// copy.
int resolvePath(const char *path, char *out, unsigned long size);

} // namespace plat

#endif
