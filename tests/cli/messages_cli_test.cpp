// The words of a failure: each cause its own, never "a different base file"
// for a Base that is missing or a delta of the wrong kind, never "a device"
// for a link that leads nowhere, and always the name of the file written.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "cli/cli_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

class MessagesCliTest : public ::testing::Test {
protected:
    Outcome run(const std::string& arguments) { return run_cli(dir.path(), arguments); }

    std::string text(const std::string& name) {
        const Bytes b = read_file(dir.file(name));
        return std::string(b.begin(), b.end());
    }

    // Runs `script` (shell words, in the scratch folder) inside a mount
    // namespace with `small/` a 128 KiB file system; false when this system
    // allows no namespace or tmpfs, and the test is then skipped.
    bool on_small_disk(const std::string& script) {
        const std::string namespace_command = geteuid() == 0 ? "unshare -m" : "unshare -rm";
        if (std::system((namespace_command + " true >/dev/null 2>&1").c_str()) != 0) return false;
        fs::create_directories(dir.file("small"));
        const std::string whole = "mount -t tmpfs -o size=128k tmpfs small || exit 99; " + script;
        const std::string command = "cd " + quoted(dir.path().string()) + " && " + namespace_command + " sh -c " +
                                    quoted(whole) + " </dev/null >/dev/null 2>&1";
        const int raw = std::system(command.c_str());
        return !(WIFEXITED(raw) && WEXITSTATUS(raw) == 99);
    }

    ScratchDir dir;
};

TEST_F(MessagesCliTest, AMissingBaseIsCalledMissingNotDifferent) {
    write_file(dir.file("base.bin"), text_like(20000, 1));
    Bytes updated = text_like(20000, 1);
    updated[500] ^= 1;
    write_file(dir.file("new.bin"), updated);
    ASSERT_EQ(run("create base.bin new.bin d.dlt").status, 0);

    Outcome missing = run("restore gone.bin d.dlt out.bin");
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.err, "quoralith: d.dlt: the base file does not exist, and the delta was made from one\n");
    EXPECT_FALSE(fs::exists(dir.file("out.bin")));

    // A delta made without a Base still restores without one.
    ASSERT_EQ(run("create --no-base new.bin n.dlt").status, 0);
    ASSERT_EQ(run("restore gone.bin n.dlt out.bin").status, 0);
    EXPECT_EQ(read_file(dir.file("out.bin")), updated);

    // A tree whose Base file went missing says the same of that file.
    fs::create_directories(dir.file("old"));
    fs::create_directories(dir.file("newtree"));
    fs::copy_file(dir.file("base.bin"), dir.file("old/a.bin"));
    fs::copy_file(dir.file("new.bin"), dir.file("newtree/a.bin"));
    ASSERT_EQ(run("create old newtree deltas").status, 0);
    fs::remove(dir.file("old/a.bin"));
    Outcome tree = run("restore old deltas restored");
    EXPECT_EQ(tree.status, 1);
    EXPECT_NE(tree.err.find("quoralith: deltas/a.bin: the base file does not exist, and the delta was made from one\n"),
              std::string::npos)
        << tree.err;
}

TEST_F(MessagesCliTest, AnArchivedRestoreTellsASingleFileDeltaFromAnotherSelection) {
    for (const char* d : {"old/lib", "new/lib"}) fs::create_directories(dir.file(d));
    Bytes text = text_like(6000, 3);
    write_file(dir.file("old/main.js"), text);
    write_file(dir.file("old/lib/util.js"), text_like(3000, 4));
    write_file(dir.file("old/notes.txt"), text_like(2000, 5));
    text[100] ^= 1;
    write_file(dir.file("new/main.js"), text);
    write_file(dir.file("new/lib/util.js"), text_like(3000, 4));
    write_file(dir.file("new/notes.txt"), text_like(2000, 6));

    ASSERT_EQ(run("create --archived --pattern '*.js' old new js.qd").status, 0);
    const std::string other_tree =
        "the base tree is not the one the delta was made from: the --pattern and --no-subdirs are not those of the "
        "create, a file of the tree differs, or the delta is not one made by create --archived\n";
    Outcome no_pattern = run("restore --archived old js.qd out");
    EXPECT_EQ(no_pattern.status, 1);
    EXPECT_EQ(no_pattern.err, "quoralith: js.qd: " + other_tree);
    Outcome no_subdirs = run("restore --archived --pattern '*.js' --no-subdirs old js.qd out");
    EXPECT_EQ(no_subdirs.err, "quoralith: js.qd: " + other_tree);
    EXPECT_FALSE(fs::exists(dir.file("out")));

    // A single-file delta whose file does not begin as the Base tree's archive.
    write_file(dir.file("one.bin"), text_like(5000, 7));
    write_file(dir.file("two.bin"), text_like(5000, 8));
    ASSERT_EQ(run("create one.bin two.bin plain.dlt").status, 0);
    Outcome plain = run("restore --archived old plain.dlt out");
    EXPECT_EQ(plain.status, 1);
    EXPECT_EQ(plain.err,
              "quoralith: plain.dlt: the delta is a single-file delta, not one made by create --archived: restore it "
              "without --archived, from its base file\n");
    EXPECT_FALSE(fs::exists(dir.file("out")));

    // The right selection still restores.
    ASSERT_EQ(run("restore --archived --pattern '*.js' old js.qd out").status, 0);
    EXPECT_EQ(read_file(dir.file("out/main.js")), text);
}

