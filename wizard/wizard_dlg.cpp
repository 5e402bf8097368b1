// The wizard's frame: pages, picture, title and the four buttons.
#include "wizard/wizard_dlg.h"

#include "sheets/job_validation.h"
#include "sheets/remembered_jobs.h"
#include "shell/common/help_viewer.h"
#include "shell/common/resource_picture.h"
#include "wizard/wizard_pages.h"
#include "wizard/wizard_title.h"

#include <QGuiApplication>
#include <QIcon>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>

namespace quoralith {

int wizard_picture_for_step(int index, int action) {
    const bool restore = action == 1;
    switch (index) {
        case 1: return IDB_WIZARD_KIND;
        case 2: return IDB_WIZARD_BASE;
        case 3: return restore ? IDB_WIZARD_DELTA : IDB_WIZARD_UPDATED;
        case 4: return restore ? IDB_WIZARD_UPDATED : IDB_WIZARD_DELTA;
        default: return IDB_WIZARD_START;
    }
}

CWizardDlg::CWizardDlg(JobSettings& current, JobLauncher launcher, QWidget* parent)
    : QDialog(parent), settings_(current), launcher_(std::move(launcher)) {
    setObjectName(QString::number(IDD_WIZARD));
    setFixedSize(564, 372);

    picture_ = new PictureFrame(this);
    picture_->setObjectName(QString::number(IDC_WIZARD_PICTURE));
    picture_->setGeometry(12, 12, 200, 300);

    title_ = new CWizardTitle(this);
    title_->setObjectName(QString::number(IDC_WIZARD_TITLE));
    title_->setGeometry(224, 12, 328, 84);

    // Only the rectangle of the page area is used: the pages are put there.
    page_area_ = new QFrame(this);
    page_area_->setObjectName(QString::number(IDC_WIZARD_PAGE_AREA));
    page_area_->setGeometry(224, 104, 328, 200);
    page_area_->hide();

    auto* separator = new QFrame(this);
    separator->setObjectName(QString::number(IDC_WIZARD_SEPARATOR));
    separator->setFrameStyle(QFrame::HLine | QFrame::Sunken);
    separator->setGeometry(12, 320, 540, 4);

    back_ = new QPushButton(this);
    back_->setObjectName(QString::number(IDC_WIZARD_BACK));
    back_->setGeometry(268, 334, 90, 28);
    back_->setEnabled(false);
    next_ = new QPushButton(this);
    next_->setObjectName(QStringLiteral("IDOK"));
    next_->setGeometry(364, 334, 90, 28);
    next_->setDefault(true);
    cancel_ = new QPushButton(this);
    cancel_->setObjectName(QStringLiteral("IDCANCEL"));
    cancel_->setGeometry(462, 334, 90, 28);
    for (QPushButton* button : {back_, cancel_}) button->setAutoDefault(false);

    connect(next_, &QPushButton::clicked, this, &CWizardDlg::on_next);
    connect(back_, &QPushButton::clicked, this, &CWizardDlg::on_back);
    connect(cancel_, &QPushButton::clicked, this, &CWizardDlg::reject);

    // F1 opens the wizard's help, usable while the wizard waits.
    auto* f1 = new QShortcut(QKeySequence::HelpContents, this);
    f1->setContext(Qt::WindowShortcut);
    connect(f1, &QShortcut::activated, this, &CWizardDlg::help);
}

void CWizardDlg::help() { show_help_keyword(this, help_file_, QString::fromLatin1(WIZARD_HELP_KEYWORD)); }

CWizardDlg::~CWizardDlg() {
    // Help the wizard may have led to goes with it.
    close_help();
}

void CWizardDlg::add_page(CWizardPage* page, int resource_id) {
    page->setParent(this);
    page->hide();
    page->set_wizard(this);
    pages_.push_back({page, resource_id});
}

CWizardPage* CWizardDlg::page(int index) const {
    return index >= 0 && index < page_count() ? pages_[std::size_t(index)].page : nullptr;
}

int CWizardDlg::page_resource(int index) const {
    return index >= 0 && index < page_count() ? pages_[std::size_t(index)].resource : 0;
}

void CWizardDlg::initialize() {
    if (initialized_) return;
    initialized_ = true;
    setWindowIcon(QIcon(QStringLiteral(":/icons/quoralith.png")));
    if (!pages_.empty()) {
        const QRect area = page_area_->geometry();
        for (const Entry& entry : pages_) {
            entry.page->setGeometry(area);
            entry.page->hide();
        }
        set_active_page(0);
    }
    setWindowTitle(QString::fromLatin1(WIZARD_CAPTION));
    back_->setText(QString::fromLatin1(WIZARD_BACK_TEXT));
    next_->setText(QString::fromLatin1(page_count() < 2 ? WIZARD_END_TEXT : WIZARD_NEXT_TEXT));
    cancel_->setText(QString::fromLatin1(WIZARD_CANCEL_TEXT));
    picture_->resize(WIZARD_PICTURE_WIDTH, WIZARD_PICTURE_HEIGHT);
    refresh_picture();

    // Centred over the main window, or on the screen without one.
    QRect over;
    if (QWidget* owner = parentWidget())
        over = owner->frameGeometry();
    else if (QScreen* screen = QGuiApplication::primaryScreen())
        over = screen->availableGeometry();
    if (over.isValid()) move(over.center() - rect().center());
}

void CWizardDlg::showEvent(QShowEvent* event) {
    initialize();
    QDialog::showEvent(event);
}

bool CWizardDlg::set_active_page(int index) {
    CWizardPage* target = page(index);
    if (!target) return false;
    if (CWizardPage* leaving = current_page()) {
        if (!leaving->save_data()) return false;
        leaving->hide();
    }
    current_ = index;
    target->show();
    int activated = target->activate();
    refresh_picture();
    return activated != 0;
}

void CWizardDlg::on_next() {
    CWizardPage* present = current_page();
    // Without pages there is nothing checked, so nothing is run.
    if (!present) {
        accept();
        return;
    }
    const int last = page_count() - 1;
    if (current_ < last) {
        if (present->validate() < 0) return;
        set_active_page(current_ + 1);
        if (current_ == last) next_->setText(QString::fromLatin1(WIZARD_END_TEXT));
        if (current_ > 0) back_->setEnabled(true);
        return;
    }
    if (present->validate() < 0) return;
    for (const Entry& entry : pages_) entry.page->save_data();
    destroy_pages();
    // The names as the sheets would run them (a Create's Delta gets ".dlt"),
    // and remembered as the sheets remember theirs.
    complete_output_names(settings_);
    remember_job(settings_);
    // The job runs while the wizard, without its pages, is still up. Its
    // progress window keeps events flowing, so the wizard's own buttons and
    // its close box are held until the job has ended.
    settings_.UseProgressWindow = 1;
    running_ = true;
    for (QPushButton* button : {next_, back_, cancel_}) button->setEnabled(false);
    if (launcher_) launcher_(settings_);
    running_ = false;
    accept();
}

void CWizardDlg::on_back() {
    if (current_ > 0) {
        if (current_ == page_count() - 1) next_->setText(QString::fromLatin1(WIZARD_NEXT_TEXT));
        set_active_page(current_ - 1);
    }
    if (current_ <= 0) back_->setEnabled(false);
}

void CWizardDlg::reject() {
    if (running_) return;
    destroy_pages();
    QDialog::reject();
}

void CWizardDlg::destroy_pages() {
    for (Entry& entry : pages_) {
        delete entry.page;
        entry.page = nullptr;
    }
    pages_.clear();
}

void CWizardDlg::set_title_text(const QString& text) { title_->setText(text); }

void CWizardDlg::repaint_title() { title_->update(); }

void CWizardDlg::refresh_picture() { picture_->setPictureId(wizard_picture_for_step(current_, settings_.Action)); }

}  // namespace quoralith
