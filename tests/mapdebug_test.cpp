// mapdebug_test.cpp - the fault reporter on its own: the report made from
// synthetic exception records over a table of our making, and the loading of
// crafted code map files.

#include "mapdebug.h"
#include "platform.h"
#include "objects.h"

#include "capture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <string.h>
#include <unistd.h>

#include <vector>

using namespace korval;

namespace {

DEBUGMAP Rec(DWORD addr, const std::string& routine, const std::string& module) {
    DEBUGMAP rec;
    memset(&rec, 0, sizeof rec);
    rec.SymbAddr = addr;
    memcpy(rec.Routine, routine.data(), routine.size()); // 32 or 16 leave no zero byte
    memcpy(rec.Module, module.data(), module.size());
    return rec;
}

// Reports an exception over a table and returns the printed text.
class Report : public ::testing::Test {
  protected:
    void SetUp() override {
        savedMap = pDebugMap;
        savedNum = iNumMaps;
    }
    void TearDown() override {
        pDebugMap = savedMap;
        iNumMaps = savedNum;
    }

    void Use(const std::vector<DEBUGMAP>& records) {
        table = records;
        pDebugMap = table.empty() ? nullptr : table.data();
        iNumMaps = (DWORD)table.size();
    }

    std::string Print(DWORD code, ULONG_PTR address, std::vector<ULONG_PTR> params = {},
                      DWORD numberParameters = ~0u) {
        EXCEPTION_RECORD record;
        memset(&record, 0xA5, sizeof record);
        record.ExceptionCode = code;
        record.ExceptionAddress = (PVOID)address;
        record.NumberParameters = numberParameters != ~0u ? numberParameters : (DWORD)params.size();
        for (size_t i = 0; i < params.size(); i++)
            record.ExceptionInformation[i] = params[i];
        int result = 0;
        std::string out = CaptureStdout([&] { result = HandleException(code, &record); });
        EXPECT_EQ(result, 1);
        return out;
    }

