// "upgsim run" and "upgsim demo" end to end: the built simulator as a user
// runs it (exit statuses, compiler messages, the demo's terminal text without
// the extraction listing).
#include "tests/support/unit_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <iterator>
#include <map>
#include <poll.h>
#include <pty.h>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using nlohmann::json;
using testsupport::shellQuote;

// Standard output as JSON; a discarded value (is_discarded) when it is not.
json parsed(const std::string &text) {
    return json::parse(text, nullptr, false);
}

// The JSON examples of docs/json.md, in order, keys as written.
std::vector<nlohmann::ordered_json> documentedExamples() {
    const std::string text = testsupport::readFile(std::string(UPG_SOURCE_DIR) + "/docs/json.md");
    std::vector<nlohmann::ordered_json> examples;
    const std::string open = "```json\n", close = "```";
    for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
        at += open.size();
        const size_t end = text.find(close, at);
        if (end == std::string::npos)
            break;
        examples.push_back(
            nlohmann::ordered_json::parse(text.substr(at, end - at), nullptr, false));
        at = end + close.size();
    }
    return examples;
}

// The documented example whose first key is `first` and that has `also`.
json documentedExample(const std::string &first, const std::string &also = "") {
    for (const nlohmann::ordered_json &example : documentedExamples())
        if (example.is_object() && !example.empty() && example.begin().key() == first &&
            (also.empty() || example.contains(also)))
            return parsed(example.dump());
    return json();
}

// The keys of an object (sorted).
std::vector<std::string> keysOf(const json &object) {
    std::vector<std::string> keys;
    for (auto it = object.begin(); object.is_object() && it != object.end(); ++it)
        keys.push_back(it.key());
    return keys;
}

class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_dir = testsupport::makeTempDir("scripthost-cli");
        ASSERT_FALSE(m_dir.empty());
        m_upgsim = testsupport::upgsimPath();
        ASSERT_TRUE(testsupport::fileExists(m_upgsim)) << m_upgsim;
    }
    void TearDown() override { testsupport::removeTree(m_dir); }

    // Runs upgsim with `args`; its exit status. Output in out() and err().
    int upgsim(const std::string &args) { return testsupport::runUpgsim(args, m_dir); }
    int upgsim(const std::vector<std::string> &argv) {
        return testsupport::runUpgsim(argv, m_dir, m_dir);
    }
    // Writes a script into the test folder; its path.
    std::string script(const std::string &name, const std::string &text) {
        EXPECT_TRUE(testsupport::writeFile(m_dir + "/" + name, text));
        return m_dir + "/" + name;
    }
    std::string out() const { return testsupport::readFile(m_dir + "/stdout"); }
    std::string err() const { return testsupport::readFile(m_dir + "/stderr"); }

    std::string m_dir;
    std::string m_upgsim;
};

TEST_F(CliTest, RunExitsWithTheScriptsStatus) {
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/media/DESCRI.DAT", "x"));
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/script.c", R"(#include <stdio.h>
#include "upgrade_builtins.h"
int main(int argc, char **argv) {
    FILE *f = fopen("/DVD/DESCRI.DAT", "r");
    printf("%s %s %d %d\n", argv[1], argv[2], f != NULL, GetSDBlockSize());
    return 7;
}
)"));
    testsupport::writeFile(m_dir + "/sd/.keep", "");
    EXPECT_EQ(upgsim("--media " + shellQuote(m_dir + "/media") + " run --sd " +
                     shellQuote(m_dir + "/sd") + " --sd-block-size 16384 " +
                     shellQuote(m_dir + "/script.c") + " one two"),
              7)
        << err();
    EXPECT_EQ(out(), "one two 1 16384\n");

    // Output that cannot be passed on (a full disk) fails the run, even when
    // the script itself ends well.
    if (::access("/dev/full", W_OK) == 0) {
        const std::string command = shellQuote(m_upgsim) + " run " +
                                    shellQuote(script("hello.c", "#include <stdio.h>\n"
                                                                 "int main(void) {\n"
                                                                 "    printf(\"hello\\n\");\n"
                                                                 "    return 0;\n"
                                                                 "}\n")) +
                                    " >/dev/full 2>/dev/null";
        const int status = std::system(command.c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 125) << status;
    }
}

TEST_F(CliTest, RunReportsCompileErrorsWithFileAndLine) {
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/broken.c", "int main(void) {\n"
                                                            "    return missing;\n"
                                                            "}\n"));
    EXPECT_EQ(upgsim("run --no-progress " + shellQuote(m_dir + "/broken.c")), 126);
    EXPECT_NE(err().find(m_dir + "/broken.c:2: error: 'missing' undeclared"), std::string::npos)
        << err();
    EXPECT_EQ(upgsim("run " + shellQuote(m_dir + "/absent.c")), 127);
    EXPECT_EQ(upgsim("run --write-header " + shellQuote(m_dir + "/include")), 0) << err();
    EXPECT_NE(testsupport::readFile(m_dir + "/include/upgrade_builtins.h")
                  .find("int Get_DVD_CIDInfoList(t_upg_country_table *country_table);"),
              std::string::npos);
}

