// The Send Mail form's defaults.
#include "mail/mail_defaults.h"

#include "base/profile_file.h"
#include "base/program_files.h"

#include <cctype>
#include <cstdio>

namespace quoralith {

namespace {

constexpr const char* MAIL_PORT_VALUE = "SMTP Port";
constexpr const char* MAIL_SECURITY_VALUE = "SMTP Security";
constexpr const char* MAIL_USER_VALUE = "SMTP User Name";
constexpr const char* MAIL_CA_FILE_VALUE = "SMTP CA File";

// The value `name` of the first account key that holds it, else of the
// older mail key under `old_name`; false when none holds it. `key` receives
// the key that held it.
bool find_account_value(const ProfileFile& registry, const char* name, const char* old_name, std::string& value,
                        std::string* key = nullptr) {
    for (int number = 1; number <= MAIL_ACCOUNT_COUNT; ++number) {
        std::string account = mail_account_key(number);
        if (registry.get(account, name, value)) {
            if (key) *key = account;
            return true;
        }
    }
    if (key) *key = MAIL_OLD_KEY;
    return registry.get(MAIL_OLD_KEY, old_name, value);
}

std::string cut(std::string text, std::size_t limit) {
    if (text.size() > limit) text.resize(limit);
    return text;
}

}  // namespace

std::string mail_registry_path() {
    std::string directory = config_directory();
    if (directory.empty()) return {};
    return directory + "/" + MAIL_REGISTRY_FILE_NAME;
}

std::string mail_account_key(int number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(number));
    return std::string(MAIL_ACCOUNTS_KEY) + digits;
}

MailAccountDefaults read_mail_account_defaults(const std::string& registry_file, const char* email_variable) {
    MailAccountDefaults defaults;
    ProfileFile registry(registry_file);
    std::string value;
    std::string account;
    if (find_account_value(registry, "SMTP Server", "Default SMTP Server", value, &account)) {
        defaults.server = cut(value, MAIL_REGISTRY_VALUE_LIMIT);
        // The rest belongs to the server it came with; the older key knows
        // nothing of it.
        if (account != MAIL_OLD_KEY) {
            if (registry.get(account, MAIL_SECURITY_VALUE, value)) defaults.security = parse_smtp_security(value);
            defaults.port = smtp_default_port(defaults.security);
            if (registry.get(account, MAIL_PORT_VALUE, value)) {
                int port = parse_leading_int(value, 0);
                if (port > 0 && port <= 65535) defaults.port = port;
            }
            if (registry.get(account, MAIL_USER_VALUE, value)) defaults.user = cut(value, MAIL_REGISTRY_VALUE_LIMIT);
            if (registry.get(account, MAIL_CA_FILE_VALUE, value)) defaults.ca_file = value;
        }
    }
    if (find_account_value(registry, "SMTP Email Address", "Sender EMail", value))
        defaults.sender = cut(value, MAIL_REGISTRY_VALUE_LIMIT);
    if (defaults.sender.empty() && email_variable) defaults.sender = cut(email_variable, MAIL_REGISTRY_VALUE_LIMIT);
    return defaults;
}

const char* smtp_security_name(SmtpSecurity security) {
    switch (security) {
        case SmtpSecurity::StartTls: return "STARTTLS";
        case SmtpSecurity::Tls: return "TLS";
        case SmtpSecurity::None: break;
    }
    return "None";
}

SmtpSecurity parse_smtp_security(const std::string& text) {
    std::string name;
    for (char c : text) name += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (name == "STARTTLS") return SmtpSecurity::StartTls;
    if (name == "TLS") return SmtpSecurity::Tls;
    return SmtpSecurity::None;
}

bool save_mail_account(const std::string& registry_file, const MailAccountSettings& settings) {
    ProfileFile registry(registry_file);
    std::string account = mail_account_key(1);
    // set() refuses a value with a line break; such a value is not saved at all.
    bool ok = registry.set(account, "SMTP Server", settings.server) &&
              registry.set(account, MAIL_PORT_VALUE, std::to_string(settings.port)) &&
              registry.set(account, MAIL_SECURITY_VALUE, smtp_security_name(settings.security)) &&
              registry.set(account, MAIL_USER_VALUE, settings.user);
    return ok && registry.save();
}

MailText read_mail_text(const std::string& options_file) {
    // One load of the file serves all twenty-one reads.
    ProfileFile options(options_file);
    auto read = [&options](const std::string& key) {
        std::string value;
        options.get("Message", key, value);
        return cut(value, MAIL_MESSAGE_TEXT_LIMIT);
    };
    MailText text;
    text.subject = read("Subject");
    for (int line = 1; line <= MAIL_MESSAGE_LINES; ++line) {
        if (line > 1) text.message += "\r\n";
        text.message += read("Line" + std::to_string(line));
    }
    return text;
}

}  // namespace quoralith
