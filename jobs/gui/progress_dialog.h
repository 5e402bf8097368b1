// The progress window of a running job (dialog 127): the job's names and
// words, the file being worked on, a coloured bar, the whole job's progress
// (files and bytes done of all, time run and left), the error lines and,
// once the job has ended, its summary and whether it ran to its end or was
// stopped. It is the desktop's ProgressView.
//
// Thread safety: user-interface thread only. A job that runs on a worker
// thread reaches the window through the launcher (job_launcher.h), which
// carries the calls over in their order.
#pragma once

#include "jobs/progress_view.h"

#include <QColor>
#include <QDialog>
#include <QElapsedTimer>
#include <QFrame>

class QLabel;
class QPlainTextEdit;
class QProgressBar;
class QPushButton;

namespace quoralith {

// Width of the bar frame, centred in the window.
inline constexpr int PROGRESS_BAR_WIDTH = 400;
// The window's id, also its objectName.
inline constexpr int IDD_PROGRESS = 127;

// The bar frame (control 1048): a sunken box filled from the left.
class ProgressBarFrame : public QFrame {
    Q_OBJECT
public:
    explicit ProgressBarFrame(QWidget* parent = nullptr);

    // Percent 0, shown, with a sliver of a two-hundred-fiftieth of the width.
    void reset(BarColour colour);
    // Refills to `percent` in `colour` when the percent changed.
    void set(int percent, BarColour colour);
    // Hides the frame.
    void hide_bar();
    // Takes a state outright (what a series of the calls above leaves).
    void show_state(int percent, BarColour colour, bool visible);

    int percent() const { return percent_; }
    BarColour colour() const { return colour_; }
    bool bar_visible() const { return visible_; }
    // The width in pixels that the current state fills (the sliver at 0 percent).
    int filled_width() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    int percent_ = 0;
    BarColour colour_ = BAR_BLUE;
    bool visible_ = false;
};

class ProgressDialog : public QDialog, public ProgressView {
    Q_OBJECT
public:
    // A modeless window owned by `owner`, centred on it (on the screen when
    // there is no owner). Until the job has ended, closing it asks for a stop
    // and keeps it open, and Escape does nothing; afterwards OK, closing or
    // Escape closes it.
    explicit ProgressDialog(QWidget* owner = nullptr);
    ~ProgressDialog() override;

    // ProgressView. drain_messages lets the event loop run once, so that a
    // job on this thread keeps the window painted and sees Stop.
    void reset_bar(BarColour colour) override;
    void set_bar(int percent, BarColour colour) override;
    void hide_bar() override;
    bool drain_messages() override;
    void job_finished() override;
    void set_control_text(int id, const std::string& text) override;
    void set_control_visible(int id, bool visible) override;
    bool shows_overall() const override { return true; }
    // The whole job's bar (in thousandths) and its files, bytes, time run
    // and time left.
    void show_overall(const OverallProgress& progress) override;

    // What Stop Process does: asks for a stop while the job runs, closes the
    // window once it has ended.
    void request_stop();
    bool stop_requested() const { return stop_requested_; }
    bool finished() const { return finished_; }
    // The error lines shown in box 1035.
    QString error_text() const;
    // The control of `id` (its objectName is the id), or null.
    QWidget* control(int id) const;
    ProgressBarFrame* bar() const { return bar_; }
    QProgressBar* overall_bar() const { return overall_bar_; }
    // The figures last shown by show_overall.
    const OverallProgress& overall() const { return overall_; }
    QPushButton* stop_button() const { return stop_; }

signals:
    // Stop Process was pressed (or the window closed) while the job ran.
    void stopRequested();

protected:
    void closeEvent(QCloseEvent* event) override;
    void reject() override;
    void showEvent(QShowEvent* event) override;

private:
    void centre_on_owner();

    ProgressBarFrame* bar_ = nullptr;
    QPushButton* stop_ = nullptr;
    QPlainTextEdit* errors_ = nullptr;
    QProgressBar* overall_bar_ = nullptr;
    OverallProgress overall_;
    bool stop_requested_ = false;
    bool finished_ = false;
    bool centred_ = false;
    QElapsedTimer since_drain_;
};

}  // namespace quoralith
