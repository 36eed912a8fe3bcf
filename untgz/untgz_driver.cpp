// Extraction driver: the C_UNTGZ singleton, Untar, the progression query and
// the extern "C" entry Untar.
#include "untgz/C_UNTGZ.h"

#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "untgz/C_UNTGZ_LOG.h"

#include <cerrno>
#include <cstring>
#include <new>

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
      m_read_buffer(nullptr), m_write_buffer(nullptr), m_write_size(0) {
    memset(m_name, 0, sizeof(m_name));
    memset(m_display, 0, sizeof(m_display));
    memset(&m_ring, 0, sizeof(m_ring));
    m_read_buffer = m_ring.buffer[0];
    m_write_buffer = m_ring.buffer[0];
    memset(m_dest_folder, 0, sizeof(m_dest_folder));
    memset(m_tar_file, 0, sizeof(m_tar_file));
    memset(m_allowed_prefix, 0, sizeof(m_allowed_prefix));
}

C_UNTGZ::~C_UNTGZ() {
    plat::log("%ld - (~C_UNTGZ)\n", tickGet());
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
        plat::log(g_untgz_log_prefix_refused, tickGet(), sizeof(m_allowed_prefix));
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
    plat::log(g_untgz_log_param_path, tickGet(), p_what, UNTGZ_PATH_SIZE, (UNTGZ_PATH_SIZE - 1));
    return ERROR;
}

int C_UNTGZ::Untar(const char *p_tar_file, const char *p_dest_folder, int p_verbose,
                   int p_abs_path) {
    const bool l_paths_given = (p_tar_file != nullptr) && (p_dest_folder != nullptr);
    if (!l_paths_given) {
        // The message shows the paths of the previous (or running) extraction;
        // the acquire load orders the read after their copy by that one.
        (void)m_sem_write.load(std::memory_order_acquire);
        plat::log("%ld - (Untar): parameters error (m_tar_file = '%s', m_dest_folder = '%s')\n",
                  tickGet(), m_tar_file, m_dest_folder);
    } else if (CheckArguments(p_tar_file, p_dest_folder, p_verbose, p_abs_path) != OK) {
        return ERROR;
    }

    if (m_sem_write.load(std::memory_order_acquire) != nullptr) {
        plat::log("%ld - (Untar): Untar already in use!!\n", tickGet());
        return ERROR;
    }

    int l_result = ERROR;
    if (l_paths_given) {
        ResetExtraction(p_tar_file, p_dest_folder, p_verbose, p_abs_path);
        int l_wait_task = -1;
        l_result = RunExtraction(l_wait_task);
        ReleaseExtraction(l_wait_task);
    }

    plat::log("%ld - (Untar): End Untar, returned value : %d\n", tickGet(), l_result);
    return l_result;
}

int C_UNTGZ::CheckArguments(const char *p_tar_file, const char *p_dest_folder, int p_verbose,
                            int p_abs_path) {
    if (p_verbose != 0 && p_verbose != 1) {
        plat::log("%ld - (Untar): parameter error (p_verbose == %d)\n", tickGet(), p_verbose);
        return ERROR;
    }
    if (p_abs_path != 0 && p_abs_path != 1) {
        plat::log("%ld - (Untar): parameter error (p_abs_path == %d)\n", tickGet(), p_abs_path);
        return ERROR;
    }
    if (CheckPathLength(p_tar_file, "p_tar_file") != OK ||
        CheckPathLength(p_dest_folder, "p_dest_folder") != OK)
        return ERROR;
    return OK;
}

void C_UNTGZ::ResetExtraction(const char *p_tar_file, const char *p_dest_folder, int p_verbose,
                              int p_abs_path) {
    m_write_task.store(0, std::memory_order_relaxed);
    m_write_status = OK;
    m_out_file = nullptr;
    m_remaining = 0;
    // The chunk buffers are not cleared: the reader zero-fills the tail of
    // every chunk's last block before a writer parses it, and no byte past
    // that is ever read.
    m_write_size = 0;
    m_read_buffer = m_ring.buffer[0];
    m_write_buffer = m_ring.buffer[0];
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

    plat::log("%ld - (Untar Version '%s'): Begin Untar '%s' to '%s'\n", tickGet(), g_untgz_version,
              m_tar_file, m_dest_folder);
}

int C_UNTGZ::RunExtraction(int &p_wait_task) {
    int l_result = OK;
    SEM_ID l_sem = semBCreate(SEM_Q_FIFO, SEM_EMPTY);
    if (l_sem == nullptr) {
        l_result = ERROR;
        plat::log(g_untgz_log_sem_create, tickGet(), errnoGet());
    }
    // Release: a task that sees the extractor in use also sees the reset.
    m_sem_write.store(l_sem, std::memory_order_release);
    if (l_result != OK)
        return l_result;

    if (m_pInstance.load(std::memory_order_acquire) == nullptr) {
        plat::log("%ld - (Untar):NULL == m_pInstance\n", tickGet());
        return ERROR;
    }
    l_result = DoUnArchive();
    if (l_result == OK)
        l_result = SyncDestination();
    p_wait_task = m_write_task.load(std::memory_order_relaxed);
    return l_result;
}

void C_UNTGZ::ReleaseExtraction(int p_wait_task) {
    // Let a writer that may still be alive end. After a clean run the writer
    // id is 0, which names no task, so this is one pause.
    if (p_wait_task != -1) {
        for (int l_i = 0; l_i < UNTGZ_END_DELAYS; l_i++) {
            plat::log("%ld - (Untar): taskDelay(50)\n", tickGet());
            taskDelay(UNTGZ_END_DELAY);
            if (p_wait_task == 0 || taskIdVerify(p_wait_task) != OK)
                break;
        }
    }

    SEM_ID l_done = m_sem_write.load(std::memory_order_acquire);
    if (l_done != nullptr) {
        if (semDelete(l_done) != OK)
            plat::log("%ld - (Untar): semDelete error (errno = 0x%X)!!!\n", tickGet(), errnoGet());
        m_sem_write.store(nullptr, std::memory_order_release);
    } else {
        plat::log("%ld - (Untar): m_sem_write is NULL !\n", tickGet());
    }
}

extern "C" void Untar(const char *p_tar_file, const char *p_dest_folder, int p_verbose,
                      int p_abs_path) {
    C_UNTGZ *l_instance = C_UNTGZ::GetInstance();
    if (l_instance == nullptr) {
        plat::log("%ld - (extern 'C' - Untar): NULL == l_instance\n", tickGet());
        return;
    }
    plat::log("%ld - (extern 'C' - Untar ): l_instance(0x%X)->Untar ('%s', '%s')\n", tickGet(),
              l_instance, p_tar_file, p_dest_folder);
    if (l_instance->Untar(p_tar_file, p_dest_folder, p_verbose, p_abs_path) == ERROR)
        plat::log("%ld - (extern 'C' - Untar '%s'): ERROR \n", tickGet(), p_tar_file);
    else
        plat::log("%ld - (extern 'C' - Untar '%s'): Done \n", tickGet(), p_tar_file);
}
