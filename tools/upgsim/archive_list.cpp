// The entries of a .tgz archive read with libarchive: what "untar --json" and
// "install-pois --json" report beside what the module's extractor did.
#include "tools/upgsim/upgsim.h"

#include "platform/hostsim/hostsim.h"

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace upgsim {

bool listArchive(const std::string &hostPath, std::vector<ArchiveEntry> &entries,
                 std::string &error) {
    entries.clear();
    struct archive *reader = archive_read_new();
    if (reader == nullptr) {
        error = "out of memory";
        return false;
    }
    archive_read_support_filter_gzip(reader);
    archive_read_support_format_tar(reader);
    // Opened here, without waiting and only as a regular file: a FIFO would
    // hold libarchive's own open.
    const int fd = hostsim::openRegularFile(hostPath);
    if (fd < 0) {
        error = std::strerror(errno);
        archive_read_free(reader);
        return false;
    }
    bool ok = archive_read_open_fd(reader, fd, 64 * 1024) == ARCHIVE_OK;
    struct archive_entry *entry = nullptr;
    int status = ARCHIVE_OK;
    while (ok && (status = archive_read_next_header(reader, &entry)) == ARCHIVE_OK) {
        ArchiveEntry e;
        const char *path = archive_entry_pathname(entry);
        e.path = path != nullptr ? path : "";
        // A hard link has a regular file's type but no data of its own.
        if (archive_entry_filetype(entry) == AE_IFDIR)
            e.kind = ArchiveEntry::Kind::Folder;
        else if (archive_entry_filetype(entry) == AE_IFREG &&
                 archive_entry_hardlink(entry) == nullptr)
            e.kind = ArchiveEntry::Kind::File;
        if (e.kind == ArchiveEntry::Kind::File && archive_entry_size_is_set(entry) &&
            archive_entry_size(entry) > 0)
            e.size = static_cast<unsigned long long>(archive_entry_size(entry));
        entries.push_back(e);
        archive_read_data_skip(reader);
    }
    if (!ok || status != ARCHIVE_EOF) {
        const char *text = archive_error_string(reader);
        error = text != nullptr ? text : "cannot read the archive";
        ok = false;
    }
    archive_read_free(reader);
    ::close(fd);
    return ok;
}

} // namespace upgsim
