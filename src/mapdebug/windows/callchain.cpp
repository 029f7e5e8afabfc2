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

DWORD CallChain(const void* Context, ULONG_PTR StackLow, ULONG_PTR StackHigh, ULONG_PTR* Returns,
                DWORD Max) {
    if (Context == NULL || Returns == NULL) return 0;
    CONTEXT Frame = *(const CONTEXT*)Context;
    DWORD Count = 0;
    for (bool Interrupted = true; Count < Max; Interrupted = false) {
        DWORD64 Sp = Frame.Rsp, Pc = Frame.Rip;
        if (Sp < StackLow || Sp >= StackHigh || Sp % 8 != 0) break;
        DWORD64 ImageBase = 0;
        PRUNTIME_FUNCTION Function = RtlLookupFunctionEntry(Pc, &ImageBase, NULL);
        if (Function != NULL) {
            PVOID HandlerData;
            DWORD64 EstablisherFrame;
            RtlVirtualUnwind(UNW_FLAG_NHANDLER, ImageBase, Pc, Function, &Frame, &HandlerData,
                             &EstablisherFrame, NULL);
        } else if (Interrupted) {
            // A leaf function has no unwind entry and leaves Rsp alone: its
            // return address is on top of the stack. (So does a call to an
            // address where there is no code.) A caller, having made a call,
            // is no leaf: without an entry its code is unknown.
            if (StackHigh - Sp < 8) break;
            Frame.Rip = *(const DWORD64*)Sp;
            Frame.Rsp = Sp + 8;
        } else {
            break;
        }
        if (Frame.Rip == 0 || Frame.Rsp <= Sp || Frame.Rsp > StackHigh) break;
        Returns[Count++] = Frame.Rip;
    }
    return Count;
}

#else

DWORD CallChain(const void*, ULONG_PTR, ULONG_PTR, ULONG_PTR*, DWORD) {
    return 0;
}

#endif

} // namespace korval
