// unix/exceptions.cpp - the exception guard on POSIX: GuardRun and
// RaiseException.
//
// Win32 hands an exception to the filters of the active guards at the time
// of the fault, before anything is unwound, and a filter that takes it has
// the guarded work abandoned. Here a guard is a frame on the stack of the
// code that entered it (guards nest; the innermost is Current), and while a
// guard is active the signals that stand for exceptions have a handler of
// ours, running on an alternate signal stack so that a stack overflow is
// caught as well. The handler turns the signal into an EXCEPTION_RECORD, asks
// the filters, innermost first, and jumps back into the GuardRun of the guard
// that took it; sigsetjmp saved the signal mask there, and siglongjmp puts it
// back. RaiseException takes the same path without a signal.

#include "platform.h"

#include <errno.h>
#include <setjmp.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <ucontext.h>

namespace {

struct Guard {
    sigjmp_buf Env;
    PGUARD_FILTER Filter;
    Guard* Outer;
    uintptr_t EntrySp; // the stack pointer as the guard was entered
};

Guard* Current = nullptr;

// The signals that stand for exceptions, and what was there before a guard.
const int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGINT};
const int kNumSignals = sizeof kSignals / sizeof kSignals[0];
struct sigaction Saved[kNumSignals];
bool Installed[kNumSignals];
stack_t SavedStack;

// The handler's stack: the report is formatted on it.
alignas(16) char AltStack[1 << 17];

// How far below the stack pointer an overflowing function may reach first.
const uintptr_t kStackSlack = 1 << 16;

void OnSignal(int Signal, siginfo_t* Info, void* Context);

void Install() {
    struct sigaction Action;
    memset(&Action, 0, sizeof Action);
    Action.sa_sigaction = OnSignal;
    Action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&Action.sa_mask);
    for (int Signal : kSignals)
        sigaddset(&Action.sa_mask, Signal); // no second exception while the filter runs

    stack_t Stack;
    Stack.ss_sp = AltStack;
    Stack.ss_size = sizeof AltStack;
    Stack.ss_flags = 0;
    if (sigaltstack(&Stack, &SavedStack) != 0) SavedStack.ss_flags = SS_DISABLE;
    SavedStack.ss_flags &= SS_DISABLE;

    for (int i = 0; i < kNumSignals; i++) {
        Installed[i] = false;
        if (sigaction(kSignals[i], nullptr, &Saved[i]) != 0) continue;
        // A program started with Ctrl-C ignored (in the background) keeps it so.
        if (kSignals[i] == SIGINT && !(Saved[i].sa_flags & SA_SIGINFO) &&
            Saved[i].sa_handler == SIG_IGN)
            continue;
        Installed[i] = sigaction(kSignals[i], &Action, nullptr) == 0;
    }
}

void Restore(int i) {
    if (Installed[i]) sigaction(kSignals[i], &Saved[i], nullptr);
    Installed[i] = false;
}

void Uninstall() {
    for (int i = 0; i < kNumSignals; i++)
        Restore(i);
    sigaltstack(&SavedStack, nullptr);
}

enum Outcome { Taken, Resume, Unhandled };

// Asks the filters, innermost guard first. Taken: *Taker is the guard whose
// filter took it; Resume: a filter asked to continue where it happened.
Outcome Dispatch(EXCEPTION_POINTERS* Pointers, Guard** Taker) {
    for (Guard* g = Current; g != nullptr; g = g->Outer) {
        LONG Verdict = g->Filter(Pointers);
        if (Verdict > 0) {
            *Taker = g;
            return Taken;
        }
        if (Verdict < 0) return Resume;
    }
    return Unhandled;
}

uintptr_t ProgramCounter(const ucontext_t* Uc) {
#if defined(__linux__) && defined(__x86_64__)
    return (uintptr_t)Uc->uc_mcontext.gregs[REG_RIP];
#elif defined(__linux__) && defined(__i386__)
    return (uintptr_t)Uc->uc_mcontext.gregs[REG_EIP];
#elif defined(__linux__) && defined(__aarch64__)
    return (uintptr_t)Uc->uc_mcontext.pc;
#elif defined(__linux__) && defined(__arm__)
    return (uintptr_t)Uc->uc_mcontext.arm_pc;
#else
    (void)Uc;
    return 0;
#endif
}

