// Upgrade copy and SD block-size builtins.
// Not available yet: each handler logs so and fails.
#include "builtins/C_BUILTINS.h"

val_t C_BUILTINS::s_GetSDBlockSize() {
    logMsg("s_GetSDBlockSize: not available yet\n");
    return EiC_IntResult(-1);
}

val_t C_BUILTINS::s_UPGCopy() {
    logMsg("s_UPGCopy: not available yet\n");
    return EiC_IntResult(-1);
}

int C_BUILTINS::BuiltinsCopy(const char *, const char *) {
    logMsg("BuiltinsCopy: not available yet\n");
    return -1;
}
