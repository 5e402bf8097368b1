// Archived-directory jobs: a whole tree as one delta. Round trips of trees and
// archive files, the Base that must match and the one that may differ in
// times only, and what a stop or a failure half-way leaves behind.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstddef>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>

#include "coder/digest.h"
#include "coder/format.h"
#include "engine/archive.h"
#include "engine/archived_dir.h"
#include "engine/engine.h"
#include "run_engine.h"
#include "tree_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

bool has_temporary(const fs::path& root) {
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        if (it->path().filename().string().rfind(".qrlth-", 0) == 0) return true;
    return false;
}

// Modification time and permission bits of every file below `root`.
std::map<std::string, std::pair<long, mode_t>> metadata_of(const fs::path& root) {
    std::map<std::string, std::pair<long, mode_t>> meta;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it)
        if (it->is_regular_file())
            meta[it->path().lexically_relative(root).string()] = {mtime_of(it->path().string()),
                                                                  permissions_of(it->path().string())};
    return meta;
}

// Gives every file below `root` the same times, apart from `odd_one`'s. The
// access times lie ahead of the clock, so that reading a file never moves
// them (a file system updates an access time older than the file's change).
void set_times(const fs::path& root, long modification, const std::string& odd_one = "") {
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        if (!it->is_regular_file()) continue;
        const bool odd = it->path().filename() == odd_one;
        const timespec times[2] = {{2000000000 + (odd ? 50 : 0), 0}, {modification + (odd ? 7777 : 0), 0}};
        utimensat(AT_FDCWD, it->path().c_str(), times, 0);
    }
}

// Runs `body` in a child process that is killed (SIGKILL) as it asks for its
// `kill_at`-th rename, before the rename happens: a supervisor sees each of the
// child's renames through a seccomp listener and lets the earlier ones run.
// Returns 1 when the child was killed, 0 when it ended first, -1 where the
// kernel offers no such listener.
int run_killed_at_rename(int kill_at, const std::function<void()>& body) {
#if defined(__x86_64__) && defined(SECCOMP_FILTER_FLAG_NEW_LISTENER)
    int channel[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, channel) != 0) return -1;
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        close(channel[0]);
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_rename, 3, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat, 2, 0),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_USER_NOTIF),
        };
        sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        int listener = -1;
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0)
            listener = static_cast<int>(
                syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, SECCOMP_FILTER_FLAG_NEW_LISTENER, &program));
        // The listener goes to the supervisor; none means the test cannot run here.
        char byte = listener < 0 ? 'n' : 'y';
        iovec part{&byte, 1};
        alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
        msghdr message{};
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        if (listener >= 0) {
            message.msg_control = space;
            message.msg_controllen = sizeof space;
            cmsghdr* header = CMSG_FIRSTHDR(&message);
            header->cmsg_level = SOL_SOCKET;
            header->cmsg_type = SCM_RIGHTS;
            header->cmsg_len = CMSG_LEN(sizeof(int));
            std::memcpy(CMSG_DATA(header), &listener, sizeof(int));
        }
        if (sendmsg(channel[1], &message, 0) != 1 || listener < 0) _exit(3);
        close(listener);
        body();
        _exit(0);
    }
    close(channel[1]);
    char byte = 0;
    iovec part{&byte, 1};
    alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))] = {};
    msghdr message{};
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    message.msg_control = space;
    message.msg_controllen = sizeof space;
    int listener = -1;
    if (recvmsg(channel[0], &message, 0) == 1 && byte == 'y' && CMSG_FIRSTHDR(&message))
        std::memcpy(&listener, CMSG_DATA(CMSG_FIRSTHDR(&message)), sizeof(int));
    close(channel[0]);
    int killed = listener < 0 ? -1 : 0;
    for (int seen = 0; listener >= 0;) {
        pollfd wait{listener, POLLIN, 0};
        if (poll(&wait, 1, -1) < 0 || !(wait.revents & POLLIN)) break;  // the child has ended
        seccomp_notif request{};
        if (ioctl(listener, SECCOMP_IOCTL_NOTIF_RECV, &request) != 0) continue;
        if (++seen == kill_at) {
            kill(child, SIGKILL);
            killed = 1;
            break;
        }
        seccomp_notif_resp answer{};
        answer.id = request.id;
        answer.flags = SECCOMP_USER_NOTIF_FLAG_CONTINUE;
        ioctl(listener, SECCOMP_IOCTL_NOTIF_SEND, &answer);
    }
    if (listener >= 0) close(listener);
    int status = 0;
    waitpid(child, &status, 0);
    return killed;
