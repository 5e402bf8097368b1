// Suffix arrays of byte strings, built in linear time by induced sorting.
#pragma once

#include <cstdint>

namespace quoralith {

// Fills sa[0..n) with the starting positions of the suffixes of s[0..n) in
// ascending order (unsigned bytes; a suffix that is a prefix of another sorts
// first). Needs n < 2^31. Besides sa itself it takes n / 8 bytes of type bits
// and, for inputs that need a second level, at most 2 n bytes of buckets.
// Throws std::bad_alloc when that memory is not there.
void build_suffix_array(const std::uint8_t* s, std::int32_t n, std::int32_t* sa);

}  // namespace quoralith
