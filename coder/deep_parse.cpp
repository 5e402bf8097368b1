// The deep search's parse (see deep_parse.h).
#include "coder/deep_parse.h"

#include <algorithm>
#include <limits>

namespace quoralith {

namespace {

// Nodes parsed at a time: the path is fixed at the last of them, so a run
// that goes on past it is cut there and resumed by a relative record of a few
// bits.
constexpr std::int32_t kNodes = 8192;
// A candidate run this long is taken at once and extended as far as it pays:
// comparing it with others costs time and rarely changes the delta.
constexpr std::int32_t kNice = 256;
// Walking a taken run stops once it is this many bits worse than its best end.
constexpr std::int64_t kGiveUp16 = 16 * 64;

// A match longer than this is taken to go on at the next position.
constexpr std::int32_t kReuseMatch = 24;
// The suffix array is asked at a node only when no other candidate there
// gives a run this long. With 32 the deltas of executables were 0.8% smaller
// (wasm 693,224 against 698,717 bytes), for 9% more instructions and more in
// time, the lookups being the parse's costliest step; the create of those
// pairs then came level with bsdiff's.
constexpr std::int32_t kLookupBelow = 16;
// Neighbours of the longest match in suffix order tried on each side.
constexpr std::int32_t kNeighbours = 2;
// Candidates walked at one node at most: three at hand, the longest match
// and its neighbours.
constexpr int kMaxCandidates = 8;

constexpr std::int64_t kUnreached = std::numeric_limits<std::int64_t>::max() / 4;

struct Node {
    std::int64_t cost;           // sixteenths of a bit from the chunk's first node
    std::int32_t literal_run;    // literal bytes since the last copy run
    std::int32_t base_end;       // Base' position after the last copy run
    std::int32_t from;           // the node the copy run arriving here starts at; -1: a literal
    std::int32_t p;              // that run's Base' start
};

class Parser {
public:
    Parser(const SuffixIndex& index, const std::uint8_t* base, std::int32_t n, const std::uint8_t* updated,
           std::int32_t m, const std::vector<DeepSegment>& segments, const DeepCosts& costs, const DeepCopy& copy)
        : index_(index), base_(base), n_(n), updated_(updated), m_(m), segments_(segments), costs_(costs),
          copy_(copy), nodes_(static_cast<std::size_t>(kNodes) + 1) {}

    void run(DeepParseState& state, const std::function<void(std::int32_t)>& tick) {
        std::int32_t i0 = 0;
        Node& first = nodes_[0];
        // A literal run carried from earlier parts only sets the cost of its
        // length code: beyond 2^30 bytes (more than a file holds) it may be cut.
        first = Node{0, static_cast<std::int32_t>(std::min<std::int64_t>(state.literal_run, std::int64_t{1} << 30)),
                     static_cast<std::int32_t>(std::clamp<std::int64_t>(state.base_end, 0, n_)), -1, 0};
        std::int32_t next_tick = 1 << 16;
        while (i0 < m_) {
            const std::int32_t w = std::min(kNodes, m_ - i0);
            for (std::int32_t k = 1; k <= w; ++k) nodes_[static_cast<std::size_t>(k)].cost = kUnreached;
            std::int32_t taken_at = -1, taken_p = 0;
            for (std::int32_t k = 0; k < w; ++k) {
                if (visit(i0, k, w, taken_p)) {
                    taken_at = k;
                    break;
                }
            }
            const std::int32_t end = taken_at >= 0 ? taken_at : w;
            emit_path(i0, end);
            const Node last = nodes_[static_cast<std::size_t>(end)];
            if (taken_at >= 0) {
                const std::int32_t q = i0 + taken_at;
                const std::int32_t length = extend(q, taken_p);
                put(q, taken_p, length);
                i0 = q + length;
                nodes_[0] = Node{0, 0, taken_p + length, -1, 0};
            } else {
                i0 += w;
                nodes_[0] = Node{0, last.literal_run, last.base_end, -1, 0};
            }
            if (i0 >= next_tick) {
                tick(i0);
                next_tick = i0 + (1 << 16);
            }
        }
        flush();
        state.base_end = nodes_[0].base_end;
        state.literal_run = nodes_[0].literal_run;
    }

private:
    std::int64_t literal16(std::int32_t) const { return costs_.literal16; }

