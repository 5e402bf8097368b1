// The progress window on its own: its controls, the bar's colours and fill,
// Stop and the end state, and a job run on the window's own thread, where the
// callback keeps the event loop running.
#include "jobs/gui/progress_dialog.h"
#include "jobs/run_job.h"
#include "tests/support/positional_engine.h"

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QAbstractTextDocumentLayout>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <vector>

using namespace quoralith;

namespace {

QColor pixel(ProgressBarFrame* bar, int x) {
    return bar->grab().toImage().pixelColor(x, bar->height() / 2);
}

QColor qcolor(BarColour colour) { return QColor(colour.red, colour.green, colour.blue); }

// A scripted engine: one file of `size` bytes coded with each algorithm of
// the mask, reading its input in four steps; `probe` runs after every record
// on the job's own thread.
EngineEntry scripted_engine(std::int32_t size, std::function<void(const ProgressRecord&, std::int16_t)> probe) {
    return test::positional_engine([size, probe](int, const std::string& first, const std::string& second, std::string& output,
                         const std::string&, const std::string&, EngineFlags, AlgorithmMask mask,
                         const ProgressCallback& callback) {
        auto send = [&](ProgressRecord record) {
            record.first_path = first.c_str();
            record.second_path = second.c_str();
            record.output_path = output.c_str();
            record.first_size = size;
            record.second_size = size;
            std::int16_t answer = callback(record);
            if (probe) probe(record, answer);
            return answer;
        };
        ProgressRecord start;
        start.code = PM_FILE_START;
        send(start);
        for (int algorithm = 0; algorithm < 8; ++algorithm) {
            if (!(mask & (1u << algorithm))) continue;
            for (int step = 1; step <= 4; ++step) {
                ProgressRecord read;
                read.code = PM_READ_INPUT;
                read.algorithm = static_cast<std::int16_t>(algorithm);
                read.position = size / 4 * step - size / 8;
                if (send(read) == ANSWER_STOP) return 0;
            }
            ProgressRecord candidate;
            candidate.code = PM_CANDIDATE_DONE;
            candidate.algorithm = static_cast<std::int16_t>(algorithm);
            candidate.result = size / 10;
            send(candidate);
        }
        ProgressRecord done;
        done.code = PM_FILE_DONE;
        done.result = size / 10;
        send(done);
        return 0;
    });
}

}  // namespace

