// Block packer: pinned block and trailer bytes, the integer codes and the
// literal table, round trips over many data shapes, the conformance vectors,
// and corrupt packed forms that must be refused without reading astray.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <set>
#include <vector>

#include "coder/format.h"
#include "coder/packer.h"
#include "coder/packer_block.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;
using namespace packer;

constexpr std::uint32_t kRunsP = 36;      // algorithms 0 to 2
constexpr std::uint32_t kNoRunsP = 30000;  // all others: longer than a block

Bytes channel_bytes(const TempFile& file) {
    std::fflush(file.get());  // the length comes from the file system
    Channel c = file.channel();
    Bytes out(static_cast<std::size_t>(c.length()));
    EXPECT_EQ(c.read_at(0, out.data(), static_cast<std::int64_t>(out.size())), static_cast<std::int64_t>(out.size()));
    return out;
}

TempFile temp_with(const Bytes& data) {
    TempFile file;
    EXPECT_TRUE(file.open());
    Channel c = file.channel();
    if (!data.empty()) {
        EXPECT_EQ(c.write(data.data(), static_cast<std::int64_t>(data.size())), std::int64_t(data.size()));
    }
    return file;
}

// Packs through files; returns the result code and the packed bytes.
std::int64_t pack(const Bytes& data, std::uint32_t threshold, Bytes& packed) {
    TempFile in = temp_with(data);
    TempFile out;
    EXPECT_TRUE(out.open());
    Channel ic = in.channel(), oc = out.channel();
    std::int64_t rc = pack_stream(ic, static_cast<std::int64_t>(data.size()), threshold, oc);
    packed = channel_bytes(out);
    if (rc >= 0) {
        EXPECT_EQ(rc, static_cast<std::int64_t>(packed.size()));
    }
    return rc;
}

// Unpacks the form found at [begin, end) of `stored`.
std::int64_t unpack(const Bytes& stored, std::int64_t begin, std::int64_t end, std::uint32_t threshold, Bytes& data) {
    TempFile in = temp_with(stored);
    TempFile out;
    EXPECT_TRUE(out.open());
    Channel ic = in.channel(), oc = out.channel();
    std::int64_t rc = unpack_stream(ic, begin, end, threshold, oc);
    data = channel_bytes(out);
    return rc;
}

std::int64_t unpack(const Bytes& packed, std::uint32_t threshold, Bytes& data) {
    return unpack(packed, 0, static_cast<std::int64_t>(packed.size()), threshold, data);
}

void expect_round_trip(const Bytes& data, std::uint32_t threshold, bool must_pack, const std::string& what) {
    SCOPED_TRACE(what + ", " + std::to_string(data.size()) + " bytes, P=" + std::to_string(threshold));
    Bytes packed;
    std::int64_t rc = pack(data, threshold, packed);
    if (rc == PACK_NOT_SMALLER) {
        EXPECT_FALSE(must_pack);
        return;
    }
    ASSERT_GT(rc, 0);
    EXPECT_LT(rc, static_cast<std::int64_t>(data.size()));
    Bytes back;
    ASSERT_EQ(unpack(packed, threshold, back), static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(back == data);
}

Bytes block_of(BlockPacker& packer, const Bytes& data) {
    std::size_t n = packer.pack(data.data(), data.size());
    return Bytes(packer.data(), packer.data() + n);
}

Bytes unpack_block(const Bytes& coded, std::size_t len, std::uint32_t threshold, const std::uint8_t** start = nullptr) {
    BlockUnpacker unpacker(threshold, kBlockShift);
    Bytes out(len);
    const std::uint8_t* s = unpacker.unpack(coded.data(), coded.data() + coded.size(), len, out.data());
    if (start) *start = s;
    if (!s) return {};
    return out;
}

// ---------------------------------------------------------------- pinned bytes

TEST(BlockPacker, InputsOfThreeBytesOrLessNeverPack) {
    for (std::size_t n = 0; n <= 3; ++n) {
        Bytes packed;
        EXPECT_EQ(pack(Bytes(n, 0), kRunsP, packed), PACK_NOT_SMALLER) << n;
    }
}

TEST(BlockPacker, BlockWithoutRepetitionIsStoredOneByteLonger) {
    Bytes data(200);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i);
    BlockPacker packer(kRunsP);
    Bytes coded = block_of(packer, data);
    ASSERT_EQ(coded.size(), data.size() + 1);
    EXPECT_TRUE(std::equal(data.begin(), data.end(), coded.begin()));
    EXPECT_EQ(coded.back(), kMarkerStored);
    EXPECT_EQ(unpack_block(coded, data.size(), kRunsP), data);

    // Short blocks are always stored.
    Bytes five = {7, 7, 7, 7, 7};
    EXPECT_EQ(block_of(packer, five), (Bytes{7, 7, 7, 7, 7, kMarkerStored}));
}

