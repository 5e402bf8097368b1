// The main window's Wizard command (32776): builds the wizard with its five
// pages and runs it modally over the main window.
//
// Thread safety: user-interface thread only.
#pragma once

#include "wizard/wizard_dlg.h"

class QWidget;

namespace quoralith {

class ReportTemplates;

// Runs the wizard on `current` over `main_window`; a finished wizard runs its
// job with `launcher`. `help_file` is the help contents page F1 looks the
// wizard's topic up beside. The wizard's own result is not used by the
// command; it is returned for tests.
int run_wizard(QWidget* main_window, JobSettings& current, CWizardDlg::JobLauncher launcher,
               const QString& help_file = {});

// The launcher the program uses: the job runs with a progress window owned by
// `main_window`, which stays open with the job's summary after the wizard
// has closed.
CWizardDlg::JobLauncher progress_window_launcher(QWidget* main_window, const ReportTemplates& templates);

}  // namespace quoralith
