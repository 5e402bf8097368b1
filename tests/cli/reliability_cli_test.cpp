// The command line with inputs that are not what they seem: a Base that is
// missing or cannot be read, pipes in place of files, and a run ended by a
// signal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "cli_test_support.h"
#include "support/test_support.h"

extern char** environ;

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

class ReliabilityCliTest : public ::testing::Test {
protected:
    // Runs the program; `timeout` ends it (status 124) should it ever wait.
    Outcome run(const std::string& arguments) { return run_cli(dir.path(), arguments, 60); }

    // Runs the command line with `words`, sends it SIGTERM once a temporary is
    // being written in the test folder, and expects a clean exit with status 1.
    void terminate_while_writing(const std::vector<std::string>& words) {
        const int status = terminate_when(words, [&] { return has_temporary(dir.path()); });
        if (status == kEndedTooSoon) GTEST_SKIP() << "the run ended before it could be terminated";
        EXPECT_EQ(status, 1);
    }

    void SetUp() override {
        Bytes old_data = text_like(100000, 31);
        Bytes new_data = old_data;
        new_data.insert(new_data.begin() + 500, 200, 'n');
        write_file(dir.file("base.bin"), old_data);
        write_file(dir.file("new.bin"), new_data);
    }

    ScratchDir dir;
};

TEST_F(ReliabilityCliTest, AMissingBaseIsRefusedUnlessNoBaseIsAsked) {
    Outcome typo = run("create bsae.bin new.bin d.dlt");
    EXPECT_EQ(typo.status, 2);
    EXPECT_EQ(typo.err,
              "quoralith: create: the base file 'bsae.bin' does not exist (to make a delta without a base, use "
              "--no-base UPDATED DELTA)\n");
    EXPECT_FALSE(file_exists(dir.file("d.dlt")));

    Outcome whole = run("create --no-base new.bin d.dlt");
    ASSERT_EQ(whole.status, 0) << whole.err;
    Outcome back = run("restore nothing-here d.dlt out.bin");
    ASSERT_EQ(back.status, 0) << back.err;
    EXPECT_EQ(read_file(dir.file("out.bin")), read_file(dir.file("new.bin")));

    // --no-base takes exactly UPDATED and DELTA.
    for (const char* line : {"create --no-base base.bin new.bin e.dlt", "create --no-base new.bin",
                             "create base.bin new.bin"}) {
        Outcome refused = run(line);
        EXPECT_EQ(refused.status, 2) << line;
        EXPECT_EQ(refused.err.rfind("quoralith: create: ", 0), 0u) << refused.err;
    }
    EXPECT_FALSE(file_exists(dir.file("e.dlt")));

    // In a tree a file that is new to the Base tree is no error.
    fs::create_directories(dir.file("old"));
    fs::create_directories(dir.file("new"));
    write_file(dir.file("new/added.txt"), text_like(700, 2));
    Outcome tree = run("create old new deltas");
    EXPECT_EQ(tree.status, 0) << tree.err;
    EXPECT_TRUE(file_exists(dir.file("deltas/added.txt")));
}

TEST_F(ReliabilityCliTest, ABaseThatCannotBeOpenedFailsTheFile) {
    ASSERT_EQ(symlink("loop", dir.file("loop").c_str()), 0);
    write_file(dir.file("d.dlt"), Bytes{'o', 'l', 'd'});
    Outcome loop = run("create -f loop new.bin d.dlt");
    EXPECT_EQ(loop.status, 1);
    EXPECT_EQ(loop.err, "quoralith: loop: cannot open the base file: " + std::string(std::strerror(ELOOP)) + "\n");
    EXPECT_EQ(read_file(dir.file("d.dlt")), (Bytes{'o', 'l', 'd'}));

    const std::string too_long(300, 'x');
    Outcome long_name = run("create -f " + too_long + " new.bin d.dlt");
    EXPECT_EQ(long_name.status, 1);
    EXPECT_NE(long_name.err.find("cannot open the base file: " + std::string(std::strerror(ENAMETOOLONG))),
              std::string::npos)
        << long_name.err;
    EXPECT_EQ(read_file(dir.file("d.dlt")), (Bytes{'o', 'l', 'd'}));
}

