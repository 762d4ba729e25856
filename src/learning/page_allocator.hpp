// An allocator for the engine's large arrays: blocks of a few megabytes and
// up come straight from the system, and go straight back.
//
// Room reserved in such a block costs no memory until it is touched, so the
// engine can reserve what a chunk may need up front instead of growing its
// arrays by copying, which held the old and the new copy at once (the peak of
// training a whole corpus fell from 97 to 81 MiB). And a freed block does not
// stay in the allocator's heap, where it would move the heap's own limits
// for every later allocation of the process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

namespace tolvane {

void* allocate_pages(std::size_t bytes);
void release_pages(void* at, std::size_t bytes) noexcept;
// Maps in the pages of [at, at + bytes) that the caller is about to write.
void populate_pages(void* at, std::size_t bytes) noexcept;
// Asks for huge pages where [at, at + bytes) holds whole ones (see the .cpp).
void prefer_huge_pages(void* at, std::size_t bytes) noexcept;
// Gives the whole pages inside [at, at + bytes) back to the system; they
// read as zero when next touched.
void discard_pages(void* at, std::size_t bytes) noexcept;

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

    // resize() leaves new elements default-initialised: every array of the
    // engine is written before it is read, and clearing 36 MB of a chunk's
    // positions only to overwrite them was a pass over memory for nothing.
    template <class U>
    void construct(U* at) noexcept(std::is_nothrow_default_constructible_v<U>) {
        ::new (static_cast<void*>(at)) U;
    }
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }

    template <class U>
    bool operator==(const page_allocator<U>&) const noexcept {
        return true;
    }
};

}  // namespace tolvane
