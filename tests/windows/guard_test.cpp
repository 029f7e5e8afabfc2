// guard_test.cpp - GuardRun and RunGuarded on Windows, with real faults, run
// under Wine.
//
// Each case is a command-line argument and a test of its own; a case that
// must end the process runs in a child process of this program. No test
// framework: the checks print what failed and the exit status tells.
//
// The same source is built three times: guard_test.exe at the fixed image
// base 0x400000; guard_test_dynamic.exe with a dynamic base, which Wine
// loads at its preferred base (Wine 8 starts no executable elsewhere); and
// guard_test_dll.dll, which guard_test.exe loads, relocated away from the
// same preferred base, to run its cases there.

#include "check.h"
#include "mapdebug.h"
#include "platform.h"
#include "guard.h"
#include "objects.h"

// The asserts of the work that fails one hold in a release build too.
#undef NDEBUG
#include <assert.h>
#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

using namespace korval;

namespace {

// What the filter saw, copied at the time of the fault.
struct Seen {
    int calls;
    DWORD code;
    ULONG_PTR address;
    DWORD numberParameters;
    ULONG_PTR information[EXCEPTION_MAXIMUM_PARAMETERS];
    DWORD64 contextRip;
    int markerSeen; // the faulting routine's frame was still there
} Last;

LONG Verdict = EXCEPTION_EXECUTE_HANDLER;
volatile int* volatile FrameMarker; // a local of the routine that faults

LONG Filter(EXCEPTION_POINTERS* info) {
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    Last.calls++;
    Last.code = record->ExceptionCode;
    Last.address = (ULONG_PTR)record->ExceptionAddress;
    Last.numberParameters = record->NumberParameters;
    memcpy(Last.information, record->ExceptionInformation, sizeof Last.information);
    Last.contextRip = info->ContextRecord->Rip;
    Last.markerSeen = FrameMarker != nullptr && *FrameMarker == 0x5EED;
    return Verdict;
}

volatile int* volatile Nowhere = nullptr;
volatile int Zero = 0;
volatile int Sink;

__attribute__((noinline)) void WriteNull() {
    volatile int marker = 0x5EED;
    FrameMarker = &marker;
    *Nowhere = 1;
    FrameMarker = nullptr;
}

__attribute__((noinline)) void DivideByZero() {
    Sink = 7 / Zero;
}

__attribute__((noinline)) void Breakpoint() {
    __asm__ volatile("int3");
}

__attribute__((noinline)) void Trap() {
    __builtin_trap();
}

__attribute__((noinline)) void Raise() {
    const ULONG_PTR params[3] = {11, 22, 0xFFFFFFFF00000033ull};
    RaiseException(0xE0001234, 0, 3, params);
}

volatile int Bottomless = 1 << 30; // deeper than any stack

__attribute__((noinline)) int Recurse(int depth) {
    volatile char pad[512];
    pad[0] = (char)depth;
    return depth < Bottomless ? Recurse(depth + 1) + pad[0] : 0;
}

void Overflow() {
    Sink = Recurse(0);
}

void Nothing() {}

// Busy for some seconds, unless interrupted; tells when it has started by
// creating the file "spinning" in the current directory.
__attribute__((noinline)) void Spin() {
    CloseHandle(CreateFileA("spinning", GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, NULL));
    for (unsigned long long i = 0; i < 20000000000ull; i++)
        Sink = Sink + 1;
}

// Whether an address lies in the first bytes of a routine: the faulting
// instructions of these small routines do.
bool Inside(ULONG_PTR address, void (*routine)(), ULONG_PTR length = 64) {
    ULONG_PTR start = (ULONG_PTR)routine;
    return address >= start && address < start + length;
}

// Runs work in the guard; checks that it was abandoned with code code at
// an address inside where.
void ExpectCaught(void (*work)(), DWORD code, void (*where)()) {
    Last = Seen();
    CHECK(GuardRun(work, Filter) == FALSE);
    CHECK(Last.calls == 1);
    CHECK(Last.code == code);
    if (where != nullptr) CHECK(Inside(Last.address, where));
    if (Last.code != code || (where != nullptr && !Inside(Last.address, where)))
        printf("code 0x%08lX at %p\n", (unsigned long)Last.code, (void*)Last.address);
}

// Runs this program again with one argument; returns its exit code.
DWORD RunChild(const char* Case) {
    char self[MAX_PATH];
    GetModuleFileNameA(NULL, self, sizeof self);
    std::string command = std::string("\"") + self + "\" " + Case;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessA(NULL, &command[0], NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process))
        return 0xFFFFFFFF;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

void ProcessorFaults() {
    ExpectCaught(WriteNull, EXCEPTION_ACCESS_VIOLATION, WriteNull);
    CHECK(Last.numberParameters == 2);
    CHECK(Last.information[0] == 1); // a write
    CHECK(Last.information[1] == 0); // to address 0
    CHECK(Last.contextRip == Last.address);
    CHECK(Last.markerSeen); // before unwinding

    ExpectCaught(DivideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO, DivideByZero);
    ExpectCaught(Breakpoint, EXCEPTION_BREAKPOINT, Breakpoint);
    ExpectCaught(Trap, EXCEPTION_ILLEGAL_INSTRUCTION, Trap);
}

__attribute__((noinline)) void RaiseNoncontinuable() {
    RaiseException(0xE0001235, EXCEPTION_NONCONTINUABLE, 0, NULL);
}

void SoftwareException() {
    ExpectCaught(Raise, 0xE0001234, nullptr);
    CHECK(Last.numberParameters == 3);
    CHECK(Last.information[0] == 11 && Last.information[1] == 22);
    CHECK(Last.information[2] == 0xFFFFFFFF00000033ull);
    // The guard abandons the work, so it takes one that cannot go on too.
    ExpectCaught(RaiseNoncontinuable, 0xE0001235, nullptr);
}

void StackOverflow() {
    // Twice: the first overflow must leave the stack fit for a second one.
    ExpectCaught(Overflow, EXCEPTION_STACK_OVERFLOW, nullptr);
    ExpectCaught(Overflow, EXCEPTION_STACK_OVERFLOW, nullptr);
    ExpectCaught(WriteNull, EXCEPTION_ACCESS_VIOLATION, WriteNull);
}

// Nested guards: the inner filter sees the exception first; what it passes
// on goes to the outer one, whose GuardRun then returns.
int InnerCalls;
LONG InnerFilter(EXCEPTION_POINTERS*) {
    InnerCalls++;
    return EXCEPTION_CONTINUE_SEARCH;
}

BOOL InnerResult = -1;
void InnerGuard() {
    InnerResult = GuardRun(WriteNull, InnerFilter);
}

// Steps over the int3 and goes on.
LONG SkipBreakpoint(EXCEPTION_POINTERS* info) {
    Filter(info);
    info->ContextRecord->Rip = (DWORD64)info->ExceptionRecord->ExceptionAddress + 1;
    return EXCEPTION_CONTINUE_EXECUTION;
}

void OtherVerdicts() {
    Last = Seen();
    InnerCalls = 0;
    InnerResult = -1;
    CHECK(GuardRun(InnerGuard, Filter) == FALSE);
    CHECK(InnerCalls == 1);
    CHECK(Last.calls == 1 && Last.code == EXCEPTION_ACCESS_VIOLATION);
    CHECK(InnerResult == -1); // the inner GuardRun never returned

    Last = Seen();
    CHECK(GuardRun(Breakpoint, SkipBreakpoint) == TRUE);
    CHECK(Last.calls == 1 && Last.code == EXCEPTION_BREAKPOINT);
}

// ---------------------------------------------------------------------------
// Exceptions that the guarded work handles itself never reach the guard: the
// system's own probing, and a frame handler of this program's. What that
// handler passes on does, after it.

// CatchingCall calls routine in a frame whose handler, Catcher, takes an
// exception the way __except does: it unwinds to that frame, where
// CatchingCall returns 1 (0 when routine returned). GCC has no __try, so the
// frame is written here.
extern "C" int CatchingCall(void (*routine)());
extern "C" char CatchingCallCaught[];
asm(R"(
    .text
    .globl CatchingCall, CatchingCallCaught
    .def CatchingCall; .scl 2; .type 32; .endef
    .seh_proc CatchingCall
CatchingCall:
    subq $40, %rsp
    .seh_stackalloc 40
    .seh_endprologue
    callq *%rcx
    xorl %eax, %eax
CatchingCallCaught:
    addq $40, %rsp
    ret
    .seh_handler Catcher, @except
    .seh_endproc
)");

const DWORD kPassedOn = 0xE0000CAB; // Catcher leaves this code to the guard
int CatcherCalls;

extern "C" EXCEPTION_DISPOSITION Catcher(EXCEPTION_RECORD* record, void* frame, CONTEXT* context,
                                         DISPATCHER_CONTEXT* dispatcher) {
    if (IS_UNWINDING(record->ExceptionFlags)) return ExceptionContinueSearch;
    CatcherCalls++;
    if (record->ExceptionCode == kPassedOn) return ExceptionContinueSearch;
    RtlUnwindEx(frame, CatchingCallCaught, record, (PVOID)1, context, dispatcher->HistoryTable);
    return ExceptionContinueSearch; // RtlUnwindEx does not return
}

__attribute__((noinline)) void ThrowMsvc() {
    RaiseException(0xE06D7363, EXCEPTION_NONCONTINUABLE, 0, NULL); // MSVC's C++ throw
}

__attribute__((noinline)) void RaisePassedOn() {
    RaiseException(kPassedOn, 0, 0, NULL);
}

BOOL Probed;
int CaughtOwn;

void HandlesItsOwn() {
    Probed = IsBadReadPtr((void*)0x1000, 1);
    CaughtOwn = CatchingCall(WriteNull) + CatchingCall(ThrowMsvc) + CatchingCall(Nothing);
}

void PassesOn() {
    CatchingCall(RaisePassedOn);
}

void HandledInside() {
    Last = Seen();
    CatcherCalls = 0;
    CHECK(GuardRun(HandlesItsOwn, Filter) == TRUE);
    CHECK(Last.calls == 0);
    CHECK(Probed == TRUE);
    CHECK(CaughtOwn == 2 && CatcherCalls == 2);
    if (Last.calls != 0) printf("the guard took 0x%08lX\n", (unsigned long)Last.code);

    Last = Seen();
    CatcherCalls = 0;
    ExpectCaught(PassesOn, kPassedOn, nullptr);
    CHECK(CatcherCalls == 1);
}

void CompletedWork() {
    Last = Seen();
    CHECK(GuardRun(Nothing, Filter) == TRUE);
    CHECK(Last.calls == 0);
    // A guard that took an exception is gone; the next one works alike.
    ExpectCaught(WriteNull, EXCEPTION_ACCESS_VIOLATION, WriteNull);
    Last = Seen();
    CHECK(GuardRun(Nothing, Filter) == TRUE);
    CHECK(Last.calls == 0);
}

// Run by windows_test, which presses Ctrl-C (SIGINT to Wine) once the work
// has started.
void CtrlC() {
    Last = Seen();
    CHECK(GuardRun(Spin, Filter) == FALSE);
    CHECK(Last.calls == 1);
    CHECK(Last.code == STATUS_CONTROL_C_EXIT);
    CHECK(Inside(Last.address, Spin, 128));
    CHECK(Last.contextRip == Last.address);
}

// What work printed on standard output (fd 1) or standard error (fd 2), in
// the C runtime's stream or to the handle the system gives for it.
template <class Work> std::string Captured(int fd, Work work) {
    fflush(stdout);
    fflush(stderr);
    char name[32]; // of this process alone: cases run at once in one directory
    snprintf(name, sizeof name, "report-%lu.txt", GetCurrentProcessId());
    int saved = _dup(fd);
    int file =
        _open(name, _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY | _O_TEMPORARY, _S_IREAD | _S_IWRITE);
    _dup2(file, fd); // sets the standard handle too
    work();
    fflush(stdout);
    fflush(stderr);
    _dup2(saved, fd);
    _close(saved);
    std::string text;
    char buffer[512];
    int got;
    _lseek(file, 0, SEEK_SET);
    while ((got = _read(file, buffer, sizeof buffer)) > 0)
        text.append(buffer, got);
    _close(file);
    return text;
}

std::string Printed(void (*work)()) {
    return Captured(1, work);
}

// korval's filter: the report, made with this program's own code map.
LONG ReportFilter(EXCEPTION_POINTERS* info) {
    Filter(info);
    return HandleException(info->ExceptionRecord->ExceptionCode, info->ExceptionRecord);
}

void (*ReportedWork)();
void RunReported() {
    CHECK(GuardRun(ReportedWork, ReportFilter) == FALSE);
}

// A full name less its parameter list and the qualifiers before it:
// "(anonymous namespace)::Recurse(int)" is Recurse.
std::string Unqualified(std::string full) {
    if (full.size() > 6 && full.compare(full.size() - 6, 6, " const") == 0)
        full.resize(full.size() - 6);
    if (!full.empty() && full.back() == ')') {
        int depth = 0;
        for (size_t i = full.size(); i-- > 0;) {
            if (full[i] == ')') depth++;
            if (full[i] == '(' && --depth == 0) {
                full.resize(i);
                break;
            }
        }
    }
    size_t colons = full.rfind("::");
    return colons == std::string::npos ? full : full.substr(colons + 2);
}

// The full name that the code map beside the module holding routine gives
// the record that starts at routine, read from the map's extension (layout
// in extension.h), which the reports show. The record must be Name's, and
// so must the full name, less its parameter list and qualifiers; else a
// failed check, and a name that no report line gives.
std::string FullName(const void* routine, const char* name) {
    HMODULE module = NULL;
    char path[MAX_PATH];
    DWORD got = 0;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCSTR)routine, &module))
        got = GetModuleFileNameA(module, path, sizeof path);
    std::string map(path, got < sizeof path ? got : 0);
    map = map.substr(0, map.find('.', map.rfind('\\') + 1)) + ".COD";
    std::string bytes;
    if (FILE* in = fopen(map.c_str(), "rb")) {
        char buffer[4096];
        size_t read;
        while ((read = fread(buffer, 1, sizeof buffer, in)) > 0)
            bytes.append(buffer, read);
        fclose(in);
    }
    auto le = [&](uint64_t at, int size) {
        uint64_t value = 0;
        if (at + size <= bytes.size()) memcpy(&value, &bytes[at], size);
        return value;
    };
    auto up4 = [](uint64_t length) { return (length + 3) & ~3ull; };
    const uint64_t count = le(0, 4), ext = 4 + 52 * count;
    std::string full;
    bool whole = count > 0 && bytes.size() >= ext + 36 && bytes.compare(ext, 8, "KORVALX1") == 0 &&
                 le(ext + 8, 4) == bytes.size() - ext && le(ext + 12, 4) == count;
    if (whole) {
        const uint64_t linked = (ULONG_PTR)routine - (ULONG_PTR)module + le(ext + 16, 8);
        uint64_t offsets = ext + 32 + up4(le(ext + 28, 4));
        offsets += 4 + up4(le(offsets, 4));
        const uint64_t pool = offsets + 4 * count + 4;
        for (uint64_t i = 0; i < count && full.empty(); i++) {
            const char* record = &bytes[4 + 52 * i];
            if (le(4 + 52 * i, 4) != linked || strncmp(record + 4, name, 32) != 0) continue;
            const uint64_t at = pool + le(offsets + 4 * i, 4);
            if (at < bytes.size()) full = bytes.c_str() + at;
        }
    }
    const bool found = !full.empty() && Unqualified(full) == name;
    CHECK(found);
    if (found) return full;
    printf("%s: no full name of %s at %p, its record's: '%s'\n", map.c_str(), name, routine,
           full.c_str());
    return "<no full name of " + std::string(name) + ">";
}

