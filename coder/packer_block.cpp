// One block of the block packer: the run pre-pass, the forward-looking match
// search, the bit-coded form and its backward decoder.
#include "coder/packer_block.h"

#include <algorithm>
#include <bit>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quoralith::packer {

namespace {

inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    return v;
}

inline std::uint32_t load32(const std::uint8_t* p) {
    std::uint32_t v;
    std::memcpy(&v, p, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap32(v);
    return v;
}

inline int floor_log2(std::uint64_t v) { return static_cast<int>(std::bit_width(v)) - 1; }

// The period (1, 2 or 3) of six bytes, or 0 when they have none of these.
inline int period_of_six(const std::uint8_t* b) {
    if (b[0] == b[3] && b[1] == b[4] && b[2] == b[5]) return (b[0] == b[2] && b[1] == b[3]) ? 1 : 3;
    if (b[0] == b[2] && b[1] == b[3] && b[0] == b[4] && b[1] == b[5]) return 2;
    return 0;
}

struct Extension {
    std::size_t length;       // bytes taken, ending on an equal byte
    std::uint32_t mismatched;  // substituted bytes inside them
};

// The walk along two stretches: equal bytes extend them; one or two unequal
// bytes followed by an equal one become a substitution; a third unequal byte
// in a row ends the walk, and unequal bytes not followed by an equal one are
// given back. The walk goes eight bytes at a time: a mask of the unequal bytes
// and the number of pending unequal bytes select a precomputed step.
struct WalkStep {
    std::int8_t last_equal;  // index + 1 of the last equal byte taken, -1 for none
    std::uint8_t converted;  // unequal bytes turned into substitutions
    std::uint8_t pending;    // unequal bytes pending at the end of the word
    bool stop;               // three unequal bytes in a row
};

constexpr std::array<WalkStep, 3 * 256> make_walk_steps() {
    std::array<WalkStep, 3 * 256> steps{};
    for (int pending_in = 0; pending_in < 3; ++pending_in)
        for (int mask = 0; mask < 256; ++mask) {
            WalkStep step{-1, 0, 0, false};
            int pending = pending_in;
            int converted = 0;
            for (int j = 0; j < 8; ++j) {
                if (mask >> j & 1) {
                    if (++pending == 3) {
                        step.stop = true;
                        break;
                    }
                } else {
                    converted += pending;
                    pending = 0;
                    step.last_equal = static_cast<std::int8_t>(j + 1);
                    step.converted = static_cast<std::uint8_t>(converted);
                }
            }
            step.pending = static_cast<std::uint8_t>(pending);
            steps[static_cast<std::size_t>(pending_in * 256 + mask)] = step;
        }
    return steps;
}
constexpr std::array<WalkStep, 3 * 256> kWalkSteps = make_walk_steps();

// Bit j set when a[j] != b[j], for j from 0 to 7.
inline unsigned unequal_bytes(const std::uint8_t* a, const std::uint8_t* b) {
#if defined(__SSE2__)
    __m128i x = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(a));
    __m128i y = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(b));
    return ~static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(x, y))) & 0xFFu;
#else
    std::uint64_t x = load64(a) ^ load64(b);
    x |= x >> 4;
    x |= x >> 2;
    x |= x >> 1;
    return static_cast<unsigned>(((x & 0x0101010101010101ull) * 0x0102040810204080ull) >> 56);
#endif
}

constexpr std::array<std::uint8_t, 256> make_bit_reversal() {
    std::array<std::uint8_t, 256> r{};
    for (int i = 0; i < 256; ++i) {
        int v = 0;
        for (int j = 0; j < 8; ++j)
            if (i >> j & 1) v |= 1 << (7 - j);
        r[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v);
    }
    return r;
}
constexpr std::array<std::uint8_t, 256> kBitReversal = make_bit_reversal();

// Walks a[i] against b[i] for i from 0 while i < limit. Reads up to 7 bytes
// past a + limit and b + limit. ra and rb give, for each byte, how many equal
// bytes start there: inside two runs of the same byte the walk jumps, which
// keeps long runs (zero padding, say) from costing quadratic time.
inline Extension extend_forward(const std::uint8_t* a, const std::uint8_t* b, const std::uint16_t* ra,
                                const std::uint16_t* rb, std::size_t limit) {
    std::size_t i = 0;
    std::size_t kept = 0;
    std::uint32_t mismatched = 0;
    unsigned pending = 0;
    while (i < limit) {
        const std::size_t left = limit - i;
        unsigned mask = unequal_bytes(a + i, b + i);
        if (left < 8) mask |= (0xFFu << left) & 0xFFu;  // beyond the limit counts as unequal
        if (mask == 0) {
            mismatched += pending;
            pending = 0;
            i = std::min<std::size_t>(limit, i + std::max<std::size_t>(8, std::min(ra[i], rb[i])));
            kept = i;
            continue;
        }
        const WalkStep& step = kWalkSteps[pending * 256 + mask];
        if (step.last_equal >= 0) {
            kept = i + static_cast<std::size_t>(step.last_equal);
            mismatched += step.converted;
        }
        if (step.stop || left <= 8) break;
        pending = step.pending;
        i += 8;
    }
    return {kept, mismatched};
}

