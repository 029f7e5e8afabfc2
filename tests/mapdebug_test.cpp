// mapdebug_test.cpp - the fault reporter on its own: the report made from
// synthetic exception records over a table of our making, the loading of
// crafted code map files with and without their extension, and the reports
// of real faults in a shared library of the tests' own, with its map and
// without.

#include "mapdebug.h"
#include "platform.h"
#include "extension.h"
#include "objects.h"

#include "capture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <link.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <regex>
#include <sstream>
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
        ASSERT_EQ(chdir(dir.Path().c_str()), 0);
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

// ---------------------------------------------------------------------------
// The extension after the records: full names and the identity of the file.

// An extension as korval-codemap appends it (extension.h).
struct Extension {
    std::vector<std::string> names; // one per record
    uint32_t kind = kIdentityNone;
    std::string identity = "";
    std::string object = "app";
};

std::string Pad4(std::string s) {
    s.resize((s.size() + 3) / 4 * 4, '\0');
    return s;
}

// Where the name offsets start in the extension's bytes.
size_t OffsetsAt(const Extension& e) {
    return 32 + Pad4(e.identity).size() + 4 + Pad4(e.object).size();
}

std::string Bytes(const Extension& e) {
    std::string pool, offsets;
    for (const std::string& name : e.names) {
        offsets += Count((uint32_t)pool.size());
        pool += name + '\0';
    }
    std::string body = Count((uint32_t)e.names.size()) + std::string(8, '\0') + Count(e.kind) +
                       Count((uint32_t)e.identity.size()) + Pad4(e.identity) +
                       Count((uint32_t)e.object.size()) + Pad4(e.object) + offsets +
                       Count((uint32_t)pool.size()) + pool;
    return std::string(kExtensionMagic, 8) + Count((uint32_t)(12 + body.size())) + body;
}

// The GNU build ID of the loaded object that holds inside, from its notes.
std::string BuildIdOf(const void* inside) {
    struct Find {
        uintptr_t at;
        std::string id;
    } find = {(uintptr_t)inside, ""};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            Find* f = static_cast<Find*>(data);
            bool holds = false;
            for (int i = 0; i < info->dlpi_phnum; i++) {
                const ElfW(Phdr)& p = info->dlpi_phdr[i];
                uintptr_t start = info->dlpi_addr + p.p_vaddr;
                holds |= p.p_type == PT_LOAD && f->at >= start && f->at < start + p.p_memsz;
            }
            if (!holds) return 0;
            for (int i = 0; i < info->dlpi_phnum; i++) {
                const ElfW(Phdr)& p = info->dlpi_phdr[i];
                const char* note = (const char*)(info->dlpi_addr + p.p_vaddr);
                const char* end = note + p.p_memsz;
                while (p.p_type == PT_NOTE && end - note >= 12) {
                    const ElfW(Word)* h = (const ElfW(Word)*)note;
                    const char* desc = note + 12 + (h[0] + 3) / 4 * 4;
                    if (h[2] == NT_GNU_BUILD_ID && strcmp(note + 12, "GNU") == 0)
                        f->id.assign(desc, h[1]);
                    note = desc + (h[1] + 3) / 4 * 4;
                }
            }
            return 1;
        },
        &find);
    return find.id;
}

const std::string kFour = kThree + Bytes(Rec(0x4000, "D", "d.obj"));
const std::string kLongName(300, 'L');
const Extension kFull = {
    {"ns::Alpha<std::vector<int>>::RunEveryStep", "", kLongName, "End"}, kIdentityNone, "", "app"};

// The report of a fault at the link-time address linked of the program.
std::string ReportAt(ULONG_PTR linked) {
    EXCEPTION_RECORD record;
    memset(&record, 0, sizeof record);
    record.ExceptionAddress = (PVOID)(linked + ProgramLoadBias());
    return CaptureStdout([&] { HandleException(EXCEPTION_INT_DIVIDE_BY_ZERO, &record); });
}

const std::string kDivide = "EXCEPTION : Integer divide by zero at ";

