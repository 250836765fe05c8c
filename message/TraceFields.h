#pragma once

// The fields mail servers add on the way: Received (RFC 5321 section 4.4),
// Authentication-Results (RFC 8601) and DKIM-Signature (RFC 6376), read from
// their unfolded values. Dates are read by GMime. No Qt.

#include <string>
#include <vector>

#include "message/MessageAnatomy.h"

// From, by, via, with, id, for and the time of one Received value; comments
// stay with the clause they follow ("a.example (a.example [192.0.2.1])").
TReceivedHop ParseReceived(const std::string& Value);

// Orders the hops oldest first (the bottom field first) and sets each delay
// and its note; Hops arrive in the order of the fields.
void ChainReceived(std::vector<TReceivedHop>& Hops);

// The results of one Authentication-Results value, without comments.
std::vector<TAuthResult> ParseAuthenticationResults(const std::string& Value);

// The tags of one DKIM-Signature value, folding blanks removed from values.
std::vector<TDkimTag> ParseDkimSignature(const std::string& Value);

// Seconds since 1970 and ISO 8601 of a date as RFC 5322 writes it; false
// when GMime cannot read it.
bool ReadMailDate(const std::string& Text, int64_t& Epoch, std::string& Iso);