// The same walk backwards: a[-1 - i] against b[-1 - i]. Reads up to 7 bytes
// before a - limit and b - limit.
inline Extension extend_backward(const std::uint8_t* a, const std::uint8_t* b, std::size_t limit) {
    std::size_t i = 0;
    std::size_t kept = 0;
    std::uint32_t mismatched = 0;
    unsigned pending = 0;
    while (i < limit) {
        const std::size_t left = limit - i;
        unsigned mask = kBitReversal[unequal_bytes(a - i - 8, b - i - 8)];
        if (left < 8) mask |= (0xFFu << left) & 0xFFu;
        if (mask == 0) {
            mismatched += pending;
            pending = 0;
            i += 8;
            kept = i;
            continue;
        }
        const WalkStep& step = kWalkSteps[pending * 256 + mask];
        if (step.last_equal >= 0) {
            kept = i + static_cast<std::size_t>(step.last_equal);
            mismatched += step.converted;
        }
        if (step.stop || left <= 8) break;
        pending = step.pending;
        i += 8;
    }
    return {kept, mismatched};
}

void put_token(std::uint8_t*& out, std::uint32_t a, std::uint8_t low_bits) {
    if (a > 31) {
        *out++ = static_cast<std::uint8_t>(a >> 5);
        *out++ = static_cast<std::uint8_t>((a & 31) << 3 | 4 | low_bits);
    } else {
        *out++ = static_cast<std::uint8_t>((a & 31) << 3 | low_bits);
    }
}

void put_literal_item(std::uint8_t*& out, const std::uint8_t* bytes, std::size_t m) {
    std::memcpy(out, bytes, m);
    out += m;
    put_token(out, static_cast<std::uint32_t>(m - 1), 0);
}

// Expands pre-pass tokens backwards. The form lies below `top`; bytes below
// `floor` are not known yet. Output is produced from out + remaining downwards.
struct PrepassExpander {
    const std::uint8_t* floor;
    const std::uint8_t* top;
    std::uint8_t* out;
    std::size_t remaining;
    std::uint32_t threshold;

    // 1: all output produced; 0: more of the form is needed; -1: corrupt.
    int run() {
        while (remaining > 0) {
            std::size_t have = static_cast<std::size_t>(top - floor);
            if (have < 1) return 0;
            std::uint8_t token = top[-1];
            std::size_t head = (token & 4) ? 2 : 1;
            if (have < head) return 0;
            std::uint32_t a = token >> 3;
            if (token & 4) a |= static_cast<std::uint32_t>(top[-2]) << 5;
            unsigned period = token & 3;
            if (period == 0) {
                std::size_t m = std::size_t{a} + 1;
                if (have < head + m) return 0;
                if (m > remaining) return -1;
                remaining -= m;
                std::memcpy(out + remaining, top - head - m, m);
                top -= head + m;
            } else {
                if (have < head + period) return 0;
                std::uint64_t length = std::uint64_t{period} * a + threshold;
                if (length > remaining) return -1;
                const std::uint8_t* pattern = top - head - period;
                std::uint8_t* at = out + remaining - length;
                if (period == 1) {
                    std::memset(at, pattern[0], length);
                } else {
                    for (std::size_t i = 0; i < length; ++i) at[i] = pattern[i % period];
                }
                remaining -= length;
                top -= head + period;
            }
        }
        return 1;
    }
};

}  // namespace

// ---------------------------------------------------------------- BitSink

void BitSink::reset(std::uint8_t* buffer, std::size_t capacity) {
    buffer_ = buffer;
    capacity_ = capacity;
    size_ = 0;
    acc_ = 0;
    fill_ = 0;
    bits_ = 0;
    overflow_ = false;
}

