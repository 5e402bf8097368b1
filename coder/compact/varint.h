// The variable-length numbers of the compact format, in its header and in the
// cover payload's streams alike: seven bits a byte, lowest first, the high bit
// set on every byte but the last; signed values are zigzagged first so that
// small magnitudes of either sign stay short.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quoralith::compact {

inline void put_varint(std::vector<std::uint8_t>& out, std::uint64_t value) {
    while (value >= 0x80) {
        out.push_back(static_cast<std::uint8_t>(value | 0x80));
        value >>= 7;
    }
    out.push_back(static_cast<std::uint8_t>(value));
}

// Reads one varint of at most `max_bytes` bytes (10 hold any 64-bit value)
// from `next`, a callable bool(std::uint8_t&). False when `next` runs dry, or
// the number runs on past `max_bytes` or past 64 bits.
template <class NextByte>
bool read_varint(NextByte&& next, std::uint64_t& value, int max_bytes = 10) {
    value = 0;
    for (int shift = 0; shift < 7 * max_bytes; shift += 7) {
        std::uint8_t byte;
        if (!next(byte)) return false;
        if (shift == 63 && byte > 1) return false;
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) return true;
    }
    return false;
}

// The same from bytes[at..), moving `at` past it.
inline bool get_varint(std::span<const std::uint8_t> bytes, std::size_t& at, std::uint64_t& value,
                       int max_bytes = 10) {
    return read_varint(
        [&](std::uint8_t& byte) {
            if (at >= bytes.size()) return false;
            byte = bytes[at++];
            return true;
        },
        value, max_bytes);
}

inline std::uint64_t zigzag(std::int64_t v) {
    return (static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63);
}
inline std::int64_t unzigzag(std::uint64_t v) {
    return static_cast<std::int64_t>(v >> 1) ^ -static_cast<std::int64_t>(v & 1);
}

}  // namespace quoralith::compact
