/*
 * mapdebug.cpp - the fault reporter.
 *
 * OpenDebugFile loads code maps: a named one, or with NULL the program's
 * own and the one beside each loaded object of the program that has one
 * (OpenDebug: KORVAL.COD from the current directory); OpenDebugObjects adds
 * those of objects loaded since; CloseDebug gives every block back.
 * HandleException, the filter of KORVAL's guard round the conversion, prints
 * what happened and where: the routine, module and offset of the program's
 * table record whose range holds the fault address. RunGuarded runs any
 * program's work inside the guard and reports a fault on standard error,
 * with the calls that led to it, each named from the code map of the object
 * it lies in, or as object+offset.
 *
 * A code map may carry an extension after its records (extension.h): full
 * names, and the identity of the file it describes. A map whose identity
 * differs from the loaded object's is not used; an extension that does not
 * check in every field is ignored and the records are used as they are.
 *
 * A report is made while the faulting work is stopped wherever it was,
 * perhaps inside malloc or printf and holding their locks. So it is
 * formatted here by hand, into a buffer on the stack, without the heap, and
 * written in one piece straight to the system. The one exception is
 * KORVAL's own line, which goes through stdout after what the program
 * printed, but only where the stream cannot be half-way through a call.
 */

#include "mapdebug.h"
#include "platform.h"
#include "callchain.h"
#include "extension.h"
#include "guard.h"
#include "objects.h"

#include <string.h>

#include <atomic>
#include <string>
#include <vector>

#ifdef _WIN32
#include <tlhelp32.h>
#else
#include <link.h>
#include <pthread.h>
#include <ucontext.h>
#endif

using korval::CallChain;
using korval::ExceptionCallChain;
using korval::FindLoadedObject;
using korval::GuardCall;
using korval::IsProgramCode;
using korval::LoadedObject;
using korval::ProgramLoadBias;
using korval::ProgramModule;
using korval::PutStdoutInOrder;

#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "code map files are little-endian and are used as they lie"
#endif

PDEBUGMAP pDebugMap = NULL;
uint32_t iNumMaps = 0;
int Aborted = 0;

/* The most records whose size, count times 52, fits in 32 bits. */
#define MAX_MAPS ((uint32_t)(0xFFFFFFFFu / sizeof(DEBUGMAP))) /* 82,595,524 */

#define MAX_CHAIN  16  /* the most calling frames a report names */
#define MAX_FRAMES 64  /* the most frames walked to find them */
#define MAX_NAME   240 /* the most characters of a full name a report shows */
#define MAX_OBJECT 64  /* the most characters of an object's file name shown */

