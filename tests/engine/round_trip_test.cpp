// Whole requests through engine_run: every algorithm number on files of every
// shape the coder treats differently, with both check lengths, keep smallest
// and keep all, restored beside the Base and in place over it.
#include <gtest/gtest.h>

#include "engine_test_support.h"

namespace quoralith::test {
namespace {

struct Shape {
    const char* name;
    Bytes base;
    Bytes updated;
    bool has_base = true;
};

Bytes periodic(std::size_t count, std::size_t period, std::uint32_t seed) {
    Bytes pattern = random_bytes(period, seed);
    Bytes out(count);
    for (std::size_t i = 0; i < count; ++i) out[i] = pattern[i % period];
    return out;
}

std::vector<Shape> shapes() {
    std::vector<Shape> all;
    all.push_back({"empty", text_like(3000, 1), {}});
    all.push_back({"tiny", text_like(3000, 2), Bytes{'q'}});
    all.push_back({"199 bytes", text_like(3000, 3), text_like(199, 3)});
    all.push_back({"200 bytes", text_like(3000, 4), text_like(200, 4)});
    // Runs long enough for the run-length forms of both files.
    Bytes runs = text_like(6000, 5);
    Bytes run_block = periodic(900, 3, 6);
    runs.insert(runs.begin() + 2000, run_block.begin(), run_block.end());
    Bytes runs_updated = runs;
    runs_updated.insert(runs_updated.begin() + 4000, 700, 0);
    runs_updated[100] ^= 0x21;
    all.push_back({"periodic runs", runs, runs_updated});
    Bytes random = random_bytes(20000, 7);
    Bytes random_updated = random;
    random_updated.erase(random_updated.begin() + 5000, random_updated.begin() + 5100);
    random_updated[15000] ^= 1;
    all.push_back({"random", random, random_updated});
    all.push_back({"missing base", {}, text_like(5000, 8), false});
    return all;
}

TEST(EngineRoundTrip, EveryAlgorithmOnEveryShapeBesideAndInPlace) {
    for (const Shape& shape : shapes()) {
        for (int algorithm = 0; algorithm < 16; ++algorithm) {
            SCOPED_TRACE(std::string(shape.name) + ", algorithm " + std::to_string(algorithm));
            ScratchDir dir;
            const std::string base = dir.file("base.bin"), updated = dir.file("updated.bin");
            if (shape.has_base) write_file(base, shape.base);
            write_file(updated, shape.updated);
            const EngineFlags stamp = algorithm % 2 ? EF_SHORT_STAMP : 0;
            std::string delta = dir.file("file.dlt");
            Recorder recorder;
            ASSERT_EQ(run_engine(OP_CREATE_FILE, base, updated, delta, "", "", stamp,
                                 static_cast<AlgorithmMask>(1u << algorithm), recorder.callback()),
                      0);
            ASSERT_EQ(recorder.file_codes().back(), PM_FILE_DONE);

            std::string beside = dir.file("restored.bin");
            ASSERT_EQ(run_engine(OP_RESTORE_FILE, base, delta, beside, "", "", EF_KEEP_DATE | EF_KEEP_ATTRIBUTES, 0,
                                 recorder.callback()),
                      0);
            EXPECT_EQ(read_file(beside), shape.updated);
            if (!shape.has_base) continue;

            std::string in_place = base;
            ASSERT_EQ(run_engine(OP_RESTORE_FILE, base, delta, in_place, "", "", 0, 0, recorder.callback()), 0);
            EXPECT_EQ(in_place, base);
            EXPECT_EQ(read_file(base), shape.updated);
            EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "file.dlt", "restored.bin", "updated.bin"}));
        }
    }
}

TEST(EngineRoundTrip, KeepSmallestAndKeepAllOverEveryAlgorithm) {
    for (const Shape& shape : shapes()) {
        SCOPED_TRACE(shape.name);
        ScratchDir dir;
        const std::string base = dir.file("base.bin"), updated = dir.file("updated.bin");
        if (shape.has_base) write_file(base, shape.base);
        write_file(updated, shape.updated);

        std::string smallest = dir.file("best.dlt");
        ASSERT_EQ(run_engine(OP_CREATE_FILE, base, updated, smallest, "", "", EF_SHORT_STAMP, 0xFFFF), 0);
        std::string all = dir.file("all.dlt");
        ASSERT_EQ(run_engine(OP_CREATE_FILE, base, updated, all, "", "", EF_SHORT_STAMP | EF_KEEP_ALL, 0xFFFF), 0);

        // The kept delta is as small as the smallest candidate, and every
        // candidate restores on its own.
        std::size_t least = SIZE_MAX;
        for (int algorithm = 0; algorithm < 16; ++algorithm) {
            const std::string name = keep_all_name(all, algorithm);
            ASSERT_TRUE(file_exists(name)) << name;
            least = std::min(least, read_file(name).size());
            std::string out = dir.file("out.bin");
            ASSERT_EQ(run_engine(OP_RESTORE_FILE, base, name, out, "", "", 0, 0), 0);
            EXPECT_EQ(read_file(out), shape.updated) << name;
        }
        EXPECT_FALSE(file_exists(all));
        EXPECT_EQ(read_file(smallest).size(), least);
        std::string out = dir.file("out.bin");
        ASSERT_EQ(run_engine(OP_RESTORE_FILE, base, smallest, out, "", "", 0, 0), 0);
        EXPECT_EQ(read_file(out), shape.updated);
    }
}

}  // namespace
}  // namespace quoralith::test
