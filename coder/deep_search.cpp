// The deep search's index and scan (see deep_search.h).
#include "coder/deep_search.h"

#include <algorithm>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <new>

#include "coder/approximate_extension.h"
#include "coder/suffix_array.h"

namespace quoralith {

namespace {

// A new diagonal must beat the one being followed by this many equal bytes
// before the scan moves to it: a record costs a few bytes of control bits.
constexpr std::int32_t kSwitchMargin = 8;
// Neighbours in suffix order looked at for a match nearer the diagonal.
constexpr std::int32_t kNearNeighbours = 8;
// Matches longer than this are not worth a nearer neighbour's comparisons.
constexpr std::int32_t kNearMaxLength = 256;

// Matches shorter than this are not worth a record of their own, and the
// index does not report them.
constexpr std::int32_t kFilterBytes = 6;
constexpr std::uint64_t kFilterMultiplier = 0x9E3779B97F4A7C15ull;

inline std::uint64_t filter_hash(const std::uint8_t* p) {
    std::uint64_t v = 0;
    for (int i = 0; i < kFilterBytes; ++i) v = v << 8 | p[i];
    return v * kFilterMultiplier;
}

inline std::int32_t key_of(const std::uint8_t* p) { return static_cast<std::int32_t>(p[0]) << 8 | p[1]; }

// Base' from this length on gets the key table and the filter.
constexpr std::int32_t kTablesFrom = 1 << 20;

}  // namespace

// Arrays from this size on are mapped (in huge pages where the system offers
// them); smaller ones come from the heap, where the memory an earlier search
// freed serves them again.
constexpr std::size_t kMappedSuffixes = std::size_t{16} << 20;

PackedSuffixes::PackedSuffixes(const std::uint8_t* base, std::int32_t n) {
    const std::size_t count = static_cast<std::size_t>(std::max(n, 1));
    const std::size_t full = 4 * count;
    mapped_ = full >= kMappedSuffixes && full >= kLargeArray;
    bytes_ = static_cast<std::uint8_t*>(mapped_ ? allocate_large(full) : std::malloc(full));
    if (!bytes_) throw std::bad_alloc();
    size_ = full;
    auto* entries = reinterpret_cast<std::int32_t*>(bytes_);
    entries[0] = 0;  // the one entry of an empty Base', never looked at
    try {
        build_suffix_array(base, n, entries);
    } catch (...) {
        if (mapped_) release_large(bytes_, size_);
        else std::free(bytes_);
        throw;
    }
    if (n >= (1 << 24)) return;
    // Packed in place from the front: entry i moves to 3i, below 4i, so no
    // entry is overwritten before it is read. One byte of padding lets the
    // last entry be read as 4 bytes.
    width_ = 3;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t v;
        std::memcpy(&v, bytes_ + 4 * i, 4);
        if constexpr (std::endian::native != std::endian::little) v = __builtin_bswap32(v);
        const std::uint8_t b[3] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16)};
        std::memcpy(bytes_ + 3 * i, b, 3);
    }
    const std::size_t packed = 3 * count + 1;
    bytes_[packed - 1] = 0;
    if (mapped_) {
        shrink_large(bytes_, size_, packed);
    } else if (void* smaller = std::realloc(bytes_, packed)) {
        bytes_ = static_cast<std::uint8_t*>(smaller);
    }
    size_ = packed;
}

PackedSuffixes::~PackedSuffixes() {
    if (mapped_) release_large(bytes_, size_);
    else std::free(bytes_);
}

SuffixIndex::SuffixIndex(const std::uint8_t* base, std::int32_t n)
    : base_(base), n_(n), sa_(base, n) {
    // A small Base' is searched without the key table and the filter: they
    // only save comparisons, which a small index does quickly anyway, and
    // for a file of a few hundred kilobytes their half megabyte would be a
    // good part of all the memory a run takes.
    if (n < kTablesFrom) return;
    // Suffixes are sorted, so their two-byte keys rise; a one-byte suffix
    // sorts first among those that start with its byte.
    first_.resize(65537);
    std::int32_t key = 0;
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t k = sa_.width() == 3 ? key_at<3>(i) : key_at<4>(i);
        while (key <= k) first_[static_cast<std::size_t>(key++)] = i;
    }
    while (key <= 65536) first_[static_cast<std::size_t>(key++)] = n;
    // About four bits per position: a quarter of them set at most.
    int bits = 16;
    while (bits < 30 && (std::int64_t{1} << bits) < std::int64_t{4} * n) ++bits;
    filter_shift_ = 64 - bits;
    filter_.assign((std::size_t{1} << bits) / 64, 0);
    for (std::int32_t i = 0; i + kFilterBytes <= n; ++i) {
        const std::uint64_t h = filter_hash(base + i) >> filter_shift_;
        filter_[h >> 6] |= std::uint64_t{1} << (h & 63);
    }
}

template <int W>
std::int32_t SuffixIndex::key_at(std::int32_t rank) const {
    const std::int32_t at = sa_.at<W>(rank);
    return at + 1 < n_ ? key_of(base_ + at) : static_cast<std::int32_t>(base_[at]) << 8;
}

template <int W>
std::int32_t SuffixIndex::first_with_key(std::int32_t key) const {
    if (!first_.empty()) return first_[static_cast<std::size_t>(key)];
    std::int32_t lo = 0, hi = n_;
    while (lo < hi) {
        const std::int32_t mid = lo + (hi - lo) / 2;
        if (key_at<W>(mid) < key) lo = mid + 1;
        else hi = mid;
    }
    return lo;
}

