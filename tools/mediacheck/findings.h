// Small helpers the checker's files share: adding a finding, and the ASCII
// lower case names are compared in. Host tool code (mediacheck only).
#ifndef TOOLS_MEDIACHECK_FINDINGS_H
#define TOOLS_MEDIACHECK_FINDINGS_H

#include "tools/mediacheck/mediacheck.h"

#include <string>
#include <vector>

namespace mediacheck {

// Appends one finding to `out`. Any thread that owns `out`.
inline void add(std::vector<Finding> &out, Severity s, const char *code, const std::string &path,
                const std::string &message) {
    out.push_back(Finding{s, code, path, message});
}

// `s` with A-Z turned into a-z and every other byte kept (names on the
// medium may hold any bytes; the unit's file system folds ASCII only).
inline std::string lower(std::string s) {
    for (char &c : s)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return s;
}

} // namespace mediacheck

#endif
