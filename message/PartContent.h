#pragma once

// The content of one MIME part as its sender put it in: the transfer
// encoding (base64, quoted-printable, uuencode) undone by GMime, no charset
// converted, so that an attachment is saved byte for byte. No Qt.

#include <string>

#include "message/MessageAnatomy.h"

// Bytes are those handed to DecomposeMessage, Part one of its parts.
std::string DecodedPartContent(const std::string& Bytes, const TMimePart& Part);
