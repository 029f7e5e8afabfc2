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

// The asserts of the work that fails one hold in a release build too.
#undef NDEBUG
#include <assert.h>

#include "capture.h"
#include "tool_runner.h"

#include <gtest/gtest.h>

#include <link.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
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

FAULTY void CallsAbort(void*) {
    abort();
    Sink = Sink + 1;
}

FAULTY void FailsAnAssert(void*) {
    assert(Zero == 1);
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
// The parameter list that follows a routine's name in the reports, which
// take the full names from the code map's extension.
const std::string kParameters = "(?:\\([^()]*\\)(?: const)?)?";

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
        static const std::regex kShape("EXCEPTION : (.*) at ([^()]+)" + kParameters +
                                       "\\(([^()]+)\\)\\+0x([0-9A-F]+)\\.");
        ASSERT_TRUE(std::regex_match(outcome.out, m, kShape)) << outcome.out;
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

// aarch64 divides by zero without a trap (the quotient is 0), and its
// __builtin_trap is a breakpoint instruction.
#if defined(__x86_64__) || defined(__i386__)
TEST_F(Guard, IntegerDivideByZero) {
    Outcome outcome = Guarded(DivideByZero);
    ExpectReportIn(outcome, DivideByZero, "DivideByZero", "Integer divide by zero");
    EXPECT_EQ(Seen.ExceptionCode, EXCEPTION_INT_DIVIDE_BY_ZERO);
}
#endif

TEST_F(Guard, TrapInstruction) {
    Outcome outcome = Guarded(Trap);
#if defined(__x86_64__) || defined(__i386__)
    ExpectReportIn(outcome, Trap, "Trap", "Unknown code : 0xC000001D");
    EXPECT_EQ(Seen.ExceptionCode, EXCEPTION_ILLEGAL_INSTRUCTION);
#else
    ExpectReportIn(outcome, Trap, "Trap", "Breakpoint instruction");
    EXPECT_EQ(Seen.ExceptionCode, EXCEPTION_BREAKPOINT);
#endif
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
    outcome = Guarded(WriteThroughNull);
    ExpectReportIn(outcome, WriteThroughNull, "WriteThroughNull",
                   "Access error. Ref to locn 0x00000000");
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
    GuardRun(WriteThroughNull, PassOn);
    Sink = 99; // never: the outer handler runs instead
}

TEST_F(Guard, NestedGuardsAskTheInnerFilterFirst) {
    InnerSaw = 0;
    Sink = 0;
    Outcome outcome = Guarded(InnerGuard);
    EXPECT_EQ(InnerSaw, 1);
    ExpectReportIn(outcome, WriteThroughNull, "WriteThroughNull",
                   "Access error. Ref to locn 0x00000000");
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

// Runs body in a child with its standard output on a pipe (standard error
// too, with both); a child that hangs dies of SIGALRM after 10 seconds.
ChildEnd InChild(void (*body)(void), bool both = false) {
    int fds[2];
    if (pipe(fds) != 0) return {};
    fflush(stdout);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 1);
        if (both) dup2(fds[1], 2);
        signal(SIGINT, SIG_DFL);
        alarm(10);
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
    // qemu-user says on standard error that the program died of a signal.
    size_t emulator = end.out.find("qemu: uncaught target signal");
    if (emulator != std::string::npos) end.out.erase(emulator);
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
#if defined(__x86_64__) || defined(__i386__)
        {[] { CaughtThen(DivideByZero); }, SIGFPE},
        {[] { CaughtThen(Trap); }, SIGILL},
#else
        {[] { CaughtThen(Trap); }, SIGTRAP},
#endif
        {[] { CaughtThen(Interrupt); }, SIGINT},
        {[] { CaughtThen(RaiseSoftware); }, SIGABRT},
        {[] { WriteThroughNull(); }, SIGSEGV}, // no guard ever
        // A guard left by longjmp is gone: the fault after it is nobody's.
        {[] {
             CaughtThen(+[] {
                 static jmp_buf Out;
                 if (setjmp(Out) == 0) RunGuarded([](void*) { longjmp(Out, 1); }, nullptr);
                 WriteThroughNull();
             });
         },
         SIGSEGV},
        // Fault signals that were sent, inside a guard: no fault of the work.
        {[] {
             CaughtThen(+[] {
                 GuardRun(
                     +[] { raise(SIGSEGV); }, ReportingFilter);
             });
         },
         SIGSEGV},
        {[] {
             CaughtThen(+[] {
                 GuardRun(
                     +[] { kill(getpid(), SIGBUS); }, ReportingFilter);
             });
         },
         SIGBUS},
        {[] {
             CaughtThen(+[] {
                 GuardRun(
                     +[] { sigqueue(getpid(), SIGFPE, sigval{}); }, ReportingFilter);
             });
         },
         SIGFPE},
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
    static const std::regex kFirst("EXCEPTION : .* at .*\\.");
    static const std::regex kCaller("  called from .+\\+0x[0-9A-F]+|  \\(more frames not shown\\)");
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (std::regex_match(line, kFirst))
            reports->push_back({line});
        else if (reports->empty() || !std::regex_match(line, kCaller))
            return false;
        else
            reports->back().push_back(line);
    }
    return text.empty() || text.back() == '\n';
}

