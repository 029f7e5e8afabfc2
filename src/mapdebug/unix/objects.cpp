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
    uintptr_t low, high; // [low, high) in memory
    bool code;
};

// An object as the lookups describe it: its segments and its unwind tables.
const int kMostSegments = 16; // an ELF object has a handful
struct Layout {
    LoadedObject object;
    Segment segments[kMostSegments];
    int numSegments;
    UnwindTables tables;
};

Layout Program; // the executable
char ProgramPath[PATH_MAX];
std::once_flag ProgramNoted;

#if !defined(KORVAL_DL_FIND_OBJECT)
// The table of the loaded objects, made by dl_iterate_phdr; a new one
// replaces it whole, and the old ones stay allocated, for a handler may
// still read them.
struct ObjectTable {
    size_t count;
    Layout objects[1];
};
std::atomic<const ObjectTable*> Table{nullptr};
std::mutex TableLock;

#endif

// ---- SIGNAL CONTEXT: lookups (no locks, no heap, no stdio) ----------------

// The segment of l that holds address, or null.
const Segment* SegmentOf(const Layout& l, uintptr_t address) {
    for (int i = 0; i < l.numSegments; i++)
        if (address >= l.segments[i].low && address < l.segments[i].high) return &l.segments[i];
    return nullptr;
}

// Fills L's segments, base and unwind tables from its program headers;
// Hdr is its .eh_frame_hdr when the loader has already found it.
void ReadSegments(const ElfW(Phdr) * phdrs, int count, uintptr_t bias, Layout* l) {
    uintptr_t hdr = 0, base = UINTPTR_MAX;
    for (int i = 0; i < count; i++) {
        const ElfW(Phdr)& ph = phdrs[i];
        if (ph.p_type == PT_GNU_EH_FRAME) hdr = bias + ph.p_vaddr;
        if (ph.p_type != PT_LOAD || l->numSegments == kMostSegments) continue;
        uintptr_t low = bias + ph.p_vaddr;
        l->segments[l->numSegments++] = {low, low + ph.p_memsz, (ph.p_flags & PF_X) != 0};
        // The image starts where its first segment's page does, as the code
        // map's link base counts it.
        uintptr_t align = ph.p_align > 1 ? ph.p_align : 1;
        base = std::min(base, bias + ph.p_vaddr / align * align);
    }
    l->object.bias = bias;
    l->object.base = base == UINTPTR_MAX ? bias : base;
    const Segment* tables = hdr != 0 ? SegmentOf(*l, hdr) : nullptr;
    if (tables != nullptr) {
        l->tables.hdr = hdr;
        l->tables.low = tables->low;
        l->tables.high = tables->high;
    }
}

#if defined(KORVAL_DL_FIND_OBJECT)

// The library that holds address, from the loader's lock-free lookup. Its
// program headers are read from its ELF header, at the start of its first
// segment, where the loader mapped it.
bool FindLibrary(uintptr_t address, Layout* l) {
    dl_find_object found;
    if (_dl_find_object((void*)address, &found) != 0 || found.dlfo_link_map == nullptr)
        return false;
    const link_map* map = found.dlfo_link_map;
    uintptr_t start = (uintptr_t)found.dlfo_map_start, end = (uintptr_t)found.dlfo_map_end;
    const ElfW(Ehdr)* eh = (const ElfW(Ehdr)*)start;
    uint64_t room = std::min<uint64_t>((uint64_t)getpagesize(), end - start);
    if (end - start < sizeof *eh || memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 ||
        eh->e_phentsize != sizeof(ElfW(Phdr)) ||
        eh->e_phoff + (uint64_t)eh->e_phnum * sizeof(ElfW(Phdr)) > room)
        return false;
    *l = Layout();
    ReadSegments((const ElfW(Phdr)*)(start + eh->e_phoff), eh->e_phnum, map->l_addr, l);
    l->object.path = map->l_name;
    l->object.handle = map;
    return SegmentOf(*l, address) != nullptr;
}

#else

