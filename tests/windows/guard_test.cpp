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
    int Calls;
    DWORD Code;
    ULONG_PTR Address;
    DWORD NumberParameters;
    ULONG_PTR Information[EXCEPTION_MAXIMUM_PARAMETERS];
    DWORD64 ContextRip;
    int MarkerSeen; // the faulting routine's frame was still there
} Last;

LONG Verdict = EXCEPTION_EXECUTE_HANDLER;
volatile int* volatile FrameMarker; // a local of the routine that faults

LONG Filter(EXCEPTION_POINTERS* Info) {
    const EXCEPTION_RECORD* Record = Info->ExceptionRecord;
    Last.Calls++;
    Last.Code = Record->ExceptionCode;
    Last.Address = (ULONG_PTR)Record->ExceptionAddress;
    Last.NumberParameters = Record->NumberParameters;
    memcpy(Last.Information, Record->ExceptionInformation, sizeof Last.Information);
    Last.ContextRip = Info->ContextRecord->Rip;
    Last.MarkerSeen = FrameMarker != nullptr && *FrameMarker == 0x5EED;
    return Verdict;
}

volatile int* volatile Nowhere = nullptr;
volatile int Zero = 0;
volatile int Sink;

__attribute__((noinline)) void WriteNull() {
    volatile int Marker = 0x5EED;
    FrameMarker = &Marker;
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
    const ULONG_PTR Params[3] = {11, 22, 0xFFFFFFFF00000033ull};
    RaiseException(0xE0001234, 0, 3, Params);
}

volatile int Bottomless = 1 << 30; // deeper than any stack

