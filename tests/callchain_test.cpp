// callchain_test.cpp - CallChain on a real fault inside the C library.
//
// A chain of routines, compiled as the build compiles everything, ends in
// strlen on a null pointer. A SIGSEGV handler of the test's own, on an
// alternate stack, walks the chain from the signal's context and jumps
// back. The return addresses must lie inside the routines of the chain, in
// order, and further out inside main; the routines' extents come from the
// symbol table of the test executable itself.

#include "platform.h"
#include "callchain.h"
#include "objects.h"

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <setjmp.h>
#include <signal.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <ucontext.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using namespace korval;

// The contexts and the .plt that the tests make and read are x86-64 ones.
#if defined(__x86_64__)

#if defined(__clang__)
#define CHAINED __attribute__((noinline))
#else
#define CHAINED __attribute__((noinline, noclone))
#endif

// Under AddressSanitizer strlen is its interceptor, which calls the C
// library's: one frame more before the chain's own.
#if defined(__SANITIZE_ADDRESS__)
const size_t kInterposed = 1;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
const size_t kInterposed = 1;
#else
const size_t kInterposed = 0;
#endif
#else
const size_t kInterposed = 0;
#endif

volatile const char* volatile NullText = nullptr;
volatile size_t Sink;

// Each call is followed by a store, so none is a tail call. The null
// pointer given to strlen is the fault under test, not a sanitizer's report.
CHAINED __attribute__((no_sanitize("undefined"))) void Level1() {
    Sink = strlen((const char*)NullText);
}
CHAINED void Level2() {
    Level1();
    Sink = Sink + 1;
}
CHAINED void Level3() {
    Level2();
    Sink = Sink + 1;
}
CHAINED void Level4() {
    Level3();
    Sink = Sink + 1;
}

// A call through a null function pointer: the processor's fault, not a
// sanitizer's check.
void (*volatile NullFunction)() = nullptr;
CHAINED __attribute__((no_sanitize("undefined"))) void CallsNull() {
    NullFunction();
    Sink = Sink + 1;
}
CHAINED void CallsCallsNull() {
    CallsNull();
    Sink = Sink + 1;
}

// A fault inside a signal handler, which runs on the thread's own stack.
CHAINED void FaultsInHandler(int) {
    Level1();
    Sink = Sink + 1;
}
CHAINED void RaisesSignal() {
    raise(SIGUSR1);
    Sink = Sink + 1;
}
CHAINED void CallsRaisesSignal() {
    RaisesSignal();
    Sink = Sink + 1;
}

