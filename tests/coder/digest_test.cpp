// The content digest, the trailer record that carries it, and restores that
// refuse a damaged delta instead of writing wrong bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "coder/coder.h"
#include "coder/digest.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;
using test::File;
using test::file_contents;
using test::memory_file;

// ---------------------------------------------------------------------------
// The digest, however the output is written

ContentDigest digest_in_pieces(const Bytes& data, const std::vector<std::pair<std::size_t, std::size_t>>& pieces,
                               bool& complete) {
    DigestBuilder builder;
    for (auto [at, count] : pieces) builder.add(static_cast<std::int64_t>(at), data.data() + at, count);
    ContentDigest out{};
    complete = builder.finish(static_cast<std::int64_t>(data.size()), out);
    return out;
}

TEST(Digest, TheSameWhateverOrderTheBytesAreWrittenIn) {
    const Bytes data = test::random_bytes(5 * kDigestLeaf + 12345, 7);
    const ContentDigest whole = digest_of_bytes(data.data(), data.size());

    // Forward, in pieces of every size that do not meet leaf edges.
    std::vector<std::pair<std::size_t, std::size_t>> forward;
    std::mt19937 random(3);
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t n = std::min<std::size_t>(1 + random() % 100000, data.size() - at);
        forward.emplace_back(at, n);
        at += n;
    }
    // Backward in blocks, as the block packer writes: each stretch starts at a
    // multiple of its block size and ends where the previous one began.
    std::vector<std::pair<std::size_t, std::size_t>> backward;
    for (std::size_t hi = data.size(); hi > 0;) {
        const std::size_t lo = hi > 3 * 8192 ? (hi - 3 * 8192) / 8192 * 8192 : 0;
        backward.emplace_back(lo, hi - lo);
        hi = lo;
    }
    for (const auto& pieces : {forward, backward}) {
        bool complete = false;
        EXPECT_EQ(digest_in_pieces(data, pieces, complete), whole);
        EXPECT_TRUE(complete);
    }
}

TEST(Digest, SeesEveryChangeOfContentOrLength) {
    const Bytes data = test::text_like(3 * kDigestLeaf, 1);
    const ContentDigest whole = digest_of_bytes(data.data(), data.size());
    Bytes flipped = data;
    flipped[2 * kDigestLeaf + 5] ^= 0x10;
    EXPECT_NE(digest_of_bytes(flipped.data(), flipped.size()), whole);
    Bytes longer = data;
    longer.push_back(0);
    EXPECT_NE(digest_of_bytes(longer.data(), longer.size()), whole);
    // Two leaves swapped: each leaf's digest is the same, their order is not.
    Bytes swapped(data.begin() + kDigestLeaf, data.begin() + 2 * kDigestLeaf);
    swapped.insert(swapped.end(), data.begin(), data.begin() + kDigestLeaf);
    swapped.insert(swapped.end(), data.begin() + 2 * kDigestLeaf, data.end());
    EXPECT_NE(digest_of_bytes(swapped.data(), swapped.size()), whole);
    EXPECT_NE(digest_of_bytes(nullptr, 0), digest_of_bytes(data.data(), 1));
}

TEST(Digest, WritesItCannotFollowAreNeverTakenForAWholeFile) {
    const Bytes data = test::random_bytes(2 * kDigestLeaf + 100, 9);
    bool complete = true;
    // A gap: the file's last bytes never written.
    digest_in_pieces(data, {{0, data.size() - 1}}, complete);
    EXPECT_FALSE(complete);
    // A byte written twice, inside a leaf and over a finished leaf.
    digest_in_pieces(data, {{0, 1000}, {999, data.size() - 999}}, complete);
    EXPECT_FALSE(complete);
    digest_in_pieces(data, {{0, kDigestLeaf}, {0, 10}, {10, data.size() - 10}}, complete);
    EXPECT_FALSE(complete);
    // Over bytes written ahead of the leaf's start, and into a gap between.
    digest_in_pieces(data, {{100, 100}, {0, 150}, {150, data.size() - 150}}, complete);
    EXPECT_FALSE(complete);
    digest_in_pieces(data, {{300, 100}, {100, 100}, {0, 100}, {200, 100}, {400, data.size() - 400}}, complete);
    EXPECT_FALSE(complete);
    // Bytes beyond the length the file turned out to have.
    DigestBuilder builder;
    builder.add(0, data.data(), data.size());
    ContentDigest out{};
    EXPECT_FALSE(builder.finish(kDigestLeaf, out));
}