TEST_F(CliTest, DemoRunsTheUpgradeAndKeepsTheUnit) {
    std::string keep = m_dir + "/unit";
    EXPECT_EQ(upgsim("demo --keep " + shellQuote(keep) + " --map-mb 1 --tick-hz 60000"), 0)
        << err();
    std::string text = out();
    EXPECT_NE(text.find("== 4. Countries offered"), std::string::npos) << text;
    EXPECT_NE(text.find("ITA: installed in /SDH/MAPPE/ITA/"), std::string::npos) << text;
    EXPECT_NE(text.find("module log    " + keep + "/upgsim-demo.log"), std::string::npos);
    // The extraction listing went to its file, not to the terminal.
    EXPECT_EQ(text.find("(UntarBlock)"), std::string::npos);
    EXPECT_NE(testsupport::readFile(keep + "/extracted.txt").find("(UntarBlock) ./ROADS.DAT"),
              std::string::npos);
    EXPECT_TRUE(testsupport::fileExists(keep + "/sd/MAPPE/ITA/CD_VER.NAV.INF"));
    EXPECT_TRUE(testsupport::fileExists(keep + "/map_upgrade.c"));

    // The POI delivery installed again on the kept card: every delivered
    // country in the state the card shows (ESP has no map: skipped).
    EXPECT_EQ(upgsim({"--media", keep + "/media", "--sd", keep + "/sd", "install-pois",
                      "/DVD/POI/POI_UPD.tgz", "--json", "--no-progress"}),
              0)
        << err();
    json pois = parsed(out());
    ASSERT_TRUE(pois.is_object()) << out();
    EXPECT_EQ(pois["result"], 0);
    EXPECT_EQ(pois["poi_version"], "2024.09");
    std::map<std::string, std::string> states;
    for (const json &c : pois["countries"])
        states[c["cid"].get<std::string>()] = c["state"].get<std::string>();
    const std::map<std::string, std::string> expected = {
        {"DEU", "staged"}, {"ESP", "skipped"}, {"FRA", "staged"}, {"ITA", "staged"}};
    EXPECT_EQ(states, expected) << out();

    // The demo's summary as JSON, the demo's text on standard error.
    EXPECT_EQ(upgsim("demo --json --map-mb 1 --tick-hz 60000"), 0) << err();
    json summary = parsed(out());
    ASSERT_TRUE(summary.is_object()) << out();
    EXPECT_EQ(summary["script"]["status"], 0);
    EXPECT_EQ(summary["kept"], false);
    std::map<std::string, std::string> maps;
    for (const json &m : summary["maps"])
        maps[m["cid"].get<std::string>()] = m["state"].get<std::string>();
    const std::map<std::string, std::string> mapStates = {
        {"DEU", "kept"}, {"FRA", "installed"}, {"ITA", "installed"}};
    EXPECT_EQ(maps, mapStates);
    EXPECT_EQ(summary["pois_staged"].size(), 3u);
    EXPECT_EQ(summary["history"].size(), 1u);
    // docs/json.md shows the same keys, and the install-pois report's.
    EXPECT_EQ(keysOf(summary), keysOf(documentedExample("script")));
    EXPECT_EQ(keysOf(summary["maps"][0]), keysOf(documentedExample("script")["maps"][0]));
    EXPECT_EQ(keysOf(pois), keysOf(documentedExample("archive", "poi_version")));
    EXPECT_NE(err().find("Summary"), std::string::npos);

    // A script that crashes: reported as for run; the temporary folder (and
    // its log) goes; a missing script is said before anything is built.
    const std::string tmp = m_dir + "/tmp";
    ASSERT_TRUE(testsupport::writeFile(tmp + "/.keep", ""));
    const std::string crash =
        script("crash.c", "int main(void) { *(volatile int *)0 = 1; return 0; }\n");
    setenv("TMPDIR", tmp.c_str(), 1);
    const int crashed = upgsim("demo --map-mb 1 --json --script " + shellQuote(crash));
    const json crashJson = parsed(out());
    const int missing = upgsim("demo --map-mb 1 --script " + shellQuote(m_dir + "/none.c"));
    unsetenv("TMPDIR");
    EXPECT_EQ(crashed, 139) << err();
    ASSERT_TRUE(crashJson.is_object());
    EXPECT_EQ(crashJson["code"], 139);
    EXPECT_NE(crashJson["error"].get<std::string>().find("signal 11"), std::string::npos);
    EXPECT_EQ(crashJson["script"]["ran"], false);
    EXPECT_NE(err().find("no such file"), std::string::npos);
    EXPECT_EQ(missing, 127);
    EXPECT_EQ(out(), "");
    EXPECT_EQ(testsupport::readFile(tmp + "/.keep"), "");
    std::error_code ec;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp, ec),
                            std::filesystem::directory_iterator()),
              1);

    // A second demo into the same folder is refused; the unit stays.
    EXPECT_EQ(upgsim("demo --keep " + shellQuote(keep)), 2);
    EXPECT_TRUE(testsupport::fileExists(keep + "/sd/MAPPE/ITA/CD_VER.NAV.INF"));
}