// A frame of hand-written rules that compilers seldom write, each true of
// the frame: its CFA read from memory (an expression with deref), rbp saved
// where an expression of the CFA says, rbx kept in r12, r13 the caller's by
// an expression of itself, rsp the CFA as a value (val_offset, escaped for
// assemblers without the directive), and the return address marked signed
// (which changes nothing on x86-64). It calls the routine in rdi with the
// stack aligned as a call needs. Its callers find their CFA from rbx and
// from rbp, whose values in them the walk must have recovered from its
// rules.
extern "C" void korval_cfi_rules(void (*Work)());
extern "C" void korval_cfi_by_rbx(void (*Work)());
extern "C" void korval_cfi_by_rbp(void (*Work)());
asm(R"(
    .text
    .globl korval_cfi_rules
    .type korval_cfi_rules, @function
korval_cfi_rules:
    .cfi_startproc
    push %rbp
    .cfi_def_cfa_offset 16
    .cfi_escape 0x10, 0x06, 0x02, 0x40, 0x1c
    push %r12
    .cfi_def_cfa_offset 24
    .cfi_offset %r12, -24
    mov %rbx, %r12
    .cfi_register %rbx, %r12
    .cfi_escape 0x16, 0x0d, 0x02, 0x7d, 0x00
    .cfi_escape 0x14, 0x07, 0x00
    .cfi_escape 0x2d
    sub $24, %rsp
    lea 48(%rsp), %rax
    mov %rax, (%rsp)
    .cfi_escape 0x0f, 0x03, 0x77, 0x00, 0x06
    xor %ebx, %ebx
    call *%rdi
    add $24, %rsp
    .cfi_def_cfa %rsp, 24
    mov %r12, %rbx
    .cfi_restore %rbx
    pop %r12
    .cfi_def_cfa_offset 16
    pop %rbp
    .cfi_def_cfa_offset 8
    ret
    .cfi_endproc
    .size korval_cfi_rules, . - korval_cfi_rules

    .globl korval_cfi_by_rbx
    .type korval_cfi_by_rbx, @function
korval_cfi_by_rbx:
    .cfi_startproc
    push %rbx
    .cfi_def_cfa_offset 16
    .cfi_offset %rbx, -16
    mov %rsp, %rbx
    .cfi_def_cfa_register %rbx
    call korval_cfi_rules
    mov %rbx, %rsp
    .cfi_def_cfa_register %rsp
    pop %rbx
    .cfi_def_cfa_offset 8
    ret
    .cfi_endproc
    .size korval_cfi_by_rbx, . - korval_cfi_by_rbx

    .globl korval_cfi_by_rbp
    .type korval_cfi_by_rbp, @function
korval_cfi_by_rbp:
    .cfi_startproc
    push %rbp
    .cfi_def_cfa_offset 16
    .cfi_offset %rbp, -16
    mov %rsp, %rbp
    .cfi_def_cfa_register %rbp
    call korval_cfi_by_rbx
    mov %rbp, %rsp
    .cfi_def_cfa_register %rsp
    pop %rbp
    .cfi_def_cfa_offset 8
    ret
    .cfi_endproc
    .size korval_cfi_by_rbp, . - korval_cfi_by_rbp
)");
CHAINED void CallsCfiRules() {
    korval_cfi_by_rbp(Level1);
    Sink = Sink + 1;
}

// A fault under a frame of a library loaded after the chain was prepared.
void (*PluginCalls)(void (*)());
CHAINED void CallsPlugin() {
    PluginCalls(Level1);
    Sink = Sink + 1;
}
CHAINED void CallsCallsPlugin() {
    CallsPlugin();
    Sink = Sink + 1;
}

namespace {

const DWORD kMax = 64;

// What the handler found, with the bounds it was given.
struct Walks {
    ULONG_PTR Low, High;       // the faulting thread's stack
    ULONG_PTR AltLow, AltHigh; // the handler's own stack
    ULONG_PTR Returns[kMax];
    DWORD Count;
    ULONG_PTR Capped[kMax]; // with Max 2
    DWORD CappedCount;
    DWORD OtherStackCount; // with the bounds of the handler's stack
} W;

sigjmp_buf Back;

void OnSegv(int, siginfo_t*, void* Context) {
    W.Count = CallChain(Context, W.Low, W.High, W.Returns, kMax);
    W.CappedCount = CallChain(Context, W.Low, W.High, W.Capped, 2);
    W.OtherStackCount = CallChain(Context, W.AltLow, W.AltHigh, W.Capped + 2, kMax);
    siglongjmp(Back, 1);
}

// Runs Work (Level4 unless given) with the handler in force; true when it
// faulted.
bool FaultUnderHandler(void (*Work)() = Level4) {
    pthread_attr_t Attr;
    void* Base;
    size_t Size;
    if (pthread_getattr_np(pthread_self(), &Attr) != 0) return false;
    pthread_attr_getstack(&Attr, &Base, &Size);
    pthread_attr_destroy(&Attr);
    W = Walks();
    W.Low = (ULONG_PTR)Base;
    W.High = W.Low + Size;

    static std::vector<char> AltStack(1 << 16);
    stack_t Alt = {AltStack.data(), 0, AltStack.size()}, OldAlt;
    W.AltLow = (ULONG_PTR)AltStack.data();
    W.AltHigh = W.AltLow + AltStack.size();
    struct sigaction Action, Old;
    memset(&Action, 0, sizeof Action);
    Action.sa_sigaction = OnSegv;
    Action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&Action.sa_mask);
    sigaltstack(&Alt, &OldAlt);
    sigaction(SIGSEGV, &Action, &Old);
    volatile bool Faulted = true;
    if (sigsetjmp(Back, 1) == 0) {
        Work();
        Faulted = false;
    }
    sigaction(SIGSEGV, &Old, nullptr);
    sigaltstack(&OldAlt, nullptr);
    return Faulted;
}

