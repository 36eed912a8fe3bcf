// HMI, upgrade-history and application-activity builtins: the screens of a
// canceled or unreadable medium and of the countries being erased, a comment
// in the upgrade history, and whether the application is active.
//
// The HMI and history modules are not linked to this module: their functions
// are looked up by link name in the system symbol table at every call, so that
// the module loads and runs on a unit without them.
#include "builtins/C_BUILTINS.h"

#include "platform/plat_log.h"

#include "unit/appli_active.h"

namespace {

// Entry points of the other modules, called with pointer-sized integer
// arguments only.
typedef int (*t_func0)();
typedef int (*t_func1)(_Vx_usr_arg_t);
typedef int (*t_func4)(_Vx_usr_arg_t, _Vx_usr_arg_t, _Vx_usr_arg_t, _Vx_usr_arg_t);
typedef int (*t_func5)(_Vx_usr_arg_t, _Vx_usr_arg_t, _Vx_usr_arg_t, _Vx_usr_arg_t, _Vx_usr_arg_t);

// Address of the function linked as p_name, or null when no loaded module
// provides it. Nothing is cached: the module providing it may come and go.
char *FindFunction(const char *p_name) {
    char *l_address = nullptr;
    if (symFindByName(sysSymTbl, p_name, &l_address, nullptr) == ERROR)
        return nullptr;
    return l_address;
}

template <typename T> T AsFunction(char *p_address) {
    return reinterpret_cast<T>(p_address);
}

} // namespace

// "ShowNavigationErasingCountryScreen": arguments 0 to 4, five 32-bit values
// for the HMI's erase-country screen, passed on unchanged (the fifth, a size,
// only to the variant that takes it). 0, or -1 when neither HMI function
// exists or the one called returned -1. Interpreter's task.
val_t C_BUILTINS::s_ShowNavigationErasingCountryScreen() {
    _Vx_usr_arg_t l_args[5];
    for (int l_i = 0; l_i < 5; l_i++)
        l_args[l_i] = (_Vx_usr_arg_t)EiC_ArgInt(l_i);

    int l_result = 0;
    int l_called = 0;
    plat::log("s_ShowNavigationErasingCountryScreen +\n");

    char *l_with_size = FindFunction("s_ShowNavigationEraseCountryScreenWithSize__13C_MMI_UPGRADE");
    if (l_with_size != nullptr) {
        plat::log("s_ShowNavigationErasingCountryScreen: calling "
                  "'ShowNavigationEraseCountryScreenWithSize'\n");
        l_called =
            AsFunction<t_func5>(l_with_size)(l_args[0], l_args[1], l_args[2], l_args[3], l_args[4]);
    } else {
        char *l_without_size = FindFunction("s_ShowNavigationEraseCountryScreen__13C_MMI_UPGRADE");
        if (l_without_size == nullptr) {
            plat::log("s_ShowNavigationErasingCountryScreen: Error UNRESOLVED symbol "
                      "s_ShowNavigationEraseCountryScreen__13C_MMI_UPGRADE\n");
            l_result = -1;
        } else {
            plat::log("s_ShowNavigationErasingCountryScreen: calling "
                      "'ShowNavigationEraseCountryScreen'\n");
            l_called =
                AsFunction<t_func4>(l_without_size)(l_args[0], l_args[1], l_args[2], l_args[3]);
        }
    }
    if (l_called == ERROR) {
        plat::log("s_ShowNavigationErasingCountryScreen: FuncEntry returned ERROR\n");
        l_result = -1;
    }

    plat::log("s_ShowNavigationErasingCountryScreen -\n");
    return EiC_IntResult(l_result);
}

// "ShowCDCanceled": no argument. Shows the canceled-medium screen, or the
// medium-problem screen on an HMI without it. 0, or -1 when neither function
// exists or the one called returned -1. Interpreter's task.
val_t C_BUILTINS::s_ShowCDCanceled() {
    int l_result = 0;
    int l_called = 0;
    plat::log("s_ShowCDCanceled +\n");

    char *l_canceled = FindFunction("s_ShowMediaCanceled__13C_MMI_UPGRADE");
    if (l_canceled != nullptr) {
        plat::log("s_ShowCDCanceled: calling 'ShowMediaCanceled'\n");
        l_called = AsFunction<t_func0>(l_canceled)();
    } else {
        char *l_problem = FindFunction("s_ShowCDProblem__13C_MMI_UPGRADE");
        if (l_problem == nullptr) {
            plat::log("s_ShowCDCanceled: Error UNRESOLVED symbol s_ShowCDProblem\n");
            l_result = -1;
        } else {
            plat::log("s_ShowCDCanceled: calling 's_ShowCDProblem'\n");
            l_called = AsFunction<t_func0>(l_problem)();
        }
    }
    if (l_called == ERROR) {
        plat::log("s_ShowCDCanceled: FuncEntry returned ERROR\n");
        l_result = -1;
    }

    plat::log("s_ShowCDCanceled -\n");
    return EiC_IntResult(l_result);
}

// "AddUPGHistoryCommentary": argument 0, the comment (char*). 0, or -1 when
// the history function returned -1; a unit without the history module is no
// error (0). Interpreter's task.
val_t C_BUILTINS::s_AddUPGHistoryCommentary() {
    char *l_comment = static_cast<char *>(EiC_ArgPtr(0));
    int l_result = 0;
    plat::log("s_AddUPGHistoryCommentary ('%s') +\n", l_comment);

    char *l_history = FindFunction("s_AddUPGHistoryComment__18C_EXTERNAL_UPGRADE");
    if (l_history == nullptr) {
        plat::log("s_AddUPGHistoryCommentary: unresolved symbol AddUPGHistoryComment !'\n");
    } else {
        plat::log("s_AddUPGHistoryCommentary: calling 's_AddUPGHistoryComment'\n");
        if (AsFunction<t_func1>(l_history)((_Vx_usr_arg_t)l_comment) == ERROR) {
            plat::log("s_AddUPGHistoryCommentary: FuncEntry returned ERROR\n");
            l_result = -1;
        }
    }

    plat::log("s_AddUPGHistoryCommentary -\n");
    return EiC_IntResult(l_result);
}

// "GetMMIStateActive": no argument. 1 when the application-activity object
// registered under (6000, 0) reports active; 0 when it does not or when no
// object is registered. Logs nothing. Interpreter's task.
val_t C_BUILTINS::s_GetMMIStateActive() {
    int l_result = 0;
    void *l_object = C_OBJ_PTR_Table::GetObjPtr(6000, 0);
    if (l_object != nullptr && static_cast<C_APPLI_ACTIVE *>(l_object)->IsActivated() != 0)
        l_result = 1;
    return EiC_IntResult(l_result);
}
