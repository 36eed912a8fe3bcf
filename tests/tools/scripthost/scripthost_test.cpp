// Script host: the builtin table against the registry, argument passing through
// the generated wrappers, the calls' sites, the interpreter frame, compile
// errors, exit, the script's device-resolving file functions, one script at
// a time.
#include "builtins/C_BUILTINS.h"
#include "builtins/upg_country_table.h"
#include "platform/plat_io.h"
#include "tests/support/child_process.h"
#include "tests/support/unit_fixture.h"
#include "tools/scripthost/child.h"
#include "tools/scripthost/scripthost.h"
#include "untgz/C_UNTGZ_LOG.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <thread>
#include <unistd.h>

namespace {

using scripthost::RunResult;

// The fourteen builtins with the kinds of their arguments (i int, u unsigned,
// p pointer), written down independently of the script host's table.
const std::vector<std::pair<std::string, std::string>> k_expected = {
    {"ShowNavigationErasingCountryScreen", "iiiii"},
    {"ShowCDCanceled", ""},
    {"AddUPGHistoryCommentary", "p"},
    {"UnCompress", "pp"},
    {"ActivateBargraph", "puu"},
    {"DeactivateBargraph", ""},
    {"GetSDBlockSize", ""},
    {"UPGCopy", "ppi"},
    {"InstalPOIs", "pp"},
    {"GetMMIStateActive", ""},
    {"UpdateDataForCartoTree", "ppp"},
    {"GetNavUpgType", "pppp"},
    {"GetUpgDVD_CurrVersNaviFile", "pp"},
    {"Get_DVD_CIDInfoList", "p"},
};

// What a recording handler saw of one call.
struct Seen {
    std::string name;
    std::vector<long long> ints;      // int arguments (unsigned as read)
    std::vector<std::string> strings; // pointer arguments, read as text (or "<int*>=value")
    AR_t *frameTop = nullptr;         // AR[2] during the call
};
std::vector<Seen> g_seen;
AR_t *g_ar_after_nested = nullptr;

// Handler for row N of k_expected: records its arguments, writes the output
// buffers the real builtin writes, returns 100 + N.
template <int N> val_t recordingHandler() {
    const std::string &name = k_expected[N].first;
    const std::string &kinds = k_expected[N].second;
    Seen s;
    s.name = name;
    s.frameTop = AR[2];
    for (std::size_t i = 0; i < kinds.size(); ++i) {
        int slot = static_cast<int>(i);
        if (kinds[i] == 'i') {
            s.ints.push_back(EiC_ArgInt(slot));
        } else if (kinds[i] == 'u') {
            s.ints.push_back(EiC_ArgUInt(slot));
        } else if ((name == "GetNavUpgType" && slot == 2) || name == "GetUpgDVD_CurrVersNaviFile") {
            // Output buffers: not written yet, so not read as texts.
            s.strings.push_back("");
        } else {
            const char *p = static_cast<const char *>(EiC_ArgPtr(slot));
            s.strings.push_back(p == nullptr ? "<null>" : p);
        }
    }
    if (name == "UpdateDataForCartoTree") {
        s.strings[2] = "<int*>=" + std::to_string(*static_cast<int *>(EiC_ArgPtr(2)));
    } else if (name == "GetNavUpgType") {
        s.strings[1] = "<int*>=" + std::to_string(*static_cast<int *>(EiC_ArgPtr(1)));
        std::strcpy(static_cast<char *>(EiC_ArgPtr(2)), "/DVD/MAPPE/DVD_VER.NAV");
        *static_cast<int *>(EiC_ArgPtr(3)) = 1;
        s.strings[3] = "<out>";
    } else if (name == "GetUpgDVD_CurrVersNaviFile") {
        std::strcpy(static_cast<char *>(EiC_ArgPtr(0)), "/DVD/MAPPE/");
        std::strcpy(static_cast<char *>(EiC_ArgPtr(1)), "/DVD/MAPPE/CURR_VERS_NAVI.TXT");
        s.strings = {"<out>", "<out>"};
    } else if (name == "Get_DVD_CIDInfoList") {
        auto *table = static_cast<t_upg_country_table *>(EiC_ArgPtr(0));
        std::memset(table, 0, sizeof *table);
        table->count = 1;
        table->total = 1;
        std::strcpy(table->records[0].cid, "ITA");
        table->records[0].new_size = 4000000000u;
        table->reserved[sizeof table->reserved - 1] = 'Z';
        s.strings = {"<table>"};
    } else if (name == "ShowCDCanceled") {
        // A nested call and a failed call made from inside a builtin.
        AR_t *before = AR[2];
        val_t r;
        hostsim::callBuiltin("GetSDBlockSize", {}, &r);
        hostsim::callBuiltin("NoSuchBuiltin", {hostsim::EicArg::Int(1)}, &r);
        g_ar_after_nested = AR[2] == before ? before : nullptr;
    }
    g_seen.push_back(s);
    return EiC_IntResult(100 + N);
}

template <int... N> void registerAll(std::integer_sequence<int, N...>) {
    (EiC_AddBuiltInFunc(k_expected[N].first.c_str(), recordingHandler<N>), ...);
}

class ScriptHostTest : public testsupport::UnitFixture {
protected:
    void SetUp() override {
        UnitFixture::SetUp();
        g_seen.clear();
        g_ar_after_nested = nullptr;
    }
    // Writes a script into the test folder and runs it.
    RunResult run(const std::string &source, const std::vector<std::string> &args = {},
                  const std::string &name = "script.c") {
        std::string path = root() + "/" + name;
        EXPECT_TRUE(testsupport::writeFile(path, source));
        scripthost::RunOptions opts;
        opts.args = args;
        return scripthost::runScript(path, opts);
    }
};

TEST_F(ScriptHostTest, TableAgreesWithTheRegistryAndTheBuiltinList) {
    ASSERT_EQ(scripthost::builtinCount(), k_expected.size());
    for (std::size_t i = 0; i < k_expected.size(); ++i) {
        const scripthost::BuiltinRow &b = scripthost::builtinTable()[i];
        std::string kinds;
        for (int a = 0; a < b.count; ++a)
            kinds += static_cast<char>(b.params[a].kind);
        EXPECT_EQ(b.name, k_expected[i].first);
        EXPECT_EQ(kinds, k_expected[i].second) << b.name;
        EXPECT_NE(scripthost::headerText().find(std::string(" ") + b.name + "("),
                  std::string::npos);
        EXPECT_NE(scripthost::wrapperText().find(std::string("\"") + b.name + "\""),
                  std::string::npos);
    }
    ASSERT_NE(C_BUILTINS::Instance(), nullptr);
    EXPECT_EQ(scripthost::compareWithRegistry(), std::vector<std::string>());

    EiC_RemoveBuiltInFunc("UPGCopy");
    EiC_AddBuiltInFunc("Extra", C_BUILTINS::s_ShowCDCanceled);
    std::vector<std::string> problems = scripthost::compareWithRegistry();
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[0].find("UPGCopy"), std::string::npos);
    EXPECT_NE(problems[1].find("Extra"), std::string::npos);
}

