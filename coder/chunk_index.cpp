// Building and ordering the index of an algorithm 0 chunk: the counting pass
// over the first two key bytes, and the sorts a bucket, a 5-byte group or a
// deeper part goes through when a lookup first reaches it. The order they give
// is total, so the delta does not depend on which of them ran.
#include "coder/chunk_index.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace quoralith::alg0 {

void ChunkIndex::build_index() {
    entries_ = length_ >= kLongKey ? length_ - (kLongKey - 1) : 0;
    const std::uint8_t* p = chunk_.data();
    std::uint32_t* bucket = bucket_.data();
    std::memset(bucket, 0, bucket_.size() * sizeof *bucket);
    // Most 5-byte keys of varied data (compressed or machine code) are not
    // in the chunk, and a lookup of one is best turned away by a presence
    // filter; text keeps to few leading byte pairs and its keys are mostly
    // present, so there the filter costs more to build than it saves.
    std::size_t used = 0;  // buckets with an entry, counted as they fill
    for (std::int64_t i = 0; i < entries_; ++i)
        if (bucket[bucket_of(p + i) + 1]++ == 0) ++used;
    filtered_ = used >= kFilterBuckets;
    if (filtered_) {
        std::fill(present_.begin(), present_.end(), std::uint64_t{0});
        // One random place per entry in a table larger than the nearer
        // caches: the places are fetched some entries ahead.
        std::uint64_t* present = present_.data();
        for (std::int64_t i = 0; i < entries_; ++i) {
            if (i + kBuildAhead < entries_)
                __builtin_prefetch(present + filter_word(filter_hash(p + i + kBuildAhead)), 1);
            const std::uint64_t h = filter_hash(p + i);
            present[filter_word(h)] |= filter_bits(h);
        }
    }
    for (std::size_t b = 1, n = bucket_.size(); b < n; ++b) bucket[b] += bucket[b - 1];
    std::copy(bucket_.begin(), bucket_.end() - 1, next_.begin());
    Entry* index = index_.data();
    std::uint32_t* next = next_.data();
    for (std::int64_t i = 0; i < entries_; ++i) {
        if (i + kBuildAhead < entries_) __builtin_prefetch(index + next[bucket_of(p + i + kBuildAhead)], 1);
        index[next[bucket_of(p + i)]++] = make_entry(p, i);
    }
    std::fill(part_state_.begin(), part_state_.end(), std::uint8_t{0});
    std::fill(bucket_sorted_.begin(), bucket_sorted_.end(), std::uint8_t{0});
}

void ChunkIndex::sort_ranked(Entry* first, Entry* last, std::uint8_t* shared) {
    const std::uint8_t* p = chunk_.data();
    const auto count = static_cast<std::size_t>(last - first);
    Ranked* ranked = ranked_.reserve(count);
    Entry* original = split_scratch_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kPrefetch < count) __builtin_prefetch(p + offset_of(first[i + kPrefetch]));
        const std::uint8_t* k = p + offset_of(first[i]);
        original[i] = first[i];
        ranked[i] = {load_be64(k + 6), load_be64(k + 12) << 16 | i};
    }
    std::sort(ranked, ranked + count,
              [](const Ranked& x, const Ranked& y) { return x.head != y.head ? x.head < y.head : x.rest < y.rest; });
    first[0] = original[ranked[0].rest & 0xFFFF];
    for (std::size_t i = 1; i < count; ++i) {
        const Ranked& a = ranked[i - 1];
        const Ranked& b = ranked[i];
        first[i] = original[b.rest & 0xFFFF];
        int equal;
        if (a.head != b.head) {
            equal = 6 + (std::countl_zero(a.head ^ b.head) >> 3);
        } else {
            equal = std::min<int>(14 + (std::countl_zero(a.rest ^ b.rest) >> 3), kLongKey);
        }
        shared[i] = static_cast<std::uint8_t>(equal);
    }
}

