// The main window and its command routing.
#include "shell/app/main_frame.h"

#include "coder/format.h"
#include "jobs/gui/job_launcher.h"
#include "mail/gui/tell_friend_dialog.h"
#include "mail/mail_defaults.h"
#include "shell/app/commands.h"
#include "shell/app/morvane_app.h"
#include "shell/app/morvane_doc.h"
#include "shell/app/morvane_view.h"
#include "shell/app/opportunities_dialog.h"
#include "shell/common/dib.h"
#include "shell/common/resource_picture.h"
#include "shell/common/ui_seams.h"
#include "wizard/wizard_command.h"

#include <QAction>
#include <QCloseEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLabel>
#include <QMenuBar>
#include <QScreen>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>

namespace quoralith {

namespace {

// A command's menu text and its string: the status-bar prompt, a line feed,
// and the tooltip.
struct CommandText {
    int id;
    const char* menu_text;
    const char* prompt_and_tip;
};

constexpr CommandText COMMAND_TEXTS[] = {
    {ID_APP_EXIT, "E&xit", "Quit the application\nQuit"},
    {ID_VIEW_TOOLBAR, "&Toolbar", "Show or hide the toolbar"},
    {ID_VIEW_STATUS_BAR, "&Status Bar", "Show or hide the status bar"},
    {ID_ACTIONS_CREATE, "&Delta File/Directory Creation", "Create delta file(directory)\nCreate Delta"},
    {ID_ACTIONS_RESTORE, "&Restore Updated File/Directory", "Restore file(directory)\n Restore From Delta"},
    {ID_ACTIONS_WIZARD, "Quoralith &Wizard", "Start Quoralith Wizard\n Wizard"},
    {ID_ACTIONS_TELL_FRIEND, "&Tell Your Friend ",
     "Allows you to send Quoralith to your friends/colleagues\n Tell Your Friends"},
    {ID_ACTIONS_OPPORTUNITIES, "&Countless Opportunities",
     "Provides more information on Quoralith and all its applications.\nCountless Opportunities"},
    {ID_OPTIONS_SOUND, "&Play sound on startup", ""},
    {ID_OPTIONS_PICTURE, "&Show picture on background", ""},
    {ID_HELP_TOPICS, "&Help topics", "Help Information\nHelp"},
    {ID_APP_ABOUT, "&About Quoralith...", "Display program information, version number and copyright\nAbout Quoralith"},
    {ID_FILE_NEW, "&New", ""},
    {ID_FILE_OPEN, "&Open...", ""},
    {ID_FILE_PRINT, "&Print...", ""},
};

constexpr int TOOLBAR_COMMANDS[] = {ID_ACTIONS_CREATE, ID_ACTIONS_RESTORE,      ID_ACTIONS_WIZARD, ID_HELP_TOPICS,
                                    ID_ACTIONS_TELL_FRIEND, ID_ACTIONS_OPPORTUNITIES, ID_APP_ABOUT,      ID_APP_EXIT};

constexpr int LOCK_POLL_MS = 300;

}  // namespace

CMainFrame::CMainFrame(CMorvaneApp& app, CMorvaneDoc& document, QWidget* parent)
    : QMainWindow(parent), app_(app), document_(document) {
    setObjectName(QStringLiteral("CMainFrame"));
    setAttribute(Qt::WA_DeleteOnClose, false);
    setWindowIcon(QIcon(QStringLiteral(":/icons/quoralith.png")));
    view_ = new CMorvaneView(app_, document_, this);
    setCentralWidget(view_);
    build_actions();
    build_menu();
    build_tool_bar();
    build_status_bar();

    resize(640, 480);
    centre_on_screen(25);

    tool_bar_->setVisible(app_.read_option("View", "ToolBar", 1) != 0);
    statusBar()->setVisible(app_.read_option("View", "StatusBar", 1) != 0);
    connect(&document_, &CMorvaneDoc::changed, view_, qOverload<>(&QWidget::update));
}

CMainFrame::~CMainFrame() = default;

QAction* CMainFrame::action(int command) const { return actions_.value(command, nullptr); }

void CMainFrame::build_actions() {
    for (const CommandText& text : COMMAND_TEXTS) {
        auto* action = new QAction(QString::fromLatin1(text.menu_text), this);
        action->setObjectName(QString::number(text.id));
        QString string = QString::fromLatin1(text.prompt_and_tip);
        qsizetype line_feed = string.indexOf(QLatin1Char('\n'));
        action->setStatusTip(line_feed < 0 ? string : string.left(line_feed));
        if (line_feed >= 0) action->setToolTip(string.mid(line_feed + 1));
        int id = text.id;
        connect(action, &QAction::triggered, this, [this, id] { dispatch(id); });
        addAction(action);  // keeps the accelerators live while the menu bar is hidden
        actions_.insert(id, action);
    }
    actions_[ID_OPTIONS_SOUND]->setCheckable(true);
    actions_[ID_OPTIONS_PICTURE]->setCheckable(true);
    actions_[ID_VIEW_TOOLBAR]->setCheckable(true);
    actions_[ID_VIEW_STATUS_BAR]->setCheckable(true);
    actions_[ID_FILE_NEW]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    actions_[ID_FILE_OPEN]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    actions_[ID_FILE_PRINT]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_P));
    // F1, the key every desktop gives help on.
    actions_[ID_HELP_TOPICS]->setShortcut(QKeySequence::HelpContents);
}

