#include "tests/support/PeakMemory.h"

#include <fstream>
#include <string>

namespace PeakMemory {

long Kb()
{
    std::ifstream Status("/proc/self/status");
    std::string Line;
    while (std::getline(Status, Line))
        if (Line.rfind("VmHWM:", 0) == 0)
            return std::stol(Line.substr(6));
    return 0;
}

long Reset()
{
    std::ofstream("/proc/self/clear_refs") << "5";
    return Kb();
}

::testing::AssertionResult GrewLessThan(long BeforeKb, long LimitKb)
{
    const long Growth = Kb() - BeforeKb;
    if (Quarantined() || Growth < LimitKb)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "peak grew by " << Growth << " KB, allowed " << LimitKb << " KB";
}

} // namespace PeakMemory
