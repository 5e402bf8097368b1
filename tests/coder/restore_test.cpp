// The restore driver: deltas written by an independent implementation, deltas
// built record by record here, and corrupt deltas that must be refused.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <random>

#include "coder/bitio.h"
#include "coder/coder.h"
#include "coder/runlength.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;

using test::File;
using test::file_contents;
using test::memory_file;

struct Restored {
    int result;
    Bytes output;
    TrailerRecord trailer;
};

Restored restore(const Bytes* base, const Bytes& delta, bool with_trailer = true) {
    File b = base ? memory_file(*base) : nullptr;
    File d = memory_file(delta);
    File o(std::tmpfile());
    StreamWindow bw{b.get()}, dw{d.get()}, ow{o.get(), 0, 0};
    Restored r;
    r.result = coder_restore(&bw, &dw, &ow, {}, with_trailer ? &r.trailer : nullptr);
    r.output = file_contents(o.get());
    return r;
}

Bytes make_delta(const Bytes& base, const Bytes& updated, int algorithm, int check_length = 256,
                 CreateShared* shared = nullptr) {
    File b = memory_file(base), u = memory_file(updated), d(std::tmpfile());
    StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
    TrailerRecord trailer;
    trailer.set_check_length(static_cast<std::int16_t>(check_length));
    int n = coder_create(&bw, &uw, &dw, algorithm, {}, trailer, shared);
    EXPECT_GT(n, 0);
    Bytes out = file_contents(d.get());
    EXPECT_EQ(static_cast<std::size_t>(n), out.size());
    return out;
}

// ---------------------------------------------------------------------------
// Conformance vectors

class Vectors : public ::testing::TestWithParam<const char*> {};

TEST_P(Vectors, RestoreAsWrittenElsewhere) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    const std::string name = GetParam();
    Bytes base = test::read_file(test::vector_path(name, "base.bin"));
    Bytes delta = test::read_file(test::vector_path(name, "delta.bin"));
    ASSERT_FALSE(delta.empty()) << "missing vector " << name;
    Restored r = restore(&base, delta);
    std::ifstream code_file(test::vector_path(name, "expected_code.txt"));
    if (code_file) {
        int expected = 0;
        code_file >> expected;
        EXPECT_EQ(r.result, expected);
        return;
    }
    Bytes expected = test::read_file(test::vector_path(name, "updated.bin"));
    ASSERT_EQ(r.result, static_cast<int>(expected.size()));
    EXPECT_EQ(r.output, expected);
}

INSTANTIATE_TEST_SUITE_P(Conformance, Vectors,
                         ::testing::Values("stored_empty", "stored_raw_check4", "packed_table_literals_alg7",
                                           "packed_prepass_bitcoded", "stored_rle_alg4", "match_alg1_relative",
                                           "match_alg2_positioned_packed", "match_alg7_tail_without_position",
                                           "alg0_single_chunk_types", "alg0_multichunk_small_window",
                                           "err_wrong_base", "err_control_truncated"));

// ---------------------------------------------------------------------------
// Deltas built record by record

// Assembles a match-coded delta body: control stream, raw literal stream,
// method header and method byte, then a check block and trailer for `base`.
class DeltaBuilder {
public:
    explicit DeltaBuilder(int check_length = 256) : check_length_(check_length) {
        control_file_.open();
        writer_ = std::make_unique<ControlWriter>(control_file_.channel(), 64);
    }
    ControlWriter& control() { return *writer_; }
    void literal(const Bytes& bytes) { literals_.insert(literals_.end(), bytes.begin(), bytes.end()); }
    void literal(const std::string& s) { literals_.insert(literals_.end(), s.begin(), s.end()); }

    Bytes finish(const Bytes& base, std::uint32_t u, std::uint8_t method, int window = -1) {
        EXPECT_EQ(writer_->finish(), 0);
        Bytes control(static_cast<std::size_t>(writer_->byte_count()));
        Channel c = control_file_.channel();
        c.read_at(0, control.data(), static_cast<std::int64_t>(control.size()));
        Bytes delta = control;
        delta.insert(delta.end(), literals_.begin(), literals_.end());
        std::uint8_t head[4];
        put_be32(head, u);
        delta.insert(delta.end(), head, head + 4);
        if (window >= 0) {
            delta.push_back(static_cast<std::uint8_t>(window >> 16));
            delta.push_back(static_cast<std::uint8_t>(window >> 8));
            delta.push_back(static_cast<std::uint8_t>(window));
        }
        put_be32(head, static_cast<std::uint32_t>(control.size()));
        delta.insert(delta.end(), head, head + 4);
        delta.push_back(method);
        append_check_and_trailer(delta, base, check_length_);
        return delta;
    }

