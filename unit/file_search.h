// Stand-in for the unit's file-search module: only its folder creation, which
// the builtin "UPGCopy" finds by link name ("CreateDir__13C_FILE_SEARCHPc").
#ifndef UNIT_FILE_SEARCH_H
#define UNIT_FILE_SEARCH_H

#include <string>
#include <vector>

class C_FILE_SEARCH {
public:
    // Creates the folder p_path and every missing folder above it (device
    // names such as "/SDH" resolve as for every module file access). Returns 0
    // when the folder exists afterwards, -1 when it cannot be created (or the
    // path is null or empty). Any task.
    static int CreateDir(char *p_path);
};

namespace unit {

// Link name under which the file search's CreateDir is registered.
extern const char k_create_dir_symbol[];

// Registers CreateDir in the symbol table and forgets the recorded calls.
// Called by unit::installAll().
void installFileSearch();

// Folders passed to CreateDir since the last installFileSearch(), oldest first
// (for tests and the simulator).
std::vector<std::string> createDirCalls();

} // namespace unit

#endif