// Every argument vector ends with exit status 0, 1 or 2 (125 for run) and
// one line naming what was wrong; none crashes.
TEST_F(CliTest, BadArgumentVectorsAreUsageErrors) {
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/sd/.keep", ""));
    const std::string sd = m_dir + "/sd";
    // A card folder with a link that leads out of it.
    const std::string linked = m_dir + "/linked";
    ASSERT_TRUE(testsupport::writeFile(linked + "/MAPPE/ITA/x", ""));
    ASSERT_EQ(symlink("../../sd", (linked + "/MAPPE/FRA").c_str()), 0);
    const std::string ok = script("ok.c", "int main(void) { return 0; }\n");
    struct Case {
        std::vector<std::string> argv;
        int status;
        std::string says; // in standard error
    };
    const std::vector<Case> cases = {
        {{}, 2, "no command given"},
        {{"--sd"}, 2, "--sd"},
        {{"--media"}, 2, "--media"},
        {{"--flash"}, 2, "--flash"},
        {{"--log"}, 2, "--log"},
        {{"--tick-hz"}, 2, "--tick-hz"},
        {{"--sd", sd, "--media"}, 2, "--media"},
        {{"blocksize", "--sd"}, 2, "--sd"},
        {{"--bogus", "blocksize"}, 2, "--bogus"},
        {{"blocksize", "--bogus"}, 2, "--bogus"},
        {{"nosuch"}, 2, "nosuch"},
        {{"--tick-hz", "0", "blocksize"}, 2, "--tick-hz"},
        {{"--tick-hz", "6k", "blocksize"}, 2, "--tick-hz"},
        {{"--sd-block-size", "-1", "blocksize"}, 2, "--sd-block-size"},
        {{"--sd-capacity", "2X", "blocksize"}, 2, "--sd-capacity"},
        {{"--sd-capacity", "", "blocksize"}, 2, "--sd-capacity"},
        {{"--sd-capacity", "99999999G", "blocksize"}, 2, "--sd-capacity"},
        {{"analyse", "--descriptor"}, 2, "--descriptor"},
        {{"analyse", "--descriptor", "ABCDEFGHIJKLMNOPQ"}, 2, "16 characters"},
        {{"untar", "a.tgz"}, 2, "DEST"},
        {{"--sd", sd, "install-pois", ""}, 2, "ARCHIVE"},
        {{"demo", "--map-mb", "0"}, 2, "--map-mb"},
        {{"stamp", "f"}, 2, "--version"},
        {{"config", "show", "--debug", "x"}, 2, "--debug"},
        {{"run"}, 125, "SCRIPT.c"},
        {{"run", "--timeout"}, 125, "--timeout"},
        {{"run", "--bogus", "x.c"}, 125, "--bogus"},
        {{"run", "--scratch", "x.c"}, 125, "--scratch needs --sd DIR"},
        {{"run", "--report", "x.c"}, 125, "--report needs --sd DIR"},
        {{"run", "--sd", sd, "--json", "x.c"}, 127, "x.c: No such file or directory"},
        {{"run", "--sd", sd, "--scratch", "--report", "x.c"}, 125, "not both"},
        {{"--sd", "/nonexistent-upgsim-dir", "run", "x.c"}, 125, "/nonexistent-upgsim-dir"},
        {{"--sd-capacity", "2M", "--sd", sd, "blocksize"}, 0, ""},
        {{"--sd", sd, "blocksize", "--json"}, 0, ""},
        {{"untar", "a.tgz", "--json"}, 2, "DEST"},
        {{"copy", "--json", "/etc/hostname", "/SDH/x"}, 2, "not mounted"},
        // A failure says what and why in one line, from the module's errno.
        {{"--sd", sd, "copy", "--json", "/SDH/none", "/SDH/x"},
         1,
         "upgsim: copy: /SDH/none: No such file or directory\n"},
        {{"--sd", sd, "install-pois", "--json", "/SDH/none.tgz"},
         1,
         "upgsim: install-pois: /SDH/none.tgz.inf: No such file or directory\n"},
        {{"--flash", sd, "config", "show", "--json"},
         1,
         "upgsim: config: /F/Data_Base/CONFIGSYSTEM/Config_SW_Version.cfg: No such file"},
        // Typing slips get a suggestion; the parser's own words do not leak.
        {{"analyze"}, 2, "unknown command 'analyze' (did you mean analyse?)"},
        // A mistyped command is said first, not the options meant for it.
        {{"chek", "--json"}, 2, "unknown command 'chek' (did you mean check?)"},
        {{"--sd", sd, "--verbose", "chek", "--block-sizes", "4096"},
         2,
         "unknown command 'chek' (did you mean check?)"},
        {{"--tick-hz=60", "zzz", "--block-sizes", "4096"}, 2, "unknown command 'zzz' (see upgsim"},
        {{"--sd", sd, "blocksize", "--jsn"}, 2, "unknown option '--jsn' (did you mean --json?)"},
        {{"--sdd", sd, "blocksize"}, 2, "(did you mean --sd?)"},
        {{"config", "show", "x", "y"}, 2, "unexpected argument 'y'"},
        {{"config", "get", "M", "--hw-release", "abc"}, 2, "--hw-release: 'abc' is not a number"},
        // Values the unit could not have, empty texts, lists with holes.
        {{"--sd-block-size", "3", "--sd", sd, "blocksize", "--json"}, 2, "not a card's block size"},
        {{"--sd-block-size", "131072", "--sd", sd, "blocksize"}, 2, "not a card's block size"},
        {{"check", "--block-sizes", "3"}, 2, "3 is not a card's block size"},
        {{"check", "--block-sizes", "4096,"}, 2, "empty item"},
        {{"check", "--block-sizes", "4096,,512"}, 2, "empty item"},
        {{"--log", "", "--sd", sd, "blocksize"}, 2, "--log: must not be empty"},
        // A log that cannot be opened or written fails the command, saying why.
        {{"--log", "/nonexistent-upgsim-dir/x.log", "--sd", sd, "blocksize", "--json"},
         2,
         "--log /nonexistent-upgsim-dir/x.log: cannot open: No such file or directory"},
        {{"--log", "/nonexistent-upgsim-dir/x.log", "run", ok}, 125, "cannot open: No such file"},
        {{"--log", "/dev/full", "--sd", sd, "copy", sd + "/.keep", "/SDH/y"},
         1,
         "--log /dev/full: cannot write: No space left on device"},
        {{"--log", "/dev/full", "run", ok},
         125,
         "the log file did not take every line: No space left on device"},
        {{"demo", "--keep", ""}, 2, "--keep: must not be empty"},
        {{"stamp", "f", "--version", ""}, 2, "--version: must not be empty"},
        // Nothing is created up to the root.
        {{"untar", "a.tgz", "/nonexistent-upgsim-dir/x/", "--json"}, 1, "parent folder"},
        {{"run", "--write-header", "/nonexistent-upgsim-dir/h"}, 125, "parent folder"},
        // Every failure under --json prints the error object.
        {{"check", "--json"}, 2, "check needs --media DIR"},
        {{"run", "--scratch", "--json", "--timeout", "abc", ok}, 125, "'abc' is not a number"},
        {{"run", "--scratch", "--json", "--sd", linked, ok}, 125, "symbolic link"},
        {{"--sd", linked, "copy", sd + "/.keep", "/SDH/x"},
         2,
         "the card folder '" + linked + "' (--sd) holds a symbolic link, " + linked + "/MAPPE/FRA"},
        {{"--media", linked, "blocksize", "--json"}, 2, "holds a symbolic link"},
        {{"--sd", linked, "run", "x.c"}, 125, "holds a symbolic link"},
        {{"--help"}, 0, ""},
        {{"--version"}, 0, ""},
        {{"--sd", sd, "copy", m_dir + "/sd/.keep", "/SDH/copied", "--json"}, 0, ""},
    };
    for (const Case &c : cases) {
        std::string shown;
        for (const std::string &w : c.argv)
            shown += " [" + w + "]";
        EXPECT_EQ(upgsim(c.argv), c.status) << shown << "\n" << err();
        if (c.status != 0) {
            EXPECT_NE(err().find(c.says), std::string::npos) << shown << "\n" << err();
            EXPECT_EQ(err().find("upgsim: "), 0u) << shown << "\n" << err();
            for (const char *leak : {"At Most", "Could not convert", "not in range", "required "})
                EXPECT_EQ(err().find(leak), std::string::npos) << shown << "\n" << err();
        }
        // --json: one object, the error object with the exit status on a
        // failure, naming what standard error names.
        if (std::find(c.argv.begin(), c.argv.end(), "--json") == c.argv.end())
            continue;
        const json report = parsed(out());
        ASSERT_TRUE(report.is_object()) << shown << "\n" << out();
        if (c.status != 0) {
            EXPECT_EQ(report["code"], c.status) << shown;
            std::string says = c.says;
            if (says.compare(0, 8, "upgsim: ") == 0)
                says = says.substr(8, says.find('\n') - 8);
            EXPECT_NE(report["error"].get<std::string>().find(says), std::string::npos)
                << shown << "\n"
                << out();
        } else {
            EXPECT_FALSE(report.contains("error")) << shown << "\n" << out();
        }
    }
    json copied = parsed(out()); // the last --json case
    EXPECT_EQ(copied["destination"], "/SDH/copied");
    EXPECT_EQ(copied["result"], 0);
    EXPECT_EQ(testsupport::readFile(sd + "/copied"), "");

    // A refusal that names no path has no empty field.
    setenv("TMPDIR", "/nonexistent-upgsim-dir", 1);
    EXPECT_EQ(upgsim({"--media", sd, "check"}), 2);
    unsetenv("TMPDIR");
    EXPECT_EQ(err().find("upgsim: check: /nonexistent-upgsim-dir: no scratch folder can be made"),
              0u)
        << err();
    EXPECT_EQ(err().find(": :"), std::string::npos) << err();

    // Random vectors of the simulator's own words: no crash, 0, 1 or 2 only.
    const std::vector<std::string> words = {"--sd",
                                            sd,
                                            "--media",
                                            "--flash",
                                            "--log",
                                            "-",
                                            "--tick-hz",
                                            "60",
                                            "0",
                                            "abc",
                                            "--sd-block-size",
                                            "--sd-capacity",
                                            "2M",
                                            "--no-progress",
                                            "analyse",
                                            "blocksize",
                                            "config",
                                            "show",
                                            "get",
                                            "copy",
                                            "untar",
                                            "stamp",
                                            "install-pois",
                                            "--json",
                                            "--descriptor",
                                            "--version",
                                            "--help",
                                            "-h",
                                            "--",
                                            "",
                                            "--bogus",
                                            "x",
                                            "/SDH/x",
                                            "/F",
                                            "--move",
                                            "--text"};
    std::mt19937 random(12);
    for (int i = 0; i < 30; ++i) {
        std::vector<std::string> argv;
        const int length = static_cast<int>(random() % 6);
        for (int j = 0; j < length; ++j)
            argv.push_back(words[random() % words.size()]);
        std::string shown;
        for (const std::string &w : argv)
            shown += " [" + w + "]";
        const int status = upgsim(argv);
        EXPECT_TRUE(status == 0 || status == 1 || status == 2) << status << shown << "\n" << err();
    }
}

