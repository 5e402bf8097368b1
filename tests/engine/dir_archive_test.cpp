// Directory jobs whose Base, Updated or delta tree is one archive file: round
// trips through every combination, the names progress records carry, refused
// inputs, and Stop or failure at every step leaving the output as it was and
// no temporary behind.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <functional>

#include "engine/archive.h"
#include "engine/engine.h"
#include "run_engine.h"
#include "tree_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

constexpr EngineFlags kTree = EF_INCLUDE_SUBDIRS | EF_SORTED | EF_KEEP_DATE | EF_KEEP_ATTRIBUTES;

class DirArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = scratch.file("base");
        updated = scratch.file("updated");
        for (const char* d : {"/src/lib", "/docs", "/bin"}) {
            fs::create_directories(base + d);
            fs::create_directories(updated + d);
        }
        Bytes big = text_like(40000, 1);
        write_file(base + "/src/main.c", big);
        big[1000] ^= 0x55;  // one byte changed
        write_file(updated + "/src/main.c", big);
        write_file(base + "/src/lib/util.c", text_like(9000, 2));
        write_file(updated + "/src/lib/util.c", text_like(9000, 2));
        write_file(base + "/docs/moved.txt", text_like(3000, 3));
        write_file(updated + "/src/moved.txt", text_like(3000, 3));  // moved to another folder
        write_file(base + "/docs/old.txt", text_like(2000, 4));      // removed
        write_file(updated + "/src/lib/new.c", text_like(1500, 5));  // added
        write_file(base + "/bin/run", text_like(700, 6));
        write_file(updated + "/bin/run", text_like(800, 6));
        write_file(updated + "/docs/empty.txt", {});
        chmod((base + "/bin/run").c_str(), 0755);
        chmod((updated + "/bin/run").c_str(), 0755);
        chmod((updated + "/src/lib/util.c").c_str(), 0644);
        chmod((updated + "/src/lib/new.c").c_str(), 0600);
        // Fixed times, access later than any change: reading a file does not
        // move them, so deltas made at different moments agree.
        const std::time_t now = std::time(nullptr);
        const timespec times[2] = {{now + 3600, 0}, {now - 3600, 0}};
        for (const std::string& root : {base, updated})
            for (const auto& [name, data] : tree_of(root)) utimensat(AT_FDCWD, (root + "/" + name).c_str(), times, 0);
        // The deltas every combination must agree with.
        std::string plain = scratch.file("plain-deltas");
        ASSERT_EQ(run_engine(OP_CREATE_DIR, base, updated, plain, "", "", kTree, 0x81, {}), 0);
        plain_deltas = tree_of(plain);
        ASSERT_EQ(plain_deltas.size(), 6u);
    }

    std::string pack(const std::string& tree, const std::string& name, EngineFlags raw = 0) {
        const std::string archive = scratch.file(name);
        EXPECT_EQ(archive_create(tree, "", archive, "", EF_INCLUDE_SUBDIRS | EF_SORTED | raw, {}), 0);
        return archive;
    }
    std::string unpacked(const std::string& archive, const std::string& name) {
        const std::string dir = scratch.file(name);
        fs::remove_all(dir);
        EXPECT_EQ(archive_extract(archive, dir, "", EF_KEEP_DATE | EF_KEEP_ATTRIBUTES, {}), 0);
        return dir;
    }
    int run(int type, const std::string& first, const std::string& second, std::string output, EngineFlags flags) {
        return run_engine(type, first, second, output, "", "", kTree | flags, 0x81, recorder.callback());
    }

    // What a restore must give: the Updated tree's files, bytes and permission bits.
    static void expect_tree(const std::string& got, const std::string& want) {
        const auto files = tree_of(want);
        EXPECT_EQ(tree_of(got), files);
        for (const auto& [name, data] : files)
            EXPECT_EQ(permissions_of(got + "/" + name), permissions_of(want + "/" + name)) << name;
    }

    // Temporary trees and files of ours left anywhere in the scratch folder
    // or in the fallback temporary folder.
    std::vector<std::string> leftovers() const {
        std::vector<std::string> found;
        for (const std::string& entry : entries_of(scratch.path()))
            if (entry.find(".qrlth-") != std::string::npos) found.push_back(entry);
        return found;
    }
    int errors() const {
        int count = 0;
        for (const auto& s : recorder.seen) count += s.code < 0;
        return count;
    }

    ScratchDir scratch;
    std::string base, updated;
    std::map<std::string, Bytes> plain_deltas;
    TreeRecorder recorder;
};

