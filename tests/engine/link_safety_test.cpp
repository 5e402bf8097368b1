// Links around a job's names, and jobs that would do nothing: an output is
// never written through a link (a link at an output's name is replaced, a
// linked folder inside an output tree is refused by name), a link out of an
// input tree is left out, a missing Base tree and a pattern that selects
// nothing are refused before anything is made, and an output that would lie
// inside an input is refused for clearing even before it exists.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "engine/archive.h"
#include "engine/engine.h"
#include "run_engine.h"
#include "tree_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

bool is_link(const std::string& path) {
    struct stat st {};
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

std::string text_of(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

class LinkSafetyTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = dir.file("base");
        updated = dir.file("updated");
        fs::create_directories(base + "/sub");
        fs::create_directories(updated + "/sub");
        Bytes text = text_like(20000, 5);
        write_file(base + "/main.txt", text);
        text[700] ^= 0x20;
        write_file(updated + "/main.txt", text);
        write_file(base + "/sub/old.txt", text_like(3000, 6));
        write_file(updated + "/sub/new.txt", text_like(3000, 7));
        write_file(base + "/only-base.txt", text_like(900, 8));
        victim = elsewhere.file("victim");
        write_file(victim, {'k', 'e', 'e', 'p'});
        outside = elsewhere.file("outside");
        fs::create_directories(outside);
    }

    int run(int type, const std::string& first, const std::string& second, const std::string& output,
            EngineFlags flags = EF_INCLUDE_SUBDIRS, const std::string& pattern = "") {
        std::string out = output;
        return run_engine(type, first, second, out, pattern, "", flags | EF_KEEP_DATE | EF_KEEP_ATTRIBUTES, 0x80,
                          recorder.callback());
    }

    // The victim and the outside folder are as they were.
    void expect_outside_untouched(const char* what) {
        EXPECT_EQ(text_of(read_file(victim)), "keep") << what;
        EXPECT_TRUE(fs::is_empty(outside)) << what;
    }

    const TreeRecord* first_with(int code) const {
        for (const TreeRecord& r : recorder.seen)
            if (r.code == code) return &r;
        return nullptr;
    }

    ScratchDir dir, elsewhere;
    std::string base, updated, victim, outside;
    TreeRecorder recorder;
};

