// Upgrade copy and SD block-size builtins: the chunked file copy
// C_BUILTINS::BuiltinsCopy (also used by the POI merge), the builtin "UPGCopy"
// (folder creation, copy with three retries, version trace, optional move) and
// the builtin "GetSDBlockSize".
#include "builtins/C_BUILTINS.h"

#include "builtins/C_BUILTINS_LOG.h"
#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "unit/integrity.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// One chunk of a copy; the buffer has one spare byte.
const long k_copy_chunk = 65536;
const unsigned long k_copy_buffer_size = 65537;

// "UPGCopy" keeps its paths in local buffers of this many characters (NUL
// included); a path must leave room for the NUL within the first 765.
const unsigned long k_path_buffer_size = 768;
const unsigned long k_path_max_length = 765;

// Size of a version text buffer (GetFileVersion).
const int k_version_size = 96;

// Suffix of the temporary name a copy is written under.
const char (&k_temp_suffix)[sizeof k_copy_temp_suffix] = k_copy_temp_suffix;

// Retries after a failed first copy.
const int k_copy_retries = 3;

const char k_create_dir_symbol[] = "CreateDir__13C_FILE_SEARCHPc";

// The file search's folder creation, found by link name.
typedef int (*t_create_dir_func)(char *);

// Reads the version of p_path into p_version (k_version_size bytes); the empty
// text when it cannot be read.
void ReadVersion(char *p_path, char *p_version) {
    std::memset(p_version, 0, k_version_size);
    if (GetFileVersion(p_path, p_version) == -1)
        p_version[0] = '\0';
    p_version[k_version_size - 1] = '\0';
}

// True when p_first and p_second name one file: the same text, or one file
// system object (same device and inode number). A file system that numbers no
// inodes reports 0, and then only the text counts.
bool SameFile(const char *p_first, const char *p_second) {
    if (std::strcmp(p_first, p_second) == 0)
        return true;
    struct stat l_first;
    struct stat l_second;
    return plat::stat(p_first, &l_first) == 0 && plat::stat(p_second, &l_second) == 0 &&
           l_first.st_ino != 0 && l_first.st_dev == l_second.st_dev &&
           l_first.st_ino == l_second.st_ino;
}

} // namespace

// Suffixes of the temporary name a copy is written under, tried in turn: the
// first whose name is not the source itself is taken (a user who recovers
// "X~upgcopy" by copying it onto "X" must not see the copy remove its source).
const char *const k_temp_suffixes[] = {k_temp_suffix, k_copy_temp_suffix_alt1,
                                       k_copy_temp_suffix_alt2};

// Copies the open source l_source_fd (from its current offset) into p_target,
// created or truncated, and syncs it to the medium before closing it: 0 only
// when every byte is written and on the medium. *p_written counts the bytes
// written. On failure p_target may hold part of the copy, and *p_error holds
// the errno of the failed open or write (0 when a read, the sync or the close
// failed: those say nothing about the room or the name). p_source names the
// source for the log lines.
static int WriteCopy(int l_source_fd, const char *p_source, const char *p_target, char *p_buffer,
                     int *p_error, long long *p_written) {
    int l_result = 0;
    *p_error = 0;
    *p_written = 0;
    int l_dest_fd = plat::open(p_target, O_RDWR | O_CREAT | O_TRUNC, 0777);
    if (l_dest_fd < 0) {
        *p_error = errnoGet();
        plat::log(g_builtins_log_copy_open, p_target, *p_error);
        return -1;
    }
    long l_read = 0;
    do {
        l_read = plat::read(l_source_fd, p_buffer, k_copy_chunk);
        if (l_read < 0) {
            plat::log(g_builtins_log_copy_read, p_source, errnoGet());
            l_result = -1;
        } else if (l_read > 0) {
            long l_written = plat::write(l_dest_fd, p_buffer, static_cast<unsigned long>(l_read));
            if (l_written > 0)
                *p_written += l_written;
            if (l_written != l_read) {
                *p_error = errnoGet();
                plat::log(g_builtins_log_copy_write, p_target, *p_error);
                l_result = -1;
            }
        }
    } while (l_read > 0 && l_result == 0);

    // The copy is claimed (renamed into place, 0 returned) only once its bytes
    // are on the medium: a power loss after that keeps it whole.
    if (l_result == 0 && plat::ioctl(l_dest_fd, FIOSYNC, 0) != 0) {
        plat::log(g_builtins_log_copy_sync, p_target, errnoGet());
        l_result = -1;
    }
    if (plat::close(l_dest_fd) != 0 && l_result == 0) {
        plat::log(g_builtins_log_copy_close, p_target, errnoGet());
        l_result = -1;
    }
    return l_result;
}