// This executable as its own file tells, at run-time addresses: its
// functions from the symbol table, and where its .plt lies.
struct Function {
    uintptr_t Start, Size;
    std::string Name;
};
struct Image {
    std::vector<Function> Functions;
    uintptr_t Plt = 0, PltSize = 0;
};

int MainBias(dl_phdr_info* Info, size_t, void* Bias) {
    *(uintptr_t*)Bias = Info->dlpi_addr;
    return 1; // the first object is the executable
}

Image ReadImage() {
    Image Self;
    uintptr_t Bias = 0;
    dl_iterate_phdr(MainBias, &Bias);
    int Fd = open("/proc/self/exe", O_RDONLY);
    struct stat St;
    if (Fd < 0 || fstat(Fd, &St) != 0) return Self;
    void* Map = mmap(nullptr, St.st_size, PROT_READ, MAP_PRIVATE, Fd, 0);
    close(Fd);
    if (Map == MAP_FAILED) return Self;
    const char* Base = (const char*)Map;
    const Elf64_Ehdr* Eh = (const Elf64_Ehdr*)Base;
    const Elf64_Shdr* Sh = (const Elf64_Shdr*)(Base + Eh->e_shoff);
    const char* SectionNames = Base + Sh[Eh->e_shstrndx].sh_offset;
    for (int i = 0; i < Eh->e_shnum; i++) {
        if (strcmp(SectionNames + Sh[i].sh_name, ".plt") == 0) {
            Self.Plt = Bias + Sh[i].sh_addr;
            Self.PltSize = Sh[i].sh_size;
        }
        if (Sh[i].sh_type != SHT_SYMTAB) continue;
        const Elf64_Sym* Syms = (const Elf64_Sym*)(Base + Sh[i].sh_offset);
        const char* Names = Base + Sh[Sh[i].sh_link].sh_offset;
        for (size_t s = 0; s < Sh[i].sh_size / sizeof *Syms; s++)
            if (ELF64_ST_TYPE(Syms[s].st_info) == STT_FUNC && Syms[s].st_value != 0)
                Self.Functions.push_back(
                    {Bias + Syms[s].st_value, Syms[s].st_size, Names + Syms[s].st_name});
    }
    munmap(Map, St.st_size);
    return Self;
}

// The function whose code holds the call that Return returns from.
const Function* Caller(const std::vector<Function>& Functions, ULONG_PTR Return) {
    for (const Function& F : Functions)
        if (Return - 1 >= F.Start && Return - 1 < F.Start + F.Size) return &F;
    return nullptr;
}

std::string Describe(const std::vector<Function>& Functions, const ULONG_PTR* Returns, DWORD n) {
    std::string Text;
    char Line[64];
    for (DWORD i = 0; i < n; i++) {
        const Function* F = Caller(Functions, Returns[i]);
        snprintf(Line, sizeof Line, "  %#lx ", (unsigned long)Returns[i]);
        Text += Line + (F != nullptr ? F->Name : std::string("?")) + "\n";
    }
    return Text;
}

