#include "training/pieces.hpp"

#include <cstring>
#include <functional>

namespace tolvane {

namespace {

constexpr std::size_t FIRST_SLOTS = 1 << 12;
// Texts are copied into blocks of this size (a longer piece gets its own).
constexpr std::size_t BLOCK_BYTES = std::size_t{1} << 20;

std::uint64_t hash_of(std::string_view piece) {
    // The library's string hash, mixed once more: the slot comes from the
    // top bits and the full word tells most different pieces apart before
    // their bytes are compared.
    const std::uint64_t h = std::hash<std::string_view>{}(piece);
    return (h ^ (h >> 31)) * 0x9E3779B97F4A7C15ull;
}

// Pieces are mostly a few bytes long: comparing a word at a time inline is
// cheaper than calling the library for each (8% of counting, perf).
bool same_bytes(const char* a, const char* b, std::size_t n) {
    for (; n >= 8; a += 8, b += 8, n -= 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a, 8);
        std::memcpy(&y, b, 8);
        if (x != y) return false;
    }
    for (; n; --n)
        if (*a++ != *b++) return false;
    return true;
}

}  // namespace

piece_counts::piece_counts() : slots(FIRST_SLOTS, slot{0, 0, nullptr, 0}) {}
piece_counts::piece_counts(piece_counts&&) noexcept = default;
piece_counts& piece_counts::operator=(piece_counts&&) noexcept = default;
piece_counts::~piece_counts() = default;

const char* piece_counts::store(std::string_view piece) {
    stored_bytes += piece.size();
    if (piece.size() > BLOCK_BYTES / 4) {
        blocks.push_back(std::make_unique<char[]>(piece.size()));
        std::memcpy(blocks.back().get(), piece.data(), piece.size());
        return blocks.back().get();
    }
    if (piece.size() > block_left) {
        blocks.push_back(std::make_unique<char[]>(BLOCK_BYTES));
        block_at = blocks.back().get();
        block_left = BLOCK_BYTES;
    }
    char* at = block_at;
    std::memcpy(at, piece.data(), piece.size());
    block_at += piece.size();
    block_left -= piece.size();
    return at;
}

void piece_counts::add(std::string_view piece, std::uint64_t times) {
    if (piece.empty()) return;
    total += times;
    const std::uint64_t h = hash_of(piece);
    const std::size_t mask = slots.size() - 1;
    for (std::size_t i = h >> 20 & mask;; i = (i + 1) & mask) {
        slot& s = slots[i];
        if (!s.text) {
            s = {h, times, store(piece), piece.size()};
            // Linear probing stays short below half full; past it, double.
            if (++used * 2 > slots.size()) grow();
            return;
        }
        if (s.hash == h && s.size == piece.size() && same_bytes(s.text, piece.data(), piece.size())) {
            s.count += times;
            return;
        }
    }
}

void piece_counts::grow() {
    std::vector<slot> old(slots.size() * 2, slot{0, 0, nullptr, 0});
    old.swap(slots);
    const std::size_t mask = slots.size() - 1;
    for (const slot& s : old) {
        if (!s.text) continue;
        std::size_t i = s.hash >> 20 & mask;
        while (slots[i].text) i = (i + 1) & mask;
        slots[i] = s;
    }
}

std::size_t piece_counts::drop_below(std::uint64_t below) {
    piece_counts kept;
    for_each([&](std::string_view piece, std::uint64_t count) {
        if (count >= below) kept.add(piece, count);
    });
    const std::size_t dropped = used - kept.used;
    kept.total = total;  // what was counted stays counted, kept or not
    *this = std::move(kept);
    return dropped;
}

void piece_counts::absorb(const piece_counts& other) {
    other.for_each([&](std::string_view piece, std::uint64_t count) { add(piece, count); });
}

}  // namespace tolvane
