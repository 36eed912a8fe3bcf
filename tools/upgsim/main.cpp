// upgsim: the host simulator of the upgrade-support module. Parses the command
// line with CLI11 (global options accepted before or after the subcommand),
// maps the host folders as the unit's devices, sets up logging and the unit
// stand-ins, then runs the subcommand.
#include "tools/upgsim/upgsim.h"

#include "tools/upgsim/card_lock.h"

#include "platform/hostsim/hostsim.h"
#include "platform/plat_gz.h"
#include "tools/hostkit/harness.h"
#include "tools/hostkit/scratch.h"
#include "tools/scripthost/child.h"
#include "unit/unit.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <unistd.h>

namespace upgsim {

namespace {

std::map<std::string, Command> &commandTable() {
    static std::map<std::string, Command> table;
    return table;
}

const char k_version[] = "upgsim 0.1.0";

const char k_command_footer[] =
    "Clock: 6000 ticks per second unless --tick-hz N (the unit runs 60).\n"
    "Global options (upgsim --help) are accepted before or after the command.\n";

// Parses SIZE: bytes, or a number with the suffix K, M or G (powers of 1024).
// Empty message when valid.
std::string parseSize(const std::string &text, long long &bytes) {
    const std::string bad = "needs a size in bytes, or with K, M or G: '" + text + "'";
    if (text.empty() || !std::isdigit(static_cast<unsigned char>(text[0])))
        return bad;
    std::size_t used = 0;
    unsigned long long value = 0;
    try {
        value = std::stoull(text, &used, 10);
    } catch (...) {
        return bad;
    }
    unsigned shift = 0;
    if (used + 1 == text.size()) {
        switch (std::toupper(static_cast<unsigned char>(text[used]))) {
        case 'K':
            shift = 10;
            break;
        case 'M':
            shift = 20;
            break;
        case 'G':
            shift = 30;
            break;
        default:
            return bad;
        }
    } else if (used != text.size()) {
        return bad;
    }
    const unsigned long long limit = 1ULL << 50; // a petabyte is plenty for a card
    if (value > (limit >> shift))
        return "is too large: '" + text + "'";
    bytes = static_cast<long long>(value << shift);
    return std::string();
}

// An existing folder; the message names the path (CLI11 adds the option).
CLI::Validator existingFolder() {
    return CLI::Validator(CLI::ExistingDirectory).description("");
}

volatile sig_atomic_t g_progress_drawn = 0;
// Under --json, standard output as the command started (a command may have
// set it aside for a while); -1 otherwise.
volatile sig_atomic_t g_json_fd = -1;

void writeText(int fd, const char *text) {
    ssize_t ignored = write(fd, text, std::strlen(text));
    (void)ignored;
}

// Ctrl-C or SIGTERM during a command that runs in this process (untar, copy,
// install-pois, ...): finish a bar line, say so (under --json also as the
// error object) and end with 128 + the signal, as the shell would report it.
void onInterrupt(int sig) {
    if (g_progress_drawn != 0)
        writeText(STDERR_FILENO, "\n");
    const bool term = sig == SIGTERM;
    writeText(STDERR_FILENO,
              term ? "upgsim: interrupted by SIGTERM\n" : "upgsim: interrupted by SIGINT\n");
    if (g_json_fd >= 0)
        writeText(g_json_fd,
                  term ? "{\n  \"error\": \"interrupted by SIGTERM\",\n  \"code\": 143\n}\n"
                       : "{\n  \"error\": \"interrupted by SIGINT\",\n  \"code\": 130\n}\n");
    _exit(128 + sig);
}

} // namespace

std::string versionText() {
    return std::string(k_version) + " (inflater " + plat::gzInflaterName() + ")";
}

bool GlobalOptions::progressOnTerminal() const {
    return !noProgress && isatty(STDERR_FILENO);
}

void registerCommand(const Command &cmd) {
    commandTable()[cmd.name] = cmd;
}

bool deviceMounted(const GlobalOptions &opts, const char *command, const char *what,
                   const std::string &unitPath) {
    struct Device {
        const char *name;
        const std::string *folder;
        const char *option;
    };
    const Device devices[] = {{"/SDH", &opts.sd, "--sd"},
                              {"/F", &opts.flash, "--flash"},
                              {"/DVD", &opts.media, "--media"}};
    for (const Device &d : devices) {
        const std::size_t n = std::strlen(d.name);
        if (unitPath.compare(0, n, d.name) == 0 && (unitPath.size() == n || unitPath[n] == '/') &&
            d.folder->empty()) {
            failure(std::string(command) + ": " + what + " is on " + d.name +
                        ", which is not mounted (give " + d.option + " DIR)",
                    EXIT_USAGE);
            return false;
        }
    }
    return true;
}

void addGlobalOptions(CLI::App &app, GlobalOptions &opts) {
    app.add_option("--sd", opts.sd, "host folder mounted as the SD card /SDH")
        ->type_name("DIR")
        ->check(existingFolder())
        ->group(k_global_options_group);
    app.add_option("--flash", opts.flash, "host folder mounted as the flash /F")
        ->type_name("DIR")
        ->check(existingFolder())
        ->group(k_global_options_group);
    app.add_option("--media", opts.media, "host folder mounted as the medium /DVD")
        ->type_name("DIR")
        ->check(existingFolder())
        ->group(k_global_options_group);
    app.add_option("--log", opts.log, "the module's log into FILE (-: stderr; default none)")
        ->type_name("FILE")
        ->check(nonEmpty())
        ->group(k_global_options_group);
    app.add_option("--tick-hz", opts.tickHz, "ticks per second of the simulated clock")
        ->type_name("N")
        ->default_str(std::to_string(k_default_tick_hz))
        ->check(CLI::Range(1, 1000000).description(""))
        ->group(k_global_options_group);
    app.add_option("--sd-block-size", opts.sdBlockSize,
                   "block size /SDH reports (default the host's)")
        ->type_name("N")
        ->check(blockSize())
        ->group(k_global_options_group);
    app.add_option_function<std::string>(
           "--sd-capacity",
           [&opts](const std::string &text) {
               long long bytes = 0;
               const std::string problem = parseSize(text, bytes);
               if (!problem.empty())
                   throw CLI::ValidationError("--sd-capacity", problem);
               opts.sdCapacity = bytes;
           },
           "play /SDH as a card of SIZE bytes (K, M, G)")
        ->type_name("SIZE")
        ->group(k_global_options_group);
    app.add_flag("--no-progress", opts.noProgress, "never draw progress bars")
        ->group(k_global_options_group);
    app.add_flag("--verbose", opts.verbose, "the module's log on stderr (untar: its detail)")
        ->group(k_global_options_group);
}

namespace {

// True when the command line holds the word "--json" (a parse error may
// come before the flag itself is parsed: the word decides).
bool jsonWord(int argc, char **argv) {
    return std::find(argv + 1, argv + argc, std::string("--json")) != argv + argc;
}

// The application's help layout and flags: help, version, and the hidden
// --completion SHELL (into `completionShell`).
void setUpApp(CLI::App &app, std::string &completionShell) {
    app.formatter(makeHelpFormatter(k_command_footer));
    app.get_formatter()->column_width(26);
    app.get_formatter()->label("SUBCOMMAND", "COMMAND");
    app.get_formatter()->label("OPTIONS", "OPTIONS");
    // Required positionals show in the usage line already.
    app.get_formatter()->label("REQUIRED", "");
    app.set_help_flag("-h,--help", "this text");
    app.set_help_all_flag("--help-all", "this text and every command's options");
    app.set_version_flag("--version", versionText(), "the simulator's version");
    app.fallthrough();
    app.require_subcommand(0, 1);
    // The completion script, for the installation (not in the help).
    app.add_option("--completion", completionShell)->check(CLI::IsMember({"bash"}))->group("");
}

// Every registered command as a subcommand of `app`, its options defined
// into `opts`; the map tells the command of each subcommand.
std::map<CLI::App *, const Command *> addCommands(CLI::App &app, GlobalOptions &opts) {
    std::map<CLI::App *, const Command *> subs;
    for (const auto &entry : commandTable()) {
        CLI::App *sub = app.add_subcommand(entry.second.name, entry.second.summary);
        sub->group("Commands");
        sub->footer(k_command_footer);
        sub->set_help_flag("-h,--help", "this text");
        sub->set_help_all_flag();
        entry.second.define(*sub, opts);
        if (const char *page = docsPage(entry.second.name))
            sub->footer(sub->get_footer() + "See " + page + ".\n");
        subs[sub] = &entry.second;
    }
    return subs;
}

// Says a parse error in one line on standard error (and as the error
// object under --json); returns the exit status.
int parseFailure(const CLI::ParseError &e, const CLI::App &app,
                 const std::map<CLI::App *, const Command *> &subs, int argc, char **argv) {
    const CLI::App *given = nullptr;
    for (const auto &entry : subs)
        if (entry.first->parsed())
            given = entry.first;
    const std::string unknown =
        given == nullptr
            ? unknownCommandMessage(std::vector<std::string>(argv + 1, argv + argc), app)
            : std::string();
    const std::string what = !unknown.empty() ? unknown : parseErrorMessage(e.what(), app, given);
    std::fprintf(stderr, "upgsim: %s\n", what.c_str());
    // "run" keeps 0-123 for its script's status.
    const int code = given != nullptr && given->get_name() == "run"
                         ? scripthost::k_exit_host_failure
                         : EXIT_USAGE;
    if (jsonWord(argc, argv))
        printJson({{"error", jsonText(what)}, {"code", code}});
    return code;
}

// The simulated unit for a command: clock, devices, log and stand-ins.
// EXIT_OK, or the status of a usage error already said (`scriptStatuses`:
// the command ends with run's statuses; `jsonWord`: --json was given).
int setUpUnit(const GlobalOptions &opts, bool scriptStatuses, bool jsonWord) {
    hostkit::UnitSetup setup;
    setup.media = opts.media;
    setup.sd = opts.sd;
    setup.flash = opts.flash;
    setup.sdBlockSize = opts.sdBlockSize;
    setup.sdCapacity = opts.sdCapacity;
    setup.tickHz = opts.effectiveTickHz();
    hostkit::readyUnit(setup);
    if (opts.log == "-" || opts.verbose)
        hostsim::logToStderr(true);
    else if (!opts.log.empty() && !hostsim::logToFile(opts.log)) {
        const int rc = failure("--log " + opts.log + ": cannot open: " + std::strerror(errno),
                               scriptStatuses ? scripthost::k_exit_host_failure : EXIT_USAGE);
        finishJson(rc, jsonWord);
        return rc;
    }
    return EXIT_OK;
}

// Ctrl-C and SIGTERM end a command that runs in this process (onInterrupt).
void endOnInterrupt(const GlobalOptions &opts) {
    g_progress_drawn = opts.progressOnTerminal() ? 1 : 0;
    if (jsonOutput())
        g_json_fd = dup(STDOUT_FILENO);
    std::signal(SIGINT, onInterrupt);
    std::signal(SIGTERM, onInterrupt);
}

} // namespace

} // namespace upgsim

