// objects.h - the loaded objects: the program's own image among them, and
// the object that holds an address.

#ifndef KORVAL_MAPDEBUG_OBJECTS_H
#define KORVAL_MAPDEBUG_OBJECTS_H

#include "platform.h"

namespace korval {

/* The program, as GetModuleFileNameA names it: on POSIX the running
 * executable (NULL); on Windows the image this layer is linked into, which is
 * the executable unless a DLL links the fault reporter. */
HMODULE ProgramModule(void);

/* How far the program lies from the addresses it was linked at: its load
 * bias (POSIX) or its module base minus the preferred image base in its file
 * (Windows, where the headers mapped with a relocated image may hold the
 * base it was loaded at instead); 0 for a program linked at fixed addresses
 * or loaded at its preferred base. */
ULONG_PTR ProgramLoadBias(void);

/* Notes what IsProgramCode, ProgramLoadBias and FindLoadedObject need to
 * know of the program: where its code lies, its file. Call it outside signal
 * context before they are used there (the guard calls it when a thread
 * first enters a guard); the first call does the work, later ones return at
 * once. It never takes the dynamic loader's lock. Thread-safe. */
void PrepareProgramCode(void);

/* Whether address lies in the code of the program itself (not in a shared
 * library or DLL, the C library's or any other). Only reads what
 * PrepareProgramCode noted (FALSE before it): safe in signal context. */
BOOL IsProgramCode(ULONG_PTR address);

/* A loaded object: the executable, or a shared library (a DLL). */
struct LoadedObject {
    ULONG_PTR bias;     /* run-time address minus link-time address */
    ULONG_PTR base;     /* where its image starts in memory: link base + bias */
    const char* path;   /* its file, as the loader names it (the executable's
                           full path); valid while the object stays loaded */
    const void* handle; /* what identifies it to the system (link_map, HMODULE) */
};

/* The object that holds address now, into object; FALSE when no loaded
 * object holds it (an unloaded plugin, a JIT page, garbage). Safe in signal
 * context: no lock, no heap, and it never reads an object that is gone. */
BOOL FindLoadedObject(ULONG_PTR address, LoadedObject* object);

#if !defined(_WIN32)

namespace eh {
struct IndexEntry;
}

/* Where the unwind tables of an object lie, for the call chain. */
struct UnwindTables {
    ULONG_PTR low, high;         /* the loaded segment that holds them */
    ULONG_PTR hdr;               /* its .eh_frame_hdr, 0 when it has none: then */
    const eh::IndexEntry* index; /*   its FDEs by address, made at set-up, */
    size_t count;                /*   so many */
    ULONG_PTR codeLow, codeHigh; /* the executable segment that holds the address, if any */
};

/* FindLoadedObject, with the object's unwind tables into tables; FALSE when
 * it has none to read. Safe in signal context, like FindLoadedObject. */
BOOL FindUnwindTables(ULONG_PTR address, LoadedObject* object, UnwindTables* tables);

/* PrepareProgramCode, and where the C library has no lock-free lookup of
 * the object that holds an address (before glibc 2.35), the table of the
 * loaded objects, made again by each call: call it again after loading or
 * unloading libraries there. */
void PrepareLoadedObjects(void);

#endif

} // namespace korval

#endif // KORVAL_MAPDEBUG_OBJECTS_H
