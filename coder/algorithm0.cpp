// The algorithm 0 encoder: Base' in overlapping chunks, each indexed by the 20
// bytes at every offset, Updated' matched slice by slice against them with long
// (20-byte) lookups at every 10th position and short (5-byte) ones in between.
// The delta is a deterministic function of Base, Updated and the algorithm, so
// every shortcut below (bucketed sort, word-wide comparison, sliding caches)
// gives exactly what the plain byte-by-byte procedure gives.
#include "coder/algorithm0.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cstring>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
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
// Parts in offset order up to this size are sorted by rank (sort_ranked).
constexpr std::size_t kRankedSortLimit = 1 << 16;
constexpr std::int64_t kPrefetch = 6;
// Parts of the index up to this size are sorted whole when a lookup reaches them.
constexpr std::ptrdiff_t kWholePart = 16;
constexpr std::uint8_t kSortedPart = 0x80;
// Parts up to this many entries are split through a scratch array, larger ones in place.
constexpr std::size_t kSplitScratch = 1 << 18;
// Every this many index entries one's key bytes 2 to 4 are kept in a compact array.
constexpr std::size_t kFenceStep = 64;
constexpr int kFilterWordBits = 18;  // 2 MiB of presence bits, in words of 64
// A chunk whose entries begin with at least this many byte pairs is given the filter.
constexpr std::size_t kFilterBuckets = 1 << 14;
// Chunks shorter than this are indexed by the encoder's own thread.
constexpr std::int64_t kThreadedIndex = 1 << 16;
// How many entries ahead the index build fetches the places it will write.
constexpr std::int64_t kBuildAhead = 16;
// A search ahead of a chunk copies its slice of Updated' and this much
// beyond it, for matches that run past the slice end (within the limits of
// Algorithm0Limits).
constexpr std::int64_t kStretchMargin = 1 << 20;
// Chunks searched at once, each on a thread of its own.
constexpr std::size_t kTasks = 2;
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

// An index entry: bytes 2 to 5 of its key above its chunk offset, so that
// ordering entries as numbers orders them by those bytes, then by offset.
using Entry = std::uint64_t;

inline std::uint32_t offset_of(Entry e) { return static_cast<std::uint32_t>(e); }

