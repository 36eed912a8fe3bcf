// The host simulator's command interface: global options, the command table
// (each subcommand registers itself from its own file) and exit codes.
#ifndef TOOLS_UPGSIM_UPGSIM_H
#define TOOLS_UPGSIM_UPGSIM_H

#include <string>
#include <vector>

namespace upgsim {

// Exit codes of every command.
enum Exit { EXIT_OK = 0, EXIT_FAILURE_REPORTED = 1, EXIT_USAGE = 2 };

// Options accepted before or after the subcommand.
struct GlobalOptions {
    std::string sd;        // host folder mounted as "/SDH"
    std::string flash;     // host folder mounted as "/F"
    std::string media;     // host folder mounted as "/DVD"
    std::string log;       // module log file; "-" standard error; empty none
    int tickHz = 0;        // 0: the default rate (or the command's own)
    long sdBlockSize = 0;  // block size reported for "/SDH"; 0: the host's
    std::string sdCapacity; // --sd-capacity SIZE as given; the commands that use it parse it
    bool noProgress = false;
    // True when progress bars may be drawn (standard error is a terminal and
    // --no-progress was not given).
    bool progressOnTerminal() const;
};

// A subcommand: `args` are the words after its name with the global options
// removed. Returns an exit code.
struct Command {
    const char *name;
    const char *usage;   // e.g. "untar ARCHIVE DEST [--verbose] [--relative]"
    const char *summary; // one line for --help
    int (*run)(const GlobalOptions &opts, std::vector<std::string> &args);
};

// Adds a command to the table; used through a static Registrar in each
// command's file.
void registerCommand(const Command &cmd);
struct Registrar {
    explicit Registrar(const Command &cmd) { registerCommand(cmd); }
};

// Prints "upgsim: <message>" on standard error and returns EXIT_USAGE.
int usageError(const std::string &message);

// Takes "--name VALUE" out of args; true when present (value stored).
// A "--name" without a value is a usage error: *bad set to true.
bool takeOption(std::vector<std::string> &args, const std::string &name, std::string &value,
                bool *bad);
// Takes the flag "--name" out of args; true when it was present.
bool takeFlag(std::vector<std::string> &args, const std::string &name);
// Parses a whole decimal int; false when not a number.
bool parseInt(const std::string &text, long &value);

} // namespace upgsim

#endif
