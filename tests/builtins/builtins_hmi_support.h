// Helpers shared by the HMI, history and bargraph builtin tests: calling a
// builtin for its int result, writing .tgz archives, quoting for the shell.
#ifndef TESTS_BUILTINS_BUILTINS_HMI_SUPPORT_H
#define TESTS_BUILTINS_BUILTINS_HMI_SUPPORT_H

#include "platform/hostsim/hostsim.h"
#include "tests/support/tar_builder.h"
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
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


// Writes the .tgz archive `hostPath` holding the regular files `files`
// (name, content), in that order. True on success.
inline bool writeTgz(const std::string &hostPath,
                     const std::vector<std::pair<std::string, std::string>> &files) {
    testsupport::TarBuilder tar;
    for (const auto &file : files)
        tar.file(file.first, file.second);
    return testsupport::writeFile(hostPath, testsupport::gzip(tar.finish()));
}

} // namespace hmitest

#endif
