// The Name Matching page and its match file.
#include "sheets/gui/match_names_page.h"

#include "sheets/gui/general_page.h"
#include "sheets/gui/path_edit.h"
#include "sheets/match_file.h"
#include "shell/common/ui_seams.h"

#include <QButtonGroup>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryFile>
#include <QVBoxLayout>

namespace quoralith {

namespace {

template <typename Widget>
Widget* named(Widget* widget, int id) {
    widget->setObjectName(QString::number(id));
    return widget;
}

void tell(QWidget* parent, const char* text) {
    MessageBox::show(parent, QString::fromLatin1(text), QString::fromLatin1(APPLICATION_TITLE),
                     MessageIcon::Warning);
}

std::string local(const QString& text) { return text.toLocal8Bit().toStdString(); }

}  // namespace

CMatchNamsPage::CMatchNamsPage(COperationSheet& sheet) : CSheetPage(sheet, SheetPage::NameMatching) {
    setObjectName(QStringLiteral("1539"));
    icon_ = named(new QLabel, 1034);
    icon_->setFixedSize(70, 70);

    customer_ = named(new QRadioButton(tr("Use Customer's Entries Files")), 1003);
    customer_edit_ = named(new PathEdit, 1002);
    browse_customer_ = named(new QPushButton(tr("Browse Customer's  File")), 1006);
    build_ = named(new QRadioButton(tr(" Build Name Matching File ")), 1004);
    modes_ = new QButtonGroup(this);
    modes_->addButton(customer_, 0);
    modes_->addButton(build_, 1);
    base_entry_ = named(new QLineEdit, 1000);
    browse_base_ = named(new QPushButton(tr("Browse")), 1083);
    updated_entry_ = named(new QLineEdit, 1001);
    browse_updated_ = named(new QPushButton(tr("Browse")), 1084);
    add_ = named(new QPushButton(tr("Add To List")), 1081);
    delete_ = named(new QPushButton(tr("Delete Entry")), 1082);
    for (QWidget* widget : {static_cast<QWidget*>(base_entry_), static_cast<QWidget*>(updated_entry_),
                            static_cast<QWidget*>(add_), static_cast<QWidget*>(delete_),
                            static_cast<QWidget*>(browse_base_), static_cast<QWidget*>(browse_updated_)})
        widget->setEnabled(false);

    // The pair list stands where the template's placeholder (1086) is.
    auto* placeholder = named(new QWidget, 1086);
    list_ = named(new QListWidget(placeholder), IDC_MATCH_LIST);
    list_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    list_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto* placeholder_layout = new QVBoxLayout(placeholder);
    placeholder_layout->setContentsMargins(0, 0, 0, 0);
    placeholder_layout->addWidget(list_);

    auto* customer_row = new QHBoxLayout;
    customer_row->addWidget(customer_edit_, 1);
    customer_row->addWidget(browse_customer_);
    auto* names = new QGridLayout;
    names->addWidget(new QLabel(tr("From Base Directory")), 0, 0);
    names->addWidget(base_entry_, 0, 1);
    names->addWidget(browse_base_, 0, 2);
    names->addWidget(new QLabel(tr("From Updated Directory")), 1, 0);
    names->addWidget(updated_entry_, 1, 1);
    names->addWidget(browse_updated_, 1, 2);
    auto* list_buttons = new QHBoxLayout;
    list_buttons->addWidget(add_);
    list_buttons->addWidget(delete_);
    list_buttons->addStretch();

    auto* top = new QHBoxLayout;
    top->addWidget(icon_, 0, Qt::AlignTop);
    auto* modes = new QVBoxLayout;
    modes->addWidget(customer_);
    modes->addLayout(customer_row);
    modes->addWidget(build_);
    top->addLayout(modes, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(names);
    layout->addLayout(list_buttons);
    layout->addWidget(placeholder, 1);

    connect(customer_, &QRadioButton::clicked, this, &CMatchNamsPage::customer_clicked);
    connect(build_, &QRadioButton::clicked, this, &CMatchNamsPage::build_clicked);
    connect(customer_edit_, &QLineEdit::textChanged, this, [this](const QString& text) {
        if (job().MatchNamesAction == 0) set_field(job().CustomMatchFile, local(text));
    });
    connect(browse_customer_, &QPushButton::clicked, this, &CMatchNamsPage::browse_customer_file);
    connect(base_entry_, &QLineEdit::textChanged, this,
            [this](const QString& text) { set_field(job().MatchBaseEntry, local(text)); });
    connect(updated_entry_, &QLineEdit::textChanged, this,
            [this](const QString& text) { set_field(job().MatchUpdatedEntry, local(text)); });
    connect(browse_base_, &QPushButton::clicked, this, [this] { choose_inside(true); });
    connect(browse_updated_, &QPushButton::clicked, this, [this] { choose_inside(false); });
    connect(add_, &QPushButton::clicked, this, &CMatchNamsPage::add_to_list);
    connect(delete_, &QPushButton::clicked, this, &CMatchNamsPage::delete_entry);
}

CMatchNamsPage::~CMatchNamsPage() {
    // The page's own match file stays after a job that wrote it; the empty
    // placeholder of a page that never wrote one does not.
    if (!temporary_name_.empty() && !temporary_written_) {
        QFileInfo info(QString::fromLocal8Bit(temporary_name_));
        if (info.exists() && info.size() == 0) QFile::remove(info.filePath());
    }
}

void CMatchNamsPage::initialise() {
    last_base_folder_.clear();
    last_updated_folder_.clear();
    // A unique name, reserved by creating the file.
    QTemporaryFile reserve(QDir::temp().filePath(QStringLiteral("qralith-match-XXXXXX.txt")));
    reserve.setAutoRemove(false);
    if (reserve.open()) {
        temporary_name_ = local(reserve.fileName());
        reserve.close();
    }
    create_picture_button(icon_);
    show_current();
}

void CMatchNamsPage::show_current() {
    JobSettings& current = job();
    if (current.IsFile != JOB_SINGLE_FILE) {
        customer_->setEnabled(true);
        build_->setEnabled(true);
        if (current.MatchNamesAction == 1) {
            build_->setChecked(true);
            customer_edit_->setEnabled(false);
            browse_customer_->setEnabled(false);
            for (QWidget* widget :
                 {static_cast<QWidget*>(list_), static_cast<QWidget*>(base_entry_),
                  static_cast<QWidget*>(updated_entry_), static_cast<QWidget*>(browse_base_),
                  static_cast<QWidget*>(browse_updated_), static_cast<QWidget*>(delete_), static_cast<QWidget*>(add_)})
                widget->setEnabled(true);
            std::string base_entry = current.MatchBaseEntry;
            std::string updated_entry = current.MatchUpdatedEntry;
            base_entry_->setText(QString::fromLocal8Bit(base_entry));
            updated_entry_->setText(QString::fromLocal8Bit(updated_entry));
            return;
        }
        customer_->setChecked(true);
        customer_edit_->setEnabled(true);
        customer_edit_->setText(QString::fromLocal8Bit(current.CustomMatchFile));
        browse_customer_->setEnabled(true);
        list_->setEnabled(false);
    } else {
        customer_->setEnabled(false);
        build_->setEnabled(false);
        customer_edit_->setEnabled(false);
        browse_customer_->setEnabled(false);
    }
    current.MatchBaseEntry[0] = '\0';
    current.MatchUpdatedEntry[0] = '\0';
    for (QLineEdit* edit : {base_entry_, updated_entry_}) {
        edit->clear();
        edit->setEnabled(false);
    }
    for (QPushButton* button : {browse_base_, browse_updated_, delete_, add_}) button->setEnabled(false);
}

void CMatchNamsPage::customer_clicked() {
    JobSettings& current = job();
    current.MatchNamesAction = 0;
    show_current();
    customer_edit_->clear();
    // The edit's handler clears the name; an edit that was already empty
    // sends no change, so the name is cleared here as well.
    current.CustomMatchFile[0] = '\0';
    if (current.MatchFileStream) {
        std::fclose(current.MatchFileStream);
        current.MatchFileStream = nullptr;
    }
}

void CMatchNamsPage::build_clicked() {
    JobSettings& current = job();
    set_field(current.CustomMatchFile, temporary_name_);
    const char* missing = nullptr;
    if (current.BasePath[0] == '\0')
        missing = "Base Directory Name must be specified in General Tab";
    else if (current.UpdatedPath[0] == '\0')
        missing = "Updated Directory Name must be specified in General Tab";
    if (missing) {
        tell(this, missing);
        customer_->setChecked(true);
        return;
    }
    current.MatchNamesAction = 1;
    show_current();
}

void CMatchNamsPage::browse_customer_file() {
    QString chosen = FileDialog::getOpenFileName(this, {}, {}, QString::fromLatin1(TEXT_FILES_FILTER));
    if (!chosen.isEmpty()) set_field(job().CustomMatchFile, local(chosen));
    customer_edit_->setText(QString::fromLocal8Bit(job().CustomMatchFile));
}

void CMatchNamsPage::choose_inside(bool base) {
    JobSettings& current = job();
    std::string& last_folder = base ? last_base_folder_ : last_updated_folder_;
    const std::string directory = base ? current.BasePath : current.UpdatedPath;
    QString start = QString::fromLocal8Bit(last_folder.empty() ? directory : last_folder);
    QString chosen = FileDialog::getOpenFileName(this, {}, start, QString::fromLatin1(ALL_FILES_FILTER));
    if (chosen.isEmpty()) return;
    std::string path = local(chosen);
    if (std::string folder = folder_of(path); !folder.empty()) last_folder = folder;
    std::optional<std::string> entry = entry_name_inside(path, directory);
    if (!entry) {
        tell(this, base ? "Just files included in Base Directory may be chosen"
                        : "Just files included in Updated Directory may be chosen");
        return;
    }
    set_field(base ? current.MatchBaseEntry : current.MatchUpdatedEntry, *entry);
    (base ? base_entry_ : updated_entry_)
        ->setText(QString::fromLocal8Bit(base ? current.MatchBaseEntry : current.MatchUpdatedEntry));
}

void CMatchNamsPage::add_to_list() {
    if (base_entry_->text().isEmpty() || updated_entry_->text().isEmpty()) return;
    const JobSettings& current = job();
    entries_.push_back(match_entry_text(current.MatchBaseEntry, current.MatchUpdatedEntry));
    list_->addItem(QString::fromLocal8Bit(entries_.back()));
}

void CMatchNamsPage::delete_entry() {
    int row = list_->currentRow();
    if (row < 0 || !list_->currentItem()->isSelected()) {
        tell(this, "Select in the listbox the entry to delete ");
        return;
    }
    entries_.erase(entries_.begin() + row);
    delete list_->takeItem(row);
}

void CMatchNamsPage::write_match_file_for_job() {
    JobSettings& current = job();
    if (current.MatchFileStream || current.IsFile != JOB_DIRECTORY || current.MatchNamesAction != 1 ||
        current.CustomMatchFile[0] == '\0' || temporary_name_.empty())
        return;
    // Only the page's own file is ever written: a customer's file named by a
    // job from the history stays as it is, and such a job, which brings no
    // pairs, writes nothing.
    const bool own_file = temporary_name_ == current.CustomMatchFile;
    if (!own_file && entries_.empty()) return;
    if (!own_file) set_field(current.CustomMatchFile, temporary_name_);
    if (!write_match_file(temporary_name_, entries_)) {
        tell(this, "Match file opening failed\n");
        return;
    }
    temporary_written_ = true;
}

}  // namespace quoralith
