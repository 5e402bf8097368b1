// The match search of the algorithm 0 encoder over one indexed chunk: the
// extension of a candidate (Scan, with its table of outcomes for 8 compared
// bytes at once), the lookup of the best candidate at a position (Searcher),
// and the walk of one slice (match_slice). Templates on where Updated' is
// read from and where the records go, so they live here, whole, for the
// encoder to instantiate with its own readers and sinks.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>

#include "coder/algorithm0_keys.h"
#include "coder/chunk_index.h"

namespace quoralith::alg0 {

constexpr std::int64_t kLongStep = 10;
// A lookup that keeps a candidate scoring above this stops looking further.
constexpr std::int64_t kGoodEnough = 99;
// How many positions ahead a lookup fetches the presence filter's word.
constexpr std::int64_t kLookupAhead = 8;

// State of one extension of a match: bytes stepped over (pending mismatches
// included), substitution points met and their mismatched bytes. Three unequal
// bytes in a row end it; an equal byte after one or two unequal ones turns them
// into a substitution point.
struct Scan {
    std::int64_t taken = 0;
    int pending = 0;
    std::int64_t substitutions = 0;
    std::int64_t mismatched = 0;
    bool ended = false;

    std::int64_t length() const { return taken - pending; }  // trailing mismatches given back

    // Compares a[i] with b[i] (forward) or a[-1 - i] with b[-1 - i] (backward)
    // for i in [0, count).
    template <bool kForward>
    void step(const std::uint8_t* a, const std::uint8_t* b, std::int64_t count) {
        std::int64_t i = 0;
        while (i < count) {
            if (pending == 0) {
                i += kForward ? equal_prefix(a + i, b + i, count - i) : equal_suffix(a - i, b - i, count - i);
                if (i == count) break;
            }
            const bool equal = kForward ? a[i] == b[i] : a[-1 - i] == b[-1 - i];
            ++i;
            if (equal) {
                ++substitutions;
                mismatched += pending;
                pending = 0;
            } else if (++pending == 3) {
                ended = true;
                break;
            }
        }
        taken += i;
    }

    // The first 8 comparisons of a fresh scan, given as a mask with bit i set
    // when the i-th compared pair differs.
    void start_with_mask(unsigned mask);
    // The next 8 comparisons of a scan that has not ended, given the same way.
    void continue_with_mask(unsigned mask);
};

// What a fresh scan makes of 8 comparisons, for every mask of differing bytes:
// most candidates are settled by one look-up here.
struct MaskOutcome {
    std::uint8_t taken;
    std::uint8_t pending;
    std::uint8_t substitutions;
    std::uint8_t mismatched;
    bool ended;
};

// Indexed by the mismatches pending before the 8 comparisons (0 to 2) times 256
// plus the mask.
constexpr std::array<MaskOutcome, 3 * 256> make_mask_outcomes() {
    std::array<MaskOutcome, 3 * 256> table{};
    for (unsigned entry = 0; entry < 3 * 256; ++entry) {
        const unsigned mask = entry & 0xFF;
        MaskOutcome o{0, static_cast<std::uint8_t>(entry >> 8), 0, 0, false};
        int i = 0;
        for (; i < 8 && !o.ended; ++i) {
            if (mask >> i & 1) {
                if (++o.pending == 3) o.ended = true;
            } else if (o.pending) {
                ++o.substitutions;
                o.mismatched = static_cast<std::uint8_t>(o.mismatched + o.pending);
                o.pending = 0;
            }
        }
        o.taken = static_cast<std::uint8_t>(i);
        table[entry] = o;
    }
    return table;
}

inline constexpr std::array<MaskOutcome, 3 * 256> kMaskOutcomes = make_mask_outcomes();

inline void Scan::start_with_mask(unsigned mask) {
    const MaskOutcome& o = kMaskOutcomes[mask & 0xFF];
    taken = o.taken;
    pending = o.pending;
    substitutions = o.substitutions;
    mismatched = o.mismatched;
    ended = o.ended;
}

inline void Scan::continue_with_mask(unsigned mask) {
    const MaskOutcome& o = kMaskOutcomes[static_cast<unsigned>(pending) << 8 | (mask & 0xFF)];
    taken += o.taken;
    pending = o.pending;
    substitutions += o.substitutions;
    mismatched += o.mismatched;
    ended = o.ended;
}

// Bit i set when byte i of a little-endian word of XORed bytes is not zero:
// the differing bytes of a forward comparison of 8 bytes.
inline unsigned forward_mask(std::uint64_t d) {
    d |= d >> 4;
    d |= d >> 2;
    d |= d >> 1;
    d &= 0x0101010101010101ull;
    return static_cast<unsigned>((d * 0x0102040810204080ull) >> 56);
}
// The same in reverse order, for a backward comparison ending at the word's end.
inline unsigned backward_mask(std::uint64_t d) {
    d |= d >> 4;
    d |= d >> 2;
    d |= d >> 1;
    d &= 0x0101010101010101ull;
    return static_cast<unsigned>((d * 0x8040201008040201ull) >> 56);
}

// The match a lookup keeps: Updated' [m0, m1) against the chunk from u.
struct Match {
    bool found = false;
    std::int64_t m0 = 0;  // Updated' start
    std::int64_t m1 = 0;  // Updated' end
    std::int64_t u = 0;   // chunk offset of m0
    std::int64_t substitutions = 0;
    std::int64_t score = 0;
};

// The two loops of a slice's search (match_slice).
enum class Phase : std::uint8_t { kLong, kShort };

// What a sink answers when it does not know the rest of a slice.
constexpr std::int64_t kUnknown = -2;

// A search ahead that met the end of its copy of Updated', or was cancelled.
struct GiveUp {};

// A match search over one chunk, reading Updated' through `Source`: the
// encoder's reader on the encoder's own thread, or a copied stretch of Updated'
// on a thread that searches a chunk ahead (Speculation in algorithm0.cpp).
template <class Source>
class Searcher {
public:
    Searcher(Source& source, ChunkIndex& ix) : source_(source), ix_(ix) {}

private:
    // Forward extension: chunk from `offset`, Updated' from `position`, at most
    // `limit` bytes, continuing `s`.
    Scan extend_forward(std::int64_t offset, std::int64_t position, std::int64_t limit, Scan s = {}) {
        std::int64_t block = 64;
        while (!s.ended && s.taken < limit) {
            const std::int64_t n = std::min(block, limit - s.taken);
            const std::uint8_t* b = source_.view(position + s.taken, n);
            s.step<true>(ix_.chunk() + offset + s.taken, b, n);
            block = std::min(block * 16, kBlock);
        }
        return s;
    }

