// The match search of algorithms 1 to 15: the records it writes for simple
// edits (read back from the control stream), the local match finder's rules,
// and round trips of every algorithm over generated file pairs.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include "coder/bitio.h"
#include "coder/coder.h"
#include "coder/local_match.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;

using test::File;
using test::file_contents;
using test::memory_file;

Bytes make_delta(const Bytes& base, const Bytes& updated, int algorithm, const ProgressCallback& callback = {},
                 int* result = nullptr) {
    File b = memory_file(base), u = memory_file(updated), d(std::tmpfile());
    StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
    TrailerRecord trailer;
    trailer.set_check_length(256);
    int n = coder_create(&bw, &uw, &dw, algorithm, callback, trailer);
    Bytes out = file_contents(d.get());
    if (result) {
        *result = n;
    } else {
        EXPECT_GT(n, 0);
        EXPECT_EQ(static_cast<std::size_t>(n), out.size());
    }
    return out;
}

Bytes restore(const Bytes& base, const Bytes& delta, int* result) {
    File b = memory_file(base);
    File d = memory_file(delta);
    File o(std::tmpfile());
    StreamWindow bw{b.get()}, dw{d.get()}, ow{o.get(), 0, 0};
    TrailerRecord trailer;
    *result = coder_restore(&bw, &dw, &ow, {}, &trailer);
    return file_contents(o.get());
}

// The records of a match-coded delta, read back from its control stream.
struct Substitution {
    std::uint32_t equal;
    int replaced;
};
struct Record {
    bool positioned = false;
    std::int64_t literal = 0;
    std::int64_t where = 0;  // position (positioned) or Base' advance (relative)
    bool tail = false;       // positioned record that ends the delta: literals only
    std::vector<Substitution> substitutions;
    std::uint32_t final_equal = 0;
};

struct Decoded {
    std::uint8_t method = 0;
    std::vector<Record> records;
};

// Reads the records of a delta made with a 256-byte check against a Base' of
// `base_length` bytes.
Decoded decode(const Bytes& delta, std::int64_t base_length) {
    Decoded out;
    const std::size_t end = delta.size() - kTrailerSize - kCheckLong - 1;
    out.method = delta[end];
    if (!(out.method & MB_MATCHED)) return out;
    const std::int64_t u = get_be32(&delta[end - 8]);
    const std::int64_t v = get_be32(&delta[end - 4]);
    const int rice = algorithm_params(out.method & 0x0F).rice;
    const int position_bits = bit_length_min1(static_cast<std::uint64_t>(base_length - 1));
    File f = memory_file(Bytes(delta.begin(), delta.begin() + v));
    ControlReader r(Channel::of_file(f.get()), 0, v);
    std::int64_t o = 0;
    while (o < u && !r.overrun()) {
        Record rec;
        rec.positioned = r.get_flag();
        if (rec.positioned) {
            rec.literal = static_cast<std::int64_t>(r.get_count()) - 1;
            o += rec.literal;
            if (o == u) {
                rec.tail = true;
                out.records.push_back(rec);
                break;
            }
            rec.where = r.get_bits(position_bits);
        } else {
            rec.literal = static_cast<std::int64_t>(r.get_rice(rice)) - 1;
            rec.where = static_cast<std::int64_t>(r.get_rice(rice)) - 1;
            o += rec.literal;
        }
        const std::uint32_t s = r.get_count() - 1;
        for (std::uint32_t i = 0; i < s && !r.overrun(); ++i) {
            Substitution sub;
            sub.equal = r.get_count();
            sub.replaced = r.get_flag() ? 2 : 1;
            o += sub.equal + sub.replaced;
            rec.substitutions.push_back(sub);
        }
        rec.final_equal = r.get_count();
        o += rec.final_equal;
        out.records.push_back(rec);
    }
    EXPECT_FALSE(r.overrun());
    EXPECT_EQ(o, u);
    return out;
}

// A byte that differs from b.
std::uint8_t other(std::uint8_t b) { return static_cast<std::uint8_t>(b ^ 0x5A); }

Bytes slice(const Bytes& b, std::size_t from, std::size_t count) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from), b.begin() + static_cast<std::ptrdiff_t>(from + count));
}

void append(Bytes& to, const Bytes& from) { to.insert(to.end(), from.begin(), from.end()); }

void expect_round_trip(const Bytes& base, const Bytes& updated, int algorithm) {
    Bytes delta = make_delta(base, updated, algorithm);
    int rc = 0;
    Bytes restored = restore(base, delta, &rc);
    ASSERT_EQ(rc, static_cast<int>(updated.size())) << "algorithm " << algorithm;
    EXPECT_TRUE(restored == updated) << "algorithm " << algorithm;
}

const int kSequentialAlgorithms[] = {1, 3, 4, 5, 6, 7, 15};

// ---------------------------------------------------------------------------
// Records of simple edits

