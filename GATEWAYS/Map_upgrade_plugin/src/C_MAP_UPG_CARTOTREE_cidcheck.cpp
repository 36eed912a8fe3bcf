// Carto tree: validity checks of one country directory of the medium. The
// country's group file "GRUPPO_4_CID.DAT.inf" must be listed, exist, lie on a
// path containing the CID and carry the CID as its "VER"; the medium's
// current-version file must hold a complete "CID:" line for the country,
// which gives the country's name, quarter, year and two further texts.
#include "C_MAP_UPG_CARTOTREE.h"
#include "C_MAP_UPG_CARTOTREE_LOG.h"

#include "platform/plat_io.h"

#include <cstdio>
#include <cstring>

namespace {

// Line buffer of the current-version file: 299 characters and the NUL.
const int k_curr_vers_line = UPG_CURR_VERS_LINE_MAX + 1;
const char k_cid_tag[] = "CID:";

} // namespace

int C_MAP_UPG_CARTOTREE::FindCIDinPath(const CKWString &p_file_name, const CKWString &p_cid,
                                       bool &p_found) {
    static const char l_fn[] = "FindCIDinPath";
    p_found = false;
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, L%d \n", tickGet(), l_fn, __LINE__);
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, p_file_name = %s \n", tickGet(), l_fn,
                 p_file_name.GetBuffer());
    if (p_file_name.Find(p_cid.GetBuffer(), -1) < 0)
        return -1;
    p_found = true;
    return 0;
}

int C_MAP_UPG_CARTOTREE::UpgIsGruppoValid(CKWString &p_file_name, CKWString &p_dir,
                                          const CKWString &p_cid) {
    static const char l_fn[] = "UpgIsGruppoValid";
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, L%d \n", tickGet(), l_fn, __LINE__);
    CKWString l_file = p_dir + p_file_name;
    CKWString l_value;
    if (GetValueInFile(l_file, CKWString("VER"), l_value) != 0) {
        LogCartoTree(g_carto_log_no_ver_field, tickGet(), l_fn, l_file.GetBuffer());
        return -1;
    }
    if (l_value == p_cid) {
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s(),  Fields are the same : SourceVersion is "
                     "%s and CID is %s \n",
                     tickGet(), l_fn, l_value.GetBuffer(), p_cid.GetBuffer());
        return 0;
    }
    LogCartoTree(g_carto_log_fields_differ, tickGet(), l_fn, l_value.GetBuffer(),
                 p_cid.GetBuffer());
    return -1;
}

int C_MAP_UPG_CARTOTREE::CheckGruppoValidityFile(const CKWString &p_cid,
                                                 CKWArray<t_upg_descri_dat_elt> &p_list) {
    static const char l_fn[] = "CheckGruppoValidityFile";
    int l_position = -1;
    t_upg_descri_dat_elt *l_elt = nullptr;
    bool l_found = false;
    CKWString l_abs_path;
    CKWString l_dir;

    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, L%d \n", tickGet(), l_fn, __LINE__);
    int l_result = GetUpgValidFileIfFound(p_list, &l_position, GRUPPO_4_CID_FILE);
    if (l_result == 0) {
        if (p_list.GetPtr(l_position, &l_elt) != 1) {
            LogCartoTree(g_carto_log_getptr_failed, tickGet(), l_fn, l_position);
            l_result = -1;
        } else {
            LogCartoTree("%ld - %s(), relative file path '%s' \n", tickGet(), l_fn,
                         l_elt->m_file_path.GetBuffer());
            BuildUpgFilePath(l_abs_path, l_elt->m_file_path);
        }
    }
    if (l_result == 0 && !IsExistFile(l_abs_path)) {
        LogCartoTree(g_carto_log_missing_file, tickGet(), l_fn, l_abs_path.GetBuffer());
        l_result = -1;
    }
    if (l_result == 0) {
        l_result = FindCIDinPath(l_abs_path, p_cid, l_found);
        if (l_result == -1)
            LogCartoTree(g_carto_log_cid_not_in_path, tickGet(), l_fn);
    }
    if (l_result == 0) {
        l_result = XtractPath(l_abs_path, l_dir);
        if (l_result == -1)
            LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), An error occured on 'XtractPath'\n",
                         tickGet(), l_fn);
    }
    if (l_result == 0) {
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), path : %s\n", tickGet(), l_fn,
                     l_dir.GetBuffer());
        CKWString l_name("GRUPPO_4_CID.DAT.inf");
        l_result = UpgIsGruppoValid(l_name, l_dir, p_cid);
    }
    if (l_result == -1)
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), An ERROR Occured \n", tickGet(), l_fn);
    return l_result;
}

