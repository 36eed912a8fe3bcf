// Reading why the module failed from its log lines: each line a command
// explains is recognised by the module's own named format (the *_LOG.h
// headers of the extractor, the copy, the POI merge and the configuration
// service), never by a text of the tool's own.
#ifndef TOOLS_UPGSIM_WHY_H
#define TOOLS_UPGSIM_WHY_H

#include "platform/hostsim/hostsim.h"

#include <string>
#include <vector>

namespace upgsim {

// What kind of failure a module line tells.
enum class FailureKind {
    None,              // no line the commands explain
    ArchiveOpen,       // the extractor cannot open the archive
    ExtractCreate,     // ... cannot create an entry's file
    ArchiveRead,       // ... cannot read the compressed stream
    ExtractRefused,    // ... refused a header or an entry, or an entry's file failed
    ExtractFlush,      // ... cannot flush what it wrote
    CopyOpen,          // UPGCopy cannot open its source or target
    CopyIo,            // ... a read, write, sync or close failed
    CopyRename,        // ... cannot put the copy in place
    CopyNotRegular,    // ... its source is no readable regular file
    CopyPathTooLong,   // ... a path is too long
    PoiOpen,           // the POI merge cannot open a POI folder
    PoiVersionFile,    // ... cannot read the delivery's version file
    PoiFlush,          // ... cannot flush the card
    PoiFolder,         // ... cannot read a folder
    ConfigCrc,         // the configuration service refused a file's integrity
    ConfigNoVersion,   // ... found no version of a file
    ConfigUnreadable,  // ... cannot read a file
    ConfigVersions,    // ... found files of different versions
    ConfigBootVersion, // ... cannot read the boot database's version
    ConfigHardware,    // ... cannot read the hardware release
};

// The first failure the module's lines tell.
struct ModuleFailure {
    FailureKind kind = FailureKind::None;
    std::string path;   // the file, folder or device the line names (may be empty)
    std::string reason; // the one-line explanation; empty when kind is None
};

// Reads the first line of `lines` (console output skipped) that tells a
// failure the commands explain.
ModuleFailure readModuleFailure(const std::vector<hostsim::LogLine> &lines);

} // namespace upgsim

#endif
