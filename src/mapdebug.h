/*
 * mapdebug.h - the fault reporter: the program's own code map, loaded at
 * start-up, and the one-line report of an exception caught by the guard
 * round the conversion.
 */
#ifndef KORVAL_MAPDEBUG_H
#define KORVAL_MAPDEBUG_H

#include "platform.h"

#include <stddef.h>

/* One record of a code map file, byte for byte: the table is read straight
 * into an array of these. Little-endian hosts only, like the file. */
typedef struct DEBUGMAP {
    DWORD SymbAddr;   /* where the routine starts */
    char Routine[32]; /* name, then zero bytes; a full field has none */
    char Module[16];
} DEBUGMAP, *PDEBUGMAP;

static_assert(sizeof(DEBUGMAP) == 52, "DEBUGMAP is the 52-byte record of the file");
static_assert(offsetof(DEBUGMAP, Routine) == 4 && offsetof(DEBUGMAP, Module) == 36,
              "DEBUGMAP has no padding");

/* The loaded table: iNumMaps records from pDebugMap in ascending SymbAddr;
 * iNumMaps 0 means there is none. */
extern PDEBUGMAP pDebugMap;
extern DWORD iNumMaps;

/* Set by the guard's handler once it caught an exception; never reset. */
extern int Aborted;

/* Loads "KORVAL.COD" from the current directory. Returns 1 when a block was
 * obtained and the records were read into it (the table is emptied when they
 * came up short), 0 when the file is missing, is not a file on disk (a pipe
 * or a device, never waited on), holds no records, or claims more than a
 * 32-bit size can hold or the system can give. Prints nothing. */
int OpenDebug(void);

/* Gives the table's block back. Returns 0 when there was none. */
int CloseDebug(void);

/* The guard's filter: prints "EXCEPTION : <what> at <where>." with no line
 * end, where is routine(module)+offset from the table or the plain address,
 * and returns 1 (EXCEPTION_EXECUTE_HANDLER). */
int HandleException(DWORD ExceptionCode, PEXCEPTION_RECORD ExceptionInfo);

#endif
