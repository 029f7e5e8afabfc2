// guard_test.cpp - GuardRun on Windows, with real faults, run under Wine.
//
// Each case is a command-line argument and a test of its own; a case that
// must end the process runs in a child process of this program. No test
// framework: the checks print what failed and the exit status tells.

#include "mapdebug.h"
#include "platform.h"

#include <fcntl.h>
#include <io.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <string>

namespace {

int Failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                        \
            Failures++;                                                                            \
        }                                                                                          \
    } while (0)

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

void SoftwareException() {
    ExpectCaught(Raise, 0xE0001234, nullptr);
    CHECK(Last.NumberParameters == 3);
    CHECK(Last.Information[0] == 11 && Last.Information[1] == 22);
    CHECK(Last.Information[2] == 0xFFFFFFFF00000033ull);
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

// What work printed on standard output.
std::string Printed(void (*Work)()) {
    fflush(stdout);
    int Saved = _dup(1);
    int File = _open("report.txt", _O_CREAT | _O_TRUNC | _O_RDWR | _O_BINARY, _S_IREAD | _S_IWRITE);
    _dup2(File, 1);
    Work();
    fflush(stdout);
    _dup2(Saved, 1);
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

// korval's filter: the report, made with this program's own code map.
LONG ReportFilter(EXCEPTION_POINTERS* Info) {
    Filter(Info);
    return HandleException(Info->ExceptionRecord->ExceptionCode, Info->ExceptionRecord);
}

void (*ReportedWork)();
void RunReported() {
    CHECK(GuardRun(ReportedWork, ReportFilter) == FALSE);
}

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
        const char* Name;
        const char* What;
    } const Faults[] = {
        {WriteNull, (void*)WriteNull, "WriteNull", "Access error. Ref to locn 0x00000000"},
        {DivideByZero, (void*)DivideByZero, "DivideByZero", "Integer divide by zero"},
        {Breakpoint, (void*)Breakpoint, "Breakpoint", "Breakpoint instruction"},
        {Trap, (void*)Trap, "Trap", "Unknown code : 0xC000001D"},
        {Overflow, (void*)Recurse, "Recurse", "Unknown code : 0xC00000FD"},
    };
    for (const auto& f : Faults) {
        Last = Seen();
        ReportedWork = f.Work;
        std::string Report = Printed(RunReported);
        char Expected[160];
        snprintf(Expected, sizeof Expected, "EXCEPTION : %s at %s(guard_test.cpp.o)+0x%X.", f.What,
                 f.Name, (unsigned)(Last.Address - (ULONG_PTR)f.Routine));
        CHECK(Report == Expected);
        CHECK(Last.Address - (ULONG_PTR)f.Routine < 256);
        if (Report != Expected) printf("printed  %s\nexpected %s\n", Report.c_str(), Expected);
    }
    CHECK(CloseDebug() == 1);
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

void DefaultCourse() {
    CHECK(RunChild("child-outside") == (DWORD)EXCEPTION_ACCESS_VIOLATION);
    CHECK(RunChild("child-declined") == (DWORD)EXCEPTION_ACCESS_VIOLATION);
    CHECK(RunChild("child-declined-overflow") == (DWORD)EXCEPTION_STACK_OVERFLOW);
}

struct Case {
    const char* Name;
    void (*Run)();
};

const Case Cases[] = {
    {"processor-faults", ProcessorFaults}, {"software-exception", SoftwareException},
    {"stack-overflow", StackOverflow},     {"completed-work", CompletedWork},
    {"default-course", DefaultCourse},     {"other-verdicts", OtherVerdicts},
    {"named-reports", NamedReports},       {"ctrl-c", CtrlC},
};

} // namespace

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
    for (const Case& c : Cases) {
        if (Name == c.Name) {
            c.Run();
            printf("%s: %s\n", c.Name, Failures ? "FAILED" : "passed");
            return Failures ? 1 : 0;
        }
    }
    printf("no case '%s'\n", argv[1]);
    return 2;
}