TEST_F(ScriptHostTest, HeaderLayoutOfTheCountryTableMatchesTheModule) {
    // What tcc computes for the script's table equals what the module uses.
    RunResult r = run("#include \"upgrade_builtins.h\"\n"
                      "#include <stddef.h>\n"
                      "int main(void) {\n"
                      "    if (sizeof(t_upg_country_table) != " +
                      std::to_string(sizeof(t_upg_country_table)) +
                      ") return 1;\n"
                      "    if (offsetof(t_upg_country_table, records) != " +
                      std::to_string(offsetof(t_upg_country_table, records)) +
                      ") return 2;\n"
                      "    if (sizeof(t_upg_country_record) != " +
                      std::to_string(sizeof(t_upg_country_record)) +
                      ") return 3;\n"
                      "    if (offsetof(t_upg_country_record, new_size) != " +
                      std::to_string(offsetof(t_upg_country_record, new_size)) +
                      ") return 4;\n"
                      "    return UPG_PATH_BUFFER_SIZE;\n"
                      "}\n");
    EXPECT_EQ(r.outcome, RunResult::Outcome::Returned) << r.messageText();
    EXPECT_EQ(r.status, 50);
    EXPECT_EQ(sizeof(t_upg_country_table), static_cast<std::size_t>(COUNTRY_TABLE_SIZE));
}

