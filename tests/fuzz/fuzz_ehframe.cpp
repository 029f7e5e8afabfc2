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
    explicit FuzzMachine(const eh::Span& s) : s(s) {}
    bool Reg(uint64_t number, uintptr_t* value) const override {
        if (number >= eh::kNumRegs) return false;
        *value = kAt + number * 64;
        return true;
    }
    bool Load(uintptr_t at, unsigned size, uintptr_t* value) const override {
        if (at - s.address >= s.size || s.size - (at - s.address) < size) return false;
        *value = 0;
        memcpy(value, s.data + (at - s.address), size);
        return true;
    }

  private:
    const eh::Span& s;
};

// Runs F's program to pc and evaluates the expressions of the row.
void RunRow(const eh::Span& s, const eh::Fde& f, uintptr_t pc) {
    eh::Row row;
    if (!eh::RunToRow(f, pc, &row)) return;
    FuzzMachine m(s);
    uintptr_t cfa = kAt, value;
    if (row.cfa.kind == eh::IsExpr) eh::Evaluate(s, row.cfa.expr, m, nullptr, &cfa);
    for (const eh::Rule& r : row.regs)
        if (r.kind == eh::AtExpr || r.kind == eh::IsExpr) eh::Evaluate(s, r.expr, m, &cfa, &value);
}

// Looks pc up both ways and checks what comes back.
void LookUp(const eh::Span& s, const eh::IndexEntry* index, size_t count, uintptr_t pc) {
    eh::Fde f;
    if (eh::FindFdeInIndex(s, index, count, pc, &f)) {
        Check(f.begin <= pc && pc < f.end, "the index gave an FDE that does not cover the address");
        RunRow(s, f, pc);
    }
    if (eh::FindFdeInHdr(s, kAt, pc, &f)) {
        Check(f.begin <= pc && pc < f.end,
              "the header gave an FDE that does not cover the address");
        RunRow(s, f, pc);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    eh::Span s = {data, size, kAt};
    eh::IndexEntry index[kMostFdes];
    size_t count = eh::IndexFdes(s, kAt, index, kMostFdes);
    size_t kept = std::min(count, kMostFdes);
    for (size_t i = 0; i < kept; i++) {
        eh::Fde f;
        Check(eh::ParseFde(s, index[i].at, &f) && f.begin == index[i].begin && f.end != f.begin,
              "an indexed FDE reads differently");
    }
    std::sort(index, index + kept,
              [](const eh::IndexEntry& a, const eh::IndexEntry& b) { return a.begin < b.begin; });
    for (size_t i = 0; i < kept && i < 8; i++) {
        eh::Fde f;
        eh::ParseFde(s, index[i].at, &f);
        for (uintptr_t pc : {f.begin, f.begin + (f.end - f.begin) / 2, f.end - 1, f.end})
            LookUp(s, index, kept, pc);
    }
    // Addresses the header's table may name: the input's own span.
    for (uintptr_t pc : {kAt, kAt + size / 2, kAt + size})
        LookUp(s, index, kept, pc);
    return 0;
}