void ChunkIndex::sort_entries(Entry* first, Entry* last) {
    const auto count = static_cast<std::size_t>(last - first);
    if (count <= 64) {
        std::sort(first, last);
        set_fences(first, last);
        return;
    }
    std::size_t counts[4][256] = {};
    for (const Entry* e = first; e != last; ++e) {
        const std::uint32_t k = static_cast<std::uint32_t>(*e >> 32);
        ++counts[0][k & 0xFF];
        ++counts[1][k >> 8 & 0xFF];
        ++counts[2][k >> 16 & 0xFF];
        ++counts[3][k >> 24];
    }
    Entry* from = first;
    Entry* to = radix_scratch_.reserve(count);
    for (int pass = 0; pass < 4; ++pass) {
        const int shift = 32 + 8 * pass;
        const std::size_t* c = counts[pass];
        if (c[(*first >> shift) & 0xFF] == count) continue;  // one value: already in order
        std::size_t fill[256];
        std::size_t sum = 0;
        for (int v = 0; v < 256; ++v) {
            fill[v] = sum;
            sum += c[v];
        }
        for (const Entry* e = from; e != from + count; ++e) to[fill[(*e >> shift) & 0xFF]++] = *e;
        std::swap(from, to);
    }
    if (from != first) std::copy(from, from + count, first);
    set_fences(first, last);
}

void ChunkIndex::set_fences(const Entry* first, const Entry* last) {
    const auto from = static_cast<std::size_t>(first - index_.data());
    const auto to = static_cast<std::size_t>(last - index_.data());
    for (std::size_t f = (from + kFenceStep - 1) / kFenceStep; f * kFenceStep < to; ++f)
        fences_[f] = static_cast<std::uint32_t>(index_[f * kFenceStep] >> 40);
}

void ChunkIndex::sort_group(Entry* first, Entry* last) {
    std::uint8_t* shared = shared_.data();
    for (Entry* run = first; run != last;) {
        Entry* end = run + 1;
        while (end != last && (*end >> 32) == (*run >> 32)) ++end;
        sort_bucket(run, end, kShortKey + 1);
        if (run != first) shared[run - index_.data()] = static_cast<std::uint8_t>(kShortKey);
        run = end;
    }
}

int ChunkIndex::split_by_byte(Entry* first, Entry* last, int depth, int limit, std::size_t* starts) {
    const std::uint8_t* chunk = chunk_.data();
    const auto count = static_cast<std::size_t>(last - first);
    std::uint8_t* keys = split_keys_.reserve(count);
    // Bytes from `depth` on in which every entry seen so far agrees with the first.
    std::int64_t common = limit - depth;
    const std::uint8_t* lead = chunk + offset_of(first[0]) + depth;
    for (std::size_t j = 0; j < count; ++j) {
        if (j + kPrefetch * 4 < count) __builtin_prefetch(chunk + offset_of(first[j + kPrefetch * 4]) + depth);
        const std::uint8_t* k = chunk + offset_of(first[j]) + depth;
        keys[j] = *k;
        if (common > 0) common = equal_prefix(k, lead, common);
    }
    if (common > 0) {
        depth += static_cast<int>(common);
        if (depth == limit) return limit;
        for (std::size_t j = 0; j < count; ++j) {
            if (j + kPrefetch * 4 < count) __builtin_prefetch(chunk + offset_of(first[j + kPrefetch * 4]) + depth);
            keys[j] = chunk[offset_of(first[j]) + depth];
        }
    }
    std::fill(starts, starts + 257, std::size_t{0});
    for (std::size_t j = 0; j < count; ++j) ++starts[keys[j] + 1];
    for (int b = 1; b <= 256; ++b) starts[b] += starts[b - 1];
    std::size_t fill[256];
    std::copy(starts, starts + 256, fill);
    if (count <= kSplitScratch) {
        // A stable scatter through a scratch array reads the part in order
        // instead of chasing cycles through it.
        Entry* out = split_scratch_.reserve(count);
        for (std::size_t j = 0; j < count; ++j) out[fill[keys[j]]++] = first[j];
        std::copy(out, out + count, first);
        return depth;
    }
    for (int b = 0; b < 256; ++b) {
        while (fill[b] < starts[b + 1]) {
            Entry e = first[fill[b]];
            std::uint8_t home = keys[fill[b]];
            while (home != b) {
                const std::size_t to = fill[home]++;
                std::swap(e, first[to]);
                std::swap(home, keys[to]);
            }
            keys[fill[b]] = home;
            first[fill[b]++] = e;
        }
    }
    return depth;
}