class ProgressWindowTest : public QObject {
    Q_OBJECT

private slots:
    void controlsCarryTheirIdsTextsAndKinds() {
        ProgressDialog dialog;
        dialog.show();
        QCOMPARE(dialog.objectName(), QStringLiteral("127"));
        QVERIFY(!dialog.isModal());

        auto* stop = qobject_cast<QPushButton*>(dialog.control(IDC_PROGRESS_STOP));
        QVERIFY(stop);
        QCOMPARE(stop->text(), QStringLiteral("Stop Process"));
        for (int id : {IDC_PROGRESS_BASE, IDC_PROGRESS_UPDATED, IDC_PROGRESS_DELTA, IDC_PROGRESS_PATTERN}) {
            auto* box = qobject_cast<QLineEdit*>(dialog.control(id));
            QVERIFY2(box && box->isReadOnly(), qPrintable(QString::number(id)));
        }
        auto* errors = qobject_cast<QPlainTextEdit*>(dialog.control(IDC_PROGRESS_ERRORS));
        QVERIFY(errors && errors->isReadOnly());
        for (int id : {IDC_PROGRESS_START_TIME, IDC_PROGRESS_OPERATION, IDC_PROGRESS_TYPE, IDC_PROGRESS_ALGORITHMS,
                       IDC_PROGRESS_CURRENT_FILE, IDC_PROGRESS_END_TIME, IDC_PROGRESS_ERROR_COUNT,
                       IDC_PROGRESS_TOTAL_BASE, IDC_PROGRESS_TOTAL_UPDATED, IDC_PROGRESS_TOTAL_DELTA,
                       IDC_PROGRESS_TIME, IDC_PROGRESS_COMPRESSION, IDC_PROGRESS_RELATIVE})
            QVERIFY2(qobject_cast<QLabel*>(dialog.control(id)), qPrintable(QString::number(id)));

        const std::pair<int, const char*> labels[] = {
            {IDC_PROGRESS_ALGORITHMS_LABEL, "Algorithms:"},   {IDC_PROGRESS_CURRENT_LABEL, "Currently Creating File"},
            {IDC_PROGRESS_END_LABEL, "Quoralith ended at:"},  {IDC_PROGRESS_ERRORS_LABEL, "errors detected"},
            {IDC_PROGRESS_TOTAL_BASE_LABEL, "Total Base"},    {IDC_PROGRESS_TOTAL_UPDATED_LABEL, "Total Updated"},
            {IDC_PROGRESS_TOTAL_DELTA_LABEL, "Total Delta"},  {IDC_PROGRESS_TIME_LABEL, "Execution Time:"},
            {IDC_PROGRESS_COMPRESSION_LABEL, "Compression:"}, {IDC_PROGRESS_RELATIVE_LABEL, "Relative Compression"},
        };
        for (const auto& [id, text] : labels) {
            auto* label = qobject_cast<QLabel*>(dialog.control(id));
            QVERIFY2(label, text);
            QCOMPARE(label->text(), QString::fromLatin1(text));
        }

        // The summary and the algorithm label wait for the job; the current
        // file is shown while it runs.
        for (int id : {IDC_PROGRESS_END_LABEL, IDC_PROGRESS_END_TIME, IDC_PROGRESS_ERROR_COUNT,
                       IDC_PROGRESS_ERRORS_LABEL, IDC_PROGRESS_TOTAL_BASE_LABEL, IDC_PROGRESS_TOTAL_BASE,
                       IDC_PROGRESS_TOTAL_UPDATED_LABEL, IDC_PROGRESS_TOTAL_UPDATED, IDC_PROGRESS_TOTAL_DELTA_LABEL,
                       IDC_PROGRESS_TOTAL_DELTA, IDC_PROGRESS_TIME_LABEL, IDC_PROGRESS_TIME,
                       IDC_PROGRESS_COMPRESSION_LABEL, IDC_PROGRESS_COMPRESSION, IDC_PROGRESS_RELATIVE_LABEL,
                       IDC_PROGRESS_RELATIVE, IDC_PROGRESS_ALGORITHMS_LABEL})
            QVERIFY2(dialog.control(id)->isHidden(), qPrintable(QString::number(id)));
        QVERIFY(dialog.control(IDC_PROGRESS_CURRENT_FILE)->isVisible());
        QVERIFY(dialog.control(IDC_PROGRESS_CURRENT_LABEL)->isVisible());

        // The bar frame: 400 pixels wide, centred in the window.
        ProgressBarFrame* bar = dialog.bar();
        QCOMPARE(bar->objectName(), QStringLiteral("1048"));
        QCOMPARE(bar->width(), PROGRESS_BAR_WIDTH);
        const int left = bar->mapTo(&dialog, QPoint(0, 0)).x();
        QVERIFY(qAbs(left - (dialog.width() - left - bar->width())) <= 1);

        // The summary appearing does not move or resize anything.
        const QSize before = dialog.size();
        dialog.set_control_visible(IDC_PROGRESS_END_TIME, true);
        dialog.set_control_visible(IDC_PROGRESS_TOTAL_BASE, true);
        QCOMPARE(dialog.size(), before);
    }

