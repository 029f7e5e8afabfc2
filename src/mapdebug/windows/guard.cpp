// windows/guard.cpp - the structured-exception guard on Windows:
// GuardCall, and what a filter may ask about the exception it is offered
// (ExceptionCallChain, PutStdoutInOrder).
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
// The same vectored handler is the last resort of a thread whose stack has
// been written over: before the dispatch starts, it walks the frames from
// the fault the way the dispatch will, and where that walk cannot reach the
// innermost guard's frame (a return address or saved register overwritten,
// a frame outside the stack), the dispatch would end the process without
// asking any guard; the handler then offers the exception to the guards as
// it does a stack overflow. An exception whose walk reaches the guard is
// left to the dispatch, so that frame-based handlers in between keep their
// turn. A stack pointer that is off the stack altogether cannot be helped:
// the system needs the stack to deliver the exception at all.
//
// abort() (and a failed assert, which calls it) raises SIGABRT in the C
// runtime, no exception: a handler of ours for it offers STATUS_FATAL_APP_EXIT,
// noncontinuable, to the guards of the thread, then ends the process with
// status 3, as abort would have.
//
// Ctrl-C is no exception for a console program on Windows: the system calls
// the console control handlers on a thread of their own. While a thread is
// inside a guard that asked for Ctrl-C, a control handler of ours stops that
// thread and, once it is in the program's own code (not inside the C
// runtime or the system, whose locks it may hold), resumes it the same way,
// to offer STATUS_CONTROL_C_EXIT to the filters with the context in which it
// was interrupted, as if it had been raised there. Each thread and the
// control handler take turns at that thread's guards by a flag of its own.
//
// The file is in two parts: the set-up, entering and leaving of guards,
// then the code that runs in the system's exception dispatch, the handlers
// and the filters they call.

#include "platform.h"
#include "callchain.h"
#include "guard.h"
#include "objects.h"

#if !defined(__GNUC__) || !defined(_M_X64) && !defined(__x86_64__)
// The guard's frame is x64 assembly, and it sets Rip and Rsp of a CONTEXT.
#error "the guard is written for MinGW-w64 GCC on x64"
#endif

#include <malloc.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>

namespace korval {

// Calls work(arg) in the guard's frame, with guard where korval_GuardFrameHandler
// finds it (below).
extern "C" void korval_GuardFrame(void (*work)(void*), void* arg, void* guard);

namespace {

struct ThreadGuards;

struct Guard {
    ULONG64 frame; // korval_GuardFrame's frame, as the dispatch names it; stored there
    PGUARD_FILTER filter;
    DWORD flags;
    void* resume[5]; // __builtin_setjmp buffer: the guard's handler block
    DWORD takenCode; // the code of the exception the guard took
    Guard* outer;
    ThreadGuards* thread;
};

// What one thread needs for its guards, made the first time it enters one
// and given back when it ends.
struct ThreadGuards {
    Guard* innermost; // the active guards, innermost first
    HANDLE hThread;

    // 1 while an exception is offered to the filters or a guard is entered
    // or left: the thread and the console control thread take turns by it.
    volatile LONG dispatching;

    Guard* landing; // the guard that took the exception

    // An exception offered to the filters after the system's dispatch has
    // ended: a stack overflow, whose dispatch leaves the filters too little
    // stack, and Ctrl-C, which the system does not raise at all.
    EXCEPTION_RECORD deferred;
    CONTEXT deferredContext;

    int ctrlCGuards;       // how many of the active guards take Ctrl-C
    bool interruptPending; // a Ctrl-C waits for a safe point

