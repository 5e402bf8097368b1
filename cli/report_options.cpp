// The report options every job command shares: --report FILE, --append and
// --level, which write the same report file as the desktop program.
#include "cli/cli.h"

namespace quoralith::cli {

void add_report_options(CLI::App& root, CliContext& context) {
    root.add_option("--report", context.report_file,
                    "Write a report of the job to FILE (replacing it unless --append is given)")
        ->type_name("FILE")
        ->check([](const std::string& path) -> std::string {
            // The job record keeps the report's name in a fixed field; a longer
            // name would be cut and the report written somewhere else.
            if (path.size() >= PATH_FIELD_SIZE)
                return "the report's path is longer than " + std::to_string(PATH_FIELD_SIZE - 1) + " characters";
            if (path.empty()) return "the report's path is empty";
            return {};
        });
    root.add_flag("--append", context.report_append, "Add the report to the end of the --report file");
    root.add_option("--level", context.report_level,
                    "Report detail: 1 the job, 2 also each file, 3 also each algorithm tried")
        ->check(CLI::Range(1, 3))
        ->default_str("1");
}

JobSettings job_report_settings(const CliContext& context, const JobSettings* stored) {
    JobSettings job;
    if (!context.report_file.empty()) {
        set_field(job.ReportFile, context.report_file);
        job.LogFileMode = context.report_append ? LOG_APPEND : LOG_OVERWRITE;
        job.ReportLevel = context.report_level;
    } else if (stored) {
        set_field(job.ReportFile, stored->ReportFile);
        job.LogFileMode = stored->ReportFile[0] ? stored->LogFileMode : LOG_NONE;
        job.ReportLevel = stored->ReportLevel;
    } else {
        job.LogFileMode = LOG_NONE;
    }
    return job;
}

}  // namespace quoralith::cli
