#pragma once

// The client's side of AUTH (RFC 5034) for one log-in: which line to send for
// each continuation of the server, and a plain German explanation of what was
// computed from what. No I/O: the conversation sends the lines and passes the
// server's challenges in.

#include <cstdint>
#include <string>

enum class TSaslMechanism { Plain, Login, CramMd5, ScramSha256, XOAuth2, OAuthBearer };

bool ParseSaslMechanism(const std::string& Name, TSaslMechanism& Mechanism); // case-insensitive
std::string SaslMechanismName(TSaslMechanism Mechanism); // "PLAIN", "LOGIN", "CRAM-MD5", ...

// SCRAM: what the exchange showed of the server's own knowledge of the password.
enum class TServerProof { NotAsked, Proven, Missing, Forged };

struct TSaslStep {
    // false: the exchange cannot go on (bad challenge, wrong server signature,
    // too many rounds); Line is then "*" (cancel) and Explanation says why.
    bool Ok = true;
    std::string Line; // the line to send, without CR LF
    std::string Explanation; // German; never contains the password or the token
};

class TSaslClient {
public:
    // Longer challenges are refused; no mechanism here needs more than a few
    // hundred bytes.
    static constexpr size_t MaxChallengeChars = 64 * 1024;
    // RFC 2449: a command line has at most 255 octets with its CR LF. A longer
    // initial response is sent after the server's empty continuation instead.
    static constexpr size_t MaxCommandLine = 255;

    // Secret: the password, or the token for XOAUTH2 and OAUTHBEARER.
    TSaslClient(TSaslMechanism Mechanism, std::string User, std::string Secret);
    ~TSaslClient();
    TSaslClient(const TSaslClient&) = delete;
    TSaslClient& operator=(const TSaslClient&) = delete;

    // A fixed SCRAM nonce (tests); by default 24 random bytes in Base64.
    void SetClientNonce(std::string Nonce);
    // OAUTHBEARER names the server it talks to (RFC 7628); left out when empty.
    void SetServer(std::string Host, uint16_t Port);
    // The initial response after the server's empty "+ " instead of on the
    // AUTH line: Microsoft's servers want XOAUTH2 that way.
    void SetTwoSteps(bool TwoSteps) { FTwoSteps = TwoSteps; }

    // A server refused the AUTH line with its initial response at once (no
    // exchange began): true when the same log-in may be tried again in two
    // steps, which Start() then gives.
    bool MayRetryInTwoSteps() const;

    TSaslStep Start(); // the AUTH line
    // Challenge: the text after "+ " of a continuation line (may be empty).
    TSaslStep Answer(const std::string& Challenge);
    bool ServerVerified() const { return FServerVerified; } // SCRAM: server signature checked and right
    // NotAsked for the other mechanisms; Missing until a right signature came.
    TServerProof ServerProof() const;
    // The challenge as a person should read it: decoded, control bytes shown
    // as \xNN; the raw text (made safe) when it is not Base64; "" for "".
    std::string DecodedChallenge(const std::string& Challenge) const;

private:
    TSaslStep Refuse(const std::string& Why);
    TSaslStep TooManyRounds();
    std::string InitialResponse() const; // PLAIN, XOAUTH2 and OAUTHBEARER
    bool HasInitialResponse() const;
    std::string InitialExplanation() const;
    TSaslStep AnswerLogin(const std::string& Decoded);
    TSaslStep AnswerCramMd5(const std::string& Decoded);
    TSaslStep AnswerScram(const std::string& Decoded);
    TSaslStep ScramClientFinal(const std::string& ServerFirst);
    TSaslStep ScramCheckServerFinal(const std::string& ServerFinal);
    TSaslStep AnswerXOAuth2(const std::string& Decoded);
    TSaslStep AnswerOAuthBearer(const std::string& Decoded);

    TSaslMechanism FMechanism;
    std::string FUser;
    std::string FSecret;
    std::string FClientNonce;
    int FRound = 0; // challenges answered so far
    bool FInitialResponseDeferred = false;
    bool FTwoSteps = false;
    bool FStartedWithResponse = false; // the last Start() put the response on the AUTH line
    std::string FServerHost;
    uint16_t FServerPort = 0;
    bool FFailed = false;
    bool FServerVerified = false;
    bool FSignatureWrong = false;
    std::string FClientFirstBare;
    std::string FExpectedServerSignature;
};