    void barFillsInItsColourByPercent() {
        ProgressDialog dialog;
        dialog.show();
        ProgressBarFrame* bar = dialog.bar();

        dialog.reset_bar(BAR_BLUE);
        QVERIFY(bar->bar_visible() && bar->isVisible());
        QCOMPARE(bar->percent(), 0);
        // A sliver of a two-hundred-fiftieth of 400 pixels.
        QCOMPARE(bar->filled_width(), 1);
        QCOMPARE(pixel(bar, 1).blue(), 255);
        QVERIFY(pixel(bar, 10) != qcolor(BAR_BLUE));

        dialog.set_bar(50, BAR_GREEN);
        QCOMPARE(bar->filled_width(), 200);
        QCOMPARE(pixel(bar, 150), qcolor(BAR_GREEN));
        QVERIFY(pixel(bar, 250) != qcolor(BAR_GREEN));

        // The same percent in another colour changes nothing.
        dialog.set_bar(50, BAR_YELLOW);
        QCOMPARE(bar->colour(), BAR_GREEN);
        QCOMPARE(pixel(bar, 150), qcolor(BAR_GREEN));

        dialog.set_bar(75, BAR_YELLOW);
        QCOMPARE(pixel(bar, 290), qcolor(BAR_YELLOW));
        dialog.set_bar(140, BAR_YELLOW);
        QCOMPARE(bar->percent(), 100);

        dialog.hide_bar();
        QVERIFY(!bar->bar_visible());
        QVERIFY(bar->isHidden());
        dialog.reset_bar(BAR_GREEN);
        QVERIFY(bar->isVisible());
        QCOMPARE(pixel(bar, 1), qcolor(BAR_GREEN));
        QCOMPARE(bar->percent(), 0);
    }

    void stopIsHeldUntilTheJobEndsThenOkCloses() {
        QPointer<ProgressDialog> dialog = new ProgressDialog;
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        dialog->show();
        QSignalSpy stops(dialog.data(), &ProgressDialog::stopRequested);
        QVERIFY(!dialog->drain_messages());

        // A stray Escape does not stop the job.
        QTest::keyClick(dialog.data(), Qt::Key_Escape);
        QVERIFY(dialog && dialog->isVisible());
        QVERIFY(!dialog->stop_requested());

        // Closing the window while the job runs is a stop, and the window stays.
        dialog->close();
        QVERIFY(dialog && dialog->isVisible());
        QVERIFY(dialog->stop_requested());
        QCOMPARE(stops.count(), 1);

        QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
        QVERIFY(dialog->drain_messages());  // never cleared
        QCOMPARE(stops.count(), 1);
        QVERIFY(dialog->isVisible());

        dialog->job_finished();
        QCOMPARE(dialog->stop_button()->text(), QStringLiteral("OK"));
        QVERIFY(dialog->finished());
        QVERIFY(dialog->stop_button()->hasFocus() || !QApplication::focusWidget());
        QVERIFY(dialog->stop_button()->isDefault());
        QTest::mouseClick(dialog->stop_button(), Qt::LeftButton);
        QTRY_VERIFY(!dialog);
    }

    void errorLinesShowOnceEachInOrder() {
        ProgressDialog dialog;
        dialog.set_control_text(IDC_PROGRESS_ERRORS, "At 10:00:00 ***ERROR*** 302 building file: a\r\n");
        dialog.set_control_text(IDC_PROGRESS_ERRORS,
                                "At 10:00:00 ***ERROR*** 302 building file: a\r\n"
                                "At 10:00:01 ***ERROR*** 4 building file: b\r\n");
        QCOMPARE(dialog.error_text(), QStringLiteral("At 10:00:00 ***ERROR*** 302 building file: a\n"
                                                     "At 10:00:01 ***ERROR*** 4 building file: b"));
        // A long path stays whole in the current-file control.
        const std::string path(300, 'x');
        dialog.set_control_text(IDC_PROGRESS_CURRENT_FILE, path);
        QCOMPARE(qobject_cast<QLabel*>(dialog.control(IDC_PROGRESS_CURRENT_FILE))->text().size(), 300);
    }

