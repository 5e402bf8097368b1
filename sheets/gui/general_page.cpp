// The General page.
#include "sheets/gui/general_page.h"

#include "base/recent_names.h"
#include "sheets/gui/path_edit.h"
#include "sheets/remembered_jobs.h"
#include "shell/common/folder_browser.h"
#include "shell/common/recent_menu.h"
#include "shell/common/ui_seams.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quoralith {

namespace {

template <typename Widget>
Widget* named(Widget* widget, int id) {
    widget->setObjectName(QString::number(id));
    return widget;
}

void uncheck_all(QButtonGroup* group) {
    group->setExclusive(false);
    for (QAbstractButton* button : group->buttons()) button->setChecked(false);
    group->setExclusive(true);
}

// The output name the page suggests for the input it follows from: the
// Updated name on Create, the Delta on Restore.
std::string suggested_output_name(const JobSettings& job, bool create) {
    return create ? suggested_delta_name(job.UpdatedPath) : suggested_restored_name(job.Delta, job.BasePath);
}

// Puts `text` into an edit without its change signal; the caller runs the
// edit's handler itself, once, as a write into the control always does.
void put_text(QLineEdit* edit, const char* text) {
    QSignalBlocker quiet(edit);
    edit->setText(QString::fromLocal8Bit(text));
}

}  // namespace

