// The writer task "TarWrtTask": one is spawned per chunk of the archive; it
// feeds the chunk to the tar parser, whole runs of an entry's data in one
// write, and gives m_sem_write when done.
#include "untgz/C_UNTGZ.h"

#include "platform/plat_log.h"
#include "untgz/C_UNTGZ_LOG.h"

void C_UNTGZ::StaticWriteTask(C_UNTGZ *p_instance) {
    if (p_instance == nullptr) {
        plat::log("%ld - (StaticWriteTask): NULL = p_instance\n", tickGet());
        return;
    }
    p_instance->m_write_status = OK;

    unsigned char *l_buffer = p_instance->m_write_buffer;
    unsigned long l_size = (unsigned long)p_instance->m_write_size;
    // The reader zero-filled the chunk up to this block boundary.
    unsigned long l_end = (l_size + UNTGZ_BLOCK_SIZE - 1) & ~(unsigned long)(UNTGZ_BLOCK_SIZE - 1);
    unsigned long l_offset = 0;
    while (l_offset < l_size) {
        // An entry's data within the chunk goes to the file in one write.
        long l_run =
            p_instance->UntarDataRun(l_buffer + l_offset, l_end - l_offset, l_size - l_offset);
        if (l_run > 0) {
            l_offset += (unsigned long)l_run;
            continue;
        }
        // A last block that the stream cuts short is read zero-filled: if
        // the entry's data needed more of it than came, the file is cut.
        bool l_cut = l_offset + UNTGZ_BLOCK_SIZE > l_size && l_run == 0 &&
                     p_instance->m_remaining > l_size - l_offset;
        if (l_cut)
            plat::log(g_untgz_log_writer_cut_in_data, tickGet(), p_instance->m_tar_file,
                      p_instance->m_name);
        if (l_run < 0 || p_instance->UntarBlock(l_buffer + l_offset) == ERROR || l_cut) {
            plat::log(g_untgz_log_writer_failed, tickGet());
            p_instance->m_write_status = ERROR;
            break;
        }
        l_offset += UNTGZ_BLOCK_SIZE;
    }

    SEM_ID l_sem = p_instance->m_sem_write.load(std::memory_order_acquire);
    if (l_sem != nullptr) {
        if (semGive(l_sem) != OK)
            plat::log("%ld - (StaticWriteTask): semGive (0x%X) return ERROR (errno = 0x%X)\n",
                      tickGet(), l_sem, errnoGet());
    } else {
        plat::log("%ld - (StaticWriteTask): p_instance->m_sem_write is NULL !\n", tickGet());
    }
}
