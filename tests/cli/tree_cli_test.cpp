// The command line on directory trees and archives: what a user types, what
// lands on disk, the exit status and the error lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>

#include "cli_test_support.h"
#include "support/test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

class TreeCliTest : public ::testing::Test {
protected:
    Outcome run(const std::string& arguments) { return run_cli(dir.path(), arguments); }

    void SetUp() override {
        write_two_releases(dir);
        write_file(dir.file("new/lib/added.js"), text_like(900, 5));
        write_file(dir.file("new/README.TXT"), text_like(300, 6));
    }

    ScratchDir dir;
};

TEST_F(TreeCliTest, DirectoriesRoundTripWithMerge) {
    Outcome made = run("create --sorted old new deltas");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");
    EXPECT_TRUE(fs::is_regular_file(dir.file("deltas/lib/added.js")));

    Outcome restored = run("restore old deltas out");
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(files_below(dir.file("out")), files_below(dir.file("new")));

    Outcome merged = run("restore --merge old deltas merged");
    ASSERT_EQ(merged.status, 0) << merged.err;
    auto expected = files_below(dir.file("new"));
    expected["lib/gone.js"] = read_file(dir.file("old/lib/gone.js"));
    EXPECT_EQ(files_below(dir.file("merged")), expected);

    Outcome top_only = run("create --no-subdirs --pattern '*.txt' old new top");
    ASSERT_EQ(top_only.status, 0) << top_only.err;
    EXPECT_EQ(files_below(dir.file("top")).size(), 1u);
    EXPECT_TRUE(fs::exists(dir.file("top/README.TXT")));
}

TEST_F(TreeCliTest, DeepSearchCodesEveryFileOfATree) {
    // main.js in blocks put in reverse order, with three bytes changed every
    // 900: the deep search must beat the default on it, and every file must
    // come back.
    const Bytes old_text = read_file(dir.file("old/main.js"));
    Bytes text;
    for (std::size_t end = old_text.size(); end > 0;) {
        const std::size_t start = end > 1500 ? end - 1500 : 0;
        text.insert(text.end(), old_text.begin() + static_cast<std::ptrdiff_t>(start),
                    old_text.begin() + static_cast<std::ptrdiff_t>(end));
        end = start;
    }
    for (std::size_t i = 200; i + 3 < text.size(); i += 900)
        for (std::size_t k = 0; k < 3; ++k) text[i + k] = 'Z';
    write_file(dir.file("new/main.js"), text);
    ASSERT_EQ(run("create old new plain").status, 0);
    Outcome made = run("create --deep old new deep");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_LT(read_file(dir.file("deep/main.js")).size(), read_file(dir.file("plain/main.js")).size());
    Outcome restored = run("restore old deep out");
    ASSERT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(files_below(dir.file("out")), files_below(dir.file("new")));
}

TEST_F(TreeCliTest, FailuresNameTheFileAndAreCounted) {
    ASSERT_EQ(mkfifo(dir.file("new/lib/pipe").c_str(), 0600), 0);
    Outcome made = run("create old new deltas");
    EXPECT_EQ(made.status, 1);
    EXPECT_NE(made.err.find("new/lib/pipe: not a regular file"), std::string::npos) << made.err;
    EXPECT_NE(made.err.find("create: 1 of 4 files failed"), std::string::npos) << made.err;
    EXPECT_TRUE(fs::exists(dir.file("deltas/main.js")));

    // The merge pass walks the Base tree: its pipe is the one named.
    fs::remove(dir.file("new/lib/pipe"));
    ASSERT_EQ(mkfifo(dir.file("old/lib/fifo").c_str(), 0600), 0);
    Outcome merged = run("restore --merge old deltas merged");
    EXPECT_EQ(merged.status, 1);
    EXPECT_NE(merged.err.find("old/lib/fifo: not a regular file"), std::string::npos) << merged.err;
    EXPECT_TRUE(fs::exists(dir.file("merged/lib/gone.js")));
}

