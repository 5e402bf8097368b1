// The job launcher: the runner on a worker thread, its display calls carried
// to the progress window in their order.
#include "jobs/gui/job_launcher.h"

#include "jobs/gui/progress_dialog.h"

#include <QCoreApplication>
#include <QEvent>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace quoralith {

namespace {

// Shortest time between two batches of display calls applied to the window.
constexpr int APPLY_INTERVAL_MS = 25;

// One call of the display, made on the job's thread and applied on the
// window's.
struct ViewCall {
    enum Kind { RESET_BAR, SET_BAR, HIDE_BAR, FINISHED, TEXT, VISIBLE, OVERALL } kind;
    int id = 0;  // the control, or the percent of SET_BAR
    BarColour colour{};
    bool visible = false;
    std::string text;
    OverallProgress overall{};
};

// Everything one running job shares between the two threads.
class JobSession : public QObject {
public:
    QPointer<ProgressDialog> dialog;
    std::atomic<bool> stop{false};
    bool ended = false;  // window thread only
    int result = ERR_BAD_REQUEST;
    QEventLoop loop;
    std::vector<QEventLoop*> waiters;  // stop_running_job's loops

    // Job thread: queues a call and wakes the window's thread when the queue
    // was empty (one wake-up covers any number of calls).
    void post(ViewCall call) {
        bool wake = false;
        {
            std::lock_guard lock(mutex_);
            wake = pending_.empty();
            pending_.push_back(std::move(call));
        }
        if (wake) QMetaObject::invokeMethod(this, [this] { schedule(); }, Qt::QueuedConnection);
    }

    // Window thread: applies the queued calls now, or when the window last
    // took some a moment ago, a little later. A job of many small files makes
    // several calls per file; taking them in batches keeps the window to a
    // few dozen repaints a second, and the job's thread does not wait for them.
    void schedule() {
        const qint64 wait = since_apply_.isValid() ? APPLY_INTERVAL_MS - since_apply_.elapsed() : 0;
        if (wait <= 0)
            apply_pending();
        else if (!apply_timer_.isActive())
            apply_timer_.start(int(wait));
    }

    // Window thread: applies the queued calls. Nothing is painted between the
    // calls of one batch, so each control takes only the state the last of
    // them leaves: a job of a thousand small files makes several thousand
    // calls, and showing and hiding the bar for each would cost the window
    // more than the job costs the engine.
    void apply_pending() {
        apply_timer_.stop();
        since_apply_.restart();
        std::vector<ViewCall> calls;
        {
            std::lock_guard lock(mutex_);
            calls.swap(pending_);
        }
        ProgressDialog* window = dialog.data();
        if (!window || calls.empty()) return;

        ProgressBarFrame* bar = window->bar();
        int percent = bar->percent();
        BarColour colour = bar->colour();
        bool bar_shown = bar->bar_visible();
        bool bar_touched = false;
        std::vector<const ViewCall*> texts;        // the last text of each control, by first appearance
        std::vector<const ViewCall*> visibility;  // the same for shown and hidden
        bool finished = false;
        const ViewCall* overall = nullptr;  // only the latest figures matter
        auto keep_last = [](std::vector<const ViewCall*>& list, const ViewCall& call) {
            for (const ViewCall*& kept : list)
                if (kept->id == call.id) {
                    kept = &call;
                    return;
                }
            list.push_back(&call);
        };
        for (const ViewCall& call : calls) {
            switch (call.kind) {
                case ViewCall::RESET_BAR:
                    percent = 0;
                    colour = call.colour;
                    bar_shown = bar_touched = true;
                    break;
                case ViewCall::SET_BAR:
                    if (std::clamp(call.id, 0, 100) != percent) {
                        percent = std::clamp(call.id, 0, 100);
                        colour = call.colour;
                    }
                    bar_touched = true;
                    break;
                case ViewCall::HIDE_BAR:
                    bar_shown = false;
                    bar_touched = true;
                    break;
                case ViewCall::FINISHED: finished = true; break;
                case ViewCall::OVERALL: overall = &call; break;
                case ViewCall::TEXT: keep_last(texts, call); break;
                case ViewCall::VISIBLE:
                    if (call.id == IDC_PROGRESS_BAR) {
                        // Shown again, the bar starts over in its colour.
                        if (call.visible) percent = 0;
                        bar_shown = call.visible;
                        bar_touched = true;
                    } else {
                        keep_last(visibility, call);
                    }
                    break;
            }
        }
        for (const ViewCall* call : texts) window->set_control_text(call->id, call->text);
        for (const ViewCall* call : visibility) window->set_control_visible(call->id, call->visible);
        if (bar_touched) bar->show_state(percent, colour, bar_shown);
        if (overall) window->show_overall(overall->overall);
        if (finished) window->job_finished();
    }

    // Window thread: the job has ended.
    void end() {
        apply_pending();
        ended = true;
        loop.quit();
        for (QEventLoop* waiter : waiters) waiter->quit();
    }

    JobSession() {
        apply_timer_.setSingleShot(true);
        QObject::connect(&apply_timer_, &QTimer::timeout, this, [this] { apply_pending(); });
    }

private:
    std::mutex mutex_;
    std::vector<ViewCall> pending_;
    QTimer apply_timer_;
    QElapsedTimer since_apply_;
};

// The display as the job's thread sees it: every call is queued for the
// window, and Stop is a flag the window's thread sets.
class RelayView final : public ProgressView {
public:
    explicit RelayView(JobSession& session) : session_(session) {}

