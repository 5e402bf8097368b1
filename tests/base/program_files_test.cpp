// Side-file look-up: the order of places, the fallback and the history rule.
#include "base/program_files.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace quoralith {
namespace {

namespace fs = std::filesystem;
using test::ScratchDir;

// Runs each test inside its own working, configuration and data directories.
class ProgramFiles : public ::testing::Test {
protected:
    void SetUp() override {
        old_cwd_ = fs::current_path();
        const char* xdg = std::getenv("XDG_CONFIG_HOME");
        had_xdg_ = xdg != nullptr;
        if (xdg) old_xdg_ = xdg;
        if (const char* home = std::getenv("HOME")) old_home_ = home;
        fs::create_directories(root_.path() / "cwd");
        fs::create_directories(root_.path() / "config");
        fs::create_directories(root_.path() / "share");
        fs::current_path(root_.path() / "cwd");
        ::setenv("XDG_CONFIG_HOME", (root_.path() / "config").c_str(), 1);
        set_program_data_directory((root_.path() / "share").string());
    }
    void TearDown() override {
        fs::current_path(old_cwd_);
        if (had_xdg_)
            ::setenv("XDG_CONFIG_HOME", old_xdg_.c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
        set_program_data_directory("");
        if (!old_home_.empty()) ::setenv("HOME", old_home_.c_str(), 1);
    }
    std::string in(const char* place, const char* name) {
        fs::path path = root_.path() / place / name;
        if (std::string(place) == "config") path = root_.path() / "config" / "quoralith" / name;
        return path.string();
    }
    void touch(const std::string& path) {
        fs::create_directories(fs::path(path).parent_path());
        test::write_file(path, {'x'});
    }

    ScratchDir root_;
    fs::path old_cwd_;
    bool had_xdg_ = false;
    std::string old_xdg_;
    std::string old_home_;
};

TEST_F(ProgramFiles, PlacesAreTriedInOrderAndTheFirstReadableWins) {
    std::string out;
    EXPECT_EQ(locate_program_file("", true, "Qralith.ini", out), PLACE_FALLBACK_CURRENT_DIR);
    EXPECT_EQ(out, in("cwd", "Qralith.ini"));

    touch(in("share", "Qralith.ini"));
    EXPECT_EQ(locate_program_file("", true, "Qralith.ini", out), PLACE_DATA_DIR);
    EXPECT_EQ(out, in("share", "Qralith.ini"));

    touch(in("config", "Qralith.ini"));
    EXPECT_EQ(locate_program_file("", true, "Qralith.ini", out), PLACE_CONFIG_DIR);
    EXPECT_EQ(out, in("config", "Qralith.ini"));
    EXPECT_EQ(locate_program_file("", false, "Qralith.ini", out), PLACE_DATA_DIR) << "flag 0 skips the config dir";

    touch(in("cwd", "Qralith.ini"));
    EXPECT_EQ(locate_program_file("", true, "Qralith.ini", out), PLACE_CURRENT_DIR);
    EXPECT_EQ(out, in("cwd", "Qralith.ini"));
}

TEST_F(ProgramFiles, NullSubdirectoryTriesOnlyTheConfigDirectory) {
    touch(in("cwd", "a.ini"));
    std::string out;
    EXPECT_EQ(locate_program_file(nullptr, true, "a.ini", out), PLACE_FALLBACK_CONFIG_DIR);
    EXPECT_EQ(out, in("config", "a.ini"));
    EXPECT_EQ(locate_program_file(nullptr, false, "a.ini", out), PLACE_NONE);
    EXPECT_EQ(out, "");

    touch(in("cwd", "sub/b.ini"));
    EXPECT_EQ(locate_program_file("sub", true, "b.ini", out), PLACE_CURRENT_DIR);
    EXPECT_EQ(out, in("cwd", "sub/b.ini"));
}

TEST_F(ProgramFiles, ConfigDirectoryFollowsXdgAndIgnoresRelativeValues) {
    EXPECT_EQ(config_directory(), (root_.path() / "config" / "quoralith").string());
    ::setenv("XDG_CONFIG_HOME", "relative/path", 1);
    ::setenv("HOME", root_.path().c_str(), 1);
    EXPECT_EQ(config_directory(), (root_.path() / ".config" / "quoralith").string());
}

// Without HOME the home directory comes from the password file, by exact uid.
TEST_F(ProgramFiles, PasswordFileGivesTheHomeOfTheExactUid) {
    const std::string passwd = (root_.path() / "passwd").string();
    const std::string text =
        "root:x:0:0:root:/root:/bin/bash\n"
        "broken line without fields\n"
        "nohome:x:7:7:no home::/bin/sh\n"
        "ten:x:10:10:ten:/home/ten:/bin/sh\n"
        "hundred:x:100:100::/home/hundred:/bin/sh\n"
        "plus:x:+100:100::/home/plus:/bin/sh\n"
        "last:x:4242:4242::/home/last";  // no shell, no final newline
    test::write_file(passwd, std::vector<std::uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(passwd_home(passwd.c_str(), 0), "/root");
    EXPECT_EQ(passwd_home(passwd.c_str(), 10), "/home/ten");
    EXPECT_EQ(passwd_home(passwd.c_str(), 100), "/home/hundred");
    EXPECT_EQ(passwd_home(passwd.c_str(), 4242), "/home/last");
    EXPECT_EQ(passwd_home(passwd.c_str(), 7), "");  // an empty home field names none
    EXPECT_EQ(passwd_home(passwd.c_str(), 1), "");
    EXPECT_EQ(passwd_home((root_.path() / "missing").c_str(), 0), "");

    // With HOME unset, the configuration directory follows the system's own file.
    ::unsetenv("XDG_CONFIG_HOME");
    ::unsetenv("HOME");
    const std::string home = passwd_home("/etc/passwd", ::getuid());
    EXPECT_EQ(config_directory(), home.empty() ? "" : home + (home.back() == '/' ? "" : "/") + ".config/quoralith");
}

TEST_F(ProgramFiles, HistoryFileNotFoundBelongsInTheConfigDirectory) {
    EXPECT_EQ(locate_history_file("Qralithd.env"), in("config", "Qralithd.env"));
    touch(in("share", "Qralithd.env"));
    EXPECT_EQ(locate_history_file("Qralithd.env"), in("config", "Qralithd.env"))
        << "the read-only data directory is never the place to record into";
    touch(in("cwd", "Qralithd.env"));
    EXPECT_EQ(locate_history_file("Qralithd.env"), in("cwd", "Qralithd.env"));
}

}  // namespace
}  // namespace quoralith