TEST(MatchSearchRecords, IdenticalFilesAreOneRelativeRecordWithOneRun) {
    const Bytes data = test::random_bytes(1000, 1);
    for (int algorithm : kSequentialAlgorithms) {
        Decoded d = decode(make_delta(data, data, algorithm), 1000);
        ASSERT_TRUE(d.method & MB_MATCHED) << algorithm;
        ASSERT_EQ(d.records.size(), 1u) << algorithm;
        const Record& r = d.records[0];
        EXPECT_FALSE(r.positioned);
        EXPECT_EQ(r.literal, 0);
        EXPECT_EQ(r.where, 0);
        EXPECT_TRUE(r.substitutions.empty());
        EXPECT_EQ(r.final_equal, 1000u);
    }
}

TEST(MatchSearchRecords, OneOrTwoChangedBytesAreSubstitutionsInOneRun) {
    const Bytes base = test::random_bytes(1000, 2);
    for (int width : {1, 2}) {
        Bytes updated = base;
        for (int i = 0; i < width; ++i) updated[500 + i] = other(base[500 + i]);
        for (int algorithm : kSequentialAlgorithms) {
            Decoded d = decode(make_delta(base, updated, algorithm), 1000);
            ASSERT_EQ(d.records.size(), 1u) << algorithm;
            const Record& r = d.records[0];
            ASSERT_EQ(r.substitutions.size(), 1u);
            EXPECT_EQ(r.substitutions[0].equal, 500u);
            EXPECT_EQ(r.substitutions[0].replaced, width);
            EXPECT_EQ(r.final_equal, static_cast<std::uint32_t>(500 - width));
        }
    }
}

TEST(MatchSearchRecords, ThreeChangedBytesEndTheRunAndTheSequentialSearchResumes) {
    const Bytes base = test::random_bytes(1000, 3);
    Bytes updated = base;
    for (int i = 0; i < 3; ++i) updated[500 + i] = other(base[500 + i]);
    for (int algorithm : kSequentialAlgorithms) {
        Decoded d = decode(make_delta(base, updated, algorithm), 1000);
        ASSERT_EQ(d.records.size(), 2u) << algorithm;
        EXPECT_EQ(d.records[0].final_equal, 500u);
        EXPECT_TRUE(d.records[0].substitutions.empty());
        const Record& r = d.records[1];
        EXPECT_FALSE(r.positioned);
        EXPECT_EQ(r.literal, 3);
        EXPECT_EQ(r.where, 3);
        EXPECT_EQ(r.final_equal, 497u);
    }
}

TEST(MatchSearchRecords, OnlyAlgorithmOneLeavesMovedDataUnfound) {
    // Base = X Y, Updated = Y X: the sequential search sees nothing at the start.
    const Bytes x = test::random_bytes(5000, 4);
    const Bytes y = test::random_bytes(2000, 5);
    Bytes base = x, updated = y;
    append(base, y);
    append(updated, x);

    Decoded one = decode(make_delta(base, updated, 1), 7000);
    EXPECT_FALSE(one.method & MB_MATCHED);  // all tail: storing is cheaper

    Decoded three = decode(make_delta(base, updated, 3), 7000);
    ASSERT_TRUE(three.method & MB_MATCHED);
    ASSERT_EQ(three.records.size(), 2u);
    EXPECT_TRUE(three.records[0].positioned);
    EXPECT_EQ(three.records[0].literal, 0);
    EXPECT_EQ(three.records[0].where, 5000);
    EXPECT_EQ(three.records[0].final_equal, 2000u);
    EXPECT_TRUE(three.records[1].positioned);
    EXPECT_EQ(three.records[1].where, 0);
    EXPECT_EQ(three.records[1].final_equal, 5000u);
}

TEST(MatchSearchRecords, AlgorithmTwoTakesTheFirstVerifiedBlockWithoutBackChain) {
    // Base' of 10000 bytes gives algorithm 2 blocks of 104 bytes. The content
    // Z of block 10 recurs as block 50; before Z in Updated stands a 20-byte
    // piece of the Base' bytes just before block 10, which a back chain would
    // find.
    Bytes base = test::random_bytes(10000, 6);
    std::copy(base.begin() + 1040, base.begin() + 1144, base.begin() + 5200);
    Bytes updated = test::random_bytes(300, 7);
    append(updated, slice(base, 1015, 20));
    for (int i = 0; i < 5; ++i) updated.push_back(other(base[1035 + i]));
    append(updated, slice(base, 1040, 104));
    for (int i = 0; i < 3; ++i) updated.push_back(other(base[1144 + i]));
    append(updated, test::random_bytes(600, 8));

    Decoded d = decode(make_delta(base, updated, 2), 10000);
    ASSERT_TRUE(d.method & MB_MATCHED);
    ASSERT_EQ(d.records.size(), 2u);
    EXPECT_TRUE(d.records[0].positioned);
    EXPECT_EQ(d.records[0].literal, 325);
    EXPECT_EQ(d.records[0].where, 1040);
    EXPECT_EQ(d.records[0].final_equal, 104u);
    EXPECT_TRUE(d.records[1].tail);
}

