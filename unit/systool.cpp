// Logging service of the unit (stand-in): SYSTOOL_LogMsgNoFormat formats its
// message at once and hands it to the simulator's log sinks as a SysTool line.
#include "unit/systool.h"

#include "platform/hostsim/hostsim.h"

#include <cstdio>
#include <cstring>

namespace unit {

namespace {

// Appends `value` formatted with the one-conversion `spec` to `out`.
template <class V> void appendOne(std::string &out, const char *spec, V value) {
    char l_small[128];
    int l_n = std::snprintf(l_small, sizeof l_small, spec, value);
    if (l_n < 0)
        return;
    if (static_cast<size_t>(l_n) < sizeof l_small) {
        out.append(l_small, static_cast<size_t>(l_n));
        return;
    }
    std::string l_big(static_cast<size_t>(l_n) + 1, '\0');
    std::snprintf(&l_big[0], l_big.size(), spec, value);
    l_big.resize(static_cast<size_t>(l_n));
    out += l_big;
}

} // namespace

std::string formatLogText(const char *format, const _Vx_usr_arg_t args[6]) {
    std::string l_out;
    if (format == nullptr)
        return l_out;
    int l_next = 0;
    auto l_take = [&]() -> _Vx_usr_arg_t { return l_next < 6 ? args[l_next++] : 0; };
    const char *l_p = format;
    while (*l_p != '\0') {
        if (*l_p != '%') {
            l_out += *l_p++;
            continue;
        }
        const char *l_start = l_p++;
        if (*l_p == '%') {
            l_out += '%';
            ++l_p;
            continue;
        }
        // Flags, width and precision ('*' takes an int argument).
        std::string l_spec = "%";
        while (*l_p != '\0' && std::strchr("-+ #0", *l_p) != nullptr)
            l_spec += *l_p++;
        auto l_number = [&]() {
            if (*l_p == '*') {
                l_spec += std::to_string(static_cast<int>(l_take()));
                ++l_p;
                return;
            }
            while (*l_p >= '0' && *l_p <= '9')
                l_spec += *l_p++;
        };
        l_number();
        if (*l_p == '.') {
            l_spec += *l_p++;
            l_number();
        }
        // Length modifiers: any 'l', 'z', 'j', 't' or 'q' makes it a long.
        bool l_long = false;
        while (*l_p != '\0' && std::strchr("hlLqjzt", *l_p) != nullptr) {
            if (*l_p != 'h')
                l_long = true;
            ++l_p;
        }
        char l_conv = *l_p;
        if (l_conv == '\0') {
            l_out.append(l_start);
            break;
        }
        ++l_p;
        switch (l_conv) {
        case 'd':
        case 'i':
            if (l_long)
                appendOne(l_out, (l_spec + "lld").c_str(), static_cast<long long>(l_take()));
            else
                appendOne(l_out, (l_spec + "d").c_str(), static_cast<int>(l_take()));
            break;
        case 'u':
        case 'x':
        case 'X':
        case 'o':
            if (l_long)
                appendOne(l_out, (l_spec + "ll" + l_conv).c_str(),
                          static_cast<unsigned long long>(l_take()));
            else
                appendOne(l_out, (l_spec + l_conv).c_str(), static_cast<unsigned int>(l_take()));
            break;
        case 'c':
            appendOne(l_out, (l_spec + "c").c_str(), static_cast<int>(l_take()));
            break;
        case 's': {
            const char *l_text = reinterpret_cast<const char *>(l_take());
            appendOne(l_out, (l_spec + "s").c_str(), l_text != nullptr ? l_text : "(null)");
            break;
        }
        case 'p':
            appendOne(l_out, (l_spec + "p").c_str(), reinterpret_cast<void *>(l_take()));
            break;
        default:
            // Not a conversion the log functions take: written as it stands.
            l_out.append(l_start, static_cast<size_t>(l_p - l_start));
            break;
        }
    }
    return l_out;
}

void resetSysTool() {}

} // namespace unit

void SYSTOOL_LogMsgNoFormat(bool, const char *p_format, _Vx_usr_arg_t p_a1, _Vx_usr_arg_t p_a2,
                            _Vx_usr_arg_t p_a3, _Vx_usr_arg_t p_a4, _Vx_usr_arg_t p_a5,
                            _Vx_usr_arg_t p_a6) {
    const _Vx_usr_arg_t l_args[6] = {p_a1, p_a2, p_a3, p_a4, p_a5, p_a6};
    std::string l_text = unit::formatLogText(p_format, l_args);
    if (l_text.empty() || l_text.back() != '\n')
        l_text += '\n';
    hostsim::emitLog(hostsim::LogSource::SysTool, l_text.c_str());
}
