// The quoralith command line as a user meets it: exit statuses, the one-line
// error messages and round trips, by running the built program.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <string>

#include "support/test_support.h"

namespace quoralith::test {
namespace {

struct Outcome {
    int status;
    std::string out;
    std::string err;
};

std::string quoted(const std::string& text) {
    std::string q = "'";
    for (char c : text) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

class CliTest : public ::testing::Test {
protected:
    Outcome run_shell(const std::string& line) {
        const std::string out = dir.file("stdout.txt"), err = dir.file("stderr.txt");
        const std::string command = "cd " + quoted(dir.path().string()) + " && " + line + " >" + quoted(out) +
                                    " 2>" + quoted(err) + " </dev/null";
        const int raw = std::system(command.c_str());
        const Bytes o = read_file(out), e = read_file(err);
        return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(o.begin(), o.end()), std::string(e.begin(), e.end())};
    }

    Outcome run_on_terminal(const std::string& arguments) {
        return run_shell("script -qec " + quoted(quoted(QUORALITH_CLI) + " " + arguments) + " /dev/null");
    }

    Outcome run(const std::string& arguments) { return run_shell(quoted(QUORALITH_CLI) + " " + arguments); }

    void SetUp() override {
        Bytes old_data = text_like(200000, 21);
        Bytes new_data = old_data;
        new_data.insert(new_data.begin() + 1000, 300, 'n');
        for (std::size_t i = 5000; i < new_data.size(); i += 9973) new_data[i] ^= 0x2A;
        write_file(dir.file("base.bin"), old_data);
        write_file(dir.file("new.bin"), new_data);
    }

    ScratchDir dir;
};

TEST_F(CliTest, CreateRestoreAndInfoRoundTrip) {
    Outcome made = run("create -a 0-7 base.bin new.bin d.dlt");
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_EQ(made.err, "");  // no terminal: no progress bar
    EXPECT_LT(read_file(dir.file("d.dlt")).size(), read_file(dir.file("new.bin")).size() / 10);

    Outcome restored = run("restore base.bin d.dlt out.bin");
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(read_file(dir.file("out.bin")), read_file(dir.file("new.bin")));

    Outcome info = run("info d.dlt");
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.out.find("4 bytes (folded)"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("algorithm:"), std::string::npos);

    // Restoring over the Base, even under another spelling, replaces it.
    Outcome in_place = run("restore base.bin d.dlt ./base.bin");
    EXPECT_EQ(in_place.status, 0) << in_place.err;
    EXPECT_EQ(read_file(dir.file("base.bin")), read_file(dir.file("new.bin")));
}

TEST_F(CliTest, KeepAllAndLongStamp) {
    Outcome made = run("create --keep-all --long-stamp -a 0,5 base.bin new.bin report.dlt");
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(file_exists(dir.file("report0.dlt")));
    EXPECT_TRUE(file_exists(dir.file("report5.dlt")));
    EXPECT_FALSE(file_exists(dir.file("report.dlt")));
    EXPECT_NE(run("info report5.dlt").out.find("256 bytes; made from a base of 200000 bytes"), std::string::npos);
}

TEST_F(CliTest, DeepJoinsTheCandidatesAndKeepsTheSmallest) {
    ASSERT_EQ(run("create -a 7 base.bin new.bin plain.dlt").status, 0);
    Outcome made = run("create --deep base.bin new.bin deep.dlt");
    EXPECT_EQ(made.status, 0) << made.err;
    const Bytes deep = read_file(dir.file("deep.dlt"));
    EXPECT_LE(deep.size(), read_file(dir.file("plain.dlt")).size());
    EXPECT_EQ(run("restore base.bin deep.dlt out.bin").status, 0);
    EXPECT_EQ(read_file(dir.file("out.bin")), read_file(dir.file("new.bin")));
    // With a list, the deep candidate is one more of them.
    EXPECT_EQ(run("create --deep -a 0,3 base.bin new.bin both.dlt").status, 0);
    EXPECT_LE(read_file(dir.file("both.dlt")).size(), deep.size());
    // Keep-all names deltas by their algorithm; the deep one has no name there.
    Outcome refused = run("create --deep --keep-all base.bin new.bin k.dlt");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("--keep-all"), std::string::npos) << refused.err;
    EXPECT_NE(run("create --help").out.find("--deep"), std::string::npos);
}

TEST_F(CliTest, FailedFilesExitWithOneAndNameTheFileAndTheReason) {
    ASSERT_EQ(run("create base.bin new.bin d.dlt").status, 0);
    write_file(dir.file("out.bin"), Bytes{1, 2, 3});

    Outcome wrong_base = run("restore -f new.bin d.dlt out.bin");
    EXPECT_EQ(wrong_base.status, 1);
    EXPECT_EQ(wrong_base.err, "quoralith: d.dlt: the delta was made from a different base file\n");
    EXPECT_EQ(read_file(dir.file("out.bin")), (Bytes{1, 2, 3}));

    Outcome missing = run("restore base.bin missing.dlt other.bin");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "quoralith: missing.dlt: cannot open the input file: No such file or directory\n");
    EXPECT_FALSE(file_exists(dir.file("other.bin")));

