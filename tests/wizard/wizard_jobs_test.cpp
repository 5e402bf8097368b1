// The wizard as the main window opens it (menu command 32776 and the
// toolbar's Wizard button), running real jobs: a file pair and a folder pair
// are made into deltas and restored through the wizard, and what comes back
// is compared byte for byte with the Updated originals.
#include "gui_test_support.h"

#include "jobs/gui/progress_dialog.h"
#include "shell/app/commands.h"
#include "shell/app/main_frame.h"
#include "shell/app/morvane_app.h"
#include "shell/common/ui_seams.h"
#include "wizard/wizard_dlg.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_title.h"

#include <QAction>
#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolBar>

#include <functional>
#include <memory>
#include <random>

using namespace quoralith;
using namespace quoralith::test;

namespace {

QByteArray random_bytes(std::mt19937& random, int size) {
    QByteArray bytes(size, '\0');
    for (char& byte : bytes) byte = char(random() & 0xFF);
    return bytes;
}

// Updated made from Base by a few edits: changed bytes, an insertion, a cut.
QByteArray edited(const QByteArray& base, std::mt19937& random) {
    QByteArray updated = base;
    for (int i = 0; i < 20; ++i) updated[int(random() % updated.size())] = char(random() & 0xFF);
    updated.insert(updated.size() / 3, random_bytes(random, 777));
    updated.remove(updated.size() / 2, 1000);
    return updated;
}

void click_radio(QRadioButton* radio) { QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(6, radio->height() / 2)); }

// Takes the wizard through its five steps as a user would and presses End.
void drive(CWizardDlg& wizard, bool restore, bool folders, const QStringList& names) {
    auto* action = qobject_cast<CWizardActionPage*>(wizard.current_page());
    QVERIFY(action);
    click_radio(restore ? action->restore_button() : action->create_button());
    QTest::mouseClick(wizard.next_button(), Qt::LeftButton);
    auto* mode = qobject_cast<CWizardModePage*>(wizard.current_page());
    QVERIFY(mode);
    click_radio(folders ? mode->folders_button() : mode->files_button());
    for (const QString& name : names) {
        QTest::mouseClick(wizard.next_button(), Qt::LeftButton);
        auto* page = qobject_cast<CWizardPathPage*>(wizard.current_page());
        QVERIFY(page);
        // Over whatever the step offers (step 5 suggests an output name).
        page->name_edit()->selectAll();
        QTest::keyClicks(page->name_edit(), name);
    }
    QCOMPARE(wizard.next_button()->text(), QString("&End"));
    QTest::mouseClick(wizard.next_button(), Qt::LeftButton);
    QCOMPARE(wizard.result(), int(QDialog::Accepted));
}

// Every file under `root`, by its path relative to it.
QStringList files_under(const QString& root) {
    QStringList names;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) names << QDir(root).relativeFilePath(it.next());
    names.sort();
    return names;
}

}  // namespace

class WizardJobsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> sandbox_;
    std::unique_ptr<CMorvaneApp> app_;
    FakeAudioOutput audio_;

    CMainFrame& frame() { return *app_->main_frame(); }

    // Sends the Wizard command; `with_wizard` is what the user does in it.
    void run_wizard_command(const std::function<void(CWizardDlg&)>& with_wizard) {
        bool opened = false;
        ModalDialog::setTestHook([&](QDialog& dialog) {
            auto* wizard = qobject_cast<CWizardDlg*>(&dialog);
            opened = wizard != nullptr;
            if (wizard) with_wizard(*wizard);
            return dialog.result();
        });
        frame().dispatch(ID_ACTIONS_WIZARD);
        ModalDialog::setTestHook(nullptr);
        QVERIFY(opened);
    }
    void run_job(bool restore, bool folders, const QStringList& names) {
        run_wizard_command([&](CWizardDlg& wizard) { drive(wizard, restore, folders, names); });
    }

