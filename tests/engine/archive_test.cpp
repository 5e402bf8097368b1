// Archived directories: the record layout we write, round trips of real trees,
// an archive written by another implementation, and hostile archives.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <random>
#include <thread>

#include "engine/archive.h"
#include "engine/dir_list.h"
#include "tree_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

std::uint32_t le32(const Bytes& b, std::size_t at) {
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8 |
           static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
std::uint16_t le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }

// Hand-made records, for archives no writer of ours would make.
struct ArchiveBuilder {
    Bytes bytes;
    void put16(std::uint16_t v) {
        bytes.push_back(static_cast<std::uint8_t>(v));
        bytes.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void put32(std::uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
    ArchiveBuilder& header() {
        put16(98);
        bytes.push_back(1);
        const char magic[24] = "QUORALITH ARCH 0.9";
        bytes.insert(bytes.end(), magic, magic + 24);
        bytes.resize(bytes.size() + 71, 0);
        return *this;
    }
    ArchiveBuilder& file(const std::string& path, std::uint32_t size, int name_length = -1,
                         int record_length = -1) {
        const int n = name_length < 0 ? static_cast<int>(path.size()) : name_length;
        put16(static_cast<std::uint16_t>(record_length < 0 ? static_cast<int>(path.size()) + 32 : record_length));
        bytes.push_back(2);
        bytes.push_back(static_cast<std::uint8_t>(n));
        put32(size);
        put32(0xFFFFFFFF);
        put32(1000000000);
        put32(1000000001);
        put32(0xFFFFFFFF);
        put32(0xFFFFFFFF);
        put16(3);
        bytes.insert(bytes.end(), path.begin(), path.end());
        bytes.push_back(0);
        bytes.push_back(0);
        return *this;
    }
    ArchiveBuilder& block(int type, std::uint32_t length) {
        put16(12);
        bytes.push_back(static_cast<std::uint8_t>(type));
        bytes.push_back(0x80);
        put32(0);
        put32(length);
        return *this;
    }
    ArchiveBuilder& data(const std::string& text) {
        bytes.insert(bytes.end(), text.begin(), text.end());
        return *this;
    }
    ArchiveBuilder& stored(const std::string& path, const std::string& text) {
        return file(path, static_cast<std::uint32_t>(text.size())).block(4, static_cast<std::uint32_t>(text.size())).data(text);
    }
    ArchiveBuilder& end() {
        put16(72);
        bytes.push_back(6);
        bytes.resize(bytes.size() + 69, 0);
        return *this;
    }
};

std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

class ArchiveTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = scratch.file("root");
        out = scratch.file("out");
        archive = scratch.file("tree.qar");
        fs::create_directories(root);
    }
    // Extracts `bytes` written as an archive into `out`.
    int extract_bytes(const Bytes& bytes, const std::string& pattern = "", EngineFlags flags = 0) {
        write_file(archive, bytes);
        return archive_extract(archive, out, pattern, flags, recorder.callback());
    }
    std::vector<int> codes_of_files() const { return recorder.file_codes(); }
    // A tree with text and binary files, an empty file and two levels below.
    void make_sample_tree() {
        fs::create_directories(root + "/sub/deeper");
        fs::create_directories(root + "/empty_dir");
        write_file(root + "/a.txt", text_like(30000, 1));
        write_file(root + "/README.TXT", text_like(700, 2));
        write_file(root + "/zero.bin", {});
        write_file(root + "/sub/b.bin", random_bytes(5000, 3));
        write_file(root + "/sub/deeper/c.txt", text_like(12000, 4));
    }

    ScratchDir scratch;
    std::string root, out, archive;
    TreeRecorder recorder;
};

