// Storage module of the unit (stand-in): the cartography directory.
#include "unit/storage.h"

#include <mutex>

namespace {

std::mutex g_lock;
std::string g_cartography_dir = "/SDH/";

} // namespace

C_FS_STORAGE_ENTITY::C_FS_STORAGE_ENTITY() {}

C_FS_STORAGE_ENTITY::~C_FS_STORAGE_ENTITY() {}

CKWString C_FS_STORAGE_ENTITY::GetName() const {
    return m_name;
}

void C_FS_STORAGE_ENTITY::SetName(const CKWString &p_name) {
    m_name = p_name;
}

int C_FS_STORAGE_CTRL_PATH::GetCartographyDir(C_FS_STORAGE_ENTITY &p_entity) {
    std::string l_dir;
    {
        std::lock_guard<std::mutex> l_guard(g_lock);
        l_dir = g_cartography_dir;
    }
    p_entity.SetName(CKWString(l_dir.c_str()));
    return 0;
}

namespace unit {

void setCartographyDir(const std::string &dir) {
    std::lock_guard<std::mutex> l_guard(g_lock);
    g_cartography_dir = dir;
}

void resetStorage() {
    setCartographyDir("/SDH/");
}

} // namespace unit
