// Archives written by the system's own tools, for tests that must see what
// common tools really write: GNU tar (any --format, sparse files) and
// Python's tarfile (non-ASCII names). Each writes a .tgz from files given as
// path -> content; a test skips when the tool is missing.
#ifndef TESTS_SUPPORT_ARCHIVE_TOOLS_H
#define TESTS_SUPPORT_ARCHIVE_TOOLS_H

#include <cstdint>
#include <map>
#include <string>

namespace testsupport {

typedef std::map<std::string, std::string> FileTree; // relative path -> content

// True when `command --version` runs.
bool haveTool(const std::string &command);

// Writes `files` under workDir/src (cleared first), then archives them with
// `tar -czf out --format=FORMAT [extra options]` from that folder, in the
// order of the map. False when tar fails.
bool gnuTarGz(const std::string &workDir, const FileTree &files, const std::string &out,
              const std::string &format, const std::string &extraOptions = "");

// Writes a sparse file of `size` bytes holding `data` at its end (a hole
// before it) as workDir/src/<name>, and archives it with `tar -S` in the
// given format. False when tar fails.
bool gnuTarSparseGz(const std::string &workDir, const std::string &name, uint64_t size,
                    const std::string &data, const std::string &out, const std::string &format);

// Archives `files` with Python's tarfile ("w:gz", its default format)
// straight from memory. Names are UTF-8. False when Python fails.
bool pythonTarGz(const std::string &workDir, const FileTree &files, const std::string &out);

} // namespace testsupport

#endif