    static void append_check_and_trailer(Bytes& delta, const Bytes& base, int check_length) {
        File b = memory_file(base);
        StreamWindow bw{b.get()};
        CoderContext context({}, 0, nullptr);
        StreamWindow none{nullptr};
        context.register_windows(&bw, &none, &none);
        Channel ch = Channel::of_window(context, 0);
        std::uint8_t check[256];
        EXPECT_EQ(compute_check_block(ch, check_length, check), 0);
        delta.insert(delta.end(), check, check + check_length);
        TrailerRecord t;
        t.set_magic();
        t.set_check_length(static_cast<std::int16_t>(check_length));
        t.set_time_slot(1, 1234567);
        t.set_attributes(1);
        delta.insert(delta.end(), t.bytes.begin(), t.bytes.end());
    }

private:
    int check_length_;
    TempFile control_file_;
    std::unique_ptr<ControlWriter> writer_;
    Bytes literals_;
};

Bytes slice(const Bytes& b, std::size_t from, std::size_t count) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(from + count));
}

TEST(RestoreRecords, RelativeAndPositionedRecordsWithSubstitutions) {
    const Bytes base = test::random_bytes(1000, 7);
    // Updated: 5 new bytes, base[0..100) with base[50] replaced, then base[600..700)
    // with two bytes replaced at 620, then 3 literal tail bytes.
    Bytes expected = {'h', 'e', 'l', 'l', 'o'};
    Bytes part = slice(base, 0, 100);
    part[50] ^= 0xFF;
    expected.insert(expected.end(), part.begin(), part.end());
    Bytes part2 = slice(base, 600, 100);
    part2[20] ^= 1;
    part2[21] ^= 1;
    expected.insert(expected.end(), part2.begin(), part2.end());
    expected.insert(expected.end(), {'x', 'y', 'z'});

    for (int algorithm : {1, 7}) {
        const int g = algorithm == 1 ? 0 : 1;
        DeltaBuilder builder;
        ControlWriter& w = builder.control();
        // Relative record: 5 literals, base advance 0; copy run 50 + sub(1) + 49.
        w.put_flag(false);
        w.put_rice(g, 6);
        w.put_rice(g, 1);
        builder.literal("hello");
        w.put_count(2);
        w.put_count(50);
        w.put_flag(false);
        builder.literal(Bytes{part[50]});
        w.put_count(49);
        // Positioned record: no literals, p = 600 in 10 bits (N = 1000).
        w.put_flag(true);
        w.put_count(1);
        w.put_bits(600, 10);
        w.put_count(2);
        w.put_count(20);
        w.put_flag(true);
        builder.literal(Bytes{part2[20], part2[21]});
        w.put_count(78);
        // Tail: a positioned record whose literals complete the output, no position.
        w.put_flag(true);
        w.put_count(4);
        builder.literal("xyz");
        Bytes delta = builder.finish(base, static_cast<std::uint32_t>(expected.size()),
                                     static_cast<std::uint8_t>(0x20 | algorithm));
        Restored r = restore(&base, delta);
        ASSERT_EQ(r.result, static_cast<int>(expected.size())) << "algorithm " << algorithm;
        EXPECT_EQ(r.output, expected);
        EXPECT_EQ(r.trailer.access_time(), 1234567);
    }
}

