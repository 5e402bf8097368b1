// The job runner: the engine request a job makes, the report it writes at each
// level, the display's summary, stops, refusals, and real jobs on real files.
#include "jobs/run_job.h"
#include "support/positional_engine.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>

#include "jobs/job_test_support.h"
#include "support/test_support.h"

namespace quoralith {
namespace {

namespace fs = std::filesystem;
using test::RecordingView;
using test::ScratchDir;

std::string text_of(const std::string& path) {
    test::Bytes bytes = test::read_file(path);
    return std::string(bytes.begin(), bytes.end());
}

// An engine that remembers its request and plays a script of records, each
// taking one second; it stops early when the callback answers ANSWER_STOP.
struct ScriptedEngine {
    struct Call {
        int type = 0;
        std::string first, second, output, pattern, match_file;
        EngineFlags flags = 0;
        AlgorithmMask mask = 0;
    };
    std::vector<ProgressRecord> script;
    std::vector<std::int16_t> answers;
    std::vector<Call> calls;
    test::StepClock* clock = nullptr;
    int result = 0;
    // Whether a stop ends the current file with an ERR_STOPPED record; a stop
    // answered at a file's start ends the walk without one.
    bool tell_stop = true;

    EngineEntry entry() {
        return test::positional_engine([this](int type, const std::string& first, const std::string& second, std::string& output,
                      const std::string& pattern, const std::string& match_file, EngineFlags flags,
                      AlgorithmMask mask, const ProgressCallback& callback) {
            calls.push_back({type, first, second, output, pattern, match_file, flags, mask});
            for (const ProgressRecord& r : script) {
                if (clock) clock->now += 1;
                std::int16_t answer = callback(r);
                answers.push_back(answer);
                if (answer == ANSWER_STOP) {
                    ProgressRecord stopped = r;
                    stopped.code = ERR_STOPPED;
                    if (tell_stop) answers.push_back(callback(stopped));
                    break;
                }
            }
            return result;
        });
    }
};

ProgressRecord rec(std::int16_t code, const char* output, std::int32_t first, std::int32_t second,
                   std::int32_t result = 0, std::int16_t algorithm = 0, std::int32_t position = 0) {
    ProgressRecord r;
    r.code = code;
    r.output_path = output;
    r.first_size = first;
    r.second_size = second;
    r.result = result;
    r.algorithm = algorithm;
    r.position = position;
    return r;
}

class RunJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::use_utc();
        load_report_templates(templates_);
        engine_.clock = &clock_;
        job_.Action = 0;
        job_.IsFile = JOB_DIRECTORY;
        set_field(job_.BasePath, "/b");
        set_field(job_.UpdatedPath, "/u");
        set_field(job_.Delta, "/d");
        set_field(job_.Pattern, "*.bin");
        job_.Algorithms[0] = 1;  // 0 and 7
        set_field(job_.ReportFile, report_.c_str());
        job_.LogFileMode = LOG_OVERWRITE;
        job_.ProgressWindow = &view_;
        // Two files: one with two candidates, one that fails.
        engine_.script = {
            rec(PM_FILE_START, "/d/a", 1000, 1000),
            rec(PM_READ_INPUT, "/d/a", 1000, 1000, 0, 0, 500),
            rec(PM_CANDIDATE_DONE, "/d/a", 1000, 1000, 400, 0),
            rec(PM_READ_INPUT, "/d/a", 1000, 1000, 0, 7, 0),
            rec(PM_FILE_DONE, "/d/a", 1000, 1000, 250, 7),
            rec(PM_FILE_START, "/d/b", 10, 20),
            rec(-302, "/d/b", 10, 20),
        };
    }
    int run() { return JobRunner(templates_, engine_.entry(), clock_.source()).run(job_); }

    ReportTemplates templates_;
    ScratchDir dir_;
    std::string report_ = dir_.file("report.txt");
    test::StepClock clock_;
    ScriptedEngine engine_;
    RecordingView view_;
    JobSettings job_;
};

const char* const LEVEL_3_REPORT =
    "========S T A R T   O F   R E P O R T========\n"
    "Quoralith process started at Mon Dec  7 09:05:00 2026 using parameters:\n"
    "Operation: Create  Type: Directory\n"
    "Algorithms:  0 7\n"
    "Base:    /b\n"
    "Updated: /u\n"
    "Delta:   /d\n"
    "At 09:05:01 2026 started: file /d/a\n"
    "  Alg 0 time 1 compression: 60% (40%), relative: 60%(40%)\n"
    "  Alg 7 time 1 compression: 75% (25%), relative: 75%(25%)\n"
    "At 09:05:05 ended:   file /d/a\n"
    "Time 4 sec. compression: 75% (25%), relative: 75%(25%)\n"
    "At 09:05:06 2026 started: file /d/b\n"
    "At 09:05:07 ***ERROR*** 302 building file: /d/b\n"
    "    cannot create the output file: No such file or directory\n"
    "Quoralith process ended   at Mon Dec  7 09:05:07 2026\n"
    "!!! 1 error(s) detected !!!\n"
    "\n"
    "Quoralith statistics\n"
    "Time: 7 sec. compression: 75% (25%), relative: 75%(25%)\n"
    "========E N D   O F   R E P O R T==========\n";

