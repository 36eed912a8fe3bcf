// Storage module of the unit (stand-in): the storage entity and the path
// controller that names the cartography directory of the SD card, "/SDH/"
// (installed maps lie under its "MAPPE/"). Tests may name another directory.
#ifndef UNIT_STORAGE_H
#define UNIT_STORAGE_H

#include "foundation/CKWString.h"

#include <string>

// One storage location of the unit: its name is the location's path prefix,
// ending in "/".
class C_FS_STORAGE_ENTITY {
public:
    // An entity with an empty name.
    C_FS_STORAGE_ENTITY();
    virtual ~C_FS_STORAGE_ENTITY();

    // The location's path prefix (a copy).
    CKWString GetName() const;
    void SetName(const CKWString &p_name);

private:
    CKWString m_name;
};

// The unit's storage paths.
class C_FS_STORAGE_CTRL_PATH {
public:
    // Fills p_entity with the cartography directory of the SD card. Returns 0
    // (the module does not consult it). Any task.
    static int GetCartographyDir(C_FS_STORAGE_ENTITY &p_entity);
};

namespace unit {

// Makes GetCartographyDir name `dir` (a prefix ending in "/").
void setCartographyDir(const std::string &dir);
// Start state: "/SDH/".
void resetStorage();

} // namespace unit

#endif
