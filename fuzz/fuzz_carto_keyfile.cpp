// Fuzz target: the carto tree's key-and-value reader. The input's first line
// is the key, the rest the file's content; the reader must neither crash nor
// return a value that breaks its grammar (no line end, no space, at most 99
// characters), and the size-class reader that builds on it must survive too.
#include "fuzz/fuzz_support.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzzsupport::scratch();
    fuzzsupport::resetUnit();
    std::vector<std::string> parts = fuzzsupport::splitInput(data, size, "\n", 2);
    fuzzsupport::writeHostFile(root + "/media/KEY.INF", parts[1]);

    C_MAP_UPG_CARTOTREE l_tree(0);
    CKWString l_value("previous");
    CKWString l_key(parts[0].c_str());
    const int l_rc = l_tree.GetValueInFile(CKWString("/DVD/KEY.INF"), l_key, l_value);
    if (l_rc == 0) {
        const char *l_text = l_value.GetBuffer();
        if (std::strpbrk(l_text, "\r\n ") != nullptr || std::strlen(l_text) > 99) {
            std::fprintf(stderr, "GetValueInFile: value '%s' breaks the grammar\n", l_text);
            std::abort();
        }
    } else if (l_rc != -1 || !l_value.IsEmpty()) {
        std::fprintf(stderr, "GetValueInFile: result %d with value '%s'\n", l_rc,
                     l_value.GetBuffer());
        std::abort();
    }

    // The size class reads "CID_SIZE_<n>" or "CID_SIZE" from the same file.
    CKWString l_size;
    l_tree.GetCIDSize(CKWString("/DVD/KEY.INF"), l_size);
    return 0;
}