TEST_F(ArchiveTest, EmptyTreeGivesHeaderAndEndRecordOnly) {
    ASSERT_EQ(archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS, recorder.callback()), 0);
    const Bytes bytes = read_file(archive);
    ASSERT_EQ(bytes.size(), 170u);
    EXPECT_EQ(le16(bytes, 0), 98);
    EXPECT_EQ(bytes[2], 1);
    EXPECT_EQ(std::memcmp(bytes.data() + 3, "QUORALITH ARCH 0.9\0\0\0\0\0\0", 24), 0);
    EXPECT_EQ(le16(bytes, 98), 72);
    EXPECT_EQ(bytes[100], 6);
    EXPECT_EQ(std::memcmp(bytes.data() + 101, bytes.data() + 3, 24), 0);
    EXPECT_EQ(le32(bytes, 90), le32(bytes, 98 + 66)) << "the end record repeats the header's stamp";
    EXPECT_TRUE(recorder.seen.empty());
    // Extracting it makes the output directory and nothing else.
    EXPECT_EQ(archive_extract(archive, out, "", 0, recorder.callback()), 0);
    EXPECT_TRUE(fs::is_directory(out));
    EXPECT_TRUE(fs::is_empty(out));
}

TEST_F(ArchiveTest, StoredRecordsFollowTheLayout) {
    fs::create_directories(root + "/sub");
    write_file(root + "/sub/zero.bin", {});
    write_file(root + "/sub/hello.txt", {'h', 'i', '!'});
    chmod((root + "/sub/hello.txt").c_str(), 0444);
    ASSERT_EQ(archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS | EF_SORTED | EF_STORE_RAW | EF_PLAIN_TRAILER,
                             recorder.callback()),
              0);
    const Bytes b = read_file(archive);
    // header, "sub\hello.txt" (13) + block + 3 bytes, "sub\zero.bin" (12) + block, end.
    ASSERT_EQ(b.size(), 98u + (32 + 13) + 12 + 3 + (32 + 12) + 12 + 72);
    std::size_t at = 98;
    EXPECT_EQ(le16(b, at), 45);
    EXPECT_EQ(b[at + 2], 2);
    EXPECT_EQ(b[at + 3], 13);
    EXPECT_EQ(le32(b, at + 4), 3u);
    EXPECT_EQ(le32(b, at + 8), 0xFFFFFFFFu);
    struct stat st {};
    stat((root + "/sub/hello.txt").c_str(), &st);
    EXPECT_EQ(le32(b, at + 16), static_cast<std::uint32_t>(st.st_mtim.tv_sec));
    EXPECT_EQ(le32(b, at + 20), 0xFFFFFFFFu);
    EXPECT_EQ(le16(b, at + 28), 1) << "readable, not writable";
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&b[at + 30])), "sub\\hello.txt");
    at += 45;
    EXPECT_EQ(le16(b, at), 12);
    EXPECT_EQ(b[at + 2], 4);
    EXPECT_EQ(b[at + 3], 0x80);
    EXPECT_EQ(le32(b, at + 8), 3u);
    EXPECT_EQ(std::string(&b[at + 12], &b[at + 15]), "hi!");
    at += 15;
    EXPECT_EQ(b[at + 3], 12);
    EXPECT_EQ(le32(b, at + 44 + 8), 0u) << "a zero-byte file has a block with data length 0";
    EXPECT_EQ(b[at + 44 + 12 + 2], 6) << "and the end record follows directly";
}

TEST_F(ArchiveTest, TreeRoundTripsCodedAndStoredWithTimesAndPermissions) {
    make_sample_tree();
    chmod((root + "/sub/b.bin").c_str(), 0444);
    const timespec times[2] = {{1200000000, 0}, {1300000000, 0}};
    utimensat(AT_FDCWD, (root + "/sub/deeper/c.txt").c_str(), times, 0);
    const auto expected = tree_of(root);

    for (EngineFlags raw : {EngineFlags{0}, EF_STORE_RAW}) {
        SCOPED_TRACE(raw ? "stored" : "coded");
        recorder.seen.clear();
        ASSERT_EQ(archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS | raw, recorder.callback()), 0);
        const auto codes = codes_of_files();
        EXPECT_EQ(std::count(codes.begin(), codes.end(), PM_ARCHIVE_FILE_DONE), 5);
        EXPECT_EQ(std::count_if(codes.begin(), codes.end(), [](int c) { return c < 0; }), 0);

        fs::remove_all(out);
        ASSERT_EQ(archive_extract(archive, out, "", EF_KEEP_DATE | EF_KEEP_ATTRIBUTES, recorder.callback()), 0);
        struct stat st {};
        ASSERT_EQ(stat((out + "/sub/deeper/c.txt").c_str(), &st), 0);
        EXPECT_EQ(st.st_mtim.tv_sec, 1300000000);
        EXPECT_EQ(tree_of(out), expected);
        EXPECT_EQ(permissions_of(out + "/sub/b.bin") & 0222, 0u);
        EXPECT_EQ(entries_of(out).size(), 7u) << "no temporary file is left behind";
    }
    // Coding must earn its keep on text.
    const auto stored_size = fs::file_size(archive);
    ASSERT_EQ(archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS, recorder.callback()), 0);
    EXPECT_LT(fs::file_size(archive), stored_size);
}

