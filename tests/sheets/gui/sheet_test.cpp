// The sheet frame, the General page and the validation of a job, driven as a
// user drives them.
#include "sheet_test_support.h"

#include "sheets/gui/general_page.h"
#include "sheets/gui/path_edit.h"
#include "shell/common/folder_browser.h"
#include "shell/common/help_viewer.h"
#include "shell/common/picture_button.h"
#include "shell/common/recent_menu.h"
#include "shell/common/ui_seams.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QMenu>
#include <QScreen>
#include <QScrollBar>
#include <QWindow>
#include <QDropEvent>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTreeView>
#include <QUrl>

#include <cstring>

using namespace quoralith;
using namespace quoralith::test;

namespace {

QWidget* general(COperationSheet& sheet) { return sheet.page(0); }

// Fills the three names of the General page by typing.
void type_names(COperationSheet& sheet, const QString& base, const QString& updated, const QString& delta) {
    type_into(control<QLineEdit>(general(sheet), 1000), base);
    type_into(control<QLineEdit>(general(sheet), 1001), updated);
    type_into(control<QLineEdit>(general(sheet), 1002), delta);
}

void press(COperationSheet& sheet, int id) { click(sheet.findChild<QAbstractButton*>(QString::number(id))); }

// Whether a help viewer is up (without making one).
bool viewer_still_shown() {
    for (QWidget* window : QApplication::topLevelWidgets())
        if (window->objectName() == QStringLiteral("HelpViewer") && window->isVisible()) return true;
    return false;
}

}  // namespace

class SheetTest : public QObject {
    Q_OBJECT

private slots:
    void sheetsAreBuiltAsTabled() {
        SheetFixture fixture;
        auto create = fixture.open(true);
        QCOMPARE(create->windowTitle(), QStringLiteral("Delta File/Directory Creation"));
        QVERIFY(create->is_create());
        QCOMPARE(create->tabs()->count(), 4);
        QCOMPARE(create->tabs()->tabText(0), QStringLiteral("General"));
        QCOMPARE(create->tabs()->tabText(1), QStringLiteral("Delta Algorithms"));
        QCOMPARE(create->tabs()->tabText(2), QStringLiteral("Advanced"));
        QCOMPARE(create->tabs()->tabText(3), QStringLiteral("Name Matching"));
        QCOMPARE(fixture.current.Action, 0);
        QVERIFY(create->history_file().ends_with("Qralithd.env"));
        // The Create sheet shows the self-extractor box, never to be changed.
        auto* self_extract = control<QCheckBox>(general(*create), 1087);
        QVERIFY(self_extract->isVisible());
        QVERIFY(!self_extract->isEnabled());
        QCOMPARE(control<QLabel>(general(*create), 1024)->text(), QStringLiteral("(input)"));
        QCOMPARE(control<QLabel>(general(*create), 1025)->text(), QStringLiteral("(output)"));
        // Record waits for three names; Play is there from the start.
        QVERIFY(!create->findChild<QWidget*>(QStringLiteral("501"))->isEnabled());
        QVERIFY(!create->findChild<QWidget*>(QStringLiteral("RecordLabel"))->isEnabled());
        QVERIFY(create->findChild<QWidget*>(QStringLiteral("500"))->isEnabled());
        auto* rocket = general(*create)->findChild<PictureButton*>(QStringLiteral("1001"));
        QVERIFY(rocket);
        QCOMPARE(rocket->mapTo(general(*create), QPoint(0, 0)),
                 control(general(*create), 1026)->mapTo(general(*create), QPoint(0, 0)));
        QCOMPARE(rocket->size(), QSize(70, 70));
        QCOMPARE(rocket->text(), QStringLiteral(" "));
        // The other pages get theirs on the placeholder 1034 when first shown.
        for (int index = 1; index < 4; ++index) {
            QVERIFY(!create->page(index)->findChild<PictureButton*>(QStringLiteral("1001")));
            activate_tab(*create, index);
            auto* picture = create->page(index)->findChild<PictureButton*>(QStringLiteral("1001"));
            QVERIFY(picture);
            QCOMPARE(picture->parentWidget()->objectName(), QStringLiteral("1034"));
        }
        create.reset();

        fixture.current.Action = 0;
        auto restore = fixture.open(false);
        QCOMPARE(restore->tabs()->count(), 2);
        QCOMPARE(restore->tabs()->tabText(1), QStringLiteral("Advanced"));
        QCOMPARE(fixture.current.Action, 1);
        QVERIFY(restore->history_file().ends_with("Qralithr.env"));
        QVERIFY(!control<QCheckBox>(general(*restore), 1087)->isVisible());
        QCOMPARE(control<QLabel>(general(*restore), 1024)->text(), QStringLiteral("(output)"));
        QCOMPARE(control<QLabel>(general(*restore), 1025)->text(), QStringLiteral("(input)"));
    }

