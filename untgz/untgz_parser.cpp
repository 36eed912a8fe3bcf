// Tar block parser: the state machine that turns 512-byte tar blocks into
// files and directories (UntarBlock), the header checksum, the octal header
// fields and the composition and checking of each entry's output path.
#include "untgz/C_UNTGZ.h"

#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "untgz/C_UNTGZ_LOG.h"

#include <cerrno>
#include <cstring>

// Offset and width of the chksum field, counted as eight spaces in the sum.
#define UNTGZ_CHKSUM_OFFSET 148
#define UNTGZ_CHKSUM_WIDTH 8
// Room for a composed path before it is normalised: destination folder (254),
// prefix (155), "/", name (99) and a NUL.
#define UNTGZ_COMPOSE_SIZE (UNTGZ_PATH_SIZE + 155 + 1 + 100)
// Outcomes of ComposeName.
#define UNTGZ_NAME_OK 0
#define UNTGZ_NAME_TOO_LONG 1
#define UNTGZ_NAME_OUTSIDE 2
#define UNTGZ_NAME_NOT_ALLOWED 3

// Reads an octal header field over its whole width: every digit 0 to 7 shifts
// the value left by three bits and adds itself, every other byte (space, NUL,
// 8, 9, letters) is skipped. -1 when the value does not fit 32 bits (it is not
// wrapped), else 0.
static int ReadOctal(const char *p_field, int p_width, uint32_t &p_value) {
    uint32_t l_value = 0;
    for (int l_i = 0; l_i < p_width; l_i++) {
        char l_c = p_field[l_i];
        if (l_c < '0' || l_c > '7')
            continue;
        if ((l_value >> 29) != 0)
            return -1;
        l_value = (l_value << 3) + (uint32_t)(l_c - '0');
    }
    p_value = l_value;
    return 0;
}

// Both checksums of a header in one pass: the chksum field counts as eight
// spaces; p_signed gets the sum of the bytes taken as signed chars. Bytes of
// 0x80 and more count 256 less as signed chars than as unsigned ones.
static int CheckSums(const tar_t *p_header, int &p_signed) {
    const unsigned char *l_bytes = reinterpret_cast<const unsigned char *>(p_header);
    int l_sum = 0;
    int l_high = 0;
    for (int l_i = 0; l_i < UNTGZ_BLOCK_SIZE; l_i++) {
        l_sum += l_bytes[l_i];
        l_high += l_bytes[l_i] >> 7;
    }
    for (int l_i = UNTGZ_CHKSUM_OFFSET; l_i < UNTGZ_CHKSUM_OFFSET + UNTGZ_CHKSUM_WIDTH; l_i++) {
        l_sum -= l_bytes[l_i];
        l_high -= l_bytes[l_i] >> 7;
    }
    l_sum += UNTGZ_CHKSUM_WIDTH * ' ';
    p_signed = l_sum - 256 * l_high;
    return l_sum;
}

int C_UNTGZ::CheckSum(tar_t *header, int is_signed) {
    int l_signed = 0;
    int l_unsigned = CheckSums(header, l_signed);
    return is_signed != 0 ? l_signed : l_unsigned;
}

// Rewrites p_path in place: "\" becomes "/", a leading "/" is kept only with
// p_abs_path 1, and a "/" after another "/" is dropped; an empty result
// becomes "/". p_mark is an input offset (the end of the destination folder):
// its position in the result is returned through p_mark_out.
static size_t NormalisePath(char *p_path, int p_abs_path, size_t p_mark, size_t &p_mark_out) {
    size_t l_out = 0;
    size_t l_in = 0;
    p_mark_out = 0;
    for (; p_path[l_in] != '\0'; l_in++) {
        if (l_in == p_mark)
            p_mark_out = l_out;
        char l_c = p_path[l_in];
        if (l_c == '\\')
            l_c = '/';
        if (l_c == '/') {
            if (l_out == 0 ? p_abs_path == 0 : p_path[l_out - 1] == '/')
                continue;
        }
        p_path[l_out++] = l_c;
    }
    if (l_in <= p_mark)
        p_mark_out = l_out;
    if (l_out == 0)
        p_path[l_out++] = '/';
    p_path[l_out] = '\0';
    return l_out;
}

