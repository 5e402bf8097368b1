// The Create and Restore sheets: frame, validation, job start, help, and the
// record/play history.
#include "sheets/gui/operation_sheet.h"

#include "sheets/gui/advanced_pages.h"
#include "sheets/gui/algorithms_page.h"
#include "sheets/gui/general_page.h"
#include "sheets/gui/match_names_page.h"
#include "sheets/job_validation.h"
#include "sheets/remembered_jobs.h"
#include "shell/common/help_viewer.h"
#include "shell/common/picture_button.h"
#include "shell/common/ui_seams.h"

#include <QApplication>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QTabWidget>

#include <algorithm>

namespace quoralith {

int history_tab_stop_pixels(const QFontMetrics& metrics) {
    const int letters = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    const int average = (letters / 26 + 1) / 2;
    return std::max(1, 120 * average / 4);
}

std::vector<std::pair<int, QString>> history_line_fields(const QString& line, const QFontMetrics& metrics,
                                                         int stop) {
    std::vector<std::pair<int, QString>> fields;
    const QStringList parts = line.split(QLatin1Char('\t'));
    // Long paths lose their middle, never their ends: two jobs whose names
    // differ only near the end must not read the same.
    const int room = std::max(1, stop - metrics.horizontalAdvance(QStringLiteral("  ")));
    int x = 0;
    for (qsizetype i = 0; i < parts.size(); ++i) {
        if (!fields.empty()) x = (x / stop + 1) * stop;
        const bool last = i + 1 == parts.size();
        QString shown = last ? parts[i] : metrics.elidedText(parts[i], Qt::ElideMiddle, room);
        fields.emplace_back(x, shown);
        x += metrics.horizontalAdvance(shown);
    }
    return fields;
}

QString history_entry_tooltip(const QString& line) {
    QStringList parts = line.split(QLatin1Char('\t'));
    return parts.join(QLatin1Char('\n'));
}

namespace {

// The frame around the pages: margins, the button row, and what the sheet
// adds on the right (Record and Play) and at the foot (the footer line).
constexpr int MARGIN = 7;
constexpr int BUTTON_WIDTH = 80;
constexpr int BUTTON_HEIGHT = 25;
constexpr int BUTTON_GAP = 6;
// The band on the right holds Record and Play, and the history list in their
// place while it is shown: wide enough for the list from the start, so that
// opening it never moves or resizes the sheet.
constexpr int EXTRA_WIDTH = 280;
constexpr int EXTRA_HEIGHT = 50;
// The line that says what Record did, between the buttons and the footer.
constexpr int STATUS_HEIGHT = 18;
constexpr int MIN_PAGE_WIDTH = 540;
constexpr int MIN_PAGE_HEIGHT = 340;
// The history list scrolls sideways over this many pixels, and its lines'
// fields (base, update, delta, date, split by tabs) start in columns this many
// dialog units apart, so that the fields of successive lines stand under
// each other.
constexpr int HISTORY_LIST_EXTENT = 900;

// Draws a history line with its tabs expanded to the list's tab stops, which
// Qt's own item painting does not do.
class TabStopDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem frame = option;
        initStyleOption(&frame, index);
        const QString text = frame.text;
        frame.text.clear();
        const QWidget* widget = option.widget;
        QStyle* style = widget ? widget->style() : QApplication::style();
        style->drawControl(QStyle::CE_ItemViewItem, &frame, painter, widget);

        painter->save();
        painter->setFont(frame.font);
        painter->setPen(frame.palette.color(QPalette::Normal, (frame.state & QStyle::State_Selected)
                                                                  ? QPalette::HighlightedText
                                                                  : QPalette::Text));
        const QFontMetrics metrics(frame.font);
        const int stop = history_tab_stop_pixels(metrics);
        const QRect area = frame.rect.adjusted(2, 0, 0, 0);
        for (const auto& [x, field] : history_line_fields(text, metrics, stop))
            painter->drawText(area.adjusted(x, 0, 0, 0), Qt::AlignLeft | Qt::AlignVCenter, field);
        painter->restore();
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        const QFontMetrics metrics(option.font);
        const auto fields = history_line_fields(index.data().toString(), metrics, history_tab_stop_pixels(metrics));
        const int width = fields.empty() ? 0 : fields.back().first + metrics.horizontalAdvance(fields.back().second);
        size.setWidth(std::max(HISTORY_LIST_EXTENT, width + 4));
        return size;
    }
};

