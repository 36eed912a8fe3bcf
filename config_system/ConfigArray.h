// Configuration array: the in-memory table of one configuration, a singly
// linked list of (module name, data text) pairs on the C heap, reached through
// a head pointer that its owner keeps. New pairs go in at the head; keys need
// not be unique and every search returns the pair nearest the head.
//
// The functions take no lock: an array is used by one task at a time. Their
// messages are logged only when the unit's debug level debug_br is above 0;
// results do not depend on it.
#ifndef CONFIG_SYSTEM_CONFIGARRAY_H
#define CONFIG_SYSTEM_CONFIGARRAY_H

// One node. The array owns the node and both texts (malloc'ed copies).
struct ConfigElement {
    char *module;
    char *data;
    ConfigElement *next;
};

// Sets *head to null (an empty array); frees nothing.
void ConfigArrayInit(ConfigElement **head);

// Frees every node and its texts, leaving *head null. Returns 0 (also for an
// empty array), -1 when `head` is null.
int ConfigArrayDestroy(ConfigElement **head);

// Inserts a node holding copies of `module` and `data` at the head. Returns 0,
// or -1 (array unchanged) when an argument is null or memory runs out.
int ConfigArrayAdd(ConfigElement **head, const char *module, const char *data);

// Unlinks and frees the first node whose key equals `module` (strcmp).
// Returns 0, or -1 when an argument is null or no node has that key.
int ConfigArrayRemove(ConfigElement **head, const char *module);

// Copies (strcpy) the data of the first node whose key equals `module` into
// `data`, which must hold the whole text: the configuration system stores data
// texts of at most 20 characters, so its callers pass 21 bytes or more.
// Returns 0, or -1 when an argument is null or no node has that key (`data`
// untouched).
int ConfigArraySearch(ConfigElement *const *head, const char *module, char *data);

// Stores in *data a pointer to the data text of the first node whose key
// equals `module`; the text stays owned by the array and is valid until that
// node is freed. Returns 0, or -1 when an argument is null or no node has that
// key (*data untouched).
int ConfigArrayGet(ConfigElement *const *head, const char *module, const char **data);

// Destroys `dest`, then adds every pair of `src`, head first, to `dest` (so the
// copy holds them in reverse order). Stops at the first add that fails.
// Returns the result of the last add; -1 when `src` is empty (no add is made,
// `dest` is left empty) or an argument is null. A `dest` that shares a node
// with `src` (the same head pointer, another head pointer onto the same list
// or onto its tail, or a link field inside it) is refused with -1 and both
// are left unchanged: destroying it would free the source before it is read.
int ConfigArrayCopy(ConfigElement **dest, ConfigElement *const *src);

// Prints every pair, head first, on the console (printf), whatever the debug
// level. Returns 0, -1 when `head` is null.
int ConfigArrayDisplay(ConfigElement *const *head);

#endif
