// Archives laid out by hand: duplicate names, members after the end record,
// header and member record fields that are neither empty nor sound, archives
// of the first tag version, and list telling everything extract refuses.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>

#include "coder/digest.h"
#include "engine/archive.h"
#include "tree_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

struct Member {
    std::string stored;
    Bytes data;
    int record_version = kArchiveTagNamed;  // 0: slots 1, 4 and 5 at -1
    std::uint16_t mode = 0640;
};

// An archive of stored members, tagged with `tag_version` (0: none), with
// `trailing` members after its end record.
Bytes lay_out(const std::vector<Member>& members, int tag_version, const std::vector<Member>& trailing = {}) {
    Bytes archive;
    const auto put = [&](const auto& bytes) { archive.insert(archive.end(), bytes.begin(), bytes.end()); };
    const auto put_member = [&](const Member& m) {
        std::vector<std::uint8_t> record =
            archive_file_record(m.stored, static_cast<std::uint32_t>(m.data.size()), 1600000000, 1600000000, 3);
        if (m.record_version)
            archive_put_member_record(record.data(), m.mode, digest_of_bytes(m.data.data(), m.data.size()),
                                      m.record_version);
        put(record);
        put(archive_data_block(AR_STORED, static_cast<std::uint32_t>(m.data.size())));
        put(m.data);
    };
    put(archive_header_record(7, tag_version));
    for (const Member& m : members) put_member(m);
    put(archive_end_record(7));
    for (const Member& m : trailing) put_member(m);
    return archive;
}

class ArchiveOdditiesTest : public ::testing::Test {
protected:
    // Extracts `bytes`; the recorder keeps what extraction said.
    int extract(const Bytes& bytes) {
        write_file(archive, bytes);
        fs::remove_all(out);
        recorder.seen.clear();
        return archive_extract(archive, out, "", EF_KEEP_ATTRIBUTES, recorder.callback());
    }
    std::vector<std::string> listed_damage() {
        std::vector<std::string> damage;
        archive_list(archive, {}, [&](const std::string& detail) { damage.push_back(detail); });
        return damage;
    }
    // The detail extraction gave with `code`, or "" when it gave none.
    std::string detail_of(int code) const {
        for (const TreeRecord& r : recorder.seen)
            if (r.code == code) return r.detail.empty() ? "(no words)" : r.detail;
        return "";
    }

    ScratchDir scratch;
    std::string archive = scratch.file("odd.qa"), out = scratch.file("out");
    TreeRecorder recorder;
    const Bytes first = text_like(300, 1), second = text_like(200, 2);
};

TEST_F(ArchiveOdditiesTest, ADuplicateNameIsDamageAndTheFirstMemberStays) {
    // "a\b.txt" and "a/b.txt" name the same file on disk.
    for (const std::string twin : {"a\\b.txt", "a/b.txt", "\\a\\b.txt"}) {
        SCOPED_TRACE(twin);
        const Bytes bytes = lay_out({{"a\\b.txt", first}, {"c.txt", second}, {twin, second}}, kArchiveTagNamed);
        ASSERT_EQ(extract(bytes), 0);
        EXPECT_EQ(read_file(out + "/a/b.txt"), first);
        EXPECT_EQ(recorder.count(PM_EXTRACT_FILE_DONE), 2);
        const std::string offset = std::to_string(kArchiveHeaderSize);
        EXPECT_NE(detail_of(ERR_DUPLICATE_MEMBER).find("a second member named a/b.txt (the first is at offset " +
                                                       offset + ")"),
                  std::string::npos)
            << detail_of(ERR_DUPLICATE_MEMBER);
        EXPECT_EQ(listed_damage().size(), 1u);
    }
}