TEST(MatchSearchRecords, BackChainPiecesPrecedeAFingerprintMatch) {
    // A 20-byte piece of Base', four differing bytes, then a long stretch that
    // continues the piece's diagonal: the piece comes first, as a positioned
    // record, and the long stretch follows as a relative one.
    const Bytes base = test::random_bytes(10000, 9);
    Bytes updated = test::random_bytes(300, 10);
    append(updated, slice(base, 2000, 20));
    for (int i = 0; i < 4; ++i) updated.push_back(other(base[2020 + i]));
    append(updated, slice(base, 2024, 2000));

    Decoded d = decode(make_delta(base, updated, 7), 10000);
    ASSERT_TRUE(d.method & MB_MATCHED);
    ASSERT_EQ(d.records.size(), 2u);
    EXPECT_TRUE(d.records[0].positioned);
    EXPECT_EQ(d.records[0].literal, 300);
    EXPECT_EQ(d.records[0].where, 2000);
    EXPECT_EQ(d.records[0].final_equal, 20u);
    EXPECT_FALSE(d.records[1].positioned);
    EXPECT_EQ(d.records[1].literal, 4);
    EXPECT_EQ(d.records[1].where, 4);
    EXPECT_EQ(d.records[1].final_equal, 2000u);
}

TEST(MatchSearchRecords, AmongEqualBlocksTheOneWithTheEarliestPieceWins) {
    // Blocks of 60 bytes; a run of zeros in Base' from 2030 makes the blocks
    // from 2040 on equal. Updated holds 20 zeros, 3 other bytes, then 200
    // zeros. Every zero block matches at the 200 zeros, but the one at 2040
    // has only 10 zeros before it for a back-chain piece, while the one at 2100
    // has room for all 20: the later block wins with the earlier piece.
    Bytes base = test::random_bytes(2030, 14);
    append(base, Bytes(600, 0));
    append(base, test::random_bytes(2000, 15));
    Bytes updated = test::random_bytes(1000, 16);
    append(updated, Bytes(20, 0));
    append(updated, Bytes{7, 8, 9});
    append(updated, Bytes(200, 0));
    append(updated, test::random_bytes(1000, 17));

    Decoded d = decode(make_delta(base, updated, 7), static_cast<std::int64_t>(base.size()));
    ASSERT_TRUE(d.method & MB_MATCHED);
    ASSERT_EQ(d.records.size(), 3u);
    EXPECT_TRUE(d.records[0].positioned);
    EXPECT_EQ(d.records[0].literal, 1000);
    EXPECT_EQ(d.records[0].where, 2070);
    EXPECT_EQ(d.records[0].final_equal, 20u);
    EXPECT_FALSE(d.records[1].positioned);
    EXPECT_EQ(d.records[1].literal, 3);
    EXPECT_EQ(d.records[1].where, 10);
    EXPECT_EQ(d.records[1].final_equal, 200u);
    EXPECT_TRUE(d.records[2].tail);
}

TEST(MatchSearchRecords, LongBackChainsAndSubstitutionListsSurviveSpilling) {
    // Forty 10-byte pieces on one diagonal, each followed by three differing
    // bytes, before a long match: a chain of more pairs than the stack holds in
    // memory. Then a run with a substitution every 8 bytes, more than the list
    // holds in memory.
    const Bytes base = test::random_bytes(300000, 11);
    Bytes updated = test::random_bytes(100, 12);
    for (int j = 0; j < 40; ++j) {
        append(updated, slice(base, 1000 + 13 * j, 10));
        for (int i = 0; i < 3; ++i) updated.push_back(other(base[1010 + 13 * j + i]));
    }
    Bytes stretch = slice(base, 1520, 298000);
    for (std::size_t i = 100000; i < 250000; i += 8) stretch[i] = other(stretch[i]);
    append(updated, stretch);

    Bytes delta = make_delta(base, updated, 7);
    Decoded d = decode(delta, static_cast<std::int64_t>(base.size()));
    ASSERT_TRUE(d.method & MB_MATCHED);
    ASSERT_GE(d.records.size(), 41u);
    EXPECT_TRUE(d.records[0].positioned);
    EXPECT_EQ(d.records[0].where, 1000);
    for (std::size_t j = 1; j < 40; ++j) {
        EXPECT_FALSE(d.records[j].positioned);
        EXPECT_EQ(d.records[j].literal, 3);
        EXPECT_EQ(d.records[j].where, 3);
        EXPECT_EQ(d.records[j].final_equal, 10u);
    }
    EXPECT_GT(d.records[40].substitutions.size(), 18000u);
    int rc = 0;
    EXPECT_TRUE(restore(base, delta, &rc) == updated);
    EXPECT_EQ(rc, static_cast<int>(updated.size()));
}

// ---------------------------------------------------------------------------
// The local match finder

class LocalFinder : public ::testing::Test {
protected:
    // D is random; A starts as a copy of D and the cases change single bytes.
    void SetUp() override {
        d = test::random_bytes(20, 13);
        a = d;
    }
    void change(std::initializer_list<int> offsets) {
        for (int i : offsets) a[static_cast<std::size_t>(i)] = other(d[static_cast<std::size_t>(i)]);
    }
    std::optional<LocalMatch> find(bool forward = true) {
        LocalMatchFinder finder(7, 4);
        return finder.find(d.data(), 20, a.data(), 20, forward);
    }
    Bytes d, a;
};

