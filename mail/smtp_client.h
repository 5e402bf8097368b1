// A small SMTP client: one plain-text message to one or more recipients
// through a named server, on POSIX sockets.
//
// With no account set it speaks the plain exchange and nothing else: HELO,
// MAIL, RCPT, DATA, QUIT on a bare connection. An account adds what today's
// mail providers ask for: EHLO, encryption (STARTTLS on the plain connection,
// or TLS from the first byte, as on port 465) with the server's certificate
// checked against its name and a trusted chain (OpenSSL), and a login (AUTH
// PLAIN or AUTH LOGIN) that is only ever sent encrypted.
//
// Every call blocks its thread until the server answers, a reply time-out
// passes, or the keep-going check says stop; a caller that must stay
// responsive runs the client on a thread of its own. Every failure returns
// false and leaves one error text, which the next failing step overwrites.
//
// Thread safety: one SmtpClient per thread; the keep-going check is called on
// the client's thread.
#pragma once

#include "mail/mail_message.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct ssl_st;
struct ssl_ctx_st;

namespace quoralith {

inline constexpr int SMTP_PORT = 25;
// Mail submission with STARTTLS, and submission over TLS from the start.
inline constexpr int SMTP_SUBMISSION_PORT = 587;
inline constexpr int SMTP_TLS_PORT = 465;
inline constexpr const char* SMTP_MAILER_NAME = "ZV Mail";

// The client's error texts.
inline constexpr const char* SMTP_OK = "OK";
inline constexpr const char* SMTP_NO_SOCKET = "Unable to create the socket.";
inline constexpr const char* SMTP_NO_CONNECTION = "Unable to connect to server";
inline constexpr const char* SMTP_NO_GREETING = "Server didn't respond.";
inline constexpr const char* SMTP_SOCKET_ERROR = "Socket Error";
inline constexpr const char* SMTP_NOT_CONNECTED = "Must be connected";
inline constexpr const char* SMTP_NO_RECIPIENTS = "No Recipients";
// Appended to an unexpected reply code as "%d:%s".
inline constexpr const char* SMTP_SERVER_ERROR = "SMTP server error";
inline constexpr const char* SMTP_NOT_AVAILABLE = "SMTP server not available";
inline constexpr const char* SMTP_NOT_READY_FOR_DATA = "SMTP server not ready for data";
inline constexpr const char* SMTP_DID_NOT_TERMINATE = "SMTP server didn't terminate session";
// The texts of an account's steps; the ones after a reply also go as "%d:%s".
inline constexpr const char* SMTP_STARTTLS_REFUSED = "SMTP server refused to start TLS";
inline constexpr const char* SMTP_NO_STARTTLS = "The server does not offer STARTTLS, so the connection cannot be encrypted";
inline constexpr const char* SMTP_STARTTLS_INJECTION =
    "The server sent more than its answer to STARTTLS; the connection was dropped";
inline constexpr const char* SMTP_TLS_FAILED = "The encrypted connection could not be set up";
inline constexpr const char* SMTP_CERTIFICATE_UNTRUSTED = "The server's certificate is not trusted";
inline constexpr const char* SMTP_CERTIFICATE_WRONG_HOST = "The server's certificate is not made out to";
inline constexpr const char* SMTP_CA_FILE_UNREADABLE = "The certificate file could not be read";
inline constexpr const char* SMTP_LOGIN_NEEDS_ENCRYPTION =
    "A login needs STARTTLS or TLS, so that the password never travels unencrypted";
inline constexpr const char* SMTP_NO_LOGIN_METHOD = "The server offers no login this program knows (PLAIN or LOGIN)";
inline constexpr const char* SMTP_LOGIN_REFUSED = "SMTP server refused the user name or password";

// How the connection to the server is protected.
enum class SmtpSecurity {
    None,      // a bare connection
    StartTls,  // a bare connection, encrypted by STARTTLS before anything else is said
    Tls,       // encrypted from the first byte
};

// The port a security choice is usually served on: 25, 587 or 465.
int smtp_default_port(SmtpSecurity security);

// What an account adds to the plain exchange. The default is no account: the
// plain exchange exactly.
struct SmtpAccount {
    SmtpSecurity security = SmtpSecurity::None;
    // Empty: no login.
    std::string user;
    std::string password;
    // A PEM file of the certificates to trust in place of the system's
    // store (empty: the system's store).
    std::string ca_file;