void BitSink::spill() {
    if (size_ + 4 > capacity_) {
        overflow_ = true;
    } else {
        for (int i = 0; i < 4; ++i) buffer_[size_++] = static_cast<std::uint8_t>(acc_ >> (8 * i));
    }
    acc_ >>= 32;
    fill_ -= 32;
}

void BitSink::put(std::uint32_t value, int count) {
    acc_ |= std::uint64_t{value} << fill_;
    fill_ += count;
    bits_ += static_cast<std::uint64_t>(count);
    if (fill_ >= 32) spill();
}

void BitSink::put_ones(std::uint32_t count) {
    while (count >= 32) {
        put(0xFFFFFFFFu, 32);
        count -= 32;
    }
    put((1u << count) - 1, static_cast<int>(count));
}

void BitSink::put_code(int type, std::uint32_t v) {
    switch (type) {
        case 0: {
            int i = floor_log2(std::uint64_t{v} + 1);
            put(static_cast<std::uint32_t>(std::uint64_t{v} + 1 - (std::uint64_t{1} << i)), i);
            put(0, 1);
            put_ones(static_cast<std::uint32_t>(i - 1));
            break;
        }
        case 6: {
            int c = floor_log2(v);
            put(v - (1u << c), c);
            put(static_cast<std::uint32_t>(c), 4);
            break;
        }
        case 7:
            put(0, 1);
            put_ones(v - 1);
            break;
        default:
            put((v - 1) & ((1u << type) - 1), type);
            put(0, 1);
            put_ones((v - 1) >> type);
            break;
    }
}

std::size_t BitSink::finish(int& last_bits) {
    while (fill_ > 0) {
        if (size_ < capacity_)
            buffer_[size_++] = static_cast<std::uint8_t>(acc_);
        else
            overflow_ = true;
        acc_ >>= 8;
        fill_ -= 8;
    }
    fill_ = 0;
    last_bits = static_cast<int>(bits_ % 8);
    if (last_bits == 0) last_bits = 8;
    return size_;
}

// ---------------------------------------------------------------- BitSource

BitSource::BitSource(const std::uint8_t* begin, const std::uint8_t* end, int top_bits)
    : begin_(begin), ptr_(end - 1) {
    acc_ = end[-1] & ((1u << top_bits) - 1);
    avail_ = top_bits;
}

void BitSource::refill() {
    if (ptr_ - begin_ >= 8) {
        int bytes = (64 - avail_) >> 3;
        std::uint64_t word = load64(ptr_ - 8);
        if (bytes == 8)
            acc_ = word;
        else
            acc_ = (acc_ << (8 * bytes)) | (word >> (64 - 8 * bytes));
        ptr_ -= bytes;
        avail_ += 8 * bytes;
        return;
    }
    while (avail_ <= 56 && ptr_ > begin_) {
        acc_ = (acc_ << 8) | *--ptr_;
        avail_ += 8;
    }
}

std::uint32_t BitSource::get(int count) {
    if (count == 0) return 0;
    if (avail_ < count) {
        refill();
        if (avail_ < count) {
            failed_ = true;
            avail_ = 0;
            return 0;
        }
    }
    avail_ -= count;
    return static_cast<std::uint32_t>((acc_ >> avail_) & ((std::uint64_t{1} << count) - 1));
}

std::uint32_t BitSource::ones(std::uint32_t limit) {
    std::uint32_t count = 0;
    for (;;) {
        if (avail_ == 0) {
            if (failed_) return 0;
            refill();
            if (avail_ == 0) {
                failed_ = true;
                return 0;
            }
        }
        std::uint64_t top = acc_ << (64 - avail_);
        int n = std::countl_one(top);
        if (n >= avail_) {
            count += static_cast<std::uint32_t>(avail_);
            avail_ = 0;
        } else {
            count += static_cast<std::uint32_t>(n);
            avail_ -= n + 1;
            if (count > limit) break;
            return count;
        }
        if (count > limit) break;
    }
    failed_ = true;
    avail_ = 0;
    return 0;
}

std::uint32_t BitSource::get_code(int type) {
    // One-bit runs never need to be longer than the largest block.
    constexpr std::uint32_t kMaxOnes = std::uint32_t{1} << (kMaxBlockShift + 1);
    switch (type) {
        case 0: {
            std::uint32_t j = ones(30);
            int i = static_cast<int>(j) + 1;
            std::uint32_t r = get(i);
            return failed_ ? 0 : r + ((1u << i) - 1);
        }
        case 6: {
            int c = static_cast<int>(get(4));
            std::uint32_t r = get(c);
            return failed_ ? 0 : r + (1u << c);
        }
        case 7: {
            std::uint32_t q = ones(kMaxOnes);
            return failed_ ? 0 : q + 1;
        }
        default: {
            std::uint32_t q = ones(kMaxOnes);
            std::uint32_t r = get(type);
            return failed_ ? 0 : (q << type) + r + 1;
        }
    }
}

