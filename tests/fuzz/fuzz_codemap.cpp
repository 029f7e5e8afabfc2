// fuzz_codemap.cpp - libFuzzer target: arbitrary bytes as the code map file
// KORVAL.COD, loaded by OpenDebug, then exceptions at arbitrary addresses
// reported by HandleException. After each input: the table holds exactly
// the records the file announces when it holds them all, else none; every
// report names the record the walk from the first record defines (the last
// one at or below the fault address before the first one above it, never
// the last record), or gives the plain address; and CloseDebug gives the
// block back.
//
// Input: one byte with the number of faults (its low three bits), then per
// fault 4 bytes of exception code, 8 of fault address and 8 of referenced
// address, little-endian; the rest is the file.

#include "mapdebug.h"
#include "platform.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

namespace {

void Check(bool ok, const char* what, const std::string& detail = "") {
    if (ok) return;
    fprintf(stderr, "fuzz_codemap: %s %s\n", what, detail.c_str());
    abort();
}

uint64_t Le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

// Standard output goes to an in-memory file, so that reports can be read.
int OutFd = -1;
// A private directory in memory for KORVAL.COD, current only while the
// loader runs: libFuzzer's own paths may be relative.
std::string Dir;

std::string TakeOutput(void) {
    fflush(stdout);
    std::string text((size_t)lseek(OutFd, 0, SEEK_END), '\0');
    Check(pread(OutFd, &text[0], text.size(), 0) == (ssize_t)text.size(), "read back");
    Check(ftruncate(OutFd, 0) == 0 && lseek(OutFd, 0, SEEK_SET) == 0, "rewind");
    return text;
}

void Clean(void) {
    unlink((Dir + "/KORVAL.COD").c_str());
    rmdir(Dir.c_str());
}

void Start(void) {
    Dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    Dir += "/fuzz_codemap.XXXXXX";
    Check(mkdtemp(&Dir[0]) != nullptr, "no directory for KORVAL.COD");
    atexit(Clean);
    OutFd = memfd_create("fuzz_codemap.out", 0);
    Check(OutFd >= 0 && dup2(OutFd, STDOUT_FILENO) >= 0, "no in-memory standard output");
}

// The place a report gives for address, by the table as the file holds it.
// The table's addresses are link-time ones: this executable's load bias is
// taken off the fault address before it is looked up.
std::string Where(const DEBUGMAP* table, DWORD count, uint64_t address) {
    char where[128];
    DWORD k = 0;
    uint64_t linked = address - ProgramLoadBias();
    if (linked <= 0xFFFFFFFFu)
        while (k < count && table[k].SymbAddr <= linked)
            k++;
    if (k == 0 || k == count) {
        snprintf(where, sizeof where, "0x%08llX", (unsigned long long)address);
    } else {
        const DEBUGMAP& r = table[k - 1];
        snprintf(where, sizeof where, "%s(%s)+0x%X",
                 std::string(r.Routine, strnlen(r.Routine, 32)).c_str(),
                 std::string(r.Module, strnlen(r.Module, 16)).c_str(),
                 (unsigned)((DWORD)linked - r.SymbAddr));
    }
    return where;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (OutFd < 0) Start();
    if (Size == 0) return 0;
    size_t faults = Data[0] & 7;
    if (Size < 1 + 20 * faults) return 0;
    const uint8_t* file = Data + 1 + 20 * faults;
    size_t fileSize = Size - 1 - 20 * faults;

    FILE* f = fopen((Dir + "/KORVAL.COD").c_str(), "wb");
    Check(f && fwrite(file, 1, fileSize, f) == fileSize && fclose(f) == 0, "write KORVAL.COD");

    pDebugMap = NULL;
    iNumMaps = 0;
    int here = open(".", O_RDONLY | O_DIRECTORY);
    Check(here >= 0 && chdir(Dir.c_str()) == 0, "chdir");
    int loaded = OpenDebug();
    Check(fchdir(here) == 0 && close(here) == 0, "fchdir");

    // What the file holds: a count, then at least that many records.
    uint64_t count = fileSize >= 4 ? Le(file, 4) : 0;
    bool whole = count != 0 && count * 52 <= 0xFFFFFFFFu && fileSize >= 4 + count * 52;
    Check(iNumMaps == (whole ? count : 0), "iNumMaps");
    Check(!whole || loaded == 1, "OpenDebug's result");
    Check(!whole || memcmp(pDebugMap, file + 4, count * 52) == 0, "the table is not the file's");

    for (size_t i = 0; i < faults; i++) {
        const uint8_t* p = Data + 1 + 20 * i;
        EXCEPTION_RECORD record = {};
        record.ExceptionCode = (DWORD)Le(p, 4);
        record.ExceptionAddress = (PVOID)(uintptr_t)Le(p + 4, 8);
        record.NumberParameters = 2;
        record.ExceptionInformation[1] = (ULONG_PTR)Le(p + 12, 8);
        Check(HandleException(record.ExceptionCode, &record) == 1, "HandleException's result");
        std::string report = TakeOutput();
        std::string tail = " at " + Where(pDebugMap, iNumMaps, Le(p + 4, 8)) + ".";
        Check(report.compare(0, 12, "EXCEPTION : ") == 0 && report.size() >= tail.size() &&
                  report.compare(report.size() - tail.size(), tail.size(), tail) == 0,
              "report", report + " | expected to end in" + tail);
    }

    bool held = pDebugMap != NULL;
    Check(CloseDebug() == held, "CloseDebug's result");
    Check(pDebugMap == NULL && iNumMaps == 0, "CloseDebug leaves a table");
    return 0;
}
