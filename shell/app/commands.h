// Command ids of the main window's menu, toolbar and accelerators. They are
// the objectNames of the actions, so tests and later dialogs find them by id.
#pragma once

namespace quoralith {

enum Command : int {
    ID_ACTIONS_CREATE = 32771,        // "&Delta File/Directory Creation"
    ID_ACTIONS_RESTORE = 32772,       // "&Restore Updated File/Directory"
    ID_HELP_TOPICS = 32773,           // "&Help topics"
    ID_OPTIONS_SOUND = 32774,         // "&Play sound on startup"
    ID_OPTIONS_PICTURE = 32775,       // "&Show picture on background"
    ID_ACTIONS_WIZARD = 32776,        // "Quoralith &Wizard"
    ID_ACTIONS_TELL_FRIEND = 32777,   // "&Tell Your Friend "
    ID_ACTIONS_OPPORTUNITIES = 32778, // "&Countless Opportunities"
    ID_FILE_NEW = 57600,              // Ctrl+N: clears the picture
    ID_FILE_OPEN = 57601,             // Ctrl+O: opens a picture
    ID_FILE_SAVE = 57603,             // Ctrl+S: the picture is never written
    ID_FILE_PRINT = 57607,            // Ctrl+P: prints the picture
    ID_APP_ABOUT = 57664,             // "&About Quoralith..."
    ID_APP_EXIT = 57665,              // "E&xit"
    ID_VIEW_TOOLBAR = 59392,          // "&Toolbar"
    ID_VIEW_STATUS_BAR = 59393,       // "&Status Bar"
};

// The message-box caption, APPLICATION_TITLE, is in shell/common/ui_seams.h.
// The status bar's idle text.
inline constexpr const char* IDLE_MESSAGE = "Ready";

}  // namespace quoralith
