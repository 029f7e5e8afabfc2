// windows/exceptions.cpp - the structured-exception guard (GuardRun) on Windows.
//
// A compiler with __try/__except (MSVC, clang-cl) gives the guard directly.
// MinGW-w64 GCC has no __try/__except, so there the guard is built from a
// vectored exception handler, registered only while a guard is active: the
// system calls it at the time of the fault, on the faulting thread, before
// any frame-based handler and before anything is unwound, with the real
// EXCEPTION_POINTERS. It offers the exception to the filters of the active
// guards, innermost first. When one takes it, the handler points the
// faulting context at a landing routine on a stack of its own and lets the
// system resume there; the landing routine jumps back into that guard's
// GuardRun. Jumping from a resumed context, rather than from inside the
// handler, lets the system's exception dispatch end as it expects. A stack
// overflow is taken too, but its dispatch leaves too little stack for a
// filter that prints (Wine leaves about 5 KiB, whatever stack guarantee the
// thread asked for): the handler resumes the thread on the guard's own
// stack, where the filters are offered copies of the record and context.
// The stack's guard page is restored afterwards.
//
// Ctrl-C is no exception for a console program on Windows: the system calls
// the console control handlers on a thread of their own. While a guard is
// active a control handler of ours stops the guarded thread and resumes it
// the same way, to offer STATUS_CONTROL_C_EXIT to the filters with the
// context in which it was interrupted, as if it had been raised there.
//
// Guards nest, on one thread only, as on POSIX.

#include "platform.h"

#if defined(_MSC_VER)

BOOL GuardRun(void (*Work)(void), PGUARD_FILTER Filter) {
    __try {
        Work();
    } __except (Filter(GetExceptionInformation())) {
        return FALSE;
    }
    return TRUE;
}

#else

#include <malloc.h>

