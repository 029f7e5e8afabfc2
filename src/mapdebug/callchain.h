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
 * PrepareCallChain notes what the walk needs about the loaded objects: on
 * POSIX the code segments and the unwind tables of each (from
 * dl_iterate_phdr), up to 512 objects; nothing on Windows, where the system
 * keeps its own function tables. Call it outside signal context before
 * faults can happen (the guard calls it when a thread first enters a guard)
 * and again after loading or unloading libraries: the chain stops where it
 * meets code that was not loaded at the last call, and an object unloaded
 * before the last call is never read. It takes locks, and may run while
 * CallChain runs on other threads. Thread-safe.
 */
void PrepareCallChain(void);

/*
 * The return addresses of the frames that called the frame interrupted at
 * Context (a ucontext_t* on POSIX, a CONTEXT* on Windows), innermost first:
 * at most Max into Returns; returns how many. Returns[0] is where the
 * interrupted routine's caller goes on once it returns. The interrupted
 * frame may be a leaf that saved nothing (a fault inside strlen).
 *
 * It reads only the stack between StackLow and StackHigh (the interrupted
 * thread's stack, which the caller knows) and the unwind tables; it takes
 * no lock, allocates nothing and calls no stdio, so it may be called from a
 * signal handler or an exception filter; it needs about 5 KiB of stack. It
 * stops at the first frame it cannot unwind: an address outside the noted
 * code or without unwind entry, a stack address out of bounds, a return
 * address of 0, no progress, the outermost frame, or a signal trampoline
 * (the chain does not go on into the code a signal interrupted). On Windows
 * the system's unwinder reads each frame's saved registers itself; the
 * stack pointer of every frame is checked against the bounds.
 *
 * Linux on x86-64 and aarch64, and Windows x64, only: elsewhere it
 * returns 0.
 */
DWORD CallChain(const void* Context, ULONG_PTR StackLow, ULONG_PTR StackHigh, ULONG_PTR* Returns,
                DWORD Max);

} // namespace korval

#endif // KORVAL_MAPDEBUG_CALLCHAIN_H