#define FULL_NAME(Routine) FullName((const void*)(Routine), #Routine)

// Real faults, reported by HandleException with the routine that faulted,
// found in GUARD_TEST.COD, which the build made for this program.
void NamedReports() {
    CreateDirectoryA("named-reports", NULL);
    CHECK(CopyFileA("GUARD_TEST.COD", "named-reports\\KORVAL.COD", FALSE));
    SetCurrentDirectoryA("named-reports");
    CHECK(OpenDebug() == 1);
    SetCurrentDirectoryA("..");
    CHECK(iNumMaps > 40);

    struct {
        void (*work)();
        void* routine;
        std::string name;
        const char* what;
    } const faults[] = {
        {WriteNull, (void*)WriteNull, FULL_NAME(WriteNull), "Access error. Ref to locn 0x00000000"},
        {DivideByZero, (void*)DivideByZero, FULL_NAME(DivideByZero), "Integer divide by zero"},
        {Breakpoint, (void*)Breakpoint, FULL_NAME(Breakpoint), "Breakpoint instruction"},
        {Trap, (void*)Trap, FULL_NAME(Trap), "Unknown code : 0xC000001D"},
        {Overflow, (void*)Recurse, FULL_NAME(Recurse), "Unknown code : 0xC00000FD"},
    };
    for (const auto& f : faults) {
        Last = Seen();
        ReportedWork = f.work;
        std::string report = Printed(RunReported);
        char expected[320];
        snprintf(expected, sizeof expected, "EXCEPTION : %s at %s(guard_test.cpp.o)+0x%X.", f.what,
                 f.name.c_str(), (unsigned)(Last.address - (ULONG_PTR)f.routine));
        CHECK(report == expected);
        CHECK(Last.address - (ULONG_PTR)f.routine < 256);
        if (report != expected) printf("printed  %s\nexpected %s\n", report.c_str(), expected);
    }
    CHECK(CloseDebug() == 1);
}

