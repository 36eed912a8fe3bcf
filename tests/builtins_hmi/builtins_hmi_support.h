// Helpers shared by the HMI, history and bargraph builtin tests: calling a
// builtin for its int result, and making .tgz archives with the system's tar.
#ifndef TESTS_BUILTINS_HMI_BUILTINS_HMI_SUPPORT_H
#define TESTS_BUILTINS_HMI_BUILTINS_HMI_SUPPORT_H

#include "platform/hostsim/hostsim.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace hmitest {

// Calls builtin `name` and returns its int result (a failed test and -99 when
// it is not registered).
inline int callInt(const char *name, const std::vector<hostsim::EicArg> &args = {}) {
    val_t result;
    bool found = hostsim::callBuiltin(name, args, &result);
    EXPECT_TRUE(found) << name;
    return found ? result.ival : -99;
}

inline std::string shellQuote(const std::string &text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Makes the gzip-compressed tar `archive` of `members` (paths relative to
// host folder `dir`, archived in that order). True on success.
inline bool makeTgz(const std::string &dir, const std::string &archive,
                    const std::vector<std::string> &members) {
    std::string command = "tar -czf " + shellQuote(archive) + " -C " + shellQuote(dir);
    for (const std::string &member : members)
        command += " " + shellQuote(member);
    return std::system(command.c_str()) == 0;
}

} // namespace hmitest

#endif
