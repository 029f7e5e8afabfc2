// unwind_test.cpp - the reader of unwind tables over hand-assembled bytes:
// every CFA instruction and every expression operation it accepts, the
// lookups by .eh_frame_hdr and by an index made from .eh_frame, and each
// refusal (bytes outside the span, unknown operations, a stack that
// overflows or underflows, bad encodings). Nothing here depends on the
// architecture: the tables stand at made-up addresses, and register numbers
// stay below 17.

#include "ehframe.h"

#include <gtest/gtest.h>

#include <string.h>

#include <initializer_list>
#include <vector>

using namespace korval;
using Bytes = std::vector<uint8_t>;

namespace {

const uintptr_t kAt = 0x10000;     // where the tables stand
const uintptr_t kCode = 0x400000;  // the code their FDEs cover
const uintptr_t kMemory = 0x80000; // the memory expressions read

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Uleb(uint64_t v) {
    Bytes b;
    do {
        b.push_back((uint8_t)((v & 0x7f) | (v > 0x7f ? 0x80 : 0)));
        v >>= 7;
    } while (v != 0);
    return b;
}

Bytes Sleb(int64_t v) {
    Bytes b;
    for (bool more = true; more;) {
        uint8_t byte = v & 0x7f;
        v >>= 7;
        more = !((v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40)));
        b.push_back(byte | (more ? 0x80 : 0));
    }
    return b;
}

Bytes Le(uint64_t v, int size) {
    Bytes b;
    for (int i = 0; i < size; i++)
        b.push_back((uint8_t)(v >> (8 * i)));
    return b;
}

// A length-prefixed record.
Bytes Record(const Bytes& body) {
    return Le(body.size(), 4) + body;
}

// A CIE "zR" (FDE addresses absolute, 4 bytes) with code alignment 1, data
// alignment -8 and return column 16, or one of the given parts.
struct CieParts {
    Bytes program = {0x0c, 7, 8, 0x90, 1}; // def_cfa r7+8; r16 at cfa-8
    Bytes augmentation = {'z', 'R', 0};
    Bytes augData = {0x03};
    uint8_t version = 1;
};

Bytes Cie(const CieParts& p) {
    return Record(Le(0, 4) + Bytes{p.version} + p.augmentation + Uleb(1) + Sleb(-8) + Bytes{16} +
                  Uleb(p.augData.size()) + p.augData + p.program);
}

// An FDE at offset of the tables whose CIE is at offset 0.
Bytes Fde(size_t offset, uintptr_t begin, uint32_t length, const Bytes& program) {
    return Record(Le(offset + 4, 4) + Le(begin, 4) + Le(length, 4) + Uleb(0) + program);
}

eh::Span SpanOf(const Bytes& b) {
    return {b.data(), b.size(), kAt};
}

// A CIE and an FDE of kCode to kCode + 0x10000 with program.
Bytes OneFde(const Bytes& program, const CieParts& p = CieParts()) {
    Bytes c = Cie(p);
    return c + Fde(c.size(), kCode, 0x10000, program) + Le(0, 4);
}

// The row at kCode + offset of an FDE with program.
bool RowOf(const Bytes& tables, uintptr_t offset, eh::Row* row) {
    eh::Fde f;
    eh::Span s = SpanOf(tables);
    size_t fdeAt = tables[0] + 4; // past the CIE
    return eh::ParseFde(s, kAt + fdeAt, &f) && eh::RunToRow(f, kCode + offset, row);
}

// Registers r hold 0x1000 * (r + 1); memory at kMemory holds words.
class TestMachine final : public eh::Machine {
  public:
    std::vector<uintptr_t> words = {0x1111, 0x2222, 0x3333, 0x4444};
    bool Reg(uint64_t number, uintptr_t* value) const override {
        if (number >= eh::kNumRegs) return false;
        *value = 0x1000 * (number + 1);
        return true;
    }
    bool Load(uintptr_t at, unsigned size, uintptr_t* value) const override {
        size_t length = words.size() * sizeof(uintptr_t);
        if (at < kMemory || at - kMemory > length - size) return false;
        *value = 0;
        memcpy(value, (const char*)words.data() + (at - kMemory), size);
        return true;
    }
};

// ---- CFA programs ----------------------------------------------------------