TEST_F(TreeCliTest, MismatchedOrDangerousRequestsAreRefused) {
    Outcome file_with_pattern = run("create --pattern '*.js' old/main.js new/main.js d.dlt");
    EXPECT_EQ(file_with_pattern.status, 2);
    EXPECT_NE(file_with_pattern.err.find("apply to directories only"), std::string::npos) << file_with_pattern.err;

    Outcome file_base = run("create old/main.js new deltas");
    EXPECT_EQ(file_base.status, 2);
    EXPECT_NE(file_base.err.find("BASE 'old/main.js' is neither a directory nor an archive file"), std::string::npos) << file_base.err;

    // Clearing a directory that holds the inputs would destroy them.
    const auto before = files_below(dir.path());
    Outcome clearing = run("create --clear-output old new .");
    EXPECT_EQ(clearing.status, 2);
    EXPECT_NE(clearing.err.find("is, holds or lies inside an input; it is not cleared"), std::string::npos)
        << clearing.err;
    EXPECT_EQ(files_below(dir.path()), before);

    // An output inside an input tree: clearing it would delete input files.
    write_file(dir.file("old/lib/keep.txt"), {'k'});
    const auto with_keep = files_below(dir.path());
    for (const char* line : {"create --clear-output old new old/lib", "restore --clear-output old new old/lib",
                             "create --clear-output old new new/lib"}) {
        Outcome inside = run(line);
        EXPECT_EQ(inside.status, 2) << line;
        EXPECT_NE(inside.err.find("lies inside an input; it is not cleared"), std::string::npos) << inside.err;
        EXPECT_EQ(files_below(dir.path()), with_keep) << line;
    }
}

TEST_F(TreeCliTest, ArchiveCreateListAndExtract) {
    chmod(dir.file("new/README.TXT").c_str(), 0444);
    Outcome made = run("archive create new tree.qar");
    ASSERT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");

    Outcome listed = run("archive list tree.qar");
    ASSERT_EQ(listed.status, 0) << listed.err;
    // Sorted, one line per file, "/" between parts.
    const auto readme = listed.out.find("README.TXT"), added = listed.out.find("lib/added.js"),
               main = listed.out.find("main.js\n");
    EXPECT_TRUE(readme < added && added < main) << listed.out;
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 3);
    EXPECT_NE(listed.out.find("coded "), std::string::npos);

    Outcome extracted = run("archive extract tree.qar unpacked");
    ASSERT_EQ(extracted.status, 0) << extracted.err;
    EXPECT_EQ(files_below(dir.file("unpacked")), files_below(dir.file("new")));
    EXPECT_EQ(fs::status(dir.file("unpacked/README.TXT")).permissions() & fs::perms::owner_write, fs::perms::none);

    Outcome raw = run("archive create --raw --pattern '*.js' --no-subdirs new raw.qar");
    ASSERT_EQ(raw.status, 0) << raw.err;
    Outcome raw_list = run("archive list raw.qar");
    EXPECT_EQ(raw_list.out.substr(0, 6), "stored");
    EXPECT_EQ(std::count(raw_list.out.begin(), raw_list.out.end(), '\n'), 1) << raw_list.out;

    Outcome some = run("archive extract --pattern 'added*' tree.qar some");
    ASSERT_EQ(some.status, 0) << some.err;
    EXPECT_EQ(files_below(dir.file("some")).size(), 1u);
}

TEST_F(TreeCliTest, ArchiveMembersAreVerifiedAndKeepTheirModes) {
    chmod(dir.file("new/main.js").c_str(), 0755);
    ASSERT_EQ(run("archive create --raw new tree.qar").status, 0);
    ASSERT_EQ(run("archive create --raw --plain-trailer new plain.qar").status, 0);
    EXPECT_EQ(read_file(dir.file("tree.qar")).size(), read_file(dir.file("plain.qar")).size());

    ASSERT_EQ(run("archive extract tree.qar unpacked").status, 0);
    EXPECT_EQ(fs::status(dir.file("unpacked/main.js")).permissions() & fs::perms::mask, static_cast<fs::perms>(0755));
    ASSERT_EQ(run("archive extract plain.qar flat").status, 0);
    EXPECT_EQ(fs::status(dir.file("flat/main.js")).permissions() & fs::perms::owner_exec, fs::perms::none);

    // One flipped bit in the stored main.js: refused in words, nothing replaced.
    Bytes archive = read_file(dir.file("tree.qar"));
    const std::string key = "main.js";
    const auto at = std::search(archive.begin(), archive.end(), key.begin(), key.end());
    ASSERT_NE(at, archive.end());
    archive[static_cast<std::size_t>(at - archive.begin()) + 2 + 12 + 5000] ^= 0x01;
    write_file(dir.file("tree.qar"), archive);
    Outcome damaged = run("archive extract tree.qar unpacked");
    EXPECT_EQ(damaged.status, 1);
    EXPECT_NE(damaged.err.find("main.js: the restored file does not match the one the delta was made from"),
              std::string::npos)
        << damaged.err;
    EXPECT_EQ(read_file(dir.file("unpacked/main.js")), read_file(dir.file("new/main.js")));
}