TEST(RestoreRecords, AlgorithmZeroChunksAndCodeTypes) {
    // Base of 1000 bytes, window 400: step 300, chunks at 0, 300, 600 (K = 3).
    const Bytes base = test::random_bytes(1000, 11);
    Bytes expected;
    const std::uint32_t u = 300;
    DeltaBuilder builder;
    ControlWriter& w = builder.control();
    // Chunk 0 slice ends at 100: literal 2, then 98 bytes of chunk 0 from offset 10 (Rice 3).
    w.put_count(3);
    builder.literal("ab");
    expected.insert(expected.end(), {'a', 'b'});
    w.put_bits(3, 3);
    w.put_bits(10, 9);  // B0 = bit length of 399
    w.put_count(1);
    w.put_rice(3, 98);
    Bytes a = slice(base, 10, 98);
    expected.insert(expected.end(), a.begin(), a.end());
    // Chunk 1 (Base 300..700) slice ends at 200: 100 bytes from chunk offset 50 with a
    // one-byte substitution after 40, count code.
    w.put_count(1);
    w.put_bits(0, 3);
    w.put_bits(50, 9);
    w.put_count(2);
    w.put_count(40);
    w.put_flag(false);
    builder.literal(Bytes{0x5A});
    w.put_count(59);
    Bytes b = slice(base, 350, 100);
    b[40] = 0x5A;
    expected.insert(expected.end(), b.begin(), b.end());
    // Chunk 2 (the last, Base 600..1000) ends at U: a literal-only record of 100 bytes.
    Bytes tail = test::random_bytes(100, 99);
    w.put_count(101);
    builder.literal(tail);
    expected.insert(expected.end(), tail.begin(), tail.end());
    Bytes delta = builder.finish(base, u, 0x20, 400);
    Restored r = restore(&base, delta);
    ASSERT_EQ(r.result, static_cast<int>(u));
    EXPECT_EQ(r.output, expected);
}

TEST(RestoreRecords, CorruptRecordsAreRefused) {
    const Bytes base = test::random_bytes(500, 3);
    auto build = [&](const std::function<void(DeltaBuilder&)>& body, std::uint32_t u) {
        DeltaBuilder builder;
        body(builder);
        return builder.finish(base, u, 0x27);
    };
    // A copy past the end of Base'.
    Bytes past_base = build(
        [](DeltaBuilder& b) {
            b.control().put_flag(true);
            b.control().put_count(1);
            b.control().put_bits(450, 9);
            b.control().put_count(1);
            b.control().put_count(100);
        },
        100);
    EXPECT_EQ(restore(&base, past_base).result, ERR_MALFORMED);
    // More output than U.
    Bytes too_long = build(
        [](DeltaBuilder& b) {
            b.control().put_flag(true);
            b.control().put_count(1);
            b.control().put_bits(0, 9);
            b.control().put_count(1);
            b.control().put_count(300);
        },
        200);
    EXPECT_EQ(restore(&base, too_long).result, ERR_MALFORMED);
    // Literals that are not there.
    Bytes no_literals = build(
        [](DeltaBuilder& b) {
            b.control().put_flag(true);
            b.control().put_count(51);
        },
        50);
    EXPECT_EQ(restore(&base, no_literals).result, ERR_MALFORMED);
    // A control stream that ends too early.
    Bytes short_control = build([](DeltaBuilder& b) { b.control().put_flag(false); }, 50);
    EXPECT_EQ(restore(&base, short_control).result, ERR_MALFORMED);
}

// The run-length form of `data` as the encoder writes it.
Bytes runlength_form(const Bytes& data) {
    File in = memory_file(data), out(std::tmpfile());
    Channel source = Channel::of_file(in.get()), sink = Channel::of_file(out.get());
    EXPECT_GE(runlength_encode(source, static_cast<std::int64_t>(data.size()), 36, sink), 0);
    return file_contents(out.get());
}

