// Carto tree: upgrade type of the inserted medium. Loads the main descriptor,
// finds the version file ("DVD_VER.NAV" for a country selection, else
// "CD_VER.NAV" for a single country), checks it opens and decides the type;
// finds the current-version file and the country files among descriptor
// records by the last component of their path.
#include "C_MAP_UPG_CARTOTREE.h"
#include "C_MAP_UPG_CARTOTREE_LOG.h"

#include "unit/systool.h"

#include <cstring>

namespace {

const char k_dvd_ver_nav[] = "DVD_VER.NAV";
const char k_cd_ver_nav[] = "CD_VER.NAV";
const char k_curr_vers_navi[] = "CURR_VERS_NAVI.TXT";
const char k_cd_ver_nav_inf[] = "CD_VER.NAV.INF";
const char k_gruppo_4_cid[] = "GRUPPO_4_CID.DAT.inf";

int Length(const char *p_text) {
    return static_cast<int>(std::strlen(p_text));
}

// True when the last component of p_path (after its last '/') begins with the
// first p_n characters of p_name.
bool LastComponentBeginsWith(const CKWString &p_path, const char *p_name, int p_n) {
    const char *l_path = p_path.GetBuffer();
    const char *l_slash = std::strrchr(l_path, '/');
    if (l_slash == nullptr || p_name == nullptr || p_n < 0)
        return false;
    return std::strncmp(l_slash + 1, p_name, static_cast<size_t>(p_n)) == 0;
}

} // namespace

t_upg_plugin_type C_MAP_UPG_CARTOTREE::GetUpgradeType(const char *p_descri_root_file, int p_length,
                                                      const CKWString &) {
    CKWArray<CKWString> l_data_List_tmp(10, 10);
    t_upg_plugin_type l_type = UPG_PLUGIN_TYPE_NONE;
    int l_status = -1;

    LogCartoTree("(C_MAP_UPG_CARTOTREE)  %s  %d \n", "GetUpgradeType", __LINE__);
    if (p_descri_root_file == nullptr) {
        LogSysTool("GetUpgradeType() p_descri_root_file is NULL");
    } else {
        // A new analysis: no descriptor record of an earlier one may answer
        // for this medium (every search returns the first match, so old
        // records would win), and neither an earlier type nor an earlier
        // version file or current-version file may answer for it. The
        // current-version file's path is derived again below from this
        // medium's records, so that the country list of a medium analysed
        // twice still finds it, and one of a medium that lists none never
        // reads the file of the medium before.
        m_db_download_list.RemoveAll();
        m_gruppo_root_list.RemoveAll();
        m_icon_brands_list.RemoveAll();
        m_descri_dat_list.RemoveAll();
        m_map_plgin_DVD_or_CD.Clear();
        m_map_plgin_DVD_CurrVersNavi.Clear();
        m_upg_plgin_type = UPG_PLUGIN_TYPE_NONE;

        LogCartoTree("(%s)  %s  %d \n", __FILE__, "GetUpgradeType", __LINE__);
        CKWString l_descri_file;
        BuildMainDescriDatFilePath(l_descri_file, p_descri_root_file, p_length);
        l_status = LoadDescriDataInMemory(l_descri_file.GetBuffer(), l_data_List_tmp);
        LogCartoTree("GetUpgradeType() l_data_List_tmp.size %d \n", l_data_List_tmp.GetSize());
        if (l_status == 0)
            l_status = SaveMainDescriDatIntoSpecifiedList(l_data_List_tmp);
        if (l_status == 0) {
            DeriveCurrVersNaviPath();
            l_status = GetUpgDVDorCDValidFileIfFound();
        }
        if (l_status == 0) {
            LogCartoTree("GetUpgradeType()  m_map_plgin_DVD_or_CD = %s\n",
                         m_map_plgin_DVD_or_CD.GetBuffer());
            if (!IsExistFile(m_map_plgin_DVD_or_CD)) {
                LogCartoTree(g_carto_log_version_file_absent);
                l_status = -1;
            }
        }
        if (l_status == 0) {
            l_status = SetUpgType(m_map_plgin_DVD_or_CD, &l_type);
            m_upg_plgin_type = l_type;
        }
    }
    if (l_status == -1)
        LogCartoTree("GetUpgradeType()  ERROR in progression occured \n");
    FreeDescriDatData(l_data_List_tmp);
    return l_type;
}

