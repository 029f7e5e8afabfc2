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
extern "C" void korval_cfi_rules(void (*work)());
extern "C" void korval_cfi_by_rbx(void (*work)());
extern "C" void korval_cfi_by_rbp(void (*work)());
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
    ULONG_PTR low, high;       // the faulting thread's stack
    ULONG_PTR altLow, altHigh; // the handler's own stack
    ULONG_PTR returns[kMax];
    DWORD count;
    ULONG_PTR capped[kMax]; // with Max 2
    DWORD cappedCount;
    DWORD otherStackCount; // with the bounds of the handler's stack
} W;

sigjmp_buf Back;

void OnSegv(int, siginfo_t*, void* context) {
    W.count = CallChain(context, W.low, W.high, W.returns, kMax);
    W.cappedCount = CallChain(context, W.low, W.high, W.capped, 2);
    W.otherStackCount = CallChain(context, W.altLow, W.altHigh, W.capped + 2, kMax);
    siglongjmp(Back, 1);
}

// Runs work (Level4 unless given) with the handler in force; true when it
// faulted.
bool FaultUnderHandler(void (*work)() = Level4) {
    pthread_attr_t attr;
    void* base;
    size_t size;
    if (pthread_getattr_np(pthread_self(), &attr) != 0) return false;
    pthread_attr_getstack(&attr, &base, &size);
    pthread_attr_destroy(&attr);
    W = Walks();
    W.low = (ULONG_PTR)base;
    W.high = W.low + size;

    static std::vector<char> AltStack(1 << 16);
    stack_t alt = {AltStack.data(), 0, AltStack.size()}, oldAlt;
    W.altLow = (ULONG_PTR)AltStack.data();
    W.altHigh = W.altLow + AltStack.size();
    struct sigaction action, old;
    memset(&action, 0, sizeof action);
    action.sa_sigaction = OnSegv;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    sigaltstack(&alt, &oldAlt);
    sigaction(SIGSEGV, &action, &old);
    volatile bool faulted = true;
    if (sigsetjmp(Back, 1) == 0) {
        work();
        faulted = false;
    }
    sigaction(SIGSEGV, &old, nullptr);
    sigaltstack(&oldAlt, nullptr);
    return faulted;
}

// This executable as its own file tells, at run-time addresses: its
// functions from the symbol table, and where its .plt lies.
struct Function {
    uintptr_t start, size;
    std::string name;
};
struct Image {
    std::vector<Function> functions;
    uintptr_t plt = 0, pltSize = 0;
};

int MainBias(dl_phdr_info* info, size_t, void* bias) {
    *(uintptr_t*)bias = info->dlpi_addr;
    return 1; // the first object is the executable
}

Image ReadImage() {
    Image self;
    uintptr_t bias = 0;
    dl_iterate_phdr(MainBias, &bias);
    int fd = open("/proc/self/exe", O_RDONLY);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0) return self;
    void* map = mmap(nullptr, st.st_size, PROT_READ, MAP_PRIVATE, fd, 0);
    close(fd);
    if (map == MAP_FAILED) return self;
    const char* base = (const char*)map;
    const Elf64_Ehdr* eh = (const Elf64_Ehdr*)base;
    const Elf64_Shdr* sh = (const Elf64_Shdr*)(base + eh->e_shoff);
    const char* sectionNames = base + sh[eh->e_shstrndx].sh_offset;
    for (int i = 0; i < eh->e_shnum; i++) {
        if (strcmp(sectionNames + sh[i].sh_name, ".plt") == 0) {
            self.plt = bias + sh[i].sh_addr;
            self.pltSize = sh[i].sh_size;
        }
        if (sh[i].sh_type != SHT_SYMTAB) continue;
        const Elf64_Sym* syms = (const Elf64_Sym*)(base + sh[i].sh_offset);
        const char* names = base + sh[sh[i].sh_link].sh_offset;
        for (size_t s = 0; s < sh[i].sh_size / sizeof *syms; s++)
            if (ELF64_ST_TYPE(syms[s].st_info) == STT_FUNC && syms[s].st_value != 0)
                self.functions.push_back(
                    {bias + syms[s].st_value, syms[s].st_size, names + syms[s].st_name});
    }
    munmap(map, st.st_size);
    return self;
}

