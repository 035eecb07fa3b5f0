// Tick count and sleep.
//
// GetTickCount returns milliseconds of the monotonic clock as a 32-bit number
// that wraps after about 49.7 days; elapsed time is the unsigned difference of
// two readings. Sleep blocks the calling thread.
//
// For tests the process can switch to virtual time: GetTickCount then reads a
// counter that only Sleep (and timed waits that run out) advance, at once and
// by exactly the time asked, so waits of seconds take no real time. The
// counter can start anywhere, for instance a few seconds before its wrap.
// Any thread may call every function here.
#pragma once

#include "platform/types.h"

namespace Norvale::OS {

DWORD GetTickCount();
void Sleep(DWORD dwMilliseconds);

namespace VirtualTime {
// Switches the process to virtual time, the counter starting at `start`.
void Enable(DWORD start);
// Back to the monotonic clock.
void Disable();
bool IsEnabled();
// Moves the virtual counter forward (what a wait that ran out does).
void Advance(DWORD dwMilliseconds);
}  // namespace VirtualTime

}  // namespace Norvale::OS
