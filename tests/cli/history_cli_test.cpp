// The command line's report options, its history commands and Ctrl-C, run as
// a program against a private configuration directory.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "support/test_support.h"

extern char** environ;

namespace quoralith::test {
namespace {

struct Result {
    int status;
    std::string out;
    std::string err;
};

std::string text_of(const std::string& path) {
    Bytes bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

class HistoryCliTest : public ::testing::Test {
protected:
    void SetUp() override {
        Bytes old_data = text_like(100000, 5);
        Bytes new_data = old_data;
        new_data.insert(new_data.begin() + 500, 200, 'z');
        write_file(dir.file("base.bin"), old_data);
        write_file(dir.file("new.bin"), new_data);
    }
    Result run(const std::string& arguments) {
        const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
        const std::string command = "cd '" + dir.path().string() + "' && XDG_CONFIG_HOME='" + dir.file("config") +
                                    "' '" + QUORALITH_CLI + "' " + arguments + " >'" + out + "' 2>'" + err +
                                    "' </dev/null";
        const int raw = std::system(command.c_str());
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, text_of(out), text_of(err)};
    }
    ScratchDir dir;
};

TEST_F(HistoryCliTest, ReportOptionsWriteAndAppendTheJobReport) {
    Result made = run("--report report.txt --level 3 create -a 0,7 base.bin new.bin d.dlt");
    ASSERT_EQ(made.status, 0) << made.err;
    std::string report = text_of(dir.file("report.txt"));
    EXPECT_EQ(report.rfind("========S T A R T   O F   R E P O R T========\n", 0), 0u);
    EXPECT_NE(report.find("Operation: Create  Type: File\nAlgorithms:  0 7\nBase:    base.bin\n"), std::string::npos)
        << report;
    EXPECT_NE(report.find("  Alg 0 time "), std::string::npos);
    EXPECT_NE(report.find("  Alg 7 time "), std::string::npos);
    EXPECT_NE(report.find("*** No errors detected ***\n"), std::string::npos);

    Result failed = run("--report report.txt --append restore base.bin missing.dlt out.bin");
    EXPECT_EQ(failed.status, 1);
    std::string both = text_of(dir.file("report.txt"));
    EXPECT_EQ(both.rfind(report, 0), 0u) << "--append keeps the first report";
    EXPECT_NE(both.find("***ERROR*** 202 building file: out.bin"), std::string::npos) << both;
    EXPECT_NE(both.find("!!! 1 error(s) detected !!!"), std::string::npos);
    EXPECT_EQ(both.find("started: file"), report.find("started: file")) << "level 1 has no per-file lines";

    Result bad_level = run("--report r.txt --level 4 create base.bin new.bin x.dlt");
    EXPECT_EQ(bad_level.status, 2);
    Result unwritable = run("--report no/such/dir/r.txt create base.bin new.bin y.dlt");
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.err.find("the report 'no/such/dir/r.txt' could not be written"), std::string::npos)
        << unwritable.err;
}

TEST_F(HistoryCliTest, RecordListShowPlayAndDelete) {
    Result recorded = run("--report job.txt --level 2 history record create -a 0,7 base.bin new.bin d.dlt");
    ASSERT_EQ(recorded.status, 0) << recorded.err;
    ASSERT_EQ(run("history record restore base.bin d.dlt out.bin").status, 0);
    EXPECT_TRUE(file_exists(dir.file("config/quoralith/Qralithd.env")));
    EXPECT_TRUE(file_exists(dir.file("config/quoralith/Qralithr.env")));

    Result listed = run("history list create");
    EXPECT_EQ(listed.out.rfind("1\tbase: " + dir.file("base.bin") + "\tupdate: " + dir.file("new.bin") +
                                   "\tdelta:" + dir.file("d.dlt") + "\tdate: ",
                               0),
              0u)
        << listed.out;
    Result shown = run("history show create 1");
    EXPECT_NE(shown.out.find("Algorithms:   0 7\n"), std::string::npos) << shown.out;

    Result played = run("history play create 1");
    ASSERT_EQ(played.status, 0) << played.err;
    EXPECT_NE(text_of(dir.file("job.txt")).find("started: file " + dir.file("d.dlt")), std::string::npos);
    ASSERT_EQ(run("history play restore 1").status, 0);
    EXPECT_EQ(read_file(dir.file("out.bin")), read_file(dir.file("new.bin")));

    EXPECT_EQ(run("history delete create 1").status, 0);
    EXPECT_EQ(run("history list create").out, "");
    Result gone = run("history play create 1");
    EXPECT_EQ(gone.status, 2);
    EXPECT_NE(gone.err.find("there is no job 1"), std::string::npos);
    EXPECT_EQ(run("history record create -a 9 base.bin new.bin e.dlt").status, 2) << "entries hold algorithms 0 to 7";
    EXPECT_EQ(run("history record create base.bin new.bin " + std::string(130, 'p')).status, 2);
}

TEST_F(HistoryCliTest, CtrlCStopsTheFileKeepsTheOldOutputAndEndsTheReport) {
    Bytes big = random_bytes(24u << 20, 9);
    write_file(dir.file("big1"), big);
    big[1000] ^= 1;
    write_file(dir.file("big2"), big);
    write_file(dir.file("old.dlt"), {'o', 'l', 'd'});

    const std::string report = dir.file("stop.txt");
    std::string cli = QUORALITH_CLI;
    std::vector<std::string> args = {cli, "--report", report, "--level", "2", "create", "-f", "-a", "0-7",
                                     dir.file("big1"), dir.file("big2"), dir.file("old.dlt")};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t child = 0;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    ASSERT_EQ(posix_spawn(&child, cli.c_str(), &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    // Interrupt once the file has started: the report, which takes its name
    // only when whole, and the delta are both being written as temporaries.
    const auto temporaries = [&] {
        int count = 0;
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(dir.path(), ec))
            if (e.path().filename().string().rfind(".qrlth-", 0) == 0) ++count;
        return count;
    };
    for (int i = 0; i < 500 && temporaries() < 2; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    int status = 0;
    if (waitpid(child, &status, WNOHANG) == child) GTEST_SKIP() << "the job ended before it could be interrupted";
    kill(child, SIGINT);
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
    std::string text = text_of(report);
    EXPECT_NE(text.find("***ERROR*** 400 building file: " + dir.file("old.dlt")), std::string::npos) << text;
    EXPECT_TRUE(text.ends_with("========E N D   O F   R E P O R T==========\n")) << text;
    EXPECT_EQ(read_file(dir.file("old.dlt")), (Bytes{'o', 'l', 'd'}));
    int entries = 0;
    for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir.path())) ++entries;
    EXPECT_EQ(entries, 6) << "no temporary is left beside the output";
}

}  // namespace
}  // namespace quoralith::test
