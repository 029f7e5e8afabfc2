// guard_test.cpp - real faults inside the exception guard, reported by name.
//
// This executable is linked at fixed addresses and has its own code map,
// GUARD_TEST.COD, made at build time the way korval's KORVAL.COD is. The
// tests load it as KORVAL.COD, run the deliberately faulting functions below
// inside the guard, and check that each report names the function, its
// module and an offset inside it, and that control comes back.

#include "mapdebug.h"

#include "capture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

// The faulting routines run uninstrumented in sanitizer builds, so that the
// fault each makes is the processor's, met by the guard, and not a report.
#if defined(__clang__)
#define FAULTY __attribute__((noinline, no_sanitize("address", "undefined")))
#else
#define FAULTY __attribute__((noinline, noclone, no_sanitize("address", "undefined")))
#endif

// Read through volatile objects, so that the compiler knows nothing of them.
volatile int* volatile NullPointer = nullptr;
// Above 4 GiB, unmapped, and clear of AddressSanitizer's shadow memory
// (0x7FFF8000 to 0x10007FFF7FFF), which reads as zeros when it is built in.
volatile int* volatile HighPointer = (volatile int*)(uintptr_t)0x0000500000000000ull;
void (*volatile NullFunction)(void) = nullptr;
volatile int Zero = 0;
volatile int Sink;

FAULTY void WriteThroughNull() {
    *NullPointer = 42;
}

FAULTY void ReadFarAway() {
    Sink = *HighPointer;
}

FAULTY void CallNull() {
    NullFunction();
    Sink = 1;
}

FAULTY void DivideByZero() {
    Sink = 100 / Zero;
}

FAULTY void Trap() {
    __builtin_trap();
}

FAULTY void RaiseSoftware() {
    const ULONG_PTR args[2] = {0x11, 0x22};
    RaiseException(0xE0424242, 0, 2, args);
    Sink = 1; // not a tail call: the caller's address is in here
}

FAULTY int Recurse(int depth) {
    volatile char pad[512];
    pad[0] = (char)depth;
    if (Zero == 12345) return 0; // never: the recursion is unbounded
    return Recurse(depth + 1) + pad[0];
}

FAULTY void Overflow() {
    Sink = Recurse(0);
}

#if defined(__x86_64__) || defined(__i386__)
FAULTY void Breakpoint() {
    __asm__ volatile("int3");
    Sink = 1;
}
#endif

FAULTY void Interrupt() {
    raise(SIGINT);
    Sink = 1;
}

namespace {

// What the filter saw.
EXCEPTION_RECORD Seen;
int Filtered = 0;
void (*Faulty)(void) = nullptr;
int HandlerRan = 0;

LONG ReportingFilter(PEXCEPTION_POINTERS info) {
    Seen = *info->ExceptionRecord;
    Filtered++;
    return HandleException(info->ExceptionRecord->ExceptionCode, info->ExceptionRecord);
}

void RunFaulty() {
    Faulty();
}

struct Outcome {
    BOOL completed = TRUE;
    std::string out;
};

// Runs work inside the guard with the reporting filter, as korval's main
// does; the handler block counts.
Outcome Guarded(void (*work)(void)) {
    Outcome outcome;
    Faulty = work;
    Filtered = 0;
    HandlerRan = 0;
    memset(&Seen, 0, sizeof Seen);
    outcome.out = CaptureStdout([&] {
        if (!GuardRun(RunFaulty, ReportingFilter)) HandlerRan++;
    });
    outcome.completed = HandlerRan == 0;
    return outcome;
}

const char kModule[] = "guard_test.cpp.o";

class Guard : public ::testing::Test {
  protected:
    // The test executable's own code map, loaded as korval loads KORVAL.COD.
    static void SetUpTestSuite() {
        ScratchDir dir;
        WriteBytes(dir / "KORVAL.COD", ReadBytes(GUARD_TEST_COD));
        char here[4096];
        ASSERT_NE(getcwd(here, sizeof here), nullptr);
        ASSERT_EQ(chdir(dir.path().c_str()), 0);
        OpenDebug();
        ASSERT_EQ(chdir(here), 0);
    }
    static void TearDownTestSuite() { CloseDebug(); }

