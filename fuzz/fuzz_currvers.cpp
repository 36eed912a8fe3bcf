// Fuzz target: the current-version file "CURR_VERS_NAVI.TXT". The input's
// first line is the CID, the rest the file. A country found must come with
// texts that hold no comma, and the ones that lose their double quotes must
// hold none; a country not found must leave name, quarter and year empty.
#include "fuzz/fuzz_support.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void Require(bool p_ok, const char *p_what, const CKWString &p_text) {
    if (!p_ok) {
        std::fprintf(stderr, "GetCIDValuesFromDVD: %s: '%s'\n", p_what, p_text.GetBuffer());
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzzsupport::scratch();
    fuzzsupport::resetUnit();
    std::vector<std::string> parts = fuzzsupport::splitInput(data, size, "\n", 2);
    fuzzsupport::writeHostFile(root + "/media/CURR_VERS_NAVI.TXT", parts[1]);

    C_MAP_UPG_CARTOTREE l_tree(0);
    l_tree.SetMediaCartoDrive(CKWString("/DVD/"));
    l_tree.SetMapPlgin_DVD_CurrVersNavi(CKWString("/DVD/CURR_VERS_NAVI.TXT"));
    CKWString l_name("n"), l_quarter("q"), l_year("y"), l_field5("5"), l_field7("7");
    const int l_rc = l_tree.GetCIDValuesFromDVD(CKWString(parts[0].c_str()), l_name, l_quarter,
                                                l_year, l_field5, l_field7);
    if (l_rc == 0) {
        const CKWString *l_all[] = {&l_name, &l_quarter, &l_year, &l_field5, &l_field7};
        for (const CKWString *l_text : l_all)
            Require(std::strpbrk(l_text->GetBuffer(), ",\r\n") == nullptr, "field with a comma",
                    *l_text);
        Require(std::strchr(l_name.GetBuffer(), '"') == nullptr, "name with a quote", l_name);
        Require(std::strchr(l_field5.GetBuffer(), '"') == nullptr, "field 5 with a quote",
                l_field5);
        Require(std::strchr(l_field7.GetBuffer(), '"') == nullptr, "field 7 with a quote",
                l_field7);
    } else {
        Require(l_rc == -1, "result", l_name);
        Require(l_name.IsEmpty() && l_quarter.IsEmpty() && l_year.IsEmpty(),
                "texts left after a failure", l_name);
    }
    return 0;
}
