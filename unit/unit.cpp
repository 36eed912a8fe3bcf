// Installs every stand-in of the unit's other modules.
#include "unit/unit.h"
#include "unit/appli_active.h"
#include "unit/boot_db.h"
#include "unit/history.h"
#include "unit/hmi.h"
#include "unit/permanent_device.h"
#include "unit/storage.h"
#include "unit/systool.h"

#include "unit/file_search.h"

namespace unit {

void installAll() {
    // Each stand-in adds its install call here.
    resetBootDb();
    resetHmi();
    resetHistory();
    resetAppliActive();
    resetStorage();
    resetPermanentDevice();
    resetSysTool();
    installFileSearch();
}

} // namespace unit
