#pragma once

// The config-v1.1 file of an autoconfig server or the provider database,
// read for POP3: every incomingServer type="pop3" in the file's order, the
// user name's placeholders filled in, and everything that cannot be offered
// as a German problem instead of a server.

#include <string>
#include <vector>

#include "discovery/FinderTypes.h"

struct TConfigFile {
    bool Readable = false; // XML with a clientConfig/emailProvider
    std::string Error; // German, when not readable
    std::vector<TOffer> Servers; // Source, OverHttp left to the caller
    std::vector<std::string> Problems; // German, one per server refused
    std::string EnableUrl;
    std::string DocumentationUrl;
};

TConfigFile ReadConfigFile(const std::string& Body, const TFinderQuery& Query);

// Replaces %EMAILADDRESS%, %EMAILLOCALPART%, %EMAILDOMAIN%. False with the
// unknown placeholder in Unknown; a placeholder the query cannot fill (a
// domain only) stays as it is.
bool FillPlaceholders(const std::string& Text, const TFinderQuery& Query, std::string& Filled, std::string& Unknown);
// Letters, digits, "-" and "." in labels of 1 to 63, at most 253 in all.
bool IsPlainHostName(const std::string& Host);
