// Operating-system seam: the real-time OS services the module uses, under the
// OS's own names (tasks, binary semaphores, tick clock, logMsg, errno, the
// system symbol table and the file commands cp/mv/xcopy/xdelete/fioRdString).
//
// On the unit these come from the OS itself; on the host they are implemented
// by platform/hostsim on POSIX threads and files. Module code includes only
// this header (and plat_io.h / eic.h) and never calls host services directly.
#ifndef PLATFORM_VXWORKS_H
#define PLATFORM_VXWORKS_H

#include <cstdint>

typedef int STATUS;
#ifndef OK
#define OK 0
#endif
#ifndef ERROR
#define ERROR (-1)
#endif

// Arguments of task entries and of logMsg are pointer-sized, so a pointer
// passed through them survives on a 64-bit host.
typedef intptr_t _Vx_usr_arg_t;

// A task entry point. Entries are called with the ten spawn arguments; an
// entry declared with fewer parameters simply ignores the rest, as on the unit.
typedef int (*FUNCPTR)(...);

typedef unsigned long ULONG;
typedef int BOOL;

// ---- Tasks ---------------------------------------------------------------

#define VX_FP_TASK 0x0008

// Spawns a task running entry(a1..a10). Priority, options and stack size are
// recorded; the host does not enforce them. Returns the new task id (> 0), or
// ERROR when the task cannot be created.
int taskSpawn(const char *name, int priority, int options, int stackSize, FUNCPTR entry,
              _Vx_usr_arg_t a1 = 0, _Vx_usr_arg_t a2 = 0, _Vx_usr_arg_t a3 = 0,
              _Vx_usr_arg_t a4 = 0, _Vx_usr_arg_t a5 = 0, _Vx_usr_arg_t a6 = 0,
              _Vx_usr_arg_t a7 = 0, _Vx_usr_arg_t a8 = 0, _Vx_usr_arg_t a9 = 0,
              _Vx_usr_arg_t a10 = 0);
// Suspends the calling task for the given number of ticks (0 yields).
STATUS taskDelay(int ticks);
// OK while the task exists (has not returned from its entry), else ERROR.
STATUS taskIdVerify(int tid);
// Id of the calling task; a thread not spawned by taskSpawn gets an id of its
// own on first call.
int taskIdSelf();

// ---- Binary semaphores -----------------------------------------------------

struct semaphore;
typedef struct semaphore *SEM_ID;

#define SEM_Q_FIFO 0x0
#define SEM_Q_PRIORITY 0x1
typedef enum { SEM_EMPTY = 0, SEM_FULL = 1 } SEM_B_STATE;

#define WAIT_FOREVER (-1)
#define NO_WAIT 0

// errno values set by the semaphore calls when they fail.
#define S_objLib_OBJ_ID_ERROR 0x3d0001
#define S_objLib_OBJ_UNAVAILABLE 0x3d0002
#define S_objLib_OBJ_DELETED 0x3d0003
#define S_objLib_OBJ_TIMEOUT 0x3d0004

// Creates a binary semaphore; null when it cannot be created.
SEM_ID semBCreate(int options, SEM_B_STATE initialState);
// Takes the semaphore, waiting up to `timeout` ticks (WAIT_FOREVER, NO_WAIT or
// a tick count). OK when taken, ERROR on timeout or a null id.
STATUS semTake(SEM_ID semId, int timeout);
// Makes the semaphore available and wakes the first waiter (FIFO).
STATUS semGive(SEM_ID semId);
// Deletes the semaphore. ERROR for a null id.
STATUS semDelete(SEM_ID semId);

// ---- Tick clock ------------------------------------------------------------

// Ticks since the system started, at sysClkRateGet() ticks per second.
ULONG tickGet();
int sysClkRateGet();
// Sets the tick rate (ticks per second, > 0). OK or ERROR.
STATUS sysClkRateSet(int ticksPerSecond);

// ---- Logging ---------------------------------------------------------------

// Formats `fmt` with up to six pointer-sized arguments (each conversion takes
// its argument as the type it names: %d an int, %ld a long, %s a text, a null
// text printed as "(null)") and hands the line to the log sinks. Returns the
// number of characters logged.
//
// Host: the line is formatted at once on the caller's thread (the unit formats
// it later on its log task); formatting at once keeps text arguments valid.
//
// Module code calls it through plat::log (platform/plat_log.h), which takes
// its arguments as they are and converts each one.
int logMsg(const char *fmt, _Vx_usr_arg_t a1 = 0, _Vx_usr_arg_t a2 = 0, _Vx_usr_arg_t a3 = 0,
           _Vx_usr_arg_t a4 = 0, _Vx_usr_arg_t a5 = 0, _Vx_usr_arg_t a6 = 0);

// Prints a line on the unit's console, as printf does on the target (the
// extractor's per-file listing). Returns the number of characters printed.
//
// Host: the line goes to the log sinks (marked as console output) and to the
// console descriptor when one is set (hostsim::consoleToFd), never to the
// process's standard output, which belongs to the script and the tools'
// reports.
int consolePrintf(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

// ---- errno -----------------------------------------------------------------

// The calling task's errno.
int errnoGet();
STATUS errnoSet(int errorValue);

// ---- System symbol table ---------------------------------------------------

struct symtab;
typedef struct symtab *SYMTAB_ID;
typedef unsigned char SYM_TYPE;
#define SYM_GLOBAL 0x01
#define SYM_TEXT 0x04

extern SYMTAB_ID sysSymTbl;

// Finds `name`: OK and its address in *pValue (and its type in *pType when
// pType is not null), or ERROR when no loaded module provides it.
STATUS symFindByName(SYMTAB_ID symTblId, const char *name, char **pValue, SYM_TYPE *pType);
// Registers `name` at `value`, replacing an earlier entry of the same name.
STATUS symAdd(SYMTAB_ID symTblId, const char *name, char *value, SYM_TYPE type,
              unsigned short group);
// Removes `name`; ERROR when it was not registered.
STATUS symRemove(SYMTAB_ID symTblId, const char *name, SYM_TYPE type);

// ---- File commands ---------------------------------------------------------
// Paths resolve through the device table (see plat_io.h).

// Copies one file. OK or ERROR.
STATUS cp(const char *src, const char *dest);
// Moves or renames a file or a folder, also between devices. OK or ERROR.
STATUS mv(const char *src, const char *dest);
// Copies the files and subfolders of folder `src` into folder `dest`
// (created when missing). OK or ERROR.
STATUS xcopy(const char *src, const char *dest);
// Deletes a file or a whole tree. The last path component may hold the
// wildcards '*' and '?' ("/SDH/MAPPE/POI_USER/TEMP*.*"): every match is
// deleted. OK when something matched and was deleted, else ERROR.
STATUS xdelete(const char *path);
// Reads one line from fd into `string`: characters up to a '\n' (consumed, not
// stored) or end of file, at most maxbytes - 1 of them, always NUL-terminated
// (the rest of a longer line is returned by the next call). Returns the length
// stored including the terminating NUL (1 for an empty line), or ERROR when
// the file ended (or a read failed) before any character was read.
int fioRdString(int fd, char *string, int maxbytes);

#endif
