#pragma once

// A real Dovecot POP3 server for tests: started as a child process on a free
// loopback port with its own configuration, users and maildir in a temporary
// folder, and stopped (SIGTERM, then SIGKILL) when the object dies. Nothing
// outside the temporary folder is read or changed besides the dovecot binary.

#include "tests/support/TempDir.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <sys/types.h>
#include <vector>

class DovecotHarness {
public:
    struct Options {
        // Raw messages with CR LF line ends; empty means defaultMessages().
        std::vector<std::string> messages;
        // Small generated messages after those, for mailboxes of many thousands.
        size_t extraMessages = 0;
        std::string user = "anna";
        std::string password = "geheim";
        // Dovecot's auth_mechanisms; the password file holds plain text, so
        // the challenge-response ones (cram-md5, scram-sha-256) work as well.
        std::string authMechanisms = "plain";
        // With both (PEM files, see TestCertificates) TLS is on: a listener
        // for TLS from the first byte on tlsPort(), and STLS on port().
        std::string tlsCertificate;
        std::string tlsKey;
        // Certificates (same key) for clients that ask for these names (SNI).
        std::map<std::string, std::string> tlsCertificateByName;
        // Only TLS 1.0 (at OpenSSL's security level 0). Dovecot 2.3 has no
        // upper limit of its own; its processes get an OpenSSL configuration
        // that sets one.
        bool tls10Only = false;
        // TLS 1.0 and every newer version (at security level 0): a lax server.
        bool tls10Allowed = false;
        // Dovecot counts a client from its own address as secure and lets it
        // log in without TLS whatever this says; a test of it listens on
        // 127.0.0.2, which a client reaches from 127.0.0.1.
        bool disablePlaintextAuth = false;
        std::string listenAddress = "127.0.0.1";
        // Refusals at once instead of after Dovecot's 2 s (for timing tests).
        bool noFailureDelay = false;
        // Tokens instead of passwords: Dovecot's oauth2 passdb asks this
        // RFC 7662 introspection URL (POST) whether a token is active and
        // whose it is. Add "oauthbearer xoauth2" to authMechanisms.
        std::string oauth2IntrospectionUrl;
    };

    static bool available(); // the dovecot binary is installed

    DovecotHarness();
    explicit DovecotHarness(Options options);
    ~DovecotHarness();
    DovecotHarness(const DovecotHarness&) = delete;
    DovecotHarness& operator=(const DovecotHarness&) = delete;

    // Starts the server and waits for its greeting (15 s at most).
    bool start(std::string* error = nullptr);
    void stop();

    uint16_t port() const { return port_; }
    uint16_t tlsPort() const { return tlsPort_; } // 0 without TLS
    const std::string& user() const { return options_.user; }
    const std::string& password() const { return options_.password; }
    // The messages of the mailbox, in the order POP3 numbers them.
    const std::vector<std::string>& messages() const { return options_.messages; }
    std::string log() const; // the server's own log, for failure messages

    static std::vector<std::string> defaultMessages();
    static std::string generatedMessage(size_t number);

private:
    bool prepareFiles(std::string* error);
    bool writeConfig(std::string* error);
    std::string tlsConfig() const;
    std::string passdbConfig() const;
    bool launch(std::string* error);
    bool waitForGreeting(std::string* error);

    Options options_;
    TempDir folder_;
    uint16_t port_ = 0;
    uint16_t tlsPort_ = 0;
    pid_t pid_ = -1;
    bool prepared_ = false;
};