// ---------------------------------------------------------------------------
// RunGuarded: reports on standard error with the calls that led there, on
// any thread, from the program's own code map.

// The reports in text, each a list of its lines without their CR LF; false
// when a line belongs to no report, has neither form or is not ended.
bool SplitReports(const std::string& text, std::vector<std::vector<std::string>>* reports) {
    size_t at = 0, end;
    while ((end = text.find("\r\n", at)) != std::string::npos) {
        std::string line = text.substr(at, end - at);
        at = end + 2;
        if (line.compare(0, 12, "EXCEPTION : ") == 0 && line.find(" at ") != std::string::npos &&
            line.back() == '.')
            reports->push_back({line});
        else if (!reports->empty() && ((line.compare(0, 14, "  called from ") == 0 &&
                                        line.find("+0x") != std::string::npos) ||
                                       line == "  (more frames not shown)"))
            reports->back().push_back(line);
        else
            return false;
    }
    return at == text.size();
}

// The routine a report line names, as the report gives it: what stands
// before "(object)+0x", the full name with its parameter list; empty for
// object+offset or a plain address.
std::string RoutineIn(const std::string& line) {
    const char* before = line.compare(0, 10, "EXCEPTION ") == 0 ? " at " : "called from ";
    size_t start = line.find(before), plus = line.rfind("+0x");
    if (start == std::string::npos || plus == std::string::npos || plus == 0 ||
        line[plus - 1] != ')')
        return "";
    start += strlen(before);
    size_t open = line.rfind('(', plus - 1);
    return open == std::string::npos || open <= start ? "" : line.substr(start, open - start);
}