QString id_name(int id) { return QString::number(id); }

}  // namespace

// --- CSheetPage ---------------------------------------------------------------

CSheetPage::CSheetPage(COperationSheet& sheet, SheetPage kind, QWidget* parent)
    : QWidget(parent), sheet_(sheet), kind_(kind) {}

void CSheetPage::activate() {
    if (!initialised_) {
        initialised_ = true;
        initialise();
        return;
    }
    show_current();
}

void CSheetPage::initialise() { show_current(); }

void CSheetPage::on_command(int command) {
    if (command == CMD_SETTINGS_LOADED || command == CMD_SETTINGS_RESTORED) show_current();
}

void CSheetPage::create_picture_button(QWidget* placeholder) {
    if (picture_button_) return;
    // A child of the placeholder, so that it stays on its top-left corner
    // wherever the page's layout puts it.
    picture_button_ = new PictureButton(QStringLiteral("ROCKET64U"), QStringLiteral("ROCKET64D"), {}, placeholder);
    picture_button_->setObjectName(QStringLiteral("1001"));
    picture_button_->setText(QStringLiteral(" "));
    picture_button_->setFocusPolicy(Qt::NoFocus);
    picture_button_->setGeometry(0, 0, 70, 70);
    picture_button_->show();
}

JobSettings& CSheetPage::job() const { return sheet_.current(); }

void CSheetPage::bind_flag(QAbstractButton* box, int JobSettings::*field, bool refresh) {
    connect(box, &QAbstractButton::clicked, this, [this, field, refresh](bool checked) {
        job().*field = checked ? 1 : 0;
        if (refresh) show_current();
    });
}

void CSheetPage::bind_choice(QButtonGroup* group, int JobSettings::*field) {
    for (QAbstractButton* button : group->buttons()) {
        connect(button, &QAbstractButton::clicked, this, [this, group, button, field] {
            if (button->isChecked()) job().*field = group->id(button);
            show_current();
        });
    }
}
bool CSheetPage::create_sheet() const { return sheet_.is_create(); }

// --- COperationSheet ------------------------------------------------------

COperationSheet::COperationSheet(const QString& title, SheetContext context, QWidget* owner)
    : QDialog(owner), context_(std::move(context)) {
    setWindowTitle(title);
    setObjectName(QStringLiteral("OperationSheet"));
    setModal(true);
    tabs_ = new QTabWidget(this);
    tabs_->setObjectName(QStringLiteral("tabs"));
    ok_ = new QPushButton(tr("OK"), this);
    ok_->setObjectName(id_name(ID_SHEET_OK));
    ok_->setDefault(true);
    cancel_ = new QPushButton(tr("Cancel"), this);
    cancel_->setObjectName(id_name(ID_SHEET_CANCEL));
    apply_ = new QPushButton(tr("&Apply"), this);
    apply_->setObjectName(id_name(ID_SHEET_APPLY));
    apply_->setEnabled(false);
    help_ = new QPushButton(tr("Help"), this);
    help_->setObjectName(id_name(ID_SHEET_HELP));
    connect(ok_, &QPushButton::clicked, this, [this] { on_command(ID_SHEET_OK); });
    connect(cancel_, &QPushButton::clicked, this, [this] { on_command(ID_SHEET_CANCEL); });
    connect(apply_, &QPushButton::clicked, this, [this] { on_command(ID_SHEET_APPLY); });
    connect(help_, &QPushButton::clicked, this, [this] { on_command(ID_SHEET_HELP); });
    connect(tabs_, &QTabWidget::currentChanged, this, [this](int index) {
        if (!initialised_) return;
        if (CSheetPage* shown = page(index)) shown->activate();
    });

    record_label_ = new QLabel(tr("Record"), this);
    record_label_->setObjectName(QStringLiteral("RecordLabel"));
    record_label_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    record_button_ = new PictureButton(QStringLiteral("VIDEOU"), {}, QStringLiteral("VIDEOX"), this);
    record_button_->setObjectName(id_name(ID_RECORD));
    record_button_->setText(QStringLiteral(" "));
    record_button_->setToolTip(tr("Record this job in the history"));
    play_label_ = new QLabel(tr("Play"), this);
    play_label_->setObjectName(QStringLiteral("PlayLabel"));
    play_label_->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    play_button_ = new PictureButton(QStringLiteral("PLAYERU"), {}, {}, this);
    play_button_->setObjectName(id_name(ID_PLAY));
    play_button_->setText(QStringLiteral(" "));
    play_button_->setToolTip(tr("Choose a recorded job"));
    connect(record_button_, &QAbstractButton::clicked, this, [this] { on_command(ID_RECORD); });
    connect(play_button_, &QAbstractButton::clicked, this, [this] { on_command(ID_PLAY); });

    record_status_ = new QLabel(this);
    record_status_->setObjectName(QStringLiteral("RecordStatus"));
    record_status_->setTextFormat(Qt::PlainText);

    // F1 asks for the same topic as the Help button.
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    f1->setContext(Qt::WindowShortcut);
    connect(f1, &QShortcut::activated, this, [this] { on_command(ID_SHEET_HELP); });
}

