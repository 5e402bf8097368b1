// quoralith history: the recorded jobs the desktop program keeps, listed,
// shown, played, deleted and recorded from the command line, in the same files.
#include <cstdio>
#include <filesystem>
#include <memory>

#include "base/profile_file.h"
#include "cli/cli.h"
#include "engine/printable.h"
#include "jobs/run_job.h"
#include "sheets/history.h"

namespace quoralith::cli {

namespace {

// "create" or "restore" as the history's Action value.
int action_of(const std::string& kind) { return kind == "restore" ? 1 : 0; }

void add_kind(CLI::App& command, std::string& kind) {
    command.add_option("KIND", kind, "create or restore: which history")
        ->required()
        ->check(CLI::IsMember({"create", "restore"}));
}

void add_number(CLI::App& command, int& number) {
    command.add_option("N", number, "The job's number, as 'history list' shows it")
        ->required()
        ->check([](const std::string& text) -> std::string {
            return text.find_first_not_of("0123456789") == std::string::npos && text.find_first_not_of('0') != std::string::npos
                       ? std::string()
                       : "the job number must be 1 or more";
        });
}

bool entry_exists(const std::string& file, int number) {
    return ProfileFile(file).has_section(std::to_string(number));
}

const char* kind_words(int kind) {
    switch (kind) {
        case JOB_SINGLE_FILE: return "single file";
        case JOB_DIRECTORY: return "directory";
        case JOB_ARCHIVED_DIRECTORY: return "archived directory";
        default: return "unknown";
    }
}

const char* failure_words(int action) {
    switch (action) {
        case FAILURE_COPY: return "copy the base file";
        case FAILURE_SKIP: return "skip the file";
        default: return "stop";
    }
}

void show_job(const std::string& file, int number, const JobSettings& job) {
    const std::string recorded = profile_read_text(file, std::to_string(number), "RecordTime", "", 64);
    std::printf("Job %d of %s, recorded %s\n", number, file.c_str(), recorded.c_str());
    std::printf("Operation:    %s, %s\n", job.Action == 0 ? "create" : "restore", kind_words(job.IsFile));
    std::printf("Base:         %s\n", printable_name(job.BasePath).c_str());
    std::printf("Updated:      %s\n", printable_name(job.UpdatedPath).c_str());
    std::printf("Delta:        %s\n", printable_name(job.Delta).c_str());
    if (job.IsFile == JOB_DIRECTORY) {
        std::printf("Pattern:      %s\n", job.Pattern[0] ? printable_name(job.Pattern).c_str() : "(all files)");
        std::printf("Subfolders:   %s\n", job.IncludeSubdirs ? "yes" : "no");
        std::printf("Clear output: %s\n", job.ClearOutputDir ? "yes" : "no");
    }
    if (job.Action == 0) {
        std::string algorithms;
        for (int i = 0; i < ALGORITHM_COUNT; ++i)
            if (job.Algorithms[i]) algorithms += " " + std::to_string(i);
        std::printf("Algorithms:  %s\n", algorithms.empty() ? " (none)" : algorithms.c_str());
        std::printf("Keep all:     %s\n", job.KeepAll ? "yes" : "no");
        std::printf("Base check:   %s\n", job.Stamp ? "4 bytes" : "256 bytes");
    } else {
        std::printf("Keep times:   %s\n", job.OriginDate ? "yes" : "no");
        std::printf("Keep bits:    %s\n", job.OriginAttrib ? "yes" : "no");
        std::printf("Merge:        %s\n", job.Merge ? "yes" : "no");
    }
    std::printf("On failure:   %s\n", failure_words(job.FailureAction));
    if (job.LogFileMode == LOG_APPEND || job.LogFileMode == LOG_OVERWRITE)
        std::printf("Report:       %s (%s, level %d)\n", printable_name(job.ReportFile).c_str(),
                    job.LogFileMode == LOG_APPEND ? "appended" : "replaced", job.ReportLevel);
    else
        std::printf("Report:       none\n");
}

// What `history record` takes besides the report options.
struct RecordOptions {
    std::string kind;
    std::string algorithms = "7";
    bool keep_all = false;
    bool long_stamp = false;
    bool no_keep_date = false;
    bool no_keep_attributes = false;
    bool merge = false;
    bool directory = false;
    std::string pattern;
    bool no_subdirs = false;
    bool clear_output = false;
    std::string fail = "skip";
    std::string first, second, third;
};

// Stores `path` made absolute (a recorded job is played from anywhere) in a
// fixed field; false when it does not fit, since a cut path names another file.
bool store_path(char (&field)[PATH_FIELD_SIZE], const std::string& path, const char* role) {
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    const std::string text = error ? path : absolute.lexically_normal().string();
    if (text.size() >= PATH_FIELD_SIZE) {
        print_error("history record: the " + std::string(role) + " path '" + text + "' is longer than " +
                    std::to_string(PATH_FIELD_SIZE - 1) + " characters, which a history entry cannot hold");
        return false;
    }
    set_field(field, text);
    return true;
}

int record_job(const CliContext& context, const RecordOptions& options) {
    JobSettings job;
    job.Action = action_of(options.kind);
    const bool create = job.Action == 0;
    // Create takes BASE UPDATED DELTA, restore BASE DELTA UPDATED, as the commands do.
    if (!store_path(job.BasePath, options.first, "base") ||
        !store_path(job.UpdatedPath, create ? options.second : options.third, "updated") ||
        !store_path(job.Delta, create ? options.third : options.second, "delta"))
        return EXIT_REFUSED;
    if (options.pattern.size() >= PATTERN_FIELD_SIZE) {
        print_error("history record: the pattern is longer than " + std::to_string(PATTERN_FIELD_SIZE - 1) +
                    " characters");
        return EXIT_REFUSED;
    }
    // As with create and restore, an existing directory where the walk starts
    // (UPDATED on create, DELTA on restore) makes a directory job.
    std::error_code error;
    const bool walked_is_directory = std::filesystem::is_directory(options.second, error);
    job.IsFile = options.directory || walked_is_directory ? JOB_DIRECTORY : JOB_SINGLE_FILE;
    set_field(job.Pattern, options.pattern);
    job.IncludeSubdirs = options.no_subdirs ? 0 : 1;
    job.ClearOutputDir = options.clear_output ? 1 : 0;
    job.FailureAction = options.fail == "copy" ? FAILURE_COPY : options.fail == "stop" ? FAILURE_ABORT : FAILURE_SKIP;
    if (create) {
        const AlgorithmMask mask = parse_algorithm_list(options.algorithms);
        if (mask > 0xFF) {
            print_error("history record: a history entry holds algorithms 0 to 7 only");
            return EXIT_REFUSED;
        }
        for (int i = 0; i < ALGORITHM_COUNT; ++i) job.Algorithms[i] = (mask >> i) & 1;
        job.KeepAll = options.keep_all ? 1 : 0;
        job.Stamp = options.long_stamp ? 0 : 1;
    } else {
        job.OriginDate = options.no_keep_date ? 0 : 1;
        job.OriginAttrib = options.no_keep_attributes ? 0 : 1;
        job.Merge = options.merge ? 1 : 0;
    }
    JobSettings report = job_report_settings(context, nullptr);
    if (report.ReportFile[0] && !store_path(job.ReportFile, report.ReportFile, "report")) return EXIT_REFUSED;
    job.LogFileMode = report.LogFileMode;
    job.ReportLevel = report.ReportLevel;

    const std::string file = history_file_for(job.Action);
    const int number = HistoryRecorder(file).record(job);
    if (number < 1) {
        print_error("history record: '" + file + "' could not be written");
        return EXIT_FILE_FAILED;
    }
    if (!context.quiet) std::printf("Recorded job %d in %s\n", number, file.c_str());
    return EXIT_ALL_DONE;
}

int play_job(const CliContext& context, const std::string& kind, int number) {
    const std::string file = history_file_for(action_of(kind));
    JobSettings job;
    if (!load_history_entry(file, number, job)) {
        print_error("history play: there is no job " + std::to_string(number) + " in '" + file + "'");
        return EXIT_REFUSED;
    }
    const EngineRequest request = build_engine_request(job);
    if (request.type == 0) {
        print_error("history play: job " + std::to_string(number) + " is an " + kind_words(job.IsFile) +
                    " job, which cannot be played");
        return EXIT_REFUSED;
    }
    return run_engine_request(context, "history play", request.type, request.first, request.second, request.output,
                              request.pattern, request.flags, request.mask, &job);
}

}  // namespace

void setup_history(CLI::App& root, CliContext& context) {
    CLI::App* history = root.add_subcommand(
        "history", "Recorded jobs, shared with the desktop program: list, show, play, delete, record");
    history->require_subcommand(1);

    auto kind = std::make_shared<std::string>();
    auto number = std::make_shared<int>(0);

    CLI::App* list = history->add_subcommand("list", "List the recorded jobs, newest first");
    add_kind(*list, *kind);
    list->callback([kind] {
        for (HistoryEntry entry : list_history(history_file_for(action_of(*kind)))) {
            for (std::string* field : {&entry.base_path, &entry.updated_path, &entry.delta, &entry.record_time})
                *field = printable_name(*field);
            std::printf("%d\t%s\n", entry.number, history_list_line(entry).c_str());
        }
    });

    CLI::App* show = history->add_subcommand("show", "Show every setting of job N");
    add_kind(*show, *kind);
    add_number(*show, *number);
    show->callback([kind, number, &context] {
        const std::string file = history_file_for(action_of(*kind));
        JobSettings job;
        if (!load_history_entry(file, *number, job)) {
            print_error("history show: there is no job " + std::to_string(*number) + " in '" + file + "'");
            context.exit_status = EXIT_REFUSED;
            return;
        }
        show_job(file, *number, job);
    });

    CLI::App* play = history->add_subcommand("play", "Run job N again (--report replaces its own report settings)");
    add_kind(*play, *kind);
    add_number(*play, *number);
    play->callback([kind, number, &context] { context.exit_status = play_job(context, *kind, *number); });

    CLI::App* remove = history->add_subcommand("delete", "Delete job N (the numbers of the others stay)");
    add_kind(*remove, *kind);
    add_number(*remove, *number);
    remove->callback([kind, number, &context] {
        const std::string file = history_file_for(action_of(*kind));
        if (!entry_exists(file, *number)) {
            print_error("history delete: there is no job " + std::to_string(*number) + " in '" + file + "'");
            context.exit_status = EXIT_REFUSED;
        } else if (!delete_history_entry(file, *number)) {
            print_error("history delete: '" + file + "' could not be written");
            context.exit_status = EXIT_FILE_FAILED;
        }
    });

    auto options = std::make_shared<RecordOptions>();
    CLI::App* record = history->add_subcommand(
        "record", "Record a job without running it: create BASE UPDATED DELTA, or restore BASE DELTA UPDATED");
    add_kind(*record, options->kind);
    record->add_option("-a,--algorithms", options->algorithms, "create: algorithms to try, 0 to 7 (e.g. 0,7)")
        ->default_str("7");
    record->add_flag("--keep-all", options->keep_all, "create: keep one delta per algorithm");
    record->add_flag("--long-stamp", options->long_stamp, "create: check the base with 256 bytes instead of 4");
    record->add_flag("--no-keep-date", options->no_keep_date, "restore: do not restore the files' times");
    record->add_flag("--no-keep-attributes", options->no_keep_attributes,
                     "restore: do not restore the files' read/write bits");
    record->add_flag("--merge", options->merge, "restore of a directory: also copy base files that have no delta");
    record->add_flag("--dir", options->directory,
                     "The three names are directories (implied when SECOND is an existing directory)");
    record->add_option("--pattern", options->pattern, "Directory jobs: only files matching this wildcard");
    record->add_flag("--no-subdirs", options->no_subdirs, "Directory jobs: leave subdirectories out");
    record->add_flag("--clear-output", options->clear_output, "Directory jobs: empty the output directory first");
    add_fail_option(*record, options->fail);
    record->add_option("FIRST", options->first, "The base")->required();
    record->add_option("SECOND", options->second, "create: the updated name; restore: the delta")->required();
    record->add_option("THIRD", options->third, "create: the delta; restore: the updated name")->required();
    record->callback([options, &context] { context.exit_status = record_job(context, *options); });
}

}  // namespace quoralith::cli
