#include "WaitTime.h"

#include <climits>

#include "Common.h"

namespace WaitTime {

namespace {
constexpr int CANCEL_CHECK_MS = 100;
}

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

int SliceMs(long long start, long long limitMs)
{
    int left = RemainingMs(start, limitMs);
    return left < CANCEL_CHECK_MS ? left : CANCEL_CHECK_MS;
}

}  // namespace WaitTime