COperationSheet::~COperationSheet() {
    if (list_) qApp->removeEventFilter(this);
    if (initialised_ && size() != opened_size_) remember_sheet_size(is_create(), width(), height());
    // Every sheet starts from the defaults; nothing of this one outlives it
    // except through the history.
    if (context_.current && context_.defaults) copy_settings(*context_.current, *context_.defaults);
}

void COperationSheet::add_page(CSheetPage* page, const QString& tab_text) {
    pages_.push_back(page);
    tabs_->addTab(page, tab_text);
}

CSheetPage* COperationSheet::page(int index) const {
    return index >= 0 && index < int(pages_.size()) ? pages_[std::size_t(index)] : nullptr;
}

CSheetPage* COperationSheet::active_page() const { return page(tabs_->currentIndex()); }

CGeneralPage* COperationSheet::general_page() const {
    return pages_.empty() ? nullptr : qobject_cast<CGeneralPage*>(pages_.front());
}

CMatchNamsPage* COperationSheet::match_page() const {
    for (CSheetPage* candidate : pages_)
        if (auto* match = qobject_cast<CMatchNamsPage*>(candidate)) return match;
    return nullptr;
}

bool COperationSheet::is_create() const { return windowTitle() == QLatin1String(CREATE_SHEET_TITLE); }

void COperationSheet::showEvent(QShowEvent* event) {
    if (!initialised_) initialise();
    QDialog::showEvent(event);
}

void COperationSheet::initialise() {
    initialised_ = true;
    // The first page comes up with the sheet; it resets the current job.
    tabs_->setCurrentIndex(0);
    if (CSheetPage* first = page(0)) first->activate();

    bool create = is_create();
    context_.current->Action = create ? 0 : 1;
    history_file_ = history_file_for(context_.current->Action);
    recorder_ = std::make_unique<HistoryRecorder>(history_file_, context_.clock);
    loading_ = false;

    layout_controls();
    record_label_->setEnabled(false);
    record_button_->setEnabled(false);
    centre_on_owner();
    setFocus(Qt::OtherFocusReason);
}

void COperationSheet::layout_controls() {
    QSize page_size(MIN_PAGE_WIDTH, MIN_PAGE_HEIGHT);
    for (CSheetPage* each : pages_) page_size = page_size.expandedTo(each->sizeHint());
    QSize tab_size = tabs_->sizeHint().expandedTo(page_size + QSize(8, tabs_->tabBar()->sizeHint().height() + 8));
    const int base_width = tab_size.width() + 2 * MARGIN;
    const int base_height = MARGIN + tab_size.height() + MARGIN + BUTTON_HEIGHT + MARGIN;
    // The sheet may grow (long names want room) but not shrink below what its
    // pages need.
    const QSize least(base_width + EXTRA_WIDTH, base_height + EXTRA_HEIGHT);
    setMinimumSize(least);
    setSizeGripEnabled(true);
    // A sheet the user made larger opens that large again, as far as the
    // screen allows.
    QSize wanted = size().expandedTo(least);
    int width = 0, height = 0;
    if (recall_sheet_size(is_create(), width, height)) {
        QSize remembered(width, height);
        if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen())
            remembered = remembered.boundedTo(screen->availableGeometry().size());
        wanted = remembered.expandedTo(least);
    }
    resize(wanted);
    opened_size_ = wanted;
    place_controls();
}

