// windows/exceptions.cpp - the structured-exception guard on Windows:
// GuardCall and GuardRun, and what a filter may ask about the exception it
// is offered (ExceptionCallChain, PutStdoutNoWait).
//
// MinGW-w64 GCC has no __try/__except, so the guard is built from a
// vectored exception handler, registered the first time any thread enters
// a guard: the system calls it at the time of the fault, on the faulting
// thread, before any frame-based handler and before anything is unwound,
// with the real EXCEPTION_POINTERS. It offers the exception to the filters
// of that thread's guards, innermost first. When one takes it, the handler
// points the faulting context at a landing routine on a stack of the
// thread's own and lets the system resume there; the landing routine jumps
// back into that guard's GuardCall. Jumping from a resumed context, rather
// than from inside the handler, lets the system's exception dispatch end as
// it expects. Exceptions with a success or informational code are not
// faults and never offered: among them the C++ throws of GCC, which unwind
// through the guard to whoever catches them.
//
// A stack overflow is taken too, but its dispatch leaves too little stack
// for a filter that prints (Wine leaves about 5 KiB, whatever stack
// guarantee the thread asked for): the handler resumes the thread on its own
// stack, where the filters are offered copies of the record and context.
// The stack's guard page is restored afterwards.
//
// Ctrl-C is no exception for a console program on Windows: the system calls
// the console control handlers on a thread of their own. While a thread is
// inside a guard that asked for Ctrl-C, a control handler of ours stops that
// thread and, once it is in the program's own code (not inside the C
// runtime or the system, whose locks it may hold), resumes it the same way,
// to offer STATUS_CONTROL_C_EXIT to the filters with the context in which it
// was interrupted, as if it had been raised there. Each thread and the
// control handler take turns at that thread's guards by a flag of its own.

#include "platform.h"

#if !defined(__GNUC__) || !defined(_M_X64) && !defined(__x86_64__)
#error "the guard is written for MinGW-w64 GCC on x64: it sets Rip and Rsp of the CONTEXT"
#endif

#include <malloc.h>
#include <stdio.h>

namespace {

struct Guard {
    PGUARD_FILTER Filter;
    DWORD Flags;
    void* Resume[5]; // __builtin_setjmp buffer: the guard's handler block
    DWORD TakenCode; // the code of the exception the guard took
    Guard* Outer;
};

// What one thread needs for its guards, made the first time it enters one
// and given back when it ends.
struct ThreadGuards {
    Guard* Innermost; // the active guards, innermost first
    DWORD ThreadId;
    HANDLE hThread;

    // 1 while an exception is offered to the filters or a guard is entered
    // or left: the thread and the console control thread take turns by it.
    volatile LONG Dispatching;

    Guard* Landing; // the guard that took the exception

    // An exception offered to the filters after the system's dispatch has
    // ended: a stack overflow, whose dispatch leaves the filters too little
    // stack, and Ctrl-C, which the system does not raise at all.
    EXCEPTION_RECORD Deferred;
    CONTEXT DeferredContext;

    int CtrlCGuards;       // how many of the active guards take Ctrl-C
    bool InterruptPending; // a Ctrl-C waits for a safe point

