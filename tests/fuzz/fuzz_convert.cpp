// fuzz_convert.cpp - libFuzzer target: arbitrary bytes through the whole
// conversion in memory. The converter's own Doit cuts, selects, parses and
// links the lines of the input as its mapped text; both writers then write
// the list through the platform layer into a pipe. After each input the
// result is checked against a plain model of the map rules: the model's
// entries in the entry block in the order of reading; the list's links,
// length and order (ascending address, the later line first among equal
// addresses); and both files byte for byte, the code map 4 + 52 x count
// bytes and each listing line in its "  %06X  %-32s%s\r\n" shape.
//
// Input: the first byte holds the options (bit 0: Inclusive), the rest is
// the map text; inputs longer than kMaxInput are skipped.
//
// The model and the checks allocate nothing once their buffers have grown:
// under AddressSanitizer every allocation records its call stack, which
// would cost more than the conversion itself.

#include "korval.h"
#include "fuzz.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// An entry as the model reads it: its name fields as the file holds them,
// the name followed by zero bytes.
struct Model {
    DWORD addr;
    char routine[32];
    char module[16];
};

// Position of the first byte from from on that is (or, with is false, is
// not) c; n when there is none.
NO_COVERAGE size_t Find(const char* p, size_t n, size_t from, char c, bool is = true) {
    while (from < n && (p[from] == c) != is)
        from++;
    return std::min(from, n);
}

// The entries of a map, by the rules as they read, in the order of reading.
NO_COVERAGE void ModelEntries(const char* p, size_t n, bool inclusive,
                              std::vector<Model>* entries) {
    entries->clear();
    bool inCode = false;
    size_t i = 0;
    while (i < n) {
        size_t start = i;
        while (i < n && p[i] != '\r' && p[i] != '\n')
            i++;
        const char* line = p + start;
        size_t len = std::min<size_t>(i - start, LINE_MAX_CHARS);
        while (i < n && (p[i] == '\r' || p[i] == '\n'))
            i++;

        if (len < 4) continue;
        if (!inCode) {
            inCode = len == 4 && memcmp(line, "Code", 4) == 0;
            continue;
        }
        if (line[0] != ' ') {
            inCode = false;
            continue;
        }
        if (!inclusive && memchr(line, '\\', len) != nullptr) continue;

        Model e = {};
        size_t pos = Find(line, len, 1, ' ', false);
        for (; pos < len && line[pos] != ' '; pos++) {
            int c = (signed char)line[pos];
            e.addr = e.addr * 16 + (DWORD)(c < 'A' ? c - '0' : c - 'A' + 10);
        }
        pos = Find(line, len, pos, ' ', false);
        if (pos < len && line[pos] == '_') pos++;
        size_t end = Find(line, len, pos, ' ');
        memcpy(e.routine, line + pos, std::min<size_t>(end - pos, 32));
        pos = Find(line, len, end, ' ', false);
        size_t field = Find(line, len, pos, '(');
        for (size_t k = field; k > pos; k--)
            if (line[k - 1] == '\\') {
                pos = k;
                break;
            }
        end = Find(line, field, pos, ' ');
        memcpy(e.module, line + pos, std::min<size_t>(end - pos, 16));
        entries->push_back(e);
    }
}

// The writers write through the layer into a pipe, opened by name like any
// other output, once: what each writer wrote is then read back from the
// pipe's other end, without a file to create, truncate and close per input.
// The pipe holds 1 MiB, more than either file of an input of at most
// kMaxInput bytes: an entry takes 5 bytes of input or more, and 62 bytes of
// output at most.
const size_t kMaxInput = 64 << 10;
const int kPipeSize = 1 << 20;
int OutRead = -1;
HANDLE Output; // the pipe's write end, opened once
char Got[kPipeSize];
size_t GotLen;

