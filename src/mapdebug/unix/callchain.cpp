// unix/callchain.cpp - the call chain of an interrupted thread on Linux:
// PrepareCallChain and CallChain, read from the .eh_frame unwind tables.
//
// The chain is made inside a signal handler, maybe on a thread that faulted
// inside malloc, printf or the dynamic loader. The unwinders of the C
// library and of libgcc take the loader's lock and locks of their own and
// may allocate, so this file holds a small unwinder of its own:
//
// - PrepareCallChain, outside signal context, notes each loaded object's
//   executable segments and the segment that holds its .eh_frame_hdr and
//   .eh_frame, in a table that only grows: a slot is filled before it is
//   counted and never rewritten, so CallChain reads the table without a lock.
// - Each step of CallChain finds the FDE of the frame's address by binary
//   search in the object's .eh_frame_hdr, runs the CIE's and the FDE's CFA
//   programs up to that address, and so learns the rule of the frame's CFA
//   (the caller's stack pointer) and where the frame keeps the registers it
//   saved, the return address among them. Those give the caller's registers.
//
// Every byte is checked before it is read: the unwind tables inside their
// segment, the stack inside the bounds the caller gives. No debug
// information and no frame pointers are needed. Linux on x86-64 and
// aarch64 only; on any other system or architecture CallChain returns 0.

#include "platform.h"
#include "callchain.h"

#include <stdint.h>
#include <string.h>

#if defined(__linux__) && (defined(__x86_64__) || defined(__aarch64__))

#include <link.h>
#include <ucontext.h>

#include <atomic>
#include <mutex>

namespace korval {

namespace {

// ---- The registers -------------------------------------------------------

#if defined(__x86_64__)

// The registers followed, by DWARF number: rax, rdx, rcx, rbx, rsi, rdi, rbp,
// rsp, r8 to r15, and 16, the return address column, which is rip.
const int kNumRegs = 17;
const int kSpReg = 7;
const int kPcReg = 16;
const int kGregOf[kNumRegs] = {REG_RAX, REG_RDX, REG_RCX, REG_RBX, REG_RSI, REG_RDI,
                               REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                               REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP};

#else // aarch64

// The registers followed, by DWARF number: x0 to x30 (x30 the link register,
// where a call leaves its return address, and the return address column)
// and sp; then the pc, which CFA programs do not name.
const int kNumRegs = 33;
const int kSpReg = 31;
const int kPcReg = 32;

#endif

// A frame as the walk knows it: its registers, with a bit set in Known for
// each register whose value is known.
struct Frame {
    uintptr_t Regs[kNumRegs];
    uint64_t Known;
    uintptr_t Pc() const { return Regs[kPcReg]; }
    uintptr_t Sp() const { return Regs[kSpReg]; }
};

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

// ---- The noted objects ---------------------------------------------------

const int kMaxObjects = 512;
const int kMaxCode = 4;

// A loaded object, as PrepareCallChain found it.
struct Object {
    uintptr_t Bias;
    const uint8_t* Hdr;        // .eh_frame_hdr
    const uint8_t* TablesLow;  // the segment that holds .eh_frame_hdr and .eh_frame
    const uint8_t* TablesHigh; //   (one past its end)
    uintptr_t CodeLow[kMaxCode], CodeHigh[kMaxCode]; // the executable segments
    int NumCode;
};

struct Slot {
    Object Obj;
    unsigned SeenIn;        // the last pass of PrepareCallChain that found it loaded
    std::atomic<bool> Gone; // unloaded: its memory may hold anything now
};

Slot Slots[kMaxObjects];
std::atomic<int> NumSlots{0};
std::mutex PrepareLock; // PrepareCallChain's, never taken by CallChain
unsigned Pass;

// The object's layout from its program headers; false when it has no
// .eh_frame_hdr, or it lies outside every loaded segment.
bool ReadLayout(const dl_phdr_info* Info, Object* Obj) {
    *Obj = Object();
    Obj->Bias = Info->dlpi_addr;
    for (int i = 0; i < Info->dlpi_phnum; i++)
        if (Info->dlpi_phdr[i].p_type == PT_GNU_EH_FRAME)
            Obj->Hdr = (const uint8_t*)(Info->dlpi_addr + Info->dlpi_phdr[i].p_vaddr);
    for (int i = 0; i < Info->dlpi_phnum; i++) {
        const ElfW(Phdr)& Ph = Info->dlpi_phdr[i];
        if (Ph.p_type != PT_LOAD) continue;
        uintptr_t Low = Info->dlpi_addr + Ph.p_vaddr, High = Low + Ph.p_memsz;
        if ((Ph.p_flags & PF_X) && Obj->NumCode < kMaxCode) {
            Obj->CodeLow[Obj->NumCode] = Low;
            Obj->CodeHigh[Obj->NumCode++] = High;
        }
        if (Obj->Hdr != nullptr && (uintptr_t)Obj->Hdr >= Low && (uintptr_t)Obj->Hdr < High) {
            Obj->TablesLow = (const uint8_t*)Low;
            Obj->TablesHigh = (const uint8_t*)High;
        }
    }
    return Obj->TablesLow != nullptr && Obj->NumCode > 0;
}

// dl_iterate_phdr's callback: marks the object seen, noting it first when
// it is new.
int NoteObject(dl_phdr_info* Info, size_t, void*) {
    Object Obj;
    if (!ReadLayout(Info, &Obj)) return 0;
    int Count = NumSlots.load(std::memory_order_relaxed);
    for (int i = 0; i < Count; i++) {
        Slot& S = Slots[i];
        if (!S.Gone.load(std::memory_order_relaxed) && S.Obj.Bias == Obj.Bias &&
            S.Obj.Hdr == Obj.Hdr) {
            S.SeenIn = Pass;
            return 0;
        }
    }
    if (Count == kMaxObjects) return 0; // full: the chain stops where this object's code is met
    Slots[Count].Obj = Obj;
    Slots[Count].SeenIn = Pass;
    NumSlots.store(Count + 1, std::memory_order_release);
    return 0;
}

// The live object whose code holds Pc, or null.
const Object* ObjectAt(uintptr_t Pc) {
    int Count = NumSlots.load(std::memory_order_acquire);
    for (int i = 0; i < Count; i++) {
        if (Slots[i].Gone.load(std::memory_order_acquire)) continue;
        const Object& Obj = Slots[i].Obj;
        for (int c = 0; c < Obj.NumCode; c++)
            if (Pc >= Obj.CodeLow[c] && Pc < Obj.CodeHigh[c]) return &Obj;
    }
    return nullptr;
}

// ---- Reading -------------------------------------------------------------

// A cursor over unwind table bytes that cannot leave its range: a read past
// the end gives 0 and clears Ok, so that a parser checks Ok once at the end.
struct Reader {
    const uint8_t* Pos;
    const uint8_t* End;
    bool Ok;

