// The command line's Directory jobs with archive files for trees: which names
// it takes for archives, what it refuses and why, and a run ended by a signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "cli_test_support.h"
#include "support/test_support.h"

extern char** environ;

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> names_below(const fs::path& root) {
    std::vector<std::string> names;
    for (const auto& [name, data] : files_below(root)) names.push_back(name);
    return names;
}

fs::perms mode_of(const std::string& path) { return fs::status(path).permissions(); }

class DirArchiveCliTest : public ::testing::Test {
protected:
    Outcome run(const std::string& arguments) { return run_cli(dir.path(), arguments, 120); }

    void SetUp() override {
        write_two_releases(dir);
        write_file(dir.file("new/lib/added.sh"), text_like(900, 5));
        chmod(dir.file("new/lib/added.sh").c_str(), 0755);
        ASSERT_EQ(run("archive create old old.qa").status, 0);
    }

    ScratchDir dir;
};

TEST_F(DirArchiveCliTest, ArchivesStandForTreesOnEitherSideOfCreateAndRestore) {
    // A Base archive beside an Updated tree is told apart by what it is.
    Outcome made = run("create --sorted --archive-delta old.qa new delta.qa");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");
    ASSERT_EQ(run("archive extract delta.qa delta-tree").status, 0);
    ASSERT_EQ(run("create --sorted old new plain-deltas").status, 0);
    EXPECT_EQ(names_below(dir.file("delta-tree")), names_below(dir.file("plain-deltas")));

    Outcome to_archive = run("restore --archive-updated old.qa delta.qa restored.qa");
    ASSERT_EQ(to_archive.status, 0) << to_archive.err;
    ASSERT_EQ(run("archive extract restored.qa restored-tree").status, 0);
    EXPECT_EQ(files_below(dir.file("restored-tree")), files_below(dir.file("new")));
    EXPECT_EQ(mode_of(dir.file("restored-tree/lib/added.sh")), mode_of(dir.file("new/lib/added.sh")));

    Outcome to_tree = run("restore --archive-delta old delta-tree.qa out");
    EXPECT_EQ(to_tree.status, 2) << "a missing delta archive is refused";
    EXPECT_NE(to_tree.err.find("DELTA 'delta-tree.qa' does not exist"), std::string::npos) << to_tree.err;
    to_tree = run("restore --archive-delta old delta.qa out");
    ASSERT_EQ(to_tree.status, 0) << to_tree.err;
    EXPECT_EQ(files_below(dir.file("out")), files_below(dir.file("new")));

    // The Updated tree read from an archive, the delta tree written as one.
    ASSERT_EQ(run("archive create new new.qa").status, 0);
    Outcome from_archives = run("create --archive-updated old.qa new.qa delta-tree2");
    ASSERT_EQ(from_archives.status, 0) << from_archives.err;
    EXPECT_EQ(names_below(dir.file("delta-tree2")), names_below(dir.file("delta-tree")));

    // In place: the Base archive becomes the Updated one, keeping Base files without a delta.
    Outcome in_place = run("restore --archive-delta --archive-updated old.qa delta.qa old.qa");
    ASSERT_EQ(in_place.status, 0) << in_place.err;
    ASSERT_EQ(run("archive extract old.qa in-place").status, 0);
    auto want = files_below(dir.file("new"));
    want["lib/gone.js"] = read_file(dir.file("old/lib/gone.js"));
    EXPECT_EQ(files_below(dir.file("in-place")), want);
    EXPECT_FALSE(has_temporary(dir.path()));
}