TEST(Unwind, EveryCfaInstructionGivesItsRule) {
    using K = eh::RuleKind;
    const Bytes kExpr = {2, 0x77, 8}; // breg7 +8
    const struct {
        const char* name;
        Bytes program;
        uintptr_t offset;  // of the address, from the FDE's start
        uint64_t cfaReg;   // for an InReg CFA
        int64_t cfaOffset; //
        int reg;           // a register whose rule is checked, -1 none
        K kind;            //   its rule
        int64_t value;     //   its offset, or its register for InReg
    } kCases[] = {
        {"the CIE's row", {}, 0, 7, 8, 16, K::AtCfa, -8},
        {"nop", {0x00, 0x00}, 0, 7, 8, 16, K::AtCfa, -8},
        {"advance_loc, before", {0x41, 0x0e, 16}, 0, 7, 8, -1, K::Same, 0},
        {"advance_loc, after", {0x41, 0x0e, 16}, 1, 7, 16, -1, K::Same, 0},
        {"advance_loc1", {0x02, 0x80, 0x0e, 16}, 0x80, 7, 16, -1, K::Same, 0},
        {"advance_loc1, before", {0x02, 0x80, 0x0e, 16}, 0x7f, 7, 8, -1, K::Same, 0},
        {"advance_loc2", Bytes{0x03} + Le(0x1234, 2) + Bytes{0x0e, 16}, 0x1234, 7, 16, -1, K::Same,
         0},
        {"advance_loc4", Bytes{0x04} + Le(0x5678, 4) + Bytes{0x0e, 16}, 0x5678, 7, 16, -1, K::Same,
         0},
        {"advance_loc4 past the address", Bytes{0x04} + Le(0xffffffff, 4) + Bytes{0x0e, 16}, 0x5678,
         7, 8, -1, K::Same, 0},
        {"set_loc", Bytes{0x01} + Le(kCode + 0x40, 4) + Bytes{0x0e, 16}, 0x40, 7, 16, -1, K::Same,
         0},
        {"set_loc past the address", Bytes{0x01} + Le(kCode + 0x40, 4) + Bytes{0x0e, 16}, 0x3f, 7,
         8, -1, K::Same, 0},
        {"offset", {0x83, 2}, 0, 7, 8, 3, K::AtCfa, -16},
        {"offset_extended", {0x05, 3, 2}, 0, 7, 8, 3, K::AtCfa, -16},
        {"offset_extended_sf", Bytes{0x11, 3} + Sleb(-2), 0, 7, 8, 3, K::AtCfa, 16},
        {"GNU_negative_offset_extended", {0x2f, 3, 2}, 0, 7, 8, 3, K::AtCfa, 16},
        {"restore", {0x90, 2, 0xd0}, 0, 7, 8, 16, K::AtCfa, -8},
        {"restore of a register the CIE leaves", {0x83, 2, 0xc3}, 0, 7, 8, 3, K::Same, 0},
        {"restore_extended", {0x90, 2, 0x06, 16}, 0, 7, 8, 16, K::AtCfa, -8},
        {"undefined", {0x07, 16}, 0, 7, 8, 16, K::Undefined, 0},
        {"same_value", {0x83, 2, 0x08, 3}, 0, 7, 8, 3, K::Same, 0},
        {"register", {0x09, 3, 5}, 0, 7, 8, 3, K::InReg, 5},
        {"val_offset", {0x14, 3, 2}, 0, 7, 8, 3, K::IsCfa, -16},
        {"val_offset_sf", Bytes{0x15, 3} + Sleb(-2), 0, 7, 8, 3, K::IsCfa, 16},
        {"def_cfa", {0x0c, 6, 16}, 0, 6, 16, -1, K::Same, 0},
        {"def_cfa_sf", Bytes{0x12, 6} + Sleb(-2), 0, 6, 16, -1, K::Same, 0},
        {"def_cfa_register", {0x0d, 6}, 0, 6, 8, -1, K::Same, 0},
        {"def_cfa_offset", {0x0e, 24}, 0, 7, 24, -1, K::Same, 0},
        {"def_cfa_offset_sf", Bytes{0x13} + Sleb(-3), 0, 7, 24, -1, K::Same, 0},
        {"remember_state, restore_state", {0x0a, 0x0e, 32, 0x83, 2, 0x0b}, 0, 7, 8, 3, K::Same, 0},
        {"restore_state at a later row", {0x0a, 0x0e, 32, 0x41, 0x0b}, 0, 7, 32, -1, K::Same, 0},
        {"nested remember_state", {0x0a, 0x0e, 16, 0x0a, 0x0e, 32, 0x0b}, 0, 7, 16, -1, K::Same, 0},
        {"a register not followed", {0x05, 100, 2}, 0, 7, 8, 16, K::AtCfa, -8},
        {"expression", Bytes{0x10, 3} + kExpr, 0, 7, 8, 3, K::AtExpr, 0},
        {"val_expression", Bytes{0x16, 3} + kExpr, 0, 7, 8, 3, K::IsExpr, 0},
    };
    for (const auto& Case : kCases) {
        eh::Row row;
        ASSERT_TRUE(RowOf(OneFde(Case.program), Case.offset, &row)) << Case.name;
        EXPECT_EQ(row.cfa.kind, K::InReg) << Case.name;
        EXPECT_EQ(row.cfa.reg, Case.cfaReg) << Case.name;
        EXPECT_EQ(row.cfa.offset, Case.cfaOffset) << Case.name;
        if (Case.reg < 0) continue;
        const eh::Rule& r = row.regs[Case.reg];
        EXPECT_EQ(r.kind, Case.kind) << Case.name;
        if (Case.kind == K::InReg)
            EXPECT_EQ(r.reg, (uint64_t)Case.value) << Case.name;
        else
            EXPECT_EQ(r.offset, Case.value) << Case.name;
    }
}