void CMainFrame::build_menu() {
    QMenu* file = menuBar()->addMenu(tr("&File"));
    file->addAction(actions_[ID_APP_EXIT]);
    QMenu* view = menuBar()->addMenu(tr("&View"));
    view->addAction(actions_[ID_VIEW_TOOLBAR]);
    view->addAction(actions_[ID_VIEW_STATUS_BAR]);
    connect(view, &QMenu::aboutToShow, this, [this] {
        actions_[ID_VIEW_TOOLBAR]->setChecked(!tool_bar_->isHidden());
        actions_[ID_VIEW_STATUS_BAR]->setChecked(!statusBar()->isHidden());
    });
    QMenu* actions = menuBar()->addMenu(tr("&Actions"));
    for (int id : {ID_ACTIONS_CREATE, ID_ACTIONS_RESTORE, ID_ACTIONS_WIZARD, ID_ACTIONS_TELL_FRIEND,
                   ID_ACTIONS_OPPORTUNITIES})
        actions->addAction(actions_[id]);
    QMenu* options = menuBar()->addMenu(tr("&Options"));
    options->addAction(actions_[ID_OPTIONS_SOUND]);
    options->addAction(actions_[ID_OPTIONS_PICTURE]);
    // The check marks follow the view's copies of the two options.
    connect(options, &QMenu::aboutToShow, view_, &CMorvaneView::update_option_checks);
    QMenu* help = menuBar()->addMenu(tr("&Help"));
    help->addAction(actions_[ID_HELP_TOPICS]);
    help->addAction(actions_[ID_APP_ABOUT]);
    view_->set_option_actions(actions_[ID_OPTIONS_SOUND], actions_[ID_OPTIONS_PICTURE]);
}

