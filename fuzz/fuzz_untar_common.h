// Helpers of the extraction fuzz targets: the extractor reset between two
// inputs, direct block feeding, the checksum repair that lets the fuzzer reach
// past the header check, and the destination folder's host path.
#ifndef FUZZ_FUZZ_UNTAR_COMMON_H
#define FUZZ_FUZZ_UNTAR_COMMON_H

#include "untgz/C_UNTGZ.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzzuntar {

// Destination folder of every extraction: "/FZ/dest/" on the scratch folder's
// device. With p_abs_path 0 the extractor drops the leading "/", so the output
// lands under "FZ/dest/" relative to the working directory, which is the
// scratch folder too.
extern const char *const k_dest;

// Host folder where the extraction's output must stay for p_abs_path.
std::string destHostDir(int p_abs_path);

// Writes an empty archive and runs Untar on it: the parser's state is reset
// and the destination folder and options are set for direct block feeding.
// Aborts when a task is left running. Returns the extractor.
C_UNTGZ *startParser(int p_verbose, int p_abs_path);

// Feeds p_size bytes to UntarBlock in 512-byte blocks (the last one padded
// with zeros), stopping at the first refused block, as the writer task does.
// With p_fix_checksums every block whose first byte is not NUL gets the
// checksum its bytes make, so mutated headers pass that check.
void feedBlocks(C_UNTGZ *p_untgz, const uint8_t *p_data, size_t p_size, bool p_fix_checksums);

// Closes what the parser may have left open (an entry whose data did not all
// come) by running the reader loop over the empty archive once more, then
// checks that no task is left.
void stopParser(C_UNTGZ *p_untgz);

// Host path of the empty archive that startParser writes.
std::string emptyArchiveHostPath();

// Writes the ustar checksum of a 512-byte header into its chksum field.
void fixChecksum(uint8_t *p_block);

} // namespace fuzzuntar

#endif