#else
    (void)kill_at;
    (void)body;
    return -1;
#endif
}

// Runs `body` in a child process where renameat2 with RENAME_EXCHANGE fails
// with EINVAL, as on a file system that cannot trade two names. Returns the
// child's exit status; -1 where no such filter can be set.
int run_without_exchange(const std::function<void()>& body) {
#if defined(__x86_64__)
    std::fflush(nullptr);
    const pid_t child = fork();
    if (child == 0) {
        sock_filter filter[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_renameat2, 1, 0),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[4])),
            BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, RENAME_EXCHANGE, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EINVAL),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        sock_fprog program{static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &program) != 0)
            _exit(3);
        body();
        _exit(0);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status) == 3 ? -1 : WEXITSTATUS(status);
#else
    (void)body;
    return -1;
#endif
}

class ArchivedDirTest : public ::testing::Test {
protected:
    void SetUp() override {
        for (const char* d : {"base/sub/deep", "base/old", "updated/sub/deep", "updated/new"})
            fs::create_directories(dir.file(d));
        const Bytes text = text_like(40000, 1);
        Bytes changed = random_bytes(30000, 2);
        for (const char* side : {"base", "updated"}) {
            const std::string root = dir.file(side);
            write_file(root + "/a.txt", text);
            write_file(root + "/sub/deep/b.bin", random_bytes(3000, 3));
            write_file(root + "/empty.txt", {});
            write_file(root + "/tool.sh", text_like(700, 4));
            chmod((root + "/tool.sh").c_str(), 0755);
        }
        write_file(dir.file("base/old/moved.txt"), text_like(5000, 5));
        write_file(dir.file("updated/new/moved.txt"), text_like(5000, 5));
        write_file(dir.file("base/rename-me.txt"), text_like(6000, 6));
        write_file(dir.file("updated/renamed.txt"), text_like(6000, 6));
        write_file(dir.file("base/gone.txt"), text_like(900, 7));
        write_file(dir.file("updated/added.txt"), text_like(1200, 8));
        write_file(dir.file("base/changed.bin"), changed);
        changed[12345] ^= 0x40;
        write_file(dir.file("updated/changed.bin"), changed);
        write_file(dir.file("updated/new/run.sh"), text_like(300, 9));
        chmod(dir.file("updated/new/run.sh").c_str(), 0755);
        chmod(dir.file("updated/renamed.txt").c_str(), 0600);
        set_times(dir.file("base"), 1500000000);
        set_times(dir.file("updated"), 1600000000, "added.txt");
    }

    // Runs one request through engine_run; the recorder keeps every record.
    int run(int type, const std::string& first, const std::string& second, const std::string& output,
            EngineFlags flags, TreeRecorder& recorder, AlgorithmMask mask = 0x80, const std::string& pattern = "") {
        std::string out = output;
        return run_engine(type, first, second, out, pattern, "", flags | EF_INCLUDE_SUBDIRS, mask,
                          recorder.callback());
    }
    int create(const std::string& delta, EngineFlags flags = 0, AlgorithmMask mask = 0x80) {
        TreeRecorder recorder;
        run(OP_CREATE_ARCHIVED, dir.file("base"), dir.file("updated"), delta, flags, recorder, mask);
        return recorder.file_codes().back();
    }

    ScratchDir dir;
    static constexpr EngineFlags kKeep = EF_KEEP_DATE | EF_KEEP_ATTRIBUTES;
};