bool FindLibrary(uintptr_t address, Layout* l) {
    const ObjectTable* t = Table.load(std::memory_order_acquire);
    for (size_t i = 0; t != nullptr && i < t->count; i++)
        if (SegmentOf(t->objects[i], address) != nullptr) {
            *l = t->objects[i];
            return true;
        }
    return false;
}

#endif

bool Find(uintptr_t address, Layout* l) {
    if (SegmentOf(Program, address) != nullptr) {
        *l = Program;
        return true;
    }
    return FindLibrary(address, l);
}

} // namespace

BOOL IsProgramCode(ULONG_PTR address) {
    const Segment* in = SegmentOf(Program, address);
    return in != nullptr && in->code;
}

BOOL FindLoadedObject(ULONG_PTR address, LoadedObject* object) {
    Layout l;
    if (!Find(address, &l)) return FALSE;
    *object = l.object;
    return TRUE;
}

BOOL FindUnwindTables(ULONG_PTR address, LoadedObject* object, UnwindTables* tables) {
    Layout l;
    if (!Find(address, &l) || l.tables.low == 0) return FALSE;
    *object = l.object;
    *tables = l.tables;
    const Segment* in = SegmentOf(l, address);
    if (in != nullptr && in->code) {
        tables->codeLow = in->low;
        tables->codeHigh = in->high;
    }
    return TRUE;
}

// ---- Set-up: the executable, noted once -----------------------------------

