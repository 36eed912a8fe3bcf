// The bounds of a script run under "upgsim run": what the script leaves
// running is ended with it, no signal reaches a process that only got a
// script process's number, the script dies with upgsim, its whole status is
// told apart from upgsim's own, every call it can write with keeps to the
// card's capacity, and it reaches nothing of the host but the unit's devices.
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The lines of a text.
std::vector<std::string> linesOf(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

// True while `pid` runs: it exists and is no zombie.
bool running(pid_t pid) {
    const std::string stat = testsupport::readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

// Waits up to ten seconds for every one of `pids` to stop running.
bool allEnd(const std::vector<pid_t> &pids) {
    for (int i = 0; i < 1000; ++i) {
        bool any = false;
        for (pid_t p : pids)
            any = any || running(p);
        if (!any)
            return true;
        usleep(10000);
    }
    return false;
}

// The numbers in the lines of a file on the card.
std::vector<pid_t> pidsIn(const std::string &path) {
    std::vector<pid_t> pids;
    for (const std::string &line : linesOf(testsupport::readFile(path)))
        if (!line.empty())
            pids.push_back(static_cast<pid_t>(std::atol(line.c_str())));
    return pids;
}

class ScriptProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testsupport::makeTempDir("script-process");
        ASSERT_FALSE(m_dir.empty());
        ASSERT_TRUE(testsupport::writeFile(sd() + "/.keep", ""));
    }
    void TearDown() override { testsupport::removeTree(m_dir); }

    std::string sd() const { return m_dir + "/sd"; }
    int upgsim(const std::vector<std::string> &argv) {
        return testsupport::runUpgsim(argv, m_dir, m_dir);
    }
    std::string script(const std::string &name, const std::string &text) {
        EXPECT_TRUE(testsupport::writeFile(m_dir + "/" + name, text));
        return m_dir + "/" + name;
    }
    std::string err() const { return testsupport::readFile(m_dir + "/stderr"); }
    std::string out() const { return testsupport::readFile(m_dir + "/stdout"); }

    std::string m_dir;
};

// A process the script forks (with the system call, so that it is not ended
// with the script's process at once) that ignores SIGTERM and keeps the
// output open:
// the script's status stands (not the timeout's), the holder is ended a
// moment after the script and said, and until then the script's own number
// stays the script's (a zombie held by upgsim), so a signal sent to it cannot
// reach another process that was given the number.
TEST_F(ScriptProcessTest, AHolderOfTheOutputIsEndedAndTheScriptsIdStaysItsOwn) {
    const std::string path = script("holder.c", R"(#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>
int main(void) {
    int script = getpid();
    /* The system call itself: a process not tied to the script's end. */
    if (syscall(SYS_fork) == 0) {
        signal(SIGTERM, SIG_IGN);
        int log = open("/SDH/states", O_WRONLY | O_CREAT | O_APPEND, 0644);
        char line[32];
        sprintf(line, "%d\n", getpid());
        write(log, line, strlen(line));
        printf("holding\n");
        fflush(stdout);
        for (;;) {
            write(log, kill(script, 0) == 0 ? "held\n" : "gone\n", 5);
            usleep(20000);
        }
    }
    usleep(200000);
    return 0;
}
)");
    EXPECT_EQ(upgsim({"--sd", sd(), "run", "--timeout", "8", path}), 0) << err();
    EXPECT_NE(err().find("kept its output open after the script ended: ended"), std::string::npos)
        << err();
    EXPECT_EQ(out(), "holding\n");
    const std::vector<std::string> states = linesOf(testsupport::readFile(sd() + "/states"));
    ASSERT_GT(states.size(), 20u); // beyond the script's end
    for (size_t i = 1; i < states.size(); ++i)
        EXPECT_EQ(states[i], "held") << i;
    EXPECT_TRUE(allEnd({static_cast<pid_t>(std::atol(states[0].c_str()))}));
}

