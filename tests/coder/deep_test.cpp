// The deep create: its suffix array, round trips of generated pairs of the
// kinds that updates are made of through the ordinary restore driver, the
// format rules of what it writes, and the plain create's output, which the
// deep search must leave exactly as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <random>

#include "coder/coder.h"
#include "coder/deep.h"
#include "coder/deep_search.h"
#include "coder/suffix_array.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;
using test::File;
using test::file_contents;
using test::memory_file;

// ---------------------------------------------------------------------------
// Suffix array

std::vector<std::int32_t> naive_suffix_array(const Bytes& s) {
    std::vector<std::int32_t> sa(s.size());
    std::iota(sa.begin(), sa.end(), 0);
    std::sort(sa.begin(), sa.end(), [&](std::int32_t a, std::int32_t b) {
        return std::lexicographical_compare(s.begin() + a, s.end(), s.begin() + b, s.end());
    });
    return sa;
}

TEST(SuffixArray, EqualsSortedSuffixesOnAwkwardTexts) {
    std::mt19937 random(7);
    std::vector<Bytes> texts = {{}, {5}, {1, 1}, {2, 1}, {1, 2}, Bytes(300, 0), {3, 2, 1, 0}};
    for (int alphabet : {2, 3, 4, 256}) {
        for (int length : {2, 5, 17, 64, 255, 1000, 4099}) {
            Bytes s(static_cast<std::size_t>(length));
            for (auto& c : s) c = static_cast<std::uint8_t>(random() % static_cast<unsigned>(alphabet));
            texts.push_back(s);
        }
    }
    // Periodic texts make the reduced string repeat, so the sort recurses.
    Bytes periodic;
    for (int i = 0; i < 2000; ++i) periodic.push_back(static_cast<std::uint8_t>("abcab"[i % 5]));
    texts.push_back(periodic);
    Bytes fibonacci = {'a'}, previous = {'b'};
    while (fibonacci.size() < 3000) {
        Bytes next = fibonacci;
        next.insert(next.end(), previous.begin(), previous.end());
        previous = fibonacci;
        fibonacci = next;
    }
    texts.push_back(fibonacci);
    for (const Bytes& s : texts) {
        std::vector<std::int32_t> sa(s.size());
        build_suffix_array(s.data(), static_cast<std::int32_t>(s.size()), sa.data());
        EXPECT_EQ(sa, naive_suffix_array(s)) << "length " << s.size();
    }
}

TEST(SuffixIndex, FindsTheLongestMatchAndPrefersTheNearestOfEqualOnes) {
    Bytes base = test::random_bytes(5000, 3);
    // The same 24 bytes at 1000 and 3000.
    std::copy(base.begin() + 1000, base.begin() + 1024, base.begin() + 3000);
    SuffixIndex index(base.data(), static_cast<std::int32_t>(base.size()));
    Bytes text(base.begin() + 1000, base.begin() + 1024);
    text.push_back(static_cast<std::uint8_t>(base[1024] + 1));  // ends the match
    std::int32_t position = -1;
    EXPECT_EQ(index.longest(text.data(), static_cast<std::int32_t>(text.size()), 4096, 2990, position), 24);
    EXPECT_EQ(position, 3000);
    EXPECT_EQ(index.longest(text.data(), static_cast<std::int32_t>(text.size()), 4096, 900, position), 24);
    EXPECT_EQ(position, 1000);
    EXPECT_EQ(index.longest(text.data(), static_cast<std::int32_t>(text.size()), 16, 0, position), 16);
    // Matches too short to pay for a record are not reported.
    Bytes shorter(base.begin() + 4000, base.begin() + 4005);
    shorter.push_back(static_cast<std::uint8_t>(base[4005] + 1));
    shorter.insert(shorter.end(), 10, 0);
    EXPECT_EQ(index.longest(shorter.data(), static_cast<std::int32_t>(shorter.size()), 4096, 0, position), 0);
    // The last bytes of Base, then a byte that follows them nowhere.
    Bytes tail(base.end() - 8, base.end());
    tail.push_back(0);
    EXPECT_EQ(index.longest(tail.data(), 9, 4096, 0, position), 8);
    EXPECT_EQ(position, 4992);
}