CGeneralPage::CGeneralPage(COperationSheet& sheet) : CSheetPage(sheet, SheetPage::General) {
    setObjectName(QStringLiteral("102"));

    single_ = named(new QRadioButton(tr("Single File")), 1003);
    archived_ = named(new QRadioButton(tr("Archived Directory")), 1012);
    directory_ = named(new QRadioButton(tr("Directory")), 1004);
    kinds_ = new QButtonGroup(this);
    kinds_->addButton(single_, JOB_SINGLE_FILE);
    kinds_->addButton(directory_, JOB_DIRECTORY);
    kinds_->addButton(archived_, JOB_ARCHIVED_DIRECTORY);

    options_group_ = named(new QGroupBox(tr("Directory Options")), 1022);
    subdirs_ = named(new QCheckBox(tr("Include Subdirectories")), 1005);
    clear_output_ = named(new QCheckBox(tr("Clear Output Directory ")), 1011);
    pattern_label_ = named(new QLabel(tr("File Pattern")), 1021);
    pattern_ = named(new QLineEdit, 1020);
    self_extract_ = named(new QCheckBox(tr("Create Self Extractor")), 1087);
    self_extract_->setEnabled(false);
    options_group_->setEnabled(false);
    pattern_->setEnabled(false);
    pattern_label_->setEnabled(false);

    auto* options_layout = new QGridLayout(options_group_);
    options_layout->addWidget(subdirs_, 0, 0, 1, 2);
    options_layout->addWidget(clear_output_, 1, 0, 1, 2);
    options_layout->addWidget(pattern_label_, 2, 0);
    options_layout->addWidget(pattern_, 2, 1);

    base_ = named(new PathEdit, 1000);
    updated_ = named(new PathEdit, 1001);
    delta_ = named(new PathEdit, 1002);
    report_ = named(new PathEdit, 1009);
    attach_recent_names(base_, QString::fromLatin1(RECENT_BASE));
    attach_recent_names(updated_, QString::fromLatin1(RECENT_UPDATED));
    attach_recent_names(delta_, QString::fromLatin1(RECENT_DELTA));
    attach_recent_names(report_, QString::fromLatin1(RECENT_REPORT));
    base_archivator_ = named(new QCheckBox(tr("Archivator")), 1088);
    updated_archivator_ = named(new QCheckBox(tr("Archivator")), 1089);
    delta_archivator_ = named(new QCheckBox(tr("Archivator")), 1090);
    for (int i = 0; i < 3; ++i) direction_labels_[i] = named(new QLabel(QStringLiteral("s%1").arg(i + 1)), 1023 + i);

    icon_ = named(new QLabel, 1026);
    icon_->setFixedSize(70, 70);

    // Top: the picture and the three kinds beside the directory options.
    auto* kinds_box = new QVBoxLayout;
    kinds_box->addWidget(single_);
    kinds_box->addWidget(directory_);
    kinds_box->addWidget(archived_);
    kinds_box->addWidget(self_extract_);
    kinds_box->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(icon_, 0, Qt::AlignTop);
    top->addLayout(kinds_box);
    top->addWidget(options_group_, 1);

    // The names, each with its label, direction, Browse and Archivator.
    auto* names = new QGridLayout;
    const char* labels[] = {"Base Name ", "Updated Name", "Delta Name"};
    PathEdit* edits[] = {base_, updated_, delta_};
    QCheckBox* archivators[] = {base_archivator_, updated_archivator_, delta_archivator_};
    for (int i = 0; i < 3; ++i) {
        names->addWidget(new QLabel(tr(labels[i])), i, 0);
        names->addWidget(direction_labels_[i], i, 1);
        names->addWidget(edits[i], i, 2);
        auto* browse = named(new QPushButton(tr("Browse")), 1006 + i);
        connect(browse, &QPushButton::clicked, this, [this, i] { browse_name(i); });
        names->addWidget(browse, i, 3);
        names->addWidget(archivators[i], i, 4);
    }
    names->addWidget(new QLabel(tr("Report File (optional)")), 3, 0, 1, 2);
    names->addWidget(report_, 3, 2);
    auto* browse_report_button = named(new QPushButton(tr("Browse")), 1010);
    connect(browse_report_button, &QPushButton::clicked, this, [this] { browse_report(); });
    names->addWidget(browse_report_button, 3, 3);
    names->setColumnStretch(2, 1);
    // The Archivator column keeps its width while its boxes are hidden.
    names->setColumnMinimumWidth(4, base_archivator_->sizeHint().width());

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addSpacing(8);
    layout->addLayout(names);
    layout->addStretch();

    for (QRadioButton* radio : {single_, directory_, archived_}) {
        int kind = kinds_->id(radio);
        connect(radio, &QRadioButton::clicked, this, [this, kind] { kind_clicked(kind); });
    }
    bind_flag(subdirs_, &JobSettings::IncludeSubdirs);
    bind_flag(clear_output_, &JobSettings::ClearOutputDir, false);
    bind_flag(base_archivator_, &JobSettings::AchiveBase);
    bind_flag(updated_archivator_, &JobSettings::AchiveUpdated);
    bind_flag(delta_archivator_, &JobSettings::AchiveDelta);
    connect(base_, &QLineEdit::textChanged, this, &CGeneralPage::base_changed);
    // Only the user's own changes suggest an output; a job shown from the
    // history or the defaults keeps the names it has.
    connect(updated_, &QLineEdit::textChanged, this, [this](const QString& text) {
        name_changed(job().UpdatedPath, text);
        if (create_sheet()) suggest_output();
    });
    connect(delta_, &QLineEdit::textChanged, this, [this](const QString& text) {
        name_changed(job().Delta, text);
        if (!create_sheet()) suggest_output();
    });
    connect(pattern_, &QLineEdit::textChanged, this,
            [this](const QString& text) { set_field(job().Pattern, text.toLocal8Bit().toStdString()); });
    connect(report_, &QLineEdit::textChanged, this, &CGeneralPage::report_changed);

    // The page moves the focus itself on Tab, from control to control of the
    // page, so that Tab never leaves it for the sheet's buttons.
    for (QWidget* child : findChildren<QWidget*>()) child->installEventFilter(this);
}

void CGeneralPage::initialise() {
    const bool create = create_sheet();
    static_cast<QLabel*>(direction_labels_[0])->setText(tr("(input)"));
    static_cast<QLabel*>(direction_labels_[1])->setText(create ? tr("(input)") : tr("(output)"));
    static_cast<QLabel*>(direction_labels_[2])->setText(create ? tr("(output)") : tr("(input)"));
    if (!create) self_extract_->hide();
    create_picture_button(icon_);
    const SheetContext& context = sheet().context();
    copy_settings(*context.current, *context.defaults);
    // The sheet opens on the last job of its kind, so that a second job like
    // the first needs only the names that changed.
    recall_last_job(create ? 0 : 1, *context.current);
    if (!create && !context.opened_delta.isEmpty()) {
        JobSettings& opened = *context.current;
        opened.IsFile = JOB_SINGLE_FILE;
        set_field(opened.Delta, context.opened_delta.toLocal8Bit().toStdString());
        set_field(opened.UpdatedPath, suggested_output_name(opened, false));
    }
    copy_settings(*context.backup, *context.current);
    // A remembered output that is the suggestion for its input goes on
    // following that input, as it did when it was suggested.
    const JobSettings& last = *context.current;
    const std::string follows = suggested_output_name(last, create);
    if (!follows.empty() && follows == (create ? last.Delta : last.UpdatedPath))
        suggested_output_ = QString::fromLocal8Bit(follows);
    show_current();
}

