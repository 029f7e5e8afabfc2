// windows/exceptions.cpp - the structured-exception guard on Windows:
// GuardCall, and what a filter may ask about the exception it is offered
// (ExceptionCallChain, PutStdoutNoWait).
//
// Each guard is a frame-based exception handler, as __try/__except makes
// one with a compiler that has them; MinGW-w64 GCC has not. GuardCall calls
// the work through korval_GuardFrame, a few instructions of assembly whose unwind
// entry names korval_GuardFrameHandler as the handler of its frame. The system's
// dispatch calls that handler on the faulting thread, before anything is
// unwound, once every frame-based handler between the fault and the guard
// has declined the exception, so that work which raises and handles an
// exception itself (IsBadReadPtr, a library's own __try, an MSVC C++
// exception thrown and caught inside a DLL) never meets the guard. The
// handler offers it to that guard's filter; an enclosing guard has a frame
// of its own further out, asked after the frames in between. When the filter
// takes it, the handler points the faulting context at a landing routine on
// a stack of the thread's own and lets the system resume there; the landing
// routine jumps back into that guard's GuardCall. Jumping from a resumed
// context, rather than from inside the handler, lets the system's exception
// dispatch end as it expects, and unwinds none of the abandoned frames.
// Unwinding passes the frame by (a C++ exception leaving the work, another
// frame's __except unwinding to itself), and so do exceptions with a success
// or informational code, which are not faults: among them the C++ throws of
// GCC, which unwind through the guard to whoever catches them.
//
// A stack overflow on a thread inside a guard is taken before that, by a
// vectored exception handler, the one thing it is registered for: the
// dispatch to frame-based handlers needs more stack than an overflow leaves
// (Wine leaves about 5 KiB, whatever stack guarantee the thread asked for;
// its dispatch overflows the last page while it looks for the guard's frame,
// and the process ends), and a filter that prints needs more still. The
// handler resumes the thread on its own stack, where the filters of its
// guards, innermost first, are offered copies of the record and context;
// frame-based handlers inside the work never see the overflow. The stack's
// guard page is restored afterwards.
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
#include "callchain.h"
#include "guard.h"
#include "objects.h"

#if !defined(__GNUC__) || !defined(_M_X64) && !defined(__x86_64__)
// The guard's frame is x64 assembly, and it sets Rip and Rsp of a CONTEXT.
#error "the guard is written for MinGW-w64 GCC on x64"
#endif

#include <malloc.h>
#include <stdio.h>