// One report from work, checked for its form; the report's lines.
std::vector<std::string> OneReport(void (*Work)(void*)) {
    int result = -1;
    std::string err = Captured(2, [&] { result = RunGuarded(Work, nullptr); });
    CHECK(result == 0);
    std::vector<std::vector<std::string>> reports;
    bool split = SplitReports(err, &reports);
    CHECK(split && reports.size() == 1);
    if (!split || reports.size() != 1) {
        printf("reports: %s\n", err.c_str());
        return {""};
    }
    return reports[0];
}

// Whether the report's calling lines name inner, then at once outer.
bool CalledFrom(const std::vector<std::string>& lines, const std::string& inner,
                const std::string& outer) {
    for (size_t i = 1; i + 1 < lines.size(); i++)
        if (RoutineIn(lines[i]) == inner && RoutineIn(lines[i + 1]) == outer) return true;
    printf("no call of %s from %s in:\n", inner.c_str(), outer.c_str());
    for (const std::string& line : lines)
        printf("%s\n", line.c_str());
    return false;
}

const char* volatile NullText = nullptr;
volatile size_t Length;

// Each call is followed by a store, so none is a tail call.
__attribute__((noinline)) void StrlenOfNull() {
    Length = strlen(NullText);
    Sink = Sink + 1;
}

