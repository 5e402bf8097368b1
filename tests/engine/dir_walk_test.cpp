// Directory create and restore through engine_run: round trips of real trees,
// the merge pass, clearing, stopping, and the walk's limits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "engine/engine.h"
#include "run_engine.h"
#include "tree_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

class DirWalkTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = scratch.file("base");
        updated = scratch.file("updated");
        deltas = scratch.file("deltas");
        restored = scratch.file("restored");
        fs::create_directories(base);
        fs::create_directories(updated);
    }

    // Two versions of a small project tree: changed, new, unchanged and
    // removed files over three levels.
    void make_versions() {
        for (const char* d : {"/src/lib", "/docs"}) {
            fs::create_directories(base + d);
            fs::create_directories(updated + d);
        }
        Bytes big = text_like(40000, 1);
        write_file(base + "/src/main.c", big);
        big[1000] ^= 0x55;
        big.insert(big.begin() + 20000, 300, 'z');
        write_file(updated + "/src/main.c", big);
        write_file(base + "/src/lib/util.c", text_like(9000, 2));
        write_file(updated + "/src/lib/util.c", text_like(9000, 2));
        write_file(updated + "/src/lib/new.c", text_like(3000, 3));
        write_file(base + "/docs/old.txt", text_like(2000, 4));  // gone from Updated
        write_file(base + "/README.TXT", text_like(500, 5));
        write_file(updated + "/README.TXT", text_like(600, 5));
        write_file(updated + "/docs/empty.txt", {});
        chmod((updated + "/README.TXT").c_str(), 0444);
        const timespec times[2] = {{1500000000, 0}, {1500000100, 0}};
        utimensat(AT_FDCWD, (updated + "/src/main.c").c_str(), times, 0);
    }

    int create(EngineFlags flags, const std::string& pattern = "") {
        std::string output = deltas;
        return run_engine(OP_CREATE_DIR, base, updated, output, pattern, "", flags, 0x81, recorder.callback());
    }
    int restore(EngineFlags flags, std::string output = "") {
        if (output.empty()) output = restored;
        return run_engine(OP_RESTORE_DIR, base, deltas, output, "", "", flags, 1, recorder.callback());
    }

    ScratchDir scratch;
    std::string base, updated, deltas, restored;
    TreeRecorder recorder;
};

TEST_F(DirWalkTest, TreeRoundTripKeepsContentTimesAndPermissions) {
    make_versions();
    const EngineFlags flags = EF_INCLUDE_SUBDIRS | EF_KEEP_DATE | EF_KEEP_ATTRIBUTES;
    ASSERT_EQ(create(flags), 0);
    EXPECT_EQ(recorder.count(PM_FILE_DONE), 5);
    for (const auto& s : recorder.seen) EXPECT_GE(s.code, 0) << s.output_path;
    // The delta tree mirrors the Updated tree, one delta per file.
    std::vector<std::string> delta_files;
    for (const auto& [name, data] : tree_of(deltas)) delta_files.push_back(name);
    EXPECT_EQ(delta_files, (std::vector<std::string>{"README.TXT", "docs/empty.txt", "src/lib/new.c",
                                                     "src/lib/util.c", "src/main.c"}));

    recorder.seen.clear();
    ASSERT_EQ(restore(flags), 0);
    for (const auto& s : recorder.seen) EXPECT_GE(s.code, 0) << s.output_path;
    EXPECT_EQ(mtime_of(restored + "/src/main.c"), 1500000100);
    EXPECT_EQ(permissions_of(restored + "/README.TXT") & 0222, 0u);
    EXPECT_NE(permissions_of(restored + "/src/main.c") & 0200, 0u);
    EXPECT_EQ(tree_of(restored), tree_of(updated));
}

TEST_F(DirWalkTest, MergeCopiesOnlyBaseFilesWithoutADelta) {
    make_versions();
    ASSERT_EQ(create(EF_INCLUDE_SUBDIRS), 0);
    recorder.seen.clear();
    ASSERT_EQ(restore(EF_INCLUDE_SUBDIRS | EF_MERGE), 0);
    auto expected = tree_of(updated);
    expected["docs/old.txt"] = read_file(base + "/docs/old.txt");
    EXPECT_EQ(tree_of(restored), expected);
    // Five restores and one copy: restored files are not copied again from the Base.
    EXPECT_EQ(recorder.count(PM_FILE_START), 6);
    std::vector<std::string> copied;
    for (const auto& s : recorder.seen)
        if (s.code == PM_FILE_START && !fs::exists(s.second_path)) copied.push_back(s.first_path);
    EXPECT_EQ(copied, std::vector<std::string>{base + "/docs/old.txt"});
}

TEST_F(DirWalkTest, InPlaceRestoreTurnsTheBaseTreeIntoTheUpdatedTree) {
    make_versions();
    ASSERT_EQ(create(EF_INCLUDE_SUBDIRS), 0);
    ASSERT_EQ(restore(EF_INCLUDE_SUBDIRS | EF_MERGE | EF_CLEAR_OUTPUT, base), 0);
    auto expected = tree_of(updated);
    expected["docs/old.txt"] = text_like(2000, 4);  // kept: in place, nothing is cleared
    EXPECT_EQ(tree_of(base), expected);
}

TEST_F(DirWalkTest, EmptyUpdatedTreeMakesEveryMissingOutputLevelAndCallsNothing) {
    std::string output = scratch.file("a/b/c");
    ASSERT_EQ(run_engine(OP_CREATE_DIR, base, updated, output, "", "", EF_INCLUDE_SUBDIRS, 1, recorder.callback()), 0);
    EXPECT_TRUE(fs::is_directory(output));
    EXPECT_TRUE(recorder.seen.empty());
}

