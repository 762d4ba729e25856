// Results of recently encoded pieces of text, kept per thread. Text is cut
// on trial after runs of spaces, and those pieces, words with their spaces,
// repeat a lot; a piece's result depends on its bytes alone, so once
// computed it is reused as it is, and the piece is not even split into
// graphemes again.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>
#include <vector>

#include "model/types.hpp"

namespace tolvane {

// One generation of remembered pieces: an open-addressing table over an
// arena that holds, per piece, its bytes (rounded up to whole ids), the ids
// of its first and last graphemes, then its result, so a hit reads one run
// of memory.
class piece_table {
public:
    struct known {
        const token_id* ids;
        std::size_t len;
        token_id first;
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
        return h ^ (h >> 31);
    }

    bool find(std::string_view piece, std::uint64_t h, known& found) const {
        if (slots.empty()) return false;
        const std::uint32_t tag = tag_of(h);
        for (std::size_t i = h & mask;; i = (i + 1) & mask) {
            const entry& e = slots[i];
            if (e.tag == 0) return false;
            if (e.tag == tag && e.key_len == piece.size() &&
                std::memcmp(arena.data() + e.at, piece.data(), piece.size()) == 0) {
                const token_id* value = arena.data() + e.at + key_ids(e.key_len);
                found = {value + 2, e.ids_len, value[0], value[1]};
                return true;
            }
        }
    }

    // Whether `piece` with a result of `len` ids still fits.
    bool fits(std::size_t bytes, std::size_t len) const {
        return used < MAX_ENTRIES && arena.size() + key_ids(bytes) + 2 + len <= MAX_ARENA;
    }

    // `piece` must be absent and fit.
    void insert(std::string_view piece, std::uint64_t h, const known& value) {
        if ((used + 1) * 2 > slots.size()) grow();
        const std::size_t at = arena.size();
        place({tag_of(h), static_cast<std::uint32_t>(at), static_cast<std::uint16_t>(piece.size()),
               static_cast<std::uint16_t>(value.len)},
              h);
        arena.resize(at + key_ids(piece.size()) + 2 + value.len);
        std::memcpy(arena.data() + at, piece.data(), piece.size());
        token_id* stored = arena.data() + at + key_ids(piece.size());
        stored[0] = value.first;
        stored[1] = value.last;
        std::memcpy(stored + 2, value.ids, value.len * sizeof(token_id));
        ++used;
    }

    // Empty, keeping the slots it has grown to.
    void clear() {
        std::fill(slots.begin(), slots.end(), entry{});
        arena.clear();
        used = 0;
    }

private:
    // Half full at most, so probes stay short. A table starts small and
    // doubles as it fills, so a thread that encodes a little (a helper of
    // one batch) clears kilobytes, not megabytes; grown, it takes 1.5 MB of
    // slots and an arena of up to 2 MB, of which 65,536 words of English
    // with their results fill about two thirds.
    static constexpr std::size_t FIRST_SLOTS = std::size_t{1} << 10;
    static constexpr std::size_t MAX_ENTRIES = std::size_t{1} << 16;
    static constexpr std::size_t MAX_ARENA = std::size_t{1} << 20;  // ids

    // The top half of the hash (0: a free slot), where the piece starts in
    // the arena, and the sizes (a piece's bytes and result fit 16 bits).
    struct entry {
        std::uint32_t tag;
        std::uint32_t at;
        std::uint16_t key_len;
        std::uint16_t ids_len;
    };
    static std::uint32_t tag_of(std::uint64_t h) { return static_cast<std::uint32_t>(h >> 32) | 1; }
    static std::size_t key_ids(std::size_t bytes) { return (bytes + 1) / 2; }

    void place(const entry& e, std::uint64_t h) {
        std::size_t i = h & mask;
        while (slots[i].tag != 0) i = (i + 1) & mask;
        slots[i] = e;
    }

    // Twice the slots; each entry's place comes from its piece, hashed again.
    void grow() {
        std::vector<entry> before = std::move(slots);
        slots.assign(before.empty() ? FIRST_SLOTS : 2 * before.size(), entry{});
        mask = slots.size() - 1;
        for (const entry& e : before) {
            if (e.tag == 0) continue;
            const std::string_view piece{reinterpret_cast<const char*>(arena.data() + e.at), e.key_len};
            place(e, hash(piece));
        }
    }