// Every kind of job that writes a file at a name: a link planted there is
// replaced by the new file, and the file it led to keeps its bytes.
TEST_F(LinkSafetyTest, ALinkAtAnyOutputNameIsReplacedAndItsTargetKept) {
    const std::string old_bin = dir.file("old.bin"), new_bin = dir.file("new.bin");
    write_file(old_bin, read_file(base + "/main.txt"));
    write_file(new_bin, read_file(updated + "/main.txt"));
    const auto plant = [&](const std::string& name) {
        fs::remove_all(name);
        fs::create_symlink(victim, name);
    };

    // Single-file create, keep-all, restore, the copy failure action.
    const std::string delta = dir.file("d.dlt");
    plant(delta);
    ASSERT_EQ(run(OP_CREATE_FILE, old_bin, new_bin, delta), 0);
    EXPECT_FALSE(is_link(delta));
    expect_outside_untouched("create");
    const std::string kept = dir.file("k.dlt"), kept7 = dir.file("k7.dlt");
    plant(kept7);
    std::string kept_out = kept;
    ASSERT_EQ(run_engine(OP_CREATE_FILE, old_bin, new_bin, kept_out, "", "", EF_KEEP_ALL, 0x81, recorder.callback()), 0);
    EXPECT_FALSE(is_link(kept7));
    expect_outside_untouched("keep all");
    const std::string restored = dir.file("r.bin");
    plant(restored);
    ASSERT_EQ(run(OP_RESTORE_FILE, old_bin, delta, restored), 0);
    EXPECT_FALSE(is_link(restored));
    EXPECT_EQ(read_file(restored), read_file(new_bin));
    expect_outside_untouched("restore");
    write_file(dir.file("bad.dlt"), random_bytes(300, 9));
    const std::string copied = dir.file("c.bin");
    plant(copied);
    recorder.answer = [](const ProgressRecord& r) -> std::int16_t { return r.code < 0 ? ANSWER_BY_FLAGS : ANSWER_SKIP; };
    run(OP_RESTORE_FILE, old_bin, dir.file("bad.dlt"), copied, EF_FAIL_COPY);
    EXPECT_FALSE(is_link(copied));
    EXPECT_EQ(read_file(copied), read_file(old_bin));
    expect_outside_untouched("copy");
    recorder.seen.clear();

    // In place: the Base named by a link is read through it, but the result
    // replaces the link, not the file it leads to.
    const std::string real_base = elsewhere.file("real-base.bin");
    write_file(real_base, read_file(old_bin));
    const std::string linked_base = dir.file("linked-base.bin");
    fs::create_symlink(real_base, linked_base);
    ASSERT_EQ(run(OP_RESTORE_FILE, linked_base, delta, linked_base), 0);
    EXPECT_FALSE(is_link(linked_base));
    EXPECT_EQ(read_file(linked_base), read_file(new_bin));
    EXPECT_EQ(read_file(real_base), read_file(old_bin));

    // A link that leads to an input is replaced like any other: no in-place
    // restore over the Base, no refusal, and the input keeps its bytes.
    const std::string to_base = dir.file("to-base.bin"), to_new = dir.file("to-new.dlt");
    fs::create_symlink(old_bin, to_base);
    fs::create_symlink(new_bin, to_new);
    const Bytes old_bytes = read_file(old_bin), new_bytes = read_file(new_bin);
    ASSERT_EQ(run(OP_RESTORE_FILE, old_bin, delta, to_base), 0);
    EXPECT_FALSE(is_link(to_base));
    EXPECT_EQ(read_file(to_base), new_bytes);
    EXPECT_EQ(read_file(old_bin), old_bytes);
    ASSERT_EQ(run(OP_CREATE_FILE, old_bin, new_bin, to_new), 0);
    EXPECT_FALSE(is_link(to_new));
    EXPECT_EQ(read_file(new_bin), new_bytes);

    // Directory create, restore and merge: a link at a file's name in the output tree.
    const std::string deltas = dir.file("deltas"), tree_out = dir.file("tree-out");
    fs::create_directories(deltas + "/sub");
    plant(deltas + "/main.txt");
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, deltas), 0);
    EXPECT_FALSE(is_link(deltas + "/main.txt"));
    expect_outside_untouched("directory create");
    fs::create_directories(tree_out);
    plant(tree_out + "/main.txt");
    plant(tree_out + "/only-base.txt");
    ASSERT_EQ(run(OP_RESTORE_DIR, base, deltas, tree_out, EF_INCLUDE_SUBDIRS | EF_MERGE), 0);
    EXPECT_FALSE(is_link(tree_out + "/main.txt"));
    EXPECT_FALSE(is_link(tree_out + "/only-base.txt"));
    EXPECT_EQ(read_file(tree_out + "/main.txt"), read_file(updated + "/main.txt"));
    EXPECT_EQ(read_file(tree_out + "/only-base.txt"), read_file(base + "/only-base.txt"));
    expect_outside_untouched("directory restore and merge");

    // One delta for the tree, and its restore as an archive file.
    const std::string archived = dir.file("tree.dlt"), restored_qa = dir.file("restored.qa");
    plant(archived);
    ASSERT_EQ(run(OP_CREATE_ARCHIVED, base, updated, archived), 0);
    EXPECT_FALSE(is_link(archived));
    plant(restored_qa);
    ASSERT_EQ(run(OP_RESTORE_ARCHIVED, base, archived, restored_qa, EF_INCLUDE_SUBDIRS | EF_ARCHIVE_UPDATED), 0);
    EXPECT_FALSE(is_link(restored_qa));
    expect_outside_untouched("archived");

    // A Directory job's archive outputs.
    const std::string delta_qa = dir.file("delta.qa"), updated_qa = dir.file("updated.qa");
    plant(delta_qa);
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, delta_qa, EF_INCLUDE_SUBDIRS | EF_ARCHIVE_DELTA), 0);
    EXPECT_FALSE(is_link(delta_qa));
    plant(updated_qa);
    ASSERT_EQ(run(OP_RESTORE_DIR, base, delta_qa, updated_qa, EF_INCLUDE_SUBDIRS | EF_ARCHIVE_DELTA | EF_ARCHIVE_UPDATED),
              0);
    EXPECT_FALSE(is_link(updated_qa));
    expect_outside_untouched("archives of a Directory job");

    // Archive create and extract.
    const std::string packed = dir.file("packed.qa"), unpacked = dir.file("unpacked");
    plant(packed);
    ASSERT_EQ(archive_create(updated, "", packed, "", EF_INCLUDE_SUBDIRS, recorder.callback()), 0);
    EXPECT_FALSE(is_link(packed));
    fs::create_directories(unpacked);
    plant(unpacked + "/main.txt");
    ASSERT_GE(archive_extract(packed, unpacked, "", 0, recorder.callback()), 0);
    EXPECT_FALSE(is_link(unpacked + "/main.txt"));
    EXPECT_EQ(tree_of(unpacked), tree_of(updated));
    expect_outside_untouched("archive");

    for (const TreeRecord& r : recorder.seen) EXPECT_GE(r.code, 0) << r.code << " " << r.output_path;
}