TEST_F(DirArchiveTest, EveryCombinationRoundTripsAndTheDeltaArchiveHoldsThePlainDeltaTree) {
    const std::string base_qa = pack(base, "base.qa");
    const std::string updated_qa = pack(updated, "updated.qa");
    for (int combination = 1; combination < 8; ++combination) {
        const bool a_base = combination & 1, a_updated = combination & 2, a_delta = combination & 4;
        SCOPED_TRACE("create: base " + std::string(a_base ? "archive" : "tree") + ", updated " +
                     (a_updated ? "archive" : "tree") + ", delta " + (a_delta ? "archive" : "tree"));
        const std::string delta = scratch.file(a_delta ? "delta.qa" : "deltas");
        fs::remove_all(delta);
        EngineFlags flags = (a_base ? EF_ARCHIVE_BASE : 0) | (a_updated ? EF_ARCHIVE_UPDATED : 0) |
                            (a_delta ? EF_ARCHIVE_DELTA : 0);
        recorder.seen.clear();
        ASSERT_EQ(run(OP_CREATE_DIR, a_base ? base_qa : base, a_updated ? updated_qa : updated, delta, flags), 0);
        EXPECT_EQ(errors(), 0);
        EXPECT_EQ(recorder.count(PM_FILE_DONE), 6);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        // Same names, same delta bytes as the plain job; stored as they are.
        const auto got = tree_of(a_delta ? unpacked(delta, "delta-unpacked") : delta);
        EXPECT_EQ(got.size(), plain_deltas.size());
        for (const auto& [name, data] : got) {
            const Bytes& want = plain_deltas[name];
            std::size_t at = 0;
            while (at < data.size() && at < want.size() && data[at] == want[at]) ++at;
            EXPECT_TRUE(at == data.size() && at == want.size()) << name << " differs at " << at << " of " << data.size();
        }
        if (a_delta) {
            archive_list(delta, [](const ArchiveMember& m) { EXPECT_EQ(m.block_type, AR_STORED) << m.stored_path; });
        }
    }

    // The last delta archive (all three flags) restores through every side's form.
    const std::string delta_qa = scratch.file("delta.qa");
    const std::string delta_dir = unpacked(delta_qa, "delta-tree");
    for (int combination = 1; combination < 8; ++combination) {
        const bool a_base = combination & 1, a_delta = combination & 2, a_updated = combination & 4;
        SCOPED_TRACE("restore: base " + std::string(a_base ? "archive" : "tree") + ", delta " +
                     (a_delta ? "archive" : "tree") + ", updated " + (a_updated ? "archive" : "tree"));
        const std::string out = scratch.file(a_updated ? "restored.qa" : "restored");
        fs::remove_all(out);
        EngineFlags flags = (a_base ? EF_ARCHIVE_BASE : 0) | (a_updated ? EF_ARCHIVE_UPDATED : 0) |
                            (a_delta ? EF_ARCHIVE_DELTA : 0);
        recorder.seen.clear();
        ASSERT_EQ(run(OP_RESTORE_DIR, a_base ? base_qa : base, a_delta ? delta_qa : delta_dir, out, flags), 0);
        EXPECT_EQ(errors(), 0);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
        if (a_updated) {
            // Coded like any archive, and with the members' times and modes.
            int members = 0;
            archive_list(out, [&](const ArchiveMember& m) {
                ++members;
                EXPECT_EQ(m.block_type, AR_CODED) << m.stored_path;
                EXPECT_EQ(m.modification_time, mtime_of(updated + "/src/main.c"));
            });
            EXPECT_EQ(members, 6);
            expect_tree(unpacked(out, "restored-unpacked"), updated);
        } else {
            expect_tree(out, updated);
        }
    }

    // With the merge pass the Base files without a delta join the archive.
    std::string merged = scratch.file("merged.qa");
    ASSERT_EQ(run(OP_RESTORE_DIR, base_qa, delta_qa, merged, EF_ARCHIVE_BASE | EF_ARCHIVE_DELTA | EF_ARCHIVE_UPDATED | EF_MERGE), 0);
    auto want = tree_of(updated);
    want["docs/old.txt"] = read_file(base + "/docs/old.txt");
    want["docs/moved.txt"] = read_file(base + "/docs/moved.txt");
    EXPECT_EQ(tree_of(unpacked(merged, "merged-unpacked")), want);
}