// The expressions of a row's rules are found where the program holds them.
TEST(Unwind, RulesOfExpressionsEvaluateFromTheTables) {
    const Bytes kBreg7 = {2, 0x77, 8}, kPlus16 = {2, 0x23, 16};
    const struct {
        const char* name;
        Bytes program;
        int reg; // -1: the CFA
        eh::RuleKind kind;
        uintptr_t want;
    } kCases[] = {
        {"def_cfa_expression", Bytes{0x0f} + kBreg7, -1, eh::IsExpr, 0x8000 + 8},
        {"expression, from the CFA", Bytes{0x10, 3} + kPlus16, 3, eh::AtExpr, 0x100 + 16},
        {"val_expression, from the CFA", Bytes{0x16, 3} + kPlus16, 3, eh::IsExpr, 0x100 + 16},
    };
    TestMachine m;
    for (const auto& Case : kCases) {
        Bytes tables = OneFde(Case.program);
        eh::Row row;
        ASSERT_TRUE(RowOf(tables, 0, &row)) << Case.name;
        const eh::Rule& r = Case.reg < 0 ? row.cfa : row.regs[Case.reg];
        EXPECT_EQ(r.kind, Case.kind) << Case.name;
        uintptr_t cfa = 0x100, value = 0;
        ASSERT_TRUE(eh::Evaluate(SpanOf(tables), r.expr, m, Case.reg < 0 ? nullptr : &cfa, &value))
            << Case.name;
        EXPECT_EQ(value, Case.want) << Case.name;
    }
}

TEST(Unwind, CfaProgramsOfOtherKindsOrPastTheirBytesAreRefused) {
    const struct {
        const char* name;
        Bytes program;
    } kCases[] = {
        {"an unknown instruction", {0x20}},
        {"restore_state with nothing remembered", {0x0b}},
        {"remember_state nested too deep", {0x0a, 0x0a, 0x0a, 0x0a, 0x0a}},
        {"an operand past the end", {0x02}},
        {"a ULEB128 past the end", {0x0e, 0x80}},
        {"an expression past the end", {0x0f, 9, 0x77}},
    };
    for (const auto& Case : kCases) {
        eh::Row row;
        EXPECT_FALSE(RowOf(OneFde(Case.program), 0, &row)) << Case.name;
    }
    CieParts bad;
    bad.program = {0x0b};
    eh::Row row;
    EXPECT_FALSE(RowOf(OneFde({}, bad), 0, &row)) << "a CIE program refused";
}