    void SetUp() override {
        ASSERT_GT(iNumMaps, 10u) << "no code map of the test executable";
        // Ctrl-C at its default, even where the tests were started with it
        // ignored (a guard leaves an ignored Ctrl-C ignored).
        struct sigaction dfl;
        memset(&dfl, 0, sizeof dfl);
        dfl.sa_handler = SIG_DFL;
        sigaction(SIGINT, &dfl, &savedInt);
    }
    void TearDown() override { sigaction(SIGINT, &savedInt, nullptr); }
    struct sigaction savedInt;

    // The table record of a function and the one after it.
    static const DEBUGMAP* RecordOf(uintptr_t fn, const DEBUGMAP** next) {
        DWORD addr = (DWORD)fn;
        for (DWORD i = 0; i + 1 < iNumMaps; i++) {
            if (pDebugMap[i].SymbAddr == addr && pDebugMap[i + 1].SymbAddr > addr) {
                *next = &pDebugMap[i + 1];
                return &pDebugMap[i];
            }
        }
        return nullptr;
    }

    // The report names fn, its module, and an offset inside fn that is
    // where the exception happened; the guarded work was abandoned.
    template <class Function>
    static void ExpectReportIn(const Outcome& outcome, Function* function, const std::string& name,
                               const std::string& what) {
        uintptr_t fn = (uintptr_t)function;
        EXPECT_FALSE(outcome.completed);
        EXPECT_EQ(Filtered, 1);
        std::smatch m;
        static const std::regex shape(
            "EXCEPTION : (.*) at ([^()]+)\\(([^()]+)\\)\\+0x([0-9A-F]+)\\.");
        ASSERT_TRUE(std::regex_match(outcome.out, m, shape)) << outcome.out;
        EXPECT_EQ(m[1], what);
        EXPECT_EQ(m[2], name);
        EXPECT_EQ(m[3], kModule);
        uint32_t offset = (uint32_t)std::stoul(m[4], nullptr, 16);

        const DEBUGMAP* next = nullptr;
        const DEBUGMAP* rec = RecordOf(fn, &next);
        ASSERT_NE(rec, nullptr) << name << " is not in the code map";
        EXPECT_EQ(std::string(rec->Routine, strnlen(rec->Routine, 32)), name);
        EXPECT_LT(rec->SymbAddr + offset, next->SymbAddr) << "offset past the end of " << name;
        EXPECT_EQ((uintptr_t)Seen.ExceptionAddress, fn + offset);
    }
};

TEST_F(Guard, WorkThatEndsNormallyCompletes) {
    Outcome outcome = Guarded([] { Sink = 5; });
    EXPECT_TRUE(outcome.completed);
    EXPECT_EQ(Filtered, 0);
    EXPECT_EQ(outcome.out, "");
}

TEST_F(Guard, NullWrite) {
    Outcome outcome = Guarded(WriteThroughNull);
    ExpectReportIn(outcome, WriteThroughNull, "WriteThroughNull",
                   "Access error. Ref to locn 0x00000000");
    EXPECT_EQ(Seen.ExceptionCode, EXCEPTION_ACCESS_VIOLATION);
    ASSERT_EQ(Seen.NumberParameters, 2u);
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_EQ(Seen.ExceptionInformation[0], 1u); // a write
#endif
    EXPECT_EQ(Seen.ExceptionInformation[1], 0u);
}

TEST_F(Guard, ReadOfAnAddressAbove4GiB) {
    Outcome outcome = Guarded(ReadFarAway);
    ExpectReportIn(outcome, ReadFarAway, "ReadFarAway", "Access error. Ref to locn 0x500000000000");
    EXPECT_EQ(Seen.ExceptionInformation[0], 0u); // a read
}

TEST_F(Guard, JumpToNowhere) {
    Outcome outcome = Guarded(CallNull);
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(outcome.out, "EXCEPTION : Access error. Ref to locn 0x00000000 at 0x00000000.");
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_EQ(Seen.ExceptionInformation[0], 8u); // an execution
#endif
}

TEST_F(Guard, IntegerDivideByZero) {
    Outcome outcome = Guarded(DivideByZero);
    ExpectReportIn(outcome, DivideByZero, "DivideByZero", "Integer divide by zero");
    EXPECT_EQ(Seen.ExceptionCode, EXCEPTION_INT_DIVIDE_BY_ZERO);
}

TEST_F(Guard, TrapInstruction) {
    Outcome outcome = Guarded(Trap);
    ExpectReportIn(outcome, Trap, "Trap", "Unknown code : 0xC000001D");
    EXPECT_EQ(Seen.ExceptionCode, EXCEPTION_ILLEGAL_INSTRUCTION);
}

TEST_F(Guard, SoftwareException) {
    Outcome outcome = Guarded(RaiseSoftware);
    ExpectReportIn(outcome, RaiseSoftware, "RaiseSoftware", "Unknown code : 0xE0424242");
    EXPECT_EQ(Seen.ExceptionCode, 0xE0424242u);
    ASSERT_EQ(Seen.NumberParameters, 2u);
    EXPECT_EQ(Seen.ExceptionInformation[0], 0x11u);
    EXPECT_EQ(Seen.ExceptionInformation[1], 0x22u);
}

TEST_F(Guard, StackOverflow) {
    Outcome outcome = Guarded(Overflow);
    ExpectReportIn(outcome, Recurse, "Recurse", "Unknown code : 0xC00000FD");
    EXPECT_EQ(Seen.ExceptionCode, EXCEPTION_STACK_OVERFLOW);
    // The stack is usable again, and so is the guard.
    outcome = Guarded(DivideByZero);
    ExpectReportIn(outcome, DivideByZero, "DivideByZero", "Integer divide by zero");
}

#if defined(__x86_64__) || defined(__i386__)
TEST_F(Guard, BreakpointNamesTheInt3) {
    Outcome outcome = Guarded(Breakpoint);
    ExpectReportIn(outcome, Breakpoint, "Breakpoint", "Breakpoint instruction");
    EXPECT_EQ(*(const unsigned char*)Seen.ExceptionAddress, 0xCC);
}
#endif

TEST_F(Guard, CtrlC) {
    // raise() stops in the C library, above 4 GiB: shown whole, not named.
    Outcome outcome = Guarded(Interrupt);
    EXPECT_FALSE(outcome.completed);
    EXPECT_EQ(Seen.ExceptionCode, STATUS_CONTROL_C_EXIT);
    EXPECT_TRUE(std::regex_match(
        outcome.out, std::regex("EXCEPTION : Control-C interrupt at 0x[0-9A-F]{9,16}\\.")))
        << outcome.out;
}

// ---------------------------------------------------------------------------
// The state the guard leaves behind.

void Quiet(int) {}

TEST_F(Guard, DispositionsStackAndMaskAreRestored) {
    struct sigaction mine, seen;
    memset(&mine, 0, sizeof mine);
    mine.sa_handler = Quiet;
    sigemptyset(&mine.sa_mask);
    struct sigaction before[2];
    sigaction(SIGSEGV, &mine, &before[0]);
    sigaction(SIGINT, &mine, &before[1]);
    stack_t stackBefore, stackAfter;
    sigaltstack(nullptr, &stackBefore);
    sigset_t maskBefore, maskAfter;
    sigprocmask(SIG_SETMASK, nullptr, &maskBefore);

    for (void (*work)(void) : {+[] { Sink = 1; }, WriteThroughNull, RaiseSoftware, Interrupt}) {
        Guarded(work);
        sigaction(SIGSEGV, nullptr, &seen);
        EXPECT_EQ(seen.sa_handler, Quiet);
        sigaction(SIGINT, nullptr, &seen);
        EXPECT_EQ(seen.sa_handler, Quiet);
        sigaltstack(nullptr, &stackAfter);
        EXPECT_EQ(stackAfter.ss_flags, stackBefore.ss_flags);
        EXPECT_EQ(stackAfter.ss_sp, stackBefore.ss_sp);
        sigprocmask(SIG_SETMASK, nullptr, &maskAfter);
        for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGINT})
            EXPECT_EQ(sigismember(&maskAfter, s), sigismember(&maskBefore, s)) << s;
    }
    sigaction(SIGSEGV, &before[0], nullptr);
    sigaction(SIGINT, &before[1], nullptr);
}