TEST_F(Loader, ReportsGiveTheFullNamesOfTheExtension) {
    ASSERT_EQ(Load(Count(4) + kFour + Bytes(kFull)), 1);
    EXPECT_EQ(iNumMaps, 4u);
    EXPECT_EQ(ReportAt(0x1800),
              kDivide + "ns::Alpha<std::vector<int>>::RunEveryStep(a.obj)+0x800.");
    EXPECT_EQ(ReportAt(0x2010), kDivide + "B(b.obj)+0x10."); // no full name: the record's
    // Cut at 240 characters, and marked so.
    EXPECT_EQ(ReportAt(0x3001), kDivide + std::string(240, 'L') + "...(c.obj)+0x1.");
}

TEST_F(Loader, AnExtensionThatDoesNotCheckIsIgnored) {
    const std::string good = Bytes(kFull);
    const size_t offsets = OffsetsAt(kFull), pool = offsets + 4 * 4 + 4;
    auto with = [&](size_t at, uint32_t value) {
        return good.substr(0, at) + Count(value) + good.substr(at + 4);
    };
    Extension longIdentity = kFull, longObject = kFull, otherKind = kFull;
    longIdentity.identity = std::string(kMostIdentity + 1, 'i');
    longObject.object = std::string(kMostObjectName + 1, 'o');
    otherKind.kind = 3;
    std::string unended = good;
    unended.back() = 'x';
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"magic", "k" + good.substr(1)},
        {"size one over", with(8, (uint32_t)good.size() + 1)},
        {"a byte after it", good + '\0'},
        {"cut short", good.substr(0, good.size() - 1)},
        {"count of another table", Bytes(Extension{{"a", "b", "c"}, kIdentityNone, "", "app"})},
        {"identity too long", Bytes(longIdentity)},
        {"object name too long", Bytes(longObject)},
        {"identity of no known kind", Bytes(otherKind)},
        {"name offset past the pool", with(offsets + 4, (uint32_t)(good.size() - pool))},
        {"pool size past the end", with(pool - 4, (uint32_t)(good.size() - pool + 1))},
        {"last name unended", unended},
        {"header alone", good.substr(0, 36)},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(Load(Count(4) + kFour + c.second), 1) << c.first;
        EXPECT_EQ(iNumMaps, 4u) << c.first;
        EXPECT_EQ(ReportAt(0x1800), kDivide + "A(a.obj)+0x800.") << c.first;
        CloseDebug();
    }
}

TEST_F(Loader, AMapOfAnotherBuildIsRefused) {
    const std::string own = BuildIdOf((const void*)&BuildIdOf);
    ASSERT_FALSE(own.empty()) << "this test executable has no build ID";
    Extension same = kFull, other = kFull, pe = kFull;
    same.kind = other.kind = kIdentityBuildId;
    same.identity = own;
    other.identity = own;
    other.identity.back() ^= 1;
    pe.kind = kIdentityPe;
    pe.identity = std::string(8, '\1');

    ASSERT_EQ(Load(Count(4) + kFour + Bytes(same)), 1);
    EXPECT_EQ(ReportAt(0x1800),
              kDivide + "ns::Alpha<std::vector<int>>::RunEveryStep(a.obj)+0x800.");
    for (const Extension& e : {other, pe}) {
        EXPECT_EQ(Load(Count(4) + kFour + Bytes(e)), 0) << e.kind;
        EXPECT_EQ(iNumMaps, 0u);
        EXPECT_EQ(pDebugMap, nullptr);
        EXPECT_EQ(CloseDebug(), 0);
    }
}

TEST_F(Loader, AscendingTablesNameWhatTheWalkFromTheFirstRecordNames) {
    // Addresses that repeat and gaps of every size up to 3, where a search
    // that is off by one in either direction shows.
    std::vector<DEBUGMAP> records;
    std::string file;
    DWORD address = 0x1000;
    for (int i = 0; i < 60; i++) {
        address += (i * 7) % 4;
        records.push_back(Rec(address, "R" + std::to_string(i), "m.obj"));
        file += Bytes(records.back());
    }
    ASSERT_EQ(Load(Count((uint32_t)records.size()) + file), 1);
    for (DWORD at = 0xFFE; at <= address + 1; at++) {
        size_t k = 0;
        while (k < records.size() && records[k].SymbAddr <= at)
            k++;
        char want[64];
        if (k == 0 || k == records.size())
            snprintf(want, sizeof want, "0x%08llX", (unsigned long long)(at + ProgramLoadBias()));
        else
            snprintf(want, sizeof want, "%s(m.obj)+0x%X", records[k - 1].Routine,
                     (unsigned)(at - records[k - 1].SymbAddr));
        EXPECT_EQ(ReportAt(at), kDivide + want + ".") << at;
    }
    // Out of order, the walk stops at the first record above the address.
    ASSERT_EQ(Load(Count(4) + Bytes(Rec(0x1000, "A", "a.obj")) + Bytes(Rec(0x3000, "C", "c.obj")) +
                   Bytes(Rec(0x2000, "B", "b.obj")) + Bytes(Rec(0x4000, "D", "d.obj"))),
              1);
    EXPECT_EQ(ReportAt(0x2800), kDivide + "A(a.obj)+0x1800.");
}