TEST(Unwind, NegateRaStateAndArgsSizeAreNoted) {
    eh::Row row;
    ASSERT_TRUE(RowOf(OneFde({0x2d, 0x2e, 48}), 0, &row));
    EXPECT_TRUE(row.signedReturn);
    EXPECT_EQ(row.argsSize, 48u);
    ASSERT_TRUE(RowOf(OneFde({0x2d, 0x2d}), 0, &row));
    EXPECT_FALSE(row.signedReturn);
}

// ---- CIEs, FDEs and pointer encodings ----------------------------------------

TEST(Unwind, CiesAreReadOrRefusedByTheirHeader) {
    const struct {
        const char* name;
        Bytes augmentation, augData;
        uint8_t version;
        bool ok, signal;
    } kCases[] = {
        {"zR", {'z', 'R', 0}, {0x03}, 1, true, false},
        {"version 3", {'z', 'R', 0}, {0x03}, 3, true, false},
        {"no augmentation", {0}, {}, 1, true, false},
        {"zPLR, personality skipped",
         {'z', 'P', 'L', 'R', 0},
         Bytes{0x03} + Le(0, 4) + Bytes{0x1b, 0x03},
         1,
         true,
         false},
        {"zPR, ULEB128 personality",
         {'z', 'P', 'R', 0},
         Bytes{0x01} + Uleb(300) + Bytes{0x03},
         1,
         true,
         false},
        {"zPR, SLEB128 personality",
         {'z', 'P', 'R', 0},
         Bytes{0x09} + Sleb(-300) + Bytes{0x03},
         1,
         true,
         false},
        {"zRS, a signal frame", {'z', 'R', 'S', 0}, {0x03}, 1, true, true},
        {"zRB, B key", {'z', 'R', 'B', 0}, {0x03}, 1, true, false},
        {"zRG, tagged stack", {'z', 'R', 'G', 0}, {0x03}, 1, true, false},
        {"version 2", {'z', 'R', 0}, {0x03}, 2, false, false},
        {"an early form", {'e', 'h', 0}, {}, 1, false, false},
        {"an unknown letter", {'z', 'X', 0}, {0x03}, 1, false, false},
        {"a personality of an unknown format", {'z', 'P', 0}, {0x05}, 1, false, false},
        {"augmentation data too short", {'z', 'P', 'R', 0}, {0x03, 0, 0}, 1, false, false},
        {"augmentation string too long",
         {'z', 'R', 'R', 'R', 'R', 'R', 'R', 'R', 0},
         {3, 3, 3, 3, 3, 3, 3},
         1,
         false,
         false},
    };
    for (const auto& Case : kCases) {
        CieParts p;
        p.augmentation = Case.augmentation;
        p.augData = Case.augData;
        p.version = Case.version;
        Bytes tables = Cie(p);
        if (Case.augmentation.size() == 1) // no 'z': no augmentation data either
            tables = Record(Le(0, 4) + Bytes{1, 0} + Uleb(1) + Sleb(-8) + Bytes{16} + p.program);
        eh::Cie c;
        EXPECT_EQ(eh::ParseCie(SpanOf(tables), kAt, &c), Case.ok) << Case.name;
        if (Case.ok) {
            EXPECT_EQ(c.signalFrame, Case.signal) << Case.name;
            EXPECT_EQ(c.raReg, 16u) << Case.name;
            EXPECT_EQ(c.dataAlign, -8) << Case.name;
        }
    }
}