    void Take(void* Out, size_t Size) {
        if (!Ok || (size_t)(End - Pos) < Size) {
            Ok = false;
            memset(Out, 0, Size);
            return;
        }
        memcpy(Out, Pos, Size);
        Pos += Size;
    }
    template <class T> T Get() {
        T Value;
        Take(&Value, sizeof Value);
        return Value;
    }
    uint8_t Byte() { return Get<uint8_t>(); }
    bool AtEnd() const { return !Ok || Pos >= End; }

    uint64_t Uleb() {
        uint64_t Value = 0;
        for (unsigned Shift = 0; Ok; Shift += 7) {
            uint8_t b = Byte();
            if (Shift < 64) Value |= (uint64_t)(b & 0x7f) << Shift;
            if (!(b & 0x80)) break;
        }
        return Value;
    }
    int64_t Sleb() {
        uint64_t Value = 0;
        unsigned Shift = 0;
        uint8_t b;
        do {
            b = Byte();
            if (Shift < 64) Value |= (uint64_t)(b & 0x7f) << Shift;
            Shift += 7;
        } while ((b & 0x80) && Ok);
        if ((b & 0x40) && Shift < 64) Value |= ~(uint64_t)0 << Shift; // the sign
        return (int64_t)Value;
    }

    // The next Size bytes as a reader of their own; this one skips them.
    Reader Sub(uint64_t Size) {
        Reader Part = {Pos, Pos, Ok && Size <= (uint64_t)(End - Pos)};
        if (!Part.Ok)
            Ok = false;
        else
            Part.End = Pos += Size;
        return Part;
    }
};

// The object's tables from At to the end of their segment.
Reader TablesAt(const Object& Obj, uintptr_t At) {
    const uint8_t* p = (const uint8_t*)At;
    bool Inside = p >= Obj.TablesLow && p < Obj.TablesHigh;
    return Reader{Inside ? p : Obj.TablesHigh, Obj.TablesHigh, Inside};
}

// The stack the walk may read: [Low, High).
struct Bounds {
    uintptr_t Low, High;
};

// A word of the stack, when it lies inside the bounds. Stack memory is not
// the sanitizers' to judge here: the walk reads other frames' slots.
__attribute__((no_sanitize("address", "undefined"))) bool
ReadStack(const Bounds& Stack, uintptr_t At, uintptr_t* Value) {
    if (At < Stack.Low || At > Stack.High || Stack.High - At < sizeof(uintptr_t)) return false;
    memcpy(Value, (const void*)At, sizeof *Value);
    return true;
}

// DW_EH_PE pointer encodings: the low four bits give the format, the next
// three what the value counts from.
constexpr uint8_t kPeAbsptr = 0x00, kPeUleb = 0x01, kPeUdata2 = 0x02, kPeUdata4 = 0x03,
                  kPeUdata8 = 0x04, kPeSleb = 0x09, kPeSdata2 = 0x0a, kPeSdata4 = 0x0b,
                  kPeSdata8 = 0x0c;
constexpr uint8_t kPePcrel = 0x10, kPeDatarel = 0x30, kPeOmit = 0xff;

// The size of a fixed-size format, 0 for the variable ones.
size_t FixedSize(uint8_t Encoding) {
    switch (Encoding & 0x0f) {
    case kPeAbsptr:
        return sizeof(uintptr_t);
    case kPeUdata2:
    case kPeSdata2:
        return 2;
    case kPeUdata4:
    case kPeSdata4:
        return 4;
    case kPeUdata8:
    case kPeSdata8:
        return 8;
    default:
        return 0;
    }
}

// A pointer in Encoding. Datarel counts from DataBase (.eh_frame_hdr, the
// only place where it is used); textrel, funcrel, aligned and indirect
// pointers are never needed by the walk and fail.
uintptr_t ReadEncoded(Reader& R, uint8_t Encoding, uintptr_t DataBase) {
    uintptr_t Here = (uintptr_t)R.Pos;
    uint64_t Value = 0;
    switch (Encoding & 0x0f) {
    case kPeAbsptr:
        Value = R.Get<uintptr_t>();
        break;
    case kPeUleb:
        Value = R.Uleb();
        break;
    case kPeUdata2:
        Value = R.Get<uint16_t>();
        break;
    case kPeUdata4:
        Value = R.Get<uint32_t>();
        break;
    case kPeUdata8:
        Value = R.Get<uint64_t>();
        break;
    case kPeSleb:
        Value = (uint64_t)R.Sleb();
        break;
    case kPeSdata2:
        Value = (uint64_t)(int64_t)R.Get<int16_t>();
        break;
    case kPeSdata4:
        Value = (uint64_t)(int64_t)R.Get<int32_t>();
        break;
    case kPeSdata8:
        Value = R.Get<uint64_t>();
        break;
    default:
        R.Ok = false;
    }
    switch (Encoding & 0xf0) {
    case 0:
        break;
    case kPePcrel:
        Value += Here;
        break;
    case kPeDatarel:
        if (DataBase != 0) {
            Value += DataBase;
            break;
        }
        [[fallthrough]];
    default:
        R.Ok = false;
    }
    return (uintptr_t)Value;
}

// Skips a pointer in Encoding whatever it counts from (a personality
// routine's, which the walk never calls).
void SkipEncoded(Reader& R, uint8_t Encoding) {
    size_t Size = FixedSize(Encoding);
    if (Size != 0)
        R.Sub(Size);
    else if ((Encoding & 0x0f) == kPeUleb)
        R.Uleb();
    else if ((Encoding & 0x0f) == kPeSleb)
        R.Sleb();
    else
        R.Ok = false;
}

// ---- CIEs and FDEs -------------------------------------------------------

// What a CIE says about the FDEs that refer to it.
struct Cie {
    uint64_t CodeAlign;  // the unit of the advance instructions
    int64_t DataAlign;   // the unit of the offset instructions
    uint64_t RaReg;      // the column of the return address
    uint8_t FdeEncoding; // of an FDE's addresses ('R')
    bool HasAugData;     // FDEs carry augmentation data ('z')
    bool SignalFrame;    // a signal trampoline ('S')
    Reader Program;      // the initial instructions
};

struct Fde {
    uintptr_t Begin, End; // the code it covers
    Cie C;
    Reader Program;
};

// The body of the CIE or FDE at At, after its length; a length of 0 ends
// .eh_frame, and 0xffffffff (64-bit records, which .eh_frame does not use)
// is not followed.
bool RecordAt(const Object& Obj, uintptr_t At, Reader* Body) {
    Reader R = TablesAt(Obj, At);
    uint32_t Length = R.Get<uint32_t>();
    if (Length == 0 || Length == 0xffffffff) return false;
    *Body = R.Sub(Length);
    return Body->Ok;
}

// The augmentation data of a CIE whose augmentation string is "z" and the
// letters that follow it: each letter has its data, in order.
bool ReadAugmentation(Reader Data, const char* Letters, Cie* C) {
    C->HasAugData = true;
    for (const char* l = Letters; *l != 0; l++) {
        switch (*l) {
        case 'L': // the encoding of an FDE's LSDA pointer, which is skipped whole
            Data.Byte();
            break;
        case 'P': // the personality routine, never called here
            SkipEncoded(Data, Data.Byte());
            break;
        case 'R':
            C->FdeEncoding = Data.Byte();
            break;
        case 'S':
            C->SignalFrame = true;
            break;
#if defined(__aarch64__)
        case 'B': // return addresses signed with the B key: stripped alike
        case 'G': // a stack with memory tags: nothing for the walk
            break;
#endif
        default:
            return false; // data of an unknown size
        }
    }
    return Data.Ok;
}

bool ParseCie(const Object& Obj, uintptr_t At, Cie* C) {
    Reader R;
    if (!RecordAt(Obj, At, &R) || R.Get<uint32_t>() != 0) return false; // 0: a CIE
    uint8_t Version = R.Byte();
    if (Version != 1 && Version != 3) return false;
    char Augmentation[8];
    size_t n = 0;
    for (char c; (c = (char)R.Byte()) != 0;) {
        if (n == sizeof Augmentation - 1) return false;
        Augmentation[n++] = c;
    }
    Augmentation[n] = 0;
    *C = Cie();
    C->FdeEncoding = kPeAbsptr;
    C->CodeAlign = R.Uleb();
    C->DataAlign = R.Sleb();
    C->RaReg = Version == 1 ? R.Byte() : R.Uleb();
    if (n > 0) {
        if (Augmentation[0] != 'z') return false; // "eh" and other early forms
        if (!ReadAugmentation(R.Sub(R.Uleb()), Augmentation + 1, C)) return false;
    }
    C->Program = R;
    return R.Ok;
}

// The FDE at At: its CIE pointer counts back from the pointer itself.
bool ParseFde(const Object& Obj, uintptr_t At, Fde* F) {
    Reader R;
    if (!RecordAt(Obj, At, &R)) return false;
    uintptr_t PointerAt = (uintptr_t)R.Pos;
    uint32_t CiePointer = R.Get<uint32_t>();
    if (CiePointer == 0 || !ParseCie(Obj, PointerAt - CiePointer, &F->C)) return false;
    F->Begin = ReadEncoded(R, F->C.FdeEncoding, 0);
    F->End = F->Begin + ReadEncoded(R, F->C.FdeEncoding & 0x0f, 0); // a length: format only
    if (F->C.HasAugData) R.Sub(R.Uleb());                           // the LSDA pointer
    F->Program = R;
    return R.Ok;
}

// The FDE that covers Pc, from the object's .eh_frame_hdr: version 1, the
// encodings of the .eh_frame pointer, of the count and of the table, then
// the pointer, the count and the table, pairs of (initial location, FDE
// address) sorted by location.
bool FindFde(const Object& Obj, uintptr_t Pc, Fde* F) {
    uintptr_t Hdr = (uintptr_t)Obj.Hdr;
    Reader R = TablesAt(Obj, Hdr);
    uint8_t Version = R.Byte(), FrameEncoding = R.Byte();
    uint8_t CountEncoding = R.Byte(), TableEncoding = R.Byte();
    if (Version != 1 || CountEncoding == kPeOmit || TableEncoding == kPeOmit) return false;
    SkipEncoded(R, FrameEncoding);
    uint64_t Count = ReadEncoded(R, CountEncoding, Hdr);
    size_t Entry = 2 * FixedSize(TableEncoding);
    if (!R.Ok || Entry == 0 || Count == 0 || Count > (uint64_t)(R.End - R.Pos) / Entry)
        return false;

    // The last entry that starts at or below Pc.
    uintptr_t Table = (uintptr_t)R.Pos;
    uint64_t Low = 0, High = Count;
    while (Low < High) {
        uint64_t Mid = Low + (High - Low) / 2;
        Reader E = TablesAt(Obj, Table + Mid * Entry);
        if (ReadEncoded(E, TableEncoding, Hdr) <= Pc)
            Low = Mid + 1;
        else
            High = Mid;
    }
    if (Low == 0) return false;
    Reader E = TablesAt(Obj, Table + (Low - 1) * Entry);
    ReadEncoded(E, TableEncoding, Hdr);
    uintptr_t At = ReadEncoded(E, TableEncoding, Hdr);
    return E.Ok && ParseFde(Obj, At, F) && Pc >= F->Begin && Pc < F->End;
}

// ---- Rules and CFA programs ----------------------------------------------

// How the caller's value of a register is found.
enum RuleKind : uint8_t {
    Same,      // the register was not changed
    Undefined, // it cannot be had (for the return address: the outermost frame)
    AtCfa,     // saved at CFA + Offset
    IsCfa,     // CFA + Offset
    InReg,     // in register Reg
    AtExpr,    // saved at the address the expression computes from the CFA
    IsExpr,    // the value the expression computes from the CFA
};

struct Rule {
    RuleKind Kind;
    uint64_t Reg;
    int64_t Offset;
    const uint8_t* Expr; // a DWARF block: its length, then its bytes
};

// The rules of one row of the table a CFA program describes: the CFA is
// Reg + Offset (Kind InReg) or given by an expression (IsExpr).
struct Row {
    Rule Cfa;
    Rule Regs[kNumRegs];
    bool SignedReturn; // aarch64: the return address was signed
};

// A row with no rules yet: every register the same, the CFA undefined.
const Row kStartRow = {{Undefined, 0, 0, nullptr}, {}, false};

const int kMaxRemembered = 2; // nested DW_CFA_remember_state; compilers do not nest them

// A CFA program (a CIE's initial instructions or an FDE's) run up to the
// row that holds Target: each instruction changes the current row, Out, or
// begins a new row at a later location.
struct CfaProgram {
    Reader P;
    const Cie& C;
    const Row& Initial; // the row that DW_CFA_restore goes back to: the CIE's
    Row* Out;
    uintptr_t Loc, Target;
    bool Done = false; // the next row begins past Target: Out is the row
    Row Remembered[kMaxRemembered];
    int Depth = 0;

