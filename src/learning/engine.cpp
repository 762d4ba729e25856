// The pair engine's set-up: the first count of the sequence into entries,
// blocks and heap, and what it hands back (take, and the checks' views).
#include "learning/engine.hpp"

#include <algorithm>
#include <exception>
#include <thread>

#include "learning/engine_internal.hpp"
#include "model/failure.hpp"

namespace tolvane {

pair_engine::pair_engine(token_sequence tokens, const merge_table& merges_in, spare_arrays* spare_in)
    : spare{spare_in},
      merges{&merges_in},
      known_merges{merges_in.size()},
      live{tokens.size()},
      // Distinct pairs are far fewer than positions in real text; the map
      // doubles when a sequence has more.
      index{std::min<std::size_t>(tokens.size(), 1 << 15)} {
    // Positions and list links are 32 bits; the two top values are markers.
    if (tokens.size() >= REMOVED) fail("Token sequence too long to merge");
    const auto n = static_cast<std::uint32_t>(tokens.size());
    if (spare) {
        seq = std::move(spare->seq);
        pool = std::move(spare->pool);
        entries = std::move(spare->entries);
        seq.clear();
        pool.clear();
        entries.clear();
    }

    // Room reserved, not touched: the large arrays come straight from the
    // system, where untouched room costs no memory, and growing them by
    // copying cost a whole corpus's training 5% in copies (perf).
    // The pool holds the first count's n - 1 positions, then the added
    // lists, which a 3 MB chunk of English grows to 1.13 words a position:
    // three words a position leave room for both without a copy, which
    // would hold both copies at the peak.
    if (n > OWN_MERGE_IDS_FROM) entries.reserve(n / 4);
    pool.reserve(std::size_t{3} * n);
    // The one full count; every later change is a delta. The block is
    // filled by counting sort, so each pair's positions come out ascending.
    seq.resize(n);
    prefer_huge_pages(seq.data(), n * sizeof(node));
    if (n >= split_first_count_from && n >= 4) {
        first_count_in_halves(tokens);
    } else if (n >= 2) {
        populate_pages(seq.data(), n * sizeof(node));
        count_first_pairs(tokens);
        size_pool();
        populate_pages(pool.data(), (n - 1) * sizeof(std::uint32_t));
        place_blocks();
        // The links are set on the way: one pass over the positions, not two.
        for (std::uint32_t i = 0; i + 1 < n; ++i) {
            node& at = seq[i];
            at.link = i + 1;
            pair_entry& entry = entries[at.pair];
            pool[entry.block_at + entry.block_size++] = i;
        }
    }
    // The added lists' blocks start at multiples of BLOCK_SIZE.
    if (n >= 2) pool_used = (n - 1 + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE;
    if (n) {
        seq[n - 1].link = NONE;
        seq[n - 1].pair = NONE;
        last_token = tokens[n - 1];
    }
    // Every token is a half of some pair, or the only one.
    token_id highest = last_token;
    for (const pair_entry& entry : entries)
        highest = std::max({highest, static_cast<token_id>(entry.key >> 16), static_cast<token_id>(entry.key & 0xFFFF)});
    made_after.assign(std::size_t{highest} + 1, NONE);
    made_before.assign(std::size_t{highest} + 1, NONE);
    appeared.assign(std::size_t{highest} + 1, 0);
    for (const pair_entry& entry : entries) {
        appeared[entry.key >> 16] = 1;
        appeared[entry.key & 0xFFFF] = 1;
    }
    if (n) appeared[last_token] = 1;

    own_merge_ids = n > OWN_MERGE_IDS_FROM;
    load_merge_ids();
    fill_heap();
}

// The pool's first part, one word for each position that starts a pair;
// its pages are the caller's to populate.
void pair_engine::size_pool() {
    pool.resize(seq.size() - 1);
    prefer_huge_pages(pool.data(), pool.capacity() * sizeof(std::uint32_t));
}

// Gives each pair its stretch of the first-count block, by its count.
void pair_engine::place_blocks() {
    std::uint32_t offset = 0;
    for (pair_entry& entry : entries) {
        entry.block_at = offset;
        offset += entry.count;
    }
}

// The first count of a long sequence, on two threads: each half of the
// positions is counted on its own, the entries are made from both counts
// in between, and each half then fills its part of every pair's block, the
// first half's positions before the second's, so each block comes out
// ascending as from the one pass. The entries come out in another order
// than one pass makes them, which no choice depends on: the heap orders
// pairs by count and tie rank alone. It was a sixth of training a corpus.
void pair_engine::first_count_in_halves(const token_sequence& tokens) {
    constexpr std::uint32_t DIRECT_IDS = 256;
    const auto starts = static_cast<std::uint32_t>(tokens.size() - 1);  // positions that start a pair
    const std::uint32_t middle = starts / 2;
    struct half_counts {
        std::vector<std::uint32_t> direct = std::vector<std::uint32_t>(DIRECT_IDS * DIRECT_IDS, 0);
        std::vector<std::uint32_t> others;  // keys with an id past the direct table
    };
    // Each half first maps its own part of the positions and of the pool,
    // so the kernel clears the pages of both parts at once: run from a cold
    // start, clearing fresh pages was two fifths of a chunk's samples (perf).
    size_pool();
    // Both halves leave each position's pair key in seq[i].pair for now.
    auto count = [&](half_counts& half, std::uint32_t from, std::uint32_t to) {
        const std::uint32_t end = to == starts ? to + 1 : to;
        populate_pages(seq.data() + from, (end - from) * sizeof(node));
        populate_pages(pool.data() + from, (to - from) * sizeof(std::uint32_t));
        for (std::uint32_t i = from; i < to; ++i) {
            const token_id a = tokens[i], b = tokens[i + 1];
            const std::uint32_t key = pair_key({a, b});
            seq[i].pair = key;
            if (a < DIRECT_IDS && b < DIRECT_IDS)
                ++half.direct[a * DIRECT_IDS + b];
            else
                half.others.push_back(key);
        }
    };
    half_counts low, high;
    in_two_halves([&] { count(low, 0, middle); }, [&] { count(high, middle, starts); });

    std::vector<std::uint32_t> direct_entry(DIRECT_IDS * DIRECT_IDS, NONE);
    for (std::uint32_t slot = 0; slot < DIRECT_IDS * DIRECT_IDS; ++slot) {
        if (low.direct[slot] + high.direct[slot] == 0) continue;
        const std::uint32_t e =
            entry_for(pair_key({static_cast<token_id>(slot / DIRECT_IDS), static_cast<token_id>(slot % DIRECT_IDS)}));
        entries[e].count = low.direct[slot] + high.direct[slot];
        direct_entry[slot] = e;
    }
    for (const half_counts* half : {&low, &high})
        for (std::uint32_t key : half->others) ++entries[entry_for(key)].count;
    // By entry: its occurrences in the first half.
    std::vector<std::uint32_t> low_count(entries.size(), 0);
    for (std::uint32_t slot = 0; slot < DIRECT_IDS * DIRECT_IDS; ++slot)
        if (direct_entry[slot] != NONE) low_count[direct_entry[slot]] = low.direct[slot];
    for (std::uint32_t key : low.others) ++low_count[index.find(key)];
    place_blocks();

    auto fill = [&](std::uint32_t from, std::uint32_t to, bool second) {
        std::vector<std::uint32_t> next(entries.size());
        for (std::uint32_t e = 0; e < entries.size(); ++e)
            next[e] = entries[e].block_at + (second ? low_count[e] : 0);
        for (std::uint32_t i = from; i < to; ++i) {
            node& at = seq[i];
            const std::uint32_t key = at.pair;
            const std::uint32_t a = key >> 16, b = key & 0xFFFF;
            const std::uint32_t e = a < DIRECT_IDS && b < DIRECT_IDS ? direct_entry[a * DIRECT_IDS + b] : index.find(key);
            at.pair = e;
            at.link = i + 1;
            pool[next[e]++] = i;
        }
    };
    in_two_halves([&] { fill(0, middle, false); }, [&] { fill(middle, starts, true); });
    for (pair_entry& entry : entries) entry.block_size = entry.count;
}

// Runs `first` here and `second` on a thread of its own, and returns once
// both are done; a failure in either is thrown here.
template <class First, class Second>
void pair_engine::in_two_halves(First&& first, Second&& second) {
    std::exception_ptr failed_there;
    {
        std::jthread there{[&] {
            try {
                second();
            } catch (...) {
                failed_there = std::current_exception();
            }
        }};
        first();
    }
    if (failed_there) std::rethrow_exception(failed_there);
}

// Counts the pairs of `tokens` into their entries and leaves each
// position's entry in seq[i].pair. Most pairs of a chunk join two of its
// first few hundred graphemes: those find their entry in a direct table by
// both ids, and only the rest are hashed. With the entries kept in seq
// this took the engine's set-up for a 3 MB chunk of English from 258 to 182
// million instructions (callgrind).
void pair_engine::count_first_pairs(const token_sequence& tokens) {
    constexpr std::uint32_t DIRECT_IDS = 256;
    const auto n = static_cast<std::uint32_t>(tokens.size());
    // The table costs a quarter megabyte to clear: worth it only where
    // there are more positions than table slots.
    if (n <= DIRECT_IDS * DIRECT_IDS) {
        for (std::uint32_t i = 0; i + 1 < n; ++i) {
            const std::uint32_t e = entry_for(pair_key({tokens[i], tokens[i + 1]}));
            seq[i].pair = e;
            ++entries[e].count;
        }
        return;
    }
    std::vector<std::uint32_t> direct(DIRECT_IDS * DIRECT_IDS, NONE);
    for (std::uint32_t i = 0; i + 1 < n; ++i) {
        const token_id a = tokens[i], b = tokens[i + 1];
        std::uint32_t e;
        if (a < DIRECT_IDS && b < DIRECT_IDS) {
            std::uint32_t& slot = direct[a * DIRECT_IDS + b];
            if (slot == NONE) slot = entry_for(pair_key({a, b}));
            e = slot;
        } else {
            e = entry_for(pair_key({a, b}));
        }
        seq[i].pair = e;
        ++entries[e].count;
    }
}

void pair_engine::load_merge_ids() {
    if (!own_merge_ids) return;
    merge_ids.clear();
    bool inserted = false;
    for (const auto& [pair, id] : *merges) merge_ids.find_or_insert(pair_key(pair), id, inserted);
}

std::uint32_t pair_engine::entry_for(std::uint32_t key) {
    bool inserted = false;
    std::uint32_t e = index.find_or_insert(key, static_cast<std::uint32_t>(entries.size()), inserted);
    if (inserted) add_entry(key);
    return e;
}

// A pair with no occurrences yet, not in the heap; the caller indexes it.
std::uint32_t pair_engine::add_entry(std::uint32_t key) {
    entries.push_back({FIRST_UNLEARNED_RANK, key, 0, 0, 0, NONE, 0, 0, NONE, NONE});
    return static_cast<std::uint32_t>(entries.size() - 1);
}

pair_engine::~pair_engine() {
    if (!spare) return;
    // Past the first count's part the pool held added lists; those pages
    // go back to the system, to be mapped again as the next engine's lists
    // grow.
    const std::size_t kept = std::min(pool.size(), seq.size());
    discard_pages(pool.data() + kept, (pool.capacity() - kept) * sizeof(std::uint32_t));
    spare->seq = std::move(seq);
    spare->pool = std::move(pool);
    spare->entries = std::move(entries);
}

token_sequence pair_engine::take() {
    token_sequence tokens = sequence();
    seq = {};
    pool = {};
    pool_used = 0;
    free_blocks = NONE;
    entries = {};
    heap = {};
    live = 0;
    return tokens;
}

token_sequence pair_engine::sequence() const {
    token_sequence out(live);
    std::size_t kept = 0;
    for (std::uint32_t pos = live ? 0 : NONE; pos != NONE; pos = seq[pos].link) out[kept++] = token_at(pos);
    return out;
}

pair_counts pair_engine::counts() const {
    pair_counts out;
    for (std::uint32_t e = 0; e < entries.size(); ++e) {
        const pair_entry& entry = entries[e];
        // The distinct listed positions where the pair does start now must
        // be exactly as many as its count.
        std::vector<std::uint32_t> listed(pool.begin() + entry.block_at,
                                          pool.begin() + entry.block_at + entry.block_size);
        read_added(entry, [&](const std::uint32_t* from, std::uint32_t n) {
            listed.insert(listed.end(), from, from + n);
        });
        std::sort(listed.begin(), listed.end());
        listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
        std::uint32_t starts = 0;
        for (std::uint32_t pos : listed) {
            std::uint32_t next = seq[pos].link;
            starts += seq[pos].pair != REMOVED && next != NONE &&
                      pair_key({token_at(pos), token_at(next)}) == entry.key;
        }
        if (starts != entry.count) fail("pair engine: a count disagrees with its listed positions");
        if (entry.heap_at == PARKED) {
            if (excluded_keys.find(entry.key) == pair_map::EMPTY)
                fail("pair engine: a pair is kept out of the heap but not excluded");
        } else if ((entry.count != 0 && entry.count >= heap_floor) != (entry.heap_at != NONE)) {
            fail("pair engine: the heap does not hold exactly the pairs at or above its floor");
        }
        if (entry.count) out.emplace(pair_from_key(entry.key), entry.count);
    }
    // Every live position names the pair that starts there, and finds its
    // left neighbour by the way merge_at does.
    std::uint32_t left = NONE;
    for (std::uint32_t pos = seq.empty() ? NONE : 0; pos != NONE; pos = seq[pos].link) {
        const std::uint32_t next = seq[pos].link;
        const bool named = next == NONE ? seq[pos].pair == NONE
                                        : seq[pos].pair < entries.size() &&
                                              entries[seq[pos].pair].key ==
                                                  pair_key({token_at(pos), token_at(next)});
        if (!named || left_of(pos) != left) fail("pair engine: a position's links or pair are stale");
        left = pos;
    }
    for (std::size_t at = 0; at < heap.size(); ++at) {
        const pair_entry& entry = entries[heap[at].e];
        if (heap[at].count != entry.count || heap[at].tie != tie_of(entry) || entry.heap_at != at ||
            (at > 0 && before(heap[at], heap[(at - 1) / 2])))
            fail("pair engine: the heap is out of order");
    }
    return out;
}

}  // namespace tolvane
