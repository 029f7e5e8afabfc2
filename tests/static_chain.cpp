// static_chain.cpp - a program linked -static, which Debian's toolchain
// links without .eh_frame_hdr: a fault inside the guard must still get its
// call chain, from an index of .eh_frame. With the argument "no-files" the
// process can open no file by the time it enters its first guard.
//
// Each routine of the chain notes its own return address; the chain must
// begin with them, innermost first. Exits 0 when it does.

#include "platform.h"
#include "guard.h"

#include <stdio.h>
#include <string.h>
#include <sys/resource.h>

using namespace korval;

#define CHAINED __attribute__((noinline))

volatile int* volatile NullPointer = nullptr;
volatile int Sink;
void* Expected[3];
ULONG_PTR Chain[32];
DWORD Count;

CHAINED void Level1() {
    Expected[0] = __builtin_return_address(0);
    *NullPointer = 1;
    Sink = Sink + 1;
}
CHAINED void Level2() {
    Expected[1] = __builtin_return_address(0);
    Level1();
    Sink = Sink + 1;
}
CHAINED void Level3(void*) {
    Expected[2] = __builtin_return_address(0);
    Level2();
    Sink = Sink + 1;
}

LONG TakeChain(PEXCEPTION_POINTERS info) {
    Count = ExceptionCallChain(info, Chain, 32);
    return EXCEPTION_EXECUTE_HANDLER;
}

int main(int argc, char** argv) {
    if (argc > 1 && strcmp(argv[1], "no-files") == 0) {
        struct rlimit none = {0, 0};
        setrlimit(RLIMIT_NOFILE, &none);
    }
    if (GuardCall(Level3, nullptr, TakeChain, 0)) {
        printf("no fault\n");
        return 1;
    }
    bool ok = Count >= 3;
    for (int i = 0; i < 3; i++) {
        printf("%p %p\n", Expected[i], i < (int)Count ? (void*)Chain[i] : nullptr);
        ok = ok && Chain[i] == (ULONG_PTR)Expected[i];
    }
    printf("%u frames: %s\n", (unsigned)Count, ok ? "as expected" : "NOT as expected");
    return ok ? 0 : 1;
}