int C_MAP_UPG_CARTOTREE::GetCIDValuesFromDVD(const CKWString &p_cid, CKWString &p_country_name,
                                             CKWString &p_quarter, CKWString &p_year,
                                             CKWString &p_field5, CKWString &p_field7) {
    static const char l_fn[] = "GetCIDValuesFromDVD";
    int l_result = -1;
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, L%d \n", tickGet(), l_fn, __LINE__);
    const CKWString &l_file_name = m_map_plgin_DVD_CurrVersNavi;
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s(), l_file_name=%s \n", tickGet(), l_fn,
                 l_file_name.GetBuffer());

    FILE *l_file = plat::fopen(l_file_name.GetBuffer(), "r");
    if (l_file == nullptr) {
        LogCartoTree(g_carto_log_curr_vers_fopen, tickGet(), l_fn, l_file_name.GetBuffer(),
                     errnoGet());
    } else {
        char l_line[k_curr_vers_line];
        std::memset(l_line, 0, sizeof l_line);
        const char *l_cid = p_cid.GetBuffer();
        while (!std::feof(l_file)) {
            if (std::fgets(l_line, sizeof l_line, l_file) == nullptr) {
                l_result = -1;
                LogCartoTree(
                    "%ld - (C_MAP_UPG_CARTOTREE)  %s(), (fget '%s') return ERROR (errno = 0x%X) \n",
                    tickGet(), l_fn, l_line, errnoGet());
                if (std::ferror(l_file))
                    break; // a read error would never reach the end of the file
                continue;
            }
            char *l_cut = std::strchr(l_line, '\n');
            if (l_cut != nullptr)
                *l_cut = '\0';
            l_cut = std::strchr(l_line, '\r');
            if (l_cut != nullptr)
                *l_cut = '\0';
            if (std::strlen(l_line) < std::strlen(k_cid_tag) ||
                std::strncmp(l_line, k_cid_tag, 4) != 0 || std::strncmp(l_line + 4, l_cid, 3) != 0)
                continue;
            if (ExtractValueAfterComma(l_line, 3, p_quarter) != 0 ||
                ExtractValueAfterComma(l_line, 4, p_year) != 0)
                continue;
            if (ExtractValueAfterComma(l_line, 5, p_field5) != 0)
                continue;
            p_field5.SupprChar("\"", 0);
            if (ExtractValueAfterComma(l_line, 6, p_country_name) != 0)
                continue;
            p_country_name.SupprChar("\"", 0);
            if (ExtractValueAfterComma(l_line, 7, p_field7) != 0)
                continue;
            p_field7.SupprChar("\"", 0);
            l_result = 0;
            break;
        }
        plat::fclose(l_file);
    }

    if (l_result == 0) {
        LogCartoTree(g_carto_log_curr_vers_values, tickGet(), l_fn, p_cid.GetBuffer(),
                     p_country_name.GetBuffer(), p_quarter.GetBuffer(), p_year.GetBuffer());
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s  provided by %s the %s \n", tickGet(), l_fn,
                     p_field7.GetBuffer(), p_field5.GetBuffer());
    } else {
        p_country_name.Clear();
        p_quarter.Clear();
        p_year.Clear();
        LogCartoTree(g_carto_log_curr_vers_no_cid, tickGet(), l_fn, p_cid.GetBuffer());
    }
    return l_result;
}
