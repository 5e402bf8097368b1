// Record and Play in the sheets: the history list, Set, Reset, Delete and
// the keys that work while the list is shown.
#include "sheet_test_support.h"

#include "base/profile_file.h"
#include "shell/common/ui_seams.h"

#include <QCheckBox>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>

using namespace quoralith;
using namespace quoralith::test;

namespace {

void press(COperationSheet& sheet, int id) {
    auto* button = sheet.findChild<QAbstractButton*>(QString::number(id));
    QVERIFY2(button, qPrintable(QStringLiteral("no button %1").arg(id)));
    click(button);
}

// Delete, answered Yes when it asks.
void delete_entry(COperationSheet& sheet) {
    MessageBox::setNextAnswer(QMessageBox::Yes);
    press(sheet, ID_HISTORY_DELETE);
    MessageBox::setNextAnswer(QMessageBox::Ok);
}

QLineEdit* edit(COperationSheet& sheet, int id) { return control<QLineEdit>(sheet.page(0), id); }

// Records a job of three names through the sheet, one second after the last.
void record_job(SheetFixture& fixture, COperationSheet& sheet, const QString& tag) {
    type_into(edit(sheet, 1000), QStringLiteral("/base/") + tag);
    type_into(edit(sheet, 1001), QStringLiteral("/updated/") + tag);
    type_into(edit(sheet, 1002), QStringLiteral("/delta/") + tag);
    fixture.now.tm_sec += 1;
    press(sheet, ID_RECORD);
}

QStringList lines(QListWidget* list) {
    QStringList texts;
    for (int i = 0; i < list->count(); ++i) texts << list->item(i)->text();
    return texts;
}

}  // namespace

class HistoryListTest : public QObject {
    Q_OBJECT

private slots:
    void playListsNewestFirstAndLoadsTheFirst() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        record_job(fixture, *sheet, QStringLiteral("one"));
        record_job(fixture, *sheet, QStringLiteral("two"));
        // Recorded through the sheet: Create jobs go to Qralithd.env.
        QCOMPARE(profile_read_int(sheet->history_file(), "LastNumber", "num", 0), 2);
        type_into(edit(*sheet, 1000), QStringLiteral("/before/play"));
        const int width = sheet->width();
        const QPoint position = sheet->pos();

        press(*sheet, ID_PLAY);
        QListWidget* list = sheet->history_list();
        QVERIFY(list);
        QCOMPARE(list->objectName(), QStringLiteral("1050"));
        QCOMPARE(list->count(), 2);
        QVERIFY(list->item(0)->text().startsWith(QStringLiteral("base: /base/two\tupdate: /updated/two\tdelta:/delta/two\tdate: ")));
        QCOMPARE(list->currentRow(), 0);
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/base/two"));
        QCOMPARE(edit(*sheet, 1000)->text(), QStringLiteral("/base/two"));
        QCOMPARE(std::string(fixture.backup.BasePath), std::string("/before/play"));
        // The list state: OK and Apply off, Play and Record hidden; the list
        // takes their band, and the sheet neither moves nor grows.
        QCOMPARE(sheet->width(), width);
        QCOMPARE(sheet->pos(), position);
        QVERIFY(!sheet->findChild<QWidget*>(QStringLiteral("1"))->isEnabled());
        QVERIFY(!sheet->findChild<QWidget*>(QStringLiteral("12321"))->isEnabled());
        QVERIFY(!sheet->findChild<QWidget*>(QStringLiteral("500"))->isVisible());
        QVERIFY(!sheet->findChild<QWidget*>(QStringLiteral("501"))->isVisible());
        QVERIFY(sheet->findChild<QWidget*>(QStringLiteral("PlayLabel"))->isVisible());
        QRect list_rect = list->geometry();
        QWidget* set = sheet->findChild<QWidget*>(QStringLiteral("502"));
        QWidget* del = sheet->findChild<QWidget*>(QStringLiteral("504"));
        QCOMPARE(set->geometry().top(), list_rect.bottom() + 15);
        QCOMPARE(set->geometry().left(), list_rect.left());
        QCOMPARE(del->geometry().right(), list_rect.right() + 10);
        // The lines' fields stand in tab-stop columns, and the list scrolls
        // sideways over its whole extent of 900 pixels.
        const QFontMetrics metrics(list->font());
        const int stop = history_tab_stop_pixels(metrics);
        QVERIFY(stop > metrics.horizontalAdvance(QStringLiteral("x")) * 10);
        const auto fields = history_line_fields(list->item(0)->text(), metrics, stop);
        QCOMPARE(int(fields.size()), 4);
        QCOMPARE(fields[0].first, 0);
        QCOMPARE(fields[1].second, QStringLiteral("update: /updated/two"));
        for (std::size_t i = 1; i < fields.size(); ++i) {
            QCOMPARE(fields[i].first % stop, 0);
            QVERIFY(fields[i].first >= fields[i - 1].first + metrics.horizontalAdvance(fields[i - 1].second));
        }
        QVERIFY(list->sizeHintForColumn(0) >= 900);

