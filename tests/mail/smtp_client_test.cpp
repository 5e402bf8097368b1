// The SMTP client against a scripted server: the expected replies, the error
// texts, whole multi-line and split replies, and a server that goes silent.
#include "mail/smtp_client.h"

#include "mail/scripted_smtp_server.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

namespace quoralith {
namespace {

using test::ScriptedReply;
using test::ScriptedSmtpServer;
using namespace std::chrono_literals;

const ScriptedReply GREETING{"220 test ready\r\n"};
const ScriptedReply OK{"250 ok\r\n"};
const ScriptedReply GO_AHEAD{"354 go ahead\r\n"};
const ScriptedReply BYE{"221 bye\r\n"};
const ScriptedReply SILENCE{std::nullopt};

MailMessage message_to(const std::string& recipients, const std::string& body = "Hello\r\n") {
    MailMessage message;
    message.from = "me@example.org";
    message.subject = "Hi";
    message.body = body;
    message.add_recipients(recipients);
    return message;
}

// Cuts `received` down to its command lines (the data block left out).
std::vector<std::string> commands(const std::string& received) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    bool data = false;
    while (at < received.size()) {
        std::size_t end = received.find(data ? "\r\n.\r\n" : "\r\n", at);
        if (end == std::string::npos) break;
        if (data) {
            lines.push_back("<data>");
            at = end + 5;
            data = false;
            continue;
        }
        lines.push_back(received.substr(at, end - at));
        data = lines.back() == "DATA";
        at = end + 2;
    }
    return lines;
}

TEST(SmtpClient, AWholeTransactionSendsTheCommandsInOrder) {
    ScriptedSmtpServer server({GREETING, OK, OK, OK, OK, GO_AHEAD, OK, BYE});
    {
        SmtpClient client("127.0.0.1", server.port());
        EXPECT_EQ(client.error_text(), "OK");
        ASSERT_TRUE(client.connect()) << client.error_text();
        EXPECT_TRUE(client.connect());  // already connected: nothing sent
        MailMessage message = message_to("A <a@x>;b@y");
        ASSERT_TRUE(client.send(message)) << client.error_text();
        EXPECT_TRUE(client.disconnect());
        EXPECT_FALSE(client.connected());
        EXPECT_TRUE(client.disconnect());
        EXPECT_EQ(client.error_text(), "OK");
    }
    std::vector<std::string> sent = commands(server.received());
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(sent[0].rfind("HELO ", 0), 0u);
    EXPECT_GT(sent[0].size(), 5u);
    EXPECT_EQ(sent[1], "MAIL From: <me@example.org>");
    EXPECT_EQ(sent[2], "RCPT TO: <a@x>");
    EXPECT_EQ(sent[3], "RCPT TO: <b@y>");
    EXPECT_EQ(sent[4], "DATA");
    EXPECT_EQ(sent[5], "<data>");
    EXPECT_EQ(sent[6], "QUIT");
}

TEST(SmtpClient, AGreetingOtherThan220IsNoResponseAndLeavesItDisconnected) {
    ScriptedSmtpServer server({{"421 too busy\r\n"}});
    SmtpClient client("127.0.0.1", server.port());
    EXPECT_FALSE(client.connect());
    EXPECT_EQ(client.error_text(), "Server didn't respond.");
    EXPECT_FALSE(client.connected());
    // The socket was closed: the server sees the connection end, no HELO.
    EXPECT_EQ(server.received(), "");
    EXPECT_TRUE(server.client_closed());
}

TEST(SmtpClient, ARefusedHeloKeepsItsReplyText) {
    ScriptedSmtpServer server({GREETING, {"501 who are you\r\n"}});
    SmtpClient client("127.0.0.1", server.port());
    EXPECT_FALSE(client.connect());
    EXPECT_EQ(client.error_text(), "501:SMTP server error");
    EXPECT_FALSE(client.connected());
}

TEST(SmtpClient, ARefusedMailCommandFailsTheSendButKeepsTheConnection) {
    ScriptedSmtpServer server({GREETING, OK, {"550 not you\r\n"}, BYE});
    SmtpClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    MailMessage message = message_to("a@x");
    EXPECT_FALSE(client.send(message));
    EXPECT_EQ(client.error_text(), "550:SMTP server error");
    EXPECT_TRUE(client.connected());
    EXPECT_TRUE(client.disconnect());
    std::vector<std::string> sent = commands(server.received());
    EXPECT_EQ(sent.back(), "QUIT");
    EXPECT_EQ(sent.size(), 3u);  // HELO, MAIL, QUIT: no RCPT after the refusal
}

TEST(SmtpClient, ARefusedRecipientDoesNotStopTheTransaction) {
    ScriptedSmtpServer server({GREETING, OK, OK, {"550 no such user\r\n"}, OK, GO_AHEAD, OK, BYE});
    SmtpClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    MailMessage message = message_to("gone@x;here@x");
    EXPECT_TRUE(client.send(message));
    EXPECT_TRUE(client.disconnect());
    std::vector<std::string> sent = commands(server.received());
    ASSERT_EQ(sent.size(), 7u);
    EXPECT_EQ(sent[3], "RCPT TO: <here@x>");
}

TEST(SmtpClient, DataAndEndOfDataRepliesAreChecked) {
    {
        // A server that accepted no recipient refuses DATA.
        ScriptedSmtpServer server({GREETING, OK, OK, {"550 no\r\n"}, {"554 no valid recipients\r\n"}, BYE});
        SmtpClient client("127.0.0.1", server.port());
        ASSERT_TRUE(client.connect());
        MailMessage message = message_to("gone@x");
        EXPECT_FALSE(client.send(message));
        EXPECT_EQ(client.error_text(), "554:SMTP server not ready for data");
    }
    {
        ScriptedSmtpServer server({GREETING, OK, OK, OK, GO_AHEAD, {"552 too big\r\n"}, BYE});
        SmtpClient client("127.0.0.1", server.port());
        ASSERT_TRUE(client.connect());
        MailMessage message = message_to("a@x");
        EXPECT_FALSE(client.send(message));
        EXPECT_EQ(client.error_text(), "552:SMTP server error");
    }
}

TEST(SmtpClient, QuitAnsweredWith250FailsButClosesAllTheSame) {
    ScriptedSmtpServer server({GREETING, OK, OK});
    SmtpClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    EXPECT_FALSE(client.disconnect());
    EXPECT_EQ(client.error_text(), "250:SMTP server didn't terminate session");
    EXPECT_FALSE(client.connected());
    server.received();
    EXPECT_TRUE(server.client_closed());
}

TEST(SmtpClient, DestroyingAConnectedClientSaysQuit) {
    ScriptedSmtpServer server({GREETING, OK, BYE});
    {
        SmtpClient client("127.0.0.1", server.port());
        ASSERT_TRUE(client.connect());
    }
    std::vector<std::string> sent = commands(server.received());
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1], "QUIT");
    EXPECT_TRUE(server.client_closed());
}

