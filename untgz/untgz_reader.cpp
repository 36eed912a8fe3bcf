// The reader loop of an extraction (DoUnArchive), on the calling task: the
// archive decompressed chunk by chunk into the ring of chunk buffers, each
// chunk handed to a writer task in archive order, and the end of the stream
// checked.
#include "untgz/C_UNTGZ.h"

#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "untgz/C_UNTGZ_LOG.h"

#include <cerrno>
#include <cstring>

// Writer task parameters.
#define UNTGZ_WRITER_NAME "TarWrtTask"
#define UNTGZ_WRITER_PRIORITY 155
#define UNTGZ_WRITER_STACK 20000

void C_UNTGZ::WaitWriterEnd(int p_tid) {
    if (p_tid == 0 || p_tid == ERROR)
        return;
    // The writer has given the semaphore (or failed to) and has little left to
    // do: yield first, then sleep a tick at a time.
    for (int l_i = 0; taskIdVerify(p_tid) == OK; l_i++)
        taskDelay(l_i < 100 ? 0 : 1);
}

void t_chunk_ring::Start(int p_size) {
    size[0] = p_size;
    read = 1;
    written = 0;
    running = false;
    stop = -1;
    stop_size = 0;
    stop_errno = 0;
}

unsigned char *t_chunk_ring::HandOff(int &p_size) {
    const int l_slot = (int)(written % UNTGZ_CHUNK_COUNT);
    p_size = size[l_slot];
    const size_t l_end = ((size_t)p_size + UNTGZ_BLOCK_SIZE - 1) & ~(size_t)(UNTGZ_BLOCK_SIZE - 1);
    memset(buffer[l_slot] + p_size, 0, l_end - (size_t)p_size);
    running = true;
    return buffer[l_slot];
}

void t_chunk_ring::ReadAhead(int p_size, int p_errno) {
    if (p_size > 0) {
        size[read % UNTGZ_CHUNK_COUNT] = p_size;
        read++;
        return;
    }
    stop_errno = p_errno;
    stop = read;
    stop_size = p_size;
}

bool t_chunk_ring::Collect() {
    running = false;
    written++;
    return stop == written && stop_size == -1;
}

int C_UNTGZ::DoUnArchive() {
    m_short_read = false;
    if (OpenArchive() != OK)
        return ERROR;

    int l_result = OK;
    int l_last_writer = 0;
    m_read_buffer = m_ring.buffer[0];
    const int l_first_size = ReadChunk();
    if (l_first_size == -1) {
        plat::log(g_untgz_log_gzread1, tickGet(), errnoGet(), -1);
        LogReadError();
        l_result = ERROR;
    } else {
        m_ring.Start(l_first_size);
        l_result = RunChunkRing(l_last_writer);
    }
    return EndUnArchive(l_result, l_last_writer);
}

int C_UNTGZ::OpenArchive() {
    m_gz_file = plat::gzOpen(m_tar_file);
    if (m_gz_file != nullptr)
        return OK;
    const int l_errno = errnoGet();
    plat::log(g_untgz_log_gzopen, tickGet(), m_tar_file, l_errno);
    // The reader refuses a folder, a FIFO or a device before reading it (a
    // FIFO would block the extraction forever).
    if (l_errno == EISDIR || l_errno == EINVAL)
        plat::log("%ld - (DoUnArchive): %s: not a regular file\n", tickGet(), m_tar_file);
    return ERROR;
}

int C_UNTGZ::RunChunkRing(int &p_last_writer) {
    for (;;) {
        if (m_ring.CanHandOff()) {
            const int l_tid = HandOffChunk();
            if (l_tid == ERROR)
                return ERROR;
            p_last_writer = l_tid;
        }

        SEM_ID l_sem = m_sem_write.load(std::memory_order_acquire);
        if (m_ring.HasRoom()) {
            // Decompress the next chunk while the writer parses, then pick up
            // a writer that has ended meanwhile.
            ReadAheadChunk();
            if (!m_ring.running || semTake(l_sem, NO_WAIT) != OK)
                continue;
        } else if (m_ring.running) {
            // Every buffer is full, or the stream has ended: wait for the
            // writer.
            if (semTake(l_sem, WAIT_FOREVER) != OK) {
                plat::log(g_untgz_log_sem_take, tickGet(), errnoGet());
                return ERROR;
            }
        } else {
            return OK; // every chunk parsed up to the end of the stream
        }

        if (CollectWriter() != OK)
            return ERROR;
    }
}