__attribute__((noinline)) int Recurse(int Depth) {
    volatile char Pad[512];
    Pad[0] = (char)Depth;
    return Depth < Bottomless ? Recurse(Depth + 1) + Pad[0] : 0;
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
bool Inside(ULONG_PTR Address, void (*Routine)(), ULONG_PTR Length = 64) {
    ULONG_PTR Start = (ULONG_PTR)Routine;
    return Address >= Start && Address < Start + Length;
}

// Runs Work in the guard; checks that it was abandoned with code Code at
// an address inside Where.
void ExpectCaught(void (*Work)(), DWORD Code, void (*Where)()) {
    Last = Seen();
    CHECK(GuardRun(Work, Filter) == FALSE);
    CHECK(Last.Calls == 1);
    CHECK(Last.Code == Code);
    if (Where != nullptr) CHECK(Inside(Last.Address, Where));
    if (Last.Code != Code || (Where != nullptr && !Inside(Last.Address, Where)))
        printf("code 0x%08lX at %p\n", (unsigned long)Last.Code, (void*)Last.Address);
}

// Runs this program again with one argument; returns its exit code.
DWORD RunChild(const char* Case) {
    char Self[MAX_PATH];
    GetModuleFileNameA(NULL, Self, sizeof Self);
    std::string Command = std::string("\"") + Self + "\" " + Case;
    STARTUPINFOA Startup = {};
    Startup.cb = sizeof Startup;
    PROCESS_INFORMATION Process = {};
    if (!CreateProcessA(NULL, &Command[0], NULL, NULL, FALSE, 0, NULL, NULL, &Startup, &Process))
        return 0xFFFFFFFF;
    WaitForSingleObject(Process.hProcess, INFINITE);
    DWORD Code = 0;
    GetExitCodeProcess(Process.hProcess, &Code);
    CloseHandle(Process.hThread);
    CloseHandle(Process.hProcess);
    return Code;
}

void ProcessorFaults() {
    ExpectCaught(WriteNull, EXCEPTION_ACCESS_VIOLATION, WriteNull);
    CHECK(Last.NumberParameters == 2);
    CHECK(Last.Information[0] == 1); // a write
    CHECK(Last.Information[1] == 0); // to address 0
    CHECK(Last.ContextRip == Last.Address);
    CHECK(Last.MarkerSeen); // before unwinding

    ExpectCaught(DivideByZero, EXCEPTION_INT_DIVIDE_BY_ZERO, DivideByZero);
    ExpectCaught(Breakpoint, EXCEPTION_BREAKPOINT, Breakpoint);
    ExpectCaught(Trap, EXCEPTION_ILLEGAL_INSTRUCTION, Trap);
}

__attribute__((noinline)) void RaiseNoncontinuable() {
    RaiseException(0xE0001235, EXCEPTION_NONCONTINUABLE, 0, NULL);
}

void SoftwareException() {
    ExpectCaught(Raise, 0xE0001234, nullptr);
    CHECK(Last.NumberParameters == 3);
    CHECK(Last.Information[0] == 11 && Last.Information[1] == 22);
    CHECK(Last.Information[2] == 0xFFFFFFFF00000033ull);
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
LONG SkipBreakpoint(EXCEPTION_POINTERS* Info) {
    Filter(Info);
    Info->ContextRecord->Rip = (DWORD64)Info->ExceptionRecord->ExceptionAddress + 1;
    return EXCEPTION_CONTINUE_EXECUTION;
}

void OtherVerdicts() {
    Last = Seen();
    InnerCalls = 0;
    InnerResult = -1;
    CHECK(GuardRun(InnerGuard, Filter) == FALSE);
    CHECK(InnerCalls == 1);
    CHECK(Last.Calls == 1 && Last.Code == EXCEPTION_ACCESS_VIOLATION);
    CHECK(InnerResult == -1); // the inner GuardRun never returned

    Last = Seen();
    CHECK(GuardRun(Breakpoint, SkipBreakpoint) == TRUE);
    CHECK(Last.Calls == 1 && Last.Code == EXCEPTION_BREAKPOINT);
}

// ---------------------------------------------------------------------------
// Exceptions that the guarded work handles itself never reach the guard: the
// system's own probing, and a frame handler of this program's. What that
// handler passes on does, after it.

// CatchingCall calls Routine in a frame whose handler, Catcher, takes an
// exception the way __except does: it unwinds to that frame, where
// CatchingCall returns 1 (0 when Routine returned). GCC has no __try, so the
// frame is written here.
extern "C" int CatchingCall(void (*Routine)());
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

extern "C" EXCEPTION_DISPOSITION Catcher(EXCEPTION_RECORD* Record, void* Frame, CONTEXT* Context,
                                         DISPATCHER_CONTEXT* Dispatcher) {
    if (IS_UNWINDING(Record->ExceptionFlags)) return ExceptionContinueSearch;
    CatcherCalls++;
    if (Record->ExceptionCode == kPassedOn) return ExceptionContinueSearch;
    RtlUnwindEx(Frame, CatchingCallCaught, Record, (PVOID)1, Context, Dispatcher->HistoryTable);
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
    CHECK(Last.Calls == 0);
    CHECK(Probed == TRUE);
    CHECK(CaughtOwn == 2 && CatcherCalls == 2);
    if (Last.Calls != 0) printf("the guard took 0x%08lX\n", (unsigned long)Last.Code);

    Last = Seen();
    CatcherCalls = 0;
    ExpectCaught(PassesOn, kPassedOn, nullptr);
    CHECK(CatcherCalls == 1);
}

void CompletedWork() {
    Last = Seen();
    CHECK(GuardRun(Nothing, Filter) == TRUE);
    CHECK(Last.Calls == 0);
    // A guard that took an exception is gone; the next one works alike.
    ExpectCaught(WriteNull, EXCEPTION_ACCESS_VIOLATION, WriteNull);
    Last = Seen();
    CHECK(GuardRun(Nothing, Filter) == TRUE);
    CHECK(Last.Calls == 0);
}

// Run by windows_test, which presses Ctrl-C (SIGINT to Wine) once the work
// has started.
void CtrlC() {
    Last = Seen();
    CHECK(GuardRun(Spin, Filter) == FALSE);
    CHECK(Last.Calls == 1);
    CHECK(Last.Code == STATUS_CONTROL_C_EXIT);
    CHECK(Inside(Last.Address, Spin, 128));
    CHECK(Last.ContextRip == Last.Address);
}

// What work printed on standard output (Fd 1) or standard error (Fd 2), in
// the C runtime's stream or to the handle the system gives for it.
template <class Work> std::string Captured(int Fd, Work work) {
    fflush(stdout);
    fflush(stderr);
    char Name[32]; // of this process alone: cases run at once in one directory
    snprintf(Name, sizeof Name, "report-%lu.txt", GetCurrentProcessId());
    int Saved = _dup(Fd);
    int File =
        _open(Name, _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY | _O_TEMPORARY, _S_IREAD | _S_IWRITE);
    _dup2(File, Fd); // sets the standard handle too
    work();
    fflush(stdout);
    fflush(stderr);
    _dup2(Saved, Fd);
    _close(Saved);
    std::string Text;
    char Buffer[512];
    int Got;
    _lseek(File, 0, SEEK_SET);
    while ((Got = _read(File, Buffer, sizeof Buffer)) > 0)
        Text.append(Buffer, Got);
    _close(File);
    return Text;
}

std::string Printed(void (*Work)()) {
    return Captured(1, Work);
}

// korval's filter: the report, made with this program's own code map.
LONG ReportFilter(EXCEPTION_POINTERS* Info) {
    Filter(Info);
    return HandleException(Info->ExceptionRecord->ExceptionCode, Info->ExceptionRecord);
}

void (*ReportedWork)();
void RunReported() {
    CHECK(GuardRun(ReportedWork, ReportFilter) == FALSE);
}

// A full name less its parameter list and the qualifiers before it:
// "(anonymous namespace)::Recurse(int)" is Recurse.
std::string Unqualified(std::string Full) {
    if (Full.size() > 6 && Full.compare(Full.size() - 6, 6, " const") == 0)
        Full.resize(Full.size() - 6);
    if (!Full.empty() && Full.back() == ')') {
        int Depth = 0;
        for (size_t i = Full.size(); i-- > 0;) {
            if (Full[i] == ')') Depth++;
            if (Full[i] == '(' && --Depth == 0) {
                Full.resize(i);
                break;
            }
        }
    }
    size_t Colons = Full.rfind("::");
    return Colons == std::string::npos ? Full : Full.substr(Colons + 2);
}

// The full name that the code map beside the module holding Routine gives
// the record that starts at Routine, read from the map's extension (layout
// in extension.h), which the reports show. The record must be Name's, and
// so must the full name, less its parameter list and qualifiers; else a
// failed check, and a name that no report line gives.
std::string FullName(const void* Routine, const char* Name) {
    HMODULE Module = NULL;
    char Path[MAX_PATH];
    DWORD Got = 0;
    if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                               GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           (LPCSTR)Routine, &Module))
        Got = GetModuleFileNameA(Module, Path, sizeof Path);
    std::string Map(Path, Got < sizeof Path ? Got : 0);
    Map = Map.substr(0, Map.find('.', Map.rfind('\\') + 1)) + ".COD";
    std::string Bytes;
    if (FILE* In = fopen(Map.c_str(), "rb")) {
        char Buffer[4096];
        size_t Read;
        while ((Read = fread(Buffer, 1, sizeof Buffer, In)) > 0)
            Bytes.append(Buffer, Read);
        fclose(In);
    }
    auto Le = [&](uint64_t At, int Size) {
        uint64_t Value = 0;
        if (At + Size <= Bytes.size()) memcpy(&Value, &Bytes[At], Size);
        return Value;
    };
    auto Up4 = [](uint64_t Length) { return (Length + 3) & ~3ull; };
    const uint64_t Count = Le(0, 4), Ext = 4 + 52 * Count;
    std::string Full;
    bool Whole = Count > 0 && Bytes.size() >= Ext + 36 && Bytes.compare(Ext, 8, "KORVALX1") == 0 &&
                 Le(Ext + 8, 4) == Bytes.size() - Ext && Le(Ext + 12, 4) == Count;
    if (Whole) {
        const uint64_t Linked = (ULONG_PTR)Routine - (ULONG_PTR)Module + Le(Ext + 16, 8);
        uint64_t Offsets = Ext + 32 + Up4(Le(Ext + 28, 4));
        Offsets += 4 + Up4(Le(Offsets, 4));
        const uint64_t Pool = Offsets + 4 * Count + 4;
        for (uint64_t i = 0; i < Count && Full.empty(); i++) {
            const char* Record = &Bytes[4 + 52 * i];
            if (Le(4 + 52 * i, 4) != Linked || strncmp(Record + 4, Name, 32) != 0) continue;
            const uint64_t At = Pool + Le(Offsets + 4 * i, 4);
            if (At < Bytes.size()) Full = Bytes.c_str() + At;
        }
    }
    const bool Found = !Full.empty() && Unqualified(Full) == Name;
    CHECK(Found);
    if (Found) return Full;
    printf("%s: no full name of %s at %p, its record's: '%s'\n", Map.c_str(), Name, Routine,
           Full.c_str());
    return "<no full name of " + std::string(Name) + ">";
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
        void (*Work)();
        void* Routine;
        std::string Name;
        const char* What;
    } const Faults[] = {
        {WriteNull, (void*)WriteNull, FULL_NAME(WriteNull), "Access error. Ref to locn 0x00000000"},
        {DivideByZero, (void*)DivideByZero, FULL_NAME(DivideByZero), "Integer divide by zero"},
        {Breakpoint, (void*)Breakpoint, FULL_NAME(Breakpoint), "Breakpoint instruction"},
        {Trap, (void*)Trap, FULL_NAME(Trap), "Unknown code : 0xC000001D"},
        {Overflow, (void*)Recurse, FULL_NAME(Recurse), "Unknown code : 0xC00000FD"},
    };
    for (const auto& f : Faults) {
        Last = Seen();
        ReportedWork = f.Work;
        std::string Report = Printed(RunReported);
        char Expected[320];
        snprintf(Expected, sizeof Expected, "EXCEPTION : %s at %s(guard_test.cpp.o)+0x%X.", f.What,
                 f.Name.c_str(), (unsigned)(Last.Address - (ULONG_PTR)f.Routine));
        CHECK(Report == Expected);
        CHECK(Last.Address - (ULONG_PTR)f.Routine < 256);
        if (Report != Expected) printf("printed  %s\nexpected %s\n", Report.c_str(), Expected);
    }
    CHECK(CloseDebug() == 1);
}

