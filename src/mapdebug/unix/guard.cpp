// unix/guard.cpp - the exception guard on POSIX: GuardCall, GuardRun,
// RaiseException, and what a filter may ask about the exception it is
// offered (ExceptionCallChain, PutStdoutNoWait).
//
// Win32 hands an exception to the filters of the active guards at the time
// of the fault, before anything is unwound, and a filter that takes it has
// the guarded work abandoned. Here a guard is a frame on the stack of the
// code that entered it; each thread keeps its own chain of them, innermost
// first. The signals that stand for exceptions have a handler of ours from
// the first time any thread enters a guard, running on an alternate stack of
// the thread's own so that a stack overflow is caught as well. The handler
// turns the signal into an EXCEPTION_RECORD, asks the filters of the
// faulting thread's guards, innermost first, and jumps back into the
// GuardCall of the guard that took it. A signal that no guard of its thread
// takes goes on to the handler that was there before ours, run as the kernel
// would have run it, or to its default course. RaiseException takes the
// same path without a signal.
//
// Only a signal the kernel raised for an instruction of this thread is a
// fault of the work: one sent by kill, sigqueue or raise takes its own
// course. abort() is the exception: raised by the process itself inside a
// guard, it is reported as an exception that cannot be continued, and then
// the process ends as abort ends it.
//
// The fault signals are opened for the guarded work (a thread that blocked
// them would otherwise die of its first fault), and a guard that takes an
// exception restores the thread's signal mask, whatever the work or a
// handler inside it had blocked by then. The mask is read once per thread,
// as it enters its first guard: reading it as each guard is entered would
// cost a system call per guard, a hundred times what the guard costs else
// (1.8 us against 7 ns on the machine we measure on). So a thread that
// changes its mask after its first guard has the mask of then restored
// after a fault, and one that blocks the fault signals only then is not
// guarded; a mask set before the first guard (as servers and timer threads
// do) is kept exactly.
//
// A guard left by a longjmp out of its work stays on the chain. The next
// guard entered drops it, and so does the handler, when the fault lies on
// the same stack above the guard's frame or the frame no longer holds the
// guard.
//
// Ctrl-C is asynchronous: it can land while the thread is inside the C
// library, holding a lock of stdio's or half-way through updating a buffer.
// A filter that printed then could wait forever, and abandoning the work
// there would leave the stream broken. So Ctrl-C is offered to the filters
// only at a safe point, once the thread runs the program's own code: landing
// elsewhere, it is noted, and a timer of the thread's own ticks every
// millisecond until the thread is back. A second Ctrl-C in the meantime
// takes its default course.
//
// The file is in three parts: the set-up, the code that runs in the signal
// handler (and in the filters it calls), and the guard's own calls.

#include "platform.h"
#include "callchain.h"
#include "guard.h"
#include "objects.h"

#include <errno.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <mutex>