    CfaProgram(Reader P, const Cie& C, const Row& Initial, Row* Out, uintptr_t Loc,
               uintptr_t Target)
        : P(P), C(C), Initial(Initial), Out(Out), Loc(Loc), Target(Target) {}

    bool Run() {
        while (!Done && !P.AtEnd())
            if (!Instruction(P.Byte())) return false;
        return P.Ok;
    }

    void Advance(uint64_t Units) {
        if (Units * C.CodeAlign > Target - Loc)
            Done = true;
        else
            Loc += Units * C.CodeAlign;
    }

    // Rules of registers that are not followed (vector registers) are dropped.
    void Set(uint64_t Reg, RuleKind Kind, int64_t Offset = 0, uint64_t Other = 0) {
        if (Reg < kNumRegs) Out->Regs[Reg] = Rule{Kind, Other, Offset, nullptr};
    }
    void SetExpression(uint64_t Reg, RuleKind Kind) {
        if (Reg < kNumRegs) Out->Regs[Reg] = Rule{Kind, 0, 0, P.Pos};
        P.Sub(P.Uleb());
    }
    void Restore(uint64_t Reg) {
        if (Reg < kNumRegs) Out->Regs[Reg] = Initial.Regs[Reg];
    }
    // An offset in units of the data alignment, wrapping as the unsigned
    // arithmetic of addresses does (the tables are not trusted).
    int64_t Factored(uint64_t Offset) const { return (int64_t)(Offset * (uint64_t)C.DataAlign); }
    int64_t Factored(int64_t Offset) const { return Factored((uint64_t)Offset); }
    // A register, then its factored offset, unsigned or signed: the rule
    // Kind at that offset from the CFA.
    void SetFactored(RuleKind Kind, bool Signed) {
        uint64_t Reg = P.Uleb();
        Set(Reg, Kind, Signed ? Factored(P.Sleb()) : Factored(P.Uleb()));
    }