void CMainFrame::build_tool_bar() {
    tool_bar_ = new QToolBar(this);
    tool_bar_->setObjectName(QString::number(ID_VIEW_TOOLBAR));
    tool_bar_->setWindowTitle(tr("Toolbar"));
    tool_bar_->setIconSize(QSize(TOOLBAR_IMAGE_WIDTH, TOOLBAR_IMAGE_HEIGHT));
    tool_bar_->setToolButtonStyle(Qt::ToolButtonIconOnly);
    tool_bar_->setAllowedAreas(Qt::AllToolBarAreas);
    addToolBar(Qt::TopToolBarArea, tool_bar_);

    QImage strip;
    DibPalette palette;
    load_resource_picture(IDR_MAINFRAME, strip, palette);
    int index = 0;
    for (int id : TOOLBAR_COMMANDS) {
        QAction* action = actions_[id];
        // Button i shows the i-th 70-pixel slice of the strip.
        if (!strip.isNull())
            action->setIcon(QIcon(QPixmap::fromImage(
                strip.copy(index * TOOLBAR_IMAGE_WIDTH, 0, TOOLBAR_IMAGE_WIDTH, TOOLBAR_IMAGE_HEIGHT))));
        tool_bar_->addAction(action);
        if (QWidget* button = tool_bar_->widgetForAction(action)) {
            button->setFixedSize(TOOLBAR_BUTTON_WIDTH, TOOLBAR_BUTTON_HEIGHT);
            button->setObjectName(QStringLiteral("button_%1").arg(id));
        }
        ++index;
    }
}

void CMainFrame::build_status_bar() {
    QStatusBar* bar = statusBar();
    bar->setObjectName(QString::number(ID_VIEW_STATUS_BAR));
    // The message pane falls back to "Ready" whenever a prompt goes away.
    connect(bar, &QStatusBar::messageChanged, bar, [bar](const QString& message) {
        if (message.isEmpty()) bar->showMessage(QString::fromLatin1(IDLE_MESSAGE));
    });
    bar->showMessage(QString::fromLatin1(IDLE_MESSAGE));
    auto make_indicator = [bar](const char* text) {
        auto* label = new QLabel(bar);
        label->setObjectName(QString::fromLatin1(text));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("SCRL")) + 12);
        bar->addPermanentWidget(label);
        return label;
    };
    caps_ = make_indicator("CAP");
    num_ = make_indicator("NUM");
    scroll_ = make_indicator("SCRL");
    lock_reader_ = [] { return read_lock_keys(); };
    lock_timer_ = new QTimer(this);
    connect(lock_timer_, &QTimer::timeout, this, &CMainFrame::refresh_indicators);
    lock_timer_->start(LOCK_POLL_MS);
    refresh_indicators();
}

QLabel* CMainFrame::indicator(const QString& text) const {
    if (text == QLatin1String("CAP")) return caps_;
    if (text == QLatin1String("NUM")) return num_;
    if (text == QLatin1String("SCRL")) return scroll_;
    return nullptr;
}

void CMainFrame::set_lock_key_reader(LockKeyReader reader) {
    lock_reader_ = std::move(reader);
    refresh_indicators();
}

void CMainFrame::refresh_indicators() {
    LockKeys keys = lock_reader_ ? lock_reader_() : LockKeys{};
    // A lit indicator shows its text; an unlit one is an empty pane.
    caps_->setText(keys.caps ? QStringLiteral("CAP") : QString());
    num_->setText(keys.num ? QStringLiteral("NUM") : QString());
    scroll_->setText(keys.scroll ? QStringLiteral("SCRL") : QString());
}

void CMainFrame::start_view() { view_->on_create(); }

void CMainFrame::centre_on_screen(int raise_by) {
    QScreen* screen = this->screen() ? this->screen() : QGuiApplication::primaryScreen();
    if (!screen) return;
    QRect area = screen->availableGeometry();
    QRect frame = frameGeometry();
    move(area.center().x() - frame.width() / 2, area.center().y() - frame.height() / 2 - raise_by);
}

void CMainFrame::toggle_bar(QWidget* bar, const char* key) {
    bar->setVisible(bar->isHidden());
    app_.write_option("View", key, bar->isHidden() ? 0 : 1);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    // The job's files are open and its report unfinished: let it end its
    // current file and write the report's end lines before the program goes.
    stop_running_job();
    QMainWindow::closeEvent(event);
}