TEST_F(ArchivedDirTest, TreesRoundTripAsOneFileJob) {
    struct Variant {
        EngineFlags flags;
        AlgorithmMask mask;
    };
    for (const Variant& v : {Variant{0, 0x80}, Variant{EF_DEEP | EF_SHORT_STAMP, 0x83}, Variant{EF_PLAIN_TRAILER, 0x10}}) {
        SCOPED_TRACE(testing::Message() << "flags " << v.flags << " mask " << v.mask);
        const std::string delta = dir.file("tree.qd"), out = dir.file("out");
        fs::remove_all(out);
        TreeRecorder made;
        ASSERT_EQ(run(OP_CREATE_ARCHIVED, dir.file("base"), dir.file("updated"), delta, v.flags, made, v.mask), 0);
        // One file job: one start, one end, the job's own names and the trees' sizes.
        ASSERT_EQ(made.file_codes().front(), PM_FILE_START);
        EXPECT_EQ(made.file_codes().back(), PM_FILE_DONE);
        EXPECT_EQ(made.count(PM_FILE_START), 1);
        EXPECT_EQ(made.count(PM_FILE_DONE), 1);
        EXPECT_EQ(made.count(PM_ARCHIVE_FILE_START) + made.count(PM_EXTRACT_FILE_START), 0);
        for (const TreeRecord& r : made.seen) {
            if (r.code == PM_READ_BASE || r.code == PM_READ_INPUT || r.code == PM_WRITE_OUTPUT) continue;
            EXPECT_EQ(r.first_path, dir.file("base"));
            EXPECT_EQ(r.second_path, dir.file("updated"));
            EXPECT_EQ(r.output_path, delta);
        }
        EXPECT_FALSE(has_temporary(dir.path()));

        // The common mode comes from the delta, not from the umask of the restore.
        TreeRecorder restored;
        const mode_t mask = umask(077);
        const int result = run(OP_RESTORE_ARCHIVED, dir.file("base"), delta, out, kKeep, restored);
        umask(mask);
        ASSERT_EQ(result, 0);
        EXPECT_EQ(restored.file_codes(), (std::vector<int>{PM_FILE_START, PM_FILE_DONE}));
        EXPECT_EQ(tree_of(out), tree_of(dir.file("updated")));
        if (!(v.flags & EF_PLAIN_TRAILER)) {
            EXPECT_EQ(metadata_of(out), metadata_of(dir.file("updated")));
        }
        EXPECT_FALSE(has_temporary(dir.path()));
    }
}

TEST_F(ArchivedDirTest, StartEndAndTrailerCarryTheJobsFigures) {
    ProgressRecord start{}, done{};
    std::string out = dir.file("d.qd");
    run_engine(OP_CREATE_ARCHIVED, dir.file("base"), dir.file("updated"), out, "", "", EF_INCLUDE_SUBDIRS, 0x80,
               [&](const ProgressRecord& r) -> std::int16_t {
                   if (r.code == PM_FILE_START) start = r;
                   if (r.code == PM_FILE_DONE) done = r;
                   return ANSWER_SKIP;
               });
    const auto total = [](const fs::path& root) {
        std::int64_t sum = 0;
        for (const auto& [name, bytes] : tree_of(root)) sum += static_cast<std::int64_t>(bytes.size());
        return sum;
    };
    EXPECT_EQ(start.first_size, total(dir.file("base")));
    EXPECT_EQ(start.second_size, total(dir.file("updated")));
    EXPECT_EQ(done.second_size, total(dir.file("updated")));
    EXPECT_EQ(done.result, static_cast<std::int32_t>(fs::file_size(out)));

    // The trailer states the times and mode most Updated files have: those
    // every Base member is packed with.
    const Bytes delta = read_file(out);
    TrailerRecord trailer;
    std::copy(delta.end() - kTrailerSize, delta.end(), trailer.bytes.begin());
    UpdatedRecord record;
    ASSERT_EQ(read_updated_record(trailer, record), RecordState::present);
    EXPECT_EQ(trailer.access_time(), 2000000000);
    EXPECT_EQ(trailer.modification_time(), 1600000000);
    EXPECT_EQ(record.mode, 0644);
}

