#include "WaitTime.h"

#include <algorithm>
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

Outcome PollUntil(Watch& watch, long long limitMs, int sliceMs, const std::function<Step()>& tryOnce)
{
    long long start = Common::GetTime();
    int slice = std::max(1, std::min(sliceMs, CANCEL_CHECK_MS));
    while (true) {
        if (watch.Cancelled()) {
            return Outcome::CANCELLED;
        }
        if (watch.DeviceGone()) {
            return Outcome::DEVICE_GONE;
        }
        Step step = tryOnce();
        if (step == Step::DONE) {
            return Outcome::DONE;
        }
        if (step == Step::FAILED) {
            return Outcome::FAILED;
        }
        int left = RemainingMs(start, limitMs);
        if (left == 0) {
            return Outcome::TIMED_OUT;
        }
        watch.Wait(std::min(slice, left));
    }
}

}  // namespace WaitTime
