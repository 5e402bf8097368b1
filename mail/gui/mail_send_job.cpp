// The send thread.
#include "mail/gui/mail_send_job.h"

#include "mail/smtp_client.h"

#include <QCoreApplication>

#include <utility>

namespace quoralith {

namespace {

std::atomic<int> live_job_count{0};

}  // namespace

MailSendJob::MailSendJob(std::string server, int port, MailMessage message, std::chrono::milliseconds timeout,
                         SmtpAccount account)
    : QThread(QCoreApplication::instance()),
      server_(std::move(server)),
      port_(port),
      message_(std::move(message)),
      timeout_(timeout),
      account_(std::move(account)) {
    ++live_job_count;
    connect(this, &QThread::finished, this, &QObject::deleteLater);
}

MailSendJob::~MailSendJob() {
    cancel();
    wait();
    --live_job_count;
}

int MailSendJob::live_jobs() { return live_job_count.load(); }

void MailSendJob::run() {
    SmtpClient client(server_, port_);
    client.set_timeout(timeout_);
    // The client wipes the password when it goes; this copy is not needed again.
    client.set_account(std::exchange(account_, {}));
    client.set_keep_going([this] { return !cancelled_.load(); });
    bool ok = client.connect();
    if (ok) {
        emit sending();
        ok = client.send(message_) && client.disconnect();
    }
    emit completed(ok, QString::fromStdString(client.error_text()));
    // A client left connected by a failed send says QUIT as it goes.
}

}  // namespace quoralith