namespace korval {

// Calls Work(Arg) in the guard's frame, with Guard where korval_GuardFrameHandler
// finds it (below).
extern "C" void korval_GuardFrame(void (*Work)(void*), void* Arg, void* Guard);

namespace {

struct ThreadGuards;

struct Guard {
    PGUARD_FILTER Filter;
    DWORD Flags;
    void* Resume[5]; // __builtin_setjmp buffer: the guard's handler block
    DWORD TakenCode; // the code of the exception the guard took
    Guard* Outer;
    ThreadGuards* Thread;
};

// What one thread needs for its guards, made the first time it enters one
// and given back when it ends.
struct ThreadGuards {
    Guard* Innermost; // the active guards, innermost first
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

// Offers an exception to the filter of guard g, with the turn taken, and
// returns the verdict. With EXCEPTION_EXECUTE_HANDLER the guard is the one
// to land in, and the turn stays taken until its GuardCall has landed.
LONG Offer(ThreadGuards* T, Guard* g, EXCEPTION_POINTERS* ExceptionInfo) {
    LONG Verdict = g->Filter(ExceptionInfo);
    if (Verdict == EXCEPTION_EXECUTE_HANDLER) {
        g->TakenCode = ExceptionInfo->ExceptionRecord->ExceptionCode;
        T->Landing = g;
    }
    return Verdict;
}

// Runs on the guarded thread, on its own stack, with the turn taken: offers
// the deferred exception to the filters of the thread's guards, innermost
// first (Ctrl-C only to those that asked for it), with copies of its record
// and context. One that no guard takes ends the process with its code, as
// the system would have.
[[noreturn]] void DeliverDeferred() {
    ThreadGuards* T = CurrentThread();
    EXCEPTION_POINTERS Pointers = {&T->Deferred, &T->DeferredContext};
    bool CtrlC = T->Deferred.ExceptionCode == STATUS_CONTROL_C_EXIT;
    if (CtrlC) T->InterruptPending = false;
    for (Guard* g = T->Innermost; g != nullptr; g = g->Outer) {
        if (CtrlC && !(g->Flags & GUARD_CTRL_C)) continue;
        LONG Verdict = Offer(T, g, &Pointers);
        if (Verdict == EXCEPTION_EXECUTE_HANDLER) Land();
        if (Verdict == EXCEPTION_CONTINUE_EXECUTION) {
            Release(T);
            RtlRestoreContext(&T->DeferredContext, NULL);
        }
    }
    Release(T);
    ExitProcess(T->Deferred.ExceptionCode);
}

// The guard's frame. korval_GuardFrame keeps its Guard argument at EstablisherFrame
// + 32, EstablisherFrame being its stack pointer after the prologue: the 40
// bytes it allocates hold the home area of the routine it calls and that
// slot, and keep the stack aligned. The nop keeps the return address of the
// call off the epilogue, where an unwinder would take the frame for one
// being left.
asm(R"(
    .text
    .p2align 4
    .globl korval_GuardFrame
    .def korval_GuardFrame; .scl 2; .type 32; .endef
    .seh_proc korval_GuardFrame
    .seh_handler korval_GuardFrameHandler, @except
korval_GuardFrame:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    movq %r8, 32(%rsp)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
    addq $40, %rsp
    ret
    .seh_endproc
)");

const size_t kGuardSlot = 32; // where korval_GuardFrame keeps its Guard argument

// The handler of korval_GuardFrame's frame, called by the system's dispatch with
// the exception every frame further in has declined; in the dispatch phase
// it offers the exception to that guard's filter. A filter that takes it
// gets the faulting context pointed at Land.
__attribute__((used)) EXCEPTION_DISPOSITION
korval_GuardFrameHandler(EXCEPTION_RECORD*, void*, CONTEXT*,
                  DISPATCHER_CONTEXT*) __asm__("korval_GuardFrameHandler");

EXCEPTION_DISPOSITION korval_GuardFrameHandler(EXCEPTION_RECORD* Record, void* EstablisherFrame,
                                        CONTEXT* Context, DISPATCHER_CONTEXT*) {
    // Unwinding goes on past the guard, and success and informational codes
    // are not faults: a C++ throw, a debugger's message.
    if (IS_UNWINDING(Record->ExceptionFlags) || Record->ExceptionCode < 0x80000000u)
        return ExceptionContinueSearch;
    Guard* g = *reinterpret_cast<Guard**>(static_cast<char*>(EstablisherFrame) + kGuardSlot);
    ThreadGuards* T = g->Thread;
    // An exception raised in a filter, which holds the turn: not ours.
    if (!TryTake(T)) return ExceptionContinueSearch;
    EXCEPTION_POINTERS Pointers = {Record, Context};
    LONG Verdict = Offer(T, g, &Pointers);
    if (Verdict == EXCEPTION_EXECUTE_HANDLER) {
        // The work is abandoned, not resumed: the dispatch must not refuse
        // to go on in Land for an exception raised as noncontinuable.
        Record->ExceptionFlags &= ~EXCEPTION_NONCONTINUABLE;
        RunOnOwnStack(T, Context, Land);
        return ExceptionContinueExecution;
    }
    Release(T);
    return Verdict == EXCEPTION_CONTINUE_EXECUTION ? ExceptionContinueExecution
                                                   : ExceptionContinueSearch;
}

// Takes a stack overflow on a thread inside a guard before the dispatch
// looks for frame-based handlers, which it has too little stack left to
// reach. The thread goes on in DeliverDeferred, on its own stack.
LONG CALLBACK StackOverflow(EXCEPTION_POINTERS* ExceptionInfo) {
    if (ExceptionInfo->ExceptionRecord->ExceptionCode != EXCEPTION_STACK_OVERFLOW)
        return EXCEPTION_CONTINUE_SEARCH;
    // A thread without a guard, or an overflow in a filter: not ours.
    ThreadGuards* T = CurrentThread();
    if (T == nullptr || T->Innermost == nullptr || !TryTake(T)) return EXCEPTION_CONTINUE_SEARCH;
    T->Deferred = *ExceptionInfo->ExceptionRecord;
    T->Deferred.ExceptionRecord = NULL;
    T->DeferredContext = *ExceptionInfo->ContextRecord;
    RunOnOwnStack(T, ExceptionInfo->ContextRecord, DeliverDeferred);
    return EXCEPTION_CONTINUE_EXECUTION;
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

// The first thread's guard: the handler of stack overflows and the control
// handler.
BOOL CALLBACK SetUpProcess(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&CtrlCLock);
    FlsSlot = FlsAlloc([](void* Value) {
        ThreadGuards* T = static_cast<ThreadGuards*>(Value);
        if (T == nullptr) return;
        CloseHandle(T->hThread);
        VirtualFree(T, 0, MEM_RELEASE);
    });
    AddVectoredExceptionHandler(1, StackOverflow);
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    return TRUE;
}

ThreadGuards* SetUpThread() {
    InitOnceExecuteOnce(&SetUpOnce, SetUpProcess, nullptr, nullptr);
    ThreadGuards* T = CurrentThread();
    if (T != nullptr) return T;
    T = static_cast<ThreadGuards*>(
        VirtualAlloc(NULL, sizeof(ThreadGuards), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (T == nullptr) return nullptr;
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
    Guard g = {Filter, Flags, {}, 0, nullptr, T};
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
    korval_GuardFrame(Work, Arg, &g);
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

} // namespace korval
