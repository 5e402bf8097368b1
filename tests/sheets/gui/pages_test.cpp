// The Delta Algorithms, Advanced and Name Matching pages and the match file.
#include "sheet_test_support.h"

#include "sheets/gui/algorithms_page.h"
#include "sheets/gui/match_names_page.h"
#include "shell/common/ui_seams.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>

using namespace quoralith;
using namespace quoralith::test;

namespace {

constexpr int ALGORITHMS = 1;
constexpr int CREATE_ADVANCED = 2;
constexpr int MATCHING = 3;
constexpr int RESTORE_ADVANCED = 1;

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace

class PagesTest : public QObject {
    Q_OBJECT

private slots:
    void setAllThenResetLeavesNoAlgorithm() {
        SheetFixture fixture;
        fixture.write(QStringLiteral("b"), "b");
        fixture.write(QStringLiteral("u"), "u");
        auto sheet = fixture.open(true);
        activate_tab(*sheet, ALGORITHMS);
        QWidget* page = sheet->page(ALGORITHMS);
        // The default: algorithm 7 alone.
        QVERIFY(control<QCheckBox>(page, 1011)->isChecked());
        QVERIFY(!control<QCheckBox>(page, 1015)->isChecked());
        click(control<QPushButton>(page, 1012));
        for (int element : fixture.current.Algorithms) QCOMPARE(element, 1);
        QVERIFY(control<QCheckBox>(page, 1015)->isChecked());
        click(control<QPushButton>(page, 1013));
        for (int element : fixture.current.Algorithms) QCOMPARE(element, 0);
        activate_tab(*sheet, 0);
        type_into(control<QLineEdit>(sheet->page(0), 1000), fixture.path("b"));
        type_into(control<QLineEdit>(sheet->page(0), 1001), fixture.path("u"));
        type_into(control<QLineEdit>(sheet->page(0), 1002), fixture.path("d"));
        click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
        QCOMPARE(MessageBox::shownTexts(), QStringList({QStringLiteral("At least one algorithm must be specified")}));
        // The same check refuses a Record.
        MessageBox::clearShown();
        sheet->on_command(ID_RECORD);
        QCOMPARE(MessageBox::shownTexts(), QStringList({QStringLiteral("At least one algorithm must be specified")}));
        // Ticking box "0" selects algorithm 0 and the job starts.
        activate_tab(*sheet, ALGORITHMS);
        click(control<QCheckBox>(page, 1015));
        QCOMPARE(fixture.current.Algorithms[0], 1);
        click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
        QCOMPARE(fixture.started.size(), std::size_t(1));
    }

    // The Compact box is a candidate of its own: it alone lets a job start,
    // Set All and Reset leave it as it is, and it sets the level the history keeps.
    void compactAloneIsEnoughAndKeepsItsOwnTick() {
        SheetFixture fixture;
        fixture.write(QStringLiteral("b"), "b");
        fixture.write(QStringLiteral("u"), "u");
        auto sheet = fixture.open(true);
        activate_tab(*sheet, ALGORITHMS);
        QWidget* page = sheet->page(ALGORITHMS);
        auto* compact = control<QCheckBox>(page, COMPACT_BOX_ID);
        QVERIFY(!compact->isChecked());
        QVERIFY(compact->isEnabled());
        click(compact);
        QCOMPARE(fixture.current.CompactLevel, COMPACT_LEVEL_ON);
        click(control<QPushButton>(page, 1013));  // Reset: no numbered algorithm
        QVERIFY(compact->isChecked());
        QCOMPARE(fixture.current.CompactLevel, COMPACT_LEVEL_ON);
        activate_tab(*sheet, 0);
        type_into(control<QLineEdit>(sheet->page(0), 1000), fixture.path("b"));
        type_into(control<QLineEdit>(sheet->page(0), 1001), fixture.path("u"));
        type_into(control<QLineEdit>(sheet->page(0), 1002), fixture.path("d"));
        click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
        QCOMPARE(MessageBox::shownTexts(), QStringList());
        QCOMPARE(fixture.started.size(), std::size_t(1));
        // Unticked with nothing else: refused as before.
        activate_tab(*sheet, ALGORITHMS);
        click(compact);
        QCOMPARE(fixture.current.CompactLevel, 0);
        activate_tab(*sheet, 0);
        click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
        QCOMPARE(MessageBox::shownTexts(), QStringList({QStringLiteral("At least one algorithm must be specified")}));
    }