namespace {

// What a copy learnt of its source and destination before moving a byte:
// the open source, the sizes, and the temporary name it writes under.
struct CopyPlan {
    int sourceFd;
    long long sourceSize;
    bool destExists;
    long long destSize;
    char temp[k_path_buffer_size + sizeof k_temp_suffix];
};

} // namespace

// Open-source: opens p_Source for a copy onto p_Dest and checks both before
// anything is written. 1 when the copy goes ahead (p_plan holds the open
// source and the sizes); 0 when p_Dest is the source itself (nothing to
// copy); -1 (logged) when the source cannot be opened or is not a regular
// file, or the destination is a folder. The source is left open only with 1.
static int OpenCopySource(const char *p_Source, const char *p_Dest, CopyPlan *p_plan) {
    const int l_source_fd = plat::open(p_Source, O_RDONLY | O_NONBLOCK);
    if (l_source_fd < 0) {
        plat::log(g_builtins_log_copy_open, p_Source, errnoGet());
        return -1;
    }
    struct stat l_status;
    if (plat::fstat(l_source_fd, &l_status) != 0 || !S_ISREG(l_status.st_mode)) {
        plat::log(g_builtins_log_copy_not_regular, p_Source, errnoGet());
        plat::close(l_source_fd);
        return -1;
    }
    if (SameFile(p_Source, p_Dest)) {
        plat::log("BuiltinsCopy: '%s' and '%s' are the same file: nothing copied\n", p_Source,
                  p_Dest);
        plat::close(l_source_fd);
        return 0;
    }
    p_plan->sourceSize = static_cast<long long>(l_status.st_size);
    p_plan->destExists = plat::stat(p_Dest, &l_status) == 0;
    p_plan->destSize = p_plan->destExists ? static_cast<long long>(l_status.st_size) : 0;
    if (p_plan->destExists && S_ISDIR(l_status.st_mode)) {
        plat::log("BuiltinsCopy: destination '%s' is a folder: nothing copied\n", p_Dest);
        plat::close(l_source_fd);
        return -1;
    }
    p_plan->sourceFd = l_source_fd;
    return 1;
}

// Puts into p_plan->temp the first temporary name beside p_Dest that is not
// p_Source itself. False (logged) when the name does not fit or every
// candidate is the source.
static bool ChooseTempName(const char *p_Source, const char *p_Dest, CopyPlan *p_plan) {
    for (const char *l_suffix : k_temp_suffixes) {
        const int l_temp_len =
            std::snprintf(p_plan->temp, sizeof p_plan->temp, "%s%s", p_Dest, l_suffix);
        if (l_temp_len < 0 || static_cast<unsigned long>(l_temp_len) >= sizeof p_plan->temp) {
            plat::log("BuiltinsCopy: destination '%s' too long\n", p_Dest);
            return false;
        }
        if (!SameFile(p_Source, p_plan->temp))
            return true;
    }
    plat::log("BuiltinsCopy: no temporary name beside '%s' that is not the source '%s'\n", p_Dest,
              p_Source);
    return false;
}