TEST_F(ScriptHostTest, EveryBuiltinGetsItsArgumentsAndReturnsItsResultAndBuffers) {
    registerAll(std::make_integer_sequence<int, 14>());
    AR_t *arBefore = AR[2];
    RunResult r = run(R"(#include "upgrade_builtins.h"
#include <string.h>
static t_upg_country_table table;
int main(void) {
    char path[UPG_PATH_BUFFER_SIZE], folder[UPG_PATH_BUFFER_SIZE], file[UPG_PATH_BUFFER_SIZE];
    int len = 4, dlen = 10, type = 77;
    if (ShowNavigationErasingCountryScreen(1, -2, 3, 0x7fffffff, -2147483647 - 1) != 100) return 1;
    if (ShowCDCanceled() != 101) return 2;
    if (AddUPGHistoryCommentary("a comment") != 102) return 3;
    if (UnCompress("/DVD/MAPPE/ITA/ITA.tgz", "/SDH/MAPPE/") != 103) return 4;
    if (ActivateBargraph("Italia", 4000000000u, 7) != 104) return 5;
    if (DeactivateBargraph() != 105) return 6;
    if (GetSDBlockSize() != 106) return 7;
    if (UPGCopy("/DVD/a", "/SDH/b", 1) != 107) return 8;
    if (InstalPOIs("/DVD/POI/POI.tgz", "POIs") != 108) return 9;
    if (GetMMIStateActive() != 109) return 10;
    if (UpdateDataForCartoTree("/DVD", "/SDH", &len) != 110) return 11;
    if (GetNavUpgType("DESCRI.DAT", &dlen, path, &type) != 111) return 12;
    if (strcmp(path, "/DVD/MAPPE/DVD_VER.NAV") != 0 || type != UPG_TYPE_COUNTRY_SELECTION) return 13;
    if (GetUpgDVD_CurrVersNaviFile(folder, file) != 112) return 14;
    if (strcmp(folder, "/DVD/MAPPE/") != 0 || strcmp(file, "/DVD/MAPPE/CURR_VERS_NAVI.TXT") != 0) return 15;
    if (Get_DVD_CIDInfoList(&table) != 113) return 16;
    if (table.count != 1 || strcmp(table.records[0].cid, "ITA") != 0) return 17;
    if (table.records[0].new_size != 4000000000u || table.reserved[sizeof table.reserved - 1] != 'Z') return 18;
    return 0;
}
)");
    ASSERT_EQ(r.outcome, RunResult::Outcome::Returned) << r.messageText();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AR[2], arBefore);
    EXPECT_NE(g_ar_after_nested, nullptr) << "AR[2] moved across a nested or failed call";

    std::map<std::string, Seen> byName;
    for (const Seen &s : g_seen)
        byName[s.name] = s;
    ASSERT_EQ(byName.size(), 14u);
    EXPECT_EQ(byName["ShowNavigationErasingCountryScreen"].ints,
              (std::vector<long long>{1, -2, 3, 0x7fffffff, -2147483647LL - 1}));
    EXPECT_EQ(byName["AddUPGHistoryCommentary"].strings, std::vector<std::string>{"a comment"});
    EXPECT_EQ(byName["UnCompress"].strings,
              (std::vector<std::string>{"/DVD/MAPPE/ITA/ITA.tgz", "/SDH/MAPPE/"}));
    EXPECT_EQ(byName["ActivateBargraph"].strings, std::vector<std::string>{"Italia"});
    EXPECT_EQ(byName["ActivateBargraph"].ints, (std::vector<long long>{4000000000LL, 7}));
    EXPECT_EQ(byName["UPGCopy"].strings, (std::vector<std::string>{"/DVD/a", "/SDH/b"}));
    EXPECT_EQ(byName["UPGCopy"].ints, std::vector<long long>{1});
    EXPECT_EQ(byName["InstalPOIs"].strings, (std::vector<std::string>{"/DVD/POI/POI.tgz", "POIs"}));
    EXPECT_EQ(byName["UpdateDataForCartoTree"].strings,
              (std::vector<std::string>{"/DVD", "/SDH", "<int*>=4"}));
    EXPECT_EQ(byName["GetNavUpgType"].strings,
              (std::vector<std::string>{"DESCRI.DAT", "<int*>=10", "", "<out>"}));
    for (const Seen &s : g_seen)
        EXPECT_NE(s.frameTop, arBefore) << s.name << " ran without a frame of its own";
}