// ---------------------------------------------------------------------------
// RunGuarded: reports on standard error with the calls that led there, on
// any thread, from the program's own code map.

// The reports in Text, each a list of its lines without their CR LF; false
// when a line belongs to no report, has neither form or is not ended.
bool SplitReports(const std::string& Text, std::vector<std::vector<std::string>>* Reports) {
    size_t At = 0, End;
    while ((End = Text.find("\r\n", At)) != std::string::npos) {
        std::string Line = Text.substr(At, End - At);
        At = End + 2;
        if (Line.compare(0, 12, "EXCEPTION : ") == 0 && Line.find(" at ") != std::string::npos &&
            Line.back() == '.')
            Reports->push_back({Line});
        else if (!Reports->empty() && ((Line.compare(0, 14, "  called from ") == 0 &&
                                        Line.find("+0x") != std::string::npos) ||
                                       Line == "  (more frames not shown)"))
            Reports->back().push_back(Line);
        else
            return false;
    }
    return At == Text.size();
}

// The routine a report line names, as the report gives it: what stands
// before "(object)+0x", the full name with its parameter list; empty for
// object+offset or a plain address.
std::string RoutineIn(const std::string& Line) {
    const char* Before = Line.compare(0, 10, "EXCEPTION ") == 0 ? " at " : "called from ";
    size_t Start = Line.find(Before), Plus = Line.rfind("+0x");
    if (Start == std::string::npos || Plus == std::string::npos || Plus == 0 ||
        Line[Plus - 1] != ')')
        return "";
    Start += strlen(Before);
    size_t Open = Line.rfind('(', Plus - 1);
    return Open == std::string::npos || Open <= Start ? "" : Line.substr(Start, Open - Start);
}

