// The vocabulary every stage of the algorithm 0 encoder shares: the key
// lengths, word-wide loads and comparisons, the packed index entry, and the
// failure that unwinds a search. Kept in a header, with everything inline, so
// that the hot loops of the chunk index and the search compile as one.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quoralith::alg0 {

constexpr std::int64_t kLongKey = 20;
constexpr std::int64_t kShortKey = 5;
// The most bytes of Updated' one step of an extension or a copy views at once.
constexpr std::int64_t kBlock = 1 << 16;
// How many entries ahead a loop over index entries fetches their key bytes.
constexpr std::int64_t kPrefetch = 6;

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

}  // namespace quoralith::alg0