// Drops the version stamp of p_Dest before its bytes are replaced, for a
// copy that carries the source's stamp (DropFileVersion: removed, and the
// removal on the medium). True when no stamp is left; false, logged, when it
// stays: the destination must then not be replaced, or it would be claimed
// by a version it no longer holds.
static bool DropStaleStamp(const char *p_Dest) {
    if (DropFileVersion(p_Dest) == 0)
        return true;
    plat::log(
        "BuiltinsCopy: version stamp of '%s' cannot be removed (errno = 0x%X): not replaced\n",
        p_Dest, errnoGet());
    return false;
}

// The plain order, when no temporary copy is possible: the destination (and
// its version stamp) removed, the source read again from its start and
// written in place, synced. 0, or -1 with no destination left (or, when
// p_drop_stamp asks for the stamp's durable removal and that fails, the
// destination and its stamp untouched). p_error gives the errno that ruled
// out the temporary copy (for the log).
static int CopyInPlace(const CopyPlan &p_plan, const char *p_Source, const char *p_Dest,
                       char *p_buffer, int p_error, bool p_drop_stamp) {
    plat::log("BuiltinsCopy: no temporary copy of '%s' possible (errno = 0x%X): the destination "
              "is removed and the copy written in place\n",
              p_Dest, p_error);
    // The stamp goes first: a stamp never describes a file it does not match.
    // A destination that will not go is caught by the write in place, which
    // truncates it or fails.
    if (p_drop_stamp) {
        if (!DropStaleStamp(p_Dest))
            return -1;
    } else {
        RemoveFileVersion(p_Dest);
    }
    plat::remove(p_Dest);
    int l_result = -1;
    if (plat::lseek(p_plan.sourceFd, 0, SEEK_SET) != 0) {
        plat::log(g_builtins_log_copy_read, p_Source, errnoGet());
    } else {
        int l_error = 0;
        long long l_written = 0;
        l_result = WriteCopy(p_plan.sourceFd, p_Source, p_Dest, p_buffer, &l_error, &l_written);
    }
    // Part of a file is no copy: the retry starts afresh. The result is -1
    // whether or not the part goes.
    if (l_result != 0)
        plat::remove(p_Dest);
    return l_result;
}

// Copy-stream: copies the open source into the temporary name (a copy left
// there by an interrupted run replaced), or in place when the temporary copy
// failed for want of room that the destination's own room makes up, or for a
// name too long (*p_in_place then true: nothing is left to commit; the
// destination's stamp goes as CopyInPlace says). 0 when every byte is written
// and synced, -1 (logged) otherwise, with no temporary file left. Leaves the
// source open.
static int CopyStream(const CopyPlan &p_plan, const char *p_Source, const char *p_Dest,
                      bool p_drop_stamp, bool *p_in_place) {
    *p_in_place = false;
    char *l_buffer = static_cast<char *>(std::malloc(k_copy_buffer_size));
    if (l_buffer == nullptr) {
        plat::log("malloc l_buffer returned error errno = 0x%X", errnoGet());
        return -1;
    }
    // A temporary copy left by an interrupted run; the write below truncates
    // it anyway, and fails if it cannot.
    plat::remove(p_plan.temp);
    int l_error = 0;
    long long l_written = 0;
    int l_result =
        WriteCopy(p_plan.sourceFd, p_Source, p_plan.temp, l_buffer, &l_error, &l_written);
    if (l_result != 0) {
        plat::remove(p_plan.temp); // the result is -1 whether or not it goes
        // The temporary copy filled the room there was: with the
        // destination's room added, does the source fit?
        *p_in_place = l_error == ENAMETOOLONG || (l_error == ENOSPC && p_plan.destExists &&
                                                  l_written + p_plan.destSize >= p_plan.sourceSize);
    }
    if (*p_in_place)
        l_result = CopyInPlace(p_plan, p_Source, p_Dest, l_buffer, l_error, p_drop_stamp);
    std::free(l_buffer);
    return l_result;
}