TEST(Unwind, RecordsOutsideTheSpanOrOfOtherKindsAreRefused) {
    Bytes good = OneFde({});
    size_t fdeAt = good[0] + 4;
    Bytes pointsAtItself = good, huge = good, zero = good, Long = good;
    pointsAtItself[fdeAt + 4] = 4; // the FDE's CIE pointer names the FDE itself
    huge[fdeAt] = 0xff, huge[fdeAt + 1] = 0xff, huge[fdeAt + 2] = 0xff, huge[fdeAt + 3] = 0xff;
    zero[fdeAt + 4] = zero[fdeAt + 5] = 0; // CIE pointer 0: a CIE
    Long[fdeAt] = 0x7f;                    // longer than the span
    const struct {
        const char* name;
        Bytes tables;
        uintptr_t at;
        bool ok;
    } kCases[] = {
        {"the FDE", good, kAt + fdeAt, true},
        {"a CIE read as an FDE", good, kAt, false},
        {"an FDE whose CIE pointer names an FDE", pointsAtItself, kAt + fdeAt, false},
        {"a 64-bit record", huge, kAt + fdeAt, false},
        {"a record past the span", Long, kAt + fdeAt, false},
        {"a CIE pointer of 0", zero, kAt + fdeAt, false},
        {"the terminator", good, kAt + good.size() - 4, false},
        {"below the span", good, kAt - 4, false},
        {"past the span", good, kAt + good.size(), false},
        {"a truncated span", Bytes(good.begin(), good.begin() + fdeAt + 6), kAt + fdeAt, false},
    };
    for (const auto& Case : kCases) {
        eh::Fde f;
        EXPECT_EQ(eh::ParseFde(SpanOf(Case.tables), Case.at, &f), Case.ok) << Case.name;
        if (Case.ok) {
            EXPECT_EQ(f.begin, kCode);
            EXPECT_EQ(f.end, kCode + 0x10000);
        }
    }
}

TEST(Unwind, PointersAreReadInEachEncoding) {
    const uintptr_t kBase = 0x5000;
    const struct {
        uint8_t encoding;
        Bytes in;
        uintptr_t dataBase;
        bool ok;
        uintptr_t want; // kAt stands for the pointer's own address
    } kCases[] = {
        {eh::kPeAbsptr, Le(0x123456789a, sizeof(uintptr_t)), 0, true, (uintptr_t)0x123456789a},
        {eh::kPeUleb, Uleb(300), 0, true, 300},
        {eh::kPeUdata2, Le(0xfffe, 2), 0, true, 0xfffe},
        {eh::kPeUdata4, Le(0xfffffffe, 4), 0, true, 0xfffffffe},
        {eh::kPeUdata8, Le(0x1122334455667788, 8), 0, true, (uintptr_t)0x1122334455667788},
        {eh::kPeSleb, Sleb(-300), 0, true, (uintptr_t)-300},
        {eh::kPeSdata2, Le(0xfffe, 2), 0, true, (uintptr_t)-2},
        {eh::kPeSdata4, Le(0xfffffffe, 4), 0, true, (uintptr_t)-2},
        {eh::kPeSdata8, Le((uint64_t)-2, 8), 0, true, (uintptr_t)-2},
        {eh::kPePcrel | eh::kPeSdata4, Le((uint32_t)-16, 4), 0, true, kAt - 16},
        {eh::kPeDatarel | eh::kPeSdata4, Le(16, 4), kBase, true, kBase + 16},
        {eh::kPeDatarel | eh::kPeSdata4, Le(16, 4), 0, false, 0},
        {0x20 | eh::kPeSdata4, Le(16, 4), 0, false, 0}, // textrel
        {0x80 | eh::kPeSdata4, Le(16, 4), 0, false, 0}, // indirect
        {0x05, Le(16, 4), 0, false, 0},                 // no such format
        {eh::kPeUdata4, Le(16, 3), 0, false, 0},        // past the span
        {eh::kPeUleb, {0x80, 0x80}, 0, false, 0},       // past the span
    };
    for (const auto& Case : kCases) {
        eh::Reader r = eh::ReaderAt(SpanOf(Case.in), kAt);
        uintptr_t got = eh::ReadEncoded(r, Case.encoding, Case.dataBase);
        EXPECT_EQ(r.ok, Case.ok) << "encoding " << (int)Case.encoding;
        if (Case.ok) {
            EXPECT_EQ(got, Case.want) << "encoding " << (int)Case.encoding;
        }
    }
}

// ---- Lookups -----------------------------------------------------------------

// An .eh_frame_hdr of two FDEs with a gap between them, then the .eh_frame:
// [kCode, +0x100) and [kCode + 0x200, +0x100).
Bytes HeaderAndFrames(uint8_t version = 1, uint8_t countEncoding = 0x03,
                      uint8_t tableEncoding = 0x3b, uint32_t count = 2) {
    const size_t kHdrSize = 4 + 4 + 4 + 2 * 8;
    Bytes c = Cie(CieParts());
    size_t fde1 = kHdrSize + c.size();
    Bytes f1 = Fde(fde1 - kHdrSize, kCode, 0x100, {});
    size_t fde2 = fde1 + f1.size();
    Bytes f2 = Fde(fde2 - kHdrSize, kCode + 0x200, 0x100, {0x41, 0x0e, 16});
    // Table entries count from the header (datarel).
    Bytes hdr = Bytes{version, 0x1b, countEncoding, tableEncoding} + Le(kHdrSize - 4, 4) +
                Le(count, 4) + Le(kCode - kAt, 4) + Le(fde1, 4) + Le(kCode + 0x200 - kAt, 4) +
                Le(fde2, 4);
    return hdr + c + f1 + f2 + Le(0, 4);
}