TEST(BlockPacker, EqualBlockBecomesStoredPrepassForm) {
    // A period-1 run item of 8190 bytes (A = 8154: tokens 254, 213) and a
    // 2-byte literal item (token 8); six bytes with no 3-byte repetition.
    BlockPacker packer(kRunsP);
    Bytes coded = block_of(packer, Bytes(kBlockSize, 'x'));
    EXPECT_EQ(coded, (Bytes{'x', 254, 213, 'x', 'x', 8, kMarkerPrepassStored}));
    EXPECT_EQ(unpack_block(coded, kBlockSize, kRunsP), Bytes(kBlockSize, 'x'));

    // 48 equal bytes end in the run item: no empty literal item follows.
    std::uint8_t form[128];
    Bytes equal48(48, 0);
    ASSERT_EQ(prepass(equal48.data(), equal48.size(), kRunsP, form), 2u);
    EXPECT_EQ(form[0], 0);
    EXPECT_EQ(form[1], (12 << 3) | 1);
    EXPECT_EQ(block_of(packer, equal48), (Bytes{0, 0x61, kMarkerPrepassStored}));
}

TEST(BlockPacker, PrepassItemsForPeriodsOneToThree) {
    // literal "ab", a period-2 run of 60 bytes, literal "Q", a period-3 run of 42
    // bytes, then a 40-byte literal (two-byte token).
    Bytes data = {'a', 'b', 'c', 'd', 'e', 'f'};
    for (int i = 0; i < 30; ++i) data.insert(data.end(), {'x', 'y'});
    data.insert(data.end(), {'Q', 'R', 'S', 'T', 'U', 'V'});
    for (int i = 0; i < 14; ++i) data.insert(data.end(), {'1', '2', '3'});
    for (int i = 0; i < 40; ++i) data.push_back(static_cast<std::uint8_t>(100 + i));
    std::uint8_t form[512];
    std::size_t n = prepass(data.data(), data.size(), kRunsP, form);
    Bytes expected = {'a', 'b', 'c', 'd', 'e', 'f', 5 << 3, 'x', 'y', ((60 - 36) / 2) << 3 | 2,
                      'Q', 'R', 'S', 'T', 'U', 'V', 5 << 3, '1', '2', '3', ((42 - 36) / 3) << 3 | 3};
    for (int i = 0; i < 40; ++i) expected.push_back(static_cast<std::uint8_t>(100 + i));
    expected.insert(expected.end(), {1, (7 << 3) | 4});  // A = 39
    EXPECT_EQ(Bytes(form, form + n), expected);
    // Without runs the block is coded as it is.
    EXPECT_EQ(prepass(data.data(), data.size(), kNoRunsP, form), 0u);
    expect_round_trip(data, kRunsP, true, "three periods");
}

