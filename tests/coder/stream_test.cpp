// Large arrays live in their own mappings, placed on huge page boundaries; the
// arithmetic that trims the mapping must leave every byte asked for usable.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

#include "coder/coder.h"
#include "coder/stream.h"

namespace quoralith {
namespace {

TEST(LargeBlocks, EveryByteAskedForIsUsableAndBlocksDoNotOverlap) {
    constexpr std::uintptr_t kHuge = std::uintptr_t{1} << 21;
    // Sizes below, at and just past a huge page, and an odd one of several.
    for (const std::size_t bytes : {std::size_t{1}, kHuge - 1, kHuge, kHuge + 1, 3 * kHuge + 12345}) {
        auto* a = static_cast<std::uint8_t*>(allocate_large(bytes));
        auto* b = static_cast<std::uint8_t*>(allocate_large(bytes));
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(a) % kHuge, 0u) << bytes;
        EXPECT_TRUE(a + bytes <= b || b + bytes <= a) << bytes;
        std::memset(a, 0x5A, bytes);
        std::memset(b, 0xA5, bytes);
        EXPECT_EQ(a[0], 0x5A);
        EXPECT_EQ(a[bytes - 1], 0x5A);
        EXPECT_EQ(b[bytes - 1], 0xA5);
        release_large(a, bytes);
        release_large(b, bytes);
    }
}

TEST(LargeBlocks, ScratchGrowsToTheLargestRequestAndKeepsItsPlace) {
    Scratch<std::uint64_t> scratch;
    std::uint64_t* small = scratch.reserve(10);
    small[9] = 1;
    EXPECT_EQ(scratch.reserve(5), small);  // no smaller block for a smaller request
    std::uint64_t* large = scratch.reserve(std::size_t{1} << 18);  // 2 MiB: a large block
    large[(std::size_t{1} << 18) - 1] = 2;
    EXPECT_EQ(scratch.reserve(11), large);
    EXPECT_EQ(large[(std::size_t{1} << 18) - 1], 2u);
}

// A stream kept in memory behaves as a file would: blocks written out of
// order, a gap read back as zeros, reads that stop at the end, a cut.
TEST(MemoryChannel, BehavesAsAFile) {
    std::vector<std::uint8_t> bytes;
    Channel c = Channel::of_memory(bytes);
    const std::uint8_t tail[] = {7, 8, 9};
    ASSERT_TRUE(c.seek(10));
    EXPECT_EQ(c.write(tail, 3), 3);
    const std::uint8_t head[] = {1, 2};
    EXPECT_EQ(c.read_at(0, nullptr, 0), 0);
    ASSERT_TRUE(c.seek(0));
    EXPECT_EQ(c.write(head, 2), 2);
    EXPECT_EQ(c.length(), 13);
    std::uint8_t all[20] = {};
    EXPECT_EQ(c.read_at(0, all, 20), 13);
    const std::uint8_t expected[13] = {1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 7, 8, 9};
    EXPECT_EQ(std::memcmp(all, expected, 13), 0);
    EXPECT_EQ(c.read_exact_at(11, all, 3), ERR_MALFORMED);  // only two bytes left there
    ASSERT_TRUE(c.seek(11));
    EXPECT_TRUE(c.truncate_here());
    EXPECT_EQ(c.length(), 11);
}

}  // namespace
}  // namespace quoralith
