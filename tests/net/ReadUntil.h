#pragma once

#include <string>

#include "net/SmartWinsock.h"

// Reads chunks until the text ends with `end` (bounded by count and time).
inline std::string ReadUntil(TSmartWinsock& socket, const std::string& end)
{
    std::string all;
    std::string chunk;
    for (int i = 0; i < 1000; ++i) {
        if (socket.ReceiveString(chunk) <= 0)
            break;
        all += chunk;
        if (all.size() >= end.size() && all.compare(all.size() - end.size(), end.size(), end) == 0)
            break;
    }
    return all;
}
