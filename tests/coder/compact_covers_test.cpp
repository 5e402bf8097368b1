// The compact format's cover coding: round trips of generated pairs of the
// kinds updates are made of, both searches, damaged payloads (every bit flip
// and every truncation of small ones), size claims, and stops on both sides.
#include <gtest/gtest.h>
#include <lzma.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>

#include "coder/compact/covers.h"
#include "coder/compact/covers_search.h"
#include "support/test_support.h"

namespace quoralith::compact {
namespace {

using test::Bytes;
using test::random_bytes;
using test::text_like;

Bytes encode(const Bytes& base, const Bytes& updated, int level = 19) {
    CoverOptions options;
    options.level = level;
    Bytes payload;
    EXPECT_TRUE(encode_covers(base, updated, options, payload));
    return payload;
}

DecodeStatus decode(const Bytes& base, const Bytes& payload, std::uint64_t size, Bytes& out) {
    out.clear();
    return decode_covers(base, payload, size, [&](std::span<const std::uint8_t> piece) {
        out.insert(out.end(), piece.begin(), piece.end());
        return true;
    });
}

// Encodes, decodes, and checks the bytes; returns the payload.
Bytes round_trip(const Bytes& base, const Bytes& updated, const std::string& what) {
    const Bytes payload = encode(base, updated);
    Bytes out;
    EXPECT_EQ(decode(base, payload, updated.size(), out), DecodeStatus::ok) << what;
    EXPECT_TRUE(out == updated) << what;
    return payload;
}

Bytes splice(const Bytes& a, std::size_t at, std::size_t erase, const Bytes& insert) {
    Bytes out(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(at));
    out.insert(out.end(), insert.begin(), insert.end());
    out.insert(out.end(), a.begin() + static_cast<std::ptrdiff_t>(at + erase), a.end());
    return out;
}

// A code-like Base: pointer tables of 8-byte little-endian words among
// random instructions. Relinking moves every target by the same amount.
Bytes pointer_tables(std::size_t size, std::uint32_t seed, std::uint64_t shift) {
    Bytes out = random_bytes(size, seed);
    for (std::size_t at = 0; at + 8 <= size; at += 64) {
        if ((at / 4096) % 2 == 0) continue;
        std::uint64_t word = 0x400000 + at * 3 + shift;
        std::memcpy(out.data() + at, &word, 8);
    }
    return out;
}

TEST(CompactCovers, RoundTripsTheKindsOfChangeUpdatesAreMadeOf) {
    const Bytes random = random_bytes(200000, 1);
    const Bytes text = text_like(150000, 2);
    struct Case {
        std::string name;
        Bytes base, updated;
    };
    std::vector<Case> cases;
    cases.push_back({"both empty", {}, {}});
    cases.push_back({"no Base", {}, text});
    cases.push_back({"empty Updated", text, {}});
    cases.push_back({"one byte each", {7}, {9}});
    cases.push_back({"tiny", {1, 2, 3, 4, 5, 6, 7, 8}, {1, 2, 3, 9, 5, 6, 7, 8, 8}});
    cases.push_back({"identical", random, random});
    cases.push_back({"insertions", random, splice(splice(random, 150000, 0, random_bytes(300, 3)), 1000, 0, {4})});
    cases.push_back({"deletions", random, splice(splice(random, 120000, 5000, {}), 10, 1, {})});
    {
        // A block moved from the end to the front.
        Bytes moved(random.end() - 30000, random.end());
        moved.insert(moved.end(), random.begin(), random.end() - 30000);
        cases.push_back({"moved block", random, moved});
    }
    for (int width = 1; width <= 3; ++width) {
        Bytes changed = random;
        std::mt19937 rng(static_cast<std::uint32_t>(width));
        for (int i = 0; i < 200; ++i) {
            const std::size_t at = rng() % (changed.size() - 3);
            for (int k = 0; k < width; ++k) changed[at + static_cast<std::size_t>(k)] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        }
        cases.push_back({std::to_string(width) + "-byte substitutions", random, changed});
    }
    cases.push_back({"relinked pointer tables", pointer_tables(300000, 5, 0), pointer_tables(300000, 5, 0x1000)});
    {
        Bytes runs(100000, 0);
        std::fill(runs.begin() + 40000, runs.begin() + 60000, 0xFF);
        Bytes updated_runs = runs;
        std::fill(updated_runs.begin() + 10000, updated_runs.begin() + 10100, 0xFF);
        updated_runs.insert(updated_runs.end(), 5000, 0x55);
        cases.push_back({"runs", runs, updated_runs});
    }
    cases.push_back({"overwritten with new data", random, splice(random, 90000, 256, random_bytes(256, 6))});
    cases.push_back({"edited text", text, splice(splice(text, 70000, 40, text_like(60, 7)), 500, 0, text_like(9, 8))});
    cases.push_back({"unrelated", random, random_bytes(50000, 9)});
    for (const Case& c : cases) round_trip(c.base, c.updated, c.name);
}

TEST(CompactCovers, CoversMakeSmallChangesCheap) {
    // Each pair differs by a few hundred bytes' worth of change; a coding
    // that missed the covers would cost about the whole file.
    const Bytes random = random_bytes(400000, 11);
    Bytes substituted = random;
    for (std::size_t at = 1000; at < substituted.size(); at += 4001) substituted[at] ^= 0x5A;
    EXPECT_LT(round_trip(random, substituted, "substitutions").size(), 400u);

    const Bytes relinked_base = pointer_tables(400000, 12, 0);
    EXPECT_LT(round_trip(relinked_base, pointer_tables(400000, 12, 0x2000), "relinked").size(), 600u);

    // New data overwriting Base is kept whole, not as differences.
    const Bytes fresh = random_bytes(2000, 13);
    EXPECT_LT(round_trip(random, splice(random, 200000, 2000, fresh), "overwrite").size(), 2100u);

    // No Base: the new bytes are compressed by themselves.
    EXPECT_LT(round_trip({}, Bytes(100000, 'a'), "runs without Base").size(), 100u);
}

TEST(CompactCovers, SparseSearchFindsMovedStretchesAnywhereInBase) {
    // The sparse index serves a Base too large for the suffix array; here it
    // is chosen for a small one, which must see blocks moved across it.
    const Bytes base = random_bytes(1 << 20, 21);
    Bytes updated(base.begin() + 700000, base.begin() + 900000);
    updated.insert(updated.end(), base.begin(), base.begin() + 300000);
    updated[1000] ^= 1;
    const std::vector<Cover> covers = find_covers(base, updated, {}, CoverIndex::sparse);
    std::uint64_t covered = 0, q = 0, differing = 0;
    for (const Cover& c : covers) {
        EXPECT_GE(c.q, q);
        ASSERT_LE(c.p + c.length, base.size());
        ASSERT_LE(c.q + c.length, updated.size());
        for (std::uint64_t i = 0; i < c.length; ++i) differing += base[c.p + i] != updated[c.q + i];
        covered += c.length;
        q = c.q + c.length;
    }
    EXPECT_LE(differing, 1u);
    EXPECT_GT(covered, updated.size() - 100);
    EXPECT_LT(round_trip(base, updated, "moved").size(), 200u);
}

// Small payloads with every stream present and each kind of packing.
std::vector<std::pair<Bytes, Bytes>> small_pairs() {
    std::vector<std::pair<Bytes, Bytes>> pairs;
    const Bytes text = text_like(3000, 31);
    pairs.emplace_back(text, splice(splice(text, 2000, 3, {'x', 'y'}), 100, 0, text_like(40, 32)));
    const Bytes random = random_bytes(3000, 33);
    Bytes changed = splice(random, 1500, 0, random_bytes(30, 34));
    changed[400] ^= 3;
    pairs.emplace_back(random, changed);
    pairs.emplace_back(Bytes{}, text_like(500, 35));
    // New binary records, which xz codes best.
    Bytes records;
    for (std::uint32_t i = 0; i < 300; ++i) {
        const std::uint8_t r[8] = {static_cast<std::uint8_t>(i), 0, 0, 1, static_cast<std::uint8_t>(i * 7), 0x10, 0, 0};
        records.insert(records.end(), r, r + 8);
    }
    pairs.emplace_back(random, splice(random, 1000, 0, records));
    // A Base over a megabyte: the streams are kept apart, not joined.
    const Bytes large = random_bytes((1 << 20) + 4096, 36);
    Bytes edited = splice(large, 500000, 0, records);
    edited[900000] ^= 0x40;
    pairs.emplace_back(large, splice(edited, 1000, 0, text_like(300, 37)));
    return pairs;
}

TEST(CompactCovers, EveryBitFlipAndTruncationIsRefusedOrRestoresTheRightBytes) {
    unsigned methods_seen = 0;  // bit m set when some stream was kept by method m
    for (const auto& [base, updated] : small_pairs()) {
        const Bytes payload = encode(base, updated);
        ASSERT_FALSE(payload.empty());
        if (payload[0] & 0x40) methods_seen |= 1u << (payload[0] & 3) | 0x10;
        else for (int shift = 0; shift < 6; shift += 2) methods_seen |= 1u << (payload[0] >> shift & 3) | 0x20;
        Bytes out;
        for (std::size_t bit = 0; bit < payload.size() * 8; ++bit) {
            Bytes bad = payload;
            bad[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
            const DecodeStatus s = decode(base, bad, updated.size(), out);
            ASSERT_NE(s, DecodeStatus::stopped);
            if (s == DecodeStatus::ok) ASSERT_TRUE(out == updated) << "bit " << bit;
        }
        for (std::size_t size = 0; size < payload.size(); ++size) {
            const Bytes cut(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(size));
            const DecodeStatus s = decode(base, cut, updated.size(), out);
            if (s == DecodeStatus::ok) ASSERT_TRUE(out == updated) << "size " << size;
            else ASSERT_EQ(s, DecodeStatus::damaged);
        }
        // Bytes after the payload are damage too.
        Bytes longer = payload;
        longer.push_back(0);
        EXPECT_EQ(decode(base, longer, updated.size(), out), DecodeStatus::damaged);
    }
    // The pairs reach the stored, zstd and xz forms, joined and apart.
    EXPECT_EQ(methods_seen & 0x37u, 0x37u);
}

// Sets the payload's closing check to match its (altered) bytes, so that
// the decoder's parsing meets the damage itself.
void recheck(Bytes& payload) {
    const std::uint32_t crc = lzma_crc32(payload.data(), payload.size() - 4, 0);
    for (int i = 0; i < 4; ++i) payload[payload.size() - 4 + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(crc >> (8 * i));
}

TEST(CompactCovers, DamageBehindAValidCheckIsRefusedOrDecodedWithinBounds) {
    // Under the sanitizers this shows every stream's parser stays inside
    // its bytes whatever they say, and never yields more or fewer bytes
    // than were asked for.
    for (const auto& [base, updated] : small_pairs()) {
        const Bytes payload = encode(base, updated);
        Bytes out;
        for (std::size_t bit = 0; bit < (payload.size() - 4) * 8; ++bit) {
            Bytes bad = payload;
            bad[bit / 8] ^= static_cast<std::uint8_t>(1 << (bit % 8));
            recheck(bad);
            const DecodeStatus s = decode(base, bad, updated.size(), out);
            ASSERT_NE(s, DecodeStatus::stopped);
            if (s == DecodeStatus::ok) ASSERT_EQ(out.size(), updated.size()) << "bit " << bit;
        }
        for (std::size_t size = 4; size < payload.size(); ++size) {
            Bytes cut(payload.begin(), payload.begin() + static_cast<std::ptrdiff_t>(size - 4));
            cut.resize(size);
            recheck(cut);
            EXPECT_EQ(decode(base, cut, updated.size(), out), DecodeStatus::damaged) << "size " << size;
        }
    }
}

// A payload written by hand: the methods byte, the header's varints (all
// below 128 here), the stream bytes, and the closing check.
Bytes handmade(std::uint8_t methods, std::initializer_list<std::uint8_t> header, std::initializer_list<std::uint8_t> body) {
    Bytes payload{methods};
    payload.insert(payload.end(), header);
    payload.insert(payload.end(), body);
    payload.resize(payload.size() + 4);
    recheck(payload);
    return payload;
}

TEST(CompactCovers, HandmadePayloadsPointingOutsideTheirBoundsAreRefused) {
    Bytes base(60);
    for (std::size_t i = 0; i < base.size(); ++i) base[i] = static_cast<std::uint8_t>(i);
    Bytes out;
    // One cover of 10 bytes turned 50 bytes along Base: the last ten bytes
    // of Base, all differences zero. Stored streams: control (0, 10, 100),
    // differences (10 zeros, 0 others), no new bytes.
    ASSERT_EQ(decode(base, handmade(0, {3, 2, 0}, {0, 10, 100, 10, 0}), 10, out), DecodeStatus::ok);
    EXPECT_TRUE(out == Bytes(base.end() - 10, base.end()));
    struct Case {
        const char* what;
        Bytes payload;
    };
    const Case cases[] = {
        // Turned 51 bytes (zigzag 102): the cover's last byte lies past Base.
        {"cover past Base", handmade(0, {3, 2, 0}, {0, 10, 102, 10, 0})},
        // Turned back one byte (zigzag 1) from the start of Base.
        {"cover before Base", handmade(0, {3, 2, 0}, {0, 10, 1, 10, 0})},
        {"empty run pair", handmade(0, {3, 4, 0}, {0, 10, 100, 0, 0, 10, 0})},
        {"runs shorter than the covers", handmade(0, {3, 2, 0}, {0, 10, 100, 9, 0})},
        {"runs longer than the covers", handmade(0, {3, 2, 0}, {0, 10, 100, 11, 0})},
        {"cover of no bytes", handmade(0, {6, 2, 0}, {0, 0, 0, 0, 10, 100, 10, 0})},
        {"new bytes missing", handmade(0, {0, 0, 10}, {1, 2, 3})},
        {"new bytes to spare", handmade(0, {0, 0, 2}, {1, 2, 3})},
        {"unknown flag", handmade(0x80, {0, 0, 0}, {})},
        {"control larger than covers allow", handmade(0x40, {0x80, 0x80, 0x04, 0, 0}, {})},
        {"joined flag with per-stream methods", handmade(0x44, {0, 0, 10}, {})},
        {"a zstd frame that is no frame", handmade(0x10, {0, 0, 10}, {0xFF, 0xFF, 0xFF})},
    };
    for (const Case& c : cases) EXPECT_EQ(decode(base, c.payload, 10, out), DecodeStatus::damaged) << c.what;
}

TEST(CompactCovers, AWrongSizeClaimIsRefusedWithoutAllocatingForIt) {
    const Bytes base = random_bytes(50000, 41);
    const Bytes updated = splice(base, 20000, 10, random_bytes(100, 42));
    const Bytes payload = encode(base, updated);
    Bytes out;
    EXPECT_EQ(decode(base, payload, updated.size() - 1, out), DecodeStatus::damaged);
    EXPECT_EQ(decode(base, payload, updated.size() + 1, out), DecodeStatus::damaged);
    // A size no memory could hold: refused, not attempted.
    EXPECT_EQ(decode(base, payload, std::uint64_t{1} << 62, out), DecodeStatus::damaged);
    // A Base other than the one it was made against gives other bytes, but
    // never reads outside the shorter Base.
    const Bytes shorter(base.begin(), base.begin() + 10000);
    const DecodeStatus s = decode(shorter, payload, updated.size(), out);
    EXPECT_EQ(s, DecodeStatus::damaged);
}

TEST(CompactCovers, StopsAreHonouredOnBothSides) {
    const Bytes base = random_bytes(600000, 51);
    const Bytes updated = splice(base, 300000, 0, random_bytes(5000, 52));
    CoverOptions options;
    int asked = 0;
    options.stop = [&] { return ++asked > 1; };
    Bytes payload = {1, 2, 3};
    EXPECT_FALSE(encode_covers(base, updated, options, payload));
    EXPECT_TRUE(payload.empty());
    EXPECT_GT(asked, 1);

    payload = encode(base, updated);
    int pieces = 0;
    const DecodeStatus s = decode_covers(base, payload, updated.size(), [&](std::span<const std::uint8_t>) {
        ++pieces;
        return false;
    });
    EXPECT_EQ(s, DecodeStatus::stopped);
    EXPECT_EQ(pieces, 1);
}

}  // namespace
}  // namespace quoralith::compact
