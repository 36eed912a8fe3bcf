// CKWString: implementation of the module's string class. The text lives in
// one malloc'ed block, always NUL-terminated at m_length; the block grows by
// half again of what is needed so that appending in a loop stays linear. A
// failed allocation leaves the string as it was and is logged. Any task may
// use strings; one string is used by one task at a time (nothing is locked).
#include "foundation/CKWString.h"

#include "platform/plat_log.h"
#include "platform/vxworks.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Length of a text argument: the whole text up to its NUL for a negative
// length, else at most `p_length` characters, stopping early at a NUL. A null
// text has length 0.
int TextLength(const char *p_text, int p_length) {
    if (p_text == nullptr || p_length == 0) {
        return 0;
    }
    if (p_length < 0) {
        size_t l_len = strlen(p_text);
        return l_len > static_cast<size_t>(INT_MAX - 1) ? INT_MAX - 1 : static_cast<int>(l_len);
    }
    const void *l_nul = memchr(p_text, '\0', static_cast<size_t>(p_length));
    if (l_nul != nullptr) {
        return static_cast<int>(static_cast<const char *>(l_nul) - p_text);
    }
    return p_length;
}

char ToLowerAscii(char p_c) {
    return (p_c >= 'A' && p_c <= 'Z') ? static_cast<char>(p_c - 'A' + 'a') : p_c;
}

// Storage handed out by the non-const GetBuffer of an empty string whose first
// block could not be allocated: a writable "" that is never freed.
char s_emptyFallback[1] = {'\0'};

} // namespace

CKWString::CKWString() : m_data(nullptr), m_length(0), m_capacity(0) {}

CKWString::CKWString(const CKWString &other) : m_data(nullptr), m_length(0), m_capacity(0) {
    Append(other.m_data, other.m_length);
}

CKWString::CKWString(const char *text, int length, t_ckwstring_characterSetType,
                     t_ckwstring_charOrStrType)
    : m_data(nullptr), m_length(0), m_capacity(0) {
    Append(text, TextLength(text, length));
}

CKWString::~CKWString() {
    free(m_data);
}

// A new block for at least `needed` bytes (needed > 0): half again of what is
// needed, at least 16 bytes, at most INT_MAX. Its size goes to `size`. Null,
// logged, when the allocation fails. The string's own storage is neither read
// nor freed: the caller copies what it keeps (a text that lies inside the old
// block included) before freeing it. Any task.
char *CKWString::NewBlock(int needed, int &size) {
    // Computed in 64 bits: no int overflow.
    long long l_want = static_cast<long long>(needed) + needed / 2;
    if (l_want < 16) {
        l_want = 16;
    }
    if (l_want > INT_MAX) {
        l_want = INT_MAX;
    }
    char *l_new = static_cast<char *>(malloc(static_cast<size_t>(l_want)));
    if (l_new == nullptr) {
        // l_want is at most INT_MAX here: the %d reads it whole.
        plat::log("%ld - (CKWString) allocation of %d bytes failed\n", tickGet(),
                  static_cast<int>(l_want));
        return nullptr;
    }
    size = static_cast<int>(l_want);
    return l_new;
}

// Grows the storage to hold at least `capacity` bytes (text and NUL). Returns
// false, the string unchanged, when the allocation fails. Any task.
bool CKWString::Reserve(int capacity) {
    if (capacity <= m_capacity) {
        return true;
    }
    int l_size = 0;
    char *l_new = NewBlock(capacity, l_size);
    if (l_new == nullptr) {
        return false;
    }
    if (m_data != nullptr) {
        memcpy(l_new, m_data, static_cast<size_t>(m_length) + 1);
    } else {
        l_new[0] = '\0';
    }
    free(m_data);
    m_data = l_new;
    m_capacity = l_size;
    return true;
}

