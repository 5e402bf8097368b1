// The Mail Account dialog, opened from the Send Mail form's Account button:
// the outgoing server, how the connection is protected, the port and the
// login. The password typed here goes to the desktop's secret store (the
// form files it); the dialog itself keeps nothing.
//
// Enabling rules: the user name and the password only with STARTTLS or TLS,
// so that a password never travels unencrypted; the port follows the
// security (25, 587, 465) unless the user chose a port of their own; OK
// needs a server name.
//
// Thread safety: user-interface thread only.
#pragma once

#include "mail/mail_defaults.h"

#include <QDialog>

class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSpinBox;

namespace quoralith {

class CMailAccountDlg : public QDialog {
    Q_OBJECT
public:
    CMailAccountDlg(const MailAccountSettings& settings, QWidget* parent = nullptr);

    // What the controls say; the user name is empty without security.
    MailAccountSettings settings() const;
    // The password typed (empty: keep the one in the secret store).
    QString password() const;

    QLineEdit* server_edit() const { return server_; }
    QComboBox* security_box() const { return security_; }
    QSpinBox* port_box() const { return port_; }
    QLineEdit* user_edit() const { return user_; }
    QLineEdit* password_edit() const { return password_; }
    QPushButton* ok_button() const { return ok_; }

private:
    void on_security_changed(int index);
    void update_enabling();

    QLineEdit* server_ = nullptr;
    QComboBox* security_ = nullptr;
    QSpinBox* port_ = nullptr;
    QLineEdit* user_ = nullptr;
    QLineEdit* password_ = nullptr;
    QLabel* note_ = nullptr;
    QPushButton* ok_ = nullptr;
    SmtpSecurity shown_security_ = SmtpSecurity::None;
};

// The account in a few words for the Send Mail form: "port 587, STARTTLS,
// login as me@example.org", "port 25, unencrypted, no login".
QString mail_account_summary(int port, SmtpSecurity security, const QString& user);

}  // namespace quoralith
