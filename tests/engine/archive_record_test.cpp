// Archive members with a record of their permission bits and digest: what the
// record adds to the bytes, members that keep their modes, and members whose
// bytes were damaged, refused without harming a file already there.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "coder/digest.h"
#include "engine/archive.h"
#include "tree_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

class ArchiveRecordTest : public ::testing::Test {
protected:
    void SetUp() override {
        root = scratch.file("root");
        out = scratch.file("out");
        archive = scratch.file("tree.qar");
        for (const auto& [name, mode] : files) {
            fs::create_directories(fs::path(root + "/" + name).parent_path());
            // Text, so that coded members are packed and written from their end.
            write_file(root + "/" + name, text_like(90000 + name.size() * 1000, static_cast<std::uint32_t>(mode)));
            chmod((root + "/" + name).c_str(), mode);
        }
    }
    int create(EngineFlags flags) {
        return archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS | EF_SORTED | flags, recorder.callback());
    }
    int extract(EngineFlags flags = EF_KEEP_DATE | EF_KEEP_ATTRIBUTES) {
        return archive_extract(archive, out, "", flags, recorder.callback());
    }
    // Where a member's data starts in the archive, found through its listing.
    std::size_t data_of(const std::string& stored) {
        const Bytes bytes = read_file(archive);
        const std::string key = stored + '\0';
        const auto at = std::search(bytes.begin(), bytes.end(), key.begin(), key.end());
        EXPECT_NE(at, bytes.end());
        const auto record_start = static_cast<std::size_t>(at - bytes.begin()) - 30;
        return record_start + 32 + stored.size() + 12;
    }

    const std::vector<std::pair<std::string, mode_t>> files = {
        {"bin/run.sh", 0755}, {"bin/tool", 0700}, {"lib/data.txt", 0644}, {"lib/frozen.cfg", 0444}};
    ScratchDir scratch;
    std::string root, out, archive;
    TreeRecorder recorder;
};

TEST_F(ArchiveRecordTest, MembersKeepTheirModesCodedOrStored) {
    for (EngineFlags raw : {EngineFlags{0}, EF_STORE_RAW}) {
        ASSERT_EQ(create(raw), 0);
        std::vector<ArchiveMember> members;
        archive_list(archive, [&](const ArchiveMember& m) { members.push_back(m); });
        ASSERT_EQ(members.size(), files.size());
        for (const ArchiveMember& m : members) EXPECT_EQ(m.record, RecordState::present) << m.stored_path;

        fs::remove_all(out);
        ASSERT_EQ(extract(), 0);
        EXPECT_EQ(recorder.count(PM_EXTRACT_FILE_DONE), static_cast<int>(files.size()));
        for (const auto& [name, mode] : files) {
            EXPECT_EQ(permissions_of(out + "/" + name), mode) << name;
            EXPECT_EQ(read_file(out + "/" + name), read_file(root + "/" + name)) << name;
        }
        recorder.seen.clear();
    }
}