// A guard whose filter passes the exception on, inside one that takes it.
int InnerSaw = 0;
LONG PassOn(PEXCEPTION_POINTERS) {
    InnerSaw++;
    return EXCEPTION_CONTINUE_SEARCH;
}
void InnerGuard() {
    GuardRun(DivideByZero, PassOn);
    Sink = 99; // never: the outer handler runs instead
}

TEST_F(Guard, NestedGuardsAskTheInnerFilterFirst) {
    InnerSaw = 0;
    Sink = 0;
    Outcome outcome = Guarded(InnerGuard);
    EXPECT_EQ(InnerSaw, 1);
    ExpectReportIn(outcome, DivideByZero, "DivideByZero", "Integer divide by zero");
    EXPECT_EQ(Sink, 0);
    // Both guards are gone: the next one works from scratch.
    outcome = Guarded(WriteThroughNull);
    EXPECT_EQ(InnerSaw, 1);
    EXPECT_FALSE(outcome.completed);
}

LONG ContinueHere(PEXCEPTION_POINTERS info) {
    Seen = *info->ExceptionRecord;
    return EXCEPTION_CONTINUE_EXECUTION;
}

const ULONG_PTR kTwenty[20] = {1,  2,  3,  4,  5,  6,  7,  8,  9,  10,
                               11, 12, 13, 14, 15, 16, 17, 18, 19, 20};

