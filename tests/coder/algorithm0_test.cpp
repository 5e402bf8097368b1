// The algorithm 0 encoder: deltas made here are restored byte for byte, and
// their records are read back to check where the encoder put chunks, slices,
// matches and literals.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cstdio>
#include <cstring>
#include <memory>
#include <random>

#include "coder/algorithm0.h"
#include "coder/coder.h"
#include "coder/runlength.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;

using test::File;
using test::file_contents;
using test::memory_file;

struct Made {
    int result;
    Bytes delta;
};

Made make(const Bytes& base, const Bytes& updated, const Algorithm0Limits& limits = {},
          const ProgressCallback& callback = {}) {
    File b = memory_file(base), u = memory_file(updated), d(std::tmpfile());
    StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
    TrailerRecord trailer;
    trailer.set_check_length(256);
    Made m;
    m.result = coder_create_algorithm0(&bw, &uw, &dw, callback, trailer, limits);
    m.delta = file_contents(d.get());
    return m;
}

// Makes the delta and restores it; returns the delta.
Bytes round_trip(const Bytes& base, const Bytes& updated, const Algorithm0Limits& limits = {}) {
    Made m = make(base, updated, limits);
    EXPECT_EQ(m.result, static_cast<int>(m.delta.size()));
    File b = memory_file(base), d = memory_file(m.delta), o(std::tmpfile());
    StreamWindow bw{b.get()}, dw{d.get()}, ow{o.get(), 0, 0};
    TrailerRecord trailer;
    int n = coder_restore(&bw, &dw, &ow, {}, &trailer);
    EXPECT_EQ(n, static_cast<int>(updated.size()));
    EXPECT_TRUE(file_contents(o.get()) == updated) << "restored bytes differ";
    return m.delta;
}

Bytes slice(const Bytes& b, std::size_t from, std::size_t count) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + count));
}
void append(Bytes& to, const Bytes& more) { to.insert(to.end(), more.begin(), more.end()); }

// ---------------------------------------------------------------------------
// Reading a delta's records back

class BitReader {
public:
    explicit BitReader(const Bytes& bytes) : bytes_(bytes) {}
    std::uint32_t bits(int n) {
        std::uint32_t v = 0;
        for (int i = 0; i < n; ++i) {
            const std::size_t byte = static_cast<std::size_t>(at_ >> 3);
            const int bit = byte < bytes_.size() ? (bytes_[byte] >> (7 - (at_ & 7))) & 1 : 0;
            v = v << 1 | static_cast<std::uint32_t>(bit);
            ++at_;
        }
        return v;
    }
    std::int64_t count() {
        int j = 0;
        while (bits(1) == 1) ++j;
        const int k = j + 1;
        return static_cast<std::int64_t>(bits(k)) + (std::int64_t{1} << k) - 1;
    }
    std::int64_t rice(int k) {
        if (k == 0) return count();
        std::int64_t q = 0;
        while (bits(1) == 1) ++q;
        return (q << k) + bits(k) + 1;
    }
    std::int64_t position() const { return at_; }

private:
    const Bytes& bytes_;
    std::int64_t at_ = 0;
};

struct Record {
    std::int64_t chunk = 0;
    std::int64_t literal = 0;
    bool match = false;
    int code = 0;
    std::int64_t offset = 0;  // within the chunk
    std::vector<std::int64_t> runs;
    std::vector<int> substituted;  // bytes at each substitution point
    std::int64_t end = 0;          // Updated' position after the record
};

struct Parsed {
    std::uint8_t method = 0;
    std::int64_t u = 0;
    std::int64_t window = 0;
    std::int64_t control_length = 0;
    std::int64_t control_bits = 0;
    std::vector<Record> records;
};

// Base' or Updated': the run-length form when it is not longer.
Bytes transformed(const Bytes& data) {
    if (data.size() < 36) return data;
    File in = memory_file(data);
    TempFile out;
    EXPECT_TRUE(out.open());
    Channel ic = Channel::of_file(in.get()), oc = out.channel();
    const std::int64_t n = runlength_encode(ic, static_cast<std::int64_t>(data.size()), 36, oc);
    if (n < 0 || n > static_cast<std::int64_t>(data.size())) return data;
    Bytes form(static_cast<std::size_t>(n));
    EXPECT_EQ(oc.read_at(0, form.data(), n), n);
    return form;
}

std::int64_t transformed_length(const Bytes& data) { return static_cast<std::int64_t>(transformed(data).size()); }

