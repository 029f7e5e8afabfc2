// guarded.cpp - the fault reporter in a small C++ program.
//
// Each request runs inside the guard: one throws a C++ exception, which
// passes through the guard to the caller's catch as it would without it;
// one divides by zero, which is reported on standard error, named from the
// program's own code map (GUARDED_CPP.COD beside it), and the program goes
// on with the next.
#include <korval/mapdebug.h>

#include <cstdio>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

volatile int Zero = 0;

struct Request {
    int Kind;
    int Answer = 0;
};

void Serve(void* Arg) {
    Request& R = *static_cast<Request*>(Arg);
    if (R.Kind == 1) throw std::runtime_error("no such request");
    R.Answer = 100 / (R.Kind == 2 ? Zero : R.Kind);
}

} // namespace

int main() {
    OpenDebugFile(nullptr);
    std::vector<std::thread> Threads;
    for (int Kind : {1, 2, 3})
        Threads.emplace_back([Kind] {
            Request R{Kind};
            try {
                bool Done = RunGuarded(Serve, &R);
                std::printf("request %d: %s\n", Kind, Done ? "answered" : "faulted");
            } catch (const std::exception& E) {
                std::printf("request %d: %s\n", Kind, E.what());
            }
        });
    for (std::thread& T : Threads)
        T.join();
    CloseDebug();
    return 0;
}
