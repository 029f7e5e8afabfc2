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

// Unwind table bytes: size bytes at data, which the program sees at address
// address (data itself when the tables are read in place; a test's or a
// fuzzer's buffer may stand for tables elsewhere). pc-relative pointers count
// from address.
struct Span {
    const uint8_t* data;
    size_t size;
    uintptr_t address;
};

// A cursor over a span that cannot leave its range: a read past the end gives
// 0 and clears ok, so that a parser checks ok once at the end.
struct Reader {
    const uint8_t* pos;
    const uint8_t* end;
    bool ok;
    uintptr_t shift; // the program's address of a byte minus its pointer

    uintptr_t Here() const { return (uintptr_t)pos + shift; }
    bool AtEnd() const { return !ok || pos >= end; }
    void Take(void* out, size_t size);
    template <class T> T Get() {
        T value;
        Take(&value, sizeof value);
        return value;
    }
    uint8_t Byte() { return Get<uint8_t>(); }
    uint64_t Uleb();
    int64_t Sleb();
    // The next size bytes as a reader of their own; this one skips them.
    Reader Sub(uint64_t size);
};

// The span from the program's address at to its end; not ok when at lies
// outside it.
Reader ReaderAt(const Span& s, uintptr_t at);

// DW_EH_PE pointer encodings: the low four bits give the format, the next
// three what the value counts from.
constexpr uint8_t kPeAbsptr = 0x00, kPeUleb = 0x01, kPeUdata2 = 0x02, kPeUdata4 = 0x03,
                  kPeUdata8 = 0x04, kPeSleb = 0x09, kPeSdata2 = 0x0a, kPeSdata4 = 0x0b,
                  kPeSdata8 = 0x0c;
constexpr uint8_t kPePcrel = 0x10, kPeDatarel = 0x30, kPeOmit = 0xff;

// A pointer in encoding. Datarel counts from dataBase (.eh_frame_hdr, the
// only place where it is used; 0 where it is not allowed); textrel, funcrel,
// aligned and indirect pointers are never needed and fail.
uintptr_t ReadEncoded(Reader& r, uint8_t encoding, uintptr_t dataBase);

// What a CIE says about the FDEs that refer to it.
struct Cie {
    uint64_t codeAlign;  // the unit of the advance instructions
    int64_t dataAlign;   // the unit of the offset instructions
    uint64_t raReg;      // the column of the return address
    uint8_t fdeEncoding; // of an FDE's addresses ('R')
    bool hasAugData;     // FDEs carry augmentation data ('z')
    bool signalFrame;    // a signal trampoline ('S')
    Reader program;      // the initial instructions
};

struct Fde {
    uintptr_t begin, end; // the code it covers
    Cie c;
    Reader program;
};

bool ParseCie(const Span& s, uintptr_t at, Cie* c);
// The FDE at `at`, with its CIE.
bool ParseFde(const Span& s, uintptr_t at, Fde* f);

// The FDE that covers pc, by binary search in the .eh_frame_hdr at hdr: its
// table of (initial location, FDE address) sorted by location. The span holds
// both .eh_frame_hdr and .eh_frame.
bool FindFdeInHdr(const Span& s, uintptr_t hdr, uintptr_t pc, Fde* f);

// One FDE of a table made from .eh_frame itself, where there is no
// .eh_frame_hdr: sorted by begin.
struct IndexEntry {
    uintptr_t begin, at;
};

// The FDE that covers pc, by binary search in index.
bool FindFdeInIndex(const Span& s, const IndexEntry* index, size_t count, uintptr_t pc, Fde* f);

// Each FDE of the .eh_frame at ehFrame, to its terminator or the end of the
// span, into index (at most max; index may be null to count them). Returns
// how many there are; FDEs that cover nothing or cannot be read are left
// out. The entries come in the order of .eh_frame, not sorted.
size_t IndexFdes(const Span& s, uintptr_t ehFrame, IndexEntry* index, size_t max);

// How the caller's value of a register is found.
enum RuleKind : uint8_t {
    Same,      // the register was not changed
    Undefined, // it cannot be had (for the return address: the outermost frame)
    AtCfa,     // saved at CFA + offset
    IsCfa,     // CFA + offset
    InReg,     // in register reg
    AtExpr,    // saved at the address the expression at expr computes from the CFA
    IsExpr,    // the value the expression at expr computes from the CFA
};

struct Rule {
    RuleKind kind;
    uint64_t reg;
    int64_t offset;
    uintptr_t expr; // a DWARF block, its length then its bytes, at this address
};

// The rules of one row of the table that a CFA program describes: the CFA is
// reg + offset (kind InReg) or given by an expression (IsExpr).
struct Row {
    Rule cfa;
    Rule regs[kNumRegs];
    bool signedReturn; // aarch64: the return address was signed
    uint64_t argsSize; // DW_CFA_GNU_args_size, for the exception runtime only
};

// The row of F's table that holds pc: the CIE's initial instructions, then
// F's up to pc. False on an unknown or malformed instruction.
bool RunToRow(const Fde& f, uintptr_t pc, Row* out);

// What an expression may read: the frame's registers, and memory.
class Machine {
  public:
    virtual bool Reg(uint64_t number, uintptr_t* value) const = 0;
    // size bytes (1 to 8) at `at`, zero-extended.
    virtual bool Load(uintptr_t at, unsigned size, uintptr_t* value) const = 0;

  protected:
    ~Machine() = default;
};

// Evaluates the DWARF expression block at block, with initial pushed first
// when there is one. False on an unknown operation, a stack that overflows
// or underflows, a division by zero, a read that m refuses, a block outside
// the span, or more operations than any CFA expression needs.
bool Evaluate(const Span& s, uintptr_t block, const Machine& m, const uintptr_t* initial,
              uintptr_t* result);

} // namespace eh
} // namespace korval

#endif // KORVAL_MAPDEBUG_UNIX_EHFRAME_H