namespace {

// The executable's file: /proc/self/exe, or where there is no /proc the name
// it was started by, made absolute.
void NotePath() {
    ssize_t length = readlink("/proc/self/exe", ProgramPath, sizeof ProgramPath - 1);
    if (length > 0) {
        ProgramPath[length] = 0;
        return;
    }
    const char* name = (const char*)getauxval(AT_EXECFN);
    if (name == nullptr) return;
    ProgramPath[0] = 0;
    if (name[0] != '/' && getcwd(ProgramPath, sizeof ProgramPath) != nullptr &&
        strlen(ProgramPath) + 1 < sizeof ProgramPath)
        strcat(ProgramPath, "/");
    if (strlen(ProgramPath) + strlen(name) < sizeof ProgramPath)
        strcat(ProgramPath, name);
    else
        ProgramPath[0] = 0;
}

// The executable's load bias: where its program headers are against where
// it was linked to put them (PT_PHDR); a program without PT_PHDR (a -static
// one) has its ELF header just before them, in the same page.
uintptr_t ExecutableBias(const ElfW(Phdr) * phdrs, int count) {
    for (int i = 0; i < count; i++)
        if (phdrs[i].p_type == PT_PHDR) return (uintptr_t)phdrs - phdrs[i].p_vaddr;
    uintptr_t header = (uintptr_t)phdrs - sizeof(ElfW(Ehdr));
    size_t page = (size_t)getpagesize();
    if ((uintptr_t)phdrs / page != header / page) return 0;
    const ElfW(Ehdr)* eh = (const ElfW(Ehdr)*)header;
    if (memcmp(eh->e_ident, ELFMAG, SELFMAG) != 0 || eh->e_phoff != sizeof *eh) return 0;
    for (int i = 0; i < count; i++)
        if (phdrs[i].p_type == PT_LOAD && phdrs[i].p_offset == 0) return header - phdrs[i].p_vaddr;
    return 0;
}

// Reads size bytes at offset of the file fd; false when they are not all there.
bool ReadAt(int fd, void* out, size_t size, off_t offset) {
    return pread(fd, out, size, offset) == (ssize_t)size;
}

// Where the executable's .eh_frame lies in memory, from its file's section
// headers; 0 when the file cannot be read or has none.
uintptr_t FindEhFrame(uintptr_t bias, size_t* size) {
    int fd = ProgramPath[0] != 0 ? open(ProgramPath, O_RDONLY | O_CLOEXEC) : -1;
    if (fd < 0) return 0;
    uintptr_t found = 0;
    ElfW(Ehdr) eh;
    if (ReadAt(fd, &eh, sizeof eh, 0) && memcmp(eh.e_ident, ELFMAG, SELFMAG) == 0 &&
        eh.e_shentsize == sizeof(ElfW(Shdr)) && eh.e_shstrndx < eh.e_shnum) {
        ElfW(Shdr) names;
        ReadAt(fd, &names, sizeof names, eh.e_shoff + eh.e_shstrndx * sizeof names);
        for (int i = 0; i < eh.e_shnum && found == 0; i++) {
            ElfW(Shdr) sh;
            char name[sizeof ".eh_frame"] = {};
            if (ReadAt(fd, &sh, sizeof sh, eh.e_shoff + i * sizeof sh) && sh.sh_addr != 0 &&
                ReadAt(fd, name, sizeof name, names.sh_offset + sh.sh_name) &&
                memcmp(name, ".eh_frame", sizeof name) == 0) {
                found = bias + sh.sh_addr;
                *size = sh.sh_size;
            }
        }
    }
    close(fd);
    return found;
}

// The index of the executable's FDEs, where it has no .eh_frame_hdr. Made
// once and kept for the life of the process.
void IndexProgram() {
    size_t size = 0;
    uintptr_t ehFrame = FindEhFrame(Program.object.bias, &size);
    const Segment* in = ehFrame != 0 ? SegmentOf(Program, ehFrame) : nullptr;
    if (in == nullptr || in->high - ehFrame < size) return;
    eh::Span frames = {(const uint8_t*)ehFrame, size, ehFrame};
    size_t count = eh::IndexFdes(frames, ehFrame, nullptr, 0);
    eh::IndexEntry* index = new (std::nothrow) eh::IndexEntry[count ? count : 1];
    if (index == nullptr) return;
    count = eh::IndexFdes(frames, ehFrame, index, count);
    std::sort(index, index + count,
              [](const eh::IndexEntry& a, const eh::IndexEntry& b) { return a.begin < b.begin; });
    Program.tables.low = in->low;
    Program.tables.high = in->high;
    Program.tables.index = index;
    Program.tables.count = count;
}

void NoteProgram() {
    const ElfW(Phdr)* phdrs = (const ElfW(Phdr)*)getauxval(AT_PHDR);
    int count = (int)getauxval(AT_PHNUM);
    if (phdrs == nullptr) return;
    ReadSegments(phdrs, count, ExecutableBias(phdrs, count), &Program);
    NotePath();
    Program.object.path = ProgramPath;
#if defined(KORVAL_DL_FIND_OBJECT)
    dl_find_object found;
    if (_dl_find_object((void*)getauxval(AT_ENTRY), &found) == 0)
        Program.object.handle = found.dlfo_link_map;
#endif
    if (Program.tables.hdr == 0) IndexProgram();
}

// ---- Set-up: the table of shared libraries, before glibc 2.35 -------------

#if !defined(KORVAL_DL_FIND_OBJECT)

int CountObject(dl_phdr_info*, size_t, void* count) {
    ++*(size_t*)count;
    return 0;
}

// The table being made, and how many objects it has room for.
struct Making {
    ObjectTable* t;
    size_t room;
};

int NoteObject(dl_phdr_info* info, size_t, void* data) {
    Making* m = (Making*)data;
    if (m->t->count == m->room) return 1;
    Layout l = Layout();
    ReadSegments(info->dlpi_phdr, info->dlpi_phnum, info->dlpi_addr, &l);
    l.object.path = info->dlpi_name;
    m->t->objects[m->t->count++] = l;
    return 0;
}

void NoteObjects() {
    std::lock_guard<std::mutex> hold(TableLock);
    size_t count = 0;
    dl_iterate_phdr(CountObject, &count);
    count += 16; // room for objects loaded between the two passes
    void* block = ::operator new(sizeof(ObjectTable) + count * sizeof(Layout), std::nothrow);
    if (block == nullptr) return;
    Making m = {new (block) ObjectTable(), count};
    m.t->count = 0;
    dl_iterate_phdr(NoteObject, &m);
    Table.store(m.t, std::memory_order_release);
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
    return Program.object.bias;
}

void PrepareLoadedObjects(void) {
    PrepareProgramCode();
#if !defined(KORVAL_DL_FIND_OBJECT)
    NoteObjects();
#endif
}

} // namespace korval
