// The match search of algorithms 1 to 15: the records it writes for simple
// edits (read back from the control stream), the local match finder's rules,
// and round trips of every algorithm over generated file pairs.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>

#include "coder/bitio.h"
#include "coder/coder.h"
#include "coder/local_match.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;

struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

File memory_file(const Bytes& data) {
    File f(std::tmpfile());
    if (!data.empty()) std::fwrite(data.data(), 1, data.size(), f.get());
    std::fflush(f.get());
    return f;
}

Bytes file_contents(std::FILE* f) {
    std::fflush(f);
    std::fseek(f, 0, SEEK_END);
    long n = std::ftell(f);
    Bytes out(static_cast<std::size_t>(n));
    std::fseek(f, 0, SEEK_SET);
    if (n > 0) {
        EXPECT_EQ(std::fread(out.data(), 1, out.size(), f), out.size());
    }
    return out;
}

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

TEST(MatchSearchRoundTrip, EveryAlgorithmRestoresGeneratedPairs) {
    for (const Pair& pair : generated_pairs()) {
        SCOPED_TRACE(pair.name);
        for (int algorithm = 1; algorithm <= 15; ++algorithm) expect_round_trip(pair.base, pair.updated, algorithm);
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