void ChunkIndex::sort_bucket(Entry* first, Entry* last, int depth) {
    const std::uint8_t* p = chunk_.data();
    const std::size_t count = static_cast<std::size_t>(last - first);
    if (count < 2) return;
    std::uint8_t* shared = shared_.data() + (first - index_.data());
    if (count <= 16) {
        std::sort(first, last, [p](Entry x, Entry y) {
            const int order = compare_tail(p + offset_of(x), p + offset_of(y), kLongKey);
            return order != 0 ? order < 0 : offset_of(x) < offset_of(y);
        });
        for (std::size_t i = 1; i < count; ++i)
            shared[i] = static_cast<std::uint8_t>(
                equal_prefix(p + offset_of(first[i - 1]), p + offset_of(first[i]), kLongKey));
        return;
    }
    if (count > kPairedSortLimit) {
        if (depth == kLongKey) {
            std::sort(first, last);  // equal keys, equal high bits: offset order
            std::fill(shared + 1, shared + count, static_cast<std::uint8_t>(kLongKey));
            return;
        }
        // Too large for the scratch: split by the next key byte in place
        // and sort the parts, which part at that byte.
        std::size_t starts[257];
        split_by_byte(first, last, depth, depth, starts);
        for (int b = 0; b < 256; ++b) {
            sort_bucket(first + starts[b], first + starts[b + 1], depth + 1);
            if (starts[b] > 0 && starts[b] < starts[b + 1]) shared[starts[b]] = static_cast<std::uint8_t>(depth);
        }
        return;
    }
    if (depth > kShortKey && count <= kRankedSortLimit && std::is_sorted(first, last)) {
        sort_ranked(first, last, shared);
        return;
    }
    SortPair* pairs = pairs_.reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        if (i + kPrefetch < count) __builtin_prefetch(p + offset_of(first[i + kPrefetch]));
        const std::uint8_t* k = p + offset_of(first[i]);
        pairs[i] = {load_be64(k + 2), load_be64(k + 10), static_cast<std::uint32_t>(k[18]) << 24 |
                                                               static_cast<std::uint32_t>(k[19]) << 16,
                     offset_of(first[i])};
    }
    std::sort(pairs, pairs + count,
              [](const SortPair& x, const SortPair& y) {
                  if (x.head != y.head) return x.head < y.head;
                  if (x.middle != y.middle) return x.middle < y.middle;
                  if (x.tail != y.tail) return x.tail < y.tail;
                  return x.offset < y.offset;
              });
    // The head holds bytes 2 to 5, the high half of an entry.
    first[0] = (pairs[0].head >> 32) << 32 | pairs[0].offset;
    for (std::size_t i = 1; i < count; ++i) {
        const SortPair& a = pairs[i - 1];
        const SortPair& b = pairs[i];
        first[i] = (b.head >> 32) << 32 | b.offset;
        int equal;
        if (a.head != b.head) {
            equal = 2 + (std::countl_zero(a.head ^ b.head) >> 3);
        } else if (a.middle != b.middle) {
            equal = 10 + (std::countl_zero(a.middle ^ b.middle) >> 3);
        } else {
            equal = std::min<int>(18 + (std::countl_zero(a.tail ^ b.tail) >> 3), kLongKey);
        }
        shared[i] = static_cast<std::uint8_t>(equal);
    }
}

}  // namespace quoralith::alg0
