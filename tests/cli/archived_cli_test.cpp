// The command line's archived-directory jobs (create/restore --archived):
// trees and archive files as either side, the options they take, the errors
// a user sees, and a run ended by a signal.
#include <gtest/gtest.h>
#include <fcntl.h>
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

class ArchivedCliTest : public ::testing::Test {
protected:
    Outcome run(const std::string& arguments) { return run_cli(dir.path(), arguments); }

    void SetUp() override {
        write_two_releases(dir);
        fs::create_directories(dir.file("new/lib/more"));
        write_file(dir.file("old/lib/tool.sh"), text_like(800, 5));
        write_file(dir.file("new/lib/more/tool.sh"), text_like(800, 5));
        chmod(dir.file("new/lib/more/tool.sh").c_str(), 0755);
        write_file(dir.file("new/README.TXT"), text_like(300, 6));
        write_file(dir.file("new/empty"), {});
        // Access times ahead of the clock never move when a file is read, so
        // that every run sees the trees alike.
        for (auto it = fs::recursive_directory_iterator(dir.path()); it != fs::recursive_directory_iterator(); ++it) {
            const timespec times[2] = {{2000000000, 0}, {1500000000, 0}};
            if (it->is_regular_file()) utimensat(AT_FDCWD, it->path().c_str(), times, 0);
        }
    }

    ScratchDir dir;
};

TEST_F(ArchivedCliTest, TreesAndArchivesRoundTripThroughOneDeltaFile) {
    Outcome made = run("create --archived -a 0-7 --long-stamp old new one.qd");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");
    EXPECT_TRUE(fs::is_regular_file(dir.file("one.qd")));

    Outcome restored = run("restore --archived old one.qd out");
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(files_and_modes_below(dir.file("out")), files_and_modes_below(dir.file("new")));

    // Archive files, told apart from trees by what they are, give the same delta.
    ASSERT_EQ(run("archive create old old.qa").status, 0);
    ASSERT_EQ(run("archive create --raw new new.qa").status, 0);
    Outcome from_archives = run("create --archived -a 0-7 --long-stamp old.qa new.qa two.qd");
    ASSERT_EQ(from_archives.status, 0) << from_archives.err;
    EXPECT_EQ(read_file(dir.file("two.qd")), read_file(dir.file("one.qd")));

    Outcome kept = run("restore --archived --archive-updated old.qa two.qd restored.qa");
    ASSERT_EQ(kept.status, 0) << kept.err;
    ASSERT_EQ(run("archive extract restored.qa unpacked").status, 0);
    EXPECT_EQ(files_and_modes_below(dir.file("unpacked")), files_and_modes_below(dir.file("new")));
    EXPECT_FALSE(has_temporary(dir.path()));
}

TEST_F(ArchivedCliTest, PatternAndSubfoldersChooseTheFilesOnBothSides) {
    Outcome made = run("--report report.txt --level 2 create --archived --pattern '*.js' old new js.qd");
    ASSERT_EQ(made.status, 0) << made.err;
    const Bytes report = read_file(dir.file("report.txt"));
    EXPECT_NE(std::string(report.begin(), report.end()).find("js.qd"), std::string::npos);

    Outcome restored = run("restore --archived --pattern '*.js' old js.qd out");
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(files_and_modes_below(dir.file("out")).size(), 1u);
    EXPECT_EQ(read_file(dir.file("out/main.js")), read_file(dir.file("new/main.js")));

    // The Base is chosen as at create: without the pattern it is another Base.
    Outcome other = run("restore --archived old js.qd out2");
    EXPECT_EQ(other.status, 1);
    EXPECT_NE(other.err.find("the base tree is not the one the delta was made from"), std::string::npos) << other.err;
    EXPECT_FALSE(fs::exists(dir.file("out2")));

    ASSERT_EQ(run("create --archived --no-subdirs old new top.qd").status, 0);
    ASSERT_EQ(run("restore --archived --no-subdirs old top.qd top").status, 0);
    EXPECT_EQ(files_and_modes_below(dir.file("top")).size(), 3u);  // main.js, README.TXT, empty
}

TEST_F(ArchivedCliTest, NamesThatCannotBeTheirSideAreRefused) {
    write_file(dir.file("notes.txt"), {'h', 'i'});
    Outcome not_archive = run("create --archived notes.txt new d.qd");
    EXPECT_EQ(not_archive.status, 2);
    EXPECT_EQ(not_archive.err,
              "quoralith: create: the base 'notes.txt' is neither a directory nor an archive (quoralith archive "
              "create makes one)\n");
    Outcome missing = run("create --archived old nowhere d.qd");
    EXPECT_EQ(missing.status, 2);
    EXPECT_EQ(missing.err, "quoralith: create: the updated tree 'nowhere' does not exist\n");
    EXPECT_EQ(run("restore --archived --merge old d.qd out").status, 2);
    EXPECT_EQ(run("create --archived --archive-delta old new d.qd").status, 2);
    EXPECT_FALSE(fs::exists(dir.file("d.qd")));

    ASSERT_EQ(run("create --archived old new d.qd").status, 0);
    Outcome clearing = run("restore --archived --clear-output old d.qd .");
    EXPECT_EQ(clearing.status, 2);
    EXPECT_TRUE(fs::exists(dir.file("d.qd")));
    Outcome in_place = run("restore --archived old d.qd old");
    EXPECT_EQ(in_place.status, 2);
    EXPECT_TRUE(fs::exists(dir.file("old/lib/gone.js")));
}

// SIGTERM ends a run: the earlier delta stays byte for byte, no temporary
// archive or folder is left.
TEST_F(ArchivedCliTest, TerminationLeavesTheEarlierDeltaAndNoTemporary) {
    for (int i = 0; i < 4; ++i) {
        const Bytes data = random_bytes(6u << 20, 70 + i);
        write_file(dir.file("old/big" + std::to_string(i)), data);
        write_file(dir.file("new/big" + std::to_string(i)), data);
    }
    write_file(dir.file("d.qd"), {'o', 'l', 'd'});
    const int status = terminate_when({"create", "-f", "--archived", "-a", "0-7", dir.file("old"), dir.file("new"),
                                       dir.file("d.qd")},
                                      [&] { return has_temporary(dir.path()); });
    if (status == kEndedTooSoon) GTEST_SKIP() << "the run ended before it could be terminated";
    EXPECT_EQ(status, 1);
    EXPECT_EQ(read_file(dir.file("d.qd")), (Bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(has_temporary(dir.path()));
}

}  // namespace
}  // namespace quoralith::test