TEST_F(RunJobTest, ReportLevelsOneToThree) {
    job_.ReportLevel = 3;
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(text_of(report_), LEVEL_3_REPORT);

    std::string level3 = LEVEL_3_REPORT;
    auto without = [](std::string text, const char* prefix) {
        std::string out;
        std::size_t start = 0;
        while (start < text.size()) {
            std::size_t end = text.find('\n', start) + 1;
            std::string line = text.substr(start, end - start);
            if (line.rfind(prefix, 0) != 0) out += line;
            start = end;
        }
        return out;
    };
    std::string level2 = without(level3, "  Alg ");
    job_.ReportLevel = 2;
    clock_.now = test::T0;
    EXPECT_EQ(run(), 0);
    // Without the two candidate lines nothing else moves.
    EXPECT_EQ(text_of(report_), level2);

    job_.ReportLevel = 1;
    clock_.now = test::T0;
    EXPECT_EQ(run(), 0);
    std::string expected_level1 = level2;
    for (const char* per_file : {"At 09:05:01 2026", "At 09:05:05 ended", "Time 4 sec", "At 09:05:06 2026"})
        expected_level1 = without(expected_level1, per_file);
    EXPECT_EQ(text_of(report_), expected_level1);
    EXPECT_NE(expected_level1.find("***ERROR*** 302"), std::string::npos) << "errors are level 1";
}

// The Compact choice asks the engine for a compact delta: alone when no
// algorithm is ticked (mask 0), beside them otherwise; a restore never asks.
TEST_F(RunJobTest, CompactLevelAsksForACompactDeltaOnCreateOnly) {
    job_.CompactLevel = COMPACT_LEVEL_ON;
    for (int& algorithm : job_.Algorithms) algorithm = 0;
    run();
    ASSERT_EQ(engine_.calls.size(), 1u);
    EXPECT_TRUE(engine_.calls[0].flags & EF_COMPACT);
    EXPECT_EQ(engine_.calls[0].mask, 0);
    EXPECT_EQ(view_.texts[IDC_PROGRESS_ALGORITHMS], " c");
    job_.Action = 1;
    run();
    ASSERT_EQ(engine_.calls.size(), 2u);
    EXPECT_FALSE(engine_.calls[1].flags & EF_COMPACT);
}

TEST_F(RunJobTest, RequestCarriesTheJobsPathsFlagsAndMask) {
    job_.FailureAction = FAILURE_SKIP;
    job_.KeepAll = 1;
    job_.ClearOutputDir = 1;
    job_.IncludeSubdirs = 0;
    set_field(job_.CustomMatchFile, "/names.txt");
    run();
    ASSERT_EQ(engine_.calls.size(), 1u);
    const auto& call = engine_.calls[0];
    EXPECT_EQ(call.type, OP_CREATE_DIR);
    EXPECT_EQ(call.first, "/b");
    EXPECT_EQ(call.second, "/u");
    EXPECT_EQ(call.output, "/d");
    EXPECT_EQ(call.pattern, "*.bin");
    EXPECT_EQ(call.match_file, "") << "the job hands no name-matching file to the engine";
    EXPECT_EQ(call.flags, EF_KEEP_DATE | EF_KEEP_ATTRIBUTES | EF_FAIL_SKIP | EF_SHORT_STAMP | EF_KEEP_ALL |
                              EF_CLEAR_OUTPUT);
    EXPECT_EQ(call.mask, 0x81);

    job_.Action = 1;
    job_.IsFile = JOB_SINGLE_FILE;
    job_.FailureAction = FAILURE_COPY;
    job_.Merge = 1;
    job_.Stamp = 0;
    job_.KeepAll = 0;
    job_.ClearOutputDir = 0;
    job_.OriginDate = 0;
    job_.OriginAttrib = 0;
    run();
    ASSERT_EQ(engine_.calls.size(), 2u);
    EXPECT_EQ(engine_.calls[1].type, OP_RESTORE_FILE);
    EXPECT_EQ(engine_.calls[1].second, "/d");
    EXPECT_EQ(engine_.calls[1].output, "/u");
    EXPECT_EQ(engine_.calls[1].flags, EF_FAIL_COPY | EF_MERGE);
    EXPECT_EQ(text_of(report_).find("Algorithms:"), std::string::npos) << "restore reports no algorithms";

    job_.FailureAction = FAILURE_ABORT;
    job_.IsFile = JOB_DIRECTORY;
    run();
    EXPECT_EQ(engine_.calls[2].type, OP_RESTORE_DIR);
    EXPECT_EQ(engine_.calls[2].flags, EF_FAIL_STOP | EF_MERGE);
}

