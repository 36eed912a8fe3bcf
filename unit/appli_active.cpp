// Application-activity stand-in: one activity object that the object-pointer
// table hands out under (6000, 0) while it is registered.
#include "unit/appli_active.h"

namespace {

C_APPLI_ACTIVE g_appli_active;
std::atomic<bool> g_appli_registered{true};

} // namespace

void *C_OBJ_PTR_Table::GetObjPtr(unsigned short p_id, unsigned short p_sub_id) {
    if (p_id == 6000 && p_sub_id == 0 && g_appli_registered.load(std::memory_order_relaxed))
        return &g_appli_active;
    return nullptr;
}

namespace unit {

void resetAppliActive() {
    g_appli_active.SetActivated(1);
    g_appli_registered.store(true, std::memory_order_relaxed);
}

void setAppliActiveRegistered(bool registered) {
    g_appli_registered.store(registered, std::memory_order_relaxed);
}

void setAppliActive(bool active) {
    g_appli_active.SetActivated(active ? 1 : 0);
}

} // namespace unit
