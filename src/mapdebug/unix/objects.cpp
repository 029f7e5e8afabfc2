// unix/objects.cpp - the loaded objects: the running executable's image
// (where it was loaded against the addresses it was linked at, where its
// own code lies, its file), and the object that holds an address, with its
// unwind tables, for the call chain.
//
// The executable is noted once, outside any signal handler, from the
// program headers the kernel hands every process (getauxval), so that
// neither a thread's first guard nor a handler needs the dynamic loader's
// list, nor its lock: a fault may have abandoned work that held it. When the
// executable has no .eh_frame_hdr (a -static program, which Debian's
// toolchain links without one), an index of its FDEs is made then from
// .eh_frame itself, found through the section headers of its file.
//
// Shared libraries are looked up when asked, with the C library's
// _dl_find_object, which takes no lock, allocates nothing and never answers
// with an object that dlclose has unloaded (glibc 2.35 and later). Before
// that, PrepareLoadedObjects notes the loaded objects in a table with
// dl_iterate_phdr, and a library loaded since its last call is not found.

#include "platform.h"
#include "objects.h"

#include "ehframe.h"

#include <elf.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <string.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>

#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 35) && !defined(KORVAL_OBJECT_TABLE)
#define KORVAL_DL_FIND_OBJECT 1
#include <dlfcn.h>
#endif