TEST_F(Guard, ContinueExecutionResumesARaise) {
    Sink = 0;
    Faulty = [] {
        RaiseException(0xE0000001, 0, 20, kTwenty);
        Sink = 7;
    };
    EXPECT_TRUE(GuardRun(RunFaulty, ContinueHere));
    EXPECT_EQ(Sink, 7);
    EXPECT_EQ(Seen.ExceptionCode, 0xE0000001u);
    ASSERT_EQ(Seen.NumberParameters, 15u); // the platform's most
    EXPECT_EQ(memcmp(Seen.ExceptionInformation, kTwenty, 15 * sizeof(ULONG_PTR)), 0);
}

// ---------------------------------------------------------------------------
// Outside the guard: the default course, in a child process.

struct ChildEnd {
    std::string out;
    int signal = 0;
    int status = -1;
};

// Runs body in a child with its standard output on a pipe.
ChildEnd InChild(void (*body)(void)) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        signal(SIGINT, SIG_DFL);
        struct rlimit noCore = {0, 0};
        setrlimit(RLIMIT_CORE, &noCore);
        body();
        fflush(stdout);
        _exit(0);
    }
    close(fds[1]);
    ChildEnd end;
    char buffer[4096];
    ssize_t got;
    while ((got = read(fds[0], buffer, sizeof buffer)) > 0)
        end.out.append(buffer, got);
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (WIFSIGNALED(status)) end.signal = WTERMSIG(status);
    if (WIFEXITED(status)) end.status = WEXITSTATUS(status);
    return end;
}

// One caught fault first, so that the guard has been in force and gone.
void CaughtThen(void (*unguarded)(void)) {
    if (!GuardRun(WriteThroughNull, ReportingFilter)) printf("|handled|");
    fflush(stdout);
    unguarded();
    printf("|survived|");
}

TEST_F(Guard, OutsideTheGuardFaultsTakeTheirDefaultCourse) {
    struct Case {
        void (*body)(void);
        int signal;
    };
    const Case cases[] = {
        {[] { CaughtThen(WriteThroughNull); }, SIGSEGV},
        {[] { CaughtThen(DivideByZero); }, SIGFPE},
        {[] { CaughtThen(Trap); }, SIGILL},
        {[] { CaughtThen(Interrupt); }, SIGINT},
        {[] { CaughtThen(RaiseSoftware); }, SIGABRT},
        {[] { WriteThroughNull(); }, SIGSEGV}, // no guard ever
    };
    for (const Case& c : cases) {
        ChildEnd end = InChild(c.body);
        EXPECT_EQ(end.signal, c.signal) << end.out;
        EXPECT_EQ(end.out.find("|survived|"), std::string::npos);
        // Only the caught fault was reported.
        size_t first = end.out.find("EXCEPTION : ");
        if (first != std::string::npos) {
            EXPECT_EQ(end.out.find("EXCEPTION : ", first + 1), std::string::npos) << end.out;
            EXPECT_NE(end.out.find("|handled|"), std::string::npos) << end.out;
        }
    }
}

TEST_F(Guard, AnExceptionNoFilterTakesTakesItsDefaultCourse) {
    ChildEnd end = InChild([] {
        GuardRun(WriteThroughNull, PassOn);
        printf("|survived|");
    });
    EXPECT_EQ(end.signal, SIGSEGV);
    EXPECT_EQ(end.out, "");
}

} // namespace