// ---------------------------------------------------------------------------
// Real faults in a shared library of the tests' own, libkshapes.so.1 here,
// which the tests open from a scratch directory with or without its code
// map LIBKSHAPES.COD beside it.

using Faulting = void (*)(volatile int*);
using Calling = void (*)(void (*)(void*), void*);

Faulting ShapesFault;
Calling ShapesCall;

volatile int Sink;

// Neither calls as its last act: each keeps its frame in the chain.
__attribute__((noinline)) void BackFromShapes(void*) {
    ShapesFault(nullptr);
    Sink = 1;
}

__attribute__((noinline)) void IntoShapes(void*) {
    ShapesCall(BackFromShapes, nullptr);
    Sink = 2;
}

class Objects : public ::testing::Test {
  protected:
    void SetUp() override {
        path = dir / "libkshapes.so.1";
        WriteBytes(path, ReadBytes(SHAPES_SO));
    }
    void TearDown() override {
        CloseDebug();
        if (handle != nullptr) dlclose(handle);
    }

    void Open() {
        handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(handle, nullptr) << dlerror();
        ShapesFault = (Faulting)dlsym(handle, "ShapesFault");
        ShapesCall = (Calling)dlsym(handle, "ShapesCall");
        ASSERT_TRUE(ShapesFault != nullptr && ShapesCall != nullptr);
        Dl_info info;
        ASSERT_NE(dladdr((void*)ShapesFault, &info), 0);
        base = (uintptr_t)info.dli_fbase;
    }

    // LIBKSHAPES.COD: the two routines at their link-time addresses, with
    // full names and the identity e says; ShapesCall's record named by its
    // section alone, as where a piece of code has no routine of its own,
    // when callIsSection.
    void WriteMap(Extension e, bool callIsSection = false) {
        Dl_info info;
        ASSERT_NE(dladdr((void*)ShapesFault, &info), 0);
        uintptr_t bias = (uintptr_t)info.dli_fbase; // the lowest segment is linked at 0
        std::vector<std::pair<uintptr_t, std::string>> at = {
            {(uintptr_t)ShapesFault - bias, "ShapesFault"},
            {(uintptr_t)ShapesCall - bias, callIsSection ? ".text" : "ShapesCall"}};
        std::sort(at.begin(), at.end());
        e.names.clear();
        std::string records;
        for (const auto& r : at) {
            records += Bytes(Rec((DWORD)r.first, r.second, "shapes.cpp.o"));
            e.names.push_back(
                r.second[0] == '.' ? "" : "geometry::Shapes<double>::" + r.second.substr(6));
        }
        records += Bytes(Rec((DWORD)at.back().first + 0x100, "End", "shapes.cpp.o"));
        e.names.push_back("End");
        WriteBytes(dir / "LIBKSHAPES.COD", Count(3) + records + Bytes(e));
    }

    // The report of a fault in ShapesFault, called back from ShapesCall.
    std::vector<std::string> Fault() {
        int result = -1;
        std::string err = CaptureStderr([&] { result = RunGuarded(IntoShapes, nullptr); });
        EXPECT_EQ(result, 0);
        std::vector<std::string> lines;
        std::istringstream in(err);
        for (std::string line; std::getline(in, line);)
            lines.push_back(line);
        EXPECT_FALSE(lines.empty());
        return lines;
    }

    // The offset that a line gives after object+0x, or -1.
    long long OffsetIn(const std::string& line, const std::string& object) {
        std::smatch m;
        if (!std::regex_search(line, m, std::regex(" " + object + "\\+0x([0-9A-F]+)"))) return -1;
        return std::stoll(m[1], nullptr, 16);
    }