TEST(SmtpClient, SendNeedsAConnectionAndRecipients) {
    SmtpClient unconnected("127.0.0.1", 1);
    MailMessage message = message_to("a@x");
    EXPECT_FALSE(unconnected.send(message));
    EXPECT_EQ(unconnected.error_text(), "Must be connected");

    ScriptedSmtpServer server({GREETING, OK, BYE});
    SmtpClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    MailMessage nobody;
    nobody.from = "me@x";
    EXPECT_FALSE(client.send(nobody));
    EXPECT_EQ(client.error_text(), "No Recipients");
    EXPECT_TRUE(client.disconnect());
    EXPECT_EQ(commands(server.received()).size(), 2u);  // HELO and QUIT: nothing of the message
}

TEST(SmtpClient, MultiLineAndSplitRepliesAreReadWhole) {
    // A greeting of three lines arriving a few bytes at a time, a HELO reply
    // of two lines, and a 354 split in the middle of its code.
    ScriptedSmtpServer server({{"220-first line\r\n220-second line\r\n220 ready\r\n", 5},
                               {"250-hello\r\n250 pleased\r\n", 3},
                               {"250 ok\r\n", 1},
                               OK,
                               {"35", 0},
                               SILENCE});
    SmtpClient client("127.0.0.1", server.port());
    client.set_timeout(500ms);
    ASSERT_TRUE(client.connect()) << client.error_text();
    // Had a reply been taken as one receive, HELO would have read "220-second"
    // and every later step would have been one reply behind.
    MailMessage message = message_to("a@x");
    // MAIL's reply came one byte at a time; DATA's stops after "35", and a
    // reply that never ends is no reply.
    EXPECT_FALSE(client.send(message));
    EXPECT_EQ(client.error_text(), "Socket Error");
}

TEST(SmtpClient, ASilentServerIsGivenUpWithSocketError) {
    {
        ScriptedSmtpServer server({GREETING, OK, SILENCE});
        SmtpClient client("127.0.0.1", server.port());
        client.set_timeout(300ms);
        ASSERT_TRUE(client.connect());
        MailMessage message = message_to("a@x");
        auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(client.send(message));
        EXPECT_EQ(client.error_text(), "Socket Error");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    }
    {
        // Silent from the start: no greeting.
        ScriptedSmtpServer server({SILENCE});
        SmtpClient client("127.0.0.1", server.port());
        client.set_timeout(300ms);
        EXPECT_FALSE(client.connect());
        EXPECT_EQ(client.error_text(), "Server didn't respond.");
    }
}

TEST(SmtpClient, AStopAskedForEndsAWaitAtOnce) {
    std::atomic<int> polls{0};  // outlives the client, whose last QUIT asks too
    ScriptedSmtpServer server({GREETING, OK, SILENCE});
    SmtpClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    client.set_keep_going([&polls] { return ++polls < 3; });
    MailMessage message = message_to("a@x");
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(client.send(message));
    EXPECT_EQ(client.error_text(), "Socket Error");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
}

