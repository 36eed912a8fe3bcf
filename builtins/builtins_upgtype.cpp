// Upgrade-type builtins: drives, upgrade type, current-version file.
// Not available yet: each handler logs so and fails.
#include "builtins/C_BUILTINS.h"

val_t C_BUILTINS::s_UpdateDataForCartoTree() {
    logMsg("s_UpdateDataForCartoTree: not available yet\n");
    return EiC_IntResult(-1);
}

val_t C_BUILTINS::s_GetNavUpgType() {
    logMsg("s_GetNavUpgType: not available yet\n");
    return EiC_IntResult(-1);
}

val_t C_BUILTINS::s_GetUpgDVD_CurrVersNaviFile() {
    logMsg("s_GetUpgDVD_CurrVersNaviFile: not available yet\n");
    return EiC_IntResult(-1);
}

