// windows/callchain.cpp - the call chain of an interrupted thread on Windows
// x64: PrepareCallChain and CallChain.
//
// Every x64 image carries the unwind entries of its functions (.pdata, with
// the codes in .xdata), and the system keeps them in its own tables for the
// exception dispatcher: RtlLookupFunctionEntry finds a function's entry and
// RtlVirtualUnwind undoes its prologue on a copy of the context, which gives
// the caller's registers. Both are what the dispatcher itself runs while an
// exception is being dispatched, so they work inside a vectored handler or
// an exception filter. Other Windows architectures get no chain.

#include "platform.h"
#include "callchain.h"
#include "objects.h"

namespace korval {

// The system keeps the function tables itself; the images are noted for
// FindLoadedObject.
void PrepareCallChain(void) {
    PrepareProgramCode();
}

#if defined(_M_X64) || defined(__x86_64__)

DWORD CallChain(const void* context, ULONG_PTR stackLow, ULONG_PTR stackHigh, ULONG_PTR* returns,
                DWORD max) {
    if (context == NULL || returns == NULL) return 0;
    CONTEXT frame = *(const CONTEXT*)context;
    DWORD count = 0;
    for (bool interrupted = true; count < max; interrupted = false) {
        DWORD64 sp = frame.Rsp, pc = frame.Rip;
        if (sp < stackLow || sp >= stackHigh || sp % 8 != 0) break;
        DWORD64 imageBase = 0;
        PRUNTIME_FUNCTION function = RtlLookupFunctionEntry(pc, &imageBase, NULL);
        if (function != NULL) {
            PVOID handlerData;
            DWORD64 establisherFrame;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, imageBase, pc, function, &frame, &handlerData,
                             &establisherFrame, NULL);
        } else if (interrupted) {
            // A leaf function has no unwind entry and leaves Rsp alone: its
            // return address is on top of the stack. (So does a call to an
            // address where there is no code.) A caller, having made a call,
            // is no leaf: without an entry its code is unknown.
            if (stackHigh - sp < 8) break;
            frame.Rip = *(const DWORD64*)sp;
            frame.Rsp = sp + 8;
        } else {
            break;
        }
        if (frame.Rip == 0 || frame.Rsp <= sp || frame.Rsp > stackHigh) break;
        returns[count++] = frame.Rip;
    }
    return count;
}

#else

DWORD CallChain(const void*, ULONG_PTR, ULONG_PTR, ULONG_PTR*, DWORD) {
    return 0;
}

#endif

} // namespace korval