TEST_F(DirArchiveCliTest, NamesThatCannotBeArchivesOrCannotBeWrittenAreRefused) {
    // A Base file beside an Updated tree must be one of our archives.
    write_file(dir.file("plain.txt"), text_like(300, 8));
    Outcome not_archive = run("create plain.txt new deltas");
    EXPECT_EQ(not_archive.status, 2);
    EXPECT_NE(not_archive.err.find("BASE 'plain.txt' is neither a directory nor an archive file"), std::string::npos)
        << not_archive.err;

    Outcome dir_for_archive = run("create --archive-updated old new delta.qa");
    EXPECT_EQ(dir_for_archive.status, 2);
    EXPECT_NE(dir_for_archive.err.find("--archive-updated asks for an archive file, but 'new' is a directory"),
              std::string::npos)
        << dir_for_archive.err;

    Outcome inside = run("create --archive-delta old new new/delta.qa");
    EXPECT_EQ(inside.status, 2);
    EXPECT_NE(inside.err.find("would lie inside the directory 'new'"), std::string::npos) << inside.err;
    EXPECT_FALSE(fs::exists(dir.file("new/delta.qa")));

    ASSERT_EQ(run("create --archive-delta old new delta.qa").status, 0);
    const Bytes base_archive = read_file(dir.file("old.qa"));
    Outcome mixed = run("restore --archive-delta old.qa delta.qa old.qa");
    EXPECT_EQ(mixed.status, 2);
    EXPECT_NE(mixed.err.find("needs --archive-updated"), std::string::npos) << mixed.err;
    EXPECT_EQ(read_file(dir.file("old.qa")), base_archive);

    // A damaged delta archive: one line saying where, nothing written.
    Bytes damaged = read_file(dir.file("delta.qa"));
    damaged[98] = 2;
    damaged[99] = 0;
    write_file(dir.file("delta.qa"), damaged);
    Outcome refused = run("restore --archive-delta old delta.qa out");
    EXPECT_EQ(refused.status, 1);
    EXPECT_NE(refused.err.find("delta.qa: the archive is damaged at offset 98"), std::string::npos) << refused.err;
    EXPECT_EQ(refused.err.find("files failed"), std::string::npos) << "no file ran: " << refused.err;
    EXPECT_FALSE(fs::exists(dir.file("out")));

    // A file that fails keeps the restored archive from being written, and says so.
    ASSERT_EQ(run("create -f --archive-delta old new delta.qa").status, 0);
    Bytes other = read_file(dir.file("old/main.js"));
    other[7] ^= 1;
    write_file(dir.file("old/main.js"), other);
    write_file(dir.file("restored.qa"), {'o', 'l', 'd'});
    Outcome failed = run("restore -f --archive-delta --archive-updated old delta.qa restored.qa");
    EXPECT_EQ(failed.status, 1);
    EXPECT_NE(failed.err.find("restored.qa: the archive 'restored.qa' was not written: 1 file failed"),
              std::string::npos)
        << failed.err;
    EXPECT_NE(failed.err.find("1 of 2 files failed"), std::string::npos) << failed.err;
    EXPECT_EQ(read_file(dir.file("restored.qa")), (Bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(has_temporary(dir.path()));
}

// SIGTERM, as Ctrl-C, stops the job: the earlier archive stays and the
// temporary trees go with every file in them.
TEST_F(DirArchiveCliTest, TerminationKeepsTheOldArchiveAndRemovesTheTemporaryTrees) {
    fs::create_directories(dir.file("big-old"));
    fs::create_directories(dir.file("big-new"));
    for (int i = 0; i < 4; ++i) {
        Bytes data = random_bytes(6u << 20, 60 + i);
        write_file(dir.file("big-old/f" + std::to_string(i)), data);
        data[1000] ^= 1;
        write_file(dir.file("big-new/f" + std::to_string(i)), data);
    }
    ASSERT_EQ(run("archive create --raw big-old big-old.qa").status, 0);
    write_file(dir.file("delta.qa"), {'o', 'l', 'd'});

    // Terminated once a member of the Base archive is being unpacked.
    const auto unpacking = [&] {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(dir.path(), ec))
            if (entry.path().filename().string().rfind(".qrlth-", 0) == 0 && fs::is_directory(entry.path(), ec) &&
                fs::exists(entry.path() / "base", ec) && !fs::is_empty(entry.path() / "base", ec))
                return true;
        return false;
    };
    const int status = terminate_when({"create", "-f", "--archive-delta", dir.file("big-old.qa"), dir.file("big-new"),
                                       dir.file("delta.qa")},
                                      unpacking);
    if (status == kEndedTooSoon) GTEST_SKIP() << "the run ended before it could be terminated";
    EXPECT_EQ(status, 1);
    EXPECT_EQ(read_file(dir.file("delta.qa")), (Bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(has_temporary(dir.path()));
}

}  // namespace
}  // namespace quoralith::test
