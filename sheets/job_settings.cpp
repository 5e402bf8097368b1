// Defaults and copying of the job record.
#include "sheets/job_settings.h"

#include <type_traits>

namespace quoralith {

// Copies by value must be complete and cheap: the record holds no owning members.
static_assert(std::is_trivially_copyable_v<JobSettings>);

void reset_to_defaults(JobSettings& settings) { settings = JobSettings{}; }

void copy_settings(JobSettings& to, const JobSettings& from) { to = from; }

}  // namespace quoralith