TEST_F(ArchiveTest, WalkHonorsPatternSubdirectoriesAndStartDirectory) {
    make_sample_tree();
    ASSERT_EQ(archive_create(root, "", archive, "*.txt", EF_INCLUDE_SUBDIRS, recorder.callback()), 0);
    ASSERT_EQ(archive_extract(archive, out, "", 0, recorder.callback()), 0);
    std::vector<std::string> names;
    for (const auto& [name, data] : tree_of(out)) names.push_back(name);
    EXPECT_EQ(names, (std::vector<std::string>{"README.TXT", "a.txt", "sub/deeper/c.txt"}));

    fs::remove_all(out);
    ASSERT_EQ(archive_create(root, "", archive, "", 0, recorder.callback()), 0);
    ASSERT_EQ(archive_extract(archive, out, "", 0, recorder.callback()), 0);
    EXPECT_EQ(entries_of(out), (std::vector<std::string>{"README.TXT", "a.txt", "zero.bin"}));

    // A start directory: stored paths stay relative to the root.
    fs::remove_all(out);
    std::vector<std::string> stored;
    ASSERT_EQ(archive_create(root, "sub", archive, "", EF_INCLUDE_SUBDIRS | EF_SORTED, recorder.callback()), 0);
    EXPECT_EQ(archive_list(archive, [&](const ArchiveMember& m) { stored.push_back(m.stored_path); }), 2);
    EXPECT_EQ(stored, (std::vector<std::string>{"sub\\b.bin", "sub\\deeper\\c.txt"}));
}

TEST_F(ArchiveTest, ArchiveInsideItsOwnTreeAndUnstorableFilesArePassedOver) {
    write_file(root + "/a.txt", text_like(1000, 5));
    ASSERT_EQ(mkfifo((root + "/pipe").c_str(), 0600), 0);
    // A "\" inside a name would come back as a separator; a path over 255
    // bytes does not fit its record.
    write_file(root + "/back\\slash.txt", {'b'});
    write_file(root + "/c:drive.txt", {'c'});
    const std::string long_dir = root + "/" + std::string(150, 'd');
    fs::create_directories(long_dir);
    write_file(long_dir + "/" + std::string(120, 'f'), {'l'});
    const std::string inside = root + "/self.qar";
    write_file(inside, text_like(50000, 6));  // an older archive: replaced, never read as a member
    ASSERT_EQ(archive_create(root, "", inside, "", EF_INCLUDE_SUBDIRS, recorder.callback()), 0);
    std::vector<std::string> stored;
    EXPECT_EQ(archive_list(inside, [&](const ArchiveMember& m) { stored.push_back(m.stored_path); }), 1);
    EXPECT_EQ(stored, std::vector<std::string>{"a.txt"});
    EXPECT_EQ(recorder.count(ERR_NOT_REGULAR_FILE), 1);
    EXPECT_EQ(recorder.count(ERR_ARCHIVE_NAME), 3);
    EXPECT_NE(fs::file_size(inside), 50000u);
}

