// The deep search's parse: which copy runs become records. Every Updated'
// position is a node; a literal byte moves to the next node, a copy run to
// the node after its last equal byte. Each step costs what it costs in the
// delta (the record's flag, literal-length and position codes, positioned or
// relative, the run's count codes, its substituted bytes, and every literal
// byte at its estimated cost after the packer), and the cheapest path is
// taken, a few thousand nodes at a time, as the optimal parsers of LZ coders
// do. Candidate runs at a node: the diagonal of the last run (insertions and
// replacements go on cheaply in relative records), the stretch the scan
// followed there, and the longest exact match the suffix array knows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

#include "coder/deep_search.h"

namespace quoralith {

// A copy run keeps at most this many substitutions; a longer one is cut and
// goes on in a relative record that advances by nothing (a few bits).
constexpr std::size_t kDeepMaxSubstitutions = std::size_t{1} << 14;

// What the records of one algorithm's format cost.
struct DeepCosts {
    int rice = 1;           // g of relative records (0: the count code)
    int position_bits = 1;  // B
    // Cost of a literal byte in sixteenths of a bit, at least 2 bits (a
    // run's cost then never falls along its equal bytes).
    int literal16 = 6 * 16;
};

// Where the parse stands between parts: the Base' position after the last
// copy run (in the part's Base' coordinates) and the literal bytes since.
struct DeepParseState {
    std::int64_t base_end = 0;
    std::int64_t literal_run = 0;
};

// A copy run [q, q + length) from Base' p, in the coordinates of the part;
// it starts and ends with an equal byte and has no three differing bytes in
// a row, so the caller can code it as one record's copy run.
using DeepCopy = std::function<void(std::int32_t q, std::int32_t p, std::int32_t length)>;

// Parses updated[0..m) against base[0..n) with the index over base and the
// scan's stretches of this part (in order of q). `tick` as for deep_scan.
void deep_parse(const SuffixIndex& index, const std::uint8_t* base, std::int32_t n, const std::uint8_t* updated,
                std::int32_t m, const std::vector<DeepSegment>& segments, const DeepCosts& costs,
                DeepParseState& state, const DeepCopy& copy, const std::function<void(std::int32_t)>& tick);

// Bits of the count code C(v), v >= 1, and of the Rice code R_k(v).
inline std::int64_t deep_count_bits(std::uint64_t v) {
    int w = 0;
    for (std::uint64_t x = v + 1; x > 1; x >>= 1) ++w;
    return 2 * w;
}
inline std::int64_t deep_rice_bits(int k, std::uint64_t v) {
    if (k == 0) return deep_count_bits(v);
    return static_cast<std::int64_t>((v - 1) >> k) + 1 + k;
}

}  // namespace quoralith
