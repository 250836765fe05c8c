#pragma once

// The findings of a server check, judged from the facts its probes gathered:
// verdict, German title and explanation, technical details. Pure rules, no
// I/O: the same facts give the same findings.

#include <string>
#include <vector>

#include "check/CheckReport.h"

// LookupProblem: why the name gave no address (English), empty when it did.
std::vector<TCheckFinding> JudgeReport(const TCheckReport& Report, const std::string& LookupProblem);

// The greeting names the server's software ("Dovecot", "Cyrus" ...) or a
// version number ("v2.3.19", "5.1").
bool GreetingNamesSoftware(const std::string& Greeting);
bool GreetingNamesVersion(const std::string& Greeting);

// Would the server take a password in clear text? From the refusal of an
// impossible log-in before TLS and the same attempt inside TLS: a different
// refusal (another text, a closed connection) says no; the same "wrong
// password" answer says yes. Without an attempt inside TLS to compare, the
// refusal's own words decide (TlsRefusal empty or in parentheses: no reply
// of the server's). Accepted: "+OK" came to PASS before TLS.
bool PlaintextLoginTaken(const std::string& PlainRefusal, const std::string& TlsRefusal, bool Accepted);
