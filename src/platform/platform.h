/*
 * platform.h - the operating system interface of KORVAL.
 *
 * The tool is written against the Win32 console API. On Windows this header
 * is <windows.h> and the C runtime; everywhere else it declares the small
 * subset of Win32 that the converter and the code map loader call, with the
 * same names, arguments and results, implemented by the files under
 * src/platform/unix/ (one file per facility). RaiseException, the one call
 * of the subset that belongs to the exception guard, is implemented by the
 * fault reporter's Unix guard (src/mapdebug/unix/guard.cpp).
 *
 * Beside the Win32 subset it declares PathFull, the arithmetic of the POSIX
 * _fullpath as a pure function of an explicit current directory.
 */
#ifndef KORVAL_PLATFORM_H
#define KORVAL_PLATFORM_H

#include <stddef.h>
#include <stdint.h>

#ifdef _WIN32

#include <windows.h>
#include <stdlib.h>
#include <string.h>

#else /* POSIX */

typedef void* HANDLE;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef const char* LPCSTR;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef DWORD* LPDWORD;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef int32_t LONG;
typedef void* PVOID;
typedef void* HMODULE;
typedef char* LPSTR;

#ifndef TRUE
#define TRUE  1
#define FALSE 0
#endif

#define INVALID_HANDLE_VALUE       ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_SIZE          ((DWORD)0xFFFFFFFF)

/* GetStdHandle. */
#define STD_INPUT_HANDLE           ((DWORD)-10)
#define STD_OUTPUT_HANDLE          ((DWORD)-11)
#define STD_ERROR_HANDLE           ((DWORD)-12)

/* CreateFileA: access, share mode, disposition, attributes. */
#define GENERIC_READ               0x80000000u
#define GENERIC_WRITE              0x40000000u
#define FILE_SHARE_READ            0x00000001u
#define FILE_SHARE_WRITE           0x00000002u
#define CREATE_ALWAYS              2u
#define OPEN_EXISTING              3u
#define FILE_ATTRIBUTE_NORMAL      0x00000080u

/* GetFileType. */
#define FILE_TYPE_UNKNOWN          0x0000u
#define FILE_TYPE_DISK             0x0001u
#define FILE_TYPE_CHAR             0x0002u
#define FILE_TYPE_PIPE             0x0003u

/* CreateFileMappingA, MapViewOfFile, VirtualAlloc, VirtualFree. */
#define PAGE_READONLY              0x02u
#define PAGE_READWRITE             0x04u
#define FILE_MAP_READ              0x0004u
#define MEM_COMMIT                 0x00001000u
#define MEM_RESERVE                0x00002000u
#define MEM_DECOMMIT               0x00004000u
#define MEM_RELEASE                0x00008000u

/* GetLastError values the layer sets. */
#define NO_ERROR                   0u
#define ERROR_FILE_NOT_FOUND       2u
#define ERROR_PATH_NOT_FOUND       3u
#define ERROR_ACCESS_DENIED        5u
#define ERROR_INVALID_HANDLE       6u
#define ERROR_NOT_ENOUGH_MEMORY    8u
#define ERROR_WRITE_FAULT          29u
#define ERROR_READ_FAULT           30u
#define ERROR_SHARING_VIOLATION    32u
#define ERROR_INVALID_PARAMETER    87u
#define ERROR_DISK_FULL            112u
#define ERROR_INSUFFICIENT_BUFFER  122u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_FILE_TOO_LARGE       223u
#define ERROR_NO_DATA              232u
#define ERROR_FILE_INVALID         1006u

/* Longest path, as a buffer size, that the runtime's path functions take. */
#define _MAX_PATH                  4096
#define _MAX_DRIVE                 3
#define _MAX_DIR                   4096
#define _MAX_FNAME                 4096
#define _MAX_EXT                   4096

typedef struct _SYSTEMTIME {
    WORD wYear;
    WORD wMonth;     /* 1 = January .. 12 = December */
    WORD wDayOfWeek; /* 0 = Sunday .. 6 = Saturday */
    WORD wDay;
    WORD wHour;
    WORD wMinute;
    WORD wSecond;
    WORD wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;

namespace korval {

/* ---- files.cpp ---------------------------------------------------------- */

/*
 * Opens (OPEN_EXISTING) or creates and empties (CREATE_ALWAYS) a file.
 * Names are resolved as a Win32 file system would: "/" and "\" both separate,
 * the exact spelling is tried first, then each component is matched
 * case-insensitively (ASCII) against its directory; a created file that
 * matches nothing keeps the spelling given. Share modes hold between the
 * handles of this process, decided by file identity before anything is
 * truncated: a file opened with FILE_SHARE_READ alone cannot be opened for
 * writing. Directories cannot be opened. Returns INVALID_HANDLE_VALUE and
 * sets the last error on failure. Security attributes, attributes and
 * template are accepted and ignored.
 */
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   void* lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);

/* Size of an open file: the low 32 bits as result, the high 32 bits through
 * lpFileSizeHigh when it is not null. INVALID_FILE_SIZE with the last error
 * set on failure (a size with those low bits has NO_ERROR as last error). */
DWORD GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh);

