// guard_test.cpp - real faults inside the exception guard, reported by name.
//
// This executable is linked at fixed addresses and has its own code map,
// GUARD_TEST.COD beside it, made at build time the way korval's KORVAL.COD
// is. The tests load it as the executable's own, run the deliberately
// faulting functions below inside the guard, and check that each report
// names the function, its module and an offset inside it, and that control
// comes back: on the thread that faulted, with RunGuarded's report naming
// the calls that led there too.

#include "mapdebug.h"
#include "platform.h"
#include "guard.h"

#include "capture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <link.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

using namespace korval;

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

// Ctrl-C lands in the C library's raise(), and is taken only once the
// thread is back in the program's own code: in the loop.
FAULTY void Interrupt() {
    raise(SIGINT);
    for (;;)
        Sink = Sink + 1;
}

// A fault inside the C library.
const char* volatile NullText = nullptr;
FAULTY void StrlenOfNull() {
    Sink = (int)strlen(NullText);
    Sink = Sink + 1; // not a tail call: the call's return address is in here
}

FAULTY void CallsStrlen(void*) {
    StrlenOfNull();
    Sink = Sink + 1;
}

FAULTY void WriteThroughNullWork(void*) {
    WriteThroughNull();
    Sink = Sink + 1; // not a tail call: this frame stays in the chain
}

FAULTY void CallNullWork(void*) {
    CallNull();
    Sink = Sink + 1;
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
    // The test executable's own code map, GUARD_TEST.COD beside it.
    static void SetUpTestSuite() { OpenDebugFile(NULL); }
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

TEST_F(Guard, CtrlCIsTakenBackInTheProgramsOwnCode) {
    Outcome outcome = Guarded(Interrupt);
    ExpectReportIn(outcome, Interrupt, "Interrupt", "Control-C interrupt");
    EXPECT_EQ(Seen.ExceptionCode, STATUS_CONTROL_C_EXIT);
}

// ---------------------------------------------------------------------------
// The state the guard leaves behind.

int MineSaw = 0;
sigjmp_buf MineOut;
void Mine(int, siginfo_t*, void*) {
    MineSaw++;
    siglongjmp(MineOut, 1);
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

LONG PassOnOrReport(PEXCEPTION_POINTERS info) {
    return HandleException(info->ExceptionRecord->ExceptionCode, info->ExceptionRecord);
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

// The guard's handlers stay once set up: a fault outside every guard goes
// to the handler that was there before, and guards leave the mask as it was.
TEST_F(Guard, OutsideTheGuardTheHandlerBeforeOursIsCalled) {
    ChildEnd end = InChild([] {
        struct sigaction mine;
        memset(&mine, 0, sizeof mine);
        mine.sa_sigaction = Mine;
        mine.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &mine, nullptr);
        sigset_t before, after;
        sigprocmask(SIG_SETMASK, nullptr, &before);
        for (void (*work)(void) : {+[] { Sink = 1; }, WriteThroughNull, RaiseSoftware, Interrupt}) {
            Faulty = work;
            GuardRun(RunFaulty, PassOnOrReport);
            sigprocmask(SIG_SETMASK, nullptr, &after);
            for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGINT, SIGALRM})
                if (sigismember(&after, s) != sigismember(&before, s)) printf("|mask %d|", s);
        }
        if (sigsetjmp(MineOut, 1) == 0) WriteThroughNull();
        printf("|mine %d|", MineSaw);
    });
    EXPECT_EQ(end.status, 0);
    EXPECT_NE(end.out.find("|mine 1|"), std::string::npos) << end.out;
    EXPECT_EQ(end.out.find("|mask"), std::string::npos) << end.out;
}

TEST_F(Guard, AnExceptionNoFilterTakesTakesItsDefaultCourse) {
    ChildEnd end = InChild([] {
        GuardRun(WriteThroughNull, PassOn);
        printf("|survived|");
    });
    EXPECT_EQ(end.signal, SIGSEGV);
    EXPECT_EQ(end.out, "");
}

// ---------------------------------------------------------------------------
// RunGuarded: any thread, reports on standard error with the calling frames.

