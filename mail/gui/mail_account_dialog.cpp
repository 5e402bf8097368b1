// The Mail Account dialog.
#include "mail/gui/mail_account_dialog.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QVBoxLayout>

namespace quoralith {

namespace {

// The security box lists the choices in this order.
constexpr SmtpSecurity SECURITY_CHOICES[] = {SmtpSecurity::None, SmtpSecurity::StartTls, SmtpSecurity::Tls};

int security_index(SmtpSecurity security) {
    for (int i = 0; i < 3; ++i)
        if (SECURITY_CHOICES[i] == security) return i;
    return 0;
}

}  // namespace

QString mail_account_summary(int port, SmtpSecurity security, const QString& user) {
    QString protection = security == SmtpSecurity::StartTls ? QStringLiteral("STARTTLS")
                         : security == SmtpSecurity::Tls    ? QStringLiteral("TLS")
                                                            : QStringLiteral("unencrypted");
    QString login = user.isEmpty() || security == SmtpSecurity::None ? QStringLiteral("no login")
                                                                     : QStringLiteral("login as ") + user;
    return QStringLiteral("port %1, %2, %3").arg(port).arg(protection, login);
}

CMailAccountDlg::CMailAccountDlg(const MailAccountSettings& settings, QWidget* parent) : QDialog(parent) {
    setObjectName(QStringLiteral("mailAccount"));
    setWindowTitle(QStringLiteral("Mail Account"));

    server_ = new QLineEdit(QString::fromStdString(settings.server), this);
    server_->setObjectName(QStringLiteral("server"));
    security_ = new QComboBox(this);
    security_->setObjectName(QStringLiteral("security"));
    security_->addItem(QStringLiteral("None"));
    security_->addItem(QStringLiteral("STARTTLS"));
    security_->addItem(QStringLiteral("TLS"));
    security_->setToolTip(QStringLiteral("STARTTLS encrypts a plain connection before anything else is said "
                                         "(usually port 587); TLS is encrypted from the start (usually port 465)."));
    port_ = new QSpinBox(this);
    port_->setObjectName(QStringLiteral("port"));
    port_->setRange(1, 65535);
    user_ = new QLineEdit(QString::fromStdString(settings.user), this);
    user_->setObjectName(QStringLiteral("user"));
    password_ = new QLineEdit(this);
    password_->setObjectName(QStringLiteral("password"));
    password_->setEchoMode(QLineEdit::Password);
    password_->setPlaceholderText(QStringLiteral("unchanged"));
    note_ = new QLabel(this);
    note_->setObjectName(QStringLiteral("note"));
    note_->setWordWrap(true);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Outgoing Mail (SMTP) Server:"), server_);
    form->addRow(QStringLiteral("Security:"), security_);
    form->addRow(QStringLiteral("Port:"), port_);
    form->addRow(QStringLiteral("User name:"), user_);
    form->addRow(QStringLiteral("Password:"), password_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    ok_ = buttons->button(QDialogButtonBox::Ok);
    ok_->setObjectName(QStringLiteral("ok"));
    buttons->button(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancel"));
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(note_);
    layout->addWidget(buttons);

    shown_security_ = settings.security;
    security_->setCurrentIndex(security_index(settings.security));
    port_->setValue(settings.port);
    connect(security_, &QComboBox::currentIndexChanged, this, &CMailAccountDlg::on_security_changed);
    connect(server_, &QLineEdit::textChanged, this, &CMailAccountDlg::update_enabling);
    update_enabling();
}

void CMailAccountDlg::on_security_changed(int index) {
    SmtpSecurity chosen = SECURITY_CHOICES[index < 0 || index > 2 ? 0 : index];
    // The usual port of the old choice goes with it; a port of the user's
    // own (a provider's 2525, say) stays.
    if (port_->value() == smtp_default_port(shown_security_)) port_->setValue(smtp_default_port(chosen));
    shown_security_ = chosen;
    update_enabling();
}

void CMailAccountDlg::update_enabling() {
    bool encrypted = shown_security_ != SmtpSecurity::None;
    user_->setEnabled(encrypted);
    password_->setEnabled(encrypted);
    note_->setText(encrypted ? QStringLiteral("The password is kept in the desktop's secret store, not in a file.")
                             : QStringLiteral("A login needs STARTTLS or TLS, so that the password never travels "
                                              "unencrypted."));
    ok_->setEnabled(!server_->text().trimmed().isEmpty());
}

MailAccountSettings CMailAccountDlg::settings() const {
    MailAccountSettings settings;
    settings.server = server_->text().trimmed().toStdString();
    settings.port = port_->value();
    settings.security = shown_security_;
    if (shown_security_ != SmtpSecurity::None) settings.user = user_->text().trimmed().toStdString();
    return settings;
}

QString CMailAccountDlg::password() const { return password_->isEnabled() ? password_->text() : QString(); }

}  // namespace quoralith
