#include "model/page_allocator.hpp"

#include <atomic>
#include <cstdint>

namespace tolvane {

namespace {

// Below this a block is an ordinary allocation: huge pages pay off only for
// arrays that span several of them.
constexpr std::size_t PAGED_FROM = 2 * HUGE_PAGE;

std::atomic<std::size_t> mapped{0};

std::size_t mapped_size(std::size_t bytes) { return (bytes + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE; }

}  // namespace

void* allocate_pages(std::size_t bytes) {
    if (bytes < PAGED_FROM) {
        void* at = std::malloc(bytes ? bytes : 1);
        if (!at) throw std::bad_alloc{};
        return at;
    }
    // Mapped with a huge page to spare, then cut to a 2 MB boundary: the
    // kernel gives huge pages only to aligned ranges.
    const std::size_t size = mapped_size(bytes);
    void* raw = ::mmap(nullptr, size + HUGE_PAGE, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (raw == MAP_FAILED) throw std::bad_alloc{};
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) / HUGE_PAGE * HUGE_PAGE;
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t tail = start + size + HUGE_PAGE - (aligned + size);
    if (tail) ::munmap(reinterpret_cast<void*>(aligned + size), tail);
    ::madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);
    mapped.fetch_add(size, std::memory_order_relaxed);
    return reinterpret_cast<void*>(aligned);
}

void release_pages(void* at, std::size_t bytes) noexcept {
    if (bytes < PAGED_FROM) {
        std::free(at);
        return;
    }
    ::munmap(at, mapped_size(bytes));
    mapped.fetch_sub(mapped_size(bytes), std::memory_order_relaxed);
}

std::size_t pages_in_use() noexcept { return mapped.load(std::memory_order_relaxed); }

}  // namespace tolvane
