// The Tell Your Friends, Send Mail and Mail Account dialogs, driven as a user
// would drive them, headless: texts and colours, defaults, validation, the
// states of a send against a scripted server, Cancel while a send is under
// way, the account's enabling rules, and logins against a real server with
// the password in a stand-in for the desktop's secret store.
#include "gui_test_support.h"
#include "mail/scripted_smtp_server.h"
#include "mail/smtp_test_server.h"

#include "mail/gui/mail_account_dialog.h"
#include "mail/gui/mail_send_job.h"
#include "mail/gui/secret_store.h"
#include "mail/gui/send_mail_dialog.h"
#include "mail/gui/tell_friend_dialog.h"
#include "mail/mail_defaults.h"
#include "shell/app/commands.h"
#include "shell/app/main_frame.h"
#include "shell/app/morvane_app.h"
#include "shell/common/ui_seams.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QSpinBox>
#include <QTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTest>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

using namespace quoralith;
using namespace quoralith::test;
using namespace std::chrono_literals;

namespace {

const ScriptedReply GREETING{"220 test ready\r\n"};
const ScriptedReply OK{"250 ok\r\n"};

QString account_section(int number) { return "[" + QString::fromStdString(mail_account_key(number)) + "]\n"; }

// A loopback port nothing listens on.
int closed_port() {
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(probe);
    return ntohs(address.sin_port);
}

QColor text_colour(QWidget* widget, QPalette::ColorRole role) { return widget->palette().color(role); }

// The secret store's stand-in: secrets in memory, answers a moment later as
// the desktop's store gives them, and a switch that makes it fail.
class MemorySecretStore : public SecretStore {
public:
    QMap<QString, QString> secrets;
    QString failure;  // non-empty: every call fails with these words
    int reads = 0;

    void read(const QString& key, QObject* context, ReadDone done) override {
        ++reads;
        QTimer::singleShot(1, context, [this, key, done] {
            if (!failure.isEmpty())
                done(SecretStatus::Failed, {}, failure);
            else if (secrets.contains(key))
                done(SecretStatus::Found, secrets.value(key), {});
            else
                done(SecretStatus::Missing, {}, {});
        });
    }
    void write(const QString& key, const QString& secret, QObject* context, WriteDone done) override {
        QTimer::singleShot(1, context, [this, key, secret, done] {
            if (failure.isEmpty()) secrets.insert(key, secret);
            done(failure.isEmpty(), failure);
        });
    }
};

// True when some file under `folder` holds `text`.
bool any_file_holds(const QString& folder, const QByteArray& text) {
    QDirIterator files(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (files.hasNext())
        if (read_file(files.next()).contains(text)) return true;
    return false;
}

}  // namespace

class MailDialogsTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Sandbox> sandbox_;
    QByteArray old_email_;
    MemorySecretStore store_;

    QString options() const { return sandbox_->cwd("Qralith.ini"); }
    QString registry() const { return sandbox_->config("registry.ini"); }

    // A Send Mail form over the sandbox's files, shown, with the loopback
    // server of `port` in it.
    CSendMailDlg* form(int port, const QString& to = {}) {
        auto* dialog = new CSendMailDlg(options(), registry());
        dialog->set_port(port);
        dialog->set_timeout(5s);
        dialog->show();
        dialog->server_edit()->setText("127.0.0.1");
        dialog->from_edit()->setText("me@example.org");
        dialog->to_edit()->setText(to);
        return dialog;
    }

    static void wait_for_jobs() { QTRY_COMPARE_WITH_TIMEOUT(MailSendJob::live_jobs(), 0, 10000); }

private slots:
    void init() {
        sandbox_ = std::make_unique<Sandbox>();
        store_.secrets.clear();
        store_.failure.clear();
        store_.reads = 0;
        set_secret_store(&store_);
        old_email_ = qgetenv("EMAIL");
        qunsetenv("EMAIL");
    }
    void cleanup() {
        for (QWidget* window : QApplication::topLevelWidgets())
            if (window->objectName() == "1547") delete window;
        wait_for_jobs();
        if (old_email_.isNull())
            qunsetenv("EMAIL");
        else
            qputenv("EMAIL", old_email_);
        ModalDialog::setTestHook(nullptr);
        set_secret_store(nullptr);
        sandbox_.reset();
    }