TEST(RestoreRecords, TransformedBaseIsReadAsItsFormAtAnyPosition) {
    // One Base with a few runs, whose form is described without being stored,
    // and one with more tokens than the driver describes (1 << 17), stored instead.
    Bytes few_runs = test::text_like(300000, 5);
    for (std::size_t at : {1000u, 90000u, 250000u}) few_runs.insert(few_runs.begin() + at, 5000, '=');
    Bytes many_runs;
    for (int i = 0; i < 70000; ++i) {
        many_runs.insert(many_runs.end(), 48, 0);
        Bytes noise = test::random_bytes(3, static_cast<std::uint32_t>(i));
        for (auto& b : noise) b |= 1;
        many_runs.insert(many_runs.end(), noise.begin(), noise.end());
    }
    {
        File b = memory_file(many_runs);
        Channel source = Channel::of_file(b.get());
        RunLengthMap map;
        ASSERT_EQ(runlength_map(source, static_cast<std::int64_t>(many_runs.size()), 36, 1 << 17, map), ERR_NO_MEMORY);
    }
    // Long runs between short texts: a stretch of the form reaches far into Base.
    Bytes long_runs;
    for (int i = 0; i < 200; ++i) {
        Bytes text = test::text_like(1500, static_cast<std::uint32_t>(i));
        long_runs.insert(long_runs.end(), text.begin(), text.end());
        long_runs.insert(long_runs.end(), 20000, static_cast<std::uint8_t>(i % 3));
    }
    for (const Bytes* base : {&few_runs, &many_runs, &long_runs}) {
        const Bytes form = runlength_form(*base);
        const std::uint32_t n = static_cast<std::uint32_t>(form.size());
        int bits = 1;
        while ((n - 1) >> bits) ++bits;
        // Positioned records (algorithm 1, Base' in run-length form) that copy
        // stretches of the form from scattered positions, crossing token edges.
        DeltaBuilder builder;
        ControlWriter& w = builder.control();
        Bytes expected;
        std::mt19937 rng(static_cast<std::uint32_t>(n));
        for (int i = 0; i < 300; ++i) {
            const std::uint32_t from = rng() % n;
            const std::uint32_t count = 1 + rng() % std::min<std::uint32_t>(n - from, i % 10 == 0 ? 200000 : 300);
            w.put_flag(true);
            w.put_count(1);
            w.put_bits(from, bits);
            w.put_count(1);
            w.put_count(count);
            expected.insert(expected.end(), form.begin() + from, form.begin() + from + count);
        }
        Bytes delta = builder.finish(*base, static_cast<std::uint32_t>(expected.size()), 0xA1);
        Restored r = restore(base, delta);
        ASSERT_EQ(r.result, static_cast<int>(expected.size())) << base->size();
        EXPECT_TRUE(r.output == expected) << base->size();

        // Algorithm 0 with small chunks of the form: each slice is filled by
        // copies from scattered places of its chunk.
        const std::uint32_t window = 4000, step = window * 75 / 100;
        std::uint32_t chunks = n / step;
        if (window < n - (n / step - 1) * step) ++chunks;
        const std::uint32_t u = 150000;
        DeltaBuilder chunked;
        ControlWriter& cw = chunked.control();
        Bytes chunked_expected;
        std::uint32_t c = 0;
        auto boundary = [&](std::uint32_t k) { return (k + 1) * u / chunks; };
        auto last = [&](std::uint32_t k) { return n - k * step <= window || k + 1 >= chunks; };
        while (chunked_expected.size() < u) {
            const std::uint32_t start = c * step, length = std::min(window, n - start);
            const std::uint32_t slice_end = last(c) ? u : boundary(c);
            while (chunked_expected.size() < slice_end) {
                const std::uint32_t q = rng() % length;
                const std::uint32_t count = 1 + rng() % std::min<std::uint32_t>(
                                                        length - q, slice_end - static_cast<std::uint32_t>(chunked_expected.size()));
                cw.put_count(1);  // no literal bytes
                cw.put_bits(0, 3);
                cw.put_bits(q, 12);  // bit length of window - 1
                cw.put_count(1);
                cw.put_count(count);
                chunked_expected.insert(chunked_expected.end(), form.begin() + start + q,
                                        form.begin() + start + q + count);
            }
            while (!last(c) && chunked_expected.size() >= boundary(c)) ++c;
        }
        Restored chunked_r = restore(base, chunked.finish(*base, u, 0xA0, static_cast<int>(window)));
        ASSERT_EQ(chunked_r.result, static_cast<int>(u)) << base->size();
        EXPECT_TRUE(chunked_r.output == chunked_expected) << base->size();
    }
}

TEST(RestoreRecords, BothFilesInRunLengthFormRoundTrip) {
    // Runs in both files: the delta matches the transformed files and the
    // transformed Updated is expanded as its records are decoded.
    Bytes base = test::text_like(200000, 8);
    for (std::size_t at : {500u, 70000u, 150000u}) base.insert(base.begin() + at, 3000, '-');
    Bytes updated = base;
    updated.insert(updated.begin() + 100000, 7000, ' ');
    const Bytes inserted = test::random_bytes(2000, 1);
    updated.insert(updated.begin() + 20000, inserted.begin(), inserted.end());
    updated[180000] ^= 0x40;
    for (int algorithm : {0, 1, 4, 6}) {
        Bytes delta = make_delta(base, updated, algorithm);
        const std::uint8_t method = delta[delta.size() - 56 - 256 - 1];
        EXPECT_EQ(method & 0xE0, 0xE0) << "algorithm " << algorithm;
        Restored r = restore(&base, delta);
        ASSERT_EQ(r.result, static_cast<int>(updated.size())) << "algorithm " << algorithm;
        EXPECT_TRUE(r.output == updated) << "algorithm " << algorithm;
        // Here the check is folded into the pass that maps Base's runs: a
        // change anywhere, even inside a run or in the very last byte, is seen.
        for (std::size_t at : {std::size_t{0}, std::size_t{71000}, base.size() - 1}) {
            Bytes other = base;
            other[at] ^= 0x01;
            EXPECT_EQ(restore(&other, delta).result, ERR_WRONG_BASE) << "algorithm " << algorithm << " at " << at;
        }
    }
}