    void reset_bar(BarColour colour) override {
        percent_ = 0;
        session_.post({ViewCall::RESET_BAR, 0, colour, false, {}});
    }
    void set_bar(int percent, BarColour colour) override {
        // The window repaints only when the percent moves; most of the coder's
        // reads do not move it, and need not cross threads.
        if (percent == percent_) return;
        percent_ = percent;
        session_.post({ViewCall::SET_BAR, percent, colour, false, {}});
    }
    void hide_bar() override { session_.post({ViewCall::HIDE_BAR, 0, {}, false, {}}); }
    bool drain_messages() override { return session_.stop.load(std::memory_order_relaxed); }
    void job_finished() override { session_.post({ViewCall::FINISHED, 0, {}, false, {}}); }
    void set_control_text(int id, const std::string& text) override {
        session_.post({ViewCall::TEXT, id, {}, false, text});
    }
    void set_control_visible(int id, bool visible) override {
        session_.post({ViewCall::VISIBLE, id, {}, visible, {}});
    }
    bool shows_overall() const override { return true; }
    void show_overall(const OverallProgress& progress) override {
        session_.post({ViewCall::OVERALL, 0, {}, false, {}, progress});
    }

private:
    JobSession& session_;
    int percent_ = 0;
};

// Keeps a job's window open when its owner goes: a sheet closing (on OK
// after the job, or on Cancel during it) hands the window to its own parent
// window, so that the job stays in view and its summary readable until the
// user presses OK in it.
class KeepWindowAfterOwner : public QObject {
public:
    KeepWindowAfterOwner(ProgressDialog* dialog, QWidget* owner_window) : QObject(dialog), dialog_(dialog) {
        owner_window->installEventFilter(this);
    }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        // A window minimised by the user also hides, spontaneously; only a
        // window the program hides (a sheet closing) goes.
        if (event->type() == QEvent::Hide && !event->spontaneous() && watched->isWidgetType()) {
            auto* owner_window = static_cast<QWidget*>(watched);
            if (QWidget* heir = owner_window->parentWidget()) {
                owner_window->removeEventFilter(this);
                const QPoint place = dialog_->pos();
                const bool shown = dialog_->isVisible();
                dialog_->setParent(heir->window(), dialog_->windowFlags());
                dialog_->move(place);
                if (shown) dialog_->show();
            }
        }
        return false;
    }

private:
    ProgressDialog* dialog_;
};

// The running job; window thread only.
JobSession* running = nullptr;

}  // namespace

int run_job_with_progress(QWidget* owner, const JobSettings& job, const ReportTemplates& templates) {
    return run_job_with_progress(owner, job, templates, real_engine());
}

int run_job_with_progress(QWidget* owner, const JobSettings& job, const ReportTemplates& templates,
                          EngineEntry engine) {
    if (job_running()) {
        // The engine runs one job at a time; the user is shown the one running.
        if (ProgressDialog* window = running_progress_dialog()) {
            window->raise();
            window->activateWindow();
        }
        return ERR_JOB_RUNNING;
    }

    auto* dialog = new ProgressDialog(owner);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    JobSession session;
    session.dialog = dialog;
    QObject::connect(dialog, &ProgressDialog::stopRequested, &session,
                     [&session] { session.stop.store(true, std::memory_order_relaxed); });
    if (owner && owner->window()->parentWidget()) new KeepWindowAfterOwner(dialog, owner->window());
    running = &session;
    dialog->show();

    RelayView relay(session);
    JobSettings settings = job;
    settings.UseProgressWindow = 1;
    settings.ProgressWindow = &relay;
    std::thread worker([&session, &settings, &templates, engine = std::move(engine)]() mutable {
        // The engine keeps no half-written output when it is left early; the
        // window still turns Stop into OK below.
        int result = ERR_BAD_REQUEST;
        try {
            result = JobRunner(templates, std::move(engine)).run(settings);
        } catch (const std::bad_alloc&) {
            result = ERR_NO_MEMORY;
        } catch (...) {
        }
        // Posted after every display call of the job, so it is applied last.
        QMetaObject::invokeMethod(
            &session,
            [&session, result] {
                session.result = result;
                session.end();
            },
            Qt::QueuedConnection);
    });

    session.loop.exec();
    if (!session.ended) {
        // The event loop was told to quit (the program is ending) before the
        // job ended: stop the job and wait for it here.
        session.stop.store(true, std::memory_order_relaxed);
    }
    worker.join();
    if (!session.ended) {
        QCoreApplication::sendPostedEvents(&session);
        session.apply_pending();
        session.ended = true;
    }
    running = nullptr;

    if (ProgressDialog* window = session.dialog.data())
        if (!window->finished()) window->job_finished();
    return session.result;
}

bool job_running() { return running && !running->ended; }

void stop_running_job() {
    if (!job_running()) return;
    JobSession* session = running;
    if (ProgressDialog* window = session->dialog.data())
        window->request_stop();
    session->stop.store(true, std::memory_order_relaxed);
    QEventLoop wait;
    session->waiters.push_back(&wait);
    while (!session->ended) {
        wait.exec();
        if (!session->ended) {
            // The program is quitting, and event loops return at once: take
            // the job's calls directly until its end arrives.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            QCoreApplication::sendPostedEvents(session);
        }
    }
    std::erase(session->waiters, &wait);
}

ProgressDialog* running_progress_dialog() { return job_running() ? running->dialog.data() : nullptr; }

}  // namespace quoralith
