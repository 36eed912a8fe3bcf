// Archive extraction builtin "UnCompress" and the progress bargraph: the
// builtins "ActivateBargraph" and "DeactivateBargraph" and the task
// "BarGraphTask" that turns the extractor's progression into HMI steps.
#include "builtins/C_BUILTINS.h"

#include "platform/plat_log.h"

#include "untgz/C_UNTGZ.h"

#include <climits>
#include <cstring>

namespace {

// "BarGraphTask": low priority, uses floating point.
const char k_bar_task_name[] = "BarGraphTask";
const int k_bar_task_priority = 200;
const int k_bar_task_stack = 20000;
// The task looks at m_progress_bar_active every 100 ticks and makes a step
// every fifth look (every 500 ticks); "DeactivateBargraph" wakes it early.
const int k_bar_poll_ticks = 100;
const int k_bar_polls_per_step = 5;
// A bar task told to stop is woken and ends at once (within one poll at the
// latest); "ActivateBargraph" waits up to three polls for it to end before
// giving up.
const int k_wind_down_delay_ticks = 10;
const int k_wind_down_delays = 30;

const char k_step_bargraph_symbol[] = "StepBargraph__13C_MMI_UPGRADEPci";

// The HMI's bargraph step, called with pointer-sized integers (the text's
// address and the percentage).
typedef int (*t_step_func)(_Vx_usr_arg_t, _Vx_usr_arg_t);

// Copies at most p_size - 1 characters of p_source (null: empty) into
// p_dest, always NUL-terminated.
void CopyBounded(char *p_dest, const char *p_source, size_t p_size) {
    size_t l_length = 0;
    if (p_source != nullptr)
        while (l_length < p_size - 1 && p_source[l_length] != '\0')
            l_length++;
    if (l_length > 0)
        std::memcpy(p_dest, p_source, l_length);
    p_dest[l_length] = '\0';
}

} // namespace

// Extracts the .tgz archive p_archive into the folder p_destination (given
// with its trailing "/"). 0, or -1 when there is no extractor or the
// extraction failed (logged with the archive). Blocks until the extraction is
// over. Interpreter's task (also the POI merge).
int C_BUILTINS::UnCompress(char *p_archive, char *p_destination) {
    C_UNTGZ *l_instance = C_UNTGZ::GetInstance();
    if (l_instance == nullptr) {
        plat::log("%ld - (s_UnCompress): NULL == l_instance\n", tickGet());
        return -1;
    }
    plat::log("%ld - (s_UnCompress ('%s', '%s')\n", tickGet(), p_archive, p_destination);
    if (l_instance->Untar(p_archive, p_destination, 0, 1) == -1) {
        plat::log("%ld - (s_UnCompress '%s'): ERROR.\n", tickGet(), p_archive);
        return -1;
    }
    plat::log("%ld - (s_UnCompress '%s'): Done.\n", tickGet(), p_archive);
    return 0;
}

// "UnCompress": argument 0 the archive path, argument 1 the destination
// folder (char*). UnCompress's result. Interpreter's task.
val_t C_BUILTINS::s_UnCompress() {
    char *l_archive = static_cast<char *>(EiC_ArgPtr(0));
    char *l_destination = static_cast<char *>(EiC_ArgPtr(1));
    return EiC_IntResult(UnCompress(l_archive, l_destination));
}

// "ActivateBargraph": argument 0 the bar's text (char*), argument 1 the byte
// count that makes 100 percent, argument 2 the progression count from which
// progress is measured (normally 0). Starts "BarGraphTask" when none runs;
// otherwise only replaces the text and the counts, so that a script moves the
// bar on to its next archive. 0, or -1 when there is no singleton or the task
// cannot be started (the arguments are then not stored). A bar never stops an
// upgrade: when the task told to stop just before has not ended after the
// wait for it, nothing is spawned, the log says that this archive runs
// without a bar, and the result is 0 (the old task ends by itself; the next
// "ActivateBargraph" starts a bar again). Interpreter's task.
val_t C_BUILTINS::s_ActivateBargraph() {
    char *l_text = static_cast<char *>(EiC_ArgPtr(0));
    uint32_t l_total_size = EiC_ArgUInt(1);
    uint32_t l_start_bytes = EiC_ArgUInt(2);

    C_BUILTINS *l_instance = m_pInstance;
    if (l_instance == nullptr) {
        plat::log("%ld - (s_ActivateBargraph): NULL == m_pInstance\n", tickGet());
        return EiC_IntResult(-1);
    }

    int l_result = 0;
    // A task that was told to stop ("DeactivateBargraph" just before) would
    // end without showing anything for this archive: let it end and start a
    // fresh one. One still there after the wait (held in the HMI's step) is
    // left to end by itself, with no bar for this archive.
    if (l_instance->m_progress_bar_task_id != 0 && l_instance->m_progress_bar_active != 1 &&
        !l_instance->WaitProgressBarTaskEnd()) {
        plat::log("%ld - (s_ActivateBargraph): previous BarGraphTask did not end: this archive "
                  "runs without a bar\n",
                  tickGet());
    }

    if (l_instance->m_progress_bar_task_id == 0) {
        // A stop signal left over from the task before (it ended without
        // taking it) would cut the new task's first wait short.
        if (l_instance->m_progress_bar_wake != nullptr)
            semTake(l_instance->m_progress_bar_wake, NO_WAIT);
        l_instance->m_progress_bar_active = 1;
        int l_task_id = taskSpawn(
            k_bar_task_name, k_bar_task_priority, VX_FP_TASK, k_bar_task_stack,
            reinterpret_cast<FUNCPTR>(StaticProgressBarTask), 0, 0, 0, 0, 0, 0, 0, 0, 0, 0);
        if (l_task_id == ERROR) {
            // No task exists: leave the bookkeeping at "no task" so that the
            // next call tries again.
            l_instance->m_progress_bar_active = 0;
            l_instance->m_progress_bar_task_id = 0;
            l_result = -1;
            plat::log("%ld - (s_ActivateBargraph): NULL == m_progress_bar_task_id\n", tickGet());
        } else {
            l_instance->m_progress_bar_task_id = l_task_id;
        }
    }

    if (l_result == 0) {
        bool l_locked = semTake(l_instance->m_progress_bar_text_lock, WAIT_FOREVER) == OK;
        CopyBounded(l_instance->m_progress_bar_text, l_text,
                    sizeof l_instance->m_progress_bar_text);
        if (l_locked)
            semGive(l_instance->m_progress_bar_text_lock);
        l_instance->m_progress_total_size = l_total_size;
        l_instance->m_previous_written_bytes = l_start_bytes;
    }
    return EiC_IntResult(l_result);
}