int C_UNTGZ::HandOffChunk() {
    m_write_buffer = m_ring.HandOff(m_write_size);
    const int l_tid =
        taskSpawn(UNTGZ_WRITER_NAME, UNTGZ_WRITER_PRIORITY, VX_FP_TASK, UNTGZ_WRITER_STACK,
                  reinterpret_cast<FUNCPTR>(reinterpret_cast<void (*)()>(&StaticWriteTask)),
                  (_Vx_usr_arg_t)m_pInstance.load(std::memory_order_acquire));
    m_write_task.store(l_tid, std::memory_order_relaxed);
    if (l_tid == ERROR)
        plat::log(g_untgz_log_spawn_failed, tickGet());
    return l_tid;
}

void C_UNTGZ::ReadAheadChunk() {
    m_read_buffer = m_ring.ReadSlot();
    const int l_size = ReadChunk();
    m_ring.ReadAhead(l_size, l_size > 0 ? 0 : errnoGet());
}

int C_UNTGZ::CollectWriter() {
    if (m_ring.Collect()) {
        plat::log(g_untgz_log_gzread2, tickGet(), m_ring.stop_errno, m_ring.stop_size);
        LogReadError();
        return ERROR;
    }
    m_write_task.store(0, std::memory_order_relaxed);
    if (m_write_status == ERROR) {
        plat::log(g_untgz_log_writer_error, tickGet());
        return ERROR;
    }
    return OK;
}

int C_UNTGZ::EndUnArchive(int p_result, int p_last_writer) {
    int l_result = p_result;
    // The output file and the parser state belong to the writer until it has
    // ended: wait for it (also when waiting on the semaphore failed and it may
    // still be parsing) before closing anything.
    WaitWriterEnd(p_last_writer);

    // The reader has confirmed the end of every member it read; a close that
    // still reports an error means data was lost.
    if (plat::gzClose(m_gz_file) != 0 && l_result == OK) {
        plat::log("%ld - (DoUnArchive): %s: compressed data damaged or cut short\n", tickGet(),
                  m_tar_file);
        l_result = ERROR;
    }
    m_gz_file = nullptr;

    // An entry whose data did not all arrive is a cut file: never a success.
    if (m_remaining != 0) {
        plat::log("%ld - (DoUnArchive): WARNING: Last file might be truncated!\n", tickGet());
        if (l_result == OK) {
            plat::log(g_untgz_log_cut_in_data, tickGet(), m_tar_file, m_name);
            l_result = ERROR;
        }
    }

    if (m_out_file != nullptr) {
        if (plat::fclose(m_out_file) != 0 && l_result == OK) {
            LogFileError("close", m_name, errnoGet());
            l_result = ERROR;
        }
        m_out_file = nullptr;
    }
    return l_result;
}

int C_UNTGZ::ReadChunk() {
    int l_size = plat::gzRead(m_gz_file, m_read_buffer, UNTGZ_CHUNK_SIZE);
    if (l_size <= 0 || l_size == UNTGZ_CHUNK_SIZE)
        return l_size;
    // A short chunk must be the last one: the parser zero-fills its last
    // block, and a stream that went on after it would be out of step with
    // the tar blocks from here on. One byte more tells: the end of the
    // stream (0), or an error that the next read reports (-1).
    unsigned char l_probe;
    int l_more = plat::gzRead(m_gz_file, &l_probe, 1);
    if (l_more <= 0)
        return l_size;
    plat::log(g_untgz_log_short_read, tickGet(), m_tar_file, l_size, UNTGZ_CHUNK_SIZE);
    m_short_read = true;
    errnoSet(EIO);
    return -1;
}

void C_UNTGZ::LogReadError() {
    // A short read was logged where it was found; the reader saw no error.
    if (m_short_read)
        return;
    plat::log("%ld - (DoUnArchive): %s: compressed data damaged or cut short (%s)\n", tickGet(),
              m_tar_file, plat::gzErrorText(m_gz_file));
}
