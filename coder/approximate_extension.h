// How far two neighbouring matches of a bsdiff-style scan reach once some
// differing bytes are allowed: the previous match forward along its diagonal,
// the next one backward along its own, each as far as at least half of the
// bytes agree, and where the two would overlap, the split that keeps the most
// agreeing bytes. The deep search and the compact format's covers both scan
// this way; the scan itself (how each finds its matches) stays with each.
#pragma once

#include <cstdint>

namespace quoralith {

struct Extension {
    std::int64_t forward = 0;   // bytes from last_scan along the previous diagonal
    std::int64_t backward = 0;  // bytes before scan along the next match's diagonal
};

// `base` holds n bytes and `updated` m. The previous match started at Updated
// `last_scan` and Base `last_p` (which may lie before Base, on a diagonal that
// starts there) and follows `last_offset` (Base minus Updated position); the
// next one starts at Updated `scan` and Base `position` (scan == m: none).
inline Extension extend_between(const std::uint8_t* base, std::int64_t n, const std::uint8_t* updated,
                                std::int64_t m, std::int64_t last_scan, std::int64_t last_p,
                                std::int64_t last_offset, std::int64_t scan, std::int64_t position) {
    Extension e;
    {
        std::int64_t equal = 0, best = 0;
        for (std::int64_t i = 0; last_scan + i < scan && last_p + i < n;) {
            if (last_p + i >= 0 && base[last_p + i] == updated[last_scan + i]) ++equal;
            ++i;
            if (equal * 2 - i > best * 2 - e.forward) {
                best = equal;
                e.forward = i;
            }
        }
    }
    if (scan < m) {
        std::int64_t equal = 0, best = 0;
        for (std::int64_t i = 1; scan >= last_scan + i && position >= i; ++i) {
            if (base[position - i] == updated[scan - i]) ++equal;
            if (equal * 2 - i > best * 2 - e.backward) {
                best = equal;
                e.backward = i;
            }
        }
    }
    if (last_scan + e.forward > scan - e.backward) {
        // The two reach into each other: split where the sum is best.
        const std::int64_t overlap = (last_scan + e.forward) - (scan - e.backward);
        std::int64_t score = 0, best = 0, keep = 0;
        for (std::int64_t i = 0; i < overlap; ++i) {
            const std::int64_t qf = last_scan + e.forward - overlap + i;
            const std::int64_t pf = qf + last_offset;
            if (pf >= 0 && pf < n && base[pf] == updated[qf]) ++score;
            const std::int64_t qb = scan - e.backward + i;
            if (base[position - e.backward + i] == updated[qb]) --score;
            if (score > best) {
                best = score;
                keep = i + 1;
            }
        }
        e.forward += keep - overlap;
        e.backward -= keep;
    }
    return e;
}

}  // namespace quoralith
