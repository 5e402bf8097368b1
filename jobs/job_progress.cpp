// The job's progress callback: display, report lines and statistics per record.
#include "jobs/job_progress.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "coder/compact/compact.h"
#include "engine/safe_output.h"

namespace quoralith {

namespace {

std::string percent_text(double value) { return std::to_string(static_cast<long long>(std::trunc(value))); }

std::string seconds_since(std::time_t now, std::time_t start) {
    return std::to_string(static_cast<long long>(std::difftime(now, start)));
}

// The highest algorithm of the mask: the last candidate of every file.
int highest_algorithm(std::uint16_t mask) {
    if (mask == 0) mask = 1;
    int highest = 0;
    for (int i = 0; i < 16; ++i)
        if (mask & (1u << i)) highest = i;
    return highest;
}

// Reports the figures of one candidate (65020) with `delta` as its size.
void report_candidate(JobProgress& job, const ProgressRecord& record, std::time_t now, std::int64_t delta) {
    std::string time_text = "**";
    if (job.algorithm_start_known) {
        time_text = seconds_since(now, job.algorithm_start);
        job.algorithm_start_known = false;
    }
    std::int64_t updated = record.second_size;
    std::int64_t growth = std::max<std::int64_t>(updated - record.first_size, 0);
    Percentages p = compute_percentages(updated, delta, growth);
    report_write(job.report, REPORT_CANDIDATE_FIGURES,
                 {job.last_algorithm == kCompactAlgorithm ? std::string("c") : std::to_string(job.last_algorithm),
                  time_text, p.saving, p.ratio, p.relative_saving,
                  p.relative_ratio});
}

// The reason lines under an error line are set in by this much, so that a
// reader (and a program) tells them from the fixed report lines.
constexpr const char* REASON_INDENT = "    ";

// Recomputes the bytes done and the estimate, and tells the display when the
// share or the second changed (or always, with `force`): the coder reports
// every read, far more often than a display can show.
void update_overall(JobProgress& job, std::time_t now, bool force) {
    if (!job.track_overall) return;
    OverallProgress& overall = job.overall;
    const double share = std::clamp(job.file_share, 0.0, 1.0);
    overall.bytes_done = job.bytes_before + (job.file_open ? static_cast<std::int64_t>(
                                                                 static_cast<double>(job.file_bytes) * share)
                                                           : 0);
    if (overall.bytes_total >= 0) overall.bytes_done = std::min(overall.bytes_done, overall.bytes_total);
    overall.elapsed_seconds = std::max<std::int64_t>(0, static_cast<std::int64_t>(std::difftime(now, job.job_start)));
    overall.seconds_left = estimate_seconds_left(overall);
    const int permille = overall_permille(overall);
    if (!force && permille == job.shown_permille && overall.elapsed_seconds == job.shown_elapsed) return;
    job.shown_permille = permille;
    job.shown_elapsed = overall.elapsed_seconds;
    if (job.view) job.view->show_overall(overall);
}

// The current file has ended, done or failed.
void end_file(JobProgress& job) {
    if (!job.file_open) return;
    job.file_open = false;
    ++job.overall.files_done;
    job.bytes_before += job.file_bytes;
    job.file_share = 0;
}

// A read `position` bytes into a stream of `size`, in the current pass.
void note_read(JobProgress& job, std::int64_t position, std::int64_t size, int pass, int passes) {
    if (!job.file_open || size <= 0) return;
    const double within = std::clamp(static_cast<double>(position) / static_cast<double>(size), 0.0, 1.0);
    job.file_share = std::max(job.file_share, (pass + within) / std::max(passes, 1));
}

// Whether `path` is not a regular file (or a link to one): the entry a walk
// passed over.
bool not_regular(const char* path) {
    struct stat status {};
    if (!path || lstat(path, &status) != 0) return false;
    return stat(path, &status) != 0 || !S_ISREG(status.st_mode);
}

}  // namespace

void begin_overall(JobProgress& job, const JobWork& work, std::time_t start, int passes) {
    job.track_overall = true;
    job.overall = OverallProgress{};
    job.overall.files_total = work.files;
    job.overall.bytes_total = work.bytes;
    job.job_start = start;
    job.passes = std::max(passes, 1);
    job.pass = 0;
    job.file_open = false;
    job.file_bytes = 0;
    job.bytes_before = 0;
    job.file_share = 0;
    job.shown_permille = -2;
    job.shown_elapsed = -1;
    update_overall(job, start, true);
}

OverallProgress finish_overall(JobProgress& job, std::time_t end, bool stopped) {
    if (!job.track_overall) return job.overall;
    if (!stopped) end_file(job);
    update_overall(job, end, false);
    job.overall.seconds_left = stopped ? OverallProgress::UNKNOWN : 0;
    job.overall.stopped = stopped;
    if (job.view) job.view->show_overall(job.overall);
    return job.overall;
}

std::string job_error_reason(const ProgressRecord& record, const std::string& output) {
    const int code = record.code;
    // Name the file the reason is about, as the command line does: the output
    // that could not be written, the Base that could not be opened, the entry
    // a walk passed over, or else the input.
    const bool cannot_create = errno_of(code, ERR_CREATE_OUTPUT) != 0;
    const bool about_output = cannot_create || code == ERR_WRITE_FAILED || code == ERR_STOPPED;
    const bool about_base = errno_of(code, ERR_OPEN_BASE) != 0;
    const char* named = about_output ? record.output_path : about_base ? record.first_path : record.second_path;
    if (code == ERR_NOT_REGULAR_FILE) {
        named = record.second_path;
        for (const char* path : {record.second_path, record.first_path, record.output_path})
            if (not_regular(path)) {
                named = path;
                break;
            }
    }
    // An in-place restore writes under a temporary name; the user knows the
    // file by the name on the error line.
    if (about_output && named && is_temporary_name(named)) named = nullptr;
    const std::string words = record.detail ? std::string(record.detail) : describe_error(code);
    if (!named || output == named) return words;
    return std::string(named) + ": " + words;
}

std::string base_copy_text(bool create) {
    return create ? "A copy of the Base was written in place of the Delta file."
                  : "A copy of the Base was written in place of the Updated file.";
}

Percentages compute_percentages(std::int64_t updated, std::int64_t delta, std::int64_t growth) {
    Percentages p;
    if (delta >= updated) {
        p.saving = p.ratio = p.relative_saving = p.relative_ratio = "**";
        return p;
    }
    double share = static_cast<double>(delta) * 100.0 / static_cast<double>(updated);
    p.ratio = percent_text(share);
    p.saving = percent_text(100.0 - share);
    std::int64_t relative = delta - growth;
    if (relative < 1) {
        p.relative_ratio = "0";
        p.relative_saving = "100+";
    } else {
        double relative_share = static_cast<double>(relative) * 100.0 / static_cast<double>(updated);
        p.relative_ratio = percent_text(relative_share);
        p.relative_saving = percent_text(100.0 - relative_share);
    }
    return p;
}

std::string clock_text(std::time_t when) {
    static constexpr const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static constexpr const char* months[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                             "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::tm local{};
    if (!localtime_r(&when, &local)) return "??? ??? ?? ??:??:?? ????";
    char text[64];
    std::snprintf(text, sizeof text, "%s %s %2d %02d:%02d:%02d %d", days[local.tm_wday % 7],
                  months[local.tm_mon % 12], local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
                  local.tm_year + 1900);
    return text;
}

JobProgress::JobProgress(ReportFile& report_file, ProgressView* progress_view, JobClock clock_source)
    : report(report_file), view(progress_view), clock(clock_source ? std::move(clock_source) : JobClock([] {
                                                          return std::time(nullptr);
                                                      })) {}

void JobProgress::start(bool create_job, std::uint16_t algorithm_mask) {
    create = create_job;
    mask = algorithm_mask;
    statistics = {};
    file_start_known = false;
    algorithm_start_known = false;
    last_algorithm = -1;
    smallest_candidate = 0x7FFFFFFF;
    second_size = 0;
    colour_toggle = 0;
    colour = BAR_BLUE;
    error_text.clear();
    stop_reported = false;
    // The files done are counted for every job (a stopped job tells them);
    // the totals, bytes and times only once begin_overall asks for them.
    track_overall = false;
    overall = OverallProgress{};
    file_open = false;
    file_bytes = 0;
    bytes_before = 0;
    file_share = 0;
    pass = 0;
}

void note_job_error(JobProgress& job, int code, const std::string& output, std::time_t now,
                    const std::string& reason) {
    ++job.statistics.errors;
    std::string line = "At " + clock_text(now).substr(11, 8) + " ***ERROR*** " + std::to_string(std::abs(code)) +
                       " building file: " + output;
    report_write(job.report, REPORT_TEXT, {line});
    job.error_text += line + "\r\n";
    if (!reason.empty()) {
        report_write(job.report, REPORT_TEXT, {REASON_INDENT + reason});
        job.error_text += REASON_INDENT + reason + "\r\n";
    }
    if (job.view) job.view->set_control_text(IDC_PROGRESS_ERRORS, job.error_text);
}

void note_job_detail(JobProgress& job, const std::string& text) {
    report_write(job.report, REPORT_TEXT, {text});
    job.error_text += text + "\r\n";
    if (job.view) job.view->set_control_text(IDC_PROGRESS_ERRORS, job.error_text);
}

std::int16_t job_progress_callback(JobProgress& job, const ProgressRecord& record) {
    const std::time_t now = job.clock();
    // Reads and writes come by the thousand per file and need no texts.
    const bool transfer = record.code == PM_READ_BASE || record.code == PM_READ_INPUT || record.code == PM_WRITE_OUTPUT;
    const std::string when = transfer ? std::string() : clock_text(now);
    const std::string clock_time = transfer ? std::string() : when.substr(11, 8);
    const std::string clock_time_and_year = transfer ? std::string() : when.substr(11, 13);
    const std::string output = record.output_path && !transfer ? record.output_path : "";

    if (record.code < 0) {
        if (record.code == ERR_STOPPED) job.stop_reported = true;
        note_job_error(job, record.code, output, now, job_error_reason(record, output));
        // A failed file has ended, unless a stop ended it before its time.
        if (record.code != ERR_STOPPED) end_file(job);
        update_overall(job, now, true);
    } else {
        switch (record.code) {
        case PM_FILE_START:
            job.file_start = now;
            job.file_start_known = true;
            job.last_algorithm = -1;
            job.algorithm_start_known = false;
            job.colour_toggle = 0;
            job.smallest_candidate = 0x7FFFFFFF;
            job.second_size = record.second_size;
            report_write(job.report, REPORT_FILE_STARTED, {clock_time_and_year, output});
            if (job.view) {
                job.view->set_control_text(IDC_PROGRESS_CURRENT_FILE, output);
                job.colour = BAR_BLUE;
                job.view->reset_bar(BAR_BLUE);
            }
            // One that ended without a word has ended; but after a stop the
            // walk may still start a file (the next one of an upper level),
            // and the stopped file before it was never done.
            if (!job.stop_requested) end_file(job);
            job.file_open = true;
            job.pass = 0;
            job.file_share = 0;
            // A merged file has no second input: the Base is what is copied.
            job.file_bytes = record.second_size > 0 || job.create ? record.second_size : record.first_size;
            update_overall(job, now, true);
            break;

        case PM_READ_BASE:
        case PM_READ_INPUT:
        case PM_WRITE_OUTPUT:
            if (record.code == PM_READ_INPUT)
                note_read(job, record.position, record.second_size, job.create ? job.pass : 0,
                          job.create ? job.passes : 1);
            else if (record.code == PM_READ_BASE && record.algorithm == -1 && record.second_size <= 0)
                note_read(job, record.position, record.first_size, 0, 1);  // a merged file's copy
            update_overall(job, now, false);
            if (!job.create) break;
            if (record.algorithm != job.last_algorithm) {
                int before = job.colour_toggle;
                job.colour_toggle ^= 1;
                if (record.algorithm == highest_algorithm(job.mask))
                    job.colour = BAR_BLUE;
                else
                    job.colour = before == 0 ? BAR_GREEN : BAR_YELLOW;
                if (job.view) {
                    job.view->hide_bar();
                    job.view->reset_bar(job.colour);
                }
                job.algorithm_start = now;
                job.algorithm_start_known = true;
                job.last_algorithm = record.algorithm;
            }
            if (record.code == PM_READ_INPUT && job.view) {
                std::int64_t percent = 100;
                if (job.second_size >= 1)
                    percent = std::clamp<std::int64_t>(std::int64_t{record.position} * 100 / job.second_size, 0, 100);
                job.view->set_bar(static_cast<int>(percent), job.colour);
            }
            break;

        case PM_CANDIDATE_DONE:
            ++job.pass;
            job.smallest_candidate = std::min(job.smallest_candidate, record.result);
            report_candidate(job, record, now, record.result);
            break;

        case PM_FILE_DONE: {
            if (job.view) job.view->hide_bar();
            job.smallest_candidate = std::min(job.smallest_candidate, record.result);
            if (job.create) report_candidate(job, record, now, record.result);

            std::int64_t base = record.first_size;
            std::int64_t updated = job.create ? record.second_size : record.result;
            std::int64_t delta = job.create ? job.smallest_candidate : record.second_size;
            JobStatistics& totals = job.statistics;
            totals.base_total += base;
            totals.updated_total += updated;
            totals.delta_total += delta;
            std::int64_t growth = std::max<std::int64_t>(updated - base, 0);
            totals.growth_total += growth;

            std::string file_time = job.file_start_known ? seconds_since(now, job.file_start) : "********";
            Percentages p = compute_percentages(updated, delta, growth);
            report_write(job.report, REPORT_FILE_ENDED, {clock_time, output});
            report_write(job.report, REPORT_FILE_FIGURES,
                         {file_time, p.saving, p.ratio, p.relative_saving, p.relative_ratio});
            break;
        }

        case PM_BASE_COPIED:
            note_job_detail(job, REASON_INDENT + base_copy_text(job.create));
            break;

        default:
            break;
        }
    }

    if (job.view && job.view->drain_messages()) job.stop_requested = true;
    if (record.code == PM_FILE_DONE) {
        // A create answered Stop here drops the file's delta; a restored file
        // is in place before its end is told.
        if (!(job.stop_requested && job.create)) end_file(job);
        update_overall(job, now, true);
    }
    if (job.stop_requested) return ANSWER_STOP;
    return record.code < 0 ? ANSWER_BY_FLAGS : ANSWER_SKIP;
}

}  // namespace quoralith