// Appends `length` characters of `text` (none of them NUL). The text may lie
// inside this string's own storage. Nothing changes when growing fails.
void CKWString::Append(const char *text, int length) {
    if (text == nullptr || length <= 0) {
        return;
    }
    if (length > INT_MAX - 1 - m_length) {
        plat::log("%ld - (CKWString) text too long\n", tickGet());
        return;
    }
    int l_newLength = m_length + length;
    if (l_newLength + 1 > m_capacity) {
        // The text may be our own storage: keep the old block alive until the
        // text has been copied.
        int l_size = 0;
        char *l_new = NewBlock(l_newLength + 1, l_size);
        if (l_new == nullptr) {
            return;
        }
        if (m_data != nullptr) {
            memcpy(l_new, m_data, static_cast<size_t>(m_length));
        }
        memcpy(l_new + m_length, text, static_cast<size_t>(length));
        free(m_data);
        m_data = l_new;
        m_capacity = l_size;
    } else {
        memmove(m_data + m_length, text, static_cast<size_t>(length));
    }
    m_length = l_newLength;
    m_data[m_length] = '\0';
}

// Replaces the content with `length` characters of `text`, which may lie inside
// this string's own storage. The old content stays when growing fails.
void CKWString::Assign(const char *text, int length) {
    if (text == nullptr || length <= 0) {
        Clear();
        return;
    }
    if (length + 1 > m_capacity) {
        // A text longer than our storage cannot be part of it.
        CKWString l_tmp;
        l_tmp.Append(text, length);
        if (l_tmp.m_length != length) {
            return;
        }
        free(m_data);
        m_data = l_tmp.m_data;
        m_length = l_tmp.m_length;
        m_capacity = l_tmp.m_capacity;
        // l_tmp's destructor must not free the storage now ours.
        l_tmp.m_data = nullptr;
        // cppcheck-suppress unreadVariable
        l_tmp.m_length = 0;
        // cppcheck-suppress unreadVariable
        l_tmp.m_capacity = 0;
        return;
    }
    memmove(m_data, text, static_cast<size_t>(length));
    m_length = length;
    m_data[m_length] = '\0';
}

CKWString &CKWString::operator=(const CKWString &other) {
    if (&other != this) {
        Assign(other.m_data, other.m_length);
    }
    return *this;
}

CKWString &CKWString::operator=(const char *text) {
    Assign(text, TextLength(text, -1));
    return *this;
}

CKWString &CKWString::operator+=(const CKWString &other) {
    return Add(other);
}

CKWString &CKWString::operator+=(const char *text) {
    return Add(text);
}

CKWString &CKWString::operator+=(char c) {
    return Add(c);
}

CKWString &CKWString::Add(const CKWString &other) {
    // Appending a string to itself: the length is read before it changes.
    Append(other.m_data, other.m_length);
    return *this;
}

CKWString &CKWString::Add(const char *text, int length, t_ckwstring_characterSetType) {
    Append(text, TextLength(text, length));
    return *this;
}

CKWString &CKWString::Add(char c) {
    // A NUL would end the text early: it is not appended.
    if (c != '\0') {
        Append(&c, 1);
    }
    return *this;
}

CKWString CKWString::operator+(const char *text) const {
    CKWString l_result(*this);
    l_result.Add(text);
    return l_result;
}

CKWString CKWString::operator+(const CKWString &other) const {
    CKWString l_result(*this);
    l_result.Add(other);
    return l_result;
}

CKWString CKWString::operator+(char c) const {
    CKWString l_result(*this);
    l_result.Add(c);
    return l_result;
}

char *CKWString::GetBuffer(t_ckwstring_characterSetType, int *status) {
    if (status != nullptr) {
        *status = 0;
    }
    if (m_data == nullptr && !Reserve(1)) {
        // No storage could be had: a shared writable "" (rewritten only when a
        // caller broke it, so concurrent readers see no write).
        // cppcheck-suppress duplicateConditionalAssign
        if (s_emptyFallback[0] != '\0') {
            s_emptyFallback[0] = '\0';
        }
        return s_emptyFallback;
    }
    return m_data;
}

const char *CKWString::GetBuffer(t_ckwstring_characterSetType, int *status) const {
    if (status != nullptr) {
        *status = 0;
    }
    return m_data != nullptr ? m_data : "";
}

int CKWString::SafeCopyToBuffer(char *buffer, int size, t_ckwstring_characterSetType) const {
    if (buffer == nullptr || size <= 0) {
        return 0;
    }
    int l_count = m_length < size - 1 ? m_length : size - 1;
    if (l_count > 0) {
        memcpy(buffer, m_data, static_cast<size_t>(l_count));
    }
    buffer[l_count] = '\0';
    return l_count;
}

