// What the single-file operation does with hostile or odd surroundings: links
// planted where a temporary could go, two runs writing into one folder at
// once, a Base that exists but cannot be read, and pipes given as inputs or
// outputs.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <mutex>
#include <thread>

#include "engine/safe_output.h"
#include "engine_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

bool is_link(const std::string& path) {
    struct stat status {};
    return lstat(path.c_str(), &status) == 0 && S_ISLNK(status.st_mode);
}

// Every temporary of the program found in `dir` is a plain file of its own,
// never a link nor another name of an existing file.
void expect_temporaries_are_own_files(const fs::path& dir, int& seen) {
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string path = entry.path().string();
        if (!is_temporary_name(path)) continue;
        struct stat status {};
        if (lstat(path.c_str(), &status) != 0) continue;  // gone meanwhile
        ++seen;
        EXPECT_TRUE(S_ISREG(status.st_mode)) << path;
        EXPECT_EQ(status.st_nlink, 1u) << path;
    }
}

class SafeFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = dir.file("base.bin");
        updated = dir.file("updated.bin");
        Bytes old_text = text_like(50000, 21);
        Bytes new_text = old_text;
        for (std::size_t i = 500; i < new_text.size(); i += 4001) new_text[i] ^= 0x33;
        write_file(base, old_text);
        write_file(updated, new_text);
    }

    ScratchDir dir, elsewhere;
    std::string base, updated;
    Recorder recorder;
};

// Every kind of output goes through a temporary: create with several
// candidates, keep all, a restore beside and over the Base, the copy action and
// the merge copy. A link at the temporary name of old (which every run used to
// open with truncation) and any link in the folder stay links, their target
// untouched; each temporary met during a run is a new file of its own.
TEST_F(SafeFilesTest, NoOutputEverFollowsALinkAtATemporaryName) {
    const std::string victim = elsewhere.file("victim");
    write_file(victim, Bytes{'k', 'e', 'e', 'p'});
    const std::string old_name = dir.file("QRLTH~~~");
    ASSERT_EQ(symlink(victim.c_str(), old_name.c_str()), 0);
    int temporaries_seen = 0;
    recorder.answer = [&](const ProgressRecord& r) -> std::int16_t {
        if (r.code == PM_WRITE_OUTPUT) expect_temporaries_are_own_files(dir.path(), temporaries_seen);
        return r.code < 0 ? ANSWER_BY_FLAGS : ANSWER_SKIP;
    };
    auto check = [&](const char* what) {
        EXPECT_EQ(read_file(victim), (Bytes{'k', 'e', 'e', 'p'})) << what;
        EXPECT_TRUE(is_link(old_name)) << what;
        for (const std::string& name : names_in(dir)) EXPECT_FALSE(is_temporary_name(name)) << what << ": " << name;
    };

    std::string delta = dir.file("out.dlt");
    ASSERT_EQ(engine_file_op(OP_CREATE_FILE, base.c_str(), updated, delta, nullptr, 0, 0x85, recorder.callback()), 0);
    EXPECT_FALSE(is_link(delta));
    check("create");

    std::string kept = dir.file("k.dlt");
    ASSERT_EQ(engine_file_op(OP_CREATE_FILE, base.c_str(), updated, kept, nullptr, EF_KEEP_ALL, 0x03,
                             recorder.callback()),
              0);
    check("keep all");

    std::string restored = dir.file("restored.bin");
    ASSERT_EQ(engine_file_op(OP_RESTORE_FILE, base.c_str(), delta, restored, nullptr, 0, 0, recorder.callback()), 0);
    EXPECT_EQ(read_file(restored), read_file(updated));
    check("restore");

    const std::string copy_of_base = dir.file("in-place.bin");
    write_file(copy_of_base, read_file(base));
    std::string in_place = copy_of_base;
    ASSERT_EQ(engine_file_op(OP_RESTORE_FILE, copy_of_base.c_str(), delta, in_place, nullptr, EF_IN_PLACE, 0,
                             recorder.callback()),
              0);
    EXPECT_EQ(read_file(copy_of_base), read_file(updated));
    check("in place");

    write_file(dir.file("bad.dlt"), random_bytes(300, 5));
    std::string copied = dir.file("copied.bin");
    EXPECT_EQ(engine_file_op(OP_RESTORE_FILE, base.c_str(), dir.file("bad.dlt"), copied, nullptr, EF_FAIL_COPY, 0,
                             recorder.callback()),
              static_cast<int>(read_file(base).size()));
    EXPECT_EQ(read_file(copied), read_file(base));
    check("copy action");

    std::string merged = dir.file("merged.bin");
    ASSERT_EQ(engine_file_op(OP_MERGE, base.c_str(), dir.file("none"), merged, nullptr, 0, 0, recorder.callback()), 0);
    EXPECT_EQ(read_file(merged), read_file(base));
    check("merge");

    EXPECT_GT(temporaries_seen, 0);
}