TEST_F(TreeCliTest, ArchiveErrorsAreWordedAndLoseNothing) {
    Outcome not_archive = run("archive extract new/main.js out");
    EXPECT_EQ(not_archive.status, 1);
    EXPECT_NE(not_archive.err.find("new/main.js: not an archive"), std::string::npos) << not_archive.err;

    Outcome missing = run("archive list missing.qar");
    EXPECT_EQ(missing.status, 1);
    EXPECT_NE(missing.err.find("missing.qar"), std::string::npos) << missing.err;

    ASSERT_EQ(run("archive create new tree.qar").status, 0);
    fs::create_directories(dir.file("out"));
    fs::copy_file(dir.file("tree.qar"), dir.file("out/tree.qar"));
    Outcome clearing = run("archive extract --clear-output out/tree.qar out");
    EXPECT_EQ(clearing.status, 2);
    EXPECT_TRUE(fs::exists(dir.file("out/tree.qar")));

    Outcome no_root = run("archive create nowhere x.qar");
    EXPECT_EQ(no_root.status, 2);
    EXPECT_FALSE(fs::exists(dir.file("x.qar")));
}

TEST_F(TreeCliTest, DamagedArchivesExitWithOneNameTheOffsetAndKeepTheSoundMembers) {
    ASSERT_EQ(run("archive create --raw new tree.qar").status, 0);
    Bytes damaged = read_file(dir.file("tree.qar"));
    damaged[98] = 2;  // the first member's record length
    damaged[99] = 0;
    write_file(dir.file("tree.qar"), damaged);

    Outcome extracted = run("archive extract tree.qar out");
    EXPECT_EQ(extracted.status, 1);
    EXPECT_NE(extracted.err.find("quoralith: tree.qar: the archive is damaged at offset 98: a record length of 2"),
              std::string::npos)
        << extracted.err;
    EXPECT_NE(extracted.err.find("archive extract: the archive is damaged (1 place), 0 files failed, 2 extracted"),
              std::string::npos)
        << extracted.err;
    auto sound = files_below(dir.file("new"));
    sound.erase("README.TXT");  // the first member, whose record is damaged
    EXPECT_EQ(files_below(dir.file("out")), sound);

    Outcome listed = run("archive list tree.qar");
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(std::count(listed.out.begin(), listed.out.end(), '\n'), 2) << listed.out;
    EXPECT_NE(listed.err.find("tree.qar: the archive is damaged at offset 98"), std::string::npos) << listed.err;
}

// Damage that only the members' data or their order shows: list exits with
// one as extract does, and a later member of a name never replaces the first.
TEST_F(TreeCliTest, ListChecksWhatExtractChecks) {
    ASSERT_EQ(run("archive create new tree.qar").status, 0);
    ASSERT_EQ(run("archive list tree.qar").status, 0);
    Bytes damaged = read_file(dir.file("tree.qar"));
    damaged[damaged.size() - 72 - 3] ^= 0x10;  // the last member's data
    write_file(dir.file("tree.qar"), damaged);
    Outcome listed = run("archive list tree.qar");
    EXPECT_EQ(listed.status, 1);
    EXPECT_NE(listed.err.find("tree.qar: the archive is damaged at offset "), std::string::npos) << listed.err;
    EXPECT_NE(listed.err.find("archive list: the archive is damaged (1 place)"), std::string::npos) << listed.err;
    EXPECT_EQ(run("archive extract tree.qar out").status, 1);

    // The same archive twice over, the second copy's header cut out: every
    // member comes again after the end record.
    ASSERT_EQ(run("archive create new once.qar").status, 0);
    const Bytes once = read_file(dir.file("once.qar"));
    Bytes twice = once;
    twice.insert(twice.end(), once.begin() + 98, once.end() - 72);
    write_file(dir.file("twice.qar"), twice);
    Outcome late = run("archive extract twice.qar late");
    EXPECT_EQ(late.status, 1);
    EXPECT_NE(late.err.find("lies after the end record at offset"), std::string::npos) << late.err;
    EXPECT_EQ(files_below(dir.file("late")), files_below(dir.file("new")));
    EXPECT_EQ(run("archive list twice.qar").status, 1);
}

