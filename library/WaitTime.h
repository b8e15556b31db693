#ifndef VEXIL_LIBRARY_WAITTIME_H
#define VEXIL_LIBRARY_WAITTIME_H

// Time limits of the serial waits, on the clock of Common::GetTime.
namespace WaitTime {

// True once limitMs milliseconds have passed since start.
bool IsUp(long long start, long long limitMs);
// What is left of limitMs since start; 0 when nothing is.
int RemainingMs(long long start, long long limitMs);
// What a wait for data may take of the time left: a cancel raised meanwhile, from another thread or
// through the cancel query, must not wait for the end of a long limit.
int SliceMs(long long start, long long limitMs);

}  // namespace WaitTime

#endif