// Archives of either kind (coded or stored, tagged or plain) stand for their
// trees: the delta is the very one the trees give, and restores from either.
TEST_F(ArchivedDirTest, ArchiveFilesStandForTheirTrees) {
    ASSERT_EQ(create(dir.file("from-trees.qd")), PM_FILE_DONE);
    const Bytes expected = read_file(dir.file("from-trees.qd"));
    struct Kind {
        EngineFlags flags;
        const char* name;
    };
    for (const Kind& kind : {Kind{0, "coded"}, Kind{EF_STORE_RAW, "raw"}, Kind{EF_PLAIN_TRAILER, "plain"}}) {
        SCOPED_TRACE(kind.name);
        const std::string base = dir.file(std::string("base-") + kind.name + ".qa");
        const std::string updated = dir.file(std::string("updated-") + kind.name + ".qa");
        ASSERT_EQ(archive_create(dir.file("base"), "", base, "", EF_INCLUDE_SUBDIRS | kind.flags, {}), 0);
        ASSERT_EQ(archive_create(dir.file("updated"), "", updated, "", EF_INCLUDE_SUBDIRS | kind.flags, {}), 0);
        TreeRecorder made;
        const std::string delta = dir.file(std::string("from-") + kind.name + ".qd");
        run(OP_CREATE_ARCHIVED, base, updated, delta, EF_ARCHIVE_BASE | EF_ARCHIVE_UPDATED, made);
        ASSERT_EQ(made.file_codes().back(), PM_FILE_DONE);
        // A plain archive has no permission bits beyond read and write to give.
        if (!(kind.flags & EF_PLAIN_TRAILER)) {
            EXPECT_EQ(read_file(delta), expected);
        }

        TreeRecorder restored;
        const std::string out = dir.file(std::string("out-") + kind.name);
        run(OP_RESTORE_ARCHIVED, base, delta, out, kKeep | EF_ARCHIVE_BASE, restored);
        ASSERT_EQ(restored.file_codes().back(), PM_FILE_DONE);
        EXPECT_EQ(tree_of(out), tree_of(dir.file("updated")));
    }
    // The Updated side kept as an archive file is the archive the delta was made of.
    TreeRecorder restored;
    run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("from-trees.qd"), dir.file("restored.qa"),
        EF_ARCHIVE_UPDATED, restored);
    ASSERT_EQ(restored.file_codes().back(), PM_FILE_DONE);
    ASSERT_GE(archive_extract(dir.file("restored.qa"), dir.file("unpacked"), "", kKeep, {}), 0);
    EXPECT_EQ(tree_of(dir.file("unpacked")), tree_of(dir.file("updated")));
    EXPECT_EQ(metadata_of(dir.file("unpacked")), metadata_of(dir.file("updated")));
    EXPECT_FALSE(has_temporary(dir.path()));
}

// The Base is judged by its names and bytes only: new times and bits restore,
// one changed byte is refused with nothing written.
TEST_F(ArchivedDirTest, BaseMattersByItsBytesNotItsTimes) {
    ASSERT_EQ(create(dir.file("d.qd")), PM_FILE_DONE);
    set_times(dir.file("base"), 1234567890, "a.txt");
    chmod(dir.file("base/a.txt").c_str(), 0700);
    TreeRecorder moved;
    run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), dir.file("out"), kKeep, moved);
    ASSERT_EQ(moved.file_codes().back(), PM_FILE_DONE);
    EXPECT_EQ(tree_of(dir.file("out")), tree_of(dir.file("updated")));

    // A delta kept inside the Base tree is no part of the Base.
    ASSERT_EQ(create(dir.file("base/inside.qd")), PM_FILE_DONE);
    TreeRecorder inside;
    run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("base/inside.qd"), dir.file("out2"), kKeep, inside);
    ASSERT_EQ(inside.file_codes().back(), PM_FILE_DONE);
    fs::remove(dir.file("base/inside.qd"));

    fs::create_directories(dir.file("kept"));
    write_file(dir.file("kept/mine.txt"), {'m'});
    Bytes one = read_file(dir.file("base/sub/deep/b.bin"));
    one[10] ^= 1;
    write_file(dir.file("base/sub/deep/b.bin"), one);
    TreeRecorder wrong;
    run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), dir.file("kept"), kKeep | EF_CLEAR_OUTPUT, wrong);
    EXPECT_EQ(wrong.file_codes(), (std::vector<int>{PM_FILE_START, ERR_BASE_TREE_DIFFERS}));
    EXPECT_EQ(entries_of(dir.file("kept")), std::vector<std::string>{"mine.txt"});
    EXPECT_FALSE(has_temporary(dir.path()));
}

