// An allocator for the engine's large arrays: blocks of a few megabytes and
// up come straight from the system on 2 MB boundaries, marked for huge pages.
//
// Learning from a chunk reads the sequence and the pair entries at positions
// spread over tens of megabytes. With 4 KB pages nearly every such read also
// misses the address translation cache, and on a virtual machine each of
// those misses walks two sets of page tables. Huge pages cover the arrays
// with a few dozen entries. Where the system declines them (transparent huge
// pages off) the memory is ordinary memory and nothing else changes.
#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

namespace tolvane {

inline constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

void* allocate_pages(std::size_t bytes);
void release_pages(void* at, std::size_t bytes) noexcept;
// Bytes mapped by allocate_pages and not yet released, in all threads: the
// allocator's own heap statistics do not see them.
std::size_t pages_in_use() noexcept;

template <class T>
struct page_allocator {
    using value_type = T;

    page_allocator() = default;
    template <class U>
    page_allocator(const page_allocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length{};
        return static_cast<T*>(allocate_pages(n * sizeof(T)));
    }
    void deallocate(T* at, std::size_t n) noexcept { release_pages(at, n * sizeof(T)); }

    template <class U>
    bool operator==(const page_allocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace tolvane