private slots:
    void init() {
        sandbox_ = std::make_unique<Sandbox>();
        audio_ = FakeAudioOutput{};
        audio_.device = false;
        set_audio_output(&audio_);
        app_ = std::make_unique<CMorvaneApp>();
        app_->init_instance();
    }
    void cleanup() {
        app_.reset();
        set_audio_output(nullptr);
        sandbox_.reset();
    }

    void theMenuAndTheToolbarOpenTheWizardOverTheMainWindow() {
        QAction* menu_item = frame().action(ID_ACTIONS_WIZARD);
        QVERIFY(menu_item);
        QCOMPARE(menu_item->text(), QString("Quoralith &Wizard"));
        QWidget* button = frame().tool_bar()->widgetForAction(menu_item);
        QVERIFY(button);
        for (int way = 0; way < 2; ++way) {
            int opened = 0;
            ModalDialog::setTestHook([&](QDialog& dialog) {
                auto* wizard = qobject_cast<CWizardDlg*>(&dialog);
                if (!wizard) return int(QDialog::Rejected);
                ++opened;
                [&] {
                    QCOMPARE(wizard->parentWidget(), static_cast<QWidget*>(&frame()));
                    QCOMPARE(wizard->windowTitle(), QString("Quoralith Wizard"));
                    QCOMPARE(wizard->page_count(), 5);
                    const int resources[] = {130, 1541, 131, 132, 133};
                    for (int i = 0; i < 5; ++i) QCOMPARE(wizard->page_resource(i), resources[i]);
                    QCOMPARE(wizard->current_index(), 0);
                }();
                QTest::mouseClick(wizard->cancel_button(), Qt::LeftButton);
                return dialog.result();
            });
            if (way == 0)
                menu_item->trigger();
            else
                QTest::mouseClick(button, Qt::LeftButton);
            ModalDialog::setTestHook(nullptr);
            QCOMPARE(opened, 1);
        }
        QVERIFY(MessageBox::shown().empty());
    }

    void aFilePairIsMadeIntoADeltaAndRestored() {
        std::mt19937 random(17);
        const QByteArray base = random_bytes(random, 300000);
        const QByteArray updated = edited(base, random);
        const QString base_path = sandbox_->cwd("base.bin");
        const QString updated_path = sandbox_->cwd("updated.bin");
        const QString delta_path = sandbox_->cwd("update.dlt");
        const QString restored_path = sandbox_->cwd("restored.bin");
        write_file(base_path, base);
        write_file(updated_path, updated);

        run_job(false, false, {base_path, updated_path, delta_path});
        // The job ran with a progress window of the main window, which stays
        // open with its summary after the wizard has gone.
        const QList<ProgressDialog*> windows = frame().findChildren<ProgressDialog*>();
        QCOMPARE(windows.size(), 1);
        QVERIFY(windows[0]->isVisible());
        windows[0]->close();
        const QByteArray delta = read_file(delta_path);
        QVERIFY(!delta.isEmpty());
        QVERIFY(delta.size() < updated.size() / 10);

        run_job(true, false, {base_path, delta_path, restored_path});
        QCOMPARE(read_file(restored_path), updated);
        QVERIFY(MessageBox::shown().empty());
        QCOMPARE(app_->current.Action, 1);
        QCOMPARE(QString(app_->current.UpdatedPath), restored_path);
    }

    // The Compact box of step 2 makes a compact delta, which the wizard's
    // restore reads like any other; a Restore does not offer the box.
    void theCompactBoxMakesACompactDeltaThatRestores() {
        std::mt19937 random(23);
        const QByteArray base = random_bytes(random, 200000);
        const QByteArray updated = edited(base, random);
        const QString base_path = sandbox_->cwd("base.bin"), updated_path = sandbox_->cwd("updated.bin");
        const QString delta_path = sandbox_->cwd("compact.dlt"), restored_path = sandbox_->cwd("restored.bin");
        write_file(base_path, base);
        write_file(updated_path, updated);

        run_wizard_command([&](CWizardDlg& wizard) {
            auto* action = qobject_cast<CWizardActionPage*>(wizard.current_page());
            QVERIFY(action);
            click_radio(action->create_button());
            QTest::mouseClick(wizard.next_button(), Qt::LeftButton);
            auto* mode = qobject_cast<CWizardModePage*>(wizard.current_page());
            QVERIFY(mode);
            QVERIFY(mode->compact_box()->isVisible());
            QVERIFY(!mode->compact_box()->isChecked());
            QTest::mouseClick(mode->compact_box(), Qt::LeftButton, {}, QPoint(6, mode->compact_box()->height() / 2));
            QCOMPARE(app_->current.CompactLevel, COMPACT_LEVEL_ON);
            QTest::mouseClick(wizard.cancel_button(), Qt::LeftButton);
        });
        run_job(false, false, {base_path, updated_path, delta_path});
        for (ProgressDialog* window : frame().findChildren<ProgressDialog*>()) window->close();
        const QByteArray delta = read_file(delta_path);
        QVERIFY(delta.size() > 2);
        QCOMPARE(quint8(delta[0]), quint8(0x51));
        QCOMPARE(quint8(delta[1]), quint8(0xCD));

        run_wizard_command([&](CWizardDlg& wizard) {
            auto* action = qobject_cast<CWizardActionPage*>(wizard.current_page());
            QVERIFY(action);
            click_radio(action->restore_button());
            QTest::mouseClick(wizard.next_button(), Qt::LeftButton);
            auto* mode = qobject_cast<CWizardModePage*>(wizard.current_page());
            QVERIFY(mode);
            QVERIFY(!mode->compact_box()->isVisible());
            QTest::mouseClick(wizard.cancel_button(), Qt::LeftButton);
        });
        run_job(true, false, {base_path, delta_path, restored_path});
        QCOMPARE(read_file(restored_path), updated);
        QVERIFY(MessageBox::shown().empty());
    }

    void aFolderPairIsMadeIntoADeltaFolderAndRestored() {
        std::mt19937 random(29);
        const QString base = sandbox_->cwd("base"), updated = sandbox_->cwd("updated");
        const QString delta = sandbox_->cwd("delta"), restored = sandbox_->cwd("restored");
        for (const QString& root : {base, updated}) QVERIFY(QDir().mkpath(root + "/sub"));
        const QByteArray program = random_bytes(random, 120000);
        write_file(base + "/program.bin", program);
        write_file(updated + "/program.bin", edited(program, random));
        const QByteArray notes = QByteArray("line of notes\n").repeated(500);
        write_file(base + "/sub/notes.txt", notes);
        write_file(updated + "/sub/notes.txt", notes + "one more line\n");
        write_file(base + "/only in base.txt", "old");
        write_file(updated + "/sub/new file.txt", random_bytes(random, 3000));
        write_file(updated + "/empty", "");

        run_job(false, true, {base, updated, delta});
        QCOMPARE(files_under(delta), files_under(updated));
        run_job(true, true, {base, delta, restored});

        const QStringList names = files_under(updated);
        QCOMPARE(files_under(restored), names);
        for (const QString& name : names) QCOMPARE(read_file(restored + "/" + name), read_file(updated + "/" + name));
        QVERIFY(MessageBox::shown().empty());
    }

    // A later wizard shows the action and kind an earlier one left in the
    // record (Cancel keeps them there too), and so runs what it shows.
    void aSecondWizardShowsWhatTheFirstLeft() {
        run_wizard_command([](CWizardDlg& wizard) {
            auto* action = qobject_cast<CWizardActionPage*>(wizard.current_page());
            QVERIFY(action && action->create_button()->isChecked());
            click_radio(action->restore_button());
            QTest::mouseClick(wizard.next_button(), Qt::LeftButton);
            auto* mode = qobject_cast<CWizardModePage*>(wizard.current_page());
            QVERIFY(mode && mode->files_button()->isChecked());
            click_radio(mode->folders_button());
            QTest::mouseClick(wizard.cancel_button(), Qt::LeftButton);
        });
        QCOMPARE(app_->current.Action, 1);
        QCOMPARE(app_->current.IsFile, 1);
        run_wizard_command([](CWizardDlg& wizard) {
            auto* action = qobject_cast<CWizardActionPage*>(wizard.current_page());
            QVERIFY(action && action->restore_button()->isChecked());
            QTest::mouseClick(wizard.next_button(), Qt::LeftButton);
            auto* mode = qobject_cast<CWizardModePage*>(wizard.current_page());
            QVERIFY(mode && mode->folders_button()->isChecked());
            QCOMPARE(mode->folders_button()->text(), QString("Restore Folder From Delta"));
            QTest::mouseClick(wizard.next_button(), Qt::LeftButton);
            QCOMPARE(wizard.title()->text(), QString("Step 3\t  Input Base Folder Name"));
            QTest::mouseClick(wizard.cancel_button(), Qt::LeftButton);
        });
    }
};

QTEST_MAIN(WizardJobsTest)
#include "wizard_jobs_test.moc"
