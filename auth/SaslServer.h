#pragma once

// The server's side of AUTH (RFC 5034) for the practice server: one exchange
// with one known user, from the AUTH line to the verdict. No I/O: the server
// passes in the AUTH line's initial response and each line of the client, and
// sends the continuation lines this returns.

#include "auth/Pop3Auth.h"
#include "auth/SaslClient.h"

#include <string>

enum class TSaslVerdict {
    Continue, // send Line ("+ ...") and wait for the client's next line
    Success,
    Failure, // wrong name, password or token
    Cancelled, // the client answered "*"
    Malformed // not Base64, not the mechanism's syntax, or out of turn
};

struct TSaslServerStep {
    TSaslVerdict Verdict = TSaslVerdict::Continue;
    std::string Line; // with Continue: the continuation to send, without CR LF
    std::string Reason; // German: why it failed (for the practice server's -ERR and guidance)
};

class TSaslServer {
public:
    // The one XOAUTH2 and OAUTHBEARER token the practice server accepts.
    static constexpr const char* PracticeToken = "brieflotse-uebungs-token";
    // The JSON of a refused token, as Gmail sends it.
    static constexpr const char* XOAuth2Error
        = R"({"status":"401","schemes":"Bearer","scope":"https://mail.google.com/"})";
    // The same for OAUTHBEARER (RFC 7628, 3.2.2).
    static constexpr const char* OAuthBearerError
        = R"({"status":"invalid_token","schemes":"bearer","scope":"https://mail.google.com/"})";
    static constexpr size_t MaxAnswerChars = 64 * 1024;

    TSaslServer(TSaslMechanism Mechanism, std::string User, std::string Password);
    ~TSaslServer();
    TSaslServer(const TSaslServer&) = delete;
    TSaslServer& operator=(const TSaslServer&) = delete;

    // CRAM-MD5's challenge; by default "<random.time@brieflotse>".
    void SetChallenge(std::string Challenge);
    // SCRAM: salt (bytes), iteration count and the server's part of the nonce;
    // by default 16 random bytes, 4096 and 18 random bytes in Base64.
    void SetScramParameters(std::string Salt, int Iterations);
    void SetServerNonce(std::string Nonce);

    // InitialResponse: what followed the mechanism name on the AUTH line;
    // "" for none, "=" for an empty one (RFC 5034).
    TSaslServerStep Start(const std::string& InitialResponse);
    TSaslServerStep Answer(const std::string& Line); // a client line without CR LF
    const std::string& AuthenticatedUser() const { return FAuthenticatedUser; } // after Success

private:
    TSaslServerStep Next(const std::string& Response); // decoded client data
    TSaslServerStep Continue(const std::string& Challenge);
    TSaslServerStep End(TSaslVerdict Verdict, const std::string& Reason);
    TSaslServerStep CheckPlain(const std::string& Response);
    TSaslServerStep CheckCramMd5(const std::string& Response);
    TSaslServerStep ScramServerFirst(const std::string& ClientFirst);
    TSaslServerStep ScramServerFinal(const std::string& ClientFinal);
    TSaslServerStep CheckXOAuth2(const std::string& Response);
    TSaslServerStep CheckOAuthBearer(const std::string& Response);
    TSaslServerStep CheckToken(const std::string& Name, const std::string& Token, const char* Error);

    TSaslMechanism FMechanism;
    std::string FUser;
    std::string FPassword;
    std::string FChallenge;
    std::string FSalt;
    int FIterations = 4096;
    std::string FServerNonce;
    int FRound = 0; // client responses taken so far
    bool FDone = false;
    bool FAwaitingEmpty = false; // after SCRAM's server-final or XOAUTH2's error
    bool FPendingSuccess = false; // what the empty line then means
    std::string FGs2Header;
    std::string FClientFirstBare;
    std::string FNonce;
    std::string FServerFirst;
    std::string FLoginName;
    std::string FAuthenticatedUser;
};