// Holds each of two runs at its first write until the other has reached its
// own, so that both have their temporaries open in the folder at once.
class Rendezvous {
public:
    void arrive() {
        std::unique_lock lock(mutex_);
        ++arrived_;
        changed_.notify_all();
        changed_.wait_for(lock, std::chrono::seconds(10), [this] { return arrived_ >= 2; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int arrived_ = 0;
};

ProgressCallback meet_at_first_write(Rendezvous& rendezvous) {
    auto met = std::make_shared<bool>(false);
    return [&rendezvous, met](const ProgressRecord& r) -> std::int16_t {
        if (r.code == PM_WRITE_OUTPUT && !*met) {
            *met = true;
            rendezvous.arrive();
        }
        return r.code < 0 ? ANSWER_BY_FLAGS : ANSWER_SKIP;
    };
}

TEST_F(SafeFilesTest, TwoRunsInOneFolderAtOnceEachGetTheirOwnResult) {
    // Two different file pairs.
    const std::string base2 = dir.file("base2.bin"), updated2 = dir.file("updated2.bin");
    write_file(base2, random_bytes(30000, 8));
    Bytes changed = read_file(base2);
    changed.resize(28000);
    changed.insert(changed.begin() + 100, 64, 'q');
    write_file(updated2, changed);

    for (int round = 0; round < 3; ++round) {
        // Two creates into one folder.
        std::string delta1 = dir.file("one.dlt"), delta2 = dir.file("two.dlt");
        Rendezvous creates;
        int result1 = -1, result2 = -1;
        std::thread first([&] {
            result1 = engine_file_op(OP_CREATE_FILE, base.c_str(), updated, delta1, nullptr, 0, 0x80,
                                     meet_at_first_write(creates));
        });
        std::thread second([&] {
            result2 = engine_file_op(OP_CREATE_FILE, base2.c_str(), updated2, delta2, nullptr, 0, 0x80,
                                     meet_at_first_write(creates));
        });
        first.join();
        second.join();
        ASSERT_EQ(result1, 0);
        ASSERT_EQ(result2, 0);

        // Two in-place restores in that folder, each over its own Base.
        const std::string target1 = dir.file("t1.bin"), target2 = dir.file("t2.bin");
        write_file(target1, read_file(base));
        write_file(target2, read_file(base2));
        std::string out1 = target1, out2 = target2;
        Rendezvous restores;
        first = std::thread([&] {
            result1 = engine_file_op(OP_RESTORE_FILE, target1.c_str(), delta1, out1, nullptr, EF_IN_PLACE, 0,
                                     meet_at_first_write(restores));
        });
        second = std::thread([&] {
            result2 = engine_file_op(OP_RESTORE_FILE, target2.c_str(), delta2, out2, nullptr, EF_IN_PLACE, 0,
                                     meet_at_first_write(restores));
        });
        first.join();
        second.join();
        ASSERT_EQ(result1, 0);
        ASSERT_EQ(result2, 0);
        EXPECT_EQ(read_file(target1), read_file(updated)) << round;
        EXPECT_EQ(read_file(target2), read_file(updated2)) << round;
        EXPECT_EQ(out1, target1);
        EXPECT_EQ(out2, target2);
        for (const std::string& name : names_in(dir)) EXPECT_FALSE(is_temporary_name(name)) << name;
    }
}

// A Base that is not there is a new file; a Base that is there but cannot be
// read is the file's error, and nothing is written.
TEST_F(SafeFilesTest, ABaseThatExistsButCannotBeOpenedIsAnError) {
    const std::string delta = dir.file("out.dlt");
    write_file(delta, Bytes{'o', 'l', 'd'});
    auto create_with = [&](const std::string& first) {
        std::string output = delta;
        recorder.seen.clear();
        return engine_file_op(OP_CREATE_FILE, first.c_str(), updated, output, nullptr, EF_FAIL_COPY, 1,
                              recorder.callback());
    };

    const std::string loop = dir.file("loop");
    ASSERT_EQ(symlink(loop.c_str(), loop.c_str()), 0);
    const std::string too_long = dir.file(std::string(300, 'n'));
    const std::string a_directory = dir.path().string();
    struct Case {
        std::string path;
        int code;
    } cases[] = {
        {loop, ERR_OPEN_BASE - ELOOP},
        {too_long, ERR_OPEN_BASE - ENAMETOOLONG},
        {a_directory, ERR_OPEN_BASE - EISDIR},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(create_with(c.path), c.code) << c.path.substr(0, 80);
        EXPECT_EQ(recorder.file_codes(), (std::vector<int>{PM_FILE_START, c.code}));
        EXPECT_EQ(read_file(delta), (Bytes{'o', 'l', 'd'}));
    }
    EXPECT_EQ(describe_error(ERR_OPEN_BASE - ELOOP), std::string("cannot open the base file: ") + std::strerror(ELOOP));

    if (geteuid() != 0) {  // the superuser reads any file
        const std::string locked = dir.file("locked.bin");
        write_file(locked, read_file(base));
        chmod(locked.c_str(), 0);
        EXPECT_EQ(create_with(locked), ERR_OPEN_BASE - EACCES);
        EXPECT_EQ(read_file(delta), (Bytes{'o', 'l', 'd'}));
    }

    // Missing, or below a name that is a file: a new file, coded whole.
    for (const std::string& missing : {dir.file("no-such-base"), base + "/below-a-file"}) {
        ASSERT_EQ(create_with(missing), 0) << missing;
        std::string restored = dir.file("restored.bin");
        ASSERT_EQ(engine_file_op(OP_RESTORE_FILE, missing.c_str(), delta, restored, nullptr, 0, 0, {}), 0);
        EXPECT_EQ(read_file(restored), read_file(updated));
    }
}

// Runs `operation` on another thread; if it has not ended within a few
// seconds, opens each pipe from this side (so a blocked open or read returns)
// and reports that it hung.
template <class Operation>
int ends_at_once(Operation operation, const std::vector<std::string>& pipes) {
    auto result = std::async(std::launch::async, operation);
    if (result.wait_for(std::chrono::seconds(10)) == std::future_status::ready) return result.get();
    ADD_FAILURE() << "the operation waited on a pipe";
    std::vector<int> fds;
    for (const std::string& pipe : pipes) fds.push_back(open(pipe.c_str(), O_RDWR | O_NONBLOCK));
    for (int fd : fds) close(fd);
    return result.get();
}

TEST_F(SafeFilesTest, PipesAreRefusedAtOnce) {
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    std::string delta = dir.file("good.dlt");
    ASSERT_EQ(engine_file_op(OP_CREATE_FILE, base.c_str(), updated, delta, nullptr, 0, 1, {}), 0);
    const std::string existing = dir.file("existing.bin");
    write_file(existing, Bytes{4, 4});

    struct Case {
        int type;
        std::string first, second, output;
    } cases[] = {
        {OP_CREATE_FILE, pipe, updated, existing},     // Base
        {OP_CREATE_FILE, base, pipe, existing},        // Updated
        {OP_RESTORE_FILE, pipe, delta, existing},      // Base of a restore
        {OP_RESTORE_FILE, base, pipe, existing},       // Delta
        {OP_CREATE_FILE, base, updated, pipe},         // a delta cannot be written into a pipe
    };
    for (Case& c : cases) {
        recorder.seen.clear();
        const int result = ends_at_once(
            [&] {
                return engine_file_op(c.type, c.first.c_str(), c.second, c.output, nullptr, EF_FAIL_COPY,
                                      1, recorder.callback());
            },
            {pipe});
        EXPECT_EQ(result, ERR_NOT_REGULAR_FILE) << c.type << " " << c.first << " " << c.second << " " << c.output;
        EXPECT_EQ(read_file(existing), (Bytes{4, 4}));
    }
    EXPECT_EQ(names_in(dir), (std::vector<std::string>{"base.bin", "existing.bin", "good.dlt", "pipe", "updated.bin"}));
}

// A restore may write into a pipe that someone reads; a pipe nobody reads is
// refused at once instead of waiting for a reader for ever. Its content waits
// in the temporary folder, and is gone afterwards either way.
TEST_F(SafeFilesTest, ARestoreIntoAPipeNeedsAReader) {
    const std::string pipe = dir.file("pipe");
    ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
    std::string delta = dir.file("good.dlt");
    ASSERT_EQ(engine_file_op(OP_CREATE_FILE, base.c_str(), updated, delta, nullptr, 0, 1, {}), 0);

    ScratchDir temporary_folder;
    const char* saved = std::getenv("TMPDIR");
    const std::string saved_value = saved ? saved : "";
    setenv("TMPDIR", temporary_folder.path().c_str(), 1);

    std::string output = pipe;
    const int unread = ends_at_once(
        [&] { return engine_file_op(OP_RESTORE_FILE, base.c_str(), delta, output, nullptr, 0, 0, {}); }, {pipe});
    EXPECT_EQ(unread, ERR_CREATE_OUTPUT - ENXIO);

    // With a reader: it gets the restored file.
    Bytes got;
    std::thread reader([&] {
        const int fd = open(pipe.c_str(), O_RDONLY);
        std::uint8_t buffer[4096];
        ssize_t n;
        while (fd >= 0 && (n = read(fd, buffer, sizeof buffer)) > 0) got.insert(got.end(), buffer, buffer + n);
        if (fd >= 0) close(fd);
    });
    // The reader's open waits for a writer, and ours does not wait for a
    // reader: try until the reader is there.
    int result = ERR_CREATE_OUTPUT - ENXIO;
    for (int i = 0; i < 200 && result == ERR_CREATE_OUTPUT - ENXIO; ++i) {
        output = pipe;
        result = engine_file_op(OP_RESTORE_FILE, base.c_str(), delta, output, nullptr, 0, 0, {});
        if (result == ERR_CREATE_OUTPUT - ENXIO) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (result == ERR_CREATE_OUTPUT - ENXIO) close(open(pipe.c_str(), O_RDWR));  // lets the reader end
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got, read_file(updated));

    if (saved)
        setenv("TMPDIR", saved_value.c_str(), 1);
    else
        unsetenv("TMPDIR");
    EXPECT_TRUE(fs::is_empty(temporary_folder.path())) << "the waiting content is removed";
}

}  // namespace
}  // namespace quoralith::test