void COperationSheet::resizeEvent(QResizeEvent* event) {
    QDialog::resizeEvent(event);
    if (initialised_) place_controls();
}

// The pages take what the band on the right and the rows at the foot leave;
// the buttons stand under the pages' right edge.
void COperationSheet::place_controls() {
    const int tabs_width = width() - EXTRA_WIDTH - 2 * MARGIN;
    const int tabs_height = height() - EXTRA_HEIGHT - 3 * MARGIN - BUTTON_HEIGHT;
    tabs_->setGeometry(MARGIN, MARGIN, tabs_width, tabs_height);
    const int buttons_top = MARGIN + tabs_height + MARGIN;
    int x = MARGIN + tabs_width - BUTTON_WIDTH;
    for (QPushButton* button : {help_, apply_, cancel_, ok_}) {
        button->setGeometry(x, buttons_top, BUTTON_WIDTH, BUTTON_HEIGHT);
        x -= BUTTON_WIDTH + BUTTON_GAP;
    }
    record_status_->setGeometry(MARGIN, buttons_top + BUTTON_HEIGHT + MARGIN / 2, width() - 2 * MARGIN, STATUS_HEIGHT);
    place_history_controls();
}

// Record and Play sit in the middle of the band on the right; the list and
// its buttons, while shown, take the band.
void COperationSheet::place_history_controls() {
    const int middle = width() - EXTRA_WIDTH / 2;
    record_label_->setGeometry(middle - 35, 50, 70, 18);
    record_button_->setGeometry(middle - 30, 70, 60, 59);
    play_label_->setGeometry(middle - 35, 230, 70, 18);
    play_button_->setGeometry(middle - 30, 250, 60, 59);
    if (!list_) return;
    QRect list_rect(QPoint(width() - EXTRA_WIDTH + 10, 30), QPoint(width() - 20, height() - 90));
    list_->setGeometry(list_rect);
    int left = list_rect.left();
    int w = list_rect.width();
    int top = list_rect.bottom() + 15;
    int h = 30;
    set_->setGeometry(QRect(QPoint(left, top), QPoint(left + w / 3, top + h)));
    reset_->setGeometry(QRect(QPoint(left + w / 3 + 5, top), QPoint(left + 2 * w / 3 + 5, top + h)));
    delete_->setGeometry(QRect(QPoint(left + 2 * w / 3 + 10, top), QPoint(list_rect.right() + 10, top + h)));
}

void COperationSheet::centre_on_owner() {
    QRect frame = frameGeometry();
    QPoint centre;
    if (QWidget* owner = parentWidget(); owner && owner->isVisible()) {
        centre = owner->frameGeometry().center();
    } else if (QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen()) {
        centre = screen->availableGeometry().center();
    } else {
        return;
    }
    move(centre.x() - frame.width() / 2, centre.y() - frame.height() / 2);
}

void COperationSheet::paintEvent(QPaintEvent* event) {
    QDialog::paintEvent(event);
    QPainter painter(this);
    painter.setPen(Qt::blue);
    painter.setBackgroundMode(Qt::TransparentMode);
    QRect band(10, height() - 25, width() - 20, 20);
    painter.drawText(band, Qt::AlignCenter | Qt::TextSingleLine, QString::fromLatin1(SHEET_FOOTER));
}

void COperationSheet::set_modified(bool modified) { apply_->setEnabled(modified); }

void COperationSheet::show_validation(const std::vector<std::string>& messages) {
    for (const std::string& message : messages)
        MessageBox::show(this, QString::fromStdString(message), QString::fromLatin1(APPLICATION_TITLE),
                         MessageIcon::Warning);
}

void COperationSheet::on_command(int command) {
    switch (command) {
        case ID_SHEET_OK:
            if (start_job()) accept();
            break;
        case ID_SHEET_APPLY: start_job(); break;
        case ID_SHEET_CANCEL: reject(); break;
        case ID_SHEET_HELP: help(); break;
        case ID_RECORD: record(); break;
        case ID_PLAY: play(); break;
        case ID_HISTORY_SET: history_set(); break;
        case ID_HISTORY_RESET: history_reset(); break;
        case ID_HISTORY_DELETE: history_delete(); break;
        case ID_HISTORY_CLOSE: history_close(); break;
        case CMD_RECORD_DISABLE:
        case CMD_RECORD_ENABLE:
            record_button_->setEnabled(command == CMD_RECORD_ENABLE);
            record_label_->setEnabled(command == CMD_RECORD_ENABLE);
            break;
        default: break;
    }
}