__attribute__((noinline)) void CallsStrlen(void*) {
    StrlenOfNull();
    Sink = Sink + 1;
}

__attribute__((noinline)) void CallsWriteNull(void*) {
    WriteNull();
    Sink = Sink + 1;
}

void Completes(void*) {
    Sink = 2;
}

// The program's own code map, GUARD_TEST.COD beside guard_test.exe, found
// from another current directory; then every record of the file is there.
void OwnCodeMap() {
    char self[MAX_PATH];
    DWORD got = GetModuleFileNameA(ProgramModule(), self, sizeof self);
    CHECK(got > 4 && got < sizeof self);
    std::string map = std::string(self, got - 4) + ".COD";
    WIN32_FILE_ATTRIBUTE_DATA file = {};
    CHECK(GetFileAttributesExA(map.c_str(), GetFileExInfoStandard, &file));
    CreateDirectoryA("elsewhere", NULL);
    SetCurrentDirectoryA("elsewhere");
    CHECK(OpenDebugFile(NULL) == 1);
    // The count and the records; korval-codemap's full names may follow.
    uint32_t count = 0;
    FILE* in = fopen(map.c_str(), "rb");
    CHECK(in != NULL && fread(&count, sizeof count, 1, in) == 1);
    fclose(in);
    CHECK(iNumMaps > 40 && iNumMaps == count && 4 + 52ull * count <= file.nFileSizeLow);
    printf("%s: %u records\n", map.c_str(), (unsigned)iNumMaps);
}

// A fault inside the C runtime: the report names the routine that called
// strlen and its caller, innermost first.
void Chain() {
    OwnCodeMap();
    std::vector<std::string> lines = OneReport(CallsStrlen);
    CHECK(lines[0].compare(0, 40, "EXCEPTION : Access error. Ref to locn 0x") == 0);
    CHECK(lines.size() <= 17);
    CHECK(CalledFrom(lines, FULL_NAME(StrlenOfNull), FULL_NAME(CallsStrlen)));
    // The guard's own frames are left out: the caller of RunGuarded follows.
    CHECK(CalledFrom(lines, FULL_NAME(CallsStrlen), FULL_NAME(OneReport)));
    lines = OneReport(CallsWriteNull);
    CHECK(RoutineIn(lines[0]) == FULL_NAME(WriteNull));
    CHECK(lines.size() > 1 && RoutineIn(lines[1]) == FULL_NAME(CallsWriteNull));
}

// Threads that fault and threads that do not, all at once, round after
// round: each fault is taken by its own thread's guard, and no report is
// mixed with another.
const int kThreads = 4, kRounds = 50;
HANDLE Start;
volatile LONG Caught, Completed;

DWORD WINAPI Rounds(void* first) {
    WaitForSingleObject(Start, INFINITE);
    for (int r = (int)(INT_PTR)first; r < kRounds + (int)(INT_PTR)first; r++) {
        if (r % 2 == 0 && !RunGuarded(CallsWriteNull, nullptr)) InterlockedIncrement(&Caught);
        if (r % 2 == 1 && RunGuarded(Completes, nullptr)) InterlockedIncrement(&Completed);
    }
    return 0;
}

