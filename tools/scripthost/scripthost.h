// Script host: compiles an upgrade script (a C program) with TinyCC into memory
// owned by the host and runs its main on the calling thread. Scripts reach the
// module's builtins through small generated wrappers that build the
// interpreter's argument frame and call the handler registered under the
// builtin's name (hostsim::callBuiltin), exactly as the unit's interpreter
// does. The script's own file functions resolve device names ("/DVD/...",
// "/SDH/...") like the module's.
//
// The builtin table below is the one description of the builtins as scripts
// see them: the header that scripts include ("upgrade_builtins.h") and the
// wrappers compiled beside each script are both generated from it.
#ifndef TOOLS_SCRIPTHOST_SCRIPTHOST_H
#define TOOLS_SCRIPTHOST_SCRIPTHOST_H

#include <cstddef>
#include <string>
#include <vector>

namespace scripthost {

// How one argument reaches its slot: an int, an unsigned int (both in the
// slot's first 4 bytes) or a pointer (the slot's first 8 bytes).
enum class ArgKind : char { Int = 'i', UInt = 'u', Ptr = 'p' };

struct ParamRow {
    ArgKind kind;
    const char *ctype; // C type in the script's prototype
    const char *name;  // parameter name in the prototype
};

// Maximum number of arguments of a builtin.
constexpr int k_max_params = 5;

// One builtin as scripts see it.
struct BuiltinRow {
    const char *name; // script name, also the name it is registered under
    const char *doc;  // comment above its prototype in the header
    int count;        // number of parameters
    ParamRow params[k_max_params];
};

// The builtin table, in registration order.
const BuiltinRow *builtinTable();
std::size_t builtinCount();

// Name of the header scripts include.
extern const char k_header_name[];
// Text of "upgrade_builtins.h": the country table layout, buffer sizes and the
// prototypes of every builtin of the table; and, unless the script defines
// UPG_NO_CALL_SITES first, one function-like macro per builtin that turns a
// call by name into a call of its site function "upg_site_NAME(__FILE__,
// __LINE__, args...)", so that the host learns where each call is made.
std::string headerText();
// Text of the wrappers compiled beside every script: per builtin, its site
// function, which hands the file, line and arguments to the host's call
// entry, and the builtin itself (called through its address, or without
// the macros), which hands them without a site.
std::string wrapperText();
// Writes the header and the country-table header into `dir` (created when
// missing) so that an editor or another compiler sees what scripts see. False
// when a file cannot be written.
bool writeHeaders(const std::string &dir);

// Differences between the table and the builtins registered now: one line per
// name that is in the table but not registered, registered but not in the
// table, or registered in another order. Empty when they agree.
std::vector<std::string> compareWithRegistry();

// Text of a file bundled into the host at build time ("map_upgrade.c",
// "poi_only.c", "upg_country_table.h"), or null when not bundled.
const char *bundledText(const char *name);

struct RunOptions {
    // Arguments after the script's name: argv[1]... of its main (argv[0] is
    // the script's path).
    std::vector<std::string> args;
    // Extra include folders for the script's #include "...".
    std::vector<std::string> includeDirs;
    // The script has the process to itself (a child made for it): abort()
    // then ends the process with SIGABRT after flushing the streams, as on
    // a real process. Otherwise it ends only the script, with status 134.
    bool ownProcess = false;
    // Once it is compiled, and before its main starts, the process is
    // confined to the devices mounted now (confine.h): for a process made
    // for the script only.
    bool confine = false;
};

struct RunResult {
    enum class Outcome {
        Returned,      // main returned; status is its value
        Exited,        // the script called exit (or _exit, abort); status is its value
        CompileFailed, // the script (or its header) did not compile; see messages
        LinkFailed,    // undefined symbols, no main, or no memory to link into
        Busy,          // another script is running
        HostFailed,    // the host could not prepare the compilation (temp folder)
    };
    Outcome outcome = Outcome::HostFailed;
    int status = -1; // the script's status when it ran, otherwise -1
    // Compiler messages ("file:line: error: ...") and host notes (a builtin
    // that is not registered, files the script left open).
    std::vector<std::string> messages;

    bool ran() const { return outcome == Outcome::Returned || outcome == Outcome::Exited; }
    // All messages, one per line.
    std::string messageText() const;
};

// Compiles `scriptPath` with the generated header and wrappers, links it into
// memory the host allocates, and runs its main with `options.args` on the
// calling thread. One script runs at a time: a call while another runs (from
// any thread) returns Busy at once. A script's exit(n) ends the script, not the
// host, and becomes its status; files, descriptors and folders the script left
// open are closed afterwards (noted in messages). The builtins reached are
// those registered at the time of each call.
RunResult runScript(const std::string &scriptPath, const RunOptions &options = RunOptions());

} // namespace scripthost

#endif
