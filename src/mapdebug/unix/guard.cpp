// unix/guard.cpp - the exception guard on POSIX: GuardCall, GuardRun,
// RaiseException, and what a filter may ask about the exception it is
// offered (ExceptionCallChain, PutStdoutInOrder).
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

// Calls handler(signal, info, context) with the stack pointer at sp (16-byte
// aligned), and returns there. A handler from before ours that did not ask
// for the alternate stack runs on the stack it interrupted, as the kernel
// would have run it.
extern "C" void korval_CallOnStack(uintptr_t sp, void (*handler)(int, siginfo_t*, void*),
                                   int signal, siginfo_t* info, void* context);

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
    sigjmp_buf env;
    PGUARD_FILTER filter;
    DWORD flags;
    Guard* outer;
    uintptr_t entrySp; // the stack pointer as the guard was entered
    uintptr_t seal;    // SealOf(this) while the frame holds the guard
};

// What one thread needs for its guards. Zero until the thread first enters
// a guard.
struct ThreadGuards {
    Guard* innermost;
    bool ready;
    bool offering;          // the filters are being asked
    sigset_t mask;          // the signal mask as the first guard was entered
    sigset_t faultsBlocked; // the fault signals blocked in it
    bool anyFaultsBlocked;
    uintptr_t stackLow, stackHigh; // the thread's stack
    void* altStack;                // the alternate stack we gave the thread, if any
    bool timerReady;
    timer_t timer; // brings a pending Ctrl-C back at a safe point
    bool interruptPending;
    uintptr_t interruptPc;     // where the pending Ctrl-C landed
    const void* raisedContext; // the context of a raised exception being offered
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

void OnSignal(int signal, siginfo_t* info, void* context);

// ---- set-up: the handlers, and what each thread needs the first time it
// enters a guard.

// Adds the signals of the guard to set: while a filter runs they stay
// blocked, so that no second exception comes in.
void AddGuardSignals(sigset_t* set) {
    for (int signal : kFaultSignals)
        sigaddset(set, signal);
    for (int signal : kCtrlCSignals)
        sigaddset(set, signal);
}

void InstallHandler(int signal) {
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnSignal;
    // SA_RESTART: a Ctrl-C put off, or a tick of the timer, must not make
    // the call it interrupted fail.
    action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
    sigemptyset(&action.sa_mask);
    AddGuardSignals(&action.sa_mask);
    if (sigaction(signal, nullptr, &Previous[signal]) != 0) return;
    // A program started with Ctrl-C ignored (in the background) keeps it so.
    if (signal == SIGINT && Previous[signal].sa_handler == SIG_IGN) return;
    sigaction(signal, &action, nullptr);
}

// A thread that ends gives back its alternate stack and its timer.
void ThreadEnds(void* value) {
    ThreadGuards* t = static_cast<ThreadGuards*>(value);
    if (t->altStack != nullptr) {
        stack_t current;
        if (sigaltstack(nullptr, &current) == 0 && current.ss_sp == t->altStack) {
            stack_t off;
            memset(&off, 0, sizeof off);
            off.ss_flags = SS_DISABLE;
            sigaltstack(&off, nullptr);
        }
        munmap((char*)t->altStack - getpagesize(), kAltStackSize + getpagesize());
        t->altStack = nullptr;
    }
    if (t->timerReady) timer_delete(t->timer);
    t->timerReady = false;
}

void InstallFaultHandlers() {
    pthread_key_create(&ThreadExitKey, ThreadEnds);
    sigemptyset(&FaultSet);
    for (int signal : kFaultSignals)
        if (signal != SIGABRT) sigaddset(&FaultSet, signal);
    for (int signal : kFaultSignals)
        InstallHandler(signal);
}

// The first guard of a thread: its stack's bounds, an alternate stack
// unless it has one large enough, the unwind tables for call chains.
void SetUpThread(ThreadGuards& t) {
    std::call_once(FaultHandlersOnce, InstallFaultHandlers);
    pthread_attr_t attr;
    void* base = nullptr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstack(&attr, &base, &size);
        pthread_attr_destroy(&attr);
    }
    t.stackLow = (uintptr_t)base;
    t.stackHigh = (uintptr_t)base + size;

