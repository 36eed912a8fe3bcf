// Carto tree: descriptor files ("DESCRI.DAT"). Builds the main descriptor's
// path, reads a descriptor file into lines, splits each line into the record
// t_upg_descri_dat_elt (key, two free fields, path, free field) with its path
// normalised to slashes, and sorts the main file's records into the tree's
// lists. Also the comma-field extractor used on current-version lines.
#include "C_MAP_UPG_CARTOTREE.h"
#include "C_MAP_UPG_CARTOTREE_LOG.h"

#include "platform/plat_io.h"
#include "unit/systool.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// Line buffer of a descriptor file, and the most read at once (249
// characters and the NUL).
const int k_descri_line_buffer = 256;
const int k_descri_read_size = UPG_DESCRI_LINE_MAX + 1;
// Buffer of ExtractValueAfterComma: 299 characters and the NUL.
const int k_comma_buffer = 300;

// Key prefixes that the main descriptor's records are sorted by.
const char k_db_download[] = "DB_DOWNLOAD";
const char k_gruppo_root[] = "GRUPPO_ROOT";
const char k_icon_brands[] = "ICON_BRANDS";

bool KeyBeginsWith(const CKWString &p_key, const char *p_prefix) {
    return std::strncmp(p_key.GetBuffer(), p_prefix, std::strlen(p_prefix)) == 0;
}

// Reads a descriptor file in pieces as fgets would (a piece ends after its
// line feed, after k_descri_read_size - 1 characters, or at the end of the
// file), through the file's descriptor, so that a read error is told apart
// from the end of the file: fgets and feof alone report both as an end.
class DescriLineReader {
public:
    explicit DescriLineReader(int p_fd) : m_fd(p_fd) {}
    // Next piece into p_line (k_descri_line_buffer bytes, NUL-terminated):
    // its length, 0 at the end of the file, -1 on a read error (errno kept).
    int Next(char *p_line) {
        int l_length = 0;
        while (l_length < k_descri_read_size - 1) {
            if (m_pos == m_end && Fill() != 1)
                break;
            const char l_c = m_buffer[m_pos++];
            p_line[l_length++] = l_c;
            if (l_c == '\n')
                break;
        }
        p_line[l_length] = '\0';
        return m_failed ? -1 : l_length;
    }

private:
    // 1 when bytes were read, 0 at the end of the file, -1 on an error.
    int Fill() {
        if (m_failed || m_at_end)
            return m_failed ? -1 : 0;
        long l_read;
        do {
            l_read = plat::read(m_fd, m_buffer, sizeof m_buffer);
        } while (l_read < 0 && errnoGet() == EINTR);
        if (l_read < 0) {
            m_failed = true;
            return -1;
        }
        if (l_read == 0) {
            m_at_end = true;
            return 0;
        }
        m_pos = 0;
        m_end = static_cast<int>(l_read);
        return 1;
    }

    int m_fd;
    char m_buffer[512] = {};
    int m_pos = 0;
    int m_end = 0;
    bool m_at_end = false;
    bool m_failed = false;
};

// Normalises the record's path; an empty path has nothing to normalise.
int NormalisePath(C_MAP_UPG_CARTOTREE &p_tree, t_upg_descri_dat_elt &p_elt) {
    if (p_elt.m_file_path.IsEmpty())
        return 0;
    return p_tree.UpdateFileNameIfNeeded(p_elt.m_file_path.GetBuffer(0),
                                         p_elt.m_file_path.GetLength());
}

} // namespace

void C_MAP_UPG_CARTOTREE::BuildMainDescriDatFilePath(CKWString &p_path, const char *p_name,
                                                     int p_length) {
    LogCartoTree("(%s)  %s  %d \n", __FILE__, "BuildMainDescriDatFilePath", __LINE__);
    // A negative length would mean "the whole name" to the string class: the
    // caller asked for a count, so a negative one takes nothing.
    const int l_length = p_length < 0 ? 0 : p_length;
    if (m_perimeter <= 1) {
        p_path += media_carto_drive;
        p_path.Add(p_name, l_length);
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE) l_descri_file = '%s'", tickGet(),
                     p_path.GetBuffer());
    } else if (m_perimeter <= 3) {
        p_path += m_perimeter_root;
        p_path += "/";
        p_path.Add(p_name, l_length);
        LogSysTool("%ld - (C_MAP_UPG_CARTOTREE) l_descri_file = '%s'", tickGet(),
                   p_path.GetBuffer());
    }
}

int C_MAP_UPG_CARTOTREE::LoadDescriDataInMemory(const char *p_file, CKWArray<CKWString> &p_list) {
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s, L%d \n", tickGet(), "LoadDescriDataInMemory",
                 __LINE__);
    FILE *l_file = (p_file != nullptr) ? plat::fopen(p_file, "r") : nullptr;
    if (l_file == nullptr) {
        LogCartoTree(g_carto_log_descri_fopen, tickGet(), "LoadDescriDataInMemory", p_file);
        return -1;
    }
    // A descriptor cut by a read error is not a shorter descriptor: a cut
    // after a "CD_VER.NAV" line would make a country-selection medium look
    // like a single-country one. The lines read so far stay in p_list for
    // the caller to release; the result says they are not the whole file.
    DescriLineReader l_reader(fileno(l_file));
    char l_line[k_descri_line_buffer];
    int l_length;
    while ((l_length = l_reader.Next(l_line)) > 0)
        p_list.Add(CKWString(l_line));
    if (l_length < 0) {
        const int l_errno = errnoGet();
        LogCartoTree(g_carto_log_descri_read, tickGet(), "LoadDescriDataInMemory", p_file, l_errno);
        plat::fclose(l_file);
        return -1;
    }
    plat::fclose(l_file);
    return 0;
}