TEST(CallChain, NamesTheCallersOfAFaultInsideTheCLibrary) {
    PrepareCallChain();
    ASSERT_TRUE(FaultUnderHandler());
    const std::vector<Function> Functions = ReadImage().Functions;
    ASSERT_FALSE(Functions.empty()) << "no symbol table in /proc/self/exe";
    std::string Chain = Describe(Functions, W.Returns, W.Count);

    // Innermost first: the caller of strlen, and each caller of that.
    void (*const Expected[])() = {Level1, Level2, Level3, Level4};
    ASSERT_GT(W.Count, kInterposed + 4) << Chain;
    for (size_t i = 0; i < 4; i++) {
        const Function* F = Caller(Functions, W.Returns[kInterposed + i]);
        ASSERT_NE(F, nullptr) << Chain;
        EXPECT_EQ(F->Start, (uintptr_t)Expected[i]) << "frame " << i << ":\n" << Chain;
    }
    // Further out, through GoogleTest's frames, main.
    bool ReachedMain = false;
    for (DWORD i = kInterposed + 4; i < W.Count; i++) {
        const Function* F = Caller(Functions, W.Returns[i]);
        ReachedMain |= F != nullptr && F->Name == "main";
    }
    EXPECT_TRUE(ReachedMain) << Chain;

    // At most Max, the same ones.
    ASSERT_EQ(W.CappedCount, 2u);
    EXPECT_EQ(W.Capped[0], W.Returns[0]);
    EXPECT_EQ(W.Capped[1], W.Returns[1]);
    // Nothing from bounds that exclude the thread's stack.
    EXPECT_EQ(W.OtherStackCount, 0u);
}

// The shapes of chains that meet something other than a call of code with
// unwind tables: in each the walk goes on past it, to the callers further
// out, in order (frames of the C library and the like between them).
TEST(CallChain, GoesOnPastWhatIsNoPlainCall) {
    PrepareCallChain();
    void* Plugin = dlopen(CHAIN_PLUGIN, RTLD_NOW | RTLD_LOCAL); // after the preparation
    ASSERT_NE(Plugin, nullptr) << dlerror();
    PluginCalls = (void (*)(void (*)()))dlsym(Plugin, "PluginCalls");
    ASSERT_NE(PluginCalls, nullptr);
    struct sigaction OnUsr1, Old;
    memset(&OnUsr1, 0, sizeof OnUsr1);
    OnUsr1.sa_handler = FaultsInHandler;
    sigemptyset(&OnUsr1.sa_mask);
    sigaction(SIGUSR1, &OnUsr1, &Old);
    const std::vector<Function> Functions = ReadImage().Functions;
    ASSERT_FALSE(Functions.empty()) << "no symbol table in /proc/self/exe";

    const void* const kInPlugin = nullptr; // a frame of the plugin
    const struct {
        const char* Shape;
        void (*Work)();
        std::vector<const void*> Callers; // innermost first
    } kShapes[] = {
        {"a call through a null pointer",
         CallsCallsNull,
         {(void*)CallsNull, (void*)CallsCallsNull}},
        {"a signal handler's fault",
         CallsRaisesSignal,
         {(void*)Level1, (void*)FaultsInHandler, (void*)RaisesSignal, (void*)CallsRaisesSignal}},
        {"a frame of unusual rules",
         CallsCfiRules,
         {(void*)Level1, (void*)korval_cfi_rules, (void*)korval_cfi_by_rbx,
          (void*)korval_cfi_by_rbp, (void*)CallsCfiRules}},
        {"a library loaded late",
         CallsCallsPlugin,
         {(void*)Level1, kInPlugin, (void*)CallsPlugin, (void*)CallsCallsPlugin}},
    };
    for (const auto& Shape : kShapes) {
        ASSERT_TRUE(FaultUnderHandler(Shape.Work)) << Shape.Shape;
        std::string Chain = Describe(Functions, W.Returns, W.Count);
        size_t Next = 0;
        for (DWORD i = 0; i < W.Count && Next < Shape.Callers.size(); i++) {
            const Function* F = Caller(Functions, W.Returns[i]);
            Dl_info Info;
            bool InPlugin = dladdr((void*)W.Returns[i], &Info) != 0 && Info.dli_fname != nullptr &&
                            strstr(Info.dli_fname, "chain_plugin") != nullptr;
            const void* Expected = Shape.Callers[Next];
            if (Expected == kInPlugin ? InPlugin : F != nullptr && F->Start == (uintptr_t)Expected)
                Next++;
        }
        EXPECT_EQ(Next, Shape.Callers.size()) << Shape.Shape << ":\n" << Chain;
    }
    sigaction(SIGUSR1, &Old, nullptr);
    dlclose(Plugin);
}

