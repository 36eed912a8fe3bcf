// Names from a card or a medium in the tools' reports: the bytes a file
// system or an archive holds, which may be anything. Text reports escape
// what would break a line or the terminal; JSON keeps valid UTF-8, puts
// U+FFFD for each byte that starts no valid sequence, and can carry the
// bytes themselves in an escaped field beside. Host tool code, any thread.
#ifndef TOOLS_HOSTKIT_NAMES_H
#define TOOLS_HOSTKIT_NAMES_H

#include <string>

namespace hostkit {

// Whether `text` is valid UTF-8 (no overlong form, no surrogate, nothing
// past U+10FFFF).
bool isUtf8(const std::string &text);

// `text` as a text report prints it: valid UTF-8 and printable ASCII as
// they are; a backslash as "\\"; newline, carriage return and tab as "\n",
// "\r" and "\t"; every other control byte and every byte of no valid UTF-8
// sequence as "\xNN". A name never starts a line of its own.
std::string printable(const std::string &text);

// `text` as valid UTF-8: each byte that starts no valid sequence becomes
// U+FFFD.
std::string utf8Replaced(const std::string &text);

// The bytes of `text` in ASCII for a JSON field beside the replaced text:
// printable ASCII as it is, a backslash as "\\", every other byte as
// "\xNN".
std::string escapedBytes(const std::string &text);

} // namespace hostkit

#endif
