// Fuzz target: descriptor files. The input is a main "DESCRI.DAT" of the
// medium: it is read into lines, split into records, sorted into the carto
// tree's lists, searched for the version files, and every line is also cut
// into comma fields. A comma field must hold no comma and fit the 299
// characters the extractor reads.
#include "fuzz/fuzz_support.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

void CheckCommaFields(C_MAP_UPG_CARTOTREE &p_tree, const CKWString &p_line) {
    for (int l_n = -1; l_n <= 9; ++l_n) {
        CKWString l_value("previous");
        const int l_rc = p_tree.ExtractValueAfterComma(p_line.GetBuffer(), l_n, l_value);
        const char *l_text = l_value.GetBuffer();
        const bool l_ok =
            (l_rc == 0 && std::strchr(l_text, ',') == nullptr && std::strlen(l_text) <= 299) ||
            (l_rc == -1 && l_value.IsEmpty());
        if (!l_ok) {
            std::fprintf(stderr, "ExtractValueAfterComma(n=%d): result %d, value '%s'\n", l_n, l_rc,
                         l_text);
            std::abort();
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string &root = fuzzsupport::scratch();
    fuzzsupport::resetUnit();
    fuzzsupport::cleanScratch();
    fuzzsupport::writeHostFile(root + "/media/DESCRI.DAT", data, size);

    C_MAP_UPG_CARTOTREE l_tree(0);
    l_tree.SetMediaCartoDrive(CKWString("/DVD/"));

    // A country's descriptor: lines, then records into a caller's list.
    CKWArray<CKWString> l_lines(10, 10);
    if (l_tree.LoadDescriDataInMemory("/DVD/DESCRI.DAT", l_lines) != 0)
        std::abort();
    CKWArray<t_upg_descri_dat_elt> l_records(10, 10);
    l_tree.ConvertDataIntoDescriDatEltList(l_lines, l_records);
    for (int l_i = 0; l_i < l_lines.GetSize(); ++l_i) {
        CKWString *l_line = nullptr;
        if (l_lines.GetPtr(l_i, &l_line) == 1)
            CheckCommaFields(l_tree, *l_line);
    }
    for (int l_i = 0; l_i < l_records.GetSize(); ++l_i) {
        t_upg_descri_dat_elt *l_elt = nullptr;
        if (l_records.GetPtr(l_i, &l_elt) == 1 &&
            std::strchr(l_elt->m_file_path.GetBuffer(), '\\') != nullptr) {
            std::fprintf(stderr, "record path keeps a backslash: %s\n",
                         l_elt->m_file_path.GetBuffer());
            std::abort();
        }
    }
    int l_position = -1;
    l_tree.GetUpgValidFileIfFound(l_records, &l_position, GRUPPO_4_CID_FILE);
    l_tree.GetUpgValidFileIfFound(l_records, &l_position, CD_VER_NAV_INF_FILE);
    l_tree.FreeDescriDatData(l_lines);

    // The main descriptor: the whole upgrade-type analysis, with a name
    // length taken from the input (it may exceed the name).
    CKWString l_path;
    l_tree.BuildMainDescriDatFilePath(l_path, "DESCRI.DAT", static_cast<int>(size % 300) - 20);
    l_tree.GetUpgradeType("DESCRI.DAT", 10, CKWString("/DVD/"));
    l_tree.GetUpgDVD_CurrVersNaviAbsolutePath();
    return 0;
}
