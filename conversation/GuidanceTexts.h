#pragma once

// The German explanation shown after every event of the conversation: chosen
// from the command word (or an event of the conversation), its number and
// the reply's status word; a socket error overrides them all. Texts are UTF-8.

#include <string>
#include <vector>

#include "conversation/Command.h"
#include "net/TlsInfo.h"

struct TGuidance {
    std::string Text;
    bool IsError = false; // shown in red
};

struct TGuidanceContext {
    bool ErrorFlag = false;
    bool Connected = false;
    bool TlsFailed = false; // the error ended TLS and the connection
    std::string ErrorMessage;
    std::string TargetHost;
};

// Red guidance for a connection the server ended: in the middle of a reply
// (CutShort) or after one. Lead (the error, or the last reply's guidance)
// comes first when it is not empty.
TGuidance ServerEndedGuidance(const std::string& TargetHost, bool CutShort, const std::string& Lead);
// A reply that came after its wait: it belongs to Command, not to the command
// sent last. The first text leads the late reply's own guidance; the second
// follows the guidance of a command whose reply came behind a late one.
std::string LateReplyText(const std::string& Command);
std::string LateReplyFirstText(const std::string& Command);
// After a wait for Command's reply ran out.
std::string OwedReplyText(const std::string& Command);

// TLS: what the certificate check found, in German ("" for a good one).
std::string CertificateProblemText(TTlsVerifyResult Result, const std::string& TargetHost);
// Added to the guidance after the greeting: encrypted, or a warning that a
// password would cross the network in clear text (not when PeerAddress, the
// address connected to, is this machine's).
std::string ConnectionSecurityText(const TTlsInfo* Tls, const std::string& TargetHost, const std::string& PeerAddress);
// Added after the greeting when the finder chose this server for its STLS:
// the first command to send.
std::string StlsFirstText(const std::string& TargetHost);
// Added after the greeting when it carries an APOP timestamp, or one too long
// to be used ("" otherwise).
std::string ApopOfferText(const std::string& Timestamp, bool TooLong = false);
// Why APOP is not offered for a greeting whose timestamp is too long.
std::string ApopTimestampTooLongText();
TGuidance StlsGuidance(bool Accepted, const TTlsInfo* Tls);
// STLS on a connection that is encrypted already was not sent.
TGuidance StlsNotSentGuidance(const TTlsInfo& Tls);
// Asked before such a line goes to another machine without TLS.
std::string ClearTextQuestion(const std::string& Word, const std::string& TargetHost);
// The user did not trust the certificate: the connection was closed.
TGuidance CertificateRefusedGuidance(TTlsVerifyResult Result, const std::string& TargetHost);
// The numeric address connected to is a loopback one (127.0.0.0/8, ::1, also
// as ::ffff:127.x): nothing crosses a network. The name typed decides nothing,
// "127.mail.example.net" may be anywhere.
bool IsThisMachine(const std::string& PeerAddress);
// A SCRAM log-in whose server gave no right signature: red, whatever the
// server answered. Forged: a signature came, but a wrong one.
TGuidance UnprovenServerGuidance(bool Forged);

// Guidance after the user stopped a wait, which closed the connection.
TGuidance StoppedGuidance(const std::string& TargetHost);

// The sentence on a response code of a reply ("IN-USE" …); unknown codes are
// named as such.
std::string ResponseCodeText(const std::string& Code);

// What the guidance follows: the reply to a command the user sent, or an
// event of the conversation itself. A typed line is always a command, whatever
// its word ("conn" is no connection event).
enum class TGuidanceEvent { Command, Welcome, Connected, Unexpected };

TGuidance ChooseGuidance(const TCommand& Command, const std::string& Reply, const TGuidanceContext& Context);
TGuidance ChooseGuidance(TGuidanceEvent Event, const std::string& Reply, const TGuidanceContext& Context);

// Every text the guidance panel can show, filled with the given host and, for
// the error texts, the given error message: the panel is sized to hold them.
std::vector<std::string> AllGuidanceTexts(const std::string& TargetHost, const std::string& ErrorMessage);
