// The run-length form: exact token bytes for the worked cases, a stored form
// written by another implementation, agreement with a plain transcription of
// the encoding procedure on large mixed inputs, round trips, and refusal of
// damaged forms.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>

#include "coder/format.h"
#include "coder/runlength.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;

Bytes channel_bytes(const TempFile& file) {
    std::fflush(file.get());
    Channel c = file.channel();
    Bytes out(static_cast<std::size_t>(c.length()));
    if (out.empty()) return out;
    EXPECT_EQ(c.read_at(0, out.data(), static_cast<std::int64_t>(out.size())), static_cast<std::int64_t>(out.size()));
    return out;
}

void fill(const TempFile& file, const Bytes& data) {
    if (data.empty()) return;
    Channel c = file.channel();
    ASSERT_EQ(c.write(data.data(), static_cast<std::int64_t>(data.size())), static_cast<std::int64_t>(data.size()));
}

Bytes encode(const Bytes& data, std::uint32_t threshold) {
    TempFile in, out;
    EXPECT_TRUE(in.open() && out.open());
    fill(in, data);
    Channel source = in.channel(), sink = out.channel();
    std::int64_t result = runlength_encode(source, static_cast<std::int64_t>(data.size()), threshold, sink);
    Bytes form = channel_bytes(out);
    EXPECT_EQ(result, static_cast<std::int64_t>(form.size()));
    return form;
}

// Returns the decoder's result; the expansion goes to *expanded.
std::int64_t decode(const Bytes& form, std::uint32_t threshold, Bytes* expanded = nullptr) {
    TempFile in, out;
    EXPECT_TRUE(in.open() && out.open());
    fill(in, form);
    Channel source = in.channel(), sink = out.channel();
    std::int64_t result = runlength_decode(source, static_cast<std::int64_t>(form.size()), threshold, sink);
    if (expanded) *expanded = channel_bytes(out);
    return result;
}

void expect_round_trip(const Bytes& data, std::uint32_t threshold) {
    Bytes form = encode(data, threshold);
    Bytes back;
    ASSERT_EQ(decode(form, threshold, &back), static_cast<std::int64_t>(data.size()));
    ASSERT_TRUE(back == data) << "round trip differs, size " << data.size() << ", T " << threshold;
}

struct Token {
    int kind;
    std::uint64_t n;
    std::size_t data;  // offset of the token's data in the form
};

// Splits a well-formed form into tokens (the test's own reading of the header).
std::vector<Token> tokens(const Bytes& form) {
    std::vector<Token> out;
    std::size_t at = 0;
    while (at < form.size()) {
        Token t{form[at] >> 4 & 7, form[at] & 0x0Fu, 0};
        const int shifts[] = {4, 11, 18, 25};
        std::size_t i = 0;
        while (i < 4 && (form[at + i] & 0x80)) {
            std::uint64_t bits = i == 3 ? form[at + i + 1] : form[at + i + 1] & 0x7Fu;
            t.n |= bits << shifts[i];
            ++i;
        }
        at += i + 1;
        t.data = at;
        at += t.kind == 0 ? t.n + 1 : t.kind == 5 ? 12 : static_cast<std::size_t>(t.kind);
        out.push_back(t);
    }
    EXPECT_EQ(at, form.size());
    return out;
}

