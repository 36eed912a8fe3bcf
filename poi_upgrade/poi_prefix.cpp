// POI file groups: the naming rules that tell whether a file belongs to the
// group of a prefix (C_POI_UPG::IsPrefixFile) and the reader of the groups'
// "KEY:value" text files (C_POI_UPG::GetValueInFile).
#include "poi_upgrade/C_POI_UPG.h"

#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "platform/vxworks.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Line, key and value buffers of the text-file reader.
const int k_text_buffer_size = 100;

} // namespace

// Splits the name after the path's last "/" at its last ".": a name without
// "." has the whole name as its extension and an empty base.
//   lzw, no "_" in the name: base == prefix or base == prefix + "dsc"
//   lzw, "_" in the name:    base before its last "_" == prefix
//   txt:                     base after its last "_" (whole base without "_")
//                            == prefix
//   anything else:           never
// A path without "/" never names a group file. Any task.
int C_POI_UPG::IsPrefixFile(CKWString file, CKWString prefix) {
    int l_result = 0;
    plat::log("%ld - (C_POI_UPG) <<IsPrefixFile + >>", tickGet());
    plat::log("%ld - (C_POI_UPG) IsPrefixFile : Analyse file %s\n", tickGet(), file.GetBuffer());

    int l_slash = file.FindReverse('/');
    if (l_slash >= 0) {
        CKWString l_name = file.After(l_slash + 1);
        CKWString l_extension;
        CKWString l_base;
        int l_dot = l_name.FindReverse('.');
        if (l_dot < 0) {
            l_extension = l_name;
        } else {
            l_extension = l_name.After(l_dot + 1);
            l_base = l_name.Before(l_dot - 1);
        }
        bool l_has_underscore = l_name.FindReverse('_') >= 0;
        int l_base_underscore = l_base.FindReverse('_');

        if (l_extension.Compare("lzw", true) == 1) {
            if (!l_has_underscore) {
                CKWString l_description = prefix + "dsc";
                if (l_base.Compare(prefix, true) == 1 || l_base.Compare(l_description, true) == 1)
                    l_result = 1;
                else
                    plat::log(
                        "%ld - (C_POI_UPG) : IsPrefixFile : file %s is not a known %s file!\n",
                        tickGet(), l_name.GetBuffer(), prefix.GetBuffer());
            } else if (l_base.Before(l_base_underscore - 1).Compare(prefix, true) == 1) {
                // The "_" of the name lies in its base (the extension is "lzw").
                l_result = 1;
            }
        } else if (l_extension.Compare("txt", true) == 1) {
            CKWString l_tail = l_base_underscore < 0 ? l_base : l_base.After(l_base_underscore + 1);
            if (l_tail.Compare(prefix, true) == 1)
                l_result = 1;
        } else {
            plat::log("%ld - (C_POI_UPG) : IsPrefixFile : file %s has an unknown format\n",
                      tickGet(), l_name.GetBuffer());
        }
        if (l_result == 1)
            plat::log("%ld - (C_POI_UPG) : IsPrefixFile : file %s is well a %s file!\n", tickGet(),
                      l_name.GetBuffer(), prefix.GetBuffer());
    }

    plat::log("%ld - (C_POI_UPG) : IsPrefixFile returned %d\n", tickGet(), l_result);
    plat::log("%ld - (C_POI_UPG) <<IsPrefixFile - >>\n", tickGet());
    return l_result;
}

// Lines are read in pieces of at most 99 characters, each piece tested as a
// line of its own. A line matches when it starts with the key immediately
// followed by ":"; its value is what follows the first ":", up to the first
// LF or CR, spaces kept. The last matching line wins. A key of more than 98
// characters cannot be held with its colon and is refused (-1). Any task.
int C_POI_UPG::GetValueInFile(const CKWString &file, const CKWString &key, CKWString &value) {
    int l_result = -1;
    char l_key[k_text_buffer_size];
    char l_value[k_text_buffer_size];
    std::memset(l_key, 0, sizeof l_key);
    std::memset(l_value, 0, sizeof l_value);

    // Each read starts afresh: LastReadFailed speaks of this read only.
    m_read_failed = false;
    if (key.GetLength() > k_text_buffer_size - 2) {
        value.Clear();
        plat::log("%ld - (C_POI_UPG) GetValueInFile ('%s', '%s') ==> key too long !!!\n", tickGet(),
                  file.GetBuffer(), key.GetBuffer());
        return -1;
    }

    FILE *l_pFich = plat::fopen(file.GetBuffer(), "r");
    bool l_opened = l_pFich != nullptr;
    // A file that is there but cannot be read is not a file without the key.
    if (!l_opened && errnoGet() != ENOENT && errnoGet() != ENOTDIR)
        m_read_failed = true;
    if (l_opened) {
        std::snprintf(l_key, sizeof l_key, "%s:", key.GetBuffer());
        size_t l_key_length = std::strlen(l_key);
        char l_line[k_text_buffer_size];
        while (!std::feof(l_pFich)) {
            if (std::fgets(l_line, sizeof l_line, l_pFich) == nullptr)
                break;
            if (std::strlen(l_line) < l_key_length ||
                std::strncmp(l_line, l_key, l_key_length) != 0)
                continue;
            // The line holds the key's colon, so strchr finds it.
            const char *l_colon = std::strchr(l_line, ':');
            std::snprintf(l_value, sizeof l_value, "%s", l_colon + 1);
            l_value[std::strcspn(l_value, "\n")] = '\0';
            l_value[std::strcspn(l_value, "\r")] = '\0';
            l_result = 0;
        }
        if (std::ferror(l_pFich) != 0)
            m_read_failed = true;
        plat::fclose(l_pFich);
        l_pFich = nullptr;
    }
    value.Clear();

    if (l_result == 0) {
        value = l_value;
        plat::log("%ld - (C_POI_UPG) GetValueInFile ('%s', '%s') = '%s'\n", tickGet(),
                  file.GetBuffer(), key.GetBuffer(), value.GetBuffer());
    } else if (!l_opened) {
        plat::log("%ld - (C_POI_UPG) GetValueInFile ('%s', '%s') ==> l_pFich == NULL !!!\n",
                  tickGet(), file.GetBuffer(), key.GetBuffer());
    } else {
        plat::log("%ld - (C_POI_UPG) GetValueInFile ('%s', '%s') ==> not found !!!\n", tickGet(),
                  file.GetBuffer(), key.GetBuffer());
    }
    return l_result;
}
