// Integrity and version services of the unit (stand-in): CheckCRCFile and
// GetFileVersion, and the host helper that stamps a file with them.
//
// Every protected file carries a sidecar next to it: "<file>.ver", a text file
// of exactly two lines,
//
//     VERSION:<version text>\n
//     CRC32:<8 hex digits>\n
//
// - <version text> is 0 to 95 characters, none of them CR, LF or NUL; it is
//   what GetFileVersion returns.
// - The CRC-32 (zlib's crc32, the gzip/PNG polynomial) is computed over every
//   byte of the file, with no seed; upper- or lower-case hex digits are read,
//   lower case is written.
// - A reader accepts CR LF line ends and a missing final line end; anything
//   else (other lines, a longer version, a bad CRC field, a sidecar over 255
//   bytes) makes the sidecar malformed, and both services then fail.
//
// Paths are unit paths ("/F/Data_Base/...") resolved through the platform's
// device table; a path on no device is a host path.
#ifndef UNIT_INTEGRITY_H
#define UNIT_INTEGRITY_H

#include <cstdint>
#include <string>

// Size of the buffer GetFileVersion fills (the version text is at most 95
// characters and always NUL-terminated).
#define FILE_VERSION_SIZE 96

// Checks the file `p_path` against the CRC-32 of its sidecar. Returns 0 when it
// matches; -1 when the file or its sidecar is missing, unreadable or malformed,
// or the CRC differs. Any task.
int CheckCRCFile(const char *p_path);

// Writes the version text of the file `p_path` (from its sidecar) into
// `p_version`, a buffer of FILE_VERSION_SIZE bytes, NUL-terminated. Returns 0,
// or -1 when the sidecar is missing, unreadable or malformed (or an argument
// is null); on failure `p_version` is left untouched. The file itself need not
// exist. Any task.
int GetFileVersion(const char *p_path, char *p_version);

// What "<file>.ver" beside a file is, as ReadFileVersionStamp found it.
enum FileStampState {
    FILE_STAMP_NONE = 0,        // nothing of that name: the file has no stamp
    FILE_STAMP_READ = 1,        // a sidecar, read whole
    FILE_STAMP_NOT_SIDECAR = 2, // something else (a folder, a file over 255 bytes, a text that
                                // is no sidecar): it claims nothing
    FILE_STAMP_UNREADABLE = 3,  // it could not be examined or read (errno set)
};

// A file's stamp read for carrying to a copy of the file.
struct FileVersionStamp {
    int state; // a FileStampState
    long length;
    char text[256];
};

// Reads the stamp of `p_source` into `p_stamp` without changing anything, and
// returns what was found (p_stamp->state). Only FILE_STAMP_READ leaves a
// sidecar in `p_stamp`, checked as GetFileVersion reads one. A companion that
// is not a regular file is opened without blocking (a FIFO cannot hang the
// read). Any task.
int ReadFileVersionStamp(const char *p_source, FileVersionStamp *p_stamp);

// Writes the stamp read by ReadFileVersionStamp as the sidecar of `p_dest`,
// whole or not at all ("<dest>.ver~", synced, renamed into place). Call it
// once the file's new bytes are in place and its earlier stamp dropped
// (DropFileVersion). 0, or -1 (errno set; EINVAL when `p_stamp` holds no
// sidecar, EEXIST when a folder holds the sidecar's name) with nothing left
// behind and the earlier sidecar, if any, as it was (none once dropped). Any
// task.
int WriteFileVersionStamp(const char *p_dest, const FileVersionStamp *p_stamp);

// Drops the stamp of `p_path` before the file's bytes are replaced: a regular
// file "<path>.ver" is removed and the removal flushed to the medium (the
// device of `p_path`), so that no moment, a power loss included, finds the
// new bytes under the old stamp. A companion that is not a regular file (a
// folder) claims nothing and is left alone. 0 when no stamp is left; -1
// (errno set) when it cannot be removed or the removal not flushed. Any task.
int DropFileVersion(const char *p_path);

// Removes the stamp of `p_path` (after the file itself was removed). 0 also
// when there is none, and when "<path>.ver" is no regular file (a folder:
// it claims nothing and is left alone); -1 when it exists and cannot be
// removed, or cannot be examined. Any task.
int RemoveFileVersion(const char *p_path);

namespace unit {

// Path of the sidecar of `path` ("<path>.ver").
std::string sidecarPath(const std::string &path);
// The sidecar's suffix (".ver"), and the suffix of the temporary name a
// sidecar is written under before its rename ("<file>.ver" + "~"): a power
// cut can leave one beside an intact file.
inline constexpr char k_sidecar_suffix[] = ".ver";
inline constexpr char k_sidecar_temp_suffix[] = "~";

// CRC-32 of every byte of the file `path` (resolved through the device table).
// False when it cannot be opened or read, or is no regular file (EINVAL:
// a FIFO, a device; it is opened without blocking, so a FIFO never holds it).
bool fileCrc32(const std::string &path, uint32_t &crc);

// True when `version` can be stamped: at most 95 characters, none of them CR,
// LF or NUL.
bool validFileVersionText(const std::string &version);

// Host helper (simulator and tests): writes the sidecar of `path` with
// `version` and the CRC-32 of the file's current bytes. False, with a one-line
// reason in *error when given, when the version text is invalid (over 95
// characters, or holding CR, LF or NUL), the file cannot be read or the
// sidecar cannot be written. The sidecar is written whole or not at all: under
// a temporary name ("<file>.ver~"), synced, then renamed into place; on a
// failure the earlier sidecar (if any) is left as it was.
bool writeFileStamp(const std::string &path, const std::string &version,
                    std::string *error = nullptr);

} // namespace unit

#endif
