// The progress window.
#include "jobs/gui/progress_dialog.h"

#include "jobs/overall_progress.h"

#include <algorithm>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QGridLayout>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTextCursor>
#include <QVBoxLayout>

namespace quoralith {

namespace {

// The controls hidden until the job has ended; they keep their place so that
// the window does not change size when they appear.
constexpr int SUMMARY_CONTROLS[] = {
    IDC_PROGRESS_END_LABEL,         IDC_PROGRESS_END_TIME,          IDC_PROGRESS_ERROR_COUNT,
    IDC_PROGRESS_ERRORS_LABEL,      IDC_PROGRESS_TOTAL_BASE_LABEL,  IDC_PROGRESS_TOTAL_BASE,
    IDC_PROGRESS_TOTAL_UPDATED_LABEL, IDC_PROGRESS_TOTAL_UPDATED,   IDC_PROGRESS_TOTAL_DELTA_LABEL,
    IDC_PROGRESS_TOTAL_DELTA,       IDC_PROGRESS_TIME_LABEL,        IDC_PROGRESS_TIME,
    IDC_PROGRESS_COMPRESSION_LABEL, IDC_PROGRESS_COMPRESSION,       IDC_PROGRESS_RELATIVE_LABEL,
    IDC_PROGRESS_RELATIVE,
};

constexpr int BAR_HEIGHT = 18;
// An error line and its reason take two lines (more when they wrap).
constexpr int ERROR_BOX_LINES = 6;
// A job on the window's own thread lets the event loop run at most this often:
// often enough to repaint and see Stop, rarely enough not to slow the coder,
// which reports every read and write.
constexpr int DRAIN_INTERVAL_MS = 15;

QColor to_qcolor(BarColour colour) { return QColor(colour.red, colour.green, colour.blue); }

// A one-line text that shows the middle of a long path as "..." rather than
// cutting off its end, where the file's own name is. text() stays whole.
class ElidedLabel : public QLabel {
public:
    using QLabel::QLabel;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        const QRect area = contentsRect();
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
    }
};

void keep_place_when_hidden(QWidget* widget) {
    QSizePolicy policy = widget->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget->setSizePolicy(policy);
}

}  // namespace

// ---------------------------------------------------------------------------

ProgressBarFrame::ProgressBarFrame(QWidget* parent) : QFrame(parent) {
    setObjectName(QString::number(IDC_PROGRESS_BAR));
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(1);
    setFixedSize(PROGRESS_BAR_WIDTH, BAR_HEIGHT);
    keep_place_when_hidden(this);
}

int ProgressBarFrame::filled_width() const {
    if (percent_ <= 0) return std::max(1, width() / 250);
    return percent_ * (width() / 100);
}

void ProgressBarFrame::reset(BarColour colour) {
    percent_ = 0;
    colour_ = colour;
    visible_ = true;
    show();
    update();
}

void ProgressBarFrame::set(int percent, BarColour colour) {
    percent = std::clamp(percent, 0, 100);
    if (percent == percent_) return;
    colour_ = colour;
    percent_ = percent;
    update();
}

void ProgressBarFrame::show_state(int percent, BarColour colour, bool visible) {
    percent_ = std::clamp(percent, 0, 100);
    colour_ = colour;
    visible_ = visible;
    setVisible(visible);
    update();
}

void ProgressBarFrame::hide_bar() {
    visible_ = false;
    hide();
}

void ProgressBarFrame::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    if (!visible_) return;
    QPainter painter(this);
    const QRect inside = contentsRect();
    painter.fillRect(QRect(inside.left(), inside.top(), filled_width(), inside.height()).intersected(inside),
                     to_qcolor(colour_));
}

// ---------------------------------------------------------------------------