TEST(Unwind, LookupsByHeaderAndByIndexAgree) {
    Bytes tables = HeaderAndFrames();
    eh::Span s = SpanOf(tables);
    const size_t kFrames = 4 + 4 + 4 + 2 * 8;
    eh::IndexEntry index[4];
    ASSERT_EQ(eh::IndexFdes(s, kAt + kFrames, index, 4), 2u);
    EXPECT_EQ(eh::IndexFdes(s, kAt + kFrames, nullptr, 0), 2u);
    EXPECT_EQ(index[0].begin, kCode);
    EXPECT_EQ(index[1].begin, kCode + 0x200);
    const struct {
        uintptr_t pc;
        bool found;
        uintptr_t begin;
    } kCases[] = {
        {kCode - 1, false, 0},
        {kCode, true, kCode},
        {kCode + 0xff, true, kCode},
        {kCode + 0x100, false, 0},
        {kCode + 0x200, true, kCode + 0x200},
        {kCode + 0x2ff, true, kCode + 0x200},
        {kCode + 0x300, false, 0},
    };
    for (const auto& Case : kCases) {
        eh::Fde byHeader, byIndex;
        EXPECT_EQ(eh::FindFdeInHdr(s, kAt, Case.pc, &byHeader), Case.found) << std::hex << Case.pc;
        EXPECT_EQ(eh::FindFdeInIndex(s, index, 2, Case.pc, &byIndex), Case.found)
            << std::hex << Case.pc;
        if (!Case.found) continue;
        EXPECT_EQ(byHeader.begin, Case.begin);
        EXPECT_EQ(byIndex.begin, Case.begin);
    }
    // Room for one: the count is still two.
    EXPECT_EQ(eh::IndexFdes(s, kAt + kFrames, index, 1), 2u);
}

TEST(Unwind, HeadersOfOtherFormsAreRefused) {
    const struct {
        const char* name;
        Bytes tables;
    } kCases[] = {
        {"version 2", HeaderAndFrames(2)},
        {"no count", HeaderAndFrames(1, eh::kPeOmit)},
        {"no table", HeaderAndFrames(1, 0x03, eh::kPeOmit)},
        {"a table of variable size", HeaderAndFrames(1, 0x03, 0x31)},
        {"a count past the table", HeaderAndFrames(1, 0x03, 0x3b, 1000)},
        {"no entries", HeaderAndFrames(1, 0x03, 0x3b, 0)},
        {"a header past the span", Bytes{1, 0x1b}},
    };
    for (const auto& Case : kCases) {
        eh::Fde f;
        EXPECT_FALSE(eh::FindFdeInHdr(SpanOf(Case.tables), kAt, kCode, &f)) << Case.name;
    }
}

TEST(Unwind, AnIndexLeavesOutWhatIsNoFde) {
    Bytes c = Cie(CieParts());
    Bytes empty = Fde(c.size(), kCode, 0, {});
    Bytes good = Fde(c.size() + empty.size(), kCode + 0x10, 0x10, {});
    Bytes tables = c + empty + good + Le(0, 4) + good;
    eh::IndexEntry index[4];
    ASSERT_EQ(eh::IndexFdes(SpanOf(tables), kAt, index, 4), 1u) << "past the terminator";
    EXPECT_EQ(index[0].begin, kCode + 0x10);
    Bytes wide = c + Le(0xffffffff, 4) + good;
    EXPECT_EQ(eh::IndexFdes(SpanOf(wide), kAt, index, 4), 0u) << "a 64-bit record";
    Bytes cut = c + Bytes(good.begin(), good.end() - 1);
    EXPECT_EQ(eh::IndexFdes(SpanOf(cut), kAt, index, 4), 0u) << "a record past the span";
}

