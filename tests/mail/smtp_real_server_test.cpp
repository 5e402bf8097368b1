// The SMTP client against a real server on loopback: aiosmtpd (Debian's
// python3-aiosmtpd, installed by scripts/install_deps.sh), started here on a
// free port, recording the exchange, the raw bytes and the messages it accepts.
// The encrypted cases make a self-signed certificate at run time and hand it
// to the client as its certificate file; the system's store does not trust it.
#include "mail/smtp_client.h"

#include "mail/smtp_test_server.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>

namespace quoralith {
namespace {

using test::RecordingServer;
using test::slurp;

constexpr const char* NO_SERVER =
    "no SMTP server to test against: python3-aiosmtpd is not installed (scripts/install_deps.sh installs it)";

std::size_t count_of(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

MailMessage greeting_to_ann() {
    MailMessage message;
    message.from = "sender@example.org";
    message.subject = "Have a look at Quoralith";
    message.body = "Hello,\nthis came encrypted.\n";
    message.add_recipients("ann@example.org");
    return message;
}

// A scratch folder with a certificate for this machine's loopback names and
// one made out to another host, both self-signed.
class SmtpEncryptedServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(test::make_self_signed_certificate(cert(), key(), "DNS:localhost,IP:127.0.0.1"));
        ASSERT_TRUE(test::make_self_signed_certificate(other_cert(), other_key(), "DNS:mail.other.test"));
    }
    std::string cert() const { return dir_.file("loopback.pem"); }
    std::string key() const { return dir_.file("loopback.key"); }
    std::string other_cert() const { return dir_.file("other.pem"); }
    std::string other_key() const { return dir_.file("other.key"); }
    std::string record() const { return dir_.file("exchange.txt"); }

    // Connects, sends greeting_to_ann() and disconnects; false and the error
    // text at the first step that fails.
    static bool send_once(SmtpClient& client, std::string& error) {
        client.set_timeout(std::chrono::seconds(20));
        MailMessage message = greeting_to_ann();
        bool ok = client.connect() && client.send(message) && client.disconnect();
        error = client.error_text();
        return ok;
    }

    test::ScratchDir dir_;
};

TEST(SmtpRealServer, TwoRecipientsInOneTransactionWithDotsDoubledAndOneFinalLineEnd) {
    test::ScratchDir dir;
    std::string record = dir.file("exchange.txt");
    auto server = std::make_unique<RecordingServer>(record);
    if (server->port() <= 0) GTEST_SKIP() << NO_SERVER;

    MailMessage message;
    message.from = "sender@example.org";
    message.subject = "Have a look at Quoralith";
    // The blank lines at the end, as a canned message of few lines leaves
    // them, do not travel.
    message.body = "Hello,\n.hidden line\n.\nBye\n\n \n\n";
    ASSERT_TRUE(message.add_recipients("Ann Lee <ann@example.org>;bob@example.net"));
    {
        SmtpClient client("127.0.0.1", server->port());
        client.set_timeout(std::chrono::seconds(20));
        ASSERT_TRUE(client.connect()) << client.error_text();
        ASSERT_TRUE(client.send(message)) << client.error_text();
        ASSERT_TRUE(client.disconnect()) << client.error_text();
    }
    server->stop();

    std::string exchange = slurp(record);
    std::cout << "The exchange as the server recorded it:\n" << exchange;
    std::string raw = slurp(record + ".raw");
    std::string messages = slurp(record + ".messages");

    // The plain exchange, one transaction: HELO, one MAIL, two RCPT, one
    // DATA, one message accepted for both.
    EXPECT_EQ(exchange.find("C: "), exchange.find("C: HELO "));
    EXPECT_EQ(count_of(exchange, "EHLO"), 0u);
    EXPECT_EQ(count_of(exchange, "C: MAIL From: <sender@example.org>\n"), 1u);
    EXPECT_EQ(count_of(exchange, "C: RCPT TO: <ann@example.org>\nS: 250"), 1u);
    EXPECT_EQ(count_of(exchange, "C: RCPT TO: <bob@example.net>\nS: 250"), 1u);
    EXPECT_EQ(count_of(exchange, "C: DATA\nS: 354"), 1u);
    EXPECT_EQ(count_of(exchange, "S: 250 Message accepted for delivery"), 1u);
    EXPECT_NE(exchange.find("C: QUIT\nS: 221"), std::string::npos);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1);
    EXPECT_NE(messages.find("\"mail_from\": \"sender@example.org\""), std::string::npos);
    EXPECT_NE(messages.find("\"rcpt_tos\": [\"ann@example.org\", \"bob@example.net\"]"), std::string::npos);