// A plain transcription of the encoding procedure over a whole buffer. The
// streaming encoder must agree with it byte for byte.
Bytes reference_encode(const Bytes& d, std::int64_t T) {
    Bytes out;
    const std::int64_t F = static_cast<std::int64_t>(d.size());
    auto header = [&out](int kind, std::uint64_t n) {
        std::size_t first = out.size();
        out.push_back(static_cast<std::uint8_t>(kind << 4 | (n & 15)));
        const std::uint64_t limits[] = {16, 2048, 0x40000, 0x2000000};
        const int shifts[] = {4, 11, 18, 25};
        for (int i = 0; i < 4 && n >= limits[i]; ++i) {
            out[first + i] |= 0x80;
            out.push_back(static_cast<std::uint8_t>(i == 3 ? n >> 25 : (n >> shifts[i]) & 0x7F));
        }
    };
    auto same = [&d](std::int64_t a, std::int64_t b, std::int64_t n) {
        return std::memcmp(&d[static_cast<std::size_t>(a)], &d[static_cast<std::size_t>(b)], static_cast<std::size_t>(n)) == 0;
    };
    auto literal = [&](std::int64_t from, std::int64_t count) {
        header(0, static_cast<std::uint64_t>(count - 1));
        out.insert(out.end(), d.begin() + from, d.begin() + from + count);
    };
    std::int64_t pos = 0, lit = 0;
    while (pos <= F - T) {
        std::int64_t x = pos, r, b = pos;
        for (;;) {
            if (x + 24 > F) {
                r = x + 12;
                break;
            }
            b = x;
            bool differ = !same(x, x + 12, 12);
            x += 12;
            if (differ) {
                r = x;
                break;
            }
        }
        if (r - pos < T) {
            lit += r - pos;
            pos = r;
            continue;
        }
        const std::uint8_t* k12 = &d[static_cast<std::size_t>(b)];
        int e;
        if (std::memcmp(k12, k12 + 6, 6) == 0) {
            if (std::memcmp(k12, k12 + 3, 3) == 0)
                e = std::memcmp(k12, k12 + 2, 2) == 0 ? 1 : 3;
            else
                e = std::memcmp(k12, k12 + 2, 2) == 0 && std::memcmp(k12, k12 + 4, 2) == 0 ? 2 : 6;
        } else {
            e = std::memcmp(k12, k12 + 4, 4) == 0 && std::memcmp(k12, k12 + 8, 4) == 0 ? 4 : 12;
        }
        std::int64_t j = 1;
        while (j <= std::min<std::int64_t>(lit, 11) && d[static_cast<std::size_t>(pos - j)] == d[static_cast<std::size_t>(pos - j + e)]) ++j;
        std::int64_t m = pos - (j - 1);
        lit -= j - 1;
        std::int64_t end = m + (r - m) / e * e;
        std::int64_t v = std::min<std::int64_t>(2 * e + 10, F - (end - e));
        std::int64_t k = e;
        while (k <= v - e && same(end - e + k, end - e, e)) k += e;
        end += k - e;
        if (lit > 0) literal(m - lit, lit);
        lit = 0;
        header(e == 12 ? 5 : e, static_cast<std::uint64_t>((end - m - T) / e));
        out.insert(out.end(), d.begin() + m, d.begin() + m + e);
        pos = end;
    }
    lit += F - pos;
    if (lit > 0) literal(F - lit, lit);
    return out;
}

// Random bytes without zeros, so that zero runs placed in them have sharp edges.
Bytes noise(std::size_t count, std::uint32_t seed) {
    Bytes b = test::random_bytes(count, seed);
    for (auto& x : b)
        if (x == 0) x = 1;
    return b;
}