// ---------------------------------------------------------------- literal table

LiteralTable choose_literal_table(const std::uint8_t* bytes, std::size_t count) {
    LiteralTable table;
    std::array<std::uint32_t, 256> counts{};
    for (std::size_t i = 0; i < count; ++i) ++counts[bytes[i]];
    std::array<std::uint8_t, 256> order;
    int candidates = 0;
    for (int b = 0; b < 256; ++b)
        if (counts[b] > 2) order[candidates++] = static_cast<std::uint8_t>(b);
    // Highest count first; equal counts by ascending value, so that every packer
    // writes the same table.
    std::stable_sort(order.begin(), order.begin() + candidates,
                     [&](std::uint8_t x, std::uint8_t y) { return counts[x] > counts[y]; });

    const std::uint64_t n = count;
    std::uint64_t best_cost = 8 * n;
    int best_m = 0;
    std::uint64_t d = 0;
    for (int m = 1; m <= std::min(32, candidates); ++m) {
        d += counts[order[m - 1]];
        std::uint64_t c = m <= 2 ? 1 : static_cast<std::uint64_t>(std::bit_width(static_cast<unsigned>(m - 1)));
        std::uint64_t cost = n + c * d + 8 * (n - d + static_cast<std::uint64_t>(m));
        if (cost < best_cost) {
            best_cost = cost;
            best_m = m;
        }
    }
    if (best_m == 0 || (best_cost + 12) / 8 >= n) return table;
    table.m = best_m;
    place_literal_table(table, order.data());
    return table;
}

void place_literal_table(LiteralTable& table, const std::uint8_t* chosen) {
    const int m = table.m;
    for (int b = 0; b < 256; ++b) table.code[b] = static_cast<std::uint8_t>(b);
    std::array<bool, 32> taken{};
    for (int i = 0; i < m; ++i)
        if (chosen[i] < m) {
            table.slots[chosen[i]] = chosen[i];
            taken[chosen[i]] = true;
        }
    int free_slot = 0;
    for (int i = 0; i < m; ++i) {
        std::uint8_t b = chosen[i];
        if (b < m) continue;
        while (taken[free_slot]) ++free_slot;
        taken[free_slot] = true;
        table.slots[free_slot] = b;
        table.code[b] = static_cast<std::uint8_t>(free_slot);
        table.code[free_slot] = b;
    }
}

// ---------------------------------------------------------------- pre-pass

std::size_t prepass(const std::uint8_t* block, std::size_t len, std::uint32_t threshold, std::uint8_t* out) {
    std::uint8_t* at = out;
    std::size_t pos = 0;
    std::size_t literal_start = 0;  // the pending literal runs from here to pos
    bool any_run = false;
    while (pos + 11 < len) {
        std::size_t t = pos + 6;
        while (t + 5 < len && std::memcmp(block + t, block + pos, 6) == 0) t += 6;
        int period = period_of_six(block + pos);
        if (t - pos < threshold || period == 0) {
            pos = t;
            continue;
        }
        if (pos > literal_start) put_literal_item(at, block + literal_start, pos - literal_start);
        std::memcpy(at, block + pos, static_cast<std::size_t>(period));
        at += period;
        put_token(at, static_cast<std::uint32_t>((t - pos - threshold) / static_cast<std::size_t>(period)),
                  static_cast<std::uint8_t>(period));
        any_run = true;
        pos = t;
        literal_start = t;
    }
    if (!any_run) return 0;
    if (len > literal_start) put_literal_item(at, block + literal_start, len - literal_start);
    return static_cast<std::size_t>(at - out);
}

// ---------------------------------------------------------------- BlockPacker

namespace {
constexpr std::size_t kPadding = 8;
constexpr int kHashSize = 1024;
}  // namespace

BlockPacker::BlockPacker(std::uint32_t threshold, bool thorough, std::size_t largest_block)
    : threshold_(threshold),
      thorough_(thorough),
      work_(2 * kPadding + 2 * std::min(largest_block, kBlockSize) + 16),
      heads_(kHashSize),
      next_(std::min(largest_block, kBlockSize)),
      runs_(std::min(largest_block, kBlockSize)),
      out_(2 * std::min(largest_block, kBlockSize) + 64),
      best_out_(thorough ? 2 * std::min(largest_block, kBlockSize) + 64 : 0) {
    const std::size_t block = std::min(largest_block, kBlockSize);
    items_.reserve(block / 2);
    matches_.reserve(block / 3);
    subs_.reserve(block / 2);
    literals_.reserve(block);
}