    // On the wire: the header, the body with CR LF line ends and its leading
    // dots doubled, one line end after its last line, and the end-of-data line.
    std::string expected_data = message.header + "Hello,\r\n..hidden line\r\n..\r\nBye\r\n" + ".\r\n";
    EXPECT_NE(raw.find("DATA\r\n" + expected_data + "QUIT\r\n"), std::string::npos) << raw;
    EXPECT_NE(message.header.find("To: Ann Lee <ann@example.org>,<bob@example.net>\r\n"), std::string::npos);
    // As delivered, the server has taken the extra dots off again.
    std::string delivered = message.header + "Hello,\r\n.hidden line\r\n.\r\nBye\r\n";
    std::string escaped;
    for (char c : delivered) {
        if (c == '\r') escaped += "\\r";
        else if (c == '\n') escaped += "\\n";
        else if (c == '"') escaped += "\\\"";
        else escaped += c;
    }
    EXPECT_NE(messages.find("\"content\": \"" + escaped + "\""), std::string::npos) << messages;
}

TEST_F(SmtpEncryptedServer, StartTlsWithTheRightPasswordDeliversAndTheWrongOneIsRefusedInWords) {
    RecordingServer server(record(), {"--starttls", cert(), key(), "--login", "ann", "s3cret"});
    if (server.port() <= 0) GTEST_SKIP() << NO_SERVER;
    std::string error;
    {
        // By name, so that the name check and SNI take the host-name path.
        SmtpClient client("localhost", server.port());
        client.set_account({SmtpSecurity::StartTls, "ann", "wrong", cert()});
        EXPECT_FALSE(send_once(client, error));
        EXPECT_EQ(error, "535:SMTP server refused the user name or password");
        EXPECT_FALSE(client.connected());
    }
    {
        SmtpClient client("localhost", server.port());
        client.set_account({SmtpSecurity::StartTls, "ann", "s3cret", cert()});
        EXPECT_TRUE(send_once(client, error)) << error;
    }
    server.stop();
    std::string exchange = slurp(record());
    std::cout << "The exchange as the server recorded it:\n" << exchange;
    std::string messages = slurp(record() + ".messages");
    // Both times: EHLO, STARTTLS, EHLO again inside TLS, then the login.
    EXPECT_EQ(count_of(exchange, "C: STARTTLS\nS: 220"), 2u);
    EXPECT_EQ(count_of(exchange, "C: HELO"), 0u);
    EXPECT_EQ(count_of(exchange, "A: PLAIN refused"), 1u);
    EXPECT_EQ(count_of(exchange, "A: PLAIN accepted"), 1u);
    std::size_t second_session = exchange.find("A: PLAIN refused");
    std::size_t starttls = exchange.find("C: STARTTLS", second_session);
    EXPECT_LT(starttls, exchange.find("C: AUTH PLAIN", second_session));
    EXPECT_LT(exchange.find("C: EHLO", starttls), exchange.find("C: AUTH PLAIN", second_session));
    // Only the logged-in session delivered, its body ending in one line end.
    EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1);
    EXPECT_NE(messages.find("Hello,\\r\\nthis came encrypted.\\r\\n\"}"), std::string::npos) << messages;
}

TEST_F(SmtpEncryptedServer, AuthLoginIsUsedWhenTheServerOffersNoPlain) {
    RecordingServer server(record(), {"--starttls", cert(), key(), "--login", "ann", "s3cret", "--only", "LOGIN"});
    if (server.port() <= 0) GTEST_SKIP() << NO_SERVER;
    std::string error;
    {
        SmtpClient client("127.0.0.1", server.port());
        client.set_account({SmtpSecurity::StartTls, "ann", "s3cret", cert()});
        EXPECT_TRUE(send_once(client, error)) << error;
    }
    {
        SmtpClient client("127.0.0.1", server.port());
        client.set_account({SmtpSecurity::StartTls, "ann", "not it", cert()});
        EXPECT_FALSE(send_once(client, error));
        EXPECT_EQ(error, "535:SMTP server refused the user name or password");
    }
    server.stop();
    std::string exchange = slurp(record());
    EXPECT_EQ(count_of(exchange, "C: AUTH LOGIN\nS: 334"), 2u);
    EXPECT_EQ(count_of(exchange, "A: LOGIN accepted"), 1u);
    EXPECT_EQ(count_of(exchange, "A: LOGIN refused"), 1u);
    EXPECT_EQ(count_of(exchange, "AUTH PLAIN"), 0u);
}