TEST(BlockPacker, TrailerHasThreeBytesUpTo64BlocksAndFiveBeyond) {
    Bytes data = test::text_like(63 * kBlockSize + 100, 5);
    Bytes packed;
    ASSERT_GT(pack(data, kRunsP, packed), 0);
    ASSERT_GE(packed.size(), 3u);
    EXPECT_EQ(Bytes(packed.end() - 3, packed.end()), (Bytes{0x80, 99, 63}));
    Bytes back;
    EXPECT_EQ(unpack(packed, kRunsP, back), static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(back == data);

    data = test::text_like(65 * kBlockSize, 6);
    ASSERT_GT(pack(data, kRunsP, packed), 0);
    EXPECT_EQ(Bytes(packed.end() - 5, packed.end()), (Bytes{0x9F, 0xFF, 0, 1, 0x40}));
    EXPECT_EQ(unpack(packed, kRunsP, back), static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(back == data);
}

// A long input is coded in large pieces whose halves two threads code: the
// packed form must still be every block coded by itself, in order, then the
// trailer, whatever the mix of block kinds and a short last block.
TEST(BlockPacker, ALongInputIsItsBlocksCodedInOrder) {
    Bytes data;
    for (int piece = 0; data.size() < 300 * kBlockSize; ++piece) {
        const Bytes part = piece % 3 == 0   ? test::random_bytes(3 * kBlockSize + 77, piece)
                           : piece % 3 == 1 ? test::text_like(5 * kBlockSize + 1000, piece)
                                            : Bytes(2 * kBlockSize + 13, static_cast<std::uint8_t>(piece));
        data.insert(data.end(), part.begin(), part.end());
    }
    for (const std::uint32_t threshold : {kRunsP, kNoRunsP}) {
        SCOPED_TRACE(threshold);
        Bytes packed;
        ASSERT_GT(pack(data, threshold, packed), 0);
        Bytes expected;
        BlockPacker coder(threshold);
        for (std::size_t at = 0; at < data.size(); at += kBlockSize) {
            const std::size_t len = std::min<std::size_t>(kBlockSize, data.size() - at);
            const std::size_t coded = coder.pack(data.data() + at, len);
            expected.insert(expected.end(), coder.data(), coder.data() + coded);
        }
        ASSERT_EQ(packed.size(), expected.size() + 5);  // the five-byte trailer of more than 64 blocks
        EXPECT_TRUE(std::equal(expected.begin(), expected.end(), packed.begin()));
        Bytes back;
        EXPECT_EQ(unpack(packed, threshold, back), static_cast<std::int64_t>(data.size()));
        EXPECT_TRUE(back == data);
    }
}

TEST(BlockPacker, LiteralsWithoutRepeatsAreRawAndRepeatedOnesUseTheTable) {
    // 40 distinct bytes, twice: one match, and the 40 later bytes as literals.
    Bytes data;
    for (int i = 0; i < 40; ++i) data.push_back(static_cast<std::uint8_t>(7 * i + 3));
    Bytes twice = data;
    twice.insert(twice.end(), data.begin(), data.end());
    BlockPacker packer(kNoRunsP);
    Bytes coded = block_of(packer, twice);
    ASSERT_LT(coded.size(), twice.size());
    ASSERT_EQ(coded.back() & 0xF0, kMarkerNoPrepass);
    BitSource bits(coded.data(), coded.data() + coded.size() - 1, coded.back() & 0x0F);
    EXPECT_EQ(bits.get(kBlockShift), 40u);
    EXPECT_EQ(bits.get(1), 0u);  // raw
    for (int i = 39; i >= 0; --i) EXPECT_EQ(bits.get(8), data[static_cast<std::size_t>(i)]);
    EXPECT_EQ(unpack_block(coded, twice.size(), kNoRunsP), twice);

    // Literals drawn from a few values take the table.
    std::mt19937 rng(3);
    Bytes skewed;
    for (int i = 0; i < 3000; ++i) skewed.push_back("aaaaaaabbbcd"[rng() % 12]);
    coded = block_of(packer, skewed);
    ASSERT_LT(coded.size(), skewed.size());
    BitSource table_bits(coded.data(), coded.data() + coded.size() - 1, coded.back() & 0x0F);
    std::uint32_t count = table_bits.get(kBlockShift);
    EXPECT_GT(count, 0u);
    EXPECT_EQ(table_bits.get(1), 1u);  // table-coded
    EXPECT_EQ(unpack_block(coded, skewed.size(), kNoRunsP), skewed);
}

// ---------------------------------------------------------------- codes and table

TEST(BlockPacker, IntegerCodesRoundTripAtTheirStatedCost) {
    std::vector<std::uint32_t> values = {1, 2, 3, 4, 5, 7, 8, 31, 32, 33, 100, 255, 256, 1000, 4095, 8191, 8192};
    std::vector<std::uint8_t> buffer(1 << 20);
    BitSink sink;
    sink.reset(buffer.data(), buffer.size());
    std::uint64_t expected_bits = 0;
    for (std::uint32_t v : values)
        for (int type = 0; type < kCodeTypes; ++type) {
            std::uint64_t before = sink.bit_count();
            sink.put_code(type, v);
            EXPECT_EQ(sink.bit_count() - before, code_cost(type, v)) << "type " << type << " value " << v;
            expected_bits += code_cost(type, v);
        }
    int last_bits = 0;
    std::size_t size = sink.finish(last_bits);
    ASSERT_FALSE(sink.overflow());
    EXPECT_EQ(size, (expected_bits + 7) / 8);
    BitSource source(buffer.data(), buffer.data() + size, last_bits);
    for (auto v = values.rbegin(); v != values.rend(); ++v)
        for (int type = kCodeTypes - 1; type >= 0; --type)
            EXPECT_EQ(source.get_code(type), *v) << "type " << type;
    EXPECT_FALSE(source.failed());
    EXPECT_EQ(source.position(), buffer.data());
    source.get(1);
    EXPECT_TRUE(source.failed());
}

TEST(BlockPacker, IntegerCodeBitsArePinned) {
    auto bits_of = [](int type, std::uint32_t v) {
        std::uint8_t buffer[8] = {};
        BitSink sink;
        sink.reset(buffer, sizeof buffer);
        sink.put_code(type, v);
        int last = 0;
        sink.finish(last);
        return std::make_pair(std::uint32_t{buffer[0]} | std::uint32_t{buffer[1]} << 8, sink.bit_count());
    };
    // type 0, 3: i = 2; value 0 in 2 bits, a 0, one 1-bit.
    EXPECT_EQ(bits_of(0, 3), std::make_pair(0x08u, std::uint64_t{4}));
    // type 2, 7: (7-1) mod 4 = 2, a 0, (7-1) div 4 = 1 one-bit.
    EXPECT_EQ(bits_of(2, 7), std::make_pair(0x0Au, std::uint64_t{4}));
    // type 6, 5: c = 2; value 1 in 2 bits, then 2 in 4 bits.
    EXPECT_EQ(bits_of(6, 5), std::make_pair(0x09u, std::uint64_t{6}));
    // type 7, 4: a 0, then three 1-bits.
    EXPECT_EQ(bits_of(7, 4), std::make_pair(0x0Eu, std::uint64_t{4}));
}

TEST(BlockPacker, LiteralTableIsASelfInversePermutation) {
    LiteralTable table;
    table.m = 5;
    const std::uint8_t chosen[] = {'e', 2, 't', 0, ' '};
    place_literal_table(table, chosen);
    // 2 and 0 keep their own slots; the others fill 1, 3, 4 in list order.
    EXPECT_EQ(Bytes(table.slots.begin(), table.slots.begin() + 5), (Bytes{0, 'e', 2, 't', ' '}));
    std::set<int> seen;
    for (int b = 0; b < 256; ++b) {
        seen.insert(table.code[b]);
        EXPECT_EQ(table.code[table.code[b]], b);
    }
    EXPECT_EQ(seen.size(), 256u);
    for (std::uint8_t b : chosen) EXPECT_LT(table.code[b], 5);

    // Candidates occur more than twice, by count, then by value.
    Bytes literals;
    for (int i = 0; i < 30; ++i) literals.insert(literals.end(), {'z', 'a', 'z', 'm'});
    for (int i = 0; i < 200; ++i) literals.push_back(static_cast<std::uint8_t>(128 + i % 120));
    LiteralTable chosen_table = choose_literal_table(literals.data(), literals.size());
    ASSERT_GE(chosen_table.m, 3);
    EXPECT_EQ(chosen_table.code['z'], 0);  // 60 times
    EXPECT_EQ(chosen_table.code['a'], 1);  // 30 times, tied with 'm' and smaller
    EXPECT_EQ(chosen_table.code['m'], 2);

    Bytes scattered;
    for (int i = 0; i < 256; ++i) scattered.insert(scattered.end(), {std::uint8_t(i), std::uint8_t(i)});
    EXPECT_EQ(choose_literal_table(scattered.data(), scattered.size()).m, 0);
}

// ---------------------------------------------------------------- round trips

Bytes periodic(std::size_t count, const Bytes& period) {
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = period[i % period.size()];
    return out;
}

Bytes with_substitutions(Bytes data, std::size_t every, std::uint32_t seed) {
    std::mt19937 rng(seed);
    for (std::size_t i = every / 2; i < data.size(); i += every) {
        data[i] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        if (rng() % 3 == 0 && i + 1 < data.size()) data[i + 1] ^= 0x55;
    }
    return data;
}

TEST(BlockPacker, RoundTripsManyShapes) {
    const std::size_t sizes[] = {4, 6, 7, 40, 100, 999, kBlockSize - 1, kBlockSize, kBlockSize + 1,
                                 2 * kBlockSize + 7, 3 * kBlockSize};
    for (std::uint32_t threshold : {kRunsP, kNoRunsP}) {
        for (std::size_t n : sizes) {
            expect_round_trip(test::random_bytes(n, 1), threshold, false, "random");
            expect_round_trip(test::text_like(n, 2), threshold, n >= 100, "text");
            expect_round_trip(Bytes(n, 0), threshold, n >= 40, "zeros");
            expect_round_trip(periodic(n, {1, 2}), threshold, n >= 40, "period 2");
            expect_round_trip(periodic(n, {1, 2, 3}), threshold, n >= 40, "period 3");
            expect_round_trip(periodic(n, {9, 8, 7, 6, 5}), threshold, n >= 40, "period 5");
            Bytes substituted = with_substitutions(periodic(n, test::random_bytes(300, 3)), 37, 4);
            expect_round_trip(substituted, threshold, n >= 999, "substitutions");
            Bytes mixed = test::text_like(n, 5);
            for (std::size_t at = 0; at + 200 < n; at += 700)
                std::fill(mixed.begin() + static_cast<std::ptrdiff_t>(at),
                          mixed.begin() + static_cast<std::ptrdiff_t>(at + 100 + at % 97), static_cast<std::uint8_t>(at));
            expect_round_trip(mixed, threshold, n >= 999, "text with runs");
        }
    }
}

TEST(BlockPacker, AThoroughPackerKeepsTheShortestCodingOfEachBlock) {
    // The deep create's packer: every block it writes decodes like any other,
    // is never longer than the plain packer's, and the plain packer's bytes
    // are its first choice, so a block it cannot better comes out the same.
    Bytes logs;
    const Bytes words = test::text_like(600, 8);
    std::mt19937 rng(9);
    while (logs.size() < 5 * kBlockSize) {
        const std::size_t at = rng() % 500;
        logs.insert(logs.end(), words.begin() + static_cast<std::ptrdiff_t>(at),
                    words.begin() + static_cast<std::ptrdiff_t>(at + 20 + rng() % 80));
        for (int i = 0; i < 6; ++i) logs.push_back(static_cast<std::uint8_t>('0' + rng() % 10));
    }
    const Bytes shapes[] = {logs, test::text_like(3 * kBlockSize, 10), test::random_bytes(kBlockSize, 11),
                            with_substitutions(periodic(2 * kBlockSize, test::random_bytes(300, 12)), 37, 13)};
    std::size_t plain_total = 0, thorough_total = 0;
    for (std::uint32_t threshold : {kRunsP, kNoRunsP}) {
        BlockPacker plain(threshold), thorough(threshold, true);
        for (const Bytes& data : shapes) {
            for (std::size_t at = 0; at < data.size(); at += kBlockSize) {
                const Bytes block(data.begin() + static_cast<std::ptrdiff_t>(at),
                                  data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + kBlockSize)));
                const Bytes a = block_of(plain, block);
                const Bytes b = block_of(thorough, block);
                EXPECT_LE(b.size(), a.size());
                if (b.size() == a.size()) {
                    EXPECT_EQ(a, b);
                }
                EXPECT_EQ(unpack_block(b, block.size(), threshold), block);
                plain_total += a.size();
                thorough_total += b.size();
            }
        }
    }
    // Log-like lines are where short matches cost more than their bytes.
    EXPECT_LT(thorough_total, plain_total);
}

