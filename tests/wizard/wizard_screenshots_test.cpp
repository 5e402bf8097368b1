// Pictures of the wizard's five steps for a Create and for a Restore, taken
// headless. With QUORALITH_SCREENSHOT_DIR set they are written there (the
// README's pictures come from docs/screenshots); otherwise to a scratch folder.
#include "gui_test_support.h"

#include "shell/common/ui_seams.h"
#include "wizard/wizard_dlg.h"
#include "wizard/wizard_pages.h"

#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include <memory>

using namespace quoralith;
using namespace quoralith::test;

class WizardScreenshotsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> sandbox_;
    QString out_;

    // Walks a wizard through its steps, saving each as <prefix>-<step>.png.
    void shoot(bool restore, const QStringList& names, const QString& prefix) {
        JobSettings job;
        CWizardDlg wizard(job, [](JobSettings&) { return 0; });
        wizard.add_page(new CWizardActionPage(job), IDD_WIZARD_ACTION);
        wizard.add_page(new CWizardModePage(job), IDD_WIZARD_MODE);
        wizard.add_page(new CWizardBasePage(job), IDD_WIZARD_BASE);
        wizard.add_page(new CWizardInputPage(job), IDD_WIZARD_INPUT);
        wizard.add_page(new CWizardOutputPage(job), IDD_WIZARD_OUTPUT);
        wizard.show();
        if (restore) qobject_cast<CWizardActionPage*>(wizard.current_page())->restore_button()->click();
        for (int step = 1; step <= 5; ++step) {
            if (step >= 3) {
                auto* page = qobject_cast<CWizardPathPage*>(wizard.current_page());
                QVERIFY(page);
                // No name for step 5 shows the name it suggests.
                if (!names[step - 3].isEmpty()) page->name_edit()->setText(names[step - 3]);
            }
            QImage shot = wizard.grab().toImage();
            QVERIFY(!shot.isNull());
            QVERIFY(shot.save(QDir(out_).filePath(QStringLiteral("%1-%2.png").arg(prefix).arg(step))));
            if (step < 5) QTest::mouseClick(wizard.next_button(), Qt::LeftButton);
            QCOMPARE(wizard.current_index(), qMin(step, 4));
        }
        QVERIFY(MessageBox::shown().empty());
    }

private slots:
    void initTestCase() {
        sandbox_ = std::make_unique<Sandbox>();
        out_ = qEnvironmentVariable("QUORALITH_SCREENSHOT_DIR", sandbox_->path("shots"));
        QDir().mkpath(out_);
        // Names relative to the working directory keep the pictures free of
        // scratch paths.
        for (const char* name : {"report-1.0.pdf", "report-1.1.pdf", "report-1.1.pdf.dlt"})
            write_file(sandbox_->cwd(name), "x");
    }
    void cleanupTestCase() { sandbox_.reset(); }

    void createSteps() { shoot(false, {"report-1.0.pdf", "report-1.1.pdf", ""}, "wizard-create"); }
    void restoreSteps() { shoot(true, {"report-1.0.pdf", "report-1.1.pdf.dlt", ""}, "wizard-restore"); }
};

QTEST_MAIN(WizardScreenshotsTest)
#include "wizard_screenshots_test.moc"
