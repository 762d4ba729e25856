#include "encoding/short_passes.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "encoding/thread_buffer.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#include <xmmintrin.h>
#endif

namespace tolvane {

namespace {

// A sequence of n tokens lists at most 3(n - 1) pairs in all: n - 1 at
// first, and each merged occurrence, of which there are at most n - 1,
// brings at most two new ones.
constexpr std::size_t MAX_ENTRIES = 3 * SHORT_PASSES_LIMIT;
constexpr std::size_t MAX_SLOTS = std::bit_ceil(8 * SHORT_PASSES_LIMIT);

// A learned pair's rank: count << 16 | (0xFFFF - merged id). The largest is
// the highest count, then the smallest merged id; equal ranks (one merged
// id for two pairs, which only a hand-made model has) go to the smaller
// pair. That is the tie rule of pair_ops.hpp. Counts stay below 2^15.
constexpr std::int32_t ONE = 1 << 16;
static_assert(SHORT_PASSES_LIMIT < (1u << 15));

// A slot's tag: with this bit, an unlearned pair's count; without, an index
// into the learned arrays, or NOT_LISTED for a learned pair whose count fell
// to zero. Those leave the arrays, so that choosing a pair scans only pairs
// that occur (about half of the learned pairs a sentence ever lists).
constexpr std::uint16_t UNLEARNED = 0x8000;
constexpr std::uint16_t NOT_LISTED = 0x7FFF;
static_assert(MAX_ENTRIES < NOT_LISTED);

struct slot {
    std::uint32_t key;
    std::uint16_t stamp;  // the call that listed the pair; any other stamp marks a free slot
    std::uint16_t tag;
};

// Per thread, kept between calls. The index is never cleared: each call
// takes a new stamp, and only when the stamps run out are they all reset.
struct scratch {
    std::vector<slot> slots = std::vector<slot>(MAX_SLOTS, slot{0, 0, 0});
    std::uint16_t stamp = 0;
    // Room for the scan's padding to a whole block of four.
    std::vector<std::int32_t> ranks = std::vector<std::int32_t>(MAX_ENTRIES + 4);
    std::vector<std::uint32_t> keys = std::vector<std::uint32_t>(MAX_ENTRIES);
    std::vector<std::uint32_t> owners = std::vector<std::uint32_t>(MAX_ENTRIES);
    std::vector<std::uint16_t> histogram = std::vector<std::uint16_t>(SHORT_PASSES_LIMIT + 1);

    std::uint16_t next_stamp() {
        if (++stamp == 0) {
            for (slot& s : slots) s.stamp = 0;
            stamp = 1;
        }
        return stamp;
    }
};

// The largest of v[0..n), n > 0; v[n..n+2] may be overwritten.
std::int32_t largest(std::int32_t* v, std::uint32_t n) {
#if defined(__SSE2__)
    // The last block of four is filled up without a loop whose length
    // changes from one pass to the next.
    v[n] = v[n + 1] = v[n + 2] = INT32_MIN;
    auto max4 = [](__m128i a, __m128i b) {
        const __m128i gt = _mm_cmpgt_epi32(a, b);
        return _mm_or_si128(_mm_and_si128(gt, a), _mm_andnot_si128(gt, b));
    };
    __m128i m = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v));
    for (std::uint32_t i = 4; i < n; i += 4)
        m = max4(m, _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i)));
    m = max4(m, _mm_shuffle_epi32(m, 0x4E));
    m = max4(m, _mm_shuffle_epi32(m, 0xB1));
    return _mm_cvtsi128_si32(m);
#else
    return *std::max_element(v, v + n);
#endif
}

// The first i with v[i] == value, which must be there, after largest(v, n)
// padded v; value must be above INT32_MIN.
std::uint32_t first_at(const std::int32_t* v, std::int32_t value) {
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi32(value);
    for (std::uint32_t i = 0;; i += 4) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        if (const int hits = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(block, want))))
            return i + static_cast<std::uint32_t>(std::countr_zero(static_cast<unsigned>(hits)));
    }
#else
    std::uint32_t i = 0;
    while (v[i] != value) ++i;
    return i;
#endif
}

// The i with v[i] == value and the smallest keys[i], after largest(v, n)
// padded v; value must be above INT32_MIN and be there.
std::uint32_t smallest_key_at(const std::int32_t* v, const std::uint32_t* keys, std::uint32_t n,
                              std::int32_t value) {
    std::uint32_t at = 0;
    std::uint32_t key = UINT32_MAX;
    auto consider = [&](std::uint32_t i) {
        if (keys[i] < key) {
            key = keys[i];
            at = i;
        }
    };
#if defined(__SSE2__)
    const __m128i want = _mm_set1_epi32(value);
    for (std::uint32_t i = 0; i < n; i += 4) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i));
        for (auto hits = static_cast<unsigned>(_mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(block, want))));
             hits != 0; hits &= hits - 1)
            consider(i + static_cast<std::uint32_t>(std::countr_zero(hits)));
    }
