// The five steps of the wizard. Each page is a borderless child of the wizard
// that writes the user's choice straight into the job record: the action
// (step 1), the kind of job (step 2) and the three names (steps 3 to 5).
//
// Thread safety: user-interface thread only.
#pragma once

#include "sheets/job_settings.h"

#include <QString>
#include <QWidget>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

namespace quoralith {

class CWizardDlg;

// Resource ids of the pages, in step order.
enum WizardPageResource : int {
    IDD_WIZARD_ACTION = 130,
    IDD_WIZARD_MODE = 1541,
    IDD_WIZARD_BASE = 131,
    IDD_WIZARD_INPUT = 132,
    IDD_WIZARD_OUTPUT = 133,
};

// Control ids on the pages (their objectNames).
enum WizardPageControl : int {
    IDC_WIZARD_CREATE = 1091,   // step 1 "Create delta "
    IDC_WIZARD_RESTORE = 1092,  // step 1 "Restore from delta"
    IDC_WIZARD_FILES = 1000,    // step 2, the single-file choice
    IDC_WIZARD_FOLDERS = 1001,  // step 2, the folder choice
    IDC_WIZARD_COMPACT = 1016,  // step 2 of a Create, "Compact delta"
    IDC_WIZARD_LABEL = 1023,    // steps 3 to 5
    IDC_WIZARD_NAME = 1000,
    IDC_WIZARD_BROWSE = 1002,
};

// The file filter of Browse in file mode: every file, with or without a dot.
inline constexpr const char* WIZARD_FILE_FILTER = "All files(*.*) (*)";

// What the wizard asks of every page.
class CWizardPage : public QWidget {
    Q_OBJECT
public:
    explicit CWizardPage(JobSettings& settings, QWidget* parent = nullptr);

    // Called by the wizard when the page becomes current: sets the wizard's
    // title and the page's own texts. Returns non-zero on success.
    virtual int activate() = 0;
    // 0 or more lets the user go forward, a negative value keeps the page.
    virtual int validate() { return 0; }
    // Takes the controls' values into the record; false keeps the page
    // current. Every page already stores each change as it happens.
    virtual bool save_data() { return true; }

    // Set when the page is registered with a wizard.
    void set_wizard(CWizardDlg* wizard) { wizard_ = wizard; }
    CWizardDlg* wizard() const { return wizard_; }
    JobSettings& settings() const { return settings_; }

protected:
    // Enter and Escape in a page do nothing: they neither go forward nor
    // close the wizard.
    void keyPressEvent(QKeyEvent* event) override;
    void set_wizard_title(const QString& title);

private:
    JobSettings& settings_;
    CWizardDlg* wizard_ = nullptr;
};

// Step 1: create a delta or restore from one.
class CWizardActionPage : public CWizardPage {
    Q_OBJECT
public:
    explicit CWizardActionPage(JobSettings& settings, QWidget* parent = nullptr);
    int activate() override;
    QRadioButton* create_button() const { return create_; }
    QRadioButton* restore_button() const { return restore_; }

private:
    QRadioButton* create_ = nullptr;
    QRadioButton* restore_ = nullptr;
};

// Step 2: a single file or a folder.
class CWizardModePage : public CWizardPage {
    Q_OBJECT
public:
    explicit CWizardModePage(JobSettings& settings, QWidget* parent = nullptr);
    int activate() override;
    QRadioButton* files_button() const { return files_; }
    QRadioButton* folders_button() const { return folders_; }
    QCheckBox* compact_box() const { return compact_; }

private:
    QRadioButton* files_ = nullptr;
    QRadioButton* folders_ = nullptr;
    QCheckBox* compact_ = nullptr;  // a Create only: the compact format beside the job's algorithms
};

// Steps 3 to 5: one name, typed or browsed, checked before going on.
class CWizardPathPage : public CWizardPage {
    Q_OBJECT
public:
    CWizardPathPage(JobSettings& settings, int step, QWidget* parent = nullptr);
    int activate() override;
    int validate() override;
    bool save_data() override;

    int step() const { return step_; }
    QLabel* label() const { return label_; }
    QLineEdit* name_edit() const { return edit_; }
    QPushButton* browse_button() const { return browse_; }
    // The record field this page writes in the present action.
    using NameField = char[PATH_FIELD_SIZE];
    NameField& field() const;

    // Browse: in file mode an open dialog for the inputs and a save dialog
    // for the output (step 5), the folder browser in folder mode.
    void browse();
    // The output name step 5 suggests for the input of step 4 (empty on the
    // other steps).
    QString suggestion() const;

private:
    void store(const QString& text);
    // The recent-names list of the name this page asks for now.
    const char* recent_list() const;

    int step_;
    QLabel* label_ = nullptr;
    QLineEdit* edit_ = nullptr;
    QPushButton* browse_ = nullptr;
    // The last name suggested on step 5; a name the user typed stays.
    QString suggested_;
};

class CWizardBasePage : public CWizardPathPage {
    Q_OBJECT
public:
    explicit CWizardBasePage(JobSettings& settings, QWidget* parent = nullptr) : CWizardPathPage(settings, 3, parent) {}
};

class CWizardInputPage : public CWizardPathPage {
    Q_OBJECT
public:
    explicit CWizardInputPage(JobSettings& settings, QWidget* parent = nullptr)
        : CWizardPathPage(settings, 4, parent) {}
};

class CWizardOutputPage : public CWizardPathPage {
    Q_OBJECT
public:
    explicit CWizardOutputPage(JobSettings& settings, QWidget* parent = nullptr)
        : CWizardPathPage(settings, 5, parent) {}
};

// The title and label a path page shows for a job of this kind.
struct PathPageTexts {
    QString title;
    QString label;
};
PathPageTexts path_page_texts(int step, bool restore, bool folder_mode);

// The check of steps 3 to 5 on the name as typed: the message to show, or an
// empty text when the user may go on. Steps 3 and 4 name inputs that must
// exist and be of the job's kind; step 5 names the output, which may be new
// but must not be of the other kind, neither as typed nor as the job will
// write it (a Create's Delta with ".dlt" added).
QString check_wizard_name(int step, bool restore, bool folder_mode, const QString& name);

// A name as stored in a record field (the file-system encoding, cut to 127
// bytes without splitting a character) and back.
void store_name(char (&field)[PATH_FIELD_SIZE], const QString& name);
QString stored_name(const char* field);

}  // namespace quoralith