// Inside a PLT entry the CFA is a DWARF expression of rsp and rip: rsp + 8
// at first, rsp + 16 once the entry has pushed its relocation index (from
// its byte 11 on). A context stopped at either place, on a stack of the
// test's making, gives the return address on that stack.
TEST(CallChain, FollowsTheCfaExpressionOfAPltEntry) {
    PrepareCallChain();
    Image Self = ReadImage();
    if (Self.PltSize < 32) GTEST_SKIP() << "no .plt";
    const uint8_t* Entry = (const uint8_t*)Self.Plt + 16; // past the resolver's own entry
    if (Entry[0] != 0xff || Entry[1] != 0x25 || Entry[6] != 0x68)
        GTEST_SKIP() << "a .plt of another layout";

    const ULONG_PTR Return = (ULONG_PTR)Level2 + 4;
    for (int Offset : {0, 11}) {
        ULONG_PTR Stack[4] = {Return, 0, 0, 0};
        if (Offset == 11) Stack[0] = 1, Stack[1] = Return; // the index on top
        ucontext_t Uc;
        memset(&Uc, 0, sizeof Uc);
        Uc.uc_mcontext.gregs[REG_RIP] = (greg_t)(Entry + Offset);
        Uc.uc_mcontext.gregs[REG_RSP] = (greg_t)Stack;
        ULONG_PTR Returns[1] = {0};
        EXPECT_EQ(CallChain(&Uc, (ULONG_PTR)Stack, (ULONG_PTR)(Stack + 4), Returns, 1), 1u)
            << "at byte " << Offset;
        EXPECT_EQ(Returns[0], Return) << "at byte " << Offset;
    }
}