#else
    for (std::uint32_t i = 0; i < n; ++i)
        if (v[i] == value) consider(i);
#endif
    return at;
}

// The merged id of a pair key, or pair_map::EMPTY: from the model's own
// table, or from the lookup an encode_index keeps. `unique`: no two learned
// pairs share a merged id, so no two listed pairs share a rank.
struct table_lookup {
    const merge_table& merges;
    std::uint32_t operator()(std::uint32_t key) const {
        const token_id* m = find_merge(merges, pair_from_key(key));
        return m ? *m : pair_map::EMPTY;
    }
    bool unique() const { return false; }
};
struct index_lookup {
    const merge_lookup& merged_of;
    std::uint32_t operator()(std::uint32_t key) const { return merged_of.find(key); }
    bool unique() const { return merged_of.merged_ids_unique(); }
};

template <class Lookup>
class passes {
public:
    // `tokens` holds the sequence and SHORT_PASSES_SLACK ids more.
    passes(token_sequence& tokens, std::size_t length, Lookup lookup, scratch& s)
        : seq{tokens.data()},
          n{length},
          merged_id{lookup},
          unique_ranks{lookup.unique()},
          slots{s.slots.data()},
          ranks{s.ranks.data()},
          keys{s.keys.data()},
          owners{s.owners.data()},
          histogram{s.histogram.data()},
          stamp{s.next_stamp()} {
        const std::size_t capacity = std::bit_ceil(std::max<std::size_t>(64, 8 * n));
        mask = static_cast<std::uint32_t>(capacity - 1);
        shift = 64 - static_cast<unsigned>(std::countr_zero(capacity));
        std::fill_n(histogram, n + 1, 0);
        for (std::size_t i = 0; i + 1 < n; ++i) add(pair_key({seq[i], seq[i + 1]}));
    }

    std::size_t length() const { return n; }

    void run() {
        // Every listed learned pair occurs, so an empty list means none is
        // left (or fewer than two tokens are).
        while (learned_size > 0) {
            // Pick: the best learned pair, unless an unlearned pair is more frequent.
            const std::int32_t best = largest(ranks, learned_size);
            const auto count = static_cast<std::uint32_t>(best >> 16);
            while (top > 0 && histogram[top] == 0) --top;
            if (count < top) return;
            const std::uint32_t e = unique_ranks ? first_at(ranks, best)
                                                 : smallest_key_at(ranks, keys, learned_size, best);
            merge(pair_from_key(keys[e]), static_cast<token_id>(0xFFFF - (best & 0xFFFF)), slots[owners[e]]);
        }
    }

private:
    // One more occurrence of the pair `key`; a pair new to this call is
    // listed, learned or not, at count one.
    void add(std::uint32_t key) {
        std::uint32_t i = static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> shift);
        for (;; i = (i + 1) & mask) {
            slot& s = slots[i];
            if (s.stamp != stamp) return list(s, i, key);
            if (s.key == key) break;
        }
        slot& s = slots[i];
        if (s.tag & UNLEARNED) {
            const std::uint32_t c = s.tag & ~UNLEARNED;
            --histogram[c];
            ++histogram[c + 1];
            if (c + 1 > top) top = c + 1;
            ++s.tag;
        } else if (s.tag == NOT_LISTED) {
            enter(s, i, merged_id(key));
        } else {
            ranks[s.tag] += ONE;
        }
    }

    void list(slot& s, std::uint32_t at, std::uint32_t key) {
        s.key = key;
        s.stamp = stamp;
        if (const std::uint32_t merged = merged_id(key); merged != pair_map::EMPTY) {
            enter(s, at, merged);
        } else {
            ++histogram[1];
            if (top == 0) top = 1;
            s.tag = UNLEARNED | 1;
        }
    }

    // A learned pair into the arrays, at count one.
    void enter(slot& s, std::uint32_t at, std::uint32_t merged) {
        const std::uint32_t e = learned_size++;
        ranks[e] = static_cast<std::int32_t>(ONE + 0xFFFF - merged);
        keys[e] = s.key;
        owners[e] = at;
        s.tag = static_cast<std::uint16_t>(e);
    }

    // A learned pair out of the arrays, the last entry moving into its place.
    void leave(slot& s) {
        const std::uint32_t e = s.tag;
        const std::uint32_t last = --learned_size;
        if (e != last) {
            ranks[e] = ranks[last];
            keys[e] = keys[last];
            owners[e] = owners[last];
            slots[owners[e]].tag = static_cast<std::uint16_t>(e);
        }
        s.tag = NOT_LISTED;
    }

    // One occurrence fewer of the pair `key`, which occurs, so is listed.
    void drop(std::uint32_t key) {
        std::uint32_t i = static_cast<std::uint32_t>((key * 0x9E3779B97F4A7C15ull) >> shift);
        while (slots[i].key != key || slots[i].stamp != stamp) i = (i + 1) & mask;
        slot& s = slots[i];
        if (s.tag & UNLEARNED) {
            const std::uint32_t c = s.tag & ~UNLEARNED;
            --histogram[c];
            ++histogram[c - 1];
            --s.tag;
        } else {
            drop_learned(s, 1);
        }
    }

    void drop_learned(slot& s, std::uint32_t by) {
        ranks[s.tag] -= static_cast<std::int32_t>(by) * ONE;
        if (ranks[s.tag] < ONE) leave(s);
    }

    // The first occurrence of `pair` at or after `from`, or the length.
    std::size_t find(token_pair pair, std::size_t from) const {
        const token_id* data = seq;
#if defined(__SSE2__)
        // Eight positions at a time: the left ids and, one further on, the
        // right ids. Blocks run into the slack past the end, where whatever
        // lies (zeros, or ids a merge left behind) is no occurrence.
        const __m128i left = _mm_set1_epi16(static_cast<short>(pair.left));
        const __m128i right = _mm_set1_epi16(static_cast<short>(pair.right));
        for (std::size_t i = from; i + 1 < n; i += 8) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i + 1));
            const int hits = _mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi16(a, left), _mm_cmpeq_epi16(b, right)));
            if (hits) {
                const std::size_t at = i + static_cast<std::size_t>(std::countr_zero(static_cast<unsigned>(hits))) / 2;
                return at + 1 < n ? at : n;
            }
        }
