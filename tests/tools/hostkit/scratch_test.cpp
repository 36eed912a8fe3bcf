// The host kit's scratch folders: stale ones of dead runs removed, live ones
// kept; on each of SIGINT, SIGTERM, SIGHUP and SIGPIPE the writers stop
// before the folder goes, in the kit itself and in every command that makes
// one (check, run --scratch, demo, sweep), at seeded random moments.
#include "tools/hostkit/scratch.h"

#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

namespace fs = std::filesystem;
using testsupport::writeFile;

std::string hostName() {
    char name[256] = {};
    gethostname(name, sizeof name - 1);
    return name;
}

// Field 22 of /proc/self/stat: this process's start time.
std::string ownStartTime() {
    const std::string stat = testsupport::readFile("/proc/self/stat");
    size_t at = stat.rfind(')') + 2;
    for (int field = 3; field < 22; ++field)
        at = stat.find(' ', at) + 1;
    return stat.substr(at, stat.find(' ', at) - at);
}

// The id of a process that has ended (a child already waited for).
std::string deadPid() {
    const pid_t pid = fork();
    if (pid == 0)
        _exit(0);
    int status = 0;
    waitpid(pid, &status, 0);
    return std::to_string(pid);
}

// Folders under `dir` whose names start with `prefix`.
int foldersStarting(const std::string &dir, const std::string &prefix) {
    int n = 0;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(dir, ec))
        if (e.path().filename().string().compare(0, prefix.size(), prefix) == 0)
            ++n;
    return n;
}

