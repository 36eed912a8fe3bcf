// File-search stand-in: CreateDir with its missing parents, registered under
// its link name, and a record of the folders asked for.
#include "unit/file_search.h"

#include "platform/plat_io.h"
#include "platform/vxworks.h"

#include <mutex>
#include <sys/stat.h>

namespace {

std::mutex g_calls_lock;
std::vector<std::string> g_calls;

bool IsFolder(const std::string &p_path) {
    struct stat l_status;
    return plat::stat(p_path.c_str(), &l_status) == 0 && S_ISDIR(l_status.st_mode);
}

} // namespace

int C_FILE_SEARCH::CreateDir(char *p_path) {
    if (p_path == nullptr || p_path[0] == '\0')
        return -1;
    std::string l_path(p_path);
    {
        std::lock_guard<std::mutex> l_guard(g_calls_lock);
        g_calls.push_back(l_path);
    }
    while (l_path.size() > 1 && l_path.back() == '/')
        l_path.pop_back();
    if (IsFolder(l_path))
        return 0;
    // Create each level from the top down; a level that already exists (or
    // that another task just made) is no failure.
    for (std::string::size_type l_pos = l_path.find('/', 1);; l_pos = l_path.find('/', l_pos + 1)) {
        std::string l_level = l_path.substr(0, l_pos);
        if (!l_level.empty() && !IsFolder(l_level) && plat::mkdir(l_level.c_str(), 0777) != 0 &&
            !IsFolder(l_level))
            return -1;
        if (l_pos == std::string::npos)
            break;
    }
    return IsFolder(l_path) ? 0 : -1;
}

namespace unit {

const char k_create_dir_symbol[] = "CreateDir__13C_FILE_SEARCHPc";

void installFileSearch() {
    {
        std::lock_guard<std::mutex> l_guard(g_calls_lock);
        g_calls.clear();
    }
    symAdd(sysSymTbl, k_create_dir_symbol, reinterpret_cast<char *>(&C_FILE_SEARCH::CreateDir),
           SYM_GLOBAL | SYM_TEXT, 0);
}

std::vector<std::string> createDirCalls() {
    std::lock_guard<std::mutex> l_guard(g_calls_lock);
    return g_calls;
}

} // namespace unit