TEST(SmtpClient, AClosedConnectionIsASocketError) {
    ScriptedSmtpServer server({GREETING, OK});
    SmtpClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    server.received(100ms);  // the server goes away
    MailMessage message = message_to("a@x");
    EXPECT_FALSE(client.send(message));
    EXPECT_EQ(client.error_text(), "Socket Error");
}

TEST(SmtpClient, AServerThatCannotBeReachedOrNamed) {
    // A port that was free a moment ago: nothing listens there.
    int probe = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(probe, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(probe, reinterpret_cast<sockaddr*>(&address), &length);
    int port = ntohs(address.sin_port);
    ::close(probe);

    SmtpClient refused("127.0.0.1", port);
    EXPECT_FALSE(refused.connect());
    EXPECT_EQ(refused.error_text(), "Unable to connect to server");
    EXPECT_FALSE(refused.connected());

    SmtpClient unnamed("no-such-host.invalid", 25);
    EXPECT_FALSE(unnamed.connect());
    EXPECT_EQ(unnamed.error_text(), "Unable to connect to server");
}

TEST(SmtpClient, TheDataBlockIsHeaderTransparentBodyAndEndLine) {
    ScriptedSmtpServer server({GREETING, OK, OK, OK, GO_AHEAD, OK, BYE});
    SmtpClient client("127.0.0.1", server.port());
    ASSERT_TRUE(client.connect());
    // The blank lines at the end are dropped; one line end closes the body.
    MailMessage message = message_to("a@x", "line one\n.\n..two\nlast\n\n\t\n");
    ASSERT_TRUE(client.send(message));
    ASSERT_TRUE(client.disconnect());
    std::string received = server.received();
    std::size_t data = received.find("DATA\r\n");
    ASSERT_NE(data, std::string::npos);
    std::string block = received.substr(data + 6, received.rfind("QUIT\r\n") - data - 6);
    EXPECT_EQ(block, message.header + "line one\r\n..\r\n...two\r\nlast\r\n.\r\n");
}

TEST(SmtpClient, StartTlsNeedsTheServersOfferAndAnAnswerWithNothingAfterIt) {
    SmtpAccount account{SmtpSecurity::StartTls, "me", "secret", ""};
    {
        // No STARTTLS among the extensions: nothing more is said, least of all a login.
        ScriptedSmtpServer server({GREETING, {"250-test\r\n250-AUTH PLAIN LOGIN\r\n250 SIZE 1000\r\n"}});
        SmtpClient client("127.0.0.1", server.port());
        client.set_account(account);
        EXPECT_FALSE(client.connect());
        EXPECT_EQ(client.error_text(), "The server does not offer STARTTLS, so the connection cannot be encrypted");
        EXPECT_FALSE(client.connected());
        std::vector<std::string> sent = commands(server.received());
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_EQ(sent[0].rfind("EHLO ", 0), 0u);
    }
    {
        // A reply to STARTTLS with a line after it: that line came unencrypted
        // and would be taken for the encrypted server's answer to the next command.
        ScriptedSmtpServer server({GREETING, {"250-test\r\n250 STARTTLS\r\n"}, {"220 go ahead\r\n250 OK\r\n"}});
        SmtpClient client("127.0.0.1", server.port());
        client.set_account(account);
        EXPECT_FALSE(client.connect());
        EXPECT_EQ(client.error_text(), "The server sent more than its answer to STARTTLS; the connection was dropped");
        EXPECT_EQ(commands(server.received()).back(), "STARTTLS");
        EXPECT_TRUE(server.client_closed());
    }
    {
        ScriptedSmtpServer server({GREETING, {"250-test\r\n250 starttls\r\n"}, {"454 TLS not available\r\n"}});
        SmtpClient client("127.0.0.1", server.port());
        client.set_account(account);
        EXPECT_FALSE(client.connect());
        EXPECT_EQ(client.error_text(), "454:SMTP server refused to start TLS");
    }
}

TEST(SmtpClient, ALoginWithoutEncryptionIsRefusedBeforeConnecting) {
    ScriptedSmtpServer server({GREETING, OK, BYE});
    SmtpClient client("127.0.0.1", server.port());
    client.set_account({SmtpSecurity::None, "me", "secret", ""});
    EXPECT_FALSE(client.connect());
    EXPECT_EQ(client.error_text(), "A login needs STARTTLS or TLS, so that the password never travels unencrypted");
    EXPECT_EQ(server.received(200ms), "");
    EXPECT_FALSE(server.client_closed());
}

TEST(SmtpClient, TheDefaultPortFollowsTheSecurity) {
    EXPECT_EQ(smtp_default_port(SmtpSecurity::None), 25);
    EXPECT_EQ(smtp_default_port(SmtpSecurity::StartTls), 587);
    EXPECT_EQ(smtp_default_port(SmtpSecurity::Tls), 465);
    EXPECT_TRUE(SmtpAccount{}.plain());
}

}  // namespace
}  // namespace quoralith
