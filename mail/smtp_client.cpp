// The SMTP client on POSIX sockets. The socket is non-blocking and every wait
// goes through poll, so that a silent server or a stop asked for by the
// caller ends a call instead of hanging it.
#include "mail/smtp_client.h"

#include <cerrno>
#include <cstdio>
#include <ctime>

#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace quoralith {

namespace {

constexpr std::size_t REPLY_BUFFER_SIZE = 1024;
constexpr std::size_t HOST_NAME_LIMIT = 80;
constexpr std::chrono::milliseconds POLL_SLICE(100);

std::string one_line(std::string_view text) {
    std::string line(text);
    for (char& c : line)
        if (c == '\r' || c == '\n') c = ' ';
    return line;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// The decimal number of the reply's first three characters (0 when they do
// not start with a digit).
int reply_code(std::string_view line) {
    int code = 0;
    for (std::size_t i = 0; i < 3 && i < line.size() && is_digit(line[i]); ++i) code = code * 10 + (line[i] - '0');
    return code;
}

// A reply line "ddd-..." says that more lines of the same reply follow.
bool continues(std::string_view line) {
    return line.size() >= 4 && is_digit(line[0]) && is_digit(line[1]) && is_digit(line[2]) && line[3] == '-';
}

std::string local_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    std::string host(name);
    if (host.size() > HOST_NAME_LIMIT) host.resize(HOST_NAME_LIMIT);
    return host.empty() ? "localhost" : host;
}

}  // namespace

SmtpClient::SmtpClient(std::string server, int port) : server_(std::move(server)), port_(port) {}

SmtpClient::~SmtpClient() {
    if (connected_) disconnect();
    close_socket();
}

void SmtpClient::close_socket() {
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    pending_.clear();
}

bool SmtpClient::wait_for(short events, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        if (keep_going_ && !keep_going_()) return false;
        auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        auto slice = std::min(std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now), POLL_SLICE);
        pollfd entry{socket_, events, 0};
        int ready = ::poll(&entry, 1, static_cast<int>(std::max<long long>(slice.count(), 1)));
        if (ready > 0) return true;  // errors and hang-ups show in the call that follows
        if (ready < 0 && errno != EINTR) return false;
    }
}

bool SmtpClient::open_connection() {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string port = std::to_string(port_);
    if (::getaddrinfo(server_.c_str(), port.c_str(), &hints, &found) != 0 || !found) {
        error_text_ = SMTP_NO_CONNECTION;
        return false;
    }
    bool any_socket = false;
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    for (addrinfo* address = found; address; address = address->ai_next) {
        socket_ = ::socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                           address->ai_protocol);
        if (socket_ < 0) continue;
        any_socket = true;
        if (::connect(socket_, address->ai_addr, address->ai_addrlen) == 0) break;
        if (errno == EINPROGRESS && wait_for(POLLOUT, deadline)) {
            int error = 0;
            socklen_t length = sizeof error;
            if (::getsockopt(socket_, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0) break;
        }
        close_socket();
    }
    ::freeaddrinfo(found);
    if (socket_ < 0) {
        error_text_ = any_socket ? SMTP_NO_CONNECTION : SMTP_NO_SOCKET;
        return false;
    }
    return true;
}

bool SmtpClient::connect() {
    if (connected_) return true;
    if (!open_connection()) return false;
    if (!check_reply(220, SMTP_NOT_AVAILABLE)) {
        error_text_ = SMTP_NO_GREETING;
        close_socket();
        return false;
    }
    if (!send_text("HELO " + local_host_name() + "\r\n") || !check_reply(250, SMTP_SERVER_ERROR)) {
        close_socket();
        return false;
    }
    connected_ = true;
    return true;
}

bool SmtpClient::send(MailMessage& message) {
    if (!connected_) {
        error_text_ = SMTP_NOT_CONNECTED;
        return false;
    }
    if (!message.prepare_header(SMTP_MAILER_NAME, std::time(nullptr))) {
        error_text_ = SMTP_NO_RECIPIENTS;
        return false;
    }
    std::string body = message.transparent_body();
    if (!send_text("MAIL From: <" + one_line(message.from) + ">\r\n") || !check_reply(250, SMTP_SERVER_ERROR))
        return false;
    for (const MailRecipient& recipient : message.recipients) {
        if (!send_text("RCPT TO: <" + one_line(recipient.address) + ">\r\n")) return false;
        // A refused recipient is passed over; the server refuses DATA when it
        // accepted none. Only a broken connection ends the transaction here.
        if (!check_reply(250, SMTP_SERVER_ERROR) && error_text_ == SMTP_SOCKET_ERROR) return false;
    }
    if (!send_text("DATA\r\n") || !check_reply(354, SMTP_NOT_READY_FOR_DATA)) return false;
    if (!send_text(message.header) || !send_text(body) || !send_text("\r\n.\r\n")) return false;
    return check_reply(250, SMTP_SERVER_ERROR);
}

bool SmtpClient::disconnect() {
    if (!connected_) return true;
    bool ok = send_text("QUIT\r\n") && check_reply(221, SMTP_DID_NOT_TERMINATE);
    close_socket();
    connected_ = false;
    return ok;
}

bool SmtpClient::send_text(const std::string& data) {
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    std::size_t sent = 0;
    while (sent < data.size()) {
        ssize_t count = ::send(socket_, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (count > 0) {
            sent += static_cast<std::size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(POLLOUT, deadline)) continue;
        error_text_ = SMTP_SOCKET_ERROR;
        return false;
    }
    return true;
}

bool SmtpClient::check_reply(int expected, const char* text) {
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    char buffer[REPLY_BUFFER_SIZE];
    while (true) {
        // Whole lines first: the reply may have come in one piece or several.
        std::size_t line_end;
        while ((line_end = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, line_end);
            pending_.erase(0, line_end + 1);
            if (continues(line)) continue;
            int code = reply_code(line);
            if (code == expected) return true;
            char message[128];
            std::snprintf(message, sizeof message, "%d:%s", code, text);
            error_text_ = message;
            return false;
        }
        // Only a line's first four characters matter; a line that never ends
        // must not grow without bound.
        if (pending_.size() > REPLY_BUFFER_SIZE) pending_.resize(4);
        ssize_t count = ::recv(socket_, buffer, sizeof buffer, 0);
        if (count > 0) {
            pending_.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        if (count < 0 && errno == EINTR) continue;
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(POLLIN, deadline)) continue;
        // A closed connection, a socket error, a time-out or a stop.
        error_text_ = SMTP_SOCKET_ERROR;
        return false;
    }
}

}  // namespace quoralith
