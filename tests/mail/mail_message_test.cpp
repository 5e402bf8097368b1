// Recipient parsing, the header, the date and the transparent body.
#include "mail/mail_message.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>

namespace quoralith {
namespace {

std::vector<std::pair<std::string, std::string>> pairs(const MailMessage& message) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const MailRecipient& recipient : message.recipients) out.emplace_back(recipient.name, recipient.address);
    return out;
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

TEST(MailRecipients, NamedAndBareAddressesKeepTheirBlanksAndGiveTheToList) {
    MailMessage message;
    ASSERT_TRUE(message.add_recipients("Ann Lee <ann@example.org>;bob@example.org"));
    EXPECT_EQ(pairs(message), (Pairs{{"Ann Lee ", "ann@example.org"}, {"", "bob@example.org"}}));
    ASSERT_TRUE(message.prepare_header("ZV Mail", 0));
    EXPECT_NE(message.header.find("\r\nTo: Ann Lee <ann@example.org>,<bob@example.org>\r\n"), std::string::npos);
}

TEST(MailRecipients, PiecesAreNeitherTrimmedNorSkipped) {
    MailMessage message;
    // A blank after ";" stays in the address; a ";" at the end adds an empty
    // piece; a "<" without ">" runs to the piece's end.
    ASSERT_TRUE(message.add_recipients("a@x; b@y;C <c@z;"));
    EXPECT_EQ(pairs(message), (Pairs{{"", "a@x"}, {"", " b@y"}, {"C ", "c@z"}, {"", ""}}));

    MailMessage empty;
    ASSERT_TRUE(empty.add_recipients(""));
    EXPECT_EQ(pairs(empty), (Pairs{{"", ""}}));

    // A ">" with no "<" is part of a bare address; text after ">" is dropped.
    MailMessage odd;
    ASSERT_TRUE(odd.add_recipients("a>b;N <n@x> tail"));
    EXPECT_EQ(pairs(odd), (Pairs{{"", "a>b"}, {"N ", "n@x"}}));
}

TEST(MailRecipients, AClosingBracketBeforeTheOpeningOneStopsAfterTheEarlierPieces) {
    MailMessage message;
    EXPECT_FALSE(message.add_recipients("first@x;a>b<c>;never@x"));
    EXPECT_EQ(pairs(message), (Pairs{{"", "first@x"}}));
}

TEST(MailHeader, NoRecipientsBuildsNothing) {
    MailMessage message;
    EXPECT_FALSE(message.prepare_header("ZV Mail", 0));
    EXPECT_TRUE(message.header.empty());
}

TEST(MailHeader, FieldsInOrderWithMailerAndAnEmptyLine) {
    MailMessage message;
    message.from = "me@example.org";
    message.subject = "Try it";
    message.add_recipients("you@example.org");
    std::time_t now = 1796666405;  // a Monday in December 2026
    ASSERT_TRUE(message.prepare_header("ZV Mail", now));
    EXPECT_EQ(message.date, now);
    EXPECT_EQ(message.header, "Date: " + format_mail_date(now) +
                                  "\r\nFrom: me@example.org\r\nTo: <you@example.org>\r\nSubject: Try it\r\n"
                                  "X-Mailer: <ZV Mail>\r\n\r\n");
}

TEST(MailHeader, LineBreaksInFieldsCannotAddHeaderLines) {
    MailMessage message;
    message.from = "me@x\r\nBcc: spy@x";
    message.subject = "a\nb";
    message.add_recipients("you@x");
    ASSERT_TRUE(message.prepare_header("ZV Mail", 0));
    EXPECT_NE(message.header.find("From: me@x  Bcc: spy@x\r\n"), std::string::npos);
    EXPECT_NE(message.header.find("Subject: a b\r\n"), std::string::npos);
    EXPECT_EQ(message.header.find("\nBcc"), std::string::npos);
}

TEST(MailDate, EnglishNamesFourDigitYearAndNumericZone) {
    const char* old_zone = std::getenv("TZ");
    std::string saved = old_zone ? old_zone : "";
    // Fixed zones without daylight saving: one east of UTC, one west with half hours.
    setenv("TZ", "UTC-1", 1);
    tzset();
    EXPECT_EQ(format_mail_date(1796666405), "Mon, 07 Dec 2026 19:00:05 +0100");
    setenv("TZ", "<-0330>3:30", 1);
    tzset();
    EXPECT_EQ(format_mail_date(0), "Wed, 31 Dec 1969 20:30:00 -0330");
    if (old_zone)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    std::regex shape(R"(^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d\d [A-Z][a-z][a-z] \d{4} \d\d:\d\d:\d\d [+-]\d{4}$)");
    EXPECT_TRUE(std::regex_match(format_mail_date(std::time(nullptr)), shape));
}

TEST(MailBody, LineEndsBecomeCrLfAndLeadingDotsAreDoubled) {
    MailMessage message;
    message.body = ".first\nsecond\r\n.\r\nthird\r..fourth";
    // Every line end as CR LF, a final one added, and a dot in front of each
    // line that begins with one (the lone "." too, which would end the data).
    EXPECT_EQ(message.transparent_body(), "..first\r\nsecond\r\n..\r\nthird\r\n...fourth\r\n");

    message.body = "ends well\r\n";
    EXPECT_EQ(message.transparent_body(), "ends well\r\n");
    // Blank lines at the end go (spaces on the last text line stay); a body
    // of nothing else is empty, so the end-of-data line follows the header.
    message.body = "text  \r\n\r\n \t\n\n";
    EXPECT_EQ(message.transparent_body(), "text  \r\n");
    message.body = "\r\n\r\n\r\n";
    EXPECT_EQ(message.transparent_body(), "");
    message.body = "";
    EXPECT_EQ(message.transparent_body(), "");
    message.body = "a.b\n.";
    EXPECT_EQ(message.transparent_body(), "a.b\r\n..\r\n");
}

TEST(MailBody, BareLineEndsAreConverted) {
    EXPECT_EQ(to_crlf("a\nb\rc\r\nd\n\n"), "a\r\nb\r\nc\r\nd\r\n\r\n");
    EXPECT_EQ(to_crlf("\r\r\n"), "\r\n\r\n");
}

}  // namespace
}  // namespace quoralith