// A bounded fork bomb (forks made with the system call), some of its
// processes in sessions of their own and some without the output: every one
// of them ends with the script, and the script's status stands.
TEST_F(ScriptProcessTest, EveryProcessOfABoundedForkBombIsEnded) {
    const std::string path = script("bomb.c", R"(#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>
static void grow(int depth) {
    for (int i = 0; i < 3; i++)
        if (syscall(SYS_fork) == 0) {
            if (i == 1)
                setsid();
            if (i == 2) {
                close(1);
                close(2);
            }
            int log = open("/SDH/pids", O_WRONLY | O_CREAT | O_APPEND, 0644);
            char line[32];
            sprintf(line, "%d\n", getpid());
            write(log, line, strlen(line));
            close(log);
            if (depth < 2)
                grow(depth + 1);
            for (;;)
                pause();
        }
}
int main(void) {
    grow(0); /* 3 + 9 + 27 processes */
    for (int tries = 0; tries < 1000; tries++) {
        FILE *f = fopen("/SDH/pids", "r");
        int lines = 0, c;
        while (f != NULL && (c = fgetc(f)) != EOF)
            lines += c == '\n';
        if (f != NULL)
            fclose(f);
        if (lines >= 39)
            break;
        usleep(10000);
    }
    return 7;
}
)");
    EXPECT_EQ(upgsim({"--sd", sd(), "run", path}), 7) << err();
    const std::vector<pid_t> pids = pidsIn(sd() + "/pids");
    ASSERT_EQ(pids.size(), 39u);
    EXPECT_TRUE(allEnd(pids));
    EXPECT_NE(err().find("upgsim: ended 39 other processes of the script"), std::string::npos)
        << err();
}

