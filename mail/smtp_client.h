// A minimal SMTP client: one plain-text message to one or more recipients
// through a named server (HELO, MAIL, RCPT, DATA, QUIT), on POSIX sockets.
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
#include <string>

namespace quoralith {

inline constexpr int SMTP_PORT = 25;
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

    // Resolves the server, connects, reads the greeting (220) and says HELO
    // with the local host name (250). True at once when already connected. On
    // failure the socket is closed and the client stays disconnected.
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
    bool check_reply(int expected, const char* text);
    // Sends all of `data`; "Socket Error" when that fails.
    bool send_text(const std::string& data);
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
};

}  // namespace quoralith
