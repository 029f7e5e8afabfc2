// windows/exceptions.cpp - the structured-exception guard (GuardRun) on Windows.
//
// A compiler with __try/__except (MSVC, clang-cl) gives the guard directly.
// MinGW-w64 GCC has no __try/__except, so there the guard is built from a
// vectored exception handler, registered only while GuardRun runs: the
// system calls it at the time of the fault, on the faulting thread, before
// any frame-based handler and before any unwinding, with the real
// EXCEPTION_POINTERS. It calls the filter; when the filter takes the
// exception, it points the faulting context at a landing routine on a stack
// of its own and lets the system resume there; the landing routine jumps
// back into GuardRun. Jumping from the resumed context, rather than from
// inside the handler, leaves the system's exception dispatch finished
// normally. A stack overflow is taken too: the filter runs on what the
// thread guarantees for stack overflow handling (raised while the guard is
// active), and the guard page is restored afterwards.
//
// Ctrl-C is no exception for a console program on Windows: the system calls
// the console control handlers on a thread of their own. While the guard is
// active a handler of ours stops the guarded thread and makes it deliver
// STATUS_CONTROL_C_EXIT to the filter itself, at the point where it was
// interrupted, as if it had been raised there.

#include "platform.h"

#if defined(_MSC_VER)

int GuardRun(void (*Work)(void), GUARD_FILTER Filter) {
    __try {
        Work();
    } __except (Filter(GetExceptionInformation())) {
        return 0;
    }
    return 1;
}

#else

#include <malloc.h>

namespace {

// Stack the thread keeps back for handling its own stack overflow: enough
// for the filter's formatted printing.
const ULONG kOverflowReserve = 64 * 1024;

// The state of the one active guard. Lock serialises the taking of an
// exception between the guarded thread and the console control thread.
CRITICAL_SECTION Lock;
GUARD_FILTER ActiveFilter; // null while no guard is active or once it took one
DWORD GuardThreadId;
HANDLE hGuardThread;
void* Resume[5]; // __builtin_setjmp buffer: GuardRun's handler block
DWORD TakenCode; // the code of the exception the guard took

// The stack the landing routine runs on, apart from the faulting one, which
// may be exhausted.
alignas(16) unsigned char LandingStack[16 * 1024];

// The context an interrupted thread is resumed with to deliver Ctrl-C.
CONTEXT Interrupted;

// Takes the guard's exception, if the guard is still active; returns the
// filter, or null.
GUARD_FILTER TakeGuard() {
    EnterCriticalSection(&Lock);
    GUARD_FILTER Filter = ActiveFilter;
    ActiveFilter = nullptr;
    LeaveCriticalSection(&Lock);
    return Filter;
}

void GiveBack(GUARD_FILTER Filter) {
    EnterCriticalSection(&Lock);
    ActiveFilter = Filter;
    LeaveCriticalSection(&Lock);
}

[[noreturn]] void Land() {
    __builtin_longjmp(Resume, 1);
}

// Makes Context resume in Land, on the landing stack, as if Land had been
// called there.
void RedirectToLanding(CONTEXT* Context) {
    DWORD64 Top = (DWORD64)(LandingStack + sizeof LandingStack);
    Top -= 8;
    *(DWORD64*)Top = 0; // no return address
    Context->Rsp = Top;
    Context->Rip = (DWORD64)&Land;
}

LONG CALLBACK Vectored(EXCEPTION_POINTERS* ExceptionInfo) {
    if (GetCurrentThreadId() != GuardThreadId) return EXCEPTION_CONTINUE_SEARCH;
    GUARD_FILTER Filter = TakeGuard();
    if (Filter == nullptr) return EXCEPTION_CONTINUE_SEARCH;
    int Verdict = Filter(ExceptionInfo);
    if (Verdict == EXCEPTION_EXECUTE_HANDLER) {
        TakenCode = ExceptionInfo->ExceptionRecord->ExceptionCode;
        RedirectToLanding(ExceptionInfo->ContextRecord);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    GiveBack(Filter);
    return Verdict == EXCEPTION_CONTINUE_EXECUTION ? EXCEPTION_CONTINUE_EXECUTION
                                                   : EXCEPTION_CONTINUE_SEARCH;
}

// Runs on the guarded thread in place of the interrupted work: hands
// STATUS_CONTROL_C_EXIT to the filter with the interrupted context. Work
// that the filter does not abandon ends as Ctrl-C ends a program by default.
[[noreturn]] void DeliverInterrupt() {
    GUARD_FILTER Filter = TakeGuard();
    EXCEPTION_RECORD Record = {};
    Record.ExceptionCode = STATUS_CONTROL_C_EXIT;
    Record.ExceptionAddress = (PVOID)Interrupted.Rip;
    EXCEPTION_POINTERS Pointers = {&Record, &Interrupted};
    if (Filter != nullptr && Filter(&Pointers) == EXCEPTION_EXECUTE_HANDLER) Land();
    ExitProcess(STATUS_CONTROL_C_EXIT);
}

// Console control handler, on a thread of the system's. Ctrl-C and
// Ctrl-Break while the guard is active are delivered to the guarded thread.
BOOL WINAPI ConsoleControl(DWORD dwCtrlType) {
    if (dwCtrlType != CTRL_C_EVENT && dwCtrlType != CTRL_BREAK_EVENT) return FALSE;
    EnterCriticalSection(&Lock);
    BOOL Taken = FALSE;
    if (ActiveFilter != nullptr && SuspendThread(hGuardThread) != (DWORD)-1) {
        Interrupted.ContextFlags = CONTEXT_FULL;
        if (GetThreadContext(hGuardThread, &Interrupted)) {
            CONTEXT Deliver = Interrupted;
            // Below the interrupted stack pointer, aligned as after a call.
            Deliver.Rsp = ((Interrupted.Rsp - 256) & ~(DWORD64)15) - 8;
            Deliver.Rip = (DWORD64)&DeliverInterrupt;
            Taken = SetThreadContext(hGuardThread, &Deliver);
        }
        ResumeThread(hGuardThread);
    }
    LeaveCriticalSection(&Lock);
    return Taken;
}

} // namespace

int GuardRun(void (*Work)(void), GUARD_FILTER Filter) {
    static bool Initialised = false;
    if (!Initialised) {
        InitializeCriticalSection(&Lock);
        Initialised = true;
    }
    ULONG Reserve = kOverflowReserve;
    SetThreadStackGuarantee(&Reserve);
    GuardThreadId = GetCurrentThreadId();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &hGuardThread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);

    volatile int Completed = 0;
    PVOID hVectored = AddVectoredExceptionHandler(1, Vectored);
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    TakenCode = 0;
    GiveBack(Filter);
    if (__builtin_setjmp(Resume) == 0) {
        Work();
        Completed = 1;
    }
    TakeGuard();
    SetConsoleCtrlHandler(ConsoleControl, FALSE);
    RemoveVectoredExceptionHandler(hVectored);
    CloseHandle(hGuardThread);
    hGuardThread = nullptr;
    GuardThreadId = 0;
    // A stack overflow used up the guard page; put it back for the next one.
    if (!Completed && TakenCode == (DWORD)EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
    return Completed;
}

#endif