TEST_F(ArchiveRecordTest, ThePlainFormatDiffersOnlyInTheSpareFields) {
    // Reading the tree may move its access times, which the records carry; an
    // access time after the modification time is one the kernel leaves alone,
    // so both archives see the same times.
    const timespec times[2] = {{2000000000, 0}, {1500000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, root.c_str(), times, 0), 0);
    for (const auto& entry : fs::recursive_directory_iterator(root))
        ASSERT_EQ(utimensat(AT_FDCWD, entry.path().c_str(), times, 0), 0) << entry.path();
    ASSERT_EQ(create(EF_STORE_RAW | EF_PLAIN_TRAILER), 0);
    const Bytes plain = read_file(archive);
    ASSERT_EQ(create(EF_STORE_RAW), 0);
    const Bytes tagged = read_file(archive);
    ASSERT_EQ(plain.size(), tagged.size());
    // The header's reserved bytes, time slots 1, 4 and 5 of each file record,
    // and the stamps (which differ between any two archives).
    std::vector<bool> spare(plain.size(), false);
    for (std::size_t i = kArchiveTagOffset; i < kArchiveTagOffset + 24; ++i) spare[i] = true;
    for (std::size_t i = 90; i < 94; ++i) spare[i] = true;
    for (std::size_t i = plain.size() - 6; i < plain.size() - 2; ++i) spare[i] = true;
    for (const auto& [name, mode] : files) {
        const std::size_t record = data_of(fs::path(name).parent_path().string() + "\\" +
                                           fs::path(name).filename().string()) -
                                   12 - 32 - name.size();
        for (std::size_t i : {8, 9, 10, 11, 20, 21, 22, 23, 24, 25, 26, 27}) spare[record + i] = true;
        for (std::size_t i : {8, 20, 24}) EXPECT_EQ(plain[record + i], 0xFF) << name;
    }
    for (std::size_t i = 0; i < plain.size(); ++i)
        if (!spare[i]) {
            ASSERT_EQ(plain[i], tagged[i]) << "byte " << i;
        }
    EXPECT_TRUE(std::all_of(plain.begin() + kArchiveTagOffset, plain.begin() + kArchiveTagOffset + 24,
                            [](std::uint8_t b) { return b == 0; }));

    // Without records, extraction keeps only the read and write bits.
    ASSERT_EQ(create(EF_PLAIN_TRAILER), 0);
    ASSERT_EQ(extract(), 0);
    EXPECT_EQ(recorder.count(PM_EXTRACT_FILE_DONE), static_cast<int>(files.size()));
    EXPECT_EQ(permissions_of(out + "/bin/run.sh") & 0111, 0u);
    EXPECT_EQ(permissions_of(out + "/lib/frozen.cfg") & 0222, 0u);
}

TEST_F(ArchiveRecordTest, ADamagedMemberIsRefusedAndHarmsNoFileThere) {
    for (EngineFlags raw : {EF_STORE_RAW, EngineFlags{0}}) {
        ASSERT_EQ(create(raw), 0);
        Bytes bytes = read_file(archive);
        // A bit of the member's data, well inside it: a stored member copies
        // it as it is; a coded one decodes it or fails.
        bytes[data_of("lib\\data.txt") + 200] ^= 0x08;
        write_file(archive, bytes);
        fs::remove_all(out);
        fs::create_directories(out + "/lib");
        write_file(out + "/lib/data.txt", {'k', 'e', 'e', 'p'});
        recorder.seen.clear();
        ASSERT_EQ(extract(), 0);
        EXPECT_EQ(read_file(out + "/lib/data.txt"), (Bytes{'k', 'e', 'e', 'p'}));
        EXPECT_EQ(recorder.count(PM_EXTRACT_FILE_DONE), static_cast<int>(files.size()) - 1);
        if (raw) {
            EXPECT_EQ(recorder.count(ERR_CONTENT_MISMATCH), 1);
        }
        EXPECT_EQ(read_file(out + "/bin/run.sh"), read_file(root + "/bin/run.sh"));
        EXPECT_EQ(entries_of(out), (std::vector<std::string>{"bin", "bin/run.sh", "bin/tool", "lib", "lib/data.txt",
                                                             "lib/frozen.cfg"}));
    }
}

TEST_F(ArchiveRecordTest, AMemberRecordThatFailsItsCheckIsRefused) {
    ASSERT_EQ(create(EF_STORE_RAW), 0);
    Bytes bytes = read_file(archive);
    const std::size_t record = data_of("bin\\tool") - 12 - 32 - 8;
    bytes[record + 10] ^= 0x02;  // 0700 becomes 0702: the CRC no longer holds
    write_file(archive, bytes);
    ASSERT_EQ(extract(), 0);
    EXPECT_EQ(recorder.count(ERR_MEMBER_RECORD_DAMAGED), 1);
    EXPECT_FALSE(fs::exists(out + "/bin/tool"));
    EXPECT_EQ(permissions_of(out + "/bin/run.sh"), 0755u);
}

}  // namespace
}  // namespace quoralith::test