// "DeactivateBargraph": no argument. Tells a running bar task to stop and
// wakes it, so that it ends at once rather than at its next look. Always 0.
// Interpreter's task.
val_t C_BUILTINS::s_DeactivateBargraph() {
    C_BUILTINS *l_instance = m_pInstance;
    if (l_instance != nullptr && l_instance->m_progress_bar_task_id != 0) {
        l_instance->m_progress_bar_active = 0;
        if (l_instance->m_progress_bar_wake != nullptr)
            semGive(l_instance->m_progress_bar_wake);
    }
    return EiC_IntResult(0);
}

bool C_BUILTINS::WaitProgressBarTaskEnd() {
    int l_task_id = m_progress_bar_task_id;
    for (int l_delays = 0;; l_delays++) {
        if (m_progress_bar_task_id == 0)
            return true;
        // A task that is gone without clearing its id (deleted) leaves no
        // task either.
        if (taskIdVerify(l_task_id) != OK) {
            m_progress_bar_task_id.compare_exchange_strong(l_task_id, 0);
            return m_progress_bar_task_id == 0;
        }
        if (l_delays == k_wind_down_delays)
            return false;
        taskDelay(k_wind_down_delay_ticks);
    }
}

void C_BUILTINS::StaticProgressBarTask() {
    plat::log("%ld - (StaticProgressBarTask): Begin\n", tickGet());

    char *l_step_bargraph = nullptr;
    if (symFindByName(sysSymTbl, k_step_bargraph_symbol, &l_step_bargraph, nullptr) == ERROR) {
        l_step_bargraph = nullptr;
        plat::log("%ld - (StaticProgressBarTask): symbol 'StepBargraph__13C_MMI_UPGRADEPci' not "
                  "found\n",
                  tickGet());
    }

    C_BUILTINS *l_instance = m_pInstance;
    if (l_instance != nullptr) {
        int l_polls = 0;
        while (l_instance->m_progress_bar_active == 1) {
            if (l_polls == k_bar_polls_per_step) {
                l_instance->ProgressStep(l_step_bargraph);
                l_polls = 0;
            }
            l_polls++;
            // 100 ticks, or less when "DeactivateBargraph" wakes the task.
            if (l_instance->m_progress_bar_wake != nullptr)
                semTake(l_instance->m_progress_bar_wake, k_bar_poll_ticks);
            else
                taskDelay(k_bar_poll_ticks);
        }
    }

    plat::log("%ld - (StaticProgressBarTask): End\n", tickGet());
    if (l_instance != nullptr)
        l_instance->m_progress_bar_task_id = 0;
}

void C_BUILTINS::ProgressStep(char *p_step_bargraph) {
    C_UNTGZ *l_untgz = C_UNTGZ::GetInstance();
    unsigned long long l_progression = 0;
    if (l_untgz == nullptr || l_untgz->GetProgression(l_progression) != 0)
        return; // no extraction running

    uint32_t l_previous = m_previous_written_bytes;
    uint32_t l_updated = l_previous;
    int l_percent = ProgressStepPercent(l_progression, m_progress_total_size, l_updated);
    // "ActivateBargraph" may have set a new starting count meanwhile: keep it.
    m_previous_written_bytes.compare_exchange_strong(l_previous, l_updated);

    if (p_step_bargraph == nullptr)
        return;
    // The HMI gets a copy: the script's task may replace the text meanwhile.
    char l_text[sizeof m_progress_bar_text];
    bool l_locked = semTake(m_progress_bar_text_lock, WAIT_FOREVER) == OK;
    CopyBounded(l_text, m_progress_bar_text, sizeof l_text);
    if (l_locked)
        semGive(m_progress_bar_text_lock);
    reinterpret_cast<t_step_func>(p_step_bargraph)((_Vx_usr_arg_t)l_text, (_Vx_usr_arg_t)l_percent);
}

int C_BUILTINS::ProgressStepPercent(unsigned long long p_progression, uint32_t p_total_size,
                                    uint32_t &p_previous_written_bytes) {
    if (p_progression == 0)
        return 0;
    if (p_progression <= p_previous_written_bytes)
        return 100; // nothing written since the last step

    plat::log("%ld - (StaticProgressBarTask): revious written bytes (%ld) \n", tickGet(),
              p_previous_written_bytes);
    p_previous_written_bytes = static_cast<uint32_t>(p_progression);

    int l_percent = 100; // a total of 0 counts as done
    if (p_total_size != 0) {
        float l_share = static_cast<float>(p_progression) / static_cast<float>(p_total_size);
        double l_value = l_share * 100.0;
        l_percent = l_value >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(l_value);
    }
    plat::log("%ld - (StaticProgressBarTask): progression %d '%'\n", tickGet(), l_percent);
    return l_percent;
}
