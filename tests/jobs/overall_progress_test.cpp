// The whole job's progress: the work counted before a job runs (by the walk's
// own rules), the figures the callback keeps as the records come, the
// estimate of the time left, and the words shown for them.
#include "jobs/overall_progress.h"

#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "jobs/job_progress.h"
#include "jobs/job_test_support.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

namespace fs = std::filesystem;
using test::RecordingView;
using test::ScratchDir;

class CountJobWorkTest : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(dir_.path() / "new" / "sub" / "deeper");
        fs::create_directories(dir_.path() / "base");
        test::write_file(dir_.file("new/a.bin"), test::random_bytes(1000, 1));
        test::write_file(dir_.file("new/b.txt"), test::random_bytes(20, 2));
        test::write_file(dir_.file("new/sub/c.bin"), test::random_bytes(300, 3));
        test::write_file(dir_.file("new/sub/deeper/d.bin"), test::random_bytes(7, 4));
    }
    std::string path(const char* name) { return dir_.file(name); }
    ScratchDir dir_;
};

TEST_F(CountJobWorkTest, ADirectoryIsCountedAsTheWalkWillGoThroughIt) {
    JobWork all = count_job_work(OP_CREATE_DIR, path("base"), path("new"), path("delta"), "", EF_INCLUDE_SUBDIRS);
    EXPECT_EQ(all.files, 4);
    EXPECT_EQ(all.bytes, 1000 + 20 + 300 + 7);

    JobWork top = count_job_work(OP_CREATE_DIR, path("base"), path("new"), path("delta"), "", 0);
    EXPECT_EQ(top.files, 2) << "no subdirectories without the flag";
    JobWork pattern = count_job_work(OP_CREATE_DIR, path("base"), path("new"), path("delta"), "*.BIN",
                                     EF_INCLUDE_SUBDIRS);
    EXPECT_EQ(pattern.files, 3) << "the pattern folds case, as the walk's does";
    EXPECT_EQ(pattern.bytes, 1000 + 300 + 7);

    // A pipe is passed over, never started; an output tree inside the walked
    // tree is not walked.
    ASSERT_EQ(mkfifo(path("new/pipe.bin").c_str(), 0600), 0);
    fs::create_directories(dir_.path() / "new" / "out");
    test::write_file(dir_.file("new/out/old.bin"), test::random_bytes(50, 5));
    JobWork guarded = count_job_work(OP_CREATE_DIR, path("base"), path("new"), path("new/out"), "",
                                     EF_INCLUDE_SUBDIRS);
    EXPECT_EQ(guarded.files, 4);
    EXPECT_EQ(guarded.bytes, 1327);
}

TEST_F(CountJobWorkTest, SingleFilesMergedBaseFilesAndArchives) {
    JobWork file = count_job_work(OP_RESTORE_FILE, path("base/x"), path("new/a.bin"), path("out"), "", 0);
    EXPECT_EQ(file.files, 1);
    EXPECT_EQ(file.bytes, 1000);

    // A restore with merging also copies every Base file without a delta.
    test::write_file(dir_.file("base/a.bin"), test::random_bytes(10, 6));
    test::write_file(dir_.file("base/only.bin"), test::random_bytes(40, 7));
    const EngineFlags merge = EF_INCLUDE_SUBDIRS | EF_MERGE;
    JobWork merged = count_job_work(OP_RESTORE_DIR, path("base"), path("new"), path("out"), "", merge);
    EXPECT_EQ(merged.files, 5);
    EXPECT_EQ(merged.bytes, 1327 + 40);
    // In place there is nothing to merge.
    EXPECT_EQ(count_job_work(OP_RESTORE_DIR, path("base"), path("new"), path("base"), "", merge).files, 4);

    // A walked tree held in an archive is not unpacked to be counted.
    JobWork archive = count_job_work(OP_CREATE_DIR, path("base"), path("new.qa"), path("out"), "",
                                     EF_ARCHIVE_UPDATED);
    EXPECT_EQ(archive.files, OverallProgress::UNKNOWN);
    EXPECT_EQ(archive.bytes, OverallProgress::UNKNOWN);
    EXPECT_EQ(count_job_work(OP_CREATE_ARCHIVED, path("base"), path("new"), path("t.dlt"), "", 0).files,
              OverallProgress::UNKNOWN);
}