void C_MAP_UPG_CARTOTREE::DeriveCurrVersNaviPath() {
    m_map_plgin_DVD_CurrVersNavi.Clear();
    for (int l_i = 0; l_i < m_descri_dat_list.GetSize(); ++l_i) {
        t_upg_descri_dat_elt *l_elt = nullptr;
        if (m_descri_dat_list.GetPtr(l_i, &l_elt) == 1 &&
            LastComponentBeginsWith(l_elt->m_file_path, k_curr_vers_navi,
                                    Length(k_curr_vers_navi))) {
            BuildUpgFilePath(m_map_plgin_DVD_CurrVersNavi, l_elt->m_file_path);
            return;
        }
    }
}

int C_MAP_UPG_CARTOTREE::GetUpgDVDorCDValidFileIfFound() {
    int l_position = -1;
    int l_status = -1;
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s  %d \n", tickGet(),
                 "GetUpgDVDorCDValidFileIfFound", __LINE__);
    if (!m_descri_dat_list.IsEmpty()) {
        const char *l_name = k_dvd_ver_nav;
        l_status =
            CheckUpgDescriRelativeFile(m_descri_dat_list, l_name, Length(l_name), &l_position);
        if (l_status != 0) {
            l_name = k_cd_ver_nav;
            l_status =
                CheckUpgDescriRelativeFile(m_descri_dat_list, l_name, Length(l_name), &l_position);
        }
        if (l_status == 0) {
            LogCartoTree(" GetUpgDVDorCDValidFileIfFound()  position %d \n", l_position);
            t_upg_descri_dat_elt *l_elt = nullptr;
            if (m_descri_dat_list.GetPtr(l_position, &l_elt) != 1) {
                LogCartoTree(
                    " GetUpgDVDorCDValidFileIfFound()  Unable to retreive element at position %d\n",
                    l_position);
                l_status = -1;
            } else {
                LogCartoTree(" GetUpgDVDorCDValidFileIfFound()  UPG_MAP_DVD_OR_CD_FILE upg type: "
                             "%s _file FOUND: %s\n",
                             l_name, l_elt->m_file_path.GetBuffer());
                BuildUpgFilePath(m_map_plgin_DVD_or_CD, l_elt->m_file_path);
                LogCartoTree(" GetUpgDVDorCDValidFileIfFound()  m_map_plgin_DVD_or_CD: %s \n",
                             m_map_plgin_DVD_or_CD.GetBuffer());
            }
        }
    }
    if (l_status == -1)
        LogCartoTree(g_carto_log_no_version_file);
    return l_status;
}

int C_MAP_UPG_CARTOTREE::SetUpgType(CKWString &p_path, t_upg_plugin_type *p_type) {
    CKWString l_file;
    if (XtractFile(p_path, l_file) != 0)
        return -1;
    if (std::strncmp(l_file.GetBuffer(), k_dvd_ver_nav, 11) == 0) {
        LogCartoTree(" UpgradeType = LIST_COUNTRY \n");
        if (p_type != nullptr)
            *p_type = UPG_PLUGIN_TYPE_LIST_COUNTRY;
    } else if (std::strncmp(l_file.GetBuffer(), k_cd_ver_nav, 10) == 0) {
        LogCartoTree(" UpgradeType = MODULE_COUNTRY \n");
        if (p_type != nullptr)
            *p_type = UPG_PLUGIN_TYPE_MODULE_COUNTRY;
    } else {
        LogCartoTree(g_carto_log_type_none);
    }
    return 0;
}