TEST_F(DirArchiveTest, InPlaceRestoreReplacesTheBaseArchiveOrTreeAndRefusesAMixedPair) {
    std::string base_qa = pack(base, "base.qa");
    std::string delta_qa = scratch.file("delta.qa");
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, delta_qa, EF_ARCHIVE_DELTA), 0);
    auto want = tree_of(updated);
    want["docs/old.txt"] = read_file(base + "/docs/old.txt");
    want["docs/moved.txt"] = read_file(base + "/docs/moved.txt");

    // An archive restored over itself keeps the Base files without a delta, as
    // a tree restored in place does.
    const Bytes before = read_file(base_qa);
    std::string mixed = base_qa;
    EXPECT_EQ(run(OP_RESTORE_DIR, base_qa, delta_qa, mixed, EF_ARCHIVE_BASE | EF_ARCHIVE_DELTA), ERR_BAD_REQUEST);
    EXPECT_EQ(read_file(base_qa), before);
    ASSERT_EQ(run(OP_RESTORE_DIR, base_qa, delta_qa, base_qa, EF_ARCHIVE_BASE | EF_ARCHIVE_DELTA | EF_ARCHIVE_UPDATED), 0);
    EXPECT_EQ(errors(), 0);
    EXPECT_EQ(tree_of(unpacked(base_qa, "in-place-unpacked")), want);

    // A tree restored in place from a delta archive.
    const std::string copy = scratch.file("copy");
    fs::copy(base, copy, fs::copy_options::recursive);
    ASSERT_EQ(run(OP_RESTORE_DIR, copy, delta_qa, copy, EF_ARCHIVE_DELTA), 0);
    EXPECT_EQ(tree_of(copy), want);
    EXPECT_EQ(permissions_of(copy + "/src/lib/new.c"), 0600u);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

TEST_F(DirArchiveTest, RecordsNameWhatTheUserNamedNeverATemporaryTree) {
    const std::string base_qa = pack(base, "base.qa");
    const std::string updated_qa = pack(updated, "updated.qa");
    const std::string delta_qa = scratch.file("delta.qa");
    const EngineFlags all = EF_ARCHIVE_BASE | EF_ARCHIVE_UPDATED | EF_ARCHIVE_DELTA;
    ASSERT_EQ(run(OP_CREATE_DIR, base_qa, updated_qa, delta_qa, all), 0);
    ASSERT_EQ(run(OP_RESTORE_DIR, base_qa, delta_qa, scratch.file("restored.qa"), all | EF_MERGE), 0);
    int starts = 0;
    for (const auto& s : recorder.seen) {
        for (const std::string* path : {&s.first_path, &s.second_path, &s.output_path})
            EXPECT_EQ(path->find(".qrlth-"), std::string::npos) << s.code << " " << *path;
        if (s.code != PM_FILE_START) continue;
        ++starts;
        if (starts > 6) continue;  // the restore's files, checked below
        EXPECT_EQ(s.first_path.rfind(base_qa + "/", 0), 0u) << s.first_path;
        EXPECT_EQ(s.second_path.rfind(updated_qa + "/", 0), 0u) << s.second_path;
        EXPECT_EQ(s.output_path.rfind(delta_qa + "/", 0), 0u) << s.output_path;
    }
    EXPECT_EQ(starts, 6 + 6 + 2);  // create, restore, and the merge pass's two Base files
    const auto& last = recorder.seen.back();
    EXPECT_EQ(last.code, PM_ARCHIVE_FILE_DONE);
    EXPECT_EQ(last.first_path, scratch.file("restored.qa") + "/src/moved.txt");
}

