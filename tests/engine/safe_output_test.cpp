// Safe output files: new exclusive temporaries beside the final name, never a
// link followed, committed by rename and abandoned without a trace.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "engine/archive.h"
#include "engine/engine.h"
#include "run_engine.h"
#include "engine/safe_output.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::Bytes;
using test::ScratchDir;

std::vector<std::string> entries(const ScratchDir& dir) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

void put(SafeOutput& out, const std::string& text) {
    ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), out.file()), text.size());
}

TEST(SafeOutput, CommitReplacesTargetAndLeavesNoTemporary) {
    ScratchDir dir;
    const std::string target = dir.file("out.dlt");
    test::write_file(target, Bytes{'o', 'l', 'd'});
    SafeOutput out;
    ASSERT_EQ(out.create_beside(target), 0);
    EXPECT_TRUE(is_temporary_name(out.path()));
    EXPECT_EQ(folder_of(out.path()), dir.path().string());
    put(out, "new content");
    // Until the commit the final name holds the old file.
    EXPECT_EQ(test::read_file(target), (Bytes{'o', 'l', 'd'}));
    ASSERT_EQ(out.commit(target), 0);
    EXPECT_FALSE(out.active());
    const Bytes got = test::read_file(target);
    EXPECT_EQ(std::string(got.begin(), got.end()), "new content");
    EXPECT_EQ(entries(dir), std::vector<std::string>{"out.dlt"});
}

TEST(SafeOutput, AbandonAndDestructionRemoveTheTemporaryOnly) {
    ScratchDir dir;
    const std::string target = dir.file("keep");
    test::write_file(target, Bytes{1, 2, 3});
    {
        SafeOutput out;
        ASSERT_EQ(out.create_beside(target), 0);
        put(out, "half");
        out.abandon();
        EXPECT_FALSE(out.active());
        ASSERT_EQ(out.create_beside(target), 0);
        put(out, "half again");
        ASSERT_EQ(out.finish(), 0);  // closed, still pending
    }
    EXPECT_EQ(entries(dir), std::vector<std::string>{"keep"});
    EXPECT_EQ(test::read_file(target), (Bytes{1, 2, 3}));
}

TEST(SafeOutput, MovedObjectOwnsTheTemporary) {
    ScratchDir dir;
    SafeOutput first;
    ASSERT_EQ(first.create_in(dir.path().string()), 0);
    const std::string path = first.path();
    SafeOutput second = std::move(first);
    EXPECT_FALSE(first.active());
    EXPECT_EQ(second.path(), path);
    first.abandon();  // owns nothing any more
    EXPECT_TRUE(test::file_exists(path));
    SafeOutput third;
    ASSERT_EQ(third.create_in(dir.path().string()), 0);
    third = std::move(second);  // third's own temporary is abandoned
    EXPECT_EQ(entries(dir).size(), 1u);
    third.abandon();
    EXPECT_TRUE(entries(dir).empty());
}

// A link planted at every name a temporary could take is never followed: the
// file it points at stays as it was, and the output still succeeds under a
// name nobody planted.
TEST(SafeOutput, PlantedLinksAreNeverFollowed) {
    ScratchDir dir, elsewhere;
    const std::string victim = elsewhere.file("victim");
    test::write_file(victim, Bytes{'s', 'a', 'f', 'e'});
    // The names are random, so plant links at the names a run actually takes:
    // each run's name is planted before the next run, and a name once seen is
    // a link from then on.
    std::set<std::string> planted;
    for (int round = 0; round < 20; ++round) {
        SafeOutput out;
        ASSERT_EQ(out.create_in(dir.path().string()), 0);
        EXPECT_EQ(planted.count(out.path()), 0u);
        struct stat status {};
        ASSERT_EQ(lstat(out.path().c_str(), &status), 0);
        EXPECT_TRUE(S_ISREG(status.st_mode));
        put(out, "written");
        const std::string taken = out.path();
        out.abandon();
        ASSERT_EQ(symlink(victim.c_str(), taken.c_str()), 0);
        planted.insert(taken);
    }
    EXPECT_EQ(test::read_file(victim), (Bytes{'s', 'a', 'f', 'e'}));
    for (const std::string& link : planted) {
        struct stat status {};
        ASSERT_EQ(lstat(link.c_str(), &status), 0);
        EXPECT_TRUE(S_ISLNK(status.st_mode)) << link;
    }
}

