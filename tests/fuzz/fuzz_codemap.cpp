// fuzz_codemap.cpp - libFuzzer target: arbitrary bytes as the code map file
// KORVAL.COD, loaded by OpenDebugFile, then exceptions at arbitrary addresses
// reported by HandleException. After each input: the table holds exactly
// the records the file announces when it holds them all, else none, and
// none either when an extension that checks names another file than this
// executable; every report names the record the walk from the first record
// defines (the last one at or below the fault address before the first one
// above it, never the last record), by its full name when the extension
// checks and gives one (cut after 240 characters, with "..."), or gives the
// plain address; and CloseDebug gives the block back.
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
#include "extension.h"
#include "objects.h"

#include <errno.h>
#include <fcntl.h>
#include <link.h>
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

// The executable's GNU build ID, as the first loaded object's notes hold it.
std::string OwnBuildId;

int NoteBuildId(dl_phdr_info* info, size_t, void*) {
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& p = info->dlpi_phdr[i];
        const uint8_t* note = (const uint8_t*)(info->dlpi_addr + p.p_vaddr);
        const uint8_t* end = note + p.p_memsz;
        while (p.p_type == PT_NOTE && end - note >= 12) {
            uint32_t nameSize = (uint32_t)Le(note, 4), descSize = (uint32_t)Le(note + 4, 4);
            const uint8_t* desc = note + 12 + (nameSize + 3) / 4 * 4;
            if (Le(note + 8, 4) == NT_GNU_BUILD_ID && nameSize == 4 &&
                memcmp(note + 12, "GNU", 4) == 0)
                OwnBuildId.assign((const char*)desc, descSize);
            note = desc + (descSize + 3) / 4 * 4;
        }
    }
    return 1; // the executable alone
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
    dl_iterate_phdr(NoteBuildId, nullptr);
}

// What an extension of size bytes after count records says, when it checks
// in every field: the full names' offsets and pool, and whether it names
// this executable or no file at all.
struct Names {
    bool checks;
    bool ours;
    const uint8_t* at;
    const char* pool;
};

NO_COVERAGE Names ReadExtension(const uint8_t* ext, uint64_t size, uint64_t count) {
    Names n = {false, true, nullptr, nullptr};
    if (size < 36 || memcmp(ext, kExtensionMagic, 8) != 0 || Le(ext + 8, 4) != size ||
        Le(ext + 12, 4) != count)
        return n;
    uint64_t kind = Le(ext + 24, 4), idLength = Le(ext + 28, 4);
    if (kind > kIdentityPe || idLength > kMostIdentity) return n;
    uint64_t at = 32 + (idLength + 3) / 4 * 4;
    uint64_t objectLength = Le(ext + at, 4);
    if (objectLength > kMostObjectName) return n;
    at += 4 + (objectLength + 3) / 4 * 4;
    if (at + 4 * count + 4 > size) return n;
    uint64_t poolSize = Le(ext + at + 4 * count, 4);
    if (at + 4 * count + 4 + poolSize != size || poolSize == 0 || ext[size - 1] != 0) return n;
    for (uint64_t i = 0; i < count; i++)
        if (Le(ext + at + 4 * i, 4) >= poolSize) return n;
    n.checks = true;
    n.ours = kind == kIdentityNone || (kind == kIdentityBuildId && idLength == OwnBuildId.size() &&
                                       memcmp(ext + 32, OwnBuildId.data(), idLength) == 0);
    n.at = ext + at;
    n.pool = (const char*)(ext + at + 4 * count + 4);
    return n;
}

// The place a report gives for address, by the table as the file holds it
// and the full names of its extension, into where. The table's addresses
// are link-time ones: this executable's load bias is taken off the fault
// address before it is looked up.
NO_COVERAGE void Where(char* where, size_t size, const DEBUGMAP* table, DWORD count,
                       const Names& names, uint64_t address) {
    DWORD k = 0;
    uint64_t linked = address - ProgramLoadBias();
    if (linked <= 0xFFFFFFFFu)
        while (k < count && table[k].SymbAddr <= linked)
            k++;
    if (k == 0 || k == count) {
        snprintf(where, size, " at 0x%08llX.", (unsigned long long)address);
        return;
    }
    const DEBUGMAP& r = table[k - 1];
    const char* full = names.checks ? names.pool + Le(names.at + 4 * (k - 1), 4) : "";
    int fullLength = (int)strnlen(full, 241);
    if (fullLength > 0)
        snprintf(where, size, " at %.240s%s(%.*s)+0x%X.", full, fullLength > 240 ? "..." : "",
                 (int)strnlen(r.Module, 16), r.Module, (unsigned)((DWORD)linked - r.SymbAddr));
    else
        snprintf(where, size, " at %.*s(%.*s)+0x%X.", (int)strnlen(r.Routine, 32), r.Routine,
                 (int)strnlen(r.Module, 16), r.Module, (unsigned)((DWORD)linked - r.SymbAddr));
}

} // namespace

extern "C" NO_COVERAGE int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (OutRead < 0) Start();
    if (size == 0) return 0;
    size_t faults = data[0] & 7;
    if (size < 1 + 20 * faults) return 0;
    const uint8_t* file = data + 1 + 20 * faults;
    size_t fileSize = size - 1 - 20 * faults;

    Check((fileSize == 0 || pwrite(FileFd, file, fileSize, 0) == (ssize_t)fileSize) &&
              ftruncate(FileFd, (off_t)fileSize) == 0,
          "write KORVAL.COD");
    pDebugMap = NULL;
    iNumMaps = 0;
    int loaded = OpenDebugFile(FileName.c_str());

    // What the file holds: a count, then at least that many records, then
    // maybe an extension that names another file.
    uint64_t count = fileSize >= 4 ? Le(file, 4) : 0;
    bool whole = count != 0 && count * 52 <= 0xFFFFFFFFu && fileSize >= 4 + count * 52;
    Names names = {false, true, nullptr, nullptr};
    if (whole) names = ReadExtension(file + 4 + count * 52, fileSize - 4 - count * 52, count);
    bool used = whole && names.ours;
    Check(iNumMaps == (used ? count : 0), "iNumMaps");
    Check(!whole || loaded == (int)used, "OpenDebug's result");
    Check(!used || memcmp(pDebugMap, file + 4, count * 52) == 0, "the table is not the file's");

    for (size_t i = 0; i < faults; i++) {
        const uint8_t* p = data + 1 + 20 * i;
        EXCEPTION_RECORD record = {};
        record.ExceptionCode = (DWORD)Le(p, 4);
        record.ExceptionAddress = (PVOID)(uintptr_t)Le(p + 4, 8);
        record.NumberParameters = 2;
        record.ExceptionInformation[1] = (ULONG_PTR)Le(p + 12, 8);
        Check(HandleException(record.ExceptionCode, &record) == 1, "HandleException's result");
        size_t len = TakeOutput(OutRead, Report, sizeof Report);
        char tail[384];
        Where(tail, sizeof tail, pDebugMap, iNumMaps, names, Le(p + 4, 8));
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