void Threads() {
    OwnCodeMap();
    std::string err = Captured(2, [] {
        Start = CreateEventA(NULL, TRUE, FALSE, NULL);
        HANDLE thread[kThreads];
        for (int t = 0; t < kThreads; t++)
            thread[t] = CreateThread(NULL, 0, Rounds, (void*)(INT_PTR)(t % 2), 0, NULL);
        SetEvent(Start);
        WaitForMultipleObjects(kThreads, thread, TRUE, INFINITE);
        for (HANDLE h : thread)
            CloseHandle(h);
    });
    CHECK(Caught == kThreads * kRounds / 2);
    CHECK(Completed == kThreads * kRounds / 2);
    std::vector<std::vector<std::string>> reports;
    CHECK(SplitReports(err, &reports));
    CHECK(reports.size() == (size_t)Caught);
    int whole = 0;
    const std::string faulting = FULL_NAME(WriteNull), caller = FULL_NAME(CallsWriteNull),
                      thread = FULL_NAME(Rounds);
    for (const std::vector<std::string>& lines : reports)
        whole += RoutineIn(lines[0]) == faulting && lines.size() > 1 &&
                 RoutineIn(lines[1]) == caller && CalledFrom(lines, caller, thread);
    CHECK(whole == (int)reports.size());
    if (reports.size() != (size_t)Caught || whole != (int)reports.size())
        printf("%s\n", err.substr(0, 2000).c_str());
}

struct Thrown {};

void Throws(void*) {
    throw Thrown();
}

// Catches what an inner guard let through, then faults.
void CatchesThenFaults(void* inner) {
    try {
        RunGuarded(Throws, nullptr);
    } catch (const Thrown&) {
        *static_cast<int*>(inner) = 1;
    }
    WriteNull();
}

// A C++ exception thrown by the work passes through RunGuarded to the
// caller's catch; the guard it left works afterwards, and so does an outer
// one inside which it was caught.
void CppException() {
    OwnCodeMap();
    bool through = false;
    try {
        RunGuarded(Throws, nullptr);
    } catch (const Thrown&) {
        through = true;
    }
    CHECK(through);
    int Inner = -1, Outer = -1;
    std::string err = Captured(2, [&] { Outer = RunGuarded(CatchesThenFaults, &Inner); });
    CHECK(Inner == 1);
    CHECK(Outer == 0);
    std::vector<std::vector<std::string>> reports;
    CHECK(SplitReports(err, &reports) && reports.size() == 1);
    CHECK(reports.size() == 1 && RoutineIn(reports[0][0]) == FULL_NAME(WriteNull));
    if (reports.size() != 1) printf("%s\n", err.c_str());
}

// The program's own header: a dynamic base with high-entropy addresses, and
// the preferred base 0x400000. Then the reports name its routines, at
// whatever base it was loaded.
void DynamicBase() {
    const char* base = reinterpret_cast<const char*>(ProgramModule());
    const IMAGE_NT_HEADERS* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + ((const IMAGE_DOS_HEADER*)base)->e_lfanew);
    const WORD dynamic =
        IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA;
    CHECK((nt->OptionalHeader.DllCharacteristics & dynamic) == dynamic);
    printf("loaded at %p, load bias 0x%llx\n", (void*)base, (unsigned long long)ProgramLoadBias());
    CHECK(base - ProgramLoadBias() == (const char*)0x400000);
    Chain();
}

// Children: each ends its process one way or another.
int ChildOutside() {
    CHECK(GuardRun(Nothing, Filter) == TRUE);
    WriteNull(); // outside the guard: the default course ends the process
    return Last.calls == 0 ? 2 : 3;
}

int ChildDeclined() {
    Verdict = EXCEPTION_CONTINUE_SEARCH;
    GuardRun(WriteNull, Filter);
    return 4;
}

int ChildDeclinedOverflow() {
    Verdict = EXCEPTION_CONTINUE_SEARCH;
    GuardRun(Overflow, Filter);
    return 5;
}

DWORD WINAPI FaultsUnguarded(void*) {
    WriteNull();
    return 0;
}

// Waits inside a guard for a thread that has none and faults.
void AwaitsUnguardedFault(void*) {
    HANDLE thread = CreateThread(NULL, 0, FaultsUnguarded, NULL, 0, NULL);
    WaitForSingleObject(thread, INFINITE);
}

int ChildUnguardedThread() {
    RunGuarded(AwaitsUnguardedFault, nullptr);
    return 6;
}

// An inner guard's filter faults: no guard takes that fault, the outer one
// included.
LONG FaultingFilter(EXCEPTION_POINTERS*) {
    WriteNull();
    return EXCEPTION_EXECUTE_HANDLER;
}

void GuardWithFaultingFilter() {
    GuardRun(WriteNull, FaultingFilter);
}

// Work that writes code addresses over its callers' return addresses and
// saved registers, then faults: the frames between the fault and the guard
// can no longer be walked. (A stack pointer moved off the stack cannot be
// caught at all: the system needs the stack to deliver the exception.)
volatile unsigned Scramble;

__attribute__((noinline)) void SmashAndFault() {
    volatile ULONG_PTR* above = (volatile ULONG_PTR*)__builtin_frame_address(0);
    const ULONG_PTR code[] = {(ULONG_PTR)WriteNull, (ULONG_PTR)DivideByZero, (ULONG_PTR)Raise,
                              (ULONG_PTR)Recurse};
    for (int i = 0; i < 480; i++) {
        Scramble = Scramble * 1103515245u + 12345u;
        above[i] = code[(Scramble >> 16) % 4] + (Scramble >> 8) % 48;
    }
    *Nowhere = 1;
}