    stack_t old;
    if (sigaltstack(nullptr, &old) != 0 || (old.ss_flags & SS_DISABLE) ||
        old.ss_size < kAltStackSize) {
        // A page below it stays inaccessible: an overflow of the handler's
        // own stack then faults instead of running into other memory.
        size_t page = (size_t)getpagesize();
        void* block = mmap(nullptr, kAltStackSize + page, PROT_READ | PROT_WRITE,
                           MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
        if (block != MAP_FAILED) {
            mprotect(block, page, PROT_NONE);
            stack_t stack;
            stack.ss_sp = (char*)block + page;
            stack.ss_size = kAltStackSize;
            stack.ss_flags = 0;
            if (sigaltstack(&stack, nullptr) == 0)
                t.altStack = stack.ss_sp;
            else
                munmap(block, kAltStackSize + page);
        }
    }
    pthread_sigmask(SIG_SETMASK, nullptr, &t.mask);
    sigandset(&t.faultsBlocked, &t.mask, &FaultSet);
    t.anyFaultsBlocked = !sigisemptyset(&t.faultsBlocked);
    pthread_setspecific(ThreadExitKey, &t);
    PrepareCallChain();
    PrepareProgramCode(); // notes the program's code now, outside any handler
    t.ready = true;
}

void InstallCtrlCHandlers() {
    for (int signal : kCtrlCSignals)
        InstallHandler(signal);
}

// The first Ctrl-C guard of a thread: its timer, which sends SIGALRM to
// this thread alone.
void SetUpCtrlC(ThreadGuards& t) {
    std::call_once(CtrlCHandlersOnce, InstallCtrlCHandlers);
    struct sigevent event;
    memset(&event, 0, sizeof event);
    event.sigev_notify = SIGEV_THREAD_ID;
    event.sigev_signo = SIGALRM;
    event.sigev_value.sival_ptr = &TimerCookie;
    event._sigev_un._tid = (pid_t)syscall(SYS_gettid); // sigev_notify_thread_id, in newer headers
    t.timerReady = timer_create(CLOCK_MONOTONIC, &event, &t.timer) == 0;
}

// ---- SIGNAL CONTEXT: everything below up to the guard's own calls runs in
// the signal handler or in the filters it calls, with the faulting work
// stopped anywhere: no locks, no heap, no stdio (PutStdoutInOrder, further
// down, says why it may).

// Arms the thread's timer to tick every nanoseconds, or stops it with 0
// (timer_settime is async-signal-safe).
void SetTimer(ThreadGuards& t, long nanoseconds) {
    if (!t.timerReady) return;
    struct itimerspec period;
    memset(&period, 0, sizeof period);
    period.it_value.tv_nsec = nanoseconds;
    period.it_interval.tv_nsec = nanoseconds;
    timer_settime(t.timer, 0, &period, nullptr);
}

// Where the interrupted code was: its program counter and stack pointer.
struct Registers {
    uintptr_t pc, sp;
};

Registers RegistersOf(const ucontext_t* uc) {
#if defined(__linux__) && defined(__x86_64__)
    return {(uintptr_t)uc->uc_mcontext.gregs[REG_RIP], (uintptr_t)uc->uc_mcontext.gregs[REG_RSP]};
#elif defined(__linux__) && defined(__i386__)
    return {(uintptr_t)uc->uc_mcontext.gregs[REG_EIP], (uintptr_t)uc->uc_mcontext.gregs[REG_ESP]};
#elif defined(__linux__) && defined(__aarch64__)
    return {(uintptr_t)uc->uc_mcontext.pc, (uintptr_t)uc->uc_mcontext.sp};
#elif defined(__linux__) && defined(__arm__)
    return {(uintptr_t)uc->uc_mcontext.arm_pc, (uintptr_t)uc->uc_mcontext.arm_sp};
#else
#error "the guard needs the program counter and stack pointer of this system's ucontext_t"
#endif
}

// What an access violation tried: 0 read, 1 write, 8 execute (0 when the
// processor does not say).
ULONG_PTR AccessKind(const ucontext_t* uc) {
#if defined(__linux__) && (defined(__x86_64__) || defined(__i386__))
    const int kPageFault = 14;
    if (uc->uc_mcontext.gregs[REG_TRAPNO] != kPageFault) return 0;
    greg_t error = uc->uc_mcontext.gregs[REG_ERR];
    if (error & 0x10) return 8;
    if (error & 0x02) return 1;
#else
    (void)uc;
#endif
    return 0;
}

bool OnThreadStack(const ThreadGuards& t, uintptr_t sp) {
    return sp >= t.stackLow && sp < t.stackHigh;
}

// Whether guard g is still in force for code running at stack pointer sp.
// A guard left by a longjmp lies below code that runs on the same stack
// again, or its frame has been written over since. Stacks other than the
// thread's own (fibers, the alternate stack) cannot be compared.
bool IsLive(const ThreadGuards& t, const Guard* g, uintptr_t sp) {
    if (OnThreadStack(t, g->entrySp) && OnThreadStack(t, sp) && sp > g->entrySp) return false;
    return g->seal == SealOf(g);
}

// Drops the guards left by a longjmp from the inside of the thread's chain.
void DropDeadGuards(ThreadGuards& t, uintptr_t sp) {
    while (t.innermost != nullptr && !IsLive(t, t.innermost, sp))
        t.innermost = t.innermost->outer;
}

// A fault just below the stack pointer, or between it and where the guard
// was entered, is the stack running out.
bool IsStackOverflow(const ThreadGuards& t, uintptr_t addr, uintptr_t sp) {
    return sp != 0 && addr < t.innermost->entrySp && addr + kStackSlack >= sp;
}

void SetParameters(EXCEPTION_RECORD* record, ULONG_PTR p0, ULONG_PTR p1) {
    record->NumberParameters = 2;
    record->ExceptionInformation[0] = p0;
    record->ExceptionInformation[1] = p1;
}

// The exception of a floating-point or integer arithmetic signal's code.
DWORD FloatingCode(int code) {
    static const struct {
        int signal;
        DWORD exception;
    } kCodes[] = {
        {FPE_INTDIV, EXCEPTION_INT_DIVIDE_BY_ZERO},    {FPE_INTOVF, EXCEPTION_INT_OVERFLOW},
        {FPE_FLTDIV, EXCEPTION_FLT_DIVIDE_BY_ZERO},    {FPE_FLTOVF, EXCEPTION_FLT_OVERFLOW},
        {FPE_FLTUND, EXCEPTION_FLT_UNDERFLOW},         {FPE_FLTRES, EXCEPTION_FLT_INEXACT_RESULT},
        {FPE_FLTSUB, EXCEPTION_ARRAY_BOUNDS_EXCEEDED},
    };
    for (const auto& known : kCodes)
        if (known.signal == code) return known.exception;
    return EXCEPTION_FLT_INVALID_OPERATION; // FPE_FLTINV
}

// The exception that a signal stands for.
void FillRecord(const ThreadGuards& t, int signal, const siginfo_t* info, const ucontext_t* uc,
                EXCEPTION_RECORD* record) {
    Registers regs = RegistersOf(uc);
    uintptr_t pc = regs.pc;
    // si_addr means something only when the kernel raised the signal.
    uintptr_t addr = info->si_code > 0 ? (uintptr_t)info->si_addr : 0;
    DWORD code = 0;
    switch (signal) {
    case SIGSEGV:
        if (IsStackOverflow(t, addr, regs.sp)) {
            code = EXCEPTION_STACK_OVERFLOW;
            SetParameters(record, 0, addr);
        } else {
            code = EXCEPTION_ACCESS_VIOLATION;
            SetParameters(record, AccessKind(uc), addr);
        }
        break;
    case SIGBUS:
        if (info->si_code == BUS_ADRALN) {
            code = EXCEPTION_DATATYPE_MISALIGNMENT;
        } else { // a page of a mapped file that is no longer there
            code = EXCEPTION_IN_PAGE_ERROR;
            SetParameters(record, 0, addr);
            record->ExceptionInformation[2] = STATUS_DEVICE_DATA_ERROR;
            record->NumberParameters = 3;
        }
        break;
    case SIGFPE:
        code = FloatingCode(info->si_code);
        break;
    case SIGILL:
        code = info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG
                   ? EXCEPTION_PRIV_INSTRUCTION
                   : EXCEPTION_ILLEGAL_INSTRUCTION;
        break;
    case SIGTRAP:
        if (info->si_code == TRAP_TRACE) {
            code = EXCEPTION_SINGLE_STEP;
            break;
        }
        code = EXCEPTION_BREAKPOINT;
#if defined(__x86_64__) || defined(__i386__)
        // The processor stops after an int3; Win32 names the int3 itself.
        if ((info->si_code == SI_KERNEL || info->si_code == TRAP_BRKPT) && pc != 0 &&
            *(const unsigned char*)(pc - 1) == 0xCC)
            pc--;
#endif
        break;
    case SIGABRT: // abort(): the work asked the process to end
        code = STATUS_FATAL_APP_EXIT;
        record->ExceptionFlags = EXCEPTION_NONCONTINUABLE;
        break;
    default: // SIGINT: Ctrl-C, where the work now is
        code = STATUS_CONTROL_C_EXIT;
        break;
    }
    record->ExceptionCode = code;
    record->ExceptionAddress = (PVOID)pc;
}

enum Outcome { Taken, Resume, Unhandled };

// Asks the filters of the thread's guards, innermost first; Ctrl-C only
// those of guards that asked for it. Taken: *taker is the guard whose filter
// took it; Resume: a filter asked to continue where it happened.
Outcome Dispatch(ThreadGuards& t, EXCEPTION_POINTERS* pointers, bool ctrlC, Guard** taker) {
    Outcome result = Unhandled;
    t.offering = true;
    for (Guard* g = t.innermost; g != nullptr; g = g->outer) {
        if (ctrlC && !(g->flags & GUARD_CTRL_C)) continue;
        LONG verdict = g->filter(pointers);
        if (verdict > 0) {
            *taker = g;
            result = Taken;
            break;
        }
        if (verdict < 0) {
            result = Resume;
            break;
        }
    }
    t.offering = false;
    return result;
}

bool HasCtrlCGuard(const ThreadGuards& t) {
    for (Guard* g = t.innermost; g != nullptr; g = g->outer)
        if (g->flags & GUARD_CTRL_C) return true;
    return false;
}

// The course the signal would have had without us: the handler that was
// there before ours, run as the kernel would have run it, or the
// disposition it had. A default one is put back and the signal raised
// again: it is delivered once this handler returns, and a fault the
// processor raised would recur there anyway.
void PassOn(int signal, siginfo_t* info, void* context) {
    struct sigaction& before = Previous[signal];
    // The handler and the flags are read apart from each other: a reset
    // leaves SIG_DFL in either member of the union.
    void (*plain)(int) = before.sa_handler;
    bool fault = signal != SIGINT && signal != SIGALRM;
    // An ignored fault cannot be skipped: it would recur for ever.
    if (plain == SIG_IGN && !fault) return;
    if (plain == SIG_DFL || plain == SIG_IGN) {
        struct sigaction Default;
        memset(&Default, 0, sizeof Default);
        Default.sa_handler = SIG_DFL;
        sigaction(signal, &Default, nullptr);
        raise(signal);
        return;
    }
    int flags = before.sa_flags;
    void (*handler)(int, siginfo_t*, void*) = before.sa_sigaction;
    ucontext_t* uc = static_cast<ucontext_t*>(context);
    // The mask the kernel would have given it: the interrupted code's, its
    // own, and the signal unless it asked otherwise. A handler that leaves
    // by longjmp keeps it, as it would have.
    sigset_t mask = uc != nullptr ? uc->uc_sigmask : sigset_t();
    if (uc == nullptr) pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    sigorset(&mask, &mask, &before.sa_mask);
    if (!(flags & SA_NODEFER)) sigaddset(&mask, signal);
    if (flags & SA_RESETHAND) {
        before.sa_flags = 0;
        before.sa_handler = SIG_DFL;
    }
    sigset_t ours;
    pthread_sigmask(SIG_SETMASK, &mask, &ours);
#ifndef KORVAL_NO_STACK_SWITCH
    // Without SA_ONSTACK it runs on the stack that was interrupted, below
    // what the interrupted code may still use; a stack overflow leaves no
    // room there, and the kernel would have ended the process.
    stack_t alt;
    uintptr_t sp = uc != nullptr ? RegistersOf(uc).sp : 0;
    if (!(flags & SA_ONSTACK) && sp != 0 && sigaltstack(nullptr, &alt) == 0 &&
        !(sp >= (uintptr_t)alt.ss_sp && sp < (uintptr_t)alt.ss_sp + alt.ss_size)) {
        uintptr_t addr = info->si_code > 0 ? (uintptr_t)info->si_addr : 0;
        if (signal == SIGSEGV && addr < sp + 4096 && addr + kStackSlack >= sp) {
            before.sa_flags = 0;
            before.sa_handler = SIG_DFL;
            pthread_sigmask(SIG_SETMASK, &ours, nullptr);
            PassOn(signal, info, context);
            return;
        }
        const uintptr_t kRedZone = 128; // of the x86-64 ABI; aarch64 has none
        // The kernel, too, passes the three arguments to either kind.
        korval_CallOnStack((sp - kRedZone - 64) & ~(uintptr_t)15, handler, signal, info, context);
        pthread_sigmask(SIG_SETMASK, &ours, nullptr);
        return;
    }
#endif
    if (flags & SA_SIGINFO)
        handler(signal, info, context);
    else
        plain(signal);
    pthread_sigmask(SIG_SETMASK, &ours, nullptr);
}

// Offers the exception a signal stands for to the filters, then goes where
// their verdict says. abort() goes its own way whatever they say: the
// process asked to end.
void Deliver(ThreadGuards& t, int signal, siginfo_t* info, ucontext_t* uc) {
    EXCEPTION_RECORD record;
    memset(&record, 0, sizeof record);
    FillRecord(t, signal, info, uc, &record);
    EXCEPTION_POINTERS pointers = {&record, uc};
    Guard* taker = nullptr;
    Outcome result = Dispatch(t, &pointers, signal == SIGINT, &taker);
    if (signal == SIGABRT) result = Unhandled;
    switch (result) {
    case Taken:
        siglongjmp(taker->env, 1);
    case Resume:
        return;
    case Unhandled:
        PassOn(signal, info, uc);
        return;
    }
}

// Forgets a Ctrl-C put off, and stops the timer that would bring it back.
void CancelPendingInterrupt(ThreadGuards& t) {
    SetTimer(t, 0);
    t.interruptPending = false;
}

// What the system tells of a Ctrl-C, for one delivered later than it came.
siginfo_t CtrlCInfo() {
    siginfo_t info;
    memset(&info, 0, sizeof info);
    info.si_signo = SIGINT;
    info.si_code = SI_USER;
    return info;
}

// A tick of the thread's timer while a Ctrl-C is pending: delivered once the
// thread is back in the program's own code.
void OnTick(ThreadGuards& t, ucontext_t* uc) {
    if (!IsProgramCode(RegistersOf(uc).pc)) return;
    CancelPendingInterrupt(t);
    siginfo_t info = CtrlCInfo();
    Deliver(t, SIGINT, &info, uc);
}

// Whether a fault signal is for the guards: raised by the kernel for an
// instruction of this thread, or, for SIGABRT, by this process's abort().
bool IsGuardsFault(int signal, const siginfo_t* info) {
    if (signal == SIGABRT) return info->si_code == SI_TKILL && info->si_pid == getpid();
    return info->si_code > 0;
}

void OnSignal(int signal, siginfo_t* info, void* context) {
    int savedErrno = errno;
    ThreadGuards& t = This;
    ucontext_t* uc = static_cast<ucontext_t*>(context);
    Registers regs = RegistersOf(uc);
    DropDeadGuards(t, regs.sp);
    if (signal == SIGALRM) {
        if (info->si_code == SI_TIMER && info->si_value.sival_ptr == &TimerCookie) {
            if (t.interruptPending) OnTick(t, uc);
        } else {
            PassOn(signal, info, context);
        }
    } else if (t.innermost == nullptr || t.offering) {
        PassOn(signal, info, context);
    } else if (signal != SIGINT) {
        if (IsGuardsFault(signal, info))
            Deliver(t, signal, info, uc);
        else
            PassOn(signal, info, context);
    } else if (!HasCtrlCGuard(t) || t.interruptPending) {
        PassOn(signal, info, context); // not asked for, or the user insists
    } else if (!IsProgramCode(regs.pc)) {
        t.interruptPending = true;
        t.interruptPc = regs.pc;
        SetTimer(t, 1000000);
    } else {
        Deliver(t, signal, info, uc);
    }
    errno = savedErrno;
}

// Offers a software exception to the filters with the guard's signals
// blocked, as in the handler, and a context of the caller's for the call
// chain. Returns whether a filter asked to continue; jumps when one took it.
bool DispatchRaised(ThreadGuards& t, EXCEPTION_RECORD* record, bool ctrlC) {
    ucontext_t here;
    getcontext(&here);
    EXCEPTION_POINTERS pointers = {record, &here};
    sigset_t block, old;
    sigemptyset(&block);
    AddGuardSignals(&block);
    pthread_sigmask(SIG_BLOCK, &block, &old);
    Guard* taker = nullptr;
    const void* outerRaised = t.raisedContext; // a filter may raise one too
    t.raisedContext = &here;
    Outcome result = Dispatch(t, &pointers, ctrlC, &taker);
    t.raisedContext = outerRaised;
    if (result == Taken) siglongjmp(taker->env, 1);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return result == Resume;
}

// A Ctrl-C still pending when the guarded work returned: the work was
// interrupted all the same, so it is offered now, at the address where it
// landed; no guard taking it, it takes its default course.
void DeliverPendingInterrupt(ThreadGuards& t) {
    CancelPendingInterrupt(t);
    EXCEPTION_RECORD record;
    memset(&record, 0, sizeof record);
    record.ExceptionCode = STATUS_CONTROL_C_EXIT;
    record.ExceptionAddress = (PVOID)t.interruptPc;
    if (DispatchRaised(t, &record, true)) return;
    siginfo_t info = CtrlCInfo();
    PassOn(SIGINT, &info, nullptr);
}

// Takes the guard off its thread's chain however GuardCall is left, a C++
// exception thrown through it included; the outermost guard blocks again
// the fault signals that the thread had blocked.
struct GuardScope {
    ThreadGuards& t;
    Guard& frame;
    bool reblock;
    ~GuardScope() {
        t.innermost = frame.outer;
        frame.seal = 0;
        if (reblock) pthread_sigmask(SIG_BLOCK, &t.faultsBlocked, nullptr);
    }
};

} // namespace

