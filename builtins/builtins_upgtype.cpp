// Upgrade-type builtins: "UpdateDataForCartoTree" (the medium's and the
// product's drives), "GetNavUpgType" (the medium's upgrade type and version
// file) and "GetUpgDVD_CurrVersNaviFile" (the current-version file). Thin
// bridges between the script's arguments and the carto tree.
#include "builtins/C_BUILTINS.h"

#include "platform/plat_log.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <cstring>

namespace {

// Size of the script's text buffers the builtins write.
const int k_script_text_size = 50;
// Local buffers of the media drive and of the descriptor's name: 16
// characters and the NUL. A name of 16 characters is whole; a longer count
// is refused, never cut (a cut name would name another file).
const int k_name_length_max = 16;
const int k_name_buffer = k_name_length_max + 1;
// Local buffer of the product drive: at most 767 characters and the NUL.
const int k_product_buffer = 768;

// Writes exactly 50 bytes into the script's buffer: the text cut to 49
// characters, then NUL bytes up to the 50th.
void WriteScriptText(char *p_buffer, const CKWString &p_text) {
    char l_text[k_script_text_size];
    std::memset(l_text, 0, sizeof l_text);
    p_text.SafeCopyToBuffer(l_text, k_script_text_size, 0);
    std::memcpy(p_buffer, l_text, sizeof l_text);
}

// True when the script's count of characters fits the local name buffer
// (16 characters and its NUL).
bool NameLengthFits(int p_length) {
    return p_length >= 0 && p_length <= k_name_length_max;
}

// Copies at most p_length characters of p_text (stopping at its NUL) into the
// 17-byte buffer p_out, NUL-terminated. p_length must fit (NameLengthFits).
void CopyName(char *p_out, const char *p_text, int p_length) {
    std::memset(p_out, 0, k_name_buffer);
    if (p_text == nullptr)
        return;
    for (int l_i = 0; l_i < p_length && p_text[l_i] != '\0'; ++l_i)
        p_out[l_i] = p_text[l_i];
}

} // namespace

// The singleton's carto tree for a map-analysis builtin, or null after
// logging why the builtin leaves ("<scope> C_BUILTINS Instance is NULL so
// leave" or "<scope> Carto_tree Instance is NULL so leave"). Interpreter's task.
C_MAP_UPG_CARTOTREE *C_BUILTINS::CartoTreeOrLeave(const char *p_scope) {
    if (GetInstance() == nullptr) {
        plat::log("%s C_BUILTINS Instance is NULL so leave\n", p_scope);
        return nullptr;
    }
    C_MAP_UPG_CARTOTREE *l_tree = GetCartoTreeInstance();
    if (l_tree == nullptr)
        plat::log("%s Carto_tree Instance is NULL so leave\n", p_scope);
    return l_tree;
}