std::size_t BlockPacker::store(const std::uint8_t* s, std::size_t n, std::uint8_t marker) {
    std::memcpy(out_.data(), s, n);
    out_[n] = marker;
    return n + 1;
}

std::size_t BlockPacker::pack(const std::uint8_t* block, std::size_t len) {
    if (!thorough_) return pack_once(block, len);
    // Each block is coded by itself, so the shortest of several codings of
    // it is as good a block as any: the match search is run with a few
    // floors on the matches it takes, since on one block the short matches
    // pay and on the next their offsets cost more than their bytes, and
    // lazily as well as greedily; then the block is parsed at least cost
    // under the prices of the best of those codings.
    std::size_t best = 0;
    Prices prices;
    bool priced = false;
    for (const Variant variant : kThoroughVariants) {
        min_score_ = variant.floor;
        lazy_ = variant.lazy;
        const std::size_t coded = pack_once(block, len);
        if (best == 0 || coded < best) {
            best = coded;
            best_out_.swap(out_);
            if (bit_coded_) price_parse(prices);
            priced = priced || bit_coded_;
        }
    }
    min_score_ = 0;
    lazy_ = false;
    // A block that no search could bit-code has nothing for the parse to
    // better; otherwise the prices of the best coding so far seed it.
    if (priced) pack_parsed(len, best, prices);
    best_out_.swap(out_);
    return best;
}

std::size_t BlockPacker::pack_once(const std::uint8_t* block, std::size_t len) {
    bit_coded_ = false;
    if (len < 6) return store(block, len, kMarkerStored);
    // The match search reads a word beyond either end of the data it walks.
    std::uint8_t* s = work_.data() + kPadding;
    std::size_t n = 0;
    bool prepassed = false;
    if (len >= threshold_) {
        n = prepass(block, len, threshold_, s);
        prepassed = n > 0;
    }
    if (!prepassed) {
        std::memcpy(s, block, len);
        n = len;
    }
    const std::uint8_t stored = prepassed ? kMarkerPrepassStored : kMarkerStored;
    if (n < 6) return store(s, n, stored);
    find_matches(s, n);
    searched_ = s;
    searched_n_ = n;
    searched_prepassed_ = prepassed;
    if (matches_.empty()) return store(s, n, stored);
    std::size_t coded = write_block(len, n, prepassed);
    if (coded == 0) return store(s, n, stored);
    bit_coded_ = true;
    return coded;
}

BlockPacker::Candidate BlockPacker::best_at(const std::uint8_t* s, std::size_t n, std::size_t l,
                                            std::size_t behind) const {
    // A score counts the equal bytes of a stretch, so every candidate scores
    // at least 3 and a score of 0 means none.
    Candidate best;
    const std::uint32_t key = load32(s + l) & 0xFFFFFF;
    // A stretch is no longer than w - l nor n - w + behind, and a candidate
    // must beat the best strictly: below `low` it cannot, and from `high` on
    // (the chain only grows) no later one can.
    std::size_t low = l + 3;
    std::size_t high = n + behind;
    for (std::uint16_t v = next_[l + 1]; v != kNone; v = next_[v]) {
        const std::size_t w = std::size_t{v} - 1;
        if (w >= high) break;
        if (w < low || ((load32(s + w) ^ key) & 0xFFFFFF) != 0) continue;
        const std::size_t forward_limit = std::min(w - (l + 3), n - (w + 3));
        Extension forward =
            extend_forward(s + l + 3, s + w + 3, runs_.data() + l + 3, runs_.data() + w + 3, forward_limit);
        const std::size_t backward_limit = std::min(w - (l + 3 + forward.length), behind);
        Extension backward = backward_limit ? extend_backward(s + l, s + w, backward_limit) : Extension{0, 0};
        const std::size_t score = 3 + forward.length + backward.length - forward.mismatched - backward.mismatched;
        if (score > best.score) {
            best = Candidate{score, w, forward.length, backward.length};
            low = std::max(l + 3, l + score + 1);
            high = score < n + behind ? n + behind - score : 0;
        }
    }
    return best;
}

