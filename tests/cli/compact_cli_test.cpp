// The compact format from the command line: create --compact alone and among
// other candidates, restore and info of either format, trees, archived trees,
// in-place restores, and a failed restore that leaves the earlier file.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "cli_test_support.h"
#include "support/test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

bool opens_compact(const Bytes& delta) { return delta.size() >= 2 && delta[0] == 0x51 && delta[1] == 0xCD; }

class CompactCliTest : public ::testing::Test {
protected:
    Outcome run(const std::string& arguments) { return run_cli(dir.path(), arguments); }

    void SetUp() override {
        base = text_like(50000, 61);
        updated = base;
        updated.insert(updated.begin() + 20000, base.begin() + 100, base.begin() + 400);
        updated[40000] ^= 0x20;
        write_file(dir.file("base.txt"), base);
        write_file(dir.file("updated.txt"), updated);
        chmod(dir.file("updated.txt").c_str(), 0751);
    }

    ScratchDir dir;
    Bytes base, updated;
};

TEST_F(CompactCliTest, CreateRestoreAndInfoOfACompactDelta) {
    Outcome made = run("create --compact base.txt updated.txt d.qd");
    ASSERT_EQ(made.status, 0) << made.err;
    const Bytes delta = read_file(dir.file("d.qd"));
    ASSERT_TRUE(opens_compact(delta));

    Outcome restored = run("restore base.txt d.qd out.txt");
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(read_file(dir.file("out.txt")), updated);
    struct stat status {};
    ASSERT_EQ(stat(dir.file("out.txt").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0751u);

    Outcome info = run("info d.qd");
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_NE(info.out.find("compact, version 1"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("0751 (rwxr-x--x)"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("updated length U:  50300 bytes"), std::string::npos) << info.out;

    // In place, over the Base itself.
    Outcome in_place = run("restore -f base.txt d.qd base.txt");
    ASSERT_EQ(in_place.status, 0) << in_place.err;
    EXPECT_EQ(read_file(dir.file("base.txt")), updated);
}

TEST_F(CompactCliTest, CompactJoinsTheCandidatesAndKeepAllNamesItC) {
    ASSERT_EQ(run("create -a 0-7 base.txt updated.txt design.qd").status, 0);
    Outcome made = run("-v create -a 0-7 --compact base.txt updated.txt both.qd");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_NE(made.err.find("compact format, "), std::string::npos) << made.err;
    const Bytes both = read_file(dir.file("both.qd"));
    EXPECT_TRUE(opens_compact(both));  // the smaller of the two on text
    EXPECT_LT(both.size(), read_file(dir.file("design.qd")).size());

    Outcome kept = run("create --keep-all -a 3 --compact base.txt updated.txt k.qd");
    ASSERT_EQ(kept.status, 0) << kept.err;
    EXPECT_FALSE(opens_compact(read_file(dir.file("k3.qd"))));
    EXPECT_TRUE(opens_compact(read_file(dir.file("kc.qd"))));
    ASSERT_EQ(run("restore base.txt kc.qd out.txt").status, 0);
    EXPECT_EQ(read_file(dir.file("out.txt")), updated);
}

// Without --compact, nothing about the design format's paths moves: plain
// create is algorithm 7's delta, byte for byte, and ends in its trailer.
TEST_F(CompactCliTest, WithoutTheOptionTheDesignFormatIsWrittenAsBefore) {
    ASSERT_EQ(run("create base.txt updated.txt plain.qd").status, 0);
    ASSERT_EQ(run("create -a 7 base.txt updated.txt seven.qd").status, 0);
    ASSERT_EQ(run("create --deep base.txt updated.txt deep.qd").status, 0);
    const Bytes plain = read_file(dir.file("plain.qd"));
    EXPECT_EQ(plain, read_file(dir.file("seven.qd")));
    const Bytes magic = {0x64, 0x31, 0x30, 0x5F, 0x33, 0x03, 0x05, 0x07};
    for (const char* name : {"plain.qd", "deep.qd"}) {
        const Bytes delta = read_file(dir.file(name));
        ASSERT_GT(delta.size(), 56u);
        EXPECT_TRUE(std::equal(magic.begin(), magic.end(), delta.end() - 56)) << name;
    }
}

TEST_F(CompactCliTest, ADamagedDeltaIsRefusedAndTheEarlierOutputKept) {
    ASSERT_EQ(run("create --compact base.txt updated.txt d.qd").status, 0);
    Bytes delta = read_file(dir.file("d.qd"));
    delta[delta.size() - 3] ^= 0x10;
    write_file(dir.file("bad.qd"), delta);
    write_file(dir.file("out.txt"), {'k', 'e', 'e', 'p'});
    Outcome restored = run("restore -f base.txt bad.qd out.txt");
    EXPECT_NE(restored.status, 0);
    EXPECT_NE(restored.err.find("bad.qd: the compact delta is damaged"), std::string::npos) << restored.err;
    EXPECT_EQ(read_file(dir.file("out.txt")), (Bytes{'k', 'e', 'e', 'p'}));
    EXPECT_FALSE(has_temporary(dir.path()));

    // Against another Base the delta says so, before anything is written.
    write_file(dir.file("other.txt"), text_like(50000, 62));
    Outcome wrong = run("restore -f other.txt d.qd out.txt");
    EXPECT_NE(wrong.status, 0);
    EXPECT_NE(wrong.err.find("different base"), std::string::npos) << wrong.err;
}

TEST_F(CompactCliTest, TreesAndArchivedTreesRoundTrip) {
    write_two_releases(dir);
    write_file(dir.file("new/lib/added.js"), text_like(3000, 63));
    chmod(dir.file("new/lib/added.js").c_str(), 0700);

    Outcome made = run("create --archived --compact old new tree.qd");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(opens_compact(read_file(dir.file("tree.qd"))));
    Outcome restored = run("restore --archived old tree.qd out");
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(files_and_modes_below(dir.file("out")), files_and_modes_below(dir.file("new")));

    Outcome walked = run("create --compact old new deltas");
    ASSERT_EQ(walked.status, 0) << walked.err;
    EXPECT_TRUE(opens_compact(read_file(dir.file("deltas/main.js"))));
    Outcome back = run("restore old deltas walked");
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(files_below(dir.file("walked")), files_below(dir.file("new")));
}

}  // namespace
}  // namespace quoralith::test
