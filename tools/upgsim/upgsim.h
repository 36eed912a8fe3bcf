// The host simulator's command interface: global options, the command table
// (each subcommand registers itself from its own file), exit codes and the
// helpers the commands share.
#ifndef TOOLS_UPGSIM_UPGSIM_H
#define TOOLS_UPGSIM_UPGSIM_H

#include <nlohmann/json_fwd.hpp>

#include <memory>
#include <string>
#include <vector>

namespace CLI {
class App;
class Formatter;
class Validator;
} // namespace CLI

namespace upgsim {

// The JSON of the reports: keys in the order they are added.
using Json = nlohmann::ordered_json;

// Exit codes of every command but "run".
enum Exit { EXIT_OK = 0, EXIT_FAILURE_REPORTED = 1, EXIT_USAGE = 2, EXIT_HOST_ERROR = 3 };

// Tick rate of every command when --tick-hz is not given: the module's
// 500-tick pauses and bargraph steps pass in a twelfth of a second. The unit
// runs 60.
constexpr int k_default_tick_hz = 6000;

// Options accepted before or after the subcommand.
struct GlobalOptions {
    std::string sd;            // host folder mounted as "/SDH"
    std::string flash;         // host folder mounted as "/F"
    std::string media;         // host folder mounted as "/DVD"
    std::string log;           // module log file; "-" standard error; empty none
    int tickHz = 0;            // 0: k_default_tick_hz
    long sdBlockSize = 0;      // block size reported for "/SDH"; 0: the host's
    long long sdCapacity = -1; // capacity played for "/SDH" in bytes; -1: none
    bool noProgress = false;
    bool verbose = false; // the module's log lines on standard error
    // True when progress bars may be drawn (standard error is a terminal and
    // --no-progress was not given).
    bool progressOnTerminal() const;
    // The tick rate in force: --tick-hz or k_default_tick_hz.
    int effectiveTickHz() const { return tickHz > 0 ? tickHz : k_default_tick_hz; }
};

// A subcommand. `define` adds its options and positionals to its CLI11
// subcommand (binding them to the command file's own variables); `run` runs
// it once the whole command line is parsed and the devices are mounted, and
// returns the exit code.
struct Command {
    const char *name;
    const char *summary; // one line for --help, at most 56 characters
    void (*define)(CLI::App &sub, GlobalOptions &opts);
    int (*run)(const GlobalOptions &opts, CLI::App &sub);
};

// Adds a command to the table; used through a static Registrar in each
// command's file.
void registerCommand(const Command &cmd);
struct Registrar {
    explicit Registrar(const Command &cmd) { registerCommand(cmd); }
};

// Prints "upgsim: <message>" on standard error and returns `code`. The
// message is also the "error" of the object that a failing command prints on
// standard output under --json: {"error": "<message>", "code": <exit status>}.
int failure(const std::string &message, int code = EXIT_FAILURE_REPORTED);
// failure(message, EXIT_USAGE).
int usageError(const std::string &message);

// Adds "--json" to a reporting command: its report as one JSON object on
// standard output, and on failure the error object above.
void addJsonFlag(CLI::App &sub);
// True when --json was given.
bool jsonOutput();
// Prints `value` on standard output (two-space indent, a final newline) as
// the command's report; the error object is then not added.
void printJson(const Json &value);
// Prints an already rendered JSON report as printJson does.
void printJsonText(const std::string &text);
// `text` as a JSON string value: valid UTF-8 as it is, any other byte taken
// as a Latin-1 character (the unit's texts and host paths need not be UTF-8).
std::string jsonText(const std::string &text);
// The error object of a failing command under --json, unless the command
// printed its own report; called once the command has run. `jsonWord`: the
// command line holds "--json" even where the command's own flag is not the
// global one (run's), as before any command has started.
void finishJson(int exitCode, bool jsonWord = false);

// Why the module's last operation failed, in one line and the GNU way
// ("a.tgz: No such file or directory"), from the errno and path of the first
// failure line it logged in this run; empty when it logged none we know.
std::string moduleReason();
// "WHAT: <moduleReason()>", or "WHAT: <fallback>" when there is none.
std::string withReason(const std::string &what, const std::string &fallback);

// `lead` then the words of `text`, broken at spaces into lines of at most
// `width` columns (a word longer than a line stays whole), the lines after
// the first indented by `indent` spaces; every line ends with a newline.
std::string wrapText(const std::string &lead, const std::string &text, std::size_t indent,
                     std::size_t width = 80);

// When `unitPath` lies on a unit device ("/SDH", "/F", "/DVD") that is not
// mounted, prints "upgsim: COMMAND: WHAT is on /SDH, which is not mounted
// (give --sd DIR)" and returns false; true otherwise.
bool deviceMounted(const GlobalOptions &opts, const char *command, const char *what,
                   const std::string &unitPath);

// Empty when the host folder `unitPath` names may be created: it exists, it
// lies on a mounted unit device (the module makes its folders there), or its
// parent folder exists. Otherwise why not ("/nonexistent/x: No such file or
// directory (its parent folder does not exist)"): nothing is created up to
// the root.
std::string creatableFolder(const std::string &unitPath);

// Empty when `cid` is a country code as the unit's media carry them (three
// characters A-Z or 0-9: the module compares codes on their first three),
// else why not.
std::string checkCid(const std::string &cid);
// Writes `text` into the host file `path` whole or not at all: into a file
// beside it, synced, then renamed over it. Empty on success, else why not
// (nothing is left behind then).
std::string writeFileReplacing(const std::string &path, const std::string &text);

// While it lives, the process's standard output goes to standard error: a
// command under --json keeps what the module prints (the extractor's entry
// lines) off the JSON. Nothing is redirected when `active` is false.
class StdoutAside {
public:
    explicit StdoutAside(bool active);
    ~StdoutAside();
    StdoutAside(const StdoutAside &) = delete;
    StdoutAside &operator=(const StdoutAside &) = delete;

private:
    int m_saved = -1;
};

// One entry of a .tgz archive, as its headers describe it.
struct ArchiveEntry {
    std::string path;
    enum class Kind { File, Folder, Other } kind = Kind::Other;
    unsigned long long size = 0; // bytes of a file's data
};
// Reads the entries of the gzip-compressed tar archive at `hostPath` with
// libarchive, independently of the module's extractor. False with `error`
// set when the archive cannot be read to its end.
bool listArchive(const std::string &hostPath, std::vector<ArchiveEntry> &entries,
                 std::string &error);

// The block sizes a card's file system can have: a power of two from 512 to
// 65536 bytes (the unit's size keys cover 4096 to 32768; others read
// CID_SIZE).
constexpr long k_min_block_size = 512;
constexpr long k_max_block_size = 65536;
// Empty when `value` is such a block size, else why not.
std::string checkBlockSize(long value);
// Reads "SIZE,SIZE,..." into `sizes` (sorted, each once). Empty when valid,
// else what is wrong (an empty item, a word, a size no card has).
std::string parseBlockSizes(const std::string &text, std::vector<long> &sizes);
// Validators of option values: a text that is not empty; a card's block size.
CLI::Validator nonEmpty();
CLI::Validator blockSize();
// CLI11's message `what` for a bad command line, in the simulator's words:
// what is wrong, a "did you mean" for a mistyped command or option of `app`
// or of `command` (the subcommand given, or null), and the help to read.
std::string parseErrorMessage(const std::string &what, const CLI::App &app,
                              const CLI::App *command);

// "unknown command 'chek' (did you mean check?)" when the first word of
// `args` (the command line after the program's name) that is neither a
// global option of `app` nor its value is no command of `app`; empty when
// it is one, when there is none, or when an unknown option comes first. A
// mistyped command is then said before any complaint about the options
// after it, which belong to the command that was meant.
std::string unknownCommandMessage(const std::vector<std::string> &args, const CLI::App &app);

// The group of the global options in the help.
extern const char k_global_options_group[];

// The formatter of the help: `--help` lists the commands and ends with the
// notes (devices, clock, exit status, JSON); `--help-all` adds every
// command's options, in sections that help2man makes the manual page of.
// `commandFooter` is the footer every command shares, left out there.
std::shared_ptr<CLI::Formatter> makeHelpFormatter(const std::string &commandFooter);
// The page of docs/ that describes `command` ("docs/sweep.md"), or nullptr
// for a name that is no command. Each command's help ends with "See PAGE.".
const char *docsPage(const std::string &command);
// The bash completion script of `app`: its commands, global and per-command
// options, folders for DIR values, files for FILE values and paths.
std::string bashCompletion(const CLI::App &app);

// The simulator's version as --version prints it ("upgsim 0.1.0 (inflater
// ...)").
std::string versionText();

// Adds the global options, bound to `opts`, to `app` (the main command, and
// "run", which stops parsing at its script).
void addGlobalOptions(CLI::App &app, GlobalOptions &opts);

} // namespace upgsim

#endif
