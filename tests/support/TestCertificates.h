#pragma once

// Certificates for TLS tests, made at test time with the openssl tool in a
// private folder: a test CA, and server certificates for "localhost" and
// 127.0.0.1 (and 127.0.0.2, for servers that must not see the client's own
// address) with one fault each. One EC key serves every server certificate.

#include "tests/support/TempDir.h"

#include <string>
#include <vector>

class TestCertificates {
public:
    enum class Kind {
        Good, // from the test CA, valid now, for localhost and 127.0.0.1
        Expired, // January 2020
        NotYetValid, // January 2099
        WrongHost, // for mail.example.org only
        SelfSigned,
        UnknownCa, // from a CA nobody trusts, sent with that CA
        MissingIntermediate, // from an intermediate of the test CA, sent without it
        TestDomains, // from the test CA for the finder's names: beispiel.test, anbieter.test, ... and below
    };

    static bool available(); // the openssl tool is installed
    // Made once per test program; nullptr (and why) when making them failed.
    static const TestCertificates* shared(std::string* error = nullptr);

    std::string caFile() const { return folder_.file("ca.pem"); }
    std::string keyFile() const { return folder_.file("server.key"); }
    std::string certificateFile(Kind kind) const;
    // The tool's SHA-256 fingerprint of a certificate, "AB:01:...".
    std::string fingerprint(Kind kind) const;
    // Points OpenSSL's default store at the test CA for this process.
    void trustInThisProcess() const;

private:
    bool make(std::string* error);
    bool run(const std::vector<std::string>& arguments, std::string* error) const;
    bool sign(const std::string& ca, const std::string& extensions, const std::string& subject,
        const std::vector<std::string>& validity, const std::string& out, std::string* error,
        const std::string& key = "server.key") const;

    TempDir folder_;
};
