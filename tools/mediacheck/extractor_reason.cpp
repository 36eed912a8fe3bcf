// Why the module's extractor failed: its lines, matched by the formats that
// wrote them, in order of how much each tells.
#include "tools/mediacheck/extractor_reason.h"

#include "tools/hostkit/logline.h"
#include "untgz/C_UNTGZ_LOG.h"

#include <initializer_list>

namespace mediacheck {

namespace {

using Group = std::initializer_list<const char *>;

// The groups, most telling first.
const Group k_groups[] = {
    {g_untgz_log_not_tar},
    {g_untgz_log_bad_checksum},
    {g_untgz_log_size_refused, g_untgz_log_path_too_long, g_untgz_log_outside_refused,
     g_untgz_log_leaves_refused, g_untgz_log_prefix_refused},
    {g_untgz_log_garbage},
    {g_untgz_log_gzopen, g_untgz_log_create_path, g_untgz_log_file_error, g_untgz_log_flush,
     g_untgz_log_gzread1, g_untgz_log_gzread2, g_untgz_log_short_read, g_untgz_log_cut_in_data,
     g_untgz_log_writer_cut_in_data, g_untgz_log_param_path},
    {g_untgz_log_sem_create, g_untgz_log_sem_take, g_untgz_log_spawn_failed,
     g_untgz_log_writer_error, g_untgz_log_writer_failed},
};

// `line` without the tick count the format reads first, and without the
// separator after it and the line's end.
std::string withoutTick(const std::string &line, const std::string &tick) {
    size_t from = line.find_first_not_of(" -", tick.size());
    size_t to = line.find_last_not_of(" \r\n");
    if (from == std::string::npos || to == std::string::npos || to < from)
        return std::string();
    return line.substr(from, to + 1 - from);
}

} // namespace

std::string extractorReason(const std::vector<hostsim::LogLine> &lines) {
    for (const Group &group : k_groups) {
        for (const hostsim::LogLine &l : lines) {
            if (l.source == hostsim::LogSource::Console)
                continue;
            for (const char *format : group) {
                std::vector<std::string> args;
                if (hostkit::readLogLine(l.text, format, &args) && !args.empty())
                    return withoutTick(l.text, args[0]);
            }
        }
    }
    return "see the module's log";
}

} // namespace mediacheck
