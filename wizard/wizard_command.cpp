// The Wizard command.
#include "wizard/wizard_command.h"

#include "jobs/gui/job_launcher.h"
#include "jobs/report.h"
#include "shell/common/ui_seams.h"
#include "wizard/wizard_pages.h"

namespace quoralith {

int run_wizard(QWidget* main_window, JobSettings& current, CWizardDlg::JobLauncher launcher,
               const QString& help_file) {
    CWizardDlg wizard(current, std::move(launcher), main_window);
    wizard.set_help_file(help_file);
    wizard.add_page(new CWizardActionPage(current), IDD_WIZARD_ACTION);
    wizard.add_page(new CWizardModePage(current), IDD_WIZARD_MODE);
    wizard.add_page(new CWizardBasePage(current), IDD_WIZARD_BASE);
    wizard.add_page(new CWizardInputPage(current), IDD_WIZARD_INPUT);
    wizard.add_page(new CWizardOutputPage(current), IDD_WIZARD_OUTPUT);
    return ModalDialog::exec(wizard);
}

CWizardDlg::JobLauncher progress_window_launcher(QWidget* main_window, const ReportTemplates& templates) {
    return [main_window, &templates](JobSettings& job) { return run_job_with_progress(main_window, job, templates); };
}

}  // namespace quoralith