// One report from work, checked for its form; the report's lines.
std::vector<std::string> OneReport(void (*Work)(void*)) {
    int Result = -1;
    std::string Err = Captured(2, [&] { Result = RunGuarded(Work, nullptr); });
    CHECK(Result == 0);
    std::vector<std::vector<std::string>> Reports;
    bool Split = SplitReports(Err, &Reports);
    CHECK(Split && Reports.size() == 1);
    if (!Split || Reports.size() != 1) {
        printf("reports: %s\n", Err.c_str());
        return {""};
    }
    return Reports[0];
}

// Whether the report's calling lines name Inner, then at once Outer.
bool CalledFrom(const std::vector<std::string>& Lines, const std::string& Inner,
                const std::string& Outer) {
    for (size_t i = 1; i + 1 < Lines.size(); i++)
        if (RoutineIn(Lines[i]) == Inner && RoutineIn(Lines[i + 1]) == Outer) return true;
    printf("no call of %s from %s in:\n", Inner.c_str(), Outer.c_str());
    for (const std::string& Line : Lines)
        printf("%s\n", Line.c_str());
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
    char Self[MAX_PATH];
    DWORD Got = GetModuleFileNameA(ProgramModule(), Self, sizeof Self);
    CHECK(Got > 4 && Got < sizeof Self);
    std::string Map = std::string(Self, Got - 4) + ".COD";
    WIN32_FILE_ATTRIBUTE_DATA File = {};
    CHECK(GetFileAttributesExA(Map.c_str(), GetFileExInfoStandard, &File));
    CreateDirectoryA("elsewhere", NULL);
    SetCurrentDirectoryA("elsewhere");
    CHECK(OpenDebugFile(NULL) == 1);
    // The count and the records; korval-codemap's full names may follow.
    uint32_t Count = 0;
    FILE* In = fopen(Map.c_str(), "rb");
    CHECK(In != NULL && fread(&Count, sizeof Count, 1, In) == 1);
    fclose(In);
    CHECK(iNumMaps > 40 && iNumMaps == Count && 4 + 52ull * Count <= File.nFileSizeLow);
    printf("%s: %u records\n", Map.c_str(), (unsigned)iNumMaps);
}

