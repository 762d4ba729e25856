#include "encoding/batch.hpp"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

#include "encoding/offsets.hpp"
#include "model/failure.hpp"

namespace tolvane {

namespace {

// Starting a thread costs tens of microseconds; below this many bytes of
// text per thread it would cost more than the encoding it takes over.
constexpr std::size_t MIN_BYTES_PER_THREAD = 32 * 1024;
// Blocks per thread: enough that a thread which drew short texts takes more
// work instead of waiting for one that drew long ones.
constexpr std::size_t BLOCKS_PER_THREAD = 32;

// The first failure by text index, whichever thread met it. Threads keep
// working on texts before the earliest failure seen so far, so the failure
// reported is always that of the lowest failing index: the same on every run.
class first_failure {
public:
    std::size_t limit() const { return earliest.load(std::memory_order_relaxed); }

    void record(std::size_t index, std::exception_ptr error) {
        std::lock_guard lock{mutex};
        if (index >= earliest.load(std::memory_order_relaxed)) return;
        earliest.store(index, std::memory_order_relaxed);
        stored = std::move(error);
    }

    // Throws what the earliest failing text threw, prefixed with its index.
    void rethrow() const {
        if (!stored) return;
        const std::string where = "texts[" + std::to_string(earliest.load()) + "]: ";
        try {
            std::rethrow_exception(stored);
        } catch (const failure& f) {
            throw failure{where + f.message, f.where, f.kind, f.os_errno};
        }
    }

private:
    std::atomic<std::size_t> earliest{SIZE_MAX};
    std::exception_ptr stored;
    std::mutex mutex;
};

// Calls work(block, i) for every i of [0, n), block by block of `block_size`
// consecutive indices, on `threads` threads counting the caller's.
template <class Work>
void run_blocks(std::size_t n, std::size_t block_size, unsigned threads, Work&& work) {
    const std::size_t blocks = (n + block_size - 1) / block_size;
    std::atomic<std::size_t> next_block{0};
    first_failure failed;
    auto worker = [&] {
        for (;;) {
            const std::size_t block = next_block.fetch_add(1, std::memory_order_relaxed);
            if (block >= blocks || block * block_size >= failed.limit()) return;
            const std::size_t end = std::min(n, (block + 1) * block_size);
            for (std::size_t i = block * block_size; i < end && i < failed.limit(); ++i) {
                try {
                    work(block, i);
                } catch (...) {
                    failed.record(i, std::current_exception());
                }
            }
        }
    };
    {
        std::vector<std::jthread> helpers;  // joined on every way out of this scope
        helpers.reserve(threads - 1);
        for (unsigned t = 1; t < threads; ++t) {
            try {
                helpers.emplace_back(worker);
            } catch (const std::system_error&) {
                break;  // no more threads to be had: the ones running share the work
            }
        }
        worker();
    }
    failed.rethrow();
}

struct plan {
    unsigned threads;
    std::size_t block_size;
};

plan plan_for(std::span<const std::string_view> texts, unsigned threads) {
    std::size_t bytes = 0;
    for (std::string_view t : texts) bytes += t.size();
    std::size_t useful = std::min({bytes / MIN_BYTES_PER_THREAD, texts.size(), std::size_t{threads}});
    useful = std::max<std::size_t>(useful, 1);  // the caller's thread, even for no texts
    const std::size_t block_size =
        std::max<std::size_t>(1, texts.size() / (useful * BLOCKS_PER_THREAD));
    return {static_cast<unsigned>(useful), block_size};
}

}  // namespace

unsigned default_threads() {
    return std::max(1u, std::thread::hardware_concurrency());
}

std::vector<token_sequence> encode_batch(const tokenizer& tok, std::span<const std::string_view> texts,
                                         encode_mode mode, unsigned threads, const special_choice* choice) {
    std::vector<token_sequence> out(texts.size());
    const plan p = plan_for(texts, threads);
    run_blocks(texts.size(), p.block_size, p.threads,
               [&](std::size_t, std::size_t i) { out[i] = tok.encode(texts[i], mode, choice); });
    return out;
}

flat_encoding encode_flat(const tokenizer& tok, std::span<const std::string_view> texts,
                          encode_mode mode, unsigned threads, const special_choice* choice) {
    // Each block appends to a buffer of its own, so threads never share one;
    // the buffers are then laid end to end in text order.
    const plan p = plan_for(texts, threads);
    const std::size_t blocks = (texts.size() + p.block_size - 1) / p.block_size;
    std::vector<token_sequence> block_ids(blocks);
    std::vector<std::uint64_t> lengths(texts.size());
    run_blocks(texts.size(), p.block_size, p.threads, [&](std::size_t block, std::size_t i) {
        token_sequence& into = block_ids[block];
        const std::size_t before = into.size();
        tok.encode_append(texts[i], mode, into, choice);
        lengths[i] = into.size() - before;
    });

    flat_encoding flat;
    flat.offsets.resize(texts.size() + 1);
    for (std::size_t i = 0; i < texts.size(); ++i) flat.offsets[i + 1] = flat.offsets[i] + lengths[i];
    flat.ids.resize(flat.offsets.back());
    std::size_t at = 0;
    for (token_sequence& ids : block_ids) {
        if (!ids.empty()) std::memcpy(flat.ids.data() + at, ids.data(), ids.size() * sizeof(token_id));
        at += ids.size();
        token_sequence().swap(ids);  // give each block back as soon as it is copied
    }
    return flat;
}

// Once the ids lie end to end, every text's spans have their place, so a
// second round over the texts writes them there, with no buffer per block.
flat_encoding encode_flat_with_spans(const tokenizer& tok, std::span<const std::string_view> texts,
                                     encode_mode mode, unsigned threads, const special_choice* choice) {
    flat_encoding flat = encode_flat(tok, texts, mode, threads, choice);
    flat.spans.resize(2 * flat.ids.size());
    const plan p = plan_for(texts, threads);
    run_blocks(texts.size(), p.block_size, p.threads, [&](std::size_t, std::size_t i) {
        const std::size_t first = flat.offsets[i];
        write_token_offsets(tok, texts[i], std::span{flat.ids}.subspan(first, flat.offsets[i + 1] - first),
                            flat.spans.data() + 2 * first);
    });
    return flat;
}

}  // namespace tolvane
