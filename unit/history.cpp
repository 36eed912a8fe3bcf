// Upgrade-history stand-in: records the comments it is given.
#include "unit/history.h"

#include <mutex>

namespace {

std::mutex g_history_mutex;
std::vector<std::string> g_history_comments;
bool g_history_fails = false;

} // namespace

int C_EXTERNAL_UPGRADE::s_AddUPGHistoryComment(_Vx_usr_arg_t p_comment) {
    const char *l_comment = reinterpret_cast<const char *>(p_comment);
    std::lock_guard<std::mutex> l_lock(g_history_mutex);
    if (g_history_fails)
        return ERROR;
    g_history_comments.push_back(l_comment != nullptr ? l_comment : "(null)");
    return OK;
}

namespace unit {

const char k_history_comment_symbol[] = "s_AddUPGHistoryComment__18C_EXTERNAL_UPGRADE";

void resetHistory() {
    {
        std::lock_guard<std::mutex> l_lock(g_history_mutex);
        g_history_comments.clear();
        g_history_fails = false;
    }
    setHistoryPresent(true);
}

std::vector<std::string> historyComments() {
    std::lock_guard<std::mutex> l_lock(g_history_mutex);
    return g_history_comments;
}

void setHistoryFails(bool fails) {
    std::lock_guard<std::mutex> l_lock(g_history_mutex);
    g_history_fails = fails;
}

void setHistoryPresent(bool present) {
    if (present)
        symAdd(sysSymTbl, k_history_comment_symbol,
               reinterpret_cast<char *>(&C_EXTERNAL_UPGRADE::s_AddUPGHistoryComment),
               SYM_GLOBAL | SYM_TEXT, 0);
    else
        symRemove(sysSymTbl, k_history_comment_symbol, SYM_GLOBAL | SYM_TEXT);
}

} // namespace unit