// A disk that fills while the archive is written: the whole archive is
// abandoned, whatever stage the write failed at, and the archive it was to
// replace stays byte for byte, with no temporary left beside it.
TEST_F(ArchiveTest, FailedWriteToTheArchiveKeepsTheOldOneByteForByte) {
    make_sample_tree();
    write_file(root + "/noise.bin", random_bytes(40000, 9));  // incompressible: the archive passes every limit below
    const Bytes old_archive = text_like(3000, 10);
    for (EngineFlags raw : {EngineFlags{0}, EF_STORE_RAW}) {
        const EngineFlags flags = EF_INCLUDE_SUBDIRS | EF_SORTED | raw;
        ASSERT_EQ(archive_create(root, "", archive, "", flags, recorder.callback()), 0);
        const auto whole = static_cast<rlim_t>(fs::file_size(archive));
        // In the header, in a member's data, in the end record.
        for (rlim_t limit : {rlim_t{50}, whole / 2, whole - 10}) {
            SCOPED_TRACE((raw ? "stored, limit " : "coded, limit ") + std::to_string(limit));
            write_file(archive, old_archive);
            const int result = with_file_size_limit(
                limit, [&] { return archive_create(root, "", archive, "", flags, recorder.callback()); });
            EXPECT_EQ(result, ERR_WRITE_ARCHIVE - EFBIG);
            EXPECT_EQ(read_file(archive), old_archive);
            EXPECT_EQ(entries_of(scratch.path()).size(), entries_of(root).size() + 2) << "only root and the archive";
        }
    }
    EXPECT_EQ(describe_error(ERR_WRITE_ARCHIVE - ENOSPC),
              "the archive could not be written: the disk is full (" + std::string(std::strerror(ENOSPC)) + ")");
}

// Two archives written into one folder at once each get their own result, and
// a link at the archive's name is replaced, never written through.
TEST_F(ArchiveTest, ArchivesWrittenAtOnceInOneFolderAndLinksAtTheName) {
    make_sample_tree();
    const std::string other = scratch.file("other");
    fs::create_directories(other + "/x");
    write_file(other + "/x/only.txt", text_like(20000, 11));
    const std::string victim = scratch.file("victim.txt");
    write_file(victim, {'k', 'e', 'e', 'p'});
    fs::create_symlink(victim, archive);
    const std::string second = scratch.file("second.qar");
    int results[2] = {1, 1};
    std::thread one([&] { results[0] = archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS, {}); });
    std::thread two([&] { results[1] = archive_create(other, "", second, "", EF_INCLUDE_SUBDIRS, {}); });
    one.join();
    two.join();
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], 0);
    EXPECT_EQ(text_of(read_file(victim)), "keep");
    EXPECT_FALSE(fs::is_symlink(archive));
    ASSERT_EQ(archive_extract(archive, out, "", 0, {}), 0);
    EXPECT_EQ(tree_of(out), tree_of(root));
    fs::remove_all(out);
    ASSERT_EQ(archive_extract(second, out, "", 0, {}), 0);
    EXPECT_EQ(tree_of(out), tree_of(other));
    for (const auto& name : entries_of(scratch.path())) EXPECT_EQ(name.find(".qrlth-"), std::string::npos) << name;
}

TEST_F(ArchiveTest, CreateIntoMissingDirectoryFailsWithErrno) {
    EXPECT_EQ(archive_create(root, "", scratch.file("nowhere/x.qar"), "", 0, recorder.callback()),
              ERR_CREATE_OUTPUT - ENOENT);
}

TEST_F(ArchiveTest, ConformanceArchiveExtractsToItsExpectedTree) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    const std::string source = vector_path("archive_mixed", "archive.bin");
    ASSERT_EQ(archive_extract(source, out, "", EF_KEEP_DATE, recorder.callback()), 0);
    EXPECT_EQ(tree_of(out), tree_of(vector_path("archive_mixed", "expected")));
    for (const auto& s : recorder.seen) EXPECT_GE(s.code, 0) << s.output_path;
    struct stat st {};
    ASSERT_EQ(stat((out + "/a.txt").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_sec, 1000000001);
    // The drive-prefixed and server-prefixed members land below the output.
    EXPECT_TRUE(file_exists(out + "/dir/d.txt"));
    EXPECT_TRUE(file_exists(out + "/share/e.txt"));
}

