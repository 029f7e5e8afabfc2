// callchain.h - the call chain of an interrupted thread.

#ifndef KORVAL_MAPDEBUG_CALLCHAIN_H
#define KORVAL_MAPDEBUG_CALLCHAIN_H

#include "platform.h"

namespace korval {

/*
 * The call chain of an interrupted thread, made from the unwind tables that
 * every executable and shared library carries, without debug information
 * or frame pointers: on Linux (x86-64 and aarch64) from .eh_frame, read by
 * the layer's own code; on Windows x64 from .pdata and .xdata, by the
 * system's unwinder.
 *
 * PrepareCallChain notes what the walk needs before faults can happen: on
 * POSIX the program's own image (PrepareLoadedObjects), on Windows the
 * images loaded now (PrepareProgramCode). Call it outside signal context
 * (the guard calls it when a thread first enters a guard). With glibc 2.35
 * or later it never takes the dynamic loader's lock, and libraries loaded or
 * unloaded later are found, or not, as they are when the walk meets them;
 * with an older C library it notes the loaded objects, and should be called
 * again after loading or unloading libraries. Thread-safe.
 */
void PrepareCallChain(void);

/*
 * The return addresses of the frames that called the frame interrupted at
 * context (a ucontext_t* on POSIX, a CONTEXT* on Windows), innermost first:
 * at most max into returns; returns how many. returns[0] is where the
 * interrupted routine's caller goes on once it returns. The interrupted
 * frame may be a leaf that saved nothing (a fault inside strlen).
 *
 * It reads only the stack between stackLow and stackHigh (the stack the
 * interrupted code ran on, which the caller knows) and the unwind tables of
 * loaded objects; it takes no lock, allocates nothing and calls no stdio, so
 * it may be called from a signal handler or an exception filter; it needs
 * about 4 KiB of stack (7 KiB on aarch64). On POSIX it walks through a
 * signal handler's frame into the code the signal interrupted (the
 * registers the kernel saved, when they lie inside the bounds), and a first
 * frame whose address lies in no loaded object as a call that has just
 * happened (through a null or stray pointer). It stops at the first frame
 * it cannot unwind: an address outside every loaded object (an unloaded
 * library, code made at run time) or without unwind entry, a stack address
 * out of bounds, a return address of 0, no progress, or the outermost
 * frame. On Windows the system's unwinder reads each frame's saved
 * registers itself; the stack pointer of every frame is checked against
 * the bounds.
 *
 * Linux on x86-64 and aarch64, and Windows x64, only: elsewhere it
 * returns 0.
 */
DWORD CallChain(const void* context, ULONG_PTR stackLow, ULONG_PTR stackHigh, ULONG_PTR* returns,
                DWORD max);

} // namespace korval

#endif // KORVAL_MAPDEBUG_CALLCHAIN_H