__attribute__((noinline)) void PaddedCaller() {
    volatile char room[4096]; // what SmashAndFault writes over, clear of the guard
    room[0] = 1;
    SmashAndFault();
    Sink = room[0];
}

// Each a child of its own: a fault the guard misses ends the process.
int ChildSmashed(unsigned seed, void (*work)()) {
    Scramble = seed;
    Last = Seen();
    if (GuardRun(work, Filter) == FALSE && Last.calls == 1) return 8;
    return 9;
}

void SmashedStack() {
    int smashed = 0;
    const int kRuns = 20;
    for (int i = 0; i < kRuns; i++) {
        char Case[64];
        snprintf(Case, sizeof Case, "child-smashed:%d", i + 1);
        DWORD code = RunChild(Case);
        smashed += code == 8;
        if (code != 8) printf("%s: ended with 0x%08lX\n", Case, (unsigned long)code);
    }
    printf("smashed stack caught %d of %d\n", smashed, kRuns);
    CHECK(smashed == kRuns);
}

__attribute__((noinline)) void CallsAbort(void*) {
    abort();
}

__attribute__((noinline)) void FailsAnAssert(void*) {
    assert(Zero == 1);
    Sink = Sink + 1;
}

// abort() and a failed assert inside a guard, with standard error in file:
// reported, then the process ends as abort ends it.
int ChildAborts(const char* file, void (*work)(void*)) {
    int fd = _open(file, _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(fd, 2);
    OpenDebugFile(NULL);
    RunGuarded(work, nullptr);
    return 10; // never: the process ended
}

void Aborts() {
    const std::string aborting = FULL_NAME(CallsAbort), asserting = FULL_NAME(FailsAnAssert);
    for (const char* Case : {"child-abort", "child-assert"}) {
        char file[64], command[96];
        snprintf(file, sizeof file, "abort-%lu.txt", GetCurrentProcessId());
        snprintf(command, sizeof command, "%s:%s", Case, file);
        CHECK(RunChild(command) == 3);
        std::string err;
        FILE* in = fopen(file, "rb");
        char buffer[4096];
        size_t got;
        while (in != nullptr && (got = fread(buffer, 1, sizeof buffer, in)) > 0)
            err.append(buffer, got);
        if (in != nullptr) fclose(in);
        DeleteFileA(file);
        // The C runtime's own text of a failed assert, which it writes in
        // UTF-16, may come before or after the report's lines.
        size_t report = err.find("EXCEPTION : ");
        std::string text = report == std::string::npos ? "" : err.substr(report);
        size_t end = 0, next;
        while ((next = text.find("\r\n", end)) != std::string::npos &&
               (end == 0 || text.compare(end, 14, "  called from ") == 0))
            end = next + 2;
        text.resize(end);
        std::vector<std::vector<std::string>> reports;
        bool whole = SplitReports(text, &reports) && reports.size() == 1;
        CHECK(whole);
        if (!whole) {
            printf("%s: %s\n", Case, err.c_str());
            continue;
        }
        CHECK(reports[0][0].find("EXCEPTION : Abnormal program termination at ") !=
              std::string::npos);
        bool named = false;
        for (const std::string& line : reports[0])
            named |= RoutineIn(line) == (strcmp(Case, "child-abort") == 0 ? aborting : asserting);
        CHECK(named);
        if (!named) printf("%s: %s\n", Case, err.c_str());
    }
}

int ChildFilterFaults() {
    GuardRun(GuardWithFaultingFilter, Filter);
    return 7;
}

void DefaultCourse() {
    CHECK(RunChild("child-outside") == (DWORD)EXCEPTION_ACCESS_VIOLATION);
    CHECK(RunChild("child-declined") == (DWORD)EXCEPTION_ACCESS_VIOLATION);
    CHECK(RunChild("child-declined-overflow") == (DWORD)EXCEPTION_STACK_OVERFLOW);
    CHECK(RunChild("child-unguarded-thread") == (DWORD)EXCEPTION_ACCESS_VIOLATION);
    CHECK(RunChild("child-filter-faults") == (DWORD)EXCEPTION_ACCESS_VIOLATION);
}

void Relocated(const char* name);
HMODULE LoadRelocatedDll();

// Frames in a DLL that does not run the guard itself, named from its own
// code map, which OpenDebugFile(NULL) in the program loads beside the
// program's: the DLL is guard_test_dll.dll, relocated.
__attribute__((noinline)) void DllFrames() {
    HMODULE image = LoadRelocatedDll();
    auto fault = (void (*)(void*))(void*)GetProcAddress(image, "FaultInHere");
    CHECK(fault != NULL);
    if (fault == NULL) return;
    CHECK(OpenDebugFile(NULL) == 1);
    std::vector<std::string> lines = OneReport(fault);
    // The DLL's routines bear the program's names: the same source. Its
    // FaultInHere is named from its own code map.
    const std::string inDll = FullName((const void*)fault, "FaultInHere");
    CHECK(RoutineIn(lines[0]) == FULL_NAME(WriteNull));
    CHECK(CalledFrom(lines, FULL_NAME(CallsWriteNull), inDll));
    CHECK(CalledFrom(lines, inDll, FULL_NAME(OneReport)));
    Sink = Sink + 1;
}

struct Case {
    const char* name;
    void (*run)();
};

const Case kCases[] = {
    {"processor-faults", ProcessorFaults},
    {"software-exception", SoftwareException},
    {"stack-overflow", StackOverflow},
    {"completed-work", CompletedWork},
    {"default-course", DefaultCourse},
    {"other-verdicts", OtherVerdicts},
    {"handled-inside", HandledInside},
    {"named-reports", NamedReports},
    {"ctrl-c", CtrlC},
    {"own-code-map", OwnCodeMap},
    {"chain", Chain},
    {"threads", Threads},
    {"cpp-exception", CppException},
    {"dynamic-base", DynamicBase},
    {"dll-frames", DllFrames},
    {"smashed-stack", SmashedStack},
    {"abort", Aborts},
};

// Runs a case, in a program or in the DLL (runCase); its failures.
int RunNamedCase(const char* name) {
    for (const Case& c : kCases) {
        if (strcmp(name, c.name) == 0) {
            c.run();
            printf("%s: %s\n", c.name, Failures ? "FAILED" : "passed");
            return Failures;
        }
    }
    printf("no case '%s'\n", name);
    return -1;
}

// Loads guard_test_dll.dll, beside this program: it has a dynamic base and
// asks for 0x400000, where this program lies, so the loader relocates it.
// Then it writes the base it got into its mapped header, as Windows' memory
// manager does when it relocates an image (Wine does not). Relocated runs
// the case there, with the DLL's code map beside it.
HMODULE LoadRelocatedDll() {
    char path[MAX_PATH];
    DWORD length = GetModuleFileNameA(NULL, path, sizeof path);
    std::string dll(path, length);
    dll.replace(dll.rfind('\\') + 1, std::string::npos, "guard_test_dll.dll");
    HMODULE image = LoadLibraryA(dll.c_str());
    CHECK(image != NULL && image != GetModuleHandleA(NULL));
    if (image == NULL) return NULL;
    IMAGE_NT_HEADERS* nt = (IMAGE_NT_HEADERS*)((char*)image + ((IMAGE_DOS_HEADER*)image)->e_lfanew);
    CHECK(nt->OptionalHeader.ImageBase == 0x400000);
    CHECK((char*)image != (char*)0x400000);
    DWORD was;
    CHECK(VirtualProtect(nt, sizeof *nt, PAGE_READWRITE, &was));
    nt->OptionalHeader.ImageBase = (ULONG_PTR)image;
    VirtualProtect(nt, sizeof *nt, was, &was);
    return image;
}

void Relocated(const char* name) {
    HMODULE image = LoadRelocatedDll();
    if (image == NULL) return;
    auto runCase = (int (*)(const char*))(void*)GetProcAddress(image, "RunCase");
    CHECK(runCase != NULL);
    if (runCase != NULL) CHECK(runCase(name) == 0);
}

} // namespace

