// The Send Mail dialog (1547): a small modeless mail form, pre-filled with the
// user's outgoing server and address and with the canned subject and message,
// that sends through the SMTP client. It deletes itself when closed.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QString>

#include <chrono>

class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;

namespace quoralith {

class MailSendJob;

inline constexpr const char* SEND_MAIL_NO_SERVER = "Outgoing(SMTP)mail server name must be specified";
inline constexpr const char* SEND_MAIL_NO_RECIPIENT = "Recipient's mail address must be specified";
inline constexpr const char* SEND_MAIL_CONNECTING = "Connecting Server.Pease,wait...";
inline constexpr const char* SEND_MAIL_SENDING = "Sending message...";
inline constexpr const char* SEND_MAIL_SENT = "Message sent successfully.Thank you!";

class CSendMailDlg : public QDialog {
    Q_OBJECT
public:
    // Fills the form: server and sender from the mail-account settings in
    // `registry_file` (the sender also from EMAIL), subject and message from
    // section "Message" of `options_file`. Either file may be missing.
    CSendMailDlg(const QString& options_file, const QString& registry_file, QWidget* parent = nullptr);
    // A send under way is cancelled.
    ~CSendMailDlg() override;

    QLineEdit* server_edit() const { return server_; }    // 1000
    QLineEdit* from_edit() const { return from_; }        // 1001
    QLineEdit* to_edit() const { return to_; }            // 1002
    QLineEdit* subject_edit() const { return subject_; }  // 1003
    QPlainTextEdit* message_edit() const { return message_; }  // 1004
    QPushButton* send_button() const { return send_; }    // 3
    QPushButton* done_button() const { return done_; }    // 2
    QLabel* status_label() const { return status_; }      // 1103

    bool sending() const { return !job_.isNull(); }
    // The server port (25) and the network time-out, for tests.
    void set_port(int port) { port_ = port; }
    void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

public slots:
    // Button 3: checks the form and starts a send.
    void on_send();
    // Closing: a send under way is cancelled first.
    void done(int result) override;

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    void on_sending();
    void on_completed(bool ok, const QString& error_text);
    // Back to idle: "Done", Send enabled, no status.
    void end_sending();
    void cancel_send();

    QLineEdit* server_ = nullptr;
    QLineEdit* from_ = nullptr;
    QLineEdit* to_ = nullptr;
    QLineEdit* subject_ = nullptr;
    QPlainTextEdit* message_ = nullptr;
    QPushButton* send_ = nullptr;
    QPushButton* done_ = nullptr;
    QLabel* status_ = nullptr;
    QPointer<MailSendJob> job_;
    int port_;
    std::chrono::milliseconds timeout_;
};

}  // namespace quoralith
