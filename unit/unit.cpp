// Installs every stand-in of the unit's other modules.
#include "unit/unit.h"
#include "unit/boot_db.h"

namespace unit {

void installAll() {
    // Each stand-in adds its install call here.
    resetBootDb();
}

} // namespace unit
