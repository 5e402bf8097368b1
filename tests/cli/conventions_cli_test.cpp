// The command line's habits from gzip and zstd: -f before an existing output
// is replaced, "-" for standard input and output, -v, and one version.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "cli_test_support.h"

namespace quoralith::test {
namespace {

class ConventionsCliTest : public ::testing::Test {
protected:
    Outcome run(const std::string& arguments) { return run_cli(dir.path(), arguments); }
    // A shell line in the test folder, for pipes and redirections.
    Outcome shell(const std::string& line) {
        const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
        const std::string command = "cd " + quoted(dir.path().string()) + " && { " + line + "; } >" + quoted(out) +
                                    " 2>" + quoted(err);
        const int raw = std::system(command.c_str());
        const Bytes o = read_file(out), e = read_file(err);
        std::filesystem::remove(out);
        std::filesystem::remove(err);
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(o.begin(), o.end()),
                std::string(e.begin(), e.end())};
    }
    std::string cli() const { return quoted(QUORALITH_CLI); }

    void SetUp() override {
        Bytes old_data = random_bytes(120000, 5);
        Bytes new_data = old_data;
        new_data.insert(new_data.begin() + 4000, 500, 'n');
        new_data[90000] ^= 0x55;
        write_file(dir.file("base.bin"), old_data);
        write_file(dir.file("new.bin"), new_data);
        // A delta records Updated's access time, and reading a file whose access
        // time is not after its modification and change times moves it
        // (relatime): two creates a second apart would then differ. An access
        // time an hour ahead of both (setting it changes the change time to
        // now) keeps every read from moving it.
        const timespec times[2] = {{std::time(nullptr) + 3600, 0}, {1600000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, dir.file("new.bin").c_str(), times, 0), 0);
    }

    ScratchDir dir;
};

TEST_F(ConventionsCliTest, AnExistingOutputFileNeedsForce) {
    ASSERT_EQ(run("create base.bin new.bin d.dlt").status, 0);
    const Bytes made = read_file(dir.file("d.dlt"));
    write_file(dir.file("old.dlt"), Bytes{'o', 'l', 'd'});

    Outcome refused = run("create base.bin new.bin old.dlt");
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.err, "quoralith: create: 'old.dlt' already exists; add -f to replace it\n");
    EXPECT_EQ(read_file(dir.file("old.dlt")), (Bytes{'o', 'l', 'd'}));
    // -f before or after the subcommand.
    EXPECT_EQ(run("-f create base.bin new.bin old.dlt").status, 0);
    EXPECT_EQ(read_file(dir.file("old.dlt")), made);
    EXPECT_EQ(run("create --force base.bin new.bin old.dlt").status, 0);

    // Restore, an archive, and a link at the output name count alike.
    write_file(dir.file("out.bin"), Bytes{1});
    EXPECT_EQ(run("restore base.bin d.dlt out.bin").status, 2);
    EXPECT_EQ(read_file(dir.file("out.bin")), (Bytes{1}));
    std::filesystem::create_directories(dir.file("tree"));
    write_file(dir.file("tree/a.txt"), text_like(100, 1));
    write_file(dir.file("t.qar"), Bytes{2});
    Outcome archive = run("archive create tree t.qar");
    EXPECT_EQ(archive.status, 2);
    EXPECT_EQ(archive.err, "quoralith: archive create: 't.qar' already exists; add -f to replace it\n");
    ASSERT_EQ(symlink("nowhere", dir.file("link.bin").c_str()), 0);
    EXPECT_EQ(run("restore base.bin d.dlt link.bin").status, 2);

    // --keep-all checks each digit name it would write.
    write_file(dir.file("k3.dlt"), Bytes{3});
    Outcome keep = run("create -a 0,3 --keep-all base.bin new.bin k.dlt");
    EXPECT_EQ(keep.status, 2);
    EXPECT_EQ(keep.err, "quoralith: create: 'k3.dlt' already exists; add -f to replace it\n");
    EXPECT_FALSE(file_exists(dir.file("k0.dlt")));

