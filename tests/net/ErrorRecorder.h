#pragma once

// Collects what a TSmartWinsock reports through OnError, in order.

#include "net/SmartWinsock.h"

#include <string>
#include <vector>

struct ReportedError {
    std::string Origin;
    int32_t Code;
    std::string Description;
};

class ErrorRecorder {
public:
    explicit ErrorRecorder(TSmartWinsock& socket)
    {
        socket.OnError = [this](TSmartWinsock*, const std::string& origin, int32_t code, const std::string& text) {
            errors.push_back({ origin, code, text });
        };
    }

    std::vector<int32_t> codes() const
    {
        std::vector<int32_t> result;
        for (const auto& error : errors)
            result.push_back(error.Code);
        return result;
    }

    std::vector<ReportedError> errors;
};