Parsed parse(const Bytes& base, const Bytes& delta) {
    Parsed p;
    const std::size_t body = delta.size() - kTrailerSize - kCheckLong;
    p.method = delta[body - 1];
    if (!(p.method & MB_MATCHED)) return p;
    const std::uint8_t* h = delta.data() + body - 12;
    p.u = get_be32(h);
    p.window = static_cast<std::int64_t>(h[4]) << 16 | h[5] << 8 | h[6];
    p.control_length = get_be32(h + 7);
    const Bytes control(delta.begin(), delta.begin() + p.control_length);
    const std::int64_t n = (p.method & MB_BASE_RLE) ? transformed_length(base) : static_cast<std::int64_t>(base.size());
    const ChunkGeometry g(n, p.window, p.u);
    const int position_bits = bit_length_min1(static_cast<std::uint64_t>(p.window - 1));
    BitReader r(control);
    std::int64_t o = 0, c = 0;
    while (o < p.u) {
        const std::int64_t end = g.slice_end(c);
        while (o < end) {
            Record rec;
            rec.chunk = c;
            rec.literal = r.count() - 1;
            o += rec.literal;
            if (o < end) {
                rec.match = true;
                rec.code = static_cast<int>(r.bits(3));
                rec.offset = r.bits(position_bits);
                const std::int64_t s = r.count() - 1;
                for (std::int64_t i = 0; i <= s; ++i) {
                    rec.runs.push_back(r.rice(rec.code));
                    o += rec.runs.back();
                    if (i < s) {
                        rec.substituted.push_back(static_cast<int>(r.bits(1)) + 1);
                        o += rec.substituted.back();
                    }
                }
            }
            rec.end = o;
            p.records.push_back(rec);
            if (!rec.match) break;
        }
        while (!g.is_last(c) && o >= g.boundary(c)) ++c;
    }
    p.control_bits = r.position();
    return p;
}

// ---------------------------------------------------------------------------
// Chunks and slices

TEST(Algorithm0Geometry, ChunksOverlapByAQuarterAndTheLastTakesTheRest) {
    const ChunkGeometry one(1500000, 1500000, 1000);
    EXPECT_EQ(one.count, 1);
    EXPECT_EQ(one.slice_end(0), 1000);

    const ChunkGeometry two(1500001, 1500000, 1000);
    EXPECT_EQ(two.step, 1125000);
    EXPECT_EQ(two.count, 2);
    EXPECT_EQ(two.length(1), 375001);
    EXPECT_EQ(two.slice_end(0), 500);
    EXPECT_EQ(two.slice_end(1), 1000);

    // 2 x 0x40000000 wraps to a negative 32-bit product; the last chunk still
    // ends at U and is never passed.
    const ChunkGeometry wrap(1500001, 1500000, 0x40000000);
    EXPECT_LT(wrap.boundary(1), 0);
    EXPECT_TRUE(wrap.is_last(1));
    EXPECT_EQ(wrap.slice_end(1), 0x40000000);
}

TEST(Algorithm0Geometry, WindowShrinksByQuartersUnderAMemoryCeiling) {
    Algorithm0Limits limits;
    EXPECT_EQ(algorithm0_window(5000000, 5000000, limits), 1500000);
    EXPECT_EQ(algorithm0_window(150, 5000, limits), 200);
    EXPECT_EQ(algorithm0_window(1000, 5000, limits), 1000);
    // Updated of 100000 bytes: buffers 65532 + 20000 + 40000 beside the window.
    limits.memory_limit = 125532 + 1125000 * 4 + 2;
    EXPECT_EQ(algorithm0_window(1500000, 100000, limits), 1125000);
    limits.memory_limit = 125532 + 1125000 * 4 + 1;
    EXPECT_EQ(algorithm0_window(1500000, 100000, limits), 843750);
    // Below 0x10000 bytes the index takes 2 bytes an entry.
    limits.memory_limit = 125532 + 60000 * 3 + 2;
    EXPECT_EQ(algorithm0_window(80000, 100000, limits), 60000);
    limits.memory_limit = 1000;
    EXPECT_EQ(algorithm0_window(80000, 100000, limits), ERR_NO_MEMORY);
}

TEST(Algorithm0, BaseUpToTheWindowIsOneChunkAndOneByteMoreMakesTwo) {
    const Bytes base = test::random_bytes(1500001, 11);
    // Updated: the Base's start and end with edits, so both chunks have work.
    Bytes updated = slice(base, 0, 300000);
    append(updated, test::random_bytes(1000, 12));
    append(updated, slice(base, 1300000, 200001));
    updated[150000] ^= 0x55;

    const Bytes one_base = slice(base, 0, 1500000);
    Bytes delta = round_trip(one_base, updated);
    Parsed p = parse(one_base, delta);
    ASSERT_TRUE(p.method & MB_MATCHED);
    EXPECT_EQ(p.window, 1500000);
    for (const Record& r : p.records) EXPECT_EQ(r.chunk, 0);

    delta = round_trip(base, updated);
    p = parse(base, delta);
    ASSERT_TRUE(p.method & MB_MATCHED);
    EXPECT_EQ(p.window, 1500000);
    ASSERT_FALSE(p.records.empty());
    EXPECT_EQ(p.records.back().chunk, 1);
    // The second chunk starts at 1125000: the Base's tail is found there.
    bool tail_found = false;
    for (const Record& r : p.records)
        if (r.chunk == 1 && r.match && r.offset == 1300000 - 1125000) tail_found = true;
    EXPECT_TRUE(tail_found);
    EXPECT_LT(delta.size(), 2000u);
}

