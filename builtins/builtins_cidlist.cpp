// Country-list builtin.
// Not available yet: each handler logs so and fails.
#include "builtins/C_BUILTINS.h"

val_t C_BUILTINS::s_Get_DVD_CIDInfoList() {
    logMsg("s_Get_DVD_CIDInfoList: not available yet\n");
    return EiC_IntResult(-1);
}

