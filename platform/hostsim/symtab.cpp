// The system symbol table on the host: a thread-safe registry of name to
// address that the unit stand-ins fill with their entry points.
#include "platform/hostsim/internal.h"
#include "platform/vxworks.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <string>

// The table's handle. Its entries live in a registry created on first use,
// so that the handle is initialised before any code runs (constant
// initialisation) and stays valid while tasks run during exit.
struct symtab {
    int unused;
};

namespace {

struct Registry {
    std::mutex lock;
    struct Entry {
        char *value;
        SYM_TYPE type;
    };
    std::map<std::string, Entry> entries;
};

Registry &systemTable() {
    static Registry *r = new Registry; // never destroyed
    return *r;
}

symtab g_sysTableHandle = {0};

} // namespace

SYMTAB_ID sysSymTbl = &g_sysTableHandle;

// Host: any table id names the one system table (the module only uses
// sysSymTbl); a null id is an error.
STATUS symFindByName(SYMTAB_ID symTblId, const char *name, char **pValue, SYM_TYPE *pType) {
    if (symTblId == nullptr || name == nullptr || pValue == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    Registry &t = systemTable();
    std::lock_guard<std::mutex> g(t.lock);
    auto it = t.entries.find(name);
    if (it == t.entries.end()) {
        errno = ENOENT;
        return ERROR;
    }
    *pValue = it->second.value;
    if (pType != nullptr)
        *pType = it->second.type;
    return OK;
}

STATUS symAdd(SYMTAB_ID symTblId, const char *name, char *value, SYM_TYPE type,
              unsigned short group) {
    (void)group;
    if (symTblId == nullptr || name == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    Registry &t = systemTable();
    std::lock_guard<std::mutex> g(t.lock);
    t.entries[name] = Registry::Entry{value, type};
    return OK;
}

STATUS symRemove(SYMTAB_ID symTblId, const char *name, SYM_TYPE type) {
    (void)type;
    if (symTblId == nullptr || name == nullptr) {
        errno = EINVAL;
        return ERROR;
    }
    Registry &t = systemTable();
    std::lock_guard<std::mutex> g(t.lock);
    if (t.entries.erase(name) == 0) {
        errno = ENOENT;
        return ERROR;
    }
    return OK;
}

namespace hostsim {
namespace detail {
void resetSymbols() {
    Registry &t = systemTable();
    std::lock_guard<std::mutex> g(t.lock);
    t.entries.clear();
}
} // namespace detail
} // namespace hostsim