TEST(Algorithm0, SlicesOfFiveBytesOrLessAreNeverMatched) {
    // Window 200 over 6000 bytes: step 150, K = 40.
    const Bytes base = test::random_bytes(6000, 21);
    Algorithm0Limits limits;
    limits.max_window = 200;
    Bytes updated = slice(base, 0, 200);  // U div K = 5
    Bytes delta = round_trip(base, updated, limits);
    EXPECT_FALSE(parse(base, delta).method & MB_MATCHED);
    updated = slice(base, 0, 240);  // U div K = 6
    delta = round_trip(base, updated, limits);
    EXPECT_TRUE(parse(base, delta).method & MB_MATCHED);
}

TEST(Algorithm0, EverySliceOfASmallWindowClosesWithLiterals) {
    // Window 300 over 1200 bytes: step 225, K = 5, slices of 160 bytes. Each
    // slice holds 110 Base bytes of its chunk and then 50 bytes found nowhere.
    const Bytes base = test::random_bytes(1200, 31);
    Algorithm0Limits limits;
    limits.max_window = 300;
    Bytes updated;
    for (int c = 0; c < 5; ++c) {
        append(updated, slice(base, static_cast<std::size_t>(c * 225 + 20), 110));
        append(updated, test::random_bytes(50, static_cast<std::uint32_t>(40 + c)));
    }
    const Bytes delta = round_trip(base, updated, limits);
    const Parsed p = parse(base, delta);
    ASSERT_TRUE(p.method & MB_MATCHED);
    EXPECT_EQ(p.window, 300);
    ASSERT_EQ(p.records.size(), 10u);
    for (int c = 0; c < 5; ++c) {
        const Record& m = p.records[static_cast<std::size_t>(2 * c)];
        const Record& tail = p.records[static_cast<std::size_t>(2 * c + 1)];
        EXPECT_EQ(m.chunk, c);
        EXPECT_TRUE(m.match);
        EXPECT_EQ(m.offset, 20);
        EXPECT_EQ(m.literal, 0);
        EXPECT_EQ(tail.chunk, c);
        EXPECT_FALSE(tail.match);
        EXPECT_EQ(tail.literal, 50);
        EXPECT_EQ(tail.end, (c + 1) * 160);
    }
}

// ---------------------------------------------------------------------------
// Records

TEST(Algorithm0, AShortGapBeforeALongMatchStaysLiteralALongerOneIsSearched) {
    const Bytes base = test::random_bytes(3000, 51);
    // Four unmatched bytes, then Base from 1000.
    Bytes updated = {0xA1, 0xA2, 0xA3, 0xA4};
    append(updated, slice(base, 1000, 400));
    Parsed p = parse(base, round_trip(base, updated));
    ASSERT_TRUE(p.method & MB_MATCHED);
    ASSERT_EQ(p.records.size(), 1u);
    EXPECT_EQ(p.records[0].literal, 4);
    EXPECT_EQ(p.records[0].offset, 1000);

    // Five gap bytes that occur elsewhere in Base become a short match of their own.
    updated = slice(base, 2000, 5);
    append(updated, slice(base, 1000, 400));
    p = parse(base, round_trip(base, updated));
    ASSERT_TRUE(p.method & MB_MATCHED);
    ASSERT_EQ(p.records.size(), 2u);
    EXPECT_EQ(p.records[0].literal, 0);
    EXPECT_EQ(p.records[0].offset, 2000);
    EXPECT_EQ(p.records[0].runs, std::vector<std::int64_t>{5});
    EXPECT_EQ(p.records[1].literal, 0);
    EXPECT_EQ(p.records[1].offset, 1000);
}

TEST(Algorithm0, SubstitutionsOfOneAndTwoBytesStayInOneMatchThreeEndIt) {
    const Bytes base = test::random_bytes(2000, 61);
    Bytes updated = slice(base, 100, 600);
    updated[100] ^= 1;  // one byte
    updated[200] ^= 1;  // two bytes
    updated[201] ^= 1;
    updated[400] ^= 1;  // three bytes: the match ends here
    updated[401] ^= 1;
    updated[402] ^= 1;
    const Parsed p = parse(base, round_trip(base, updated));
    ASSERT_TRUE(p.method & MB_MATCHED);
    ASSERT_GE(p.records.size(), 2u);
    const Record& first = p.records[0];
    EXPECT_EQ(first.offset, 100);
    EXPECT_EQ(first.runs, (std::vector<std::int64_t>{100, 99, 198}));
    EXPECT_EQ(first.substituted, (std::vector<int>{1, 2}));
    EXPECT_EQ(first.end, 400);
    // The next long match is looked up from 400 on; its backward extension may
    // take no more than the three changed bytes.
    const Record& second = p.records[1];
    EXPECT_TRUE(second.match);
    EXPECT_EQ(second.literal, 3);
    EXPECT_EQ(second.offset, 503);
    EXPECT_EQ(second.end, 600);
}

TEST(Algorithm0, EachRecordTakesTheCodeThatIsShortestForItsRuns) {
    const Bytes base = test::random_bytes(4000, 71);
    // A match of one run of 1000: the count code costs 18 bits, R_1 501, R_5 37.
    Bytes updated = slice(base, 500, 1000);
    Parsed p = parse(base, round_trip(base, updated));
    ASSERT_EQ(p.records.size(), 1u);
    EXPECT_EQ(p.records[0].code, 0);
    // Five runs of 40: count code 50 bits, R_1 105, R_2 60, R_3 40, R_4 35 and
    // R_5 35: the lower of two equal codes is taken.
    updated = slice(base, 500, 204);
    for (int at : {40, 81, 122, 163}) updated[static_cast<std::size_t>(at)] ^= 0xFF;
    p = parse(base, round_trip(base, updated));
    ASSERT_EQ(p.records.size(), 1u);
    EXPECT_EQ(p.records[0].runs, (std::vector<std::int64_t>{40, 40, 40, 40, 40}));
    EXPECT_EQ(p.records[0].code, 4);
}

