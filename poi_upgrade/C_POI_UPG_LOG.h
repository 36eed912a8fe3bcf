// The POI merge's log texts that the host tools read back to say why an
// installation failed. Each is the format of one plat::log call of the
// merge, written once here and used by that call: a tool recognises a line
// by the same constant, so a reworded text cannot silently change what a
// tool concludes.
#ifndef C_POI_UPG_LOG_H
#define C_POI_UPG_LOG_H

// Arguments: the folder, errno.
inline constexpr char g_poi_log_read_folder[] =
    "%ld - (C_POI_UPG) reading folder %s failed (errno = 0x%X)\n";
// Arguments: the device ("/SDH"), errno.
inline constexpr char g_poi_log_flush[] =
    "%ld - (C_POI_UPG) UpgradeTask : flush of %s failed (errno = 0x%X)\n";
// Arguments: the delivery's version file, errno.
inline constexpr char g_poi_log_version_file[] =
    "%ld - (C_POI_UPG) UpgradeTask : version file %s cannot be read (errno = 0x%X)\n";
// Arguments: the user's POI folder, errno.
inline constexpr char g_poi_log_cannot_open[] =
    "%ld - (C_POI_UPG) MergeThisNewPOI : cannot open %s (errno = 0x%X)\n";

#endif