    // A stack apart from the faulting one, which may be exhausted: the
    // landing routine runs on it, and so do the filters for a deferred
    // exception.
    alignas(16) unsigned char ownStack[64 * 1024];
};

DWORD FlsSlot = FLS_OUT_OF_INDEXES;
INIT_ONCE SetUpOnce = INIT_ONCE_STATIC_INIT;

// The thread that Ctrl-C goes to: the one in a Ctrl-C guard. Guarded by
// CtrlCLock, which the control handler holds while it uses the thread.
CRITICAL_SECTION CtrlCLock;
ThreadGuards* CtrlCThread;

bool TryTake(ThreadGuards* t) {
    return InterlockedCompareExchange(&t->dispatching, 1, 0) == 0;
}

void Take(ThreadGuards* t) {
    while (!TryTake(t))
        Sleep(0);
}

void Release(ThreadGuards* t) {
    InterlockedExchange(&t->dispatching, 0);
}

ThreadGuards* CurrentThread() {
    return static_cast<ThreadGuards*>(FlsGetValue(FlsSlot));
}

LONG CALLBACK Vectored(EXCEPTION_POINTERS* exceptionInfo);
BOOL WINAPI ConsoleControl(DWORD dwCtrlType);
void OnAbort(int sig);
extern void (*PreviousAbort)(int);

// ---- Set-up, and entering and leaving guards.

// The first thread's guard: the vectored handler, the control handler and
// the handler of abort().
BOOL CALLBACK SetUpProcess(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&CtrlCLock);
    FlsSlot = FlsAlloc([](void* value) {
        ThreadGuards* t = static_cast<ThreadGuards*>(value);
        if (t == nullptr) return;
        CloseHandle(t->hThread);
        VirtualFree(t, 0, MEM_RELEASE);
    });
    AddVectoredExceptionHandler(1, Vectored);
    SetConsoleCtrlHandler(ConsoleControl, TRUE);
    PreviousAbort = signal(SIGABRT, OnAbort);
    return TRUE;
}

ThreadGuards* SetUpThread() {
    InitOnceExecuteOnce(&SetUpOnce, SetUpProcess, nullptr, nullptr);
    ThreadGuards* t = CurrentThread();
    if (t != nullptr) return t;
    t = static_cast<ThreadGuards*>(
        VirtualAlloc(NULL, sizeof(ThreadGuards), MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (t == nullptr) return nullptr;
    DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &t->hThread, 0,
                    FALSE, DUPLICATE_SAME_ACCESS);
    FlsSetValue(FlsSlot, t);
    PrepareCallChain();
    return t;
}

// Enters and leaves a guard with the turn taken; the thread is the one
// Ctrl-C goes to while it is in a Ctrl-C guard.
void Push(ThreadGuards* t, Guard* g) {
    if (g->flags & GUARD_CTRL_C) EnterCriticalSection(&CtrlCLock);
    Take(t);
    g->outer = t->innermost;
    t->innermost = g;
    if ((g->flags & GUARD_CTRL_C) && t->ctrlCGuards++ == 0) CtrlCThread = t;
    Release(t);
    if (g->flags & GUARD_CTRL_C) LeaveCriticalSection(&CtrlCLock);
}

// Leaves the guard; the turn is taken already when taken says so.
void Pop(ThreadGuards* t, Guard* g, bool taken) {
    if (taken) Release(t);
    if (g->flags & GUARD_CTRL_C) EnterCriticalSection(&CtrlCLock);
    Take(t);
    t->innermost = g->outer;
    if ((g->flags & GUARD_CTRL_C) && --t->ctrlCGuards == 0) {
        CtrlCThread = nullptr;
        t->interruptPending = false;
    }
    Release(t);
    if (g->flags & GUARD_CTRL_C) LeaveCriticalSection(&CtrlCLock);
}

// Leaves the guard however GuardCall is left, a C++ exception thrown through
// it included.
struct GuardScope {
    ThreadGuards* t;
    Guard* g;
    bool armed;
    ~GuardScope() {
        if (armed) Pop(t, g, false);
    }
};

} // namespace

BOOL GuardCall(void (*work)(void*), void* arg, PGUARD_FILTER filter, DWORD flags) {
    ThreadGuards* t = SetUpThread();
    if (t == nullptr) { // no memory for the guard: the work runs unguarded
        work(arg);
        return TRUE;
    }
    Guard g = {0, filter, flags, {}, 0, nullptr, t};
    Push(t, &g);
    GuardScope scope = {t, &g, true};
    if (__builtin_setjmp(g.resume) != 0) {
        // A filter took an exception, with the turn taken by the dispatch
        // that landed here. A stack overflow used up the guard page; put it
        // back for the next one.
        scope.armed = false;
        DWORD code = g.takenCode;
        Pop(t, &g, true);
        if (code == (DWORD)EXCEPTION_STACK_OVERFLOW) _resetstkoflw();
        return FALSE;
    }
    korval_GuardFrame(work, arg, &g);
    scope.armed = false;
    Pop(t, &g, false);
    return TRUE;
}

namespace {

// ---- SIGNAL CONTEXT: the code below runs in the system's exception
// dispatch and the handlers and filters it calls, on a thread stopped
// anywhere: no locks, no heap, no stdio.

[[noreturn]] void Land() {
    __builtin_longjmp(CurrentThread()->landing->resume, 1);
}

// Makes context go on in routine, on the thread's own stack.
void RunOnOwnStack(ThreadGuards* t, CONTEXT* context, void (*routine)()) {
    DWORD64 top = (DWORD64)(t->ownStack + sizeof t->ownStack) - 8;
    *(DWORD64*)top = 0; // Routine's return address: none
    context->Rsp = top;
    context->Rip = (DWORD64)routine;
}

// Offers an exception to the filter of guard g, with the turn taken, and
// returns the verdict. With EXCEPTION_EXECUTE_HANDLER the guard is the one
// to land in, and the turn stays taken until its GuardCall has landed.
LONG Offer(ThreadGuards* t, Guard* g, EXCEPTION_POINTERS* exceptionInfo) {
    LONG verdict = g->filter(exceptionInfo);
    if (verdict == EXCEPTION_EXECUTE_HANDLER) {
        g->takenCode = exceptionInfo->ExceptionRecord->ExceptionCode;
        t->landing = g;
    }
    return verdict;
}

// Runs on the guarded thread, on its own stack, with the turn taken: offers
// the deferred exception to the filters of the thread's guards, innermost
// first (Ctrl-C only to those that asked for it), with copies of its record
// and context. One that no guard takes ends the process with its code, as
// the system would have.
[[noreturn]] void DeliverDeferred() {
    ThreadGuards* t = CurrentThread();
    EXCEPTION_POINTERS pointers = {&t->deferred, &t->deferredContext};
    bool ctrlC = t->deferred.ExceptionCode == STATUS_CONTROL_C_EXIT;
    if (ctrlC) t->interruptPending = false;
    for (Guard* g = t->innermost; g != nullptr; g = g->outer) {
        if (ctrlC && !(g->flags & GUARD_CTRL_C)) continue;
        LONG verdict = Offer(t, g, &pointers);
        if (verdict == EXCEPTION_EXECUTE_HANDLER) Land();
        if (verdict == EXCEPTION_CONTINUE_EXECUTION) {
            Release(t);
            RtlRestoreContext(&t->deferredContext, NULL);
        }
    }
    Release(t);
    ExitProcess(t->deferred.ExceptionCode);
}

// The guard's frame. korval_GuardFrame keeps its guard argument at establisherFrame
// + 32, establisherFrame being its stack pointer after the prologue, which
// it also stores in the Guard's first member (frame): the 40
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
    movq %rsp, (%r8)
    movq %rcx, %rax
    movq %rdx, %rcx
    callq *%rax
    nop
    addq $40, %rsp
    ret
    .seh_endproc
)");

const size_t kGuardSlot = 32; // where korval_GuardFrame keeps its guard argument

// The handler of korval_GuardFrame's frame, called by the system's dispatch with
// the exception every frame further in has declined; in the dispatch phase
// it offers the exception to that guard's filter. A filter that takes it
// gets the faulting context pointed at Land.
__attribute__((used)) EXCEPTION_DISPOSITION
korval_GuardFrameHandler(EXCEPTION_RECORD*, void*, CONTEXT*,
                         DISPATCHER_CONTEXT*) __asm__("korval_GuardFrameHandler");

EXCEPTION_DISPOSITION korval_GuardFrameHandler(EXCEPTION_RECORD* record, void* establisherFrame,
                                               CONTEXT* context, DISPATCHER_CONTEXT*) {
    // Unwinding goes on past the guard, and success and informational codes
    // are not faults: a C++ throw, a debugger's message.
    if (IS_UNWINDING(record->ExceptionFlags) || record->ExceptionCode < 0x80000000u)
        return ExceptionContinueSearch;
    Guard* g = *reinterpret_cast<Guard**>(static_cast<char*>(establisherFrame) + kGuardSlot);
    ThreadGuards* t = g->thread;
    // An exception raised in a filter, which holds the turn: not ours.
    if (!TryTake(t)) return ExceptionContinueSearch;
    EXCEPTION_POINTERS pointers = {record, context};
    LONG verdict = Offer(t, g, &pointers);
    if (verdict == EXCEPTION_EXECUTE_HANDLER) {
        // The work is abandoned, not resumed: the dispatch must not refuse
        // to go on in Land for an exception raised as noncontinuable.
        record->ExceptionFlags &= ~EXCEPTION_NONCONTINUABLE;
        RunOnOwnStack(t, context, Land);
        return ExceptionContinueExecution;
    }
    Release(t);
    return verdict == EXCEPTION_CONTINUE_EXECUTION ? ExceptionContinueExecution
                                                   : ExceptionContinueSearch;
}

// Whether the system's dispatch, walking the frames from context, reaches
// the guard's frame, korval_GuardFrame's at frame. The walk stops where the
// dispatch would give up: a frame outside the part of the stack in use or
// misaligned, or one past the guard's. Every read lies between the stack
// pointer and the guard's frame, which are mapped.
bool ReachesGuard(const CONTEXT* context, ULONG64 frame) {
    // GCC 12 takes the gs-relative read of the TEB for an access to an
    // empty array.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Warray-bounds"
    NT_TIB* tib = reinterpret_cast<NT_TIB*>(NtCurrentTeb());
#pragma GCC diagnostic pop
    ULONG64 low = (ULONG64)tib->StackLimit;
    CONTEXT walk = *context;
    for (int depth = 0; depth < 4096; depth++) {
        if (walk.Rsp < low || walk.Rsp > frame || (walk.Rsp & 7) != 0) return false;
        ULONG64 imageBase = 0, establisher = 0;
        PVOID handlerData = nullptr;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(walk.Rip, &imageBase, nullptr);
        if (function == nullptr) { // a leaf, or no code at all: the return address is on top
            walk.Rip = *(ULONG64*)walk.Rsp;
            walk.Rsp += 8;
            continue;
        }
        RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, walk.Rip, function, &walk, &handlerData,
                         &establisher, nullptr);
        if (establisher == frame) return true;
        if (establisher < low || establisher > frame || (establisher & 7) != 0) return false;
    }
    return false;
}