// Every example of docs/json.md is JSON (an object), and the error object's
// example has the keys a failing command prints.
// UPG_INFLATE=zlib puts the unit's own inflater under the archive reader of
// any build, without a build of its own (CI reruns the archive suites so).
TEST_F(CliTest, TheInflaterIsChosenAtRunTime) {
    ASSERT_EQ(0, upgsim("--version"));
    const bool isalBuilt = out().find("(inflater isal)") != std::string::npos;
    ::setenv("UPG_INFLATE", "zlib", 1);
    const int status = upgsim("--version");
    const std::string chosen = out();
    ::setenv("UPG_INFLATE", "no-such-inflater", 1);
    upgsim("--version");
    const std::string unknown = out();
    ::unsetenv("UPG_INFLATE");
    EXPECT_EQ(0, status);
    EXPECT_NE(chosen.find("(inflater zlib)"), std::string::npos) << chosen;
    // A name that is not built in leaves the build's default.
    EXPECT_NE(unknown.find(isalBuilt ? "(inflater isal)" : "(inflater zlib)"), std::string::npos)
        << unknown;
}

TEST_F(CliTest, DocumentedJsonExamplesParse) {
    const std::vector<nlohmann::ordered_json> examples = documentedExamples();
    ASSERT_GE(examples.size(), 10u);
    for (size_t i = 0; i < examples.size(); ++i)
        EXPECT_TRUE(examples[i].is_object()) << "example " << i + 1;
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/sd/.keep", ""));
    EXPECT_EQ(upgsim({"--sd", m_dir + "/sd", "copy", "--json", "/SDH/none", "/SDH/x"}), 1);
    EXPECT_EQ(keysOf(parsed(out())), keysOf(documentedExample("error")));
    EXPECT_EQ(upgsim({"--sd", m_dir + "/sd", "blocksize", "--json"}), 0);
    EXPECT_EQ(keysOf(parsed(out())), keysOf(documentedExample("block_size")));
}

// docs/medium.md's own examples make a medium that check passes, analyse
// offers both countries of and the example script installs.
TEST_F(CliTest, TheMediumDocumentMakesAMediumTheUnitInstalls) {
    const std::string text = testsupport::readFile(std::string(UPG_SOURCE_DIR) + "/docs/medium.md");
    int files = 0;
    for (const char *kind : {"medium", "card"}) {
        const std::string open = std::string("```") + kind + ":";
        for (size_t at = text.find(open); at != std::string::npos; at = text.find(open, at)) {
            at += open.size();
            const size_t nl = text.find('\n', at);
            const size_t end = text.find("```", nl);
            ASSERT_NE(end, std::string::npos);
            ASSERT_TRUE(testsupport::writeFile(m_dir + "/" + kind + "/" + text.substr(at, nl - at),
                                               text.substr(nl + 1, end - nl - 1)));
            ++files;
            at = end;
        }
    }
    ASSERT_EQ(files, 11);
    for (const char *cid : {"FRA", "ITA"}) {
        ASSERT_TRUE(testsupport::writeFile(m_dir + "/maps/" + cid + "/ROADS.DAT", "roads"));
        ASSERT_TRUE(testsupport::writeFile(m_dir + "/maps/" + cid + "/NAMES.DAT", "names"));
    }
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/poi/tmp_poi/FRA/RST.lzw", "rst"));
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/poi/tmp_poi/FRA/poi_ver_RST.txt",
                                       "PREFIX:RST\nDATE:20240901\n"));
    const std::string medium = m_dir + "/medium", card = m_dir + "/card";
    EXPECT_EQ(upgsim({"pack", m_dir + "/maps/FRA", medium + "/MAPPE/FRA/FRA.tgz"}), 0) << err();
    EXPECT_EQ(upgsim({"pack", m_dir + "/maps/ITA", medium + "/MAPPE/ITA/ITA.tgz"}), 0) << err();
    EXPECT_EQ(upgsim({"pack", m_dir + "/poi/tmp_poi", medium + "/POI/POI_UPD.tgz"}), 0) << err();

    EXPECT_EQ(upgsim({"--media", medium, "--sd", card, "check", "--json"}), 0) << out();
    EXPECT_EQ(parsed(out())["errors"], 0) << out();
    EXPECT_EQ(upgsim({"--media", medium, "--sd", card, "analyse", "--json"}), 0) << err();
    std::map<std::string, bool> offered;
    const json analysis = parsed(out());
    for (const json &c : analysis["countries"])
        offered[c["cid"].get<std::string>()] = c["offered"].get<bool>();
    const std::map<std::string, bool> both = {{"FRA", true}, {"ITA", true}};
    EXPECT_EQ(offered, both) << out();

    EXPECT_EQ(upgsim({"--media", medium, "--sd", card, "--no-progress", "run", "--scratch",
                      "--json", std::string(UPG_SOURCE_DIR) + "/examples/map_upgrade.c"}),
              0)
        << err();
    const std::string output = out();
    const json changes = parsed(output);
    std::vector<std::string> added;
    for (const json &a : changes["added"])
        added.push_back(a["path"].get<std::string>());
    for (const char *path : {"MAPPE/FRA/ROADS.DAT", "MAPPE/ITA/CD_VER.NAV.INF",
                             "MAPPE/POI_USER/TEMP_FRA/RST.lzw", "TEMP_POI_VER.POI"})
        EXPECT_NE(std::find(added.begin(), added.end(), path), added.end()) << path << output;
}

