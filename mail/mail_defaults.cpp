// The Send Mail form's defaults.
#include "mail/mail_defaults.h"

#include "shell/profile_file.h"
#include "shell/program_files.h"

#include <cstdio>

namespace quoralith {

namespace {

// The value `name` of the first account key that holds it, else of the
// older mail key under `old_name`; false when none holds it.
bool find_account_value(const ProfileFile& registry, const char* name, const char* old_name, std::string& value) {
    for (int number = 1; number <= MAIL_ACCOUNT_COUNT; ++number)
        if (registry.get(mail_account_key(number), name, value)) return true;
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
    if (find_account_value(registry, "SMTP Server", "Default SMTP Server", value))
        defaults.server = cut(value, MAIL_REGISTRY_VALUE_LIMIT);
    if (find_account_value(registry, "SMTP Email Address", "Sender EMail", value))
        defaults.sender = cut(value, MAIL_REGISTRY_VALUE_LIMIT);
    if (defaults.sender.empty() && email_variable) defaults.sender = cut(email_variable, MAIL_REGISTRY_VALUE_LIMIT);
    return defaults;
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
