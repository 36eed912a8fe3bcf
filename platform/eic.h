// Interpreter seam: the records and functions of the embedded C interpreter
// that run the unit's upgrade scripts, as the module's builtins use them.
//
// A builtin takes no declared parameters. Its arguments lie in 24-byte slots
// just below AR[2]: argument i starts 24 * (i + 1) bytes below AR[2], with its
// value at the start of the slot (an int in the first 4 bytes, a pointer in the
// first 4 on the unit's 32-bit processor and in the first 8 on a 64-bit host),
// whatever the byte order. It returns a 16-byte val_t whose first 4 bytes
// hold the int result.
#ifndef PLATFORM_EIC_H
#define PLATFORM_EIC_H

#include <cstddef>
#include <cstring>

// The interpreter's 16-byte value record.
typedef union {
    int ival;
    unsigned int uival;
    long lval;
    void *p;
    char raw[16];
} val_t;
static_assert(sizeof(val_t) == 16, "val_t is 16 bytes");

// One argument slot of an activation record: the value, then the type. The
// type takes 8 bytes whatever the size of a pointer, so that a slot is 24
// bytes on the unit's 32-bit processor as on a 64-bit host: the call helper
// steps by the struct, the argument readers by 24 bytes.
typedef struct {
    val_t v;
    union {
        void *p;
        char raw[8];
    } type;
} AR_t;
static_assert(sizeof(AR_t) == 24, "an argument slot is 24 bytes");
static_assert(offsetof(AR_t, v) == 0, "the value starts its slot");

// The interpreter's activation-record pointers; AR[2] points just past the
// argument slots of the builtin call in progress.
extern AR_t *AR[3];

typedef val_t (*EiC_BuiltinFunc)(void);

// Registers `name` as a builtin calling `func`. Returns -1 on failure.
int EiC_AddBuiltInFunc(const char *name, EiC_BuiltinFunc func);
// Removes the builtin `name` (a name not registered is no error).
void EiC_RemoveBuiltInFunc(const char *name);

// Argument i of the builtin call in progress, read from its slot.
inline int EiC_ArgInt(int i) {
    int v;
    std::memcpy(&v, reinterpret_cast<const char *>(AR[2]) - 24 * static_cast<std::ptrdiff_t>(i + 1),
                sizeof v);
    return v;
}
inline unsigned int EiC_ArgUInt(int i) {
    return static_cast<unsigned int>(EiC_ArgInt(i));
}
inline void *EiC_ArgPtr(int i) {
    void *v;
    std::memcpy(&v, reinterpret_cast<const char *>(AR[2]) - 24 * static_cast<std::ptrdiff_t>(i + 1),
                sizeof v);
    return v;
}

// A val_t carrying an int result.
inline val_t EiC_IntResult(int r) {
    val_t v;
    std::memset(&v, 0, sizeof v);
    v.ival = r;
    return v;
}

#endif