TEST_F(RunJobTest, DisplayShowsTheJobAndItsSummary) {
    EXPECT_EQ(run(), 0);
    EXPECT_EQ(view_.texts[IDC_PROGRESS_PATTERN], "*.bin");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_START_TIME], "Mon Dec  7 09:05:00 2026");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_OPERATION], "Create");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_TYPE], "Directory");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_ALGORITHMS], " 0 7");
    EXPECT_TRUE(view_.shown[IDC_PROGRESS_ALGORITHMS_LABEL]);
    EXPECT_EQ(view_.texts[IDC_PROGRESS_BASE], "/b");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_UPDATED], "/u");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_DELTA], "/d");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_END_TIME], "Mon Dec  7 09:05:07 2026");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_ERROR_COUNT], "1");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_TIME], "7");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_COMPRESSION], "75% (25%)");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_RELATIVE], "75% (25%)");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_TOTAL_BASE], "1000");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_TOTAL_UPDATED], "1000");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_TOTAL_DELTA], "250");
    for (int id : {1049, 1050, 1051, 1054, 1055, 1056, 1057, 1058, 1059, 1060, 1061, 1062, 1063, 1064, 1065, 1066})
        EXPECT_TRUE(view_.shown[id]) << id;
    EXPECT_FALSE(view_.shown[IDC_PROGRESS_CURRENT_FILE]);
    EXPECT_FALSE(view_.shown[IDC_PROGRESS_CURRENT_LABEL]);
    EXPECT_TRUE(view_.finished);
    EXPECT_EQ(view_.calls.back(), "finished");
}

TEST_F(RunJobTest, StopEndsTheJobButTheReportStillEnds) {
    view_.stop_at_drain = 3;
    job_.ReportLevel = 2;
    JobRunner runner(templates_, engine_.entry(), clock_.source());
    EXPECT_EQ(runner.run(job_), 0);
    EXPECT_TRUE(runner.stopped());
    // The third record is answered with a stop, and so is the engine's -400.
    EXPECT_EQ(engine_.answers, (std::vector<std::int16_t>{0, 0, -1, -1}));
    std::string text = text_of(report_);
    EXPECT_NE(text.find("***ERROR*** 400 building file: /d/a"), std::string::npos) << text;
    EXPECT_NE(text.find("!!! 1 error(s) detected !!!"), std::string::npos);
    EXPECT_TRUE(text.ends_with("========E N D   O F   R E P O R T==========\n"));
    EXPECT_TRUE(view_.finished);
}

// A stop answered at a file's start ends the walk with no error record: the
// job must still say, in the window and the report, that it was stopped and
// is not complete, and a job that ran to its end says so too.
TEST_F(RunJobTest, AStopBetweenFilesIsNoCleanRun) {
    job_.ReportLevel = 1;
    JobRunner complete(templates_, engine_.entry(), clock_.source());
    EXPECT_EQ(complete.run(job_), 0);
    EXPECT_FALSE(complete.stopped());
    EXPECT_EQ(view_.texts[IDC_PROGRESS_OUTCOME], "Completed: 2 files.");
    EXPECT_TRUE(view_.shown[IDC_PROGRESS_OUTCOME]);
    EXPECT_EQ(text_of(report_).find("Stopped"), std::string::npos);

    engine_.tell_stop = false;
    view_.drains = 0;
    view_.stop_at_drain = 6;  // the second file's start
    JobRunner runner(templates_, engine_.entry(), clock_.source());
    EXPECT_EQ(runner.run(job_), 0);
    EXPECT_TRUE(runner.stopped());
    EXPECT_EQ(runner.statistics().errors, 0);
    EXPECT_EQ(runner.overall().files_done, 1);
    EXPECT_EQ(view_.texts[IDC_PROGRESS_ERROR_COUNT], "0");
    EXPECT_EQ(view_.texts[IDC_PROGRESS_OUTCOME], std::string(STOPPED_TEXT) + " (1 file done).");
    EXPECT_TRUE(view_.shown[IDC_PROGRESS_OUTCOME]);
    // The fixed lines stay, the stop follows them in words.
    const std::string text = text_of(report_);
    EXPECT_NE(text.find("*** No errors detected ***\n"
                        "*** Stopped by the user: the job is not complete (1 file done) ***\n"),
              std::string::npos)
        << text;
    EXPECT_TRUE(text.ends_with("========E N D   O F   R E P O R T==========\n"));
}

TEST_F(RunJobTest, ARefusedRequestGivesItsReason) {
    engine_.result = ERR_BAD_REQUEST;
    engine_.script.clear();
    EXPECT_EQ(run(), ERR_BAD_REQUEST);
    EXPECT_EQ(view_.texts[IDC_PROGRESS_ERRORS],
              "At 09:05:00 ***ERROR*** 10 building file: /d\r\n    the output is the same as an input\r\n");
    // A refused job did nothing; it is neither complete nor stopped.
    EXPECT_FALSE(view_.shown[IDC_PROGRESS_OUTCOME]);
}