// Commit: renames the complete, synced temporary copy p_temp onto p_Dest.
// The unit's file system renames onto a free name only: when the first
// rename fails, the old destination is removed and the rename made again.
// 0, or -1 (logged); the temporary copy is removed then, unless the
// destination is gone and it is all there is. With p_drop_stamp the
// destination's version stamp is dropped first (DropStaleStamp); when it
// stays, nothing is renamed and the result is -1.
static int CommitCopy(const char *p_temp, const char *p_Dest, bool p_drop_stamp) {
    if (p_drop_stamp && !DropStaleStamp(p_Dest)) {
        plat::remove(p_temp); // the result is -1 whether or not it goes
        return -1;
    }
    if (plat::rename(p_temp, p_Dest) == 0)
        return 0;
    plat::remove(p_Dest); // the second rename tells whether it went
    if (plat::rename(p_temp, p_Dest) == 0)
        return 0;
    plat::log(g_builtins_log_copy_rename, p_temp, p_Dest, errnoGet());
    // Once the destination is gone, the complete copy is all there is.
    struct stat l_status;
    if (plat::stat(p_Dest, &l_status) != 0)
        plat::log("BuiltinsCopy: the copy is kept as '%s'\n", p_temp);
    else
        plat::remove(p_temp); // the result is -1 whether or not it goes
    return -1;
}

// The whole of BuiltinsCopy (below). With p_drop_stamp, for a copy that
// carries the source's version stamp, the destination's stamp is dropped
// durably just before its bytes are replaced (CommitCopy, CopyInPlace), and
// the copy fails, the destination untouched, when it cannot be. *p_replaced
// (when given) tells whether the destination was replaced: false for a
// destination that is the source itself.
static int CopyFileData(const char *p_Source, const char *p_Dest, bool p_drop_stamp,
                        bool *p_replaced) {
    if (p_replaced != nullptr)
        *p_replaced = false;
    if (p_Source == nullptr || p_Dest == nullptr) {
        plat::log("errno = 0x%X ::  p_Source = %s, p_Dest = %s  ", errnoGet(), p_Source, p_Dest);
        return -1;
    }
    CopyPlan l_plan{};
    const int l_opened = OpenCopySource(p_Source, p_Dest, &l_plan);
    if (l_opened != 1)
        return l_opened;
    if (!ChooseTempName(p_Source, p_Dest, &l_plan)) {
        plat::close(l_plan.sourceFd);
        return -1;
    }
    bool l_in_place = false;
    int l_result = CopyStream(l_plan, p_Source, p_Dest, p_drop_stamp, &l_in_place);
    plat::close(l_plan.sourceFd);
    if (!l_in_place && l_result == 0)
        l_result = CommitCopy(l_plan.temp, p_Dest, p_drop_stamp);
    if (p_replaced != nullptr)
        *p_replaced = l_result == 0;
    return l_result;
}

// Replaces p_Dest with a copy of p_Source, 64 KiB per read and write.
// Returns 0 (OK) when every byte was copied and is on the medium, -1 (ERROR)
// otherwise. The source is read until a read returns 0 bytes, so a short read
// before the end does not end the copy early.
//
// The copy is written under a temporary name beside the destination
// (p_Dest + "~upgcopy", or "~upgcpy1"/"~upgcpy2" when that name is the source
// itself), synced, and renamed onto the destination only once the source was
// read completely: a failing copy leaves the destination as it was, and a
// power loss leaves the old or the whole new file. That needs room for both
// files, and a name 8 characters longer than the destination's: when the
// temporary copy fails for want of room (ENOSPC, with a destination to make
// room) or because its name is too long (ENAMETOOLONG), the copy says so in
// the log and takes the plain order instead: the destination (and its version
// stamp) removed, the copy written in place and synced; a failure then leaves
// no destination. For want of room it does so only when the room the
// temporary copy found (the bytes it wrote) and the destination's size
// together hold the source: else the copy fails and the destination stays. A temporary name is
// never the source, so no clean-up ever removes the source.
//
// A source that cannot be opened or is not a regular file (a folder, a
// device, a FIFO: opened without blocking, so a FIFO without a writer cannot
// hang the copy), and a destination that is an existing folder, are refused
// with -1 and the destination untouched. A destination that is the source
// itself already holds its bytes: it is left alone and the result is 0. Any
// task (the interpreter's, the POI merge's); each call has its own buffer.
int C_BUILTINS::BuiltinsCopy(const char *p_Source, const char *p_Dest) {
    return CopyFileData(p_Source, p_Dest, false, nullptr);
}

