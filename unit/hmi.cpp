// HMI stand-in: records the screens and bargraph steps it is asked for and,
// when the simulator asks, draws the bargraph on the terminal.
#include "unit/hmi.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

const int k_function_count = 5;

struct t_hmi_state {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<unit::HmiCall> calls;
    bool fails[k_function_count] = {};
    bool terminal = false;
    bool terminal_line_open = false;
    bool terminal_filled = false; // the bar was drawn full; later steps are stale
};

t_hmi_state &State() {
    static t_hmi_state s_state;
    return s_state;
}

int Index(unit::HmiFunction p_function) {
    return static_cast<int>(p_function);
}

// Records a call and returns the entry's result.
int Record(unit::HmiFunction p_function, std::vector<int> p_values, std::string p_text = {}) {
    t_hmi_state &l_state = State();
    std::lock_guard<std::mutex> l_lock(l_state.mutex);
    l_state.calls.push_back(
        unit::HmiCall{p_function, std::move(p_values), std::move(p_text), tickGet()});
    l_state.changed.notify_all();
    return l_state.fails[Index(p_function)] ? ERROR : OK;
}

// Draws "text [#####-----]  50%" over the current terminal line. Caller holds
// the state's mutex.
void DrawBar(t_hmi_state &p_state, const char *p_text, int p_percent) {
    const int l_width = 30;
    int l_filled = p_percent < 0 ? 0 : (p_percent > 100 ? l_width : p_percent * l_width / 100);
    char l_bar[l_width + 1];
    for (int l_i = 0; l_i < l_width; l_i++)
        l_bar[l_i] = l_i < l_filled ? '#' : '-';
    l_bar[l_width] = '\0';
    // The module's percentage passes 100 when the total it was given is short
    // (an archive of several gzip members announces only its last member's
    // size): the terminal shows the bar full, never more than 100 %.
    std::fprintf(stderr, "\r\033[K%.40s [%s] %3d%%", p_text != nullptr ? p_text : "", l_bar,
                 p_percent < 0 ? 0 : (p_percent > 100 ? 100 : p_percent));
    std::fflush(stderr);
    p_state.terminal_line_open = true;
}

} // namespace

int C_MMI_UPGRADE::s_ShowMediaCanceled() {
    return Record(unit::HmiFunction::ShowMediaCanceled, {});
}

int C_MMI_UPGRADE::s_ShowCDProblem() {
    return Record(unit::HmiFunction::ShowCDProblem, {});
}

int C_MMI_UPGRADE::s_ShowNavigationEraseCountryScreenWithSize(_Vx_usr_arg_t p_a, _Vx_usr_arg_t p_b,
                                                              _Vx_usr_arg_t p_c, _Vx_usr_arg_t p_d,
                                                              _Vx_usr_arg_t p_size) {
    return Record(unit::HmiFunction::EraseCountryScreenWithSize,
                  {static_cast<int>(p_a), static_cast<int>(p_b), static_cast<int>(p_c),
                   static_cast<int>(p_d), static_cast<int>(p_size)});
}

int C_MMI_UPGRADE::s_ShowNavigationEraseCountryScreen(_Vx_usr_arg_t p_a, _Vx_usr_arg_t p_b,
                                                      _Vx_usr_arg_t p_c, _Vx_usr_arg_t p_d) {
    return Record(unit::HmiFunction::EraseCountryScreen,
                  {static_cast<int>(p_a), static_cast<int>(p_b), static_cast<int>(p_c),
                   static_cast<int>(p_d)});
}

// The bar task reaches this through the symbol table and calls it with
// pointer-sized integers (the text's address and the percentage), as the unit
// does; the host ABI passes both in registers of that size.
int C_MMI_UPGRADE::StepBargraph(char *p_text, int p_percent) {
    {
        t_hmi_state &l_state = State();
        std::lock_guard<std::mutex> l_lock(l_state.mutex);
        if (l_state.terminal && !l_state.terminal_filled)
            DrawBar(l_state, p_text, p_percent);
    }
    return Record(unit::HmiFunction::StepBargraph, {p_percent}, p_text != nullptr ? p_text : "");
}

