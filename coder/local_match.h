// The local match finder of the match search: the earliest approximate match
// of at least M bytes between two small windows (at most 1000 bytes each).
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quoralith {

// A match between the windows, as offsets into each of them.
struct LocalMatch {
    int base_offset;     // into the Base' window D
    int updated_offset;  // into the Updated' window A
};

// Finds where a stretch of the Updated' window A starts to agree with the
// Base' window D. Every offset i of A (ascending when searching forward,
// descending when searching backward) is tried against the offsets k of D
// whose first `key_length` bytes equal those at A[i], in ascending order of k.
// A candidate (k, i) is first stretched backwards over fewer than three
// consecutive differing bytes, then accepted only when the M bytes from its
// new start hold no three consecutive differences beyond the key. Of the
// accepted candidates of the first i that has any, the one starting earliest
// in A wins (the first of equals). Deterministic: another coder given the same
// windows must find the same match.
class LocalMatchFinder {
public:
    // REQUIRES: 1 <= key_length <= min_match.
    LocalMatchFinder(int min_match, int key_length);

    // d: c bytes of Base', a: a_length bytes of Updated'. Nothing is found when
    // either window is shorter than M.
    std::optional<LocalMatch> find(const std::uint8_t* d, int c, const std::uint8_t* a, int a_length,
                                   bool forward);

private:
    int min_match_;
    int key_length_;
    // Offsets of D chained by a hash of their key: head_ holds the first offset
    // of each bucket plus one (0 = empty), next_ the following one. Chains run in
    // ascending offset order, which is the order of equal keys in an index sorted
    // by key and then by offset.
    std::vector<std::uint16_t> head_;
    std::vector<std::uint16_t> next_;
};

}  // namespace quoralith
