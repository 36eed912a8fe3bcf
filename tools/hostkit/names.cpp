// Names in text and JSON reports (see names.h).
#include "tools/hostkit/names.h"

#include <cstdio>

namespace hostkit {

namespace {

// The length of the valid UTF-8 sequence at p (left bytes remain), or 0.
size_t sequence(const unsigned char *p, size_t left) {
    size_t n = 0;
    unsigned min = 0;
    if (p[0] < 0x80)
        return 1;
    if (p[0] >= 0xC2 && p[0] <= 0xDF) {
        n = 2;
        min = 0x80;
    } else if (p[0] >= 0xE0 && p[0] <= 0xEF) {
        n = 3;
        min = 0x800;
    } else if (p[0] >= 0xF0 && p[0] <= 0xF4) {
        n = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (n > left)
        return 0;
    unsigned cp = p[0] & (0xFF >> (n + 1));
    for (size_t i = 1; i < n; ++i) {
        if ((p[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (p[i] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    return n;
}

void appendHex(std::string &out, unsigned char byte) {
    char hex[5];
    std::snprintf(hex, sizeof hex, "\\x%02x", byte);
    out += hex;
}

} // namespace

bool isUtf8(const std::string &text) {
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t n = sequence(p + i, text.size() - i);
        if (n == 0)
            return false;
        i += n;
    }
    return true;
}

std::string printable(const std::string &text) {
    std::string out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = p[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7F) {
            appendHex(out, c);
        } else {
            const size_t n = sequence(p + i, text.size() - i);
            if (n == 0) {
                appendHex(out, c);
            } else {
                out.append(text, i, n);
                i += n;
                continue;
            }
        }
        ++i;
    }
    return out;
}

std::string utf8Replaced(const std::string &text) {
    std::string out;
    const unsigned char *p = reinterpret_cast<const unsigned char *>(text.data());
    for (size_t i = 0; i < text.size();) {
        const size_t n = sequence(p + i, text.size() - i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

std::string escapedBytes(const std::string &text) {
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == '\\')
            out += "\\\\";
        else if (c >= 0x20 && c < 0x7F)
            out += ch;
        else
            appendHex(out, c);
    }
    return out;
}

} // namespace hostkit