// The routine a report line names, without its parameter list: what stands
// before "(module)+0x"; empty for object+offset or a plain address.
std::string RoutineIn(const std::string& line) {
    size_t plus = line.rfind("+0x");
    if (plus == std::string::npos || plus == 0 || line[plus - 1] != ')') return "";
    size_t open = line.rfind('(', plus - 1);
    size_t from = line.find(" at ") != std::string::npos ? line.find(" at ") + 4
                                                         : line.find("called from ") + 12;
    if (open == std::string::npos || open <= from) return "";
    std::string routine = line.substr(from, open - from);
    if (routine.size() > 6 && routine.compare(routine.size() - 6, 6, " const") == 0)
        routine.resize(routine.size() - 6);
    if (routine.empty() || routine.back() != ')') return routine;
    int depth = 0;
    for (size_t i = routine.size(); i-- > 0;) {
        if (routine[i] == ')') depth++;
        if (routine[i] == '(' && --depth == 0) return routine.substr(0, i);
    }
    return routine;
}

TEST_F(Guard, RunGuardedNamesTheCallsThatLedIntoTheCLibrary) {
    int result = -1;
    std::string err = CaptureStderr([&] { result = RunGuarded(CallsStrlen, nullptr); });
    EXPECT_EQ(result, 0);
    std::vector<std::vector<std::string>> reports;
    ASSERT_TRUE(SplitReports(err, &reports)) << err;
    ASSERT_EQ(reports.size(), 1u) << err;
    const std::vector<std::string>& lines = reports[0];
    EXPECT_TRUE(std::regex_match(
        lines[0],
        std::regex("EXCEPTION : Access error. Ref to locn 0x0+ at libc\\.so\\.6\\+0x[0-9A-F]+\\.")))
        << err;
    EXPECT_LE(lines.size(), 18u);
    // Innermost first: the routine that called strlen, then its caller.
    std::vector<std::string> names;
    for (size_t i = 1; i < lines.size(); i++)
        names.push_back(RoutineIn(lines[i]));
    auto strlenCaller = std::find(names.begin(), names.end(), "StrlenOfNull");
    ASSERT_NE(strlenCaller, names.end()) << err;
    ASSERT_NE(strlenCaller + 1, names.end()) << err;
    EXPECT_EQ(strlenCaller[1], "CallsStrlen") << err;
    // The guard's own frames are left out: the test's own follow.
    EXPECT_NE(std::find_if(strlenCaller + 2, names.end(),
                           [](const std::string& name) {
                               return name.find("RunGuardedNamesTheCalls") != std::string::npos;
                           }),
              names.end())
        << err;
    for (const std::string& name : names)
        EXPECT_TRUE(name != "RunGuarded" && name.find("GuardCall") == std::string::npos) << err;
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

// RunGuarded(work) on a fiber's stack, or the thread's.
void RunGuardedOn(bool onFiber, void (*work)(void*)) {
    if (!onFiber) {
        RunGuarded(work, nullptr);
        return;
    }
    static std::vector<char> Stack(256 * 1024);
    ucontext_t fiber;
    getcontext(&fiber);
    fiber.uc_stack.ss_sp = Stack.data();
    fiber.uc_stack.ss_size = Stack.size();
    fiber.uc_link = &FiberReturn;
    FiberWork = work;
    makecontext(&fiber, FiberMain, 0);
    swapcontext(&FiberReturn, &fiber);
}

// Chains whose first frames are no plain call on the thread's stack: each
// report names the calls that led to the fault, innermost first.
TEST_F(Guard, RunGuardedNamesTheCallersWhateverTheShapeOfTheChain) {
    const struct {
        const char* shape;
        void (*work)(void*);
        bool onFiber;
        std::vector<std::string> callers;
    } kShapes[] = {
        {"a call through a null pointer", CallNullWork, false, {"CallNull", "CallNullWork"}},
        {"work on a fiber", WriteThroughNullWork, true, {"WriteThroughNullWork"}},
        {"a fault inside the C library on a fiber",
         CallsStrlen,
         true,
         {"StrlenOfNull", "CallsStrlen"}},
    };
    for (const auto& shape : kShapes) {
        if (shape.onFiber && !kFibers) continue;
        std::string err = CaptureStderr([&] { RunGuardedOn(shape.onFiber, shape.work); });
        std::vector<std::vector<std::string>> reports;
        ASSERT_TRUE(SplitReports(err, &reports)) << shape.shape << ": " << err;
        ASSERT_EQ(reports.size(), 1u) << shape.shape << ": " << err;
        std::vector<std::string> names;
        for (size_t i = 1; i < reports[0].size(); i++)
            names.push_back(RoutineIn(reports[0][i]));
        auto first = std::find(names.begin(), names.end(), shape.callers[0]);
        EXPECT_TRUE(names.end() - first >= (ptrdiff_t)shape.callers.size() &&
                    std::equal(shape.callers.begin(), shape.callers.end(), first))
            << shape.shape << ": " << err;
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

// ---------------------------------------------------------------------------
// The signal mask: the work runs with the fault signals open, whatever the
// thread blocked, and a fault leaves the mask the guard was entered with.

sigset_t Blocking(std::initializer_list<int> signals) {
    sigset_t set;
    sigemptyset(&set);
    for (int s : signals)
        sigaddset(&set, s);
    return set;
}

int UsrSaw = 0;
void CountUsr(int) {
    UsrSaw++;
}

TEST_F(Guard, AFaultLeavesTheMaskTheGuardWasEnteredWith) {
    struct Case {
        const char* name;
        void (*body)(void); // sets a mask, runs a guard, prints "|same|" when the mask is back
    };
    static sigset_t Entry;
    // Runs work in a guard from the entry mask; prints whether it faulted
    // and whether the mask after is the entry mask.
    static auto Run = [](const sigset_t& mask, void (*work)(void*)) {
        pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        pthread_sigmask(SIG_SETMASK, nullptr, &Entry); // the mask as the system keeps it
        int done = RunGuarded(work, nullptr);
        sigset_t after;
        pthread_sigmask(SIG_SETMASK, nullptr, &after);
        bool same = true;
        for (int s = 1; s < NSIG; s++)
            if (sigismember(&after, s) != sigismember(&Entry, s)) {
                same = false;
                printf("|mask %d|", s);
            }
        printf("|%s|%s|", done ? "done" : "faulted", same ? "same" : "changed");
        fflush(stdout);
    };
    const Case cases[] = {
        {"every signal blocked, as servers and timer threads have it",
         [] {
             sigset_t all;
             sigfillset(&all);
             Run(all, WriteThroughNullWork);
             Run(all, [](void*) { Sink = 1; });
             std::thread([] { Run(Entry, WriteThroughNullWork); }).join();
         }},
        {"a signal the work blocked",
         [] {
             Run(Blocking({}), [](void*) {
                 sigset_t usr2 = Blocking({SIGUSR2});
                 pthread_sigmask(SIG_BLOCK, &usr2, nullptr);
                 WriteThroughNull();
             });
         }},
        {"a signal the work unblocked",
         [] {
             Run(Blocking({SIGUSR2}), [](void*) {
                 sigset_t usr2 = Blocking({SIGUSR2});
                 pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
                 WriteThroughNull();
             });
         }},
        {"a fault in the program's own SIGUSR1 handler",
         [] {
             signal(SIGUSR1, [](int) { WriteThroughNull(); });
             Run(Blocking({}), [](void*) { raise(SIGUSR1); });
             signal(SIGUSR1, CountUsr);
             raise(SIGUSR1);
             printf("|usr1 %d|", UsrSaw);
         }},
    };
    for (const Case& c : cases) {
        ChildEnd end = InChild(c.body, true);
        EXPECT_EQ(end.status, 0) << c.name << ": " << end.out;
        EXPECT_EQ(end.out.find("|changed|"), std::string::npos) << c.name << ": " << end.out;
        EXPECT_NE(end.out.find("|faulted|same|"), std::string::npos) << c.name << ": " << end.out;
        EXPECT_NE(end.out.find("EXCEPTION : Access error"), std::string::npos) << c.name;
    }
    EXPECT_NE(InChild(cases[3].body).out.find("|usr1 1|"), std::string::npos);
}

// ---------------------------------------------------------------------------
// A handler that was there before the guard's runs, for faults outside
// every guard, as the kernel would have run it: its flags and mask hold.

int PriorCalls = 0;
sigjmp_buf PriorOut;
bool PriorJumps;

// Prints what the prior handler finds: its signal blocked, SIGUSR2 blocked,
// running on the alternate stack; then returns or leaves by siglongjmp.
void Prior(int signal) {
    sigset_t now;
    pthread_sigmask(SIG_SETMASK, nullptr, &now);
    stack_t alt;
    char here;
    bool onAlt = sigaltstack(nullptr, &alt) == 0 && (alt.ss_flags & SS_ONSTACK) &&
                 &here >= (char*)alt.ss_sp && &here < (char*)alt.ss_sp + alt.ss_size;
    char line[64];
    int n = snprintf(line, sizeof line, "|self %d|usr2 %d|alt %d|calls %d|",
                     sigismember(&now, signal), sigismember(&now, SIGUSR2), onAlt, ++PriorCalls);
    (void)!write(1, line, n);
    if (PriorCalls > 5) _exit(9); // a loop
    if (PriorJumps) siglongjmp(PriorOut, 1);
}

void PriorInfo(int signal, siginfo_t*, void*) {
    Prior(signal);
}

TEST_F(Guard, AHandlerFromBeforeRunsAsTheKernelWouldRunIt) {
    struct Case {
        const char* name;
        unsigned flags;
        bool maskUsr2;
        bool jumps;    // the handler leaves by siglongjmp, else returns
        bool saveMask; // the jump restores the mask it saved
        int signal;    // how the child ends, 0 for exit 0
        const char* out;
    };
    static const Case* Current;
    const Case cases[] = {
        // Once, then reset: the fault that recurs takes the default course.
        {"SA_RESETHAND", SA_RESETHAND, false, false, false, SIGSEGV,
         "|self 1|usr2 0|alt 0|calls 1|"},
        {"SA_RESETHAND|SA_SIGINFO", SA_RESETHAND | SA_SIGINFO, false, false, false, SIGSEGV,
         "|self 1|usr2 0|alt 0|calls 1|"},
        // Left by a jump that keeps the handler's mask: with SA_NODEFER its
        // signal is open for the next fault, and so are the guard's.
        {"SA_NODEFER", SA_NODEFER, false, true, false, 0,
         "|self 0|usr2 0|alt 0|calls 1||self 0|usr2 0|alt 0|calls 2||self 0|usr2 0|alt 0|calls 3|"
         "|guarded 0|"},
        {"sa_mask", SA_SIGINFO, true, true, true, 0,
         "|self 1|usr2 1|alt 0|calls 1||self 1|usr2 1|alt 0|calls 2||self 1|usr2 1|alt 0|calls 3|"
         "|guarded 0|"},
        {"SA_ONSTACK", SA_ONSTACK | SA_NODEFER, false, true, false, 0,
         "|self 0|usr2 0|alt 1|calls 1||self 0|usr2 0|alt 1|calls 2||self 0|usr2 0|alt 1|calls 3|"
         "|guarded 0|"},
    };
    for (const Case& c : cases) {
        Current = &c;
        ChildEnd end = InChild([] {
            const Case& c = *Current;
            struct sigaction prior;
            memset(&prior, 0, sizeof prior);
            prior.sa_flags = (int)c.flags;
            if (c.maskUsr2) sigaddset(&prior.sa_mask, SIGUSR2);
            if (c.flags & SA_SIGINFO)
                prior.sa_sigaction = PriorInfo;
            else
                prior.sa_handler = Prior;
            PriorJumps = c.jumps;
            sigaction(SIGSEGV, &prior, nullptr);
            GuardRun(
                +[] { Sink = 1; }, ReportingFilter); // the guard's handlers
            for (int i = 0; i < 3; i++)
                if (sigsetjmp(PriorOut, c.saveMask) == 0) WriteThroughNull();
            printf("|guarded %d|", RunGuarded(WriteThroughNullWork, nullptr));
        });
        EXPECT_EQ(end.signal, c.signal) << c.name << ": " << end.out;
        EXPECT_EQ(end.out.substr(0, strlen(c.out)), c.out) << c.name;
    }
}

// A runtime that handles faults of its own (a collector's write barrier)
// installs its handler after the guard's and passes on the faults that are
// not its own: inside a guard its faults never reach the guard.
char* Barrier;
struct sigaction GuardsHandler;

TEST_F(Guard, ARuntimeInstalledAfterTheGuardHandlesItsOwnFaultsFirst) {
    ChildEnd end = InChild(
        [] {
            GuardRun(
                +[] { Sink = 1; }, ReportingFilter);
            Barrier = (char*)mmap(nullptr, 4096, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
            struct sigaction runtime;
            memset(&runtime, 0, sizeof runtime);
            runtime.sa_flags = SA_SIGINFO | SA_ONSTACK;
            runtime.sa_sigaction = [](int signal, siginfo_t* info, void* context) {
                if ((char*)info->si_addr >= Barrier && (char*)info->si_addr < Barrier + 4096) {
                    mprotect(Barrier, 4096, PROT_READ | PROT_WRITE);
                    return;
                }
                GuardsHandler.sa_sigaction(signal, info, context);
            };
            sigaction(SIGSEGV, &runtime, &GuardsHandler);
            int done = RunGuarded([](void*) { Barrier[10] = 1; }, nullptr);
            printf("|barrier %d %d|", done, Barrier[10]);
            printf("|other %d|", RunGuarded(WriteThroughNullWork, nullptr));
        },
        true);
    EXPECT_EQ(end.status, 0) << end.out;
    EXPECT_NE(end.out.find("|barrier 1 1|"), std::string::npos) << end.out;
    EXPECT_NE(end.out.find("|other 0|"), std::string::npos) << end.out;
}

// ---------------------------------------------------------------------------
// abort() and a failed assert inside a guard: reported, with the routine
// that called abort in the chain, and then the process ends as abort ends it.

TEST_F(Guard, AbortInsideAGuardIsReportedAndEndsTheProcess) {
    const struct {
        const char* name;
        void (*body)(void);
        const char* caller; // of abort
    } cases[] = {
        {"abort", [] { RunGuarded(CallsAbort, nullptr); }, "CallsAbort"},
        {"nested", [] { RunGuarded([](void*) { RunGuarded(CallsAbort, nullptr); }, nullptr); },
         "CallsAbort"},
        {"assert", [] { RunGuarded(FailsAnAssert, nullptr); }, "FailsAnAssert"},
    };
    for (const auto& c : cases) {
        ChildEnd end = InChild(c.body, true);
        EXPECT_EQ(end.signal, SIGABRT) << c.name << ": " << end.out;
        // A failed assert says so first, on a line of its own.
        size_t report = end.out.find("EXCEPTION : ");
        ASSERT_NE(report, std::string::npos) << c.name << ": " << end.out;
        std::vector<std::vector<std::string>> reports;
        ASSERT_TRUE(SplitReports(end.out.substr(report), &reports)) << c.name << ": " << end.out;
        ASSERT_EQ(reports.size(), 1u) << c.name << ": " << end.out;
        EXPECT_NE(reports[0][0].find("EXCEPTION : Abnormal program termination at "),
                  std::string::npos)
            << reports[0][0];
        std::vector<std::string> names;
        for (size_t i = 1; i < reports[0].size(); i++)
            names.push_back(RoutineIn(reports[0][i]));
        EXPECT_NE(std::find(names.begin(), names.end(), c.caller), names.end()) << end.out;
    }
    // Outside every guard, and sent by kill inside one: abort's own course.
    ChildEnd end = InChild(
        [] {
            RunGuarded([](void*) { Sink = 1; }, nullptr);
            RunGuarded([](void*) { kill(getpid(), SIGABRT); }, nullptr);
        },
        true);
    EXPECT_EQ(end.signal, SIGABRT);
    EXPECT_EQ(end.out, "");
}

} // namespace