// A stop at any point (packing, coding, unpacking) leaves no temporary and an
// earlier output as it was.
TEST_F(ArchivedDirTest, AStopAnywhereLeavesNothingBehind) {
    write_file(dir.file("d.qd"), {'o', 'l', 'd'});
    fs::create_directories(dir.file("out"));
    write_file(dir.file("out/a.txt"), {'m', 'i', 'n', 'e'});
    TreeRecorder full_create, full_restore;
    run(OP_CREATE_ARCHIVED, dir.file("base"), dir.file("updated"), dir.file("full.qd"), 0, full_create);
    run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("full.qd"), dir.file("full"), kKeep, full_restore);
    ASSERT_EQ(full_restore.file_codes().back(), PM_FILE_DONE);

    struct Job {
        int type;
        std::string first, second, output;
        std::size_t records;
    };
    for (const Job& job : {Job{OP_CREATE_ARCHIVED, dir.file("base"), dir.file("updated"), dir.file("d.qd"),
                               full_create.seen.size()},
                           Job{OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("full.qd"), dir.file("out"),
                               full_restore.seen.size()}}) {
        for (std::size_t at : {std::size_t{0}, std::size_t{1}, job.records / 5, job.records / 2,
                               job.records * 4 / 5, job.records - 2}) {
            SCOPED_TRACE(testing::Message() << "type " << job.type << " stop at record " << at);
            TreeRecorder stopped;
            stopped.answer = [&](const ProgressRecord&) -> std::int16_t {
                return stopped.seen.size() > at ? ANSWER_STOP : ANSWER_SKIP;
            };
            run(job.type, job.first, job.second, job.output, kKeep, stopped);
            EXPECT_EQ(stopped.count(PM_FILE_DONE), 0);
            EXPECT_FALSE(has_temporary(dir.path()));
            EXPECT_EQ(read_file(dir.file("d.qd")), (Bytes{'o', 'l', 'd'}));
            EXPECT_EQ(entries_of(dir.file("out")), std::vector<std::string>{"a.txt"});
            EXPECT_EQ(read_file(dir.file("out/a.txt")), (Bytes{'m', 'i', 'n', 'e'}));
        }
    }
}

// Failures half-way: a damaged archive, a folder where a file belongs.
TEST_F(ArchivedDirTest, FailuresHalfWayWriteNothing) {
    ASSERT_EQ(archive_create(dir.file("updated"), "", dir.file("u.qa"), "", EF_INCLUDE_SUBDIRS, {}), 0);
    Bytes archive = read_file(dir.file("u.qa"));
    archive[98 + 1] = 0xEE;  // the first file record's length
    write_file(dir.file("u.qa"), archive);
    TreeRecorder damaged;
    run(OP_CREATE_ARCHIVED, dir.file("base"), dir.file("u.qa"), dir.file("d.qd"), EF_ARCHIVE_UPDATED, damaged);
    EXPECT_EQ(damaged.file_codes().back(), ERR_ARCHIVE_DAMAGED);
    EXPECT_NE(damaged.seen.back().detail.find("offset 98"), std::string::npos) << damaged.seen.back().detail;
    EXPECT_FALSE(file_exists(dir.file("d.qd")));

    ASSERT_EQ(create(dir.file("d.qd")), PM_FILE_DONE);
    fs::create_directories(dir.file("out/new/run.sh"));  // a folder where a file goes
    write_file(dir.file("out/a.txt"), {'m'});
    TreeRecorder blocked;
    run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), dir.file("out"), kKeep, blocked);
    EXPECT_EQ(blocked.file_codes().back(), ERR_CREATE_OUTPUT - EISDIR);
    EXPECT_EQ(entries_of(dir.file("out")), (std::vector<std::string>{"a.txt", "new", "new/run.sh"}));
    EXPECT_EQ(read_file(dir.file("out/a.txt")), Bytes{'m'});
    EXPECT_FALSE(has_temporary(dir.path()));

    // Into an existing tree: its files are replaced, its others stay.
    fs::remove_all(dir.file("out/new"));
    TreeRecorder merged;
    run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), dir.file("out"), kKeep, merged);
    ASSERT_EQ(merged.file_codes().back(), PM_FILE_DONE);
    EXPECT_EQ(tree_of(dir.file("out")), tree_of(dir.file("updated")));
}