// Bytes like machine code: a few instruction shapes with small operands and
// 32-bit displacements, and earlier fragments that recur with a byte changed
// here and there, as in the literal stream of an executable's delta.
Bytes code_like(std::size_t count, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    auto le32 = [&](std::uint32_t v) {
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    while (out.size() < count) {
        if (out.size() > 128 && rng() % 4 == 0) {
            const std::size_t len = 16 + rng() % 64;
            const std::size_t from = rng() % (out.size() - len);
            for (std::size_t i = 0; i < len; ++i) {
                std::uint8_t b = out[from + i];
                if (rng() % 11 == 0) b = static_cast<std::uint8_t>(b ^ (1 + rng() % 255));
                out.push_back(b);
            }
            continue;
        }
        switch (rng() % 5) {
            case 0:
                out.insert(out.end(), {0x48, 0x8B, 0x45, static_cast<std::uint8_t>(rng() % 16 * 8)});
                break;
            case 1:
                out.push_back(0xE8);
                le32(0xFFFF0000u + rng() % 4096);
                break;
            case 2:
                out.insert(out.end(), {0x89, 0x45, static_cast<std::uint8_t>(0xF0 + rng() % 16)});
                break;
            case 3:
                out.insert(out.end(), {0x0F, 0x84});
                le32(rng() % 512);
                break;
            default:
                out.insert(out.end(), {0x55, 0x48, 0x89, 0xE5});
                break;
        }
    }
    out.resize(count);
    return out;
}

TEST(BlockPacker, TheThoroughPackersParseDecodesAndNeverLoses) {
    // The thorough packer also codes each block by a parse of least cost,
    // which ends its matches anywhere, chains them into groups and prices
    // every field: whatever it writes must decode, on whole blocks and short
    // ones, with and without the run pre-pass, and must never be longer than
    // the plain packer's block.
    Bytes runs_in_text = test::text_like(2 * kBlockSize, 20);
    for (std::size_t at = 100; at + 300 < runs_in_text.size(); at += 900)
        std::fill(runs_in_text.begin() + static_cast<std::ptrdiff_t>(at),
                  runs_in_text.begin() + static_cast<std::ptrdiff_t>(at + 40 + at % 200), static_cast<std::uint8_t>(at));
    Bytes sparse(kBlockSize, 0);
    std::mt19937 rng(21);
    for (int i = 0; i < 300; ++i) sparse[rng() % sparse.size()] = static_cast<std::uint8_t>(rng());
    // Small numbers in wide fields: every source matches through a
    // substitution every third byte, so the parse cuts its stretches.
    Bytes wide(kBlockSize, 0);
    for (std::size_t at = 2; at < wide.size(); at += 3) wide[at] = static_cast<std::uint8_t>(rng() % 40);
    const Bytes code = code_like(4 * kBlockSize, 22);
    const Bytes shapes[] = {code,
                            runs_in_text,
                            sparse,
                            wide,
                            test::random_bytes(kBlockSize, 23),
                            with_substitutions(periodic(kBlockSize, test::random_bytes(41, 24)), 9, 25),
                            periodic(kBlockSize, {7, 7, 7, 1})};
    const std::size_t short_lengths[] = {6, 7, 8, 9, 12, 17, 33, 100, 777};
    std::size_t plain_code = 0, thorough_code = 0;
    for (std::uint32_t threshold : {kRunsP, kNoRunsP}) {
        BlockPacker plain(threshold), thorough(threshold, true);
        for (const Bytes& data : shapes) {
            std::vector<Bytes> blocks;
            for (std::size_t at = 0; at < data.size(); at += kBlockSize)
                blocks.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                                    data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + kBlockSize)));
            for (std::size_t len : short_lengths) {
                const std::size_t at = (len * 131) % (data.size() - len);
                blocks.emplace_back(data.begin() + static_cast<std::ptrdiff_t>(at),
                                    data.begin() + static_cast<std::ptrdiff_t>(at + len));
            }
            for (const Bytes& block : blocks) {
                SCOPED_TRACE(std::to_string(block.size()) + " bytes, P=" + std::to_string(threshold));
                const Bytes a = block_of(plain, block);
                const Bytes b = block_of(thorough, block);
                EXPECT_LE(b.size(), a.size());
                EXPECT_EQ(unpack_block(b, block.size(), threshold), block);
                if (&data == &shapes[0] && block.size() == kBlockSize) {
                    plain_code += a.size();
                    thorough_code += b.size();
                }
            }
        }
    }
    // Near-repeats with scattered changes are where a greedy search, taking
    // the longest stretch at each byte, leaves most on the table.
    EXPECT_LT(thorough_code * 100, plain_code * 97);
}

