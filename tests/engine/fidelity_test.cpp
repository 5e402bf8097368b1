// The record of Updated's permission bits and digest: what create writes with
// and without it, restores that refuse wrong bytes without touching what was
// there, and trees that keep their execute bits.
#include <fcntl.h>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "coder/digest.h"
#include "engine/engine.h"
#include "engine_test_support.h"
#include "tree_test_support.h"

namespace quoralith {
namespace {

using test::Bytes;
using test::read_file;
using test::ScratchDir;
using test::write_file;

constexpr std::time_t kStamp = 1600000000;

void set_times_and_mode(const std::string& path, mode_t mode) {
    const timespec times[2] = {{kStamp, 0}, {kStamp, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

std::string saved(const std::string& name) { return std::string(QUORALITH_TEST_DATA) + "/plain_trailer/" + name; }

int run_file(int type, const std::string& first, const std::string& second, std::string output, EngineFlags flags,
             AlgorithmMask mask = 0x80, test::Recorder* recorder = nullptr) {
    test::Recorder local;
    test::Recorder& r = recorder ? *recorder : local;
    return engine_file_op(type, first.empty() ? nullptr : first.c_str(), second, output, nullptr, flags, mask,
                          r.callback());
}

TrailerRecord trailer_of(const Bytes& delta) {
    TrailerRecord trailer;
    std::copy(delta.end() - kTrailerSize, delta.end(), trailer.bytes.begin());
    return trailer;
}

// Deltas written before the record existed, kept in the tests' data: a plain
// trailer must give them byte for byte.
TEST(PlainTrailer, CreateWritesTheDeltasItWroteBeforeTheRecord) {
    ScratchDir dir;
    const std::string base = dir.file("base.bin"), updated = dir.file("updated.bin"), out = dir.file("out.dlt");
    write_file(base, read_file(saved("base.bin")));
    write_file(updated, read_file(saved("updated.bin")));
    auto create = [&](const std::string& first, EngineFlags flags, AlgorithmMask mask) {
        set_times_and_mode(base, 0644);
        set_times_and_mode(updated, 0644);
        EXPECT_EQ(run_file(OP_CREATE_FILE, first, updated, out, flags, mask), 0);
        return read_file(out);
    };
    for (int algorithm = 0; algorithm < 8; ++algorithm) {
        const Bytes expected = read_file(saved("delta" + std::to_string(algorithm) + ".dlt"));
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(create(base, EF_SHORT_STAMP | EF_PLAIN_TRAILER, static_cast<AlgorithmMask>(1u << algorithm)),
                  expected)
            << "algorithm " << algorithm;
    }
    EXPECT_EQ(create(base, EF_PLAIN_TRAILER, 0xFF), read_file(saved("best-long.dlt")));
    EXPECT_EQ(create(dir.file("no-such-base"), EF_SHORT_STAMP | EF_PLAIN_TRAILER, 0x80), read_file(saved("new.dlt")));

    // With the record, only the 24 reserved bytes differ, and they hold the
    // file's mode and digest.
    const Bytes plain = read_file(saved("delta5.dlt"));
    const Bytes tagged = create(base, EF_SHORT_STAMP, 0x20);
    ASSERT_EQ(tagged.size(), plain.size());
    const std::size_t field = plain.size() - kTrailerSize + TrailerRecord::kTagOffset;
    EXPECT_TRUE(std::equal(plain.begin(), plain.begin() + static_cast<long>(field), tagged.begin()));
    EXPECT_TRUE(std::equal(plain.begin() + static_cast<long>(field) + TrailerRecord::kTagSize, plain.end(),
                           tagged.begin() + static_cast<long>(field) + TrailerRecord::kTagSize));
    UpdatedRecord record;
    ASSERT_EQ(read_updated_record(trailer_of(tagged), record), RecordState::present);
    EXPECT_EQ(record.mode, 0644);
    const Bytes content = read_file(updated);
    EXPECT_EQ(record.digest, digest_of_bytes(content.data(), content.size()));
}

// A delta whose stored payload was damaged: it decodes, to the wrong bytes.
struct DamagedDelta {
    Bytes updated;
    Bytes delta;
};

DamagedDelta damaged_delta(const ScratchDir& dir, const std::string& base) {
    DamagedDelta d;
    d.updated = test::random_bytes(150, 21);  // short enough to be stored as it is
    const std::string updated = dir.file("updated.src"), delta = dir.file("delta.src");
    write_file(updated, d.updated);
    EXPECT_EQ(run_file(OP_CREATE_FILE, base, updated, delta, EF_SHORT_STAMP), 0);
    d.delta = read_file(delta);
    d.delta[40] ^= 0x04;
    return d;
}

TEST(VerifiedRestore, AMismatchInPlaceLeavesTheBaseAsItWas) {
    ScratchDir dir;
    const std::string base = dir.file("app.bin"), delta = dir.file("app.dlt");
    const Bytes original = test::random_bytes(5000, 3);
    write_file(base, original);
    const DamagedDelta damaged = damaged_delta(dir, base);
    write_file(delta, damaged.delta);
    set_times_and_mode(base, 0750);

    test::Recorder recorder;
    std::string output = base;
    EXPECT_EQ(engine_file_op(OP_RESTORE_FILE, base.c_str(), delta, output, nullptr,
                             EF_IN_PLACE | EF_KEEP_DATE | EF_KEEP_ATTRIBUTES, 0, recorder.callback()),
              ERR_CONTENT_MISMATCH);
    EXPECT_EQ(output, base);
    EXPECT_EQ(read_file(base), original);
    EXPECT_EQ(test::mode_of(base), 0750u);
    EXPECT_EQ(test::mtime_of(base), kStamp);
    const auto codes = recorder.file_codes();
    EXPECT_NE(std::find(codes.begin(), codes.end(), ERR_CONTENT_MISMATCH), codes.end());
    EXPECT_EQ(test::names_in(dir), (std::vector<std::string>{"app.bin", "app.dlt", "delta.src", "updated.src"}));
}

TEST(VerifiedRestore, AMismatchNeverReplacesAnExistingOutput) {
    ScratchDir dir;
    const std::string base = dir.file("base.bin"), delta = dir.file("d.dlt"), out = dir.file("out.bin");
    write_file(base, test::random_bytes(3000, 8));
    const DamagedDelta damaged = damaged_delta(dir, base);
    write_file(delta, damaged.delta);
    const Bytes previous = {'o', 'l', 'd'};
    write_file(out, previous);
    EXPECT_EQ(run_file(OP_RESTORE_FILE, base, delta, out, EF_KEEP_ATTRIBUTES), ERR_CONTENT_MISMATCH);
    EXPECT_EQ(read_file(out), previous);
    // The same delta undamaged restores.
    Bytes good = damaged.delta;
    good[40] ^= 0x04;
    write_file(delta, good);
    EXPECT_EQ(run_file(OP_RESTORE_FILE, base, delta, out, EF_KEEP_ATTRIBUTES), 0);
    EXPECT_EQ(read_file(out), damaged.updated);
}

// A release's tree: scripts and programs keep their execute bits, private
// files stay private, read-only files stay read-only.
TEST(VerifiedRestore, TreesKeepEveryFilesPermissionBits) {
    namespace fs = std::filesystem;
    ScratchDir dir;
    const fs::path old_tree = dir.path() / "old", new_tree = dir.path() / "new", deltas = dir.path() / "deltas",
                   restored = dir.path() / "restored";
    const std::vector<std::pair<std::string, mode_t>> files = {
        {"bin/run.sh", 0755}, {"bin/tool", 0700}, {"lib/data.txt", 0644}, {"lib/frozen.cfg", 0444}};
    for (const auto& [name, mode] : files) {
        fs::create_directories((old_tree / name).parent_path());
        fs::create_directories((new_tree / name).parent_path());
        write_file((old_tree / name).string(), test::text_like(4000, 1));
        write_file((new_tree / name).string(), test::text_like(4100, 2));
        ASSERT_EQ(chmod((old_tree / name).c_str(), 0644), 0);
        ASSERT_EQ(chmod((new_tree / name).c_str(), mode), 0);
    }
    std::string out = deltas.string();
    ASSERT_EQ(test::run_engine(OP_CREATE_DIR, old_tree.string(), new_tree.string(), out, "", "",
                         EF_INCLUDE_SUBDIRS | EF_SHORT_STAMP, 0x80, {}),
              0);
    // Into a fresh tree, and in place over the old one.
    for (const fs::path& target : {restored, old_tree}) {
        std::string output = target.string();
        EngineFlags flags = EF_INCLUDE_SUBDIRS | EF_KEEP_DATE | EF_KEEP_ATTRIBUTES;
        if (target == old_tree) flags |= EF_IN_PLACE;
        ASSERT_EQ(test::run_engine(OP_RESTORE_DIR, old_tree.string(), deltas.string(), output, "", "", flags, 0, {}), 0);
        for (const auto& [name, mode] : files) {
            EXPECT_EQ(test::permissions_of((target / name).string()), mode) << target << " " << name;
            EXPECT_EQ(read_file((target / name).string()), read_file((new_tree / name).string()));
        }
    }
}

// Without the record, the attribute word's two bits are all a delta says.
TEST(VerifiedRestore, APlainDeltaKeepsOnlyTheReadAndWriteBits) {
    ScratchDir dir;
    const std::string base = dir.file("b"), updated = dir.file("u"), delta = dir.file("d"), out = dir.file("o");
    write_file(base, test::text_like(2000, 1));
    write_file(updated, test::text_like(2000, 2));
    ASSERT_EQ(chmod(updated.c_str(), 0555), 0);
    ASSERT_EQ(run_file(OP_CREATE_FILE, base, updated, delta, EF_SHORT_STAMP | EF_PLAIN_TRAILER), 0);
    write_file(out, {});
    ASSERT_EQ(chmod(out.c_str(), 0640), 0);
    ASSERT_EQ(run_file(OP_RESTORE_FILE, base, delta, out, EF_KEEP_ATTRIBUTES), 0);
    EXPECT_EQ(test::permissions_of(out), 0440u);  // read-only, the rest as the file was
}

}  // namespace
}  // namespace quoralith
