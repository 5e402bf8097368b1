// No delta is larger than Updated stored: its bytes as they are, the method
// byte, the check block and the trailer. Pairs of every kind (unrelated noise,
// noise with edits, shifted copies, runs) are coded with every algorithm and
// the deep search; each delta must keep to the bound and restore.
#include <gtest/gtest.h>

#include <random>

#include "coder/coder.h"
#include "coder/deep.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;
using test::File;
using test::file_contents;
using test::memory_file;

struct Pair {
    Bytes base, updated;
};

// Updated from Base by `edits` random changes: a flipped byte, a few bytes
// inserted or cut out, or a stretch of new noise.
Bytes edited(const Bytes& base, int edits, std::mt19937& random) {
    Bytes u = base;
    for (int i = 0; i < edits && !u.empty(); ++i) {
        const std::size_t at = random() % u.size();
        switch (random() % 4) {
            case 0:
                u[at] ^= static_cast<std::uint8_t>(1 + random() % 255);
                break;
            case 1:
                u.insert(u.begin() + static_cast<std::ptrdiff_t>(at), 1 + random() % 9, static_cast<std::uint8_t>(random()));
                break;
            case 2:
                u.erase(u.begin() + static_cast<std::ptrdiff_t>(at),
                        u.begin() + static_cast<std::ptrdiff_t>(std::min(u.size(), at + 1 + random() % 9)));
                break;
            default:
                for (std::size_t j = at; j < std::min(u.size(), at + 40); ++j) u[j] = static_cast<std::uint8_t>(random());
                break;
        }
    }
    return u;
}

std::vector<Pair> pairs() {
    std::vector<Pair> all;
    std::mt19937 random(2026);
    for (std::size_t size : {0, 1, 150, 199, 200, 201, 777, 3000, 20000, 70000}) {
        const Bytes noise = test::random_bytes(size, static_cast<std::uint32_t>(size) + 1);
        const Bytes other = test::random_bytes(size, static_cast<std::uint32_t>(size) + 2);
        all.push_back({noise, other});                                     // unrelated
        all.push_back({noise, edited(noise, 1 + static_cast<int>(size / 300), random)});  // edited
        all.push_back({noise, edited(noise, 1 + static_cast<int>(size / 30), random)});   // heavily edited
        Bytes shifted(noise.begin() + static_cast<std::ptrdiff_t>(std::min<std::size_t>(size, 7)), noise.end());
        shifted.insert(shifted.end(), other.begin(), other.begin() + static_cast<std::ptrdiff_t>(size / 2));
        all.push_back({noise, shifted});                                   // shifted, half new
        all.push_back({Bytes(size, 'a'), other});                          // runs against noise
        all.push_back({other, Bytes(size, 'b')});                          // noise against runs
    }
    return all;
}

int stored_bound(const Pair& pair, int check_length) {
    return static_cast<int>(pair.updated.size()) + 1 + check_length + kTrailerSize;
}

void expect_restores(const Pair& pair, const Bytes& delta) {
    File b = memory_file(pair.base), d = memory_file(delta), o(std::tmpfile());
    StreamWindow bw{b.get()}, dw{d.get()}, ow{o.get(), 0, 0};
    TrailerRecord trailer;
    ASSERT_EQ(coder_restore(&bw, &dw, &ow, {}, &trailer), static_cast<int>(pair.updated.size()));
    EXPECT_EQ(file_contents(o.get()), pair.updated);
}

TEST(StoredBound, EveryAlgorithmKeepsWithinUpdatedStored) {
    const std::vector<Pair> all = pairs();
    for (int algorithm = 0; algorithm <= 15; ++algorithm) {
        for (std::size_t i = 0; i < all.size(); ++i) {
            const Pair& pair = all[i];
            const int check_length = i % 2 ? kCheckShort : kCheckLong;
            File b = memory_file(pair.base), u = memory_file(pair.updated), d(std::tmpfile());
            StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
            TrailerRecord trailer;
            trailer.set_check_length(static_cast<std::int16_t>(check_length));
            const int length = coder_create(&bw, &uw, &dw, algorithm, {}, trailer);
            ASSERT_GT(length, 0) << algorithm << " " << i;
            EXPECT_LE(length, stored_bound(pair, check_length))
                << "algorithm " << algorithm << ", pair " << i << " of " << pair.updated.size() << " bytes";
            const Bytes delta = file_contents(d.get());
            ASSERT_EQ(delta.size(), static_cast<std::size_t>(length));
            expect_restores(pair, delta);
        }
    }
}

TEST(StoredBound, TheDeepSearchKeepsWithinUpdatedStored) {
    const std::vector<Pair> all = pairs();
    for (std::size_t i = 0; i < all.size(); ++i) {
        const Pair& pair = all[i];
        for (std::int64_t window : {std::int64_t{0}, std::int64_t{4096}}) {
            File b = memory_file(pair.base), u = memory_file(pair.updated), d(std::tmpfile());
            StreamWindow bw{b.get()}, uw{u.get()}, dw{d.get(), 0, 0};
            TrailerRecord trailer;
            trailer.set_check_length(kCheckShort);
            DeepOptions options;
            if (window) options.window = window;
            const int length = coder_create_deep(&bw, &uw, &dw, {}, trailer, nullptr, options);
            ASSERT_GT(length, 0) << i;
            EXPECT_LE(length, stored_bound(pair, kCheckShort)) << "pair " << i << ", window " << window;
            const Bytes delta = file_contents(d.get());
            ASSERT_EQ(delta.size(), static_cast<std::size_t>(length));
            expect_restores(pair, delta);
        }
    }
}

}  // namespace
}  // namespace quoralith