TEST(BlockPacker, TheThoroughPackersParseKeepsStretchesInsideTheBlock) {
    // Stretches whose source starts right after them, runs to the block's
    // last byte, is changed in its first or last bytes, or repeats once
    // more: an offset or a length one too large would point the decoder
    // past the block or into the stretch itself.
    std::mt19937 rng(30);
    std::size_t coded = 0, plain_coded = 0;
    for (std::uint32_t threshold : {kRunsP, kNoRunsP}) {
        BlockPacker plain(threshold), thorough(threshold, true);
        for (std::size_t half = 3; half < 120; half += 1 + half / 8) {
            const Bytes a = code_like(half, static_cast<std::uint32_t>(half));
            for (int shape = 0; shape < 5; ++shape) {
                Bytes block = a;
                Bytes copy = a;
                if (shape >= 1 && shape <= 3) copy[rng() % half] ^= 0x21;
                if (shape == 2) copy.back() ^= 0x42;
                if (shape == 3) copy.front() ^= 0x42;
                if (shape == 3) block.insert(block.begin(), {0x90, 0x90, 0x91});
                block.insert(block.end(), copy.begin(), copy.end());
                // A third copy: the first could run on into its source.
                if (shape == 4) block.insert(block.end(), a.begin(), a.end());
                SCOPED_TRACE(std::to_string(block.size()) + " bytes, shape " + std::to_string(shape));
                const Bytes b = block_of(thorough, block);
                const Bytes p = block_of(plain, block);
                EXPECT_LE(b.size(), p.size());
                EXPECT_EQ(unpack_block(b, block.size(), threshold), block);
                coded += b.size();
                plain_coded += p.size();
            }
        }
    }
    EXPECT_LT(coded, plain_coded);
}