bool COperationSheet::start_job() {
    JobSettings& job = current();
    ValidationResult result = validate_full(job);
    if (!result.ok()) {
        show_validation(result.messages);
        return false;
    }
    if (job.Action != 1)
        if (CMatchNamsPage* match = match_page()) match->write_match_file_for_job();
    job.UseProgressWindow = 1;
    // The next sheet of this kind opens on this job, and its names join the
    // fields' recent lists.
    remember_job(job);
    if (context_.start_job) context_.start_job(this, job);
    return true;
}

void COperationSheet::help() {
    CSheetPage* shown = active_page();
    SheetPage kind = shown ? shown->kind() : SheetPage::General;
    last_help_keyword_ = QString::fromStdString(help_keyword(is_create(), kind, current().IsFile, list_shown()));
    show_help_keyword(this, context_.help_file, last_help_keyword_);
}

// --- Record and play -------------------------------------------------------

void COperationSheet::record() {
    ValidationResult names = validate_short(current());
    if (!names.ok()) {
        show_validation(names.messages);
    } else if (recorder_) {
        // A line under the buttons tells what became of the Record, which
        // otherwise leaves no trace in the sheet.
        const int number = recorder_->record(current());
        if (number < 0) {
            record_status_->clear();
            MessageBox::show(this,
                             tr("The job could not be recorded: %1 cannot be written.")
                                 .arg(QString::fromStdString(history_file_)),
                             QString::fromLatin1(APPLICATION_TITLE), MessageIcon::Warning);
        } else if (number == 0) {
            record_status_->setText(tr("This job was recorded a moment ago; it is in the history once."));
        } else {
            record_status_->setText(tr("Job recorded in the history as entry %1 (Play lists it).").arg(number));
        }
    }
    changed_since_record_ = false;
    on_command(CMD_RECORD_DISABLE);
}

void COperationSheet::play() {
    if (list_) return;
    copy_settings(*context_.backup, current());
    ok_->setEnabled(false);
    apply_->setEnabled(false);
    record_button_->hide();
    play_button_->hide();

    list_ = new QListWidget(this);
    list_->setObjectName(id_name(IDC_HISTORY_LIST));
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setItemDelegate(new TabStopDelegate(list_));
    set_ = new QPushButton(tr("Set"), this);
    set_->setObjectName(id_name(ID_HISTORY_SET));
    reset_ = new QPushButton(tr("Reset"), this);
    reset_->setObjectName(id_name(ID_HISTORY_RESET));
    delete_ = new QPushButton(tr("Delete"), this);
    delete_->setObjectName(id_name(ID_HISTORY_DELETE));
    connect(set_, &QPushButton::clicked, this, [this] { on_command(ID_HISTORY_SET); });
    connect(reset_, &QPushButton::clicked, this, [this] { on_command(ID_HISTORY_RESET); });
    connect(delete_, &QPushButton::clicked, this, [this] { on_command(ID_HISTORY_DELETE); });
    place_history_controls();

    fill_list();
    if (list_->count() > 0) select_row(0);
    // A click on a line loads it, like the arrow keys.
    connect(list_, &QListWidget::currentRowChanged, this, [this](int) {
        if (list_ && list_->currentRow() >= 0) load_selected();
    });
    list_->show();
    set_->show();
    reset_->show();
    delete_->show();
    list_->setFocus(Qt::OtherFocusReason);
    qApp->installEventFilter(this);
    set_modified(false);
}

void COperationSheet::fill_list() {
    list_->clear();
    for (const HistoryEntry& entry : list_history(history_file_)) {
        const QString line = QString::fromStdString(history_list_line(entry));
        auto* item = new QListWidgetItem(line, list_);
        item->setData(Qt::UserRole, entry.number);
        // The list shows long names shortened; the tooltip shows them whole.
        item->setToolTip(history_entry_tooltip(line));
    }
}

void COperationSheet::select_row(int row) {
    {
        QSignalBlocker quiet(list_);
        list_->setCurrentRow(row);
    }
    load_selected();
}