// An existing output folder is replaced whole: a kill at each of the job's
// renames (the members' into the staging folder, then the step that puts the
// new tree in place) leaves it all old or all new, and a later run removes
// what the killed ones left.
TEST_F(ArchivedDirTest, AKillAtAnyRenameLeavesTheOutputAllOldOrAllNew) {
    ASSERT_EQ(create(dir.file("d.qd")), PM_FILE_DONE);
    const std::string out = dir.file("out");
    const auto make_old = [&] {
        fs::remove_all(out);
        fs::copy(dir.file("base"), out, fs::copy_options::recursive);
        write_file(out + "/mine.txt", {'m', 'i', 'n', 'e'});  // not in the archive: kept
        chmod((out + "/sub").c_str(), 0750);
    };
    make_old();
    const auto old_tree = tree_of(out);
    auto new_tree = tree_of(dir.file("updated"));
    new_tree["mine.txt"] = Bytes{'m', 'i', 'n', 'e'};
    for (const auto& [name, bytes] : old_tree)
        if (!new_tree.count(name)) new_tree[name] = bytes;  // a restore into a folder keeps the others

    int killed = 0;
    for (int at = 1; at < 200; ++at) {
        SCOPED_TRACE(testing::Message() << "killed at rename " << at);
        const int result = run_killed_at_rename(at, [&] {
            TreeRecorder quiet;
            run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), out, kKeep, quiet);
        });
        if (result < 0) GTEST_SKIP() << "no seccomp listener here";
        const auto now = tree_of(out);
        EXPECT_TRUE(now == old_tree || now == new_tree);
        if (result == 0) {
            EXPECT_EQ(now, new_tree);
            EXPECT_EQ(permissions_of(out + "/sub"), 0750u);  // the folder keeps its mode
            break;
        }
        ++killed;
        EXPECT_EQ(now, old_tree);
        make_old();
    }
    EXPECT_GT(killed, 3);
    // A killed run's temporaries (its archives and staging folder) are gone
    // with the next run in the same folder.
    make_old();
    ASSERT_EQ(run_killed_at_rename(3, [&] {
                  TreeRecorder quiet;
                  run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), out, kKeep, quiet);
              }),
              1);
    ASSERT_TRUE(has_temporary(dir.path()));
    TreeRecorder later;  // the output named with a trailing "/": its staging folder still goes beside it
    run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), out + "/", kKeep, later);
    ASSERT_EQ(later.file_codes().back(), PM_FILE_DONE);
    EXPECT_EQ(tree_of(out), new_tree);
    EXPECT_FALSE(has_temporary(dir.path()));
}