void CGeneralPage::show_current() {
    JobSettings& current = job();
    if (!sheet().loading_latch()) sheet().set_modified(true);
    sheet().set_changed_since_record(true);

    for (QWidget* widget : {static_cast<QWidget*>(single_), static_cast<QWidget*>(directory_),
                            static_cast<QWidget*>(base_), static_cast<QWidget*>(updated_),
                            static_cast<QWidget*>(delta_), static_cast<QWidget*>(report_),
                            static_cast<QWidget*>(pattern_), static_cast<QWidget*>(subdirs_),
                            static_cast<QWidget*>(clear_output_), pattern_label_,
                            static_cast<QWidget*>(options_group_), direction_labels_[0], direction_labels_[1],
                            direction_labels_[2], icon_})
        widget->setEnabled(true);
    uncheck_all(kinds_);
    for (QCheckBox* box : {subdirs_, clear_output_, base_archivator_, updated_archivator_, delta_archivator_,
                           self_extract_})
        box->setChecked(false);

    put_text(base_, current.BasePath);
    base_changed(base_->text());
    put_text(updated_, current.UpdatedPath);
    name_changed(current.UpdatedPath, updated_->text());
    put_text(delta_, current.Delta);
    name_changed(current.Delta, delta_->text());
    put_text(pattern_, current.Pattern);
    put_text(report_, current.ReportFile);
    report_changed(report_->text());

    GeneralPageState state = general_page_state(current);
    if (QAbstractButton* radio = kinds_->button(state.checked_kind)) radio->setChecked(true);
    subdirs_->setChecked(state.include_subdirs_checked);
    clear_output_->setChecked(state.clear_output_checked);
    for (QWidget* widget : {static_cast<QWidget*>(subdirs_), static_cast<QWidget*>(clear_output_),
                            static_cast<QWidget*>(pattern_), pattern_label_, static_cast<QWidget*>(options_group_)})
        widget->setEnabled(state.directory_options_enabled);
    base_archivator_->setVisible(state.base_archivator_visible);
    updated_archivator_->setVisible(state.updated_archivator_visible);
    delta_archivator_->setVisible(state.delta_archivator_visible);
    self_extract_->setChecked(state.self_extract_checked);
    base_archivator_->setChecked(state.base_archivator_checked);
    updated_archivator_->setChecked(state.updated_archivator_checked);
    delta_archivator_->setChecked(state.delta_archivator_checked);
}

bool CGeneralPage::owns_edit(const QWidget* widget) const {
    return widget && (widget == base_ || widget == updated_ || widget == delta_ || widget == pattern_ ||
                      widget == report_);
}

void CGeneralPage::kind_clicked(int kind) {
    if (!kinds_->button(kind)->isChecked()) return;
    choose_job_kind(job(), kind);
    show_current();
}

void CGeneralPage::base_changed(const QString& text) {
    set_field(job().BasePath, text.toLocal8Bit().toStdString());
    update_record_button(true);
}

void CGeneralPage::name_changed(char* field, const QString& text) {
    // Both callers pass a name field of PATH_FIELD_SIZE bytes.
    std::string value = text.toLocal8Bit().toStdString();
    if (value.size() > PATH_FIELD_SIZE - 1) value.resize(PATH_FIELD_SIZE - 1);
    std::copy(value.begin(), value.end(), field);
    field[value.size()] = '\0';
    update_record_button(false);
}

void CGeneralPage::report_changed(const QString& text) {
    set_report_file(job(), text.toLocal8Bit().toStdString());
}