Bytes repeat(const Bytes& pattern, std::size_t count) {
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = pattern[i % pattern.size()];
    return out;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// Stretches of noise, text and runs of many periods (some not among the
// form's own, some long enough to cross the encoder's read window).
Bytes mixed(std::size_t total, std::uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    while (out.size() < total) {
        std::size_t len = 1 + rng() % (rng() % 8 == 0 ? 40000 : 600);
        switch (rng() % 5) {
            case 0: {
                Bytes n = test::random_bytes(len, rng());
                out.insert(out.end(), n.begin(), n.end());
                break;
            }
            case 1: {
                Bytes t = test::text_like(len, rng());
                out.insert(out.end(), t.begin(), t.end());
                break;
            }
            default: {
                const std::size_t periods[] = {1, 2, 3, 4, 5, 6, 8, 12, 24};
                std::size_t period = periods[rng() % 9];
                if (rng() % 50 == 0) len = 1 + rng() % 3000000;
                Bytes run = repeat(test::random_bytes(period, rng()), len);
                out.insert(out.end(), run.begin(), run.end());
            }
        }
    }
    out.resize(total);
    return out;
}

TEST(RunLengthForm, WorkedExamples) {
    EXPECT_EQ(encode(Bytes(36, 0), 36), (Bytes{0x10, 0x00}));
    EXPECT_EQ(encode(Bytes(360, 0), 360), (Bytes{0x10, 0x00}));
    EXPECT_TRUE(encode(Bytes{}, 36).empty());

    // Shorter than T: one literal, even when it is all one byte value.
    EXPECT_EQ(encode(Bytes(35, 0), 36), concat({Bytes{0x82, 0x02}, Bytes(35, 0)}));
    EXPECT_EQ(encode(Bytes{7}, 36), (Bytes{0x00, 7}));
    Bytes zeros359(359, 0);
    EXPECT_EQ(encode(zeros359, 360), concat({Bytes{0x86, 0x16}, zeros359}));  // n = 358
}

TEST(RunLengthForm, StoredFormOfAnotherImplementation) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    Bytes delta = test::read_file(test::vector_path("stored_rle_alg4", "delta.bin"));
    Bytes updated = test::read_file(test::vector_path("stored_rle_alg4", "updated.bin"));
    ASSERT_GT(delta.size(), static_cast<std::size_t>(kTrailerSize + kCheckLong + 1));
    Bytes form(delta.begin(), delta.end() - (kTrailerSize + kCheckLong + 1));
    ASSERT_EQ(delta[form.size()], 0x44);  // stored run-length form, algorithm 4 (T = 36)

    EXPECT_EQ(encode(updated, 36), form);
    Bytes back;
    EXPECT_EQ(decode(form, 36, &back), static_cast<std::int64_t>(updated.size()));
    EXPECT_EQ(back, updated);
}

TEST(RunLengthForm, EveryPeriodGetsItsOwnKind) {
    // 120 bytes of one pattern: a single run token with n = (120 - 36) / period,
    // the period chosen by the fixed test order (never a multiple of the true one).
    struct Case {
        Bytes pattern;
        Bytes header;
    } cases[] = {
        {{9}, {0x94, 0x05}},
        {{1, 2}, {0xAA, 0x02}},
        {{1, 2, 3}, {0xBC, 0x01}},
        {{1, 2, 3, 4}, {0xC5, 0x01}},
        {{1, 2, 3, 4, 5, 6}, {0x6E}},
        {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, {0x57}},
    };
    for (const Case& c : cases) {
        Bytes data = repeat(c.pattern, 120);
        EXPECT_EQ(encode(data, 36), concat({c.header, c.pattern})) << "period " << c.pattern.size();
        expect_round_trip(data, 36);
    }
    // The same with T = 360: a run of 480 bytes, n = 120 / period.
    for (const Case& c : cases) {
        Bytes data = repeat(c.pattern, 480);
        std::vector<Token> t = tokens(encode(data, 360));
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t[0].n, 120 / c.pattern.size());
        expect_round_trip(data, 360);
    }
}

TEST(RunLengthForm, RunStartIsTakenBackUpToElevenBytes) {
    // Noise, then zeros from offset s to the end: the grid finds the run at the
    // first block boundary inside it and takes back the bytes before it.
    for (std::size_t s = 13; s <= 36; ++s) {
        Bytes data = concat({noise(s, static_cast<std::uint32_t>(s)), Bytes(96 - s, 0)});
        std::vector<Token> t = tokens(encode(data, 36));
        ASSERT_EQ(t.size(), 2u) << s;
        EXPECT_EQ(t[0].kind, 0);
        EXPECT_EQ(t[0].n + 1, s) << "the run should start at " << s;
        EXPECT_EQ(t[1].kind, 1);
        EXPECT_EQ(t[1].n, 96 - s - 36);
        expect_round_trip(data, 36);
    }
    // Right after another run nothing waits in a literal, so nothing is taken
    // back: the last zero, which would fit the period-2 run, stays in the zero run.
    Bytes data = concat({Bytes(48, 0), repeat({0xAB, 0x00}, 120)});
    std::vector<Token> t = tokens(encode(data, 36));
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].kind, 1);
    EXPECT_EQ(t[0].n, 12u);
    EXPECT_EQ(t[1].kind, 2);
    EXPECT_EQ(t[1].n, 42u);
    expect_round_trip(data, 36);
}

