/*
 * mapdebug.h - the fault reporter, for any C or C++ program that links it.
 *
 * A program loads a code map of its own executable (a .COD file: a record
 * count, then 52-byte records of address, routine name and module name, in
 * ascending address order) and runs its work inside the exception guard.
 * When the work faults, the reporter says what happened and where, as
 * routine(module)+offset looked up in the code map, or object+offset, and
 * the work is abandoned; the program goes on.
 *
 *     OpenDebugFile(NULL);            load APP.COD, beside the executable,
 *                                     and those of its shared objects
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

/* The program's own table: iNumMaps records from pDebugMap in ascending
 * SymbAddr; iNumMaps 0 means there is none. The tables of the program's
 * shared objects or DLLs are the loader's own. A table that OpenDebugFile
 * loaded in ascending order is searched by halves; one the program assigns
 * here itself, or one out of order, is walked from its first record, with
 * the same answers. */
extern PDEBUGMAP pDebugMap;
extern uint32_t iNumMaps;

/* Set to 1 once a guard caught an exception; never reset. */
extern int Aborted;

/* Loads "KORVAL.COD" from the current directory: OpenDebugFile("KORVAL.COD"). */
int OpenDebug(void);

/* Loads the code map lpName; with NULL, the code maps of the running
 * program: its own, the file beside the executable named after it up to its
 * first dot, upper-cased, with .COD, found regardless of case (APP.COD for
 * app or app.exe), and the same for each object loaded at the moment that
 * has one beside it (LIBSHAPES.COD for libshapes.so.1, PLUGIN.COD for
 * plugin.dll). On Windows a DLL that links the reporter is the program
 * instead, whose routines HandleException names. Anything but a regular
 * file is ignored. Tables loaded before are given back first.
 *
 * A code map may carry an extension after its records, as korval-codemap
 * writes it: the records' full names, which reports then show, and the
 * identity of the file it describes (the GNU build ID; a PE image's time
 * stamp and size). A map whose identity differs from the object it is
 * loaded for is not used, so a stale map never names wrong routines; an
 * extension that does not check in every field is ignored, and the records
 * are used as a map without one.
 *
 * Returns 1 when a table was loaded: for a name, when a block was obtained
 * and the records were read into it (the table is emptied when they came
 * up short); with NULL, when any of the maps was. 0 when the file is
 * missing or not a regular file, holds no records, claims more records than
 * a 32-bit size can hold or the system can give, or describes another file.
 * Prints nothing. Call it before any guarded work starts, from one thread.
 * pDebugMap and iNumMaps are the program's own table. */
int OpenDebugFile(const char* lpName);

/* Loads the code maps of the objects loaded since the last OpenDebugFile(NULL)
 * or OpenDebugObjects (a plugin opened later), by the same rules, keeping
 * the tables already loaded. Returns 1 when it loaded any. Guarded work may
 * run on other threads meanwhile; at most 64 objects' maps are held. */
int OpenDebugObjects(void);

/* Gives the blocks of every table back and empties the program's, so that
 * a later report gives plain addresses. Returns 0 when there was none. Call
 * it after all guarded work has ended. */
int CloseDebug(void);

/*
 * Runs Work(Arg) inside the guard. Returns 1 when Work returned, 0 when it
 * faulted: the report has then been written to standard error and Work
 * abandoned where it was. The report is the line
 *     EXCEPTION : <what> at <where>.
 * then one line per calling frame, innermost first: the frames of Work, then
 * the caller of RunGuarded and its callers (the guard's own frames are left
 * out), at most 16, and a last line "  (more frames not shown)" when there
 * were more:
 *       called from <where>
 * <where> is <routine>(<module>)+0x<offset> in the code map of the object
 * that holds the address (the routine's full name when the map has it, cut
 * after 240 characters with "..."), else <object file name>+0x<offset from
 * the object's load base> (libc.so.6+0x15AD8), else, outside every loaded
 * object, the plain address.
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
