// Carto tree: the list of countries a country-selection medium offers. Scans
// the medium's "MAPPE/" folder, one directory per country; checks each
// country, reads its media and installed versions and sizes, refuses a
// country older than the installed one and lists the others.
#include "C_MAP_UPG_CARTOTREE.h"
#include "C_MAP_UPG_CARTOTREE_LOG.h"

#include "platform/plat_io.h"
#include "unit/storage.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

const char k_mappe[] = "MAPPE/";
const char k_descri_dat[] = "DESCRI.DAT";
const char k_cd_ver_nav_inf[] = "CD_VER.NAV.INF";

// Version and release texts as signed numbers, as atoi reads them (text that
// is not a number counts as 0), with values beyond the int range held at its
// limits instead of atoi's undefined result.
int TextToInt(const CKWString &p_text) {
    long l_value = std::strtol(p_text.GetBuffer(), nullptr, 10);
    if (l_value > INT_MAX)
        return INT_MAX;
    if (l_value < INT_MIN)
        return INT_MIN;
    return static_cast<int>(l_value);
}

} // namespace

int C_MAP_UPG_CARTOTREE::Build_DVD_CIDInfoList(t_upg_plugin_type,
                                               CKWArray<t_plugin_cid_element> &) {
    static const char l_fn[] = "Build_DVD_CIDInfoList";
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s, L%d \n", tickGet(), l_fn, __LINE__);
    if (m_upg_plgin_type != UPG_PLUGIN_TYPE_LIST_COUNTRY)
        return -1;
    LogCartoTree("%ld - %s(), UPG_PLUGIN_TYPE_LIST_COUNTRY \n", tickGet(), l_fn);

    // The root ends in "/" already: the parts are joined with one separator.
    CKWString l_folder = ScanRoot();
    if (l_folder.IsEmpty() || l_folder.GetBuffer()[l_folder.GetLength() - 1] != '/')
        l_folder += '/';
    l_folder += k_mappe;
    DIR *l_dir = plat::opendir(l_folder.GetBuffer());
    if (l_dir == nullptr) {
        LogCartoTree("%ld - %s(), opendir (%s) FAILED \n", tickGet(), l_fn, l_folder.GetBuffer());
        return -1;
    }
    LogCartoTree("%ld - %s(), opendir (%s) SUCCEDED \n", tickGet(), l_fn, l_folder.GetBuffer());

    // Each scan describes the medium in the drive now: countries listed by an
    // earlier scan (of this or another medium) are dropped.
    m_upg_media_cid_list.RemoveAll();

    struct dirent *l_entry = nullptr;
    while ((l_entry = plat::readdir(l_dir)) != nullptr) {
        CKWString l_path = l_folder + l_entry->d_name;
        LogCartoTree("%ld - %s(), loop in dir  : file = '%s' \n", tickGet(), l_fn,
                     l_path.GetBuffer());
        // An entry whose status cannot be read is no country directory.
        struct ::stat l_status;
        if (plat::stat(l_path.GetBuffer(), &l_status) != 0 || !S_ISDIR(l_status.st_mode) ||
            std::strcmp(l_entry->d_name, ".") == 0 || std::strcmp(l_entry->d_name, "..") == 0)
            continue;
        LogCartoTree(g_carto_log_country_folder, tickGet(), l_fn, l_path.GetBuffer());

        CKWArray<CKWString> l_lines(10, 10);
        CKWArray<t_upg_descri_dat_elt> l_descri_list(10, 10);
        CKWString l_descri_file = l_path + "/" + k_descri_dat;
        if (LoadDescriDataInMemory(l_descri_file.GetBuffer(), l_lines) != 0 ||
            ConvertDataIntoDescriDatEltList(l_lines, l_descri_list) != 0)
            continue;
        int l_position = -1;
        if (GetUpgValidFileIfFound(l_descri_list, &l_position, CD_VER_NAV_INF_FILE) != 0)
            continue;
        t_upg_descri_dat_elt *l_elt = nullptr;
        if (l_descri_list.GetPtr(l_position, &l_elt) != 1) {
            LogCartoTree(g_carto_log_getptr_failed, tickGet(), l_fn, l_position);
            continue;
        }
        LogCartoTree("%ld - %s(), relative file path '%s' \n", tickGet(), l_fn,
                     l_elt->m_file_path.GetBuffer());
        CKWString l_inf_file;
        BuildUpgFilePath(l_inf_file, l_elt->m_file_path);
        if (!IsExistFile(l_inf_file)) {
            LogCartoTree(g_carto_log_missing_file, tickGet(), l_fn, l_inf_file.GetBuffer());
            continue;
        }
        CKWString l_cid;
        if (GetValueInFile(l_inf_file, CKWString("CID"), l_cid) != 0)
            continue;
        LogCartoTree(g_carto_log_new_country, tickGet(), l_fn);
        LogCartoTree(g_carto_log_country_cid, tickGet(), l_fn, l_cid.GetBuffer());
        if (AddThisCIDInfoToTheList(l_cid, l_descri_list) == 0)
            LogCartoTree(g_carto_log_country_listed, tickGet(), l_fn,
                         m_upg_media_cid_list.GetSize());
    }
    plat::closedir(l_dir);
    return 0;
}

