// One press of Send: connect, send and disconnect on a thread of its own, so
// that the Send Mail dialog stays responsive and can be closed at any time.
//
// The job lives on the user-interface thread (it is a QObject there) and
// deletes itself after its thread ends. Its owner may be gone by then: the
// owner cancels the job when it closes, and queued signals to a destroyed
// receiver are dropped by Qt, so a closed dialog is never touched.
//
// Thread safety: cancel() may be called from any thread; everything else on
// the user-interface thread.
#pragma once

#include "mail/mail_message.h"
#include "mail/smtp_client.h"

#include <QString>
#include <QThread>

#include <atomic>
#include <chrono>
#include <string>

namespace quoralith {

class MailSendJob : public QThread {
    Q_OBJECT
public:
    // `account` as the client takes it; the default is the plain exchange.
    MailSendJob(std::string server, int port, MailMessage message, std::chrono::milliseconds timeout,
                SmtpAccount account = {});
    // Cancels and waits for the thread, which ends within a tenth of a second
    // (or once a name look-up in progress returns).
    ~MailSendJob() override;

    // Asks the thread to give up; the connection is dropped at once, so a
    // message whose end-of-data line was not yet sent is not delivered.
    void cancel() { cancelled_.store(true); }
    bool cancelled() const { return cancelled_.load(); }

    // Jobs that exist now (running, or finished and not yet deleted).
    static int live_jobs();

signals:
    // The server answered and the message is on its way.
    void sending();
    // The end: `ok` when connect, send and disconnect all succeeded; else the
    // client's error text.
    void completed(bool ok, const QString& error_text);

protected:
    void run() override;

private:
    std::string server_;
    int port_;
    MailMessage message_;
    std::chrono::milliseconds timeout_;
    SmtpAccount account_;
    std::atomic<bool> cancelled_{false};
};

}  // namespace quoralith
