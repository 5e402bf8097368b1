// The job progress callback: error lines, per-file and per-candidate figures,
// statistics, the bar and its colours, and stop requests.
#include "coder/compact/compact.h"
#include "jobs/job_progress.h"

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "jobs/job_test_support.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

using test::RecordingView;
using test::ScratchDir;

std::string text_of(const std::string& path) {
    test::Bytes bytes = test::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

class JobProgressTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::use_utc();
        load_report_templates(templates_);
        ASSERT_TRUE(report_.open(path_, 2, 3));
    }
    std::string report_text() {
        report_.close();
        return text_of(path_);
    }
    ProgressRecord record(std::int16_t code, std::int16_t algorithm = 0) {
        ProgressRecord r;
        r.code = code;
        r.first_path = "base/a.bin";
        r.second_path = "new/a.bin";
        r.output_path = "delta/a.bin";
        r.algorithm = algorithm;
        r.first_size = 1000;
        r.second_size = 1000;
        return r;
    }

    ReportTemplates templates_;
    ScratchDir dir_;
    std::string path_ = dir_.file("report.txt");
    ReportFile report_{templates_};
    test::StepClock clock_;
    RecordingView view_;
    JobProgress job_{report_, &view_, clock_.source()};
};

TEST(Percentages, TruncateEachFigureOnItsOwn) {
    Percentages p = compute_percentages(3, 1, 0);
    EXPECT_EQ(p.ratio, "33");
    EXPECT_EQ(p.saving, "66") << "ratio and saving need not add up to 100";
    EXPECT_EQ(p.relative_ratio, "33");
    EXPECT_EQ(p.relative_saving, "66");

    p = compute_percentages(1000, 300, 100);
    EXPECT_EQ(p.ratio, "30");
    EXPECT_EQ(p.relative_ratio, "20");
    EXPECT_EQ(p.relative_saving, "80");

    p = compute_percentages(1000, 100, 400);
    EXPECT_EQ(p.relative_ratio, "0");
    EXPECT_EQ(p.relative_saving, "100+");
    p = compute_percentages(1000, 100, 100);
    EXPECT_EQ(p.relative_ratio, "0") << "growth equal to the delta leaves nothing";

    for (auto [updated, delta] : {std::pair<long, long>{1000, 1000}, {1000, 1200}, {0, 0}}) {
        p = compute_percentages(updated, delta, 0);
        EXPECT_EQ(p.saving + p.ratio + p.relative_saving + p.relative_ratio, "********");
    }
    // Totals past 2 GiB stay exact.
    p = compute_percentages(std::int64_t{1} << 40, std::int64_t{1} << 39, 0);
    EXPECT_EQ(p.ratio, "50");
}

TEST(ClockText, HasTheFixedTwentyFourCharacterForm) {
    test::use_utc();
    EXPECT_EQ(clock_text(test::T0), "Mon Dec  7 09:05:00 2026");
    EXPECT_EQ(clock_text(test::T0 + 86400 * 10 + 3661), "Thu Dec 17 10:06:01 2026");
}

TEST_F(JobProgressTest, ErrorsAreCountedAndShownOnceEachInOrder) {
    job_.start(true, 0x80);
    EXPECT_EQ(job_progress_callback(job_, record(-302)), ANSWER_BY_FLAGS);
    clock_.now += 2;
    ProgressRecord second = record(-202);
    second.output_path = "delta/b.bin";
    EXPECT_EQ(job_progress_callback(job_, second), ANSWER_BY_FLAGS);
    EXPECT_EQ(job_.statistics.errors, 2);
    // The fixed line as it is, for programs that read reports; its reason
    // in the command line's words under it, naming the input when the input
    // is what is wrong.
    const std::string missing = std::strerror(ENOENT);
    const std::string first_line = "At 09:05:00 ***ERROR*** 302 building file: delta/a.bin";
    const std::string first_reason = "    cannot create the output file: " + missing;
    const std::string second_line = "At 09:05:02 ***ERROR*** 202 building file: delta/b.bin";
    const std::string second_reason = "    new/a.bin: cannot open the input file: " + missing;
    EXPECT_EQ(view_.texts[IDC_PROGRESS_ERRORS],
              first_line + "\r\n" + first_reason + "\r\n" + second_line + "\r\n" + second_reason + "\r\n");
    EXPECT_EQ(report_text(), first_line + "\n" + first_reason + "\n" + second_line + "\n" + second_reason + "\n");
}