    void aRestoreNeedsNoAlgorithm() {
        SheetFixture fixture;
        fixture.write(QStringLiteral("b"), "b");
        fixture.write(QStringLiteral("d"), "d");
        fixture.defaults.Algorithms[7] = 0;
        auto sheet = fixture.open(false);
        type_into(control<QLineEdit>(sheet->page(0), 1000), fixture.path("b"));
        type_into(control<QLineEdit>(sheet->page(0), 1001), fixture.path("u"));
        type_into(control<QLineEdit>(sheet->page(0), 1002), fixture.path("d"));
        click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
        QCOMPARE(MessageBox::shownTexts(), QStringList());
        QCOMPARE(fixture.started.size(), std::size_t(1));
    }

    void appendToNameFollowsKeepAllAndTheKind() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        activate_tab(*sheet, ALGORITHMS);
        QWidget* page = sheet->page(ALGORITHMS);
        auto* append = control<QCheckBox>(page, 1014);
        auto* keep_all = control<QRadioButton>(page, 1004);
        auto* keep_smallest = control<QRadioButton>(page, 1003);
        QVERIFY(keep_smallest->isChecked());
        click(keep_all);
        QCOMPARE(fixture.current.KeepAll, 1);
        // One algorithm: the box is free.
        QVERIFY(append->isEnabled());
        QVERIFY(!append->isChecked());
        // Algorithms 2 and 5 (7 unticked): checked and greyed, record unchanged.
        click(control<QCheckBox>(page, 1006));
        click(control<QCheckBox>(page, 1009));
        click(control<QCheckBox>(page, 1011));
        QVERIFY(append->isChecked());
        QVERIFY(!append->isEnabled());
        QCOMPARE(fixture.current.AppendToName, 0);
        click(control<QCheckBox>(page, 1009));
        QVERIFY(append->isEnabled());
        QVERIFY(!append->isChecked());
        // A click on the checked "smallest" radio keeps it and KeepAll 0.
        click(keep_smallest);
        click(keep_smallest);
        QCOMPARE(fixture.current.KeepAll, 0);

        // A directory job keeps only the smallest delta and never numbers,
        // whatever the record says.
        fixture.current.KeepAll = 1;
        fixture.current.IsFile = JOB_DIRECTORY;
        activate_tab(*sheet, 0);
        activate_tab(*sheet, ALGORITHMS);
        QVERIFY(keep_smallest->isChecked());
        QVERIFY(!keep_all->isChecked());
        QVERIFY(!keep_all->isEnabled());
        QVERIFY(!append->isEnabled());
        QCOMPARE(fixture.current.KeepAll, 1);
    }

    void createAdvancedWritesStampFailureAndReport() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        activate_tab(*sheet, CREATE_ADVANCED);
        QWidget* page = sheet->page(CREATE_ADVANCED);
        QVERIFY(control<QRadioButton>(page, 1003)->isChecked());  // Short
        QVERIFY(control<QRadioButton>(page, 1019)->isChecked());  // Copy Updated File
        QCOMPARE(control<QComboBox>(page, 1076)->currentText(), QStringLiteral("1"));
        click(control<QRadioButton>(page, 1004));
        QCOMPARE(fixture.current.Stamp, 0);
        click(control<QRadioButton>(page, 1016));
        QCOMPARE(fixture.current.FailureAction, FAILURE_ABORT);
        click(control<QRadioButton>(page, 1015));
        QCOMPARE(fixture.current.FailureAction, FAILURE_SKIP);
        auto* level = control<QComboBox>(page, 1076);
        level->setCurrentIndex(2);
        emit level->activated(2);
        QCOMPARE(fixture.current.ReportLevel, 3);
        // Unticking append asks for a fresh report even without a file name.
        auto* append = control<QCheckBox>(page, 1005);
        click(append);
        QCOMPARE(fixture.current.LogFileMode, LOG_APPEND);
        click(append);
        QCOMPARE(fixture.current.LogFileMode, LOG_OVERWRITE);