int C_MAP_UPG_CARTOTREE::AddThisCIDInfoToTheList(const CKWString &p_cid,
                                                 CKWArray<t_upg_descri_dat_elt> &p_list) {
    static const char l_fn[] = "AddThisCIDInfoToTheList";
    CKWString l_country_name, l_quarter, l_year, l_field5, l_field7;
    CKWString l_version, l_release, l_size;
    CKWString l_media_file;
    int l_position = -1;

    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s, for CID '%s' L%d \n", tickGet(), l_fn,
                 p_cid.GetBuffer(), __LINE__);

    int l_result = CheckGruppoValidityFile(p_cid, p_list);
    if (l_result == -1)
        LogCartoTree(
            "%ld - (C_MAP_UPG_CARTOTREE)   %s(), An error occured on 'CheckGruppoValidityFile'\n",
            tickGet(), l_fn);

    if (l_result == 0) {
        if (m_upg_plgin_type == UPG_PLUGIN_TYPE_LIST_COUNTRY) {
            l_result =
                GetCIDValuesFromDVD(p_cid, l_country_name, l_quarter, l_year, l_field5, l_field7);
            if (l_result == -1)
                LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), An error occured on "
                             "'GetCIDValuesFromDVD'\n",
                             tickGet(), l_fn);
        } else {
            l_result = -1;
            LogCartoTree(g_carto_log_not_supported_type, tickGet(), l_fn, m_upg_plgin_type);
        }
    }

    if (l_result == 0) {
        l_result = CheckUpgDescriRelativeFile(
            p_list, k_cd_ver_nav_inf, static_cast<int>(std::strlen(k_cd_ver_nav_inf)), &l_position);
        if (l_result == -1)
            LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), An error occured on "
                         "'CheckUpgDescriRelativeFile'\n",
                         tickGet(), l_fn);
    }

    if (l_result == 0) {
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), STEP 2\n", tickGet(), l_fn);
        t_upg_descri_dat_elt *l_elt = nullptr;
        if (p_list.GetPtr(l_position, &l_elt) != 1) {
            l_result = -1;
            LogCartoTree(g_carto_log_getptr_error, tickGet(), l_fn);
        } else {
            l_media_file = media_carto_drive + l_elt->m_file_path;
            LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), STEP 2 fileName=%s\n", tickGet(),
                         l_fn, l_media_file.GetBuffer());
        }
    }

    if (l_result == 0) {
        static const char *const l_failures[3] = {g_carto_log_no_version, g_carto_log_no_release,
                                                  g_carto_log_no_cid_size};
        int l_failed = -1;
        if (GetValueInFile(l_media_file, CKWString("VERSION"), l_version) != 0)
            l_failed = 0;
        else if (GetValueInFile(l_media_file, CKWString("RELEASE"), l_release) != 0)
            l_failed = 1;
        else if (GetCIDSize(l_media_file, l_size) != 0)
            l_failed = 2;
        if (l_failed >= 0) {
            l_result = -1;
            LogCartoTree(l_failures[l_failed], tickGet(), l_fn, l_media_file.GetBuffer());
        }
    }

    if (l_result == 0) {
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), STEP 3\n", tickGet(), l_fn);
        t_plugin_cid_element l_record;
        l_record.country_name = l_country_name;
        l_record.cid = p_cid;
        l_record.new_size = SizeTextToNumber(l_size.GetBuffer());
        l_record.quarter = l_quarter;
        l_record.year = l_year;
        l_record.new_version = l_version;
        l_record.new_release = l_release;

        // The installed country, if any: a missing file or key leaves its
        // field empty (0 for the size) and does not refuse the country.
        C_FS_STORAGE_ENTITY l_storage;
        C_FS_STORAGE_CTRL_PATH::GetCartographyDir(l_storage);
        CKWString l_installed_file = l_storage.GetName() + k_mappe + p_cid + "/" + k_cd_ver_nav_inf;
        GetValueInFile(l_installed_file, CKWString("VERSION"), l_record.old_version);
        GetValueInFile(l_installed_file, CKWString("RELEASE"), l_record.old_release);
        CKWString l_old_size;
        if (GetCIDSize(l_installed_file, l_old_size) == 0)
            l_record.old_size = SizeTextToNumber(l_old_size.GetBuffer());

        const int l_new_version = TextToInt(l_record.new_version);
        const int l_old_version = TextToInt(l_record.old_version);
        if (l_new_version < l_old_version) {
            l_result = -1;
            LogCartoTree(g_carto_log_older_version, tickGet(), l_fn, l_new_version, l_old_version);
        } else if (l_new_version == l_old_version &&
                   TextToInt(l_record.new_release) < TextToInt(l_record.old_release)) {
            l_result = -1;
            LogCartoTree(g_carto_log_older_release, tickGet(), l_fn, l_new_version,
                         l_record.new_release.GetBuffer(), l_record.old_release.GetBuffer());
        } else if (m_upg_media_cid_list.Add(l_record) != 1) {
            l_result = -1;
            LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), An error occured on 'Add'\n",
                         tickGet(), l_fn);
        }
    }
    return l_result;
}