    bool Instruction(uint8_t Op) {
        uint64_t Reg;
        switch (Op >> 6) { // three instructions carry an operand in the low six bits
        case 1:
            Advance(Op & 0x3f); // DW_CFA_advance_loc
            return true;
        case 2:
            Set(Op & 0x3f, AtCfa, Factored(P.Uleb())); // DW_CFA_offset
            return true;
        case 3:
            Restore(Op & 0x3f); // DW_CFA_restore
            return true;
        }
        switch (Op) {
        case 0x00: // DW_CFA_nop
            break;
        case 0x01: { // DW_CFA_set_loc
            uintptr_t To = ReadEncoded(P, C.FdeEncoding, 0);
            if (To > Target)
                Done = true;
            else
                Loc = To;
            break;
        }
        case 0x02: // DW_CFA_advance_loc1, 2 and 4
            Advance(P.Byte());
            break;
        case 0x03:
            Advance(P.Get<uint16_t>());
            break;
        case 0x04:
            Advance(P.Get<uint32_t>());
            break;
        case 0x05: // DW_CFA_offset_extended
            SetFactored(AtCfa, false);
            break;
        case 0x06: // DW_CFA_restore_extended
            Restore(P.Uleb());
            break;
        case 0x07: // DW_CFA_undefined
            Set(P.Uleb(), Undefined);
            break;
        case 0x08: // DW_CFA_same_value
            Set(P.Uleb(), Same);
            break;
        case 0x09: // DW_CFA_register
            Reg = P.Uleb();
            Set(Reg, InReg, 0, P.Uleb());
            break;
        case 0x0a: // DW_CFA_remember_state: every rule, the CFA's too
            if (Depth == kMaxRemembered) return false;
            Remembered[Depth++] = *Out;
            break;
        case 0x0b: // DW_CFA_restore_state
            if (Depth == 0) return false;
            *Out = Remembered[--Depth];
            break;
        case 0x0c: // DW_CFA_def_cfa
            Reg = P.Uleb();
            Out->Cfa = Rule{InReg, Reg, (int64_t)P.Uleb(), nullptr};
            break;
        case 0x0d: // DW_CFA_def_cfa_register: the offset stays
            Out->Cfa.Kind = InReg;
            Out->Cfa.Reg = P.Uleb();
            break;
        case 0x0e: // DW_CFA_def_cfa_offset: the register stays
            Out->Cfa.Offset = (int64_t)P.Uleb();
            break;
        case 0x0f: // DW_CFA_def_cfa_expression
            Out->Cfa = Rule{IsExpr, 0, 0, P.Pos};
            P.Sub(P.Uleb());
            break;
        case 0x10: // DW_CFA_expression
            SetExpression(P.Uleb(), AtExpr);
            break;
        case 0x11: // DW_CFA_offset_extended_sf
            SetFactored(AtCfa, true);
            break;
        case 0x12: // DW_CFA_def_cfa_sf
            Reg = P.Uleb();
            Out->Cfa = Rule{InReg, Reg, Factored(P.Sleb()), nullptr};
            break;
        case 0x13: // DW_CFA_def_cfa_offset_sf
            Out->Cfa.Offset = Factored(P.Sleb());
            break;
        case 0x14: // DW_CFA_val_offset
            SetFactored(IsCfa, false);
            break;
        case 0x15: // DW_CFA_val_offset_sf
            SetFactored(IsCfa, true);
            break;
        case 0x16: // DW_CFA_val_expression
            SetExpression(P.Uleb(), IsExpr);
            break;
#if defined(__aarch64__)
        case 0x2d: // DW_CFA_AARCH64_negate_ra_state: from here on signed, or no more
            Out->SignedReturn = !Out->SignedReturn;
            break;
#endif
        case 0x2e: // DW_CFA_GNU_args_size: for the exception runtime only
            P.Uleb();
            break;
        case 0x2f: // DW_CFA_GNU_negative_offset_extended
            Reg = P.Uleb();
            Set(Reg, AtCfa, (int64_t)(0 - (uint64_t)Factored(P.Uleb())));
            break;
        default:
            return false;
        }
        return true;
    }
};

// ---- DWARF expressions ---------------------------------------------------

// The operand stack of an expression; an overflow or an underflow clears Ok.
struct Operands {
    uintptr_t Values[16];
    int Depth = 0;
    bool Ok = true;

