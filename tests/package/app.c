/*
 * app.c - a C program that links the fault reporter, built by the package
 * test as another project would build it. It loads KORVAL.COD from the
 * current directory and says whether it found one.
 */
#include <stdio.h>

/* The header is C++ until the reporter's C interface is in; until then the
 * two calls are bound to their C++ symbols by name. */
int OpenDebug(void) __asm__("_Z9OpenDebugv");
int CloseDebug(void) __asm__("_Z10CloseDebugv");

int main(void) {
    int loaded = OpenDebug();
    printf("app: code map %s\n", loaded ? "loaded" : "missing");
    CloseDebug();
    return 0;
}
