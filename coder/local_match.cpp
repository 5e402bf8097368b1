// The local match finder. An index of D sorted by key (ties by offset) and
// searched by bisection visits, for each key of A, the offsets of D holding that
// key in ascending order; the hash chains below visit exactly the same offsets in
// the same order, without sorting on every call.
#include "coder/local_match.h"

#include <algorithm>
#include <climits>
#include <cstring>

namespace quoralith {

namespace {

// Hash of the first (up to) four key bytes; equal keys always share a bucket.
inline std::uint32_t key_hash(const std::uint8_t* p, int key_length, int shift) {
    std::uint32_t v = 0;
    if (key_length >= 4) {
        std::memcpy(&v, p, 4);
    } else {
        for (int j = 0; j < key_length; ++j) v = v << 8 | p[j];
    }
    return (v * 0x9E3779B1u) >> shift;
}

}  // namespace

LocalMatchFinder::LocalMatchFinder(int min_match, int key_length)
    : min_match_(min_match), key_length_(key_length) {}

std::optional<LocalMatch> LocalMatchFinder::find(const std::uint8_t* d, int c, const std::uint8_t* a,
                                                 int a_length, bool forward) {
    const int m = min_match_;
    const int key = key_length_;
    if (c < m || a_length < m || m < 1) return std::nullopt;

    const int entries = c - m + 1;
    int bits = 4;
    while ((1 << bits) < 2 * entries) ++bits;
    const int shift = 32 - bits;
    head_.assign(std::size_t{1} << bits, 0);
    next_.resize(static_cast<std::size_t>(entries));
    for (int k = entries - 1; k >= 0; --k) {
        std::uint16_t& slot = head_[key_hash(d + k, key, shift)];
        next_[static_cast<std::size_t>(k)] = slot;
        slot = static_cast<std::uint16_t>(k + 1);
    }

    const int last = a_length - m;
    for (int step = 0; step <= last; ++step) {
        const int i = forward ? step : last - step;
        const std::uint8_t* wanted = a + i;
        int best_base = 0;
        int best_updated = INT_MAX;
        for (int e = head_[key_hash(wanted, key, shift)]; e != 0; e = next_[static_cast<std::size_t>(e - 1)]) {
            const int k = e - 1;
            if (std::memcmp(d + k, wanted, static_cast<std::size_t>(key)) != 0) continue;

            // Back over fewer than three consecutive differences, then give
            // back the differing bytes at the front.
            int bk = k;
            int bi = i;
            int differ = 0;
            while (differ < 3 && bk > 0 && bi > 0) {
                --bk;
                --bi;
                differ = d[bk] == a[bi] ? 0 : differ + 1;
            }
            bk += differ;
            bi += differ;

            // The M bytes from the new start may not hold three consecutive
            // differences beyond the key (which is known to agree).
            const int diagonal = k - i;
            const int end = bi + m;
            differ = 0;
            bool accepted = true;
            for (int t = i + key; t < end; ++t) {
                if (d[t + diagonal] != a[t]) {
                    if (++differ == 3) {
                        accepted = false;
                        break;
                    }
                } else {
                    differ = 0;
                }
            }
            if (accepted && bi < best_updated) {
                best_base = bk;
                best_updated = bi;
                if (bi == 0) break;
            }
        }
        if (best_updated != INT_MAX) return LocalMatch{best_base, best_updated};
    }
    return std::nullopt;
}

}  // namespace quoralith