TEST_F(LocalFinder, ThreeDifferencesBeforeStartPlusMinimumRejectTheCandidate) {
    change({0, 1, 2, 3, 4, 9, 10, 11});  // candidate (5, 5): 9, 10, 11 lie before 5 + 7
    auto m = find();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->updated_offset, 12);
    EXPECT_EQ(m->base_offset, 12);
}

TEST_F(LocalFinder, DifferencesReachingStartPlusMinimumDoNotCount) {
    change({0, 1, 2, 3, 4, 10, 11, 12});  // only 10 and 11 lie before 5 + 7
    auto m = find();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->updated_offset, 5);
}

TEST_F(LocalFinder, AStartMovedBackByTheKeyLengthChecksNothing) {
    // The first key that agrees is at 7; going back over the single difference
    // at 6 gives the start 3, and 3 + 7 does not reach past the key's end, so
    // the three differences at 11 to 13 are never looked at.
    change({0, 1, 2, 6, 11, 12, 13});
    auto m = find();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->updated_offset, 3);
    EXPECT_EQ(m->base_offset, 3);
}

TEST_F(LocalFinder, EarliestStartWinsAndBackwardSearchStartsFromTheEnd) {
    // A = D shifted: D's bytes from 2 appear in A from 0, and D[10..) again at
    // A[14..) would be a later candidate.
    Bytes shifted(d.begin() + 2, d.end());
    shifted.push_back(other(d[0]));
    shifted.push_back(other(d[1]));
    a = shifted;
    auto m = find();
    ASSERT_TRUE(m);
    EXPECT_EQ(m->updated_offset, 0);
    EXPECT_EQ(m->base_offset, 2);

    // Backward: the last offset of A with a key found in D is tried first, and
    // the candidate is stretched back to the start of the agreement.
    auto back = find(false);
    ASSERT_TRUE(back);
    EXPECT_EQ(back->updated_offset, 0);
    EXPECT_EQ(back->base_offset, 2);
}

TEST_F(LocalFinder, WindowsShorterThanTheMinimumFindNothing) {
    LocalMatchFinder finder(7, 4);
    EXPECT_FALSE(finder.find(d.data(), 6, a.data(), 20, true));
    EXPECT_FALSE(finder.find(d.data(), 20, a.data(), 6, true));
    change({0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19});
    EXPECT_FALSE(find());
}

// ---------------------------------------------------------------------------
// Round trips

// Generated pairs: Base and Updated of one kind of edit.
struct Pair {
    const char* name;
    Bytes base;
    Bytes updated;
};

std::vector<Pair> generated_pairs() {
    std::vector<Pair> pairs;
    const Bytes text = test::text_like(40000, 20);
    const Bytes noise = test::random_bytes(30000, 21);

    Bytes inserted = slice(text, 0, 12000);
    append(inserted, test::random_bytes(37, 22));
    append(inserted, slice(text, 12000, 28000));
    pairs.push_back({"insertion", text, inserted});

    Bytes deleted = slice(text, 0, 9000);
    append(deleted, slice(text, 9500, 30500));
    pairs.push_back({"deletion", text, deleted});

    Bytes moved = slice(noise, 20000, 10000);
    append(moved, slice(noise, 0, 20000));
    pairs.push_back({"moved blocks", noise, moved});

    Bytes substituted = noise;
    for (std::size_t i = 100, w = 1; i + 3 < substituted.size(); i += 97, w = w % 3 + 1)
        for (std::size_t k = 0; k < w; ++k) substituted[i + k] = other(substituted[i + k]);
    pairs.push_back({"substitutions of 1, 2 and 3 bytes", noise, substituted});

    // Long periodic runs, so that the run-length form is used by the
    // algorithms whose threshold allows it.
    Bytes periodic_base, periodic_updated;
    for (int part = 0; part < 6; ++part) {
        append(periodic_base, test::random_bytes(700, 30 + part));
        for (int i = 0; i < 2000; ++i) periodic_base.push_back(static_cast<std::uint8_t>("abc"[i % 3]));
        append(periodic_updated, test::random_bytes(700, 30 + part));
        for (int i = 0; i < 1500 + 100 * part; ++i)
            periodic_updated.push_back(static_cast<std::uint8_t>("abc"[i % 3]));
        periodic_updated.push_back('!');
    }
    pairs.push_back({"periodic runs", periodic_base, periodic_updated});

    pairs.push_back({"random", test::random_bytes(20000, 40), test::random_bytes(20000, 41)});
    pairs.push_back({"empty Updated", text, Bytes{}});
    pairs.push_back({"empty Base", Bytes{}, slice(text, 0, 5000)});
    pairs.push_back({"tiny", slice(text, 0, 10), slice(text, 3, 9)});
    pairs.push_back({"199 bytes", slice(text, 0, 300), slice(text, 0, 199)});
    pairs.push_back({"200 bytes", slice(text, 0, 300), slice(text, 50, 200)});
    pairs.push_back({"200-byte Base", slice(text, 0, 200), slice(text, 0, 5000)});
    Bytes zeros(30000, 0);
    Bytes zeros_edited = zeros;
    zeros_edited[15000] = 1;
    pairs.push_back({"zeros", zeros, zeros_edited});
    return pairs;
}