TEST_F(ScriptHostTest, UnregisteredBuiltinReturnsMinusOneAndIsReported) {
    registerAll(std::make_integer_sequence<int, 14>());
    EiC_RemoveBuiltInFunc("GetSDBlockSize");
    AR_t *arBefore = AR[2];
    RunResult r = run("#include \"upgrade_builtins.h\"\n"
                      "int main(void) { return GetSDBlockSize() + GetSDBlockSize() + 10; }\n");
    ASSERT_EQ(r.outcome, RunResult::Outcome::Returned) << r.messageText();
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(AR[2], arBefore);
    ASSERT_EQ(r.messages.size(), 1u);
    EXPECT_NE(r.messages[0].find("'GetSDBlockSize' is not registered"), std::string::npos);
}

TEST_F(ScriptHostTest, CompileAndLinkErrorsNameTheScriptAndLine) {
    RunResult r = run("int main(void) {\n"
                      "    int x = 1;\n"
                      "    return x + undeclared_count;\n"
                      "}\n",
                      {}, "broken.c");
    EXPECT_EQ(r.outcome, RunResult::Outcome::CompileFailed);
    EXPECT_EQ(r.status, -1);
    EXPECT_NE(r.messageText().find(root() + "/broken.c:3: error:"), std::string::npos)
        << r.messageText();

    r = run("#include \"upgrade_builtins.h\"\n"
            "int UPGCopie(const char *a, const char *b, int c);\n"
            "int main(void) { return UPGCopie(\"a\", \"b\", 0); }\n",
            {}, "typo.c");
    EXPECT_EQ(r.outcome, RunResult::Outcome::LinkFailed);
    EXPECT_NE(r.messageText().find("UPGCopie"), std::string::npos) << r.messageText();

    r = run("int helper(void) { return 1; }\n", {}, "nomain.c");
    EXPECT_EQ(r.outcome, RunResult::Outcome::LinkFailed);
    EXPECT_NE(r.messageText().find("no main"), std::string::npos);

    scripthost::RunResult missing = scripthost::runScript(root() + "/absent.c");
    EXPECT_EQ(missing.outcome, RunResult::Outcome::CompileFailed);
    EXPECT_NE(missing.messageText().find("absent.c"), std::string::npos);
}

TEST_F(ScriptHostTest, ExitEndsTheScriptNotTheHostAndArgumentsReachMain) {
    const char *source = R"(#include <stdio.h>
#include <stdlib.h>
#include <string.h>
static void leave(int code) {
    FILE *f = fopen("/SDH/left-open.txt", "w");
    fputs("written before exit", f);
    exit(code);
}
int main(int argc, char **argv) {
    if (argc == 3 && strcmp(argv[1], "exit") == 0)
        leave(atoi(argv[2]));
    if (argc == 2 && strcmp(argv[1], "abort") == 0)
        abort();
    return argc;
}
)";
    RunResult r = run(source, {"exit", "42"});
    EXPECT_EQ(r.outcome, RunResult::Outcome::Exited);
    EXPECT_EQ(r.status, 42);
    // The stream the script left open was closed (and so flushed).
    EXPECT_EQ(testsupport::readFile(sdDir() + "/left-open.txt"), "written before exit");

    r = run(source, {"abort"});
    EXPECT_EQ(r.outcome, RunResult::Outcome::Exited);
    EXPECT_EQ(r.status, 134);

    r = run(source, {"a", "b", "c"});
    EXPECT_EQ(r.outcome, RunResult::Outcome::Returned);
    EXPECT_EQ(r.status, 4);

    // A process the script forks ends where it calls exit or returns from
    // main: the host's code after the script runs once, in the script's
    // own process (here a child of the test, which marks each return).
    const std::string forks = R"(#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>
int main(void) {
    int first = 0, second = 0;
    pid_t a = fork();
    if (a == 0)
        exit(3);
    pid_t b = fork();
    if (b == 0)
        return 4;
    waitpid(a, &first, 0);
    waitpid(b, &second, 0);
    return WEXITSTATUS(first) * 10 + WEXITSTATUS(second);
}
)";
    const std::string marks = root() + "/marks";
    EXPECT_EQ(testsupport::runInChild([&] {
                  const RunResult forked = run(forks);
                  const std::string line = std::to_string(forked.status) + "\n";
                  const int fd = ::open(marks.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
                  ssize_t written = ::write(fd, line.data(), line.size());
                  (void)written;
                  ::close(fd);
              }),
              0);
    EXPECT_EQ(testsupport::readFile(marks), "34\n");
}