// A fault inside the C runtime: the report names the routine that called
// strlen and its caller, innermost first.
void Chain() {
    OwnCodeMap();
    std::vector<std::string> Lines = OneReport(CallsStrlen);
    CHECK(Lines[0].compare(0, 40, "EXCEPTION : Access error. Ref to locn 0x") == 0);
    CHECK(Lines.size() <= 17);
    CHECK(CalledFrom(Lines, FULL_NAME(StrlenOfNull), FULL_NAME(CallsStrlen)));
    // The guard's own frames are left out: the caller of RunGuarded follows.
    CHECK(CalledFrom(Lines, FULL_NAME(CallsStrlen), FULL_NAME(OneReport)));
    Lines = OneReport(CallsWriteNull);
    CHECK(RoutineIn(Lines[0]) == FULL_NAME(WriteNull));
    CHECK(Lines.size() > 1 && RoutineIn(Lines[1]) == FULL_NAME(CallsWriteNull));
}

// Threads that fault and threads that do not, all at once, round after
// round: each fault is taken by its own thread's guard, and no report is
// mixed with another.
const int kThreads = 4, kRounds = 50;
HANDLE Start;
volatile LONG Caught, Completed;

DWORD WINAPI Rounds(void* First) {
    WaitForSingleObject(Start, INFINITE);
    for (int r = (int)(INT_PTR)First; r < kRounds + (int)(INT_PTR)First; r++) {
        if (r % 2 == 0 && !RunGuarded(CallsWriteNull, nullptr)) InterlockedIncrement(&Caught);
        if (r % 2 == 1 && RunGuarded(Completes, nullptr)) InterlockedIncrement(&Completed);
    }
    return 0;
}