    ScratchDir dir;
    std::string path;
    void* handle = nullptr;
    uintptr_t base = 0;
};

TEST_F(Objects, FramesInNoCodeMapAreObjectAndOffset) {
    Open();
    OpenDebugFile(NULL);
    std::vector<std::string> lines = Fault();
    ASSERT_GE(lines.size(), 4u);
    long long fault = OffsetIn(lines[0], "libkshapes\\.so\\.1");
    long long start = (long long)((uintptr_t)ShapesFault - base);
    EXPECT_TRUE(fault >= start && fault < start + 0x40) << lines[0];
    EXPECT_EQ(lines[0].compare(0, 54, "EXCEPTION : Access error. Ref to locn 0x00000000 at li"), 0);
    // The program's frame between the library's, then the library's caller.
    EXPECT_GE(OffsetIn(lines[1], "mapdebug_test"), 0) << lines[1];
    EXPECT_GE(OffsetIn(lines[2], "libkshapes\\.so\\.1"), 0) << lines[2];
    EXPECT_GE(OffsetIn(lines[3], "mapdebug_test"), 0) << lines[3];
    // Fewer frames than a report names: nothing more to say.
    if (lines.size() < 1 + 16) {
        EXPECT_NE(lines.back(), "  (more frames not shown)");
    }
}

TEST_F(Objects, AnObjectsOwnMapNamesItsFramesWhenItDescribesIt) {
    Open();
    Extension same, other;
    same.kind = other.kind = kIdentityBuildId;
    same.identity = other.identity = BuildIdOf((const void*)ShapesFault);
    ASSERT_FALSE(same.identity.empty());
    other.identity[0] ^= 1;

    // Loaded at the first OpenDebugFile(NULL) after the object was.
    WriteMap(same);
    EXPECT_EQ(OpenDebugFile(NULL), 1);
    std::vector<std::string> lines = Fault();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_TRUE(std::regex_match(
        lines[0],
        std::regex(".* at geometry::Shapes<double>::Fault\\(shapes\\.cpp\\.o\\)\\+0x[0-9A-F]+\\.")))
        << lines[0];
    EXPECT_TRUE(std::regex_match(
        lines[2],
        std::regex(
            "  called from geometry::Shapes<double>::Call\\(shapes\\.cpp\\.o\\)\\+0x[0-9A-F]+")))
        << lines[2];
    EXPECT_EQ(OpenDebugObjects(), 0); // nothing new

    // A frame in a piece of code without a routine is not named by the
    // routine before it.
    WriteMap(same, true);
    EXPECT_EQ(OpenDebugFile(NULL), 1);
    lines = Fault();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_NE(lines[0].find(" at geometry::Shapes<double>::Fault("), std::string::npos);
    EXPECT_GE(OffsetIn(lines[2], "libkshapes\\.so\\.1"), 0) << lines[2];

    // A map of another build is not used.
    WriteMap(other);
    EXPECT_EQ(OpenDebugFile(NULL), 0);
    EXPECT_GE(OffsetIn(Fault()[0], "libkshapes\\.so\\.1"), 0);

    // Opened before the object was, it gets its map from OpenDebugObjects.
    WriteMap(same);
    CloseDebug();
    dlclose(handle);
    OpenDebugFile(NULL);
    Open();
    EXPECT_GE(OffsetIn(Fault()[0], "libkshapes\\.so\\.1"), 0);
    EXPECT_EQ(OpenDebugObjects(), 1);
    EXPECT_NE(Fault()[0].find(" at geometry::Shapes<double>::Fault("), std::string::npos);
}

__attribute__((noinline)) void Deep(void* depth) {
    if ((intptr_t)depth == 0)
        ShapesFault(nullptr);
    else
        Deep((void*)((intptr_t)depth - 1));
    Sink = 3;
}

TEST_F(Objects, AChainCutAtItsLimitSaysSo) {
    Open();
    std::vector<std::string> lines;
    std::string err = CaptureStderr([&] { RunGuarded(Deep, (void*)(intptr_t)30); });
    std::istringstream in(err);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u + 16u + 1u) << err;
    EXPECT_EQ(lines.back(), "  (more frames not shown)");
}

} // namespace