TEST(RunLengthForm, ShortRunsStayLiteral) {
    // 35 zeros (short) in noise, then 100 zeros (long), then noise. The long run
    // starts at 95 (one byte before the grid) and ends exactly where the zeros do.
    Bytes data = concat({noise(30, 1), Bytes(35, 0), noise(30, 2), Bytes(100, 0), noise(10, 3)});
    Bytes form = encode(data, 36);
    std::vector<Token> t = tokens(form);
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].kind, 0);
    EXPECT_EQ(t[0].n, 94u);
    EXPECT_EQ(t[1].kind, 1);
    EXPECT_EQ(t[1].n, 64u);
    EXPECT_EQ(form[t[1].data], 0);
    EXPECT_EQ(t[2].kind, 0);
    EXPECT_EQ(t[2].n, 9u);
    expect_round_trip(data, 36);

    // With T = 360 a 300-byte run stays in the literal.
    Bytes longer = concat({noise(30, 4), Bytes(300, 0), noise(30, 5)});
    EXPECT_EQ(tokens(encode(longer, 360)).size(), 1u);
    EXPECT_EQ(tokens(encode(longer, 36)).size(), 3u);
}

TEST(RunLengthForm, HeaderLengthsAtTheirBoundaries) {
    struct Case {
        std::uint64_t n;
        Bytes header;
    } cases[] = {
        {15, {0x1F}},
        {16, {0x90, 0x01}},
        {2047, {0x9F, 0x7F}},
        {2048, {0x90, 0x80, 0x01}},
        {0x3FFFF, {0x9F, 0xFF, 0x7F}},
        {0x40000, {0x90, 0x80, 0x80, 0x01}},
        {0x1FFFFFF, {0x9F, 0xFF, 0xFF, 0x7F}},
        {0x2000000, {0x90, 0x80, 0x80, 0x80, 0x01}},
    };
    for (const Case& c : cases) {
        // A zero run of T + n bytes is one period-1 token with that n.
        Bytes data(static_cast<std::size_t>(36 + c.n), 0);
        Bytes form = encode(data, 36);
        EXPECT_EQ(form, concat({c.header, Bytes{0}})) << "n " << c.n;
        Bytes back;
        EXPECT_EQ(decode(form, 36, &back), static_cast<std::int64_t>(data.size()));
        EXPECT_TRUE(back == data);
    }
    // Literal headers share the layout (kind 0); long literals come from noise.
    for (std::size_t count : {16u, 17u, 2048u, 2049u, 0x40000u, 0x40001u}) {
        Bytes data = test::random_bytes(count, static_cast<std::uint32_t>(count));
        std::vector<Token> t = tokens(encode(data, 36));
        ASSERT_EQ(t.size(), 1u);
        EXPECT_EQ(t[0].n, count - 1);
        EXPECT_EQ(t[0].data, count <= 16 ? 1u : count <= 2048 ? 2u : count <= 0x40000 ? 3u : 4u);
    }
    // The fifth byte carries bits 25 and up, all eight of them.
    Bytes fifth = {0x90, 0x80, 0x80, 0x80, 0x01, 0x00};
    EXPECT_EQ(decode(fifth, 36), 0x2000000 + 36);
    Bytes fifth_high = {0x90, 0x80, 0x80, 0x80, 0x80, 0x00};  // n = 2^32: far over the limit
    EXPECT_EQ(decode(fifth_high, 36), ERR_MALFORMED);
}

