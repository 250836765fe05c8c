#pragma once

// What the status line shows for a status text: "." is the idle state
// ("Bereit" with the host in the title, or "Offline"); any other text is an
// activity, and an empty one leaves the text panel as it is. A pending error
// message wins over the text.

#include <string>

#include "conversation/ConversationView.h"

struct TStatusLine {
    TStatusPicture Picture = TStatusPicture::Offline;
    bool SetsTitle = false;
    std::string Title;
    std::string Text; // empty: panel 0 keeps its text
};

// An encrypted connection says so in the idle text and the title.
TStatusLine DecideStatusLine(const std::string& Text, bool Connected, const std::string& TargetHost, bool ErrorFlag,
    const std::string& ErrorMessage, bool Encrypted = false);
