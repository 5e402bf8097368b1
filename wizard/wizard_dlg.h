// The wizard: a modal dialog that leads through one Create or Restore job of
// a file pair or a folder pair in five steps, one page per step, and then
// runs the job. Its pages edit the job record it is given; every setting the
// pages do not touch is whatever that record already holds.
//
// Thread safety: user-interface thread only.
#pragma once

#include "sheets/job_settings.h"

#include <QDialog>

#include <functional>
#include <vector>

class QFrame;
class QPushButton;

namespace quoralith {

class CWizardPage;
class CWizardTitle;
class PictureFrame;

inline constexpr int IDD_WIZARD = 1540;
inline constexpr const char* WIZARD_CAPTION = "Quoralith Wizard";
inline constexpr const char* WIZARD_NEXT_TEXT = "&Next >>";
inline constexpr const char* WIZARD_END_TEXT = "&End";
inline constexpr const char* WIZARD_BACK_TEXT = "<< &Back";
inline constexpr const char* WIZARD_CANCEL_TEXT = "&Cancel";
inline constexpr const char* WIZARD_HELP_KEYWORD = "Wizard";

// Controls of the wizard itself (their objectNames; the two framework
// buttons are "IDOK" and "IDCANCEL").
enum WizardControl : int {
    IDC_WIZARD_PICTURE = 1002,
    IDC_WIZARD_SEPARATOR = 1009,
    IDC_WIZARD_TITLE = 1010,
    IDC_WIZARD_BACK = 1011,
    IDC_WIZARD_PAGE_AREA = 1012,
};
inline constexpr int WIZARD_PICTURE_WIDTH = 199;
inline constexpr int WIZARD_PICTURE_HEIGHT = 297;

// The picture beside step `index` (0 to 4; -1 before the first) of a job
// whose Action is `action`.
int wizard_picture_for_step(int index, int action);

class CWizardDlg : public QDialog {
    Q_OBJECT
public:
    // Runs the finished job; called with the record once every page has
    // been checked and saved, its result is not used.
    using JobLauncher = std::function<int(JobSettings& job)>;

    CWizardDlg(JobSettings& current, JobLauncher launcher, QWidget* parent = nullptr);
    ~CWizardDlg() override;

    // Appends a page (the wizard takes ownership) and its resource id.
    void add_page(CWizardPage* page, int resource_id);

    // The dialog's initialisation: icon, pages placed over the page area,
    // the first page made current, button texts, picture frame size, centred.
    // Runs once, at the latest when the wizard is first shown.
    void initialize();

    // Leaves the current page (its data saved; a failure to save keeps it)
    // and shows page `index`; the result of that page's activation.
    virtual bool set_active_page(int index);

    int current_index() const { return current_; }
    int page_count() const { return int(pages_.size()); }
    CWizardPage* page(int index) const;
    int page_resource(int index) const;
    CWizardPage* current_page() const { return page(current_); }

    // Next or End: checks the current page, then goes forward or runs the job.
    void on_next();
    // Back: to the previous page, without any check.
    void on_back();
    // Cancel: closes the wizard; what the pages wrote stays in the record.
    // Ignored while the job runs.
    void reject() override;

    // The help contents page beside which F1 finds the wizard's topic
    // (WIZARD_HELP_KEYWORD).
    void set_help_file(const QString& help_file) { help_file_ = help_file; }
    void help();

    // Used by the pages.
    void set_title_text(const QString& text);
    void repaint_title();
    void refresh_picture();

    JobSettings& settings() const { return settings_; }
    QPushButton* next_button() const { return next_; }
    QPushButton* back_button() const { return back_; }
    QPushButton* cancel_button() const { return cancel_; }
    CWizardTitle* title() const { return title_; }
    PictureFrame* picture_frame() const { return picture_; }
    QFrame* page_area() const { return page_area_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    void destroy_pages();

    struct Entry {
        CWizardPage* page;
        int resource;
    };
    JobSettings& settings_;
    JobLauncher launcher_;
    std::vector<Entry> pages_;
    int current_ = -1;
    bool initialized_ = false;
    bool running_ = false;
    QString help_file_;

    CWizardTitle* title_ = nullptr;
    PictureFrame* picture_ = nullptr;
    QFrame* page_area_ = nullptr;
    QPushButton* next_ = nullptr;
    QPushButton* back_ = nullptr;
    QPushButton* cancel_ = nullptr;
};

}  // namespace quoralith