TEST(RunLengthForm, AgreesWithThePlainProcedure) {
    for (std::uint32_t threshold : {36u, 360u}) {
        // Sizes around the 12- and 24-byte scan boundaries and the threshold.
        for (std::size_t size : {0u, 1u, 11u, 12u, 13u, 23u, 24u, 25u, 35u, 36u, 37u, 47u, 48u, 49u, 59u, 60u,
                                 61u, 359u, 360u, 361u, 371u, 372u, 373u}) {
            for (const Bytes& data : {test::random_bytes(size, 7), Bytes(size, 0x55), repeat({1, 2, 3, 4, 5}, size),
                                      test::text_like(size, 3), mixed(size, static_cast<std::uint32_t>(size)),
                                      // a run broken by the very last block the scan can compare
                                      concat({Bytes(size - std::min<std::size_t>(size, 12), 0),
                                              noise(std::min<std::size_t>(size, 12), 9)})}) {
                ASSERT_EQ(encode(data, threshold), reference_encode(data, threshold)) << size << " T " << threshold;
                expect_round_trip(data, threshold);
            }
        }
        // Several megabytes: long runs cross the encoder's read window and
        // long literals are read again from before it.
        Bytes big = mixed(6 << 20, threshold);
        Bytes form = encode(big, threshold);
        ASSERT_TRUE(form == reference_encode(big, threshold)) << "T " << threshold;
        Bytes back;
        ASSERT_EQ(decode(form, threshold, &back), static_cast<std::int64_t>(big.size()));
        ASSERT_TRUE(back == big);
    }
    // Noise alone: one literal, read twice through the caches.
    Bytes noise_only = test::random_bytes(5 << 20, 11);
    Bytes form = encode(noise_only, 36);
    ASSERT_EQ(tokens(form).size(), 1u);
    expect_round_trip(noise_only, 36);
    expect_round_trip(test::text_like(3 << 20, 12), 36);
}

TEST(RunLengthForm, DamagedFormsAreRefused) {
    const Bytes damaged[] = {
        {0x80},                          // header announces a second byte that is missing
        {0x90, 0x80},                    // ... a third
        {0x9F, 0xFF, 0xFF, 0xFF},        // ... the fifth
        {0x05, 1, 2, 3},                 // literal of 6 bytes with 3 present
        {0x10},                          // run without its pattern
        {0x50, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},  // period-12 run with 11 pattern bytes
        {0x70, 1, 2, 3, 4, 5, 6, 7},     // kind 7 names no token
        {0x00, 9, 0x80},                 // a good token, then a truncated one
    };
    for (const Bytes& form : damaged) EXPECT_EQ(decode(form, 36), ERR_MALFORMED) << form.size();

    // An expansion beyond 0x40000000 bytes: refused before anything is written.
    Bytes too_long = {0x90, 0x80, 0x80, 0x80, 0x20, 0x00};  // n = 0x40000000
    Bytes out;
    EXPECT_EQ(decode(too_long, 36, &out), ERR_MALFORMED);
    EXPECT_TRUE(out.empty());
    // Within the limit in n, over it once T is added.
    Bytes over_by_t = {0x9C, 0xFF, 0xFF, 0xFF, 0x1F, 0x00};  // n = 0x3FFFFFFC
    EXPECT_EQ(decode(over_by_t, 36), ERR_MALFORMED);
    // A literal claiming far more than the input holds.
    EXPECT_EQ(decode(Bytes{0x8F, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2}, 36), ERR_MALFORMED);
}

// Feeds `form` to an expander in pieces whose sizes cycle through `pieces`;
// returns the first error or the expanded length, the expansion in *expanded.
std::int64_t expand_in_pieces(const Bytes& form, const std::vector<std::size_t>& pieces, Bytes* expanded = nullptr,
                              std::uint32_t threshold = 36) {
    TempFile out;
    EXPECT_TRUE(out.open());
    BufferedWriter writer(out.channel(), 1000);
    RunLengthExpander expander(writer, static_cast<std::int64_t>(form.size()), threshold);
    std::size_t at = 0;
    for (std::size_t i = 0; at < form.size() && expander.error() == 0; ++i) {
        const std::size_t n = std::min(pieces[i % pieces.size()], form.size() - at);
        expander.put(form.data() + at, n);
        at += n;
    }
    int rc = expander.finish();
    EXPECT_EQ(writer.flush(), 0);
    if (expanded) *expanded = channel_bytes(out);
    return rc != 0 ? rc : expander.produced();
}