// The lines of RunGuarded's reports in text, each report a list of lines;
// false when a line belongs to no report or has neither report form.
bool SplitReports(const std::string& text, std::vector<std::vector<std::string>>* reports) {
    static const std::regex first("EXCEPTION : .* at .*\\.");
    static const std::regex caller("  called from [^()]+\\([^()]+\\)\\+0x[0-9A-F]+");
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, first))
            reports->push_back({line});
        else if (reports->empty() || !std::regex_match(line, caller))
            return false;
        else
            reports->back().push_back(line);
    }
    return text.empty() || text.back() == '\n';
}

// The routine a report line names, empty for a plain address.
std::string RoutineIn(const std::string& line) {
    std::smatch m;
    if (!std::regex_search(line, m, std::regex("([^ ()]+)\\([^()]+\\)\\+0x"))) return "";
    return m[1];
}

TEST_F(Guard, RunGuardedNamesTheCallsThatLedIntoTheCLibrary) {
    int result = -1;
    std::string err = CaptureStderr([&] { result = RunGuarded(CallsStrlen, nullptr); });
    EXPECT_EQ(result, 0);
    std::vector<std::vector<std::string>> reports;
    ASSERT_TRUE(SplitReports(err, &reports)) << err;
    ASSERT_EQ(reports.size(), 1u) << err;
    const std::vector<std::string>& lines = reports[0];
    EXPECT_EQ(lines[0].compare(0, 40, "EXCEPTION : Access error. Ref to locn 0x"), 0) << err;
    EXPECT_LE(lines.size(), 17u);
    // Innermost first: the routine that called strlen, then its caller.
    std::vector<std::string> names;
    for (size_t i = 1; i < lines.size(); i++)
        names.push_back(RoutineIn(lines[i]));
    auto strlenCaller = std::find(names.begin(), names.end(), "StrlenOfNull");
    ASSERT_NE(strlenCaller, names.end()) << err;
    ASSERT_NE(strlenCaller + 1, names.end()) << err;
    EXPECT_EQ(strlenCaller[1], "CallsStrlen") << err;
}

// AddressSanitizer warns, in a report of its own, of every swapcontext: the
// shapes on a fiber are left out of its build.
#if defined(__SANITIZE_ADDRESS__)
const bool kFibers = false;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const bool kFibers = false;
#else
const bool kFibers = true;
#endif
#else
const bool kFibers = true;
#endif

// Guarded work on a stack of its own, made by makecontext: a fiber.
void (*FiberWork)(void*);
ucontext_t FiberReturn;
void FiberMain() {
    RunGuarded(FiberWork, nullptr);
}

// RunGuarded(Work) on a fiber's stack, or the thread's.
void RunGuardedOn(bool OnFiber, void (*Work)(void*)) {
    if (!OnFiber) {
        RunGuarded(Work, nullptr);
        return;
    }
    static std::vector<char> Stack(256 * 1024);
    ucontext_t Fiber;
    getcontext(&Fiber);
    Fiber.uc_stack.ss_sp = Stack.data();
    Fiber.uc_stack.ss_size = Stack.size();
    Fiber.uc_link = &FiberReturn;
    FiberWork = Work;
    makecontext(&Fiber, FiberMain, 0);
    swapcontext(&FiberReturn, &Fiber);
}

// Chains whose first frames are no plain call on the thread's stack: each
// report names the calls that led to the fault, innermost first.
TEST_F(Guard, RunGuardedNamesTheCallersWhateverTheShapeOfTheChain) {
    const struct {
        const char* Shape;
        void (*Work)(void*);
        bool OnFiber;
        std::vector<std::string> Callers;
    } kShapes[] = {
        {"a call through a null pointer", CallNullWork, false, {"CallNull", "CallNullWork"}},
        {"work on a fiber", WriteThroughNullWork, true, {"WriteThroughNullWork"}},
        {"a fault inside the C library on a fiber",
         CallsStrlen,
         true,
         {"StrlenOfNull", "CallsStrlen"}},
    };
    for (const auto& Shape : kShapes) {
        if (Shape.OnFiber && !kFibers) continue;
        std::string err = CaptureStderr([&] { RunGuardedOn(Shape.OnFiber, Shape.Work); });
        std::vector<std::vector<std::string>> reports;
        ASSERT_TRUE(SplitReports(err, &reports)) << Shape.Shape << ": " << err;
        ASSERT_EQ(reports.size(), 1u) << Shape.Shape << ": " << err;
        std::vector<std::string> names;
        for (size_t i = 1; i < reports[0].size(); i++)
            names.push_back(RoutineIn(reports[0][i]));
        auto first = std::find(names.begin(), names.end(), Shape.Callers[0]);
        EXPECT_TRUE(names.end() - first >= (ptrdiff_t)Shape.Callers.size() &&
                    std::equal(Shape.Callers.begin(), Shape.Callers.end(), first))
            << Shape.Shape << ": " << err;
    }
}

