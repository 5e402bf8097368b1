// A real SMTP server on loopback for the mail tests, and the certificates it
// shows: the aiosmtpd recorder (smtp_recorder.py, Debian's python3-aiosmtpd)
// started on a free port, and self-signed certificates made at run time.
//
// Thread safety: plain test helpers; use from one thread.
#pragma once

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace quoralith::test {

inline std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Writes a self-signed certificate `cert_path` and its key `key_path` (PEM),
// made out to `alt_names` ("DNS:localhost,IP:127.0.0.1"), valid from an hour
// ago for a day. False when OpenSSL could not make them.
inline bool make_self_signed_certificate(const std::string& cert_path, const std::string& key_path,
                                         const std::string& alt_names) {
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<X509, decltype(&X509_free)> cert(X509_new(), X509_free);
    if (!key || !cert) return false;
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), static_cast<long>(::getpid()));
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 24 * 3600);
    X509_set_pubkey(cert.get(), key.get());
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>("Quoralith test"), -1,
                               -1, 0);
    X509_set_issuer_name(cert.get(), name);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, cert.get(), cert.get(), nullptr, nullptr, 0);
    X509_EXTENSION* names = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, alt_names.c_str());
    if (!names) return false;
    X509_add_ext(cert.get(), names, -1);
    X509_EXTENSION_free(names);
    if (X509_sign(cert.get(), key.get(), EVP_sha256()) <= 0) return false;
    FILE* out = std::fopen(cert_path.c_str(), "w");
    if (!out) return false;
    bool ok = PEM_write_X509(out, cert.get()) == 1;
    ok = std::fclose(out) == 0 && ok;
    out = std::fopen(key_path.c_str(), "w");
    if (!out) return false;
    ok = PEM_write_PrivateKey(out, key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1 && ok;
    return std::fclose(out) == 0 && ok;
}

// The recorder running under Debian's Python (another one earlier on the
// PATH may lack the package); port() is 0 when it did not start.
class RecordingServer {
public:
    // `options`: the recorder's options after the record path ("--starttls",
    // cert, key, "--login", user, password, ...).
    explicit RecordingServer(const std::string& record, std::vector<std::string> options = {}) {
        for (const char* python : {"/usr/bin/python3", "python3"}) {
            start(python, record, options);
            if (port_ > 0) return;
            stop();
        }
    }
    ~RecordingServer() { stop(); }
    RecordingServer(const RecordingServer&) = delete;
    RecordingServer& operator=(const RecordingServer&) = delete;

    int port() const { return port_; }
    // Ends the server, so that everything it recorded is on disk.
    void stop() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            int status = 0;
            ::waitpid(pid_, &status, 0);
        }
        pid_ = -1;
    }

private:
    void start(const char* python, const std::string& record, const std::vector<std::string>& options) {
        port_ = 0;
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
        std::vector<const char*> argv = {python, QUORALITH_SMTP_RECORDER, record.c_str()};
        for (const std::string& option : options) argv.push_back(option.c_str());
        argv.push_back(nullptr);
        if (posix_spawnp(&pid_, python, &actions, nullptr, const_cast<char* const*>(argv.data()), environ) != 0)
            pid_ = -1;
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

    pid_t pid_ = -1;
    int port_ = 0;
};

}  // namespace quoralith::test