// Called before the dispatch looks for frame-based handlers. Takes, on a
// thread inside a guard, a stack overflow, whose dispatch has too little
// stack left to reach them, and an exception whose dispatch would never
// reach the guard's frame (the stack written over). The thread goes on in
// DeliverDeferred, on its own stack. Unwinding, success and informational
// codes are left alone, as the guard's frame handler leaves them.
LONG CALLBACK Vectored(EXCEPTION_POINTERS* exceptionInfo) {
    const EXCEPTION_RECORD* record = exceptionInfo->ExceptionRecord;
    if (IS_UNWINDING(record->ExceptionFlags) || record->ExceptionCode < 0x80000000u)
        return EXCEPTION_CONTINUE_SEARCH;
    // A thread without a guard, or an exception in a filter: not ours.
    ThreadGuards* t = CurrentThread();
    if (t == nullptr || t->innermost == nullptr || !TryTake(t)) return EXCEPTION_CONTINUE_SEARCH;
    if (record->ExceptionCode != EXCEPTION_STACK_OVERFLOW &&
        ReachesGuard(exceptionInfo->ContextRecord, t->innermost->frame)) {
        Release(t);
        return EXCEPTION_CONTINUE_SEARCH;
    }
    t->deferred = *record;
    t->deferred.ExceptionRecord = NULL;
    t->deferredContext = *exceptionInfo->ContextRecord;
    RunOnOwnStack(t, exceptionInfo->ContextRecord, DeliverDeferred);
    return EXCEPTION_CONTINUE_EXECUTION;
}