namespace korval {

// Calls Handler(Signal, Info, Context) with the stack pointer at Sp (16-byte
// aligned), and returns there. A handler from before ours that did not ask
// for the alternate stack runs on the stack it interrupted, as the kernel
// would have run it.
extern "C" void korval_CallOnStack(uintptr_t Sp, void (*Handler)(int, siginfo_t*, void*),
                                   int Signal, siginfo_t* Info, void* Context);

#if defined(__x86_64__)
asm(R"(
    .text
    .p2align 4
    .globl korval_CallOnStack
    .hidden korval_CallOnStack
    .type korval_CallOnStack, @function
korval_CallOnStack:
    .cfi_startproc
    pushq %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    movq %rsp, %rbp
    .cfi_def_cfa_register %rbp
    movq %rdi, %rsp
    movq %rsi, %rax
    movl %edx, %edi
    movq %rcx, %rsi
    movq %r8, %rdx
    callq *%rax
    movq %rbp, %rsp
    popq %rbp
    .cfi_def_cfa %rsp, 8
    ret
    .cfi_endproc
    .size korval_CallOnStack, .-korval_CallOnStack
)");
#elif defined(__aarch64__)
asm(R"(
    .text
    .p2align 2
    .globl korval_CallOnStack
    .hidden korval_CallOnStack
    .type korval_CallOnStack, %function
korval_CallOnStack:
    .cfi_startproc
    stp x29, x30, [sp, #-16]!
    .cfi_def_cfa_offset 16
    .cfi_offset x29, -16
    .cfi_offset x30, -8
    mov x29, sp
    .cfi_def_cfa_register x29
    mov sp, x0
    mov x16, x1
    mov w0, w2
    mov x1, x3
    mov x2, x4
    blr x16
    mov sp, x29
    ldp x29, x30, [sp], #16
    .cfi_def_cfa sp, 0
    ret
    .cfi_endproc
    .size korval_CallOnStack, .-korval_CallOnStack
)");
#else
#define KORVAL_NO_STACK_SWITCH 1
#endif

namespace {

struct Guard {
    sigjmp_buf Env;
    PGUARD_FILTER Filter;
    DWORD Flags;
    Guard* Outer;
    uintptr_t EntrySp; // the stack pointer as the guard was entered
    uintptr_t Seal;    // SealOf(this) while the frame holds the guard
};

// What one thread needs for its guards. Zero until the thread first enters
// a guard.
struct ThreadGuards {
    Guard* Innermost;
    bool Ready;
    bool Offering;          // the filters are being asked
    sigset_t Mask;          // the signal mask as the first guard was entered
    sigset_t FaultsBlocked; // the fault signals blocked in it
    bool AnyFaultsBlocked;
    uintptr_t StackLow, StackHigh; // the thread's stack
    void* AltStack;                // the alternate stack we gave the thread, if any
    bool TimerReady;
    timer_t Timer; // brings a pending Ctrl-C back at a safe point
    bool InterruptPending;
    uintptr_t InterruptPc;     // where the pending Ctrl-C landed
    const void* RaisedContext; // the context of a raised exception being offered
};

// Initial-exec TLS, so that the signal handler reaches it without the
// dynamic loader, which could allocate.
thread_local ThreadGuards This __attribute__((tls_model("initial-exec")));

// The signals that stand for exceptions, and those that Ctrl-C guards add.
const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT};
const int kCtrlCSignals[] = {SIGINT, SIGALRM};

// What each signal had before our handler; written before our handler for
// it is installed, and by the handler when a handler from before asked to
// be reset after its first signal (SA_RESETHAND).
struct sigaction Previous[NSIG];

// The fault signals, which every guard opens for its work.
sigset_t FaultSet;

std::once_flag FaultHandlersOnce, CtrlCHandlersOnce;
pthread_key_t ThreadExitKey;

const size_t kAltStackSize = 64 * 1024;

// How far below the stack pointer an overflowing function may reach first.
const uintptr_t kStackSlack = 1 << 16;

// The timer's mark on the signals it sends, to tell them from others.
int TimerCookie;

// What a guard's frame holds while the guard is there: its own address,
// mixed so that a stale copy of another guard does not match.
uintptr_t SealOf(const Guard* g) {
    return (uintptr_t)g ^ (uintptr_t)0x5A17C0DE9E3779B9ull;
}

void OnSignal(int Signal, siginfo_t* Info, void* Context);

// ---- Set-up: the handlers, and what each thread needs the first time it
// enters a guard.

// Adds the signals of the guard to Set: while a filter runs they stay
// blocked, so that no second exception comes in.
void AddGuardSignals(sigset_t* Set) {
    for (int Signal : kFaultSignals)
        sigaddset(Set, Signal);
    for (int Signal : kCtrlCSignals)
        sigaddset(Set, Signal);
}

void InstallHandler(int Signal) {
    struct sigaction Action;
    memset(&Action, 0, sizeof Action);
    Action.sa_sigaction = OnSignal;
    // SA_RESTART: a Ctrl-C put off, or a tick of the timer, must not make
    // the call it interrupted fail.
    Action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&Action.sa_mask);
    AddGuardSignals(&Action.sa_mask);
    if (sigaction(Signal, nullptr, &Previous[Signal]) != 0) return;
    // A program started with Ctrl-C ignored (in the background) keeps it so.
    if (Signal == SIGINT && Previous[Signal].sa_handler == SIG_IGN) return;
    sigaction(Signal, &Action, nullptr);
}

// A thread that ends gives back its alternate stack and its timer.
void ThreadEnds(void* Value) {
    ThreadGuards* T = static_cast<ThreadGuards*>(Value);
    if (T->AltStack != nullptr) {
        stack_t Current;
        if (sigaltstack(nullptr, &Current) == 0 && Current.ss_sp == T->AltStack) {
            stack_t Off;
            memset(&Off, 0, sizeof Off);
            Off.ss_flags = SS_DISABLE;
            sigaltstack(&Off, nullptr);
        }
        munmap((char*)T->AltStack - getpagesize(), kAltStackSize + getpagesize());
        T->AltStack = nullptr;
    }
    if (T->TimerReady) timer_delete(T->Timer);
    T->TimerReady = false;
}

void InstallFaultHandlers() {
    pthread_key_create(&ThreadExitKey, ThreadEnds);
    sigemptyset(&FaultSet);
    for (int Signal : kFaultSignals)
        if (Signal != SIGABRT) sigaddset(&FaultSet, Signal);
    for (int Signal : kFaultSignals)
        InstallHandler(Signal);
}

// The first guard of a thread: its stack's bounds, an alternate stack
// unless it has one large enough, the unwind tables for call chains.
void SetUpThread(ThreadGuards& T) {
    std::call_once(FaultHandlersOnce, InstallFaultHandlers);
    pthread_attr_t Attr;
    void* Base = nullptr;
    size_t Size = 0;
    if (pthread_getattr_np(pthread_self(), &Attr) == 0) {
        pthread_attr_getstack(&Attr, &Base, &Size);
        pthread_attr_destroy(&Attr);
    }
    T.StackLow = (uintptr_t)Base;
    T.StackHigh = (uintptr_t)Base + Size;

    stack_t Old;
    if (sigaltstack(nullptr, &Old) != 0 || (Old.ss_flags & SS_DISABLE) ||
        Old.ss_size < kAltStackSize) {
        // A page below it stays inaccessible: an overflow of the handler's
        // own stack then faults instead of running into other memory.
        size_t Page = (size_t)getpagesize();
        void* Block = mmap(nullptr, kAltStackSize + Page, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (Block != MAP_FAILED) {
            mprotect(Block, Page, PROT_NONE);
            stack_t Stack;
            Stack.ss_sp = (char*)Block + Page;
            Stack.ss_size = kAltStackSize;
            Stack.ss_flags = 0;
            if (sigaltstack(&Stack, nullptr) == 0)
                T.AltStack = Stack.ss_sp;
            else
                munmap(Block, kAltStackSize + Page);
        }
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &T.Mask);
    sigandset(&T.FaultsBlocked, &T.Mask, &FaultSet);
    T.AnyFaultsBlocked = !sigisemptyset(&T.FaultsBlocked);
    pthread_setspecific(ThreadExitKey, &T);
    PrepareCallChain();
    PrepareProgramCode(); // notes the program's code now, outside any handler
    T.Ready = true;
}

void InstallCtrlCHandlers() {
    for (int Signal : kCtrlCSignals)
        InstallHandler(Signal);
}

// The first Ctrl-C guard of a thread: its timer, which sends SIGALRM to
// this thread alone.
void SetUpCtrlC(ThreadGuards& T) {
    std::call_once(CtrlCHandlersOnce, InstallCtrlCHandlers);
    struct sigevent Event;
    memset(&Event, 0, sizeof Event);
    Event.sigev_notify = SIGEV_THREAD_ID;
    Event.sigev_signo = SIGALRM;
    Event.sigev_value.sival_ptr = &TimerCookie;
    Event._sigev_un._tid = (pid_t)syscall(SYS_gettid); // sigev_notify_thread_id, in newer headers
    T.TimerReady = timer_create(CLOCK_MONOTONIC, &Event, &T.Timer) == 0;
}

// ---- SIGNAL CONTEXT: everything below up to the guard's own calls runs in
// the signal handler or in the filters it calls, with the faulting work
// stopped anywhere: no locks, no heap, no stdio (PutStdoutNoWait, further
// down, says why it may).

// Arms the thread's timer to tick every Nanoseconds, or stops it with 0
// (timer_settime is async-signal-safe).
void SetTimer(ThreadGuards& T, long Nanoseconds) {
    if (!T.TimerReady) return;
    struct itimerspec Period;
    memset(&Period, 0, sizeof Period);
    Period.it_value.tv_nsec = Nanoseconds;
    Period.it_interval.tv_nsec = Nanoseconds;
    timer_settime(T.Timer, 0, &Period, nullptr);
}

// Where the interrupted code was: its program counter and stack pointer.
struct Registers {
    uintptr_t Pc, Sp;
};

Registers RegistersOf(const ucontext_t* Uc) {
#if defined(__linux__) && defined(__x86_64__)
    return {(uintptr_t)Uc->uc_mcontext.gregs[REG_RIP], (uintptr_t)Uc->uc_mcontext.gregs[REG_RSP]};
#elif defined(__linux__) && defined(__i386__)
    return {(uintptr_t)Uc->uc_mcontext.gregs[REG_EIP], (uintptr_t)Uc->uc_mcontext.gregs[REG_ESP]};
#elif defined(__linux__) && defined(__aarch64__)
    return {(uintptr_t)Uc->uc_mcontext.pc, (uintptr_t)Uc->uc_mcontext.sp};
#elif defined(__linux__) && defined(__arm__)
    return {(uintptr_t)Uc->uc_mcontext.arm_pc, (uintptr_t)Uc->uc_mcontext.arm_sp};
#else
#error "the guard needs the program counter and stack pointer of this system's ucontext_t"
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

bool OnThreadStack(const ThreadGuards& T, uintptr_t Sp) {
    return Sp >= T.StackLow && Sp < T.StackHigh;
}

// Whether guard g is still in force for code running at stack pointer Sp.
// A guard left by a longjmp lies below code that runs on the same stack
// again, or its frame has been written over since. Stacks other than the
// thread's own (fibers, the alternate stack) cannot be compared.
bool IsLive(const ThreadGuards& T, const Guard* g, uintptr_t Sp) {
    if (OnThreadStack(T, g->EntrySp) && OnThreadStack(T, Sp) && Sp > g->EntrySp) return false;
    return g->Seal == SealOf(g);
}

// Drops the guards left by a longjmp from the inside of the thread's chain.
void DropDeadGuards(ThreadGuards& T, uintptr_t Sp) {
    while (T.Innermost != nullptr && !IsLive(T, T.Innermost, Sp))
        T.Innermost = T.Innermost->Outer;
}

// A fault just below the stack pointer, or between it and where the guard
// was entered, is the stack running out.
bool IsStackOverflow(const ThreadGuards& T, uintptr_t Addr, uintptr_t Sp) {
    return Sp != 0 && Addr < T.Innermost->EntrySp && Addr + kStackSlack >= Sp;
}

void SetParameters(EXCEPTION_RECORD* Record, ULONG_PTR P0, ULONG_PTR P1) {
    Record->NumberParameters = 2;
    Record->ExceptionInformation[0] = P0;
    Record->ExceptionInformation[1] = P1;
}

// The exception of a floating-point or integer arithmetic signal's code.
DWORD FloatingCode(int Code) {
    static const struct {
        int Signal;
        DWORD Exception;
    } kCodes[] = {
        {FPE_INTDIV, EXCEPTION_INT_DIVIDE_BY_ZERO},    {FPE_INTOVF, EXCEPTION_INT_OVERFLOW},
        {FPE_FLTDIV, EXCEPTION_FLT_DIVIDE_BY_ZERO},    {FPE_FLTOVF, EXCEPTION_FLT_OVERFLOW},
        {FPE_FLTUND, EXCEPTION_FLT_UNDERFLOW},         {FPE_FLTRES, EXCEPTION_FLT_INEXACT_RESULT},
        {FPE_FLTSUB, EXCEPTION_ARRAY_BOUNDS_EXCEEDED},
    };
    for (const auto& Known : kCodes)
        if (Known.Signal == Code) return Known.Exception;
    return EXCEPTION_FLT_INVALID_OPERATION; // FPE_FLTINV
}

// The exception that a signal stands for.
void FillRecord(const ThreadGuards& T, int Signal, const siginfo_t* Info, const ucontext_t* Uc,
                EXCEPTION_RECORD* Record) {
    Registers Regs = RegistersOf(Uc);
    uintptr_t Pc = Regs.Pc;
    // si_addr means something only when the kernel raised the signal.
    uintptr_t Addr = Info->si_code > 0 ? (uintptr_t)Info->si_addr : 0;
    DWORD Code = 0;
    switch (Signal) {
    case SIGSEGV:
        if (IsStackOverflow(T, Addr, Regs.Sp)) {
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
        Code = FloatingCode(Info->si_code);
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
    case SIGABRT: // abort(): the work asked the process to end
        Code = STATUS_FATAL_APP_EXIT;
        Record->ExceptionFlags = EXCEPTION_NONCONTINUABLE;
        break;
    default: // SIGINT: Ctrl-C, where the work now is
        Code = STATUS_CONTROL_C_EXIT;
        break;
    }
    Record->ExceptionCode = Code;
    Record->ExceptionAddress = (PVOID)Pc;
}

enum Outcome { Taken, Resume, Unhandled };

// Asks the filters of the thread's guards, innermost first; Ctrl-C only
// those of guards that asked for it. Taken: *Taker is the guard whose filter
// took it; Resume: a filter asked to continue where it happened.
Outcome Dispatch(ThreadGuards& T, EXCEPTION_POINTERS* Pointers, bool CtrlC, Guard** Taker) {
    Outcome Result = Unhandled;
    T.Offering = true;
    for (Guard* g = T.Innermost; g != nullptr; g = g->Outer) {
        if (CtrlC && !(g->Flags & GUARD_CTRL_C)) continue;
        LONG Verdict = g->Filter(Pointers);
        if (Verdict > 0) {
            *Taker = g;
            Result = Taken;
            break;
        }
        if (Verdict < 0) {
            Result = Resume;
            break;
        }
    }
    T.Offering = false;
    return Result;
}

bool HasCtrlCGuard(const ThreadGuards& T) {
    for (Guard* g = T.Innermost; g != nullptr; g = g->Outer)
        if (g->Flags & GUARD_CTRL_C) return true;
    return false;
}

// The course the signal would have had without us: the handler that was
// there before ours, run as the kernel would have run it, or the
// disposition it had. A default one is put back and the signal raised
// again: it is delivered once this handler returns, and a fault the
// processor raised would recur there anyway.
void PassOn(int Signal, siginfo_t* Info, void* Context) {
    struct sigaction& Before = Previous[Signal];
    // The handler and the flags are read apart from each other: a reset
    // leaves SIG_DFL in either member of the union.
    void (*Plain)(int) = Before.sa_handler;
    bool Fault = Signal != SIGINT && Signal != SIGALRM;
    // An ignored fault cannot be skipped: it would recur for ever.
    if (Plain == SIG_IGN && !Fault) return;
    if (Plain == SIG_DFL || Plain == SIG_IGN) {
        struct sigaction Default;
        memset(&Default, 0, sizeof Default);
        Default.sa_handler = SIG_DFL;
        sigaction(Signal, &Default, nullptr);
        raise(Signal);
        return;
    }
    int Flags = Before.sa_flags;
    void (*Handler)(int, siginfo_t*, void*) = Before.sa_sigaction;
    ucontext_t* Uc = static_cast<ucontext_t*>(Context);
    // The mask the kernel would have given it: the interrupted code's, its
    // own, and the signal unless it asked otherwise. A handler that leaves
    // by longjmp keeps it, as it would have.
    sigset_t Mask = Uc != nullptr ? Uc->uc_sigmask : sigset_t();
    if (Uc == nullptr) pthread_sigmask(SIG_SETMASK, nullptr, &Mask);
    sigorset(&Mask, &Mask, &Before.sa_mask);
    if (!(Flags & SA_NODEFER)) sigaddset(&Mask, Signal);
    if (Flags & SA_RESETHAND) {
        Before.sa_flags = 0;
        Before.sa_handler = SIG_DFL;
    }
    sigset_t Ours;
    pthread_sigmask(SIG_SETMASK, &Mask, &Ours);
#ifndef KORVAL_NO_STACK_SWITCH
    // Without SA_ONSTACK it runs on the stack that was interrupted, below
    // what the interrupted code may still use; a stack overflow leaves no
    // room there, and the kernel would have ended the process.
    stack_t Alt;
    uintptr_t Sp = Uc != nullptr ? RegistersOf(Uc).Sp : 0;
    if (!(Flags & SA_ONSTACK) && Sp != 0 && sigaltstack(nullptr, &Alt) == 0 &&
        !(Sp >= (uintptr_t)Alt.ss_sp && Sp < (uintptr_t)Alt.ss_sp + Alt.ss_size)) {
        uintptr_t Addr = Info->si_code > 0 ? (uintptr_t)Info->si_addr : 0;
        if (Signal == SIGSEGV && Addr < Sp + 4096 && Addr + kStackSlack >= Sp) {
            Before.sa_flags = 0;
            Before.sa_handler = SIG_DFL;
            pthread_sigmask(SIG_SETMASK, &Ours, nullptr);
            PassOn(Signal, Info, Context);
            return;
        }
        const uintptr_t kRedZone = 128; // of the x86-64 ABI; aarch64 has none
        // The kernel, too, passes the three arguments to either kind.
        korval_CallOnStack((Sp - kRedZone - 64) & ~(uintptr_t)15, Handler, Signal, Info, Context);
        pthread_sigmask(SIG_SETMASK, &Ours, nullptr);
        return;
    }
#endif
    if (Flags & SA_SIGINFO)
        Handler(Signal, Info, Context);
    else
        Plain(Signal);
    pthread_sigmask(SIG_SETMASK, &Ours, nullptr);
}

// Offers the exception a signal stands for to the filters, then goes where
// their verdict says. abort() goes its own way whatever they say: the
// process asked to end.
void Deliver(ThreadGuards& T, int Signal, siginfo_t* Info, ucontext_t* Uc) {
    EXCEPTION_RECORD Record;
    memset(&Record, 0, sizeof Record);
    FillRecord(T, Signal, Info, Uc, &Record);
    EXCEPTION_POINTERS Pointers = {&Record, Uc};
    Guard* Taker = nullptr;
    Outcome Result = Dispatch(T, &Pointers, Signal == SIGINT, &Taker);
    if (Signal == SIGABRT) Result = Unhandled;
    switch (Result) {
    case Taken:
        siglongjmp(Taker->Env, 1);
    case Resume:
        return;
    case Unhandled:
        PassOn(Signal, Info, Uc);
        return;
    }
}

// Forgets a Ctrl-C put off, and stops the timer that would bring it back.
void CancelPendingInterrupt(ThreadGuards& T) {
    SetTimer(T, 0);
    T.InterruptPending = false;
}

// What the system tells of a Ctrl-C, for one delivered later than it came.
siginfo_t CtrlCInfo() {
    siginfo_t Info;
    memset(&Info, 0, sizeof Info);
    Info.si_signo = SIGINT;
    Info.si_code = SI_USER;
    return Info;
}

// A tick of the thread's timer while a Ctrl-C is pending: delivered once the
// thread is back in the program's own code.
void OnTick(ThreadGuards& T, ucontext_t* Uc) {
    if (!IsProgramCode(RegistersOf(Uc).Pc)) return;
    CancelPendingInterrupt(T);
    siginfo_t Info = CtrlCInfo();
    Deliver(T, SIGINT, &Info, Uc);
}

// Whether a fault signal is for the guards: raised by the kernel for an
// instruction of this thread, or, for SIGABRT, by this process's abort().
bool IsGuardsFault(int Signal, const siginfo_t* Info) {
    if (Signal == SIGABRT) return Info->si_code == SI_TKILL && Info->si_pid == getpid();
    return Info->si_code > 0;
}

void OnSignal(int Signal, siginfo_t* Info, void* Context) {
    int SavedErrno = errno;
    ThreadGuards& T = This;
    ucontext_t* Uc = static_cast<ucontext_t*>(Context);
    Registers Regs = RegistersOf(Uc);
    DropDeadGuards(T, Regs.Sp);
    if (Signal == SIGALRM) {
        if (Info->si_code == SI_TIMER && Info->si_value.sival_ptr == &TimerCookie) {
            if (T.InterruptPending) OnTick(T, Uc);
        } else {
            PassOn(Signal, Info, Context);
        }
    } else if (T.Innermost == nullptr || T.Offering) {
        PassOn(Signal, Info, Context);
    } else if (Signal != SIGINT) {
        if (IsGuardsFault(Signal, Info))
            Deliver(T, Signal, Info, Uc);
        else
            PassOn(Signal, Info, Context);
    } else if (!HasCtrlCGuard(T) || T.InterruptPending) {
        PassOn(Signal, Info, Context); // not asked for, or the user insists
    } else if (!IsProgramCode(Regs.Pc)) {
        T.InterruptPending = true;
        T.InterruptPc = Regs.Pc;
        SetTimer(T, 1000000);
    } else {
        Deliver(T, Signal, Info, Uc);
    }
    errno = SavedErrno;
}

// Offers a software exception to the filters with the guard's signals
// blocked, as in the handler, and a context of the caller's for the call
// chain. Returns whether a filter asked to continue; jumps when one took it.
bool DispatchRaised(ThreadGuards& T, EXCEPTION_RECORD* Record, bool CtrlC) {
    ucontext_t Here;
    getcontext(&Here);
    EXCEPTION_POINTERS Pointers = {Record, &Here};
    sigset_t Block, Old;
    sigemptyset(&Block);
    AddGuardSignals(&Block);
    pthread_sigmask(SIG_BLOCK, &Block, &Old);
    Guard* Taker = nullptr;
    const void* OuterRaised = T.RaisedContext; // a filter may raise one too
    T.RaisedContext = &Here;
    Outcome Result = Dispatch(T, &Pointers, CtrlC, &Taker);
    T.RaisedContext = OuterRaised;
    if (Result == Taken) siglongjmp(Taker->Env, 1);
    pthread_sigmask(SIG_SETMASK, &Old, nullptr);
    return Result == Resume;
}

// A Ctrl-C still pending when the guarded work returned: the work was
// interrupted all the same, so it is offered now, at the address where it
// landed; no guard taking it, it takes its default course.
void DeliverPendingInterrupt(ThreadGuards& T) {
    CancelPendingInterrupt(T);
    EXCEPTION_RECORD Record;
    memset(&Record, 0, sizeof Record);
    Record.ExceptionCode = STATUS_CONTROL_C_EXIT;
    Record.ExceptionAddress = (PVOID)T.InterruptPc;
    if (DispatchRaised(T, &Record, true)) return;
    siginfo_t Info = CtrlCInfo();
    PassOn(SIGINT, &Info, nullptr);
}

// Takes the guard off its thread's chain however GuardCall is left, a C++
// exception thrown through it included; the outermost guard blocks again
// the fault signals that the thread had blocked.
struct GuardScope {
    ThreadGuards& T;
    Guard& Frame;
    bool Reblock;
    ~GuardScope() {
        T.Innermost = Frame.Outer;
        Frame.Seal = 0;
        if (Reblock) pthread_sigmask(SIG_BLOCK, &T.FaultsBlocked, nullptr);
    }
};

} // namespace

// ---- The guard's own calls, on the thread that runs the work.

BOOL GuardCall(void (*Work)(void*), void* Arg, PGUARD_FILTER Filter, DWORD Flags) {
    ThreadGuards& T = This;
    if (!T.Ready) SetUpThread(T);
    Guard Frame;
    Frame.Filter = Filter;
    Frame.Flags = Flags;
    Frame.EntrySp = (uintptr_t)__builtin_frame_address(0);
    DropDeadGuards(T, Frame.EntrySp);
    Frame.Outer = T.Innermost;
    Frame.Seal = SealOf(&Frame);
    bool Reblock = T.AnyFaultsBlocked && Frame.Outer == nullptr;
    if (Reblock) pthread_sigmask(SIG_UNBLOCK, &FaultSet, nullptr);
    // A Ctrl-C that comes while the first Ctrl-C guard of the thread is set
    // up waits until the guard is in force: once the handler is there, the
    // guard takes it.
    bool Holding = (Flags & GUARD_CTRL_C) && !T.TimerReady;
    if (Holding) {
        sigset_t CtrlC;
        sigemptyset(&CtrlC);
        sigaddset(&CtrlC, SIGINT);
        pthread_sigmask(SIG_BLOCK, &CtrlC, nullptr);
        SetUpCtrlC(T);
    }
    GuardScope Scope{T, Frame, Reblock};
    if (sigsetjmp(Frame.Env, 0) != 0) {
        // A filter took an exception: the work, and any guard inside this
        // one, are gone (the jump skipped their scopes; this one resets the
        // chain). A Ctrl-C still pending interrupted that work too.
        if (Flags & GUARD_CTRL_C) CancelPendingInterrupt(T);
        Scope.Reblock = false;
        pthread_sigmask(SIG_SETMASK, &T.Mask, nullptr);
        return FALSE;
    }
    T.Innermost = &Frame;
    if (Holding && !sigismember(&T.Mask, SIGINT)) {
        sigset_t CtrlC;
        sigemptyset(&CtrlC);
        sigaddset(&CtrlC, SIGINT);
        pthread_sigmask(SIG_UNBLOCK, &CtrlC, nullptr);
    }
    Work(Arg);
    if (T.InterruptPending && HasCtrlCGuard(T)) DeliverPendingInterrupt(T);
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
    ThreadGuards& T = This;
    DropDeadGuards(T, (uintptr_t)__builtin_frame_address(0));
    if (T.Innermost != nullptr && !T.Offering && DispatchRaised(T, &Record, false)) return;
    abort();
}

// ---- SIGNAL CONTEXT: what a filter may ask about the exception it is
// offered.

DWORD ExceptionCallChain(PEXCEPTION_POINTERS ExceptionInfo, ULONG_PTR* Returns, DWORD Max) {
    const ThreadGuards& T = This;
    if (ExceptionInfo->ContextRecord == nullptr || !T.Ready) return 0;
    // Work on a stack other than the thread's (a makecontext fiber) is
    // walked on that stack, from the fault up to the innermost guard's entry
    // and the two words above it, its caller's frame record.
    ULONG_PTR Low = T.StackLow, High = T.StackHigh;
    uintptr_t Sp = RegistersOf((const ucontext_t*)ExceptionInfo->ContextRecord).Sp;
    if ((Sp < Low || Sp >= High) && T.Innermost != nullptr) {
        Low = Sp;
        High = T.Innermost->EntrySp + 2 * sizeof(uintptr_t);
    }
    DWORD Count = CallChain(ExceptionInfo->ContextRecord, Low, High, Returns, Max);
    if (ExceptionInfo->ContextRecord != T.RaisedContext) return Count;
    // A raised exception's context is taken inside the layer: its chain
    // starts with the frames of the layer and the one the exception names,
    // which are left out.
    ULONG_PTR At = (ULONG_PTR)ExceptionInfo->ExceptionRecord->ExceptionAddress;
    for (DWORD i = 0; i < Count; i++) {
        if (Returns[i] != At) continue;
        memmove(Returns, Returns + i + 1, (Count - i - 1) * sizeof *Returns);
        return Count - i - 1;
    }
    return Count;
}

// The one use of stdio in a handler, and safe as its contract says: the
// stream's lock is only tried, and the filter calls it only when the fault
// is in the program's own code, so this thread is not half-way through a
// call of the stream's either.
BOOL PutStdoutNoWait(const char* Text) {
    if (ftrylockfile(stdout) != 0) return FALSE;
    fputs(Text, stdout);
    funlockfile(stdout);
    return TRUE;
}

} // namespace korval