    bool plain() const { return security == SmtpSecurity::None && user.empty(); }
};

// How long one connection attempt, one reply or one write may take. Servers
// may take minutes over a greeting or the end of data, so this is generous;
// a server that goes silent for longer is given up with "Socket Error".
inline constexpr std::chrono::milliseconds SMTP_DEFAULT_TIMEOUT = std::chrono::minutes(2);

class SmtpClient {
public:
    // Nothing happens on the network until connect(). The error text is "OK".
    SmtpClient(std::string server, int port);
    // Disconnects first when connected.
    ~SmtpClient();
    SmtpClient(const SmtpClient&) = delete;
    SmtpClient& operator=(const SmtpClient&) = delete;

    // Replaces the account (before connect()); the password is wiped from
    // memory when the client goes.
    void set_account(SmtpAccount account);

    // Resolves the server, connects, reads the greeting (220) and says HELO
    // with the local host name (250). With an account: TLS first when asked
    // for, EHLO in place of HELO, STARTTLS and EHLO again when asked for, then
    // the login when there is a user name. True at once when already
    // connected. On failure the socket is closed and the client stays
    // disconnected.
    bool connect();
    // REQUIRES: connected (else "Must be connected"). Builds the header and
    // runs one mail transaction: MAIL, one RCPT per recipient (a refused
    // recipient does not stop it), DATA, header, transparent body, end of data.
    // A failed send leaves the client connected.
    bool send(MailMessage& message);
    // QUIT (221); the socket is closed and the client disconnected whatever
    // the reply. True at once when not connected.
    bool disconnect();

    const std::string& error_text() const { return error_text_; }
    bool connected() const { return connected_; }

    // Replaces the time-out of a connection attempt, a reply or a write.
    void set_timeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    // Called about every tenth of a second while a call waits for the
    // network; when it answers false the call gives up at once (the error
    // text is "Socket Error") and the connection is dropped. A transaction
    // dropped before its end-of-data line is not delivered.
    void set_keep_going(std::function<bool()> keep_going) { keep_going_ = std::move(keep_going); }

private:
    // Reads one whole reply (every "ddd-" line up to the last "ddd " line) and
    // compares its code with `expected`; else the error text is "code:text".
    // `lines` receives the text after the code of every line of the reply.
    bool check_reply(int expected, const char* text, std::vector<std::string>* lines = nullptr);
    // Sends all of `data`; "Socket Error" when that fails.
    bool send_text(const std::string& data);
    // Up to `size` bytes from the connection (through TLS once it runs):
    // the count, 0 when the server closed it, -1 on an error, time-out or stop.
    long receive_some(char* buffer, std::size_t size, std::chrono::steady_clock::time_point deadline);
    // The TLS handshake over the open socket, the certificate checked.
    bool start_tls();
    // EHLO; the extensions the server names go to `extensions_`.
    bool say_ehlo();
    // AUTH PLAIN, else AUTH LOGIN, whichever the server offers.
    bool log_in();
    bool offers(const std::string& extension, std::string* parameters = nullptr) const;
    // Waits until the socket is ready for `events`; false on time-out, on a
    // stop asked for, or on a poll failure.
    bool wait_for(short events, std::chrono::steady_clock::time_point deadline);
    bool open_connection();
    void close_socket();

    std::string server_;
    int port_;
    std::string error_text_ = SMTP_OK;
    bool connected_ = false;
    int socket_ = -1;
    // Reply bytes received beyond the reply just read.
    std::string pending_;
    std::chrono::milliseconds timeout_ = SMTP_DEFAULT_TIMEOUT;
    std::function<bool()> keep_going_;
    SmtpAccount account_;
    // The EHLO reply's lines after the first, upper-cased: "STARTTLS", "AUTH PLAIN LOGIN".
    std::vector<std::string> extensions_;
    struct TlsDeleter {
        void operator()(ssl_st* tls) const;
        void operator()(ssl_ctx_st* context) const;
    };
    std::unique_ptr<ssl_ctx_st, TlsDeleter> tls_context_;
    std::unique_ptr<ssl_st, TlsDeleter> tls_;
};

}  // namespace quoralith