TEST_F(MessagesCliTest, ALinkThatLeadsNowhereIsNotCalledADevice) {
    fs::create_directories(dir.file("old"));
    fs::create_directories(dir.file("new"));
    write_file(dir.file("new/a.txt"), text_like(3000, 9));
    fs::create_symlink("nowhere", dir.file("new/dangling"));
    fs::create_symlink("loop2", dir.file("new/loop1"));
    fs::create_symlink("loop1", dir.file("new/loop2"));
    ASSERT_EQ(mkfifo(dir.file("new/pipe").c_str(), 0600), 0);

    Outcome made = run("create --sorted old new deltas");
    EXPECT_EQ(made.status, 1);
    const std::string nowhere = ": a link that leads nowhere (its target is missing, or the links loop): passed over\n";
    EXPECT_NE(made.err.find("quoralith: new/dangling" + nowhere), std::string::npos) << made.err;
    EXPECT_NE(made.err.find("quoralith: new/loop1" + nowhere), std::string::npos) << made.err;
    EXPECT_NE(made.err.find("quoralith: new/loop2" + nowhere), std::string::npos) << made.err;
    EXPECT_NE(made.err.find("quoralith: new/pipe: not a regular file (a device, pipe, socket or link to a directory)\n"),
              std::string::npos)
        << made.err;
    EXPECT_NE(made.err.find("create: 4 of 5 files failed"), std::string::npos) << made.err;
    EXPECT_EQ(read_file(dir.file("deltas/a.txt")).empty(), false);

    Outcome packed = run("archive create new tree.qar");
    EXPECT_NE(packed.err.find("dangling" + nowhere), std::string::npos) << packed.err;
}

// A full disk: the words say the disk is full and whether an earlier output
// survives, and keep-all names the candidate's own file.
TEST_F(MessagesCliTest, AFullDiskSaysWhatIsKeptAndKeepAllNamesItsFile) {
    write_file(dir.file("base.bin"), random_bytes(300000, 1));
    write_file(dir.file("new.bin"), random_bytes(300000, 2));
    ASSERT_EQ(run("create base.bin new.bin big.dlt").status, 0);
    const std::string cli = quoted(QUORALITH_CLI);
    const std::string script =
        "echo old >small/kept.dlt; echo old >small/kept.bin; " + cli + " create -f base.bin new.bin small/kept.dlt 2>kept.txt; " + cli +
        " create base.bin new.bin small/fresh.dlt 2>fresh.txt; " + cli +
        " create --keep-all -a 0,7 base.bin new.bin small/k.dlt 2>keepall.txt; " + cli +
        " restore -f base.bin big.dlt small/kept.bin 2>restored.txt; cat small/kept.dlt small/kept.bin >old.txt; "
        "ls -A small >listing.txt";
    if (!on_small_disk(script)) GTEST_SKIP() << "no mount namespace or tmpfs for a small disk here";

    EXPECT_EQ(text("kept.txt"),
              "quoralith: small/kept.dlt: the disk is full; the output was not replaced: the earlier file is kept\n");
    EXPECT_EQ(text("fresh.txt"), "quoralith: small/fresh.dlt: the disk is full; no output file was written\n");
    EXPECT_EQ(text("keepall.txt"), "quoralith: small/k0.dlt: the disk is full; no output file was written\n");
    EXPECT_EQ(text("restored.txt"),
              "quoralith: small/kept.bin: the disk is full; the output was not replaced: the earlier file is kept\n");
    EXPECT_EQ(text("old.txt"), "old\nold\n");
    EXPECT_EQ(text("listing.txt"), "kept.bin\nkept.dlt\n");
}

}  // namespace
}  // namespace quoralith::test