// A link at the output's name that leads to a device cannot be replaced (it
// is how the system names the device) nor written through: refused.
TEST_F(LinkSafetyTest, ALinkToADeviceAtTheOutputNameIsRefused) {
    const std::string delta = dir.file("d.dlt"), old_bin = dir.file("old.bin");
    write_file(old_bin, read_file(base + "/main.txt"));
    ASSERT_EQ(run(OP_CREATE_FILE, old_bin, updated + "/main.txt", delta), 0);
    const std::string null_link = dir.file("to-null");
    fs::create_symlink("/dev/null", null_link);
    recorder.seen.clear();
    ASSERT_EQ(run(OP_RESTORE_FILE, old_bin, delta, null_link), 0);
    ASSERT_NE(first_with(ERR_OUTPUT_LINK), nullptr);
    EXPECT_TRUE(is_link(null_link));
    EXPECT_EQ(first_with(PM_FILE_DONE), nullptr);
    EXPECT_EQ(archive_create(updated, "", null_link, "", EF_INCLUDE_SUBDIRS, {}), ERR_OUTPUT_LINK);
    EXPECT_TRUE(is_link(null_link));
    // A kept candidate's digit name too.
    fs::create_symlink("/dev/null", dir.file("k7.dlt"));
    std::string kept = dir.file("k.dlt");
    recorder.seen.clear();
    run_engine(OP_CREATE_FILE, old_bin, updated + "/main.txt", kept, "", "", EF_KEEP_ALL, 0x80, recorder.callback());
    ASSERT_NE(first_with(ERR_OUTPUT_LINK), nullptr);
    EXPECT_TRUE(is_link(dir.file("k7.dlt")));
}

