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

const IMAGE_NT_HEADERS* Headers(const char* base) {
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    return reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
}

// The image base that the file of the image at base asks for. Not the one in
// the headers mapped with the image: when Windows' memory manager relocates
// an image (as it does every image with a dynamic base) it writes the base it
// chose there. The mapped headers' is the answer only where the file cannot
// be read.
ULONG_PTR PreferredBase(const char* base) {
    const IMAGE_NT_HEADERS* own = Headers(base);
    ULONG_PTR mapped = own->OptionalHeader.ImageBase;
    std::vector<WCHAR> path(32768); // the longest path there is
    DWORD length = GetModuleFileNameW((HMODULE)base, path.data(), (DWORD)path.size());
    if (length == 0 || length >= path.size()) return mapped;
    HANDLE file = CreateFileW(path.data(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return mapped;
    alignas(8) char head[4096];
    DWORD got = 0;
    BOOL read = ReadFile(file, head, sizeof head, &got, NULL);
    CloseHandle(file);
    const IMAGE_DOS_HEADER* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(head);
    if (!read || got < sizeof *dos || dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew < 0 ||
        (DWORD)dos->e_lfanew > got - sizeof(IMAGE_NT_HEADERS) || dos->e_lfanew % 8 != 0)
        return mapped;
    const IMAGE_NT_HEADERS* nt = Headers(head);
    if (nt->Signature != IMAGE_NT_SIGNATURE ||
        nt->OptionalHeader.Magic != own->OptionalHeader.Magic)
        return mapped;
    return nt->OptionalHeader.ImageBase;
}

// An image noted at set-up.
struct Image {
    HMODULE module;
    ULONG_PTR bias;
    char path[MAX_PATH];
};

const int kMostImages = 128;
Image Images[kMostImages];
LONG NumImages; // written once, before PrepareProgramCode returns
INIT_ONCE ImagesNoted = INIT_ONCE_STATIC_INIT;

void NoteImage(HMODULE module) {
    for (LONG i = 0; i < NumImages; i++)
        if (Images[i].module == module) return;
    if (NumImages == kMostImages) return;
    Image& i = Images[NumImages];
    i.module = module;
    i.bias = (ULONG_PTR)module - PreferredBase((const char*)module);
    DWORD length = GetModuleFileNameA(module, i.path, sizeof i.path);
    if (length == 0 || length >= sizeof i.path) i.path[0] = 0;
    NumImages++;
}

// The program first, then every image loaded now.
BOOL CALLBACK NoteImages(PINIT_ONCE, PVOID, PVOID*) {
    NoteImage(ProgramModule());
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, GetCurrentProcessId());
    if (snapshot == INVALID_HANDLE_VALUE) return TRUE;
    MODULEENTRY32 entry;
    entry.dwSize = sizeof entry;
    for (BOOL more = Module32First(snapshot, &entry); more; more = Module32Next(snapshot, &entry))
        NoteImage(entry.hModule);
    CloseHandle(snapshot);
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
    return Images[0].bias;
}

// ---- SIGNAL CONTEXT: lookups in an exception filter (no locks of ours, no heap)

BOOL IsProgramCode(ULONG_PTR address) {
    const IMAGE_NT_HEADERS* nt = Headers(__ImageBase);
    const IMAGE_SECTION_HEADER* section = IMAGE_FIRST_SECTION(nt);
    for (WORD i = 0; i < nt->FileHeader.NumberOfSections; i++, section++) {
        if (!(section->Characteristics & IMAGE_SCN_MEM_EXECUTE)) continue;
        ULONG_PTR start = (ULONG_PTR)__ImageBase + section->VirtualAddress;
        if (address >= start && address < start + section->Misc.VirtualSize) return TRUE;
    }
    return FALSE;
}

// The image that holds address, from the memory manager: an image mapping
// starts at its allocation base with its headers, and VirtualQuery takes no
// lock of the process's. Its file and bias are the ones noted at set-up; an
// image loaded since has the name in its export directory (a DLL's own,
// KERNEL32.dll), or none, and the bias its mapped headers give, which is 0
// where it was relocated.
BOOL FindLoadedObject(ULONG_PTR address, LoadedObject* object) {
    MEMORY_BASIC_INFORMATION info;
    if (VirtualQuery((LPCVOID)address, &info, sizeof info) != sizeof info) return FALSE;
    if (info.Type != MEM_IMAGE || info.AllocationBase == NULL) return FALSE;
    const char* base = static_cast<const char*>(info.AllocationBase);
    if (reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_magic != IMAGE_DOS_SIGNATURE)
        return FALSE;
    const IMAGE_NT_HEADERS* nt = Headers(base);
    if (nt->Signature != IMAGE_NT_SIGNATURE) return FALSE;
    object->base = (ULONG_PTR)base;
    object->bias = (ULONG_PTR)base - nt->OptionalHeader.ImageBase;
    object->handle = base;
    object->path = "";
    for (LONG i = 0; i < NumImages; i++)
        if (Images[i].module == (HMODULE)base) {
            object->bias = Images[i].bias;
            object->path = Images[i].path;
            return TRUE;
        }
    const IMAGE_DATA_DIRECTORY& exports =
        nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    if (exports.VirtualAddress != 0 && exports.Size >= sizeof(IMAGE_EXPORT_DIRECTORY) &&
        exports.VirtualAddress < nt->OptionalHeader.SizeOfImage) {
        const IMAGE_EXPORT_DIRECTORY* directory =
            reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + exports.VirtualAddress);
        if (directory->Name != 0 && directory->Name < nt->OptionalHeader.SizeOfImage)
            object->path = base + directory->Name;
    }
    return TRUE;
}

} // namespace korval
