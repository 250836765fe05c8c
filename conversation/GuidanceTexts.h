#pragma once

// The German explanation shown after every event of the conversation: chosen
// from the command word (or a fixed key "WELC", "CONN", "OOPS"), its number and
// the reply's status word; a socket error overrides them all. Texts are UTF-8.

#include <string>
#include <vector>

#include "net/TlsInfo.h"

struct TGuidance {
    std::string Text;
    bool IsError = false; // shown in red
};

struct TGuidanceContext {
    bool ErrorFlag = false;
    bool Connected = false;
    std::string ErrorMessage;
    std::string TargetHost;
};

// Red guidance for a connection that the server closed while the program was idle.
TGuidance ServerClosedGuidance(const std::string& TargetHost);

// TLS: what the certificate check found, in German ("" for a good one).
std::string CertificateProblemText(TTlsVerifyResult Result, const std::string& TargetHost);
// Added to the guidance after the greeting: encrypted, or a warning that a
// password would cross the network in clear text (not for this machine).
std::string ConnectionSecurityText(const TTlsInfo* Tls, const std::string& TargetHost);
// Added after the greeting when it carries an APOP timestamp, or one too long
// to be used ("" otherwise).
std::string ApopOfferText(const std::string& Timestamp, bool TooLong = false);
// Why APOP is not offered for a greeting whose timestamp is too long.
std::string ApopTimestampTooLongText();
TGuidance StlsGuidance(bool Accepted, const TTlsInfo* Tls);
// The user did not trust the certificate: the connection was closed.
TGuidance CertificateRefusedGuidance(TTlsVerifyResult Result, const std::string& TargetHost);
bool IsThisMachine(const std::string& Host);

// Guidance after the user stopped a wait, which closed the connection.
TGuidance StoppedGuidance(const std::string& TargetHost);

// The sentence on a response code of a reply ("IN-USE" …); unknown codes are
// named as such.
std::string ResponseCodeText(const std::string& Code);

TGuidance ChooseGuidance(const std::string& Line, const std::string& Reply, const TGuidanceContext& Context);

// Every text the guidance panel can show, filled with the given host and, for
// the error texts, the given error message: the panel is sized to hold them.
std::vector<std::string> AllGuidanceTexts(const std::string& TargetHost, const std::string& ErrorMessage);