// Base with many random edits: insertions, deletions, copies from elsewhere,
// and substitutions of one to four bytes.
Bytes edited(const Bytes& base, std::uint32_t seed, int edits) {
    std::mt19937 random(seed);
    Bytes out = base;
    for (int e = 0; e < edits; ++e) {
        const std::size_t at = random() % (out.size() - 64);
        switch (random() % 4) {
            case 0: {
                const Bytes noise = test::random_bytes(1 + random() % 40, random());
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), noise.begin(), noise.end());
                break;
            }
            case 1:
                out.erase(out.begin() + static_cast<std::ptrdiff_t>(at),
                          out.begin() + static_cast<std::ptrdiff_t>(at + 1 + random() % 60));
                break;
            case 2: {
                const std::size_t from = random() % (base.size() - 600);
                const Bytes piece = slice(base, from, 100 + random() % 500);
                out.insert(out.begin() + static_cast<std::ptrdiff_t>(at), piece.begin(), piece.end());
                break;
            }
            default:
                for (std::size_t k = 0, n = 1 + random() % 4; k < n; ++k) out[at + k] = other(out[at + k]);
        }
    }
    return out;
}

std::vector<Pair> model_pairs() {
    std::vector<Pair> pairs;
    const Bytes text = test::text_like(16000, 70);
    const Bytes noise = test::random_bytes(16000, 71);
    pairs.push_back({"edited text", text, edited(text, 72, 25)});
    pairs.push_back({"edited noise", noise, edited(noise, 73, 25)});
    Bytes mixed = slice(noise, 0, 6000);
    append(mixed, slice(text, 0, 6000));
    append(mixed, slice(noise, 10000, 6000));
    pairs.push_back({"edited mixture", mixed, edited(mixed, 74, 50)});
    Bytes swapped = slice(noise, 8000, 8000);
    append(swapped, slice(noise, 0, 8000));
    pairs.push_back({"swapped noise", noise, edited(swapped, 75, 10)});

    // Runs of zeros of many lengths in both files: equal blocks by the hundred.
    std::mt19937 random(76);
    Bytes zero_base, zero_updated;
    for (int part = 0; part < 25; ++part) {
        append(zero_base, test::random_bytes(50 + random() % 400, random()));
        zero_base.resize(zero_base.size() + 30 + random() % 500, 0);
        append(zero_updated, test::random_bytes(20 + random() % 300, random()));
        zero_updated.resize(zero_updated.size() + 30 + random() % 400, 0);
    }
    pairs.push_back({"zero runs", zero_base, zero_updated});
    pairs.push_back({"zero runs, edited", zero_base, edited(zero_base, 77, 30)});

    // Period ten, which the run-length form leaves alone: equal blocks every
    // few blocks, with random insertions between them in Updated.
    Bytes periodic;
    for (int i = 0; i < 12000; ++i) periodic.push_back(static_cast<std::uint8_t>("0123456789"[i % 10]));
    append(periodic, test::random_bytes(3000, 82));
    Bytes periodic_updated;
    for (int part = 0; part < 20; ++part) {
        append(periodic_updated, test::random_bytes(25 + random() % 50, random()));
        append(periodic_updated, slice(periodic, random() % 11000, 30 + random() % 600));
    }
    pairs.push_back({"period ten", periodic, periodic_updated});

    // One run of zeros in Base'; in Updated, groups of zeros that back chains
    // walk through, a few steps for a block near the start of the run and more
    // for the blocks further in, which therefore score better.
    Bytes run_base = test::random_bytes(2030, 78);
    append(run_base, Bytes(600, 0));
    append(run_base, test::random_bytes(2000, 79));
    for (int groups : {1, 4}) {
        Bytes run_updated = test::random_bytes(1000, 80);
        for (int g = 0; g < groups; ++g) {
            append(run_updated, Bytes(20, 0));
            append(run_updated, Bytes{7, 8, 9});
        }
        append(run_updated, Bytes(200, 0));
        append(run_updated, test::random_bytes(1000, 81));
        pairs.push_back({groups == 1 ? "zero run, one group" : "zero run, four groups", run_base, run_updated});
    }
    return pairs;
}

// ---------------------------------------------------------------------------
// A plain model of the search, written straight from its description: a sorted
// index searched by bisection, a sorted block table, byte-by-byte comparisons
// and an unbounded stack. The coder's control stream must equal the model's
// bit for bit, which pins down every shortcut the coder takes for speed.

class ModelSearch {
public:
    ModelSearch(const Bytes& base, const Bytes& updated, int algorithm)
        : b_(base), u_(updated), algorithm_(algorithm), params_(algorithm_params(algorithm)),
          n_(static_cast<std::int64_t>(base.size())), len_u_(static_cast<std::int64_t>(updated.size())) {}

