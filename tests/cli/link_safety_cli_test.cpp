// The command line around links and jobs that would do nothing: the lines a
// user reads and the exit status when an output name is a link, a folder of
// an output tree is one, a tree holds a link out of it, the Base tree is
// mistyped, a pattern selects nothing, or a cleared output lies in an input.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>

#include "cli_test_support.h"
#include "support/test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

bool is_link(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

class LinkSafetyCliTest : public ::testing::Test {
protected:
    Outcome run(const std::string& arguments) { return run_cli(dir.path(), arguments); }

    void SetUp() override {
        write_two_releases(dir);
        write_file(dir.file("new/lib/added.js"), text_like(900, 5));
        victim = elsewhere.file("victim");
        write_file(victim, {'k', 'e', 'e', 'p'});
        outside = elsewhere.file("outside");
        fs::create_directories(outside);
    }

    void plant(const std::string& name) {
        fs::remove_all(dir.file(name));
        fs::create_symlink(victim, dir.file(name));
    }

    void expect_outside_untouched(const std::string& what) {
        EXPECT_EQ(read_file(victim), (Bytes{'k', 'e', 'e', 'p'})) << what;
        EXPECT_TRUE(fs::is_empty(outside)) << what;
    }

    ScratchDir dir, elsewhere;
    std::string victim, outside;
};

// One rule for every output: a link at its name is replaced by the new file.
TEST_F(LinkSafetyCliTest, ALinkAtAnOutputNameIsReplacedForEveryCommand) {
    const char* lines[][2] = {
        {"create old/main.js new/main.js d.dlt", "d.dlt"},
        {"restore old/main.js d.dlt r.js", "r.js"},
        {"create --archived old new tree.dlt", "tree.dlt"},
        {"restore --archived --archive-updated old tree.dlt r.qa", "r.qa"},
        {"create --archive-delta old new d.qa", "d.qa"},
        {"archive create new n.qa", "n.qa"},
    };
    // -f: without it the command line refuses any existing output name.
    for (const auto& [line, name] : lines) {
        plant(name);
        Outcome outcome = run(std::string("-f ") + line);
        EXPECT_EQ(outcome.status, 0) << line << ": " << outcome.err;
        EXPECT_FALSE(is_link(dir.file(name))) << line;
        expect_outside_untouched(line);
    }
    EXPECT_EQ(read_file(dir.file("r.js")), read_file(dir.file("new/main.js")));

    // Inside output trees, and in place over a Base named by a link.
    ASSERT_EQ(run("create old new deltas").status, 0);
    fs::create_directories(dir.file("out"));
    plant("out/main.js");
    Outcome restored = run("restore --merge old deltas out");
    EXPECT_EQ(restored.status, 0) << restored.err;
    EXPECT_EQ(files_below(dir.file("out"))["main.js"], read_file(dir.file("new/main.js")));
    fs::create_directories(dir.file("x"));
    plant("x/main.js");
    EXPECT_EQ(run("archive extract n.qa x").status, 0);
    EXPECT_FALSE(is_link(dir.file("x/main.js")));
    const std::string real_base = elsewhere.file("real.js");
    write_file(real_base, read_file(dir.file("old/main.js")));
    fs::create_symlink(real_base, dir.file("app.js"));
    Outcome in_place = run("restore app.js d.dlt app.js");
    EXPECT_EQ(in_place.status, 0) << in_place.err;
    EXPECT_FALSE(is_link(dir.file("app.js")));
    EXPECT_EQ(read_file(real_base), read_file(dir.file("old/main.js")));
    // A link to the Base named as the output: the link is replaced, the Base kept.
    fs::create_symlink("old/main.js", dir.file("to-base.js"));
    Outcome beside = run("restore -f old/main.js d.dlt to-base.js");
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_FALSE(is_link(dir.file("to-base.js")));
    EXPECT_EQ(read_file(dir.file("to-base.js")), read_file(dir.file("new/main.js")));
    EXPECT_EQ(read_file(dir.file("old/main.js")), read_file(real_base));
    expect_outside_untouched("trees and in place");
}

TEST_F(LinkSafetyCliTest, ALinkedFolderInAnOutputTreeIsNamedAndRefused) {
    fs::create_directories(dir.file("deltas"));
    fs::create_directory_symlink(outside, dir.file("deltas/lib"));
    Outcome made = run("create old new deltas");
    EXPECT_EQ(made.status, 1);
    EXPECT_NE(made.err.find("quoralith: deltas/lib: a folder inside the output is a symbolic link; nothing is "
                            "written through it"),
              std::string::npos)
        << made.err;
    EXPECT_TRUE(fs::is_regular_file(dir.file("deltas/main.js")));

    fs::remove(dir.file("deltas/lib"));
    ASSERT_EQ(run("create old new deltas").status, 0);
    fs::create_directories(dir.file("out"));
    fs::create_directory_symlink(outside, dir.file("out/lib"));
    Outcome restored = run("restore --merge old deltas out");
    EXPECT_EQ(restored.status, 1);
    EXPECT_EQ(restored.err, "quoralith: out/lib: a folder inside the output is a symbolic link; nothing is written "
                            "through it\nquoralith: restore: 1 of 2 files failed\n");

    ASSERT_EQ(run("archive create new n.qa").status, 0);
    fs::create_directories(dir.file("x"));
    fs::create_directory_symlink(outside, dir.file("x/lib"));
    Outcome extracted = run("archive extract n.qa x");
    EXPECT_EQ(extracted.status, 1);
    EXPECT_NE(extracted.err.find("the folder 'x/lib' is a symbolic link; nothing is written through it"),
              std::string::npos)
        << extracted.err;
    expect_outside_untouched("trees");
}

TEST_F(LinkSafetyCliTest, ALinkOutOfTheTreeIsLeftOutWithALine) {
    const std::string secret = elsewhere.file("secret");
    write_file(secret, text_like(2000, 77));
    fs::create_symlink(secret, dir.file("new/passwd"));
    const std::string line = "a link to '" + fs::canonical(secret).string() + "', outside the tree, is not followed; it is left out";

    Outcome made = run("create old new deltas");
    EXPECT_EQ(made.status, 1);
    EXPECT_NE(made.err.find("quoralith: new/passwd: " + line), std::string::npos) << made.err;
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir.file("deltas/passwd"))));
    EXPECT_TRUE(fs::is_regular_file(dir.file("deltas/main.js")));

    Outcome packed = run("archive create new n.qa");
    EXPECT_EQ(packed.status, 1);
    EXPECT_NE(packed.err.find("new/passwd: " + line), std::string::npos) << packed.err;
    Outcome listed = run("archive list n.qa");
    EXPECT_EQ(listed.out.find("passwd"), std::string::npos) << listed.out;

    Outcome archived = run("create --archived old new tree.dlt");
    EXPECT_EQ(archived.status, 1);
    EXPECT_NE(archived.err.find("outside the tree; it is not followed and is left out"), std::string::npos)
        << archived.err;
    ASSERT_EQ(run("restore --archived old tree.dlt back").status, 0);
    EXPECT_FALSE(fs::exists(dir.file("back/passwd")));

    // The report counts it as one of the job's errors.
    Outcome reported = run("--report job.txt create old new deltas2");
    EXPECT_EQ(reported.status, 1);
    const Bytes report = read_file(dir.file("job.txt"));
    const std::string text(report.begin(), report.end());
    EXPECT_NE(text.find("***ERROR*** 63 building file: deltas2/passwd"), std::string::npos) << text;
    EXPECT_NE(text.find(line), std::string::npos) << text;
}