// abort() in the C runtime, which resets SIGABRT to its default before it
// calls this. Inside a guard, STATUS_FATAL_APP_EXIT is offered to the
// filters, innermost first, at the caller of raise(), the C runtime's
// abort; whatever they say, the process then ends with status 3, as abort
// ends it. Elsewhere the signal takes the course it had before the guard.
void (*PreviousAbort)(int) = SIG_DFL;

void OnAbort(int sig) {
    ThreadGuards* t = CurrentThread();
    if (t != nullptr && t->innermost != nullptr && TryTake(t)) {
        CONTEXT context;
        RtlCaptureContext(&context);
        ULONG64 imageBase = 0, establisher = 0;
        PVOID handlerData = nullptr;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(context.Rip, &imageBase, nullptr);
        if (function != nullptr) // out of this handler, into raise()
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, context.Rip, function, &context,
                             &handlerData, &establisher, nullptr);
        EXCEPTION_RECORD record = EXCEPTION_RECORD();
        record.ExceptionCode = STATUS_FATAL_APP_EXIT;
        record.ExceptionFlags = EXCEPTION_NONCONTINUABLE;
        record.ExceptionAddress = (PVOID)context.Rip;
        EXCEPTION_POINTERS pointers = {&record, &context};
        for (Guard* g = t->innermost; g != nullptr; g = g->outer)
            if (g->filter(&pointers) != EXCEPTION_CONTINUE_SEARCH) break;
        _exit(3);
    }
    if (PreviousAbort == SIG_IGN) {
        signal(SIGABRT, OnAbort);
        return;
    }
    if (PreviousAbort != SIG_DFL && PreviousAbort != SIG_ERR) {
        PreviousAbort(sig);
        return;
    }
    _exit(3);
}

} // namespace

