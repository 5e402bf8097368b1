// Induced sorting (SA-IS): the suffixes that start a valley of the text (LMS
// suffixes) are sorted first, by sorting their substrings and, where two are
// equal, the shorter string of their names; every other suffix is then placed
// by two scans that induce its order from its successor's. The string's end is
// a virtual sentinel smaller than every symbol. The reduced string and its
// suffix array share the output array, so a level needs no copy of either.
#include "coder/suffix_array.h"

#include <algorithm>
#include <cstddef>
#include <vector>

namespace quoralith {

namespace {

// One bit per position: set for S-type (the suffix sorts before its successor).
class TypeBits {
public:
    explicit TypeBits(std::int32_t n) : words_(static_cast<std::size_t>(n) / 64 + 1, 0) {}
    void set(std::int32_t i) { words_[static_cast<std::size_t>(i) >> 6] |= std::uint64_t{1} << (i & 63); }
    bool s_type(std::int32_t i) const { return (words_[static_cast<std::size_t>(i) >> 6] >> (i & 63)) & 1; }

private:
    std::vector<std::uint64_t> words_;
};

template <class C>
void bucket_bounds(const C* s, std::int32_t n, std::int32_t k, std::int32_t* bucket, bool ends) {
    std::fill(bucket, bucket + k, 0);
    for (std::int32_t i = 0; i < n; ++i) ++bucket[s[i]];
    std::int32_t sum = 0;
    for (std::int32_t c = 0; c < k; ++c) {
        sum += bucket[c];
        bucket[c] = ends ? sum : sum - bucket[c];
    }
}

// From LMS suffixes placed at their buckets' ends: L-type suffixes left to
// right from bucket heads, then S-type suffixes right to left from bucket ends.
template <class C>
void induce(const C* s, std::int32_t* sa, std::int32_t n, std::int32_t k, std::int32_t* bucket,
            const TypeBits& types) {
    bucket_bounds(s, n, k, bucket, false);
    // The sentinel sorts first; the suffix before it is L-type.
    sa[bucket[s[n - 1]]++] = n - 1;
    for (std::int32_t i = 0; i < n; ++i) {
        const std::int32_t j = sa[i] - 1;
        if (sa[i] > 0 && !types.s_type(j)) sa[bucket[s[j]]++] = j;
    }
    bucket_bounds(s, n, k, bucket, true);
    for (std::int32_t i = n; i-- > 0;) {
        const std::int32_t j = sa[i] - 1;
        if (sa[i] > 0 && types.s_type(j)) sa[--bucket[s[j]]] = j;
    }
}

// `spare` (`spare_size` entries) is memory the caller does not need during
// the call; the buckets go there when they fit.
template <class C>
void sais(const C* s, std::int32_t* sa, std::int32_t n, std::int32_t k, std::int32_t* spare, std::int32_t spare_size) {
    if (n == 0) return;
    if (n == 1) {
        sa[0] = 0;
        return;
    }
    TypeBits types(n);
    // The last symbol is L-type: it is larger than the sentinel after it.
    bool next_s = false;
    for (std::int32_t i = n - 1; i-- > 0;) {
        next_s = s[i] < s[i + 1] || (s[i] == s[i + 1] && next_s);
        if (next_s) types.set(i);
    }
    auto lms = [&](std::int32_t i) { return i > 0 && i < n && types.s_type(i) && !types.s_type(i - 1); };

    std::vector<std::int32_t> own;
    std::int32_t* bucket = spare;
    if (k > spare_size) {
        own.resize(static_cast<std::size_t>(k));
        bucket = own.data();
    }
    // Stage 1: sort the LMS substrings.
    bucket_bounds(s, n, k, bucket, true);
    std::fill(sa, sa + n, -1);
    for (std::int32_t i = 1; i < n; ++i)
        if (lms(i)) sa[--bucket[s[i]]] = i;
    induce(s, sa, n, k, bucket, types);

    std::int32_t n1 = 0;
    for (std::int32_t i = 0; i < n; ++i)
        if (lms(sa[i])) sa[n1++] = sa[i];

    // Name them: equal substrings (same symbols and types up to the next LMS
    // position) get the same name. LMS positions are at least two apart, so
    // position / 2 gives each its own slot above the sorted list.
    std::fill(sa + n1, sa + n, -1);
    std::int32_t names = 0;
    std::int32_t previous = -1;
    for (std::int32_t i = 0; i < n1; ++i) {
        const std::int32_t position = sa[i];
        bool differ = previous < 0;
        for (std::int32_t d = 0; !differ; ++d) {
            // Only the last LMS substring reaches the sentinel, which is unique.
            if (position + d == n || previous + d == n || s[position + d] != s[previous + d] ||
                types.s_type(position + d) != types.s_type(previous + d)) {
                differ = true;
            } else if (d > 0 && (lms(position + d) || lms(previous + d))) {
                break;
            }
        }
        if (differ) {
            ++names;
            previous = position;
        }
        sa[n1 + position / 2] = names - 1;
    }
    for (std::int32_t i = n, j = n; i-- > n1;)
        if (sa[i] >= 0) sa[--j] = sa[i];

    // Stage 2: the order of the LMS suffixes, from the reduced string.
    std::int32_t* reduced = sa + n - n1;
    if (names < n1) {
        // Between the reduced string's suffix array (below n1) and the
        // reduced string (from n - n1) lies room the level below may use.
        sais(reduced, sa, n1, names, sa + n1, n - 2 * n1);
    } else {
        for (std::int32_t i = 0; i < n1; ++i) sa[reduced[i]] = i;
    }

    // Stage 3: the sorted LMS suffixes at their buckets' ends, then induce.
    for (std::int32_t i = 1, j = 0; i < n; ++i)
        if (lms(i)) reduced[j++] = i;
    for (std::int32_t i = 0; i < n1; ++i) sa[i] = reduced[sa[i]];
    std::fill(sa + n1, sa + n, -1);
    bucket_bounds(s, n, k, bucket, true);
    for (std::int32_t i = n1; i-- > 0;) {
        const std::int32_t j = sa[i];
        sa[i] = -1;
        sa[--bucket[s[j]]] = j;
    }
    induce(s, sa, n, k, bucket, types);
}

}  // namespace

void build_suffix_array(const std::uint8_t* s, std::int32_t n, std::int32_t* sa) { sais(s, sa, n, 256, nullptr, 0); }

}  // namespace quoralith