    void relax(std::int32_t k, std::int64_t cost, std::int32_t literal_run, std::int32_t base_end, std::int32_t from,
               std::int32_t p) {
        Node& node = nodes_[static_cast<std::size_t>(k)];
        if (cost < node.cost) node = Node{cost, literal_run, base_end, from, p};
    }

    // Relaxes what leaves node k (Updated' position i0 + k); returns true, and
    // the run's Base' start in `taken_p`, when a run of kNice bytes starts here.
    bool visit(std::int32_t i0, std::int32_t k, std::int32_t w, std::int32_t& taken_p) {
        const Node node = nodes_[static_cast<std::size_t>(k)];
        const std::int32_t i = i0 + k;
        const std::int64_t lit = node.literal_run;
        relax(k + 1,
              node.cost + literal16(i) +
                  16 * (deep_count_bits(static_cast<std::uint64_t>(lit + 2)) -
                        deep_count_bits(static_cast<std::uint64_t>(lit + 1))),
              node.literal_run + 1, node.base_end, -1, 0);

        // Candidates: Base' after the last run (Updated' inserted bytes), the
        // last run's diagonal (it replaced bytes), the scan's stretch here,
        // and the longest exact match.
        const std::int64_t literal_code = deep_count_bits(static_cast<std::uint64_t>(lit + 1));
        Walked walked_here[kMaxCandidates];
        int walked_count = 0;
        std::int32_t longest_run = 0;
        // Walks the run from Base' p, relaxing the nodes it can end at;
        // true when it is long enough to be taken at once.
        auto consider = [&](std::int64_t p) {
            if (p < 0 || p >= n_ || base_[p] != updated_[i]) return false;
            const std::int64_t diagonal = p - i;
            for (int c = 0; c < walked_count; ++c)
                if (walked_here[c].diagonal == diagonal) return false;
            // A run on a diagonal walked from the node before, whose byte
            // there was equal, is that run less its first byte: not walked
            // again. Not at a chunk's first node: the run from the node before
            // could not relax the nodes past the chunk.
            if (k > 0 && walked_at_ == i - 1 && p > 0 && base_[p - 1] == updated_[i - 1]) {
                for (int c = 0; c < walked_count_; ++c) {
                    if (walked_[c].diagonal == diagonal) {
                        const std::int32_t length = walked_[c].length - 1;
                        walked_here[walked_count++] = Walked{diagonal, length};
                        longest_run = std::max(longest_run, length);
                        return false;
                    }
                }
            }
            // The literal-length code C(lit + 1) is already in the node's cost.
            std::int64_t head = 1 + costs_.position_bits;
            if (p >= node.base_end) {
                const std::int64_t relative = 1 + deep_rice_bits(costs_.rice, static_cast<std::uint64_t>(lit + 1)) -
                                              literal_code +
                                              deep_rice_bits(costs_.rice, static_cast<std::uint64_t>(p - node.base_end + 1));
                head = std::min(head, relative);
            }
            const std::int64_t start = node.cost + 16 * (head + deep_count_bits(1));
            const std::int32_t limit = static_cast<std::int32_t>(std::min<std::int64_t>({kNice, m_ - i, n_ - p}));
            const std::int32_t at = static_cast<std::int32_t>(p);
            const std::int32_t walked = walk(i, at, limit, [&](std::int32_t end, std::int64_t bits16) {
                if (end - i0 <= w) relax(end - i0, start + bits16, 0, at + (end - i), k, at);
            });
            walked_here[walked_count++] = Walked{diagonal, walked};
            longest_run = std::max(longest_run, walked);
            if (walked < kNice) return false;
            taken_p = at;
            return true;
        };
        if (consider(node.base_end) || consider(std::int64_t{node.base_end} + lit)) return true;
        while (segment_ < segments_.size() && segments_[segment_].q + segments_[segment_].length <= i) ++segment_;
        if (segment_ < segments_.size() && segments_[segment_].q <= i &&
            consider(std::int64_t{segments_[segment_].p} + (i - segments_[segment_].q)))
            return true;
        // The suffix array is asked only when no run at hand is long: its
        // lookups are the parse's costliest step. A long match goes on at the
        // next position on its diagonal, and the longest match there is
        // rarely elsewhere, so that lookup is spared too.
        if (longest_run < kLookupBelow) {
            if (match_at_ == i - 1 && match_length_ > kReuseMatch && match_p_ + 1 < n_) {
                ++match_p_;
                --match_length_;
            } else {
                match_rank_ = -1;
                match_length_ = index_.longest(updated_ + i, m_ - i, kNice, node.base_end, match_p_, &match_rank_);
            }
            match_at_ = i;
            if (match_length_ > 0 && consider(match_p_)) return true;
            // Its neighbours in suffix order share a shorter prefix, but one
            // may go on further with substitutions: the older copy of
            // changed code rather than some other place that happens to
            // agree longer.
            if (match_length_ > 0 && match_rank_ >= 0 && longest_run < kLookupBelow) {
                for (std::int32_t r = match_rank_ - kNeighbours; r <= match_rank_ + kNeighbours; ++r) {
                    if (r == match_rank_ || r < 0 || r >= index_.size()) continue;
                    if (consider(index_.suffix(r))) return true;
                    if (walked_count == kMaxCandidates) break;
                }
            }
        }
        std::copy(walked_here, walked_here + walked_count, walked_);
        walked_count_ = walked_count;
        walked_at_ = i;
        return false;
    }

