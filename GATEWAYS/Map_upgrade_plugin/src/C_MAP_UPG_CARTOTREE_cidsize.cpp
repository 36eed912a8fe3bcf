// Carto tree: a country's size class. A country information file carries one
// size per SD block size ("CID_SIZE_4", "CID_SIZE_8", "CID_SIZE_16",
// "CID_SIZE_32", the suffix in KiB) and may carry a general "CID_SIZE". The
// SD card's block size is read once per tree, from the device the unit's
// permanent-device service names as the SD card.
#include "C_MAP_UPG_CARTOTREE.h"
#include "C_MAP_UPG_CARTOTREE_LOG.h"

#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "unit/permanent_device.h"

namespace {

// The key read first for each managed block size.
const char *KeyForBlockSize(int p_block_size) {
    switch (p_block_size) {
    case 4096:
        return "CID_SIZE_4";
    case 8192:
        return "CID_SIZE_8";
    case 16384:
        return "CID_SIZE_16";
    case 32768:
        return "CID_SIZE_32";
    default:
        return nullptr;
    }
}

} // namespace

int C_MAP_UPG_CARTOTREE::GetPartitionBlockSize(const CKWString &p_device) {
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, L%d \n", tickGet(), "GetPartitionBlockSize",
                 __LINE__);
    int l_fd = plat::open(p_device.GetBuffer(), 0, 0644);
    if (l_fd == -1) {
        plat::log("%ld - (GetSDBlockSize) ERROR : open ('%s')", tickGet(), p_device.GetBuffer());
        return -1;
    }
    int l_result = -1;
    // Host: fstat reports the block size configured for the device in the
    // simulator's device table, so that any SD card can be played on any
    // host file system; the unit reports the partition's own.
    struct ::stat l_status;
    if (plat::fstat(l_fd, &l_status) == -1) {
        plat::log("%ld - (GetSDBlockSize) ERROR : fstat ('%s')", tickGet(), p_device.GetBuffer());
    } else {
        // The block size as reported; 0 (none reported) is passed on, and the
        // caller reads it again at its next call. st_blksize is wider than an
        // int on the host; a value beyond the int range is no block size the
        // unit knows.
        l_result = (l_status.st_blksize >= 0 && l_status.st_blksize <= 0x7FFFFFFF)
                       ? static_cast<int>(l_status.st_blksize)
                       : -1;
    }
    plat::close(l_fd);
    return l_result;
}

int C_MAP_UPG_CARTOTREE::GetCIDSize(const CKWString &p_file, CKWString &p_size) {
    static const char l_fn[] = "GetCIDSize";
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, L%d \n", tickGet(), l_fn, __LINE__);
    if (m_plgin_partition_blk_size == 0) {
        t_PermanentDeviceName l_device;
        l_device.number = 0;
        l_device.name = nullptr;
        if (PermanentDevice_GetDeviceName(PERMANENT_DEVICE_SD_CARD, &l_device) == 0 &&
            l_device.name != nullptr) {
            m_plgin_partition_blk_size = GetPartitionBlockSize(CKWString(l_device.name));
        } else {
            // The record is not filled when the lookup fails: name the device
            // by its number instead.
            LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, GetPartitionBlockSize (%s) == ERROR \n",
                         tickGet(), l_fn, "permanent device 5");
        }
    }
    if (m_plgin_partition_blk_size <= 0) {
        LogCartoTree(g_carto_log_block_size_bad, tickGet(), l_fn, m_plgin_partition_blk_size);
        return -1;
    }

    int l_result = -1;
    const char *l_key = KeyForBlockSize(m_plgin_partition_blk_size);
    if (l_key != nullptr) {
        l_result = GetValueInFile(p_file, CKWString(l_key), p_size);
    } else {
        LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, SD Block size (%ld) not managed! \n",
                     tickGet(), l_fn, m_plgin_partition_blk_size);
    }
    if (l_result != 0) {
        l_result = GetValueInFile(p_file, CKWString("CID_SIZE"), p_size);
        if (l_result != 0)
            LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s, CID_SIZE not present in file (%s)! \n",
                         tickGet(), l_fn, p_file.GetBuffer());
    }
    LogCartoTree("%ld - (C_MAP_UPG_CARTOTREE)  %s,  of '%s' PartitionBlockSize = %d, CID_size = "
                 "'%s' \n",
                 tickGet(), l_fn, p_file.GetBuffer(), m_plgin_partition_blk_size,
                 p_size.GetBuffer());
    return l_result;
}
