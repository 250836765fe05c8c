#pragma once

// BRIEFLOTSE_RESOLVE=host:port:address[@port][,...]: names pinned to
// addresses the way curl's --resolve does, for tests; off unless set. An entry
// may end in "@port" to reach the server on another port (curl's
// --connect-to), so that a test's servers need no privileged port.

#include <cstdint>
#include <string>
#include <vector>

struct TPinnedName {
    std::string Host; // lower case
    uint16_t Port = 0;
    std::string Address; // numeric
    uint16_t ConnectPort = 0; // the port to connect to instead, 0: Port
};

// Entries that cannot be read are skipped.
std::vector<TPinnedName> ParsePinnedNames(const std::string& Text);
// The environment's, read once.
const std::vector<TPinnedName>& PinnedNames();
// The pin for Host and Port, nullptr when none.
const TPinnedName* FindPin(const std::vector<TPinnedName>& Pins, const std::string& Host, uint16_t Port);