    void tellYourFriendsShowsItsThreeTextsInTheirColours() {
        CTellFriendDlg dialog(options(), registry());
        QCOMPARE(dialog.objectName(), QString("140"));
        QCOMPARE(dialog.windowTitle(), QString("Tell Your Friends"));
        for (int id : {1000, 1001, 1002}) {
            QPlainTextEdit* box = dialog.box(id);
            QVERIFY(box);
            QCOMPARE(box->objectName(), QString::number(id));
            QVERIFY(box->isReadOnly());
            QCOMPARE(box->toPlainText(), tell_friend_text(id).replace("\r\n", "\n"));
            QCOMPARE(text_colour(box, QPalette::Text), id == 1001 ? QColor(128, 0, 0) : QColor(64, 0, 255));
        }
        QVERIFY(tell_friend_text(1000).endsWith(
            "\r\n  The more friends and colleagues you have that use Quoralith,\r\n  the more time and money you save "
            "in sending and receiving files over the internet.\r\n\r\n  Tell your friends!"));
        QVERIFY(tell_friend_text(1000).contains("only what changed"));
        QCOMPARE(tell_friend_text(1001),
                 QString("\r\n  Beat the Bandwidth and Take The Quoralith Test. \r\n  Notify your friend and colleagues "
                         "about Quoralith now and start enjoying speedy file transfers today."));
        QCOMPARE(tell_friend_text(1002),
                 QString("  Click the ''Mail'' button below and you will get directly into the mail client.\r\n  Just "
                         "type in your friend's address and let them know about Quoralith."));
        QCOMPARE(dialog.mail_button()->objectName(), QString("1091"));
        QCOMPARE(dialog.mail_button()->text(), QString("Mail"));
        auto* cancel = dialog.findChild<QPushButton*>("2");
        QVERIFY(cancel);
        QCOMPARE(cancel->text(), QString("Cancel"));
    }

    void mailOpensFormsThatOutliveTheDialog() {
        QWidget owner;
        auto* dialog = new CTellFriendDlg(options(), registry(), &owner);
        dialog->show();
        QTest::mouseClick(dialog->mail_button(), Qt::LeftButton);
        QTest::mouseClick(dialog->mail_button(), Qt::LeftButton);
        QList<CSendMailDlg*> forms = dialog->send_mail_dialogs();
        QCOMPARE(forms.size(), 2);
        QVERIFY(forms[0] != forms[1]);
        for (CSendMailDlg* form : forms) {
            QCOMPARE(form->objectName(), QString("1547"));
            QVERIFY(form->isVisible());
            QVERIFY(!form->isModal());
        }
        QPointer<CSendMailDlg> first = forms[0];
        QPointer<CSendMailDlg> second = forms[1];
        QTest::mouseClick(dialog->findChild<QPushButton*>("2"), Qt::LeftButton);
        QVERIFY(!dialog->isVisible());
        delete dialog;
        // Both forms are still open, now windows of the dialog's owner.
        QVERIFY(first && second);
        QVERIFY(first->isVisible());
        QCOMPARE(first->parentWidget(), &owner);
        // Done closes a form and it deletes itself.
        QTest::mouseClick(first->done_button(), Qt::LeftButton);
        QTRY_VERIFY(first.isNull());
        second->close();
        QTRY_VERIFY(second.isNull());
    }

