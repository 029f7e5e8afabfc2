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

__attribute__((noinline)) void Work(void* Arg) {
    Sink = Sink + *static_cast<int*>(Arg);
}

void PlainCall(benchmark::State& state) {
    int One = 1;
    void (*volatile Call)(void*) = Work; // called through a pointer, as RunGuarded does
    for (auto _ : state)
        Call(&One);
}

void Guarded(benchmark::State& state) {
    int One = 1;
    RunGuarded(Work, &One); // the thread's first guard
    for (auto _ : state)
        if (!RunGuarded(Work, &One)) state.SkipWithError("the work faulted");
}

void NestedGuards(benchmark::State& state) {
    int One = 1;
    auto Inner = [](void* Arg) { RunGuarded(Work, Arg); };
    for (auto _ : state)
        RunGuarded(Inner, &One);
}

// The first RunGuarded of a new thread: the thread's alternate stack and
// the rest of what its guards need, made then. The thread itself is not
// timed.
void FirstGuardOfAThread(benchmark::State& state) {
    int One = 1;
    RunGuarded(Work, &One); // the process's first guard, on this thread
    for (auto _ : state) {
        double Seconds = 0;
        std::thread([&] {
            auto Start = std::chrono::steady_clock::now();
            RunGuarded(Work, &One);
            Seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - Start).count();
        }).join();
        state.SetIterationTime(Seconds);
    }
}

BENCHMARK(PlainCall);
BENCHMARK(Guarded);
BENCHMARK(NestedGuards);
BENCHMARK(Guarded)->Threads(2);
BENCHMARK(FirstGuardOfAThread)->UseManualTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
