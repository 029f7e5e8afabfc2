// codemap_client.cpp - a position-independent program for the code map
// tool's tests. It prints its load bias and the link-time address of
// client::Probe, found at run time as its address less that bias, which is
// what a fault report does with a fault address.

#include <link.h>
#include <stdint.h>
#include <stdio.h>

namespace client {
int Probe(int x) {
    return x + 1;
}
} // namespace client

namespace {

// The first object dl_iterate_phdr reports is the program itself.
int TakeFirst(dl_phdr_info* info, size_t, void* bias) {
    *(uintptr_t*)bias = info->dlpi_addr;
    return 1;
}

} // namespace

int main() {
    uintptr_t bias = 0;
    dl_iterate_phdr(TakeFirst, &bias);
    printf("%jx %jx\n", (uintmax_t)bias, (uintmax_t)((uintptr_t)&client::Probe - bias));
    return client::Probe(-1);
}