TEST(SuffixIndex, KeepsTheSuffixOrderWhenPackedIntoThreeBytes) {
    // Words with many repeats, so that the order rests on long common prefixes.
    Bytes base;
    const Bytes noise = test::random_bytes(70000, 11);
    for (std::size_t i = 0; base.size() < 70000; ++i)
        base.push_back(static_cast<std::uint8_t>(noise[i % 997] % 4 == 0 ? ' ' : 'a' + noise[i] % 3));
    std::vector<std::int32_t> sa(base.size());
    build_suffix_array(base.data(), static_cast<std::int32_t>(base.size()), sa.data());
    SuffixIndex index(base.data(), static_cast<std::int32_t>(base.size()));
    ASSERT_EQ(index.size(), static_cast<std::int32_t>(base.size()));
    for (std::int32_t rank = 0; rank < index.size(); ++rank) {
        ASSERT_EQ(index.suffix(rank), sa[static_cast<std::size_t>(rank)]) << "rank " << rank;
    }
}

TEST(SuffixIndex, ALargeBaseWithKeyTableAndFilterFindsWhatIsThere) {
    // Over 1 MiB, where the index narrows its searches with a table of
    // two-byte keys and a filter of six-byte strings.
    const std::size_t n = (std::size_t{1} << 20) + 4099;
    Bytes base(n);
    const Bytes noise = test::random_bytes(n, 12);
    for (std::size_t i = 0; i < n; ++i) base[i] = static_cast<std::uint8_t>(noise[i] % 16);
    SuffixIndex index(base.data(), static_cast<std::int32_t>(n));
    for (int k = 0; k < 40; ++k) {
        const std::size_t from = (noise[static_cast<std::size_t>(k) * 7919] * 4111u + static_cast<std::size_t>(k) * 26153u) % (n - 64);
        const std::int32_t keep = 6 + k;
        Bytes text(base.begin() + static_cast<std::ptrdiff_t>(from), base.begin() + static_cast<std::ptrdiff_t>(from) + 64);
        text[static_cast<std::size_t>(keep)] = 200;  // a byte Base never holds ends every match there
        std::int32_t position = -1;
        const std::int32_t length = index.longest(text.data(), 64, 4096, static_cast<std::int32_t>(from), position);
        EXPECT_EQ(length, keep);
        EXPECT_TRUE(std::equal(text.begin(), text.begin() + length, base.begin() + position));
    }
    // The last bytes of Base, whose suffixes are shorter than a key.
    Bytes tail(base.end() - 8, base.end());
    tail.push_back(200);
    std::int32_t position = -1;
    EXPECT_EQ(index.longest(tail.data(), 9, 4096, static_cast<std::int32_t>(n), position), 8);
    EXPECT_TRUE(std::equal(tail.begin(), tail.begin() + 8, base.begin() + position));
    // Six bytes that occur nowhere are turned away.
    const Bytes absent = {200, 201, 202, 203, 204, 205, 206};
    EXPECT_EQ(index.longest(absent.data(), 7, 4096, 0, position), 0);
}

// ---------------------------------------------------------------------------
// Round trips

struct Made {
    int length;
    Bytes delta;
};

Made make_deep(const Bytes& base, const Bytes& updated, std::int64_t window = kDeepWindow, int check = kCheckLong,
               DeepBits* bits = nullptr) {
    File b = memory_file(base), u = memory_file(updated), d(std::tmpfile());
    StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
    TrailerRecord trailer;
    trailer.set_check_length(static_cast<std::int16_t>(check));
    DeepOptions options;
    options.window = window;
    options.bits = bits;
    const int n = coder_create_deep(&bw, &uw, &dw, {}, trailer, nullptr, options);
    return {n, file_contents(d.get())};
}

Bytes make_plain(const Bytes& base, const Bytes& updated, int algorithm, int check = kCheckLong) {
    File b = memory_file(base), u = memory_file(updated), d(std::tmpfile());
    StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
    TrailerRecord trailer;
    trailer.set_check_length(static_cast<std::int16_t>(check));
    EXPECT_GT(coder_create(&bw, &uw, &dw, algorithm, {}, trailer), 0);
    return file_contents(d.get());
}

Bytes restore(const Bytes& base, const Bytes& delta, int& result) {
    File b = memory_file(base), d = memory_file(delta), o(std::tmpfile());
    StreamWindow bw{b.get()}, dw{d.get()}, ow{o.get(), 0, 0};
    TrailerRecord trailer;
    result = coder_restore(&bw, &dw, &ow, {}, &trailer);
    return file_contents(o.get());
}

