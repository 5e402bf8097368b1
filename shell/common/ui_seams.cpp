// The modal seams: real boxes and dialogs normally, recordings under test.
#include "shell/common/ui_seams.h"

#include "shell/common/folder_browser.h"

#include <QDialog>
#include <QFileDialog>
#include <QPrintDialog>
#include <QPrinter>

namespace quoralith {

namespace {

// The seams are process-wide by nature: they stand in for the modal loop of
// the one user-interface thread.
struct SeamState {
    bool test_mode = false;
    QMessageBox::StandardButton next_answer = QMessageBox::Ok;
    std::vector<ShownMessage> shown;
    QString next_file_name;
    QString next_folder;
    std::vector<DialogRequest> requests;
    bool next_print_accepted = false;
    QString next_print_file;
    ModalDialog::Hook modal_hook;
};

SeamState& state() {
    static SeamState instance;
    return instance;
}

QMessageBox::Icon to_qt(MessageIcon icon) {
    switch (icon) {
        case MessageIcon::Information: return QMessageBox::Information;
        case MessageIcon::Warning: return QMessageBox::Warning;
        case MessageIcon::Error: return QMessageBox::Critical;
        case MessageIcon::Question: return QMessageBox::Question;
        case MessageIcon::None: break;
    }
    return QMessageBox::NoIcon;
}

}  // namespace

QMessageBox::StandardButton MessageBox::show(QWidget* parent, const QString& text, const QString& caption,
                                             MessageIcon icon, QMessageBox::StandardButtons buttons) {
    SeamState& s = state();
    if (s.test_mode) {
        s.shown.push_back({text, caption, icon});
        QMessageBox::StandardButton answer = s.next_answer;
        s.next_answer = QMessageBox::Ok;
        return answer;
    }
    QMessageBox box(to_qt(icon), caption, text, buttons, parent);
    return static_cast<QMessageBox::StandardButton>(box.exec());
}

void MessageBox::setTestMode(bool on) { state().test_mode = on; }
bool MessageBox::testMode() { return state().test_mode; }
void MessageBox::setNextAnswer(QMessageBox::StandardButton answer) { state().next_answer = answer; }
const std::vector<ShownMessage>& MessageBox::shown() { return state().shown; }

QStringList MessageBox::shownTexts() {
    QStringList texts;
    for (const ShownMessage& message : state().shown) texts << message.text;
    return texts;
}

void MessageBox::clearShown() { state().shown.clear(); }

namespace {

// Test mode: the dialog is recorded and answered with the preset name (then none).
QString answer_file_dialog(DialogRequest::Kind kind, const QString& caption, const QString& start,
                           const QString& filter) {
    SeamState& s = state();
    s.requests.push_back({kind, caption, start, filter});
    QString name = s.next_file_name;
    s.next_file_name.clear();
    return name;
}

}  // namespace

QString FileDialog::getOpenFileName(QWidget* parent, const QString& caption, const QString& directory,
                                    const QString& filter) {
    if (state().test_mode) return answer_file_dialog(DialogRequest::OpenFile, caption, directory, filter);
    return QFileDialog::getOpenFileName(parent, caption, directory, filter);
}

void FileDialog::setNextFileName(const QString& name) { state().next_file_name = name; }

QString FileDialog::getSaveFileName(QWidget* parent, const QString& caption, const QString& start,
                                    const QString& filter) {
    if (state().test_mode) return answer_file_dialog(DialogRequest::SaveFile, caption, start, filter);
    // Qt's save dialog asks before it lets an existing file be chosen.
    return QFileDialog::getSaveFileName(parent, caption, start, filter);
}

QString FileDialog::getFolder(QWidget* parent, const QString& caption, const QString& preselected) {
    SeamState& s = state();
    if (s.test_mode) {
        s.requests.push_back({DialogRequest::Folder, caption, preselected, {}});
        QString folder = s.next_folder;
        s.next_folder.clear();
        return folder;
    }
    CFolderBrowser browser(caption, preselected, parent);
    if (browser.exec() != QDialog::Accepted) return {};
    return browser.selected_folder();
}

void FileDialog::setNextFolder(const QString& folder) { state().next_folder = folder; }
const std::vector<DialogRequest>& FileDialog::requests() { return state().requests; }
void FileDialog::clearRequests() { state().requests.clear(); }

bool PrintDialog::choose(QPrinter& printer, QWidget* parent) {
    SeamState& s = state();
    if (s.test_mode) {
        bool accepted = s.next_print_accepted;
        if (accepted && !s.next_print_file.isEmpty()) {
            printer.setOutputFormat(QPrinter::PdfFormat);
            printer.setOutputFileName(s.next_print_file);
        }
        s.next_print_accepted = false;
        s.next_print_file.clear();
        return accepted;
    }
    QPrintDialog dialog(&printer, parent);
    return dialog.exec() == QDialog::Accepted;
}

void PrintDialog::setNextAccepted(bool accepted, const QString& pdf_file) {
    state().next_print_accepted = accepted;
    state().next_print_file = pdf_file;
}

int ModalDialog::exec(QDialog& dialog) {
    SeamState& s = state();
    if (s.test_mode) {
        if (!s.modal_hook) return QDialog::Rejected;
        dialog.show();
        int result = s.modal_hook(dialog);
        dialog.hide();
        return result;
    }
    return dialog.exec();
}

void ModalDialog::setTestHook(Hook hook) { state().modal_hook = std::move(hook); }

}  // namespace quoralith