TEST_F(ReliabilityCliTest, PipesEndTheRunAtOnceWithAnError) {
    ASSERT_EQ(mkfifo(dir.file("pipe").c_str(), 0600), 0);
    ASSERT_EQ(run("create base.bin new.bin d.dlt").status, 0);
    for (const char* line : {"create pipe new.bin e.dlt", "create base.bin pipe e.dlt", "create base.bin new.bin pipe",
                             "restore pipe d.dlt e.bin", "restore base.bin pipe e.bin"}) {
        Outcome piped = run(line);
        EXPECT_EQ(piped.status, 1) << line << ": " << piped.err;
        EXPECT_NE(piped.err.find("pipe: not a regular file"), std::string::npos) << line << ": " << piped.err;
    }
    Outcome info = run("info pipe");
    EXPECT_EQ(info.status, 1);
    EXPECT_NE(info.err.find("pipe: not a regular file"), std::string::npos) << info.err;
    Outcome report = run("--report pipe create base.bin new.bin r.dlt");
    EXPECT_EQ(report.status, 1);
    EXPECT_NE(report.err.find("the report 'pipe' could not be written"), std::string::npos) << report.err;
    fs::remove(dir.file("r.dlt"));

    // A restore into a pipe nobody reads does not wait for a reader.
    Outcome unread = run("restore base.bin d.dlt pipe");
    EXPECT_EQ(unread.status, 1);
    EXPECT_NE(unread.err.find("pipe: cannot create the output file"), std::string::npos) << unread.err;
    EXPECT_FALSE(file_exists(dir.file("e.dlt")));
    EXPECT_FALSE(file_exists(dir.file("e.bin")));
    EXPECT_FALSE(has_temporary(dir.path()));
}

// SIGTERM, as Ctrl-C, stops the file: the old output stays, the temporary goes,
// and the run ends as a stopped one.
TEST_F(ReliabilityCliTest, TerminationRemovesTheTemporariesAndKeepsTheOldOutput) {
    Bytes big = random_bytes(16u << 20, 4);
    write_file(dir.file("big1"), big);
    big[5000] ^= 1;
    write_file(dir.file("big2"), big);
    write_file(dir.file("old.dlt"), {'o', 'l', 'd'});

    terminate_while_writing({"create", "-f", "-a", "0-7", dir.file("big1"), dir.file("big2"), dir.file("old.dlt")});
    if (::testing::Test::IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ(read_file(dir.file("old.dlt")), (Bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(has_temporary(dir.path()));
}

// The same for an archive: the earlier archive stays and no temporary is left.
TEST_F(ReliabilityCliTest, TerminationKeepsTheOldArchiveAndLeavesNoTemporary) {
    fs::create_directories(dir.file("tree/sub"));
    for (int i = 0; i < 4; ++i) write_file(dir.file("tree/sub/f" + std::to_string(i)), random_bytes(8u << 20, 40 + i));
    write_file(dir.file("old.qar"), {'o', 'l', 'd'});

    terminate_while_writing({"archive", "create", "-f", dir.file("tree"), dir.file("old.qar")});
    if (::testing::Test::IsSkipped() || HasFatalFailure()) return;
    EXPECT_EQ(read_file(dir.file("old.qar")), (Bytes{'o', 'l', 'd'}));
    EXPECT_FALSE(has_temporary(dir.path()));
}

// A restore into a pipe whose reader stopped reading waits in its write; a
// SIGTERM still ends it, and the content kept in the temporary folder goes.
TEST_F(ReliabilityCliTest, TerminationEndsARestoreBlockedOnAPipe) {
    Bytes big = random_bytes(400000, 12);
    write_file(dir.file("b0"), big);
    big[100] ^= 1;
    write_file(dir.file("b1"), big);
    ASSERT_EQ(run("create b0 b1 b.dlt").status, 0);
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    const int reader = open(pipe.c_str(), O_RDONLY | O_NONBLOCK);  // there, and never reading
    ASSERT_GE(reader, 0);
    ScratchDir temporary_folder;

    std::string cli = QUORALITH_CLI;
    std::vector<std::string> args = {cli, "restore", dir.file("b0"), dir.file("b.dlt"), pipe};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env_text = {"TMPDIR=" + temporary_folder.path().string()};
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "TMPDIR=", 7) != 0) env_text.emplace_back(*e);
    std::vector<char*> env;
    for (std::string& e : env_text) env.push_back(e.data());
    env.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t child = 0;
    ASSERT_EQ(posix_spawn(&child, cli.c_str(), &actions, nullptr, argv.data(), env.data()), 0);
    posix_spawn_file_actions_destroy(&actions);
    // The pipe fills (64 KiB) and the write waits.
    int status = 0;
    int queued = 0;
    for (int i = 0; i < 3000 && queued < 65536; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ioctl(reader, FIONREAD, &queued);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_NE(waitpid(child, &status, WNOHANG), child) << "the restore did not wait on the full pipe";
    EXPECT_GE(queued, 65536);
    kill(child, SIGTERM);
    pid_t ended = 0;
    for (int i = 0; i < 1000 && (ended = waitpid(child, &status, WNOHANG)) == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    if (ended != child) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        close(reader);
        FAIL() << "SIGTERM did not end the run";
    }
    close(reader);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_TRUE(fs::is_empty(temporary_folder.path()));
}

}  // namespace
}  // namespace quoralith::test
