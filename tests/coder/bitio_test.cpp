// Control-stream bit codes: the worked examples of the count and Rice codes and
// round trips through a temporary file.
#include <gtest/gtest.h>

#include "coder/bitio.h"

namespace quoralith {
namespace {

std::vector<std::uint8_t> written(const std::function<void(ControlWriter&)>& body) {
    TempFile tmp;
    EXPECT_TRUE(tmp.open());
    ControlWriter writer(tmp.channel(), 16);
    body(writer);
    EXPECT_EQ(writer.finish(), 0);
    std::vector<std::uint8_t> out(static_cast<std::size_t>(writer.byte_count()));
    Channel c = tmp.channel();
    EXPECT_EQ(c.read_at(0, out.data(), static_cast<std::int64_t>(out.size())), static_cast<std::int64_t>(out.size()));
    return out;
}

TEST(ControlStream, CountCodeExamples) {
    // 1 is 00, 2 is 01, 3 is 1000: packed MSB first into 0b00011000.
    auto bytes = written([](ControlWriter& w) {
        w.put_count(1);
        w.put_count(2);
        w.put_count(3);
    });
    ASSERT_EQ(bytes.size(), 1u);
    EXPECT_EQ(bytes[0], 0x18);
}

TEST(ControlStream, RoundTripOfEveryCode) {
    std::vector<std::uint32_t> values = {1, 2, 3, 4, 7, 8, 100, 65535, 65536, 0x3FFFFFFF, 0x7FFFFFFF, 0xFFFFFFFE};
    TempFile tmp;
    ASSERT_TRUE(tmp.open());
    ControlWriter writer(tmp.channel(), 8);
    for (auto v : values) {
        writer.put_count(v);
        for (int k = 1; k <= 5; ++k)
            if (v < 5000) writer.put_rice(k, v);
        writer.put_flag(v & 1);
        writer.put_bits(v & 0x1FFFF, 17);
    }
    ASSERT_EQ(writer.finish(), 0);
    ControlReader reader(tmp.channel(), 0, writer.byte_count());
    for (auto v : values) {
        EXPECT_EQ(reader.get_count(), v);
        for (int k = 1; k <= 5; ++k)
            if (v < 5000) {
                EXPECT_EQ(reader.get_rice(k), v);
            }
        EXPECT_EQ(reader.get_flag(), bool(v & 1));
        EXPECT_EQ(reader.get_bits(17), v & 0x1FFFF);
    }
    EXPECT_FALSE(reader.overrun());
    reader.get_bits(16);
    EXPECT_TRUE(reader.overrun());
}

TEST(ControlStream, CorruptCountCodeIsRefused) {
    TempFile tmp;
    ASSERT_TRUE(tmp.open());
    std::vector<std::uint8_t> ones(8, 0xFF);
    Channel c = tmp.channel();
    ASSERT_EQ(c.write(ones.data(), 8), 8);
    ControlReader reader(tmp.channel(), 0, 8);
    reader.get_count();
    EXPECT_TRUE(reader.overrun());
}

}  // namespace
}  // namespace quoralith