    std::vector<DEBUGMAP> table;
    PDEBUGMAP savedMap;
    DWORD savedNum;
};

const std::vector<DEBUGMAP> kExample = {Rec(0x00401000, "StartRun", "front.obj"),
                                        Rec(0x00401250, "ParseLine", "reader.obj"),
                                        Rec(0x004013A0, "WriteTable", "writer.obj")};

TEST_F(Report, WorkedExample) {
    Use(kExample);
    EXPECT_EQ(Print(EXCEPTION_ACCESS_VIOLATION, 0x004012C4, {0, 0}),
              "EXCEPTION : Access error. Ref to locn 0x00000000 at ParseLine(reader.obj)+0x74.");
    EXPECT_EQ(Print(EXCEPTION_INT_DIVIDE_BY_ZERO, 0x00401000),
              "EXCEPTION : Integer divide by zero at StartRun(front.obj)+0x0.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x004013A5),
              "EXCEPTION : Breakpoint instruction at 0x004013A5.");
    EXPECT_EQ(Print(0xC00000FD, 0x00400F00),
              "EXCEPTION : Unknown code : 0xC00000FD at 0x00400F00.");

    Use({});
    EXPECT_EQ(Print(EXCEPTION_ACCESS_VIOLATION, 0x004012C4, {0, 0}),
              "EXCEPTION : Access error. Ref to locn 0x00000000 at 0x004012C4.");
}

TEST_F(Report, EveryCodeHasItsText) {
    Use({});
    const std::vector<std::pair<DWORD, std::string>> texts = {
        {0x80000002, "Data type misalignment"},      {0x80000003, "Breakpoint instruction"},
        {0x80000004, "Single step breakpoint"},      {0xC000008C, "Array bounds exceeded"},
        {0xC000008D, "FLOAT: Denormalized operand"}, {0xC000008E, "FLOAT: Divide by zero"},
        {0xC000008F, "FLOAT: Inexact result"},       {0xC0000090, "FLOAT: Invalid operation"},
        {0xC0000091, "FLOAT: Result overflow"},      {0xC0000092, "FLOAT: FP Stack check"},
        {0xC0000093, "FLOAT: Result underflow"},     {0xC0000094, "Integer divide by zero"},
        {0xC0000095, "Integer result overflow"},     {0xC0000096, "Privileged instruction"},
        {0xC000013A, "Control-C interrupt"},         {0xC0000006, "Unknown code : 0xC0000006"},
        {0xC000001D, "Unknown code : 0xC000001D"},   {0x00000000, "Unknown code : 0x00000000"},
        {0xE06D7363, "Unknown code : 0xE06D7363"},   {0xFFFFFFFF, "Unknown code : 0xFFFFFFFF"},
    };
    for (const auto& t : texts)
        EXPECT_EQ(Print(t.first, 0x1234), "EXCEPTION : " + t.second + " at 0x00001234.");
    EXPECT_EQ(Print(EXCEPTION_ACCESS_VIOLATION, 0x1234, {1, 0xDEADBEEF}),
              "EXCEPTION : Access error. Ref to locn 0xDEADBEEF at 0x00001234.");
    // The code comes from the argument, not from the record.
    EXCEPTION_RECORD record;
    memset(&record, 0, sizeof record);
    record.ExceptionCode = EXCEPTION_BREAKPOINT;
    std::string out = CaptureStdout([&] { HandleException(EXCEPTION_SINGLE_STEP, &record); });
    EXPECT_EQ(out, "EXCEPTION : Single step breakpoint at 0x00000000.");
}

TEST_F(Report, TableWalkEdges) {
    Use(kExample);
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x00400FFF),
              "EXCEPTION : Breakpoint instruction at 0x00400FFF.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0), "EXCEPTION : Breakpoint instruction at 0x00000000.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x00401250),
              "EXCEPTION : Breakpoint instruction at ParseLine(reader.obj)+0x0.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x0040124F),
              "EXCEPTION : Breakpoint instruction at StartRun(front.obj)+0x24F.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x0040139F),
              "EXCEPTION : Breakpoint instruction at ParseLine(reader.obj)+0x14F.");
    // The last record only closes the range before it.
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x004013A0),
              "EXCEPTION : Breakpoint instruction at 0x004013A0.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0xFFFFFFFF),
              "EXCEPTION : Breakpoint instruction at 0xFFFFFFFF.");

    Use({Rec(0x1000, "Only", "one.obj")});
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x1000),
              "EXCEPTION : Breakpoint instruction at 0x00001000.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x1001),
              "EXCEPTION : Breakpoint instruction at 0x00001001.");

    // Records sharing an address: the later one is named.
    Use({Rec(0x1000, "First", "a.obj"), Rec(0x2000, "Alias1", "b.obj"),
         Rec(0x2000, "Alias2", "c.obj"), Rec(0x3000, "End", "d.obj")});
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x2000),
              "EXCEPTION : Breakpoint instruction at Alias2(c.obj)+0x0.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x2FFF),
              "EXCEPTION : Breakpoint instruction at Alias2(c.obj)+0xFFF.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, 0x1FFF),
              "EXCEPTION : Breakpoint instruction at First(a.obj)+0xFFF.");
}

TEST_F(Report, FullNameFieldsAreShownWhole) {
    std::string routine32 = "R123456789012345678901234567890Z";
    std::string module16 = "M12345678901234Z";
    ASSERT_EQ(routine32.size(), 32u);
    ASSERT_EQ(module16.size(), 16u);
    // The record after it begins with printable bytes, which a reader that
    // ran past the field would show.
    Use({Rec(0x1000, routine32, module16), Rec(0x41414141, "Next", "next.obj")});
    EXPECT_EQ(Print(EXCEPTION_INT_OVERFLOW, 0x1010),
              "EXCEPTION : Integer result overflow at " + routine32 + "(" + module16 + ")+0x10.");

    // Bytes after a field's first zero byte are not part of its text.
    DEBUGMAP rec = Rec(0x1000, "Short", "m.obj");
    memcpy(rec.Routine + 6, "junk", 4);
    memcpy(rec.Module + 6, "junk", 4);
    Use({rec, Rec(0x2000, "Next", "n.obj")});
    EXPECT_EQ(Print(EXCEPTION_INT_OVERFLOW, 0x1000),
              "EXCEPTION : Integer result overflow at Short(m.obj)+0x0.");
}

TEST_F(Report, AddressesAbove4GiBAreShownWholeAndNeverLookedUp) {
    Use(kExample);
    // The low 32 bits lie in ParseLine's range; the address does not.
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, (ULONG_PTR)0x00007F00004012C4ull),
              "EXCEPTION : Breakpoint instruction at 0x7F00004012C4.");
    EXPECT_EQ(Print(EXCEPTION_BREAKPOINT, (ULONG_PTR)0x100401000ull),
              "EXCEPTION : Breakpoint instruction at 0x100401000.");
    EXPECT_EQ(
        Print(EXCEPTION_ACCESS_VIOLATION, 0x004012C4, {1, (ULONG_PTR)0xFFFFFFFF00001234ull}),
        "EXCEPTION : Access error. Ref to locn 0xFFFFFFFF00001234 at ParseLine(reader.obj)+0x74.");
    EXPECT_EQ(
        Print(EXCEPTION_ACCESS_VIOLATION, (ULONG_PTR)0x7FFF12345678ull, {0, 0x7FFF00000000ull}),
        "EXCEPTION : Access error. Ref to locn 0x7FFF00000000 at 0x7FFF12345678.");
}

