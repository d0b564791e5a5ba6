// Arrays from malloc, freed on every path. The library allocates without operator new: nothing
// can throw, and StartUtil.dll needs no C++ runtime of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

struct FreeDeleter {
    void operator()(void* memory) const noexcept { std::free(memory); }
};

template <typename T>
using HeapArray = std::unique_ptr<T[], FreeDeleter>;

// Room for `count` elements, or null when there is no memory for them.
template <typename T>
HeapArray<T> allocateArray(std::size_t count) noexcept {
    if (count > SIZE_MAX / sizeof(T)) return nullptr;
    return HeapArray<T>(static_cast<T*>(std::malloc(count * sizeof(T))));
}
