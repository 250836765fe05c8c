#pragma once

// The behaviours the practice server can show on purpose, one per session,
// so that error handling can be practised.

#include <string>

enum class TPracticeFault {
    None,
    Slow, // every reply comes late
    LoginDelay, // log-ins too close together are refused with [LOGIN-DELAY]
    InUse, // the mailbox is locked by another session: [IN-USE]
    DropRetr, // the connection ends in the middle of a RETR
    BrokenMultiline, // a multi-line answer to a single-line command
    NoApop, // a greeting without APOP timestamp
};

// The name used on the command line ("slow", "login-delay", ...; "none").
std::string PracticeFaultName(TPracticeFault Fault);
// False for an unknown name.
bool ParsePracticeFault(const std::string& Name, TPracticeFault& Fault);
// All of them, None first.
const TPracticeFault* PracticeFaults(int& Count);