// Waits up to `seconds` for `pid`; a process still running then is killed
// and -1 returned. Otherwise its wait status.
int waitFor(pid_t pid, int seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    while (std::chrono::steady_clock::now() < deadline) {
        const pid_t got = waitpid(pid, &status, WNOHANG);
        if (got == pid)
            return status;
        if (got < 0)
            return -1;
        usleep(2000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
    return -1;
}

class ScratchFolders : public ::testing::Test {
protected:
    void SetUp() override { m_root = testsupport::makeTempDir("hostkit"); }
    void TearDown() override { testsupport::removeTree(m_root); }
    std::string m_root;
};

TEST_F(ScratchFolders, StaleOnesGoAndLiveOrForeignOnesStay) {
    const std::string host = hostName();
    const std::string dead = deadPid();
    const std::string me = std::to_string(getpid());
    auto mark = [&](const std::string &name, const std::string &text) {
        return writeFile(m_root + "/" + name + "/" + hostkit::k_scratch_marker, text + "\n");
    };
    ASSERT_TRUE(mark("upgsim-check-dead", dead + " 4242 " + host));
    ASSERT_TRUE(mark("upgsim-run-older", dead + " " + host));  // the marker of older runs
    ASSERT_TRUE(mark("upgsim-run-reused", me + " 1 " + host)); // this id, another start
    ASSERT_TRUE(mark("upgsim-run-live", me + " " + ownStartTime() + " " + host));
    ASSERT_TRUE(mark("upgsim-run-elsewhere", dead + " 1 other.host.invalid"));
    ASSERT_TRUE(mark("keep-dead", dead + " 1 " + host)); // not a scratch folder's name
    ASSERT_TRUE(writeFile(m_root + "/upgsim-run-unmarked/a", "a"));
    ASSERT_TRUE(mark("target", dead + " 1 " + host));
    fs::create_directory_symlink(m_root + "/target", m_root + "/upgsim-run-link");

    EXPECT_EQ(hostkit::removeStaleScratch(m_root), 3);
    for (const char *gone : {"upgsim-check-dead", "upgsim-run-older", "upgsim-run-reused"})
        EXPECT_FALSE(fs::exists(m_root + "/" + gone)) << gone;
    for (const char *kept : {"upgsim-run-live", "upgsim-run-elsewhere", "keep-dead",
                             "upgsim-run-unmarked", "target/.upgsim-scratch"})
        EXPECT_TRUE(fs::exists(m_root + "/" + kept)) << kept;

    {
        hostkit::Scratch s(m_root, "upgsim-check");
        ASSERT_FALSE(s.path().empty());
        EXPECT_EQ(s.path().compare(0, m_root.size() + 14, m_root + "/upgsim-check-"), 0);
        EXPECT_FALSE(hostkit::isStale(s.path()));
        ASSERT_TRUE(writeFile(s.path() + "/extract/MAPPE/FRA/a.dat", "a"));
    }
    EXPECT_EQ(foldersStarting(m_root, "upgsim-check-"), 0);
    hostkit::Scratch none(m_root + "/missing/parent", "upgsim-check");
    EXPECT_TRUE(none.path().empty());
    EXPECT_EQ(none.error(), ENOENT);
}

// Writes files into `dir` without pause until the process ends (errors are
// the point once the folder goes).
void keepWriting(const std::string &dir, int who) {
    const std::string block(4096, 'w');
    for (unsigned i = 0;; ++i) {
        const std::string sub = dir + "/w" + std::to_string(who) + "/" + std::to_string(i % 10);
        mkdir((dir + "/w" + std::to_string(who)).c_str(), 0755);
        mkdir(sub.c_str(), 0755);
        const int fd = open((sub + "/f" + std::to_string(i % 5)).c_str(),
                            O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ssize_t ignored = write(fd, block.data(), block.size());
            (void)ignored;
            close(fd);
        }
    }
}

// In a child: a scratch folder that three threads and a process of its own
// fill without pause; the signal, at a random moment, ends the child as the
// signal does and leaves nothing of the folder (the writers were stopped
// first) and no writer running.
TEST_F(ScratchFolders, EachSignalStopsTheWritersBeforeTheFolderGoes) {
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "ThreadSanitizer does not hand a signal to a child of a threaded process";
#endif
    std::mt19937 random(31);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) {
        for (int run = 0; run < 5; ++run) {
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            const pid_t pid = fork();
            if (pid == 0) {
                close(fds[0]);
                signal(sig, SIG_DFL); // a background job starts with SIGINT ignored
                hostkit::Scratch s(m_root, "upgsim-test");
                const pid_t writer = fork();
                if (writer == 0)
                    keepWriting(s.path(), 9);
                std::vector<std::thread> threads;
                for (int t = 0; t < 3; ++t)
                    threads.emplace_back([&s, t]() { keepWriting(s.path(), t); });
                const std::string line = s.path() + " " + std::to_string(writer);
                if (write(fds[1], line.data(), line.size()) != static_cast<ssize_t>(line.size()))
                    _exit(3);
                close(fds[1]);
                for (;;)
                    pause();
            }
            close(fds[1]);
            char buf[512] = {};
            ssize_t n = read(fds[0], buf, sizeof buf - 1);
            close(fds[0]);
            ASSERT_GT(n, 0);
            std::string path = buf;
            const long writer = std::atol(path.substr(path.find(' ') + 1).c_str());
            path.erase(path.find(' '));
            usleep(std::uniform_int_distribution<int>(0, 30000)(random));
            kill(pid, sig);
            const int status = waitFor(pid, 20);
            EXPECT_TRUE(status >= 0 && WIFSIGNALED(status) && WTERMSIG(status) == sig)
                << strsignal(sig) << " run " << run << ": " << status;
            EXPECT_FALSE(fs::exists(path)) << strsignal(sig) << " run " << run;
            EXPECT_NE(kill(static_cast<pid_t>(writer), 0), 0) << "the writer process still runs";
            kill(static_cast<pid_t>(writer), SIGKILL);
            testsupport::removeTree(path);
        }
    }
}

// ---- The commands ------------------------------------------------------------

const char k_writer_script[] = R"(#include <stdio.h>
int main(void) {
    static char block[16384];
    char name[64];
    int i;
    for (i = 0; i < 400; ++i) {
        FILE *f;
        sprintf(name, "/SDH/W%d.DAT", i % 60);
        f = fopen(name, "wb");
        if (f == NULL)
            return 1;
        fwrite(block, 1, sizeof block, f);
        fclose(f);
    }
    return 0;
}
)";

const char k_small_script[] = R"(#include <stdio.h>
int main(void) {
    FILE *f = fopen("/SDH/NOTE.TXT", "w");
    if (f == NULL)
        return 1;
    fputs("done\n", f);
    return fclose(f) == 0 ? 0 : 1;
}
)";

// Starts the simulator with `args` in a process of its own, $TMPDIR set to
// `tmp`, its input and output on /dev/null.
pid_t startUpgsim(const std::vector<std::string> &args, const std::string &tmp) {
    const std::string upgsim = testsupport::upgsimPath();
    const pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0); // a group of its own: the test may end all of it
        setenv("TMPDIR", tmp.c_str(), 1);
        const int null = open("/dev/null", O_RDWR);
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
        std::vector<char *> argv = {const_cast<char *>(upgsim.c_str())};
        for (const std::string &a : args)
            argv.push_back(const_cast<char *>(a.c_str()));
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    return pid;
}

