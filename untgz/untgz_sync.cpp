// Durability of an extraction: before Untar returns OK, everything it wrote is
// flushed to the medium, so that a power loss after the success cannot take
// back what was claimed.
#include "untgz/C_UNTGZ.h"

#include "platform/plat_io.h"
#include "platform/plat_log.h"
#include "untgz/C_UNTGZ_LOG.h"

#include <cstring>

// One flush of the whole device, not a sync of each file at its close: on a
// few hundred files it costs a small fraction of the per-file syncs (every
// file sync also writes the file system's tables), and the writer tasks'
// one-write-per-run pace stays as it is. The device is the destination's
// first path component ("/SDH" for "/SDH/MAPPE/"); a relative destination
// lies on the device of the current folder.
int C_UNTGZ::SyncDestination() {
    char l_device[UNTGZ_PATH_SIZE];
    memset(l_device, 0, sizeof(l_device));
    if (m_dest_folder[0] == '/') {
        const char *l_end = strchr(m_dest_folder + 1, '/');
        size_t l_len = l_end != nullptr ? (size_t)(l_end - m_dest_folder) : strlen(m_dest_folder);
        memcpy(l_device, m_dest_folder, l_len < sizeof(l_device) ? l_len : sizeof(l_device) - 1);
    } else {
        l_device[0] = '.';
    }
    int l_fd = plat::open(l_device, O_RDONLY, 0);
    int l_rc = l_fd >= 0 ? plat::ioctl(l_fd, FIOSYNC, 0) : -1;
    int l_errno = errnoGet();
    if (l_fd >= 0)
        plat::close(l_fd);
    if (l_rc == 0)
        return OK;
    plat::log(g_untgz_log_flush, tickGet(), m_tar_file, l_device, strerror(l_errno));
    return ERROR;
}
