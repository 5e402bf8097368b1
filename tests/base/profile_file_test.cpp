// Profile files: the four operations, hand-edited files, and writes that keep
// everything else and never leave a half-written file.
#include "base/profile_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>

#include "support/test_support.h"

namespace quoralith {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

std::string text_of(const std::string& path) {
    test::Bytes bytes = test::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

void put_text(const std::string& path, const std::string& text) {
    test::write_file(path, test::Bytes(text.begin(), text.end()));
}

TEST(ProfileFile, MissingFileReadsDefaultsAndFirstWriteCreatesIt) {
    ScratchDir dir;
    std::string file = dir.file("sub/Qralith.ini");
    EXPECT_EQ(profile_read_int(file, "Options", "EnableSound", 7), 7);
    EXPECT_EQ(profile_read_text(file, "Options", "Name", "fallback", 128), "fallback");
    EXPECT_EQ(profile_read_text(file, "Options", "Name", "fallback", 5), "fall");

    ASSERT_TRUE(profile_write_text(file, "Options", "EnableSound", "1"));
    EXPECT_EQ(text_of(file), "[Options]\nEnableSound=1\n");
    EXPECT_EQ(profile_read_int(file, "Options", "EnableSound", 0), 1);
}

TEST(ProfileFile, ValuesLoseSurroundingBlanksAndAreCutToTheBuffer) {
    ScratchDir dir;
    std::string file = dir.file("h.env");
    ASSERT_TRUE(profile_write_text(file, "1", "AlgStr", " 10000001"));
    EXPECT_EQ(profile_read_text(file, "1", "AlgStr", "", 128), "10000001");
    EXPECT_EQ(profile_read_text(file, "1", "AlgStr", "", 4), "100");
    EXPECT_EQ(profile_read_int(file, "1", "AlgStr", -1), 10000001);
}

TEST(ProfileFile, HandEditedFilesReadLeniently) {
    ScratchDir dir;
    std::string file = dir.file("edited.ini");
    put_text(file,
             "; written by hand\r\n"
             "[other]\r\nx=1\r\n"
             "  [ View ]  \r\n"
             "\tStatusBar =  0 \r\n"
             "ToolBar\t=\t5\r\n"
             "# a comment=not a key\r\n"
             "noequals\r\n"
             "[VIEW]\r\n"
             "ToolBar=9\r\n");
    EXPECT_EQ(profile_read_int(file, "view", "toolbar", 1), 5) << "first section and key win, names ignore case";
    EXPECT_EQ(profile_read_int(file, "View", "StatusBar", 1), 0);
    EXPECT_EQ(profile_read_int(file, "View", "# a comment", 3), 3);
    EXPECT_EQ(profile_read_int(file, "View", "noequals", 3), 3);
    EXPECT_EQ(profile_read_int(file, "View", "Missing", 3), 3);
}

TEST(ProfileFile, ByteOrderMarkDoesNotHideTheFirstSectionAndIsKept) {
    ScratchDir dir;
    std::string file = dir.file("bom.ini");
    put_text(file, "\xEF\xBB\xBF[Options]\nEnableSound=1\n");
    EXPECT_EQ(profile_read_int(file, "Options", "EnableSound", 0), 1);
    ASSERT_TRUE(profile_write_text(file, "Options", "EnableBitmap", "0"));
    EXPECT_EQ(text_of(file), "\xEF\xBB\xBF[Options]\nEnableSound=1\nEnableBitmap=0\n");
}

TEST(ProfileFile, IntegerReadsOfTextThatIsNotANumberGiveTheDefault) {
    ScratchDir dir;
    std::string file = dir.file("n.ini");
    put_text(file, "[s]\na=abc\nb=\nc=-12x\nd=99999999999\n");
    EXPECT_EQ(profile_read_int(file, "s", "a", 4), 4);
    EXPECT_EQ(profile_read_int(file, "s", "b", 4), 4);
    EXPECT_EQ(profile_read_int(file, "s", "c", 4), -12);
    EXPECT_EQ(profile_read_int(file, "s", "d", 4), 2147483647);
}

TEST(ProfileFile, WritesKeepCommentsOrderUnknownKeysAndLineEnds) {
    ScratchDir dir;
    std::string file = dir.file("keep.ini");
    put_text(file,
             "; options of the program\r\n"
             "[Options]\r\n"
             "EnableSound = 1\r\n"
             "Unknown=kept\r\n"
             "\r\n"
             "[View]\r\n"
             "ToolBar=1\r\n");
    ASSERT_TRUE(profile_write_text(file, "options", "EnableSound", "0"));
    ASSERT_TRUE(profile_write_text(file, "Options", "EnableBitmap", "1"));
    ASSERT_TRUE(profile_write_text(file, "Message", "Subject", "hello there"));
    EXPECT_EQ(text_of(file),
              "; options of the program\r\n"
              "[Options]\r\n"
              "EnableSound=0\r\n"
              "Unknown=kept\r\n"
              "EnableBitmap=1\r\n"
              "\r\n"
              "[View]\r\n"
              "ToolBar=1\r\n"
              "[Message]\r\n"
              "Subject=hello there\r\n");
}

TEST(ProfileFile, DeletedSectionReadsAsDefaultsAndOthersStay) {
    ScratchDir dir;
    std::string file = dir.file("h.env");
    put_text(file, "[LastNumber]\nnum=2\n[1]\nBasePath=a\n[2]\nBasePath=b\n[1]\nDelta=dup\n");
    ASSERT_TRUE(profile_delete_section(file, "1"));
    EXPECT_EQ(profile_read_text(file, "1", "BasePath", "gone", 128), "gone");
    EXPECT_EQ(profile_read_text(file, "1", "Delta", "gone", 128), "gone") << "every section of that name goes";
    EXPECT_EQ(profile_read_text(file, "2", "BasePath", "", 128), "b");
    EXPECT_EQ(profile_read_int(file, "LastNumber", "num", 0), 2);
    EXPECT_TRUE(profile_delete_section(dir.file("none.env"), "1"));
    EXPECT_FALSE(fs::exists(dir.file("none.env")));
}

TEST(ProfileFile, UnstorableNamesAndValuesAreRefusedWithoutTouchingTheFile) {
    ScratchDir dir;
    std::string file = dir.file("r.ini");
    put_text(file, "[s]\nk=v\n");
    EXPECT_FALSE(profile_write_text(file, "s", "k", "two\nlines"));
    EXPECT_FALSE(profile_write_text(file, "s", "a=b", "v"));
    EXPECT_FALSE(profile_write_text(file, "s]", "k", "v"));
    EXPECT_FALSE(profile_write_text(file, "", "k", "v"));
    EXPECT_FALSE(profile_write_text(file, "s", " ", "v"));
    EXPECT_EQ(text_of(file), "[s]\nk=v\n");
}

TEST(ProfileFile, FailedWriteLeavesTheOldFileAndNoTemporary) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    ScratchDir dir;
    fs::create_directory(dir.path() / "locked");
    std::string file = dir.file("locked/h.env");
    put_text(file, "[LastNumber]\nnum=1\n");
    fs::permissions(dir.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_FALSE(profile_write_text(file, "LastNumber", "num", "2"));
    fs::permissions(dir.path() / "locked", fs::perms::owner_all);
    EXPECT_EQ(text_of(file), "[LastNumber]\nnum=1\n");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path() / "locked"), fs::directory_iterator()), 1);
}

