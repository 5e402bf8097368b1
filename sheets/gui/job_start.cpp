// The plain job starter.
#include "sheets/gui/job_start.h"

#include "jobs/run_job.h"

namespace quoralith {

JobStarter synchronous_job_starter(const ReportTemplates& templates) {
    return [&templates](QWidget*, JobSettings& job) {
        JobSettings run = job;
        run.ProgressWindow = nullptr;
        return run_job(run, templates);
    };
}

}  // namespace quoralith
