// One Base' chunk of the algorithm 0 encoder and its index: every chunk offset
// keyed by the 20 bytes that start there, ordered lazily as lookups reach the
// parts they need. The lookups (find_equal and what it calls) run at nearly
// every position of Updated' and stay inline here; building and sorting run
// once per chunk or part and live in chunk_index.cpp.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "coder/algorithm0_keys.h"
#include "coder/format.h"
#include "coder/stream.h"

namespace quoralith::alg0 {

// Buckets larger than this are sorted in place, to keep the scratch small.
constexpr std::size_t kPairedSortLimit = 1 << 17;
// Parts in offset order up to this size are sorted by rank (sort_ranked).
constexpr std::size_t kRankedSortLimit = 1 << 16;
// Parts of the index up to this size are sorted whole when a lookup reaches them.
constexpr std::ptrdiff_t kWholePart = 16;
constexpr std::uint8_t kSortedPart = 0x80;
// Parts up to this many entries are split through a scratch array, larger ones in place.
constexpr std::size_t kSplitScratch = 1 << 18;
// Every this many index entries one's key bytes 2 to 4 are kept in a compact array.
constexpr std::size_t kFenceStep = 64;
constexpr int kFilterWordBits = 18;  // 2 MiB of presence bits, in words of 64
// A chunk whose entries begin with at least this many byte pairs is given the filter.
constexpr std::size_t kFilterBuckets = 1 << 14;
// How many entries ahead the index build fetches the places it will write.
constexpr std::int64_t kBuildAhead = 16;

// One Base' chunk and its index: every chunk offset whose 20 bytes lie in the
// chunk, ordered by those bytes (ties by offset) as far as lookups need it.
class ChunkIndex {
public:
    explicit ChunkIndex(std::int64_t window)
        : chunk_(static_cast<std::size_t>(window)), index_(static_cast<std::size_t>(window)), bucket_(65537),
          next_(65536), bucket_sorted_(65536), fences_(static_cast<std::size_t>(window) / kFenceStep + 1),
          part_state_(static_cast<std::size_t>(window)), shared_(static_cast<std::size_t>(window)),
          // A chunk with fewer entries than kFilterBuckets never fills that
          // many buckets, so it is never filtered: no 2 MiB for it.
          present_(window - (kLongKey - 1) >= static_cast<std::int64_t>(kFilterBuckets)
                       ? std::size_t{1} << kFilterWordBits
                       : 0) {}

    // Where a chunk of `length` bytes is to be read; build_index() then indexes it.
    std::uint8_t* prepare(std::int64_t length) {
        length_ = length;
        return chunk_.data();
    }
    const std::uint8_t* chunk() const { return chunk_.data(); }
    std::int64_t length() const { return length_; }
    std::int64_t entries() const { return entries_; }
    const Entry* index() const { return index_.data(); }

private:
    static unsigned bucket_of(const std::uint8_t* p) { return static_cast<unsigned>(p[0]) << 8 | p[1]; }

    // Orders two keys by their bytes 2 to n - 1 (bytes 0 and 1 pick the bucket).
    static int compare_tail(const std::uint8_t* a, const std::uint8_t* b, std::int64_t n) {
        if (n == kLongKey) {
            for (int at : {2, 10}) {
                const std::uint64_t x = load_be64(a + at), y = load_be64(b + at);
                if (x != y) return x < y ? -1 : 1;
            }
            const unsigned x = static_cast<unsigned>(a[18]) << 8 | a[19];
            const unsigned y = static_cast<unsigned>(b[18]) << 8 | b[19];
            return x == y ? 0 : x < y ? -1 : 1;
        }
        const std::uint32_t x = static_cast<std::uint32_t>(a[2]) << 16 | static_cast<std::uint32_t>(a[3]) << 8 | a[4];
        const std::uint32_t y = static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 8 | b[4];
        return x == y ? 0 : x < y ? -1 : 1;
    }

public:
    // Every chunk offset whose 20 bytes lie in the chunk, sorted by those bytes,
    // ties by offset: a counting pass on the first two bytes here, then each
    // bucket sorted on bytes 2 to 5 when first reached and the parts within it
    // ordered further as lookups reach them (sorted_part). The order compared
    // is total, so the result is the one a stable sort by the bytes alone gives.
    void build_index();

private:
    // A hash of the 5 bytes at p, for the presence filter: most keys of data
    // that is not in the chunk are turned away here without a binary search.
    // Each key sets two bits of one word (a blocked Bloom filter), which turns
    // away about three times as many absent keys as one bit for the same
    // single memory access.
    static std::uint64_t filter_hash(const std::uint8_t* p) {
        // Built from a 4-byte and a 1-byte load: copying 5 bytes into a zeroed
        // word makes the processor wait for the partial stores to land.
        std::uint32_t low;
        std::memcpy(&low, p, sizeof low);
        const std::uint64_t v = low | static_cast<std::uint64_t>(p[4]) << 32;
        return v * 0x9E3779B97F4A7C15ull;
    }
    // The high bits of the product depend on all 5 bytes; the word and the two
    // bits are taken from there.
    static std::size_t filter_word(std::uint64_t h) { return static_cast<std::size_t>(h >> (64 - kFilterWordBits)); }
    static std::uint64_t filter_bits(std::uint64_t h) {
        return std::uint64_t{1} << (h >> 40 & 63) | std::uint64_t{1} << (h >> 34 & 63);
    }
public:
    void prefetch_filter(const std::uint8_t* key) const {
        if (filtered_) __builtin_prefetch(present_.data() + filter_word(filter_hash(key)));
    }
private:
    bool maybe_present(const std::uint8_t* key) const {
        const std::uint64_t h = filter_hash(key);
        const std::uint64_t bits = filter_bits(h);
        return !filtered_ || (present_[filter_word(h)] & bits) == bits;
    }