// Mount folders must exist; a command that needs a device names the option;
// an unmounted device does not exist for a script.
TEST_F(CliTest, MountsAreCheckedAndAnUnmountedDeviceIsAbsent) {
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/file", "x"));
    const std::string missing = m_dir + "/missing";
    const std::string file = m_dir + "/file";
    struct Case {
        std::vector<std::string> argv;
        const char *says;
    };
    const std::vector<Case> cases = {
        {{"--sd", missing, "blocksize"}, "--sd: Directory does not exist: "},
        {{"--media", missing, "blocksize"}, "--media: Directory does not exist: "},
        {{"--flash", file, "blocksize"}, "--flash: Directory is actually a file: "},
        {{"blocksize", "--sd", file}, "--sd: Directory is actually a file: "},
        {{"blocksize"}, "give --sd DIR"},
        {{"--sd", m_dir, "analyse"}, "analyse needs --media DIR"},
        {{"config", "show"}, "give --flash DIR"},
        {{"copy", "/etc/hostname", "/SDH/MAPPE/x"}, "DEST is on /SDH, which is not mounted"},
        {{"untar", "/DVD/a.tgz", "out"}, "ARCHIVE is on /DVD, which is not mounted"},
        {{"stamp", "/F/x", "--version", "1"}, "FILE is on /F, which is not mounted"},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(upgsim(c.argv), 2) << c.argv.back() << "\n" << err();
        EXPECT_NE(err().find(c.says), std::string::npos) << err();
    }

    // Without --sd a script's /SDH paths fail and never reach the host's /SDH.
    const std::string path = script("absent.c", R"(#include <stdio.h>
#include <sys/stat.h>
#include "upgrade_builtins.h"
int main(void) {
    struct stat st;
    printf("%d %d %d\n", UPGCopy("/etc/hostname", "/SDH/MAPPE/TEST/x", 0),
           fopen("/SDH/y", "w") != NULL, mkdir("/F/made", 0755));
    return stat("/SDH", &st) == 0;
}
)");
    EXPECT_EQ(upgsim({"run", path}), 0) << err();
    EXPECT_EQ(out(), "-1 0 -1\n");
    EXPECT_NE(access("/SDH/MAPPE/TEST/x", F_OK), 0);
}

