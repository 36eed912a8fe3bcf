// Fuzz target: the tar block parser fed directly, block by block, as the
// writer task feeds it. The first input byte holds the options (bit 0:
// p_abs_path, bit 1: verbose, bit 2: repair the checksum of every block that
// could be a header); the rest is the tar stream. Whatever the stream, nothing
// may be written outside the destination folder, and no task may outlive the
// input.
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_untar_common.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    fuzzsupport::scratch();
    fuzzsupport::resetUnit();
    fuzzsupport::cleanScratch();
    fuzzsupport::ScratchCwd l_cwd;
    const int l_abs_path = data[0] & 1;
    const int l_verbose = (data[0] >> 1) & 1;
    const bool l_fix = ((data[0] >> 2) & 1) != 0;

    C_UNTGZ *l_untgz = fuzzuntar::startParser(l_verbose, l_abs_path);
    fuzzuntar::feedBlocks(l_untgz, data + 1, size - 1, l_fix);
    fuzzuntar::stopParser(l_untgz);
    fuzzsupport::assertContained(fuzzuntar::destHostDir(l_abs_path),
                                 {fuzzuntar::emptyArchiveHostPath()});
    return 0;
}
