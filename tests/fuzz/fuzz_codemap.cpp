// fuzz_codemap.cpp - libFuzzer target: arbitrary bytes as the code map file
// KORVAL.COD, loaded by OpenDebugFile, then exceptions at arbitrary addresses
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
//
// The file and standard output are set up once, in memory; the checks
// allocate nothing, as under AddressSanitizer each allocation records its
// call stack.

#include "fuzz.h"
#include "mapdebug.h"
#include "platform.h"
#include "objects.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

using namespace korval;

namespace {

NO_COVERAGE uint64_t Le(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; i--)
        v = v << 8 | p[i];
    return v;
}

// Standard output goes into a pipe, so that each report can be read back as
// it is made. Both ends are non-blocking: a report that did not fit is lost,
// and caught, instead of stopping the run.
int OutRead = -1;
char Report[1 << 16];

// KORVAL.COD lies in a private directory in memory, rewritten through a
// descriptor of its own for each input and opened by the loader by its name.
std::string Dir, FileName;
int FileFd = -1;

void Clean(void) {
    unlink(FileName.c_str());
    rmdir(Dir.c_str());
}

void Start(void) {
    OutRead = StdoutToPipe(sizeof Report);
    Dir = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    Dir += "/fuzz_codemap.XXXXXX";
    Check(mkdtemp(&Dir[0]) != nullptr, "no directory for KORVAL.COD");
    FileName = Dir + "/KORVAL.COD";
    FileFd = open(FileName.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    Check(FileFd >= 0, "KORVAL.COD cannot be created");
    atexit(Clean);
}

// The place a report gives for address, by the table as the file holds it,
// into where. The table's addresses are link-time ones: this executable's
// load bias is taken off the fault address before it is looked up.
NO_COVERAGE void Where(char* where, size_t size, const DEBUGMAP* table, DWORD count,
                       uint64_t address) {
    DWORD k = 0;
    uint64_t linked = address - ProgramLoadBias();
    if (linked <= 0xFFFFFFFFu)
        while (k < count && table[k].SymbAddr <= linked)
            k++;
    if (k == 0 || k == count) {
        snprintf(where, size, " at 0x%08llX.", (unsigned long long)address);
    } else {
        const DEBUGMAP& r = table[k - 1];
        snprintf(where, size, " at %.*s(%.*s)+0x%X.", (int)strnlen(r.Routine, 32), r.Routine,
                 (int)strnlen(r.Module, 16), r.Module, (unsigned)((DWORD)linked - r.SymbAddr));
    }
}

} // namespace

extern "C" NO_COVERAGE int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    if (OutRead < 0) Start();
    if (Size == 0) return 0;
    size_t faults = Data[0] & 7;
    if (Size < 1 + 20 * faults) return 0;
    const uint8_t* file = Data + 1 + 20 * faults;
    size_t fileSize = Size - 1 - 20 * faults;

    Check((fileSize == 0 || pwrite(FileFd, file, fileSize, 0) == (ssize_t)fileSize) &&
              ftruncate(FileFd, (off_t)fileSize) == 0,
          "write KORVAL.COD");
    pDebugMap = NULL;
    iNumMaps = 0;
    int loaded = OpenDebugFile(FileName.c_str());

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
        size_t len = TakeOutput(OutRead, Report, sizeof Report);
        char tail[128];
        Where(tail, sizeof tail, pDebugMap, iNumMaps, Le(p + 4, 8));
        size_t tailLen = strlen(tail);
        if (len >= 12 && memcmp(Report, "EXCEPTION : ", 12) == 0 && len >= tailLen &&
            memcmp(Report + len - tailLen, tail, tailLen) == 0)
            continue;
        fprintf(stderr, "fuzz_codemap: report %s | expected to end in%s\n", Report, tail);
        abort();
    }

    bool held = pDebugMap != NULL;
    Check(CloseDebug() == held, "CloseDebug's result");
    Check(pDebugMap == NULL && iNumMaps == 0, "CloseDebug leaves a table");
    return 0;
}