        // Another line loads its job.
        list->setCurrentRow(1);
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/base/one"));
        // Set keeps it, closes the list and lets OK start it.
        press(*sheet, ID_HISTORY_SET);
        QVERIFY(!sheet->list_shown());
        QCOMPARE(sheet->width(), width);
        QVERIFY(sheet->findChild<QWidget*>(QStringLiteral("500"))->isVisible());
        QVERIFY(sheet->findChild<QWidget*>(QStringLiteral("1"))->isEnabled());
        QVERIFY(sheet->findChild<QWidget*>(QStringLiteral("12321"))->isEnabled());
        QVERIFY(!sheet->loading_latch());
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/base/one"));
    }

    void resetBringsBackTheJobBeforePlayOnEveryPage() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        record_job(fixture, *sheet, QStringLiteral("kept"));
        // The job before Play: a directory job with algorithms 0 and 7, append.
        click(control<QRadioButton>(sheet->page(0), 1004));
        type_into(edit(*sheet, 1000), QStringLiteral("/mine"));
        activate_tab(*sheet, 1);
        click(control<QCheckBox>(sheet->page(1), 1015));
        activate_tab(*sheet, 2);
        click(control<QCheckBox>(sheet->page(2), 1005));
        activate_tab(*sheet, 0);

        press(*sheet, ID_PLAY);
        QCOMPARE(fixture.current.IsFile, JOB_SINGLE_FILE);
        QCOMPARE(fixture.current.Algorithms[0], 0);
        // While an entry is loading, the page's refresh does not enable Apply.
        QVERIFY(sheet->loading_latch());
        QVERIFY(!sheet->findChild<QWidget*>(QStringLiteral("12321"))->isEnabled());
        press(*sheet, ID_HISTORY_RESET);
        QVERIFY(!sheet->list_shown());
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/mine"));
        QCOMPARE(edit(*sheet, 1000)->text(), QStringLiteral("/mine"));
        QVERIFY(control<QRadioButton>(sheet->page(0), 1004)->isChecked());
        activate_tab(*sheet, 1);
        QVERIFY(control<QCheckBox>(sheet->page(1), 1015)->isChecked());
        activate_tab(*sheet, 2);
        QVERIFY(control<QCheckBox>(sheet->page(2), 1005)->isChecked());
        QVERIFY(sheet->findChild<QWidget*>(QStringLiteral("12321"))->isEnabled());
    }

    void deletingKeepsNumbersAndSelectsANeighbour() {
        SheetFixture fixture;
        auto sheet = fixture.open(false);
        record_job(fixture, *sheet, QStringLiteral("first"));
        record_job(fixture, *sheet, QStringLiteral("second"));
        record_job(fixture, *sheet, QStringLiteral("third"));
        press(*sheet, ID_PLAY);
        QListWidget* list = sheet->history_list();
        QCOMPARE(list->count(), 3);
        // Deleting the last line selects the new last line and loads it.
        list->setCurrentRow(2);
        delete_entry(*sheet);
        QCOMPARE(list->count(), 2);
        QCOMPARE(list->currentRow(), 1);
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/base/second"));
        QVERIFY(sheet->list_shown());
        // Deleting a middle line selects the line that takes its place.
        list->setCurrentRow(0);
        delete_entry(*sheet);
        QCOMPARE(lines(list).size(), 1);
        QCOMPARE(list->currentRow(), 0);
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/base/second"));
        QCOMPARE(profile_read_int(sheet->history_file(), "LastNumber", "num", 0), 3);
        // Deleting the only line leaves an empty list and loads nothing.
        set_field(fixture.current.BasePath, "/untouched");
        delete_entry(*sheet);
        QCOMPARE(list->count(), 0);
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/untouched"));
        // Delete on an empty list removes nothing.
        delete_entry(*sheet);
        press(*sheet, ID_HISTORY_RESET);

        // The next Record after deletions takes the next number.
        record_job(fixture, *sheet, QStringLiteral("fourth"));
        QCOMPARE(profile_read_int(sheet->history_file(), "LastNumber", "num", 0), 4);
        QCOMPARE(profile_read_text(sheet->history_file(), "4", "BasePath", "", 128), std::string("/base/fourth"));
    }

    void deleteThenRecordWritesSectionThree() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        record_job(fixture, *sheet, QStringLiteral("a"));
        record_job(fixture, *sheet, QStringLiteral("b"));
        press(*sheet, ID_PLAY);
        sheet->history_list()->setCurrentRow(1);  // section 1, the older
        delete_entry(*sheet);
        QCOMPARE(sheet->history_list()->count(), 1);
        press(*sheet, ID_HISTORY_SET);
        record_job(fixture, *sheet, QStringLiteral("c"));
        QCOMPARE(profile_read_int(sheet->history_file(), "LastNumber", "num", 0), 3);
        QCOMPARE(profile_read_text(sheet->history_file(), "3", "BasePath", "", 128), std::string("/base/c"));
    }

    void incompleteSectionsAreNotListed() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        record_job(fixture, *sheet, QStringLiteral("complete"));
        record_job(fixture, *sheet, QStringLiteral("newest"));
        // The newest section loses its RecordTime: only the older is listed
        // and loaded.
        ProfileFile edited(sheet->history_file());
        edited.remove_section("2");
        QVERIFY(edited.set("2", "Action", "0"));
        QVERIFY(edited.set("2", "BasePath", "/base/newest"));
        QVERIFY(edited.set("2", "UpdatedPath", "/u"));
        QVERIFY(edited.set("2", "Delta", "/d"));
        QVERIFY(edited.save());
        press(*sheet, ID_PLAY);
        QCOMPARE(sheet->history_list()->count(), 1);
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/base/complete"));
    }

    void twoRecordsInOneSecondMakeOneEntry() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        type_into(edit(*sheet, 1000), QStringLiteral("/b"));
        type_into(edit(*sheet, 1001), QStringLiteral("/u"));
        type_into(edit(*sheet, 1002), QStringLiteral("/d"));
        press(*sheet, ID_RECORD);
        type_into(edit(*sheet, 1001), QStringLiteral("/u2"));
        press(*sheet, ID_RECORD);  // the same second
        QCOMPARE(profile_read_int(sheet->history_file(), "LastNumber", "num", 0), 1);
        type_into(edit(*sheet, 1001), QStringLiteral("/u3"));
        fixture.now.tm_sec += 1;
        press(*sheet, ID_RECORD);
        QCOMPARE(profile_read_int(sheet->history_file(), "LastNumber", "num", 0), 2);
        // A Record without a report file stores no report mode.
        QCOMPARE(profile_read_int(sheet->history_file(), "2", "LogFileMode", -1), 0);
    }

    void keysMoveInTheListAndDeleteRespectsTheEdits() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        record_job(fixture, *sheet, QStringLiteral("one"));
        record_job(fixture, *sheet, QStringLiteral("two"));
        record_job(fixture, *sheet, QStringLiteral("three"));
        QApplication::setActiveWindow(sheet.get());
        QVERIFY(QTest::qWaitForWindowActive(sheet.get()));
        press(*sheet, ID_PLAY);
        QListWidget* list = sheet->history_list();
        QCOMPARE(QApplication::focusWidget(), list);
        QTest::keyClick(list, Qt::Key_Down);
        QCOMPARE(list->currentRow(), 1);
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/base/two"));
        QTest::keyClick(list, Qt::Key_Down);
        QTest::keyClick(list, Qt::Key_Down);  // stays on the last line
        QCOMPARE(list->currentRow(), 2);
        QTest::keyClick(list, Qt::Key_Up);
        QCOMPARE(list->currentRow(), 1);

        // In the Delta edit, Delete edits the text; Up and Down still move.
        QLineEdit* delta = edit(*sheet, 1002);
        delta->setFocus();
        delta->setCursorPosition(0);
        QTest::keyClick(delta, Qt::Key_Delete);
        QCOMPARE(delta->text(), QStringLiteral("delta/two"));
        QCOMPARE(list->count(), 3);
        QTest::keyClick(delta, Qt::Key_Up);
        QCOMPARE(list->currentRow(), 0);
        // Elsewhere, Delete deletes the selected entry.
        list->setFocus();
        MessageBox::setNextAnswer(QMessageBox::Yes);
        QTest::keyClick(list, Qt::Key_Delete);
        QCOMPARE(list->count(), 2);
        QCOMPARE(std::string(fixture.current.BasePath), std::string("/base/two"));
        press(*sheet, ID_HISTORY_SET);
        // With the list closed the keys are the controls' own again.
        QTest::keyClick(delta, Qt::Key_Delete);
        QCOMPARE(profile_read_int(sheet->history_file(), "LastNumber", "num", 0), 3);
    }

    // Two jobs whose long names differ only at the end read apart: each
    // field loses its middle to fit its column, and the tooltip shows it all.
    void longPathsAreShortenedInTheMiddleWithTheWholeTextInATooltip() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        const QString stem = QStringLiteral("/srv/releases/product-line/components/engine/linux-x86_64/");
        for (const char* tag : {"build-1041.bin", "build-1042.bin"}) {
            type_into(edit(*sheet, 1000), stem + QStringLiteral("base/") + QLatin1String(tag));
            type_into(edit(*sheet, 1001), stem + QStringLiteral("updated/") + QLatin1String(tag));
            type_into(edit(*sheet, 1002), stem + QStringLiteral("delta/") + QLatin1String(tag));
            fixture.now.tm_sec += 1;
            press(*sheet, ID_RECORD);
        }
        press(*sheet, ID_PLAY);
        QListWidget* list = sheet->history_list();
        QCOMPARE(list->count(), 2);
        const QFontMetrics metrics(list->font());
        const int stop = history_tab_stop_pixels(metrics);
        const auto newer = history_line_fields(list->item(0)->text(), metrics, stop);
        const auto older = history_line_fields(list->item(1)->text(), metrics, stop);
        for (std::size_t i = 0; i < 3; ++i) {
            // Shortened (the stem alone is wider than a column)...
            QVERIFY(newer[i].second.contains(QChar(0x2026)));
            QVERIFY(metrics.horizontalAdvance(newer[i].second) < stop);
            QCOMPARE(newer[i].first, int(i) * stop);
            // ...keeping the start and the end, where the two differ.
            QVERIFY(newer[i].second.startsWith(i == 0 ? QStringLiteral("base: /srv") : QStringLiteral("")));
            QVERIFY(newer[i].second.endsWith(QStringLiteral("1042.bin")));
            QVERIFY(older[i].second.endsWith(QStringLiteral("1041.bin")));
        }
        const QString tip = list->item(0)->toolTip();
        QVERIFY(tip.contains(QStringLiteral("base: ") + stem + QStringLiteral("base/build-1042.bin")));
        QVERIFY(tip.contains(QStringLiteral("delta:") + stem + QStringLiteral("delta/build-1042.bin")));
        QCOMPARE(tip.count(QLatin1Char('\n')), 3);
    }

    // Delete asks first, naming the entry; No keeps it.
    void deleteAsksFirstAndNoKeepsTheEntry() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        record_job(fixture, *sheet, QStringLiteral("kept"));
        press(*sheet, ID_PLAY);
        QListWidget* list = sheet->history_list();
        MessageBox::clearShown();
        MessageBox::setNextAnswer(QMessageBox::No);
        press(*sheet, ID_HISTORY_DELETE);
        QCOMPARE(list->count(), 1);
        QCOMPARE(profile_read_text(sheet->history_file(), "1", "BasePath", "", 128), std::string("/base/kept"));
        QCOMPARE(MessageBox::shown().size(), std::size_t(1));
        QCOMPARE(MessageBox::shown()[0].icon, MessageIcon::Question);
        QVERIFY(MessageBox::shown()[0].text.startsWith(QStringLiteral("Delete this job from the history?")));
        QVERIFY(MessageBox::shown()[0].text.contains(QStringLiteral("/delta/kept")));
        delete_entry(*sheet);
        QCOMPARE(list->count(), 0);
        QVERIFY(!ProfileFile(sheet->history_file()).has_section("1"));
    }

    // A Record says in the sheet what became of it.
    void recordSaysInTheSheetWhatItDid() {
        SheetFixture fixture;
        auto sheet = fixture.open(false);
        QLabel* status = sheet->record_status();
        QVERIFY(status->text().isEmpty());
        record_job(fixture, *sheet, QStringLiteral("one"));
        QVERIFY(status->isVisible());
        QCOMPARE(status->text(), QStringLiteral("Job recorded in the history as entry 1 (Play lists it)."));
        // Within the same second the job is not written twice, and the line says so.
        type_into(edit(*sheet, 1002), QStringLiteral("/delta/again"));
        press(*sheet, ID_RECORD);
        QCOMPARE(status->text(), QStringLiteral("This job was recorded a moment ago; it is in the history once."));
        QCOMPARE(profile_read_int(sheet->history_file(), "LastNumber", "num", 0), 1);
    }

    void cancelInTheListStateClosesTheSheet() {
        SheetFixture fixture;
        auto sheet = fixture.open(true);
        record_job(fixture, *sheet, QStringLiteral("x"));
        press(*sheet, ID_PLAY);
        press(*sheet, 2);
        QVERIFY(!sheet->isVisible());
        sheet.reset();
        QCOMPARE(std::string(fixture.current.BasePath), std::string());
    }
};

QTEST_MAIN(HistoryListTest)
#include "history_list_test.moc"