// True when a component of p_path that is at least partly past offset p_from
// is "..": such an entry would climb out of the destination folder.
static bool LeavesFolder(const char *p_path, size_t p_len, size_t p_from) {
    size_t l_start = 0;
    while (l_start <= p_len) {
        size_t l_stop = l_start;
        while (l_stop < p_len && p_path[l_stop] != '/')
            l_stop++;
        if (l_stop > p_from && l_stop - l_start == 2 && p_path[l_start] == '.' &&
            p_path[l_start + 1] == '.')
            return true;
        l_start = l_stop + 1;
    }
    return false;
}

int C_UNTGZ::ComposeName(const tar_t *p_header, char *p_path) {
    size_t l_dest_len = strnlen(m_dest_folder, sizeof(m_dest_folder) - 1);
    size_t l_len = l_dest_len;
    memcpy(p_path, m_dest_folder, l_dest_len);
    if (p_header->prefix[0] != '\0') {
        size_t l_prefix_len = strnlen(p_header->prefix, sizeof(p_header->prefix));
        memcpy(p_path + l_len, p_header->prefix, l_prefix_len);
        l_len += l_prefix_len;
        p_path[l_len++] = '/';
    }
    size_t l_name_len = strnlen(p_header->name, sizeof(p_header->name));
    memcpy(p_path + l_len, p_header->name, l_name_len);
    l_len += l_name_len;
    p_path[l_len] = '\0';

    if (m_abs_path == 0 && (p_path[0] == '/' || p_path[0] == '\\'))
        m_slashes_removed = 1;

    size_t l_dest_end = 0;
    l_len = NormalisePath(p_path, m_abs_path, l_dest_len, l_dest_end);

    m_dest_end = l_dest_end;
    // m_name always gets the path (cut when too long, for messages only).
    memset(m_name, 0, sizeof(m_name));
    memcpy(m_name, p_path, l_len < sizeof(m_name) ? l_len : sizeof(m_name) - 1);
    // A cut path would write another file than the entry names.
    if (l_len >= sizeof(m_name))
        return UNTGZ_NAME_TOO_LONG;
    // Nothing may be written outside the destination folder.
    if (LeavesFolder(p_path, l_len, l_dest_end))
        return UNTGZ_NAME_OUTSIDE;
    // With an allowed prefix ("tmp_poi/"), only what lies under it, and the
    // prefix's own folder, may be extracted. Leading "./" components name
    // the destination folder itself (an archive packed as "./tmp_poi"): they
    // lead nowhere else and are passed over.
    size_t l_prefix_len = strnlen(m_allowed_prefix, sizeof(m_allowed_prefix));
    if (l_prefix_len != 0) {
        const char *l_relative = p_path + l_dest_end;
        while (l_relative[0] == '.' && l_relative[1] == '/')
            l_relative += 2;
        bool l_under = strncmp(l_relative, m_allowed_prefix, l_prefix_len) == 0;
        bool l_folder = p_header->typeflag == '5' && m_allowed_prefix[l_prefix_len - 1] == '/' &&
                        strlen(l_relative) == l_prefix_len - 1 &&
                        strncmp(l_relative, m_allowed_prefix, l_prefix_len - 1) == 0;
        if (!l_under && !l_folder)
            return UNTGZ_NAME_NOT_ALLOWED;
    }
    return UNTGZ_NAME_OK;
}

