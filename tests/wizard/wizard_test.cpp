// The wizard driven as a user drives it, headless: its steps' texts and
// pictures, the checks of steps 3 to 5, Browse, the four buttons, and what
// ends up in the job record and is handed to the job.
#include "gui_test_support.h"

#include "sheets/remembered_jobs.h"
#include "shell/app/commands.h"
#include "shell/common/help_viewer.h"
#include "shell/common/resource_picture.h"
#include "shell/common/ui_seams.h"
#include "wizard/wizard_dlg.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_title.h"

#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QWindow>

#include <memory>
#include <vector>

using namespace quoralith;
using namespace quoralith::test;

namespace {

const QString CAPTION = QString::fromLatin1(APPLICATION_TITLE);

// Whether a help viewer is up (without making one).
bool viewer_shown() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->objectName() == "HelpViewer" && window->isVisible()) return true;
    return false;
}

bool has_white(const QImage& image, const QRect& area) {
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (image.pixelColor(x, y) == QColor(Qt::white)) return true;
    return false;
}

}  // namespace

class WizardTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> sandbox_;
    JobSettings job_;
    std::vector<JobSettings> launched_;
    std::unique_ptr<CWizardDlg> wizard_;

    // A wizard over job_ with the first `pages` of the five pages, shown.
    CWizardDlg& open(int pages = 5) {
        wizard_ = std::make_unique<CWizardDlg>(job_, [this](JobSettings& job) {
            launched_.push_back(job);
            return 0;
        });
        CWizardPage* all[] = {new CWizardActionPage(job_), new CWizardModePage(job_), new CWizardBasePage(job_),
                              new CWizardInputPage(job_), new CWizardOutputPage(job_)};
        const int ids[] = {IDD_WIZARD_ACTION, IDD_WIZARD_MODE, IDD_WIZARD_BASE, IDD_WIZARD_INPUT, IDD_WIZARD_OUTPUT};
        for (int i = 0; i < 5; ++i) {
            if (i < pages)
                wizard_->add_page(all[i], ids[i]);
            else
                delete all[i];
        }
        wizard_->show();
        return *wizard_;
    }
    void next() { QTest::mouseClick(wizard_->next_button(), Qt::LeftButton); }
    void back() { QTest::mouseClick(wizard_->back_button(), Qt::LeftButton); }
    QString title() const { return wizard_->title()->text(); }
    QString next_text() const { return wizard_->next_button()->text(); }
    int picture() const { return wizard_->picture_frame()->pictureId(); }
    CWizardActionPage* action_page() const { return qobject_cast<CWizardActionPage*>(wizard_->page(0)); }
    CWizardModePage* mode_page() const { return qobject_cast<CWizardModePage*>(wizard_->page(1)); }
    CWizardPathPage* path_page() const { return qobject_cast<CWizardPathPage*>(wizard_->current_page()); }
    QString label() const { return path_page()->label()->text(); }
    // Replaces the current path page's name as a user would, by typing.
    void type(const QString& name) {
        QLineEdit* edit = path_page()->name_edit();
        edit->clear();
        QTest::keyClicks(edit, name);
    }
    // A radio button takes clicks on its mark and its text, not on the empty
    // rest of its width.
    static void click_radio(QRadioButton* radio) {
        QTest::mouseClick(radio, Qt::LeftButton, {}, QPoint(6, radio->height() / 2));
    }
    void choose_restore() { click_radio(action_page()->restore_button()); }
    void choose_folders() { click_radio(mode_page()->folders_button()); }
    // Goes on to step `step`, typing the given names into steps 3 and 4 (a
    // step without one keeps its name); every step passed must be accepted.
    void walk_to(int step, const QStringList& names = {}) {
        for (int index = wizard_->current_index(); index + 1 < step; ++index) {
            if (index >= 2 && index - 2 < names.size()) type(names[index - 2]);
            next();
        }
        QCOMPARE(wizard_->current_index(), step - 1);
    }
    QString file(const QString& name, const QByteArray& bytes = "x") {
        const QString path = sandbox_->cwd(name);
        write_file(path, bytes);
        return path;
    }
    QString folder(const QString& name) {
        const QString path = sandbox_->cwd(name);
        QDir().mkpath(path);
        return path;
    }

