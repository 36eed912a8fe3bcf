// CKWString: the string class of every path, key, value and text of the
// module. Plain 8-bit characters; the character-set and kind arguments of the
// unit's foundation library are accepted and do not change the result. A null
// text argument is treated as the empty text, never dereferenced.
#ifndef FOUNDATION_CKWSTRING_H
#define FOUNDATION_CKWSTRING_H

// Character sets of the unit's foundation library (only 0 and 2 are used).
typedef int t_ckwstring_characterSetType;
// Kind of a text argument: 1 means "a string".
typedef int t_ckwstring_charOrStrType;

class CKWString {
public:
    // Empty string.
    CKWString();
    // Independent copy.
    CKWString(const CKWString &other);
    // The first `length` characters of `text` (stopping early at a NUL), or the
    // whole text up to its NUL when length is -1.
    CKWString(const char *text, int length = -1, t_ckwstring_characterSetType set = 0,
              t_ckwstring_charOrStrType kind = 1);
    ~CKWString();

    CKWString &operator=(const CKWString &other);
    CKWString &operator=(const char *text);

    CKWString &operator+=(const CKWString &other);
    CKWString &operator+=(const char *text);
    CKWString &operator+=(char c);
    // Appends; for a text, `length` as in the constructor.
    CKWString &Add(const CKWString &other);
    CKWString &Add(const char *text, int length = -1, t_ckwstring_characterSetType set = 0);
    CKWString &Add(char c);

    CKWString operator+(const char *text) const;
    CKWString operator+(const CKWString &other) const;
    CKWString operator+(char c) const;

    // NUL-terminated text, valid while the string is unchanged. It is the
    // string's own storage: characters replaced in it in place (same length)
    // change the string. `status`, when not null, receives 0.
    char *GetBuffer(t_ckwstring_characterSetType set = 0, int *status = nullptr);
    const char *GetBuffer(t_ckwstring_characterSetType set = 0, int *status = nullptr) const;

    // Writes at most `size` bytes into buffer: the text cut to size - 1
    // characters, then a NUL. Nothing is written when buffer is null or size
    // is not positive. Returns the number of characters copied.
    int SafeCopyToBuffer(char *buffer, int size, t_ckwstring_characterSetType set = 0) const;

    // 1 when equal to the text (or string), else 0. `flag` true compares case-
    // sensitively; false ignores case.
    int Compare(const char *text, bool flag = true, t_ckwstring_characterSetType set = 0,
                t_ckwstring_charOrStrType kind = 1) const;
    int Compare(const CKWString &other, bool flag = true) const;
    int operator==(const CKWString &other) const;
    int operator==(const char *text) const;
    int operator!=(const CKWString &other) const;

    // Index of the first occurrence of `text` at or after `start` (-1: from 0);
    // -1 when absent (an empty text is found at start).
    int Find(const char *text, int start = -1, t_ckwstring_characterSetType set = 0) const;
    // Index of the last occurrence of c at or before `start` (-1: from the
    // end); -1 when absent.
    int FindReverse(char c, int start = -1) const;

    // Characters 0 to i inclusive (empty for i < 0; the whole string when i is
    // past the end).
    CKWString Before(int i) const;
    // Characters from i to the end (the whole string for i <= 0; empty past
    // the end).
    CKWString After(int i) const;

    // Decimal value of the leading digits (after optional blanks and a sign);
    // 0 when there are none.
    int ToInt() const;

    // Removes every occurrence of each character of `chars`.
    CKWString &SupprChar(const char *chars, t_ckwstring_characterSetType set = 0);

    int GetLength() const { return m_length; }
    bool IsEmpty() const { return m_length == 0; }

    // Empties the string, keeping its storage.
    void Clear();
    // Empties the string and frees its storage.
    void Purge();

private:
    static char *NewBlock(int needed, int &size);
    bool Reserve(int capacity);
    void Append(const char *text, int length);
    void Assign(const char *text, int length);

    char *m_data; // null or m_capacity bytes, NUL-terminated at m_length
    int m_length;
    int m_capacity;
};

#endif
