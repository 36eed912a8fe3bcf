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
    // Body of the task "BarGraphTask".
    static void StaticProgressBarTask();

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

    static C_BUILTINS *m_pInstance;
};

#endif
