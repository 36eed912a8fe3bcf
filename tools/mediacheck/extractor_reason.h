// Why the module's extractor failed, read from its log lines by the
// extractor's own format constants (untgz/C_UNTGZ_LOG.h).
#ifndef TOOLS_MEDIACHECK_EXTRACTOR_REASON_H
#define TOOLS_MEDIACHECK_EXTRACTOR_REASON_H

#include "platform/hostsim/hostsim.h"

#include <string>
#include <vector>

namespace mediacheck {

// The extractor's most telling line of `lines`, without its tick count: a
// refusal of the archive's content (an invalid tar file, a bad header
// checksum, a refused entry, garbage after a file) before a failure of the
// extraction itself (the archive, a file or the card), before the failures
// of the writer task that follow from one. Among lines alike, the first.
// "see the module's log" when no line tells.
std::string extractorReason(const std::vector<hostsim::LogLine> &lines);

} // namespace mediacheck

#endif
