// The SMTP client against a real server on loopback: aiosmtpd (Debian's
// python3-aiosmtpd, installed by scripts/install_deps.sh), started here on a
// free port, recording the exchange, the raw bytes and the messages it accepts.
#include "mail/smtp_client.h"

#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <iostream>
#include <sstream>

extern char** environ;

namespace quoralith {
namespace {

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The recorder running under one Python; port() is 0 when it did not start.
class RecordingServer {
public:
    RecordingServer(const char* python, const std::string& record) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        const char* argv[] = {python, QUORALITH_SMTP_RECORDER, record.c_str(), nullptr};
        if (posix_spawnp(&pid_, python, &actions, nullptr, const_cast<char* const*>(argv), environ) != 0) pid_ = -1;
        posix_spawn_file_actions_destroy(&actions);
        ::close(out[1]);
        std::string line;
        char c;
        while (pid_ > 0) {
            pollfd entry{out[0], POLLIN, 0};
            if (::poll(&entry, 1, 15000) <= 0 || ::read(out[0], &c, 1) != 1 || c == '\n') break;
            line += c;
        }
        ::close(out[0]);
        port_ = std::atoi(line.c_str());
    }
    ~RecordingServer() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
    }
    int port() const { return port_; }

private:
    pid_t pid_ = -1;
    int port_ = 0;
};

TEST(SmtpRealServer, TwoRecipientsInOneTransactionWithDotsDoubledAndTheFinalLineEnd) {
    test::ScratchDir dir;
    std::string record = dir.file("exchange.txt");
    // Debian's own Python first: another one earlier on the PATH may lack
    // the package.
    std::unique_ptr<RecordingServer> server;
    for (const char* python : {"/usr/bin/python3", "python3"}) {
        server = std::make_unique<RecordingServer>(python, record);
        if (server->port() > 0) break;
    }
    if (server->port() <= 0)
        GTEST_SKIP() << "no SMTP server to test against: python3-aiosmtpd is not installed "
                        "(scripts/install_deps.sh installs it)";

    MailMessage message;
    message.from = "sender@example.org";
    message.subject = "Have a look at Quoralith";
    message.body = "Hello,\n.hidden line\n.\nBye";
    ASSERT_TRUE(message.add_recipients("Ann Lee <ann@example.org>;bob@example.net"));
    {
        SmtpClient client("127.0.0.1", server->port());
        client.set_timeout(std::chrono::seconds(20));
        ASSERT_TRUE(client.connect()) << client.error_text();
        ASSERT_TRUE(client.send(message)) << client.error_text();
        ASSERT_TRUE(client.disconnect()) << client.error_text();
    }
    server.reset();

    std::string exchange = slurp(record);
    std::cout << "The exchange as the server recorded it:\n" << exchange;
    std::string raw = slurp(record + ".raw");
    std::string messages = slurp(record + ".messages");

    // One transaction: one MAIL, two RCPT, one DATA, one message accepted for both.
    auto count = [&exchange](const std::string& what) {
        std::size_t n = 0;
        for (std::size_t at = exchange.find(what); at != std::string::npos; at = exchange.find(what, at + 1)) ++n;
        return n;
    };
    EXPECT_EQ(count("C: MAIL From: <sender@example.org>\n"), 1u);
    EXPECT_EQ(count("C: RCPT TO: <ann@example.org>\nS: 250"), 1u);
    EXPECT_EQ(count("C: RCPT TO: <bob@example.net>\nS: 250"), 1u);
    EXPECT_EQ(count("C: DATA\nS: 354"), 1u);
    EXPECT_EQ(count("S: 250 Message accepted for delivery"), 1u);
    EXPECT_NE(exchange.find("C: QUIT\nS: 221"), std::string::npos);
    EXPECT_EQ(std::count(messages.begin(), messages.end(), '\n'), 1);
    EXPECT_NE(messages.find("\"mail_from\": \"sender@example.org\""), std::string::npos);
    EXPECT_NE(messages.find("\"rcpt_tos\": [\"ann@example.org\", \"bob@example.net\"]"), std::string::npos);

    // On the wire: the header, the body with CR LF line ends and its leading
    // dots doubled, the added final line end, and the end-of-data line.
    std::string expected_data = message.header + "Hello,\r\n..hidden line\r\n..\r\nBye\r\n" + "\r\n.\r\n";
    EXPECT_NE(raw.find("DATA\r\n" + expected_data + "QUIT\r\n"), std::string::npos);
    EXPECT_NE(message.header.find("To: Ann Lee <ann@example.org>,<bob@example.net>\r\n"), std::string::npos);
    // As delivered, the server has taken the extra dots off again.
    std::string delivered = message.header + "Hello,\r\n.hidden line\r\n.\r\nBye\r\n\r\n";
    std::string escaped;
    for (char c : delivered) {
        if (c == '\r') escaped += "\\r";
        else if (c == '\n') escaped += "\\n";
        else if (c == '"') escaped += "\\\"";
        else escaped += c;
    }
    EXPECT_NE(messages.find("\"content\": \"" + escaped + "\""), std::string::npos) << messages;
}

}  // namespace
}  // namespace quoralith