// The function whose code holds the call that Return returns from.
const Function* Caller(const std::vector<Function>& functions, ULONG_PTR Return) {
    for (const Function& f : functions)
        if (Return - 1 >= f.start && Return - 1 < f.start + f.size) return &f;
    return nullptr;
}

std::string Describe(const std::vector<Function>& functions, const ULONG_PTR* returns, DWORD n) {
    std::string text;
    char line[64];
    for (DWORD i = 0; i < n; i++) {
        const Function* f = Caller(functions, returns[i]);
        snprintf(line, sizeof line, "  %#lx ", (unsigned long)returns[i]);
        text += line + (f != nullptr ? f->name : std::string("?")) + "\n";
    }
    return text;
}

TEST(CallChain, NamesTheCallersOfAFaultInsideTheCLibrary) {
    PrepareCallChain();
    ASSERT_TRUE(FaultUnderHandler());
    const std::vector<Function> functions = ReadImage().functions;
    ASSERT_FALSE(functions.empty()) << "no symbol table in /proc/self/exe";
    std::string chain = Describe(functions, W.returns, W.count);

    // Innermost first: the caller of strlen, and each caller of that.
    void (*const expected[])() = {Level1, Level2, Level3, Level4};
    ASSERT_GT(W.count, kInterposed + 4) << chain;
    for (size_t i = 0; i < 4; i++) {
        const Function* f = Caller(functions, W.returns[kInterposed + i]);
        ASSERT_NE(f, nullptr) << chain;
        EXPECT_EQ(f->start, (uintptr_t)expected[i]) << "frame " << i << ":\n" << chain;
    }
    // Further out, through GoogleTest's frames, main.
    bool reachedMain = false;
    for (DWORD i = kInterposed + 4; i < W.count; i++) {
        const Function* f = Caller(functions, W.returns[i]);
        reachedMain |= f != nullptr && f->name == "main";
    }
    EXPECT_TRUE(reachedMain) << chain;

    // At most Max, the same ones.
    ASSERT_EQ(W.cappedCount, 2u);
    EXPECT_EQ(W.capped[0], W.returns[0]);
    EXPECT_EQ(W.capped[1], W.returns[1]);
    // Nothing from bounds that exclude the thread's stack.
    EXPECT_EQ(W.otherStackCount, 0u);
}