ProgressDialog::ProgressDialog(QWidget* owner) : QDialog(owner) {
    setObjectName(QString::number(IDD_PROGRESS));
    setWindowTitle(tr("Quoralith Progress"));
    setModal(false);

    auto make_label = [this](int id, const QString& text) {
        auto* label = new QLabel(text, this);
        label->setObjectName(QString::number(id));
        return label;
    };
    auto make_box = [this](int id) {
        auto* box = new QLineEdit(this);
        box->setObjectName(QString::number(id));
        box->setReadOnly(true);
        box->setMinimumWidth(PROGRESS_BAR_WIDTH);
        return box;
    };

    auto* top = new QGridLayout;
    int row = 0;
    top->addWidget(new QLabel(tr("Quoralith started at:"), this), row, 0);
    top->addWidget(make_label(IDC_PROGRESS_START_TIME, QString()), row++, 1, 1, 3);
    top->addWidget(new QLabel(tr("Operation:"), this), row, 0);
    auto* words = new QHBoxLayout;
    words->addWidget(make_label(IDC_PROGRESS_OPERATION, QString()));
    words->addWidget(make_label(IDC_PROGRESS_TYPE, QString()));
    words->addStretch(1);
    top->addLayout(words, row++, 1, 1, 3);
    QLabel* algorithms_label = make_label(IDC_PROGRESS_ALGORITHMS_LABEL, tr("Algorithms:"));
    keep_place_when_hidden(algorithms_label);
    algorithms_label->hide();  // a create job shows it
    top->addWidget(algorithms_label, row, 0);
    top->addWidget(make_label(IDC_PROGRESS_ALGORITHMS, QString()), row++, 1, 1, 3);
    const std::pair<const char*, int> boxes[] = {{"Base:", IDC_PROGRESS_BASE},
                                                 {"Updated:", IDC_PROGRESS_UPDATED},
                                                 {"Delta:", IDC_PROGRESS_DELTA},
                                                 {"Pattern:", IDC_PROGRESS_PATTERN}};
    for (const auto& [text, id] : boxes) {
        top->addWidget(new QLabel(tr(text), this), row, 0);
        top->addWidget(make_box(id), row++, 1, 1, 3);
    }
    top->setColumnStretch(1, 1);

    QLabel* current_label = make_label(IDC_PROGRESS_CURRENT_LABEL, tr("Currently Creating File"));
    auto* current = new ElidedLabel(this);
    current->setObjectName(QString::number(IDC_PROGRESS_CURRENT_FILE));
    current->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
    current->setMinimumHeight(current->fontMetrics().height());
    keep_place_when_hidden(current_label);
    keep_place_when_hidden(current);

    bar_ = new ProgressBarFrame(this);
    auto* bar_row = new QHBoxLayout;
    bar_row->addStretch(1);
    bar_row->addWidget(bar_);
    bar_row->addStretch(1);

    // The whole job: a bar of the bytes done and the figures beside it.
    overall_bar_ = new QProgressBar(this);
    overall_bar_->setObjectName(QString::number(IDC_PROGRESS_OVERALL_BAR));
    overall_bar_->setRange(0, 1000);
    overall_bar_->setValue(0);
    overall_bar_->setTextVisible(false);
    overall_bar_->setFixedSize(PROGRESS_BAR_WIDTH, BAR_HEIGHT);
    auto* overall_row = new QHBoxLayout;
    overall_row->addStretch(1);
    overall_row->addWidget(overall_bar_);
    overall_row->addStretch(1);
    auto* overall = new QGridLayout;
    overall->addWidget(new QLabel(tr("Files:"), this), 0, 0);
    overall->addWidget(make_label(IDC_PROGRESS_OVERALL_FILES, QString()), 0, 1);
    overall->addWidget(new QLabel(tr("Time elapsed:"), this), 0, 2);
    overall->addWidget(make_label(IDC_PROGRESS_ELAPSED, QString()), 0, 3);
    overall->addWidget(new QLabel(tr("Bytes:"), this), 1, 0);
    overall->addWidget(make_label(IDC_PROGRESS_OVERALL_BYTES, QString()), 1, 1);
    overall->addWidget(new QLabel(tr("Time left:"), this), 1, 2);
    overall->addWidget(make_label(IDC_PROGRESS_TIME_LEFT, QString()), 1, 3);
    overall->setColumnStretch(1, 1);
    overall->setColumnStretch(3, 1);

    errors_ = new QPlainTextEdit(this);
    errors_->setObjectName(QString::number(IDC_PROGRESS_ERRORS));
    errors_->setReadOnly(true);
    // Long paths and reasons wrap at the box's edge rather than hide past it.
    errors_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    errors_->setWordWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
    errors_->setFixedHeight(errors_->fontMetrics().lineSpacing() * ERROR_BOX_LINES + 10);

    auto* summary = new QGridLayout;
    summary->addWidget(make_label(IDC_PROGRESS_END_LABEL, tr("Quoralith ended at:")), 0, 0);
    summary->addWidget(make_label(IDC_PROGRESS_END_TIME, QString()), 0, 1);
    auto* error_count = new QHBoxLayout;
    error_count->addWidget(make_label(IDC_PROGRESS_ERROR_COUNT, QString()));
    error_count->addWidget(make_label(IDC_PROGRESS_ERRORS_LABEL, tr("errors detected")));
    error_count->addStretch(1);
    summary->addLayout(error_count, 0, 2, 1, 2);
    const int figures[][4] = {
        {IDC_PROGRESS_TOTAL_BASE_LABEL, IDC_PROGRESS_TOTAL_BASE, IDC_PROGRESS_TIME_LABEL, IDC_PROGRESS_TIME},
        {IDC_PROGRESS_TOTAL_UPDATED_LABEL, IDC_PROGRESS_TOTAL_UPDATED, IDC_PROGRESS_COMPRESSION_LABEL,
         IDC_PROGRESS_COMPRESSION},
        {IDC_PROGRESS_TOTAL_DELTA_LABEL, IDC_PROGRESS_TOTAL_DELTA, IDC_PROGRESS_RELATIVE_LABEL,
         IDC_PROGRESS_RELATIVE},
    };
    const char* figure_labels[][2] = {{"Total Base", "Execution Time:"},
                                      {"Total Updated", "Compression:"},
                                      {"Total Delta", "Relative Compression"}};
    for (int i = 0; i < 3; ++i) {
        summary->addWidget(make_label(figures[i][0], tr(figure_labels[i][0])), i + 1, 0);
        summary->addWidget(make_label(figures[i][1], QString()), i + 1, 1);
        summary->addWidget(make_label(figures[i][2], tr(figure_labels[i][1])), i + 1, 2);
        summary->addWidget(make_label(figures[i][3], QString()), i + 1, 3);
    }
    summary->setColumnStretch(1, 1);
    summary->setColumnStretch(3, 1);
    for (int id : SUMMARY_CONTROLS) {
        QWidget* widget = control(id);
        keep_place_when_hidden(widget);
        widget->hide();
    }
    // Whether the job ran to its end or was stopped, in words, once it ended.
    QLabel* outcome = make_label(IDC_PROGRESS_OUTCOME, QString());
    QFont bold = outcome->font();
    bold.setBold(true);
    outcome->setFont(bold);
    outcome->setWordWrap(true);
    outcome->setMinimumHeight(outcome->fontMetrics().lineSpacing());
    keep_place_when_hidden(outcome);
    outcome->hide();

    stop_ = new QPushButton(tr("Stop Process"), this);
    stop_->setObjectName(QString::number(IDC_PROGRESS_STOP));
    stop_->setAutoDefault(false);
    connect(stop_, &QPushButton::clicked, this, &ProgressDialog::request_stop);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(stop_);
    buttons->addStretch(1);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(6);
    layout->addWidget(current_label);
    layout->addWidget(current);
    layout->addLayout(bar_row);
    layout->addSpacing(6);
    layout->addWidget(new QLabel(tr("Overall progress"), this));
    layout->addLayout(overall_row);
    layout->addLayout(overall);
    layout->addSpacing(6);
    layout->addWidget(new QLabel(tr("Errors:"), this));
    layout->addWidget(errors_);
    layout->addLayout(summary);
    layout->addWidget(outcome);
    layout->addLayout(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

ProgressDialog::~ProgressDialog() = default;

QWidget* ProgressDialog::control(int id) const {
    return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

QString ProgressDialog::error_text() const { return errors_->toPlainText(); }

void ProgressDialog::reset_bar(BarColour colour) { bar_->reset(colour); }

void ProgressDialog::set_bar(int percent, BarColour colour) { bar_->set(percent, colour); }

void ProgressDialog::hide_bar() { bar_->hide_bar(); }

bool ProgressDialog::drain_messages() {
    if (!since_drain_.isValid() || since_drain_.elapsed() >= DRAIN_INTERVAL_MS) {
        QCoreApplication::processEvents();
        since_drain_.restart();
    }
    return stop_requested_;
}

void ProgressDialog::job_finished() {
    stop_->setText(tr("OK"));
    stop_->setDefault(true);
    stop_->setFocus();
    finished_ = true;
}

void ProgressDialog::set_control_text(int id, const std::string& text) {
    QWidget* widget = control(id);
    const QString value = QString::fromStdString(text);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(value);
    } else if (auto* box = qobject_cast<QLineEdit*>(widget)) {
        box->setText(value);
        box->setCursorPosition(0);
    } else if (widget == errors_) {
        // The job sends every error line so far, each ending in CR LF; only
        // the new lines are added, so that a thousand errors stay cheap.
        QString lines = value;
        lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
        if (lines.endsWith(QLatin1Char('\n'))) lines.chop(1);
        const QString shown = errors_->toPlainText();
        if (!shown.isEmpty() && lines.startsWith(shown + QLatin1Char('\n')))
            errors_->appendPlainText(lines.mid(shown.size() + 1));
        else if (lines != shown)
            errors_->setPlainText(lines);
        // The newest line, and the reason under it, stay in view.
        errors_->moveCursor(QTextCursor::End);
        errors_->ensureCursorVisible();
    } else if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(value);
    }
}

void ProgressDialog::set_control_visible(int id, bool visible) {
    if (id == IDC_PROGRESS_BAR) {
        if (visible)
            bar_->reset(bar_->colour());
        else
            bar_->hide_bar();
        return;
    }
    if (QWidget* widget = control(id)) widget->setVisible(visible);
}

void ProgressDialog::show_overall(const OverallProgress& progress) {
    overall_ = progress;
    const int permille = overall_permille(progress);
    overall_bar_->setValue(std::max(permille, 0));
    auto text = [this](int id, const std::string& value) {
        if (auto* label = qobject_cast<QLabel*>(control(id))) label->setText(QString::fromStdString(value));
    };
    text(IDC_PROGRESS_OVERALL_FILES, overall_files_text(progress));
    text(IDC_PROGRESS_OVERALL_BYTES, overall_bytes_text(progress));
    text(IDC_PROGRESS_ELAPSED, duration_text(progress.elapsed_seconds));
    text(IDC_PROGRESS_TIME_LEFT, time_left_text(progress));
}

void ProgressDialog::request_stop() {
    if (finished_) {
        close();
        return;
    }
    if (!stop_requested_) {
        stop_requested_ = true;
        emit stopRequested();
    }
}

void ProgressDialog::closeEvent(QCloseEvent* event) {
    // The job is writing files: the window goes only once the job has ended.
    if (!finished_) {
        request_stop();
        event->ignore();
        return;
    }
    event->accept();
}

void ProgressDialog::reject() {
    // Escape closes the window once the job has ended; a stray key press
    // must not stop a long job.
    if (finished_) close();
}

void ProgressDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!centred_) {
        centred_ = true;
        centre_on_owner();
    }
}

void ProgressDialog::centre_on_owner() {
    adjustSize();
    QRect area;
    if (QWidget* owner = parentWidget())
        area = owner->window()->frameGeometry();
    else if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen())
        area = screen->availableGeometry();
    if (area.isEmpty()) return;
    const QRect frame = frameGeometry();
    move(area.center().x() - frame.width() / 2, area.center().y() - frame.height() / 2);
}

}  // namespace quoralith
