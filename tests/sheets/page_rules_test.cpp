// The toolkit-free rules under the sheets and the wizard: validation and its
// path changes, the pages' rules, help topics and the match file.
#include "sheets/job_validation.h"
#include "sheets/match_file.h"
#include "sheets/page_rules.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include "support/test_support.h"

namespace quoralith {
namespace {

TEST(JobValidation, ExtensionsFollowTheLastComponent) {
    EXPECT_TRUE(has_extension("/a/delta.dlt"));
    EXPECT_TRUE(has_extension("/a/delta."));
    EXPECT_TRUE(has_extension(".hidden"));
    EXPECT_FALSE(has_extension("/a.d/delta"));
    EXPECT_FALSE(has_extension("delta"));
    EXPECT_EQ(without_trailing_separator("/a/b/"), "/a/b");
    EXPECT_EQ(without_trailing_separator("/a/b//"), "/a/b/");  // one only
    EXPECT_EQ(without_trailing_separator("/"), "/");
}

TEST(JobValidation, PathChangesStayWhenALaterCheckFails) {
    JobSettings job;
    set_field(job.BasePath, "/no/such/base/");
    set_field(job.UpdatedPath, "/no/such/updated");
    set_field(job.Delta, "/no/such/delta/");
    set_field(job.ReportFile, "/tmp/report");
    ValidationResult result = validate_full(job);
    EXPECT_EQ(result.code, INVALID_FILE_BASE_MISSING);
    ASSERT_EQ(result.messages.size(), 1u);
    EXPECT_EQ(std::string(job.BasePath), "/no/such/base");
    EXPECT_EQ(std::string(job.Delta), "/no/such/delta.dlt");
    EXPECT_EQ(std::string(job.ReportFile), "/tmp/report.log");
}

// A mistyped Base tree would give deltas of every file whole: the desktop's
// Directory and archived-directory create jobs are refused with words, as a
// single file's is.
TEST(JobValidation, ATreeJobWithAMissingBaseIsRefusedInWords) {
    test::ScratchDir dir;
    std::filesystem::create_directories(dir.file("new"));
    for (int kind : {JOB_DIRECTORY, JOB_ARCHIVED_DIRECTORY}) {
        JobSettings job;
        job.IsFile = kind;
        set_field(job.BasePath, dir.file("odl"));
        set_field(job.UpdatedPath, dir.file("new"));
        set_field(job.Delta, dir.file("delta"));
        const ValidationResult result = validate_full(job);
        EXPECT_EQ(result.code, INVALID_DIR_BASE_MISSING) << kind;
        EXPECT_EQ(result.messages, std::vector<std::string>{"Base name does not exist"}) << kind;
        std::filesystem::create_directories(dir.file("odl"));
        EXPECT_TRUE(validate_full(job).ok()) << kind;
        std::filesystem::remove(dir.file("odl"));
    }
}

TEST(JobValidation, ADeltaNameAtTheFieldLimitIsCutNotOverrun) {
    JobSettings job;
    set_field(job.BasePath, "/b");
    set_field(job.UpdatedPath, "/u");
    set_field(job.Delta, std::string(127, 'd'));
    validate_full(job);
    EXPECT_EQ(std::string(job.Delta).size(), 127u);
}

TEST(JobValidation, ShortValidationNeedsAnAlgorithmOnlyOnCreate) {
    JobSettings job;
    set_field(job.BasePath, "/b");
    set_field(job.UpdatedPath, "/u");
    set_field(job.Delta, "/d");
    for (int& element : job.Algorithms) element = 0;
    EXPECT_EQ(validate_short(job).code, INVALID_NO_ALGORITHM);
    EXPECT_EQ(validate_short(job).messages.at(0), "At least one algorithm must be specified");
    job.Action = 1;
    EXPECT_TRUE(validate_short(job).ok());
}

TEST(PageRules, GeneralPageShowsArchivesByKind) {
    JobSettings job;
    job.AchiveBase = job.AchiveDelta = 1;
    GeneralPageState single = general_page_state(job);
    EXPECT_FALSE(single.directory_options_enabled);
    EXPECT_FALSE(single.base_archivator_visible);
    // A record from the history may break the page's invariants; the marks
    // still show what the record says.
    EXPECT_TRUE(single.base_archivator_checked);
    job.IsFile = JOB_DIRECTORY;
    job.SelfExtract = 1;
    GeneralPageState directory = general_page_state(job);
    EXPECT_TRUE(directory.base_archivator_visible);
    EXPECT_FALSE(directory.delta_archivator_visible);  // a self-extractor is one file
    EXPECT_TRUE(directory.self_extract_checked);
    choose_job_kind(job, JOB_ARCHIVED_DIRECTORY);
    EXPECT_EQ(job.AchiveDelta, 0);
    EXPECT_EQ(job.AchiveBase, 1);
    EXPECT_EQ(delta_browse_kind(job), BrowseKind::File);
    EXPECT_EQ(base_browse_kind(job), BrowseKind::File);
    job.AchiveBase = 0;
    EXPECT_EQ(base_browse_kind(job), BrowseKind::Folder);
}

TEST(PageRules, HelpKeywordsOfTheRestoreSheet) {
    EXPECT_EQ(help_keyword(false, SheetPage::General, 0, false), "Restore/File/General");
    EXPECT_EQ(help_keyword(false, SheetPage::General, 1, false), "Restore/Directory/General");
    EXPECT_EQ(help_keyword(false, SheetPage::General, 2, false),
              "Restoring from Archived Directories and Delta Files");
    EXPECT_EQ(help_keyword(false, SheetPage::Advanced, 2, false), "Restore/Directory/Advanced");
    EXPECT_EQ(help_keyword(true, SheetPage::Advanced, 0, false), "Create Delta/Directory/Advanced");
    EXPECT_EQ(help_keyword(false, SheetPage::Advanced, 0, true), "Play  Button");
}

TEST(MatchFile, EntriesAndNamesInsideADirectory) {
    EXPECT_EQ(match_entry_text("/a", "/b"), "/a  ;   /b");
    EXPECT_EQ(match_entry_text(std::string(200, 'a'), std::string(200, 'b')).size(), MATCH_ENTRY_MAX);
    EXPECT_EQ(entry_name_inside("/data/sub/a.txt", "/data"), "/sub/a.txt");
    EXPECT_EQ(entry_name_inside("/database/x", "/data"), "base/x");
    EXPECT_FALSE(entry_name_inside("/dat", "/data").has_value());
    EXPECT_EQ(folder_of("/data/sub/a.txt"), "/data/sub");
    EXPECT_EQ(folder_of("/a.txt"), "");
}

TEST(MatchFile, AFailedWriteLeavesTheOldFile) {
    test::ScratchDir dir;
    const std::string path = dir.file("match.txt");
    ASSERT_TRUE(write_match_file(path, {"/a  ;   /b", "/c  ;   /d"}));
    test::Bytes written = test::read_file(path);
    EXPECT_EQ(std::string(written.begin(), written.end()), "/a  ;   /b\n/c  ;   /d\n");
    // A folder that refuses new files: the write fails and the file stays.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
    bool wrote = write_match_file(path, {"/x  ;   /y"});
    ::chmod(dir.path().c_str(), 0700);
    if (::geteuid() != 0) {
        EXPECT_FALSE(wrote);
    }
    if (!wrote) {
        EXPECT_EQ(test::read_file(path), written);
    }
}

}  // namespace
}  // namespace quoralith