    // The callback drives the window on its own thread and keeps the event
    // loop running: colours by algorithm, the percent of the input read, Stop
    // seen by the next record, and the runner's end state.
    void jobOnTheWindowsThreadColoursTheBarAndSeesStop() {
        ReportTemplates templates;
        load_report_templates(templates);
        ProgressDialog dialog;
        dialog.show();

        struct Seen {
            int algorithm, percent;
            BarColour colour;
        };
        std::vector<Seen> seen;
        auto probe = [&](const ProgressRecord& record, std::int16_t) {
            if (record.code == PM_READ_INPUT)
                seen.push_back({record.algorithm, dialog.bar()->percent(), dialog.bar()->colour()});
        };
        JobSettings job;
        job.UseProgressWindow = 1;
        job.ProgressWindow = &dialog;
        set_field(job.BasePath, "/base");
        set_field(job.UpdatedPath, "/updated");
        set_field(job.Delta, "/delta");
        for (int& selected : job.Algorithms) selected = 0;
        job.Algorithms[1] = job.Algorithms[3] = job.Algorithms[7] = 1;
        JobRunner runner(templates, scripted_engine(4000, probe));
        QCOMPARE(runner.run(job), 0);

        // 1 and 3 alternate green and yellow; the highest selected is blue.
        QCOMPARE(seen.size(), std::size_t{12});
        QCOMPARE(seen[0].colour, BAR_GREEN);
        QCOMPARE(seen[4].colour, BAR_YELLOW);
        QCOMPARE(seen[8].colour, BAR_BLUE);
        QCOMPARE(seen[0].percent, 12);
        QCOMPARE(seen[3].percent, 87);

        QCOMPARE(qobject_cast<QLabel*>(dialog.control(IDC_PROGRESS_OPERATION))->text(), QStringLiteral("Create"));
        QCOMPARE(qobject_cast<QLabel*>(dialog.control(IDC_PROGRESS_TYPE))->text(), QStringLiteral("File"));
        QCOMPARE(qobject_cast<QLabel*>(dialog.control(IDC_PROGRESS_ALGORITHMS))->text(),
                 QStringLiteral(" 1 3 7"));
        QVERIFY(dialog.control(IDC_PROGRESS_ALGORITHMS_LABEL)->isVisible());
        QVERIFY(dialog.control(IDC_PROGRESS_TOTAL_DELTA)->isVisible());
        QVERIFY(dialog.control(IDC_PROGRESS_CURRENT_FILE)->isHidden());
        QCOMPARE(qobject_cast<QLabel*>(dialog.control(IDC_PROGRESS_TOTAL_DELTA))->text(), QStringLiteral("400"));
        QCOMPARE(qobject_cast<QLabel*>(dialog.control(IDC_PROGRESS_COMPRESSION))->text(),
                 QStringLiteral("90% (10%)"));
        QCOMPARE(dialog.stop_button()->text(), QStringLiteral("OK"));

        // Stop pressed while the engine works between two records is the next
        // record's answer.
        ProgressDialog second;
        second.show();
        job.ProgressWindow = &second;
        std::vector<std::int16_t> answers;
        bool clicked = false;
        auto stopper = [&](const ProgressRecord& record, std::int16_t answer) {
            answers.push_back(answer);
            if (record.code == PM_READ_INPUT && !clicked) {
                clicked = true;
                QTimer::singleShot(0, second.stop_button(), [&] {
                    QTest::mouseClick(second.stop_button(), Qt::LeftButton);
                });
                QTest::qWait(DRAIN_WAIT_MS);
            }
        };
        JobRunner stopped_runner(templates, scripted_engine(4000, stopper));
        QCOMPARE(stopped_runner.run(job), 0);
        QVERIFY(stopped_runner.stopped());
        QCOMPARE(answers.size(), std::size_t{3});  // start, first read, then the stop
        QCOMPARE(answers.back(), std::int16_t{ANSWER_STOP});
        QCOMPARE(second.stop_button()->text(), QStringLiteral("OK"));
        // The stop is said in words: no file was done, and "0 errors
        // detected" beside it does not pass for a clean run.
        auto* outcome = qobject_cast<QLabel*>(second.control(IDC_PROGRESS_OUTCOME));
        QVERIFY(outcome && outcome->isVisible());
        QCOMPARE(outcome->text(), QString::fromLatin1(STOPPED_TEXT) + QStringLiteral(" (0 of 1 file done)."));
        QCOMPARE(qobject_cast<QLabel*>(second.control(IDC_PROGRESS_ERROR_COUNT))->text(), QStringLiteral("0"));
        QVERIFY(second.bar()->isHidden());  // the stopped file's bar goes with its name
        // The first job ran to its end.
        QCOMPARE(qobject_cast<QLabel*>(dialog.control(IDC_PROGRESS_OUTCOME))->text(),
                 QStringLiteral("Completed: 1 of 1 file."));
    }