// kill -9 of upgsim ends the script, and a process it forked (each is tied
// to its parent), at once.
TEST_F(ScriptProcessTest, TheScriptDiesWithUpgsim) {
    const std::string path = script("stay.c", R"(#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>
int main(void) {
    fork();
    int log = open("/SDH/pids", O_WRONLY | O_CREAT | O_APPEND, 0644);
    char line[32];
    sprintf(line, "%d\n", getpid());
    write(log, line, strlen(line));
    close(log);
    for (;;) {
        int f = open("/SDH/still", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        close(f);
        usleep(10000);
    }
}
)");
    const std::string upgsimPath = testsupport::upgsimPath();
    const std::string sdDir = sd();
    const pid_t pid = fork();
    if (pid == 0) {
        const int none = open("/dev/null", O_RDWR);
        dup2(none, STDIN_FILENO);
        dup2(none, STDOUT_FILENO);
        dup2(none, STDERR_FILENO);
        execl(upgsimPath.c_str(), upgsimPath.c_str(), "--sd", sdDir.c_str(), "run", "--timeout",
              "30", path.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    ASSERT_GT(pid, 0);
    std::vector<pid_t> pids;
    for (int i = 0; i < 1000 && pids.size() < 2; ++i) {
        usleep(10000);
        pids = pidsIn(sd() + "/pids");
    }
    kill(pid, SIGKILL);
    int status = 0;
    waitpid(pid, &status, 0);
    ASSERT_EQ(pids.size(), 2u);
    EXPECT_TRUE(allEnd(pids));
}

// The script's whole status reaches upgsim, and whose a status is is said:
// in a line where it could be taken for upgsim's, and in run --json.
TEST_F(ScriptProcessTest, TheScriptsWholeStatusIsToldApartFromUpgsims) {
    struct Case {
        const char *source;
        int status;
        const char *says; // on standard error
        const char *whose;
        nlohmann::json scriptStatus;
    };
    const Case cases[] = {
        {"int main(void) { return 256; }", 255,
         "upgsim: the script's status 256 does not fit an exit status (0 to 255): upgsim ends "
         "with 255",
         "script", 256},
        {"#include <stdlib.h>\nint main(void) { exit(-1); }", 255, "status -1 does not fit",
         "script", -1},
        {"#include <stdlib.h>\nint main(void) { exit(124); }", 124,
         "upgsim: status 124 is the script's own", "script", 124},
        {"int main(void) { return 130; }", 130, "status 130 is the script's own", "script", 130},
        {"int main(void) { return 5; }", 5, "", "script", 5},
        {"int main(void) { for (;;) ; }", 124, "still running after 1 s", "upgsim", nullptr},
        {"int main(void) { return *(volatile int *)0; }", 139, "signal 11 (SIGSEGV)", "upgsim",
         nullptr},
        {"int main(void) { return nope; }", 126, "did not compile", "upgsim", nullptr},
    };
    for (const Case &c : cases) {
        const std::string path = script("status.c", std::string(c.source) + "\n");
        EXPECT_EQ(upgsim({"run", "--timeout", "1", path}), c.status) << c.source << "\n" << err();
        EXPECT_NE(err().find(c.says), std::string::npos) << c.source << "\n" << err();
        EXPECT_EQ(upgsim({"run", "--json", "--timeout", "1", path}), c.status) << c.source;
        const nlohmann::json report = nlohmann::json::parse(out(), nullptr, false);
        EXPECT_EQ(report["exit_status"], c.status) << c.source << out();
        EXPECT_EQ(report["status_of"], c.whose) << c.source << out();
        EXPECT_EQ(report["script_status"], c.scriptStatus) << c.source << out();
        // The reason, when the status is upgsim's.
        if (std::string(c.whose) == "upgsim")
            EXPECT_NE(report["error"].get<std::string>().find(c.says), std::string::npos)
                << c.source << out();
        else
            EXPECT_TRUE(report["error"].is_null()) << c.source << out();
    }
}

// Under --scratch a script that learns the real card's folder (from upgsim's
// command line, or given it) and a host folder changes neither, by any
// call: stream, raw system call, removal, rename out of its copy, a program
// it starts; nor can it signal upgsim. Its copy it writes as ever.
TEST_F(ScriptProcessTest, AScriptReachesOnlyItsDevices) {
    if (syscall(SYS_landlock_create_ruleset, nullptr, 0, 1) <= 0)
        GTEST_SKIP() << "this kernel has no Landlock";
    const std::string card = m_dir + "/card", host = m_dir + "/host", tmp = m_dir + "/tmp";
    ASSERT_TRUE(testsupport::writeFile(card + "/CD_VER.NAV.INF", "VERSION:5\n"));
    ASSERT_TRUE(testsupport::writeFile(host + "/.keep", ""));
    ASSERT_TRUE(testsupport::writeFile(tmp + "/.keep", ""));
    const std::string path = script("reach.c", R"(#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include "upgrade_builtins.h"
static int reached;
static void tried(const char *what, int done) {
    printf("%s %s\n", what, done ? "reached" : "refused");
    reached += done;
}
int main(int argc, char **argv) {
    char path[4096], other[4096];
    sprintf(path, "/proc/%d/cmdline", getppid());
    tried("cmdline", open(path, O_RDONLY) >= 0);
    sprintf(path, "%s/CD_VER.NAV.INF", argv[1]);
    tried("card-fopen", fopen(path, "w") != NULL);
    tried("card-openat", syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_TRUNC) >= 0);
    tried("card-unlink", syscall(SYS_unlink, path) == 0);
    sprintf(path, "%s/escape.txt", argv[2]);
    tried("host-fopen", fopen(path, "w") != NULL);
    tried("host-openat", syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT, 0644) >= 0);
    sprintf(other, "%s/dir", argv[2]);
    tried("host-mkdir", syscall(SYS_mkdir, other, 0755) == 0);
    FILE *f = fopen("/SDH/inside.txt", "w");
    fputs("in", f);
    fclose(f);
    tried("host-rename", syscall(SYS_rename, "/SDH/inside.txt", path) == 0 ||
                             rename("/SDH/inside.txt", path) == 0);
    sprintf(other, "%s/copied.txt", argv[2]);
    tried("builtin-copy", UPGCopy("/SDH/CD_VER.NAV.INF", other, 0) == 0);
    sprintf(other, "echo x > %s/system.txt", argv[2]);
    tried("program", system(other) == 0);
    if (syscall(444, 0, 0, 1) >= 6)
        tried("kill", kill(getppid(), SIGKILL) == 0);
    f = fopen("/SDH/MAPPE.txt", "w");
    tried("copy", f != NULL && fputs("mine", f) >= 0 && fclose(f) == 0);
    return reached;
}
)");
    setenv("TMPDIR", tmp.c_str(), 1);
    const int status = upgsim({"--sd", card, "run", "--scratch", path, card, host});
    unsetenv("TMPDIR");
    EXPECT_EQ(status, 1) << out() << err(); // only its copy
    EXPECT_NE(out().find("copy reached"), std::string::npos) << out();
    EXPECT_NE(err().find("added    MAPPE.txt  (4 bytes)"), std::string::npos) << err();
    EXPECT_EQ(testsupport::readFile(card + "/CD_VER.NAV.INF"), "VERSION:5\n");
    std::error_code ec;
    for (const std::string &dir : {card, host, tmp})
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir, ec),
                                std::filesystem::directory_iterator()),
                  1)
            << dir;
}

