// The desktop's secret store through QtKeychain.
#include "mail/gui/secret_store.h"

#include <qt6keychain/keychain.h>

namespace quoralith {

namespace {

class KeychainStore : public SecretStore {
public:
    void read(const QString& key, QObject* context, ReadDone done) override {
        auto* job = new QKeychain::ReadPasswordJob(QString::fromLatin1(SECRET_STORE_SERVICE));
        job->setAutoDelete(true);
        // Never QtKeychain's plain-file fallback: no secret service is an error.
        job->setInsecureFallback(false);
        job->setKey(key);
        // Connected through `context`: a form closed meanwhile hears nothing.
        QObject::connect(job, &QKeychain::Job::finished, context, [done = std::move(done)](QKeychain::Job* finished) {
            auto* reader = static_cast<QKeychain::ReadPasswordJob*>(finished);
            if (reader->error() == QKeychain::NoError)
                done(SecretStatus::Found, reader->textData(), {});
            else if (reader->error() == QKeychain::EntryNotFound)
                done(SecretStatus::Missing, {}, {});
            else
                done(SecretStatus::Failed, {}, reader->errorString());
        });
        job->start();
    }

    void write(const QString& key, const QString& secret, QObject* context, WriteDone done) override {
        auto* job = new QKeychain::WritePasswordJob(QString::fromLatin1(SECRET_STORE_SERVICE));
        job->setAutoDelete(true);
        // Never QtKeychain's plain-file fallback: no secret service is an error.
        job->setInsecureFallback(false);
        job->setKey(key);
        job->setTextData(secret);
        QObject::connect(job, &QKeychain::Job::finished, context, [done = std::move(done)](QKeychain::Job* finished) {
            done(finished->error() == QKeychain::NoError, finished->errorString());
        });
        job->start();
    }
};

SecretStore* store_in_place = nullptr;

}  // namespace

SecretStore& secret_store() {
    static KeychainStore desktop;
    return store_in_place ? *store_in_place : desktop;
}

void set_secret_store(SecretStore* store) { store_in_place = store; }

QString mail_password_key(const QString& user, const QString& server) { return user + QLatin1Char('@') + server; }

}  // namespace quoralith
