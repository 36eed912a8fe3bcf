// C_BUILTINS singleton: creation, the builtin table and its registration with
// the script interpreter.
#include "builtins/C_BUILTINS.h"

#include "platform/plat_log.h"

#include "C_MAP_UPG_CARTOTREE.h"

#include <cstring>
#include <new>

C_BUILTINS *C_BUILTINS::m_pInstance = nullptr;

namespace {

// One row of the builtin table: script name, handler, and the message logged
// when its registration fails.
struct t_builtin_row {
    const char *name;
    EiC_BuiltinFunc handler;
    const char *failure_message;
};

const char k_add_failed[] = "Failed to add builtin '%s'\n";
const char k_poi_failed[] = "Failed to instal POIs '%s'\n";
const char k_mmi_failed[] = "Failed to Get MMI State Active '%s'\n";

const t_builtin_row k_builtins[] = {
    {"ShowNavigationErasingCountryScreen", C_BUILTINS::s_ShowNavigationErasingCountryScreen,
     k_add_failed},
    {"ShowCDCanceled", C_BUILTINS::s_ShowCDCanceled, k_add_failed},
    {"AddUPGHistoryCommentary", C_BUILTINS::s_AddUPGHistoryCommentary, k_add_failed},
    {"UnCompress", C_BUILTINS::s_UnCompress, k_add_failed},
    {"ActivateBargraph", C_BUILTINS::s_ActivateBargraph, k_add_failed},
    {"DeactivateBargraph", C_BUILTINS::s_DeactivateBargraph, k_add_failed},
    {"GetSDBlockSize", C_BUILTINS::s_GetSDBlockSize, k_add_failed},
    {"UPGCopy", C_BUILTINS::s_UPGCopy, k_add_failed},
    {"InstalPOIs", C_BUILTINS::s_InstalPOIs, k_poi_failed},
    {"GetMMIStateActive", C_BUILTINS::s_GetMMIStateActive, k_mmi_failed},
    {"UpdateDataForCartoTree", C_BUILTINS::s_UpdateDataForCartoTree, k_mmi_failed},
    {"GetNavUpgType", C_BUILTINS::s_GetNavUpgType, k_mmi_failed},
    {"GetUpgDVD_CurrVersNaviFile", C_BUILTINS::s_GetUpgDVD_CurrVersNaviFile, k_mmi_failed},
    {"Get_DVD_CIDInfoList", C_BUILTINS::s_Get_DVD_CIDInfoList, k_mmi_failed},
};

} // namespace

C_BUILTINS::C_BUILTINS()
    : m_progress_bar_task_id(0), m_progress_bar_active(0), m_progress_total_size(0),
      m_previous_written_bytes(0), m_carto_tree(new (std::nothrow) C_MAP_UPG_CARTOTREE(0)),
      m_progress_bar_text_lock(semBCreate(SEM_Q_FIFO, SEM_FULL)),
      m_progress_bar_wake(semBCreate(SEM_Q_FIFO, SEM_EMPTY)) {
    std::memset(m_progress_bar_text, 0, sizeof m_progress_bar_text);
}

C_BUILTINS::~C_BUILTINS() {
    // Nothing in the module destroys the singleton. The host's tests do,
    // between two tests and once no bar task runs, so that each test starts
    // without one whatever ran before it: the carto tree and the text lock go
    // with it.
    m_pInstance = nullptr;
    delete m_carto_tree;
    m_carto_tree = nullptr;
    if (m_progress_bar_text_lock != nullptr)
        semDelete(m_progress_bar_text_lock);
    if (m_progress_bar_wake != nullptr)
        semDelete(m_progress_bar_wake);
}

C_BUILTINS *C_BUILTINS::Instance() {
    if (m_pInstance == nullptr)
        m_pInstance = new (std::nothrow) C_BUILTINS();
    if (m_pInstance != nullptr)
        AddBuiltInFunctions();
    return m_pInstance;
}

C_BUILTINS *C_BUILTINS::GetInstance() {
    return m_pInstance;
}

int C_BUILTINS::AddBuiltInFunctions() {
    int l_result = 0;
    for (const t_builtin_row &l_row : k_builtins) {
        EiC_RemoveBuiltInFunc(l_row.name);
        if (EiC_AddBuiltInFunc(l_row.name, l_row.handler) == -1) {
            l_result = -1;
            plat::log(l_row.failure_message, l_row.name);
        }
    }
    return l_result;
}

C_MAP_UPG_CARTOTREE *C_BUILTINS::GetCartoTreeInstance() {
    C_BUILTINS *l_instance = GetInstance();
    return l_instance == nullptr ? nullptr : l_instance->m_carto_tree;
}
