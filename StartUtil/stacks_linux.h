// The guarded stacks the intermediate and the program's process run on in the caller's memory:
// their layout, the cache that keeps them for later launches, and how a signal handler on one of
// them finds the launch it belongs to.
#pragma once

#include <cstddef>
#include <cstdint>

// Both processes run on stacks in one block of this size and alignment, whose top word holds
// the launch's owner (its plan): their signal handler finds it from its own stack pointer alone.
// The program's stack is at the top, the intermediate's below it, each above a guard page: room
// for both with pages of up to 64 KiB.
constexpr std::size_t kStackBlock = std::size_t{256} * 1024;
// The top bytes of that block, which hold the owner's address; the program's stack starts below
// them, as aligned as every ABI asks.
constexpr std::size_t kOwnerSlot = 16;

// One launch's stacks: the mapping that holds them and where each process's stack starts.
struct GuardedStacks {
    char* mapping;
    char* intermediateTop;
    char* programTop;  // below the owner's address at the top of the block
};

// Stacks for a launch, from the cache or newly mapped, with `owner` written at the block's top;
// false when there is no memory for them.
bool takeStacks(GuardedStacks& stacks, void* owner) noexcept;

// Gives a mapping back to the cache once no process of its launch can run on it any more.
void giveBackStacks(char* mapping) noexcept;

// The owner written at the top of the block that holds `frame`, an address on either stack.
// Inline: the pre-exec signal handler calls it and may call nothing outside its own object.
inline void* ownerOfFrame(const void* frame) {
    std::size_t belowTop = kStackBlock - (reinterpret_cast<std::uintptr_t>(frame) % kStackBlock);
    const char* top = static_cast<const char*>(frame) + belowTop;
    return *reinterpret_cast<void* const*>(top - kOwnerSlot);
}