void BlockPacker::find_matches(const std::uint8_t* s, std::size_t n) {
    items_.clear();
    matches_.clear();
    subs_.clear();
    literals_.clear();

    // Chains run from earlier to later positions: the source of a match is
    // always a later stretch, which the decoder, walking backwards, has ready.
    std::fill(heads_.begin(), heads_.end(), kNone);
    std::fill(next_.begin(), next_.begin() + static_cast<std::ptrdiff_t>(n), kNone);
    for (std::size_t q = 1; q + 1 < n; ++q) {
        unsigned h = s[q - 1] ^ (unsigned{s[q]} << 1) ^ (unsigned{s[q + 1]} << 2);
        if (heads_[h] != kNone) next_[heads_[h]] = static_cast<std::uint16_t>(q);
        heads_[h] = static_cast<std::uint16_t>(q);
    }

    runs_[n - 1] = 1;
    for (std::size_t q = n - 1; q-- > 0;) runs_[q] = s[q] == s[q + 1] ? static_cast<std::uint16_t>(runs_[q + 1] + 1) : 1;

    std::size_t last_end = 0;
    std::size_t l = 0;
    while (l + 5 < n) {
        const Candidate here = best_at(s, n, l, l - last_end);
        if (here.score == 0 || here.score < min_score_) {
            ++l;
            continue;
        }
        // A lazy search looks one byte on: a match that starts there and
        // scores more (its backward extension may still take this byte)
        // is the better one.
        if (lazy_ && l + 6 < n && best_at(s, n, l + 1, l + 1 - last_end).score > here.score + 1) {
            ++l;
            continue;
        }
        const std::size_t best_w = here.w, best_forward = here.forward, best_backward = here.backward;
        const std::size_t earlier = l - best_backward;
        const std::size_t length = best_backward + 3 + best_forward;
        record_match(s, earlier, best_w - best_backward, length, last_end);
        l = last_end;
    }
    if (matches_.empty()) return;
    items_.push_back({false, static_cast<std::uint32_t>(n - last_end)});
    literals_.insert(literals_.end(), s + last_end, s + n);
}

void BlockPacker::record_match(const std::uint8_t* s, std::size_t earlier, std::size_t later, std::size_t length,
                               std::size_t& last_end) {
    if (earlier > last_end) {
        items_.push_back({false, static_cast<std::uint32_t>(earlier - last_end)});
        literals_.insert(literals_.end(), s + last_end, s + earlier);
    }
    Match match;
    match.offset = static_cast<std::uint32_t>(later - (earlier + length) + 1);
    match.first_sub = static_cast<std::uint32_t>(subs_.size());
    std::uint32_t run = 0;
    for (std::size_t i = 0; i < length;) {
        if (s[earlier + i] == s[later + i]) {
            ++run;
            ++i;
            continue;
        }
        std::uint32_t two = (i + 1 < length && s[earlier + i + 1] != s[later + i + 1]) ? 1 : 0;
        subs_.push_back({run, two});
        literals_.push_back(s[earlier + i]);
        if (two) literals_.push_back(s[earlier + i + 1]);
        i += 1 + two;
        run = 0;
    }
    match.final_equal = run;
    match.sub_count = static_cast<std::uint32_t>(subs_.size()) - match.first_sub;
    items_.push_back({true, static_cast<std::uint32_t>(matches_.size())});
    matches_.push_back(match);
    last_end = earlier + length;
}

template <class Emit>
void BlockPacker::visit_fields(Emit&& emit) const {
    std::size_t i = 0;
    if (!items_[0].is_match) {
        emit(F_LITERAL, items_[0].value);
        i = 1;
    }
    while (i < items_.size()) {
        std::uint32_t count = 0;
        for (; items_[i].is_match; ++i, ++count) {
            const Match& m = matches_[items_[i].value];
            for (std::uint32_t k = 0; k < m.sub_count; ++k) {
                const SubPoint& sub = subs_[m.first_sub + k];
                emit(F_EQUAL, sub.equal);
                emit(F_COUNT, sub.two);
            }
            emit(F_EQUAL, m.final_equal);
            emit(F_OFFSET, m.offset);
            emit(F_SUBS, m.sub_count + 1);
        }
        emit(F_MATCHES, count);
        emit(F_LITERAL, items_[i].value);
        ++i;
    }
}