TEST(OverallProgressText, FilesBytesTimesAndTheEstimate) {
    OverallProgress p;
    p.files_done = 763;
    p.files_total = 3000;
    p.bytes_done = 1536;
    p.bytes_total = std::int64_t{48} << 20;
    EXPECT_EQ(overall_files_text(p), "763 of 3000 files");
    EXPECT_EQ(overall_bytes_text(p), "1.5 KiB of 48.0 MiB");
    p.files_total = p.bytes_total = OverallProgress::UNKNOWN;
    p.files_done = 1;
    EXPECT_EQ(overall_files_text(p), "1 file");
    EXPECT_EQ(overall_bytes_text(p), "1.5 KiB");
    EXPECT_EQ(time_left_text(p), "not known");
    EXPECT_EQ(size_text(0), "0 bytes");
    EXPECT_EQ(size_text(1023), "1023 bytes");
    EXPECT_EQ(size_text(std::int64_t{5} << 30), "5.0 GiB");
    EXPECT_EQ(duration_text(4), "0:04");
    EXPECT_EQ(duration_text(729), "12:09");
    EXPECT_EQ(duration_text(3723), "1:02:03");

    // The estimate: the time run, scaled by the share left.
    OverallProgress q;
    q.files_total = 10;
    q.bytes_total = 4000;
    q.bytes_done = 1000;
    q.elapsed_seconds = 1;
    EXPECT_EQ(estimate_seconds_left(q), OverallProgress::UNKNOWN) << "too early to tell";
    q.elapsed_seconds = 6;
    EXPECT_EQ(estimate_seconds_left(q), 18);
    q.seconds_left = 18;
    EXPECT_EQ(time_left_text(q), "about 0:18");
    q.bytes_done = 0;
    EXPECT_EQ(estimate_seconds_left(q), OverallProgress::UNKNOWN);
    // Empty files only: the files tell the share.
    q.bytes_total = 0;
    q.files_done = 5;
    EXPECT_EQ(overall_permille(q), 500);
    EXPECT_EQ(estimate_seconds_left(q), 6);
}

// The callback's figures as records come: within a file the bytes move with
// the reads of each pass, a file counts once it ended (failed or done), and
// the end counts the last file unless the job was stopped.
TEST(OverallProgressCallback, BytesMoveWithTheReadsAndFilesWithTheirEnds) {
    test::use_utc();
    ReportTemplates templates;
    load_report_templates(templates);
    ReportFile report(templates);
    test::StepClock clock;
    RecordingView view;
    JobProgress job(report, &view, clock.source());
    job.start(true, 0x81);
    begin_overall(job, JobWork{2, 3000}, clock.now, 2);
    ASSERT_EQ(view.overall.size(), 1u);
    EXPECT_EQ(view.overall.back().files_total, 2);

    auto send = [&](std::int16_t code, std::int32_t second_size, std::int16_t algorithm = 0,
                    std::int32_t position = 0) {
        ProgressRecord r;
        r.code = code;
        r.output_path = "d/a";
        r.second_size = second_size;
        r.first_size = second_size;
        r.algorithm = algorithm;
        r.position = position;
        r.result = second_size / 2;
        job_progress_callback(job, r);
    };
    send(PM_FILE_START, 1000);
    clock.now += 2;
    send(PM_READ_INPUT, 1000, 0, 500);  // half of the first of two passes
    EXPECT_EQ(view.overall.back().bytes_done, 250);
    EXPECT_EQ(view.overall.back().elapsed_seconds, 2);
    EXPECT_EQ(view.overall.back().seconds_left, 22);
    send(PM_CANDIDATE_DONE, 1000, 0);
    send(PM_READ_INPUT, 1000, 7, 100);  // the second pass starts over its input
    EXPECT_EQ(view.overall.back().bytes_done, 550);
    send(PM_READ_INPUT, 1000, 7, 0);  // a coder that reads again never runs backwards
    EXPECT_EQ(job.overall.bytes_done, 550);
    send(PM_FILE_DONE, 1000, 7);
    EXPECT_EQ(view.overall.back().files_done, 1);
    EXPECT_EQ(view.overall.back().bytes_done, 1000);

    send(PM_FILE_START, 2000);
    send(-302, 2000);  // a failed file has ended too
    EXPECT_EQ(view.overall.back().files_done, 2);
    EXPECT_EQ(view.overall.back().bytes_done, 3000);
    clock.now += 1;
    OverallProgress end = finish_overall(job, clock.now, false);
    EXPECT_EQ(end.seconds_left, 0);
    EXPECT_EQ(end.elapsed_seconds, 3);
    EXPECT_EQ(view.overall.back(), end);

    // Stopped in the middle of a file: that file is not done.
    job.start(false, 1);
    begin_overall(job, JobWork{2, 3000}, clock.now, 1);
    send(PM_FILE_START, 1000);
    send(PM_READ_INPUT, 1000, -2, 400);
    EXPECT_EQ(job.overall.bytes_done, 400);
    send(ERR_STOPPED, 1000);
    OverallProgress stopped = finish_overall(job, clock.now, true);
    EXPECT_EQ(stopped.files_done, 0);
    EXPECT_EQ(stopped.seconds_left, OverallProgress::UNKNOWN);
    EXPECT_EQ(time_left_text(stopped), "none, stopped");
    EXPECT_EQ(time_left_text(end), "0:00");
}

}  // namespace
}  // namespace quoralith
