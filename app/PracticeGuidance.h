#pragma once

// What the guidance panel says about the practice server: how to use it once
// started, what a chosen fault will do, and - appended to the explanation of
// a reply - that the fault just showed. The explanation of the reply itself
// comes from the conversation's own guidance.

#include <string>

#include "practice/PracticeFault.h"

struct TPracticeAddress {
    int Port = 0;
    int TlsPort = 0;
    int SlowSeconds = 12;
    int LoginDelaySeconds = 20;
};

// After "Übungs-Server starten": address, name, password, what to try.
std::string PracticeStartedGuidance(const TPracticeAddress& Address);
std::string PracticeStartFailedGuidance(const std::string& Problem);
// After "Mitschnitt abspielen ...": where the recording is served and how.
std::string ReplayStartedGuidance(int Port, int TlsPort, size_t Connections);
// After choosing Fault in the menu: what will happen from the next connection on.
std::string PracticeFaultChosenGuidance(TPracticeFault Fault, const TPracticeAddress& Address);
// When Fault just showed in a session.
std::string PracticeFaultShownNote(TPracticeFault Fault, const TPracticeAddress& Address);
// The menu caption ("&Langsame Antworten") and status tip of a fault.
std::string PracticeFaultCaption(TPracticeFault Fault);
std::string PracticeFaultHint(TPracticeFault Fault);