// One run at a time writes a card: while a script runs on it (and its forked
// child holds the lock with its parent), every other run on that card, or on
// its flash, is refused at once, naming the folder and the run's process;
// other folders are free, and the card is free again once the run has ended.
TEST_F(CliTest, ASecondRunOnACardInUseIsRefusedAtOnce) {
    const std::string sd = m_dir + "/sd";
    const std::string flash = m_dir + "/flash";
    const std::string other = m_dir + "/other";
    const std::string go = "/SDH/go"; // the script ends once it is there
    ASSERT_TRUE(testsupport::writeFile(sd + "/.keep", ""));
    ASSERT_TRUE(testsupport::writeFile(flash + "/.keep", ""));
    ASSERT_TRUE(testsupport::writeFile(other + "/.keep", ""));
    const std::string path = script("hold.c", R"(#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
int main(int argc, char **argv) {
    printf("holding\n");
    fflush(stdout);
    struct stat st;
    for (int i = 0; i < 3000; i++) { /* until the test puts the file on the card */
        if (stat(argv[1], &st) == 0)
            return 0;
        usleep(10000);
    }
    return 3;
}
)");
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    const pid_t first = fork();
    ASSERT_GE(first, 0);
    if (first == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        execl(m_upgsim.c_str(), "upgsim", "run", "--sd", sd.c_str(), "--flash", flash.c_str(),
              path.c_str(), go.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    // Reads the first run's output until `want` or its end (30 s at most).
    std::string firstOut;
    auto readUntil = [&](const std::string &want) {
        char buf[256];
        pollfd p{out[0], POLLIN, 0};
        while ((want.empty() || firstOut.find(want) == std::string::npos) &&
               poll(&p, 1, 30000) == 1) {
            const ssize_t n = read(out[0], buf, sizeof buf);
            if (n <= 0)
                return;
            firstOut.append(buf, static_cast<size_t>(n));
        }
    };
    readUntil("holding\n");
    ASSERT_NE(firstOut.find("holding\n"), std::string::npos) << firstOut;

    const std::string process = "(process " + std::to_string(first) + ")";
    const struct {
        std::vector<std::string> argv;
        int status;
        std::string says; // in standard error; empty: must succeed
    } cases[] = {
        {{"--sd", sd, "copy", sd + "/.keep", "/SDH/x"}, 1, "the card folder '" + sd + "' (--sd)"},
        {{"--sd", sd, "blocksize"}, 1, "the card folder '" + sd + "' (--sd)"},
        {{"--sd", sd, "run", path, go}, 125, "the card folder '" + sd + "' (--sd)"},
        {{"--flash", flash, "config", "show"}, 1, "the flash folder '" + flash + "' (--flash)"},
        {{"--sd", sd, "copy", "--json", sd + "/.keep", "/SDH/x"},
         1,
         "the card folder '" + sd + "' (--sd)"},
        {{"--sd", other, "copy", other + "/.keep", "/SDH/x"}, 0, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.argv[2]);
        EXPECT_EQ(upgsim(c.argv), c.status) << err() << "first " << first;
        if (c.says.empty())
            continue;
        EXPECT_NE(err().find("upgsim: " + c.says + " is in use by another upgsim run " + process),
                  std::string::npos)
            << err();
    }
    EXPECT_FALSE(testsupport::fileExists(sd + "/x"));
    // The lock covers the card's tree: a run on a folder inside the card, or
    // on the folder the card lies in, would mix its files with the run's.
    ASSERT_TRUE(testsupport::writeFile(sd + "/MAPPE/.keep", ""));
    const std::string canonicalSd = std::filesystem::canonical(sd).string();
    EXPECT_EQ(upgsim({"--sd", sd + "/MAPPE", "copy", sd + "/.keep", "/SDH/x"}), 1);
    EXPECT_NE(err().find("upgsim: the card folder '" + sd + "/MAPPE' (--sd) lies inside '" +
                         canonicalSd + "', the device folder of another upgsim run " + process),
              std::string::npos)
        << err();
    EXPECT_EQ(upgsim({"--sd", m_dir, "copy", sd + "/.keep", "/SDH/x"}), 1);
    EXPECT_NE(err().find("upgsim: the card folder '" + m_dir +
                         "' (--sd) is in use by another "
                         "upgsim run " +
                         process),
              std::string::npos)
        << err();
    EXPECT_FALSE(testsupport::fileExists(sd + "/MAPPE/x") || testsupport::fileExists(m_dir + "/x"));

    // Lets the script end; the card is free again.
    ASSERT_TRUE(testsupport::writeFile(sd + "/go", "x"));
    readUntil("");
    close(out[0]);
    int status = 0;
    ASSERT_EQ(waitpid(first, &status, 0), first);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status << firstOut;
    EXPECT_EQ(upgsim({"--sd", sd, "copy", sd + "/.keep", "/SDH/x"}), 0) << err();
}

// Every way a script can end, with the status run reports and the output that
// must survive it; with --scratch and --report, what it changed on the card
// (--scratch: on a copy, removed afterwards, also when the script crashes).
TEST_F(CliTest, RunReportsHowTheScriptEnded) {
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/sd/.keep", ""));
    const std::string card = m_dir + "/card", real = m_dir + "/real", tmp = m_dir + "/tmp";
    for (const std::string &c : {card, real}) {
        ASSERT_TRUE(testsupport::writeFile(c + "/keep.txt", "hello\n"));
        ASSERT_TRUE(testsupport::writeFile(c + "/gone.txt", "bye\n"));
        ASSERT_TRUE(testsupport::writeFile(c + "/MAPPE/.keep", ""));
    }
    ASSERT_TRUE(testsupport::writeFile(tmp + "/.keep", ""));
    const char *changes =
        "#include <stdio.h>\nint main(void) {\n"
        "  FILE *f = fopen(\"/SDH/MAPPE/new.dat\", \"w\"); fputs(\"12345\", f); fclose(f);\n"
        "  f = fopen(\"/SDH/keep.txt\", \"a\"); fputs(\"more\", f); fclose(f);\n"
        "  remove(\"/SDH/gone.txt\"); printf(\"done\\n\"); return 4; }\n";
    struct Case {
        const char *name;
        const char *source;
        std::vector<std::string> options; // before the script
        int status;
        const char *out;
        std::string err;
    };
    // A line longer than the relay holds, passed on in pieces, and one
    // without its newline at the end.
    const std::string longLine = std::string(150000, 'x') + "\n" + std::string(70000, 'y') + "\n";
    const std::vector<Case> cases = {
        {"long.c",
         "#include <stdio.h>\nint main(void) { for (int i = 0; i < 1500; i++) "
         "fputs(\"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx"
         "xxxxxxxxxxxxxxxxxxxxx\", stdout); putchar('\\n'); for (int i = 0; i < 70000; i++) "
         "putchar('y'); return 0; }\n",
         {},
         0,
         longLine.c_str(),
         ""},
        {"args.txt",
         "#include <stdio.h>\nint main(int c, char **v) { for (int i = 1; i < c; i++) "
         "printf(\"[%s]\", v[i]); printf(\"\\n\"); return 0; }\n",
         {},
         0,
         "[one][--sd][/nonexistent][--log][x.log][two]\n",
         "upgsim: run: --sd after the script goes to the script; put it before `run`\n"
         "upgsim: run: --log after the script goes to the script; put it before `run`\n"},
        {"three.c", "#include <stdlib.h>\nint main(void) { exit(3); }\n", {}, 3, "", ""},
        {"two.c", "int main(void) { return 2; }\n", {}, 2, "", ""},
        {"null.c",
         "#include <stdio.h>\nint main(void) { printf(\"first\\nhalf\"); fflush(stdout); "
         "*(volatile int *)0 = 1; return 0; }\n",
         {},
         139,
         "first\nhalf\n",
         "upgsim: script ended by signal 11 (SIGSEGV)"},
        {"abort.c",
         "#include <stdio.h>\n#include <stdlib.h>\nint main(void) { printf(\"unflushed\"); "
         "abort(); }\n",
         {},
         134,
         "unflushed\n",
         "upgsim: script ended by signal 6 (SIGABRT)"},
        {"loop.c",
         "#include <stdio.h>\nint main(void) { printf(\"looping\\n\"); for (;;) ; }\n",
         {"--timeout", "1"},
         124,
         "looping\n",
         "still running after 1 s"},
        {"fdopen.c",
         "#include <stdio.h>\n#include <stdlib.h>\n#include <fcntl.h>\n"
         "int main(void) { FILE *f = fdopen(open(\"/SDH/out.txt\", O_WRONLY | O_CREAT, 0644), "
         "\"w\"); fprintf(f, \"kept\\n\");\n"
         "  FILE *e = freopen(\"/nonexistent/e\", \"w\", stderr);\n"
         "  fprintf(stderr, \"stderr open %d\\n\", e == NULL); exit(0); }\n",
         {"--sd", m_dir + "/sd"},
         0,
         "",
         "stderr open 1"},
        {"broken.txt",
         "int main(void) {\n    return missing;\n}\n",
         {},
         126,
         "",
         "broken.txt:2: error: 'missing' undeclared"},
        {"scratch.c",
         changes,
         {"--scratch", "--sd", card},
         4,
         "done\n",
         "what the script changed on a copy of " + card +
             ":\nadded    MAPPE/new.dat  (5 bytes)\nremoved  gone.txt  (4 bytes)\n"
             "changed  keep.txt  (6 -> 10 bytes)\n1 added, 1 changed, 1 removed; 15 bytes "
             "written\n"},
        {"scratch-crash.c",
         "#include <stdio.h>\nint main(void) { FILE *f = fopen(\"/SDH/part.dat\", \"w\"); "
         "fputs(\"abc\", f); fclose(f); *(volatile int *)0 = 1; return 0; }\n",
         {"--scratch", "--sd", card},
         139,
         "",
         "added    part.dat  (3 bytes)"},
        {"scratch-json.c", changes, {"--sd", card, "--json", "--scratch"}, 4, "done\n", ""},
        {"report.c",
         changes,
         {"--report", "--sd", real},
         4,
         "done\n",
         "upgsim: run --report: what the script changed on " + real},
    };
    setenv("TMPDIR", tmp.c_str(), 1);
    nlohmann::json json;
    for (const Case &c : cases) {
        const std::string path = script(c.name, c.source);
        std::vector<std::string> argv = {"run"};
        argv.insert(argv.end(), c.options.begin(), c.options.end());
        argv.push_back(path);
        if (std::string(c.name) == "args.txt")
            argv.insert(argv.end(), {"one", "--sd", "/nonexistent", "--log", "x.log", "two"});
        const auto started = std::chrono::steady_clock::now();
        EXPECT_EQ(upgsim(argv), c.status) << c.name << "\n" << err();
        EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10)) << c.name;
        std::string output = out();
        if (std::find(argv.begin(), argv.end(), "--json") != argv.end()) {
            // Standard output is the report alone; the script's output is in it.
            json = nlohmann::json::parse(output, nullptr, false);
            output = json.value("stdout", "(none)");
            EXPECT_EQ(err().find("bytes written"), std::string::npos) << err();
        }
        EXPECT_EQ(output, c.out) << c.name;
        EXPECT_NE(err().find(c.err), std::string::npos) << c.name << "\n" << err();
    }
    unsetenv("TMPDIR");
    // --scratch left the card and the temporary folder as they were; --report
    // ran on the card itself.
    EXPECT_EQ(testsupport::readFile(card + "/keep.txt"), "hello\n");
    EXPECT_TRUE(testsupport::fileExists(card + "/gone.txt"));
    EXPECT_FALSE(testsupport::fileExists(card + "/MAPPE/new.dat"));
    EXPECT_FALSE(testsupport::fileExists(card + "/part.dat"));
    std::error_code ec;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp, ec),
                            std::filesystem::directory_iterator()),
              1);
    EXPECT_EQ(testsupport::readFile(real + "/keep.txt"), "hello\nmore");
    EXPECT_FALSE(testsupport::fileExists(real + "/gone.txt"));
    const nlohmann::json expected = {
        {"mode", "scratch"},
        {"added", {{{"path", "MAPPE/new.dat"}, {"size", 5}}}},
        {"changed", {{{"path", "keep.txt"}, {"old_size", 6}, {"size", 10}}}},
        {"removed", {{{"path", "gone.txt"}, {"size", 4}}}},
        {"bytes_written", 15},
        {"complete", true},
        {"exit_status", 4},
        {"status_of", "script"},
        {"script_status", 4},
        {"error", nullptr},
        {"stdout", "done\n"},
        {"stderr", ""},
        {"stdout_bytes", 5},
        {"stderr_bytes", 0},
        {"output_note", nullptr}};
    EXPECT_EQ(json, expected) << json.dump();
    EXPECT_EQ(testsupport::readFile(m_dir + "/sd/out.txt"), "kept\n");
    EXPECT_FALSE(testsupport::fileExists(m_dir + "/x.log")); // the script's argument only
    EXPECT_EQ(upgsim({"run", m_dir + "/absent.c"}), 127);
    EXPECT_NE(err().find("absent.c: No such file or directory"), std::string::npos) << err();

    // Without --timeout a loop is stopped at the default limit (made short
    // here through its variable), in run and in demo alike; a variable that
    // is no number is said and the built-in default holds.
    const std::string loop = script("forever.c", "int main(void) { for (;;) ; }\n");
    setenv("UPGSIM_TIMEOUT", "1", 1);
    EXPECT_EQ(upgsim({"run", loop}), 124) << err();
    EXPECT_NE(err().find("still running after 1 s"), std::string::npos) << err();
    EXPECT_EQ(upgsim({"demo", "--map-mb", "1", "--script", loop}), 124) << err();
    EXPECT_NE(err().find("still running after 1 s"), std::string::npos) << err();
    setenv("UPGSIM_TIMEOUT", "soon", 1);
    EXPECT_EQ(upgsim({"run", "--timeout", "1", loop}), 124) << err();
    EXPECT_NE(err().find("UPGSIM_TIMEOUT='soon' is not a number"), std::string::npos) << err();
    unsetenv("UPGSIM_TIMEOUT");

    // run --json: the report alone on standard output, whatever the script
    // prints on either stream, and what it printed in the report, cut past
    // a MiB with a note that says so.
    const std::string chatty = script("chatty.c", R"(#include <stdio.h>
int main(int argc, char **argv) {
    printf("{\"not\": \"the report\"}\n");
    fprintf(stderr, "warned");
    if (argc > 1)
        for (int i = 0; i < 70000; i++)
            printf("line %05d of many\n", i);
    printf("last");
    return 3;
}
)");
    EXPECT_EQ(upgsim({"run", "--json", chatty}), 3) << err();
    json = parsed(out());
    ASSERT_TRUE(json.is_object()) << out();
    EXPECT_EQ(keysOf(json), keysOf(documentedExample("mode")));
    EXPECT_EQ(json["mode"], "run");
    EXPECT_EQ(json["exit_status"], 3);
    EXPECT_EQ(json["stdout"], "{\"not\": \"the report\"}\nlast");
    EXPECT_EQ(json["stderr"], "warned");
    EXPECT_TRUE(json["output_note"].is_null());
    EXPECT_EQ(err().find("warned"), std::string::npos) << err();
    EXPECT_EQ(upgsim({"run", "--json", chatty, "many"}), 3) << err();
    json = parsed(out());
    ASSERT_TRUE(json.is_object()) << out().substr(0, 200);
    EXPECT_EQ(json["stdout"].get<std::string>().size(), 1u << 20);
    EXPECT_EQ(json["stdout_bytes"], 22u + 70000u * 19u + 4u);
    EXPECT_EQ(json["output_note"], "stdout cut to its first 1048576 of 1330026 bytes");
}