    // The control stream bytes (the driver's tail record included) and q.
    Bytes run(std::int64_t* q_out) {
        if (algorithm_ != 2) sequential(params_.rice);
        std::int64_t block;
        if (algorithm_ == 2) {
            const int bits = bit_length_min1(static_cast<std::uint64_t>(n_));
            const std::int64_t s = n_ >> (bits / 2);
            std::int64_t h = (n_ / s + s) / 2;
            h = std::max(h, n_ / h);  // Base' is Base here
            block = h + 1;
        } else {
            const std::int64_t g = params_.granularity;
            const std::int64_t count = n_ / g >= 32767 ? 32768 : n_ / g + 1;
            block = std::max(n_ / count + 1, g);
        }
        if (algorithm_ != 1 && block < len_u_ - q_) {
            block_ = block;
            for (std::int64_t k = 0; k * block <= n_ - block; ++k) {
                std::uint8_t f[4] = {0, 0, 0, 0};
                for (std::int64_t t = 0; t < block; ++t) f[t % 4] ^= b_[static_cast<std::size_t>(k * block + t)];
                table_.push_back({{f[0], f[1], f[2], f[3]}, static_cast<int>(k)});
            }
            std::sort(table_.begin(), table_.end());
            while (fingerprint_search(q_)) {
            }
        }
        if (len_u_ - q_ > 0) {
            put(1, 1);
            count(static_cast<std::uint64_t>(len_u_ - q_ + 1));
        }
        *q_out = q_;
        Bytes out((bits_.size() + 7) / 8, 0);
        for (std::size_t i = 0; i < bits_.size(); ++i)
            if (bits_[i]) out[i / 8] |= static_cast<std::uint8_t>(0x80 >> (i % 8));
        return out;
    }

private:
    struct Entry {
        std::array<std::uint8_t, 4> fingerprint;
        int block;
        bool operator<(const Entry& o) const {
            return fingerprint != o.fingerprint ? fingerprint < o.fingerprint : block < o.block;
        }
    };

    void put(std::uint64_t value, int n) {
        for (int i = n - 1; i >= 0; --i) bits_.push_back((value >> i) & 1);
    }
    void count(std::uint64_t v) {
        const std::uint64_t n = v + 1;
        int k = 0;
        while ((n >> (k + 1)) != 0) ++k;
        for (int i = 0; i < k - 1; ++i) put(1, 1);
        put(0, 1);
        put(n - (std::uint64_t{1} << k), k);
    }
    void rice(int k, std::uint64_t v) {
        if (k == 0) return count(v);
        for (std::uint64_t i = 0; i < (v - 1) >> k; ++i) put(1, 1);
        put(0, 1);
        put((v - 1) & ((1u << k) - 1), k);
    }
    std::uint8_t base(std::int64_t i) const { return b_[static_cast<std::size_t>(i)]; }
    std::uint8_t upd(std::int64_t i) const { return u_[static_cast<std::size_t>(i)]; }

    std::optional<std::pair<int, int>> local(const std::uint8_t* d, int c, const std::uint8_t* a, int an,
                                             bool forward) {
        const int m = params_.min_match, key = params_.key_length;
        if (c < m || an < m) return std::nullopt;
        std::vector<int> index(static_cast<std::size_t>(c - m + 1));
        for (int k = 0; k <= c - m; ++k) index[static_cast<std::size_t>(k)] = k;
        std::stable_sort(index.begin(), index.end(),
                         [&](int x, int y) { return std::memcmp(d + x, d + y, static_cast<std::size_t>(key)) < 0; });
        for (int step = 0; step <= an - m; ++step) {
            const int i = forward ? step : an - m - step;
            auto it = std::lower_bound(index.begin(), index.end(), i, [&](int e, int) {
                return std::memcmp(d + e, a + i, static_cast<std::size_t>(key)) < 0;
            });
            int best_k = -1, best_f = INT_MAX;
            for (; it != index.end() && std::memcmp(d + *it, a + i, static_cast<std::size_t>(key)) == 0; ++it) {
                int k = *it, f = i, differ = 0;
                while (differ < 3 && k > 0 && f > 0) {
                    --k;
                    --f;
                    differ = d[k] == a[f] ? 0 : differ + 1;
                }
                k += differ;
                f += differ;
                bool passes = true;
                differ = 0;
                for (int t = i + key; t < f + m && passes; ++t) {
                    differ = d[t - i + *it] == a[t] ? 0 : differ + 1;
                    passes = differ < 3;
                }
                if (passes && f < best_f) {
                    best_k = k;
                    best_f = f;
                    if (f == 0) break;
                }
            }
            if (best_k >= 0) return std::make_pair(best_k, best_f);
        }
        return std::nullopt;
    }

    std::int64_t copy_run(std::int64_t p, std::int64_t q, std::int64_t pl, std::int64_t ql) {
        std::vector<std::pair<std::uint64_t, int>> subs;
        std::int64_t advanced = 0, equal = 0;
        int pending = 0;
        while (p + advanced < pl && q + advanced < ql) {
            const bool same = base(p + advanced) == upd(q + advanced);
            ++advanced;
            if (same) {
                if (pending > 0) subs.push_back({static_cast<std::uint64_t>(equal), pending});
                if (pending > 0) equal = 0;
                pending = 0;
                ++equal;
            } else if (++pending == 3) {
                break;
            }
        }
        count(subs.size() + 1);
        for (auto [e, w] : subs) {
            count(e);
            put(w == 2 ? 1 : 0, 1);
        }
        count(static_cast<std::uint64_t>(equal));
        return advanced - pending;
    }