TEST(RunLengthForm, ExpansionInPiecesOfAnySize) {
    // Literals and runs of every kind, with headers of one to four bytes.
    Bytes data = concat({noise(5, 1), Bytes(36, 0), noise(20, 2), repeat({1, 2}, 2100), noise(3000, 3),
                         repeat({1, 2, 3}, 80), repeat({4, 5, 6, 7}, 48), repeat({1, 2, 3, 4, 5, 6}, 300),
                         repeat(noise(12, 4), 0x40000 * 12 + 48), noise(1, 5), Bytes(37, 9)});
    Bytes form = encode(data, 36);
    ASSERT_LT(form.size(), 6000u);
    for (const std::vector<std::size_t>& pieces :
         std::vector<std::vector<std::size_t>>{{1}, {2}, {3}, {5}, {7, 1}, {12}, {13}, {4096}, {1 << 20}}) {
        Bytes back;
        ASSERT_EQ(expand_in_pieces(form, pieces, &back), static_cast<std::int64_t>(data.size())) << pieces[0];
        ASSERT_TRUE(back == data) << "pieces of " << pieces[0];
    }
    // Two pieces, split at every position of a smaller form.
    Bytes small = concat({noise(17, 6), Bytes(40, 0), noise(2, 7), repeat({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}, 60),
                          repeat({8, 9}, 2100), noise(30, 8)});
    Bytes small_form = encode(small, 36);
    for (std::size_t split = 1; split < small_form.size(); ++split) {
        Bytes back;
        ASSERT_EQ(expand_in_pieces(small_form, {split, small_form.size()}, &back),
                  static_cast<std::int64_t>(small.size()))
            << split;
        ASSERT_TRUE(back == small) << "split at " << split;
    }
    // Runs that repeat the previous run's pattern, longer or shorter, or share
    // only its period.
    Bytes repeats = concat({Bytes(40, 0), noise(3, 10), Bytes(70000, 0), noise(3, 11), Bytes(50, 0), noise(3, 12),
                            Bytes(100, 1), noise(3, 13), repeat({0, 1}, 90), noise(3, 14), repeat({1, 0}, 90),
                            noise(3, 15), repeat({1, 0}, 3000), noise(3, 16), Bytes(36, 0)});
    for (const std::vector<std::size_t>& pieces : std::vector<std::vector<std::size_t>>{{1}, {1 << 20}}) {
        Bytes back;
        ASSERT_EQ(expand_in_pieces(encode(repeats, 36), pieces, &back), static_cast<std::int64_t>(repeats.size()));
        ASSERT_TRUE(back == repeats) << "pieces of " << pieces[0];
    }
    // T = 360 changes every run's length.
    Bytes long_runs = concat({Bytes(500, 3), noise(9, 9), repeat({1, 2, 3, 4}, 800)});
    Bytes back;
    ASSERT_EQ(expand_in_pieces(encode(long_runs, 360), {3}, &back, 360), static_cast<std::int64_t>(long_runs.size()));
    EXPECT_TRUE(back == long_runs);
}

TEST(RunLengthForm, ExpanderRefusesWhatTheDecoderRefuses) {
    const Bytes damaged[] = {
        {0x80}, {0x90, 0x80}, {0x9F, 0xFF, 0xFF, 0xFF}, {0x05, 1, 2, 3}, {0x10},
        {0x50, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11}, {0x70, 1, 2, 3, 4, 5, 6, 7}, {0x00, 9, 0x80},
        {0x90, 0x80, 0x80, 0x80, 0x20, 0x00}, {0x9C, 0xFF, 0xFF, 0xFF, 0x1F, 0x00},
        {0x8F, 0xFF, 0xFF, 0xFF, 0xFF, 1, 2},
    };
    for (const Bytes& form : damaged) {
        Bytes out;
        EXPECT_EQ(expand_in_pieces(form, {1}, &out), ERR_MALFORMED) << form.size();
        EXPECT_EQ(expand_in_pieces(form, {form.size()}), ERR_MALFORMED) << form.size();
    }
    // An over-long run is refused before any of it is written.
    Bytes out;
    EXPECT_EQ(expand_in_pieces({0x00, 7, 0x90, 0x80, 0x80, 0x80, 0x20, 0x00}, {1}, &out), ERR_MALFORMED);
    EXPECT_EQ(out, Bytes{7});

    // A form that stops short of its stated length ends inside a token, and
    // bytes beyond the stated length are refused.
    TempFile file;
    ASSERT_TRUE(file.open());
    BufferedWriter writer(file.channel());
    RunLengthExpander short_form(writer, 3, 36);
    const std::uint8_t bytes[] = {0x01, 5, 6, 7};
    short_form.put(bytes, 2);
    EXPECT_EQ(short_form.finish(), ERR_MALFORMED);
    RunLengthExpander long_form(writer, 3, 36);
    long_form.put(bytes, 4);
    EXPECT_EQ(long_form.finish(), ERR_MALFORMED);
}

