// unix/callchain.cpp - the call chain of an interrupted thread on Linux:
// PrepareCallChain and CallChain, walked with the .eh_frame unwind tables.
//
// The chain is made inside a signal handler, maybe on a thread that faulted
// inside malloc, printf or the dynamic loader. The unwinders of the C
// library and of libgcc take the loader's lock and locks of their own and
// may allocate, so the layer walks the stack itself. The tables are read by
// the reader of ehframe.cpp, which knows only bytes; this walker owns the
// rest: the registers of each frame, the bounds of the stack, and the
// loaded objects, which FindUnwindTables (objects.cpp) finds without a lock.
//
// Each step finds the FDE of the frame's address, runs the CFA program up
// to it, and so learns the rule of the frame's CFA (the caller's stack
// pointer) and where the frame keeps the registers it saved, the return
// address among them. Those give the caller's registers. Two frames have no
// FDE to follow and are walked by what they are: the first frame when its
// program counter lies in no object (a call through a null or stray
// function pointer, whose return address the call has just saved), and the
// kernel's signal return trampoline, whose frame holds the registers of the
// code the signal interrupted.
//
// Every stack word is checked against the bounds the caller gives before it
// is read. Linux on x86-64 and aarch64 only; on any other system or
// architecture CallChain returns 0.

#include "platform.h"
#include "callchain.h"
#include "objects.h"

#include <stdint.h>
#include <string.h>

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))

#include "ehframe.h"

#include <signal.h>
#include <stddef.h>
#include <ucontext.h>

namespace korval {

namespace {

using eh::kNumRegs;
using eh::kPcReg;
using eh::kSpReg;

// ---- SIGNAL CONTEXT: the walk (no locks, no heap, no stdio) --------------

#if defined(__x86_64__)
// DWARF's order of the registers followed, in the ucontext's numbering.
const int kGregOf[kNumRegs] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                               REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                               REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};
#endif

// A frame as the walk knows it: its registers, with a bit set in known for
// each register whose value is known.
struct Frame {
    uintptr_t regs[kNumRegs];
    uint64_t known;
    uintptr_t Pc() const { return regs[kPcReg]; }
    uintptr_t Sp() const { return regs[kSpReg]; }
};

// The stack the walk may read: [low, high).
struct Bounds {
    uintptr_t low, high;
    bool Holds(uintptr_t at, size_t size) const {
        return at >= low && at <= high && high - at >= size;
    }
};

// Bytes of the stack, when they lie inside the bounds. Stack memory is not
// the sanitizers' to judge here: the walk reads other frames' slots. Byte by
// byte through volatile reads, which no compiler turns into a call of
// memcpy, whose sanitizer's interceptor would judge them all the same.
__attribute__((no_sanitize("address", "undefined"))) bool
ReadStack(const Bounds& stack, uintptr_t at, void* value, size_t size) {
    if (!stack.Holds(at, size)) return false;
    const volatile uint8_t* from = (const volatile uint8_t*)at;
    uint8_t* to = (uint8_t*)value;
    for (size_t i = 0; i < size; i++)
        to[i] = from[i];
    return true;
}

bool ReadWord(const Bounds& stack, uintptr_t at, uintptr_t* value) {
    return ReadStack(stack, at, value, sizeof *value);
}

void LoadFrame(const ucontext_t* uc, Frame* f) {
#if defined(__x86_64__)
    for (int r = 0; r < kNumRegs; r++)
        f->regs[r] = (uintptr_t)uc->uc_mcontext.gregs[kGregOf[r]];
#else
    for (int r = 0; r < 31; r++)
        f->regs[r] = uc->uc_mcontext.regs[r];
    f->regs[kSpReg] = uc->uc_mcontext.sp;
    f->regs[kPcReg] = uc->uc_mcontext.pc;
#endif
    f->known = (1ull << kNumRegs) - 1;
}

// A return address as the caller sees it. On aarch64 a routine may sign its
// return address before saving it (pointer authentication): xpaclri strips
// the code from x30, and is a no-op on processors without it.
uintptr_t Unsigned(uintptr_t Return) {
#if defined(__aarch64__)
    register uintptr_t lr asm("x30") = Return;
    asm("hint 7" : "+r"(lr)); // xpaclri, in a form every assembler knows
    return lr;
#else
    return Return;
#endif
}

bool RegValue(const Frame& f, uint64_t reg, uintptr_t* value) {
    if (reg >= kNumRegs || !(f.known & (1ull << reg))) return false;
    *value = f.regs[reg];
    return true;
}

// What an expression of the tables may read: the frame's registers, and the
// stack alone among memory.
class FrameMachine final : public eh::Machine {
  public:
    FrameMachine(const Frame& f, const Bounds& stack) : f(f), stack(stack) {}
    bool Reg(uint64_t number, uintptr_t* value) const override {
        return RegValue(f, number, value);
    }
    bool Load(uintptr_t at, unsigned size, uintptr_t* value) const override {
        *value = 0;
        return ReadStack(stack, at, value, size); // little-endian: the low bytes
    }

