// POI installation builtin.
// Not available yet: each handler logs so and fails.
#include "builtins/C_BUILTINS.h"

val_t C_BUILTINS::s_InstalPOIs() {
    logMsg("s_InstalPOIs: not available yet\n");
    return EiC_IntResult(-1);
}