    Outcome no_folder = run("create base.bin new.bin no-such-dir/d.dlt");
    EXPECT_EQ(no_folder.status, 1);
    EXPECT_EQ(no_folder.err,
              "quoralith: no-such-dir/d.dlt: cannot create the output file: No such file or directory\n");

    // --fail copy puts the Base in the output's place; the file still failed.
    Outcome copied = run("restore -f --fail copy new.bin d.dlt out.bin");
    EXPECT_EQ(copied.status, 1);
    EXPECT_EQ(read_file(dir.file("out.bin")), read_file(dir.file("new.bin")));

    Outcome not_delta = run("info base.bin");
    EXPECT_EQ(not_delta.status, 1);
    EXPECT_EQ(not_delta.err, "quoralith: base.bin: not a delta: the trailer's magic bytes are missing\n");
}

TEST_F(CliTest, TheRecordOfModeAndDigestShowsAndRefusesADamagedDelta) {
    ASSERT_EQ(std::system(("chmod 0750 " + quoted(dir.file("new.bin"))).c_str()), 0);
    ASSERT_EQ(run("create base.bin new.bin d.dlt").status, 0);
    Outcome info = run("info d.dlt");
    EXPECT_NE(info.out.find("record:            present; a restore verifies its output\n"), std::string::npos)
        << info.out;
    EXPECT_NE(info.out.find("updated mode:      0750 (rwxr-x---)\n"), std::string::npos) << info.out;
    EXPECT_NE(info.out.find("updated digest:    "), std::string::npos);

    ASSERT_EQ(run("create --plain-trailer base.bin new.bin plain.dlt").status, 0);
    EXPECT_NE(run("info plain.dlt").out.find("record:            none"), std::string::npos);
    EXPECT_EQ(run("restore base.bin plain.dlt plain.bin").status, 0);
    EXPECT_EQ(read_file(dir.file("plain.bin")), read_file(dir.file("new.bin")));

    // A flipped bit in a stored payload decodes, to the wrong bytes: refused.
    write_file(dir.file("small.bin"), random_bytes(150, 4));
    ASSERT_EQ(run("create base.bin small.bin s.dlt").status, 0);
    Bytes delta = read_file(dir.file("s.dlt"));
    delta[40] ^= 0x20;
    write_file(dir.file("s.dlt"), delta);
    write_file(dir.file("out.bin"), Bytes{7, 7});
    Outcome refused = run("restore -f base.bin s.dlt out.bin");
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(refused.err, "quoralith: s.dlt: the restored file does not match the one the delta was made from\n");
    EXPECT_EQ(read_file(dir.file("out.bin")), (Bytes{7, 7}));

    // A flipped bit of the record's tag is damage, not "no record": the
    // delta is refused in its own words, and info shows what the field holds.
    Bytes untagged = read_file(dir.file("d.dlt"));
    untagged[untagged.size() - 56 + 11] ^= 0x01;  // "QLR" becomes "QMR"
    write_file(dir.file("t.dlt"), untagged);
    Outcome tag = run("restore -f base.bin t.dlt out.bin");
    EXPECT_EQ(tag.status, 1);
    EXPECT_NE(tag.err.find("quoralith: t.dlt: the delta is damaged: its record of the file it restores"),
              std::string::npos)
        << tag.err;
    EXPECT_EQ(read_file(dir.file("out.bin")), (Bytes{7, 7}));
    Outcome shown = run("info t.dlt");
    EXPECT_NE(shown.out.find("record:            damaged; a restore refuses this delta\n"), std::string::npos)
        << shown.out;
    EXPECT_NE(shown.out.find("514d5201"), std::string::npos) << shown.out;
}