// Packed literals are unpacked into memory up to a megabyte and into a
// temporary file beyond: both must give the same bytes.
TEST(RestoreRecords, ShortAndLongLiteralStreamsRoundTrip) {
    const Bytes base = test::text_like(300000, 3);
    for (std::size_t length : {std::size_t{40000}, std::size_t{1600000}}) {
        Bytes updated = test::text_like(length, 4);  // little of it in Base: mostly literals
        updated.insert(updated.begin() + static_cast<std::ptrdiff_t>(length / 2), base.begin(), base.begin() + 50000);
        for (int algorithm : {0, 7}) {
            const Bytes delta = make_delta(base, updated, algorithm);
            const std::uint8_t method = delta[delta.size() - 56 - 256 - 1];
            ASSERT_EQ(method & 0x30, 0x30) << "matched and packed, algorithm " << algorithm;
            const Restored r = restore(&base, delta);
            ASSERT_EQ(r.result, static_cast<int>(updated.size())) << length << " algorithm " << algorithm;
            EXPECT_TRUE(r.output == updated) << length << " algorithm " << algorithm;
        }
    }
}

TEST(RestoreChecks, TrailerAndCheckBlock) {
    const Bytes base = test::random_bytes(3000, 5);
    const Bytes updated = test::random_bytes(150, 6);
    Bytes delta = make_delta(base, updated, 7, 256);
    EXPECT_EQ(restore(&base, delta).output, updated);

    Bytes other = base;
    other[2999] ^= 1;
    EXPECT_EQ(restore(&other, delta).result, ERR_WRONG_BASE);

    // The short check folds the first 128 bytes of the block: a change in fold
    // byte 200 (Base byte 196) is invisible, one in fold byte 10 is not.
    Bytes short_delta = make_delta(base, updated, 7, 4);
    Bytes blind = base;
    blind[196] ^= 0x40;
    EXPECT_EQ(restore(&blind, short_delta).result, static_cast<int>(updated.size()));
    Bytes seen = base;
    seen[6] ^= 0x40;
    EXPECT_EQ(restore(&seen, short_delta).result, ERR_WRONG_BASE);

    Bytes bad_magic = delta;
    bad_magic[bad_magic.size() - 56] ^= 1;
    EXPECT_EQ(restore(&base, bad_magic).result, ERR_MALFORMED);
    Bytes truncated(delta.end() - 56, delta.end());
    EXPECT_EQ(restore(&base, truncated).result, ERR_MALFORMED);
    EXPECT_EQ(restore(&base, Bytes(40, 0)).result, ERR_MALFORMED);
}

TEST(RestoreChecks, EveryPrefixAndBitFlipOfADeltaIsHandled) {
    const Bytes base = test::text_like(4000, 1);
    Bytes updated = base;
    updated[100] = '#';
    updated.insert(updated.begin() + 2000, 50, 'Q');
    Bytes delta = make_delta(base, updated, 7);
    // Without the trailer check every corruption reaches the decoder itself.
    Bytes body(delta.begin(), delta.end() - 56 - 256);
    for (std::size_t cut = 0; cut < body.size(); cut += 7) {
        Restored r = restore(&base, Bytes(body.begin(), body.begin() + static_cast<long>(cut)), false);
        EXPECT_LE(r.output.size(), updated.size() * 2 + 1000);
    }
    for (std::size_t i = 0; i < body.size(); ++i) {
        Bytes flipped = body;
        flipped[i] ^= static_cast<std::uint8_t>(1u << (i % 8));
        Restored r = restore(&base, flipped, false);
        if (r.result >= 0) {
            EXPECT_EQ(static_cast<std::size_t>(r.result), r.output.size());
        }
    }
}