extern "C" __declspec(dllexport) int RunCase(const char* name) {
    return RunNamedCase(name);
}

extern "C" __declspec(dllexport) __attribute__((noinline)) void FaultInHere(void*) {
    CallsWriteNull(nullptr);
    Sink = Sink + 1;
}

int main(int argc, char** argv) {
    setvbuf(stdout, NULL, _IONBF, 0);
    // A process that dies of an exception dies quietly, without a debugger.
    SetErrorMode(SEM_NOGPFAULTERRORBOX);
    if (argc != 2) {
        for (const Case& c : kCases)
            printf("%s\n", c.name);
        return 2;
    }
    std::string name = argv[1];
    if (name == "child-outside") return ChildOutside();
    if (name == "child-declined") return ChildDeclined();
    if (name == "child-declined-overflow") return ChildDeclinedOverflow();
    if (name == "child-unguarded-thread") return ChildUnguardedThread();
    if (name == "child-filter-faults") return ChildFilterFaults();
    if (name.compare(0, 12, "child-abort:") == 0) return ChildAborts(argv[1] + 12, CallsAbort);
    if (name.compare(0, 13, "child-assert:") == 0) return ChildAborts(argv[1] + 13, FailsAnAssert);
    if (name.compare(0, 14, "child-smashed:") == 0)
        return ChildSmashed((unsigned)atoi(argv[1] + 14), PaddedCaller);
    if (name.compare(0, 10, "relocated:") == 0) {
        Relocated(argv[1] + 10);
        printf("%s: %s\n", argv[1], Failures ? "FAILED" : "passed");
        return Failures ? 1 : 0;
    }
    int failed = RunNamedCase(argv[1]);
    return failed < 0 ? 2 : failed ? 1 : 0;
}