// Every error code gets words, as on the command line: the record's own
// detail where it has one, and a wrong Base names the delta it came from.
TEST_F(JobProgressTest, EveryErrorLineIsFollowedByItsReason) {
    job_.start(false, 1);
    ProgressRecord wrong_base = record(ERR_WRONG_BASE);
    wrong_base.second_path = "delta/a.dlt";
    wrong_base.output_path = "restored/a.bin";
    job_progress_callback(job_, wrong_base);
    ProgressRecord damaged = record(ERR_ARCHIVE_DAMAGED);
    damaged.detail = "the archive is damaged at offset 40: a record runs past its end";
    damaged.second_path = damaged.output_path;
    job_progress_callback(job_, damaged);
    ProgressRecord stopped = record(ERR_STOPPED);
    job_progress_callback(job_, stopped);
    EXPECT_EQ(job_.statistics.errors, 3);
    const std::string box = view_.texts[IDC_PROGRESS_ERRORS];
    EXPECT_NE(box.find("***ERROR*** 4 building file: restored/a.bin\r\n"
                       "    delta/a.dlt: the delta was made from a different base file\r\n"),
              std::string::npos)
        << box;
    EXPECT_NE(box.find("***ERROR*** 48 building file: delta/a.bin\r\n"
                       "    the archive is damaged at offset 40: a record runs past its end\r\n"),
              std::string::npos)
        << box;
    EXPECT_NE(box.find("***ERROR*** 400 building file: delta/a.bin\r\n    stopped by the user\r\n"),
              std::string::npos)
        << box;
    EXPECT_TRUE(job_.stop_reported);
    const std::string report = report_text();
    EXPECT_NE(report.find("    delta/a.dlt: the delta was made from a different base file\n"), std::string::npos);
}

// A failed file that the failure action replaced by a copy of the Base says
// so under its reason: the output holds the Base, not what was asked for.
TEST_F(JobProgressTest, ACopyOfTheBaseInTheOutputsPlaceIsSaidInWords) {
    job_.start(false, 1);
    ProgressRecord wrong_base = record(ERR_WRONG_BASE);
    wrong_base.output_path = "restored/a.bin";
    EXPECT_EQ(job_progress_callback(job_, wrong_base), ANSWER_BY_FLAGS);
    ProgressRecord copied = record(PM_BASE_COPIED);
    copied.output_path = "restored/a.bin";
    copied.result = 1000;
    EXPECT_EQ(job_progress_callback(job_, copied), ANSWER_SKIP);
    EXPECT_EQ(job_.statistics.errors, 1) << "the copy is no second error";
    const std::string box = view_.texts[IDC_PROGRESS_ERRORS];
    EXPECT_NE(box.find("    new/a.bin: the delta was made from a different base file\r\n"
                       "    A copy of the Base was written in place of the Updated file.\r\n"),
              std::string::npos)
        << box;
    EXPECT_NE(report_text().find("    A copy of the Base was written in place of the Updated file.\n"),
              std::string::npos);
    EXPECT_EQ(base_copy_text(true), "A copy of the Base was written in place of the Delta file.");
}

TEST_F(JobProgressTest, CreateFileWithTwoCandidatesReportsEachAndKeepsTheSmallest) {
    job_.start(true, 0x81);  // algorithms 0 and 7
    EXPECT_EQ(job_progress_callback(job_, record(PM_FILE_START)), ANSWER_SKIP);
    ProgressRecord read = record(PM_READ_INPUT, 0);
    read.position = 500;
    job_progress_callback(job_, read);
    read.position = 5000;  // past the end: the bar stops at 100
    job_progress_callback(job_, read);
    clock_.now += 3;
    ProgressRecord candidate = record(PM_CANDIDATE_DONE, 0);
    candidate.result = 400;
    job_progress_callback(job_, candidate);
    job_progress_callback(job_, record(PM_READ_BASE, 7));
    clock_.now += 1;
    ProgressRecord done = record(PM_FILE_DONE, 7);
    done.result = 250;
    job_progress_callback(job_, done);

    EXPECT_EQ(view_.calls, (std::vector<std::string>{"reset blue", "hide", "reset green", "set 50 green",
                                                     "set 100 green", "hide", "reset blue", "hide"}));
    EXPECT_EQ(view_.texts[IDC_PROGRESS_CURRENT_FILE], "delta/a.bin");
    EXPECT_EQ(job_.statistics.base_total, 1000);
    EXPECT_EQ(job_.statistics.updated_total, 1000);
    EXPECT_EQ(job_.statistics.delta_total, 250);
    EXPECT_EQ(report_text(),
              "At 09:05:00 2026 started: file delta/a.bin\n"
              "  Alg 0 time 3 compression: 60% (40%), relative: 60%(40%)\n"
              "  Alg 7 time 1 compression: 75% (25%), relative: 75%(25%)\n"
              "At 09:05:04 ended:   file delta/a.bin\n"
              "Time 4 sec. compression: 75% (25%), relative: 75%(25%)\n");
}