int C_UNTGZ::UntarBlock(unsigned char *block) {
    if (block == nullptr)
        return ERROR;
    if (m_remaining != 0)
        return UntarDataBlock(block);
    // A header is expected. A block starting with NUL ends the archive.
    if (block[0] == 0) {
        if (m_slashes_removed != 0)
            plat::log("%ld - (UntarBlock): WARNING: Removed leading slashes because \"-p\" wasn't "
                      "given.\n",
                      tickGet());
        return OK;
    }
    return UntarHeader(block);
}

int C_UNTGZ::UntarDataBlock(unsigned char *p_block) {
    // A write or close that fails ends the extraction: the file is not
    // complete.
    if (m_remaining > UNTGZ_BLOCK_SIZE) {
        if (m_out_file != nullptr && WriteEntryData(p_block, UNTGZ_BLOCK_SIZE) != OK)
            return ERROR;
        m_remaining -= UNTGZ_BLOCK_SIZE;
        return OK;
    }
    if (m_out_file != nullptr) {
        if (WriteEntryData(p_block, m_remaining) != OK)
            return ERROR;
        if (CloseEntryFile() != OK)
            return ERROR;
    }
    m_remaining = 0;
    return OK;
}

// The shape every header has: a NUL at the end of the name field, and a
// size field that starts with a space or a digit.
static bool HeaderShapeGood(const tar_t &p_header) {
    const char l_first = p_header.size[0];
    return p_header.name[99] == '\0' && (l_first == ' ' || (l_first >= '0' && l_first <= '9'));
}

int C_UNTGZ::UntarHeader(const unsigned char *p_block) {
    // Later steps may change the typeflag: work on a copy.
    tar_t l_header;
    memcpy(&l_header, p_block, sizeof(l_header));

    if (!HeaderShapeGood(l_header)) {
        if (m_first_header == 1)
            plat::log(g_untgz_log_not_tar, tickGet(), m_tar_file);
        else
            plat::log(g_untgz_log_garbage, tickGet());
        return ERROR;
    }

    char l_path[UNTGZ_COMPOSE_SIZE];
    const int l_name_status = ComposeName(&l_header, l_path);
    if (!HeaderSumGood(l_header) || RefuseEntryName(l_name_status, l_path) != OK)
        return ERROR;

    m_first_header = 0;
    size_t l_name_len = strlen(m_name);
    if (l_name_len != 0 && m_name[l_name_len - 1] == '/')
        l_header.typeflag = '5';

    uint32_t l_size = 0;
    if (ReadOctal(l_header.size, (int)sizeof(l_header.size), l_size) != 0) {
        // Wrapping the size would take the entry's data for headers.
        plat::log(g_untgz_log_size_refused, tickGet(), m_tar_file, m_name);
        return ERROR;
    }
    m_remaining = l_size;

    const char l_type = l_header.typeflag;
    const bool l_special = (l_type >= '1' && l_type <= '6');
    ListEntry(l_special ? "hlcbdp"[l_type - '1'] : '-');
    if (l_type == '5')
        return MakeFolderEntry();
    if (l_special) {
        if (m_verbose == 1)
            plat::log("%ld - (UntarBlock): ignored\n", tickGet());
        m_remaining = 0;
        return OK;
    }
    return OpenFileEntry();
}

bool C_UNTGZ::HeaderSumGood(const tar_t &p_header) {
    uint32_t l_chksum = 0;
    ReadOctal(p_header.chksum, (int)sizeof(p_header.chksum), l_chksum);
    int l_signed_sum = 0;
    const int l_unsigned_sum = CheckSums(&p_header, l_signed_sum);
    if ((int)l_chksum == l_unsigned_sum || (int)l_chksum == l_signed_sum)
        return true;
    if (m_first_header == 0)
        plat::log(g_untgz_log_garbage, tickGet());
    plat::log(g_untgz_log_bad_checksum, tickGet(), m_tar_file, m_name);
    return false;
}