    // Restoring in place is asked for by name, and a pipe or device replaces nothing.
    ASSERT_EQ(run("restore base.bin d.dlt base.bin").status, 0);
    EXPECT_EQ(read_file(dir.file("base.bin")), read_file(dir.file("new.bin")));
    EXPECT_EQ(run("create new.bin new.bin same.dlt").status, 0);
    EXPECT_EQ(run("restore new.bin same.dlt /dev/null").status, 0);
}

TEST_F(ConventionsCliTest, DashStandsForStandardInputAndOutput) {
    ASSERT_EQ(run("create base.bin new.bin d.dlt").status, 0);

    // A delta to standard output is the file create writes.
    Outcome piped = shell(cli() + " create base.bin new.bin - > piped.dlt");
    EXPECT_EQ(piped.status, 0) << piped.err;
    EXPECT_EQ(read_file(dir.file("piped.dlt")), read_file(dir.file("d.dlt")));
    // The delta from standard input, the file to standard output.
    Outcome in = shell(cli() + " restore base.bin - from-stdin.bin < d.dlt");
    EXPECT_EQ(in.status, 0) << in.err;
    EXPECT_EQ(read_file(dir.file("from-stdin.bin")), read_file(dir.file("new.bin")));
    Outcome out = shell("cat d.dlt | " + cli() + " restore base.bin - - > to-stdout.bin");
    EXPECT_EQ(out.status, 0) << out.err;
    EXPECT_EQ(read_file(dir.file("to-stdout.bin")), read_file(dir.file("new.bin")));
    Outcome updated = shell(cli() + " create base.bin - from-stdin.dlt < new.bin");
    EXPECT_EQ(updated.status, 0) << updated.err;
    EXPECT_EQ(run("restore base.bin from-stdin.dlt check.bin").status, 0);
    EXPECT_EQ(read_file(dir.file("check.bin")), read_file(dir.file("new.bin")));
    Outcome info = shell(cli() + " info - < d.dlt");
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("standard input"), std::string::npos) << info.out;

    // A failed restore sends nothing on; two names cannot both be standard input.
    Outcome wrong = shell(cli() + " restore new.bin - - < d.dlt > wrong.bin");
    EXPECT_EQ(wrong.status, 1);
    EXPECT_TRUE(read_file(dir.file("wrong.bin")).empty());
    Outcome twice = shell(cli() + " create - - x.dlt < new.bin");
    EXPECT_EQ(twice.status, 2);
    EXPECT_NE(twice.err.find("only one name can be '-'"), std::string::npos) << twice.err;
    // Trees have names.
    std::filesystem::create_directories(dir.file("old-tree"));
    Outcome tree = shell(cli() + " create old-tree old-tree - > t.dlt");
    EXPECT_EQ(tree.status, 2);
    EXPECT_NE(tree.err.find("a tree job needs names"), std::string::npos) << tree.err;
    // Nothing is left behind in the folder for temporaries.
    const std::string tmp = dir.file("tmp");
    std::filesystem::create_directories(tmp);
    EXPECT_EQ(shell("TMPDIR=" + quoted(tmp) + " " + cli() + " restore base.bin - - < d.dlt > /dev/null").status, 0);
    EXPECT_TRUE(std::filesystem::is_empty(tmp));
}

TEST_F(ConventionsCliTest, VerboseTellsEveryCandidateAndTheVersionIsTheProjects) {
    Outcome made = run("-v create -a 0,7 base.bin new.bin d.dlt");
    EXPECT_EQ(made.status, 0);
    EXPECT_NE(made.err.find("d.dlt: algorithm 0, "), std::string::npos) << made.err;
    EXPECT_NE(made.err.find("d.dlt: algorithm 7, "), std::string::npos) << made.err;
    EXPECT_NE(made.err.find("(of 120500)"), std::string::npos) << made.err;
    Outcome restored = run("restore --verbose base.bin d.dlt out.bin");
    EXPECT_EQ(restored.err, "out.bin: 120500 bytes\n");
    EXPECT_EQ(run("create base.bin new.bin quiet.dlt").err, "");

    Outcome version = run("--version");
    EXPECT_EQ(version.out, std::string("quoralith ") + QUORALITH_VERSION_TEXT + "\n");
}

}  // namespace
}  // namespace quoralith::test
