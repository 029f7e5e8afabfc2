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

// A frame as the walk knows it: its registers, with a bit set in Known for
// each register whose value is known.
struct Frame {
    uintptr_t Regs[kNumRegs];
    uint64_t Known;
    uintptr_t Pc() const { return Regs[kPcReg]; }
    uintptr_t Sp() const { return Regs[kSpReg]; }
};

// The stack the walk may read: [Low, High).
struct Bounds {
    uintptr_t Low, High;
    bool Holds(uintptr_t At, size_t Size) const {
        return At >= Low && At <= High && High - At >= Size;
    }
};

// Bytes of the stack, when they lie inside the bounds. Stack memory is not
// the sanitizers' to judge here: the walk reads other frames' slots. Byte by
// byte through volatile reads, which no compiler turns into a call of
// memcpy, whose sanitizer's interceptor would judge them all the same.
__attribute__((no_sanitize("address", "undefined"))) bool
ReadStack(const Bounds& Stack, uintptr_t At, void* Value, size_t Size) {
    if (!Stack.Holds(At, Size)) return false;
    const volatile uint8_t* From = (const volatile uint8_t*)At;
    uint8_t* To = (uint8_t*)Value;
    for (size_t i = 0; i < Size; i++)
        To[i] = From[i];
    return true;
}

bool ReadWord(const Bounds& Stack, uintptr_t At, uintptr_t* Value) {
    return ReadStack(Stack, At, Value, sizeof *Value);
}

void LoadFrame(const ucontext_t* Uc, Frame* F) {
#if defined(__x86_64__)
    for (int r = 0; r < kNumRegs; r++)
        F->Regs[r] = (uintptr_t)Uc->uc_mcontext.gregs[kGregOf[r]];
#else
    for (int r = 0; r < 31; r++)
        F->Regs[r] = Uc->uc_mcontext.regs[r];
    F->Regs[kSpReg] = Uc->uc_mcontext.sp;
    F->Regs[kPcReg] = Uc->uc_mcontext.pc;
#endif
    F->Known = (1ull << kNumRegs) - 1;
}

// A return address as the caller sees it. On aarch64 a routine may sign its
// return address before saving it (pointer authentication): xpaclri strips
// the code from x30, and is a no-op on processors without it.
uintptr_t Unsigned(uintptr_t Return) {
#if defined(__aarch64__)
    register uintptr_t Lr asm("x30") = Return;
    asm("hint 7" : "+r"(Lr)); // xpaclri, in a form every assembler knows
    return Lr;
#else
    return Return;
#endif
}

bool RegValue(const Frame& F, uint64_t Reg, uintptr_t* Value) {
    if (Reg >= kNumRegs || !(F.Known & (1ull << Reg))) return false;
    *Value = F.Regs[Reg];
    return true;
}

// What an expression of the tables may read: the frame's registers, and the
// stack alone among memory.
class FrameMachine final : public eh::Machine {
  public:
    FrameMachine(const Frame& F, const Bounds& Stack) : F(F), Stack(Stack) {}
    bool Reg(uint64_t Number, uintptr_t* Value) const override {
        return RegValue(F, Number, Value);
    }
    bool Load(uintptr_t At, unsigned Size, uintptr_t* Value) const override {
        *Value = 0;
        return ReadStack(Stack, At, Value, Size); // little-endian: the low bytes
    }

  private:
    const Frame& F;
    const Bounds& Stack;
};

// The tables of an object as the reader sees them: their segment, in place.
eh::Span SpanOf(const UnwindTables& T) {
    return {(const uint8_t*)T.Low, T.High - T.Low, T.Low};
}

// The caller's value of a register by its rule; false when a read fails.
// An undefined register stays unknown.
bool Recover(const eh::Span& Tables, const eh::Rule& R, int Reg, const Frame& F, uintptr_t Cfa,
             const Bounds& Stack, Frame* Caller) {
    FrameMachine M(F, Stack);
    uintptr_t v = 0, At;
    switch (R.Kind) {
    case eh::Same:
        if (!RegValue(F, Reg, &v)) return true;
        break;
    case eh::Undefined:
        return true;
    case eh::AtCfa:
        if (!ReadWord(Stack, Cfa + R.Offset, &v)) return false;
        break;
    case eh::IsCfa:
        v = Cfa + R.Offset;
        break;
    case eh::InReg:
        if (!RegValue(F, R.Reg, &v)) return true;
        break;
    case eh::AtExpr:
        if (!eh::Evaluate(Tables, R.Expr, M, &Cfa, &At) || !ReadWord(Stack, At, &v)) return false;
        break;
    case eh::IsExpr:
        if (!eh::Evaluate(Tables, R.Expr, M, &Cfa, &v)) return false;
        break;
    }
    Caller->Regs[Reg] = v;
    Caller->Known |= 1ull << Reg;
    return true;
}

// The FDE of Pc in the object's tables.
bool FindFde(const UnwindTables& T, uintptr_t Pc, eh::Fde* D) {
    eh::Span S = SpanOf(T);
    if (T.Hdr != 0) return eh::FindFdeInHdr(S, T.Hdr, Pc, D);
    return eh::FindFdeInIndex(S, T.Index, T.Count, Pc, D);
}

