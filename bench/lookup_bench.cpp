// lookup_bench.cpp - what a fault report costs at 20 million records.
//
// A report looks up the fault address and each calling frame in the code
// map. The benchmark writes a code map of 20,000,000 ascending records that
// cover this executable's code (linked at fixed addresses), and times one
// whole report, a fault five calls deep inside RunGuarded, with its chain
// and the report written to /dev/null: over the table as OpenDebugFile
// loads it, searched by halves, and over the same records handed to the
// reporter by the program itself, which are walked from the first, as
// every table once was.

#include "mapdebug.h"

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

const uint32_t kRecords = 20000000;

volatile int* volatile NullPointer = nullptr;
volatile int Sink;

// Five frames, none left by a tail call, then a fault.
__attribute__((noinline)) void Level(int depth) {
    if (depth == 0)
        *NullPointer = 1;
    else
        Level(depth - 1);
    Sink = depth;
}

void FaultFiveDeep(void*) {
    Level(4);
}

// The code map: record i at address i / 4, four records to an address, so
// that the table ends at 5 MB and this executable's code, linked from 4 MiB
// on, lies in its last fifth: far for a walk from the first record.
std::string WriteCodeMap() {
    std::string name =
        std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/LOOKUP_BENCH.XXXXXX";
    int fd = mkstemp(&name[0]);
    if (fd < 0) return "";
    std::vector<DEBUGMAP> chunk(1 << 16);
    uint32_t count = kRecords;
    bool ok = write(fd, &count, 4) == 4;
    for (uint32_t first = 0; ok && first < kRecords; first += chunk.size()) {
        for (uint32_t i = 0; i < chunk.size(); i++) {
            memset(&chunk[i], 0, sizeof chunk[i]);
            chunk[i].SymbAddr = (first + i) / 4;
            snprintf(chunk[i].Routine, sizeof chunk[i].Routine, "Routine%u", first + i);
            memcpy(chunk[i].Module, "bench.o", 7);
        }
        size_t bytes =
            (size_t)std::min<uint32_t>(chunk.size(), kRecords - first) * sizeof(DEBUGMAP);
        ok = write(fd, chunk.data(), bytes) == (ssize_t)bytes;
    }
    close(fd);
    if (!ok) unlink(name.c_str());
    return ok ? name : "";
}

// Times reports with standard error going nowhere.
void Reports(benchmark::State& state) {
    int saved = dup(2), null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    for (auto _ : state)
        if (RunGuarded(FaultFiveDeep, nullptr)) state.SkipWithError("no fault");
    dup2(saved, 2);
    close(saved);
    close(null);
}

void ReportLoadedTable(benchmark::State& state) {
    std::string name = WriteCodeMap();
    if (name.empty() || !OpenDebugFile(name.c_str()) || iNumMaps != kRecords) {
        state.SkipWithError("no code map of 20 million records");
        return;
    }
    unlink(name.c_str());
    Reports(state);
    state.counters["records"] = iNumMaps;
}

void ReportWalkedTable(benchmark::State& state) {
    std::vector<DEBUGMAP> table(kRecords);
    for (uint32_t i = 0; i < kRecords; i++) {
        table[i].SymbAddr = i / 4;
        snprintf(table[i].Routine, sizeof table[i].Routine, "Routine%u", i);
    }
    CloseDebug();
    pDebugMap = table.data();
    iNumMaps = kRecords;
    Reports(state);
    pDebugMap = NULL;
    iNumMaps = 0;
}

BENCHMARK(ReportLoadedTable)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReportWalkedTable)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
