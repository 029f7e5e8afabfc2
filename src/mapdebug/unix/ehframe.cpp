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

void Reader::Take(void* out, size_t size) {
    if (!ok || (size_t)(end - pos) < size) {
        ok = false;
        memset(out, 0, size);
        return;
    }
    memcpy(out, pos, size);
    pos += size;
}

uint64_t Reader::Uleb() {
    uint64_t value = 0;
    for (unsigned shift = 0; ok; shift += 7) {
        uint8_t b = Byte();
        if (shift < 64) value |= (uint64_t)(b & 0x7f) << shift;
        if (!(b & 0x80)) break;
    }
    return value;
}

int64_t Reader::Sleb() {
    uint64_t value = 0;
    unsigned shift = 0;
    uint8_t b;
    do {
        b = Byte();
        if (shift < 64) value |= (uint64_t)(b & 0x7f) << shift;
        shift += 7;
    } while ((b & 0x80) && ok);
    if ((b & 0x40) && shift < 64) value |= ~(uint64_t)0 << shift; // the sign
    return (int64_t)value;
}

Reader Reader::Sub(uint64_t size) {
    Reader part = {pos, pos, ok && size <= (uint64_t)(end - pos), shift};
    if (!part.ok)
        ok = false;
    else
        part.end = pos += size;
    return part;
}

Reader ReaderAt(const Span& s, uintptr_t at) {
    const uint8_t* end = s.data + s.size;
    uintptr_t offset = at - s.address; // wraps below the span: then it is too large
    bool inside = offset < s.size;
    return Reader{inside ? s.data + offset : end, end, inside, s.address - (uintptr_t)s.data};
}

