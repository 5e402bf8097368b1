// Running a job from the desktop: the job runs on a thread of its own while
// its progress window (dialog 127) shows it, so that the window repaints and
// Stop is seen within a moment however long a file takes. The caller waits,
// with the event loop running, until the job has ended.
//
// Thread safety: call from the user-interface thread only. One job at a time
// in the process.
#pragma once

#include "jobs/report.h"
#include "jobs/run_job.h"
#include "sheets/job_settings.h"

class QWidget;

namespace quoralith {

class ProgressDialog;

// Runs `job` with run_job's runner and a new progress window owned by `owner`
// (centred on it), and returns run_job's result once the job has ended: 0
// after a run, ERR_BAD_REQUEST when the engine refused it, ERR_JOB_RUNNING
// when a job was already running. The window then shows the summary and OK
// and stays open until the user closes it. `job` is read, never written;
// its UseProgressWindow and ProgressWindow are set on the runner's copy.
int run_job_with_progress(QWidget* owner, const JobSettings& job, const ReportTemplates& templates);
// The same with another engine in engine_run's place (tests script one).
int run_job_with_progress(QWidget* owner, const JobSettings& job, const ReportTemplates& templates,
                          EngineEntry engine);

// True from a job's start until it has ended.
bool job_running();

// Asks the running job to stop, as its Stop Process button does, and returns
// once it has ended (its report closed). Does nothing when no job runs.
void stop_running_job();

// The running job's progress window, or null (also once the user closed it).
ProgressDialog* running_progress_dialog();

}  // namespace quoralith