void OpenOutput(void) {
    int writeEnd;
    OutRead = OpenPipe(kPipeSize, &writeEnd);
    std::string name = "/proc/self/fd/" + std::to_string(writeEnd);
    Output = CreateFileA(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    Check(Output != INVALID_HANDLE_VALUE, "the output cannot be created");
    close(writeEnd);
}

// Runs one writer and reads back what it wrote into Got: one read takes
// all that the pipe holds.
void RunWriter(int (*writer)(void)) {
    Check(writer() == 1, "a writer failed");
    ssize_t got = read(OutRead, Got, sizeof Got);
    Check(got >= 0 || errno == EAGAIN, "read back");
    GotLen = got > 0 ? (size_t)got : 0;
}

// Whether a name field holds the model's name: the same 32 or 16 bytes.
NO_COVERAGE bool SameField(const char* got, const char* want, size_t size) {
    return memcmp(got, want, size) == 0;
}

NO_COVERAGE void CheckCodeMap(const std::vector<const Model*>& want) {
    Check(GotLen == 4 + 52 * want.size(), "code map size");
    const unsigned char* p = (const unsigned char*)Got;
    auto le32 = [](const unsigned char* q) {
        return (DWORD)q[0] | (DWORD)q[1] << 8 | (DWORD)q[2] << 16 | (DWORD)q[3] << 24;
    };
    Check(le32(p) == want.size(), "code map count");
    for (const Model* e : want) {
        p += 4;
        Check(le32(p) == e->addr, "code map address");
        Check(SameField((const char*)p + 4, e->routine, 32), "code map routine");
        Check(SameField((const char*)p + 36, e->module, 16), "code map module");
        p += 48;
    }
}

// A listing line as "  %06X  %-32s%s\r\n" gives it, written out by hand
// (snprintf under AddressSanitizer costs more than the writer it checks):
// the address in six upper-case digits or as many as it needs, the
// routine's text padded with spaces to 32, the module's text, CR LF.
NO_COVERAGE size_t ListingLine(const Model& e, char* line) {
    size_t n = 0;
    int digits = 8;
    while (digits > 6 && (e.addr >> (4 * (digits - 1))) == 0)
        digits--;
    line[n++] = ' ';
    line[n++] = ' ';
    while (digits-- > 0)
        line[n++] = "0123456789ABCDEF"[(e.addr >> (4 * digits)) & 15];
    line[n++] = ' ';
    line[n++] = ' ';
    size_t routine = strnlen(e.routine, 32), module = strnlen(e.module, 16);
    memcpy(line + n, e.routine, routine);
    memset(line + n + routine, ' ', 32 - routine);
    n += 32;
    memcpy(line + n, e.module, module);
    n += module;
    line[n++] = '\r';
    line[n++] = '\n';
    return n;
}

NO_COVERAGE void CheckListing(const std::vector<const Model*>& want) {
    char line[128];
    size_t at = (size_t)snprintf(line, sizeof line, "%zu\r\n", want.size());
    Check(GotLen >= at && memcmp(Got, line, at) == 0, "listing count line");
    for (const Model* e : want) {
        size_t len = ListingLine(*e, line);
        Check(GotLen - at >= len && memcmp(Got + at, line, len) == 0, "listing line");
        at += len;
    }
    Check(at == GotLen, "listing length");
}

} // namespace

NO_COVERAGE extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::vector<Model> Entries;
    static std::vector<const Model*> Want;
    if (size == 0 || size > kMaxInput) return 0;
    if (OutRead < 0) OpenOutput();
    ResetRun();
    hOfile = Output;
    Inclusive = data[0] & 1;
    pIfileMap = (const char*)data + 1;
    dwISize = (DWORD)(size - 1);

    ModelEntries(pIfileMap, dwISize, Inclusive, &Entries);
    int done = Doit();
    Check(Failed == 0, "no entry block");
    Check(done == !Entries.empty(), "Doit's result");
    Check(NumRecs == Entries.size(), "NumRecs is not the number of qualifying lines");

    // The block: the model's entries in the order of reading.
    for (size_t i = 0; i < NumRecs; i++) {
        Check(EntBase[i].SymbAddr == Entries[i].addr, "address");
        Check(SameField(EntBase[i].Routine, Entries[i].routine, 32),
              "Routine is not its name followed by zero bytes");
        Check(SameField(EntBase[i].Module, Entries[i].module, 16),
              "Module is not its name followed by zero bytes");
    }

    // The list: its links, its length and its order. Each entry comes after
    // the one before by address, or at an equal address earlier in the
    // block, so no entry comes twice: the list is the block in the order of
    // the rule, and want the model's entries in that order.
    Want.clear();
    PENTREC prev = NULL;
    for (PENTREC ent = EntFirst; ent != NULL; prev = ent, ent = ent->NextRec) {
        Check(Want.size() < NumRecs, "the list is longer than NumRecs");
        Check(ent >= EntBase && ent < EntBase + NumRecs &&
                  ((const char*)ent - (const char*)EntBase) % sizeof *ent == 0,
              "an entry outside the block");
        Check(ent->PrevRec == prev, "PrevRec does not lead back");
        Check(prev == NULL || prev->SymbAddr <= ent->SymbAddr, "the list is not ascending");
        Check(prev == NULL || prev->SymbAddr < ent->SymbAddr || prev > ent,
              "equal addresses not in reverse order of reading");
        Want.push_back(&Entries[(size_t)(ent - EntBase)]);
    }
    Check(Want.size() == NumRecs, "the list is shorter than NumRecs");
    Check(EntLast == prev, "EntLast is not the tail");

    if (done) {
        RunWriter(WriteOutputB);
        CheckCodeMap(Want);
        RunWriter(WriteOutputA);
        CheckListing(Want);
    }

    VirtualFree(EntBase, 0, MEM_DECOMMIT);
    VirtualFree(EntBase, 0, MEM_RELEASE);
    return 0;
}
