// The Create and Restore sheets: one property-sheet class whose title tells
// the kind of job. Its pages write the user's choices straight into the
// application's current JobSettings; OK and Apply validate the job and hand it
// to the job starter; Record and Play keep and bring back jobs of the sheet's
// history file.
//
// Thread safety: user-interface thread only.
#pragma once

#include "sheets/history.h"
#include "sheets/job_settings.h"
#include "sheets/page_rules.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QDialog>
#include <QFontMetrics>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QString>

#include <functional>
#include <memory>
#include <utility>
#include <vector>

class QLabel;
class QTabWidget;

namespace quoralith {

// Pixels between the history list's tab stops: 120 dialog units, a dialog unit
// being a quarter of the average character width of `metrics`' font.
int history_tab_stop_pixels(const QFontMetrics& metrics);
// The fields of a history line between its tabs, each with the x offset it is
// drawn at: a tab moves on to the next multiple of `stop` past the text so far.
// Every field but the last (the date) is shortened in the middle to fit its
// column, so that the ends of long paths, where entries differ, stay visible.
std::vector<std::pair<int, QString>> history_line_fields(const QString& line, const QFontMetrics& metrics,
                                                         int stop);
// The whole text of a history line, one field a line: the entry's tooltip.
QString history_entry_tooltip(const QString& line);

class PictureButton;
class CGeneralPage;
class CMatchNamsPage;

inline constexpr const char* CREATE_SHEET_TITLE = "Delta File/Directory Creation";
inline constexpr const char* RESTORE_SHEET_TITLE = "Restore Updated File/Directory";
// The line drawn along the sheet's foot.
inline constexpr const char* SHEET_FOOTER =
    "Quoralith 1.1 - send only what changed. Made by the Quoralith developers.";

// Commands inside a sheet (the id travels as the command).
enum SheetCommand : int {
    ID_SHEET_OK = 1,
    ID_SHEET_CANCEL = 2,
    ID_SHEET_HELP = 9,
    ID_SHEET_APPLY = 12321,
    ID_PLAY = 500,
    ID_RECORD = 501,
    ID_HISTORY_SET = 502,
    ID_HISTORY_RESET = 503,
    ID_HISTORY_DELETE = 504,
    ID_HISTORY_CLOSE = 800,
    CMD_SETTINGS_LOADED = 5000,
    CMD_SETTINGS_RESTORED = 5001,
    CMD_RECORD_DISABLE = 5400,
    CMD_RECORD_ENABLE = 5401,
    IDC_HISTORY_LIST = 1050,
};

// Starts a validated job owned by `owner` and returns when it has ended (the
// job runner's result). The desktop program shows the progress window; tests
// pass a recorder.
using JobStarter = std::function<int(QWidget* owner, JobSettings& job)>;

// What a sheet works on: the application's three job records, the help
// contents page, and the way jobs are started.
struct SheetContext {
    JobSettings* defaults = nullptr;
    JobSettings* current = nullptr;
    JobSettings* backup = nullptr;
    QString help_file;
    JobStarter start_job;
    LocalClock clock;  // empty: the real local time
    // A delta the program was handed (a file manager's "open"): the Restore
    // sheet starts with it as the Delta, and the restored name follows it.
    QString opened_delta;
};

class COperationSheet;

// A page of a sheet. Its controls are built at construction; its own
// initialisation (picture button, first show) runs when it is first activated,
// and every later activation shows the current job again.
class CSheetPage : public QWidget {
    Q_OBJECT
public:
    CSheetPage(COperationSheet& sheet, SheetPage kind, QWidget* parent = nullptr);