    void Push(uintptr_t v) {
        if (Depth == 16)
            Ok = false;
        else
            Values[Depth++] = v;
    }
    uintptr_t Pop() {
        if (Depth == 0) Ok = false;
        return Depth == 0 ? 0 : Values[--Depth];
    }
    uintptr_t& Top(int Below = 0) {
        if (Depth <= Below) Ok = false;
        return Values[Depth > Below ? Depth - 1 - Below : 0];
    }
};

// Applies a binary operator; false when Op is none.
bool Binary(uint8_t Op, Operands& S) {
    uintptr_t b = S.Pop(), a = S.Pop(), r;
    intptr_t sa = (intptr_t)a, sb = (intptr_t)b; // the comparisons are signed
    switch (Op) {
    case 0x1a: // DW_OP_and
        r = a & b;
        break;
    case 0x1c: // DW_OP_minus
        r = a - b;
        break;
    case 0x1e: // DW_OP_mul
        r = a * b;
        break;
    case 0x21: // DW_OP_or
        r = a | b;
        break;
    case 0x22: // DW_OP_plus
        r = a + b;
        break;
    case 0x24: // DW_OP_shl
        r = b < 64 ? a << b : 0;
        break;
    case 0x25: // DW_OP_shr
        r = b < 64 ? a >> b : 0;
        break;
    case 0x26: // DW_OP_shra
        r = (uintptr_t)(sa >> (b < 64 ? b : 63));
        break;
    case 0x27: // DW_OP_xor
        r = a ^ b;
        break;
    case 0x29: // DW_OP_eq
        r = sa == sb;
        break;
    case 0x2a: // DW_OP_ge
        r = sa >= sb;
        break;
    case 0x2b: // DW_OP_gt
        r = sa > sb;
        break;
    case 0x2c: // DW_OP_le
        r = sa <= sb;
        break;
    case 0x2d: // DW_OP_lt
        r = sa < sb;
        break;
    case 0x2e: // DW_OP_ne
        r = sa != sb;
        break;
    default:
        return false;
    }
    S.Push(r);
    return true;
}

// The operand of DW_OP_const1u to DW_OP_const8s: 1, 2, 4 or 8 bytes,
// little-endian, each size first unsigned and then signed.
uintptr_t FixedConstant(Reader& E, uint8_t Op) {
    unsigned Size = 1u << ((Op - 0x08) / 2);
    uint64_t Value = 0;
    for (unsigned i = 0; i < Size; i++)
        Value |= (uint64_t)E.Byte() << (8 * i);
    if ((Op & 1) && Size < 8 && (Value >> (8 * Size - 1)) & 1) Value |= ~0ull << (8 * Size);
    return (uintptr_t)Value;
}

// Evaluates the DWARF expression of a CFA rule (the CFA of a PLT entry is
// one: rsp plus 8 or 16 by where rip is in the entry), with Initial pushed
// first when there is one. It reads only registers and the stack.
bool Evaluate(const Object& Obj, const uint8_t* Block, const Frame& F, const Bounds& Stack,
              const uintptr_t* Initial, uintptr_t* Result) {
    Reader B = TablesAt(Obj, (uintptr_t)Block);
    Reader E = B.Sub(B.Uleb());
    Operands S;
    if (Initial != nullptr) S.Push(*Initial);
    uintptr_t v;
    while (!E.AtEnd() && S.Ok) {
        uint8_t Op = E.Byte();
        if (Op >= 0x30 && Op <= 0x4f) { // DW_OP_lit0 to 31
            S.Push(Op - 0x30);
            continue;
        }
        if (Op >= 0x70 && Op <= 0x8f) { // DW_OP_breg0 to 31: a register plus an offset
            if (!RegValue(F, Op - 0x70, &v)) return false;
            S.Push(v + (uintptr_t)E.Sleb());
            continue;
        }
        switch (Op) {
        case 0x06: // DW_OP_deref, of the stack only
            if (!ReadStack(Stack, S.Pop(), &v)) return false;
            S.Push(v);
            break;
        case 0x08: // DW_OP_const1u, then 1s, 2u, 2s, 4u, 4s, 8u and 8s
        case 0x09:
        case 0x0a:
        case 0x0b:
        case 0x0c:
        case 0x0d:
        case 0x0e:
        case 0x0f:
            S.Push(FixedConstant(E, Op));
            break;
        case 0x10: // DW_OP_constu
            S.Push(E.Uleb());
            break;
        case 0x11: // DW_OP_consts
            S.Push((uintptr_t)E.Sleb());
            break;
        case 0x12: // DW_OP_dup
            S.Push(S.Top());
            break;
        case 0x13: // DW_OP_drop
            S.Pop();
            break;
        case 0x14: // DW_OP_over
            S.Push(S.Top(1));
            break;
        case 0x16: // DW_OP_swap
            v = S.Top();
            S.Top() = S.Top(1);
            S.Top(1) = v;
            break;
        case 0x1f: // DW_OP_neg
            S.Top() = -S.Top();
            break;
        case 0x20: // DW_OP_not
            S.Top() = ~S.Top();
            break;
        case 0x23: // DW_OP_plus_uconst
            S.Top() += E.Uleb();
            break;
        case 0x92: { // DW_OP_bregx
            uint64_t Reg = E.Uleb();
            if (!RegValue(F, Reg, &v)) return false;
            S.Push(v + (uintptr_t)E.Sleb());
            break;
        }
        case 0x96: // DW_OP_nop
            break;
        default:
            if (!Binary(Op, S)) return false;
        }
    }
    *Result = S.Pop();
    return E.Ok && S.Ok;
}

// ---- Steps ---------------------------------------------------------------

// The caller's value of a register by its rule; false when a read fails.
// An undefined register stays unknown.
bool Recover(const Object& Obj, const Rule& R, int Reg, const Frame& F, uintptr_t Cfa,
             const Bounds& Stack, Frame* Caller) {
    uintptr_t v = 0, At;
    switch (R.Kind) {
    case Same:
        if (!RegValue(F, Reg, &v)) return true;
        break;
    case Undefined:
        return true;
    case AtCfa:
        if (!ReadStack(Stack, Cfa + R.Offset, &v)) return false;
        break;
    case IsCfa:
        v = Cfa + R.Offset;
        break;
    case InReg:
        if (!RegValue(F, R.Reg, &v)) return true;
        break;
    case AtExpr:
        if (!Evaluate(Obj, R.Expr, F, Stack, &Cfa, &At) || !ReadStack(Stack, At, &v)) return false;
        break;
    case IsExpr:
        if (!Evaluate(Obj, R.Expr, F, Stack, &Cfa, &v)) return false;
        break;
    }
    Caller->Regs[Reg] = v;
    Caller->Known |= 1ull << Reg;
    return true;
}

// Steps from F to its caller. Interrupted: F was stopped at its Pc by a
// signal, rather than having called a routine that returns to its Pc.
bool Step(Frame* F, const Bounds& Stack, bool Interrupted) {
    // A return address follows its call, which may be the last instruction
    // of its routine: the call is what tells where the caller is.
    uintptr_t Where = Interrupted ? F->Pc() : F->Pc() - 1;
    const Object* Obj = ObjectAt(Where);
    Fde D;
    if (Obj == nullptr || !FindFde(*Obj, Where, &D) || D.C.SignalFrame) return false;

    Row Initial = kStartRow, Current;
    if (!CfaProgram(D.C.Program, D.C, kStartRow, &Initial, D.Begin, UINTPTR_MAX).Run())
        return false;
    Current = Initial;
    if (!CfaProgram(D.Program, D.C, Initial, &Current, D.Begin, Where).Run()) return false;

    uintptr_t Cfa;
    if (Current.Cfa.Kind == InReg) {
        if (!RegValue(*F, Current.Cfa.Reg, &Cfa)) return false;
        Cfa += Current.Cfa.Offset;
    } else if (Current.Cfa.Kind != IsExpr ||
               !Evaluate(*Obj, Current.Cfa.Expr, *F, Stack, nullptr, &Cfa)) {
        return false;
    }
    // The CFA is the caller's stack pointer: it lies above this frame's, inside the stack.
    if (Cfa < F->Sp() || Cfa < Stack.Low || Cfa > Stack.High) return false;

    Frame Caller = {};
    for (int r = 0; r < kNumRegs; r++)
        if (!Recover(*Obj, Current.Regs[r], r, *F, Cfa, Stack, &Caller)) return false;
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

} // namespace

void PrepareCallChain(void) {
    std::lock_guard<std::mutex> Hold(PrepareLock);
    Pass++;
    dl_iterate_phdr(NoteObject, nullptr);
    int Count = NumSlots.load(std::memory_order_relaxed);
    for (int i = 0; i < Count; i++)
        if (Slots[i].SeenIn != Pass) Slots[i].Gone.store(true, std::memory_order_release);
}

DWORD CallChain(const void* Context, ULONG_PTR StackLow, ULONG_PTR StackHigh, ULONG_PTR* Returns,
                DWORD Max) {
    if (Context == nullptr || Returns == nullptr) return 0;
    Frame F;
    LoadFrame((const ucontext_t*)Context, &F);
    Bounds Stack = {StackLow, StackHigh};
    DWORD Count = 0;
    for (bool Interrupted = true; Count < Max && Step(&F, Stack, Interrupted); Interrupted = false)
        Returns[Count++] = F.Pc();
    return Count;
}

#else // no unwinder for this system or architecture

void PrepareCallChain(void) {}

DWORD CallChain(const void*, ULONG_PTR, ULONG_PTR, ULONG_PTR*, DWORD) {
    return 0;
}

#endif

} // namespace korval
