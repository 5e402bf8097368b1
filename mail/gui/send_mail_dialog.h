// The Send Mail dialog (1547): a small modeless mail form, pre-filled with the
// user's outgoing server and address and with the canned subject and message,
// that sends through the SMTP client. It deletes itself when closed.
//
// Its Account button opens the Mail Account dialog (security, port, login).
// The account is saved with the server in the registry stand-in; the
// password goes to the desktop's secret store and is read from there at the
// first send that needs it.
//
// Thread safety: user-interface thread only.
#pragma once

#include "mail/smtp_client.h"

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
inline constexpr const char* SEND_MAIL_CONNECTING = "Connecting to the server. Please wait...";
inline constexpr const char* SEND_MAIL_SENDING = "Sending message...";
inline constexpr const char* SEND_MAIL_SENT = "Message sent successfully. Thank you!";
// "%1" is the user name, "%2" the server.
inline constexpr const char* SEND_MAIL_NO_PASSWORD =
    "No password is kept for %1 at %2. Enter it under Account, then send again.";
// "%1" is the store's own words.
inline constexpr const char* SEND_MAIL_STORE_UNREADABLE = "The password could not be read from the desktop's "
                                                          "secret store: %1";
inline constexpr const char* SEND_MAIL_STORE_UNWRITABLE =
    "The password could not be kept in the desktop's secret store: %1\nThis form uses it until it is closed.";
// "%1" is the file.
inline constexpr const char* SEND_MAIL_ACCOUNT_UNSAVED =
    "The mail account could not be saved in %1. This form uses it until it is closed.";

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
    QPushButton* account_button() const { return account_button_; }
    QLabel* account_label() const { return account_label_; }

    // The account the next send uses (the server is box 1000's).
    SmtpSecurity security() const { return security_; }
    const QString& user() const { return user_; }
    int port() const { return port_; }

    bool sending() const { return !job_.isNull() || reading_password_; }
    // The server port and the network time-out, for tests.
    void set_port(int port);
    void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }

public slots:
    // Button 3: checks the form and starts a send.
    void on_send();
    // The Account button: the Mail Account dialog; OK saves the account and
    // files a password typed there in the secret store.
    void on_account();
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
    void start_job(MailMessage message, const QString& server, const QString& password);
    void show_account();

    QLineEdit* server_ = nullptr;
    QLineEdit* from_ = nullptr;
    QLineEdit* to_ = nullptr;
    QLineEdit* subject_ = nullptr;
    QPlainTextEdit* message_ = nullptr;
    QPushButton* send_ = nullptr;
    QPushButton* done_ = nullptr;
    QLabel* status_ = nullptr;
    QPushButton* account_button_ = nullptr;
    QLabel* account_label_ = nullptr;
    QPointer<MailSendJob> job_;
    // Waiting for the secret store's answer before a send.
    bool reading_password_ = false;
    QString registry_file_;
    int port_;
    SmtpSecurity security_ = SmtpSecurity::None;
    QString user_;
    QString ca_file_;
    // Typed in the Mail Account dialog or read from the store for this
    // user and server; forgotten when either changes.
    QString password_;
    std::chrono::milliseconds timeout_;
};

}  // namespace quoralith
