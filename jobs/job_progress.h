// The progress callback of every job: it turns the engine's progress records
// into the progress display, report lines and the job's statistics, and it
// carries a stop request from the display back to the engine.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <string>

#include "base/progress.h"
#include "jobs/overall_progress.h"
#include "jobs/progress_view.h"
#include "jobs/report.h"

namespace quoralith {

// The wall clock in seconds; injected so that tests fix the time texts.
using JobClock = std::function<std::time_t()>;

// Totals over the files of one job.
struct JobStatistics {
    int errors = 0;
    std::int64_t base_total = 0;
    std::int64_t updated_total = 0;
    std::int64_t delta_total = 0;
    std::int64_t growth_total = 0;  // sum of Updated minus Base where positive
};

// The four percentage texts of a report line: decimal numbers, "0" and "100+"
// for a delta outweighed by growth, or "**" when the delta is not smaller.
struct Percentages {
    std::string saving;
    std::string ratio;
    std::string relative_saving;
    std::string relative_ratio;
};

// Percentages of a delta of `delta` bytes for `updated` bytes, of which `growth`
// bytes are new: ratio = D*100/U and saving = 100 - D*100/U, truncated; the
// relative figures do the same with D - growth.
Percentages compute_percentages(std::int64_t updated, std::int64_t delta, std::int64_t growth);

// The 24-character local-time text ("Mon Dec  7 09:05:00 2026"), in English
// whatever the locale.
std::string clock_text(std::time_t when);

// Everything the callback keeps for one job. One context per running job; the
// engine calls job_progress_callback with it through a lambda.
struct JobProgress {
    JobProgress(ReportFile& report_file, ProgressView* progress_view, JobClock clock_source);

    // Before the engine call: a create or restore job and its algorithm mask.
    void start(bool create_job, std::uint16_t algorithm_mask);

    ReportFile& report;
    ProgressView* view;  // may be null: no display, no stop
    JobClock clock;

    bool create = true;
    std::uint16_t mask = 1;
    JobStatistics statistics;
    bool stop_requested = false;  // once seen, never cleared for the job

    // The current file.
    bool file_start_known = false;
    std::time_t file_start = 0;
    bool algorithm_start_known = false;
    std::time_t algorithm_start = 0;
    int last_algorithm = -1;
    std::int32_t smallest_candidate = 0x7FFFFFFF;
    std::int32_t second_size = 0;
    int colour_toggle = 0;
    BarColour colour = BAR_BLUE;

    // The error lines shown so far, each ending in CRLF.
    std::string error_text;
    // An ERR_STOPPED record came: the engine ended a file on a stop.
    bool stop_reported = false;

    // The whole job's progress, followed only once begin_overall was called.
    bool track_overall = false;
    OverallProgress overall;
    std::time_t job_start = 0;
    int passes = 1;                 // reads of a file's second input: one per algorithm tried
    int pass = 0;                   // of the current file
    bool file_open = false;         // a file was started and has not ended
    std::int64_t file_bytes = 0;    // the current file's bytes as counted
    std::int64_t bytes_before = 0;  // the bytes of the files that ended
    double file_share = 0;          // of the current file done; never runs backwards
    int shown_permille = -2;
    std::int64_t shown_elapsed = -1;
};

// Starts following the whole job's progress: `work` as counted before the
// run, `passes` reads of each file (one per algorithm tried on a create).
void begin_overall(JobProgress& job, const JobWork& work, std::time_t start, int passes);

// The job has ended: the last file counts as done unless the job was stopped,
// the time left is 0 (or unknown after a stop), and the display is told.
// Returns the final figures.
OverallProgress finish_overall(JobProgress& job, std::time_t end, bool stopped);

// The words for an error record as the command line gives them: the path the
// reason is about when it is not `output` (the name on the error line), then
// the engine's words or the record's own detail.
std::string job_error_reason(const ProgressRecord& record, const std::string& output);

// The line that follows a failed file whose output received a copy of the
// Base under the output's name.
std::string base_copy_text(bool create);

// Counts an error of the job and shows its line ("At hh:mm:ss ***ERROR*** 302
// building file: <output>") in the report and the display's error box. The
// line is kept as it is for programs that read reports; `reason`, when
// given, follows it on a line of its own, indented, so that no user is left
// with a bare number.
void note_job_error(JobProgress& job, int code, const std::string& output, std::time_t now,
                    const std::string& reason = {});

// Adds a line that explains the error before it, in the report and the
// display's error box; it is not counted as an error of its own.
void note_job_detail(JobProgress& job, const std::string& text);

// Handles one progress record. Returns ANSWER_STOP once a stop was requested,
// otherwise ANSWER_BY_FLAGS for an error code and ANSWER_SKIP for a message.
std::int16_t job_progress_callback(JobProgress& job, const ProgressRecord& record);

}  // namespace quoralith