// A fault that abandons work inside a dl_iterate_phdr callback leaves the
// loader's lock held for good: a new thread must still enter its first
// guard, and its fault be reported with its chain.
TEST_F(Guard, ANewThreadEntersItsFirstGuardWhileTheLoadersLockIsHeld) {
    ChildEnd end = InChild([] {
        alarm(20); // a hang ends the child
        freopen("/dev/null", "w", stderr);
        RunGuarded(
            [](void*) {
                dl_iterate_phdr(
                    [](dl_phdr_info*, size_t, void*) {
                        WriteThroughNull();
                        return 0;
                    },
                    nullptr);
            },
            nullptr);
        std::thread([] {
            if (!RunGuarded(WriteThroughNullWork, nullptr)) printf("|caught|");
        }).join();
    });
    EXPECT_EQ(end.signal, 0);
    EXPECT_EQ(end.out, "|caught|");
}

TEST_F(Guard, ThreadsReportTheirOwnFaultsWhole) {
    const int kThreads = 4, kRounds = 40;
    std::atomic<int> caught{0}, completed{0};
    std::string err = CaptureStderr([&] {
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&] {
                for (int r = 0; r < kRounds; r++) {
                    if (r % 2 == 0 && !RunGuarded(WriteThroughNullWork, nullptr)) caught++;
                    if (r % 2 == 1 && RunGuarded([](void*) { Sink = 2; }, nullptr)) completed++;
                }
            });
        for (std::thread& t : threads)
            t.join();
    });
    EXPECT_EQ(caught, kThreads * kRounds / 2);
    EXPECT_EQ(completed, kThreads * kRounds / 2);
    std::vector<std::vector<std::string>> reports;
    ASSERT_TRUE(SplitReports(err, &reports)) << err.substr(0, 2000);
    ASSERT_EQ(reports.size(), (size_t)caught);
    for (const std::vector<std::string>& lines : reports) {
        EXPECT_EQ(RoutineIn(lines[0]), "WriteThroughNull") << lines[0];
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(RoutineIn(lines[1]), "WriteThroughNullWork") << lines[1];
    }
}

struct Thrown {};

TEST_F(Guard, ACppExceptionPassesThroughAndLeavesTheGuardUsable) {
    EXPECT_THROW(RunGuarded([](void*) { throw Thrown(); }, nullptr), Thrown);
    // Thrown from an inner guard and caught inside an outer one, whose
    // fault afterwards is still its own.
    std::string err = CaptureStderr([] {
        int inner = -1;
        int outer = RunGuarded(
            [](void* result) {
                try {
                    RunGuarded([](void*) { throw Thrown(); }, nullptr);
                } catch (const Thrown&) {
                    *static_cast<int*>(result) = 1;
                }
                WriteThroughNull();
            },
            &inner);
        EXPECT_EQ(inner, 1);
        EXPECT_EQ(outer, 0);
    });
    std::vector<std::vector<std::string>> reports;
    ASSERT_TRUE(SplitReports(err, &reports)) << err;
    ASSERT_EQ(reports.size(), 1u) << err;
    EXPECT_EQ(RoutineIn(reports[0][0]), "WriteThroughNull");
}

TEST_F(Guard, AFaultOnAThreadWithoutAGuardTakesItsDefaultCourse) {
    ChildEnd end = InChild([] {
        RunGuarded(
            [](void*) {
                std::thread([] { WriteThroughNull(); }).join();
                printf("|survived|");
            },
            nullptr);
    });
    EXPECT_EQ(end.signal, SIGSEGV);
    EXPECT_EQ(end.out, "");
}

} // namespace
