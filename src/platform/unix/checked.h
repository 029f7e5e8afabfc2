// unix/checked.h - what the layer does differently in checked builds.
//
// Failure injection (test builds compiled with KORVAL_FAULT_INJECTION): each
// facility the tool calls counts its calls and can be told to fail its Nth
// one with a chosen error, the way a full disk or a failing device would
// make it fail; see faults.cpp. In other builds FaultInjected is constant
// false and costs nothing.
//
// Memory poisoning (builds under AddressSanitizer): memory the system maps
// beyond what was asked for is marked unaddressable, so an overrun into it is
// reported. Elsewhere the poisoning calls do nothing.
//
// Fuzzing (builds configured with KORVAL_FUZZ): no block gets huge pages. A
// fuzzed code map announces any number of records, and the loader's read
// into a block of 2 MiB or more would clear a whole huge page per input.

#ifndef KORVAL_PLATFORM_UNIX_CHECKED_H
#define KORVAL_PLATFORM_UNIX_CHECKED_H

#include "platform.h"

#if defined(__SANITIZE_ADDRESS__)
#define KORVAL_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define KORVAL_ASAN 1
#endif
#endif

#ifdef KORVAL_ASAN
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>
#endif

// The facilities that can be made to fail: X(enumerator, name), the name
// being the one KORVAL_FAIL and the fault log use. The one list of them,
// for the enum below, faults.cpp and the tests.
#define KORVAL_FACILITIES(X)                                                                       \
    X(FAULT_CREATEFILE, "CreateFileA")                                                             \
    X(FAULT_GETFILESIZE, "GetFileSize")                                                            \
    X(FAULT_GETFILETYPE, "GetFileType")                                                            \
    X(FAULT_CREATEFILEMAPPING, "CreateFileMappingA")                                               \
    X(FAULT_MAPVIEWOFFILE, "MapViewOfFile")                                                        \
    X(FAULT_READFILE, "ReadFile")                                                                  \
    X(FAULT_WRITEFILE, "WriteFile")                                                                \
    X(FAULT_CLOSEHANDLE, "CloseHandle")                                                            \
    X(FAULT_VIRTUALALLOC, "VirtualAlloc")

namespace korval {

#define KORVAL_FACILITY_ENUMERATOR(enumerator, name) enumerator,
enum Facility { KORVAL_FACILITIES(KORVAL_FACILITY_ENUMERATOR) FAULT_FACILITIES };
#undef KORVAL_FACILITY_ENUMERATOR

#ifdef KORVAL_FAULT_INJECTION
// Counts a call of facility. True when this call is the one to fail; the
// last error is then set to the chosen error.
bool FaultInjected(Facility facility);
// What is still held: file and mapping handles, page blocks.
size_t LiveHandles(void);
size_t LiveBlocks(void);
#else
inline bool FaultInjected(Facility) {
    return false;
}
#endif

#ifdef KORVAL_FUZZ
const bool kHugePages = false;
#else
const bool kHugePages = true;
#endif

inline void PoisonMemory(void* p, size_t size) {
#ifdef KORVAL_ASAN
    ASAN_POISON_MEMORY_REGION(p, size);
#else
    (void)p;
    (void)size;
#endif
}

// Takes all access away from the pages at p, so that a touch faults; only
// under AddressSanitizer, as a cheaper PoisonMemory of a large range.
inline void ProtectMemory(void* p, size_t size) {
#ifdef KORVAL_ASAN
    mprotect(p, size, PROT_NONE);
#else
    (void)p;
    (void)size;
#endif
}

inline void UnpoisonMemory(void* p, size_t size) {
#ifdef KORVAL_ASAN
    ASAN_UNPOISON_MEMORY_REGION(p, size);
#else
    (void)p;
    (void)size;
#endif
}

} // namespace korval

#endif