// The form's bytes as a map gives them: each token's header, then its data
// read from the input.
Bytes bytes_of_map(RunLengthMap& map, const Bytes& data) {
    Bytes out;
    for (std::size_t i = 0; i < map.token_count(); ++i) {
        const RunLengthMap::Token& t = map.token(i);
        EXPECT_EQ(t.start, static_cast<std::int64_t>(out.size()));
        out.insert(out.end(), t.header, t.header + t.header_size);
        const std::int64_t data_length = map.end_of(i) - t.start - t.header_size;
        if (t.period != 0) {
            EXPECT_EQ(data_length, t.period);
            EXPECT_TRUE(std::equal(t.pattern, t.pattern + t.period, data.begin() + t.source));
            out.insert(out.end(), t.pattern, t.pattern + data_length);
        } else {
            out.insert(out.end(), data.begin() + t.source, data.begin() + t.source + data_length);
        }
    }
    return out;
}

TEST(RunLengthForm, MapDescribesTheFormsBytes) {
    for (std::uint32_t threshold : {36u, 360u}) {
        // (The long random input is one literal longer than any read buffer.)
        for (const Bytes& data : {Bytes{}, Bytes(35, 0), Bytes(36, 0), test::random_bytes(100, 1),
                                  test::random_bytes(600000, 2), mixed(3 << 20, threshold + 1)}) {
            Bytes form = encode(data, threshold);
            TempFile in;
            ASSERT_TRUE(in.open());
            fill(in, data);
            Channel source = in.channel();
            RunLengthMap map;
            ASSERT_EQ(runlength_map(source, static_cast<std::int64_t>(data.size()), threshold, 1 << 20, map),
                      static_cast<std::int64_t>(form.size()));
            ASSERT_EQ(map.length(), static_cast<std::int64_t>(form.size()));
            ASSERT_TRUE(bytes_of_map(map, data) == form) << data.size() << " T " << threshold;
            // Read through the map, the form is the one the encoder writes,
            // whole and in pieces that start and end anywhere in its tokens.
            Channel described = Channel::of_form(source, map);
            ASSERT_EQ(described.length(), static_cast<std::int64_t>(form.size()));
            Bytes read(form.size() + 1);
            ASSERT_EQ(described.read_at(0, read.data(), static_cast<std::int64_t>(read.size())),
                      static_cast<std::int64_t>(form.size()));
            read.pop_back();
            ASSERT_TRUE(read == form) << data.size() << " T " << threshold;
            std::mt19937 pieces(threshold + 7);
            for (int i = 0; i < 200 && !form.empty(); ++i) {
                const std::size_t at = pieces() % form.size();
                const std::size_t count = std::min<std::size_t>(pieces() % 5000 + 1, form.size() - at);
                Bytes piece(count);
                ASSERT_EQ(described.read_exact_at(static_cast<std::int64_t>(at), piece.data(),
                                                  static_cast<std::int64_t>(count)),
                          0);
                ASSERT_TRUE(std::equal(piece.begin(), piece.end(), form.begin() + static_cast<std::ptrdiff_t>(at)))
                    << at << " + " << count;
            }
            EXPECT_LT(described.write(form.data(), 1), 0);  // read only

            // Look-ups in any order land on the token that holds the position.
            std::mt19937 rng(threshold);
            for (int i = 0; i < 2000 && !form.empty(); ++i) {
                const std::int64_t p = static_cast<std::int64_t>(rng() % form.size());
                const std::size_t index = map.find(p);
                const RunLengthMap::Token& t = map.token(index);
                ASSERT_TRUE(t.start <= p && p < map.end_of(index));
                const std::int64_t offset = p - t.start;
                const std::int64_t in_data = offset - t.header_size;
                const std::uint8_t byte = in_data < 0     ? t.header[offset]
                                          : t.period != 0 ? t.pattern[in_data]
                                                         : data[static_cast<std::size_t>(t.source + in_data)];
                ASSERT_EQ(byte, form[static_cast<std::size_t>(p)]) << p;
            }

            // One token over the budget, and the map is refused; exactly at it, accepted.
            const std::size_t count = map.token_count();
            if (count == 0) continue;
            EXPECT_EQ(runlength_map(source, static_cast<std::int64_t>(data.size()), threshold, count - 1, map),
                      ERR_NO_MEMORY);
            EXPECT_EQ(runlength_map(source, static_cast<std::int64_t>(data.size()), threshold, count, map),
                      static_cast<std::int64_t>(form.size()));
        }
    }
}

