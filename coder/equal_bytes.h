// How far two byte strings agree, eight bytes at a time.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace quoralith {

// How many of the first n bytes of a and b are equal.
inline std::int64_t equal_prefix(const std::uint8_t* a, const std::uint8_t* b, std::int64_t n) {
    std::int64_t k = 0;
    while (k + 8 <= n) {
        std::uint64_t x, y;
        std::memcpy(&x, a + k, 8);
        std::memcpy(&y, b + k, 8);
        if (x != y) {
            const int bit = std::endian::native == std::endian::big ? std::countl_zero(x ^ y) : std::countr_zero(x ^ y);
            return k + bit / 8;
        }
        k += 8;
    }
    while (k < n && a[k] == b[k]) ++k;
    return k;
}

}  // namespace quoralith