namespace {

// The size of a fixed-size format, 0 for the variable ones.
size_t FixedSize(uint8_t encoding) {
    switch (encoding & 0x0f) {
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

// Skips a pointer in encoding whatever it counts from (a personality
// routine's, which the walk never calls).
void SkipEncoded(Reader& r, uint8_t encoding) {
    size_t size = FixedSize(encoding);
    if (size != 0)
        r.Sub(size);
    else if ((encoding & 0x0f) == kPeUleb)
        r.Uleb();
    else if ((encoding & 0x0f) == kPeSleb)
        r.Sleb();
    else
        r.ok = false;
}

} // namespace

uintptr_t ReadEncoded(Reader& r, uint8_t encoding, uintptr_t dataBase) {
    uintptr_t here = r.Here();
    uint64_t value = 0;
    switch (encoding & 0x0f) {
    case kPeAbsptr:
        value = r.Get<uintptr_t>();
        break;
    case kPeUleb:
        value = r.Uleb();
        break;
    case kPeUdata2:
        value = r.Get<uint16_t>();
        break;
    case kPeUdata4:
        value = r.Get<uint32_t>();
        break;
    case kPeUdata8:
    case kPeSdata8:
        value = r.Get<uint64_t>();
        break;
    case kPeSleb:
        value = (uint64_t)r.Sleb();
        break;
    case kPeSdata2:
        value = (uint64_t)(int64_t)r.Get<int16_t>();
        break;
    case kPeSdata4:
        value = (uint64_t)(int64_t)r.Get<int32_t>();
        break;
    default:
        r.ok = false;
    }
    switch (encoding & 0xf0) {
    case 0:
        break;
    case kPePcrel:
        value += here;
        break;
    case kPeDatarel:
        if (dataBase != 0) {
            value += dataBase;
            break;
        }
        [[fallthrough]];
    default:
        r.ok = false;
    }
    return (uintptr_t)value;
}

// ---- CIEs and FDEs -------------------------------------------------------

namespace {

// The body of the CIE or FDE at `at`, after its length; a length of 0 ends
// .eh_frame, and 0xffffffff (64-bit records, which .eh_frame does not use)
// is not followed.
bool RecordAt(const Span& s, uintptr_t at, Reader* body) {
    Reader r = ReaderAt(s, at);
    uint32_t length = r.Get<uint32_t>();
    if (length == 0 || length == 0xffffffff) return false;
    *body = r.Sub(length);
    return body->ok;
}

// The augmentation data of a CIE whose augmentation string is "z" and the
// letters that follow it: each letter has its data, in order.
bool ReadAugmentation(Reader data, const char* letters, Cie* c) {
    c->hasAugData = true;
    for (const char* l = letters; *l != 0; l++) {
        switch (*l) {
        case 'L': // the encoding of an FDE's LSDA pointer, which is skipped whole
            data.Byte();
            break;
        case 'P': // the personality routine, never called here
            SkipEncoded(data, data.Byte());
            break;
        case 'R':
            c->fdeEncoding = data.Byte();
            break;
        case 'S':
            c->signalFrame = true;
            break;
        case 'B': // aarch64: return addresses signed with the B key, stripped alike
        case 'G': // aarch64: a stack with memory tags, nothing for the walk
            break;
        default:
            return false; // data of an unknown size
        }
    }
    return data.ok;
}

} // namespace

bool ParseCie(const Span& s, uintptr_t at, Cie* c) {
    Reader r;
    if (!RecordAt(s, at, &r) || r.Get<uint32_t>() != 0) return false; // 0: a CIE
    uint8_t version = r.Byte();
    if (version != 1 && version != 3) return false;
    char augmentation[8];
    size_t n = 0;
    for (char c; (c = (char)r.Byte()) != 0;) {
        if (n == sizeof augmentation - 1) return false;
        augmentation[n++] = c;
    }
    augmentation[n] = 0;
    *c = Cie();
    c->fdeEncoding = kPeAbsptr;
    c->codeAlign = r.Uleb();
    c->dataAlign = r.Sleb();
    c->raReg = version == 1 ? r.Byte() : r.Uleb();
    if (n > 0) {
        if (augmentation[0] != 'z') return false; // "eh" and other early forms
        if (!ReadAugmentation(r.Sub(r.Uleb()), augmentation + 1, c)) return false;
    }
    c->program = r;
    return r.ok;
}

bool ParseFde(const Span& s, uintptr_t at, Fde* f) {
    Reader r;
    if (!RecordAt(s, at, &r)) return false;
    uintptr_t pointerAt = r.Here(); // the CIE pointer counts back from itself
    uint32_t ciePointer = r.Get<uint32_t>();
    if (ciePointer == 0 || !ParseCie(s, pointerAt - ciePointer, &f->c)) return false;
    f->begin = ReadEncoded(r, f->c.fdeEncoding, 0);
    f->end = f->begin + ReadEncoded(r, f->c.fdeEncoding & 0x0f, 0); // a length: format only
    if (f->c.hasAugData) r.Sub(r.Uleb());                           // the LSDA pointer
    f->program = r;
    return r.ok;
}

// The .eh_frame_hdr: version 1, the encodings of the .eh_frame pointer, of
// the count and of the table, then the pointer, the count and the table.
bool FindFdeInHdr(const Span& s, uintptr_t hdr, uintptr_t pc, Fde* f) {
    Reader r = ReaderAt(s, hdr);
    uint8_t version = r.Byte(), frameEncoding = r.Byte();
    uint8_t countEncoding = r.Byte(), tableEncoding = r.Byte();
    if (version != 1 || countEncoding == kPeOmit || tableEncoding == kPeOmit) return false;
    SkipEncoded(r, frameEncoding);
    uint64_t count = ReadEncoded(r, countEncoding, hdr);
    size_t entry = 2 * FixedSize(tableEncoding);
    if (!r.ok || entry == 0 || count == 0 || count > (uint64_t)(r.end - r.pos) / entry)
        return false;

    // The last entry that starts at or below pc.
    uintptr_t table = r.Here();
    uint64_t low = 0, high = count;
    while (low < high) {
        uint64_t mid = low + (high - low) / 2;
        Reader e = ReaderAt(s, table + mid * entry);
        if (ReadEncoded(e, tableEncoding, hdr) <= pc)
            low = mid + 1;
        else
            high = mid;
    }
    if (low == 0) return false;
    Reader e = ReaderAt(s, table + (low - 1) * entry);
    ReadEncoded(e, tableEncoding, hdr);
    uintptr_t at = ReadEncoded(e, tableEncoding, hdr);
    return e.ok && ParseFde(s, at, f) && pc >= f->begin && pc < f->end;
}

bool FindFdeInIndex(const Span& s, const IndexEntry* index, size_t count, uintptr_t pc, Fde* f) {
    size_t low = 0, high = count;
    while (low < high) {
        size_t mid = low + (high - low) / 2;
        if (index[mid].begin <= pc)
            low = mid + 1;
        else
            high = mid;
    }
    return low > 0 && ParseFde(s, index[low - 1].at, f) && pc >= f->begin && pc < f->end;
}

size_t IndexFdes(const Span& s, uintptr_t ehFrame, IndexEntry* index, size_t max) {
    size_t count = 0;
    Reader r = ReaderAt(s, ehFrame);
    while (r.ok && !r.AtEnd()) {
        uintptr_t at = r.Here();
        uint32_t length = r.Get<uint32_t>();
        if (length == 0 || length == 0xffffffff) break; // the terminator, or 64-bit records
        Reader body = r.Sub(length);
        Fde f;
        if (!body.ok || body.Get<uint32_t>() == 0 || !ParseFde(s, at, &f) || f.begin == f.end)
            continue; // a CIE, or an FDE of nothing
        if (index != nullptr && count < max) index[count] = {f.begin, at};
        count++;
    }
    return count;
}

// ---- CFA programs --------------------------------------------------------

namespace {

// A row with no rules yet: every register the same, the CFA undefined.
const Row kStartRow = {{Undefined, 0, 0, 0}, {}, false, 0};

const int kMaxRemembered = 2; // nested DW_CFA_remember_state; compilers do not nest them

// A CFA program (a CIE's initial instructions or an FDE's) run up to the
// row that holds target: each instruction changes the current row, out, or
// begins a new row at a later location.
struct CfaProgram {
    Reader p;
    const Cie& c;
    const Row& initial; // the row that DW_CFA_restore goes back to: the CIE's
    Row* out;
    uintptr_t loc, target;
    bool done = false; // the next row begins past target: out is the row
    Row remembered[kMaxRemembered];
    int depth = 0;

    CfaProgram(Reader p, const Cie& c, const Row& initial, Row* out, uintptr_t loc,
               uintptr_t target)
        : p(p), c(c), initial(initial), out(out), loc(loc), target(target) {}

    bool Run() {
        while (!done && !p.AtEnd())
            if (!Instruction(p.Byte())) return false;
        return p.ok;
    }

    void Advance(uint64_t units) {
        if (c.codeAlign != 0 && units > (target - loc) / c.codeAlign)
            done = true;
        else
            loc += units * c.codeAlign;
    }

    // Rules of registers that are not followed (vector registers) are dropped.
    void Set(uint64_t reg, RuleKind kind, int64_t offset = 0, uint64_t other = 0) {
        if (reg < kNumRegs) out->regs[reg] = Rule{kind, other, offset, 0};
    }
    void SetExpression(uint64_t reg, RuleKind kind) {
        if (reg < kNumRegs) out->regs[reg] = Rule{kind, 0, 0, p.Here()};
        p.Sub(p.Uleb());
    }
    void Restore(uint64_t reg) {
        if (reg < kNumRegs) out->regs[reg] = initial.regs[reg];
    }
    // An offset in units of the data alignment, wrapping as the unsigned
    // arithmetic of addresses does (the tables are not trusted).
    int64_t Factored(uint64_t offset) const { return (int64_t)(offset * (uint64_t)c.dataAlign); }
    int64_t Factored(int64_t offset) const { return Factored((uint64_t)offset); }
    // A register, then its factored offset, unsigned or signed: the rule
    // kind at that offset from the CFA.
    void SetFactored(RuleKind kind, bool Signed) {
        uint64_t reg = p.Uleb();
        Set(reg, kind, Signed ? Factored(p.Sleb()) : Factored(p.Uleb()));
    }

    bool Instruction(uint8_t op) {
        uint64_t reg;
        switch (op >> 6) { // three instructions carry an operand in the low six bits
        case 1:
            Advance(op & 0x3f); // DW_CFA_advance_loc
            return true;
        case 2:
            Set(op & 0x3f, AtCfa, Factored(p.Uleb())); // DW_CFA_offset
            return true;
        case 3:
            Restore(op & 0x3f); // DW_CFA_restore
            return true;
        }
        switch (op) {
        case 0x00: // DW_CFA_nop
            break;
        case 0x01: { // DW_CFA_set_loc
            uintptr_t to = ReadEncoded(p, c.fdeEncoding, 0);
            if (to > target)
                done = true;
            else
                loc = to;
            break;
        }
        case 0x02: // DW_CFA_advance_loc1, 2 and 4
            Advance(p.Byte());
            break;
        case 0x03:
            Advance(p.Get<uint16_t>());
            break;
        case 0x04:
            Advance(p.Get<uint32_t>());
            break;
        case 0x05: // DW_CFA_offset_extended
            SetFactored(AtCfa, false);
            break;
        case 0x06: // DW_CFA_restore_extended
            Restore(p.Uleb());
            break;
        case 0x07: // DW_CFA_undefined
            Set(p.Uleb(), Undefined);
            break;
        case 0x08: // DW_CFA_same_value
            Set(p.Uleb(), Same);
            break;
        case 0x09: // DW_CFA_register
            reg = p.Uleb();
            Set(reg, InReg, 0, p.Uleb());
            break;
        case 0x0a: // DW_CFA_remember_state: every rule, the CFA's too
            if (depth == kMaxRemembered) return false;
            remembered[depth++] = *out;
            break;
        case 0x0b: // DW_CFA_restore_state
            if (depth == 0) return false;
            *out = remembered[--depth];
            break;
        case 0x0c: // DW_CFA_def_cfa
            reg = p.Uleb();
            out->cfa = Rule{InReg, reg, (int64_t)p.Uleb(), 0};
            break;
        case 0x0d: // DW_CFA_def_cfa_register: the offset stays
            out->cfa.kind = InReg;
            out->cfa.reg = p.Uleb();
            break;
        case 0x0e: // DW_CFA_def_cfa_offset: the register stays
            out->cfa.offset = (int64_t)p.Uleb();
            break;
        case 0x0f: // DW_CFA_def_cfa_expression
            out->cfa = Rule{IsExpr, 0, 0, p.Here()};
            p.Sub(p.Uleb());
            break;
        case 0x10: // DW_CFA_expression
            SetExpression(p.Uleb(), AtExpr);
            break;
        case 0x11: // DW_CFA_offset_extended_sf
            SetFactored(AtCfa, true);
            break;
        case 0x12: // DW_CFA_def_cfa_sf
            reg = p.Uleb();
            out->cfa = Rule{InReg, reg, Factored(p.Sleb()), 0};
            break;
        case 0x13: // DW_CFA_def_cfa_offset_sf
            out->cfa.offset = Factored(p.Sleb());
            break;
        case 0x14: // DW_CFA_val_offset
            SetFactored(IsCfa, false);
            break;
        case 0x15: // DW_CFA_val_offset_sf
            SetFactored(IsCfa, true);
            break;
        case 0x16: // DW_CFA_val_expression
            SetExpression(p.Uleb(), IsExpr);
            break;
        case 0x2d: // DW_CFA_AARCH64_negate_ra_state: from here on signed, or no more
            out->signedReturn = !out->signedReturn;
            break;
        case 0x2e: // DW_CFA_GNU_args_size
            out->argsSize = p.Uleb();
            break;
        case 0x2f: // DW_CFA_GNU_negative_offset_extended
            reg = p.Uleb();
            Set(reg, AtCfa, (int64_t)(0 - (uint64_t)Factored(p.Uleb())));
            break;
        default:
            return false;
        }
        return true;
    }
};

} // namespace

bool RunToRow(const Fde& f, uintptr_t pc, Row* out) {
    Row initial = kStartRow;
    if (!CfaProgram(f.c.program, f.c, kStartRow, &initial, f.begin, UINTPTR_MAX).Run())
        return false;
    *out = initial;
    return CfaProgram(f.program, f.c, initial, out, f.begin, pc).Run();
}

// ---- DWARF expressions ---------------------------------------------------

namespace {

const int kStackDepth = 16;
// No CFA expression a compiler or an assembler writes comes near this; a
// table that loops with DW_OP_bra or DW_OP_skip stops here.
const int kMaxOperations = 1000;

// The operand stack of an expression; an overflow or an underflow clears ok.
struct Operands {
    uintptr_t values[kStackDepth];
    int depth = 0;
    bool ok = true;

    void Push(uintptr_t v) {
        if (depth == kStackDepth)
            ok = false;
        else
            values[depth++] = v;
    }
    uintptr_t Pop() {
        if (depth == 0) ok = false;
        return depth == 0 ? 0 : values[--depth];
    }
    uintptr_t& Top(int below = 0) {
        if (depth <= below) ok = false;
        return values[depth > below ? depth - 1 - below : 0];
    }
};

// Applies a binary operator; false when op is none, or divides by zero.
bool Binary(uint8_t op, Operands& s) {
    uintptr_t b = s.Pop(), a = s.Pop(), r;
    intptr_t sa = (intptr_t)a, sb = (intptr_t)b; // the comparisons are signed
    switch (op) {
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
    s.Push(r);
    return true;
}

// The operand of DW_OP_const1u to DW_OP_const8s: 1, 2, 4 or 8 bytes,
// little-endian, each size first unsigned and then signed.
uintptr_t FixedConstant(Reader& e, uint8_t op) {
    unsigned size = 1u << ((op - 0x08) / 2);
    uint64_t value = 0;
    for (unsigned i = 0; i < size; i++)
        value |= (uint64_t)e.Byte() << (8 * i);
    if ((op & 1) && size < 8 && (value >> (8 * size - 1)) & 1) value |= ~0ull << (8 * size);
    return (uintptr_t)value;
}

// Moves e by a branch's offset, which counts from the end of the operand;
// false when that leaves the expression.
bool Branch(Reader& e, const uint8_t* start, int16_t offset) {
    if (offset < 0 ? (size_t)-offset > (size_t)(e.pos - start) : offset > e.end - e.pos)
        return false;
    e.pos += offset;
    return true;
}

} // namespace

bool Evaluate(const Span& sp, uintptr_t block, const Machine& m, const uintptr_t* initial,
              uintptr_t* result) {
    Reader b = ReaderAt(sp, block);
    Reader e = b.Sub(b.Uleb());
    const uint8_t* start = e.pos;
    Operands s;
    if (initial != nullptr) s.Push(*initial);
    uintptr_t v;
    for (int done = 0; !e.AtEnd() && s.ok; done++) {
        if (done == kMaxOperations) return false;
        uint8_t op = e.Byte();
        if (op >= 0x30 && op <= 0x4f) { // DW_OP_lit0 to 31
            s.Push(op - 0x30);
            continue;
        }
        if (op >= 0x50 && op <= 0x6f) { // DW_OP_reg0 to 31: the register's value
            if (!m.Reg(op - 0x50, &v)) return false;
            s.Push(v);
            continue;
        }
        if (op >= 0x70 && op <= 0x8f) { // DW_OP_breg0 to 31: a register plus an offset
            if (!m.Reg(op - 0x70, &v)) return false;
            s.Push(v + (uintptr_t)e.Sleb());
            continue;
        }
        switch (op) {
        case 0x03: // DW_OP_addr
            s.Push(e.Get<uintptr_t>());
            break;
        case 0x06: // DW_OP_deref
            if (!m.Load(s.Pop(), sizeof(uintptr_t), &v)) return false;
            s.Push(v);
            break;
        case 0x08: // DW_OP_const1u, then 1s, 2u, 2s, 4u, 4s, 8u and 8s
        case 0x09:
        case 0x0a:
        case 0x0b:
        case 0x0c:
        case 0x0d:
        case 0x0e:
        case 0x0f:
            s.Push(FixedConstant(e, op));
            break;
        case 0x10: // DW_OP_constu
            s.Push(e.Uleb());
            break;
        case 0x11: // DW_OP_consts
            s.Push((uintptr_t)e.Sleb());
            break;
        case 0x12: // DW_OP_dup
            s.Push(s.Top());
            break;
        case 0x13: // DW_OP_drop
            s.Pop();
            break;
        case 0x14: // DW_OP_over
            s.Push(s.Top(1));
            break;
        case 0x15: { // DW_OP_pick
            uint8_t index = e.Byte();
            if (index >= kStackDepth) return false;
            s.Push(s.Top(index));
            break;
        }
        case 0x16: // DW_OP_swap
            v = s.Top();
            s.Top() = s.Top(1);
            s.Top(1) = v;
            break;
        case 0x17: // DW_OP_rot: the top goes third, the second and third up
            v = s.Top();
            s.Top() = s.Top(1);
            s.Top(1) = s.Top(2);
            s.Top(2) = v;
            break;
        case 0x19: // DW_OP_abs
            if ((intptr_t)s.Top() < 0) s.Top() = 0 - s.Top();
            break;
        case 0x1f: // DW_OP_neg
            s.Top() = 0 - s.Top();
            break;
        case 0x20: // DW_OP_not
            s.Top() = ~s.Top();
            break;
        case 0x23: // DW_OP_plus_uconst
            s.Top() += e.Uleb();
            break;
        case 0x28: { // DW_OP_bra: jumps when the top, popped, is not 0
            int16_t offset = e.Get<int16_t>();
            if (s.Pop() != 0 && s.ok && !Branch(e, start, offset)) return false;
            break;
        }
        case 0x2f: // DW_OP_skip
            if (!Branch(e, start, e.Get<int16_t>())) return false;
            break;
        case 0x90: // DW_OP_regx
            if (!m.Reg(e.Uleb(), &v)) return false;
            s.Push(v);
            break;
        case 0x92: { // DW_OP_bregx
            uint64_t reg = e.Uleb();
            if (!m.Reg(reg, &v)) return false;
            s.Push(v + (uintptr_t)e.Sleb());
            break;
        }
        case 0x94: { // DW_OP_deref_size
            uint8_t size = e.Byte();
            if (size == 0 || size > sizeof(uintptr_t) || !m.Load(s.Pop(), size, &v)) return false;
            s.Push(v);
            break;
        }
        case 0x96: // DW_OP_nop
            break;
        default:
            if (!Binary(op, s)) return false;
        }
    }
    *result = s.Pop();
    return e.ok && s.ok;
}

} // namespace eh
} // namespace korval