    void theFormIsFilledFromTheAccountsAndTheMessageSection() {
        write_file(registry(), (account_section(3) + "SMTP Server=third.example\nSMTP Email Address=three@example\n" +
                                account_section(1) + "SMTP Server=first.example\n" +
                                "[Software\\Microsoft\\Internet Mail and News\\Mail]\n"
                                "Default SMTP Server=old.example\nSender EMail=old@example\n")
                                   .toUtf8());
        write_file(options(), "[Message]\nSubject=Faster transfers\nLine1=Hi,\nLine2=try Quoralith.\n");
        qputenv("EMAIL", "env@example");
        std::unique_ptr<CSendMailDlg> dialog(new CSendMailDlg(options(), registry()));
        QCOMPARE(dialog->objectName(), QString("1547"));
        QVERIFY(dialog->testAttribute(Qt::WA_DeleteOnClose));
        QCOMPARE(dialog->server_edit()->text(), QString("first.example"));
        QCOMPARE(dialog->from_edit()->text(), QString("three@example"));
        QCOMPARE(dialog->to_edit()->text(), QString());
        QCOMPARE(dialog->subject_edit()->text(), QString("Faster transfers"));
        QCOMPARE(dialog->message_edit()->toPlainText(), QString("Hi,\ntry Quoralith.") + QString(18, '\n'));
        QCOMPARE(dialog->send_button()->text(), QString("Send"));
        QCOMPARE(dialog->done_button()->text(), QString("Done"));
        QCOMPARE(dialog->status_label()->text(), QString());
        QCOMPARE(text_colour(dialog->status_label(), QPalette::WindowText), QColor(255, 0, 0));
        for (int id : {1000, 1001, 1002, 1003}) QVERIFY(dialog->findChild<QLineEdit*>(QString::number(id)));
        QVERIFY(dialog->findChild<QPlainTextEdit*>("1004"));
        QVERIFY(dialog->findChild<QPushButton*>("3"));
        QVERIFY(dialog->findChild<QLabel*>("1103"));
    }

    void theOlderMailKeyAndThenEmailFillWhatNoAccountHolds() {
        write_file(registry(), (account_section(2) + "Account Name=news only\n" +
                                "[Software\\Microsoft\\Internet Mail and News\\Mail]\nDefault SMTP Server=old.example\n")
                                   .toUtf8());
        qputenv("EMAIL", "env@example.org");
        std::unique_ptr<CSendMailDlg> dialog(new CSendMailDlg(options(), registry()));
        QCOMPARE(dialog->server_edit()->text(), QString("old.example"));
        QCOMPARE(dialog->from_edit()->text(), QString("env@example.org"));
    }

    void anOptionsFileWithoutMessageGivesAnEmptySubjectAnd19LineEnds() {
        write_file(options(), "[Options]\nEnableSound=1\n");
        std::unique_ptr<CSendMailDlg> dialog(new CSendMailDlg(options(), registry()));
        QCOMPARE(dialog->server_edit()->text(), QString());
        QCOMPARE(dialog->from_edit()->text(), QString());
        QCOMPARE(dialog->subject_edit()->text(), QString());
        QCOMPARE(dialog->message_edit()->toPlainText(), QString(19, '\n'));
    }

    void validationShowsTheFirstMissingFieldAndLeavesTheForm() {
        QPointer<CSendMailDlg> dialog = form(closed_port(), "friend@example.org");
        dialog->server_edit()->clear();
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QCOMPARE(MessageBox::shownTexts(), QStringList{"Outgoing(SMTP)mail server name must be specified"});
        QCOMPARE(MessageBox::shown().back().caption, QString("Quoralith"));
        QVERIFY(!dialog->sending());
        QVERIFY(dialog->send_button()->isEnabled());

        MessageBox::clearShown();
        dialog->server_edit()->setText("127.0.0.1");
        dialog->to_edit()->clear();
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QCOMPARE(MessageBox::shownTexts(), QStringList{"Recipient's mail address must be specified"});
        QVERIFY(!dialog->sending());
        QCOMPARE(dialog->done_button()->text(), QString("Done"));
        QCOMPARE(dialog->server_edit()->text(), QString("127.0.0.1"));
        QCOMPARE(dialog->from_edit()->text(), QString("me@example.org"));
        delete dialog;
    }