// A folder of an output tree that is a link: each kind of job refuses it,
// naming it, writes nothing through it, and does the rest of its work.
TEST_F(LinkSafetyTest, ALinkedFolderInsideAnyOutputTreeIsRefusedByName) {
    const std::string deltas = dir.file("deltas");
    fs::create_directories(deltas);
    fs::create_directory_symlink(outside, deltas + "/sub");
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, deltas), 0);
    ASSERT_NE(first_with(ERR_LINKED_FOLDER), nullptr);
    EXPECT_EQ(first_with(ERR_LINKED_FOLDER)->output_path, deltas + "/sub");
    EXPECT_TRUE(file_exists(deltas + "/main.txt"));
    expect_outside_untouched("directory create");

    // Restore and merge into a tree whose folder is a link.
    fs::remove(deltas + "/sub");
    recorder.seen.clear();
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, deltas), 0);
    const std::string tree_out = dir.file("tree-out");
    fs::create_directories(tree_out);
    fs::create_directory_symlink(outside, tree_out + "/sub");
    recorder.seen.clear();
    ASSERT_EQ(run(OP_RESTORE_DIR, base, deltas, tree_out, EF_INCLUDE_SUBDIRS | EF_MERGE), 0);
    EXPECT_EQ(recorder.count(ERR_LINKED_FOLDER), 1);  // told once, though the merge meets it too
    EXPECT_EQ(first_with(ERR_LINKED_FOLDER)->output_path, tree_out + "/sub");
    EXPECT_EQ(read_file(tree_out + "/main.txt"), read_file(updated + "/main.txt"));
    expect_outside_untouched("directory restore and merge");

    // In place: the Base tree is the output tree.
    const std::string in_place = dir.file("in-place");
    fs::copy(base, in_place, fs::copy_options::recursive);
    fs::remove_all(in_place + "/sub");
    fs::create_directory_symlink(outside, in_place + "/sub");
    recorder.seen.clear();
    ASSERT_EQ(run(OP_RESTORE_DIR, in_place, deltas, in_place), 0);
    EXPECT_EQ(first_with(ERR_LINKED_FOLDER)->output_path, in_place + "/sub");
    EXPECT_EQ(read_file(in_place + "/main.txt"), read_file(updated + "/main.txt"));
    expect_outside_untouched("in place");

    // Archive extract names the linked folder in its words.
    const std::string packed = dir.file("packed.qa"), unpacked = dir.file("unpacked");
    ASSERT_EQ(archive_create(updated, "", packed, "", EF_INCLUDE_SUBDIRS, {}), 0);
    fs::create_directories(unpacked);
    fs::create_directory_symlink(outside, unpacked + "/sub");
    recorder.seen.clear();
    ASSERT_GE(archive_extract(packed, unpacked, "", 0, recorder.callback()), 0);
    ASSERT_NE(first_with(ERR_LINKED_FOLDER), nullptr);
    EXPECT_NE(first_with(ERR_LINKED_FOLDER)->detail.find(unpacked + "/sub"), std::string::npos);
    EXPECT_TRUE(file_exists(unpacked + "/main.txt"));
    expect_outside_untouched("archive extract");

    // An archived restore into an existing tree with a linked folder.
    const std::string archived = dir.file("tree.dlt"), archived_out = dir.file("archived-out");
    ASSERT_EQ(run(OP_CREATE_ARCHIVED, base, updated, archived), 0);
    fs::create_directories(archived_out);
    fs::create_directory_symlink(outside, archived_out + "/sub");
    recorder.seen.clear();
    ASSERT_EQ(run(OP_RESTORE_ARCHIVED, base, archived, archived_out), 0);
    EXPECT_EQ(first_with(PM_FILE_DONE), nullptr);
    expect_outside_untouched("archived restore");
}

