// fuzz_convert.cpp - libFuzzer target: arbitrary bytes through the whole
// conversion in memory. The converter's own Doit cuts, selects, parses and
// links the lines of the input as its mapped text; both writers then write
// the list through the platform layer into an in-memory file. After each
// input the result is checked against a plain model of the map rules: the
// same entries in the same order (ascending address, the later line first
// among equal addresses), the list's links and count, and both files byte
// for byte, the code map 4 + 52 x count bytes and each listing line in its
// "  %06X  %-32s%s\r\n" shape.
//
// Input: the first byte holds the options (bit 0: Inclusive), the rest is
// the map text.

#include "korval.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

void Check(bool ok, const char* what) {
    if (ok) return;
    fprintf(stderr, "fuzz_convert: %s\n", what);
    abort();
}

struct Model {
    DWORD addr;
    std::string routine, module;
    size_t index; // order of reading
};

// The entries of a map, by the rules as they read, in the list's order.
std::vector<Model> ModelEntries(const char* p, size_t n, bool inclusive) {
    std::vector<Model> entries;
    bool inCode = false;
    size_t i = 0;
    while (i < n) {
        size_t start = i;
        while (i < n && p[i] != '\r' && p[i] != '\n')
            i++;
        std::string line(p + start, std::min<size_t>(i - start, LINE_MAX_CHARS));
        while (i < n && (p[i] == '\r' || p[i] == '\n'))
            i++;

        if (line.size() < 4) continue;
        if (!inCode) {
            inCode = line == "Code";
            continue;
        }
        if (line[0] != ' ') {
            inCode = false;
            continue;
        }
        if (!inclusive && line.find('\\') != std::string::npos) continue;

        Model e{0, "", "", entries.size()};
        size_t pos = line.find_first_not_of(' ', 1);
        for (; pos < line.size() && line[pos] != ' '; pos++) {
            int c = (signed char)line[pos];
            e.addr = e.addr * 16 + (DWORD)(c < 'A' ? c - '0' : c - 'A' + 10);
        }
        pos = std::min(line.find_first_not_of(' ', pos), line.size());
        if (pos < line.size() && line[pos] == '_') pos++;
        size_t end = std::min(line.find(' ', pos), line.size());
        e.routine = line.substr(pos, std::min<size_t>(end - pos, 32));
        pos = std::min(line.find_first_not_of(' ', end), line.size());
        std::string field = line.substr(0, std::min(line.find('(', pos), line.size()));
        size_t slash = field.rfind('\\');
        if (slash != std::string::npos && slash >= pos) pos = slash + 1;
        end = std::min(field.find(' ', pos), field.size());
        e.module = field.substr(pos, std::min<size_t>(end - pos, 16));
        entries.push_back(e);
    }
    std::stable_sort(entries.begin(), entries.end(), [](const Model& a, const Model& b) {
        return a.addr != b.addr ? a.addr < b.addr : a.index > b.index;
    });
    return entries;
}

std::string Field(const std::string& text, size_t size) {
    return text + std::string(size - text.size(), '\0');
}

std::string Le32(DWORD v) {
    return {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
}

// The in-memory file the writers write, reached by name like any other.
int OutFd = -1;
std::string OutName;

// Runs one writer into the in-memory file and returns what it wrote.
std::string WrittenBy(int (*Writer)(void)) {
    hOfile = CreateFileA(OutName.c_str(), GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    Check(hOfile != INVALID_HANDLE_VALUE, "the output cannot be created");
    Check(Writer() == 1, "a writer failed");
    Check(CloseHandle(hOfile), "the output did not close");
    struct stat st;
    fstat(OutFd, &st);
    std::string bytes((size_t)st.st_size, '\0');
    Check(pread(OutFd, &bytes[0], bytes.size(), 0) == (ssize_t)bytes.size(), "read back");
    return bytes;
}

void ResetState(void) {
    Binary = 1;
    Debug = Help = Inclusive = InCode = Failed = 0;
    EntBase = EntNext = EntFirst = EntLast = EntCurr = NULL;
    NumRecs = 0;
    ILen = 0;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (Size == 0) return 0;
    if (OutFd < 0) {
        OutFd = memfd_create("fuzz_convert.out", 0);
        Check(OutFd >= 0, "memfd_create");
        OutName = "/proc/self/fd/" + std::to_string(OutFd);
    }
    ResetState();
    Inclusive = Data[0] & 1;
    pIfileMap = (const char*)Data + 1;
    dwISize = (DWORD)(Size - 1);

    std::vector<Model> want = ModelEntries(pIfileMap, dwISize, Inclusive);
    int done = Doit();
    Check(Failed == 0, "no entry block");
    Check(done == !want.empty(), "Doit's result");
    Check(NumRecs == want.size(), "NumRecs is not the number of qualifying lines");

    // The list: its links, its length, its order and its entries.
    size_t n = 0;
    PENTREC Prev = NULL;
    for (PENTREC Ent = EntFirst; Ent != NULL; Prev = Ent, Ent = Ent->NextRec, n++) {
        Check(n < want.size(), "the list is longer than NumRecs");
        Check(Ent >= EntBase && Ent < EntBase + NumRecs, "an entry outside the block");
        Check(Ent->PrevRec == Prev, "PrevRec does not lead back");
        Check(Prev == NULL || Prev->SymbAddr <= Ent->SymbAddr, "the list is not ascending");
        Check(Prev == NULL || Prev->SymbAddr < Ent->SymbAddr || Prev > Ent,
              "equal addresses not in reverse order of reading");
        Check(Ent->SymbAddr == want[n].addr, "address");
        Check(memcmp(Ent->Routine, Field(want[n].routine, 32).data(), 32) == 0,
              "Routine is not its name followed by zero bytes");
        Check(memcmp(Ent->Module, Field(want[n].module, 16).data(), 16) == 0,
              "Module is not its name followed by zero bytes");
    }
    Check(n == NumRecs, "the list is shorter than NumRecs");
    Check(EntLast == Prev, "EntLast is not the tail");

    if (done) {
        std::string cod = Le32(NumRecs);
        std::string ent = std::to_string(NumRecs) + "\r\n";
        for (const Model& e : want) {
            cod += Le32(e.addr) + Field(e.routine, 32) + Field(e.module, 16);
            char line[128];
            snprintf(line, sizeof line, "  %06X  %-32.*s%.*s\r\n", (unsigned)e.addr,
                     (int)e.routine.size(), e.routine.data(), (int)e.module.size(),
                     e.module.data());
            ent += line;
        }
        std::string got = WrittenBy(WriteOutputB);
        Check(got.size() == 4 + 52 * (size_t)NumRecs, "code map size");
        Check(got == cod, "code map bytes");
        Check(WrittenBy(WriteOutputA) == ent, "listing bytes");
    }

    VirtualFree(EntBase, 0, MEM_DECOMMIT);
    VirtualFree(EntBase, 0, MEM_RELEASE);
    return 0;
}
