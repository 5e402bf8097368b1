// Real jobs from the sheets: the main window opens them, the user fills the
// General page and presses OK or Apply, the job runs with its progress window
// and report, and the restored files equal Updated byte for byte; a large
// job stopped from its window says so.
#include "sheet_test_support.h"

#include "base/program_files.h"
#include "engine/archive.h"
#include "jobs/gui/job_launcher.h"
#include "jobs/gui/progress_dialog.h"
#include "jobs/report.h"
#include "shell/app/commands.h"
#include "shell/app/main_frame.h"
#include "shell/app/morvane_app.h"
#include "shell/common/ui_seams.h"

#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QStatusBar>
#include <QTimer>

using namespace quoralith;
using namespace quoralith::test;

namespace {

QByteArray random_bytes(int size, quint32 seed) {
    QByteArray bytes(size, '\0');
    quint32 state = seed * 2654435761u + 1;
    for (char& byte : bytes) {
        state = state * 1103515245u + 12345u;
        byte = char(state >> 16);
    }
    return bytes;
}

// An Updated version of `base`: a few bytes changed, some inserted, a tail added.
QByteArray updated_from(const QByteArray& base, quint32 seed) {
    QByteArray updated = base;
    for (int i = 0; i < 20 && updated.size() > 0; ++i) updated[int((seed * 7919u + quint32(i) * 104729u) % quint32(updated.size()))] ^= 0x5A;
    updated.insert(updated.size() / 2, random_bytes(300, seed + 1));
    updated.append(random_bytes(100, seed + 2));
    return updated;
}

QByteArray contents(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void make_trees(SheetFixture& fixture, int count, int size) {
    for (int i = 0; i < count; ++i) {
        QString name = QStringLiteral("d%1/f%2.bin").arg(i % 7).arg(i);
        fixture.mkdir(QStringLiteral("base/d%1").arg(i % 7));
        fixture.mkdir(QStringLiteral("updated/d%1").arg(i % 7));
        QByteArray bytes = random_bytes(size + i, quint32(i + 1));
        fixture.write(QStringLiteral("base/") + name, bytes);
        fixture.write(QStringLiteral("updated/") + name, updated_from(bytes, quint32(1000 + i)));
    }
}

// The files below `root`, as relative names, sorted.
QStringList files_below(const QString& root) {
    QStringList names;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) names << QDir(root).relativeFilePath(it.next());
    names.sort();
    return names;
}

// Every file of `expected` is in `actual` with the same bytes, and nothing more.
bool same_tree(const QString& expected, const QString& actual) {
    QStringList want = files_below(expected);
    if (want.isEmpty() || want != files_below(actual)) return false;
    for (const QString& name : want)
        if (contents(expected + QLatin1Char('/') + name) != contents(actual + QLatin1Char('/') + name)) return false;
    return true;
}

void fill_names(COperationSheet& sheet, const QString& base, const QString& updated, const QString& delta,
                const QString& report) {
    QWidget* page = sheet.page(0);
    type_into(control<QLineEdit>(page, 1000), base);
    type_into(control<QLineEdit>(page, 1001), updated);
    type_into(control<QLineEdit>(page, 1002), delta);
    type_into(control<QLineEdit>(page, 1009), report);
}

// Presses OK in a finished job's window.
void close_progress(QWidget* owner) {
    QPointer<ProgressDialog> dialog = owner->findChild<ProgressDialog*>();
    QVERIFY(dialog);
    QVERIFY(dialog->finished());
    QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
    QTRY_VERIFY(!dialog);
}

}  // namespace

class RealJobTest : public QObject {
    Q_OBJECT

private:
    ReportTemplates templates_;
    std::unique_ptr<SheetFixture> fixture_;
    std::unique_ptr<QWidget> owner_;