        // A level of 4 (from the history) selects nothing; an unknown failure
        // action shows as Abort.
        fixture.current.ReportLevel = 4;
        fixture.current.FailureAction = 9;
        activate_tab(*sheet, 0);
        activate_tab(*sheet, CREATE_ADVANCED);
        QCOMPARE(level->currentIndex(), -1);
        QVERIFY(control<QRadioButton>(page, 1016)->isChecked());
    }

    void restoreAdvancedGreysMergeOnASingleFile() {
        SheetFixture fixture;
        fixture.defaults.SelfExtract = 1;
        auto sheet = fixture.open(false);
        activate_tab(*sheet, RESTORE_ADVANCED);
        QWidget* page = sheet->page(RESTORE_ADVANCED);
        QCOMPARE(fixture.current.SelfExtract, 0);
        auto* merge = control<QCheckBox>(page, 1005);
        QCOMPARE(control<QCheckBox>(page, 1006)->text(), QStringLiteral("Keep Original File(s)  Date && Time"));
        QVERIFY(control<QCheckBox>(page, 1006)->isChecked());
        QVERIFY(control<QCheckBox>(page, 1007)->isChecked());
        QVERIFY(control<QRadioButton>(page, 1003)->isChecked());  // Copy User Base File
        fixture.current.Merge = 1;
        activate_tab(*sheet, 0);
        activate_tab(*sheet, RESTORE_ADVANCED);
        QVERIFY(!merge->isEnabled());
        QVERIFY(!merge->isChecked());
        QCOMPARE(fixture.current.Merge, 1);
        activate_tab(*sheet, 0);
        click(control<QRadioButton>(sheet->page(0), 1004));
        activate_tab(*sheet, RESTORE_ADVANCED);
        QVERIFY(merge->isEnabled());
        QVERIFY(merge->isChecked());
        click(merge);
        QCOMPARE(fixture.current.Merge, 0);
        click(control<QCheckBox>(page, 1006));
        QCOMPARE(fixture.current.OriginDate, 0);
        click(control<QRadioButton>(page, 1015));
        QCOMPARE(fixture.current.FailureAction, FAILURE_SKIP);
        click(control<QCheckBox>(page, 1008));
        QCOMPARE(fixture.current.LogFileMode, LOG_APPEND);
    }

    void nameMatchingBuildsEntriesInsideTheDirectories() {
        SheetFixture fixture;
        fixture.mkdir(QStringLiteral("data/sub"));
        fixture.mkdir(QStringLiteral("new"));
        auto sheet = fixture.open(true);
        QWidget* general = sheet->page(0);
        click(control<QRadioButton>(general, 1004));
        activate_tab(*sheet, MATCHING);
        auto* page = static_cast<CMatchNamsPage*>(sheet->page(MATCHING));
        auto* customer = control<QRadioButton>(page, 1003);
        auto* build = control<QRadioButton>(page, 1004);
        QVERIFY(customer->isChecked());
        QVERIFY(!control<QLineEdit>(page, 1000)->isEnabled());

        // Build mode needs both directory names first.
        click(build);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Base Directory Name must be specified in General Tab")}));
        QVERIFY(customer->isChecked() && !build->isChecked());
        QCOMPARE(std::string(fixture.current.CustomMatchFile), page->temporary_name());
        MessageBox::clearShown();
        activate_tab(*sheet, 0);
        type_into(control<QLineEdit>(general, 1000), fixture.path("data"));
        activate_tab(*sheet, MATCHING);
        click(build);
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Updated Directory Name must be specified in General Tab")}));
        QCOMPARE(fixture.current.MatchNamesAction, 0);
        MessageBox::clearShown();
        activate_tab(*sheet, 0);
        type_into(control<QLineEdit>(general, 1001), fixture.path("new"));
        type_into(control<QLineEdit>(general, 1002), fixture.path("deltas"));
        activate_tab(*sheet, MATCHING);
        click(build);
        QCOMPARE(fixture.current.MatchNamesAction, 1);
        QVERIFY(control<QLineEdit>(page, 1000)->isEnabled());
        QVERIFY(!control<QLineEdit>(page, 1002)->isEnabled());

        // A file inside Base gives its name from the separator on; the
        // dialog starts in Base, then in the folder last chosen.
        FileDialog::clearRequests();
        FileDialog::setNextFileName(fixture.path("data/sub/a.txt"));
        click(control<QPushButton>(page, 1083));
        QCOMPARE(FileDialog::requests().at(0).directory, fixture.path("data"));
        QCOMPARE(control<QLineEdit>(page, 1000)->text(), QStringLiteral("/sub/a.txt"));
        // A file of "database" passes too: only the leading text is compared.
        fixture.mkdir(QStringLiteral("database"));
        FileDialog::setNextFileName(fixture.path("database/x"));
        click(control<QPushButton>(page, 1083));
        QCOMPARE(FileDialog::requests().at(1).directory, fixture.path("data/sub"));
        QCOMPARE(control<QLineEdit>(page, 1000)->text(), QStringLiteral("base/x"));
        // A file outside Updated is refused and changes nothing.
        FileDialog::setNextFileName(fixture.path("data/b.txt"));
        click(control<QPushButton>(page, 1084));
        QCOMPARE(MessageBox::shownTexts(),
                 QStringList({QStringLiteral("Just files included in Updated Directory may be chosen")}));
        QCOMPARE(control<QLineEdit>(page, 1001)->text(), QString());
        // Add To List with one empty name does nothing.
        click(control<QPushButton>(page, 1081));
        QCOMPARE(page->list()->count(), 0);
        FileDialog::setNextFileName(fixture.path("new/b.txt"));
        click(control<QPushButton>(page, 1084));
        QCOMPARE(std::string(fixture.current.MatchUpdatedEntry), std::string("/b.txt"));
        click(control<QPushButton>(page, 1081));
        type_into(control<QLineEdit>(page, 1000), QStringLiteral("/old.bin"));
        type_into(control<QLineEdit>(page, 1001), QStringLiteral("/new.bin"));
        click(control<QPushButton>(page, 1081));
        QCOMPARE(page->list()->count(), 2);
        QCOMPARE(page->list()->item(0)->text(), QStringLiteral("base/x  ;   /b.txt"));

        // Delete Entry needs a selected line.
        MessageBox::clearShown();
        page->list()->clearSelection();
        page->list()->setCurrentRow(-1);
        click(control<QPushButton>(page, 1082));
        QCOMPARE(MessageBox::shownTexts(), QStringList({QStringLiteral("Select in the listbox the entry to delete ")}));
        page->list()->setCurrentRow(0);
        click(control<QPushButton>(page, 1082));
        QCOMPARE(page->list()->count(), 1);
        QCOMPARE(page->entries(), std::vector<std::string>({"/old.bin  ;   /new.bin"}));

        // The job writes the list to the page's own file, line-feed ended.
        MessageBox::clearShown();
        click(sheet->findChild<QPushButton*>(QStringLiteral("12321")));
        QCOMPARE(MessageBox::shownTexts(), QStringList());
        QCOMPARE(fixture.started.size(), std::size_t(1));
        QCOMPARE(std::string(fixture.started[0].CustomMatchFile), page->temporary_name());
        QCOMPARE(contents(QString::fromStdString(page->temporary_name())), QByteArray("/old.bin  ;   /new.bin\n"));

        // Customer mode always clears the file name.
        click(customer);
        QCOMPARE(std::string(fixture.current.CustomMatchFile), std::string());
        QCOMPARE(control<QLineEdit>(page, 1002)->text(), QString());
        // The pair list survives the switch.
        click(build);
        QCOMPARE(page->list()->count(), 1);
    }

    void matchFilesAreWrittenOnlyForOwnDirectoryJobs() {
        SheetFixture fixture;
        fixture.mkdir(QStringLiteral("base"));
        fixture.mkdir(QStringLiteral("new"));
        fixture.write(QStringLiteral("customer.txt"), "/a  ;   /b\n");
        auto sheet = fixture.open(true);
        QWidget* general = sheet->page(0);
        type_into(control<QLineEdit>(general, 1000), fixture.path("base"));
        type_into(control<QLineEdit>(general, 1001), fixture.path("new"));
        type_into(control<QLineEdit>(general, 1002), fixture.path("delta"));
        activate_tab(*sheet, MATCHING);
        auto* page = static_cast<CMatchNamsPage*>(sheet->page(MATCHING));
        // A single-file job: both radios grey, no file written.
        QVERIFY(!control<QRadioButton>(page, 1003)->isEnabled());
        QVERIFY(!control<QRadioButton>(page, 1004)->isEnabled());
        const QString own = QString::fromStdString(page->temporary_name());
        QVERIFY(QFile::exists(own));

        // The customer's file chosen with Browse.
        activate_tab(*sheet, 0);
        click(control<QRadioButton>(general, 1004));
        activate_tab(*sheet, MATCHING);
        FileDialog::clearRequests();
        FileDialog::setNextFileName(fixture.path("customer.txt"));
        click(control<QPushButton>(page, 1006));
        QCOMPARE(FileDialog::requests().at(0).filter, QStringLiteral("Text documents(*.txt) (*.txt)"));
        QCOMPARE(std::string(fixture.current.CustomMatchFile), fixture.spath("customer.txt"));

        // A job from the history in build mode brings no pairs: nothing is
        // written, least of all over the customer's file.
        fixture.current.MatchNamesAction = 1;
        click(sheet->findChild<QPushButton*>(QStringLiteral("12321")));
        QCOMPARE(fixture.started.size(), std::size_t(1));
        QCOMPARE(contents(fixture.path("customer.txt")), QByteArray("/a  ;   /b\n"));
        QCOMPARE(contents(own), QByteArray());

        // An archived-directory job writes no match file either.
        activate_tab(*sheet, 0);
        click(control<QRadioButton>(general, 1012));
        activate_tab(*sheet, MATCHING);
        click(control<QRadioButton>(page, 1004));
        type_into(control<QLineEdit>(page, 1000), QStringLiteral("/x"));
        type_into(control<QLineEdit>(page, 1001), QStringLiteral("/y"));
        click(control<QPushButton>(page, 1081));
        // Its Delta is one file; a directory job's is a folder.
        fixture.write(QStringLiteral("delta"), "");
        fixture.mkdir(QStringLiteral("deltas"));
        activate_tab(*sheet, 0);
        type_into(control<QLineEdit>(general, 1002), fixture.path("delta"));
        click(sheet->findChild<QPushButton*>(QStringLiteral("12321")));
        QCOMPARE(fixture.started.size(), std::size_t(2));
        QCOMPARE(contents(own), QByteArray());

        // The same pairs in a directory job are written to the page's file.
        click(control<QRadioButton>(general, 1004));
        type_into(control<QLineEdit>(general, 1002), fixture.path("deltas"));
        click(sheet->findChild<QPushButton*>(QStringLiteral("12321")));
        QCOMPARE(contents(own), QByteArray("/x  ;   /y\n"));
        QCOMPARE(contents(fixture.path("customer.txt")), QByteArray("/a  ;   /b\n"));

        // A file that cannot be written is reported; the job still starts.
        QFile::remove(own);
        QVERIFY(QDir().mkdir(own));
        MessageBox::clearShown();
        click(sheet->findChild<QPushButton*>(QStringLiteral("12321")));
        QCOMPARE(MessageBox::shownTexts(), QStringList({QStringLiteral("Match file opening failed\n")}));
        QCOMPARE(fixture.started.size(), std::size_t(4));
        QDir().rmdir(own);
    }

    void anUnusedMatchFileNameLeavesNoFileBehind() {
        SheetFixture fixture;
        QString own;
        {
            auto sheet = fixture.open(true);
            activate_tab(*sheet, MATCHING);
            own = QString::fromStdString(static_cast<CMatchNamsPage*>(sheet->page(MATCHING))->temporary_name());
            QVERIFY(QFile::exists(own));
        }
        QVERIFY(!QFile::exists(own));
    }
};

QTEST_MAIN(PagesTest)
#include "pages_test.moc"