TEST_F(DirWalkTest, PatternAndSubdirectoryFlagLimitTheWalk) {
    make_versions();
    write_file(updated + "/src/notes.TXT", {'n'});
    ASSERT_EQ(create(EF_INCLUDE_SUBDIRS, "*.txt"), 0);
    std::vector<std::string> names;
    for (const auto& [name, data] : tree_of(deltas)) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"README.TXT", "docs/empty.txt", "src/notes.TXT"}));

    fs::remove_all(deltas);
    ASSERT_EQ(create(0), 0);
    EXPECT_EQ(entries_of(deltas), std::vector<std::string>{"README.TXT"}) << "no subdirectory is made or walked";
}

TEST_F(DirWalkTest, StopInsideASubdirectoryEntersNoFurtherSubdirectory) {
    for (const char* d : {"/a", "/b", "/c"}) fs::create_directories(updated + d);
    write_file(updated + "/a/one.txt", {'1'});
    write_file(updated + "/b/two.txt", {'2'});
    write_file(updated + "/c/three.txt", {'3'});
    write_file(updated + "/z.txt", {'z'});
    recorder.answer = [](const ProgressRecord& r) -> std::int16_t {
        return r.code == PM_FILE_START ? ANSWER_STOP : ANSWER_SKIP;
    };
    ASSERT_EQ(create(EF_INCLUDE_SUBDIRS | EF_SORTED), 0);
    std::vector<std::string> offered;
    for (const auto& s : recorder.seen)
        if (s.code == PM_FILE_START) offered.push_back(fs::path(s.second_path).lexically_relative(updated).string());
    // The stopped directory's later subdirectories are not entered; a file of
    // the parent that follows is still offered and asked about.
    EXPECT_EQ(offered, (std::vector<std::string>{"a/one.txt", "z.txt"}));
    EXPECT_FALSE(fs::exists(deltas + "/b"));
    EXPECT_TRUE(tree_of(deltas).empty());
}

TEST_F(DirWalkTest, WalkSkipsItsOwnOutputSpecialFilesAndLinkedDirectories) {
    write_file(updated + "/a.txt", text_like(3000, 9));
    ASSERT_EQ(mkfifo((updated + "/pipe").c_str(), 0600), 0);
    fs::create_directory_symlink(updated, updated + "/loop");
    fs::create_symlink("nowhere", updated + "/dangling");
    std::string output = updated + "/deltas";  // the output inside the walked tree
    ASSERT_EQ(run_engine(OP_CREATE_DIR, base, updated, output, "", "", EF_INCLUDE_SUBDIRS, 1, recorder.callback()), 0);
    EXPECT_EQ(entries_of(output), std::vector<std::string>{"a.txt"});
    EXPECT_EQ(recorder.count(ERR_NOT_REGULAR_FILE), 2);  // the pipe and the link to a directory
    EXPECT_EQ(recorder.count(ERR_BROKEN_LINK), 1);
    EXPECT_EQ(recorder.count(PM_FILE_DONE), 1);
}

TEST_F(DirWalkTest, ClearingEmptiesTheOutputButNeverAnInput) {
    make_versions();
    fs::create_directories(deltas + "/stale/ro");
    write_file(deltas + "/stale/ro/x.bin", {1});
    write_file(deltas + "/old.dlt", {2});
    chmod((deltas + "/old.dlt").c_str(), 0444);
    chmod((deltas + "/stale/ro/x.bin").c_str(), 0444);
    chmod((deltas + "/stale/ro").c_str(), 0555);
    ASSERT_EQ(create(EF_INCLUDE_SUBDIRS | EF_CLEAR_OUTPUT), 0);
    EXPECT_FALSE(fs::exists(deltas + "/old.dlt"));
    EXPECT_FALSE(fs::exists(deltas + "/stale"));
    EXPECT_TRUE(fs::exists(deltas + "/src/main.c"));

    // An output directory that is, holds or aliases an input is refused untouched.
    const auto before = tree_of(scratch.path());
    const EngineFlags flags = EF_INCLUDE_SUBDIRS | EF_CLEAR_OUTPUT;
    struct Case {
        int type;
        std::string second, output;
    } cases[] = {
        {OP_CREATE_DIR, updated, scratch.path().string()},
        {OP_CREATE_DIR, updated, scratch.path().string() + "/"},
        {OP_CREATE_DIR, updated, updated + "/."},
        {OP_RESTORE_DIR, deltas, scratch.path().string()},
        {OP_RESTORE_DIR, deltas, base + "/."},  // the Base under another spelling: not in place
        // An output inside an input tree: clearing it would delete input files.
        {OP_CREATE_DIR, updated, base + "/src"},
        {OP_CREATE_DIR, updated, updated + "/src/lib"},
        {OP_RESTORE_DIR, deltas, deltas + "/src"},
        {OP_RESTORE_DIR, deltas, base + "/docs"},
    };
    for (auto& c : cases) {
        EXPECT_TRUE(clearing_would_delete_input(c.type, base, c.second, c.output)) << c.output;
        EXPECT_EQ(run_engine(c.type, base, c.second, c.output, "", "", flags, 1, recorder.callback()), ERR_BAD_REQUEST)
            << c.output;
    }
    EXPECT_EQ(tree_of(scratch.path()), before);
    // Beside the inputs, or restoring over the Base itself, clearing is allowed.
    EXPECT_FALSE(clearing_would_delete_input(OP_CREATE_DIR, base, updated, deltas));
    EXPECT_FALSE(clearing_would_delete_input(OP_RESTORE_DIR, base, deltas, base));
    EXPECT_FALSE(clearing_would_delete_input(OP_CREATE_FILE, base, updated, base + "/src"));
}

}  // namespace
}  // namespace quoralith::test