    void aSendShowsItsStatesAndReachesBothRecipientsInOneTransaction() {
        // MAIL's reply comes slowly, byte by byte, so "Sending message..." is seen.
        ScriptedSmtpServer server({GREETING, OK, {"250 ok, take your time\r\n", 1}, OK, OK,
                                   {"354 go ahead\r\n"}, OK, {"221 bye\r\n"}});
        QPointer<CSendMailDlg> dialog = form(server.port(), "Ann <ann@example.org>;bob@example.net");
        dialog->subject_edit()->setText("Hello");
        dialog->message_edit()->setPlainText("Line one\n.\nLine three");
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QVERIFY(dialog->sending());
        QVERIFY(!dialog->send_button()->isEnabled());
        QCOMPARE(dialog->done_button()->text(), QString("Cancel"));
        QCOMPARE(dialog->status_label()->text(), QString("Connecting to the server. Please wait..."));
        // The form keeps working while the send runs.
        dialog->subject_edit()->setText("Typed meanwhile");
        QTRY_COMPARE(dialog->status_label()->text(), QString("Sending message..."));
        QVERIFY(MessageBox::shown().empty());

        QTRY_COMPARE_WITH_TIMEOUT(MessageBox::shownTexts(), QStringList{"Message sent successfully. Thank you!"}, 10000);
        QVERIFY(!dialog->sending());
        QCOMPARE(dialog->status_label()->text(), QString());
        QCOMPARE(dialog->done_button()->text(), QString("Done"));
        QVERIFY(dialog->send_button()->isEnabled());
        QCOMPARE(dialog->to_edit()->text(), QString());
        QCOMPARE(dialog->subject_edit()->text(), QString("Typed meanwhile"));
        // The focus waits in To for the next address.
        QCOMPARE(dialog->focusWidget(), dialog->to_edit());

        std::string received = server.received();
        // One transaction: one MAIL, then both recipients, then one DATA.
        QCOMPARE(received.find("MAIL From:"), received.rfind("MAIL From:"));
        QVERIFY(received.find("RCPT TO: <ann@example.org>\r\nRCPT TO: <bob@example.net>\r\nDATA\r\n") !=
                std::string::npos);
        QVERIFY(received.find("To: Ann <ann@example.org>,<bob@example.net>\r\nSubject: Hello\r\n") !=
                std::string::npos);
        // The form's line feeds went out as CR LF, the lone dot doubled, and one
        // line end closes the body.
        QVERIFY(received.find("\r\n\r\nLine one\r\n..\r\nLine three\r\n.\r\nQUIT\r\n") != std::string::npos);
        delete dialog;
    }

    void anUnreachableServerShowsTheClientsTextAndTheFormIsReadyAgain() {
        QPointer<CSendMailDlg> dialog = form(closed_port(), "friend@example.org");
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(MessageBox::shownTexts(), QStringList{"Unable to connect to server"}, 10000);
        QCOMPARE(MessageBox::shown().back().caption, QString("Quoralith"));
        QVERIFY(!dialog->sending());
        QCOMPARE(dialog->done_button()->text(), QString("Done"));
        QVERIFY(dialog->send_button()->isEnabled());
        QCOMPARE(dialog->status_label()->text(), QString());
        QCOMPARE(dialog->to_edit()->text(), QString("friend@example.org"));

        // A refused MAIL shows the reply's code and text.
        MessageBox::clearShown();
        ScriptedSmtpServer server({GREETING, OK, {"550 not you\r\n"}, {"221 bye\r\n"}});
        dialog->set_port(server.port());
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(MessageBox::shownTexts(), QStringList{"550:SMTP server error"}, 10000);
        QVERIFY(dialog->send_button()->isEnabled());
        delete dialog;
    }

    void cancelWhileSendingClosesTheFormAndNothingReachesItAfterwards() {
        // The server greets and then never answers HELO.
        ScriptedSmtpServer server({GREETING, {std::nullopt}});
        QPointer<CSendMailDlg> dialog = form(server.port(), "friend@example.org");
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QVERIFY(dialog->sending());
        // Escape does not abandon a send; the Cancel button does.
        QTest::keyClick(dialog, Qt::Key_Escape);
        QVERIFY(dialog && dialog->isVisible());
        QCOMPARE(dialog->done_button()->text(), QString("Cancel"));
        QTest::mouseClick(dialog->done_button(), Qt::LeftButton);
        QTRY_VERIFY(dialog.isNull());
        // The send ends within moments, and says nothing to anyone.
        wait_for_jobs();
        QTest::qWait(50);
        QVERIFY(MessageBox::shown().empty());
    }

    void escapeClosesTheFormWhenNoSendRuns() {
        QPointer<CSendMailDlg> dialog = form(closed_port());
        QTest::keyClick(dialog, Qt::Key_Escape);
        QTRY_VERIFY(dialog.isNull());
    }

