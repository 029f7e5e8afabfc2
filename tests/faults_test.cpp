// faults_test.cpp - the tool built on the failure-injecting platform layer:
// every call it makes to the system is made to fail in turn, and every run
// must end with the documented message and status, release all it held and
// leave the user's files as they were. The same build, which reports at exit
// what is still held, shows that damaged code maps and an exception in the
// middle of a conversion leave nothing behind either.

#include "checked.h"
#include "expected_output.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <map>
#include <sstream>
#include <tuple>

namespace {

const std::string kKorval = KORVAL_FAULTS_EXE;

// Every facility the layer can make fail, by name.
#define FACILITY_NAME(enumerator, name) name,
const char* const kFacilities[] = {KORVAL_FACILITIES(FACILITY_NAME)};
#undef FACILITY_NAME

// The error each facility is made to fail with: what it most likely meets.
const std::map<std::string, int> kErrors = {
    {"CreateFileA", 5},        {"GetFileSize", 6},   {"GetFileType", 6},
    {"CreateFileMappingA", 8}, {"MapViewOfFile", 8}, {"ReadFile", 30},
    {"WriteFile", 112},        {"CloseHandle", 29},  {"VirtualAlloc", 8},
};

const int kEntries = 45000; // enough for several writes of either format

const unsigned long kWriteSize = 1 << 20; // the converter's output block

// A map whose symbols come in descending order, with a library line and a
// data section that are not converted.
std::string BigMap() {
    std::string map = "Program map\r\nCode\r\n";
    char line[80];
    for (int i = 0; i < kEntries; i++) {
        snprintf(line, sizeof line, " %08X _Routine%d mod%d.obj\r\n", 0x500000 - 16 * i, i, i % 7);
        map += line;
    }
    map += " 00401000 _memcpy C:\\lib\\crt.lib(memcpy.obj)\r\nData\r\n 00600000 _Table t.obj\r\n";
    return map;
}

// What the layer reported at exit: calls per facility, "handles", "blocks".
std::map<std::string, unsigned long> ReadLog(const std::string& path) {
    std::map<std::string, unsigned long> log;
    std::ifstream in(path);
    std::string name;
    unsigned long value;
    while (in >> name >> value)
        log[name] = value;
    return log;
}

struct Outcome {
    int status;
    std::string message;
    std::string output;
    unsigned long writes = 0; // failed write n: the output is what n - 1 writes took
};

// Whether out is what `writes` full writes of the complete output leave: its
// start, each write of one output block at most and short of that by less
// than the longest record or line (62 bytes), which would not fit any more.
bool WrittenBefore(const std::string& out, const std::string& complete, unsigned long writes) {
    return complete.compare(0, out.size(), out) == 0 && out.size() <= writes * kWriteSize &&
           out.size() + 62 * writes >= writes * kWriteSize;
}

// A code map of three records for the loader to read at start-up.
std::string CodeMap() {
    std::string cod("\x03\x00\x00\x00", 4);
    for (int i = 0; i < 3; i++)
        cod += std::string("\x00\x10\x40\x00", 4) + "Routine" + std::to_string(i) +
               std::string(24, '\0') + "mod.obj" + std::string(9, '\0');
    return cod;
}

// Parameters: the listing (else the code map file) as output; a code map
// KORVAL.COD present in the current directory.
class FaultSweep : public ::testing::TestWithParam<std::tuple<bool, bool>> {
  protected:
    bool Ascii() const { return std::get<0>(GetParam()); }
    bool Loader() const { return std::get<1>(GetParam()); }
    std::string OutName() const { return Ascii() ? "OUT.ENT" : "OUT.COD"; }

    RunResult Run(const std::vector<std::string>& env) {
        std::vector<std::string> args = {"app", "out"};
        if (Ascii()) args.push_back("-a");
        std::vector<std::string> all = env;
        all.push_back("KORVAL_FAULT_LOG=" + dir / "calls.log");
        return RunIn(dir.Path(), kKorval, args, all);
    }