inline Entry make_entry(const std::uint8_t* chunk, std::int64_t offset) {
    std::uint32_t v;
    std::memcpy(&v, chunk + offset + 2, sizeof v);
    if constexpr (kLittleEndian) v = __builtin_bswap32(v);
    return static_cast<Entry>(v) << 32 | static_cast<std::uint32_t>(offset);
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
    Array<std::uint8_t> buffer_;
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

// The two loops of a slice's search (match_slice).
enum class Phase : std::uint8_t { kLong, kShort };

// What a sink answers when it does not know the rest of a slice.
constexpr std::int64_t kUnknown = -2;

// A search ahead that met the end of its copy of Updated', or was cancelled.
struct GiveUp {};

// One Base' chunk and its index: every chunk offset whose 20 bytes lie in the
// chunk, ordered by those bytes (ties by offset) as far as lookups need it.
class ChunkIndex {
public:
    explicit ChunkIndex(std::int64_t window)
        : chunk_(static_cast<std::size_t>(window)), index_(static_cast<std::size_t>(window)), bucket_(65537),
          next_(65536), bucket_sorted_(65536), fences_(static_cast<std::size_t>(window) / kFenceStep + 1),
          part_state_(static_cast<std::size_t>(window)), shared_(static_cast<std::size_t>(window)),
          // A chunk with fewer entries than kFilterBuckets never fills that
          // many buckets, so it is never filtered: no 2 MiB for it.
          present_(window - (kLongKey - 1) >= static_cast<std::int64_t>(kFilterBuckets)
                       ? std::size_t{1} << kFilterWordBits
                       : 0) {}

    // Where a chunk of `length` bytes is to be read; build_index() then indexes it.
    std::uint8_t* prepare(std::int64_t length) {
        length_ = length;
        return chunk_.data();
    }
    const std::uint8_t* chunk() const { return chunk_.data(); }
    std::int64_t length() const { return length_; }
    std::int64_t entries() const { return entries_; }
    const Entry* index() const { return index_.data(); }

private:
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

public:
    // Every chunk offset whose 20 bytes lie in the chunk, sorted by those bytes,
    // ties by offset: a counting pass on the first two bytes here, then each
    // bucket sorted on bytes 2 to 5 when first reached and the parts within it
    // ordered further as lookups reach them (sorted_part). The order compared
    // is total, so the result is the one a stable sort by the bytes alone gives.
    void build_index() {
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

private:
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
public:
    void prefetch_filter(const std::uint8_t* key) const {
        if (filtered_) __builtin_prefetch(present_.data() + filter_word(filter_hash(key)));
    }
private:
    bool maybe_present(const std::uint8_t* key) const {
        const std::uint64_t h = filter_hash(key);
        const std::uint64_t bits = filter_bits(h);
        return !filtered_ || (present_[filter_word(h)] & bits) == bits;
    }

    // The part of the index a lookup of the n bytes of `key` searches, in its
    // final order. The index is ordered lazily, as lookups reach it: a bucket
    // is put in order by the key bytes 2 to 5 its entries carry when a lookup
    // first reaches it (sort_entries); a 5-byte group is sorted whole when a
    // 5-byte lookup reaches it; below that, a part (entries equal in their
    // first d bytes) is split by byte d in one pass when a 20-byte lookup first
    // passes through it, and sorted whole when it is small or its entries are
    // equal in all 20 bytes. Where Updated' is mostly covered by long matches,
    // most of a chunk's index is never ordered beyond its 6-byte parts.
    //
    // part_state_[f] describes the parts of 6 or more bytes that start at index
    // position f: the depth of the deepest of them, with kSortedPart when that
    // one is sorted (0: none has been reached yet). A 5-byte group that starts
    // at f and has been sorted whole is marked kShortKey | kSortedPart there;
    // sorting it leaves every part inside it where it was.
    std::pair<Entry*, Entry*> sorted_part(const std::uint8_t* key, std::int64_t n) {
        const unsigned b = bucket_of(key);
        Entry* first = index_.data() + bucket_[b];
        Entry* last = index_.data() + bucket_[b + 1];
        if (first == last) return {first, last};
        if (!bucket_sorted_[b]) {
            sort_entries(first, last);
            bucket_sorted_[b] = 1;
        }
        // The key's 5-byte group, found by the entries' own bits.
        const std::uint64_t k32 = get_be32(key + 2);
        const std::uint64_t k24 = k32 >> 8;
        first = group_start(first, last, k24);
        last = run_end(first, last, [k24](Entry e) { return (e >> 40) == k24; });
        if (first == last) return {first, last};
        // The group's state: sorted whole (by a 5-byte lookup), or not.
        std::uint8_t& group = part_state_[static_cast<std::size_t>(first - index_.data())];
        const bool group_sorted = group == (kShortKey | kSortedPart);
        if (n == kShortKey) {
            if (!group_sorted) {
                sort_group(first, last);
                group = kShortKey | kSortedPart;
            }
            return {first, last};
        }
        // A sorted group keeps its 6-byte parts together: the search narrows to
        // the key's by the entries' own bits before comparing any key bytes.
        first = std::lower_bound(first, last, k32, [](Entry e, std::uint64_t v) { return (e >> 32) < v; });
        last = run_end(first, last, [k32](Entry e) { return (e >> 32) == k32; });
        if (group_sorted) return {first, last};
        const std::uint8_t* p = chunk_.data();
        for (int d = 6;; ++d) {
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
                const std::uint8_t* lead = p + offset_of(*first);
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
            }
            first = std::lower_bound(first, last, key[d],
                                     [p, d](Entry e, std::uint8_t v) { return p[offset_of(e) + d] < v; });
            last = std::upper_bound(first, last, key[d],
                                    [p, d](std::uint8_t v, Entry e) { return v < p[offset_of(e) + d]; });
        }
    }

    // Sorts entries that share key bytes 0 to 5 (so also the high half of the
    // entry) and lie in offset order, as sort_bucket does: as 16-byte records
    // of bytes 6 to 19 and their rank, which stands in for the offset and
    // makes every record unique, so that a comparison is two words at most.
    void sort_ranked(Entry* first, Entry* last, std::uint8_t* shared) {
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

    // The first entry of [first, last), a bucket in sort_entries order, whose
    // key bytes 2 to 4 are at least k24. Buckets of text run to many thousand
    // entries, and a plain binary search of one meets a cache miss at nearly
    // every step: the search goes through the fences of every 64th entry,
    // which lie together, and then through the 64 entries between two.
    Entry* group_start(Entry* first, Entry* last, std::uint64_t k24) {
        const auto from = static_cast<std::size_t>(first - index_.data());
        const auto to = static_cast<std::size_t>(last - index_.data());
        const std::size_t fa = (from + kFenceStep - 1) / kFenceStep;
        const std::size_t fb = (to + kFenceStep - 1) / kFenceStep;  // fences [fa, fb) lie in the bucket
        const std::uint32_t* fences = fences_.data();
        const std::size_t f = static_cast<std::size_t>(
            std::lower_bound(fences + fa, fences + fb, static_cast<std::uint32_t>(k24)) - fences);
        Entry* lo = f == fa ? first : index_.data() + (f - 1) * kFenceStep;
        Entry* hi = f == fb ? last : index_.data() + f * kFenceStep;
        return std::lower_bound(lo, hi, k24, [](Entry e, std::uint64_t v) { return (e >> 40) < v; });
    }

    // The end of the run from `first` of entries for which `same` holds (it
    // holds for a prefix of [first, last)): a galloping search, since runs are
    // short beside the ranges they lie in.
    template <class Same>
    static Entry* run_end(Entry* first, Entry* last, Same same) {
        if (first == last || !same(*first)) return first;
        std::ptrdiff_t good = 0;  // same(first[good]) holds
        std::ptrdiff_t step = 1;
        const std::ptrdiff_t size = last - first;
        while (good + step < size && same(first[good + step])) {
            good += step;
            step *= 2;
        }
        std::ptrdiff_t bad = std::min(good + step, size);  // fails, or the end
        while (bad - good > 1) {
            const std::ptrdiff_t mid = good + (bad - good) / 2;
            (same(first[mid]) ? good : bad) = mid;
        }
        return first + bad;
    }

    // Orders a bucket's entries as numbers. They arrive in offset order, so a
    // stable radix sort on the key bytes they hold does it, skipping the bytes
    // that are the same throughout.
    void sort_entries(Entry* first, Entry* last) {
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

    void set_fences(const Entry* first, const Entry* last) {
        const auto from = static_cast<std::size_t>(first - index_.data());
        const auto to = static_cast<std::size_t>(last - index_.data());
        for (std::size_t f = (from + kFenceStep - 1) / kFenceStep; f * kFenceStep < to; ++f)
            fences_[f] = static_cast<std::uint32_t>(index_[f * kFenceStep] >> 40);
    }

    // Sorts a 5-byte group by bytes 5 to 19, then offset. Its entries are in
    // order by byte 5 already (sort_entries), so each run of one byte 5 is
    // sorted on its own.
    void sort_group(Entry* first, Entry* last) {
        std::uint8_t* shared = shared_.data();
        for (Entry* run = first; run != last;) {
            Entry* end = run + 1;
            while (end != last && (*end >> 32) == (*run >> 32)) ++end;
            sort_bucket(run, end, kShortKey + 1);
            if (run != first) shared[run - index_.data()] = static_cast<std::uint8_t>(kShortKey);
            run = end;
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
    int split_by_byte(Entry* first, Entry* last, int depth, int limit, std::size_t* starts) {
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

    // Sorts one bucket by bytes 2 to 19, then offset, and records in shared_
    // how many key bytes each entry shares with the one before it (the first
    // entry's count is left alone). Buckets up to a limit are sorted as records
    // holding their key, so that comparisons stay in one array instead of
    // reaching into the chunk twice.
    void sort_bucket(Entry* first, Entry* last, int depth) {
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

public:
    // The index entries [first, last) whose n bytes equal key; empty when none.
    std::pair<std::int64_t, std::int64_t> find_equal(const std::uint8_t* key, std::int64_t n) {
        if (!maybe_present(key)) return {0, 0};
        const auto [first, last] = sorted_part(key, n);
        if (first == last) return {0, 0};
        // A 5-byte lookup is given its group, exactly.
        if (n == kShortKey) return {first - index_.data(), last - index_.data()};
        const std::uint8_t* p = chunk_.data();
        const auto lo = std::lower_bound(first, last, key, [p, n](Entry e, const std::uint8_t* k) {
            return compare_tail(p + offset_of(e), k, n) < 0;
        });
        if (lo == last || compare_tail(p + offset_of(*lo), key, n) != 0) return {0, 0};
        const auto hi = std::upper_bound(lo, last, key, [p, n](const std::uint8_t* k, Entry e) {
            return compare_tail(k, p + offset_of(e), n) < 0;
        });
        return {lo - index_.data(), hi - index_.data()};
    }

    // The last index entry in [i, last) whose first `bytes` bytes equal those
    // of entry i (they follow it in the sorted index).
    std::int64_t last_sharing(std::int64_t i, std::int64_t last, std::int64_t bytes) const {
        const std::uint8_t* shared = shared_.data();
        std::int64_t j = i + 1;
        if constexpr (kLittleEndian) {
            // Eight counts at a time: adding 128 - bytes to each (all are at
            // most 20) sets its top bit exactly when it is at least `bytes`.
            const std::uint64_t add = 0x0101010101010101ull * static_cast<std::uint64_t>(128 - bytes);
            while (j + 8 <= last) {
                const std::uint64_t short_of = ~(load64(shared + j) + add) & 0x8080808080808080ull;
                if (short_of) return j + (std::countr_zero(short_of) >> 3) - 1;
                j += 8;
            }
        }
        while (j < last && shared[j] >= bytes) ++j;
        return j - 1;
    }

private:
    Array<std::uint8_t> chunk_;
    std::int64_t length_ = 0;  // of the resident chunk
    Array<Entry> index_;
    std::int64_t entries_ = 0;
    Array<std::uint32_t> bucket_;  // bucket b holds index entries [bucket_[b], bucket_[b + 1])
    Array<std::uint32_t> next_;
    Array<std::uint8_t> bucket_sorted_;  // whether bucket b is in sort_entries order
    Array<std::uint32_t> fences_;  // see group_start
    Array<std::uint8_t> part_state_;  // see sorted_part
    // Key bytes an entry of a sorted part shares with the entry before it.
    Array<std::uint8_t> shared_;
    Array<std::uint64_t> present_;  // the filter_bits of the first 5 bytes of every entry, when filtered_
    bool filtered_ = false;
    struct SortPair {  // bytes 2 to 9, 10 to 17, 18 and 19 of an entry's key
        std::uint64_t head;
        std::uint64_t middle;
        std::uint32_t tail;
        std::uint32_t offset;
    };
    Scratch<SortPair> pairs_;  // scratch of the paired sort, at most kPairedSortLimit
    struct Ranked {  // bytes 6 to 13; bytes 14 to 19 above a 16-bit rank
        std::uint64_t head;
        std::uint64_t rest;
    };
    Scratch<Ranked> ranked_;  // scratch of sort_ranked, at most kRankedSortLimit
    Scratch<std::uint8_t> split_keys_;  // scratch of split_by_byte, at most one byte per entry
    Scratch<Entry> split_scratch_;  // scratch of split_by_byte, at most kSplitScratch
    Scratch<Entry> radix_scratch_;  // scratch of sort_entries, at most the largest bucket
};

// A match search over one chunk, reading Updated' through `Source`: the
// encoder's reader on the encoder's own thread, or a copied stretch of Updated'
// on a thread that searches a chunk ahead (see Speculation).
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

// A search of a chunk made ahead, on another thread, while the encoder writes
// the records of the chunks before it. It cannot know where those records will
// end (a match often runs past its slice end), so it starts at the slice start
// and records what it finds, with the points where each loop of match_slice
// began an iteration. The records from r on are a function of r, the loop and
// the chunk alone, so when the encoder, starting from where it really is,
// reaches one of those points, the rest of the slice is already known and is
// replayed: the delta is exactly the one a single thread makes.
struct Speculation {
    struct Op {
        std::int64_t r;
        std::int64_t m0;
        Match m;
        bool matched;
        bool checked;  // the abandon rule is applied after this record
    };
    struct Point {
        std::int64_t r;
        Phase phase;
        std::size_t op;  // the first record made from there
    };
    Scratch<std::uint8_t> stretch;  // holds Updated' [lo, hi) at `bytes`
    const std::uint8_t* bytes = nullptr;
    std::int64_t lo = 0;
    std::int64_t hi = 0;
    std::vector<Op> ops;
    std::vector<Point> points;  // in the order met, so r does not decrease
    std::int64_t end = -1;      // where its records end; -1 when it was given up
    bool indexed = false;       // the chunk's index was built
    const std::atomic<bool>* cancel = nullptr;
    std::atomic<std::int64_t>* reached = nullptr;  // the last point's r, for other threads
    std::size_t max_ops = 0;

    // The Source of its search.
    const std::uint8_t* view(std::int64_t position, std::int64_t count) const {
        if (position < lo || position + count > hi) throw GiveUp{};
        return bytes + (position - lo);
    }
    void poll() const {
        if (cancel->load(std::memory_order_relaxed)) throw GiveUp{};
    }

    // Its Sink.
    std::int64_t resume(Phase phase, std::int64_t r) {
        points.push_back({r, phase, ops.size()});
        reached->store(r, std::memory_order_relaxed);
        return kUnknown;
    }
    void record(std::int64_t r, std::int64_t m0, const Match* m) {
        if (ops.size() >= max_ops) throw GiveUp{};
        ops.push_back({r, m0, m ? *m : Match{}, m != nullptr, false});
    }
    bool abandons() {
        ops.back().checked = true;
        return false;
    }

    // The first record made from `r` in `phase`, when the search met that point.
    const Point* find(Phase phase, std::int64_t r) const {
        auto it = std::lower_bound(points.begin(), points.end(), r,
                                   [](const Point& point, std::int64_t v) { return point.r < v; });
        for (; it != points.end() && it->r == r; ++it)
            if (it->phase == phase) return &*it;
        return nullptr;
    }
};

// A thread that is waited for when its holder goes, on every path.
struct JoinedThread {
    std::thread thread;
    JoinedThread() = default;
    JoinedThread(JoinedThread&&) = default;
    JoinedThread& operator=(JoinedThread&& other) {
        join();
        thread = std::move(other.thread);
        return *this;
    }
    ~JoinedThread() { join(); }
    void join() {
        if (thread.joinable()) thread.join();
    }
    bool running() const { return thread.joinable(); }
};

// Chunk 0 of Base', read and set to be indexed on a thread of its own as soon
// as Base' exists, so that the index is built while Updated is transformed.
struct FirstIndex {
    std::int64_t window = 0;
    std::unique_ptr<ChunkIndex> index;  // set exactly when `builder` runs
    JoinedThread builder;

    void start(CreateJob& job, std::int64_t w) {
        if (job.n < kMinWindow) return;  // too short to be match coded
        // A small chunk is indexed in less time than a thread takes to start;
        // the encoder indexes it itself.
        if (std::min(w, job.n) < kThreadedIndex) return;
        try {
            const std::int64_t length = std::min(w, job.n);  // the encoder's window, W'
            auto chunk = std::make_unique<ChunkIndex>(length);
            // A failed read is left to the encoder, which reads the chunk again.
            if (job.base_prime.read_exact_at(0, chunk->prepare(length), length) < 0) return;
            builder.thread = std::thread([ix = chunk.get()] { ix->build_index(); });
            index = std::move(chunk);
            window = length;
        } catch (const std::bad_alloc&) {
        } catch (const std::system_error&) {
        }
    }
    // Hands the index over when it was made for this window; the builder goes with it.
    std::unique_ptr<ChunkIndex> take(std::int64_t w, JoinedThread& to) {
        if (!index || window != w) return nullptr;
        to = std::move(builder);
        return std::move(index);
    }
};

class Encoder {
public:
    Encoder(CreateJob& job, const ChunkGeometry& geometry, const Algorithm0Limits& limits, ControlWriter& control,
            BufferedWriter& literals, UpdatedReader& updated, FirstIndex& first)
        : job_(job), geometry_(geometry), limits_(limits), control_(control), literals_(literals), updated_(updated),
          position_bits_(bit_length_min1(static_cast<std::uint64_t>(geometry.window - 1))),
          together_(geometry.count > 1 && limits.search_ahead && std::thread::hardware_concurrency() != 1) {
        if (!together_) {
            alone_ = first.take(geometry.window, alone_builder_);
            if (!alone_) alone_ = std::make_unique<ChunkIndex>(geometry.window);
            return;
        }
        for (Task& task : tasks_) {
            task.index = &task == &tasks_[0] ? first.take(geometry.window, task.builder) : nullptr;
            if (!task.index) task.index = std::make_unique<ChunkIndex>(geometry.window);
            task.ahead.cancel = &task.cancel;
            task.ahead.reached = &task.reached;
            task.ahead.max_ops = static_cast<std::size_t>(std::max<std::int64_t>(limits.ahead_records, 0));
        }
    }

    Outcome run() {
        const std::int64_t u = geometry_.u;
        std::int64_t r = 0;
        std::int64_t c = 0;
        std::int64_t next = 0;  // the next chunk to hand to a task
        for (;;) {
            const std::int64_t e = geometry_.slice_end(c);
            Source source{updated_, job_.context};
            std::int64_t end;
            if (!together_) {
                if (alone_builder_.running()) {
                    alone_builder_.join();  // chunk 0, read and indexed already
                } else {
                    load_chunk(*alone_, c);
                    alone_->build_index();
                }
                ix_ = alone_.get();
                Searcher<Source> search(source, *alone_);
                Writer sink{*this};
                end = match_slice(search, sink, r, e, u);
            } else {
                // Both tasks search the chunks that come next while this thread
                // writes the records of chunk c from what its task found.
                for (Task& task : tasks_)
                    if (task.chunk >= 0 && task.chunk < c) discard(task);
                next = std::max(next, c);
                for (Task& task : tasks_) {
                    if (task.chunk >= 0 || (next > 0 && geometry_.is_last(next - 1))) continue;
                    start(task, next++);
                }
                Task& task = *std::find_if(tasks_.begin(), tasks_.end(), [c](const Task& t) { return t.chunk == c; });
                // A task still short of where the records of its chunk begin
                // searches what no record needs: the rest is searched here.
                if (!task.finished && std::max(task.reached.load(), task.ahead.lo) < r) task.cancel = true;
                if (task.thread.joinable()) task.thread.join();
                if (task.builder.running()) {
                    task.builder.join();
                    task.ahead.indexed = true;
                }
                if (!task.ahead.indexed) task.index->build_index();
                ix_ = task.index.get();
                Searcher<Source> search(source, *task.index);
                Task* half = task.ahead.end < 0 ? second_half(task, c, r, e) : nullptr;
                if (task.ahead.end >= 0) {
                    Resumer sink{{*this}, task.ahead};
                    end = match_slice(search, sink, r, e, u);
                } else if (half) {
                    HalfResumer sink{{*this}, *half};
                    end = match_slice(search, sink, r, e, u);
                    discard(*half);
                } else {
                    Writer sink{*this};
                    end = match_slice(search, sink, r, e, u);
                }
                task.chunk = -1;
            }
            if (end < 0) return Outcome::kAbandoned;
            r = end;
            if (literals_.flush() < 0) throw TransferFailure{literals_.error()};
            if (control_.error() < 0) throw TransferFailure{control_.error()};
            if (r >= u) break;
            // A match may have run past several slice ends.
            while (!geometry_.is_last(c) && r >= geometry_.boundary(c)) ++c;
        }
        return estimate() < u ? Outcome::kMatched : Outcome::kAbandoned;
    }

private:
    // One chunk indexed and searched on a thread of its own, from its slice
    // start, while this thread writes the records of the chunks before it.
    struct Task {
        std::int64_t chunk = -1;  // -1: free
        std::unique_ptr<ChunkIndex> index;
        JoinedThread builder;  // while chunk 0, read early, is being indexed (FirstIndex)
        Speculation ahead;
        std::atomic<bool> cancel{false};
        std::atomic<bool> finished{false};
        std::atomic<std::int64_t> reached{-1};
        std::thread thread;

        ~Task() {
            cancel = true;
            if (thread.joinable()) thread.join();
        }
    };

    // The last chunk, when this thread must search it from r itself, is the
    // longest stretch of work left with a thread idle: that thread indexes the
    // chunk too and searches the second half of what remains ahead, from where
    // this thread may take over (HalfResumer). Returns that task, or null.
    Task* second_half(const Task& task, std::int64_t c, std::int64_t r, std::int64_t e) {
        if (!geometry_.is_last(c) || limits_.half_search < 0 || e - r < limits_.half_search) return nullptr;
        const std::int64_t from = r + (e - r) / 2;
        if (e + kStretchMargin - from > limits_.ahead_stretch) return nullptr;
        for (Task& other : tasks_) {
            if (&other == &task || other.chunk >= 0) continue;
            start(other, c, from);
            return &other;
        }
        return nullptr;
    }

    // Reads chunk c and the stretch of Updated' its slice may reach, and sets
    // a thread to index and search it, from its slice start or from `from`.
    // Where the stretch would be too large, the thread only indexes the chunk.
    void start(Task& task, std::int64_t c, std::int64_t from = -1) {
        Speculation& ahead = task.ahead;
        task.chunk = c;
        task.cancel = false;
        task.finished = false;
        task.reached = -1;
        ahead.lo = ahead.hi = 0;
        ahead.ops.clear();
        ahead.points.clear();
        ahead.end = -1;
        ahead.indexed = false;
        if (!task.builder.running()) load_chunk(*task.index, c);
        const std::int64_t lo = from >= 0 ? from : c == 0 ? 0 : geometry_.boundary(c - 1);
        const std::int64_t e = geometry_.slice_end(c);
        const std::int64_t u = geometry_.u;
        const std::int64_t hi = std::min(u, std::max(lo, e) + kStretchMargin);
        const bool search = lo >= 0 && hi - lo <= limits_.ahead_stretch &&
                            (from >= 0 || limits_.search_last_ahead || !geometry_.is_last(c));
        if (search) {
            std::uint8_t* stretch = ahead.stretch.reserve(static_cast<std::size_t>(hi - lo));
            ahead.bytes = stretch;
            const int rc = job_.updated_prime.read_exact_at(lo, stretch, hi - lo);
            if (rc < 0) throw TransferFailure{rc == ERR_MALFORMED ? ERR_READ_FAILED : rc};
            ahead.lo = lo;
            ahead.hi = hi;
        }
        auto work = [&task, search, lo, e, u] {
            Speculation& ahead = task.ahead;
            try {
                if (task.builder.running()) {
                    task.builder.join();
                } else {
                    task.index->build_index();
                }
                ahead.indexed = true;
                if (search) {
                    Searcher<Speculation> searcher(ahead, *task.index);
                    ahead.end = match_slice(searcher, ahead, lo, e, u);
                }
            } catch (const GiveUp&) {
                ahead.end = -1;
            } catch (const std::bad_alloc&) {
                ahead.end = -1;
                ahead.indexed = false;
            }
            task.finished = true;
        };
        try {
            task.thread = std::thread(work);
        } catch (const std::system_error&) {
            // No thread to be had: the chunk is indexed and searched here
            // when its turn comes.
            task.finished = true;
        }
    }

    // Ends the task of a chunk the records have run past.
    static void discard(Task& task) {
        task.cancel = true;
        if (task.thread.joinable()) task.thread.join();
        task.builder.join();
        task.chunk = -1;
    }

    // Updated' as the encoder's own searches read it.
    struct Source {
        UpdatedReader& reader;
        const CoderContext& context;
        const std::uint8_t* view(std::int64_t position, std::int64_t count) { return reader.view(position, count); }
        void poll() const {
            if (context.stopped()) throw TransferFailure{ERR_STOPPED};
        }
    };

    // The sink that writes every record.
    struct Writer {
        Encoder& encoder;
        std::int64_t resume(Phase, std::int64_t) { return kUnknown; }
        void record(std::int64_t r, std::int64_t m0, const Match* m) { encoder.write_record(r, m0, m); }
        bool abandons() { return encoder.estimate() >= encoder.geometry_.u; }
    };

    // The sink for a chunk searched ahead: it writes records until it meets a
    // point the search ahead met, then replays that search's records from there.
    struct Resumer : Writer {
        const Speculation& ahead;
        std::int64_t resume(Phase phase, std::int64_t r) { return replay(ahead, phase, r); }

        std::int64_t replay(const Speculation& from, Phase phase, std::int64_t r) {
            const Speculation::Point* point = from.find(phase, r);
            if (!point) return kUnknown;
            for (std::size_t i = point->op; i < from.ops.size(); ++i) {
                const Speculation::Op& op = from.ops[i];
                encoder.write_record(op.r, op.m0, op.matched ? &op.m : nullptr);
                if (op.checked && abandons()) return -1;
            }
            return from.end;
        }
    };

    // The sink while another task searches the second half of the rest of a
    // chunk ahead (second_half): from the point where that half begins, it
    // waits for that search (or ends it, when it is still short of r) and
    // then resumes from it as Resumer does.
    struct HalfResumer : Resumer {
        Task& half;
        bool joined = false;
        HalfResumer(Writer writer, Task& task) : Resumer{writer, task.ahead}, half(task) {}
        std::int64_t resume(Phase phase, std::int64_t r) {
            if (r < half.ahead.lo) return kUnknown;
            if (!joined) {
                if (!half.finished && half.reached.load() < r) half.cancel = true;
                if (half.thread.joinable()) half.thread.join();
                joined = true;
            }
            return half.ahead.end < 0 ? kUnknown : replay(half.ahead, phase, r);
        }
    };

    // Size the delta would have if it ended here (before packing).
    std::int64_t estimate() const { return literals_.written() + control_.byte_count() + 11; }

    void load_chunk(ChunkIndex& target, std::int64_t c) {
        if (job_.context.stopped()) throw TransferFailure{ERR_STOPPED};
        const std::int64_t length = geometry_.length(c);
        const int rc = job_.base_prime.read_exact_at(geometry_.start(c), target.prepare(length), length);
        if (rc < 0) throw TransferFailure{rc == ERR_MALFORMED ? ERR_READ_FAILED : rc};
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
            const std::uint8_t* a = ix_->chunk() + offset;
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
    const Algorithm0Limits& limits_;
    ControlWriter& control_;
    BufferedWriter& literals_;
    UpdatedReader& updated_;
    const int position_bits_;

    const bool together_;              // chunks are searched by tasks on other threads
    std::unique_ptr<ChunkIndex> alone_;  // the chunk when they are not
    JoinedThread alone_builder_;         // while it is chunk 0, being indexed (FirstIndex)
    std::array<Task, kTasks> tasks_;
    ChunkIndex* ix_ = nullptr;  // the chunk whose records are written
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

    // Base first: its first chunk is indexed while Updated is transformed.
    int rc = prepare_base(job);
    if (rc < 0) return rc;
    FirstIndex first;
    first.start(job, w);
    rc = prepare_updated(job);
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
                encoder = std::make_unique<Encoder>(job, *geometry, limits, *control, *literals, *updated, first);
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
