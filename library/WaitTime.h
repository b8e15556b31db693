#ifndef VEXIL_LIBRARY_WAITTIME_H
#define VEXIL_LIBRARY_WAITTIME_H

#include <functional>

// Time limits of the waits, on the clock of Common::GetTime, and the one loop every wait runs.
namespace WaitTime {

// True once limitMs milliseconds have passed since start.
bool IsUp(long long start, long long limitMs);
// What is left of limitMs since start; 0 when nothing is.
int RemainingMs(long long start, long long limitMs);
// What a wait for data may take of the time left: a cancel raised meanwhile, from another thread or
// through the cancel query, must not wait for the end of a long limit.
int SliceMs(long long start, long long limitMs);

// What one try of a wait loop found.
enum class Step { DONE, FAILED, AGAIN };
// How a wait loop ended.
enum class Outcome { DONE, FAILED, TIMED_OUT, CANCELLED, DEVICE_GONE };

// What a wait loop watches between its tries: a port to wait on, a cancel flag, a device that may go.
class Watch {
public:
    virtual ~Watch() = default;
    // Returns when new input may have arrived, or after at most ms milliseconds; never at once
    // merely because a cancel is raised, so that no caller spins.
    virtual void Wait(int ms) = 0;
    virtual bool Cancelled() = 0;
    virtual bool DeviceGone() { return false; }
};

// Runs tryOnce until it is done or has failed, limitMs has passed (tryOnce runs at least once), a
// cancel is raised or the device has gone. Between tries it waits on the watch for at most sliceMs,
// and never more than 100 ms, so that a cancel is seen in time.
Outcome PollUntil(Watch& watch, long long limitMs, int sliceMs, const std::function<Step()>& tryOnce);

}  // namespace WaitTime

#endif
