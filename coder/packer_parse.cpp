// The thorough block packer's last candidate: a parse of the block that is
// cheapest under a price list for its fields and literal bytes, found by
// dynamic programming over the block's positions. The prices come from the
// best coding the searches found and then from the parse's own coding, since
// the code types and the literal table it is written with depend on it.
#include <algorithm>
#include <bit>
#include <cstring>

#include "coder/equal_bytes.h"
#include "coder/packer_block.h"

namespace quoralith::packer {

namespace {

// Prices are in sixteenths of a bit: a literal run's length code is shared
// out over its bytes, and those shares are fractions.
constexpr std::uint32_t kScale = 16;
constexpr std::uint32_t kUnreached = 0xFFFFFFFF;
constexpr std::uint16_t kLiteral = 0xFFFF;  // Step::w of a literal byte
// Chain entries looked at from each position, and the stretches kept of
// them. The parse tries every kept stretch at every position, so these
// bound its time on blocks of one repeated byte, where every chain entry
// matches.
constexpr int kChainSteps = 48;
constexpr int kMaxReaches = 4;
// How far a stretch found in the chains is walked back through
// substitutions, towards its true start.
constexpr std::size_t kBackWalk = 32;
// Segments of one stretch: its cost is summed up to the end of each. A
// longer stretch is cut, and the parse may go on along the same source with
// another match.
constexpr std::size_t kMaxSegments = 32;
// Segments walked from one position, over all its stretches: on data whose
// every source matches through a substitution every few bytes (small
// integers in wide fields, say) the walks would otherwise take time and
// memory in proportion to the block's length at each position.
constexpr std::size_t kPositionSegments = 32;
// The parse is run with the prices of the searches' best coding, then, for
// each further pass, with those of its own. Further passes take 0.05% off a
// deep delta of an executable and each costs several percent of its time.
constexpr int kParsePasses = 1;


std::uint32_t scaled(int type, std::uint32_t v) { return code_cost(type, v) * kScale; }

// A field's price as a start and a share per unit of the value it codes, so
// that the parse can add it up item by item: the start is the price of the
// value 1 and the share the mean rise above it over the values coded.
void fit_prices(int type, std::uint64_t count, std::uint64_t sum, std::uint64_t cost, std::uint32_t& start,
                std::uint32_t& each) {
    const std::uint64_t first = code_cost(type, 1);
    each = 0;
    if (sum > count && cost > count * first)
        each = static_cast<std::uint32_t>((cost - count * first) * kScale / (sum - count));
    const std::uint64_t whole = first * kScale;
    start = whole > each ? static_cast<std::uint32_t>(whole - each) : 0;
}

}  // namespace

void BlockPacker::price_parse(Prices& prices) const {
    int type[F_COUNT];
    std::uint64_t flags = 0;
    choose_types(type, flags);
    prices.type_offset = type[F_OFFSET];
    prices.type_subs = type[F_SUBS];
    prices.type_equal = type[F_EQUAL];

    const LiteralTable table = choose_literal_table(literals_.data(), literals_.size());
    if (table.m == 0) {
        prices.literal.fill(8 * kScale);
    } else {
        const std::uint32_t c = table.m <= 2 ? 1 : static_cast<std::uint32_t>(std::bit_width(static_cast<unsigned>(table.m - 1)));
        for (int b = 0; b < 256; ++b) prices.literal[b] = (table.code[b] < table.m ? c + 1 : 9) * kScale;
    }

    std::uint64_t runs = 0, run_bytes = 0, run_cost = 0;
    std::uint64_t groups = 0, group_matches = 0, group_cost = 0;
    std::uint32_t in_group = 0;
    for (const Item& item : items_) {
        if (item.is_match) {
            ++in_group;
            continue;
        }
        if (in_group > 0) {
            ++groups;
            group_matches += in_group;
            group_cost += code_cost(type[F_MATCHES], in_group);
            in_group = 0;
        }
        ++runs;
        run_bytes += item.value;
        run_cost += code_cost(type[F_LITERAL], item.value);
    }
    fit_prices(type[F_LITERAL], runs, run_bytes, run_cost, prices.run_start, prices.run_byte);
    fit_prices(type[F_MATCHES], groups, group_matches, group_cost, prices.group_start, prices.group_match);
    // A group's first match pays the whole price of a count of 1.
    prices.group_start += prices.group_match;
}

std::size_t BlockPacker::walk_stretch(const std::uint8_t* s, std::size_t i, std::size_t w, std::size_t limit,
                                      std::size_t most) {
    const std::size_t mark = segments_.size();
    std::size_t k = 0;
    for (;;) {
        const std::size_t e = k + static_cast<std::size_t>(equal_prefix(s + i + k, s + w + k, static_cast<std::int64_t>(limit - k)));
        Segment segment{static_cast<std::uint16_t>(e - k), 0};
        // One substituted byte needs an equal byte after it, two need one
        // after both; a third unequal byte ends the stretch.
        const bool room = segments_.size() - mark + 1 < most;
        if (room && e + 2 <= limit && s[i + e + 1] == s[w + e + 1]) {
            segments_.push_back(segment);
            k = e + 1;
            continue;
        }
        if (room && e + 3 <= limit && s[i + e + 2] == s[w + e + 2]) {
            segment.two = 1;
            segments_.push_back(segment);
            k = e + 2;
            continue;
        }
        segments_.push_back(segment);
        return i + e;
    }
}

void BlockPacker::collect_reaches(const std::uint8_t* s, std::size_t n) {
    found_.clear();
    segments_.clear();
    auto keep = [&](std::size_t start, std::size_t w, std::size_t mark) {
        found_.push_back({static_cast<std::uint16_t>(start), static_cast<std::uint16_t>(w),
                          static_cast<std::uint32_t>(mark), static_cast<std::uint16_t>(segments_.size() - mark)});
    };
    for (std::size_t i = 0; i + 6 <= n; ++i) {
        // A stretch found in the chains starts with three equal bytes and
        // its source after it.
        std::size_t best_end = 0, best_first = 0;
        int steps = 0, kept = 0;
        std::size_t left = kPositionSegments;
        for (std::uint16_t v = next_[i + 1]; v != kNone && kept < kMaxReaches && left > 0; v = next_[v]) {
            if (++steps > kChainSteps) break;
            const std::size_t w = std::size_t{v} - 1;
            if (w + 3 > n) break;
            if (w < i + 3 || s[w] != s[i] || s[w + 1] != s[i + 1] || s[w + 2] != s[i + 2]) continue;
            // The earlier stretch ends before the later one starts, and the
            // later one ends with the block.
            const std::size_t mark = segments_.size();
            const std::size_t end = walk_stretch(s, i, w, std::min(w - i, n - w), std::min(kMaxSegments, left));
            const std::size_t first = segments_[mark].equal;
            // A later source must reach further, or match exactly for longer,
            // than the nearer ones to be worth its dearer offsets.
            left -= segments_.size() - mark;
            if (end <= best_end && first <= best_first) {
                segments_.resize(mark);
                continue;
            }
            best_end = std::max(best_end, end);
            best_first = std::max(best_first, first);
            keep(i, w, mark);
            ++kept;
            // Bytes before the three equal ones may belong to the stretch
            // too, through substitutions, where no chain finds them: walk
            // back to the earliest equal byte before which no run of three
            // equal bytes (found from the chains itself) or of three unequal
            // bytes lies. The stretch must still end before its source.
            if (i == 0 || s[i - 1] == s[w - 1] || left == 0) continue;
            const std::size_t most = std::min<std::size_t>({i, w - i - 3, kBackWalk});
            std::size_t start = i, unequal = 0, equal = 0;
            for (std::size_t d = 1; d <= most; ++d) {
                if (s[i - d] == s[w - d]) {
                    if (++equal == 3) break;
                    unequal = 0;
                    start = i - d;
                } else {
                    if (++unequal == 3) break;
                    equal = 0;
                }
            }
            if (start == i) continue;
            const std::size_t back = i - start;
            const std::size_t from = segments_.size();
            walk_stretch(s, start, w - back, std::min(w - i, n - w + back), std::min(kMaxSegments, left));
            keep(start, w - back, from);
            left -= segments_.size() - from;
        }
    }
    // The parse visits the stretches by their start.
    // Sorted in place by their start, those of one start in the order they
    // were found (their segments were appended in that order): a second list
    // of them, or the buffer of a stable sort, would double the memory.
    std::sort(found_.begin(), found_.end(), [](const Reach& a, const Reach& b) {
        return a.start != b.start ? a.start < b.start : a.first < b.first;
    });
    reach_begin_.assign(n + 2, 0);
    for (const Reach& reach : found_) ++reach_begin_[reach.start + 1];
    for (std::size_t i = 1; i < n + 2; ++i) reach_begin_[i] += reach_begin_[i - 1];
}

bool BlockPacker::parse_cheapest(const std::uint8_t* s, std::size_t n, const Prices& prices) {
    offset_price_.resize(n + 1);
    equal_price_.resize(n + 1);
    for (std::size_t v = 1; v <= n; ++v) {
        offset_price_[v] = scaled(prices.type_offset, static_cast<std::uint32_t>(v));
        equal_price_[v] = scaled(prices.type_equal, static_cast<std::uint32_t>(v));
    }
    subs_price_.resize(kMaxSegments + 1);
    for (std::size_t v = 1; v <= kMaxSegments; ++v) subs_price_[v] = scaled(prices.type_subs, static_cast<std::uint32_t>(v));

    // The cheapest way to code the block up to each position, once ending
    // in a literal byte and once in a match: a literal run and a group of
    // matches are priced as they start and grow, so the two endings differ.
    const Step unreached{kUnreached, 0, kLiteral, false};
    literal_steps_.assign(n + 1, unreached);
    match_steps_.assign(n + 1, unreached);
    for (std::size_t i = 0; i < n; ++i) {
        // The block's start behaves as the end of a match for a literal run
        // (which starts there) and as the end of a literal run for a match
        // (which starts a group).
        const std::uint32_t after_literal = i == 0 ? 0 : literal_steps_[i].cost;
        const std::uint32_t after_match = i == 0 ? 0 : match_steps_[i].cost;

        const std::uint32_t byte = prices.literal[s[i]] + prices.run_byte;
        Step& lit = literal_steps_[i + 1];
        if (i > 0 && after_literal != kUnreached && after_literal + byte < lit.cost)
            lit = {after_literal + byte, static_cast<std::uint16_t>(i), kLiteral, false};
        if (after_match != kUnreached && after_match + prices.run_start + byte < lit.cost)
            lit = {after_match + prices.run_start + byte, static_cast<std::uint16_t>(i), kLiteral, true};

        const std::uint32_t first = reach_begin_[i], last = reach_begin_[i + 1];
        if (first == last) continue;
        std::uint32_t base = kUnreached;
        bool grouped = false;
        if (after_literal != kUnreached) base = after_literal + prices.group_start;
        if (i > 0 && after_match != kUnreached && after_match + prices.group_match < base) {
            base = after_match + prices.group_match;
            grouped = true;
        }
        if (base == kUnreached) continue;
        for (std::uint32_t r = first; r < last; ++r) {
            const Reach& reach = found_[r];
            std::size_t pos = i;
            std::uint32_t sum = base;
            for (std::uint32_t k = 0; k < reach.count; ++k) {
                const Segment& segment = segments_[reach.first + k];
                pos += segment.equal;
                // The stretch may end after any equal run; the nearer its
                // end to the source, the cheaper the offset.
                const std::uint32_t cost =
                    sum + equal_price_[segment.equal] + subs_price_[k + 1] + offset_price_[reach.w - pos + 1];
                Step& step = match_steps_[pos];
                if (cost < step.cost)
                    step = {cost, static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(reach.w), grouped};
                if (k + 1 == reach.count) break;
                sum += equal_price_[segment.equal] + kScale + prices.literal[s[pos]];
                if (segment.two) sum += prices.literal[s[pos + 1]];
                pos += 1 + segment.two;
            }
        }
    }
    if (literal_steps_[n].cost == kUnreached) return false;

    picks_.clear();
    bool in_match = false;
    for (std::size_t j = n; j > 0;) {
        const Step& step = in_match ? match_steps_[j] : literal_steps_[j];
        if (in_match)
            picks_.push_back({step.from, step.w, static_cast<std::uint32_t>(j - step.from)});
        j = step.from;
        in_match = step.after_match;
    }
    if (picks_.empty()) return false;

    items_.clear();
    matches_.clear();
    subs_.clear();
    literals_.clear();
    std::size_t last_end = 0;
    for (std::size_t k = picks_.size(); k-- > 0;)
        record_match(s, picks_[k].earlier, picks_[k].later, picks_[k].length, last_end);
    items_.push_back({false, static_cast<std::uint32_t>(n - last_end)});
    literals_.insert(literals_.end(), s + last_end, s + n);
    return true;
}

void BlockPacker::pack_parsed(std::size_t len, std::size_t& best, Prices& prices) {
    const std::uint8_t* s = searched_;
    const std::size_t n = searched_n_;
    collect_reaches(s, n);
    for (int pass = 0; pass < kParsePasses; ++pass) {
        if (!parse_cheapest(s, n, prices)) return;
        const std::size_t coded = write_block(len, n, searched_prepassed_);
        if (coded == 0) return;
        if (coded < best) {
            best = coded;
            best_out_.swap(out_);
        }
        if (pass + 1 < kParsePasses) price_parse(prices);
    }
}

}  // namespace quoralith::packer