namespace korval {

namespace {

struct Segment {
    uintptr_t Low, High; // [Low, High) in memory
    bool Code;
};

// An object as the lookups describe it: its segments and its unwind tables.
const int kMostSegments = 16; // an ELF object has a handful
struct Layout {
    LoadedObject Object;
    Segment Segments[kMostSegments];
    int NumSegments;
    UnwindTables Tables;
};

Layout Program; // the executable
char ProgramPath[PATH_MAX];
std::once_flag ProgramNoted;

#if !defined(KORVAL_DL_FIND_OBJECT)
// The table of the loaded objects, made by dl_iterate_phdr; a new one
// replaces it whole, and the old ones stay allocated, for a handler may
// still read them.
struct ObjectTable {
    size_t Count;
    Layout Objects[1];
};
std::atomic<const ObjectTable*> Table{nullptr};
std::mutex TableLock;

#endif

// ---- SIGNAL CONTEXT: lookups (no locks, no heap, no stdio) ----------------

// The segment of L that holds Address, or null.
const Segment* SegmentOf(const Layout& L, uintptr_t Address) {
    for (int i = 0; i < L.NumSegments; i++)
        if (Address >= L.Segments[i].Low && Address < L.Segments[i].High) return &L.Segments[i];
    return nullptr;
}

// Fills L's segments, base and unwind tables from its program headers;
// Hdr is its .eh_frame_hdr when the loader has already found it.
void ReadSegments(const ElfW(Phdr) * Phdrs, int Count, uintptr_t Bias, Layout* L) {
    uintptr_t Hdr = 0, Base = UINTPTR_MAX;
    for (int i = 0; i < Count; i++) {
        const ElfW(Phdr)& Ph = Phdrs[i];
        if (Ph.p_type == PT_GNU_EH_FRAME) Hdr = Bias + Ph.p_vaddr;
        if (Ph.p_type != PT_LOAD || L->NumSegments == kMostSegments) continue;
        uintptr_t Low = Bias + Ph.p_vaddr;
        L->Segments[L->NumSegments++] = {Low, Low + Ph.p_memsz, (Ph.p_flags & PF_X) != 0};
        // The image starts where its first segment's page does, as the code
        // map's link base counts it.
        uintptr_t Align = Ph.p_align > 1 ? Ph.p_align : 1;
        Base = std::min(Base, Bias + Ph.p_vaddr / Align * Align);
    }
    L->Object.Bias = Bias;
    L->Object.Base = Base == UINTPTR_MAX ? Bias : Base;
    const Segment* Tables = Hdr != 0 ? SegmentOf(*L, Hdr) : nullptr;
    if (Tables != nullptr) {
        L->Tables.Hdr = Hdr;
        L->Tables.Low = Tables->Low;
        L->Tables.High = Tables->High;
    }
}

#if defined(KORVAL_DL_FIND_OBJECT)

// The library that holds Address, from the loader's lock-free lookup. Its
// program headers are read from its ELF header, at the start of its first
// segment, where the loader mapped it.
bool FindLibrary(uintptr_t Address, Layout* L) {
    dl_find_object Found;
    if (_dl_find_object((void*)Address, &Found) != 0 || Found.dlfo_link_map == nullptr)
        return false;
    const link_map* Map = Found.dlfo_link_map;
    uintptr_t Start = (uintptr_t)Found.dlfo_map_start, End = (uintptr_t)Found.dlfo_map_end;
    const ElfW(Ehdr)* Eh = (const ElfW(Ehdr)*)Start;
    uint64_t Room = std::min<uint64_t>((uint64_t)getpagesize(), End - Start);
    if (End - Start < sizeof *Eh || memcmp(Eh->e_ident, ELFMAG, SELFMAG) != 0 ||
        Eh->e_phentsize != sizeof(ElfW(Phdr)) ||
        Eh->e_phoff + (uint64_t)Eh->e_phnum * sizeof(ElfW(Phdr)) > Room)
        return false;
    *L = Layout();
    ReadSegments((const ElfW(Phdr)*)(Start + Eh->e_phoff), Eh->e_phnum, Map->l_addr, L);
    L->Object.Path = Map->l_name;
    L->Object.Handle = Map;
    return SegmentOf(*L, Address) != nullptr;
}

#else

bool FindLibrary(uintptr_t Address, Layout* L) {
    const ObjectTable* T = Table.load(std::memory_order_acquire);
    for (size_t i = 0; T != nullptr && i < T->Count; i++)
        if (SegmentOf(T->Objects[i], Address) != nullptr) {
            *L = T->Objects[i];
            return true;
        }
    return false;
}

#endif

bool Find(uintptr_t Address, Layout* L) {
    if (SegmentOf(Program, Address) != nullptr) {
        *L = Program;
        return true;
    }
    return FindLibrary(Address, L);
}

} // namespace

BOOL IsProgramCode(ULONG_PTR Address) {
    const Segment* In = SegmentOf(Program, Address);
    return In != nullptr && In->Code;
}

BOOL FindLoadedObject(ULONG_PTR Address, LoadedObject* Object) {
    Layout L;
    if (!Find(Address, &L)) return FALSE;
    *Object = L.Object;
    return TRUE;
}

BOOL FindUnwindTables(ULONG_PTR Address, LoadedObject* Object, UnwindTables* Tables) {
    Layout L;
    if (!Find(Address, &L) || L.Tables.Low == 0) return FALSE;
    *Object = L.Object;
    *Tables = L.Tables;
    const Segment* In = SegmentOf(L, Address);
    if (In != nullptr && In->Code) {
        Tables->CodeLow = In->Low;
        Tables->CodeHigh = In->High;
    }
    return TRUE;
}

// ---- Set-up: the executable, noted once -----------------------------------

namespace {

// The executable's file: /proc/self/exe, or where there is no /proc the name
// it was started by, made absolute.
void NotePath() {
    ssize_t Length = readlink("/proc/self/exe", ProgramPath, sizeof ProgramPath - 1);
    if (Length > 0) {
        ProgramPath[Length] = 0;
        return;
    }
    const char* Name = (const char*)getauxval(AT_EXECFN);
    if (Name == nullptr) return;
    ProgramPath[0] = 0;
    if (Name[0] != '/' && getcwd(ProgramPath, sizeof ProgramPath) != nullptr &&
        strlen(ProgramPath) + 1 < sizeof ProgramPath)
        strcat(ProgramPath, "/");
    if (strlen(ProgramPath) + strlen(Name) < sizeof ProgramPath)
        strcat(ProgramPath, Name);
    else
        ProgramPath[0] = 0;
}

// The executable's load bias: where its program headers are against where
// it was linked to put them (PT_PHDR); a program without PT_PHDR (a -static
// one) has its ELF header just before them, in the same page.
uintptr_t ExecutableBias(const ElfW(Phdr) * Phdrs, int Count) {
    for (int i = 0; i < Count; i++)
        if (Phdrs[i].p_type == PT_PHDR) return (uintptr_t)Phdrs - Phdrs[i].p_vaddr;
    uintptr_t Header = (uintptr_t)Phdrs - sizeof(ElfW(Ehdr));
    size_t Page = (size_t)getpagesize();
    if ((uintptr_t)Phdrs / Page != Header / Page) return 0;
    const ElfW(Ehdr)* Eh = (const ElfW(Ehdr)*)Header;
    if (memcmp(Eh->e_ident, ELFMAG, SELFMAG) != 0 || Eh->e_phoff != sizeof *Eh) return 0;
    for (int i = 0; i < Count; i++)
        if (Phdrs[i].p_type == PT_LOAD && Phdrs[i].p_offset == 0) return Header - Phdrs[i].p_vaddr;
    return 0;
}

// Reads Size bytes at Offset of the file Fd; false when they are not all there.
bool ReadAt(int Fd, void* Out, size_t Size, off_t Offset) {
    return pread(Fd, Out, Size, Offset) == (ssize_t)Size;
}

// Where the executable's .eh_frame lies in memory, from its file's section
// headers; 0 when the file cannot be read or has none.
uintptr_t FindEhFrame(uintptr_t Bias, size_t* Size) {
    int Fd = ProgramPath[0] != 0 ? open(ProgramPath, O_RDONLY | O_CLOEXEC) : -1;
    if (Fd < 0) return 0;
    uintptr_t Found = 0;
    ElfW(Ehdr) Eh;
    if (ReadAt(Fd, &Eh, sizeof Eh, 0) && memcmp(Eh.e_ident, ELFMAG, SELFMAG) == 0 &&
        Eh.e_shentsize == sizeof(ElfW(Shdr)) && Eh.e_shstrndx < Eh.e_shnum) {
        ElfW(Shdr) Names;
        ReadAt(Fd, &Names, sizeof Names, Eh.e_shoff + Eh.e_shstrndx * sizeof Names);
        for (int i = 0; i < Eh.e_shnum && Found == 0; i++) {
            ElfW(Shdr) Sh;
            char Name[sizeof ".eh_frame"] = {};
            if (ReadAt(Fd, &Sh, sizeof Sh, Eh.e_shoff + i * sizeof Sh) && Sh.sh_addr != 0 &&
                ReadAt(Fd, Name, sizeof Name, Names.sh_offset + Sh.sh_name) &&
                memcmp(Name, ".eh_frame", sizeof Name) == 0) {
                Found = Bias + Sh.sh_addr;
                *Size = Sh.sh_size;
            }
        }
    }
    close(Fd);
    return Found;
}

// The index of the executable's FDEs, where it has no .eh_frame_hdr. Made
// once and kept for the life of the process.
void IndexProgram() {
    size_t Size = 0;
    uintptr_t EhFrame = FindEhFrame(Program.Object.Bias, &Size);
    const Segment* In = EhFrame != 0 ? SegmentOf(Program, EhFrame) : nullptr;
    if (In == nullptr || In->High - EhFrame < Size) return;
    eh::Span Frames = {(const uint8_t*)EhFrame, Size, EhFrame};
    size_t Count = eh::IndexFdes(Frames, EhFrame, nullptr, 0);
    eh::IndexEntry* Index = new (std::nothrow) eh::IndexEntry[Count ? Count : 1];
    if (Index == nullptr) return;
    Count = eh::IndexFdes(Frames, EhFrame, Index, Count);
    std::sort(Index, Index + Count,
              [](const eh::IndexEntry& a, const eh::IndexEntry& b) { return a.Begin < b.Begin; });
    Program.Tables.Low = In->Low;
    Program.Tables.High = In->High;
    Program.Tables.Index = Index;
    Program.Tables.Count = Count;
}

void NoteProgram() {
    const ElfW(Phdr)* Phdrs = (const ElfW(Phdr)*)getauxval(AT_PHDR);
    int Count = (int)getauxval(AT_PHNUM);
    if (Phdrs == nullptr) return;
    ReadSegments(Phdrs, Count, ExecutableBias(Phdrs, Count), &Program);
    NotePath();
    Program.Object.Path = ProgramPath;
#if defined(KORVAL_DL_FIND_OBJECT)
    dl_find_object Found;
    if (_dl_find_object((void*)getauxval(AT_ENTRY), &Found) == 0)
        Program.Object.Handle = Found.dlfo_link_map;
#endif
    if (Program.Tables.Hdr == 0) IndexProgram();
}

// ---- Set-up: the table of shared libraries, before glibc 2.35 -------------

#if !defined(KORVAL_DL_FIND_OBJECT)

int CountObject(dl_phdr_info*, size_t, void* Count) {
    ++*(size_t*)Count;
    return 0;
}

// The table being made, and how many objects it has room for.
struct Making {
    ObjectTable* T;
    size_t Room;
};

int NoteObject(dl_phdr_info* Info, size_t, void* Data) {
    Making* M = (Making*)Data;
    if (M->T->Count == M->Room) return 1;
    Layout L = Layout();
    ReadSegments(Info->dlpi_phdr, Info->dlpi_phnum, Info->dlpi_addr, &L);
    L.Object.Path = Info->dlpi_name;
    M->T->Objects[M->T->Count++] = L;
    return 0;
}

void NoteObjects() {
    std::lock_guard<std::mutex> Hold(TableLock);
    size_t Count = 0;
    dl_iterate_phdr(CountObject, &Count);
    Count += 16; // room for objects loaded between the two passes
    void* Block = ::operator new(sizeof(ObjectTable) + Count * sizeof(Layout), std::nothrow);
    if (Block == nullptr) return;
    Making M = {new (Block) ObjectTable(), Count};
    M.T->Count = 0;
    dl_iterate_phdr(NoteObject, &M);
    Table.store(M.T, std::memory_order_release);
}

#endif

} // namespace

HMODULE ProgramModule(void) {
    return NULL; // GetModuleFileNameA's name for the executable
}

void PrepareProgramCode(void) {
    std::call_once(ProgramNoted, NoteProgram);
}

namespace {

// The program is noted as it starts too: the file that a -static program's
// index is made from can then be opened even where the process later runs
// out of descriptors, or changes its directory, before its first guard.
__attribute__((constructor)) void NoteProgramAtStart() {
    PrepareProgramCode();
}

} // namespace

ULONG_PTR ProgramLoadBias(void) {
    PrepareProgramCode();
    return Program.Object.Bias;
}

void PrepareLoadedObjects(void) {
    PrepareProgramCode();
#if !defined(KORVAL_DL_FIND_OBJECT)
    NoteObjects();
#endif
}

} // namespace korval
