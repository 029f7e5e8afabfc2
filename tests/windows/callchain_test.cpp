// callchain_test.cpp - CallChain on Windows, with a real fault inside the C
// runtime, run under Wine.
//
// A chain of routines ends in strlen on a null pointer, another in a leaf
// routine that has no unwind entry. A vectored exception handler of the
// test's own walks the chain from the exception's CONTEXT, then resumes the
// thread in a routine that jumps back. The return addresses must lie inside
// the routines of the chain, in order, their extents taken from their
// unwind entries. No test framework: the checks print what failed and the
// exit status tells.

#include "check.h"
#include "platform.h"
#include "callchain.h"

#include <stdio.h>
#include <string.h>

using namespace korval;

namespace {

const char* volatile NullText = nullptr;
volatile size_t Sink;

// Each call is followed by a store, so none is a tail call.
__attribute__((noinline)) void Level1() {
    Sink = strlen(NullText);
}
__attribute__((noinline)) void Level2() {
    Level1();
    Sink = Sink + 1;
}
__attribute__((noinline)) void Level3() {
    Level2();
    Sink = Sink + 1;
}
__attribute__((noinline)) void Level4() {
    Level3();
    Sink = Sink + 1;
}

// A leaf routine without unwind entry, as assembly code may be: it stores a
// zero byte at the address it is given.
extern "C" void StoreZero(char* Where);
__asm__(".text\n"
        ".globl StoreZero\n"
        "StoreZero:\n"
        "    movb $0, (%rcx)\n"
        "    ret\n");

char* volatile NullBytes = nullptr;

__attribute__((noinline)) void CallLeaf() {
    StoreZero(NullBytes);
    Sink = Sink + 1;
}

const DWORD kMax = 64;

// What the handler found.
struct Walks {
    ULONG_PTR Low, High; // the thread's stack
    ULONG_PTR Returns[kMax];
    DWORD Count;
    ULONG_PTR Capped[kMax]; // with Max 2
    DWORD CappedCount;
    DWORD OtherStackCount; // with bounds that exclude the thread's stack
} W;

void* Back[5]; // __builtin_setjmp's buffer

void Land() {
    __builtin_longjmp(Back, 1);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* Info) {
    if (Info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    const CONTEXT* Context = Info->ContextRecord;
    W.Count = CallChain(Context, W.Low, W.High, W.Returns, kMax);
    W.CappedCount = CallChain(Context, W.Low, W.High, W.Capped, 2);
    W.OtherStackCount = CallChain(Context, 0x10000, 0x20000, W.Capped + 2, kMax);
    // Go on in Land, as if called, well below the faulting frames.
    Info->ContextRecord->Rsp = ((Context->Rsp - 4096) & ~(DWORD64)15) - 8;
    Info->ContextRecord->Rip = (DWORD64)Land;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Runs Chain with the handler in force; true when it faulted.
__attribute__((noinline)) bool FaultUnderHandler(void (*Chain)()) {
    W = Walks();
    GetCurrentThreadStackLimits(&W.Low, &W.High);
    PVOID Handler = AddVectoredExceptionHandler(1, OnException);
    volatile bool Faulted = true;
    if (__builtin_setjmp(Back) == 0) {
        Chain();
        Faulted = false;
    }
    RemoveVectoredExceptionHandler(Handler);
    return Faulted;
}

// Whether Return returns into Routine, whose extent its unwind entry gives.
bool ReturnsInto(ULONG_PTR Return, const void* Routine) {
    DWORD64 Base = 0;
    PRUNTIME_FUNCTION Entry = RtlLookupFunctionEntry((DWORD64)Routine, &Base, NULL);
    if (Entry == NULL || Base + Entry->BeginAddress != (DWORD64)Routine) return false;
    return Return > Base + Entry->BeginAddress && Return <= Base + Entry->EndAddress;
}

// Checks that the chain returns into each of Expected in order, and goes on
// beyond them.
void ExpectChain(const void* const* Expected, DWORD Count) {
    for (DWORD i = 0; i < W.Count; i++)
        printf("  %#llx\n", (unsigned long long)W.Returns[i]);
    CHECK(W.Count > Count);
    for (DWORD i = 0; i < Count && i < W.Count; i++)
        CHECK(ReturnsInto(W.Returns[i], Expected[i]));
}

} // namespace

int main() {
    setvbuf(stdout, NULL, _IONBF, 0);

    // Innermost first: the caller of strlen, each caller of that, and the
    // routine that ran the chain.
    CHECK(FaultUnderHandler(Level4));
    const void* const Expected[] = {(const void*)Level1, (const void*)Level2, (const void*)Level3,
                                    (const void*)Level4, (const void*)FaultUnderHandler};
    ExpectChain(Expected, 5);
    // At most Max, the same ones; nothing from bounds that exclude the stack.
    CHECK(W.CappedCount == 2);
    CHECK(W.Capped[0] == W.Returns[0] && W.Capped[1] == W.Returns[1]);
    CHECK(W.OtherStackCount == 0);

    // A fault in a leaf without unwind entry, whose return address is on top.
    CHECK(FaultUnderHandler(CallLeaf));
    const void* const LeafExpected[] = {(const void*)CallLeaf, (const void*)FaultUnderHandler};
    ExpectChain(LeafExpected, 2);

    printf("callchain: %s\n", Failures ? "FAILED" : "passed");
    return Failures ? 1 : 0;
}
