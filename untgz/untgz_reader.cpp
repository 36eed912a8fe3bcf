// The reader loop of an extraction (DoUnArchive), on the calling task: the
// archive decompressed chunk by chunk into the ring of chunk buffers, each
// chunk handed to a writer task in archive order, and the end of the stream
// checked.
#include "untgz/C_UNTGZ.h"

#include "platform/plat_io.h"

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

int C_UNTGZ::DoUnArchive() {
    int l_result = OK;
    int l_last_writer = 0;
    m_short_read = false;

    m_gz_file = plat::gzOpen(m_tar_file);
    if (m_gz_file == nullptr) {
        const int l_errno = errnoGet();
        logMsg("%ld - (DoUnArchive): gzopen (%s) : ERROR (errno = 0x%X)\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)m_tar_file, (_Vx_usr_arg_t)l_errno);
        // The reader refuses a folder, a FIFO or a device before reading it
        // (a FIFO would block the extraction forever).
        if (l_errno == EISDIR || l_errno == EINVAL)
            logMsg("%ld - (DoUnArchive): %s: not a regular file\n", (_Vx_usr_arg_t)tickGet(),
                   (_Vx_usr_arg_t)m_tar_file);
        return ERROR;
    }

    m_chunk_size[0] = ReadChunk(m_chunk_buffer[0]);
    if (m_chunk_size[0] == -1) {
        logMsg("%ld - (DoUnArchive): gzread1 error (errno = 0x%X), l_size = %d\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)errnoGet(), (_Vx_usr_arg_t)-1);
        LogReadError();
        l_result = ERROR;
    } else {
        // Chunks are numbered from 0 in archive order; chunk i lives in buffer
        // i % UNTGZ_CHUNK_COUNT. Chunks below l_written have been parsed,
        // chunk l_written is being parsed (when l_running) or is the next to
        // be, and chunks up to l_read - 1 wait in the ring. The first chunk is
        // handed over even when empty; a later read that gives nothing (end
        // of the stream) or fails is remembered as chunk l_stop, and the
        // chunks before it are still parsed.
        long l_read = 1;
        long l_written = 0;
        long l_stop = -1;
        int l_stop_size = 0;
        int l_stop_errno = 0;
        bool l_running = false;
        for (;;) {
            if (!l_running && l_written < l_read) {
                // Hand the oldest waiting chunk to a new writer. A short chunk
                // is parsed in whole blocks: the rest of its last block is
                // zero-filled, so no bytes of an earlier chunk are taken as
                // data.
                const int l_slot = (int)(l_written % UNTGZ_CHUNK_COUNT);
                const int l_size = m_chunk_size[l_slot];
                size_t l_end =
                    ((size_t)l_size + UNTGZ_BLOCK_SIZE - 1) & ~(size_t)(UNTGZ_BLOCK_SIZE - 1);
                memset(m_chunk_buffer[l_slot] + l_size, 0, l_end - (size_t)l_size);
                m_write_chunk = m_chunk_buffer[l_slot];
                m_write_size = l_size;

                int l_tid = taskSpawn(
                    UNTGZ_WRITER_NAME, UNTGZ_WRITER_PRIORITY, VX_FP_TASK, UNTGZ_WRITER_STACK,
                    reinterpret_cast<FUNCPTR>(reinterpret_cast<void (*)()>(&StaticWriteTask)),
                    (_Vx_usr_arg_t)m_pInstance.load(std::memory_order_acquire));
                m_write_task.store(l_tid, std::memory_order_relaxed);
                if (l_tid == ERROR) {
                    logMsg("%ld - (DoUnArchive): m_write_task == ERROR\n",
                           (_Vx_usr_arg_t)tickGet());
                    l_result = ERROR;
                    break;
                }
                l_last_writer = l_tid;
                l_running = true;
            }

            SEM_ID l_sem = m_sem_write.load(std::memory_order_acquire);
            if (l_stop < 0 && l_read - l_written < UNTGZ_CHUNK_COUNT) {
                // A buffer is free: decompress the next chunk while the writer
                // parses, then pick up a writer that has ended meanwhile.
                const int l_slot = (int)(l_read % UNTGZ_CHUNK_COUNT);
                int l_size = ReadChunk(m_chunk_buffer[l_slot]);
                if (l_size > 0) {
                    m_chunk_size[l_slot] = l_size;
                    l_read++;
                } else {
                    l_stop_errno = errnoGet();
                    l_stop = l_read;
                    l_stop_size = l_size;
                }
                if (!l_running || semTake(l_sem, NO_WAIT) != OK)
                    continue;
            } else if (l_running) {
                // Every buffer is full, or the stream has ended: wait for the
                // writer.
                if (semTake(l_sem, WAIT_FOREVER) != OK) {
                    logMsg("%ld - (DoUnArchive): semTake (m_sem_write, WAIT_FOREVER) ERROR "
                           "(errno = 0x%X)\n",
                           (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)errnoGet());
                    l_result = ERROR;
                    break;
                }
            } else {
                break; // every chunk parsed up to the end of the stream
            }

            // The writer of chunk l_written has ended. A read that failed
            // right after its chunk is reported first, as when each chunk
            // is read while the one before it is parsed.
            l_running = false;
            l_written++;
            if (l_stop == l_written && l_stop_size == -1) {
                logMsg("%ld - (DoUnArchive): gzread2 error (errno = 0x%X), l_size = %d\n",
                       (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_stop_errno,
                       (_Vx_usr_arg_t)l_stop_size);
                LogReadError();
                l_result = ERROR;
                break;
            }
            m_write_task.store(0, std::memory_order_relaxed);
            if (m_write_status == ERROR) {
                logMsg("%ld - (DoUnArchive): write task error!!\n", (_Vx_usr_arg_t)tickGet());
                l_result = ERROR;
                break;
            }
        }
    }

    // The output file and the parser state belong to the writer until it has
    // ended: wait for it (also when waiting on the semaphore failed and it may
    // still be parsing) before closing anything.
    WaitWriterEnd(l_last_writer);

    // The reader has confirmed the end of every member it read; a close that
    // still reports an error means data was lost.
    if (plat::gzClose(m_gz_file) != 0 && l_result == OK) {
        logMsg("%ld - (DoUnArchive): %s: compressed data damaged or cut short\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)m_tar_file);
        l_result = ERROR;
    }
    m_gz_file = nullptr;

    // An entry whose data did not all arrive is a cut file: never a success.
    if (m_remaining != 0) {
        logMsg("%ld - (DoUnArchive): WARNING: Last file might be truncated!\n",
               (_Vx_usr_arg_t)tickGet());
        if (l_result == OK) {
            logMsg("%ld - (DoUnArchive): %s: archive ends inside the data of %s\n",
                   (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)m_tar_file, (_Vx_usr_arg_t)m_name);
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

int C_UNTGZ::ReadChunk(unsigned char *p_buffer) {
    int l_size = plat::gzRead(m_gz_file, p_buffer, UNTGZ_CHUNK_SIZE);
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
    logMsg("%ld - (DoUnArchive): %s: the archive reader returned %d bytes of %d before the end "
           "of the stream: read error\n",
           (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)m_tar_file, (_Vx_usr_arg_t)l_size,
           (_Vx_usr_arg_t)UNTGZ_CHUNK_SIZE);
    m_short_read = true;
    errnoSet(EIO);
    return -1;
}

void C_UNTGZ::LogReadError() {
    // A short read was logged where it was found; the reader saw no error.
    if (m_short_read)
        return;
    logMsg("%ld - (DoUnArchive): %s: compressed data damaged or cut short (%s)\n",
           (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)m_tar_file,
           (_Vx_usr_arg_t)plat::gzErrorText(m_gz_file));
}