// ---- The guard's own calls, on the thread that runs the work.

BOOL GuardCall(void (*work)(void*), void* arg, PGUARD_FILTER filter, DWORD flags) {
    ThreadGuards& t = This;
    if (!t.ready) SetUpThread(t);
    Guard frame;
    frame.filter = filter;
    frame.flags = flags;
    frame.entrySp = (uintptr_t)__builtin_frame_address(0);
    DropDeadGuards(t, frame.entrySp);
    frame.outer = t.innermost;
    frame.seal = SealOf(&frame);
    bool reblock = t.anyFaultsBlocked && frame.outer == nullptr;
    if (reblock) pthread_sigmask(SIG_UNBLOCK, &FaultSet, nullptr);
    // A Ctrl-C that comes while the first Ctrl-C guard of the thread is set
    // up waits until the guard is in force: once the handler is there, the
    // guard takes it.
    bool holding = (flags & GUARD_CTRL_C) && !t.timerReady;
    if (holding) {
        sigset_t ctrlC;
        sigemptyset(&ctrlC);
        sigaddset(&ctrlC, SIGINT);
        pthread_sigmask(SIG_BLOCK, &ctrlC, nullptr);
        SetUpCtrlC(t);
    }
    GuardScope scope{t, frame, reblock};
    if (sigsetjmp(frame.env, 0) != 0) {
        // A filter took an exception: the work, and any guard inside this
        // one, are gone (the jump skipped their scopes; this one resets the
        // chain). A Ctrl-C still pending interrupted that work too.
        if (flags & GUARD_CTRL_C) CancelPendingInterrupt(t);
        scope.reblock = false;
        pthread_sigmask(SIG_SETMASK, &t.mask, nullptr);
        return FALSE;
    }
    t.innermost = &frame;
    if (holding && !sigismember(&t.mask, SIGINT)) {
        sigset_t ctrlC;
        sigemptyset(&ctrlC);
        sigaddset(&ctrlC, SIGINT);
        pthread_sigmask(SIG_UNBLOCK, &ctrlC, nullptr);
    }
    work(arg);
    if (t.interruptPending && HasCtrlCGuard(t)) DeliverPendingInterrupt(t);
    return TRUE;
}