    // The sheet as the main window opens it: owned by a window, jobs run by
    // the desktop launcher.
    std::unique_ptr<COperationSheet> open(bool create) {
        fixture_->starter = [this](QWidget* owner, JobSettings& job) {
            fixture_->started.push_back(job);
            return run_job_with_progress(owner, job, templates_);
        };
        std::unique_ptr<COperationSheet> sheet = make_operation_sheet(create, fixture_->context(), owner_.get());
        sheet->show();
        return sheet;
    }
    QString path(const QString& name) const { return fixture_->path(name); }

private slots:
    void initTestCase() { load_report_templates(templates_); }
    void init() {
        fixture_ = std::make_unique<SheetFixture>();
        owner_ = std::make_unique<QWidget>();
        owner_->resize(400, 300);
        owner_->show();
    }
    void cleanup() {
        owner_.reset();
        fixture_.reset();
        QVERIFY(!job_running());
    }

    void aFilePairFromBothSheets() {
        const QByteArray base = random_bytes(150000, 5);
        const QByteArray updated = updated_from(base, 6);
        fixture_->write(QStringLiteral("base.bin"), base);
        fixture_->write(QStringLiteral("updated.bin"), updated);
        {
            auto sheet = open(true);
            fill_names(*sheet, path("base.bin"), path("updated.bin"), path("new"), path("create-report"));
            click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
            QVERIFY(!sheet->isVisible());
            QVERIFY(QFile::exists(path("new.dlt")));
            QVERIFY(QFileInfo(path("new.dlt")).size() < updated.size() / 4);
            // The summary stays on screen once the sheet has gone.
            sheet.reset();
            close_progress(owner_.get());
        }
        const QByteArray report = contents(path("create-report.log"));
        QVERIFY(report.contains("Operation: Create  Type: File"));
        QVERIFY(report.contains("*** No errors detected ***"));
        {
            auto sheet = open(false);
            fill_names(*sheet, path("base.bin"), path("restored.bin"), path("new.dlt"), path("restore-report"));
            click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
            sheet.reset();
            close_progress(owner_.get());
        }
        QCOMPARE(contents(path("restored.bin")), updated);
        QVERIFY(contents(path("restore-report.log")).contains("Operation: Restore  Type: File"));
    }

    void aDirectoryPairFromBothSheetsAndCancelAfterApply() {
        make_trees(*fixture_, 24, 20000);
        {
            auto sheet = open(true);
            click(control<QRadioButton>(sheet->page(0), 1004));
            fill_names(*sheet, path("base"), path("updated"), path("delta"), path("tree.txt"));
            activate_tab(*sheet, 1);
            click(control<QCheckBox>(sheet->page(1), 1015));  // algorithms 0 and 7
            click(sheet->findChild<QPushButton*>(QStringLiteral("12321")));  // Apply
            QVERIFY(sheet->isVisible());
            close_progress(sheet.get());
            // Cancel after Apply keeps what Apply made.
            click(sheet->findChild<QPushButton*>(QStringLiteral("2")));
            QVERIFY(!sheet->isVisible());
        }
        QCOMPARE(std::string(fixture_->current.BasePath), std::string());
        QCOMPARE(fixture_->started.size(), std::size_t(1));
        QVERIFY(QFile::exists(path("delta/d0/f0.bin")));
        const QByteArray report = contents(path("tree.txt"));
        QVERIFY(report.contains("Operation: Create  Type: Directory"));
        QVERIFY(report.contains(" 0 7"));
        QVERIFY(report.contains("========E N D   O F   R E P O R T========"));
        {
            auto sheet = open(false);
            click(control<QRadioButton>(sheet->page(0), 1004));
            fill_names(*sheet, path("base"), path("restored"), path("delta"), QString());
            click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
            sheet.reset();
            close_progress(owner_.get());
        }
        QVERIFY(same_tree(path("updated"), path("restored")));
    }

