// One door for every modal thing the desktop program shows: message boxes,
// the open-file and save-file dialogs, the print dialog and modal dialogs. Tests close the
// doors: in test mode nothing is shown, every message box is recorded with its
// text, caption and icon, and the next answers are preset, so a test sees what
// a user would have seen without anyone pressing OK.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QMessageBox>
#include <QString>

#include <functional>
#include <vector>

class QDialog;
class QPrinter;
class QWidget;

namespace quoralith {

// The caption of every message box the program raises on its own behalf: the
// program's name, as the desktop shows it in the title bar. Here, beside the
// message box, so that every dialog may use it without reaching up into the
// application.
inline constexpr const char* APPLICATION_TITLE = "Quoralith";

enum class MessageIcon { None, Information, Warning, Error, Question };

struct ShownMessage {
    QString text;
    QString caption;
    MessageIcon icon = MessageIcon::None;
};

class MessageBox {
public:
    // Shows a modal box with an OK button (or `buttons`) and returns the button
    // pressed. In test mode it returns the preset answer (OK unless set) at once.
    static QMessageBox::StandardButton show(QWidget* parent, const QString& text, const QString& caption,
                                            MessageIcon icon,
                                            QMessageBox::StandardButtons buttons = QMessageBox::Ok);

    // Test mode: nothing is shown, every box is recorded.
    static void setTestMode(bool on);
    static bool testMode();
    // The answer of the next box in test mode (then back to OK).
    static void setNextAnswer(QMessageBox::StandardButton answer);
    // Every box recorded since the last clear, oldest first.
    static const std::vector<ShownMessage>& shown();
    static QStringList shownTexts();
    static void clearShown();
};

// A file or folder dialog as it was asked for (recorded in test mode).
struct DialogRequest {
    enum Kind { OpenFile, Folder, SaveFile };
    Kind kind = OpenFile;
    QString caption;
    QString directory;  // the starting folder, or the folder (or file) preselected
    QString filter;
};

class FileDialog {
public:
    // The open-file dialog; an empty result means cancelled. In test mode the
    // preset name is returned once (empty when none was set).
    static QString getOpenFileName(QWidget* parent, const QString& caption, const QString& directory,
                                   const QString& filter);
    static void setNextFileName(const QString& name);

    // The save-file dialog, for an output: a new name may be typed, and an
    // existing file is replaced only after the user confirmed it. `start` is
    // the folder to open in, or a file name there to offer. An empty result
    // means cancelled. In test mode the preset name (setNextFileName) is
    // returned once, as the user would have confirmed it.
    static QString getSaveFileName(QWidget* parent, const QString& caption, const QString& start,
                                   const QString& filter);

    // The folder browser (BrowseForFolder): an empty result means cancelled.
    // In test mode the preset folder is returned once (empty when none was set).
    static QString getFolder(QWidget* parent, const QString& caption, const QString& preselected);
    static void setNextFolder(const QString& folder);

    // Test mode: every file and folder dialog asked for since the last clear.
    static const std::vector<DialogRequest>& requests();
    static void clearRequests();
};

class PrintDialog {
public:
    // Lets the user choose and set up `printer`; true to print. In test mode
    // the preset answer is returned (false unless set), and an accepted print
    // goes to the preset PDF file when one was given.
    static bool choose(QPrinter& printer, QWidget* parent);
    static void setNextAccepted(bool accepted, const QString& pdf_file = {});
};

class ModalDialog {
public:
    // Runs `dialog` modally and returns its result. In test mode the hook runs
    // instead (the dialog is shown but not entered into a nested loop); with no
    // hook the dialog is rejected at once.
    static int exec(QDialog& dialog);
    using Hook = std::function<int(QDialog&)>;
    static void setTestHook(Hook hook);
};

}  // namespace quoralith
