// Permanent-device service of the unit (stand-in): PermanentDevice_GetDeviceName
// names the unit's permanent storage devices by number. Device 5 is the SD
// card, "/SDH". Tests can make the lookup fail.
#ifndef UNIT_PERMANENT_DEVICE_H
#define UNIT_PERMANENT_DEVICE_H

// Number of the SD card among the permanent devices.
#define PERMANENT_DEVICE_SD_CARD 5

// What the service tells about one device. Callers read only `name`.
typedef struct {
    int number;       // the device's number
    const char *name; // the device's name, NUL-terminated (static storage)
} t_PermanentDeviceName;

// Fills *p_name for device p_device. 0 on success; -1 for an unknown device, a
// null record, or while a test makes the service fail (the record is then not
// written). Any task.
int PermanentDevice_GetDeviceName(int p_device, t_PermanentDeviceName *p_name);

namespace unit {

// Makes every later lookup fail (true) or work again (false).
void setPermanentDeviceFailing(bool p_failing);
// Number of lookups since the last reset.
int permanentDeviceLookups();
// Start state: lookups work, count 0.
void resetPermanentDevice();

} // namespace unit

#endif
