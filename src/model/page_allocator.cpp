#include "model/page_allocator.hpp"

#include <sys/mman.h>

#include <cstdlib>

namespace tolvane {

namespace {

// Below this a block is an ordinary allocation: the system's own calls cost
// more than they save for small arrays.
constexpr std::size_t MAPPED_FROM = std::size_t{4} << 20;

}  // namespace

// Huge pages were tried for these blocks and dropped: they saved faults on
// a warm machine, but on a virtual machine whose free memory goes back to
// its host every fresh 2 MB page also cost a fault on the host, and one
// chunk's training took a fifth longer from a cold start.
void* allocate_pages(std::size_t bytes) {
    if (bytes < MAPPED_FROM) {
        void* at = std::malloc(bytes ? bytes : 1);
        if (!at) throw std::bad_alloc{};
        return at;
    }
    void* at = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED) throw std::bad_alloc{};
    return at;
}

void release_pages(void* at, std::size_t bytes) noexcept {
    if (bytes < MAPPED_FROM) {
        std::free(at);
        return;
    }
    ::munmap(at, bytes);
}

}  // namespace tolvane