int C_MAP_UPG_CARTOTREE::GetUpgDVD_CurrVersNaviAbsolutePath() {
    int l_position = -1;
    int l_status = -1;
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s  %d \n", tickGet(),
                 "GetUpgDVD_CurrVersNaviAbsolutePath", __LINE__);
    if (!m_descri_dat_list.IsEmpty())
        l_status = CheckUpgDescriRelativeFile(m_descri_dat_list, k_curr_vers_navi,
                                              Length(k_curr_vers_navi), &l_position);
    if (l_status == 0) {
        LogCartoTree(" GetUpgDVD_CurrVersNaviAbsolutePath()  position %d \n", l_position);
        t_upg_descri_dat_elt *l_elt = nullptr;
        if (m_descri_dat_list.GetPtr(l_position, &l_elt) != 1) {
            LogCartoTree(" GetUpgDVD_CurrVersNaviAbsolutePath()  Unable to retreive element at "
                         "position %d\n",
                         l_position);
            l_status = -1;
        } else {
            LogCartoTree(
                " GetUpgDVD_CurrVersNaviAbsolutePath()  CURR_VERS_NAVI_FILE: %s _file FOUND: %s\n",
                k_curr_vers_navi, l_elt->m_file_path.GetBuffer());
            BuildUpgFilePath(m_map_plgin_DVD_CurrVersNavi, l_elt->m_file_path);
        }
    }
    if (l_status == -1)
        LogCartoTree("GetUpgDVD_CurrVersNaviAbsolutePath()   Missing file\n");
    return l_status;
}

int C_MAP_UPG_CARTOTREE::GetUpgValidFileIfFound(CKWArray<t_upg_descri_dat_elt> &p_list,
                                                int *p_position, UPG_VALID p_which) {
    static const char l_fn[] = "GetUpgValidFileIfFound";
    int l_status = -1;
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s, L%d \n", tickGet(), l_fn, __LINE__);
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), p_descri_data_info_List  size: %d _n",
                 tickGet(), l_fn, p_list.GetSize());
    const char *l_name = nullptr;
    if (p_which == CD_VER_NAV_INF_FILE)
        l_name = k_cd_ver_nav_inf;
    else if (p_which == GRUPPO_4_CID_FILE)
        l_name = k_gruppo_4_cid;
    if (l_name != nullptr && p_position != nullptr && !p_list.IsEmpty()) {
        l_status = CheckUpgDescriRelativeFile(p_list, l_name, Length(l_name), p_position);
        if (l_status == 0)
            LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), position %d \n", tickGet(), l_fn,
                         *p_position);
    }
    if (l_status == -1)
        LogCartoTree(g_carto_log_valid_file_missing, tickGet(), l_fn);
    return l_status;
}

int C_MAP_UPG_CARTOTREE::CheckUpgDescriRelativeFile(CKWArray<t_upg_descri_dat_elt> &p_list,
                                                    const char *p_name, int p_n, int *p_position) {
    static const char l_fn[] = "CheckUpgDescriRelativeFile";
    int l_status = -1;
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s  L%d \n", tickGet(), l_fn, __LINE__);
    if (p_name != nullptr && p_position != nullptr) {
        for (int l_i = 0; l_i < p_list.GetSize(); ++l_i) {
            *p_position = -1;
            t_upg_descri_dat_elt *l_elt = nullptr;
            if (p_list.GetPtr(l_i, &l_elt) != 1)
                continue;
            LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s()  GetUpgValidFileIfFound  file: %s  \n",
                         tickGet(), l_fn, l_elt->m_file_path.GetBuffer());
            if (GetUpgDescriRelativeFile(l_elt->m_file_path, p_name, p_n)) {
                *p_position = l_i;
                l_status = 0;
                break;
            }
        }
    }
    if (l_status == -1)
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s()  Missing file  \n", tickGet(), l_fn);
    return l_status;
}

bool C_MAP_UPG_CARTOTREE::GetUpgDescriRelativeFile(CKWString &p_path, const char *p_name, int p_n) {
    if (!LastComponentBeginsWith(p_path, p_name, p_n))
        return false;
    LogCartoTree(" GetUpgDescriRelativeFile()   '%s'  found in file : (%s)\n", p_name,
                 p_path.GetBuffer());
    return true;
}
