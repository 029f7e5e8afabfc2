// guard_bench.cpp - what a guard costs on work that does not fault.
//
// Programs guard every request or unit of work, so RunGuarded must cost
// little more than the call it makes: the benchmark times a plain call of a
// small work function against RunGuarded of the same, and a nested pair,
// under Google Benchmark. The thread's first guard sets things up: that
// first call is timed on its own, on a new thread each time; the other
// loops measure the calls after it.

#include "mapdebug.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <thread>

namespace {

volatile int Sink;

__attribute__((noinline)) void Work(void* arg) {
    Sink = Sink + *static_cast<int*>(arg);
}

void PlainCall(benchmark::State& state) {
    int one = 1;
    void (*volatile call)(void*) = Work; // called through a pointer, as RunGuarded does
    for (auto _ : state)
        call(&one);
}

void Guarded(benchmark::State& state) {
    int one = 1;
    RunGuarded(Work, &one); // the thread's first guard
    for (auto _ : state)
        if (!RunGuarded(Work, &one)) state.SkipWithError("the work faulted");
}

void NestedGuards(benchmark::State& state) {
    int one = 1;
    auto inner = [](void* arg) { RunGuarded(Work, arg); };
    for (auto _ : state)
        RunGuarded(inner, &one);
}

// The first RunGuarded of a new thread: the thread's alternate stack and
// the rest of what its guards need, made then. The thread itself is not
// timed.
void FirstGuardOfAThread(benchmark::State& state) {
    int one = 1;
    RunGuarded(Work, &one); // the process's first guard, on this thread
    for (auto _ : state) {
        double seconds = 0;
        std::thread([&] {
            auto start = std::chrono::steady_clock::now();
            RunGuarded(Work, &one);
            seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        }).join();
        state.SetIterationTime(seconds);
    }
}

BENCHMARK(PlainCall);
BENCHMARK(Guarded);
BENCHMARK(NestedGuards);
BENCHMARK(Guarded)->Threads(2);
BENCHMARK(FirstGuardOfAThread)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