    void theMainWindowsTellYourFriendCommandOpensTheDialog() {
        CMorvaneApp app;
        app.init_instance();
        write_file(QString::fromStdString(app.readable_options_path()),
                   "[Message]\nSubject=From the main window\n");
        QString seen;
        QPointer<CSendMailDlg> opened;
        ModalDialog::setTestHook([&](QDialog& dialog) {
            seen = dialog.objectName();
            if (auto* tell = qobject_cast<CTellFriendDlg*>(&dialog)) opened = tell->open_send_mail();
            return int(QDialog::Rejected);
        });
        app.main_frame()->dispatch(ID_ACTIONS_TELL_FRIEND);
        QCOMPARE(seen, QString("140"));
        // The form opened from the dialog stays, as a window of the main window.
        QVERIFY(opened);
        QCOMPARE(opened->parentWidget(), app.main_frame());
        QCOMPARE(opened->subject_edit()->text(), QString("From the main window"));
        delete opened;
    }

    void theAccountDialogsEnablingRules() {
        CMailAccountDlg dialog({"mail.example.org", 25, SmtpSecurity::None, ""});
        QCOMPARE(dialog.objectName(), QString("mailAccount"));
        QCOMPARE(dialog.windowTitle(), QString("Mail Account"));
        auto* note = dialog.findChild<QLabel*>("note");
        QVERIFY(note);
        // No security: no login, and the note says why.
        QVERIFY(!dialog.user_edit()->isEnabled());
        QVERIFY(!dialog.password_edit()->isEnabled());
        QCOMPARE(note->text(), QString("A login needs STARTTLS or TLS, so that the password never travels unencrypted."));
        QVERIFY(dialog.ok_button()->isEnabled());
        QCOMPARE(dialog.security_box()->currentText(), QString("None"));
        QCOMPARE(dialog.port_box()->value(), 25);

        // The usual port follows the security ...
        dialog.security_box()->setCurrentIndex(1);
        QCOMPARE(dialog.port_box()->value(), 587);
        QVERIFY(dialog.user_edit()->isEnabled());
        QVERIFY(dialog.password_edit()->isEnabled());
        QCOMPARE(note->text(), QString("The password is kept in the desktop's secret store, not in a file."));
        dialog.security_box()->setCurrentIndex(2);
        QCOMPARE(dialog.port_box()->value(), 465);
        // ... and a port of the user's own stays.
        dialog.port_box()->setValue(2525);
        dialog.security_box()->setCurrentIndex(1);
        QCOMPARE(dialog.port_box()->value(), 2525);

        dialog.user_edit()->setText(" ann ");
        dialog.password_edit()->setText("s3cret");
        MailAccountSettings chosen = dialog.settings();
        QCOMPARE(chosen.server, std::string("mail.example.org"));
        QCOMPARE(chosen.port, 2525);
        QVERIFY(chosen.security == SmtpSecurity::StartTls);
        QCOMPARE(chosen.user, std::string("ann"));
        QCOMPARE(dialog.password(), QString("s3cret"));
        // Back to no security: the login is kept in the boxes but not used.
        dialog.security_box()->setCurrentIndex(0);
        QVERIFY(!dialog.user_edit()->isEnabled());
        QCOMPARE(dialog.settings().user, std::string());
        QCOMPARE(dialog.password(), QString());
        // OK needs a server.
        dialog.server_edit()->setText("  ");
        QVERIFY(!dialog.ok_button()->isEnabled());
    }

