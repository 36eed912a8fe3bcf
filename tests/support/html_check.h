// The strict HTML checker (tests/html_check.py) called from a test: for the
// suites that write pages (the release report). Header-only, so that the
// builds that take the test support without the source tree's path (the
// fuzz targets' seed maker) need nothing of it.
#ifndef TESTS_SUPPORT_HTML_CHECK_H
#define TESTS_SUPPORT_HTML_CHECK_H

#include "tests/support/unit_fixture.h"

#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace testsupport {

// The exit status of the checker, with --require-svg (the page must hold a
// picture), on the page at `page`; its faults, one per line, in `faults`.
// -1 when it did not exit normally.
inline int htmlCheck(const std::string &page, std::string &faults) {
    const std::string log = page + ".faults";
    const std::string command = "python3 " +
                                shellQuote(std::string(UPG_SOURCE_DIR) + "/tests/html_check.py") +
                                " --require-svg " + shellQuote(page) + " >" + shellQuote(log);
    const int rc = std::system(command.c_str());
    faults = readFile(log);
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

} // namespace testsupport

#endif