TEST(BlockPacker, BitCodedBlocksInPrepassFormRoundTrip) {
    // Runs between repeated text: the pre-pass form is itself bit-coded, and its
    // decoder must expand tokens as they appear and stop at the block's start.
    std::mt19937 rng(9);
    for (int trial = 0; trial < 40; ++trial) {
        Bytes data;
        std::size_t len = 200 + rng() % (kBlockSize - 200);
        Bytes words = test::text_like(64, static_cast<std::uint32_t>(trial));
        while (data.size() < len) {
            int what = static_cast<int>(rng() % 4);
            if (what == 0) {
                data.insert(data.end(), 36 + rng() % 300, static_cast<std::uint8_t>(rng()));
            } else if (what == 1) {
                Bytes p = {static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng()), static_cast<std::uint8_t>(rng())};
                Bytes run = periodic(36 + 6 * (rng() % 40), Bytes(p.begin(), p.begin() + 1 + rng() % 3));
                data.insert(data.end(), run.begin(), run.end());
            } else {
                std::size_t from = rng() % 32;
                data.insert(data.end(), words.begin() + static_cast<std::ptrdiff_t>(from), words.end());
            }
        }
        data.resize(len);
        BlockPacker packer(kRunsP);
        Bytes coded = block_of(packer, data);
        ASSERT_LE(coded.size(), len + 1);
        // Bytes in front of the block belong to an earlier block: the decoder
        // must stop exactly where this one begins.
        Bytes framed = test::random_bytes(50, static_cast<std::uint32_t>(trial));
        framed.insert(framed.end(), coded.begin(), coded.end());
        const std::uint8_t* start = nullptr;
        EXPECT_EQ(unpack_block(framed, len, kRunsP, &start), data) << trial;
        EXPECT_EQ(start, framed.data() + 50) << trial;
    }
}