    std::vector<entry> slots;
    std::size_t mask = 0;
    std::vector<token_id> arena;
    std::size_t used = 0;
};

class piece_cache {
public:
    static constexpr std::size_t LONGEST = 64;  // bytes; longer pieces are rare and not kept
    using known = piece_table::known;

    static std::uint64_t hash(std::string_view piece) { return piece_table::hash(piece); }

    // Forgets everything when the results come from another encoder.
    void serve(std::uint64_t encoder) {
        if (encoder == owner) return;
        join_bits = FIRST_JOIN_BITS;
        answers.assign(std::size_t{1} << join_bits, 0);
        answered = 0;
        young.clear();
        old.clear();
        owner = encoder;
    }

    // The result of `piece` (at most LONGEST bytes), valid until the next
    // find or insert.
    bool find(std::string_view piece, std::uint64_t h, known& found) {
        if (young.find(piece, h, found)) return true;
        if (!old.find(piece, h, found)) return false;
        // Still in use: kept in the young generation, so it outlives the
        // old one, unless the young is full (turning over now would drop
        // the old one and `found` with it).
        if (!young.fits(piece.size(), found.len)) return true;
        young.insert(piece, h, found);
        return young.find(piece, h, found);
    }

    void insert(std::string_view piece, std::uint64_t h, const known& value) {
        if (!young.fits(piece.size(), value.len)) turn_over();
        young.insert(piece, h, value);
    }

    // Whether two pieces join depends on four ids only (see
    // ranked_encoder::pieces_join), and the same few word edges meet again
    // and again; remembered here, direct mapped. ask() computes a missing answer.
    template <class Ask>
    bool joins(std::uint64_t edges, Ask&& ask) {
        // A slot holds the edges when they join, their complement when they
        // do not, 0 when empty; edges that would read as an empty slot are
        // not remembered.
        if (edges == 0 || edges == ~std::uint64_t{0}) return ask();
        std::uint64_t& slot = answers[answer_slot(edges)];
        if (slot == edges) return true;
        if (slot == ~edges) return false;
        const bool join = ask();
        slot = join ? edges : ~edges;
        if (++answered == answers.size() && join_bits < JOIN_BITS) grow_answers();
        return join;
    }

private:
    // Two generations: new pieces go to the young one; when it is full it
    // becomes the old one and the old one is emptied to be the young. A
    // piece found only in the old generation is copied into the young, so
    // pieces in use survive every turn and only those unused for a whole
    // generation are forgotten. The 100-byte pieces of 2 MB of English text,
    // with the joined runs of them, hold about 70,000 different ones; one
    // table of 16,384 that started over when full repeated the split and
    // the merges of three or four pieces per text. Two generations of 65,536
    // hold them all: text that repeats its words is then served from here
    // alone (100-byte pieces, whole-corpus model, callgrind per call
    // through Python, the pieces' second pass: 25.3k to 14.9k instructions,
    // 430 to 287 L1 misses). Text seen for the first time gains nothing.
    void turn_over() {
        std::swap(young, old);
        young.clear();
    }

    std::size_t answer_slot(std::uint64_t edges) const {
        return (edges * 0x9E3779B97F4A7C15ull) >> (64 - join_bits);
    }

    // As many answers as slots: twice the slots, starting empty again
    // (an answer forgotten is only asked again).
    void grow_answers() {
        answers.assign(std::size_t{1} << ++join_bits, 0);
        answered = 0;
    }

    // Up to 65,536 answers (512 KB), direct mapped, growing from 4,096 as
    // they are asked: with 16,384, the 100-byte pieces of English text asked
    // again about five edges in twelve (callgrind per call through Python:
    // 14.8k to 14.0k instructions, 253 to 245 L1 misses).
    static constexpr unsigned FIRST_JOIN_BITS = 12;
    static constexpr unsigned JOIN_BITS = 16;
    unsigned join_bits = FIRST_JOIN_BITS;
    std::size_t answered = 0;  // answers given since the table last grew
    std::vector<std::uint64_t> answers;

    piece_table young;
    piece_table old;
    std::uint64_t owner = 0;
};

}  // namespace tolvane
