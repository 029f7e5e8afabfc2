// fuzz_ehframe.cpp - the reader of unwind tables over arbitrary bytes.
//
// The input stands for a segment of tables at a fixed address: an
// .eh_frame_hdr at its start, or an .eh_frame there. Its FDEs are indexed,
// looked up at addresses inside and around each, their CFA programs run to
// those addresses and every expression of the rows evaluated, with
// registers of fixed values and memory that is the input itself. The
// sanitizers catch a read outside the input; the checks, a lookup that
// answers with an FDE that does not cover the address asked, or an index
// that disagrees with the table it was made from.

#include "ehframe.h"

#include "fuzz.h"

#include <algorithm>

using namespace korval;

namespace {

const uintptr_t kAt = 0x10000000; // where the tables stand
const size_t kMostFdes = 32;

// Registers of made-up values; memory is the input, word by word.
class FuzzMachine final : public eh::Machine {
  public:
    explicit FuzzMachine(const eh::Span& S) : S(S) {}
    bool Reg(uint64_t Number, uintptr_t* Value) const override {
        if (Number >= eh::kNumRegs) return false;
        *Value = kAt + Number * 64;
        return true;
    }
    bool Load(uintptr_t At, unsigned Size, uintptr_t* Value) const override {
        if (At - S.Address >= S.Size || S.Size - (At - S.Address) < Size) return false;
        *Value = 0;
        memcpy(Value, S.Data + (At - S.Address), Size);
        return true;
    }

  private:
    const eh::Span& S;
};

// Runs F's program to Pc and evaluates the expressions of the row.
void RunRow(const eh::Span& S, const eh::Fde& F, uintptr_t Pc) {
    eh::Row Row;
    if (!eh::RunToRow(F, Pc, &Row)) return;
    FuzzMachine M(S);
    uintptr_t Cfa = kAt, Value;
    if (Row.Cfa.Kind == eh::IsExpr) eh::Evaluate(S, Row.Cfa.Expr, M, nullptr, &Cfa);
    for (const eh::Rule& R : Row.Regs)
        if (R.Kind == eh::AtExpr || R.Kind == eh::IsExpr) eh::Evaluate(S, R.Expr, M, &Cfa, &Value);
}

// Looks Pc up both ways and checks what comes back.
void LookUp(const eh::Span& S, const eh::IndexEntry* Index, size_t Count, uintptr_t Pc) {
    eh::Fde F;
    if (eh::FindFdeInIndex(S, Index, Count, Pc, &F)) {
        Check(F.Begin <= Pc && Pc < F.End, "the index gave an FDE that does not cover the address");
        RunRow(S, F, Pc);
    }
    if (eh::FindFdeInHdr(S, kAt, Pc, &F)) {
        Check(F.Begin <= Pc && Pc < F.End,
              "the header gave an FDE that does not cover the address");
        RunRow(S, F, Pc);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    eh::Span S = {Data, Size, kAt};
    eh::IndexEntry Index[kMostFdes];
    size_t Count = eh::IndexFdes(S, kAt, Index, kMostFdes);
    size_t Kept = std::min(Count, kMostFdes);
    for (size_t i = 0; i < Kept; i++) {
        eh::Fde F;
        Check(eh::ParseFde(S, Index[i].At, &F) && F.Begin == Index[i].Begin && F.End != F.Begin,
              "an indexed FDE reads differently");
    }
    std::sort(Index, Index + Kept,
              [](const eh::IndexEntry& a, const eh::IndexEntry& b) { return a.Begin < b.Begin; });
    for (size_t i = 0; i < Kept && i < 8; i++) {
        eh::Fde F;
        eh::ParseFde(S, Index[i].At, &F);
        for (uintptr_t Pc : {F.Begin, F.Begin + (F.End - F.Begin) / 2, F.End - 1, F.End})
            LookUp(S, Index, Kept, Pc);
    }
    // Addresses the header's table may name: the input's own span.
    for (uintptr_t Pc : {kAt, kAt + Size / 2, kAt + Size})
        LookUp(S, Index, Kept, Pc);
    return 0;
}
