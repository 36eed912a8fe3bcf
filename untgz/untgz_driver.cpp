// Extraction driver: the C_UNTGZ singleton, Untar, the reader loop that
// decompresses the archive chunk by chunk, the writer task that parses each
// chunk, the progression query and the extern "C" entry Untar.
#include "untgz/C_UNTGZ.h"

#include "platform/plat_io.h"

#include <cerrno>
#include <cstring>
#include <new>

// Writer task parameters.
#define UNTGZ_WRITER_NAME "TarWrtTask"
#define UNTGZ_WRITER_PRIORITY 155
#define UNTGZ_WRITER_STACK 20000
// Pause between two looks at a writer that is still alive at the end, and how
// many of them are made at most.
#define UNTGZ_END_DELAY 50
#define UNTGZ_END_DELAYS 50

static const char *const g_untgz_version = "KLOD_1.08";

std::atomic<C_UNTGZ *> C_UNTGZ::m_pInstance{nullptr};

// Held while the singleton is being created, so that two tasks calling
// GetInstance for the first time at once create one object only.
static std::atomic_flag g_untgz_creating = ATOMIC_FLAG_INIT;

C_UNTGZ::C_UNTGZ()
    : m_gz_file(nullptr), m_short_read(false), m_out_file(nullptr), m_remaining(0), m_verbose(0),
      m_abs_path(0), m_slashes_removed(0), m_progression(0), m_files_written(0), m_folders_made(0),
      m_dest_end(0), m_first_header(1), m_write_status(0), m_write_task(0), m_sem_write(nullptr),
      m_write_chunk(m_chunk_buffer[0]), m_write_size(0) {
    memset(m_name, 0, sizeof(m_name));
    memset(m_chunk_buffer, 0, sizeof(m_chunk_buffer));
    memset(m_chunk_size, 0, sizeof(m_chunk_size));
    memset(m_dest_folder, 0, sizeof(m_dest_folder));
    memset(m_tar_file, 0, sizeof(m_tar_file));
    memset(m_allowed_prefix, 0, sizeof(m_allowed_prefix));
}

C_UNTGZ::~C_UNTGZ() {
    logMsg("%ld - (~C_UNTGZ)\n", (_Vx_usr_arg_t)tickGet());
}

C_UNTGZ *C_UNTGZ::GetInstance() {
    C_UNTGZ *l_instance = m_pInstance.load(std::memory_order_acquire);
    if (l_instance != nullptr)
        return l_instance;
    while (g_untgz_creating.test_and_set(std::memory_order_acquire))
        taskDelay(0);
    l_instance = m_pInstance.load(std::memory_order_acquire);
    if (l_instance == nullptr) {
        l_instance = new (std::nothrow) C_UNTGZ();
        m_pInstance.store(l_instance, std::memory_order_release);
    }
    g_untgz_creating.clear(std::memory_order_release);
    return l_instance;
}

