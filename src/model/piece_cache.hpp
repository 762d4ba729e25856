// Results of recently encoded pieces of text, kept per thread. Text is cut
// on trial after runs of spaces, and those pieces, words with their spaces,
// repeat a lot; a piece's result depends on its bytes alone, so once
// computed it is reused as it is, and the piece is not even split into
// graphemes again.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "model/types.hpp"

namespace tolvane {

class piece_cache {
public:
    static constexpr std::size_t LONGEST = 64;  // bytes; longer pieces are rare and not kept

    struct entry {
        std::uint64_t hash;  // 0: a free slot
        std::uint32_t key_at;
        std::uint32_t ids_at;
        std::uint16_t key_len;
        std::uint16_t ids_len;
        token_id first;  // the ids of the piece's first and last graphemes
        token_id last;
    };

    static std::uint64_t hash(std::string_view piece) {
        std::uint64_t h = piece.size();
        std::size_t i = 0;
        for (; i + 8 <= piece.size(); i += 8) {
            std::uint64_t word;
            std::memcpy(&word, piece.data() + i, 8);
            h = (h ^ word) * 0x9E3779B97F4A7C15ull;
        }
        for (; i < piece.size(); ++i) h = (h ^ static_cast<unsigned char>(piece[i])) * 0x9E3779B97F4A7C15ull;
        return (h ^ (h >> 31)) | 1;
    }

    // Forgets everything when the results come from another encoder.
    void serve(std::uint64_t encoder) {
        if (encoder != owner) clear(encoder);
    }

    const entry* find(std::string_view piece, std::uint64_t h) const {
        if (slots.empty()) return nullptr;
        for (std::size_t i = h & MASK;; i = (i + 1) & MASK) {
            const entry& e = slots[i];
            if (e.hash == 0) return nullptr;
            if (e.hash == h && e.key_len == piece.size() &&
                std::memcmp(keys.data() + e.key_at, piece.data(), piece.size()) == 0)
                return &e;
        }
    }
    const token_id* ids_of(const entry& e) const { return ids.data() + e.ids_at; }

    // Whether two pieces join depends on four ids only (see
    // ranked_encoder::pieces_join), and the same few word edges meet again
    // and again; remembered here, direct mapped. ask() computes a missing answer.
    template <class Ask>
    bool joins(std::uint64_t edges, Ask&& ask) {
        join_answer& a = answers[(edges * 0x9E3779B97F4A7C15ull) >> (64 - JOIN_BITS)];
        if (a.known && a.edges == edges) return a.join;
        a = {edges, true, ask()};
        return a.join;
    }

    void insert(std::string_view piece, std::uint64_t h, const token_id* result, std::size_t len,
                token_id first, token_id last) {
        if (used >= MAX_ENTRIES || keys.size() + piece.size() > MAX_BYTES ||
            ids.size() + len > MAX_IDS || slots.empty())
            clear(owner);
        std::size_t i = h & MASK;
        while (slots[i].hash != 0) i = (i + 1) & MASK;
        slots[i] = {h, static_cast<std::uint32_t>(keys.size()), static_cast<std::uint32_t>(ids.size()),
                    static_cast<std::uint16_t>(piece.size()), static_cast<std::uint16_t>(len), first, last};
        keys.append(piece);
        ids.insert(ids.end(), result, result + len);
        ++used;
    }

private:
    // Half full at most, so probes stay short; about 2 MB when full. Starting
    // over when full is crude, but text that repeats refills it at once.
    static constexpr std::size_t SLOTS = std::size_t{1} << 15;
    static constexpr std::size_t MASK = SLOTS - 1;
    static constexpr std::size_t MAX_ENTRIES = SLOTS / 2;
    static constexpr std::size_t MAX_BYTES = std::size_t{1} << 19;
    static constexpr std::size_t MAX_IDS = std::size_t{1} << 18;

    void clear(std::uint64_t encoder) {
        if (encoder != owner) answers.assign(std::size_t{1} << JOIN_BITS, join_answer{});
        slots.assign(SLOTS, entry{});
        keys.clear();
        ids.clear();
        used = 0;
        owner = encoder;
    }

    // 16,384 answers (256 KB): with a quarter of that, text of many different
    // words kept asking the same questions again.
    static constexpr unsigned JOIN_BITS = 14;
    struct join_answer {
        std::uint64_t edges = 0;
        bool known = false;
        bool join = false;
    };

    std::vector<join_answer> answers;
    std::vector<entry> slots;
    std::string keys;
    std::vector<token_id> ids;
    std::size_t used = 0;
    std::uint64_t owner = 0;
};

}  // namespace tolvane
