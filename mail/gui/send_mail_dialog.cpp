// The Send Mail dialog.
#include "mail/gui/send_mail_dialog.h"

#include "mail/gui/mail_account_dialog.h"
#include "mail/gui/mail_send_job.h"
#include "mail/gui/secret_store.h"
#include "mail/mail_defaults.h"
#include "mail/smtp_client.h"
#include "shell/common/ui_seams.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include <cstdlib>

namespace quoralith {

namespace {

// The form shows line ends as the toolkit does, one line feed each; they
// travel as CR LF again (the client makes every line end CR LF).
QString for_display(const std::string& text) {
    return QString::fromStdString(text).replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
}

}  // namespace

CSendMailDlg::CSendMailDlg(const QString& options_file, const QString& registry_file, QWidget* parent)
    : QDialog(parent), registry_file_(registry_file), port_(SMTP_PORT), timeout_(SMTP_DEFAULT_TIMEOUT) {
    setObjectName(QStringLiteral("1547"));
    setWindowTitle(QStringLiteral("Send Mail"));
    setAttribute(Qt::WA_DeleteOnClose);
    setModal(false);

    auto* grid = new QGridLayout;
    auto add_row = [this, grid](int row, const char* caption, int id) {
        auto* label = new QLabel(QString::fromLatin1(caption), this);
        auto* edit = new QLineEdit(this);
        edit->setObjectName(QString::number(id));
        label->setBuddy(edit);
        grid->addWidget(label, row, 0);
        // The server's row leaves room for the Account button.
        grid->addWidget(edit, row, 1, 1, id == 1000 ? 1 : 2);
        return edit;
    };
    server_ = add_row(0, "Outgoing Mail (SMTP) Server:", 1000);
    from_ = add_row(1, "From:", 1001);
    to_ = add_row(2, "To:", 1002);
    to_->setToolTip(tr("One or more addresses, separated by \";\""));
    subject_ = add_row(3, "Subject:", 1003);
    // The account goes with the server: its summary under the server box,
    // the button that changes it beside it.
    account_button_ = new QPushButton(QStringLiteral("Account..."), this);
    account_button_->setObjectName(QStringLiteral("account"));
    account_button_->setAutoDefault(false);
    account_button_->setToolTip(QStringLiteral("Security, port and login of the outgoing server"));
    connect(account_button_, &QPushButton::clicked, this, &CSendMailDlg::on_account);
    grid->addWidget(account_button_, 0, 2);
    account_label_ = new QLabel(this);
    account_label_->setObjectName(QStringLiteral("accountSummary"));
    grid->addWidget(new QLabel(QStringLiteral("Account:"), this), 4, 0);
    grid->addWidget(account_label_, 4, 1, 1, 2);

    message_ = new QPlainTextEdit(this);
    message_->setObjectName(QStringLiteral("1004"));
    message_->setMinimumSize(420, 200);

    status_ = new QLabel(this);
    status_->setObjectName(QStringLiteral("1103"));
    QPalette red = status_->palette();
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));
    status_->setPalette(red);

    send_ = new QPushButton(QStringLiteral("Send"), this);
    send_->setObjectName(QStringLiteral("3"));
    send_->setDefault(true);
    done_ = new QPushButton(QStringLiteral("Done"), this);
    done_->setObjectName(QStringLiteral("2"));
    done_->setAutoDefault(false);
    connect(send_, &QPushButton::clicked, this, &CSendMailDlg::on_send);
    connect(done_, &QPushButton::clicked, this, &QDialog::reject);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(status_, 1);
    buttons->addWidget(send_);
    buttons->addWidget(done_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(grid);
    layout->addWidget(message_, 1);
    layout->addLayout(buttons);

    MailAccountDefaults account = read_mail_account_defaults(registry_file.toStdString(), std::getenv("EMAIL"));
    server_->setText(QString::fromStdString(account.server));
    from_->setText(QString::fromStdString(account.sender));
    port_ = account.port;
    security_ = account.security;
    user_ = QString::fromStdString(account.user);
    ca_file_ = QString::fromStdString(account.ca_file);
    // Another server, another password.
    connect(server_, &QLineEdit::textEdited, this, [this] { password_.clear(); });
    show_account();
    MailText text = read_mail_text(options_file.toStdString());
    subject_->setText(for_display(text.subject));
    message_->setPlainText(for_display(text.message));
}

CSendMailDlg::~CSendMailDlg() { cancel_send(); }

