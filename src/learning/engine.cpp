#include "learning/engine.hpp"

#include <algorithm>
#include <exception>
#include <thread>

#include "model/failure.hpp"

namespace tolvane {

namespace {

// tie_rank gives learned merges their merged id (below 2^16) and every other
// pair a rank from 2^32 up.
constexpr std::uint64_t FIRST_UNLEARNED_RANK = std::uint64_t{1} << 32;

}  // namespace

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

// Every pair with a count of at least heap_floor that is not in the heap
// yet goes in, ranked as of now, and the heap is built again.
void pair_engine::fill_heap() {
    for (std::uint32_t e = 0; e < entries.size(); ++e) {
        pair_entry& entry = entries[e];
        if (entry.heap_at != NONE || entry.count < heap_floor || entry.count == 0) continue;
        entry.rank = rank_of(entry.key);
        entry.heap_at = static_cast<std::uint32_t>(heap.size());
        heap.push_back(slot_of(e));
    }
    for (std::size_t at = heap.size() / 2; at-- > 0;) sift_down(at);
}

// The heap has run out of pairs while some wait below the floor: from now
// on every pair that occurs is in it, as it would have been all along.
bool pair_engine::lower_floor() {
    if (heap_floor <= 1) return false;
    heap_floor = 1;
    fill_heap();
    return !heap.empty();
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

// tie_rank by pair key. A chunk asks it for every pair that enters the
// heap, hundreds of thousands of times; against a model of several thousand
// merges the merge table's own lookup was 9% of training a whole corpus
// (perf), so a long sequence keeps the merged ids in a flat map of its own.
std::uint64_t pair_engine::rank_of(std::uint32_t key) const {
    if (!own_merge_ids) return tie_rank(pair_from_key(key), *merges);
    const std::uint32_t m = merge_ids.find(key);
    return m == pair_map::EMPTY ? FIRST_UNLEARNED_RANK | key : m;
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

// Calls out(positions, n) for each block of the entry's added list, in order.
template <class Out>
void pair_engine::read_added(const pair_entry& entry, Out&& out) const {
    std::uint32_t b = entry.added_head;
    for (std::uint32_t left = entry.added; left > 0; b = pool[b]) {
        const std::uint32_t n = std::min(left, BLOCK_POSITIONS);
        out(pool.data() + b + 1, n);
        left -= n;
    }
}

// --- selection -------------------------------------------------------------

std::optional<std::pair<token_pair, std::uint32_t>> pair_engine::best() {
    sync_ranks(nullptr);
    lift_exclusions();
    if (heap.empty() && !lower_floor()) return std::nullopt;
    const pair_entry& top = entries[heap[0].e];
    return std::pair{pair_from_key(top.key), top.count};
}

std::optional<token_pair> pair_engine::best_excluding(const std::vector<token_pair>& excluded) {
    sync_ranks(nullptr);
    absorb_exclusions(excluded);
    // Every pair below the floor ranks after every pair in the heap, so they
    // are only needed once all of those are excluded.
    do {
        if (std::optional<token_pair> found = best_allowed_in_heap()) return found;
    } while (lower_floor());
    return std::nullopt;
}

std::optional<token_pair> pair_engine::best_allowed_in_heap() {
    if (heap.empty()) return std::nullopt;
    auto allowed = [&](std::size_t at) {
        return excluded_keys.find(entries[heap[at].e].key) == pair_map::EMPTY;
    };
    if (allowed(0)) return pair_from_key(entries[heap[0].e].key);

    // Best first over the heap's tree: no node ranks before its parent, so
    // taking the best open node each time visits pairs in exactly the tie
    // order, and the first allowed one is the answer. Only the excluded
    // pairs near the top and their children are looked at.
    auto worse = [&](std::size_t a, std::size_t b) { return before(heap[b], heap[a]); };
    frontier.assign(1, 0);
    while (!frontier.empty()) {
        std::pop_heap(frontier.begin(), frontier.end(), worse);
        std::size_t at = frontier.back();
        frontier.pop_back();
        if (allowed(at)) return pair_from_key(entries[heap[at].e].key);
        for (std::size_t child = 2 * at + 1; child <= 2 * at + 2 && child < heap.size(); ++child) {
            frontier.push_back(static_cast<std::uint32_t>(child));
            std::push_heap(frontier.begin(), frontier.end(), worse);
        }
    }
    return std::nullopt;
}

// An excluded pair leaves the heap until the exclusions are lifted. The
// learned-merge pass of a later chunk excludes a few hundred pairs, most of
// them frequent; left in the heap, every later choice walked past all of
// them near its top. A pair excluded before it occurs at all has no entry to
// park: best_allowed_in_heap still skips it by its key.
void pair_engine::absorb_exclusions(const std::vector<token_pair>& excluded) {
    if (excluded.size() < absorbed) lift_exclusions();  // not the list we saw grow: start over
    for (; absorbed < excluded.size(); ++absorbed) {
        const std::uint32_t key = pair_key(excluded[absorbed]);
        bool inserted = false;
        excluded_keys.find_or_insert(key, 0, inserted);
        const std::uint32_t e = index.find(key);
        if (!inserted || e == pair_map::EMPTY) continue;
        if (in_heap(entries[e])) heap_remove(e);
        entries[e].heap_at = PARKED;
        parked.push_back(e);
    }
}

// Every pair is allowed again: the parked ones go back to the heap as
// settle_touched would have put them there, with their rank as of now.
void pair_engine::lift_exclusions() {
    if (absorbed == 0) return;
    excluded_keys.clear();
    absorbed = 0;
    for (std::uint32_t e : parked) {
        pair_entry& entry = entries[e];
        entry.heap_at = NONE;
        if (entry.count < heap_floor || entry.count == 0) continue;
        entry.rank = rank_of(entry.key);
        heap_push(e);
    }
    parked.clear();
}

// A pair's tie rank changes only when it becomes a learned merge. The heap
// may hold a rank only while it is current, so whenever `merges` has grown
// the ranks are brought up to date before anything is compared. Merge
// learning adds exactly the pair it then merges; that case costs one lookup.
// Any other growth re-ranks every pair in the heap.
void pair_engine::sync_ranks(const token_pair* just_merged) {
    const std::size_t now = merges->size();
    if (now == known_merges) return;
    if (just_merged && now == known_merges + 1) {
        std::uint32_t e = index.find(pair_key(*just_merged));
        if (e != pair_map::EMPTY && in_heap(entries[e]) &&
            entries[e].rank >= FIRST_UNLEARNED_RANK) {
            if (const token_id* m = find_merge(*merges, *just_merged)) {
                // Ranked as unlearned against the old table and learned now:
                // it is the one entry added.
                entries[e].rank = *m;
                if (own_merge_ids) {
                    bool inserted = false;
                    merge_ids.find_or_insert(entries[e].key, *m, inserted);
                }
                heap[entries[e].heap_at].tie = tie_of(entries[e]);
                sift_up(entries[e].heap_at);
                known_merges = now;
                return;
            }
        }
    }
    load_merge_ids();
    for (heap_slot& slot : heap) {
        entries[slot.e].rank = rank_of(entries[slot.e].key);
        slot.tie = tie_of(entries[slot.e]);
    }
    for (std::size_t at = heap.size() / 2; at-- > 0;) sift_down(at);
    known_merges = now;
}

// --- merging ---------------------------------------------------------------

void pair_engine::merge(token_pair pair, token_id merged) {
    sync_ranks(&pair);
    std::uint32_t e = index.find(pair_key(pair));
    if (e == pair_map::EMPTY || entries[e].count == 0) return;

    ++serial;
    touched.clear();
    // Every position where the pair may start, taken out of its lists before
    // anything changes: an occurrence this merge produces (when `merged` is
    // one of the pair's own tokens) goes to a fresh list and is not matched
    // again in the same merge.
    pair_entry& entry = entries[e];
    const std::uint32_t block_at = entry.block_at, block_size = entry.block_size;
    entry.block_size = 0;
    // A pair no merge has made yet is walked in its first-count block;
    // copying it out was 6% of a chunk's samples (perf). That is only safe
    // while the pool cannot move: each step adds at most two positions,
    // which take at most two blocks.
    const std::uint32_t* list = pool.data() + block_at;
    std::size_t listed = block_size;
    const std::size_t room = pool.capacity() > pool_used ? pool.capacity() - pool_used : 0;
    if (!entry.added && room < 2 * BLOCK_SIZE * (listed + 1)) {
        snapshot.assign(list, list + listed);
        list = snapshot.data();
    }
    // Ascending and once each: in a run of (a, a) occurrences overlap and the
    // greedy left to right scan decides which ones merge (a a a -> m a); a
    // position listed twice (its pair changed and came back) merges once.
    // The order also makes the walk over the sequence go one way. The block
    // part is ascending and distinct already.
    if (entry.added) {
        snapshot.assign(list, list + listed);  // (the pool may move below)
        const auto from_block = static_cast<std::ptrdiff_t>(snapshot.size());
        read_added(entry, [&](const std::uint32_t* from, std::uint32_t n) {
            snapshot.insert(snapshot.end(), from, from + n);
        });
        // The blocks go back to the pool, the whole chain at once.
        pool[added_tail(entry)] = free_blocks;
        free_blocks = entry.added_head;
        entry.added = 0;
        // One merge lists its new occurrences in ascending order, so a list
        // that one merge made needs no sort.
        if (!std::is_sorted(snapshot.begin() + from_block, snapshot.end()))
            std::sort(snapshot.begin() + from_block, snapshot.end());
        std::inplace_merge(snapshot.begin(), snapshot.begin() + from_block, snapshot.end());
        snapshot.erase(std::unique(snapshot.begin(), snapshot.end()), snapshot.end());
        list = snapshot.data();
        listed = snapshot.size();
    }

    // A listed position whose pair is no longer this one (changed since it
    // was listed, or used up by an earlier step of this merge) is skipped.
    // The positions are spread over the whole sequence, so each read of one
    // would wait for memory; asking for it a few steps ahead overlaps those
    // waits (a 3 MB chunk of English: 0.39 s of CPU down to 0.27 s).
    if (merged >= made_after.size()) {
        made_after.resize(std::size_t{merged} + 1, NONE);
        made_before.resize(std::size_t{merged} + 1, NONE);
        appeared.resize(std::size_t{merged} + 1, 0);
    }
    // A token that never was in the sequence is in no pair the index
    // holds: every pair this merge makes is new, and is only entered in
    // the index after the walk (see new_pair).
    fresh_merge = !appeared[merged];
    appeared[merged] = 1;
    //
    // A merge at pos also reads its neighbours and their pairs' entries. The
    // first ask brings in the slots around pos; the later ones follow what
    // the earlier brought in (the right token's slot and the end of its
    // span, the left neighbour's span start, then the two neighbouring
    // pairs' entries), so no read waits on a chain of misses.
    constexpr std::size_t AHEAD = 16, LINKS_AHEAD = 8, ENTRIES_AHEAD = 4;
    const node* nodes = seq.data();
    const pair_entry* table = entries.data();
    for (std::size_t i = 0; i < listed; ++i) {
        if (i + AHEAD < listed) {
            const node* at = nodes + list[i + AHEAD];
            __builtin_prefetch(at - 1);
            __builtin_prefetch(at + 7);
        }
        if (i + LINKS_AHEAD < listed) {
            const std::uint32_t ahead = list[i + LINKS_AHEAD];
            const node& at = nodes[ahead];
            if (at.pair == e) {
                if (ahead > 0 && nodes[ahead - 1].pair == REMOVED) __builtin_prefetch(nodes + nodes[ahead - 1].link);
                const node& right = nodes[at.link];
                if (right.link != NONE) {
                    __builtin_prefetch(nodes + right.link - 1);
                    __builtin_prefetch(table + right.pair);
                }
            }
        }
        if (i + ENTRIES_AHEAD < listed) {
            const std::uint32_t ahead = list[i + ENTRIES_AHEAD];
            if (nodes[ahead].pair == e) {
                const std::uint32_t left = left_of(ahead);
                if (left != NONE) __builtin_prefetch(table + nodes[left].pair);
            }
        }
        const std::uint32_t pos = list[i];
        if (seq[pos].pair == e) merge_at(pos, e, merged);
    }
    for (std::uint32_t e : unindexed) index.insert_absent(entries[e].key, e);
    unindexed.clear();
    recycle(block_at, block_at + block_size);
    for (token_id x : filled_after) made_after[x] = NONE;
    for (token_id y : filled_before) made_before[y] = NONE;
    filled_after.clear();
    filled_before.clear();
    settle_touched();
}

// --- the steps of a merge, all inlined into merge()'s loop ----------------

[[gnu::always_inline]] inline void pair_engine::touch(std::uint32_t e) {
    if (entries[e].touched != serial) {
        entries[e].touched = serial;
        touched.push_back(e);
    }
}

// The position stays listed under the pair; reading the list skips it.
[[gnu::always_inline]] inline void pair_engine::drop_occurrence(std::uint32_t e) {
    --entries[e].count;
    touch(e);
}

[[gnu::always_inline]] inline std::uint32_t pair_engine::new_pair(std::vector<std::uint32_t>& by_other, std::vector<token_id>& filled,
                                    token_id other, std::uint32_t key) {
    std::uint32_t& slot = by_other[other];
    if (slot == NONE) {
        // Looking a pair up in the index waits for memory, and the merge's
        // next step waits for that. A new pair of a fresh merge needs no
        // look-up: its entry is made at once, and all of them are entered
        // in the index together after the walk, where their waits overlap.
        // Each new pair has one slot: (merged, merged) only arises as
        // (x, merged), since the walk goes left to right and the token to
        // the right of an occurrence is not merged yet.
        if (fresh_merge) {
            slot = add_entry(key);
            unindexed.push_back(slot);
        } else {
            slot = entry_for(key);
        }
        filled.push_back(other);
    }
    return slot;
}

// By as much as the pool holds, from 64 blocks up to POOL_GROWTH at a time:
// a short sequence's engine clears little, a long one's resizes rarely.
// It moves only once its reserved room is used up (see merge()).
void pair_engine::grow_pool() {
    const std::size_t needed = std::size_t{pool_used} + BLOCK_SIZE - pool.size();
    std::size_t more = std::clamp<std::size_t>(pool.size(), 64 * BLOCK_SIZE, POOL_GROWTH * BLOCK_SIZE);
    if (pool.capacity() - pool.size() >= needed) more = std::min(more, pool.capacity() - pool.size());
    if (pool.size() + more > NONE) fail("Token sequence too long to merge");
    pool.resize(pool.size() + more);
    populate_pages(pool.data() + pool.size() - more, more * sizeof(std::uint32_t));
}

// A first-count block is spent once its pair has been merged: the whole
// blocks of the pool inside it are given back for the added lists. The
// first merges spend the largest blocks, and the lists then grow into them
// instead of into fresh memory: a 3 MB chunk of English peaks at 7 MB less.
void pair_engine::recycle(std::uint32_t from, std::uint32_t to) {
    for (std::uint32_t b = (from + BLOCK_SIZE - 1) / BLOCK_SIZE * BLOCK_SIZE; b + BLOCK_SIZE <= to;
         b += BLOCK_SIZE) {
        pool[b] = free_blocks;
        free_blocks = b;
    }
}

// A block from those given back, or a new one at the pool's end.
[[gnu::always_inline]] inline std::uint32_t pair_engine::new_block() {
    std::uint32_t b = free_blocks;
    if (b != NONE) {
        free_blocks = pool[b];
    } else {
        if (pool_used + BLOCK_SIZE > pool.size()) grow_pool();
        b = pool_used;
        pool_used += BLOCK_SIZE;
    }
    pool[b] = NONE;
    return b;
}

[[gnu::always_inline]] inline std::uint32_t pair_engine::add_occurrence(std::uint32_t pos, std::uint32_t e) {
    pair_entry& entry = entries[e];
    if (entry.added == 0) {
        const std::uint32_t b = new_block();
        entry.added_head = b;
        entry.added_end = b + 1;
    } else if (entry.added_end % BLOCK_SIZE == 0) {  // the last block is full
        const std::uint32_t b = new_block();
        pool[entry.added_end - BLOCK_SIZE] = b;
        entry.added_end = b + 1;
    }
    pool[entry.added_end++] = pos;
    ++entry.added;
    ++entry.count;
    touch(e);
    return e;
}

// Rewrites x [a b] y as x [m] y at pos: the three pairs around the merged
// pair leave their counts, the two new ones join theirs.
[[gnu::always_inline]] inline void pair_engine::merge_at(std::uint32_t pos, std::uint32_t merging, token_id merged) {
    const std::uint32_t right = seq[pos].link;
    const std::uint32_t right_pair = seq[right].pair;
    const std::uint32_t after = seq[right].link;
    const std::uint32_t left = left_of(pos);
    const std::uint32_t left_pair = left == NONE ? NONE : seq[left].pair;

    // x is the left half of (x, a), y the right half of (b, y).
    token_id x = 0, y = 0;
    if (left != NONE) {
        x = static_cast<token_id>(entries[left_pair].key >> 16);
        drop_occurrence(left_pair);
    }
    drop_occurrence(merging);
    if (after != NONE) {
        y = static_cast<token_id>(entries[right_pair].key & 0xFFFF);
        drop_occurrence(right_pair);
    }

    seq[pos].link = after;
    seq[right].pair = REMOVED;
    // The merged span ends where the right token's did; its last slot leads
    // back to the start, for the next position's left_of. That slot may be
    // `right` itself, whose link was read above.
    const std::uint32_t last = (after == NONE ? static_cast<std::uint32_t>(seq.size()) : after) - 1;
    seq[last].link = pos;
    --live;

    if (left != NONE)
        seq[left].pair = add_occurrence(left, new_pair(made_after, filled_after, x, pair_key({x, merged})));
    if (after != NONE) {
        seq[pos].pair = add_occurrence(pos, new_pair(made_before, filled_before, y, pair_key({merged, y})));
    } else {
        seq[pos].pair = NONE;
        last_token = merged;
    }
}






// Applies the merge's net count changes to the heap once per pair: a pair
// whose count went down and back up (a run merged step by step) costs
// nothing, and one that rose many times moves once.
void pair_engine::settle_touched() {
    for (std::uint32_t e : touched) {
        pair_entry& entry = entries[e];
        if (entry.heap_at == PARKED) continue;
        if (entry.count < heap_floor || entry.count == 0) {
            if (entry.heap_at != NONE) heap_remove(e);
        } else if (entry.heap_at == NONE) {
            // Out of the heap its rank may be stale; merges is synced here.
            entry.rank = rank_of(entry.key);
            heap_push(e);
        } else {
            heap_slot& slot = heap[entry.heap_at];
            const bool rose = entry.count > slot.count;
            slot.count = entry.count;
            if (rose)
                sift_up(entry.heap_at);
            else
                sift_down(entry.heap_at);
        }
    }
    touched.clear();
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

// --- the heap --------------------------------------------------------------

void pair_engine::heap_push(std::uint32_t e) {
    heap.push_back(slot_of(e));
    entries[e].heap_at = static_cast<std::uint32_t>(heap.size() - 1);
    sift_up(heap.size() - 1);
}

void pair_engine::heap_remove(std::uint32_t e) {
    const std::size_t at = entries[e].heap_at;
    const heap_slot last = heap.back();
    heap.pop_back();
    entries[e].heap_at = NONE;
    if (at == heap.size()) return;
    place(at, last);
    sift_up(at);
    sift_down(entries[last.e].heap_at);
}

void pair_engine::sift_up(std::size_t at) {
    const heap_slot slot = heap[at];
    while (at > 0) {
        std::size_t parent = (at - 1) / 2;
        if (!before(slot, heap[parent])) break;
        place(at, heap[parent]);
        at = parent;
    }
    place(at, slot);
}

void pair_engine::sift_down(std::size_t at) {
    const heap_slot slot = heap[at];
    const std::size_t n = heap.size();
    for (;;) {
        std::size_t child = 2 * at + 1;
        if (child >= n) break;
        if (child + 1 < n && before(heap[child + 1], heap[child])) ++child;
        if (!before(heap[child], slot)) break;
        place(at, heap[child]);
        at = child;
    }
    place(at, slot);
}

}  // namespace tolvane
