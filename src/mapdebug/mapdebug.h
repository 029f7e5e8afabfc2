/*
 * mapdebug.h - the fault reporter, for any C or C++ program that links it.
 *
 * A program loads a code map of its own executable (a .COD file: a record
 * count, then 52-byte records of address, routine name and module name, in
 * ascending address order) and runs its work inside the exception guard.
 * When the work faults, the reporter says what happened and where, as
 * routine(module)+offset looked up in the code map, and the work is
 * abandoned; the program goes on.
 *
 *     OpenDebugFile(NULL);            load APP.COD, beside the executable
 *     if (!RunGuarded(Work, &Job))    run Work(&Job) inside the guard
 *         ...                         it faulted, and the report is out
 *     CloseDebug();
 *
 * Usable from C (C99 and later) and C++. Functions return nonzero for
 * success and zero for failure.
 */
#ifndef KORVAL_MAPDEBUG_H
#define KORVAL_MAPDEBUG_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One record of a code map file, byte for byte: the table is read straight
 * into an array of these. Little-endian hosts only, like the file. */
typedef struct DEBUGMAP {
    uint32_t SymbAddr; /* where the routine starts, as linked */
    char Routine[32];  /* name, then zero bytes; a full field has none */
    char Module[16];
} DEBUGMAP, *PDEBUGMAP;

/* The record must be the file's 52 bytes with no padding. */
typedef char DEBUGMAP_HAS_52_BYTES[sizeof(DEBUGMAP) == 52 ? 1 : -1];
typedef char DEBUGMAP_HAS_NO_PADDING
    [offsetof(DEBUGMAP, Routine) == 4 && offsetof(DEBUGMAP, Module) == 36 ? 1 : -1];

/* The loaded table: iNumMaps records from pDebugMap in ascending SymbAddr;
 * iNumMaps 0 means there is none. */
extern PDEBUGMAP pDebugMap;
extern uint32_t iNumMaps;

/* Set to 1 once a guard caught an exception; never reset. */
extern int Aborted;

/* Loads "KORVAL.COD" from the current directory: OpenDebugFile("KORVAL.COD"). */
int OpenDebug(void);

/* Loads the code map lpName; with NULL, the running executable's own: the
 * file beside it named after it with the extension .COD, found regardless of
 * case (APP.COD for app or app.exe). On Windows a DLL that links the
 * reporter gets its own instead (PLUGIN.COD for plugin.dll), and reports
 * made there name its routines. Anything but a regular file is ignored.
 * Returns 1 when a block was obtained and the records were read into it (the
 * table is emptied when they came up short), 0 when the file is missing or
 * not a regular file, holds no records, or claims more records than a 32-bit
 * size can hold or the system can give. Prints nothing. Call it before any
 * guarded work starts, from one thread. */
int OpenDebugFile(const char* lpName);

/* Gives the table's block back and empties the table, so that a later report
 * gives plain addresses. Returns 0 when there was none. Call it after all
 * guarded work has ended. */
int CloseDebug(void);

/*
 * Runs Work(Arg) inside the guard. Returns 1 when Work returned, 0 when it
 * faulted: the report has then been written to standard error and Work
 * abandoned where it was. The report is the line
 *     EXCEPTION : <what> at <where>.
 * then one line per calling frame found in the code map, innermost first, at
 * most 16:
 *       called from <routine>(<module>)+0x<offset>
 * Any thread may run guarded work, guards may nest; a fault is reported by
 * and returns to the innermost guard of the thread it happened on. A C++
 * exception thrown by Work passes through to the caller. Ctrl-C is not
 * caught. A fault abandons the frames of Work as they are: their destructors
 * do not run, and locks they hold stay held.
 */
int RunGuarded(void (*Work)(void*), void* Arg);

/* The report of one exception, for a guard filter of the program's own (the
 * platform's EXCEPTION_RECORD): prints "EXCEPTION : <what> at <where>." on
 * standard output with no line end, and returns 1, the verdict that takes the
 * exception. Callable from a signal handler: it takes no lock and uses no
 * heap. Where the fault is in the program's own code and no other thread
 * holds the stream, the line goes through stdio after what the program
 * printed before; otherwise it is written to the system at once. */
struct _EXCEPTION_RECORD;
#ifdef _WIN32
int HandleException(unsigned long ExceptionCode, struct _EXCEPTION_RECORD* ExceptionInfo);
#else
int HandleException(uint32_t ExceptionCode, struct _EXCEPTION_RECORD* ExceptionInfo);
#endif

#ifdef __cplusplus
}
#endif

#endif