// ---- Expressions -------------------------------------------------------------

// Evaluates an expression of the operations ops, with initial pushed first
// unless it is ~0.
bool Eval(const Bytes& ops, uintptr_t* result, uintptr_t initial = ~(uintptr_t)0) {
    Bytes block = Uleb(ops.size()) + ops;
    TestMachine m;
    return eh::Evaluate(SpanOf(block), kAt, m, initial == ~(uintptr_t)0 ? nullptr : &initial,
                        result);
}

TEST(Unwind, EveryExpressionOperationComputes) {
    const uintptr_t kMinus2 = (uintptr_t)-2;
    const struct {
        const char* name;
        Bytes ops;
        uintptr_t want;
    } kCases[] = {
        {"lit0", {0x30}, 0},
        {"lit31", {0x4f}, 31},
        {"addr", Bytes{0x03} + Le(0xabcdef, sizeof(uintptr_t)), 0xabcdef},
        {"const1u", {0x08, 0xff}, 0xff},
        {"const1s", {0x09, 0xfe}, kMinus2},
        {"const2u", Bytes{0x0a} + Le(0xfffe, 2), 0xfffe},
        {"const2s", Bytes{0x0b} + Le(0xfffe, 2), kMinus2},
        {"const4u", Bytes{0x0c} + Le(0xfffffffe, 4), 0xfffffffe},
        {"const4s", Bytes{0x0d} + Le(0xfffffffe, 4), kMinus2},
        {"const8u", Bytes{0x0e} + Le(0x123456789, 8), (uintptr_t)0x123456789},
        {"const8s", Bytes{0x0f} + Le((uint64_t)-2, 8), kMinus2},
        {"constu", Bytes{0x10} + Uleb(1000), 1000},
        {"consts", Bytes{0x11} + Sleb(-1000), (uintptr_t)-1000},
        {"dup", {0x35, 0x12, 0x22}, 10},
        {"drop", {0x31, 0x32, 0x13}, 1},
        {"over", {0x31, 0x32, 0x14}, 1},
        {"pick", {0x31, 0x32, 0x33, 0x15, 2}, 1},
        {"swap", {0x31, 0x32, 0x16}, 1},
        {"rot", {0x31, 0x32, 0x33, 0x17, 0x13, 0x13}, 3},
        {"rot, the top", {0x31, 0x32, 0x33, 0x17}, 2},
        {"abs", Bytes{0x11} + Sleb(-7) + Bytes{0x19}, 7},
        {"abs of a positive", {0x37, 0x19}, 7},
        {"and", {0x36, 0x33, 0x1a}, 2},
        {"div", Bytes{0x11} + Sleb(-9) + Bytes{0x32, 0x1b}, (uintptr_t)-4},
        {"div by -1", Bytes{0x39, 0x11} + Sleb(-1) + Bytes{0x1b}, (uintptr_t)-9},
        {"minus", {0x35, 0x37, 0x1c}, kMinus2},
        {"mod", {0x39, 0x34, 0x1d}, 1},
        {"mul", {0x36, 0x37, 0x1e}, 42},
        {"neg", {0x32, 0x1f}, kMinus2},
        {"not", {0x30, 0x20}, ~(uintptr_t)0},
        {"or", {0x35, 0x32, 0x21}, 7},
        {"plus", {0x35, 0x32, 0x22}, 7},
        {"plus_uconst", Bytes{0x35, 0x23} + Uleb(1000), 1005},
        {"shl", {0x33, 0x34, 0x24}, 48},
        {"shl past the width", Bytes{0x33, 0x10} + Uleb(64) + Bytes{0x24}, 0},
        {"shr", {0x4f, 0x32, 0x25}, 7},
        {"shr past the width", Bytes{0x4f, 0x10} + Uleb(64) + Bytes{0x25}, 0},
        {"shra", Bytes{0x11} + Sleb(-16) + Bytes{0x32, 0x26}, (uintptr_t)-4},
        {"shra past the width", Bytes{0x11} + Sleb(-16) + Bytes{0x10} + Uleb(99) + Bytes{0x26},
         ~(uintptr_t)0},
        {"xor", {0x36, 0x33, 0x27}, 5},
        {"eq", {0x33, 0x33, 0x29}, 1},
        {"ge", Bytes{0x11} + Sleb(-1) + Bytes{0x31, 0x2a}, 0},
        {"gt", {0x32, 0x31, 0x2b}, 1},
        {"le", {0x32, 0x32, 0x2c}, 1},
        {"lt", Bytes{0x11} + Sleb(-1) + Bytes{0x30, 0x2d}, 1},
        {"ne", {0x32, 0x31, 0x2e}, 1},
        {"bra taken", Bytes{0x31, 0x28} + Le(1, 2) + Bytes{0x35, 0x36}, 6},
        {"bra not taken", Bytes{0x30, 0x28} + Le(1, 2) + Bytes{0x35, 0x36, 0x22}, 11},
        {"skip", Bytes{0x2f} + Le(1, 2) + Bytes{0x35, 0x36}, 6},
        {"a loop of bra", Bytes{0x33, 0x31, 0x1c, 0x12, 0x28} + Le((uint16_t)-6, 2), 0},
        {"reg3", {0x53}, 0x4000},
        {"regx", Bytes{0x90} + Uleb(16), 0x11000},
        {"breg7", Bytes{0x77} + Sleb(-8), 0x8000 - 8},
        {"bregx", Bytes{0x92} + Uleb(16) + Sleb(8), 0x11008},
        {"deref", Bytes{0x10} + Uleb(kMemory + 8) + Bytes{0x06}, 0x2222},
        {"deref_size", Bytes{0x10} + Uleb(kMemory + 8) + Bytes{0x94, 1}, 0x22},
        {"nop", {0x31, 0x96}, 1},
    };
    for (const auto& Case : kCases) {
        uintptr_t result = 0;
        EXPECT_TRUE(Eval(Case.ops, &result)) << Case.name;
        EXPECT_EQ(result, Case.want) << Case.name;
    }
    uintptr_t result = 0;
    ASSERT_TRUE(Eval({0x23, 8}, &result, 0x100)) << "from an initial value";
    EXPECT_EQ(result, 0x108u);
}