void Threads() {
    OwnCodeMap();
    std::string Err = Captured(2, [] {
        Start = CreateEventA(NULL, TRUE, FALSE, NULL);
        HANDLE Thread[kThreads];
        for (int t = 0; t < kThreads; t++)
            Thread[t] = CreateThread(NULL, 0, Rounds, (void*)(INT_PTR)(t % 2), 0, NULL);
        SetEvent(Start);
        WaitForMultipleObjects(kThreads, Thread, TRUE, INFINITE);
        for (HANDLE h : Thread)
            CloseHandle(h);
    });
    CHECK(Caught == kThreads * kRounds / 2);
    CHECK(Completed == kThreads * kRounds / 2);
    std::vector<std::vector<std::string>> Reports;
    CHECK(SplitReports(Err, &Reports));
    CHECK(Reports.size() == (size_t)Caught);
    int Whole = 0;
    const std::string Faulting = FULL_NAME(WriteNull), Caller = FULL_NAME(CallsWriteNull),
                      Thread = FULL_NAME(Rounds);
    for (const std::vector<std::string>& Lines : Reports)
        Whole += RoutineIn(Lines[0]) == Faulting && Lines.size() > 1 &&
                 RoutineIn(Lines[1]) == Caller && CalledFrom(Lines, Caller, Thread);
    CHECK(Whole == (int)Reports.size());
    if (Reports.size() != (size_t)Caught || Whole != (int)Reports.size())
        printf("%s\n", Err.substr(0, 2000).c_str());
}

struct Thrown {};

void Throws(void*) {
    throw Thrown();
}

// Catches what an inner guard let through, then faults.
void CatchesThenFaults(void* Inner) {
    try {
        RunGuarded(Throws, nullptr);
    } catch (const Thrown&) {
        *static_cast<int*>(Inner) = 1;
    }
    WriteNull();
}

// A C++ exception thrown by the work passes through RunGuarded to the
// caller's catch; the guard it left works afterwards, and so does an outer
// one inside which it was caught.
void CppException() {
    OwnCodeMap();
    bool Through = false;
    try {
        RunGuarded(Throws, nullptr);
    } catch (const Thrown&) {
        Through = true;
    }
    CHECK(Through);
    int Inner = -1, Outer = -1;
    std::string Err = Captured(2, [&] { Outer = RunGuarded(CatchesThenFaults, &Inner); });
    CHECK(Inner == 1);
    CHECK(Outer == 0);
    std::vector<std::vector<std::string>> Reports;
    CHECK(SplitReports(Err, &Reports) && Reports.size() == 1);
    CHECK(Reports.size() == 1 && RoutineIn(Reports[0][0]) == FULL_NAME(WriteNull));
    if (Reports.size() != 1) printf("%s\n", Err.c_str());
}

// The program's own header: a dynamic base with high-entropy addresses, and
// the preferred base 0x400000. Then the reports name its routines, at
// whatever base it was loaded.
void DynamicBase() {
    const char* Base = reinterpret_cast<const char*>(ProgramModule());
    const IMAGE_NT_HEADERS* Nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(Base + ((const IMAGE_DOS_HEADER*)Base)->e_lfanew);
    const WORD Dynamic =
        IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE | IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA;
    CHECK((Nt->OptionalHeader.DllCharacteristics & Dynamic) == Dynamic);
    printf("loaded at %p, load bias 0x%llx\n", (void*)Base, (unsigned long long)ProgramLoadBias());
    CHECK(Base - ProgramLoadBias() == (const char*)0x400000);
    Chain();
}

// Children: each ends its process one way or another.
int ChildOutside() {
    CHECK(GuardRun(Nothing, Filter) == TRUE);
    WriteNull(); // outside the guard: the default course ends the process
    return Last.Calls == 0 ? 2 : 3;
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
    HANDLE Thread = CreateThread(NULL, 0, FaultsUnguarded, NULL, 0, NULL);
    WaitForSingleObject(Thread, INFINITE);
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
    volatile ULONG_PTR* Above = (volatile ULONG_PTR*)__builtin_frame_address(0);
    const ULONG_PTR Code[] = {(ULONG_PTR)WriteNull, (ULONG_PTR)DivideByZero, (ULONG_PTR)Raise,
                              (ULONG_PTR)Recurse};
    for (int i = 0; i < 480; i++) {
        Scramble = Scramble * 1103515245u + 12345u;
        Above[i] = Code[(Scramble >> 16) % 4] + (Scramble >> 8) % 48;
    }
    *Nowhere = 1;
}

