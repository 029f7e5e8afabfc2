// objects.h - the program's own image among the loaded objects.

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

/* Whether Address lies in the code of the program itself (not in a shared
 * library or DLL, the C library's or any other). Lock-free once the guard or
 * ProgramLoadBias has been used. */
BOOL IsProgramCode(ULONG_PTR Address);


/* A loaded object: the executable, or a shared library (a DLL). */
struct LoadedObject {
    ULONG_PTR Bias;     /* run-time address minus link-time address */
    ULONG_PTR Base;     /* where its image starts in memory: link base + Bias */
    const char* Path;   /* its file, as the loader names it (the executable's
                           full path); valid while the object stays loaded */
    const void* Handle; /* what identifies it to the system (link_map, HMODULE) */
};

/* The object that holds Address now, into Object; FALSE when no loaded
 * object holds it (an unloaded plugin, a JIT page, garbage). Safe in signal
 * context: no lock, no heap, and it never reads an object that is gone. */
BOOL FindLoadedObject(ULONG_PTR Address, LoadedObject* Object);

} // namespace korval

#endif // KORVAL_MAPDEBUG_OBJECTS_H