TEST_F(ArchiveTest, PatternSkipsStoredAndCodedDataOfExcludedFiles) {
    QUORALITH_SKIP_WITHOUT_VECTORS();
    // The conformance archive mixes both kinds; keep only the .txt members.
    const std::string source = vector_path("archive_mixed", "archive.bin");
    ASSERT_EQ(archive_extract(source, out, "*.TXT", 0, recorder.callback()), 0);
    auto expected = tree_of(vector_path("archive_mixed", "expected"));
    expected.erase("sub/b.bin");
    expected.erase("empty.dat");
    EXPECT_EQ(tree_of(out), expected);
    EXPECT_FALSE(fs::exists(out + "/sub/b.bin"));

    // Ours, stored: an excluded member between two included ones.
    fs::remove_all(out);
    ArchiveBuilder a;
    a.header().stored("one.txt", "first").stored("skip.bin", "not wanted").stored("two.txt", "second").end();
    EXPECT_EQ(extract_bytes(a.bytes, "*.txt"), 0);
    EXPECT_EQ(entries_of(out), (std::vector<std::string>{"one.txt", "two.txt"}));
    EXPECT_EQ(text_of(read_file(out + "/two.txt")), "second");
}

TEST_F(ArchiveTest, NotAnArchiveIsRefused) {
    EXPECT_EQ(archive_extract(scratch.file("missing.qar"), out, "", 0, recorder.callback()),
              ERR_OPEN_ARCHIVE - ENOENT);
    ArchiveBuilder good;
    good.header().stored("a.txt", "x").end();
    Bytes wrong_magic = good.bytes;
    wrong_magic[3 + 17] = '8';  // "0.8"
    Bytes trailing_garbage_in_magic = good.bytes;
    trailing_garbage_in_magic[3 + 20] = 'x';  // padding must be zero
    Bytes short_header(good.bytes.begin(), good.bytes.begin() + 97);
    Bytes small_length = good.bytes;
    small_length[0] = 97;
    for (const Bytes& bytes : {wrong_magic, trailing_garbage_in_magic, short_header, small_length})
        EXPECT_EQ(extract_bytes(bytes), ERR_NOT_ARCHIVE);
    EXPECT_FALSE(fs::exists(out + "/a.txt"));
}

TEST_F(ArchiveTest, StoredPathsNeverLeaveTheOutputDirectory) {
    fs::create_directories(out);
    const std::string outside = scratch.file("outside");
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, out + "/link");
    ArchiveBuilder a;
    a.header()
        .stored("..\\escape1.txt", "x")
        .stored("a\\..\\..\\escape2.txt", "x")
        .stored("a/../../escape3.txt", "x")
        .stored("C:..\\escape4.txt", "x")
        .stored("\\\\server", "x")
        .stored("link\\escape5.txt", "x")
        .stored("C:\\dir\\ok1.txt", "one")
        .stored("\\\\host\\share\\ok2.txt", "two")
        .stored("\\ok3.txt", "three")
        .end();
    EXPECT_EQ(extract_bytes(a.bytes), 0);
    const auto codes = codes_of_files();
    EXPECT_EQ(std::count(codes.begin(), codes.end(), ERR_UNSAFE_PATH), 5);
    EXPECT_EQ(std::count(codes.begin(), codes.end(), ERR_LINKED_FOLDER), 1);  // link\escape5.txt
    EXPECT_EQ(std::count(codes.begin(), codes.end(), PM_EXTRACT_FILE_DONE), 3);
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_EQ(entries_of(scratch.path()), (std::vector<std::string>{"out", "out/dir", "out/dir/ok1.txt", "out/link",
                                                                   "out/ok3.txt", "out/share", "out/share/ok2.txt",
                                                                   "outside", "root", "tree.qar"}));
}