    // The part of the index a lookup of the n bytes of `key` searches, in its
    // final order. The index is ordered lazily, as lookups reach it: a bucket
    // is put in order by the key bytes 2 to 5 its entries carry when a lookup
    // first reaches it (sort_entries); a 5-byte group is sorted whole when a
    // 5-byte lookup reaches it; below that, a part (entries equal in their
    // first d bytes) is split by byte d in one pass when a 20-byte lookup first
    // passes through it, and sorted whole when it is small or its entries are
    // equal in all 20 bytes. Where Updated' is mostly covered by long matches,
    // most of a chunk's index is never ordered beyond its 6-byte parts.
    //
    // part_state_[f] describes the parts of 6 or more bytes that start at index
    // position f: the depth of the deepest of them, with kSortedPart when that
    // one is sorted (0: none has been reached yet). A 5-byte group that starts
    // at f and has been sorted whole is marked kShortKey | kSortedPart there;
    // sorting it leaves every part inside it where it was.
    //
    // Its one caller is find_equal, on nearly every lookup: it is kept inside
    // that caller, which the compiler does unasked only for a function private
    // to one file.
    [[gnu::always_inline]] inline std::pair<Entry*, Entry*> sorted_part(const std::uint8_t* key, std::int64_t n) {
        const unsigned b = bucket_of(key);
        Entry* first = index_.data() + bucket_[b];
        Entry* last = index_.data() + bucket_[b + 1];
        if (first == last) return {first, last};
        if (!bucket_sorted_[b]) {
            sort_entries(first, last);
            bucket_sorted_[b] = 1;
        }
        // The key's 5-byte group, found by the entries' own bits.
        const std::uint64_t k32 = get_be32(key + 2);
        const std::uint64_t k24 = k32 >> 8;
        first = group_start(first, last, k24);
        last = run_end(first, last, [k24](Entry e) { return (e >> 40) == k24; });
        if (first == last) return {first, last};
        // The group's state: sorted whole (by a 5-byte lookup), or not.
        std::uint8_t& group = part_state_[static_cast<std::size_t>(first - index_.data())];
        const bool group_sorted = group == (kShortKey | kSortedPart);
        if (n == kShortKey) {
            if (!group_sorted) {
                sort_group(first, last);
                group = kShortKey | kSortedPart;
            }
            return {first, last};
        }
        // A sorted group keeps its 6-byte parts together: the search narrows to
        // the key's by the entries' own bits before comparing any key bytes.
        first = std::lower_bound(first, last, k32, [](Entry e, std::uint64_t v) { return (e >> 32) < v; });
        last = run_end(first, last, [k32](Entry e) { return (e >> 32) == k32; });
        if (group_sorted) return {first, last};
        const std::uint8_t* p = chunk_.data();
        for (int d = 6;; ++d) {
            if (first == last) return {first, last};
            std::uint8_t& state = part_state_[static_cast<std::size_t>(first - index_.data())];
            const int deepest = state & ~kSortedPart;
            if (state == 0 || deepest == d) {
                if (state & kSortedPart) return {first, last};
                if (last - first <= kWholePart || d == n) {
                    sort_bucket(first, last, d);
                    state = static_cast<std::uint8_t>(d | kSortedPart);
                    return {first, last};
                }
                // Repeated text makes large parts whose entries agree in several
                // bytes on from d; the parts of those depths are this same range,
                // so the split happens at the first byte where entries differ.
                std::size_t starts[257];
                const std::uint8_t* lead = p + offset_of(*first);
                const int split = split_by_byte(first, last, d, static_cast<int>(n), starts);
                if (split == n) {
                    sort_bucket(first, last, d);
                    state = static_cast<std::uint8_t>(n | kSortedPart);
                    return {first, last};
                }
                state = static_cast<std::uint8_t>(split + 1);
                // The split knows where the key's part lies: no search needed.
                if (std::memcmp(key + d, lead + d, static_cast<std::size_t>(split - d)) != 0) return {first, first};
                d = split;
                last = first + starts[key[d] + 1];
                first += starts[key[d]];
                continue;
            }
            first = std::lower_bound(first, last, key[d],
                                     [p, d](Entry e, std::uint8_t v) { return p[offset_of(e) + d] < v; });
            last = std::upper_bound(first, last, key[d],
                                    [p, d](std::uint8_t v, Entry e) { return v < p[offset_of(e) + d]; });
        }
    }

