// The wizard's pages: what each step shows, stores and checks.
#include "wizard/wizard_pages.h"

#include "base/recent_names.h"
#include "sheets/job_validation.h"
#include "sheets/remembered_jobs.h"
#include "shell/common/folder_browser.h"
#include "shell/common/recent_menu.h"
#include "shell/common/ui_seams.h"
#include "wizard/wizard_dlg.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <sys/stat.h>

namespace quoralith {

namespace {

QString id_name(int id) { return QString::number(id); }

// The pieces of the kind messages are joined with nothing between them: the
// two apostrophes of each literal stand right against the name.
QString quoted(const QString& name) { return QStringLiteral("''") + name + QStringLiteral("''"); }

}  // namespace

void store_name(char (&field)[PATH_FIELD_SIZE], const QString& name) {
    QByteArray bytes = QFile::encodeName(name);
    qsizetype length = qMin<qsizetype>(bytes.size(), PATH_FIELD_SIZE - 1);
    // A cut inside a multi-byte character would leave half of it behind.
    if (length < bytes.size())
        while (length > 0 && (static_cast<unsigned char>(bytes[length]) & 0xC0) == 0x80) --length;
    set_field(field, std::string_view(bytes.constData(), std::size_t(length)));
}

QString stored_name(const char* field) { return QFile::decodeName(field); }

PathPageTexts path_page_texts(int step, bool restore, bool folder_mode) {
    const QString kind = folder_mode ? QStringLiteral("Folder") : QStringLiteral("File");
    QString what;
    QString verb = QStringLiteral("Input");
    switch (step) {
        case 3: what = QStringLiteral("Base"); break;
        case 4: what = restore ? QStringLiteral("Delta") : QStringLiteral("Updated"); break;
        default:
            what = restore ? QStringLiteral("Updated") : QStringLiteral("Delta");
            verb = QStringLiteral("Output");
            break;
    }
    return {QStringLiteral("Step %1\t  %2 %3 %4 Name").arg(step).arg(verb, what, kind), what + QLatin1Char(' ') + kind};
}

QString check_wizard_name(int step, bool restore, bool folder_mode, const QString& name) {
    if (name.isEmpty()) {
        const char* what = step == 3 ? "Base" : ((step == 4) != restore ? "Updated" : "Delta");
        return QStringLiteral("%1 name must be specified.").arg(QLatin1String(what));
    }
    // The record keeps 127 bytes of a name. A longer one would be checked here
    // in full but used cut short by the job, which could then read or
    // overwrite a file the user never named.
    if (QFile::encodeName(name).size() > qsizetype(PATH_FIELD_SIZE - 1))
        return quoted(name) + QStringLiteral(" is too long. A name may have at most %1 characters.")
                                  .arg(PATH_FIELD_SIZE - 1);

    struct stat status {};
    const bool exists = ::stat(QFile::encodeName(name).constData(), &status) == 0;
    const bool directory = exists && S_ISDIR(status.st_mode);
    const QString not_a_folder = quoted(name) + QStringLiteral(" is a file name. You may only specify a folder name! ");
    const QString not_a_file = quoted(name) + QStringLiteral(" is a folder name. You may only specify a file name! ");
    if (step == 5) {
        // The output may be new; an existing one must be of the job's kind.
        if (folder_mode) return !exists || directory ? QString() : not_a_folder;
        if (directory) return not_a_file;
        // A Create's Delta gets ".dlt" when it has no extension, as in the
        // sheets; the name the job will write must not be a folder either.
        if (!restore && !has_extension(QFile::encodeName(name).toStdString())) {
            const QString completed = name + QLatin1Char('.') + QLatin1String(DELTA_EXTENSION);
            struct stat completed_status {};
            if (::stat(QFile::encodeName(completed).constData(), &completed_status) == 0 &&
                S_ISDIR(completed_status.st_mode))
                return quoted(completed) + QStringLiteral(" is a folder name. You may only specify a file name! ");
        }
        return {};
    }
    if (folder_mode) {
        if (!exists) return QStringLiteral("Folder ") + quoted(name) + QStringLiteral(" does not exist");
        return directory ? QString() : not_a_folder;
    }
    if (!exists) return QStringLiteral("File ") + quoted(name) + QStringLiteral(" does not exist");
    return directory ? not_a_file : QString();
}

CWizardPage::CWizardPage(JobSettings& settings, QWidget* parent) : QWidget(parent), settings_(settings) {}

void CWizardPage::keyPressEvent(QKeyEvent* event) {
    switch (event->key()) {
        case Qt::Key_Return:
        case Qt::Key_Enter:
        case Qt::Key_Escape: event->accept(); return;
        default: QWidget::keyPressEvent(event);
    }
}

void CWizardPage::set_wizard_title(const QString& title) {
    if (wizard_) wizard_->set_title_text(title);
}

CWizardActionPage::CWizardActionPage(JobSettings& settings, QWidget* parent) : CWizardPage(settings, parent) {
    setObjectName(id_name(IDD_WIZARD_ACTION));
    create_ = new QRadioButton(QStringLiteral("Create delta "), this);
    create_->setObjectName(id_name(IDC_WIZARD_CREATE));
    create_->setGeometry(30, 40, 280, 24);
    restore_ = new QRadioButton(QStringLiteral("Restore from delta"), this);
    restore_->setObjectName(id_name(IDC_WIZARD_RESTORE));
    restore_->setGeometry(30, 80, 280, 24);
    create_->setChecked(true);
    // Only a click writes the action; showing it from the record does not.
    connect(create_, &QRadioButton::clicked, this, [this] {
        this->settings().Action = 0;
        if (CWizardDlg* owner = wizard()) owner->refresh_picture();
    });
    connect(restore_, &QRadioButton::clicked, this, [this] {
        this->settings().Action = 1;
        if (CWizardDlg* owner = wizard()) owner->refresh_picture();
    });
}

int CWizardActionPage::activate() {
    set_wizard_title(QStringLiteral("Step 1\t  Select Type Of Action"));
    // The choice shown is the one the record holds, so that what runs is what
    // the user saw, also after an earlier wizard job left a restore behind.
    (settings().Action == 1 ? restore_ : create_)->setChecked(true);
    return 1;
}

CWizardModePage::CWizardModePage(JobSettings& settings, QWidget* parent) : CWizardPage(settings, parent) {
    setObjectName(id_name(IDD_WIZARD_MODE));
    files_ = new QRadioButton(this);
    files_->setObjectName(id_name(IDC_WIZARD_FILES));
    files_->setGeometry(30, 40, 280, 24);
    folders_ = new QRadioButton(this);
    folders_->setObjectName(id_name(IDC_WIZARD_FOLDERS));
    folders_->setGeometry(30, 80, 280, 24);
    files_->setChecked(true);
    compact_ = new QCheckBox(QStringLiteral("Compact delta (smaller, our own format)"), this);
    compact_->setObjectName(id_name(IDC_WIZARD_COMPACT));
    compact_->setGeometry(30, 120, 280, 24);
    connect(compact_, &QCheckBox::clicked, this,
            [this](bool checked) { this->settings().CompactLevel = checked ? COMPACT_LEVEL_ON : 0; });
    connect(files_, &QRadioButton::clicked, this, [this] { this->settings().IsFile = JOB_SINGLE_FILE; });
    connect(folders_, &QRadioButton::clicked, this, [this] { this->settings().IsFile = JOB_DIRECTORY; });
}

int CWizardModePage::activate() {
    if (settings().Action == 1) {
        set_wizard_title(QStringLiteral("Step 2\t  Select Restore Option"));
        files_->setText(QStringLiteral("Restore File From Delta"));
        folders_->setText(QStringLiteral("Restore Folder From Delta"));
    } else {
        set_wizard_title(QStringLiteral("Step 2\t  Select Create Option"));
        files_->setText(QStringLiteral("Create Delta For Files"));
        folders_->setText(QStringLiteral("Create Delta For Folders"));
    }
    (settings().IsFile != JOB_SINGLE_FILE ? folders_ : files_)->setChecked(true);
    // A restore reads either format from the delta: the choice is a Create's.
    compact_->setVisible(settings().Action != 1);
    compact_->setChecked(settings().CompactLevel != 0);
    if (wizard()) wizard()->repaint_title();
    return 1;
}

CWizardPathPage::CWizardPathPage(JobSettings& settings, int step, QWidget* parent)
    : CWizardPage(settings, parent), step_(step) {
    setObjectName(id_name(step == 3 ? IDD_WIZARD_BASE : step == 4 ? IDD_WIZARD_INPUT : IDD_WIZARD_OUTPUT));
    label_ = new QLabel(this);
    label_->setObjectName(id_name(IDC_WIZARD_LABEL));
    label_->setGeometry(20, 36, 290, 20);
    edit_ = new QLineEdit(this);
    edit_->setObjectName(id_name(IDC_WIZARD_NAME));
    edit_->setGeometry(20, 60, 210, 26);
    browse_ = new QPushButton(QStringLiteral("Browse"), this);
    browse_->setObjectName(id_name(IDC_WIZARD_BROWSE));
    browse_->setGeometry(238, 60, 80, 26);
    label_->setBuddy(edit_);
    // Every change of the text, typed or put there by Browse, is stored.
    connect(edit_, &QLineEdit::textChanged, this, &CWizardPathPage::store);
    connect(browse_, &QPushButton::clicked, this, &CWizardPathPage::browse);
    attach_recent_names(edit_, [this] { return QString::fromLatin1(recent_list()); });
}

const char* CWizardPathPage::recent_list() const {
    const bool restore = settings().Action == 1;
    switch (step_) {
        case 3: return RECENT_BASE;
        case 4: return restore ? RECENT_DELTA : RECENT_UPDATED;
        default: return restore ? RECENT_UPDATED : RECENT_DELTA;
    }
}

QString CWizardPathPage::suggestion() const {
    const JobSettings& job = settings();
    if (step_ != 5) return {};
    return stored_name((job.Action == 1 ? suggested_restored_name(job.Delta, job.BasePath)
                                        : suggested_delta_name(job.UpdatedPath))
                           .c_str());
}

CWizardPathPage::NameField& CWizardPathPage::field() const {
    JobSettings& job = settings();
    const bool restore = job.Action == 1;
    switch (step_) {
        case 3: return job.BasePath;
        case 4: return restore ? job.Delta : job.UpdatedPath;
        default: return restore ? job.UpdatedPath : job.Delta;
    }
}

void CWizardPathPage::store(const QString& text) { store_name(field(), text); }

int CWizardPathPage::activate() {
    const JobSettings& job = settings();
    PathPageTexts texts = path_page_texts(step_, job.Action == 1, job.IsFile != JOB_SINGLE_FILE);
    set_wizard_title(texts.title);
    label_->setText(texts.label);
    // The output step offers the name that follows from the input, as the
    // sheets do, until the user types one of their own.
    if (step_ == 5 && (edit_->text().isEmpty() || edit_->text() == suggested_)) {
        suggested_ = suggestion();
        edit_->setText(suggested_);
    }
    return 1;
}

bool CWizardPathPage::save_data() {
    // The field follows the action: a name typed under one action and kept
    // through a change of action is stored where the present action reads it.
    store(edit_->text());
    return true;
}

int CWizardPathPage::validate() {
    const JobSettings& job = settings();
    QString message = check_wizard_name(step_, job.Action == 1, job.IsFile != JOB_SINGLE_FILE, edit_->text());
    if (message.isEmpty()) return 0;
    MessageBox::show(window(), message, QString::fromLatin1(APPLICATION_TITLE), MessageIcon::Warning);
    return -1;
}

void CWizardPathPage::browse() {
    QString chosen;
    if (settings().IsFile != JOB_SINGLE_FILE) {
        QString folder;  // nothing preselected
        if (BrowseForFolder(window(), folder)) chosen = folder;
    } else if (step_ == 5) {
        // The output may be a new name: a save dialog, opened on the name
        // typed, else on the suggested name in the folder of the input.
        QString start = edit_->text();
        const JobSettings& job = settings();
        const QString input = stored_name(job.Action == 1 ? job.Delta : job.UpdatedPath);
        if (start.isEmpty() && !input.isEmpty()) {
            const QString folder = QFileInfo(input).absolutePath();
            const QString name = QFileInfo(suggestion()).fileName();
            start = name.isEmpty() ? folder : QDir(folder).filePath(name);
        }
        chosen = FileDialog::getSaveFileName(window(), QString(), start, QString::fromLatin1(WIZARD_FILE_FILTER));
    } else {
        chosen = FileDialog::getOpenFileName(window(), QString(), QString(), QString::fromLatin1(WIZARD_FILE_FILTER));
    }
    // A cancelled browse keeps what the field and the edit held.
    if (chosen.isEmpty()) return;
    store(chosen);
    edit_->setText(chosen);
}

}  // namespace quoralith
