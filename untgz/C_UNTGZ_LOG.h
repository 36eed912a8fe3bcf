// The extractor's log texts that the host tools read back to say why an
// extraction failed. Each is the format of one or more plat::log calls of
// the extractor, written once here and used by those calls: a tool
// recognises a line by the same constant, so a reworded text cannot silently
// change what a tool concludes.
#ifndef C_UNTGZ_LOG_H
#define C_UNTGZ_LOG_H

// ---- The archive's own faults: a header or an entry refused ----
inline constexpr char g_untgz_log_not_tar[] = "%ld - (UntarBlock): %s: not a valid tar file\n";
inline constexpr char g_untgz_log_bad_checksum[] =
    "%ld - (UntarBlock): %s: header has bad checksum for %s\n";
inline constexpr char g_untgz_log_size_refused[] =
    "%ld - (UntarBlock): %s: size field over 4 GiB, entry refused: %s\n";
inline constexpr char g_untgz_log_path_too_long[] =
    "%ld - (UntarBlock): %s: path too long, entry refused: %s\n";
// Arguments: the archive, the allowed prefix, the entry's path.
inline constexpr char g_untgz_log_outside_refused[] =
    "%ld - (UntarBlock): %s: entry outside '%s' refused: %s\n";
inline constexpr char g_untgz_log_leaves_refused[] =
    "%ld - (UntarBlock): %s: path leaves the destination folder, entry refused: %s\n";
inline constexpr char g_untgz_log_prefix_refused[] =
    "%ld - (Untar): allowed prefix of %d characters or more refused\n";
// A block that is no header after a file's data (two calls).
inline constexpr char g_untgz_log_garbage[] =
    "%ld - (UntarBlock): WARNING: Garbage detected; preceding file may be damaged\n";

// ---- The extraction's own failures ----
// Arguments: the archive, errno.
inline constexpr char g_untgz_log_gzopen[] =
    "%ld - (DoUnArchive): gzopen (%s) : ERROR (errno = 0x%X)\n";
// Arguments: the entry's output path, errno.
inline constexpr char g_untgz_log_create_path[] =
    "%ld - (CreatePath): fopen (%s) : ERROR (errno = 0x%X)\n";
// Arguments: the archive, the operation ("create", "write", "close", ...),
// the path, the error's text.
inline constexpr char g_untgz_log_file_error[] = "%ld - (UntarBlock): %s: cannot %s '%s': %s\n";
// Arguments: the archive, the device, the error's text.
inline constexpr char g_untgz_log_flush[] =
    "%ld - (Untar): %s: cannot flush '%s' to the medium: %s\n";
// Arguments: errno, the size read (-1).
inline constexpr char g_untgz_log_gzread1[] =
    "%ld - (DoUnArchive): gzread1 error (errno = 0x%X), l_size = %d\n";
inline constexpr char g_untgz_log_gzread2[] =
    "%ld - (DoUnArchive): gzread2 error (errno = 0x%X), l_size = %d\n";
// Arguments: the archive, the bytes returned, the bytes asked for.
inline constexpr char g_untgz_log_short_read[] =
    "%ld - (DoUnArchive): %s: the archive reader returned %d bytes of %d before the end "
    "of the stream: read error\n";
// Arguments: the archive, the entry (two calls: the reader's and the writer's).
inline constexpr char g_untgz_log_cut_in_data[] =
    "%ld - (DoUnArchive): %s: archive ends inside the data of %s\n";
inline constexpr char g_untgz_log_writer_cut_in_data[] =
    "%ld - (StaticWriteTask): %s: archive ends inside the data of %s\n";
// Arguments: what ("the archive's path", ...), the limit, the limit - 1.
inline constexpr char g_untgz_log_param_path[] =
    "%ld - (Untar): parameter error (%s of %d characters or more, at most %d)\n";
// The task and semaphore plumbing around the writer task.
inline constexpr char g_untgz_log_sem_create[] =
    "%ld - (Untar): semMCreate error (errno = 0x%X)!!!\n";
inline constexpr char g_untgz_log_sem_take[] =
    "%ld - (DoUnArchive): semTake (m_sem_write, WAIT_FOREVER) ERROR (errno = 0x%X)\n";
inline constexpr char g_untgz_log_spawn_failed[] = "%ld - (DoUnArchive): m_write_task == ERROR\n";
inline constexpr char g_untgz_log_writer_error[] = "%ld - (DoUnArchive): write task error!!\n";
inline constexpr char g_untgz_log_writer_failed[] =
    "%ld - (StaticWriteTask): p_instance->UntarBlock return ERROR\n";

// ---- The console ----
// The listing of each entry on the unit's console (printf, not logMsg):
// the script host sends these lines to its listing file.
inline constexpr char g_untgz_console_listing[] = "(UntarBlock) %s\n";

#endif