TEST_F(Report, ParametersAreCopiedWithinBounds) {
    Use({});
    // Fewer than the two parameters of an access violation.
    EXPECT_EQ(Print(EXCEPTION_ACCESS_VIOLATION, 0x1000, {1}),
              "EXCEPTION : Access error. Ref to locn unknown at 0x00001000.");
    EXPECT_EQ(Print(EXCEPTION_ACCESS_VIOLATION, 0x1000, {}),
              "EXCEPTION : Access error. Ref to locn unknown at 0x00001000.");
    // A count past the platform's 15: only 15 are taken, nothing is
    // written past the copy, and the report is the same.
    std::vector<ULONG_PTR> params(15, 0x77);
    params[1] = 0x2468;
    EXPECT_EQ(Print(EXCEPTION_ACCESS_VIOLATION, 0x1000, params, 0xFFFFFFFF),
              "EXCEPTION : Access error. Ref to locn 0x00002468 at 0x00001000.");
    EXPECT_EQ(Print(EXCEPTION_ACCESS_VIOLATION, 0x1000, params, 16),
              "EXCEPTION : Access error. Ref to locn 0x00002468 at 0x00001000.");
}

// ---------------------------------------------------------------------------

std::string Count(uint32_t n) {
    return std::string(reinterpret_cast<const char*>(&n), 4);
}

std::string Bytes(const DEBUGMAP& rec) {
    return std::string(reinterpret_cast<const char*>(&rec), sizeof rec);
}

// Loads KORVAL.COD from a scratch directory made the current one.
class Loader : public ::testing::Test {
  protected:
    void SetUp() override {
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        home = here;
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        pDebugMap = nullptr;
        iNumMaps = 0;
    }
    void TearDown() override {
        CloseDebug();
        pDebugMap = nullptr;
        iNumMaps = 0;
        EXPECT_EQ(chdir(home.c_str()), 0);
    }

