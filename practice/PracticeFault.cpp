#include "practice/PracticeFault.h"

#include <iterator>

namespace {

struct TFaultName {
    TPracticeFault Fault;
    const char* Name;
};

const TFaultName kNames[] = {
    { TPracticeFault::None, "none" },
    { TPracticeFault::Slow, "slow" },
    { TPracticeFault::LoginDelay, "login-delay" },
    { TPracticeFault::InUse, "in-use" },
    { TPracticeFault::DropRetr, "drop-retr" },
    { TPracticeFault::BrokenMultiline, "broken-multiline" },
    { TPracticeFault::NoApop, "no-apop" },
};

const TPracticeFault kAll[] = { TPracticeFault::None, TPracticeFault::Slow, TPracticeFault::LoginDelay,
    TPracticeFault::InUse, TPracticeFault::DropRetr, TPracticeFault::BrokenMultiline, TPracticeFault::NoApop };

} // namespace

std::string PracticeFaultName(TPracticeFault Fault)
{
    for (const TFaultName& Each : kNames) {
        if (Each.Fault == Fault)
            return Each.Name;
    }
    return "none";
}

bool ParsePracticeFault(const std::string& Name, TPracticeFault& Fault)
{
    for (const TFaultName& Each : kNames) {
        if (Name == Each.Name) {
            Fault = Each.Fault;
            return true;
        }
    }
    return false;
}

const TPracticeFault* PracticeFaults(int& Count)
{
    Count = static_cast<int>(std::size(kAll));
    return kAll;
}