    void theAccountIsSavedBesideTheServerAndThePasswordOnlyInTheSecretStore() {
        write_file(registry(), (account_section(1) + "SMTP Server=old.example.org\nSMTP Email Address=me@x\n").toUtf8());
        QPointer<CSendMailDlg> dialog = new CSendMailDlg(options(), registry());
        dialog->show();
        QCOMPARE(dialog->account_label()->text(), QString("port 25, unencrypted, no login"));
        ModalDialog::setTestHook([](QDialog& shown) {
            auto* account = qobject_cast<CMailAccountDlg*>(&shown);
            if (!account) return int(QDialog::Rejected);
            // It opens with what the form holds.
            if (account->server_edit()->text() != "old.example.org") return int(QDialog::Rejected);
            account->server_edit()->setText("mail.example.org");
            account->security_box()->setCurrentIndex(1);
            account->user_edit()->setText("ann");
            account->password_edit()->setText("pass-7f3a9");
            return int(QDialog::Accepted);
        });
        QTest::mouseClick(dialog->account_button(), Qt::LeftButton);
        QCOMPARE(dialog->server_edit()->text(), QString("mail.example.org"));
        QCOMPARE(dialog->account_label()->text(), QString("port 587, STARTTLS, login as ann"));
        QTRY_COMPARE(store_.secrets.value("ann@mail.example.org"), QString("pass-7f3a9"));
        QVERIFY(MessageBox::shown().empty());

        QByteArray saved = read_file(registry());
        QVERIFY(saved.contains("SMTP Server=mail.example.org"));
        QVERIFY(saved.contains("SMTP Port=587"));
        QVERIFY(saved.contains("SMTP Security=STARTTLS"));
        QVERIFY(saved.contains("SMTP User Name=ann"));
        QVERIFY(saved.contains("SMTP Email Address=me@x"));
        // Not in the registry stand-in, not in any file the program wrote.
        QVERIFY(!any_file_holds(sandbox_->path(""), "pass-7f3a9"));
        delete dialog;

        // The next form opens with the account.
        std::unique_ptr<CSendMailDlg> next(new CSendMailDlg(options(), registry()));
        QCOMPARE(next->server_edit()->text(), QString("mail.example.org"));
        QCOMPARE(next->port(), 587);
        QVERIFY(next->security() == SmtpSecurity::StartTls);
        QCOMPARE(next->user(), QString("ann"));
    }

    void aStoreThatCannotKeepOrGiveThePasswordIsReportedInWords() {
        write_file(registry(), (account_section(1) + "SMTP Server=127.0.0.1\nSMTP Security=STARTTLS\n"
                                                     "SMTP User Name=ann\n").toUtf8());
        // Nothing in the store: the form says so and sends nothing.
        QPointer<CSendMailDlg> dialog = new CSendMailDlg(options(), registry());
        dialog->set_port(closed_port());
        dialog->show();
        dialog->to_edit()->setText("friend@example.org");
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QVERIFY(dialog->sending());
        QVERIFY(!dialog->account_button()->isEnabled());
        QTRY_COMPARE(MessageBox::shownTexts(),
                     QStringList{"No password is kept for ann at 127.0.0.1. Enter it under Account, then send again."});
        QVERIFY(!dialog->sending());
        QVERIFY(dialog->send_button()->isEnabled());
        QCOMPARE(dialog->done_button()->text(), QString("Done"));

        // A store that fails gives its own words.
        MessageBox::clearShown();
        store_.failure = "No keychain service available";
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QTRY_COMPARE(MessageBox::shownTexts(),
                     QStringList{"The password could not be read from the desktop's secret store: "
                                 "No keychain service available"});
        MessageBox::clearShown();
        ModalDialog::setTestHook([](QDialog& shown) {
            auto* account = qobject_cast<CMailAccountDlg*>(&shown);
            if (account) account->password_edit()->setText("typed");
            return int(account ? QDialog::Accepted : QDialog::Rejected);
        });
        QTest::mouseClick(dialog->account_button(), Qt::LeftButton);
        QTRY_COMPARE(MessageBox::shownTexts(),
                     QStringList{"The password could not be kept in the desktop's secret store: No keychain service "
                                 "available\nThis form uses it until it is closed."});
        // The typed password serves this form: the send goes on to the network.
        MessageBox::clearShown();
        int reads = store_.reads;
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(MessageBox::shownTexts(), QStringList{"Unable to connect to server"}, 10000);
        QCOMPARE(store_.reads, reads);
        delete dialog;
    }

    void theDesktopsOwnStoreAnswersAlsoWhereThereIsNone() {
        // The program's store, through QtKeychain: on a machine without a
        // secret service (this one, headless) it must answer in words, not
        // hang and not fall back to a file; with one, the key is not there.
        set_secret_store(nullptr);
        bool answered = false;
        SecretStatus status = SecretStatus::Found;
        QString error;
        QObject context;
        secret_store().read("nobody@quoralith-test.invalid", &context,
                            [&](SecretStatus got, const QString&, const QString& words) {
                                answered = true;
                                status = got;
                                error = words;
                            });
        QTRY_VERIFY_WITH_TIMEOUT(answered, 60000);
        QVERIFY(status != SecretStatus::Found);
        if (status == SecretStatus::Failed) QVERIFY(!error.isEmpty());
        qInfo() << "the desktop's store answered" << int(status) << error;
    }