// ---------------------------------------------------------------------------
// The record in the trailer

TrailerRecord trailer_with_record(std::uint16_t mode) {
    TrailerRecord trailer;
    trailer.set_magic();
    trailer.set_check_length(4);
    for (int i = 0; i < 5; ++i) trailer.set_time_slot(i, -1);
    trailer.set_time_slot(2, 1700000000);
    trailer.set_attributes(3);
    UpdatedRecord record;
    record.mode = mode;
    for (std::size_t i = 0; i < kDigestSize; ++i) record.digest[i] = static_cast<std::uint8_t>(i * 17 + 1);
    write_updated_record(trailer, record);
    return trailer;
}

TEST(TrailerRecordTag, ReadsBackAndNoticesEverySingleFlippedBit) {
    const TrailerRecord trailer = trailer_with_record(0755);
    UpdatedRecord read;
    ASSERT_EQ(read_updated_record(trailer, read), RecordState::present);
    EXPECT_EQ(read.mode, 0755);
    EXPECT_EQ(read.digest[1], 18);

    // Every bit of the check length, the record, the times and the attribute
    // word is covered, the tag's too: no flip can hide the record.
    for (int byte = 8; byte < kTrailerSize; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            TrailerRecord flipped = trailer;
            flipped.bytes[byte] ^= static_cast<std::uint8_t>(1 << bit);
            EXPECT_EQ(read_updated_record(flipped, read), RecordState::damaged) << byte << "." << bit;
        }
    }
}

TEST(TrailerRecordTag, OnlyZerosAreNoRecord) {
    TrailerRecord zeros;
    UpdatedRecord read;
    EXPECT_EQ(read_updated_record(zeros, read), RecordState::absent);
    // One set bit anywhere in the field, another version, another tag: damage.
    for (int byte = 0; byte < TrailerRecord::kTagSize; ++byte) {
        TrailerRecord one;
        one.tag()[byte] = 0x80;
        EXPECT_EQ(read_updated_record(one, read), RecordState::damaged) << byte;
    }
    TrailerRecord later = trailer_with_record(0644);
    later.tag()[3] = 2;
    EXPECT_EQ(read_updated_record(later, read), RecordState::damaged);
    // Set-user-id and the like are never stored, and a record that claims
    // them (with a CRC that holds) is damaged.
    TrailerRecord setuid = trailer_with_record(0755);
    setuid.tag()[5] |= 0x08;  // 04000 in the mode's high byte
    setuid.put16(32, crc16(setuid.bytes.data() + 34, 22, crc16(setuid.bytes.data() + 8, 24)));
    EXPECT_EQ(read_updated_record(setuid, read), RecordState::damaged);
    const TrailerRecord masked = trailer_with_record(04755);
    ASSERT_EQ(read_updated_record(masked, read), RecordState::present);
    EXPECT_EQ(read.mode, 0755);
}

// ---------------------------------------------------------------------------
// Restores of a delta with the record

Bytes make_delta_with_record(const Bytes& base, const Bytes& updated, int algorithm) {
    File b = memory_file(base), u = memory_file(updated), d(std::tmpfile());
    StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
    TrailerRecord trailer;
    trailer.set_check_length(4);
    for (int i = 0; i < 5; ++i) trailer.set_time_slot(i, -1);
    trailer.set_attributes(3);
    write_updated_record(trailer, UpdatedRecord{0644, digest_of_bytes(updated.data(), updated.size())});
    EXPECT_GT(coder_create(&bw, &uw, &dw, algorithm, {}, trailer), 0);
    return file_contents(d.get());
}

struct Restored {
    int result;
    Bytes output;
};

Restored restore(const Bytes& base, const Bytes& delta) {
    File b = memory_file(base), d = memory_file(delta), o(std::tmpfile());
    StreamWindow bw{b.get()}, dw{d.get()}, ow{o.get(), 0, 0};
    TrailerRecord trailer;
    Restored r;
    r.result = coder_restore(&bw, &dw, &ow, {}, &trailer);
    r.output = file_contents(o.get());
    return r;
}

struct FlipCase {
    const char* name;
    int algorithm;
    bool new_file;  // no Base: the delta is Updated stored or packed
};

class EveryBitFlip : public ::testing::TestWithParam<FlipCase> {};