    // Walks the run from Updated' q and Base' p over at most `limit` bytes,
    // calling at(end, bits16) after each equal byte with the run's cost if it
    // ended there (its count codes and substituted bytes). Returns the bytes
    // walked, `limit` when nothing stopped it before.
    template <class At>
    std::int32_t walk(std::int32_t q, std::int32_t p, std::int32_t limit, At&& at) const {
        std::int64_t fixed16 = 0;  // substitutions so far: their codes and bytes
        std::int64_t substitutions = 0, equal = 0, pending16 = 0;
        int pending = 0;
        for (std::int32_t j = 0; j < limit; ++j) {
            if (base_[p + j] == updated_[q + j]) {
                if (pending > 0) {
                    fixed16 += 16 * (deep_count_bits(static_cast<std::uint64_t>(equal)) + 1) + pending16;
                    ++substitutions;
                    equal = 0;
                    pending = 0;
                    pending16 = 0;
                    if (substitutions >= static_cast<std::int64_t>(kDeepMaxSubstitutions)) return j;
                }
                ++equal;
                at(q + j + 1, fixed16 + 16 * (deep_count_bits(static_cast<std::uint64_t>(substitutions + 1)) +
                                              deep_count_bits(static_cast<std::uint64_t>(equal))));
            } else {
                if (++pending == 3) return j;
                pending16 += literal16(q + j);
            }
        }
        return limit;
    }

