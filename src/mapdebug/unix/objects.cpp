// unix/program.cpp - the running executable's image: where it was loaded
// against the addresses it was linked at, and where its own code lies.
//
// Both come from the dynamic loader's list of loaded objects, whose first
// entry is the main program. They are noted once, outside any signal
// handler; afterwards they are only read, so a handler may ask.

#include "platform.h"
#include "objects.h"

#include <link.h>

#include <mutex>

namespace korval {

namespace {

struct CodeRange {
    uintptr_t Start, End;
};

// The program's executable segments; an ELF file has few.
const int kMostRanges = 16;
CodeRange Ranges[kMostRanges];
int NumRanges;
uintptr_t LoadBias;
std::once_flag Noted;

int NoteProgram(struct dl_phdr_info* Info, size_t, void*) {
    LoadBias = Info->dlpi_addr;
    for (int i = 0; i < Info->dlpi_phnum && NumRanges < kMostRanges; i++) {
        const ElfW(Phdr)& Segment = Info->dlpi_phdr[i];
        if (Segment.p_type != PT_LOAD || !(Segment.p_flags & PF_X)) continue;
        uintptr_t Start = Info->dlpi_addr + Segment.p_vaddr;
        Ranges[NumRanges++] = {Start, Start + Segment.p_memsz};
    }
    return 1; // the main program alone
}

void Note() {
    std::call_once(Noted, [] { dl_iterate_phdr(NoteProgram, nullptr); });
}

} // namespace

HMODULE ProgramModule(void) {
    return NULL; // GetModuleFileNameA's name for the executable
}

ULONG_PTR ProgramLoadBias(void) {
    Note();
    return LoadBias;
}

BOOL IsProgramCode(ULONG_PTR Address) {
    Note();
    for (int i = 0; i < NumRanges; i++)
        if (Address >= Ranges[i].Start && Address < Ranges[i].End) return TRUE;
    return FALSE;
}

namespace {

// Provisional: dl_iterate_phdr takes the loader's lock, so this is not safe
// in signal context; it stands in until the lock-free lookup replaces it.
struct Search {
    uintptr_t Address;
    LoadedObject* Object;
    bool Found;
};

char ExePath[4096];

int FindIn(struct dl_phdr_info* Info, size_t, void* Data) {
    Search* S = static_cast<Search*>(Data);
    uintptr_t Lowest = UINTPTR_MAX;
    bool Holds = false;
    for (int i = 0; i < Info->dlpi_phnum; i++) {
        const ElfW(Phdr)& Segment = Info->dlpi_phdr[i];
        if (Segment.p_type != PT_LOAD) continue;
        uintptr_t Start = Info->dlpi_addr + Segment.p_vaddr;
        uintptr_t Align = Segment.p_align > 1 ? Segment.p_align : 1;
        if (Segment.p_vaddr / Align * Align < Lowest) Lowest = Segment.p_vaddr / Align * Align;
        if (S->Address >= Start && S->Address < Start + Segment.p_memsz) Holds = true;
    }
    if (!Holds) return 0;
    S->Object->Bias = Info->dlpi_addr;
    S->Object->Base = Info->dlpi_addr + Lowest;
    S->Object->Handle = Info->dlpi_phdr;
    if (Info->dlpi_name[0] != '\0') {
        S->Object->Path = Info->dlpi_name;
    } else {
        if (ExePath[0] == '\0') GetModuleFileNameA(NULL, ExePath, sizeof ExePath);
        S->Object->Path = ExePath;
    }
    S->Found = true;
    return 1;
}

} // namespace

BOOL FindLoadedObject(ULONG_PTR Address, LoadedObject* Object) {
    Search S = {Address, Object, false};
    dl_iterate_phdr(FindIn, &S);
    return S.Found;
}

} // namespace korval