// A link in an input tree that leads out of it is left out, with a warning
// naming where it leads; one that stays inside reads as its file.
TEST_F(LinkSafetyTest, LinksOutOfAnInputTreeAreLeftOutOfEveryOutput) {
    const std::string secret = elsewhere.file("secret");
    write_file(secret, text_like(4000, 99));
    fs::create_symlink(secret, updated + "/passwd");
    fs::create_symlink("main.txt", updated + "/inside.txt");
    const auto expect_warned = [&](const char* what) {
        const TreeRecord* warning = first_with(ERR_LINK_OUTSIDE);
        ASSERT_NE(warning, nullptr) << what;
        EXPECT_NE(warning->detail.find(secret), std::string::npos) << what << ": " << warning->detail;
    };

    // A delta tree, and what it restores to.
    const std::string deltas = dir.file("deltas"), restored = dir.file("restored");
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, deltas), 0);
    expect_warned("directory create");
    EXPECT_EQ(recorder.count(ERR_LINK_OUTSIDE), 1);
    EXPECT_FALSE(fs::exists(fs::symlink_status(deltas + "/passwd")));
    EXPECT_TRUE(file_exists(deltas + "/inside.txt"));
    ASSERT_EQ(run(OP_RESTORE_DIR, base, deltas, restored), 0);
    EXPECT_FALSE(file_exists(restored + "/passwd"));
    EXPECT_EQ(read_file(restored + "/inside.txt"), read_file(updated + "/main.txt"));

    // An archive, and a Directory job's delta archive.
    recorder.seen.clear();
    const std::string packed = dir.file("packed.qa");
    ASSERT_EQ(archive_create(updated, "", packed, "", EF_INCLUDE_SUBDIRS, recorder.callback()), 0);
    expect_warned("archive create");
    std::vector<std::string> members;
    archive_list(packed, [&](const ArchiveMember& m) { members.push_back(m.stored_path); }, {});
    EXPECT_EQ(std::count(members.begin(), members.end(), "passwd"), 0);
    EXPECT_EQ(std::count(members.begin(), members.end(), "inside.txt"), 1);
    recorder.seen.clear();
    const std::string delta_qa = dir.file("delta.qa");
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, delta_qa, EF_INCLUDE_SUBDIRS | EF_ARCHIVE_DELTA), 0);
    expect_warned("delta archive");
    ASSERT_TRUE(file_exists(delta_qa));  // a link left out costs the archive nothing
    members.clear();
    archive_list(delta_qa, [&](const ArchiveMember& m) { members.push_back(m.stored_path); }, {});
    EXPECT_EQ(std::count(members.begin(), members.end(), "passwd"), 0);

    // One delta for the tree: the restored tree has no passwd.
    recorder.seen.clear();
    const std::string archived = dir.file("tree.dlt"), archived_out = dir.file("archived-out");
    ASSERT_EQ(run(OP_CREATE_ARCHIVED, base, updated, archived), 0);
    expect_warned("archived create");
    ASSERT_NE(first_with(PM_FILE_DONE), nullptr);
    ASSERT_EQ(run(OP_RESTORE_ARCHIVED, base, archived, archived_out), 0);
    EXPECT_FALSE(file_exists(archived_out + "/passwd"));
    EXPECT_EQ(read_file(archived_out + "/inside.txt"), read_file(updated + "/main.txt"));

    // A Base file that is a link out of the Base tree is not read either.
    fs::remove(updated + "/passwd");
    fs::remove(base + "/main.txt");
    const std::string outside_base = elsewhere.file("outside-base.txt");
    write_file(outside_base, read_file(updated + "/main.txt"));
    fs::create_symlink(outside_base, base + "/main.txt");
    recorder.seen.clear();
    fs::remove_all(deltas);
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, deltas), 0);
    ASSERT_NE(first_with(ERR_LINK_OUTSIDE), nullptr);
    EXPECT_EQ(first_with(ERR_LINK_OUTSIDE)->second_path, base + "/main.txt");
    EXPECT_FALSE(file_exists(deltas + "/main.txt"));
}