// The independent vector uses every code type on purpose; everything else about
// its records is what this encoder chooses for the same files.
TEST(Algorithm0, FindsTheSameRecordsAsTheIndependentVector) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    const std::string name = "alg0_single_chunk_types";
    const Bytes base = test::read_file(test::vector_path(name, "base.bin"));
    const Bytes updated = test::read_file(test::vector_path(name, "updated.bin"));
    const Bytes theirs = test::read_file(test::vector_path(name, "delta.bin"));
    ASSERT_FALSE(theirs.empty()) << "missing vector " << name;
    const Parsed expected = parse(base, theirs);
    const Parsed got = parse(base, round_trip(base, updated));
    ASSERT_TRUE(got.method & MB_MATCHED);
    EXPECT_EQ(got.u, expected.u);
    EXPECT_EQ(got.window, expected.window);
    ASSERT_EQ(got.records.size(), expected.records.size());
    for (std::size_t i = 0; i < got.records.size(); ++i) {
        SCOPED_TRACE(i);
        const Record& a = got.records[i];
        const Record& b = expected.records[i];
        EXPECT_EQ(a.literal, b.literal);
        EXPECT_EQ(a.match, b.match);
        EXPECT_EQ(a.offset, b.offset);
        EXPECT_EQ(a.runs, b.runs);
        EXPECT_EQ(a.substituted, b.substituted);
    }
}

// The size test: literal bytes + control bytes + 11 must stay below U.
// Updated: 200 bytes found nowhere, then 16 bytes of Base (one short match).
// Control: C(201) 14 bits, code 3 bits, offset B0 bits, C(1) 2 bits, E = 16 in
// R_3 5 bits: 24 + B0 bits.
TEST(Algorithm0, MatchCodingIsAbandonedWhenItDoesNotCutTheSize) {
    auto build = [](std::size_t base_length) {
        const Bytes base = test::random_bytes(base_length, 81);
        Bytes updated = test::random_bytes(200, 82);
        const std::size_t from = 100;
        for (int i = 1; i <= 3; ++i) updated[200 - static_cast<std::size_t>(i)] = base[from - static_cast<std::size_t>(i)] ^ 0xFF;
        append(updated, slice(base, from, 16));
        return std::make_pair(base, updated);
    };
    // B0 = 8: 32 control bits, 4 bytes: 200 + 4 + 11 = 215 < 216.
    auto [base, updated] = build(256);
    Bytes delta = round_trip(base, updated);
    Parsed p = parse(base, delta);
    ASSERT_TRUE(p.method & MB_MATCHED);
    EXPECT_EQ(p.control_bits, 32);
    EXPECT_EQ(p.control_length, 4);
    ASSERT_EQ(p.records.size(), 1u);
    EXPECT_EQ(p.records[0].literal, 200);

    // B0 = 11: 35 control bits, 5 bytes: 216 is not below U.
    std::tie(base, updated) = build(1500);
    delta = round_trip(base, updated);
    p = parse(base, delta);
    EXPECT_FALSE(p.method & MB_MATCHED);
    // A stored or packed delta: payload, method byte, check block, trailer.
    EXPECT_LE(delta.size(), 216u + 1 + kCheckLong + kTrailerSize);
}

// ---------------------------------------------------------------------------
// A plain model of the search: a stably sorted index, byte-by-byte extension,
// every candidate scored. The encoder's shortcuts must find the same records.

struct PlainModel {
    const Bytes& base;  // Base'
    const Bytes& upd;   // Updated'
    ChunkGeometry g;
    std::vector<Record> records;
    std::int64_t literal_bytes = 0;
    std::int64_t control_bits = 0;
    const std::uint8_t* chunk = nullptr;
    std::int64_t chunk_length = 0;
    std::vector<std::int64_t> index;

    PlainModel(const Bytes& b, const Bytes& u, std::int64_t window)
        : base(b), upd(u), g(static_cast<std::int64_t>(b.size()), window, static_cast<std::int64_t>(u.size())) {}

