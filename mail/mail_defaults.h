// Where the Send Mail form's defaults come from: the outgoing server and the
// sender address from the mail-account settings, and the canned subject and
// message from the "Message" section of the options file.
//
// The mail-account settings are kept in a profile file of the user's
// configuration directory, "registry.ini", whose sections are the account key
// paths and whose keys are the value names, for example
//
//   [Software\Microsoft\Internet Account Manager\Accounts\00000001]
//   SMTP Server=mail.example.org
//   SMTP Email Address=me@example.org
//
// An account may say more than the server and the sender: the port, the
// security and the user name the Send Mail form's account settings write
// (and a certificate file, for a server whose certificate no public
// authority signed), in the account key that holds the server:
//
//   SMTP Port=587
//   SMTP Security=STARTTLS
//   SMTP User Name=me@example.org
//   SMTP CA File=/etc/ssl/private-ca.pem
//
// The password is never kept here: it lives in the desktop's secret store.
//
// Thread safety: plain functions; each reads its files afresh.
#pragma once

#include "mail/smtp_client.h"

#include <string>

namespace quoralith {

inline constexpr const char* MAIL_REGISTRY_FILE_NAME = "registry.ini";
inline constexpr const char* MAIL_ACCOUNTS_KEY = "Software\\Microsoft\\Internet Account Manager\\Accounts\\";
inline constexpr const char* MAIL_OLD_KEY = "Software\\Microsoft\\Internet Mail and News\\Mail";
inline constexpr int MAIL_ACCOUNT_COUNT = 15;
// Every registry value is read as a text of at most this many bytes.
inline constexpr std::size_t MAIL_REGISTRY_VALUE_LIMIT = 250;
// Every message text of the options file is at most this many characters.
inline constexpr std::size_t MAIL_MESSAGE_TEXT_LIMIT = 255;
inline constexpr int MAIL_MESSAGE_LINES = 20;

struct MailAccountDefaults {
    std::string server;
    std::string sender;
    // The account that holds the server: its port (the security's usual port
    // when missing or not a port), its security ("STARTTLS", "TLS", anything
    // else none), its user name and certificate file (empty when missing).
    // With no account, the plain exchange on port 25.
    int port = SMTP_PORT;
    SmtpSecurity security = SmtpSecurity::None;
    std::string user;
    std::string ca_file;
};

// The account settings the Send Mail form saves.
struct MailAccountSettings {
    std::string server;
    int port = SMTP_PORT;
    SmtpSecurity security = SmtpSecurity::None;
    std::string user;
};

// "None", "STARTTLS" or "TLS", as stored; parsing ignores case and takes
// anything else as none.
const char* smtp_security_name(SmtpSecurity security);
SmtpSecurity parse_smtp_security(const std::string& text);

// The registry stand-in's path: <configuration directory>/registry.ini, or
// empty when no configuration directory is known.
std::string mail_registry_path();

// The account key "...\Accounts\" + eight lower-case hexadecimal digits of
// `number` (1 to 15).
std::string mail_account_key(int number);

// The server: "SMTP Server" of the first account key (00000001 to 0000000f)
// that holds it, else "Default SMTP Server" of the older mail key. The sender:
// "SMTP Email Address" of the first account that holds it, else "Sender EMail"
// of the older key, else `email_variable` (the EMAIL environment variable,
// which mail programs on Linux share) when that is not null. A missing file,
// key or value counts as not holding the value.
MailAccountDefaults read_mail_account_defaults(const std::string& registry_file, const char* email_variable);

// Writes `settings` into the first account key (00000001) of
// `registry_file`, which is then the account read first; other keys and
// accounts are kept. False, and the file unchanged, when it cannot be written.
bool save_mail_account(const std::string& registry_file, const MailAccountSettings& settings);

struct MailText {
    std::string subject;
    // Line1 to Line20 joined with CR LF between them (none after Line20).
    std::string message;
};

// Section "Message" of `options_file`; a missing file, section or key gives
// empty texts (and so 19 line ends for the message).
MailText read_mail_text(const std::string& options_file);

}  // namespace quoralith
