// The runner bound to the real engine. Kept apart so that programs and tests
// that script the engine do not need it linked.
#include "engine/engine.h"
#include "jobs/run_job.h"

namespace quoralith {

EngineEntry real_engine() {
    return [](EngineRequest& request) { return engine_run(request); };
}

int run_job(const JobSettings& job, const ReportTemplates& templates) {
    return JobRunner(templates, real_engine()).run(job);
}

}  // namespace quoralith
