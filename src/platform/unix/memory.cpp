// unix/memory.cpp - VirtualAlloc and VirtualFree on POSIX.
//
// Blocks are anonymous private mappings. Win32 frees a block by its base
// alone (size 0), so the sizes of the blocks handed out are kept here.
//
// Under AddressSanitizer the tail of a block's last page, past the size asked
// for, is poisoned, and a decommitted block is made unaddressable: an overrun
// of a block, or a use of it after MEM_DECOMMIT, is then reported instead of
// passing unnoticed in memory the system happens to have mapped.

#include "platform.h"
#include "checked.h"

#include <sys/mman.h>
#include <unistd.h>

#include <map>

namespace korval {

namespace {

const size_t kHugePage = 2u << 20;
// Under AddressSanitizer a decommitted block below this size is poisoned;
// poisoning writes an eighth of the size in shadow memory, so a larger one,
// such as a code map that announces millions of records, is left without
// access instead, at the cost of one call.
const size_t kPoisonedBelow = 2u << 20;

std::map<void*, size_t>& Blocks() {
    static std::map<void*, size_t> Blocks;
    return Blocks;
}

size_t PageRounded(size_t size) {
    size_t page = (size_t)sysconf(_SC_PAGESIZE);
    return (size + page - 1) / page * page;
}

} // namespace

LPVOID VirtualAlloc(LPVOID lpAddress, SIZE_T dwSize, DWORD flAllocationType, DWORD flProtect) {
    if (FaultInjected(FAULT_VIRTUALALLOC)) return nullptr;
    if (lpAddress != nullptr || dwSize == 0 || flAllocationType != (MEM_RESERVE | MEM_COMMIT) ||
        flProtect != PAGE_READWRITE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    void* p = mmap(nullptr, dwSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Large blocks are walked in random order (a list linked by address);
    // huge pages spare most of the TLB misses that costs.
    if (kHugePages && dwSize >= kHugePage) madvise(p, dwSize, MADV_HUGEPAGE);
    PoisonMemory((char*)p + dwSize, PageRounded(dwSize) - dwSize);
    Blocks()[p] = dwSize;
    return p;
}

BOOL VirtualFree(LPVOID lpAddress, SIZE_T dwSize, DWORD dwFreeType) {
    auto it = Blocks().find(lpAddress);
    if (it == Blocks().end() || dwSize != 0 ||
        (dwFreeType != MEM_DECOMMIT && dwFreeType != MEM_RELEASE)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (dwFreeType == MEM_DECOMMIT) {
        // The pages go back to the system; the address range stays reserved.
        madvise(it->first, it->second, MADV_DONTNEED);
        if (it->second < kPoisonedBelow)
            PoisonMemory(it->first, it->second);
        else
            ProtectMemory(it->first, it->second);
        return TRUE;
    }
    // The range may be handed out again by the system: clear what was
    // poisoned, the whole block or the tail of its last page.
    if (it->second < kPoisonedBelow)
        UnpoisonMemory(it->first, PageRounded(it->second));
    else
        UnpoisonMemory((char*)it->first + it->second, PageRounded(it->second) - it->second);
    munmap(it->first, it->second);
    Blocks().erase(it);
    return TRUE;
}

#ifdef KORVAL_FAULT_INJECTION
size_t LiveBlocks(void) {
    return Blocks().size();
}
#endif

} // namespace korval
