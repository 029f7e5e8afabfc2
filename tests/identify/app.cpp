// app.cpp - a guarded program whose faults happen in its own shared
// library, in the C library and in a failed assert: app lib|libc|assert.
#include <korval/mapdebug.h>

#include <cassert>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>

extern "C" long ShapesAverage(const int* Bins, std::size_t Count);

#ifdef STALE_BUILD
// A rebuild with one routine more, which moves the others.
extern "C" __attribute__((used, noinline)) int AddedSinceTheMap(int X) {
    return X * 3 + 1;
}
#endif

namespace inv {

struct Ledger {
    const char* volatile Name = nullptr;
    int* volatile Bins = nullptr;

    __attribute__((noinline)) long averageOfBins() { return ShapesAverage(Bins, 4) + 1; }
    __attribute__((noinline)) long nameLength() { return (long)std::strlen(Name) + 1; }
    __attribute__((noinline)) long checkedTotal() {
        assert(Bins != nullptr && "a ledger has bins");
        return 1;
    }
};

} // namespace inv

static const char* Mode;
static long Result;

static void Work(void*) {
    inv::Ledger Ledger;
    std::function<long()> Step;
    if (std::strcmp(Mode, "lib") == 0) Step = [&] { return Ledger.averageOfBins(); };
    if (std::strcmp(Mode, "libc") == 0) Step = [&] { return Ledger.nameLength(); };
    if (std::strcmp(Mode, "assert") == 0) Step = [&] { return Ledger.checkedTotal(); };
    Result = Step() + 1;
}

int main(int argc, char** argv) {
    Mode = argc > 1 ? argv[1] : "lib";
    OpenDebugFile(NULL);
    int Done = RunGuarded(Work, NULL);
    std::printf("%s\n", Done ? "done" : "faulted");
    CloseDebug();
    return 0;
}