int CKWString::Compare(const char *text, bool flag, t_ckwstring_characterSetType,
                       t_ckwstring_charOrStrType) const {
    const char *l_mine = m_data != nullptr ? m_data : "";
    const char *l_other = text != nullptr ? text : "";
    if (flag) {
        return strcmp(l_mine, l_other) == 0 ? 1 : 0;
    }
    while (*l_mine != '\0' && ToLowerAscii(*l_mine) == ToLowerAscii(*l_other)) {
        ++l_mine;
        ++l_other;
    }
    return ToLowerAscii(*l_mine) == ToLowerAscii(*l_other) ? 1 : 0;
}

int CKWString::Compare(const CKWString &other, bool flag) const {
    if (flag && other.m_length != m_length) {
        return 0;
    }
    return Compare(other.GetBuffer(), flag);
}

int CKWString::operator==(const CKWString &other) const {
    return Compare(other, true);
}

int CKWString::operator==(const char *text) const {
    return Compare(text, true);
}

int CKWString::operator!=(const CKWString &other) const {
    return Compare(other, true) ? 0 : 1;
}

int CKWString::Find(const char *text, int start, t_ckwstring_characterSetType) const {
    if (start < 0) {
        start = 0;
    }
    if (start > m_length) {
        return -1;
    }
    if (text == nullptr || text[0] == '\0') {
        return start;
    }
    if (m_data == nullptr) {
        return -1;
    }
    const char *l_found = strstr(m_data + start, text);
    return l_found != nullptr ? static_cast<int>(l_found - m_data) : -1;
}

int CKWString::FindReverse(char c, int start) const {
    if (start == -1 || start >= m_length) {
        start = m_length - 1;
    }
    if (c == '\0' || start < 0) {
        return -1;
    }
    for (int l_i = start; l_i >= 0; --l_i) {
        if (m_data[l_i] == c) {
            return l_i;
        }
    }
    return -1;
}

CKWString CKWString::Before(int i) const {
    if (i < 0) {
        return CKWString();
    }
    int l_count = i >= m_length ? m_length : i + 1;
    return CKWString(m_data, l_count);
}

CKWString CKWString::After(int i) const {
    if (i <= 0) {
        return *this;
    }
    if (i >= m_length) {
        return CKWString();
    }
    return CKWString(m_data + i, m_length - i);
}

int CKWString::ToInt() const {
    if (m_data == nullptr) {
        return 0;
    }
    const char *l_p = m_data;
    while (*l_p == ' ' || *l_p == '\t') {
        ++l_p;
    }
    bool l_negative = false;
    if (*l_p == '+' || *l_p == '-') {
        l_negative = (*l_p == '-');
        ++l_p;
    }
    // Accumulated in 64 bits and clamped to the int range: no overflow.
    long long l_value = 0;
    while (*l_p >= '0' && *l_p <= '9') {
        if (l_value <= static_cast<long long>(INT_MAX) + 1) {
            l_value = l_value * 10 + (*l_p - '0');
        }
        ++l_p;
    }
    if (l_negative) {
        l_value = -l_value;
    }
    if (l_value > INT_MAX) {
        return INT_MAX;
    }
    if (l_value < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(l_value);
}

CKWString &CKWString::SupprChar(const char *chars, t_ckwstring_characterSetType) {
    if (chars == nullptr || chars[0] == '\0' || m_data == nullptr) {
        return *this;
    }
    int l_out = 0;
    for (int l_in = 0; l_in < m_length; ++l_in) {
        if (strchr(chars, m_data[l_in]) == nullptr) {
            m_data[l_out++] = m_data[l_in];
        }
    }
    m_length = l_out;
    m_data[m_length] = '\0';
    return *this;
}

void CKWString::Clear() {
    m_length = 0;
    if (m_data != nullptr) {
        m_data[0] = '\0';
    }
}

void CKWString::Purge() {
    free(m_data);
    m_data = nullptr;
    m_length = 0;
    m_capacity = 0;
}
