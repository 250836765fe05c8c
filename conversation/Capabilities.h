#pragma once

// What a server says it can do, from its answer to CAPA: one capability a
// line, a name and its arguments. Read from whatever the server sent, so
// counts and lengths are bounded.

#include <string>
#include <vector>

struct TCapability {
    std::string Name; // upper-cased
    std::vector<std::string> Arguments;
};

class TCapabilities {
public:
    // At most this many capabilities and arguments per capability are kept.
    static constexpr size_t kMaxCount = 64;

    // Body: the lines after the status line as received (CR LF separated,
    // dot-stuffed); the terminating "." line may be included.
    static TCapabilities Parse(const std::string& Body);

    bool Has(const std::string& Name) const;
    const TCapability* Find(const std::string& Name) const;
    const std::vector<TCapability>& All() const { return FList; }
    // The mechanisms of the SASL line, upper-cased.
    std::vector<std::string> SaslMechanisms() const;

private:
    std::vector<TCapability> FList;
};

// The German guidance after CAPA: each capability the server named, what it
// means, and which button or command uses it.
std::string CapabilityGuidance(const TCapabilities& Capabilities);