TEST_F(ScriptHostTest, ScriptFileFunctionsResolveDevicePaths) {
    ASSERT_TRUE(testsupport::writeFile(mediaDir() + "/MAPPE/DVD_VER.NAV", "VERSION:7\n"));
    const int trace = ::open((root() + "/operations").c_str(), O_WRONLY | O_CREAT, 0600);
    ASSERT_GE(trace, 0);
    hostsim::traceStateOps(trace);
    RunResult r = run(R"(#include <stdio.h>
#include <string.h>
#include <fcntl.h>
#include <unistd.h>
#include <dirent.h>
#include <sys/stat.h>
int main(void) {
    char line[64];
    struct stat st;
    DIR *d;
    struct dirent *e;
    int fd, found = 0;
    FILE *f = fopen("/DVD/MAPPE/DVD_VER.NAV", "r");
    if (f == NULL || fgets(line, sizeof line, f) == NULL) return 1;
    fclose(f);
    if (strcmp(line, "VERSION:7\n") != 0) return 2;
    if (mkdir("/SDH/MAPPE", 0777) != 0) return 3;
    fd = open("/SDH/MAPPE/copy.txt", O_CREAT | O_WRONLY | O_TRUNC, 0644);
    if (fd < 0 || write(fd, line, strlen(line)) != (long)strlen(line)) return 4;
    close(fd);
    if (stat("/SDH/MAPPE/copy.txt", &st) != 0 || st.st_size != 10) return 5;
    if (rename("/SDH/MAPPE/copy.txt", "/SDH/MAPPE/moved.txt") != 0) return 6;
    if (access("/SDH/MAPPE/moved.txt", R_OK) != 0) return 7;
    d = opendir("/DVD/MAPPE");
    if (d == NULL) return 8;
    while ((e = readdir(d)) != NULL)
        found += strcmp(e->d_name, "DVD_VER.NAV") == 0;
    closedir(d);
    if (found != 1) return 9;
    f = fopen("/SDH/gone.txt", "w");
    fclose(f);
    if (remove("/SDH/gone.txt") != 0) return 10;
    f = fopen("/SDH/printed.txt", "w");
    if (f == NULL || fprintf(f, "%d-%s", 7, "x") != 3 || fputs("|", f) < 0 ||
        fputc('c', f) != 'c' || fwrite("wr", 1, 2, f) != 2) return 11;
    fclose(f);
    f = fopen("/SDH/printed.txt", "r");
    if (f == NULL || fgets(line, sizeof line, f) == NULL || strcmp(line, "7-x|cwr") != 0) return 13;
    fclose(f);
    if (unlink("/SDH/MAPPE") == 0 || unlink("/SDH/printed.txt") != 0) return 12;
    return 0;
}
)");
    hostsim::traceStateOps(-1);
    ::close(trace);
    ASSERT_EQ(r.outcome, RunResult::Outcome::Returned) << r.messageText();
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(testsupport::fileExists(sdDir() + "/gone.txt"));
    EXPECT_EQ(testsupport::readFile(sdDir() + "/MAPPE/moved.txt"), "VERSION:7\n");
    EXPECT_TRUE(r.messages.empty()) << r.messageText();
    // The script's own changes pass the platform's gates (the power-cut
    // count among them).
    std::string ops = testsupport::readFile(root() + "/operations");
    for (const char *op : {"\tmkdir\t/SDH/MAPPE\n", "\tremove\t/SDH/gone.txt\n",
                           "\tfwrite\t/SDH/printed.txt\n", "\tremove\t/SDH/printed.txt\n"})
        EXPECT_NE(ops.find(op), std::string::npos) << op << ops;
    size_t writes = 0;
    for (size_t pos = ops.find("\tfwrite\t"); pos != std::string::npos;
         pos = ops.find("\tfwrite\t", pos + 1))
        ++writes;
    EXPECT_EQ(writes, 4u);
}

TEST_F(ScriptHostTest, FilesLeftOpenAfterReturnAreClosedAndNoted) {
    RunResult r = run("#include <stdio.h>\n"
                      "int main(void) { FILE *f = fopen(\"/SDH/x.txt\", \"w\");\n"
                      "  fputs(\"kept\", f); return 0; }\n");
    ASSERT_EQ(r.outcome, RunResult::Outcome::Returned) << r.messageText();
    EXPECT_EQ(testsupport::readFile(sdDir() + "/x.txt"), "kept");
    EXPECT_NE(r.messageText().find("left 1 file(s)"), std::string::npos);
}