TEST(Unwind, ExpressionsThatCannotBeEvaluatedAreRefused) {
    Bytes seventeen(17, 0x31);
    const struct {
        const char* name;
        Bytes ops;
    } kCases[] = {
        {"nothing", {}},
        {"an unknown operation", {0x31, 0x99}},
        {"DW_OP_call_frame_cfa, not for CFA rules", {0x9c}},
        {"underflow", {0x13}},
        {"underflow of a binary operation", {0x31, 0x22}},
        {"underflow of swap", {0x31, 0x16}},
        {"underflow of rot", {0x31, 0x32, 0x17}},
        {"pick past the stack", {0x31, 0x15, 1}},
        {"pick past any stack", {0x31, 0x15, 200}},
        {"overflow", seventeen},
        {"div by 0", {0x31, 0x30, 0x1b}},
        {"mod by 0", {0x31, 0x30, 0x1d}},
        {"deref outside memory", {0x30, 0x06}},
        {"deref_size 0", Bytes{0x10} + Uleb(kMemory) + Bytes{0x94, 0}},
        {"deref_size 9", Bytes{0x10} + Uleb(kMemory) + Bytes{0x94, 9}},
        {"an unknown register", Bytes{0x90} + Uleb(200)},
        {"breg of an unknown register", Bytes{0x92} + Uleb(200) + Sleb(0)},
        {"a branch before the start", Bytes{0x31, 0x28} + Le((uint16_t)-10, 2)},
        {"a skip past the end", Bytes{0x2f} + Le(10, 2)},
        {"a loop without end", Bytes{0x2f} + Le((uint16_t)-3, 2)},
        {"an operand past the end", {0x0c, 1, 2}},
    };
    for (const auto& Case : kCases) {
        uintptr_t result;
        EXPECT_FALSE(Eval(Case.ops, &result)) << Case.name;
    }
    // A block longer than the span, and one outside it.
    Bytes block = {10, 0x31};
    TestMachine m;
    uintptr_t result;
    EXPECT_FALSE(eh::Evaluate(SpanOf(block), kAt, m, nullptr, &result));
    EXPECT_FALSE(eh::Evaluate(SpanOf(block), kAt + 2, m, nullptr, &result));
}

} // namespace
