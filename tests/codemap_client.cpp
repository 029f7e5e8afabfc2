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
int TakeFirst(dl_phdr_info* Info, size_t, void* Bias) {
    *(uintptr_t*)Bias = Info->dlpi_addr;
    return 1;
}

} // namespace

int main() {
    uintptr_t Bias = 0;
    dl_iterate_phdr(TakeFirst, &Bias);
    printf("%jx %jx\n", (uintmax_t)Bias, (uintmax_t)((uintptr_t)&client::Probe - Bias));
    return client::Probe(-1);
}