std::uint64_t BlockPacker::choose_types(int (&type)[F_COUNT], std::uint64_t& flags) const {
    std::uint64_t cost[F_COUNT][kCodeTypes] = {};
    flags = 0;
    visit_fields([&](int field, std::uint32_t v) {
        if (field == F_COUNT) {
            ++flags;
            return;
        }
        for (int t = 0; t < kCodeTypes; ++t) cost[field][t] += code_cost(t, v);
    });
    std::uint64_t total = 0;
    for (int f = 0; f < F_COUNT; ++f) {
        type[f] = 0;
        for (int t = 1; t < kCodeTypes; ++t)
            if (cost[f][t] < cost[f][type[f]]) type[f] = t;
        total += cost[f][type[f]];
    }
    return total;
}

std::size_t BlockPacker::write_block(std::size_t len, std::size_t n, bool prepassed) {
    int type[F_COUNT];
    std::uint64_t flags = 0;
    const std::uint64_t total = choose_types(type, flags);
    const std::uint64_t estimate = (total + flags + 23 + 13) / 8 + 1 + literals_.size();
    if (estimate > len + 1 || estimate > n) return 0;

    sink_.reset(out_.data(), out_.size() - 1);
    visit_fields([&](int field, std::uint32_t v) {
        if (field == F_COUNT)
            sink_.put(v, 1);
        else
            sink_.put_code(type[field], v);
    });
    sink_.put(static_cast<std::uint32_t>(type[F_LITERAL]), 3);
    sink_.put(static_cast<std::uint32_t>(type[F_MATCHES]), 3);
    sink_.put(static_cast<std::uint32_t>(type[F_OFFSET]), 3);
    sink_.put(static_cast<std::uint32_t>(type[F_SUBS]), 3);
    sink_.put(static_cast<std::uint32_t>(type[F_EQUAL]), 3);

    const LiteralTable table = choose_literal_table(literals_.data(), literals_.size());
    if (table.m == 0) {
        for (std::uint8_t b : literals_) sink_.put(b, 8);
        sink_.put(0, 1);
    } else {
        const int c = table.m <= 2 ? 1 : static_cast<int>(std::bit_width(static_cast<unsigned>(table.m - 1)));
        for (std::uint8_t b : literals_) {
            std::uint8_t code = table.code[b];
            if (code < table.m) {
                sink_.put(code, c);
                sink_.put(0, 1);
            } else {
                sink_.put(code, 8);
                sink_.put(1, 1);
            }
        }
        for (int slot = 0; slot < table.m; ++slot) sink_.put(table.slots[slot], 8);
        sink_.put(static_cast<std::uint32_t>(table.m - 1), 5);
        sink_.put(1, 1);
    }
    sink_.put(static_cast<std::uint32_t>(literals_.size()), kBlockShift);

    int last_bits = 0;
    std::size_t size = sink_.finish(last_bits);
    if (sink_.overflow() || size + 1 > len + 1) return 0;
    out_[size] = static_cast<std::uint8_t>(last_bits | (prepassed ? 0 : kMarkerNoPrepass));
    return size + 1;
}

// ---------------------------------------------------------------- BlockUnpacker

BlockUnpacker::BlockUnpacker(std::uint32_t threshold, int block_shift)
    : threshold_(threshold),
      shift_(block_shift),
      literals_(std::size_t{1} << block_shift),
      prepass_(std::size_t{1} << block_shift) {
    subs_.reserve(std::size_t{1} << (block_shift - 1));
}

const std::uint8_t* BlockUnpacker::unpack(const std::uint8_t* begin, const std::uint8_t* end, std::size_t len,
                                          std::uint8_t* out) {
    if (end <= begin) return nullptr;
    const std::uint8_t* marker = end - 1;
    if (*marker == kMarkerStored) {
        if (static_cast<std::size_t>(marker - begin) < len) return nullptr;
        std::memcpy(out, marker - len, len);
        return marker - len;
    }
    if (*marker == kMarkerPrepassStored) {
        PrepassExpander expander{begin, marker, out, len, threshold_};
        return expander.run() == 1 ? expander.top : nullptr;
    }
    // Bits 4, 5 and 7 carry nothing in a bit-coded block's marker.
    int top_bits = *marker & 0x0F;
    if (top_bits == 0 || top_bits > 8 || marker == begin) return nullptr;
    return unpack_bits(begin, marker, len, out, (*marker & kMarkerNoPrepass) == 0, top_bits);
}