    // The whole tree as one delta file, its Base given as an archive file.
    void anArchivedDirectoryPairFromBothSheets() {
        make_trees(*fixture_, 24, 20000);
        QCOMPARE(archive_create(fixture_->spath("base"), "", fixture_->spath("base.qa"), "",
                                EF_INCLUDE_SUBDIRS | EF_SORTED, {}),
                 0);
        {
            auto sheet = open(true);
            click(control<QRadioButton>(sheet->page(0), 1012));
            click(control<QCheckBox>(sheet->page(0), 1088));  // the Base is an archive
            fill_names(*sheet, path("base.qa"), path("updated"), path("tree.dlt"), path("archived.txt"));
            click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
            sheet.reset();
            close_progress(owner_.get());
        }
        QVERIFY(QFileInfo(path("tree.dlt")).isFile());
        QVERIFY(QFileInfo(path("tree.dlt")).size() < 24 * 1000);
        {
            auto sheet = open(false);
            click(control<QRadioButton>(sheet->page(0), 1012));
            fill_names(*sheet, path("base"), path("restored"), path("tree.dlt"), path("restored.txt"));
            click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
            sheet.reset();
            close_progress(owner_.get());
        }
        QVERIFY(same_tree(path("updated"), path("restored")));
        const QByteArray created = contents(path("archived.txt"));
        const QByteArray restored = contents(path("restored.txt"));
        QVERIFY(created.contains("Operation: Create  Type: Archived Directory"));
        QVERIFY(restored.contains("Operation: Restore  Type: Archived Directory"));
        QVERIFY(created.contains("*** No errors detected ***") && restored.contains("*** No errors detected ***"));
    }

    // A thousand-file directory job from the sheet; its time goes to the log
    // to be set beside the command line's time for the same job. A
    // measurement, so it runs only when asked for (QUORALITH_SHEET_TIMING=1).
    void aThousandFilesFromTheSheet() {
        if (qEnvironmentVariableIsEmpty("QUORALITH_SHEET_TIMING")) QSKIP("set QUORALITH_SHEET_TIMING=1 to measure");
        make_trees(*fixture_, 1000, 2000);
        auto sheet = open(true);
        click(control<QRadioButton>(sheet->page(0), 1004));
        fill_names(*sheet, path("base"), path("updated"), path("delta"), QString());
        QElapsedTimer timer;
        timer.start();
        click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
        qInfo("1000-file directory create from the sheet: %lld ms", static_cast<long long>(timer.elapsed()));
        sheet.reset();
        close_progress(owner_.get());
        QCOMPARE(QDir(path("delta/d3")).entryList(QDir::Files).size(), 143);
        // The same job from the command line, when its program is named.
        const QString cli = qEnvironmentVariable("QUORALITH_CLI_PROGRAM");
        if (cli.isEmpty()) return;
        QProcess process;
        timer.restart();
        process.start(cli, {QStringLiteral("--quiet"), QStringLiteral("create"), path("base"), path("updated"),
                            path("delta-cli")});
        QVERIFY(process.waitForFinished(600000));
        qInfo("1000-file directory create from the command line: %lld ms", static_cast<long long>(timer.elapsed()));
        QCOMPARE(process.exitCode(), 0);
        // The same deltas (their bytes may differ in the Updated files'
        // access times, which the first job's reading moved on).
        QCOMPARE(files_below(path("delta-cli")), files_below(path("delta")));
    }