uintptr_t StackPointer(const ucontext_t* Uc) {
#if defined(__linux__) && defined(__x86_64__)
    return (uintptr_t)Uc->uc_mcontext.gregs[REG_RSP];
#elif defined(__linux__) && defined(__i386__)
    return (uintptr_t)Uc->uc_mcontext.gregs[REG_ESP];
#elif defined(__linux__) && defined(__aarch64__)
    return (uintptr_t)Uc->uc_mcontext.sp;
#elif defined(__linux__) && defined(__arm__)
    return (uintptr_t)Uc->uc_mcontext.arm_sp;
#else
    (void)Uc;
    return 0;
#endif
}

// What an access violation tried: 0 read, 1 write, 8 execute (0 when the
// processor does not say).
ULONG_PTR AccessKind(const ucontext_t* Uc) {
#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
    const int kPageFault = 14;
    if (Uc->uc_mcontext.gregs[REG_TRAPNO] != kPageFault) return 0;
    greg_t Error = Uc->uc_mcontext.gregs[REG_ERR];
    if (Error & 0x10) return 8;
    if (Error & 0x02) return 1;
#else
    (void)Uc;
#endif
    return 0;
}

// A fault just below the stack pointer, or between it and where the guard
// was entered, is the stack running out.
bool IsStackOverflow(uintptr_t Addr, const ucontext_t* Uc) {
    uintptr_t Sp = StackPointer(Uc);
    return Current != nullptr && Sp != 0 && Addr < Current->EntrySp && Addr + kStackSlack >= Sp;
}

void SetParameters(EXCEPTION_RECORD* Record, ULONG_PTR P0, ULONG_PTR P1) {
    Record->NumberParameters = 2;
    Record->ExceptionInformation[0] = P0;
    Record->ExceptionInformation[1] = P1;
}

// The exception that a signal stands for.
void FillRecord(int Signal, const siginfo_t* Info, const ucontext_t* Uc, EXCEPTION_RECORD* Record) {
    uintptr_t Pc = ProgramCounter(Uc);
    // si_addr means something only when the kernel raised the signal.
    uintptr_t Addr = Info->si_code > 0 ? (uintptr_t)Info->si_addr : 0;
    DWORD Code = 0;
    switch (Signal) {
    case SIGSEGV:
        if (IsStackOverflow(Addr, Uc)) {
            Code = EXCEPTION_STACK_OVERFLOW;
            SetParameters(Record, 0, Addr);
        } else {
            Code = EXCEPTION_ACCESS_VIOLATION;
            SetParameters(Record, AccessKind(Uc), Addr);
        }
        break;
    case SIGBUS:
        if (Info->si_code == BUS_ADRALN) {
            Code = EXCEPTION_DATATYPE_MISALIGNMENT;
        } else { // a page of a mapped file that is no longer there
            Code = EXCEPTION_IN_PAGE_ERROR;
            SetParameters(Record, 0, Addr);
            Record->ExceptionInformation[2] = STATUS_DEVICE_DATA_ERROR;
            Record->NumberParameters = 3;
        }
        break;
    case SIGFPE:
        switch (Info->si_code) {
        case FPE_INTDIV:
            Code = EXCEPTION_INT_DIVIDE_BY_ZERO;
            break;
        case FPE_INTOVF:
            Code = EXCEPTION_INT_OVERFLOW;
            break;
        case FPE_FLTDIV:
            Code = EXCEPTION_FLT_DIVIDE_BY_ZERO;
            break;
        case FPE_FLTOVF:
            Code = EXCEPTION_FLT_OVERFLOW;
            break;
        case FPE_FLTUND:
            Code = EXCEPTION_FLT_UNDERFLOW;
            break;
        case FPE_FLTRES:
            Code = EXCEPTION_FLT_INEXACT_RESULT;
            break;
        case FPE_FLTSUB:
            Code = EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
            break;
        default:
            Code = EXCEPTION_FLT_INVALID_OPERATION;
            break; // FPE_FLTINV, or sent
        }
        break;
    case SIGILL:
        Code = Info->si_code == ILL_PRVOPC || Info->si_code == ILL_PRVREG
                   ? EXCEPTION_PRIV_INSTRUCTION
                   : EXCEPTION_ILLEGAL_INSTRUCTION;
        break;
    case SIGTRAP:
        if (Info->si_code == TRAP_TRACE) {
            Code = EXCEPTION_SINGLE_STEP;
            break;
        }
        Code = EXCEPTION_BREAKPOINT;
#if defined(__x86_64__) || defined(__i386__)
        // The processor stops after an int3; Win32 names the int3 itself.
        if ((Info->si_code == SI_KERNEL || Info->si_code == TRAP_BRKPT) && Pc != 0 &&
            *(const unsigned char*)(Pc - 1) == 0xCC)
            Pc--;
#endif
        break;
    default: // SIGINT: Ctrl-C, where the work was interrupted
        Code = STATUS_CONTROL_C_EXIT;
        break;
    }
    Record->ExceptionCode = Code;
    Record->ExceptionAddress = (PVOID)Pc;
}

