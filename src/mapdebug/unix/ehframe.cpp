// unix/ehframe.cpp - the reader of .eh_frame unwind tables (see ehframe.h):
// pointer encodings, CIEs and FDEs, the lookup of an address's FDE, CFA
// programs and DWARF expressions.
//
// Every byte is checked before it is read, against the span of the tables;
// every loop is bounded by the bytes it reads or by a count.

#include "ehframe.h"

#include <string.h>

namespace korval {
namespace eh {

// ---- SIGNAL CONTEXT: the whole reader (no locks, no heap, no stdio) ------

void Reader::Take(void* Out, size_t Size) {
    if (!Ok || (size_t)(End - Pos) < Size) {
        Ok = false;
        memset(Out, 0, Size);
        return;
    }
    memcpy(Out, Pos, Size);
    Pos += Size;
}

uint64_t Reader::Uleb() {
    uint64_t Value = 0;
    for (unsigned Shift = 0; Ok; Shift += 7) {
        uint8_t b = Byte();
        if (Shift < 64) Value |= (uint64_t)(b & 0x7f) << Shift;
        if (!(b & 0x80)) break;
    }
    return Value;
}

int64_t Reader::Sleb() {
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

Reader Reader::Sub(uint64_t Size) {
    Reader Part = {Pos, Pos, Ok && Size <= (uint64_t)(End - Pos), Shift};
    if (!Part.Ok)
        Ok = false;
    else
        Part.End = Pos += Size;
    return Part;
}

Reader ReaderAt(const Span& S, uintptr_t At) {
    const uint8_t* End = S.Data + S.Size;
    uintptr_t Offset = At - S.Address; // wraps below the span: then it is too large
    bool Inside = Offset < S.Size;
    return Reader{Inside ? S.Data + Offset : End, End, Inside, S.Address - (uintptr_t)S.Data};
}

namespace {

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

} // namespace

uintptr_t ReadEncoded(Reader& R, uint8_t Encoding, uintptr_t DataBase) {
    uintptr_t Here = R.Here();
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
    case kPeSdata8:
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

// ---- CIEs and FDEs -------------------------------------------------------

namespace {

// The body of the CIE or FDE at At, after its length; a length of 0 ends
// .eh_frame, and 0xffffffff (64-bit records, which .eh_frame does not use)
// is not followed.
bool RecordAt(const Span& S, uintptr_t At, Reader* Body) {
    Reader R = ReaderAt(S, At);
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
        case 'B': // aarch64: return addresses signed with the B key, stripped alike
        case 'G': // aarch64: a stack with memory tags, nothing for the walk
            break;
        default:
            return false; // data of an unknown size
        }
    }
    return Data.Ok;
}

} // namespace

bool ParseCie(const Span& S, uintptr_t At, Cie* C) {
    Reader R;
    if (!RecordAt(S, At, &R) || R.Get<uint32_t>() != 0) return false; // 0: a CIE
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

bool ParseFde(const Span& S, uintptr_t At, Fde* F) {
    Reader R;
    if (!RecordAt(S, At, &R)) return false;
    uintptr_t PointerAt = R.Here(); // the CIE pointer counts back from itself
    uint32_t CiePointer = R.Get<uint32_t>();
    if (CiePointer == 0 || !ParseCie(S, PointerAt - CiePointer, &F->C)) return false;
    F->Begin = ReadEncoded(R, F->C.FdeEncoding, 0);
    F->End = F->Begin + ReadEncoded(R, F->C.FdeEncoding & 0x0f, 0); // a length: format only
    if (F->C.HasAugData) R.Sub(R.Uleb());                           // the LSDA pointer
    F->Program = R;
    return R.Ok;
}

// The .eh_frame_hdr: version 1, the encodings of the .eh_frame pointer, of
// the count and of the table, then the pointer, the count and the table.
bool FindFdeInHdr(const Span& S, uintptr_t Hdr, uintptr_t Pc, Fde* F) {
    Reader R = ReaderAt(S, Hdr);
    uint8_t Version = R.Byte(), FrameEncoding = R.Byte();
    uint8_t CountEncoding = R.Byte(), TableEncoding = R.Byte();
    if (Version != 1 || CountEncoding == kPeOmit || TableEncoding == kPeOmit) return false;
    SkipEncoded(R, FrameEncoding);
    uint64_t Count = ReadEncoded(R, CountEncoding, Hdr);
    size_t Entry = 2 * FixedSize(TableEncoding);
    if (!R.Ok || Entry == 0 || Count == 0 || Count > (uint64_t)(R.End - R.Pos) / Entry)
        return false;

    // The last entry that starts at or below Pc.
    uintptr_t Table = R.Here();
    uint64_t Low = 0, High = Count;
    while (Low < High) {
        uint64_t Mid = Low + (High - Low) / 2;
        Reader E = ReaderAt(S, Table + Mid * Entry);
        if (ReadEncoded(E, TableEncoding, Hdr) <= Pc)
            Low = Mid + 1;
        else
            High = Mid;
    }
    if (Low == 0) return false;
    Reader E = ReaderAt(S, Table + (Low - 1) * Entry);
    ReadEncoded(E, TableEncoding, Hdr);
    uintptr_t At = ReadEncoded(E, TableEncoding, Hdr);
    return E.Ok && ParseFde(S, At, F) && Pc >= F->Begin && Pc < F->End;
}

bool FindFdeInIndex(const Span& S, const IndexEntry* Index, size_t Count, uintptr_t Pc, Fde* F) {
    size_t Low = 0, High = Count;
    while (Low < High) {
        size_t Mid = Low + (High - Low) / 2;
        if (Index[Mid].Begin <= Pc)
            Low = Mid + 1;
        else
            High = Mid;
    }
    return Low > 0 && ParseFde(S, Index[Low - 1].At, F) && Pc >= F->Begin && Pc < F->End;
}

size_t IndexFdes(const Span& S, uintptr_t EhFrame, IndexEntry* Index, size_t Max) {
    size_t Count = 0;
    Reader R = ReaderAt(S, EhFrame);
    while (R.Ok && !R.AtEnd()) {
        uintptr_t At = R.Here();
        uint32_t Length = R.Get<uint32_t>();
        if (Length == 0 || Length == 0xffffffff) break; // the terminator, or 64-bit records
        Reader Body = R.Sub(Length);
        Fde F;
        if (!Body.Ok || Body.Get<uint32_t>() == 0 || !ParseFde(S, At, &F) || F.Begin == F.End)
            continue; // a CIE, or an FDE of nothing
        if (Index != nullptr && Count < Max) Index[Count] = {F.Begin, At};
        Count++;
    }
    return Count;
}

// ---- CFA programs --------------------------------------------------------

namespace {

// A row with no rules yet: every register the same, the CFA undefined.
const Row kStartRow = {{Undefined, 0, 0, 0}, {}, false, 0};

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
        if (C.CodeAlign != 0 && Units > (Target - Loc) / C.CodeAlign)
            Done = true;
        else
            Loc += Units * C.CodeAlign;
    }

    // Rules of registers that are not followed (vector registers) are dropped.
    void Set(uint64_t Reg, RuleKind Kind, int64_t Offset = 0, uint64_t Other = 0) {
        if (Reg < kNumRegs) Out->Regs[Reg] = Rule{Kind, Other, Offset, 0};
    }
    void SetExpression(uint64_t Reg, RuleKind Kind) {
        if (Reg < kNumRegs) Out->Regs[Reg] = Rule{Kind, 0, 0, P.Here()};
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
            Out->Cfa = Rule{InReg, Reg, (int64_t)P.Uleb(), 0};
            break;
        case 0x0d: // DW_CFA_def_cfa_register: the offset stays
            Out->Cfa.Kind = InReg;
            Out->Cfa.Reg = P.Uleb();
            break;
        case 0x0e: // DW_CFA_def_cfa_offset: the register stays
            Out->Cfa.Offset = (int64_t)P.Uleb();
            break;
        case 0x0f: // DW_CFA_def_cfa_expression
            Out->Cfa = Rule{IsExpr, 0, 0, P.Here()};
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
            Out->Cfa = Rule{InReg, Reg, Factored(P.Sleb()), 0};
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
        case 0x2d: // DW_CFA_AARCH64_negate_ra_state: from here on signed, or no more
            Out->SignedReturn = !Out->SignedReturn;
            break;
        case 0x2e: // DW_CFA_GNU_args_size
            Out->ArgsSize = P.Uleb();
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

} // namespace

bool RunToRow(const Fde& F, uintptr_t Pc, Row* Out) {
    Row Initial = kStartRow;
    if (!CfaProgram(F.C.Program, F.C, kStartRow, &Initial, F.Begin, UINTPTR_MAX).Run())
        return false;
    *Out = Initial;
    return CfaProgram(F.Program, F.C, Initial, Out, F.Begin, Pc).Run();
}

// ---- DWARF expressions ---------------------------------------------------

namespace {

const int kStackDepth = 16;
// No CFA expression a compiler or an assembler writes comes near this; a
// table that loops with DW_OP_bra or DW_OP_skip stops here.
const int kMaxOperations = 1000;

// The operand stack of an expression; an overflow or an underflow clears Ok.
struct Operands {
    uintptr_t Values[kStackDepth];
    int Depth = 0;
    bool Ok = true;

    void Push(uintptr_t v) {
        if (Depth == kStackDepth)
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

// Applies a binary operator; false when Op is none, or divides by zero.
bool Binary(uint8_t Op, Operands& S) {
    uintptr_t b = S.Pop(), a = S.Pop(), r;
    intptr_t sa = (intptr_t)a, sb = (intptr_t)b; // the comparisons are signed
    switch (Op) {
    case 0x1a: // DW_OP_and
        r = a & b;
        break;
    case 0x1b: // DW_OP_div, signed; the most negative over -1 wraps
        if (b == 0) return false;
        r = sb == -1 ? 0 - a : (uintptr_t)(sa / sb);
        break;
    case 0x1c: // DW_OP_minus
        r = a - b;
        break;
    case 0x1d: // DW_OP_mod, unsigned
        if (b == 0) return false;
        r = a % b;
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

// Moves E by a branch's offset, which counts from the end of the operand;
// false when that leaves the expression.
bool Branch(Reader& E, const uint8_t* Start, int16_t Offset) {
    if (Offset < 0 ? (size_t)-Offset > (size_t)(E.Pos - Start) : Offset > E.End - E.Pos)
        return false;
    E.Pos += Offset;
    return true;
}

} // namespace

bool Evaluate(const Span& Sp, uintptr_t Block, const Machine& M, const uintptr_t* Initial,
              uintptr_t* Result) {
    Reader B = ReaderAt(Sp, Block);
    Reader E = B.Sub(B.Uleb());
    const uint8_t* Start = E.Pos;
    Operands S;
    if (Initial != nullptr) S.Push(*Initial);
    uintptr_t v;
    for (int Done = 0; !E.AtEnd() && S.Ok; Done++) {
        if (Done == kMaxOperations) return false;
        uint8_t Op = E.Byte();
        if (Op >= 0x30 && Op <= 0x4f) { // DW_OP_lit0 to 31
            S.Push(Op - 0x30);
            continue;
        }
        if (Op >= 0x50 && Op <= 0x6f) { // DW_OP_reg0 to 31: the register's value
            if (!M.Reg(Op - 0x50, &v)) return false;
            S.Push(v);
            continue;
        }
        if (Op >= 0x70 && Op <= 0x8f) { // DW_OP_breg0 to 31: a register plus an offset
            if (!M.Reg(Op - 0x70, &v)) return false;
            S.Push(v + (uintptr_t)E.Sleb());
            continue;
        }
        switch (Op) {
        case 0x03: // DW_OP_addr
            S.Push(E.Get<uintptr_t>());
            break;
        case 0x06: // DW_OP_deref
            if (!M.Load(S.Pop(), sizeof(uintptr_t), &v)) return false;
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
        case 0x15: { // DW_OP_pick
            uint8_t Index = E.Byte();
            if (Index >= kStackDepth) return false;
            S.Push(S.Top(Index));
            break;
        }
        case 0x16: // DW_OP_swap
            v = S.Top();
            S.Top() = S.Top(1);
            S.Top(1) = v;
            break;
        case 0x17: // DW_OP_rot: the top goes third, the second and third up
            v = S.Top();
            S.Top() = S.Top(1);
            S.Top(1) = S.Top(2);
            S.Top(2) = v;
            break;
        case 0x19: // DW_OP_abs
            if ((intptr_t)S.Top() < 0) S.Top() = 0 - S.Top();
            break;
        case 0x1f: // DW_OP_neg
            S.Top() = 0 - S.Top();
            break;
        case 0x20: // DW_OP_not
            S.Top() = ~S.Top();
            break;
        case 0x23: // DW_OP_plus_uconst
            S.Top() += E.Uleb();
            break;
        case 0x28: { // DW_OP_bra: jumps when the top, popped, is not 0
            int16_t Offset = E.Get<int16_t>();
            if (S.Pop() != 0 && S.Ok && !Branch(E, Start, Offset)) return false;
            break;
        }
        case 0x2f: // DW_OP_skip
            if (!Branch(E, Start, E.Get<int16_t>())) return false;
            break;
        case 0x90: // DW_OP_regx
            if (!M.Reg(E.Uleb(), &v)) return false;
            S.Push(v);
            break;
        case 0x92: { // DW_OP_bregx
            uint64_t Reg = E.Uleb();
            if (!M.Reg(Reg, &v)) return false;
            S.Push(v + (uintptr_t)E.Sleb());
            break;
        }
        case 0x94: { // DW_OP_deref_size
            uint8_t Size = E.Byte();
            if (Size == 0 || Size > sizeof(uintptr_t) || !M.Load(S.Pop(), Size, &v)) return false;
            S.Push(v);
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

} // namespace eh
} // namespace korval