// The shapes of chains that meet something other than a call of code with
// unwind tables: in each the walk goes on past it, to the callers further
// out, in order (frames of the C library and the like between them).
TEST(CallChain, GoesOnPastWhatIsNoPlainCall) {
    PrepareCallChain();
    void* plugin = dlopen(CHAIN_PLUGIN, RTLD_NOW | RTLD_LOCAL); // after the preparation
    ASSERT_NE(plugin, nullptr) << dlerror();
    PluginCalls = (void (*)(void (*)()))dlsym(plugin, "PluginCalls");
    ASSERT_NE(PluginCalls, nullptr);
    struct sigaction onUsr1, old;
    memset(&onUsr1, 0, sizeof onUsr1);
    onUsr1.sa_handler = FaultsInHandler;
    sigemptyset(&onUsr1.sa_mask);
    sigaction(SIGUSR1, &onUsr1, &old);
    const std::vector<Function> functions = ReadImage().functions;
    ASSERT_FALSE(functions.empty()) << "no symbol table in /proc/self/exe";

    const void* const kInPlugin = nullptr; // a frame of the plugin
    const struct {
        const char* shape;
        void (*work)();
        std::vector<const void*> callers; // innermost first
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
    for (const auto& shape : kShapes) {
        ASSERT_TRUE(FaultUnderHandler(shape.work)) << shape.shape;
        std::string chain = Describe(functions, W.returns, W.count);
        size_t next = 0;
        for (DWORD i = 0; i < W.count && next < shape.callers.size(); i++) {
            const Function* f = Caller(functions, W.returns[i]);
            Dl_info info;
            bool inPlugin = dladdr((void*)W.returns[i], &info) != 0 && info.dli_fname != nullptr &&
                            strstr(info.dli_fname, "chain_plugin") != nullptr;
            const void* expected = shape.callers[next];
            if (expected == kInPlugin ? inPlugin : f != nullptr && f->start == (uintptr_t)expected)
                next++;
        }
        EXPECT_EQ(next, shape.callers.size()) << shape.shape << ":\n" << chain;
    }
    sigaction(SIGUSR1, &old, nullptr);
    dlclose(plugin);
}

// Inside a PLT entry the CFA is a DWARF expression of rsp and rip: rsp + 8
// at first, rsp + 16 once the entry has pushed its relocation index (from
// its byte 11 on). A context stopped at either place, on a stack of the
// test's making, gives the return address on that stack.
TEST(CallChain, FollowsTheCfaExpressionOfAPltEntry) {
    PrepareCallChain();
    Image self = ReadImage();
    if (self.pltSize < 32) GTEST_SKIP() << "no .plt";
    const uint8_t* entry = (const uint8_t*)self.plt + 16; // past the resolver's own entry
    if (entry[0] != 0xff || entry[1] != 0x25 || entry[6] != 0x68)
        GTEST_SKIP() << "a .plt of another layout";

    const ULONG_PTR Return = (ULONG_PTR)Level2 + 4;
    for (int offset : {0, 11}) {
        ULONG_PTR stack[4] = {Return, 0, 0, 0};
        if (offset == 11) stack[0] = 1, stack[1] = Return; // the index on top
        ucontext_t uc;
        memset(&uc, 0, sizeof uc);
        uc.uc_mcontext.gregs[REG_RIP] = (greg_t)(entry + offset);
        uc.uc_mcontext.gregs[REG_RSP] = (greg_t)stack;
        ULONG_PTR returns[1] = {0};
        EXPECT_EQ(CallChain(&uc, (ULONG_PTR)stack, (ULONG_PTR)(stack + 4), returns, 1), 1u)
            << "at byte " << offset;
        EXPECT_EQ(returns[0], Return) << "at byte " << offset;
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
    void* plugin = dlopen(CHAIN_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    const ULONG_PTR inPlugin = (ULONG_PTR)dlsym(plugin, "PluginCalls") + 4;
    ASSERT_EQ(dlclose(plugin), 0);
    ASSERT_EQ(dlopen(CHAIN_PLUGIN, RTLD_NOW | RTLD_NOLOAD), nullptr) << "the plugin stayed loaded";
    const size_t page = (size_t)getpagesize();
    void* jit = mmap(nullptr, page, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(jit, MAP_FAILED);
    const ULONG_PTR inJit = (ULONG_PTR)jit + 16;
    const ULONG_PTR inProgram = (ULONG_PTR)Level2 + 4;

    const struct {
        const char* shape;
        ULONG_PTR pc, onTop;
        DWORD want;
    } kCases[] = {
        {"a call through a null pointer", 0, inProgram, 1},
        {"a call to a stray address", 0x10, inProgram, 1},
        {"a fault in code made at run time", inJit, inProgram, 1},
        {"no return address on top", 0, 0x20, 0},
        {"a return into an unloaded library", 0, inPlugin, 0},
        {"a return into a page of no object", 0, inJit, 0},
    };
    for (const auto& Case : kCases) {
        ULONG_PTR stack[4] = {Case.onTop, 0, 0, 0};
        ucontext_t uc;
        memset(&uc, 0, sizeof uc);
        uc.uc_mcontext.gregs[REG_RIP] = (greg_t)Case.pc;
        uc.uc_mcontext.gregs[REG_RSP] = (greg_t)stack;
        ULONG_PTR returns[4] = {0};
        EXPECT_EQ(CallChain(&uc, (ULONG_PTR)stack, (ULONG_PTR)(stack + 4), returns, 4), Case.want)
            << Case.shape;
        if (Case.want > 0) {
            EXPECT_EQ(returns[0], Case.onTop) << Case.shape;
        }
    }
    munmap(jit, page);
}

// What the loader says of the object that holds an address.
struct Expected {
    uintptr_t address, bias, base;
    std::string path;
    bool found;
};

int FindByLoader(dl_phdr_info* info, size_t, void* data) {
    Expected* e = (Expected*)data;
    uintptr_t base = UINTPTR_MAX;
    bool holds = false;
    for (int i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD) continue;
        uintptr_t low = info->dlpi_addr + ph.p_vaddr;
        base = std::min(base, low);
        holds |= e->address >= low && e->address < low + ph.p_memsz;
    }
    if (!holds) return 0;
    *e = {e->address, info->dlpi_addr, base, info->dlpi_name, true};
    return 1;
}

// An address in the code of the loaded object whose name holds name (not
// &strlen, which may be a sanitizer's interceptor in the executable).
uintptr_t CodeOf(const char* name) {
    struct Search {
        const char* name;
        uintptr_t found;
    } s = {name, 0};
    dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) {
            Search* s = (Search*)data;
            if (strstr(info->dlpi_name, s->name) == nullptr) return 0;
            for (int i = 0; i < info->dlpi_phnum; i++)
                if (info->dlpi_phdr[i].p_type == PT_LOAD && (info->dlpi_phdr[i].p_flags & PF_X))
                    s->found = info->dlpi_addr + info->dlpi_phdr[i].p_vaddr;
            return 1;
        },
        &s);
    return s.found;
}

// FindLoadedObject agrees with dl_iterate_phdr on each object, names the
// executable by its file, and finds nothing where no object is: at 0, in a
// page of no object, in a library once it is unloaded.
TEST(LoadedObjects, AreFoundAsTheLoaderListsThem) {
    PrepareCallChain();
    char self[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", self, sizeof self - 1), 0);
    void* plugin = dlopen(CHAIN_PLUGIN, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(plugin, nullptr) << dlerror();
    const uintptr_t inPlugin = (uintptr_t)dlsym(plugin, "PluginCalls");
    void* jit = mmap(nullptr, 4096, PROT_READ | PROT_EXEC, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(jit, MAP_FAILED);

    const struct {
        const char* name;
        uintptr_t address;
        bool program;
    } kCases[] = {
        {"the program's code", (uintptr_t)Level1, true},
        {"the C library", CodeOf("libc.so"), false},
        {"a library loaded late", inPlugin, false},
        {"address 0", 0, false},
        {"a page of no object", (uintptr_t)jit, false},
    };
    for (const auto& Case : kCases) {
        Expected want = {Case.address, 0, 0, "", false};
        dl_iterate_phdr(FindByLoader, &want);
        if (Case.program) want.path = self;
        LoadedObject got;
        ASSERT_EQ(FindLoadedObject(Case.address, &got), want.found) << Case.name;
        EXPECT_EQ(IsProgramCode(Case.address), Case.program) << Case.name;
        if (!want.found) continue;
        EXPECT_EQ(got.bias, want.bias) << Case.name;
        EXPECT_EQ(got.base, want.base) << Case.name;
        EXPECT_EQ(std::string(got.path), want.path) << Case.name;
    }
    Expected program = {(uintptr_t)Level1, 0, 0, "", false};
    dl_iterate_phdr(FindByLoader, &program);
    EXPECT_EQ(ProgramLoadBias(), program.bias);
    dlclose(plugin);
    LoadedObject gone;
    EXPECT_FALSE(FindLoadedObject(inPlugin, &gone)) << "an unloaded library";
    munmap(jit, 4096);
}

} // namespace

#endif