    // Each error line has its reason under it, in the command line's words;
    // a Base copied in a failed file's place says so; long lines wrap.
    void errorLinesCarryTheirReasonsAndWrap() {
        ReportTemplates templates;
        load_report_templates(templates);
        ProgressDialog dialog;
        dialog.show();
        auto* box = qobject_cast<QPlainTextEdit*>(dialog.control(IDC_PROGRESS_ERRORS));
        QCOMPARE(box->lineWrapMode(), QPlainTextEdit::WidgetWidth);

        const std::string long_name = "/srv/" + std::string(300, 'n') + "/restored.bin";
        EngineEntry engine = test::positional_engine([&](int, const std::string& first, const std::string& second, std::string& output,
                                 const std::string&, const std::string&, EngineFlags, AlgorithmMask,
                                 const ProgressCallback& callback) {
            ProgressRecord record;
            record.first_path = first.c_str();
            record.second_path = second.c_str();
            record.output_path = long_name.c_str();
            record.code = PM_FILE_START;
            callback(record);
            record.code = ERR_WRONG_BASE;
            callback(record);
            record.code = PM_BASE_COPIED;
            callback(record);
            record.code = static_cast<std::int16_t>(ERR_CREATE_OUTPUT - EISDIR);
            record.output_path = output.c_str();
            callback(record);
            return 0;
        });
        JobSettings job;
        job.Action = 1;
        job.UseProgressWindow = 1;
        job.ProgressWindow = &dialog;
        set_field(job.BasePath, "/b");
        set_field(job.UpdatedPath, "/u");
        set_field(job.Delta, "/d.dlt");
        JobRunner(templates, engine).run(job);
        const QStringList lines = dialog.error_text().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 5);
        QVERIFY(lines[0].endsWith(QStringLiteral(" ***ERROR*** 4 building file: ") + QString::fromStdString(long_name)));
        QCOMPARE(lines[1], QStringLiteral("    /d.dlt: the delta was made from a different base file"));
        QCOMPARE(lines[2], QStringLiteral("    A copy of the Base was written in place of the Updated file."));
        QVERIFY(lines[3].endsWith(QStringLiteral(" ***ERROR*** 321 building file: /u")));
        QCOMPARE(lines[4], QStringLiteral("    cannot create the output file: ") + QString::fromLocal8Bit(std::strerror(EISDIR)));
        // The long line wraps inside the box instead of running past its edge.
        QVERIFY(box->document()->documentLayout()->documentSize().width() <= box->viewport()->width() + 1);
        QVERIFY(box->document()->findBlockByNumber(0).layout()->lineCount() > 1);
    }

    // The whole job's figures: a bar in thousandths, files and bytes done of
    // all, the time run and left; a total not known shows what is done.
    void overallProgressShowsFilesBytesAndTimes() {
        ProgressDialog dialog;
        dialog.show();
        auto text = [&](int id) { return qobject_cast<QLabel*>(dialog.control(id))->text(); };
        QVERIFY(qobject_cast<QProgressBar*>(dialog.control(IDC_PROGRESS_OVERALL_BAR)));
        QCOMPARE(dialog.overall_bar()->maximum(), 1000);
        OverallProgress progress;
        progress.files_done = 763;
        progress.files_total = 3000;
        progress.bytes_done = 3 << 20;
        progress.bytes_total = 12 << 20;
        progress.elapsed_seconds = 4;
        progress.seconds_left = 12;
        dialog.show_overall(progress);
        QCOMPARE(dialog.overall_bar()->value(), 250);
        QCOMPARE(text(IDC_PROGRESS_OVERALL_FILES), QStringLiteral("763 of 3000 files"));
        QCOMPARE(text(IDC_PROGRESS_OVERALL_BYTES), QStringLiteral("3.0 MiB of 12.0 MiB"));
        QCOMPARE(text(IDC_PROGRESS_ELAPSED), QStringLiteral("0:04"));
        QCOMPARE(text(IDC_PROGRESS_TIME_LEFT), QStringLiteral("about 0:12"));
        progress.files_total = progress.bytes_total = progress.seconds_left = OverallProgress::UNKNOWN;
        dialog.show_overall(progress);
        QCOMPARE(text(IDC_PROGRESS_OVERALL_FILES), QStringLiteral("763 files"));
        QCOMPARE(text(IDC_PROGRESS_TIME_LEFT), QStringLiteral("not known"));
        QCOMPARE(dialog.overall_bar()->value(), 0);
    }

    // A real directory job on the window's thread: the totals were counted
    // before the engine ran, and the figures follow the files and bytes.
    void aDirectoryJobsOverallProgress() {
        QTemporaryDir scratch;
        QVERIFY(scratch.isValid());
        const QString root = scratch.path();
        QDir().mkpath(root + "/base/sub");
        QDir().mkpath(root + "/new/sub");
        const int sizes[] = {30000, 1200, 800, 5000};
        qint64 total = 0;
        for (int i = 0; i < 4; ++i) {
            const QString name = (i % 2 ? "/sub/f" : "/f") + QString::number(i);
            QByteArray bytes(sizes[i], char('a' + i));
            for (int j = 0; j < bytes.size(); j += 7) bytes[j] = char(j * 13 + i);
            QFile base(root + "/base" + name), updated(root + "/new" + name);
            QVERIFY(base.open(QIODevice::WriteOnly) && updated.open(QIODevice::WriteOnly));
            base.write(bytes);
            bytes[bytes.size() / 2] ^= 0x55;
            updated.write(bytes);
            total += bytes.size();
        }
        ReportTemplates templates;
        load_report_templates(templates);
        ProgressDialog dialog;
        dialog.show();
        std::vector<OverallProgress> seen;
        EngineEntry engine = test::positional_engine([&](int t, const std::string& a, const std::string& b, std::string& out,
                                 const std::string& p, const std::string& m, EngineFlags f, AlgorithmMask k,
                                 const ProgressCallback& callback) {
            return test::run_real_engine(t, a, b, out, p, m, f, k, [&](const ProgressRecord& record) {
                const std::int16_t answer = callback(record);
                if (record.code == PM_FILE_START || record.code == PM_FILE_DONE) seen.push_back(dialog.overall());
                return answer;
            });
        });
        JobSettings job;
        job.IsFile = JOB_DIRECTORY;
        job.UseProgressWindow = 1;
        job.ProgressWindow = &dialog;
        set_field(job.BasePath, (root + "/base").toStdString());
        set_field(job.UpdatedPath, (root + "/new").toStdString());
        set_field(job.Delta, (root + "/delta").toStdString());
        QCOMPARE(JobRunner(templates, engine).run(job), 0);
        QCOMPARE(seen.size(), std::size_t{8});
        for (std::size_t i = 0; i < seen.size(); ++i) {
            QCOMPARE(seen[i].files_total, std::int64_t{4});
            QCOMPARE(seen[i].bytes_total, total);
            QCOMPARE(seen[i].files_done, std::int64_t(i / 2 + i % 2));  // a file counts once it is done
        }
        QCOMPARE(dialog.overall().bytes_done, total);
        QCOMPARE(qobject_cast<QLabel*>(dialog.control(IDC_PROGRESS_OVERALL_FILES))->text(),
                 QStringLiteral("4 of 4 files"));
        QCOMPARE(dialog.overall_bar()->value(), 1000);
    }

private:
    static constexpr int DRAIN_WAIT_MS = 30;
};

QTEST_MAIN(ProgressWindowTest)
#include "progress_window_test.moc"