TEST_F(ArchiveTest, RecordsThatLieAreReportedWithTheirOffsets) {
    fs::create_directories(out);
    write_file(out + "/keep.txt", {'o', 'l', 'd'});
    ArchiveBuilder a;
    a.header();
    a.file("keep.txt", 100).block(4, 100).data("short");  // data runs past the end below
    ArchiveBuilder b;
    b.header();
    b.file("long.txt", 5, 200, 40).block(4, 5).data("xxxxx");  // name runs past its record: at 98
    b.file("orphan.txt", 5);                                    // no data block follows
    b.stored("after.txt", "fine");
    const std::size_t short_at = b.bytes.size();
    b.file("x", 1, -1, 2);  // a length below 3
    b.stored("never.txt", "no");
    b.end();

    EXPECT_EQ(extract_bytes(a.bytes), 0);
    EXPECT_EQ(codes_of_files(), (std::vector<int>{ERR_ARCHIVE_SHORT}));
    EXPECT_EQ(recorder.seen.back().detail,
              "the archive is damaged at offset 138: its data of 100 bytes runs past the end of the archive "
              "(155 bytes): the archive is cut short");
    EXPECT_EQ(text_of(read_file(out + "/keep.txt")), "old") << "a failed file never replaces a good one";

    // The walk finds its way past each damaged record to the next sound one;
    // "orphan.txt", whose data block is missing, goes with the first damage.
    recorder.seen.clear();
    EXPECT_EQ(extract_bytes(b.bytes), 0);
    EXPECT_EQ(codes_of_files(), (std::vector<int>{ERR_ARCHIVE_DAMAGED, PM_EXTRACT_FILE_START, PM_EXTRACT_FILE_DONE,
                                                  ERR_ARCHIVE_DAMAGED, PM_EXTRACT_FILE_START, PM_EXTRACT_FILE_DONE}));
    EXPECT_EQ(recorder.seen[0].detail, "the archive is damaged at offset 98: a file record of 40 bytes (232 expected)");
    EXPECT_EQ(recorder.seen[0].output_path, archive) << "damage between members names the archive";
    const auto damaged = std::find_if(recorder.seen.begin() + 1, recorder.seen.end(),
                                      [](const TreeRecord& r) { return r.code == ERR_ARCHIVE_DAMAGED; });
    ASSERT_NE(damaged, recorder.seen.end());
    EXPECT_EQ(damaged->detail, "the archive is damaged at offset " + std::to_string(short_at) +
                                   ": a record length of 2 (a record is at least 3 bytes)");
    EXPECT_EQ(entries_of(out), (std::vector<std::string>{"after.txt", "keep.txt", "never.txt"}));

    // A file record followed by a sound record of another kind.
    recorder.seen.clear();
    ArchiveBuilder c;
    c.header().file("orphan.txt", 5).stored("next.txt", "ok").end();
    EXPECT_EQ(extract_bytes(c.bytes), 0);
    EXPECT_EQ(codes_of_files(), (std::vector<int>{ERR_NO_DATA_BLOCK, PM_EXTRACT_FILE_START, PM_EXTRACT_FILE_DONE}));
    EXPECT_EQ(recorder.seen[0].detail,
              "the archive is damaged at offset 140: the file record at offset 98 is not followed by a data block");
}