TEST_F(SmtpEncryptedServer, ImplicitTlsFromTheFirstByte) {
    RecordingServer server(record(), {"--tls", cert(), key(), "--login", "ann", "s3cret"});
    if (server.port() <= 0) GTEST_SKIP() << NO_SERVER;
    std::string error;
    {
        SmtpClient client("127.0.0.1", server.port());
        client.set_account({SmtpSecurity::Tls, "ann", "s3cret", cert()});
        EXPECT_TRUE(send_once(client, error)) << error;
    }
    {
        // The same server asked for STARTTLS: the client's plain EHLO meets
        // a TLS handshake and gets no greeting it can read.
        SmtpClient client("127.0.0.1", server.port());
        client.set_account({SmtpSecurity::StartTls, "ann", "s3cret", cert()});
        client.set_timeout(std::chrono::seconds(2));
        EXPECT_FALSE(client.connect());
        EXPECT_EQ(client.error_text(), "Server didn't respond.");
    }
    server.stop();
    std::string exchange = slurp(record());
    std::string raw = slurp(record() + ".raw");
    EXPECT_EQ(count_of(exchange, "STARTTLS"), 0u);
    EXPECT_EQ(count_of(exchange, "A: PLAIN accepted"), 1u);
    EXPECT_EQ(count_of(slurp(record() + ".messages"), "\n"), 1u);
    // The recorder saw the commands only after TLS had decrypted them.
    EXPECT_EQ(raw.find("EHLO "), 0u);
}

TEST_F(SmtpEncryptedServer, ACertificateThatIsNotTrustedOrNotForTheHostIsRefusedBeforeTheLogin) {
    std::string error;
    std::string untrusted_record = dir_.file("untrusted.txt");
    std::string wrong_host_record = dir_.file("wrong-host.txt");
    {
        RecordingServer server(untrusted_record, {"--starttls", cert(), key(), "--login", "ann", "s3cret"});
        if (server.port() <= 0) GTEST_SKIP() << NO_SERVER;
        // No certificate file: the system's store, which knows nothing of it.
        SmtpClient client("127.0.0.1", server.port());
        client.set_account({SmtpSecurity::StartTls, "ann", "s3cret", ""});
        EXPECT_FALSE(send_once(client, error));
        EXPECT_EQ(error.rfind("The server's certificate is not trusted: self", 0), 0u) << error;
        EXPECT_FALSE(client.connected());
    }
    {
        RecordingServer server(wrong_host_record, {"--tls", other_cert(), other_key(), "--login", "ann", "s3cret"});
        // Trusted, but made out to mail.other.test: refused by address ...
        SmtpClient by_address("127.0.0.1", server.port());
        by_address.set_account({SmtpSecurity::Tls, "ann", "s3cret", other_cert()});
        EXPECT_FALSE(send_once(by_address, error));
        EXPECT_EQ(error, "The server's certificate is not made out to 127.0.0.1");
        // ... and by name.
        SmtpClient by_name("localhost", server.port());
        by_name.set_account({SmtpSecurity::Tls, "ann", "s3cret", other_cert()});
        EXPECT_FALSE(send_once(by_name, error));
        EXPECT_EQ(error, "The server's certificate is not made out to localhost");
    }
    // Neither server heard a login or a message: the password never left.
    for (const std::string& record : {untrusted_record, wrong_host_record}) {
        std::string exchange = slurp(record);
        EXPECT_EQ(count_of(exchange, "AUTH"), 0u) << exchange;
        EXPECT_EQ(count_of(exchange, "MAIL"), 0u);
        EXPECT_EQ(count_of(slurp(record + ".raw"), "s3cret"), 0u);
    }
    EXPECT_EQ(count_of(slurp(untrusted_record), "C: STARTTLS"), 1u);

    // A certificate file that cannot be read is named.
    RecordingServer server(dir_.file("missing.txt"), {"--tls", cert(), key()});
    SmtpClient missing("127.0.0.1", server.port());
    missing.set_account({SmtpSecurity::Tls, "", "", dir_.file("missing.pem")});
    EXPECT_FALSE(send_once(missing, error));
    EXPECT_EQ(error, "The certificate file could not be read: " + dir_.file("missing.pem"));
}

}  // namespace
}  // namespace quoralith