// BuiltinsCopy with the source's version and integrity stamp carried to the
// destination, so that the destination's version tells what it holds. The
// stamp never decides the copy's result: the data is copied first (the
// destination's old stamp dropped, durably, just before its bytes are
// replaced), then the source's stamp is written beside it. A companion
// "NAME.ver" that is no stamp (a folder, over 255 bytes, malformed) is
// ignored, and a stamp that cannot be read or written (no room on the card)
// is not carried: each is logged, and the destination is left with no stamp
// rather than a stale one. At every moment, a power loss included, the
// destination's stamp is its old one over the old bytes, none, or the new
// one over the new bytes. p_stamp receives what the source's companion is.
// 0, or -1 when the data was not copied.
static int CopyWithVersion(const char *p_Source, const char *p_Dest, FileVersionStamp *p_stamp) {
    const int l_state = ReadFileVersionStamp(p_Source, p_stamp);
    if (l_state == FILE_STAMP_NOT_SIDECAR)
        plat::log("UPGCopy: '%s.ver' is no version stamp (a folder, over 255 bytes or malformed): "
                  "ignored, '%s' gets none\n",
                  p_Source, p_Dest);
    else if (l_state == FILE_STAMP_UNREADABLE)
        plat::log("UPGCopy: version stamp of '%s' cannot be read (errno = 0x%X): '%s' gets none\n",
                  p_Source, errnoGet(), p_Dest);
    bool l_replaced = false;
    if (CopyFileData(p_Source, p_Dest, true, &l_replaced) != 0)
        return -1;
    if (l_replaced && l_state == FILE_STAMP_READ && WriteFileVersionStamp(p_Dest, p_stamp) != 0)
        plat::log("UPGCopy: version of '%s' not carried to '%s' (errno = 0x%X): the copy has no "
                  "version stamp\n",
                  p_Source, p_Dest, errnoGet());
    return 0;
}