void COperationSheet::load_selected() {
    QListWidgetItem* item = list_ ? list_->currentItem() : nullptr;
    if (!item) return;
    loading_ = true;
    load_history_entry(history_file_, item->data(Qt::UserRole).toInt(), current());
    if (CSheetPage* first = page(0)) first->on_command(CMD_SETTINGS_LOADED);
}

void COperationSheet::history_set() {
    loading_ = false;
    set_modified(true);
    on_command(ID_HISTORY_CLOSE);
}

void COperationSheet::history_reset() {
    loading_ = false;
    on_command(ID_HISTORY_CLOSE);
    copy_settings(current(), *context_.backup);
    if (CSheetPage* first = page(0)) first->on_command(CMD_SETTINGS_RESTORED);
}

void COperationSheet::history_delete() {
    if (!list_) return;
    int row = list_->currentRow();
    QListWidgetItem* item = list_->currentItem();
    if (item) {
        // An entry deleted is gone from the file: the user says so first.
        const QString question = tr("Delete this job from the history?\n\n%1").arg(history_entry_tooltip(item->text()));
        if (MessageBox::show(this, question, QString::fromLatin1(APPLICATION_TITLE), MessageIcon::Question,
                             QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes) {
            list_->setFocus(Qt::OtherFocusReason);
            return;
        }
        delete_history_entry(history_file_, item->data(Qt::UserRole).toInt());
    }
    {
        QSignalBlocker quiet(list_);
        fill_list();
    }
    if (item && list_->count() > 0) select_row(row < list_->count() ? row : list_->count() - 1);
    list_->setFocus(Qt::OtherFocusReason);
}

void COperationSheet::history_close() {
    if (!list_) return;
    qApp->removeEventFilter(this);
    delete list_.data();
    delete set_.data();
    delete reset_.data();
    delete delete_.data();
    place_history_controls();
    record_button_->show();
    play_button_->show();
    ok_->setEnabled(true);
    apply_->setEnabled(true);
    setFocus(Qt::OtherFocusReason);
}

bool COperationSheet::focus_in_general_edit() const {
    CGeneralPage* general = general_page();
    return general && general->owns_edit(QApplication::focusWidget());
}

// While the list is shown, the arrow keys move in it and Delete deletes an
// entry wherever the focus is in the sheet, except that Delete still edits the
// text of the General page's name edits.
bool COperationSheet::eventFilter(QObject* watched, QEvent* event) {
    if (list_ && event->type() == QEvent::KeyPress) {
        auto* widget = qobject_cast<QWidget*>(watched);
        if (widget && (widget == this || isAncestorOf(widget))) {
            auto* key = static_cast<QKeyEvent*>(event);
            int row = list_->currentRow();
            switch (key->key()) {
                case Qt::Key_Up:
                    if (list_->count() > 0) select_row(row > 0 ? row - 1 : 0);
                    return true;
                case Qt::Key_Down:
                    if (list_->count() > 0) select_row(row + 1 < list_->count() ? row + 1 : row);
                    return true;
                case Qt::Key_Delete:
                    if (focus_in_general_edit()) break;
                    on_command(ID_HISTORY_DELETE);
                    return true;
                default: break;
            }
        }
    }
    return QDialog::eventFilter(watched, event);
}

// --- Building the sheets -------------------------------------------------------

std::unique_ptr<COperationSheet> make_operation_sheet(bool create, const SheetContext& context, QWidget* owner) {
    auto sheet = std::make_unique<COperationSheet>(
        QString::fromLatin1(create ? CREATE_SHEET_TITLE : RESTORE_SHEET_TITLE), context, owner);
    sheet->add_page(new CGeneralPage(*sheet), QObject::tr("General"));
    if (create) {
        sheet->add_page(new CAlgorithmsPage(*sheet), QObject::tr("Delta Algorithms"));
        sheet->add_page(new CCreateAdvancedPage(*sheet), QObject::tr("Advanced"));
        sheet->add_page(new CMatchNamsPage(*sheet), QObject::tr("Name Matching"));
    } else {
        sheet->add_page(new CRestoreAdvancedPage(*sheet), QObject::tr("Advanced"));
    }
    return sheet;
}

void run_operation_sheet(bool create, const SheetContext& context, QWidget* owner) {
    std::unique_ptr<COperationSheet> sheet = make_operation_sheet(create, context, owner);
    ModalDialog::exec(*sheet);
}

}  // namespace quoralith