// Output of upgsim run in a pseudo-terminal, until it ends; `interruptOn`:
// Ctrl-C is typed once that text has appeared.
struct PtyRun {
    int status = -1;
    std::string text;
};

PtyRun runInPty(const std::vector<std::string> &argv, const std::string &interruptOn) {
    PtyRun result;
    int master = -1;
    // NOFLSH: the terminal's Ctrl-C would otherwise throw away what upgsim
    // wrote and the test had not read yet (the line discipline flushes its
    // output queue on an interrupt), which is the terminal's doing, not
    // upgsim's.
    struct termios mode = {};
    mode.c_iflag = ICRNL;
    mode.c_oflag = OPOST | ONLCR;
    mode.c_cflag = CS8 | CREAD;
    mode.c_lflag = ISIG | ICANON | ECHO | ECHOCTL | NOFLSH | IEXTEN;
    mode.c_cc[VINTR] = 0x03;
    mode.c_cc[VQUIT] = 0x1c;
    mode.c_cc[VERASE] = 0x7f;
    mode.c_cc[VKILL] = 0x15;
    mode.c_cc[VEOF] = 0x04;
    mode.c_cc[VMIN] = 1;
    cfsetspeed(&mode, B38400);
    pid_t pid = forkpty(&master, nullptr, &mode, nullptr);
    if (pid == 0) {
        std::vector<char *> args;
        for (const std::string &a : argv)
            args.push_back(const_cast<char *>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    if (pid < 0)
        return result;
    bool typed = false;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        struct pollfd p = {master, POLLIN, 0};
        if (poll(&p, 1, 100) > 0) {
            char buf[4096];
            ssize_t n = read(master, buf, sizeof buf);
            if (n <= 0)
                break; // the terminal's last user has gone
            result.text.append(buf, static_cast<size_t>(n));
        }
        if (!typed && !interruptOn.empty() && result.text.find(interruptOn) != std::string::npos) {
            typed = write(master, "\x03", 1) == 1;
        }
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == 0) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
    }
    close(master);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return result;
}

