#include "WaitTime.h"

#include <climits>

#include "Common.h"

namespace WaitTime {

bool IsUp(long long start, long long limitMs)
{
    return Common::GetTime() - start >= limitMs;
}

int RemainingMs(long long start, long long limitMs)
{
    long long left = limitMs - (Common::GetTime() - start);
    if (left <= 0) {
        return 0;
    }
    return left > INT_MAX ? INT_MAX : static_cast<int>(left);
}

}  // namespace WaitTime
