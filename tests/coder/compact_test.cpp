// The compact format: round trips of the kinds of change real pairs carry,
// through every method; damage of every single bit and every cut of small
// deltas; and the line between the compact and the design format's decoders.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <random>

#include "coder/coder.h"
#include "coder/compact/compact.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;
using test::File;
using test::file_contents;
using test::memory_file;

constexpr unsigned kZstd = 1u << compact::METHOD_ZSTD;
constexpr unsigned kXz = 1u << compact::METHOD_XZ;
constexpr unsigned kStoredOnly = 0;

// The trailer the engine prepares: times, attribute word and the record of
// Updated's permission bits and digest.
TrailerRecord engine_trailer(const Bytes& updated, std::uint16_t mode = 0640, std::int32_t accessed = 2000000000,
                             std::int32_t modified = 1500000000) {
    TrailerRecord trailer;
    for (int i = 0; i < 5; ++i) trailer.set_time_slot(i, -1);
    trailer.set_time_slot(1, accessed);
    trailer.set_time_slot(2, modified);
    trailer.set_attributes(3);
    write_updated_record(trailer, UpdatedRecord{mode, digest_of_bytes(updated.data(), updated.size())});
    return trailer;
}

Bytes make_compact(const Bytes* base, const Bytes& updated, unsigned methods = ~0u,
                   const TrailerRecord* given = nullptr, std::uint64_t try_all_limit = 16u << 20) {
    File b = base ? memory_file(*base) : nullptr;
    File u = memory_file(updated), d(std::tmpfile());
    StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
    const TrailerRecord trailer = given ? *given : engine_trailer(updated);
    CompactOptions options;
    options.methods = methods;
    options.try_all_limit = try_all_limit;
    const int n = compact_create(&bw, &uw, &dw, {}, trailer, options);
    EXPECT_GT(n, 0);
    Bytes out = file_contents(d.get());
    EXPECT_EQ(static_cast<std::size_t>(n), out.size());
    return out;
}

struct Restored {
    int result;
    Bytes output;
    TrailerRecord trailer;
};

Restored restore_compact(const Bytes* base, const Bytes& delta, bool any_format = false) {
    File b = base ? memory_file(*base) : nullptr;
    File d = memory_file(delta);
    File o(std::tmpfile());
    StreamWindow bw{b.get()}, dw{d.get()}, ow{o.get(), 0, 0};
    Restored r;
    r.result = any_format ? restore_any_format(&bw, &dw, &ow, {}, &r.trailer)
                          : compact_restore(&bw, &dw, &ow, {}, &r.trailer);
    r.output = file_contents(o.get());
    return r;
}

// The generated pairs: each change a real pair carries, on text and on
// binary-like data.
struct Pair {
    const char* name;
    Bytes base;
    Bytes updated;
};

std::vector<Pair> generated_pairs() {
    std::vector<Pair> pairs;
    const Bytes text = test::text_like(40000, 3);
    const Bytes binary = test::random_bytes(30000, 4);
    auto with = [](Bytes bytes, auto change) {
        change(bytes);
        return bytes;
    };
    pairs.push_back({"insertions", text, with(text, [](Bytes& b) {
                         for (std::size_t at : {100u, 9000u, 25000u})
                             b.insert(b.begin() + at, {'n', 'e', 'w', ' ', 't', 'e', 'x', 't'});
                     })});
    pairs.push_back({"deletions", text, with(text, [](Bytes& b) {
                         b.erase(b.begin() + 30000, b.begin() + 31000);
                         b.erase(b.begin() + 500, b.begin() + 520);
                     })});
    pairs.push_back({"moved block", binary, with(binary, [](Bytes& b) {
                         Bytes block(b.begin() + 20000, b.begin() + 26000);
                         b.erase(b.begin() + 20000, b.begin() + 26000);
                         b.insert(b.begin() + 1000, block.begin(), block.end());
                     })});
    for (std::size_t width : {1u, 2u, 3u}) {
        pairs.push_back({"substitutions", binary, with(binary, [width](Bytes& b) {
                             for (std::size_t at = 50; at + width < b.size(); at += 997)
                                 for (std::size_t i = 0; i < width; ++i) b[at + i] ^= 0x5A;
                         })});
    }
    // A table of 32-bit pointers, all moved by the same distance: the
    // differences repeat where the values do not.
    Bytes table(16000);
    for (std::size_t i = 0; i < table.size(); i += 4) {
        const std::uint32_t pointer = 0x401000 + static_cast<std::uint32_t>(i * 37 % 90000);
        std::memcpy(&table[i], &pointer, 4);
    }
    pairs.push_back({"relinked pointers", table, with(table, [](Bytes& b) {
                         for (std::size_t i = 0; i < b.size(); i += 4) {
                             std::uint32_t pointer;
                             std::memcpy(&pointer, &b[i], 4);
                             pointer += 0x240;
                             std::memcpy(&b[i], &pointer, 4);
                         }
                     })});
    pairs.push_back({"runs", Bytes(20000, 0), with(Bytes(20000, 0), [](Bytes& b) {
                         std::fill(b.begin() + 3000, b.begin() + 9000, 0xFF);
                         b.resize(26000, 7);
                     })});
    pairs.push_back({"empty updated", text, {}});
    pairs.push_back({"empty base", {}, Bytes(text.begin(), text.begin() + 5000)});
    pairs.push_back({"tiny", {'a'}, {'b'}});
    pairs.push_back({"both empty", {}, {}});
    return pairs;
}

