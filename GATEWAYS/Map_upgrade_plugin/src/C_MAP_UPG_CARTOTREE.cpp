// Carto tree object: construction, the path helpers (BuildUpgFilePath,
// XtractPath, UpgXtractPath, XtractFile), the file-existence test, the reader
// of key-and-value text files and the log router.
#include "C_MAP_UPG_CARTOTREE.h"
#include "C_MAP_UPG_CARTOTREE_LOG.h"

#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "unit/systool.h"

#include <cstdio>
#include <cstring>

namespace {

// Size of the buffers of GetValueInFile: the "key:" prefix, the value and one
// line (read 99 characters at a time).
const int k_key_file_buffer = 100;

} // namespace

C_MAP_UPG_CARTOTREE::C_MAP_UPG_CARTOTREE(PERIMETER p_perimeter)
    : m_perimeter(p_perimeter), m_upg_plgin_type(UPG_PLUGIN_TYPE_NONE), m_data_list(10, 10),
      m_db_download_list(10, 10), m_gruppo_root_list(10, 10), m_icon_brands_list(10, 10),
      m_descri_dat_list(10, 10), m_plgin_partition_blk_size(0), m_upg_media_cid_list(10, 10) {
    LogSysTool("%ld - (C_MAP_UPG_CARTOTREE) << Constructor >>", tickGet());
}

C_MAP_UPG_CARTOTREE::C_MAP_UPG_CARTOTREE(PERIMETER p_perimeter, const CKWString &p_media,
                                         CKWString &p_product)
    : C_MAP_UPG_CARTOTREE(p_perimeter) {
    media_carto_drive = p_media;
    product_carto_drive = p_product;
}

C_MAP_UPG_CARTOTREE::~C_MAP_UPG_CARTOTREE() {
    // The drives' storage is released first; the members then go in the
    // reverse of their declaration order.
    media_carto_drive.Purge();
    product_carto_drive.Purge();
}

const CKWString &C_MAP_UPG_CARTOTREE::ScanRoot() const {
    return m_perimeter <= 1 ? media_carto_drive : m_perimeter_root;
}

void C_MAP_UPG_CARTOTREE::BuildUpgFilePath(CKWString &p_file_path, CKWString &p_relative) {
    LogCartoTree("(C_MAP_UPG_CARTOTREE)  %s  %d \n", "BuildUpgFilePath", __LINE__);
    // Built apart first: p_relative may be p_file_path itself.
    CKWString l_path = media_carto_drive + p_relative;
    p_file_path = l_path;
    LogCartoTree("BuildUpgFilePath()  p_file_path = %s \n", p_file_path.GetBuffer());
}

int C_MAP_UPG_CARTOTREE::XtractPath(const CKWString &p_full_path, CKWString &p_dir) {
    int l_slash = p_full_path.FindReverse('/', -1);
    if (l_slash < 0)
        return -1;
    p_dir = p_full_path.Before(l_slash);
    return 0;
}

int C_MAP_UPG_CARTOTREE::UpgXtractPath(const CKWString &p_full_path, CKWString &p_dir) {
    return XtractPath(p_full_path, p_dir);
}

int C_MAP_UPG_CARTOTREE::XtractFile(const CKWString &p_full_path, CKWString &p_file) {
    int l_slash = p_full_path.FindReverse('/', -1);
    if (l_slash < 0)
        return -1;
    p_file = p_full_path.After(l_slash + 1);
    return 0;
}

bool C_MAP_UPG_CARTOTREE::IsExistFile(const CKWString &p_path) {
    FILE *l_file = plat::fopen(p_path.GetBuffer(), "r");
    if (l_file != nullptr) {
        plat::fclose(l_file);
        return true;
    }
    LogCartoTree("(IsExistFile) fopen (%s) return NULL !!!\n", p_path.GetBuffer());
    return false;
}