int main(int argc, char **argv) {
    using namespace upgsim;

    CLI::App app("Host simulator of the navigation unit's upgrade-support module: runs\n"
                 "upgrade scripts and the module's services against host folders mounted\n"
                 "as the unit's medium (/DVD), SD card (/SDH) and flash (/F).",
                 "upgsim");
    std::string completionShell;
    setUpApp(app, completionShell);
    GlobalOptions opts;
    addGlobalOptions(app, opts);
    const std::map<CLI::App *, const Command *> subs = addCommands(app, opts);

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp &e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion &e) {
        return app.exit(e);
    } catch (const CLI::ParseError &e) {
        return parseFailure(e, app, subs, argc, argv);
    }

    if (!completionShell.empty()) {
        std::fputs(bashCompletion(app).c_str(), stdout);
        return EXIT_OK;
    }

    const Command *cmd = nullptr;
    CLI::App *sub = nullptr;
    for (const auto &entry : subs)
        if (entry.first->parsed()) {
            sub = entry.first;
            cmd = entry.second;
        }
    if (cmd == nullptr) {
        usageError("no command given");
        std::fputs(app.help().c_str(), stderr);
        return EXIT_USAGE;
    }

    // Scratch folders of runs that were killed (marked by a process that no
    // longer runs) go first, whatever the command.
    hostkit::removeStaleScratch();
    // One run at a time on a card, and no folder with a link played as a
    // device: checked before anything of the run touches the folders.
    const int guarded = guardDeviceFolders(opts, cmd->name);
    if (guarded != EXIT_OK) {
        finishJson(guarded, jsonWord(argc, argv));
        return guarded;
    }
    const bool scriptStatuses =
        std::strcmp(cmd->name, "run") == 0 || std::strcmp(cmd->name, "demo") == 0;
    const int ready = setUpUnit(opts, scriptStatuses, jsonWord(argc, argv));
    if (ready != EXIT_OK)
        return ready;
    endOnInterrupt(opts);

    // A failure is said in one line; the module's own lines are in --log and
    // under --verbose.
    int rc = cmd->run(opts, *sub);
    // A log that lost lines fails a command that would have succeeded: the
    // lines are what --log was given for. (A script's process says its own.)
    if (int err = hostsim::logFileError()) {
        const std::string what = "--log " + opts.log + ": cannot write: " + std::strerror(err);
        if (rc == EXIT_OK)
            rc = failure(what,
                         scriptStatuses ? scripthost::k_exit_host_failure : EXIT_FAILURE_REPORTED);
        else
            std::fprintf(stderr, "upgsim: %s\n", what.c_str());
    }
    finishJson(rc);
    std::fflush(stdout);
    hostsim::waitAllTasks(60000);
    return rc;
}
