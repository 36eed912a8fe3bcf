// Extractor reset, block feeding and checksum repair for the extraction fuzz
// targets.
#include "fuzz/fuzz_untar_common.h"

#include "fuzz/fuzz_support.h"

#include <cstdio>
#include <cstring>

namespace fuzzuntar {

const char *const k_dest = "/FZ/dest/";

std::string destHostDir(int p_abs_path) {
    return fuzzsupport::scratch() + (p_abs_path == 1 ? "/dest" : "/FZ/dest");
}

std::string emptyArchiveHostPath() {
    return fuzzsupport::scratch() + "/in/empty.tar";
}

C_UNTGZ *startParser(int p_verbose, int p_abs_path) {
    fuzzsupport::writeHostFile(emptyArchiveHostPath(), std::string());
    C_UNTGZ *l_untgz = C_UNTGZ::GetInstance();
    if (l_untgz == nullptr)
        std::abort();
    l_untgz->Untar("/FZ/in/empty.tar", k_dest, p_verbose, p_abs_path);
    fuzzsupport::assertNoTaskLeft();
    return l_untgz;
}

void fixChecksum(uint8_t *p_block) {
    unsigned l_sum = 8 * ' ';
    for (int l_i = 0; l_i < 512; ++l_i)
        if (l_i < 148 || l_i >= 156)
            l_sum += p_block[l_i];
    char l_field[9];
    std::snprintf(l_field, sizeof l_field, "%06o", l_sum & 0777777u);
    std::memcpy(p_block + 148, l_field, 6);
    p_block[154] = '\0';
    p_block[155] = ' ';
}

void feedBlocks(C_UNTGZ *p_untgz, const uint8_t *p_data, size_t p_size, bool p_fix_checksums) {
    for (size_t l_offset = 0; l_offset < p_size; l_offset += 512) {
        uint8_t l_block[512];
        std::memset(l_block, 0, sizeof l_block);
        const size_t l_n = p_size - l_offset < 512 ? p_size - l_offset : 512;
        std::memcpy(l_block, p_data + l_offset, l_n);
        if (p_fix_checksums && l_block[0] != 0)
            fixChecksum(l_block);
        if (p_untgz->UntarBlock(l_block) == ERROR)
            break;
    }
}

void stopParser(C_UNTGZ *p_untgz) {
    // No extraction is in use now, so the reader loop hands the (empty)
    // archive to a writer that finds no semaphore to give; what matters here
    // is its last step, which closes a file left open.
    p_untgz->DoUnArchive();
    fuzzsupport::assertNoTaskLeft();
}

} // namespace fuzzuntar
