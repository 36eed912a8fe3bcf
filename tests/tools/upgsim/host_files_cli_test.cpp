// The host's files under the simulator: a FIFO named on the command line
// ends every command at once with an error instead of waiting for a peer
// that never comes, and the start-up check of the device folders for links
// fails aloud when it cannot walk them to their end. Each run is bounded by
// timeout(1), so that a command that blocks fails the test (status 124)
// instead of hanging it.
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

namespace {

using testsupport::shellQuote;

class HostFilesCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testsupport::makeTempDir("fifo-cli");
        ASSERT_FALSE(m_dir.empty());
        ASSERT_TRUE(testsupport::fileExists(testsupport::upgsimPath()));
        ASSERT_EQ(::mkfifo((m_dir + "/fifo").c_str(), 0600), 0);
        ASSERT_EQ(::mkdir((m_dir + "/sd").c_str(), 0755), 0);
    }
    void TearDown() override { testsupport::removeTree(m_dir); }

    // Runs upgsim with `args` in the test's folder for at most 20 seconds,
    // after the shell commands `before`; its exit status (124 when it had to
    // be stopped).
    int run(const std::string &args, const std::string &before = "") {
        const std::string command = "cd " + shellQuote(m_dir) + " && " + before +
                                    " timeout -k 5 20 " + shellQuote(testsupport::upgsimPath()) +
                                    " " + args + " >" + shellQuote(m_dir + "/stdout") + " 2>" +
                                    shellQuote(m_dir + "/stderr") + " </dev/null";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string err() { return testsupport::readFile(m_dir + "/stderr"); }

    std::string m_dir;
};

TEST_F(HostFilesCliTest, AFifoNamedOnTheCommandLineFailsAtOnce) {
    const struct {
        const char *args;
        int status;
        const char *says;
    } cases[] = {
        // The size pre-read and the extraction both refuse it.
        {"untar fifo out --no-progress", 1, "untar: "},
        {"--sd sd untar fifo /SDH/out --no-progress", 1, "untar: "},
        {"stamp fifo --version V1", 1, "stamp: cannot read 'fifo'"},
        {"--log fifo --sd sd blocksize", 2, "--log fifo: cannot open: No such device"},
        {"--sd sd copy fifo /SDH/copy", 1, "copy: "},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.args);
        EXPECT_EQ(run(c.args), c.status) << err();
        EXPECT_NE(err().find(c.says), std::string::npos) << err();
    }
    EXPECT_FALSE(testsupport::fileExists(m_dir + "/fifo.ver"));
    EXPECT_FALSE(testsupport::fileExists(m_dir + "/sd/copy"));
}

// A card folder deeper than the descriptors the process may open: the walk
// cannot finish, and the run is refused saying so, where it once passed a
// link it never reached.
TEST_F(HostFilesCliTest, LinkCheckThatCannotFinishRefusesTheRun) {
    std::string deep = m_dir + "/sd";
    for (int i = 0; i < 60; ++i)
        deep += "/d";
    ASSERT_TRUE(testsupport::writeFile(deep + "/map.dat", "x"));
    ASSERT_EQ(::symlink("/tmp", (deep + "/link").c_str()), 0);
    EXPECT_EQ(run("--sd sd blocksize", "ulimit -n 30 &&"), 1) << err();
    EXPECT_NE(err().find("cannot check the card folder 'sd' (--sd) for symbolic links: Too many "
                         "open files"),
              std::string::npos)
        << err();
    EXPECT_EQ(run("--sd sd blocksize"), 2) << err();
    EXPECT_NE(err().find("holds a symbolic link, sd/d/d/"), std::string::npos) << err();
}

} // namespace
