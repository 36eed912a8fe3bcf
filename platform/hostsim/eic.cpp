// The interpreter seam on the host: the activation-record pointers, a
// registry of builtin name to handler, and a call helper that lays out the
// arguments in 24-byte slots below AR[2] the way the interpreter does.
#include "platform/hostsim/hostsim.h"
#include "platform/hostsim/internal.h"

#include <cstring>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

AR_t *AR[3] = {nullptr, nullptr, nullptr};

namespace {

struct BuiltinRegistry {
    std::mutex lock;
    std::vector<std::pair<std::string, EiC_BuiltinFunc>> builtins; // registration order
    std::vector<std::string> history;                              // "+name" / "-name"
    std::string failingName;
};

BuiltinRegistry &registry() {
    static BuiltinRegistry *r = new BuiltinRegistry; // never destroyed
    return *r;
}

} // namespace

// Host: every call is recorded in the registration log ("+name"), also one
// that fails; registering a name again replaces its handler in place.
int EiC_AddBuiltInFunc(const char *name, EiC_BuiltinFunc func) {
    if (name == nullptr)
        return -1;
    BuiltinRegistry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.history.push_back(std::string("+") + name);
    if (func == nullptr || name[0] == '\0' || (!r.failingName.empty() && r.failingName == name))
        return -1;
    for (auto &b : r.builtins) {
        if (b.first == name) {
            b.second = func;
            return 0;
        }
    }
    r.builtins.emplace_back(name, func);
    return 0;
}

void EiC_RemoveBuiltInFunc(const char *name) {
    if (name == nullptr)
        return;
    BuiltinRegistry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.history.push_back(std::string("-") + name);
    for (auto it = r.builtins.begin(); it != r.builtins.end(); ++it) {
        if (it->first == name) {
            r.builtins.erase(it);
            return;
        }
    }
}

namespace hostsim {

EiC_BuiltinFunc findBuiltin(const char *name) {
    if (name == nullptr)
        return nullptr;
    BuiltinRegistry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    for (const auto &b : r.builtins)
        if (b.first == name)
            return b.second;
    return nullptr;
}

// The frame holds exactly the slots passed, zero-filled, so that a builtin
// reading more arguments than given is caught by the address sanitizer. The
// handler runs on the caller's thread, like a builtin on the interpreter's
// task.
std::string siteText(const CallSite &site) {
    if (site.file.empty())
        return std::string();
    const std::size_t slash = site.file.rfind('/');
    std::string text =
        site.file.substr(slash == std::string::npos ? 0 : slash + 1, kMaxSiteFileBytes);
    for (char &c : text) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7f)
            c = '?';
    }
    if (site.line > 0)
        text += ":" + std::to_string(site.line);
    return text;
}

bool callBuiltin(const char *name, const std::vector<EicArg> &args, val_t *result) {
    return callBuiltin(name, args, result, CallSite());
}

bool callBuiltin(const char *name, const std::vector<EicArg> &args, val_t *result,
                 const CallSite &site) {
    const EiC_BuiltinFunc f = findBuiltin(name);
    if (f == nullptr)
        return false;
    const size_t n = args.size();
    std::vector<AR_t> frame(n > 0 ? n : 1);
    std::memset(static_cast<void *>(frame.data()), 0, frame.size() * sizeof(AR_t));
    for (size_t i = 0; i < n; ++i) {
        // Argument i lies in the (i + 1)-th slot below AR[2].
        AR_t &slot = frame[n - 1 - i];
        if (args[i].isPointer)
            std::memcpy(&slot.v, &args[i].pval, sizeof(void *));
        else
            std::memcpy(&slot.v, &args[i].ival, sizeof(int));
    }
    AR_t *const saved = AR[2];
    AR[2] = frame.data() + n;
    detail::builtinCallBegins(name, siteText(site));
    const val_t v = f();
    detail::builtinCallEnds();
    AR[2] = saved;
    if (result != nullptr)
        *result = v;
    return true;
}

std::vector<std::string> registeredBuiltins() {
    BuiltinRegistry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    std::vector<std::string> out;
    out.reserve(r.builtins.size());
    for (const auto &b : r.builtins)
        out.push_back(b.first);
    return out;
}

std::vector<std::string> builtinRegistrationLog() {
    BuiltinRegistry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    return r.history;
}

void clearBuiltinRegistrationLog() {
    BuiltinRegistry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.history.clear();
}

void failBuiltinRegistration(const std::string &name) {
    BuiltinRegistry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.failingName = name;
}

namespace detail {
void resetBuiltins() {
    BuiltinRegistry &r = registry();
    std::lock_guard<std::mutex> g(r.lock);
    r.builtins.clear();
    r.history.clear();
    r.failingName.clear();
    AR[0] = AR[1] = AR[2] = nullptr;
}
} // namespace detail

} // namespace hostsim