TEST_F(CliTest, RefusedRequestsAndBadUsageExitWithTwo) {
    for (const char* arguments : {"create base.bin new.bin new.bin", "create base.bin new.bin ./base.bin",
                                  "restore base.bin d.dlt d.dlt", "create -a 16 base.bin new.bin d.dlt",
                                  "create -a 5-2 base.bin new.bin d.dlt", "create --fail maybe base.bin new.bin d.dlt",
                                  "create base.bin", "frobnicate", ""}) {
        Outcome outcome = run(arguments);
        EXPECT_EQ(outcome.status, 2) << arguments;
        EXPECT_EQ(outcome.err.rfind("quoralith: ", 0), 0u) << arguments << ": " << outcome.err;
    }
    EXPECT_EQ(read_file(dir.file("new.bin")).size(), 200300u);  // untouched
    EXPECT_FALSE(file_exists(dir.file("d.dlt")));
}

TEST_F(CliTest, ProgressBarOnlyOnATerminalAndNotWhenQuiet) {
    if (std::system("command -v script >/dev/null 2>&1") != 0) GTEST_SKIP() << "no script(1) for a terminal";
    // script(1) gives the program a terminal; everything it printed lands in stdout.
    Outcome shown = run_on_terminal("create base.bin new.bin d.dlt");
    EXPECT_EQ(shown.status, 0);
    EXPECT_NE(shown.out.find("% [#"), std::string::npos) << shown.out;
    EXPECT_NE(shown.out.find("] d.dlt"), std::string::npos) << shown.out;
    EXPECT_EQ(shown.out.substr(shown.out.size() - 4), "\r\033[K");  // the bar is cleared at the end
    Outcome quiet = run_on_terminal("--quiet create -f base.bin new.bin d.dlt");
    EXPECT_EQ(quiet.status, 0);
    EXPECT_EQ(quiet.out.find('%'), std::string::npos) << quiet.out;
}

TEST_F(CliTest, HelpAndVersion) {
    Outcome version = run("--version");
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("quoralith ") + QUORALITH_VERSION_TEXT + "\n");
    Outcome help = run("--help");
    EXPECT_EQ(help.status, 0);
    for (const char* word : {"create", "restore", "info", "history", "archive", "--quiet"})
        EXPECT_NE(help.out.find(word), std::string::npos) << word;
}

// Only the subcommands named on the line are set up; a name that is an
// option's value must not cost the real command its parser.
TEST_F(CliTest, CommandNamesAsOptionValuesAndSubcommandHelp) {
    Outcome made = run("--report restore -q create base.bin new.bin d.dlt");
    EXPECT_EQ(made.status, 0) << made.err;
    EXPECT_TRUE(file_exists(dir.file("d.dlt")));
    EXPECT_TRUE(file_exists(dir.file("restore")));  // the report went where it was asked to
    Outcome help = run("restore --help");
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("BASE"), std::string::npos) << help.out;
    Outcome nested = run("archive create --help");
    EXPECT_EQ(nested.status, 0) << nested.err;
    EXPECT_NE(nested.out.find("ROOT"), std::string::npos) << nested.out;
}

}  // namespace
}  // namespace quoralith::test
