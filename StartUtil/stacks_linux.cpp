#include "stacks_linux.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>

namespace {

// Each of the two processes that share the caller's memory runs on a stack of its own, with an
// inaccessible page below it, so that an overflow faults instead of writing into the JVM's heap.
constexpr std::size_t kStackSize = std::size_t{32} * 1024;

// Guarded stack mappings kept for later launches. Mapping, protecting and unmapping them cost
// a launch more than the rest of the caller's own work (fresh page faults, and a TLB shootdown
// on every munmap), so a few are kept in slots that every thread shares, taken and given back
// with atomic exchanges: no lock, and a launch that finds every slot empty maps one of its own.
// A mapping goes back only once no process of its launch can run on it (runPlan waits for
// both), and one that finds every slot full is unmapped. The mappings stay until the library
// is unloaded: a few pages each, touched already, so a launch takes no page fault on them.
constexpr std::size_t kCachedMappings = 4;
std::atomic<char*> cachedStacks[kCachedMappings];

// One mapping that holds the stack block: the first block boundary with room
// below it for both stacks and their guard pages is the block's top.
struct StackLayout {
    std::size_t page;
    std::size_t stackSize;
    std::size_t mappingSize;
};

StackLayout stackLayout() {
    auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    std::size_t stackSize = (kStackSize + page - 1) / page * page;
    return {page, stackSize, 2 * (page + stackSize) + kStackBlock};
}

// Where each process's stack ends within a mapping: the program's at the block's top, the
// intermediate's below the program's stack and its guard page. Everything else is inaccessible.
struct StackTops {
    char* program;
    char* intermediate;
};

StackTops stackTops(char* mapping, const StackLayout& layout) {
    auto base = reinterpret_cast<std::uintptr_t>(mapping);
    std::uintptr_t lowest = base + 2 * (layout.page + layout.stackSize);
    std::uintptr_t top = ((lowest - 1) | (kStackBlock - 1)) + 1;
    char* program = mapping + (top - base);
    return {program, program - layout.stackSize - layout.page};
}

char* takeCachedStacks() {
    for (std::atomic<char*>& slot : cachedStacks) {
        if (slot.load(std::memory_order_relaxed) == nullptr) continue;
        if (char* mapping = slot.exchange(nullptr, std::memory_order_acquire)) return mapping;
    }
    return nullptr;
}

// The library is being unloaded (a JVM does so when the class loader that loaded it is
// collected) or the process is exiting: the kept mappings go back. Only those in the slots, which
// no launch holds, so a call still running in another thread of an exiting process keeps its own.
__attribute__((destructor)) void releaseCachedStacks() {
    std::size_t size = stackLayout().mappingSize;
    for (std::atomic<char*>& slot : cachedStacks) {
        if (char* mapping = slot.exchange(nullptr, std::memory_order_acquire))
            munmap(mapping, size);
    }
}

char* mapNewStacks(const StackLayout& layout) {
    void* mapping = mmap(nullptr, layout.mappingSize, PROT_NONE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (mapping == MAP_FAILED) return nullptr;
    auto* stacks = static_cast<char*>(mapping);
    auto usable = [&layout](char* top) {
        return mprotect(top - layout.stackSize, layout.stackSize, PROT_READ | PROT_WRITE) == 0;
    };
    StackTops tops = stackTops(stacks, layout);
    if (!usable(tops.intermediate) || !usable(tops.program)) {
        munmap(stacks, layout.mappingSize);
        return nullptr;
    }
    return stacks;
}

}  // namespace

// Two stacks in one mapping, each above a page that no access may touch; the owner's address
// at the top of the block that holds them.
bool takeStacks(GuardedStacks& stacks, void* owner) noexcept {
    StackLayout layout = stackLayout();
    stacks.mapping = takeCachedStacks();
    if (stacks.mapping == nullptr) stacks.mapping = mapNewStacks(layout);
    if (stacks.mapping == nullptr) return false;
    StackTops tops = stackTops(stacks.mapping, layout);
    stacks.intermediateTop = tops.intermediate;
    stacks.programTop = tops.program - kOwnerSlot;
    *reinterpret_cast<void**>(stacks.programTop) = owner;
    return true;
}

void giveBackStacks(char* mapping) noexcept {
    for (std::atomic<char*>& slot : cachedStacks) {
        char* empty = nullptr;
        if (slot.compare_exchange_strong(empty, mapping, std::memory_order_release,
                                         std::memory_order_relaxed)) {
            return;
        }
    }
    munmap(mapping, stackLayout().mappingSize);
}