// What a filter may ask about the exception it is offered.

DWORD ExceptionCallChain(PEXCEPTION_POINTERS exceptionInfo, ULONG_PTR* returns, DWORD max) {
    ULONG_PTR low = 0, high = 0;
    if (exceptionInfo->ContextRecord == nullptr) return 0;
    GetCurrentThreadStackLimits(&low, &high);
    return CallChain(exceptionInfo->ContextRecord, low, high, returns, max);
}

// The C runtime has no way to try its stream's lock: _lock_file waits for
// another thread that holds it. That thread runs on while the dispatch does
// (a program of one thread never meets it), and gives the lock back once its
// call ends; writing to the handle instead would put the report ahead of
// what the stream still holds.
BOOL PutStdoutInOrder(const char* text) {
    fputs(text, stdout);
    return TRUE;
}

namespace {

// ---- Not signal context: the console control thread, which may wait; it
// runs apart from the guarded threads.

// Stops the thread and, where it is in the program's own code, has it
// resume in DeliverDeferred with STATUS_CONTROL_C_EXIT; the turn then
// passes to it. Returns whether it did.
bool Interrupt(ThreadGuards* t) {
    if (SuspendThread(t->hThread) == (DWORD)-1) return false;
    bool redirected = false;
    t->deferredContext.ContextFlags = CONTEXT_FULL;
    if (GetThreadContext(t->hThread, &t->deferredContext) &&
        IsProgramCode((ULONG_PTR)t->deferredContext.Rip)) {
        t->deferred = EXCEPTION_RECORD();
        t->deferred.ExceptionCode = STATUS_CONTROL_C_EXIT;
        t->deferred.ExceptionAddress = (PVOID)t->deferredContext.Rip;
        CONTEXT deliver = t->deferredContext;
        RunOnOwnStack(t, &deliver, DeliverDeferred);
        redirected = SetThreadContext(t->hThread, &deliver);
    }
    ResumeThread(t->hThread);
    return redirected;
}

// Console control handler, on a thread of the system's: Ctrl-C and
// Ctrl-Break while a thread is in a Ctrl-C guard are delivered to it at the
// first safe point, tried every millisecond. A second one before that, or
// one that the guarded work outlives, takes its default course.
BOOL WINAPI ConsoleControl(DWORD dwCtrlType) {
    if (dwCtrlType != CTRL_C_EVENT && dwCtrlType != CTRL_BREAK_EVENT) return FALSE;
    EnterCriticalSection(&CtrlCLock);
    ThreadGuards* t = CtrlCThread;
    bool ours = t != nullptr && !t->interruptPending;
    if (ours) t->interruptPending = true;
    LeaveCriticalSection(&CtrlCLock);
    if (!ours) return FALSE;
    for (;;) {
        EnterCriticalSection(&CtrlCLock);
        t = CtrlCThread;
        bool delivered = false;
        if (t != nullptr && TryTake(t)) {
            delivered = Interrupt(t);
            if (!delivered) Release(t);
        }
        LeaveCriticalSection(&CtrlCLock);
        if (t == nullptr) return FALSE;
        if (delivered) return TRUE;
        Sleep(1);
    }
}

} // namespace

} // namespace korval