    SheetPage kind() const { return kind_; }
    bool initialised() const { return initialised_; }
    // The page's first activation runs initialise(), later ones show_current().
    void activate();
    // Brings every control into line with the current job.
    virtual void show_current() = 0;
    // Settings commands (CMD_SETTINGS_LOADED, CMD_SETTINGS_RESTORED) show the
    // current job again.
    virtual void on_command(int command);
    PictureButton* picture_button() const { return picture_button_; }
    // The job the page edits: the application's current record.
    JobSettings& job() const;

protected:
    virtual void initialise();
    // Puts the page's picture button (id 1001) at the placeholder's top left.
    void create_picture_button(QWidget* placeholder);
    COperationSheet& sheet() const { return sheet_; }
    bool create_sheet() const;
    // A tick of `box` writes 1 or 0 into `field` of the current job; then the
    // page shows the job again unless `refresh` is false.
    void bind_flag(QAbstractButton* box, int JobSettings::*field, bool refresh = true);
    // A click on a button of `group` writes the button's id into `field`.
    void bind_choice(QButtonGroup* group, int JobSettings::*field);

private:
    COperationSheet& sheet_;
    SheetPage kind_;
    bool initialised_ = false;
    PictureButton* picture_button_ = nullptr;
};

class COperationSheet : public QDialog {
    Q_OBJECT
public:
    COperationSheet(const QString& title, SheetContext context, QWidget* owner = nullptr);
    ~COperationSheet() override;

    // Adds a page as the next tab (construction order is tab order).
    void add_page(CSheetPage* page, const QString& tab_text);

    // Sends a command to the sheet as its buttons and pages do.
    void on_command(int command);

    // True for the Create sheet; told by the title alone.
    bool is_create() const;
    JobSettings& current() const { return *context_.current; }
    const SheetContext& context() const { return context_; }
    const std::string& history_file() const { return history_file_; }

    // Full validation and, when it passes, the job: the match file of a
    // Create, then the job starter. Returns false when the job did not start.
    bool start_job();

    // The two process-wide flags the General page and the history share.
    bool loading_latch() const { return loading_; }
    bool changed_since_record() const { return changed_since_record_; }
    void set_changed_since_record(bool changed) { changed_since_record_ = changed; }
    // Marks the job as changed (enables Apply) or unchanged.
    void set_modified(bool modified);

    QTabWidget* tabs() const { return tabs_; }
    CSheetPage* page(int index) const;
    CSheetPage* active_page() const;
    CGeneralPage* general_page() const;
    CMatchNamsPage* match_page() const;

    // The history list and its buttons exist only while the list is shown.
    bool list_shown() const { return list_ != nullptr; }
    QListWidget* history_list() const { return list_; }
    // The keyword of the last help topic asked for.
    QString last_help_keyword() const { return last_help_keyword_; }
    // The line under the buttons that tells what the last Record did.
    QLabel* record_status() const { return record_status_; }

protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void initialise();
    void layout_controls();
    void place_controls();
    void place_history_controls();
    void centre_on_owner();
    void show_validation(const std::vector<std::string>& messages);
    void help();
    void record();
    void play();
    void fill_list();
    void load_selected();
    void select_row(int row);
    void history_set();
    void history_reset();
    void history_delete();
    void history_close();
    bool focus_in_general_edit() const;

    SheetContext context_;
    bool initialised_ = false;
    // The size the sheet opened at; a size the user changed is kept for the
    // next sheet of its kind.
    QSize opened_size_;
    std::string history_file_;
    std::unique_ptr<HistoryRecorder> recorder_;
    bool loading_ = false;
    bool changed_since_record_ = false;
    QString last_help_keyword_;
    std::vector<CSheetPage*> pages_;

    QTabWidget* tabs_ = nullptr;
    QPushButton* ok_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QPushButton* apply_ = nullptr;
    QPushButton* help_ = nullptr;
    QLabel* record_label_ = nullptr;
    PictureButton* record_button_ = nullptr;
    QLabel* play_label_ = nullptr;
    PictureButton* play_button_ = nullptr;
    QLabel* record_status_ = nullptr;
    QPointer<QListWidget> list_;
    QPointer<QPushButton> set_;
    QPointer<QPushButton> reset_;
    QPointer<QPushButton> delete_;
};

// Builds the Create (create = true) or Restore sheet with its pages.
std::unique_ptr<COperationSheet> make_operation_sheet(bool create, const SheetContext& context,
                                                      QWidget* owner);
// Commands 32771 and 32772: builds the sheet, runs it modally and destroys it.
void run_operation_sheet(bool create, const SheetContext& context, QWidget* owner);

}  // namespace quoralith