// Every single-bit flip in the delta's body (payload, method header and method
// byte) is refused or restores the right bytes: never wrong bytes with success.
TEST_P(EveryBitFlip, IsRefusedOrRestoresTheRightBytes) {
    const FlipCase c = GetParam();
    const Bytes base = c.new_file ? Bytes{} : test::text_like(6000, 11);
    Bytes updated = test::text_like(6000, 11);
    if (c.new_file) {
        updated = test::text_like(3000, 5);
    } else {
        // Changes of every kind: replaced, inserted and removed stretches.
        for (int i = 0; i < 6; ++i) updated[static_cast<std::size_t>(300 + i * 900)] ^= 0x5A;
        updated.insert(updated.begin() + 2500, {'n', 'e', 'w', ' ', 't', 'e', 'x', 't'});
        updated.erase(updated.begin() + 4000, updated.begin() + 4100);
    }
    const Bytes delta = make_delta_with_record(base, updated, c.algorithm);
    ASSERT_EQ(restore(base, delta).output, updated);
    const std::size_t body = delta.size() - kTrailerSize - kCheckShort;

    int refused = 0, mismatched = 0, unharmed = 0;
    for (std::size_t byte = 0; byte < body; ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            Bytes flipped = delta;
            flipped[byte] ^= static_cast<std::uint8_t>(1 << bit);
            const Restored r = restore(base, flipped);
            if (r.result >= 0) {
                ASSERT_EQ(r.output, updated) << "wrong bytes restored with success, byte " << byte << " bit " << bit;
                ++unharmed;
            } else {
                ++refused;
                if (r.result == ERR_CONTENT_MISMATCH) ++mismatched;
            }
        }
    }
    // Most flips decode to something; the digest is what refuses them.
    EXPECT_GT(mismatched, 0);
    EXPECT_EQ(refused + unharmed, static_cast<int>(body * 8));
}

INSTANTIATE_TEST_SUITE_P(Deltas, EveryBitFlip,
                         ::testing::Values(FlipCase{"matched7", 7, false}, FlipCase{"chunked0", 0, false},
                                           FlipCase{"runs4", 4, false}, FlipCase{"packed7", 7, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(RestoreWithRecord, ADamagedRecordIsRefusedAndAMissingOneIsNotNeeded) {
    const Bytes base = test::text_like(5000, 2);
    Bytes updated = base;
    updated[100] ^= 1;
    Bytes delta = make_delta_with_record(base, updated, 7);
    // The mode bits of the record, flipped: the CRC refuses the delta.
    Bytes damaged = delta;
    damaged[delta.size() - kTrailerSize + 14] ^= 0x01;
    EXPECT_EQ(restore(base, damaged).result, ERR_RECORD_DAMAGED);
    // A flipped bit of the tag is damage too, never "no record".
    Bytes untagged = delta;
    untagged[delta.size() - kTrailerSize + 10] ^= 0x04;
    EXPECT_EQ(restore(base, untagged).result, ERR_RECORD_DAMAGED);
    // The record zeroed, as other programs write the field: restores unverified.
    Bytes plain = delta;
    std::fill(plain.end() - kTrailerSize + 10, plain.end() - kTrailerSize + 34, 0);
    const Restored r = restore(base, plain);
    EXPECT_EQ(r.result, static_cast<int>(updated.size()));
    EXPECT_EQ(r.output, updated);
}

TEST(RestoreWithRecord, AnExpectedDigestChecksADeltaWithoutTrailer) {
    const Bytes updated = test::text_like(70000, 4);
    File u = memory_file(updated), d(std::tmpfile());
    StreamWindow none{nullptr}, uw{u.get()}, dw{d.get(), 0, 0};
    TrailerRecord bare;  // check length 0: no trailer, as inside an archive
    ASSERT_GT(coder_create(&none, &uw, &dw, 7, {}, bare), 0);
    const Bytes body = file_contents(d.get());

    auto restore_expecting = [&](const ContentDigest& digest) {
        File in = memory_file(body), o(std::tmpfile());
        StreamWindow nb{nullptr}, iw{in.get()}, ow{o.get(), 0, 0};
        ExpectedContent expected{digest, 8};
        return coder_restore(&nb, &iw, &ow, {}, nullptr, &expected);
    };
    ContentDigest digest = digest_of_bytes(updated.data(), updated.size());
    EXPECT_EQ(restore_expecting(digest), static_cast<int>(updated.size()));
    // Only the leading eight bytes count.
    digest[12] ^= 1;
    EXPECT_EQ(restore_expecting(digest), static_cast<int>(updated.size()));
    digest[3] ^= 1;
    EXPECT_EQ(restore_expecting(digest), ERR_CONTENT_MISMATCH);
}

}  // namespace
}  // namespace quoralith