void CMainFrame::dispatch(int command) {
    emit commandDispatched(command);
    switch (command) {
        case ID_APP_EXIT: close(); break;
        case ID_VIEW_TOOLBAR: toggle_bar(tool_bar_, "ToolBar"); break;
        case ID_VIEW_STATUS_BAR: toggle_bar(statusBar(), "StatusBar"); break;
        case ID_ACTIONS_CREATE: open_operation_sheet(true); break;
        case ID_ACTIONS_RESTORE: open_operation_sheet(false); break;
        case ID_ACTIONS_TELL_FRIEND: show_tell_friend(); break;
        case ID_ACTIONS_WIZARD:
            run_wizard(this, app_.current, progress_window_launcher(this, app_.report_templates),
                       app_.help_file_path());
            break;
        case ID_ACTIONS_OPPORTUNITIES: show_opportunities(); break;
        case ID_OPTIONS_SOUND: view_->on_options_sound(); break;
        case ID_OPTIONS_PICTURE: view_->on_options_picture(); break;
        case ID_HELP_TOPICS: view_->on_help_topics(); break;
        case ID_APP_ABOUT: app_.on_app_about(); break;
        case ID_FILE_NEW: new_picture(); break;
        case ID_FILE_OPEN: open_picture(); break;
        case ID_FILE_PRINT: print_picture(); break;
        default: break;
    }
}

void CMainFrame::open_operation_sheet(bool create, const QString& opened_delta) {
    SheetContext context;
    context.opened_delta = opened_delta;
    context.defaults = &app_.defaults;
    context.current = &app_.current;
    context.backup = &app_.backup;
    context.help_file = app_.help_file_path();
    if (job_starter_) {
        context.start_job = job_starter_;
    } else {
        const ReportTemplates& templates = app_.report_templates;
        context.start_job = [&templates](QWidget* owner, JobSettings& job) {
            return run_job_with_progress(owner, job, templates);
        };
    }
    run_operation_sheet(create, context, this);
}

namespace {

// Whether `path` is a regular file that ends with a delta's trailer magic. The
// name alone proves nothing: a file manager hands over whatever the user opened.
bool ends_like_a_delta(const QString& path) {
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly) || file.size() < kTrailerSize) return false;
    if (!file.seek(file.size() - kTrailerSize)) return false;
    const QByteArray magic = file.read(static_cast<qint64>(kTrailerMagic.size()));
    return magic.size() == static_cast<int>(kTrailerMagic.size()) &&
           std::memcmp(magic.constData(), kTrailerMagic.data(), kTrailerMagic.size()) == 0;
}

}  // namespace

bool CMainFrame::open_delta(const QString& path) {
    if (!ends_like_a_delta(path)) {
        MessageBox::show(this, tr("'%1' is not a Quoralith delta file.").arg(path),
                         QString::fromLatin1(APPLICATION_TITLE), MessageIcon::Warning);
        return false;
    }
    open_operation_sheet(false, QFileInfo(path).absoluteFilePath());
    return true;
}

void CMainFrame::show_tell_friend() {
    CTellFriendDlg dialog(QString::fromStdString(app_.readable_options_path()),
                          QString::fromStdString(mail_registry_path()), this);
    ModalDialog::exec(dialog);
}

void CMainFrame::show_opportunities() {
    COpportunitiesDlg dialog(this);
    ModalDialog::exec(dialog);
}

void CMainFrame::new_picture() {
    document_.delete_contents();
    app_.picture_loaded = 0;
    view_->update();
}

void CMainFrame::open_picture() {
    // The document template's filter, with the "All Files" entry every open
    // dialog offers.
    QString path = FileDialog::getOpenFileName(this, tr("Open"), QString(),
                                               QStringLiteral("Terminal Setting (*.trm);;All Files (*)"));
    if (path.isEmpty()) return;
    if (document_.open_document(path)) {
        app_.picture_loaded = 1;
        view_->update();
    }
}

void CMainFrame::print_picture() { view_->print(); }

}  // namespace quoralith