TEST_F(ArchiveOdditiesTest, MembersAfterTheEndRecordAreDamageAndNotExtracted) {
    const Bytes bytes = lay_out({{"kept.txt", first}}, kArchiveTagNamed, {{"late.txt", second}, {"later.txt", second, 0}});
    ASSERT_EQ(extract(bytes), 0);
    EXPECT_EQ(tree_of(out), (std::map<std::string, Bytes>{{"kept.txt", first}}));
    EXPECT_EQ(recorder.count(ERR_MEMBER_AFTER_END), 2);
    const std::size_t end_at = kArchiveHeaderSize + kFileRecordFixed + 8 + kDataBlockSize + first.size();
    EXPECT_NE(detail_of(ERR_MEMBER_AFTER_END).find("late.txt lies after the end record at offset " +
                                                   std::to_string(end_at)),
              std::string::npos)
        << detail_of(ERR_MEMBER_AFTER_END);
    EXPECT_EQ(listed_damage().size(), 2u);
    // A name pattern does not hide them.
    recorder.seen.clear();
    archive_extract(archive, out, "kept*", 0, recorder.callback());
    EXPECT_EQ(recorder.count(ERR_MEMBER_AFTER_END), 2);

    // Another record after the end record is told as well.
    Bytes extra = lay_out({{"kept.txt", first}}, kArchiveTagNamed);
    const auto end = archive_end_record(7);
    extra.insert(extra.end(), end.begin(), end.end());
    ASSERT_EQ(extract(extra), 0);
    EXPECT_NE(detail_of(ERR_ARCHIVE_DAMAGED).find("an end record after the end record"), std::string::npos);
    EXPECT_EQ(listed_damage().size(), 1u);
}

TEST_F(ArchiveOdditiesTest, OnlyZerosOrOurTagCountAsAHeaderWithoutDamage) {
    const std::vector<Member> members = {{"bin\\tool", first, kArchiveTagNamed, 0750}};
    // Zeros and both versions of the tag read without a word.
    for (int version : {0, 1, 2}) {
        std::vector<Member> m = members;
        if (version == 0) m[0].record_version = 0;
        if (version == 1) m[0].record_version = 1;
        ASSERT_EQ(extract(lay_out(m, version)), 0);
        EXPECT_EQ(recorder.count(PM_EXTRACT_FILE_DONE), 1) << version;
        EXPECT_TRUE(listed_damage().empty()) << version;
    }
    // A later version, a stray byte behind the tag, a stray byte in a plain
    // header: damage, told once with its offset; members whose version 2
    // records hold are still checked by them and extracted.
    for (auto [at, value] : {std::pair{62, 3}, std::pair{70, 1}, std::pair{82, 0x80}}) {
        Bytes bytes = lay_out(members, kArchiveTagNamed);
        bytes[static_cast<std::size_t>(at)] = static_cast<std::uint8_t>(value);
        ASSERT_EQ(extract(bytes), 0);
        EXPECT_EQ(recorder.count(ERR_ARCHIVE_TAG_DAMAGED), 1) << at;
        EXPECT_NE(detail_of(ERR_ARCHIVE_TAG_DAMAGED).find("damaged at offset 59: the header's reserved field"),
                  std::string::npos);
        EXPECT_EQ(read_file(out + "/bin/tool"), first);
        EXPECT_EQ(permissions_of(out + "/bin/tool"), 0750u);
        EXPECT_EQ(listed_damage().size(), 1u) << at;
    }
    // With the header damaged, a member's data flip is still caught.
    Bytes both = lay_out(members, kArchiveTagNamed);
    both[kArchiveTagOffset] ^= 0x01;
    both[kArchiveHeaderSize + kFileRecordFixed + 8 + kDataBlockSize + 5] ^= 0x10;
    ASSERT_EQ(extract(both), 0);
    EXPECT_EQ(recorder.count(ERR_CONTENT_MISMATCH), 1);
    EXPECT_FALSE(fs::exists(out + "/bin/tool"));
    EXPECT_EQ(listed_damage().size(), 2u);
}