TEST_F(RunJobTest, LogModeOneAppendsZeroWritesNothingAndAMissingFolderOnlyLosesTheReport) {
    test::write_file(report_, {'o', 'l', 'd', '\n'});
    job_.LogFileMode = LOG_APPEND;
    run();
    std::string text = text_of(report_);
    EXPECT_EQ(text.rfind("old\n========S T A R T", 0), 0u);
    EXPECT_TRUE(text.ends_with("E N D   O F   R E P O R T==========\n"));

    job_.LogFileMode = LOG_NONE;
    run();
    EXPECT_EQ(text_of(report_), text);

    job_.LogFileMode = LOG_OVERWRITE;
    set_field(job_.ReportFile, dir_.file("missing/report.txt"));
    JobRunner runner(templates_, engine_.entry(), clock_.source());
    EXPECT_EQ(runner.run(job_), 0);
    EXPECT_TRUE(runner.report_failed());
    EXPECT_EQ(engine_.calls.size(), 3u) << "the job runs without its report";
    EXPECT_EQ(runner.statistics().errors, 1);
}

TEST_F(RunJobTest, ArchiveMarksReachTheEngineOnlyWhereTheKindOffersThem) {
    // A record from the history may carry every mark whatever its kind.
    job_.AchiveBase = job_.AchiveUpdated = job_.AchiveDelta = 1;
    job_.LogFileMode = LOG_APPEND;
    job_.IsFile = JOB_ARCHIVED_DIRECTORY;
    run();
    job_.IsFile = JOB_DIRECTORY;
    run();
    job_.IsFile = JOB_SINGLE_FILE;
    run();
    job_.Action = 1;
    job_.IsFile = JOB_ARCHIVED_DIRECTORY;
    run();
    ASSERT_EQ(engine_.calls.size(), 4u);
    constexpr EngineFlags marks = EF_ARCHIVE_BASE | EF_ARCHIVE_UPDATED | EF_ARCHIVE_DELTA;
    EXPECT_EQ(engine_.calls[0].type, OP_CREATE_ARCHIVED);
    EXPECT_EQ(engine_.calls[0].flags & marks, EF_ARCHIVE_BASE | EF_ARCHIVE_UPDATED)
        << "an archived-directory job's delta is always one file";
    EXPECT_EQ(engine_.calls[1].type, OP_CREATE_DIR);
    EXPECT_EQ(engine_.calls[1].flags & marks, marks);
    EXPECT_EQ(engine_.calls[2].type, OP_CREATE_FILE);
    EXPECT_EQ(engine_.calls[2].flags & marks, 0u);
    EXPECT_EQ(engine_.calls[3].type, OP_RESTORE_ARCHIVED);
    EXPECT_EQ(engine_.calls[3].second, "/d");
    EXPECT_EQ(engine_.calls[3].output, "/u");

    std::string text = text_of(report_);
    EXPECT_NE(text.find("Operation: Create  Type: Archived Directory\n"), std::string::npos);
    EXPECT_NE(text.find("Operation: Restore  Type: Archived Directory\n"), std::string::npos);
    EXPECT_EQ(view_.texts[IDC_PROGRESS_TYPE], WORD_ARCHIVED_DIRECTORY);
}

TEST_F(RunJobTest, AKindWithoutAnOperationIsRefusedWithoutCallingTheEngine) {
    job_.IsFile = 7;
    JobRunner runner(templates_, engine_.entry(), clock_.source());
    EXPECT_EQ(runner.run(job_), ERR_BAD_REQUEST);
    EXPECT_TRUE(engine_.calls.empty());
    EXPECT_EQ(runner.statistics().errors, 1);
    EXPECT_TRUE(view_.finished);
}

TEST_F(RunJobTest, ExplicitRequestReportsItsOwnPathsAndAlgorithms) {
    EngineRequest request;
    request.type = OP_RESTORE_FILE;
    request.first = "/" + std::string(200, 'b');
    request.second = "/delta";
    request.output = "/" + std::string(200, 'u');
    JobRunner runner(templates_, engine_.entry(), clock_.source());
    EXPECT_EQ(runner.run(job_, request), 0);
    ASSERT_EQ(engine_.calls.size(), 1u);
    EXPECT_EQ(engine_.calls[0].output, request.output) << "paths are never cut to the record's fields";
    std::string text = text_of(report_);
    EXPECT_NE(text.find("Operation: Restore  Type: File\n"), std::string::npos);
    EXPECT_NE(text.find("Updated: " + request.output + "\n"), std::string::npos);
    EXPECT_NE(text.find("Delta:   /delta\n"), std::string::npos);

    request.type = OP_CREATE_DIR;
    request.mask = 0x0201;
    runner.run(job_, request);
    EXPECT_NE(text_of(report_).find("Algorithms:  0 9\n"), std::string::npos);
}

