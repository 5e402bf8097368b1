// The Create and Restore Advanced pages.
#include "sheets/gui/advanced_pages.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>

namespace quoralith {

namespace {

template <typename Widget>
Widget* named(Widget* widget, int id) {
    widget->setObjectName(QString::number(id));
    return widget;
}

QWidget* make_icon() {
    auto* icon = named(new QLabel, 1034);
    icon->setFixedSize(70, 70);
    return icon;
}

// The failure radios: `copy_text` for 0, then "Skip File" and "Abort Process".
QGroupBox* make_failure_group(QObject* owner, QButtonGroup*& group, int copy_id, const QString& copy_text) {
    auto* box = new QGroupBox(QObject::tr(" Action On File Process Failure "));
    auto* layout = new QVBoxLayout(box);
    group = new QButtonGroup(owner);
    auto* copy = named(new QRadioButton(copy_text), copy_id);
    auto* skip = named(new QRadioButton(QObject::tr("Skip File")), 1015);
    auto* abort = named(new QRadioButton(QObject::tr("Abort Process")), 1016);
    group->addButton(copy, FAILURE_COPY);
    group->addButton(skip, FAILURE_SKIP);
    group->addButton(abort, FAILURE_ABORT);
    for (QRadioButton* radio : {copy, skip, abort}) layout->addWidget(radio);
    return box;
}

QWidget* make_report_groups(ReportControls& report, int append_id) {
    auto* holder = new QWidget;
    auto* row = new QHBoxLayout(holder);
    row->setContentsMargins(0, 0, 0, 0);
    auto* options = new QGroupBox(QObject::tr(" Report Options"));
    report.append = named(new QCheckBox(QObject::tr("Append To Report File")), append_id);
    (new QVBoxLayout(options))->addWidget(report.append);
    auto* level_box = new QGroupBox(QObject::tr(" Report Message Level "));
    report.level = named(new QComboBox, 1076);
    report.level->addItems({QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3")});
    (new QVBoxLayout(level_box))->addWidget(report.level);
    row->addWidget(options, 1);
    row->addWidget(level_box);
    return holder;
}

void connect_report(CSheetPage* page, ReportControls& report) {
    QObject::connect(report.append, &QCheckBox::clicked, page, [page](bool checked) {
        page->job().LogFileMode = checked ? LOG_APPEND : LOG_OVERWRITE;
        page->show_current();
    });
    QObject::connect(report.level, &QComboBox::activated, page, [page](int index) {
        page->job().ReportLevel = index + 1;
        page->show_current();
    });
}

void show_report(const ReportControls& report, const JobSettings& job) {
    // A level outside 1 to 3 (from a history entry) selects no item.
    report.level->setCurrentIndex(job.ReportLevel >= 1 && job.ReportLevel <= 3 ? job.ReportLevel - 1 : -1);
    report.append->setChecked(job.LogFileMode == LOG_APPEND);
}

void show_failure(QButtonGroup* group, int action) {
    int checked = action == FAILURE_COPY ? FAILURE_COPY : action == FAILURE_SKIP ? FAILURE_SKIP : FAILURE_ABORT;
    group->button(checked)->setChecked(true);
}

}  // namespace

// --- Create ---------------------------------------------------------------

CCreateAdvancedPage::CCreateAdvancedPage(COperationSheet& sheet) : CSheetPage(sheet, SheetPage::Advanced) {
    setObjectName(QStringLiteral("104"));
    icon_ = make_icon();

    auto* stamp_box = new QGroupBox(tr(" Stamp "));
    auto* stamp_layout = new QVBoxLayout(stamp_box);
    short_ = named(new QRadioButton(tr("Short ")), 1003);
    long_ = named(new QRadioButton(tr("Long ")), 1004);
    stamps_ = new QButtonGroup(this);
    stamps_->addButton(short_, 1);
    stamps_->addButton(long_, 0);
    stamp_layout->addWidget(short_);
    stamp_layout->addWidget(long_);
    QGroupBox* failure_box = make_failure_group(this, failures_, 1019, tr("Copy Updated File"));
    QWidget* report_box = make_report_groups(report_, 1005);

    bind_choice(stamps_, &JobSettings::Stamp);
    bind_choice(failures_, &JobSettings::FailureAction);
    connect_report(this, report_);

    auto* top = new QHBoxLayout;
    top->addWidget(icon_, 0, Qt::AlignTop);
    top->addWidget(stamp_box, 1);
    top->addWidget(failure_box, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(report_box);
    layout->addStretch();
}

void CCreateAdvancedPage::initialise() {
    create_picture_button(icon_);
    show_current();
}

void CCreateAdvancedPage::show_current() {
    const JobSettings& current = job();
    show_report(report_, current);
    show_failure(failures_, current.FailureAction);
    (current.Stamp != 0 ? short_ : long_)->setChecked(true);
}

// --- Restore --------------------------------------------------------------

CRestoreAdvancedPage::CRestoreAdvancedPage(COperationSheet& sheet) : CSheetPage(sheet, SheetPage::Advanced) {
    setObjectName(QStringLiteral("105"));
    icon_ = make_icon();

    merge_ = named(new QCheckBox(tr("Merge Files From Base Directory")), 1005);
    origin_date_ = named(new QCheckBox(tr("Keep Original File(s)  Date && Time")), 1006);
    origin_attributes_ = named(new QCheckBox(tr("Keep Original File(s)  Attributes")), 1007);
    QGroupBox* failure_box = make_failure_group(this, failures_, 1003, tr("Copy User Base File"));
    QWidget* report_box = make_report_groups(report_, 1008);

    bind_flag(merge_, &JobSettings::Merge);
    bind_flag(origin_date_, &JobSettings::OriginDate);
    bind_flag(origin_attributes_, &JobSettings::OriginAttrib);
    bind_choice(failures_, &JobSettings::FailureAction);
    connect_report(this, report_);

    auto* checks = new QVBoxLayout;
    checks->addWidget(merge_);
    checks->addWidget(origin_date_);
    checks->addWidget(origin_attributes_);
    checks->addStretch();
    auto* top = new QHBoxLayout;
    top->addWidget(icon_, 0, Qt::AlignTop);
    top->addLayout(checks, 1);
    top->addWidget(failure_box, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addWidget(report_box);
    layout->addStretch();
}

void CRestoreAdvancedPage::initialise() {
    // A restore never makes a self-extractor.
    job().SelfExtract = 0;
    create_picture_button(icon_);
    show_current();
}

void CRestoreAdvancedPage::show_current() {
    const JobSettings& current = job();
    for (QCheckBox* box : {merge_, origin_date_, origin_attributes_}) {
        box->setEnabled(true);
        box->setChecked(false);
    }
    for (QAbstractButton* failure : failures_->buttons()) failure->setEnabled(true);
    show_report(report_, current);
    show_failure(failures_, current.FailureAction);
    merge_->setChecked(current.Merge != 0);
    origin_date_->setChecked(current.OriginDate != 0);
    origin_attributes_->setChecked(current.OriginAttrib != 0);
    // Merging takes files from a Base directory; a single file has none. The
    // record keeps its Merge value.
    if (current.IsFile == JOB_SINGLE_FILE) {
        merge_->setChecked(false);
        merge_->setEnabled(false);
    }
}

}  // namespace quoralith
