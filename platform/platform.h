/*
 * platform.h - the operating system interface of KORVAL.
 *
 * The tool is written against the Win32 console API. On Windows this header
 * is <windows.h> and the C runtime; everywhere else it declares the small
 * subset of Win32 the tool calls, with the same names, arguments and results,
 * implemented by the files under platform/unix/ (one file per facility).
 *
 * Beside the Win32 subset it declares PathFull, the arithmetic of the POSIX
 * _fullpath as a pure function of an explicit current directory.
 *
 * On both systems it then declares what Win32 has no single call for, each
 * with a Unix and a Windows implementation: the guard (GuardCall, GuardRun)
 * and what its filter may ask, the program's own image (ProgramModule,
 * ProgramLoadBias, IsProgramCode), and the walk of a faulting thread's
 * calls (CallChain).
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

#ifdef __cplusplus
extern "C" {
#endif

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

/* ---- exceptions.cpp ----------------------------------------------------- */

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

#ifdef __cplusplus
}
#endif

#endif /* POSIX */

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The exception guard: GuardCall runs Work(Arg) with the guard active and
 * returns TRUE when Work returned. Every exception raised meanwhile on this
 * thread, in Work or anything it calls (a processor fault, RaiseException,
 * and with GUARD_CTRL_C Ctrl-C), goes to Filter on the faulting thread before
 * anything is unwound; with the verdict EXCEPTION_EXECUTE_HANDLER the work is
 * abandoned and GuardCall returns FALSE, which is where the handler block
 * runs. EXCEPTION_CONTINUE_SEARCH passes the exception to the enclosing guard
 * of the same thread, and at the outermost to the course it would have had
 * without the guard; EXCEPTION_CONTINUE_EXECUTION resumes where it happened.
 * An exception on a thread without a guard never reaches a filter. A C++
 * exception thrown by Work passes through GuardCall, which leaves the guard.
 *
 * Any thread may enter guards, which nest. What a guard needs is set up once:
 * the handlers the first time any thread enters a guard, the rest the first
 * time each thread does (an alternate stack of the thread's own for the
 * handlers, so that a stack overflow is caught too). Later calls install and
 * remove nothing, so a guard costs little more than a plain call.
 *
 * The filter may run in a signal handler (POSIX) or in the system's exception
 * dispatch (Windows), with the faulting work stopped wherever it was: it must
 * not wait for a lock that the work may hold, and should neither allocate nor
 * use stdio. An asynchronous exception (Ctrl-C) is offered only once the
 * thread is in the program's own code (IsProgramCode), never while it is
 * inside the C library, whose locks and buffers it may be holding; a second
 * Ctrl-C before then takes its default course.
 *
 * On POSIX the guard is a set of signal handlers (SIGSEGV, SIGBUS, SIGFPE,
 * SIGILL, SIGTRAP; with GUARD_CTRL_C also SIGINT, unless the program was
 * started with it ignored, and SIGALRM from a timer of the thread's own);
 * a signal no guard takes is handed to whatever handled it before, or takes
 * its default course. On Windows each guard is a frame-based exception
 * handler of GuardCall's own frame, as __try/__except makes one: an exception
 * reaches Filter only once every frame-based handler between the fault and
 * the guard has declined it, so that code in Work which handles its own
 * exceptions (IsBadReadPtr, a library's __try) works as it does unguarded,
 * and EXCEPTION_CONTINUE_SEARCH goes on to the frames further out, an
 * enclosing guard's among them. A stack overflow, whose dispatch has too
 * little stack left to reach those frames, is taken first by a vectored
 * exception handler and offered to the thread's guards, innermost first.
 * Ctrl-C is delivered to the guarded thread as STATUS_CONTROL_C_EXIT by a
 * console control handler; exceptions with a success or informational code
 * (a C++ throw, a debugger's message) are never offered.
 */
typedef LONG (*PGUARD_FILTER)(PEXCEPTION_POINTERS ExceptionInfo);

#define GUARD_CTRL_C 0x1u /* GuardCall: Ctrl-C is an exception of this guard */

BOOL GuardCall(void (*Work)(void*), void* Arg, PGUARD_FILTER Filter, DWORD Flags);

/* GuardCall with GUARD_CTRL_C, for work without an argument. */
BOOL GuardRun(void (*Work)(void), PGUARD_FILTER Filter);

/* The return addresses of the frames that called the one in which the
 * exception being offered to a filter happened, innermost first: at most Max
 * into Returns; returns how many. For use by a filter: it reads only the
 * faulting thread's stack, takes no lock and allocates nothing. */
DWORD ExceptionCallChain(PEXCEPTION_POINTERS ExceptionInfo, ULONG_PTR* Returns, DWORD Max);

/* Appends Text to standard output through the C library's stream, as
 * printf would, unless another thread holds the stream: then nothing is
 * written and FALSE comes back; it never waits. A filter calls it only when
 * the exception happened in the program's own code, where the stream is not
 * half-way through a call of this thread's. */
BOOL PutStdoutNoWait(const char* Text);

/* ---- program.cpp --------------------------------------------------------- */

/* The program, as GetModuleFileNameA names it: on POSIX the running
 * executable (NULL); on Windows the image this layer is linked into, which is
 * the executable unless a DLL links the fault reporter. */
HMODULE ProgramModule(void);

/* How far the program lies from the addresses it was linked at: its load
 * bias (POSIX) or its module base minus the preferred image base in its file
 * (Windows, where the headers mapped with a relocated image may hold the
 * base it was loaded at instead); 0 for a program linked at fixed addresses
 * or loaded at its preferred base. */
ULONG_PTR ProgramLoadBias(void);

/* Whether Address lies in the code of the program itself (not in a shared
 * library or DLL, the C library's or any other). Lock-free once the guard or
 * ProgramLoadBias has been used. */
BOOL IsProgramCode(ULONG_PTR Address);

/* The line end of console text: CR LF on Windows, LF elsewhere. */
#ifdef _WIN32
#define LINE_END "\r\n"
#else
#define LINE_END "\n"
#endif

/* ---- callchain.cpp ------------------------------------------------------ */

/*
 * The call chain of an interrupted thread, made from the unwind tables that
 * every executable and shared library carries, without debug information
 * or frame pointers: on Linux (x86-64 and aarch64) from .eh_frame, read by
 * the layer's own code; on Windows x64 from .pdata and .xdata, by the
 * system's unwinder.
 *
 * PrepareCallChain notes what the walk needs about the loaded objects: on
 * POSIX the code segments and the unwind tables of each (from
 * dl_iterate_phdr), up to 512 objects; nothing on Windows, where the system
 * keeps its own function tables. Call it outside signal context before
 * faults can happen (the guard calls it when a thread first enters a guard)
 * and again after loading or unloading libraries: the chain stops where it
 * meets code that was not loaded at the last call, and an object unloaded
 * before the last call is never read. It takes locks, and may run while
 * CallChain runs on other threads. Thread-safe.
 */
void PrepareCallChain(void);

/*
 * The return addresses of the frames that called the frame interrupted at
 * Context (a ucontext_t* on POSIX, a CONTEXT* on Windows), innermost first:
 * at most Max into Returns; returns how many. Returns[0] is where the
 * interrupted routine's caller goes on once it returns. The interrupted
 * frame may be a leaf that saved nothing (a fault inside strlen).
 *
 * It reads only the stack between StackLow and StackHigh (the interrupted
 * thread's stack, which the caller knows) and the unwind tables; it takes
 * no lock, allocates nothing and calls no stdio, so it may be called from a
 * signal handler or an exception filter; it needs about 5 KiB of stack. It
 * stops at the first frame it cannot unwind: an address outside the noted
 * code or without unwind entry, a stack address out of bounds, a return
 * address of 0, no progress, the outermost frame, or a signal trampoline
 * (the chain does not go on into the code a signal interrupted). On Windows
 * the system's unwinder reads each frame's saved registers itself; the
 * stack pointer of every frame is checked against the bounds.
 *
 * Linux on x86-64 and aarch64, and Windows x64, only: elsewhere it
 * returns 0.
 */
DWORD CallChain(const void* Context, ULONG_PTR StackLow, ULONG_PTR StackHigh, ULONG_PTR* Returns,
                DWORD Max);

#ifdef __cplusplus
}
#endif

#endif /* KORVAL_PLATFORM_H */