// Real files through engine_run.
class RealJobTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::use_utc();
        load_report_templates(templates_);
        fs::create_directories(dir_.path() / "base" / "sub");
        fs::create_directories(dir_.path() / "new" / "sub");
        test::Bytes old_a = test::text_like(40000, 1);
        test::Bytes new_a = old_a;
        for (std::size_t i = 1000; i < 1100; ++i) new_a[i] ^= 0x5A;
        test::write_file(dir_.file("base/a.txt"), old_a);
        test::write_file(dir_.file("new/a.txt"), new_a);
        test::Bytes old_b = test::random_bytes(5000, 2);
        test::Bytes new_b = old_b;
        new_b.insert(new_b.end(), old_b.begin(), old_b.begin() + 3000);
        test::write_file(dir_.file("base/sub/b.bin"), old_b);
        test::write_file(dir_.file("new/sub/b.bin"), new_b);
        test::write_file(dir_.file("new/sub/c.bin"), test::random_bytes(700, 3));
    }
    JobSettings directory_job(int action) {
        JobSettings job;
        job.Action = action;
        job.IsFile = JOB_DIRECTORY;
        set_field(job.BasePath, dir_.file("base"));
        set_field(job.UpdatedPath, dir_.file(action == 0 ? "new" : "restored"));
        set_field(job.Delta, dir_.file("delta"));
        job.Algorithms[0] = 1;
        set_field(job.ReportFile, dir_.file("report.txt"));
        job.LogFileMode = LOG_APPEND;
        job.ReportLevel = 3;
        job.ProgressWindow = &view_;
        return job;
    }
    // The restored tree holds the new tree's files.
    void expect_restored_tree() {
        for (const char* name : {"a.txt", "sub/b.bin", "sub/c.bin"})
            EXPECT_EQ(test::read_file(dir_.file(std::string("restored/") + name)),
                      test::read_file(dir_.file(std::string("new/") + name)))
                << name;
    }

    ReportTemplates templates_;
    ScratchDir dir_;
    RecordingView view_;
};

TEST_F(RealJobTest, DirectoryCreateAndRestoreRoundTripWithTheirReports) {
    JobRunner runner(templates_, real_engine());
    ASSERT_EQ(runner.run(directory_job(0)), 0);
    EXPECT_EQ(runner.statistics().errors, 0) << view_.texts[IDC_PROGRESS_ERRORS];
    EXPECT_EQ(runner.statistics().updated_total, 40000 + 8000 + 700);
    EXPECT_LT(runner.statistics().delta_total, runner.statistics().updated_total);

    ASSERT_EQ(runner.run(directory_job(1)), 0);
    EXPECT_EQ(runner.statistics().errors, 0) << view_.texts[IDC_PROGRESS_ERRORS];
    expect_restored_tree();

    std::string report = text_of(dir_.file("report.txt"));
    EXPECT_NE(report.find("Operation: Create  Type: Directory"), std::string::npos);
    EXPECT_NE(report.find("Operation: Restore  Type: Directory"), std::string::npos);
    EXPECT_NE(report.find("  Alg 0 time "), std::string::npos);
    EXPECT_NE(report.find("  Alg 7 time "), std::string::npos);
    EXPECT_NE(report.find("started: file " + dir_.file("delta/sub/b.bin")), std::string::npos);
    if (const char* keep = std::getenv("QUORALITH_KEEP_REPORT")) fs::copy_file(dir_.file("report.txt"), keep,
                                                                              fs::copy_options::overwrite_existing);
}

// The whole job's progress, counted before the engine ran: files and bytes
// done of all, never running backwards, all done at the end.
TEST_F(RealJobTest, ADirectoryJobShowsItsOverallProgress) {
    view_.overall_wanted = true;
    JobRunner runner(templates_, real_engine());
    ASSERT_EQ(runner.run(directory_job(0)), 0);
    ASSERT_GE(view_.overall.size(), 4u);
    const std::int64_t bytes = 40000 + 8000 + 700;
    EXPECT_EQ(view_.overall.front().files_total, 3);
    EXPECT_EQ(view_.overall.front().bytes_total, bytes);
    EXPECT_EQ(view_.overall.front().files_done, 0);
    EXPECT_EQ(view_.overall.front().bytes_done, 0);
    bool part_way = false;
    for (std::size_t i = 1; i < view_.overall.size(); ++i) {
        EXPECT_GE(view_.overall[i].bytes_done, view_.overall[i - 1].bytes_done) << i;
        EXPECT_GE(view_.overall[i].files_done, view_.overall[i - 1].files_done) << i;
        if (view_.overall[i].bytes_done > 0 && view_.overall[i].bytes_done < 40000) part_way = true;
    }
    EXPECT_TRUE(part_way) << "the bytes move within a file, not only between files";
    EXPECT_EQ(view_.overall.back().files_done, 3);
    EXPECT_EQ(view_.overall.back().bytes_done, bytes);
    EXPECT_EQ(view_.overall.back().seconds_left, 0);
    EXPECT_EQ(view_.texts[IDC_PROGRESS_OUTCOME], "Completed: 3 of 3 files.");

    // A restore counts the deltas it reads.
    view_.overall.clear();
    ASSERT_EQ(runner.run(directory_job(1)), 0);
    ASSERT_FALSE(view_.overall.empty());
    EXPECT_EQ(view_.overall.back().files_done, 3);
    EXPECT_EQ(view_.overall.back().files_total, 3);
    EXPECT_EQ(view_.overall.back().bytes_done, view_.overall.back().bytes_total);
    EXPECT_EQ(view_.overall.back().bytes_total, runner.statistics().delta_total);
}