    void sequential(int r) {
        for (;;) {
            const std::int64_t c = std::min<std::int64_t>(params_.window, n_ - p_);
            const std::int64_t a = std::min<std::int64_t>(params_.window, len_u_ - q_);
            if (c < params_.min_match || a < params_.min_match) return;
            auto m = local(&b_[static_cast<std::size_t>(p_)], static_cast<int>(c), &u_[static_cast<std::size_t>(q_)],
                           static_cast<int>(a), true);
            if (!m) return;
            put(0, 1);
            rice(r, static_cast<std::uint64_t>(m->second + 1));
            rice(r, static_cast<std::uint64_t>(m->first + 1));
            p_ += m->first;
            q_ += m->second;
            const std::int64_t length = copy_run(p_, q_, n_, len_u_);
            p_ += length;
            q_ += length;
        }
    }

    void extend_back(std::int64_t& p, std::int64_t& q, std::int64_t floor) {
        int differ = 0;
        while (differ < 3 && p > 0 && q > floor) {
            --p;
            --q;
            differ = base(p) == upd(q) ? 0 : differ + 1;
        }
        p += differ;
        q += differ;
    }

    std::int64_t back_chain(std::int64_t p, std::int64_t q, std::int64_t a0,
                            std::vector<std::pair<std::int64_t, std::int64_t>>& stack) {
        for (;;) {
            const std::int64_t c = std::min<std::int64_t>(params_.back_window, p);
            const std::int64_t a = std::min<std::int64_t>(params_.back_window, q - a0);
            if (c < params_.min_match || a < params_.min_match) return q;
            auto m = local(&b_[static_cast<std::size_t>(p - c)], static_cast<int>(c),
                           &u_[static_cast<std::size_t>(q - a)], static_cast<int>(a), false);
            if (!m) return q;
            std::int64_t pp = p - c + m->first, qq = q - a + m->second;
            extend_back(pp, qq, a0);
            stack.push_back({pp, qq});
            p = pp;
            q = qq;
        }
    }

    bool fingerprint_search(std::int64_t a0) {
        const std::int64_t block = block_;
        std::uint8_t f[4] = {0, 0, 0, 0};
        for (std::int64_t t = 0; t < block && a0 + t < len_u_; ++t) f[t % 4] ^= upd(a0 + t);
        for (std::int64_t i = a0; i <= len_u_ - block; ++i) {
            if (i > a0) {
                f[0] ^= upd(i - 1);
                const std::uint8_t first = f[0];
                f[0] = f[1];
                f[1] = f[2];
                f[2] = f[3];
                f[3] = first;
                f[(block - 1) % 4] ^= upd(i - 1 + block);
            }
            const Entry probe{{f[0], f[1], f[2], f[3]}, -1};
            auto it = std::lower_bound(table_.begin(), table_.end(), probe);
            bool found = false;
            std::int64_t best_score = 0, best_p = 0, best_q = 0;
            for (; it != table_.end() && it->fingerprint == probe.fingerprint; ++it) {
                std::int64_t p = static_cast<std::int64_t>(it->block) * block, q = i;
                if (std::memcmp(&b_[static_cast<std::size_t>(p)], &u_[static_cast<std::size_t>(q)],
                                static_cast<std::size_t>(block)) != 0)
                    continue;
                extend_back(p, q, a0);
                if (algorithm_ == 2) {
                    put(1, 1);
                    count(static_cast<std::uint64_t>(q - a0 + 1));
                    put(static_cast<std::uint64_t>(p), bit_length_min1(static_cast<std::uint64_t>(n_ - 1)));
                    const std::int64_t length = copy_run(p, q, n_, len_u_);
                    p_ = p + length;
                    q_ = q + length;
                    return true;
                }
                std::vector<std::pair<std::int64_t, std::int64_t>> scratch;
                const std::int64_t score = back_chain(p, q, a0, scratch);
                if (!found || score < best_score) {
                    found = true;
                    best_score = score;
                    best_p = p;
                    best_q = q;
                }
            }
            if (!found) continue;
            std::vector<std::pair<std::int64_t, std::int64_t>> stack = {{n_, len_u_}, {best_p, best_q}};
            back_chain(best_p, best_q, a0, stack);
            std::int64_t end_p = 0, end_q = a0;
            for (std::size_t top = stack.size() - 1; top > 0; --top) {
                const auto [pp, qq] = stack[top];
                if (top == stack.size() - 1) {
                    put(1, 1);
                    count(static_cast<std::uint64_t>(qq - end_q + 1));
                    put(static_cast<std::uint64_t>(pp), bit_length_min1(static_cast<std::uint64_t>(n_ - 1)));
                } else {
                    put(0, 1);
                    rice(1, static_cast<std::uint64_t>(qq - end_q + 1));
                    rice(1, static_cast<std::uint64_t>(pp - end_p + 1));
                }
                const std::int64_t length = copy_run(pp, qq, stack[top - 1].first, stack[top - 1].second);
                end_p = pp + length;
                end_q = qq + length;
            }
            p_ = end_p;
            q_ = end_q;
            sequential(1);
            return true;
        }
        return false;
    }

