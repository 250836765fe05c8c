#pragma once

// What the check reads from an established TLS connection: the negotiated
// protocol and cipher, forward secrecy, and the certificate chain as the
// server sent it, judged against the system's store (SSL_CERT_FILE and
// SSL_CERT_DIR honoured), the name, and today's date.

#include <ctime>
#include <string>

#include "check/CheckReport.h"

struct ssl_st;

// Host: the name or address the certificate must match. Now: the time the
// days left are counted from.
void ReadTlsFacts(ssl_st* Ssl, const std::string& Host, std::time_t Now, TTlsFacts& Facts);