// The method byte of a delta with a check block of `check` bytes.
std::uint8_t method_byte(const Bytes& delta, int check = kCheckLong) {
    return delta[delta.size() - kTrailerSize - static_cast<std::size_t>(check) - 1];
}

struct Pair {
    const char* kind;
    Bytes base;
    Bytes updated;
};

void put_le32(Bytes& b, std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// Generated pairs of the kinds updates are made of.
std::vector<Pair> generated_pairs() {
    std::vector<Pair> pairs;
    std::mt19937 random(11);
    auto pick = [&](std::size_t below) { return static_cast<std::size_t>(random() % below); };
    const Bytes text = test::text_like(120000, 5);
    const Bytes noise = test::random_bytes(90000, 6);
    {
        Bytes u = text;
        for (int i = 0; i < 30; ++i) {
            const Bytes add = test::random_bytes(1 + pick(80), static_cast<std::uint32_t>(i));
            u.insert(u.begin() + static_cast<std::ptrdiff_t>(pick(u.size())), add.begin(), add.end());
        }
        pairs.push_back({"insertions", text, u});
    }
    {
        Bytes u = noise;
        for (int i = 0; i < 30; ++i) {
            const std::size_t at = pick(u.size() - 600);
            u.erase(u.begin() + static_cast<std::ptrdiff_t>(at), u.begin() + static_cast<std::ptrdiff_t>(at + 1 + pick(500)));
        }
        pairs.push_back({"deletions", noise, u});
    }
    {
        // Blocks moved about: copies from anywhere, backwards too.
        Bytes u;
        for (int i = 0; i < 40; ++i) {
            const std::size_t at = pick(noise.size() - 3000);
            u.insert(u.end(), noise.begin() + static_cast<std::ptrdiff_t>(at),
                     noise.begin() + static_cast<std::ptrdiff_t>(at + 500 + pick(2500)));
        }
        pairs.push_back({"moved blocks", noise, u});
    }
    for (int width = 1; width <= 3; ++width) {
        Bytes u = noise;
        for (std::size_t at = 100; at + 3 < u.size(); at += 50 + pick(200))
            for (int k = 0; k < width; ++k) u[at + static_cast<std::size_t>(k)] ^= 0xA5;
        pairs.push_back({width == 1 ? "1-byte substitutions" : width == 2 ? "2-byte substitutions" : "3-byte substitutions",
                         noise, u});
    }
    {
        // Long runs of one byte and of a short pattern, which grow and shrink.
        Bytes b, u;
        for (int i = 0; i < 20; ++i) {
            const Bytes piece = test::random_bytes(300 + pick(700), static_cast<std::uint32_t>(100 + i));
            b.insert(b.end(), piece.begin(), piece.end());
            u.insert(u.end(), piece.begin(), piece.end());
            const std::size_t run = 100 + pick(4000);
            b.insert(b.end(), run, static_cast<std::uint8_t>(i));
            u.insert(u.end(), run + pick(300), static_cast<std::uint8_t>(i));
            for (std::size_t k = 0; k < run; ++k) u.push_back(static_cast<std::uint8_t>("xyz"[k % 3]));
        }
        pairs.push_back({"runs", b, u});
    }
    {
        // A relinked executable: a table of pointers into the code, all moved
        // by the same amount, with new code spliced in; and instructions whose
        // 32-bit displacements changed in their low bytes.
        Bytes b = test::random_bytes(150000, 9);
        for (std::size_t at = 20000; at < 60000; at += 8) {
            put_le32(b, at, static_cast<std::uint32_t>(0x401000 + pick(100000)));
            put_le32(b, at + 4, 0);
        }
        Bytes u = b;
        for (std::size_t at = 20000; at < 60000; at += 8) {
            std::uint32_t v = static_cast<std::uint32_t>(u[at] | u[at + 1] << 8 | u[at + 2] << 16 | u[at + 3] << 24);
            put_le32(u, at, v + 0x1230);
        }
        for (std::size_t at = 70000; at < 140000; at += 16 + pick(64)) u[at] = static_cast<std::uint8_t>(u[at] + 0x30);
        const Bytes code = test::random_bytes(2000, 10);
        u.insert(u.begin() + 65000, code.begin(), code.end());
        pairs.push_back({"shifted pointer table", b, u});
    }
    pairs.push_back({"identical", text, text});
    pairs.push_back({"unrelated", text, noise});
    pairs.push_back({"no base", {}, text});
    pairs.push_back({"tiny", Bytes(150, 1), Bytes(199, 2)});
    return pairs;
}

TEST(DeepCreate, GeneratedPairsRoundTripAndAreNoLargerThanAlgorithmSeven) {
    for (const Pair& pair : generated_pairs()) {
        SCOPED_TRACE(pair.kind);
        const Made deep = make_deep(pair.base, pair.updated);
        ASSERT_GT(deep.length, 0);
        ASSERT_EQ(static_cast<std::size_t>(deep.length), deep.delta.size());
        int result = 0;
        EXPECT_EQ(restore(pair.base, deep.delta, result), pair.updated);
        EXPECT_EQ(result, static_cast<int>(pair.updated.size()));
        // A numbered algorithm whose format the decoder takes from the method byte.
        const int algorithm = method_byte(deep.delta) & 0x0F;
        EXPECT_TRUE(algorithm == 7 || algorithm == 1 || algorithm == 4) << algorithm;
        if (pair.updated.size() >= 200 && pair.base.size() >= 200) {
            EXPECT_LE(deep.delta.size(), make_plain(pair.base, pair.updated, 7).size() + 16);
        }
    }
}

TEST(DeepCreate, SmallWindowsSearchPartByPartAndStillRoundTrip) {
    // A window far below the file sizes: Updated' is searched in parts, each
    // against the stretch of Base' at its own relative place.
    for (const Pair& pair : generated_pairs()) {
        SCOPED_TRACE(pair.kind);
        const Made deep = make_deep(pair.base, pair.updated, 4096, kCheckShort);
        ASSERT_GT(deep.length, 0);
        int result = 0;
        EXPECT_EQ(restore(pair.base, deep.delta, result), pair.updated);
    }
}

TEST(DeepCreate, EditsAreCodedAsSubstitutionsInsideOneCopyRun) {
    // One- and two-byte changes in a long equal stretch cost a few control
    // bits each and their new bytes, far less than the bytes between them.
    const Bytes base = test::random_bytes(100000, 4);
    Bytes updated = base;
    for (std::size_t at = 500; at < updated.size(); at += 1000) updated[at] ^= 1;
    const Made deep = make_deep(base, updated);
    EXPECT_EQ(method_byte(deep.delta) & 0x2F, 0x27);  // match-coded, algorithm 7
    EXPECT_LT(deep.delta.size(), 100 * 3 + kTrailerSize + kCheckLong + 64);
}

TEST(DeepCreate, InsertionsDeletionsAndMovesCostTheirNewBytesAndAFewRecords) {
    // Random bytes cannot be packed, so the delta shows what the parse chose:
    // an insertion must cost its bytes and a relative record, a deletion or
    // a moved block a record or two, never the bytes around them.
    const Bytes base = test::random_bytes(400000, 21);
    Bytes updated = base;
    const Bytes inserted = test::random_bytes(700, 22);
    updated.insert(updated.begin() + 50000, inserted.begin(), inserted.end());
    updated.erase(updated.begin() + 120000, updated.begin() + 121000);
    // The block at 300000 moves to 200000.
    const Bytes moved(updated.begin() + 300000, updated.begin() + 310000);
    updated.erase(updated.begin() + 300000, updated.begin() + 310000);
    updated.insert(updated.begin() + 200000, moved.begin(), moved.end());
    DeepBits bits;
    const Made deep = make_deep(base, updated, kDeepWindow, kCheckLong, &bits);
    int result = 0;
    ASSERT_EQ(restore(base, deep.delta, result), updated);
    EXPECT_EQ(bits.literals, 700);
    EXPECT_LE(bits.positioned + bits.relative, 6);
    EXPECT_LT(deep.delta.size(), 700 + 48 + kTrailerSize + kCheckLong + 9);
}

TEST(DeepCreate, BitAccountingAddsUpToTheDeltaWritten) {
    // The accounting is what the benchmark reports as where the bits go: its
    // parts must add up to the delta's actual sections.
    for (const Pair& pair : generated_pairs()) {
        SCOPED_TRACE(pair.kind);
        DeepBits bits;
        const Made deep = make_deep(pair.base, pair.updated, kDeepWindow, kCheckLong, &bits);
        ASSERT_GT(deep.length, 0);
        EXPECT_EQ(bits.delta, deep.length);
        EXPECT_EQ(bits.algorithm, method_byte(deep.delta) & 0x0F);
        EXPECT_EQ(bits.matched, (method_byte(deep.delta) & 0x20) != 0);
        if (!bits.matched) continue;
        const std::int64_t control_bits = bits.flag_bits + bits.literal_length_bits + bits.position_bits +
                                          bits.advance_bits + bits.count_bits + bits.equal_bits +
                                          bits.substitution_flag_bits + bits.tail_bits;
        EXPECT_EQ((control_bits + 7) / 8, bits.control);
        EXPECT_EQ(bits.flag_bits, bits.positioned + bits.relative);
        EXPECT_EQ(bits.substitution_flag_bits, bits.substitutions);
        EXPECT_EQ(bits.control + bits.literals_out + 8 + 1 + kCheckLong + kTrailerSize, deep.length);
        // Without a check block (as archive members are written) there is no
        // trailer either.
        DeepBits bare;
        const Made member = make_deep(pair.base, pair.updated, kDeepWindow, 0, &bare);
        EXPECT_EQ(bare.control + bare.literals_out + 8 + 1, member.length);
        // Every Updated' byte is copied or in the literal stream, once.
        if ((method_byte(deep.delta) & 0xC0) == 0) {
            EXPECT_EQ(bits.copied + bits.literals, static_cast<std::int64_t>(pair.updated.size()));
        }
    }
}

// ---------------------------------------------------------------------------
// The plain create is unchanged

std::uint64_t fnv1a(const Bytes& bytes) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (std::uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
    return h;
}

TEST(PlainCreate, WritesTheSameDeltasAsBeforeTheDeepSearch) {
    // Every algorithm's delta of the conformance pairs and of a generated
    // pair, by length and hash, as the create driver wrote them before the
    // deep search was added. Any change here changes what users' deltas are.
    struct Saved {
        const char* pair;
        int algorithm;
        std::size_t length;
        std::uint64_t hash;
    };
    static const Saved saved[] = {
#include "deep_test_saved.inc"
    };
    std::vector<std::pair<std::string, Pair>> pairs;
    // Without the conformance vectors the generated pairs are still checked.
    const bool vectors = test::vectors_present();
    const std::vector<std::string> vector_names = {
        "alg0_multichunk_small_window", "alg0_single_chunk_types", "match_alg1_relative",
        "match_alg2_positioned_packed", "match_alg7_tail_without_position", "packed_prepass_bitcoded",
        "packed_table_literals_alg7", "stored_empty", "stored_raw_check4", "stored_rle_alg4"};
    for (const std::string& name : vectors ? vector_names : std::vector<std::string>{}) {
        const std::string base_path = test::vector_path(name, "base.bin");
        Bytes base = test::file_exists(base_path) ? test::read_file(base_path) : Bytes();
        pairs.push_back({name, {name.c_str(), base, test::read_file(test::vector_path(name, "updated.bin"))}});
    }
    for (const Pair& pair : generated_pairs()) pairs.push_back({pair.kind, pair});
    std::size_t checked = 0;
    for (const Saved& s : saved) {
        if (!vectors && std::find(vector_names.begin(), vector_names.end(), s.pair) != vector_names.end()) continue;
        const auto it = std::find_if(pairs.begin(), pairs.end(), [&](const auto& p) { return p.first == s.pair; });
        ASSERT_NE(it, pairs.end()) << s.pair;
        const Bytes delta = make_plain(it->second.base, it->second.updated, s.algorithm);
        EXPECT_EQ(delta.size(), s.length) << s.pair << " algorithm " << s.algorithm;
        EXPECT_EQ(fnv1a(delta), s.hash) << s.pair << " algorithm " << s.algorithm;
        ++checked;
    }
    EXPECT_EQ(checked, pairs.size() * 8);
    if (!vectors) GTEST_SKIP() << "conformance vectors not found: " << test::vectors_folder();
}

}  // namespace
}  // namespace quoralith
