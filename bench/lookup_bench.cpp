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
__attribute__((noinline)) void Level(int Depth) {
    if (Depth == 0)
        *NullPointer = 1;
    else
        Level(Depth - 1);
    Sink = Depth;
}

void FaultFiveDeep(void*) {
    Level(4);
}

// The code map: record i at address i / 4, four records to an address, so
// that the table ends at 5 MB and this executable's code, linked from 4 MiB
// on, lies in its last fifth: far for a walk from the first record.
std::string WriteCodeMap() {
    std::string Name =
        std::string(getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp") + "/LOOKUP_BENCH.XXXXXX";
    int Fd = mkstemp(&Name[0]);
    if (Fd < 0) return "";
    std::vector<DEBUGMAP> Chunk(1 << 16);
    uint32_t Count = kRecords;
    bool Ok = write(Fd, &Count, 4) == 4;
    for (uint32_t First = 0; Ok && First < kRecords; First += Chunk.size()) {
        for (uint32_t i = 0; i < Chunk.size(); i++) {
            memset(&Chunk[i], 0, sizeof Chunk[i]);
            Chunk[i].SymbAddr = (First + i) / 4;
            snprintf(Chunk[i].Routine, sizeof Chunk[i].Routine, "Routine%u", First + i);
            memcpy(Chunk[i].Module, "bench.o", 7);
        }
        size_t Bytes =
            (size_t)std::min<uint32_t>(Chunk.size(), kRecords - First) * sizeof(DEBUGMAP);
        Ok = write(Fd, Chunk.data(), Bytes) == (ssize_t)Bytes;
    }
    close(Fd);
    if (!Ok) unlink(Name.c_str());
    return Ok ? Name : "";
}

// Times reports with standard error going nowhere.
void Reports(benchmark::State& State) {
    int Saved = dup(2), Null = open("/dev/null", O_WRONLY);
    dup2(Null, 2);
    for (auto _ : State)
        if (RunGuarded(FaultFiveDeep, nullptr)) State.SkipWithError("no fault");
    dup2(Saved, 2);
    close(Saved);
    close(Null);
}

void ReportLoadedTable(benchmark::State& State) {
    std::string Name = WriteCodeMap();
    if (Name.empty() || !OpenDebugFile(Name.c_str()) || iNumMaps != kRecords) {
        State.SkipWithError("no code map of 20 million records");
        return;
    }
    unlink(Name.c_str());
    Reports(State);
    State.counters["records"] = iNumMaps;
}

void ReportWalkedTable(benchmark::State& State) {
    std::vector<DEBUGMAP> Table(kRecords);
    for (uint32_t i = 0; i < kRecords; i++) {
        Table[i].SymbAddr = i / 4;
        snprintf(Table[i].Routine, sizeof Table[i].Routine, "Routine%u", i);
    }
    CloseDebug();
    pDebugMap = Table.data();
    iNumMaps = kRecords;
    Reports(State);
    pDebugMap = NULL;
    iNumMaps = 0;
}

BENCHMARK(ReportLoadedTable)->Unit(benchmark::kMicrosecond);
BENCHMARK(ReportWalkedTable)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace

BENCHMARK_MAIN();
