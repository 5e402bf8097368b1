// The algorithm 0 encoder: Base' in overlapping chunks, each indexed by the 20
// bytes at every offset, Updated' matched slice by slice against them with long
// (20-byte) lookups at every 10th position and short (5-byte) ones in between.
// The delta is a deterministic function of Base, Updated and the algorithm, so
// every shortcut below (bucketed sort, word-wide comparison, sliding caches)
// gives exactly what the plain byte-by-byte procedure gives.
#include "coder/algorithm0.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <new>
#include <vector>

#include "coder/coder.h"

namespace quoralith {

namespace {

constexpr std::int64_t kLongKey = 20;
constexpr std::int64_t kShortKey = 5;
constexpr std::int64_t kLongStep = 10;
constexpr std::int64_t kMinWindow = 200;
constexpr std::int64_t kMaxWindow = 1500000;
// A lookup that keeps a candidate scoring above this stops looking further.
constexpr std::int64_t kGoodEnough = 99;
constexpr std::int64_t kBlock = 1 << 16;
// Buckets larger than this are sorted in place, to keep the scratch small.
constexpr std::size_t kPairedSortLimit = 1 << 17;
constexpr std::int64_t kPrefetch = 6;
// Parts of the index up to this size are sorted whole when a lookup reaches them.
constexpr std::ptrdiff_t kWholePart = 16;
constexpr std::uint8_t kSortedPart = 0x80;
// Parts up to this many entries are split through a scratch array, larger ones in place.
constexpr std::size_t kSplitScratch = 1 << 18;
constexpr int kFilterWordBits = 18;  // 2 MiB of presence bits, in words of 64
// How many entries ahead the index build fetches the places it will write.
constexpr std::int64_t kBuildAhead = 16;
// How many positions ahead a lookup fetches the presence filter's word.
constexpr std::int64_t kLookupAhead = 8;

// A transfer that failed or was stopped deep inside the search. Thrown by the
// readers and caught at the encoder's entry, so that the search itself reads as
// plain computation; everything it holds is released by its destructors.
struct TransferFailure {
    int code;
};

inline std::uint64_t load64(const std::uint8_t* p) {
    std::uint64_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

// Word-wide comparison needs to know which loaded byte came first.
constexpr bool kLittleEndian = std::endian::native == std::endian::little;

inline std::uint64_t load_be64(const std::uint8_t* p) {
    std::uint64_t v = load64(p);
    if constexpr (kLittleEndian) v = __builtin_bswap64(v);
    return v;
}

// Number of equal leading bytes of a[0, n) and b[0, n).
inline std::int64_t equal_prefix(const std::uint8_t* a, const std::uint8_t* b, std::int64_t n) {
    std::int64_t i = 0;
    if constexpr (kLittleEndian) {
        while (i + 8 <= n) {
            std::uint64_t d = load64(a + i) ^ load64(b + i);
            if (d) return i + (std::countr_zero(d) >> 3);
            i += 8;
        }
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// Number of equal trailing bytes of a[-n, 0) and b[-n, 0).
inline std::int64_t equal_suffix(const std::uint8_t* a_end, const std::uint8_t* b_end, std::int64_t n) {
    std::int64_t i = 0;
    if constexpr (kLittleEndian) {
        while (i + 8 <= n) {
            std::uint64_t d = load64(a_end - i - 8) ^ load64(b_end - i - 8);
            if (d) return i + (std::countl_zero(d) >> 3);
            i += 8;
        }
    }
    while (i < n && a_end[-1 - i] == b_end[-1 - i]) ++i;
    return i;
}

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

constexpr std::array<MaskOutcome, 3 * 256> kMaskOutcomes = make_mask_outcomes();

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

// Sequential reads of Updated' through one large buffer. Every access of the
// encoder lies at or after the position up to which records exist, which only
// grows, so a window that slides forward and keeps a margin behind it serves
// nearly every request without a read.
class UpdatedReader {
public:
    UpdatedReader(Channel channel, std::int64_t length, std::int64_t capacity, std::int64_t margin)
        : channel_(channel), length_(length), buffer_(static_cast<std::size_t>(capacity)), margin_(margin) {}

    // Bytes [position, position + count); valid until the next call.
    const std::uint8_t* view(std::int64_t position, std::int64_t count) {
        if (position >= lo_ && position + count <= hi_) return buffer_.data() + (position - lo_);
        return reload(position, count);
    }

private:
    const std::uint8_t* reload(std::int64_t position, std::int64_t count) {
        if (position < 0 || count < 0 || position + count > length_) throw TransferFailure{ERR_MALFORMED};
        const std::int64_t capacity = static_cast<std::int64_t>(buffer_.size());
        if (count + margin_ > capacity) throw TransferFailure{ERR_MALFORMED};
        std::int64_t new_lo;
        if (hi_ > lo_ && position >= lo_) {
            new_lo = std::max(lo_, position - margin_);  // moving forward: keep a margin behind
        } else {
            new_lo = std::max<std::int64_t>(0, position + count + margin_ - capacity);  // moving back
        }
        const std::int64_t new_hi = std::min(length_, new_lo + capacity);
        std::int64_t read_from = new_lo;
        if (new_lo >= lo_ && new_lo < hi_) {
            std::memmove(buffer_.data(), buffer_.data() + (new_lo - lo_), static_cast<std::size_t>(hi_ - new_lo));
            read_from = hi_;
        }
        const std::int64_t want = new_hi - read_from;
        lo_ = hi_ = 0;
        if (want > 0) {
            std::int64_t got = channel_.read_at(read_from, buffer_.data() + (read_from - new_lo), want);
            if (got < 0) throw TransferFailure{static_cast<int>(got)};
            if (got != want) throw TransferFailure{ERR_READ_FAILED};  // shorter than its stated length
        }
        lo_ = new_lo;
        hi_ = new_hi;
        return buffer_.data() + (position - lo_);
    }

    Channel channel_;
    std::int64_t length_;
    std::vector<std::uint8_t> buffer_;
    std::int64_t margin_;
    std::int64_t lo_ = 0;
    std::int64_t hi_ = 0;
};

// Buffer sizes that depend on the Updated length (untransformed).
struct BufferSizes {
    std::int64_t literal;
    std::int64_t second_literal;
    std::int64_t control;
    std::int64_t packer;

    explicit BufferSizes(std::int64_t updated_length) {
        const bool small = updated_length <= 200;
        literal = small ? 200 : std::min<std::int64_t>(updated_length, 0xFFFC);
        second_literal = small ? 200 : std::min<std::int64_t>(updated_length, 40000);
        control = small ? 200 : std::min<std::int64_t>(updated_length, 20000);
        const std::int64_t v = std::min<std::int64_t>(literal, 8192);
        const std::int64_t w = std::max<std::int64_t>(v + 2 * (v + v / 4) + 2, 2048);
        packer = w + 5 * v + 6;
    }
    std::int64_t working_buffer(std::int64_t window) const {
        const std::int64_t width = window < 0x10000 ? 2 : 3;
        return std::max(literal + control + second_literal + window * (width + 1) + 2, packer);
    }
};

struct Match {
    bool found = false;
    std::int64_t m0 = 0;  // Updated' start
    std::int64_t m1 = 0;  // Updated' end
    std::int64_t u = 0;   // chunk offset of m0
    std::int64_t substitutions = 0;
    std::int64_t score = 0;
};

enum class Outcome { kMatched, kAbandoned };

class Encoder {
public:
    Encoder(CreateJob& job, const ChunkGeometry& geometry, ControlWriter& control, BufferedWriter& literals,
            UpdatedReader& updated)
        : job_(job), geometry_(geometry), control_(control), literals_(literals), updated_(updated),
          position_bits_(bit_length_min1(static_cast<std::uint64_t>(geometry.window - 1))),
          chunk_(static_cast<std::size_t>(geometry.window)), index_(static_cast<std::size_t>(geometry.window)),
          bucket_(65537), next_(65536),
          part_state_(static_cast<std::size_t>(geometry.window)),
          shared_(static_cast<std::size_t>(geometry.window)), present_(std::size_t{1} << kFilterWordBits) {}

    Outcome run() {
        const std::int64_t u = geometry_.u;
        std::int64_t r = 0;
        std::int64_t c = 0;
        for (;;) {
            load_chunk(c);
            const std::int64_t e = geometry_.slice_end(c);
            while (e - r >= kLongKey) {
                const Match m = lookup(kLongKey, r, e, kLongStep, u);
                if (!m.found) break;
                if (m.m0 - r > 4) {
                    // The gap before a long match is worth a search for short ones.
                    for (;;) {
                        const Match s = lookup(kShortKey, r, m.m0, 1, m.m0);
                        if (!s.found) break;
                        write_record(r, s.m0, &s);
                        r = s.m1;
                    }
                    write_record(r, m.m0, &m);
                    if (estimate() >= u) return Outcome::kAbandoned;
                } else {
                    write_record(r, m.m0, &m);
                }
                r = m.m1;
            }
            while (r < e) {
                const Match s = lookup(kShortKey, r, e, 1, u);
                if (s.found) {
                    write_record(r, s.m0, &s);
                    r = s.m1;
                } else {
                    write_record(r, e, nullptr);
                    r = e;
                }
            }
            if (literals_.flush() < 0) throw TransferFailure{literals_.error()};
            if (control_.error() < 0) throw TransferFailure{control_.error()};
            if (r >= u) break;
            // A match may have run past several slice ends.
            while (!geometry_.is_last(c) && r >= geometry_.boundary(c)) ++c;
        }
        return estimate() < u ? Outcome::kMatched : Outcome::kAbandoned;
    }

private:
    // Size the delta would have if it ended here (before packing).
    std::int64_t estimate() const { return literals_.written() + control_.byte_count() + 11; }

    void poll() {
        if (job_.context.stopped()) throw TransferFailure{ERR_STOPPED};
    }

    void load_chunk(std::int64_t c) {
        poll();
        length_ = geometry_.length(c);
        const int rc = job_.base_prime.read_exact_at(geometry_.start(c), chunk_.data(), length_);
        if (rc < 0) throw TransferFailure{rc == ERR_MALFORMED ? ERR_READ_FAILED : rc};
        build_index();
    }

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

    // Every chunk offset whose 20 bytes lie in the chunk, sorted by those bytes,
    // ties by offset: a counting pass on the first two bytes, then each bucket
    // sorted on the rest (sorted_part). The order compared is total, so the
    // result is the one a stable sort by the bytes alone gives.
    void build_index() {
        entries_ = length_ >= kLongKey ? length_ - (kLongKey - 1) : 0;
        const std::uint8_t* p = chunk_.data();
        std::fill(bucket_.begin(), bucket_.end(), 0u);
        std::fill(present_.begin(), present_.end(), std::uint64_t{0});
        // Both passes touch one random place per entry in tables far larger than
        // the first cache level: those places are fetched some entries ahead.
        std::uint64_t* present = present_.data();
        for (std::int64_t i = 0; i < entries_; ++i) {
            if (i + kBuildAhead < entries_) __builtin_prefetch(present + filter_word(filter_hash(p + i + kBuildAhead)), 1);
            ++bucket_[bucket_of(p + i) + 1];
            const std::uint64_t h = filter_hash(p + i);
            present[filter_word(h)] |= filter_bits(h);
        }
        for (std::size_t b = 1; b < bucket_.size(); ++b) bucket_[b] += bucket_[b - 1];
        std::copy(bucket_.begin(), bucket_.end() - 1, next_.begin());
        std::uint32_t* index = index_.data();
        std::uint32_t* next = next_.data();
        for (std::int64_t i = 0; i < entries_; ++i) {
            if (i + kBuildAhead < entries_) __builtin_prefetch(index + next[bucket_of(p + i + kBuildAhead)], 1);
            index[next[bucket_of(p + i)]++] = static_cast<std::uint32_t>(i);
        }
        std::fill(part_state_.begin(), part_state_.end(), std::uint8_t{0});
    }

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
    bool maybe_present(const std::uint8_t* key) const {
        const std::uint64_t h = filter_hash(key);
        const std::uint64_t bits = filter_bits(h);
        return (present_[filter_word(h)] & bits) == bits;
    }

    // The part of the index a lookup of the n bytes of `key` searches, in its
    // final order. The index is ordered lazily, as a lookup descends: a part
    // (entries equal in their first d bytes) is split by byte d in one pass
    // when a lookup first passes through it, and sorted whole when it is small,
    // when its entries are equal in all 20 bytes, or when a 5-byte lookup
    // reaches the group it iterates. Where Updated' is mostly covered by long
    // matches, most of a chunk's index is never ordered beyond its buckets.
    //
    // part_state_[f] describes the parts that start at index position f: the
    // depth of the deepest of them, with kSortedPart when that one is sorted
    // (0: no part starting at f has been reached yet).
    std::pair<std::uint32_t*, std::uint32_t*> sorted_part(const std::uint8_t* key, std::int64_t n) {
        const unsigned b = bucket_of(key);
        std::uint32_t* first = index_.data() + bucket_[b];
        std::uint32_t* last = index_.data() + bucket_[b + 1];
        const std::uint8_t* p = chunk_.data();
        for (int d = 2;; ++d) {
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
                const std::uint8_t* lead = p + *first;
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
            } else if (d == n) {
                // A 5-byte group split by earlier 20-byte lookups: sorting it
                // leaves every part inside it where it was.
                sort_bucket(first, last, d);
                state = static_cast<std::uint8_t>(d | kSortedPart);
                return {first, last};
            }
            first = std::lower_bound(first, last, key[d], [p, d](std::uint32_t e, std::uint8_t v) { return p[e + d] < v; });
            last = std::upper_bound(first, last, key[d], [p, d](std::uint8_t v, std::uint32_t e) { return v < p[e + d]; });
        }
    }

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
    int split_by_byte(std::uint32_t* first, std::uint32_t* last, int depth, int limit, std::size_t* starts) {
        const std::uint8_t* chunk = chunk_.data();
        const auto count = static_cast<std::size_t>(last - first);
        if (split_keys_.size() < count) split_keys_.resize(count);
        std::uint8_t* keys = split_keys_.data();
        // Bytes from `depth` on in which every entry seen so far agrees with the first.
        std::int64_t common = limit - depth;
        const std::uint8_t* lead = chunk + first[0] + depth;
        for (std::size_t j = 0; j < count; ++j) {
            if (j + kPrefetch * 4 < count) __builtin_prefetch(chunk + first[j + kPrefetch * 4] + depth);
            const std::uint8_t* k = chunk + first[j] + depth;
            keys[j] = *k;
            if (common > 0) common = equal_prefix(k, lead, common);
        }
        if (common > 0) {
            depth += static_cast<int>(common);
            if (depth == limit) return limit;
            for (std::size_t j = 0; j < count; ++j) {
                if (j + kPrefetch * 4 < count) __builtin_prefetch(chunk + first[j + kPrefetch * 4] + depth);
                keys[j] = chunk[first[j] + depth];
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
            if (split_scratch_.size() < count) split_scratch_.resize(count);
            std::uint32_t* out = split_scratch_.data();
            for (std::size_t j = 0; j < count; ++j) out[fill[keys[j]]++] = first[j];
            std::copy(out, out + count, first);
            return depth;
        }
        for (int b = 0; b < 256; ++b) {
            while (fill[b] < starts[b + 1]) {
                std::uint32_t e = first[fill[b]];
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

    // Sorts one bucket by bytes 2 to 19, then offset, and records in shared_
    // how many key bytes each entry shares with the one before it (the first
    // entry's count is left alone). Buckets up to a limit are sorted as records
    // holding their key, so that comparisons stay in one array instead of
    // reaching into the chunk twice.
    void sort_bucket(std::uint32_t* first, std::uint32_t* last, int depth = 2) {
        const std::uint8_t* p = chunk_.data();
        const std::size_t count = static_cast<std::size_t>(last - first);
        if (count < 2) return;
        std::uint8_t* shared = shared_.data() + (first - index_.data());
        if (count <= 16) {
            std::sort(first, last, [p](std::uint32_t x, std::uint32_t y) {
                const int order = compare_tail(p + x, p + y, kLongKey);
                return order != 0 ? order < 0 : x < y;
            });
            for (std::size_t i = 1; i < count; ++i)
                shared[i] = static_cast<std::uint8_t>(equal_prefix(p + first[i - 1], p + first[i], kLongKey));
            return;
        }
        if (count > kPairedSortLimit) {
            if (depth == kLongKey) {
                std::sort(first, last);  // equal keys: offset order
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
        if (pairs_.size() < count) pairs_.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            if (i + kPrefetch < count) __builtin_prefetch(p + first[i + kPrefetch]);
            const std::uint8_t* k = p + first[i];
            pairs_[i] = {load_be64(k + 2), load_be64(k + 10), static_cast<std::uint32_t>(k[18]) << 24 |
                                                                   static_cast<std::uint32_t>(k[19]) << 16,
                         first[i]};
        }
        std::sort(pairs_.begin(), pairs_.begin() + static_cast<std::ptrdiff_t>(count),
                  [](const SortPair& x, const SortPair& y) {
                      if (x.head != y.head) return x.head < y.head;
                      if (x.middle != y.middle) return x.middle < y.middle;
                      if (x.tail != y.tail) return x.tail < y.tail;
                      return x.offset < y.offset;
                  });
        first[0] = pairs_[0].offset;
        for (std::size_t i = 1; i < count; ++i) {
            const SortPair& a = pairs_[i - 1];
            const SortPair& b = pairs_[i];
            first[i] = b.offset;
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

    // Forward extension: chunk from `offset`, Updated' from `position`, at most
    // `limit` bytes, continuing `s`.
    Scan extend_forward(std::int64_t offset, std::int64_t position, std::int64_t limit, Scan s = {}) {
        std::int64_t block = 64;
        while (!s.ended && s.taken < limit) {
            const std::int64_t n = std::min(block, limit - s.taken);
            const std::uint8_t* b = updated_.view(position + s.taken, n);
            s.step<true>(chunk_.data() + offset + s.taken, b, n);
            block = std::min(block * 16, kBlock);
        }
        return s;
    }

    // Backward extension: the bytes before chunk `offset` and Updated' `position`.
    Scan extend_backward(std::int64_t offset, std::int64_t position, std::int64_t limit, Scan s = {}) {
        std::int64_t block = 64;
        while (!s.ended && s.taken < limit) {
            const std::int64_t n = std::min(block, limit - s.taken);
            const std::uint8_t* b = updated_.view(position - s.taken - n, n);
            s.step<false>(chunk_.data() + offset - s.taken, b + n, n);
            block = std::min(block * 16, kBlock);
        }
        return s;
    }

    // The index entries [first, last) whose n bytes equal key; empty when none.
    std::pair<std::int64_t, std::int64_t> find_equal(const std::uint8_t* key, std::int64_t n) {
        if (!maybe_present(key)) return {0, 0};
        const auto [first, last] = sorted_part(key, n);
        if (first == last) return {0, 0};
        const std::uint8_t* p = chunk_.data();
        const auto lo = std::lower_bound(first, last, key, [p, n](std::uint32_t offset, const std::uint8_t* k) {
            return compare_tail(p + offset, k, n) < 0;
        });
        if (lo == last || compare_tail(p + *lo, key, n) != 0) return {0, 0};
        const auto hi = std::upper_bound(lo, last, key, [p, n](const std::uint8_t* k, std::uint32_t offset) {
            return compare_tail(k, p + offset, n) < 0;
        });
        return {lo - index_.data(), hi - index_.data()};
    }

    // Finds a match of n bytes at the first of the positions r, r + step, ...
    // (up to e - n) whose n bytes occur in the chunk, extended backwards no
    // further than r and forwards no further than z; the best of the candidates
    // at that position by score, then by fewer substitution points.
    Match lookup(std::int64_t n, std::int64_t r, std::int64_t e, std::int64_t step, std::int64_t z) {
        Match best;
        if (entries_ == 0) return best;
        std::uint8_t key[kLongKey];
        const std::uint8_t* p = chunk_.data();
        for (std::int64_t x = r; x <= e - n; x += step) {
            poll();
            // Most positions are turned away by the presence filter, whose words
            // lie far apart: the word of a position some steps on is fetched now.
            const std::int64_t later = x + kLookupAhead * step;
            if (later <= e - n) __builtin_prefetch(present_.data() + filter_word(filter_hash(updated_.view(later, kShortKey))));
            std::memcpy(key, updated_.view(x, n), static_cast<std::size_t>(n));
            const auto [first, last] = find_equal(key, n);
            if (first == last) continue;
            // Most candidates part from Updated' within a few bytes: the 8 bytes on
            // either side of the key are compared word-wide before any call.
            const bool before_known = kLittleEndian && x - r >= 8;
            const bool after_known = kLittleEndian && z - x - n >= 8;
            const std::uint64_t before = before_known ? load64(updated_.view(x - 8, 8)) : 0;
            const std::uint64_t after = after_known ? load64(updated_.view(x + n, 8)) : 0;
            const std::uint64_t before_previous =
                kLittleEndian && x - r >= 16 ? load64(updated_.view(x - 16, 8)) : 0;
            const std::uint64_t after_next =
                kLittleEndian && z - x - n >= 16 ? load64(updated_.view(x + n + 8, 8)) : 0;
            // Without a backward extension, a forward scan that ends inside the
            // 20 key bytes depends on those bytes alone; candidates sharing them
            // (adjacent in the index) share its outcome and, tying with it, can
            // never be kept after it.
            const bool outcomes_shared = x == r && z - x >= kLongKey;
            // No candidate's bound exceeds the whole span from r to z: once the
            // kept one reaches it, every later one would be passed over.
            const std::int64_t span = z - r;
            for (std::int64_t i = first; i < last; ++i) {
                // Candidates lie all over the chunk: fetch a few ahead.
                if (i + kPrefetch < last) __builtin_prefetch(p + index_[static_cast<std::size_t>(i + kPrefetch)]);
                const std::int64_t offset = index_[static_cast<std::size_t>(i)];
                const std::int64_t back_limit = std::min(offset, x - r);
                const std::int64_t ahead_limit = std::min(length_ - offset - n, z - x - n);
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
                    i = last_sharing(i, last, n + ahead.taken);
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

    // The last index entry in [i, last) whose first `bytes` bytes equal those
    // of entry i (they follow it in the sorted index).
    std::int64_t last_sharing(std::int64_t i, std::int64_t last, std::int64_t bytes) const {
        const std::uint8_t* shared = shared_.data();
        std::int64_t j = i + 1;
        while (j < last && shared[j] >= bytes) ++j;
        return j - 1;
    }

    // Walks a match from its start: visit(E, t, bytes) for every substitution
    // point (equal run E, then t = 1 or 2 substituted Updated' bytes), and
    // visit(E, 0, nullptr) for the final equal run.
    template <class Visit>
    void walk(const Match& m, Visit&& visit) {
        std::int64_t position = m.m0;
        std::int64_t offset = m.u;
        std::int64_t equal = 0;
        while (position < m.m1) {
            const std::int64_t block = std::min(m.m1 - position, kBlock);
            // Two bytes beyond the block so that a substitution on its edge is seen whole.
            const std::int64_t available = std::min(m.m1 - position, block + 2);
            const std::uint8_t* b = updated_.view(position, available);
            const std::uint8_t* a = chunk_.data() + offset;
            std::int64_t i = 0;
            while (i < block) {
                const std::int64_t run = equal_prefix(a + i, b + i, block - i);
                i += run;
                equal += run;
                if (i >= block) break;
                const int t = i + 1 < available && a[i + 1] != b[i + 1] ? 2 : 1;
                visit(equal, t, b + i);
                equal = 0;
                i += t;
            }
            position += i;
            offset += i;
        }
        visit(equal, 0, nullptr);
    }

    void copy_literals(std::int64_t from, std::int64_t count) {
        while (count > 0) {
            const std::int64_t n = std::min(count, kBlock);
            literals_.put(updated_.view(from, n), static_cast<std::size_t>(n));
            from += n;
            count -= n;
        }
    }

    // One record: the literal run [r, m0), then the match when there is one,
    // its equal runs in whichever code is shortest for them.
    void write_record(std::int64_t r, std::int64_t m0, const Match* m) {
        control_.put_count(static_cast<std::uint32_t>(m0 - r + 1));
        copy_literals(r, m0 - r);
        if (!m) return;
        std::uint64_t cost[6] = {};
        std::int64_t points = 0;
        walk(*m, [&](std::int64_t equal, int t, const std::uint8_t*) {
            const auto e = static_cast<std::uint64_t>(equal);
            cost[0] += 2 * static_cast<std::uint64_t>(std::bit_width(e + 1) - 1);
            for (int k = 1; k <= 5; ++k) cost[k] += ((e - 1) >> k) + 1 + static_cast<std::uint64_t>(k);
            if (t) ++points;
        });
        int code = 0;
        for (int k = 1; k <= 5; ++k)
            if (cost[k] < cost[code]) code = k;
        control_.put_bits(static_cast<std::uint32_t>(code), 3);
        control_.put_bits(static_cast<std::uint32_t>(m->u), position_bits_);
        control_.put_count(static_cast<std::uint32_t>(points + 1));
        walk(*m, [&](std::int64_t equal, int t, const std::uint8_t* bytes) {
            control_.put_rice(code, static_cast<std::uint32_t>(equal));
            if (t) {
                control_.put_flag(t == 2);
                literals_.put(bytes, static_cast<std::size_t>(t));
            }
        });
    }

    CreateJob& job_;
    const ChunkGeometry& geometry_;
    ControlWriter& control_;
    BufferedWriter& literals_;
    UpdatedReader& updated_;
    const int position_bits_;

    std::vector<std::uint8_t> chunk_;
    std::int64_t length_ = 0;  // of the resident chunk
    std::vector<std::uint32_t> index_;
    std::int64_t entries_ = 0;
    std::vector<std::uint32_t> bucket_;  // bucket b holds index entries [bucket_[b], bucket_[b + 1])
    std::vector<std::uint32_t> next_;
    std::vector<std::uint8_t> part_state_;  // see sorted_part
    // Key bytes an entry of a sorted part shares with the entry before it.
    std::vector<std::uint8_t> shared_;
    std::vector<std::uint64_t> present_;  // the filter_bits of the first 5 bytes of every entry
    struct SortPair {  // bytes 2 to 9, 10 to 17, 18 and 19 of an entry's key
        std::uint64_t head;
        std::uint64_t middle;
        std::uint32_t tail;
        std::uint32_t offset;
    };
    std::vector<SortPair> pairs_;  // scratch of the paired sort, at most kPairedSortLimit
    std::vector<std::uint8_t> split_keys_;  // scratch of split_by_byte, at most one byte per entry
    std::vector<std::uint32_t> split_scratch_;  // scratch of split_by_byte, at most kSplitScratch
};

}  // namespace

std::int64_t algorithm0_window(std::int64_t base_length, std::int64_t updated_length,
                               const Algorithm0Limits& limits) {
    const std::int64_t largest = std::clamp(limits.max_window, kMinWindow, kMaxWindow);
    std::int64_t w = base_length <= kMinWindow ? kMinWindow : std::min(base_length, largest);
    const BufferSizes sizes(updated_length);
    while (limits.memory_limit >= 0 && sizes.working_buffer(w) > limits.memory_limit) {
        w = w * 3 / 4;
        if (w < kMinWindow) return ERR_NO_MEMORY;
    }
    return w;
}

int create_algorithm0(CreateJob& job, const Algorithm0Limits& limits) {
    std::int64_t w = algorithm0_window(job.base_length, job.updated_length, limits);
    if (w < 0) return static_cast<int>(w);
    const BufferSizes sizes(job.updated_length);

    int rc = prepare_updated(job);
    if (rc < 0) return rc;
    rc = prepare_base(job);
    if (rc < 0) return rc;
    if (job.u < 200) return small_path(job);

    TempFile literal_file;
    std::int64_t control_length = 0;
    std::int64_t literal_length = 0;
    std::int64_t window = 0;
    {
        // The chunk and its index are the encoder's one large allocation; when it
        // fails the window shrinks by a quarter, as under a memory ceiling.
        std::unique_ptr<ChunkGeometry> geometry;
        std::unique_ptr<Encoder> encoder;
        std::unique_ptr<ControlWriter> control;
        std::unique_ptr<BufferedWriter> literals;
        std::unique_ptr<UpdatedReader> updated;
        for (;;) {
            geometry = std::make_unique<ChunkGeometry>(job.n, w, job.u);
            if (job.n < 200 || job.u / geometry->count <= 5) return small_path(job);
            if (!literal_file && !literal_file.open()) return ERR_TEMP_FILE;
            if (!job.delta.seek(0)) return ERR_WRITE_FAILED;
            try {
                control = std::make_unique<ControlWriter>(job.delta, static_cast<std::size_t>(sizes.control));
                literals = std::make_unique<BufferedWriter>(literal_file.channel());
                updated = std::make_unique<UpdatedReader>(job.updated_prime, job.u, std::int64_t{1} << 21,
                                                          std::int64_t{1} << 16);
                encoder = std::make_unique<Encoder>(job, *geometry, *control, *literals, *updated);
                break;
            } catch (const std::bad_alloc&) {
                encoder.reset();
                updated.reset();
                w = w * 3 / 4;
                if (w < kMinWindow) return ERR_NO_MEMORY;
            }
        }
        Outcome outcome;
        try {
            outcome = encoder->run();
        } catch (const TransferFailure& failure) {
            return failure.code;
        }
        if (job.context.stopped()) return ERR_STOPPED;
        if (outcome == Outcome::kAbandoned) {
            // Nothing of the match coding stays: the small path rewrites the delta from its start.
            encoder.reset();
            return small_path(job);
        }
        rc = control->finish();
        if (rc < 0) return rc;
        if (literals->flush() < 0) return literals->error();
        control_length = control->byte_count();
        literal_length = literals->written();
        window = geometry->window;
    }

    job.method |= MB_MATCHED;
    if (!job.delta.seek(control_length)) return ERR_WRITE_FAILED;
    Channel literal_channel = literal_file.channel();
    std::int64_t put = write_payload(job, literal_channel, literal_length);
    if (put < 0) return static_cast<int>(put);
    std::uint8_t header[11];
    put_be32(header, static_cast<std::uint32_t>(job.u));
    header[4] = static_cast<std::uint8_t>(window >> 16);
    header[5] = static_cast<std::uint8_t>(window >> 8);
    header[6] = static_cast<std::uint8_t>(window);
    put_be32(header + 7, static_cast<std::uint32_t>(control_length));
    return finish_delta(job, header, 11);
}

int create_algorithm0(CreateJob& job) { return create_algorithm0(job, Algorithm0Limits{}); }

int coder_create_algorithm0(StreamWindow* base, StreamWindow* updated, StreamWindow* delta,
                            const ProgressCallback& callback, const TrailerRecord& trailer,
                            const Algorithm0Limits& limits) {
    TrailerRecord copy = trailer;
    copy.set_magic();
    CoderContext context(callback, 0, copy.tag());
    StreamWindow no_base;
    no_base.file = nullptr;
    context.register_windows(base ? base : &no_base, updated, delta);
    CreateJob job(context, 0, copy, Channel::of_window(context, SLOT_FIRST), Channel::of_window(context, SLOT_SECOND),
                  Channel::of_window(context, SLOT_THIRD));
    job.base_length = job.base.length();
    job.updated_length = job.updated.length();
    int result;
    if (job.base_length > MAX_FILE_LENGTH || job.updated_length > MAX_FILE_LENGTH) {
        result = ERR_MALFORMED;
    } else if (context.window(SLOT_FIRST)->length < 0 || context.window(SLOT_SECOND)->length < 0) {
        result = ERR_READ_FAILED;
    } else {
        try {
            result = create_algorithm0(job, limits);
        } catch (const std::bad_alloc&) {
            result = ERR_NO_MEMORY;
        }
    }
    if (context.stopped()) return ERR_STOPPED;
    return result;
}

}  // namespace quoralith