TEST(SafeOutput, ManyAtOnceGetDifferentNames) {
    ScratchDir dir;
    constexpr int kThreads = 8, kEach = 25;
    std::vector<std::vector<std::string>> names(kThreads);
    std::vector<std::thread> threads;
    std::vector<std::vector<SafeOutput>> held(kThreads);
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i) {
                SafeOutput out;
                if (out.create_in(dir.path().string()) != 0) return;
                names[t].push_back(out.path());
                held[t].push_back(std::move(out));  // keep each open: all exist at once
            }
        });
    }
    for (auto& thread : threads) thread.join();
    std::set<std::string> unique;
    for (const auto& list : names) {
        EXPECT_EQ(list.size(), static_cast<std::size_t>(kEach));
        unique.insert(list.begin(), list.end());
    }
    EXPECT_EQ(unique.size(), static_cast<std::size_t>(kThreads * kEach));
    held.clear();
    EXPECT_TRUE(entries(dir).empty());
}

TEST(SafeOutput, FailuresAreReportedAndLeaveTheTargetAlone) {
    ScratchDir dir;
    SafeOutput out;
    EXPECT_EQ(out.create_in(dir.file("missing-folder")), ENOENT);
    EXPECT_FALSE(out.active());
    EXPECT_EQ(out.commit(dir.file("x")), EINVAL);  // nothing pending

    // A target that is a non-empty folder cannot be replaced: the temporary
    // stays pending, and is removed when abandoned.
    std::filesystem::create_directory(dir.file("folder"));
    test::write_file(dir.file("folder/inside"), Bytes{7});
    ASSERT_EQ(out.create_in(dir.path().string()), 0);
    put(out, "x");
    EXPECT_NE(out.commit(dir.file("folder")), 0);
    EXPECT_TRUE(out.active());
    out.abandon();
    EXPECT_EQ(entries(dir), std::vector<std::string>{"folder"});

    // A write that fails (here the file size limit: a stand-in for a full
    // disk) is reported by the commit, and the target keeps its old content.
    const std::string target = dir.file("target");
    test::write_file(target, Bytes{'o', 'l', 'd'});
    ASSERT_EQ(out.create_beside(target), 0);
    const std::string big(64 * 1024, 'x');
    struct rlimit previous {};
    getrlimit(RLIMIT_FSIZE, &previous);
    const auto previous_handler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = previous;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::fwrite(big.data(), 1, big.size(), out.file());
    const int error = out.commit(target);
    setrlimit(RLIMIT_FSIZE, &previous);
    std::signal(SIGXFSZ, previous_handler);
    EXPECT_NE(error, 0);  // the stream keeps no errno of an earlier write
    EXPECT_TRUE(out.active());
    out.abandon();
    EXPECT_EQ(test::read_file(target), (Bytes{'o', 'l', 'd'}));
    EXPECT_EQ(entries(dir), (std::vector<std::string>{"folder", "target"}));
}

TEST(SafeOutput, NamesAndFolders) {
    EXPECT_EQ(folder_of("a/b/c"), "a/b");
    EXPECT_EQ(folder_of("/c"), "/");
    EXPECT_EQ(folder_of("c"), "");
    EXPECT_TRUE(is_temporary_name("dir/.qrlth-0123456789ab"));
    EXPECT_FALSE(is_temporary_name("dir/.qrlth-0123456789"));
    EXPECT_FALSE(is_temporary_name(".qrlth-0123456789aZ"));
    EXPECT_FALSE(is_temporary_name("QRLTH~~~"));
    EXPECT_TRUE(is_temporary_name("d/.qrlth-0123456789ab-0123456789abcdef-4711"));
    // A process id of 0 or one with a leading zero is no form of ours.
    EXPECT_FALSE(is_temporary_name(".qrlth-0123456789ab-0123456789abcdef-0"));
    EXPECT_FALSE(is_temporary_name(".qrlth-0123456789ab-0123456789abcdef-0471"));
    EXPECT_FALSE(is_temporary_name(".qrlth-0123456789ab-0123456789abcdef-"));
    EXPECT_EQ(sync_folder(""), 0);

    // A bare target name puts the temporary in the current folder.
    ScratchDir dir;
    const auto previous = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    SafeOutput out;
    EXPECT_EQ(out.create_beside("plain"), 0);
    EXPECT_EQ(out.path().find('/'), std::string::npos);
    EXPECT_EQ(out.commit("plain"), 0);
    std::filesystem::current_path(previous);
    EXPECT_EQ(entries(dir), std::vector<std::string>{"plain"});
}

