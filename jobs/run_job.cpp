// The job runner.
#include "jobs/run_job.h"

#include <bit>
#include <ctime>

#include "engine/engine.h"

namespace quoralith {

namespace {

// The controls that show the job's outcome, hidden until it ends.
constexpr int SUMMARY_CONTROLS[] = {
    IDC_PROGRESS_END_LABEL,          IDC_PROGRESS_END_TIME,
    IDC_PROGRESS_ERROR_COUNT,        IDC_PROGRESS_ERRORS_LABEL,
    IDC_PROGRESS_TOTAL_BASE_LABEL,   IDC_PROGRESS_TOTAL_BASE,
    IDC_PROGRESS_TOTAL_UPDATED_LABEL, IDC_PROGRESS_TOTAL_UPDATED,
    IDC_PROGRESS_TOTAL_DELTA_LABEL,  IDC_PROGRESS_TOTAL_DELTA,
    IDC_PROGRESS_TIME_LABEL,         IDC_PROGRESS_TIME,
    IDC_PROGRESS_COMPRESSION_LABEL,  IDC_PROGRESS_COMPRESSION,
    IDC_PROGRESS_RELATIVE_LABEL,     IDC_PROGRESS_RELATIVE,
};

}  // namespace

EngineRequest build_engine_request(const JobSettings& job) {
    EngineRequest request;
    const bool create = job.Action == 0;
    if (job.IsFile == JOB_SINGLE_FILE)
        request.type = create ? OP_CREATE_FILE : OP_RESTORE_FILE;
    else if (job.IsFile == JOB_DIRECTORY)
        request.type = create ? OP_CREATE_DIR : OP_RESTORE_DIR;
    else if (job.IsFile == JOB_ARCHIVED_DIRECTORY)
        request.type = create ? OP_CREATE_ARCHIVED : OP_RESTORE_ARCHIVED;
    // Any other kind has no engine operation; type 0 is refused like any
    // unknown request rather than running whatever operation came before.

    request.first = job.BasePath;
    request.second = create ? job.UpdatedPath : job.Delta;
    request.output = create ? job.Delta : job.UpdatedPath;
    request.pattern = job.Pattern;

    EngineFlags flags = 0;
    if (job.IncludeSubdirs) flags |= EF_INCLUDE_SUBDIRS;
    if (job.OriginDate) flags |= EF_KEEP_DATE;
    if (job.OriginAttrib) flags |= EF_KEEP_ATTRIBUTES;
    if (job.FailureAction == FAILURE_COPY) flags |= EF_FAIL_COPY;
    if (job.FailureAction == FAILURE_SKIP) flags |= EF_FAIL_SKIP;
    if (job.FailureAction == FAILURE_ABORT) flags |= EF_FAIL_STOP;
    if (job.Merge) flags |= EF_MERGE;
    if (job.Stamp) flags |= EF_SHORT_STAMP;
    if (job.KeepAll) flags |= EF_KEEP_ALL;
    if (job.ClearOutputDir) flags |= EF_CLEAR_OUTPUT;
    if (job.Action == 0 && job.CompactLevel != 0) flags |= EF_COMPACT;
    // The Archivator marks mean something only where the page offers them: a
    // single file is never an archive, and an archived-directory job's delta
    // is always one file of its own (a record from the history may still
    // carry the flag).
    if (job.IsFile == JOB_DIRECTORY || job.IsFile == JOB_ARCHIVED_DIRECTORY) {
        if (job.AchiveBase) flags |= EF_ARCHIVE_BASE;
        if (job.AchiveUpdated) flags |= EF_ARCHIVE_UPDATED;
    }
    if (job.IsFile == JOB_DIRECTORY && job.AchiveDelta) flags |= EF_ARCHIVE_DELTA;
    request.flags = flags;

    AlgorithmMask mask = 0;
    for (int i = 0; i < ALGORITHM_COUNT; ++i)
        if (job.Algorithms[i]) mask |= static_cast<AlgorithmMask>(1u << i);
    request.mask = mask;
    return request;
}

JobRunner::JobRunner(const ReportTemplates& templates, EngineEntry engine, JobClock clock)
    : templates_(templates), engine_(std::move(engine)), clock_(clock ? std::move(clock) : JobClock([] {
                                                                   return std::time(nullptr);
                                                               })) {}

int JobRunner::run(const JobSettings& job) { return run(job, build_engine_request(job)); }

int JobRunner::run(const JobSettings& job, EngineRequest request) {
    ReportFile report(templates_);
    report_failed_ = !report.open(job.ReportFile, job.LogFileMode, job.ReportLevel);
    ProgressView* view = job.UseProgressWindow ? job.ProgressWindow : nullptr;

    const bool known_type = request.type >= OP_CREATE_FILE && request.type <= OP_RESTORE_ARCHIVED;
    const bool create = known_type ? is_create(request.type) : job.Action == 0;
    const bool single_file = known_type ? (request.type == OP_CREATE_FILE || request.type == OP_RESTORE_FILE)
                                        : job.IsFile == JOB_SINGLE_FILE;
    const std::string& updated_path = create ? request.second : request.output;
    const std::string& delta_path = create ? request.output : request.second;

    if (view) view->set_control_text(IDC_PROGRESS_PATTERN, request.pattern);

    const std::time_t start = clock_();
    const std::string start_text = clock_text(start);
    report_write(report, REPORT_START, {});
    report_write(report, REPORT_STARTED_AT, {start_text});
    if (view) view->set_control_text(IDC_PROGRESS_START_TIME, start_text);

    const std::string operation_word = create ? WORD_CREATE : WORD_RESTORE;
    const bool archived = known_type ? (request.type == OP_CREATE_ARCHIVED || request.type == OP_RESTORE_ARCHIVED)
                                     : job.IsFile == JOB_ARCHIVED_DIRECTORY;
    const std::string type_word = archived ? WORD_ARCHIVED_DIRECTORY : single_file ? WORD_FILE : WORD_DIRECTORY;
    if (view) {
        view->set_control_text(IDC_PROGRESS_OPERATION, operation_word);
        view->set_control_text(IDC_PROGRESS_TYPE, type_word);
    }
    report_write(report, REPORT_OPERATION, {operation_word, type_word});

    if (create) {
        std::string algorithms;
        for (int i = 0; i < 16; ++i)
            if (request.mask & (1u << i)) algorithms += " " + std::to_string(i);
        // The compact candidate by the letter the report and kept-all names give it.
        if (request.flags & EF_COMPACT) algorithms += " c";
        report_write(report, REPORT_ALGORITHMS, {algorithms});
        if (view) {
            view->set_control_visible(IDC_PROGRESS_ALGORITHMS_LABEL, true);
            view->set_control_text(IDC_PROGRESS_ALGORITHMS, algorithms);
        }
    }

    report_write(report, REPORT_BASE, {request.first});
    report_write(report, REPORT_UPDATED, {updated_path});
    report_write(report, REPORT_DELTA, {delta_path});
    if (view) {
        view->set_control_text(IDC_PROGRESS_BASE, request.first);
        view->set_control_text(IDC_PROGRESS_UPDATED, updated_path);
        view->set_control_text(IDC_PROGRESS_DELTA, delta_path);
    }

    JobProgress progress(report, view, clock_);
    progress.start(create, request.mask);
    if (view && view->shows_overall() && known_type) {
        // The engine announces no totals; the runner walks the tree as the
        // engine will, before it starts. Each algorithm tried reads a file once.
        const JobWork work = count_job_work(request.type, request.first, request.second, request.output,
                                            request.pattern, request.flags);
        int passes = 1;
        if (create) {
            // A compact delta asked for with no algorithm runs no numbered pass.
            const bool compact_alone = (request.flags & EF_COMPACT) && request.mask == 0;
            passes = compact_alone ? 0 : std::popcount(static_cast<unsigned>(request.mask ? request.mask : 1));
            if ((request.flags & EF_DEEP) && !(request.flags & EF_KEEP_ALL)) ++passes;
            if (request.flags & EF_COMPACT) ++passes;
        }
        begin_overall(progress, work, clock_(), passes);
    }

    int result = ERR_BAD_REQUEST;
    // Clearing an output directory that is, holds or lies inside an input would
    // delete input files: the job is refused before anything is touched, with
    // its reason in words.
    const bool clearing_refused = known_type && (request.flags & EF_CLEAR_OUTPUT) &&
                                  clearing_would_delete_input(request.type, request.first, request.second,
                                                              request.output);
    if (known_type && !clearing_refused) {
        request.callback = [&progress](const ProgressRecord& record) {
            return job_progress_callback(progress, record);
        };
        result = engine_(request);
    }
    final_output_ = request.output;
    // A refused request did nothing; it must not read as a clean run.
    if (result == ERR_BAD_REQUEST)
        note_job_error(progress, result, request.output, clock_(),
                       clearing_refused ? std::string() : known_type ? BAD_REQUEST_TEXT : NO_OPERATION_TEXT);
    if (clearing_refused) note_job_detail(progress, CLEARING_REFUSED_TEXT);

    // A stop the display asked for, or one the engine reported (a file ended
    // on it): either way some files were never done.
    const bool stopped = progress.stop_requested || progress.stop_reported;
    const std::time_t end = clock_();
    const OverallProgress overall = finish_overall(progress, end, stopped);
    std::string outcome;
    if (stopped)
        outcome = std::string(STOPPED_TEXT) + " (" + overall_files_text(overall) + " done)";
    else if (known_type && !clearing_refused && result != ERR_BAD_REQUEST)
        outcome = std::string(COMPLETED_TEXT) + ": " + overall_files_text(overall);
    const std::string end_text = clock_text(end);
    const JobStatistics& totals = progress.statistics;
    const std::string elapsed = std::to_string(static_cast<long long>(std::difftime(end, start)));
    report_write(report, REPORT_ENDED_AT, {end_text});
    if (view) {
        for (int control : SUMMARY_CONTROLS) view->set_control_visible(control, true);
        view->set_control_text(IDC_PROGRESS_END_TIME, end_text);
        view->set_control_text(IDC_PROGRESS_ERROR_COUNT, std::to_string(totals.errors));
        view->set_control_visible(IDC_PROGRESS_CURRENT_LABEL, false);
        view->set_control_visible(IDC_PROGRESS_CURRENT_FILE, false);
        // The file's bar goes with its name: a stopped or failed file leaves
        // it part-filled, which would read as work still under way.
        view->hide_bar();
        view->set_control_text(IDC_PROGRESS_OUTCOME, outcome.empty() ? outcome : outcome + ".");
        view->set_control_visible(IDC_PROGRESS_OUTCOME, !outcome.empty());
    }
    if (totals.errors == 0)
        report_write(report, REPORT_NO_ERRORS, {});
    else
        report_write(report, REPORT_ERRORS, {std::to_string(totals.errors)});
    // The fixed summary lines stay as they are; the stop follows them in words.
    if (stopped) report_write(report, REPORT_TEXT, {"*** " + outcome + " ***"});

    Percentages p = compute_percentages(totals.updated_total, totals.delta_total, totals.growth_total);
    report_write(report, REPORT_TEXT, {std::string()});
    report_write(report, REPORT_STATISTICS, {});
    report_write(report, REPORT_JOB_FIGURES, {elapsed, p.saving, p.ratio, p.relative_saving, p.relative_ratio});
    report_write(report, REPORT_END, {});

    if (view) {
        view->set_control_text(IDC_PROGRESS_TIME, elapsed);
        view->set_control_text(IDC_PROGRESS_COMPRESSION, p.saving + "% (" + p.ratio + "%)");
        view->set_control_text(IDC_PROGRESS_RELATIVE, p.relative_saving + "% (" + p.relative_ratio + "%)");
        view->set_control_text(IDC_PROGRESS_TOTAL_BASE, std::to_string(totals.base_total));
        view->set_control_text(IDC_PROGRESS_TOTAL_UPDATED, std::to_string(totals.updated_total));
        view->set_control_text(IDC_PROGRESS_TOTAL_DELTA, std::to_string(totals.delta_total));
    }

    if (!report.close()) report_failed_ = true;
    if (view) view->job_finished();

    statistics_ = totals;
    stopped_ = stopped;
    overall_ = overall;
    return result;
}

}  // namespace quoralith