// A view that asks for a stop once `files` files have started.
class StopAfterFiles : public RecordingView {
public:
    explicit StopAfterFiles(std::size_t files) : files_(files) {}
    bool drain_messages() override {
        RecordingView::drain_messages();
        return text_history[IDC_PROGRESS_CURRENT_FILE].size() >= files_;
    }

private:
    std::size_t files_;
};

TEST_F(RealJobTest, AStoppedDirectoryJobSaysHowFarItCame) {
    for (int i = 0; i < 30; ++i)
        test::write_file(dir_.file("new/sub/m" + std::to_string(100 + i) + ".bin"), test::random_bytes(300 + i, 9 + i));
    StopAfterFiles view(10);
    view.overall_wanted = true;
    JobSettings job = directory_job(0);
    job.ProgressWindow = &view;
    job.LogFileMode = LOG_OVERWRITE;
    JobRunner runner(templates_, real_engine());
    ASSERT_EQ(runner.run(job), 0);
    EXPECT_TRUE(runner.stopped());
    // The tenth file was stopped at its start: nine deltas were written.
    std::size_t written = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dir_.file("delta")))
        if (entry.is_regular_file()) ++written;
    EXPECT_EQ(written, 9u);
    EXPECT_EQ(runner.overall().files_done, 9) << view.texts[IDC_PROGRESS_ERRORS] << text_of(dir_.file("report.txt"));
    EXPECT_EQ(runner.overall().files_total, 33);
    EXPECT_EQ(view.overall.back().seconds_left, OverallProgress::UNKNOWN);
    const std::string outcome = std::string(STOPPED_TEXT) + " (9 of 33 files done)";
    EXPECT_EQ(view.texts[IDC_PROGRESS_OUTCOME], outcome + ".");
    const std::string report = text_of(dir_.file("report.txt"));
    EXPECT_NE(report.find("*** " + outcome + " ***\n"), std::string::npos) << report;
}

// The default failure action copies the Base in place of a file that cannot
// be restored: the copy is kept, and said in words beside the error's reason.
TEST_F(RealJobTest, AWrongBaseRestoreSaysThatTheBaseWasCopied) {
    JobRunner runner(templates_, real_engine());
    JobSettings create = directory_job(0);
    create.IsFile = JOB_SINGLE_FILE;
    set_field(create.BasePath, dir_.file("base/a.txt"));
    set_field(create.UpdatedPath, dir_.file("new/a.txt"));
    set_field(create.Delta, dir_.file("a.dlt"));
    ASSERT_EQ(runner.run(create), 0);

    JobSettings restore = create;
    restore.Action = 1;
    restore.LogFileMode = LOG_OVERWRITE;
    ASSERT_EQ(restore.FailureAction, FAILURE_COPY);
    set_field(restore.BasePath, dir_.file("base/sub/b.bin"));
    set_field(restore.UpdatedPath, dir_.file("restored.txt"));
    ASSERT_EQ(runner.run(restore), 0);
    EXPECT_EQ(test::read_file(dir_.file("restored.txt")), test::read_file(dir_.file("base/sub/b.bin")));
    const std::string lines = "***ERROR*** 4 building file: " + dir_.file("restored.txt") + "\r\n    " +
                              dir_.file("a.dlt") + ": the delta was made from a different base file\r\n" +
                              "    A copy of the Base was written in place of the Updated file.\r\n";
    EXPECT_NE(view_.texts[IDC_PROGRESS_ERRORS].find(lines), std::string::npos) << view_.texts[IDC_PROGRESS_ERRORS];
    std::string report_lines = lines;
    for (std::size_t at; (at = report_lines.find("\r\n")) != std::string::npos;) report_lines.replace(at, 2, "\n");
    EXPECT_NE(text_of(dir_.file("report.txt")).find(report_lines), std::string::npos);
    EXPECT_EQ(runner.statistics().errors, 1);
}