// A Base tree named for a create must exist (an empty name asks for none);
// a pattern that selects nothing is said once and makes no folder.
TEST_F(LinkSafetyTest, AMissingBaseTreeOrAPatternThatSelectsNothingDoesNothing) {
    const std::string deltas = dir.file("deltas");
    ASSERT_EQ(run(OP_CREATE_DIR, dir.file("bsae"), updated, deltas), 0);
    EXPECT_EQ(recorder.file_codes(), std::vector<int>{ERR_NO_BASE_TREE});
    EXPECT_EQ(recorder.seen.front().first_path, dir.file("bsae"));
    EXPECT_FALSE(fs::exists(deltas));
    recorder.seen.clear();
    ASSERT_EQ(run(OP_CREATE_ARCHIVED, dir.file("bsae"), updated, dir.file("tree.dlt")), 0);
    EXPECT_EQ(recorder.file_codes(), std::vector<int>{ERR_NO_BASE_TREE});
    EXPECT_FALSE(fs::exists(dir.file("tree.dlt")));

    // No Base at all: every file is coded whole and restores without one.
    recorder.seen.clear();
    ASSERT_EQ(run(OP_CREATE_DIR, "", updated, deltas), 0);
    const std::string restored = dir.file("restored");
    ASSERT_EQ(run(OP_RESTORE_DIR, "", deltas, restored), 0);
    for (const TreeRecord& r : recorder.seen) EXPECT_GE(r.code, 0) << r.code << " " << r.second_path;
    EXPECT_EQ(tree_of(restored), tree_of(updated));
    fs::remove_all(deltas);

    // A pattern that selects nothing, for every kind of tree job.
    recorder.seen.clear();
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, deltas, EF_INCLUDE_SUBDIRS, "*.zzz"), 0);
    EXPECT_EQ(recorder.file_codes(), std::vector<int>{ERR_NOTHING_MATCHED});
    EXPECT_FALSE(fs::exists(deltas));
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, deltas), 0);
    recorder.seen.clear();
    ASSERT_EQ(run(OP_RESTORE_DIR, base, deltas, restored + "2", EF_INCLUDE_SUBDIRS | EF_CLEAR_OUTPUT, "*.zzz"), 0);
    EXPECT_EQ(recorder.file_codes(), std::vector<int>{ERR_NOTHING_MATCHED});
    EXPECT_FALSE(fs::exists(restored + "2"));
    // With --merge a pattern that selects Base files only still has work.
    recorder.seen.clear();
    ASSERT_EQ(run(OP_RESTORE_DIR, base, deltas, restored + "3", EF_INCLUDE_SUBDIRS | EF_MERGE, "old.*"), 0);
    EXPECT_EQ(recorder.count(ERR_NOTHING_MATCHED), 0);
    EXPECT_TRUE(file_exists(restored + "3/sub/old.txt"));
    recorder.seen.clear();
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, dir.file("d.qa"), EF_INCLUDE_SUBDIRS | EF_ARCHIVE_DELTA, "*.zzz"), 0);
    EXPECT_EQ(recorder.file_codes(), std::vector<int>{ERR_NOTHING_MATCHED});
    EXPECT_FALSE(fs::exists(dir.file("d.qa")));

    const std::string packed = dir.file("packed.qa"), unpacked = dir.file("unpacked");
    EXPECT_EQ(archive_create(updated, "", packed, "*.zzz", EF_INCLUDE_SUBDIRS, {}), ERR_NOTHING_MATCHED);
    EXPECT_FALSE(fs::exists(packed));
    ASSERT_EQ(archive_create(updated, "", packed, "", EF_INCLUDE_SUBDIRS, {}), 0);
    EXPECT_EQ(archive_extract(packed, unpacked, "*.zzz", 0, {}), ERR_NOTHING_MATCHED);
    EXPECT_FALSE(fs::exists(unpacked));
    EXPECT_GE(archive_extract(packed, unpacked, "NEW.*", 0, {}), 0);
    EXPECT_EQ(tree_of(unpacked).size(), 1u);
}

// Clearing an output that would lie inside an input is refused whether or
// not the output is there yet, under any spelling of its name.
TEST_F(LinkSafetyTest, ClearingAnOutputInsideAnInputIsRefusedBeforeItExists) {
    const std::string inside = updated + "/deltas";
    EXPECT_TRUE(clearing_would_delete_input(OP_CREATE_DIR, base, updated, inside));
    EXPECT_TRUE(clearing_would_delete_input(OP_CREATE_DIR, base, updated, updated + "/new/deeper"));
    EXPECT_TRUE(clearing_would_delete_input(OP_RESTORE_DIR, base, updated, base + "/restored"));
    const std::string spelled = dir.file("other-name");
    fs::create_directory_symlink(updated, spelled);
    EXPECT_TRUE(clearing_would_delete_input(OP_CREATE_DIR, base, updated, spelled + "/deltas"));
    EXPECT_FALSE(clearing_would_delete_input(OP_CREATE_DIR, base, updated, dir.file("deltas")));
    EXPECT_EQ(run(OP_CREATE_DIR, base, updated, inside, EF_INCLUDE_SUBDIRS | EF_CLEAR_OUTPUT), ERR_BAD_REQUEST);
    EXPECT_FALSE(fs::exists(inside));
    EXPECT_TRUE(recorder.seen.empty());
}

}  // namespace
}  // namespace quoralith::test
