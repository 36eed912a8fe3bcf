// Small helpers the checker's files share: adding a finding, and the ASCII
// lower case names are compared in. Host tool code (mediacheck only).
#ifndef TOOLS_MEDIACHECK_FINDINGS_H
#define TOOLS_MEDIACHECK_FINDINGS_H

#include "tools/mediacheck/mediacheck.h"

#include <string>
#include <vector>

namespace mediacheck {

// Appends one finding of `code` with the severity its row gives. Any thread
// that owns `out`.
inline void add(std::vector<Finding> &out, Code code, const std::string &path,
                const std::string &message) {
    const CodeInfo &info = codeInfo(code);
    out.push_back(Finding{info.severity, info.name, path, message});
}

// The same with the severity chosen by the caller, for the codes whose row
// says their findings may be either (CodeInfo::eitherSeverity); any other
// code keeps its row's severity.
inline void add(std::vector<Finding> &out, Code code, Severity severity, const std::string &path,
                const std::string &message) {
    const CodeInfo &info = codeInfo(code);
    out.push_back(
        Finding{info.eitherSeverity ? severity : info.severity, info.name, path, message});
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
