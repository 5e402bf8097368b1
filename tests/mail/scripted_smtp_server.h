// A scripted SMTP server on loopback for the client's failure cases: it
// answers the connection and every command (a whole data block counts as one)
// with the next reply of its script, in pieces when asked, and records what
// the client sent. A reply of nullopt means silence: the server keeps the
// connection open and answers nothing more.
//
// Thread safety: the server runs on a thread of its own; read received()
// after the client is done (it waits for the server's thread).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quoralith::test {

struct ScriptedReply {
    std::optional<std::string> text;  // nullopt: say nothing more
    // Sent in pieces of this many bytes with a pause between them (0: whole).
    std::size_t piece = 0;
};

class ScriptedSmtpServer {
public:
    explicit ScriptedSmtpServer(std::vector<ScriptedReply> script) : script_(std::move(script)) {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = 0;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listener_, 4);
        socklen_t length = sizeof address;
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~ScriptedSmtpServer() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        ::close(listener_);
    }
    ScriptedSmtpServer(const ScriptedSmtpServer&) = delete;
    ScriptedSmtpServer& operator=(const ScriptedSmtpServer&) = delete;

    int port() const { return port_; }
    // Everything the client sent, once the client has closed the connection
    // (or after `wait` at most).
    std::string received(std::chrono::milliseconds wait = std::chrono::seconds(5)) {
        auto deadline = std::chrono::steady_clock::now() + wait;
        while (!client_closed_ && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return received_;
    }
    bool client_closed() const { return client_closed_; }

private:
    bool wait_readable(int fd) {
        while (!stop_) {
            pollfd entry{fd, POLLIN, 0};
            if (::poll(&entry, 1, 20) > 0) return true;
        }
        return false;
    }

    // Sends the next reply; false when the script says to go silent or ends.
    bool reply(int fd, std::size_t& next) {
        if (next >= script_.size() || !script_[next].text) return false;
        const ScriptedReply& step = script_[next++];
        const std::string& text = *step.text;
        std::size_t piece = step.piece ? step.piece : text.size();
        for (std::size_t at = 0; at < text.size(); at += piece) {
            if (at > 0) std::this_thread::sleep_for(std::chrono::milliseconds(30));
            ::send(fd, text.data() + at, std::min(piece, text.size() - at), MSG_NOSIGNAL);
        }
        in_data_ = text.rfind("354", 0) == 0;
        return true;
    }

    void serve() {
        if (!wait_readable(listener_)) return;
        int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) return;
        std::size_t next = 0;
        bool talking = reply(fd, next);
        std::string pending;
        char buffer[4096];
        while (wait_readable(fd)) {
            ssize_t count = ::recv(fd, buffer, sizeof buffer, 0);
            if (count <= 0) {
                client_closed_ = true;
                break;
            }
            received_.append(buffer, static_cast<std::size_t>(count));
            pending.append(buffer, static_cast<std::size_t>(count));
            // One reply per command line, or per data block up to its end line.
            while (true) {
                std::size_t end = in_data_ ? pending.find("\r\n.\r\n") : pending.find("\r\n");
                if (end == std::string::npos) break;
                pending.erase(0, end + (in_data_ ? 5 : 2));
                in_data_ = false;
                if (talking) talking = reply(fd, next);
            }
        }
        ::close(fd);
    }

    std::vector<ScriptedReply> script_;
    int listener_ = -1;
    int port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> client_closed_{false};
    bool in_data_ = false;
    std::string received_;
};

}  // namespace quoralith::test