    // Sorts entries that share key bytes 0 to 5 (so also the high half of the
    // entry) and lie in offset order, as sort_bucket does: as 16-byte records
    // of bytes 6 to 19 and their rank, which stands in for the offset and
    // makes every record unique, so that a comparison is two words at most.
    void sort_ranked(Entry* first, Entry* last, std::uint8_t* shared);

    // The first entry of [first, last), a bucket in sort_entries order, whose
    // key bytes 2 to 4 are at least k24. Buckets of text run to many thousand
    // entries, and a plain binary search of one meets a cache miss at nearly
    // every step: the search goes through the fences of every 64th entry,
    // which lie together, and then through the 64 entries between two.
    Entry* group_start(Entry* first, Entry* last, std::uint64_t k24) {
        const auto from = static_cast<std::size_t>(first - index_.data());
        const auto to = static_cast<std::size_t>(last - index_.data());
        const std::size_t fa = (from + kFenceStep - 1) / kFenceStep;
        const std::size_t fb = (to + kFenceStep - 1) / kFenceStep;  // fences [fa, fb) lie in the bucket
        const std::uint32_t* fences = fences_.data();
        const std::size_t f = static_cast<std::size_t>(
            std::lower_bound(fences + fa, fences + fb, static_cast<std::uint32_t>(k24)) - fences);
        Entry* lo = f == fa ? first : index_.data() + (f - 1) * kFenceStep;
        Entry* hi = f == fb ? last : index_.data() + f * kFenceStep;
        return std::lower_bound(lo, hi, k24, [](Entry e, std::uint64_t v) { return (e >> 40) < v; });
    }

    // The end of the run from `first` of entries for which `same` holds (it
    // holds for a prefix of [first, last)): a galloping search, since runs are
    // short beside the ranges they lie in.
    template <class Same>
    static Entry* run_end(Entry* first, Entry* last, Same same) {
        if (first == last || !same(*first)) return first;
        std::ptrdiff_t good = 0;  // same(first[good]) holds
        std::ptrdiff_t step = 1;
        const std::ptrdiff_t size = last - first;
        while (good + step < size && same(first[good + step])) {
            good += step;
            step *= 2;
        }
        std::ptrdiff_t bad = std::min(good + step, size);  // fails, or the end
        while (bad - good > 1) {
            const std::ptrdiff_t mid = good + (bad - good) / 2;
            (same(first[mid]) ? good : bad) = mid;
        }
        return first + bad;
    }

    // Orders a bucket's entries as numbers. They arrive in offset order, so a
    // stable radix sort on the key bytes they hold does it, skipping the bytes
    // that are the same throughout.
    void sort_entries(Entry* first, Entry* last);

    void set_fences(const Entry* first, const Entry* last);

    // Sorts a 5-byte group by bytes 5 to 19, then offset. Its entries are in
    // order by byte 5 already (sort_entries), so each run of one byte 5 is
    // sorted on its own.
    void sort_group(Entry* first, Entry* last);