/* What an open file is: FILE_TYPE_DISK for a regular file, FILE_TYPE_PIPE
 * for a FIFO or a socket, FILE_TYPE_CHAR for a character device, and
 * FILE_TYPE_UNKNOWN for anything else (NO_ERROR as last error) or on failure
 * (the last error set). Only a regular file is sure not to keep a read
 * waiting. */
DWORD GetFileType(HANDLE hFile);

/* A read-only mapping of the whole file (sizes 0, 0). Fails for a file of
 * zero bytes (ERROR_FILE_INVALID), as Win32 does. Returns NULL on failure. */
HANDLE CreateFileMappingA(HANDLE hFile, void* lpAttributes, DWORD flProtect,
                          DWORD dwMaximumSizeHigh, DWORD dwMaximumSizeLow, LPCSTR lpName);

/* Maps a read view of the whole mapping (offsets 0, 0, length 0). The view
 * stays valid after its mapping and file handles are closed. Its pages are
 * mapped in at once, the file read in where it is not cached: its reader
 * goes through all of it, and one call costs far less than a page fault
 * every few pages. NULL on failure. */
LPVOID MapViewOfFile(HANDLE hFileMappingObject, DWORD dwDesiredAccess, DWORD dwFileOffsetHigh,
                     DWORD dwFileOffsetLow, SIZE_T dwNumberOfBytesToMap);

/* Synchronous read at the file position; fewer bytes than asked only at the
 * end of the file. lpOverlapped must be null. */
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, void* lpOverlapped);

/* Synchronous write at the file position; returns FALSE with the last error
 * set when not every byte could be written (disk full, I/O error). Where the
 * process ignores SIGPIPE and SIGXFSZ, a pipe whose reader has gone fails
 * with ERROR_NO_DATA and the file size limit with ERROR_FILE_TOO_LARGE, as
 * on Win32; elsewhere those signals end the process, and the layer does not
 * change how a process takes them. */
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, void* lpOverlapped);

/* Closes a file or mapping handle. FALSE for an invalid handle, or when the
 * system reported an error while closing a file (a late write failure). */
BOOL CloseHandle(HANDLE hObject);

/* The handle of standard input, output or error (STD_INPUT_HANDLE,
 * STD_OUTPUT_HANDLE, STD_ERROR_HANDLE): file descriptors 0, 1 and 2, which
 * the handle neither owns nor closes. WriteFile on one of them takes no lock
 * and touches no table of this layer, so that a signal handler can use it.
 * INVALID_HANDLE_VALUE for any other number. */
HANDLE GetStdHandle(DWORD nStdHandle);

/* The path of the running executable (hModule must be NULL), as the system
 * names it: its length, with the terminator written; nSize when the buffer is
 * too small (ERROR_INSUFFICIENT_BUFFER, the name cut to nSize - 1 characters);
 * 0 with the last error set on failure. */
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

/* The error code of the last failing call of this layer, on this thread. */
DWORD GetLastError(void);
void SetLastError(DWORD dwErrCode);

/* ---- memory.cpp --------------------------------------------------------- */

/* Reserves and commits zero-filled read-write pages (MEM_RESERVE|MEM_COMMIT,
 * PAGE_READWRITE, no preferred address). NULL for a size of 0 or when the
 * system has no memory to give. */
LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect);

/* With size 0 and the base of a block: MEM_DECOMMIT gives its pages back,
 * MEM_RELEASE frees the block. FALSE for anything that is not such a base. */
BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType);

} // namespace korval

/* ---- exceptions (the fault reporter's src/mapdebug/unix/guard.cpp) ------ */

/* Exception codes, as Win32 publishes them. */
#define EXCEPTION_DATATYPE_MISALIGNMENT ((DWORD)0x80000002u)
#define EXCEPTION_BREAKPOINT            ((DWORD)0x80000003u)
#define EXCEPTION_SINGLE_STEP           ((DWORD)0x80000004u)
#define EXCEPTION_ACCESS_VIOLATION      ((DWORD)0xC0000005u)
#define EXCEPTION_IN_PAGE_ERROR         ((DWORD)0xC0000006u)
#define EXCEPTION_ILLEGAL_INSTRUCTION   ((DWORD)0xC000001Du)
#define EXCEPTION_ARRAY_BOUNDS_EXCEEDED ((DWORD)0xC000008Cu)
#define EXCEPTION_FLT_DENORMAL_OPERAND  ((DWORD)0xC000008Du)
#define EXCEPTION_FLT_DIVIDE_BY_ZERO    ((DWORD)0xC000008Eu)
#define EXCEPTION_FLT_INEXACT_RESULT    ((DWORD)0xC000008Fu)
#define EXCEPTION_FLT_INVALID_OPERATION ((DWORD)0xC0000090u)
#define EXCEPTION_FLT_OVERFLOW          ((DWORD)0xC0000091u)
#define EXCEPTION_FLT_STACK_CHECK       ((DWORD)0xC0000092u)
#define EXCEPTION_FLT_UNDERFLOW         ((DWORD)0xC0000093u)
#define EXCEPTION_INT_DIVIDE_BY_ZERO    ((DWORD)0xC0000094u)
#define EXCEPTION_INT_OVERFLOW          ((DWORD)0xC0000095u)
#define EXCEPTION_PRIV_INSTRUCTION      ((DWORD)0xC0000096u)
#define EXCEPTION_STACK_OVERFLOW        ((DWORD)0xC00000FDu)
#define STATUS_DEVICE_DATA_ERROR        ((DWORD)0xC000009Cu)
#define STATUS_CONTROL_C_EXIT           ((DWORD)0xC000013Au)
#define STATUS_FATAL_APP_EXIT           ((DWORD)0x40000015u) /* abort() */

