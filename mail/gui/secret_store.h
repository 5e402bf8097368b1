// Where the mail password lives: the desktop's secret store (the Secret
// Service of GNOME Keyring or KWallet, through QtKeychain), never a file of
// ours. The store answers later, on the user-interface thread; a desktop
// without one answers with an error text, which the form shows.
//
// Tests put a store of their own in place (there is no secret service on a
// headless machine); the program always uses the desktop's.
//
// Thread safety: user-interface thread only.
#pragma once

#include <QObject>
#include <QString>

#include <functional>

namespace quoralith {

// The service name the passwords are filed under.
inline constexpr const char* SECRET_STORE_SERVICE = "Quoralith mail";

enum class SecretStatus { Found, Missing, Failed };

class SecretStore {
public:
    virtual ~SecretStore() = default;
    // The secret filed under `key`. `done` runs later on the user-interface
    // thread, and not at all once `context` is gone; `error` is the store's
    // own words when the status is Failed.
    using ReadDone = std::function<void(SecretStatus status, const QString& secret, const QString& error)>;
    virtual void read(const QString& key, QObject* context, ReadDone done) = 0;
    // Files `secret` under `key`, replacing what was there.
    using WriteDone = std::function<void(bool ok, const QString& error)>;
    virtual void write(const QString& key, const QString& secret, QObject* context, WriteDone done) = 0;
};

// The store in use: the desktop's, unless a test put its own in place.
SecretStore& secret_store();
// Puts `store` in place (not owned); nullptr puts the desktop's back.
void set_secret_store(SecretStore* store);

// The key a mail password is filed under: "user@server".
QString mail_password_key(const QString& user, const QString& server);

}  // namespace quoralith