    struct Found {
        bool found = false;
        std::int64_t m0 = 0, m1 = 0, u = 0, points = 0, score = 0;
    };
    // Extension from chunk offset o and Updated' position x in direction d.
    std::array<std::int64_t, 3> extend(std::int64_t o, std::int64_t x, std::int64_t limit, int d) const {
        std::int64_t i = 0, points = 0, mismatched = 0;
        int pending = 0;
        for (; i < limit; ++i) {
            const bool equal = d > 0 ? chunk[o + i] == upd[static_cast<std::size_t>(x + i)]
                                     : chunk[o - 1 - i] == upd[static_cast<std::size_t>(x - 1 - i)];
            if (equal && pending) {
                ++points;
                mismatched += pending;
                pending = 0;
            } else if (!equal && ++pending == 3) {
                ++i;
                break;
            }
        }
        return {i - pending, points, mismatched};
    }
    Found lookup(std::int64_t n, std::int64_t r, std::int64_t e, std::int64_t step, std::int64_t z) const {
        Found best;
        for (std::int64_t x = r; x <= e - n; x += step) {
            const std::uint8_t* key = upd.data() + x;
            auto it = std::lower_bound(index.begin(), index.end(), key, [&](std::int64_t o, const std::uint8_t* k) {
                return std::memcmp(chunk + o, k, static_cast<std::size_t>(n)) < 0;
            });
            if (it == index.end() || std::memcmp(chunk + *it, key, static_cast<std::size_t>(n)) != 0) continue;
            for (; it != index.end() && std::memcmp(chunk + *it, key, static_cast<std::size_t>(n)) == 0; ++it) {
                const std::int64_t o = *it;
                const auto back = extend(o, x, std::min(o, x - r), -1);
                const auto ahead = extend(o + n, x + n, std::min(chunk_length - o - n, z - x - n), 1);
                const std::int64_t score = back[0] + n + ahead[0] - back[2] - ahead[2];
                const std::int64_t points = back[1] + ahead[1];
                if (!best.found || score > best.score || (score == best.score && points < best.points)) {
                    best = {true, x - back[0], x + n + ahead[0], o - back[0], points, score};
                    if (score > 99) break;
                }
            }
            return best;
        }
        return best;
    }
    static std::int64_t count_bits(std::int64_t v) { return 2 * (std::bit_width(static_cast<std::uint64_t>(v + 1)) - 1); }
    void record(std::int64_t c, std::int64_t r, std::int64_t m0, const Found* m) {
        Record rec;
        rec.chunk = c;
        rec.literal = m0 - r;
        literal_bytes += rec.literal;
        control_bits += count_bits(rec.literal + 1);
        rec.end = m0;
        if (m) {
            rec.match = true;
            rec.offset = m->u;
            std::int64_t equal = 0;
            for (std::int64_t i = 0; i < m->m1 - m->m0;) {
                if (chunk[m->u + i] == upd[static_cast<std::size_t>(m->m0 + i)]) {
                    ++equal;
                    ++i;
                    continue;
                }
                const int t = chunk[m->u + i + 1] != upd[static_cast<std::size_t>(m->m0 + i + 1)] ? 2 : 1;
                rec.runs.push_back(equal);
                rec.substituted.push_back(t);
                literal_bytes += t;
                equal = 0;
                i += t;
            }
            rec.runs.push_back(equal);
            std::int64_t cost[6] = {};
            for (std::int64_t e : rec.runs) {
                cost[0] += count_bits(e);
                for (int k = 1; k <= 5; ++k) cost[k] += ((e - 1) >> k) + 1 + k;
            }
            rec.code = static_cast<int>(std::min_element(cost, cost + 6) - cost);
            control_bits += 3 + bit_length_min1(static_cast<std::uint64_t>(g.window - 1)) +
                            count_bits(static_cast<std::int64_t>(rec.substituted.size()) + 1) +
                            static_cast<std::int64_t>(rec.substituted.size()) + cost[rec.code];
            rec.end = m->m1;
        }
        records.push_back(rec);
    }
    std::int64_t estimate() const { return literal_bytes + (control_bits + 7) / 8 + 11; }

    // Returns false when match coding is abandoned.
    bool run() {
        const std::int64_t u = g.u;
        std::int64_t r = 0, c = 0;
        for (;;) {
            chunk = base.data() + g.start(c);
            chunk_length = g.length(c);
            index.clear();
            for (std::int64_t o = 0; o + 20 <= chunk_length; ++o) index.push_back(o);
            std::stable_sort(index.begin(), index.end(),
                             [&](std::int64_t a, std::int64_t b) { return std::memcmp(chunk + a, chunk + b, 20) < 0; });
            const std::int64_t e = g.slice_end(c);
            while (e - r >= 20) {
                const Found m = lookup(20, r, e, 10, u);
                if (!m.found) break;
                if (m.m0 - r > 4) {
                    for (Found s = lookup(5, r, m.m0, 1, m.m0); s.found; s = lookup(5, r, m.m0, 1, m.m0)) {
                        record(c, r, s.m0, &s);
                        r = s.m1;
                    }
                    record(c, r, m.m0, &m);
                    if (estimate() >= u) return false;
                } else {
                    record(c, r, m.m0, &m);
                }
                r = m.m1;
            }
            while (r < e) {
                const Found s = lookup(5, r, e, 1, u);
                record(c, r, s.found ? s.m0 : e, s.found ? &s : nullptr);
                r = s.found ? s.m1 : e;
            }
            if (r >= u) break;
            while (!g.is_last(c) && r >= g.boundary(c)) ++c;
        }
        return estimate() < u;
    }
};

