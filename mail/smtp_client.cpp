// The SMTP client on POSIX sockets, with OpenSSL for encryption. The socket
// is non-blocking and every wait goes through poll, also under TLS, so that a
// silent server or a stop asked for by the caller ends a call instead of
// hanging it.
#include "mail/smtp_client.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ctime>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

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

// OpenSSL writes to the socket with write(), which raises SIGPIPE when the
// server has gone and would end the whole program. The signal is held back
// on this thread for the call, and one raised meanwhile is taken off again,
// so that neither the program's handlers nor other threads are touched.
class SigpipeHeld {
public:
    SigpipeHeld() {
        sigemptyset(&pipe_);
        sigaddset(&pipe_, SIGPIPE);
        sigpending(&pending_before_);
        pthread_sigmask(SIG_BLOCK, &pipe_, &old_mask_);
    }
    ~SigpipeHeld() {
        sigset_t pending;
        sigpending(&pending);
        if (sigismember(&pending, SIGPIPE) && !sigismember(&pending_before_, SIGPIPE)) {
            timespec none{0, 0};
            while (sigtimedwait(&pipe_, nullptr, &none) < 0 && errno == EINTR) {}
        }
        pthread_sigmask(SIG_SETMASK, &old_mask_, nullptr);
    }
    SigpipeHeld(const SigpipeHeld&) = delete;
    SigpipeHeld& operator=(const SigpipeHeld&) = delete;

private:
    sigset_t pipe_;
    sigset_t old_mask_;
    sigset_t pending_before_;
};

std::string base64(std::string_view data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    int length = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                 reinterpret_cast<const unsigned char*>(data.data()), static_cast<int>(data.size()));
    out.resize(static_cast<std::size_t>(std::max(length, 0)));
    return out;
}

// Wipes a text that held a password before its memory is given back.
void wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(secret.data(), secret.size());
    secret.clear();
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::string openssl_reason() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return {};
    const char* reason = ERR_reason_error_string(code);
    return reason ? reason : "";
}

std::string local_host_name() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) return "localhost";
    std::string host(name);
    if (host.size() > HOST_NAME_LIMIT) host.resize(HOST_NAME_LIMIT);
    return host.empty() ? "localhost" : host;
}

}  // namespace

int smtp_default_port(SmtpSecurity security) {
    switch (security) {
        case SmtpSecurity::StartTls: return SMTP_SUBMISSION_PORT;
        case SmtpSecurity::Tls: return SMTP_TLS_PORT;
        case SmtpSecurity::None: break;
    }
    return SMTP_PORT;
}

void SmtpClient::TlsDeleter::operator()(ssl_st* tls) const { SSL_free(tls); }
void SmtpClient::TlsDeleter::operator()(ssl_ctx_st* context) const { SSL_CTX_free(context); }

SmtpClient::SmtpClient(std::string server, int port) : server_(std::move(server)), port_(port) {}

SmtpClient::~SmtpClient() {
    if (connected_) disconnect();
    close_socket();
    wipe(account_.password);
}

void SmtpClient::set_account(SmtpAccount account) {
    wipe(account_.password);
    account_ = std::move(account);
}

