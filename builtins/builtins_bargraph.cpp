// Progress bargraph task and archive extraction builtins.
// Not available yet: each handler logs so and fails.
#include "builtins/C_BUILTINS.h"

val_t C_BUILTINS::s_UnCompress() {
    logMsg("s_UnCompress: not available yet\n");
    return EiC_IntResult(-1);
}

val_t C_BUILTINS::s_ActivateBargraph() {
    logMsg("s_ActivateBargraph: not available yet\n");
    return EiC_IntResult(-1);
}

val_t C_BUILTINS::s_DeactivateBargraph() {
    logMsg("s_DeactivateBargraph: not available yet\n");
    return EiC_IntResult(-1);
}

int C_BUILTINS::UnCompress(char *, char *) {
    logMsg("UnCompress: not available yet\n");
    return -1;
}

void C_BUILTINS::StaticProgressBarTask() {}