void OnSignal(int Signal, siginfo_t* Info, void* Context) {
    int SavedErrno = errno;
    EXCEPTION_RECORD Record;
    memset(&Record, 0, sizeof Record);
    FillRecord(Signal, Info, (const ucontext_t*)Context, &Record);
    EXCEPTION_POINTERS Pointers = {&Record, Context};

    Guard* Taker = nullptr;
    Outcome Result = Current != nullptr ? Dispatch(&Pointers, &Taker) : Unhandled;
    if (Result == Taken) siglongjmp(Taker->Env, 1);
    if (Result == Unhandled) {
        // The default course: what was there before the guard gets the signal
        // again as soon as this handler returns and the signal is unblocked.
        for (int i = 0; i < kNumSignals; i++)
            if (kSignals[i] == Signal) Restore(i);
        raise(Signal);
    }
    errno = SavedErrno;
}

} // namespace

BOOL GuardRun(void (*Work)(void), PGUARD_FILTER Filter) {
    Guard Frame;
    Frame.Filter = Filter;
    Frame.Outer = Current;
    Frame.EntrySp = (uintptr_t)&Frame;
    if (sigsetjmp(Frame.Env, 1) != 0) {
        // A filter took an exception: the work, and any guard inside this
        // one, are gone; the signal mask is the one found on entry.
        Current = Frame.Outer;
        if (Current == nullptr) Uninstall();
        return FALSE;
    }
    if (Frame.Outer == nullptr) Install();
    Current = &Frame;
    Work();
    if (Frame.Outer == nullptr) Uninstall();
    Current = Frame.Outer;
    return TRUE;
}

__attribute__((noinline)) void RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags,
                                              DWORD nNumberOfArguments,
                                              const ULONG_PTR* lpArguments) {
    EXCEPTION_RECORD Record;
    memset(&Record, 0, sizeof Record);
    Record.ExceptionCode = dwExceptionCode;
    Record.ExceptionFlags = dwExceptionFlags;
    Record.ExceptionAddress = __builtin_return_address(0);
    if (lpArguments != nullptr) {
        Record.NumberParameters = nNumberOfArguments < EXCEPTION_MAXIMUM_PARAMETERS
                                      ? nNumberOfArguments
                                      : EXCEPTION_MAXIMUM_PARAMETERS;
        memcpy(Record.ExceptionInformation, lpArguments,
               Record.NumberParameters * sizeof(ULONG_PTR));
    }
    EXCEPTION_POINTERS Pointers = {&Record, nullptr};

    // The filters run with the guard's signals blocked, as in the handler.
    sigset_t Block, Old;
    sigemptyset(&Block);
    for (int Signal : kSignals)
        sigaddset(&Block, Signal);
    sigprocmask(SIG_BLOCK, &Block, &Old);
    Guard* Taker = nullptr;
    Outcome Result = Current != nullptr ? Dispatch(&Pointers, &Taker) : Unhandled;
    if (Result == Taken) siglongjmp(Taker->Env, 1);
    sigprocmask(SIG_SETMASK, &Old, nullptr);
    if (Result == Unhandled) abort();
}