namespace {

struct Guard {
    PGUARD_FILTER Filter;
    void* Resume[5]; // __builtin_setjmp buffer: the guard's handler block
    DWORD TakenCode; // the code of the exception the guard took
    Guard* Outer;
};

Guard* Innermost; // the active guards, innermost first
DWORD GuardThreadId;
HANDLE hGuardThread;
PVOID hVectored;

// 1 while an exception is offered to the filters or a guard is being
// entered or left: the guarded thread and the console control thread take
// turns by it.
volatile LONG Dispatching;

Guard* Landing; // the guard that took the exception

// A stack of the guard's own, apart from the faulting one, which may be
// exhausted: the landing routine runs on it, and so do the filters for an
// exception that is delivered later (below).
alignas(16) unsigned char OwnStack[64 * 1024];

// An exception offered to the filters after the system's dispatch has
// ended: a stack overflow, whose dispatch leaves the filters too little
// stack, and Ctrl-C, which the system does not raise at all.
EXCEPTION_RECORD Deferred;
CONTEXT DeferredContext;

bool TryTake() {
    return InterlockedCompareExchange(&Dispatching, 1, 0) == 0;
}

void Take() {
    while (!TryTake())
        Sleep(0);
}

void Release() {
    InterlockedExchange(&Dispatching, 0);
}

[[noreturn]] void Land() {
    __builtin_longjmp(Landing->Resume, 1);
}

// Makes Context go on in Routine, on the guard's own stack.
void RunOnOwnStack(CONTEXT* Context, void (*Routine)()) {
    DWORD64 Top = (DWORD64)(OwnStack + sizeof OwnStack) - 8;
    *(DWORD64*)Top = 0; // Routine's return address: none
    Context->Rsp = Top;
    Context->Rip = (DWORD64)Routine;
}

// Offers an exception to the filters, innermost guard first, with the
// turn taken. Returns the verdict: EXCEPTION_EXECUTE_HANDLER with Landing
// set (the turn stays taken until that guard's GuardRun has landed), or
// EXCEPTION_CONTINUE_EXECUTION or EXCEPTION_CONTINUE_SEARCH with the turn
// given back.
LONG Offer(EXCEPTION_POINTERS* ExceptionInfo) {
    for (Guard* g = Innermost; g != nullptr; g = g->Outer) {
        LONG Verdict = g->Filter(ExceptionInfo);
        if (Verdict == EXCEPTION_EXECUTE_HANDLER) {
            g->TakenCode = ExceptionInfo->ExceptionRecord->ExceptionCode;
            Landing = g;
            return Verdict;
        }
        if (Verdict == EXCEPTION_CONTINUE_EXECUTION) {
            Release();
            return Verdict;
        }
    }
    Release();
    return EXCEPTION_CONTINUE_SEARCH;
}

// Runs on the guarded thread, on the guard's own stack, with the turn
// taken: offers the deferred exception to the filters, with copies of its
// record and context. One that no guard takes ends the process with its
// code, as the system would have.
[[noreturn]] void DeliverDeferred() {
    EXCEPTION_POINTERS Pointers = {&Deferred, &DeferredContext};
    LONG Verdict = Offer(&Pointers);
    if (Verdict == EXCEPTION_EXECUTE_HANDLER) Land();
    if (Verdict == EXCEPTION_CONTINUE_EXECUTION) RtlRestoreContext(&DeferredContext, NULL);
    ExitProcess(Deferred.ExceptionCode);
}

LONG CALLBACK Vectored(EXCEPTION_POINTERS* ExceptionInfo) {
    // Another thread's exception, or one raised in a filter: not ours.
    if (GetCurrentThreadId() != GuardThreadId || !TryTake()) return EXCEPTION_CONTINUE_SEARCH;
    if (ExceptionInfo->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        Deferred = *ExceptionInfo->ExceptionRecord;
        Deferred.ExceptionRecord = NULL;
        DeferredContext = *ExceptionInfo->ContextRecord;
        RunOnOwnStack(ExceptionInfo->ContextRecord, DeliverDeferred);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    LONG Verdict = Offer(ExceptionInfo);
    if (Verdict == EXCEPTION_EXECUTE_HANDLER) {
        RunOnOwnStack(ExceptionInfo->ContextRecord, Land);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return Verdict;
}

// Console control handler, on a thread of the system's: Ctrl-C and
// Ctrl-Break while a guard is active stop the guarded thread and deliver
// STATUS_CONTROL_C_EXIT to it where it was interrupted.
BOOL WINAPI ConsoleControl(DWORD dwCtrlType) {
    if (dwCtrlType != CTRL_C_EVENT && dwCtrlType != CTRL_BREAK_EVENT) return FALSE;
    if (!TryTake()) return TRUE; // the thread is busy with an exception already
    if (Innermost != nullptr && SuspendThread(hGuardThread) != (DWORD)-1) {
        DeferredContext.ContextFlags = CONTEXT_FULL;
        BOOL Redirected = FALSE;
        if (GetThreadContext(hGuardThread, &DeferredContext)) {
            Deferred = EXCEPTION_RECORD();
            Deferred.ExceptionCode = STATUS_CONTROL_C_EXIT;
            Deferred.ExceptionAddress = (PVOID)DeferredContext.Rip;
            CONTEXT Deliver = DeferredContext;
            RunOnOwnStack(&Deliver, DeliverDeferred);
            Redirected = SetThreadContext(hGuardThread, &Deliver);
        }
        ResumeThread(hGuardThread);
        if (Redirected) return TRUE; // the turn passes to DeliverDeferred
    }
    Release();
    return FALSE;
}

} // namespace

BOOL GuardRun(void (*Work)(void), PGUARD_FILTER Filter) {
    Guard g = {Filter, {}, 0, nullptr};
    Take();
    if (Innermost == nullptr) {
        GuardThreadId = GetCurrentThreadId();
        DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &hGuardThread,
                        0, FALSE, DUPLICATE_SAME_ACCESS);
        hVectored = AddVectoredExceptionHandler(1, Vectored);
        SetConsoleCtrlHandler(ConsoleControl, TRUE);
    }
    g.Outer = Innermost;
    Innermost = &g;
    Release();

    volatile BOOL Completed = FALSE;
    if (__builtin_setjmp(g.Resume) == 0) {
        Work();
        Completed = TRUE;
        Take();
    }
    // Here the turn is taken: by this thread, or by the dispatch that landed.
    Innermost = g.Outer;
    if (Innermost == nullptr) {
        SetConsoleCtrlHandler(ConsoleControl, FALSE);
        RemoveVectoredExceptionHandler(hVectored);
        CloseHandle(hGuardThread);
        GuardThreadId = 0;
    }
    // A stack overflow used up the guard page; put it back for the next one.
    if (!Completed && g.TakenCode == (DWORD)EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
    Release();
    return Completed;
}

#endif