    // A stack apart from the faulting one, which may be exhausted: the
    // landing routine runs on it, and so do the filters for a deferred
    // exception.
    alignas(16) unsigned char OwnStack[64 * 1024];
};

DWORD FlsSlot = FLS_OUT_OF_INDEXES;
INIT_ONCE SetUpOnce = INIT_ONCE_STATIC_INIT;

// The thread that Ctrl-C goes to: the one in a Ctrl-C guard. Guarded by
// CtrlCLock, which the control handler holds while it uses the thread.
CRITICAL_SECTION CtrlCLock;
ThreadGuards* CtrlCThread;

bool TryTake(ThreadGuards* T) {
    return InterlockedCompareExchange(&T->Dispatching, 1, 0) == 0;
}

void Take(ThreadGuards* T) {
    while (!TryTake(T))
        Sleep(0);
}

void Release(ThreadGuards* T) {
    InterlockedExchange(&T->Dispatching, 0);
}

ThreadGuards* CurrentThread() {
    return static_cast<ThreadGuards*>(FlsGetValue(FlsSlot));
}

[[noreturn]] void Land() {
    __builtin_longjmp(CurrentThread()->Landing->Resume, 1);
}

// Makes Context go on in Routine, on the thread's own stack.
void RunOnOwnStack(ThreadGuards* T, CONTEXT* Context, void (*Routine)()) {
    DWORD64 Top = (DWORD64)(T->OwnStack + sizeof T->OwnStack) - 8;
    *(DWORD64*)Top = 0; // Routine's return address: none
    Context->Rsp = Top;
    Context->Rip = (DWORD64)Routine;
}

// Offers an exception to the filters of the thread's guards, innermost
// first (Ctrl-C only to those that asked for it), with the turn taken.
// Returns the verdict: EXCEPTION_EXECUTE_HANDLER with Landing set (the turn
// stays taken until that guard's GuardCall has landed), or
// EXCEPTION_CONTINUE_EXECUTION or EXCEPTION_CONTINUE_SEARCH with the turn
// given back.
LONG Offer(ThreadGuards* T, EXCEPTION_POINTERS* ExceptionInfo, bool CtrlC) {
    for (Guard* g = T->Innermost; g != nullptr; g = g->Outer) {
        if (CtrlC && !(g->Flags & GUARD_CTRL_C)) continue;
        LONG Verdict = g->Filter(ExceptionInfo);
        if (Verdict == EXCEPTION_EXECUTE_HANDLER) {
            g->TakenCode = ExceptionInfo->ExceptionRecord->ExceptionCode;
            T->Landing = g;
            return Verdict;
        }
        if (Verdict == EXCEPTION_CONTINUE_EXECUTION) {
            Release(T);
            return Verdict;
        }
    }
    Release(T);
    return EXCEPTION_CONTINUE_SEARCH;
}

// Runs on the guarded thread, on its own stack, with the turn taken: offers
// the deferred exception to the filters, with copies of its record and
// context. One that no guard takes ends the process with its code, as the
// system would have.
[[noreturn]] void DeliverDeferred() {
    ThreadGuards* T = CurrentThread();
    EXCEPTION_POINTERS Pointers = {&T->Deferred, &T->DeferredContext};
    bool CtrlC = T->Deferred.ExceptionCode == STATUS_CONTROL_C_EXIT;
    if (CtrlC) T->InterruptPending = false;
    LONG Verdict = Offer(T, &Pointers, CtrlC);
    if (Verdict == EXCEPTION_EXECUTE_HANDLER) Land();
    if (Verdict == EXCEPTION_CONTINUE_EXECUTION) RtlRestoreContext(&T->DeferredContext, NULL);
    ExitProcess(T->Deferred.ExceptionCode);
}

LONG CALLBACK Vectored(EXCEPTION_POINTERS* ExceptionInfo) {
    // Success and informational codes are not faults: a C++ throw, a
    // debugger's message.
    if (ExceptionInfo->ExceptionRecord->ExceptionCode < 0x80000000u)
        return EXCEPTION_CONTINUE_SEARCH;
    // A thread without a guard, or an exception raised in a filter: not ours.
    ThreadGuards* T = CurrentThread();
    if (T == nullptr || T->Innermost == nullptr || !TryTake(T)) return EXCEPTION_CONTINUE_SEARCH;
    if (ExceptionInfo->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW) {
        T->Deferred = *ExceptionInfo->ExceptionRecord;
        T->Deferred.ExceptionRecord = NULL;
        T->DeferredContext = *ExceptionInfo->ContextRecord;
        RunOnOwnStack(T, ExceptionInfo->ContextRecord, DeliverDeferred);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    LONG Verdict = Offer(T, ExceptionInfo, false);
    if (Verdict == EXCEPTION_EXECUTE_HANDLER) {
        RunOnOwnStack(T, ExceptionInfo->ContextRecord, Land);
        return EXCEPTION_CONTINUE_EXECUTION;
    }
    return Verdict;
}

// Stops the thread and, where it is in the program's own code, has it
// resume in DeliverDeferred with STATUS_CONTROL_C_EXIT; the turn then
// passes to it. Returns whether it did.
bool Interrupt(ThreadGuards* T) {
    if (SuspendThread(T->hThread) == (DWORD)-1) return false;
    bool Redirected = false;
    T->DeferredContext.ContextFlags = CONTEXT_FULL;
    if (GetThreadContext(T->hThread, &T->DeferredContext) &&
        IsProgramCode((ULONG_PTR)T->DeferredContext.Rip)) {
        T->Deferred = EXCEPTION_RECORD();
        T->Deferred.ExceptionCode = STATUS_CONTROL_C_EXIT;
        T->Deferred.ExceptionAddress = (PVOID)T->DeferredContext.Rip;
        CONTEXT Deliver = T->DeferredContext;
        RunOnOwnStack(T, &Deliver, DeliverDeferred);
        Redirected = SetThreadContext(T->hThread, &Deliver);
    }
    ResumeThread(T->hThread);
    return Redirected;
}

// Console control handler, on a thread of the system's: Ctrl-C and
// Ctrl-Break while a thread is in a Ctrl-C guard are delivered to it at the
// first safe point, tried every millisecond. A second one before that, or
// one that the guarded work outlives, takes its default course.
BOOL WINAPI ConsoleControl(DWORD dwCtrlType) {
    if (dwCtrlType != CTRL_C_EVENT && dwCtrlType != CTRL_BREAK_EVENT) return FALSE;
    EnterCriticalSection(&CtrlCLock);
    ThreadGuards* T = CtrlCThread;
    bool Ours = T != nullptr && !T->InterruptPending;
    if (Ours) T->InterruptPending = true;
    LeaveCriticalSection(&CtrlCLock);
    if (!Ours) return FALSE;
    for (;;) {
        EnterCriticalSection(&CtrlCLock);
        T = CtrlCThread;
        bool Delivered = false;
        if (T != nullptr && TryTake(T)) {
            Delivered = Interrupt(T);
            if (!Delivered) Release(T);
        }
        LeaveCriticalSection(&CtrlCLock);
        if (T == nullptr) return FALSE;
        if (Delivered) return TRUE;
        Sleep(1);
    }
}

// The first thread's guard: the vectored handler and the control handler.
BOOL CALLBACK SetUpProcess(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&CtrlCLock);
    FlsSlot = FlsAlloc([](void* Value) {
        ThreadGuards* T = static_cast<ThreadGuards*>(Value);
        if (T == nullptr) return;
        CloseHandle(T->hThread);
        VirtualFree(T, 0, MEM_RELEASE);
    });
    AddVectoredExceptionHandler(1, Vectored);
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    IsProgramCode(0); // notes the program's code now, outside any handler
    return TRUE;
}

ThreadGuards* SetUpThread() {
    InitOnceExecuteOnce(&SetUpOnce, SetUpProcess, nullptr, nullptr);
    ThreadGuards* T = CurrentThread();
    if (T != nullptr) return T;
    T = static_cast<ThreadGuards*>(
        VirtualAlloc(NULL, sizeof(ThreadGuards), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (T == nullptr) return nullptr;
    T->ThreadId = GetCurrentThreadId();
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &T->hThread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    FlsSetValue(FlsSlot, T);
    PrepareCallChain();
    return T;
}

// Enters and leaves a guard with the turn taken; the thread is the one
// Ctrl-C goes to while it is in a Ctrl-C guard.
void Push(ThreadGuards* T, Guard* g) {
    if (g->Flags & GUARD_CTRL_C) EnterCriticalSection(&CtrlCLock);
    Take(T);
    g->Outer = T->Innermost;
    T->Innermost = g;
    if ((g->Flags & GUARD_CTRL_C) && T->CtrlCGuards++ == 0) CtrlCThread = T;
    Release(T);
    if (g->Flags & GUARD_CTRL_C) LeaveCriticalSection(&CtrlCLock);
}

// Leaves the guard; the turn is taken already when Taken says so.
void Pop(ThreadGuards* T, Guard* g, bool Taken) {
    if (Taken) Release(T);
    if (g->Flags & GUARD_CTRL_C) EnterCriticalSection(&CtrlCLock);
    Take(T);
    T->Innermost = g->Outer;
    if ((g->Flags & GUARD_CTRL_C) && --T->CtrlCGuards == 0) {
        CtrlCThread = nullptr;
        T->InterruptPending = false;
    }
    Release(T);
    if (g->Flags & GUARD_CTRL_C) LeaveCriticalSection(&CtrlCLock);
}

// Leaves the guard however GuardCall is left, a C++ exception thrown through
// it included.
struct GuardScope {
    ThreadGuards* T;
    Guard* g;
    bool Armed;
    ~GuardScope() {
        if (Armed) Pop(T, g, false);
    }
};

} // namespace

BOOL GuardCall(void (*Work)(void*), void* Arg, PGUARD_FILTER Filter, DWORD Flags) {
    ThreadGuards* T = SetUpThread();
    if (T == nullptr) { // no memory for the guard: the work runs unguarded
        Work(Arg);
        return TRUE;
    }
    Guard g = {Filter, Flags, {}, 0, nullptr};
    Push(T, &g);
    GuardScope Scope = {T, &g, true};
    if (__builtin_setjmp(g.Resume) != 0) {
        // A filter took an exception, with the turn taken by the dispatch
        // that landed here. A stack overflow used up the guard page; put it
        // back for the next one.
        Scope.Armed = false;
        DWORD Code = g.TakenCode;
        Pop(T, &g, true);
        if (Code == (DWORD)EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
        return FALSE;
    }
    Work(Arg);
    Scope.Armed = false;
    Pop(T, &g, false);
    return TRUE;
}

DWORD ExceptionCallChain(PEXCEPTION_POINTERS ExceptionInfo, ULONG_PTR* Returns, DWORD Max) {
    ULONG_PTR Low = 0, High = 0;
    if (ExceptionInfo->ContextRecord == nullptr) return 0;
    GetCurrentThreadStackLimits(&Low, &High);
    return CallChain(ExceptionInfo->ContextRecord, Low, High, Returns, Max);
}

// The C runtime has no way to try its stream lock: this one waits for
// another thread that holds it, which a program of one thread never meets.
BOOL PutStdoutNoWait(const char* Text) {
    fputs(Text, stdout);
    return TRUE;
}
