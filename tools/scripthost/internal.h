// Pieces shared by the files of the script host: the state of the script that
// runs now, and the host symbols handed to TinyCC. Not for use outside
// tools/scripthost.
#ifndef TOOLS_SCRIPTHOST_INTERNAL_H
#define TOOLS_SCRIPTHOST_INTERNAL_H

#include <csetjmp>
#include <cstdio>
#include <dirent.h>
#include <set>
#include <string>
#include <vector>

namespace scripthost {
namespace detail {

// State of the running script. Only the thread that runs the script touches
// it, and only while the script runs.
struct RunContext {
    std::jmp_buf exitJump;                   // where exit() returns to
    int exitStatus = 0;                      // the argument of exit()
    bool ownProcess = false;                 // RunOptions::ownProcess
    int pid = 0;                             // the process the script was started in
    std::set<FILE *> files;                  // opened by the script with fopen and not closed
    std::set<int> fds;                       // opened with open and not closed
    std::set<DIR *> dirs;                    // opened with opendir and not closed
    std::set<std::string> unregisteredNamed; // builtins called but not registered
    std::vector<std::string> notes;          // host notes for RunResult::messages
    // For stdin, stdout and stderr put on a device file by freopen: that
    // file's own stream (also in `files`), through which the script's writes
    // to the standard stream pass the gates; null otherwise.
    FILE *standardFiles[3] = {nullptr, nullptr, nullptr};
    bool barActive = false; // ActivateBargraph succeeded, not yet deactivated
    std::string barText;    // its text, as the module keeps it
};

// Ends a process the script forked: its streams flushed, as exit() does,
// and nothing of the host's run after the script (which belongs to the
// process the script was started in) done a second time.
[[noreturn]] void endForkedProcess(int status);

// The context of the script that runs now, or null between scripts.
RunContext *currentRun();
void setCurrentRun(RunContext *ctx);

// A name and address handed to TinyCC with tcc_add_symbol.
struct HostSymbol {
    const char *name;
    const void *address;
};
// The host's replacements of the script's C library functions (device-resolving
// file functions, exit) and the wrappers' call entry.
std::vector<HostSymbol> hostSymbols();

// Closes what the script left open. When `noteLeftovers` (the script returned
// from main rather than calling exit, which closes its files anyway), adds a
// note naming how many. Called once the script has ended.
void finishRun(RunContext &ctx, bool noteLeftovers);

} // namespace detail
} // namespace scripthost

#endif
