// The Tell Your Friends dialog (140): three coloured texts that invite the
// user to recommend the program, and a Mail button that opens Send Mail forms.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QColor>
#include <QDialog>
#include <QList>
#include <QPointer>
#include <QString>

class QPlainTextEdit;
class QPushButton;

namespace quoralith {

class CSendMailDlg;

// The texts of boxes 1000, 1001 and 1002, with their CR LF line ends.
QString tell_friend_text(int id);
// Box 1001 dark red, the other two blue-violet.
QColor tell_friend_colour(int id);

class CTellFriendDlg : public QDialog {
    Q_OBJECT
public:
    // The two files are handed to every Send Mail form (see CSendMailDlg).
    CTellFriendDlg(const QString& options_file, const QString& registry_file, QWidget* parent = nullptr);
    ~CTellFriendDlg() override;

    QPlainTextEdit* box(int id) const;
    QPushButton* mail_button() const { return mail_; }  // 1091

    // Button 1091: a new Send Mail form, shown; several may be open at once.
    CSendMailDlg* open_send_mail();
    // The forms opened here that are still open.
    QList<CSendMailDlg*> send_mail_dialogs() const;

    // The forms outlive this dialog: when it closes (or goes) they move to
    // its parent window, or become windows of their own.
    void done(int result) override;

private:
    void release_forms();

    QPlainTextEdit* boxes_[3] = {};
    QPushButton* mail_ = nullptr;
    QString options_file_;
    QString registry_file_;
    QList<QPointer<CSendMailDlg>> forms_;
};

}  // namespace quoralith