    void aLoginOverStartTlsToARealServerWithTheWrongAndTheRightPassword() {
        QString cert = sandbox_->path("server.pem");
        QString key = sandbox_->path("server.key");
        QVERIFY(make_self_signed_certificate(cert.toStdString(), key.toStdString(), "DNS:localhost,IP:127.0.0.1"));
        std::string record = sandbox_->path("exchange.txt").toStdString();
        RecordingServer server(record, {"--starttls", cert.toStdString(), key.toStdString(), "--login", "ann",
                                        "s3cret"});
        if (server.port() <= 0) QSKIP("python3-aiosmtpd is not installed (scripts/install_deps.sh installs it)");
        write_file(registry(), (account_section(1) + "SMTP Server=localhost\nSMTP Port=" +
                                QString::number(server.port()) + "\nSMTP Security=STARTTLS\nSMTP User Name=ann\n" +
                                "SMTP CA File=" + cert + "\n").toUtf8());
        store_.secrets.insert("ann@localhost", "wrong");
        QPointer<CSendMailDlg> dialog = new CSendMailDlg(options(), registry());
        dialog->set_timeout(20s);
        dialog->show();
        dialog->from_edit()->setText("me@example.org");
        dialog->to_edit()->setText("friend@example.org");
        QCOMPARE(dialog->account_label()->text(),
                 QString("port %1, STARTTLS, login as ann").arg(server.port()));
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(MessageBox::shownTexts(),
                                  QStringList{"535:SMTP server refused the user name or password"}, 20000);
        QCOMPARE(dialog->to_edit()->text(), QString("friend@example.org"));

        // The refused password was forgotten: the next send reads the store again.
        MessageBox::clearShown();
        store_.secrets.insert("ann@localhost", "s3cret");
        QTest::mouseClick(dialog->send_button(), Qt::LeftButton);
        QTRY_COMPARE_WITH_TIMEOUT(MessageBox::shownTexts(), QStringList{"Message sent successfully. Thank you!"},
                                  20000);
        QCOMPARE(store_.reads, 2);
        delete dialog;
        server.stop();
        std::string exchange = slurp(record);
        QVERIFY(exchange.find("A: PLAIN refused") < exchange.find("A: PLAIN accepted"));
        QVERIFY(exchange.find("A: PLAIN accepted") != std::string::npos);
        QVERIFY(slurp(record + ".messages").find("friend@example.org") != std::string::npos);
    }

    // Pictures of both dialogs, for docs/mail.md when QUORALITH_SCREENSHOT_DIR
    // is set (a scratch folder otherwise).
    void screenshots() {
        write_file(registry(), (account_section(1) + "SMTP Server=mail.example.org\n"
                                                     "SMTP Email Address=me@example.org\n").toUtf8());
        write_file(options(), "[Message]\nSubject=Send updates, not whole files\nLine1=Hello,\nLine2=\n"
                              "Line3=I send my updates with Quoralith now: only what changed travels.\n");
        QString out = qEnvironmentVariable("QUORALITH_SCREENSHOT_DIR", sandbox_->path("shots"));
        QDir().mkpath(out);
        CTellFriendDlg tell(options(), registry());
        tell.show();
        QVERIFY(tell.grab().save(QDir(out).filePath("tell-your-friends.png")));
        write_file(registry(), (account_section(1) + "SMTP Server=mail.example.org\nSMTP Port=587\n"
                                                     "SMTP Security=STARTTLS\nSMTP User Name=me@example.org\n"
                                                     "SMTP Email Address=me@example.org\n").toUtf8());
        QPointer<CSendMailDlg> form = tell.open_send_mail();
        form->to_edit()->setText("Ann Lee <ann@example.org>;bob@example.net");
        QVERIFY(form->grab().save(QDir(out).filePath("send-mail.png")));
        CMailAccountDlg account({"mail.example.org", 587, SmtpSecurity::StartTls, "me@example.org"});
        account.password_edit()->setText("password");
        account.show();
        QVERIFY(account.grab().save(QDir(out).filePath("mail-account.png")));
        delete form;
    }
};

QTEST_MAIN(MailDialogsTest)
#include "mail_dialogs_test.moc"
