// The Send Mail form's defaults: the registry stand-in and the options file.
#include "mail/mail_defaults.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace quoralith {
namespace {

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

const std::string OLD_KEY = "[Software\\Microsoft\\Internet Mail and News\\Mail]\n";

TEST(MailAccountDefaults, AccountKeysAreEightLowerCaseHexDigits) {
    EXPECT_EQ(mail_account_key(1), "Software\\Microsoft\\Internet Account Manager\\Accounts\\00000001");
    EXPECT_EQ(mail_account_key(15), "Software\\Microsoft\\Internet Account Manager\\Accounts\\0000000f");
}

TEST(MailAccountDefaults, TheFirstAccountHoldingAValueWinsEachValueOnItsOwn) {
    test::ScratchDir dir;
    std::string registry = dir.file("registry.ini");
    write_text(registry,
               "[" + mail_account_key(3) + "]\nSMTP Server=third.example\nSMTP Email Address=three@example\n"
               "[" + mail_account_key(1) + "]\nSMTP Server = first.example \n"
               "[" + mail_account_key(2) + "]\nAccount Name=no server here\n" + OLD_KEY +
               "Default SMTP Server=old.example\nSender EMail=old@example\n");
    MailAccountDefaults found = read_mail_account_defaults(registry, "env@example");
    // 00000001 before 00000003, whatever the file's order; the sender comes
    // from the first account that has one, not from the server's account.
    EXPECT_EQ(found.server, "first.example");
    EXPECT_EQ(found.sender, "three@example");
}

TEST(MailAccountDefaults, PortSecurityAndUserComeFromTheServersOwnAccount) {
    test::ScratchDir dir;
    std::string registry = dir.file("registry.ini");
    // The login of account 2 belongs to another server than account 1's.
    write_text(registry, "[" + mail_account_key(2) + "]\nSMTP Server=two.example\nSMTP Security=TLS\n"
                         "SMTP User Name=two\n[" + mail_account_key(1) + "]\nSMTP Server=one.example\n"
                         "SMTP Security=starttls\nSMTP Port=not a port\nSMTP CA File=/etc/ca.pem\n");
    MailAccountDefaults found = read_mail_account_defaults(registry, nullptr);
    EXPECT_EQ(found.server, "one.example");
    EXPECT_EQ(found.security, SmtpSecurity::StartTls);
    EXPECT_EQ(found.port, 587);  // the security's usual port for a value that is no port
    EXPECT_EQ(found.user, "");
    EXPECT_EQ(found.ca_file, "/etc/ca.pem");

    // From the older key: the plain exchange, whatever the accounts say.
    write_text(registry, "[" + mail_account_key(1) + "]\nSMTP Security=TLS\nSMTP User Name=me\n" + OLD_KEY +
                             "Default SMTP Server=old.example\n");
    found = read_mail_account_defaults(registry, nullptr);
    EXPECT_EQ(found.server, "old.example");
    EXPECT_EQ(found.security, SmtpSecurity::None);
    EXPECT_EQ(found.port, 25);
    EXPECT_EQ(found.user, "");
}

TEST(MailAccountDefaults, ASavedAccountIsReadBackAndKeepsTheRestOfTheFile) {
    test::ScratchDir dir;
    std::string registry = dir.file("registry.ini");
    write_text(registry, "; mine\n[" + mail_account_key(1) + "]\nSMTP Server=old.example\nSMTP Email Address=me@x\n" +
                             "[" + mail_account_key(3) + "]\nSMTP Server=three.example\n");
    ASSERT_TRUE(save_mail_account(registry, {"mail.example.org", 2525, SmtpSecurity::Tls, "me"}));
    MailAccountDefaults found = read_mail_account_defaults(registry, nullptr);
    EXPECT_EQ(found.server, "mail.example.org");
    EXPECT_EQ(found.port, 2525);
    EXPECT_EQ(found.security, SmtpSecurity::Tls);
    EXPECT_EQ(found.user, "me");
    EXPECT_EQ(found.sender, "me@x");
    std::ifstream in(registry);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.rfind("; mine\n", 0), 0u);
    EXPECT_NE(text.find("SMTP Security=TLS\n"), std::string::npos);
    EXPECT_NE(text.find("three.example"), std::string::npos);
    // A value that would break its line is not written, and nothing is saved.
    EXPECT_FALSE(save_mail_account(registry, {"evil\nSMTP Server=x", 25, SmtpSecurity::None, ""}));
    EXPECT_EQ(read_mail_account_defaults(registry, nullptr).server, "mail.example.org");
}

TEST(MailAccountDefaults, TheOlderMailKeyThenTheEnvironmentFillWhatNoAccountHolds) {
    test::ScratchDir dir;
    std::string registry = dir.file("registry.ini");
    // Account 16 is beyond the fifteen that are looked at.
    write_text(registry, "[" + mail_account_key(16) + "]\nSMTP Server=sixteen.example\n" + OLD_KEY +
                             "Default SMTP Server=old.example\n");
    MailAccountDefaults found = read_mail_account_defaults(registry, "env@example");
    EXPECT_EQ(found.server, "old.example");
    EXPECT_EQ(found.sender, "env@example");

    found = read_mail_account_defaults(dir.file("missing.ini"), nullptr);
    EXPECT_EQ(found.server, "");
    EXPECT_EQ(found.sender, "");
    EXPECT_EQ(read_mail_account_defaults(dir.file("missing.ini"), "env@example").sender, "env@example");
}

TEST(MailAccountDefaults, ValuesAreCutTo250Bytes) {
    test::ScratchDir dir;
    std::string registry = dir.file("registry.ini");
    write_text(registry, "[" + mail_account_key(1) + "]\nSMTP Server=" + std::string(300, 's') + "\n");
    EXPECT_EQ(read_mail_account_defaults(registry, nullptr).server, std::string(250, 's'));
}

TEST(MailText, SubjectAndTwentyLinesJoinedWithCrLf) {
    test::ScratchDir dir;
    std::string options = dir.file("Qralith.ini");
    write_text(options, "[Options]\nEnableSound=1\n[Message]\nSubject= Have a look \nLine1=Hello,\nLine3=Bye\nLine20=end\n"
                        "Line21=never\n");
    MailText text = read_mail_text(options);
    EXPECT_EQ(text.subject, "Have a look");
    std::string expected = "Hello,\r\n\r\nBye";
    for (int line = 4; line <= 19; ++line) expected += "\r\n";
    expected += "\r\nend";
    EXPECT_EQ(text.message, expected);
}

TEST(MailText, NoMessageSectionGivesAnEmptySubjectAnd19LineEnds) {
    test::ScratchDir dir;
    std::string options = dir.file("Qralith.ini");
    write_text(options, "[Options]\nEnableSound=1\n");
    std::string nineteen;
    for (int i = 0; i < 19; ++i) nineteen += "\r\n";
    EXPECT_EQ(read_mail_text(options).subject, "");
    EXPECT_EQ(read_mail_text(options).message, nineteen);
    EXPECT_EQ(read_mail_text(dir.file("missing.ini")).message, nineteen);
}

TEST(MailText, LongLinesAreCutTo255Characters) {
    test::ScratchDir dir;
    std::string options = dir.file("Qralith.ini");
    write_text(options, "[Message]\nSubject=" + std::string(400, 'x') + "\nLine1=" + std::string(256, 'y') + "\n");
    MailText text = read_mail_text(options);
    EXPECT_EQ(text.subject, std::string(255, 'x'));
    EXPECT_EQ(text.message.substr(0, 257), std::string(255, 'y') + "\r\n");
}

}  // namespace
}  // namespace quoralith