int C_UNTGZ::RefuseEntryName(int p_name_status, const char *p_path) {
    if (p_name_status == UNTGZ_NAME_TOO_LONG) {
        plat::log(g_untgz_log_path_too_long, tickGet(), m_tar_file, p_path);
        return ERROR;
    }
    if (p_name_status == UNTGZ_NAME_NOT_ALLOWED) {
        plat::log(g_untgz_log_outside_refused, tickGet(), m_tar_file, m_allowed_prefix, p_path);
        return ERROR;
    }
    if (p_name_status == UNTGZ_NAME_OUTSIDE) {
        plat::log(g_untgz_log_leaves_refused, tickGet(), m_tar_file, p_path);
        return ERROR;
    }
    return OK;
}

void C_UNTGZ::ListEntry(char p_letter) {
    if (m_verbose == 1) {
        plat::log("%ld - (UntarBlock): %c %s\n", tickGet(), p_letter, m_name);
        return;
    }
    // "./" and the last component (at most 254 characters in all); the whole
    // path for a folder. A name without any "/" is shown as it is.
    const char *l_last = strrchr(m_name, '/');
    if (l_last == nullptr || l_last[1] == '\0')
        snprintf(m_display, sizeof(m_display), "%s", m_name);
    else
        snprintf(m_display, sizeof(m_display) - 1, ".%s", l_last);
    consolePrintf(g_untgz_console_listing, m_display);
}

int C_UNTGZ::MakeFolderEntry() {
    const bool l_created = plat::mkdir(m_name) == 0;
    if (!l_created && MakeEntryFolder() != OK)
        return ERROR;
    m_folders_made++;
    if (m_verbose == 1)
        plat::log("%ld - (UntarBlock): %s\n", tickGet(), (l_created ? " created" : " ignored"));
    return OK;
}

int C_UNTGZ::OpenFileEntry() {
    if (m_verbose == 1) {
        // Unsigned and without a sum that could overflow 32 bits: sizes up
        // to 4 GiB - 1 show their true byte and block counts on the unit's
        // 32-bit long as on a 64-bit host.
        const unsigned long l_blocks =
            m_remaining / UNTGZ_BLOCK_SIZE + (m_remaining % UNTGZ_BLOCK_SIZE != 0 ? 1 : 0);
        plat::log("%ld - (UntarBlock): (%lu byte%s, %lu tape block%s)\n", tickGet(), m_remaining,
                  (m_remaining == 1 ? "" : "s"), l_blocks, (l_blocks == 1 ? "" : "s"));
    }
    m_out_file = CreatePath(m_name);
    if (m_out_file == nullptr) {
        LogFileError("create", m_name, errnoGet());
        m_remaining = 0;
        return ERROR;
    }
    if (m_remaining == 0 && CloseEntryFile() != OK)
        return ERROR;
    return OK;
}

long C_UNTGZ::UntarDataRun(unsigned char *p_data, unsigned long p_size, unsigned long p_avail) {
    if (m_remaining <= UNTGZ_BLOCK_SIZE)
        return 0;
    if (m_remaining <= p_avail) {
        // The entry ends here, its last block included.
        unsigned long l_rest = m_remaining;
        if (m_out_file != nullptr &&
            (WriteEntryData(p_data, l_rest) != OK || CloseEntryFile() != OK))
            return -1;
        m_remaining = 0;
        return (long)((l_rest + UNTGZ_BLOCK_SIZE - 1) & ~(unsigned long)(UNTGZ_BLOCK_SIZE - 1));
    }
    // Blocks that are each followed by more data of the entry.
    unsigned long l_blocks = p_size / UNTGZ_BLOCK_SIZE;
    unsigned long l_full = (m_remaining - 1) / UNTGZ_BLOCK_SIZE;
    if (l_full < l_blocks)
        l_blocks = l_full;
    unsigned long l_bytes = l_blocks * UNTGZ_BLOCK_SIZE;
    if (l_bytes == 0)
        return 0;
    if (m_out_file != nullptr && WriteEntryData(p_data, l_bytes) != OK)
        return -1;
    m_remaining -= (uint32_t)l_bytes;
    return (long)l_bytes;
}