// The compact candidate is told by the letter its kept-all name carries.
TEST_F(JobProgressTest, TheCompactCandidateIsReportedAsC) {
    job_.start(true, 0x80);
    job_progress_callback(job_, record(PM_FILE_START));
    job_progress_callback(job_, record(PM_READ_INPUT, 7));
    clock_.now += 1;
    ProgressRecord candidate = record(PM_CANDIDATE_DONE, 7);
    candidate.result = 400;
    job_progress_callback(job_, candidate);
    job_progress_callback(job_, record(PM_READ_INPUT, kCompactAlgorithm));
    clock_.now += 2;
    ProgressRecord done = record(PM_FILE_DONE, kCompactAlgorithm);
    done.result = 250;
    job_progress_callback(job_, done);
    EXPECT_NE(report_text().find("  Alg c time 2 compression: 75% (25%)"), std::string::npos) << report_text();
}

TEST_F(JobProgressTest, ColoursAlternateGreenAndYellowUntilTheLastAlgorithm) {
    job_.start(true, 0x0B);  // algorithms 0, 1 and 3
    job_progress_callback(job_, record(PM_FILE_START));
    for (std::int16_t algorithm : {0, 0, 1, 3}) job_progress_callback(job_, record(PM_WRITE_OUTPUT, algorithm));
    EXPECT_EQ(view_.calls,
              (std::vector<std::string>{"reset blue", "hide", "reset green", "hide", "reset yellow", "hide",
                                        "reset blue"}));
}

TEST_F(JobProgressTest, FileWithoutGainAndFileOutgrownByItsGrowth) {
    job_.start(true, 0x01);
    job_progress_callback(job_, record(PM_FILE_START));
    ProgressRecord bigger = record(PM_FILE_DONE, 0);
    bigger.result = 1200;
    job_progress_callback(job_, bigger);

    ProgressRecord grown = record(PM_FILE_START);
    grown.first_size = 100;
    grown.second_size = 1000;
    job_progress_callback(job_, grown);
    ProgressRecord grown_done = grown;
    grown_done.code = PM_FILE_DONE;
    grown_done.result = 300;
    job_progress_callback(job_, grown_done);

    EXPECT_EQ(job_.statistics.growth_total, 900);
    EXPECT_EQ(job_.statistics.delta_total, 1500);
    std::string text = report_text();
    EXPECT_NE(text.find("Time 0 sec. compression: **% (**%), relative: **%(**%)\n"), std::string::npos) << text;
    EXPECT_NE(text.find("Time 0 sec. compression: 70% (30%), relative: 100+%(0%)\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" time ** compression"), std::string::npos)
        << "a candidate whose start was not seen has no time";
}

TEST_F(JobProgressTest, RestoreCountsTheRebuiltSizeAndLeavesTheBarAlone) {
    job_.start(false, 0x80);
    ProgressRecord start = record(PM_FILE_START);
    start.second_size = 80;  // the delta
    job_progress_callback(job_, start);
    ProgressRecord read = start;
    read.code = PM_READ_INPUT;
    read.algorithm = -2;
    read.position = 40;
    job_progress_callback(job_, read);
    ProgressRecord done = start;
    done.code = PM_FILE_DONE;
    done.result = 1100;
    job_progress_callback(job_, done);

    EXPECT_EQ(view_.calls, (std::vector<std::string>{"reset blue", "hide"}));
    EXPECT_EQ(job_.statistics.updated_total, 1100);
    EXPECT_EQ(job_.statistics.delta_total, 80);
    EXPECT_EQ(job_.statistics.growth_total, 100);
    std::string text = report_text();
    EXPECT_EQ(text.find("Alg"), std::string::npos) << "no candidate lines on restore";
    EXPECT_NE(text.find("Time 0 sec. compression: 92% (7%), relative: 100+%(0%)\n"), std::string::npos) << text;
}

TEST_F(JobProgressTest, AStopOnceSeenAnswersEveryLaterRecord) {
    view_.stop_at_drain = 2;
    view_.forget_stop = true;
    job_.start(true, 1);
    EXPECT_EQ(job_progress_callback(job_, record(PM_FILE_START)), ANSWER_SKIP);
    EXPECT_EQ(job_progress_callback(job_, record(PM_READ_BASE)), ANSWER_STOP);
    EXPECT_EQ(job_progress_callback(job_, record(PM_READ_BASE)), ANSWER_STOP);
    EXPECT_EQ(job_progress_callback(job_, record(ERR_STOPPED)), ANSWER_STOP);
    EXPECT_TRUE(job_.stop_requested);
}

TEST_F(JobProgressTest, WorksWithoutADisplay) {
    JobProgress quiet(report_, nullptr, clock_.source());
    quiet.start(true, 1);
    EXPECT_EQ(job_progress_callback(quiet, record(PM_FILE_START)), ANSWER_SKIP);
    EXPECT_EQ(job_progress_callback(quiet, record(-213)), ANSWER_BY_FLAGS);
    EXPECT_EQ(quiet.statistics.errors, 1);
    EXPECT_NE(report_text().find("***ERROR*** 213"), std::string::npos);
}

}  // namespace
}  // namespace quoralith