// A frame stopped at an address in no loaded object (a call through a null
// or stray pointer, code made at run time) is walked as a call that has just
// happened: its return address is on top of the stack. The walk takes it
// only where it lies in a loaded object, never in a library unloaded since
// or in a page of no object, and goes on from there by the tables (here no
// further: the stack of the test's making ends).
TEST(CallChain, AFrameInNoObjectIsACallThatJustHappened) {
    PrepareCallChain();
    void* Plugin = dlopen(CHAIN_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(Plugin, nullptr) << dlerror();
    const ULONG_PTR InPlugin = (ULONG_PTR)dlsym(Plugin, "PluginCalls") + 4;
    ASSERT_EQ(dlclose(Plugin), 0);
    ASSERT_EQ(dlopen(CHAIN_PLUGIN, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the plugin stayed loaded";
    const size_t Page = (size_t)getpagesize();
    void* Jit = mmap(nullptr, Page, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(Jit, MAP_FAILED);
    const ULONG_PTR InJit = (ULONG_PTR)Jit + 16;
    const ULONG_PTR InProgram = (ULONG_PTR)Level2 + 4;

    const struct {
        const char* Shape;
        ULONG_PTR Pc, OnTop;
        DWORD Want;
    } kCases[] = {
        {"a call through a null pointer", 0, InProgram, 1},
        {"a call to a stray address", 0x10, InProgram, 1},
        {"a fault in code made at run time", InJit, InProgram, 1},
        {"no return address on top", 0, 0x20, 0},
        {"a return into an unloaded library", 0, InPlugin, 0},
        {"a return into a page of no object", 0, InJit, 0},
    };
    for (const auto& Case : kCases) {
        ULONG_PTR Stack[4] = {Case.OnTop, 0, 0, 0};
        ucontext_t Uc;
        memset(&Uc, 0, sizeof Uc);
        Uc.uc_mcontext.gregs[REG_RIP] = (greg_t)Case.Pc;
        Uc.uc_mcontext.gregs[REG_RSP] = (greg_t)Stack;
        ULONG_PTR Returns[4] = {0};
        EXPECT_EQ(CallChain(&Uc, (ULONG_PTR)Stack, (ULONG_PTR)(Stack + 4), Returns, 4), Case.Want)
            << Case.Shape;
        if (Case.Want > 0) {
            EXPECT_EQ(Returns[0], Case.OnTop) << Case.Shape;
        }
    }
    munmap(Jit, Page);
}

// What the loader says of the object that holds an address.
struct Expected {
    uintptr_t Address, Bias, Base;
    std::string Path;
    bool Found;
};

int FindByLoader(dl_phdr_info* Info, size_t, void* Data) {
    Expected* E = (Expected*)Data;
    uintptr_t Base = UINTPTR_MAX;
    bool Holds = false;
    for (int i = 0; i < Info->dlpi_phnum; i++) {
        const ElfW(Phdr)& Ph = Info->dlpi_phdr[i];
        if (Ph.p_type != PT_LOAD) continue;
        uintptr_t Low = Info->dlpi_addr + Ph.p_vaddr;
        Base = std::min(Base, Low);
        Holds |= E->Address >= Low && E->Address < Low + Ph.p_memsz;
    }
    if (!Holds) return 0;
    *E = {E->Address, Info->dlpi_addr, Base, Info->dlpi_name, true};
    return 1;
}

// An address in the code of the loaded object whose name holds Name (not
// &strlen, which may be a sanitizer's interceptor in the executable).
uintptr_t CodeOf(const char* Name) {
    struct Search {
        const char* Name;
        uintptr_t Found;
    } S = {Name, 0};
    dl_iterate_phdr(
        [](dl_phdr_info* Info, size_t, void* Data) {
            Search* S = (Search*)Data;
            if (strstr(Info->dlpi_name, S->Name) == nullptr) return 0;
            for (int i = 0; i < Info->dlpi_phnum; i++)
                if (Info->dlpi_phdr[i].p_type == PT_LOAD && (Info->dlpi_phdr[i].p_flags & PF_X))
                    S->Found = Info->dlpi_addr + Info->dlpi_phdr[i].p_vaddr;
            return 1;
        },
        &S);
    return S.Found;
}

// FindLoadedObject agrees with dl_iterate_phdr on each object, names the
// executable by its file, and finds nothing where no object is: at 0, in a
// page of no object, in a library once it is unloaded.
TEST(LoadedObjects, AreFoundAsTheLoaderListsThem) {
    PrepareCallChain();
    char Self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", Self, sizeof Self - 1), 0);
    void* Plugin = dlopen(CHAIN_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(Plugin, nullptr) << dlerror();
    const uintptr_t InPlugin = (uintptr_t)dlsym(Plugin, "PluginCalls");
    void* Jit = mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(Jit, MAP_FAILED);

    const struct {
        const char* Name;
        uintptr_t Address;
        bool Program;
    } kCases[] = {
        {"the program's code", (uintptr_t)Level1, true},
        {"the C library", CodeOf("libc.so"), false},
        {"a library loaded late", InPlugin, false},
        {"address 0", 0, false},
        {"a page of no object", (uintptr_t)Jit, false},
    };
    for (const auto& Case : kCases) {
        Expected Want = {Case.Address, 0, 0, "", false};
        dl_iterate_phdr(FindByLoader, &Want);
        if (Case.Program) Want.Path = Self;
        LoadedObject Got;
        ASSERT_EQ(FindLoadedObject(Case.Address, &Got), Want.Found) << Case.Name;
        EXPECT_EQ(IsProgramCode(Case.Address), Case.Program) << Case.Name;
        if (!Want.Found) continue;
        EXPECT_EQ(Got.Bias, Want.Bias) << Case.Name;
        EXPECT_EQ(Got.Base, Want.Base) << Case.Name;
        EXPECT_EQ(std::string(Got.Path), Want.Path) << Case.Name;
    }
    Expected Program = {(uintptr_t)Level1, 0, 0, "", false};
    dl_iterate_phdr(FindByLoader, &Program);
    EXPECT_EQ(ProgramLoadBias(), Program.Bias);
    dlclose(Plugin);
    LoadedObject Gone;
    EXPECT_FALSE(FindLoadedObject(InPlugin, &Gone)) << "an unloaded library";
    munmap(Jit, 4096);
}

} // namespace

#endif
