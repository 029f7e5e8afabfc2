// guard.h - the exception guard of the fault reporter, on either system.

#ifndef KORVAL_MAPDEBUG_GUARD_H
#define KORVAL_MAPDEBUG_GUARD_H

#include "platform.h"

namespace korval {

/*
 * The exception guard: GuardCall runs work(arg) with the guard active and
 * returns TRUE when work returned. Every exception raised meanwhile on this
 * thread, in work or anything it calls (a processor fault, RaiseException,
 * and with GUARD_CTRL_C Ctrl-C), goes to filter on the faulting thread before
 * anything is unwound; with the verdict EXCEPTION_EXECUTE_HANDLER the work is
 * abandoned and GuardCall returns FALSE, which is where the handler block
 * runs. EXCEPTION_CONTINUE_SEARCH passes the exception to the enclosing guard
 * of the same thread, and at the outermost to the course it would have had
 * without the guard; EXCEPTION_CONTINUE_EXECUTION resumes where it happened.
 * An exception on a thread without a guard never reaches a filter. A C++
 * exception thrown by work passes through GuardCall, which leaves the guard.
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
 * use stdio. To write, it calls WriteFile on a standard handle (GetStdHandle),
 * which is a plain write(2) loop on POSIX, or PutStdoutInOrder. abort() inside
 * a guard (a failed assert too) is offered as STATUS_FATAL_APP_EXIT with
 * EXCEPTION_NONCONTINUABLE: whatever the verdict, the process then ends as
 * abort ends it. An asynchronous exception (Ctrl-C) is offered only once the
 * thread is in the program's own code (IsProgramCode), never while it is
 * inside the C library, whose locks and buffers it may be holding; a second
 * Ctrl-C before then takes its default course.
 *
 * On POSIX the guard is a set of signal handlers (SIGSEGV, SIGBUS, SIGFPE,
 * SIGILL, SIGTRAP, SIGABRT; with GUARD_CTRL_C also SIGINT, unless the program
 * was started with it ignored, and SIGALRM from a timer of the thread's own);
 * a signal no guard takes, and a fault signal that was sent (kill, sigqueue,
 * raise) rather than raised by the kernel for an instruction, is handed to
 * whatever handled it before, run with its own flags and mask as the kernel
 * would have run it, or takes its default course. The work runs with the
 * fault signals open; after a taken exception the thread's signal mask is
 * the one it had as it entered its first guard. A guard left by longjmp is
 * dropped by the next guard entered, and by the handler when the fault lies
 * above its frame on the same stack. On Windows each guard is a frame-based exception
 * handler of GuardCall's own frame, as __try/__except makes one: an exception
 * reaches filter only once every frame-based handler between the fault and
 * the guard has declined it, so that code in work which handles its own
 * exceptions (IsBadReadPtr, a library's __try) works as it does unguarded,
 * and EXCEPTION_CONTINUE_SEARCH goes on to the frames further out, an
 * enclosing guard's among them. A stack overflow, whose dispatch has too
 * little stack left to reach those frames, and an exception whose dispatch
 * could not walk the stack as far as the guard's frame (the stack written
 * over), are taken first by a vectored exception handler and offered to the
 * thread's guards, innermost first.
 * Ctrl-C is delivered to the guarded thread as STATUS_CONTROL_C_EXIT by a
 * console control handler; exceptions with a success or informational code
 * (a C++ throw, a debugger's message) are never offered.
 */
typedef LONG (*PGUARD_FILTER)(PEXCEPTION_POINTERS exceptionInfo);

#define GUARD_CTRL_C 0x1u /* GuardCall: Ctrl-C is an exception of this guard */

BOOL GuardCall(void (*work)(void*), void* arg, PGUARD_FILTER filter, DWORD flags);

/* GuardCall with GUARD_CTRL_C, for work without an argument. */
BOOL GuardRun(void (*work)(void), PGUARD_FILTER filter);

/* The return addresses of the frames that called the one in which the
 * exception being offered to a filter happened, innermost first: at most max
 * into returns; returns how many. For use by a filter: it reads only the
 * faulting thread's stack, takes no lock and allocates nothing. */
DWORD ExceptionCallChain(PEXCEPTION_POINTERS exceptionInfo, ULONG_PTR* returns, DWORD max);

/* Appends text to standard output through the C library's stream, after
 * what the program printed there, as printf would. On POSIX it never waits:
 * when another thread holds the stream, nothing is written and FALSE comes
 * back. On Windows, whose C runtime can only wait for its stream's lock, it
 * waits for another thread that holds the stream: that thread runs on
 * meanwhile and lets it go once its call ends (writing to the handle
 * instead would put the text ahead of what the stream still holds). A
 * filter calls it only when the exception happened in the program's own
 * code, where the stream is not half-way through a call of this thread's. */
BOOL PutStdoutInOrder(const char* text);

} // namespace korval

#endif // KORVAL_MAPDEBUG_GUARD_H