// "UpdateDataForCartoTree": 0 media drive, 1 product drive, 2 int* number of
// characters of the media drive to take (0 to 16). Sets the carto tree's
// media drive and product path, each followed by '/'. 0; -1 without carto
// tree, for a null argument or a count that does not fit. Interpreter's task.
val_t C_BUILTINS::s_UpdateDataForCartoTree() {
    plat::log("C_BUILTINS::UpdateDataForCartoTree() \n");
    int l_result = -1;
    const char *l_media_arg = static_cast<const char *>(EiC_ArgPtr(0));
    const char *l_product_arg = static_cast<const char *>(EiC_ArgPtr(1));
    const int *l_size_arg = static_cast<const int *>(EiC_ArgPtr(2));
    // A missing drive would not mean an empty one: with an empty media drive
    // every path of the analysis would hang off the file system's root.
    if (l_media_arg == nullptr || l_product_arg == nullptr || l_size_arg == nullptr) {
        plat::log("UpdateDataForCartoTree() NULL argument so leave\n");
        return EiC_IntResult(-1);
    }
    const int l_media_drive_size = *l_size_arg;
    if (!NameLengthFits(l_media_drive_size)) {
        // The media drive's buffer holds 16 characters: a count beyond it (or
        // a negative one) is refused rather than copied past the buffer.
        plat::log("UpdateDataForCartoTree()  l_media_drive_size = %d refused (0 to %d) \n",
                  l_media_drive_size, k_name_length_max);
        return EiC_IntResult(-1);
    }
    char l_media_drive[k_name_buffer];
    CopyName(l_media_drive, l_media_arg, l_media_drive_size);
    // The whole product drive is taken (up to 767 characters), not only its
    // first characters.
    char l_product_drive[k_product_buffer];
    std::memset(l_product_drive, 0, sizeof l_product_drive);
    for (int l_i = 0; l_i < k_product_buffer - 1 && l_product_arg[l_i] != '\0'; ++l_i)
        l_product_drive[l_i] = l_product_arg[l_i];

    plat::log("UpdateDataForCartoTree()  media_carto_drive = %s \n", l_media_drive);
    plat::log("UpdateDataForCartoTree()  product_carto_drive = %s \n\n", l_product_drive);
    plat::log("UpdateDataForCartoTree()  l_media_drive_size = %d \n\n", l_media_drive_size);

    CKWString l_media(l_media_drive, l_media_drive_size, 0);
    l_media += '/';
    CKWString l_product(l_product_drive);
    l_product += '/';

    C_MAP_UPG_CARTOTREE *l_tree = GetCartoTreeInstance();
    if (GetInstance() != nullptr && l_tree != nullptr) {
        l_result = 0;
        l_tree->SetMediaCartoDrive(l_media);
        l_tree->SetProductCartoPath(l_product);
        plat::log("UpdateDataForCartoTree()  l_carto_tree.media_carto_drive = %s \n",
                  l_tree->GetMediaCartoDrive().GetBuffer(2));
        plat::log("UpdateDataForCartoTree()  l_carto_tree.product_carto_drive = %s \n",
                  l_tree->GetProductCartoPath().GetBuffer(2));
    }
    return EiC_IntResult(l_result);
}

// "GetNavUpgType": 0 descriptor file name, 1 int* number of its characters
// (0 to 16), 2 out buffer of 50 bytes: the version file's path, 3 int* out: 1
// country selection, 0 single country, -1 no upgrade. 0 once the carto tree
// exists, whatever the type; -1 without carto tree, for a null argument or a
// count that does not fit (nothing written then). Interpreter's task.
val_t C_BUILTINS::s_GetNavUpgType() {
    plat::log("C_BUILTINS::GetNavUpgType() \n");
    const char *l_name_arg = static_cast<const char *>(EiC_ArgPtr(0));
    const int *l_length_arg = static_cast<const int *>(EiC_ArgPtr(1));
    char *l_path_out = static_cast<char *>(EiC_ArgPtr(2));
    int *l_type_out = static_cast<int *>(EiC_ArgPtr(3));
    if (l_name_arg == nullptr || l_length_arg == nullptr || l_path_out == nullptr ||
        l_type_out == nullptr) {
        plat::log("GetNavUpgType() NULL argument so leave\n");
        return EiC_IntResult(-1);
    }
    const int l_descri_file_length = *l_length_arg;
    if (!NameLengthFits(l_descri_file_length)) {
        // The name's buffer holds 16 characters: refused, never overrun.
        plat::log("GetNavUpgType()  l_descri_file_length = %d refused (0 to %d) \n",
                  l_descri_file_length, k_name_length_max);
        return EiC_IntResult(-1);
    }
    char l_descri_dat_file[k_name_buffer];
    CopyName(l_descri_dat_file, l_name_arg, l_descri_file_length);
    plat::log("GetNavUpgType()  l_descri_dat_file = %s \n", l_descri_dat_file);
    plat::log("GetNavUpgType()  l_descri_file_length = %d \n\n", l_descri_file_length);

    C_MAP_UPG_CARTOTREE *l_tree = CartoTreeOrLeave("GetNavUpgType()");
    if (l_tree == nullptr)
        return EiC_IntResult(-1);

    t_upg_plugin_type l_type = l_tree->GetUpgradeType(l_descri_dat_file, l_descri_file_length,
                                                      l_tree->GetMediaCartoDrive());
    switch (l_type) {
    case UPG_PLUGIN_TYPE_NONE:
        *l_type_out = -1;
        plat::log("GetNavUpgType() Will not Launch upgrade\n");
        break;
    case UPG_PLUGIN_TYPE_LIST_COUNTRY:
        *l_type_out = 1;
        plat::log("GetNavUpgType() Will Launch country selection upgrade\n");
        break;
    case UPG_PLUGIN_TYPE_MODULE_COUNTRY:
        *l_type_out = 0;
        plat::log("GetNavUpgType() Will Launch Alone country upgrade\n");
        break;
    default:
        break;
    }

    char l_media_type_absolute_path[k_script_text_size];
    std::memset(l_media_type_absolute_path, 0, sizeof l_media_type_absolute_path);
    l_tree->GetMapPlgin_DVD_or_CD().SafeCopyToBuffer(l_media_type_absolute_path, k_script_text_size,
                                                     2);
    plat::log("GetNavUpgType()  l_media_type_absolute_path = %s \n upg_type = %d \n",
              l_media_type_absolute_path, *l_type_out);
    WriteScriptText(l_path_out, l_tree->GetMapPlgin_DVD_or_CD());
    return EiC_IntResult(0);
}