// Where the file system cannot trade two names, the files move in one by
// one as before: the same tree comes out, and nothing is left beside it.
TEST_F(ArchivedDirTest, WithoutTradingNamesTheFilesMoveInOneByOne) {
    ASSERT_EQ(create(dir.file("d.qd")), PM_FILE_DONE);
    const std::string out = dir.file("out");
    fs::copy(dir.file("base"), out, fs::copy_options::recursive);
    write_file(out + "/mine.txt", {'m'});
    auto expected = tree_of(out);
    for (const auto& [name, bytes] : tree_of(dir.file("updated"))) expected[name] = bytes;
    struct stat before {}, folder_before {};
    ASSERT_EQ(stat((out + "/mine.txt").c_str(), &before), 0);
    ASSERT_EQ(stat(out.c_str(), &folder_before), 0);
    const int status = run_without_exchange([&] {
        TreeRecorder recorder;
        run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), out, kKeep, recorder);
        _exit(recorder.file_codes().back() == PM_FILE_DONE ? 0 : 1);
    });
    if (status < 0) GTEST_SKIP() << "no seccomp filter here";
    EXPECT_EQ(status, 0);
    EXPECT_EQ(tree_of(out), expected);
    struct stat after {};
    ASSERT_EQ(stat((out + "/mine.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);  // a kept file is the same file
    EXPECT_EQ(after.st_nlink, 1u);           // and no link of it is left anywhere
    ASSERT_EQ(stat(out.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, folder_before.st_ino);  // the files moved into the folder itself
    EXPECT_FALSE(has_temporary(dir.path()));
}

// A tree whose archive would pass the coder's 1 GiB is refused before
// anything is read or written (a sparse file takes no space).
TEST_F(ArchivedDirTest, ATreeOverTheLimitIsRefusedFirst) {
    for (const char* side : {"updated", "base"}) {
        SCOPED_TRACE(side);
        const std::string huge = dir.file(std::string(side) + "/huge.bin");
        const int fd = open(huge.c_str(), O_CREAT | O_WRONLY, 0644);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(ftruncate(fd, MAX_FILE_LENGTH - 1000), 0);
        close(fd);
        TreeRecorder refused;
        run(OP_CREATE_ARCHIVED, dir.file("base"), dir.file("updated"), dir.file("d.qd"), 0, refused);
        EXPECT_EQ(refused.file_codes(), (std::vector<int>{PM_FILE_START, ERR_TREE_TOO_LARGE}));
        EXPECT_EQ(refused.count(PM_READ_BASE), 0);
        EXPECT_FALSE(file_exists(dir.file("d.qd")));
        // The Updated tree is the job's own second name; a Base too large is named.
        if (std::string(side) == "base") {
            EXPECT_NE(refused.seen.back().detail.find(dir.file("base")), std::string::npos);
        }
        fs::remove(huge);
    }
    EXPECT_NE(describe_error(ERR_TREE_TOO_LARGE).find("1 GiB"), std::string::npos);
}

TEST_F(ArchivedDirTest, RequestsThatWouldHarmAnInputAreRefused) {
    ASSERT_EQ(create(dir.file("d.qd")), PM_FILE_DONE);
    TreeRecorder recorder;
    // In place over the Base tree, by the same name or another spelling.
    EXPECT_EQ(run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), dir.file("base"), kKeep, recorder),
              ERR_BAD_REQUEST);
    EXPECT_EQ(run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), dir.file("base") + "/.", kKeep, recorder),
              ERR_BAD_REQUEST);
    // Clearing a tree that holds the delta.
    EXPECT_EQ(run(OP_RESTORE_ARCHIVED, dir.file("base"), dir.file("d.qd"), dir.path().string(),
                  kKeep | EF_CLEAR_OUTPUT, recorder),
              ERR_BAD_REQUEST);
    EXPECT_TRUE(recorder.seen.empty());
    EXPECT_TRUE(file_exists(dir.file("d.qd")));
}

TEST(PrevailingStamp, TheMostCommonStampWinsAndTheFirstOfEquals) {
    const auto member = [](std::int32_t a, std::int32_t m, std::uint16_t mode) {
        TreeMember t;
        t.stamp = MemberStamp{a, m, mode, attributes_of_mode(mode)};
        return t;
    };
    EXPECT_EQ(prevailing_stamp({member(1, 2, 0644), member(5, 6, 0755), member(5, 6, 0755)}),
              (MemberStamp{5, 6, 0755, 3}));
    EXPECT_EQ(prevailing_stamp({member(9, 9, 0400), member(1, 2, 0644)}), (MemberStamp{9, 9, 0400, 1}));
    EXPECT_EQ(prevailing_stamp({}), MemberStamp{});
}

}  // namespace
}  // namespace quoralith::test
