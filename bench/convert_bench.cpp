// convert_bench.cpp - the conversion in memory, under Google Benchmark.
//
// The converter's own Doit and writers run on generated maps held in
// memory, writing to the null device: no disk, no file system, no process
// start. What is left is the converter's own work (cutting, choosing and
// parsing lines, sorting, formatting) and its memory, which is what the
// timings of whole runs in run.sh blur with the cost of files.
//
// The maps come from genmap (GENMAP_EXE, set by the build), one per size and
// order, made when a benchmark first needs it.

#include "korval.h"

#include <benchmark/benchmark.h>

#include <stdio.h>

#include <map>
#include <string>
#include <utility>

namespace {

const char* const kOrders[] = {"asc", "desc", "random", "blocks"};

// The map of `symbols` symbols in order kOrders[order]; empty if genmap failed.
const std::string& Map(int64_t symbols, int64_t order) {
    static std::map<std::pair<int64_t, int64_t>, std::string> Maps;
    std::string& text = Maps[{symbols, order}];
    if (text.empty()) {
        std::string command = std::string(GENMAP_EXE) + " --seed 1 --symbols " +
                              std::to_string(symbols) + " --order " + kOrders[order];
        FILE* pipe = popen(command.c_str(), "r");
        if (pipe == NULL) return text;
        char buffer[1 << 16];
        size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            text.append(buffer, n);
        if (pclose(pipe) != 0) text.clear();
    }
    return text;
}

// One whole conversion of map: the state a run starts from, both passes,
// the sort, the writer, the entry block given back. Returns the entries.
DWORD ConvertOnce(const std::string& map, int binary) {
    ResetRun();
    Binary = binary;
    pIfileMap = map.data();
    dwISize = (DWORD)map.size();
    hOfile = CreateFileA("/dev/null", GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_NORMAL, NULL);
    int ok = hOfile != INVALID_HANDLE_VALUE && Doit() && (Binary ? WriteOutputB() : WriteOutputA());
    if (hOfile != INVALID_HANDLE_VALUE && !CloseHandle(hOfile)) ok = 0;
    if (EntBase != NULL) VirtualFree(EntBase, 0, MEM_RELEASE);
    return ok ? NumRecs : 0;
}

// Arguments: symbols, index of the order, 1 for the code map (else the listing).
void Conversion(benchmark::State& state) {
    const std::string& map = Map(state.range(0), state.range(1));
    if (map.empty()) {
        state.SkipWithError("genmap did not make the map");
        return;
    }
    DWORD entries = 0;
    for (auto _ : state) {
        entries = ConvertOnce(map, (int)state.range(2));
        if (entries != (DWORD)state.range(0)) {
            state.SkipWithError("the conversion failed or lost entries");
            return;
        }
    }
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)map.size());
    state.SetLabel(std::string(kOrders[state.range(1)]) + (state.range(2) ? " .COD" : " .ENT"));
}

BENCHMARK(Conversion)
    ->ArgsProduct({{100000, 1000000}, {0, 1, 2, 3}, {1, 0}})
    ->ArgNames({"symbols", "order", "cod"})
    ->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