    // A thousand-file Directory job from the Create sheet, stopped through its
    // window's Stop part-way: the window and the report say it was stopped
    // and how far it came, and as many deltas are on the disk as it says.
    void aThousandFileJobStoppedFromItsWindow() {
        make_trees(*fixture_, 1000, 2000);
        auto sheet = open(true);
        click(control<QRadioButton>(sheet->page(0), 1004));
        fill_names(*sheet, path("base"), path("updated"), path("delta"), path("stopped.txt"));
        bool clicked = false;
        QTimer poll;
        poll.setInterval(5);
        connect(&poll, &QTimer::timeout, this, [&] {
            ProgressDialog* window = running_progress_dialog();
            if (clicked || !window || window->overall().files_done < 250) return;
            clicked = true;
            QCOMPARE(window->overall().files_total, std::int64_t{1000});
            QTest::mouseClick(window->stop_button(), Qt::LeftButton);
        });
        poll.start();
        click(sheet->findChild<QPushButton*>(QStringLiteral("1")));
        poll.stop();
        QVERIFY(clicked);
        sheet.reset();

        ProgressDialog* window = owner_->findChild<ProgressDialog*>();
        QVERIFY(window && window->finished());
        const std::int64_t done = window->overall().files_done;
        QVERIFY2(done >= 250 && done < 1000, qPrintable(QString::number(done)));
        const QString outcome = QString::fromLatin1(STOPPED_TEXT) + QStringLiteral(" (%1 of 1000 files done)").arg(done);
        auto* label = qobject_cast<QLabel*>(window->control(IDC_PROGRESS_OUTCOME));
        QVERIFY(label && label->isVisible());
        QCOMPARE(label->text(), outcome + QLatin1Char('.'));
        QCOMPARE(qobject_cast<QLabel*>(window->control(IDC_PROGRESS_TIME_LEFT))->text(), QStringLiteral("none, stopped"));
        // The deltas on the disk are the files done, and nothing else: no
        // temporary of the stopped file is left.
        QStringList written;
        QDirIterator it(path("delta"), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) written << it.next();
        QCOMPARE(written.size(), int(done));
        for (const QString& name : written)
            QVERIFY2(QFileInfo(name).fileName().startsWith(QLatin1Char('f')), qPrintable(name));
        qInfo("stopped after %lld of 1000 files", static_cast<long long>(done));
        const QByteArray report = contents(path("stopped.txt"));
        QVERIFY(report.contains("*** " + outcome.toLatin1() + " ***\n"));
        QVERIFY(report.endsWith("========E N D   O F   R E P O R T==========\n"));
        close_progress(owner_.get());
    }

    void theMainWindowOpensBothSheets() {
        // An empty data directory: no picture, no sound.
        fixture_->mkdir(QStringLiteral("data"));
        set_program_data_directory(path("data").toStdString());
        CMorvaneApp app;
        app.init_instance();
        CMainFrame* frame = app.main_frame();
        QVERIFY(frame);
        std::vector<JobSettings> jobs;
        frame->set_job_starter([&jobs](QWidget*, JobSettings& job) {
            jobs.push_back(job);
            return 0;
        });
        QStringList titles;
        QStringList edited;
        ModalDialog::setTestHook([&](QDialog& dialog) {
            auto* sheet = qobject_cast<COperationSheet*>(&dialog);
            if (!sheet) return int(QDialog::Rejected);
            titles << sheet->windowTitle();
            fill_names(*sheet, QStringLiteral("/b"), QStringLiteral("/u"), QStringLiteral("/d"), {});
            edited << QString::fromLatin1(app.current.BasePath) + QString::number(app.current.Action);
            return int(QDialog::Rejected);
        });
        frame->dispatch(ID_ACTIONS_CREATE);
        frame->dispatch(ID_ACTIONS_RESTORE);
        ModalDialog::setTestHook(nullptr);
        QCOMPARE(titles, QStringList({QStringLiteral("Delta File/Directory Creation"),
                                      QStringLiteral("Restore Updated File/Directory")}));
        QCOMPARE(edited, QStringList({QStringLiteral("/b0"), QStringLiteral("/b1")}));
        QVERIFY(!frame->statusBar()->currentMessage().contains(QStringLiteral("not available")));
        // The sheets edited the application's own record, which is back at
        // the defaults once they closed.
        QCOMPARE(std::string(app.current.BasePath), std::string());
        QVERIFY(jobs.empty());
        set_program_data_directory("");
        app.main_frame()->close();
    }
};

QTEST_MAIN(RealJobTest)
#include "real_job_test.moc"