// The damaged archives users met: each reports where the damage lies, and
// every member the damage does not touch comes out whole.
TEST_F(ArchiveTest, DamagedArchivesReportTheDamageAndExtractTheSoundMembers) {
    ArchiveBuilder stored;
    stored.header().stored("one.txt", "first member").stored("two.txt", "second").stored("three.txt", "third").end();
    const std::size_t first_block = 98 + 32 + 7;
    const std::size_t second_record = first_block + 12 + 12;

    make_sample_tree();
    ASSERT_EQ(archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS | EF_SORTED, recorder.callback()), 0);
    const Bytes coded = read_file(archive);
    const auto whole_tree = tree_of(root);

    struct Case {
        const char* name;
        Bytes bytes;
        std::string damage;  // the first damage reported
        std::vector<std::string> sound;  // the members extracted
    };
    std::vector<Case> cases;
    cases.push_back({"cut inside the first record", Bytes(stored.bytes.begin(), stored.bytes.begin() + 98 + 20),
                     "the archive is damaged at offset 98: a record of 39 bytes runs past the end of the archive "
                     "(118 bytes): the archive is cut short",
                     {}});
    for (std::uint8_t length : {0, 1, 2}) {
        Bytes bytes = stored.bytes;
        bytes[98] = length;
        bytes[99] = 0;
        cases.push_back({"record length below 3", bytes,
                         "the archive is damaged at offset 98: a record length of " + std::to_string(length) +
                             " (a record is at least 3 bytes)",
                         {"three.txt", "two.txt"}});
    }
    Bytes long_header = stored.bytes;
    long_header[0] = long_header[1] = 0xFF;
    cases.push_back({"header length 0xFFFF", long_header,
                     "the archive is damaged at offset 0: a header record of 65535 bytes (98 expected)",
                     {"one.txt", "three.txt", "two.txt"}});
    Bytes long_stored = stored.bytes;
    long_stored[first_block + 8] += 1;
    cases.push_back({"stored data length one byte too long", long_stored,
                     "the archive is damaged at offset " + std::to_string(first_block) +
                         ": the data block holds 13 bytes but the file is 12 bytes",
                     {"three.txt", "two.txt"}});
    Bytes cut_between(stored.bytes.begin(), stored.bytes.begin() + static_cast<long>(second_record));
    cases.push_back({"cut between members", cut_between,
                     "the archive is damaged at offset " + std::to_string(second_record) +
                         ": the archive ends without its end record: it is cut short",
                     {"one.txt"}});
    // Our own coded archive, its first member's ("README.TXT") data length one too long.
    Bytes long_coded = coded;
    const std::size_t coded_block = 98 + le16(coded, 98);
    ASSERT_EQ(coded[coded_block + 2], 5);
    long_coded[coded_block + 8] += 1;
    cases.push_back({"coded data length one byte too long", long_coded, "",
                     {"a.txt", "sub/b.bin", "sub/deeper/c.txt", "zero.bin"}});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fs::remove_all(out);
        recorder.seen.clear();
        EXPECT_EQ(extract_bytes(c.bytes), 0);
        const auto first_error = std::find_if(recorder.seen.begin(), recorder.seen.end(),
                                              [](const TreeRecord& r) { return r.code < 0; });
        ASSERT_NE(first_error, recorder.seen.end()) << "the damage is reported";
        if (!c.damage.empty()) {
            EXPECT_EQ(first_error->detail, c.damage);
        }
        EXPECT_NE(first_error->detail.find("the archive is damaged at offset "), std::string::npos);
        std::vector<std::string> extracted;
        for (const auto& [name, data] : tree_of(out)) {
            extracted.push_back(name);
            if (whole_tree.count(name)) {
                EXPECT_EQ(data, whole_tree.at(name)) << name;
            }
        }
        EXPECT_EQ(extracted, c.sound);
        // Listing finds the same damage.
        std::vector<std::string> listed_damage;
        EXPECT_GE(archive_list(archive, {}, [&](const std::string& d) { listed_damage.push_back(d); }), 0);
        EXPECT_FALSE(listed_damage.empty());
    }
}

// The damaged archives kept as fuzzing seeds stay regression inputs here too.
TEST_F(ArchiveTest, KeptDamagedArchivesReportTheirDamage) {
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(fs::path(QUORALITH_SOURCE_DIR) / "fuzz/seeds/archive")) {
        const std::string name = entry.path().filename().string();
        SCOPED_TRACE(name);
        ++seen;
        fs::remove_all(out);
        recorder.seen.clear();
        EXPECT_EQ(extract_bytes(read_file(entry.path().string())), 0);
        const int damage = recorder.count(ERR_ARCHIVE_DAMAGED) + recorder.count(ERR_ARCHIVE_SHORT);
        if (name.rfind("sound", 0) == 0) {
            EXPECT_EQ(damage, 0);
            EXPECT_EQ(tree_of(out).size(), 3u);
        } else {
            EXPECT_GE(damage, 1);
        }
    }
    EXPECT_GE(seen, 9);
}

