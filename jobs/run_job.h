// The job runner: one job's settings become one engine request, run with the
// progress display and the report file; afterwards the job's summary and
// statistics go into both.
#pragma once

#include <functional>
#include <string>

#include "base/progress.h"
#include "engine/engine.h"
#include "jobs/job_progress.h"
#include "jobs/report.h"
#include "sheets/job_settings.h"

namespace quoralith {

// The engine's entry point as the runner calls it (engine_run's signature), so
// that tests can put a scripted engine in its place. The runner fills in the
// request's callback with the job's own.
using EngineEntry = std::function<int(EngineRequest& request)>;

// engine_run itself.
EngineEntry real_engine();

// Words the progress display and the report use for a job.
inline constexpr const char* WORD_CREATE = "Create";
inline constexpr const char* WORD_RESTORE = "Restore";
inline constexpr const char* WORD_FILE = "File";
inline constexpr const char* WORD_DIRECTORY = "Directory";
inline constexpr const char* WORD_ARCHIVED_DIRECTORY = "Archived Directory";

// The line a job gets when it asks to clear an output directory that is, holds
// or lies inside one of its inputs.
inline constexpr const char* CLEARING_REFUSED_TEXT =
    "The output directory is, holds or lies inside an input directory; it was not cleared and nothing was done.";

// What a stopped job says of itself, in the window and the report: a stop
// leaves part of the files undone, and must never read as a clean run.
inline constexpr const char* STOPPED_TEXT = "Stopped by the user: the job is not complete";
// What a job that ran to its end says beside its files.
inline constexpr const char* COMPLETED_TEXT = "Completed";
// The reason given for a request the engine refused.
inline constexpr const char* BAD_REQUEST_TEXT = "the output is the same as an input";
inline constexpr const char* NO_OPERATION_TEXT = "this kind of job has no operation";

// The engine request a job's settings describe (type 0 when the job's kind
// has no engine operation).
EngineRequest build_engine_request(const JobSettings& job);

// Runs jobs one after another; keeps what the last one left for its caller.
class JobRunner {
public:
    JobRunner(const ReportTemplates& templates, EngineEntry engine, JobClock clock = {});

    // Runs `job` synchronously: opens the report (LogFileMode 1 appends to
    // ReportFile, 2 overwrites it), drives job.ProgressWindow when
    // UseProgressWindow is set, calls the engine and writes the summary.
    // Returns the engine's result: 0 after a run, ERR_BAD_REQUEST when the
    // request was refused (which also counts as one error of the job).
    int run(const JobSettings& job);
    // Runs an explicit request (the command line's, whose paths and algorithm
    // numbers go beyond what the record's fields hold) with the report and
    // display settings of `job`. The report names the request's paths and
    // algorithms; a type outside 1 to 6 is refused without calling the engine.
    int run(const JobSettings& job, EngineRequest request);

    const JobStatistics& statistics() const { return statistics_; }
    // True when the last job was stopped (by its display, or a stop the
    // engine reported): it is not complete.
    bool stopped() const { return stopped_; }
    // How far the last job came: its files done, and the totals when its
    // display asked for them.
    const OverallProgress& overall() const { return overall_; }
    // True when the last job asked for a report that could not be opened or written.
    bool report_failed() const { return report_failed_; }
    // The final output path the engine left (an in-place restore renames it).
    const std::string& final_output() const { return final_output_; }

private:
    const ReportTemplates& templates_;
    EngineEntry engine_;
    JobClock clock_;
    JobStatistics statistics_;
    bool stopped_ = false;
    OverallProgress overall_;
    bool report_failed_ = false;
    std::string final_output_;
};

// Runs `job` with engine_run.
int run_job(const JobSettings& job, const ReportTemplates& templates);

}  // namespace quoralith
