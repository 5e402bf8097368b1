// The job's progress callback: display, report lines and statistics per record.
#include "jobs/job_progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

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
                 {std::to_string(job.last_algorithm), time_text, p.saving, p.ratio, p.relative_saving,
                  p.relative_ratio});
}

}  // namespace

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
}

void note_job_error(JobProgress& job, int code, const std::string& output, std::time_t now) {
    ++job.statistics.errors;
    std::string line = "At " + clock_text(now).substr(11, 8) + " ***ERROR*** " + std::to_string(std::abs(code)) +
                       " building file: " + output;
    report_write(job.report, REPORT_TEXT, {line});
    job.error_text += line + "\r\n";
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
        note_job_error(job, record.code, output, now);
        // A job that did nothing, or a link it would not follow or write
        // through, says why in words: the code alone would leave the user guessing.
        if (record.code <= ERR_LINKED_FOLDER && record.code >= ERR_NO_BASE_TREE)
            note_job_detail(job, record.detail ? std::string(record.detail) : describe_error(record.code));
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
            break;

        case PM_READ_BASE:
        case PM_READ_INPUT:
        case PM_WRITE_OUTPUT:
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

        default:
            break;
        }
    }

    if (job.view && job.view->drain_messages()) job.stop_requested = true;
    if (job.stop_requested) return ANSWER_STOP;
    return record.code < 0 ? ANSWER_BY_FLAGS : ANSWER_SKIP;
}

}  // namespace quoralith
