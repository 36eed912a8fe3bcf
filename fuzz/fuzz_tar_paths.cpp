// Fuzz target: path composition and normalisation of tar entries. The input
// gives the name field (bytes 1 to 100) and the prefix field (bytes 101 to
// 255) of one header; byte 0 chooses p_abs_path (bit 0), the entry type (bits
// 1-2: file, folder, symbolic link, the raw byte 0 itself) and whether the
// entry has one data block (bit 3). The harness fills in a valid checksum, so
// every input reaches the path code.
//
// The target asserts, not just survives: every path the parser lists for an
// entry it accepts starts with the destination folder and has no ".."
// component after it, and nothing on disk lies outside that folder.
#include "fuzz/fuzz_support.h"
#include "fuzz/fuzz_untar_common.h"

#include "platform/hostsim/hostsim.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// The verbose listing line of an accepted entry: "<tick> - (UntarBlock): <type
// letter> <path>\n".
const char k_listing[] = " - (UntarBlock): ";

bool HasDotDotComponent(const std::string &p_path) {
    size_t l_start = 0;
    while (l_start <= p_path.size()) {
        size_t l_end = p_path.find('/', l_start);
        if (l_end == std::string::npos)
            l_end = p_path.size();
        if (p_path.compare(l_start, l_end - l_start, "..") == 0)
            return true;
        l_start = l_end + 1;
    }
    return false;
}

void CheckListedPaths(int p_abs_path) {
    const std::string l_dest = p_abs_path == 1 ? "/FZ/dest/" : "FZ/dest/";
    // One captured line per logMsg call: a name holding a line feed cannot
    // pass for a listing line of its own.
    for (const hostsim::LogLine &l_entry : hostsim::capturedLog()) {
        const std::string &l_text = l_entry.text;
        const size_t l_digits = l_text.find_first_not_of("0123456789");
        if (l_digits == 0 || l_digits == std::string::npos ||
            l_text.compare(l_digits, sizeof k_listing - 1, k_listing) != 0)
            continue;
        const size_t l_at = l_digits + sizeof k_listing - 1;
        // Entry lines are "<letter> <path>\n"; other parser lines are skipped.
        if (l_text.size() < l_at + 3 || l_text[l_at + 1] != ' ' ||
            std::strchr("hlcbdp-", l_text[l_at]) == nullptr || l_text.back() != '\n')
            continue;
        const std::string l_path = l_text.substr(l_at + 2, l_text.size() - l_at - 3);
        if (l_path.compare(0, l_dest.size(), l_dest) != 0 ||
            HasDotDotComponent(l_path.substr(l_dest.size()))) {
            std::fprintf(stderr, "entry path outside %s: %s\n", l_dest.c_str(), l_path.c_str());
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size == 0)
        return 0;
    fuzzsupport::scratch();
    fuzzsupport::resetUnit();
    fuzzsupport::cleanScratch();
    fuzzsupport::ScratchCwd l_cwd;
    const int l_abs_path = data[0] & 1;
    const char l_types[4] = {'0', '5', '2', static_cast<char>(data[0])};
    const bool l_with_data = ((data[0] >> 3) & 1) != 0;

    uint8_t l_stream[4 * 512];
    std::memset(l_stream, 0, sizeof l_stream);
    uint8_t *l_header = l_stream;
    const size_t l_name = size - 1 < 100 ? size - 1 : 100;
    std::memcpy(l_header, data + 1, l_name);
    if (size > 101)
        std::memcpy(l_header + 345, data + 101, size - 101 < 155 ? size - 101 : 155);
    std::memcpy(l_header + 100, "0000644", 8);
    std::memcpy(l_header + 124, l_with_data ? "00000000012" : "00000000000", 12);
    l_header[156] = static_cast<uint8_t>(l_types[(data[0] >> 1) & 3]);
    std::memcpy(l_header + 257, "ustar", 6);
    std::memcpy(l_header + 263, "00", 2);
    fuzzuntar::fixChecksum(l_header);
    std::memset(l_stream + 512, 'x', 10);

    hostsim::captureLog(true);
    C_UNTGZ *l_untgz = fuzzuntar::startParser(1, l_abs_path);
    fuzzuntar::feedBlocks(l_untgz, l_stream, sizeof l_stream, false);
    fuzzuntar::stopParser(l_untgz);
    CheckListedPaths(l_abs_path);
    fuzzsupport::assertContained(fuzzuntar::destHostDir(l_abs_path),
                                 {fuzzuntar::emptyArchiveHostPath()});
    return 0;
}
