// Permanent-device service of the unit (stand-in): the table of device names
// and the switch that makes lookups fail.
#include "unit/permanent_device.h"

#include <atomic>

namespace {

std::atomic<bool> g_failing{false};
std::atomic<int> g_lookups{0};

struct t_device_row {
    int number;
    const char *name;
};

// The unit's permanent devices as the module knows them.
const t_device_row g_devices[] = {
    {1, "/F"},
    {PERMANENT_DEVICE_SD_CARD, "/SDH"},
};

} // namespace

int PermanentDevice_GetDeviceName(int p_device, t_PermanentDeviceName *p_name) {
    g_lookups.fetch_add(1, std::memory_order_relaxed);
    if (p_name == nullptr || g_failing.load(std::memory_order_relaxed))
        return -1;
    for (const t_device_row &l_row : g_devices) {
        if (l_row.number == p_device) {
            p_name->number = l_row.number;
            p_name->name = l_row.name;
            return 0;
        }
    }
    return -1;
}

namespace unit {

void setPermanentDeviceFailing(bool p_failing) {
    g_failing.store(p_failing, std::memory_order_relaxed);
}

int permanentDeviceLookups() {
    return g_lookups.load(std::memory_order_relaxed);
}

void resetPermanentDevice() {
    g_failing.store(false, std::memory_order_relaxed);
    g_lookups.store(0, std::memory_order_relaxed);
}

} // namespace unit