__attribute__((noinline)) void RaiseException(DWORD dwExceptionCode, DWORD dwExceptionFlags,
                                              DWORD nNumberOfArguments,
                                              const ULONG_PTR* lpArguments) {
    EXCEPTION_RECORD record;
    memset(&record, 0, sizeof record);
    record.ExceptionCode = dwExceptionCode;
    record.ExceptionFlags = dwExceptionFlags;
    record.ExceptionAddress = __builtin_return_address(0);
    if (lpArguments != nullptr) {
        record.NumberParameters = nNumberOfArguments < EXCEPTION_MAXIMUM_PARAMETERS
                                      ? nNumberOfArguments
                                      : EXCEPTION_MAXIMUM_PARAMETERS;
        memcpy(record.ExceptionInformation, lpArguments,
               record.NumberParameters * sizeof(ULONG_PTR));
    }
    ThreadGuards& t = This;
    DropDeadGuards(t, (uintptr_t)__builtin_frame_address(0));
    if (t.innermost != nullptr && !t.offering && DispatchRaised(t, &record, false)) return;
    abort();
}

// ---- SIGNAL CONTEXT: what a filter may ask about the exception it is
// offered.

DWORD ExceptionCallChain(PEXCEPTION_POINTERS exceptionInfo, ULONG_PTR* returns, DWORD max) {
    const ThreadGuards& t = This;
    if (exceptionInfo->ContextRecord == nullptr || !t.ready) return 0;
    // Work on a stack other than the thread's (a makecontext fiber) is
    // walked on that stack, from the fault up to the innermost guard's entry
    // and the two words above it, its caller's frame record.
    ULONG_PTR low = t.stackLow, high = t.stackHigh;
    uintptr_t sp = RegistersOf((const ucontext_t*)exceptionInfo->ContextRecord).sp;
    if ((sp < low || sp >= high) && t.innermost != nullptr) {
        low = sp;
        high = t.innermost->entrySp + 2 * sizeof(uintptr_t);
    }
    DWORD count = CallChain(exceptionInfo->ContextRecord, low, high, returns, max);
    if (exceptionInfo->ContextRecord != t.raisedContext) return count;
    // A raised exception's context is taken inside the layer: its chain
    // starts with the frames of the layer and the one the exception names,
    // which are left out.
    ULONG_PTR at = (ULONG_PTR)exceptionInfo->ExceptionRecord->ExceptionAddress;
    for (DWORD i = 0; i < count; i++) {
        if (returns[i] != at) continue;
        memmove(returns, returns + i + 1, (count - i - 1) * sizeof *returns);
        return count - i - 1;
    }
    return count;
}

// The one use of stdio in a handler, and safe as its contract says: the
// stream's lock is only tried, and the filter calls it only when the fault
// is in the program's own code, so this thread is not half-way through a
// call of the stream's either.
BOOL PutStdoutInOrder(const char* text) {
    if (ftrylockfile(stdout) != 0) return FALSE;
    fputs(text, stdout);
    funlockfile(stdout);
    return TRUE;
}

} // namespace korval