    // Backward extension: the bytes before chunk `offset` and Updated' `position`.
    Scan extend_backward(std::int64_t offset, std::int64_t position, std::int64_t limit, Scan s = {}) {
        std::int64_t block = 64;
        while (!s.ended && s.taken < limit) {
            const std::int64_t n = std::min(block, limit - s.taken);
            const std::uint8_t* b = source_.view(position - s.taken - n, n);
            s.step<false>(ix_.chunk() + offset - s.taken, b + n, n);
            block = std::min(block * 16, kBlock);
        }
        return s;
    }

public:
    // Finds a match of n bytes at the first of the positions r, r + step, ...
    // (up to e - n) whose n bytes occur in the chunk, extended backwards no
    // further than r and forwards no further than z; the best of the candidates
    // at that position by score, then by fewer substitution points.
    Match lookup(std::int64_t n, std::int64_t r, std::int64_t e, std::int64_t step, std::int64_t z) {
        Match best;
        if (ix_.entries() == 0) return best;
        std::uint8_t key[kLongKey];
        const std::uint8_t* p = ix_.chunk();
        const Entry* index = ix_.index();
        const std::int64_t length = ix_.length();
        for (std::int64_t x = r; x <= e - n; x += step) {
            source_.poll();
            // Most positions are turned away by the presence filter, whose words
            // lie far apart: the word of a position some steps on is fetched now.
            const std::int64_t later = x + kLookupAhead * step;
            if (later <= e - n) ix_.prefetch_filter(source_.view(later, kShortKey));
            std::memcpy(key, source_.view(x, n), static_cast<std::size_t>(n));
            const auto [first, last] = ix_.find_equal(key, n);
            if (first == last) continue;
            // Most candidates part from Updated' within a few bytes: the 8 bytes on
            // either side of the key are compared word-wide before any call.
            const bool before_known = kLittleEndian && x - r >= 8;
            const bool after_known = kLittleEndian && z - x - n >= 8;
            const std::uint64_t before = before_known ? load64(source_.view(x - 8, 8)) : 0;
            const std::uint64_t after = after_known ? load64(source_.view(x + n, 8)) : 0;
            const std::uint64_t before_previous =
                kLittleEndian && x - r >= 16 ? load64(source_.view(x - 16, 8)) : 0;
            const std::uint64_t after_next =
                kLittleEndian && z - x - n >= 16 ? load64(source_.view(x + n + 8, 8)) : 0;
            // Without a backward extension, a forward scan that ends inside the
            // 20 key bytes depends on those bytes alone; candidates sharing them
            // (adjacent in the index) share its outcome and, tying with it, can
            // never be kept after it.
            const bool outcomes_shared = x == r && z - x >= kLongKey;
            // No candidate's bound exceeds the whole span from r to z: once the
            // kept one reaches it, every later one would be passed over.
            const std::int64_t span = z - r;
            for (std::int64_t i = first; i < last; ++i) {
                // Candidates lie all over the chunk: fetch a few ahead, both
                // ends of the bytes their first comparisons read (16 before
                // the key, the key, 16 after it), which often span two lines.
                if (i + kPrefetch < last) {
                    const std::int64_t ahead = offset_of(index[static_cast<std::size_t>(i + kPrefetch)]);
                    __builtin_prefetch(p + std::max<std::int64_t>(ahead - 16, 0));
                    __builtin_prefetch(p + std::min(ahead + n + 15, length - 1));
                }
                const std::int64_t offset = offset_of(index[static_cast<std::size_t>(i)]);
                const std::int64_t back_limit = std::min(offset, x - r);
                const std::int64_t ahead_limit = std::min(length - offset - n, z - x - n);
                // A candidate that could not be kept even if it matched to its
                // limits need not be extended.
                const std::int64_t bound = back_limit + n + ahead_limit;
                if (best.found && (bound < best.score || (bound == best.score && best.substitutions == 0))) continue;
                Scan back, ahead;
                // A forward scan often runs a little past its first word: the
                // second is compared word-wide too when it lies within the limit.
                if (after_known && ahead_limit >= 16) {
                    ahead.start_with_mask(forward_mask(load64(p + offset + n) ^ after));
                    if (!ahead.ended) ahead.continue_with_mask(forward_mask(load64(p + offset + n + 8) ^ after_next));
                } else if (after_known && ahead_limit >= 8) {
                    ahead.start_with_mask(forward_mask(load64(p + offset + n) ^ after));
                }
                if (!ahead.ended && ahead.taken < ahead_limit)
                    ahead = extend_forward(offset + n, x + n, ahead_limit, ahead);
                if (outcomes_shared && ahead.ended && ahead.taken <= kLongKey - n)
                    i = ix_.last_sharing(i, last, n + ahead.taken);
                // The forward side known, the backward one can add at most its
                // limit to the score and only add substitution points: when even
                // that could not be kept, it need not be scanned.
                if (best.found) {
                    const std::int64_t most = back_limit + n + ahead.length() - ahead.mismatched;
                    if (most < best.score || (most == best.score && ahead.substitutions >= best.substitutions))
                        continue;
                }
                // The backward scan likewise, when it may reach that far.
                if (before_known && back_limit >= 16) {
                    back.start_with_mask(backward_mask(load64(p + offset - 8) ^ before));
                    if (!back.ended) back.continue_with_mask(backward_mask(load64(p + offset - 16) ^ before_previous));
                } else if (before_known && back_limit >= 8) {
                    back.start_with_mask(backward_mask(load64(p + offset - 8) ^ before));
                }
                if (!back.ended && back.taken < back_limit) back = extend_backward(offset, x, back_limit, back);
                const std::int64_t length = back.length() + n + ahead.length();
                const std::int64_t score = length - back.mismatched - ahead.mismatched;
                const std::int64_t substitutions = back.substitutions + ahead.substitutions;
                if (!best.found || score > best.score ||
                    (score == best.score && substitutions < best.substitutions)) {
                    best.found = true;
                    best.m0 = x - back.length();
                    best.m1 = x + n + ahead.length();
                    best.u = offset - back.length();
                    best.substitutions = substitutions;
                    best.score = score;
                    if (score > kGoodEnough) break;
                    if (score == span && substitutions == 0) break;
                }
            }
            return best;
        }
        return best;
    }

private:
    Source& source_;
    ChunkIndex& ix_;
};

// The records of one slice, from r up to its end e: long lookups while the
// slice has room for them, each preceded by short lookups in the gap before it,
// then short lookups to the end. The records go to `sink`, which may also stop
// the slice where it already knows the rest (see Sink below).
//
// Returns where the records end, or -1 when the sink abandons the encoding.
template <class Source, class Sink>
std::int64_t match_slice(Searcher<Source>& search, Sink& sink, std::int64_t r, std::int64_t e, std::int64_t u) {
    // The abandon rule is applied after every record: the size estimate only
    // grows, so once it reaches U the encoding ends as abandoned whatever
    // follows, and the rest of Updated' need not be searched and written.
    while (e - r >= kLongKey) {
        if (const std::int64_t known = sink.resume(Phase::kLong, r); known != kUnknown) return known;
        const Match m = search.lookup(kLongKey, r, e, kLongStep, u);
        if (!m.found) break;
        if (m.m0 - r > 4) {
            // The gap before a long match is worth a search for short ones.
            for (;;) {
                const Match s = search.lookup(kShortKey, r, m.m0, 1, m.m0);
                if (!s.found) break;
                sink.record(r, s.m0, &s);
                if (sink.abandons()) return -1;
                r = s.m1;
            }
        }
        sink.record(r, m.m0, &m);
        if (sink.abandons()) return -1;
        r = m.m1;
    }
    while (r < e) {
        if (const std::int64_t known = sink.resume(Phase::kShort, r); known != kUnknown) return known;
        const Match s = search.lookup(kShortKey, r, e, 1, u);
        if (s.found) {
            sink.record(r, s.m0, &s);
            r = s.m1;
        } else {
            sink.record(r, e, nullptr);
            r = e;
        }
        if (sink.abandons()) return -1;
    }
    return r;
}

}  // namespace quoralith::alg0