    // The outcome of failing call n of facility, in a run whose undisturbed
    // output is complete. The loader opens KORVAL.COD first; when it is
    // there, asks its type, reads its count, takes a block, reads the
    // records, asks its size (for an extension after the records) and
    // closes it: a failure of any of these only leaves the table empty, or
    // without the extension. Then the
    // input is opened, sized, mapped and viewed, the output created, the
    // entry block taken, the output written in blocks of 1 MiB, and the
    // mapping, input and output closed in that order.
    Outcome Expected(std::string facility, unsigned long n, const std::string& complete) {
        const std::string input = dir.Path() + "/APP.MAP";
        const std::string old = "previous contents";
        const std::string writeFailed = "\nUnable to write output file '" + OutName() + "'";
        const std::string end =
            "\nEnd KORVAL - " + std::to_string(kEntries) + " map entries written.\n";
        const unsigned long loaderCalls = Loader() ? 1 : 0;
        if (facility == "CreateFileA" && n == 1) return {0, end, complete};
        if (facility == "GetFileType") return {0, end, complete};
        if (facility == "ReadFile" && Loader() && n <= 2) return {0, end, complete};
        if ((facility == "VirtualAlloc" || facility == "CloseHandle" ||
             facility == "GetFileSize") &&
            n <= loaderCalls)
            return {0, end, complete};
        if (facility == "CreateFileA" || facility == "VirtualAlloc" || facility == "CloseHandle" ||
            facility == "GetFileSize")
            n -= facility == "CreateFileA" ? 1 : loaderCalls;
        if (facility == "CreateFileA" && n == 1)
            return {1, "\nUnable to open input file '" + input + "'", old};
        if (facility == "CreateFileA" && n == 2)
            return {1, "\nUnable to open output file '" + OutName() + "'", old};
        if (facility == "GetFileSize" && n == 1)
            return {1, "\nUnable to get the size of input file '" + input + "'", old};
        if (facility == "CreateFileMappingA" && n == 1)
            return {1, "\nUnable to create '" + input + "' file mapping.", old};
        if (facility == "MapViewOfFile" && n == 1)
            return {1, "\nUnable to map '" + input + "' input file.", old};
        if (facility == "VirtualAlloc" && n == 1)
            return {1,
                    "\nUnable to allocate memory for " + std::to_string(kEntries) + " map entries.",
                    ""};
        if (facility == "WriteFile") return {1, writeFailed, complete, n - 1};
        if (facility == "CloseHandle" && n <= 2) return {0, end, complete};
        if (facility == "CloseHandle" && n == 3) return {1, writeFailed, complete};
        ADD_FAILURE() << "a call the sweep does not know: " << facility << " #" << n;
        return {-1, "", ""};
    }

    ScratchDir dir;
};

TEST_P(FaultSweep, EveryFailingCallEndsCleanlyAndLosesNothing) {
    const std::string map = BigMap();
    const std::string out = dir / OutName();
    WriteBytes(dir / "app.map", map);
    if (Loader()) WriteBytes(dir / "KORVAL.COD", CodeMap());

    RunResult clean = Run({});
    ASSERT_EQ(clean.status, 0) << clean.out;
    const std::string complete = ReadBytes(out);
    auto calls = ReadLog(dir / "calls.log");
    ASSERT_EQ(calls["handles"], 0u);
    ASSERT_EQ(calls["blocks"], 0u);
    ASSERT_GE(calls["WriteFile"], 3u) << "the map should need several writes";
    ASSERT_EQ(calls["ReadFile"], Loader() ? 2u : 0u);

    int runs = 0;
    for (const char* facility : kFacilities) {
        for (unsigned long n = 1; n <= calls[facility]; n++, runs++) {
            SCOPED_TRACE(std::string(facility) + " call " + std::to_string(n));
            WriteBytes(out, "previous contents");
            std::remove((dir / "calls.log").c_str());
            std::string fail = "KORVAL_FAIL=" + std::string(facility) + ":" + std::to_string(n) +
                               ":" + std::to_string(kErrors.at(facility));
            RunResult r = Run({fail});
            Outcome want = Expected(facility, n, complete);

            EXPECT_EQ(r.signal, 0);
            EXPECT_EQ(r.status, want.status);
            EXPECT_EQ(AfterBannerLine(r.out), want.message);
            std::string got = ReadBytes(out);
            if (facility == std::string("WriteFile")) {
                EXPECT_TRUE(WrittenBefore(got, complete, want.writes)) << got.size() << " bytes";
            } else {
                EXPECT_TRUE(got == want.output)
                    << got.size() << " bytes, not " << want.output.size();
            }
            EXPECT_TRUE(ReadBytes(dir / "app.map") == map) << "the input was changed";
            if (Loader()) {
                EXPECT_TRUE(ReadBytes(dir / "KORVAL.COD") == CodeMap());
            }
            auto held = ReadLog(dir / "calls.log");
            EXPECT_EQ(held.count("handles"), 1u) << "no report at exit";
            EXPECT_EQ(held["handles"], 0u) << "handles left open";
            EXPECT_EQ(held["blocks"], 0u) << "blocks left allocated";
        }
    }
    EXPECT_GE(runs, Loader() ? 18 : 13);
}

INSTANTIATE_TEST_SUITE_P(BothFormats, FaultSweep,
                         ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const ::testing::TestParamInfo<std::tuple<bool, bool>>& info) {
                             return std::string(std::get<0>(info.param) ? "Listing"
                                                                        : "CodeMapFile") +
                                    (std::get<1>(info.param) ? "WithKorvalCod" : "");
                         });