// Steps from F to its caller by the unwind tables. Interrupted: F was
// stopped at its Pc, rather than having called a routine that returns to
// its Pc.
bool StepByTables(Frame* F, const Bounds& Stack, bool Interrupted) {
    // A return address follows its call, which may be the last instruction
    // of its routine: the call is what tells where the caller is.
    uintptr_t Where = Interrupted ? F->Pc() : F->Pc() - 1;
    LoadedObject Obj;
    UnwindTables T;
    eh::Fde D;
    if (!FindUnwindTables(Where, &Obj, &T) || !FindFde(T, Where, &D) || D.C.SignalFrame)
        return false;
    eh::Row Current;
    if (!eh::RunToRow(D, Where, &Current)) return false;

    eh::Span Tables = SpanOf(T);
    uintptr_t Cfa;
    if (Current.Cfa.Kind == eh::InReg) {
        if (!RegValue(*F, Current.Cfa.Reg, &Cfa)) return false;
        Cfa += Current.Cfa.Offset;
    } else if (Current.Cfa.Kind != eh::IsExpr ||
               !eh::Evaluate(Tables, Current.Cfa.Expr, FrameMachine(*F, Stack), nullptr, &Cfa)) {
        return false;
    }
    // The CFA is the caller's stack pointer: it lies above this frame's, inside the stack.
    if (Cfa < F->Sp() || Cfa < Stack.Low || Cfa > Stack.High) return false;

    Frame Caller = {};
    for (int r = 0; r < kNumRegs; r++)
        if (!Recover(Tables, Current.Regs[r], r, *F, Cfa, Stack, &Caller)) return false;
    Caller.Regs[kSpReg] = Cfa;
    Caller.Known |= 1ull << kSpReg;
    uintptr_t Return;
    if (!RegValue(Caller, D.C.RaReg, &Return) || Return == 0) return false;
    if (Current.SignedReturn) Return = Unsigned(Return);
    Caller.Regs[kPcReg] = Return;
    Caller.Known |= 1ull << kPcReg;
    if (Cfa == F->Sp() && Return == F->Pc()) return false; // no progress
    *F = Caller;
    return true;
}

// A frame stopped at an address in no loaded object: a call through a null
// or stray pointer, which has just saved its return address (on top of the
// stack on x86-64, in the link register on aarch64) and done nothing else.
// Its caller is taken only when that address lies in a loaded object.
bool StepFromNowhere(Frame* F, const Bounds& Stack) {
    Frame Caller = *F;
    uintptr_t Return;
#if defined(__x86_64__)
    if (!ReadWord(Stack, F->Sp(), &Return)) return false;
    Caller.Regs[kSpReg] = F->Sp() + sizeof Return;
#else
    (void)Stack;
    Return = Unsigned(F->Regs[30]);
#endif
    LoadedObject Obj;
    UnwindTables T;
    if (Return == 0 || !FindUnwindTables(Return - 1, &Obj, &T)) return false;
    Caller.Regs[kPcReg] = Return;
    *F = Caller;
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

bool IsSigreturn(uintptr_t Pc) {
    LoadedObject Obj;
    UnwindTables T;
    return FindUnwindTables(Pc, &Obj, &T) && Pc >= T.CodeLow &&
           T.CodeHigh - Pc >= sizeof kSigreturn &&
           memcmp((const void*)Pc, kSigreturn, sizeof kSigreturn) == 0;
}

// Steps from the trampoline's frame to the code the signal interrupted,
// whose registers the kernel saved in the ucontext of the signal frame: at
// the trampoline's stack pointer on x86-64, past the siginfo on aarch64.
bool StepThroughSignal(Frame* F, const Bounds& Stack) {
#if defined(__x86_64__)
    uintptr_t Uc = F->Sp();
#else
    uintptr_t Uc = F->Sp() + sizeof(siginfo_t);
#endif
    // Only the general registers are read: on aarch64 the rest of the
    // mcontext is 4 KiB of other state.
    Frame Next;
    Next.Known = (1ull << kNumRegs) - 1;
#if defined(__x86_64__)
    greg_t Gregs[NGREG];
    if (!ReadStack(Stack, Uc + offsetof(ucontext_t, uc_mcontext.gregs), Gregs, sizeof Gregs))
        return false;
    for (int r = 0; r < kNumRegs; r++)
        Next.Regs[r] = (uintptr_t)Gregs[kGregOf[r]];
#else
    // x0 to x30, sp and pc lie in the order of the frame's registers.
    if (!ReadStack(Stack, Uc + offsetof(ucontext_t, uc_mcontext.regs), Next.Regs, sizeof Next.Regs))
        return false;
#endif
    if (Next.Pc() == 0 || Next.Sp() < Stack.Low || Next.Sp() > Stack.High) return false;
    *F = Next;
    return true;
}

} // namespace

DWORD CallChain(const void* Context, ULONG_PTR StackLow, ULONG_PTR StackHigh, ULONG_PTR* Returns,
                DWORD Max) {
    if (Context == nullptr || Returns == nullptr) return 0;
    Frame F;
    LoadFrame((const ucontext_t*)Context, &F);
    Bounds Stack = {StackLow, StackHigh};
    LoadedObject Obj;
    UnwindTables T;
    DWORD Count = 0;
    // Interrupted: F stands where it was stopped (the first frame, and the
    // code a signal interrupted), not after a call.
    bool Interrupted = true;
    if (Max > 0 && !FindUnwindTables(F.Pc(), &Obj, &T) && StepFromNowhere(&F, Stack)) {
        Returns[Count++] = F.Pc();
        Interrupted = false;
    }
    while (Count < Max) {
        bool Signal = !Interrupted && IsSigreturn(F.Pc());
        if (Signal ? !StepThroughSignal(&F, Stack) : !StepByTables(&F, Stack, Interrupted)) break;
        Interrupted = Signal;
        Returns[Count++] = F.Pc();
    }
    return Count;
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