TEST(ProfileFile, FailedRenameLeavesTheTargetAndNoTemporary) {
    // Runs as any user: a file cannot be renamed over a folder.
    ScratchDir dir;
    fs::create_directories(dir.path() / "h.env" / "inside");
    EXPECT_FALSE(profile_write_text(dir.file("h.env"), "LastNumber", "num", "2"));
    EXPECT_TRUE(fs::is_directory(dir.path() / "h.env" / "inside"));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

    test::write_file(dir.file("plain"), {'x'});
    EXPECT_FALSE(profile_write_text(dir.file("plain/h.env"), "s", "k", "v"));
    EXPECT_EQ(test::read_file(dir.file("plain")), test::Bytes{'x'});
}

TEST(ProfileFile, UnreadableFileIsNeverReplaced) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind root";
    ScratchDir dir;
    std::string file = dir.file("h.env");
    put_text(file, "[1]\nBasePath=precious\n");
    fs::permissions(file, fs::perms::owner_write);
    EXPECT_FALSE(profile_write_text(file, "2", "BasePath", "new"));
    fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(text_of(file), "[1]\nBasePath=precious\n");
}

TEST(ProfileFile, WriteReplacesAtomicallyKeepsModeAndFollowsLinks) {
    ScratchDir dir;
    std::string real = dir.file("real.ini");
    std::string link = dir.file("link.ini");
    put_text(real, "[s]\nk=1\n");
    ::chmod(real.c_str(), 0640);
    fs::create_symlink(real, link);
    ASSERT_TRUE(profile_write_text(link, "s", "k", "2"));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(text_of(real), "[s]\nk=2\n");
    struct stat status {};
    ASSERT_EQ(::stat(real.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0640u);
    // Nothing but the two names is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 2);
}

TEST(ProfileFile, BatchOfChangesIsSavedOnce) {
    ScratchDir dir;
    ProfileFile profile(dir.file("b.env"));
    EXPECT_FALSE(profile.existed());
    ASSERT_TRUE(profile.set("1", "Action", "0"));
    ASSERT_TRUE(profile.set("LastNumber", "num", "1"));
    EXPECT_FALSE(fs::exists(dir.file("b.env"))) << "nothing reaches the disk before save()";
    ASSERT_TRUE(profile.save());
    std::string value;
    ProfileFile again(dir.file("b.env"));
    EXPECT_TRUE(again.existed());
    ASSERT_TRUE(again.get("lastnumber", "NUM", value));
    EXPECT_EQ(value, "1");
    EXPECT_EQ(again.section_names(), (std::vector<std::string>{"1", "LastNumber"}));
}

}  // namespace
}  // namespace quoralith