bool SuffixIndex::may_occur(const std::uint8_t* text) const {
    const std::uint64_t h = filter_hash(text) >> filter_shift_;
    return (filter_[h >> 6] >> (h & 63)) & 1;
}

template <int W>
std::int32_t SuffixIndex::common(std::int32_t suffix, const std::uint8_t* text, std::int32_t length,
                                 std::int32_t from) const {
    const std::int32_t at = sa_.at<W>(suffix);
    const std::int32_t limit = std::min(length, n_ - at);
    if (from >= limit) return limit;
    return from + deep_equal_prefix(base_ + at + from, text + from, limit - from);
}

std::int32_t SuffixIndex::longest(const std::uint8_t* text, std::int32_t length, std::int32_t cap,
                                  std::int32_t near, std::int32_t& position, std::int32_t* rank) const {
    length = std::min(length, cap);
    if (length < kFilterBytes || n_ < kFilterBytes || (!filter_.empty() && !may_occur(text))) return 0;
    return sa_.width() == 3 ? longest_in<3>(text, length, near, position, rank)
                            : longest_in<4>(text, length, near, position, rank);
}

template <int W>
std::int32_t SuffixIndex::longest_in(const std::uint8_t* text, std::int32_t length, std::int32_t near,
                                     std::int32_t& position, std::int32_t* rank) const {
    const std::int32_t key = key_of(text);
    const std::int32_t lo = first_with_key<W>(key);
    const std::int32_t hi = first_with_key<W>(key + 1);
    if (lo >= hi) return 0;
    // Every suffix in [lo, hi) shares the first two bytes, except perhaps a
    // one-byte suffix at lo, which common() measures.
    std::int32_t left = lo - 1, right = hi;
    std::int32_t left_common = 1, right_common = 1;
    std::int32_t best = 0, best_index = lo;
    while (right - left > 1) {
        const std::int32_t mid = left + (right - left) / 2;
        const std::int32_t c = common<W>(mid, text, length, std::min(left_common, right_common));
        if (c > best) {
            best = c;
            best_index = mid;
        }
        if (c == length) break;
        const std::int32_t at = sa_.at<W>(mid);
        const bool below = at + c == n_ || base_[at + c] < text[c];
        if (below) {
            left = mid;
            left_common = c;
        } else {
            right = mid;
            right_common = c;
        }
    }
    if (best < kFilterBytes) return 0;
    position = sa_.at<W>(best_index);
    std::int32_t chosen = best_index;
    if (best <= kNearMaxLength && position != near) {
        // Equally long matches lie next to each other in suffix order.
        std::int32_t distance = position > near ? position - near : near - position;
        for (int side = -1; side <= 1; side += 2) {
            for (std::int32_t step = 1; step <= kNearNeighbours; ++step) {
                const std::int32_t index = best_index + side * step;
                if (index < lo || index >= hi || common<W>(index, text, length, 0) < best) break;
                const std::int32_t at = sa_.at<W>(index);
                const std::int32_t d = at > near ? at - near : near - at;
                if (d < distance) {
                    distance = d;
                    position = at;
                    chosen = index;
                }
            }
        }
    }
    if (rank) *rank = chosen;
    return best;
}

void deep_scan(const SuffixIndex& index, const std::uint8_t* base, const std::uint8_t* updated, std::int32_t m,
               std::int32_t start_p, const std::function<void(const DeepSegment&)>& segment,
               const std::function<void(std::int32_t)>& tick) {
    // Follows bsdiff's scan: `last_offset` is the diagonal followed since
    // `last_scan`; at each position the longest exact match is compared with
    // what the followed diagonal gives over the same bytes, and the scan
    // moves on to the match when it is clearly better.
    const std::int32_t n = index.size();
    constexpr std::int32_t kCap = 1 << 12;
    auto on_diagonal = [&](std::int64_t q, std::int64_t offset) {
        const std::int64_t p = q + offset;
        return p >= 0 && p < n && base[p] == updated[q];
    };
    std::int32_t scan = 0, length = 0, position = 0;
    std::int32_t last_scan = 0;
    std::int64_t last_p = start_p;
    std::int64_t last_offset = start_p;
    std::int32_t next_tick = 1 << 16;
    while (scan < m) {
        std::int32_t old_score = 0;
        scan += length;
        std::int32_t scored = scan;
        for (; scan < m; ++scan) {
            const std::int64_t near = std::clamp<std::int64_t>(scan + last_offset, 0, n);
            length = index.longest(updated + scan, m - scan, kCap, static_cast<std::int32_t>(near), position);
            for (; scored < scan + length; ++scored)
                if (on_diagonal(scored, last_offset)) ++old_score;
            if ((length == old_score && length != 0) || length > old_score + kSwitchMargin) break;
            if (on_diagonal(scan, last_offset)) --old_score;
            if (scan >= next_tick) {
                tick(scan);
                next_tick = scan + (1 << 16);
            }
        }
        if (length == old_score && scan != m) continue;

        // Forward from the last stretch's start along its diagonal, and
        // backward from the new match along its own: each as far as at least
        // half of the bytes agree.
        const Extension reach = extend_between(base, n, updated, m, last_scan, last_p, last_offset, scan, position);
        const auto forward = static_cast<std::int32_t>(reach.forward);
        const auto backward = static_cast<std::int32_t>(reach.backward);
        if (forward > 0 && last_p >= 0)
            segment(DeepSegment{last_scan, static_cast<std::int32_t>(last_p), forward});
        last_scan = scan - backward;
        last_p = position - backward;
        last_offset = static_cast<std::int64_t>(position) - scan;
    }
}

}  // namespace quoralith
