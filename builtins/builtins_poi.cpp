// POI installation builtin "InstalPOIs": hands the POI archive and the
// progress-bar text to one C_POI_UPG object and returns its upgrade's result.
#include "builtins/C_BUILTINS.h"

#include "platform/plat_log.h"

#include "foundation/CKWString.h"
#include "poi_upgrade/C_POI_UPG.h"

#include <cstring>

namespace {

// Local copies of the two texts: at most 765 characters and a NUL.
const unsigned long k_text_buffer_size = 768;
const unsigned long k_text_max_length = 765;

} // namespace

// Builtin "InstalPOIs". Argument 0 char*: path of the POI archive; argument 1
// char*: the text the progress bar shows. Returns the result of
// C_POI_UPG::UpgradeTask() (0 on success). An archive path that is null or
// longer than 765 characters is refused (-1), since a cut path would name
// another file; a longer bargraph text is shown cut, and a null one empty.
// Interpreter's task; the installation runs synchronously on it.
val_t C_BUILTINS::s_InstalPOIs() {
    const char *l_arg_archive = static_cast<const char *>(EiC_ArgPtr(0));
    const char *l_arg_text = static_cast<const char *>(EiC_ArgPtr(1));

    if (l_arg_archive == nullptr) {
        plat::log("InstalPOIs ERROR: null archive path\n");
        return EiC_IntResult(-1);
    }
    if (strnlen(l_arg_archive, k_text_max_length + 1) > k_text_max_length) {
        plat::log("InstalPOIs ERROR: archive path longer than %d characters\n", k_text_max_length);
        return EiC_IntResult(-1);
    }

    char l_archive[k_text_buffer_size];
    char l_bargraph_text[k_text_buffer_size];
    std::memset(l_archive, 0, sizeof l_archive);
    std::memset(l_bargraph_text, 0, sizeof l_bargraph_text);
    std::strncpy(l_archive, l_arg_archive, k_text_max_length);
    if (l_arg_text != nullptr)
        std::strncpy(l_bargraph_text, l_arg_text, k_text_max_length);

    int l_result = 0;
    {
        CKWString l_archive_path(l_archive, -1, 0);
        plat::log("********************************************\n");
        plat::log("************** Instal POIs *****************\n");
        plat::log("********************************************\n");
        C_POI_UPG l_poi_upgrade(l_archive_path, l_bargraph_text);
        l_result = l_poi_upgrade.UpgradeTask();
    }
    return EiC_IntResult(l_result);
}