TEST(CompactRoundTrip, EveryKindOfChangeThroughEveryMethod) {
    for (const Pair& pair : generated_pairs()) {
        for (unsigned methods : {~0u, kZstd, kXz, kStoredOnly}) {
            SCOPED_TRACE(std::string(pair.name) + ", methods " + std::to_string(methods));
            const Bytes delta = make_compact(&pair.base, pair.updated, methods);
            const Restored r = restore_compact(&pair.base, delta);
            ASSERT_EQ(r.result, static_cast<int>(pair.updated.size()));
            EXPECT_EQ(r.output, pair.updated);
            // The file information comes back as the design trailer holds it.
            EXPECT_EQ(r.trailer.access_time(), 2000000000);
            EXPECT_EQ(r.trailer.modification_time(), 1500000000);
            UpdatedRecord record;
            ASSERT_EQ(read_updated_record(r.trailer, record), RecordState::present);
            EXPECT_EQ(record.mode, 0640);
            EXPECT_EQ(record.digest, digest_of_bytes(pair.updated.data(), pair.updated.size()));
        }
    }
}

TEST(CompactRoundTrip, ChangedPairsCostFarLessThanUpdatedAndNoBaseStillRestores) {
    const Pair pair = generated_pairs()[2];  // the moved block in random bytes
    const Bytes delta = make_compact(&pair.base, pair.updated);
    EXPECT_LT(delta.size(), 200u);
    // Without a Base the whole of Updated is coded, and restored without one.
    const Bytes alone = make_compact(nullptr, pair.updated);
    EXPECT_GT(alone.size(), pair.updated.size() / 2);
    const Restored r = restore_compact(nullptr, alone);
    ASSERT_EQ(r.result, static_cast<int>(pair.updated.size()));
    EXPECT_EQ(r.output, pair.updated);
}

// The path of large pairs, taken here by small ones: zstd streamed straight
// into the delta, and the delta rewritten as stored (and cut to its new
// length) when zstd cannot make Updated smaller.
TEST(CompactRoundTrip, TheStreamedPathRoundTripsAndFallsBackToStored) {
    for (const Pair& pair : generated_pairs()) {
        SCOPED_TRACE(pair.name);
        const Bytes delta = make_compact(&pair.base, pair.updated, ~0u, nullptr, 0);
        const Restored r = restore_compact(&pair.base, delta);
        ASSERT_EQ(r.result, static_cast<int>(pair.updated.size()));
        EXPECT_EQ(r.output, pair.updated);
    }
    const Bytes noise = test::random_bytes(5000, 71);
    const Bytes stored = make_compact(nullptr, noise, ~0u, nullptr, 0);
    compact::Header header;
    std::size_t length = 0;
    ASSERT_EQ(compact::read_header(stored, header, length), compact::HeaderState::ok);
    EXPECT_EQ(header.method, compact::METHOD_STORED);
    EXPECT_EQ(stored.size(), length + noise.size());
    EXPECT_EQ(restore_compact(nullptr, stored).output, noise);
}