  private:
    const Frame& f;
    const Bounds& stack;
};

// The tables of an object as the reader sees them: their segment, in place.
eh::Span SpanOf(const UnwindTables& t) {
    return {(const uint8_t*)t.low, t.high - t.low, t.low};
}

// The caller's value of a register by its rule; false when a read fails.
// An undefined register stays unknown.
bool Recover(const eh::Span& tables, const eh::Rule& r, int reg, const Frame& f, uintptr_t cfa,
             const Bounds& stack, Frame* caller) {
    FrameMachine m(f, stack);
    uintptr_t v = 0, at;
    switch (r.kind) {
    case eh::Same:
        if (!RegValue(f, reg, &v)) return true;
        break;
    case eh::Undefined:
        return true;
    case eh::AtCfa:
        if (!ReadWord(stack, cfa + r.offset, &v)) return false;
        break;
    case eh::IsCfa:
        v = cfa + r.offset;
        break;
    case eh::InReg:
        if (!RegValue(f, r.reg, &v)) return true;
        break;
    case eh::AtExpr:
        if (!eh::Evaluate(tables, r.expr, m, &cfa, &at) || !ReadWord(stack, at, &v)) return false;
        break;
    case eh::IsExpr:
        if (!eh::Evaluate(tables, r.expr, m, &cfa, &v)) return false;
        break;
    }
    caller->regs[reg] = v;
    caller->known |= 1ull << reg;
    return true;
}

// The FDE of pc in the object's tables.
bool FindFde(const UnwindTables& t, uintptr_t pc, eh::Fde* d) {
    eh::Span s = SpanOf(t);
    if (t.hdr != 0) return eh::FindFdeInHdr(s, t.hdr, pc, d);
    return eh::FindFdeInIndex(s, t.index, t.count, pc, d);
}

// Steps from f to its caller by the unwind tables. With interrupted, f was
// stopped at its pc, rather than having called a routine that returns to
// its pc.
bool StepByTables(Frame* f, const Bounds& stack, bool interrupted) {
    // A return address follows its call, which may be the last instruction
    // of its routine: the call is what tells where the caller is.
    uintptr_t where = interrupted ? f->Pc() : f->Pc() - 1;
    LoadedObject obj;
    UnwindTables t;
    eh::Fde d;
    if (!FindUnwindTables(where, &obj, &t) || !FindFde(t, where, &d) || d.c.signalFrame)
        return false;
    eh::Row current;
    if (!eh::RunToRow(d, where, &current)) return false;

    eh::Span tables = SpanOf(t);
    uintptr_t cfa;
    if (current.cfa.kind == eh::InReg) {
        if (!RegValue(*f, current.cfa.reg, &cfa)) return false;
        cfa += current.cfa.offset;
    } else if (current.cfa.kind != eh::IsExpr ||
               !eh::Evaluate(tables, current.cfa.expr, FrameMachine(*f, stack), nullptr, &cfa)) {
        return false;
    }
    // The CFA is the caller's stack pointer: it lies above this frame's, inside the stack.
    if (cfa < f->Sp() || cfa < stack.low || cfa > stack.high) return false;

    Frame caller = {};
    for (int r = 0; r < kNumRegs; r++)
        if (!Recover(tables, current.regs[r], r, *f, cfa, stack, &caller)) return false;
    caller.regs[kSpReg] = cfa;
    caller.known |= 1ull << kSpReg;
    uintptr_t Return;
    if (!RegValue(caller, d.c.raReg, &Return) || Return == 0) return false;
    if (current.signedReturn) Return = Unsigned(Return);
    caller.regs[kPcReg] = Return;
    caller.known |= 1ull << kPcReg;
    if (cfa == f->Sp() && Return == f->Pc()) return false; // no progress
    *f = caller;
    return true;
}

// A frame stopped at an address in no loaded object: a call through a null
// or stray pointer, which has just saved its return address (on top of the
// stack on x86-64, in the link register on aarch64) and done nothing else.
// Its caller is taken only when that address lies in a loaded object.
bool StepFromNowhere(Frame* f, const Bounds& stack) {
    Frame caller = *f;
    uintptr_t Return;
#if defined(__x86_64__)
    if (!ReadWord(stack, f->Sp(), &Return)) return false;
    caller.regs[kSpReg] = f->Sp() + sizeof Return;
#else
    (void)stack;
    Return = Unsigned(f->regs[30]);
#endif
    LoadedObject obj;
    UnwindTables t;
    if (Return == 0 || !FindUnwindTables(Return - 1, &obj, &t)) return false;
    caller.regs[kPcReg] = Return;
    *f = caller;
    return true;
}

// The kernel's signal return trampoline: the code a signal handler returns
// to, which asks the kernel to resume the interrupted code. Its bytes are
// checked inside the code segment of the object that holds it.
#if defined(__x86_64__)
const uint8_t kSigreturn[] = {0x48, 0xc7, 0xc0, 0x0f, 0x00, 0x00, 0x00, // mov $15, %rax
                              0x0f, 0x05};                              // syscall
#else
const uint8_t kSigreturn[] = {0x68, 0x11, 0x80, 0xd2,  // mov x8, #139
                              0x01, 0x00, 0x00, 0xd4}; // svc #0
#endif

bool IsSigreturn(uintptr_t pc) {
    LoadedObject obj;
    UnwindTables t;
    return FindUnwindTables(pc, &obj, &t) && pc >= t.codeLow &&
           t.codeHigh - pc >= sizeof kSigreturn &&
           memcmp((const void*)pc, kSigreturn, sizeof kSigreturn) == 0;
}

// Steps from the trampoline's frame to the code the signal interrupted,
// whose registers the kernel saved in the ucontext of the signal frame: at
// the trampoline's stack pointer on x86-64, past the siginfo on aarch64.
bool StepThroughSignal(Frame* f, const Bounds& stack) {
#if defined(__x86_64__)
    uintptr_t uc = f->Sp();
#else
    uintptr_t uc = f->Sp() + sizeof(siginfo_t);
#endif
    // Only the general registers are read: on aarch64 the rest of the
    // mcontext is 4 KiB of other state.
    Frame next;
    next.known = (1ull << kNumRegs) - 1;
#if defined(__x86_64__)
    greg_t gregs[NGREG];
    if (!ReadStack(stack, uc + offsetof(ucontext_t, uc_mcontext.gregs), gregs, sizeof gregs))
        return false;
    for (int r = 0; r < kNumRegs; r++)
        next.regs[r] = (uintptr_t)gregs[kGregOf[r]];
#else
    // x0 to x30, sp and pc lie in the order of the frame's registers.
    if (!ReadStack(stack, uc + offsetof(ucontext_t, uc_mcontext.regs), next.regs, sizeof next.regs))
        return false;
#endif
    if (next.Pc() == 0 || next.Sp() < stack.low || next.Sp() > stack.high) return false;
    *f = next;
    return true;
}

} // namespace