TEST_F(TreeCliTest, ControlCharactersInNamesReachTheTerminalEscaped) {
    const std::string name = "evil\x1b]0;owned\x07\x1b[2J.js";
    write_file(dir.file("new/" + name), text_like(100, 7));
    ASSERT_EQ(run("archive create new tree.qar").status, 0);
    Outcome listed = run("archive list tree.qar");
    ASSERT_EQ(listed.status, 0) << listed.err;
    EXPECT_NE(listed.out.find("evil\\x1b]0;owned\\x07\\x1b[2J.js\n"), std::string::npos) << listed.out;
    EXPECT_EQ(listed.out.find('\x1b'), std::string::npos);

    // A member that cannot be written: its error line names it escaped.
    fs::create_directories(dir.file("out/" + name));
    Outcome extracted = run("archive extract tree.qar out");
    EXPECT_EQ(extracted.status, 1);
    EXPECT_NE(extracted.err.find("out/evil\\x1b]0;owned\\x07\\x1b[2J.js: cannot create the output file"),
              std::string::npos)
        << extracted.err;
    EXPECT_EQ(extracted.err.find('\x1b'), std::string::npos);

    Outcome info = run("info " + quoted("no\x1bsuch.dlt"));
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.err.find("no\\x1bsuch.dlt"), std::string::npos) << info.err;
    EXPECT_EQ(info.err.find('\x1b'), std::string::npos);
}

// A real small file system that fills while the archive is written (made in a
// mount namespace of our own, where the system allows one).
TEST_F(TreeCliTest, FullDiskKeepsTheOldArchiveAndSaysTheDiskIsFull) {
    const std::string namespace_command = geteuid() == 0 ? "unshare -m" : "unshare -rm";
    if (std::system((namespace_command + " true >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "no mount namespace for a small file system here";
    ASSERT_EQ(run("archive create new old.qar").status, 0);
    fs::create_directories(dir.file("big"));
    for (int i = 0; i < 8; ++i) write_file(dir.file("big/noise" + std::to_string(i)), random_bytes(40000, 30 + i));
    fs::create_directories(dir.file("small"));
    // Everything is checked inside the namespace, where the small disk exists.
    const std::string script =
        "mount -t tmpfs -o size=128k tmpfs small || exit 99; cp old.qar small/tree.qar; " + quoted(QUORALITH_CLI) +
        " archive create -f big small/tree.qar 2>err.txt; echo $? >status.txt; "
        "cmp -s old.qar small/tree.qar && echo same >same.txt; ls -A small >listing.txt";
    const std::string command = "cd " + quoted(dir.path().string()) + " && " + namespace_command + " sh -c " +
                                quoted(script) + " </dev/null >/dev/null 2>&1";
    const int raw = std::system(command.c_str());
    if (WIFEXITED(raw) && WEXITSTATUS(raw) == 99) GTEST_SKIP() << "a tmpfs cannot be mounted here";
    const auto text = [&](const char* name) {
        const Bytes b = read_file(dir.file(name));
        return std::string(b.begin(), b.end());
    };
    EXPECT_EQ(text("status.txt"), "1\n");
    EXPECT_EQ(text("same.txt"), "same\n") << "the old archive is kept byte for byte";
    EXPECT_EQ(text("listing.txt"), "tree.qar\n") << "no temporary is left";
    const std::string err = text("err.txt");
    EXPECT_NE(err.find("archive create: small/tree.qar: the archive could not be written: the disk is full (" +
                       std::string(std::strerror(ENOSPC)) + "); the earlier archive is kept"),
              std::string::npos)
        << err;
    EXPECT_EQ(err.find("damaged"), std::string::npos) << err;
}

}  // namespace
}  // namespace quoralith::test