// Builtin "UPGCopy". Argument 0 char*: source file; argument 1 char*:
// destination file; argument 2 int: 1 to remove the source after a copy that
// succeeded at the first attempt. Creates the destination's folder (through
// the file search's CreateDir), copies with up to three retries, logs the
// versions before and after. Returns 0 or -1. A path longer than 765
// characters is refused (-1), since a cut path would name another file. A
// source that names the destination file itself is never removed. The
// version stamp travels with the copy when it can (CopyWithVersion) and never
// fails it; a move removes the source's stamp with it, and leaves a companion
// "NAME.ver" that is no stamp where it is (it is not the copy's).
// Interpreter's task.
val_t C_BUILTINS::s_UPGCopy() {
    int l_result = 0;

    char *l_func_address = nullptr;
    if (symFindByName(sysSymTbl, k_create_dir_symbol, &l_func_address, nullptr) == ERROR) {
        plat::log("CreateDir__13C_FILE_SEARCHPc: Error UNRESOLVED symbol s_UPGCopy\n");
        return EiC_IntResult(-1);
    }
    t_create_dir_func l_create_dir = reinterpret_cast<t_create_dir_func>(l_func_address);

    const char *l_arg_source = static_cast<const char *>(EiC_ArgPtr(0));
    const char *l_arg_dest = static_cast<const char *>(EiC_ArgPtr(1));
    int l_remove_source = EiC_ArgInt(2);
    if (l_arg_source == nullptr || l_arg_dest == nullptr) {
        plat::log("UPGCopy ERROR: UPGCopy null param\n");
        return EiC_IntResult(-1);
    }
    if (strnlen(l_arg_source, k_path_max_length + 1) > k_path_max_length ||
        strnlen(l_arg_dest, k_path_max_length + 1) > k_path_max_length) {
        plat::log(g_builtins_log_copy_path_too_long, k_path_max_length);
        return EiC_IntResult(-1);
    }

    char l_pSource[k_path_buffer_size];
    char l_pDest[k_path_buffer_size];
    char l_dest_folder[k_path_buffer_size];
    std::memset(l_pSource, 0, sizeof l_pSource);
    std::memset(l_pDest, 0, sizeof l_pDest);
    std::memset(l_dest_folder, 0, sizeof l_dest_folder);
    std::strncpy(l_pSource, l_arg_source, k_path_max_length);
    std::strncpy(l_pDest, l_arg_dest, k_path_max_length);
    std::strncpy(l_dest_folder, l_arg_dest, k_path_max_length);

    char l_old_version[k_version_size];
    char l_pNewVersion[k_version_size];
    std::memset(l_old_version, 0, sizeof l_old_version);
    std::memset(l_pNewVersion, 0, sizeof l_pNewVersion);

    FILE *l_dest_file = plat::fopen(l_pDest, "r");
    if (l_dest_file != nullptr) {
        plat::fclose(l_dest_file);
        ReadVersion(l_pDest, l_old_version);
    }

    // A destination without any '/' has no folder to create.
    char *l_last_slash = std::strrchr(l_dest_folder, '/');
    if (l_last_slash != nullptr) {
        *l_last_slash = '\0';
        if (l_create_dir(l_dest_folder) == -1)
            plat::log("UPGCopy Could not create '%s'\n", l_dest_folder);
    }

    FileVersionStamp l_stamp;
    l_result = CopyWithVersion(l_pSource, l_pDest, &l_stamp);
    if (l_result == -1) {
        for (int l_retry = 1; l_retry <= k_copy_retries; ++l_retry) {
            plat::log("UPGCopy ERROR (Retry %d) : errno = 0x%X : '%s'\n", l_retry, errnoGet(),
                      l_pSource);
            l_result = CopyWithVersion(l_pSource, l_pDest, &l_stamp);
            if (l_result == 0)
                return EiC_IntResult(0);
        }
        return EiC_IntResult(l_result);
    }

    ReadVersion(l_pSource, l_pNewVersion);
    plat::log("copy %s (%s to %s)", l_pDest, l_old_version, l_pNewVersion);

    if (l_remove_source == 1) {
        // A source that is its own destination is the only copy: moving a
        // file onto itself keeps it.
        if (SameFile(l_pSource, l_pDest)) {
            plat::log("UPGCopy: '%s' is its own destination: not removed\n", l_pSource);
        } else if (plat::remove(l_pSource) != 0 ||
                   (l_stamp.state != FILE_STAMP_NONE && l_stamp.state != FILE_STAMP_NOT_SIDECAR &&
                    RemoveFileVersion(l_pSource) != 0)) {
            plat::log("UPGCopy ERROR (l_pSource %s):errno = 0x%X remove in UPG copy\n", l_pSource,
                      errnoGet());
            l_result = -1;
        } else {
            plat::log("remove = %s ,l_pSource = %s ,l_pNewVersion = %s", l_pDest, l_pSource,
                      l_pNewVersion);
        }
    }
    return EiC_IntResult(l_result);
}

// Builtin "GetSDBlockSize": no argument. Returns the file-system block size of
// the SD card "/SDH", or -1 when it cannot be opened or examined.
// Interpreter's task.
val_t C_BUILTINS::s_GetSDBlockSize() {
    int l_result = -1;
    int l_fd = plat::open("/SDH", O_RDONLY, 0644);
    if (l_fd < 0) {
        plat::log("%ld - (s_GetSDBlockSize) ERROR : open ('/SDH')", tickGet());
        return EiC_IntResult(-1);
    }
    struct stat l_status;
    if (plat::fstat(l_fd, &l_status) != 0)
        plat::log("%ld - (s_GetSDBlockSize) ERROR : fstat ('/SDH')", tickGet());
    else
        l_result = static_cast<int>(l_status.st_blksize);
    plat::close(l_fd);
    return EiC_IntResult(l_result);
}