TEST(BlockPacker, UnpacksAFormInsideALargerStream) {
    Bytes data = test::text_like(3 * kBlockSize + 11, 12);
    Bytes packed;
    ASSERT_GT(pack(data, kRunsP, packed), 0);
    Bytes stored = test::random_bytes(123, 1);
    stored.insert(stored.end(), packed.begin(), packed.end());
    Bytes tail = test::random_bytes(77, 2);
    stored.insert(stored.end(), tail.begin(), tail.end());
    Bytes back;
    EXPECT_EQ(unpack(stored, 123, 123 + static_cast<std::int64_t>(packed.size()), kRunsP, back),
              static_cast<std::int64_t>(data.size()));
    EXPECT_TRUE(back == data);
    // A begin inside the form, or extra bytes in front of it, do not fit.
    EXPECT_EQ(unpack(stored, 124, 123 + static_cast<std::int64_t>(packed.size()), kRunsP, back), ERR_MALFORMED);
    EXPECT_EQ(unpack(stored, 122, 123 + static_cast<std::int64_t>(packed.size()), kRunsP, back), ERR_MALFORMED);
}

// ---------------------------------------------------------------- vectors

struct PackedVector {
    Bytes payload;  // the packed form
    Bytes updated;
    std::uint32_t threshold;
};

PackedVector packed_vector(const std::string& name) {
    PackedVector v;
    Bytes delta = test::read_file(test::vector_path(name, "delta.bin"));
    v.updated = test::read_file(test::vector_path(name, "updated.bin"));
    EXPECT_GT(delta.size(), 57u + 256u);
    if (delta.size() <= 57 + 256) return v;
    int check = delta[delta.size() - 56 + 8] | delta[delta.size() - 56 + 9] << 8;
    std::size_t method_at = delta.size() - 56 - static_cast<std::size_t>(check) - 1;
    std::uint8_t method = delta[method_at];
    EXPECT_EQ(method & 0xF0, 0x10);  // packed, not match-coded
    v.threshold = (method & 0x0F) <= 2 ? kRunsP : kNoRunsP;
    v.payload.assign(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(method_at));
    return v;
}

TEST(BlockPacker, ReadsAndWritesTheIndependentVectors) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    for (const char* name : {"packed_prepass_bitcoded", "packed_table_literals_alg7"}) {
        SCOPED_TRACE(name);
        PackedVector v = packed_vector(name);
        ASSERT_FALSE(v.payload.empty());
        Bytes back;
        ASSERT_EQ(unpack(v.payload, v.threshold, back), static_cast<std::int64_t>(v.updated.size()));
        EXPECT_TRUE(back == v.updated);
        // Packing follows one procedure, so an independent packer writes the same bytes.
        Bytes packed;
        ASSERT_GT(pack(v.updated, v.threshold, packed), 0);
        EXPECT_TRUE(packed == v.payload);
    }
}

TEST(BlockPacker, ReadsThePackedLiteralStreamOfAMatchCodedVector) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    Bytes delta = test::read_file(test::vector_path("match_alg2_positioned_packed", "delta.bin"));
    ASSERT_GT(delta.size(), 56u + 256u + 9u);
    const std::size_t method_at = delta.size() - 56 - 256 - 1;
    ASSERT_EQ(delta[method_at], 0x32);
    const std::uint8_t* header = delta.data() + method_at - 8;
    const std::uint32_t updated_length = get_be32(header);
    const std::uint32_t control_length = get_be32(header + 4);
    // The literal stream lies between the control stream and the method header.
    Bytes literals;
    std::int64_t rc = unpack(delta, control_length, static_cast<std::int64_t>(method_at - 8), kRunsP, literals);
    ASSERT_GT(rc, 0);
    EXPECT_LE(rc, static_cast<std::int64_t>(updated_length));
    // Its 35 literal bytes form one stored block, longer than the bytes
    // themselves: a reader takes such a form even though our packer, finding
    // it not smaller, would have stored the literals raw.
    ASSERT_EQ(rc, 35);
    EXPECT_TRUE(std::equal(literals.begin(), literals.end(), delta.begin() + control_length));
    Bytes repacked;
    EXPECT_EQ(pack(literals, kRunsP, repacked), PACK_NOT_SMALLER);
}

// ---------------------------------------------------------------- corrupt forms

