// How a sheet's job runs when no progress window is wired in: the job runner,
// synchronously, with the report file and no display.
#pragma once

#include "jobs/report.h"
#include "sheets/gui/operation_sheet.h"

namespace quoralith {

JobStarter synchronous_job_starter(const ReportTemplates& templates);

}  // namespace quoralith