TEST_F(RealJobTest, ArchivedDirectoryJobsShipTheTreeAsOneDeltaFileAndCountAsOneFile) {
    JobRunner runner(templates_, real_engine());
    JobSettings create = directory_job(0);
    create.IsFile = JOB_ARCHIVED_DIRECTORY;
    set_field(create.Delta, dir_.file("tree.dlt"));
    ASSERT_EQ(runner.run(create), 0);
    EXPECT_EQ(runner.statistics().errors, 0) << view_.texts[IDC_PROGRESS_ERRORS];
    EXPECT_EQ(runner.statistics().updated_total, 40000 + 8000 + 700) << "the tree's totals, not its archive's";
    ASSERT_TRUE(fs::is_regular_file(dir_.file("tree.dlt")));
    EXPECT_EQ(runner.statistics().delta_total, static_cast<std::int64_t>(fs::file_size(dir_.file("tree.dlt"))));

    JobSettings restore = directory_job(1);
    restore.IsFile = JOB_ARCHIVED_DIRECTORY;
    set_field(restore.Delta, dir_.file("tree.dlt"));
    ASSERT_EQ(runner.run(restore), 0);
    EXPECT_EQ(runner.statistics().errors, 0) << view_.texts[IDC_PROGRESS_ERRORS];
    expect_restored_tree();

    // Against another Base the job is one error and the output stays as it was.
    test::write_file(dir_.file("base/a.txt"), test::text_like(40000, 9));
    test::write_file(dir_.file("restored/a.txt"), {'k', 'e', 'p', 't'});
    EXPECT_EQ(runner.run(restore), 0);
    EXPECT_EQ(runner.statistics().errors, 1);
    EXPECT_EQ(test::read_file(dir_.file("restored/a.txt")), (test::Bytes{'k', 'e', 'p', 't'}));

    std::string report = text_of(dir_.file("report.txt"));
    EXPECT_NE(report.find("Operation: Create  Type: Archived Directory\n"), std::string::npos);
    EXPECT_NE(report.find("Operation: Restore  Type: Archived Directory\n"), std::string::npos);
    EXPECT_NE(report.find("started: file " + dir_.file("tree.dlt") + "\n"), std::string::npos)
        << "one file of the job, named by its delta";
    EXPECT_EQ(report.find(".qrlth-"), std::string::npos) << "no temporary name reaches the report";
}

TEST_F(RealJobTest, ADirectoryJobKeepsItsDeltaTreeInOneArchiveWhenMarked) {
    JobRunner runner(templates_, real_engine());
    JobSettings create = directory_job(0);
    create.AchiveDelta = 1;
    set_field(create.Delta, dir_.file("deltas.qa"));
    ASSERT_EQ(runner.run(create), 0);
    EXPECT_EQ(runner.statistics().errors, 0) << view_.texts[IDC_PROGRESS_ERRORS];
    ASSERT_TRUE(fs::is_regular_file(dir_.file("deltas.qa")));

    JobSettings restore = directory_job(1);
    restore.AchiveDelta = 1;
    set_field(restore.Delta, dir_.file("deltas.qa"));
    ASSERT_EQ(runner.run(restore), 0);
    EXPECT_EQ(runner.statistics().errors, 0) << view_.texts[IDC_PROGRESS_ERRORS];
    expect_restored_tree();
    EXPECT_EQ(text_of(dir_.file("report.txt")).find(".qrlth-"), std::string::npos);
}

TEST_F(RealJobTest, RestoreOntoItsOwnDeltaIsRefusedAndSaysSo) {
    JobRunner runner(templates_, real_engine());
    JobSettings job = directory_job(1);
    job.IsFile = JOB_SINGLE_FILE;
    set_field(job.Delta, dir_.file("new/a.txt"));
    set_field(job.UpdatedPath, dir_.file("new/a.txt"));
    job.LogFileMode = LOG_OVERWRITE;
    test::Bytes before = test::read_file(dir_.file("new/a.txt"));
    EXPECT_EQ(runner.run(job), ERR_BAD_REQUEST);
    EXPECT_EQ(test::read_file(dir_.file("new/a.txt")), before);
    std::string report = text_of(dir_.file("report.txt"));
    EXPECT_EQ(report.rfind("========S T A R T   O F   R E P O R T========\n", 0), 0u);
    EXPECT_NE(report.find("Operation: Restore  Type: File\n"), std::string::npos);
    EXPECT_NE(report.find("***ERROR*** 10 building file: " + dir_.file("new/a.txt")), std::string::npos);
    EXPECT_NE(report.find("!!! 1 error(s) detected !!!"), std::string::npos);
    EXPECT_NE(report.find("compression: **% (**%), relative: **%(**%)"), std::string::npos);
    EXPECT_EQ(view_.texts[IDC_PROGRESS_TOTAL_DELTA], "0");
}