void C_MAP_UPG_CARTOTREE::FreeDescriDatData(CKWArray<CKWString> &p_list) {
    for (int l_i = 0; l_i < p_list.GetSize(); ++l_i) {
        CKWString *l_line = nullptr;
        if (p_list.GetPtr(l_i, &l_line) == 1)
            l_line->Purge();
    }
    p_list.Purge();
}

int C_MAP_UPG_CARTOTREE::GetUniqueDescriDatInfo(CKWString &p_line, t_upg_descri_dat_elt *p_elt) {
    LogCartoTree("(C_MAP_UPG_CARTOTREE)  GetUniqueDescriDatInfo()\n");
    if (p_elt == nullptr)
        return -1;
    // One record per line: a field the line lacks is empty, never a field of
    // an earlier line.
    p_elt->m_key.Clear();
    p_elt->m_field2.Clear();
    p_elt->m_file_path.Clear();
    p_elt->m_field4.Clear();
    p_elt->m_field5.Clear();

    CKWString l_rest(p_line);
    // The fields are written through these pointers.
    // cppcheck-suppress constVariable
    CKWString *l_fields[4] = {&p_elt->m_key, &p_elt->m_field2, &p_elt->m_file_path,
                              &p_elt->m_field4};
    for (CKWString *l_field : l_fields) {
        int l_comma = l_rest.Find(",", 0);
        if (l_comma < 0)
            continue;
        *l_field = l_rest.Before(l_comma - 1);
        l_rest = l_rest.After(l_comma + 1);
    }
    int l_comma = l_rest.Find(",", 0);
    p_elt->m_field5 = (l_comma < 0) ? l_rest : l_rest.Before(l_comma - 1);
    return 0;
}

int C_MAP_UPG_CARTOTREE::UpdateFileNameIfNeeded(char *p_buffer, int p_length) {
    if (p_buffer == nullptr)
        return -1;
    for (int l_i = 0; l_i < p_length && p_buffer[l_i] != '\0'; ++l_i) {
        if (p_buffer[l_i] == '\\')
            p_buffer[l_i] = '/';
    }
    return 0;
}

int C_MAP_UPG_CARTOTREE::SaveMainDescriDatIntoSpecifiedList(CKWArray<CKWString> &p_data_List) {
    t_upg_descri_dat_elt l_elt;
    int l_status = 0;
    LogCartoTree("(C_MAP_UPG_CARTOTREE)  %s  %d \n", "SaveMainDescriDatIntoSpecifiedList",
                 __LINE__);
    LogCartoTree("SaveMainDescriDatIntoSpecifiedList() p_data_List.size %d \n",
                 p_data_List.GetSize());
    for (int l_i = 0; l_i < p_data_List.GetSize(); ++l_i) {
        CKWString *l_line = nullptr;
        if (p_data_List.GetPtr(l_i, &l_line) != 1)
            l_status = -1;
        else
            l_status = GetUniqueDescriDatInfo(*l_line, &l_elt);
        if (l_status == 0)
            l_status = NormalisePath(*this, l_elt);
        if (l_status == 0) {
            if (KeyBeginsWith(l_elt.m_key, k_db_download))
                m_db_download_list.Add(l_elt);
            else if (KeyBeginsWith(l_elt.m_key, k_gruppo_root))
                m_gruppo_root_list.Add(l_elt);
            else if (KeyBeginsWith(l_elt.m_key, k_icon_brands))
                m_icon_brands_list.Add(l_elt);
            m_descri_dat_list.Add(l_elt);
        } else {
            LogSysTool("An error occured on 'UpdateFileNameIfNeeded' or 'GetUniqueDescriDatInfo'");
            break;
        }
    }
    if (l_status == -1)
        LogSysTool("ERROR Occured");
    return l_status;
}

int C_MAP_UPG_CARTOTREE::ConvertDataIntoDescriDatEltList(CKWArray<CKWString> &p_data_List,
                                                         CKWArray<t_upg_descri_dat_elt> &p_list) {
    static const char l_name[] = "ConvertDataIntoDescriDatEltList";
    t_upg_descri_dat_elt l_elt;
    int l_status = 0;
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s, L%d \n", tickGet(), l_name, __LINE__);
    for (int l_i = 0; l_i < p_data_List.GetSize(); ++l_i) {
        CKWString *l_line = nullptr;
        if (p_data_List.GetPtr(l_i, &l_line) != 1) {
            l_status = -1;
            LogCartoTree(g_carto_log_getptr_error_convert, tickGet(), l_name);
            break;
        }
        GetUniqueDescriDatInfo(*l_line, &l_elt);
        l_status = NormalisePath(*this, l_elt);
        if (l_status == -1) {
            LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)   %s(), An error occured on "
                         "'UpdateFileNameIfNeeded'\n",
                         tickGet(), l_name);
            break;
        }
        p_list.Add(l_elt);
    }
    if (l_status == -1)
        LogCartoTree(g_carto_log_descri_convert, tickGet(), l_name);
    return l_status;
}

int C_MAP_UPG_CARTOTREE::ExtractValueAfterComma(const char *p_text, int p_n, CKWString &p_value) {
    p_value.Clear();
    if (p_text == nullptr || p_n <= 0)
        return -1;
    char l_buffer[k_comma_buffer];
    std::snprintf(l_buffer, sizeof l_buffer, "%s", p_text);
    char *l_p = l_buffer;
    int l_commas = 0;
    while (*l_p != '\0') {
        if (*l_p++ == ',' && ++l_commas == p_n)
            break;
    }
    if (l_commas < p_n)
        return -1;
    char *l_end = std::strchr(l_p, ',');
    if (l_end != nullptr)
        *l_end = '\0';
    p_value = l_p;
    return 0;
}
