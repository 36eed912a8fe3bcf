// Fuzz target: a whole .tgz through Untar (decompression, chunking, writer
// tasks, parser). The input is the archive file; its length's lowest bit
// selects p_abs_path. Nothing may be written outside the destination folder,
// and every writer task must have ended when Untar returns.
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_untar_common.h"

#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzzsupport::scratch();
    fuzzsupport::resetUnit();
    fuzzsupport::cleanScratch();
    fuzzsupport::ScratchCwd l_cwd;
    const int l_abs_path = static_cast<int>(size & 1);
    const std::string l_archive = root + "/in/a.tgz";
    fuzzsupport::writeHostFile(l_archive, data, size);

    C_UNTGZ *l_untgz = C_UNTGZ::GetInstance();
    if (l_untgz == nullptr)
        std::abort();
    const int l_rc = l_untgz->Untar("/FZ/in/a.tgz", fuzzuntar::k_dest, 1, l_abs_path);
    if (l_rc != OK && l_rc != ERROR)
        std::abort();
    fuzzsupport::assertNoTaskLeft();
    unsigned long long l_progression = 1;
    // Not in use any more: the progression query must say so.
    if (l_untgz->GetProgression(l_progression) != ERROR || l_progression != 0)
        std::abort();
    fuzzsupport::assertContained(fuzzuntar::destHostDir(l_abs_path), {l_archive});
    return 0;
}