// A restore folds the Base check into the map pass it makes anyway: every
// byte must be folded exactly once, across the scan's overlapping windows.
TEST(RunLengthForm, MapPassFoldsTheBaseCheck) {
    for (const Bytes& data : {Bytes(1, 7), Bytes(36, 0), Bytes(251, 0), Bytes(253, 0), test::random_bytes(1000, 2),
                              mixed(3 << 20, 37)}) {
        TempFile in;
        ASSERT_TRUE(in.open());
        fill(in, data);
        Channel source = in.channel();
        const auto length = static_cast<std::int64_t>(data.size());
        CheckFold fold(length);
        RunLengthMap map;
        ASSERT_GE(runlength_map(source, length, 36, 1 << 20, map, &fold), 0);
        // Input too short to hold a run is not read at all; the caller then
        // computes the check itself.
        if (length < 36) continue;
        EXPECT_EQ(fold.folded(), length);
        for (int check_length : {4, 256}) {
            std::uint8_t folded[256], computed[256];
            fold.finish(check_length, folded);
            ASSERT_EQ(compute_check_block(source, check_length, computed), 0);
            EXPECT_EQ(std::memcmp(folded, computed, static_cast<std::size_t>(check_length)), 0) << data.size();
        }
    }
}

TEST(RunLengthForm, StopAnswerEndsEitherDirection) {
    test::ScratchDir dir;
    Bytes data = mixed(1 << 20, 5);
    test::write_file(dir.file("in"), data);
    Bytes form = encode(data, 36);
    test::write_file(dir.file("form"), form);

    for (bool encoding : {true, false}) {
        int calls = 0;
        ProgressCallback stop_second = [&calls](const ProgressRecord&) -> std::int16_t {
            return ++calls >= 2 ? ANSWER_STOP : ANSWER_SKIP;
        };
        std::uint8_t tag[24] = {};
        CoderContext context(stop_second, 4, tag);
        std::FILE* file = std::fopen(dir.file(encoding ? "in" : "form").c_str(), "rb");
        ASSERT_NE(file, nullptr);
        StreamWindow window{file, 0, 0x7FFFFFFF, 0};
        context.register_windows(&window, nullptr, nullptr);
        Channel in = Channel::of_window(context, SLOT_FIRST);
        TempFile out;
        ASSERT_TRUE(out.open());
        Channel sink = out.channel();
        std::int64_t result = encoding ? runlength_encode(in, in.length(), 36, sink)
                                       : runlength_decode(in, in.length(), 36, sink);
        EXPECT_EQ(result, ERR_STOPPED) << (encoding ? "encode" : "decode");
        std::fclose(file);
    }
}

}  // namespace
}  // namespace quoralith