TEST(CreateDriver, StoredAndPackedRoundTrips) {
    const Bytes base = test::text_like(5000, 2);
    for (std::size_t size : {0, 1, 199, 200, 201, 5000, 70000}) {
        Bytes updated = test::text_like(size, 9);
        for (int algorithm : {0, 1, 2, 3, 4, 5, 6, 7, 8, 15}) {
            Bytes delta = make_delta(base, updated, algorithm);
            Restored r = restore(&base, delta);
            ASSERT_EQ(r.result, static_cast<int>(size)) << "size " << size << " algorithm " << algorithm;
            EXPECT_EQ(r.output, updated);
            EXPECT_EQ(delta[delta.size() - 56 - 256 - 1] & 0x0F, algorithm) << "method byte keeps the algorithm";
        }
    }
}

TEST(CreateDriver, PassesSharingWorkWriteTheSameDeltas) {
    // Runs of several periods so that the run-length forms of both files are used.
    Bytes base = test::text_like(30000, 4);
    base.insert(base.begin() + 1000, 500, 'A');
    Bytes updated = base;
    updated.insert(updated.begin() + 20000, 400, 'B');
    updated[5000] ^= 0x21;
    CreateShared shared;
    for (int algorithm = 0; algorithm < 16; ++algorithm) {
        Bytes alone = make_delta(base, updated, algorithm, algorithm % 2 ? 4 : 256);
        Bytes with_shared = make_delta(base, updated, algorithm, algorithm % 2 ? 4 : 256, &shared);
        EXPECT_EQ(alone, with_shared) << "algorithm " << algorithm;
    }
    EXPECT_TRUE(shared.has_check);
    EXPECT_NE(shared.find(1, 36), nullptr);
}

TEST(CreateDriver, StopReachesTheDriverWhileItReadsTransformedFiles) {
    // Long runs: both files are matched in their run-length forms, which live in
    // temporary files; their reads must still reach the callback.
    Bytes base;
    for (int i = 0; i < 3000; ++i) {
        Bytes chunk = test::random_bytes(200, static_cast<std::uint32_t>(i));
        base.insert(base.end(), chunk.begin(), chunk.end());
        base.insert(base.end(), 100, static_cast<std::uint8_t>(i));
    }
    Bytes updated = base;
    updated[400000] ^= 1;
    File b = memory_file(base), u = memory_file(updated), d(std::tmpfile());
    for (int algorithm : {4, 5}) {
        int calls = 0, after_windows = -1;
        StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
        TrailerRecord trailer;
        trailer.set_check_length(4);
        // Count the calls a whole pass makes, then stop a pass half-way through.
        coder_create(&bw, &uw, &dw, algorithm, [&](const ProgressRecord&) -> std::int16_t {
            ++calls;
            return 0;
        }, trailer);
        after_windows = calls / 2;
        int seen = 0;
        int result = coder_create(&bw, &uw, &dw, algorithm, [&](const ProgressRecord&) -> std::int16_t {
            return ++seen >= after_windows ? ANSWER_STOP : 0;
        }, trailer);
        EXPECT_EQ(result, ERR_STOPPED) << "algorithm " << algorithm;
        EXPECT_GT(calls, 10);
    }
}

TEST(CreateDriver, SmallAndSpecialCases) {
    // An empty Updated: method byte, check block and trailer only.
    const Bytes base = test::random_bytes(300, 1);
    Bytes empty_delta = make_delta(base, {}, 7);
    EXPECT_EQ(empty_delta.size(), 1u + 256 + 56);
    EXPECT_EQ(empty_delta[0], 7);
    // 199 random bytes are stored raw: 199 + 1 + 4 + 56 with the short check.
    Bytes raw = make_delta(base, test::random_bytes(199, 4), 7, 4);
    EXPECT_EQ(raw.size(), 199u + 1 + 4 + 56);
    // Algorithm 2 with an empty Base is written as algorithm 4.
    Bytes alg2 = make_delta({}, test::text_like(1000, 3), 2);
    EXPECT_EQ(alg2[alg2.size() - 56 - 256 - 1] & 0x0F, 4);
    // A missing Base: the check block is all zero.
    Bytes zero_check(alg2.end() - 56 - 256, alg2.end() - 56);
    EXPECT_EQ(zero_check, Bytes(256, 0));
}

}  // namespace
}  // namespace quoralith
