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

// Carries the version and integrity stamp of `p_source` to `p_dest` once the
// file has been copied there: the sidecar is copied, or, when the source has
// none, a stale sidecar of the destination is removed. Returns 0, or -1
// (errno set) when the sidecar could not be carried; the destination then has
// no sidecar left, so it never claims a version it does not hold. Any task.
int CopyFileVersion(const char *p_source, const char *p_dest);

// A stamp made ready for a destination before its data is copied
// (StageFileVersion), put in place once the data is (CommitFileVersion), or
// dropped (DiscardFileVersion). Filled by StageFileVersion only.
struct FileVersionStage {
    int hasStamp; // the source has a stamp (else the destination's is removed)
    int inMemory; // the stamp waits in `text`: no temporary name was possible
    long length;
    char text[256];
};

// Prepares the stamp of `p_source` for `p_dest` without touching `p_dest` or
// its stamp: the source's sidecar is written and synced under a temporary
// name beside the destination's ("<dest>.ver~"), so that putting it in place
// later takes a rename and no room. 0, or -1 (errno set, nothing left behind)
// when the source's sidecar cannot be read or the staged one written. Any
// task.
int StageFileVersion(const char *p_source, const char *p_dest, FileVersionStage *p_stage);
// Puts the staged stamp in place as `p_dest`'s (or removes `p_dest`'s stamp
// when the source had none). 0, or -1 (errno set) with `p_dest` left without
// a stamp, so that it never claims a version it may not hold.
int CommitFileVersion(const char *p_dest, FileVersionStage *p_stage);
// Drops a staged stamp; `p_dest`'s own stamp stays as it is.
void DiscardFileVersion(const char *p_dest, FileVersionStage *p_stage);

// Removes the stamp of `p_path` (after the file itself was removed). 0 also
// when there is none; -1 when it exists and cannot be removed. Any task.
int RemoveFileVersion(const char *p_path);

namespace unit {

// Path of the sidecar of `path` ("<path>.ver").
std::string sidecarPath(const std::string &path);

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
