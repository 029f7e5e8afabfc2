// unix/ehframe.h - a reader of .eh_frame and .eh_frame_hdr unwind tables over
// a span of bytes: CIEs and FDEs, the CFA program run to the row of an
// address, and the DWARF expressions of its rules.
//
// It reads nothing outside the span it is given and knows nothing of
// signals, stacks or loaded objects: the registers and the memory an
// expression asks for come through a Machine that the caller supplies. It
// takes no lock, allocates nothing and keeps no state, so a signal handler
// may call it; so may a test or a fuzzer, over bytes of its own making.

#ifndef KORVAL_MAPDEBUG_UNIX_EHFRAME_H
#define KORVAL_MAPDEBUG_UNIX_EHFRAME_H

#include <stddef.h>
#include <stdint.h>

namespace korval {
namespace eh {

#if defined(__aarch64__)
// By DWARF number: x0 to x30 (x30 the link register and the return address
// column) and sp; then the pc, which CFA programs do not name.
const int kNumRegs = 33;
const int kSpReg = 31;
const int kPcReg = 32;
#else
// By DWARF number: rax, rdx, rcx, rbx, rsi, rdi, rbp, rsp, r8 to r15, and
// 16, the return address column, which is rip. Other architectures (the
// reader's tests, fuzzing) use the same numbers.
const int kNumRegs = 17;
const int kSpReg = 7;
const int kPcReg = 16;
#endif

// Unwind table bytes: Size bytes at Data, which the program sees at address
// Address (Data itself when the tables are read in place; a test's or a
// fuzzer's buffer may stand for tables elsewhere). Pc-relative pointers count
// from Address.
struct Span {
    const uint8_t* Data;
    size_t Size;
    uintptr_t Address;
};

// A cursor over a span that cannot leave its range: a read past the end gives
// 0 and clears Ok, so that a parser checks Ok once at the end.
struct Reader {
    const uint8_t* Pos;
    const uint8_t* End;
    bool Ok;
    uintptr_t Shift; // the program's address of a byte minus its pointer

    uintptr_t Here() const { return (uintptr_t)Pos + Shift; }
    bool AtEnd() const { return !Ok || Pos >= End; }
    void Take(void* Out, size_t Size);
    template <class T> T Get() {
        T Value;
        Take(&Value, sizeof Value);
        return Value;
    }
    uint8_t Byte() { return Get<uint8_t>(); }
    uint64_t Uleb();
    int64_t Sleb();
    // The next Size bytes as a reader of their own; this one skips them.
    Reader Sub(uint64_t Size);
};

// The span from the program's address At to its end; not Ok when At lies
// outside it.
Reader ReaderAt(const Span& S, uintptr_t At);

// DW_EH_PE pointer encodings: the low four bits give the format, the next
// three what the value counts from.
constexpr uint8_t kPeAbsptr = 0x00, kPeUleb = 0x01, kPeUdata2 = 0x02, kPeUdata4 = 0x03,
                  kPeUdata8 = 0x04, kPeSleb = 0x09, kPeSdata2 = 0x0a, kPeSdata4 = 0x0b,
                  kPeSdata8 = 0x0c;
constexpr uint8_t kPePcrel = 0x10, kPeDatarel = 0x30, kPeOmit = 0xff;

// A pointer in Encoding. Datarel counts from DataBase (.eh_frame_hdr, the
// only place where it is used; 0 where it is not allowed); textrel, funcrel,
// aligned and indirect pointers are never needed and fail.
uintptr_t ReadEncoded(Reader& R, uint8_t Encoding, uintptr_t DataBase);

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

bool ParseCie(const Span& S, uintptr_t At, Cie* C);
// The FDE at At, with its CIE.
bool ParseFde(const Span& S, uintptr_t At, Fde* F);

// The FDE that covers Pc, by binary search in the .eh_frame_hdr at Hdr: its
// table of (initial location, FDE address) sorted by location. The span holds
// both .eh_frame_hdr and .eh_frame.
bool FindFdeInHdr(const Span& S, uintptr_t Hdr, uintptr_t Pc, Fde* F);

// One FDE of a table made from .eh_frame itself, where there is no
// .eh_frame_hdr: sorted by Begin.
struct IndexEntry {
    uintptr_t Begin, At;
};

// The FDE that covers Pc, by binary search in Index.
bool FindFdeInIndex(const Span& S, const IndexEntry* Index, size_t Count, uintptr_t Pc, Fde* F);

// Each FDE of the .eh_frame at EhFrame, to its terminator or the end of the
// span, into Index (at most Max; Index may be null to count them). Returns
// how many there are; FDEs that cover nothing or cannot be read are left
// out. The entries come in the order of .eh_frame, not sorted.
size_t IndexFdes(const Span& S, uintptr_t EhFrame, IndexEntry* Index, size_t Max);

// How the caller's value of a register is found.
enum RuleKind : uint8_t {
    Same,      // the register was not changed
    Undefined, // it cannot be had (for the return address: the outermost frame)
    AtCfa,     // saved at CFA + Offset
    IsCfa,     // CFA + Offset
    InReg,     // in register Reg
    AtExpr,    // saved at the address the expression at Expr computes from the CFA
    IsExpr,    // the value the expression at Expr computes from the CFA
};

struct Rule {
    RuleKind Kind;
    uint64_t Reg;
    int64_t Offset;
    uintptr_t Expr; // a DWARF block, its length then its bytes, at this address
};

// The rules of one row of the table that a CFA program describes: the CFA is
// Reg + Offset (Kind InReg) or given by an expression (IsExpr).
struct Row {
    Rule Cfa;
    Rule Regs[kNumRegs];
    bool SignedReturn; // aarch64: the return address was signed
    uint64_t ArgsSize; // DW_CFA_GNU_args_size, for the exception runtime only
};

// The row of F's table that holds Pc: the CIE's initial instructions, then
// F's up to Pc. False on an unknown or malformed instruction.
bool RunToRow(const Fde& F, uintptr_t Pc, Row* Out);

// What an expression may read: the frame's registers, and memory.
class Machine {
  public:
    virtual bool Reg(uint64_t Number, uintptr_t* Value) const = 0;
    // Size bytes (1 to 8) at At, zero-extended.
    virtual bool Load(uintptr_t At, unsigned Size, uintptr_t* Value) const = 0;

  protected:
    ~Machine() = default;
};

// Evaluates the DWARF expression block at Block, with Initial pushed first
// when there is one. False on an unknown operation, a stack that overflows
// or underflows, a division by zero, a read that M refuses, a block outside
// the span, or more operations than any CFA expression needs.
bool Evaluate(const Span& S, uintptr_t Block, const Machine& M, const uintptr_t* Initial,
              uintptr_t* Result);

} // namespace eh
} // namespace korval

#endif // KORVAL_MAPDEBUG_UNIX_EHFRAME_H