TEST_F(DirArchiveTest, WrongOrDamagedArchivesAreRefusedBeforeAnythingIsWritten) {
    const std::string base_qa = pack(base, "base.qa");
    const std::string updated_qa = pack(updated, "updated.qa", EF_STORE_RAW);
    const std::string delta_qa = scratch.file("delta.qa");
    const Bytes old_delta = text_like(500, 9);
    const std::string out_dir = scratch.file("out");
    fs::create_directories(out_dir);
    write_file(out_dir + "/keep.txt", {'k'});

    struct Case {
        const char* what;
        std::function<void(Bytes&)> spoil;
        int code;
    };
    const Bytes sound = read_file(updated_qa);
    const Case cases[] = {
        {"not an archive", [](Bytes& b) { b = text_like(400, 1); }, ERR_NOT_ARCHIVE},
        {"a record length of 2", [](Bytes& b) { b[98] = 2, b[99] = 0; }, ERR_ARCHIVE_DAMAGED},
        {"cut short", [](Bytes& b) { b.resize(b.size() - 40); }, ERR_ARCHIVE_DAMAGED},
        // Sound records, one member's bytes changed: refused as it is unpacked.
        {"a member's bytes", [](Bytes& b) { b[b.size() - 72 - 5] ^= 1; }, ERR_CONTENT_MISMATCH},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes spoilt = sound;
        c.spoil(spoilt);
        write_file(updated_qa, spoilt);
        write_file(delta_qa, old_delta);
        recorder.seen.clear();
        ASSERT_EQ(run(OP_CREATE_DIR, base_qa, updated_qa, delta_qa, EF_ARCHIVE_BASE | EF_ARCHIVE_UPDATED | EF_ARCHIVE_DELTA), 0);
        ASSERT_EQ(errors(), 1);
        const auto error = *std::find_if(recorder.seen.begin(), recorder.seen.end(), [](const TreeRecord& s) { return s.code < 0; });
        EXPECT_EQ(error.code, c.code);
        EXPECT_EQ(error.second_path.rfind(updated_qa, 0), 0u) << error.second_path;
        if (c.code == ERR_ARCHIVE_DAMAGED) {
            EXPECT_NE(error.detail.find("damaged at offset"), std::string::npos);
        }
        EXPECT_EQ(recorder.count(PM_FILE_START), 0);
        EXPECT_EQ(read_file(delta_qa), old_delta);

        // Nor is an output tree cleared for a refused input.
        recorder.seen.clear();
        ASSERT_EQ(run(OP_RESTORE_DIR, base, updated_qa, out_dir, EF_ARCHIVE_DELTA | EF_CLEAR_OUTPUT), 0);
        EXPECT_EQ(errors(), 1);
        EXPECT_TRUE(file_exists(out_dir + "/keep.txt"));
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }

    // A missing Base archive is no empty tree: its name was probably mistyped.
    recorder.seen.clear();
    ASSERT_EQ(run(OP_CREATE_DIR, scratch.file("missing.qa"), updated, delta_qa, EF_ARCHIVE_BASE | EF_ARCHIVE_DELTA), 0);
    ASSERT_EQ(errors(), 1);
    EXPECT_EQ(recorder.seen.front().code, ERR_OPEN_ARCHIVE - ENOENT);
    EXPECT_EQ(read_file(delta_qa), old_delta);
}

TEST_F(DirArchiveTest, StopAtEveryStepKeepsTheOldArchiveAndLeavesNoTemporary) {
    const std::string base_qa = pack(base, "base.qa");
    const std::string updated_qa = pack(updated, "updated.qa");
    const std::string delta_qa = scratch.file("delta.qa");
    ASSERT_EQ(run(OP_CREATE_DIR, base_qa, updated_qa, delta_qa, EF_ARCHIVE_BASE | EF_ARCHIVE_UPDATED | EF_ARCHIVE_DELTA), 0);
    const std::string restored_qa = scratch.file("restored.qa");
    const Bytes old = text_like(700, 11);

    // Where to stop: the nth record of a kind (transfers included, so that a
    // stop in the middle of a member counts too).
    constexpr int kTransfer = 1000;  // any read or write of a stream
    struct Point {
        const char* what;
        int code;
        int nth;
    };
    const Point points[] = {
        {"unpacking the Base", PM_EXTRACT_FILE_START, 2},
        {"unpacking the delta tree", PM_EXTRACT_FILE_START, 9},
        {"inside a member being unpacked", kTransfer, 5},
        {"walking the tree", PM_FILE_START, 3},
        {"packing the Updated archive", PM_ARCHIVE_FILE_START, 4},
    };
    for (const Point& p : points) {
        SCOPED_TRACE(p.what);
        int seen = 0;
        recorder.answer = [&](const ProgressRecord& r) -> std::int16_t {
            const bool transfer = r.code == PM_READ_BASE || r.code == PM_READ_INPUT || r.code == PM_WRITE_OUTPUT;
            if (p.code == kTransfer ? transfer : r.code == p.code) ++seen;
            // Once stopped, a caller answers stop to everything, as a stopped job does.
            return seen >= p.nth ? ANSWER_STOP : ANSWER_SKIP;
        };
        write_file(restored_qa, old);
        recorder.seen.clear();
        ASSERT_EQ(run(OP_RESTORE_DIR, base_qa, delta_qa, restored_qa, EF_ARCHIVE_BASE | EF_ARCHIVE_DELTA | EF_ARCHIVE_UPDATED), 0);
        EXPECT_GE(seen, p.nth) << "the stop point was reached";
        EXPECT_EQ(recorder.count(ERR_STOPPED), 1) << "the stop is told once";
        EXPECT_EQ(read_file(restored_qa), old);
        EXPECT_EQ(leftovers(), std::vector<std::string>{});
    }
}

