// C_BUILTINS: the module's entry point. The singleton registers the fourteen
// builtins of the upgrade-script interpreter, holds the progress-bar task's
// bookkeeping, copies files and owns the one carto tree.
//
// Every builtin handler takes its arguments from the interpreter's argument
// slots (platform/eic.h) and returns its int result in a val_t. Handlers run on
// the interpreter's task, one call at a time.
#ifndef BUILTINS_C_BUILTINS_H
#define BUILTINS_C_BUILTINS_H

#include "platform/eic.h"
#include "platform/vxworks.h"

#include <atomic>
#include <cstdint>

class C_MAP_UPG_CARTOTREE;

// Suffixes of the temporary name UPGCopy writes a copy under beside its
// destination ("X~upgcopy"), tried in turn: the first whose name is not the
// source itself. A power cut can leave one beside an intact destination.
inline constexpr char k_copy_temp_suffix[] = "~upgcopy";
inline constexpr char k_copy_temp_suffix_alt1[] = "~upgcpy1";
inline constexpr char k_copy_temp_suffix_alt2[] = "~upgcpy2";

// Size of the script's country table handed to "Get_DVD_CIDInfoList".
#define COUNTRY_TABLE_SIZE 11680

class C_BUILTINS {
public:
    // Creates the singleton on the first call and (re)registers all builtins on
    // every call. Returns the singleton, or null when it cannot be allocated.
    // Interpreter host's task.
    static C_BUILTINS *Instance();
    // The singleton, or null; creates nothing.
    static C_BUILTINS *GetInstance();
    // Registers the fourteen builtins in table order. 0 when all succeeded, -1
    // when at least one failed (each failure is logged with its name).
    static int AddBuiltInFunctions();
    // The singleton's carto tree, or null when there is no singleton (or its
    // carto tree could not be allocated).
    static C_MAP_UPG_CARTOTREE *GetCartoTreeInstance();

    // ---- HMI and history builtins (builtins_hmi.cpp) ----
    static val_t s_ShowNavigationErasingCountryScreen();
    static val_t s_ShowCDCanceled();
    static val_t s_AddUPGHistoryCommentary();
    static val_t s_GetMMIStateActive();

    // ---- Progress bargraph and extraction (builtins_bargraph.cpp) ----
    // Extracts the .tgz archive into the destination folder; 0 or -1.
    static int UnCompress(char *p_archive, char *p_destination);
    static val_t s_UnCompress();
    static val_t s_ActivateBargraph();
    static val_t s_DeactivateBargraph();
    // Body of the task "BarGraphTask": every 500 ticks, hands the extraction's
    // progress as a percentage with the bar's text to the HMI, until
    // "DeactivateBargraph". Runs on its own task only.
    static void StaticProgressBarTask();
    // Percentage of one progress step for the extraction progression
    // p_progression, given the byte count that makes 100 percent and the low 32
    // bits of the progression seen at the last computed step, which it updates
    // when bytes were written since then (and logs that step). 0 for no byte
    // written, 100 when nothing was written since the last step or when
    // p_total_size is 0; otherwise the share of p_total_size, not capped at 100
    // but at the int range. Any task.
    static int ProgressStepPercent(unsigned long long p_progression, uint32_t p_total_size,
                                   uint32_t &p_previous_written_bytes);

    // ---- Copy and SD block size (builtins_copy.cpp) ----
    // Replaces p_Dest with a copy of p_Source; 0 or -1. Any task.
    static int BuiltinsCopy(const char *p_Source, const char *p_Dest);
    static val_t s_GetSDBlockSize();
    static val_t s_UPGCopy();

    // ---- POI installation (builtins_poi.cpp) ----
    static val_t s_InstalPOIs();

    // ---- Map media analysis (builtins_upgtype.cpp, builtins_cidlist.cpp) ----
    static val_t s_UpdateDataForCartoTree();
    static val_t s_GetNavUpgType();
    static val_t s_GetUpgDVD_CurrVersNaviFile();
    static val_t s_Get_DVD_CIDInfoList();

    // Sets m_pInstance to null and releases the carto tree. Nothing in the
    // module calls it; no bar task may run then (host tests only).
    virtual ~C_BUILTINS();

private:
    C_BUILTINS();
    C_BUILTINS(const C_BUILTINS &) = delete;
    C_BUILTINS &operator=(const C_BUILTINS &) = delete;

    // Shared with "BarGraphTask" without a lock on the unit; atomics on the
    // host (single-word stores there, same observable behaviour here).
    std::atomic<int> m_progress_bar_task_id;
    std::atomic<int> m_progress_bar_active;
    char m_progress_bar_text[255];
    std::atomic<uint32_t> m_progress_total_size;
    std::atomic<uint32_t> m_previous_written_bytes;
    C_MAP_UPG_CARTOTREE *m_carto_tree;

    // ---- Private members of the bargraph (builtins_bargraph.cpp) ----
    // Guards m_progress_bar_text: the script's task replaces it while the bar
    // task reads it. (The unit tolerates a mixed text for one step.)
    SEM_ID m_progress_bar_text_lock;
    // Given by "DeactivateBargraph" so that the bar task, which waits on it
    // between two looks at m_progress_bar_active, ends at once instead of at
    // its next look (it still looks every 100 ticks). Null when it could not
    // be created: the task then sleeps between looks.
    SEM_ID m_progress_bar_wake;
    // Waits (bounded) until a bar task that was told to stop has ended. True
    // when no bar task is left. Interpreter's task.
    bool WaitProgressBarTaskEnd();
    // One progress step of the bar task, handing the percentage to the HMI
    // entry p_step_bargraph (null: computed and logged only). Bar task only.
    void ProgressStep(char *p_step_bargraph);

    // Carto tree for the map-analysis builtins, or null with the log line
    // naming the builtin (builtins_upgtype.cpp).
    static C_MAP_UPG_CARTOTREE *CartoTreeOrLeave(const char *p_scope);

    static C_BUILTINS *m_pInstance;
};

#endif