namespace {

/* A loaded code map: its records, their full names when its extension
 * checked, and where the object it describes lies. */
struct CodeTable {
    PDEBUGMAP Records;
    uint32_t Count;
    BOOL Ascending;         /* each record's address at or above the one before */
    const uint32_t* NameAt; /* offset of each record's full name in Names, or NULL */
    const char* Names;      /* the name pool, which ends in a zero byte */
    ULONG_PTR Bias;         /* run-time address minus the records' addresses */
    ULONG_PTR Base;         /* the object's LoadedObject::base, 0 when unknown */
    LPVOID Extension;       /* the extension's block, or NULL */
};

/* What a code map's extension says the file it describes is. */
struct Identity {
    uint32_t Kind;
    uint32_t Length;
    BYTE Bytes[korval::kMostIdentity];
};

/* How far the running executable lies from the addresses it was linked at,
 * which the code map holds; noted when a code map is loaded. */
ULONG_PTR LoadBias = 0;

/* The program's table as the loader left it; its full names belong to
 * pDebugMap only while pDebugMap and iNumMaps are what the loader set. */
CodeTable Own;

/* The other objects' tables: a slot is filled before it is counted, and the
 * count is read with acquire, so a report may read the slots below it while
 * OpenDebugObjects adds one. */
const int kMostObjects = 64;
CodeTable Objects[kMostObjects];
std::atomic<int> NumObjects{0};

/* Where the program's own image starts (LoadedObject::base), once noted. */
std::atomic<ULONG_PTR> ProgramBase{0};

/* The file names of the objects seen at set-up, for a report to name an
 * object for which FindLoadedObject gives no path (an executable on
 * Windows); filled like Objects. */
const int kMostNoted = 128;
struct NotedName {
    ULONG_PTR Base;
    char Name[MAX_OBJECT + 1];
};
NotedName Noted[kMostNoted];
std::atomic<int> NumNoted{0};

/* The return addresses inside the library's own guard routines, which a
 * chain leaves out: those of every frame between the work and the caller of
 * RunGuarded, measured once by running a probe through RunGuarded. */
const int kMostOwnReturns = 8;
ULONG_PTR OwnReturns[kMostOwnReturns];
std::atomic<int> NumOwnReturns{-1}; /* -1 until measured */

/* ------------------------------------------------------------------------ */
/* Set-up: loading code maps, outside signal context                        */

/* Holds the set-up's lock while it lives: OpenDebugFile, OpenDebugObjects
 * and the probe, between threads. (MinGW's threads of the Win32 flavour have
 * no std::mutex.) */
#ifdef _WIN32
SRWLOCK SetUpLock = SRWLOCK_INIT;
struct SetUpHold {
    SetUpHold() { AcquireSRWLockExclusive(&SetUpLock); }
    ~SetUpHold() { ReleaseSRWLockExclusive(&SetUpLock); }
};
#else
pthread_mutex_t SetUpLock = PTHREAD_MUTEX_INITIALIZER;
struct SetUpHold {
    SetUpHold() { pthread_mutex_lock(&SetUpLock); }
    ~SetUpHold() { pthread_mutex_unlock(&SetUpLock); }
};
#endif

uint32_t Le32(const BYTE* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint32_t RoundUp4(uint32_t n) {
    return (n + 3u) & ~3u;
}

/* Gives a block of VirtualAlloc back. */
void FreeBlock(LPVOID Block) {
    if (Block == NULL) return;
    VirtualFree(Block, 0, MEM_DECOMMIT);
    VirtualFree(Block, 0, MEM_RELEASE);
}

void FreeTable(CodeTable* Table) {
    FreeBlock(Table->Records);
    FreeBlock(Table->Extension);
    memset(Table, 0, sizeof *Table);
}

/* Whether the extension Ext of Size bytes, after Count records, checks in
 * every field; then the full names of Table point into it and its identity
 * goes to *Id. */
BOOL CheckExtension(const BYTE* Ext, uint32_t Size, uint32_t Count, CodeTable* Table,
                    Identity* Id) {
    uint64_t Pos;
    uint32_t NameLength, PoolSize;

    if (Size < 36 || memcmp(Ext, korval::kExtensionMagic, 8) != 0) return FALSE;
    if (Le32(Ext + 8) != Size || Le32(Ext + 12) != Count) return FALSE;
    Id->Kind = Le32(Ext + 24);
    Id->Length = Le32(Ext + 28);
    if (Id->Kind > korval::kIdentityPe || Id->Length > korval::kMostIdentity) return FALSE;
    memcpy(Id->Bytes, Ext + 32, Id->Length);
    Pos = 32 + RoundUp4(Id->Length);
    NameLength = Le32(Ext + Pos);
    if (NameLength > korval::kMostObjectName) return FALSE;
    Pos += 4 + RoundUp4(NameLength);
    /* The offsets, then the pool's size: the whole of what is left. */
    if (Pos + 4ull * Count + 4 > Size) return FALSE;
    PoolSize = Le32(Ext + Pos + 4ull * Count);
    if (Pos + 4ull * Count + 4 + PoolSize != Size || PoolSize == 0) return FALSE;
    const BYTE* Pool = Ext + Pos + 4ull * Count + 4;
    if (Pool[PoolSize - 1] != '\0') return FALSE; /* so every name ends inside it */
    const uint32_t* NameAt = (const uint32_t*)(Ext + Pos);
    for (uint32_t i = 0; i < Count; i++)
        if (NameAt[i] >= PoolSize) return FALSE;
    Table->NameAt = NameAt;
    Table->Names = (const char*)Pool;
    return TRUE;
}

/* The identity of a loaded object, as a code map's extension gives it. */
#ifdef _WIN32
BOOL ObjectIdentity(ULONG_PTR ImageBase, Identity* Id) {
    const IMAGE_DOS_HEADER* Dos = (const IMAGE_DOS_HEADER*)ImageBase;
    const IMAGE_NT_HEADERS* Nt = (const IMAGE_NT_HEADERS*)(ImageBase + Dos->e_lfanew);
    DWORD Stamp = Nt->FileHeader.TimeDateStamp, Size = Nt->OptionalHeader.SizeOfImage;
    Id->Kind = korval::kIdentityPe;
    Id->Length = 8;
    memcpy(Id->Bytes, &Stamp, 4);
    memcpy(Id->Bytes + 4, &Size, 4);
    return TRUE;
}
#else
/* The GNU build ID note among the object's PT_NOTE segments in memory. */
BOOL ObjectIdentity(const dl_phdr_info* Info, Identity* Id) {
    for (int i = 0; i < Info->dlpi_phnum; i++) {
        const ElfW(Phdr)& Segment = Info->dlpi_phdr[i];
        if (Segment.p_type != PT_NOTE) continue;
        const BYTE* Note = (const BYTE*)(Info->dlpi_addr + Segment.p_vaddr);
        const BYTE* End = Note + Segment.p_memsz;
        uint32_t Align = Segment.p_align == 8 ? 8 : 4;
        while (End - Note >= 12) {
            uint32_t NameSize = Le32(Note), DescSize = Le32(Note + 4), Type = Le32(Note + 8);
            uint64_t DescAt = 12 + ((NameSize + Align - 1) & ~(uint64_t)(Align - 1));
            uint64_t Next = DescAt + ((DescSize + Align - 1) & ~(uint64_t)(Align - 1));
            if (Next > (uint64_t)(End - Note)) break;
            if (Type == NT_GNU_BUILD_ID && NameSize == 4 && memcmp(Note + 12, "GNU", 4) == 0 &&
                DescSize <= korval::kMostIdentity) {
                Id->Kind = korval::kIdentityBuildId;
                Id->Length = DescSize;
                memcpy(Id->Bytes, Note + DescAt, DescSize);
                return TRUE;
            }
            Note += Next;
        }
    }
    return FALSE;
}
#endif

/* A code map file read whole: its records into one block, its extension
 * into another. */
enum LoadResult {
    kNoMap,   /* missing, not a regular file, no records, too large */
    kLoaded,  /* a block was obtained; Count is 0 when the records came up short */
    kRefused, /* it describes another file than Running */
};

/* Loads the code map lpName into Table. Running is the identity of the
 * object it must describe, NULL when that cannot be had. */
LoadResult LoadCodeMap(const char* lpName, CodeTable* Table, const Identity* Running) {
    HANDLE hMap;
    uint32_t Count = 0, MapSize;
    DWORD dwRead = 0, SizeHigh = 0, FileSize;
    LPVOID lpMap;
    Identity Id;

    memset(Table, 0, sizeof *Table);
    hMap = CreateFileA(lpName, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                       FILE_ATTRIBUTE_NORMAL, NULL);
    if (hMap == INVALID_HANDLE_VALUE) return kNoMap;
    /* A pipe or a device could keep the read waiting: only a file on disk. */
    if (GetFileType(hMap) != FILE_TYPE_DISK) {
        CloseHandle(hMap);
        return kNoMap;
    }
    ReadFile(hMap, &Count, sizeof Count, &dwRead, NULL);
    if (Count == 0 || Count > MAX_MAPS) {
        CloseHandle(hMap);
        return kNoMap;
    }
    MapSize = Count * (uint32_t)sizeof(DEBUGMAP);
    lpMap = VirtualAlloc(NULL, MapSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    if (lpMap == NULL) {
        CloseHandle(hMap);
        return kNoMap;
    }
    Table->Records = (PDEBUGMAP)lpMap;
    dwRead = 0;
    ReadFile(hMap, lpMap, MapSize, &dwRead, NULL);
    if (dwRead != MapSize) Count = 0; /* never a part of a table */
    Table->Count = Count;

    /* The extension is what follows the records, to the end of the file. */
    FileSize = GetFileSize(hMap, &SizeHigh);
    if (Count != 0 && FileSize != INVALID_FILE_SIZE && SizeHigh == 0 &&
        FileSize >= 4ull + MapSize + 36) {
        DWORD ExtSize = FileSize - 4 - MapSize;
        LPVOID Ext = VirtualAlloc(NULL, ExtSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (Ext != NULL) {
            dwRead = 0;
            ReadFile(hMap, Ext, ExtSize, &dwRead, NULL);
            if (dwRead == ExtSize && CheckExtension((const BYTE*)Ext, ExtSize, Count, Table, &Id))
                Table->Extension = Ext;
            else
                FreeBlock(Ext);
        }
    }
    CloseHandle(hMap);

    if (Table->Extension != NULL && Id.Kind != korval::kIdentityNone &&
        (Running == NULL || Running->Kind != Id.Kind || Running->Length != Id.Length ||
         memcmp(Running->Bytes, Id.Bytes, Id.Length) != 0)) {
        FreeTable(Table);
        return kRefused;
    }
    Table->Ascending = TRUE;
    for (uint32_t i = 1; i < Count && Table->Ascending; i++)
        Table->Ascending = Table->Records[i].SymbAddr >= Table->Records[i - 1].SymbAddr;
    return kLoaded;
}

/* A loaded object of the process, as the set-up enumerates them. */
struct ObjectFile {
    std::string Path; /* its file, with the directory */
    ULONG_PTR Inside; /* an address inside its image */
    BOOL HasIdentity;
    Identity Id;
    BOOL IsProgram;
};

#ifdef _WIN32
/* Every module of the process, from a Toolhelp snapshot. */
std::vector<ObjectFile> LoadedObjects() {
    std::vector<ObjectFile> List;
    HANDLE Snap = CreateToolhelp32Snapshot(TH32CS_SNAPMODULE, 0);
    if (Snap == INVALID_HANDLE_VALUE) return List;
    MODULEENTRY32 Entry;
    Entry.dwSize = sizeof Entry;
    for (BOOL More = Module32First(Snap, &Entry); More; More = Module32Next(Snap, &Entry)) {
        ObjectFile Object;
        Object.Path = Entry.szExePath;
        Object.Inside = (ULONG_PTR)Entry.modBaseAddr;
        Object.HasIdentity = ObjectIdentity(Object.Inside, &Object.Id);
        Object.IsProgram = Entry.hModule == ProgramModule();
        List.push_back(Object);
    }
    CloseHandle(Snap);
    return List;
}
#else
int NoteObject(dl_phdr_info* Info, size_t, void* Data) {
    std::vector<ObjectFile>* List = static_cast<std::vector<ObjectFile>*>(Data);
    ObjectFile Object;
    Object.Inside = 0;
    for (int i = 0; i < Info->dlpi_phnum && Object.Inside == 0; i++)
        if (Info->dlpi_phdr[i].p_type == PT_LOAD && Info->dlpi_phdr[i].p_memsz != 0)
            Object.Inside = Info->dlpi_addr + Info->dlpi_phdr[i].p_vaddr;
    if (Object.Inside == 0) return 0;
    Object.IsProgram = List->empty(); /* the loader's first entry */
    Object.Path = Info->dlpi_name;
    Object.HasIdentity = ObjectIdentity(Info, &Object.Id);
    List->push_back(Object);
    return 0;
}

/* Every loaded object, the executable first, from the dynamic loader. */
std::vector<ObjectFile> LoadedObjects() {
    std::vector<ObjectFile> List;
    dl_iterate_phdr(NoteObject, &List);
    if (!List.empty()) {
        char Path[4096];
        DWORD Length = GetModuleFileNameA(NULL, Path, sizeof Path);
        List[0].Path = Length != 0 && Length < sizeof Path ? Path : "";
    }
    return List;
}
#endif

/* The program's own entry among the loaded objects, or NULL. */
const ObjectFile* ProgramOf(const std::vector<ObjectFile>& List) {
    for (const ObjectFile& Object : List)
        if (Object.IsProgram) return &Object;
    return NULL;
}

/* Notes the file name of each object of List not noted yet. */
void NoteNames(const std::vector<ObjectFile>& List) {
    for (const ObjectFile& File : List) {
        LoadedObject Object;
        int n = NumNoted.load(std::memory_order_relaxed), i = 0;
        size_t Name = File.Path.find_last_of("/\\");
        Name = Name == std::string::npos ? 0 : Name + 1;
        if (n == kMostNoted || Name == File.Path.size()) return;
        if (!FindLoadedObject(File.Inside, &Object)) continue;
        while (i < n && Noted[i].Base != Object.base)
            i++;
        if (i < n) continue;
        Noted[n].Base = Object.base;
        strncpy(Noted[n].Name, File.Path.c_str() + Name, MAX_OBJECT);
        Noted[n].Name[MAX_OBJECT] = '\0';
        NumNoted.store(n + 1, std::memory_order_release);
    }
}

#ifdef _WIN32
/* The image base that the PE file Path asks for; Fallback when it cannot
 * be read. The headers mapped with a relocated image may hold the base it
 * was loaded at instead. */
ULONG_PTR PreferredImageBase(const std::string& Path, ULONG_PTR Fallback) {
    alignas(8) char Head[4096];
    DWORD Got = 0;
    HANDLE File = CreateFileA(Path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (File == INVALID_HANDLE_VALUE) return Fallback;
    BOOL Read = ReadFile(File, Head, sizeof Head, &Got, NULL);
    CloseHandle(File);
    const IMAGE_DOS_HEADER* Dos = (const IMAGE_DOS_HEADER*)Head;
    if (!Read || Got < sizeof *Dos || Dos->e_magic != IMAGE_DOS_SIGNATURE || Dos->e_lfanew < 0 ||
        (DWORD)Dos->e_lfanew > Got - sizeof(IMAGE_NT_HEADERS) || Dos->e_lfanew % 8 != 0)
        return Fallback;
    const IMAGE_NT_HEADERS* Nt = (const IMAGE_NT_HEADERS*)(Head + Dos->e_lfanew);
    if (Nt->Signature != IMAGE_NT_SIGNATURE ||
        Nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR_MAGIC)
        return Fallback;
    return Nt->OptionalHeader.ImageBase;
}
#endif

/* Notes where the program's image starts, for reports to tell its frames. */
void NoteProgram(const ObjectFile* Program) {
    LoadedObject Object;
    if (Program != NULL && FindLoadedObject(Program->Inside, &Object))
        ProgramBase.store(Object.base, std::memory_order_release);
}

/* The code map beside the object file Path: in its directory, named after
 * it up to its first dot, upper-cased, with .COD (app: APP.COD,
 * libshapes.so.1: LIBSHAPES.COD, plugin.dll: PLUGIN.COD). Empty when Path
 * names no file. */
std::string CodeMapBeside(const std::string& Path) {
    size_t Name = Path.find_last_of("/\\");
    Name = Name == std::string::npos ? 0 : Name + 1;
    if (Name == 0 || Name == Path.size()) return ""; /* no directory: no file (the vDSO) */
    size_t Dot = Path.find('.', Name + 1);
    std::string Map = Path.substr(0, Dot == std::string::npos ? Path.size() : Dot);
    for (size_t i = Name; i < Map.size(); i++)
        if (Map[i] >= 'a' && Map[i] <= 'z') Map[i] = (char)(Map[i] - 'a' + 'A');
    return Map + ".COD";
}

/* Whether a table is held for the object whose image starts at Base. */
BOOL HasTable(ULONG_PTR Base) {
    for (int i = 0; i < NumObjects.load(std::memory_order_relaxed); i++)
        if (Objects[i].Base == Base) return TRUE;
    return Base == Own.Base && pDebugMap != NULL;
}

/* Loads the code map beside each object of List that has none yet but the
 * program; returns how many were loaded. */
int LoadObjectMaps(const std::vector<ObjectFile>& List) {
    int Loaded = 0;
    for (const ObjectFile& File : List) {
        LoadedObject Object;
        std::string Map = CodeMapBeside(File.Path);
        int Slot = NumObjects.load(std::memory_order_relaxed);
        if (File.IsProgram || Map.empty() || Slot == kMostObjects) continue;
        if (!FindLoadedObject(File.Inside, &Object) || HasTable(Object.base)) continue;
        CodeTable* Table = &Objects[Slot];
        if (LoadCodeMap(Map.c_str(), Table, File.HasIdentity ? &File.Id : NULL) != kLoaded)
            continue;
        if (Table->Count == 0) {
            FreeTable(Table);
            continue;
        }
#ifdef _WIN32
        Table->Bias = Object.base - PreferredImageBase(File.Path, Object.base - Object.bias);
#else
        Table->Bias = Object.bias;
#endif
        Table->Base = Object.base;
        NumObjects.store(Slot + 1, std::memory_order_release);
        Loaded++;
    }
    return Loaded;
}

/* The name of the program's own code map; empty when its path cannot be
 * had. */
std::string OwnCodeMapName() {
    char Path[4096];
    DWORD Length = GetModuleFileNameA(ProgramModule(), Path, sizeof Path);
    if (Length == 0 || Length >= sizeof Path) return "";
    return CodeMapBeside(Path);
}

} // namespace

int OpenDebug(void) {
    return OpenDebugFile("KORVAL.COD");
}

int OpenDebugFile(const char* lpName) {
    SetUpHold Hold;
    BOOL Every = lpName == NULL;
    /* A named map is the program's: the other objects are not looked at. */
    static std::vector<ObjectFile> ProgramAlone;
    std::vector<ObjectFile> List;
    std::string OwnName;
    CodeTable Table;
    int Loaded = 0;

    if (Every || ProgramAlone.empty()) {
        List = LoadedObjects();
        NoteNames(List);
        if (const ObjectFile* Found = ProgramOf(List)) ProgramAlone.assign(1, *Found);
    }
    const ObjectFile* Program = ProgramAlone.empty() ? NULL : &ProgramAlone[0];
    if (Every) {
        OwnName = OwnCodeMapName();
        lpName = OwnName.c_str();
    }
    CloseDebug(); /* the tables loaded before go */
    if (ProgramBase.load(std::memory_order_relaxed) == 0) NoteProgram(Program);
    if (*lpName != '\0' &&
        LoadCodeMap(lpName, &Table,
                    Program != NULL && Program->HasIdentity ? &Program->Id : NULL) == kLoaded) {
        LoadBias = ProgramLoadBias();
        Table.Bias = LoadBias;
        Table.Base = ProgramBase.load(std::memory_order_relaxed);
        Own = Table;
        pDebugMap = Table.Records;
        iNumMaps = Table.Count;
        Loaded = 1;
    }
    if (Every && LoadObjectMaps(List) > 0) Loaded = 1;
    return Loaded;
}

int OpenDebugObjects(void) {
    SetUpHold Hold;
    std::vector<ObjectFile> List = LoadedObjects();
    NoteNames(List);
    return LoadObjectMaps(List) > 0;
}

int CloseDebug(void) {
    int Held = pDebugMap != NULL || NumObjects.load() > 0;
    PDEBUGMAP pBlock = pDebugMap;

    iNumMaps = 0;
    pDebugMap = NULL;
    /* A table the program set itself is not the loader's to give back. */
    if (pBlock != NULL && pBlock != Own.Records) FreeBlock(pBlock);
    FreeTable(&Own);
    for (int i = NumObjects.exchange(0); i > 0; i--)
        FreeTable(&Objects[i - 1]);
    return Held;
}

/* ------------------------------------------------------------------------ */
/* The library's own frames                                                 */

namespace {

thread_local BOOL Probing; /* this thread's RunGuarded is the probe's */
ULONG_PTR ProbeCaller;     /* where the probe's RunGuarded returns to */

struct Probe {
    ULONG_PTR StackHigh; /* the chain reads no stack above the probe's caller */
    ULONG_PTR Returns[MAX_CHAIN];
    DWORD Count;
};

/* The work of the probe: the chain of its own frame, which the guard called. */
__attribute__((noinline)) void ProbeWork(void* Arg) {
    Probe* P = static_cast<Probe*>(Arg);
    volatile char Here = 0;
    ULONG_PTR Low = (ULONG_PTR)&Here - 65536;
#ifdef _WIN32
    CONTEXT Context;
    RtlCaptureContext(&Context);
#else
    ucontext_t Context;
    if (getcontext(&Context) != 0) return;
#endif
    P->Count = CallChain(&Context, Low, P->StackHigh, P->Returns, MAX_CHAIN);
    Here = 1;
}

/* Measures the return addresses inside the library's guard routines: every
 * frame between the probe's work and the caller of its RunGuarded. The
 * return addresses are those of the compiled code, whatever the compiler
 * inlined. The probe runs twice through one call of RunGuarded: first on
 * its way for a guard before the measure, which notes where it returns to,
 * then on its usual way, since a compiler may give each way a call of
 * GuardCall of its own (GCC does on aarch64). Also notes the program's
 * image. */
__attribute__((noinline)) void NoteOwnFrames(void) {
    SetUpHold Hold;
    if (NumOwnReturns.load(std::memory_order_acquire) >= 0) return;
    std::vector<ObjectFile> List = LoadedObjects();
    NoteProgram(ProgramOf(List));
    NoteNames(List);
    /* Called through a pointer: a copy of RunGuarded inlined here would
     * have return addresses of its own. */
    int (*volatile Run)(void (*)(void*), void*) = RunGuarded;
    int Count = 0;
    for (volatile int Pass = 0; Pass < 2; Pass++) {
        Probe P;
        P.StackHigh = (ULONG_PTR)(&P + 1);
        P.Count = 0;
        Probing = TRUE;
        Run(ProbeWork, &P);
        Probing = FALSE;
        DWORD Caller = 0;
        while (Caller < P.Count && P.Returns[Caller] != ProbeCaller)
            Caller++;
        for (DWORD i = 0; Caller < P.Count && i < Caller; i++) {
            BOOL Known = FALSE;
            for (int k = 0; k < Count; k++)
                Known |= OwnReturns[k] == P.Returns[i];
            if (!Known && Count < kMostOwnReturns) OwnReturns[Count++] = P.Returns[i];
        }
        NumOwnReturns.store(Count, std::memory_order_release);
    }
}

} // namespace

/* ------------------------------------------------------------------------ */
// ---- SIGNAL CONTEXT: the reports, made where the work faulted: no lock,
// no heap, no stdio but PutStdoutInOrder's try.

namespace {

/* Appends at most MaxLen characters of Text, up to its first zero byte, to
 * the text of *Len characters in Buff, which always keeps its terminator. */
void PutText(char* Buff, DWORD Size, DWORD* Len, const char* Text, DWORD MaxLen) {
    DWORD i;
    for (i = 0; i < MaxLen && Text[i] != '\0' && *Len + 1 < Size; i++)
        Buff[(*Len)++] = Text[i];
    Buff[*Len] = '\0';
}

/* Appends Value in upper-case hexadecimal, at least MinDigits (<= 16) long. */
void PutHex(char* Buff, DWORD Size, DWORD* Len, unsigned long long Value, int MinDigits) {
    char Digits[16];
    int n = 0;
    do {
        Digits[n++] = "0123456789ABCDEF"[Value & 0xF];
        Value >>= 4;
    } while (Value != 0);
    while (n < MinDigits)
        Digits[n++] = '0';
    while (n > 0 && *Len + 1 < Size)
        Buff[(*Len)++] = Digits[--n];
    Buff[*Len] = '\0';
}

#define PUT(Text) PutText(Buff, Size, Len, Text, (DWORD)-1)

/* The program's table: pDebugMap and iNumMaps, which a program may set
 * itself, with what the loader knows of them while they are its own. */
CodeTable ProgramTable(void) {
    CodeTable Table;
    if (pDebugMap == Own.Records && iNumMaps == Own.Count) {
        Table = Own;
    } else {
        memset(&Table, 0, sizeof Table);
        Table.Records = pDebugMap;
        Table.Count = iNumMaps;
    }
    Table.Bias = LoadBias;
    return Table;
}

/* The record whose range holds the run-time address Addr: walking from the
 * first record while records start at or below it, the one before the
 * record the walk stops at, which is never the last. NULL for an empty
 * table, an address below the first record or at or above the last, and
 * one that the table's 32-bit addresses cannot hold. In an ascending table
 * the walk stops at the first record above the address, which a binary
 * search finds. */
PDEBUGMAP FindRecord(const CodeTable* Table, ULONG_PTR Addr) {
    ULONG_PTR Linked = Addr - Table->Bias;
    uint32_t Stop = 0, Count = Table->Count;
    const DEBUGMAP* Records = Table->Records;

    if (Linked > 0xFFFFFFFFu || Records == NULL) return NULL;
    if (Table->Ascending) {
        uint32_t High = Count;
        while (Stop < High) {
            uint32_t Mid = Stop + (High - Stop) / 2;
            if (Records[Mid].SymbAddr <= (uint32_t)Linked)
                Stop = Mid + 1;
            else
                High = Mid;
        }
    } else {
        while (Stop < Count && Records[Stop].SymbAddr <= (uint32_t)Linked)
            Stop++;
    }
    if (Stop < Count && Stop > 0) return Table->Records + Stop - 1;
    return NULL;
}

/* Appends "Routine(Module)+0xOFFSET" for Addr inside the record pRec of
 * Table: the full name when the table has it, at most MAX_NAME characters
 * of it and "..." after a name cut there. */
void PutWhere(char* Buff, DWORD Size, DWORD* Len, const CodeTable* Table, PDEBUGMAP pRec,
              ULONG_PTR Addr) {
    const char* Full =
        Table->NameAt != NULL ? Table->Names + Table->NameAt[pRec - Table->Records] : "";
    if (*Full != '\0') {
        PutText(Buff, Size, Len, Full, MAX_NAME);
        if (strnlen(Full, MAX_NAME + 1) > MAX_NAME) PUT("...");
    } else {
        PutText(Buff, Size, Len, pRec->Routine, sizeof pRec->Routine);
    }
    PUT("(");
    PutText(Buff, Size, Len, pRec->Module, sizeof pRec->Module);
    PUT(")+0x");
    PutHex(Buff, Size, Len, (uint32_t)(Addr - Table->Bias) - pRec->SymbAddr, 1);
}

/* Appends the plain address, at least 8 digits. */
void PutAddress(char* Buff, DWORD Size, DWORD* Len, ULONG_PTR Addr) {
    PUT("0x");
    PutHex(Buff, Size, Len, Addr, 8);
}

/* Appends where Addr lies, for a report of RunGuarded's: the record of the
 * code map of the object that holds Look (Addr, or for a return address the
 * call before it), else "<object file name>+0x<offset from its base>", else,
 * outside every object, the plain address. The object's name is the one its
 * path gives, else the one noted at set-up. */
void PutFrame(char* Buff, DWORD Size, DWORD* Len, ULONG_PTR Look, ULONG_PTR Addr) {
    LoadedObject Object;
    CodeTable Table;
    PDEBUGMAP pRec;

    if (!FindLoadedObject(Look, &Object)) {
        PutAddress(Buff, Size, Len, Addr);
        return;
    }
    const CodeTable* Found = NULL;
    if (Object.base == ProgramBase.load(std::memory_order_acquire)) {
        Table = ProgramTable();
        Found = &Table;
    } else {
        int n = NumObjects.load(std::memory_order_acquire);
        for (int i = 0; i < n && Found == NULL; i++)
            if (Objects[i].Base == Object.base) Found = &Objects[i];
    }
    /* A record named by a section (".text") marks where a piece of code
     * without a routine of its own starts: its frames are given as
     * object+offset, not as the routine before it. */
    if (Found != NULL && (pRec = FindRecord(Found, Look)) != NULL && pRec->Routine[0] != '.') {
        PutWhere(Buff, Size, Len, Found, pRec, Addr);
        return;
    }
    const char* Name = Object.path != NULL ? Object.path : "";
    for (int i = NumNoted.load(std::memory_order_acquire); *Name == '\0' && i > 0; i--)
        if (Noted[i - 1].Base == Object.base) Name = Noted[i - 1].Name;
    for (const char* p = Name; *p != '\0'; p++)
        if (*p == '/' || *p == '\\') Name = p + 1;
    if (*Name == '\0') {
        PutAddress(Buff, Size, Len, Addr);
        return;
    }
    PutText(Buff, Size, Len, Name, MAX_OBJECT);
    PUT("+0x");
    PutHex(Buff, Size, Len, Addr - Object.base, 1);
}

/* The text of an exception code; the access violation's is formatted by
 * PutReportLine. */
const char* CodeText(DWORD ExceptionCode) {
    switch (ExceptionCode) {
    case EXCEPTION_DATATYPE_MISALIGNMENT:
        return "Data type misalignment";
    case EXCEPTION_BREAKPOINT:
        return "Breakpoint instruction";
    case EXCEPTION_SINGLE_STEP:
        return "Single step breakpoint";
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
        return "Array bounds exceeded";
    case EXCEPTION_FLT_DENORMAL_OPERAND:
        return "FLOAT: Denormalized operand";
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
        return "FLOAT: Divide by zero";
    case EXCEPTION_FLT_INEXACT_RESULT:
        return "FLOAT: Inexact result";
    case EXCEPTION_FLT_INVALID_OPERATION:
        return "FLOAT: Invalid operation";
    case EXCEPTION_FLT_OVERFLOW:
        return "FLOAT: Result overflow";
    case EXCEPTION_FLT_STACK_CHECK:
        return "FLOAT: FP Stack check";
    case EXCEPTION_FLT_UNDERFLOW:
        return "FLOAT: Result underflow";
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
        return "Integer divide by zero";
    case EXCEPTION_INT_OVERFLOW:
        return "Integer result overflow";
    case EXCEPTION_PRIV_INSTRUCTION:
        return "Privileged instruction";
    case STATUS_CONTROL_C_EXIT:
        return "Control-C interrupt";
    case STATUS_FATAL_APP_EXIT: /* abort(), a failed assert */
        return "Abnormal program termination";
    default:
        return NULL;
    }
}

/* Appends "EXCEPTION : <what> at <where>." for the exception: KORVAL's form
 * (the program's table, else the plain address) or, with Objects, the form
 * of RunGuarded's reports (PutFrame). Addresses are as wide as the
 * platform's: one above 4 GiB is printed in full, never cut. */
void PutReportLine(char* Buff, DWORD Size, DWORD* Len, DWORD ExceptionCode,
                   PEXCEPTION_RECORD ExceptionInfo, BOOL Objects) {
    ULONG_PTR FaultAddress[1 + EXCEPTION_MAXIMUM_PARAMETERS]; /* the address, then the parameters */
    DWORD dwIx;
    const char* Text;

    FaultAddress[0] = (ULONG_PTR)ExceptionInfo->ExceptionAddress;
    for (dwIx = 0; dwIx < ExceptionInfo->NumberParameters && dwIx < EXCEPTION_MAXIMUM_PARAMETERS;
         dwIx++)
        FaultAddress[dwIx + 1] = ExceptionInfo->ExceptionInformation[dwIx];

    PUT("EXCEPTION : ");
    if (ExceptionCode == EXCEPTION_ACCESS_VIOLATION && ExceptionInfo->NumberParameters >= 2) {
        PUT("Access error. Ref to locn 0x");
        PutHex(Buff, Size, Len, FaultAddress[2], 8);
    } else if (ExceptionCode == EXCEPTION_ACCESS_VIOLATION) {
        PUT("Access error. Ref to locn unknown");
    } else if ((Text = CodeText(ExceptionCode)) != NULL) {
        PUT(Text);
    } else {
        PUT("Unknown code : 0x");
        PutHex(Buff, Size, Len, ExceptionCode, 8);
    }
    PUT(" at ");
    if (Objects) {
        PutFrame(Buff, Size, Len, FaultAddress[0], FaultAddress[0]);
    } else {
        CodeTable Table = ProgramTable();
        PDEBUGMAP pRec = FindRecord(&Table, FaultAddress[0]);
        if (pRec != NULL)
            PutWhere(Buff, Size, Len, &Table, pRec, FaultAddress[0]);
        else
            PutAddress(Buff, Size, Len, FaultAddress[0]);
    }
    PUT(".");
}

/* Writes a report in one piece, so that reports made at once on several
 * threads do not mix. */
void PutOut(DWORD nStdHandle, const char* Text, DWORD Len) {
    DWORD dwWritten = 0;
    WriteFile(GetStdHandle(nStdHandle), Text, Len, &dwWritten, NULL);
}

/* Whether Return is a return address inside the library's guard routines. */
BOOL IsOwnReturn(ULONG_PTR Return) {
    int n = NumOwnReturns.load(std::memory_order_acquire);
    for (int i = 0; i < n; i++)
        if (OwnReturns[i] == Return) return TRUE;
    return FALSE;
}

/* The filter of RunGuarded: the report line and the calling frames, without
 * the library's own, on standard error; a last line says when there were
 * more than it names. Each return address is looked up one byte back, in
 * its call, which belongs to the caller even where the call is the
 * caller's last instruction. The probe that measures the library's frames
 * takes its exception without a report. */
LONG ReportFilter(PEXCEPTION_POINTERS ExceptionInfo) {
    /* The report line and each chain line: text, a name of MAX_NAME and
     * "...", a module of 16, an offset of 16 digits. */
    char Buff[(MAX_CHAIN + 2) * (MAX_NAME + 64)];
    DWORD Size = sizeof Buff;
    DWORD Count = 0;
    DWORD* Len = &Count;
    ULONG_PTR Returns[MAX_FRAMES + 1];
    DWORD nFrames, i, nNamed = 0;
    BOOL More = FALSE;
    PEXCEPTION_RECORD pRecord = ExceptionInfo->ExceptionRecord;

    PutReportLine(Buff, Size, Len, pRecord->ExceptionCode, pRecord, TRUE);
    PUT(LINE_END);
    nFrames = ExceptionCallChain(ExceptionInfo, Returns, MAX_FRAMES + 1);
    if (nFrames > MAX_FRAMES) {
        nFrames = MAX_FRAMES;
        More = TRUE;
    }
    for (i = 0; i < nFrames; i++) {
        if (IsOwnReturn(Returns[i])) continue;
        if (nNamed == MAX_CHAIN) {
            More = TRUE;
            break;
        }
        PUT("  called from ");
        PutFrame(Buff, Size, Len, Returns[i] - 1, Returns[i]);
        PUT(LINE_END);
        nNamed++;
    }
    if (More) {
        PUT("  (more frames not shown)");
        PUT(LINE_END);
    }
    PutOut(STD_ERROR_HANDLE, Buff, Count);
    return EXCEPTION_EXECUTE_HANDLER;
}

} // namespace

int HandleException(DWORD ExceptionCode, PEXCEPTION_RECORD ExceptionInfo) {
    char szReport[(MAX_NAME + 256)];
    DWORD Len = 0;

    PutReportLine(szReport, sizeof szReport, &Len, ExceptionCode, ExceptionInfo, FALSE);
    /* The line goes after what the program printed before, through its
     * stdio stream, where the fault is in the program's own code: there the
     * stream is not half-way through a call. Otherwise, or while another
     * thread holds the stream, it is written to the system at once. */
    if (!IsProgramCode((ULONG_PTR)ExceptionInfo->ExceptionAddress) || !PutStdoutInOrder(szReport))
        PutOut(STD_OUTPUT_HANDLE, szReport, Len);
    return 1;
}

/* ------------------------------------------------------------------------ */
/* The guard's entry, outside signal context: the probe, once, then the      */
/* guarded call with ReportFilter.                                           */

int RunGuarded(void (*Work)(void*), void* Arg) {
    if (NumOwnReturns.load(std::memory_order_acquire) < 0) {
        if (!Probing)
            NoteOwnFrames();
        else
            ProbeCaller = (ULONG_PTR)__builtin_return_address(0);
    }
    if (GuardCall(Work, Arg, ReportFilter, 0)) return 1;
    Aborted = 1;
    return 0;
}