namespace unit {

const char *hmiSymbol(HmiFunction function) {
    switch (function) {
    case HmiFunction::ShowMediaCanceled:
        return "s_ShowMediaCanceled__13C_MMI_UPGRADE";
    case HmiFunction::ShowCDProblem:
        return "s_ShowCDProblem__13C_MMI_UPGRADE";
    case HmiFunction::EraseCountryScreenWithSize:
        return "s_ShowNavigationEraseCountryScreenWithSize__13C_MMI_UPGRADE";
    case HmiFunction::EraseCountryScreen:
        return "s_ShowNavigationEraseCountryScreen__13C_MMI_UPGRADE";
    case HmiFunction::StepBargraph:
        return "StepBargraph__13C_MMI_UPGRADEPci";
    }
    return "";
}

namespace {

char *EntryAddress(HmiFunction function) {
    switch (function) {
    case HmiFunction::ShowMediaCanceled:
        return reinterpret_cast<char *>(&C_MMI_UPGRADE::s_ShowMediaCanceled);
    case HmiFunction::ShowCDProblem:
        return reinterpret_cast<char *>(&C_MMI_UPGRADE::s_ShowCDProblem);
    case HmiFunction::EraseCountryScreenWithSize:
        return reinterpret_cast<char *>(&C_MMI_UPGRADE::s_ShowNavigationEraseCountryScreenWithSize);
    case HmiFunction::EraseCountryScreen:
        return reinterpret_cast<char *>(&C_MMI_UPGRADE::s_ShowNavigationEraseCountryScreen);
    case HmiFunction::StepBargraph:
        return reinterpret_cast<char *>(&C_MMI_UPGRADE::StepBargraph);
    }
    return nullptr;
}

const HmiFunction k_all_functions[k_function_count] = {
    HmiFunction::ShowMediaCanceled, HmiFunction::ShowCDProblem,
    HmiFunction::EraseCountryScreenWithSize, HmiFunction::EraseCountryScreen,
    HmiFunction::StepBargraph};

} // namespace

void resetHmi() {
    setBargraphOnTerminal(false);
    {
        t_hmi_state &l_state = State();
        std::lock_guard<std::mutex> l_lock(l_state.mutex);
        l_state.calls.clear();
        for (bool &l_fails : l_state.fails)
            l_fails = false;
    }
    for (HmiFunction l_function : k_all_functions)
        setHmiPresent(l_function, true);
}

void setHmiPresent(HmiFunction function, bool present) {
    if (present)
        symAdd(sysSymTbl, hmiSymbol(function), EntryAddress(function), SYM_GLOBAL | SYM_TEXT, 0);
    else
        symRemove(sysSymTbl, hmiSymbol(function), SYM_GLOBAL | SYM_TEXT);
}

void setHmiFails(HmiFunction function, bool fails) {
    t_hmi_state &l_state = State();
    std::lock_guard<std::mutex> l_lock(l_state.mutex);
    l_state.fails[Index(function)] = fails;
}

std::vector<HmiCall> hmiCalls() {
    t_hmi_state &l_state = State();
    std::lock_guard<std::mutex> l_lock(l_state.mutex);
    return l_state.calls;
}

std::vector<HmiCall> hmiCalls(HmiFunction function) {
    std::vector<HmiCall> l_selected;
    for (HmiCall &l_call : hmiCalls())
        if (l_call.function == function)
            l_selected.push_back(std::move(l_call));
    return l_selected;
}

bool waitHmiCalls(HmiFunction function, std::size_t count, int timeoutMs) {
    t_hmi_state &l_state = State();
    std::unique_lock<std::mutex> l_lock(l_state.mutex);
    return l_state.changed.wait_for(l_lock, std::chrono::milliseconds(timeoutMs), [&] {
        std::size_t l_seen = 0;
        for (const HmiCall &l_call : l_state.calls)
            if (l_call.function == function)
                l_seen++;
        return l_seen >= count;
    });
}

void setBargraphOnTerminal(bool on) {
    t_hmi_state &l_state = State();
    std::lock_guard<std::mutex> l_lock(l_state.mutex);
    if (!on && l_state.terminal_line_open) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    l_state.terminal_line_open = false;
    l_state.terminal_filled = false;
    l_state.terminal = on;
}

void fillBargraphOnTerminal(const std::string &text) {
    t_hmi_state &l_state = State();
    std::lock_guard<std::mutex> l_lock(l_state.mutex);
    if (!l_state.terminal)
        return;
    DrawBar(l_state, text.c_str(), 100);
    l_state.terminal_filled = true;
}

void startBargraphExtraction() {
    t_hmi_state &l_state = State();
    std::lock_guard<std::mutex> l_lock(l_state.mutex);
    l_state.terminal_filled = false;
}

} // namespace unit