int C_MAP_UPG_CARTOTREE::GetValueInFile(const CKWString &p_file, const CKWString &p_key,
                                        CKWString &p_value) {
    int l_result = -1;
    char l_prefix[k_key_file_buffer];
    char l_value[k_key_file_buffer];
    char l_line[k_key_file_buffer];
    std::memset(l_prefix, 0, sizeof l_prefix);
    std::memset(l_value, 0, sizeof l_value);
    std::memset(l_line, 0, sizeof l_line);

    // The prefix holds the key, its colon and a NUL: a longer key is refused
    // rather than cut (a cut key would match other keys).
    if (p_key.GetLength() > k_key_file_buffer - 2) {
        p_value.Clear();
        LogCartoTree(g_carto_log_key_too_long, tickGet(), "GetValueInFile", p_file.GetBuffer(),
                     p_key.GetBuffer());
        return -1;
    }

    FILE *l_file = plat::fopen(p_file.GetBuffer(), "r");
    const bool l_opened = l_file != nullptr;
    if (l_opened) {
        std::snprintf(l_prefix, sizeof l_prefix, "%s:", p_key.GetBuffer());
        const size_t l_prefix_length = std::strlen(l_prefix);
        while (!std::feof(l_file)) {
            if (std::fgets(l_line, sizeof l_line, l_file) == nullptr)
                break; // end of file or a read error: nothing more to read
            if (std::strlen(l_line) < l_prefix_length)
                continue;
            if (std::strncmp(l_line, l_prefix, l_prefix_length) != 0)
                continue;
            const char *l_colon = std::strchr(l_line, ':');
            // l_line is at most 99 characters: the value always fits.
            std::snprintf(l_value, sizeof l_value, "%s", l_colon + 1);
            char *l_cut = std::strchr(l_value, '\n');
            if (l_cut != nullptr)
                *l_cut = '\0';
            l_cut = std::strchr(l_value, '\r');
            if (l_cut != nullptr)
                *l_cut = '\0';
            l_cut = std::strchr(l_value, ' ');
            if (l_cut != nullptr)
                *l_cut = '\0';
            l_result = 0;
            break;
        }
        plat::fclose(l_file);
        l_file = nullptr;
    }

    p_value.Clear();
    if (l_result == 0) {
        p_value = l_value;
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE) %s ('%s', '%s') = '%s'\n", tickGet(),
                     "GetValueInFile", p_file.GetBuffer(), p_key.GetBuffer(), p_value.GetBuffer());
    } else if (l_opened) {
        LogCartoTree(g_carto_log_key_not_found, tickGet(), "GetValueInFile", p_file.GetBuffer(),
                     p_key.GetBuffer());
    } else {
        LogCartoTree(g_carto_log_key_no_file, tickGet(), "GetValueInFile", p_file.GetBuffer(),
                     p_key.GetBuffer());
    }
    return l_result;
}

uint32_t C_MAP_UPG_CARTOTREE::SizeTextToNumber(const char *p_text) {
    // The unit's strtoul works on 32 bits; the host's may be 64 bits wide, so
    // the conversion is done here with the unit's limits.
    if (p_text == nullptr)
        return 0;
    const char *l_p = p_text;
    while (*l_p == ' ' || (*l_p >= '\t' && *l_p <= '\r'))
        ++l_p;
    bool l_negative = false;
    if (*l_p == '+' || *l_p == '-') {
        l_negative = (*l_p == '-');
        ++l_p;
    }
    uint64_t l_value = 0;
    bool l_overflow = false;
    while (*l_p >= '0' && *l_p <= '9') {
        l_value = l_value * 10 + static_cast<uint64_t>(*l_p - '0');
        if (l_value > 0xFFFFFFFFull) {
            l_overflow = true;
            l_value = 0xFFFFFFFFull;
        }
        ++l_p;
    }
    if (l_overflow)
        return 0xFFFFFFFFu;
    uint32_t l_result = static_cast<uint32_t>(l_value);
    return l_negative ? static_cast<uint32_t>(0u - l_result) : l_result;
}
