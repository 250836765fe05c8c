#pragma once

// What the server field, the command line and the desktop's pop3:// handler
// hand over: "host", "host:port", "[v6]:port", or an address after RFC 2384
// ("pop3://user;AUTH=mech@host:port/message", "pop://" likewise, "pop3s://"
// and "pops://" for TLS from the first byte). No Qt: a pure rule.

#include <string>

struct TServerAddress {
    bool Valid = false;
    std::string User; // percent-decoded; empty when none was given
    std::string Mechanism; // of ";AUTH=", in capitals: "*", "+APOP", "PLAIN", ...
    std::string Host; // an IPv6 literal keeps its brackets
    std::string Port; // empty: the scheme's or the connection's default
    std::string Message; // the message number after '/', empty when none
    // What the connection is given: the text as typed when it was no
    // address with a scheme, else "pop3://host[:port]" or "pop3s://host[:port]".
    std::string Target;
};

// Valid is false for an address with a name in it that no server has
// (one with '@' outside the user part, a control character, a bad escape),
// so such a name is never looked up.
TServerAddress ParseServerAddress(const std::string& Text);
