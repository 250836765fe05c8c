#pragma once

// Text into HTML: for pages and reports that show what a server sent.

#include <string>

inline std::string HtmlEscaped(const std::string& Text)
{
    std::string Out;
    for (const char C : Text) {
        switch (C) {
        case '&':
            Out += "&amp;";
            break;
        case '<':
            Out += "&lt;";
            break;
        case '>':
            Out += "&gt;";
            break;
        case '"':
            Out += "&quot;";
            break;
        default:
            // Control bytes from a server would make the file invalid.
            Out += static_cast<unsigned char>(C) < 0x20 && C != '\n' && C != '\t' ? '?' : C;
        }
    }
    return Out;
}