    const Bytes& b_;
    const Bytes& u_;
    int algorithm_;
    AlgorithmParams params_;
    std::int64_t n_, len_u_;
    std::int64_t p_ = 0, q_ = 0;
    std::int64_t block_ = 0;
    std::vector<Entry> table_;
    std::vector<bool> bits_;
};

// The control stream of a match-coded delta, or nothing.
std::optional<Bytes> control_stream(const Bytes& delta) {
    const std::size_t end = delta.size() - kTrailerSize - kCheckLong - 1;
    if (!(delta[end] & MB_MATCHED)) return std::nullopt;
    const std::size_t v = get_be32(&delta[end - 4]);
    return Bytes(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(v));
}

// Pairs without long periodic runs, so that Base' and Updated' are Base and
// Updated for every algorithm, plus runs of zeros for the algorithms that never
// use the run-length form.
std::vector<Pair> model_pairs();

TEST(MatchSearchModel, ControlStreamsEqualThoseOfAPlainModel) {
    int compared = 0;
    for (const Pair& pair : model_pairs()) {
        const bool has_runs = std::string(pair.name).find("zero") != std::string::npos;
        for (int algorithm = 1; algorithm <= 7; ++algorithm) {
            if (has_runs && algorithm != 3 && algorithm != 7) continue;
            SCOPED_TRACE(std::string(pair.name) + ", algorithm " + std::to_string(algorithm));
            std::int64_t q = 0;
            const Bytes expected = ModelSearch(pair.base, pair.updated, algorithm).run(&q);
            const std::optional<Bytes> got = control_stream(make_delta(pair.base, pair.updated, algorithm));
            if (!got) continue;  // match coding did not pay; nothing to compare
            EXPECT_TRUE(*got == expected);
            ++compared;
        }
    }
    EXPECT_GE(compared, 40);
}

TEST(MatchSearchRoundTrip, EveryAlgorithmRestoresGeneratedPairs) {
    for (const Pair& pair : generated_pairs()) {
        SCOPED_TRACE(pair.name);
        for (int algorithm = 1; algorithm <= 15; ++algorithm) expect_round_trip(pair.base, pair.updated, algorithm);
    }
}

TEST(MatchSearchRoundTrip, RunLengthFormsAreMatchedAgainstEachOther) {
    const std::vector<Pair> pairs = generated_pairs();
    const Pair& periodic = pairs[4];
    ASSERT_STREQ(periodic.name, "periodic runs");
    for (int algorithm : {1, 2, 4, 5, 6}) {
        const Bytes delta = make_delta(periodic.base, periodic.updated, algorithm);
        const std::uint8_t method = delta[delta.size() - kTrailerSize - kCheckLong - 1];
        EXPECT_EQ(method & 0xE0, MB_BASE_RLE | MB_UPDATED_RLE | MB_MATCHED) << algorithm;
    }
}

TEST(MatchSearchRoundTrip, EditedTextIsMatchCodedAndSmall) {
    const Bytes base = test::text_like(60000, 50);
    Bytes updated = base;
    for (std::size_t i = 1000; i < updated.size(); i += 5000) updated[i] = other(updated[i]);
    for (int algorithm = 1; algorithm <= 7; ++algorithm) {
        Bytes delta = make_delta(base, updated, algorithm);
        EXPECT_TRUE(decode(delta, static_cast<std::int64_t>(base.size())).method & MB_MATCHED) << algorithm;
        EXPECT_LT(delta.size(), 600u) << algorithm;
    }
}

TEST(MatchSearchRoundTrip, TheSameInputsGiveTheSameDelta) {
    const std::vector<Pair> pairs = generated_pairs();
    for (int algorithm : {1, 2, 5, 7}) {
        for (std::size_t i : {0u, 2u, 4u}) {
            EXPECT_TRUE(make_delta(pairs[i].base, pairs[i].updated, algorithm) ==
                        make_delta(pairs[i].base, pairs[i].updated, algorithm))
                << pairs[i].name << ", algorithm " << algorithm;
        }
    }
}

TEST(MatchSearchRoundTrip, StopDuringTheSearchEndsTheCreate) {
    const Bytes base = test::random_bytes(1 << 20, 60);
    Bytes updated = slice(base, 1 << 19, 1 << 19);
    append(updated, slice(base, 0, 1 << 19));
    int reads = 0;
    ProgressCallback stop_late = [&](const ProgressRecord& r) -> std::int16_t {
        if (r.code == PM_READ_INPUT && ++reads == 12) return ANSWER_STOP;
        return ANSWER_BY_FLAGS;
    };
    int rc = 0;
    make_delta(base, updated, 7, stop_late, &rc);
    EXPECT_EQ(rc, ERR_STOPPED);
    EXPECT_GE(reads, 12);
}

}  // namespace
}  // namespace quoralith