    int Load(const std::string& bytes) {
        WriteBytes(dir / "KORVAL.COD", bytes);
        pDebugMap = nullptr;
        iNumMaps = 0;
        int result = OpenDebug();
        // Whatever happened, the file is closed again: it can be written.
        HANDLE h = CreateFileA("KORVAL.COD", GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        CloseHandle(h);
        return result;
    }

    ScratchDir dir;
    std::string home;
};

const std::string kThree = Bytes(Rec(0x1000, "A", "a.obj")) + Bytes(Rec(0x2000, "B", "b.obj")) +
                           Bytes(Rec(0x3000, "C", "c.obj"));

TEST_F(Loader, MissingFile) {
    EXPECT_EQ(OpenDebug(), 0);
    EXPECT_EQ(pDebugMap, nullptr);
    EXPECT_EQ(iNumMaps, 0u);
    EXPECT_EQ(CloseDebug(), 0);
}

TEST_F(Loader, EmptyShortOrCountZero) {
    EXPECT_EQ(Load(""), 0);
    EXPECT_EQ(pDebugMap, nullptr);
    EXPECT_EQ(iNumMaps, 0u);

    EXPECT_EQ(Load(Count(0) + kThree), 0);
    EXPECT_EQ(pDebugMap, nullptr);
    EXPECT_EQ(iNumMaps, 0u);
    EXPECT_EQ(CloseDebug(), 0);

    // 1 to 3 bytes of a count: whatever they say, no record follows.
    for (const std::string& bytes :
         {std::string("\x03"), std::string("\x03\x00", 2), std::string("\x01\x02\x03", 3)}) {
        EXPECT_EQ(Load(bytes), 1) << bytes.size();
        EXPECT_EQ(iNumMaps, 0u) << bytes.size();
        EXPECT_NE(pDebugMap, nullptr) << bytes.size();
        EXPECT_EQ(CloseDebug(), 1);
    }
    EXPECT_EQ(Load(std::string("\x00\x00", 2)), 0);
    EXPECT_EQ(iNumMaps, 0u);
}

TEST_F(Loader, WholeRecordsOrNone) {
    EXPECT_EQ(Load(Count(3) + kThree), 1);
    ASSERT_EQ(iNumMaps, 3u);
    ASSERT_NE(pDebugMap, nullptr);
    EXPECT_EQ(memcmp(pDebugMap, kThree.data(), 156), 0);
    EXPECT_EQ(CloseDebug(), 1);

    EXPECT_EQ(Load(Count(3) + kThree.substr(0, 155)), 1);
    EXPECT_EQ(iNumMaps, 0u); // not two records
    EXPECT_NE(pDebugMap, nullptr);
    EXPECT_EQ(CloseDebug(), 1);

    std::string five = kThree + Bytes(Rec(0x4000, "D", "d.obj")) + Bytes(Rec(0x5000, "E", "e.obj"));
    EXPECT_EQ(Load(Count(3) + five), 1);
    ASSERT_EQ(iNumMaps, 3u);
    EXPECT_EQ(memcmp(pDebugMap, kThree.data(), 156), 0);
    EXPECT_EQ(CloseDebug(), 1);

    // Out of order: loaded as it stands.
    std::string backwards = Bytes(Rec(0x3000, "C", "c.obj")) + Bytes(Rec(0x1000, "A", "a.obj"));
    EXPECT_EQ(Load(Count(2) + backwards), 1);
    ASSERT_EQ(iNumMaps, 2u);
    EXPECT_EQ(pDebugMap[0].SymbAddr, 0x3000u);
    EXPECT_EQ(pDebugMap[1].SymbAddr, 0x1000u);
}

TEST_F(Loader, CountsTooLargeForA32BitSizeAreRefused) {
    for (uint32_t count : {82595525u, 100000000u, 0xFFFFFFFFu}) {
        EXPECT_EQ(Load(Count(count) + kThree), 0) << count;
        EXPECT_EQ(iNumMaps, 0u) << count;
        EXPECT_EQ(pDebugMap, nullptr) << count;
    }
    // The largest count that fits takes a block of 4 GiB less 48 bytes, if
    // the system gives it; the three records are far too few either way.
    int result = Load(Count(82595524u) + kThree);
    EXPECT_EQ(iNumMaps, 0u);
    EXPECT_EQ(result == 1, pDebugMap != nullptr);
}

TEST_F(Loader, FileHeldForWritingIsNotLoaded) {
    WriteBytes(dir / "KORVAL.COD", Count(3) + kThree);
    HANDLE writer = CreateFileA("KORVAL.COD", GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenDebug(), 0);
    EXPECT_EQ(iNumMaps, 0u);
    EXPECT_EQ(pDebugMap, nullptr);
    CloseHandle(writer);
}

TEST_F(Loader, LoadedTableNamesRoutines) {
    ASSERT_EQ(Load(Count(3) + kThree), 1);
    // The table holds link-time addresses; this test executable may have
    // been loaded elsewhere.
    ULONG_PTR address = 0x1800 + ProgramLoadBias();
    EXCEPTION_RECORD record;
    memset(&record, 0, sizeof record);
    record.ExceptionAddress = (PVOID)address;
    EXPECT_EQ(CaptureStdout([&] { HandleException(EXCEPTION_INT_DIVIDE_BY_ZERO, &record); }),
              "EXCEPTION : Integer divide by zero at A(a.obj)+0x800.");

    // Given back, the table is empty: the same fault is a plain address.
    EXPECT_EQ(CloseDebug(), 1);
    EXPECT_EQ(pDebugMap, nullptr);
    EXPECT_EQ(iNumMaps, 0u);
    char plain[32];
    snprintf(plain, sizeof plain, "0x%08llX", (unsigned long long)address);
    EXPECT_EQ(CaptureStdout([&] { HandleException(EXCEPTION_INT_DIVIDE_BY_ZERO, &record); }),
              std::string("EXCEPTION : Integer divide by zero at ") + plain + ".");
    EXPECT_EQ(CloseDebug(), 0);
}

TEST_F(Loader, NamedFileFoundRegardlessOfCase) {
    WriteBytes(dir / "app.cod", Count(3) + kThree);
    EXPECT_EQ(OpenDebugFile((dir / "APP.COD").c_str()), 1);
    EXPECT_EQ(iNumMaps, 3u);
    EXPECT_EQ(OpenDebugFile((dir / "NONE.COD").c_str()), 0);
    EXPECT_EQ(iNumMaps, 0u); // the table loaded before is given back
    EXPECT_EQ(pDebugMap, nullptr);
}
} // namespace