// Encodes the pair and checks every record against the exhaustive plain
// model: same chunks, literals, matches, code types and control bits. `matched`
// tells whether the pair was match-coded at all (and so compared).
void compare_with_plain_model(const Bytes& base, const Bytes& updated, const Algorithm0Limits& limits,
                              bool& matched) {
    const Parsed got = parse(base, round_trip(base, updated, limits));

    const Bytes base_prime = transformed(base), updated_prime = transformed(updated);
    const std::int64_t window = algorithm0_window(static_cast<std::int64_t>(base.size()),
                                                  static_cast<std::int64_t>(updated.size()), limits);
    PlainModel model(base_prime, updated_prime, window);
    const bool small = base_prime.size() < 200 || updated_prime.size() < 200 ||
                       static_cast<std::int64_t>(updated_prime.size()) / model.g.count <= 5;
    matched = !small && model.run();
    ASSERT_EQ(static_cast<bool>(got.method & MB_MATCHED), matched);
    if (!matched) return;
    ASSERT_EQ(got.records.size(), model.records.size());
    for (std::size_t i = 0; i < got.records.size(); ++i) {
        const Record& a = got.records[i];
        const Record& b = model.records[i];
        ASSERT_TRUE(a.chunk == b.chunk && a.literal == b.literal && a.match == b.match && a.end == b.end &&
                    a.offset == b.offset && a.runs == b.runs && a.substituted == b.substituted)
            << "record " << i;
        if (a.match) {
            ASSERT_EQ(a.code, b.code) << "record " << i;
        }
    }
    EXPECT_EQ(got.control_bits, model.control_bits);
}

TEST(Algorithm0, FindsWhatAPlainSearchFinds) {
    std::mt19937 rng(2024);
    const char* words[] = {"alpha ", "beta ", "gamma\n", "delta ", "x", "yz ", "0123", "{ }"};
    int compared = 0;
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE(round);
        const std::size_t base_length = 200 + rng() % 20000;
        Bytes base;
        const bool text = rng() % 2;
        while (base.size() < base_length) {
            if (!text) {
                base.push_back(static_cast<std::uint8_t>(rng()));
                continue;
            }
            for (const char* w = words[rng() % 8]; *w && base.size() < base_length; ++w)
                base.push_back(static_cast<std::uint8_t>(*w));
        }
        // Updated: pieces of Base, new bytes and scattered changes.
        Bytes updated;
        const std::size_t updated_length = 200 + rng() % 20000;
        while (updated.size() < updated_length) {
            const unsigned op = rng() % 5;
            if (op < 3) {
                const std::size_t from = rng() % base.size();
                const std::size_t length = std::min<std::size_t>(1 + rng() % 2000, base.size() - from);
                append(updated, slice(base, from, length));
            } else if (op == 3) {
                append(updated, test::random_bytes(1 + rng() % 50, rng()));
            } else if (!updated.empty()) {
                for (unsigned i = 0, n = 1 + rng() % 3; i < n; ++i)
                    updated[rng() % updated.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            }
        }
        Algorithm0Limits limits;
        limits.max_window = rng() % 2 ? 1500000 : 200 + rng() % 5000;
        bool matched = false;
        compare_with_plain_model(base, updated, limits, matched);
        if (::testing::Test::HasFatalFailure()) return;
        compared += matched;
    }
    EXPECT_GT(compared, 40);
}

// Data of few distinct bytes makes index parts whose entries agree in many
// bytes, or in all 20, and candidate groups where many tie: the lazy ordering
// of the index and the early ends of a lookup must still find what an
// exhaustive search finds.
TEST(Algorithm0, FindsWhatAPlainSearchFindsInRepetitiveData) {
    std::mt19937 rng(77);
    int compared = 0;
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE(round);
        const std::size_t base_length = 2000 + rng() % 6000;
        Bytes base;
        const unsigned kind = round % 3;
        const std::size_t period = 3 + rng() % 9;
        while (base.size() < base_length) {
            if (kind == 0) {
                base.push_back(static_cast<std::uint8_t>('a' + rng() % 2));  // two symbols
            } else if (kind == 1) {
                base.push_back(static_cast<std::uint8_t>("xyzw0123ab"[base.size() % period]));  // periodic
            } else {
                // Long stretches of one line with a rare changed byte.
                for (const char* w = "    value = item;\n"; *w; ++w) base.push_back(static_cast<std::uint8_t>(*w));
                if (rng() % 8 == 0) base.back() = static_cast<std::uint8_t>('A' + rng() % 26);
            }
        }
        Bytes updated = base;
        for (unsigned i = 0, n = 5 + rng() % 40; i < n; ++i) {
            const std::size_t at = rng() % updated.size();
            if (rng() % 2) {
                updated[at] = static_cast<std::uint8_t>('a' + rng() % 4);
            } else {
                updated.insert(updated.begin() + static_cast<std::ptrdiff_t>(at), 1 + rng() % 30,
                               static_cast<std::uint8_t>('a' + rng() % 3));
            }
        }
        Algorithm0Limits limits;
        limits.max_window = rng() % 2 ? 1500000 : 200 + rng() % 3000;
        bool matched = false;
        compare_with_plain_model(base, updated, limits, matched);
        if (::testing::Test::HasFatalFailure()) return;
        compared += matched;
    }
    EXPECT_GT(compared, 8);
}

// ---------------------------------------------------------------------------
// Round trips