// --sd-capacity holds for every call a script can write with: each one
// writes 8 KiB into a 4 KiB card and must stop at the capacity (and say so),
// also through standard output put on the card.
TEST_F(ScriptProcessTest, EveryWritingCallKeepsToTheCardsCapacity) {
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/media/src", std::string(8192, 's')));
    const std::string path = script("gate.c", R"(#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>
#include <wchar.h>
static char block[8192];
static void report(const char *name, long result) {
    struct stat st;
    long size = stat("/SDH/f", &st) == 0 ? (long)st.st_size : -1;
    fprintf(stderr, "%s %ld %ld
", name, size, result);
    remove("/SDH/f");
}
static int fresh(void) { return open("/SDH/f", O_RDWR | O_CREAT | O_TRUNC, 0644); }
int main(void) {
    memset(block, 'x', sizeof block);
    int fd = fresh();
    report("pwrite", pwrite(fd, block, sizeof block, 0));
    close(fd);
    struct iovec iov[2] = {{block, 4096}, {block, 4096}};
    fd = fresh();
    report("writev", writev(fd, iov, 2));
    close(fd);
    fd = fresh();
    report("pwritev", pwritev(fd, iov, 2, 0));
    close(fd);
    fd = fresh();
    report("dprintf", dprintf(fd, "%s", block));
    close(fd);
    fd = fresh();
    report("ftruncate", ftruncate(fd, 8192));
    close(fd);
    close(fresh());
    report("truncate", truncate("/SDH/f", 8192));
    fd = fresh();
    report("fallocate", fallocate(fd, 0, 0, 8192));
    close(fd);
    fd = fresh();
    report("posix_fallocate", posix_fallocate(fd, 0, 8192) == 0 ? 0 : -1);
    close(fd);
    fd = fresh();
    report("syscall", syscall(SYS_write, fd, block, sizeof block));
    close(fd);
    int src = open("/DVD/src", O_RDONLY);
    fd = fresh();
    report("sendfile", sendfile(fd, src, 0, 8192));
    close(fd);
    close(src);
    FILE *f = fopen("/SDH/f", "w");
    long wide = 0;
    for (int i = 0; i < 1024 && wide >= 0; i++)
        wide = fwprintf(f, L"%ls", L"wwwwwwww");
    fclose(f);
    report("fwprintf", wide);
    f = fopen("/SDH/f", "w");
    long put = 0;
    for (int i = 0; i < 8192 && put != EOF; i++)
        put = putc('p', f);
    fclose(f);
    report("putc", put == EOF ? -1 : 0);
    freopen("/SDH/f", "w", stdout);
    long printed = printf("%s", block);
    report("printf", printed);
    return 0;
}
)");
    EXPECT_EQ(
        upgsim({"--sd", sd(), "--sd-capacity", "4K", "--media", m_dir + "/media", "run", path}), 0)
        << err();
    const std::vector<std::string> lines = linesOf(err());
    std::vector<std::string> names;
    for (const std::string &line : lines) {
        std::istringstream fields(line);
        std::string name;
        long size = 0, result = 0;
        if (!(fields >> name >> size >> result) || name == "upgsim:")
            continue;
        names.push_back(name);
        EXPECT_LE(size, 4096) << line;
        EXPECT_LT(result, 8192) << line; // a failure, or a short write
    }
    EXPECT_EQ(names.size(), 13u) << err();
}

} // namespace