TEST_F(ArchiveTest, TruncatedAndDamagedArchivesNeverMisbehave) {
    make_sample_tree();
    ASSERT_EQ(archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS | EF_SORTED, recorder.callback()), 0);
    const Bytes whole = read_file(archive);
    const auto expected = tree_of(root);
    // Cut at many lengths: whatever is extracted is complete and right.
    for (std::size_t length = 0; length < whole.size(); length += 1 + length / 40) {
        fs::remove_all(out);
        const int result = extract_bytes(Bytes(whole.begin(), whole.begin() + static_cast<long>(length)));
        EXPECT_EQ(result, length < 98 ? ERR_NOT_ARCHIVE : 0) << length;
        for (const auto& [name, data] : tree_of(out)) {
            ASSERT_TRUE(expected.count(name)) << name << " at length " << length;
            EXPECT_EQ(data, expected.at(name)) << name << " at length " << length;
        }
    }
    // Random damage: no crash, nothing outside the output directory.
    std::mt19937 rng(7);
    for (int round = 0; round < 150; ++round) {
        Bytes damaged = whole;
        for (int flips = 0; flips < 4; ++flips) damaged[98 + rng() % (damaged.size() - 98)] ^= static_cast<std::uint8_t>(1 + rng() % 255);
        fs::remove_all(out);
        recorder.seen.clear();
        EXPECT_EQ(extract_bytes(damaged), 0);
    }
    EXPECT_EQ(entries_of(scratch.path()).front(), "out");
    for (const auto& name : entries_of(scratch.path()))
        EXPECT_TRUE(name == "out" || name.rfind("out/", 0) == 0 || name.rfind("root", 0) == 0 || name == "tree.qar")
            << name;
}

TEST_F(ArchiveTest, StopEndsExtractionAndClearingNeverDeletesTheArchive) {
    make_sample_tree();
    ASSERT_EQ(archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS, recorder.callback()), 0);
    const Bytes whole = read_file(archive);

    // A stop while writing leaves the earlier archive as it was, and no temporary.
    int transfers = 0;
    recorder.answer = [&](const ProgressRecord& r) -> std::int16_t {
        return r.code == PM_WRITE_OUTPUT && ++transfers == 3 ? ANSWER_STOP : ANSWER_SKIP;
    };
    EXPECT_EQ(archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS, recorder.callback()), ERR_STOPPED);
    EXPECT_EQ(read_file(archive), whole);
    EXPECT_EQ(entries_of(scratch.path()).size(), entries_of(root).size() + 2);  // root, tree.qar

    recorder.answer = [](const ProgressRecord& r) -> std::int16_t {
        return r.code == PM_EXTRACT_FILE_START ? ANSWER_STOP : ANSWER_SKIP;
    };
    recorder.seen.clear();
    EXPECT_EQ(archive_extract(archive, out, "", 0, recorder.callback()), 0);
    EXPECT_EQ(codes_of_files(), std::vector<int>{PM_EXTRACT_FILE_START});
    EXPECT_TRUE(fs::is_empty(out));

    // An archive kept inside the output directory survives a clearing request.
    const std::string inside = out + "/kept.qar";
    fs::copy_file(archive, inside);
    write_file(out + "/old.txt", {'x'});
    EXPECT_EQ(archive_extract(inside, out, "", EF_CLEAR_OUTPUT, recorder.callback()), ERR_BAD_REQUEST);
    EXPECT_TRUE(file_exists(inside));
    EXPECT_TRUE(file_exists(out + "/old.txt"));

    // Elsewhere, clearing empties read-only leftovers first.
    recorder.answer = [](const ProgressRecord&) -> std::int16_t { return ANSWER_SKIP; };
    chmod((out + "/old.txt").c_str(), 0444);
    fs::remove(inside);
    EXPECT_EQ(archive_extract(archive, out, "", EF_CLEAR_OUTPUT, recorder.callback()), 0);
    EXPECT_FALSE(file_exists(out + "/old.txt"));
    EXPECT_EQ(tree_of(out), tree_of(root));
}

}  // namespace
}  // namespace quoralith::test
