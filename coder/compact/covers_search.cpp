// The search for covers (see covers_search.h).
#include "coder/compact/covers_search.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <memory>

#include "coder/approximate_extension.h"
#include "coder/compact/covers_streams.h"
#include "coder/deep_search.h"
#include "coder/equal_bytes.h"

namespace quoralith::compact {

namespace {

// A new diagonal must beat the one being followed by this many equal bytes
// before the scan moves to it: each cover costs a few control bytes.
constexpr std::int64_t kSwitchMargin = 8;
// Exact matches are measured up to this length; a longer one is followed on
// its diagonal by the scan anyway.
constexpr std::int32_t kCap = 1 << 12;

// Base's content at every 16th position, by a hash of the 32 bytes there:
// a match of 47 bytes or more spans a sample, and is found unless all of its
// samples lost their slots to others. One position per slot.
class SparseIndex {
public:
    static constexpr std::int64_t kSparseBytes = 32;

    SparseIndex(std::span<const std::uint8_t> base) : base_(base) {
        // A slot for every 16 to 32 bytes of Base: at most a quarter of
        // its size in memory. Where two samples share a slot the later one
        // stays; a long match has a sample in every 16 bytes, so it is
        // still found from one of the others.
        const std::uint64_t n = base.size();
        step_ = 16;
        bits_ = std::max(10, static_cast<int>(std::bit_width(n / step_)) - 1);
        slots_.assign(std::size_t{1} << bits_, UINT32_MAX);
        for (std::uint64_t p = 0; p + kSparseBytes <= n; p += step_)
            slots_[hash(base.data() + p)] = static_cast<std::uint32_t>(p);
    }

    std::int32_t longest(const std::uint8_t* text, std::int32_t length, std::int32_t cap, std::int32_t /*near*/,
                         std::int32_t& position) const {
        length = std::min(length, cap);
        if (length < kSparseBytes) return 0;
        const std::uint32_t p = slots_[hash(text)];
        if (p == UINT32_MAX) return 0;
        const std::int64_t limit = std::min<std::int64_t>(length, static_cast<std::int64_t>(base_.size()) - p);
        const auto equal = static_cast<std::int32_t>(equal_prefix(base_.data() + p, text, static_cast<std::size_t>(limit)));
        if (equal < kSparseBytes) return 0;
        position = static_cast<std::int32_t>(p);
        return equal;
    }

private:
    std::size_t hash(const std::uint8_t* p) const {
        std::uint64_t h = 0;
        for (int i = 0; i < kSparseBytes; i += 8) {
            std::uint64_t v;
            std::memcpy(&v, p + i, 8);
            h = (h ^ v) * 0x9E3779B97F4A7C15ull;
            h ^= h >> 29;
        }
        return static_cast<std::size_t>(h >> (64 - bits_));
    }