DWORD CallChain(const void* context, ULONG_PTR stackLow, ULONG_PTR stackHigh, ULONG_PTR* returns,
                DWORD max) {
    if (context == nullptr || returns == nullptr) return 0;
    Frame f;
    LoadFrame((const ucontext_t*)context, &f);
    Bounds stack = {stackLow, stackHigh};
    LoadedObject obj;
    UnwindTables t;
    DWORD count = 0;
    // With interrupted, f stands where it was stopped (the first frame, and the
    // code a signal interrupted), not after a call.
    bool interrupted = true;
    if (max > 0 && !FindUnwindTables(f.Pc(), &obj, &t) && StepFromNowhere(&f, stack)) {
        returns[count++] = f.Pc();
        interrupted = false;
    }
    while (count < max) {
        bool signal = !interrupted && IsSigreturn(f.Pc());
        if (signal ? !StepThroughSignal(&f, stack) : !StepByTables(&f, stack, interrupted)) break;
        interrupted = signal;
        returns[count++] = f.Pc();
    }
    return count;
}

// ---- Set-up --------------------------------------------------------------

void PrepareCallChain(void) {
    PrepareLoadedObjects();
}

} // namespace korval

#else // no unwinder for this system or architecture

namespace korval {

void PrepareCallChain(void) {}

DWORD CallChain(const void*, ULONG_PTR, ULONG_PTR, ULONG_PTR*, DWORD) {
    return 0;
}

} // namespace korval

#endif