TEST(CompactRoundTrip, TimesAndModesAtTheirEdgesComeBack) {
    const Bytes updated = test::text_like(3000, 9);
    const Bytes base = test::text_like(3000, 10);
    struct Case {
        std::int32_t accessed, modified;
        std::uint16_t mode;
    };
    for (const Case c : {Case{-1, -1, 0}, Case{0, -1, 0777}, Case{-1, 0, 0400}, Case{1000, 2000000000, 0755},
                         Case{-2, -2, 0644}, Case{2000000000, 5, 0600}}) {
        const TrailerRecord trailer = engine_trailer(updated, c.mode, c.accessed, c.modified);
        const Restored r = restore_compact(&base, make_compact(&base, updated, ~0u, &trailer));
        ASSERT_EQ(r.result, static_cast<int>(updated.size()));
        EXPECT_EQ(r.trailer.access_time(), c.accessed);
        EXPECT_EQ(r.trailer.modification_time(), c.modified);
        UpdatedRecord record;
        ASSERT_EQ(read_updated_record(r.trailer, record), RecordState::present);
        EXPECT_EQ(record.mode, c.mode);
    }
    // Without a record (the plain trailer) only the owner's read and write
    // bits are carried, and the digest is made here.
    TrailerRecord plain;
    for (int i = 0; i < 5; ++i) plain.set_time_slot(i, -1);
    plain.set_attributes(1);
    const Restored r = restore_compact(&base, make_compact(&base, updated, ~0u, &plain));
    ASSERT_EQ(r.result, static_cast<int>(updated.size()));
    UpdatedRecord record;
    EXPECT_EQ(read_updated_record(r.trailer, record), RecordState::absent);
    EXPECT_EQ(r.trailer.attributes(), 1);
}

// Every single-bit flip and every cut of small deltas, of each method: each is
// refused, or (a flip the format cannot see, which none should be) restores
// exactly Updated.
TEST(CompactDamage, EveryBitFlipAndEveryTruncationIsRefusedOrRestoresTheRightBytes) {
    const Bytes base = test::text_like(3000, 21);
    Bytes updated = base;
    updated.insert(updated.begin() + 1200, {'x', 'y', 'z'});
    updated[2500] ^= 1;
    for (unsigned methods : {kZstd, kXz, kStoredOnly}) {
        const Bytes small_updated = methods == kStoredOnly ? Bytes(updated.begin(), updated.begin() + 40) : updated;
        const Bytes delta = make_compact(&base, small_updated, methods);
        compact::Header header;
        std::size_t header_length = 0;
        ASSERT_EQ(compact::read_header(delta, header, header_length), compact::HeaderState::ok);
        for (std::size_t bit = 0; bit < delta.size() * 8; ++bit) {
            Bytes damaged = delta;
            damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
            const Restored r = restore_compact(&base, damaged, true);
            if (r.result >= 0) {
                // The seal sees every flip in the header, times and mode included.
                EXPECT_GE(bit / 8, header_length) << "bit " << bit;
                ASSERT_EQ(r.output, small_updated) << "bit " << bit;
            }
        }
        for (std::size_t length = 0; length < delta.size(); ++length) {
            const Bytes cut(delta.begin(), delta.begin() + static_cast<std::ptrdiff_t>(length));
            const Restored r = restore_compact(&base, cut, true);
            EXPECT_LT(r.result, 0) << "cut to " << length;
        }
    }
}

TEST(CompactDamage, WrongBasesAndLaterVersionsAreNamed) {
    const Bytes base = test::text_like(5000, 31);
    Bytes updated = base;
    updated[100] = '#';
    const Bytes delta = make_compact(&base, updated);
    Bytes other = base;
    other[4000] ^= 1;
    EXPECT_EQ(restore_compact(&other, delta).result, ERR_WRONG_BASE);
    EXPECT_EQ(restore_compact(nullptr, delta).result, ERR_WRONG_BASE);
    const Bytes longer(base.begin(), base.end() - 1);
    EXPECT_EQ(restore_compact(&longer, delta).result, ERR_WRONG_BASE);

    Bytes later = delta;
    later[2] = static_cast<std::uint8_t>((compact::kVersion + 1) << 4 | (later[2] & 0x0F));
    EXPECT_EQ(restore_compact(&base, later).result, ERR_COMPACT_VERSION);
}