private slots:
    void init() {
        sandbox_ = std::make_unique<Sandbox>();
        reset_to_defaults(job_);
        launched_.clear();
    }
    void cleanup() {
        wizard_.reset();
        sandbox_.reset();
    }

    void openingLaysOutTheWizard() {
        CWizardDlg& wizard = open();
        QCOMPARE(wizard.windowTitle(), QString("Quoralith Wizard"));
        QCOMPARE(wizard.objectName(), QString("1540"));
        QVERIFY(!wizard.windowIcon().isNull());
        QCOMPARE(wizard.picture_frame()->size(), QSize(199, 297));
        QVERIFY(wizard.page_area()->isHidden());
        QCOMPARE(wizard.page_count(), 5);
        for (int i = 0; i < 5; ++i) QCOMPARE(wizard.page(i)->geometry(), wizard.page_area()->geometry());
        QCOMPARE(wizard.current_index(), 0);
        QVERIFY(wizard.page(0)->isVisible());
        for (int i = 1; i < 5; ++i) QVERIFY(!wizard.page(i)->isVisible());
        QCOMPARE(next_text(), QString("&Next >>"));
        QVERIFY(wizard.next_button()->isDefault());
        QCOMPARE(wizard.back_button()->text(), QString("<< &Back"));
        QVERIFY(!wizard.back_button()->isEnabled());
        QCOMPARE(wizard.cancel_button()->text(), QString("&Cancel"));
        QCOMPARE(title(), QString("Step 1\t  Select Type Of Action"));
        QCOMPARE(action_page()->create_button()->text(), QString("Create delta "));
        QCOMPARE(action_page()->restore_button()->text(), QString("Restore from delta"));
        QCOMPARE(picture(), 135);
    }

    // A fresh start with Next, Next: a Create of files, with its own texts
    // and pictures at every step, handed to the job with the progress window.
    void freshStartRunsACreateOfFiles() {
        const QString base = file("base.bin"), updated = file("updated.bin");
        const QString delta = sandbox_->cwd("out.dlt");
        open();
        QVERIFY(action_page()->create_button()->isChecked());
        next();
        QCOMPARE(title(), QString("Step 2\t  Select Create Option"));
        QCOMPARE(mode_page()->files_button()->text(), QString("Create Delta For Files"));
        QCOMPARE(mode_page()->folders_button()->text(), QString("Create Delta For Folders"));
        QVERIFY(mode_page()->files_button()->isChecked());
        QCOMPARE(picture(), 136);
        QVERIFY(wizard_->back_button()->isEnabled());
        next();
        QCOMPARE(title(), QString("Step 3\t  Input Base File Name"));
        QCOMPARE(label(), QString("Base File"));
        QCOMPARE(picture(), 137);
        type(base);
        next();
        QCOMPARE(title(), QString("Step 4\t  Input Updated File Name"));
        QCOMPARE(label(), QString("Updated File"));
        QCOMPARE(picture(), 139);
        type(updated);
        next();
        QCOMPARE(title(), QString("Step 5\t  Output Delta File Name"));
        QCOMPARE(label(), QString("Delta File"));
        QCOMPARE(picture(), 138);
        QCOMPARE(next_text(), QString("&End"));
        type(delta);
        job_.UseProgressWindow = 0;
        next();

        QVERIFY(MessageBox::shown().empty());
        QCOMPARE(wizard_->result(), int(QDialog::Accepted));
        QCOMPARE(wizard_->page_count(), 0);
        QCOMPARE(launched_.size(), std::size_t(1));
        const JobSettings& ran = launched_.front();
        QCOMPARE(ran.Action, 0);
        QCOMPARE(ran.IsFile, 0);
        QCOMPARE(QString(ran.BasePath), base);
        QCOMPARE(QString(ran.UpdatedPath), updated);
        QCOMPARE(QString(ran.Delta), delta);
        QCOMPARE(ran.UseProgressWindow, 1);
        // What the pages wrote stays in the record.
        QCOMPARE(QString(job_.Delta), delta);
    }

    // Every step's texts and pictures for the four kinds of job.
    void textsAndPicturesFollowActionAndKind_data() {
        QTest::addColumn<bool>("restore");
        QTest::addColumn<bool>("folders");
        QTest::addColumn<QStringList>("texts");  // title and label of steps 3, 4 and 5
        QTest::addColumn<QList<int>>("pictures");
        QTest::newRow("create files") << false << false
                                      << QStringList{"Step 3\t  Input Base File Name", "Base File",
                                                     "Step 4\t  Input Updated File Name", "Updated File",
                                                     "Step 5\t  Output Delta File Name", "Delta File"}
                                      << QList<int>{135, 136, 137, 139, 138};
        QTest::newRow("create folders") << false << true
                                        << QStringList{"Step 3\t  Input Base Folder Name", "Base Folder",
                                                       "Step 4\t  Input Updated Folder Name", "Updated Folder",
                                                       "Step 5\t  Output Delta Folder Name", "Delta Folder"}
                                        << QList<int>{135, 136, 137, 139, 138};
        QTest::newRow("restore files") << true << false
                                       << QStringList{"Step 3\t  Input Base File Name", "Base File",
                                                      "Step 4\t  Input Delta File Name", "Delta File",
                                                      "Step 5\t  Output Updated File Name", "Updated File"}
                                       << QList<int>{135, 136, 137, 138, 139};
        QTest::newRow("restore folders") << true << true
                                         << QStringList{"Step 3\t  Input Base Folder Name", "Base Folder",
                                                        "Step 4\t  Input Delta Folder Name", "Delta Folder",
                                                        "Step 5\t  Output Updated Folder Name", "Updated Folder"}
                                         << QList<int>{135, 136, 137, 138, 139};
    }
    void textsAndPicturesFollowActionAndKind() {
        QFETCH(bool, restore);
        QFETCH(bool, folders);
        QFETCH(QStringList, texts);
        QFETCH(QList<int>, pictures);
        const QString input = folders ? folder("in") : file("in");
        open();
        QCOMPARE(picture(), pictures[0]);
        if (restore) choose_restore();
        QCOMPARE(job_.Action, restore ? 1 : 0);
        next();
        QCOMPARE(title(), restore ? QString("Step 2\t  Select Restore Option") : QString("Step 2\t  Select Create Option"));
        QCOMPARE(mode_page()->files_button()->text(),
                 restore ? QString("Restore File From Delta") : QString("Create Delta For Files"));
        QCOMPARE(mode_page()->folders_button()->text(),
                 restore ? QString("Restore Folder From Delta") : QString("Create Delta For Folders"));
        QCOMPARE(picture(), pictures[1]);
        if (folders) choose_folders();
        QCOMPARE(job_.IsFile, folders ? 1 : 0);
        for (int step = 3; step <= 5; ++step) {
            next();
            QCOMPARE(wizard_->current_index(), step - 1);
            QCOMPARE(title(), texts[(step - 3) * 2]);
            QCOMPARE(label(), texts[(step - 3) * 2 + 1]);
            QCOMPARE(picture(), pictures[step - 1]);
            type(input);
        }
        QVERIFY(MessageBox::shown().empty());
    }

    // Each path page writes the field its step names for the action.
    void pathPagesWriteTheirFields() {
        open();
        choose_restore();
        next();
        next();
        type("typed base");
        // A typed Base name is stored like a browsed one.
        QCOMPARE(QString(job_.BasePath), QString("typed base"));
        FileDialog::setNextFileName(sandbox_->cwd("browsed base"));
        QTest::mouseClick(path_page()->browse_button(), Qt::LeftButton);
        QCOMPARE(QString(job_.BasePath), sandbox_->cwd("browsed base"));
        QCOMPARE(path_page()->name_edit()->text(), sandbox_->cwd("browsed base"));
        // The file dialog was asked for, and its Cancel keeps the name.
        QTest::mouseClick(path_page()->browse_button(), Qt::LeftButton);
        QCOMPARE(QString(job_.BasePath), sandbox_->cwd("browsed base"));
        QCOMPARE(path_page()->name_edit()->text(), sandbox_->cwd("browsed base"));

        type(file("b"));
        next();
        type("the delta");
        QCOMPARE(QString(job_.Delta), QString("the delta"));
        QCOMPARE(QString(job_.UpdatedPath), QString());
        type(file("d"));
        next();
        type("the output");
        QCOMPARE(QString(job_.UpdatedPath), QString("the output"));
    }

    // A name kept through a change of action is stored where the new action
    // reads it, so the job runs on the names the user saw and the checks passed.
    // Browse asks for a folder in folder mode ("Browse Folder", nothing
    // preselected) and for a file otherwise; a cancel keeps edit and field.
    void browseAsksForTheKindOfNameTheJobNeeds() {
        const QString chosen = folder("chosen folder");
        open();
        next();
        choose_folders();
        next();
        type("typed");
        FileDialog::clearRequests();
        QTest::mouseClick(path_page()->browse_button(), Qt::LeftButton);
        QCOMPARE(path_page()->name_edit()->text(), QString("typed"));
        QCOMPARE(QString(job_.BasePath), QString("typed"));
        FileDialog::setNextFolder(chosen);
        QTest::mouseClick(path_page()->browse_button(), Qt::LeftButton);
        QCOMPARE(path_page()->name_edit()->text(), chosen);
        QCOMPARE(QString(job_.BasePath), chosen);
        QCOMPARE(FileDialog::requests().size(), std::size_t(2));
        for (const DialogRequest& request : FileDialog::requests()) {
            QCOMPARE(request.kind, DialogRequest::Folder);
            QCOMPARE(request.caption, QString("Browse Folder"));
            QVERIFY(request.directory.isEmpty());
        }

        back();
        click_radio(mode_page()->files_button());
        next();
        FileDialog::clearRequests();
        QTest::mouseClick(path_page()->browse_button(), Qt::LeftButton);
        QCOMPARE(FileDialog::requests().size(), std::size_t(1));
        QCOMPARE(FileDialog::requests()[0].kind, DialogRequest::OpenFile);
        QCOMPARE(FileDialog::requests()[0].filter, QString("All files(*.*) (*)"));
        QCOMPARE(path_page()->name_edit()->text(), chosen);
        QVERIFY(MessageBox::shown().empty());
    }

    void aNameKeptThroughAChangeOfActionMovesWithIt() {
        const QString base = file("base"), updated = file("updated");
        open();
        walk_to(4, {base});
        type(updated);
        QCOMPARE(QString(job_.UpdatedPath), updated);
        back();
        back();
        back();
        choose_restore();
        walk_to(4);  // the base name is still on its page
        QCOMPARE(path_page()->name_edit()->text(), updated);
        next();
        QCOMPARE(QString(job_.Delta), updated);
        type(sandbox_->cwd("restored"));
        next();
        QCOMPARE(launched_.size(), std::size_t(1));
        QCOMPARE(launched_[0].Action, 1);
        QCOMPARE(QString(launched_[0].BasePath), base);
        QCOMPARE(QString(launched_[0].Delta), updated);
        QCOMPARE(QString(launched_[0].UpdatedPath), sandbox_->cwd("restored"));
    }

    void inputStepsRefuseWithTheirMessages_data() {
        QTest::addColumn<int>("step");
        QTest::addColumn<bool>("restore");
        QTest::addColumn<bool>("folders");
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("message");  // "%1" stands for the name
        QTest::newRow("base empty") << 3 << false << false << "" << "Base name must be specified.";
        QTest::newRow("updated empty") << 4 << false << false << "" << "Updated name must be specified.";
        QTest::newRow("delta empty") << 4 << true << false << "" << "Delta name must be specified.";
        QTest::newRow("delta output empty") << 5 << false << true << "" << "Delta name must be specified.";
        QTest::newRow("updated output empty") << 5 << true << false << "" << "Updated name must be specified.";
        QTest::newRow("missing folder") << 3 << false << true << "missing" << "Folder ''%1'' does not exist";
        QTest::newRow("file for a folder") << 3 << false << true << "a file"
                                           << "''%1'' is a file name. You may only specify a folder name! ";
        QTest::newRow("missing file") << 4 << true << false << "missing" << "File ''%1'' does not exist";
        QTest::newRow("folder for a file") << 4 << false << false << "a folder"
                                           << "''%1'' is a folder name. You may only specify a file name! ";
        QTest::newRow("output folder is a file") << 5 << false << true << "a file"
                                                 << "''%1'' is a file name. You may only specify a folder name! ";
        QTest::newRow("output file is a folder") << 5 << true << false << "a folder"
                                                 << "''%1'' is a folder name. You may only specify a file name! ";
    }
    void inputStepsRefuseWithTheirMessages() {
        QFETCH(int, step);
        QFETCH(bool, restore);
        QFETCH(bool, folders);
        QFETCH(QString, name);
        QFETCH(QString, message);
        const QString input = folders ? folder("input") : file("input");
        file("a file");
        folder("a folder");
        open();
        if (restore) choose_restore();
        next();
        if (folders) choose_folders();
        walk_to(step, {input, input});
        // Relative names are taken from the working directory, as typed.
        type(name);
        next();
        QCOMPARE(wizard_->current_index(), step - 1);
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].text, message.contains("%1") ? message.arg(name) : message);
        QCOMPARE(MessageBox::shown()[0].caption, CAPTION);
        QVERIFY(launched_.empty());
    }

    // The output may be new in both modes, and an existing file in file mode
    // (the job overwrites it); an existing folder in folder mode.
    void theOutputStepAcceptsNewNamesAndItsOwnKind_data() {
        QTest::addColumn<bool>("folders");
        QTest::addColumn<QString>("name");
        QTest::newRow("new file") << false << "new.dlt";
        QTest::newRow("existing file") << false << "a file";
        QTest::newRow("new folder") << true << "new folder";
        QTest::newRow("existing folder") << true << "a folder";
    }
    void theOutputStepAcceptsNewNamesAndItsOwnKind() {
        QFETCH(bool, folders);
        QFETCH(QString, name);
        const QString input = folders ? folder("input") : file("input");
        file("a file");
        folder("a folder");
        open();
        next();
        if (folders) choose_folders();
        walk_to(5, {input, input});
        type(name);
        next();
        QVERIFY(MessageBox::shown().empty());
        QCOMPARE(launched_.size(), std::size_t(1));
        // A file-mode Delta without extension gets ".dlt", as in the sheets.
        QCOMPARE(QString(launched_[0].Delta), folders || name.contains('.') ? name : name + ".dlt");
        QCOMPARE(launched_[0].IsFile, folders ? 1 : 0);
    }

    // The record keeps 127 bytes of a name; a longer one is refused rather
    // than checked in full and then used cut short.
    void aNameTooLongForTheRecordIsRefused() {
        const QString input = file("input");
        open();
        walk_to(5, {input, input});
        const QString long_name = sandbox_->cwd(QString(130, QLatin1Char('n')));
        type(long_name);
        QCOMPARE(qstrlen(job_.Delta), std::size_t(127));
        next();
        QCOMPARE(wizard_->current_index(), 4);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList{"''" + long_name + "'' is too long. A name may have at most 127 characters."});
        QVERIFY(launched_.empty());
    }

    void storedNamesAreCutWithoutSplittingACharacter() {
        char field[PATH_FIELD_SIZE];
        store_name(field, QString(126, QLatin1Char('a')) + QString::fromUtf8("\xC3\xA9"));  // 126 + 2 bytes
        QCOMPARE(qstrlen(field), std::size_t(126));
        store_name(field, QString(125, QLatin1Char('a')) + QString::fromUtf8("\xC3\xA9z"));
        QCOMPARE(QString::fromUtf8(field), QString(125, QLatin1Char('a')) + QString::fromUtf8("\xC3\xA9"));
        QCOMPARE(stored_name(field), QString(125, QLatin1Char('a')) + QString::fromUtf8("\xC3\xA9"));
    }

    void backRestoresNextAndDisablesItselfOnTheFirstStep() {
        const QString input = file("input");
        open();
        walk_to(5, {input, input});
        QCOMPARE(next_text(), QString("&End"));
        back();
        QCOMPARE(wizard_->current_index(), 3);
        QCOMPARE(next_text(), QString("&Next >>"));
        QVERIFY(wizard_->back_button()->isEnabled());
        // Back never checks: an empty name does not hold it.
        type("");
        back();
        back();
        QCOMPARE(wizard_->current_index(), 1);
        QVERIFY(wizard_->back_button()->isEnabled());
        back();
        QCOMPARE(wizard_->current_index(), 0);
        QVERIFY(!wizard_->back_button()->isEnabled());
        QCOMPARE(title(), QString("Step 1\t  Select Type Of Action"));
        QCOMPARE(picture(), 135);
        QVERIFY(MessageBox::shown().empty());
    }

    // While the job runs the wizard cannot be left or driven again.
    void theWizardHoldsStillWhileItsJobRuns() {
        bool checked = false;
        wizard_ = std::make_unique<CWizardDlg>(job_, [this, &checked](JobSettings&) {
            checked = true;
            for (QPushButton* button :
                 {wizard_->next_button(), wizard_->back_button(), wizard_->cancel_button()})
                if (button->isEnabled()) checked = false;
            wizard_->reject();
            wizard_->close();
            if (!wizard_->isVisible()) checked = false;
            return 0;
        });
        wizard_->add_page(new CWizardActionPage(job_), IDD_WIZARD_ACTION);
        wizard_->show();
        next();
        QVERIFY(checked);
        QCOMPARE(wizard_->result(), int(QDialog::Accepted));
    }

    void aSinglePageStartsWithEnd() {
        open(1);
        QCOMPARE(next_text(), QString("&End"));
        QVERIFY(!wizard_->back_button()->isEnabled());
        next();
        QCOMPARE(launched_.size(), std::size_t(1));
        QCOMPARE(wizard_->result(), int(QDialog::Accepted));
    }

    void twoPagesStartWithNextAndEndOnTheSecond() {
        open(2);
        QCOMPARE(next_text(), QString("&Next >>"));
        next();
        QCOMPARE(next_text(), QString("&End"));
        QVERIFY(launched_.empty());
    }

    // What steps 1 and 2 show is what the record holds, so that the job that
    // runs is the one the user saw, also after an earlier restore of folders.
    void stepsOneAndTwoShowTheRecordsActionAndKind() {
        job_.Action = 1;
        job_.IsFile = 1;
        open();
        QVERIFY(action_page()->restore_button()->isChecked());
        QVERIFY(!action_page()->create_button()->isChecked());
        next();
        QVERIFY(mode_page()->folders_button()->isChecked());
        QCOMPARE(mode_page()->folders_button()->text(), QString("Restore Folder From Delta"));
        // Showing the choice writes nothing; clicking does.
        back();
        click_radio(action_page()->create_button());
        QCOMPARE(job_.Action, 0);
        next();
        click_radio(mode_page()->files_button());
        QCOMPARE(job_.IsFile, 0);
        next();
        QCOMPARE(title(), QString("Step 3\t  Input Base File Name"));
    }

    void cancelKeepsWhatThePagesWroteAndRunsNothing() {
        open();
        choose_restore();
        next();
        choose_folders();
        next();
        type("half typed");
        QTest::mouseClick(wizard_->cancel_button(), Qt::LeftButton);
        QCOMPARE(wizard_->result(), int(QDialog::Rejected));
        QVERIFY(!wizard_->isVisible());
        QCOMPARE(wizard_->page_count(), 0);
        QVERIFY(launched_.empty());
        QCOMPARE(job_.Action, 1);
        QCOMPARE(job_.IsFile, 1);
        QCOMPARE(QString(job_.BasePath), QString("half typed"));
    }

    // Enter and Escape in a page neither go on nor close the wizard.
    void enterAndEscapeInAPageDoNothing() {
        open();
        walk_to(3);
        QLineEdit* edit = path_page()->name_edit();
        QTest::keyClick(edit, Qt::Key_Return);
        QTest::keyClick(edit, Qt::Key_Escape);
        QCOMPARE(wizard_->current_index(), 2);
        QVERIFY(wizard_->isVisible());
        QVERIFY(MessageBox::shown().empty());
    }

    void theTitleFillsItsRowsAndSplitsItsTextAtTheTab() {
        QCOMPARE(mul_div(252, 0, 84), 0);
        QCOMPARE(mul_div(252, 83, 84), 249);
        QCOMPARE(mul_div(5, 1, 2), 3);    // halves round away from zero
        QCOMPARE(mul_div(-5, 1, 2), -3);
        QCOMPARE(mul_div(252, 1, 0), -1);
        QCOMPARE(title_row_colour(0, 84), QColor(255, 0, 128));
        QCOMPARE(title_row_colour(42, 84), QColor(129, 0, 128));

        open();
        CWizardTitle* control = wizard_->title();
        QCOMPARE(control->objectName(), QString("1010"));
        QVERIFY(control->bold_font().weight() == QFont::Bold);
        QImage image = control->grab().toImage();
        const int h = image.height();
        for (int y = 0; y < h; ++y) QCOMPARE(image.pixelColor(image.width() - 1, y), title_row_colour(y, h));
        // "Step 1" at the top left, the rest of the title lower down.
        QVERIFY(has_white(image, QRect(15, 10, 60, 20)));
        QVERIFY(has_white(image, QRect(5, 50, 150, 20)));
        QVERIFY(!has_white(image, QRect(0, 0, image.width(), 9)));

        // Without a tab after the first character, one line.
        control->setText("\tOne line");
        image = control->grab().toImage();
        QVERIFY(has_white(image, QRect(15, 10, 100, 20)));
        QVERIFY(!has_white(image, QRect(0, 40, image.width(), h - 40)));
    }

    // Step 5 offers the output name the sheets would suggest, its Browse is
    // a save dialog beside the input, and the job gets the name the sheet
    // would run (".dlt" added) and is remembered for the next sheet.
    void theOutputStepSuggestsTheSheetsNameAndBrowsesWithASaveDialog() {
        const QString base = file("old.bin");
        const QString updated = file("new.bin");
        open();
        walk_to(5, {base, updated});
        QCOMPARE(path_page()->name_edit()->text(), updated + ".dlt");
        QCOMPARE(QString(job_.Delta), updated + ".dlt");
        type("");
        FileDialog::clearRequests();
        FileDialog::setNextFileName(sandbox_->cwd("chosen"));
        QTest::mouseClick(path_page()->browse_button(), Qt::LeftButton);
        QCOMPARE(FileDialog::requests().size(), std::size_t(1));
        QCOMPARE(FileDialog::requests()[0].kind, DialogRequest::SaveFile);
        QCOMPARE(FileDialog::requests()[0].directory, updated + ".dlt");
        QCOMPARE(path_page()->name_edit()->text(), sandbox_->cwd("chosen"));
        // Back to step 4 and on again: a name the user chose stays.
        back();
        type(base);
        next();
        QCOMPARE(path_page()->name_edit()->text(), sandbox_->cwd("chosen"));
        next();
        QCOMPARE(launched_.size(), std::size_t(1));
        QCOMPARE(QString(launched_[0].Delta), sandbox_->cwd("chosen.dlt"));
        JobSettings remembered;
        QVERIFY(recall_last_job(0, remembered));
        QCOMPARE(QString(remembered.Delta), sandbox_->cwd("chosen.dlt"));
    }

    void aRestoreSuggestsTheRestoredName() {
        const QString base = file("old.bin");
        const QString delta = file("patch.bin.dlt");
        open();
        choose_restore();
        walk_to(5, {base, delta});
        QCOMPARE(path_page()->name_edit()->text(), sandbox_->cwd("patch.bin"));
        next();
        QCOMPARE(QString(launched_.at(0).UpdatedPath), sandbox_->cwd("patch.bin"));
    }

    // A file name whose completed form (".dlt" added) is a folder is refused
    // as the sheets refuse a folder named as the Delta.
    void theOutputStepRefusesAFolderTheDeltaWouldBecome() {
        const QString input = file("input");
        folder("taken.dlt");
        open();
        walk_to(5, {input, input});
        type(sandbox_->cwd("taken"));
        next();
        const QString refusal = "''" + sandbox_->cwd("taken.dlt") + "'' is a folder name. You may only specify a file name! ";
        QCOMPARE(MessageBox::shownTexts(), QStringList({refusal}));
        QVERIFY(launched_.empty());
    }

    // F1 opens the wizard's topic as the wizard's own child window, which
    // the modal wizard leaves usable.
    void f1OpensHelpAboveTheModalWizard() {
        open();
        wizard_->hide();
        wizard_->setWindowModality(Qt::ApplicationModal);
        wizard_->set_help_file(QUORALITH_SOURCE_DIR "/resources/help/Qrlith32.html");
        wizard_->show();
        QApplication::setActiveWindow(wizard_.get());
        QVERIFY(QTest::qWaitForWindowActive(wizard_.get()));
        QTest::keyClick(wizard_->windowHandle(), Qt::Key_F1);
        HelpViewer* viewer = HelpViewer::instance();
        QVERIFY(viewer->isVisible());
        QCOMPARE(viewer->parentWidget(), wizard_.get());
        QVERIFY(viewer->current_page().toLocalFile().endsWith("wizard.html"));
        QCOMPARE(viewer->windowHandle()->transientParent(), wizard_->windowHandle());
        wizard_.reset();
        QVERIFY(!viewer_shown());
    }

    void closingTheWizardClosesHelp() {
        const QString contents = QUORALITH_SOURCE_DIR "/resources/help/Qrlith32.html";
        QVERIFY(show_help_keyword(nullptr, contents, "Wizard"));
        QVERIFY(HelpViewer::instance()->isVisible());
        open();
        wizard_.reset();
        QVERIFY(!HelpViewer::instance()->isVisible());
    }
};

QTEST_MAIN(WizardTest)
#include "wizard_test.moc"