void CSendMailDlg::on_send() {
    if (sending()) return;
    const QString caption = QString::fromLatin1(APPLICATION_TITLE);
    QString server = server_->text();
    if (server.isEmpty()) {
        MessageBox::show(this, QString::fromLatin1(SEND_MAIL_NO_SERVER), caption, MessageIcon::Warning);
        return;
    }
    QString to = to_->text();
    if (to.isEmpty()) {
        MessageBox::show(this, QString::fromLatin1(SEND_MAIL_NO_RECIPIENT), caption, MessageIcon::Warning);
        return;
    }
    MailMessage message;
    message.from = from_->text().toStdString();
    message.subject = subject_->text().toStdString();
    message.body = message_->toPlainText().toStdString();
    // A malformed piece keeps the recipients before it, as the client does.
    message.add_recipients(to.toStdString());

    done_->setText(QStringLiteral("Cancel"));
    send_->setEnabled(false);
    account_button_->setEnabled(false);
    status_->setText(QString::fromLatin1(SEND_MAIL_CONNECTING));

    bool login = security_ != SmtpSecurity::None && !user_.isEmpty();
    if (!login || !password_.isEmpty()) {
        start_job(std::move(message), server, password_);
        return;
    }
    reading_password_ = true;
    secret_store().read(
        mail_password_key(user_, server), this,
        [this, server, message = std::move(message)](SecretStatus status, const QString& secret,
                                                     const QString& error) mutable {
            if (!reading_password_) return;  // cancelled meanwhile
            reading_password_ = false;
            const QString caption = QString::fromLatin1(APPLICATION_TITLE);
            if (status == SecretStatus::Found) {
                password_ = secret;
                // The server the password was asked for, whatever the box says by now.
                start_job(std::move(message), server, password_);
                return;
            }
            QString text = status == SecretStatus::Missing
                               ? QString::fromLatin1(SEND_MAIL_NO_PASSWORD).arg(user_, server)
                               : QString::fromLatin1(SEND_MAIL_STORE_UNREADABLE).arg(error);
            MessageBox::show(this, text, caption, MessageIcon::Warning);
            end_sending();
        });
}

void CSendMailDlg::start_job(MailMessage message, const QString& server, const QString& password) {
    SmtpAccount account;
    account.security = security_;
    if (security_ != SmtpSecurity::None) account.user = user_.toStdString();
    if (!account.user.empty()) account.password = password.toStdString();
    account.ca_file = ca_file_.toStdString();
    auto* job =
        new MailSendJob(server.toStdString(), port_, std::move(message), timeout_, std::move(account));
    job_ = job;
    connect(job, &MailSendJob::sending, this, &CSendMailDlg::on_sending);
    connect(job, &MailSendJob::completed, this, &CSendMailDlg::on_completed);
    job->start();
}

void CSendMailDlg::set_port(int port) {
    port_ = port;
    show_account();
}

void CSendMailDlg::show_account() {
    account_label_->setText(mail_account_summary(port_, security_, user_));
}

void CSendMailDlg::on_account() {
    if (sending()) return;
    MailAccountSettings settings;
    settings.server = server_->text().trimmed().toStdString();
    settings.port = port_;
    settings.security = security_;
    settings.user = user_.toStdString();
    CMailAccountDlg dialog(settings, this);
    if (ModalDialog::exec(dialog) != QDialog::Accepted) return;

    MailAccountSettings chosen = dialog.settings();
    QString server = QString::fromStdString(chosen.server);
    QString user = QString::fromStdString(chosen.user);
    if (server != server_->text() || user != user_) password_.clear();
    server_->setText(server);
    port_ = chosen.port;
    security_ = chosen.security;
    user_ = user;
    show_account();

    const QString caption = QString::fromLatin1(APPLICATION_TITLE);
    if (!save_mail_account(registry_file_.toStdString(), chosen))
        MessageBox::show(this, QString::fromLatin1(SEND_MAIL_ACCOUNT_UNSAVED).arg(registry_file_), caption,
                         MessageIcon::Warning);
    QString typed = dialog.password();
    if (typed.isEmpty() || user.isEmpty()) return;
    password_ = typed;
    secret_store().write(mail_password_key(user, server), typed, this, [this](bool ok, const QString& error) {
        if (!ok)
            MessageBox::show(this, QString::fromLatin1(SEND_MAIL_STORE_UNWRITABLE).arg(error),
                             QString::fromLatin1(APPLICATION_TITLE), MessageIcon::Warning);
    });
}

void CSendMailDlg::on_sending() { status_->setText(QString::fromLatin1(SEND_MAIL_SENDING)); }

void CSendMailDlg::on_completed(bool ok, const QString& error_text) {
    job_.clear();
    const QString caption = QString::fromLatin1(APPLICATION_TITLE);
    if (ok) {
        MessageBox::show(this, QString::fromLatin1(SEND_MAIL_SENT), caption, MessageIcon::Information);
        end_sending();
        to_->clear();
        to_->setFocus();
    } else {
        // A refused login forgets the password, so that the next send asks
        // the store again (or takes the one typed under Account meanwhile).
        if (error_text.endsWith(QLatin1String(SMTP_LOGIN_REFUSED))) password_.clear();
        MessageBox::show(this, error_text, caption, MessageIcon::Warning);
        end_sending();
    }
}

void CSendMailDlg::end_sending() {
    status_->clear();
    done_->setText(QStringLiteral("Done"));
    send_->setEnabled(true);
    account_button_->setEnabled(true);
}

void CSendMailDlg::cancel_send() {
    reading_password_ = false;
    if (!job_) return;
    // The job finishes on its own and deletes itself; nothing it says
    // afterwards reaches this dialog.
    disconnect(job_, nullptr, this, nullptr);
    job_->cancel();
    job_.clear();
}

void CSendMailDlg::done(int result) {
    cancel_send();
    QDialog::done(result);
}

void CSendMailDlg::keyPressEvent(QKeyEvent* event) {
    // While a send is under way only the Cancel button closes the form, so a
    // stray Escape does not abandon a message on its way.
    if (event->key() == Qt::Key_Escape && sending()) {
        event->accept();
        return;
    }
    QDialog::keyPressEvent(event);
}

}  // namespace quoralith