TEST(TempFolder, IsNewEachTimeAndGoesWithEverythingInItUnlessReleased) {
    ScratchDir dir;
    const std::string outside = dir.file("outside");
    test::write_file(outside, {'k'});
    std::string kept;
    {
        TempFolder first, second;
        ASSERT_EQ(first.create_in(dir.path().string()), 0);
        ASSERT_EQ(second.create_in(dir.path().string()), 0);
        EXPECT_NE(first.path(), second.path());
        EXPECT_TRUE(is_temporary_name(first.path()));
        // What lies inside goes with it, but a link inside is removed, not followed.
        std::filesystem::create_directories(first.path() + "/sub");
        test::write_file(first.path() + "/sub/file", {'x'});
        std::filesystem::create_symlink(outside, first.path() + "/link");
        kept = second.path() + "-kept";
        std::filesystem::rename(second.path(), kept);
        second.release();
    }
    EXPECT_EQ(entries(dir), (std::vector<std::string>{std::filesystem::path(kept).filename().string(), "outside"}));
    EXPECT_EQ(test::read_file(outside), (Bytes{'k'}));
}

}  // namespace
}  // namespace quoralith

namespace quoralith {
namespace {

// Makes a temporary file (with content) and a temporary folder (with a file
// and a read-only folder in it) in `folder` from a child process, which then
// ends at once without removing them, as a killed run would, or lives on
// until the returned pipe is closed (`live`). Returns the child's id.
pid_t leave_temporaries(const std::string& folder, bool live, int& release) {
    int ready[2], hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) return -1;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        close(hold[1]);
        // Both live on the heap and are never destroyed: _exit leaves them.
        auto* out = new SafeOutput;
        auto* staging = new TempFolder;
        if (out->create_in(folder) != 0 || staging->create_in(folder) != 0) _exit(2);
        std::fputs("half a file", out->file());
        out->flush();
        test::write_file(staging->path() + "/member", Bytes{1, 2, 3});
        mkdir((staging->path() + "/locked").c_str(), 0500);
        if (write(ready[1], "r", 1) != 1) _exit(2);
        char byte = 0;
        if (live) (void)!read(hold[0], &byte, 1);
        _exit(0);
    }
    close(ready[1]);
    close(hold[0]);
    char byte = 0;
    (void)!read(ready[0], &byte, 1);
    close(ready[0]);
    release = hold[1];
    if (!live) waitpid(child, nullptr, 0);
    return child;
}

std::vector<std::string> temporaries_in(const ScratchDir& dir) {
    std::vector<std::string> found;
    for (const std::string& name : entries(dir))
        if (is_temporary_name(name)) found.push_back(name);
    return found;
}