TEST_F(LinkSafetyCliTest, AMistypedBaseTreeIsRefusedUnlessNoBaseIsAsked) {
    Outcome typo = run("create odl new deltas");
    EXPECT_EQ(typo.status, 2);
    EXPECT_EQ(typo.err,
              "quoralith: create: the base directory 'odl' does not exist (to make deltas without a base, use "
              "--no-base UPDATED DELTA)\n");
    EXPECT_FALSE(fs::exists(dir.file("deltas")));
    Outcome archived = run("create --archived odl new tree.dlt");
    EXPECT_EQ(archived.status, 2);
    EXPECT_EQ(archived.err,
              "quoralith: create: the base 'odl' does not exist (to make a delta without a base, use --no-base "
              "UPDATED DELTA)\n");
    EXPECT_FALSE(fs::exists(dir.file("tree.dlt")));

    Outcome whole = run("create --no-base new deltas");
    ASSERT_EQ(whole.status, 0) << whole.err;
    ASSERT_EQ(run("restore nothing-here deltas out").status, 0);
    EXPECT_EQ(files_below(dir.file("out")), files_below(dir.file("new")));
    Outcome whole_archived = run("create --archived --no-base new tree.dlt");
    ASSERT_EQ(whole_archived.status, 0) << whole_archived.err;
    ASSERT_EQ(run("restore --archived nothing-here tree.dlt out2").status, 0);
    EXPECT_EQ(files_below(dir.file("out2")), files_below(dir.file("new")));
}

TEST_F(LinkSafetyCliTest, APatternThatSelectsNothingSaysSoInOneLine) {
    Outcome made = run("create --pattern '*.zzz' old new deltas");
    EXPECT_EQ(made.status, 1);
    EXPECT_EQ(made.err, "quoralith: new: no file of 'new' matches the pattern '*.zzz'; nothing was done\n");
    EXPECT_FALSE(fs::exists(dir.file("deltas")));

    ASSERT_EQ(run("create old new deltas").status, 0);
    Outcome restored = run("restore --pattern '*.zzz' old deltas out");
    EXPECT_EQ(restored.status, 1);
    EXPECT_EQ(restored.err, "quoralith: deltas: no file of 'deltas' matches the pattern '*.zzz'; nothing was done\n");
    EXPECT_FALSE(fs::exists(dir.file("out")));

    Outcome packed = run("archive create --pattern '*.zzz' new n.qa");
    EXPECT_EQ(packed.status, 1);
    EXPECT_EQ(packed.err, "quoralith: archive create: n.qa: no file matches the pattern; nothing was done\n");
    EXPECT_FALSE(fs::exists(dir.file("n.qa")));
    ASSERT_EQ(run("archive create new n.qa").status, 0);
    Outcome extracted = run("archive extract --pattern '*.zzz' n.qa x");
    EXPECT_EQ(extracted.status, 1);
    EXPECT_EQ(extracted.err, "quoralith: archive extract: n.qa: no file matches the pattern; nothing was done\n");
    EXPECT_FALSE(fs::exists(dir.file("x")));
}

TEST_F(LinkSafetyCliTest, ClearingAnOutputThatWouldLieInAnInputIsRefused) {
    Outcome refused = run("create --clear-output old new new/sub");
    EXPECT_EQ(refused.status, 2);
    EXPECT_NE(refused.err.find("is, holds or lies inside an input; it is not cleared"), std::string::npos)
        << refused.err;
    EXPECT_FALSE(fs::exists(dir.file("new/sub")));
}

}  // namespace
}  // namespace quoralith::test