bool BlockUnpacker::read_literals(BitSource& bits, std::uint32_t count) {
    std::uint8_t* lit = literals_.data();
    if (bits.get(1) == 0) {
        for (std::uint32_t i = count; i-- > 0 && !bits.failed();) lit[i] = static_cast<std::uint8_t>(bits.get(8));
        return !bits.failed();
    }
    LiteralTable table;
    table.m = static_cast<int>(bits.get(5)) + 1;
    for (int slot = table.m; slot-- > 0;) table.slots[slot] = static_cast<std::uint8_t>(bits.get(8));
    for (int b = 0; b < 256; ++b) table.code[b] = static_cast<std::uint8_t>(b);
    // The codes are their own inverse: the byte of code x is the code of byte x.
    for (int slot = 0; slot < table.m; ++slot) {
        std::uint8_t b = table.slots[slot];
        table.code[slot] = b;
        table.code[b] = static_cast<std::uint8_t>(slot);
    }
    const int c = table.m <= 2 ? 1 : static_cast<int>(std::bit_width(static_cast<unsigned>(table.m - 1)));
    for (std::uint32_t i = count; i-- > 0 && !bits.failed();) {
        std::uint32_t x = bits.get(1) ? bits.get(8) : bits.get(c);
        lit[i] = table.code[x];
    }
    return !bits.failed();
}

const std::uint8_t* BlockUnpacker::unpack_bits(const std::uint8_t* begin, const std::uint8_t* end, std::size_t len,
                                               std::uint8_t* out, bool prepassed, int top_bits) {
    BitSource bits(begin, end, top_bits);
    const std::uint32_t count = bits.get(shift_);
    if (bits.failed() || !read_literals(bits, count)) return nullptr;
    const int type_equal = static_cast<int>(bits.get(3));
    const int type_subs = static_cast<int>(bits.get(3));
    const int type_offset = static_cast<int>(bits.get(3));
    const int type_matches = static_cast<int>(bits.get(3));
    const int type_literal = static_cast<int>(bits.get(3));
    if (bits.failed()) return nullptr;

    // Without the pre-pass the block is decoded in place; with it, the pre-pass
    // form (of unknown length) is decoded aligned to the end of a scratch
    // buffer and expanded as soon as whole items are there.
    std::uint8_t* dst = prepassed ? prepass_.data() : out;
    const std::size_t region = prepassed ? prepass_.size() : len;
    std::size_t p = region;
    std::size_t lit = count;
    const std::uint8_t* literals = literals_.data();
    PrepassExpander expander{dst + region, dst + region, out, len, threshold_};
    auto complete = [&]() -> int {
        if (!prepassed) return p == 0 ? 1 : 0;
        expander.floor = dst + p;
        int state = expander.run();
        if (state == 1 && expander.top != dst + p) return -1;  // bytes before the first item
        return state;
    };

    for (;;) {
        std::uint32_t run = bits.get_code(type_literal);
        if (bits.failed() || run > p || run > lit) return nullptr;
        p -= run;
        lit -= run;
        std::memcpy(dst + p, literals + lit, run);
        int state = complete();
        if (state < 0) return nullptr;
        if (state == 1) break;

        const std::uint32_t matches = bits.get_code(type_matches);
        if (bits.failed()) return nullptr;
        for (std::uint32_t j = 0; j < matches; ++j) {
            const std::uint32_t sub_count = bits.get_code(type_subs) - 1;
            const std::uint32_t offset = bits.get_code(type_offset);
            const std::uint32_t final_equal = bits.get_code(type_equal);
            if (bits.failed() || sub_count > p) return nullptr;
            std::uint64_t length = final_equal;
            subs_.clear();
            for (std::uint32_t k = 0; k < sub_count; ++k) {
                std::uint32_t two = bits.get(1);
                std::uint32_t equal = bits.get_code(type_equal);
                if (bits.failed()) return nullptr;
                length += std::uint64_t{equal} + two + 1;
                if (length > p) return nullptr;
                subs_.push_back({equal, two});
            }
            if (length > p) return nullptr;
            const std::size_t match_end = p;
            const std::size_t match_start = p - length;
            const std::uint64_t source = std::uint64_t{match_end} + offset - 1;
            if (source + length > region) return nullptr;
            std::memcpy(dst + match_start, dst + source, length);  // the source lies after the match
            std::size_t q = match_end - final_equal;
            for (const SubPoint& sub : subs_) {  // read from the last point to the first
                std::size_t n = sub.two + 1;
                if (n > lit) return nullptr;
                q -= n;
                lit -= n;
                std::memcpy(dst + q, literals + lit, n);
                q -= sub.equal;
            }
            p = match_start;
            state = complete();
            if (state < 0) return nullptr;
            if (state == 1) {
                if (j + 1 != matches) return nullptr;
                break;
            }
        }
        if (state == 1) break;
    }
    if (lit != 0) return nullptr;
    return bits.position();
}

}  // namespace quoralith::packer