    // How far the run from q and p is worth taking: the end after an equal
    // byte where the bits it saves, against literals, are most.
    std::int32_t extend(std::int32_t q, std::int32_t p) const {
        const std::int32_t limit = std::min(m_ - q, n_ - p);
        std::int64_t saved16 = 0, best16 = std::numeric_limits<std::int64_t>::min();
        std::int32_t best = 1;
        std::int64_t fixed16 = 0, substitutions = 0, equal = 0, pending16 = 0;
        int pending = 0;
        for (std::int32_t j = 0; j < limit; ++j) {
            if (base_[p + j] == updated_[q + j]) {
                if (pending > 0) {
                    fixed16 += 16 * (deep_count_bits(static_cast<std::uint64_t>(equal)) + 1) + pending16;
                    saved16 += pending16;
                    ++substitutions;
                    equal = 0;
                    pending = 0;
                    pending16 = 0;
                    if (substitutions >= static_cast<std::int64_t>(kDeepMaxSubstitutions)) break;
                }
                // Along equal bytes a literal saves more than the count code
                // of their run grows: the stretch's end is its best end.
                const std::int32_t run = deep_equal_prefix(base_ + p + j, updated_ + q + j, limit - j);
                equal += run;
                saved16 += literal16(q + j) * run;
                j += run - 1;
                const std::int64_t net = saved16 - fixed16 -
                                         16 * (deep_count_bits(static_cast<std::uint64_t>(substitutions + 1)) +
                                               deep_count_bits(static_cast<std::uint64_t>(equal)));
                if (net > best16) {
                    best16 = net;
                    best = j + 1;
                } else if (net < best16 - kGiveUp16) {
                    break;
                }
            } else {
                if (++pending == 3) break;
                pending16 += literal16(q + j);
            }
        }
        return best;
    }

    void emit_path(std::int32_t i0, std::int32_t end) {
        path_.clear();
        for (std::int32_t k = end; k > 0;) {
            const Node& node = nodes_[static_cast<std::size_t>(k)];
            if (node.from < 0) {
                --k;
                continue;
            }
            path_.push_back(DeepSegment{i0 + node.from, node.p, k - node.from});
            k = node.from;
        }
        for (auto it = path_.rbegin(); it != path_.rend(); ++it) put(it->q, it->p, it->length);
    }

    // Runs go out one behind, so that a run that goes on where the last one
    // stopped, on its diagonal, joins it.
    void put(std::int32_t q, std::int32_t p, std::int32_t length) {
        if (pending_.length > 0 && pending_.q + pending_.length == q && pending_.p + pending_.length == p) {
            pending_.length += length;
            return;
        }
        flush();
        pending_ = DeepSegment{q, p, length};
    }
    void flush() {
        if (pending_.length > 0) copy_(pending_.q, pending_.p, pending_.length);
        pending_.length = 0;
    }

    const SuffixIndex& index_;
    const std::uint8_t* base_;
    const std::int32_t n_;
    const std::uint8_t* updated_;
    const std::int32_t m_;
    const std::vector<DeepSegment>& segments_;
    const DeepCosts& costs_;
    const DeepCopy& copy_;
    std::vector<Node> nodes_;
    std::vector<DeepSegment> path_;
    std::size_t segment_ = 0;
    DeepSegment pending_{0, 0, 0};
    // The longest match found at `match_at_`, and the diagonals walked from
    // the node at `walked_at_`.
    std::int32_t match_at_ = -2, match_p_ = 0, match_length_ = 0, match_rank_ = -1;
    struct Walked {
        std::int64_t diagonal;  // Base' minus Updated' position
        std::int32_t length;    // bytes walked
    };
    std::int32_t walked_at_ = -2;
    Walked walked_[kMaxCandidates] = {};
    int walked_count_ = 0;
};

}  // namespace

void deep_parse(const SuffixIndex& index, const std::uint8_t* base, std::int32_t n, const std::uint8_t* updated,
                std::int32_t m, const std::vector<DeepSegment>& segments, const DeepCosts& costs,
                DeepParseState& state, const DeepCopy& copy, const std::function<void(std::int32_t)>& tick) {
    if (m <= 0) return;
    Parser parser(index, base, n, updated, m, segments, costs, copy);
    parser.run(state, tick);
}

}  // namespace quoralith