int C_UNTGZ::SetAllowedPrefix(const char *p_prefix) {
    if (p_prefix == nullptr)
        p_prefix = "";
    if (strnlen(p_prefix, sizeof(m_allowed_prefix)) >= sizeof(m_allowed_prefix)) {
        logMsg("%ld - (Untar): allowed prefix of %d characters or more refused\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)sizeof(m_allowed_prefix));
        return ERROR;
    }
    memset(m_allowed_prefix, 0, sizeof(m_allowed_prefix));
    strncpy(m_allowed_prefix, p_prefix, sizeof(m_allowed_prefix) - 1);
    return OK;
}

int C_UNTGZ::GetProgression(unsigned long long &progression) {
    if (m_sem_write.load(std::memory_order_acquire) != nullptr) {
        progression = m_progression.load(std::memory_order_relaxed);
        return OK;
    }
    progression = 0;
    return ERROR;
}

void C_UNTGZ::GetLastCounts(unsigned long &p_files, unsigned long &p_folders,
                            unsigned long long &p_bytes) {
    p_files = m_files_written;
    p_folders = m_folders_made;
    p_bytes = m_progression.load(std::memory_order_relaxed);
}

// Refuses a path that does not fit the 255-byte path members: it would
// otherwise be cut and name another file or folder.
static int CheckPathLength(const char *p_path, const char *p_what) {
    size_t l_len = strnlen(p_path, UNTGZ_PATH_SIZE);
    if (l_len < UNTGZ_PATH_SIZE)
        return OK;
    logMsg("%ld - (Untar): parameter error (%s of %d characters or more, at most %d)\n",
           (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)p_what, (_Vx_usr_arg_t)UNTGZ_PATH_SIZE,
           (_Vx_usr_arg_t)(UNTGZ_PATH_SIZE - 1));
    return ERROR;
}

int C_UNTGZ::Untar(const char *p_tar_file, const char *p_dest_folder, int p_verbose,
                   int p_abs_path) {
    int l_result = OK;
    int l_wait_task = -1;
    bool l_paths_given = (p_tar_file != nullptr) && (p_dest_folder != nullptr);

    if (!l_paths_given) {
        // The message shows the paths of the previous (or running) extraction;
        // the acquire load orders the read after their copy by that one.
        (void)m_sem_write.load(std::memory_order_acquire);
        l_result = ERROR;
        logMsg("%ld - (Untar): parameters error (m_tar_file = '%s', m_dest_folder = '%s')\n",
               (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)m_tar_file, (_Vx_usr_arg_t)m_dest_folder);
    } else {
        if (p_verbose != 0 && p_verbose != 1) {
            logMsg("%ld - (Untar): parameter error (p_verbose == %d)\n", (_Vx_usr_arg_t)tickGet(),
                   (_Vx_usr_arg_t)p_verbose);
            return ERROR;
        }
        if (p_abs_path != 0 && p_abs_path != 1) {
            logMsg("%ld - (Untar): parameter error (p_abs_path == %d)\n", (_Vx_usr_arg_t)tickGet(),
                   (_Vx_usr_arg_t)p_abs_path);
            return ERROR;
        }
        if (CheckPathLength(p_tar_file, "p_tar_file") != OK ||
            CheckPathLength(p_dest_folder, "p_dest_folder") != OK)
            return ERROR;
    }

    if (m_sem_write.load(std::memory_order_acquire) != nullptr) {
        logMsg("%ld - (Untar): Untar already in use!!\n", (_Vx_usr_arg_t)tickGet());
        return ERROR;
    }

    if (l_paths_given) {
        // Reset every piece of parser and hand-off state.
        m_write_task.store(0, std::memory_order_relaxed);
        m_write_status = OK;
        m_out_file = nullptr;
        m_remaining = 0;
        // The chunk buffers are not cleared: the reader zero-fills the tail
        // of every chunk's last block before a writer parses it, and no byte
        // past that is ever read.
        m_write_size = 0;
        m_write_chunk = m_chunk_buffer[0];
        memset(m_dest_folder, 0, sizeof(m_dest_folder));
        memset(m_tar_file, 0, sizeof(m_tar_file));
        memset(m_name, 0, sizeof(m_name));
        m_first_header = 1;
        m_slashes_removed = 0;
        m_progression.store(0, std::memory_order_relaxed);
        m_files_written = 0;
        m_folders_made = 0;
        m_verbose = p_verbose;
        m_abs_path = p_abs_path;
        strncpy(m_dest_folder, p_dest_folder, sizeof(m_dest_folder) - 1);
        strncpy(m_tar_file, p_tar_file, sizeof(m_tar_file) - 1);

        logMsg("%ld - (Untar Version '%s'): Begin Untar '%s' to '%s'\n", (_Vx_usr_arg_t)tickGet(),
               (_Vx_usr_arg_t)g_untgz_version, (_Vx_usr_arg_t)m_tar_file,
               (_Vx_usr_arg_t)m_dest_folder);

        SEM_ID l_sem = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
        if (l_sem == nullptr) {
            l_result = ERROR;
            logMsg("%ld - (Untar): semMCreate error (errno = 0x%X)!!!\n", (_Vx_usr_arg_t)tickGet(),
                   (_Vx_usr_arg_t)errnoGet());
        }
        // Release: a task that sees the extractor in use also sees the reset.
        m_sem_write.store(l_sem, std::memory_order_release);

        if (l_result == OK) {
            if (m_pInstance.load(std::memory_order_acquire) == nullptr) {
                l_result = ERROR;
                logMsg("%ld - (Untar):NULL == m_pInstance\n", (_Vx_usr_arg_t)tickGet());
            } else {
                l_result = DoUnArchive();
                if (l_result == OK)
                    l_result = SyncDestination();
                l_wait_task = m_write_task.load(std::memory_order_relaxed);
            }
        }

        // Let a writer that may still be alive end. After a clean run the
        // writer id is 0, which names no task, so this is one pause.
        if (l_wait_task != -1) {
            for (int l_i = 0; l_i < UNTGZ_END_DELAYS; l_i++) {
                logMsg("%ld - (Untar): taskDelay(50)\n", (_Vx_usr_arg_t)tickGet());
                taskDelay(UNTGZ_END_DELAY);
                if (l_wait_task == 0 || taskIdVerify(l_wait_task) != OK)
                    break;
            }
        }

        SEM_ID l_done = m_sem_write.load(std::memory_order_acquire);
        if (l_done != nullptr) {
            if (semDelete(l_done) != OK)
                logMsg("%ld - (Untar): semDelete error (errno = 0x%X)!!!\n",
                       (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)errnoGet());
            m_sem_write.store(nullptr, std::memory_order_release);
        } else {
            logMsg("%ld - (Untar): m_sem_write is NULL !\n", (_Vx_usr_arg_t)tickGet());
        }
    }

    logMsg("%ld - (Untar): End Untar, returned value : %d\n", (_Vx_usr_arg_t)tickGet(),
           (_Vx_usr_arg_t)l_result);
    return l_result;
}

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

void C_UNTGZ::StaticWriteTask(C_UNTGZ *p_instance) {
    if (p_instance == nullptr) {
        logMsg("%ld - (StaticWriteTask): NULL = p_instance\n", (_Vx_usr_arg_t)tickGet());
        return;
    }
    p_instance->m_write_status = OK;

    unsigned char *l_buffer = p_instance->m_write_chunk;
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
            logMsg("%ld - (StaticWriteTask): %s: archive ends inside the data of %s\n",
                   (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)p_instance->m_tar_file,
                   (_Vx_usr_arg_t)p_instance->m_name);
        if (l_run < 0 || p_instance->UntarBlock(l_buffer + l_offset) == ERROR || l_cut) {
            logMsg("%ld - (StaticWriteTask): p_instance->UntarBlock return ERROR\n",
                   (_Vx_usr_arg_t)tickGet());
            p_instance->m_write_status = ERROR;
            break;
        }
        l_offset += UNTGZ_BLOCK_SIZE;
    }

    SEM_ID l_sem = p_instance->m_sem_write.load(std::memory_order_acquire);
    if (l_sem != nullptr) {
        if (semGive(l_sem) != OK)
            logMsg("%ld - (StaticWriteTask): semGive (0x%X) return ERROR (errno = 0x%X)\n",
                   (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_sem, (_Vx_usr_arg_t)errnoGet());
    } else {
        logMsg("%ld - (StaticWriteTask): p_instance->m_sem_write is NULL !\n",
               (_Vx_usr_arg_t)tickGet());
    }
}

extern "C" void Untar(const char *p_tar_file, const char *p_dest_folder, int p_verbose,
                      int p_abs_path) {
    C_UNTGZ *l_instance = C_UNTGZ::GetInstance();
    if (l_instance == nullptr) {
        logMsg("%ld - (extern 'C' - Untar): NULL == l_instance\n", (_Vx_usr_arg_t)tickGet());
        return;
    }
    logMsg("%ld - (extern 'C' - Untar ): l_instance(0x%X)->Untar ('%s', '%s')\n",
           (_Vx_usr_arg_t)tickGet(), (_Vx_usr_arg_t)l_instance, (_Vx_usr_arg_t)p_tar_file,
           (_Vx_usr_arg_t)p_dest_folder);
    if (l_instance->Untar(p_tar_file, p_dest_folder, p_verbose, p_abs_path) == ERROR)
        logMsg("%ld - (extern 'C' - Untar '%s'): ERROR \n", (_Vx_usr_arg_t)tickGet(),
               (_Vx_usr_arg_t)p_tar_file);
    else
        logMsg("%ld - (extern 'C' - Untar '%s'): Done \n", (_Vx_usr_arg_t)tickGet(),
               (_Vx_usr_arg_t)p_tar_file);
}