TEST(DeadTemporaries, GoWithALaterRunWhileALiveRunsStay) {
    ScratchDir dir;
    const std::string folder = dir.path().string();
    int release_live = -1, release_dead = -1;
    const pid_t live = leave_temporaries(folder, true, release_live);
    ASSERT_GT(live, 0);
    const std::vector<std::string> live_ones = temporaries_in(dir);
    ASSERT_EQ(live_ones.size(), 2u);
    const pid_t dead = leave_temporaries(folder, false, release_dead);
    ASSERT_GT(dead, 0);
    close(release_dead);
    ASSERT_EQ(temporaries_in(dir).size(), 4u);

    // Names carry the boot and the process: ".qrlth-" + 12 hex, "-" + 16 hex, "-" + pid.
    const std::string sample = live_ones.front();
    ASSERT_EQ(sample.size(), 7 + 12 + 1 + 16 + 1 + std::to_string(live).size()) << sample;
    EXPECT_EQ(sample.substr(sample.size() - std::to_string(live).size()), std::to_string(live));
    const std::string boot = sample.substr(20, 16);
    const std::string dead_name = ".qrlth-00000000000a-" + boot + "-" + std::to_string(dead);

    // What no dead run can be proven to have left stays: an earlier version's
    // name, a link planted under a dead run's name (never followed), and a
    // file still locked by a live process whose id means nothing here (as
    // from another pid namespace).
    test::write_file(dir.file(".qrlth-0123456789ab"), Bytes{9});
    test::write_file(dir.file("victim"), Bytes{'v'});
    ASSERT_EQ(symlink(dir.file("victim").c_str(), dir.file(dead_name).c_str()), 0);
    const std::string locked_name = ".qrlth-00000000000b-" + boot + "-" + std::to_string(dead);
    test::write_file(dir.file(locked_name), Bytes{8});
    const int lock = open(dir.file(locked_name).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_EQ(flock(lock, LOCK_EX), 0);

    // A later single-file job in the folder removes the dead run's two only.
    const mode_t previous = umask(022);
    test::write_file(dir.file("u.bin"), test::random_bytes(3000, 1));
    std::string output = dir.file("u.dlt");
    engine_file_op(OP_CREATE_FILE, nullptr, dir.file("u.bin"), output, nullptr, 0, 0x80, {});
    umask(previous);
    EXPECT_TRUE(test::file_exists(output));
    std::vector<std::string> left = live_ones;
    left.push_back(".qrlth-0123456789ab");
    left.push_back(dead_name);
    left.push_back(locked_name);
    std::sort(left.begin(), left.end());
    EXPECT_EQ(temporaries_in(dir), left);
    EXPECT_EQ(test::read_file(dir.file("victim")), Bytes{'v'});

    // Unlocked, the file is proven dead; killed, so is the live run's pair.
    close(lock);
    EXPECT_EQ(remove_dead_temporaries(folder), 1);
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
    close(release_live);
    EXPECT_EQ(remove_dead_temporaries(folder), 2);
    EXPECT_EQ(temporaries_in(dir), (std::vector<std::string>{dead_name, ".qrlth-0123456789ab"}));
    EXPECT_EQ(test::read_file(dir.file("victim")), Bytes{'v'});
}

// Each kind of job clears the folders it writes to: a tree walk each output
// folder, archive create the archive's folder, extract the output's top.
TEST(DeadTemporaries, EveryKindOfJobClearsTheFoldersItWritesTo) {
    ScratchDir dir;
    for (const char* folder : {"base/sub", "updated/sub", "deltas/sub", "packed", "unpacked"})
        std::filesystem::create_directories(dir.file(folder));
    test::write_file(dir.file("base/sub/f.bin"), test::random_bytes(2000, 1));
    test::write_file(dir.file("updated/sub/f.bin"), test::random_bytes(2000, 2));
    int unused = -1;
    for (const char* folder : {"deltas", "deltas/sub", "packed", "unpacked"})
        ASSERT_GT(leave_temporaries(dir.file(folder), false, unused), 0);
    const auto left_in = [&](const char* folder) {
        std::vector<std::string> found;
        for (const auto& entry : std::filesystem::directory_iterator(dir.file(folder)))
            if (is_temporary_name(entry.path().filename().string())) found.push_back(entry.path().string());
        return found.size();
    };
    ASSERT_EQ(left_in("deltas/sub"), 2u);

    std::string deltas = dir.file("deltas");
    test::run_engine(OP_CREATE_DIR, dir.file("base"), dir.file("updated"), deltas, "", "", EF_INCLUDE_SUBDIRS, 0x80, {});
    EXPECT_TRUE(test::file_exists(dir.file("deltas/sub/f.bin")));
    EXPECT_EQ(left_in("deltas"), 0u);
    EXPECT_EQ(left_in("deltas/sub"), 0u);

    ASSERT_EQ(archive_create(dir.file("updated"), "", dir.file("packed/u.qa"), "", EF_INCLUDE_SUBDIRS, {}), 0);
    EXPECT_EQ(left_in("packed"), 0u);
    archive_extract(dir.file("packed/u.qa"), dir.file("unpacked"), "", 0, {});
    EXPECT_TRUE(test::file_exists(dir.file("unpacked/sub/f.bin")));
    EXPECT_EQ(left_in("unpacked"), 0u);
}

}  // namespace
}  // namespace quoralith