TEST_F(RealJobTest, ARestoreThatDoesNotMatchItsRecordIsAnErrorOfTheJob) {
    JobRunner runner(templates_, real_engine());
    ASSERT_EQ(runner.run(directory_job(0)), 0);
    // A stored delta (c.bin is short) with one payload bit flipped decodes,
    // to the wrong bytes.
    test::Bytes delta = test::read_file(dir_.file("delta/sub/c.bin"));
    const std::size_t check = static_cast<std::size_t>(delta[delta.size() - 48] | delta[delta.size() - 47] << 8);
    ASSERT_EQ(delta[delta.size() - 57 - check] & 0x30, 0) << "stored as it is";
    delta[10] ^= 0x01;
    test::write_file(dir_.file("delta/sub/c.bin"), delta);
    JobSettings job = directory_job(1);
    job.LogFileMode = LOG_OVERWRITE;
    ASSERT_EQ(runner.run(job), 0);
    EXPECT_EQ(runner.statistics().errors, 1);
    EXPECT_EQ(view_.texts[IDC_PROGRESS_ERROR_COUNT], "1");
    EXPECT_NE(view_.texts[IDC_PROGRESS_ERRORS].find("***ERROR*** 7 building file: "), std::string::npos);
    const std::string report = text_of(dir_.file("report.txt"));
    EXPECT_NE(report.find("***ERROR*** 7 building file: "), std::string::npos) << report;
    EXPECT_NE(report.find("!!! 1 error(s) detected !!!"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_.file("restored/sub/c.bin")));
    EXPECT_TRUE(fs::exists(dir_.file("restored/sub/b.bin")));
}

// A job that does nothing, or leaves a file out, says why in words in the
// error box and the report, not only with its code.
TEST_F(RealJobTest, APatternThatSelectsNothingAndALinkOutOfTheTreeAreSaidInWords) {
    JobRunner runner(templates_, real_engine());
    JobSettings job = directory_job(0);
    job.IncludeSubdirs = 1;
    set_field(job.Pattern, "*.zzz");
    EXPECT_EQ(runner.run(job), 0);
    EXPECT_EQ(runner.statistics().errors, 1);
    EXPECT_FALSE(fs::exists(dir_.file("delta")));
    const std::string words = "no file of '" + dir_.file("new") + "' matches the pattern '*.zzz'; nothing was done";
    EXPECT_NE(view_.texts[IDC_PROGRESS_ERRORS].find("***ERROR*** 65"), std::string::npos);
    EXPECT_NE(view_.texts[IDC_PROGRESS_ERRORS].find(words), std::string::npos) << view_.texts[IDC_PROGRESS_ERRORS];
    EXPECT_NE(text_of(dir_.file("report.txt")).find(words), std::string::npos);

    const std::string secret = dir_.file("secret");
    test::write_file(secret, test::text_like(100, 9));
    fs::create_symlink(secret, dir_.file("new/sub/secret"));
    set_field(job.Pattern, "");
    EXPECT_EQ(runner.run(job), 0);
    EXPECT_EQ(runner.statistics().errors, 1);
    EXPECT_NE(view_.texts[IDC_PROGRESS_ERRORS].find("outside the tree, is not followed; it is left out"),
              std::string::npos)
        << view_.texts[IDC_PROGRESS_ERRORS];
    EXPECT_FALSE(fs::exists(fs::symlink_status(dir_.file("delta/sub/secret"))));
}

TEST_F(RealJobTest, ClearingAnOutputInsideAnInputTreeIsRefusedBeforeAnythingIsDeleted) {
    int engine_calls = 0;
    JobRunner runner(templates_, [&engine_calls](EngineRequest& request) {
        ++engine_calls;
        return real_engine()(request);
    });
    const auto tree_before = [this] {
        std::map<std::string, test::Bytes> files;
        for (auto it = fs::recursive_directory_iterator(dir_.path()); it != fs::recursive_directory_iterator(); ++it)
            if (it->is_regular_file() && it->path().filename() != "report.txt")
                files[it->path().string()] = test::read_file(it->path().string());
        return files;
    };
    const auto before = tree_before();
    for (const char* output : {"base/sub", "new/sub", "new"}) {
        JobSettings job = directory_job(0);
        job.ClearOutputDir = 1;
        job.IncludeSubdirs = 1;
        set_field(job.Delta, dir_.file(output));
        job.LogFileMode = LOG_OVERWRITE;
        EXPECT_EQ(runner.run(job), ERR_BAD_REQUEST) << output;
        EXPECT_EQ(runner.statistics().errors, 1);
        EXPECT_EQ(tree_before(), before) << output;
        const std::string report = text_of(dir_.file("report.txt"));
        EXPECT_NE(report.find(CLEARING_REFUSED_TEXT), std::string::npos) << report;
        EXPECT_NE(view_.texts[IDC_PROGRESS_ERRORS].find(CLEARING_REFUSED_TEXT), std::string::npos);
    }
    EXPECT_EQ(engine_calls, 0);

    // A restore over the Base tree itself is in place and never cleared: it runs.
    JobSettings create = directory_job(0);
    ASSERT_EQ(runner.run(create), 0);
    JobSettings in_place = directory_job(1);
    in_place.ClearOutputDir = 1;
    in_place.IncludeSubdirs = 1;
    set_field(in_place.UpdatedPath, dir_.file("base"));
    EXPECT_EQ(runner.run(in_place), 0);
    EXPECT_EQ(runner.statistics().errors, 0) << view_.texts[IDC_PROGRESS_ERRORS];
    EXPECT_EQ(test::read_file(dir_.file("base/sub/c.bin")), test::read_file(dir_.file("new/sub/c.bin")));
}

}  // namespace
}  // namespace quoralith