void SmtpClient::close_socket() {
    if (tls_) {
        // A polite close_notify when the connection still carries one; the
        // socket is non-blocking, so this never waits.
        SigpipeHeld held;
        SSL_shutdown(tls_.get());
        ERR_clear_error();  // a server already gone is no news here
        tls_.reset();
    }
    tls_context_.reset();
    if (socket_ >= 0) ::close(socket_);
    socket_ = -1;
    pending_.clear();
    extensions_.clear();
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
    if (account_.plain()) {
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
    // A password is never sent over a bare connection, not even once.
    if (!account_.user.empty() && account_.security == SmtpSecurity::None) {
        error_text_ = SMTP_LOGIN_NEEDS_ENCRYPTION;
        return false;
    }
    if (!open_connection()) return false;
    bool ok = account_.security != SmtpSecurity::Tls || start_tls();
    if (ok && !check_reply(220, SMTP_NOT_AVAILABLE)) {
        error_text_ = SMTP_NO_GREETING;
        ok = false;
    }
    ok = ok && say_ehlo();
    if (ok && account_.security == SmtpSecurity::StartTls) {
        if (!offers("STARTTLS")) {
            error_text_ = SMTP_NO_STARTTLS;
            ok = false;
        }
        ok = ok && send_text("STARTTLS\r\n") && check_reply(220, SMTP_STARTTLS_REFUSED);
        // Whatever came after the 220 came unencrypted and would be read as
        // if it came through TLS: a man in the middle's way of putting words
        // into the server's mouth.
        if (ok && !pending_.empty()) {
            error_text_ = SMTP_STARTTLS_INJECTION;
            ok = false;
        }
        // The server forgets what it said before TLS; so does the client.
        ok = ok && start_tls() && say_ehlo();
    }
    ok = ok && (account_.user.empty() || log_in());
    if (!ok) {
        close_socket();
        return false;
    }
    connected_ = true;
    return true;
}

bool SmtpClient::say_ehlo() {
    std::vector<std::string> lines;
    if (!send_text("EHLO " + local_host_name() + "\r\n") || !check_reply(250, SMTP_SERVER_ERROR, &lines))
        return false;
    extensions_.clear();
    // The first line greets; each line after it names one extension.
    for (std::size_t i = 1; i < lines.size(); ++i) extensions_.push_back(upper(lines[i]));
    return true;
}

bool SmtpClient::offers(const std::string& extension, std::string* parameters) const {
    for (const std::string& line : extensions_) {
        if (line.compare(0, extension.size(), extension) != 0) continue;
        if (line.size() == extension.size()) {
            if (parameters) parameters->clear();
            return true;
        }
        // "AUTH PLAIN LOGIN", and the older "AUTH=PLAIN LOGIN" some servers still send.
        if (line[extension.size()] == ' ' || line[extension.size()] == '=') {
            if (parameters) *parameters = " " + line.substr(extension.size() + 1) + " ";
            return true;
        }
    }
    return false;
}

bool SmtpClient::log_in() {
    std::string methods;
    bool any = offers("AUTH", &methods);
    bool ok = false;
    if (any && methods.find(" PLAIN ") != std::string::npos) {
        std::string credentials = std::string(1, '\0') + account_.user + '\0' + account_.password;
        std::string command = "AUTH PLAIN " + base64(credentials) + "\r\n";
        ok = send_text(command) && check_reply(235, SMTP_LOGIN_REFUSED);
        wipe(credentials);
        wipe(command);
    } else if (any && methods.find(" LOGIN ") != std::string::npos) {
        std::string user = base64(account_.user) + "\r\n";
        std::string password = base64(account_.password) + "\r\n";
        ok = send_text("AUTH LOGIN\r\n") && check_reply(334, SMTP_LOGIN_REFUSED) && send_text(user) &&
             check_reply(334, SMTP_LOGIN_REFUSED) && send_text(password) && check_reply(235, SMTP_LOGIN_REFUSED);
        wipe(password);
    } else {
        error_text_ = SMTP_NO_LOGIN_METHOD;
    }
    return ok;
}

bool SmtpClient::start_tls() {
    tls_context_.reset(SSL_CTX_new(TLS_client_method()));
    if (!tls_context_) {
        error_text_ = SMTP_TLS_FAILED;
        return false;
    }
    SSL_CTX_set_min_proto_version(tls_context_.get(), TLS1_2_VERSION);
    SSL_CTX_set_verify(tls_context_.get(), SSL_VERIFY_PEER, nullptr);
    bool trusted = account_.ca_file.empty()
                       ? SSL_CTX_set_default_verify_paths(tls_context_.get()) == 1
                       : SSL_CTX_load_verify_locations(tls_context_.get(), account_.ca_file.c_str(), nullptr) == 1;
    if (!trusted) {
        ERR_clear_error();
        error_text_ = std::string(SMTP_CA_FILE_UNREADABLE) + ": " + account_.ca_file;
        return false;
    }
    tls_.reset(SSL_new(tls_context_.get()));
    if (!tls_ || SSL_set_fd(tls_.get(), socket_) != 1) {
        error_text_ = SMTP_TLS_FAILED;
        return false;
    }
    // The certificate must be made out to the name the user typed: a host
    // name (sent as SNI too, for servers that host several) or an address.
    unsigned char address[16];
    bool numeric = ::inet_pton(AF_INET, server_.c_str(), address) == 1 ||
                   ::inet_pton(AF_INET6, server_.c_str(), address) == 1;
    bool named = numeric ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(tls_.get()), server_.c_str()) == 1
                         : SSL_set_tlsext_host_name(tls_.get(), server_.c_str()) == 1 &&
                               SSL_set1_host(tls_.get(), server_.c_str()) == 1;
    if (!named) {
        error_text_ = SMTP_TLS_FAILED;
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    while (true) {
        int result;
        {
            SigpipeHeld held;
            result = SSL_connect(tls_.get());
        }
        if (result == 1) return true;
        int error = SSL_get_error(tls_.get(), result);
        if (error == SSL_ERROR_WANT_READ && wait_for(POLLIN, deadline)) continue;
        if (error == SSL_ERROR_WANT_WRITE && wait_for(POLLOUT, deadline)) continue;
        break;
    }
    long verdict = SSL_get_verify_result(tls_.get());
    std::string reason = openssl_reason();
    if (verdict == X509_V_ERR_HOSTNAME_MISMATCH || verdict == X509_V_ERR_IP_ADDRESS_MISMATCH)
        error_text_ = std::string(SMTP_CERTIFICATE_WRONG_HOST) + " " + server_;
    else if (verdict != X509_V_OK)
        error_text_ = std::string(SMTP_CERTIFICATE_UNTRUSTED) + ": " + X509_verify_cert_error_string(verdict);
    else
        error_text_ = std::string(SMTP_TLS_FAILED) + (reason.empty() ? "" : ": " + reason);
    // Nothing was said through TLS: no close_notify for a handshake that failed.
    SSL_set_quiet_shutdown(tls_.get(), 1);
    return false;
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
    // The body ends in its one line end (or is empty after the header's
    // blank line), so the end-of-data line follows it directly.
    if (!send_text(message.header) || !send_text(body) || !send_text(".\r\n")) return false;
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
        if (tls_) {
            std::size_t count = 0;
            int result;
            {
                SigpipeHeld held;
                result = SSL_write_ex(tls_.get(), data.data() + sent, data.size() - sent, &count);
            }
            if (result == 1) {
                sent += count;
                continue;
            }
            int error = SSL_get_error(tls_.get(), result);
            if (error == SSL_ERROR_WANT_WRITE && wait_for(POLLOUT, deadline)) continue;
            if (error == SSL_ERROR_WANT_READ && wait_for(POLLIN, deadline)) continue;
            ERR_clear_error();
            error_text_ = SMTP_SOCKET_ERROR;
            return false;
        }
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

long SmtpClient::receive_some(char* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline) {
    while (true) {
        if (tls_) {
            std::size_t count = 0;
            int result;
            {
                SigpipeHeld held;
                result = SSL_read_ex(tls_.get(), buffer, size, &count);
            }
            if (result == 1) return static_cast<long>(count);
            int error = SSL_get_error(tls_.get(), result);
            if (error == SSL_ERROR_WANT_READ && wait_for(POLLIN, deadline)) continue;
            if (error == SSL_ERROR_WANT_WRITE && wait_for(POLLOUT, deadline)) continue;
            ERR_clear_error();
            return error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
        }
        ssize_t count = ::recv(socket_, buffer, size, 0);
        if (count >= 0) return static_cast<long>(count);
        if (errno == EINTR) continue;
        if ((errno == EAGAIN || errno == EWOULDBLOCK) && wait_for(POLLIN, deadline)) continue;
        return -1;
    }
}

bool SmtpClient::check_reply(int expected, const char* text, std::vector<std::string>* lines) {
    auto deadline = std::chrono::steady_clock::now() + timeout_;
    char buffer[REPLY_BUFFER_SIZE];
    if (lines) lines->clear();
    while (true) {
        // Whole lines first: the reply may have come in one piece or several.
        std::size_t line_end;
        while ((line_end = pending_.find('\n')) != std::string::npos) {
            std::string line = pending_.substr(0, line_end);
            pending_.erase(0, line_end + 1);
            if (lines) {
                std::string said = line.size() > 4 ? line.substr(4) : std::string();
                if (!said.empty() && said.back() == '\r') said.pop_back();
                lines->push_back(said);
            }
            if (continues(line)) continue;
            int code = reply_code(line);
            if (code == expected) return true;
            char message[160];
            std::snprintf(message, sizeof message, "%d:%s", code, text);
            error_text_ = message;
            return false;
        }
        // Only a line's first four characters matter (and, of an EHLO reply,
        // its short extension lines); a line that never ends must not grow
        // without bound.
        if (pending_.size() > REPLY_BUFFER_SIZE) pending_.resize(4);
        long count = receive_some(buffer, sizeof buffer, deadline);
        if (count > 0) {
            pending_.append(buffer, static_cast<std::size_t>(count));
            continue;
        }
        // A closed connection, a socket error, a time-out or a stop.
        error_text_ = SMTP_SOCKET_ERROR;
        return false;
    }
}

}  // namespace quoralith
