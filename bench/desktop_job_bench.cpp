// A directory job from the desktop against the same job from the command
// line: a generated tree pair of N files is delta'd and restored through
// run_job_with_progress (progress window, job on its worker thread) and by the
// quoralith program, alternately, and the median wall and processor times
// are printed, with the job alone (the runner without a window) for scale.
// It also prints the longest stall of the window's event loop during a
// desktop job and how long Stop takes to end a job in the middle of a large
// file.
//
//   desktop_job_bench path/to/quoralith [files=1000] [bytes per file=16384] [rounds=5]
//
// Runs headless (QT_QPA_PLATFORM=offscreen unless a platform is set). The
// scratch trees go to $TMPDIR; a tmpfs there (TMPDIR=/dev/shm) keeps the
// file system's own costs out of the figures.
#include "jobs/gui/job_launcher.h"
#include "jobs/gui/progress_dialog.h"
#include "jobs/run_job.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

using namespace quoralith;

namespace {

QByteArray random_bytes(qsizetype size, quint32 seed) {
    QRandomGenerator random(seed);
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i + 4 <= size; i += 4) {
        const quint32 word = random.generate();
        std::memcpy(bytes.data() + i, &word, 4);
    }
    return bytes;
}

// The Base with a few stretches changed and some bytes added.
QByteArray edited(QByteArray bytes, quint32 seed) {
    QRandomGenerator random(seed);
    for (int i = 0; i < 3; ++i) {
        const qsizetype at = random.bounded(int(bytes.size()));
        for (qsizetype j = at; j < std::min<qsizetype>(bytes.size(), at + 64); ++j) bytes[j] = char(random.generate());
    }
    bytes.append(random_bytes(256, seed + 1));
    return bytes;
}

