// The incremental pair engine against the literal recount, call for call.
// The input is a script: an alphabet, some learned merges, a sequence (in
// runs, so long repeats and overlapping pairs like "a a a" are common) and
// then operations - ask for the best pair, ask with exclusions, exclude a
// pair, merge the best pair or any pair, learn a merge without using it.
// After every operation both sources must give the same answer and size,
// and in the end the same sequence. Any difference aborts.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "learning/engine.hpp"
#include "model/failure.hpp"
#include "learning/pair_source.hpp"

using namespace tolvane;

namespace {

class script {
public:
    script(const std::uint8_t* bytes, std::size_t size) : p{bytes}, end{bytes + size} {}
    bool done() const { return p == end; }
    std::uint8_t next() { return p == end ? 0 : *p++; }

private:
    const std::uint8_t* p;
    const std::uint8_t* end;
};

constexpr std::size_t MAX_RUN = 32;
constexpr std::size_t MAX_OPS = 512;

struct run_state {
    merge_table merges;
    std::vector<token_pair> excluded;
    std::vector<token_id> ids;  // letters, then merged ids as they were made
    token_id next_id;           // the id a new merged token gets
};

token_pair named_pair(script& in, const run_state& s) {
    const token_id left = s.ids[in.next() % s.ids.size()];
    return {left, s.ids[in.next() % s.ids.size()]};
}

// The merged id a merge of `pair` uses: the learned one, or a new token that
// is learned first, as the learning loop does.
token_id merged_id(run_state& s, token_pair pair) {
    if (const token_id* m = find_merge(s.merges, pair)) return *m;
    s.merges.emplace(pair, s.next_id);
    s.ids.push_back(s.next_id);
    return s.next_id++;
}

void compare_best(pair_engine& fast, literal_pairs& slow) {
    FUZZ_CHECK(fast.best() == slow.best());
}

void compare_excluding(pair_engine& fast, literal_pairs& slow, const run_state& s) {
    FUZZ_CHECK(fast.best_excluding(s.excluded) == slow.best_excluding(s.excluded));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    script in{bytes, size};
    run_state s;
    const std::uint8_t shape = in.next();
    const std::size_t letters = 1 + shape % 8;
    // Letters at the very top of the id range test the packing of pairs
    // into keys; merged ids then count up from low ids.
    const bool high = shape & 0x80;
    for (std::size_t k = 0; k < letters; ++k)
        s.ids.push_back(static_cast<token_id>(high ? 65535 - k : k));
    s.next_id = static_cast<token_id>(high ? 1000 : letters);

    // Learned merges before the run; a set flag reuses an earlier merged id,
    // as a hand-made model may.
    const int learned = in.next() % 6;
    for (int k = 0; k < learned; ++k) {
        const token_id left = s.ids[in.next() % letters];
        const token_pair pair{left, s.ids[in.next() % letters]};
        if ((in.next() & 1) && k > 0 && !find_merge(s.merges, pair))
            s.merges.emplace(pair, static_cast<token_id>(s.next_id - 1));
        else
            merged_id(s, pair);
    }

    // The sequence, as runs: a letter (low bits) repeated 1 + high bits times.
    token_sequence tokens;
    const std::size_t runs = in.next();
    for (std::size_t k = 0; k < runs && !in.done(); ++k) {
        const std::uint8_t b = in.next();
        tokens.insert(tokens.end(), 1 + (b >> 3) % MAX_RUN, s.ids[(b & 7) % letters]);
    }

    pair_engine fast{tokens, s.merges};
    literal_pairs slow{tokens, s.merges};

    for (std::size_t op = 0; op < MAX_OPS && !in.done(); ++op) {
        switch (in.next() % 6) {
            case 0:
                compare_best(fast, slow);
                break;
            case 1:
                compare_excluding(fast, slow, s);
                break;
            case 2: {  // exclude what would be chosen now, as the learned-merge pass does
                auto pick = slow.best_excluding(s.excluded);
                if (pick) s.excluded.push_back(*pick);
                compare_excluding(fast, slow, s);
                break;
            }
            case 3: {  // merge the best pair, learning it if new
                auto best = slow.best();
                FUZZ_CHECK(fast.best() == best);
                if (!best) break;
                const token_id merged = merged_id(s, best->first);
                fast.merge(best->first, merged);
                slow.merge(best->first, merged);
                break;
            }
            case 4: {  // merge a named pair, present or not
                const token_pair pair = named_pair(in, s);
                const token_id merged = merged_id(s, pair);
                fast.merge(pair, merged);
                slow.merge(pair, merged);
                break;
            }
            case 5:  // the table grows by a pair that is not merged now
                merged_id(s, named_pair(in, s));
                break;
        }
        FUZZ_CHECK(fast.size() == slow.size());
    }
    compare_best(fast, slow);
    compare_excluding(fast, slow, s);
    FUZZ_CHECK(fast.take() == slow.take());
    return 0;
}