    // Orders [first, last) by the byte at `depth` alone (American flag sort:
    // in place, one pass; the order within equal bytes is left open). With a
    // `limit` beyond `depth`, entries that all agree in bytes depth, depth + 1,
    // ... are ordered by the first byte in which they differ instead. Returns
    // the byte position split on, or `limit` when they agree up to it (and
    // nothing was moved).
    //
    // Each entry's byte is read from the chunk once, fetched ahead, and then
    // travels with the entry in a compact array: the chunk is larger than the
    // nearer caches and the entries point all over it.
    //
    // `starts` receives where each byte's entries begin, relative to `first`
    // (starts[256] is the count).
    int split_by_byte(Entry* first, Entry* last, int depth, int limit, std::size_t* starts);

    // Sorts one bucket by bytes 2 to 19, then offset, and records in shared_
    // how many key bytes each entry shares with the one before it (the first
    // entry's count is left alone). Buckets up to a limit are sorted as records
    // holding their key, so that comparisons stay in one array instead of
    // reaching into the chunk twice.
    void sort_bucket(Entry* first, Entry* last, int depth);

public:
    // The index entries [first, last) whose n bytes equal key; empty when none.
    std::pair<std::int64_t, std::int64_t> find_equal(const std::uint8_t* key, std::int64_t n) {
        if (!maybe_present(key)) return {0, 0};
        const auto [first, last] = sorted_part(key, n);
        if (first == last) return {0, 0};
        // A 5-byte lookup is given its group, exactly.
        if (n == kShortKey) return {first - index_.data(), last - index_.data()};
        const std::uint8_t* p = chunk_.data();
        const auto lo = std::lower_bound(first, last, key, [p, n](Entry e, const std::uint8_t* k) {
            return compare_tail(p + offset_of(e), k, n) < 0;
        });
        if (lo == last || compare_tail(p + offset_of(*lo), key, n) != 0) return {0, 0};
        const auto hi = std::upper_bound(lo, last, key, [p, n](const std::uint8_t* k, Entry e) {
            return compare_tail(k, p + offset_of(e), n) < 0;
        });
        return {lo - index_.data(), hi - index_.data()};
    }

    // The last index entry in [i, last) whose first `bytes` bytes equal those
    // of entry i (they follow it in the sorted index).
    std::int64_t last_sharing(std::int64_t i, std::int64_t last, std::int64_t bytes) const {
        const std::uint8_t* shared = shared_.data();
        std::int64_t j = i + 1;
        if constexpr (kLittleEndian) {
            // Eight counts at a time: adding 128 - bytes to each (all are at
            // most 20) sets its top bit exactly when it is at least `bytes`.
            const std::uint64_t add = 0x0101010101010101ull * static_cast<std::uint64_t>(128 - bytes);
            while (j + 8 <= last) {
                const std::uint64_t short_of = ~(load64(shared + j) + add) & 0x8080808080808080ull;
                if (short_of) return j + (std::countr_zero(short_of) >> 3) - 1;
                j += 8;
            }
        }
        while (j < last && shared[j] >= bytes) ++j;
        return j - 1;
    }

private:
    Array<std::uint8_t> chunk_;
    std::int64_t length_ = 0;  // of the resident chunk
    Array<Entry> index_;
    std::int64_t entries_ = 0;
    Array<std::uint32_t> bucket_;  // bucket b holds index entries [bucket_[b], bucket_[b + 1])
    Array<std::uint32_t> next_;
    Array<std::uint8_t> bucket_sorted_;  // whether bucket b is in sort_entries order
    Array<std::uint32_t> fences_;  // see group_start
    Array<std::uint8_t> part_state_;  // see sorted_part
    // Key bytes an entry of a sorted part shares with the entry before it.
    Array<std::uint8_t> shared_;
    Array<std::uint64_t> present_;  // the filter_bits of the first 5 bytes of every entry, when filtered_
    bool filtered_ = false;
    struct SortPair {  // bytes 2 to 9, 10 to 17, 18 and 19 of an entry's key
        std::uint64_t head;
        std::uint64_t middle;
        std::uint32_t tail;
        std::uint32_t offset;
    };
    Scratch<SortPair> pairs_;  // scratch of the paired sort, at most kPairedSortLimit
    struct Ranked {  // bytes 6 to 13; bytes 14 to 19 above a 16-bit rank
        std::uint64_t head;
        std::uint64_t rest;
    };
    Scratch<Ranked> ranked_;  // scratch of sort_ranked, at most kRankedSortLimit
    Scratch<std::uint8_t> split_keys_;  // scratch of split_by_byte, at most one byte per entry
    Scratch<Entry> split_scratch_;  // scratch of split_by_byte, at most kSplitScratch
    Scratch<Entry> radix_scratch_;  // scratch of sort_entries, at most the largest bucket
};

}  // namespace quoralith::alg0
