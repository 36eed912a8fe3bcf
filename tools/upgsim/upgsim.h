// The host simulator's command interface: global options, the command table
// (each subcommand registers itself from its own file), exit codes and the
// helpers the commands share.
#ifndef TOOLS_UPGSIM_UPGSIM_H
#define TOOLS_UPGSIM_UPGSIM_H

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace upgsim {

// Exit codes of every command but "run".
enum Exit { EXIT_OK = 0, EXIT_FAILURE_REPORTED = 1, EXIT_USAGE = 2 };

// Tick rate of every command when --tick-hz is not given: the module's
// 500-tick pauses and bargraph steps pass in a twelfth of a second. The unit
// runs 60.
constexpr int k_default_tick_hz = 6000;

// Options accepted before or after the subcommand.
struct GlobalOptions {
    std::string sd;             // host folder mounted as "/SDH"
    std::string flash;          // host folder mounted as "/F"
    std::string media;          // host folder mounted as "/DVD"
    std::string log;            // module log file; "-" standard error; empty none
    int tickHz = 0;             // 0: k_default_tick_hz
    long sdBlockSize = 0;       // block size reported for "/SDH"; 0: the host's
    long long sdCapacity = -1;  // capacity played for "/SDH" in bytes; -1: none
    bool noProgress = false;
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

// Prints "upgsim: <message>" on standard error and returns EXIT_USAGE.
int usageError(const std::string &message);

// When `unitPath` lies on a unit device ("/SDH", "/F", "/DVD") that is not
// mounted, prints "upgsim: COMMAND: WHAT is on /SDH, which is not mounted
// (give --sd DIR)" and returns false; true otherwise.
bool deviceMounted(const GlobalOptions &opts, const char *command, const char *what,
                   const std::string &unitPath);

// Adds the global options, bound to `opts`, to `app` (the main command, and
// "run", which stops parsing at its script).
void addGlobalOptions(CLI::App &app, GlobalOptions &opts);

} // namespace upgsim

#endif