// On a terminal: a bar line the script's process left open (drawn on
// standard error as the HMI draws it) is finished before the next output line
// and when the script dies; Ctrl-C stops the script (130) and removes the
// --scratch copy of the card; the bar of an extraction that ends well shows
// 100 %.
TEST_F(CliTest, OnATerminalBarLinesAreFinishedAndCtrlCStopsTheScript) {
    const std::string path = script("bar.c", R"(#include <stdio.h>
int main(int argc, char **argv) {
    fprintf(stderr, "\r\033[KTesting [###---]  50%%");
    printf("started\n");
    fflush(stdout);
    fprintf(stderr, "\r\033[KTesting [####--]  66%%");
    for (;;)
        if (argc > 1)
            *(volatile int *)0 = 1;
}
)");
    // On a copy of the card: the copy goes too.
    const std::string tmp = m_dir + "/tmp";
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/sd/a.txt", "a"));
    ASSERT_TRUE(testsupport::writeFile(tmp + "/.keep", ""));
    setenv("TMPDIR", tmp.c_str(), 1);
    PtyRun ctrlC = runInPty({m_upgsim, "run", "--scratch", "--sd", m_dir + "/sd", path}, "66%");
    unsetenv("TMPDIR");
    std::error_code ec;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp, ec),
                            std::filesystem::directory_iterator()),
              1);
    // Standard output and error are separate pipes: which of two writes
    // close together comes first is not kept, but no line is glued to a bar
    // (the terminal's own echo of Ctrl-C, "^C", may precede a line).
    auto unglued = [](const std::string &text, const std::string &line) {
        const size_t at = text.find(line);
        return at != std::string::npos &&
               (at == 0 || text[at - 1] == '\n' || text.compare(at - 2, 2, "^C") == 0);
    };
    EXPECT_EQ(ctrlC.status, 130) << ctrlC.text;
    EXPECT_TRUE(unglued(ctrlC.text, "started\r\n")) << ctrlC.text;
    EXPECT_TRUE(unglued(ctrlC.text, "upgsim: interrupted by SIGINT: script stopped\r\n"))
        << ctrlC.text;

    // An extraction that ends well ends its bar at 100 %, also an archive
    // too small for any of the module's steps; one that fails does not.
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/maps/FRA/ROADS.DAT", "roads"));
    ASSERT_EQ(upgsim({"pack", m_dir + "/maps/FRA", m_dir + "/sd/FRA.tgz"}), 0) << err();
    const std::string extract = script("extract.c", R"(#include "upgrade_builtins.h"
int main(int argc, char **argv) {
    ActivateBargraph("Installing France", 1000000, 0);
    int result = UnCompress(argv[1], "/SDH/MAPPE/");
    DeactivateBargraph();
    return result == 0 ? 0 : 1;
}
)");
    const std::string full = "Installing France [" + std::string(30, '#') + "] 100%";
    PtyRun filled = runInPty({m_upgsim, "--sd", m_dir + "/sd", "run", extract, "/SDH/FRA.tgz"}, "");
    EXPECT_EQ(filled.status, 0) << filled.text;
    EXPECT_NE(filled.text.find(full), std::string::npos) << filled.text;
    PtyRun failed = runInPty({m_upgsim, "--sd", m_dir + "/sd", "run", extract, "/SDH/NO.tgz"}, "");
    EXPECT_EQ(failed.status, 1) << failed.text;
    EXPECT_EQ(failed.text.find("100%"), std::string::npos) << failed.text;

    PtyRun crash = runInPty({m_upgsim, "run", path, "crash"}, "");
    EXPECT_EQ(crash.status, 139) << crash.text;
    EXPECT_TRUE(unglued(crash.text, "started\r\n")) << crash.text;
    EXPECT_TRUE(unglued(crash.text, "upgsim: script ended by signal 11 (SIGSEGV)\r\n"))
        << crash.text;
}

// --help, every COMMAND --help and --help-all (the manual page's source, with
// a section per command) fit 80 columns and state the tick rate.
TEST_F(CliTest, HelpFitsEightyColumnsAndStatesTheTickRate) {
    const std::vector<std::string> commands = {"analyse", "blocksize", "check",        "config",
                                               "copy",    "demo",      "install-pois", "run",
                                               "stamp",   "untar"};
    ASSERT_EQ(upgsim(std::vector<std::string>{"--help-all"}), 0);
    const std::string all = out();
    for (const std::string &command : commands)
        EXPECT_NE(all.find("\n" + command + ":\n  upgsim " + command), std::string::npos)
            << command;
    for (const char *command : {"", "analyse", "blocksize", "check", "config", "copy", "demo",
                                "install-pois", "pack", "run", "stamp", "untar", "--help-all"}) {
        std::vector<std::string> argv;
        if (*command != '\0')
            argv.push_back(command);
        if (std::string(command) != "--help-all")
            argv.push_back("--help");
        ASSERT_EQ(upgsim(argv), 0) << command;
        const std::string text = out();
        EXPECT_NE(text.find("6000 ticks per second"), std::string::npos) << command << text;
        // The parser's notation stays out of the help.
        for (const char *leak : {"(1x)", " in [", ":INT", "REQUIRED"})
            EXPECT_EQ(text.find(leak), std::string::npos) << command << ": " << leak;
        size_t start = 0;
        while (start < text.size()) {
            size_t nl = text.find('\n', start);
            if (nl == std::string::npos)
                nl = text.size();
            EXPECT_LE(nl - start, 80u) << command << ": " << text.substr(start, nl - start);
            start = nl + 1;
        }
    }
}

// The completion script, played in bash: commands, each command's options
// with the global ones, folders for a folder option, files for a file
// option, the words of a positional, and nothing past run's script.
TEST_F(CliTest, CompletionOffersWhatEachWordTakes) {
    if (std::system("command -v bash >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "no bash";
    ASSERT_EQ(upgsim(std::vector<std::string>{"--completion", "bash"}), 0) << err();
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/completion.bash", out()));
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/w/cards/sd1/x", ""));
    ASSERT_TRUE(testsupport::writeFile(m_dir + "/w/cardlog.txt", ""));
    // The words typed; the last one is being completed.
    auto complete = [&](const std::string &words) {
        const std::string line = "cd " + shellQuote(m_dir + "/w") + " && source " +
                                 shellQuote(m_dir + "/completion.bash") +
                                 " && COMP_WORDS=(upgsim " + words +
                                 ") && COMP_CWORD=$((${#COMP_WORDS[@]} - 1)) && _upgsim && "
                                 "for w in \"${COMPREPLY[@]}\"; do echo \"$w\"; done | sort";
        const std::string cmd = "bash -c " + shellQuote(line) + " >" + shellQuote(m_dir + "/reply");
        EXPECT_EQ(std::system(cmd.c_str()), 0) << words;
        return testsupport::readFile(m_dir + "/reply");
    };
    EXPECT_EQ(complete("un"), "untar\n");
    EXPECT_EQ(complete("--sd cards/ run"), "run\n"); // a folder option's value is no command
    EXPECT_EQ(complete("--sd ca"), "cards\n");
    EXPECT_EQ(complete("--sd cards/"), "cards/sd1\n");
    EXPECT_EQ(complete("--log card"), "cardlog.txt\ncards\n");
    const std::string untar = complete("untar --");
    for (const char *option : {"--sd\n", "--media\n", "--json\n", "--tick-hz\n"})
        EXPECT_NE(untar.find(option), std::string::npos) << option << " in\n" << untar;
    EXPECT_EQ(complete("run script.c --"), ""); // the script's own arguments
}

} // namespace