bool write(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

double seconds_of(const timeval& time) { return double(time.tv_sec) + double(time.tv_usec) / 1e6; }

// Processor time (user and system) of this process or of its waited-for children.
double processor_seconds(int who) {
    rusage usage{};
    getrusage(who, &usage);
    return seconds_of(usage.ru_utime) + seconds_of(usage.ru_stime);
}

struct Timing {
    double wall = 0, processor = 0;
};

struct Series {
    std::vector<double> wall, processor;
    void add(Timing timing) {
        wall.push_back(timing.wall);
        processor.push_back(timing.processor);
    }
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

JobSettings make_job(int action, const QString& base, const QString& updated, const QString& delta) {
    JobSettings job;
    job.Action = action;
    job.IsFile = JOB_DIRECTORY;
    set_field(job.BasePath, base.toStdString());
    set_field(job.UpdatedPath, updated.toStdString());
    set_field(job.Delta, delta.toStdString());
    return job;
}

void close_windows(QWidget& owner) {
    for (ProgressDialog* dialog : owner.findChildren<ProgressDialog*>()) dialog->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: desktop_job_bench path/to/quoralith [files] [bytes] [rounds]\n");
        return 2;
    }
    const QString cli = QString::fromLocal8Bit(argv[1]);
    const int files = argc > 2 ? std::atoi(argv[2]) : 1000;
    const int size = argc > 3 ? std::atoi(argv[3]) : 16384;
    const int rounds = argc > 4 ? std::atoi(argv[4]) : 5;

    QTemporaryDir scratch;
    const QString base = scratch.filePath("base"), updated = scratch.filePath("updated");
    for (int i = 0; i < files; ++i) {
        const QString name = QStringLiteral("/dir%1/file%2.bin").arg(i % 20).arg(i);
        const QByteArray bytes = random_bytes(size, quint32(i + 1));
        if (!write(base + name, bytes) || !write(updated + name, edited(bytes, quint32(i + 100000)))) {
            std::fprintf(stderr, "cannot write the tree pair in %s\n", qPrintable(scratch.path()));
            return 1;
        }
    }
    std::printf("%d files of %d bytes, %d rounds; medians of wall and processor seconds\n", files, size, rounds);

    ReportTemplates templates;
    load_report_templates(templates);
    QWidget owner;
    owner.show();
    Series desktop_create, desktop_restore, cli_create, cli_restore, bare_create, bare_restore;
    qint64 longest_stall = 0;

    // Every run writes a directory of its own and nothing is deleted until
    // the end: removing a tree just before writing one makes the file system
    // hunt for inodes that were not freed a moment ago, which would measure
    // the file system rather than the job.
    int run_number = 0;
    auto fresh = [&](const char* what) {
        return scratch.filePath(QStringLiteral("%1-%2").arg(QLatin1String(what)).arg(++run_number));
    };
    auto desktop = [&](int action, const QString& delta, const QString& output) {
        const JobSettings job = action == 0 ? make_job(0, base, updated, output) : make_job(1, base, output, delta);
        // The window's event loop ticks every 10 ms; a late tick is a stall.
        // The first tick's wait holds the window's creation and first paint.
        QElapsedTimer tick;
        tick.start();
        QTimer ticker;
        bool first = true;
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            const qint64 gap = tick.restart();
            if (!first) longest_stall = std::max(longest_stall, gap);
            first = false;
        });
        ticker.start(10);
        const double processor = processor_seconds(RUSAGE_SELF);
        QElapsedTimer clock;
        clock.start();
        const int result = run_job_with_progress(&owner, job, templates);
        const Timing timing{clock.nsecsElapsed() / 1e9, processor_seconds(RUSAGE_SELF) - processor};
        ticker.stop();
        close_windows(owner);
        if (result != 0) std::fprintf(stderr, "desktop job answered %d\n", result);
        return timing;
    };
    auto command_line = [&](int action, const QString& delta, const QString& output) {
        const QStringList arguments = action == 0 ? QStringList{"--quiet", "create", base, updated, output}
                                                  : QStringList{"--quiet", "restore", base, delta, output};
        const double processor = processor_seconds(RUSAGE_CHILDREN);
        QElapsedTimer clock;
        clock.start();
        const int status = QProcess::execute(cli, arguments);
        const Timing timing{clock.nsecsElapsed() / 1e9, processor_seconds(RUSAGE_CHILDREN) - processor};
        if (status != 0) std::fprintf(stderr, "command line exited %d\n", status);
        return timing;
    };
    auto bare = [&](int action, const QString& delta, const QString& output) {
        JobSettings job = action == 0 ? make_job(0, base, updated, output) : make_job(1, base, output, delta);
        job.UseProgressWindow = 0;
        const double processor = processor_seconds(RUSAGE_SELF);
        QElapsedTimer clock;
        clock.start();
        JobRunner(templates, real_engine()).run(job);
        return Timing{clock.nsecsElapsed() / 1e9, processor_seconds(RUSAGE_SELF) - processor};
    };

    for (int round = 0; round < rounds; ++round) {
        // Alternate which goes first, so that neither always meets a warm cache.
        const bool desktop_first = round % 2 == 0;
        const QString desktop_delta = fresh("delta"), cli_delta = fresh("delta"), bare_delta = fresh("delta");
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == desktop_first)
                desktop_create.add(desktop(0, {}, desktop_delta));
            else
                cli_create.add(command_line(0, {}, cli_delta));
        }
        bare_create.add(bare(0, {}, bare_delta));
        for (int turn = 0; turn < 2; ++turn) {
            if ((turn == 0) == desktop_first)
                desktop_restore.add(desktop(1, desktop_delta, fresh("restored")));
            else
                cli_restore.add(command_line(1, cli_delta, fresh("restored")));
        }
        bare_restore.add(bare(1, bare_delta, fresh("restored")));
    }
    std::printf("%-8s %18s %18s %18s\n", "", "desktop", "command line", "job alone");
    std::printf("%-8s %8s %9s %8s %9s %8s %9s\n", "", "wall", "processor", "wall", "processor", "wall",
                "processor");
    auto row = [](const char* name, const Series& a, const Series& b, const Series& c) {
        std::printf("%-8s %8.3f %9.3f %8.3f %9.3f %8.3f %9.3f\n", name, median(a.wall), median(a.processor),
                    median(b.wall), median(b.processor), median(c.wall), median(c.processor));
    };
    row("create", desktop_create, cli_create, bare_create);
    row("restore", desktop_restore, cli_restore, bare_restore);
    std::printf("longest stall of the window's event loop during desktop jobs: %lld ms\n",
                static_cast<long long>(longest_stall));

    // Stop in the middle of one large file: from the press to the job's end.
    const QByteArray big = random_bytes(qsizetype{256} << 20, 7);
    write(scratch.filePath("big-base.bin"), big);
    write(scratch.filePath("big-updated.bin"), edited(big, 8));
    auto stop_in_big_file = [&](int algorithm, int after_ms) {
        JobSettings job;
        set_field(job.BasePath, scratch.filePath("big-base.bin").toStdString());
        set_field(job.UpdatedPath, scratch.filePath("big-updated.bin").toStdString());
        set_field(job.Delta, scratch.filePath(QStringLiteral("big%1.dlt").arg(algorithm)).toStdString());
        for (int& selected : job.Algorithms) selected = 0;
        job.Algorithms[algorithm] = 1;
        QElapsedTimer since_stop;
        QTimer::singleShot(after_ms, [&] {
            if (ProgressDialog* dialog = running_progress_dialog()) {
                since_stop.start();
                dialog->stop_button()->click();
            }
        });
        run_job_with_progress(&owner, job, templates);
        if (since_stop.isValid())
            std::printf("Stop %d ms into a 256 MiB file, algorithm %d: the job ended %.1f ms after the press\n",
                        after_ms, algorithm, since_stop.nsecsElapsed() / 1e6);
        else
            std::printf("the 256 MiB job (algorithm %d) ended before Stop was pressed\n", algorithm);
        close_windows(owner);
    };
    stop_in_big_file(7, 300);
    stop_in_big_file(0, 300);
    stop_in_big_file(0, 3000);
    return 0;
}
