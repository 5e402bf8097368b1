// The main window: menu, toolbar, status bar and the picture view, and the
// routing of every command of the menu, the toolbar and the accelerators.
//
// Thread safety: user-interface thread only.
#pragma once

#include "sheets/gui/operation_sheet.h"
#include "shell/app/lock_keys.h"

#include <QMainWindow>
#include <QMap>

class QAction;
class QCloseEvent;
class QLabel;
class QTimer;
class QToolBar;

namespace quoralith {

class CMorvaneApp;
class CMorvaneDoc;
class CMorvaneView;

// The main window's caption, set by the view whenever it paints.
inline constexpr const char* MAIN_CAPTION = " Welcome to Quoralith World";
// The toolbar strip holds eight images of this size side by side.
inline constexpr int TOOLBAR_IMAGE_WIDTH = 70;
inline constexpr int TOOLBAR_IMAGE_HEIGHT = 63;
inline constexpr int TOOLBAR_BUTTON_WIDTH = 75;
inline constexpr int TOOLBAR_BUTTON_HEIGHT = 68;

class CMainFrame : public QMainWindow {
    Q_OBJECT
public:
    CMainFrame(CMorvaneApp& app, CMorvaneDoc& document, QWidget* parent = nullptr);
    ~CMainFrame() override;

    // The action of a command id (its objectName is the id), or null.
    QAction* action(int command) const;
    QToolBar* tool_bar() const { return tool_bar_; }
    CMorvaneView* view() const { return view_; }
    // The status bar's lock indicators, by their texts "CAP", "NUM", "SCRL".
    QLabel* indicator(const QString& text) const;

    // The view's creation work that needs the window up: the startup sound.
    void start_view();

    // Replaces the lock-key reader (tests) and reads it at once.
    void set_lock_key_reader(LockKeyReader reader);
    void refresh_indicators();

    // Sends `command` as the menu, the toolbar and the accelerators do.
    void dispatch(int command);

    // How the Create and Restore sheets start their jobs (tests record them).
    void set_job_starter(JobStarter starter) { job_starter_ = std::move(starter); }
    // Commands 32771 and 32772: the Create or the Restore sheet, run modally.
    void open_operation_sheet(bool create, const QString& opened_delta = {});
    // A file handed to the program (a delta opened from a file manager): the
    // Restore sheet with it as the Delta, when the file ends with a delta's
    // trailer; otherwise a box says it is not one. Returns whether the sheet opened.
    bool open_delta(const QString& path);

protected:
    // A running job is stopped, and has ended, before the window closes.
    void closeEvent(QCloseEvent* event) override;

signals:
    // Every command passes here first, whoever sent it.
    void commandDispatched(int command);


private:
    void build_actions();
    void build_menu();
    void build_tool_bar();
    void build_status_bar();
    void toggle_bar(QWidget* bar, const char* key);
    void centre_on_screen(int raise_by);
    void show_tell_friend();
    void show_opportunities();
    void open_picture();
    void new_picture();
    void print_picture();

    CMorvaneApp& app_;
    CMorvaneDoc& document_;
    CMorvaneView* view_ = nullptr;
    QToolBar* tool_bar_ = nullptr;
    QMap<int, QAction*> actions_;
    QLabel* caps_ = nullptr;
    QLabel* num_ = nullptr;
    QLabel* scroll_ = nullptr;
    QTimer* lock_timer_ = nullptr;
    LockKeyReader lock_reader_;
    JobStarter job_starter_;
};

}  // namespace quoralith
