// The deep search: a suffix array over a window of Base' gives the longest
// match at any Updated' position; a scan in the manner of bsdiff follows one
// diagonal (Base' position minus Updated' position) for as long as it serves
// about as well as the best exact match elsewhere, and cuts Updated' into
// stretches, each copied approximately along one diagonal, with new bytes
// between them. What those stretches cost in records is decided by the caller.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>
#include <functional>
#include <vector>

#include "coder/equal_bytes.h"
#include "coder/stream.h"

namespace quoralith {

// How many of the first n bytes of a and b are equal.
inline std::int32_t deep_equal_prefix(const std::uint8_t* a, const std::uint8_t* b, std::int32_t n) {
    return static_cast<std::int32_t>(equal_prefix(a, b, n));
}

// A suffix array kept in three bytes an entry when every position fits (a
// Base' below 16 MiB), else four: the array is most of the deep search's
// memory, and a quarter of it is a byte that is always zero.
class PackedSuffixes {
public:
    // Sorts the suffixes of base[0..n). Throws std::bad_alloc.
    PackedSuffixes(const std::uint8_t* base, std::int32_t n);
    ~PackedSuffixes();
    PackedSuffixes(const PackedSuffixes&) = delete;
    PackedSuffixes& operator=(const PackedSuffixes&) = delete;

    std::int32_t operator[](std::int32_t rank) const { return width_ == 3 ? at<3>(rank) : at<4>(rank); }
    // The entry at `rank` when the width is known to be W: searches choose
    // the width once, not at every entry they read.
    template <int W>
    std::int32_t at(std::int32_t rank) const {
        std::uint32_t v;
        std::memcpy(&v, bytes_ + static_cast<std::size_t>(rank) * W, 4);
        if constexpr (std::endian::native != std::endian::little) v = __builtin_bswap32(v);
        if constexpr (W == 3) v &= 0xFFFFFF;
        return static_cast<std::int32_t>(v);
    }
    int width() const { return width_; }

private:
    std::uint8_t* bytes_ = nullptr;
    std::size_t size_ = 0;  // bytes held, with the padding that lets every entry be read as 4 bytes
    int width_ = 4;
    bool mapped_ = false;
};

// Base' bytes held in memory with their suffix array and, for each first two
// bytes, the range of suffixes that start with them.
class SuffixIndex {
public:
    // Indexes base[0..n); `base` must outlive the index. Throws std::bad_alloc.
    SuffixIndex(const std::uint8_t* base, std::int32_t n);

    // The longest prefix of text[0..length) that occurs in Base' (at most
    // `cap` bytes are compared): returns its length and sets `position`.
    // Among equally long matches, the one nearest to `near` of the few next
    // to each other in suffix order is taken (a match on the diagonal being
    // followed costs the least to code).
    // `rank`, when given, receives the match's place in suffix order.
    std::int32_t longest(const std::uint8_t* text, std::int32_t length, std::int32_t cap, std::int32_t near,
                         std::int32_t& position, std::int32_t* rank = nullptr) const;

    // The Base' position of the suffix at `rank` (0 <= rank < size()).
    std::int32_t suffix(std::int32_t rank) const { return sa_[rank]; }

    std::int32_t size() const { return n_; }

private:
    template <int W>
    std::int32_t longest_in(const std::uint8_t* text, std::int32_t length, std::int32_t near, std::int32_t& position,
                            std::int32_t* rank) const;
    template <int W>
    std::int32_t common(std::int32_t suffix, const std::uint8_t* text, std::int32_t length, std::int32_t from) const;
    // The two-byte key of the suffix at `rank`; keys rise with rank.
    template <int W>
    std::int32_t key_at(std::int32_t rank) const;
    // The first rank whose key is at least `key` (0 <= key <= 65536).
    template <int W>
    std::int32_t first_with_key(std::int32_t key) const;

    // Whether some Base' position starts with the kFilterBytes bytes at `text`
    // (false positives possible, no false negatives).
    bool may_occur(const std::uint8_t* text) const;

    const std::uint8_t* base_;
    std::int32_t n_;
    PackedSuffixes sa_;
    // One bit per hash of every kFilterBytes-byte string of Base': most
    // positions of new data have no match that long and are turned away here.
    // Empty for a small Base'.
    std::vector<std::uint64_t> filter_;
    int filter_shift_ = 64;
    // 65537 entries, or none for a small Base': suffixes whose first two
    // bytes are below each value.
    std::vector<std::int32_t> first_;
};

// A stretch of Updated' [q, q + length) to be copied along the diagonal that
// takes Base' from p, in the coordinates the scan was given.
struct DeepSegment {
    std::int32_t q;
    std::int32_t p;
    std::int32_t length;
};

// Scans updated[0..m) against the index and hands the stretches over in order
// of q. `start_p` is the Base' position the first stretch would continue from
// (the diagonal of what precedes the part). `tick` is called now and then with
// the scan position; it may throw to end the scan.
void deep_scan(const SuffixIndex& index, const std::uint8_t* base, const std::uint8_t* updated, std::int32_t m,
               std::int32_t start_p, const std::function<void(const DeepSegment&)>& segment,
               const std::function<void(std::int32_t)>& tick);

}  // namespace quoralith