TEST_F(DirArchiveTest, AFailedFileOrAFullDiskKeepsTheOldArchiveAndSaysWhy) {
    const std::string delta_qa = scratch.file("delta.qa");
    ASSERT_EQ(run(OP_CREATE_DIR, base, updated, delta_qa, EF_ARCHIVE_DELTA), 0);
    const std::string restored_qa = scratch.file("restored.qa");
    const Bytes old = text_like(700, 12);
    write_file(restored_qa, old);
    recorder.answer = default_progress_callback;  // the failure action as the flags say

    // One Base file that is not the one the delta was made from.
    Bytes changed = read_file(base + "/src/main.c");
    changed[5] ^= 1;
    write_file(base + "/src/main.c", changed);
    // Skipped, or stopping the job: either way the archive would lack it.
    for (EngineFlags action : {EF_FAIL_SKIP, EF_FAIL_STOP}) {
        SCOPED_TRACE(action == EF_FAIL_SKIP ? "skip" : "stop");
        recorder.seen.clear();
        ASSERT_EQ(run(OP_RESTORE_DIR, base, delta_qa, restored_qa, EF_ARCHIVE_DELTA | EF_ARCHIVE_UPDATED | action), 0);
        EXPECT_EQ(recorder.count(ERR_WRONG_BASE), 1);
        EXPECT_EQ(recorder.count(ERR_STOPPED), 0) << "no user stopped it";
        EXPECT_EQ(recorder.count(ERR_WRITE_ARCHIVE - ECANCELED), 1);
        EXPECT_NE(recorder.seen.back().detail.find("1 file failed"), std::string::npos) << recorder.seen.back().detail;
        EXPECT_EQ(recorder.seen.back().output_path, restored_qa);
        EXPECT_EQ(read_file(restored_qa), old);
    }

    // With the failure action "copy" the tree is whole again: the Base file
    // takes the failed one's place.
    recorder.seen.clear();
    ASSERT_EQ(run(OP_RESTORE_DIR, base, delta_qa, restored_qa, EF_ARCHIVE_DELTA | EF_ARCHIVE_UPDATED | EF_FAIL_COPY), 0);
    EXPECT_EQ(recorder.count(ERR_WRITE_ARCHIVE - ECANCELED), 0);
    EXPECT_EQ(tree_of(unpacked(restored_qa, "copied"))["src/main.c"], changed);
    write_file(base + "/src/main.c", text_like(40000, 1));

    // A disk that fills while the archive is packed: one line for the
    // archive, the old one kept, no temporary left.
    write_file(restored_qa, old);
    const Bytes kept = read_file(delta_qa);
    const auto whole = static_cast<rlim_t>(kept.size());
    recorder.seen.clear();
    const int last = with_file_size_limit(whole - 10, [&] {
        run(OP_CREATE_DIR, base, updated, delta_qa, EF_ARCHIVE_DELTA);
        return recorder.seen.back().code;
    });
    EXPECT_EQ(last, ERR_WRITE_ARCHIVE - EFBIG);
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
    EXPECT_EQ(read_file(delta_qa), kept);
}

TEST_F(DirArchiveTest, TemporaryTreesNeverLieInsideAWalkedTree) {
    // The delta tree inside the Updated tree: beside it would be inside the
    // walked tree, so the temporary goes to TMPDIR, and the walk codes only
    // Updated's own files.
    const std::string base_qa = pack(base, "base.qa");
    const std::string tmp = scratch.file("tmp");
    fs::create_directories(tmp);
    const char* old_tmp = std::getenv("TMPDIR");
    const std::string saved = old_tmp ? old_tmp : "";
    setenv("TMPDIR", tmp.c_str(), 1);
    const std::string inside = updated + "/deltas";
    ASSERT_EQ(run(OP_CREATE_DIR, base_qa, updated, inside, EF_ARCHIVE_BASE), 0);
    if (old_tmp) setenv("TMPDIR", saved.c_str(), 1); else unsetenv("TMPDIR");
    EXPECT_EQ(errors(), 0);
    EXPECT_EQ(tree_of(inside), plain_deltas);
    EXPECT_TRUE(fs::is_empty(tmp));

    // An archive written inside a tree the walk reads is refused.
    std::string inside_qa = updated + "/deltas.qa";
    EXPECT_EQ(run(OP_CREATE_DIR, base, updated, inside_qa, EF_ARCHIVE_DELTA), ERR_BAD_REQUEST);
    EXPECT_FALSE(file_exists(inside_qa));
    EXPECT_EQ(leftovers(), std::vector<std::string>{});
}

}  // namespace
}  // namespace quoralith::test
