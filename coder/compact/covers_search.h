// The search for covers: stretches of Updated that a stretch of Base of the
// same length gives approximately, byte for byte (most bytes equal, the rest
// coded as differences). A suffix array over Base finds the longest exact
// match at each position; for a Base too large for one, a sparse index of
// Base's content at every few positions still sees all of it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace quoralith::compact {

// Updated [q, q + length) is coded against Base [p, p + length).
struct Cover {
    std::uint64_t q;
    std::uint64_t p;
    std::uint64_t length;
};

// Base from this size on is searched through the sparse index: the suffix
// array would take four bytes for each of its bytes.
constexpr std::uint64_t kFineSearchLimit = std::uint64_t{64} << 20;

// Which index the search uses: by Base's size and kind (a Base that reads
// as random data takes the sparse one at any size), or one chosen by a test.
enum class CoverIndex { automatic, fine, sparse };

// The covers of `updated`, in order of q, not overlapping, each inside both
// files and at least one byte long. Throws streams::Stopped when `stop` says
// so, std::bad_alloc when out of memory.
std::vector<Cover> find_covers(std::span<const std::uint8_t> base, std::span<const std::uint8_t> updated,
                               const std::function<bool()>& stop, CoverIndex kind = CoverIndex::automatic);

}  // namespace quoralith::compact
