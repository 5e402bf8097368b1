// Directory listings: the wildcard filter, entry kinds, sorting, and clearing
// an output directory.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "engine/dir_list.h"
#include "engine/engine_internal.h"
#include "tree_test_support.h"

namespace quoralith::test {
namespace {

namespace fs = std::filesystem;

TEST(WildcardTest, FollowsFnmatchRules) {
    struct Case {
        const char* pattern;
        const char* name;
        int options;
        bool matches;
    } cases[] = {
        {"*.txt", "notes.txt", 0, true},
        {"*.txt", "README.TXT", WM_CASEFOLD, true},
        {"*.TXT", "readme.txt", WM_CASEFOLD, true},
        {"*.txt", "README.TXT", 0, false},
        {"*.txt", "notes.txt.bak", 0, false},
        {"?.c", "a.c", 0, true},
        {"?.c", "ab.c", 0, false},
        {"*", "", 0, true},
        {"a*b*c", "aXbYbZc", 0, true},
        {"a*b*c", "aXbYbZ", 0, false},
        {"[a-c]x", "bx", 0, true},
        {"[a-c]x", "dx", 0, false},
        {"[!a-c]x", "dx", 0, true},
        {"[^a-c]x", "ax", 0, false},
        {"[A-Z]1", "q1", WM_CASEFOLD, true},
        {"[a-z]1", "Q1", WM_CASEFOLD, true},
        {"[]]", "]", 0, true},
        {"[a-]", "-", 0, true},
        {"[[:digit:]]x", "5x", 0, true},
        {"[[:digit:]]x", "ax", 0, false},
        {"[ab", "[ab", 0, true},  // no closing "]": ordinary characters
        {"\\*", "*", 0, true},
        {"\\*", "a", 0, false},
        {"\\*", "\\abc", WM_NOESCAPE, true},
        {"*", "a/b", 0, true},
        {"*", "a/b", WM_PATHNAME, false},
        {"a*/b", "ax/b", WM_PATHNAME, true},
        {"a*/b", "a/x/b", WM_PATHNAME, false},
        {"a?b", "a/b", WM_PATHNAME, false},
        {"*", ".hidden", 0, true},
        {"*", ".hidden", WM_PERIOD, false},
        {".*", ".hidden", WM_PERIOD, true},
        {"a/*", "a/.b", WM_PATHNAME | WM_PERIOD, false},
        {"a", "a/b/c", WM_LEADING_DIR, true},
        {"a", "ab", WM_LEADING_DIR, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(wildcard_match(c.pattern, c.name, c.options) == 0, c.matches)
            << c.pattern << " vs " << c.name << " options " << c.options;
    // Many stars against a long non-matching name stay fast (no exponential backtracking).
    EXPECT_NE(wildcard_match("*a*a*a*a*a*a*a*a*a*a*b", std::string(5000, 'a'), 0), 0);
}

class ListingTest : public ::testing::Test {
protected:
    ScratchDir scratch;
    std::string dir = scratch.path().string();
};

TEST_F(ListingTest, PatternFiltersFilesButKeepsEveryDirectory) {
    write_file(dir + "/README.TXT", {});
    write_file(dir + "/notes.txt", {});
    write_file(dir + "/image.png", {});
    fs::create_directory(dir + "/Docs.bin");
    DirListing listing = engine_list_dir(dir, "*.txt");
    engine_sort_list(listing);
    ASSERT_EQ(listing.size(), 3u);
    EXPECT_EQ(listing[0].name, "Docs.bin");
    EXPECT_TRUE(listing[0].is_directory());
    EXPECT_EQ(listing[1].name, "README.TXT");
    EXPECT_EQ(listing[2].name, "notes.txt");
    EXPECT_TRUE(engine_list_dir(dir + "/missing", "").empty());
}

TEST_F(ListingTest, SortComparesUnsignedBytesShorterFirst) {
    for (const char* name : {"abc", "ab", "B", "a", "\xC3\xA9t\xC3\xA9", "_x"}) write_file(dir + "/" + name, {});
    DirListing listing = engine_list_dir(dir, "");
    engine_sort_list(listing);
    std::vector<std::string> names;
    for (const auto& e : listing) names.push_back(e.name);
    EXPECT_EQ(names, (std::vector<std::string>{"B", "_x", "a", "ab", "abc", "\xC3\xA9t\xC3\xA9"}));
}

TEST_F(ListingTest, OnlyRegularFilesAndRealDirectoriesCountAsSuch) {
    write_file(dir + "/file", {1});
    fs::create_directory(dir + "/sub");
    ASSERT_EQ(mkfifo((dir + "/pipe").c_str(), 0600), 0);
    fs::create_symlink(dir + "/file", dir + "/to_file");
    fs::create_directory_symlink(dir, dir + "/to_self");  // walking it would never end
    fs::create_symlink(dir + "/nothing", dir + "/dangling");
    DirListing listing = engine_list_dir(dir, "");
    engine_sort_list(listing);
    std::vector<std::pair<std::string, EntryKind>> seen;
    for (const auto& e : listing) seen.emplace_back(e.name, e.kind);
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, EntryKind>>{{"dangling", EntryKind::Other},
                                                                     {"file", EntryKind::File},
                                                                     {"pipe", EntryKind::Other},
                                                                     {"sub", EntryKind::Directory},
                                                                     {"to_file", EntryKind::File},
                                                                     {"to_self", EntryKind::Other}}));
}

TEST_F(ListingTest, ClearingRemovesReadOnlyContentButNeverFollowsLinks) {
    const std::string out = dir + "/out", kept = dir + "/kept";
    fs::create_directories(out + "/sub/deeper");
    fs::create_directories(kept);
    write_file(kept + "/precious", {7});
    write_file(out + "/ro.txt", {1});
    write_file(out + "/sub/deeper/ro.bin", {2});
    chmod((out + "/ro.txt").c_str(), 0444);
    chmod((out + "/sub/deeper/ro.bin").c_str(), 0444);
    chmod((out + "/sub/deeper").c_str(), 0555);
    chmod((out + "/sub").c_str(), 0555);
    fs::create_directory_symlink(kept, out + "/link");
    engine_clear_dir(out);
    EXPECT_TRUE(fs::is_directory(out));
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_EQ(read_file(kept + "/precious"), Bytes{7});
    EXPECT_EQ(permissions_of(kept + "/precious") & 0200, 0200u);
}

}  // namespace
}  // namespace quoralith::test