#else
        for (std::size_t i = from; i + 1 < n; ++i)
            if (data[i] == pair.left && data[i + 1] == pair.right) return i;
#endif
        return n;
    }

    // seq[from..from+count) to seq[to..), to < from, in blocks of eight:
    // each block is read before any write reaches it. The last block may
    // run past the end into the next occurrence, not read yet, which is
    // kept aside and put back (the slack leaves room for it).
    void move_down(std::size_t to, std::size_t from, std::size_t count) {
        token_id* data = seq;
#if defined(__SSE2__)
        const __m128i kept = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from + count));
        for (std::size_t k = 0; k < count; k += 8)
            _mm_storeu_si128(reinterpret_cast<__m128i*>(data + to + k),
                             _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from + k)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(data + from + count), kept);
#else
        std::memmove(data + to, data + from, count * sizeof(token_id));
#endif
    }

    // replace_pair in place: the write index never passes the read index,
    // and a position is read before anything is written over it. Counts
    // change only around an occurrence: the pairs it broke (the one on its
    // left unless an occurrence just ended there, itself, the one on its
    // right) go, and every new adjacent pair that holds the merged token
    // comes, each counted once. Between occurrences the tokens move as one block.
    void merge(token_pair pair, token_id merged, slot& listed) {
        std::size_t r = find(pair, 0);
        std::size_t w = r;
        std::uint32_t occurrences = 0;
        while (r < n) {
            // seq[r], seq[r + 1] is an occurrence; seq[r - 1] is still as read.
            if (r > 0 && w == r) drop(pair_key({seq[r - 1], pair.left}));
            ++occurrences;
            if (r + 2 < n) drop(pair_key({pair.right, seq[r + 2]}));
            if (w > 0) add(pair_key({seq[w - 1], merged}));
            seq[w++] = merged;
            r += 2;
            const std::size_t next = find(pair, r);
            if (next == r) continue;  // back to back: the pair between them is gone already
            if (r < n) add(pair_key({merged, seq[r]}));
            if (next < n) drop(pair_key({seq[next - 1], pair.left}));
            move_down(w, r, next - r);
            w += next - r;
            r = next;
        }
        drop_learned(listed, occurrences);
        n = w;
    }

    token_id* seq;
    std::size_t n;  // the sequence's length; seq holds slack beyond it
    Lookup merged_id;
    bool unique_ranks;
    slot* slots;
    // The learned pairs that occur, by entry: rank, pair key, slot.
    std::int32_t* ranks;
    std::uint32_t* keys;
    std::uint32_t* owners;
    std::uint16_t* histogram;  // unlearned pairs by count
    std::uint16_t stamp;
    std::uint32_t mask = 0;
    unsigned shift = 0;
    std::uint32_t learned_size = 0;
    std::uint32_t top = 0;  // no unlearned pair counts more; lowered lazily
};

}  // namespace

void short_merge_passes(token_sequence& tokens, const merge_table& merges, const merge_lookup* merged_of) {
    if (tokens.size() < 2 || merges.empty()) return;
    scratch& local = thread_buffer<scratch>();
    const std::size_t n = tokens.size();
    tokens.resize(n + SHORT_PASSES_SLACK);
    std::size_t length;
    if (merged_of) {
        passes<index_lookup> p{tokens, n, index_lookup{*merged_of}, local};
        p.run();
        length = p.length();
    } else {
        passes<table_lookup> p{tokens, n, table_lookup{merges}, local};
        p.run();
        length = p.length();
    }
    tokens.resize(length);
}

}  // namespace tolvane