    void theSheetIsEnlargedForRecordPlayAndFooter() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        QWidget* tabs = sheet->tabs();
        QWidget* ok = sheet->findChild<QWidget*>(QStringLiteral("1"));
        // A band of 280 pixels beside the pages and their buttons (room for
        // the history list), 50 below them.
        QCOMPARE(sheet->width() - (tabs->geometry().right() + 1 + 7), 280);
        QCOMPARE(sheet->height() - (ok->geometry().bottom() + 1 + 7), 50);
        QWidget* record = sheet->findChild<QWidget*>(QStringLiteral("501"));
        QCOMPARE(record->geometry(), QRect(sheet->width() - 140 - 30, 70, 60, 59));
        QWidget* play = sheet->findChild<QWidget*>(QStringLiteral("500"));
        QCOMPARE(play->geometry(), QRect(sheet->width() - 140 - 30, 250, 60, 59));
        // The footer line is drawn in blue in the band along the foot.
        QImage shot = sheet->grab().toImage();
        bool blue = false;
        for (int y = sheet->height() - 25; y < sheet->height() - 5 && !blue; ++y)
            for (int x = 10; x < sheet->width() - 10 && !blue; ++x) blue = shot.pixelColor(x, y) == QColor(Qt::blue);
        QVERIFY(blue);
    }

    void eachSheetStartsFromTheDefaults() {
        SheetFixture fixture;
        fixture.current.IsFile = JOB_DIRECTORY;
        set_field(fixture.current.BasePath, "/left/over");
        auto sheet = fixture.open(true);
        QCOMPARE(fixture.current.IsFile, JOB_SINGLE_FILE);
        QCOMPARE(std::string(fixture.current.BasePath), std::string());
        QVERIFY(control<QRadioButton>(general(*sheet), 1003)->isChecked());
        type_into(control<QLineEdit>(general(*sheet), 1000), QStringLiteral("/x"));
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/x"));
        sheet.reset();
        // Closing the sheet puts the defaults back.
        QCOMPARE(std::string(fixture.current.BasePath), std::string());
    }

    void namesAreRequiredInOrder() {
        SheetFixture fixture;
        auto sheet = fixture.open(false);
        press(*sheet, 1);
        type_into(control<QLineEdit>(general(*sheet), 1000), QStringLiteral("b"));
        press(*sheet, 1);
        type_into(control<QLineEdit>(general(*sheet), 1001), QStringLiteral("u"));
        press(*sheet, 1);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Base name must be specified."),
                              QStringLiteral("Updated name must be specified."),
                              QStringLiteral("Delta  name must be specified.")}));
        QCOMPARE(MessageBox::shown().front().caption, QStringLiteral("Quoralith"));
        QVERIFY(fixture.started.empty());
        QVERIFY(sheet->isVisible());
    }

    void aDeltaWithoutExtensionGetsDlt() {
        SheetFixture fixture;
        fixture.write(QStringLiteral("base.bin"), "base");
        fixture.write(QStringLiteral("new.bin"), "new");
        auto sheet = fixture.open(true);
        type_names(*sheet, fixture.path("base.bin"), fixture.path("new.bin"), fixture.path("delta1"));
        type_into(control<QLineEdit>(general(*sheet), 1009), fixture.path("job-report"));
        press(*sheet, 12321);  // Apply
        QCOMPARE(MessageBox::shownTexts(), QStringList());
        QCOMPARE(fixture.started.size(), std::size_t(1));
        QCOMPARE(std::string(fixture.started[0].Delta), fixture.spath("delta1.dlt"));
        QCOMPARE(std::string(fixture.started[0].ReportFile), fixture.spath("job-report.log"));
        QCOMPARE(fixture.started[0].UseProgressWindow, 1);
        QVERIFY(sheet->isVisible());  // Apply keeps the sheet open

        // A last component ending in a dot has an extension; a dot in a
        // folder name does not count.
        type_into(control<QLineEdit>(general(*sheet), 1002), fixture.path("delta2."));
        press(*sheet, 12321);
        QCOMPARE(std::string(fixture.started[1].Delta), fixture.spath("delta2."));
        fixture.mkdir(QStringLiteral("out.d"));
        type_into(control<QLineEdit>(general(*sheet), 1002), fixture.path("out.d/delta3"));
        press(*sheet, 1);
        QCOMPARE(std::string(fixture.started[2].Delta), fixture.spath("out.d/delta3.dlt"));
        QVERIFY(!sheet->isVisible());  // OK closes it
    }

    void singleFileChecksNameTheFailingName() {
        SheetFixture fixture;
        fixture.write(QStringLiteral("base.bin"), "base");
        fixture.mkdir(QStringLiteral("folder"));
        auto sheet = fixture.open(true);
        type_names(*sheet, fixture.path("missing"), fixture.path("new.bin"), fixture.path("d.dlt"));
        press(*sheet, 1);
        type_into(control<QLineEdit>(general(*sheet), 1000), fixture.path("folder"));
        press(*sheet, 1);
        type_into(control<QLineEdit>(general(*sheet), 1000), fixture.path("base.bin"));
        press(*sheet, 1);
        type_into(control<QLineEdit>(general(*sheet), 1001), fixture.path("folder"));
        press(*sheet, 1);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Base name does not exist"),
                              QStringLiteral("Base name is a Directory name. You may only specify a File name! "),
                              QStringLiteral("Updated name does not exist"),
                              QStringLiteral("Updated name is a Directory name. You may only specify a File name!")}));
        QVERIFY(fixture.started.empty());
    }

    void aMissingDeltaOnRestoreGivesTwoMessages() {
        SheetFixture fixture;
        fixture.write(QStringLiteral("base.bin"), "base");
        auto sheet = fixture.open(false);
        type_names(*sheet, fixture.path("base.bin"), fixture.path("out.bin"), fixture.path("gone.dlt"));
        press(*sheet, 1);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("File  ") + fixture.path("gone.dlt") + QStringLiteral(" could not be found"),
                              QStringLiteral("Delta name does not exist")}));
        // The Restore's output may be missing; a Delta that exists passes.
        MessageBox::clearShown();
        fixture.write(QStringLiteral("gone.dlt"), "delta");
        press(*sheet, 1);
        QCOMPARE(MessageBox::shownTexts(), QStringList());
        QCOMPARE(fixture.started.size(), std::size_t(1));
        // No "dlt" is added on a Restore.
        QCOMPARE(std::string(fixture.started[0].Delta), fixture.spath("gone.dlt"));
    }

    void directoryJobsCheckKindsAndArchives() {
        SheetFixture fixture;
        fixture.mkdir(QStringLiteral("base"));
        fixture.mkdir(QStringLiteral("delta"));
        fixture.write(QStringLiteral("base.qar"), "archive");
        fixture.write(QStringLiteral("file"), "x");
        auto sheet = fixture.open(false);
        click(control<QRadioButton>(general(*sheet), 1004));
        QCOMPARE(fixture.current.IsFile, JOB_DIRECTORY);

        // A restore into an Updated folder that does not exist yet passes,
        // and a trailing "/" is dropped from each name.
        type_names(*sheet, fixture.path("base/"), fixture.path("restored/"), fixture.path("delta/"));
        press(*sheet, 12321);
        QCOMPARE(MessageBox::shownTexts(), QStringList());
        QCOMPARE(std::string(fixture.started.at(0).BasePath), fixture.spath("base"));
        QCOMPARE(std::string(fixture.started.at(0).UpdatedPath), fixture.spath("restored"));
        QCOMPARE(std::string(fixture.started.at(0).Delta), fixture.spath("delta"));

        // A Base that is a file is refused unless it is marked as an archive.
        type_into(control<QLineEdit>(general(*sheet), 1000), fixture.path("base.qar"));
        press(*sheet, 12321);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Base  name  is a File name. You may only specify a Directory name! ")}));
        MessageBox::clearShown();
        click(control<QCheckBox>(general(*sheet), 1088));
        QCOMPARE(fixture.current.AchiveBase, 1);
        press(*sheet, 12321);
        QCOMPARE(MessageBox::shownTexts(), QStringList());
        QCOMPARE(fixture.started.size(), std::size_t(2));

        type_into(control<QLineEdit>(general(*sheet), 1002), fixture.path("file"));
        press(*sheet, 12321);
        type_into(control<QLineEdit>(general(*sheet), 1002), fixture.path("nothing"));
        press(*sheet, 12321);
        type_into(control<QLineEdit>(general(*sheet), 1001), fixture.path("file"));
        type_into(control<QLineEdit>(general(*sheet), 1002), fixture.path("delta"));
        press(*sheet, 12321);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Delta name is a File name. You may only specify a Directory name!"),
                              QStringLiteral("Delta name does not exist"),
                              QStringLiteral("Updated name  is a File name. You may only specify a Directory name!")}));
        // "/" alone stays a name.
        type_into(control<QLineEdit>(general(*sheet), 1000), QStringLiteral("/"));
        type_into(control<QLineEdit>(general(*sheet), 1001), fixture.path("restored"));
        press(*sheet, 12321);
        QCOMPARE(std::string(fixture.started.back().BasePath), std::string("/"));
    }

    void anArchivedDirectoryJobsDeltaIsOneFile() {
        SheetFixture fixture;
        fixture.mkdir(QStringLiteral("base"));
        fixture.mkdir(QStringLiteral("folder"));
        fixture.write(QStringLiteral("tree.dlt"), "delta");
        auto sheet = fixture.open(false);
        click(control<QRadioButton>(general(*sheet), 1012));
        QCOMPARE(fixture.current.IsFile, JOB_ARCHIVED_DIRECTORY);

        // The restore reads its Delta from one file and writes a folder.
        type_names(*sheet, fixture.path("base"), fixture.path("restored"), fixture.path("tree.dlt"));
        press(*sheet, 12321);
        QCOMPARE(MessageBox::shownTexts(), QStringList());
        QCOMPARE(fixture.started.size(), std::size_t(1));

        type_into(control<QLineEdit>(general(*sheet), 1002), fixture.path("folder"));
        press(*sheet, 12321);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Delta name is a Directory name. You may only specify a File name!")}));
        QCOMPARE(fixture.started.size(), std::size_t(1));
    }

    void theKindRadiosKeepTheArchiveRules() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        QWidget* page = general(*sheet);
        auto* base_archivator = control<QCheckBox>(page, 1088);
        auto* delta_archivator = control<QCheckBox>(page, 1090);
        // Single file: no archive marks and no directory options.
        QVERIFY(!base_archivator->isVisible());
        QVERIFY(!control<QGroupBox>(page, 1022)->isEnabled());
        QVERIFY(!control<QLineEdit>(page, 1020)->isEnabled());

        click(control<QRadioButton>(page, 1004));
        QVERIFY(base_archivator->isVisible() && delta_archivator->isVisible());
        QVERIFY(control<QLineEdit>(page, 1020)->isEnabled());
        for (int id : {1088, 1089, 1090}) click(control<QCheckBox>(page, id));
        QCOMPARE(fixture.current.AchiveBase + fixture.current.AchiveUpdated + fixture.current.AchiveDelta, 3);

        // Single File clears all three; back in Directory they show unticked.
        click(control<QRadioButton>(page, 1003));
        QCOMPARE(fixture.current.AchiveBase + fixture.current.AchiveUpdated + fixture.current.AchiveDelta, 0);
        click(control<QRadioButton>(page, 1004));
        QVERIFY(!base_archivator->isChecked() && !delta_archivator->isChecked());

        // Archived Directory hides the Delta's mark and clears it; Browse for
        // Delta then asks for a file to write, Browse for Base still for a
        // folder.
        click(delta_archivator);
        QCOMPARE(fixture.current.AchiveDelta, 1);
        click(control<QRadioButton>(page, 1012));
        QCOMPARE(fixture.current.IsFile, JOB_ARCHIVED_DIRECTORY);
        QCOMPARE(fixture.current.AchiveDelta, 0);
        QVERIFY(!delta_archivator->isVisible());
        QVERIFY(base_archivator->isVisible());
        FileDialog::clearRequests();
        FileDialog::setNextFileName(fixture.path("chosen.qar"));
        click(control<QPushButton>(page, 1008));
        FileDialog::setNextFolder(fixture.path(""));
        click(control<QPushButton>(page, 1006));
        QCOMPARE(FileDialog::requests().size(), std::size_t(2));
        QCOMPARE(FileDialog::requests()[0].kind, DialogRequest::SaveFile);
        QCOMPARE(FileDialog::requests()[0].filter, QStringLiteral("All files(*.*) (*)"));
        QCOMPARE(FileDialog::requests()[1].kind, DialogRequest::Folder);
        QCOMPARE(FileDialog::requests()[1].caption, QStringLiteral("Browse Folder"));
        QCOMPARE(std::string(fixture.current.Delta), fixture.spath("chosen.qar"));
        QCOMPARE(control<QLineEdit>(page, 1008 - 6)->text(), fixture.path("chosen.qar"));

        // A marked Base archive is browsed as a file.
        click(base_archivator);
        FileDialog::clearRequests();
        click(control<QPushButton>(page, 1006));
        QCOMPARE(FileDialog::requests().at(0).kind, DialogRequest::OpenFile);
    }

    void browsingKeepsTheNameOnCancelAndPreselectsIt() {
        SheetFixture fixture;
        fixture.mkdir(QStringLiteral("old"));
        auto sheet = fixture.open(true);
        QWidget* page = general(*sheet);
        click(control<QRadioButton>(page, 1004));
        FileDialog::setNextFolder(fixture.path("old"));
        click(control<QPushButton>(page, 1006));
        QCOMPARE(control<QLineEdit>(page, 1000)->text(), fixture.path("old"));
        // Cancelled: the name stays; the browser was opened on it.
        FileDialog::clearRequests();
        click(control<QPushButton>(page, 1006));
        QCOMPARE(FileDialog::requests().at(0).directory, fixture.path("old"));
        QCOMPARE(std::string(fixture.current.BasePath), fixture.spath("old"));
        // The report's Browse puts the old name back on Cancel.
        type_into(control<QLineEdit>(page, 1009), QStringLiteral("r.txt"));
        click(control<QPushButton>(page, 1010));
        QCOMPARE(control<QLineEdit>(page, 1009)->text(), QStringLiteral("r.txt"));
        FileDialog::setNextFileName(fixture.path("report.txt"));
        click(control<QPushButton>(page, 1010));
        QCOMPARE(std::string(fixture.current.ReportFile), fixture.spath("report.txt"));
    }

    void theFolderBrowserTakesOnlyRealFolders() {
        SheetFixture fixture;
        fixture.mkdir(QStringLiteral("real"));
        fixture.write(QStringLiteral("a-file"), "x");
        CFolderBrowser browser(QStringLiteral("Browse Folder"), fixture.path("real"));
        QCOMPARE(browser.windowTitle(), QStringLiteral("Browse Folder"));
        QCOMPARE(browser.findChild<QLabel*>(QStringLiteral("heading"))->text(), QString());
        QCOMPARE(browser.status_text(), fixture.path("real"));
        QVERIFY(browser.ok_enabled());
        QCOMPARE(browser.selected_folder(), fixture.path("real"));
        for (const QString& not_real : {fixture.path("a-file"), fixture.path("none"), QString()}) {
            browser.select_path(not_real);
            QCOMPARE(browser.status_text(), QStringLiteral("*** Only 'real' file folders can be selected ***"));
            QVERIFY(!browser.ok_enabled());
            QCOMPARE(browser.selected_folder(), QString());
        }
    }

    // An output folder that does not exist yet can be made in the browser
    // and is then the one chosen; the name is free for the user to change.
    void theFolderBrowserMakesANewFolderInsideTheSelectedOne() {
        SheetFixture fixture;
        fixture.mkdir(QStringLiteral("out"));
        fixture.write(QStringLiteral("a-file"), "x");
        CFolderBrowser browser(QStringLiteral("Browse Folder"), fixture.path("out"));
        browser.show();
        auto* make = browser.findChild<QPushButton*>(QStringLiteral("NewFolder"));
        QVERIFY(make && make->isEnabled());
        click(make);
        QVERIFY(QFileInfo(fixture.path("out/New Folder")).isDir());
        QCOMPARE(browser.selected_folder(), fixture.path("out/New Folder"));
        QVERIFY(browser.ok_enabled());
        // Its name is open for editing; the renamed folder is the one chosen.
        auto* editor = browser.findChild<QTreeView*>(QStringLiteral("folders"))->findChild<QLineEdit*>();
        QVERIFY(editor);
        editor->setText(QStringLiteral("release-2"));
        QTest::keyClick(editor, Qt::Key_Return);
        QTRY_COMPARE(browser.selected_folder(), fixture.path("out/release-2"));
        QVERIFY(QFileInfo(fixture.path("out/release-2")).isDir());
        QVERIFY(!QFileInfo::exists(fixture.path("out/New Folder")));
        // A name taken gets a number; nothing is made where nothing real is selected.
        browser.select_path(fixture.path("out"));
        QCOMPARE(browser.make_new_folder(), fixture.path("out/New Folder"));
        browser.select_path(fixture.path("out"));
        QCOMPARE(browser.make_new_folder(), fixture.path("out/New Folder (2)"));
        QVERIFY(QFileInfo(fixture.path("out/New Folder (2)")).isDir());
        browser.select_path(fixture.path("a-file"));
        QVERIFY(!make->isEnabled());
        QCOMPARE(browser.make_new_folder(), QString());
    }

    void aReportNameAsksForAReport() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        QWidget* page = general(*sheet);
        QCOMPARE(fixture.current.LogFileMode, LOG_NONE);
        type_into(control<QLineEdit>(page, 1009), QStringLiteral("report"));
        QCOMPARE(fixture.current.LogFileMode, LOG_OVERWRITE);
        // Append chosen on the Advanced page stays append.
        activate_tab(*sheet, 2);
        click(control<QCheckBox>(sheet->page(2), 1005));
        QCOMPARE(fixture.current.LogFileMode, LOG_APPEND);
        activate_tab(*sheet, 0);
        type_into(control<QLineEdit>(page, 1009), QStringLiteral("other"));
        QCOMPARE(fixture.current.LogFileMode, LOG_APPEND);
    }

    void recordIsOfferedAgainByUpdatedOrDeltaNotByBase() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        auto* record = sheet->findChild<QWidget*>(QStringLiteral("501"));
        auto* label = sheet->findChild<QWidget*>(QStringLiteral("RecordLabel"));
        type_names(*sheet, QStringLiteral("/b"), QStringLiteral("/u"), QStringLiteral("/d"));
        QVERIFY(record->isEnabled() && label->isEnabled());
        press(*sheet, 501);
        QVERIFY(!record->isEnabled() && !label->isEnabled());
        type_into(control<QLineEdit>(general(*sheet), 1000), QStringLiteral("/b2"));
        QVERIFY(!record->isEnabled());
        type_into(control<QLineEdit>(general(*sheet), 1001), QStringLiteral("/u2"));
        QVERIFY(record->isEnabled());
        press(*sheet, 501);
        QVERIFY(!record->isEnabled());
        type_into(control<QLineEdit>(general(*sheet), 1002), QStringLiteral("/d2"));
        QVERIFY(record->isEnabled());
        press(*sheet, 501);
        // Any refresh of the page offers it again.
        click(control<QRadioButton>(general(*sheet), 1004));
        QVERIFY(record->isEnabled());
        // An emptied name withdraws it.
        type_into(control<QLineEdit>(general(*sheet), 1001), QString());
        QVERIFY(!record->isEnabled());
    }

    void longNamesAreCutToTheirFields() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        QString long_name(300, QLatin1Char('n'));
        control<QLineEdit>(general(*sheet), 1000)->setText(long_name);
        control<QLineEdit>(general(*sheet), 1020)->setText(long_name);
        QCOMPARE(std::string(fixture.current.BasePath).size(), std::size_t(127));
        QCOMPARE(std::string(fixture.current.Pattern).size(), std::size_t(31));
    }

    void tabMovesWithinTheGeneralPage() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        QApplication::setActiveWindow(sheet.get());
        QVERIFY(QTest::qWaitForWindowActive(sheet.get()));
        QWidget* page = general(*sheet);
        auto* base = control<QLineEdit>(page, 1000);
        base->setFocus();
        QTest::keyClick(base, Qt::Key_Tab);
        QWidget* next = QApplication::focusWidget();
        QVERIFY(next && next != base);
        QVERIFY(page->isAncestorOf(next));
        // However often Tab is pressed, the focus stays on the page.
        for (int i = 0; i < 40; ++i) {
            QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
            QVERIFY(page->isAncestorOf(QApplication::focusWidget()));
        }
    }

    void droppedFilesFillPathFields() {
        SheetFixture fixture;
        fixture.mkdir(QStringLiteral("dropped"));
        auto sheet = fixture.open(true);
        auto* base = control<PathEdit>(general(*sheet), 1000);
        QVERIFY(base && base->acceptDrops());
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(fixture.path("dropped") + QStringLiteral("/"))});
        QDragEnterEvent enter(QPoint(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(base, &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(5, 5), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(base, &drop);
        QCOMPARE(base->text(), fixture.path("dropped"));
        QCOMPARE(std::string(fixture.current.BasePath), fixture.spath("dropped"));
        // Something that is not a local file is not a name.
        QMimeData web;
        web.setUrls({QUrl(QStringLiteral("https://example.org/x"))});
        QCOMPARE(PathEdit::dropped_path(&web), QString());
    }

    // A folder named where a file is written is refused in words, and keeps
    // its name: no "a.dlt" beside the folder "a", no "d.log" for "d".
    void aFolderNamedAsAnOutputIsRefusedInWords() {
        SheetFixture fixture;
        fixture.write(QStringLiteral("base.bin"), "base");
        fixture.write(QStringLiteral("new.bin"), "new");
        fixture.write(QStringLiteral("patch.dlt"), "delta");
        fixture.mkdir(QStringLiteral("data/a"));
        fixture.mkdir(QStringLiteral("d"));
        const QString folder_as_file =
            QStringLiteral("Delta name is a Directory name. You may only specify a File name!");
        auto create = fixture.open(true);
        type_names(*create, fixture.path("base.bin"), fixture.path("new.bin"), fixture.path("data/a"));
        press(*create, 1);
        press(*create, 12321);  // a second try is refused the same way
        QCOMPARE(MessageBox::shownTexts(), QStringList({folder_as_file, folder_as_file}));
        QCOMPARE(std::string(fixture.current.Delta), fixture.spath("data/a"));
        QVERIFY(fixture.started.empty());

        MessageBox::clearShown();
        type_into(control<QLineEdit>(general(*create), 1002), fixture.path("out.dlt"));
        type_into(control<QLineEdit>(general(*create), 1009), fixture.path("d"));
        press(*create, 12321);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Report name is a Directory name. You may only specify a File name!")}));
        QCOMPARE(std::string(fixture.current.ReportFile), fixture.spath("d"));
        QVERIFY(fixture.started.empty());
        create.reset();

        MessageBox::clearShown();
        auto restore = fixture.open(false);
        type_names(*restore, fixture.path("base.bin"), fixture.path("d"), fixture.path("patch.dlt"));
        press(*restore, 1);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Updated name is a Directory name. You may only specify a File name!")}));
        QVERIFY(fixture.started.empty());
    }

    // Outputs are browsed with a save dialog (new names allowed) that opens
    // beside the input they follow from; inputs keep the open dialog.
    void everyOutputBrowsesWithASaveDialogBesideItsInput() {
        SheetFixture fixture;
        fixture.mkdir(QStringLiteral("in"));
        fixture.write(QStringLiteral("in/new.bin"), "new");
        auto create = fixture.open(true);
        QWidget* page = general(*create);
        type_into(control<QLineEdit>(page, 1001), fixture.path("in/new.bin"));
        type_into(control<QLineEdit>(page, 1002), QString());
        FileDialog::clearRequests();
        FileDialog::setNextFileName(fixture.path("out/fresh.dlt"));
        click(control<QPushButton>(page, 1008));
        FileDialog::setNextFileName(fixture.path("out/job.log"));
        click(control<QPushButton>(page, 1010));
        click(control<QPushButton>(page, 1006));
        QCOMPARE(FileDialog::requests().size(), std::size_t(3));
        QCOMPARE(FileDialog::requests()[0].kind, DialogRequest::SaveFile);
        QCOMPARE(FileDialog::requests()[0].directory, fixture.path("in/new.bin.dlt"));
        QCOMPARE(FileDialog::requests()[1].kind, DialogRequest::SaveFile);
        QCOMPARE(FileDialog::requests()[1].directory, fixture.path("in/new.bin.log"));
        QCOMPARE(FileDialog::requests()[2].kind, DialogRequest::OpenFile);
        QCOMPARE(control<QLineEdit>(page, 1002)->text(), fixture.path("out/fresh.dlt"));
        QCOMPARE(std::string(fixture.current.Delta), fixture.spath("out/fresh.dlt"));
        QCOMPARE(std::string(fixture.current.ReportFile), fixture.spath("out/job.log"));
        // With a name in the field the dialog opens on that name.
        FileDialog::clearRequests();
        click(control<QPushButton>(page, 1008));
        QCOMPARE(FileDialog::requests().at(0).directory, fixture.path("out/fresh.dlt"));
        QCOMPARE(std::string(fixture.current.Delta), fixture.spath("out/fresh.dlt"));  // cancelled
        create.reset();

        auto restore = fixture.open(false);
        page = general(*restore);
        type_into(control<QLineEdit>(page, 1002), fixture.path("in/app.dlt"));
        type_into(control<QLineEdit>(page, 1001), QString());
        FileDialog::clearRequests();
        click(control<QPushButton>(page, 1007));
        click(control<QPushButton>(page, 1008));
        QCOMPARE(FileDialog::requests().at(0).kind, DialogRequest::SaveFile);
        QCOMPARE(FileDialog::requests().at(0).directory, fixture.path("in/app"));
        QCOMPARE(FileDialog::requests().at(1).kind, DialogRequest::OpenFile);
    }

    // Help from the sheet opens as the sheet's own child window: the modal
    // sheet blocks every other window, so only there can help be raised,
    // scrolled and closed while the sheet waits. F1 asks for the same topic.
    void helpIsUsableBesideTheModalSheetAndOnF1() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        QApplication::setActiveWindow(sheet.get());
        QVERIFY(QTest::qWaitForWindowActive(sheet.get()));
        QCOMPARE(QApplication::activeModalWidget(), sheet.get());

        QTest::keyClick(sheet->windowHandle(), Qt::Key_F1);
        QCOMPARE(sheet->last_help_keyword(), QStringLiteral("Create Delta/File/General"));
        HelpViewer* viewer = HelpViewer::instance();
        QVERIFY(viewer->isVisible());
        QCOMPARE(viewer->parentWidget(), sheet.get());
        QVERIFY(viewer->isWindow());
        // Kept above the sheet: the sheet's window is its transient parent.
        QCOMPARE(viewer->windowHandle()->transientParent(), sheet->windowHandle());

        // Input reaches it through the window system, as a user's would.
        viewer->resize(320, 160);
        QTextBrowser* browser = viewer->browser();
        browser->setFocus();
        QTRY_VERIFY(browser->verticalScrollBar()->maximum() > 0);
        QCOMPARE(browser->verticalScrollBar()->value(), 0);
        QTest::keyClick(viewer->windowHandle(), Qt::Key_PageDown);
        QVERIFY(browser->verticalScrollBar()->value() > 0);

        // The same key to a window the sheet does not own goes nowhere: the
        // check above would see a blocked viewer.
        QTextBrowser outside;
        outside.setPlainText(QString(QStringLiteral("line\n")).repeated(200));
        outside.resize(200, 100);
        outside.show();
        QVERIFY(QTest::qWaitForWindowExposed(&outside));
        QTest::keyClick(outside.windowHandle(), Qt::Key_PageDown);
        QCOMPARE(outside.verticalScrollBar()->value(), 0);

        // Help leaves with the sheet, and comes back as a window of its own.
        sheet.reset();
        QVERIFY(!viewer_still_shown());
        QVERIFY(show_help_keyword(nullptr, fixture.context().help_file, QStringLiteral("General page")));
        QCOMPARE(HelpViewer::instance()->parentWidget(), nullptr);
        HelpViewer::instance()->close();
    }

    // A sheet opens on the last job of its kind, and the output name follows
    // the input it is made from until the user types one of their own.
    void theSheetRemembersItsLastJobAndSuggestsTheOutput() {
        SheetFixture fixture;
        fixture.write(QStringLiteral("base.bin"), "base");
        fixture.write(QStringLiteral("new.bin"), "new");
        auto sheet = fixture.open(true);
        QWidget* page = general(*sheet);
        auto* delta = control<QLineEdit>(page, 1002);
        type_into(control<QLineEdit>(page, 1000), fixture.path("base.bin"));
        type_into(control<QLineEdit>(page, 1001), fixture.path("ne"));
        QCOMPARE(delta->text(), fixture.path("ne.dlt"));
        type_into(control<QLineEdit>(page, 1001), fixture.path("new.bin"));
        QCOMPARE(delta->text(), fixture.path("new.bin.dlt"));
        QCOMPARE(std::string(fixture.current.Delta), fixture.spath("new.bin.dlt"));
        // A typed name stays.
        type_into(delta, fixture.path("mine.dlt"));
        type_into(control<QLineEdit>(page, 1001), fixture.path("base.bin"));
        QCOMPARE(delta->text(), fixture.path("mine.dlt"));
        type_into(control<QLineEdit>(page, 1001), fixture.path("new.bin"));
        activate_tab(*sheet, 1);
        click(control<QAbstractButton>(sheet->page(1), 1006));  // algorithm 2 as well
        const JobSettings chosen = fixture.current;
        press(*sheet, 1);
        QCOMPARE(fixture.started.size(), std::size_t(1));
        sheet.reset();
        QCOMPARE(std::string(fixture.current.BasePath), std::string());  // the record is reset...

        // ...and the next Create sheet opens on that job.
        sheet = fixture.open(true);
        page = general(*sheet);
        QCOMPARE(control<QLineEdit>(page, 1000)->text(), fixture.path("base.bin"));
        QCOMPARE(control<QLineEdit>(page, 1001)->text(), fixture.path("new.bin"));
        QCOMPARE(control<QLineEdit>(page, 1002)->text(), fixture.path("mine.dlt"));
        QCOMPARE(std::memcmp(fixture.current.Algorithms, chosen.Algorithms, sizeof chosen.Algorithms), 0);
        QCOMPARE(std::string(fixture.backup.Delta), fixture.spath("mine.dlt"));
        sheet.reset();

        // A Restore sheet has its own last job; it suggests the restored name.
        sheet = fixture.open(false);
        page = general(*sheet);
        QCOMPARE(control<QLineEdit>(page, 1000)->text(), QString());
        type_into(control<QLineEdit>(page, 1000), fixture.path("base.bin"));
        type_into(control<QLineEdit>(page, 1002), fixture.path("mine.dlt"));
        QCOMPARE(control<QLineEdit>(page, 1001)->text(), fixture.path("mine"));
        QCOMPARE(std::string(fixture.current.UpdatedPath), fixture.spath("mine"));
        fixture.write(QStringLiteral("mine.dlt"), "delta");
        press(*sheet, 1);
        QCOMPARE(fixture.started.size(), std::size_t(2));
        sheet.reset();

        // Reopened, a remembered output that was the suggestion still follows
        // its input.
        sheet = fixture.open(false);
        page = general(*sheet);
        QCOMPARE(control<QLineEdit>(page, 1001)->text(), fixture.path("mine"));
        type_into(control<QLineEdit>(page, 1002), fixture.path("yours.dlt"));
        QCOMPARE(control<QLineEdit>(page, 1001)->text(), fixture.path("yours"));
    }

    // Each path field drops down the names its kind of field was given by
    // earlier jobs; a choice is taken as if typed.
    void pathFieldsOfferTheirRecentNames() {
        SheetFixture fixture;
        fixture.write(QStringLiteral("base.bin"), "base");
        fixture.write(QStringLiteral("new.bin"), "new");
        for (const char* delta : {"first.dlt", "second.dlt"}) {
            auto sheet = fixture.open(true);
            type_names(*sheet, fixture.path("base.bin"), fixture.path("new.bin"), fixture.path(delta));
            press(*sheet, 1);
        }
        auto sheet = fixture.open(true);
        auto* delta = control<QLineEdit>(general(*sheet), 1002);
        auto* report = control<QLineEdit>(general(*sheet), 1009);
        // Alt+Down in a field drops its list down, as the arrow does.
        QApplication::setActiveWindow(sheet.get());
        QVERIFY(QTest::qWaitForWindowActive(sheet.get()));
        delta->setFocus();
        QTest::keyClick(sheet->windowHandle(), Qt::Key_Down, Qt::AltModifier);
        QMenu* menu = recent_names_menu(delta);
        QTRY_VERIFY(menu->isVisible());
        QVERIFY(!recent_names_menu(report)->isVisible());
        menu->close();
        QAction* arrow = recent_names_action(delta);
        QVERIFY(arrow);
        arrow->trigger();
        QTRY_VERIFY(menu->isVisible());
        QStringList offered;
        for (QAction* action : menu->actions()) offered << action->text();
        QCOMPARE(offered, QStringList({fixture.path("second.dlt"), fixture.path("first.dlt")}));
        menu->actions().at(1)->trigger();
        menu->close();
        QCOMPARE(delta->text(), fixture.path("first.dlt"));
        QCOMPARE(std::string(fixture.current.Delta), fixture.spath("first.dlt"));
        // The report field has its own list, empty so far.
        recent_names_action(report)->trigger();
        QTRY_VERIFY(recent_names_menu(report)->isVisible());
        QCOMPARE(recent_names_menu(report)->actions().size(), 1);
        QVERIFY(!recent_names_menu(report)->actions().at(0)->isEnabled());
        recent_names_menu(report)->close();
    }

    // The sheet may be made larger; the pages and their name fields take the
    // room, and the buttons and the band on the right keep their places.
    void theSheetGrowsAndItsNameFieldsStretch() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        const QSize least = sheet->size();
        QCOMPARE(sheet->minimumSize(), least);
        QVERIFY(sheet->maximumWidth() > least.width());
        auto* base = control<QLineEdit>(general(*sheet), 1000);
        const int field = base->width();
        const int tabs = sheet->tabs()->width();
        sheet->resize(least + QSize(300, 120));
        QTRY_COMPARE(sheet->tabs()->width(), tabs + 300);
        QTRY_VERIFY(base->width() >= field + 250);
        QWidget* ok = sheet->findChild<QWidget*>(QStringLiteral("1"));
        QCOMPARE(sheet->height() - (ok->geometry().bottom() + 1 + 7), 50);
        QCOMPARE(sheet->findChild<QWidget*>(QStringLiteral("500"))->geometry().left(), sheet->width() - 140 - 30);

        // The next sheet of the kind opens as large, as far as the screen
        // allows and never below what its pages need; the other kind does not.
        sheet.reset();
        sheet = fixture.open(true);
        const QSize screen = sheet->screen()->availableGeometry().size();
        QCOMPARE(sheet->size(), (least + QSize(300, 120)).boundedTo(screen).expandedTo(least));
        QCOMPARE(sheet->height(), least.height() + 120);
        sheet.reset();
        sheet = fixture.open(false);
        QCOMPARE(sheet->size(), sheet->minimumSize());
    }

    void helpOpensThePageAndKindTopic() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        press(*sheet, 9);
        QCOMPARE(sheet->last_help_keyword(), QStringLiteral("Create Delta/File/General"));
        QVERIFY(HelpViewer::instance()->isVisible());
        QVERIFY(HelpViewer::instance()->current_page().toLocalFile().endsWith(QStringLiteral("create_general.html")));
        click(control<QRadioButton>(general(*sheet), 1012));
        press(*sheet, 9);
        QCOMPARE(sheet->last_help_keyword(),
                 QStringLiteral("Creating Delta File from existing Base and Updated Archived Directories"));
        activate_tab(*sheet, 1);
        press(*sheet, 9);
        QCOMPARE(sheet->last_help_keyword(), QStringLiteral("Create Delta/Directory/Delta Algorithm"));
        activate_tab(*sheet, 3);
        press(*sheet, 9);
        QCOMPARE(sheet->last_help_keyword(), QStringLiteral("Create Delta/Archived Directory/Name Matching"));
        // With the history list shown, whatever the page.
        press(*sheet, 500);
        press(*sheet, 9);
        QCOMPARE(sheet->last_help_keyword(), QStringLiteral("Play  Button"));
        QVERIFY(HelpViewer::instance()->current_page().toLocalFile().endsWith(QStringLiteral("history.html")));
        HelpViewer::instance()->close();

        sheet.reset();
        auto restore = fixture.open(false);
        activate_tab(*restore, 1);
        press(*restore, 9);
        QCOMPARE(restore->last_help_keyword(), QStringLiteral("Restore/File/Advanced"));
        HelpViewer::instance()->close();
    }
};

QTEST_MAIN(SheetTest)
#include "sheet_test.moc"