TEST(Algorithm0, RoundTripsOnEditedPairs) {
    const Bytes text = test::text_like(60000, 91);
    const Bytes noise = test::random_bytes(60000, 92);
    struct Case {
        const char* name;
        Bytes base;
        Bytes updated;
    };
    std::vector<Case> cases;
    for (const Bytes* source : {&text, &noise}) {
        const Bytes& b = *source;
        Bytes inserted = slice(b, 0, 20000);
        append(inserted, test::random_bytes(777, 93));
        append(inserted, slice(b, 20000, 40000));
        cases.push_back({"insertion", b, inserted});

        Bytes deleted = slice(b, 0, 15000);
        append(deleted, slice(b, 16234, 60000 - 16234));
        cases.push_back({"deletion", b, deleted});

        Bytes moved = slice(b, 40000, 20000);
        append(moved, slice(b, 0, 40000));
        cases.push_back({"moved blocks", b, moved});

        Bytes substituted = b;
        for (std::size_t at = 500; at + 3 < substituted.size(); at += 997) {
            const std::size_t width = 1 + at % 3;  // 1, 2 or 3 bytes
            for (std::size_t i = 0; i < width; ++i) substituted[at + i] ^= 0x5A;
        }
        cases.push_back({"substitutions", b, substituted});
    }
    Bytes periodic;
    for (int i = 0; i < 20000; ++i) periodic.push_back(static_cast<std::uint8_t>("abcdefg"[i % 7]));
    Bytes periodic_updated = periodic;
    periodic_updated.insert(periodic_updated.begin() + 5000, 300, 0);  // a long run
    periodic_updated[12000] = 'z';
    cases.push_back({"periodic", periodic, periodic_updated});
    cases.push_back({"unrelated", noise, test::random_bytes(50000, 94)});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes delta = round_trip(c.base, c.updated);
        if (std::string(c.name) != "unrelated") {
            EXPECT_TRUE(parse(c.base, delta).method & MB_MATCHED);
            EXPECT_LT(delta.size(), c.updated.size() / 10 + 1000);
        }
    }
}

TEST(Algorithm0, RoundTripsAtTheSmallSizes) {
    const Bytes base = test::text_like(5000, 101);
    for (std::size_t length : {0, 1, 5, 199, 200, 201}) {
        SCOPED_TRACE(length);
        const Bytes updated = slice(base, 1000, length);
        const Bytes delta = round_trip(base, updated);
        // Updated of 199 bytes or less is never matched.
        if (length < 200) {
            EXPECT_FALSE(parse(base, delta).method & MB_MATCHED);
        }
    }
    for (std::size_t length : {0, 1, 199, 200}) {
        SCOPED_TRACE(length);
        const Bytes small_base = test::random_bytes(length, 102);
        Bytes updated = small_base;
        append(updated, test::text_like(300, 103));
        const Bytes delta = round_trip(small_base, updated);
        if (length < 200) {
            EXPECT_FALSE(parse(small_base, delta).method & MB_MATCHED);
        }
    }
}

TEST(Algorithm0, ABaseThatRunLengthFormShrinksBelow200BytesTakesTheSmallPath) {
    const Bytes base(5000, 0);
    Bytes updated(1000, 0);
    append(updated, test::random_bytes(300, 111));
    const Bytes delta = round_trip(base, updated);
    const std::uint8_t method = parse(base, delta).method;
    EXPECT_TRUE(method & MB_BASE_RLE);
    EXPECT_FALSE(method & MB_MATCHED);
}

TEST(Algorithm0, RoundTripsOverManyChunksOfASmallWindow) {
    const Bytes base = test::text_like(40000, 121);
    Bytes updated = slice(base, 0, 12000);
    append(updated, test::random_bytes(500, 122));
    append(updated, slice(base, 12000, 28000));
    for (std::size_t at = 3000; at < updated.size(); at += 4111) updated[at] ^= 0x20;
    for (std::int64_t window : {200, 301, 1000, 4096}) {
        SCOPED_TRACE(window);
        Algorithm0Limits limits;
        limits.max_window = window;
        const Bytes delta = round_trip(base, updated, limits);
        const Parsed p = parse(base, delta);
        ASSERT_TRUE(p.method & MB_MATCHED);
        EXPECT_EQ(p.window, window);
        EXPECT_GT(p.records.back().chunk, 5);
    }
}

TEST(Algorithm0, TheDeltaDependsOnlyOnTheInputs) {
    const Bytes base = test::text_like(300000, 131);
    Bytes updated = slice(base, 1000, 200000);
    append(updated, test::random_bytes(3000, 132));
    append(updated, slice(base, 0, 50000));
    const Made first = make(base, updated);
    const Made second = make(base, updated);
    EXPECT_EQ(first.delta, second.delta);
    // The same through the general entry.
    File b = memory_file(base), u = memory_file(updated), d(std::tmpfile());
    StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
    TrailerRecord trailer;
    trailer.set_check_length(256);
    EXPECT_EQ(coder_create(&bw, &uw, &dw, 0, {}, trailer), first.result);
    EXPECT_EQ(file_contents(d.get()), first.delta);
}