void expect_refused_or_sized(const Bytes& form, std::uint32_t threshold) {
    Bytes out;
    std::int64_t rc = unpack(form, threshold, out);
    if (rc >= 0) {
        EXPECT_EQ(rc, static_cast<std::int64_t>(out.size()));
    } else {
        EXPECT_EQ(rc, ERR_MALFORMED);
    }
}

TEST(BlockPacker, CorruptFormsAreRefusedWithoutStrayAccess) {
    Bytes mixed = test::text_like(2 * kBlockSize + 500, 21);
    std::fill(mixed.begin() + 3000, mixed.begin() + 3400, 'q');
    for (std::uint32_t threshold : {kRunsP, kNoRunsP}) {
        Bytes packed;
        ASSERT_GT(pack(mixed, threshold, packed), 0);
        Bytes back;
        // Every truncation at the front leaves the first block reaching below begin.
        for (std::size_t cut = 1; cut < packed.size(); cut += 1 + cut / 4)
            EXPECT_EQ(unpack(Bytes(packed.begin() + static_cast<std::ptrdiff_t>(cut), packed.end()), threshold, back),
                      ERR_MALFORMED)
                << "front cut " << cut;
        for (std::size_t cut = 1; cut < packed.size(); cut += 1 + cut / 4)
            expect_refused_or_sized(Bytes(packed.begin(), packed.end() - static_cast<std::ptrdiff_t>(cut)), threshold);
        std::mt19937 rng(threshold);
        for (int trial = 0; trial < 600; ++trial) {
            Bytes flipped = packed;
            int flips = 1 + static_cast<int>(rng() % 3);
            for (int f = 0; f < flips; ++f) flipped[rng() % flipped.size()] ^= static_cast<std::uint8_t>(1 + rng() % 255);
            expect_refused_or_sized(flipped, threshold);
        }
    }
    // Garbage of every small length, and garbage under a valid trailer.
    std::mt19937 rng(77);
    for (int trial = 0; trial < 400; ++trial) {
        Bytes garbage = test::random_bytes(1 + rng() % 3000, static_cast<std::uint32_t>(trial));
        expect_refused_or_sized(garbage, trial % 2 ? kRunsP : kNoRunsP);
        if (garbage.size() > 10) {
            garbage.insert(garbage.end(), {0x9F, 0xFF, 1});
            expect_refused_or_sized(garbage, kRunsP);
        }
    }
    // Trailers that claim too much or are malformed in themselves.
    Bytes back;
    EXPECT_EQ(unpack(Bytes{1, 0xC0, 0x80, 0x01, 0x00}, kRunsP, back), ERR_MALFORMED);  // 2 bytes, 1 stored
    EXPECT_EQ(unpack(Bytes{9, 0xC0, 0x80, 0x00, 0x00}, kRunsP, back), 1);              // one stored byte
    EXPECT_EQ(back, Bytes{9});
    EXPECT_EQ(unpack(Bytes{1, 2, 0xC0, 0x00, 0x01, 0x00}, kRunsP, back), 2);  // 512-byte blocks read alike
    EXPECT_EQ(unpack(Bytes{1, 2, 0xC0, 0x01, 0xFF, 0x00}, kRunsP, back), ERR_MALFORMED);  // last > 512
    EXPECT_EQ(unpack(Bytes{9, 0xC0, 0xE0, 0x00, 0x3F}, kRunsP, back), ERR_MALFORMED);      // 64 blocks in 5 bytes
    EXPECT_EQ(unpack(Bytes{9, 0x10, 0x00, 0x00, 0x00}, kRunsP, back), ERR_MALFORMED);      // bit count 0
}

// ---------------------------------------------------------------- stop

TEST(BlockPacker, StopAnswerEndsPacking) {
    Bytes data = test::text_like(20 * kBlockSize, 31);  // several reads
    test::ScratchDir dir;
    test::write_file(dir.file("in"), data);
    std::FILE* file = std::fopen(dir.file("in").c_str(), "rb");
    ASSERT_NE(file, nullptr);
    int calls = 0;
    ProgressCallback stop_later = [&](const ProgressRecord&) -> std::int16_t { return ++calls > 1 ? ANSWER_STOP : ANSWER_SKIP; };
    std::uint8_t tag[24] = {};
    CoderContext context(stop_later, 2, tag);
    StreamWindow window;
    window.file = file;
    context.register_windows(&window, nullptr, nullptr);
    Channel in = Channel::of_window(context, SLOT_FIRST);
    TempFile out;
    ASSERT_TRUE(out.open());
    Channel oc = out.channel();
    EXPECT_EQ(pack_stream(in, static_cast<std::int64_t>(data.size()), kRunsP, oc), ERR_STOPPED);
    std::fclose(file);
}

}  // namespace
}  // namespace quoralith