__attribute__((noinline)) void PaddedCaller() {
    volatile char Room[4096]; // what SmashAndFault writes over, clear of the guard
    Room[0] = 1;
    SmashAndFault();
    Sink = Room[0];
}

// Each a child of its own: a fault the guard misses ends the process.
int ChildSmashed(unsigned Seed, void (*Work)()) {
    Scramble = Seed;
    Last = Seen();
    if (GuardRun(Work, Filter) == FALSE && Last.Calls == 1) return 8;
    return 9;
}

void SmashedStack() {
    int Smashed = 0;
    const int kRuns = 20;
    for (int i = 0; i < kRuns; i++) {
        char Case[64];
        snprintf(Case, sizeof Case, "child-smashed:%d", i + 1);
        DWORD Code = RunChild(Case);
        Smashed += Code == 8;
        if (Code != 8) printf("%s: ended with 0x%08lX\n", Case, (unsigned long)Code);
    }
    printf("smashed stack caught %d of %d\n", Smashed, kRuns);
    CHECK(Smashed == kRuns);
}

__attribute__((noinline)) void CallsAbort(void*) {
    abort();
}

__attribute__((noinline)) void FailsAnAssert(void*) {
    assert(Zero == 1);
    Sink = Sink + 1;
}

// abort() and a failed assert inside a guard, with standard error in File:
// reported, then the process ends as abort ends it.
int ChildAborts(const char* File, void (*Work)(void*)) {
    int Fd = _open(File, _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(Fd, 2);
    OpenDebugFile(NULL);
    RunGuarded(Work, nullptr);
    return 10; // never: the process ended
}

void Aborts() {
    const std::string Aborting = FULL_NAME(CallsAbort), Asserting = FULL_NAME(FailsAnAssert);
    for (const char* Case : {"child-abort", "child-assert"}) {
        char File[64], Command[96];
        snprintf(File, sizeof File, "abort-%lu.txt", GetCurrentProcessId());
        snprintf(Command, sizeof Command, "%s:%s", Case, File);
        CHECK(RunChild(Command) == 3);
        std::string Err;
        FILE* In = fopen(File, "rb");
        char Buffer[4096];
        size_t Got;
        while (In != nullptr && (Got = fread(Buffer, 1, sizeof Buffer, In)) > 0)
            Err.append(Buffer, Got);
        if (In != nullptr) fclose(In);
        DeleteFileA(File);
        // The C runtime's own text of a failed assert, which it writes in
        // UTF-16, may come before or after the report's lines.
        size_t Report = Err.find("EXCEPTION : ");
        std::string Text = Report == std::string::npos ? "" : Err.substr(Report);
        size_t End = 0, Next;
        while ((Next = Text.find("\r\n", End)) != std::string::npos &&
               (End == 0 || Text.compare(End, 14, "  called from ") == 0))
            End = Next + 2;
        Text.resize(End);
        std::vector<std::vector<std::string>> Reports;
        bool Whole = SplitReports(Text, &Reports) && Reports.size() == 1;
        CHECK(Whole);
        if (!Whole) {
            printf("%s: %s\n", Case, Err.c_str());
            continue;
        }
        CHECK(Reports[0][0].find("EXCEPTION : Abnormal program termination at ") !=
              std::string::npos);
        bool Named = false;
        for (const std::string& Line : Reports[0])
            Named |= RoutineIn(Line) == (strcmp(Case, "child-abort") == 0 ? Aborting : Asserting);
        CHECK(Named);
        if (!Named) printf("%s: %s\n", Case, Err.c_str());
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

void Relocated(const char* Name);
HMODULE LoadRelocatedDll();

// Frames in a DLL that does not run the guard itself, named from its own
// code map, which OpenDebugFile(NULL) in the program loads beside the
// program's: the DLL is guard_test_dll.dll, relocated.
__attribute__((noinline)) void DllFrames() {
    HMODULE Image = LoadRelocatedDll();
    auto Fault = (void (*)(void*))(void*)GetProcAddress(Image, "FaultInHere");
    CHECK(Fault != NULL);
    if (Fault == NULL) return;
    CHECK(OpenDebugFile(NULL) == 1);
    std::vector<std::string> Lines = OneReport(Fault);
    // The DLL's routines bear the program's names: the same source. Its
    // FaultInHere is named from its own code map.
    const std::string InDll = FullName((const void*)Fault, "FaultInHere");
    CHECK(RoutineIn(Lines[0]) == FULL_NAME(WriteNull));
    CHECK(CalledFrom(Lines, FULL_NAME(CallsWriteNull), InDll));
    CHECK(CalledFrom(Lines, InDll, FULL_NAME(OneReport)));
    Sink = Sink + 1;
}

struct Case {
    const char* Name;
    void (*Run)();
};

const Case Cases[] = {
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

// Runs a case, in a program or in the DLL (RunCase); its failures.
int RunNamedCase(const char* Name) {
    for (const Case& c : Cases) {
        if (strcmp(Name, c.Name) == 0) {
            c.Run();
            printf("%s: %s\n", c.Name, Failures ? "FAILED" : "passed");
            return Failures;
        }
    }
    printf("no case '%s'\n", Name);
    return -1;
}

// Loads guard_test_dll.dll, beside this program: it has a dynamic base and
// asks for 0x400000, where this program lies, so the loader relocates it.
// Then it writes the base it got into its mapped header, as Windows' memory
// manager does when it relocates an image (Wine does not). Relocated runs
// the case there, with the DLL's code map beside it.
HMODULE LoadRelocatedDll() {
    char Path[MAX_PATH];
    DWORD Length = GetModuleFileNameA(NULL, Path, sizeof Path);
    std::string Dll(Path, Length);
    Dll.replace(Dll.rfind('\\') + 1, std::string::npos, "guard_test_dll.dll");
    HMODULE Image = LoadLibraryA(Dll.c_str());
    CHECK(Image != NULL && Image != GetModuleHandleA(NULL));
    if (Image == NULL) return NULL;
    IMAGE_NT_HEADERS* Nt = (IMAGE_NT_HEADERS*)((char*)Image + ((IMAGE_DOS_HEADER*)Image)->e_lfanew);
    CHECK(Nt->OptionalHeader.ImageBase == 0x400000);
    CHECK((char*)Image != (char*)0x400000);
    DWORD Was;
    CHECK(VirtualProtect(Nt, sizeof *Nt, PAGE_READWRITE, &Was));
    Nt->OptionalHeader.ImageBase = (ULONG_PTR)Image;
    VirtualProtect(Nt, sizeof *Nt, Was, &Was);
    return Image;
}

void Relocated(const char* Name) {
    HMODULE Image = LoadRelocatedDll();
    if (Image == NULL) return;
    auto RunCase = (int (*)(const char*))(void*)GetProcAddress(Image, "RunCase");
    CHECK(RunCase != NULL);
    if (RunCase != NULL) CHECK(RunCase(Name) == 0);
}

} // namespace

extern "C" __declspec(dllexport) int RunCase(const char* Name) {
    return RunNamedCase(Name);
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
        for (const Case& c : Cases)
            printf("%s\n", c.Name);
        return 2;
    }
    std::string Name = argv[1];
    if (Name == "child-outside") return ChildOutside();
    if (Name == "child-declined") return ChildDeclined();
    if (Name == "child-declined-overflow") return ChildDeclinedOverflow();
    if (Name == "child-unguarded-thread") return ChildUnguardedThread();
    if (Name == "child-filter-faults") return ChildFilterFaults();
    if (Name.compare(0, 12, "child-abort:") == 0) return ChildAborts(argv[1] + 12, CallsAbort);
    if (Name.compare(0, 13, "child-assert:") == 0) return ChildAborts(argv[1] + 13, FailsAnAssert);
    if (Name.compare(0, 14, "child-smashed:") == 0)
        return ChildSmashed((unsigned)atoi(argv[1] + 14), PaddedCaller);
    if (Name.compare(0, 10, "relocated:") == 0) {
        Relocated(argv[1] + 10);
        printf("%s: %s\n", argv[1], Failures ? "FAILED" : "passed");
        return Failures ? 1 : 0;
    }
    int Failed = RunNamedCase(argv[1]);
    return Failed < 0 ? 2 : Failed ? 1 : 0;
}