// An Updated as long as `base`, made of its pieces (up to `longest` bytes, from
// anywhere) with a random insertion of up to `inserted` bytes after one piece
// in `one_in`.
Bytes shuffled_pieces(const Bytes& base, std::mt19937& rng, unsigned longest, unsigned one_in, unsigned inserted) {
    Bytes updated;
    while (updated.size() < base.size()) {
        const std::size_t from = rng() % base.size();
        append(updated, slice(base, from, std::min<std::size_t>(1 + rng() % longest, base.size() - from)));
        if (rng() % one_in == 0) {
            const std::size_t length = 1 + rng() % inserted;
            append(updated, test::random_bytes(length, rng()));
        }
    }
    return updated;
}

// The next chunk is searched ahead on another thread from its slice start;
// the encoder replays that search once it reaches one of its points, searches
// on its own where it reaches none, and indexes only where the copy of Updated'
// would be too large or the search gives up. None of it may change a byte.
TEST(Algorithm0, SearchingTheNextChunkAheadNeverChangesTheDelta) {
    std::mt19937 rng(4242);
    for (int round = 0; round < 16; ++round) {
        SCOPED_TRACE(round);
        const Bytes base = round % 2 ? test::text_like(20000 + rng() % 30000, rng())
                                     : test::random_bytes(20000 + rng() % 30000, rng());
        const Bytes updated = shuffled_pieces(base, rng, 6000, 3, 40);
        Algorithm0Limits alone;
        alone.max_window = 1000 + rng() % 4000;
        alone.search_ahead = false;
        const Made expected = make(base, updated, alone);
        ASSERT_GT(expected.result, 0);
        Algorithm0Limits ahead = alone;
        ahead.search_ahead = true;
        EXPECT_EQ(make(base, updated, ahead).delta, expected.delta) << "searched ahead";
        Algorithm0Limits narrow = ahead;
        narrow.ahead_stretch = 100;  // never copied: indexed ahead only
        EXPECT_EQ(make(base, updated, narrow).delta, expected.delta) << "indexed ahead";
        Algorithm0Limits few = ahead;
        few.ahead_records = 3;  // given up early
        EXPECT_EQ(make(base, updated, few).delta, expected.delta) << "given up";
        // The last chunk searched here from r, its second half ahead from
        // its middle: the records must run on from wherever the two meet.
        Algorithm0Limits halves = ahead;
        halves.search_last_ahead = false;
        halves.half_search = 1;
        EXPECT_EQ(make(base, updated, halves).delta, expected.delta) << "last chunk in halves";
    }
}

// The same with a last chunk long enough that the second half is usually
// searched before this thread gets there, so that the records are taken over
// from it (its points met) rather than searched again.
TEST(Algorithm0, TheLastChunkSearchedInHalvesGivesTheSameDelta) {
    std::mt19937 rng(77);
    const Bytes base = test::text_like(600000, 9);
    const Bytes updated = shuffled_pieces(base, rng, 3000, 2, 60);
    Algorithm0Limits alone;
    alone.max_window = 200000;
    alone.search_ahead = false;
    const Made expected = make(base, updated, alone);
    ASSERT_GT(expected.result, 0);
    Algorithm0Limits halves = alone;
    halves.search_ahead = true;
    halves.search_last_ahead = false;
    halves.half_search = 1;
    for (int run = 0; run < 3; ++run) EXPECT_EQ(make(base, updated, halves).delta, expected.delta) << run;
}

// ---------------------------------------------------------------------------
// Memory and stops

TEST(Algorithm0, AMemoryCeilingShrinksTheWindowAndTheDeltaStillRestores) {
    const Bytes base = test::text_like(100000, 141);
    Bytes updated = slice(base, 50000, 50000);
    append(updated, slice(base, 0, 50000));
    Algorithm0Limits limits;
    // Updated of 100000 bytes; a 100000-byte window would need 125534 + 400000.
    limits.memory_limit = 125534 + 100000 * 4 - 1;
    const Bytes delta = round_trip(base, updated, limits);
    const Parsed p = parse(base, delta);
    ASSERT_TRUE(p.method & MB_MATCHED);
    EXPECT_EQ(p.window, 75000);

    limits.memory_limit = 100;
    EXPECT_EQ(make(base, updated, limits).result, ERR_NO_MEMORY);
}

TEST(Algorithm0, AStopAnswerEndsTheRunWithStopped) {
    const Bytes base = test::text_like(200000, 151);
    Bytes updated = slice(base, 100000, 100000);
    append(updated, slice(base, 0, 100000));
    // One chunk; then many, where the stop finds chunks being searched ahead
    // on other threads, which must be ended and released.
    const struct {
        std::int64_t window;
        int answered;  // callbacks before the stop
    } cases[] = {{1500000, 3}, {5000, 3}, {5000, 40}};
    for (const auto& one : cases) {
        SCOPED_TRACE(one.window);
        SCOPED_TRACE(one.answered);
        int calls = 0;
        ProgressCallback stop_later = [&](const ProgressRecord&) -> std::int16_t {
            return ++calls > one.answered ? ANSWER_STOP : ANSWER_SKIP;
        };
        Algorithm0Limits limits;
        limits.max_window = one.window;
        EXPECT_EQ(make(base, updated, limits, stop_later).result, ERR_STOPPED);
    }
}

}  // namespace
}  // namespace quoralith
