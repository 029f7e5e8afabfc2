// windows/program.cpp - the running executable's image: how far it lies
// from its preferred image base, and where its own code is.
//
// Both come from the image's headers, mapped read-only with the image;
// reading them takes no lock, so an exception handler may ask.

#include "platform.h"

namespace {

const IMAGE_NT_HEADERS* Headers(const char* Base) {
    const IMAGE_DOS_HEADER* Dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Base);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(Base + Dos->e_lfanew);
}

} // namespace

ULONG_PTR ProgramLoadBias(void) {
    const char* Base = reinterpret_cast<const char*>(GetModuleHandleA(NULL));
    return (ULONG_PTR)Base - (ULONG_PTR)Headers(Base)->OptionalHeader.ImageBase;
}

BOOL IsProgramCode(ULONG_PTR Address) {
    const char* Base = reinterpret_cast<const char*>(GetModuleHandleA(NULL));
    const IMAGE_NT_HEADERS* Nt = Headers(Base);
    const IMAGE_SECTION_HEADER* Section = IMAGE_FIRST_SECTION(Nt);
    for (WORD i = 0; i < Nt->FileHeader.NumberOfSections; i++, Section++) {
        if (!(Section->Characteristics & IMAGE_SCN_MEM_EXECUTE)) continue;
        ULONG_PTR Start = (ULONG_PTR)Base + Section->VirtualAddress;
        if (Address >= Start && Address < Start + Section->Misc.VirtualSize) return TRUE;
    }
    return FALSE;
}
