// The builtins' log texts that the host tools read back to say why a copy
// failed. Each is the format of one or more plat::log calls of the builtins,
// written once here and used by those calls: a tool recognises a line by the
// same constant, so a reworded text cannot silently change what a tool
// concludes.
#ifndef C_BUILTINS_LOG_H
#define C_BUILTINS_LOG_H

// ---- A file operation of the copy failed: the path, errno ----
inline constexpr char g_builtins_log_copy_open[] =
    "BuiltinsCopy: open of '%s' returned error errno = 0x%X\n";
inline constexpr char g_builtins_log_copy_read[] =
    "BuiltinsCopy: read of '%s' returned error errno = 0x%X\n";
inline constexpr char g_builtins_log_copy_write[] =
    "BuiltinsCopy: write of '%s' returned error errno = 0x%X\n";
inline constexpr char g_builtins_log_copy_sync[] =
    "BuiltinsCopy: sync of '%s' returned error errno = 0x%X\n";
inline constexpr char g_builtins_log_copy_close[] =
    "BuiltinsCopy: close of '%s' returned error errno = 0x%X\n";
// Arguments: the temporary copy, the destination, errno.
inline constexpr char g_builtins_log_copy_rename[] =
    "BuiltinsCopy: rename of '%s' to '%s' returned error errno = 0x%X\n";

// ---- The copy refused its arguments ----
// Arguments: the source, errno.
inline constexpr char g_builtins_log_copy_not_regular[] =
    "BuiltinsCopy: '%s' is not a readable regular file (errno = 0x%X): nothing copied\n";
// Argument: the longest path taken.
inline constexpr char g_builtins_log_copy_path_too_long[] =
    "UPGCopy ERROR: path longer than %d characters\n";

#endif
