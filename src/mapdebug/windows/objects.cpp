// windows/objects.cpp - the loaded images: the program's own (how far it
// lies from its preferred image base, and where its code is), and the image
// that holds an address.
//
// The program is the image this code is linked into, which the linker marks
// with __ImageBase at its first byte: the executable, or a DLL that links
// the fault reporter, whose reports then name that DLL's routines from its
// own code map. Where its code lies comes from the section headers mapped
// with the image; reading them takes no lock, so an exception handler may
// ask.
//
// The image that holds an address comes from the memory manager
// (VirtualQuery), which takes no lock of the process's. Its file and
// preferred base are read from the file at set-up, for each image loaded
// then, into a fixed table that lookups only read: an exception filter must
// not wait for the loader's lock, which GetModuleFileName takes, nor
// allocate.

#include "platform.h"
#include "objects.h"

#include <tlhelp32.h>

#include <vector>

namespace korval {

extern "C" char __ImageBase[]; // of unknown size to the compiler: the whole image

namespace {

const IMAGE_NT_HEADERS* Headers(const char* Base) {
    const IMAGE_DOS_HEADER* Dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Base);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(Base + Dos->e_lfanew);
}

// The image base that the file of the image at Base asks for. Not the one in
// the headers mapped with the image: when Windows' memory manager relocates
// an image (as it does every image with a dynamic base) it writes the base it
// chose there. The mapped headers' is the answer only where the file cannot
// be read.
ULONG_PTR PreferredBase(const char* Base) {
    const IMAGE_NT_HEADERS* Own = Headers(Base);
    ULONG_PTR Mapped = Own->OptionalHeader.ImageBase;
    std::vector<WCHAR> Path(32768); // the longest path there is
    DWORD Length = GetModuleFileNameW((HMODULE)Base, Path.data(), (DWORD)Path.size());
    if (Length == 0 || Length >= Path.size()) return Mapped;
    HANDLE File = CreateFileW(Path.data(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (File == INVALID_HANDLE_VALUE) return Mapped;
    alignas(8) char Head[4096];
    DWORD Got = 0;
    BOOL Read = ReadFile(File, Head, sizeof Head, &Got, NULL);
    CloseHandle(File);
    const IMAGE_DOS_HEADER* Dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(Head);
    if (!Read || Got < sizeof *Dos || Dos->e_magic != IMAGE_DOS_SIGNATURE || Dos->e_lfanew < 0 ||
        (DWORD)Dos->e_lfanew > Got - sizeof(IMAGE_NT_HEADERS) || Dos->e_lfanew % 8 != 0)
        return Mapped;
    const IMAGE_NT_HEADERS* Nt = Headers(Head);
    if (Nt->Signature != IMAGE_NT_SIGNATURE ||
        Nt->OptionalHeader.Magic != Own->OptionalHeader.Magic)
        return Mapped;
    return Nt->OptionalHeader.ImageBase;
}

// An image noted at set-up.
struct Image {
    HMODULE Module;
    ULONG_PTR Bias;
    char Path[MAX_PATH];
};

const int kMostImages = 128;
Image Images[kMostImages];
LONG NumImages; // written once, before PrepareProgramCode returns
INIT_ONCE ImagesNoted = INIT_ONCE_STATIC_INIT;

void NoteImage(HMODULE Module) {
    for (LONG i = 0; i < NumImages; i++)
        if (Images[i].Module == Module) return;
    if (NumImages == kMostImages) return;
    Image& I = Images[NumImages];
    I.Module = Module;
    I.Bias = (ULONG_PTR)Module - PreferredBase((const char*)Module);
    DWORD Length = GetModuleFileNameA(Module, I.Path, sizeof I.Path);
    if (Length == 0 || Length >= sizeof I.Path) I.Path[0] = 0;
    NumImages++;
}

// The program first, then every image loaded now.
BOOL CALLBACK NoteImages(PINIT_ONCE, PVOID, PVOID*) {
    NoteImage(ProgramModule());
    HANDLE Snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
    if (Snapshot == INVALID_HANDLE_VALUE) return TRUE;
    MODULEENTRY32 Entry;
    Entry.dwSize = sizeof Entry;
    for (BOOL More = Module32First(Snapshot, &Entry); More; More = Module32Next(Snapshot, &Entry))
        NoteImage(Entry.hModule);
    CloseHandle(Snapshot);
    return TRUE;
}

} // namespace

HMODULE ProgramModule(void) {
    return reinterpret_cast<HMODULE>(__ImageBase);
}

void PrepareProgramCode(void) {
    InitOnceExecuteOnce(&ImagesNoted, NoteImages, nullptr, nullptr);
}

ULONG_PTR ProgramLoadBias(void) {
    PrepareProgramCode();
    return Images[0].Bias;
}

// ---- SIGNAL CONTEXT: lookups in an exception filter (no locks of ours, no heap)

BOOL IsProgramCode(ULONG_PTR Address) {
    const IMAGE_NT_HEADERS* Nt = Headers(__ImageBase);
    const IMAGE_SECTION_HEADER* Section = IMAGE_FIRST_SECTION(Nt);
    for (WORD i = 0; i < Nt->FileHeader.NumberOfSections; i++, Section++) {
        if (!(Section->Characteristics & IMAGE_SCN_MEM_EXECUTE)) continue;
        ULONG_PTR Start = (ULONG_PTR)__ImageBase + Section->VirtualAddress;
        if (Address >= Start && Address < Start + Section->Misc.VirtualSize) return TRUE;
    }
    return FALSE;
}

// The image that holds Address, from the memory manager: an image mapping
// starts at its allocation base with its headers, and VirtualQuery takes no
// lock of the process's. Its file and bias are the ones noted at set-up; an
// image loaded since has the name in its export directory (a DLL's own,
// KERNEL32.dll), or none, and the bias its mapped headers give, which is 0
// where it was relocated.
BOOL FindLoadedObject(ULONG_PTR Address, LoadedObject* Object) {
    MEMORY_BASIC_INFORMATION Info;
    if (VirtualQuery((LPCVOID)Address, &Info, sizeof Info) != sizeof Info) return FALSE;
    if (Info.Type != MEM_IMAGE || Info.AllocationBase == NULL) return FALSE;
    const char* Base = static_cast<const char*>(Info.AllocationBase);
    if (reinterpret_cast<const IMAGE_DOS_HEADER*>(Base)->e_magic != IMAGE_DOS_SIGNATURE)
        return FALSE;
    const IMAGE_NT_HEADERS* Nt = Headers(Base);
    if (Nt->Signature != IMAGE_NT_SIGNATURE) return FALSE;
    Object->Base = (ULONG_PTR)Base;
    Object->Bias = (ULONG_PTR)Base - Nt->OptionalHeader.ImageBase;
    Object->Handle = Base;
    Object->Path = "";
    for (LONG i = 0; i < NumImages; i++)
        if (Images[i].Module == (HMODULE)Base) {
            Object->Bias = Images[i].Bias;
            Object->Path = Images[i].Path;
            return TRUE;
        }
    const IMAGE_DATA_DIRECTORY& Exports =
        Nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (Exports.VirtualAddress != 0 && Exports.Size >= sizeof(IMAGE_EXPORT_DIRECTORY) &&
        Exports.VirtualAddress < Nt->OptionalHeader.SizeOfImage) {
        const IMAGE_EXPORT_DIRECTORY* Directory =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(Base + Exports.VirtualAddress);
        if (Directory->Name != 0 && Directory->Name < Nt->OptionalHeader.SizeOfImage)
            Object->Path = Base + Directory->Name;
    }
    return TRUE;
}

} // namespace korval
