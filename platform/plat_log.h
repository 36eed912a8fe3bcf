// Logging helper: plat::log(format, args...) calls logMsg with each argument
// converted to the pointer-sized _Vx_usr_arg_t that logMsg takes, so that a
// log call names its values without a cast on every one of them.
//
// It lives apart from vxworks.h, which declares the OS's own services under
// their own names: this is the module's convenience over one of them, and a
// file that logs says so by including it.
//
// What an argument may be, checked at compile time:
// - an integer (bool and the character types included) or an enumerator: it
//   is passed by value, converted as a C cast to _Vx_usr_arg_t would convert
//   it (a signed value keeps its sign for %d and %ld, an unsigned one is not
//   sign-extended for %u, %lu and %X);
// - a pointer to an object (a text for %s, an address for %p or 0x%X) or
//   nullptr: passed as its address.
// Refused: more than six arguments; floating point (logMsg has no %f); class
// objects (a CKWString or std::string: pass GetBuffer() or c_str()); function
// and member pointers; and any integer wider than the argument. On the unit
// the argument is 32 bits wide, so a 64-bit value (uint64_t, a long long)
// would lose its upper half: long long is refused on every build, and a
// uint64_t, which is a long on a 64-bit host, is refused by the unit's (the
// cross) build. A caller that knows its 64-bit value fits says so with a cast
// of its own.
#ifndef PLATFORM_PLAT_LOG_H
#define PLATFORM_PLAT_LOG_H

#include "platform/vxworks.h"

#include <type_traits>

namespace plat {

// The most arguments logMsg takes.
inline constexpr int k_log_args_max = 6;

// True when a value of type T may be a log argument (see the banner).
template <typename T>
inline constexpr bool k_is_log_arg = [] {
    using V = std::remove_cv_t<T>;
    if constexpr (std::is_null_pointer_v<V>) {
        return true;
    } else if constexpr (std::is_pointer_v<V>) {
        return !std::is_function_v<std::remove_pointer_t<V>>;
    } else if constexpr (std::is_enum_v<V>) {
        return sizeof(std::underlying_type_t<V>) <= sizeof(_Vx_usr_arg_t);
    } else if constexpr (std::is_integral_v<V>) {
        return sizeof(V) <= sizeof(_Vx_usr_arg_t) && !std::is_same_v<V, long long> &&
               !std::is_same_v<V, unsigned long long>;
    } else {
        return false;
    }
}();

// Converts one log argument to logMsg's argument type. Any task.
template <typename T> inline _Vx_usr_arg_t logArg(T p_value) {
    static_assert(k_is_log_arg<T>, "a log argument is an integer no wider than logMsg's "
                                   "argument (32 bits on the unit), an enumerator or an "
                                   "object pointer: no floating point, no class object");
    using V = std::remove_cv_t<T>;
    if constexpr (std::is_null_pointer_v<V>) {
        return 0;
    } else if constexpr (std::is_pointer_v<V>) {
        return reinterpret_cast<_Vx_usr_arg_t>(p_value);
    } else if constexpr (std::is_enum_v<V>) {
        return static_cast<_Vx_usr_arg_t>(static_cast<std::underlying_type_t<V>>(p_value));
    } else {
        return static_cast<_Vx_usr_arg_t>(p_value);
    }
}

// Refuses, at compile time, more than `max` arguments of a logging call.
template <int max, typename... Args> inline constexpr void checkLogArgCount() {
    static_assert(sizeof...(Args) <= max, "too many log arguments");
}

// Logs `p_format` with up to six arguments (see the banner), as logMsg does;
// returns logMsg's result (the number of characters logged). Any task.
template <typename... Args> inline int log(const char *p_format, Args... p_args) {
    checkLogArgCount<k_log_args_max, Args...>();
    return logMsg(p_format, logArg(p_args)...);
}

} // namespace plat

#endif