// A header that claims the largest Updated over a payload of a few bytes is
// refused without the claim driving any allocation (ASan would see it).
TEST(CompactDamage, ALargeSizeClaimOverATinyPayloadIsRefused) {
    compact::Header header;
    header.method = compact::METHOD_ZSTD;
    header.updated_size = MAX_FILE_LENGTH;
    Bytes delta;
    compact::write_header(header, {}, delta);
    for (std::uint8_t byte : {0x00, 0x01, 0x02, 0x03}) delta.push_back(byte);
    EXPECT_EQ(restore_compact(nullptr, delta).result, ERR_COMPACT_DAMAGED);
    header.updated_size = MAX_FILE_LENGTH + 1;
    Bytes beyond;
    compact::write_header(header, {}, beyond);
    EXPECT_EQ(restore_compact(nullptr, beyond).result, ERR_COMPACT_DAMAGED);
}

TEST(CompactFormats, EachDecoderRefusesTheOtherFormat) {
    const Bytes base = test::text_like(6000, 41);
    Bytes updated = base;
    updated.insert(updated.begin() + 10, {'a', 'b'});
    const Bytes compact_delta = make_compact(&base, updated);

    // The design format's decoder finds no trailer of its own.
    {
        File b = memory_file(base), d = memory_file(compact_delta), o(std::tmpfile());
        StreamWindow bw{b.get()}, dw{d.get()}, ow{o.get(), 0, 0};
        TrailerRecord trailer;
        EXPECT_EQ(coder_restore(&bw, &dw, &ow, {}, &trailer), ERR_MALFORMED);
        EXPECT_EQ(file_contents(o.get()).size(), 0u);
    }
    // A design-format delta, even one that happens to open with the compact
    // magic, is no compact delta; restore_any_format takes each to its decoder.
    File b = memory_file(base), u = memory_file(updated), d(std::tmpfile());
    StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
    TrailerRecord trailer;
    trailer.set_check_length(kCheckShort);
    write_updated_record(trailer, UpdatedRecord{0640, digest_of_bytes(updated.data(), updated.size())});
    ASSERT_GT(coder_create(&bw, &uw, &dw, 7, {}, trailer), 0);
    Bytes design = file_contents(d.get());
    EXPECT_EQ(restore_compact(&base, design).result, ERR_NOT_COMPACT);
    Bytes disguised = design;
    disguised[0] = compact::kMagic[0];
    disguised[1] = compact::kMagic[1];
    EXPECT_EQ(restore_compact(&base, disguised).result, ERR_NOT_COMPACT);
    const Restored either = restore_compact(&base, design, true);
    ASSERT_EQ(either.result, static_cast<int>(updated.size()));
    EXPECT_EQ(either.output, updated);
    const Restored compact_either = restore_compact(&base, compact_delta, true);
    EXPECT_EQ(compact_either.output, updated);
}

// Updated bytes may carry the design format's trailer magic (a delta shipped
// as a file ends with it); stored, or raw inside a coded payload, they could
// put it exactly where a design decoder reads it, and the compact delta would
// be taken for the other format. Create must never write such a delta.
TEST(CompactFormats, UpdatedBytesThatEndLikeADesignDeltaStillRestore) {
    const Bytes base = test::random_bytes(3000, 42);
    Bytes shipped = test::random_bytes(500, 43);
    std::copy(kTrailerMagic.begin(), kTrailerMagic.end(), shipped.end() - kTrailerSize);
    for (const unsigned methods : {kStoredOnly, kZstd, ~0u}) {
        const Bytes delta = make_compact(&base, shipped, methods);
        for (const bool any_format : {false, true}) {
            const Restored restored = restore_compact(&base, delta, any_format);
            ASSERT_EQ(restored.result, static_cast<int>(shipped.size())) << methods;
            EXPECT_EQ(restored.output, shipped);
        }
    }
}

TEST(CompactFormats, HeaderOverheadStaysSmall) {
    const Bytes base = test::text_like(2000, 51);
    Bytes updated = base;
    updated[7] = '!';
    const Bytes delta = make_compact(&base, updated);
    compact::Header header;
    std::size_t length = 0;
    ASSERT_EQ(compact::read_header(delta, header, length), compact::HeaderState::ok);
    EXPECT_LE(length, 32u);
    EXPECT_LT(delta.size(), 60u);
}

}  // namespace
}  // namespace quoralith
