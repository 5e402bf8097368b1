// Jobs run from the desktop through run_job_with_progress: real file and
// directory pairs with the restored bytes compared, Stop during a directory
// walk, one job at a time, the main window closed during a job, the window
// outliving a sheet that closes, and pictures of the window.
#include "gui_test_support.h"

#include "jobs/gui/job_launcher.h"
#include "jobs/gui/progress_dialog.h"
#include "shell/app/main_frame.h"
#include "shell/app/morvane_app.h"
#include "tests/support/positional_engine.h"

#include <QDialog>
#include <QDir>
#include <QDirIterator>
#include <QLabel>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTest>
#include <QTimer>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace quoralith;
using namespace quoralith::test;

namespace {

// An Updated file: the Base with a few stretches changed and some bytes added.
QByteArray updated_from(const QByteArray& base, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray updated = base;
    for (int i = 0; i < 4 && !updated.isEmpty(); ++i) {
        const int at = random.bounded(updated.size());
        for (int j = at; j < std::min<qsizetype>(updated.size(), at + 40); ++j) updated[j] = char(random.bounded(256));
    }
    for (int i = 0; i < 300; ++i) updated.append(char(random.bounded(256)));
    return updated;
}

QByteArray random_bytes(int size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (char& byte : bytes) byte = char(random.bounded(256));
    return bytes;
}

// Base and Updated trees of `count` files in three subfolders.
void make_trees(const QString& base, const QString& updated, int count, int size) {
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("d%1/f%2.bin").arg(i % 3).arg(i, 4, 10, QLatin1Char('0'));
        QDir().mkpath(QFileInfo(base + "/" + name).path());
        QDir().mkpath(QFileInfo(updated + "/" + name).path());
        const QByteArray bytes = random_bytes(size + i, quint32(i + 1));
        write_file(base + "/" + name, bytes);
        write_file(updated + "/" + name, updated_from(bytes, quint32(1000 + i)));
    }
}

// Relative names of the regular files below `root`.
QStringList files_below(const QString& root) {
    QStringList names;
    QDirIterator it(root, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) names << QDir(root).relativeFilePath(it.next());
    names.sort();
    return names;
}

JobSettings make_job(int action, bool directory, const QString& base, const QString& updated, const QString& delta,
                     const QString& report = {}) {
    JobSettings job;
    job.Action = action;
    job.IsFile = directory ? JOB_DIRECTORY : JOB_SINGLE_FILE;
    set_field(job.BasePath, base.toStdString());
    set_field(job.UpdatedPath, updated.toStdString());
    set_field(job.Delta, delta.toStdString());
    if (!report.isEmpty()) {
        set_field(job.ReportFile, report.toStdString());
        job.LogFileMode = LOG_OVERWRITE;
        job.ReportLevel = 2;
    }
    return job;
}

QString label_text(ProgressDialog* dialog, int id) {
    auto* label = qobject_cast<QLabel*>(dialog->control(id));
    return label ? label->text() : QStringLiteral("<no label %1>").arg(id);
}

// The real engine, held at one point of the job until the test lets it go:
// `hold(record)` chooses the record after whose answer the job thread waits.
struct Gate {
    std::atomic<bool> reached{false};
    std::atomic<bool> released{false};
    std::function<bool(const ProgressRecord&)> hold;

    EngineEntry engine() {
        return test::positional_engine([this](int type, const std::string& first, const std::string& second, std::string& output,
                      const std::string& pattern, const std::string& match, EngineFlags flags, AlgorithmMask mask,
                      const ProgressCallback& job_callback) {
            return test::run_real_engine(type, first, second, output, pattern, match, flags, mask,
                                 [&](const ProgressRecord& record) {
                                     const std::int16_t answer = job_callback(record);
                                     if (!reached && hold && hold(record)) {
                                         reached = true;
                                         const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
                                         while (!released && std::chrono::steady_clock::now() < give_up)
                                             std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                     }
                                     return answer;
                                 });
        });
    }
};

// Runs `action` on the window's thread once `ready()` holds, polling while a
// job's event loop runs.
void when(std::function<bool()> ready, std::function<void()> action) {
    auto* timer = new QTimer;
    timer->setInterval(2);
    QObject::connect(timer, &QTimer::timeout, timer, [timer, ready = std::move(ready), action = std::move(action)] {
        if (!ready()) return;
        timer->stop();
        timer->deleteLater();
        action();
    });
    timer->start();
}

int count_lines(const QByteArray& text, const QByteArray& needle) { return int(text.count(needle)); }

}  // namespace

class JobLauncherTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> sandbox_;
    ReportTemplates templates_;
    std::unique_ptr<QWidget> owner_;

    QString path(const QString& name) const { return sandbox_->path(name); }
    ProgressDialog* window() const { return owner_->findChild<ProgressDialog*>(); }
    // Presses OK in the finished job's window.
    void close_window() {
        QPointer<ProgressDialog> dialog = window();
        QVERIFY(dialog);
        QCOMPARE(dialog->stop_button()->text(), QStringLiteral("OK"));
        QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
        QTRY_VERIFY(!dialog);
    }

private slots:
    void initTestCase() { load_report_templates(templates_); }
    void init() {
        sandbox_ = std::make_unique<Sandbox>();
        owner_ = std::make_unique<QWidget>();
        owner_->resize(300, 200);
        owner_->show();
    }
    void cleanup() {
        owner_.reset();
        sandbox_.reset();
        QVERIFY(!job_running());
    }

    void filePairCreatesAndRestoresWithItsReport() {
        const QByteArray base = random_bytes(200000, 7);
        const QByteArray updated = updated_from(base, 8);
        write_file(path("base.bin"), base);
        write_file(path("updated.bin"), updated);

        JobSettings create = make_job(0, false, path("base.bin"), path("updated.bin"), path("new.dlt"),
                                      path("create.log"));
        create.Algorithms[0] = 1;
        QCOMPARE(run_job_with_progress(owner_.get(), create, templates_), 0);
        QVERIFY(!job_running());
        ProgressDialog* dialog = window();
        QVERIFY(dialog && dialog->isVisible() && dialog->finished());
        QCOMPARE(dialog->parentWidget(), owner_.get());
        QCOMPARE(label_text(dialog, IDC_PROGRESS_OPERATION), QStringLiteral("Create"));
        QCOMPARE(label_text(dialog, IDC_PROGRESS_TYPE), QStringLiteral("File"));
        QCOMPARE(label_text(dialog, IDC_PROGRESS_ALGORITHMS), QStringLiteral(" 0 7"));
        QCOMPARE(label_text(dialog, IDC_PROGRESS_ERROR_COUNT), QStringLiteral("0"));
        QCOMPARE(label_text(dialog, IDC_PROGRESS_TOTAL_BASE), QString::number(base.size()));
        QCOMPARE(label_text(dialog, IDC_PROGRESS_TOTAL_UPDATED), QString::number(updated.size()));
        QCOMPARE(label_text(dialog, IDC_PROGRESS_TOTAL_DELTA), QString::number(QFileInfo(path("new.dlt")).size()));
        QVERIFY(label_text(dialog, IDC_PROGRESS_COMPRESSION).endsWith(QStringLiteral("%)")));
        QVERIFY(dialog->control(IDC_PROGRESS_END_TIME)->isVisible());
        QVERIFY(dialog->control(IDC_PROGRESS_ALGORITHMS_LABEL)->isVisible());
        QVERIFY(dialog->control(IDC_PROGRESS_CURRENT_FILE)->isHidden());
        QVERIFY(dialog->error_text().isEmpty());
        const QByteArray report = read_file(path("create.log"));
        QVERIFY(report.startsWith("========S T A R T   O F   R E P O R T========\n"));
        QVERIFY(report.contains("Operation: Create  Type: File\n"));
        QVERIFY(report.contains("ended:   file " + path("new.dlt").toUtf8()));
        QVERIFY(report.contains("*** No errors detected ***\n"));
        QVERIFY(report.endsWith("========E N D   O F   R E P O R T==========\n"));
        close_window();

        JobSettings restore = make_job(1, false, path("base.bin"), path("restored.bin"), path("new.dlt"));
        QCOMPARE(run_job_with_progress(owner_.get(), restore, templates_), 0);
        QCOMPARE(read_file(path("restored.bin")), updated);
        dialog = window();
        QCOMPARE(label_text(dialog, IDC_PROGRESS_OPERATION), QStringLiteral("Restore"));
        QVERIFY(dialog->control(IDC_PROGRESS_ALGORITHMS_LABEL)->isHidden());
        close_window();

        // A refused request (the Delta is the output) is a finished job with
        // its error shown, not a silent success.
        JobSettings refused = make_job(1, false, path("base.bin"), path("new.dlt"), path("new.dlt"));
        QCOMPARE(run_job_with_progress(owner_.get(), refused, templates_), ERR_BAD_REQUEST);
        QCOMPARE(label_text(window(), IDC_PROGRESS_ERROR_COUNT), QStringLiteral("1"));
        QVERIFY(window()->error_text().contains(QStringLiteral("***ERROR*** 10 building file:")));
        QVERIFY(QFileInfo(path("new.dlt")).size() > 0);
        close_window();
    }

    void directoryPairCreatesAndRestores() {
        make_trees(path("base"), path("updated"), 24, 3000);
        JobSettings create = make_job(0, true, path("base"), path("updated"), path("delta"));
        QCOMPARE(run_job_with_progress(owner_.get(), create, templates_), 0);
        QCOMPARE(label_text(window(), IDC_PROGRESS_TYPE), QStringLiteral("Directory"));
        QCOMPARE(label_text(window(), IDC_PROGRESS_ERROR_COUNT), QStringLiteral("0"));
        // The whole job's figures crossed from the job's thread, the last ones kept.
        QCOMPARE(label_text(window(), IDC_PROGRESS_OVERALL_FILES), QStringLiteral("24 of 24 files"));
        QCOMPARE(window()->overall().bytes_done, window()->overall().bytes_total);
        QCOMPARE(window()->overall_bar()->value(), 1000);
        QCOMPARE(label_text(window(), IDC_PROGRESS_TIME_LEFT), QStringLiteral("0:00"));
        QCOMPARE(label_text(window(), IDC_PROGRESS_OUTCOME), QStringLiteral("Completed: 24 of 24 files."));
        close_window();
        QCOMPARE(files_below(path("delta")), files_below(path("updated")));

        JobSettings restore = make_job(1, true, path("base"), path("restored"), path("delta"));
        QCOMPARE(run_job_with_progress(owner_.get(), restore, templates_), 0);
        close_window();
        const QStringList names = files_below(path("updated"));
        QCOMPARE(files_below(path("restored")), names);
        for (const QString& name : names)
            QVERIFY2(read_file(path("restored/") + name) == read_file(path("updated/") + name), qPrintable(name));
    }

    void stopDuringADirectoryJobEndsTheWalkAndTheReport() {
        const int count = 40;
        make_trees(path("base"), path("updated"), count, 2000);
        Gate gate;
        gate.hold = [](const ProgressRecord& record) { return record.code == PM_FILE_DONE; };
        when([&] { return gate.reached.load(); },
             [&] {
                 ProgressDialog* dialog = running_progress_dialog();
                 QVERIFY(dialog);
                 QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
                 QVERIFY(dialog->stop_requested());
                 gate.released = true;
             });
        JobSettings create = make_job(0, true, path("base"), path("updated"), path("delta"), path("stop.log"));
        QCOMPARE(run_job_with_progress(owner_.get(), create, templates_, gate.engine()), 0);

        const int written = int(files_below(path("delta")).size());
        QVERIFY2(written >= 1 && written < count, qPrintable(QString::number(written)));
        const QByteArray report = read_file(path("stop.log"));
        QVERIFY(count_lines(report, " started: file ") <= 2);
        QVERIFY(report.contains("Quoralith statistics\n"));
        QVERIFY(report.endsWith("========E N D   O F   R E P O R T==========\n"));
        QCOMPARE(window()->stop_button()->text(), QStringLiteral("OK"));
        close_window();
    }

    // Calls from the job's thread arrive in batches; the window shows what
    // their order leaves: the bar of the second algorithm (yellow after
    // green) at the percent last read, the current file, no summary yet.
    void theWindowShowsTheStateTheCallsLeaveWhileTheJobRuns() {
        std::atomic<bool> held{false}, go_on{false};
        EngineEntry engine = test::positional_engine([&](int, const std::string&, const std::string&, std::string& output,
                                 const std::string&, const std::string&, EngineFlags, AlgorithmMask,
                                 const ProgressCallback& callback) {
            ProgressRecord record;
            record.output_path = output.c_str();
            record.second_size = 1000;
            callback(record);  // PM_FILE_START
            for (int algorithm : {1, 3}) {
                for (int position : {100, 350, 600}) {
                    ProgressRecord read;
                    read.code = PM_READ_INPUT;
                    read.algorithm = static_cast<std::int16_t>(algorithm);
                    read.position = position;
                    callback(read);
                }
            }
            held = true;
            while (!go_on) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ProgressRecord done;
            done.code = PM_FILE_DONE;
            done.output_path = output.c_str();
            done.second_size = 1000;
            done.result = 100;
            callback(done);
            return 0;
        });
        bool checked = false;
        when([&] { return held.load(); },
             [&] {
                 // The job goes on whatever the checks find.
                 const std::unique_ptr<void, std::function<void(void*)>> release(&go_on, [&](void*) { go_on = true; });
                 ProgressDialog* dialog = running_progress_dialog();
                 QVERIFY(dialog);
                 QTRY_COMPARE(dialog->bar()->percent(), 60);
                 QVERIFY(dialog->bar()->bar_visible() && dialog->bar()->isVisible());
                 QCOMPARE(dialog->bar()->colour(), BAR_YELLOW);
                 QCOMPARE(label_text(dialog, IDC_PROGRESS_CURRENT_FILE), path("out.dlt"));
                 QCOMPARE(label_text(dialog, IDC_PROGRESS_ALGORITHMS), QStringLiteral(" 1 3 7"));
                 QVERIFY(dialog->control(IDC_PROGRESS_TOTAL_BASE)->isHidden());
                 QCOMPARE(dialog->stop_button()->text(), QStringLiteral("Stop Process"));
                 checked = true;
             });
        JobSettings job = make_job(0, false, path("base.bin"), path("updated.bin"), path("out.dlt"));
        for (int& selected : job.Algorithms) selected = 0;
        job.Algorithms[1] = job.Algorithms[3] = job.Algorithms[7] = 1;  // 7 would be blue
        QCOMPARE(run_job_with_progress(owner_.get(), job, templates_, engine), 0);
        go_on = true;
        QVERIFY(checked);
        QVERIFY(window()->bar()->isHidden());
        QVERIFY(window()->control(IDC_PROGRESS_TOTAL_BASE)->isVisible());
        close_window();
    }

    void aSecondJobIsRefusedWhileOneRuns() {
        write_file(path("base.bin"), random_bytes(50000, 1));
        write_file(path("updated.bin"), updated_from(read_file(path("base.bin")), 2));
        Gate gate;
        gate.hold = [](const ProgressRecord& record) { return record.code == PM_FILE_START; };
        int second_result = 0;
        int windows_during = 0;
        when([&] { return gate.reached.load(); },
             [&] {
                 QVERIFY(job_running());
                 JobSettings other = make_job(0, false, path("base.bin"), path("updated.bin"), path("other.dlt"));
                 second_result = run_job_with_progress(owner_.get(), other, templates_);
                 windows_during = int(owner_->findChildren<ProgressDialog*>().size());
                 gate.released = true;
             });
        JobSettings job = make_job(0, false, path("base.bin"), path("updated.bin"), path("first.dlt"));
        QCOMPARE(run_job_with_progress(owner_.get(), job, templates_, gate.engine()), 0);
        QCOMPARE(second_result, ERR_JOB_RUNNING);
        QCOMPARE(windows_during, 1);
        QVERIFY(!QFileInfo::exists(path("other.dlt")));
        QVERIFY(QFileInfo::exists(path("first.dlt")));
        QVERIFY(!job_running());
        QVERIFY(!running_progress_dialog());
        close_window();

        // Once it has ended, the next job runs.
        QCOMPARE(run_job_with_progress(owner_.get(), job, templates_), 0);
        close_window();
    }

    void closingTheMainWindowStopsTheJobFirst() {
        FakeAudioOutput audio;
        audio.device = false;
        set_audio_output(&audio);
        {
            CMorvaneApp app;
            app.init_instance();
            CMainFrame* frame = app.main_frame();
            QVERIFY(frame && frame->isVisible());
            make_trees(path("base"), path("updated"), 30, 2000);
            Gate gate;
            gate.hold = [](const ProgressRecord& record) { return record.code == PM_FILE_DONE; };
            bool ended_before_close = false;
            when([&] { return gate.reached.load(); },
                 [&] {
                     // The job thread waits for the stop that closing asks for.
                     ProgressDialog* dialog = running_progress_dialog();
                     QObject::connect(dialog, &ProgressDialog::stopRequested, [&] { gate.released = true; });
                     frame->close();
                     ended_before_close = !job_running();
                 });
            JobSettings create = make_job(0, true, path("base"), path("updated"), path("delta"), path("close.log"));
            QCOMPARE(run_job_with_progress(frame, create, app.report_templates, gate.engine()), 0);
            QVERIFY(ended_before_close);
            QVERIFY(!frame->isVisible());
            QVERIFY(files_below(path("delta")).size() < 30);
            QVERIFY(read_file(path("close.log")).endsWith("========E N D   O F   R E P O R T==========\n"));

            // Without a job the window closes as before.
            frame->show();
            QVERIFY(frame->close());
        }
        set_audio_output(nullptr);
    }

    void theSummaryOutlivesASheetThatCloses() {
        write_file(path("base.bin"), random_bytes(30000, 3));
        write_file(path("updated.bin"), updated_from(read_file(path("base.bin")), 4));
        auto* sheet = new QDialog(owner_.get());
        sheet->show();
        JobSettings job = make_job(0, false, path("base.bin"), path("updated.bin"), path("new.dlt"));
        QCOMPARE(run_job_with_progress(sheet, job, templates_), 0);
        QPointer<ProgressDialog> dialog = sheet->findChild<ProgressDialog*>();
        QVERIFY(dialog);
        // Apply: the sheet stays, and so does the window, above it.
        QCOMPARE(dialog->parentWidget(), sheet);
        // OK: the sheet closes and goes; the window stays until its own OK.
        sheet->hide();
        delete sheet;
        QVERIFY(dialog);
        QVERIFY(dialog->isVisible());
        QCOMPARE(dialog->parentWidget(), owner_.get());
        close_window();

        // Cancel during the job: the sheet goes, the job and its window stay.
        sheet = new QDialog(owner_.get());
        sheet->show();
        Gate gate;
        gate.hold = [](const ProgressRecord& record) { return record.code == PM_FILE_START; };
        when([&] { return gate.reached.load(); },
             [&] {
                 sheet->hide();
                 gate.released = true;
             });
        QCOMPARE(run_job_with_progress(sheet, job, templates_, gate.engine()), 0);
        delete sheet;
        QVERIFY(window() && window()->isVisible());
        QCOMPARE(label_text(window(), IDC_PROGRESS_ERROR_COUNT), QStringLiteral("0"));
        close_window();
    }

    // Pictures for the README: a directory job half-way through a file, with
    // an error line from a file that is not a regular file, and its end.
    void pictures() {
        const QString out = qEnvironmentVariable("QUORALITH_SCREENSHOT_DIR", path("shots"));
        QDir().mkpath(out);
        make_trees(path("base"), path("updated"), 6, 400000);
        QVERIFY(mkfifo(path("updated/d0/a-pipe").toLocal8Bit().constData(), 0600) == 0);
        Gate gate;
        std::int32_t size = 0;
        int files = 0;
        gate.hold = [&](const ProgressRecord& record) {
            if (record.code == PM_FILE_START) {
                size = record.second_size;
                // A job that has run a while, so that the picture shows an
                // estimate of the time left.
                if (++files == 2) std::this_thread::sleep_for(std::chrono::milliseconds(2100));
            }
            return record.code == PM_READ_INPUT && files >= 3 && size > 0 &&
                   std::int64_t{record.position} * 100 / size >= 55;
        };
        bool shot = false;
        when([&] { return gate.reached.load(); },
             [&] {
                 QTest::qWait(50);  // the calls made so far reach the window
                 shot = window()->grab().save(QDir(out).filePath("progress-running.png"));
                 gate.released = true;
             });
        JobSettings create = make_job(0, true, path("base"), path("updated"), path("delta"));
        create.Algorithms[3] = 1;
        set_field(create.Pattern, "*");
        QCOMPARE(run_job_with_progress(owner_.get(), create, templates_, gate.engine()), 0);
        QVERIFY(shot);
        QCOMPARE(label_text(window(), IDC_PROGRESS_ERROR_COUNT), QStringLiteral("1"));
        QVERIFY(window()->error_text().contains(QStringLiteral("***ERROR*** 45 building file:")));
        QVERIFY(window()->error_text().contains(QStringLiteral("a-pipe: not a regular file")));
        QVERIFY(window()->grab().save(QDir(out).filePath("progress-finished.png")));
        close_window();

        // The same job stopped at its fourth file.
        Gate stop_gate;
        int started = 0;
        stop_gate.hold = [&](const ProgressRecord& record) {
            return record.code == PM_FILE_START && ++started == 4;
        };
        when([&] { return stop_gate.reached.load(); },
             [&] {
                 QTest::mouseClick(window()->stop_button(), Qt::LeftButton);
                 stop_gate.released = true;
             });
        set_field(create.Delta, path("delta-stopped").toStdString());
        QCOMPARE(run_job_with_progress(owner_.get(), create, templates_, stop_gate.engine()), 0);
        QVERIFY(label_text(window(), IDC_PROGRESS_OUTCOME).startsWith(QString::fromLatin1(STOPPED_TEXT)));
        QVERIFY(window()->control(IDC_PROGRESS_OUTCOME)->isVisible());
        QCOMPARE(label_text(window(), IDC_PROGRESS_TIME_LEFT), QStringLiteral("none, stopped"));
        QVERIFY(window()->grab().save(QDir(out).filePath("progress-stopped.png")));
        close_window();
    }
};

QTEST_MAIN(JobLauncherTest)
#include "job_launcher_test.moc"