// A builtin that makes one state operation on the card.
val_t mkdirOnCard() {
    plat::mkdir("/SDH/by_copy");
    return EiC_IntResult(7);
}

// The header's call-site macros leave a builtin's address to the script; a
// call by name hands the host its file and line, a call through the address
// none; a script that declares the builtins itself opts out.
TEST_F(ScriptHostTest, CallsByNameCarryTheirSiteAndAddressesStayTheBuiltins) {
    ASSERT_EQ(EiC_AddBuiltInFunc("UPGCopy", mkdirOnCard), 0);
    const std::string tracePath = root() + "/trace";
    const int trace = ::open(tracePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(trace, 0);
    hostsim::traceStateOps(trace);
    hostsim::traceBuiltinCalls(true);
    hostsim::resetStateOps();
    RunResult r = run("#include \"upgrade_builtins.h\"\n"
                      "int main(void) {\n"
                      "    int (*copy)(const char *, const char *, int) = &UPGCopy;\n"
                      "    int (*plain)(const char *, const char *, int) = UPGCopy;\n"
                      "    if (copy(\"/SDH/a\", \"/SDH/b\", 0) != 7) return 1;\n"
                      "    if (UPGCopy(\"/SDH/a\", \"/SDH/b\", 0) != 7) return 2;\n"
                      "    return plain == copy ? 0 : 3;\n"
                      "}\n",
                      {}, "sites.c");
    EXPECT_EQ(r.outcome, RunResult::Outcome::Returned) << r.messageText();
    EXPECT_EQ(r.status, 0) << r.messageText();
    RunResult own = run("#define UPG_NO_CALL_SITES\n"
                        "#include \"upgrade_builtins.h\"\n"
                        "int UPGCopy(const char *source, const char *destination, int remove);\n"
                        "int main(void) { return UPGCopy(\"/SDH/a\", \"/SDH/b\", 0); }\n",
                        {}, "own.c");
    hostsim::traceStateOps(-1);
    hostsim::traceBuiltinCalls(false);
    ::close(trace);
    EXPECT_EQ(own.outcome, RunResult::Outcome::Returned) << own.messageText();
    EXPECT_EQ(own.status, 7);
    EXPECT_EQ(testsupport::readFile(tracePath), "1\tmkdir\t/SDH/by_copy\tUPGCopy#1\t\n"
                                                "2\tmkdir\t/SDH/by_copy\tUPGCopy#2\tsites.c:6\n"
                                                "3\tmkdir\t/SDH/by_copy\tUPGCopy#3\t\n");
}

// A builtin that tries to run a second script while the first one runs.
RunResult g_nested;
std::string g_nested_path;
val_t startSecondScript() {
    std::thread other([] { g_nested = scripthost::runScript(g_nested_path); });
    other.join();
    return EiC_IntResult(0);
}

TEST_F(ScriptHostTest, OneScriptAtATime) {
    g_nested_path = root() + "/second.c";
    ASSERT_TRUE(testsupport::writeFile(g_nested_path, "int main(void) { return 5; }\n"));
    EiC_AddBuiltInFunc("ShowCDCanceled", startSecondScript);
    RunResult r = run("#include \"upgrade_builtins.h\"\n"
                      "int main(void) { return ShowCDCanceled(); }\n");
    EXPECT_EQ(r.outcome, RunResult::Outcome::Returned) << r.messageText();
    EXPECT_EQ(g_nested.outcome, RunResult::Outcome::Busy);
    // Once the first has ended, the second runs.
    EXPECT_EQ(scripthost::runScript(g_nested_path).status, 5);
}

// The extractor's listing lines are told from its log lines and from the
// script's own output by the listing format, whatever the entry's name.
TEST(ListingLine, OnlyTheExtractorsListingFormatIsAListingLine) {
    char listed[128];
    std::snprintf(listed, sizeof listed, g_untgz_console_listing, "FRA/ROADS.DAT");
    char logged[128];
    std::snprintf(logged, sizeof logged, g_untgz_log_not_tar, 3L, "FRA.tgz");
    const struct {
        const char *line;
        bool listing;
    } rows[] = {{listed, true}, {logged, false}, {"(UntarBlock)", false}, {"", false},
                {"echo (UntarBlock) x", false}};
    for (const auto &row : rows)
        EXPECT_EQ(scripthost::isListingLine(row.line, std::strlen(row.line)), row.listing)
            << row.line;
}

} // namespace
