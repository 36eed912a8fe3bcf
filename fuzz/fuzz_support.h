// Shared pieces of the fuzz targets: one scratch folder per fuzzing process
// (on a RAM disk when there is one) mapped as the unit's devices, the reset
// of the simulated unit between two inputs, input files written into the
// scratch folder, and the containment check that nothing was written outside
// a target's output folder.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzzsupport {

// Prepares the process once (idempotent): makes the scratch folder, silences
// standard output (the extractor's listing) and returns the scratch folder's
// host path. Aborts when the folder cannot be made.
const std::string &scratch();

// Makes the scratch folder the working directory while it lives, so that a
// relative extraction path lands there too. The working directory must be
// given back before the input ends: libFuzzer opens corpus files by relative
// path between two inputs.
class ScratchCwd {
public:
    ScratchCwd();
    ~ScratchCwd();
    ScratchCwd(const ScratchCwd &) = delete;
    ScratchCwd &operator=(const ScratchCwd &) = delete;

private:
    std::string m_previous;
};

// Restores the simulated unit to a known state for the next input: resets
// hostsim (devices, log, faults, symbol table, task records), installs the
// unit stand-ins, mounts "/FZ" on the scratch folder and "/SDH", "/F" and
// "/DVD" on its sub-folders sd/, flash/ and media/ (created when missing), and
// raises the tick rate so that the module's pauses pass in microseconds.
void resetUnit();

// Removes everything in the scratch folder except `keep` (names directly in
// it) and recreates the device sub-folders.
void cleanScratch(const std::vector<std::string> &keep = {});

// Writes `size` bytes at host path `hostPath`, creating parent folders.
// Aborts on failure (a full RAM disk must not pass for a clean run).
void writeHostFile(const std::string &hostPath, const uint8_t *data, size_t size);
void writeHostFile(const std::string &hostPath, const std::string &content);

// Aborts with a message naming every path under the scratch folder that lies
// neither under `allowedDir` (nor is one of its parent folders) nor is listed
// in `inputs` (host paths of the input files the harness wrote itself).
void assertContained(const std::string &allowedDir, const std::vector<std::string> &inputs);

// Waits (bounded) until every task spawned so far has ended; aborts when one
// is still alive, so no task leaks from one input into the next.
void assertNoTaskLeft();

// Splits `data` at every occurrence of `separator` into at most `parts`
// pieces (the last piece keeps any further separators). Missing pieces are
// empty strings.
std::vector<std::string> splitInput(const uint8_t *data, size_t size, const std::string &separator,
                                    size_t parts);

} // namespace fuzzsupport

#endif
