// Fuzz target: the POI merge's key-and-value reader (last match wins, spaces
// kept). The input's first line is the key, the rest the file's content. The
// value must hold no line end and at most 99 characters; a failure must leave
// it empty.
#include "fuzz/fuzz_support.h"

#include "poi_upgrade/C_POI_UPG.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzzsupport::scratch();
    fuzzsupport::resetUnit();
    std::vector<std::string> parts = fuzzsupport::splitInput(data, size, "\n", 2);
    fuzzsupport::writeHostFile(root + "/sd/poi_ver_X.txt", parts[1]);

    char l_text[] = "POI";
    C_POI_UPG l_poi(CKWString("/SDH/none.tgz"), l_text);
    CKWString l_value("previous");
    const int l_rc =
        l_poi.GetValueInFile(CKWString("/SDH/poi_ver_X.txt"), CKWString(parts[0].c_str()), l_value);
    if (l_rc == 0) {
        const char *l_got = l_value.GetBuffer();
        if (std::strpbrk(l_got, "\r\n") != nullptr || std::strlen(l_got) > 99) {
            std::fprintf(stderr, "GetValueInFile: value '%s' breaks the grammar\n", l_got);
            std::abort();
        }
        (void)l_value.ToInt();
    } else if (l_rc != -1 || !l_value.IsEmpty()) {
        std::fprintf(stderr, "GetValueInFile: result %d with value '%s'\n", l_rc,
                     l_value.GetBuffer());
        std::abort();
    }
    (void)l_poi.IsPrefixFile(CKWString(("/SDH/" + parts[0]).c_str()), CKWString("ABC"));
    return 0;
}
