// HMI, upgrade-history and application-activity builtins.
// Not available yet: each handler logs so and fails.
#include "builtins/C_BUILTINS.h"

val_t C_BUILTINS::s_ShowNavigationErasingCountryScreen() {
    logMsg("s_ShowNavigationErasingCountryScreen: not available yet\n");
    return EiC_IntResult(-1);
}

val_t C_BUILTINS::s_ShowCDCanceled() {
    logMsg("s_ShowCDCanceled: not available yet\n");
    return EiC_IntResult(-1);
}

val_t C_BUILTINS::s_AddUPGHistoryCommentary() {
    logMsg("s_AddUPGHistoryCommentary: not available yet\n");
    return EiC_IntResult(-1);
}

val_t C_BUILTINS::s_GetMMIStateActive() {
    logMsg("s_GetMMIStateActive: not available yet\n");
    return EiC_IntResult(-1);
}