// "GetUpgDVD_CurrVersNaviFile": 0 out buffer of 50 bytes: the current-version
// file's folder, 1 out buffer of 50 bytes: its path. 0; -1 without carto tree
// or for a null buffer; the carto tree's failure (-1, buffers untouched) when
// the medium lists no current-version file. Interpreter's task.
val_t C_BUILTINS::s_GetUpgDVD_CurrVersNaviFile() {
    plat::log("C_BUILTINS::GetUpgDVD_CurrVersNaviFile() \n");
    char *l_folder_out = static_cast<char *>(EiC_ArgPtr(0));
    char *l_file_out = static_cast<char *>(EiC_ArgPtr(1));
    C_MAP_UPG_CARTOTREE *l_tree = CartoTreeOrLeave("GetUpgDVD_CurrVersNaviFile()");
    if (l_tree == nullptr)
        return EiC_IntResult(-1);
    if (l_folder_out == nullptr || l_file_out == nullptr) {
        plat::log("GetUpgDVD_CurrVersNaviFile() NULL argument so leave\n");
        return EiC_IntResult(-1);
    }
    int l_status = l_tree->GetUpgDVD_CurrVersNaviAbsolutePath();
    if (l_status != 0)
        return EiC_IntResult(l_status);

    char l_curr_vers_navi_file[k_script_text_size];
    std::memset(l_curr_vers_navi_file, 0, sizeof l_curr_vers_navi_file);
    l_tree->GetMapPlgin_DVD_CurrVersNavi().SafeCopyToBuffer(l_curr_vers_navi_file,
                                                            k_script_text_size, 2);
    CKWString l_folder;
    l_tree->UpgXtractPath(l_tree->GetMapPlgin_DVD_CurrVersNavi(), l_folder);
    plat::log("GetUpgDVD_CurrVersNaviFile() l_curr_vers_navi_path = %s \n", l_folder.GetBuffer(2));
    char l_curr_vers_navi_path[k_script_text_size];
    std::memset(l_curr_vers_navi_path, 0, sizeof l_curr_vers_navi_path);
    l_folder.SafeCopyToBuffer(l_curr_vers_navi_path, k_script_text_size, 2);
    plat::log("GetUpgDVD_CurrVersNaviFile() l_curr_vers_navi_file = %s \n", l_curr_vers_navi_file);
    plat::log("GetUpgDVD_CurrVersNaviFile() l_curr_vers_navi_path = %s \n", l_curr_vers_navi_path);

    WriteScriptText(l_file_out, l_tree->GetMapPlgin_DVD_CurrVersNavi());
    WriteScriptText(l_folder_out, l_folder);
    return EiC_IntResult(0);
}
