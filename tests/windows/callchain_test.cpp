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
extern "C" void StoreZero(char* where);
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
    ULONG_PTR low, high; // the thread's stack
    ULONG_PTR returns[kMax];
    DWORD count;
    ULONG_PTR capped[kMax]; // with Max 2
    DWORD cappedCount;
    DWORD otherStackCount; // with bounds that exclude the thread's stack
} W;

void* Back[5]; // __builtin_setjmp's buffer

void Land() {
    __builtin_longjmp(Back, 1);
}

LONG CALLBACK OnException(EXCEPTION_POINTERS* info) {
    if (info->ExceptionRecord->ExceptionCode != EXCEPTION_ACCESS_VIOLATION)
        return EXCEPTION_CONTINUE_SEARCH;
    const CONTEXT* context = info->ContextRecord;
    W.count = CallChain(context, W.low, W.high, W.returns, kMax);
    W.cappedCount = CallChain(context, W.low, W.high, W.capped, 2);
    W.otherStackCount = CallChain(context, 0x10000, 0x20000, W.capped + 2, kMax);
    // Go on in Land, as if called, well below the faulting frames.
    info->ContextRecord->Rsp = ((context->Rsp - 4096) & ~(DWORD64)15) - 8;
    info->ContextRecord->Rip = (DWORD64)Land;
    return EXCEPTION_CONTINUE_EXECUTION;
}

// Runs chain with the handler in force; true when it faulted.
__attribute__((noinline)) bool FaultUnderHandler(void (*chain)()) {
    W = Walks();
    GetCurrentThreadStackLimits(&W.low, &W.high);
    PVOID handler = AddVectoredExceptionHandler(1, OnException);
    volatile bool faulted = true;
    if (__builtin_setjmp(Back) == 0) {
        chain();
        faulted = false;
    }
    RemoveVectoredExceptionHandler(handler);
    return faulted;
}

// Whether Return returns into routine, whose extent its unwind entry gives.
bool ReturnsInto(ULONG_PTR Return, const void* routine) {
    DWORD64 base = 0;
    PRUNTIME_FUNCTION entry = RtlLookupFunctionEntry((DWORD64)routine, &base, NULL);
    if (entry == NULL || base + entry->BeginAddress != (DWORD64)routine) return false;
    return Return > base + entry->BeginAddress && Return <= base + entry->EndAddress;
}

// Checks that the chain returns into each of expected in order, and goes on
// beyond them.
void ExpectChain(const void* const* expected, DWORD count) {
    for (DWORD i = 0; i < W.count; i++)
        printf("  %#llx\n", (unsigned long long)W.returns[i]);
    CHECK(W.count > count);
    for (DWORD i = 0; i < count && i < W.count; i++)
        CHECK(ReturnsInto(W.returns[i], expected[i]));
}

} // namespace

int main() {
    setvbuf(stdout, NULL, _IONBF, 0);

    // Innermost first: the caller of strlen, each caller of that, and the
    // routine that ran the chain.
    CHECK(FaultUnderHandler(Level4));
    const void* const expected[] = {(const void*)Level1, (const void*)Level2, (const void*)Level3,
                                    (const void*)Level4, (const void*)FaultUnderHandler};
    ExpectChain(expected, 5);
    // At most Max, the same ones; nothing from bounds that exclude the stack.
    CHECK(W.cappedCount == 2);
    CHECK(W.capped[0] == W.returns[0] && W.capped[1] == W.returns[1]);
    CHECK(W.otherStackCount == 0);

    // A fault in a leaf without unwind entry, whose return address is on top.
    CHECK(FaultUnderHandler(CallLeaf));
    const void* const leafExpected[] = {(const void*)CallLeaf, (const void*)FaultUnderHandler};
    ExpectChain(leafExpected, 2);

    printf("callchain: %s\n", Failures ? "FAILED" : "passed");
    return Failures ? 1 : 0;
}