#define EXCEPTION_NONCONTINUABLE 0x1u /* ExceptionFlags: the work cannot go on */

#define EXCEPTION_MAXIMUM_PARAMETERS 15

/* Filter verdicts. */
#define EXCEPTION_EXECUTE_HANDLER    1
#define EXCEPTION_CONTINUE_SEARCH    0
#define EXCEPTION_CONTINUE_EXECUTION (-1)

typedef struct _EXCEPTION_RECORD {
    DWORD ExceptionCode;
    DWORD ExceptionFlags;
    struct _EXCEPTION_RECORD* ExceptionRecord;
    PVOID ExceptionAddress; /* the instruction at which it happened */
    DWORD NumberParameters; /* of ExceptionInformation in use, at most 15 */
    ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
} EXCEPTION_RECORD, *PEXCEPTION_RECORD;

typedef struct _EXCEPTION_POINTERS {
    PEXCEPTION_RECORD ExceptionRecord;
    PVOID ContextRecord; /* a ucontext_t: the signal's, or RaiseException's own */
} EXCEPTION_POINTERS, *PEXCEPTION_POINTERS;

namespace korval {

/*
 * Raises a software exception with a code and up to 15 parameters (more are
 * not passed on). It takes the path of a processor fault: the filters of the
 * active guards see it with the caller's return address as ExceptionAddress.
 * Returns only when a filter answers EXCEPTION_CONTINUE_EXECUTION; raised
 * outside every guard, or refused by all of them, it aborts the process.
 */
void RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags, DWORD nNumberOfArguments,
                    const ULONG_PTR* lpArguments);

/* ---- time.cpp ----------------------------------------------------------- */

/* The local date and time, to the millisecond. */
void GetLocalTime(LPSYSTEMTIME lpSystemTime);

/* ---- paths.cpp ---------------------------------------------------------- */

/* Upper-cases a to z in place; every other byte stays. Returns text. */
char* _strupr(char* text);

/* The absolute form of name from the current directory (see PathFull).
 * Returns out, or NULL with errno set (ERANGE: longer than size - 1
 * characters; otherwise the current directory could not be had). */
char* _fullpath(char* out, const char* name, size_t size);

/*
 * The absolute form of name, taken relative to cwd (itself absolute) where
 * name does not begin with a separator. "/" and "\" both separate; "." is
 * dropped and ".." removes the component before it, and a ".." at the root
 * stays there, as the system's own lookup does. The result uses "/" and ends
 * with it only when it is the root. Returns out, or NULL with errno ERANGE
 * when it is longer than size - 1 characters; out is then unspecified.
 */
char* PathFull(char* out, size_t size, const char* name, const char* cwd);

/* Splits path into drive (always empty: there are none), directory up to
 * the last separator inclusive, name, and extension (the last "." after the
 * directory and what follows), each written with its terminator; joined,
 * the four give path back. Each part buffer must hold strlen(path) + 1
 * characters (drive: 1). */
void _splitpath(const char* path, char* drive, char* dir, char* fname, char* ext);

} // namespace korval

/* The layer's functions are korval::CreateFileA and so on in the object
 * files, so that a program linking the fault reporter may have a ReadFile
 * of its own; our sources call them by their Win32 names. */
using korval::CreateFileA;
using korval::GetFileSize;
using korval::GetFileType;
using korval::CreateFileMappingA;
using korval::MapViewOfFile;
using korval::ReadFile;
using korval::WriteFile;
using korval::CloseHandle;
using korval::GetStdHandle;
using korval::GetModuleFileNameA;
using korval::GetLastError;
using korval::SetLastError;
using korval::VirtualAlloc;
using korval::VirtualFree;
using korval::RaiseException;
using korval::GetLocalTime;
using korval::_strupr;
using korval::_fullpath;
using korval::PathFull;
using korval::_splitpath;

#endif /* POSIX */

/* The line end of console text: CR LF on Windows, LF elsewhere. */
#ifdef _WIN32
#define LINE_END "\r\n"
#else
#define LINE_END "\n"
#endif

#endif /* KORVAL_PLATFORM_H */