class ScratchCommands : public ScratchFolders {
protected:
    void SetUp() override {
        ScratchFolders::SetUp();
        m_tmp = m_root + "/tmp";
        fs::create_directories(m_tmp);
        ASSERT_TRUE(writeFile(m_root + "/noop.c", "int main(void) { return 0; }\n"));
        ASSERT_TRUE(writeFile(m_root + "/writer.c", k_writer_script));
        ASSERT_TRUE(writeFile(m_root + "/small.c", k_small_script));
        // The demo's unit, left as it was built: the medium and card of the
        // other commands.
        const pid_t demo = startUpgsim(
            {"demo", "--keep", m_root + "/unit", "--map-mb", "4", "--script", m_root + "/noop.c"},
            m_tmp);
        const int status = waitFor(demo, 60);
        ASSERT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
    // The command line of run number `i`: check, run --scratch, demo and
    // sweep in turn.
    std::vector<std::string> command(int i) const {
        const std::string media = m_root + "/unit/media", sd = m_root + "/unit/sd";
        switch (i % 4) {
        case 0:
            return {"--media", media, "check", "--block-sizes", "4096"};
        case 1:
            return {"--sd", sd, "run", "--scratch", m_root + "/writer.c"};
        case 2:
            return {"demo", "--map-mb", "1"};
        default:
            return {"--sd",
                    sd,
                    "sweep",
                    "--sample",
                    "3",
                    "--accept-sample",
                    "-j",
                    "2",
                    "--scratch-dir",
                    m_tmp,
                    m_root + "/small.c"};
        }
    }
    std::string m_tmp;
};

class ScratchCli : public ScratchCommands, public ::testing::WithParamInterface<int> {};

// Runs per signal: 20; under AddressSanitizer, whose build runs every
// suite again several times slower, 4 (one of each command). Under
// ThreadSanitizer none: it hands a signal to a thread at its next call it
// intercepts, which the code TinyCC compiles (a script's child compiling or
// running) never makes, so the runs' moments are not the ones played.
#if defined(__SANITIZE_THREAD__)
const int k_runs_per_signal = 0;
#elif defined(__SANITIZE_ADDRESS__)
const int k_runs_per_signal = 4;
#else
const int k_runs_per_signal = 20;
#endif

// Each signal at 20 random moments (seeded), the four commands in turn:
// the command ends as the signal says (or had ended already), and nothing
// is left in $TMPDIR.
TEST_P(ScratchCli, EachSignalAtRandomMomentsLeavesNothing) {
    if (k_runs_per_signal == 0)
        GTEST_SKIP() << "ThreadSanitizer changes when a signal is handled";
    const int sig = GetParam();
    std::mt19937 random(static_cast<unsigned>(1000 + sig));
    for (int i = 0; i < k_runs_per_signal; ++i) {
        const std::vector<std::string> args = command(i);
        const pid_t pid = startUpgsim(args, m_tmp);
        ASSERT_GT(pid, 0);
        usleep(std::uniform_int_distribution<int>(0, 700000)(random));
        kill(pid, sig);
        const int status = waitFor(pid, 30);
        ASSERT_GE(status, 0) << args[2] << " did not end, run " << i;
        const bool ended = (WIFSIGNALED(status) && WTERMSIG(status) == sig) ||
                           (WIFEXITED(status) && WEXITSTATUS(status) == 128 + sig);
        EXPECT_TRUE(ended || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
            << args[2] << " run " << i << ": status " << status;
        // The sweep's workers and runs may end a moment after it (seconds
        // on a loaded machine).
        for (int wait = 0; wait < 500 && foldersStarting(m_tmp, "") > 0; ++wait)
            usleep(20000);
        EXPECT_EQ(foldersStarting(m_tmp, ""), 0) << args[2] << " run " << i;
        testsupport::removeTree(m_tmp);
        fs::create_directories(m_tmp);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, ScratchCli, ::testing::Values(SIGINT, SIGTERM, SIGHUP, SIGPIPE),
                         [](const ::testing::TestParamInfo<int> &i) {
                             return std::string(sigabbrev_np(i.param));
                         });

// A run ended by SIGKILL (with its script's process) leaves its copy of the
// card; the next command, whatever it is, removes it.
TEST_F(ScratchCommands, AKilledRunsCopyGoesAtTheNextCommand) {
    const std::string sd = m_root + "/unit/sd";
    const pid_t pid = startUpgsim({"--sd", sd, "run", "--scratch", m_root + "/writer.c"}, m_tmp);
    // Once the card is being copied.
    auto copying = [&]() {
        std::error_code ec;
        for (const auto &e : fs::directory_iterator(m_tmp, ec))
            if (fs::exists(e.path() / "sd", ec))
                return true;
        return false;
    };
    for (int wait = 0; wait < 20000 && !copying(); ++wait) // up to 20 s on a loaded machine
        usleep(1000);
    kill(-pid, SIGKILL); // the run and its script's process, as at a power loss
    waitFor(pid, 10);
    ASSERT_EQ(foldersStarting(m_tmp, "upgsim-run-"), 1);
    const int status = waitFor(startUpgsim({"--sd", sd, "blocksize"}, m_tmp), 10);
    EXPECT_TRUE(status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(m_tmp, ec))
        ADD_FAILURE() << "left: " << e.path();
}

} // namespace
