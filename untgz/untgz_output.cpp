// Output side of the tar parser: opening an entry's file with its missing
// parent folders (CreatePath), writing pieces of blocks to it (cvtWrite,
// WriteEntryData), closing it (CloseEntryFile), making a folder entry
// (MakeEntryFolder) and the message of a failed file operation. Files and
// folders are made through plat:: so that device names resolve and injected
// faults reach the extraction.
#include "untgz/C_UNTGZ.h"

#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "untgz/C_UNTGZ_LOG.h"

#include <cerrno>
#include <cstring>

// Opens p_name for writing, unbuffered: the parser hands each entry's data
// over in whole runs (one write per chunk, one for the last block), so a
// stdio buffer would only add a copy, an allocation and a size query per file.
static FILE *OpenEntryFile(const char *p_name) {
    FILE *l_file = plat::fopen(p_name, "wb");
    if (l_file != nullptr)
        setvbuf(l_file, nullptr, _IONBF, 0);
    return l_file;
}

void C_UNTGZ::MakeParents(char *p_path, size_t p_from) {
    // A folder that exists already simply fails to be created.
    for (char *l_p = p_path + (p_from > 0 ? p_from : 1); *l_p != '\0'; l_p++) {
        if (*l_p != '/' || l_p[1] == '\0')
            continue;
        *l_p = '\0';
        plat::mkdir(p_path);
        *l_p = '/';
    }
}

FILE *C_UNTGZ::CreatePath(char *p_name) {
    if (p_name == nullptr) {
        plat::log("%ld - (CreatePath): NULL == p_name\n", tickGet());
        return nullptr;
    }
    FILE *l_file = OpenEntryFile(p_name);
    if (l_file != nullptr)
        return l_file;

    // Make the missing folders of the entry's own path (the destination
    // folder normally exists); only when a folder is still missing after that
    // is every folder from the root tried, the destination's own included.
    size_t l_from = p_name == m_name ? m_dest_end : 0;
    MakeParents(p_name, l_from);
    l_file = OpenEntryFile(p_name);
    if (l_file == nullptr && l_from != 0 && errnoGet() == ENOENT) {
        MakeParents(p_name, 0);
        l_file = OpenEntryFile(p_name);
    }
    if (l_file == nullptr)
        plat::log(g_untgz_log_create_path, tickGet(), p_name, errnoGet());
    return l_file;
}

int C_UNTGZ::cvtWrite(unsigned char *p_blk, unsigned long size, FILE *p_fp) {
    if (p_blk == nullptr || p_fp == nullptr) {
        plat::log("%ld - (cvtwrite): (0x%X == p_blk) || (0x%X == p_fp)\n", tickGet(), p_blk, p_fp);
        return 0;
    }
    return (int)plat::fwrite(p_blk, size, 1, p_fp);
}

void C_UNTGZ::LogFileError(const char *p_what, const char *p_path, int p_errno) {
    plat::log(g_untgz_log_file_error, tickGet(), m_tar_file, p_what, p_path, strerror(p_errno));
}

int C_UNTGZ::WriteEntryData(unsigned char *p_data, unsigned long p_size) {
    errnoSet(0);
    if (cvtWrite(p_data, p_size, m_out_file) == 1) {
        m_progression.store(m_progression.load(std::memory_order_relaxed) + p_size,
                            std::memory_order_relaxed);
        return OK;
    }
    int l_errno = errnoGet() != 0 ? errnoGet() : EIO;
    LogFileError("write", m_name, l_errno);
    plat::fclose(m_out_file);
    m_out_file = nullptr;
    return ERROR;
}

int C_UNTGZ::CloseEntryFile() {
    int l_rc = plat::fclose(m_out_file);
    m_out_file = nullptr;
    if (l_rc == 0) {
        m_files_written++; // the entry's whole data is in its closed file
        return OK;
    }
    LogFileError("close", m_name, errnoGet());
    return ERROR;
}

int C_UNTGZ::MakeEntryFolder() {
    struct stat l_status;
    int l_errno = errnoGet();
    if (l_errno == EEXIST && plat::stat(m_name, &l_status) == 0 && S_ISDIR(l_status.st_mode))
        return OK;
    // Parents the archive did not list are made as for a file's folders.
    MakeParents(m_name, 0);
    if (plat::mkdir(m_name) == 0)
        return OK;
    l_errno = errnoGet();
    if (l_errno == EEXIST && plat::stat(m_name, &l_status) == 0 && S_ISDIR(l_status.st_mode))
        return OK;
    LogFileError("create folder", m_name, l_errno);
    return ERROR;
}