    std::span<const std::uint8_t> base_;
    std::uint64_t step_;
    int bits_;
    std::vector<std::uint32_t> slots_;
};

// The fine index answers the same question through the deep search's
// suffix array.
class FineIndex {
public:
    FineIndex(std::span<const std::uint8_t> base)
        : index_(base.data(), static_cast<std::int32_t>(base.size())) {}
    std::int32_t longest(const std::uint8_t* text, std::int32_t length, std::int32_t cap, std::int32_t near,
                         std::int32_t& position) const {
        return index_.longest(text, length, cap, near, position);
    }

private:
    SuffixIndex index_;
};

// bsdiff's scan: `last_offset` is the diagonal (Base position minus Updated
// position) followed since `last_scan`; at each position the longest exact
// match is compared with what the followed diagonal gives over the same
// bytes, and the scan moves to the match when it is clearly better. Each
// cover is then extended forward along its diagonal and backward along the
// next, as far as more bytes agree than not.
template <class Index>
std::vector<Cover> scan(const Index& index, std::span<const std::uint8_t> base_span,
                        std::span<const std::uint8_t> updated_span, const std::function<bool()>& stop) {
    std::vector<Cover> covers;
    const std::uint8_t* base = base_span.data();
    const std::uint8_t* updated = updated_span.data();
    const std::int64_t n = static_cast<std::int64_t>(base_span.size());
    const std::int64_t m = static_cast<std::int64_t>(updated_span.size());
    auto on_diagonal = [&](std::int64_t q, std::int64_t offset) {
        const std::int64_t p = q + offset;
        return p >= 0 && p < n && base[p] == updated[q];
    };
    std::int64_t scan = 0, length = 0;
    std::int32_t position = 0;
    std::int64_t last_scan = 0, last_p = 0, last_offset = 0;
    std::int64_t next_check = 1 << 16;
    while (scan < m) {
        std::int64_t old_score = 0;
        scan += length;
        std::int64_t scored = scan;
        for (; scan < m; ++scan) {
            if (scan >= next_check) {
                if (stop && stop()) throw streams::Stopped{};
                next_check = scan + (1 << 16);
            }
            const std::int64_t near = std::clamp<std::int64_t>(scan + last_offset, 0, n);
            const std::int64_t left = std::min<std::int64_t>(m - scan, INT32_MAX);
            length = index.longest(updated + scan, static_cast<std::int32_t>(left), kCap,
                                   static_cast<std::int32_t>(near), position);
            for (; scored < scan + length; ++scored)
                if (on_diagonal(scored, last_offset)) ++old_score;
            if ((length == old_score && length != 0) || length > old_score + kSwitchMargin) break;
            if (on_diagonal(scan, last_offset)) --old_score;
        }
        if (length == old_score && scan != m) continue;

        const Extension reach = extend_between(base, n, updated, m, last_scan, last_p, last_offset, scan, position);
        const std::int64_t forward = reach.forward;
        const std::int64_t backward = reach.backward;
        if (forward > 0 && last_p >= 0 && last_p + forward <= n)
            covers.push_back(Cover{static_cast<std::uint64_t>(last_scan), static_cast<std::uint64_t>(last_p),
                                   static_cast<std::uint64_t>(forward)});
        last_scan = scan - backward;
        last_p = position - backward;
        last_offset = static_cast<std::int64_t>(position) - scan;
    }
    return covers;
}

// Keeps the covers that pay for themselves and cuts out of them the stretches
// that differ throughout. A cover on a new diagonal costs control bytes, and
// its mismatched bytes cost what new bytes would, and more: new bytes are
// compressed with all of Base in reach, so a short cover of a poor match
// loses to them. A long stretch where nearly every byte differs (an
// overwrite with new data) is cheaper as new bytes than as differences in a
// stream of zeros.
// Measured on the developer corpus (executables, WebAssembly, JavaScript,
// logs, a package tree, random data): covers shorter than 256 bytes pay only
// when exact and at least 32 bytes long; below that, or with differences,
// the new-bytes stream's compressor codes them for less. Text of repeated
// lines gains most from leaving short covers out (logs: a fifth smaller).
constexpr std::uint64_t kLongCover = 256;
constexpr std::uint64_t kShortCover = 32;
// A run of differing bytes this long is cut out of its cover; this many
// equal bytes end a run.
constexpr std::uint64_t kCutRun = 24;
constexpr std::uint64_t kCutGap = 4;

std::vector<Cover> refine(std::span<const std::uint8_t> base, std::span<const std::uint8_t> updated,
                          const std::vector<Cover>& found) {
    std::vector<Cover> kept;
    kept.reserve(found.size());
    for (const Cover& c : found) {
        const std::uint8_t* u = updated.data() + c.q;
        const std::uint8_t* b = base.data() + c.p;
        if (c.length < kLongCover && (c.length < kShortCover || std::memcmp(u, b, c.length) != 0)) continue;
        // Cut out runs where nearly every byte differs, each from its first
        // to its last differing byte, that reach cut_run bytes. A table of
        // relinked pointers differs in a byte or two of every eight: that is
        // a pattern the difference stream compresses, not new data.
        std::uint64_t start = 0, i = 0;
        while (i < c.length) {
            if (u[i] == b[i]) {
                ++i;
                continue;
            }
            std::uint64_t run_end = i + 1, equal = 0, equal_inside = 0;
            for (std::uint64_t j = i + 1; j < c.length && equal < kCutGap; ++j) {
                if (u[j] == b[j]) {
                    ++equal;
                } else {
                    equal_inside += equal;
                    equal = 0;
                    run_end = j + 1;
                }
            }
            if (run_end - i >= kCutRun && equal_inside * 16 <= run_end - i) {
                if (i > start) kept.push_back(Cover{c.q + start, c.p + start, i - start});
                start = run_end;
            }
            i = run_end;
        }
        if (c.length > start) kept.push_back(Cover{c.q + start, c.p + start, c.length - start});
    }
    return kept;
}

// Whether Base reads as random data, by a fast compression of a few slices
// of it. The suffix array's short matches in random data are chance ones
// that the covers leave out anyway, and the long ones the sparse index finds
// as well: on such a Base it gives the same covers for a tenth of the time.
bool looks_random(std::span<const std::uint8_t> base) {
    constexpr std::size_t kSlice = std::size_t{256} << 10;
    constexpr int kSlices = 4;
    if (base.size() < kSlices * kSlice) return false;
    for (int i = 0; i < kSlices; ++i) {
        const std::size_t at = (base.size() - kSlice) / (kSlices - 1) * static_cast<std::size_t>(i);
        if (!streams::incompressible(base.subspan(at, kSlice), {})) return false;
    }
    return true;
}

}  // namespace

std::vector<Cover> find_covers(std::span<const std::uint8_t> base, std::span<const std::uint8_t> updated,
                               const std::function<bool()>& stop, CoverIndex kind) {
    // Positions are kept in 32 bits inside the indexes.
    if (base.empty() || updated.empty() || base.size() >= UINT32_MAX / 2) return {};
    if (kind == CoverIndex::automatic)
        kind = base.size() <= kFineSearchLimit && !looks_random(base) ? CoverIndex::fine : CoverIndex::sparse;
    if (kind == CoverIndex::fine) return refine(base, updated, scan(FineIndex(base), base, updated, stop));
    return refine(base, updated, scan(SparseIndex(base), base, updated, stop));
}

}  // namespace quoralith::compact