// A change in the Base name alone does not offer Record again after a Record;
// a change in Updated or Delta, or any refresh of the page, does.
void CGeneralPage::update_record_button(bool consult_changed_flag) {
    bool enable = names_complete(job()) && (!consult_changed_flag || sheet().changed_since_record());
    sheet().on_command(enable ? CMD_RECORD_ENABLE : CMD_RECORD_DISABLE);
}

void CGeneralPage::browse_name(int button) {
    JobSettings& current = job();
    char* fields[] = {current.BasePath, current.UpdatedPath, current.Delta};
    PathEdit* edits[] = {base_, updated_, delta_};
    BrowseKind kinds[] = {base_browse_kind(current), updated_browse_kind(current), delta_browse_kind(current)};
    const bool create = create_sheet();
    // The output of a Create is the Delta, of a Restore the Updated name.
    const int output = create ? 2 : 1;
    QString chosen;
    if (kinds[button] == BrowseKind::File && button == output) {
        const QString input = QString::fromLocal8Bit(create ? current.UpdatedPath : current.Delta);
        const QString suggestion = QString::fromLocal8Bit(suggested_output_name(current, create));
        chosen = FileDialog::getSaveFileName(this, {}, save_dialog_start(edits[button]->text(), input, suggestion),
                                             QString::fromLatin1(ALL_FILES_FILTER));
    } else if (kinds[button] == BrowseKind::File) {
        chosen = FileDialog::getOpenFileName(this, {}, {}, QString::fromLatin1(ALL_FILES_FILTER));
    } else {
        QString folder = QString::fromLocal8Bit(fields[button]);
        if (BrowseForFolder(this, folder)) chosen = folder;
    }
    if (chosen.isEmpty()) return;
    // Put in as if typed, so that the name is stored and an output follows.
    edits[button]->setText(chosen);
    show_current();
}

void CGeneralPage::browse_report() {
    const JobSettings& current = job();
    const QString input = QString::fromLocal8Bit(create_sheet() ? current.UpdatedPath : current.Delta);
    const QString suggestion = input.isEmpty() ? QString() : input + QStringLiteral(".log");
    QString chosen = FileDialog::getSaveFileName(this, {}, save_dialog_start(report_->text(), input, suggestion),
                                                 QString::fromLatin1(ALL_FILES_FILTER));
    report_->setText(chosen.isEmpty() ? QString::fromLocal8Bit(job().ReportFile) : chosen);
}

QString CGeneralPage::save_dialog_start(const QString& output, const QString& input, const QString& suggestion) const {
    if (!output.isEmpty()) return output;
    if (input.isEmpty()) return {};
    const QString folder = QFileInfo(input).absolutePath();
    if (suggestion.isEmpty()) return folder;
    return QDir(folder).filePath(QFileInfo(suggestion).fileName());
}

void CGeneralPage::suggest_output() {
    JobSettings& current = job();
    const bool create = create_sheet();
    PathEdit* output = create ? delta_ : updated_;
    const QString suggestion = QString::fromLocal8Bit(suggested_output_name(current, create));
    if (!output->text().isEmpty() && output->text() != suggested_output_) return;
    suggested_output_ = suggestion;
    if (output->text() != suggestion) output->setText(suggestion);
}

bool CGeneralPage::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            move_focus_to_next_control(qobject_cast<QWidget*>(watched), key->key() == Qt::Key_Backtab ||
                                                                          (key->modifiers() & Qt::ShiftModifier));
            return true;
        }
    }
    return CSheetPage::eventFilter(watched, event);
}

void CGeneralPage::move_focus_to_next_control(QWidget* from, bool backwards) {
    QWidget* candidate = from ? from : this;
    for (int guard = 0; guard < 500; ++guard) {
        candidate = backwards ? candidate->previousInFocusChain() : candidate->nextInFocusChain();
        if (!candidate || candidate == from) return;
        if (!isAncestorOf(candidate)) continue;
        if (candidate->isVisible() && candidate->isEnabled() && (candidate->focusPolicy() & Qt::TabFocus)) {
            candidate->setFocus(backwards ? Qt::BacktabFocusReason : Qt::TabFocusReason);
            return;
        }
    }
}

}  // namespace quoralith
