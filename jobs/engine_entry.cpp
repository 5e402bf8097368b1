// The runner bound to the real engine. Kept apart so that programs and tests
// that script the engine do not need it linked.
#include "engine/engine.h"
#include "jobs/run_job.h"

namespace quoralith {

EngineEntry real_engine() {
    return [](int type, const std::string& first, const std::string& second, std::string& output,
              const std::string& pattern, const std::string& match_file, EngineFlags flags, AlgorithmMask mask,
              const ProgressCallback& callback) {
        return engine_run(type, first, second, output, pattern, match_file, flags, mask, callback);
    };
}

int run_job(const JobSettings& job, const ReportTemplates& templates) {
    return JobRunner(templates, real_engine()).run(job);
}

}  // namespace quoralith