TEST_F(ArchiveOdditiesTest, AMemberRecordIsMinusOnesOrSoundAndCoversThePathFromVersionTwo) {
    const std::vector<Member> members = {{"bin\\tool", first, kArchiveTagNamed, 0750}};
    const std::size_t record = kArchiveHeaderSize;
    // Slot 1 at -1 but a digest slot not: neither empty nor a record.
    Bytes half = lay_out({{"bin\\tool", first, 0}}, kArchiveTagNamed);
    half[record + 20] = 0x12;
    ASSERT_EQ(extract(half), 0);
    EXPECT_EQ(recorder.count(ERR_MEMBER_RECORD_DAMAGED), 1);
    EXPECT_NE(detail_of(ERR_MEMBER_RECORD_DAMAGED).find("damaged at offset 106: the member record of bin/tool"),
              std::string::npos)
        << detail_of(ERR_MEMBER_RECORD_DAMAGED);
    EXPECT_EQ(listed_damage().size(), 1u);

    // A flipped bit of the path, times or attribute word: refused before any
    // folder of the damaged name is made.
    for (std::size_t at : {record + 31, record + 12, record + 16, record + 28}) {
        Bytes bytes = lay_out(members, kArchiveTagNamed);
        bytes[at] ^= 0x02;  // "bin" becomes "bkn"
        ASSERT_EQ(extract(bytes), 0);
        EXPECT_EQ(recorder.count(ERR_MEMBER_RECORD_DAMAGED), 1) << at;
        EXPECT_TRUE(!fs::exists(out) || fs::is_empty(out)) << at;
        EXPECT_EQ(listed_damage().size(), 1u) << at;
    }

    // Archives of version 1 read as before: their records check mode,
    // times and digest; the path is not theirs to cover.
    Bytes old = lay_out({{"bin\\tool", first, 1, 0750}}, 1);
    ASSERT_EQ(extract(old), 0);
    EXPECT_EQ(permissions_of(out + "/bin/tool"), 0750u);
    old[record + 31] ^= 0x02;
    ASSERT_EQ(extract(old), 0);
    EXPECT_EQ(read_file(out + "/bkn/tool"), first);
    old[record + 12] ^= 0x01;
    ASSERT_EQ(extract(old), 0);
    EXPECT_EQ(recorder.count(ERR_MEMBER_RECORD_DAMAGED), 1);
}

TEST_F(ArchiveOdditiesTest, ListTellsDataThatExtractRefuses) {
    // A coded archive made by create, one bit of a member's coded data
    // flipped: extract refuses the member, and list, which used to exit
    // clean, tells the same place.
    const std::string root = scratch.file("root");
    fs::create_directories(root);
    write_file(root + "/big.txt", text_like(20000, 3));
    write_file(root + "/small.txt", text_like(500, 4));
    ASSERT_EQ(archive_create(root, "", archive, "", EF_INCLUDE_SUBDIRS | EF_SORTED, {}), 0);
    Bytes bytes = read_file(archive);
    bytes[kArchiveHeaderSize + kFileRecordFixed + 7 + kDataBlockSize + 300] ^= 0x08;
    write_file(archive, bytes);
    const std::vector<std::string> damage = listed_damage();
    ASSERT_EQ(damage.size(), 1u);
    EXPECT_NE(damage[0].find("the archive is damaged at offset"), std::string::npos) << damage[0];

    ASSERT_EQ(extract(bytes), 0);
    const int refused = recorder.count(ERR_CONTENT_MISMATCH) + recorder.count(ERR_ARCHIVE_DAMAGED);
    EXPECT_EQ(refused, 1);
    EXPECT_EQ(tree_of(out).size(), 1u);

    // Left unchecked, only the records are walked: a caller that extracts next.
    int members = archive_list(archive, {}, [](const std::string&) { ADD_FAILURE() << "data was read"; }, false);
    EXPECT_EQ(members, 2);
}

}  // namespace
}  // namespace quoralith::test