TEST(EarlyExits, GiveTheCodeMapBack) {
    ScratchDir dir;
    WriteBytes(dir / "KORVAL.COD", CodeMap());
    const std::string log = "KORVAL_FAULT_LOG=" + dir / "calls.log";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{std::string(5000, 'n')}, {"missing"}, {"-?"}}) {
        SCOPED_TRACE(args[0].substr(0, 8));
        std::remove((dir / "calls.log").c_str());
        RunResult r = RunIn(dir.Path(), kKorval, args, {log});
        EXPECT_EQ(r.status, args[0] == "-?" ? 0 : 1);
        auto held = ReadLog(dir / "calls.log");
        EXPECT_EQ(held["VirtualAlloc"], 1u) << "the code map was not loaded";
        EXPECT_EQ(held.count("blocks"), 1u);
        EXPECT_EQ(held["blocks"], 0u);
        EXPECT_EQ(held["handles"], 0u);
    }
}

TEST(DamagedCodeMap, ChangesNothingAndLeavesNothingHeld) {
    ScratchDir dir;
    const std::string map = CrLf({"Code", " 00002000 _Two two.obj", " 00001000 _One one.obj"});
    WriteBytes(dir / "two.map", map);
    const std::string log = "KORVAL_FAULT_LOG=" + dir / "calls.log";
    RunResult plain = RunIn(dir.Path(), kKorval, {"two"}, {log});
    ASSERT_EQ(plain.status, 0);
    const std::string cod = ReadBytes(dir / "TWO.COD");

    const std::string good = CodeMap();
    std::string huge = good; // claims 80,000,000 records: a block of 4 GB, then a short read
    huge.replace(0, 4, std::string("\x00\xB4\xC4\x04", 4));
    const std::vector<std::pair<std::string, std::string>> codeMaps = {
        {"truncated", good.substr(0, good.size() - 1)},
        {"oversized", good + good + std::string(1000, '\x7F')},
        {"count of 80,000,000", huge},
        {"all 0xFF", std::string(4096, '\xFF')},
    };
    for (const auto& codeMap : codeMaps) {
        SCOPED_TRACE(codeMap.first);
        WriteBytes(dir / "KORVAL.COD", codeMap.second);
        RunResult r = RunIn(dir.Path(), kKorval, {"two"}, {log});
        EXPECT_EQ(r.signal, 0);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(AfterBannerLine(r.out), AfterBannerLine(plain.out));
        EXPECT_TRUE(ReadBytes(dir / "TWO.COD") == cod);
        EXPECT_TRUE(ReadBytes(dir / "KORVAL.COD") == codeMap.second);
        auto held = ReadLog(dir / "calls.log");
        EXPECT_EQ(held["handles"], 0u);
        EXPECT_EQ(held["blocks"], 0u);
    }

    std::remove((dir / "KORVAL.COD").c_str());
    ASSERT_EQ(mkdir((dir / "KORVAL.COD").c_str(), 0755), 0);
    RunResult r = RunIn(dir.Path(), kKorval, {"two"}, {log});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(AfterBannerLine(r.out), AfterBannerLine(plain.out));
    EXPECT_TRUE(ReadBytes(dir / "TWO.COD") == cod);
    EXPECT_EQ(ReadLog(dir / "calls.log")["handles"], 0u);
}

// The input cut short while pass 1 reads it: the guard reports the lost
// page, and the cleanup after it closes every handle and frees the entry
// block and the code map, leaves the output empty and the input as the
// test left it. The tool is held up in pass 1 by the echo of option D on
// an output pipe that is not read.
TEST(ShrunkInput, ExceptionLeavesNothingHeldAndTheInputAlone) {
    ScratchDir dir;
    std::string map = BigMap();
    WriteBytes(dir / "big.map", map);
    WriteBytes(dir / "KORVAL.COD", CodeMap());
    Spawned child =
        SpawnIn(dir.Path(), kKorval, {"-d", "big.map"}, {"KORVAL_FAULT_LOG=" + dir / "calls.log"});
    ASSERT_TRUE(WaitBlockedOnOutput(child)) << "korval never waited on its output";
    ASSERT_EQ(truncate((dir / "big.map").c_str(), 4096), 0);
    RunResult r = Finish(child);

    EXPECT_EQ(r.signal, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("EXCEPTION : Unknown code : 0xC0000006 at "), std::string::npos);
    const std::string abort = "\nKORVAL terminated due to exception.";
    EXPECT_TRUE(r.out.size() >= abort.size() &&
                r.out.compare(r.out.size() - abort.size(), abort.size(), abort) == 0)
        << r.out.substr(r.out.size() > 200 ? r.out.size() - 200 : 0);
    EXPECT_TRUE(ReadBytes(dir / "big.map") == map.substr(0, 4096));
    EXPECT_EQ(ReadBytes(dir / "BIG.COD"), "");
    auto held = ReadLog(dir / "calls.log");
    EXPECT_EQ(held["VirtualAlloc"], 1u) << "only the code map's block: pass 2 never began";
    EXPECT_EQ(held["handles"], 0u);
    EXPECT_EQ(held["blocks"], 0u);
}

} // namespace
