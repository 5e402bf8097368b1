// What the sheets and the wizard remember between jobs: the last job of each
// kind, the recent names of each path field, and the output names that
// follow from an input.
#include "sheets/remembered_jobs.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "base/profile_file.h"
#include "base/recent_names.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

// Points the configuration directory into a scratch folder for one test.
class ConfigHome {
public:
    ConfigHome() {
        const char* old = std::getenv("XDG_CONFIG_HOME");
        had_ = old != nullptr;
        if (had_) old_ = old;
        ::setenv("XDG_CONFIG_HOME", scratch_.path().c_str(), 1);
    }
    ~ConfigHome() {
        if (had_)
            ::setenv("XDG_CONFIG_HOME", old_.c_str(), 1);
        else
            ::unsetenv("XDG_CONFIG_HOME");
    }

private:
    test::ScratchDir scratch_;
    bool had_ = false;
    std::string old_;
};

TEST(SuggestedNames, TheDeltaSitsBesideTheUpdatedFile) {
    EXPECT_EQ(suggested_delta_name("/data/new/app.bin"), "/data/new/app.bin.dlt");
    EXPECT_EQ(suggested_delta_name("/data/tree/"), "/data/tree.dlt");
    EXPECT_EQ(suggested_delta_name(""), "");
}

TEST(SuggestedNames, TheRestoredFileDropsTheDeltasExtensionButNeverNamesTheBase) {
    EXPECT_EQ(suggested_restored_name("/d/app.bin.dlt", "/old/app.bin"), "/d/app.bin");
    // Beside the Base, the plain name would be the Base itself.
    EXPECT_EQ(suggested_restored_name("/d/app.bin.dlt", "/d/app.bin"), "/d/app.bin.restored");
    EXPECT_EQ(suggested_restored_name("/d/patch", "/d/app.bin"), "/d/patch.restored");
    // ".dlt" alone is a name, not an extension to drop; a dot in a folder
    // name is not the file's.
    EXPECT_EQ(suggested_restored_name("/d/.dlt", ""), "/d/.dlt.restored");
    EXPECT_EQ(suggested_restored_name("", "/d/app.bin"), "");
}

TEST(RecentNames, NewestFirstWithoutRepeatsAndAtMostEight) {
    ConfigHome home;
    EXPECT_TRUE(recent_names(RECENT_BASE).empty());
    for (int i = 1; i <= 10; ++i) ASSERT_TRUE(add_recent_name(RECENT_BASE, "/b/" + std::to_string(i)));
    ASSERT_TRUE(add_recent_name(RECENT_BASE, "/b/5"));
    const std::vector<std::string> names = recent_names(RECENT_BASE);
    ASSERT_EQ(names.size(), 8u);
    EXPECT_EQ(names[0], "/b/5");
    EXPECT_EQ(names[1], "/b/10");
    EXPECT_EQ(names[7], "/b/3");  // 5 moved up; 1 and 2 fell off
    // The lists are apart, and a name that cannot stand on one line is not kept.
    EXPECT_TRUE(recent_names(RECENT_DELTA).empty());
    EXPECT_FALSE(add_recent_name(RECENT_DELTA, "/two\nlines"));
    EXPECT_FALSE(add_recent_name(RECENT_DELTA, ""));
    EXPECT_TRUE(recent_names(RECENT_DELTA).empty());
}

TEST(RememberedJobs, EachKindKeepsItsLastJobWithEveryField) {
    ConfigHome home;
    JobSettings untouched;
    EXPECT_FALSE(recall_last_job(0, untouched));

    JobSettings create;
    set_field(create.BasePath, "/b/old");
    set_field(create.UpdatedPath, "/b/new");
    set_field(create.Delta, "/b/new.dlt");
    set_field(create.ReportFile, "/b/report.log");
    create.IsFile = JOB_DIRECTORY;
    create.Algorithms[2] = 1;
    create.Stamp = 0;
    create.LogFileMode = LOG_APPEND;
    create.ReportLevel = 3;
    set_field(create.Pattern, "*.so");
    create.MatchNamesAction = 1;
    set_field(create.CustomMatchFile, "/tmp/qralith-match-page.txt");
    ASSERT_TRUE(remember_job(create));

    JobSettings restore;
    restore.Action = 1;
    set_field(restore.BasePath, "/r/old");
    set_field(restore.UpdatedPath, "/r/out");
    set_field(restore.Delta, "/r/in.dlt");
    restore.FailureAction = FAILURE_ABORT;
    ASSERT_TRUE(remember_job(restore));

    JobSettings loaded;
    ASSERT_TRUE(recall_last_job(0, loaded));
    EXPECT_EQ(loaded.Action, 0);
    EXPECT_STREQ(loaded.BasePath, "/b/old");
    EXPECT_STREQ(loaded.Delta, "/b/new.dlt");
    EXPECT_STREQ(loaded.ReportFile, "/b/report.log");
    EXPECT_STREQ(loaded.Pattern, "*.so");
    EXPECT_EQ(loaded.IsFile, JOB_DIRECTORY);
    EXPECT_EQ(loaded.Algorithms[2], 1);
    EXPECT_EQ(loaded.Stamp, 0);
    EXPECT_EQ(loaded.LogFileMode, LOG_APPEND);
    EXPECT_EQ(loaded.ReportLevel, 3);
    // The page's own match file went with its sheet and is not brought back.
    EXPECT_EQ(loaded.MatchNamesAction, 1);
    EXPECT_STREQ(loaded.CustomMatchFile, "");

    ASSERT_TRUE(recall_last_job(1, loaded));
    EXPECT_EQ(loaded.Action, 1);
    EXPECT_STREQ(loaded.Delta, "/r/in.dlt");
    EXPECT_EQ(loaded.FailureAction, FAILURE_ABORT);

    // The jobs' names joined the recent lists, the newest first.
    EXPECT_EQ(recent_names(RECENT_BASE), (std::vector<std::string>{"/r/old", "/b/old"}));
    EXPECT_EQ(recent_names(RECENT_REPORT), (std::vector<std::string>{"/b/report.log"}));
}

TEST(RememberedJobs, HandEditedValuesOutOfRangeFallBackToTheDefaults) {
    ConfigHome home;
    const std::string file = recent_names_file();
    ASSERT_TRUE(profile_write_text(file, "Last Create", "IsFile", "7"));
    ASSERT_TRUE(profile_write_text(file, "Last Create", "ReportLevel", "-2"));
    ASSERT_TRUE(profile_write_text(file, "Last Create", "BasePath", "/kept"));
    JobSettings loaded;
    ASSERT_TRUE(recall_last_job(0, loaded));
    EXPECT_EQ(loaded.IsFile, JOB_SINGLE_FILE);
    EXPECT_EQ(loaded.ReportLevel, 1);
    EXPECT_STREQ(loaded.BasePath, "/kept");
}

}  // namespace
}  // namespace quoralith
