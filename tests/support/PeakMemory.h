#pragma once

// The process's peak resident memory, for tests that a large read passes
// through without being held. Under AddressSanitizer freed memory waits in
// quarantine, so the peak says nothing there and the bound is not checked.

#include <gtest/gtest.h>

namespace PeakMemory {

// Peak resident set in KB since the last reset.
long Kb();

// Starts a new peak from the current resident set; returns it in KB.
long Reset();

// Success when the peak grew by less than LimitKb since BeforeKb (from
// Reset()), or when it cannot tell (Quarantined()).
::testing::AssertionResult GrewLessThan(long BeforeKb, long LimitKb);

// True when freed memory is not returned at once (AddressSanitizer).
constexpr bool Quarantined()
{
#if defined(__SANITIZE_ADDRESS__)
    return true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    return true;
#else
    return false;
#endif
#else
    return false;
#endif
}

} // namespace PeakMemory
